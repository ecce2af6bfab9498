// Mutex and event: timed and unlimited waits, unbalanced releases, stall reports,
// statistics, a close while threads wait, and exclusion under contention.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "core/zyl.h"
#include "tests/support/log_capture.h"

namespace {

using testing::ExitedWithCode;

void WaitUntilWaiting(MutexStruct *mutex, int count) {
    while (Mutex_GetWaiting(mutex) < count)
        std::this_thread::yield();
}

TEST(Mutex, TimedLockOnAHeldMutexFails) {
    MutexStruct *mutex = nullptr;
    ASSERT_EQ(Mutex_Create(&mutex), 1);
    EXPECT_EQ(MUTEX_LOCK(mutex), 1);
    EXPECT_EQ(Mutex_Lock(mutex, 0, __FILE__, __LINE__), 0);
    EXPECT_EQ(Mutex_Lock(mutex, 3, __FILE__, __LINE__), 0); // the holder is not admitted again
    std::thread other([mutex] { EXPECT_EQ(Mutex_Lock(mutex, 2, __FILE__, __LINE__), 0); });
    other.join();
    EXPECT_EQ(Mutex_GetWaiting(mutex), 0);
    EXPECT_EQ(MUTEX_UNLOCK(mutex), 1);
    EXPECT_EQ(Mutex_Lock(mutex, 0, __FILE__, __LINE__), 1);
    EXPECT_EQ(MUTEX_UNLOCK(mutex), 1);
    Mutex_Close(&mutex);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(Mutex_Close(&mutex), 1); // null is accepted
}

TEST(Mutex, UnlimitedLockWaitsForTheRelease) {
    MutexStruct *mutex = nullptr;
    Mutex_Create(&mutex);
    Mutex_SetStallReport(mutex, 0, 1);
    MUTEX_LOCK(mutex);
    std::atomic<int> got{0};
    std::thread waiter([&] {
        got = MUTEX_LOCK(mutex);
        MUTEX_UNLOCK(mutex);
    });
    WaitUntilWaiting(mutex, 1);
    EXPECT_EQ(got.load(), 0);
    MUTEX_UNLOCK(mutex);
    waiter.join();
    EXPECT_EQ(got.load(), 1);
    Mutex_Close(&mutex);
}

TEST(Mutex, UnbalancedReleaseIsReportedAndChangesNothing) {
    testsupport::ConsoleCapture capture;
    MutexStruct *mutex = nullptr;
    Mutex_Create(&mutex);
    MUTEX_LOCK(mutex);
    MUTEX_UNLOCK(mutex);
    EXPECT_EQ(Mutex_Unlock(mutex, "caller.cpp", 77), 0);
    EXPECT_TRUE(capture.Contains("Unbalanced mutex release (0:1:1) from caller.cpp/77 (previous "
                                 "tests/core/mutex_test.cpp/"));
    EXPECT_EQ(Mutex_Lock(mutex, 0, __FILE__, __LINE__), 1);
    EXPECT_EQ(Mutex_Lock(mutex, 0, __FILE__, __LINE__), 0);
    MUTEX_UNLOCK(mutex);
    Mutex_Close(&mutex);
}

TEST(Mutex, StallReportNamesBothSides) {
    testsupport::ConsoleCapture capture;
    MutexStruct *mutex = nullptr;
    Mutex_Create(&mutex);
    Mutex_SetStallReport(mutex, 1, 1);
    Mutex_Lock(mutex, -1, "holder.cpp", 10);
    std::thread waiter([mutex] {
        Mutex_Lock(mutex, -1, "waiter.cpp", 20);
        MUTEX_UNLOCK(mutex);
    });
    while (!capture.Contains("stall encountered"))
        std::this_thread::yield();
    MUTEX_UNLOCK(mutex);
    waiter.join();
    std::string text = capture.Text();
    EXPECT_NE(text.find("stall encountered ("), std::string::npos);
    EXPECT_NE(text.find(") waiter.cpp/20 (previous holder.cpp/10)\n"), std::string::npos);
    EXPECT_NE(text.find("stall released ("), std::string::npos);
    EXPECT_EQ(text.find("stall encountered"), text.rfind("stall encountered")); // once
    Mutex_Close(&mutex);
}

TEST(Mutex, ExclusionUnderContention) {
    MutexStruct *mutex = nullptr;
    Mutex_Create(&mutex);
    int64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                MUTEX_LOCK(mutex);
                counter++;
                MUTEX_UNLOCK(mutex);
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
    Mutex_Close(&mutex);
}

TEST(MutexDeath, StatisticsAtClose) {
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_CONSOLE | ZYL_LOG_MUTEX_STATS);
            MutexStruct *mutex = nullptr;
            Mutex_Create(&mutex);
            for (int i = 0; i < 3; i++) {
                Mutex_Lock(mutex, -1, "stats.cpp", 5);
                Mutex_Unlock(mutex, "stats.cpp", 6);
            }
            Mutex_Close(&mutex);
            _exit(0);
        },
        ExitedWithCode(0),
        "Mutex closed, total of 3 locks \\(no spins\\) \\[last call at stats.cpp/5\\]");
}

TEST(MutexDeath, CloseWhileAThreadWaitsIsFatal) {
    EXPECT_EXIT(
        {
            MutexStruct *mutex = nullptr;
            Mutex_Create(&mutex);
            Mutex_Lock(mutex, -1, "owner.cpp", 3);
            std::thread([mutex] { Mutex_Lock(mutex, -1, "late.cpp", 4); }).detach();
            WaitUntilWaiting(mutex, 1);
            Mutex_Close(&mutex);
        },
        ExitedWithCode(1),
        "ABORT: Mutex closed while lock pending \\(1\\) and active \\(1\\) \\[last call at "
        "owner.cpp/3\\]");
}

TEST(MutexDeath, ClosedMutexFailsItsCheck) {
    EXPECT_EXIT(
        {
            MutexStruct *mutex = nullptr;
            Mutex_Create(&mutex);
            Mutex_Close(&mutex);
            MUTEX_LOCK(mutex);
        },
        ExitedWithCode(1), "ABORT: Pointer is NULL");
}

TEST(Event, ManualResetSemantics) {
    EventStruct *event = nullptr;
    ASSERT_EQ(Event_Create(&event), 1);
    int signalled = -1;
    EXPECT_EQ(EVENT_WAIT(event, &signalled, 2), 1);
    EXPECT_EQ(signalled, 0);
    EXPECT_EQ(Event_Poll(event, &signalled), 1);
    EXPECT_EQ(signalled, 0);
    Event_Set(event, 1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(EVENT_WAIT(event, &signalled, -1), 1);
        EXPECT_EQ(signalled, 1);
    }
    Event_Set(event, 0);
    EXPECT_EQ(Event_Poll(event, &signalled), 1);
    EXPECT_EQ(signalled, 0);
    Event_Close(&event);
    EXPECT_EQ(event, nullptr);
}

TEST(Event, SetWakesEveryWaiter) {
    EventStruct *event = nullptr;
    Event_Create(&event);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++)
        waiters.emplace_back([&] {
            int signalled = 0;
            EVENT_WAIT(event, &signalled, -1);
            woken += signalled;
        });
    Event_Set(event, 1);
    for (auto &thread : waiters)
        thread.join();
    EXPECT_EQ(woken.load(), 3);
    Event_Close(&event);
}

TEST(Event, ASetDuringTheWaitIsSeenEvenIfResetAtOnce) {
    EventStruct *event = nullptr;
    Event_Create(&event);
    int signalled = -1;
    std::thread waiter([&] { EVENT_WAIT(event, &signalled, -1); });
    while (Event_GetWaiting(event) == 0)
        std::this_thread::yield();
    Event_Set(event, 1);
    Event_Set(event, 0);
    waiter.join();
    EXPECT_EQ(signalled, 1);
    Event_Close(&event);
}

} // namespace
