// Code-object pathname table. Keys are bytecode strings rather than code objects because the
// table must not keep code objects (and through them whole modules) alive; a string whose only
// reference is the table's marks an entry whose code object is gone, and such entries are
// collected in small batches at a fixed pace.
#include "copathname.h"

#include <stdlib.h>
#include <string.h>

// Context of a dictionary walk of RegisterMatchingCodeValues.
struct tRegisterMatching {
  tCOPathnameTable *table;
  const char *pathname;  // file name to register
  PyObject *globals;     // module dictionary the functions must belong to
  int force;             // replace existing entries
  tCodeBelongs belongs;  // filter of the functions' code, or null
  void *belongs_arg;
};

// key_object --
//   The bytecode string whose address is the entry's key.
static PyObject *key_object(tCOPathnameTable *table, CUt_HashEntry *entry) {
  PyObject *key;
  memcpy(&key, CU_GetHashKey(&table->filename_for_co, entry), sizeof(key));
  return key;
}

void InitCOPathnameTable(tCOPathnameTable *table) {
  CU_InitHashTable(&table->filename_for_co, sizeof(void *));
  table->collect_count = 0;
  memset(table->recent, 0, sizeof(table->recent));
}

void ClearPathnameTableEntry(tCOPathnameTable *table, CUt_HashEntry *entry) {
  PyObject *key = key_object(table, entry);
  tCOPathnameRecent *slot = recent_slot(table, key);
  if (slot->key == key) slot->key = nullptr;
  table->generation++;
  Py_DECREF(key);
  free(CU_GetHashValue(entry));
  CU_SetHashValue(entry, nullptr);
}

void ClearCOPathnameTable(tCOPathnameTable *table) {
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&table->filename_for_co, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    ClearPathnameTableEntry(table, entry);
  }
  CU_DeleteHashTable(&table->filename_for_co);
  InitCOPathnameTable(table);
}

// CollectGarbagePasses --
//   Removes every entry whose bytecode string only the table still references. Each pass
//   gathers up to kCollectBatch such keys (on the stack) and deletes their entries after the
//   iteration; passes repeat while a pass finds a full batch.
void CollectGarbagePasses(tCOPathnameTable *table) {
  table->collect_count = 0;
  int found;
  do {
    PyObject *garbage[kCollectBatch];
    found = 0;
    CUt_HashSearch search;
    for (CUt_HashEntry *entry = CU_FirstHashEntry(&table->filename_for_co, &search);
         entry && found < kCollectBatch; entry = CU_NextHashEntry(&search)) {
      PyObject *key = key_object(table, entry);
      if (Py_REFCNT(key) == 1) garbage[found++] = key;
    }
    for (int i = 0; i < found; i++) {
      CUt_HashEntry *entry = CU_FindHashEntry(&table->filename_for_co, &garbage[i]);
      if (!entry) continue;
      ClearPathnameTableEntry(table, entry);
      CU_DeleteHashEntry(entry);
    }
  } while (found == kCollectBatch);
}

const char *LookupCOPathnameInTable(tCOPathnameTable *table, PyCodeObject *co) {
  tCOPathnameRecent *slot = recent_slot(table, co->co_code);
  CUt_HashEntry *entry = CU_FindHashEntry(&table->filename_for_co, &co->co_code);
  if (!entry || !CU_GetHashValue(entry)) return nullptr;
  slot->key = co->co_code;
  slot->pathname = static_cast<const char *>(CU_GetHashValue(entry));
  return slot->pathname;
}

int RegisterCOPathname(tCOPathnameTable *table, PyCodeObject *co, const char *pathname,
                       int force) {
  CollectGarbage(table);
  if (!co) return -1;
  int is_new;
  CUt_HashEntry *entry = CU_CreateHashEntry(&table->filename_for_co, &co->co_code, &is_new);
  if (!entry) return -1;
  if (!is_new && !force) return 0;
  // Copied before the old entry is cleared: `pathname` may be the name being replaced.
  char *copy = pathname ? strdup(pathname) : nullptr;
  if (!is_new) ClearPathnameTableEntry(table, entry);
  Py_INCREF(co->co_code);
  CU_SetHashValue(entry, copy);
  PyObject *consts = co->co_consts;
  if (consts && PyTuple_Check(consts)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); i++) {
      PyObject *item = PyTuple_GET_ITEM(consts, i);
      if (Py_TYPE(item) != &PyCode_Type) continue;  // exactly code, no subtype
      if (RegisterCOPathname(table, reinterpret_cast<PyCodeObject *>(item), pathname, force) < 0) {
        return -1;
      }
    }
  }
  return 0;
}

// RegisterMatchingFunction --
//   Registers the code of `func` when the function was defined in the walk's module. -1 when
//   `func` is not a function; 0 otherwise, whatever the registration gave.
static int RegisterMatchingFunction(tRegisterMatching *ctx, PyObject *func, int depth) {
  if (!PyFunction_Check(func)) return -1;
  if (depth >= kRegisterMaxDepth) return 0;
  PyObject *code = PyFunction_GET_CODE(func);
  if (!code || !PyCode_Check(code) || PyFunction_GET_GLOBALS(func) != ctx->globals) return 0;
  PyCodeObject *co = reinterpret_cast<PyCodeObject *>(code);
  if (ctx->belongs && !ctx->belongs(co, ctx->belongs_arg)) return 0;
  RegisterCOPathname(ctx->table, co, ctx->pathname, ctx->force);
  return 0;
}

// RegisterMatchingDictValues --
//   Registers the functions and instance methods among the values of `dict` and walks into the
//   dictionaries of classic classes (new-style classes are not entered). Always 0.
static int RegisterMatchingDictValues(tRegisterMatching *ctx, PyObject *dict, int depth) {
  if (depth >= kRegisterMaxDepth) return 0;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (PyFunction_Check(value)) {
      RegisterMatchingFunction(ctx, value, depth + 1);
    } else if (PyMethod_Check(value)) {
      PyObject *func = PyMethod_GET_FUNCTION(value);
      if (func) RegisterMatchingFunction(ctx, func, depth + 1);
    } else if (PyClass_Check(value)) {
      PyObject *class_dict = reinterpret_cast<PyClassObject *>(value)->cl_dict;
      if (class_dict && PyDict_Check(class_dict)) {
        RegisterMatchingDictValues(ctx, class_dict, depth + 1);
      }
    }
  }
  return 0;
}

int RegisterMatchingCodeValues(tCOPathnameTable *table, const char *pathname, PyObject *globals,
                               int force, tCodeBelongs belongs, void *arg) {
  if (!globals || !PyDict_Check(globals)) return 0;
  tRegisterMatching ctx = {table, pathname, globals, force, belongs, arg};
  return RegisterMatchingDictValues(&ctx, globals, 0);
}
