// Threads: start, join with and without a time limit, Thread_Exit, stop by flag,
// and the message pump between wait and sleep slices.
#include <atomic>
#include <gtest/gtest.h>

#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/thread.h"
#include "core/zyl.h"

namespace {

std::atomic<int> g_pumps{0};
int CountingPump() {
    g_pumps++;
    return 1;
}

// Installs a pump that counts its calls for the life of the object.
struct PumpCounter {
    PumpCounter() {
        ZylWindowHooks hooks = {};
        hooks.PumpMessages = CountingPump;
        Zyl_SetWindowHooks(&hooks);
        g_pumps = 0;
    }
    ~PumpCounter() { Zyl_SetWindowHooks(nullptr); }
};

uint32_t ReturnSeven(void *argument) {
    static_cast<std::atomic<int> *>(argument)->store(1);
    return 7;
}

// Runs until its event is set.
uint32_t WaitForEvent(void *argument) {
    int signalled = 0;
    EVENT_WAIT(static_cast<EventStruct *>(argument), &signalled, -1);
    return 3;
}

uint32_t ExitEarly(void *argument) {
    Thread_Exit();
    static_cast<std::atomic<int> *>(argument)->store(1); // never reached
    return 9;
}

struct Worker {
    std::atomic<int> Stop{0};
    std::atomic<int> Rounds{0};
    EventStruct *Wake = nullptr;
};

// A worker in the engine's shape: loops until its stop flag, sleeping on its event.
uint32_t WorkerLoop(void *argument) {
    Worker *worker = static_cast<Worker *>(argument);
    while (!worker->Stop) {
        worker->Rounds++;
        int signalled = 0;
        EVENT_WAIT(worker->Wake, &signalled, 50);
    }
    return 0;
}

TEST(Thread, StartsAndIsJoinedWithItsExitCode) {
    Thread_Init();
    std::atomic<int> ran{0};
    ThreadStruct *thread = nullptr;
    ASSERT_EQ(1, Thread_Create(&thread, &ran, ReturnSeven));
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(1, Thread_Wait(thread, THREAD_WAIT_INFINITE));
    EXPECT_EQ(1, ran.load());
    EXPECT_EQ(1, Thread_HasEnded(thread));
    uint32_t code = 0;
    EXPECT_EQ(1, Thread_GetExitCode(thread, &code));
    EXPECT_EQ(7u, code);
    EXPECT_EQ(1, Thread_Close(&thread));
    EXPECT_EQ(nullptr, thread);
    EXPECT_EQ(1, Thread_Close(&thread)); // an already cleared handle is fine
    int started = 0, running = 0;
    Thread_GetCounts(&started, &running);
    EXPECT_GE(started, 1);
    Thread_Remove();
}

TEST(Thread, ClosingAnEndedThreadGivesItsRecordBackAtOnce) {
    // A memory report right after the owner's join and close counts nothing of
    // the thread, however late the thread itself lets go of its record.
    Thread_Init();
    for (int round = 0; round < 200; round++) {
        int64_t blocks = 0, bytes = 0, blocksAfter = 0, bytesAfter = 0;
        Zyl_MemoryGetUsage(&blocks, &bytes);
        std::atomic<int> ran{0};
        ThreadStruct *thread = nullptr;
        ASSERT_EQ(1, Thread_Create(&thread, &ran, ReturnSeven));
        ASSERT_EQ(1, Thread_Wait(thread, THREAD_WAIT_INFINITE));
        ASSERT_EQ(1, Thread_Close(&thread));
        Zyl_MemoryGetUsage(&blocksAfter, &bytesAfter);
        ASSERT_EQ(blocks, blocksAfter) << "round " << round;
        ASSERT_EQ(bytes, bytesAfter) << "round " << round;
    }
    Thread_Remove();
}

TEST(Thread, WaitTimesOutInSlicesPumpingBetweenThem) {
    EventStruct *release = nullptr;
    Event_Create(&release);
    ThreadStruct *thread = nullptr;
    ASSERT_EQ(1, Thread_Create(&thread, release, WaitForEvent));
    {
        PumpCounter pump;
        // 250 ms are three slices (0, 100 and 200 ms elapsed), each followed by the pump.
        EXPECT_EQ(0, Thread_Wait(thread, 250));
        EXPECT_EQ(3, g_pumps.load());
        EXPECT_EQ(0, Thread_Wait(thread, 0)); // 0 ms only looks
        EXPECT_EQ(0, Thread_HasEnded(thread));
    }
    Event_Set(release, 1);
    EXPECT_EQ(1, Thread_Wait(thread, THREAD_WAIT_INFINITE));
    EXPECT_EQ(1, Thread_Wait(thread, 0));
    Thread_Close(&thread);
    Event_Close(&release);
}

TEST(Thread, ExitEndsTheThreadAndReleasesItsWaiters) {
    std::atomic<int> after{0};
    ThreadStruct *thread = nullptr;
    ASSERT_EQ(1, Thread_Create(&thread, &after, ExitEarly));
    EXPECT_EQ(1, Thread_Wait(thread, THREAD_WAIT_INFINITE));
    uint32_t code = 99;
    EXPECT_EQ(1, Thread_GetExitCode(thread, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0, after.load());
    Thread_Close(&thread);
}

TEST(Thread, StopFlagAndEventEndAWorker) {
    Worker worker;
    Event_Create(&worker.Wake);
    ThreadStruct *thread = nullptr;
    ASSERT_EQ(1, Thread_Create(&thread, &worker, WorkerLoop));
    while (worker.Rounds.load() == 0)
        Thread_Yield();
    worker.Stop = 1;
    Event_Set(worker.Wake, 1);
    EXPECT_EQ(1, Thread_Wait(thread, 120000));
    Thread_Close(&thread);
    Event_Close(&worker.Wake);
}

std::atomic<int> g_go{0};
std::atomic<int> g_finished{0};
uint32_t SpinUntilGo(void *) {
    while (!g_go.load())
        Thread_Yield();
    g_finished = 1;
    return 0;
}

TEST(Thread, ClosingARunningThreadLeavesItRunning) {
    ThreadStruct *thread = nullptr;
    ASSERT_EQ(1, Thread_Create(&thread, nullptr, SpinUntilGo));
    Thread_Close(&thread); // the record lives on until the thread ends
    EXPECT_EQ(nullptr, thread);
    g_go = 1;
    while (!g_finished.load())
        Thread_Yield();
}

TEST(Thread, NullHandleWaitsAreDone) {
    EXPECT_EQ(1, Thread_Wait(nullptr, 1000));
    EXPECT_EQ(1, Thread_HasEnded(nullptr));
}

TEST(Thread, SleepRoundsUpToWholeSlicesAndPumps) {
    PumpCounter pump;
    EXPECT_EQ(1, Thread_Sleep(0));
    EXPECT_EQ(1, Thread_Sleep(-5));
    EXPECT_EQ(0, g_pumps.load());
    EXPECT_EQ(1, Thread_Sleep(251)); // two slices of 250 ms
    EXPECT_EQ(2, g_pumps.load());
}

TEST(ThreadDeathTest, NullProcedureIsFatal) {
    ThreadStruct *thread = nullptr;
    EXPECT_DEATH(Thread_Create(&thread, nullptr, nullptr), "Pointer is NULL");
}

} // namespace
