// Benchmarks of the core containers against the C and C++ libraries: member
// pool random alloc/free with 100k live members (against malloc/free), and the
// hash table with 20k "a.b.c.d:port" keys (against std::unordered_map); both
// sides must find every key they inserted, with its value.
#include "core/hashtable.h"
#include "core/pool.h"
#include "core/zyl.h"

#include "bench/bench_main.h"
#include <benchmark/benchmark.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const int kLive = 100000;
const int kMemberSize = 64;
const int kSteps = 1000; // free + alloc pairs per iteration

std::vector<int> RandomSlots() {
    std::mt19937 random(12345);
    std::vector<int> slots(1 << 16);
    for (int &slot : slots) {
        slot = (int)(random() % kLive);
    }
    return slots;
}

void BM_PoolRandom(benchmark::State &state) {
    PoolStruct *pool = nullptr;
    POOL_CREATE(pool);
    Pool_SetMemberSize(pool, kMemberSize);
    Pool_SetMembersPerChunk(pool, 100);
    std::vector<void *> live(kLive);
    for (void *&member : live) {
        member = POOL_ALLOC(pool, kMemberSize);
    }
    std::vector<int> slots = RandomSlots();
    size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < kSteps; i++) {
            void *&member = live[slots[next++ & 0xFFFF]];
            POOL_FREE(pool, member, kMemberSize);
            member = POOL_ALLOC(pool, kMemberSize);
            static_cast<char *>(member)[0] = 1;
        }
    }
    Pool_Reset(pool);
    Pool_Destroy(&pool);
}
BENCHMARK(BM_PoolRandom);

void BM_MallocRandom(benchmark::State &state) {
    std::vector<void *> live(kLive);
    for (void *&member : live) {
        member = malloc(kMemberSize);
    }
    std::vector<int> slots = RandomSlots();
    size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < kSteps; i++) {
            void *&member = live[slots[next++ & 0xFFFF]];
            free(member);
            member = malloc(kMemberSize);
            static_cast<char *>(member)[0] = 1;
        }
    }
    for (void *member : live) {
        free(member);
    }
}
BENCHMARK(BM_MallocRandom);

std::vector<std::string> PeerKeys() {
    std::mt19937 random(777);
    std::vector<std::string> keys;
    for (int i = 0; i < 20000; i++) {
        char key[64];
        snprintf(key, sizeof(key), "%u.%u.%u.%u:%u", (unsigned)(random() % 256),
                 (unsigned)(random() % 256), (unsigned)(random() % 256), (unsigned)(random() % 256),
                 (unsigned)(1024 + random() % 64000));
        keys.push_back(key);
    }
    return keys;
}

void BM_HashTable(benchmark::State &state) {
    std::vector<std::string> keys = PeerKeys();
    int value = 0;
    for (auto _ : state) {
        HashTableStruct *table = nullptr;
        HashTable_Create(&table);
        for (const std::string &key : keys) {
            HashTable_Set(table, key.c_str(), &value);
        }
        int found = 0;
        for (const std::string &key : keys) {
            void *result = nullptr;
            found += HashTable_Get(&result, key.c_str(), table) && result == &value;
        }
        benchmark::DoNotOptimize(found);
        HashTable_Destroy(&table);
        if (found != (int)keys.size()) {
            state.SkipWithError("a key inserted was not found");
            break;
        }
    }
}
BENCHMARK(BM_HashTable);

void BM_UnorderedMap(benchmark::State &state) {
    std::vector<std::string> keys = PeerKeys();
    int value = 0;
    for (auto _ : state) {
        std::unordered_map<std::string, void *> table;
        for (const std::string &key : keys) {
            table[key] = &value;
        }
        int found = 0;
        for (const std::string &key : keys) {
            auto it = table.find(key);
            found += it != table.end() && it->second == &value;
        }
        benchmark::DoNotOptimize(found);
        if (found != (int)keys.size()) {
            state.SkipWithError("a key inserted was not found");
            break;
        }
    }
}
BENCHMARK(BM_UnorderedMap);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
