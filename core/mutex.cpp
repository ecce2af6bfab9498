// The core runtime's mutex and manual-reset event on Linux futexes. The mutex is a
// non-recursive lock word (0 free, 1 held, 2 held with waiters) sleeping at once
// when it is taken; it records the last locker's file and line for stall reports,
// unbalanced releases and a close while threads still wait.
#include <atomic>
#include <climits>
#include <ctime>

#include "core/mutex.h"
#include "core/zyl.h"
#include "platform/futex.h"

static const char kMutexTag[] = "MutexStruct";
static const char kEventTag[] = "EventStruct";

struct MutexStruct {
    const char *Tag;
    std::atomic<uint32_t> State; // 0 free, 1 held, 2 held and maybe waiters
    std::atomic<int> Waiting;    // threads asleep in Mutex_Lock
    // Written by the holder only.
    const char *LastFile;
    int LastLine;
    int Statistics;   // log flag 0x4000 at creation
    int StallReports; // 1: report waits longer than StallMilliseconds
    int StallMilliseconds;
    std::atomic<int64_t> LockCalls; // counted with Statistics on
    std::atomic<int64_t> Retries;   // sleeps of contended lock calls
    std::atomic<int64_t> Contended; // lock calls that had to wait
};

struct EventStruct {
    const char *Tag;
    std::atomic<uint32_t> State; // bit 0: set; above it, a count of sets (generation)
    std::atomic<int> Waiting;
};

namespace {

// A lock call that waits this long prints a stall report naming the last locker.
const int kStallMilliseconds = 1000;

int64_t NowMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits in futex sleeps; 1 when locked, 0 when the time ran out.
int LockSlow(MutexStruct *m, int milliseconds, const char *file, int line) {
    // No spinning: sleeping waiters leave the lock's cache line to the holder, which
    // measured faster with short critical sections than any spin count tried.
    if (milliseconds == 0)
        return 0;
    int64_t start = -1; // read before the first sleep: most contended calls never sleep
    int64_t elapsed = 0;
    int64_t sleeps = 0;
    int stalled = 0;
    int locked = 0;
    for (;;) {
        if (m->State.exchange(2, std::memory_order_acquire) == 0) {
            locked = 1;
            break;
        }
        int64_t wait = -1;
        if (milliseconds > 0) {
            wait = milliseconds - elapsed;
            if (wait <= 0)
                break;
        }
        if (m->StallReports && !stalled) {
            int64_t untilStall = m->StallMilliseconds - elapsed;
            if (untilStall < 1)
                untilStall = 1;
            if (wait < 0 || untilStall < wait)
                wait = untilStall;
        }
        if (start < 0)
            start = NowMilliseconds();
        // Counted around the sleep only: an update of the count on every
        // contended call would be one more write to the lock's cache line.
        m->Waiting.fetch_add(1, std::memory_order_relaxed);
        int result = Futex_Wait(&m->State, 2, wait);
        m->Waiting.fetch_sub(1, std::memory_order_relaxed);
        sleeps++;
        if (result != 0 && result != ETIMEDOUT && result != EINTR) {
            ZYL_FATAL_AT(file, line, "Unable to lock mutex (%d:%.8X) from %s/%d\n", result, result,
                         file, line);
        }
        elapsed = NowMilliseconds() - start;
        if (m->StallReports && !stalled && elapsed >= m->StallMilliseconds) {
            stalled = 1;
            Zyl_Print("Mutex lock [0x%p] stall encountered (%d) %s/%d (previous %s/%d)\n",
                      (void *)m, (int)elapsed, file, line, m->LastFile, m->LastLine);
        }
    }
    if (m->Statistics) {
        m->Contended.fetch_add(1, std::memory_order_relaxed);
        m->Retries.fetch_add(sleeps, std::memory_order_relaxed);
    }
    if (stalled)
        Zyl_Print("Mutex lock [0x%p] stall released (%d) %s/%d (previous %s/%d)\n", (void *)m,
                  (int)(NowMilliseconds() - start), file, line, m->LastFile, m->LastLine);
    return locked;
}

} // namespace

int Mutex_Create(MutexStruct **mutex) {
    ZYL_CHECK_PTR(mutex);
    MutexStruct *m = ZYL_NEW(MutexStruct);
    m->Tag = kMutexTag;
    m->LastFile = "Unknown";
    m->Statistics = (Zyl_GetLogFlags() & ZYL_LOG_MUTEX_STATS) != 0;
    m->StallReports = 1;
    m->StallMilliseconds = kStallMilliseconds;
    *mutex = m;
    return 1;
}

int Mutex_Lock(MutexStruct *mutex, int milliseconds, const char *file, int line) {
    ZYL_CHECK_TAG(mutex, kMutexTag);
    if (mutex->Statistics)
        mutex->LockCalls.fetch_add(1, std::memory_order_relaxed);
    uint32_t expected = 0;
    if (!mutex->State.compare_exchange_strong(expected, 1, std::memory_order_acquire) &&
        !LockSlow(mutex, milliseconds, file, line))
        return 0;
    mutex->LastFile = file;
    mutex->LastLine = line;
    return 1;
}

int Mutex_Unlock(MutexStruct *mutex, const char *file, int line) {
    ZYL_CHECK_TAG(mutex, kMutexTag);
    // One exchange, not a compare loop: waiters keep setting 2 while the lock is
    // held, and each of those writes would fail a compare and cost another try.
    // Releasing a free mutex writes the 0 it already holds.
    uint32_t state = mutex->State.exchange(0, std::memory_order_release);
    if (state == 0) {
        Zyl_Print("Unbalanced mutex release (%d:%d:%d) from %s/%d (previous %s/%d)\n",
                  mutex->Waiting.load(), 1, 1, file, line, mutex->LastFile, mutex->LastLine);
        return 0;
    }
    if (state == 2)
        Futex_Wake(&mutex->State, 1);
    return 1;
}

int Mutex_SetStallReport(MutexStruct *mutex, int on, int milliseconds) {
    ZYL_CHECK_TAG(mutex, kMutexTag);
    mutex->StallReports = on ? 1 : 0;
    mutex->StallMilliseconds = milliseconds > 0 ? milliseconds : 1;
    return 1;
}

int Mutex_GetWaiting(MutexStruct *mutex) {
    ZYL_CHECK_TAG(mutex, kMutexTag);
    return mutex->Waiting.load();
}

int Mutex_Close(MutexStruct **mutex) {
    ZYL_CHECK_PTR(mutex);
    MutexStruct *m = *mutex;
    if (!m)
        return 1;
    ZYL_CHECK_TAG(m, kMutexTag);
    if (m->Statistics) {
        int64_t contended = m->Contended.load();
        if (contended != 0)
            Zyl_Print("Mutex closed, total of %I64d locks (%I64d spins of %I64d loops avg) [last "
                      "call at %s/%d]\n",
                      m->LockCalls.load(), contended, m->Retries.load() / contended, m->LastFile,
                      m->LastLine);
        else
            Zyl_Print("Mutex closed, total of %I64d locks (no spins) [last call at %s/%d]\n",
                      m->LockCalls.load(), m->LastFile, m->LastLine);
    }
    int waiting = m->Waiting.load();
    if (waiting > 0) {
        ZYL_FATAL("Mutex closed while lock pending (%d) and active (%d) [last call at %s/%d]\n",
                  waiting, m->State.load() != 0 ? 1 : 0, m->LastFile, m->LastLine);
    }
    m->Tag = Zyl_DeadTag;
    ZYL_FREE(m, sizeof(MutexStruct));
    *mutex = nullptr;
    return 1;
}

int Event_Create(EventStruct **event) {
    ZYL_CHECK_PTR(event);
    EventStruct *e = ZYL_NEW(EventStruct);
    e->Tag = kEventTag;
    *event = e;
    return 1;
}

int Event_Set(EventStruct *event, int state) {
    ZYL_CHECK_TAG(event, kEventTag);
    if (state == 1) {
        // A new generation: a waiter that was asleep when the event was set is
        // released even if the event is reset before it runs.
        uint32_t old = event->State.load(std::memory_order_relaxed);
        while (!event->State.compare_exchange_weak(old, (((old >> 1) + 1) << 1) | 1))
            ;
        if (event->Waiting.load() > 0)
            Futex_Wake(&event->State, INT_MAX);
    } else {
        event->State.fetch_and(~1u);
    }
    return 1;
}

int Event_Wait(EventStruct *event, int *signalled, int milliseconds, const char *file, int line) {
    ZYL_CHECK_TAG(event, kEventTag);
    ZYL_CHECK_PTR(signalled);
    *signalled = 0;
    uint32_t seen = event->State.load();
    if (seen & 1) {
        *signalled = 1;
        return 1;
    }
    if (milliseconds == 0)
        return 1;
    event->Waiting.fetch_add(1);
    int64_t start = NowMilliseconds();
    int result = 1;
    for (;;) {
        uint32_t now = event->State.load();
        if ((now & 1) || (now >> 1) != (seen >> 1)) {
            *signalled = 1;
            break;
        }
        seen = now;
        int64_t wait = -1;
        if (milliseconds > 0) {
            wait = milliseconds - (NowMilliseconds() - start);
            if (wait <= 0)
                break;
        }
        int error = Futex_Wait(&event->State, seen, wait);
        if (error != 0 && error != ETIMEDOUT && error != EINTR) {
            if (milliseconds < 0) {
                ZYL_FATAL_AT(file, line, "Unable to get signal (%d 0x%.8X)\n", error, error);
            }
            result = 0;
            break;
        }
    }
    event->Waiting.fetch_sub(1);
    return result;
}

int Event_GetWaiting(EventStruct *event) {
    ZYL_CHECK_TAG(event, kEventTag);
    return event->Waiting.load();
}

int Event_Poll(EventStruct *event, int *signalled) {
    return Event_Wait(event, signalled, 0, __FILE__, __LINE__);
}

int Event_Close(EventStruct **event) {
    ZYL_CHECK_PTR(event);
    EventStruct *e = *event;
    if (!e)
        return 1;
    ZYL_CHECK_TAG(e, kEventTag);
    e->Tag = Zyl_DeadTag;
    ZYL_FREE(e, sizeof(EventStruct));
    *event = nullptr;
    return 1;
}
