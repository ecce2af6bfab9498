// Walks /proc for processes by executable name. The name comes from the exe link
// (" (deleted)" removed: a program replaced on disk is still running), or, for
// processes of other users whose link we may not read, from argv[0].
#include "platform/psapi.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { kPathSize = 4096 };

static int Psapi_ReadSmall(const char *path, char *buffer, int size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got = read(fd, buffer, (size_t)(size - 1));
    close(fd);
    if (got < 0)
        return -1;
    buffer[got] = 0;
    return (int)got;
}

// 1 when the process exists and is neither a zombie nor dead.
static int Psapi_IsLive(const char *pid) {
    char path[64];
    char stat[512];
    snprintf(path, sizeof(path), "/proc/%s/stat", pid);
    if (Psapi_ReadSmall(path, stat, sizeof(stat)) <= 0)
        return 0;
    const char *close = strrchr(stat, ')'); // the command may hold ')' itself
    if (close == nullptr || close[1] != ' ')
        return 0;
    char state = close[2];
    return state != 'Z' && state != 'X' && state != 'x';
}

static const char *Psapi_BaseName(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The executable's file name into name. 1, or 0 when it cannot be learnt.
static int Psapi_ExecutableName(const char *pid, char *name, int size) {
    char path[300]; // "/proc/" + a directory name (at most 255) + "/exe"
    char target[kPathSize];
    snprintf(path, sizeof(path), "/proc/%s/exe", pid);
    ssize_t length = readlink(path, target, sizeof(target) - 1);
    if (length > 0) {
        target[length] = 0;
        const char deleted[] = " (deleted)";
        size_t tail = sizeof(deleted) - 1;
        if ((size_t)length > tail && strcmp(target + length - tail, deleted) == 0)
            target[length - tail] = 0;
    } else {
        snprintf(path, sizeof(path), "/proc/%s/cmdline", pid);
        if (Psapi_ReadSmall(path, target, sizeof(target)) <= 0 || target[0] == 0)
            return 0; // kernel threads have no command line
    }
    snprintf(name, (size_t)size, "%s", Psapi_BaseName(target));
    return 1;
}

int Psapi_FindByName(const char *name, int *pid) {
    *pid = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    int found = 0;
    struct dirent *entry;
    char executable[kPathSize];
    while (!found && (entry = readdir(proc)) != nullptr) {
        const char *id = entry->d_name;
        if (id[0] < '1' || id[0] > '9' || strspn(id, "0123456789") != strlen(id))
            continue;
        if (!Psapi_ExecutableName(id, executable, sizeof(executable)) ||
            strcmp(executable, name) != 0 || !Psapi_IsLive(id))
            continue;
        int value = 0;
        for (const char *c = id; *c; c++)
            value = value * 10 + (*c - '0');
        *pid = value;
        found = 1;
    }
    closedir(proc);
    return found;
}
