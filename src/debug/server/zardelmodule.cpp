// The debug tracer module: registration, the method table, the state record and the operations
// that build and tear it down (init, reset, destroy, exitfunc).
#include "zardelmodule.h"

#include <dlfcn.h>
#include <stdio.h>

#include "breakpoints.h"
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

// __tracer_check_import_hook --
//   The hook that init() is to install, checked before anything is changed: the module's
//   import_hook attribute in *hook (left empty, without an error, when the module has none).
//   -1 with AssertionError set when the hook is the default import itself.
static int __tracer_check_import_hook(PyObject *default_import, PyRef *hook) {
  hook->reset(PyObject_GetAttrString(gModuleSelf, "import_hook"));
  if (!*hook) {
    PyErr_Clear();
    return 0;
  }
  int cmp = PyObject_Compare(hook->get(), default_import);
  if (PyErr_Occurred()) return -1;
  if (cmp == 0) {
    hook->reset();
    PyErr_SetString(PyExc_AssertionError,
                    "The default import hook cannot be equal to our import hook");
    return -1;
  }
  return 0;
}

// __tracer_install_import_hook --
//   Replaces __import__ in the caller's builtins by `hook` (checked by
//   __tracer_check_import_hook) unless a hook is installed already, remembering the dictionary
//   and the import it replaced so that teardown can put that back.
static int __tracer_install_import_hook(PyObject *hook) {
  if (!hook || gSelf.import_hook) return 0;
  PyFrameObject *frame = PyEval_GetFrame();
  PyObject *builtins = frame ? frame->f_builtins : PyEval_GetBuiltins();
  if (!builtins) return 0;
  // Taken before the dictionary drops its own reference to it.
  set_owned(gSelf.replaced_import, PyDict_GetItemString(builtins, "__import__"));
  set_owned(gSelf.import_hook_builtins, builtins);
  if (PyDict_SetItemString(builtins, "__import__", hook) < 0) return -1;
  set_owned(gSelf.import_hook, hook);
  return 0;
}

// __tracer_remove_import_hook --
//   Puts the replaced __import__ back into the builtins the hook was installed in, but only
//   while the hook is still the import there (the program may have installed its own since),
//   and forgets the hook.
static void __tracer_remove_import_hook() {
  PyObject *builtins = gSelf.import_hook_builtins;
  if (gSelf.import_hook && builtins &&
      PyDict_GetItemString(builtins, "__import__") == gSelf.import_hook) {
    int status = gSelf.replaced_import
                     ? PyDict_SetItemString(builtins, "__import__", gSelf.replaced_import)
                     : PyDict_DelItemString(builtins, "__import__");
    if (status < 0) PyErr_Clear();
  }
  clear_owned(gSelf.import_hook);
  clear_owned(gSelf.replaced_import);
  clear_owned(gSelf.import_hook_builtins);
}

// __tracer_exitfunc_is_ours --
//   Whether sys.exitfunc is this module's exitfunc.
static bool __tracer_exitfunc_is_ours() {
  PyObject *current = PySys_GetObject(const_cast<char *>("exitfunc"));
  return current && current == PyDict_GetItemString(PyModule_GetDict(gModuleSelf), "exitfunc");
}

// __tracer_take_previous_exitfunc --
//   The newest recorded previous exit function (a new reference), removed from the records so
//   that it runs at most once; null when none is left.
static PyObject *__tracer_take_previous_exitfunc() {
  PyObject *later = gSelf.later_exitfuncs;
  if (later && PyList_GET_SIZE(later) > 0) {
    Py_ssize_t last = PyList_GET_SIZE(later) - 1;
    PyObject *previous = PyList_GET_ITEM(later, last);
    Py_INCREF(previous);
    if (PyList_SetSlice(later, last, last + 1, nullptr) < 0) PyErr_Clear();
    return previous;
  }
  PyObject *previous = gSelf.orig_exitfunc;
  gSelf.orig_exitfunc = nullptr;
  return previous;
}

// __tracer_install_exitfunc --
//   Makes `ours` sys.exitfunc, recording the exit function in place unless it is ours already:
//   as orig_exitfunc when nothing is recorded, else (the program set it over ours after an
//   earlier init) among later_exitfuncs, so that no exit function of the program is dropped.
static int __tracer_install_exitfunc(PyObject *ours) {
  PyObject *current = PySys_GetObject(const_cast<char *>("exitfunc"));  // borrowed
  if (current && current != ours) {
    bool recorded = gSelf.orig_exitfunc ||
                    (gSelf.later_exitfuncs && PyList_GET_SIZE(gSelf.later_exitfuncs) > 0);
    if (!recorded) {
      set_owned(gSelf.orig_exitfunc, current);
    } else {
      if (!gSelf.later_exitfuncs && !(gSelf.later_exitfuncs = PyList_New(0))) return -1;
      if (PyList_Append(gSelf.later_exitfuncs, current) < 0) return -1;
    }
  }
  return PySys_SetObject(const_cast<char *>("exitfunc"), ours);
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
  init_loaded_modules();
  gSelf.newly_imported_module_files = PyList_New(0);
  gSelf.import_hook = nullptr;
  gSelf.import_cb_args = PyTuple_New(1);
  gSelf.import_cb_active = 0;
  gSelf.import_level = 0;
  InitCOPathnameTable(&gSelf.co_pathname_table);
}

// __tracer_release_all --
//   Releases everything a successful init() took, leaving the record as it was at load (apart
//   from the settings and the recorded exit functions). Used by a repeated init(): first tears
//   down as destroy() does, so the import hook and sys.exitfunc are handed back before the new
//   init() takes them over again.
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
  clear_owned(gSelf.bot_frame);
  clear_owned(gSelf.stop_frame);
  clear_owned(gSelf.return_frame);
  clear_owned(gSelf.curr_frame);
  clear_owned(gSelf.filestring);
  clear_owned(gSelf.newly_imported_module_files);
  clear_owned(gSelf.import_cb_args);
  free_loaded_modules();
  destroy_file_ops_data(gSelf.file_ops_data);
  gSelf.file_ops_data = nullptr;
  __tracer_free_all_bps();
  __tracer_free_exc_filters();
  gSelf.state_built = 0;
}

// _tracer_init --
//   init(...): parses and checks every argument, the import hook and our exit function first,
//   and only then tears down the state of an earlier init() and builds the new one. A failed
//   init() thus leaves the tracer exactly as it was (still usable by a debugger that caught the
//   error), and an argument whose conversion calls init() itself finds its state taken over
//   and released, not overwritten.
PyObject *_tracer_init(PyObject *, PyObject *args) {
  fflush(stdout);
  fflush(stderr);

  int idle_period, optimize_nobps, use_import_hook, exception_mode, allow_synonyms;
  PyObject *idle_cb, *line_cb, *return_cb, *exception_cb, *quit_cb, *import_cb, *default_arg;
  if (!PyArg_ParseTuple(args, "iiiiiOOOOOOO:tracer_init", &idle_period, &optimize_nobps,
                        &use_import_hook, &exception_mode, &allow_synonyms, &idle_cb, &line_cb,
                        &return_cb, &exception_cb, &quit_cb, &import_cb, &default_arg)) {
    return nullptr;
  }
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
      {default_arg, false, "default_import must be callable"},
  };
  for (const auto &check : checks) {
    if (check.may_be_none && check.object == Py_None) continue;
    if (!PyCallable_Check(check.object)) {
      PyErr_SetString(PyExc_TypeError, check.message);
      return nullptr;
    }
  }
  // __builtins__['__import__'] is our own hook while one is installed: it stands for the
  // import it replaced, which teardown is about to put back.
  PyRef default_import = PyRef::borrow(
      gSelf.import_hook && default_arg == gSelf.import_hook && gSelf.replaced_import
          ? gSelf.replaced_import
          : default_arg);
  PyRef hook;
  if (use_import_hook && __tracer_check_import_hook(default_import.get(), &hook) < 0) {
    return nullptr;
  }
  PyRef exitfunc(PyObject_GetAttrString(gModuleSelf, "exitfunc"));
  if (!exitfunc) return nullptr;

  if (__tracer_check_bps_editable() < 0) return nullptr;

  // Every check has passed: from here on the previous state is replaced.
  if (gSelf.state_built) __tracer_release_all();
  gSelf.initialized = 0;
  gSelf.tracing = 0;
  gSelf.tracing_thread = 0;

  // A failed fetch leaves the field empty.
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

  gSelf.idle_period = idle_period;
  gSelf.optimize_nobps = optimize_nobps;
  gSelf.use_import_hook = use_import_hook;
  gSelf.exception_mode = exception_mode;
  gSelf.allow_synonyms = allow_synonyms;
  set_owned(gSelf.idle_cb, idle_cb);
  set_owned(gSelf.line_cb, line_cb);
  set_owned(gSelf.return_cb, return_cb);
  set_owned(gSelf.exception_cb, exception_cb);
  set_owned(gSelf.quit_cb, quit_cb);
  set_owned(gSelf.import_cb, import_cb);
  set_owned(gSelf.default_import, default_import.get());

  set_none(gSelf.bot_frame);
  gSelf.bot_depth = -1;
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

  if (__tracer_install_import_hook(hook.get()) < 0) return nullptr;
  if (__tracer_install_exitfunc(exitfunc.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *_tracer_reset(PyObject *, PyObject *) {
  if (__tracer_check_bps_editable() < 0) return nullptr;
  __tracer_stop_trace();
  set_none(gSelf.bot_frame);
  gSelf.bot_depth = -1;
  set_none(gSelf.stop_frame);
  set_none(gSelf.return_frame);
  set_none(gSelf.curr_frame);
  gSelf.autoquit = 1;
  if (gSelf.state_built) {
    __tracer_clear_all_bps();
    gSelf.next_bp_id = 1;
    __tracer_clear_exc_filters();
    free_loaded_modules();
    init_loaded_modules();
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
//   reset(), then empties the code-object table (releasing its references to bytecode strings)
//   and hands back what init() took over: the builtins' __import__ (while our hook is still
//   there) and sys.exitfunc. The previous exit function is restored only while sys.exitfunc is
//   ours; when the program has put its own there (atexit does, keeping ours among its
//   handlers), it is left alone and ours still runs the recorded ones at exit.
PyObject *_tracer_destroy(PyObject *self, PyObject *args) {
  PyObject *result = _tracer_reset(self, args);
  if (!result) return nullptr;
  if (gSelf.state_built) ClearCOPathnameTable(&gSelf.co_pathname_table);
  __tracer_remove_import_hook();
  if (__tracer_exitfunc_is_ours()) {
    PyRef previous(__tracer_take_previous_exitfunc());
    if (previous) {
      if (PySys_SetObject(const_cast<char *>("exitfunc"), previous.get()) < 0) PyErr_Clear();
    } else {
      PyObject *sysdict = PyThreadState_GET()->interp->sysdict;
      if (PyDict_DelItemString(sysdict, "exitfunc") < 0) PyErr_Clear();
    }
  }
  return result;
}

// Depth of exitfunc calls in progress: a previous exit function may call ours again (atexit
// keeps it among its handlers), and that nested call only goes on with the exit functions.
static int gExitfuncDepth = 0;

// _tracer_exitfunc --
//   exitfunc(): stops tracing, so that neither quit_cb nor the interpreter's teardown is traced
//   (quit_cb's own return would otherwise end a debugged region and call it again), calls
//   quit_cb, then every recorded previous exit function once, newest first. An error of one of
//   them is printed under a heading to the sys.stderr in place after it ran (it may have
//   replaced sys.stderr).
PyObject *_tracer_exitfunc(PyObject *, PyObject *) {
  if (gSelf.tracing) __tracer_stop_trace();
  if (gExitfuncDepth == 0 && gSelf.quit_cb) {
    PyRef callback = PyRef::borrow(gSelf.quit_cb);
    PyRef result(PyObject_CallObject(callback.get(), nullptr));
    if (!result) PyErr_Clear();
  }
  ++gExitfuncDepth;
  for (PyRef previous(__tracer_take_previous_exitfunc()); previous;
       previous.reset(__tracer_take_previous_exitfunc())) {
    PyRef result(PyObject_CallObject(previous.get(), nullptr));
    if (result) continue;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef err = PyRef::borrow(PySys_GetObject(const_cast<char *>("stderr")));
    if (err && PyFile_WriteString("Error in sys.exitfunc (called from debugger core):\n",
                                  err.get()) < 0) {
      PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
    PyErr_Print();
  }
  --gExitfuncDepth;
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
    TRACER_METHOD(set_break, set_break_doc),
    TRACER_METHOD(clear_breaks, clear_breaks_doc),
    TRACER_METHOD(enable_breaks, enable_breaks_doc),
    TRACER_METHOD(ignore_breaks, ignore_breaks_doc),
    TRACER_METHOD(set_breaks_cond, set_breaks_cond_doc),
    TRACER_METHOD(get_breaks, get_breaks_doc),
    TRACER_METHOD(get_file_breaks, get_file_breaks_doc),
    TRACER_METHOD(clear_all_breaks, clear_all_breaks_doc),
    TRACER_METHOD(break_here, break_here_doc),
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
    // Per-id breakpoint edits, for breakpoints that share a line.
    TRACER_METHOD(clear_break, clear_break_doc),
    TRACER_METHOD(enable_break, enable_break_doc),
    TRACER_METHOD(ignore_break, ignore_break_doc),
    TRACER_METHOD(set_break_cond, set_break_cond_doc),
    TRACER_METHOD(return_value,
                  "The value the frame of the return stop being reported returns: None when\n"
                  "it ends with an exception or outside a return stop"),
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT initzardel27(void) {
  gModuleSelf = Py_InitModule4("zardel27", TracerMethods, nullptr, nullptr, PYTHON_API_VERSION);
  if (!gModuleSelf) return;
  gGetThreadIdentFunc =
      reinterpret_cast<tGetThreadIdentFunc>(lookup_python_function("PyThread_get_thread_ident"));
}
