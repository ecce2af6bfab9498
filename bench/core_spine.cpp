// The core spine's hot paths against their standard counterparts: the formatter
// against snprintf on formats both support, the mutex against std::mutex with four
// threads and short critical sections, CRC-32 against zlib, the allocator.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>
#include <zlib.h>

#include "core/mutex.h"
#include "core/zyl.h"

namespace {

// One line of each common kind: integers, padding, text, hex, 64-bit, doubles.
#define SPINE_FORMAT "%d|%u|%08x|%-12s|%5d|%lld|%c|%.3f|%s|%X\n"
#define SPINE_ARGS                                                                                 \
    i, 4000000000u + (unsigned)i, (unsigned)i * 2654435761u, "piece", i & 1023,                    \
        (long long)i * 1000003LL, 'a' + (i & 15), i * 0.125, "data/archive/part-0001.bin",         \
        (unsigned)i

void BM_FormatOurs(benchmark::State &state) {
    char buffer[256];
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Zyl_FormatString(buffer, sizeof(buffer), SPINE_FORMAT, SPINE_ARGS));
        i++;
    }
}
BENCHMARK(BM_FormatOurs);

void BM_FormatSnprintf(benchmark::State &state) {
    char buffer[256];
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, sizeof(buffer), SPINE_FORMAT, SPINE_ARGS));
        i++;
    }
}
BENCHMARK(BM_FormatSnprintf);

MutexStruct *g_mutex = nullptr;
std::mutex g_stdMutex;
int64_t g_counter = 0;

// Short critical section: a few dependent updates of shared state.
inline void Work() {
    g_counter = g_counter * 3 + 1;
    benchmark::DoNotOptimize(g_counter);
}

void BM_MutexOurs(benchmark::State &state) {
    if (state.thread_index() == 0 && !g_mutex)
        Mutex_Create(&g_mutex);
    for (auto _ : state) {
        Mutex_Lock(g_mutex, -1, __FILE__, __LINE__);
        Work();
        Mutex_Unlock(g_mutex, __FILE__, __LINE__);
    }
}
BENCHMARK(BM_MutexOurs)->Threads(4)->UseRealTime();

void BM_MutexStd(benchmark::State &state) {
    for (auto _ : state) {
        std::lock_guard<std::mutex> guard(g_stdMutex);
        Work();
    }
}
BENCHMARK(BM_MutexStd)->Threads(4)->UseRealTime();

std::vector<uint8_t> &CrcData() {
    static std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes(1 << 20);
        uint32_t x = 12345;
        for (auto &b : bytes) {
            x = x * 1103515245u + 12345u;
            b = (uint8_t)(x >> 24);
        }
        return bytes;
    }();
    return data;
}

void BM_Crc32Ours(benchmark::State &state) {
    auto &data = CrcData();
    for (auto _ : state)
        benchmark::DoNotOptimize(Zyl_Crc32(data.data(), (int64_t)data.size()));
    state.SetBytesProcessed(state.iterations() * (int64_t)data.size());
}
BENCHMARK(BM_Crc32Ours);

void BM_Crc32Zlib(benchmark::State &state) {
    auto &data = CrcData();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, data.data(), (uInt)data.size()));
    state.SetBytesProcessed(state.iterations() * (int64_t)data.size());
}
BENCHMARK(BM_Crc32Zlib);

// The tracked allocator against plain malloc/free on small mixed sizes.
void BM_AllocOurs(benchmark::State &state) {
    int i = 0;
    for (auto _ : state) {
        int64_t size = 16 + (i++ & 255);
        void *p = ZYL_ALLOC(size);
        benchmark::DoNotOptimize(p);
        ZYL_FREE(p, size);
    }
}
BENCHMARK(BM_AllocOurs)->Threads(1)->Threads(4)->UseRealTime();

void BM_AllocMalloc(benchmark::State &state) {
    int i = 0;
    for (auto _ : state) {
        size_t size = 16 + (i++ & 255);
        void *p = calloc(1, size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}
BENCHMARK(BM_AllocMalloc)->Threads(1)->Threads(4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
