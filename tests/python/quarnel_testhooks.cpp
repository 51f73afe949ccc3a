// Test-only extension _quarnel_testhooks: the analyzer's sources built into a separate module
// that also exposes the internal operations (source info cache, trace, name pool, clock), which
// quarnel_impl itself does not publish. Analyzers made by this module's CreateQuarnelImpl are of
// this module's own copy of the type; the hooks accept only those.
#include "quarnel_implmodule.h"

#include "astinspect.h"

// analyzer_arg --
//   The analyzer argument of a hook, or null with TypeError set.
static QuarnelImplObject *analyzer_arg(PyObject *obj) {
  if (Py_TYPE(obj) == &QuarnelImplType) return reinterpret_cast<QuarnelImplObject *>(obj);
  PyErr_SetString(PyExc_TypeError, "an analyzer made by _quarnel_testhooks is required");
  return nullptr;
}

// Parses (analyzer, ...) with `format` ("O" + the rest) into the analyzer and the extra objects.
#define PARSE_HOOK(format, ...)                                             \
  PyObject *analyzer_obj;                                                   \
  if (!PyArg_ParseTuple(args, format, &analyzer_obj, __VA_ARGS__)) return nullptr; \
  QuarnelImplObject *self = analyzer_arg(analyzer_obj);                     \
  if (!self) return nullptr

// optional_result --
//   A lookup's new reference, or None when it found nothing (and raised nothing).
static PyObject *optional_result(PyObject *found) {
  if (found || PyErr_Occurred()) return found;
  Py_RETURN_NONE;
}

static PyObject *status_result(int status) {
  if (status < 0) return nullptr;
  Py_RETURN_NONE;
}

// trace(analyzer, text[, pending]) --
//   Writes one trace message with text as its message. When pending (an exception instance) is
//   given it is set as the caller's pending error first, and the error pending after the trace
//   is returned (and cleared); otherwise returns None.
static PyObject *hook_trace(PyObject *, PyObject *args) {
  PyObject *text, *pending = nullptr;
  PARSE_HOOK("OS|O:trace", &text, &pending);
  if (pending) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(pending)), pending);
  if (quarnel_trace(self, "%s", PyString_AS_STRING(text)) < 0) return nullptr;
  if (!pending) Py_RETURN_NONE;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return optional_result(value);
}

// trace_lineno(analyzer, lineno) --
//   Writes a message with a printf conversion, as the analysis does.
static PyObject *hook_trace_lineno(PyObject *, PyObject *args) {
  int lineno;
  PARSE_HOOK("Oi:trace_lineno", &lineno);
  return status_result(quarnel_trace(self, "Parsing line starting at lineno %d\n", lineno));
}

static PyObject *hook_intern(PyObject *, PyObject *args) {
  PyObject *text;
  PARSE_HOOK("OS:intern", &text);
  return quarnel_intern(self, text);
}

static PyObject *hook_get_time(PyObject *, PyObject *) { return PyFloat_FromDouble(get_time()); }

static PyObject *line_hook(PyObject *args, const char *format,
                           int (*operation)(tSrcInfoCache *, PyObject *)) {
  PyObject *line;
  PARSE_HOOK(format, &line);
  if (!is_logical_line(self, line)) {
    PyErr_SetString(PyExc_TypeError, "a logical line is required");
    return nullptr;
  }
  return status_result(operation(&self->fCache, line));
}

static PyObject *hook_add_line(PyObject *, PyObject *args) {
  return line_hook(args, "OO:cache_add_line", srcinfo_add_line);
}

static PyObject *hook_remove_line(PyObject *, PyObject *args) {
  return line_hook(args, "OO:cache_remove_line", srcinfo_remove_line);
}

static PyObject *hook_defining_lines(PyObject *, PyObject *args) {
  PyObject *name;
  PARSE_HOOK("OO:cache_defining_lines", &name);
  return optional_result(srcinfo_defining_lines(&self->fCache, name));
}

static PyObject *hook_enter(PyObject *, PyObject *args) {
  PyObject *name, *def;
  PARSE_HOOK("OOO:cache_enter", &name, &def);
  return reinterpret_cast<PyObject *>(srcinfo_enter(&self->fCache, name, def));
}

static PyObject *hook_entry_for(PyObject *, PyObject *args) {
  PyObject *name, *def;
  PARSE_HOOK("OOO:cache_entry_for", &name, &def);
  return reinterpret_cast<PyObject *>(srcinfo_entry_for(&self->fCache, name, def));
}

static PyObject *hook_get_def(PyObject *, PyObject *args) {
  PyObject *name;
  PARSE_HOOK("OO:cache_get_def", &name);
  return srcinfo_get_def(&self->fCache, name);
}

static PyObject *hook_drop(PyObject *, PyObject *args) {
  PyObject *name;
  PARSE_HOOK("OO:cache_drop", &name);
  return status_result(srcinfo_drop(&self->fCache, name));
}

static PyObject *hook_get(PyObject *args, const char *format,
                          PyObject *(*operation)(tSrcInfoCache *, PyObject *)) {
  PyObject *name;
  PARSE_HOOK(format, &name);
  return optional_result(operation(&self->fCache, name));
}

static PyObject *hook_get_body(PyObject *, PyObject *args) {
  return hook_get(args, "OO:cache_get_body", srcinfo_get_body);
}

static PyObject *hook_get_attribs(PyObject *, PyObject *args) {
  return hook_get(args, "OO:cache_get_attribs", srcinfo_get_attribs);
}

static PyObject *hook_get_lead(PyObject *, PyObject *args) {
  return hook_get(args, "OO:cache_get_lead", srcinfo_get_lead);
}

// The setters take (analyzer, name, def, value); a value of None stores nothing (clears).
static PyObject *hook_set(PyObject *args, const char *format,
                          int (*operation)(tSrcInfoCache *, PyObject *, PyObject *, PyObject *)) {
  PyObject *name, *def, *value;
  PARSE_HOOK(format, &name, &def, &value);
  return status_result(operation(&self->fCache, name, def, value == Py_None ? nullptr : value));
}

static PyObject *hook_set_body(PyObject *, PyObject *args) {
  return hook_set(args, "OOOO:cache_set_body", srcinfo_set_body);
}

static PyObject *hook_set_lead(PyObject *, PyObject *args) {
  return hook_set(args, "OOOO:cache_set_lead", srcinfo_set_lead);
}

static PyObject *hook_set_attribs(PyObject *, PyObject *args) {
  return hook_set(args, "OOOO:cache_set_attribs", srcinfo_set_attribs);
}

static PyObject *hook_clear(PyObject *args, const char *format,
                            void (*operation)(tSrcInfoCache *, PyObject *)) {
  PyObject *name;
  PARSE_HOOK(format, &name);
  operation(&self->fCache, name);
  Py_RETURN_NONE;
}

static PyObject *hook_clear_body(PyObject *, PyObject *args) {
  return hook_clear(args, "OO:cache_clear_body", srcinfo_clear_body);
}

static PyObject *hook_clear_lead(PyObject *, PyObject *args) {
  return hook_clear(args, "OO:cache_clear_lead", srcinfo_clear_lead);
}

static PyObject *hook_clear_attribs(PyObject *, PyObject *args) {
  return hook_clear(args, "OO:cache_clear_attribs", srcinfo_clear_attribs);
}

static PyObject *hook_scope_count(PyObject *, PyObject *args) {
  PyObject *analyzer_obj;
  if (!PyArg_ParseTuple(args, "O:cache_scope_count", &analyzer_obj)) return nullptr;
  QuarnelImplObject *self = analyzer_arg(analyzer_obj);
  if (!self) return nullptr;
  return PyInt_FromSsize_t(srcinfo_scope_count(&self->fCache));
}

static PyObject *hook_clear_all(PyObject *, PyObject *args) {
  PyObject *analyzer_obj;
  if (!PyArg_ParseTuple(args, "O:cache_clear_all", &analyzer_obj)) return nullptr;
  QuarnelImplObject *self = analyzer_arg(analyzer_obj);
  if (!self) return nullptr;
  srcinfo_clear_all(&self->fCache);
  Py_RETURN_NONE;
}

// cache_maps(analyzer) -> (name map or None, scope map or None), the cache's own dicts.
static PyObject *hook_maps(PyObject *, PyObject *args) {
  PyObject *analyzer_obj;
  if (!PyArg_ParseTuple(args, "O:cache_maps", &analyzer_obj)) return nullptr;
  QuarnelImplObject *self = analyzer_arg(analyzer_obj);
  if (!self) return nullptr;
  PyObject *names = self->fCache.fNameMap ? self->fCache.fNameMap : Py_None;
  PyObject *scopes = self->fCache.fScopeMap ? self->fCache.fScopeMap : Py_None;
  return PyTuple_Pack(2, names, scopes);
}

// render(node) -> the expression's rendered text, as the visitors record it.
static PyObject *hook_render(PyObject *, PyObject *args) {
  PyObject *node;
  if (!PyArg_ParseTuple(args, "O:render", &node)) return nullptr;
  TextBuffer buffer;
  if (AppendExpSource(buffer, node) < 0) return nullptr;
  return PyString_FromStringAndSize(buffer.Text(), Py_ssize_t(buffer.Length()));
}

// walker(analyzer) -> the analyzer's fWalk (the bound Walk of its walker), or None.
static PyObject *hook_walker(PyObject *, PyObject *args) {
  PyObject *analyzer_obj;
  if (!PyArg_ParseTuple(args, "O:walker", &analyzer_obj)) return nullptr;
  QuarnelImplObject *self = analyzer_arg(analyzer_obj);
  if (!self) return nullptr;
  PyObject *walk = self->fWalk ? self->fWalk : Py_None;
  Py_INCREF(walk);
  return walk;
}

// node_walker(visitor_map) -> a NodeWalker over the map, as the analyzer builds one.
static PyObject *hook_node_walker(PyObject *, PyObject *args) {
  PyObject *map;
  if (!PyArg_ParseTuple(args, "O:node_walker", &map)) return nullptr;
  return astinspect_new_walker(map);
}

// set_scope_name(analyzer, line, name) --
//   Stores name (a str, or None for none) as the line's cached scope name, as the scope
//   structure does; tests of stored analyses need lines that carry one.
static PyObject *hook_set_scope_name(PyObject *, PyObject *args) {
  PyObject *line, *name;
  PARSE_HOOK("OOO:set_scope_name", &line, &name);
  if (!is_logical_line(self, line) || (name != Py_None && !PyString_Check(name))) {
    PyErr_SetString(PyExc_TypeError, "a logical line and a str or None are required");
    return nullptr;
  }
  set_owned(line_record(line)->fScopeName, name == Py_None ? nullptr : name);
  Py_RETURN_NONE;
}

#define HOOK(name, function) {name, function, METH_VARARGS, nullptr}

static PyMethodDef hook_methods[] = {
    HOOK("CreateQuarnelImpl", quarnel_CreateQuarnelImpl),
    HOOK("trace", hook_trace),
    HOOK("trace_lineno", hook_trace_lineno),
    HOOK("intern", hook_intern),
    {"get_time", hook_get_time, METH_NOARGS, nullptr},
    HOOK("cache_add_line", hook_add_line),
    HOOK("cache_remove_line", hook_remove_line),
    HOOK("cache_defining_lines", hook_defining_lines),
    HOOK("cache_enter", hook_enter),
    HOOK("cache_entry_for", hook_entry_for),
    HOOK("cache_get_def", hook_get_def),
    HOOK("cache_drop", hook_drop),
    HOOK("cache_get_body", hook_get_body),
    HOOK("cache_get_attribs", hook_get_attribs),
    HOOK("cache_get_lead", hook_get_lead),
    HOOK("cache_set_body", hook_set_body),
    HOOK("cache_set_lead", hook_set_lead),
    HOOK("cache_set_attribs", hook_set_attribs),
    HOOK("cache_clear_body", hook_clear_body),
    HOOK("cache_clear_lead", hook_clear_lead),
    HOOK("cache_clear_attribs", hook_clear_attribs),
    HOOK("cache_scope_count", hook_scope_count),
    HOOK("cache_clear_all", hook_clear_all),
    HOOK("cache_maps", hook_maps),
    HOOK("render", hook_render),
    HOOK("walker", hook_walker),
    HOOK("node_walker", hook_node_walker),
    HOOK("set_scope_name", hook_set_scope_name),
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT init_quarnel_testhooks(void) {
  if (quarnel_ready_types() < 0) return;
  Py_InitModule("_quarnel_testhooks", hook_methods);
}
