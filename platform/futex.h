// Thin wrapper over the Linux futex call used by the core's mutex and event:
// wait while a 32-bit word holds a value, wake waiters on it.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

// Sleeps while *word == expected, at most `milliseconds` (< 0: no limit).
// Returns 0 when woken (or the word already differed), ETIMEDOUT after the time,
// EINTR when interrupted, or another errno on a real failure.
inline int Futex_Wait(const void *word, uint32_t expected, int64_t milliseconds) {
    struct timespec timeout;
    struct timespec *limit = nullptr;
    if (milliseconds >= 0) {
        timeout.tv_sec = (time_t)(milliseconds / 1000);
        timeout.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
        limit = &timeout;
    }
    long r = syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
    if (r == 0)
        return 0;
    if (errno == EAGAIN)
        return 0;
    return errno;
}

// Wakes up to `count` threads waiting on word.
inline void Futex_Wake(const void *word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}
