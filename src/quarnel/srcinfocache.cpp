// The analyzer's source info cache: the name map (name -> defining lines) and the scope map
// (full name -> PerScopeEntry).
#include "srcinfocache.h"

#include "logicalline.h"
#include "pyref.h"

// ---------------------------------------------------------------------------------------------
// PerScopeEntry: an opaque record to Python, collectable because its lines can lead back to the
// analyzer that owns the cache (through import records in their names).

static int entry_traverse(PyObject *obj, visitproc visit, void *arg) {
  PerScopeEntry *entry = reinterpret_cast<PerScopeEntry *>(obj);
  Py_VISIT(entry->fScopeDef);
  Py_VISIT(entry->fBody);
  Py_VISIT(entry->fLeadLine);
  Py_VISIT(entry->fAttribs);
  return 0;
}

static int entry_clear(PyObject *obj) {
  PerScopeEntry *entry = reinterpret_cast<PerScopeEntry *>(obj);
  clear_owned(entry->fScopeDef);
  clear_owned(entry->fBody);
  clear_owned(entry->fLeadLine);
  clear_owned(entry->fAttribs);
  return 0;
}

static void entry_dealloc(PyObject *obj) {
  PyObject_GC_UnTrack(obj);
  entry_clear(obj);
  PyObject_GC_Del(obj);
}

PyTypeObject PerScopeEntryType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "PerScopeEntry",                          // tp_name
    sizeof(PerScopeEntry),                    // tp_basicsize
    0,                                        // tp_itemsize
    entry_dealloc,                            // tp_dealloc
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
    entry_traverse,                           // tp_traverse
    entry_clear,                              // tp_clear
    nullptr,                                  // tp_richcompare
    0,                                        // tp_weaklistoffset
    nullptr,                                  // tp_iter
    nullptr,                                  // tp_iternext
    nullptr,                                  // tp_methods
    nullptr,                                  // tp_members
    nullptr,                                  // tp_getset
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

// new_entry --
//   Makes an entry whose fScopeDef is def (readying the type on first use). New reference.
static PerScopeEntry *new_entry(PyObject *def) {
  if (!(PerScopeEntryType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&PerScopeEntryType) < 0) {
    return nullptr;
  }
  PerScopeEntry *entry = PyObject_GC_New(PerScopeEntry, &PerScopeEntryType);
  if (!entry) return nullptr;
  Py_XINCREF(def);
  entry->fScopeDef = def;
  entry->fBody = nullptr;
  entry->fLeadLine = nullptr;
  entry->fAttribs = nullptr;
  PyObject_GC_Track(entry);
  return entry;
}

// ---------------------------------------------------------------------------------------------
// The cache.

void srcinfo_init(tSrcInfoCache *cache) {
  cache->fNameMap = nullptr;
  cache->fScopeMap = nullptr;
}

int srcinfo_traverse(tSrcInfoCache *cache, visitproc visit, void *arg) {
  Py_VISIT(cache->fNameMap);
  Py_VISIT(cache->fScopeMap);
  return 0;
}

void srcinfo_clear_all(tSrcInfoCache *cache) {
  clear_owned(cache->fNameMap);
  clear_owned(cache->fScopeMap);
}

// ensure_map --
//   Makes *map a new dict when it is null. Returns -1 on allocation failure.
static int ensure_map(PyObject **map) {
  if (*map) return 0;
  *map = PyDict_New();
  return *map ? 0 : -1;
}

// line_key --
//   The key-th name-map key of a line (a new reference), or null when the line has no more keys.
//   A class or def line has at most one key, its name token; any other line has one per fNames
//   entry, a tuple entry giving its first item. The record is read afresh on every call because
//   the dict operations between calls may run Python code (__hash__, __eq__) that changes the line.
static PyObject *line_key(PyObject *line, uint32_t key) {
  const LogicalLineObject *record = reinterpret_cast<const LogicalLineObject *>(line);
  if (record->fLineType == kLineClass || record->fLineType == kLineDef) {
    if (key != 0 || record->fTokenCount < 2 || !record->fTokens[1]) return nullptr;
    Py_INCREF(record->fTokens[1]);
    return record->fTokens[1];
  }
  if (key >= record->fNameCount) return nullptr;
  PyObject *entry = record->fNames[key];
  if (PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) > 0) entry = PyTuple_GET_ITEM(entry, 0);
  Py_INCREF(entry);
  return entry;
}

// map_lookup --
//   The value under key in map (a new reference), or null when map is null or has no such key.
//   The map is held while the key's __hash__ and __eq__ run, since they may clear the cache and
//   release it; the lookup then answers from the map as it was when the lookup began.
static PyRef map_lookup(PyObject *map, PyObject *key) {
  if (!map) return PyRef();
  PyRef hold = PyRef::borrow(map);
  return PyRef::borrow(PyDict_GetItem(hold.get(), key));
}

// srcinfo_add_line --
//   Appends line to the name-map list of each of its keys (map and lists made when absent).
int srcinfo_add_line(tSrcInfoCache *cache, PyObject *line) {
  PyRef hold = PyRef::borrow(line);
  for (uint32_t k = 0;; k++) {
    PyRef key(line_key(line, k));
    if (!key) return 0;
    if (ensure_map(&cache->fNameMap) < 0) return -1;
    PyRef map = PyRef::borrow(cache->fNameMap);
    PyRef lines = map_lookup(map.get(), key.get());
    if (lines && PyList_Check(lines.get())) {
      if (PyList_Append(lines.get(), line) < 0) return -1;
      continue;
    }
    lines.reset(PyList_New(1));
    if (!lines) return -1;
    Py_INCREF(line);
    PyList_SET_ITEM(lines.get(), 0, line);
    if (PyDict_SetItem(map.get(), key.get(), lines.get()) < 0) return -1;
  }
}

// srcinfo_remove_line --
//   Removes the first occurrence (by identity) of line from the list of each of its keys, where
//   the map, the list and the occurrence exist. Lists that become empty stay in the map.
int srcinfo_remove_line(tSrcInfoCache *cache, PyObject *line) {
  PyRef hold = PyRef::borrow(line);
  for (uint32_t k = 0;; k++) {
    PyRef key(line_key(line, k));
    if (!key) return 0;
    if (!cache->fNameMap) return 0;
    PyRef lines = map_lookup(cache->fNameMap, key.get());
    if (!lines || !PyList_Check(lines.get())) continue;
    Py_ssize_t size = PyList_GET_SIZE(lines.get());
    for (Py_ssize_t i = 0; i < size; i++) {
      if (PyList_GET_ITEM(lines.get(), i) == line) {
        if (PyList_SetSlice(lines.get(), i, i + 1, nullptr) < 0) return -1;
        break;
      }
    }
  }
}

PyObject *srcinfo_defining_lines(tSrcInfoCache *cache, PyObject *name) {
  return map_lookup(cache->fNameMap, name).release();
}

// find_entry --
//   The scope-map entry for name (a new reference), or null when there is none.
static PyRef find_entry(tSrcInfoCache *cache, PyObject *name) {
  PyRef found = map_lookup(cache->fScopeMap, name);
  if (found && Py_TYPE(found.get()) != &PerScopeEntryType) found.reset();
  return found;
}

// as_entry --
//   The record behind an entry found by find_entry.
static PerScopeEntry *as_entry(const PyRef &entry) {
  return reinterpret_cast<PerScopeEntry *>(entry.get());
}

// srcinfo_enter --
//   Stores a new entry for name with fScopeDef = def, replacing any entry. New reference.
PerScopeEntry *srcinfo_enter(tSrcInfoCache *cache, PyObject *name, PyObject *def) {
  if (ensure_map(&cache->fScopeMap) < 0) return nullptr;
  PyRef entry(reinterpret_cast<PyObject *>(new_entry(def)));
  if (!entry) return nullptr;
  PyRef map = PyRef::borrow(cache->fScopeMap);
  if (PyDict_SetItem(map.get(), name, entry.get()) < 0) return nullptr;
  return reinterpret_cast<PerScopeEntry *>(entry.release());
}

// srcinfo_entry_for --
//   The existing entry for name, or a new one entered with def. New reference.
PerScopeEntry *srcinfo_entry_for(tSrcInfoCache *cache, PyObject *name, PyObject *def) {
  PyRef entry = find_entry(cache, name);
  if (!entry) return srcinfo_enter(cache, name, def);
  return reinterpret_cast<PerScopeEntry *>(entry.release());
}

// srcinfo_get_def --
//   fScopeDef of name's entry (None for the module scope); KeyError(name) when there is none.
PyObject *srcinfo_get_def(tSrcInfoCache *cache, PyObject *name) {
  PyRef entry = find_entry(cache, name);
  if (!entry) {
    PyRef key(PyTuple_Pack(1, name));
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return nullptr;
  }
  PyObject *def = as_entry(entry)->fScopeDef ? as_entry(entry)->fScopeDef : Py_None;
  Py_INCREF(def);
  return def;
}

// srcinfo_drop --
//   Deletes name's entry; a missing map or entry is not an error.
int srcinfo_drop(tSrcInfoCache *cache, PyObject *name) {
  PyRef map = PyRef::borrow(cache->fScopeMap);  // the name's __hash__ may clear the cache
  if (!find_entry(cache, name)) return 0;
  if (PyDict_DelItem(map.get(), name) == 0) return 0;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
  PyErr_Clear();
  return 0;
}

// entry_field --
//   A new reference to one field of name's entry, or null when the entry or field is missing.
static PyObject *entry_field(tSrcInfoCache *cache, PyObject *name, PyObject *PerScopeEntry::*field) {
  PyRef entry = find_entry(cache, name);
  if (!entry) return nullptr;
  PyObject *value = as_entry(entry)->*field;
  Py_XINCREF(value);
  return value;
}

PyObject *srcinfo_get_body(tSrcInfoCache *cache, PyObject *name) {
  return entry_field(cache, name, &PerScopeEntry::fBody);
}

PyObject *srcinfo_get_attribs(tSrcInfoCache *cache, PyObject *name) {
  return entry_field(cache, name, &PerScopeEntry::fAttribs);
}

PyObject *srcinfo_get_lead(tSrcInfoCache *cache, PyObject *name) {
  PyObject *lead = entry_field(cache, name, &PerScopeEntry::fLeadLine);
  if (lead) return lead;
  Py_RETURN_NONE;
}

// set_entry_field --
//   Stores value (a new reference is taken; null clears) into a field of entry-for(name, def).
static int set_entry_field(tSrcInfoCache *cache, PyObject *name, PyObject *def,
                           PyObject *PerScopeEntry::*field, PyObject *value) {
  PyRef entry(reinterpret_cast<PyObject *>(srcinfo_entry_for(cache, name, def)));
  if (!entry) return -1;
  set_owned(reinterpret_cast<PerScopeEntry *>(entry.get())->*field, value);
  return 0;
}

int srcinfo_set_body(tSrcInfoCache *cache, PyObject *name, PyObject *def, PyObject *body) {
  return set_entry_field(cache, name, def, &PerScopeEntry::fBody, body);
}

int srcinfo_set_lead(tSrcInfoCache *cache, PyObject *name, PyObject *def, PyObject *line) {
  return set_entry_field(cache, name, def, &PerScopeEntry::fLeadLine, line);
}

int srcinfo_set_attribs(tSrcInfoCache *cache, PyObject *name, PyObject *def, PyObject *attribs) {
  return set_entry_field(cache, name, def, &PerScopeEntry::fAttribs, attribs);
}

// clear_entry_field --
//   Releases one field of name's entry when the entry exists.
static void clear_entry_field(tSrcInfoCache *cache, PyObject *name,
                              PyObject *PerScopeEntry::*field) {
  PyRef entry = find_entry(cache, name);
  if (entry) clear_owned(as_entry(entry)->*field);
}

void srcinfo_clear_body(tSrcInfoCache *cache, PyObject *name) {
  clear_entry_field(cache, name, &PerScopeEntry::fBody);
}

void srcinfo_clear_lead(tSrcInfoCache *cache, PyObject *name) {
  clear_entry_field(cache, name, &PerScopeEntry::fLeadLine);
}

void srcinfo_clear_attribs(tSrcInfoCache *cache, PyObject *name) {
  clear_entry_field(cache, name, &PerScopeEntry::fAttribs);
}

Py_ssize_t srcinfo_scope_count(const tSrcInfoCache *cache) {
  return cache->fScopeMap ? PyDict_Size(cache->fScopeMap) : 0;
}
