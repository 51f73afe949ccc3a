// Run control: arming and disarming tracing, and the stepping commands. The commands only set
// fields of the state record; the trace dispatch reads them on the next events.
#include "runcontrol.h"

#include "dispatch.h"
#include "exceptions.h"
#include "modules.h"
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
  if (on) {
    PyEval_SetTrace(c_dispatch, nullptr);
  } else {
    PyEval_SetTrace(nullptr, nullptr);
  }
  return 1;
}

// get_stack_depth --
//   Number of frames in the calling thread's chain.
static int get_stack_depth() {
  int depth = 0;
  for (PyFrameObject *f = PyEval_GetFrame(); f; f = f->f_back) depth++;
  return depth;
}

// armed_frame_depth --
//   The recursion depth of the frame numbered `number` (0 the outermost) of the calling thread's
//   chain, as start_trace numbers them, or -1 when it cannot be known: each Python frame adds one
//   to the depth, and only when the whole chain adds up (no C code called into Python anywhere
//   on it) does the count tell each frame's depth.
static int armed_frame_depth(int number) {
  const int frames = get_stack_depth();
  if (PyThreadState_GET()->recursion_depth != frames) return -1;
  return number + 1;
}

int __tracer_start_trace(int min_trace_frame, int max_trace_frame) {
  if (gSelf.tracing) return 1;
  gSelf.initialized = 1;
  initial_module_scan();
  set_none(gSelf.curr_frame);
  set_none(gSelf.bot_frame);
  gSelf.bot_depth = -1;
  int i = get_stack_depth() - 1;
  for (PyFrameObject *f = PyEval_GetFrame(); f; f = f->f_back, i--) {
    PyObject *old = f->f_trace;
    f->f_trace = nullptr;
    Py_XDECREF(old);
    if (min_trace_frame <= i && i < max_trace_frame && gSelf.trace_function) {
      // f_lineno is only kept current while a frame is traced: bring it up to date before the
      // frame starts to count as traced, as the interpreter's own f_trace setter does.
      f->f_lineno = PyCode_Addr2Line(f->f_code, f->f_lasti);
      Py_INCREF(gSelf.trace_function);
      f->f_trace = gSelf.trace_function;
      if (i == min_trace_frame || !f->f_back) {
        set_owned(gSelf.bot_frame, reinterpret_cast<PyObject *>(f));
        gSelf.bot_depth = armed_frame_depth(i);
      }
      if (gSelf.curr_frame == Py_None) {
        set_owned(gSelf.curr_frame, reinterpret_cast<PyObject *>(f));
      }
    }
  }
  set_trace_function(1);
  gSelf.tracing = 1;
  gSelf.tracing_thread = get_thread_ident();
  gSelf.tracing_tstate = PyThreadState_GET();
  return 1;
}

void __tracer_stop_trace() {
  tracer_forget_exceptions();
  remove_tracer_from_frames(PyThreadState_GET()->interp);
  set_trace_function(0);
  gSelf.tracing = 0;
  gSelf.tracing_thread = 0;
  gSelf.tracing_tstate = nullptr;
}

PyObject *_tracer_step_into(PyObject *, PyObject *) {
  set_none(gSelf.stop_frame);
  set_none(gSelf.return_frame);
  Py_RETURN_NONE;
}

PyObject *_tracer_step_over(PyObject *, PyObject *) {
  set_owned(gSelf.stop_frame, gSelf.curr_frame);
  set_none(gSelf.return_frame);
  Py_RETURN_NONE;
}

// _tracer_step_out --
//   Stops at the current frame's return and then in its caller. Without a current frame there
//   is nothing to step out of: it then acts as step_into.
PyObject *_tracer_step_out(PyObject *, PyObject *) {
  PyObject *curr = gSelf.curr_frame;
  if (!curr || !PyFrame_Check(curr)) return _tracer_step_into(nullptr, nullptr);
  PyFrameObject *back = reinterpret_cast<PyFrameObject *>(curr)->f_back;
  set_owned(gSelf.stop_frame, back ? reinterpret_cast<PyObject *>(back) : Py_None);
  set_owned(gSelf.return_frame, curr);
  Py_RETURN_NONE;
}

PyObject *_tracer_continue_run(PyObject *, PyObject *) {
  clear_owned(gSelf.stop_frame);
  set_none(gSelf.return_frame);
  if (gSelf.optimize_nobps && gSelf.state_built && gSelf.userbps.numEntries == 0) {
    __tracer_stop_trace();
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_stop(PyObject *, PyObject *) {
  set_none(gSelf.stop_frame);
  Py_RETURN_NONE;
}

PyObject *_tracer_start_trace(PyObject *, PyObject *args) {
  int min_trace_frame, max_trace_frame;
  if (!PyArg_ParseTuple(args, "ii:tracer_start_trace", &min_trace_frame, &max_trace_frame)) {
    return nullptr;
  }
  if (__tracer_check_initialised() < 0) return nullptr;
  __tracer_start_trace(min_trace_frame, max_trace_frame);
  Py_RETURN_NONE;
}

PyObject *_tracer_stop_trace(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":tracer_stop_trace")) return nullptr;
  __tracer_stop_trace();
  Py_RETURN_NONE;
}

// _tracer_is_botframe --
//   Whether the first argument is the very object held as the bottom frame. A Python caller that
//   passes no frame gets a TypeError rather than a read through a bad pointer.
PyObject *_tracer_is_botframe(PyObject *, PyObject *args) {
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1 ||
      !PyFrame_Check(PyTuple_GET_ITEM(args, 0))) {
    PyErr_SetString(PyExc_TypeError, "is_botframe() takes a frame");
    return nullptr;
  }
  return PyInt_FromLong(PyTuple_GET_ITEM(args, 0) == gSelf.bot_frame);
}

PyObject *_tracer_set_autoquit(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, "i:set_autoquit", &gSelf.autoquit)) return nullptr;
  Py_RETURN_NONE;
}

PyObject *_tracer_exiting_on_exception(PyObject *, PyObject *) {
  return PyInt_FromLong(gSelf.exiting_on_exception != 0);
}
