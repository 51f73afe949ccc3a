// Trace dispatch: the functions the interpreter calls on every trace event of the traced thread.
#ifndef ZARDEL_DISPATCH_H
#define ZARDEL_DISPATCH_H

#include <Python.h>
#include <frameobject.h>

// The C-level trace function installed with PyEval_SetTrace. Returns 0, or -1 with a Python
// exception set when a callback failed (the interpreter raises it in the traced program).
int c_dispatch(PyObject *obj, PyFrameObject *frame, int what, PyObject *arg);

// The stepping test: whether a line, return or exception event in `frame` stops for stepping.
bool __tracer_stop_here(PyFrameObject *frame);

// Calls `callback(frame, changed)` or, with `arg`, `callback(frame, arg, changed)`, with
// curr_frame set to `frame` for the duration. Returns 0, or -1 with the callback's error set.
int do_callback(PyObject *callback_field, PyFrameObject *frame, PyObject *arg);

// The recursion depth of `frame` at the event being dispatched, or -1 when `frame` is not the
// thread's current frame (a Python caller handed trace_dispatch some other frame).
int tracer_frame_depth(PyFrameObject *frame);

// Module method trace_dispatch(frame, event, arg).
PyObject *_tracer_trace_dispatch(PyObject *self, PyObject *args);

// The value the frame of the return stop being reported returns; None when it ends with an
// exception, or when no return stop is being reported.
PyObject *_tracer_return_value(PyObject *self, PyObject *args);

#endif  // ZARDEL_DISPATCH_H
