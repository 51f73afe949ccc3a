// The block structure of a module, derived from the indentation of its logical lines alone: the
// class or def line enclosing a line, the dotted full names of classes and defs, the bodies of
// scopes, and the incremental update of the caches (the lines' fScopeName, the source info
// cache) when the environment's logical cache reports removed and added lines.
#include "lineanalysis.h"

#include <stdint.h>
#include <string.h>

#include <string>

// ---------------------------------------------------------------------------------------------
// Helpers.

// index_of --
//   Index of obj (by identity) in list, or -1.
static Py_ssize_t index_of(PyObject *list, PyObject *obj) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    if (PyList_GET_ITEM(list, i) == obj) return i;
  }
  return -1;
}

// locate_line --
//   Index of `line` (by identity) in the logical list, or -1. The list is ordered by fLineno, so
//   the line is looked for first among the lines that start on its line number; a list out of
//   order is scanned.
Py_ssize_t locate_line(QuarnelImplObject *self, PyObject *line) {
  PyObject *list = self->fLogicalList;
  int lineno = line_record(line)->fLineno;
  Py_ssize_t lo = 0, hi = PyList_GET_SIZE(list);
  while (lo < hi) {
    Py_ssize_t mid = lo + (hi - lo) / 2;
    PyObject *item = PyList_GET_ITEM(list, mid);
    if (!is_logical_line(self, item)) return index_of(list, line);
    if (line_record(item)->fLineno < lineno) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  for (Py_ssize_t i = lo; i < PyList_GET_SIZE(list); i++) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (item == line) return i;
    if (!is_logical_line(self, item) || line_record(item)->fLineno != lineno) break;
  }
  return index_of(list, line);
}

// The module scope's name as the lines cache it: one empty str, made once.
static PyObject *gEmptyName;

static PyObject *empty_name() {
  if (!gEmptyName) gEmptyName = PyString_FromString("");
  Py_XINCREF(gEmptyName);
  return gEmptyName;
}

PyObject *module_scope_name(QuarnelImplObject *self) {
  PyRef empty(empty_name());
  if (!empty) return nullptr;
  return quarnel_intern(self, empty.get());
}

PyObject *join_full_name(QuarnelImplObject *self, PyObject *parent, PyObject *own) {
  if (!own || (PyString_Check(own) && PyString_GET_SIZE(own) == 0)) {
    Py_INCREF(parent);
    return parent;
  }
  if (!PyString_Check(parent) || !PyString_Check(own)) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  if (PyString_GET_SIZE(parent) == 0) {
    Py_INCREF(own);
    return own;
  }
  std::string text(PyString_AS_STRING(parent), size_t(PyString_GET_SIZE(parent)));
  text += '.';
  text.append(PyString_AS_STRING(own), size_t(PyString_GET_SIZE(own)));
  return quarnel_intern_string(self, text.data(), Py_ssize_t(text.size()));
}

// starts_with --
//   Whether the str `name` starts with the text of the str `prefix`, optionally followed by ".".
static bool starts_with(PyObject *name, PyObject *prefix, bool dotted) {
  Py_ssize_t size = PyString_GET_SIZE(prefix);
  if (PyString_GET_SIZE(name) < size + (dotted ? 1 : 0)) return false;
  const char *text = PyString_AS_STRING(name);
  if (memcmp(text, PyString_AS_STRING(prefix), size_t(size)) != 0) return false;
  return !dotted || text[size] == '.';
}

static bool same_text(PyObject *a, PyObject *b) {
  return PyString_Check(a) && PyString_Check(b) && PyString_GET_SIZE(a) == PyString_GET_SIZE(b) &&
         memcmp(PyString_AS_STRING(a), PyString_AS_STRING(b), size_t(PyString_GET_SIZE(a))) == 0;
}

// ---------------------------------------------------------------------------------------------
// Lookups.

PyObject *find_scope(QuarnelImplObject *self, PyObject *line) {
  if (require_logical_list(self) < 0) return nullptr;
  PyObject *list = self->fLogicalList;
  Py_ssize_t i = locate_line(self, line);
  if (i < 0) {
    PyErr_SetString(PyExc_ValueError, "FindScopeForLine requires logical to be in the logical list");
    return nullptr;
  }
  const char *not_line = "Every element of logical list must be a logical line";
  // Comment and blank lines belong where the line before them belongs.
  const LogicalLineObject *rec = line_record(line);
  while (is_ignored_line(rec) && i > 0) {
    PyObject *item = PyList_GET_ITEM(list, --i);
    if (!is_logical_line(self, item)) {
      PyErr_SetString(PyExc_TypeError, not_line);
      return nullptr;
    }
    rec = line_record(item);
  }
  int ref = rec->fIndent;
  // Walk back to the nearest line indented less; a class or def line there is the scope, any
  // other line lowers the indentation looked for.
  for (Py_ssize_t j = i - 1; j >= 0 && ref != 0; j--) {
    PyObject *item = PyList_GET_ITEM(list, j);
    if (!is_logical_line(self, item)) {
      PyErr_SetString(PyExc_TypeError, not_line);
      return nullptr;
    }
    const LogicalLineObject *prev = line_record(item);
    if (is_ignored_line(prev) || prev->fIndent >= ref) continue;
    if (is_scope_line(prev)) {
      Py_INCREF(item);
      return item;
    }
    ref = prev->fIndent;
  }
  Py_RETURN_NONE;
}

// set_scope_name --
//   Stores name as the line's cached scope name (see logical_line_hold).
static void set_scope_name(PyObject *line, PyObject *name) {
  logical_line_hold(line, name);
  set_owned(line_record(line)->fScopeName, name);
}

PyObject *scope_name(QuarnelImplObject *self, PyObject *line) {
  LogicalLineObject *rec = line_record(line);
  if (rec->fScopeName) {
    Py_INCREF(rec->fScopeName);
    return rec->fScopeName;
  }
  PyRef hold = PyRef::borrow(line);
  PyRef scope(find_scope(self, line));
  if (!scope) return nullptr;
  PyRef name(scope.get() == Py_None ? empty_name() : full_name(self, scope.get()));
  if (!name) return nullptr;
  set_scope_name(line, name.get());
  return name.release();
}

PyObject *full_name(QuarnelImplObject *self, PyObject *scope_line) {
  PyRef hold = PyRef::borrow(scope_line);
  PyRef parent(scope_name(self, scope_line));
  if (!parent) return nullptr;
  PyRef own = PyRef::borrow(scope_name_token(line_record(scope_line)));
  return join_full_name(self, parent.get(), own.get());
}

PyObject *scope_def(QuarnelImplObject *self, PyObject *name) {
  if (!PyString_CheckExact(name)) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  if (PyString_GET_SIZE(name) == 0) Py_RETURN_NONE;
  PyRef cached(srcinfo_get_def(&self->fCache, name));
  if (!cached && !PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
  PyErr_Clear();
  if (cached) {
    // A defining line that has left the list no longer defines the name: look it up afresh.
    if (cached.get() == Py_None || !is_logical_line(self, cached.get())) return cached.release();
    if (require_logical_list(self) < 0) return nullptr;
    if (locate_line(self, cached.get()) >= 0) return cached.release();
    if (srcinfo_drop(&self->fCache, name) < 0) return nullptr;
  }

  // Not cached: the first class or def line named like the last part of the name whose
  // enclosing scope has the name's leading part as full name. The first definition in list
  // order is the one rule for a name defined more than once, here and wherever the scope map
  // is filled.
  const char *text = PyString_AS_STRING(name);
  const char *dot = strrchr(text, '.');
  Py_ssize_t parent_size = dot ? dot - text : 0;
  const char *last = dot ? dot + 1 : text;
  Py_ssize_t last_size = PyString_GET_SIZE(name) - (dot ? parent_size + 1 : 0);
  if (require_logical_list(self) < 0) return nullptr;
  PyRef list = PyRef::borrow(self->fLogicalList);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    if (!is_logical_line(self, item.get())) {
      PyErr_BadInternalCall();
      return nullptr;
    }
    const LogicalLineObject *rec = line_record(item.get());
    PyObject *own = is_scope_line(rec) ? scope_name_token(rec) : nullptr;
    if (!own || !PyString_Check(own) || PyString_GET_SIZE(own) != last_size ||
        memcmp(PyString_AS_STRING(own), last, size_t(last_size)) != 0) {
      continue;
    }
    PyRef parent(scope_name(self, item.get()));
    if (!parent) return nullptr;
    if (!PyString_Check(parent.get()) || PyString_GET_SIZE(parent.get()) != parent_size ||
        memcmp(PyString_AS_STRING(parent.get()), text, size_t(parent_size)) != 0) {
      continue;
    }
    PyRef entry(reinterpret_cast<PyObject *>(srcinfo_enter(&self->fCache, name, item.get())));
    if (!entry) return nullptr;
    return item.release();
  }
  PyRef key(PyTuple_Pack(1, name));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// build_body --
//   The lines of the scope defined by `def` (None: the module) that are not inside one of its
//   subscopes; comment and blank lines are left out. IndexError when def is not in the list.
//   A line of the body whose scope name is not cached yet gets `name`: the body's own lines are
//   exactly those whose enclosing scope is def, and a cached name lets a later removal of the
//   line find this body to invalidate.
static PyObject *build_body(QuarnelImplObject *self, PyObject *name, PyObject *def) {
  if (require_logical_list(self) < 0) return nullptr;
  PyObject *list = self->fLogicalList;
  Py_ssize_t start = 0;
  int ref = -1;
  if (def != Py_None) {
    if (!is_logical_line(self, def) || !is_scope_line(line_record(def))) {
      PyErr_BadInternalCall();
      return nullptr;
    }
    Py_ssize_t at = locate_line(self, def);
    if (at < 0) {
      PyErr_SetString(PyExc_IndexError, "scope defining logical is not in logical list");
      return nullptr;
    }
    start = at + 1;
    ref = line_record(def)->fIndent;
  }
  PyRef body(PyList_New(0));
  if (!body) return nullptr;
  const LogicalLineObject *sub = nullptr;  // the last class or def line of the body
  for (Py_ssize_t i = start; i < PyList_GET_SIZE(list); i++) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (!is_logical_line(self, item)) {
      PyErr_BadInternalCall();
      return nullptr;
    }
    LogicalLineObject *rec = line_record(item);
    if (is_ignored_line(rec)) continue;
    if (rec->fIndent <= ref) break;
    if (sub && rec->fIndent > sub->fIndent) continue;
    if (PyList_Append(body.get(), item) < 0) return nullptr;
    if (!rec->fScopeName) set_scope_name(item, name);
    sub = is_scope_line(rec) ? rec : nullptr;
  }
  return body.release();
}

PyObject *scope_body(QuarnelImplObject *self, PyObject *name) {
  PyObject *cached = srcinfo_get_body(&self->fCache, name);
  if (cached) return cached;
  // A cached defining line may have left the list: then the entry is dropped and the name
  // looked up afresh, once.
  for (int attempt = 0;; attempt++) {
    PyRef def(scope_def(self, name));
    if (!def) return nullptr;
    PyRef body(build_body(self, name, def.get()));
    if (body) {
      if (srcinfo_set_body(&self->fCache, name, def.get(), body.get()) < 0) return nullptr;
      return body.release();
    }
    if (attempt > 0 || !PyErr_ExceptionMatches(PyExc_IndexError)) return nullptr;
    PyErr_Clear();
    if (srcinfo_drop(&self->fCache, name) < 0) return nullptr;
  }
}

// enter_scope_line --
//   Makes the scope map answer for the full name of a class or def line of the list that has
//   a name token, keeping the first definition in list order: an entry for a line before it
//   stays; without an entry the name is looked up (which finds the first definition, this line
//   or an earlier one). Returns the full name (new reference).
static PyObject *enter_scope_line(QuarnelImplObject *self, PyObject *line) {
  PyRef hold = PyRef::borrow(line);
  PyRef full(full_name(self, line));
  if (!full) return nullptr;
  PyRef def(srcinfo_get_def(&self->fCache, full.get()));
  if (!def) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    def.reset(scope_def(self, full.get()));
    if (!def) return nullptr;
    return full.release();
  }
  if (def.get() == line) return full.release();
  if (require_logical_list(self) < 0) return nullptr;
  Py_ssize_t at = locate_line(self, line);
  if (at < 0) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  Py_ssize_t before = is_logical_line(self, def.get()) ? locate_line(self, def.get()) : -1;
  if (before < 0 || before > at) {
    PyRef entry(reinterpret_cast<PyObject *>(srcinfo_enter(&self->fCache, full.get(), line)));
    if (!entry) return nullptr;
  }
  return full.release();
}

// ---------------------------------------------------------------------------------------------
// Incremental update.

// What one LogicalCacheModified call changed.
struct tChangeRecord {
  PyRef body_changes;    // dict used as a set of scope names
  PyRef class_defns;     // full names of class lines removed or added
  PyRef function_defns;  // full names of def lines removed or added
  PyRef lead_changes;    // scopes whose lead line was removed or added
  PyRef rescoped;        // lines that stay but lost their cached scope name
  bool from_import = false;

  int init() {
    body_changes.reset(PyDict_New());
    class_defns.reset(PyList_New(0));
    function_defns.reset(PyList_New(0));
    lead_changes.reset(PyList_New(0));
    rescoped.reset(PyList_New(0));
    return body_changes && class_defns && function_defns && lead_changes && rescoped ? 0 : -1;
  }
};

// cached_scope_def --
//   The defining line of scope `name` as the cache knows it (borrowed), or null when the entry
//   is missing or names the module.
static PyObject *cached_scope_def(QuarnelImplObject *self, PyObject *name) {
  if (!self->fCache.fScopeMap) return nullptr;
  PyObject *found = PyDict_GetItem(self->fCache.fScopeMap, name);
  if (!found || Py_TYPE(found) != &PerScopeEntryType) return nullptr;
  PyObject *def = reinterpret_cast<PerScopeEntry *>(found)->fScopeDef;
  return def == Py_None ? nullptr : def;
}

// track_lead_line --
//   Keeps the recorded lead line of `scope` in step with an added or removed lead-type line.
static int track_lead_line(QuarnelImplObject *self, tChangeRecord &change, PyObject *scope,
                           PyObject *line, bool added) {
  PyRef lead(srcinfo_get_lead(&self->fCache, scope));
  if (!lead) return -1;
  if (!added) {
    if (lead.get() != line) return 0;
    if (PyList_Append(change.lead_changes.get(), scope) < 0) return -1;
    srcinfo_clear_lead(&self->fCache, scope);
    return 0;
  }
  if (lead.get() != Py_None) return 0;
  PyRef def = PyRef::borrow(cached_scope_def(self, scope));
  if (require_logical_list(self) < 0) return -1;
  PyObject *list = self->fLogicalList;
  Py_ssize_t next = 0;
  if (def) {
    next = locate_line(self, def.get());
    if (next < 0) return 0;
    next++;
  }
  if (next >= PyList_GET_SIZE(list) || PyList_GET_ITEM(list, next) != line) return 0;
  if (PyList_Append(change.lead_changes.get(), scope) < 0) return -1;
  return srcinfo_set_lead(&self->fCache, scope, def ? def.get() : Py_None, line);
}

// mark_scope_changed --
//   Records that a line of the scope named by the line's fScopeName was removed or added:
//   the scope joins body_changes, its cached body and attribute list are dropped and a lead
//   line is tracked.
static int mark_scope_changed(QuarnelImplObject *self, tChangeRecord &change, PyObject *line,
                              bool added) {
  PyRef scope = PyRef::borrow(line_record(line)->fScopeName);
  if (!scope) return 0;
  if (PyDict_SetItem(change.body_changes.get(), scope.get(), Py_True) < 0) return -1;
  srcinfo_clear_body(&self->fCache, scope.get());
  srcinfo_clear_attribs(&self->fCache, scope.get());
  if (line_record(line)->fLineType != kLineScopeLead) return 0;
  return track_lead_line(self, change, scope.get(), line, added);
}

// drop_scope_tree --
//   Forgets the scope `full` and everything cached below it: its cache entry, the entries of
//   the class and def lines whose scope name starts with its text, and those lines' scope
//   names.
static int drop_scope_tree(QuarnelImplObject *self, tChangeRecord &change, PyObject *full) {
  if (srcinfo_drop(&self->fCache, full) < 0) return -1;
  if (require_logical_list(self) < 0) return -1;
  PyRef list = PyRef::borrow(self->fLogicalList);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    if (!is_logical_line(self, item.get())) {
      PyErr_BadInternalCall();
      return -1;
    }
    LogicalLineObject *rec = line_record(item.get());
    if (!rec->fScopeName || !PyString_Check(rec->fScopeName) ||
        !starts_with(rec->fScopeName, full, false)) {
      continue;
    }
    PyObject *own = scope_name_token(rec);
    if (is_scope_line(rec) && own) {
      PyRef inner(join_full_name(self, rec->fScopeName, own));
      if (!inner || srcinfo_drop(&self->fCache, inner.get()) < 0) return -1;
    }
    if (PyList_Append(change.rescoped.get(), item.get()) < 0) return -1;
    clear_owned(rec->fScopeName);
  }
  return 0;
}

// rescope_after --
//   Forgets the cached scope names of the lines after index `at` that the line there may
//   enclose: the following lines up to the first (not comment or blank) line indented no
//   deeper than `indent`. Their old scopes join the change. With `full` (the full name of a
//   newly added class or def line) the walk stops at a line already scoped inside it.
static int rescope_after(QuarnelImplObject *self, tChangeRecord &change, Py_ssize_t at,
                         int indent, PyObject *full) {
  if (require_logical_list(self) < 0) return -1;
  PyRef list = PyRef::borrow(self->fLogicalList);
  for (Py_ssize_t i = at + 1; i < PyList_GET_SIZE(list.get()); i++) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    if (!is_logical_line(self, item.get())) {
      PyErr_BadInternalCall();
      return -1;
    }
    LogicalLineObject *rec = line_record(item.get());
    if (!is_ignored_line(rec) && rec->fIndent <= indent) break;
    if (!rec->fScopeName) continue;
    if (full && PyString_Check(rec->fScopeName) &&
        (same_text(rec->fScopeName, full) || starts_with(rec->fScopeName, full, true))) {
      break;
    }
    if (mark_scope_changed(self, change, item.get(), true) < 0) return -1;
    // A class or def line that moves takes its full name, and those of the scopes below it,
    // with it: the cache forgets them.
    PyObject *own = scope_name_token(rec);
    if (is_scope_line(rec) && own && rec->fScopeName) {
      PyRef old_full(join_full_name(self, rec->fScopeName, own));
      if (!old_full || drop_scope_tree(self, change, old_full.get()) < 0) return -1;
    }
    if (PyList_Append(change.rescoped.get(), item.get()) < 0) return -1;
    clear_owned(rec->fScopeName);
  }
  return 0;
}

// index_for_lineno --
//   The first index of the list whose line starts at or after lineno (the list is ordered by
//   fLineno).
static Py_ssize_t index_for_lineno(QuarnelImplObject *self, int lineno) {
  PyObject *list = self->fLogicalList;
  Py_ssize_t lo = 0, hi = PyList_GET_SIZE(list);
  while (lo < hi) {
    Py_ssize_t mid = lo + (hi - lo) / 2;
    PyObject *item = PyList_GET_ITEM(list, mid);
    if (is_logical_line(self, item) && line_record(item)->fLineno < lineno) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// append_defn --
//   Adds a removed or added class or def line's full name to class_defns or function_defns.
static int append_defn(tChangeRecord &change, const LogicalLineObject *rec, PyObject *full) {
  PyObject *target =
      rec->fLineType == kLineClass ? change.class_defns.get() : change.function_defns.get();
  return PyList_Append(target, full);
}

// apply_removed --
//   Step one of the update: the removed lines leave the name map, the parse errors, their
//   scopes' cached bodies and, for class and def lines, the scope map with everything below
//   them. Lines that stay and were enclosed through a removed line lose their cached scope
//   names.
static int apply_removed(QuarnelImplObject *self, tChangeRecord &change, PyObject *removed) {
  PyRef errors_removed(PyList_New(0));
  if (!errors_removed) return -1;
  int first_lineno = INT32_MAX;  // of the removed lines so far
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(removed); i++) {
    PyRef line = PyRef::borrow(PyList_GET_ITEM(removed, i));
    if (!is_logical_line(self, line.get())) {
      PyErr_SetString(PyExc_TypeError, "Items in the removed list must be logical lines");
      return -1;
    }
    LogicalLineObject *rec = line_record(line.get());
    if ((rec->fFlags & kLineParsedFlag) && is_counted_line(self, line.get())) self->fParsedCount--;
    if (files_names(rec) && srcinfo_remove_line(&self->fCache, line.get()) < 0) return -1;
    if (self->fParseErrors && PyDict_GetItem(self->fParseErrors, line.get())) {
      if (PyDict_DelItem(self->fParseErrors, line.get()) < 0) return -1;
      if (PyList_Append(errors_removed.get(), line.get()) < 0) return -1;
    }
    if (rec->fLineType == kLineFromImport) change.from_import = true;
    if (rec->fScopeName) {
      if (mark_scope_changed(self, change, line.get(), false) < 0) return -1;
      PyObject *own = scope_name_token(rec);
      if (is_scope_line(rec) && own && rec->fScopeName) {
        PyRef full(join_full_name(self, rec->fScopeName, own));
        if (!full || drop_scope_tree(self, change, full.get()) < 0 ||
            srcinfo_drop(&self->fCache, full.get()) < 0 || append_defn(change, rec, full.get()) < 0) {
          return -1;
        }
      }
    }
    // The lines that followed the removed one inside its block were scoped through it. The
    // list no longer holds it; its place is where its line number would go, or, when lines
    // after it moved up past that number, where the first removed line's number would go.
    if (!is_ignored_line(rec)) {
      if (require_logical_list(self) < 0) return -1;
      if (first_lineno > rec->fLineno) first_lineno = rec->fLineno;
      for (int lineno : {rec->fLineno, first_lineno}) {
        Py_ssize_t at = index_for_lineno(self, lineno);
        if (rescope_after(self, change, at - 1, rec->fIndent, nullptr) < 0) return -1;
      }
    }
  }
  if (PyList_GET_SIZE(errors_removed.get()) == 0) return 0;
  if (!self->fModAnalysis) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef analysis = PyRef::borrow(self->fModAnalysis);
  PyRef result(PyObject_CallMethod(analysis.get(), const_cast<char *>("_ParseErrorsModified"),
                                   const_cast<char *>("()O"), errors_removed.get()));
  return result ? 0 : -1;
}

// apply_added --
//   Step two: the added lines get their scope names, class and def lines enter the scope map,
//   and the lines after each added line that it may now enclose lose their cached scope names.
static int apply_added(QuarnelImplObject *self, tChangeRecord &change, PyObject *added) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(added); i++) {
    PyRef line = PyRef::borrow(PyList_GET_ITEM(added, i));
    if (!is_logical_line(self, line.get())) {
      PyErr_SetString(PyExc_TypeError, "Items in the added list must be logical lines");
      return -1;
    }
    LogicalLineObject *rec = line_record(line.get());
    // A line that arrives analysed counts and enters the name map, as a removed one leaves it;
    // a class or def line enters it whether analysed or not (as half typed, before its colon).
    if ((rec->fFlags & kLineParsedFlag) && is_counted_line(self, line.get())) self->fParsedCount++;
    if (files_names(rec) && srcinfo_add_line(&self->fCache, line.get()) < 0) return -1;
    if (rec->fLineType == kLineFromImport) change.from_import = true;
    PyRef scope(scope_name(self, line.get()));
    if (!scope || mark_scope_changed(self, change, line.get(), true) < 0) return -1;
    PyRef full;
    if (is_scope_line(rec) && scope_name_token(rec)) {
      full.reset(enter_scope_line(self, line.get()));
      if (!full) return -1;
    }
    if (!is_ignored_line(rec)) {
      if (require_logical_list(self) < 0) return -1;  // the name's __hash__ may have dropped it
      Py_ssize_t at = locate_line(self, line.get());
      if (at < 0) {
        PyErr_BadInternalCall();
        return -1;
      }
      if (rescope_after(self, change, at, rec->fIndent, full.get()) < 0) return -1;
    }
    if (full && append_defn(change, rec, full.get()) < 0) return -1;
  }
  return 0;
}

// apply_rescoped --
//   Step three: a line that lost its cached scope name has moved into another scope (the
//   parent or a preceding sibling of a removed class or def, a class or def added above it),
//   whose body gains it. Its new scope name is computed (unless an earlier line of the loop
//   needed it already) and that scope marked changed too. A class or def line enters the scope
//   map under its new full name, as an added one does (the lookup by name alone cannot find a
//   name whose parts hold dots).
static int apply_rescoped(QuarnelImplObject *self, tChangeRecord &change) {
  PyObject *rescoped = change.rescoped.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rescoped); i++) {
    PyRef line = PyRef::borrow(PyList_GET_ITEM(rescoped, i));
    if (require_logical_list(self) < 0) return -1;
    if (locate_line(self, line.get()) < 0) continue;
    PyRef scope(scope_name(self, line.get()));
    if (!scope || mark_scope_changed(self, change, line.get(), true) < 0) return -1;
    const LogicalLineObject *rec = line_record(line.get());
    if (!is_scope_line(rec) || !scope_name_token(rec)) continue;
    PyRef full(enter_scope_line(self, line.get()));
    if (!full) return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Methods.

// exact_str --
//   The cache is keyed by exact str: a str subclass names a scope by its text. New reference.
static PyObject *exact_str(PyObject *name) {
  if (PyString_CheckExact(name)) {
    Py_INCREF(name);
    return name;
  }
  return PyString_FromStringAndSize(PyString_AS_STRING(name), PyString_GET_SIZE(name));
}

// FindScopeForLine(line) --
//   The class or def line enclosing the line, or None at module level.
PyObject *QuarnelImpl_FindScopeForLine(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *line;
  if (!PyArg_ParseTuple(args, "O:FindScopeForLine", &line)) return nullptr;
  if (logical_line_arg(self, line, "Argument must be a logical line.") < 0) return nullptr;
  return find_scope(self, line);
}

// GetFullNameForScopeDef(scope_def) --
//   The dotted full name of a class or def line; None gives the module's "".
PyObject *QuarnelImpl_GetFullNameForScopeDef(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *def;
  if (!PyArg_ParseTuple(args, "O:GetFullNameForScopeDef", &def)) return nullptr;
  if (def == Py_None) return module_scope_name(self);
  if (logical_line_arg(self, def, "The scope_def must be either None or a logical line") < 0) {
    return nullptr;
  }
  return full_name(self, def);
}

// GetScopeDefForFullName(full_name) --
//   The class or def line with that full name; None for ""; KeyError for an unknown name.
PyObject *QuarnelImpl_GetScopeDefForFullName(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *name;
  if (!PyArg_ParseTuple(args, "O!:GetScopeDefForFullName", &PyString_Type, &name)) return nullptr;
  PyRef key(exact_str(name));
  if (!key) return nullptr;
  return scope_def(self, key.get());
}

// GetBodyOfScope(full_name) --
//   The lines of the scope that are not in a subscope; the same list until invalidated.
PyObject *QuarnelImpl_GetBodyOfScope(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *name;
  if (!PyArg_ParseTuple(args, "O!:GetBodyOfScope", &PyString_Type, &name)) return nullptr;
  PyRef key(exact_str(name));
  if (!key) return nullptr;
  return scope_body(self, key.get());
}

// LogicalCacheNeedsUpdate(...) --
//   The environment's logical cache has pending updates.
PyObject *QuarnelImpl_LogicalCacheNeedsUpdate(QuarnelImplObject *self, PyObject *) {
  self->fCacheNeedsUpdate = 1;
  Py_RETURN_NONE;
}

// LogicalCacheModified(logical_cache, delta) --
//   Brings the caches up to date with the lines the environment removed from and added to the
//   logical list (delta.removed, delta.added) and returns (body_changes, class_defns,
//   function_defns, lead_changes). A failure leaves what was applied so far.
PyObject *QuarnelImpl_LogicalCacheModified(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *logical_cache, *delta;
  if (!PyArg_ParseTuple(args, "O!O!:LogicalCacheModifed", &PyInstance_Type, &logical_cache,
                        &PyInstance_Type, &delta)) {
    return nullptr;
  }
  tChangeRecord change;
  if (change.init() < 0) return nullptr;
  PyRef removed(PyObject_GetAttrString(delta, "removed"));
  if (!removed) return nullptr;
  PyRef added(PyObject_GetAttrString(delta, "added"));
  if (!added) return nullptr;
  if (!PyList_Check(removed.get()) || !PyList_Check(added.get())) {
    PyErr_SetString(PyExc_TypeError, "delta's added & removed attributes must be a Python lists");
    return nullptr;
  }
  if (apply_removed(self, change, removed.get()) < 0) return nullptr;
  if (apply_added(self, change, added.get()) < 0) return nullptr;
  if (apply_rescoped(self, change) < 0) return nullptr;
  self->fCacheNeedsUpdate = 0;
  // Any edit may change which future imports open the module (the scan stops at the first
  // other statement); without a list only a from-import change asks for the scan (and fails).
  if ((change.from_import || self->fLogicalList) &&
      rescan_future_flags(self, change.from_import) < 0) {
    return nullptr;
  }
  PyRef body_changes(PyDict_Keys(change.body_changes.get()));
  if (!body_changes) return nullptr;
  return PyTuple_Pack(4, body_changes.get(), change.class_defns.get(), change.function_defns.get(),
                      change.lead_changes.get());
}

// assign_scope_names --
//   Computes the scope name of every line of the list afresh, in one pass: the lines not yet
//   closed by a shallower line form a stack of strictly increasing indentation, and a line's
//   enclosing scope is the innermost class or def line on that stack once the lines indented as
//   deep or deeper are popped (the answer find_scope gives by walking back). Comment and blank
//   lines take the scope of the line before them.
static int assign_scope_names(QuarnelImplObject *self, PyObject *list) {
  const char *not_line = "All elements in logical_list must be logical lines";
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (!is_logical_line(self, item)) {
      PyErr_SetString(PyExc_TypeError, not_line);
      return -1;
    }
    clear_owned(line_record(item)->fScopeName);
  }
  PyRef open(PyList_New(0));  // the stack of open lines
  if (!open) return -1;
  PyRef empty(empty_name());
  if (!empty) return -1;
  PyRef current = PyRef::borrow(empty.get());  // scope name of the last non-ignored line
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyRef line = PyRef::borrow(PyList_GET_ITEM(list, i));
    if (!is_logical_line(self, line.get())) {
      PyErr_SetString(PyExc_TypeError, not_line);
      return -1;
    }
    LogicalLineObject *rec = line_record(line.get());
    if (!is_ignored_line(rec)) {
      Py_ssize_t depth = PyList_GET_SIZE(open.get());
      while (depth > 0 &&
             line_record(PyList_GET_ITEM(open.get(), depth - 1))->fIndent >= rec->fIndent) {
        depth--;
      }
      if (PyList_SetSlice(open.get(), depth, PyList_GET_SIZE(open.get()), nullptr) < 0) return -1;
      PyObject *scope = nullptr;
      for (Py_ssize_t k = depth - 1; k >= 0 && rec->fIndent != 0 && !scope; k--) {
        PyObject *candidate = PyList_GET_ITEM(open.get(), k);
        if (is_scope_line(line_record(candidate))) scope = candidate;
      }
      current.reset(scope ? full_name(self, scope) : empty_name());
      if (!current) return -1;
      if (PyList_Append(open.get(), line.get()) < 0) return -1;
    }
    if (!rec->fScopeName) set_scope_name(line.get(), current.get());
  }
  return 0;
}

// RebuildCache() --
//   Rebuilds the source info cache and the __future__ flags from the logical list, and the
//   lines' scope names with them, so that no name cached before survives a rebuild.
PyObject *QuarnelImpl_RebuildCache(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  if (!PyArg_ParseTuple(args, ":RebuildCache")) return nullptr;
  srcinfo_clear_all(&self->fCache);
  if (rescan_future_flags(self, true) < 0) return nullptr;
  // The future-flags notice may have taken the list away.
  if (require_logical_list(self) < 0) return nullptr;
  PyRef list = PyRef::borrow(self->fLogicalList);
  if (assign_scope_names(self, list.get()) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
    PyRef line = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    if (!is_logical_line(self, line.get())) {
      PyErr_SetString(PyExc_TypeError, "All elements in logical_list must be logical lines");
      return nullptr;
    }
    PyRef scope(scope_name(self, line.get()));
    if (!scope) return nullptr;
    if (srcinfo_add_line(&self->fCache, line.get()) < 0) return nullptr;
    const LogicalLineObject *rec = line_record(line.get());
    if (!is_scope_line(rec) || !scope_name_token(rec)) continue;
    // The first definition of a full name keeps its entry.
    PyRef full(full_name(self, line.get()));
    if (!full) return nullptr;
    PyRef entry(reinterpret_cast<PyObject *>(srcinfo_entry_for(&self->fCache, full.get(),
                                                               line.get())));
    if (!entry) return nullptr;
  }
  Py_RETURN_NONE;
}
