// The process's limit of open descriptors: raised once to the hard limit so
// that a busy listener and many peer connections do not run short.
#pragma once

// Raises the soft limit of open descriptors to the hard limit. Returns 1, or 0
// when the limit cannot be read or set (nothing changed).
int FdLimit_RaiseToHard(void);
// The current soft limit in *count (0 when it cannot be read). Returns 1 or 0.
int FdLimit_Get(long *count);
