// zardelhash.cpp --
//
//   Chained hash table with string or fixed-length byte-array keys; see
//   zardelhash.h for the data model. Buckets start as the four slots built
//   into the table and grow by four whenever the table holds three entries
//   per bucket on average.

#include "zardelhash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

CUt_AllocProc allocProc = malloc;
CUt_FreeProc freeProc = free;

// Multiplier of the array-key index; its high-order product bits pick the
// bucket, which spreads nearby byte sums over the table.
const uint32_t kArrayMultiplier = 1103515245u;

// Bytes of an entry block in front of the key.
const size_t kKeyOffset = offsetof(CUt_HashEntry, key);

CUt_HashEntry *CU_StringFind(CUt_HashTable *tablePtr, const void *key);
CUt_HashEntry *CU_StringCreate(CUt_HashTable *tablePtr, const void *key,
                               int *newPtr);
CUt_HashEntry *CU_ArrayFind(CUt_HashTable *tablePtr, const void *key);
CUt_HashEntry *CU_ArrayCreate(CUt_HashTable *tablePtr, const void *key,
                              int *newPtr);

// KeyOf --
//   Address of the key stored inline in an entry block. Computed from the
//   block start rather than through the 4-byte union so that keys longer
//   than the union are addressed without out-of-bounds array indexing.
inline char *KeyOf(CUt_HashEntry *entryPtr)
{
    return reinterpret_cast<char *>(entryPtr) + kKeyOffset;
}

// StringIndex --
//   Bucket of a string key: the low bits of its hash.
inline unsigned int StringIndex(const CUt_HashTable *tablePtr, const char *key)
{
    return CU_HashString(key) & static_cast<uint32_t>(tablePtr->mask);
}

// ArrayIndex --
//   Bucket of an array key: the byte sum (bytes taken as signed chars)
//   times kArrayMultiplier, arithmetically shifted right by downShift and
//   masked. The product wraps in unsigned 32-bit arithmetic (no signed
//   overflow) and is then shifted as a signed 32-bit value.
inline unsigned int ArrayIndex(const CUt_HashTable *tablePtr, const void *key)
{
    const signed char *bytes = static_cast<const signed char *>(key);
    uint32_t sum = 0;
    if (tablePtr->keyType == 4) {  // line-number keys: the common case, unrolled
        sum = static_cast<uint32_t>(bytes[0] + bytes[1] + bytes[2] + bytes[3]);
    } else {
        for (unsigned int i = 0; i < tablePtr->keyType; i++) {
            sum += static_cast<uint32_t>(static_cast<int32_t>(bytes[i]));
        }
    }
    int32_t product = static_cast<int32_t>(sum * kArrayMultiplier);
    return static_cast<unsigned int>((product >> tablePtr->downShift) &
                                     tablePtr->mask);
}

// ArrayKeysEqual --
//   Compares two array keys over exactly n bytes. The 4- and 8-byte keys the
//   tracer uses (line numbers, object addresses) are compared as single
//   words, which keeps the per-line breakpoint lookup free of library calls.
inline bool ArrayKeysEqual(const void *a, const void *b, unsigned int n)
{
    if (n == 4) {
        uint32_t x, y;
        memcpy(&x, a, 4);
        memcpy(&y, b, 4);
        return x == y;
    }
    if (n == 8) {
        uint64_t x, y;
        memcpy(&x, a, 8);
        memcpy(&y, b, 8);
        return x == y;
    }
    return memcmp(a, b, n) == 0;
}

// EntryIndex --
//   Bucket of an entry already in the table, by the table's key kind.
inline unsigned int EntryIndex(const CUt_HashTable *tablePtr,
                               CUt_HashEntry *entryPtr)
{
    if (tablePtr->keyType == CU_STRING_KEYS) {
        return StringIndex(tablePtr, KeyOf(entryPtr));
    }
    return ArrayIndex(tablePtr, KeyOf(entryPtr));
}

// CU_RebuildTable --
//   Enlarges the bucket array fourfold and rehashes every entry into it.
//   Results: none.
//   Side effects: on success numBuckets and rebuildSize grow x4, downShift
//   drops by 2, mask widens by two bits, every entry's bucketPtr moves, and
//   a malloc'd old array is freed. If the new array cannot be allocated the
//   table is left exactly as it was; the next insertion tries again.
void CU_RebuildTable(CUt_HashTable *tablePtr)
{
    // downShift 0 means 4^15 buckets: a further step would need a negative
    // shift and overflow the unsigned counts.
    if (tablePtr->downShift < 2) {
        return;
    }
    unsigned int oldSize = tablePtr->numBuckets;
    CUt_HashEntry **oldBuckets = tablePtr->buckets;
    size_t newSize = static_cast<size_t>(oldSize) * 4;
    CUt_HashEntry **newBuckets = static_cast<CUt_HashEntry **>(
        allocProc(newSize * sizeof(CUt_HashEntry *)));
    if (newBuckets == nullptr) {
        return;
    }
    for (size_t i = 0; i < newSize; i++) {
        newBuckets[i] = nullptr;
    }

    tablePtr->buckets = newBuckets;
    tablePtr->numBuckets *= 4;
    tablePtr->rebuildSize *= 4;
    tablePtr->downShift -= 2;
    tablePtr->mask = tablePtr->mask * 4 + 3;

    for (unsigned int i = 0; i < oldSize; i++) {
        CUt_HashEntry *entryPtr = oldBuckets[i];
        while (entryPtr != nullptr) {
            CUt_HashEntry *nextPtr = entryPtr->nextPtr;
            CUt_HashEntry **bucketPtr =
                &newBuckets[EntryIndex(tablePtr, entryPtr)];
            entryPtr->bucketPtr = bucketPtr;
            entryPtr->nextPtr = *bucketPtr;
            *bucketPtr = entryPtr;
            entryPtr = nextPtr;
        }
    }

    if (oldBuckets != tablePtr->staticBuckets) {
        freeProc(oldBuckets);
    }
}

// AddEntry --
//   Allocates an entry block with keySize bytes of key, copies the key in
//   and pushes the entry at the head of the chain in *bucketPtr.
//   Results: the new entry, or NULL when the block cannot be allocated
//   (the table is then unchanged).
//   Side effects: numEntries grows by one; the table may be enlarged.
CUt_HashEntry *AddEntry(CUt_HashTable *tablePtr, CUt_HashEntry **bucketPtr,
                        const void *key, size_t keySize)
{
    size_t blockSize = kKeyOffset + keySize;
    if (blockSize < sizeof(CUt_HashEntry)) {
        blockSize = sizeof(CUt_HashEntry);
    }
    CUt_HashEntry *entryPtr =
        static_cast<CUt_HashEntry *>(allocProc(blockSize));
    if (entryPtr == nullptr) {
        return nullptr;
    }
    memcpy(KeyOf(entryPtr), key, keySize);
    entryPtr->tablePtr = tablePtr;
    entryPtr->bucketPtr = bucketPtr;
    entryPtr->clientData = nullptr;
    entryPtr->nextPtr = *bucketPtr;
    *bucketPtr = entryPtr;
    tablePtr->numEntries++;

    if (tablePtr->numEntries >= tablePtr->rebuildSize) {
        CU_RebuildTable(tablePtr);
    }
    return entryPtr;
}

// CU_StringFind --
//   Looks up a NUL-terminated string key.
//   Results: the entry, or NULL when the key is absent.
//   Side effects: none.
CUt_HashEntry *CU_StringFind(CUt_HashTable *tablePtr, const void *key)
{
    const char *string = static_cast<const char *>(key);
    CUt_HashEntry *entryPtr = tablePtr->buckets[StringIndex(tablePtr, string)];
    for (; entryPtr != nullptr; entryPtr = entryPtr->nextPtr) {
        if (strcmp(string, KeyOf(entryPtr)) == 0) {
            return entryPtr;
        }
    }
    return nullptr;
}

// CU_StringCreate --
//   Finds a string key or adds it with a NULL value.
//   Results: the entry, with *newPtr 1 when it was just added and 0 when it
//   already existed; NULL (and *newPtr 0) when memory is exhausted.
//   Side effects: may add an entry and enlarge the table.
CUt_HashEntry *CU_StringCreate(CUt_HashTable *tablePtr, const void *key,
                               int *newPtr)
{
    const char *string = static_cast<const char *>(key);
    CUt_HashEntry **bucketPtr =
        &tablePtr->buckets[StringIndex(tablePtr, string)];
    for (CUt_HashEntry *entryPtr = *bucketPtr; entryPtr != nullptr;
         entryPtr = entryPtr->nextPtr) {
        if (strcmp(string, KeyOf(entryPtr)) == 0) {
            *newPtr = 0;
            return entryPtr;
        }
    }
    CUt_HashEntry *entryPtr =
        AddEntry(tablePtr, bucketPtr, string, strlen(string) + 1);
    *newPtr = (entryPtr != nullptr);
    return entryPtr;
}

// CU_ArrayFind --
//   Looks up a key of keyType bytes.
//   Results: the entry, or NULL when the key is absent.
//   Side effects: none.
CUt_HashEntry *CU_ArrayFind(CUt_HashTable *tablePtr, const void *key)
{
    CUt_HashEntry *entryPtr = tablePtr->buckets[ArrayIndex(tablePtr, key)];
    for (; entryPtr != nullptr; entryPtr = entryPtr->nextPtr) {
        if (ArrayKeysEqual(key, KeyOf(entryPtr), tablePtr->keyType)) {
            return entryPtr;
        }
    }
    return nullptr;
}

// CU_ArrayCreate --
//   Finds a key of keyType bytes or adds it with a NULL value.
//   Results and side effects: as CU_StringCreate.
CUt_HashEntry *CU_ArrayCreate(CUt_HashTable *tablePtr, const void *key,
                              int *newPtr)
{
    CUt_HashEntry **bucketPtr = &tablePtr->buckets[ArrayIndex(tablePtr, key)];
    for (CUt_HashEntry *entryPtr = *bucketPtr; entryPtr != nullptr;
         entryPtr = entryPtr->nextPtr) {
        if (ArrayKeysEqual(key, KeyOf(entryPtr), tablePtr->keyType)) {
            *newPtr = 0;
            return entryPtr;
        }
    }
    CUt_HashEntry *entryPtr =
        AddEntry(tablePtr, bucketPtr, key, tablePtr->keyType);
    *newPtr = (entryPtr != nullptr);
    return entryPtr;
}

// ReleaseTable --
//   Frees every entry (and, when freeValues, every non-NULL value) and a
//   malloc'd bucket array, then leaves the table empty with the bogus
//   procedures installed, so that iteration finds nothing and find/create
//   return NULL until CU_InitHashTable is called again.
void ReleaseTable(CUt_HashTable *tablePtr, bool freeValues)
{
    for (unsigned int i = 0; i < tablePtr->numBuckets; i++) {
        CUt_HashEntry *entryPtr = tablePtr->buckets[i];
        while (entryPtr != nullptr) {
            CUt_HashEntry *nextPtr = entryPtr->nextPtr;
            if (freeValues && entryPtr->clientData != nullptr) {
                freeProc(entryPtr->clientData);
            }
            freeProc(entryPtr);
            entryPtr = nextPtr;
        }
    }
    if (tablePtr->buckets != tablePtr->staticBuckets) {
        freeProc(tablePtr->buckets);
    }
    CU_InitHashTable(tablePtr, tablePtr->keyType);
    tablePtr->findProc = CU_BogusFind;
    tablePtr->createProc = CU_BogusCreate;
}

} // namespace

// CU_InitHashTable --
//   Makes an empty table of four built-in buckets. keyType is
//   CU_STRING_KEYS for NUL-terminated string keys, or the key length in
//   bytes (any n > 0) for array keys.
//   Results: none.
//   Side effects: every field of *tablePtr is set; nothing is allocated.
void CU_InitHashTable(CUt_HashTable *tablePtr, unsigned int keyType)
{
    tablePtr->buckets = tablePtr->staticBuckets;
    for (int i = 0; i < CU_SMALL_HASH_TABLE; i++) {
        tablePtr->staticBuckets[i] = nullptr;
    }
    tablePtr->numBuckets = CU_SMALL_HASH_TABLE;
    tablePtr->numEntries = 0;
    tablePtr->rebuildSize = 3 * CU_SMALL_HASH_TABLE;
    tablePtr->downShift = 28;
    tablePtr->mask = CU_SMALL_HASH_TABLE - 1;
    tablePtr->keyType = keyType;
    if (keyType == CU_STRING_KEYS) {
        tablePtr->findProc = CU_StringFind;
        tablePtr->createProc = CU_StringCreate;
    } else {
        tablePtr->findProc = CU_ArrayFind;
        tablePtr->createProc = CU_ArrayCreate;
    }
}

// CU_DeleteHashEntry --
//   Removes an entry from its table. The value is left alone.
//   Results: none.
//   Side effects: the entry is unlinked from its chain, numEntries drops by
//   one and the entry block is freed; entryPtr is invalid afterwards.
void CU_DeleteHashEntry(CUt_HashEntry *entryPtr)
{
    CUt_HashEntry **linkPtr = entryPtr->bucketPtr;
    while (*linkPtr != nullptr && *linkPtr != entryPtr) {
        linkPtr = &(*linkPtr)->nextPtr;
    }
    if (*linkPtr == entryPtr) {
        *linkPtr = entryPtr->nextPtr;
        entryPtr->tablePtr->numEntries--;
    }
    freeProc(entryPtr);
}

// CU_DeallocHashEntry --
//   As CU_DeleteHashEntry, but first frees the value when it is not NULL.
//   Results: none.
//   Side effects: as CU_DeleteHashEntry; the value block is freed.
void CU_DeallocHashEntry(CUt_HashEntry *entryPtr)
{
    if (entryPtr->clientData != nullptr) {
        freeProc(entryPtr->clientData);
    }
    CU_DeleteHashEntry(entryPtr);
}

// CU_DeleteHashTable --
//   Frees every entry of a table and its bucket array. Values are left
//   alone.
//   Results: none.
//   Side effects: the table is empty and unusable: find and create return
//   NULL until CU_InitHashTable is called on it again.
void CU_DeleteHashTable(CUt_HashTable *tablePtr)
{
    ReleaseTable(tablePtr, false);
}

// CU_DeallocHashTable --
//   As CU_DeleteHashTable, but also frees every non-NULL value.
//   Results: none.
//   Side effects: as CU_DeleteHashTable; the value blocks are freed.
void CU_DeallocHashTable(CUt_HashTable *tablePtr)
{
    ReleaseTable(tablePtr, true);
}

// CU_FirstHashEntry --
//   Starts a walk over every entry of a table with the caller's cursor.
//   Results: the first entry, or NULL when the table is empty.
//   Side effects: *searchPtr is set up for CU_NextHashEntry.
CUt_HashEntry *CU_FirstHashEntry(CUt_HashTable *tablePtr,
                                 CUt_HashSearch *searchPtr)
{
    searchPtr->tablePtr = tablePtr;
    searchPtr->nextIndex = 0;
    searchPtr->nextEntryPtr = nullptr;
    return CU_NextHashEntry(searchPtr);
}

// CU_NextHashEntry --
//   Continues a walk: bucket order, chain order within a bucket. The caller
//   may delete the entry just returned, since the cursor already points past
//   it; creating entries (which can rebuild the table) ends the walk.
//   Results: the next entry, or NULL when every entry has been returned.
//   Side effects: the cursor advances.
CUt_HashEntry *CU_NextHashEntry(CUt_HashSearch *searchPtr)
{
    CUt_HashTable *tablePtr = searchPtr->tablePtr;
    while (searchPtr->nextEntryPtr == nullptr) {
        if (searchPtr->nextIndex >= tablePtr->numBuckets) {
            return nullptr;
        }
        searchPtr->nextEntryPtr = tablePtr->buckets[searchPtr->nextIndex];
        searchPtr->nextIndex++;
    }
    CUt_HashEntry *entryPtr = searchPtr->nextEntryPtr;
    searchPtr->nextEntryPtr = entryPtr->nextPtr;
    return entryPtr;
}

// CU_HashStats --
//   Describes how evenly the entries spread over the buckets: a tally of
//   chain lengths 0 to 9, of longer chains, and the average number of
//   comparisons a successful lookup makes.
//   Results: a 900-byte malloc'd text the caller frees with free(), or NULL
//   when it cannot be allocated.
//   Side effects: none.
char *CU_HashStats(CUt_HashTable *tablePtr)
{
    const int kNumCounters = 10;
    const size_t kTextSize = 900;
    int count[kNumCounters] = {0};
    int overflow = 0;
    double average = 0.0;

    for (unsigned int i = 0; i < tablePtr->numBuckets; i++) {
        int length = 0;
        for (CUt_HashEntry *entryPtr = tablePtr->buckets[i];
             entryPtr != nullptr; entryPtr = entryPtr->nextPtr) {
            length++;
        }
        if (length < kNumCounters) {
            count[length]++;
        } else {
            overflow++;
        }
        // Empty chains add nothing; skipping them also keeps an empty table
        // from dividing zero by zero.
        if (length > 0) {
            double len = length;
            average += (len + 1.0) * (len / tablePtr->numEntries) / 2.0;
        }
    }

    char *text = static_cast<char *>(allocProc(kTextSize));
    if (text == nullptr) {
        return nullptr;
    }
    size_t used = static_cast<size_t>(
        snprintf(text, kTextSize, "%d entries in table, %d buckets\n",
                 static_cast<int>(tablePtr->numEntries),
                 static_cast<int>(tablePtr->numBuckets)));
    for (int i = 0; i < kNumCounters && used < kTextSize; i++) {
        used += static_cast<size_t>(
            snprintf(text + used, kTextSize - used,
                     "number of buckets with %d entries: %d\n", i, count[i]));
    }
    if (used < kTextSize) {
        used += static_cast<size_t>(snprintf(
            text + used, kTextSize - used,
            "number of buckets with %d or more entries: %d\n", kNumCounters,
            overflow));
    }
    if (used < kTextSize) {
        snprintf(text + used, kTextSize - used,
                 "average search distance for entry: %.1f", average);
    }
    return text;
}

// CU_HashString --
//   Hash of a NUL-terminated string: h = h * 9 + c over its bytes, each
//   taken as a signed char, in 32-bit wrap-around arithmetic.
//   Results: the hash; 0 for the empty string.
//   Side effects: none.
uint32_t CU_HashString(const char *string)
{
    uint32_t hash = 0;
    for (const char *p = string; *p != '\0'; p++) {
        hash = hash * 9u +
               static_cast<uint32_t>(static_cast<int32_t>(
                   static_cast<signed char>(*p)));
    }
    return hash;
}

// CU_BogusFind --
//   Lookup installed on a deleted table.
//   Results: always NULL.
//   Side effects: none.
CUt_HashEntry *CU_BogusFind(CUt_HashTable * /*tablePtr*/, const void * /*key*/)
{
    return nullptr;
}

// CU_BogusCreate --
//   Find-or-create installed on a deleted table.
//   Results: always NULL, with *newPtr set to 0.
//   Side effects: none.
CUt_HashEntry *CU_BogusCreate(CUt_HashTable * /*tablePtr*/,
                              const void * /*key*/, int *newPtr)
{
    *newPtr = 0;
    return nullptr;
}

// CU_SetAllocatorForTesting --
//   Lets tests make allocation fail or watch releases.
//   Results: none.
//   Side effects: every later allocation and release in this module goes
//   through the given routines; NULL restores malloc or free.
void CU_SetAllocatorForTesting(CUt_AllocProc alloc, CUt_FreeProc release)
{
    allocProc = (alloc != nullptr) ? alloc : malloc;
    freeProc = (release != nullptr) ? release : free;
}
