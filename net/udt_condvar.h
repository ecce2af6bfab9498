// Condition variable over the core runtime's mutex, for the reliable UDP
// transport's blocking calls: a wait releases the caller's mutex, sleeps until
// a broadcast or the time-out, and takes the mutex again.
#pragma once

struct MutexStruct;

extern const char UDTCondVarTag[]; // "condvar"

struct UDTCondVarStruct;

// Create: a new record into *cond; returns 1 (allocation failure is fatal).
// Destroy accepts null, frees the record, clears *cond and returns 1.
int CondVar_Create(UDTCondVarStruct **cond);
int CondVar_Destroy(UDTCondVarStruct **cond);
// Releases mutex (held by the caller), waits up to milliseconds (-1 = no limit)
// for a signal given after this call began, retakes mutex. 1 when woken, 0 on time-out.
int CondVar_Wait(UDTCondVarStruct *cond, MutexStruct *mutex, int milliseconds);
// Wakes every current waiter (one = 0) or at least one (one = 1). Returns 1.
int CondVar_Signal(UDTCondVarStruct *cond, int all);
