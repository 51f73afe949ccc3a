// The source analyzer module quarnel_impl: the QuarnelImpl object (one per edited module), its
// binding to the environment's logical-line module and the helpers every analyzer file shares
// (clock, name pool, debug trace, active-method count).
#ifndef QUARNEL_IMPLMODULE_H
#define QUARNEL_IMPLMODULE_H

#include <Python.h>

#include "logicalline.h"
#include "pyref.h"
#include "srcinfocache.h"

// What the analyzer keeps of the logical-line module given at creation. The table is a copy, so
// the module's own table may go away; the object fields are owned references.
struct tLogicalLineBinding {
  PyObject *fModule;                // the logical-line module
  LogicalLineFunctionTable fTable;  // zeroed while unbound
  PyObject *fLineType;              // the logical line type; null while unbound
  // Kind values for attribute references made by the search.
  PyObject *kFunctionAttribKind;
  PyObject *kImportedAttribKind;
  PyObject *kGenericAttribKind;
  PyObject *kClassAttribKind;
};

// The analyzer object. Object fields hold one reference each, or null.
struct QuarnelImplObject {
  PyObject_HEAD
  // The environment's objects handed over at creation.
  PyObject *fModAnalysis;    // module analysis, a classic-class instance
  PyObject *fGrammar;        // makes a parser for every parse
  PyObject *fTransformNode;  // bound TransformNode of the node transformer
  PyObject *fWalk;           // bound Walk of the tree walker of the current list; null without one
  int fCacheNeedsUpdate;     // the environment's logical cache has pending updates

  // The module's logical lines and analysis counters.
  PyObject *fLogicalList;       // list of logical lines, or null
  PyObject *fAttribRefFactory;  // makes attribute reference objects for the search
  int fParsedCount;             // lines of the list whose analysis is complete
  int fActiveMethodCount;       // analyzer methods currently running (re-entrancy indicator)

  // Dictionaries the environment reads.
  PyObject *fFromFutureFlags;  // feature name -> True, for module-level __future__ imports
  PyObject *fParseErrors;      // logical line -> exception value of its last failed parse
  int fActiveEditLineno;       // line being edited; -1 when none

  tLogicalLineBinding fBinding;
  PyObject *fNamePool;  // shared-string pool: keys and values are the same str objects
  tSrcInfoCache fCache;
  PyObject *fTracer;  // debug trace sink with a write(str) method, or null
};

extern PyTypeObject QuarnelImplType;

// ActiveMethodGuard --
//   Adds 1 to an analyzer's fActiveMethodCount for the lifetime of a counted method and takes 1
//   off on every exit, so the environment can see re-entrant calls. Taking 1 off (rather than
//   restoring the value found) keeps a StartActiveMethod that the method's callbacks made; the
//   count never goes below 0, so a callback that destroys the analyzer (which resets the count)
//   leaves it at 0.
class ActiveMethodGuard {
 public:
  explicit ActiveMethodGuard(QuarnelImplObject *self) : self_(self) {
    self_->fActiveMethodCount++;
  }
  ~ActiveMethodGuard() {
    if (self_->fActiveMethodCount > 0) self_->fActiveMethodCount--;
  }
  ActiveMethodGuard(const ActiveMethodGuard &) = delete;
  ActiveMethodGuard &operator=(const ActiveMethodGuard &) = delete;

 private:
  QuarnelImplObject *self_;
};

// Readies the analyzer's types; -1 with an error set on failure.
int quarnel_ready_types();

// CreateQuarnelImpl(mod_analysis, grammar, xformer, name_pool, attrib_ref_factory,
// logical_line_module): the module function.
PyObject *quarnel_CreateQuarnelImpl(PyObject *module, PyObject *args);

// Wall-clock seconds since the epoch, at millisecond resolution. Every end_time budget is an
// absolute value of this clock.
double get_time();

// Non-zero when obj is a logical line of the bound logical-line module (exact type).
int is_logical_line(const QuarnelImplObject *self, PyObject *obj);

// The line record of a logical line (the caller has checked it with is_logical_line).
inline LogicalLineObject *line_record(PyObject *line) {
  return reinterpret_cast<LogicalLineObject *>(line);
}

// Methods that read the logical list need a list object exactly. Returns -1 with AssertionError
// "logical_list is not a list instance" set otherwise (also after destroy).
int require_logical_list(QuarnelImplObject *self);

// Returns the pooled str equal to text (a str), adding text to `pool` (a dict whose keys and
// values are the same str objects) when absent. New reference, or null with an error set.
PyObject *pool_intern(PyObject *pool, PyObject *text);

// Returns the pooled str equal to text (a str), adding text to fNamePool when absent. New
// reference, or null with an error set.
PyObject *quarnel_intern(QuarnelImplObject *self, PyObject *text);
PyObject *quarnel_intern_string(QuarnelImplObject *self, const char *text, Py_ssize_t length);

// Writes one debug message to fTracer in three write() calls: repr(fModAnalysis), the time, then
// the printf-style message (cut to the 500-byte message buffer). Callers trace only when
// fTracer is set. Returns -1 with the write's error set when a write fails.
int quarnel_trace(QuarnelImplObject *self, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Writes one debug message in pieces, one write() call each: the stamp of quarnel_trace, `text`,
// repr(obj) when obj is not null, and a newline. Same failure rule as quarnel_trace.
int quarnel_trace_pieces(QuarnelImplObject *self, const char *text, PyObject *obj = nullptr);

// Size of the trace message buffer, terminating NUL included.
constexpr size_t kTraceBufferSize = 500;

#endif  // QUARNEL_IMPLMODULE_H
