// The environment's logical-line module: the LogicalLine type whose record the analyzer reads
// directly (layout in logicalline.h), the function table it calls to record analysis results, and
// the attribute-kind values of its search results.
#include "logicalline.h"

#include <limits.h>
#include <string.h>

#include "pyref.h"

// The object behind a LogicalLine: the shared record first, then what only this module reads.
// The arrays of the record grow by doubling; their capacities live here, not in the record.
struct tLogicalLine {
  LogicalLineObject fLine;
  PyObject *fBaseNames;     // list of base-class texts recorded by AddBaseName, or null
  uint32_t fNameCapacity;   // slots allocated for fLine.fNames
  uint32_t fEquivCapacity;  // pairs allocated for fLine.fEquivs
};

extern PyTypeObject LogicalLineType;

static inline tLogicalLine *as_line(PyObject *obj) { return reinterpret_cast<tLogicalLine *>(obj); }

// is_logical_line --
//   Table entry 1: non-zero when obj is a LogicalLine. The type is final, so the analyzer's exact
//   type test and this one agree.
static int is_logical_line(PyObject *obj) { return obj && Py_TYPE(obj) == &LogicalLineType; }

// check_line --
//   Returns 0 when obj is a LogicalLine, else -1 with TypeError set (for the table entries, which
//   the analyzer calls with whatever object it holds).
static int check_line(PyObject *obj) {
  if (is_logical_line(obj)) return 0;
  PyErr_SetString(PyExc_TypeError, "a LogicalLine is required");
  return -1;
}

// release_objects --
//   Releases `count` references of a detached array and frees the array.
static void release_objects(PyObject **objects, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; i++) Py_XDECREF(objects[i]);
  PyMem_Free(objects);
}

// clear_tokens --
//   Empties the token and position arrays. The record is emptied before any reference is
//   released, so code run by a destructor sees a consistent line.
static void clear_tokens(tLogicalLine *self) {
  PyObject **tokens = self->fLine.fTokens;
  Py_ssize_t count = self->fLine.fTokenCount;
  self->fLine.fTokens = nullptr;
  self->fLine.fTokenCount = 0;
  PyMem_Free(self->fLine.fTokenPositions);
  self->fLine.fTokenPositions = nullptr;
  if (tokens) release_objects(tokens, count);
}

// clear_analysis --
//   Empties fNames, fEquivs and the base names (detaching them first, as clear_tokens does).
static void clear_analysis(tLogicalLine *self) {
  PyObject **names = self->fLine.fNames;
  Py_ssize_t name_count = self->fLine.fNameCount;
  PyObject **equivs = self->fLine.fEquivs;
  Py_ssize_t equiv_count = Py_ssize_t(self->fLine.fEquivCount) * 2;
  self->fLine.fNames = nullptr;
  self->fLine.fNameCount = 0;
  self->fNameCapacity = 0;
  self->fLine.fEquivs = nullptr;
  self->fLine.fEquivCount = 0;
  self->fEquivCapacity = 0;
  if (names) release_objects(names, name_count);
  if (equivs) release_objects(equivs, equiv_count);
  clear_owned(self->fBaseNames);
}

// new_line --
//   Allocates an empty line (no tokens, line 0, type 0, no flags), tracked by the collector.
static PyObject *new_line() {
  tLogicalLine *self = PyObject_GC_New(tLogicalLine, &LogicalLineType);
  if (!self) return nullptr;
  LogicalLineObject &line = self->fLine;
  line.fTokens = nullptr;
  line.fTokenPositions = nullptr;
  line.fLineno = 0;
  line.fTokenCount = 0;
  line.fNameCount = 0;
  line.fEquivCount = 0;
  line.fIndent = 0;
  line.fLineCount = 0;
  line.fLineType = 0;
  line.fFlags = 0;
  line.fScopeName = nullptr;
  line.fNames = nullptr;
  line.fEquivs = nullptr;
  self->fBaseNames = nullptr;
  self->fNameCapacity = 0;
  self->fEquivCapacity = 0;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject *>(self);
}

// Table entry 0: a new empty line.
static PyObject *table_new_line(void) { return new_line(); }

// Table entry 2: the LogicalLine type (a new reference).
static PyObject *table_get_type(void) {
  Py_INCREF(&LogicalLineType);
  return reinterpret_cast<PyObject *>(&LogicalLineType);
}

// grow_array --
//   Makes room for `needed` slots in *array (capacity *capacity, in slots of `slot` objects),
//   doubling the allocation. Returns -1 with MemoryError set on failure.
static int grow_array(PyObject ***array, uint32_t *capacity, uint32_t needed, size_t slot) {
  if (needed <= *capacity) return 0;
  uint64_t wanted = *capacity ? uint64_t(*capacity) * 2 : 4;
  if (wanted < needed) wanted = needed;
  if (wanted > UINT32_MAX / 2 || wanted * slot > size_t(PY_SSIZE_T_MAX) / sizeof(PyObject *)) {
    PyErr_NoMemory();
    return -1;
  }
  PyObject **grown = static_cast<PyObject **>(
      PyMem_Realloc(*array, size_t(wanted) * slot * sizeof(PyObject *)));
  if (!grown) {
    PyErr_NoMemory();
    return -1;
  }
  *array = grown;
  *capacity = uint32_t(wanted);
  return 0;
}

// table_add_name --
//   Table entry 7: appends entry (a str, or a tuple led by the local name) to fNames.
static int table_add_name(PyObject *line, PyObject *entry) {
  if (check_line(line) < 0) return -1;
  if (!entry) {
    PyErr_BadInternalCall();
    return -1;
  }
  tLogicalLine *self = as_line(line);
  uint32_t count = self->fLine.fNameCount;
  if (count == UINT32_MAX) return PyErr_NoMemory(), -1;
  if (grow_array(&self->fLine.fNames, &self->fNameCapacity, count + 1, 1) < 0) return -1;
  logical_line_hold(line, entry);
  Py_INCREF(entry);
  self->fLine.fNames[count] = entry;
  self->fLine.fNameCount = count + 1;
  return 0;
}

// table_add_arg_name --
//   Table entry 8: a def line's parameters are its fNames, in order.
static int table_add_arg_name(PyObject *line, PyObject *name) { return table_add_name(line, name); }

// table_add_type_equiv --
//   Table entry 5: appends the pair (name, equiv) to fEquivs.
static int table_add_type_equiv(PyObject *line, PyObject *name, PyObject *equiv) {
  if (check_line(line) < 0) return -1;
  if (!name || !equiv) {
    PyErr_BadInternalCall();
    return -1;
  }
  tLogicalLine *self = as_line(line);
  uint32_t count = self->fLine.fEquivCount;
  if (count == UINT32_MAX) return PyErr_NoMemory(), -1;
  if (grow_array(&self->fLine.fEquivs, &self->fEquivCapacity, count + 1, 2) < 0) return -1;
  logical_line_hold(line, name);
  logical_line_hold(line, equiv);
  Py_INCREF(name);
  Py_INCREF(equiv);
  self->fLine.fEquivs[2 * count] = name;
  self->fLine.fEquivs[2 * count + 1] = equiv;
  self->fLine.fEquivCount = count + 1;
  return 0;
}

// table_add_base_name --
//   Table entry 9: appends a base-class text to the line's fBaseNames list. Making the list may
//   start a collection whose finalizers record base names first; the list they made is kept.
static int table_add_base_name(PyObject *line, PyObject *base) {
  if (check_line(line) < 0) return -1;
  if (!base) {
    PyErr_BadInternalCall();
    return -1;
  }
  tLogicalLine *self = as_line(line);
  if (!self->fBaseNames) {
    PyRef list(PyList_New(0));
    if (!list) return -1;
    logical_line_hold(line, list.get());
    if (!self->fBaseNames) self->fBaseNames = list.release();
  }
  return PyList_Append(self->fBaseNames, base);
}

// table_clear_analysis --
//   Table entry 11: forgets what analysis recorded on the line (names, equivalences and base
//   names), so a new analysis does not add to stale records.
static int table_clear_analysis(PyObject *line) {
  if (check_line(line) < 0) return -1;
  clear_analysis(as_line(line));
  return 0;
}

static LogicalLineFunctionTable gFunctionTable = {{
    reinterpret_cast<void *>(table_new_line),        // 0 NewLogicalLine
    reinterpret_cast<void *>(is_logical_line),       // 1 IsLogicalLine
    reinterpret_cast<void *>(table_get_type),        // 2 GetLogicalLineType
    nullptr,                                         // 3
    nullptr,                                         // 4
    reinterpret_cast<void *>(table_add_type_equiv),  // 5 AddTypeEquiv
    nullptr,                                         // 6
    reinterpret_cast<void *>(table_add_name),        // 7 AddName
    reinterpret_cast<void *>(table_add_arg_name),    // 8 AddArgName
    reinterpret_cast<void *>(table_add_base_name),   // 9 AddBaseName
    nullptr,                                         // 10
    reinterpret_cast<void *>(table_clear_analysis),  // 11 ClearLineAnalysis
}};

// as_tuple --
//   A tuple of the items of seq (seq itself when it is a tuple): items read from it stay put and
//   alive while the Python code they run (__int__, __index__) works on other objects. TypeError
//   with `message` when seq is not iterable.
static PyObject *as_tuple(PyObject *seq, const char *message) {
  PyRef fast(PySequence_Fast(seq, message));
  if (!fast || PyTuple_Check(fast.get())) return fast.release();
  return PyList_AsTuple(fast.get());
}

// parse_position --
//   Reads one (first, second) pair of 0..65535 ints into out[0], out[1].
static int parse_position(PyObject *pair, uint16_t *out) {
  const char *message = "each token position must be a (first, second) pair";
  PyRef items(as_tuple(pair, message));
  if (!items) return -1;
  if (PyTuple_GET_SIZE(items.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  for (int i = 0; i < 2; i++) {
    long value = PyInt_AsLong(PyTuple_GET_ITEM(items.get(), i));
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value < 0 || value > 65535) {
      PyErr_SetString(PyExc_ValueError, "token positions must be in 0..65535");
      return -1;
    }
    out[i] = uint16_t(value);
  }
  return 0;
}

// new_positions --
//   A zeroed position array for `count` tokens (PyMem; never null on success, even for 0).
static uint16_t *new_positions(Py_ssize_t count) {
  size_t size = size_t(count) * 2 * sizeof(uint16_t);
  uint16_t *array = static_cast<uint16_t *>(PyMem_Malloc(size + 1));
  if (!array) return PyErr_NoMemory(), nullptr;
  memset(array, 0, size);
  return array;
}

// read_plain_positions --
//   parse_positions for an exact list or tuple of exact (int, int) tuples in range, as the
//   cutter makes them, read in place (no Python code runs). False, with nothing made, for any
//   other sequence; true with *out set, or null with an error set.
static bool read_plain_positions(PyObject *positions, uint16_t **out, Py_ssize_t *count) {
  if (!PyList_CheckExact(positions) && !PyTuple_CheckExact(positions)) return false;
  Py_ssize_t size = PySequence_Fast_GET_SIZE(positions);
  PyObject **items = PySequence_Fast_ITEMS(positions);
  if (size > INT32_MAX / 2) return false;
  for (Py_ssize_t i = 0; i < size; i++) {
    PyObject *pair = items[i];
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
    for (int k = 0; k < 2; k++) {
      PyObject *value = PyTuple_GET_ITEM(pair, k);
      if (!PyInt_CheckExact(value) || PyInt_AS_LONG(value) < 0 || PyInt_AS_LONG(value) > 65535) {
        return false;
      }
    }
  }
  uint16_t *array = new_positions(size);
  if (array) {
    for (Py_ssize_t i = 0; i < size; i++) {
      array[2 * i] = uint16_t(PyInt_AS_LONG(PyTuple_GET_ITEM(items[i], 0)));
      array[2 * i + 1] = uint16_t(PyInt_AS_LONG(PyTuple_GET_ITEM(items[i], 1)));
    }
  }
  *out = array;
  *count = size;
  return true;
}

// parse_positions --
//   Reads a sequence of position pairs into a new array (*out, PyMem) and their number into
//   *count. Nothing of the line is read here: the pairs' conversions run Python code that may
//   change it, so the caller checks the count against the line afterwards.
static int parse_positions(PyObject *positions, uint16_t **out, Py_ssize_t *count) {
  *out = nullptr;
  if (read_plain_positions(positions, out, count)) return *out ? 0 : -1;
  PyRef pairs(as_tuple(positions, "token positions must be a sequence of pairs"));
  if (!pairs) return -1;
  Py_ssize_t size = PyTuple_GET_SIZE(pairs.get());
  if (size > INT32_MAX / 2) return PyErr_SetString(PyExc_OverflowError, "too many tokens"), -1;
  uint16_t *array = new_positions(size);
  if (!array) return -1;
  for (Py_ssize_t i = 0; i < size; i++) {
    if (parse_position(PyTuple_GET_ITEM(pairs.get(), i), array + 2 * i) < 0) {
      PyMem_Free(array);
      return -1;
    }
  }
  *out = array;
  *count = size;
  return 0;
}

// new_token_array --
//   A new PyMem array holding a reference to each of count items.
static PyObject **new_token_array(PyObject **items, Py_ssize_t count) {
  PyObject **tokens = static_cast<PyObject **>(PyMem_Malloc(size_t(count) * sizeof(PyObject *) + 1));
  if (!tokens) return PyErr_NoMemory(), nullptr;
  for (Py_ssize_t i = 0; i < count; i++) {
    tokens[i] = items[i];
    Py_INCREF(tokens[i]);
  }
  return tokens;
}

// install_tokens --
//   Puts complete new token and position arrays for `count` tokens in place in one step, then
//   frees the old ones. The old tokens are released last: their destructors may run Python code,
//   which then finds a consistent line.
static void install_tokens(tLogicalLine *self, PyObject **tokens, Py_ssize_t count,
                           uint16_t *positions) {
  for (Py_ssize_t i = 0; i < count; i++) {
    logical_line_hold(reinterpret_cast<PyObject *>(self), tokens[i]);
  }
  PyObject **old_tokens = self->fLine.fTokens;
  Py_ssize_t old_count = self->fLine.fTokenCount;
  uint16_t *old_positions = self->fLine.fTokenPositions;
  self->fLine.fTokens = tokens;
  self->fLine.fTokenPositions = positions;
  self->fLine.fTokenCount = int32_t(count);
  PyMem_Free(old_positions);
  if (old_tokens) release_objects(old_tokens, old_count);
}

// set_tokens --
//   Replaces the line's tokens by the items of `tokens` (any objects; the analyzer uses the str
//   ones) and its positions by `positions`, one pair per token. When positions is null or None
//   the tokens that remain keep their positions and new ones get zeros; those are copied from the
//   line as it is once the new values are read, since reading them runs Python code (a
//   generator, an item's __int__, a collection's finalizers) that may replace the tokens too.
//   Everything is built aside; the line changes in one step, when nothing can fail.
static int set_tokens(tLogicalLine *self, PyObject *tokens, PyObject *positions) {
  // The tokens are taken first (from a list or tuple in place, else from a copy): reading the
  // positions may run Python code that changes the sequence.
  PyRef items;
  if (PyList_CheckExact(tokens) || PyTuple_CheckExact(tokens)) {
    items = PyRef::borrow(tokens);
  } else {
    items.reset(as_tuple(tokens, "tokens must be a sequence"));
    if (!items) return -1;
  }
  Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  if (count > INT32_MAX / 2) return PyErr_SetString(PyExc_OverflowError, "too many tokens"), -1;
  PyObject **array = new_token_array(PySequence_Fast_ITEMS(items.get()), count);
  if (!array) return -1;
  bool keep = !positions || positions == Py_None;
  uint16_t *pairs = nullptr;
  if (keep) {
    pairs = new_positions(count);
  } else {
    Py_ssize_t pair_count = 0;
    if (parse_positions(positions, &pairs, &pair_count) == 0 && pair_count != count) {
      PyMem_Free(pairs);
      pairs = nullptr;
      PyErr_SetString(PyExc_ValueError, "there must be one position pair per token");
    }
  }
  if (!pairs) {
    release_objects(array, count);
    return -1;
  }
  // From here to the swap no Python code runs.
  Py_ssize_t kept = keep ? (self->fLine.fTokenCount < count ? self->fLine.fTokenCount : count) : 0;
  if (kept > 0) memcpy(pairs, self->fLine.fTokenPositions, size_t(kept) * 2 * sizeof(uint16_t));
  install_tokens(self, array, count, pairs);
  return 0;
}

// LogicalLine.__new__ --
//   LogicalLine(tokens=(), positions=None, lineno=0, linecount=0, indent=0, linetype=0): a line
//   with those tokens and one (first, second) position pair per token (zeros when None).
static PyObject *line_new(PyTypeObject *, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"tokens", "positions", "lineno", "linecount", "indent",
                                 "linetype", nullptr};
  PyObject *tokens = nullptr, *positions = nullptr;
  int lineno = 0;
  short linecount = 0, indent = 0;
  unsigned char linetype = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOihhb:LogicalLine", const_cast<char **>(kwlist),
                                   &tokens, &positions, &lineno, &linecount, &indent,
                                   &linetype)) {
    return nullptr;
  }
  PyRef line(new_line());
  if (!line) return nullptr;
  tLogicalLine *self = as_line(line.get());
  if (tokens && set_tokens(self, tokens, positions) < 0) return nullptr;
  if (!tokens && positions && positions != Py_None) {
    PyErr_SetString(PyExc_ValueError, "there must be one position pair per token");
    return nullptr;
  }
  self->fLine.fLineno = lineno;
  self->fLine.fLineCount = linecount;
  self->fLine.fIndent = indent;
  self->fLine.fLineType = linetype;
  return line.release();
}

// line_traverse --
//   Visits every object the line holds (tokens, names, equivalences, scope name, base names).
static int line_traverse(PyObject *obj, visitproc visit, void *arg) {
  tLogicalLine *self = as_line(obj);
  for (int32_t i = 0; i < self->fLine.fTokenCount; i++) Py_VISIT(self->fLine.fTokens[i]);
  for (uint32_t i = 0; i < self->fLine.fNameCount; i++) Py_VISIT(self->fLine.fNames[i]);
  for (uint64_t i = 0; i < uint64_t(self->fLine.fEquivCount) * 2; i++) {
    Py_VISIT(self->fLine.fEquivs[i]);
  }
  Py_VISIT(self->fLine.fScopeName);
  Py_VISIT(self->fBaseNames);
  return 0;
}

// line_clear --
//   Drops every reference the line holds (breaks cycles through import records).
static int line_clear(PyObject *obj) {
  tLogicalLine *self = as_line(obj);
  clear_analysis(self);
  clear_owned(self->fLine.fScopeName);
  clear_tokens(self);
  return 0;
}

// line_dealloc --
//   Frees the line. A line can hold the next one of a long chain (through its names or tokens);
//   the trashcan defers nested frees so freeing the head does not recurse once per line.
static void line_dealloc(PyObject *obj) {
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_SAFE_BEGIN(obj)
  line_clear(obj);
  PyObject_GC_Del(obj);
  Py_TRASHCAN_SAFE_END(obj)
}

static PyObject *line_repr(PyObject *obj) {
  tLogicalLine *self = as_line(obj);
  return PyString_FromFormat("<LogicalLine lineno=%d linecount=%d type=%d tokens=%d>",
                             int(self->fLine.fLineno), int(self->fLine.fLineCount),
                             int(self->fLine.fLineType), int(self->fLine.fTokenCount));
}

// Attribute getters and setters. Closures select the field or flag bit.

enum tField { kFieldLineno, kFieldTokenCount, kFieldLineCount, kFieldIndent, kFieldLineType,
              kFieldFlags, kFieldNameCount, kFieldEquivCount };

static PyObject *get_int_field(PyObject *obj, void *closure) {
  const LogicalLineObject &line = as_line(obj)->fLine;
  switch (static_cast<tField>(reinterpret_cast<intptr_t>(closure))) {
    case kFieldLineno: return PyInt_FromLong(line.fLineno);
    case kFieldTokenCount: return PyInt_FromLong(line.fTokenCount);
    case kFieldLineCount: return PyInt_FromLong(line.fLineCount);
    case kFieldIndent: return PyInt_FromLong(line.fIndent);
    case kFieldLineType: return PyInt_FromLong(line.fLineType);
    case kFieldFlags: return PyInt_FromLong(line.fFlags);
    case kFieldNameCount: return PyLong_FromUnsignedLong(line.fNameCount);
    case kFieldEquivCount: return PyLong_FromUnsignedLong(line.fEquivCount);
  }
  PyErr_BadInternalCall();
  return nullptr;
}

// set_int_field --
//   Sets a numeric field; values outside the field's range raise OverflowError.
static int set_int_field(PyObject *obj, PyObject *value, void *closure) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "LogicalLine fields cannot be deleted");
    return -1;
  }
  long number = PyInt_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return -1;
  LogicalLineObject &line = as_line(obj)->fLine;
  tField field = static_cast<tField>(reinterpret_cast<intptr_t>(closure));
  long low = 0, high = 0;
  switch (field) {
    case kFieldLineno: low = INT32_MIN, high = INT32_MAX; break;
    case kFieldLineCount:
    case kFieldIndent: low = INT16_MIN, high = INT16_MAX; break;
    case kFieldLineType:
    case kFieldFlags: low = 0, high = UINT8_MAX; break;
    default: PyErr_BadInternalCall(); return -1;
  }
  if (number < low || number > high) {
    PyErr_SetString(PyExc_OverflowError, "value out of range for this LogicalLine field");
    return -1;
  }
  switch (field) {
    case kFieldLineno: line.fLineno = int32_t(number); break;
    case kFieldLineCount: line.fLineCount = int16_t(number); break;
    case kFieldIndent: line.fIndent = int16_t(number); break;
    case kFieldLineType: line.fLineType = uint8_t(number); break;
    default: line.fFlags = uint8_t(number); break;
  }
  return 0;
}

static PyObject *get_flag(PyObject *obj, void *closure) {
  uint8_t bit = uint8_t(reinterpret_cast<intptr_t>(closure));
  return PyBool_FromLong(as_line(obj)->fLine.fFlags & bit);
}

static int set_flag(PyObject *obj, PyObject *value, void *closure) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "LogicalLine fields cannot be deleted");
    return -1;
  }
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  uint8_t bit = uint8_t(reinterpret_cast<intptr_t>(closure));
  uint8_t &flags = as_line(obj)->fLine.fFlags;
  flags = truth ? uint8_t(flags | bit) : uint8_t(flags & ~bit);
  return 0;
}

// list_of --
//   A new list of the `count * width` objects of an array of the line, both given as the line's
//   own fields. They are read after the list is allocated, since the allocation may start a
//   collection whose finalizers change the line; a count changed that way is read again.
template <typename Count>
static PyObject *list_of(PyObject **const &objects, const Count &count, Py_ssize_t width = 1) {
  for (;;) {
    Py_ssize_t size = Py_ssize_t(count) * width;
    PyObject *list = PyList_New(size);
    if (!list) return nullptr;
    if (Py_ssize_t(count) * width != size) {
      Py_DECREF(list);  // still empty: freeing it runs no Python code
      continue;
    }
    for (Py_ssize_t i = 0; i < size; i++) {
      Py_INCREF(objects[i]);
      PyList_SET_ITEM(list, i, objects[i]);
    }
    return list;
  }
}

static PyObject *get_tokens(PyObject *obj, void *) {
  const LogicalLineObject &line = as_line(obj)->fLine;
  return list_of(line.fTokens, line.fTokenCount);
}

// set_tokens_attr --
//   Replaces the tokens; positions are kept for tokens that still have one, zero for new ones.
static int set_tokens_attr(PyObject *obj, PyObject *value, void *) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "LogicalLine fields cannot be deleted");
    return -1;
  }
  return set_tokens(as_line(obj), value, nullptr);
}

// get_positions --
//   The positions as a new list of pairs, built from a copy of the array: each pair allocated
//   may start a collection whose finalizers replace the line's arrays.
static PyObject *get_positions(PyObject *obj, void *) {
  const LogicalLineObject &line = as_line(obj)->fLine;
  Py_ssize_t count = line.fTokenCount;
  size_t size = size_t(count) * 2 * sizeof(uint16_t);
  uint16_t *copy = static_cast<uint16_t *>(PyMem_Malloc(size + 1));
  if (!copy) return PyErr_NoMemory();
  if (count > 0) memcpy(copy, line.fTokenPositions, size);
  PyObject *list = PyList_New(count);
  for (Py_ssize_t i = 0; list && i < count; i++) {
    PyObject *pair = Py_BuildValue("(ii)", int(copy[2 * i]), int(copy[2 * i + 1]));
    if (!pair) Py_CLEAR(list);
    else PyList_SET_ITEM(list, i, pair);
  }
  PyMem_Free(copy);
  return list;
}

// set_positions_attr --
//   Replaces the positions: one (first, second) pair per token. The count is compared with the
//   line after the pairs are read, since their conversions may replace the tokens.
static int set_positions_attr(PyObject *obj, PyObject *value, void *) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "LogicalLine fields cannot be deleted");
    return -1;
  }
  tLogicalLine *self = as_line(obj);
  uint16_t *positions = nullptr;
  Py_ssize_t count = 0;
  if (parse_positions(value, &positions, &count) < 0) return -1;
  if (count != self->fLine.fTokenCount) {
    PyMem_Free(positions);
    PyErr_SetString(PyExc_ValueError, "there must be one position pair per token");
    return -1;
  }
  uint16_t *old = self->fLine.fTokenPositions;
  self->fLine.fTokenPositions = positions;
  PyMem_Free(old);
  return 0;
}

static PyObject *get_scope_name(PyObject *obj, void *) {
  PyObject *name = as_line(obj)->fLine.fScopeName;
  if (!name) name = Py_None;
  Py_INCREF(name);
  return name;
}

static PyObject *get_names(PyObject *obj, void *) {
  const LogicalLineObject &line = as_line(obj)->fLine;
  return list_of(line.fNames, line.fNameCount);
}

// get_equivs --
//   The equivalences as a new list of pairs, made from a snapshot list of the objects, which
//   keeps them alive while the pairs are allocated.
static PyObject *get_equivs(PyObject *obj, void *) {
  const LogicalLineObject &line = as_line(obj)->fLine;
  PyRef flat(list_of(line.fEquivs, line.fEquivCount, 2));
  if (!flat) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(flat.get()) / 2;
  PyRef list(PyList_New(count));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < count; i++) {
    PyObject *pair = PyTuple_Pack(2, PyList_GET_ITEM(flat.get(), 2 * i),
                                  PyList_GET_ITEM(flat.get(), 2 * i + 1));
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), i, pair);
  }
  return list.release();
}

// get_base_names --
//   A copy of the base names; the list is held while the copy is allocated, since a collection
//   that starts there may clear the line's analysis.
static PyObject *get_base_names(PyObject *obj, void *) {
  PyRef bases = PyRef::borrow(as_line(obj)->fBaseNames);
  if (!bases) return PyList_New(0);
  return PyList_GetSlice(bases.get(), 0, PyList_GET_SIZE(bases.get()));
}

#define INT_FIELD(name, field, setter, doc) \
  { const_cast<char *>(name), get_int_field, setter, const_cast<char *>(doc), \
    reinterpret_cast<void *>(intptr_t(field)) }
#define FLAG_FIELD(name, bit, doc) \
  { const_cast<char *>(name), get_flag, set_flag, const_cast<char *>(doc), \
    reinterpret_cast<void *>(intptr_t(bit)) }

static PyGetSetDef line_getset[] = {
    {const_cast<char *>("fTokens"), get_tokens, set_tokens_attr,
     const_cast<char *>("The tokens, as a new list; assigning keeps the positions of the tokens "
                        "that remain and gives new tokens (0, 0)"),
     nullptr},
    {const_cast<char *>("fTokenPositions"), get_positions, set_positions_attr,
     const_cast<char *>("(first, second) position pairs, one per token"), nullptr},
    INT_FIELD("fLineno", kFieldLineno, set_int_field, "First physical line"),
    INT_FIELD("fTokenCount", kFieldTokenCount, nullptr, "Number of tokens"),
    INT_FIELD("fLineCount", kFieldLineCount, set_int_field, "Number of physical lines"),
    INT_FIELD("fIndent", kFieldIndent, set_int_field, "Indentation level, 0 at module level"),
    INT_FIELD("fLineType", kFieldLineType, set_int_field, "Line type code"),
    INT_FIELD("fFlags", kFieldFlags, set_int_field, "The flags byte"),
    INT_FIELD("fNameCount", kFieldNameCount, nullptr, "Number of entries in fNames"),
    INT_FIELD("fEquivCount", kFieldEquivCount, nullptr, "Number of pairs in fEquivs"),
    FLAG_FIELD("fParsed", kLineParsedFlag, "The line has been parsed (flag bit 0)"),
    FLAG_FIELD("fFlag1", kLineFlag1, "Flag bit 1, kept for the environment"),
    FLAG_FIELD("fFlag2", kLineFlag2, "Flag bit 2, kept for the environment"),
    {const_cast<char *>("fScopeName"), get_scope_name, nullptr,
     const_cast<char *>("Full name of the enclosing scope as cached by the analyzer, or None"),
     nullptr},
    {const_cast<char *>("fNames"), get_names, nullptr,
     const_cast<char *>("Names the line defines (or parameters of a def line), as a new list"),
     nullptr},
    {const_cast<char *>("fEquivs"), get_equivs, nullptr,
     const_cast<char *>("Type equivalences as a new list of (name, value) pairs"), nullptr},
    {const_cast<char *>("fBaseNames"), get_base_names, nullptr,
     const_cast<char *>("Base-class texts of a class line, as a new list"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The table entries as methods, for the environment's Python code and for tests.

static PyObject *method_add_name(PyObject *self, PyObject *args) {
  PyObject *entry;
  if (!PyArg_ParseTuple(args, "O:AddName", &entry)) return nullptr;
  if (table_add_name(self, entry) != 0) return nullptr;
  Py_RETURN_NONE;
}

static PyObject *method_add_arg_name(PyObject *self, PyObject *args) {
  PyObject *name;
  if (!PyArg_ParseTuple(args, "O:AddArgName", &name)) return nullptr;
  if (table_add_arg_name(self, name) != 0) return nullptr;
  Py_RETURN_NONE;
}

static PyObject *method_add_base_name(PyObject *self, PyObject *args) {
  PyObject *base;
  if (!PyArg_ParseTuple(args, "O:AddBaseName", &base)) return nullptr;
  if (table_add_base_name(self, base) != 0) return nullptr;
  Py_RETURN_NONE;
}

static PyObject *method_add_type_equiv(PyObject *self, PyObject *args) {
  PyObject *name, *equiv;
  if (!PyArg_ParseTuple(args, "OO:AddTypeEquiv", &name, &equiv)) return nullptr;
  if (table_add_type_equiv(self, name, equiv) != 0) return nullptr;
  Py_RETURN_NONE;
}

static PyObject *method_clear_analysis(PyObject *self, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":ClearLineAnalysis")) return nullptr;
  if (table_clear_analysis(self) != 0) return nullptr;
  Py_RETURN_NONE;
}

static PyMethodDef line_methods[] = {
    {"AddName", method_add_name, METH_VARARGS, "Append a name entry to fNames"},
    {"AddArgName", method_add_arg_name, METH_VARARGS, "Append a parameter name to fNames"},
    {"AddBaseName", method_add_base_name, METH_VARARGS, "Append a base-class text"},
    {"AddTypeEquiv", method_add_type_equiv, METH_VARARGS, "Append a (name, value) pair"},
    {"ClearLineAnalysis", method_clear_analysis, METH_VARARGS,
     "Forget the names, equivalences and base names recorded by analysis"},
    {nullptr, nullptr, 0, nullptr},
};

static const char line_doc[] =
    "LogicalLine(tokens=(), positions=None, lineno=0, linecount=0, indent=0, linetype=0)\n"
    "One logical line (statement) of an edited module, as the analyzer reads it.";

// Not a base type: the analyzer recognises lines by exact type.
PyTypeObject LogicalLineType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "logicalline.LogicalLine",                 // tp_name
    sizeof(tLogicalLine),                      // tp_basicsize
    0,                                         // tp_itemsize
    line_dealloc,                              // tp_dealloc
    nullptr,                                   // tp_print
    nullptr,                                   // tp_getattr
    nullptr,                                   // tp_setattr
    nullptr,                                   // tp_compare
    line_repr,                                 // tp_repr
    nullptr,                                   // tp_as_number
    nullptr,                                   // tp_as_sequence
    nullptr,                                   // tp_as_mapping
    nullptr,                                   // tp_hash
    nullptr,                                   // tp_call
    nullptr,                                   // tp_str
    nullptr,                                   // tp_getattro
    nullptr,                                   // tp_setattro
    nullptr,                                   // tp_as_buffer
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,   // tp_flags
    line_doc,                                  // tp_doc
    line_traverse,                             // tp_traverse
    line_clear,                                // tp_clear
    nullptr,                                   // tp_richcompare
    0,                                         // tp_weaklistoffset
    nullptr,                                   // tp_iter
    nullptr,                                   // tp_iternext
    line_methods,                              // tp_methods
    nullptr,                                   // tp_members
    line_getset,                               // tp_getset
    nullptr,                                   // tp_base
    nullptr,                                   // tp_dict
    nullptr,                                   // tp_descr_get
    nullptr,                                   // tp_descr_set
    0,                                         // tp_dictoffset
    nullptr,                                   // tp_init
    nullptr,                                   // tp_alloc
    line_new,                                  // tp_new
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

// GetDirectLogicalLineFunctionTable() --
//   Returns a CObject pointing at the module's 12-entry function table.
static PyObject *get_function_table(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":GetDirectLogicalLineFunctionTable")) return nullptr;
  return PyCObject_FromVoidPtr(&gFunctionTable, nullptr);
}

// ShiftLinenos(lines, start, delta) --
//   Adds delta to the fLineno of lines[start:], as an edit that adds or removes physical lines
//   moves the lines after it: one pass in C instead of an attribute store per line. A start
//   below 0 counts as 0 (not from the end). Every item is checked (a LogicalLine whose new number
//   fits) before any is changed.
static PyObject *shift_linenos(PyObject *, PyObject *args) {
  PyObject *lines;
  Py_ssize_t start;
  long delta;
  if (!PyArg_ParseTuple(args, "O!nl:ShiftLinenos", &PyList_Type, &lines, &start, &delta)) {
    return nullptr;
  }
  Py_ssize_t size = PyList_GET_SIZE(lines);
  if (start < 0) start = 0;
  for (Py_ssize_t i = start; i < size; i++) {
    PyObject *item = PyList_GET_ITEM(lines, i);
    if (!is_logical_line(item)) {
      PyErr_Format(PyExc_TypeError, "item %zd is a %.200s, not a LogicalLine", i,
                   Py_TYPE(item)->tp_name);
      return nullptr;
    }
    long moved;
    if (__builtin_add_overflow(long(as_line(item)->fLine.fLineno), delta, &moved) ||
        moved < INT32_MIN || moved > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value out of range for this LogicalLine field");
      return nullptr;
    }
  }
  for (Py_ssize_t i = start; i < size; i++) {
    as_line(PyList_GET_ITEM(lines, i))->fLine.fLineno += int32_t(delta);
  }
  Py_RETURN_NONE;
}

// plain_field --
//   The int field of a record when it is an exact int in lo..hi, else false.
static bool plain_field(PyObject *value, long lo, long hi, long *out) {
  if (!PyInt_CheckExact(value)) return false;
  *out = PyInt_AS_LONG(value);
  return *out >= lo && *out <= hi;
}

// LogicalLines(records) --
//   [LogicalLine(*record) for record in records] (a list). A record that is a tuple of six
//   fields, its four numbers ints in the fields' ranges, as the cutter makes them, is read
//   directly, without a call.
static PyObject *make_lines(PyObject *, PyObject *args) {
  PyObject *records;
  if (!PyArg_ParseTuple(args, "O:LogicalLines", &records)) return nullptr;
  // A copy: making a line may run Python code that changes the sequence.
  PyRef items(PySequence_Tuple(records));
  if (!items) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  PyRef lines(PyList_New(count));
  if (!lines) return nullptr;
  for (Py_ssize_t i = 0; i < count; i++) {
    PyObject *record = PyTuple_GET_ITEM(items.get(), i);
    long fields[4];
    bool plain = PyTuple_Check(record) && PyTuple_GET_SIZE(record) == 6 &&
                 plain_field(PyTuple_GET_ITEM(record, 2), INT_MIN, INT_MAX, &fields[0]) &&
                 plain_field(PyTuple_GET_ITEM(record, 3), SHRT_MIN, SHRT_MAX, &fields[1]) &&
                 plain_field(PyTuple_GET_ITEM(record, 4), SHRT_MIN, SHRT_MAX, &fields[2]) &&
                 plain_field(PyTuple_GET_ITEM(record, 5), 0, UCHAR_MAX, &fields[3]);
    PyRef line;
    if (plain) {
      line.reset(new_line());
      if (!line) return nullptr;
      if (set_tokens(as_line(line.get()), PyTuple_GET_ITEM(record, 0),
                     PyTuple_GET_ITEM(record, 1)) < 0) {
        return nullptr;
      }
      LogicalLineObject &made = as_line(line.get())->fLine;
      made.fLineno = int32_t(fields[0]);
      made.fLineCount = int16_t(fields[1]);
      made.fIndent = int16_t(fields[2]);
      made.fLineType = uint8_t(fields[3]);
      // A module's worth of lines of strs: the collector need not walk them (see
      // logical_line_hold).
      bool strs = true;
      for (int32_t k = 0; strs && k < made.fTokenCount; k++) {
        strs = PyString_CheckExact(made.fTokens[k]);
      }
      if (strs) PyObject_GC_UnTrack(line.get());
    } else {
      PyRef arguments(PySequence_Tuple(record));
      if (!arguments) return nullptr;
      line.reset(PyObject_Call(reinterpret_cast<PyObject *>(&LogicalLineType), arguments.get(),
                               nullptr));
      if (!line) return nullptr;
    }
    PyList_SET_ITEM(lines.get(), i, line.release());
  }
  return lines.release();
}

static PyMethodDef module_methods[] = {
    {"LogicalLines", make_lines, METH_VARARGS,
     "LogicalLines(records): [LogicalLine(*record) for record in records]"},
    {"GetDirectLogicalLineFunctionTable", get_function_table, METH_VARARGS,
     "Returns a CObject pointing to the table of logical line functions"},
    {"ShiftLinenos", shift_linenos, METH_VARARGS,
     "ShiftLinenos(lines, start, delta): adds delta to the fLineno of each line from index "
     "start (0 when below) to the end"},
    {nullptr, nullptr, 0, nullptr},
};

VORN_MODINIT initlogicalline(void) {
  if (PyType_Ready(&LogicalLineType) < 0) return;
  PyObject *module = Py_InitModule4("logicalline", module_methods,
                                    "Logical lines of edited modules, for the source analyzer",
                                    nullptr, PYTHON_API_VERSION);
  if (!module) return;
  Py_INCREF(&LogicalLineType);
  if (PyModule_AddObject(module, "LogicalLine", reinterpret_cast<PyObject *>(&LogicalLineType)) <
      0) {
    return;
  }
  // The kinds of attribute the analyzer's search reports.
  PyModule_AddStringConstant(module, "kClassAttribKind", "class");
  PyModule_AddStringConstant(module, "kFunctionAttribKind", "function");
  PyModule_AddStringConstant(module, "kGenericAttribKind", "generic");
  PyModule_AddStringConstant(module, "kImportedAttribKind", "imported");
}
