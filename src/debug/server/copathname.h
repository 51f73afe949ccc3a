// Code-object pathname table: which absolute file each code object belongs to.
#ifndef ZARDEL_COPATHNAME_H
#define ZARDEL_COPATHNAME_H

#include <Python.h>
#include <stdint.h>

#include "zardelhash.h"

// Slots of the table's memory of recent answers.
constexpr int kRecentSlots = 256;

// One recent answer: a bytecode string of the table and its file name.
struct tCOPathnameRecent {
  PyObject *key;
  const char *pathname;
};

// Keyed by the address of the code object's bytecode string (a pointer-sized key); each value is
// a heap copy of the absolute file name, or null when the copy could not be made. The table holds
// a reference to each key's string, so the address cannot be reused while the entry exists; an
// entry whose string is referenced by the table alone belongs to a dead code object.
struct tCOPathnameTable {
  CUt_HashTable filename_for_co;
  int collect_count;  // calls since the last garbage-collection pass
  // Counts the entries cleared (dead code collected, a file registered anew) and never goes
  // back, so that a memory of answers keyed by bytecode string can tell when it may be stale.
  unsigned int generation;
  // Recent answers by bytecode string, direct-mapped: the dispatch asks for the same few code
  // objects on most call events, and this spares it the hash chains of a table that holds
  // every function of every loaded module. A slot is emptied when its entry is cleared.
  tCOPathnameRecent recent[kRecentSlots];
};

// Garbage is looked for once per this many lookups and registrations...
constexpr int kCollectInterval = 5000;
// ... in passes that remove at most this many entries each.
constexpr int kCollectBatch = 100;
// Dictionary walks of RegisterMatchingCodeValues stop at this depth.
constexpr int kRegisterMaxDepth = 10;

// Makes the table empty and ready for use. Any previous content is not released.
void InitCOPathnameTable(tCOPathnameTable *table);

// Releases every entry and leaves the table empty and ready for use.
void ClearCOPathnameTable(tCOPathnameTable *table);

// Releases the entry's reference to its key string and its file name; the entry stays.
void ClearPathnameTableEntry(tCOPathnameTable *table, CUt_HashEntry *entry);

// Removes the entries of dead code objects; run by CollectGarbage (below).
void CollectGarbagePasses(tCOPathnameTable *table);

// Counts a lookup or registration and, once per kCollectInterval of them, collects garbage.
inline void CollectGarbage(tCOPathnameTable *table) {
  if (++table->collect_count >= kCollectInterval) CollectGarbagePasses(table);
}

// The slot of the recent answers that a bytecode string maps to.
inline tCOPathnameRecent *recent_slot(tCOPathnameTable *table, PyObject *key) {
  uintptr_t address = reinterpret_cast<uintptr_t>(key);
  return &table->recent[((address >> 4) ^ (address >> 12)) % kRecentSlots];
}

// LookupCOPathname for code objects that are not among the recent answers.
const char *LookupCOPathnameInTable(tCOPathnameTable *table, PyCodeObject *co);

// The file name registered for `co` (owned by the table), or null. Inline: the dispatch asks on
// every call event.
inline const char *LookupCOPathname(tCOPathnameTable *table, PyCodeObject *co) {
  CollectGarbage(table);
  if (!co) return nullptr;
  const tCOPathnameRecent *slot = recent_slot(table, co->co_code);
  if (slot->key == co->co_code) return slot->pathname;
  return LookupCOPathnameInTable(table, co);
}

// Registers `pathname` for `co` and the code objects nested in its constants. An existing entry
// is kept unless `force` is set. Returns 0, or -1 when an entry could not be made (no Python
// error is set).
int RegisterCOPathname(tCOPathnameTable *table, PyCodeObject *co, const char *pathname, int force);

// Whether a code object found in a module's dictionary is the module's own code.
typedef bool (*tCodeBelongs)(PyCodeObject *co, void *arg);

// Registers `pathname` for every function defined in the module dictionary `globals`, its
// instance methods and the methods of its classic classes (nested up to the depth limit).
// Functions of other modules are skipped, and so is code that `belongs` (when given, called with
// `arg`) refuses. Does nothing when `globals` is not a dictionary. Always 0.
int RegisterMatchingCodeValues(tCOPathnameTable *table, const char *pathname, PyObject *globals,
                               int force, tCodeBelongs belongs = nullptr, void *arg = nullptr);

#endif  // ZARDEL_COPATHNAME_H
