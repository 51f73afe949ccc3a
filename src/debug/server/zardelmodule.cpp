// The debug tracer module: registration, the method table, the state record and the operations
// that build and tear it down (init, reset, destroy, exitfunc).
#include "zardelmodule.h"

#include <dlfcn.h>
#include <stdio.h>

#include "dispatch.h"
#include "exceptions.h"
#include "fileops.h"
#include "hostutils.h"
#include "modules.h"
#include "runcontrol.h"

tTracerData gSelf;
PyObject *gModuleSelf = nullptr;

// The interpreter's PyThread_get_thread_ident, found at load; null when the lookup failed.
typedef long (*tGetThreadIdentFunc)(void);
static tGetThreadIdentFunc gGetThreadIdentFunc = nullptr;

// get_python_dll_handle --
//   Opens a handle to the shared object that provides the interpreter's API (the python2.7
//   executable itself, or libpython2.7 in an embedding program). *must_free is set to 1 when the
//   caller has to close the handle. Returns null, without a Python error, when it cannot be found.
static void *get_python_dll_handle(int *must_free) {
  *must_free = 0;
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&PyString_AsString), &info) != 0 && info.dli_fname) {
    void *handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (handle) {
      *must_free = 1;
      return handle;
    }
  }
  void *handle = dlopen(nullptr, RTLD_LAZY);
  if (handle) *must_free = 1;
  return handle;
}

// lookup_python_function --
//   Returns the address of the interpreter's exported function `name`, or null.
void *lookup_python_function(const char *name) {
  int must_free = 0;
  void *handle = get_python_dll_handle(&must_free);
  if (!handle) return nullptr;
  dlerror();
  void *address = dlsym(handle, name);
  if (must_free) dlclose(handle);
  return address;
}

int __tracer_check_initialised() {
  if (gSelf.state_built) return 0;
  PyErr_SetString(PyExc_RuntimeError, "the tracer is not initialised: call init() first");
  return -1;
}

long get_thread_ident() {
  if (gGetThreadIdentFunc) return gGetThreadIdentFunc();
  return 1;
}

// __tracer_install_import_hook --
//   Replaces __import__ in the caller's builtins by the module's import_hook when the hook is
//   wanted and not installed yet. Returns -1 with AssertionError set when the hook is the default
//   import itself; a missing import_hook attribute just leaves the import alone.
static int __tracer_install_import_hook() {
  if (!gSelf.use_import_hook || gSelf.import_hook) return 0;
  PyRef hook(PyObject_GetAttrString(gModuleSelf, "import_hook"));
  if (!hook) {
    PyErr_Clear();
    return 0;
  }
  int cmp = PyObject_Compare(hook.get(), gSelf.default_import);
  if (PyErr_Occurred()) return -1;
  if (cmp == 0) {
    PyErr_SetString(PyExc_AssertionError,
                    "The default import hook cannot be equal to our import hook");
    return -1;
  }
  PyFrameObject *frame = PyEval_GetFrame();
  PyObject *builtins = frame ? frame->f_builtins : PyEval_GetBuiltins();
  if (builtins && PyDict_SetItemString(builtins, "__import__", hook.get()) < 0) return -1;
  gSelf.import_hook = hook.release();
  return 0;
}

// __tracer_init_tables --
//   Builds the keyed state of a fresh tracer (steps that init() takes after the argument checks).
static void __tracer_init_tables() {
  CU_InitHashTable(&gSelf.userbps, 4);
  gSelf.file_ops_data = create_file_ops_data();
  gSelf.next_bp_id = 1;
  gSelf.changed_bps = nullptr;
  CU_InitHashTable(&gSelf.exception_filter, 4);
  gSelf.exiting_on_exception = 0;
  CU_InitHashTable(&gSelf.loaded_modules, 0);
  gSelf.newly_imported_module_files = PyList_New(0);
  gSelf.import_hook = nullptr;
  gSelf.import_cb_args = PyTuple_New(1);
  gSelf.import_cb_active = 0;
  gSelf.import_level = 0;
  InitCOPathnameTable(&gSelf.co_pathname_table);
}

// __tracer_clear_loaded_modules --
//   Frees every value block of the loaded-module table and makes it empty again.
static void __tracer_clear_loaded_modules() {
  CU_DeallocHashTable(&gSelf.loaded_modules);
  CU_InitHashTable(&gSelf.loaded_modules, 0);
}

// __tracer_release_all --
//   Releases everything a successful init() took, leaving the record as it was at load (apart
//   from the settings). Used by a repeated init(): first restores sys.exitfunc as destroy() does,
//   so the new init() records the user's exit function and not our own.
static void __tracer_release_all() {
  PyRef ignored(_tracer_destroy(nullptr, nullptr));
  if (!ignored) PyErr_Clear();
  clear_owned(gSelf.idle_cb);
  clear_owned(gSelf.line_cb);
  clear_owned(gSelf.return_cb);
  clear_owned(gSelf.exception_cb);
  clear_owned(gSelf.quit_cb);
  clear_owned(gSelf.import_cb);
  clear_owned(gSelf.default_import);
  clear_owned(gSelf.import_hook);
  clear_owned(gSelf.bot_frame);
  clear_owned(gSelf.stop_frame);
  clear_owned(gSelf.return_frame);
  clear_owned(gSelf.curr_frame);
  clear_owned(gSelf.filestring);
  clear_owned(gSelf.newly_imported_module_files);
  clear_owned(gSelf.import_cb_args);
  CU_DeallocHashTable(&gSelf.loaded_modules);
  destroy_file_ops_data(gSelf.file_ops_data);
  gSelf.file_ops_data = nullptr;
  ClearCOPathnameTable(&gSelf.co_pathname_table);
  CU_DeleteHashTable(&gSelf.userbps);
  __tracer_free_exc_filters();
  gSelf.state_built = 0;
}

PyObject *_tracer_init(PyObject *, PyObject *args) {
  fflush(stdout);
  fflush(stderr);
  if (gSelf.state_built) __tracer_release_all();

  gSelf.initialized = 0;
  gSelf.tracing = 0;
  gSelf.tracing_thread = 0;

  // Fetched before the arguments are checked; a failure leaves the field empty.
  set_owned(gSelf.trace_module, gModuleSelf);
  PyRef fetched(PyObject_GetAttrString(gModuleSelf, "trace_dispatch"));
  if (!fetched) PyErr_Clear();
  set_owned(gSelf.trace_function, fetched.get());
  fetched.reset(PyImport_ImportModule("sys"));
  if (!fetched) PyErr_Clear();
  set_owned(gSelf.sys_module, fetched.get());
  fetched.reset(gSelf.sys_module ? PyObject_GetAttrString(gSelf.sys_module, "settrace") : nullptr);
  if (!fetched) PyErr_Clear();
  set_owned(gSelf.sys_settrace, fetched.get());
  clear_owned(gSelf.always_stop_excepts);
  clear_owned(gSelf.never_stop_excepts);

  // The objects are parsed into locals and stored only once every check has passed, so a failed
  // init() holds no reference that a later reset() or destroy() could release twice.
  int idle_period, optimize_nobps, use_import_hook, exception_mode, allow_synonyms;
  PyObject *idle_cb, *line_cb, *return_cb, *exception_cb, *quit_cb, *import_cb, *default_import;
  if (!PyArg_ParseTuple(args, "iiiiiOOOOOOO:tracer_init", &idle_period, &optimize_nobps,
                        &use_import_hook, &exception_mode, &allow_synonyms, &idle_cb, &line_cb,
                        &return_cb, &exception_cb, &quit_cb, &import_cb, &default_import)) {
    return nullptr;
  }
  gSelf.idle_period = idle_period;
  gSelf.optimize_nobps = optimize_nobps;
  gSelf.use_import_hook = use_import_hook;
  gSelf.exception_mode = exception_mode;
  gSelf.allow_synonyms = allow_synonyms;

  const struct {
    PyObject *object;
    bool may_be_none;
    const char *message;
  } checks[] = {
      {idle_cb, false, "idle_cb must be callable"},
      {line_cb, false, "line_cb must be callable"},
      {return_cb, false, "return_cb must be callable"},
      {exception_cb, false, "exception_cb must be callable"},
      {quit_cb, false, "quit_cb must be callable"},
      {import_cb, true, "import_cb must be None or callable"},
      {default_import, false, "default_import must be callable"},
  };
  for (const auto &check : checks) {
    if (check.may_be_none && check.object == Py_None) continue;
    if (!PyCallable_Check(check.object)) {
      PyErr_SetString(PyExc_TypeError, check.message);
      return nullptr;
    }
  }
  set_owned(gSelf.idle_cb, idle_cb);
  set_owned(gSelf.line_cb, line_cb);
  set_owned(gSelf.return_cb, return_cb);
  set_owned(gSelf.exception_cb, exception_cb);
  set_owned(gSelf.quit_cb, quit_cb);
  set_owned(gSelf.import_cb, import_cb);
  set_owned(gSelf.default_import, default_import);

  set_none(gSelf.bot_frame);
  set_none(gSelf.stop_frame);
  set_none(gSelf.return_frame);
  set_none(gSelf.curr_frame);
  gSelf.autoquit = 1;

  PyObject *filestring = PyString_FromString("__file__");
  if (!filestring) PyErr_Clear();
  set_owned(gSelf.filestring, filestring);
  Py_XDECREF(filestring);
  gSelf.codefile[0] = '\0';
  gSelf.idle_instruction_count = 0;
  gSelf.idle_instruction_threshold = 100;
  gSelf.idle_time_threshold = 0;

  __tracer_init_tables();
  gSelf.state_built = 1;

  if (__tracer_install_import_hook() < 0) return nullptr;

  PyObject *previous = PySys_GetObject(const_cast<char *>("exitfunc"));  // borrowed
  set_owned(gSelf.orig_exitfunc, previous);
  PyRef exitfunc(PyObject_GetAttrString(gModuleSelf, "exitfunc"));
  if (!exitfunc || PySys_SetObject(const_cast<char *>("exitfunc"), exitfunc.get()) < 0) {
    return nullptr;
  }
  gSelf.exitfunc_installed = 1;
  Py_RETURN_NONE;
}

PyObject *_tracer_reset(PyObject *, PyObject *) {
  __tracer_stop_trace();
  set_none(gSelf.bot_frame);
  set_none(gSelf.stop_frame);
  set_none(gSelf.return_frame);
  set_none(gSelf.curr_frame);
  gSelf.autoquit = 1;
  if (gSelf.state_built) {
    gSelf.next_bp_id = 1;
    gSelf.changed_bps = nullptr;
    __tracer_clear_exc_filters();
    __tracer_clear_loaded_modules();
    destroy_file_ops_data(gSelf.file_ops_data);
    gSelf.file_ops_data = create_file_ops_data();
    set_owned(gSelf.newly_imported_module_files, nullptr);
    gSelf.newly_imported_module_files = PyList_New(0);
  }
  gSelf.exiting_on_exception = 0;
  gSelf.initialized = 0;
  clear_owned(gSelf.always_stop_excepts);
  clear_owned(gSelf.never_stop_excepts);
  Py_RETURN_NONE;
}

// _tracer_destroy --
//   reset(), then the code-object table is emptied (its references to bytecode strings are
//   released) and the previous sys.exitfunc restored.
PyObject *_tracer_destroy(PyObject *self, PyObject *args) {
  PyObject *result = _tracer_reset(self, args);
  if (gSelf.state_built) ClearCOPathnameTable(&gSelf.co_pathname_table);
  if (gSelf.exitfunc_installed) {
    gSelf.exitfunc_installed = 0;
    if (gSelf.orig_exitfunc) {
      PySys_SetObject(const_cast<char *>("exitfunc"), gSelf.orig_exitfunc);
    } else {
      PyObject *sysdict = PyThreadState_GET()->interp->sysdict;
      if (PyDict_DelItemString(sysdict, "exitfunc") < 0) PyErr_Clear();
    }
  }
  clear_owned(gSelf.orig_exitfunc);
  return result;
}

PyObject *_tracer_exitfunc(PyObject *, PyObject *) {
  if (gSelf.quit_cb) {
    PyRef result(PyObject_CallObject(gSelf.quit_cb, nullptr));
    if (!result) PyErr_Clear();
  }
  if (gSelf.orig_exitfunc) {
    PyRef previous(gSelf.orig_exitfunc);  // taken, so it runs at most once
    gSelf.orig_exitfunc = nullptr;
    PyObject *err = PySys_GetObject(const_cast<char *>("stderr"));  // borrowed
    PyRef result(PyObject_CallObject(previous.get(), nullptr));
    if (!result) {
      if (err) {
        PyFile_WriteString("Error in sys.exitfunc (called from debugger core):\n", err);
      }
      PyErr_Print();
    }
  }
  if (Py_FlushLine() != 0) PyErr_Clear();
  Py_RETURN_NONE;
}

PyObject *_tracer_set_idle_period(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, "i:tracer_set_idle_period", &gSelf.idle_period)) return nullptr;
  Py_RETURN_NONE;
}

PyObject *_tracer_get_tracing(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":get_tracing")) return nullptr;
  return PyInt_FromLong(gSelf.tracing);
}

static const char init_doc[] =
    "Initialize the tracer:  This must be called before using other\n"
    "functions in this module!  Pass in: idle period, 0/1 optimize frames,\n"
    "0/1 optimize when w/o breakpoints, 0/1 to use import hook, \n"
    "exception mode (0=never stop, 1=always stop, 2=stop on unhandled only),\n"
    "idle callback, line callback, return callback, and exception callback.\n"
    "Currently there is also a default_import parameter which should get\n"
    "__builtins__['__import__'] until we can access this correctly on the C side";
static const char exitfunc_doc[] =
    "Clean up on exit.  This is installed as the sys.exitfunc, and it\n"
    "will call the original exitfunc that may have been set before debugging\n"
    "was started.";

static const char start_trace_doc[] =
    " Set trace function to start tracing and set the trace in all frames\n"
    "in the range from min_trace_frame to max_trace_frame.  If the tracer\n"
    "is not installed in any existing frame, the installed trace function \n"
    "is instead called the first time when a function call is made (which \n"
    "may not be any any well-defined location except if this is called just \n"
    "before invoking a call that should be debugged).  In order to understand \n"
    "this, read the Python debugger docs in section 'How it works'.  ";
static const char trace_dispatch_doc[] =
    "The main trace function : called during debugging on every single\n"
    "Python instruction so it's very performance critical.  We use\n"
    "less-safe fast macro equivalents for Python value access (requires\n"
    "caution in sending correct parameters!), and various other tricks to\n"
    "squeeze every possible CPU cycle out of this code.\n";
static const char set_autoquit_doc[] =
    "Set the autoquit flag.  Set autoquit to 0 to prevent automatic\n"
    "dropping of the debug connection when the bottom frame is reached (as\n"
    "should be done in embedded scripting, where the bottom frame is\n"
    "just the end of a single script invocation).";
static const char exiting_on_exception_doc[] =
    "Returns true when the debugger core has seen an unhandled exception at the\n"
    "bottom frame, and thus any further stepping, etc, will cause the program\n"
    "to exit.  This is used to make sure we close the client connection cleanly\n"
    "in all cases.";

#define TRACER_METHOD(name, doc) \
  { #name, reinterpret_cast<PyCFunction>(_tracer_##name), METH_VARARGS, doc }

// The module's methods, in the order the debugger's code knows them.
static PyMethodDef TracerMethods[] = {
    TRACER_METHOD(init, init_doc),
    TRACER_METHOD(reset, "Reset the debug tracer to blank initial state"),
    TRACER_METHOD(destroy, "Clear all info from the tracer"),
    TRACER_METHOD(set_exception_mode, set_exception_mode_doc),
    TRACER_METHOD(get_exception_mode, get_exception_mode_doc),
    TRACER_METHOD(ignore_exception_loc, ignore_exception_loc_doc),
    TRACER_METHOD(clear_exception_ignores, clear_exception_ignores_doc),
    TRACER_METHOD(is_botframe, "Compares given frame with bottom frame, returns 1 if same"),
    TRACER_METHOD(step_into, "Set up to step into next function or to next instruction"),
    TRACER_METHOD(step_over, "Set up to step over the next instruction"),
    TRACER_METHOD(step_out, "Set up to step out of the current stack frame"),
    TRACER_METHOD(continue_run, "Set up to continue running freely until next breakpoint"),
    TRACER_METHOD(stop, "Set up to stop at next reached run location"),
    TRACER_METHOD(start_trace, start_trace_doc),
    TRACER_METHOD(stop_trace, "Remove trace function and stop debugging."),
    TRACER_METHOD(get_tracing, "Returns whether tracing is active in any thread"),
    TRACER_METHOD(locals_to_fast, locals_to_fast_doc),
    TRACER_METHOD(trace_dispatch, trace_dispatch_doc),
    TRACER_METHOD(set_import_cb, set_import_cb_doc),
    TRACER_METHOD(set_autoquit, set_autoquit_doc),
    // Takes keywords: 2.7 code calls __import__(name, fromlist=[...]) and level=...
    {"import_hook",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(_tracer_import_hook)),
     METH_VARARGS | METH_KEYWORDS, import_hook_doc},
    TRACER_METHOD(exiting_on_exception, exiting_on_exception_doc),
    TRACER_METHOD(exitfunc, exitfunc_doc),
    TRACER_METHOD(set_always_stop_excepts, set_always_stop_excepts_doc),
    TRACER_METHOD(get_always_stop_excepts, get_always_stop_excepts_doc),
    TRACER_METHOD(set_never_stop_excepts, set_never_stop_excepts_doc),
    TRACER_METHOD(get_never_stop_excepts, get_never_stop_excepts_doc),
    TRACER_METHOD(set_idle_period,
                  "Set the idle period (in seconds):  The idle call back is called this often"),
    TRACER_METHOD(get_frame_file, get_frame_file_doc),
    TRACER_METHOD(connect_module_scan, connect_module_scan_doc),
    TRACER_METHOD(get_new_imports, get_new_imports_doc),
    TRACER_METHOD(register_module, register_module_doc),
    TRACER_METHOD(GetUserName, GetUserName_doc),
    TRACER_METHOD(GetUserAppDataPath, GetUserAppDataPath_doc),
    TRACER_METHOD(WaitForInput, WaitForInput_doc),
    TRACER_METHOD(CopyIntoBuffer, CopyIntoBuffer_doc),
    TRACER_METHOD(PyFrame_LocalsToFast, PyFrame_LocalsToFast_doc),
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT initzardel27(void) {
  gModuleSelf = Py_InitModule4("zardel27", TracerMethods, nullptr, nullptr, PYTHON_API_VERSION);
  if (!gModuleSelf) return;
  gGetThreadIdentFunc =
      reinterpret_cast<tGetThreadIdentFunc>(lookup_python_function("PyThread_get_thread_ident"));
}
