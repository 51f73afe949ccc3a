// Breakpoints.
#include "breakpoints.h"

#include "modules.h"
#include "zardelmodule.h"

bool __tracer_break_here(PyFrameObject *, int) {
  // No breakpoint table is kept yet: a line never stops for a breakpoint.
  return false;
}

PyObject *__tracer_get_changed_bps_lists() {
  PyRef deleted(PyList_New(0));
  PyRef changed(PyList_New(0));
  if (!deleted || !changed) {
    PyErr_SetString(PyExc_MemoryError, "Out of memory");
    return nullptr;
  }
  PyObject *report = PyTuple_Pack(2, deleted.get(), changed.get());
  if (!report) PyErr_SetString(PyExc_MemoryError, "Out of memory");
  return report;
}

void __tracer_resolve_bp_filenames(const char *filename) {
  // No breakpoint table is kept yet: only the module is recorded.
  __tracer_add_loaded_module(filename);
}

void __tracer_xfer_module_bps(PyObject *module) {
  if (!gSelf.allow_synonyms || !PyModule_Check(module) || !gSelf.filestring) return;
  PyObject *file = PyDict_GetItem(PyModule_GetDict(module), gSelf.filestring);  // borrowed
  if (file && PyString_Check(file)) __tracer_resolve_bp_filenames(PyString_AS_STRING(file));
}
