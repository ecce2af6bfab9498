// A stop request one thread raises and another reads between the steps of its
// work (a wait for a child process, a copy, an expansion, an installer list).
// Shared between threads, so it is an atomic, never a plain or volatile int.
#pragma once

#include <atomic>

// Values: 0 go on, 1 stop (callers may store other non-zero values; every
// reader treats non-zero as a request unless it documents otherwise). Starts
// at 0 when value-initialised or zero-filled by the tracked allocator.
struct StopFlag {
    std::atomic<int> Value{0};
};

// Stores value (1 raises the flag, 0 lowers it). Release order: what the caller
// wrote before raising the flag is seen by the thread that reads it raised.
inline void StopFlag_Set(StopFlag *flag, int value) {
    flag->Value.store(value, std::memory_order_release);
}

// The flag's value (acquire order, pairs with StopFlag_Set). The flag must not be null.
inline int StopFlag_Test(const StopFlag *flag) {
    return flag->Value.load(std::memory_order_acquire);
}
