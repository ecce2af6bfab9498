// Process list of this OS: every entry of /proc, with the file name of each
// process's executable.
#pragma once

// Finds a live process (zombies excluded) whose executable's file name equals
// name (case-sensitive). 1 and *pid for the first one found, 0 when none.
int Psapi_FindByName(const char *name, int *pid);
