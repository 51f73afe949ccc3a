// Module tracking: the frame-to-file resolution every breakpoint check and stop uses, the
// loaded-module table, the list of module files loaded or re-executed since the debugger last
// asked, the import callback and the replacement for __import__.
#include "modules.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "breakpoints.h"
#include "copathname.h"
#include "dprintf.h"
#include "fileops.h"
#include "runcontrol.h"
#include "zardelmodule.h"

bool is_pseudo_name(const char *name) {
  size_t len = strlen(name);
  return len >= 2 && name[0] == '<' && name[len - 1] == '>';
}

void prune_py_c_or_o(char *name) {
  size_t len = strlen(name);
  if (len > 3 && (strcasecmp(name + len - 4, ".pyc") == 0 ||
                  strcasecmp(name + len - 4, ".pyo") == 0)) {
    name[len - 1] = '\0';
  }
}

char *copy_source_name(const char *name) {
  char *copy = strdup(name);
  if (copy) prune_py_c_or_o(copy);
  return copy;
}

// existing_code_file --
//   The absolute name of the file a code object's own name (co_filename, pruned) names, when
//   that file exists (cached by the file-identity caches); else null. Uses codefile as scratch.
static const char *existing_code_file(PyObject *filename) {
  if (!filename || !PyString_CheckExact(filename)) return nullptr;
  const char *own = PyString_AS_STRING(filename);
  if (is_pseudo_name(own) || strlen(own) >= static_cast<size_t>(kPathBufferSize)) return nullptr;
  strcpy(gSelf.codefile, own);
  prune_py_c_or_o(gSelf.codefile);
  const char *absolute = get_absname(gSelf.file_ops_data, gSelf.codefile);
  tFileId id;
  return absolute && file_identity(gSelf.file_ops_data, absolute, &id) ? absolute : nullptr;
}

// The code's own name wins when it is a pseudo name (code compiled from a string names no file,
// whatever namespace it runs in) or names an existing file (execfile of another file into a
// module's namespace runs that file). The namespace's __file__ serves code whose own name is no
// file: a module compiled elsewhere keeps the name of the place it was compiled at.
const char *__tracer_get_relative_path(PyObject *globals, PyObject *filename) {
  const char *own =
      filename && PyString_CheckExact(filename) ? PyString_AS_STRING(filename) : nullptr;
  const char *name = nullptr;
  if (own && (is_pseudo_name(own) || existing_code_file(filename))) name = own;
  if (!name && globals && PyDict_Check(globals) && gSelf.filestring) {
    // The key is held for the lookup: a key of the dictionary whose hash collides runs its
    // __eq__, which may init() the tracer again and so release the field's string.
    PyRef key = PyRef::borrow(gSelf.filestring);
    PyObject *file = PyDict_GetItem(globals, key.get());  // borrowed; never raises
    if (file && PyString_CheckExact(file)) name = PyString_AS_STRING(file);
  }
  if (!name) name = own;
  if (!name || strlen(name) >= static_cast<size_t>(kPathBufferSize)) name = "<string>";
  strcpy(gSelf.codefile, name);
  prune_py_c_or_o(gSelf.codefile);
  return gSelf.codefile;
}

const char *__tracer_get_full_path(PyFrameObject *frame) {
  PyCodeObject *co = frame->f_code;
  const char *known = LookupCOPathname(&gSelf.co_pathname_table, co);
  if (known) return known;
  const char *relative = __tracer_get_relative_path(frame->f_globals, co->co_filename);
  if (is_pseudo_name(relative)) return relative;
  const char *absolute = get_absname(gSelf.file_ops_data, relative);
  return absolute ? absolute : relative;
}

// tModuleCode --
//   What code_of_module needs: the module's absolute file, and its last answer (the functions of
//   a module share one co_filename object).
struct tModuleCode {
  const char *module_file;
  PyObject *last_filename;
  bool last_answer;
};

// code_of_module --
//   Whether a function found in a module's namespace is the module's code, as
//   __tracer_get_relative_path decides for its frames: not when its own name is a pseudo name
//   (defined by exec of a string) or names an existing file other than the module's (defined by
//   execfile of that file).
static bool code_of_module(PyCodeObject *co, void *arg) {
  tModuleCode *module = static_cast<tModuleCode *>(arg);
  PyObject *filename = co->co_filename;
  if (filename == module->last_filename) return module->last_answer;
  bool answer = true;
  if (filename && PyString_CheckExact(filename)) {
    if (is_pseudo_name(PyString_AS_STRING(filename))) {
      answer = false;
    } else {
      const char *own = existing_code_file(filename);
      answer = !own || samefile(gSelf.file_ops_data, own, module->module_file);
    }
  }
  module->last_filename = filename;
  module->last_answer = answer;
  return answer;
}

const char *__resolve_module_full_path(PyObject *globals, PyObject *filename, PyCodeObject *co) {
  const char *relative = __tracer_get_relative_path(globals, filename);
  if (is_pseudo_name(relative)) return nullptr;
  const char *absolute = get_absname(gSelf.file_ops_data, relative);
  if (!absolute) return nullptr;
  if (co) {
    RegisterCOPathname(&gSelf.co_pathname_table, co, absolute, 1);
  } else {
    tModuleCode module = {absolute, nullptr, false};
    RegisterMatchingCodeValues(&gSelf.co_pathname_table, absolute, globals, 0, code_of_module,
                               &module);
  }
  return absolute;
}

// append_new_import --
//   Adds a file name to the list get_new_imports hands out. Skipped when there is no list (its
//   allocation failed) or the name cannot be made; never leaves an error set.
static void append_new_import(const char *name) {
  if (!gSelf.newly_imported_module_files) return;
  PyRef text(PyString_FromString(name));
  if (!text || PyList_Append(gSelf.newly_imported_module_files, text.get()) < 0) PyErr_Clear();
}

// __tracer_detect_module_reloads --
//   Reports every execution of a module's top-level code, first import or reload, by its file.
//   Code compiled from a string is no module even when it runs in a module's namespace (exec or
//   eval at module level), so its execution is not reported.
static void __tracer_detect_module_reloads(PyCodeObject *co) {
  if (!PyString_Check(co->co_name) || strcmp(PyString_AS_STRING(co->co_name), "<module>") != 0) {
    return;
  }
  if (PyString_Check(co->co_filename) && is_pseudo_name(PyString_AS_STRING(co->co_filename))) {
    return;
  }
  const char *file = LookupCOPathname(&gSelf.co_pathname_table, co);
  if (file && !is_pseudo_name(file)) append_new_import(file);
}

void __tracer_top_level_call(PyFrameObject *frame) {
  PyCodeObject *co = frame->f_code;
  if (!LookupCOPathname(&gSelf.co_pathname_table, co)) {
    __resolve_module_full_path(frame->f_globals, co->co_filename, co);
  }
  __tracer_detect_module_reloads(co);
}

// print_pending_error --
//   Writes "<what>: <exception class>: <text>" for the pending exception through the tracer's
//   diagnostic printing; the exception stays pending.
static void print_pending_error(const char *what) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef text(value ? PyObject_Str(value) : nullptr);
  PyErr_Clear();
  do_dprintf("%s: %s: %s\n", what, type ? PyExceptionClass_Name(type) : "?",
             text && PyString_Check(text.get()) ? PyString_AS_STRING(text.get()) : "");
  PyErr_Restore(type, value, traceback);
}

// set_only_item --
//   Replaces the single item of a one-element tuple that nobody else holds.
static void set_only_item(PyObject *tuple, PyObject *item) {
  PyObject *old = PyTuple_GET_ITEM(tuple, 0);
  Py_INCREF(item);
  PyTuple_SET_ITEM(tuple, 0, item);
  Py_XDECREF(old);
}

// __call_import_cb --
//   Calls the import callback with `module`, unless it is already running (imports made by the
//   callback itself are invisible to it) or there is none. Stepping never stops while it runs.
//   An exception it raises is cleared, after a diagnostic when those are on: the import that
//   the program asked for has succeeded.
static void __call_import_cb(PyObject *module) {
  if (gSelf.import_cb_active || !gSelf.import_cb || gSelf.import_cb == Py_None) return;
  // The one-item argument tuple is reused unless the callback kept it: a tuple that is seen
  // elsewhere must not change.
  if (!gSelf.import_cb_args || Py_REFCNT(gSelf.import_cb_args) != 1) {
    PyObject *fresh = PyTuple_Pack(1, Py_None);
    if (!fresh) {
      PyErr_Clear();
      return;
    }
    Py_XDECREF(gSelf.import_cb_args);
    gSelf.import_cb_args = fresh;
  }
  PyRef args = PyRef::borrow(gSelf.import_cb_args);
  PyRef callback = PyRef::borrow(gSelf.import_cb);  // the callback may call init() again
  set_only_item(args.get(), module);
  gSelf.import_cb_active = 1;
  PyRef result(PyObject_Call(callback.get(), args.get(), nullptr));
  gSelf.import_cb_active = 0;
  if (!result) {
    if (gUseDPrintf) print_pending_error("Exception in import callback");
    PyErr_Clear();
  }
  // The module is let go now rather than at the next import (unless the tuple was kept or
  // replaced meanwhile: only the field and `args` may hold it).
  if (Py_REFCNT(args.get()) == 2 && args.get() == gSelf.import_cb_args) {
    set_only_item(args.get(), Py_None);
  }
}

const char *register_module_direct(PyObject *module) {
  if (!PyModule_Check(module)) return nullptr;
  __call_import_cb(module);
  const char *absolute = __resolve_module_full_path(PyModule_GetDict(module), nullptr, nullptr);
  __tracer_xfer_module_bps(module);
  return absolute;
}

// sys_module_values --
//   A new list of the values of sys.modules, or null (no error left set).
static PyObject *sys_module_values() {
  if (!gSelf.sys_module) return nullptr;
  PyRef modules(PyObject_GetAttrString(gSelf.sys_module, "modules"));
  PyObject *values = modules ? PyObject_CallMethod(modules.get(), const_cast<char *>("values"),
                                                   nullptr)
                             : nullptr;
  if (!values || !PyList_Check(values)) {
    Py_XDECREF(values);
    PyErr_Clear();
    return nullptr;
  }
  return values;
}

void initial_module_scan() {
  PyRef values(sys_module_values());
  if (values) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); i++) {
      PyObject *module = PyList_GET_ITEM(values.get(), i);
      if (PyModule_Check(module)) register_module_direct(module);
    }
  }
  PyRef argv(gSelf.sys_module ? PyObject_GetAttrString(gSelf.sys_module, "argv") : nullptr);
  PyObject *script = argv ? PySequence_GetItem(argv.get(), 0) : nullptr;
  PyErr_Clear();  // no argv, or an empty one: nothing to scan
  if (!script) return;
  PyRef held(script);
  const char *absolute = __resolve_module_full_path(nullptr, script, nullptr);
  if (absolute) __tracer_resolve_bp_filenames(absolute);
}

// __add_preloaded_module_to_import_list --
//   Reports a module loaded before the debugger connected, when it has a real file.
static void __add_preloaded_module_to_import_list(PyObject *module) {
  const char *relative = __tracer_get_relative_path(PyModule_GetDict(module), nullptr);
  if (is_pseudo_name(relative)) return;
  const char *absolute = get_absname(gSelf.file_ops_data, relative);
  if (absolute && !is_pseudo_name(absolute)) append_new_import(absolute);
}

void init_loaded_modules() {
  CU_InitHashTable(&gSelf.loaded_modules, CU_STRING_KEYS);
  CU_InitHashTable(&gSelf.loaded_module_ids, CU_STRING_KEYS);
  CU_InitHashTable(&gSelf.unidentified_modules, CU_STRING_KEYS);
  gSelf.unidentified_retry = 0;
}

void free_loaded_modules() {
  CU_DeallocHashTable(&gSelf.loaded_modules);
  CU_DeleteHashTable(&gSelf.loaded_module_ids);  // values are loaded_modules' names
  CU_DeleteHashTable(&gSelf.unidentified_modules);
}

// index_module_file --
//   Enters a canonical name (a loaded_modules value) under its file's identity, unless a module
//   of that file is there already; the name of a missing file waits among the unidentified.
static void index_module_file(const char *canonical) {
  tFileId id;
  int is_new;
  CUt_HashEntry *entry =
      file_identity(gSelf.file_ops_data, canonical, &id)
          ? CU_CreateHashEntry(&gSelf.loaded_module_ids, id.text, &is_new)
          : CU_CreateHashEntry(&gSelf.unidentified_modules, canonical, &is_new);
  // Out of memory: the module is then found by its own name only.
  if (entry && is_new) CU_SetHashValue(entry, const_cast<char *>(canonical));
}

// identify_missing_modules --
//   Indexes the module files that were missing when recorded and exist now.
static void identify_missing_modules() {
  if (gSelf.unidentified_modules.numEntries == 0 ||
      !missing_names_due(&gSelf.unidentified_retry)) {
    return;
  }
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.unidentified_modules, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    const char *canonical = static_cast<const char *>(CU_GetHashValue(entry));
    tFileId id;
    if (!file_identity(gSelf.file_ops_data, canonical, &id)) continue;
    int is_new;
    CUt_HashEntry *known = CU_CreateHashEntry(&gSelf.loaded_module_ids, id.text, &is_new);
    if (!known) continue;
    if (is_new) CU_SetHashValue(known, const_cast<char *>(canonical));
    CU_DeleteHashEntry(entry);  // the walk's current entry: allowed
  }
}

// module_of_file --
//   The canonical name of the loaded module that is the same file as `name` (which is no key of
//   loaded_modules), or null.
static const char *module_of_file(const char *name) {
  tFileId id;
  if (!file_identity(gSelf.file_ops_data, name, &id)) return nullptr;
  CUt_HashEntry *entry = CU_FindHashEntry(&gSelf.loaded_module_ids, id.text);
  if (!entry) {
    identify_missing_modules();
    entry = CU_FindHashEntry(&gSelf.loaded_module_ids, id.text);
  }
  return entry ? static_cast<const char *>(CU_GetHashValue(entry)) : nullptr;
}

int __tracer_add_loaded_module(const char *name) {
  if (strlen(name) >= static_cast<size_t>(kPathBufferSize)) return -1;
  strcpy(gSelf.resolve_bp_tmpfile, name);
  prune_py_c_or_o(gSelf.resolve_bp_tmpfile);
  int is_new;
  CUt_HashEntry *entry =
      CU_CreateHashEntry(&gSelf.loaded_modules, gSelf.resolve_bp_tmpfile, &is_new);
  if (!entry) return -1;
  if (!is_new) return 0;
  // Another name of a file loaded already (a link, a relative name) becomes its alias: frames
  // of either name then belong to the one module a breakpoint binds to.
  const char *same = module_of_file(gSelf.resolve_bp_tmpfile);
  char *value = strdup(same ? same : gSelf.resolve_bp_tmpfile);
  if (!value) {
    CU_DeleteHashEntry(entry);
    return -1;
  }
  CU_SetHashValue(entry, value);
  if (!same) index_module_file(value);
  return 1;
}

const char *__tracer_find_module(const char *name) {
  CUt_HashEntry *entry = CU_FindHashEntry(&gSelf.loaded_modules, name);
  if (entry) return static_cast<const char *>(CU_GetHashValue(entry));
  const char *same = module_of_file(name);
  if (!same) return nullptr;
  char *copy = strdup(same);
  int is_new;
  entry = copy ? CU_CreateHashEntry(&gSelf.loaded_modules, name, &is_new) : nullptr;
  if (!entry) {
    free(copy);
    return nullptr;
  }
  CU_SetHashValue(entry, copy);
  return copy;
}

// default_import_fallback --
//   The interpreter's own import, for a hook called when no default import is known (before
//   init()): the arguments of __import__, keywords included.
static PyObject *default_import_fallback(PyObject *args, PyObject *kwargs) {
  static const char *kwlist[] = {"name", "globals", "locals", "fromlist", "level", nullptr};
  char *name;
  PyObject *globals = nullptr, *locals = nullptr, *fromlist = nullptr;
  int level = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OOOi:__import__", const_cast<char **>(kwlist),
                                   &name, &globals, &locals, &fromlist, &level)) {
    return nullptr;
  }
  return PyImport_ImportModuleLevel(name, globals, locals, fromlist, level);
}

PyObject *_tracer_import_hook(PyObject *, PyObject *args, PyObject *kwargs) {
  // The traced thread lost its trace hook (the program removed it): trace the code the import
  // runs again.
  if (gSelf.initialized && gSelf.tracing_thread == get_thread_ident() &&
      !PyThreadState_GET()->c_tracefunc) {
    gSelf.tracing = 0;
    __tracer_start_trace(0, kAllFrames);
  }
  PyRef importer = PyRef::borrow(gSelf.default_import);
  gSelf.import_level++;
  PyRef result(importer ? PyObject_Call(importer.get(), args, kwargs)
                        : default_import_fallback(args, kwargs));
  gSelf.import_level--;
  if (!result) return nullptr;
  __tracer_xfer_module_bps(result.get());
  __call_import_cb(result.get());
  return result.release();
}

PyObject *_tracer_set_import_cb(PyObject *, PyObject *args) {
  PyObject *callback = PyTuple_GetItem(args, 0);  // IndexError without an argument
  if (!callback) return nullptr;
  set_owned(gSelf.import_cb, callback);
  Py_RETURN_NONE;
}

PyObject *_tracer_register_module(PyObject *, PyObject *args) {
  PyObject *module;
  if (!PyArg_ParseTuple(args, "O:register_module", &module)) return nullptr;
  if (__tracer_check_initialised() < 0) return nullptr;
  const char *absolute = register_module_direct(module);
  if (!absolute) Py_RETURN_NONE;
  return PyString_FromString(absolute);
}

PyObject *_tracer_connect_module_scan(PyObject *, PyObject *) {
  if (__tracer_check_initialised() < 0) return nullptr;
  PyRef values(sys_module_values());
  if (values) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); i++) {
      PyObject *module = PyList_GET_ITEM(values.get(), i);
      if (PyModule_Check(module)) __add_preloaded_module_to_import_list(module);
    }
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_get_new_imports(PyObject *, PyObject *) {
  if (__tracer_check_initialised() < 0) return nullptr;
  PyObject *current = gSelf.newly_imported_module_files;
  gSelf.newly_imported_module_files = PyList_New(0);
  if (!gSelf.newly_imported_module_files) PyErr_Clear();  // appends are skipped until the next call
  if (!current) current = PyList_New(0);
  return current;
}

PyObject *_tracer_get_frame_file(PyObject *, PyObject *args) {
  PyObject *frame;
  if (!PyArg_ParseTuple(args, "O!:get_frame_file", &PyFrame_Type, &frame)) return nullptr;
  if (__tracer_check_initialised() < 0) return nullptr;
  return PyString_FromString(__tracer_get_full_path(reinterpret_cast<PyFrameObject *>(frame)));
}

const char import_hook_doc[] =
    "Replacement for __import__ installed by init: imports through the previous __import__,\n"
    "keeps tracing armed in the traced thread and calls the import callback.";
const char set_import_cb_doc[] =
    "Set the callback called with every module imported through the import hook (None: no "
    "callback)";
const char register_module_doc[] =
    "Register an already loaded module; returns its absolute file name or None";
const char connect_module_scan_doc[] =
    "Add every loaded module with a file to the list returned by get_new_imports";
const char get_new_imports_doc[] =
    "Returns the list of module files loaded or reloaded since the last call";
const char get_frame_file_doc[] = "Returns the absolute file name of the code a frame executes";
