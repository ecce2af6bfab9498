// Disk cache benchmarks: 1 GiB written in 16 KiB blocks in shuffled piece order
// through the cache and storage (then flushed and synced), and 1 GiB read in
// sequential 16 KiB blocks from a cold page cache, each beside a plain pwrite or
// pread loop over the same order. The folder comes from CACHE_BENCH_DIR.
#include <benchmark/benchmark.h>

#include <algorithm>
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
    (getenv("CACHE_BENCH_MB") != nullptr ? atoi(getenv("CACHE_BENCH_MB")) : 16) * INT64_C(1048576);

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

std::vector<char> BlockData() {
    std::vector<char> block(kBlock);
    for (int i = 0; i < kBlock; i++)
        block[i] = (char)(i * 31 + 7);
    return block;
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
    std::vector<char> block = BlockData();
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        CacheStack stack;
        Storage_SetLength(stack.Storage, path.c_str(), kFileBytes);
        Cache_SetFileInfo(stack.Cache, path.c_str(), kFileBytes, kPieceBytes);
        for (int piece : order) {
            for (int64_t at = 0; at < kPieceBytes; at += kBlock) {
                if (!Cache_Write(stack.Cache, path.c_str(), (int64_t)piece * kPieceBytes + at,
                                 block.data(), kBlock))
                    state.SkipWithError("cache write failed");
            }
        }
        if (!Cache_FlushAll(stack.Cache) || !Storage_Finalize(stack.Storage, path.c_str(), 0))
            state.SkipWithError("flush failed");
        SyncFile(path);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CacheWriteReference(benchmark::State &state) {
    std::string path = BenchPath("cache-write.bin");
    std::vector<int> order = ShuffledPieces();
    std::vector<char> block = BlockData();
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, kFileBytes) != 0)
            state.SkipWithError("open failed");
        for (int piece : order) {
            for (int64_t at = 0; at < kPieceBytes; at += kBlock) {
                if (pwrite(fd, block.data(), kBlock, (off_t)piece * kPieceBytes + at) != kBlock)
                    state.SkipWithError("pwrite failed");
            }
        }
        fsync(fd);
        close(fd);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CacheRead(benchmark::State &state) {
    std::string path = BenchPath("cache-read.bin");
    std::vector<char> buffer(kBlock);
    for (auto _ : state) {
        state.PauseTiming();
        DropPages(path);
        state.ResumeTiming();
        CacheStack stack;
        Cache_SetFileInfo(stack.Cache, path.c_str(), kFileBytes, kPieceBytes);
        for (int64_t at = 0; at < kFileBytes; at += kBlock) {
            if (!Cache_Read(stack.Cache, path.c_str(), at, buffer.data(), kBlock))
                state.SkipWithError("cache read failed");
        }
        benchmark::DoNotOptimize(buffer.data());
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
            if (pread(fd, buffer.data(), kBlock, (off_t)at) != kBlock)
                state.SkipWithError("pread failed");
        }
        close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

BENCHMARK(BM_CacheWrite)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_CacheWriteReference)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_CacheRead)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_CacheReadReference)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);

// Writes the 1 GiB read input, syncs it and reads it once.
int MakeReadFile(void) {
    std::string path = BenchPath("cache-read.bin");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    std::vector<char> chunk(1 << 20);
    std::mt19937 random(99);
    for (auto &c : chunk)
        c = (char)random();
    for (int64_t done = 0; done < kFileBytes; done += (int64_t)chunk.size()) {
        chunk[0]++;
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
