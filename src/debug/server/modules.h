// Module tracking: which file each frame runs, the modules the program has loaded, the list of
// module files loaded or re-executed since the debugger last asked, and the import hook.
#ifndef ZARDEL_MODULES_H
#define ZARDEL_MODULES_H

#include <Python.h>
#include <frameobject.h>

// Whether `name` stands for no file ("<string>", "<stdin>" and the like).
bool is_pseudo_name(const char *name);

// Reduces a trailing ".pyc" or ".pyo" (any case) to ".py", in place.
void prune_py_c_or_o(char *name);

// A heap copy of `name` reduced as prune_py_c_or_o does: the name a file given by its compiled
// form is compared with frames' files under. Null when memory ran out.
char *copy_source_name(const char *name);

// The file name Python associates with a namespace: `globals["__file__"]` when it is a str, else
// `filename` when it is a str, else "<string>"; pruned. The result lives in gSelf.codefile until
// the next call.
const char *__tracer_get_relative_path(PyObject *globals, PyObject *filename);

// The absolute file of the code `frame` runs (owned by the tracer's tables or scratch buffer; a
// pseudo name for code that has no file).
const char *__tracer_get_full_path(PyFrameObject *frame);

// Resolves and registers the absolute file of a namespace or code object: with `co` the code
// object (and its nested code) is registered under it, replacing earlier entries; without, the
// functions of the module dictionary `globals` are. Null for pseudo names and unresolvable names.
const char *__resolve_module_full_path(PyObject *globals, PyObject *filename, PyCodeObject *co);

// Call events of module-level code: registers the code object's file when it is not known yet
// and reports the module as loaded (or reloaded).
void __tracer_top_level_call(PyFrameObject *frame);

// Registers a module and its functions, calls the import callback; returns the module's absolute
// file name (owned by the file-identity cache) or null.
const char *register_module_direct(PyObject *module);

// Registers every module in sys.modules and the main script; run each time tracing is armed.
void initial_module_scan();

// Makes the loaded-module table and its identity index empty and ready for use.
void init_loaded_modules();

// Frees the loaded-module table and its identity index (init_loaded_modules to use them again).
void free_loaded_modules();

// Records `name` (pruned) in the loaded-module table; 1 when it was new, 0 when known, -1 when
// memory ran out. A new name of a file already loaded under another name becomes an alias of
// that name, so that both give the same canonical name.
int __tracer_add_loaded_module(const char *name);

// The loaded module's canonical name for `name` (owned by the table): the entry keyed by `name`,
// or else the module first recorded for the same file, which then gets `name` as an alias. Null
// when there is none.
const char *__tracer_find_module(const char *name);

// Module methods of this file.
PyObject *_tracer_import_hook(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *_tracer_set_import_cb(PyObject *self, PyObject *args);
PyObject *_tracer_register_module(PyObject *self, PyObject *args);
PyObject *_tracer_connect_module_scan(PyObject *self, PyObject *args);
PyObject *_tracer_get_new_imports(PyObject *self, PyObject *args);
PyObject *_tracer_get_frame_file(PyObject *self, PyObject *args);

extern const char import_hook_doc[];
extern const char set_import_cb_doc[];
extern const char register_module_doc[];
extern const char connect_module_scan_doc[];
extern const char get_new_imports_doc[];
extern const char get_frame_file_doc[];

#endif  // ZARDEL_MODULES_H
