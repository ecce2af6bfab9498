// The single-instance lock of this OS: an flock'd lock file per name in a given
// folder, held for the life of the process, and a Unix datagram socket beside it
// on which later instances leave messages for the holder.
#pragma once

enum { INSTANCELOCK_HELD = 1, INSTANCELOCK_BUSY = 0, INSTANCELOCK_ERROR = -1 };

// Takes "<folder>/<name>-EXCLUSIVE.lock" (name with characters other than
// letters, digits, '.', '_' and '-' turned into '_'), retrying for up to
// milliseconds. HELD: this process holds it (also when it already did) and
// listens on "<name>-EXCLUSIVE.sock"; when that socket cannot be bound the lock
// is held all the same, GetSocket answers -1 and errno says why. BUSY: another
// process holds it. ERROR: the lock file cannot be made or taken, errno says why
// (EBUSY: this process holds another name's lock). One name per process.
// Nothing here logs: the caller reports.
int InstanceLock_Acquire(const char *folder, const char *name, int milliseconds);
// Sends message to the holder of the name's lock. 1 when delivered; 0 with
// errno set otherwise.
int InstanceLock_Send(const char *folder, const char *name, const char *message);
// The holder's listening socket, or -1.
int InstanceLock_GetSocket(void);
// One pending message into buffer without blocking; 1 when there was one.
int InstanceLock_Poll(char *buffer, int size);
// Drops the lock and removes the socket. Returns 1.
int InstanceLock_Release(void);
