// The per-test leak check: a listener that reads the tracked totals when a test
// starts and fails the test when they differ at its end.
#include "tests/support/leak_check.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "core/zyl.h"

namespace testsupport {
namespace {

// The running test's starting totals, raised by KeepForProcess. Atomic
// because process-wide state may be created on a test's worker thread.
std::atomic<int64_t> g_blocks{0};
std::atomic<int64_t> g_bytes{0};

// A thread the test started may drop its last hold on a record a moment after
// the test has seen it end (a finished thread releases its own record). The
// totals are read again for up to this long before the test is blamed.
constexpr int kSettleMilliseconds = 2000;

bool BackToStart(int64_t *blocks, int64_t *bytes) {
    for (int waited = 0;; waited += 10) {
        Zyl_MemoryGetUsage(blocks, bytes);
        if (*blocks == g_blocks.load() && *bytes == g_bytes.load())
            return true;
        if (waited >= kSettleMilliseconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class LeakCheck : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override {
        int64_t blocks = 0, bytes = 0;
        Zyl_MemoryGetUsage(&blocks, &bytes);
        g_blocks = blocks;
        g_bytes = bytes;
    }
    void OnTestEnd(const testing::TestInfo &) override {
        int64_t blocks = 0, bytes = 0;
        if (BackToStart(&blocks, &bytes))
            return;
        EXPECT_EQ(g_blocks.load(), blocks) << "tracked blocks still held at the end of the test";
        EXPECT_EQ(g_bytes.load(), bytes) << "tracked bytes still held at the end of the test";
    }
};

} // namespace

void InstallLeakCheck() {
    testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
}

void KeepForProcess(const std::function<void()> &create) {
    int64_t blocks = 0, bytes = 0;
    Zyl_MemoryGetUsage(&blocks, &bytes);
    create();
    int64_t afterBlocks = 0, afterBytes = 0;
    Zyl_MemoryGetUsage(&afterBlocks, &afterBytes);
    g_blocks += afterBlocks - blocks;
    g_bytes += afterBytes - bytes;
}

} // namespace testsupport
