// Breakpoints: the test made at every line event and the report of changed breakpoints that
// every stop callback receives.
#ifndef ZARDEL_BREAKPOINTS_H
#define ZARDEL_BREAKPOINTS_H

#include <Python.h>
#include <frameobject.h>

// Whether a user breakpoint stops `frame` at its current line; with `update` set, a hit also
// counts hits, applies ignore counts and conditions and removes temporary breakpoints.
bool __tracer_break_here(PyFrameObject *frame, int update);

// The (deleted ids, changed records) report of the breakpoints changed since the last stop, as a
// new 2-tuple of lists; consumes the recorded changes. Null with MemoryError set on failure.
PyObject *__tracer_get_changed_bps_lists();

// Records a loaded module's file in the loaded-module table (and, once the tracer keeps
// breakpoints, binds the breakpoints that wait for it).
void __tracer_resolve_bp_filenames(const char *filename);

// For a module with a file, when synonyms are allowed: __tracer_resolve_bp_filenames of its file.
void __tracer_xfer_module_bps(PyObject *module);

#endif  // ZARDEL_BREAKPOINTS_H
