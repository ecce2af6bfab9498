// Descriptor limit of the process through getrlimit/setrlimit.
#include "platform/fdlimit.h"

#include <sys/resource.h>

int FdLimit_RaiseToHard(void) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur == limit.rlim_max)
        return 1;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 1 : 0;
}

int FdLimit_Get(long *count) {
    *count = 0;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    *count = limit.rlim_cur == RLIM_INFINITY ? 0x7FFFFFFF : (long)limit.rlim_cur;
    return 1;
}
