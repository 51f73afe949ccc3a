// The native node transformer of module linegrammar: turns the parse tree of a logical line into
// the tuple-form syntax tree that vornide.transformer.NodeTransformer makes through the compiler
// package, for the common shapes of simple statements and expressions and the header lines of
// if, while, for, def and class. Any other shape, and any tree the compiler package would
// refuse, is left to the Python transformer, the reference.
//
// The rules (linetransform_rules.inc) are written once over a view of the parse tree and built
// twice: over the tuple form the line parsers' Finish gives (TransformTree, Transform), and over
// the interpreter's own parse tree, so that the analyzer's parse of a line needs no tuple form
// unless the reference is to have the line.
#include <Python.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include <graminit.h>
#include <node.h>
#include <token.h>

#include "linetransform.h"
#include "pyref.h"

namespace {

// A conversion returns a new reference, or null: with an error set for a real failure, without
// one for a shape left to the Python transformer.
PyObject *unsupported() { return nullptr; }

PyObject *gEvalGlobals;   // the namespace literals are evaluated in

// A new reference handed to tuple_of, which takes it over (null when making it failed).
struct Owned {
  PyObject *object;
};

// The interned str of text, which must be a literal of this file (kind names, operators,
// flags): one object each for the process's life, found by the literal's address.
Owned word(const char *text) {
  static std::unordered_map<const char *, PyObject *> words;
  auto found = words.find(text);
  if (found != words.end()) {
    Py_INCREF(found->second);
    return Owned{found->second};
  }
  PyObject *made = PyString_InternFromString(text);
  if (!made) return Owned{nullptr};
  words.emplace(text, made);
  Py_INCREF(made);
  return Owned{made};
}

Owned empty() { return Owned{PyTuple_New(0)}; }

// The items of tuple_of: a borrowed object gets a new reference, an Owned one is taken over, a
// long becomes an int. Null when the item is missing or cannot be made.
PyObject *tuple_item(PyObject *borrowed) {
  Py_XINCREF(borrowed);
  return borrowed;
}
PyObject *tuple_item(Owned owned) { return owned.object; }
PyObject *tuple_item(long value) { return PyInt_FromLong(value); }

// A new tuple of the items (see tuple_item), or null with an error set when one is missing:
// the syntax trees' nodes, without a format string to read.
template <typename... Items>
PyObject *tuple_of(Items... items) {
  PyObject *made[] = {tuple_item(items)...};
  const Py_ssize_t count = Py_ssize_t(sizeof...(Items));
  PyObject *tuple = nullptr;
  bool complete = true;
  for (PyObject *item : made) complete = complete && item;
  if (complete) tuple = PyTuple_New(count);
  if (!tuple) {
    for (PyObject *item : made) Py_XDECREF(item);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a syntax tree node lost an item");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; i++) PyTuple_SET_ITEM(tuple, i, made[i]);
  return tuple;
}

// (name, item) and (name, (a, b)) shapes.
PyObject *tagged(const char *name, PyObject *item) {
  if (!item) return nullptr;
  PyRef owned(item);
  return tuple_of(word(name), item);
}

// (name, (left, right)), taking over both references (either may be null).
PyObject *tagged_pair(const char *name, PyObject *left, PyObject *right) {
  PyRef owned_left(left), owned_right(right);
  if (!left || !right) return nullptr;
  return tuple_of(word(name), Owned{tuple_of(left, right)});
}


// The value of the commonest literals as eval gives it, read as the compiler reads them
// (decimal ints; str literals, raw or not, with the escapes of PyString_DecodeEscape); null
// without an error for the others, and for a text the reading refuses.
PyObject *plain_literal(PyObject *text) {
  const char *s = PyString_AS_STRING(text);
  Py_ssize_t n = PyString_GET_SIZE(text);
  if (n > 0 && s[0] >= '0' && s[0] <= '9') {
    if (n > 18 || (s[0] == '0' && n > 1)) return nullptr;   // octal, or past a long
    long value = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
      if (s[i] < '0' || s[i] > '9') return nullptr;
      value = value * 10 + (s[i] - '0');
    }
    return PyInt_FromLong(value);
  }
  bool raw = false;
  Py_ssize_t i = 0;
  if (i < n && (s[i] == 'b' || s[i] == 'B')) i++;
  if (i < n && (s[i] == 'r' || s[i] == 'R')) {
    raw = true;
    i++;
  }
  if (i >= n || (s[i] != '\'' && s[i] != '"')) return nullptr;   // u'...' and the rest
  char quote = s[i];
  const char *body = s + i + 1;
  Py_ssize_t size = n - i - 2;
  if (size < 0 || s[n - 1] != quote) return nullptr;
  if (size >= 4 && body[0] == quote && body[1] == quote) {
    body += 2;
    size -= 4;
  }
  if (raw || !memchr(body, '\\', size_t(size))) return PyString_FromStringAndSize(body, size);
  PyObject *value = PyString_DecodeEscape(body, size, nullptr, 0, nullptr);
  if (!value && !PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
  return value;
}

// The value of a literal as eval gives it; a literal eval refuses is left to the reference.
PyObject *literal(PyObject *text) {
  PyObject *value = plain_literal(text);
  if (value || PyErr_Occurred()) return value;
  value = PyRun_String(PyString_AS_STRING(text), Py_eval_input, gEvalGlobals,
                                 gEvalGlobals);
  if (!value && PyErr_ExceptionMatches(PyExc_Exception) &&
      !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
  }
  return value;
}


// -- the tuple form: (kind, child, ...) and terminals (kind, text, row) ----------------------

namespace tuple_view {

using Tree = PyObject *;

bool is_node(Tree n) {
  return PyTuple_Check(n) && PyTuple_GET_SIZE(n) >= 2 && PyInt_Check(PyTuple_GET_ITEM(n, 0));
}
long kind_of(Tree n) { return PyInt_AS_LONG(PyTuple_GET_ITEM(n, 0)); }
Py_ssize_t count_of(Tree n) { return PyTuple_GET_SIZE(n) - 1; }
Tree child(Tree n, Py_ssize_t i) { return PyTuple_GET_ITEM(n, i + 1); }
// The text of a terminal (borrowed), or null when n is not one.
PyObject *terminal_text(Tree n) {
  if (!is_node(n) || kind_of(n) >= NT_OFFSET) return nullptr;
  PyObject *text = PyTuple_GET_ITEM(n, 1);
  return PyString_Check(text) ? text : nullptr;
}
// Whether n is a terminal whose text is word (the reference asserts the keywords' texts).
bool text_is(Tree n, const char *word) {
  PyObject *text = terminal_text(n);
  return text && strcmp(PyString_AS_STRING(text), word) == 0;
}
bool children_are_nodes(Tree n) {
  for (Py_ssize_t i = 0; i < count_of(n); i++) {
    if (!is_node(child(n, i))) return false;
  }
  return true;
}

// Whether n has the parser's shape throughout: terminals (kind, text, row), nonterminals (kind,
// child, ...). The reference reads rows and texts where it likes; other trees are left to it.
bool well_formed(Tree n) {
  if (!is_node(n)) return false;
  if (kind_of(n) < NT_OFFSET) {
    return PyTuple_GET_SIZE(n) == 3 && PyString_Check(PyTuple_GET_ITEM(n, 1)) &&
           PyInt_Check(PyTuple_GET_ITEM(n, 2));
  }
  for (Py_ssize_t i = 0; i < count_of(n); i++) {
    if (!well_formed(child(n, i))) return false;
  }
  return true;
}

PyObject *convert(Tree n);

#include "linetransform_rules.inc"

}  // namespace tuple_view

// -- the interpreter's parse tree --------------------------------------------------------------

namespace node_view {

using Tree = node *;

// The texts of the terminals read while a tree is transformed: made when first asked for and
// held until the transform ends (the syntax tree holds its own references). Names are
// interned, so that the lines of a module share them.
struct Texts {
  std::vector<std::pair<node *, PyObject *>> made;
  ~Texts() {
    for (auto &entry : made) Py_DECREF(entry.second);
  }
};
Texts *gTexts;   // of the transform running, else null
const PlacedTokens *gPlaced;   // the tokens of the tree's text, of the transform running

bool is_node(Tree n) { return n != nullptr; }
long kind_of(Tree n) { return TYPE(n); }
Py_ssize_t count_of(Tree n) { return NCH(n); }
Tree child(Tree n, Py_ssize_t i) { return CHILD(n, int(i)); }
// The text of a terminal (borrowed), or null when n is not one (or the text cannot be made:
// the error is then set).
PyObject *terminal_text(Tree n) {
  if (ISNONTERMINAL(TYPE(n))) return nullptr;
  const char *str = STR(n) ? STR(n) : "";
  if (gPlaced && gPlaced->count) {
    // The placed token at the terminal's start, found by bisection (the tokens are in the
    // order of the text).
    long row = long(n->n_lineno) - gPlaced->row_shift, col = n->n_col_offset;
    size_t lo = 0, hi = gPlaced->count;
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      const PlacedToken &at = gPlaced->items[mid];
      if (at.row < row || (at.row == row && at.col < col)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < gPlaced->count) {
      const PlacedToken &at = gPlaced->items[lo];
      if (at.row == row && at.col == col && strcmp(PyString_AS_STRING(at.text), str) == 0) {
        return at.text;
      }
    }
  }
  for (auto it = gTexts->made.rbegin(); it != gTexts->made.rend() && it - gTexts->made.rbegin() < 4;
       ++it) {
    if (it->first == n) return it->second;
  }
  PyObject *text = PyString_FromString(str);
  if (!text) return nullptr;
  if (TYPE(n) == NAME) PyString_InternInPlace(&text);
  gTexts->made.emplace_back(n, text);
  return text;
}
bool text_is(Tree n, const char *word) {
  return !ISNONTERMINAL(TYPE(n)) && STR(n) && strcmp(STR(n), word) == 0;
}
bool children_are_nodes(Tree) { return true; }

PyObject *convert(Tree n);

#include "linetransform_rules.inc"

}  // namespace node_view

// Leaves the tuples of a syntax tree that hold only atoms and such tuples to themselves: the
// cyclic collector need not walk them (analyses keep trees while they make more).
void untrack_tree(PyObject *tree) {
  if (!PyTuple_CheckExact(tree)) return;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tree); i++) untrack_tree(PyTuple_GET_ITEM(tree, i));
  _PyTuple_MaybeUntrack(tree);
}

// The namespace literals are evaluated in, made on first use; false with an error set when it
// cannot be made.
bool ensure_eval_globals() {
  if (gEvalGlobals) return true;
  gEvalGlobals = PyDict_New();
  if (!gEvalGlobals ||
      PyDict_SetItemString(gEvalGlobals, "__builtins__", PyEval_GetBuiltins()) < 0) {
    Py_CLEAR(gEvalGlobals);
    return false;
  }
  return true;
}

// A transform's result (null: left to the reference, unless an error is set) as the entry
// points give it: NotImplemented for a shape left to the reference.
PyObject *finished(PyObject *result) {
  if (result) untrack_tree(result);
  if (result || PyErr_Occurred()) return result;
  Py_INCREF(Py_NotImplemented);
  return Py_NotImplemented;
}

// The syntax tree of a tuple-form parse tree, NotImplemented for a shape left to the reference
// (new references), or null with an error set.
PyObject *transform_tree(PyObject *tree) {
  using namespace tuple_view;
  if (!ensure_eval_globals()) return nullptr;
  PyObject *result = unsupported();
  if (is_node(tree) && kind_of(tree) >= NT_OFFSET && well_formed(tree)) {
    if (kind_of(tree) == file_input) {
      result = file_input_node(tree, 0);
    } else if (kind_of(tree) == eval_input && count_of(tree) >= 1) {
      result = convert(child(tree, 0));
    }
  }
  return finished(result);
}

}  // namespace

PyObject *linetransform_TransformTree(PyObject *, PyObject *args) {
  PyObject *tree;
  if (!PyArg_ParseTuple(args, "O:TransformTree", &tree)) return nullptr;
  return transform_tree(tree);
}

PyObject *linetransform_transform_tree(PyObject *tree) { return transform_tree(tree); }

PyObject *linetransform_discarded_constant(PyObject *value) {
  return finished(tuple_of(word("Discard"), Owned{tuple_of(word("Const"), value)}));
}

PyObject *linetransform_transform_node(node *tree, int skip, const PlacedTokens *placed) {
  if (!ensure_eval_globals()) return nullptr;
  node_view::Texts texts;
  node_view::Texts *outer = node_view::gTexts;
  const PlacedTokens *outer_placed = node_view::gPlaced;
  node_view::gTexts = &texts;
  node_view::gPlaced = placed;
  PyObject *result = unsupported();
  if (TYPE(tree) == file_input) {
    result = node_view::file_input_node(tree, skip);
  } else if (TYPE(tree) == eval_input && NCH(tree) >= 1 && skip == 0) {
    result = node_view::convert(CHILD(tree, 0));
  }
  node_view::gTexts = outer;
  node_view::gPlaced = outer_placed;
  return finished(result);
}

// -- linegrammar.Transform -----------------------------------------------------------------

int linetransform_native_allowed(PyObject *transform) {
  // Once the reference met an encoding declaration, its strings are decoded with it.
  auto *self = reinterpret_cast<TransformObject *>(transform);
  if (!self->reference) {
    PyErr_SetString(PyExc_ValueError, "the transform was cleared");
    return -1;
  }
  static PyObject *name;
  if (!name && !(name = PyString_InternFromString("encoding"))) return -1;
  PyRef encoding(PyObject_GetAttr(self->reference, name));
  if (!encoding) return -1;
  int decoded = PyObject_IsTrue(encoding.get());
  return decoded < 0 ? -1 : !decoded;
}

namespace {

PyObject *Transform_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"fallback", "reference", nullptr};
  PyObject *fallback, *reference;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:Transform", const_cast<char **>(kwlist),
                                   &fallback, &reference)) {
    return nullptr;
  }
  if (!PyCallable_Check(fallback)) {
    PyErr_SetString(PyExc_TypeError, "fallback must be callable");
    return nullptr;
  }
  auto *self = reinterpret_cast<TransformObject *>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Py_INCREF(fallback);
  self->fallback = fallback;
  Py_INCREF(reference);
  self->reference = reference;
  return reinterpret_cast<PyObject *>(self);
}

int Transform_traverse(TransformObject *self, visitproc visit, void *arg) {
  Py_VISIT(self->fallback);
  Py_VISIT(self->reference);
  return 0;
}

int Transform_clear(TransformObject *self) {
  Py_CLEAR(self->fallback);
  Py_CLEAR(self->reference);
  return 0;
}

void Transform_dealloc(TransformObject *self) {
  PyObject_GC_UnTrack(self);
  Transform_clear(self);
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject *>(self));
}

// Transform(fallback, reference)(tree): TransformTree(tree) where it can, for a tuple tree while
// reference.encoding is not set; else fallback(tree).
PyObject *Transform_call(TransformObject *self, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"tree", nullptr};
  PyObject *tree;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Transform", const_cast<char **>(kwlist),
                                   &tree)) {
    return nullptr;
  }
  if (!self->fallback || !self->reference) {
    PyErr_SetString(PyExc_ValueError, "the transform was cleared");
    return nullptr;
  }
  // The fields may go while Python code runs (a collection clearing a cycle): hold them.
  PyRef fallback = PyRef::borrow(self->fallback), reference = PyRef::borrow(self->reference);
  if (PyTuple_CheckExact(tree)) {
    int native = linetransform_native_allowed(reinterpret_cast<PyObject *>(self));
    if (native < 0) return nullptr;
    if (native) {
      PyObject *result = transform_tree(tree);
      if (!result || result != Py_NotImplemented) return result;
      Py_DECREF(result);
    }
  }
  return PyObject_CallFunctionObjArgs(fallback.get(), tree, nullptr);
}

}  // namespace

PyTypeObject LineTransformType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "linegrammar.Transform",                   // tp_name
    sizeof(TransformObject),                   // tp_basicsize
    0,                                         // tp_itemsize
    reinterpret_cast<destructor>(Transform_dealloc),  // tp_dealloc
    nullptr,                                   // tp_print
    nullptr,                                   // tp_getattr
    nullptr,                                   // tp_setattr
    nullptr,                                   // tp_compare
    nullptr,                                   // tp_repr
    nullptr,                                   // tp_as_number
    nullptr,                                   // tp_as_sequence
    nullptr,                                   // tp_as_mapping
    nullptr,                                   // tp_hash
    reinterpret_cast<ternaryfunc>(Transform_call),  // tp_call
    nullptr,                                   // tp_str
    nullptr,                                   // tp_getattro
    nullptr,                                   // tp_setattro
    nullptr,                                   // tp_as_buffer
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,   // tp_flags
    "Transform(fallback, reference): callable on a parse tree; gives TransformTree(tree) "
    "where it can, for a tuple tree while reference.encoding is not set, else "
    "fallback(tree). NodeTransformer's TransformNode without a Python frame.",  // tp_doc
    reinterpret_cast<traverseproc>(Transform_traverse),  // tp_traverse
    reinterpret_cast<inquiry>(Transform_clear),  // tp_clear
    nullptr,                                   // tp_richcompare
    0,                                         // tp_weaklistoffset
    nullptr,                                   // tp_iter
    nullptr,                                   // tp_iternext
    nullptr,                                   // tp_methods
    nullptr,                                   // tp_members
    nullptr,                                   // tp_getset
    nullptr,                                   // tp_base
    nullptr,                                   // tp_dict
    nullptr,                                   // tp_descr_get
    nullptr,                                   // tp_descr_set
    0,                                         // tp_dictoffset
    nullptr,                                   // tp_init
    nullptr,                                   // tp_alloc
    Transform_new,                             // tp_new
    nullptr,                                   // tp_free
    nullptr,                                   // tp_is_gc
    nullptr,                                   // tp_bases
    nullptr,                                   // tp_mro
    nullptr,                                   // tp_cache
    nullptr,                                   // tp_subclasses
    nullptr,                                   // tp_weaklist
    nullptr,                                   // tp_del
    0,                                         // tp_version_tag
};
