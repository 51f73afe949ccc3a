// The source analyzer module quarnel_impl: registration, the QuarnelImpl object (creation,
// binding to the logical-line module, teardown, attributes) and the methods that manage the
// logical list, the counters and the debug trace.
#include "quarnel_implmodule.h"

#include "astinspect.h"
#include "serialization.h"
#include "lineanalysis.h"
#include "search.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <initializer_list>

static_assert(PYTHON_API_VERSION == 1013, "the analyzer is built for the CPython 2.7 API");

// ---------------------------------------------------------------------------------------------
// Shared helpers.

double get_time() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return double(now.tv_sec) + double(now.tv_nsec / 1000000) * 0.001;
}

int is_logical_line(const QuarnelImplObject *self, PyObject *obj) {
  return obj && self->fBinding.fLineType &&
         reinterpret_cast<PyObject *>(Py_TYPE(obj)) == self->fBinding.fLineType;
}

PyObject *pool_intern(PyObject *pool_obj, PyObject *text) {
  if (!pool_obj || !PyDict_Check(pool_obj)) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  PyRef pool = PyRef::borrow(pool_obj);
  PyObject *pooled = PyDict_GetItem(pool.get(), text);
  if (pooled) {
    Py_INCREF(pooled);
    return pooled;
  }
  if (PyDict_SetItem(pool.get(), text, text) < 0) return nullptr;
  Py_INCREF(text);
  return text;
}

PyObject *quarnel_intern(QuarnelImplObject *self, PyObject *text) {
  return pool_intern(self->fNamePool, text);
}

PyObject *quarnel_intern_string(QuarnelImplObject *self, const char *text, Py_ssize_t length) {
  PyRef str(PyString_FromStringAndSize(text, length));
  if (!str) return nullptr;
  return quarnel_intern(self, str.get());
}

// trace_write --
//   Calls tracer.write(text). Returns -1 with the call's error set on failure.
static int trace_write(PyObject *tracer, PyObject *text) {
  static PyObject *write_name = nullptr;  // kept for the life of the process
  if (!write_name) {
    write_name = PyString_InternFromString("write");
    if (!write_name) return -1;
  }
  PyRef result(PyObject_CallMethodObjArgs(tracer, write_name, text, nullptr));
  return result ? 0 : -1;
}

// trace_stamped --
//   Writes the stamp (repr(fModAnalysis), then the time line) and then each of `texts` (str
//   objects made by `make_text(i)`, made only when their turn comes), one write() call each.
template <typename MakeText>
static int trace_stamped(QuarnelImplObject *self, int count, MakeText make_text) {
  // The sink is held for the whole message: a write may replace it (SetTracer) or destroy the
  // analyzer.
  PyRef tracer = PyRef::borrow(self->fTracer);
  if (!tracer) return 0;
  // An error pending in the caller is kept aside while the sink runs Python code, and put back
  // once the message is written.
  PyObject *saved_type, *saved_value, *saved_tb;
  PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
  for (int i = 0; i < count + 2; i++) {
    PyRef text;
    if (i == 0) {
      text.reset(PyObject_Repr(self->fModAnalysis));
    } else if (i == 1) {
      char clock[64];
      snprintf(clock, sizeof clock, " get_time() = %.03f\n", get_time());
      text.reset(PyString_FromString(clock));
    } else {
      text.reset(make_text(i - 2));
    }
    if (!text || trace_write(tracer.get(), text.get()) < 0) {
      Py_XDECREF(saved_type);
      Py_XDECREF(saved_value);
      Py_XDECREF(saved_tb);
      return -1;
    }
  }
  PyErr_Restore(saved_type, saved_value, saved_tb);
  return 0;
}

int quarnel_trace(QuarnelImplObject *self, const char *format, ...) {
  if (!self->fTracer) return 0;
  char message[kTraceBufferSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  return trace_stamped(self, 1, [&](int) { return PyString_FromString(message); });
}

int quarnel_trace_pieces(QuarnelImplObject *self, const char *text, PyObject *obj) {
  if (!self->fTracer) return 0;
  PyRef hold = PyRef::borrow(obj);
  return trace_stamped(self, obj ? 3 : 2, [&](int i) -> PyObject * {
    if (i == 0) return PyString_FromString(text);
    if (i == 1 && obj) return PyObject_Repr(hold.get());
    return PyString_FromString("\n");
  });
}

int require_logical_list(QuarnelImplObject *self) {
  if (self->fLogicalList && PyList_CheckExact(self->fLogicalList)) return 0;
  PyErr_SetString(PyExc_AssertionError, "logical_list is not a list instance");
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Creation, binding and teardown.

// bad_table --
//   Fails the binding with TypeError "Bad logical line function table".
static int bad_table() {
  PyErr_SetString(PyExc_TypeError, "Bad logical line function table");
  return -1;
}

// bind_logical_line_module --
//   Copies the module's function table, keeps the module, its logical line type and the four
//   attribute kinds. The entries the analyzer calls unconditionally must be present and the type
//   must be at least as large as the shared record, so that a wrong module fails here instead of
//   crashing a later call. Returns -1 with an error set on failure (fields already bound stay
//   bound; the caller tears down).
static int bind_logical_line_module(QuarnelImplObject *self, PyObject *module) {
  tLogicalLineBinding &binding = self->fBinding;
  set_owned(binding.fModule, module);
  PyRef get_table(PyObject_GetAttrString(module, "GetDirectLogicalLineFunctionTable"));
  if (!get_table) return -1;
  PyRef cobject(PyObject_CallObject(get_table.get(), nullptr));
  if (!cobject) return -1;
  void *table = PyCObject_Check(cobject.get()) ? PyCObject_AsVoidPtr(cobject.get()) : nullptr;
  if (!table) return PyErr_Occurred() ? -1 : bad_table();
  memcpy(&binding.fTable, table, sizeof binding.fTable);
  for (int entry : {kNewLogicalLineEntry, kIsLogicalLineEntry, kGetLogicalLineTypeEntry,
                    kAddTypeEquivEntry, kAddNameEntry, kAddArgNameEntry, kAddBaseNameEntry}) {
    if (!binding.fTable.entries[entry]) {
      memset(&binding.fTable, 0, sizeof binding.fTable);
      return bad_table();
    }
  }
  auto get_type =
      reinterpret_cast<tGetLogicalLineTypeFunc>(binding.fTable.entries[kGetLogicalLineTypeEntry]);
  PyRef type(get_type());
  if (!type) return PyErr_Occurred() ? -1 : bad_table();
  if (!PyType_Check(type.get()) ||
      reinterpret_cast<PyTypeObject *>(type.get())->tp_basicsize <
          Py_ssize_t(sizeof(LogicalLineObject))) {
    return bad_table();
  }
  binding.fLineType = type.release();

  const struct {
    const char *name;
    PyObject *tLogicalLineBinding::*field;
  } kinds[] = {
      {"kClassAttribKind", &tLogicalLineBinding::kClassAttribKind},
      {"kFunctionAttribKind", &tLogicalLineBinding::kFunctionAttribKind},
      {"kGenericAttribKind", &tLogicalLineBinding::kGenericAttribKind},
      {"kImportedAttribKind", &tLogicalLineBinding::kImportedAttribKind},
  };
  for (const auto &kind : kinds) {
    PyObject *value = PyObject_GetAttrString(module, kind.name);
    if (!value) return -1;
    PyObject *&field = binding.*(kind.field);
    PyObject *old = field;
    field = value;
    Py_XDECREF(old);
  }
  return 0;
}

// quarnel_teardown --
//   Releases everything the analyzer references and zeroes the counters (fCacheNeedsUpdate and
//   fActiveEditLineno keep their values). Every field is emptied before its object is released,
//   so Python code run by a destructor finds a consistent, torn-down analyzer.
static void quarnel_teardown(QuarnelImplObject *self) {
  clear_owned(self->fModAnalysis);
  clear_owned(self->fGrammar);
  clear_owned(self->fTransformNode);
  clear_owned(self->fWalk);
  clear_owned(self->fLogicalList);
  clear_owned(self->fAttribRefFactory);
  clear_owned(self->fFromFutureFlags);
  clear_owned(self->fParseErrors);
  clear_owned(self->fNamePool);
  tLogicalLineBinding &binding = self->fBinding;
  memset(&binding.fTable, 0, sizeof binding.fTable);
  clear_owned(binding.fLineType);
  clear_owned(binding.fModule);
  clear_owned(binding.kFunctionAttribKind);
  clear_owned(binding.kImportedAttribKind);
  clear_owned(binding.kGenericAttribKind);
  clear_owned(binding.kClassAttribKind);
  srcinfo_clear_all(&self->fCache);
  clear_owned(self->fTracer);
  self->fParsedCount = 0;
  self->fActiveMethodCount = 0;
}

// new_analyzer --
//   Allocates an analyzer with every reference null and the counters at their initial values.
static QuarnelImplObject *new_analyzer() {
  QuarnelImplObject *self = PyObject_GC_New(QuarnelImplObject, &QuarnelImplType);
  if (!self) return nullptr;
  self->fModAnalysis = nullptr;
  self->fGrammar = nullptr;
  self->fTransformNode = nullptr;
  self->fWalk = nullptr;
  self->fCacheNeedsUpdate = 1;
  self->fLogicalList = nullptr;
  self->fAttribRefFactory = nullptr;
  self->fParsedCount = 0;
  self->fActiveMethodCount = 0;
  self->fFromFutureFlags = nullptr;
  self->fParseErrors = nullptr;
  self->fActiveEditLineno = -1;
  memset(&self->fBinding, 0, sizeof self->fBinding);
  self->fNamePool = nullptr;
  srcinfo_init(&self->fCache);
  self->fTracer = nullptr;
  return self;
}

PyObject *quarnel_CreateQuarnelImpl(PyObject *, PyObject *args) {
  PyObject *mod_analysis, *grammar, *xformer, *name_pool, *attrib_ref_factory, *line_module;
  if (!PyArg_ParseTuple(args, "O!OOO!OO!:CreateQuarnelImpl", &PyInstance_Type, &mod_analysis,
                        &grammar, &xformer, &PyDict_Type, &name_pool, &attrib_ref_factory,
                        &PyModule_Type, &line_module)) {
    return nullptr;
  }
  // A failure below drops `analyzer`, whose deallocation runs the teardown.
  PyRef analyzer(reinterpret_cast<PyObject *>(new_analyzer()));
  if (!analyzer) return nullptr;
  QuarnelImplObject *self = reinterpret_cast<QuarnelImplObject *>(analyzer.get());
  set_owned(self->fModAnalysis, mod_analysis);
  set_owned(self->fGrammar, grammar);
  set_owned(self->fNamePool, name_pool);
  set_owned(self->fAttribRefFactory, attrib_ref_factory);

  self->fTransformNode = PyObject_GetAttrString(xformer, "TransformNode");
  if (!self->fTransformNode) return nullptr;
  if (bind_logical_line_module(self, line_module) < 0) return nullptr;
  self->fFromFutureFlags = PyDict_New();
  if (!self->fFromFutureFlags) return nullptr;
  self->fParseErrors = PyDict_New();
  if (!self->fParseErrors) return nullptr;

  PyObject_GC_Track(self);
  return analyzer.release();
}

// ---------------------------------------------------------------------------------------------
// The object's type slots.

static int analyzer_traverse(PyObject *obj, visitproc visit, void *arg) {
  QuarnelImplObject *self = reinterpret_cast<QuarnelImplObject *>(obj);
  Py_VISIT(self->fModAnalysis);
  Py_VISIT(self->fGrammar);
  Py_VISIT(self->fTransformNode);
  Py_VISIT(self->fWalk);
  Py_VISIT(self->fLogicalList);
  Py_VISIT(self->fAttribRefFactory);
  Py_VISIT(self->fFromFutureFlags);
  Py_VISIT(self->fParseErrors);
  Py_VISIT(self->fBinding.fModule);
  Py_VISIT(self->fBinding.fLineType);
  Py_VISIT(self->fBinding.kFunctionAttribKind);
  Py_VISIT(self->fBinding.kImportedAttribKind);
  Py_VISIT(self->fBinding.kGenericAttribKind);
  Py_VISIT(self->fBinding.kClassAttribKind);
  Py_VISIT(self->fNamePool);
  Py_VISIT(self->fTracer);
  return srcinfo_traverse(&self->fCache, visit, arg);
}

// analyzer_clear --
//   The collector breaks a cycle through the analyzer the way destroy() does.
static int analyzer_clear(PyObject *obj) {
  quarnel_teardown(reinterpret_cast<QuarnelImplObject *>(obj));
  return 0;
}

static void analyzer_dealloc(PyObject *obj) {
  PyObject_GC_UnTrack(obj);
  quarnel_teardown(reinterpret_cast<QuarnelImplObject *>(obj));
  PyObject_GC_Del(obj);
}

// Read-only attributes: the counters as new ints, the dictionaries as the analyzer's own
// objects (None after destroy).

static PyObject *get_active_method_count(PyObject *obj, void *) {
  return PyInt_FromLong(reinterpret_cast<QuarnelImplObject *>(obj)->fActiveMethodCount);
}

static PyObject *get_parsed_count(PyObject *obj, void *) {
  return PyInt_FromLong(reinterpret_cast<QuarnelImplObject *>(obj)->fParsedCount);
}

static PyObject *get_active_edit_lineno(PyObject *obj, void *) {
  return PyInt_FromLong(reinterpret_cast<QuarnelImplObject *>(obj)->fActiveEditLineno);
}

static PyObject *object_or_none(PyObject *obj) {
  if (!obj) obj = Py_None;
  Py_INCREF(obj);
  return obj;
}

static PyObject *get_from_future_flags(PyObject *obj, void *) {
  return object_or_none(reinterpret_cast<QuarnelImplObject *>(obj)->fFromFutureFlags);
}

static PyObject *get_parse_errors(PyObject *obj, void *) {
  return object_or_none(reinterpret_cast<QuarnelImplObject *>(obj)->fParseErrors);
}

static PyGetSetDef analyzer_getset[] = {
    {const_cast<char *>("fActiveMethodCount"), get_active_method_count, nullptr, nullptr, nullptr},
    {const_cast<char *>("fParsedCount"), get_parsed_count, nullptr, nullptr, nullptr},
    {const_cast<char *>("fActiveEditLineno"), get_active_edit_lineno, nullptr, nullptr, nullptr},
    {const_cast<char *>("fFromFutureFlags"), get_from_future_flags, nullptr, nullptr, nullptr},
    {const_cast<char *>("fParseErrors"), get_parse_errors, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Methods.

// attach_tree_walker --
//   Builds the tree walker with the standard visitors for the current list and stores its bound
//   Walk method in fWalk; the walker itself is kept alive by that method. A destroyed analyzer
//   (no module analysis or name pool) fails with the visitors' constructor error.
static int attach_tree_walker(QuarnelImplObject *self) {
  PyRef walker(astinspect_new_std_walker(self->fModAnalysis, self->fNamePool, self->fLogicalList,
                                         &self->fBinding.fTable));
  if (!walker) return -1;
  PyObject *walk = PyObject_GetAttrString(walker.get(), "Walk");
  if (!walk) return -1;
  PyObject *old = self->fWalk;
  self->fWalk = walk;
  Py_XDECREF(old);
  return 0;
}

// set_logical_list --
//   Keeps `list` as the logical list, counts its analysed lines and attaches the walker. On
//   failure fParsedCount is left as it was; the caller drops the list again.
static int set_logical_list(QuarnelImplObject *self, PyObject *list) {
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "logical_list must be None or a Python list object");
    return -1;
  }
  set_owned(self->fLogicalList, list);
  int parsed = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (!is_logical_line(self, item)) {
      PyErr_SetString(PyExc_TypeError, "All items in the logical_list must be logical lines");
      return -1;
    }
    if (line_record(item)->fFlags & kLineParsedFlag) parsed++;
  }
  if (attach_tree_walker(self) < 0) return -1;
  self->fParsedCount = parsed;
  return 0;
}

// SetLogicalList(logical_list) --
//   Replaces the logical list (None: no list). A failure leaves the analyzer without a list.
static PyObject *QuarnelImpl_SetLogicalList(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  PyObject *list;
  if (!PyArg_ParseTuple(args, "O:SetLogicalList", &list)) return nullptr;
  PyRef hold = PyRef::borrow(list);
  clear_owned(self->fLogicalList);
  clear_owned(self->fWalk);
  if (list == Py_None) Py_RETURN_NONE;
  if (set_logical_list(self, list) < 0) {
    clear_owned(self->fLogicalList);
    clear_owned(self->fWalk);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// SetActiveEditLineno(lineno) --
//   Records the line being edited (not checked).
static PyObject *QuarnelImpl_SetActiveEditLineno(QuarnelImplObject *self, PyObject *args) {
  int lineno;
  if (!PyArg_ParseTuple(args, "i:SetActiveEditLineno", &lineno)) return nullptr;
  self->fActiveEditLineno = lineno;
  Py_RETURN_NONE;
}

// ClearCache() --
//   Empties the source info cache (the lines' cached scope names stay).
static PyObject *QuarnelImpl_ClearCache(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  if (!PyArg_ParseTuple(args, ":ClearCache")) return nullptr;
  srcinfo_clear_all(&self->fCache);
  Py_RETURN_NONE;
}

// IndexForLineno(lineno) --
//   Binary search of the list (ordered by fLineno): the index of the line that spans lineno, or
//   the index at which a line starting at lineno would be inserted. Lines with fLineCount 0 span
//   nothing.
static PyObject *QuarnelImpl_IndexForLineno(QuarnelImplObject *self, PyObject *args) {
  ActiveMethodGuard active(self);
  int lineno;
  if (!PyArg_ParseTuple(args, "i:IndexForLineno", &lineno)) return nullptr;
  if (require_logical_list(self) < 0) return nullptr;
  PyObject *list = self->fLogicalList;
  Py_ssize_t lo = 0, hi = PyList_GET_SIZE(list);
  while (lo < hi) {
    Py_ssize_t mid = lo + (hi - lo) / 2;
    PyObject *item = PyList_GET_ITEM(list, mid);
    if (!is_logical_line(self, item)) {
      PyErr_BadInternalCall();
      return nullptr;
    }
    const LogicalLineObject *line = line_record(item);
    if (line->fLineno > lineno) {
      hi = mid;
    } else if (line->fLineCount != 0 &&
               int64_t(line->fLineno) + line->fLineCount - 1 >= int64_t(lineno)) {
      return PyInt_FromSsize_t(mid);
    } else {
      lo = mid + 1;
    }
  }
  return PyInt_FromSsize_t(hi);
}

// StartActiveMethod() / FinishActiveMethod() --
//   Let the environment bracket its own work in the active-method count.
static PyObject *QuarnelImpl_StartActiveMethod(QuarnelImplObject *self, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":StartActiveMethod")) return nullptr;
  self->fActiveMethodCount++;
  Py_RETURN_NONE;
}

static PyObject *QuarnelImpl_FinishActiveMethod(QuarnelImplObject *self, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":FinishActiveMethod")) return nullptr;
  self->fActiveMethodCount--;
  Py_RETURN_NONE;
}

// SetTracer(tracer) --
//   Replaces the debug trace sink; None switches tracing off.
static PyObject *QuarnelImpl_SetTracer(QuarnelImplObject *self, PyObject *args) {
  PyObject *tracer;
  if (!PyArg_ParseTuple(args, "O:SetTracer", &tracer)) return nullptr;
  set_owned(self->fTracer, tracer == Py_None ? nullptr : tracer);
  Py_RETURN_NONE;
}

// destroy() --
//   Releases everything the analyzer references, breaking cycles with the environment's
//   objects. The object stays usable; methods that need what it held fail.
static PyObject *QuarnelImpl_destroy(QuarnelImplObject *self, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":destroy")) return nullptr;
  quarnel_teardown(self);
  Py_RETURN_NONE;
}

static const char kClearAnalysisDoc[] =
    "Clears any and all analysis info for the given logical.  Sets the fParsed flag to false, "
    "so the logical is reparsed and analyzed the next time info is needed";

#define QUARNEL_METHOD(name, doc) \
  { #name, reinterpret_cast<PyCFunction>(QuarnelImpl_##name), METH_VARARGS, doc }

// The analyzer's methods, in the order the environment knows them.
static PyMethodDef QuarnelImplMethods[] = {
    QUARNEL_METHOD(AnalyzeLogical, "Parse a logical line to fill in analysis fields"),
    QUARNEL_METHOD(ClearAnalysis, kClearAnalysisDoc),
    QUARNEL_METHOD(AnalyzeLogicalList, "Analyze all lines in the given scope. "),
    QUARNEL_METHOD(GetScopeDefForFullName, "Returns the def line for the full name. "),
    QUARNEL_METHOD(GetFullNameForScopeDef, "Returns the full name for the def line."),
    QUARNEL_METHOD(LogicalCacheModified, "Called when the logical cache was modified; returns "
                                         "the changed scopes and definitions"),
    QUARNEL_METHOD(GetBodyOfScope,
                   "Returns a list of all logicals in scope (and not in a subscope). "),
    QUARNEL_METHOD(AstForLogicalLine,
                   "Parse a single logical line and return the abstract syntax tree"),
    QUARNEL_METHOD(ParseLogicalLine, "Parse a single logical line"),
    QUARNEL_METHOD(FindScopeForLine,
                   "Find the logical which defines the scope the given logical is in."),
    QUARNEL_METHOD(LogicalCacheNeedsUpdate,
                   "Called when there are pending updates in the logical cache"),
    QUARNEL_METHOD(SearchForAttribs, kSearchForAttribsDoc),
    QUARNEL_METHOD(FindTypeEquivs, kFindTypeEquivsDoc),
    QUARNEL_METHOD(FindInstAttribTypeEquivs, kFindInstAttribTypeEquivsDoc),
    QUARNEL_METHOD(GetInstanceAttributes, kGetInstanceAttributesDoc),
    QUARNEL_METHOD(SetLogicalList, "Set the list of logicals in the module"),
    QUARNEL_METHOD(SetActiveEditLineno, "Set the lineno being actively editted"),
    QUARNEL_METHOD(ClearCache, "Clears all entries from the source info cache"),
    QUARNEL_METHOD(SerializeLogicalList, kSerializeLogicalListDoc),
    QUARNEL_METHOD(DeserializeLogicalList, kDeserializeLogicalListDoc),
    QUARNEL_METHOD(RebuildCache, "Rebuilds source info cache from logical list"),
    QUARNEL_METHOD(IndexForLineno,
                   "Returns index of logical in logical list which includes the given line #"),
    QUARNEL_METHOD(StartActiveMethod, "Add 1 to the active method count"),
    QUARNEL_METHOD(FinishActiveMethod, "Subtract 1 to the active method count"),
    QUARNEL_METHOD(SetTracer, "Set tracer object"),
    QUARNEL_METHOD(destroy, "Destroy method to clear circular refs. "),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject QuarnelImplType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "quarnel_impl.QuarnelImpl",               // tp_name
    sizeof(QuarnelImplObject),                // tp_basicsize
    0,                                        // tp_itemsize
    analyzer_dealloc,                         // tp_dealloc
    nullptr,                                  // tp_print
    nullptr,                                  // tp_getattr
    nullptr,                                  // tp_setattr
    nullptr,                                  // tp_compare
    nullptr,                                  // tp_repr
    nullptr,                                  // tp_as_number
    nullptr,                                  // tp_as_sequence
    nullptr,                                  // tp_as_mapping
    nullptr,                                  // tp_hash
    nullptr,                                  // tp_call
    nullptr,                                  // tp_str
    nullptr,                                  // tp_getattro
    nullptr,                                  // tp_setattro
    nullptr,                                  // tp_as_buffer
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  // tp_flags
    nullptr,                                  // tp_doc
    analyzer_traverse,                        // tp_traverse
    analyzer_clear,                           // tp_clear
    nullptr,                                  // tp_richcompare
    0,                                        // tp_weaklistoffset
    nullptr,                                  // tp_iter
    nullptr,                                  // tp_iternext
    QuarnelImplMethods,                       // tp_methods
    nullptr,                                  // tp_members
    analyzer_getset,                          // tp_getset
    nullptr,                                  // tp_base
    nullptr,                                  // tp_dict
    nullptr,                                  // tp_descr_get
    nullptr,                                  // tp_descr_set
    0,                                        // tp_dictoffset
    nullptr,                                  // tp_init
    nullptr,                                  // tp_alloc
    nullptr,                                  // tp_new
    nullptr,                                  // tp_free
    nullptr,                                  // tp_is_gc
    nullptr,                                  // tp_bases
    nullptr,                                  // tp_mro
    nullptr,                                  // tp_cache
    nullptr,                                  // tp_subclasses
    nullptr,                                  // tp_weaklist
    nullptr,                                  // tp_del
    0,                                        // tp_version_tag
};

int quarnel_ready_types() {
  if (astinspect_ready_types() < 0) return -1;
  return PyType_Ready(&QuarnelImplType);
}

// ---------------------------------------------------------------------------------------------
// Module functions and registration.

static bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// IsDottedName(name) --
//   True for a str whose first character is an ASCII letter or "_" and whose others are ASCII
//   letters, digits, "_" or "."; False for anything else.
static PyObject *quarnel_IsDottedName(PyObject *, PyObject *args) {
  PyObject *name;
  if (!PyArg_ParseTuple(args, "O:IsDottedName", &name)) return nullptr;
  if (!PyString_Check(name) || PyString_GET_SIZE(name) == 0) Py_RETURN_FALSE;
  const char *text = PyString_AS_STRING(name);
  Py_ssize_t size = PyString_GET_SIZE(name);
  if (!is_ascii_letter(text[0]) && text[0] != '_') Py_RETURN_FALSE;
  for (Py_ssize_t i = 1; i < size; i++) {
    char c = text[i];
    if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_' && c != '.') Py_RETURN_FALSE;
  }
  Py_RETURN_TRUE;
}

static const char create_doc[] =
    "Create a new python source analyzer.\n"
    "mod_analysis: analysis.CQuarnelAnalysis -- analysis of module\n"
    "grammar -- Grammar used to parse lines\n"
    "xformer -- Node transformer used to convert to AST\n"
    "name_pool: PyDict -- dictionary containing shared strings";

static PyMethodDef QuarnelModuleMethods[] = {
    {"CreateQuarnelImpl", quarnel_CreateQuarnelImpl, METH_VARARGS, create_doc},
    {"IsDottedName", quarnel_IsDottedName, METH_VARARGS,
     "Returns whether name is a valid Python dotted name with no spaces"},
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT initquarnel_impl(void) {
  if (quarnel_ready_types() < 0) return;
  Py_InitModule4("quarnel_impl", QuarnelModuleMethods, nullptr, nullptr, PYTHON_API_VERSION);
  if (PyErr_Occurred()) Py_FatalError("can't initialize module quarnel_impl");
}
