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

// Allocator seam: fails once `allocsLeft` reaches 0 (-1: never), and
// records every pointer released through the table.
int allocsLeft = -1;
std::set<void *> released;
void *TestAlloc(size_t size) {
    if (allocsLeft == 0) return nullptr;
    if (allocsLeft > 0) allocsLeft--;
    return malloc(size);
}
void TestFree(void *p) { released.insert(p); free(p); }
struct HookedHeap {
    HookedHeap() { allocsLeft = -1; released.clear(); CU_SetAllocatorForTesting(TestAlloc, TestFree); }
    ~HookedHeap() { CU_SetAllocatorForTesting(nullptr, nullptr); }
};

std::string Stats(CUt_HashTable *t) {
    char *text = CU_HashStats(t);
    std::string s = text;
    EXPECT_LT(s.size(), 900u);
    free(text);
    return s;
}

std::string StatsText(int entries, int buckets, std::vector<int> counts, int overflow,
                      const char *average) {
    std::string s = std::to_string(entries) + " entries in table, " + std::to_string(buckets) +
                    " buckets\n";
    counts.resize(10, 0);
    for (int i = 0; i < 10; i++)
        s += "number of buckets with " + std::to_string(i) + " entries: " + std::to_string(counts[i]) + "\n";
    return s + "number of buckets with 10 or more entries: " + std::to_string(overflow) +
           "\naverage search distance for entry: " + average;
}

TEST(ZardelHash, StringHashValues) {
    EXPECT_EQ(CU_HashString(""), 0u);
    EXPECT_EQ(CU_HashString("ab"), 971u);
    EXPECT_EQ(CU_HashString("hello"), 765804u);
    EXPECT_EQ(CU_HashString("abcdefghijklmnopqrstuvwxyz"), 2258889991u);  // wraps
    EXPECT_EQ(CU_HashString("\xe9t\xe9"), 4294966454u);  // bytes >= 0x80 are negative
}

TEST(ZardelHash, StringKeys) {
    Table tab(CU_STRING_KEYS);
    EXPECT_EQ(tab.Bucket(tab.Add("")), 0);
    CUt_HashEntry *lower = tab.Add("key");
    CUt_HashEntry *upper = tab.Add("Key");
    CUt_HashEntry *longer = tab.Add("keys");
    CU_SetHashValue(lower, &tab);
    int isNew = -1;
    EXPECT_EQ(CU_CreateHashEntry(&tab.t, "key", &isNew), lower);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(CU_GetHashValue(lower), &tab);  // an existing entry keeps its value
    EXPECT_EQ(CU_FindHashEntry(&tab.t, "Key"), upper);
    EXPECT_EQ(CU_FindHashEntry(&tab.t, "keys"), longer);
    EXPECT_STREQ(CU_GetHashKey(&tab.t, longer), "keys");
    EXPECT_EQ(CU_FindHashEntry(&tab.t, "ke"), nullptr);
    EXPECT_EQ(CU_GetHashValue(upper), nullptr);
}

TEST(ZardelHash, ArrayKeyBuckets) {
    Table tab(4);
    const unsigned char negative[4] = {0x80, 0, 0, 0}, minusOne[4] = {0xff, 0, 0, 0};
    int hundred = 100;
    EXPECT_EQ(tab.Bucket(tab.Add(negative)), 1);  // sum -128, not 128
    EXPECT_EQ(tab.Bucket(tab.Add(minusOne)), 3);
    EXPECT_EQ(tab.Bucket(tab.Add(&hundred)), 3);
}

TEST(ZardelHash, TwelfthInsertEnlargesToSixteenBuckets) {
    Table tab(4);
    for (int line = 1; line <= 11; line++) tab.Add(&line);
    EXPECT_EQ(tab.t.buckets, tab.t.staticBuckets);
    int twelve = 12;
    tab.Add(&twelve);
    EXPECT_EQ(tab.t.numBuckets, 16u);
    EXPECT_EQ(tab.t.rebuildSize, 48u);
    EXPECT_EQ(tab.t.downShift, 26);
    EXPECT_EQ(tab.t.mask, 15);
    const long expected[12] = {0, 0, 1, 1, 2, 2, 3, 3, 3, 4, 4, 5};
    for (int line = 1; line <= 12; line++) {
        CUt_HashEntry *e = CU_FindHashEntry(&tab.t, &line);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(tab.Bucket(e), expected[line - 1]) << line;
        EXPECT_EQ(memcmp(CU_GetHashKey(&tab.t, e), &line, 4), 0);
    }
}

TEST(ZardelHash, EqualByteSumsShareABucketButStayDistinct) {
    for (unsigned keyType : {4u, 8u}) {
        Table tab(keyType);
        uint64_t a = keyType == 4 ? 1 : 0x00007f0000000010, b = keyType == 4 ? 256 : 0x000010000000007f;
        CUt_HashEntry *ea = tab.Add(&a), *eb = tab.Add(&b);
        EXPECT_NE(ea, eb);
        EXPECT_EQ(ea->bucketPtr, eb->bucketPtr);
        EXPECT_EQ(CU_FindHashEntry(&tab.t, &a), ea);
        CU_DeleteHashEntry(eb);
        EXPECT_EQ(CU_FindHashEntry(&tab.t, &b), nullptr);
        EXPECT_EQ(CU_FindHashEntry(&tab.t, &a), ea);
    }
}

TEST(ZardelHash, DeletedTableRefusesUntilReinitialised) {
    CUt_HashTable t;
    CU_InitHashTable(&t, CU_STRING_KEYS);
    int isNew = -1;
    for (int i = 0; i < 20; i++) CU_CreateHashEntry(&t, std::to_string(i).c_str(), &isNew);
    CU_DeleteHashTable(&t);
    CUt_HashSearch search;
    EXPECT_EQ(CU_FindHashEntry(&t, "1"), nullptr);
    EXPECT_EQ(CU_CreateHashEntry(&t, "1", &isNew), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(CU_FirstHashEntry(&t, &search), nullptr);
    CU_InitHashTable(&t, CU_STRING_KEYS);
    EXPECT_NE(CU_CreateHashEntry(&t, "1", &isNew), nullptr);
    EXPECT_EQ(CU_FindHashEntry(&t, "1"), CU_FirstHashEntry(&t, &search));
    CU_DeleteHashTable(&t);
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
    EXPECT_EQ(Stats(&empty.t), StatsText(0, 4, {4}, 0, "0.0"));
    for (const char *k : {"a", "b", "c"}) spread.Add(k);  // buckets 1, 2, 3
    EXPECT_EQ(Stats(&spread.t), StatsText(3, 4, {1, 3}, 0, "1.0"));
    for (const char *k : {"a", "e", "i"}) chained.Add(k);  // all in bucket 1
    EXPECT_EQ(Stats(&chained.t), StatsText(3, 4, {3, 0, 0, 1}, 0, "2.0"));
    int added = 0;  // 20 distinct 8-byte keys, each with two 1 bytes: all sum 2
    for (int i = 0; i < 8; i++)
        for (int j = i + 1; j < 8 && added < 20; j++, added++) {
            unsigned char key[8] = {0};
            key[i] = key[j] = 1;
            collided.Add(key);
        }
    EXPECT_EQ(Stats(&collided.t), StatsText(20, 16, {15}, 1, "10.5"));
}

TEST(ZardelHash, AllocationFailures) {
    HookedHeap heap;
    Table tab(4);
    for (int line = 1; line <= 10; line++) tab.Add(&line);
    int key = 11, isNew = -1;
    allocsLeft = 0;  // the entry block
    EXPECT_EQ(CU_CreateHashEntry(&tab.t, &key, &isNew), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(tab.t.numEntries, 10u);
    EXPECT_EQ(CU_FindHashEntry(&tab.t, &key), nullptr);
    EXPECT_EQ(CU_HashStats(&tab.t), nullptr);
    allocsLeft = -1;
    tab.Add(&key);
    allocsLeft = 1;  // the 12th entry is made, its enlargement is not
    key = 12;
    EXPECT_NE(tab.Add(&key), nullptr);
    EXPECT_EQ(tab.t.numBuckets, 4u);
    EXPECT_EQ(tab.t.rebuildSize, 12u);
    EXPECT_EQ(tab.t.buckets, tab.t.staticBuckets);
    allocsLeft = -1;  // the next insertion tries again
    key = 13;
    tab.Add(&key);
    EXPECT_EQ(tab.t.numBuckets, 16u);
    EXPECT_EQ(tab.t.mask, 15);
    for (int line = 1; line <= 13; line++) EXPECT_NE(CU_FindHashEntry(&tab.t, &line), nullptr);
}

TEST(ZardelHash, DeallocReleasesValuesDeleteDoesNot) {
    HookedHeap heap;
    Table tab(CU_STRING_KEYS);
    void *kept = malloc(8), *dropped = malloc(8);
    CU_SetHashValue(tab.Add("kept"), kept);
    CU_SetHashValue(tab.Add("dropped"), dropped);
    tab.Add("none");
    CU_DeleteHashEntry(CU_FindHashEntry(&tab.t, "kept"));
    CU_DeallocHashEntry(CU_FindHashEntry(&tab.t, "dropped"));
    CU_DeallocHashEntry(CU_FindHashEntry(&tab.t, "none"));
    EXPECT_EQ(released.count(kept), 0u);
    EXPECT_EQ(released.count(dropped), 1u);
    free(kept);

    std::vector<void *> values;
    for (int i = 0; i < 30; i++) {
        values.push_back(malloc(4));
        CU_SetHashValue(tab.Add(std::to_string(i).c_str()), values.back());
    }
    tab.Add("null value");
    CU_DeallocHashTable(&tab.t);
    for (void *v : values) EXPECT_EQ(released.count(v), 1u);
    EXPECT_EQ(CU_FindHashEntry(&tab.t, "1"), nullptr);
}

// Random creates, finds, deletes and walks that delete as they go, checked
// against std::unordered_map. Key bytes come from a small alphabet, so keys
// repeat and byte sums collide; tables grow through several enlargements.
class ZardelHashModel : public ::testing::TestWithParam<unsigned> {
protected:
    struct Slot { uintptr_t value; size_t pos; };
    unsigned keyType = GetParam();
    Table tab{keyType};
    std::unordered_map<std::string, Slot> model;
    std::vector<std::string> live;  // model's keys, for picking victims
    std::mt19937 rng{20240611u + keyType};

    std::string RandomKey() {
        static const char alphabet[] = {'\x01', '\x02', 'A', '\x7f', '\x80', '\xff', '\0'};
        size_t len = keyType ? keyType : rng() % 6;
        size_t choices = keyType ? 7 : 6;  // no NUL inside string keys
        std::string key;
        for (size_t i = 0; i < len; i++) key += alphabet[rng() % choices];
        return key;
    }
    std::string KeyOf(const CUt_HashEntry *e) {
        const char *k = CU_GetHashKey(&tab.t, e);
        return keyType ? std::string(k, keyType) : std::string(k);
    }
    void Forget(const std::string &key) {
        size_t pos = model[key].pos;
        live[pos] = live.back();
        model[live[pos]].pos = pos;
        live.pop_back();
        model.erase(key);
    }
    // Walks the table, deleting roughly every third entry, and checks that
    // every key is returned once from the bucket its entry claims.
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
            ASSERT_EQ(reinterpret_cast<uintptr_t>(CU_GetHashValue(e)), model[key].value);
            if (rng() % 3 == 0) { CU_DeleteHashEntry(e); Forget(key); }
        }
        ASSERT_EQ(seen.size(), before);
        ASSERT_EQ(t.numEntries, model.size());
        for (const std::string &k : live) ASSERT_EQ(seen.count(k), 1u);
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
            if (isNew) {
                CU_SetHashValue(e, reinterpret_cast<CUt_ClientData>(nextValue));
                model[key] = {nextValue++, live.size()};
                live.push_back(key);
            }
        } else if (roll < createShare + 15) {
            CUt_HashEntry *e = CU_FindHashEntry(&tab.t, key.data());
            ASSERT_EQ(e != nullptr, model.count(key) == 1);
            if (e) {
                ASSERT_EQ(reinterpret_cast<uintptr_t>(CU_GetHashValue(e)), model[key].value);
            }
        } else if (!live.empty()) {
            std::string victim = live[rng() % live.size()];
            CU_DeleteHashEntry(CU_FindHashEntry(&tab.t, victim.data()));
            Forget(victim);
            ASSERT_EQ(CU_FindHashEntry(&tab.t, victim.data()), nullptr);
        }
        ASSERT_EQ(tab.t.numEntries, model.size());
        largest = std::max(largest, tab.t.numBuckets);
        if (op % 2500 == 0) {
            ASSERT_NO_FATAL_FAILURE(WalkAndThin());
        }
    }
    ASSERT_NO_FATAL_FAILURE(WalkAndThin());
    if (keyType != 1) {  // 1-byte keys have only 7 values
        EXPECT_GE(largest, 256u);
    }
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, ZardelHashModel, ::testing::Values(0u, 1u, 3u, 4u, 8u, 13u));

}  // namespace
