// The core runtime's counting mutex (spin word guarding its counters, stall
// reports naming the last locker) and its manual-reset event.
#pragma once

#include <cstdint>

struct MutexStruct;
struct EventStruct;

// Creates an unlocked, non-recursive mutex into *mutex; returns 1. With log flag
// 0x4000 set at creation it counts lock calls and waits and reports them at close.
int Mutex_Create(MutexStruct **mutex);
// Waits until the mutex is free (milliseconds < 0: no limit). 1 when locked,
// 0 when the time ran out. The holder is not admitted a second time.
int Mutex_Lock(MutexStruct *mutex, int milliseconds, const char *file, int line);
// 1, or 0 (with a logged line) for an unbalanced release.
int Mutex_Unlock(MutexStruct *mutex, const char *file, int line);
// Reports statistics, frees the mutex and clears *mutex. Accepts null. Closing
// while a thread waits in Mutex_Lock is fatal.
int Mutex_Close(MutexStruct **mutex);

// Stall reports: a lock call that waits `milliseconds` (default 1,000) prints
// "stall encountered" naming the last locker, and "stall released" once it gets
// the lock. on 0 turns them off. Returns 1.
int Mutex_SetStallReport(MutexStruct *mutex, int on, int milliseconds);
// Threads asleep in Mutex_Lock on this mutex now (for tests and reports).
int Mutex_GetWaiting(MutexStruct *mutex);

#define MUTEX_LOCK(m) Mutex_Lock((m), -1, __FILE__, __LINE__)
#define MUTEX_UNLOCK(m) Mutex_Unlock((m), __FILE__, __LINE__)

// Manual-reset event, created clear.
int Event_Create(EventStruct **event);
// state 1 sets the event, anything else resets it; returns 1.
int Event_Set(EventStruct *event, int state);
// *signalled = 1 when the event was set within the time (milliseconds < 0: no
// limit). Returns 1 when the wait worked, 0 when it failed.
int Event_Wait(EventStruct *event, int *signalled, int milliseconds, const char *file, int line);
int Event_Poll(EventStruct *event, int *signalled);
int Event_Close(EventStruct **event);
// Threads inside Event_Wait on this event now (for tests and reports).
int Event_GetWaiting(EventStruct *event);

#define EVENT_WAIT(e, signalled, ms) Event_Wait((e), (signalled), (ms), __FILE__, __LINE__)
