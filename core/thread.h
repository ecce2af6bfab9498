// Threads of the core runtime: start a procedure on a thread of its own, join it
// with a time-out while the calling thread's message pump keeps running, and
// sleep in slices. Made for a handful of long-lived worker threads.
#pragma once

#include <cstdint>

// A started thread. Opaque; the owner keeps a pointer to it (null = none) and
// releases it with Thread_Close. The record stays valid until both the owner has
// closed it and the thread has ended, so closing a running thread is safe.
struct ThreadStruct;

// The procedure run by a thread; its result is the thread's exit code.
typedef uint32_t (*ThreadProc)(void *argument);

// Wait value meaning "no time limit".
enum { THREAD_WAIT_INFINITE = 0x0FFFFFFF };

// Start-up of the thread module: zeroes its counters and creates its mutex.
// Returns 1. Threads may be created without it.
int Thread_Init(void);
// Shutdown of the thread module: closes its mutex. Returns 1.
int Thread_Remove(void);

// Starts `procedure(argument)` on a new thread (default stack) and stores the
// thread in *thread. Returns 1, or 0 with *thread null when the thread cannot be
// started. A null procedure is a fatal argument error.
int Thread_Create(ThreadStruct **thread, void *argument, ThreadProc procedure);

// Ends the calling thread with exit code 0 (a thread of Thread_Create: its
// waiters are released). Never returns.
[[noreturn]] void Thread_Exit(void);

// Releases the owner's hold on *thread (the thread itself keeps running when it
// has not ended) and clears the pointer. Null or an already cleared pointer is
// accepted. Returns 1.
int Thread_Close(ThreadStruct **thread);

// Waits until the thread has ended, in slices of 100 ms, calling the message pump
// (Zyl_PumpMessages) after each slice. milliseconds is rounded up to whole
// slices; THREAD_WAIT_INFINITE waits without limit; 0 only looks.
// Returns 1 when the thread has ended (or thread is null), 0 when the time ran out.
int Thread_Wait(ThreadStruct *thread, int milliseconds);

// 1 when the thread has ended (null counts as ended), without waiting.
int Thread_HasEnded(ThreadStruct *thread);

// Exit code of an ended thread in *code (0 while it runs). Returns 1 when the
// thread has ended.
int Thread_GetExitCode(ThreadStruct *thread, uint32_t *code);

// Sleeps in slices of 250 ms, calling the message pump after each: the time is
// raised to the next multiple of 250 ms. 0 or less returns at once. Returns 1.
int Thread_Sleep(int milliseconds);

// Gives up the rest of the time slice. Returns 1.
int Thread_Yield(void);

// Threads started and threads still running since Thread_Init (for reports).
int Thread_GetCounts(int *started, int *running);
