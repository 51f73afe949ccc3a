// The native node transformer of module linegrammar: TransformTree(tree) turns the parse tree of
// a logical line (the tuple form the line parsers give) into the tuple-form syntax tree that
// vornide.transformer.NodeTransformer makes through the compiler package, for the common shapes
// of simple statements and expressions and the header lines of if, while, for, def and class.
// Any other shape, and any tree the compiler package would refuse, gives NotImplemented: the
// Python transformer, the reference, does those.
#include <Python.h>

#include <cstring>
#include <string>

#include <graminit.h>
#include <token.h>

#include "linetransform.h"
#include "pyref.h"

namespace {

// A conversion returns a new reference, or null: with an error set for a real failure, without
// one for a shape left to the Python transformer.
PyObject *unsupported() { return nullptr; }

PyObject *gEvalGlobals;   // the namespace literals are evaluated in

bool is_node(PyObject *n) {
  return PyTuple_Check(n) && PyTuple_GET_SIZE(n) >= 2 && PyInt_Check(PyTuple_GET_ITEM(n, 0));
}
long kind_of(PyObject *n) { return PyInt_AS_LONG(PyTuple_GET_ITEM(n, 0)); }
Py_ssize_t count_of(PyObject *n) { return PyTuple_GET_SIZE(n) - 1; }
PyObject *child(PyObject *n, Py_ssize_t i) { return PyTuple_GET_ITEM(n, i + 1); }
// The text of a terminal, or null when n is not one.
PyObject *terminal_text(PyObject *n) {
  if (!is_node(n) || kind_of(n) >= NT_OFFSET) return nullptr;
  PyObject *text = PyTuple_GET_ITEM(n, 1);
  return PyString_Check(text) ? text : nullptr;
}
bool children_are_nodes(PyObject *n) {
  for (Py_ssize_t i = 0; i < count_of(n); i++) {
    if (!is_node(child(n, i))) return false;
  }
  return true;
}

PyObject *convert(PyObject *n);

// Whether n has the parser's shape throughout: terminals (kind, text, row), nonterminals (kind,
// child, ...). The reference reads rows and texts where it likes; other trees are left to it.
bool well_formed(PyObject *n) {
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

// (name, item) and (name, (a, b)) shapes.
PyObject *tagged(const char *name, PyObject *item) {
  if (!item) return nullptr;
  PyRef owned(item);
  return Py_BuildValue("(sO)", name, item);
}

// (name, (left, right)), taking over both references (either may be null).
PyObject *tagged_pair(const char *name, PyObject *left, PyObject *right) {
  PyRef owned_left(left), owned_right(right);
  if (!left || !right) return nullptr;
  return Py_BuildValue("(s(OO))", name, left, right);
}

// The results of make(child) for children first, first + step, ... of n as a tuple.
template <typename Make>
PyObject *mapped_children(PyObject *n, Py_ssize_t first, Py_ssize_t step, Make make) {
  Py_ssize_t total = 0;
  for (Py_ssize_t i = first; i < count_of(n); i += step) total++;
  PyRef items(PyTuple_New(total));
  if (!items) return nullptr;
  Py_ssize_t at = 0;
  for (Py_ssize_t i = first; i < count_of(n); i += step) {
    PyObject *item = make(child(n, i));
    if (!item) return nullptr;
    PyTuple_SET_ITEM(items.get(), at++, item);
  }
  return items.release();
}

// The converted nodes of children first, first + step, ... of n as a tuple.
PyObject *converted_children(PyObject *n, Py_ssize_t first, Py_ssize_t step) {
  return mapped_children(n, first, step, convert);
}

// 'NODE (OP NODE)*': the one node's conversion, else (name, (node1, ..., nodeN)).
PyObject *binary_list(PyObject *n, const char *name) {
  if (count_of(n) == 1) return convert(child(n, 0));
  PyRef items(converted_children(n, 0, 2));
  if (!items) return nullptr;
  return Py_BuildValue("(sO)", name, items.get());
}

// Left-folded binary operators: (kind, (left, right)).
PyObject *operator_chain(PyObject *n) {
  PyRef node(convert(child(n, 0)));
  for (Py_ssize_t i = 2; node && i < count_of(n); i += 2) {
    const char *name = nullptr;
    long op = kind_of(child(n, i - 1));
    if (kind_of(n) == arith_expr) {
      name = op == PLUS ? "Add" : op == MINUS ? "Sub" : nullptr;
    } else if (kind_of(n) == shift_expr) {
      name = op == LEFTSHIFT ? "LeftShift" : op == RIGHTSHIFT ? "RightShift" : nullptr;
    } else {
      name = op == STAR ? "Mul" : op == SLASH ? "Div" : op == PERCENT ? "Mod"
           : op == DOUBLESLASH ? "FloorDiv" : nullptr;
    }
    if (!name) return unsupported();   // the reference raises ValueError
    PyObject *left = node.release();
    node.reset(tagged_pair(name, left, convert(child(n, i))));
  }
  return node.release();
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

PyObject *atom_node(PyObject *n) {
  PyObject *first = child(n, 0);
  long opener = kind_of(first);
  if ((opener == LPAR || opener == LSQB || opener == LBRACE || opener == BACKQUOTE) &&
      count_of(n) < 2) {
    return unsupported();
  }
  switch (opener) {
    case NAME:
      if (count_of(n) != 1 || !terminal_text(first)) return unsupported();
      return Py_BuildValue("(sO)", "Name", terminal_text(first));
    case NUMBER:
      if (count_of(n) != 1 || !terminal_text(first)) return unsupported();
      return tagged("Const", literal(terminal_text(first)));
    case STRING: {
      PyRef value(PyString_FromString(""));
      for (Py_ssize_t i = 0; value && i < count_of(n); i++) {
        PyObject *text = terminal_text(child(n, i));
        if (!text || kind_of(child(n, i)) != STRING) return unsupported();
        PyRef part(literal(text));
        if (!part) return nullptr;
        // A damaged tree's "string" may read as another literal: the reference fails there.
        if (!PyString_Check(part.get()) && !PyUnicode_Check(part.get())) return unsupported();
        value.reset(PyNumber_Add(value.get(), part.get()));
      }
      if (!value) return nullptr;
      return tagged("Const", value.release());
    }
    case LPAR:
      if (kind_of(child(n, 1)) == RPAR) return Py_BuildValue("(s())", "Tuple");
      if (kind_of(child(n, 1)) != testlist_comp) return unsupported();
      return convert(child(n, 1));
    case LSQB: {
      if (kind_of(child(n, 1)) == RSQB) return Py_BuildValue("(s())", "List");
      PyObject *maker = child(n, 1);
      if (kind_of(maker) != listmaker || !children_are_nodes(maker)) return unsupported();
      // Every child but the commas is an item, as the reference reads it.
      PyRef items(PyList_New(0));
      if (!items) return nullptr;
      for (Py_ssize_t i = 0; i < count_of(maker); i++) {
        long k = kind_of(child(maker, i));
        if (k == list_for) return unsupported();
        if (k == COMMA) continue;
        PyRef item(convert(child(maker, i)));
        if (!item || PyList_Append(items.get(), item.get()) < 0) return nullptr;
      }
      if (PyList_GET_SIZE(items.get()) == 0) return unsupported();
      PyRef tuple(PyList_AsTuple(items.get()));
      if (!tuple) return nullptr;
      return Py_BuildValue("(sO)", "List", tuple.get());
    }
    case LBRACE:
      if (kind_of(child(n, 1)) == RBRACE) return Py_BuildValue("(s())", "Dict");
      return unsupported();
    case BACKQUOTE: return tagged("Backquote", convert(child(n, 1)));
    default: return unsupported();
  }
}

// A call's arguments: positional ones, keywords, then *args and **kwargs.
PyObject *call_node(PyObject *primary, PyObject *trailer_node) {
  PyRef func = PyRef::borrow(primary);
  PyObject *args = child(trailer_node, 1);
  if (kind_of(args) == RPAR) return Py_BuildValue("(sO())", "CallFunc", func.get());
  if (kind_of(args) != arglist || !children_are_nodes(args)) return unsupported();
  PyRef items(PyList_New(0));
  PyRef star, dstar;
  bool keywords = false;
  if (!items) return nullptr;
  Py_ssize_t i = 0, total = count_of(args);
  while (i < total) {
    PyObject *arg = child(args, i);
    if (kind_of(arg) == STAR || kind_of(arg) == DOUBLESTAR) {
      PyRef &target = kind_of(arg) == STAR ? star : dstar;
      if (target || i + 1 >= total) return unsupported();
      target.reset(convert(child(args, i + 1)));
      if (!target) return nullptr;
      i += 3;
      continue;
    }
    if (kind_of(arg) != argument || !children_are_nodes(arg)) return unsupported();
    PyRef item;
    if (count_of(arg) == 1) {
      if (keywords || star) return unsupported();   // the reference raises SyntaxError
      item.reset(convert(child(arg, 0)));
    } else if (count_of(arg) == 3 && kind_of(child(arg, 1)) == EQUAL) {
      PyObject *name = child(arg, 0);
      while (count_of(name) == 1 && kind_of(name) != NAME && is_node(child(name, 0))) {
        name = child(name, 0);
      }
      if (kind_of(name) != NAME || !terminal_text(name)) return unsupported();
      keywords = true;
      PyRef value(convert(child(arg, 2)));
      if (!value) return nullptr;
      item.reset(Py_BuildValue("(s(sO)O)", "Keyword", "Name", terminal_text(name), value.get()));
    } else {
      return unsupported();
    }
    if (!item || PyList_Append(items.get(), item.get()) < 0) return nullptr;
    i += 2;
  }
  if (star) {
    PyRef extra(Py_BuildValue("(sO)", "StarArgs", star.get()));
    if (!extra || PyList_Append(items.get(), extra.get()) < 0) return nullptr;
  }
  if (dstar) {
    PyRef extra(Py_BuildValue("(sO)", "DStarArgs", dstar.get()));
    if (!extra || PyList_Append(items.get(), extra.get()) < 0) return nullptr;
  }
  PyRef tuple(PyList_AsTuple(items.get()));
  if (!tuple) return nullptr;
  return Py_BuildValue("(sOO)", "CallFunc", func.get(), tuple.get());
}

// An omitted part of a slice is None; the literal None is a Name.
PyObject *slice_part(PyObject *n) {
  if (!n) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  return convert(n);
}

// ("Sliceobj", (lower, upper[, step...])) of a subscript with colons, as com_sliceobj reads it.
PyObject *sliceobj_node(PyObject *sub) {
  PyRef items(PyList_New(0));
  if (!items) return nullptr;
  Py_ssize_t i;
  PyRef part;
  if (kind_of(child(sub, 0)) == COLON) {
    part.reset(slice_part(nullptr));
    i = 1;
  } else {
    part.reset(convert(child(sub, 0)));
    i = 2;
  }
  if (!part || PyList_Append(items.get(), part.get()) < 0) return nullptr;
  if (i < count_of(sub) && kind_of(child(sub, i)) == test) {
    part.reset(convert(child(sub, i)));
    i++;
  } else {
    part.reset(slice_part(nullptr));
  }
  if (!part || PyList_Append(items.get(), part.get()) < 0) return nullptr;
  for (; i < count_of(sub); i++) {
    PyObject *op = child(sub, i);
    if (kind_of(op) != sliceop || !children_are_nodes(op)) return unsupported();
    part.reset(slice_part(count_of(op) == 1 ? nullptr : child(op, 1)));
    if (!part || PyList_Append(items.get(), part.get()) < 0) return nullptr;
  }
  PyRef tuple(PyList_AsTuple(items.get()));
  if (!tuple) return nullptr;
  return Py_BuildValue("(sO)", "Sliceobj", tuple.get());
}

// primary[subscripts] with the flags of its use (OP_APPLY, OP_ASSIGN, OP_DELETE): a simple
// slice [a:b] is ("Slice", primary, flags, lower, upper), anything else ("Subscript", primary,
// flags, (item, ...)).
PyObject *subscript_node(PyObject *primary, PyObject *list, const char *flags) {
  if (kind_of(list) != subscriptlist || !children_are_nodes(list)) return unsupported();
  if (count_of(list) == 1) {
    PyObject *sub = child(list, 0);
    if (kind_of(sub) != subscript || !children_are_nodes(sub)) return unsupported();
    Py_ssize_t n = count_of(sub);
    bool colon = kind_of(child(sub, 0)) == COLON || (n > 1 && kind_of(child(sub, 1)) == COLON);
    if (colon && kind_of(child(sub, n - 1)) != sliceop) {
      PyObject *lower = nullptr, *upper = nullptr;
      if (n == 2) {
        if (kind_of(child(sub, 0)) == COLON) {
          upper = child(sub, 1);
        } else {
          lower = child(sub, 0);
        }
      } else if (n == 3) {
        lower = child(sub, 0);
        upper = child(sub, 2);
      }
      PyRef low(slice_part(lower));
      if (!low) return nullptr;
      PyRef high(slice_part(upper));
      if (!high) return nullptr;
      return Py_BuildValue("(sOsOO)", "Slice", primary, flags, low.get(), high.get());
    }
  }
  PyRef items(PyTuple_New((count_of(list) + 1) / 2));
  if (!items) return nullptr;
  for (Py_ssize_t i = 0; i < count_of(list); i += 2) {
    PyObject *sub = child(list, i);
    if (kind_of(sub) != subscript || !children_are_nodes(sub)) return unsupported();
    PyObject *item;
    long first = kind_of(child(sub, 0));
    if (first == DOT && count_of(sub) > 1 && kind_of(child(sub, 1)) == DOT) {
      item = Py_BuildValue("(s)", "Ellipsis");
    } else if (first == COLON || count_of(sub) > 1) {
      item = sliceobj_node(sub);
    } else {
      item = convert(child(sub, 0));
    }
    if (!item) return nullptr;
    PyTuple_SET_ITEM(items.get(), i / 2, item);
  }
  return Py_BuildValue("(sOsO)", "Subscript", primary, flags, items.get());
}

PyObject *apply_trailer(PyObject *primary, PyObject *trailer_node) {
  if (kind_of(trailer_node) != trailer || count_of(trailer_node) < 2 ||
      !children_are_nodes(trailer_node)) {
    return unsupported();
  }
  PyObject *opener = child(trailer_node, 0);
  if (kind_of(opener) == LPAR) return call_node(primary, trailer_node);
  if (kind_of(opener) == LSQB) return subscript_node(primary, child(trailer_node, 1), "OP_APPLY");
  if (kind_of(opener) == DOT) {
    PyObject *name = terminal_text(child(trailer_node, 1));
    if (!name || kind_of(child(trailer_node, 1)) != NAME) return unsupported();
    return Py_BuildValue("(sOO)", "Getattr", primary, name);
  }
  return unsupported();
}

PyObject *power_node(PyObject *n) {
  PyRef node(convert(child(n, 0)));
  for (Py_ssize_t i = 1; node && i < count_of(n); i++) {
    PyObject *item = child(n, i);
    if (kind_of(item) == DOUBLESTAR) {
      if (i + 1 >= count_of(n)) return unsupported();
      PyObject *left = node.release();
      return tagged_pair("Power", left, convert(child(n, i + 1)));
    }
    node.reset(apply_trailer(node.get(), item));
  }
  return node.release();
}

PyObject *comparison_node(PyObject *n) {
  if (count_of(n) == 1) return convert(child(n, 0));
  if (count_of(n) % 2 == 0) return unsupported();   // the reference fails on it
  PyRef ops(PyTuple_New(count_of(n) / 2));
  if (!ops) return nullptr;
  for (Py_ssize_t i = 2; i < count_of(n); i += 2) {
    PyObject *op = child(n, i - 1);
    if (kind_of(op) != comp_op || !children_are_nodes(op)) return unsupported();
    PyObject *first = child(op, 0);
    const char *name;
    switch (kind_of(first)) {
      case NAME: {
        PyObject *text = terminal_text(first);
        if (!text) return unsupported();
        name = PyString_AS_STRING(text);
        if (count_of(op) == 2) name = strcmp(name, "not") == 0 ? "not in" : "is not";
        break;
      }
      case LESS: name = "<"; break;
      case GREATER: name = ">"; break;
      case EQEQUAL:
      case EQUAL: name = "=="; break;
      case LESSEQUAL: name = "<="; break;
      case GREATEREQUAL: name = ">="; break;
      case NOTEQUAL: name = "!="; break;
      default: return unsupported();
    }
    PyRef right(convert(child(n, i)));
    if (!right) return nullptr;
    PyObject *pair = Py_BuildValue("(sO)", name, right.get());
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(ops.get(), (i - 2) / 2, pair);
  }
  PyRef left(convert(child(n, 0)));
  if (!left) return nullptr;
  return Py_BuildValue("(sOO)", "Compare", left.get(), ops.get());
}

// An assignment (flags "OP_ASSIGN") or del ("OP_DELETE") target, in the expression kinds the
// analyzer reads; the flags show in subscripts and slices only.
PyObject *target_node(PyObject *n, const char *flags) {
  while (true) {
    if (!is_node(n) || !children_are_nodes(n)) return unsupported();
    long k = kind_of(n);
    if (k == exprlist || k == testlist || k == testlist_safe || k == testlist_comp) {
      if (count_of(n) > 1) {
        PyRef items(mapped_children(n, 0, 2,
                                    [flags](PyObject *item) { return target_node(item, flags); }));
        if (!items) return nullptr;
        return Py_BuildValue("(sO)", "Tuple", items.get());
      }
      n = child(n, 0);
    } else if (k == test || k == or_test || k == and_test || k == not_test || k == comparison ||
               k == expr || k == xor_expr || k == and_expr || k == shift_expr ||
               k == arith_expr || k == term || k == factor) {
      if (count_of(n) > 1) return unsupported();
      n = child(n, 0);
    } else if (k == power) {
      if (kind_of(child(n, 0)) != atom) return unsupported();
      if (count_of(n) == 1) {
        n = child(n, 0);
        continue;
      }
      PyRef primary(convert(child(n, 0)));
      for (Py_ssize_t i = 1; primary && i < count_of(n) - 1; i++) {
        if (kind_of(child(n, i)) == DOUBLESTAR) return unsupported();
        primary.reset(apply_trailer(primary.get(), child(n, i)));
      }
      if (!primary) return nullptr;
      PyObject *last = child(n, count_of(n) - 1);
      if (kind_of(last) == trailer && count_of(last) == 3 && children_are_nodes(last) &&
          kind_of(child(last, 0)) == LSQB) {
        return subscript_node(primary.get(), child(last, 1), flags);
      }
      if (kind_of(last) != trailer || count_of(last) != 2 || !children_are_nodes(last) ||
          kind_of(child(last, 0)) != DOT) {
        return unsupported();
      }
      PyObject *name = terminal_text(child(last, 1));
      if (!name) return unsupported();
      return Py_BuildValue("(sOO)", "Getattr", primary.get(), name);
    } else if (k == atom) {
      PyObject *first = child(n, 0);
      if (kind_of(first) == NAME && count_of(n) == 1 && terminal_text(first)) {
        return Py_BuildValue("(sO)", "Name", terminal_text(first));
      }
      if (kind_of(first) == LPAR && count_of(n) == 3) {
        n = child(n, 1);
        continue;
      }
      return unsupported();
    } else {
      return unsupported();
    }
  }
}

// The dotted name of a dotted_name node: its names joined with ".".
PyObject *dotted_name_text(PyObject *n) {
  if (!is_node(n) || kind_of(n) != dotted_name || !children_are_nodes(n)) return unsupported();
  std::string name;
  for (Py_ssize_t i = 0; i < count_of(n); i++) {
    if (kind_of(child(n, i)) != NAME) continue;
    PyObject *text = terminal_text(child(n, i));
    if (!text) return unsupported();
    if (!name.empty()) name += '.';
    name.append(PyString_AS_STRING(text), size_t(PyString_GET_SIZE(text)));
  }
  return PyString_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

// Whether n is a terminal whose text is word (the reference asserts the keywords' texts).
bool text_is(PyObject *n, const char *word) {
  PyObject *text = terminal_text(n);
  return text && strcmp(PyString_AS_STRING(text), word) == 0;
}

// An imported name as the analyzer reads it: the name, or (name, alias) after "as".
PyObject *import_name_item(PyObject *name, PyObject *as_word, PyObject *as_node) {
  if (!as_node) {
    Py_INCREF(name);
    return name;
  }
  PyObject *alias = terminal_text(as_node);
  if (!alias || kind_of(as_node) != NAME || !text_is(as_word, "as")) return unsupported();
  return PyTuple_Pack(2, name, alias);
}

// A dotted_as_name (dotted_name [as NAME]) or an import_as_name (NAME [as NAME]).
PyObject *as_name_item(PyObject *n) {
  if (!is_node(n) || !children_are_nodes(n) || (count_of(n) != 1 && count_of(n) != 3)) {
    return unsupported();
  }
  PyRef name;
  if (kind_of(n) == dotted_as_name) {
    name.reset(dotted_name_text(child(n, 0)));
  } else if (kind_of(n) == import_as_name && kind_of(child(n, 0)) == NAME &&
             terminal_text(child(n, 0))) {
    name = PyRef::borrow(terminal_text(child(n, 0)));
  } else {
    return unsupported();
  }
  if (!name) return nullptr;
  bool aliased = count_of(n) == 3;
  return import_name_item(name.get(), aliased ? child(n, 1) : nullptr,
                          aliased ? child(n, 2) : nullptr);
}

// ("Import", names) and ("From", dots + module, names, level).
PyObject *import_node(PyObject *n) {
  if (!is_node(n) || !children_are_nodes(n) || count_of(n) < 2) return unsupported();
  if (kind_of(n) == import_name) {
    PyObject *names = child(n, 1);
    if (kind_of(names) != dotted_as_names || !children_are_nodes(names)) return unsupported();
    PyRef items(mapped_children(names, 0, 2, as_name_item));
    if (!items) return nullptr;
    return Py_BuildValue("(sO)", "Import", items.get());
  }
  if (kind_of(n) != import_from || !text_is(child(n, 0), "from")) return unsupported();
  Py_ssize_t i = 1, total = count_of(n);
  while (i < total && text_is(child(n, i), ".")) i++;
  long level = long(i - 1);
  std::string module(size_t(level), '.');
  if (i < total && kind_of(child(n, i)) == dotted_name) {
    PyRef name(dotted_name_text(child(n, i)));
    if (!name) return nullptr;
    module.append(PyString_AS_STRING(name.get()), size_t(PyString_GET_SIZE(name.get())));
    i++;
  }
  if (i + 1 >= total || !text_is(child(n, i), "import")) return unsupported();
  PyObject *what = child(n, i + 1);
  PyRef names;
  if (kind_of(what) == STAR) {
    names.reset(Py_BuildValue("(s)", "*"));
  } else {
    if (kind_of(what) == LPAR) {
      if (i + 2 >= total) return unsupported();
      what = child(n, i + 2);
    }
    if (kind_of(what) != import_as_names || !children_are_nodes(what)) return unsupported();
    names.reset(mapped_children(what, 0, 2, as_name_item));
  }
  if (!names) return nullptr;
  PyRef module_text(PyString_FromStringAndSize(module.data(), Py_ssize_t(module.size())));
  if (!module_text) return nullptr;
  return Py_BuildValue("(sOOl)", "From", module_text.get(), names.get(), level);
}

PyObject *expr_stmt_node(PyObject *n) {
  PyRef value(convert(child(n, count_of(n) - 1)));
  if (!value) return nullptr;
  if (count_of(n) == 1) return Py_BuildValue("(sO)", "Discard", value.get());
  if (kind_of(child(n, 1)) == augassign) {
    // The target is read as an expression, and only these kinds may be one.
    PyObject *op = child(child(n, 1), 0);
    if (count_of(n) != 3 || count_of(child(n, 1)) != 1 || !terminal_text(op)) {
      return unsupported();
    }
    PyRef target(convert(child(n, 0)));
    if (!target) return nullptr;
    const char *kind = PyString_AsString(PyTuple_GET_ITEM(target.get(), 0));
    if (!kind) return nullptr;
    if (strcmp(kind, "Name") != 0 && strcmp(kind, "Slice") != 0 &&
        strcmp(kind, "Subscript") != 0 && strcmp(kind, "Getattr") != 0) {
      return unsupported();   // the reference raises SyntaxError
    }
    return Py_BuildValue("(sOOO)", "AugAssign", target.get(), terminal_text(op), value.get());
  }
  if (kind_of(child(n, 1)) != EQUAL) return unsupported();
  PyRef bound(target_node(child(n, 0), "OP_ASSIGN"));
  for (Py_ssize_t i = 2; bound && i < count_of(n) - 2; i += 2) {
    PyRef next(target_node(child(n, i), "OP_ASSIGN"));
    if (!next) return nullptr;
    bound.reset(Py_BuildValue("(sOO)", "Assign", bound.get(), next.get()));
  }
  if (!bound) return nullptr;
  return Py_BuildValue("(sOO)", "Assign", bound.get(), value.get());
}

PyObject *convert(PyObject *n) {
  if (!is_node(n) || !children_are_nodes(n) || count_of(n) < 1) return unsupported();
  // The reference reads the row of these nodes' first token.
  bool keyword_first = kind_of(n) == pass_stmt || kind_of(n) == break_stmt ||
                       kind_of(n) == continue_stmt || kind_of(n) == return_stmt ||
                       (kind_of(n) == not_test && count_of(n) == 2);
  if (keyword_first && kind_of(child(n, 0)) >= NT_OFFSET) return unsupported();
  switch (kind_of(n)) {
    case expr_stmt: return expr_stmt_node(n);
    case pass_stmt: return Py_BuildValue("(s)", "Pass");
    case break_stmt: return Py_BuildValue("(s)", "Break");
    case continue_stmt: return Py_BuildValue("(s)", "Continue");
    case return_stmt:
      if (count_of(n) == 1) return Py_BuildValue("(s(sO))", "Return", "Const", Py_None);
      return tagged("Return", convert(child(n, 1)));
    case raise_stmt: {
      // raise [test [, test [, test]]]
      Py_ssize_t total = count_of(n);
      if (kind_of(child(n, 0)) != NAME || (total != 1 && total != 2 && total != 4 && total != 6)) {
        return unsupported();
      }
      PyRef parts[3];
      for (Py_ssize_t i = 0; i < 3; i++) {
        parts[i].reset(slice_part(2 * i + 1 < count_of(n) ? child(n, 2 * i + 1) : nullptr));
        if (!parts[i]) return nullptr;
      }
      return Py_BuildValue("(sOOO)", "Raise", parts[0].get(), parts[1].get(), parts[2].get());
    }
    case testlist:
    case testlist1:
    case testlist_safe:
    case exprlist: return binary_list(n, "Tuple");
    case testlist_comp:
      if (kind_of(child(n, 0)) != test) return unsupported();
      if (count_of(n) == 2 && kind_of(child(n, 1)) == comp_for) return unsupported();
      return binary_list(n, "Tuple");
    case test: {
      if (count_of(n) == 5) {
        // then if test else otherwise: ("IfExp", test, then, otherwise)
        if (!text_is(child(n, 1), "if") || !text_is(child(n, 3), "else")) return unsupported();
        PyRef then(convert(child(n, 0)));
        if (!then) return nullptr;
        PyRef condition(convert(child(n, 2)));
        if (!condition) return nullptr;
        PyRef otherwise(convert(child(n, 4)));
        if (!otherwise) return nullptr;
        return Py_BuildValue("(sOOO)", "IfExp", condition.get(), then.get(), otherwise.get());
      }
      if (count_of(n) != 1 || kind_of(child(n, 0)) == lambdef) return unsupported();
      return convert(child(n, 0));
    }
    case del_stmt:
      if (count_of(n) != 2 || kind_of(child(n, 0)) != NAME) return unsupported();
      return target_node(child(n, 1), "OP_DELETE");
    case import_stmt:
      if (count_of(n) != 1) return unsupported();
      return import_node(child(n, 0));
    case or_test:
      if (count_of(n) == 1 && kind_of(child(n, 0)) == lambdef) return unsupported();
      return binary_list(n, "Or");
    case and_test: return binary_list(n, "And");
    case not_test:
      if (count_of(n) == 2) return tagged("Not", convert(child(n, 1)));
      return convert(child(n, count_of(n) - 1));
    case comparison: return comparison_node(n);
    case expr: return binary_list(n, "Bitor");
    case xor_expr: return binary_list(n, "Bitxor");
    case and_expr: return binary_list(n, "Bitand");
    case shift_expr:
    case arith_expr:
    case term: return operator_chain(n);
    case factor: {
      if (count_of(n) == 1) return convert(child(n, 0));
      const char *name;
      switch (kind_of(child(n, 0))) {
        case PLUS: name = "UnaryAdd"; break;
        case MINUS: name = "UnarySub"; break;
        case TILDE: name = "Invert"; break;
        default: return unsupported();
      }
      return tagged(name, convert(child(n, count_of(n) - 1)));
    }
    case power: return power_node(n);
    case atom: return atom_node(n);
    default: return unsupported();
  }
}

// The body the analyzer gives a header line, "pass", as ("Stmt", (("Pass",),)); other bodies
// are left to the reference.
PyObject *pass_body(PyObject *suite_node) {
  if (kind_of(suite_node) != suite || count_of(suite_node) != 1) return unsupported();
  PyObject *simple = child(suite_node, 0);
  if (!is_node(simple) || kind_of(simple) != simple_stmt || count_of(simple) != 2) {
    return unsupported();
  }
  PyObject *small = child(simple, 0);
  if (!is_node(small) || kind_of(small) != small_stmt || count_of(small) != 1 ||
      !is_node(child(small, 0)) || kind_of(child(small, 0)) != pass_stmt ||
      kind_of(child(simple, 1)) != NEWLINE) {
    return unsupported();
  }
  return Py_BuildValue("(s((s)))", "Stmt", "Pass");
}

// A parameter: its name, or the tuple of a parenthesized list's names (one name in
// parentheses is the name).
PyObject *fpdef_names(PyObject *n) {
  if (kind_of(n) != fpdef || !children_are_nodes(n)) return unsupported();
  PyObject *first = child(n, 0);
  if (kind_of(first) == NAME && count_of(n) == 1 && terminal_text(first)) {
    PyObject *name = terminal_text(first);
    Py_INCREF(name);
    return name;
  }
  if (kind_of(first) != LPAR || count_of(n) != 3) return unsupported();
  PyObject *list = child(n, 1);
  if (kind_of(list) != fplist || !children_are_nodes(list)) return unsupported();
  if (count_of(list) == 1) return fpdef_names(child(list, 0));
  return mapped_children(list, 0, 2, fpdef_names);
}

// ("Function", name, argnames, defaults, flags, None, body, None) of "def NAME(...): pass".
PyObject *funcdef_node(PyObject *n) {
  if (count_of(n) != 5 || kind_of(child(n, 1)) != NAME || !terminal_text(child(n, 1))) {
    return unsupported();
  }
  PyObject *params = child(n, 2);
  if (kind_of(params) != parameters || !children_are_nodes(params) || count_of(params) < 2) {
    return unsupported();
  }
  PyRef names(PyList_New(0)), defaults(PyList_New(0));
  if (!names || !defaults) return nullptr;
  long flags = 0;
  PyObject *args = child(params, 1);
  if (kind_of(args) == varargslist) {
    if (!children_are_nodes(args)) return unsupported();
    Py_ssize_t i = 0, total = count_of(args);
    while (i < total) {
      PyObject *arg = child(args, i);
      if (kind_of(arg) == STAR || kind_of(arg) == DOUBLESTAR) {
        if (kind_of(arg) == STAR) {
          // The reference takes a NAME alone after "*" (and any token after "**").
          PyObject *name = i + 1 < total && kind_of(child(args, i + 1)) == NAME
                               ? terminal_text(child(args, i + 1)) : nullptr;
          if (!name || PyList_Append(names.get(), name) < 0) return name ? nullptr : unsupported();
          flags |= 4;   // CO_VARARGS
          i += 3;
        }
        if (i < total) {
          PyObject *name = i + 1 < total && kind_of(child(args, i)) == DOUBLESTAR
                               ? terminal_text(child(args, i + 1)) : nullptr;
          if (!name || PyList_Append(names.get(), name) < 0) return name ? nullptr : unsupported();
          flags |= 8;   // CO_VARKEYWORDS
        }
        break;
      }
      PyRef name(fpdef_names(arg));
      if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
      i++;
      if (i < total && kind_of(child(args, i)) == EQUAL) {
        if (i + 1 >= total) return unsupported();
        PyRef value(convert(child(args, i + 1)));
        if (!value || PyList_Append(defaults.get(), value.get()) < 0) return nullptr;
        i += 2;
      } else if (PyList_GET_SIZE(defaults.get())) {
        return unsupported();   // the reference raises SyntaxError
      }
      i++;
    }
  } else if (kind_of(args) != RPAR) {
    return unsupported();
  }
  PyRef body(pass_body(child(n, 4)));
  if (!body) return nullptr;
  PyRef name_tuple(PyList_AsTuple(names.get())), default_tuple(PyList_AsTuple(defaults.get()));
  if (!name_tuple || !default_tuple) return nullptr;
  return Py_BuildValue("(sOOOlOOO)", "Function", terminal_text(child(n, 1)), name_tuple.get(),
                       default_tuple.get(), flags, Py_None, body.get(), Py_None);
}

// ("Class", name, bases, None, body, None) of "class NAME[(bases)]: pass".
PyObject *classdef_node(PyObject *n) {
  Py_ssize_t total = count_of(n);
  if ((total != 4 && total != 6 && total != 7) || kind_of(child(n, 1)) != NAME ||
      !terminal_text(child(n, 1))) {
    return unsupported();
  }
  PyRef bases;
  if (total == 7) {
    PyObject *list = child(n, 3);
    if (kind_of(list) != testlist || !children_are_nodes(list)) return unsupported();
    bases.reset(converted_children(list, 0, 2));
  } else {
    bases.reset(PyTuple_New(0));
  }
  if (!bases) return nullptr;
  PyRef body(pass_body(child(n, total - 1)));
  if (!body) return nullptr;
  return Py_BuildValue("(sOOOOO)", "Class", terminal_text(child(n, 1)), bases.get(), Py_None,
                       body.get(), Py_None);
}

// The header lines of compound statements, each with the body "pass" (no else, elif or
// decorators: the analyzer gives those lines apart, or not at all).
PyObject *compound_node(PyObject *n) {
  if (!is_node(n) || !children_are_nodes(n)) return unsupported();
  switch (kind_of(n)) {
    case if_stmt:
    case while_stmt: {
      if (count_of(n) != 4 || kind_of(child(n, 0)) != NAME) return unsupported();
      PyRef condition(convert(child(n, 1)));
      if (!condition) return nullptr;
      PyRef body(pass_body(child(n, 3)));
      if (!body) return nullptr;
      if (kind_of(n) == while_stmt) {
        return Py_BuildValue("(sOOO)", "While", condition.get(), body.get(), Py_None);
      }
      return Py_BuildValue("(s((OO))O)", "If", condition.get(), body.get(), Py_None);
    }
    case for_stmt: {
      if (count_of(n) != 6 || kind_of(child(n, 0)) != NAME) return unsupported();
      PyRef target(target_node(child(n, 1), "OP_ASSIGN"));
      if (!target) return nullptr;
      PyRef sequence(convert(child(n, 3)));
      if (!sequence) return nullptr;
      PyRef body(pass_body(child(n, 5)));
      if (!body) return nullptr;
      return Py_BuildValue("(sOOOO)", "For", target.get(), sequence.get(), body.get(), Py_None);
    }
    case funcdef: return funcdef_node(n);
    case classdef: return classdef_node(n);
    default: return unsupported();
  }
}

// The statements of a file_input tree: its one simple statement or compound statement header
// (a line with ";" is left to the reference), or none.
PyObject *file_input_node(PyObject *n) {
  // A statement after a leading NEWLINE would meet the reference's docstring rule twice.
  PyObject *statement = nullptr;
  for (Py_ssize_t i = 0; i < count_of(n); i++) {
    PyObject *item = child(n, i);
    long k = kind_of(item);
    if (k == NEWLINE || k == ENDMARKER) continue;
    if (k != stmt || statement || i != 0) return unsupported();
    statement = item;
  }
  if (!statement) return Py_BuildValue("(s())", "Stmt");
  if (count_of(statement) != 1 || !is_node(child(statement, 0))) return unsupported();
  PyObject *simple = child(statement, 0);
  if (kind_of(simple) == compound_stmt) {
    if (count_of(simple) != 1) return unsupported();
    return compound_node(child(simple, 0));
  }
  if (kind_of(simple) != simple_stmt || count_of(simple) != 2) return unsupported();
  // small_stmt and flow_stmt wrap one statement; the reference flattens them at this level only.
  PyObject *inner = child(simple, 0);
  const long wrappers[] = {small_stmt, flow_stmt};
  for (long wrapper : wrappers) {
    if (!is_node(inner)) return unsupported();
    if (kind_of(inner) == wrapper) {
      if (count_of(inner) != 1) return unsupported();
      inner = child(inner, 0);
    }
  }
  return convert(inner);
}

// The syntax tree of a parse tree, NotImplemented for a shape left to the reference (new
// references), or null with an error set.
PyObject *transform_tree(PyObject *tree) {
  if (!gEvalGlobals) {
    gEvalGlobals = PyDict_New();
    if (!gEvalGlobals ||
        PyDict_SetItemString(gEvalGlobals, "__builtins__", PyEval_GetBuiltins()) < 0) {
      Py_CLEAR(gEvalGlobals);
      return nullptr;
    }
  }
  PyObject *result = unsupported();
  if (is_node(tree) && kind_of(tree) >= NT_OFFSET && well_formed(tree)) {
    if (kind_of(tree) == file_input) {
      result = file_input_node(tree);
    } else if (kind_of(tree) == eval_input && count_of(tree) >= 1) {
      result = convert(child(tree, 0));
    }
  }
  if (result || PyErr_Occurred()) return result;
  Py_INCREF(Py_NotImplemented);
  return Py_NotImplemented;
}

}  // namespace

PyObject *linetransform_TransformTree(PyObject *, PyObject *args) {
  PyObject *tree;
  if (!PyArg_ParseTuple(args, "O:TransformTree", &tree)) return nullptr;
  return transform_tree(tree);
}

PyObject *linetransform_TransformOrDefer(PyObject *, PyObject *args) {
  PyObject *fallback, *reference, *tree;
  if (!PyArg_ParseTuple(args, "OOO:TransformOrDefer", &fallback, &reference, &tree)) {
    return nullptr;
  }
  if (PyTuple_CheckExact(tree)) {
    // Once the reference met an encoding declaration, its strings are decoded with it.
    PyRef encoding(PyObject_GetAttrString(reference, "encoding"));
    if (!encoding) return nullptr;
    int decoded = PyObject_IsTrue(encoding.get());
    if (decoded < 0) return nullptr;
    if (!decoded) {
      PyObject *result = transform_tree(tree);
      if (!result || result != Py_NotImplemented) return result;
      Py_DECREF(result);
    }
  }
  return PyObject_CallFunctionObjArgs(fallback, tree, nullptr);
}
