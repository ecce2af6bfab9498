// Threads over pthreads: each started thread has a record with a "done" event so
// that owners can join it with a time-out, in slices that keep the message pump
// running. Records are shared by the owner and the thread and freed by the last.
#include "core/thread.h"

#include <atomic>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/zyl.h"
#include "platform/crashdump.h"

static const char kThreadTag[] = "thread";

struct ThreadStruct {
    const char *Tag;
    std::atomic<int> References; // the owner's hold and the running thread's hold
    std::atomic<int> Ended;      // 1 once the procedure returned or Thread_Exit ran
    EventStruct *Done;           // set when Ended becomes 1
    uint32_t ExitCode;           // valid once Ended is 1
    ThreadProc Procedure;
    void *Argument;
};

enum { kWaitSliceMs = 100, kSleepSliceMs = 250 };

static std::atomic<int> g_started{0};
static std::atomic<int> g_running{0};
static MutexStruct *g_threadMutex = nullptr; // created by Thread_Init, closed by Thread_Remove

// The record of the calling thread when it was started by Thread_Create.
static thread_local ThreadStruct *t_current = nullptr;

int Thread_Init(void) {
    g_started = 0;
    g_running = 0;
    if (g_threadMutex == nullptr)
        Mutex_Create(&g_threadMutex);
    return 1;
}

int Thread_Remove(void) {
    Mutex_Close(&g_threadMutex);
    return 1;
}

static void Thread_Release(ThreadStruct *thread) {
    if (thread->References.fetch_sub(1) != 1)
        return;
    Event_Close(&thread->Done);
    thread->Tag = Zyl_DeadTag;
    ZYL_FREE(thread, sizeof(ThreadStruct));
}

// Marks the thread ended, wakes its waiters and drops the thread's own hold.
static void Thread_Finish(ThreadStruct *thread) {
    thread->Ended.store(1);
    Event_Set(thread->Done, 1);
    g_running.fetch_sub(1);
    Thread_Release(thread);
}

namespace {
// Runs Thread_Finish when the thread function returns and also when Thread_Exit
// unwinds the thread (pthread_exit runs destructors on its way out).
struct ThreadEndGuard {
    ThreadStruct *Thread;
    ~ThreadEndGuard() {
        Thread_Finish(Thread);
        CrashDump_RemoveThreadStack();
    }
};
} // namespace

static void *Thread_Start(void *argument) {
    ThreadStruct *thread = static_cast<ThreadStruct *>(argument);
    t_current = thread;
    // A crash dump also for a stack overflow on this thread (once installed).
    CrashDump_InstallThreadStack();
    ThreadEndGuard guard{thread};
    thread->ExitCode = thread->Procedure(thread->Argument);
    return nullptr;
}

int Thread_Create(ThreadStruct **thread, void *argument, ThreadProc procedure) {
    ZYL_CHECK_PTR(thread);
    *thread = nullptr;
    ZYL_CHECK_PTR(procedure);
    ThreadStruct *record = ZYL_NEW(ThreadStruct);
    record->Tag = kThreadTag;
    record->References.store(2);
    record->Procedure = procedure;
    record->Argument = argument;
    Event_Create(&record->Done);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t handle;
    g_running.fetch_add(1);
    int error = pthread_create(&handle, &attributes, Thread_Start, record);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        g_running.fetch_sub(1);
        Zyl_Print("Thread_Create() pthread_create failed [%d]\n", error);
        Event_Close(&record->Done);
        record->Tag = Zyl_DeadTag;
        ZYL_FREE(record, sizeof(ThreadStruct));
        errno = error; // callers report the system's last error
        return 0;
    }
    g_started.fetch_add(1);
    *thread = record;
    return 1;
}

void Thread_Exit(void) {
    ThreadStruct *thread = t_current;
    if (thread != nullptr)
        thread->ExitCode = 0;
    pthread_exit(nullptr);
}

int Thread_Close(ThreadStruct **thread) {
    ZYL_CHECK_PTR(thread);
    if (*thread == nullptr)
        return 1;
    ZYL_CHECK_TAG(*thread, kThreadTag);
    ThreadStruct *record = *thread;
    *thread = nullptr;
    // A thread that has ended is past its last use of the record but for its
    // own release, which follows at once: waiting for it lets the owner free
    // the record, so that the memory is given back when the owner's close
    // returns (a memory report right after it counts no thread record).
    if (record->Ended.load())
        while (record->References.load() > 1)
            sched_yield();
    Thread_Release(record);
    return 1;
}

int Thread_HasEnded(ThreadStruct *thread) {
    if (thread == nullptr)
        return 1;
    ZYL_CHECK_TAG(thread, kThreadTag);
    return thread->Ended.load() ? 1 : 0;
}

int Thread_GetExitCode(ThreadStruct *thread, uint32_t *code) {
    ZYL_CHECK_TAG(thread, kThreadTag);
    ZYL_CHECK_PTR(code);
    *code = 0;
    if (!thread->Ended.load())
        return 0;
    *code = thread->ExitCode;
    return 1;
}

int Thread_Wait(ThreadStruct *thread, int milliseconds) {
    if (thread == nullptr)
        return 1;
    ZYL_CHECK_TAG(thread, kThreadTag);
    if (milliseconds <= 0)
        return thread->Ended.load() ? 1 : 0;
    int result = 1;
    int elapsed = 0;
    while (milliseconds == THREAD_WAIT_INFINITE || elapsed < milliseconds) {
        int signalled = 0;
        if (!Event_Wait(thread->Done, &signalled, kWaitSliceMs, __FILE__, __LINE__))
            return 0;
        if (signalled)
            return 1;
        result = 0;
        elapsed += kWaitSliceMs;
        Zyl_PumpMessages();
    }
    return result;
}

int Thread_Sleep(int milliseconds) {
    if (milliseconds <= 0)
        return 1;
    int slices = (milliseconds - 1) / kSleepSliceMs + 1;
    for (int i = 0; i < slices; i++) {
        Zyl_SleepMilliseconds(kSleepSliceMs);
        Zyl_PumpMessages();
    }
    return 1;
}

int Thread_Yield(void) {
    sched_yield();
    return 1;
}

int Thread_GetCounts(int *started, int *running) {
    ZYL_CHECK_PTR(started);
    ZYL_CHECK_PTR(running);
    *started = g_started.load();
    *running = g_running.load();
    return 1;
}
