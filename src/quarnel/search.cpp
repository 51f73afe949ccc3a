// The attribute search: SearchForAttribs finds the names a module defines, optionally in one
// scope, matching a name pattern, of chosen kinds, and returns them as attribute reference
// objects made by the environment's factory. Exact names are looked up through the name map of
// the source info cache, scope listings are served from per-scope attribute lists once a whole
// scan has built them, and only wildcard scopes or find_all requests scan lines.
#include "search.h"

#include <string.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "lineanalysis.h"

const char kSearchForAttribsDoc[] = "Search for attributes defined in module. ";

namespace {

// A name pattern: "*" alone, an exact text, or a text with one "*" (only the first counts)
// standing for any run of characters.
struct tPattern {
  const char *text = "*";
  Py_ssize_t size = 1;
  Py_ssize_t star = 0;  // index of the first "*", or -1

  void set(PyObject *str) {
    text = PyString_AS_STRING(str);
    size = PyString_GET_SIZE(str);
    const char *found = static_cast<const char *>(memchr(text, '*', size_t(size)));
    star = found ? found - text : -1;
  }
  bool has_star() const { return star >= 0; }

  // Whether `obj` matches: a str equal to an exact pattern, or one that starts with the part
  // before the "*", ends with the part after it and is at least as long as both together.
  bool matches(PyObject *obj) const {
    if (!obj || !PyString_Check(obj)) return false;
    const char *name = PyString_AS_STRING(obj);
    Py_ssize_t length = PyString_GET_SIZE(obj);
    if (star < 0) return length == size && memcmp(name, text, size_t(size)) == 0;
    if (size == 1) return true;
    Py_ssize_t tail = size - star - 1;
    return length >= star + tail && memcmp(name, text, size_t(star)) == 0 &&
           memcmp(name + length - tail, text + star + 1, size_t(tail)) == 0;
  }
};

// The kind flags of a request, in the order generic, imported, class, function.
enum { kGenericFlag, kImportedFlag, kClassFlag, kFunctionFlag, kFlagCount };

// One search: the options of a SearchForAttribs call, or those of a cached attribute list
// being built.
struct tSearchRequest {
  QuarnelImplObject *self;
  PyRef scope_str;  // scope_spec and name_spec as str objects (the patterns point into them)
  PyRef name_str;
  tPattern scope_spec;
  tPattern name_spec;
  bool kinds[kFlagCount] = {true, true, true, true};
  bool update = true;
  bool find_all = true;
  bool simple_names_valid = true;
  bool dotted_names_valid = true;
  PyRef seen;  // scope name -> {name: True} of the names reported
  double end_time = -1.0;
  PyRef imports_seen;
  bool complete = true;

  // The kind values, by flag, held for the request: the factory and the attribute objects run
  // Python code that may tear the analyzer down.
  PyRef kind_values[kFlagCount];

  explicit tSearchRequest(QuarnelImplObject *analyzer) : self(analyzer) {}

  // Makes the fresh dicts and takes the kind values. Returns -1 with an error set on failure.
  int init() {
    const tLogicalLineBinding &binding = self->fBinding;
    PyObject *values[kFlagCount] = {binding.kGenericAttribKind, binding.kImportedAttribKind,
                                    binding.kClassAttribKind, binding.kFunctionAttribKind};
    for (int flag = 0; flag < kFlagCount; flag++) {
      if (!values[flag]) {
        PyErr_BadInternalCall();
        return -1;
      }
      kind_values[flag] = PyRef::borrow(values[flag]);
    }
    seen.reset(PyDict_New());
    imports_seen.reset(PyDict_New());
    return seen && imports_seen ? 0 : -1;
  }

  bool all_kinds() const {
    return kinds[kGenericFlag] && kinds[kImportedFlag] && kinds[kClassFlag] &&
           kinds[kFunctionFlag];
  }
  bool out_of_time() const { return end_time > 0 && get_time() > end_time; }

  // Whether definitions of the line's kind are wanted.
  bool wants_line(const LogicalLineObject *rec) const {
    switch (rec->fLineType) {
      case kLineClass: return kinds[kClassFlag];
      case kLineDef: return kinds[kFunctionFlag];
      case kLineImport:
      case kLineFromImport: return kinds[kImportedFlag];
      default: return kinds[kGenericFlag];
    }
  }

  // The "." rule: dotted names need dotted_names_valid, the others simple_names_valid.
  bool dot_rule(PyObject *name) const {
    bool dotted = memchr(PyString_AS_STRING(name), '.', size_t(PyString_GET_SIZE(name))) != nullptr;
    return dotted ? dotted_names_valid : simple_names_valid;
  }
  bool name_ok(PyObject *name) const {
    return PyString_Check(name) && dot_rule(name) && name_spec.matches(name);
  }
};

// The scope stack of a scan: (full name, indentation) entries, the first ten held inline and
// the rest in a heap block grown one entry at a time. The bottom entry is never popped.
class tScopeStack {
 public:
  ~tScopeStack() {
    while (depth_ > 0) pop_entry();
    PyMem_Free(extra_);
  }
  int push(PyObject *name, int level) {
    if (depth_ >= kInline + extra_capacity_) {
      void *grown = PyMem_Realloc(extra_, sizeof(tEntry) * size_t(extra_capacity_ + 1));
      if (!grown) {
        PyErr_NoMemory();
        return -1;
      }
      extra_ = static_cast<tEntry *>(grown);
      extra_capacity_++;
    }
    Py_INCREF(name);
    at(depth_++) = tEntry{name, level};
    return 0;
  }
  // Pops the entries whose level is at least `indent`. Reaching the bottom is an internal error.
  int pop_to(int indent) {
    while (at(depth_ - 1).level >= indent) {
      if (depth_ == 1) {
        PyErr_BadInternalCall();
        return -1;
      }
      pop_entry();
    }
    return 0;
  }
  PyObject *top_name() { return at(depth_ - 1).name; }

 private:
  struct tEntry {
    PyObject *name;
    int level;
  };
  static constexpr int kInline = 10;
  tEntry &at(int i) { return i < kInline ? inline_[i] : extra_[i - kInline]; }
  void pop_entry() {
    PyObject *name = at(--depth_).name;
    Py_DECREF(name);
  }
  tEntry inline_[kInline];
  tEntry *extra_ = nullptr;
  int extra_capacity_ = 0;
  int depth_ = 0;
};

// truth_option --
//   Reads options[key] by truth into *flag when present. -1 with an error set on failure.
int truth_option(PyObject *options, const char *key, bool *flag) {
  PyRef value = PyRef::borrow(PyDict_GetItemString(options, key));
  if (!value) return 0;
  int truth = PyObject_IsTrue(value.get());
  if (truth < 0) return -1;
  *flag = truth != 0;
  return 0;
}

// str_option --
//   Reads options[key] as a str into *out (an exact str copy when given a subclass), else
//   TypeError `message`.
int str_option(PyObject *options, const char *key, const char *message, PyRef *out) {
  PyObject *value = PyDict_GetItemString(options, key);
  if (!value) return 0;
  if (!PyString_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  if (PyString_CheckExact(value)) {
    out->reset(PyRef::borrow(value).release());
  } else {
    out->reset(PyString_FromStringAndSize(PyString_AS_STRING(value), PyString_GET_SIZE(value)));
  }
  return *out ? 0 : -1;
}

// read_options --
//   Fills a fresh request from the SearchForAttribs options dict.
int read_options(tSearchRequest &request, PyObject *options_obj) {
  PyRef options = PyRef::borrow(options_obj);
  PyObject *dict = options.get();
  if (truth_option(dict, "update", &request.update) < 0 ||
      truth_option(dict, "find_all", &request.find_all) < 0 ||
      truth_option(dict, "simple_names_valid", &request.simple_names_valid) < 0 ||
      truth_option(dict, "dotted_names_valid", &request.dotted_names_valid) < 0) {
    return -1;
  }
  PyObject *end = PyDict_GetItemString(dict, "end_time");
  if (end && PyFloat_Check(end)) {
    double value = PyFloat_AsDouble(end);
    if (value == -1.0 && PyErr_Occurred()) return -1;
    request.end_time = value;
  }
  if (str_option(dict, "scope_name", "scope_name must be a string", &request.scope_str) < 0 ||
      str_option(dict, "local_name", "local_name must be a string", &request.name_str) < 0) {
    return -1;
  }
  PyRef kinds = PyRef::borrow(PyDict_GetItemString(dict, "valid_kinds"));
  if (kinds) {
    for (int flag : {kClassFlag, kFunctionFlag, kGenericFlag, kImportedFlag}) {
      int found = PySequence_Contains(kinds.get(), request.kind_values[flag].get());
      if (found < 0) return -1;
      request.kinds[flag] = found != 0;
    }
  }
  PyObject *imports_seen = PyDict_GetItemString(dict, "imports_seen");
  if (imports_seen && imports_seen != Py_None) {
    if (!PyDict_Check(imports_seen)) {
      PyErr_SetString(PyExc_TypeError, "imports_seen must be a dict instance or None");
      return -1;
    }
    request.imports_seen.reset(PyRef::borrow(imports_seen).release());
  }
  return 0;
}

// set_specs --
//   Default "*" patterns where no str was given, and the patterns pointed at the strs.
int set_specs(tSearchRequest &request) {
  for (PyRef *pattern : {&request.scope_str, &request.name_str}) {
    if (!*pattern) pattern->reset(PyString_FromString("*"));
    if (!*pattern) return -1;
  }
  request.scope_spec.set(request.scope_str.get());
  request.name_spec.set(request.name_str.get());
  return 0;
}

// append_attrib --
//   Reports one definition (unless find_all is clear and the scope already reported the name):
//   fAttribRefFactory(kind, name, full name, fModAnalysis, line, extra) is appended to result.
int append_attrib(tSearchRequest &request, PyObject *scope, PyObject *kind, PyObject *name,
                  PyObject *line, PyObject *extra, PyObject *result) {
  QuarnelImplObject *self = request.self;
  if (self->fTracer) {
    PyRef text(PyObject_Repr(name));
    if (!text || quarnel_trace(self, "Trying to append %s\n", PyString_AS_STRING(text.get())) < 0) {
      return -1;
    }
  }
  if (!request.find_all) {
    PyRef names = PyRef::borrow(PyDict_GetItem(request.seen.get(), scope));
    if (names) {
      if (PyDict_GetItem(names.get(), name)) return 0;
    } else {
      names.reset(PyDict_New());
      if (!names || PyDict_SetItem(request.seen.get(), scope, names.get()) < 0) return -1;
    }
    if (PyDict_SetItem(names.get(), name, Py_True) < 0) return -1;
  }
  if (self->fTracer && quarnel_trace_pieces(self, "Creating attrib ref instance") < 0) return -1;
  if (!self->fAttribRefFactory || !self->fModAnalysis) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef full(join_full_name(self, scope, name));
  if (!full) return -1;
  PyRef factory = PyRef::borrow(self->fAttribRefFactory);
  PyRef ref(PyObject_CallFunctionObjArgs(factory.get(), kind, name, full.get(),
                                         self->fModAnalysis, line, extra, nullptr));
  if (!ref) return -1;
  return PyList_Append(result, ref.get());
}

// match_line --
//   The per-line matcher: when the scope name matches scope_spec and the line's kind is wanted,
//   reports each definition of the line whose name passes the name check.
int match_line(tSearchRequest &request, PyObject *line, PyObject *scope, PyObject *result) {
  PyRef hold = PyRef::borrow(line);
  LogicalLineObject *rec = line_record(line);
  if (!request.scope_spec.matches(scope) || !request.wants_line(rec)) return 0;
  if (is_scope_line(rec)) {
    PyRef name = PyRef::borrow(scope_name_token(rec));
    if (!name || !request.name_ok(name.get())) return 0;
    PyObject *kind = request.kind_values[rec->fLineType == kLineClass ? kClassFlag
                                                                       : kFunctionFlag].get();
    return append_attrib(request, scope, kind, name.get(), line, Py_None, result);
  }
  bool imported = rec->fLineType == kLineImport || rec->fLineType == kLineFromImport;
  PyObject *kind = request.kind_values[imported ? kImportedFlag : kGenericFlag].get();
  // The record is read afresh for every entry: the factory runs Python code that may change it.
  for (uint32_t i = 0; i < rec->fNameCount; i++) {
    PyRef entry = PyRef::borrow(rec->fNames[i]);
    PyObject *name = entry.get();
    PyObject *extra = Py_None;
    if (imported) {
      if (!PyTuple_Check(name) || PyTuple_GET_SIZE(name) == 0) continue;
      extra = entry.get();
      name = PyTuple_GET_ITEM(entry.get(), 0);
    } else if (!PyString_Check(name)) {
      continue;
    }
    if (!request.name_ok(name)) continue;
    if (append_attrib(request, scope, kind, name, line, extra, result) < 0) return -1;
  }
  return 0;
}

// item_line --
//   Item i of a list of logical lines (borrowed), or null with the internal-call error when it
//   is not a logical line.
PyObject *item_line(QuarnelImplObject *self, PyObject *list, Py_ssize_t i) {
  PyObject *item = PyList_GET_ITEM(list, i);
  if (is_logical_line(self, item)) return item;
  PyErr_BadInternalCall();
  return nullptr;
}

// scope_lines --
//   The whole logical list when `whole`, else the body of the request's scope. Null without an
//   error when the scope is not defined (the KeyError is cleared).
PyRef scope_lines(tSearchRequest &request, bool whole) {
  if (whole) {
    // UpdateFromCache, run before, may have taken the list away.
    if (require_logical_list(request.self) < 0) return PyRef();
    return PyRef::borrow(request.self->fLogicalList);
  }
  PyRef body(scope_body(request.self, request.scope_str.get()));
  if (!body && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
  return body;
}

// update_phase --
//   Analyzes the unanalyzed lines of the searched scope (the whole list for "*") whose kind is
//   wanted, until the time runs out.
int update_phase(tSearchRequest &request) {
  QuarnelImplObject *self = request.self;
  bool whole = strcmp(PyString_AS_STRING(request.scope_str.get()), "*") == 0 &&
               PyString_GET_SIZE(request.scope_str.get()) == 1;
  PyRef lines = scope_lines(request, whole);
  if (!lines) return PyErr_Occurred() ? -1 : 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); i++) {
    if (request.out_of_time()) return 0;
    PyRef line = PyRef::borrow(item_line(self, lines.get(), i));
    if (!line) return -1;
    LogicalLineObject *rec = line_record(line.get());
    if ((rec->fFlags & kLineParsedFlag) || !request.wants_line(rec)) continue;
    if (analyze_one(self, line.get(), request.end_time, request.imports_seen.get()) < 0) return -1;
    if (!(rec->fFlags & kLineParsedFlag)) request.complete = false;
  }
  return 0;
}

// scan_scope --
//   Mode 0: scans the lines of the searched scope (the whole list when scope_spec holds a "*")
//   with a scope stack, so each line is matched in its own scope. A scan stopped by the time
//   limit did not see every line: it clears complete, so that its result is never stored as a
//   scope's whole attribute list.
int scan_scope(tSearchRequest &request, PyObject *result) {
  QuarnelImplObject *self = request.self;
  bool whole = request.scope_spec.has_star();
  PyRef lines = scope_lines(request, whole);
  if (!lines) return PyErr_Occurred() ? -1 : 0;
  if (request.update && (request.kinds[kGenericFlag] || request.kinds[kImportedFlag])) {
    if (self->fTracer &&
        quarnel_trace_pieces(self, "Analyzing logicals in ", self->fModAnalysis) < 0) {
      return -1;
    }
    int done = analyze_list(self, lines.get(), -1, request.end_time, request.imports_seen.get());
    if (done < 0) return -1;
    if (done == 0) request.complete = false;
  }
  PyRef start(whole ? module_scope_name(self) : PyRef::borrow(request.scope_str.get()).release());
  if (!start) return -1;
  tScopeStack stack;
  if (stack.push(start.get(), -2) < 0) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); i++) {
    if (request.out_of_time()) {
      request.complete = false;
      return 0;
    }
    PyRef line = PyRef::borrow(item_line(self, lines.get(), i));
    if (!line) return -1;
    const LogicalLineObject *rec = line_record(line.get());
    if (is_ignored_line(rec)) continue;
    if (stack.pop_to(rec->fIndent) < 0) return -1;
    PyRef scope = PyRef::borrow(stack.top_name());
    if (match_line(request, line.get(), scope.get(), result) < 0) return -1;
    rec = line_record(line.get());
    PyObject *own = is_scope_line(rec) ? scope_name_token(rec) : nullptr;
    if (own && PyString_Check(own)) {
      PyRef full(join_full_name(self, scope.get(), own));
      if (!full || stack.push(full.get(), rec->fIndent) < 0) return -1;
    }
  }
  return 0;
}

// definitions_in_order --
//   The lines of the name map's list that are in the logical list, each once, in list order (a
//   new list): the answer must not depend on the order in which edits and analysis filed the
//   lines, and a line filed under the name for two of its entries is reported once.
PyRef definitions_in_order(QuarnelImplObject *self, PyObject *lines) {
  if (require_logical_list(self) < 0) return PyRef();
  struct tPlaced {
    Py_ssize_t at;
    PyObject *line;  // borrowed from `lines`; no Python code runs before it is taken
  };
  Py_ssize_t size = PyList_GET_SIZE(lines);
  std::unique_ptr<tPlaced, void (*)(void *)> placed(PyMem_New(tPlaced, size_t(size) + 1),
                                                     PyMem_Free);
  if (!placed) {
    PyErr_NoMemory();
    return PyRef();
  }
  tPlaced *begin = placed.get(), *end = begin;
  for (Py_ssize_t i = 0; i < size; i++) {
    PyObject *line = item_line(self, lines, i);
    if (!line) return PyRef();
    Py_ssize_t at = locate_line(self, line);
    if (at >= 0) *end++ = tPlaced{at, line};
  }
  std::sort(begin, end, [](const tPlaced &a, const tPlaced &b) { return a.at < b.at; });
  end = std::unique(begin, end, [](const tPlaced &a, const tPlaced &b) { return a.at == b.at; });
  PyRef ordered(PyList_New(end - begin));
  if (!ordered) return PyRef();
  for (tPlaced *p = begin; p != end; p++) {
    Py_INCREF(p->line);
    PyList_SET_ITEM(ordered.get(), p - begin, p->line);
  }
  return ordered;
}

// lookup_definition --
//   Mode 1: the lines the name map lists for the exact name, in list order, each matched in its
//   own scope; the first line that reports something ends the lookup unless find_all is set.
int lookup_definition(tSearchRequest &request, PyObject *result) {
  QuarnelImplObject *self = request.self;
  PyRef filed(srcinfo_defining_lines(&self->fCache, request.name_str.get()));
  if (!filed) return PyErr_Occurred() ? -1 : 0;
  if (!PyList_Check(filed.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef lines = definitions_in_order(self, filed.get());
  if (!lines) return -1;
  if (self->fTracer && quarnel_trace_pieces(self, "Found defn list in cache") < 0) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); i++) {
    if (request.out_of_time()) {
      if (self->fTracer &&
          quarnel_trace_pieces(self, "Out of time while searching for", request.name_str.get()) <
              0) {
        return -1;
      }
      return 0;
    }
    PyRef line = PyRef::borrow(item_line(self, lines.get(), i));
    if (!line) return -1;
    PyRef scope(scope_name(self, line.get()));
    if (!scope || match_line(request, line.get(), scope.get(), result) < 0) return -1;
    if (!request.find_all && PyList_GET_SIZE(result) > 0) return 0;
  }
  return 0;
}

// cached_attribs --
//   The attribute list of the request's scope: the one stored in the source info cache, else a
//   fresh find-all-free scan of the scope with every kind, stored when the scan was complete.
PyRef cached_attribs(tSearchRequest &request) {
  QuarnelImplObject *self = request.self;
  PyObject *scope = request.scope_str.get();
  PyRef list(srcinfo_get_attribs(&self->fCache, scope));
  if (list) {
    if (self->fTracer && quarnel_trace_pieces(self, "Using cached attribute list for", scope) < 0) {
      return PyRef();
    }
    return list;
  }
  if (PyErr_Occurred()) return PyRef();
  if (self->fTracer && quarnel_trace_pieces(self, "Creating attribute list for ", scope) < 0) {
    return PyRef();
  }
  PyRef def(scope_def(self, scope));
  if (!def) return PyRef();
  tSearchRequest build(self);
  if (build.init() < 0) return PyRef();
  build.scope_str.reset(PyRef::borrow(scope).release());
  build.find_all = false;
  build.end_time = request.end_time;
  if (set_specs(build) < 0) return PyRef();
  list.reset(PyList_New(0));
  if (!list || scan_scope(build, list.get()) < 0) return PyRef();
  if (build.complete && srcinfo_set_attribs(&self->fCache, scope, def.get(), list.get()) < 0) {
    return PyRef();
  }
  return list;
}

// str_attribute --
//   attrib.<name> as a str (new reference), else TypeError ".<name> is not a str instance".
PyRef str_attribute(PyObject *attrib, const char *name) {
  PyRef value(PyObject_GetAttrString(attrib, name));
  if (value && !PyString_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, ".%s is not a str instance", name);
    value.reset();
  }
  return value;
}

// list_scope --
//   Mode 2: the scope's cached attribute list, filtered by the kind flags and the "." rule (the
//   name pattern is not applied).
int list_scope(tSearchRequest &request, PyObject *result) {
  PyRef list = cached_attribs(request);
  if (!list) return -1;
  if (!PyList_Check(list.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
    PyRef attrib = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    if (!request.all_kinds()) {
      PyRef kind = str_attribute(attrib.get(), "fKind");
      if (!kind) return -1;
      bool wanted = false;
      for (int flag = 0; flag < kFlagCount; flag++) {
        if (!request.kinds[flag]) continue;
        int equal = PyObject_RichCompareBool(kind.get(), request.kind_values[flag].get(), Py_EQ);
        if (equal < 0) return -1;
        if (equal) {
          wanted = true;
          break;
        }
      }
      if (!wanted) continue;
    }
    if (!request.simple_names_valid || !request.dotted_names_valid) {
      PyRef name = str_attribute(attrib.get(), "fLocalName");
      if (!name) return -1;
      if (!request.dot_rule(name.get())) continue;
    }
    if (PyList_Append(result, attrib.get()) < 0) return -1;
  }
  return 0;
}

// run_search --
//   The search driver after the options are read.
int run_search(tSearchRequest &request, PyObject *result) {
  QuarnelImplObject *self = request.self;
  if (self->fTracer &&
      quarnel_trace(self, "Searching: name_spec = '%s', scope_spec = '%s', end_time = %f\n",
                    PyString_AS_STRING(request.name_str.get()),
                    PyString_AS_STRING(request.scope_str.get()), request.end_time) < 0) {
    return -1;
  }
  if (request.update) {
    if (self->fCacheNeedsUpdate) {
      if (!self->fModAnalysis) {
        PyErr_BadInternalCall();
        return -1;
      }
      PyRef analysis = PyRef::borrow(self->fModAnalysis);
      PyRef done(PyObject_CallMethod(analysis.get(), const_cast<char *>("UpdateFromCache"),
                                     nullptr));
      if (!done) return -1;
      self->fCacheNeedsUpdate = 0;
    }
    if (update_phase(request) < 0) return -1;
  }
  int status;
  if (!request.name_spec.has_star()) {
    status = lookup_definition(request, result);
  } else if (request.scope_spec.has_star() || request.find_all) {
    status = scan_scope(request, result);
  } else {
    status = list_scope(request, result);
  }
  if (status < 0) return -1;
  if (self->fTracer && quarnel_trace_pieces(self, "Done with search") < 0) return -1;
  return 0;
}

}  // namespace

// SearchForAttribs(options) --
//   The definitions of the module that the options ask for, as a new list of attribute
//   reference objects.
PyObject *QuarnelImpl_SearchForAttribs(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *options;
  if (!PyArg_ParseTuple(args, "O!:SearchForAttribs", &PyDict_Type, &options)) return nullptr;
  if (require_logical_list(self) < 0) return nullptr;
  tSearchRequest request(self);
  if (request.init() < 0) return nullptr;
  if (read_options(request, options) < 0 || set_specs(request) < 0) return nullptr;
  PyRef result(PyList_New(0));
  if (!result || run_search(request, result.get()) < 0) return nullptr;
  return result.release();
}
