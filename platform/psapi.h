// Process list of this OS: every entry of /proc, with the file name of each
// process's executable.
#pragma once

// Finds a live process (zombies excluded) whose executable's file name equals
// name (case-sensitive). 1 and *pid for the first one found, 0 when none.
int Psapi_FindByName(const char *name, int *pid);
// Finds a live process whose executable, as its exe link names it (a program
// replaced on disk still counts), is exactly path (absolute, no "." or ".."
// parts). 1 and *pid for the first one found, 0 when none.
int Psapi_FindByPath(const char *path, int *pid);
// Finds a live process running the program at path (resolved through its
// links first; as given when it cannot be resolved): its exe link names that
// file, a program replaced on disk included. A process whose link cannot be
// read (another user's) counts when the file name of its argv[0] equals
// path's file name. 1 and *pid for the first one found, 0 when none.
int Psapi_FindByProgram(const char *path, int *pid);
// 1 when the live process pid runs the program at path, by the rule of
// Psapi_FindByProgram; else 0. One process looked at: for a watch on one found.
int Psapi_RunsProgram(int pid, const char *path);
