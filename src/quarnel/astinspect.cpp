// Syntax-tree inspection for the analyzer: expression rendering, the tree walker and the standard
// visitors (import visitors included).
//
// Syntax-tree nodes come in two forms, which may be mixed in one tree: the tuple form
// (kind, field1, ...) that the environment's transformer makes, and the object form, a
// classic-class instance whose class is its kind and whose children are its `_children`.
// Rendering and kind tests understand only the tuple form; the walker walks both.
#include "astinspect.h"

#include <string.h>

#include "pyref.h"
#include "quarnel_implmodule.h"

// Wrong-typed internal values raise the interpreter's internal-call error naming this file.
#define ASTINSPECT_BAD_CALL() _PyErr_BadInternalCall(const_cast<char *>("astinspect.cpp"), __LINE__)

// ---------------------------------------------------------------------------------------------
// Small helpers.

// kind_is --
//   True when the str `kind` is exactly the text `name`.
static bool kind_is(PyObject *kind, const char *name, size_t length) {
  return size_t(PyString_GET_SIZE(kind)) == length &&
         memcmp(PyString_AS_STRING(kind), name, length) == 0;
}

// node_kind --
//   The kind str of a tuple-form node (borrowed), or null (no error) for anything else.
static PyObject *node_kind(PyObject *node) {
  if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) == 0) return nullptr;
  PyObject *kind = PyTuple_GET_ITEM(node, 0);
  return PyString_Check(kind) ? kind : nullptr;
}

// is_kind --
//   The kind test: only a tuple-form node led by the str `name` passes.
template <size_t N>
static bool is_kind(PyObject *node, const char (&name)[N]) {
  PyObject *kind = node_kind(node);
  return kind && kind_is(kind, name, N - 1);
}

// item --
//   Item i of a tuple, or null when the tuple is shorter (borrowed).
static PyObject *item(PyObject *tuple, Py_ssize_t i) {
  return i < PyTuple_GET_SIZE(tuple) ? PyTuple_GET_ITEM(tuple, i) : nullptr;
}

// read_field --
//   The field-reading rule for both node forms: item `index` of a tuple (or subclass), else the
//   attribute `name`. New reference, or null with the access's error set.
static PyObject *read_field(PyObject *node, Py_ssize_t index, const char *name) {
  if (PyTuple_Check(node)) {
    PyObject *value = PyTuple_GetItem(node, index);
    Py_XINCREF(value);
    return value;
  }
  return PyObject_GetAttrString(node, name);
}

// append --
//   Appends text to the buffer, raising MemoryError when it cannot grow.
static int append(TextBuffer &buffer, const char *text, size_t length) {
  if (buffer.Append(text, length) == 0) return 0;
  PyErr_NoMemory();
  return -1;
}

static int append(TextBuffer &buffer, const char *text) { return append(buffer, text, strlen(text)); }

static int append_str(TextBuffer &buffer, PyObject *str) {
  return append(buffer, PyString_AS_STRING(str), size_t(PyString_GET_SIZE(str)));
}

// append_repr --
//   Appends the text of repr(obj); a failing repr fails the rendering.
static int append_repr(TextBuffer &buffer, PyObject *obj) {
  PyRef text(PyObject_Repr(obj));
  if (!text) return -1;
  if (!PyString_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "repr did not return a str");
    return -1;
  }
  return append_str(buffer, text.get());
}

// ---------------------------------------------------------------------------------------------
// Expression rendering.

// node_type_error --
//   Raises the ValueError that names a node the renderer cannot read, with its repr (or a
//   stand-in text when repr fails or gives no str).
static int node_type_error(PyObject *node, const char *kind) {
  PyRef text(PyObject_Repr(node));
  const char *expr;
  if (!text) {
    PyErr_Clear();
    expr = "<exception occurred while calling repr>";
  } else if (!PyString_Check(text.get())) {
    expr = "<non-string returned from repr>";
  } else {
    expr = PyString_AS_STRING(text.get());
  }
  PyErr_Format(PyExc_ValueError,
               "Unknown AST node type passed to AppendExpSource: kind = '%s', expr = '%s'", kind,
               expr);
  return -1;
}

// check_sequence --
//   Item lists, parameter lists and comparison chains must be tuples or lists; anything else is
//   an internal-call error.
static int check_sequence(PyObject *seq) {
  if (PyTuple_Check(seq) || PyList_Check(seq)) return 0;
  ASTINSPECT_BAD_CALL();
  return -1;
}

// Where an operand is written, for the parentheses rule below.
enum tOperandPosition {
  kPrimary,      // the object of an attribute, subscript or call
  kLeftOfPower,  // the left operand of "**"
  kArithmetic,   // an operand of any other operator, or of a comparison
  kBoolean,      // an operand of "and" or "or"
};

// needs_parentheses --
//   The text of most kinds is already safe wherever it stands (operator forms are fully
//   parenthesised), but a lambda, a "not", a comparison or a unary sign written bare would
//   bind to its neighbours: (-1)**x would read back as -(1**x) and x-(y>=1) as (x-y)>=1.
//   Such operands get parentheses where they would otherwise change the expression.
static bool needs_parentheses(PyObject *node, tOperandPosition position) {
  PyObject *kind = node_kind(node);
  if (!kind) return false;
  if (kind_is(kind, "Lambda", 6)) return true;
  // An int written bare before a ".": "1.real" would read back as the float "1." and a name
  // (the repr of every other number ends in a way the tokenizer closes).
  if (kind_is(kind, "Const", 5) && position == kPrimary && PyTuple_GET_SIZE(node) >= 2) {
    return PyInt_Check(PyTuple_GET_ITEM(node, 1));
  }
  if (kind_is(kind, "Not", 3) || kind_is(kind, "Compare", 7)) return position != kBoolean;
  if (kind_is(kind, "UnarySub", 8) || kind_is(kind, "UnaryAdd", 8) || kind_is(kind, "Invert", 6)) {
    return position == kPrimary || position == kLeftOfPower;
  }
  return false;
}

// append_operand --
//   text(node), in parentheses when its position requires them.
static int append_operand(TextBuffer &buffer, PyObject *node, tOperandPosition position) {
  if (!needs_parentheses(node, position)) return AppendExpSource(buffer, node);
  if (append(buffer, "(", 1) < 0 || AppendExpSource(buffer, node) < 0) return -1;
  return append(buffer, ")", 1);
}

// append_items --
//   text(e) for each element, separated by ", ". The sequence is held, and a list's length is
//   read again for every element, since rendering may run Python code (repr of constants).
static int append_items(TextBuffer &buffer, PyObject *seq_obj) {
  if (check_sequence(seq_obj) < 0) return -1;
  PyRef seq = PyRef::borrow(seq_obj);
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
    if (i > 0 && append(buffer, ", ", 2) < 0) return -1;
    PyRef element = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (AppendExpSource(buffer, element.get()) < 0) return -1;
  }
  return 0;
}

// The lambda parameter flags of the syntax tree (the code flags of the compiler).
enum { kLambdaVarArgs = 0x04, kLambdaVarKeywords = 0x08 };

// tLambdaParams --
//   What a top-level parameter list carries besides its names: the defaults, which belong to
//   the last plain parameters, and whether the last one or two names take *args and **kwargs.
struct tLambdaParams {
  PyObject *defaults = nullptr;  // a tuple or list, or null
  long flags = 0;
};

// append_params --
//   A lambda's parameter list: names, nested tuples "(a, b)" (with "," after a lone element)
//   and lists "[a, b]"; other elements give no text but keep their separator. With `top`, the
//   defaults follow their parameters ("a=1") and the starred names get their stars.
static int append_params(TextBuffer &buffer, PyObject *seq_obj,
                         const tLambdaParams *top = nullptr) {
  if (check_sequence(seq_obj) < 0) return -1;
  if (Py_EnterRecursiveCall(" while rendering a parameter list")) return -1;
  PyRef seq = PyRef::borrow(seq_obj);
  PyRef defaults = PyRef::borrow(top ? top->defaults : nullptr);
  int status = 0;
  for (Py_ssize_t i = 0; status == 0 && i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
    if (i > 0 && append(buffer, ", ", 2) < 0) {
      status = -1;
      break;
    }
    PyRef element = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    PyObject *e = element.get();
    // Read afresh for every element: the defaults' rendering may run Python code.
    Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.get());
    Py_ssize_t starred = top ? ((top->flags & kLambdaVarArgs) ? 1 : 0) +
                                   ((top->flags & kLambdaVarKeywords) ? 1 : 0)
                             : 0;
    Py_ssize_t plain = size - starred;
    const char *stars = "";
    if (i >= plain && i < size) {
      stars = (i == plain && (top->flags & kLambdaVarArgs)) ? "*" : "**";
    }
    if (*stars && append(buffer, stars) < 0) {
      status = -1;
      break;
    }
    if (PyList_Check(e)) {
      status = (append(buffer, "[") < 0 || append_params(buffer, e) < 0 || append(buffer, "]") < 0)
                   ? -1 : 0;
    } else if (PyTuple_Check(e)) {
      status = (append(buffer, "(") < 0 || append_params(buffer, e) < 0 ||
                (PyTuple_GET_SIZE(e) == 1 && append(buffer, ",") < 0) || append(buffer, ")") < 0)
                   ? -1 : 0;
    } else if (PyString_Check(e)) {
      status = append_str(buffer, e);
    }
    Py_ssize_t default_count = defaults ? PySequence_Fast_GET_SIZE(defaults.get()) : 0;
    Py_ssize_t first_default = plain - default_count;
    if (status == 0 && defaults && i < plain && i >= first_default && first_default >= 0) {
      PyRef value = PyRef::borrow(PySequence_Fast_GET_ITEM(defaults.get(), i - first_default));
      status = (append(buffer, "=", 1) < 0 || append_operand(buffer, value.get(), kBoolean) < 0)
                   ? -1 : 0;
    }
  }
  Py_LeaveRecursiveCall();
  return status;
}

// append_chain --
//   A comparison chain: each (operator, expression) pair gives the operator and the operand's
//   text. Symbolic operators are written without blanks (a<b); word operators (in, not in, is,
//   is not) get a blank on each side, since "ainb" would read back as a name.
static int append_chain(TextBuffer &buffer, PyObject *seq_obj) {
  if (check_sequence(seq_obj) < 0) return -1;
  PyRef seq = PyRef::borrow(seq_obj);
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
    PyRef pair = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "Invalid tuple in comparison sequence");
      return -1;
    }
    char *op;
    Py_ssize_t op_length;
    if (PyString_AsStringAndSize(PyTuple_GET_ITEM(pair.get(), 0), &op, &op_length) < 0) {
      return -1;
    }
    bool word = op_length > 0 && ((op[0] >= 'a' && op[0] <= 'z') || (op[0] >= 'A' && op[0] <= 'Z'));
    if ((word && append(buffer, " ", 1) < 0) || append(buffer, op, size_t(op_length)) < 0 ||
        (word && append(buffer, " ", 1) < 0)) {
      return -1;
    }
    if (append_operand(buffer, PyTuple_GET_ITEM(pair.get(), 1), kArithmetic) < 0) return -1;
  }
  return 0;
}

int AppendBinOpSource(TextBuffer &buffer, PyObject *node, const char *op) {
  if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) < 2) {
    PyErr_SetString(PyExc_ValueError, "Invalid AST node type passed to AppendBinOpSource");
    return -1;
  }
  if (append(buffer, op) < 0 || append(buffer, "(", 1) < 0 ||
      AppendExpSource(buffer, PyTuple_GET_ITEM(node, 1)) < 0) {
    return -1;
  }
  return append(buffer, ")", 1);
}

int AppendBinaryOpSource(TextBuffer &buffer, PyObject *node, const char *op) {
  PyObject *operands = PyTuple_Check(node) ? item(node, 1) : nullptr;
  if (!operands || !PyTuple_Check(operands) || PyTuple_GET_SIZE(operands) < 2) {
    PyErr_SetString(PyExc_ValueError, "Invalid AST node type passed to AppendBinaryOpSource");
    return -1;
  }
  // Every operand is written: the boolean and bitwise kinds hold all the operands of a chain
  // such as a or b or c, and dropping the later ones would give another expression's text.
  bool power = strcmp(op, "**") == 0;
  bool boolean = strcmp(op, " and ") == 0 || strcmp(op, " or ") == 0;
  if (append(buffer, "(", 1) < 0) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(operands); i++) {
    if (i > 0 && append(buffer, op) < 0) return -1;
    tOperandPosition position = boolean ? kBoolean
                                : power && i == 0 ? kLeftOfPower
                                                  : kArithmetic;
    if (append_operand(buffer, PyTuple_GET_ITEM(operands, i), position) < 0) return -1;
  }
  return append(buffer, ")", 1);
}

// The operator kinds, in dispatch order, with their operator texts.
struct tOperatorKind {
  const char *kind;
  size_t length;
  const char *op;
  bool unary;
};
#define OPERATOR_KIND(kind, op, unary) {kind, sizeof kind - 1, op, unary}
static const tOperatorKind kOperatorKinds[] = {
    OPERATOR_KIND("UnarySub", "-", true),     OPERATOR_KIND("UnaryAdd", "+", true),
    OPERATOR_KIND("Invert", "~", true),       OPERATOR_KIND("Not", "not ", true),
    OPERATOR_KIND("Power", "**", false),      OPERATOR_KIND("Bitor", "|", false),
    OPERATOR_KIND("Bitxor", "^", false),      OPERATOR_KIND("Bitand", "&", false),
    OPERATOR_KIND("And", " and ", false),     OPERATOR_KIND("Or", " or ", false),
    OPERATOR_KIND("Add", "+", false),         OPERATOR_KIND("Sub", "-", false),
    OPERATOR_KIND("Div", "/", false),         OPERATOR_KIND("Mul", "*", false),
    OPERATOR_KIND("LeftShift", "<<", false),  OPERATOR_KIND("RightShift", ">>", false),
    OPERATOR_KIND("Mod", "%", false),
};
#undef OPERATOR_KIND

// append_sliceobj --
//   ("Sliceobj", (lower, upper[, step])): each present bound, separated by ":".
static int append_sliceobj(TextBuffer &buffer, PyObject *parts) {
  Py_ssize_t count = PyTuple_GET_SIZE(parts);
  for (Py_ssize_t i = 0; i < count; i++) {
    if (i > 0 && append(buffer, ":", 1) < 0) return -1;
    PyObject *part = PyTuple_GET_ITEM(parts, i);
    if (part != Py_None && AppendExpSource(buffer, part) < 0) return -1;
  }
  return 0;
}

// is_none_const --
//   Whether node is ("Const", None): the value of a bare yield.
static bool is_none_const(PyObject *node) {
  return is_kind(node, "Const") && PyTuple_GET_SIZE(node) >= 2 &&
         PyTuple_GET_ITEM(node, 1) == Py_None;
}

// append_dict --
//   The entries of a dictionary display, "{k: v, ...}"; each entry must be a (key, value) pair.
static int append_dict(TextBuffer &buffer, PyObject *pairs_obj) {
  PyRef pairs = PyRef::borrow(pairs_obj);
  if (append(buffer, "{", 1) < 0) return -1;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.get()); i++) {
    PyRef pair = PyRef::borrow(PySequence_Fast_GET_ITEM(pairs.get(), i));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      return node_type_error(pair.get(), "Dict");
    }
    if ((i > 0 && append(buffer, ", ", 2) < 0) ||
        AppendExpSource(buffer, PyTuple_GET_ITEM(pair.get(), 0)) < 0 ||
        append(buffer, ": ", 2) < 0 ||
        AppendExpSource(buffer, PyTuple_GET_ITEM(pair.get(), 1)) < 0) {
      return -1;
    }
  }
  return append(buffer, "}", 1);
}

// append_qualifiers --
//   The "for" and "if" clauses of a comprehension: ("ListCompFor" or "GenExprFor", target,
//   iterable, ifs) with ("ListCompIf" or "GenExprIf", condition) entries in ifs. Targets,
//   iterables and conditions are written where a bare lambda would take in what follows.
static int append_qualifiers(TextBuffer &buffer, PyObject *quals_obj) {
  if (check_sequence(quals_obj) < 0) return -1;
  PyRef quals = PyRef::borrow(quals_obj);
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(quals.get()); i++) {
    PyRef qual = PyRef::borrow(PySequence_Fast_GET_ITEM(quals.get(), i));
    PyObject *q = qual.get();
    if (!(is_kind(q, "ListCompFor") || is_kind(q, "GenExprFor")) || PyTuple_GET_SIZE(q) != 4) {
      return node_type_error(q, node_kind(q) ? PyString_AS_STRING(node_kind(q)) : "<none>");
    }
    if (append(buffer, " for ", 5) < 0 ||
        append_operand(buffer, PyTuple_GET_ITEM(q, 1), kBoolean) < 0 ||
        append(buffer, " in ", 4) < 0 ||
        append_operand(buffer, PyTuple_GET_ITEM(q, 2), kBoolean) < 0) {
      return -1;
    }
    PyObject *ifs = PyTuple_GET_ITEM(q, 3);
    if (check_sequence(ifs) < 0) return -1;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(ifs); k++) {
      PyRef cond = PyRef::borrow(PySequence_Fast_GET_ITEM(ifs, k));
      PyObject *c = cond.get();
      if (!(is_kind(c, "ListCompIf") || is_kind(c, "GenExprIf")) || PyTuple_GET_SIZE(c) != 2) {
        return node_type_error(c, node_kind(c) ? PyString_AS_STRING(node_kind(c)) : "<none>");
      }
      if (append(buffer, " if ", 4) < 0 ||
          append_operand(buffer, PyTuple_GET_ITEM(c, 1), kBoolean) < 0) {
        return -1;
      }
    }
  }
  return 0;
}

// render_node --
//   AppendExpSource without the recursion guard: dispatch on the kind string by exact
//   comparisons in table order.
static int render_node(TextBuffer &buffer, PyObject *node) {
  if (node == Py_None) return append(buffer, ".", 1);
  PyObject *kind = node_kind(node);
  if (!kind) return node_type_error(node, "<none>");
  const char *kind_text = PyString_AS_STRING(kind);
  Py_ssize_t n = PyTuple_GET_SIZE(node);
#define KIND(name) kind_is(kind, name, sizeof name - 1)
#define REQUIRE(condition) \
  if (!(condition)) return node_type_error(node, kind_text)
  if (KIND("Name")) {
    REQUIRE(n >= 2 && PyString_Check(item(node, 1)));
    return append_str(buffer, item(node, 1));
  }
  if (KIND("Ellipsis")) return append(buffer, "...", 3);
  if (KIND("Getattr")) {
    REQUIRE(n == 3 && PyString_Check(item(node, 2)));
    if (append_operand(buffer, item(node, 1), kPrimary) < 0 || append(buffer, ".", 1) < 0) {
      return -1;
    }
    return append_str(buffer, item(node, 2));
  }
  if (KIND("Tuple")) {
    REQUIRE(n == 2);
    PyObject *elements = item(node, 1);
    if (append(buffer, "(", 1) < 0 || append_items(buffer, elements) < 0) return -1;
    return PySequence_Fast_GET_SIZE(elements) == 1 ? append(buffer, ",)", 2)
                                                   : append(buffer, ")", 1);
  }
  if (KIND("List")) {
    REQUIRE(n == 2);
    if (append(buffer, "[", 1) < 0 || append_items(buffer, item(node, 1)) < 0) return -1;
    return append(buffer, "]", 1);
  }
  if (KIND("Dict")) {
    // The entries, when the node holds (key, value) pairs; "{}" otherwise.
    PyObject *pairs = n >= 2 ? item(node, 1) : nullptr;
    if (!pairs || !(PyTuple_Check(pairs) || PyList_Check(pairs))) return append(buffer, "{}", 2);
    return append_dict(buffer, pairs);
  }
  if (KIND("Set")) {
    REQUIRE(n == 2);
    if (append(buffer, "{", 1) < 0 || append_items(buffer, item(node, 1)) < 0) return -1;
    return append(buffer, "}", 1);
  }
  if (KIND("StarArgs") || KIND("DStarArgs")) {
    REQUIRE(n == 2);
    if (append(buffer, KIND("StarArgs") ? "*" : "**") < 0) return -1;
    return AppendExpSource(buffer, item(node, 1));
  }
  if (KIND("IfExp")) {
    // Always in brackets: bare, it would take in its neighbours.
    REQUIRE(n == 4);
    if (append(buffer, "(", 1) < 0 || append_operand(buffer, item(node, 2), kBoolean) < 0 ||
        append(buffer, " if ", 4) < 0 || append_operand(buffer, item(node, 1), kBoolean) < 0 ||
        append(buffer, " else ", 6) < 0 || AppendExpSource(buffer, item(node, 3)) < 0) {
      return -1;
    }
    return append(buffer, ")", 1);
  }
  if (KIND("ListComp") || KIND("SetComp")) {
    REQUIRE(n == 3);
    bool list = KIND("ListComp");
    if (append(buffer, list ? "[" : "{", 1) < 0 || AppendExpSource(buffer, item(node, 1)) < 0 ||
        append_qualifiers(buffer, item(node, 2)) < 0) {
      return -1;
    }
    return append(buffer, list ? "]" : "}", 1);
  }
  if (KIND("DictComp")) {
    REQUIRE(n == 4);
    if (append(buffer, "{", 1) < 0 || AppendExpSource(buffer, item(node, 1)) < 0 ||
        append(buffer, ": ", 2) < 0 || AppendExpSource(buffer, item(node, 2)) < 0 ||
        append_qualifiers(buffer, item(node, 3)) < 0) {
      return -1;
    }
    return append(buffer, "}", 1);
  }
  if (KIND("GenExpr")) {
    PyObject *inner = n == 2 ? item(node, 1) : nullptr;
    REQUIRE(inner && is_kind(inner, "GenExprInner") && PyTuple_GET_SIZE(inner) == 3);
    if (append(buffer, "(", 1) < 0 || AppendExpSource(buffer, PyTuple_GET_ITEM(inner, 1)) < 0 ||
        append_qualifiers(buffer, PyTuple_GET_ITEM(inner, 2)) < 0) {
      return -1;
    }
    return append(buffer, ")", 1);
  }
  if (KIND("Yield")) {
    REQUIRE(n == 2);
    PyObject *value = item(node, 1);
    if (append(buffer, "(yield", 6) < 0) return -1;
    if (!is_none_const(value) &&
        (append(buffer, " ", 1) < 0 || AppendExpSource(buffer, value) < 0)) {
      return -1;
    }
    return append(buffer, ")", 1);
  }
  if (KIND("Slice")) {
    // ("Slice", expr, flags, lower, upper): expr[lower:upper], a missing bound left out.
    REQUIRE(n == 5);
    if (append_operand(buffer, item(node, 1), kPrimary) < 0 || append(buffer, "[", 1) < 0) {
      return -1;
    }
    for (Py_ssize_t i = 3; i < 5; i++) {
      if (i == 4 && append(buffer, ":", 1) < 0) return -1;
      PyObject *bound = item(node, i);
      if (bound != Py_None && AppendExpSource(buffer, bound) < 0) return -1;
    }
    return append(buffer, "]", 1);
  }
  if (KIND("CallFunc")) {
    REQUIRE(n == 3);
    if (append_operand(buffer, item(node, 1), kPrimary) < 0 || append(buffer, "(", 1) < 0 ||
        append_items(buffer, item(node, 2)) < 0) {
      return -1;
    }
    return append(buffer, ")", 1);
  }
  if (KIND("Const")) {
    REQUIRE(n >= 2);
    return append_repr(buffer, item(node, 1));
  }
  if (KIND("Backquote")) {
    // The operand is an expression node: its text goes between the backquotes (the repr of the
    // node tuple would not be source text).
    REQUIRE(n >= 2);
    if (append(buffer, "`", 1) < 0 || AppendExpSource(buffer, item(node, 1)) < 0) return -1;
    return append(buffer, "`", 1);
  }
  if (KIND("Keyword")) {
    REQUIRE(n >= 3);
    if (AppendExpSource(buffer, item(node, 1)) < 0 || append(buffer, " = ", 3) < 0) return -1;
    return AppendExpSource(buffer, item(node, 2));
  }
  if (KIND("Compare")) {
    REQUIRE(n >= 3);
    if (append_operand(buffer, item(node, 1), kArithmetic) < 0) return -1;
    return append_chain(buffer, item(node, 2));
  }
  if (KIND("Lambda")) {
    REQUIRE(n >= 5);
    // ("Lambda", params, defaults, flags, body).
    tLambdaParams top;
    PyObject *defaults = item(node, 2);
    if (PyTuple_Check(defaults) || PyList_Check(defaults)) top.defaults = defaults;
    if (PyInt_Check(item(node, 3))) top.flags = PyInt_AS_LONG(item(node, 3));
    if (append(buffer, "lambda ", 7) < 0 || append_params(buffer, item(node, 1), &top) < 0 ||
        append(buffer, ": ", 2) < 0) {
      return -1;
    }
    return AppendExpSource(buffer, item(node, 4));
  }
  if (KIND("Subscript")) {
    REQUIRE(n >= 4);
    PyObject *subs = item(node, 3);
    if (append_operand(buffer, item(node, 1), kPrimary) < 0 || append(buffer, "[", 1) < 0 ||
        append_items(buffer, subs) < 0) {
      return -1;
    }
    // A lone two-part slice object comes from x[a:b,]; x[a:b] would read back as a Slice.
    PyObject *only = PySequence_Fast_GET_SIZE(subs) == 1 ? PySequence_Fast_GET_ITEM(subs, 0)
                                                         : nullptr;
    PyObject *parts = only && is_kind(only, "Sliceobj") ? item(only, 1) : nullptr;
    if (parts && PyTuple_Check(parts) && PyTuple_GET_SIZE(parts) == 2 &&
        append(buffer, ",", 1) < 0) {
      return -1;
    }
    return append(buffer, "]", 1);
  }
  if (KIND("Sliceobj")) {
    PyObject *parts = n == 2 ? item(node, 1) : nullptr;
    REQUIRE(parts && PyTuple_Check(parts) &&
            (PyTuple_GET_SIZE(parts) == 2 || PyTuple_GET_SIZE(parts) == 3));
    return append_sliceobj(buffer, parts);
  }
#undef REQUIRE
#undef KIND
  for (const tOperatorKind &row : kOperatorKinds) {
    if (!kind_is(kind, row.kind, row.length)) continue;
    return row.unary ? AppendBinOpSource(buffer, node, row.op)
                     : AppendBinaryOpSource(buffer, node, row.op);
  }
  return append(buffer, "None", 4);
}

int AppendExpSource(TextBuffer &buffer, PyObject *node) {
  // Hand-made trees may nest without limit; the interpreter's recursion limit turns that into
  // a RuntimeError instead of a stack overflow.
  if (Py_EnterRecursiveCall(" while rendering an expression")) return -1;
  int status = render_node(buffer, node);
  Py_LeaveRecursiveCall();
  return status;
}

// ---------------------------------------------------------------------------------------------
// Constant strings, made once per process.

static PyObject *gReturnName;        // "return": the name of a returned value's equivalence
static PyObject *gDictMarker;        // "::dict:"
static PyObject *gListMarker;        // "::list:"
static PyObject *gTupleMarker;       // "::tuple:"
static PyObject *gStringMarker;      // "::string:"
static PyObject *gEmptyString;       // "": the name in module of an imported module itself
static PyObject *gGetScopeAttributes;
static PyObject *gLocalName;         // "fLocalName"
static PyObject *gChildren;          // "_children"

static int make_constants() {
  struct {
    PyObject **field;
    const char *text;
  } constants[] = {
      {&gReturnName, "return"},  {&gDictMarker, "::dict:"},     {&gListMarker, "::list:"},
      {&gTupleMarker, "::tuple:"}, {&gStringMarker, "::string:"}, {&gEmptyString, ""},
      {&gGetScopeAttributes, "GetScopeAttributes"}, {&gLocalName, "fLocalName"},
      {&gChildren, "_children"},
  };
  for (const auto &constant : constants) {
    if (*constant.field) continue;
    *constant.field = PyString_InternFromString(constant.text);
    if (!*constant.field) return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// NodeWalker.

struct NodeWalkerObject {
  PyObject_HEAD
  PyObject *fVisitors;  // dict: kind str or class object -> visitor callable
};

extern PyTypeObject NodeWalkerType;

static int walk_node(NodeWalkerObject *self, PyObject *node, PyObject *arg);

// call_visitor --
//   Calls the visitor mapped to `key`, if any, with (node, arg). Sets *descend to whether the
//   walk goes on into the node's children. Returns -1 when the visitor fails.
static int call_visitor(NodeWalkerObject *self, PyObject *key, PyObject *node, PyObject *arg,
                 bool *descend) {
  *descend = true;
  // Held for the call: a visitor may change the map.
  PyRef visitor = PyRef::borrow(PyDict_GetItem(self->fVisitors, key));
  if (!visitor) return 0;
  PyRef result(PyObject_CallFunctionObjArgs(visitor.get(), node, arg, nullptr));
  if (!result) return -1;
  if (result.get() == Py_True) return 0;
  if (result.get() == Py_False) {
    *descend = false;
    return 0;
  }
  int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return -1;
  *descend = truth != 0;
  return 0;
}

// walk_items --
//   Walks the items of a tuple or list from `start`. Each item is held while it is walked and a
//   list's length is read again each time, since visitors may change the tree.
static int walk_items(NodeWalkerObject *self, PyObject *seq, Py_ssize_t start, PyObject *arg) {
  for (Py_ssize_t i = start; i < PySequence_Fast_GET_SIZE(seq); i++) {
    PyRef child = PyRef::borrow(PySequence_Fast_GET_ITEM(seq, i));
    if (walk_node(self, child.get(), arg) < 0) return -1;
  }
  return 0;
}

// walk_instance --
//   An object-form node: its class's visitor, then the items of its `_children` (a missing
//   `_children` fails the walk; one that is not a tuple or list has nothing to walk).
static int walk_instance(NodeWalkerObject *self, PyObject *node, PyObject *arg) {
  PyObject *cls = reinterpret_cast<PyObject *>(reinterpret_cast<PyInstanceObject *>(node)->in_class);
  bool descend;
  if (call_visitor(self, cls, node, arg, &descend) < 0) return -1;
  if (!descend) return 0;
  PyRef children(PyObject_GetAttr(node, gChildren));
  if (!children) return -1;
  if (!PyTuple_Check(children.get()) && !PyList_Check(children.get())) return 0;
  return walk_items(self, children.get(), 0, arg);
}

// walk_node_unguarded --
//   Walk's algorithm for one node, without the recursion guard.
static int walk_node_unguarded(NodeWalkerObject *self, PyObject *node, PyObject *arg) {
  if (PyTuple_Check(node)) {
    if (PyTuple_GET_SIZE(node) == 0) return 0;
    PyObject *kind = PyTuple_GET_ITEM(node, 0);
    if (!PyString_Check(kind)) return walk_items(self, node, 0, arg);
    bool descend;
    if (call_visitor(self, kind, node, arg, &descend) < 0) return -1;
    return descend ? walk_items(self, node, 1, arg) : 0;
  }
  if (PyList_Check(node)) {
    PyRef hold = PyRef::borrow(node);
    return walk_items(self, node, 0, arg);
  }
  if (PyInstance_Check(node)) return walk_instance(self, node, arg);
  return 0;
}

static int walk_node(NodeWalkerObject *self, PyObject *node, PyObject *arg) {
  if (Py_EnterRecursiveCall(" while walking a syntax tree")) return -1;
  int status = walk_node_unguarded(self, node, arg);
  Py_LeaveRecursiveCall();
  return status;
}

// Walk(node, arg) --
//   Walks node with the visitor map, passing arg to every visitor; None, or the first error.
static PyObject *NodeWalker_Walk(PyObject *obj, PyObject *args) {
  PyObject *node, *arg;
  if (!PyArg_ParseTuple(args, "OO", &node, &arg)) return nullptr;
  NodeWalkerObject *self = reinterpret_cast<NodeWalkerObject *>(obj);
  if (!self->fVisitors) {
    ASTINSPECT_BAD_CALL();
    return nullptr;
  }
  // The walker is held for the walk: a visitor may drop the analyzer's reference to it.
  PyRef hold = PyRef::borrow(obj);
  if (walk_node(self, node, arg) < 0) return nullptr;
  Py_RETURN_NONE;
}

static int NodeWalker_traverse(PyObject *obj, visitproc visit, void *arg) {
  Py_VISIT(reinterpret_cast<NodeWalkerObject *>(obj)->fVisitors);
  return 0;
}

static int NodeWalker_clear(PyObject *obj) {
  clear_owned(reinterpret_cast<NodeWalkerObject *>(obj)->fVisitors);
  return 0;
}

static void NodeWalker_dealloc(PyObject *obj) {
  PyObject_GC_UnTrack(obj);
  NodeWalker_clear(obj);
  PyObject_GC_Del(obj);
}

int astinspect_walk(PyObject *walk, PyObject *node, PyObject *arg) {
  if (PyCFunction_Check(walk) && PyCFunction_GET_FUNCTION(walk) == NodeWalker_Walk &&
      PyCFunction_GET_SELF(walk) && Py_TYPE(PyCFunction_GET_SELF(walk)) == &NodeWalkerType) {
    PyObject *obj = PyCFunction_GET_SELF(walk);
    NodeWalkerObject *self = reinterpret_cast<NodeWalkerObject *>(obj);
    if (!self->fVisitors) {
      ASTINSPECT_BAD_CALL();
      return -1;
    }
    PyRef hold = PyRef::borrow(obj);
    return walk_node(self, node, arg);
  }
  PyRef result(PyObject_CallFunctionObjArgs(walk, node, arg, nullptr));
  return result ? 0 : -1;
}

static PyMethodDef NodeWalkerMethods[] = {
    {"Walk", NodeWalker_Walk, METH_VARARGS, ""},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *astinspect_new_walker(PyObject *visitor_map) {
  if (!visitor_map || !PyDict_Check(visitor_map)) {
    PyErr_SetString(PyExc_TypeError, "Incorrect type of NodeWalker constructor");
    return nullptr;
  }
  NodeWalkerObject *self = PyObject_GC_New(NodeWalkerObject, &NodeWalkerType);
  if (!self) return nullptr;
  self->fVisitors = nullptr;
  set_owned(self->fVisitors, visitor_map);
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject *>(self);
}

// ---------------------------------------------------------------------------------------------
// StdVisitors: the record helpers.

struct StdVisitorsObject {
  PyObject_HEAD
  PyObject *fNamePool;     // shared-string pool every created string is interned in
  PyObject *fModAnalysis;  // the module analysis of the analyzer, a classic-class instance
  PyObject *fLogicalList;  // the analyzer's logical list (held, not read)
  // The logical-line functions, copied: the visitors may outlive the analyzer whose binding
  // they came from (a caller can keep the bound Walk), and a teardown zeroes that binding.
  LogicalLineFunctionTable fTable;
};

extern PyTypeObject StdVisitorsType;

// What one visitor call works on; everything is borrowed from the call's arguments.
struct VisitContext {
  StdVisitorsObject *visitors;
  PyObject *logical;       // the line being analysed: the target of every record
  PyObject *node;
  PyObject *mod_analysis;  // of the visit argument; the visitors read their own
  PyObject *end_time;
  PyObject *imports_seen;
};

// begin_visit --
//   The argument check shared by the eight visitors: (node, (logical, mod_analysis, end_time,
//   imports_seen)).
static int begin_visit(PyObject *self, PyObject *args, VisitContext *ctx) {
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 2) {
    PyErr_SetString(PyExc_TypeError, "Visitor functions require 2 arguments");
    return -1;
  }
  PyObject *arg = PyTuple_GET_ITEM(args, 1);
  if (!PyTuple_Check(arg) || PyTuple_GET_SIZE(arg) != 4) {
    PyErr_SetString(PyExc_TypeError, "2nd Visitor function arg must be a 4 item tuple");
    return -1;
  }
  ctx->visitors = reinterpret_cast<StdVisitorsObject *>(self);
  ctx->node = PyTuple_GET_ITEM(args, 0);
  ctx->logical = PyTuple_GET_ITEM(arg, 0);
  ctx->mod_analysis = PyTuple_GET_ITEM(arg, 1);
  ctx->end_time = PyTuple_GET_ITEM(arg, 2);
  ctx->imports_seen = PyTuple_GET_ITEM(arg, 3);
  if (!ctx->visitors->fNamePool || !ctx->visitors->fModAnalysis) {
    ASTINSPECT_BAD_CALL();
    return -1;
  }
  return 0;
}

// table_entry --
//   A logical-line function of the visitors' table, or null with an internal-call error.
template <typename F>
static F table_entry(const VisitContext &ctx, int index) {
  void *entry = ctx.visitors->fTable.entries[index];
  if (!entry) ASTINSPECT_BAD_CALL();
  return reinterpret_cast<F>(entry);
}

// Records on the visited line through the logical-line table; 0, or -1 with an error set.
static int add_name(const VisitContext &ctx, PyObject *entry) {
  auto add = table_entry<tAddNameFunc>(ctx, kAddNameEntry);
  return add && add(ctx.logical, entry) == 0 ? 0 : -1;
}

static int add_type_equiv(const VisitContext &ctx, PyObject *name, PyObject *value) {
  auto add = table_entry<tAddTypeEquivFunc>(ctx, kAddTypeEquivEntry);
  return add && add(ctx.logical, name, value) == 0 ? 0 : -1;
}

static int add_arg_name(const VisitContext &ctx, PyObject *name) {
  auto add = table_entry<tAddArgNameFunc>(ctx, kAddArgNameEntry);
  return add && add(ctx.logical, name) == 0 ? 0 : -1;
}

static int add_base_name(const VisitContext &ctx, PyObject *base) {
  auto add = table_entry<tAddBaseNameFunc>(ctx, kAddBaseNameEntry);
  return add && add(ctx.logical, base) == 0 ? 0 : -1;
}

// intern_text --
//   The pooled str for `length` bytes of text (new reference).
static PyObject *intern_text(const VisitContext &ctx, const char *text, Py_ssize_t length) {
  PyRef str(PyString_FromStringAndSize(text, length));
  if (!str) return nullptr;
  return pool_intern(ctx.visitors->fNamePool, str.get());
}

// rendered_text --
//   The rendered source of node followed by `suffix`, interned (new reference).
static PyObject *rendered_text(const VisitContext &ctx, PyObject *node, const char *suffix) {
  TextBuffer buffer;
  if (AppendExpSource(buffer, node) < 0 || append(buffer, suffix) < 0) return nullptr;
  return intern_text(ctx, buffer.Text(), Py_ssize_t(buffer.Length()));
}

// is_dotted_name --
//   A str, a Name node, or a Getattr node whose expression is (recursively) a dotted name.
static bool is_dotted_name(PyObject *node) {
  while (is_kind(node, "Getattr")) {
    node = item(node, 1);
    if (!node) return false;
  }
  return PyString_Check(node) || is_kind(node, "Name");
}

// is_call --
//   A CallFunc node whose callee is a dotted name.
static bool is_call(PyObject *node) {
  if (!is_kind(node, "CallFunc")) return false;
  PyObject *callee = item(node, 1);
  return callee && is_dotted_name(callee);
}

// dotted_name_text --
//   A Name node's identifier itself; any other node's rendered text, interned. New reference.
static PyObject *dotted_name_text(const VisitContext &ctx, PyObject *node) {
  if (is_kind(node, "Name")) {
    PyObject *name = item(node, 1);
    if (name && PyString_Check(name)) {
      Py_INCREF(name);
      return name;
    }
  }
  return rendered_text(ctx, node, "");
}

// constructor_marker --
//   The marker of a builtin-constructor value (borrowed constant), or null.
static PyObject *constructor_marker(PyObject *value) {
  if (is_kind(value, "Dict")) return gDictMarker;
  if (is_kind(value, "List")) return gListMarker;
  if (is_kind(value, "Tuple")) return gTupleMarker;
  if (is_kind(value, "Const")) {
    PyRef constant(read_field(value, 1, "value"));
    if (!constant) {
      PyErr_Clear();
      return nullptr;
    }
    if (PyString_Check(constant.get()) || PyUnicode_Check(constant.get())) return gStringMarker;
  }
  return nullptr;
}

// record_type_equiv --
//   Records what `name` holds after it is bound to `value`: a builtin marker, a dotted name's
//   text or a call's text; other values record nothing.
static int record_type_equiv(const VisitContext &ctx, PyObject *name, PyObject *value) {
  PyObject *marker = constructor_marker(value);
  if (marker) return add_type_equiv(ctx, name, marker);
  if (!is_dotted_name(value) && !is_call(value)) return 0;
  PyRef text(dotted_name_text(ctx, value));
  if (!text) return -1;
  return add_type_equiv(ctx, name, text.get());
}

// process_target --
//   The target rule: every dotted-name target becomes a defined name, and when it is not
//   unpacked it also gets the type equivalence of the value. Tuple targets unpack; an Assign
//   used as the target of an Assign statement stands for its value side (chained assignment).
static int process_target(const VisitContext &ctx, PyObject *target, PyObject *value,
                          bool unpacked) {
  if (target == Py_None) return 0;
  if (is_kind(target, "Tuple")) {
    PyRef elements(read_field(target, 1, "nodes"));
    if (!elements) return -1;
    if (!PyTuple_Check(elements.get()) && !PyList_Check(elements.get())) return 0;
    if (Py_EnterRecursiveCall(" while reading assignment targets")) return -1;
    int status = 0;
    for (Py_ssize_t i = 0; status == 0 && i < PySequence_Fast_GET_SIZE(elements.get()); i++) {
      PyRef element = PyRef::borrow(PySequence_Fast_GET_ITEM(elements.get(), i));
      status = process_target(ctx, element.get(), value, true);
    }
    Py_LeaveRecursiveCall();
    return status;
  }
  PyRef replaced;
  if (is_kind(target, "Assign") && is_kind(ctx.node, "Assign")) {
    replaced.reset(read_field(target, 2, "expr"));
    if (!replaced) return -1;
    target = replaced.get();
  }
  if (!is_dotted_name(target)) return 0;
  PyRef name(dotted_name_text(ctx, target));
  if (!name || add_name(ctx, name.get()) < 0) return -1;
  return unpacked ? 0 : record_type_equiv(ctx, name.get(), value);
}

// ---------------------------------------------------------------------------------------------
// StdVisitors: the visitors of statements and calls.

// Visitor results: True walks on into the node's children, False does not.
static PyObject *visit_result(bool descend) {
  PyObject *result = descend ? Py_True : Py_False;
  Py_INCREF(result);
  return result;
}

// VisitReturn -- "return" is made equivalent to the returned value.
static PyObject *StdVisitors_VisitReturn(PyObject *self, PyObject *args) {
  VisitContext ctx;
  if (begin_visit(self, args, &ctx) < 0) return nullptr;
  PyRef value(read_field(ctx.node, 1, "return"));
  if (!value) return nullptr;
  if (value.get() != Py_None && record_type_equiv(ctx, gReturnName, value.get()) < 0) {
    return nullptr;
  }
  return visit_result(true);
}

// visit_binding --
//   VisitAssign and VisitFor: the target (field 1) bound to the value (field 2).
static PyObject *visit_binding(PyObject *self, PyObject *args, const char *target_name,
                               const char *value_name, bool unpacked) {
  VisitContext ctx;
  if (begin_visit(self, args, &ctx) < 0) return nullptr;
  PyRef target(read_field(ctx.node, 1, target_name));
  if (!target) return nullptr;
  PyRef value(read_field(ctx.node, 2, value_name));
  if (!value) return nullptr;
  if (process_target(ctx, target.get(), value.get(), unpacked) < 0) return nullptr;
  return visit_result(true);
}

// VisitAssign -- targets become defined names; a single target also gets a type equivalence.
static PyObject *StdVisitors_VisitAssign(PyObject *self, PyObject *args) {
  return visit_binding(self, args, "nodes", "expr", false);
}

// VisitFor -- loop targets become defined names, without type equivalences.
static PyObject *StdVisitors_VisitFor(PyObject *self, PyObject *args) {
  return visit_binding(self, args, "assign", "list", true);
}

// read_tuple_field --
//   A field that must hold a tuple (argnames, bases, call arguments, import names); anything
//   else is an internal-call error. New reference.
static PyObject *read_tuple_field(PyObject *node, Py_ssize_t index, const char *name) {
  PyRef value(read_field(node, index, name));
  if (!value) return nullptr;
  if (!PyTuple_Check(value.get())) {
    ASTINSPECT_BAD_CALL();
    return nullptr;
  }
  return value.release();
}

// VisitFunctionDef -- the parameters, in order, as the def line's names.
static PyObject *StdVisitors_VisitFunctionDef(PyObject *self, PyObject *args) {
  VisitContext ctx;
  if (begin_visit(self, args, &ctx) < 0) return nullptr;
  PyRef argnames(read_tuple_field(ctx.node, 2, "argnames"));
  if (!argnames) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(argnames.get()); i++) {
    if (add_arg_name(ctx, PyTuple_GET_ITEM(argnames.get(), i)) < 0) return nullptr;
  }
  return visit_result(false);
}

// VisitClassDef -- the text of each base-class expression.
static PyObject *StdVisitors_VisitClassDef(PyObject *self, PyObject *args) {
  VisitContext ctx;
  if (begin_visit(self, args, &ctx) < 0) return nullptr;
  PyRef bases(read_tuple_field(ctx.node, 2, "bases"));
  if (!bases) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); i++) {
    PyRef text(dotted_name_text(ctx, PyTuple_GET_ITEM(bases.get(), i)));
    if (!text || add_base_name(ctx, text.get()) < 0) return nullptr;
  }
  return visit_result(false);
}

// str_equals --
//   True for a str whose text is exactly `text`.
static bool str_equals(PyObject *obj, const char *text) {
  return obj && PyString_Check(obj) && kind_is(obj, text, strlen(text));
}

// names_isinstance --
//   Whether a callee is the name isinstance: a tuple-form Name node by its identifier, any
//   other callee without a kind by its attribute `name` (absent: no).
static bool names_isinstance(PyObject *callee) {
  if (node_kind(callee)) {
    return is_kind(callee, "Name") && str_equals(item(callee, 1), "isinstance");
  }
  PyRef name(PyObject_GetAttrString(callee, "name"));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return str_equals(name.get(), "isinstance");
}

// VisitCallFunc -- isinstance(x, C) makes x equivalent to "C:" (the rendered class expression).
static PyObject *StdVisitors_VisitCallFunc(PyObject *self, PyObject *args) {
  VisitContext ctx;
  if (begin_visit(self, args, &ctx) < 0) return nullptr;
  PyRef callee(read_field(ctx.node, 1, "node"));
  if (!callee) return nullptr;
  if (!names_isinstance(callee.get())) return visit_result(true);
  PyRef call_args(read_tuple_field(ctx.node, 2, "args"));
  if (!call_args) return nullptr;
  if (PyTuple_GET_SIZE(call_args.get()) != 2) return visit_result(true);
  PyRef name(dotted_name_text(ctx, PyTuple_GET_ITEM(call_args.get(), 0)));
  if (!name) return nullptr;
  PyRef value(rendered_text(ctx, PyTuple_GET_ITEM(call_args.get(), 1), ":"));
  if (!value || add_type_equiv(ctx, name.get(), value.get()) < 0) return nullptr;
  return visit_result(true);
}

// ---------------------------------------------------------------------------------------------
// StdVisitors: the import visitors.

// The environment's objects an import visit resolves modules with.
struct ImportLookup {
  PyRef find;         // fAnalysisFactory.FindAnalysisByName
  PyRef package_dir;  // fPackageDir of the module analysis
};

// begin_import --
//   The start of both import visitors: the argument check, then an import line is expanded
//   once per analyzer call (the line becomes a key of imports_seen), then the module finder is
//   looked up. Returns 1 when the line was already expanded, 0 to go on, -1 with an error set.
static int begin_import(PyObject *self, PyObject *args, VisitContext *ctx,
                        ImportLookup *lookup) {
  if (begin_visit(self, args, ctx) < 0) return -1;
  int seen = PySequence_Contains(ctx->imports_seen, ctx->logical);
  if (seen != 0) return seen;
  if (PyObject_SetItem(ctx->imports_seen, ctx->logical, Py_True) < 0) return -1;
  PyObject *mod_analysis = ctx->visitors->fModAnalysis;
  PyRef factory(PyObject_GetAttrString(mod_analysis, "fAnalysisFactory"));
  if (!factory) return -1;
  lookup->find.reset(PyObject_GetAttrString(factory.get(), "FindAnalysisByName"));
  if (!lookup->find) return -1;
  lookup->package_dir.reset(PyObject_GetAttrString(mod_analysis, "fPackageDir"));
  return lookup->package_dir ? 0 : -1;
}

// find_analysis --
//   FindAnalysisByName(name, fPackageDir): the module's analysis, or None. New reference.
static PyObject *find_analysis(const ImportLookup &lookup, PyObject *name) {
  return PyObject_CallFunctionObjArgs(lookup.find.get(), name, lookup.package_dir.get(), nullptr);
}

// add_import_record --
//   Records the import record (local, analysis, name in module, attribute) as a defined name.
static int add_import_record(const VisitContext &ctx, PyObject *local, PyObject *analysis,
                             PyObject *name_in_module, PyObject *attribute) {
  PyRef record(PyTuple_Pack(4, local, analysis, name_in_module, attribute));
  if (!record) return -1;
  return add_name(ctx, record.get());
}

// import_module_name --
//   One name of "import D" or "import D as L": finds D's first component H and records
//   (L, analysis of H, the rest of D, None), unless H is this module itself. A plain dotted
//   import also defines H: "import a.b.c" binds a.b.c and a.
static int import_module_name(const VisitContext &ctx, const ImportLookup &lookup,
                              PyObject *entry) {
  PyObject *dotted, *local;
  bool plain = PyString_Check(entry);
  if (plain) {
    dotted = local = entry;
  } else if (PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) >= 2 &&
             PyString_Check(PyTuple_GET_ITEM(entry, 0)) &&
             PyString_Check(PyTuple_GET_ITEM(entry, 1))) {
    dotted = PyTuple_GET_ITEM(entry, 0);
    local = PyTuple_GET_ITEM(entry, 1);
  } else {
    PyErr_SetString(PyExc_TypeError, "Imported id must be a string or a tuple with 2+ elements");
    return -1;
  }
  const char *text = PyString_AS_STRING(dotted);
  Py_ssize_t length = PyString_GET_SIZE(dotted);
  const char *dot = static_cast<const char *>(memchr(text, '.', size_t(length)));
  PyRef head, rest;
  if (dot) {
    head.reset(intern_text(ctx, text, dot - text));
    rest.reset(intern_text(ctx, dot + 1, length - (dot - text) - 1));
  } else {
    head.reset(pool_intern(ctx.visitors->fNamePool, dotted));
    rest.reset(pool_intern(ctx.visitors->fNamePool, gEmptyString));
  }
  if (!head || !rest) return -1;

  PyRef analysis(find_analysis(lookup, head.get()));
  if (!analysis) return -1;
  if (analysis.get() != ctx.visitors->fModAnalysis &&
      add_import_record(ctx, local, analysis.get(), rest.get(), Py_None) < 0) {
    return -1;
  }
  if (!plain || !dot) return 0;
  PyRef head_analysis(find_analysis(lookup, head.get()));
  if (!head_analysis) return -1;
  if (head_analysis.get() == ctx.visitors->fModAnalysis) return 0;
  PyRef empty(pool_intern(ctx.visitors->fNamePool, gEmptyString));
  if (!empty) return -1;
  return add_import_record(ctx, head.get(), head_analysis.get(), empty.get(), Py_None);
}

// VisitImport -- one import record per name an import statement binds.
static PyObject *StdVisitors_VisitImport(PyObject *self, PyObject *args) {
  VisitContext ctx;
  ImportLookup lookup;
  int seen = begin_import(self, args, &ctx, &lookup);
  if (seen != 0) return seen < 0 ? nullptr : visit_result(false);
  PyRef names(read_tuple_field(ctx.node, 1, "names"));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); i++) {
    if (import_module_name(ctx, lookup, PyTuple_GET_ITEM(names.get(), i)) < 0) return nullptr;
  }
  return visit_result(false);
}

// is_public_name --
//   A name a star import brings in: not empty, not "_"-led, ASCII letters, digits and "_" only.
static bool is_public_name(PyObject *name) {
  if (!PyString_Check(name) || PyString_GET_SIZE(name) == 0) return false;
  const char *text = PyString_AS_STRING(name);
  if (text[0] == '_') return false;
  for (Py_ssize_t i = 0; i < PyString_GET_SIZE(name); i++) {
    char c = text[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '_')) {
      return false;
    }
  }
  return true;
}

// same_class --
//   Whether two objects' __class__ attributes are the same object.
static int same_class(PyObject *a, PyObject *b) {
  PyRef class_a(PyObject_GetAttrString(a, "__class__"));
  if (!class_a) return -1;
  PyRef class_b(PyObject_GetAttrString(b, "__class__"));
  if (!class_b) return -1;
  return class_a.get() == class_b.get();
}

// import_star --
//   "from m import *": the public names of m's module scope, each with the attribute object
//   m's own search returned. Only analyses of this module's analysis class are asked; the
//   import lines already expanded in this analyzer call are passed on in imports_seen, which
//   ends mutual star imports.
static int import_star(const VisitContext &ctx, PyObject *analysis) {
  if (analysis == Py_None) return 0;
  int same = same_class(analysis, ctx.visitors->fModAnalysis);
  if (same <= 0) return same;
  PyRef result(PyObject_CallMethodObjArgs(analysis, gGetScopeAttributes, gEmptyString, Py_True,
                                          Py_False, ctx.end_time, ctx.imports_seen, nullptr));
  if (!result) return -1;
  if (!PyList_Check(result.get()) && !PyTuple_Check(result.get())) return 0;
  // A copy: reading fLocalName runs Python code that could change a list.
  PyRef attributes(PySequence_Tuple(result.get()));
  if (!attributes) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(attributes.get()); i++) {
    PyObject *attribute = PyTuple_GET_ITEM(attributes.get(), i);
    PyRef name(PyObject_GetAttr(attribute, gLocalName));
    if (!name) return -1;
    if (!is_public_name(name.get())) continue;
    PyRef pooled(pool_intern(ctx.visitors->fNamePool, name.get()));
    if (!pooled ||
        add_import_record(ctx, pooled.get(), analysis, pooled.get(), attribute) < 0) {
      return -1;
    }
  }
  return 0;
}

// VisitFromImport -- "from m import a as b, c" records (b, m, a, None) and (c, m, c, None).
static PyObject *StdVisitors_VisitFromImport(PyObject *self, PyObject *args) {
  VisitContext ctx;
  ImportLookup lookup;
  int seen = begin_import(self, args, &ctx, &lookup);
  if (seen != 0) return seen < 0 ? nullptr : visit_result(false);
  PyRef modname(read_field(ctx.node, 1, "modname"));
  if (!modname) return nullptr;
  PyRef names(read_tuple_field(ctx.node, 2, "names"));
  if (!names) return nullptr;
  PyRef analysis(find_analysis(lookup, modname.get()));
  if (!analysis) return nullptr;

  Py_ssize_t count = PyTuple_GET_SIZE(names.get());
  PyObject *first = count == 1 ? PyTuple_GET_ITEM(names.get(), 0) : nullptr;
  if (first && PyString_Check(first) && PyString_GET_SIZE(first) > 0 &&
      PyString_AS_STRING(first)[0] == '*') {
    return import_star(ctx, analysis.get()) < 0 ? nullptr : visit_result(false);
  }
  for (Py_ssize_t i = 0; i < count; i++) {
    PyObject *entry = PyTuple_GET_ITEM(names.get(), i);
    int status = 0;
    if (PyString_Check(entry)) {
      status = add_import_record(ctx, entry, analysis.get(), entry, Py_None);
    } else if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
      status = add_import_record(ctx, PyTuple_GET_ITEM(entry, 1), analysis.get(),
                                 PyTuple_GET_ITEM(entry, 0), Py_None);
    }
    if (status < 0) return nullptr;
  }
  return visit_result(false);
}

// ---------------------------------------------------------------------------------------------
// StdVisitors: the type and the standard walker.

static int StdVisitors_traverse(PyObject *obj, visitproc visit, void *arg) {
  StdVisitorsObject *self = reinterpret_cast<StdVisitorsObject *>(obj);
  Py_VISIT(self->fNamePool);
  Py_VISIT(self->fModAnalysis);
  Py_VISIT(self->fLogicalList);
  return 0;
}

static int StdVisitors_clear(PyObject *obj) {
  StdVisitorsObject *self = reinterpret_cast<StdVisitorsObject *>(obj);
  clear_owned(self->fNamePool);
  clear_owned(self->fModAnalysis);
  clear_owned(self->fLogicalList);
  return 0;
}

static void StdVisitors_dealloc(PyObject *obj) {
  PyObject_GC_UnTrack(obj);
  StdVisitors_clear(obj);
  PyObject_GC_Del(obj);
}

static const char kAssignDoc[] =
    "Visit an assignment node.  Creates attribute entries for each target and type equiv "
    "entries when there is a single target and the expression is either a dotted name or a "
    "builtin instance constructor (e.g. '{}').";
static const char kForDoc[] =
    "Visit an For node.  Creates attribute entries for each target and type equiv entries when "
    "there is a single target and the expression is either a dotted name or a builtin instance "
    "constructor (e.g. '{}').";

static PyMethodDef StdVisitorsMethods[] = {
    {"VisitReturn", StdVisitors_VisitReturn, METH_VARARGS,
     "Visit a return node.  Creates a type equiv for the name 'return' to the value returned."},
    {"VisitAssign", StdVisitors_VisitAssign, METH_VARARGS, kAssignDoc},
    {"VisitFor", StdVisitors_VisitFor, METH_VARARGS, kForDoc},
    {"VisitFunctionDef", StdVisitors_VisitFunctionDef, METH_VARARGS, ""},
    {"VisitClassDef", StdVisitors_VisitClassDef, METH_VARARGS, ""},
    {"VisitCallFunc", StdVisitors_VisitCallFunc, METH_VARARGS,
     "Visit a funtion call node.  Finds all isinstance calls. "},
    {"VisitImport", StdVisitors_VisitImport, METH_VARARGS, "Visit an import node."},
    {"VisitFromImport", StdVisitors_VisitFromImport, METH_VARARGS, "Visit an import node."},
    {nullptr, nullptr, 0, nullptr},
};

// new_std_visitors --
//   The StdVisitors object for one logical list (arguments as astinspect_new_std_walker).
static PyObject *new_std_visitors(PyObject *mod_analysis, PyObject *name_pool,
                                  PyObject *logical_list, const LogicalLineFunctionTable *table) {
  if (!mod_analysis || Py_TYPE(mod_analysis) != &PyInstance_Type || !name_pool ||
      !PyDict_Check(name_pool) || !logical_list || !PyList_Check(logical_list)) {
    PyErr_SetString(PyExc_TypeError, "Incorrect type of StdVisitors constructor");
    return nullptr;
  }
  if (!table) {
    ASTINSPECT_BAD_CALL();
    return nullptr;
  }
  StdVisitorsObject *self = PyObject_GC_New(StdVisitorsObject, &StdVisitorsType);
  if (!self) return nullptr;
  self->fNamePool = nullptr;
  self->fModAnalysis = nullptr;
  self->fLogicalList = nullptr;
  set_owned(self->fNamePool, name_pool);
  set_owned(self->fModAnalysis, mod_analysis);
  set_owned(self->fLogicalList, logical_list);
  self->fTable = *table;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject *>(self);
}

PyObject *astinspect_new_std_walker(PyObject *mod_analysis, PyObject *name_pool,
                                    PyObject *logical_list, const LogicalLineFunctionTable *table) {
  PyRef visitors(new_std_visitors(mod_analysis, name_pool, logical_list, table));
  if (!visitors) return nullptr;
  static const struct {
    const char *kind;
    const char *method;
  } kMap[] = {
      {"CallFunc", "VisitCallFunc"},   {"Return", "VisitReturn"},
      {"Assign", "VisitAssign"},       {"For", "VisitFor"},
      {"Function", "VisitFunctionDef"}, {"Class", "VisitClassDef"},
      {"Import", "VisitImport"},       {"From", "VisitFromImport"},
  };
  PyRef map(PyDict_New());
  if (!map) return nullptr;
  for (const auto &entry : kMap) {
    PyRef bound(PyObject_GetAttrString(visitors.get(), entry.method));
    if (!bound || PyDict_SetItemString(map.get(), entry.kind, bound.get()) < 0) return nullptr;
  }
  return astinspect_new_walker(map.get());
}

// ready_type --
//   Fills one of this file's types and readies it. Neither type is made from Python (tp_new
//   stays null): the analyzer builds them. Both take part in garbage collection, since the
//   module analysis they hold may hold the analyzer and with it the walker.
static int ready_type(PyTypeObject &type, const char *name, size_t size, destructor dealloc,
                      traverseproc traverse, inquiry clear, PyMethodDef *methods) {
  if (type.tp_name) return 0;
  Py_REFCNT(&type) = 1;
  type.tp_name = name;
  type.tp_basicsize = Py_ssize_t(size);
  type.tp_dealloc = dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_traverse = traverse;
  type.tp_clear = clear;
  type.tp_methods = methods;
  return PyType_Ready(&type);
}

PyTypeObject NodeWalkerType{};
PyTypeObject StdVisitorsType{};

int astinspect_ready_types() {
  if (make_constants() < 0) return -1;
  if (ready_type(NodeWalkerType, "NodeWalker", sizeof(NodeWalkerObject), NodeWalker_dealloc,
                 NodeWalker_traverse, NodeWalker_clear, NodeWalkerMethods) < 0) {
    return -1;
  }
  return ready_type(StdVisitorsType, "StdVisitors", sizeof(StdVisitorsObject),
                    StdVisitors_dealloc, StdVisitors_traverse, StdVisitors_clear,
                    StdVisitorsMethods);
}
