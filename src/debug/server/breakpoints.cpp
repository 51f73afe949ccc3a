// Breakpoints.
#include "breakpoints.h"

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
