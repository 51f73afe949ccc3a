// The environment's native line parser: module linegrammar (linegrammar_d.so for python2.7-dbg).
//
// LineParser(expression, print_function) collects one logical line's tokens as
// vornide.grammar.LineParser does, rebuilds the same text and parses it with the interpreter's
// own parser (its C API), building the tuple form with line numbers that the parser module's
// st2tuple(st, True) gives, without making a syntax tree object first. vornide.grammar stays the
// reference: same text, same trees, same SyntaxError rows and columns.
#include <Python.h>

#include <string>
#include <vector>

#include <errcode.h>
#include <graminit.h>
#include <grammar.h>
#include <node.h>
#include <parsetok.h>
#include <token.h>

#include "linecutter.h"
#include "linegrammar_api.h"
#include "linetransform.h"
#include "pyref.h"

extern "C" {
extern grammar _PyParser_Grammar;
}

namespace {

const char kPrintFunctionPrefix[] = "from __future__ import print_function\n";
const char kLineFilename[] = "<logical line>";
// A text this long can only come from nonsense positions; refuse it rather than allocate.
const size_t kMaxText = size_t(1) << 28;

struct LineParserObject {
  PyObject_HEAD
  std::string *text;      // the rebuilt text so far
  bool expression;
  bool print_function;
  long origin_col;        // column of the first token of the last statement
  bool has_row;           // a token was placed since the start or the last "\n"
  long row, col;          // just after the last token placed
  Py_ssize_t token_count;
  bool first_is_from;
  bool last_is_comma;
  size_t last_token_at;   // offset of the last token in text
  // The tokens placed (held), each with its row and column in the text: the transformer reads
  // a terminal's text from the token placed where the terminal starts.
  std::vector<PlacedToken> *placed;
  size_t scanned;         // the text before this offset is counted into text_row, row_start
  int text_row;           // 1-based row of the text at `scanned`
  size_t row_start;       // offset of that row's start
  int statement_ends;     // the "\n" tokens added
};

int add_text(LineParserObject *self, const char *data, size_t size) {
  if (self->text->size() + size > kMaxText) {
    PyErr_NoMemory();
    return -1;
  }
  self->text->append(data, size);
  return 0;
}

int add_repeated(LineParserObject *self, const char *piece, size_t piece_size, long count) {
  if (count <= 0) return 0;
  if (size_t(count) > kMaxText / piece_size) {
    PyErr_NoMemory();
    return -1;
  }
  if (piece_size == 1) {
    if (self->text->size() + size_t(count) > kMaxText) {
      PyErr_NoMemory();
      return -1;
    }
    self->text->append(size_t(count), piece[0]);
    return 0;
  }
  for (long i = 0; i < count; i++) {
    if (add_text(self, piece, piece_size) < 0) return -1;
  }
  return 0;
}

extern PyTypeObject LineParserType;

// Parsers freed are kept for the next lines, with their buffers (an analysis makes one a line):
// as many as a few analyses running inside one another use at once.
const int kSpareParsers = 8;
LineParserObject *gSpareParsers[kSpareParsers];
int gSpareCount;

// A new parser of one expression (eval_input) or of statements (file_input).
PyObject *new_parser(PyTypeObject *type, bool expression, bool print_function) {
  LineParserObject *self;
  if (type == &LineParserType && gSpareCount > 0) {
    self = gSpareParsers[--gSpareCount];
    PyObject_INIT(self, type);
  } else {
    self = reinterpret_cast<LineParserObject *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyRef made(reinterpret_cast<PyObject *>(self));
    self->text = new (std::nothrow) std::string();
    self->placed = new (std::nothrow) std::vector<PlacedToken>();
    if (!self->text || !self->placed) return PyErr_NoMemory();
    // Room for most lines at once.
    self->text->reserve(96);
    self->placed->reserve(24);
    made.release();
  }
  self->expression = expression;
  self->print_function = print_function;
  self->origin_col = 0;
  self->has_row = false;
  self->row = self->col = 0;
  self->token_count = 0;
  self->first_is_from = self->last_is_comma = false;
  self->last_token_at = 0;
  self->scanned = 0;
  self->text_row = 1;
  self->row_start = 0;
  self->statement_ends = 0;
  return reinterpret_cast<PyObject *>(self);
}

PyObject *LineParser_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"expression", "print_function", nullptr};
  PyObject *expression, *print_function;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:LineParser", const_cast<char **>(kwlist),
                                   &expression, &print_function)) {
    return nullptr;
  }
  int is_expression = PyObject_IsTrue(expression);
  if (is_expression < 0) return nullptr;
  int is_print_function = PyObject_IsTrue(print_function);
  if (is_print_function < 0) return nullptr;
  return new_parser(type, is_expression, is_print_function);
}

void LineParser_dealloc(LineParserObject *self) {
  if (self->placed) {
    for (const PlacedToken &token : *self->placed) Py_DECREF(token.text);
    self->placed->clear();
  }
  if (Py_TYPE(self) == &LineParserType && self->text && self->placed &&
      gSpareCount < kSpareParsers) {
    if (self->text->capacity() > 4096) std::string().swap(*self->text);   // a long line's
    self->text->clear();
    gSpareParsers[gSpareCount++] = self;
    return;
  }
  delete self->placed;
  delete self->text;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject *>(self));
}

// Places one str token the way vornide.grammar does: 0, or -1 with the error set.
int add_token(LineParserObject *self, PyObject *token, long first, long second) {
  const char *data = PyString_AS_STRING(token);
  size_t size = size_t(PyString_GET_SIZE(token));
  if (size == 1 && data[0] == '\n') {
    // The end of the statement; a token after it starts a new one.
    if (add_text(self, "\n", 1) < 0) return -1;
    self->has_row = false;
    self->statement_ends++;
    return 0;
  }
  // Placed on copies, so that a refused token leaves the parser as it was.
  size_t text_size = self->text->size();
  long column = second > 0 ? second : 0;
  long origin_col = self->origin_col, row = self->row, col = self->col, gap;
  int failed = 0;
  if (!self->has_row) {
    origin_col = column;
    row = first;
    col = column;
  } else if (first > row) {
    if (__builtin_sub_overflow(first, row, &gap)) {
      failed = -1;
    } else {
      failed = add_repeated(self, " \\\n", 3, gap);
      if (failed == 0) failed = add_repeated(self, " ", 1, column);
    }
    row = first;
    col = column;
  } else if (first == row && second >= col) {
    failed = add_repeated(self, " ", 1, second - col);
    col = second;
  } else {
    failed = add_text(self, " ", 1);
    col += 1;
  }
  size_t token_at = self->text->size();
  if (failed == 0) failed = add_text(self, data, size);
  long newlines = 0;
  size_t last_newline = 0;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == '\n') {
      newlines++;
      last_newline = i;
    }
  }
  if (failed == 0 && newlines) {
    if (__builtin_add_overflow(row, newlines, &row)) failed = -1;
    col = long(size - last_newline - 1);
  } else if (failed == 0 && __builtin_add_overflow(col, long(size), &col)) {
    failed = -1;
  }
  if (failed < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "token position out of range");
    self->text->resize(text_size);
    return -1;
  }
  self->has_row = true;
  self->origin_col = origin_col;
  self->row = row;
  self->col = col;
  self->last_token_at = token_at;
  for (; self->scanned < token_at; self->scanned++) {
    if ((*self->text)[self->scanned] == '\n') {
      self->text_row++;
      self->row_start = self->scanned + 1;
    }
  }
  Py_INCREF(token);
  self->placed->push_back(PlacedToken{self->text_row, long(token_at - self->row_start), token});
  self->token_count++;
  if (self->token_count == 1) self->first_is_from = size == 4 && memcmp(data, "from", 4) == 0;
  self->last_is_comma = size == 1 && data[0] == ',';
  return 0;
}

// AddToken(text, row, column) -- places one token the way vornide.grammar does.
PyObject *LineParser_AddToken(LineParserObject *self, PyObject *args) {
  PyObject *token;
  long first, second;
  if (!PyArg_ParseTuple(args, "Oll:AddToken", &token, &first, &second)) return nullptr;
  if (!PyString_Check(token)) {
    PyErr_Format(PyExc_TypeError, "token must be a str, not %.200s", Py_TYPE(token)->tp_name);
    return nullptr;
  }
  if (add_token(self, token, first, second) < 0) return nullptr;
  Py_RETURN_NONE;
}

// The int of a nonterminal's kind: the interpreter keeps small ints only, and every tree has
// dozens of these; one object each for the module's life.
PyObject *kind_int(int kind) {
  static PyObject *kinds[NT_OFFSET];
  if (kind < NT_OFFSET || kind >= 2 * NT_OFFSET) return PyInt_FromLong(kind);
  PyObject *&slot = kinds[kind - NT_OFFSET];
  if (!slot) {
    slot = PyInt_FromLong(kind);
    if (!slot) return nullptr;
  }
  Py_INCREF(slot);
  return slot;
}

// The tuple form of a parse tree node, as the parser module's st2tuple(st, True) makes it, with
// row_shift added to the rows of the terminals. The tuples hold only ints, strs and such
// tuples, so none is left to the cyclic collector (which would walk them again and again while
// an analysis keeps trees).
PyObject *node_tuple(node *n, int row_shift) {
  if (ISNONTERMINAL(TYPE(n))) {
    bool encoding = TYPE(n) == encoding_decl;
    PyRef tuple(PyTuple_New(1 + NCH(n) + (encoding ? 1 : 0)));
    if (!tuple) return nullptr;
    PyObject *kind = kind_int(TYPE(n));
    if (!kind) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, kind);
    for (int i = 0; i < NCH(n); i++) {
      PyObject *child = node_tuple(CHILD(n, i), row_shift);
      if (!child) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), i + 1, child);
    }
    if (encoding) {
      PyObject *name = PyString_FromString(STR(n));
      if (!name) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), NCH(n) + 1, name);
    }
    _PyTuple_MaybeUntrack(tuple.get());
    return tuple.release();
  }
  PyRef kind(PyInt_FromLong(TYPE(n)));
  PyRef text(PyString_FromString(STR(n)));
  PyRef row(PyInt_FromLong(n->n_lineno + row_shift));
  if (!kind || !text || !row) return nullptr;
  PyObject *terminal = PyTuple_Pack(3, kind.get(), text.get(), row.get());
  if (terminal) _PyTuple_MaybeUntrack(terminal);
  return terminal;
}

// The interpreter's SyntaxError moved to the logical line's own rows and columns, as a plain
// SyntaxError; other errors pass as they are.
void relocate_error(LineParserObject *self, bool prefixed) {
  if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (!value) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  PyRef msg(PyObject_GetAttrString(value, "msg"));
  PyRef lineno(PyObject_GetAttrString(value, "lineno"));
  PyRef offset(PyObject_GetAttrString(value, "offset"));
  PyRef text(PyObject_GetAttrString(value, "text"));
  if (!msg || !lineno || !offset || !text) return;
  PyRef one(PyInt_FromLong(1));
  if (!one) return;
  if (lineno.get() != Py_None && prefixed) {
    lineno.reset(PyNumber_Subtract(lineno.get(), one.get()));
    if (!lineno) return;
  }
  int first_row = PyObject_RichCompareBool(lineno.get(), one.get(), Py_EQ);
  if (first_row < 0) return;
  if (first_row && offset.get() != Py_None) {
    PyRef origin(PyInt_FromLong(self->origin_col));
    if (!origin) return;
    offset.reset(PyNumber_Add(offset.get(), origin.get()));
    if (!offset) return;
  }
  PyRef error(PyObject_CallFunction(PyExc_SyntaxError, const_cast<char *>("O(sOOO)"), msg.get(),
                                    kLineFilename, lineno.get(), offset.get(), text.get()));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
}

// The text the tokens added make for the interpreter's parser, in *text; *prefixed when it
// opens with the print_function import. 0, or -1 with SyntaxError set for a null byte.
int final_text(LineParserObject *self, std::string *text, bool *prefixed) {
  // "from m import (a, b,)" reaches the parser without its parentheses.
  if (self->token_count > 1 && self->first_is_from && self->last_is_comma) {
    (*self->text)[self->last_token_at] = ' ';
  }
  *text = *self->text;
  if (text->empty() || text->back() != '\n') *text += '\n';
  if (text->find('\0') != std::string::npos) {
    PyRef line(PyString_FromStringAndSize(text->data(), Py_ssize_t(text->size())));
    if (!line) return -1;
    PyRef error(PyObject_CallFunction(PyExc_SyntaxError, const_cast<char *>("s(siOO)"),
                                      "null byte in logical line", kLineFilename, 1, Py_None,
                                      line.get()));
    if (error) PyErr_SetObject(PyExc_SyntaxError, error.get());
    return -1;
  }
  *prefixed = self->print_function && !self->expression;
  if (*prefixed) text->insert(0, kPrintFunctionPrefix);
  return 0;
}

// The interpreter's parse tree of a final text (to be freed with PyNode_Free), or null with
// the SyntaxError moved to the line's rows and columns.
node *parse_text(LineParserObject *self, const std::string &text, bool prefixed) {
  perrdetail err;
  int flags = 0;
  node *tree = PyParser_ParseStringFlagsFilenameEx(text.c_str(), nullptr, &_PyParser_Grammar,
                                                   self->expression ? eval_input : file_input,
                                                   &err, &flags);
  if (!tree) {
    PyParser_SetError(&err);
    relocate_error(self, prefixed);
  }
  return tree;
}

// The tuple form of a parse of a final text: with the prefix statement dropped and the rows
// moved back to the line's own when the text was prefixed.
PyObject *tree_tuple(node *tree, bool prefixed) {
  if (!(prefixed && TYPE(tree) == file_input && NCH(tree) >= 1)) return node_tuple(tree, 0);
  PyRef tuple(PyTuple_New(NCH(tree)));
  if (!tuple) return nullptr;
  PyObject *kind = PyInt_FromLong(TYPE(tree));
  if (!kind) return nullptr;
  PyTuple_SET_ITEM(tuple.get(), 0, kind);
  for (int i = 1; i < NCH(tree); i++) {
    PyObject *child = node_tuple(CHILD(tree, i), -1);
    if (!child) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, child);
  }
  return tuple.release();
}

// Parses the tokens added; the tuple-form parse tree, or SyntaxError.
PyObject *finish(LineParserObject *self) {
  std::string text;
  bool prefixed;
  if (final_text(self, &text, &prefixed) < 0) return nullptr;
  node *tree = parse_text(self, text, prefixed);
  if (!tree) return nullptr;
  PyObject *result = tree_tuple(tree, prefixed);
  PyNode_Free(tree);
  return result;
}

// The value of a str literal token that the interpreter's tokenizer reads as one string whose
// value is its body as it stands: an optional b and r prefix, one or three quotes, and inside
// no backslash, no quote of its kind and no NUL (nor a line end, in one quote). Null, without
// an error, for any other token.
PyObject *plain_string_value(PyObject *token) {
  const char *s = PyString_AS_STRING(token);
  Py_ssize_t n = PyString_GET_SIZE(token), i = 0;
  if (i < n && (s[i] == 'b' || s[i] == 'B')) i++;
  if (i < n && (s[i] == 'r' || s[i] == 'R')) i++;
  if (i >= n || (s[i] != '\'' && s[i] != '"')) return nullptr;
  char quote = s[i];
  Py_ssize_t quotes = n - i >= 6 && s[i + 1] == quote && s[i + 2] == quote ? 3 : 1;
  Py_ssize_t body = i + quotes, end = n - quotes;
  if (end < body) return nullptr;
  for (Py_ssize_t k = end; k < n; k++) {
    if (s[k] != quote) return nullptr;
  }
  for (Py_ssize_t k = body; k < end; k++) {
    char c = s[k];
    if (c == '\\' || c == quote || c == '\0' || (quotes == 1 && (c == '\n' || c == '\r'))) {
      return nullptr;
    }
  }
  return PyString_FromStringAndSize(s + body, end - body);
}

// The syntax tree of a statement made of plain string literals alone (a documentation string,
// most often), ("Discard", ("Const", value)), made without the interpreter's parse: the parse
// would give one atom of the strings. Null without an error for any other statement.
PyObject *plain_strings_statement(LineParserObject *self) {
  if (self->expression || self->statement_ends != 1 || self->has_row || self->placed->empty()) {
    return nullptr;
  }
  PyRef value;
  for (const PlacedToken &token : *self->placed) {
    PyRef part(plain_string_value(token.text));
    if (!part) return nullptr;
    if (!value) {
      value = std::move(part);
      continue;
    }
    PyObject *joined = value.release();
    PyString_Concat(&joined, part.get());
    if (!joined) return nullptr;
    value.reset(joined);
  }
  return linetransform_discarded_constant(value.get());
}

// Parses the tokens added and transforms the tree as transform(tree) would (see the API).
PyObject *finish_transformed(LineParserObject *self, PyObject *transform, PyObject *trees) {
  auto *owner = reinterpret_cast<TransformObject *>(transform);
  if (!owner->fallback) {
    PyErr_SetString(PyExc_ValueError, "the transform was cleared");
    return nullptr;
  }
  PyRef fallback = PyRef::borrow(owner->fallback);
  int native = linetransform_native_allowed(transform);
  if (native < 0) return nullptr;
  if (native) {
    PyObject *strings = plain_strings_statement(self);
    if (strings || PyErr_Occurred()) return strings;
  }
  std::string text;
  bool prefixed;
  if (final_text(self, &text, &prefixed) < 0) return nullptr;
  // The syntax tree depends on the text alone (the print_function import is in it), so a
  // line met before gives the tree made then. Only native results are kept: the fallback
  // may be anything.
  PyRef key;
  if (native && trees) {
    text.insert(0, 1, self->expression ? 'e' : 's');
    key.reset(PyString_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    text.erase(0, 1);
    if (!key) return nullptr;
    PyObject *found = PyDict_GetItem(trees, key.get());
    if (found) {
      Py_INCREF(found);
      return found;
    }
  }
  node *tree = parse_text(self, text, prefixed);
  if (!tree) return nullptr;
  if (native) {
    int skip = prefixed && TYPE(tree) == file_input && NCH(tree) >= 1 ? 1 : 0;
    PlacedTokens placed{self->placed->data(), self->placed->size(), prefixed ? 1 : 0};
    PyRef result(linetransform_transform_node(tree, skip, &placed));
    if (!result || result.get() != Py_NotImplemented) {
      PyNode_Free(tree);
      if (result && key && PyDict_SetItem(trees, key.get(), result.get()) < 0) return nullptr;
      return result.release();
    }
  }
  // The reference takes the tuple form.
  PyRef tuple(tree_tuple(tree, prefixed));
  PyNode_Free(tree);
  if (!tuple) return nullptr;
  return PyObject_CallFunctionObjArgs(fallback.get(), tuple.get(), nullptr);
}

// Finish(row, column) -- parses the tokens added; the tuple-form parse tree, or SyntaxError.
PyObject *LineParser_Finish(LineParserObject *self, PyObject *args) {
  PyObject *first, *second;
  if (!PyArg_ParseTuple(args, "OO:Finish", &first, &second)) return nullptr;
  return finish(self);
}

PyMethodDef LineParser_methods[] = {
    {"AddToken", reinterpret_cast<PyCFunction>(LineParser_AddToken), METH_VARARGS,
     "AddToken(text, row, column): adds one token at its position in the logical line."},
    {"Finish", reinterpret_cast<PyCFunction>(LineParser_Finish), METH_VARARGS,
     "Finish(row, column): the parse tree of the tokens added (tuple form with line numbers); "
     "SyntaxError when they do not form a valid statement."},
    {nullptr, nullptr, 0, nullptr}};

// -- linegrammar.ParserFactory: Grammar.CreateParser for the native parsers ------------------

struct ParserFactoryObject {
  PyObject_HEAD
  bool print_function;
};

PyObject *ParserFactory_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"print_function", nullptr};
  PyObject *print_function;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:ParserFactory", const_cast<char **>(kwlist),
                                   &print_function)) {
    return nullptr;
  }
  int is_print_function = PyObject_IsTrue(print_function);
  if (is_print_function < 0) return nullptr;
  PyObject *made = type->tp_alloc(type, 0);
  if (made) reinterpret_cast<ParserFactoryObject *>(made)->print_function = is_print_function;
  return made;
}

// factory(start_symbol): a LineParser for file_input (257) statements or one eval_input (258)
// expression.
PyObject *ParserFactory_call(ParserFactoryObject *self, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"start_symbol", nullptr};
  PyObject *start_symbol;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:CreateParser", const_cast<char **>(kwlist),
                                   &start_symbol)) {
    return nullptr;
  }
  const long symbols[] = {file_input, eval_input};
  for (long symbol : symbols) {
    PyRef value(PyInt_FromLong(symbol));
    if (!value) return nullptr;
    int equal = PyObject_RichCompareBool(start_symbol, value.get(), Py_EQ);
    if (equal < 0) return nullptr;
    if (equal) {
      bool expression = symbol == eval_input;
      return new_parser(&LineParserType, expression, !expression && self->print_function);
    }
  }
  PyRef shown(PyObject_Repr(start_symbol));
  if (!shown) return nullptr;
  PyErr_Format(PyExc_ValueError, "unsupported start symbol %s", PyString_AsString(shown.get()));
  return nullptr;
}

PyTypeObject ParserFactoryType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "linegrammar.ParserFactory",               // tp_name
    sizeof(ParserFactoryObject),               // tp_basicsize
    0,                                         // tp_itemsize
    nullptr,                                   // tp_dealloc
    nullptr,                                   // tp_print
    nullptr,                                   // tp_getattr
    nullptr,                                   // tp_setattr
    nullptr,                                   // tp_compare
    nullptr,                                   // tp_repr
    nullptr,                                   // tp_as_number
    nullptr,                                   // tp_as_sequence
    nullptr,                                   // tp_as_mapping
    nullptr,                                   // tp_hash
    reinterpret_cast<ternaryfunc>(ParserFactory_call),  // tp_call
    nullptr,                                   // tp_str
    nullptr,                                   // tp_getattro
    nullptr,                                   // tp_setattro
    nullptr,                                   // tp_as_buffer
    Py_TPFLAGS_DEFAULT,                        // tp_flags
    "ParserFactory(print_function): callable as vornide.grammar.Grammar.CreateParser is, "
    "making native LineParsers (the statements' with print_function as given).",  // tp_doc
    nullptr,                                   // tp_traverse
    nullptr,                                   // tp_clear
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
    ParserFactory_new,                         // tp_new
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

PyMethodDef module_methods[] = {
    {"TransformTree", linetransform_TransformTree, METH_VARARGS,
     "TransformTree(tree): the tuple-form syntax tree of a line's parse tree, as "
     "vornide.transformer makes it, or NotImplemented for a shape left to that transformer."},
    {"CutLines", linecutter_CutLines, METH_VARARGS,
     "CutLines(text, first_lineno, state, record_type): (records, states, clean, state after) "
     "of the lines of text, as vornide.logicallines.cut_segment gives them."},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject LineParserType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "linegrammar.LineParser",                  // tp_name
    sizeof(LineParserObject),                  // tp_basicsize
    0,                                         // tp_itemsize
    reinterpret_cast<destructor>(LineParser_dealloc),  // tp_dealloc
    nullptr,                                   // tp_print
    nullptr,                                   // tp_getattr
    nullptr,                                   // tp_setattr
    nullptr,                                   // tp_compare
    nullptr,                                   // tp_repr
    nullptr,                                   // tp_as_number
    nullptr,                                   // tp_as_sequence
    nullptr,                                   // tp_as_mapping
    nullptr,                                   // tp_hash
    nullptr,                                   // tp_call
    nullptr,                                   // tp_str
    nullptr,                                   // tp_getattro
    nullptr,                                   // tp_setattro
    nullptr,                                   // tp_as_buffer
    Py_TPFLAGS_DEFAULT,                        // tp_flags
    "LineParser(expression, print_function): collects one logical line's tokens and parses "
    "them with the interpreter's parser (see vornide.grammar).",  // tp_doc
    nullptr,                                   // tp_traverse
    nullptr,                                   // tp_clear
    nullptr,                                   // tp_richcompare
    0,                                         // tp_weaklistoffset
    nullptr,                                   // tp_iter
    nullptr,                                   // tp_iternext
    LineParser_methods,                        // tp_methods
    nullptr,                                   // tp_members
    nullptr,                                   // tp_getset
    nullptr,                                   // tp_base
    nullptr,                                   // tp_dict
    nullptr,                                   // tp_descr_get
    nullptr,                                   // tp_descr_set
    0,                                         // tp_dictoffset
    nullptr,                                   // tp_init
    nullptr,                                   // tp_alloc
    LineParser_new,                            // tp_new
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

int api_add_token(PyObject *parser, PyObject *token, long row, long column) {
  return add_token(reinterpret_cast<LineParserObject *>(parser), token, row, column);
}

PyObject *api_finish(PyObject *parser) {
  return finish(reinterpret_cast<LineParserObject *>(parser));
}

PyObject *api_create_parser(PyObject *factory) {
  return new_parser(&LineParserType, false,
                    reinterpret_cast<ParserFactoryObject *>(factory)->print_function);
}

PyObject *api_finish_transformed(PyObject *parser, PyObject *transform, PyObject *trees) {
  return finish_transformed(reinterpret_cast<LineParserObject *>(parser), transform, trees);
}

LineGrammarApi parser_api = {&LineParserType,    api_add_token,         api_finish,
                             &LineTransformType, api_finish_transformed, &ParserFactoryType,
                             api_create_parser};

}  // namespace

VORN_MODINIT initlinegrammar(void) {
  if (PyType_Ready(&LineParserType) < 0 || PyType_Ready(&LineTransformType) < 0 ||
      PyType_Ready(&ParserFactoryType) < 0) {
    return;
  }
  PyObject *module = Py_InitModule3("linegrammar", module_methods,
                                    "The environment's native line parser (see vornide.grammar).");
  if (!module) return;
  Py_INCREF(&LineParserType);
  PyModule_AddObject(module, "LineParser", reinterpret_cast<PyObject *>(&LineParserType));
  Py_INCREF(&ParserFactoryType);
  PyModule_AddObject(module, "ParserFactory", reinterpret_cast<PyObject *>(&ParserFactoryType));
  Py_INCREF(&LineTransformType);
  PyModule_AddObject(module, "Transform", reinterpret_cast<PyObject *>(&LineTransformType));
  PyObject *api = PyCapsule_New(&parser_api, LINEGRAMMAR_API_CAPSULE, nullptr);
  if (!api) return;
  PyModule_AddObject(module, "_parser_api", api);
}
