// Test-only extension: calls the tracer's diagnostic print facility, which has no Python entry of
// its own, optionally with an exception pending.
#include "dprintf.h"

// emit(text, number, pending) -- do_dprintf("%s %d\n", text, number); with `pending` set, a
// ValueError "pending" is raised first and must still be the call's error afterwards.
static PyObject *emit(PyObject *, PyObject *args) {
  const char *text;
  int number, pending;
  if (!PyArg_ParseTuple(args, "sii:emit", &text, &number, &pending)) return nullptr;
  if (pending) PyErr_SetString(PyExc_ValueError, "pending");
  do_dprintf("%s %d\n", text, number);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"emit", emit, METH_VARARGS, "Prints text and number through do_dprintf."},
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT init_dprintfprobe(void) { Py_InitModule("_dprintfprobe", methods); }
