// Disk cache benchmarks: 1 GiB written in 16 KiB blocks in shuffled piece order
// through the cache and storage (then flushed and synced), and 1 GiB read in
// sequential 16 KiB blocks from a cold page cache, each beside a plain pwrite or
// pread loop over the same order. The folder comes from CACHE_BENCH_DIR.
// Every 16 KiB block starts with its file offset (8 bytes) followed by the same
// pattern: both sides stamp what they write and check the stamp of what they
// read, and after the timed runs the whole file is compared (untimed) with what
// it must hold.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/zyl.h"
#include "engine/cache.h"
#include "engine/storage.h"

namespace {

const int64_t kFileBytes = INT64_C(1) << 30;
const int kBlock = 16384;
const int kPieceBytes = 256 * 1024;
const int kPieces = (int)(kFileBytes / kPieceBytes);
const int64_t kCacheBytes =
    (getenv("CACHE_BENCH_MB") != nullptr ? strtol(getenv("CACHE_BENCH_MB"), nullptr, 10) : 16) *
    INT64_C(1048576);

std::string BenchPath(const char *name) {
    const char *dir = getenv("CACHE_BENCH_DIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name;
}

std::vector<int> ShuffledPieces() {
    std::vector<int> order(kPieces);
    for (int i = 0; i < kPieces; i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(1234));
    return order;
}

// Writes the stamp of the block at `at` (its offset) into its first 8 bytes.
inline void StampBlock(char *block, int64_t at) {
    memcpy(block, &at, sizeof(at));
}

// The whole block at `at`: its stamp, then the same pattern for every block.
void FillBlock(char *block, int64_t at) {
    for (int i = 0; i < kBlock; i++)
        block[i] = (char)(i * 31 + 7);
    StampBlock(block, at);
}

// 1 when the block read at `at` carries that offset.
inline int StampMatches(const char *block, int64_t at) {
    int64_t stamp = 0;
    memcpy(&stamp, block, sizeof(stamp));
    return stamp == at;
}

// 1 when every block of the file at path is the block FillBlock makes for it;
// otherwise marks the case failed.
int FileMatches(benchmark::State &state, const std::string &path) {
    std::vector<char> expected(kBlock), read(kBlock);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int ok = fd >= 0;
    for (int64_t at = 0; ok && at < kFileBytes; at += kBlock) {
        FillBlock(expected.data(), at);
        ok = pread(fd, read.data(), kBlock, (off_t)at) == kBlock &&
             memcmp(read.data(), expected.data(), kBlock) == 0;
        if (!ok)
            fprintf(stderr, "%s: the block at %lld is not what was written\n", path.c_str(),
                    (long long)at);
    }
    if (fd >= 0)
        close(fd);
    if (!ok)
        state.SkipWithError("file contents differ");
    return ok;
}

void SyncFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Drops the file's pages from the page cache (written and synced before).
void DropPages(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

struct CacheStack {
    StorageStruct *Storage = nullptr;
    CacheStruct *Cache = nullptr;
    CacheStack() {
        Storage_Create(&Storage);
        Cache_Create(&Cache);
        Cache_SetParent(Cache, nullptr, Storage);
        Cache_SetBufferSize(Cache, kCacheBytes);
    }
    ~CacheStack() {
        Cache_Destroy(&Cache);
        Storage_Destroy(&Storage);
    }
};

void BM_CacheWrite(benchmark::State &state) {
    std::string path = BenchPath("cache-write.bin");
    std::vector<int> order = ShuffledPieces();
    std::vector<char> block(kBlock);
    FillBlock(block.data(), 0);
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        CacheStack stack;
        Storage_SetLength(stack.Storage, path.c_str(), kFileBytes);
        Cache_SetFileInfo(stack.Cache, path.c_str(), kFileBytes, kPieceBytes);
        for (int piece : order) {
            for (int64_t at = (int64_t)piece * kPieceBytes; at < (piece + 1) * kPieceBytes;
                 at += kBlock) {
                StampBlock(block.data(), at);
                if (!Cache_Write(stack.Cache, path.c_str(), at, block.data(), kBlock))
                    state.SkipWithError("cache write failed");
            }
        }
        if (!Cache_FlushAll(stack.Cache) || !Storage_Finalize(stack.Storage, path.c_str(), 0))
            state.SkipWithError("flush failed");
        SyncFile(path);
    }
    FileMatches(state, path);
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CacheWriteReference(benchmark::State &state) {
    std::string path = BenchPath("cache-write.bin");
    std::vector<int> order = ShuffledPieces();
    std::vector<char> block(kBlock);
    FillBlock(block.data(), 0);
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, kFileBytes) != 0)
            state.SkipWithError("open failed");
        for (int piece : order) {
            for (int64_t at = (int64_t)piece * kPieceBytes; at < (piece + 1) * kPieceBytes;
                 at += kBlock) {
                StampBlock(block.data(), at);
                if (pwrite(fd, block.data(), kBlock, (off_t)at) != kBlock)
                    state.SkipWithError("pwrite failed");
            }
        }
        fsync(fd);
        close(fd);
    }
    FileMatches(state, path);
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CacheRead(benchmark::State &state) {
    std::string path = BenchPath("cache-read.bin");
    std::vector<char> buffer(kBlock);
    for (auto _ : state) {
        // The cache is made and sized once per engine, not per read: outside the time.
        state.PauseTiming();
        DropPages(path);
        CacheStack stack;
        Cache_SetFileInfo(stack.Cache, path.c_str(), kFileBytes, kPieceBytes);
        state.ResumeTiming();
        for (int64_t at = 0; at < kFileBytes; at += kBlock) {
            if (!Cache_Read(stack.Cache, path.c_str(), at, buffer.data(), kBlock) ||
                !StampMatches(buffer.data(), at))
                state.SkipWithError("cache read failed or returned the wrong block");
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    // Untimed: every byte read through a new cache against what the file holds.
    CacheStack stack;
    Cache_SetFileInfo(stack.Cache, path.c_str(), kFileBytes, kPieceBytes);
    std::vector<char> expected(kBlock);
    for (int64_t at = 0; at < kFileBytes; at += kBlock) {
        FillBlock(expected.data(), at);
        if (!Cache_Read(stack.Cache, path.c_str(), at, buffer.data(), kBlock) ||
            memcmp(buffer.data(), expected.data(), kBlock) != 0) {
            state.SkipWithError("the cache read other bytes than the file holds");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CacheReadReference(benchmark::State &state) {
    std::string path = BenchPath("cache-read.bin");
    std::vector<char> buffer(kBlock);
    for (auto _ : state) {
        state.PauseTiming();
        DropPages(path);
        state.ResumeTiming();
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        for (int64_t at = 0; at < kFileBytes; at += kBlock) {
            if (pread(fd, buffer.data(), kBlock, (off_t)at) != kBlock ||
                !StampMatches(buffer.data(), at))
                state.SkipWithError("pread failed or returned the wrong block");
        }
        close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

// One run each: bench/cases alternate the two sides and keep each side's best.
BENCHMARK(BM_CacheWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_CacheWriteReference)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_CacheRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_CacheReadReference)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Writes the 1 GiB read input (the blocks FillBlock makes), syncs it and reads
// it once.
int MakeReadFile(void) {
    std::string path = BenchPath("cache-read.bin");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    const int64_t kChunk = 1 << 20;
    std::vector<char> chunk(kChunk);
    for (int64_t done = 0; done < kFileBytes; done += kChunk) {
        for (int64_t at = 0; at < kChunk; at += kBlock)
            FillBlock(chunk.data() + at, done + at);
        if (write(fd, chunk.data(), chunk.size()) != (ssize_t)chunk.size()) {
            close(fd);
            return 1;
        }
    }
    fsync(fd);
    close(fd);
    // One untimed pass so the first measured run does not meet the device still
    // busy with this file's write-back.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && read(fd, chunk.data(), chunk.size()) > 0) {
    }
    if (fd >= 0)
        close(fd);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Zyl_Init("bench_cache.log", 0);
    Zyl_MemoryInit(0x7FFFFFFF);
    if (argc == 2 && strcmp(argv[1], "--make-read-file") == 0)
        return MakeReadFile();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
