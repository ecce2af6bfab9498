// Tracked allocator and argument checks: block sizes and alignment, counters,
// guard-byte faults, the limit, leak reports and the exact fatal messages.
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/zyl.h"

namespace {

using testing::ExitedWithCode;

const char kSampleTag[] = "SampleStruct";
const char kOtherSampleTag[] = "SampleStruct"; // same text, another address

struct SampleStruct {
    const char *Tag;
    int Value;
};

int CheckSample(SampleStruct *sample) {
    ZYL_CHECK_TAG(sample, kSampleTag);
    return sample->Value;
}

int64_t BytesInUse() {
    int64_t blocks = 0;
    int64_t bytes = 0;
    Zyl_MemoryGetUsage(&blocks, &bytes);
    return bytes;
}

TEST(ZylMemory, BlockSizesAlignmentAndZeroFill) {
    // Block = caller's area rounded up to 4 + 16 header + 4 back guard, in both
    // modes; the unfilled mode zeroes only the rounding after the area, which
    // the corruption check reads.
    const struct {
        int64_t size;
        int64_t block;
    } cases[] = {{1, 24}, {4, 24}, {5, 28}, {16, 36}, {1000, 1020}};
    for (int mode : {1, (int)ZYL_ALLOC_UNFILLED_MODE}) {
        for (const auto &c : cases) {
            int64_t before = BytesInUse();
            uint8_t *area = static_cast<uint8_t *>(Zyl_Alloc(c.size, mode, __FILE__, __LINE__));
            EXPECT_EQ(BytesInUse() - before, c.block) << c.size;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(area) % 16, 0u);
            for (int64_t i = mode == 1 ? 0 : c.size; i < ((c.size + 3) & ~3); i++)
                ASSERT_EQ(area[i], 0) << "mode " << mode << " size " << c.size << " byte " << i;
            memset(area, 0xA5, (size_t)c.size); // the whole area is the caller's
            EXPECT_EQ(
                Zyl_MemoryCheckBlock(0, area - ZYL_BLOCK_HEADER_SIZE, c.size, __FILE__, __LINE__),
                1);
            EXPECT_TRUE(Zyl_IsHeapAddress(area));
            ZYL_FREE(area, c.size);
            EXPECT_EQ(area, nullptr);
            EXPECT_EQ(BytesInUse(), before);
        }
    }
}

TEST(ZylMemory, LargeBlockTakenAgainIsZeroFilledAndWhole) {
    // Blocks of 4 MiB and more may be kept when freed and given to the next
    // request of their size: that request still gets a zero-filled area with
    // sound guards, and the counters see each block exactly once.
    const int64_t sizes[] = {4 * 1024 * 1024, 6 * 1024 * 1024 + 3, 6 * 1024 * 1024 + 5};
    int64_t before = BytesInUse();
    for (int round = 0; round < 2; round++) {
        for (int64_t size : sizes) {
            uint8_t *area = static_cast<uint8_t *>(ZYL_ALLOC(size));
            for (int64_t i = 0; i < size; i += 4093)
                ASSERT_EQ(area[i], 0) << size << " byte " << i << " round " << round;
            ASSERT_EQ(area[size - 1], 0);
            EXPECT_EQ(
                Zyl_MemoryCheckBlock(0, area - ZYL_BLOCK_HEADER_SIZE, size, __FILE__, __LINE__), 1);
            memset(area, 0xA5, (size_t)size);
            ZYL_FREE(area, size);
        }
    }
    EXPECT_EQ(BytesInUse(), before);
}

TEST(ZylMemory, NewRecordIsZeroedAndFreeReturnsNull) {
    SampleStruct *sample = ZYL_NEW(SampleStruct);
    EXPECT_EQ(sample->Tag, nullptr);
    EXPECT_EQ(sample->Value, 0);
    void *result = Zyl_Free(sample, sizeof(SampleStruct), 1, __FILE__, __LINE__);
    EXPECT_EQ(result, nullptr);
}

TEST(ZylMemory, ConcurrentAllocationKeepsCountersExact) {
    int64_t blocksBefore = 0;
    int64_t bytesBefore = 0;
    Zyl_MemoryGetUsage(&blocksBefore, &bytesBefore);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; i++) {
                int64_t size = 1 + (i * 7 + t) % 300;
                char *p = static_cast<char *>(ZYL_ALLOC(size));
                p[size - 1] = 1;
                ZYL_FREE(p, size);
            }
        });
    for (auto &thread : threads)
        thread.join();
    int64_t blocks = 0;
    int64_t bytes = 0;
    Zyl_MemoryGetUsage(&blocks, &bytes);
    EXPECT_EQ(blocks, blocksBefore);
    EXPECT_EQ(bytes, bytesBefore);
}

TEST(ZylMemory, CorruptBlockIsReportedWithoutFatalFlag) {
    uint8_t *area = static_cast<uint8_t *>(ZYL_ALLOC(8));
    area[8] ^= 0xFF; // first back guard byte
    EXPECT_EQ(Zyl_MemoryCheckBlock(0, area - ZYL_BLOCK_HEADER_SIZE, 8, __FILE__, __LINE__), 0);
    area[8] ^= 0xFF;
    ZYL_FREE(area, 8);
}

TEST(ZylMemoryDeath, ArgumentChecks) {
    EXPECT_EXIT(CheckSample(nullptr), ExitedWithCode(1),
                "ABORT: Pointer is NULL\n       \\(tests/core/zyl_memory_test.cpp/[0-9]+\\)");
    SampleStruct other = {kOtherSampleTag, 1};
    EXPECT_EXIT(CheckSample(&other), ExitedWithCode(1),
                "ABORT: Struct mismatch pointer \\(0x[0-9A-F]+:SampleStruct != SampleStruct\\)");
    SampleStruct good = {kSampleTag, 5};
    EXPECT_EQ(CheckSample(&good), 5);
}

TEST(ZylMemoryDeath, FatalWithoutLocationSaysUnknown) {
    EXPECT_EXIT(Zyl_Fatal("plain %d\n", 7), ExitedWithCode(1),
                "ABORT: plain 7\n       \\((Unknown/0|.*)\\)");
}

TEST(ZylMemoryDeath, AllocatorMisuse) {
    EXPECT_EXIT(ZYL_ALLOC(0), ExitedWithCode(1), "ABORT: Invalid Memory Size \\(0\\)");
    EXPECT_EXIT(ZYL_ALLOC(-5), ExitedWithCode(1), "ABORT: Invalid Memory Size \\(-5\\)");
    EXPECT_EXIT(Zyl_Free(nullptr, 10, 1, __FILE__, __LINE__), ExitedWithCode(1),
                "ABORT: No Memory address to free \\(10 / 32\\)");
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_FORMAT_ALWAYS | ZYL_LOG_CHECK_ALL_BLOCKS);
            ZYL_ALLOC(4);
        },
        ExitedWithCode(1), "ABORT: Memory tracking must be enabled");
}

TEST(ZylMemoryDeath, WrongFreeSizeIsCorruption) {
    EXPECT_EXIT(
        {
            void *p = ZYL_ALLOC(10);
            Zyl_Free(p, 20, 1, __FILE__, __LINE__);
        },
        ExitedWithCode(1),
        "ABORT: Memory corrupt \\(20\\) <Addr:0x[0-9A-F]+ Before:0 After:4 Max:4>");
    // A size that rounds to the same block is not a fault.
    void *p = ZYL_ALLOC(10);
    Zyl_Free(p, 12, 1, __FILE__, __LINE__);
}

TEST(ZylMemoryDeath, WritesPastTheAreaOrBeforeIt) {
    EXPECT_EXIT(
        {
            uint8_t *p = static_cast<uint8_t *>(ZYL_ALLOC(6));
            p[8] = 0x5A; // one byte past the rounded area
            ZYL_FREE(p, 6);
        },
        ExitedWithCode(1),
        "ABORT: Memory corrupt \\(6\\) <Addr:0x[0-9A-F]+ Before:0 After:1 Max:4>");
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_CONSOLE | ZYL_LOG_NO_MESSAGE_BOX);
            uint8_t *p = static_cast<uint8_t *>(ZYL_ALLOC(6));
            p[-1] ^= 0xFF;
            p[-2] ^= 0xFF;
            ZYL_FREE(p, 6);
        },
        ExitedWithCode(1),
        "Before:2 After:0 Max:4>\nExpected:( [0-9A-F]{2}){4}\nPrior corruption:( [0-9A-F]{2}){8}");
}

TEST(ZylMemoryDeath, BlockOutsideTheHeapIsFatalEvenWithoutTheFlag) {
    static uint8_t outside[64];
    EXPECT_FALSE(Zyl_IsHeapAddress(outside));
    EXPECT_EXIT(Zyl_MemoryCheckBlock(0, outside, 8, __FILE__, __LINE__), ExitedWithCode(1),
                "ABORT: Invalid memory address \\(8\\) <From:0x[0-9A-F]+ To:0x[0-9A-F]+>");
}

TEST(ZylMemoryDeath, LimitTripsOnTheBlockThatExceedsIt) {
    EXPECT_EXIT(
        {
            Zyl_MemoryInit(1000);
            void *a = ZYL_ALLOC(900); // block 920
            (void)a;
            ZYL_ALLOC(100); // block 120: 920 + 120 > 1000
        },
        ExitedWithCode(1), "ABORT: Memory exceeds limit \\(\\(920 \\+ 120\\) / 1000\\)");
    EXPECT_EXIT(
        {
            Zyl_MemoryInit(1000);
            void *a = ZYL_ALLOC(900);
            void *b = ZYL_ALLOC(40); // 920 + 60 fits
            (void)a;
            (void)b;
            _exit(0);
        },
        ExitedWithCode(0), "");
}

TEST(ZylMemoryDeath, LeakReportUnits) {
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_CONSOLE | ZYL_LOG_BANNERS | ZYL_LOG_NO_MESSAGE_BOX);
            Zyl_MemoryInit(INT_MAX);
            ZYL_ALLOC(4);
            Zyl_MemoryRemove();
            _exit(0);
        },
        ExitedWithCode(0),
        "====\\[Memory Init\\]=+\nMemory Initialized \\(Maximum\\)\n=+\n====\\[Memory "
        "Remove\\]=+\nMaximum Memory in use \\(1 / 0k\\)\nNot all memory was free'd \\(1 / 24b\\)");
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_CONSOLE | ZYL_LOG_NO_MESSAGE_BOX);
            Zyl_MemoryInit(INT_MAX);
            ZYL_ALLOC(2048);
            ZYL_ALLOC(8);
            Zyl_MemoryRemove();
            _exit(0);
        },
        ExitedWithCode(0), "Not all memory was free'd \\(2 / 2k\\)");
}

TEST(ZylMemoryDeath, TraceLinesWithFlag0x200) {
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_CONSOLE | ZYL_LOG_MEMORY | ZYL_LOG_NO_MESSAGE_BOX);
            void *p = ZYL_ALLOC(12);
            ZYL_FREE(p, 12);
            _exit(0);
        },
        ExitedWithCode(0),
        "-- Alloc 0x[0-9A-F]+ 0x00000000:         12 \\[tests/core/zyl_memory_test.cpp / "
        "[0-9]+\\]\n-- Free  0x[0-9A-F]+ 0x00000000:         12 \\[");
}

} // namespace
