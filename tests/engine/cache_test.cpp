// Disk cache over real storage in a temporary folder: block sizes, hits and
// read-ahead, long sequential runs, eviction order, runs, overlapping writes, failed reads and
// writes, a random model run with injected faults, and buffer changes under a
// running writer.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/cache.h"
#include "engine/cache_internal.h" // the invariant test breaks a count on purpose
#include "engine/storage.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

double g_now = 0;

double TestClock(void) {
    return g_now;
}

// Fails storage transfers while *FailWrites / *FailReads are set, or at random.
struct Faults {
    int FailWrites = 0;
    int FailReads = 0;
    double Rate = 0;
    std::mt19937 *Random = nullptr;
};

int FaultHook(void *user, const char *, int64_t, int64_t, int write) {
    Faults *f = static_cast<Faults *>(user);
    if (write ? f->FailWrites : f->FailReads)
        return 0;
    if (f->Rate > 0 && std::uniform_real_distribution<double>(0, 1)(*f->Random) < f->Rate)
        return 0;
    return 1;
}

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::CaptureAlerts();
        Storage_Create(&storage);
        Storage_SetFaultHook(storage, FaultHook, &faults);
        Cache_Create(&cache);
        Cache_SetParent(cache, nullptr, storage);
        g_now = 100;
    }
    void TearDown() override {
        faults = Faults();
        EXPECT_EQ(1, Cache_Destroy(&cache));
        Storage_Destroy(&storage);
    }
    std::string Path(const std::string &name) { return dir / name; }
    CacheStatsStruct Stats() {
        CacheStatsStruct s;
        int free = 0;
        Cache_GetStatistics(cache, &s, &free);
        return s;
    }
    int FreeBlocks() {
        CacheStatsStruct s;
        int free = 0;
        Cache_GetStatistics(cache, &s, &free);
        return free;
    }
    int Write(const std::string &name, int64_t offset, const std::string &bytes) {
        return Cache_Write(cache, Path(name).c_str(), offset, bytes.data(), (int64_t)bytes.size());
    }
    std::string Read(const std::string &name, int64_t offset, int length, int *ok = nullptr) {
        std::string bytes((size_t)length, '\0');
        int result = Cache_Read(cache, Path(name).c_str(), offset, &bytes[0], length);
        if (ok != nullptr)
            *ok = result;
        else
            EXPECT_EQ(1, result) << testsupport::AlertText();
        return bytes;
    }
    // A file of length bytes of 'z' on disk, known to the cache.
    void MakeFile(const std::string &name, int64_t length, int pieceLength = 0) {
        testsupport::WriteFile(Path(name), std::string((size_t)length, 'z'));
        Cache_SetFileInfo(cache, Path(name).c_str(), length, pieceLength);
    }

    testsupport::TempDir dir;
    Faults faults;
    StorageStruct *storage = nullptr;
    CacheStruct *cache = nullptr;
};

TEST_F(CacheTest, BufferSizesAndTheDisabledPath) {
    struct {
        int64_t bytes;
        int result;
        int blocks;
    } cases[] = {{163840, 1, 10}, {163840 + 100, 1, 10}, {163839, 0, 10},
                 {-1, 0, 10},     {1048576, 1, 64},      {0, 1, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(c.result, Cache_SetBufferSize(cache, c.bytes)) << c.bytes;
        EXPECT_EQ(c.blocks, FreeBlocks()) << c.bytes;
    }
    // Disabled: straight to storage, nothing counted.
    ASSERT_EQ(1, Write("plain", 0, "direct"));
    EXPECT_EQ("direct", Read("plain", 0, 6));
    EXPECT_EQ(0, Stats().Misses + Stats().Hits);
    EXPECT_EQ(1, Cache_FlushFile(cache, Path("plain").c_str()));
}

TEST_F(CacheTest, HitsAndReadAhead) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("f", 1048576);
    // A written block serves reads without touching storage.
    ASSERT_EQ(1, Write("f", 0, std::string(16384, 'w')));
    EXPECT_EQ(std::string(100, 'w'), Read("f", 50, 100));
    EXPECT_EQ(1, Stats().Hits);
    EXPECT_EQ(0, Stats().BlockReads);

    // 100 bytes at 64 KiB with no piece length: one whole block is read ahead.
    EXPECT_EQ(std::string(100, 'z'), Read("f", 65536, 100));
    EXPECT_EQ(1, Stats().BlockReads);
    double percent = 0;
    int64_t bytes = 0;
    Cache_GetFileUtilization(cache, Path("f").c_str(), &percent, &bytes);
    EXPECT_EQ(2 * 16384, bytes);
    EXPECT_DOUBLE_EQ(100.0, percent);
    Read("f", 65536 + 200, 100);
    EXPECT_EQ(1, Stats().BlockReads);
    EXPECT_EQ(2, Stats().Hits);

    // A read just before a cached block fills only up to where it begins.
    EXPECT_EQ(std::string(100, 'z'), Read("f", 65536 - 1000, 100));
    Cache_GetFileUtilization(cache, Path("f").c_str(), &percent, &bytes);
    EXPECT_EQ(3 * 16384, bytes);
    EXPECT_NEAR((16384 * 2 + 1000) * 100.0 / (3 * 16384), percent, 1e-9);
    std::string across = Read("f", 65536 - 10, 20); // spans both blocks: two hits
    EXPECT_EQ(std::string(20, 'z'), across);
    EXPECT_EQ(2, Stats().BlockReads);
    EXPECT_EQ(4, Stats().Hits);

    // Near the end of the file a block holds only what is left.
    MakeFile("g", 20000, 65536);
    Read("g", 19990, 10);
    Cache_GetFileUtilization(cache, Path("g").c_str(), &percent, &bytes);
    EXPECT_EQ(16384, bytes);
    EXPECT_NEAR(10 * 100.0 / 16384, percent, 1e-9);
}

TEST_F(CacheTest, NeighbouringDirtyBlocksAreWrittenAsOneRun) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("run", 100000);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(1, Write("run", i * 16384, std::string(16384, (char)('a' + i))));
    Write("run", 70000, "apart");
    EXPECT_EQ(4, Stats().DirtyBlocks);
    ASSERT_EQ(1, Cache_FlushRange(cache, Path("run").c_str(), 20000, 20000));
    EXPECT_EQ(3, Stats().BlockWrites);
    EXPECT_EQ(1, Stats().FlushRuns);
    EXPECT_EQ(1, Stats().DirtyBlocks);
    std::string disk = testsupport::ReadFile(Path("run"));
    EXPECT_EQ(std::string(16384, 'c'), disk.substr(32768, 16384));
    EXPECT_EQ('z', disk[70000]);
    ASSERT_EQ(1, Cache_RemoveFile(cache, Path("run").c_str()));
    EXPECT_EQ("apart", testsupport::ReadFile(Path("run")).substr(70000, 5));
    EXPECT_EQ(0, Stats().DirtyBlocks);
    EXPECT_EQ(10, FreeBlocks());
}

TEST_F(CacheTest, EvictionPrefersCleanBlocksUnlessDirtyOnesAreTenTimesOlder) {
    Cache_SetBufferSize(cache, 30 * 16384);
    Cache_SetClock(cache, TestClock);
    struct {
        double cleanWeight;
        double dirtyTouch;
        double cleanTouch;
        int cleanLeft;
        int dirtyLeft;
    } cases[] = {
        // clean age 50 x 10 beats dirty age 100: all 15 clean go, then 5 dirty
        {10.0, 100, 150, 0, 10},
        // dirty age 200 beats clean 10 x 10: all 15 dirty go, then 5 clean
        {10.0, 0, 190, 10, 0},
        // an owner's weight of 1 lets plain age decide: dirty age 100 beats clean 50
        {1.0, 100, 150, 10, 0},
    };
    for (const auto &c : cases) {
        CacheSettingsStruct settings;
        Cache_InitSettings(&settings);
        settings.CleanWeight = c.cleanWeight;
        ASSERT_EQ(1, Cache_SetSettings(cache, &settings));
        Cache_SetBufferSize(cache, 30 * 16384);
        MakeFile("d", 15 * 16384);
        MakeFile("c", 15 * 16384);
        g_now = c.dirtyTouch;
        for (int i = 0; i < 15; i++)
            ASSERT_EQ(1, Write("d", i * 16384, std::string(16384, 'D')));
        g_now = c.cleanTouch;
        for (int i = 0; i < 15; i++)
            Read("c", i * 16384, 16384);
        ASSERT_EQ(0, FreeBlocks());
        g_now = 200;
        MakeFile("x", 16384);
        Read("x", 0, 10); // the miss evicts 20 blocks
        EXPECT_EQ(19, FreeBlocks());
        double percent = 0;
        int64_t cleanBytes = 0, dirtyBytes = 0;
        Cache_GetFileUtilization(cache, Path("c").c_str(), &percent, &cleanBytes);
        Cache_GetFileUtilization(cache, Path("d").c_str(), &percent, &dirtyBytes);
        EXPECT_EQ(c.cleanLeft * 16384, cleanBytes) << "weight " << c.cleanWeight;
        EXPECT_EQ(c.dirtyLeft * 16384, dirtyBytes) << "weight " << c.cleanWeight;
        ASSERT_EQ(1, Cache_FlushAll(cache));
        EXPECT_EQ(std::string(15 * 16384, 'D'), testsupport::ReadFile(Path("d")));
    }
}

bool SameSettings(const CacheSettingsStruct &a, const CacheSettingsStruct &b) {
    return a.Verbose == b.Verbose && a.TraceFile == b.TraceFile && a.WriteBack == b.WriteBack &&
           a.CleanWeight == b.CleanWeight;
}

TEST_F(CacheTest, SettingsRecordHoldsWhatOwnersSetAndRefusesBadValues) {
    CacheSettingsStruct defaults, got;
    Cache_InitSettings(&defaults);
    EXPECT_EQ(0, defaults.Verbose);
    EXPECT_EQ(0, defaults.TraceFile);
    EXPECT_EQ(1, defaults.WriteBack);
    EXPECT_EQ(10.0, defaults.CleanWeight);
    ASSERT_EQ(1, Cache_GetSettings(cache, &got));
    EXPECT_TRUE(SameSettings(defaults, got)); // a new cache has the defaults

    // The single setters and the record are one state.
    Cache_SetWriteBack(cache, 0);
    Cache_SetTrace(cache, 1, 0);
    Cache_GetSettings(cache, &got);
    EXPECT_EQ(0, got.WriteBack);
    EXPECT_EQ(1, got.Verbose);

    // Switching write-back off through the record flushes first, as the setter does.
    Cache_SetBufferSize(cache, 163840);
    MakeFile("w", 100000);
    CacheSettingsStruct on = defaults;
    ASSERT_EQ(1, Cache_SetSettings(cache, &on));
    ASSERT_EQ(1, Write("w", 0, std::string(100, 'w')));
    EXPECT_EQ(1, Stats().DirtyBlocks);
    CacheSettingsStruct off = defaults;
    off.WriteBack = 0;
    ASSERT_EQ(1, Cache_SetSettings(cache, &off));
    EXPECT_EQ(0, Stats().DirtyBlocks);
    EXPECT_EQ(std::string(100, 'w'), testsupport::ReadFile(Path("w")).substr(0, 100));

    struct {
        const char *what;
        int verbose, traceFile, writeBack;
        double weight;
    } bad[] = {
        {"verbose 2", 2, 0, 1, 10.0},    {"trace file -1", 0, -1, 1, 10.0},
        {"write-back 5", 0, 0, 5, 10.0}, {"negative weight", 0, 0, 1, -1.0},
        {"huge weight", 0, 0, 1, 1e7},   {"NaN weight", 0, 0, 1, std::nan("")},
    };
    testsupport::ConsoleCapture console;
    for (const auto &b : bad) {
        CacheSettingsStruct s = {b.verbose, b.traceFile, b.writeBack, b.weight};
        console.Clear();
        EXPECT_EQ(0, Cache_SetSettings(cache, &s)) << b.what;
        EXPECT_TRUE(console.Contains("Cache_SetSettings() refused")) << b.what;
        Cache_GetSettings(cache, &got);
        EXPECT_TRUE(SameSettings(off, got)) << b.what; // nothing changed
    }
}

TEST_F(CacheTest, AWriteReplacesEveryOverlappingBlock) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("o", 100000);
    ASSERT_EQ(1, Write("o", 100, std::string(16384, 'A'))); // [100, 16484)
    ASSERT_EQ(1, Write("o", 20000, std::string(1000, 'B')));
    // Starts before both cached blocks and ends inside the second.
    ASSERT_EQ(1, Write("o", 0, std::string(20500, 'N')));
    std::string expect = std::string(20500, 'N') + std::string(500, 'B');
    EXPECT_EQ(expect, Read("o", 0, 21000));
    ASSERT_EQ(1, Cache_FlushAll(cache));
    EXPECT_EQ(expect, testsupport::ReadFile(Path("o")).substr(0, 21000));
    // A write inside a block: the block is flushed first, then replaced.
    ASSERT_EQ(1, Write("o", 30000, std::string(16384, 'C')));
    ASSERT_EQ(1, Write("o", 31000, "mid"));
    EXPECT_EQ("CmidC", Read("o", 30999, 5));
    ASSERT_EQ(1, Cache_FlushAll(cache));
    EXPECT_EQ("CmidC", testsupport::ReadFile(Path("o")).substr(30999, 5));
}

TEST_F(CacheTest, FailedReadsAreNeverCachedAndShortFilesEnd) {
    Cache_SetBufferSize(cache, 163840);
    testsupport::WriteFile(Path("short"), std::string(1000, 's'));
    Cache_SetFileInfo(cache, Path("short").c_str(), 50000, 0); // claims more than the disk holds
    int ok = 1;
    Read("short", 0, 2000, &ok);
    EXPECT_EQ(0, ok);
    double percent = 0;
    int64_t bytes = 0;
    Cache_GetFileUtilization(cache, Path("short").c_str(), &percent, &bytes);
    EXPECT_EQ(0, bytes);
    EXPECT_EQ(10, FreeBlocks());
    // Past the known length: refused at once.
    Read("short", 49990, 20, &ok);
    EXPECT_EQ(0, ok);
    EXPECT_TRUE(testsupport::AlertSeen("Read beyond end of file")) << testsupport::AlertText();
    // A failing disk read: nothing cached, the failure counted.
    MakeFile("bad", 50000);
    faults.FailReads = 1;
    Read("bad", 0, 10, &ok);
    EXPECT_EQ(0, ok);
    faults.FailReads = 0;
    EXPECT_EQ("zz", Read("bad", 0, 2));
    int failures = 0;
    Cache_GetIOFailures(cache, Path("bad").c_str(), &failures);
    EXPECT_EQ(1, failures);
    // Unknown size: refused with the message.
    Read("absent", 0, 10, &ok);
    EXPECT_EQ(0, ok);
    EXPECT_TRUE(testsupport::AlertSeen("Unable to retrieve size on read [" + Path("absent") + "]"));
}

TEST_F(CacheTest, LongSequentialRunsReadFromDiskYetSeeWhatIsCached) {
    Cache_SetBufferSize(cache, 4 * 1048576); // room for the run's first blocks and the dirty one
    const int64_t length = 3 * 1048576;
    MakeFile("scan", length);
    // Dirty data straddling two reads of the run: both must come from the block.
    const int64_t dirty = 2 * 1048576 + 100;
    ASSERT_EQ(1, Write("scan", dirty, std::string(16384, 'w')));
    for (int64_t at = 0; at < length; at += 16384) {
        std::string expected(16384, 'z');
        for (int64_t i = 0; i < 16384; i++) {
            if (at + i >= dirty && at + i < dirty + 16384)
                expected[(size_t)i] = 'w';
        }
        ASSERT_EQ(expected, Read("scan", at, 16384)) << at;
    }
    // The first CACHE_SCAN_BYTES went through blocks; every later read went to
    // disk for what no block held, and the two straddling the dirty block took
    // their share of it from the block.
    const int64_t scanned = (length - CACHE_SCAN_BYTES) / 16384;
    EXPECT_EQ(scanned, Stats().ScanReads);
    EXPECT_EQ(CACHE_SCAN_BYTES / 16384, Stats().BlockReads);
    EXPECT_EQ(2, Stats().Hits);
    // A read elsewhere ends the run: it fills a block again.
    EXPECT_EQ(std::string(100, 'z'), Read("scan", 1500000, 100));
    EXPECT_EQ(scanned, Stats().ScanReads);
    EXPECT_EQ(CACHE_SCAN_BYTES / 16384 + 1, Stats().BlockReads);
    // A failing disk read in a run is counted and fails the call.
    for (int64_t at = 0; at <= CACHE_SCAN_BYTES; at += 16384)
        Read("scan", at, 16384);
    faults.FailReads = 1;
    int ok = 1;
    Read("scan", CACHE_SCAN_BYTES + 16384, 16384, &ok);
    EXPECT_EQ(0, ok);
    faults.FailReads = 0;
    int failures = 0;
    Cache_GetIOFailures(cache, Path("scan").c_str(), &failures);
    EXPECT_EQ(1, failures);
}

TEST_F(CacheTest, FailedFlushesAreReportedAndKeepTheData) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("w", 200000);
    ASSERT_EQ(1, Write("w", 0, std::string(16384, 'q')));
    faults.FailWrites = 1;
    EXPECT_EQ(0, Cache_FlushFile(cache, Path("w").c_str()));
    EXPECT_EQ(1, Stats().DirtyBlocks);
    EXPECT_TRUE(testsupport::AlertSeen(
        "IO Failure, write not successfully performed [0:16384] (1) (" + Path("w") + ")"))
        << testsupport::AlertText();
    // A full cache of unwritable blocks: further writes fail rather than drop data.
    for (int i = 1; i < 10; i++)
        Write("w", i * 16384, std::string(16384, 'q'));
    EXPECT_EQ(0, Write("w", 10 * 16384, std::string(16384, 'r')));
    EXPECT_EQ(0, Cache_SetBufferSize(cache, 327680)); // cannot flush: keeps the old buffer
    EXPECT_EQ(10, Stats().DirtyBlocks);
    faults.FailWrites = 0;
    ASSERT_EQ(1, Cache_FlushFile(cache, Path("w").c_str()));
    EXPECT_EQ(std::string(10 * 16384, 'q'), testsupport::ReadFile(Path("w")).substr(0, 10 * 16384));
    ASSERT_EQ(1, Cache_SetBufferSize(cache, 327680));
    EXPECT_EQ(20, FreeBlocks());

    // A write over a covered block and a partly covered one that cannot be
    // written fails and drops neither.
    ASSERT_EQ(1, Write("w", 0, std::string(1000, 'A')));
    ASSERT_EQ(1, Write("w", 1000, std::string(16384, 'B')));
    faults.FailWrites = 1;
    EXPECT_EQ(0, Write("w", 0, std::string(2000, 'C')));
    faults.FailWrites = 0;
    ASSERT_EQ(1, Cache_FlushFile(cache, Path("w").c_str()));
    EXPECT_EQ(std::string(1000, 'A') + std::string(16384, 'B'),
              testsupport::ReadFile(Path("w")).substr(0, 17384));
}

TEST_F(CacheTest, WriteThroughReachesTheDiskAtOnce) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("t", 50000);
    ASSERT_EQ(1, Cache_SetWriteBack(cache, 0));
    ASSERT_EQ(1, Write("t", 100, "through"));
    EXPECT_EQ("through", testsupport::ReadFile(Path("t")).substr(100, 7));
    EXPECT_EQ(0, Stats().DirtyBlocks);
    EXPECT_EQ("through", Read("t", 100, 7)); // a clean copy serves the read
    EXPECT_EQ(0, Stats().BlockReads);
    faults.FailWrites = 1;
    EXPECT_EQ(0, Write("t", 0, "x")); // nothing cached when the disk refuses
    faults.FailWrites = 0;
    EXPECT_EQ("z", Read("t", 0, 1));
}

// Random writes, reads, flushes and removals over several files through a
// 12-block cache with random storage failures; every read and the final bytes
// on disk must match an in-memory model.
TEST_F(CacheTest, MatchesAModelUnderRandomOperationsAndFaults) {
    unsigned seed = std::random_device()();
    std::printf("cache model seed %u\n", seed);
    std::mt19937 random(seed);
    Cache_SetBufferSize(cache, 12 * 16384);
    const int kFiles = 4;
    const int64_t kLength = 150000;
    std::vector<std::string> model(kFiles, std::string(kLength, 'z'));
    for (int f = 0; f < kFiles; f++)
        MakeFile("m" + std::to_string(f), kLength, f % 2 == 0 ? 0 : 32768);
    faults.Random = &random;
    auto pick = [&](int64_t n) { return std::uniform_int_distribution<int64_t>(0, n - 1)(random); };
    for (int step = 0; step < 3000; step++) {
        faults.Rate = step < 2500 ? 0.05 : 0;
        int f = (int)pick(kFiles);
        std::string name = "m" + std::to_string(f);
        int64_t offset = pick(kLength);
        int64_t length = 1 + pick(std::min<int64_t>(40000, kLength - offset));
        int op = (int)pick(20);
        if (op < 10) {
            std::string bytes((size_t)length, '\0');
            for (auto &c : bytes)
                c = (char)('a' + pick(26));
            // A failed write is written again, as the engine fetches the block again.
            while (Write(name, offset, bytes) != 1)
                faults.Rate = 0;
            model[f].replace((size_t)offset, (size_t)length, bytes);
        } else if (op < 17) {
            int ok = 0;
            std::string got = Read(name, offset, (int)length, &ok);
            if (ok) {
                ASSERT_EQ(model[f].substr((size_t)offset, (size_t)length), got) << "step " << step;
            }
        } else if (op == 17) {
            Cache_FlushRange(cache, Path(name).c_str(), offset, offset + length);
        } else if (op == 18) {
            Cache_FlushFile(cache, Path(name).c_str());
        } else if (faults.Rate == 0) {
            ASSERT_EQ(1, Cache_RemoveFile(cache, Path(name).c_str()));
            Cache_SetFileInfo(cache, Path(name).c_str(), kLength, 0);
        }
    }
    ASSERT_EQ(1, Cache_FlushAll(cache));
    for (int f = 0; f < kFiles; f++)
        ASSERT_EQ(model[f], testsupport::ReadFile(Path("m" + std::to_string(f)))) << f;
}

// One writer thread writes and reads back while the buffer changes size under it.
TEST_F(CacheTest, BufferChangesWhileAWriterRuns) {
    Cache_SetBufferSize(cache, 163840);
    const int64_t kLength = 400000;
    MakeFile("t", kLength, 65536);
    std::string model(kLength, 'z');
    std::atomic<int> done{0};
    std::atomic<int> steps{0};
    std::atomic<int> mismatches{0};
    std::thread writer([&] {
        std::mt19937 random(7);
        for (int i = 0; i < 4000; i++) {
            int64_t offset = std::uniform_int_distribution<int64_t>(0, kLength - 20000)(random);
            int64_t length = std::uniform_int_distribution<int64_t>(1, 20000)(random);
            std::string bytes((size_t)length, (char)('a' + i % 26));
            if (Cache_Write(cache, Path("t").c_str(), offset, bytes.data(), length) != 1)
                mismatches++;
            model.replace((size_t)offset, (size_t)length, bytes);
            std::string back((size_t)length, '\0');
            if (Cache_Read(cache, Path("t").c_str(), offset, &back[0], length) != 1 ||
                back != bytes)
                mismatches++;
            steps++;
        }
        done = 1;
    });
    // At most one change per writer step: an unpaced loop of changes can hold the
    // cache's lock so often that the writer's 4000 steps take minutes.
    const int64_t sizes[] = {0, 327680, 163840, 1048576};
    for (int i = 0, seen = -1; !done; std::this_thread::yield()) {
        if (steps.load() == seen)
            continue;
        seen = steps.load();
        EXPECT_EQ(1, Cache_SetBufferSize(cache, sizes[i++ % 4]));
        Cache_SetFileInfo(cache, Path("t").c_str(), kLength, 65536);
    }
    writer.join();
    EXPECT_EQ(0, mismatches.load());
    ASSERT_EQ(1, Cache_FlushAll(cache));
    EXPECT_EQ(1, Cache_CheckInvariants(cache));
    EXPECT_EQ(model, testsupport::ReadFile(Path("t")));
}

TEST_F(CacheTest, StatisticsLinesAndTheTrace) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("s", 100000);
    for (int i = 0; i < 3; i++)
        Write("s", i * 16384, std::string(16384, 'x'));
    Cache_FlushFile(cache, Path("s").c_str());
    Read("s", 0, 10);
    Cache_SetTrace(cache, 1, 0);
    Read("s", 60000, 10); // traced miss path runs
    Cache_PrintFileStatistics(cache, Path("s").c_str());
    EXPECT_TRUE(testsupport::AlertSeen("Cache write averaged combining 3.0 pieces"))
        << testsupport::AlertText();
    EXPECT_TRUE(testsupport::AlertSeen("Cache ran at "));
    EXPECT_TRUE(testsupport::AlertSeen("Cache utilization was "));
    Cache_SetBufferSize(cache, 0);
    EXPECT_TRUE(testsupport::AlertSeen("Cache disabled"));
}

TEST_F(CacheTest, SecondParentIsFatal) {
    EXPECT_DEATH(Cache_SetParent(cache, nullptr, storage), "Parent handle already set");
}

TEST_F(CacheTest, CountsThatDisagreeWithTheListsStopTheProgram) {
    Cache_SetBufferSize(cache, 163840);
    MakeFile("c", 100000);
    Write("c", 0, std::string(100, 'x'));
    EXPECT_EQ(1, Cache_CheckInvariants(cache));
    int cut = cache->BlockTotal;
    cache->FreeCount++;
    std::string message = "Cache totals mismatch \\(free " + std::to_string(cut - 1) +
                          " != " + std::to_string(cut) + ", aged 1, used 1, cut " +
                          std::to_string(cut) + ", dirty 1 != 1\\)";
    EXPECT_DEATH(Cache_CheckInvariants(cache), message);
    cache->FreeCount--;
}

} // namespace
