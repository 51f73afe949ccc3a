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

// What the bytecode says of an exception's future.
enum tExcVerdict {
  kExcCaught,     // an except clause or a for loop ending on it catches it
  kExcEscapes,    // it certainly leaves the bottom frame
  kExcUndecided,  // it may be caught where the bytecode cannot tell (C code, a context manager,
                  // a finally block that returns, a clause that could not be read)
};

struct tPrediction {
  tExcVerdict verdict;
  int catcher_hops;  // kExcCaught: frames from the event's frame out to the catching one
};

// The verdict on an exception of class `exc` at an event in `frame` whose recursion depth is
// `depth` (-1 when unknown), read from the bytecode of `frame` and, unless `leaf_only`, of its
// callers up to the bottom frame. With `explicit_only` only clauses that name the class itself
// count. kExcEscapes needs certainty: no clause catches it, every clause and finally block on
// the way was read and none may end it, and each frame was called directly by the next.
tPrediction tracer_predict_exception(PyFrameObject *frame, PyObject *exc, int depth,
                                     int explicit_only, int leaf_only);

// Whether an except clause will catch `exc`, judged from the bytecode of `f` (and, unless
// `leaf_only`, of its callers up to the bottom frame). With `explicit_only` only clauses that
// name the class itself count.
bool __tracer_exc_handled(PyFrameObject *f, PyObject *exc, int explicit_only, int leaf_only);

// A return event of `frame`, normal or (`with_exception`) ending the frame with an exception:
// a normal return where the followed exception was last seen means it was caught.
void tracer_exception_frame_returned(PyFrameObject *frame, bool with_exception);

// The bottom frame ends (before the debugged region closes): in the unhandled mode an exception
// leaving it that no stop reported yet is reported now, with the frame it was raised in, and
// exiting_on_exception is set. Returns 1 when it stopped, 0 when not, or -1 with the callback's
// error set.
int tracer_exception_bottom_exit(PyFrameObject *frame, bool with_exception);

// Lets go of every exception followed or remembered (tracing stops, the tracer is reset).
void tracer_forget_exceptions();

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
