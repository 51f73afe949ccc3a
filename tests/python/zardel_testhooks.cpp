// Test-only extension _zardel_testhooks: the tracer's code-object pathname table, built from the
// tracer's own source, with its operations reachable from Python. The module keeps one table of
// its own; zardel27 does not publish these operations.
#include <Python.h>

#include "copathname.h"
#include "pyref.h"

static tCOPathnameTable gTable;

// code_arg --
//   The code-object argument of a hook, or null with TypeError set.
static PyCodeObject *code_arg(PyObject *obj) {
  if (PyCode_Check(obj)) return reinterpret_cast<PyCodeObject *>(obj);
  PyErr_SetString(PyExc_TypeError, "a code object is required");
  return nullptr;
}

// register(code, pathname, force) -> 0 or -1, the registration's status.
static PyObject *hook_register(PyObject *, PyObject *args) {
  PyObject *code;
  const char *pathname;
  int force;
  if (!PyArg_ParseTuple(args, "Osi:register", &code, &pathname, &force)) return nullptr;
  PyCodeObject *co = code_arg(code);
  if (!co) return nullptr;
  return PyInt_FromLong(RegisterCOPathname(&gTable, co, pathname, force));
}

// register_matching(pathname, globals, force) -> the walk's status (always 0).
static PyObject *hook_register_matching(PyObject *, PyObject *args) {
  const char *pathname;
  PyObject *globals;
  int force;
  if (!PyArg_ParseTuple(args, "sOi:register_matching", &pathname, &globals, &force)) {
    return nullptr;
  }
  return PyInt_FromLong(RegisterMatchingCodeValues(&gTable, pathname, globals, force));
}

// lookup(code) -> the registered file name, or None.
static PyObject *hook_lookup(PyObject *, PyObject *args) {
  PyObject *code;
  if (!PyArg_ParseTuple(args, "O:lookup", &code)) return nullptr;
  PyCodeObject *co = code_arg(code);
  if (!co) return nullptr;
  const char *name = LookupCOPathname(&gTable, co);
  if (!name) Py_RETURN_NONE;
  return PyString_FromString(name);
}

// state() -> (number of entries, calls since the last garbage collection).
static PyObject *hook_state(PyObject *, PyObject *) {
  return Py_BuildValue("(ii)", static_cast<int>(gTable.filename_for_co.numEntries),
                       gTable.collect_count);
}

// clear() -> None; releases every entry.
static PyObject *hook_clear(PyObject *, PyObject *) {
  ClearCOPathnameTable(&gTable);
  Py_RETURN_NONE;
}

static PyMethodDef hook_methods[] = {
    {"register", hook_register, METH_VARARGS, nullptr},
    {"register_matching", hook_register_matching, METH_VARARGS, nullptr},
    {"lookup", hook_lookup, METH_VARARGS, nullptr},
    {"state", hook_state, METH_NOARGS, nullptr},
    {"clear", hook_clear, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT init_zardel_testhooks(void) {
  if (!Py_InitModule("_zardel_testhooks", hook_methods)) return;
  InitCOPathnameTable(&gTable);
}
