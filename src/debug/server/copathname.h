// Code-object pathname table: which absolute file each code object belongs to.
#ifndef ZARDEL_COPATHNAME_H
#define ZARDEL_COPATHNAME_H

#include "zardelhash.h"

// Keyed by the address of the code object's bytecode string (a pointer-sized key); each value is
// a heap copy of the absolute file name. The table holds a reference to each key's string.
struct tCOPathnameTable {
  CUt_HashTable filename_for_co;
  int collect_count;  // calls since the last garbage-collection pass
};

// Makes the table empty and ready for use.
void InitCOPathnameTable(tCOPathnameTable *table);

#endif  // ZARDEL_COPATHNAME_H
