// The core spine's hot paths against their standard counterparts: the formatter
// against snprintf on formats both support, the mutex against std::mutex with four
// threads and short critical sections, the CRC-32 of short path and ID texts
// against libdeflate's, the allocator. Cases with an output check it before
// timing and fail (SkipWithError) when it differs from the reference's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libdeflate.h>
#include <mutex>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "core/zyl.h"

namespace {

// One line of each common kind: integers, padding, text, hex, 64-bit, doubles.
#define SPINE_FORMAT "%d|%u|%08x|%-12s|%5d|%lld|%c|%.3f|%s|%X\n"
#define SPINE_ARGS                                                                                 \
    i, 4000000000u + (unsigned)i, (unsigned)i * 2654435761u, "piece", i & 1023,                    \
        (long long)i * 1000003LL, 'a' + (i & 15), i * 0.125, "data/archive/part-0001.bin",         \
        (unsigned)i

// 1 when our line equals snprintf's (text and length) for every i in [0, 10000).
int FormatMatches(benchmark::State &state) {
    char ours[256], reference[256];
    for (int i = 0; i < 10000; i++) {
        int length = Zyl_FormatString(ours, sizeof(ours), SPINE_FORMAT, SPINE_ARGS);
        int expected = snprintf(reference, sizeof(reference), SPINE_FORMAT, SPINE_ARGS);
        if (length != expected || strcmp(ours, reference) != 0) {
            fprintf(stderr, "format differs at %d:\n  ours: %s  snprintf: %s", i, ours, reference);
            state.SkipWithError("formatted text differs from snprintf's");
            return 0;
        }
    }
    return 1;
}

void BM_FormatOurs(benchmark::State &state) {
    if (!FormatMatches(state))
        return;
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

// What the system hashes with CRC-32: file paths (storage and cache file IDs,
// upper-cased: mode 0), rule and ruleset IDs (as they are: mode 1), element
// names and file extensions. 1,000 texts of 3 to about 70 characters.
struct CrcText {
    std::string Text;
    int Mode;
};

const std::vector<CrcText> &CrcTexts() {
    static const std::vector<CrcText> texts = [] {
        static const char *kIds[] = {"root", "peers", "outgoing", "incoming", "webseeds", "patch"};
        static const char *kNames[] = {"Package", "File", "Files", "Description", "PackageList"};
        static const char *kExtensions[] = {"html", "js", "css", "png", "xml", "json"};
        std::vector<CrcText> list;
        char text[128];
        for (int i = 0; (int)list.size() < 1000; i++) {
            snprintf(text, sizeof(text), "/home/player/Games/Portico/data/dir%02d/file_%06d.dat",
                     i % 40, i * 7919 % 1000000);
            list.push_back({text, 0});
            snprintf(text, sizeof(text), "%s.%d", kIds[i % 6], i % 50);
            list.push_back({text, 1});
            list.push_back({kNames[i % 5], 0});
            list.push_back({kExtensions[i % 6], 0});
        }
        return list;
    }();
    return texts;
}

// The reference's work for one text: the length, the upper-cased copy for mode
// 0 (the texts are shorter than the buffer) and libdeflate's CRC.
uint32_t DeflateCrc(const CrcText &text) {
    const char *data = text.Text.c_str();
    size_t length = strlen(data);
    char upper[128];
    if (text.Mode != 1) {
        for (size_t i = 0; i < length; i++)
            upper[i] = (char)(data[i] >= 'a' && data[i] <= 'z' ? data[i] - 32 : data[i]);
        data = upper;
    }
    return libdeflate_crc32(0, data, length);
}

void BM_Crc32Ours(benchmark::State &state) {
    const std::vector<CrcText> &texts = CrcTexts();
    for (const CrcText &text : texts) {
        uint32_t crc = 0;
        Zyl_StrCrc32(text.Text.c_str(), text.Mode, &crc);
        if (crc != DeflateCrc(text)) {
            fprintf(stderr, "CRC-32 of \"%s\" (mode %d) differs\n", text.Text.c_str(), text.Mode);
            state.SkipWithError("CRC-32 differs from libdeflate's");
            return;
        }
    }
    for (auto _ : state) {
        uint32_t sum = 0;
        for (const CrcText &text : texts) {
            uint32_t crc = 0;
            Zyl_StrCrc32(text.Text.c_str(), text.Mode, &crc);
            sum += crc;
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_Crc32Ours);

void BM_Crc32Libdeflate(benchmark::State &state) {
    const std::vector<CrcText> &texts = CrcTexts();
    for (auto _ : state) {
        uint32_t sum = 0;
        for (const CrcText &text : texts)
            sum += DeflateCrc(text);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_Crc32Libdeflate);

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
        char *p = static_cast<char *>(calloc(1, size));
        benchmark::DoNotOptimize(*p); // the byte, not the pointer: the analyzer then sees the free
        free(p);
    }
}
BENCHMARK(BM_AllocMalloc)->Threads(1)->Threads(4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
