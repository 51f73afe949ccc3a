// The logical-line record shared by the environment's logicalline module and the analyzer.
//
// A logical line is one Python statement of an edited module. The analyzer reads the record
// directly and changes it only through the function table below, its fParsed flag and its
// fScopeName. The layout is fixed: both sides are compiled against this header.
#ifndef VORN_LOGICALLINE_H
#define VORN_LOGICALLINE_H

#include <Python.h>
#include <stdint.h>

struct LogicalLineObject {
  PyObject_HEAD
  PyObject **fTokens;         // fTokenCount token objects (str; others are ignored)
  uint16_t *fTokenPositions;  // two numbers (first, second) per token
  int32_t fLineno;            // first physical line
  int32_t fTokenCount;
  uint32_t fNameCount;   // length of fNames
  uint32_t fEquivCount;  // number of pairs in fEquivs
  int16_t fIndent;       // indentation level, 0 at module level
  int16_t fLineCount;    // physical lines
  uint8_t fLineType;     // one of the kLine* codes below
  uint8_t fFlags;        // kLineParsedFlag and two flags of the environment
  PyObject *fScopeName;  // str or null: full name of the enclosing scope
  PyObject **fNames;     // fNameCount name entries: str, or a tuple led by the local name
  PyObject **fEquivs;    // 2 * fEquivCount objects: (name, value) pairs
};

// A line that holds strs alone (tokens, names, equivalences, scope name) cannot be part of a
// reference cycle, and the line module leaves the lines it makes from a cut's records to
// themselves (not tracked by the cyclic collector) while they do. Whatever stores any other
// object in a line calls this first: it has the collector track the line from then on.
static inline void logical_line_hold(PyObject *line, PyObject *obj) {
  if (!PyString_CheckExact(obj) && !_PyObject_GC_IS_TRACKED(line)) PyObject_GC_Track(line);
}

// Flag bits of fFlags.
enum {
  kLineParsedFlag = 0x01,
  kLineFlag1 = 0x02,
  kLineFlag2 = 0x04,
};

// Line types the analyzer relies on.
enum {
  kLineClass = 1,             // class statement; token 1 is the name
  kLineDef = 2,               // def statement; token 1 is the name
  kLineScopeLead = 3,         // lead line of a scope, not analysed while it is edited
  kLineNeverParsed6 = 6,      // the five types that are never parsed (clause headers)
  kLineNeverParsed11 = 11,
  kLineNeverParsed12 = 12,
  kLineNeverParsed13 = 13,
  kLineImport = 16,           // import a, b
  kLineFromImport = 17,       // from a import b
  kLineNeverParsed20 = 20,
  kLineIgnored21 = 21,        // ignored by scope and body walks (comments, blank lines)
  kLineIgnored22 = 22,
};

// Entries of the function table returned (as a CObject) by the logicalline module's
// GetDirectLogicalLineFunctionTable(). "status" is 0, or non-zero with a Python error set.
typedef PyObject *(*tNewLogicalLineFunc)(void);
typedef int (*tIsLogicalLineFunc)(PyObject *obj);
typedef PyObject *(*tGetLogicalLineTypeFunc)(void);  // new reference
typedef int (*tAddTypeEquivFunc)(PyObject *line, PyObject *name, PyObject *equiv);
typedef int (*tAddNameFunc)(PyObject *line, PyObject *entry);
typedef int (*tAddArgNameFunc)(PyObject *line, PyObject *name);
typedef int (*tAddBaseNameFunc)(PyObject *line, PyObject *base);
typedef int (*tClearLineAnalysisFunc)(PyObject *line);

enum {
  kLogicalLineTableSize = 12,
  kNewLogicalLineEntry = 0,
  kIsLogicalLineEntry = 1,
  kGetLogicalLineTypeEntry = 2,
  kAddTypeEquivEntry = 5,
  kAddNameEntry = 7,
  kAddArgNameEntry = 8,
  kAddBaseNameEntry = 9,
  kClearLineAnalysisEntry = 11,
};

// The table: 12 untyped entries; entries 3, 4, 6 and 10 may be null.
struct LogicalLineFunctionTable {
  void *entries[kLogicalLineTableSize];
};

#endif  // VORN_LOGICALLINE_H
