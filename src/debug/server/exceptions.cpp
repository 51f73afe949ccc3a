// Exception stopping: decides every exception event of the traced thread. The mode and the class
// tuples are tested first; only then is the bytecode read to predict whether an except clause
// will catch the exception. The prediction reads the entry sequence of each active try/except
// handler (a handful of instructions per clause) and creates no objects other than the
// attribute lookups of dotted clause names (`except mod.Error:`).
#include "exceptions.h"

#include <opcode.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "dispatch.h"
#include "fileops.h"
#include "modules.h"
#include "zardelmodule.h"

// The interpreter-dependent rules of this file, in one place: a build for another interpreter
// changes this table only. Opcode numbers come from the interpreter's own opcode.h.
namespace {
// Opcodes read by the handler analysis.
constexpr int kOpPopTop = POP_TOP;
constexpr int kOpDupTop = DUP_TOP;
constexpr int kOpHaveArgument = HAVE_ARGUMENT;
constexpr int kOpForIter = FOR_ITER;
constexpr int kOpLoadConst = LOAD_CONST;
constexpr int kOpLoadName = LOAD_NAME;
constexpr int kOpBuildTuple = BUILD_TUPLE;
constexpr int kOpLoadAttr = LOAD_ATTR;
constexpr int kOpCompareOp = COMPARE_OP;
constexpr int kOpLoadGlobal = LOAD_GLOBAL;
constexpr int kOpSetupExcept = SETUP_EXCEPT;
constexpr int kOpLoadFast = LOAD_FAST;
constexpr int kOpExtendedArg = EXTENDED_ARG;
constexpr int kCompareExcMatch = PyCmp_EXC_MATCH;
// Opcodes read to judge whether a finally block or a with block may end an exception: a finally
// body that returns, breaks, yields or raises, or jumps out of itself, and the WITH_CLEANUP that
// starts the handler of a with block.
constexpr int kOpSetupFinally = SETUP_FINALLY;
constexpr int kOpSetupWith = SETUP_WITH;
constexpr int kOpEndFinally = END_FINALLY;
constexpr int kOpWithCleanup = WITH_CLEANUP;
constexpr int kOpReturnValue = RETURN_VALUE;
constexpr int kOpYieldValue = YIELD_VALUE;
constexpr int kOpBreakLoop = BREAK_LOOP;
constexpr int kOpContinueLoop = CONTINUE_LOOP;
constexpr int kOpRaiseVarargs = RAISE_VARARGS;
constexpr int kOpJumpForward = JUMP_FORWARD;
constexpr int kOpJumpAbsolute = JUMP_ABSOLUTE;
constexpr int kOpPopJumpIfFalse = POP_JUMP_IF_FALSE;
constexpr int kOpPopJumpIfTrue = POP_JUMP_IF_TRUE;
constexpr int kOpJumpIfFalseOrPop = JUMP_IF_FALSE_OR_POP;
constexpr int kOpJumpIfTrueOrPop = JUMP_IF_TRUE_OR_POP;
constexpr int kOpSetupLoop = SETUP_LOOP;
// The jump that ends a typed clause's test, and how its argument is read: 2.7 compiles
// `POP_JUMP_IF_FALSE <absolute offset of the next clause>`, and the next clause starts right
// there (no POP_TOP of the comparison result to consume).
constexpr int kOpClauseJump = POP_JUMP_IF_FALSE;
constexpr bool kClauseJumpAbsolute = true;
constexpr bool kClauseJumpPopsResult = false;
// Line of the library's sre_parse.py whose IndexError ends `for op, av in pattern` loops
// (SubPattern.__getitem__, `return self.data[index]`).
constexpr int kSreParseLine = 145;
constexpr char kSreParseName[] = "sre_parse.py";
// Later rules of the interpreter line: EXTENDED_ARG prefixes exist, `except` classes may be
// instances of subtypes of `type`, and FOR_ITER ends a loop on StopIteration (and, through
// the sequence iterator, on IndexError from __getitem__).
constexpr bool kExtendedArg = true;
constexpr bool kExplicitAcceptsTypeSubtypes = true;
constexpr bool kForLoopRule = true;
// The recursion allowance given to exception_cb while it reports a stack overflow.
constexpr int kRecursionAllowance = 50;
constexpr char kRecursionMessage[] = "maximum recursion depth exceeded";
}  // namespace

// exc_matches --
//   PyErr_GivenExceptionMatches(exc, cls) without its cost in the common case: a class whose
//   metaclass is `type` itself has no __subclasscheck__ of its own, so the subclass test is the
//   type's own, made without calling into Python or allocating. Tuples are searched item by
//   item, as the interpreter does. The caller holds `cls`: any other test may run Python code
//   (a metaclass's __subclasscheck__), which may drop every other reference to it.
static bool exc_matches(PyObject *exc, PyObject *cls) {
  if (exc == cls) return true;
  if (PyTuple_Check(cls)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); i++) {
      if (exc_matches(exc, PyTuple_GET_ITEM(cls, i))) return true;
    }
    return false;
  }
  if (PyType_Check(exc) && PyType_CheckExact(cls)) {
    return PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(exc),
                            reinterpret_cast<PyTypeObject *>(cls)) != 0;
  }
  return PyErr_GivenExceptionMatches(exc, cls) != 0;
}

// matches_setting --
//   Whether `exc` matches the class tuple held in a field of the state record (null: no). The
//   tuple is held for the whole test: the test may run Python code that replaces the setting
//   (set_never_stop_excepts, reset, destroy or init from a __subclasscheck__).
static bool matches_setting(PyObject *exc, PyObject *field) {
  if (!field) return false;
  PyRef classes = PyRef::borrow(field);
  return exc_matches(exc, classes.get());
}

// A position in a code string and its end; every read is checked against the end.
struct tPycCursor {
  const unsigned char *pos;
  const unsigned char *start;
  const unsigned char *end;
};

// __peek_pyc_op --
//   The opcode at the cursor without moving it, or -1 at the end.
static inline int __peek_pyc_op(const tPycCursor &pyc) {
  return pyc.pos < pyc.end ? *pyc.pos : -1;
}

// __get_next_pyc_op --
//   Reads one instruction and moves past it: the opcode, and its argument in *arg (0 for
//   opcodes without one). EXTENDED_ARG prefixes are folded into the next instruction's
//   argument. An instruction cut off by the end of the code gives -1 and leaves the cursor at
//   the end.
static int __get_next_pyc_op(tPycCursor &pyc, int *arg) {
  uint32_t extended = 0;
  for (;;) {
    if (pyc.pos >= pyc.end) return -1;
    int op = *pyc.pos;
    *arg = 0;
    if (op < kOpHaveArgument) {
      pyc.pos++;
      return op;
    }
    if (pyc.end - pyc.pos < 3) {
      pyc.pos = pyc.end;
      return -1;
    }
    uint32_t value = pyc.pos[1] | (pyc.pos[2] << 8);
    pyc.pos += 3;
    if (kExtendedArg && op == kOpExtendedArg) {
      extended = (extended + value) << 16;
      continue;
    }
    *arg = static_cast<int>(extended + value);
    return op;
  }
}

// get_frame_pyc --
//   The bytecode of the frame's code: true with the cursor's start and end set when co_code is
//   exactly a str, false otherwise (the frame's blocks are then not examined).
static bool get_frame_pyc(PyFrameObject *f, tPycCursor *pyc) {
  PyObject *code = f->f_code->co_code;
  if (!code || !PyString_CheckExact(code)) return false;
  pyc->start = reinterpret_cast<const unsigned char *>(PyString_AS_STRING(code));
  pyc->end = pyc->start + PyString_GET_SIZE(code);
  pyc->pos = pyc->start;
  return true;
}

// tuple_item --
//   Item `i` of `tuple` when it is a tuple that long, else null (borrowed).
static inline PyObject *tuple_item(PyObject *tuple, int i) {
  if (!tuple || !PyTuple_Check(tuple) || i < 0 || i >= PyTuple_GET_SIZE(tuple)) return nullptr;
  return PyTuple_GET_ITEM(tuple, i);
}

// dict_item --
//   `dict[key]` when `dict` is a dict holding the key, else null (borrowed; no error is left).
static inline PyObject *dict_item(PyObject *dict, PyObject *key) {
  if (!dict || !key || !PyDict_Check(dict)) return nullptr;
  return PyDict_GetItem(dict, key);
}

// is_class --
//   Whether `value` is a class for the explicit-only test: a new-style class (an instance of
//   `type` or, where the interpreter allows, of a subtype) or a classic class.
static inline bool is_class(PyObject *value) {
  if (PyClass_Check(value)) return true;
  return kExplicitAcceptsTypeSubtypes ? PyType_Check(value) : PyType_CheckExact(value);
}

// clause_value_matches --
//   Whether one value of a clause's class expression catches `exc`. Normally as the interpreter
//   matches (the class, a base class or a tuple holding one). With `explicit_only` only the class
//   itself counts, alone or in a tuple; values that are neither classes nor tuples give `match`
//   unchanged.
static bool clause_value_matches(PyObject *exc, PyObject *value, int explicit_only, bool match) {
  if (!explicit_only) return exc_matches(exc, value);
  PyObject *exc_type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
  if (is_class(value)) return exc == value || exc_type == value;
  if (PyTuple_Check(value)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); i++) {
      PyObject *item = PyTuple_GET_ITEM(value, i);
      if (item == exc || item == exc_type) return true;
    }
    return false;
  }
  return match;
}

// __process_single_except_clause --
//   Evaluates the class expression of one typed clause (the cursor stands after its DUP_TOP)
//   symbolically: names, constants, fast locals and attributes of them, and tuples of those.
//   When the clause ends as compiled (exception-match comparison and the jump to the next
//   clause) the cursor is left at the next clause and the result says whether the clause
//   catches `exc`. Anything else moves the cursor to the end, which ends the analysis of the
//   try block: a clause that calls a function, for example, counts as not catching. `*opaque`
//   is set when the clause could not be read to the end, or names something that is not there
//   now (its evaluation would raise): the answer "not catching" is then a guess.
static bool __process_single_except_clause(PyFrameObject *f, PyObject *exc, tPycCursor &pyc,
                                           int explicit_only, bool *opaque) {
  PyCodeObject *co = f->f_code;
  bool match = false;
  PyRef base;  // object whose attribute the next LOAD_ATTR reads
  while (pyc.pos < pyc.end) {
    PyRef value;
    bool loaded = false;  // the instruction loads a value (which may be missing)
    int arg;
    switch (__get_next_pyc_op(pyc, &arg)) {
      case kOpLoadConst:
        loaded = true;
        if (!match) value = PyRef::borrow(tuple_item(co->co_consts, arg));
        break;
      case kOpLoadName:
        loaded = true;
        if (!match) {
          PyObject *name = tuple_item(co->co_names, arg);
          PyObject *found = dict_item(f->f_locals, name);
          if (!found) found = dict_item(f->f_globals, name);
          if (!found) found = dict_item(f->f_builtins, name);
          value = PyRef::borrow(found);
        }
        break;
      case kOpLoadGlobal:
        loaded = true;
        if (!match) {
          PyObject *name = tuple_item(co->co_names, arg);
          PyObject *found = dict_item(f->f_globals, name);
          if (!found) found = dict_item(f->f_builtins, name);
          value = PyRef::borrow(found);
        }
        break;
      case kOpLoadFast:
        // Only slots of named locals; an unbound local gives no value.
        loaded = true;
        if (!match && tuple_item(co->co_varnames, arg)) {
          value = PyRef::borrow(f->f_localsplus[arg]);
        }
        break;
      case kOpLoadAttr:
        loaded = true;
        if (!match && base) {
          PyObject *name = tuple_item(co->co_names, arg);
          if (name) {
            value.reset(PyObject_GetAttr(base.get(), name));
            if (!value) PyErr_Clear();
          }
        }
        base.reset();
        break;
      case kOpBuildTuple:
        break;  // its items were tested one by one
      case kOpCompareOp: {
        int jump_arg;
        if (arg != kCompareExcMatch || __get_next_pyc_op(pyc, &jump_arg) != kOpClauseJump) {
          pyc.pos = pyc.end;
          *opaque = true;
          return false;
        }
        const long here = pyc.pos - pyc.start;
        const long next = kClauseJumpAbsolute ? jump_arg : here + jump_arg;
        // The next clause lies further on; anything else is not code this compiler makes.
        if (next <= here || next >= pyc.end - pyc.start) {
          pyc.pos = pyc.end;
          *opaque = true;
          return false;
        }
        pyc.pos = pyc.start + next;
        if (kClauseJumpPopsResult) {
          int unused;
          if (__get_next_pyc_op(pyc, &unused) != kOpPopTop) {
            pyc.pos = pyc.end;
            *opaque = true;
            return false;
          }
        }
        return match;
      }
      default:
        pyc.pos = pyc.end;
        *opaque = true;
        return false;
    }
    if (__peek_pyc_op(pyc) == kOpLoadAttr) {
      base = std::move(value);
      if (loaded && !match && !base) *opaque = true;
    } else if (value) {
      match = clause_value_matches(exc, value.get(), explicit_only, match);
    } else if (loaded && !match) {
      *opaque = true;
    }
  }
  *opaque = true;
  return false;
}

// __tryblock_handles_exc --
//   Whether one try/except block of `f` catches `exc`: its clauses are read from the handler
//   address on. A bare `except:` catches everything (unless `explicit_only`); the end of the
//   clauses, or any code that is not a clause, means the block lets the exception pass.
//   `*opaque` is set when that answer is a guess: a clause could not be read, or the clauses do
//   not end as compiled (END_FINALLY).
static bool __tryblock_handles_exc(PyFrameObject *f, const PyTryBlock &block, PyObject *exc,
                                   const tPycCursor &code, int explicit_only, bool *opaque) {
  if (block.b_handler < 0 || block.b_handler >= code.end - code.start) {
    *opaque = true;
    return false;
  }
  tPycCursor pyc = code;
  pyc.pos = code.start + block.b_handler;
  while (pyc.pos < pyc.end) {
    int op = __peek_pyc_op(pyc);
    if (op == kOpPopTop) return !explicit_only;
    if (op != kOpDupTop) {
      if (op != kOpEndFinally) *opaque = true;
      return false;
    }
    pyc.pos++;
    if (__process_single_except_clause(f, exc, pyc, explicit_only, opaque)) return true;
  }
  *opaque = true;
  return false;
}

// exc_stop_iter_handled --
//   The for-loop rule: a frame whose current instruction is FOR_ITER ends its loop, without an
//   exception, on a StopIteration from the iterator. IndexError ends it only when it comes from
//   a sequence's __getitem__, which the sequence iterator calls: `callee` is the frame the walk
//   came from (null for the event's own frame). An IndexError from any other iterator (a
//   generator, a next() method, a callable iterator) passes through the loop.
static bool exc_stop_iter_handled(PyFrameObject *f, PyFrameObject *callee, PyObject *exc,
                                  const tPycCursor &code) {
  if (f->f_lasti < 0 || f->f_lasti >= code.end - code.start) return false;
  if (code.start[f->f_lasti] != kOpForIter) return false;
  if (exc_matches(exc, PyExc_StopIteration)) return true;
  if (!callee || !exc_matches(exc, PyExc_IndexError)) return false;
  PyObject *name = callee->f_code->co_name;
  return name && PyString_Check(name) && strcmp(PyString_AS_STRING(name), "__getitem__") == 0;
}

// jump_target --
//   Where a jump instruction at `at` (with argument `arg`, the next instruction at `next`) goes,
//   or -1 when `op` is no jump.
static long jump_target(int op, int arg, long next) {
  switch (op) {
    case kOpJumpAbsolute:
    case kOpPopJumpIfFalse:
    case kOpPopJumpIfTrue:
    case kOpJumpIfFalseOrPop:
    case kOpJumpIfTrueOrPop:
    case kOpContinueLoop:
      return arg;
    case kOpJumpForward:
    case kOpForIter:
    case kOpSetupLoop:
    case kOpSetupExcept:
    case kOpSetupFinally:
    case kOpSetupWith:
      return next + arg;
    default:
      return -1;
  }
}

// finally_may_end_exception --
//   Whether the finally block or with block `block` of `f` may end an exception that passes
//   through it instead of passing it on. A with block's handler starts with WITH_CLEANUP and
//   calls the context manager's __exit__, which the block keeps just below its stack level:
//   a built-in one (a file's, a lock's) returns None, any other may return true. A finally body
//   ends the exception when it returns, breaks, yields (a generator never resumed drops it),
//   raises another, or jumps out of itself; the body runs from the handler to the END_FINALLY
//   that closes it, nested try and with statements having one END_FINALLY each.
static bool finally_may_end_exception(PyFrameObject *f, const PyTryBlock &block,
                                      const tPycCursor &code) {
  const long size = code.end - code.start;
  if (block.b_handler < 0 || block.b_handler >= size) return true;
  const unsigned char *handler = code.start + block.b_handler;
  if (*handler == kOpWithCleanup) {
    if (block.b_level < 1 || block.b_level > f->f_code->co_stacksize) return true;
    PyObject *exit = f->f_valuestack[block.b_level - 1];
    return !exit || !PyCFunction_Check(exit);
  }
  // First the end of the body, then what lies in it.
  tPycCursor pyc = code;
  pyc.pos = handler;
  long end = -1;
  for (int nested = 0; pyc.pos < pyc.end && end < 0;) {
    const long at = pyc.pos - pyc.start;
    int arg;
    int op = __get_next_pyc_op(pyc, &arg);
    if (op == kOpSetupExcept || op == kOpSetupFinally || op == kOpSetupWith) {
      nested++;
    } else if (op == kOpEndFinally) {
      if (nested == 0) end = at;
      nested--;
    }
  }
  if (end < 0) return true;
  pyc.pos = handler;
  while (pyc.pos - pyc.start < end) {
    int arg;
    int op = __get_next_pyc_op(pyc, &arg);
    if (op == kOpReturnValue || op == kOpYieldValue || op == kOpBreakLoop ||
        op == kOpRaiseVarargs || op < 0) {
      return true;
    }
    long target = jump_target(op, arg, pyc.pos - pyc.start);
    if (target >= 0 && (target < block.b_handler || target > end)) return true;
  }
  return false;
}

// Frames from `from` out to `to` along f_back (0 for the same frame), or -1 when `to` is not
// there.
static int frames_between(PyFrameObject *from, PyFrameObject *to) {
  int hops = 0;
  for (PyFrameObject *f = from; f; f = f->f_back, hops++) {
    if (f == to) return hops;
  }
  return -1;
}

// is_generator_frame --
//   Whether `f` runs a generator's code. Generators are resumed by C code (next(), list(),
//   close(), their deallocation) without any trace of it in the recursion depth.
static inline bool is_generator_frame(PyFrameObject *f) {
  return (f->f_code->co_flags & CO_GENERATOR) != 0;
}

tPrediction tracer_predict_exception(PyFrameObject *frame, PyObject *exc, int depth,
                                 int explicit_only, int leaf_only) {
  bool guessed = false;  // some part of the answer "not caught" is a guess
  int hops = 0;
  PyFrameObject *callee = nullptr;
  PyFrameObject *bottom = nullptr;
  for (PyFrameObject *f = frame; f; callee = f, f = f->f_back, hops++) {
    const bool at_bottom = reinterpret_cast<PyObject *>(f) == gSelf.bot_frame;
    tPycCursor code;
    if (get_frame_pyc(f, &code)) {
      for (int i = f->f_iblock - 1; i >= 0; i--) {
        const PyTryBlock &block = f->f_blockstack[i];
        if (block.b_type == kOpSetupExcept) {
          if (__tryblock_handles_exc(f, block, exc, code, explicit_only, &guessed)) {
            return tPrediction{kExcCaught, hops};
          }
        } else if (block.b_type == kOpSetupFinally || block.b_type == kOpSetupWith) {
          if (!guessed && finally_may_end_exception(f, block, code)) guessed = true;
        }
      }
      if (kForLoopRule && exc_stop_iter_handled(f, callee, exc, code)) {
        return tPrediction{kExcCaught, hops};
      }
    } else {
      guessed = true;
    }
    if (leaf_only) break;
    if (at_bottom) {
      bottom = f;
      break;
    }
    // Whoever resumed a generator may consume the end of its iteration or its close().
    if (is_generator_frame(f) && (exc_matches(exc, PyExc_StopIteration) ||
                                  exc_matches(exc, PyExc_GeneratorExit))) {
      guessed = true;
    }
  }
  if (leaf_only) return tPrediction{kExcEscapes, 0};
  // Each Python frame adds one to the recursion depth, and C code that calls into Python adds
  // at least one more (PyObject_Call): the depths tell whether every frame was called by the
  // next directly, with no C function between that could consume the exception.
  if (!bottom || depth < 0 || gSelf.bot_depth < 0 || depth - gSelf.bot_depth != hops) {
    guessed = true;
  }
  return tPrediction{guessed ? kExcUndecided : kExcEscapes, 0};
}

bool __tracer_exc_handled(PyFrameObject *f, PyObject *exc, int explicit_only, int leaf_only) {
  return tracer_predict_exception(f, exc, -1, explicit_only, leaf_only).verdict == kExcCaught;
}

// leaves_debugged_region --
//   Whether an exception at an event in `frame` is about to leave the debugged region: the frame
//   is the bottom frame and no block (loop, try/except, try/finally) encloses the event.
static inline bool leaves_debugged_region(PyFrameObject *frame) {
  return reinterpret_cast<PyObject *>(frame) == gSelf.bot_frame && frame->f_iblock == 0;
}

// -- Following an exception from frame to frame ---------------------------------------------
//
// In the unhandled mode an exception is reported once, with the frame it was raised in, when
// it is known to leave the debugged region. The prediction above knows that at the raise only
// when every frame up to the bottom frame was called directly by the next and every handler on
// the way was read; otherwise it answers "undecided", and the exception is followed: an
// exception still propagating gives an exception event in the next frame out, with a traceback
// that continues the previous one. When it leaves the bottom frame it is reported then.
// Following costs nothing on line events, and one test on return events while an exception
// is followed.

namespace {
// The exception last seen propagating: its traceback at the last event and the verdict on the
// frames it has not left yet, which stays true while it moves out (they are the same frames,
// stopped at the same instructions).
struct tPropagation {
  PyObject *traceback;    // owned; null when nothing is followed
  PyFrameObject *frame;   // that event's frame (held by the traceback)
  // Its caller then, where the exception goes next (compared only): a generator's frame loses
  // its f_back when it ends, which the exception leaving it does.
  PyFrameObject *caller;
  int depth;              // its recursion depth, -1 when unknown
  bool predicted;         // verdict and catcher_hops hold the prediction
  tExcVerdict verdict;
  int catcher_hops;       // kExcCaught: frames from `frame` out to the one that catches it
};

tPropagation gPropagation = {nullptr, nullptr, nullptr, -1, false, kExcUndecided, 0};
// The innermost traceback entry of the last exception a stop reported: an exception is
// reported once, however it moves on.
PyObject *gReportedTraceback = nullptr;
// The (type, value, traceback) of the last exception event in the bottom frame: what leaves the
// bottom frame when it ends with an exception (a re-raise or the end of a finally block gives
// no event of its own).
PyObject *gBottomException = nullptr;
}  // namespace

// innermost_traceback --
//   The last entry of a traceback chain, or null when `traceback` is no traceback.
static PyTracebackObject *innermost_traceback(PyObject *traceback) {
  if (!traceback || !PyTraceBack_Check(traceback)) return nullptr;
  PyTracebackObject *tb = reinterpret_cast<PyTracebackObject *>(traceback);
  while (tb->tb_next) tb = tb->tb_next;
  return tb;
}

// was_reported --
//   Whether the traceback chain `traceback` belongs to the exception a stop last reported.
static bool was_reported(PyObject *traceback) {
  if (!gReportedTraceback) return false;
  for (PyTracebackObject *tb = reinterpret_cast<PyTracebackObject *>(traceback);
       tb && PyTraceBack_Check(reinterpret_cast<PyObject *>(tb)); tb = tb->tb_next) {
    if (reinterpret_cast<PyObject *>(tb) == gReportedTraceback) return true;
  }
  return false;
}

// remember_reported --
//   Records that a stop reports the exception whose traceback is `traceback`.
static void remember_reported(PyObject *traceback) {
  set_owned(gReportedTraceback, reinterpret_cast<PyObject *>(innermost_traceback(traceback)));
}

// forget_propagation --
//   Stops following the exception.
static void forget_propagation() {
  gPropagation.frame = nullptr;
  gPropagation.caller = nullptr;
  gPropagation.predicted = false;
  clear_owned(gPropagation.traceback);
}

void tracer_forget_exceptions() {
  forget_propagation();
  clear_owned(gReportedTraceback);
  clear_owned(gBottomException);
}

// follow_exception --
//   Takes the exception event in `frame` into the propagation record: the same exception moving
//   out keeps the verdict on the frames it has not left (a catcher it has passed makes it
//   predicted again), any other starts anew.
static void follow_exception(PyFrameObject *frame, PyObject *arg) {
  PyObject *traceback = PyTuple_GET_ITEM(arg, 2);
  PyTracebackObject *tb = PyTraceBack_Check(traceback)
                              ? reinterpret_cast<PyTracebackObject *>(traceback)
                              : nullptr;
  const int depth = tracer_frame_depth(frame);
  int hops = -1;
  if (tb && gPropagation.traceback && tb->tb_frame == frame &&
      reinterpret_cast<PyObject *>(tb->tb_next) == gPropagation.traceback) {
    hops = frame == gPropagation.caller ? 1 : frames_between(gPropagation.frame, frame);
  }
  if (hops < 0) {
    gPropagation.predicted = false;
  } else if (gPropagation.predicted && gPropagation.verdict == kExcCaught) {
    gPropagation.catcher_hops -= hops;
    if (gPropagation.catcher_hops < 0) gPropagation.predicted = false;
  }
  set_owned(gPropagation.traceback, tb ? traceback : nullptr);
  gPropagation.frame = tb ? frame : nullptr;
  gPropagation.caller = tb ? frame->f_back : nullptr;
  gPropagation.depth = depth;
  if (reinterpret_cast<PyObject *>(frame) == gSelf.bot_frame) {
    set_owned(gBottomException, arg);
    if (depth >= 0) gSelf.bot_depth = depth;
  }
}

// propagation_verdict --
//   The verdict on the followed exception (class `exc`), predicted at its first event in the
//   frames it has reached and kept while it moves out.
static tExcVerdict propagation_verdict(PyFrameObject *frame, PyObject *exc) {
  if (!gPropagation.predicted) {
    tPrediction p = tracer_predict_exception(frame, exc, gPropagation.depth, 0, 0);
    gPropagation.verdict = p.verdict;
    gPropagation.catcher_hops = p.catcher_hops;
    gPropagation.predicted = gPropagation.traceback != nullptr;
  }
  return gPropagation.verdict;
}

void tracer_exception_frame_returned(PyFrameObject *frame, bool with_exception) {
  if (with_exception || !gPropagation.traceback) return;
  // A frame at or above the one the exception was last seen in returned normally: the
  // exception was caught. Deeper frames return while it propagates (finally blocks and
  // __exit__ methods call them).
  const int depth = tracer_frame_depth(frame);
  if (frame == gPropagation.frame ||
      (depth >= 0 && gPropagation.depth >= 0 && depth <= gPropagation.depth)) {
    forget_propagation();
  }
}

namespace {
// Where an exception event stops: not at all, in the event's frame, or reported with the
// frame the exception was raised in.
enum tExcStop { kNoStop, kStopInFrame, kStopAtRaise };
}  // namespace

// exception_stop --
//   The decision without the location filters, first rule that applies:
//   1. the always mode stops in every frame;
//   2. a class on the never-stop list never stops;
//   3. an exception about to leave the bottom frame (no block around the event) stops, and the
//      program will end: in the unhandled mode reported at its raise, once;
//   4. a class on the always-stop list stops unless an except clause of the event's frame names
//      it;
//   5. in the unhandled mode an exception certain to escape stops at its raise, once.
static tExcStop exception_stop(PyFrameObject *frame, PyObject *exc, PyObject *traceback) {
  if (gSelf.exception_mode == kExcAlwaysStop) {
    // This stop, too, is the last one before the program ends: the debugger is told so.
    if (leaves_debugged_region(frame)) gSelf.exiting_on_exception = 1;
    return kStopInFrame;
  }
  if (matches_setting(exc, gSelf.never_stop_excepts)) return kNoStop;
  const bool unhandled_mode = gSelf.exception_mode == kExcUnhandledStop;
  if (leaves_debugged_region(frame)) {
    gSelf.exiting_on_exception = 1;
    if (!unhandled_mode) return kStopInFrame;
    return was_reported(traceback) ? kNoStop : kStopAtRaise;
  }
  if (matches_setting(exc, gSelf.always_stop_excepts) && !__tracer_exc_handled(frame, exc, 1, 1)) {
    return kStopInFrame;
  }
  if (unhandled_mode && propagation_verdict(frame, exc) == kExcEscapes &&
      !was_reported(traceback)) {
    return kStopAtRaise;
  }
  return kNoStop;
}


// __find_inner_frame --
//   The frame the exception was raised in: the frame of the last traceback entry, or `frame`
//   itself when there is no traceback. Null when `traceback` is neither.
static PyFrameObject *__find_inner_frame(PyFrameObject *frame, PyObject *traceback) {
  if (traceback == Py_None) return frame;
  if (!PyTraceBack_Check(traceback)) return nullptr;
  PyTracebackObject *tb = reinterpret_cast<PyTracebackObject *>(traceback);
  while (tb->tb_next) tb = tb->tb_next;
  return tb->tb_frame;
}

// __tracer_exc_filtered_hack --
//   The built-in ignored location: the library's regular-expression parser ends its loops over
//   a pattern with an IndexError at one line, on every compile.
static bool __tracer_exc_filtered_hack(const char *file, int line) {
  const size_t suffix = sizeof(kSreParseName) - 1;
  size_t len = strlen(file);
  return line == kSreParseLine && len >= suffix && strcmp(file + len - suffix, kSreParseName) == 0;
}

tExcFilter *__tracer_exc_filtered(const char *file, int line) {
  if (!gSelf.state_built) return nullptr;
  CUt_HashEntry *entry = CU_FindHashEntry(&gSelf.exception_filter, &line);
  if (!entry) return nullptr;
  for (tExcFilter *rec = static_cast<tExcFilter *>(CU_GetHashValue(entry)); rec;
       rec = rec->next_exc) {
    if (samefile(gSelf.file_ops_data, rec->file_key, file)) return rec;
  }
  return nullptr;
}

// free_exc_filter --
//   Frees one record and its strings.
static void free_exc_filter(tExcFilter *rec) {
  free(rec->module_filename);
  free(rec->file_key);
  free(rec);
}

// __tracer_add_exc_filter --
//   Ignores (file, line): returns the record already covering it, or a new record put at the
//   head of the line's chain. A compiled file's name (".pyc", ".pyo") stands for its source, as
//   in breakpoints. Null when memory ran out (nothing is left half made).
static tExcFilter *__tracer_add_exc_filter(const char *file, int line) {
  tExcFilter *rec = static_cast<tExcFilter *>(calloc(1, sizeof(tExcFilter)));
  if (!rec) return nullptr;
  rec->file_key = copy_source_name(file);
  tExcFilter *known = rec->file_key ? __tracer_exc_filtered(rec->file_key, line) : nullptr;
  if (known) {
    free_exc_filter(rec);
    return known;
  }
  rec->module_filename = strdup(file);
  rec->lineno = line;
  int is_new;
  CUt_HashEntry *entry = rec->module_filename && rec->file_key
                             ? CU_CreateHashEntry(&gSelf.exception_filter, &line, &is_new)
                             : nullptr;
  if (!entry) {
    free_exc_filter(rec);
    return nullptr;
  }
  rec->next_exc = static_cast<tExcFilter *>(CU_GetHashValue(entry));
  CU_SetHashValue(entry, rec);
  return rec;
}

// __tracer_del_exc_filter --
//   Stops ignoring the first record of `line` whose name is exactly `file` (no same-file test:
//   the debugger removes what it added, under the same name). The line's entry goes with its
//   last record.
static void __tracer_del_exc_filter(const char *file, int line) {
  CUt_HashEntry *entry = CU_FindHashEntry(&gSelf.exception_filter, &line);
  if (!entry) return;
  tExcFilter *head = static_cast<tExcFilter *>(CU_GetHashValue(entry));
  for (tExcFilter **link = &head; *link; link = &(*link)->next_exc) {
    tExcFilter *rec = *link;
    if (strcmp(rec->module_filename, file) != 0) continue;
    *link = rec->next_exc;
    free_exc_filter(rec);
    break;
  }
  if (head) {
    CU_SetHashValue(entry, head);
  } else {
    CU_DeleteHashEntry(entry);
  }
}

void __tracer_free_exc_filters() {
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.exception_filter, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    tExcFilter *rec = static_cast<tExcFilter *>(CU_GetHashValue(entry));
    while (rec) {
      tExcFilter *next = rec->next_exc;
      free_exc_filter(rec);
      rec = next;
    }
    CU_SetHashValue(entry, nullptr);
  }
  CU_DeleteHashTable(&gSelf.exception_filter);
}

void __tracer_clear_exc_filters() {
  __tracer_free_exc_filters();
  CU_InitHashTable(&gSelf.exception_filter, 4);
}

// is_recursion_overflow --
//   Whether the reported exception is the interpreter's own stack overflow: a RuntimeError
//   whose (unnormalised) value is the message string.
static bool is_recursion_overflow(PyObject *exc, PyObject *value) {
  return exc_matches(exc, PyExc_RuntimeError) && PyString_CheckExact(value) &&
         strncmp(PyString_AS_STRING(value), kRecursionMessage, sizeof(kRecursionMessage) - 1) ==
             0;
}

// report_exception --
//   Reports the exception of `arg` ((type, value, traceback)) with `frame` through exception_cb,
//   unless its raise location is ignored; the location is the innermost traceback entry's (the
//   frame itself when there is no traceback). Returns 1 when it was reported, 0 when ignored, or
//   -1 with the callback's error set.
static int report_exception(PyFrameObject *frame, PyObject *arg) {
  PyObject *traceback = PyTuple_GET_ITEM(arg, 2);
  PyFrameObject *inner = __find_inner_frame(frame, traceback);
  if (!inner) return 0;
  PyTracebackObject *tb = innermost_traceback(traceback);
  const char *file = __tracer_get_full_path(inner);
  int line = tb ? tb->tb_lineno : PyFrame_GetLineNumber(inner);
  if (file && (__tracer_exc_filtered(file, line) || __tracer_exc_filtered_hack(file, line))) {
    return 0;
  }
  // Before the callback, which may reset the tracer.
  if (gSelf.exception_mode == kExcUnhandledStop) remember_reported(traceback);
  PyObject *exc = PyTuple_GET_ITEM(arg, 0);
  if (!is_recursion_overflow(exc, PyTuple_GET_ITEM(arg, 1))) {
    return do_callback(gSelf.exception_cb, frame, arg) < 0 ? -1 : 1;
  }
  // The debugger's own code needs some stack to report a stack overflow at all.
  int limit = Py_GetRecursionLimit();
  Py_SetRecursionLimit(limit + kRecursionAllowance);
  int status = do_callback(gSelf.exception_cb, frame, arg);
  Py_SetRecursionLimit(limit);
  return status < 0 ? -1 : 1;
}

int dispatch_exception(PyFrameObject *frame, PyObject *arg) {
  if (!PyTuple_Check(arg) || PyTuple_GET_SIZE(arg) != 3) return 0;
  PyObject *exc = PyTuple_GET_ITEM(arg, 0);
  PyObject *traceback = PyTuple_GET_ITEM(arg, 2);
  if (gSelf.exception_mode == kExcUnhandledStop) follow_exception(frame, arg);
  // The stepping test comes first: a stepping stop reports the exception whatever the rules say.
  tExcStop stop = __tracer_stop_here(frame) ? kStopInFrame : exception_stop(frame, exc, traceback);
  if (stop == kNoStop) return 0;
  if (stop == kStopAtRaise) frame = __find_inner_frame(frame, traceback);
  return frame && report_exception(frame, arg) < 0 ? -1 : 0;
}

int tracer_exception_bottom_exit(PyFrameObject *frame, bool with_exception) {
  PyRef arg(gBottomException);  // takes the field's reference
  gBottomException = nullptr;
  forget_propagation();
  if (!with_exception || !arg || gSelf.exception_mode != kExcUnhandledStop) return 0;
  PyObject *exc = PyTuple_GET_ITEM(arg.get(), 0);
  PyObject *traceback = PyTuple_GET_ITEM(arg.get(), 2);
  if (matches_setting(exc, gSelf.never_stop_excepts)) return 0;
  gSelf.exiting_on_exception = 1;
  if (was_reported(traceback)) return 0;
  PyFrameObject *inner = __find_inner_frame(frame, traceback);
  return inner ? report_exception(inner, arg.get()) : 0;
}

PyObject *_tracer_set_exception_mode(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, "i:tracer_set_exception_mode", &gSelf.exception_mode)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_get_exception_mode(PyObject *, PyObject *) {
  return PyInt_FromLong(gSelf.exception_mode);
}

PyObject *_tracer_ignore_exception_loc(PyObject *, PyObject *args) {
  const char *file;
  int line, ignore;
  if (!PyArg_ParseTuple(args, "sii:tracer_ignore_exception_loc", &file, &line, &ignore)) {
    return nullptr;
  }
  if (__tracer_check_initialised() < 0) return nullptr;
  if (!ignore) {
    __tracer_del_exc_filter(file, line);
  } else if (!__tracer_add_exc_filter(file, line)) {
    PyErr_SetString(PyExc_MemoryError, "Out of memory");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_clear_exception_ignores(PyObject *, PyObject *) {
  if (__tracer_check_initialised() < 0) return nullptr;
  __tracer_clear_exc_filters();
  Py_RETURN_NONE;
}

// set_class_tuple --
//   Stores the tuple argument in `field`, or nothing when it is empty.
static PyObject *set_class_tuple(PyObject *&field, PyObject *args, const char *format) {
  PyObject *classes;
  if (!PyArg_ParseTuple(args, format, &PyTuple_Type, &classes)) return nullptr;
  set_owned(field, PyTuple_GET_SIZE(classes) ? classes : nullptr);
  Py_RETURN_NONE;
}

// get_class_tuple --
//   The stored tuple, or a new empty one.
static PyObject *get_class_tuple(PyObject *field, PyObject *args, const char *format) {
  if (!PyArg_ParseTuple(args, format)) return nullptr;
  if (!field) return PyTuple_New(0);
  Py_INCREF(field);
  return field;
}

PyObject *_tracer_set_always_stop_excepts(PyObject *, PyObject *args) {
  return set_class_tuple(gSelf.always_stop_excepts, args, "O!:set_always_stop_excepts");
}

PyObject *_tracer_get_always_stop_excepts(PyObject *, PyObject *args) {
  return get_class_tuple(gSelf.always_stop_excepts, args, ":get_always_stop_excepts");
}

PyObject *_tracer_set_never_stop_excepts(PyObject *, PyObject *args) {
  return set_class_tuple(gSelf.never_stop_excepts, args, "O!:set_never_stop_excepts");
}

PyObject *_tracer_get_never_stop_excepts(PyObject *, PyObject *args) {
  return get_class_tuple(gSelf.never_stop_excepts, args, ":get_never_stop_excepts");
}

const char set_exception_mode_doc[] =
    "Set exception mode to use : One of kExcNeverStop=0 to never stop\n"
    "on exceptions, kExcAlwaysStop=1 to always stop on exceptions,\n"
    "or kExcUnhandledStop=2 to only stop on unhandled exceptions.\n";
const char get_exception_mode_doc[] =
    "Get exception mode in use : One of kExcNeverStop=0 to never stop\n"
    "on exceptions, kExcAlwaysStop=1 to always stop on exceptions,\n"
    "or kExcUnhandledStop=2 to only stop on unhandled exceptions.\n";
const char ignore_exception_loc_doc[] =
    "Ignore/un-ignore future exceptions at given file, lineno (filename must be as given\n"
    "in the reported exception)";
const char clear_exception_ignores_doc[] = "Clear exception ignores list to blank";
const char set_always_stop_excepts_doc[] = "Set the tuple of exception types to always stop on";
const char get_always_stop_excepts_doc[] = "Get the tuple of exception types to always stop on";
const char set_never_stop_excepts_doc[] = "Set the tuple of exception types to never stop on";
const char get_never_stop_excepts_doc[] = "Get the tuple of exception types to never stop on";
