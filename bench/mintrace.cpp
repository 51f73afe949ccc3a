// The least a native trace function can do: return 0 on every event. Its overhead is the floor
// against which the tracer's own overhead is measured.
#include "pyref.h"

#include <frameobject.h>

static int noop_trace(PyObject *, PyFrameObject *, int, PyObject *) { return 0; }

static PyObject *install(PyObject *, PyObject *) {
  PyEval_SetTrace(noop_trace, nullptr);
  Py_RETURN_NONE;
}

static PyObject *remove(PyObject *, PyObject *) {
  PyEval_SetTrace(nullptr, nullptr);
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"install", install, METH_NOARGS, "Install the no-op trace function in this thread."},
    {"remove", remove, METH_NOARGS, "Remove the trace function of this thread."},
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT init_mintrace(void) { Py_InitModule("_mintrace", methods); }
