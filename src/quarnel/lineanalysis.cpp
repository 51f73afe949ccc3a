// Logical line parsing and analysis: the tokens of a line go to a parser made by the grammar,
// the parse tree through the node transformer, the syntax tree through the standard visitors,
// which record the line's names and type equivalences on it. Lists of lines are analyzed under
// count and time budgets so the environment can analyze a module a slice at a time.
#include "lineanalysis.h"

#include "astinspect.h"
#include "collector_pause.h"
#include "linegrammar_api.h"

#include <string.h>

#include <utility>

// ---------------------------------------------------------------------------------------------
// Parsing.

// The texts the parse submits in place of (or after) the line's own tokens, made once and kept
// for the life of the process.
static PyObject *gPassText, *gNewlineText, *gTildeText, *gSlashText, *gSlashEqualText;
static PyObject *gCreateParserName;   // the attribute, asked for once a line

// ensure_parse_texts --
//   Makes the constant texts on first use. Returns -1 with an error set on failure.
static int ensure_parse_texts() {
  struct {
    PyObject **slot;
    const char *text;
  } texts[] = {{&gPassText, "pass"}, {&gNewlineText, "\n"}, {&gTildeText, "~"},
               {&gSlashText, "/"},   {&gSlashEqualText, "/="},
               {&gCreateParserName, "CreateParser"}};
  for (const auto &t : texts) {
    if (*t.slot) continue;
    *t.slot = PyString_InternFromString(t.text);
    if (!*t.slot) return -1;
  }
  return 0;
}

// Line types that are never parsed: clause headers without a statement of their own.
static bool is_never_parsed(const LogicalLineObject *rec) {
  switch (rec->fLineType) {
    case kLineNeverParsed6:
    case kLineNeverParsed11:
    case kLineNeverParsed12:
    case kLineNeverParsed13:
    case kLineNeverParsed20:
      return true;
    default:
      return false;
  }
}

bool is_counted_line(QuarnelImplObject *self, PyObject *line) {
  const LogicalLineObject *rec = line_record(line);
  if (!(rec->fFlags & kLineParsedFlag) || is_never_parsed(rec)) return false;
  return !self->fParseErrors || !PyDict_GetItem(self->fParseErrors, line);
}

// submitted_text --
//   The text the parser is given for the line's token (borrowed): "//" and "//=" become "/" and
//   "/=" (the grammar has no floor division), an at-sign opening the line becomes "~" so that a
//   decorator parses as an expression. Null when the token is not submitted at all: non-str
//   tokens, comments and the brackets of a from-import.
static PyObject *submitted_text(const LogicalLineObject *rec, PyObject *token, bool first) {
  if (!token || !PyString_Check(token)) return nullptr;
  const char *text = PyString_AS_STRING(token);
  if (text[0] == '#') return nullptr;
  if (rec->fLineType == kLineFromImport && (text[0] == '(' || text[0] == ')')) return nullptr;
  if (text[0] == '/') {
    if (strcmp(text, "//") == 0) return gSlashText;
    if (strcmp(text, "//=") == 0) return gSlashEqualText;
  }
  if (first && PyString_GET_SIZE(token) == 1 && text[0] == '@') return gTildeText;
  return token;
}

// loaded_api --
//   The native line parser's C interface, looked up once, when the first object of a linegrammar
//   type is seen (obj); null until then, and for good when the capsule is missing (the native
//   objects are then called as any other).
static const LineGrammarApi *loaded_api(PyObject *obj) {
  static const LineGrammarApi *api = nullptr;
  static bool looked_up = false;
  if (!api && !looked_up && strncmp(Py_TYPE(obj)->tp_name, "linegrammar.", 12) == 0) {
    looked_up = true;
    api = static_cast<const LineGrammarApi *>(PyCapsule_Import(LINEGRAMMAR_API_CAPSULE, 0));
    if (!api) PyErr_Clear();
  }
  return api;
}

// native_parser_api / native_factory_api --
//   The interface when the object is exactly a linegrammar.LineParser, or ParserFactory (whose
//   methods no Python code can replace), else null.
static const LineGrammarApi *native_parser_api(PyObject *parser) {
  const LineGrammarApi *api = loaded_api(parser);
  return api && Py_TYPE(parser) == api->parser_type ? api : nullptr;
}

static const LineGrammarApi *native_factory_api(PyObject *factory) {
  const LineGrammarApi *api = loaded_api(factory);
  return api && Py_TYPE(factory) == api->factory_type ? api : nullptr;
}

// parse_line_natively --
//   parse_line's token loop for a native parser: the same tokens, positions and closing tokens
//   handed to its C interface. No Python code runs between the tokens, so the record stays put.
//   With a transform, the result is its syntax tree (see LineGrammarApi::finish_transformed).
static PyObject *parse_line_natively(const LineGrammarApi *api, LogicalLineObject *rec,
                                     PyObject *parser, PyObject *transform, PyObject *trees) {
  PyObject *last = nullptr;  // the last submitted text, borrowed from the record or the module
  int first = -1, second = -1;
  for (int32_t i = 0; i < rec->fTokenCount; i++) {
    PyObject *text = submitted_text(rec, rec->fTokens[i], !last);
    if (!text) continue;
    int row = rec->fTokenPositions ? rec->fTokenPositions[2 * i] : 0;
    int column = rec->fTokenPositions ? rec->fTokenPositions[2 * i + 1] : 0;
    if (api->add_token(parser, text, row, column) < 0) return nullptr;
    last = text;
    first = row;
    second = column;
  }
  if (last && PyString_AS_STRING(last)[0] == ':') {
    if (api->add_token(parser, gPassText, first, second) < 0) return nullptr;
  }
  if (api->add_token(parser, gNewlineText, first, second) < 0) return nullptr;
  if (transform) return api->finish_transformed(parser, transform, trees);
  return api->finish(parser);
}

// parse_line --
//   Feeds the line's tokens to a new parser of fGrammar and returns what its Finish returns (a
//   new reference), or None for the line types that are never parsed. Sets the line's fParsed
//   flag first, for every parse. The record is read afresh for every token because the parser
//   runs Python code that may change the line.
//   When `transformed` is not null and both the parser and `transform` are the native ones, the
//   result is the syntax tree instead and *transformed is set (trees: see
//   LineGrammarApi::finish_transformed).
static PyObject *parse_line(QuarnelImplObject *self, PyObject *line, PyObject *transform = nullptr,
                            PyObject *trees = nullptr, bool *transformed = nullptr) {
  if (ensure_parse_texts() < 0) return nullptr;
  if (!self->fGrammar) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  PyRef hold = PyRef::borrow(line);
  LogicalLineObject *rec = line_record(line);
  if (self->fTracer &&
      quarnel_trace(self, "Parsing line starting at lineno %d\n", rec->fLineno) < 0) {
    return nullptr;
  }
  rec->fFlags |= kLineParsedFlag;
  if (is_never_parsed(rec)) Py_RETURN_NONE;

  PyRef grammar = PyRef::borrow(self->fGrammar);
  PyRef create(PyObject_GetAttr(grammar.get(), gCreateParserName));
  if (!create) return nullptr;
  const LineGrammarApi *factory_api = native_factory_api(create.get());
  PyRef parser(factory_api ? factory_api->create_parser(create.get())
                           : PyObject_CallFunction(create.get(), const_cast<char *>("i"), 257));
  if (!parser) return nullptr;
  const LineGrammarApi *api = native_parser_api(parser.get());
  if (api) {
    if (transformed && transform && Py_TYPE(transform) == api->transform_type) {
      *transformed = true;
      return parse_line_natively(api, rec, parser.get(), transform, trees);
    }
    return parse_line_natively(api, rec, parser.get(), nullptr, nullptr);
  }
  PyRef add(PyObject_GetAttrString(parser.get(), "AddToken"));
  if (!add) return nullptr;

  PyRef last;  // the last submitted text
  int first = -1, second = -1;
  for (int32_t i = 0; i < rec->fTokenCount; i++) {
    PyRef text = PyRef::borrow(submitted_text(rec, rec->fTokens[i], !last));
    if (!text) continue;
    int row = rec->fTokenPositions ? rec->fTokenPositions[2 * i] : 0;
    int column = rec->fTokenPositions ? rec->fTokenPositions[2 * i + 1] : 0;
    // Once a token: the arguments made directly (most positions are the interpreter's
    // shared small ints), without a format string to read.
    PyRef row_int(PyInt_FromLong(row)), column_int(PyInt_FromLong(column));
    if (!row_int || !column_int) return nullptr;
    PyRef result(PyObject_CallFunctionObjArgs(add.get(), text.get(), row_int.get(),
                                              column_int.get(), nullptr));
    if (!result) return nullptr;
    last = std::move(text);
    first = row;
    second = column;
  }
  // A header ending in ":" gets a body, so that it parses as a whole statement.
  if (last && PyString_AS_STRING(last.get())[0] == ':') {
    PyRef result(
        PyObject_CallFunction(add.get(), const_cast<char *>("Oii"), gPassText, first, second));
    if (!result) return nullptr;
  }
  PyRef result(
      PyObject_CallFunction(add.get(), const_cast<char *>("Oii"), gNewlineText, first, second));
  if (!result) return nullptr;
  return PyObject_CallMethod(parser.get(), const_cast<char *>("Finish"), const_cast<char *>("ii"),
                             first, second);
}

// line_syntax_tree --
//   The line's syntax tree: the parse tree through fTransformNode. None passes through. trees,
//   when not null, is the dict of syntax trees by text kept across the lines of one analysis.
static PyObject *line_syntax_tree(QuarnelImplObject *self, PyObject *line, PyObject *trees) {
  if (!self->fTransformNode) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  PyRef transform = PyRef::borrow(self->fTransformNode);
  bool transformed = false;
  PyRef tree(parse_line(self, line, transform.get(), trees, &transformed));
  if (!tree || tree.get() == Py_None || transformed) return tree.release();
  return PyObject_CallFunctionObjArgs(transform.get(), tree.get(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Analysis.

// record_parse_error --
//   Takes the pending SyntaxError or ValueError of the line's parse: stores its value in
//   fParseErrors under the line and tells the module analysis about the one added line.
static int record_parse_error(QuarnelImplObject *self, PyObject *line) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  if (!value || !self->fParseErrors || !self->fModAnalysis) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef errors = PyRef::borrow(self->fParseErrors);
  if (PyDict_SetItem(errors.get(), line, value) < 0) return -1;
  PyRef analysis = PyRef::borrow(self->fModAnalysis);
  PyRef result(PyObject_CallMethod(analysis.get(), const_cast<char *>("_ParseErrorsModified"),
                                   const_cast<char *>("(O)()"), line));
  return result ? 0 : -1;
}

int analyze_one(QuarnelImplObject *self, PyObject *line, double end_time,
                PyObject *imports_seen, PyObject *trees) {
  PyRef hold = PyRef::borrow(line);
  LogicalLineObject *rec = line_record(line);
  if (rec->fFlags & kLineParsedFlag) return 0;
  // The lead line being edited is left alone until the user moves on.
  if (rec->fLineType == kLineScopeLead && rec->fLineno <= self->fActiveEditLineno &&
      int64_t(self->fActiveEditLineno) < int64_t(rec->fLineno) + rec->fLineCount) {
    return 0;
  }
  // No walker: a callback took the list away (the walker goes with it), or it never had one.
  if (!self->fWalk) {
    if (require_logical_list(self) == 0) PyErr_BadInternalCall();
    return -1;
  }
  if (self->fTracer &&
      quarnel_trace(self, "Analyzing logical starting at %d\n", rec->fLineno) < 0) {
    return -1;
  }
  PyRef tree(line_syntax_tree(self, line, trees));
  if (!tree) {
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
      return -1;
    }
    return record_parse_error(self, line);
  }
  if (tree.get() == Py_None) return 0;

  if (!self->fWalk || !self->fModAnalysis) {  // the parse's Python code may have destroyed us
    if (require_logical_list(self) == 0) PyErr_BadInternalCall();
    return -1;
  }
  PyRef walk = PyRef::borrow(self->fWalk);
  PyRef end(PyFloat_FromDouble(end_time));
  if (!end) return -1;
  PyRef context(PyTuple_Pack(4, line, self->fModAnalysis, end.get(), imports_seen));
  if (!context) return -1;
  if (astinspect_walk(walk.get(), tree.get(), context.get()) < 0) return -1;
  // The visitors may have re-entered and cleared the line; only a line still parsed counts.
  // A class or def line is in the name map already (see files_names).
  if (rec->fFlags & kLineParsedFlag) {
    self->fParsedCount++;
    if (!is_scope_line(rec) && srcinfo_add_line(&self->fCache, line) < 0) return -1;
  }
  return 0;
}

int analyze_list(QuarnelImplObject *self, PyObject *list, int max_count, double end_time,
                 PyObject *imports_seen) {
  PyRef hold = PyRef::borrow(list);
  if (self->fTracer &&
      quarnel_trace(self, "Analyzing logical list: end_time = %f\n", end_time) < 0) {
    return -1;
  }
  int result = 1;
  int count = 0;
  // Lines of the same text share a syntax tree, the first one's; trees are not changed.
  PyRef trees(PyDict_New());
  // Some ten tuples a token are made and dropped, none in a cycle.
  CollectorPause pause;
  if (!trees) return -1;
  // The list is indexed afresh on every step: the analysis runs Python code that may change it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyRef line = PyRef::borrow(PyList_GET_ITEM(list, i));
    if (!is_logical_line(self, line.get())) {
      PyErr_BadInternalCall();
      return -1;
    }
    if (line_record(line.get())->fFlags & kLineParsedFlag) continue;
    double now = 0;
    if ((max_count >= 0 && count >= max_count) ||
        (end_time > 0 && (now = get_time()) > end_time)) {
      if (self->fTracer &&
          quarnel_trace(self,
                        "Aborting logical analysis: count = %d, max_count = %d, end_time = %f, "
                        "get_time() = %f\n",
                        count, max_count, end_time, get_time()) < 0) {
        return -1;
      }
      return 0;
    }
    if (analyze_one(self, line.get(), end_time, imports_seen, trees.get()) < 0) return -1;
    count++;
    if (!(line_record(line.get())->fFlags & kLineParsedFlag)) result = 0;
  }
  if (self->fTracer && quarnel_trace(self, "Finished analyzing logical list\n") < 0) return -1;
  return result;
}

// token_is / is_string_token --
//   Token tests of the future-import scan; a token that is not a str is neither.
static bool token_is(PyObject *token, const char *text) {
  return token && PyString_Check(token) && strcmp(PyString_AS_STRING(token), text) == 0;
}
static bool is_string_token(PyObject *token) {
  if (!token || !PyString_Check(token)) return false;
  const char *text = PyString_AS_STRING(token);
  for (int prefix = 0; prefix < 3 && *text; prefix++, text++) {
    if (*text == '\'' || *text == '"') return true;
    if (!strchr("uUbBrR", *text)) return false;
  }
  return false;
}

// is_docstring_statement --
//   Whether the line is an expression statement made only of string literals, possibly in
//   brackets: what the compiler takes for the module's documentation string.
static bool is_docstring_statement(const LogicalLineObject *rec) {
  int32_t first = 0, last = rec->fTokenCount;
  while (first < last && token_is(rec->fTokens[first], "(") &&
         token_is(rec->fTokens[last - 1], ")")) {
    first++;
    last--;
  }
  if (first == last) return false;
  for (int32_t i = first; i < last; i++) {
    if (!is_string_token(rec->fTokens[i])) return false;
  }
  return true;
}

// add_future_features --
//   When the line is "from __future__ import ...", stores each imported feature in flags (the
//   name before an "as", in brackets or not) and returns 1; returns 0 for any other line.
static int add_future_features(const LogicalLineObject *rec, PyObject *flags) {
  if (rec->fLineType != kLineFromImport || rec->fTokenCount < 4) return 0;
  // The module name and the keyword of a from-import must be strs (TypeError otherwise).
  for (int32_t i = 1; i < 3; i++) {
    if (!rec->fTokens[i]) return 0;
    if (!PyString_AsString(rec->fTokens[i])) return -1;
  }
  if (!token_is(rec->fTokens[0], "from") || !token_is(rec->fTokens[1], "__future__") ||
      !token_is(rec->fTokens[2], "import")) {
    return 0;
  }
  // The features are collected before they are stored, so that the record is read only
  // while no other code runs.
  PyRef features(PyList_New(0));
  if (!features) return -1;
  bool expect_feature = true;
  for (int32_t i = 3; i < rec->fTokenCount; i++) {
    PyObject *token = rec->fTokens[i];
    if (!token || !PyString_Check(token)) continue;
    const char *text = PyString_AS_STRING(token);
    if (text[0] == '#' || strcmp(text, "(") == 0 || strcmp(text, ")") == 0) continue;
    if (strcmp(text, ",") == 0) {
      expect_feature = true;
    } else if (strcmp(text, "as") == 0) {
      i++;  // the alias
    } else if (expect_feature) {
      if (PyList_Append(features.get(), token) < 0) return -1;
      expect_feature = false;
    }
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(features.get()); i++) {
    if (PyDict_SetItem(flags, PyList_GET_ITEM(features.get(), i), Py_True) < 0) return -1;
  }
  return 1;
}

int rescan_future_flags(QuarnelImplObject *self, bool from_import_changed) {
  if (require_logical_list(self) < 0) return -1;
  if (!self->fFromFutureFlags || !self->fModAnalysis) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef flags = PyRef::borrow(self->fFromFutureFlags);
  PyRef list = PyRef::borrow(self->fLogicalList);
  PyRef found(PyDict_New());
  if (!found) return -1;
  // As the compiler counts them: the future imports that open the module, where only the
  // documentation string (once), comments and blank lines may come between; every feature of
  // every such statement. The first other statement ends the scan.
  bool docstring_seen = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
    PyObject *item = PyList_GET_ITEM(list.get(), i);
    if (!is_logical_line(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Each element of the logical_list must be a logical line");
      return -1;
    }
    const LogicalLineObject *rec = line_record(item);
    if (is_ignored_line(rec)) continue;
    if (rec->fIndent != 0) break;
    int future = add_future_features(rec, found.get());
    if (future < 0) return -1;
    if (future) continue;
    if (docstring_seen || !is_docstring_statement(rec)) break;
    docstring_seen = true;
  }
  bool was_set = PyDict_Size(flags.get()) > 0;
  int same = PyObject_RichCompareBool(flags.get(), found.get(), Py_EQ);
  if (same < 0) return -1;
  if (!same) {
    PyDict_Clear(flags.get());
    if (PyDict_Update(flags.get(), found.get()) < 0) return -1;
  }
  // A change of the features is told; so is every rescan that a future import's arrival or
  // departure caused, or a rebuild, while there are or were features.
  bool tell = !same || (from_import_changed && (was_set || PyDict_Size(flags.get()) > 0));
  if (!tell) return 0;
  PyRef analysis = PyRef::borrow(self->fModAnalysis);
  PyRef result(PyObject_CallMethod(analysis.get(), const_cast<char *>("_FromFutureFlagsChanged"),
                                   nullptr));
  return result ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Methods.

int logical_line_arg(QuarnelImplObject *self, PyObject *obj, const char *message) {
  if (is_logical_line(self, obj)) return 0;
  PyErr_SetString(PyExc_TypeError, message);
  return -1;
}

int end_time_arg(PyObject *obj, double *end_time) {
  if (!obj || obj == Py_None) {
    *end_time = get_time() + 0.1;
    return 0;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_SetString(PyExc_TypeError, "end_time must be a float or None");
    return -1;
  }
  *end_time = value;
  return 0;
}

// ParseLogicalLine(line) --
//   The line's parse tree, or None.
PyObject *QuarnelImpl_ParseLogicalLine(QuarnelImplObject *self, PyObject *args) {
  PyObject *line;
  if (!PyArg_ParseTuple(args, "O:ParseLogicalLine", &line)) return nullptr;
  if (logical_line_arg(self, line, "Line to parse must be a logical line.") < 0) return nullptr;
  return parse_line(self, line);
}

// AstForLogicalLine(line) --
//   The line's syntax tree, or None.
PyObject *QuarnelImpl_AstForLogicalLine(QuarnelImplObject *self, PyObject *args) {
  PyObject *line;
  if (!PyArg_ParseTuple(args, "O:AstForLogicalLine", &line)) return nullptr;
  if (logical_line_arg(self, line, "Argument must be a logical line.") < 0) return nullptr;
  return line_syntax_tree(self, line, nullptr);
}

// AnalyzeLogical(line, end_time=None) --
//   Analyzes one line. Only the visitors see end_time; the line is analyzed whole.
PyObject *QuarnelImpl_AnalyzeLogical(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *line, *end_obj = nullptr;
  if (!PyArg_ParseTuple(args, "O|O:AnalyzeLogical", &line, &end_obj)) return nullptr;
  if (logical_line_arg(self, line, "Argument must be a logical line.") < 0) return nullptr;
  double end_time;
  if (end_time_arg(end_obj, &end_time) < 0) return nullptr;
  PyRef imports_seen(PyDict_New());
  if (!imports_seen) return nullptr;
  if (analyze_one(self, line, end_time, imports_seen.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// AnalyzeLogicalList(logical_list, max_count=-1, end_time=None) --
//   Analyzes the unanalyzed lines of the list within the budgets; True when all are analyzed.
PyObject *QuarnelImpl_AnalyzeLogicalList(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *list, *end_obj = nullptr;
  int max_count = -1;
  if (!PyArg_ParseTuple(args, "O!|iO:AnalyzeLogicalList", &PyList_Type, &list, &max_count,
                        &end_obj)) {
    return nullptr;
  }
  double end_time;
  if (end_time_arg(end_obj, &end_time) < 0) return nullptr;
  PyRef imports_seen(PyDict_New());
  if (!imports_seen) return nullptr;
  int done = analyze_list(self, list, max_count, end_time, imports_seen.get());
  if (done < 0) return nullptr;
  return PyBool_FromLong(done);
}

// ClearAnalysis(line) --
//   Forgets the line's analysis: its names leave the name map, its scope's attribute list is
//   dropped and the line's recorded names and equivalences are cleared, so the line is analyzed
//   again on next need. Its parse error, if any, stays recorded.
PyObject *QuarnelImpl_ClearAnalysis(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *line;
  if (self->fBinding.fLineType) {
    if (!PyArg_ParseTuple(args, "O!:ClearAnalysis",
                          reinterpret_cast<PyTypeObject *>(self->fBinding.fLineType), &line)) {
      return nullptr;
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "ClearAnalysis() argument 1 must be a logical line");
    return nullptr;
  }
  PyRef hold = PyRef::borrow(line);
  LogicalLineObject *rec = line_record(line);
  if (!(rec->fFlags & kLineParsedFlag)) Py_RETURN_NONE;
  if (is_counted_line(self, line)) self->fParsedCount--;
  rec->fFlags &= ~kLineParsedFlag;
  if (!is_scope_line(rec) && srcinfo_remove_line(&self->fCache, line) < 0) return nullptr;
  PyRef scope(scope_name(self, line));
  if (!scope) return nullptr;
  srcinfo_clear_attribs(&self->fCache, scope.get());
  auto clear = reinterpret_cast<tClearLineAnalysisFunc>(
      self->fBinding.fTable.entries[kClearLineAnalysisEntry]);
  if (clear && clear(line) != 0) return nullptr;
  Py_RETURN_NONE;
}
