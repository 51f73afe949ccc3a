// Exception stopping: whether an exception event stops the debugger (exception mode, the
// always-stop and never-stop class tuples, the prediction of whether a handler will catch the
// exception) and the ignored raise locations.
#ifndef ZARDEL_EXCEPTIONS_H
#define ZARDEL_EXCEPTIONS_H

#include <Python.h>
#include <frameobject.h>

// One ignored raise location. Records of one line number form a chain, the head of which is the
// value of the line's entry in gSelf.exception_filter.
struct tExcFilter {
  char *module_filename;  // heap copy of the name given to ignore_exception_loc
  int lineno;
  tExcFilter *next_exc;   // next record with the same line number
  // The port's addition: the name compared with raise locations (module_filename with a
  // trailing ".pyc" or ".pyo" reduced to ".py", as frames' files are).
  char *file_key;
};

// Decides an exception event and, when it stops, reports it through exception_cb. `arg` is the
// event's (type, value, traceback) tuple. Returns 0, or -1 with the callback's error set.
int dispatch_exception(PyFrameObject *frame, PyObject *arg);

// The decision without the location filters: whether the exception class `exc`, seen at an
// event in `frame`, stops by the mode and class-tuple rules. May set exiting_on_exception.
bool stop_at_exception_no_filters(PyFrameObject *frame, PyObject *exc);

// Whether an except clause will catch `exc`, judged from the bytecode of `f` (and, unless
// `leaf_only`, of its callers up to the bottom frame). With `explicit_only` only clauses that
// name the class itself count.
bool __tracer_exc_handled(PyFrameObject *f, PyObject *exc, int explicit_only, int leaf_only);

// The first ignored location of `line` that is the same file as `file`, or null.
tExcFilter *__tracer_exc_filtered(const char *file, int line);

// Frees every ignored location and leaves exception_filter an empty table.
void __tracer_clear_exc_filters();

// Frees every ignored location and deletes exception_filter (teardown).
void __tracer_free_exc_filters();

// Module methods of this file.
PyObject *_tracer_set_exception_mode(PyObject *self, PyObject *args);
PyObject *_tracer_get_exception_mode(PyObject *self, PyObject *args);
PyObject *_tracer_ignore_exception_loc(PyObject *self, PyObject *args);
PyObject *_tracer_clear_exception_ignores(PyObject *self, PyObject *args);
PyObject *_tracer_set_always_stop_excepts(PyObject *self, PyObject *args);
PyObject *_tracer_get_always_stop_excepts(PyObject *self, PyObject *args);
PyObject *_tracer_set_never_stop_excepts(PyObject *self, PyObject *args);
PyObject *_tracer_get_never_stop_excepts(PyObject *self, PyObject *args);

extern const char set_exception_mode_doc[];
extern const char get_exception_mode_doc[];
extern const char ignore_exception_loc_doc[];
extern const char clear_exception_ignores_doc[];
extern const char set_always_stop_excepts_doc[];
extern const char get_always_stop_excepts_doc[];
extern const char set_never_stop_excepts_doc[];
extern const char get_never_stop_excepts_doc[];

#endif  // ZARDEL_EXCEPTIONS_H
