// Tests of the tracer's hash table: hashing and bucket placement, growth,
// iteration with deletion, statistics text, allocation failures, value
// release, and a randomized comparison with std::unordered_map.

#include "zardelhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Owns an initialised table for the length of a test.
struct Table {
    CUt_HashTable t;
    explicit Table(unsigned keyType) { CU_InitHashTable(&t, keyType); }
    ~Table() { CU_DeleteHashTable(&t); }
    CUt_HashEntry *Add(const void *key) {
        int isNew = -1;
        CUt_HashEntry *e = CU_CreateHashEntry(&t, key, &isNew);
        EXPECT_EQ(isNew, 1);
        return e;
    }
    long Bucket(const CUt_HashEntry *e) const { return e->bucketPtr - t.buckets; }
};

// Allocator seam: allocation fails once allocsLeft reaches 0 (-1: never);
// every block the table releases is recorded.
int allocsLeft = -1;
std::set<void *> released;
void *TestAlloc(size_t size) { return allocsLeft == 0 ? nullptr : (allocsLeft > 0 && allocsLeft--, malloc(size)); }
void TestFree(void *p) { released.insert(p); free(p); }
struct HookedHeap {
    HookedHeap() { allocsLeft = -1; released.clear(); CU_SetAllocatorForTesting(TestAlloc, TestFree); }
    ~HookedHeap() { CU_SetAllocatorForTesting(nullptr, nullptr); }
};

std::string Stats(CUt_HashTable *t) {
    char *text = CU_HashStats(t);
    std::string s = text;
    free(text);
    return s;
}

std::string Expected(int entries, int buckets, std::vector<int> counts, int overflow, const char *average) {
    std::string s = std::to_string(entries) + " entries in table, " + std::to_string(buckets) + " buckets\n";
    counts.resize(10, 0);
    for (int i = 0; i < 10; i++)
        s += "number of buckets with " + std::to_string(i) + " entries: " + std::to_string(counts[i]) + "\n";
    return s + "number of buckets with 10 or more entries: " + std::to_string(overflow) +
           "\naverage search distance for entry: " + average;
}

TEST(ZardelHash, StringHashAndEmptyKey) {
    EXPECT_EQ(CU_HashString("ab"), 971u);
    EXPECT_EQ(CU_HashString("hello"), 765804u);
    EXPECT_EQ(CU_HashString("abcdefghijklmnopqrstuvwxyz"), 2258889991u);  // wraps
    EXPECT_EQ(CU_HashString("\xe9t\xe9"), 4294966454u);  // bytes >= 0x80 count as negative
    EXPECT_EQ(CU_HashString(""), 0u);
    Table tab(CU_STRING_KEYS);
    CUt_HashEntry *empty = tab.Add("");
    EXPECT_EQ(tab.Bucket(empty), 0);
    EXPECT_STREQ(CU_GetHashKey(&tab.t, empty), "");
    EXPECT_EQ(CU_FindHashEntry(&tab.t, ""), empty);
}

TEST(ZardelHash, ArrayKeyBucketsAndEnlargement) {
    Table tab(4);
    const unsigned char mixed[4] = {0x10, 0x20, 0x30, 0x80}, minus1[4] = {0xff, 0, 0, 0};
    EXPECT_EQ(tab.Bucket(tab.Add(mixed)), 0);  // byte sum -32, not 224
    EXPECT_EQ(tab.Bucket(tab.Add(minus1)), 3);
    for (int line = 1; line <= 9; line++) tab.Add(&line);
    EXPECT_EQ(tab.t.buckets, tab.t.staticBuckets);
    int ten = 10;
    tab.Add(&ten);  // the 12th entry
    EXPECT_EQ(tab.t.numBuckets, 16u);
    EXPECT_EQ(tab.t.rebuildSize, 48u);
    EXPECT_EQ(tab.t.downShift, 26);
    EXPECT_EQ(tab.t.mask, 15);
    const long expected[10] = {0, 0, 1, 1, 2, 2, 3, 3, 3, 4};
    for (int line = 1; line <= 10; line++) {
        CUt_HashEntry *e = CU_FindHashEntry(&tab.t, &line);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(tab.Bucket(e), expected[line - 1]) << line;
        EXPECT_EQ(memcmp(CU_GetHashKey(&tab.t, e), &line, 4), 0);
    }
    EXPECT_EQ(tab.Bucket(CU_FindHashEntry(&tab.t, mixed)), 1);
    EXPECT_EQ(tab.Bucket(CU_FindHashEntry(&tab.t, minus1)), 15);
}

TEST(ZardelHash, EqualByteSumsShareABucketButStayDistinct) {
    for (unsigned keyType : {4u, 8u}) {
        Table tab(keyType);
        uint64_t a = keyType == 4 ? 1 : 0x7f00000000000010, b = keyType == 4 ? 256 : 0x000000000000107f;
        CUt_HashEntry *ea = tab.Add(&a), *eb = tab.Add(&b);
        EXPECT_NE(ea, eb);
        EXPECT_EQ(tab.Bucket(ea), keyType == 4 ? 0 : 3);  // byte sums 1 and 143
        EXPECT_EQ(ea->bucketPtr, eb->bucketPtr);
        CU_DeleteHashEntry(eb);
        EXPECT_EQ(CU_FindHashEntry(&tab.t, &b), nullptr);
        EXPECT_EQ(CU_FindHashEntry(&tab.t, &a), ea);
    }
}

TEST(ZardelHash, DeletedTableRefusesUntilReinitialised) {
    Table tab(CU_STRING_KEYS);
    for (int i = 0; i < 20; i++) tab.Add(std::to_string(i).c_str());  // a malloc'd bucket array
    CU_DeleteHashTable(&tab.t);
    int isNew = -1;
    CUt_HashSearch search;
    EXPECT_EQ(CU_FindHashEntry(&tab.t, "1"), nullptr);
    EXPECT_EQ(CU_CreateHashEntry(&tab.t, "1", &isNew), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(CU_FirstHashEntry(&tab.t, &search), nullptr);
    CU_InitHashTable(&tab.t, CU_STRING_KEYS);
    CUt_HashEntry *e = tab.Add("1");
    EXPECT_EQ(CU_FirstHashEntry(&tab.t, &search), e);
}

TEST(ZardelHash, DeletingEachReturnedEntryEmptiesTheTable) {
    Table tab(8);
    for (uint64_t k = 0; k < 300; k++) tab.Add(&k);  // several enlargements, long chains
    CUt_HashSearch search;
    std::set<uint64_t> seen;
    for (CUt_HashEntry *e = CU_FirstHashEntry(&tab.t, &search); e; e = CU_NextHashEntry(&search)) {
        uint64_t k;
        memcpy(&k, CU_GetHashKey(&tab.t, e), 8);
        EXPECT_TRUE(seen.insert(k).second);
        CU_DeleteHashEntry(e);
    }
    EXPECT_EQ(seen.size(), 300u);
    EXPECT_EQ(tab.t.numEntries, 0u);
    EXPECT_EQ(CU_FirstHashEntry(&tab.t, &search), nullptr);
}

TEST(ZardelHash, StatsText) {
    Table empty(CU_STRING_KEYS), spread(CU_STRING_KEYS), chained(CU_STRING_KEYS), collided(8);
    EXPECT_EQ(Stats(&empty.t), Expected(0, 4, {4}, 0, "0.0"));
    for (const char *k : {"a", "b", "c"}) spread.Add(k);  // buckets 1, 2, 3
    EXPECT_EQ(Stats(&spread.t), Expected(3, 4, {1, 3}, 0, "1.0"));
    for (const char *k : {"a", "e", "i"}) chained.Add(k);  // all in bucket 1
    EXPECT_EQ(Stats(&chained.t), Expected(3, 4, {3, 0, 0, 1}, 0, "2.0"));
    for (int i = 0; i < 10; i++) {  // distinct 8-byte keys with two 1 bytes: all sum 2
        unsigned char key[8] = {0};
        key[i % 8] = key[(i % 8 + 1 + i / 8) % 8] = 1;
        collided.Add(key);
        if (i == 8) {
            EXPECT_EQ(Stats(&collided.t), Expected(9, 4, {3, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, "5.0"));
        }
    }
    EXPECT_EQ(Stats(&collided.t), Expected(10, 4, {3}, 1, "5.5"));
}

TEST(ZardelHash, AllocationFailures) {
    HookedHeap heap;
    Table tab(4), strings(CU_STRING_KEYS);
    for (int line = 1; line <= 10; line++) tab.Add(&line);
    int key = 11, isNew = -1;
    allocsLeft = 0;  // the entry block fails
    EXPECT_EQ(CU_CreateHashEntry(&strings.t, "x", &isNew), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(CU_CreateHashEntry(&tab.t, &key, &isNew), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(tab.t.numEntries, 10u);
    EXPECT_EQ(CU_FindHashEntry(&tab.t, &key), nullptr);
    EXPECT_EQ(CU_HashStats(&tab.t), nullptr);
    allocsLeft = -1;
    tab.Add(&key);
    allocsLeft = 1;  // the 12th entry is made, its enlargement fails
    key = 12;
    EXPECT_NE(tab.Add(&key), nullptr);
    EXPECT_EQ(tab.t.numBuckets, 4u);
    EXPECT_EQ(tab.t.rebuildSize, 12u);
    EXPECT_EQ(tab.t.buckets, tab.t.staticBuckets);
    allocsLeft = -1;  // the next insertion enlarges
    key = 13;
    tab.Add(&key);
    EXPECT_EQ(tab.t.numBuckets, 16u);
    for (int line = 1; line <= 13; line++) EXPECT_NE(CU_FindHashEntry(&tab.t, &line), nullptr);
}

TEST(ZardelHash, DeallocReleasesValuesDeleteDoesNot) {
    HookedHeap heap;
    Table tab(CU_STRING_KEYS);
    std::vector<void *> values;
    for (int i = 0; i < 30; i++) {
        values.push_back(malloc(4));
        CU_SetHashValue(tab.Add(std::to_string(i).c_str()), values.back());
    }
    tab.Add("no value");
    CU_DeleteHashEntry(CU_FindHashEntry(&tab.t, "0"));
    CU_DeallocHashEntry(CU_FindHashEntry(&tab.t, "1"));
    CU_DeallocHashEntry(CU_FindHashEntry(&tab.t, "no value"));
    EXPECT_EQ(released.count(values[0]), 0u);
    EXPECT_EQ(released.count(values[1]), 1u);
    CU_DeallocHashTable(&tab.t);
    for (int i = 1; i < 30; i++) EXPECT_EQ(released.count(values[i]), 1u) << i;
    free(values[0]);
}

// Random creates, finds, deletes and walks that delete as they go, checked
// against std::unordered_map. Key bytes come from a small alphabet, so keys
// repeat and byte sums collide; tables grow through several enlargements.
class ZardelHashModel : public ::testing::TestWithParam<unsigned> {
protected:
    unsigned keyType = GetParam();
    Table tab{keyType};
    std::unordered_map<std::string, uintptr_t> model;
    std::mt19937 rng{20240611u + keyType};

    std::string RandomKey() {
        static const char alphabet[] = "\x01\x02" "A\x7f\x80\xff";  // + NUL, array keys only
        size_t len = keyType ? keyType : rng() % 6;
        std::string key;
        for (size_t i = 0; i < len; i++) key += alphabet[rng() % (keyType ? 7 : 6)];
        return key;
    }
    std::string KeyOf(const CUt_HashEntry *e) {
        const char *k = CU_GetHashKey(&tab.t, e);
        return keyType ? std::string(k, keyType) : std::string(k);
    }
    // Checks the table's invariants, then walks it, deleting about every
    // third entry: every key must come once, from the bucket it claims.
    void WalkAndThin() {
        const CUt_HashTable &t = tab.t;
        ASSERT_EQ(t.mask, static_cast<int>(t.numBuckets) - 1);
        ASSERT_EQ(t.rebuildSize, 3 * t.numBuckets);
        ASSERT_EQ(1u << (30 - t.downShift), t.numBuckets);
        ASSERT_LT(t.numEntries, t.rebuildSize);
        size_t before = model.size();
        std::set<std::string> seen;
        CUt_HashSearch search;
        for (CUt_HashEntry *e = CU_FirstHashEntry(&tab.t, &search); e; e = CU_NextHashEntry(&search)) {
            std::string key = KeyOf(e);
            ASSERT_TRUE(seen.insert(key).second);
            ASSERT_EQ(e->bucketPtr, &t.buckets[search.nextIndex - 1]);
            ASSERT_EQ(model.count(key), 1u);
            ASSERT_EQ(reinterpret_cast<uintptr_t>(CU_GetHashValue(e)), model[key]);
            if (rng() % 3 == 0) { CU_DeleteHashEntry(e); model.erase(key); }
        }
        ASSERT_EQ(seen.size(), before);
        ASSERT_EQ(t.numEntries, model.size());
    }
};

TEST_P(ZardelHashModel, MatchesUnorderedMap) {
    uintptr_t nextValue = 1;
    unsigned largest = 0;
    for (int op = 0; op < 30000; op++) {
        int roll = rng() % 100, createShare = op < 15000 ? 70 : 30;
        std::string key = RandomKey();
        if (roll < createShare) {
            int isNew = -1;
            CUt_HashEntry *e = CU_CreateHashEntry(&tab.t, key.data(), &isNew);
            ASSERT_NE(e, nullptr);
            ASSERT_EQ(isNew, model.count(key) ? 0 : 1);
            ASSERT_EQ(KeyOf(e), key);
            if (isNew) {  // blocks are reused after deletes: the value must be reset
                ASSERT_EQ(CU_GetHashValue(e), nullptr);
                CU_SetHashValue(e, reinterpret_cast<CUt_ClientData>(model[key] = nextValue++));
            }
        } else if (roll < createShare + 15) {
            CUt_HashEntry *e = CU_FindHashEntry(&tab.t, key.data());
            ASSERT_EQ(e != nullptr, model.count(key) == 1);
            ASSERT_TRUE(!e || reinterpret_cast<uintptr_t>(CU_GetHashValue(e)) == model[key]);
        } else if (!model.empty()) {  // a present key: one of the first few in the model's order
            std::string victim = std::next(model.begin(), rng() % std::min<size_t>(model.size(), 16))->first;
            CU_DeleteHashEntry(CU_FindHashEntry(&tab.t, victim.data()));
            model.erase(victim);
            ASSERT_EQ(CU_FindHashEntry(&tab.t, victim.data()), nullptr);
        }
        ASSERT_EQ(tab.t.numEntries, model.size());
        largest = std::max(largest, tab.t.numBuckets);
        if (op % 2500 == 0) {
            ASSERT_NO_FATAL_FAILURE(WalkAndThin()) << op;
        }
    }
    ASSERT_NO_FATAL_FAILURE(WalkAndThin());
    EXPECT_GE(largest, keyType == 1 ? 4u : 256u);  // 1-byte keys have only 7 values
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, ZardelHashModel, ::testing::Values(0u, 1u, 3u, 4u, 8u, 13u));

}  // namespace
