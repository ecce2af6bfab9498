// The per-test leak check: a listener that reads the tracked totals when a test
// starts and fails the test when they differ at its end.
#include "tests/support/leak_check.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

#include "core/zyl.h"

namespace testsupport {
namespace {

// The running test's starting totals, raised by KeepForProcess. Atomic
// because process-wide state may be created on a test's worker thread.
std::atomic<int64_t> g_blocks{0};
std::atomic<int64_t> g_bytes{0};

// Suites whose code under test keeps process-wide records after the test,
// allocated on first use and not through a start-up call a test could wrap in
// KeepForProcess: the thread registry (Thread_*) and the reliable-UDP
// multiplexer table with the sockets layer, whose worker may still release a
// record just after a test ends (UdtSocket, UdtForged, UdtInterop, the
// transport and peer-wire stream tests over both types, and the embedded
// server's idle-thread tests, which wait through it). They are named here, one
// by one; every other suite is checked.
bool KeepsProcessWideRecords(const testing::TestInfo &test) {
    static const char *const kSuites[] = {
        "Thread",
        "UdtSocket",
        "UdtForged",
        "UdtInterop",
        "Transport",
        "StreamPair",
        "Stream",
        "BothTypes/TransportEcho",
        "WebServerIdleThread",
    };
    for (const char *suite : kSuites) {
        if (std::strcmp(test.test_suite_name(), suite) == 0)
            return true;
    }
    return false;
}

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
    void OnTestEnd(const testing::TestInfo &test) override {
        if (KeepsProcessWideRecords(test))
            return;
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
