// Run control: arming and disarming tracing, and the stepping commands that the debugger's
// callbacks call to choose what happens after a stop.
#ifndef ZARDEL_RUNCONTROL_H
#define ZARDEL_RUNCONTROL_H

#include <Python.h>

// Arms tracing in the calling thread: frames numbered min_trace_frame <= i < max_trace_frame
// (0 is the outermost) get the tracer. Does nothing while tracing is on. Always returns 1.
int __tracer_start_trace(int min_trace_frame, int max_trace_frame);

// Removes the tracer from the frames of every thread, removes the calling thread's trace hook and
// marks tracing off. Stepping frames and `initialized` are kept.
void __tracer_stop_trace();

PyObject *_tracer_step_into(PyObject *self, PyObject *args);
PyObject *_tracer_step_over(PyObject *self, PyObject *args);
PyObject *_tracer_step_out(PyObject *self, PyObject *args);
PyObject *_tracer_continue_run(PyObject *self, PyObject *args);
PyObject *_tracer_stop(PyObject *self, PyObject *args);
PyObject *_tracer_start_trace(PyObject *self, PyObject *args);
PyObject *_tracer_stop_trace(PyObject *self, PyObject *args);
PyObject *_tracer_is_botframe(PyObject *self, PyObject *args);
PyObject *_tracer_set_autoquit(PyObject *self, PyObject *args);
PyObject *_tracer_exiting_on_exception(PyObject *self, PyObject *args);

#endif  // ZARDEL_RUNCONTROL_H
