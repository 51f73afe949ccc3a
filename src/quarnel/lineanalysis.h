// Lazy analysis of logical lines and the block structure of the module: parsing a line through
// the environment's grammar and node transformer, walking its syntax tree under count and time
// budgets, the scopes derived from indentation (enclosing scope, full names, bodies) and the
// incremental update of the caches when the environment's logical cache changes.
#ifndef QUARNEL_LINEANALYSIS_H
#define QUARNEL_LINEANALYSIS_H

#include <Python.h>

#include "quarnel_implmodule.h"

// Line types as the scope walks see them.
inline bool is_scope_line(const LogicalLineObject *rec) {
  return rec->fLineType == kLineClass || rec->fLineType == kLineDef;
}
inline bool is_ignored_line(const LogicalLineObject *rec) {
  return rec->fLineType == kLineIgnored21 || rec->fLineType == kLineIgnored22;
}
// Whether the line's names belong in the name map: a class or def line files its name token
// while it is in the list, analysed or not; any other line files its names once analysed.
// Analysis and ClearAnalysis leave class and def lines to the list updates, so that each line
// is filed once.
inline bool files_names(const LogicalLineObject *rec) {
  return is_scope_line(rec) || (rec->fFlags & kLineParsedFlag);
}
// The name token of a class or def line (borrowed), or null when it has fewer than two tokens.
inline PyObject *scope_name_token(const LogicalLineObject *rec) {
  return rec->fTokenCount >= 2 ? rec->fTokens[1] : nullptr;
}

// Line analysis (lineanalysis.cpp).

// Whether the line is counted in fParsedCount: its analysis completed, so it is parsed, of a
// type that is parsed at all and not recorded as a parse error. Lines that leave the analysis
// (ClearAnalysis, removal from the list) take 1 off the count only when this holds, so that
// parse errors and clause headers, which analysis does not count, do not wear the count down.
bool is_counted_line(QuarnelImplObject *self, PyObject *line);

// Analyzes one line unless it is analyzed already or is the lead line being edited. Parse
// errors (SyntaxError, ValueError) are recorded in fParseErrors and reported to the module
// analysis, not raised. Returns -1 with an error set on any other failure. trees, when not null,
// is a dict kept across the lines of one analysis: the syntax trees of the line texts met, which
// later lines of the same text share (where the grammar and transformer are the native ones).
int analyze_one(QuarnelImplObject *self, PyObject *line, double end_time, PyObject *imports_seen,
                PyObject *trees = nullptr);

// Analyzes the unanalyzed lines of `list` in order, reading the clock and the count before each
// line. Returns 1 when every line is analyzed at the end, 0 when the budget ran out or a line
// stayed unanalyzed, -1 with an error set on failure.
int analyze_list(QuarnelImplObject *self, PyObject *list, int max_count, double end_time,
                 PyObject *imports_seen);

// Rebuilds fFromFutureFlags from the __future__ imports that open the logical list, as the
// compiler counts them, and tells the module analysis when the flags changed, or, when
// from_import_changed (a rebuild, a from-import line added or removed), whenever they are or
// were non-empty.
int rescan_future_flags(QuarnelImplObject *self, bool from_import_changed);

// Scope structure (scopes.cpp). Results are new references, or null with an error set.

// Index of a logical line (by identity) in fLogicalList, which the caller has checked with
// require_logical_list; -1 when it is not there.
Py_ssize_t locate_line(QuarnelImplObject *self, PyObject *line);

PyObject *find_scope(QuarnelImplObject *self, PyObject *line);  // class/def line or None
PyObject *scope_name(QuarnelImplObject *self, PyObject *line);  // cached in fScopeName
PyObject *full_name(QuarnelImplObject *self, PyObject *scope_line);
PyObject *scope_def(QuarnelImplObject *self, PyObject *name);   // None for ""; KeyError
PyObject *scope_body(QuarnelImplObject *self, PyObject *name);  // cached list

// Fails with TypeError `message` unless obj is a logical line (an argument check of the methods).
int logical_line_arg(QuarnelImplObject *self, PyObject *obj, const char *message);

// The full name of a scope named `own` inside the scope `parent`: parent when own is missing or
// empty, own itself at module level, else the interned "parent.own". New reference.
PyObject *join_full_name(QuarnelImplObject *self, PyObject *parent, PyObject *own);

// An end_time argument of a method: None (or absent) means a tenth of a second from now;
// anything else must convert to a float (TypeError "end_time must be a float or None").
int end_time_arg(PyObject *obj, double *end_time);

// The interned empty str: the module scope's full name.
PyObject *module_scope_name(QuarnelImplObject *self);

// Methods of the analyzer object (entries of its method table).
PyObject *QuarnelImpl_AnalyzeLogical(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_ClearAnalysis(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_AnalyzeLogicalList(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_AstForLogicalLine(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_ParseLogicalLine(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_GetScopeDefForFullName(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_GetFullNameForScopeDef(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_LogicalCacheModified(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_GetBodyOfScope(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_FindScopeForLine(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_LogicalCacheNeedsUpdate(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_RebuildCache(QuarnelImplObject *self, PyObject *args);

#endif  // QUARNEL_LINEANALYSIS_H
