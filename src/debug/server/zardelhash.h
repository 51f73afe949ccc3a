// zardelhash.h --
//
//   The tracer's one generic hash table: a chained table that maps a key to
//   one pointer-sized value. A table holds either NUL-terminated string keys
//   or fixed-length byte-array keys, chosen when it is initialised. Every
//   block (entries, enlarged bucket arrays, statistics text) comes from
//   malloc and goes back with free; nothing is reference counted.
//
//   Tables are embedded by value in the records that use them and are only
//   touched by the thread that holds the interpreter lock, so there is no
//   locking here.

#ifndef ZARDELHASH_H
#define ZARDELHASH_H

#include <cstddef>
#include <cstdint>

// The value stored under a key: one pointer-sized word, owned by the caller
// except through CU_DeallocHashEntry and CU_DeallocHashTable.
typedef void *CUt_ClientData;

// Number of bucket slots built into every table; a table of up to 11
// entries allocates nothing but its entries.
#define CU_SMALL_HASH_TABLE 4

// Key kinds for CU_InitHashTable: 0 means NUL-terminated strings; any
// positive keyType is the length in bytes of array keys.
#define CU_STRING_KEYS 0

struct CUt_HashTable;

// One heap block per entry. The key is stored in the same block, starting
// at `key`; the block is allocated large enough for the whole key (a string
// and its terminator, or exactly keyType bytes), so `key` only marks where
// the key begins.
typedef struct CUt_HashEntry {
    struct CUt_HashEntry *nextPtr;   // next entry in the same chain, or NULL
    struct CUt_HashTable *tablePtr;  // table this entry belongs to
    struct CUt_HashEntry **bucketPtr; // slot heading this entry's chain, so
                                     // deletion needs no hashing
    CUt_ClientData clientData;       // the value; NULL when created
    union {
        unsigned char bytes[4];      // array keys (keyType bytes)
        char string[4];              // string keys, NUL-terminated
    } key;                           // MUST BE LAST: the key runs on past it
} CUt_HashEntry;

// Lookup and find-or-create for one key kind. The key is a `const char *`
// for string tables and a pointer to keyType bytes for array tables.
typedef CUt_HashEntry *(*CUt_HashFindProc)(struct CUt_HashTable *tablePtr,
                                           const void *key);
typedef CUt_HashEntry *(*CUt_HashCreateProc)(struct CUt_HashTable *tablePtr,
                                             const void *key, int *newPtr);

// The table itself, embedded by value in its owner. Invariants: mask is
// numBuckets - 1, rebuildSize is 3 * numBuckets, downShift is 30 minus
// log2(numBuckets), and every entry is on the chain its key hashes to.
typedef struct CUt_HashTable {
    CUt_HashEntry **buckets;          // bucket array: staticBuckets or malloc'd
    CUt_HashEntry *staticBuckets[CU_SMALL_HASH_TABLE]; // used while small
    unsigned int numBuckets;          // slots in buckets; a power of 4
    unsigned int numEntries;          // entries in the table
    unsigned int rebuildSize;         // enlarge once numEntries reaches this
    int downShift;                    // shift for the array-key index
    int mask;                         // numBuckets - 1
    unsigned int keyType;             // CU_STRING_KEYS or array key length
    CUt_HashFindProc findProc;        // lookup for this key kind
    CUt_HashCreateProc createProc;    // find-or-create for this key kind
} CUt_HashTable;

// An iteration cursor, owned by the caller (usually on the stack).
typedef struct CUt_HashSearch {
    CUt_HashTable *tablePtr;          // table being walked
    unsigned int nextIndex;           // next bucket to visit
    CUt_HashEntry *nextEntryPtr;      // next entry of the current chain
} CUt_HashSearch;

void CU_InitHashTable(CUt_HashTable *tablePtr, unsigned int keyType);
void CU_DeleteHashEntry(CUt_HashEntry *entryPtr);
void CU_DeallocHashEntry(CUt_HashEntry *entryPtr);
void CU_DeleteHashTable(CUt_HashTable *tablePtr);
void CU_DeallocHashTable(CUt_HashTable *tablePtr);
CUt_HashEntry *CU_FirstHashEntry(CUt_HashTable *tablePtr,
                                 CUt_HashSearch *searchPtr);
CUt_HashEntry *CU_NextHashEntry(CUt_HashSearch *searchPtr);
char *CU_HashStats(CUt_HashTable *tablePtr);
uint32_t CU_HashString(const char *string);
CUt_HashEntry *CU_BogusFind(CUt_HashTable *tablePtr, const void *key);
CUt_HashEntry *CU_BogusCreate(CUt_HashTable *tablePtr, const void *key,
                              int *newPtr);

// Test seam: replaces the heap routines used for every block this module
// allocates or releases (values included). NULL restores malloc / free.
typedef void *(*CUt_AllocProc)(size_t size);
typedef void (*CUt_FreeProc)(void *ptr);
void CU_SetAllocatorForTesting(CUt_AllocProc allocProc, CUt_FreeProc freeProc);

// Convenience wrappers, in the shape callers of such tables expect.

inline CUt_HashEntry *CU_FindHashEntry(CUt_HashTable *tablePtr, const void *key)
{
    return tablePtr->findProc(tablePtr, key);
}

inline CUt_HashEntry *CU_CreateHashEntry(CUt_HashTable *tablePtr,
                                         const void *key, int *newPtr)
{
    return tablePtr->createProc(tablePtr, key, newPtr);
}

inline CUt_ClientData CU_GetHashValue(const CUt_HashEntry *entryPtr)
{
    return entryPtr->clientData;
}

inline void CU_SetHashValue(CUt_HashEntry *entryPtr, CUt_ClientData value)
{
    entryPtr->clientData = value;
}

// Start of the entry's key: a NUL-terminated string for string tables,
// keyType bytes for array tables. The table argument keeps the familiar
// (table, entry) shape; the key is always stored inline.
inline const char *CU_GetHashKey(const CUt_HashTable * /*tablePtr*/,
                                 const CUt_HashEntry *entryPtr)
{
    return reinterpret_cast<const char *>(entryPtr) +
           offsetof(CUt_HashEntry, key);
}

#endif // ZARDELHASH_H
