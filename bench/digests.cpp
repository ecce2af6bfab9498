// Digest and cipher throughput on a file named by $PORTICO_BENCH_FILE (the
// bench/cases scripts create it in /dev/shm): read in 1 MiB pieces and hashed or
// encrypted, as the reference tools do with the same file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "bench/bench_main.h"
#include "core/rc4.h"
#include "core/sha1.h"
#include "core/zyl.h"

namespace {

const char *BenchFile(benchmark::State &state) {
    const char *path = getenv("PORTICO_BENCH_FILE");
    if (path == nullptr) {
        state.SkipWithError("PORTICO_BENCH_FILE is not set");
    }
    return path;
}

// Calls `use(bytes, count)` for each piece of the file; returns the bytes read.
template <typename Use> int64_t ReadFile(const char *path, std::vector<uint8_t> &buffer, Use use) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    int64_t total = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        use(buffer.data(), (int64_t)got);
        total += got;
    }
    close(fd);
    return total;
}

// Hashes the file with the fastest compression function up to `form`.
void HashFile(benchmark::State &state, int form) {
    const char *path = BenchFile(state);
    if (path == nullptr) {
        return;
    }
    Sha1_LimitForm(form);
    std::vector<uint8_t> buffer(1 << 20);
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    int64_t bytes = 0;
    for (auto _ : state) {
        Sha1_Init(sha1);
        bytes += ReadFile(path, buffer, [&](const uint8_t *data, int64_t count) {
            Sha1_Update(sha1, data, count);
        });
        Sha1_Final(sha1);
        uint8_t digest[20];
        Sha1_GetDigest(sha1, digest, sizeof(digest));
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(bytes);
    Sha1_Destroy(&sha1);
    Sha1_LimitForm(SHA1_FORM_HARDWARE);
}

void BM_Sha1File(benchmark::State &state) {
    HashFile(state, SHA1_FORM_HARDWARE);
}
// The portable code as a processor without SHA instructions runs it.
void BM_Sha1PortableFile(benchmark::State &state) {
    HashFile(state, SHA1_FORM_VECTOR);
}

void BM_Rc4File(benchmark::State &state) {
    const char *path = BenchFile(state);
    if (path == nullptr) {
        return;
    }
    std::vector<uint8_t> buffer(1 << 20);
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Rc4Struct *rc4 = nullptr;
    Rc4_Create(&rc4);
    int64_t bytes = 0;
    for (auto _ : state) {
        Rc4_Init(rc4);
        Rc4_SetKey(rc4, key, sizeof(key));
        bytes += ReadFile(path, buffer, [&](uint8_t *data, int64_t count) {
            Rc4_Crypt(rc4, data, count);
            benchmark::DoNotOptimize(data[0]);
        });
    }
    state.SetBytesProcessed(bytes);
    Rc4_Destroy(&rc4);
}

// In-memory pieces of the size peers send, for the connection's own cost.
void BM_Rc4Pieces(benchmark::State &state) {
    std::vector<uint8_t> buffer((size_t)state.range(0), 0x5A);
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Rc4Struct *rc4 = nullptr;
    Rc4_Create(&rc4);
    Rc4_SetKey(rc4, key, sizeof(key));
    for (auto _ : state) {
        Rc4_Crypt(rc4, buffer.data(), (int64_t)buffer.size());
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
    Rc4_Destroy(&rc4);
}

} // namespace

BENCHMARK(BM_Sha1File)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1PortableFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rc4File)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rc4Pieces)->Arg(16384);

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
