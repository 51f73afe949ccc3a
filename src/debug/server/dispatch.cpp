// Trace dispatch: decides on every call, line, return and exception event of the traced thread
// whether execution stops, and calls the debugger's callbacks only when it does. The paths that
// do not stop create no objects and call no Python code.
#include "dispatch.h"

#include <limits.h>
#include <opcode.h>
#include <time.h>

#include "breakpoints.h"
#include "exceptions.h"
#include "modules.h"
#include "zardelmodule.h"

// 1 while trace_dispatch handles an event passed on by the interpreter's trace trampoline, which
// calls it through PyObject_Call: one level of recursion more than the frame's own.
static int gTrampolineDepth = 0;

int tracer_frame_depth(PyFrameObject *frame) {
  PyThreadState *tstate = PyThreadState_GET();
  if (tstate->frame != frame) return -1;
  return tstate->recursion_depth - gTrampolineDepth;
}

// ends_with_exception --
//   For a return event given to trace_dispatch, whose argument is None both for `return None`
//   and for a frame ended by an exception: whether the frame ends with an exception, judged by
//   its last instruction (a normal end is a RETURN_VALUE; a return that ran a finally block ends
//   at its END_FINALLY, which is taken for an exception).
static bool ends_with_exception(PyFrameObject *frame, PyObject *arg) {
  if (arg != Py_None) return false;
  PyObject *code = frame->f_code->co_code;
  if (!PyString_Check(code) || frame->f_lasti < 0 || frame->f_lasti >= PyString_GET_SIZE(code)) {
    return false;
  }
  const int op = static_cast<unsigned char>(PyString_AS_STRING(code)[frame->f_lasti]);
  return op != RETURN_VALUE && op != YIELD_VALUE;
}

static void __tracer_set_curr_frame(PyFrameObject *frame) {
  set_owned(gSelf.curr_frame, reinterpret_cast<PyObject *>(frame));
}

static void __tracer_clear_curr_frame() { set_none(gSelf.curr_frame); }

// call_idle_cb --
//   The slow half of the idle pacing, run once per idle_instruction_threshold + 1 events: reads
//   the clock and calls idle_cb at most once per idle_period seconds. Its failure is not
//   reported: the pending exception is cleared so the traced program does not see it. The next
//   idle time saturates at INT_MAX, so a period near 2**31 means "not again" rather than a
//   threshold that wrapped into the past.
static void call_idle_cb(PyFrameObject *frame) {
  gSelf.idle_instruction_count = 0;
  const time_t clock = time(nullptr);
  const int now = clock > INT_MAX ? INT_MAX : static_cast<int>(clock);
  if (now <= gSelf.idle_time_threshold) return;
  gSelf.idle_time_threshold =
      gSelf.idle_period > INT_MAX - now ? INT_MAX : now + gSelf.idle_period;
  __tracer_set_curr_frame(frame);
  PyRef callback = PyRef::borrow(gSelf.idle_cb);  // the callback may re-init the tracer
  PyRef result(PyObject_CallObject(callback.get(), nullptr));
  if (!result) PyErr_Clear();
  __tracer_clear_curr_frame();
}

// do_idle --
//   Paces the idle callback; on all but one of idle_instruction_threshold + 1 events it only
//   counts. Always 0.
static inline int do_idle(PyFrameObject *frame) {
  if (gSelf.idle_period > 0 && ++gSelf.idle_instruction_count > gSelf.idle_instruction_threshold) {
    call_idle_cb(frame);
  }
  return 0;
}

// dispatch_call --
//   Call events never stop. They register the file of code that starts running: module-level
//   code (whose locals are its globals) reporting the module as loaded, other code not known
//   yet; each by the file its frames are given (its own file name, or its module's where that
//   names no file). The first call after the debugged region was closed (or before one was
//   opened) makes its frame the bottom frame, and its recursion depth is recorded with it.
//   The new frame also gets the tracer as its local trace function, as the Python-level dispatch
//   gives it: the interpreter reports a frame's f_lineno as the line last traced only while
//   f_trace is set, and computes it from the bytecode offset otherwise, which at a return from
//   the end of a loop names the loop's last body line instead of the loop test just executed.
//   A call event of a frame that has run before is a generator resuming, in the middle of a
//   line that reports no line event: its f_lineno is brought up to date first, as arming does.
static int dispatch_call(PyFrameObject *frame) {
  if (!frame->f_trace && gSelf.trace_function) {
    if (frame->f_lasti >= 0) frame->f_lineno = PyCode_Addr2Line(frame->f_code, frame->f_lasti);
    Py_INCREF(gSelf.trace_function);
    frame->f_trace = gSelf.trace_function;
  }
  if (frame->f_locals == frame->f_globals) {
    __tracer_top_level_call(frame);
  } else if (!LookupCOPathname(&gSelf.co_pathname_table, frame->f_code)) {
    __resolve_module_full_path(frame->f_globals, frame->f_code->co_filename, frame->f_code);
  }
  if (gSelf.bot_frame == Py_None) {
    set_owned(gSelf.bot_frame, reinterpret_cast<PyObject *>(frame));
    gSelf.bot_depth = tracer_frame_depth(frame);
  }
  return 0;
}

// __tracer_drop_frame_trace --
//   Takes the tracer out of `frame`'s local trace slot, when it is there.
static void __tracer_drop_frame_trace(PyFrameObject *frame) {
  if (frame->f_trace && frame->f_trace == gSelf.trace_function) {
    PyObject *old = frame->f_trace;
    frame->f_trace = nullptr;
    Py_DECREF(old);
  }
}

// is_yield --
//   Whether a return event is a generator suspending at a yield rather than a frame ending: the
//   interpreter sets f_stacktop only to keep a suspended frame's value stack.
static inline bool is_yield(PyFrameObject *frame) { return frame->f_stacktop != nullptr; }

bool __tracer_stop_here(PyFrameObject *frame) {
  if (gSelf.import_cb_active) return false;
  PyObject *stop_frame = gSelf.stop_frame;
  if (!stop_frame) return false;
  if (stop_frame == Py_None || stop_frame == reinterpret_cast<PyObject *>(frame)) {
    __tracer_break_here(frame, 1);
    return true;
  }
  // A frame that reaches the bottom frame without passing through stop_frame was not called
  // from it: stepping over stop_frame has come back out into the debugged region.
  for (PyFrameObject *f = frame; f && reinterpret_cast<PyObject *>(f) != stop_frame;
       f = f->f_back) {
    if (reinterpret_cast<PyObject *>(f) == gSelf.bot_frame) {
      __tracer_break_here(frame, 1);
      return true;
    }
  }
  return false;
}

int do_callback(PyObject *callback_field, PyFrameObject *frame, PyObject *arg) {
  __tracer_set_curr_frame(frame);
  // Held for the call: the callback may call init() again, which releases the field.
  PyRef callback = PyRef::borrow(callback_field);
  int status = -1;
  PyRef changed(__tracer_get_changed_bps_lists());
  if (changed) {
    PyObject *f = reinterpret_cast<PyObject *>(frame);
    PyRef result(arg ? PyObject_CallFunctionObjArgs(callback.get(), f, arg, changed.get(), nullptr)
                     : PyObject_CallFunctionObjArgs(callback.get(), f, changed.get(), nullptr));
    if (result) status = 0;
  }
  changed.reset();
  __tracer_clear_curr_frame();
  return status;
}

static int dispatch_line(PyFrameObject *frame) {
  if (__tracer_stop_here(frame) || __tracer_line_breaks(frame)) {
    return do_callback(gSelf.line_cb, frame, nullptr);
  }
  return 0;
}

// dispatch_return --
//   A return event; `with_exception` when the frame ends with an exception. The bottom frame
//   ending with an exception may stop for it first (in the unhandled mode); the stepping return
//   stop is then left out.
// The value returned by the frame of the return stop being reported (borrowed from the event
// for the callback's duration), or null: what return_value() answers.
static PyObject *gReturnValue = nullptr;

static int dispatch_return(PyFrameObject *frame, bool with_exception, PyObject *value) {
  PyObject *f = reinterpret_cast<PyObject *>(frame);
  tracer_exception_frame_returned(frame, with_exception);
  int reported = 0;
  if (f == gSelf.bot_frame) {
    reported = tracer_exception_bottom_exit(frame, with_exception);
    if (reported < 0) return -1;
  }
  if (!reported && (f == gSelf.return_frame || __tracer_stop_here(frame))) {
    PyObject *outer = gReturnValue;  // a stop may run code that stops again (nested sessions)
    gReturnValue = with_exception ? nullptr : value;
    int status = do_callback(gSelf.return_cb, frame, nullptr);
    gReturnValue = outer;
    return status;
  }
  if (f == gSelf.bot_frame) {
    if (gSelf.autoquit) {
      PyRef callback = PyRef::borrow(gSelf.quit_cb);
      PyRef result(PyObject_CallObject(callback.get(), nullptr));
      if (!result) PyErr_Clear();
    }
    set_none(gSelf.bot_frame);
    gSelf.bot_depth = -1;
  }
  return 0;
}

// dispatch_event --
//   The logic shared by both entry points, after the event kind is known. `kind` is one of the
//   interpreter's PyTrace_* numbers. A generator suspending at a yield gives up the tracer it got
//   at its call event (and gets it back when it resumes): the disarming walk only reaches frames
//   on a thread's stack, and a suspended frame left holding the tracer after tracing stopped
//   would report stale line numbers from then on.
//   A return event that ends a frame with an exception has no argument from the interpreter's
//   C-level hook, and None from trace_dispatch's callers (`python_entry`).
static inline int dispatch_event(PyFrameObject *frame, int kind, PyObject *arg,
                                 bool python_entry) {
  if (do_idle(frame) < 0) return -1;
  switch (kind) {
    case PyTrace_CALL:
      return dispatch_call(frame);
    case PyTrace_LINE:
      return dispatch_line(frame);
    case PyTrace_RETURN: {
      const bool with_exception = python_entry ? ends_with_exception(frame, arg) : !arg;
      int status = dispatch_return(frame, with_exception, arg);
      if (is_yield(frame)) __tracer_drop_frame_trace(frame);
      return status;
    }
    case PyTrace_EXCEPTION:
      return dispatch_exception(frame, arg);
    default:
      return 0;
  }
}

// in_other_thread --
//   Events of a thread other than the one that armed tracing never stop: the caller removes the
//   tracer from that thread instead.
static inline bool in_other_thread() { return PyThreadState_GET() != gSelf.tracing_tstate; }

// leave_frame --
//   Used when an event reaches the tracer where it does not trace: tracing is off, or the event
//   is of another thread. Removes the tracer from this frame, and the thread's hook only when
//   that is the tracer too (c_dispatch, or trace_dispatch given to sys.settrace or
//   threading.settrace): a trace function of the program, which may have handed the tracer to
//   this one frame, stays. The interpreter keeps a frame's f_trace when a line event's trace
//   function returns None, so the frame's slot is cleared here.
static void leave_frame(PyFrameObject *frame) {
  __tracer_drop_frame_trace(frame);
  PyThreadState *tstate = PyThreadState_GET();
  if (tstate->c_tracefunc == c_dispatch ||
      (tstate->c_traceobj && tstate->c_traceobj == gSelf.trace_function)) {
    PyEval_SetTrace(nullptr, nullptr);
  }
}

int c_dispatch(PyObject *, PyFrameObject *frame, int what, PyObject *arg) {
  if (!gSelf.tracing || in_other_thread()) {
    leave_frame(frame);
    return 0;
  }
  return dispatch_event(frame, what, arg, false);
}

PyObject *_tracer_trace_dispatch(PyObject *, PyObject *args) {
  // The interpreter always passes (frame, event name, arg); a Python caller may not.
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 3 ||
      !PyFrame_Check(PyTuple_GET_ITEM(args, 0)) || !PyString_Check(PyTuple_GET_ITEM(args, 1))) {
    PyErr_SetString(PyExc_TypeError,
                    "trace_dispatch() takes a frame, an event name and an argument");
    return nullptr;
  }
  PyFrameObject *frame = reinterpret_cast<PyFrameObject *>(PyTuple_GET_ITEM(args, 0));
  PyObject *arg = PyTuple_GET_ITEM(args, 2);
  // An event passed in by code that the breakpoint check runs (a condition calling
  // trace_dispatch) is let by: that code is never traced, as the interpreter traces no code that
  // a trace function runs, and a stop here would report, and so free, the very breakpoint
  // records the check is walking.
  if (bp_check_running()) Py_RETURN_NONE;
  if (!gSelf.tracing || in_other_thread()) {
    leave_frame(frame);
    Py_RETURN_NONE;
  }
  int kind;
  switch (PyString_AS_STRING(PyTuple_GET_ITEM(args, 1))[0]) {
    case 'l':
      kind = PyTrace_LINE;
      break;
    case 'c':
      kind = PyTrace_CALL;
      break;
    case 'r':
      kind = PyTrace_RETURN;
      break;
    case 'e':
      kind = PyTrace_EXCEPTION;
      break;
    default:
      if (do_idle(frame) < 0) return nullptr;
      PyErr_SetString(PyExc_TypeError, "Unknown debugger event type");
      return nullptr;
  }
  const int saved_depth = gTrampolineDepth;
  gTrampolineDepth = PyThreadState_GET()->tracing > 0 ? 1 : 0;
  const int status = dispatch_event(frame, kind, arg, true);
  gTrampolineDepth = saved_depth;
  if (status < 0) return nullptr;
  // At a yield the result would become the suspended frame's f_trace again.
  if (gSelf.tracing && gSelf.trace_function && !(kind == PyTrace_RETURN && is_yield(frame))) {
    Py_INCREF(gSelf.trace_function);
    return gSelf.trace_function;
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_return_value(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":return_value")) return nullptr;
  PyObject *value = gReturnValue ? gReturnValue : Py_None;
  Py_INCREF(value);
  return value;
}
