// Process start and wait of this OS: posix_spawn with standard input from
// /dev/null and optionally a session of its own, waits on a pidfd with a time-out,
// and a reaper for children nobody waits for.
#pragma once

// Starts argv[0] with argv (null-terminated) in folder (null or "": unchanged);
// a name without '/' is looked up on PATH. Returns 0 and *pid, or the error number.
int CreateProcess_Spawn(char *const argv[], const char *folder, int newSession, int *pid);
// Waits up to milliseconds for the child to end. 1: ended, *exitCode holds its
// exit status (-1 when a signal ended it) and the child is reaped; 0: still
// running; -1: it cannot be waited for (errno kept).
int CreateProcess_Wait(int pid, int milliseconds, int *exitCode);
// Reaps the child in the background when it ends. Returns 1.
int CreateProcess_Abandon(int pid);
