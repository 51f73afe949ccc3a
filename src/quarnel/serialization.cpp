// Stored analyses. SerializeLogicalList turns logical lines into the list of objects they
// reference (names_used) and one binary str per line; DeserializeLogicalList rebuilds fresh lines
// from the two. A line's str holds only little-endian integers, whatever the host:
//
//   int32 fLineno, int16 fIndent, int16 fLineCount, uint16 fLineType, uint16 parsed flag,
//   uint16 flag bit 1, uint16 flag bit 2, int32 n, n int32 token references, int32 n,
//   n pairs of uint16 positions, int32 scope name reference, int32 m, m int32 name references,
//   int32 k, k pairs of int32 references (name, value).
//
// A reference is an index into names_used. Import lines are stored unanalyzed (no names, no
// equivalences, parsed flag clear), because what they define depends on other modules.
#include "serialization.h"

#include <stdint.h>
#include <string.h>

namespace {

// Bytes of a line's str besides its arrays: the seven fixed fields and the five counts/references.
constexpr uint64_t kFixedLineBytes = 36;

const char kInvalidData[] = "Invalid data found while deserializing logical line";

// ---------------------------------------------------------------------------------------------
// Little-endian stores and loads, byte by byte so the host's byte order never matters.

inline unsigned char *store16(unsigned char *out, uint16_t value) {
  out[0] = uint8_t(value);
  out[1] = uint8_t(value >> 8);
  return out + 2;
}

inline unsigned char *store32(unsigned char *out, uint32_t value) {
  out[0] = uint8_t(value);
  out[1] = uint8_t(value >> 8);
  out[2] = uint8_t(value >> 16);
  out[3] = uint8_t(value >> 24);
  return out + 4;
}

inline uint16_t load16(const unsigned char *in) { return uint16_t(in[0] | (in[1] << 8)); }

inline uint32_t load32(const unsigned char *in) {
  return uint32_t(in[0]) | (uint32_t(in[1]) << 8) | (uint32_t(in[2]) << 16) |
         (uint32_t(in[3]) << 24);
}

// ---------------------------------------------------------------------------------------------
// Serialization.

// ReferenceTable --
//   Hands out the references of one SerializeLogicalList call: 0, 1, 2 ... in the order objects
//   are first met, equal objects sharing one. names_used is filled as references are handed out,
//   so every reference written names the slot holding its object.
class ReferenceTable {
 public:
  bool init() {
    index_.reset(PyDict_New());
    objects_.reset(PyList_New(0));
    return index_ && objects_;
  }

  // Stores obj's reference in *out, adding obj when it is new. -1 with an error set on failure
  // (an unhashable object raises the dictionary's TypeError).
  int reference(PyObject *obj, uint32_t *out) {
    PyObject *found = PyDict_GetItem(index_.get(), obj);
    if (found) {
      *out = uint32_t(PyInt_AS_LONG(found));
      return 0;
    }
    Py_ssize_t next = PyList_GET_SIZE(objects_.get());
    if (next >= INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "too many objects referenced by the logical lines");
      return -1;
    }
    PyRef value(PyInt_FromSsize_t(next));
    if (!value || PyDict_SetItem(index_.get(), obj, value.get()) < 0 ||
        PyList_Append(objects_.get(), obj) < 0) {
      return -1;
    }
    *out = uint32_t(next);
    return 0;
  }

  PyObject *names_used() const { return objects_.get(); }

 private:
  PyRef index_;    // object -> int reference
  PyRef objects_;  // names_used: the object of each reference
};

// tLineShape --
//   The arrays and counts of a line record. A reference lookup may run Python code (__hash__ or
//   __eq__ of a referenced object) that changes the line; comparing the shape after each lookup
//   tells whether the arrays being read are still the line's.
struct tLineShape {
  PyObject **tokens;
  uint16_t *positions;
  int32_t token_count;
  PyObject *scope_name;
  PyObject **names;
  uint32_t name_count;
  PyObject **equivs;
  uint32_t equiv_count;

  explicit tLineShape(const LogicalLineObject *line)
      : tokens(line->fTokens), positions(line->fTokenPositions), token_count(line->fTokenCount),
        scope_name(line->fScopeName), names(line->fNames), name_count(line->fNameCount),
        equivs(line->fEquivs), equiv_count(line->fEquivCount) {}

  bool operator==(const tLineShape &other) const {
    return tokens == other.tokens && positions == other.positions &&
           token_count == other.token_count && scope_name == other.scope_name &&
           names == other.names && name_count == other.name_count && equivs == other.equivs &&
           equiv_count == other.equiv_count;
  }
};

// is_import_line --
//   Import lines are types 16 and 17 and any line with a str token "import".
bool is_import_line(const LogicalLineObject *line) {
  if (line->fLineType == kLineImport || line->fLineType == kLineFromImport) return true;
  for (int32_t i = 0; i < line->fTokenCount; i++) {
    PyObject *token = line->fTokens[i];
    if (token && PyString_Check(token) && PyString_GET_SIZE(token) == 6 &&
        memcmp(PyString_AS_STRING(token), "import", 6) == 0) {
      return true;
    }
  }
  return false;
}

// LineWriter --
//   Writes one line's fields into its str, whose size was computed from the line's counts.
class LineWriter {
 public:
  LineWriter(ReferenceTable &table, PyObject *line, unsigned char *out)
      : table_(table), line_(line), shape_(line_record(line)), out_(out) {}

  void put16(uint16_t value) { out_ = store16(out_, value); }
  void put32(uint32_t value) { out_ = store32(out_, value); }

  // Writes the reference of obj (a null slot stands for None). Fails with RuntimeError when the
  // lookup changed the line, since the arrays being written from may then be gone.
  int put_reference(PyObject *obj) {
    PyRef held = PyRef::borrow(obj ? obj : Py_None);
    uint32_t reference;
    if (table_.reference(held.get(), &reference) < 0) return -1;
    if (!(tLineShape(line_record(line_)) == shape_)) {
      PyErr_SetString(PyExc_RuntimeError, "logical line changed while it was serialized");
      return -1;
    }
    put32(reference);
    return 0;
  }

  int put_references(PyObject *const *objects, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
      if (put_reference(objects[i]) < 0) return -1;
    }
    return 0;
  }

  const tLineShape &shape() const { return shape_; }
  const unsigned char *position() const { return out_; }

 private:
  ReferenceTable &table_;
  PyObject *line_;
  const tLineShape shape_;
  unsigned char *out_;
};

// serialize_line --
//   One line's str (a new reference), or null with an error set.
PyObject *serialize_line(ReferenceTable &table, PyObject *line_obj, PyObject *unparsed_lines) {
  PyRef hold = PyRef::borrow(line_obj);
  const LogicalLineObject *line = line_record(line_obj);
  const bool import_line = is_import_line(line);
  uint16_t parsed = 0;
  if (!import_line && (line->fFlags & kLineParsedFlag)) {
    // Done before the shape is taken: the dict lookup may run other keys' __eq__.
    int unparsed = PyDict_Contains(unparsed_lines, line_obj);
    if (unparsed < 0) return nullptr;
    parsed = unparsed ? 0 : 1;
  }

  const tLineShape shape(line);
  const uint64_t n = shape.token_count > 0 ? uint64_t(shape.token_count) : 0;
  const uint64_t m = import_line ? 0 : shape.name_count;
  const uint64_t k = import_line ? 0 : shape.equiv_count;
  if (m > INT32_MAX || k > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "logical line too large to serialize");
    return nullptr;
  }
  const uint64_t size = kFixedLineBytes + 8 * n + 4 * m + 8 * k;
  if (size > uint64_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyRef data(PyString_FromStringAndSize(nullptr, Py_ssize_t(size)));
  if (!data) return nullptr;

  unsigned char *start = reinterpret_cast<unsigned char *>(PyString_AS_STRING(data.get()));
  LineWriter out(table, line_obj, start);
  out.put32(uint32_t(line->fLineno));
  out.put16(uint16_t(line->fIndent));
  out.put16(uint16_t(line->fLineCount));
  out.put16(line->fLineType);
  out.put16(parsed);
  out.put16((line->fFlags & kLineFlag1) ? 1 : 0);
  out.put16((line->fFlags & kLineFlag2) ? 1 : 0);

  out.put32(uint32_t(n));
  if (out.put_references(shape.tokens, n) < 0) return nullptr;
  // The shape is unchanged after every lookup, so the positions are still the line's.
  out.put32(uint32_t(n));
  for (uint64_t i = 0; i < 2 * n; i++) out.put16(shape.positions ? shape.positions[i] : 0);
  if (out.put_reference(shape.scope_name) < 0) return nullptr;
  out.put32(uint32_t(m));
  if (out.put_references(shape.names, m) < 0) return nullptr;
  out.put32(uint32_t(k));
  if (out.put_references(shape.equivs, 2 * k) < 0) return nullptr;

  if (out.position() != start + size) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  return data.release();
}

// fail --
//   A failure with no Python error set is reported as MemoryError.
PyObject *fail() {
  if (!PyErr_Occurred()) PyErr_NoMemory();
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Deserialization.

// Reader --
//   Reads a line's str front to back; every read checks that the bytes are there.
class Reader {
 public:
  Reader(const unsigned char *data, Py_ssize_t size) : in_(data), end_(data + size) {}

  bool read16(uint16_t *out) {
    if (end_ - in_ < 2) return false;
    *out = load16(in_);
    in_ += 2;
    return true;
  }

  bool read32(uint32_t *out) {
    if (end_ - in_ < 4) return false;
    *out = load32(in_);
    in_ += 4;
    return true;
  }

  // Reads a count of items of item_bytes each. A negative count, or one whose items would run
  // past the end of the data, is invalid; checking before anything is allocated keeps a huge
  // count in a short string from asking for gigabytes.
  bool read_count(int32_t *out, uint64_t item_bytes) {
    uint32_t count;
    if (!read32(&count) || count > INT32_MAX) return false;
    if (uint64_t(end_ - in_) < uint64_t(count) * item_bytes) return false;
    *out = int32_t(count);
    return true;
  }

  // Reads a reference and stores the object it names (borrowed from names_used) in *out.
  bool read_reference(PyObject *names_used, PyObject **out) {
    uint32_t reference;
    if (!read32(&reference) || reference >= uint64_t(PyList_GET_SIZE(names_used))) return false;
    *out = PyList_GET_ITEM(names_used, Py_ssize_t(reference));
    return true;
  }

 private:
  const unsigned char *in_;
  const unsigned char *end_;
};

// invalid_data --
//   Fails the line with ValueError, unless another error is already set.
PyObject *invalid_data() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kInvalidData);
  return nullptr;
}

// tTokenArrays --
//   A line's token and position arrays while they are read; released unless handed to the line.
struct tTokenArrays {
  PyObject **tokens = nullptr;
  uint16_t *positions = nullptr;
  int32_t filled = 0;  // token slots holding a reference

  ~tTokenArrays() {
    for (int32_t i = 0; i < filled; i++) Py_DECREF(tokens[i]);
    PyMem_Free(tokens);
    PyMem_Free(positions);
  }

  // Moves the arrays into the line record (whose arrays are empty).
  void hand_to(LogicalLineObject *record) {
    record->fTokens = tokens;
    record->fTokenPositions = positions;
    record->fTokenCount = filled;
    tokens = nullptr;
    positions = nullptr;
    filled = 0;
  }
};

// read_tokens --
//   Reads the token references and the positions into the new line. Returns false with the
//   error set (MemoryError) or not (invalid data).
bool read_tokens(Reader &in, PyObject *names_used, LogicalLineObject *record) {
  int32_t count, position_count;
  if (!in.read_count(&count, 4)) return false;
  tTokenArrays arrays;
  if (count > 0) {
    arrays.tokens = static_cast<PyObject **>(PyMem_Malloc(size_t(count) * sizeof(PyObject *)));
    if (!arrays.tokens) return PyErr_NoMemory(), false;
  }
  for (int32_t i = 0; i < count; i++) {
    PyObject *token;
    if (!in.read_reference(names_used, &token)) return false;
    Py_INCREF(token);
    arrays.tokens[arrays.filled++] = token;
  }
  if (!in.read_count(&position_count, 4) || position_count != count) return false;
  if (count > 0) {
    arrays.positions = static_cast<uint16_t *>(PyMem_Malloc(size_t(count) * 2 * sizeof(uint16_t)));
    if (!arrays.positions) return PyErr_NoMemory(), false;
  }
  for (int32_t i = 0; i < 2 * count; i++) {
    if (!in.read16(&arrays.positions[i])) return false;
  }
  arrays.hand_to(record);
  return true;
}

// deserialize_line --
//   A new logical line built from one data string, or null with an error set. A failed line is
//   released with everything it already references.
PyObject *deserialize_line(QuarnelImplObject *self, PyObject *names_used, PyObject *data) {
  char *bytes;
  Py_ssize_t size;
  if (PyString_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
  const LogicalLineFunctionTable &table = self->fBinding.fTable;
  auto new_line = reinterpret_cast<tNewLogicalLineFunc>(table.entries[kNewLogicalLineEntry]);
  auto add_name = reinterpret_cast<tAddNameFunc>(table.entries[kAddNameEntry]);
  auto add_equiv = reinterpret_cast<tAddTypeEquivFunc>(table.entries[kAddTypeEquivEntry]);
  if (!new_line || !add_name || !add_equiv) {  // unbound: the analyzer was destroyed
    PyErr_BadInternalCall();
    return nullptr;
  }
  PyRef line(new_line());
  if (!line) return fail();
  if (!is_logical_line(self, line.get())) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  LogicalLineObject *record = line_record(line.get());

  Reader in(reinterpret_cast<const unsigned char *>(bytes), size);
  uint32_t lineno;
  uint16_t indent, line_count, line_type, parsed, flag1, flag2;
  if (!in.read32(&lineno) || !in.read16(&indent) || !in.read16(&line_count) ||
      !in.read16(&line_type) || !in.read16(&parsed) || !in.read16(&flag1) ||
      !in.read16(&flag2)) {
    return invalid_data();
  }
  record->fLineno = int32_t(lineno);
  record->fIndent = int16_t(indent);
  record->fLineCount = int16_t(line_count);
  record->fLineType = uint8_t(line_type);
  record->fFlags = uint8_t(((parsed & 1) ? kLineParsedFlag : 0) | ((flag1 & 1) ? kLineFlag1 : 0) |
                           ((flag2 & 1) ? kLineFlag2 : 0));

  if (!read_tokens(in, names_used, record)) return invalid_data();

  PyObject *scope_name;
  if (!in.read_reference(names_used, &scope_name)) return invalid_data();
  if (scope_name != Py_None) {
    if (!PyString_Check(scope_name)) return invalid_data();
    Py_INCREF(scope_name);
    record->fScopeName = scope_name;
  }

  // Names and equivalences go through the line module's own entries, which own the arrays'
  // growth (the record has no room for their capacities).
  int32_t name_count, equiv_count;
  if (!in.read_count(&name_count, 4)) return invalid_data();
  for (int32_t i = 0; i < name_count; i++) {
    PyObject *name;
    if (!in.read_reference(names_used, &name)) return invalid_data();
    if (add_name(line.get(), name) != 0) return fail();
  }
  if (!in.read_count(&equiv_count, 8)) return invalid_data();
  for (int32_t i = 0; i < equiv_count; i++) {
    PyObject *name, *value;
    if (!in.read_reference(names_used, &name) || !in.read_reference(names_used, &value)) {
      return invalid_data();
    }
    if (add_equiv(line.get(), name, value) != 0) return fail();
  }
  return line.release();
}

// private_copy --
//   A new list with the items of a list, so that Python code run while lines are built (a
//   collection's weakref callback) cannot take objects away from under borrowed pointers.
PyObject *private_copy(PyObject *list) { return PyList_GetSlice(list, 0, PyList_GET_SIZE(list)); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// The methods.

const char kSerializeLogicalListDoc[] =
    "Serialize a list of logical lines.  Returns a tuple (names_used, data): the list of the "
    "objects the lines refer to, and a list of strings with the binary data of each line";

const char kDeserializeLogicalListDoc[] = "Deserialize a list of logical lines";

PyObject *QuarnelImpl_SerializeLogicalList(QuarnelImplObject *self, PyObject *args) {
  PyObject *list, *unparsed_lines;
  if (!PyArg_ParseTuple(args, "O!O!:SerializeLogicalList", &PyList_Type, &list, &PyDict_Type,
                        &unparsed_lines)) {
    return nullptr;
  }
  ReferenceTable table;
  if (!table.init()) return fail();
  PyRef data(PyList_New(0));
  if (!data) return fail();
  // The list is read afresh at every step: a lookup's Python code may change it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (!is_logical_line(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Each element of the logical_list must be a logical line");
      return nullptr;
    }
    PyRef line_data(serialize_line(table, item, unparsed_lines));
    if (!line_data || PyList_Append(data.get(), line_data.get()) < 0) return fail();
  }
  PyObject *result = PyTuple_Pack(2, table.names_used(), data.get());
  return result ? result : fail();
}

PyObject *QuarnelImpl_DeserializeLogicalList(QuarnelImplObject *self, PyObject *args) {
  // The (names_used, data) pair is taken as a tuple first: the argument parser drops the items
  // it fetches from any other sequence before returning them, and a sequence that makes its
  // items on the fly would leave them freed.
  PyObject *serialized;
  if (!PyArg_ParseTuple(args, "O:UnerializeLogicalList", &serialized)) return nullptr;
  PyRef pair = PyRef::borrow(serialized);
  if (!PyTuple_Check(serialized) && PySequence_Check(serialized) &&
      !PyString_Check(serialized) && !PyUnicode_Check(serialized)) {
    pair.reset(PySequence_Tuple(serialized));
    if (!pair) return nullptr;
  }
  PyRef pair_args(PyTuple_Pack(1, pair.get()));
  if (!pair_args) return nullptr;
  PyObject *names_arg, *data_arg;
  if (!PyArg_ParseTuple(pair_args.get(), "(O!O!):UnerializeLogicalList", &PyList_Type, &names_arg,
                        &PyList_Type, &data_arg)) {
    return nullptr;
  }
  PyRef names_used(private_copy(names_arg));
  PyRef data(private_copy(data_arg));
  if (!names_used || !data) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(data.get());
  PyRef lines(PyList_New(count));
  if (!lines) return nullptr;
  for (Py_ssize_t i = 0; i < count; i++) {
    PyObject *line = deserialize_line(self, names_used.get(), PyList_GET_ITEM(data.get(), i));
    if (!line) return nullptr;
    PyList_SET_ITEM(lines.get(), i, line);
  }
  return lines.release();
}
