// Code-object pathname table.
#include "copathname.h"

// InitCOPathnameTable --
//   Initialises the table with pointer-sized keys (a code string's address) and resets the
//   garbage-collection counter. Any previous content is not released.
void InitCOPathnameTable(tCOPathnameTable *table) {
  CU_InitHashTable(&table->filename_for_co, sizeof(void *));
  table->collect_count = 0;
}
