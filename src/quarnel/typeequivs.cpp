// The type-equivalence queries: what the visitors recorded on logical lines, read back for the
// editor's type inference. FindTypeEquivs lists what a name holds in one scope,
// FindInstAttribTypeEquivs what an instance attribute (self.x) holds in the methods of a class,
// GetInstanceAttributes which instance attributes those methods assign. Lines that are needed
// and not analyzed yet are analyzed on the way.
#include "search.h"

#include <string.h>

#include <string>

#include "lineanalysis.h"

const char kFindTypeEquivsDoc[] = "Find all type equivs in a scope";
const char kFindInstAttribTypeEquivsDoc[] =
    "Find all type equivs for an instance attrib of the given class.  The 3rd arg is a sequence "
    "of function names to match; if it is None, any name matches.  Return value is a list of "
    "(full-method-name, equiv-list) pairs where equiv-list is a list of equivalent names in the "
    "given method.";
const char kGetInstanceAttributesDoc[] =
    "Find all instance attributes names in the given class (but not in base classes. The 2rd arg "
    "is a sequence of method names to match; if it is None, any name matches.";

namespace {

// Whether obj is a str with exactly the given text.
bool str_equals(PyObject *obj, const char *text, Py_ssize_t size) {
  return PyString_Check(obj) && PyString_GET_SIZE(obj) == size &&
         memcmp(PyString_AS_STRING(obj), text, size_t(size)) == 0;
}

// Fails an operation that returned no result without setting an error: AssertionError
// "Invalid internal value in <operation>". Returns -1.
int internal_value_error(const char *operation) {
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_AssertionError, "Invalid internal value in %s", operation);
  }
  return -1;
}

// Item i of a body list as a logical line (borrowed), else the internal-call error.
PyObject *body_line(QuarnelImplObject *self, PyObject *list, Py_ssize_t i) {
  PyObject *item = PyList_GET_ITEM(list, i);
  if (is_logical_line(self, item)) return item;
  PyErr_BadInternalCall();
  return nullptr;
}

// Analyzes line unless it is analyzed already.
int ensure_analyzed(QuarnelImplObject *self, PyObject *line, double end_time,
                    PyObject *imports_seen) {
  if (line_record(line)->fFlags & kLineParsedFlag) return 0;
  return analyze_one(self, line, end_time, imports_seen);
}

// Appends to result the value of each fEquivs pair of the line whose name is `name`.
int append_equivs(PyObject *line, const char *name, Py_ssize_t size, PyObject *result) {
  const LogicalLineObject *rec = line_record(line);
  for (uint32_t k = 0; k < rec->fEquivCount; k++) {
    if (!str_equals(rec->fEquivs[2 * k], name, size)) continue;
    if (PyList_Append(result, rec->fEquivs[2 * k + 1]) < 0) return -1;
  }
  return 0;
}

// The first fNames entry of a line when it is a str (borrowed: the first parameter of a def
// line), else null.
PyObject *first_param(const LogicalLineObject *rec) {
  if (rec->fNameCount == 0 || !PyString_Check(rec->fNames[0])) return nullptr;
  return rec->fNames[0];
}

// SearchLogicalListForEquivs --
//   The values of the pairs named `name` on the lines of `lines` (def lines passed over),
//   analyzing lines on the way; duplicates stay.
PyObject *search_list_for_equivs(QuarnelImplObject *self, PyObject *lines, const char *name,
                                 Py_ssize_t size, double end_time, PyObject *imports_seen) {
  PyRef hold = PyRef::borrow(lines);
  PyRef result(PyList_New(0));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); i++) {
    PyRef line = PyRef::borrow(body_line(self, lines, i));
    if (!line) return nullptr;
    if (line_record(line.get())->fLineType == kLineDef) continue;
    if (ensure_analyzed(self, line.get(), end_time, imports_seen) < 0 ||
        append_equivs(line.get(), name, size, result.get()) < 0) {
      return nullptr;
    }
  }
  return result.release();
}

// The body of a scope, or null without an error when no line defines it (KeyError cleared).
PyRef body_or_nothing(QuarnelImplObject *self, PyObject *name) {
  PyRef body(scope_body(self, name));
  if (!body && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
  return body;
}

// Whether the def line's name token is in method_names (None: every name matches).
int method_wanted(PyObject *def, PyObject *method_names) {
  if (method_names == Py_None) return 1;
  PyRef name = PyRef::borrow(scope_name_token(line_record(def)));
  if (!name) return 0;
  return PySequence_Contains(method_names, name.get());
}

// The common start of the three queries: end_time read and a fresh imports_seen dict.
int query_start(PyObject *end_obj, double *end_time, PyRef *imports_seen) {
  if (end_time_arg(end_obj, end_time) < 0) return -1;
  imports_seen->reset(PyDict_New());
  return *imports_seen ? 0 : -1;
}

// FindTypeEquivs after the arguments are read.
PyObject *find_type_equivs(QuarnelImplObject *self, const char *name, PyObject *scope,
                           double end_time, PyObject *imports_seen) {
  Py_ssize_t size = Py_ssize_t(strlen(name));
  PyRef lines = body_or_nothing(self, scope);
  if (!lines) return PyErr_Occurred() ? nullptr : PyList_New(0);
  PyRef result(search_list_for_equivs(self, lines.get(), name, size, end_time, imports_seen));
  if (!result) return nullptr;
  PyRef def(scope_def(self, scope));
  if (!def) return nullptr;
  if (def.get() == Py_None || !is_logical_line(self, def.get()) ||
      line_record(def.get())->fLineType != kLineDef) {
    return result.release();
  }
  if (ensure_analyzed(self, def.get(), end_time, imports_seen) < 0 ||
      append_equivs(def.get(), name, size, result.get()) < 0) {
    return nullptr;
  }
  // The first parameter of a method of a class K holds an instance of K: "K:".
  PyRef param = PyRef::borrow(first_param(line_record(def.get())));
  if (!param || !str_equals(param.get(), name, size)) return result.release();
  PyRef parent(scope_name(self, def.get()));
  if (!parent) return nullptr;
  if (!PyString_Check(parent.get()) || PyString_GET_SIZE(parent.get()) == 0) {
    return result.release();
  }
  PyRef parent_def(scope_def(self, parent.get()));
  if (!parent_def) return nullptr;
  if (!is_logical_line(self, parent_def.get()) ||
      line_record(parent_def.get())->fLineType != kLineClass) {
    return result.release();
  }
  std::string marker(PyString_AS_STRING(parent.get()), size_t(PyString_GET_SIZE(parent.get())));
  marker += ':';
  PyRef pooled(quarnel_intern_string(self, marker.data(), Py_ssize_t(marker.size())));
  if (!pooled || PyList_Append(result.get(), pooled.get()) < 0) return nullptr;
  return result.release();
}

// FindInstAttribEquivInMethod --
//   (full method name, equivalences of P.attrib in the method's body) for the method's first
//   parameter P, or None when there are none.
PyObject *inst_attrib_equivs_in_method(QuarnelImplObject *self, PyObject *def, PyObject *full,
                                       PyObject *attrib, double end_time,
                                       PyObject *imports_seen) {
  if (ensure_analyzed(self, def, end_time, imports_seen) < 0) return nullptr;
  PyObject *param = first_param(line_record(def));
  if (!param) Py_RETURN_NONE;
  std::string text(PyString_AS_STRING(param), size_t(PyString_GET_SIZE(param)));
  text += '.';
  text.append(PyString_AS_STRING(attrib), size_t(PyString_GET_SIZE(attrib)));
  PyRef body(scope_body(self, full));
  if (!body) return nullptr;
  PyRef equivs(search_list_for_equivs(self, body.get(), text.c_str(), Py_ssize_t(text.size()),
                                      end_time, imports_seen));
  if (!equivs) return nullptr;
  if (PyList_GET_SIZE(equivs.get()) == 0) Py_RETURN_NONE;
  return PyTuple_Pack(2, full, equivs.get());
}

// collect_instance_attribs --
//   Appends (R, line) for each "P.R" name (R without ".") that the lines of the method's body
//   assign, P being the method's first parameter.
int collect_instance_attribs(QuarnelImplObject *self, PyObject *def, double end_time,
                             PyObject *imports_seen, PyObject *result) {
  if (ensure_analyzed(self, def, end_time, imports_seen) < 0) return -1;
  PyRef param = PyRef::borrow(first_param(line_record(def)));
  if (!param) return 0;
  Py_ssize_t psize = PyString_GET_SIZE(param.get());
  PyRef full(full_name(self, def));
  if (!full) return -1;
  PyRef body(scope_body(self, full.get()));
  if (!body) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); i++) {
    PyRef line = PyRef::borrow(body_line(self, body.get(), i));
    if (!line) return -1;
    if (is_scope_line(line_record(line.get()))) continue;
    if (ensure_analyzed(self, line.get(), end_time, imports_seen) < 0) return -1;
    const LogicalLineObject *rec = line_record(line.get());
    for (uint32_t k = 0; k < rec->fNameCount; k++) {
      PyObject *entry = rec->fNames[k];
      if (!PyString_Check(entry)) continue;
      const char *text = PyString_AS_STRING(entry);
      Py_ssize_t size = PyString_GET_SIZE(entry);
      if (size <= psize + 1 || text[psize] != '.' ||
          memcmp(text, PyString_AS_STRING(param.get()), size_t(psize)) != 0 ||
          memchr(text + psize + 1, '.', size_t(size - psize - 1))) {
        continue;
      }
      PyRef rest(quarnel_intern_string(self, text + psize + 1, size - psize - 1));
      if (!rest) return -1;
      PyRef pair(PyTuple_Pack(2, rest.get(), line.get()));
      if (!pair || PyList_Append(result, pair.get()) < 0) return -1;
      rec = line_record(line.get());
    }
  }
  return 0;
}

// for_each_method --
//   Calls visit(def line) for each def line of the class body that method_names admits. A
//   KeyError from a visit is cleared and the method skipped.
template <typename Visit>
int for_each_method(QuarnelImplObject *self, PyObject *body, PyObject *method_names,
                    Visit visit) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body); i++) {
    PyRef line = PyRef::borrow(body_line(self, body, i));
    if (!line) return -1;
    if (line_record(line.get())->fLineType != kLineDef) continue;
    int wanted = method_wanted(line.get(), method_names);
    if (wanted < 0) return -1;
    if (!wanted) continue;
    if (visit(line.get()) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
      PyErr_Clear();
    }
  }
  return 0;
}

}  // namespace

// FindTypeEquivs(name, scope_name, end_time=None) --
//   The values the name is recorded as equivalent to in the scope, the scope's own def line
//   last, plus "K:" for the first parameter of a method of class K.
PyObject *QuarnelImpl_FindTypeEquivs(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  const char *name;
  PyObject *scope, *end_obj = nullptr;
  if (!PyArg_ParseTuple(args, "sO!|O:FindTypeEquivs", &name, &PyString_Type, &scope, &end_obj)) {
    return nullptr;
  }
  double end_time;
  PyRef imports_seen;
  if (query_start(end_obj, &end_time, &imports_seen) < 0) return nullptr;
  PyRef exact(PyString_FromStringAndSize(PyString_AS_STRING(scope), PyString_GET_SIZE(scope)));
  if (!exact) return nullptr;
  PyObject *result = find_type_equivs(self, name, exact.get(), end_time, imports_seen.get());
  if (!result) internal_value_error("FindTypeEquivs");
  return result;
}

// FindInstAttribTypeEquivs(attrib, class_name, method_names, end_time=None) --
//   (full method name, equivalences) for each method of the class whose body records
//   equivalences of <first parameter>.attrib.
PyObject *QuarnelImpl_FindInstAttribTypeEquivs(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  const char *attrib_text;
  PyObject *class_name, *method_names, *end_obj = nullptr;
  if (!PyArg_ParseTuple(args, "sO!O|O:FindInstAttribTypeEquivs", &attrib_text, &PyString_Type,
                        &class_name, &method_names, &end_obj)) {
    return nullptr;
  }
  double end_time;
  PyRef imports_seen;
  if (query_start(end_obj, &end_time, &imports_seen) < 0) return nullptr;
  PyRef attrib(PyString_FromString(attrib_text));
  PyRef exact(PyString_FromStringAndSize(PyString_AS_STRING(class_name),
                                         PyString_GET_SIZE(class_name)));
  PyRef result(PyList_New(0));
  if (!attrib || !exact || !result) return nullptr;
  PyRef body = body_or_nothing(self, exact.get());
  if (!body) return PyErr_Occurred() ? nullptr : result.release();
  int status = for_each_method(self, body.get(), method_names, [&](PyObject *def) {
    PyRef full(full_name(self, def));
    if (!full) return -1;
    PyRef found(inst_attrib_equivs_in_method(self, def, full.get(), attrib.get(), end_time,
                                             imports_seen.get()));
    if (!found) return internal_value_error("FindInstAttribEquivInMethod");
    return PyTuple_Check(found.get()) ? PyList_Append(result.get(), found.get()) : 0;
  });
  if (status < 0) {
    internal_value_error("FindInstAttribTypeEquivs");
    return nullptr;
  }
  return result.release();
}

// GetInstanceAttributes(class_name, method_names, end_time=None) --
//   (attribute name, line) for each self.R assignment in the methods of the class; None when
//   class_name names no class.
PyObject *QuarnelImpl_GetInstanceAttributes(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *class_name, *method_names, *end_obj = nullptr;
  if (!PyArg_ParseTuple(args, "O!O|O:GetInstanceAttributes", &PyString_Type, &class_name,
                        &method_names, &end_obj)) {
    return nullptr;
  }
  double end_time;
  PyRef imports_seen;
  if (query_start(end_obj, &end_time, &imports_seen) < 0) return nullptr;
  PyRef exact(PyString_FromStringAndSize(PyString_AS_STRING(class_name),
                                         PyString_GET_SIZE(class_name)));
  if (!exact) return nullptr;
  PyRef def(scope_def(self, exact.get()));
  if (!def) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
      internal_value_error("GetInstanceAttributes");
      return nullptr;
    }
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  if (!is_logical_line(self, def.get()) || line_record(def.get())->fLineType != kLineClass) {
    Py_RETURN_NONE;
  }
  PyRef result(PyList_New(0));
  if (!result) return nullptr;
  PyRef body(scope_body(self, exact.get()));
  if (!body) {
    internal_value_error("GetInstanceAttributes");
    return nullptr;
  }
  int status = for_each_method(self, body.get(), method_names, [&](PyObject *method) {
    if (collect_instance_attribs(self, method, end_time, imports_seen.get(), result.get()) < 0) {
      return internal_value_error("FindInstAttribEquivInMethod");
    }
    return 0;
  });
  if (status < 0) {
    internal_value_error("GetInstanceAttributes");
    return nullptr;
  }
  return result.release();
}
