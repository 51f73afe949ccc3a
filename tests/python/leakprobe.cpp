// Test-only extension: proves that the leak check notices a function that leaks one reference
// per call, and stays quiet for one that does not.
#include "pyref.h"

static PyObject *leak_one(PyObject *, PyObject *) {
  Py_INCREF(Py_None);  // the deliberate leak
  Py_RETURN_NONE;
}

static PyObject *balanced(PyObject *, PyObject *) {
  PyRef tmp(PyList_New(3));
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"leak_one", leak_one, METH_NOARGS, "Leaks one reference to None."},
    {"balanced", balanced, METH_NOARGS, "Makes and drops a list."},
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT init_leakprobe(void) { Py_InitModule("_leakprobe", methods); }
