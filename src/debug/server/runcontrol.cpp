// Run control: arming and disarming tracing, and the stepping commands.
#include "runcontrol.h"

#include "zardelmodule.h"

// remove_tracer_from_frames --
//   Clears f_trace of every frame, in every thread of `interp`, that holds the tracer's own trace
//   function. Other local trace functions are left alone.
static void remove_tracer_from_frames(PyInterpreterState *interp) {
  if (!gSelf.trace_function) return;
  for (PyThreadState *ts = interp->tstate_head; ts; ts = ts->next) {
    for (PyFrameObject *f = ts->frame; f; f = f->f_back) {
      if (f->f_trace == gSelf.trace_function) {
        PyObject *old = f->f_trace;
        f->f_trace = nullptr;
        Py_DECREF(old);
      }
    }
  }
}

// set_trace_function --
//   Installs (on) or removes the interpreter-level trace hook of the calling thread.
static int set_trace_function(int on) {
  if (!on) PyEval_SetTrace(nullptr, nullptr);
  return 1;
}

void __tracer_stop_trace() {
  remove_tracer_from_frames(PyThreadState_GET()->interp);
  set_trace_function(0);
  gSelf.tracing = 0;
  gSelf.tracing_thread = 0;
}
