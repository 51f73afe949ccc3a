// Breakpoints: the user's breakpoints keyed by line number, the test made at every line event,
// the report of changed breakpoints that every stop callback receives, and the binding of
// breakpoints to the module files the program loads.
#ifndef ZARDEL_BREAKPOINTS_H
#define ZARDEL_BREAKPOINTS_H

#include <Python.h>
#include <frameobject.h>

#include "zardelmodule.h"

// One breakpoint. Records of one line number form a chain through next_user, newest first, the
// head of which is the value of the line's entry in gSelf.userbps. Strings are heap copies owned
// by the record.
struct tBp {
  int id;
  char *user_filename;    // the name given to set_break, matched byte for byte by the editors
  char *module_filename;  // the loaded module file it is bound to, or null while unbound
  int lineno;
  boolean enabled;
  boolean temporary;      // deleted by the first hit that stops
  char *cond;             // expression, or null for an unconditional breakpoint
  int ignore_count;       // further hits to ignore
  int hit_count;
  int deleted;            // consumed: waits on the changed list to be reported, then freed
  int changed;            // on the changed list
  tBp *next_user;
  tBp *next_changed;
  // The port's additions: the name compared with files (user_filename with a trailing ".pyc"
  // or ".pyo" reduced to ".py"), and the condition compiled at its first evaluation.
  char *file_key;
  PyObject *cond_code;
};

// Whether a user breakpoint stops `frame` at its current line; with `update` set, the check
// also counts hits, applies ignore counts and removes consumed temporary breakpoints.
bool __tracer_break_here(PyFrameObject *frame, int update);

// The (deleted ids, changed records) report of the breakpoints changed since the last stop, as a
// new 2-tuple of lists; consumes the recorded changes. Null with MemoryError set on failure.
PyObject *__tracer_get_changed_bps_lists();

// Records a loaded module's file in the loaded-module table and, when it was new, binds the
// breakpoints that wait for a module.
void __tracer_resolve_bp_filenames(const char *filename);

// For a module with a file, when synonyms are allowed: __tracer_resolve_bp_filenames of its file.
void __tracer_xfer_module_bps(PyObject *module);

// Frees every breakpoint and the changed list and leaves userbps an empty table (reset).
void __tracer_clear_all_bps();

// Frees every breakpoint and deletes userbps (teardown).
void __tracer_free_all_bps();

// -1 with RuntimeError set while a breakpoint condition is being evaluated: the check walks the
// breakpoint records then, so they must not be freed under it. Else 0.
int __tracer_check_bps_editable();

// Module methods of this file.
PyObject *_tracer_set_break(PyObject *self, PyObject *args);
PyObject *_tracer_clear_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_enable_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_ignore_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_set_breaks_cond(PyObject *self, PyObject *args);
PyObject *_tracer_get_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_get_file_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_clear_all_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_break_here(PyObject *self, PyObject *args);

extern const char set_break_doc[];
extern const char clear_breaks_doc[];
extern const char enable_breaks_doc[];
extern const char ignore_breaks_doc[];
extern const char set_breaks_cond_doc[];
extern const char get_breaks_doc[];
extern const char get_file_breaks_doc[];
extern const char clear_all_breaks_doc[];
extern const char break_here_doc[];

#endif  // ZARDEL_BREAKPOINTS_H
