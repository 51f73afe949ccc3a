// Test-only extension _zardel_testhooks: the tracer's sources built into a separate module that
// also exposes the code-object pathname table and the loaded-module table, which zardel27 does
// not publish. The module has its own copy of the tracer's state; only the tables these hooks
// use are ever built in it.
#include <Python.h>

#include "copathname.h"
#include "fileops.h"
#include "modules.h"
#include "pyref.h"
#include "zardelmodule.h"

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

// modules_setup() -> None; an empty loaded-module table and fresh file-identity caches.
static PyObject *hook_modules_setup(PyObject *, PyObject *) {
  if (gSelf.file_ops_data) {
    free_loaded_modules();
    destroy_file_ops_data(gSelf.file_ops_data);
  }
  init_loaded_modules();
  gSelf.file_ops_data = create_file_ops_data();
  if (!gSelf.file_ops_data) return PyErr_NoMemory();
  Py_RETURN_NONE;
}

// add_loaded(name) -> 1 when the module was new, 0 when known.
static PyObject *hook_add_loaded(PyObject *, PyObject *args) {
  const char *name;
  if (!PyArg_ParseTuple(args, "s:add_loaded", &name)) return nullptr;
  if (!gSelf.file_ops_data) return PyErr_Format(PyExc_RuntimeError, "modules_setup() first");
  return PyInt_FromLong(__tracer_add_loaded_module(name));
}

// find_module(name) -> (canonical name or None, number of table entries).
static PyObject *hook_find_module(PyObject *, PyObject *args) {
  const char *name;
  if (!PyArg_ParseTuple(args, "s:find_module", &name)) return nullptr;
  if (!gSelf.file_ops_data) return PyErr_Format(PyExc_RuntimeError, "modules_setup() first");
  const char *found = __tracer_find_module(name);
  return Py_BuildValue("(zi)", found, static_cast<int>(gSelf.loaded_modules.numEntries));
}

static PyMethodDef hook_methods[] = {
    {"modules_setup", hook_modules_setup, METH_NOARGS, nullptr},
    {"add_loaded", hook_add_loaded, METH_VARARGS, nullptr},
    {"find_module", hook_find_module, METH_VARARGS, nullptr},
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
