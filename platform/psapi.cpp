// Walks /proc for processes by executable name. The name comes from the exe link
// (" (deleted)" removed: a program replaced on disk is still running), or, for
// processes of other users whose link we may not read, from argv[0].
#include "platform/psapi.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
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

// The executable's full path from the exe link (" (deleted)" removed) into
// target of kPathSize bytes. 1, or 0 when the link cannot be read.
static int Psapi_ExecutableLink(const char *pid, char *target) {
    char path[300]; // "/proc/" + a directory name (at most 255) + "/exe"
    snprintf(path, sizeof(path), "/proc/%s/exe", pid);
    ssize_t length = readlink(path, target, kPathSize - 1);
    if (length <= 0)
        return 0;
    target[length] = 0;
    const char deleted[] = " (deleted)";
    size_t tail = sizeof(deleted) - 1;
    if ((size_t)length > tail && strcmp(target + length - tail, deleted) == 0)
        target[length - tail] = 0;
    return 1;
}

// The executable's file name into name. 1, or 0 when it cannot be learnt.
static int Psapi_ExecutableName(const char *pid, char *name, int size) {
    char path[300];
    char target[kPathSize];
    if (!Psapi_ExecutableLink(pid, target)) {
        snprintf(path, sizeof(path), "/proc/%s/cmdline", pid);
        if (Psapi_ReadSmall(path, target, sizeof(target)) <= 0 || target[0] == 0)
            return 0; // kernel threads have no command line
    }
    snprintf(name, (size_t)size, "%s", Psapi_BaseName(target));
    return 1;
}

// Walks the live processes; match decides on each process id whether it is
// the one sought. 1 and *pid of the first match, else 0.
static int Psapi_Find(int (*match)(const char *id, const char *wanted), const char *wanted,
                      int *pid) {
    *pid = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    int found = 0;
    struct dirent *entry;
    while (!found && (entry = readdir(proc)) != nullptr) {
        const char *id = entry->d_name;
        if (id[0] < '1' || id[0] > '9' || strspn(id, "0123456789") != strlen(id))
            continue;
        if (!match(id, wanted) || !Psapi_IsLive(id))
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

static int Psapi_NameMatches(const char *id, const char *name) {
    char executable[kPathSize];
    return Psapi_ExecutableName(id, executable, sizeof(executable)) &&
           strcmp(executable, name) == 0;
}

static int Psapi_PathMatches(const char *id, const char *path) {
    char executable[kPathSize];
    return Psapi_ExecutableLink(id, executable) && strcmp(executable, path) == 0;
}

int Psapi_FindByName(const char *name, int *pid) {
    return Psapi_Find(Psapi_NameMatches, name, pid);
}

int Psapi_FindByPath(const char *path, int *pid) {
    return Psapi_Find(Psapi_PathMatches, path, pid);
}

// Match on the exe link where it can be read, else on the file name of argv[0].
static int Psapi_ProgramMatches(const char *id, const char *path) {
    char executable[kPathSize];
    if (Psapi_ExecutableLink(id, executable))
        return strcmp(executable, path) == 0;
    char name[kPathSize];
    return Psapi_ExecutableName(id, name, sizeof(name)) && strcmp(name, Psapi_BaseName(path)) == 0;
}

static void Psapi_Resolve(const char *path, char *resolved) {
    if (realpath(path, resolved) == nullptr)
        snprintf(resolved, PATH_MAX, "%s", path);
}

int Psapi_FindByProgram(const char *path, int *pid) {
    char resolved[PATH_MAX];
    Psapi_Resolve(path, resolved);
    return Psapi_Find(Psapi_ProgramMatches, resolved, pid);
}

int Psapi_RunsProgram(int pid, const char *path) {
    if (pid <= 0)
        return 0;
    char id[24];
    snprintf(id, sizeof(id), "%d", pid);
    char resolved[PATH_MAX];
    Psapi_Resolve(path, resolved);
    return Psapi_ProgramMatches(id, resolved) && Psapi_IsLive(id);
}
