// Plain breakpoint conditions, run without a frame of their own. The interpreter evaluates a
// condition in a frame as PyEval_EvalCode(condition, f_globals, f_locals) after
// PyFrame_FastToLocals: a new frame, and a dictionary store for every local of the frame, on
// every hit of the breakpoint's line. For conditions such as `i == 1000` or `0 < n <= limit and
// not done` this file reads each name straight from where that evaluation would find it and
// compares built-in values itself, which gives the same truth without running any Python code.
#include "condeval.h"

#include <opcode.h>

#include "pyref.h"

namespace {

// Deeper conditions are left to the interpreter.
constexpr int kStackSize = 16;

// Values whose comparisons among their own kind, and whose truth, run no Python code and raise
// nothing but MemoryError. Comparisons across kinds (a str with a unicode may warn, which runs
// Python code) are left to the interpreter.
enum tKind { kOther, kNumber, kBytes, kText, kNone };

tKind kind_of(PyObject *value) {
  if (PyInt_CheckExact(value) || PyBool_Check(value) || PyFloat_CheckExact(value) ||
      PyLong_CheckExact(value)) {
    return kNumber;
  }
  if (PyString_CheckExact(value)) return kBytes;
  if (PyUnicode_CheckExact(value)) return kText;
  if (value == Py_None) return kNone;
  return kOther;
}

// The operand stack, owning its references.
class tStack {
 public:
  tStack() = default;
  ~tStack() {
    while (depth_) drop();
  }
  tStack(const tStack &) = delete;
  tStack &operator=(const tStack &) = delete;

  bool push_new(PyObject *owned) {
    if (depth_ == kStackSize) {
      Py_DECREF(owned);
      return false;
    }
    items_[depth_++] = owned;
    return true;
  }
  bool push(PyObject *borrowed) {
    Py_INCREF(borrowed);
    return push_new(borrowed);
  }
  int depth() const { return depth_; }
  PyObject *top(int n = 1) const { return items_[depth_ - n]; }
  void set_top(int n, PyObject *value) { items_[depth_ - n] = value; }
  // The top item; the caller owns its reference.
  PyObject *pop() { return items_[--depth_]; }
  void drop() {
    PyObject *item = pop();  // Py_DECREF evaluates its argument more than once
    Py_DECREF(item);
  }

 private:
  PyObject *items_[kStackSize];
  int depth_ = 0;
};

// What the locals dictionary of a frame holds for a name once PyFrame_FastToLocals has copied
// the frame's fast locals, cells and free variables into it.
enum tCopied { kNotCopied, kCopiedValue, kCopiedRemoved, kUnknown };

// copied_from --
//   Whether `name` is among the first `count` names of `names`, whose values are in `slots`
//   (each a cell when `cells`): kCopiedValue with *value set (borrowed), kCopiedRemoved for an
//   unbound one (the copy removes it from the dictionary), kUnknown for a slot that is not the
//   cell it should be. Names and the condition's names are interned, so identity compares them.
tCopied copied_from(PyObject *names, Py_ssize_t count, PyObject **slots, bool cells,
                    PyObject *name, PyObject **value) {
  for (Py_ssize_t i = 0; i < count; i++) {
    if (PyTuple_GET_ITEM(names, i) != name) continue;
    PyObject *slot = slots[i];
    if (cells) {
      if (!slot || !PyCell_Check(slot)) return kUnknown;
      slot = PyCell_GET(slot);
    }
    *value = slot;
    return slot ? kCopiedValue : kCopiedRemoved;
  }
  return kNotCopied;
}

// copied_value --
//   What the locals dictionary holds for `name` after PyFrame_FastToLocals (see tCopied). The
//   copy stores the fast locals, then the cells, then, for optimized code, the free variables, so
//   the last of these that names it decides.
tCopied copied_value(PyFrameObject *f, PyObject *name, PyObject **value) {
  PyCodeObject *co = f->f_code;
  PyObject **fast = f->f_localsplus;
  const Py_ssize_t nlocals = co->co_nlocals;
  const Py_ssize_t ncells = PyTuple_GET_SIZE(co->co_cellvars);
  const Py_ssize_t nfree = PyTuple_GET_SIZE(co->co_freevars);
  tCopied copied = kNotCopied;
  if ((co->co_flags & CO_OPTIMIZED) && nfree) {
    copied = copied_from(co->co_freevars, nfree, fast + nlocals + ncells, true, name, value);
  }
  if (copied == kNotCopied && ncells) {
    copied = copied_from(co->co_cellvars, ncells, fast + nlocals, true, name, value);
  }
  if (copied == kNotCopied && nlocals) {
    Py_ssize_t count = PyTuple_GET_SIZE(co->co_varnames);
    copied = copied_from(co->co_varnames, count < nlocals ? count : nlocals, fast, false, name,
                         value);
  }
  return copied;
}

// load_name --
//   The value LOAD_NAME of the condition finds (borrowed), in the frame's locals as the copy
//   leaves them, its globals, then its builtins; null when the name is unbound or unknown.
PyObject *load_name(PyFrameObject *f, PyObject *name) {
  PyObject *value = nullptr;
  switch (copied_value(f, name, &value)) {
    case kCopiedValue:
      return value;
    case kUnknown:
      return nullptr;
    case kNotCopied:
      value = f->f_locals ? PyDict_GetItem(f->f_locals, name) : nullptr;
      break;
    case kCopiedRemoved:
      break;
  }
  if (!value) value = PyDict_GetItem(f->f_globals, name);
  if (!value) value = PyDict_GetItem(f->f_builtins, name);
  return value;
}

// compare --
//   COMPARE_OP as the interpreter does it, for the operands this file handles: a new reference,
//   or null with *unhandled set (nothing done) or with an error set (the comparison failed).
PyObject *compare(PyObject *v, PyObject *w, int op, bool *unhandled) {
  int outcome;
  if (op == PyCmp_IS || op == PyCmp_IS_NOT) {
    outcome = (v == w) == (op == PyCmp_IS);
  } else if (!PyInt_CheckExact(v) || !PyInt_CheckExact(w)) {
    const tKind kind = kind_of(v);
    if (kind == kOther || kind == kNone || kind != kind_of(w)) {
      *unhandled = true;
      return nullptr;
    }
    return PyObject_RichCompare(v, w, op);
  } else {
    const long a = PyInt_AS_LONG(v), b = PyInt_AS_LONG(w);
    switch (op) {
      case PyCmp_LT: outcome = a < b; break;
      case PyCmp_LE: outcome = a <= b; break;
      case PyCmp_EQ: outcome = a == b; break;
      case PyCmp_NE: outcome = a != b; break;
      case PyCmp_GT: outcome = a > b; break;
      default: outcome = a >= b; break;
    }
  }
  PyObject *result = outcome ? Py_True : Py_False;
  Py_INCREF(result);
  return result;
}

// truth --
//   The truth of a value this file handles: 1 or 0, or -1 for another value.
int truth(PyObject *value) {
  if (value == Py_True) return 1;
  if (value == Py_False) return 0;
  if (kind_of(value) == kOther) return -1;
  return PyObject_IsTrue(value);  // cannot fail for these kinds
}

// operands --
//   How many stack items an instruction of a plain condition reads.
int operands(int op) {
  switch (op) {
    case LOAD_CONST:
    case LOAD_NAME:
    case JUMP_FORWARD:
      return 0;
    case ROT_THREE:
      return 3;
    case ROT_TWO:
    case COMPARE_OP:
      return 2;
    default:
      return 1;
  }
}

// frame_is_plain --
//   Whether the frame's namespaces are ones load_name reads as the interpreter would: the frame
//   is the one running (whose builtins a new frame with its globals inherits), its locals are
//   none or a dictionary, and the copy of fast locals, which run_plain_cond skips, would change
//   nothing a name lookup of the program sees later (unoptimized code with fast locals or cells,
//   such as a function that runs `exec`, reads its locals dictionary by name).
bool frame_is_plain(PyFrameObject *f) {
  if (PyThreadState_GET()->frame != f) return false;
  if (f->f_locals && !PyDict_CheckExact(f->f_locals)) return false;
  if (!PyDict_CheckExact(f->f_globals) || !PyDict_CheckExact(f->f_builtins)) return false;
  PyCodeObject *co = f->f_code;
  if (!(co->co_flags & CO_OPTIMIZED) && (co->co_nlocals || PyTuple_GET_SIZE(co->co_cellvars))) {
    return false;
  }
  return PyTuple_Check(co->co_varnames);
}

// load --
//   The value of the LOAD_CONST or LOAD_NAME instruction at `op` (borrowed), or null when it
//   is another instruction or an unbound name.
PyObject *load(PyCodeObject *code, PyFrameObject *f, const unsigned char *op) {
  const int arg = op[1] | (op[2] << 8);
  if (op[0] == LOAD_CONST) return PyTuple_GET_ITEM(code->co_consts, arg);
  if (op[0] == LOAD_NAME) return load_name(f, PyTuple_GET_ITEM(code->co_names, arg));
  return nullptr;
}

// run_comparison --
//   A condition that is one comparison of two names or constants (the commonest kind, as in
//   `i == 1000`), run without the operand stack; as run_plain_cond.
int run_comparison(PyCodeObject *code, PyFrameObject *f, const unsigned char *ops) {
  PyRef left = PyRef::borrow(load(code, f, ops));  // held while the right one is looked up
  PyObject *right = left ? load(code, f, ops + 3) : nullptr;
  if (!right) return kCondNeedsInterpreter;
  bool unhandled = false;
  PyRef result(compare(left.get(), right, ops[7] | (ops[8] << 8), &unhandled));
  if (!result) {
    if (unhandled) return kCondNeedsInterpreter;
    PyErr_Clear();
    return -1;
  }
  const int value = truth(result.get());
  return value < 0 ? kCondNeedsInterpreter : value;
}

}  // namespace

bool is_plain_cond(PyCodeObject *code) {
  if (!PyString_Check(code->co_code) || code->co_stacksize > kStackSize) return false;
  const unsigned char *ops = reinterpret_cast<unsigned char *>(PyString_AS_STRING(code->co_code));
  const Py_ssize_t size = PyString_GET_SIZE(code->co_code);
  const Py_ssize_t nconsts = PyTuple_GET_SIZE(code->co_consts);
  const Py_ssize_t nnames = PyTuple_GET_SIZE(code->co_names);
  for (Py_ssize_t at = 0; at < size;) {
    const int op = ops[at];
    int arg = 0;
    Py_ssize_t next = at + 1;
    if (HAS_ARG(op)) {
      if (at + 2 >= size) return false;
      arg = ops[at + 1] | (ops[at + 2] << 8);
      next = at + 3;
    }
    switch (op) {
      case POP_TOP:
      case ROT_TWO:
      case ROT_THREE:
      case DUP_TOP:
      case UNARY_NOT:
      case RETURN_VALUE:
        break;
      case LOAD_CONST:
        if (arg >= nconsts || kind_of(PyTuple_GET_ITEM(code->co_consts, arg)) == kOther) {
          return false;
        }
        break;
      case LOAD_NAME:
        if (arg >= nnames) return false;
        break;
      case COMPARE_OP:
        if (arg > PyCmp_GE && arg != PyCmp_IS && arg != PyCmp_IS_NOT) return false;
        break;
      // Forward jumps only, so that a run ends within the code's length.
      case JUMP_IF_FALSE_OR_POP:
      case JUMP_IF_TRUE_OR_POP:
      case POP_JUMP_IF_FALSE:
      case POP_JUMP_IF_TRUE:
        if (arg <= at || arg >= size) return false;
        break;
      case JUMP_FORWARD:
        if (next + arg >= size) return false;
        break;
      default:
        return false;
    }
    at = next;
  }
  return true;
}

int run_plain_cond(PyCodeObject *code, PyFrameObject *f) {
  if (PyErr_Occurred() || !frame_is_plain(f)) return kCondNeedsInterpreter;
  const unsigned char *ops = reinterpret_cast<unsigned char *>(PyString_AS_STRING(code->co_code));
  const Py_ssize_t size = PyString_GET_SIZE(code->co_code);
  if (size == 10 && ops[6] == COMPARE_OP && ops[9] == RETURN_VALUE) {
    return run_comparison(code, f, ops);
  }
  tStack stack;
  for (Py_ssize_t at = 0; at < size;) {
    const int op = ops[at];
    int arg = 0;
    if (HAS_ARG(op)) {
      arg = ops[at + 1] | (ops[at + 2] << 8);
      at += 3;
    } else {
      at += 1;
    }
    if (stack.depth() < operands(op)) return kCondNeedsInterpreter;
    switch (op) {
      case LOAD_CONST:
        if (!stack.push(PyTuple_GET_ITEM(code->co_consts, arg))) return kCondNeedsInterpreter;
        break;
      case LOAD_NAME: {
        PyObject *value = load_name(f, PyTuple_GET_ITEM(code->co_names, arg));
        // An unbound name raises NameError: the interpreter's evaluation says so.
        if (!value || !stack.push(value)) return kCondNeedsInterpreter;
        break;
      }
      case COMPARE_OP: {
        bool unhandled = false;
        PyObject *result = compare(stack.top(2), stack.top(1), arg, &unhandled);
        if (!result) {
          if (unhandled) return kCondNeedsInterpreter;
          PyErr_Clear();
          return -1;
        }
        stack.drop();
        stack.drop();
        stack.push_new(result);
        break;
      }
      case UNARY_NOT: {
        const int value = truth(stack.top());
        if (value < 0) return kCondNeedsInterpreter;
        stack.drop();
        stack.push(value ? Py_False : Py_True);
        break;
      }
      case POP_TOP:
        stack.drop();
        break;
      case DUP_TOP:
        if (!stack.push(stack.top())) return kCondNeedsInterpreter;
        break;
      case ROT_TWO: {
        PyObject *top = stack.top(1);
        stack.set_top(1, stack.top(2));
        stack.set_top(2, top);
        break;
      }
      case ROT_THREE: {
        PyObject *top = stack.top(1);
        stack.set_top(1, stack.top(2));
        stack.set_top(2, stack.top(3));
        stack.set_top(3, top);
        break;
      }
      case JUMP_IF_FALSE_OR_POP:
      case JUMP_IF_TRUE_OR_POP:
      case POP_JUMP_IF_FALSE:
      case POP_JUMP_IF_TRUE: {
        const int value = truth(stack.top());
        if (value < 0) return kCondNeedsInterpreter;
        const bool jump = value == (op == JUMP_IF_TRUE_OR_POP || op == POP_JUMP_IF_TRUE);
        if (op == POP_JUMP_IF_FALSE || op == POP_JUMP_IF_TRUE || !jump) stack.drop();
        if (jump) at = arg;
        break;
      }
      case JUMP_FORWARD:
        at += arg;
        break;
      case RETURN_VALUE: {
        const int value = truth(stack.top());
        return value < 0 ? kCondNeedsInterpreter : value;
      }
      default:
        return kCondNeedsInterpreter;
    }
  }
  return kCondNeedsInterpreter;
}
