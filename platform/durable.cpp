// Durable file replacement over Linux calls: an exclusive, link-refusing
// temporary file beside the target, fsync, rename over the target, fsync of the
// folder. The one place the file layer, the registry store and the expansion
// helper replace files.
#include "platform/durable.h"

#include "platform/fileio.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The hook is set by tests while no replacement runs; atomics keep the reads clean.
static std::atomic<DurableFaultHook> g_hook{nullptr};
static std::atomic<void *> g_hookUser{nullptr};
static std::atomic<unsigned> g_sequence{0};

void Durable_SetFaultHook(DurableFaultHook hook, void *user) {
    g_hookUser.store(user);
    g_hook.store(hook);
}

// The hook's verdict for a step: 0 go on, else the errno to fail with.
static int Durable_Fault(int step, const char *path) {
    DurableFaultHook hook = g_hook.load();
    return hook != nullptr ? hook(g_hookUser.load(), step, path) : 0;
}

static int Durable_Fail(DurableReplace *replace, const char *call, int error) {
    replace->Call = call;
    replace->Error = error;
    errno = error;
    return 0;
}

static int Durable_Copy(char *out, const char *text) {
    int n = snprintf(out, DURABLE_PATH_SIZE, "%s", text);
    return n >= 0 && n < DURABLE_PATH_SIZE;
}

// Writes the folder holding path into folder ("." for a bare name, "/" for
// "/name"). 0 when path is too long.
static int Durable_FolderOf(char *folder, const char *path) {
    if (!Durable_Copy(folder, path)) {
        return 0;
    }
    char *slash = strrchr(folder, '/');
    if (slash == nullptr) {
        snprintf(folder, DURABLE_PATH_SIZE, ".");
    } else {
        slash[slash == folder ? 1 : 0] = 0;
    }
    return 1;
}

// Clears replace and records target in it; 0 (ENAMETOOLONG) when target is too long.
static int Durable_Start(DurableReplace *replace, const char *target) {
    replace->Temporary[0] = 0;
    replace->Descriptor = -1;
    replace->Call = "";
    replace->Error = 0;
    if (!Durable_Copy(replace->Target, target)) {
        replace->Target[0] = 0;
        return Durable_Fail(replace, "name", ENAMETOOLONG);
    }
    return 1;
}

int Durable_Sync(int descriptor, const char *path) {
    int fault = Durable_Fault(DURABLE_STEP_SYNC, path);
    if (fault != 0) {
        errno = fault;
        return 0;
    }
    return fsync(descriptor) == 0;
}

int Durable_SyncFolderOf(const char *path) {
    char folder[DURABLE_PATH_SIZE];
    if (!Durable_FolderOf(folder, path)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return 0;
    }
    int ok = fsync(descriptor) == 0 || errno == EINVAL;
    int error = errno;
    close(descriptor);
    errno = error;
    return ok;
}

int Durable_Begin(DurableReplace *replace, const char *target, const char *suffix, int mode) {
    if (!Durable_Start(replace, target)) {
        return 0;
    }
    int n = snprintf(replace->Temporary, sizeof replace->Temporary, "%s.%d-%u%s", target,
                     (int)getpid(), g_sequence.fetch_add(1), suffix);
    if (n < 0 || n >= (int)sizeof replace->Temporary) {
        replace->Temporary[0] = 0;
        return Durable_Fail(replace, "name", ENAMETOOLONG);
    }
    struct stat old;
    mode_t bits = mode >= 0                                         ? (mode_t)(mode & 07777)
                  : stat(target, &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 07777)
                                                                    : 0644;
    int fault = Durable_Fault(DURABLE_STEP_CREATE, replace->Temporary);
    int descriptor = -1;
    if (fault == 0) {
        do {
            descriptor = open(replace->Temporary,
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (descriptor < 0 && errno == EINTR);
        fault = descriptor < 0 ? errno : 0;
    }
    if (fault != 0) {
        replace->Temporary[0] = 0; // not ours: never deleted
        return Durable_Fail(replace, "open", fault);
    }
    replace->Descriptor = descriptor;
    // Set after creation so a umask never narrows the bits the file is meant to have.
    if (fchmod(descriptor, bits) != 0) {
        int error = errno;
        Durable_Abort(replace);
        return Durable_Fail(replace, "fchmod", error);
    }
    return 1;
}

int Durable_Abort(DurableReplace *replace) {
    if (replace->Descriptor >= 0) {
        close(replace->Descriptor);
        replace->Descriptor = -1;
    }
    if (replace->Temporary[0] != 0) {
        unlink(replace->Temporary);
        replace->Temporary[0] = 0;
    }
    return 1;
}

int Durable_Commit(DurableReplace *replace) {
    if (replace->Descriptor < 0 || replace->Temporary[0] == 0) {
        return Durable_Fail(replace, "commit", EBADF);
    }
    if (!Durable_Sync(replace->Descriptor, replace->Target)) {
        int error = errno;
        Durable_Abort(replace);
        return Durable_Fail(replace, "fsync", error);
    }
    int descriptor = replace->Descriptor;
    replace->Descriptor = -1;
    if (close(descriptor) != 0 && errno != EINTR) {
        int error = errno;
        Durable_Abort(replace);
        return Durable_Fail(replace, "close", error);
    }
    int fault = Durable_Fault(DURABLE_STEP_RENAME, replace->Target);
    if (fault == 0 && rename(replace->Temporary, replace->Target) != 0) {
        fault = errno;
    }
    if (fault != 0) {
        Durable_Abort(replace);
        return Durable_Fail(replace, "rename", fault);
    }
    replace->Temporary[0] = 0; // it is the target now
    fault = Durable_Fault(DURABLE_STEP_FOLDER, replace->Target);
    if (fault == 0 && !Durable_SyncFolderOf(replace->Target)) {
        fault = errno;
    }
    if (fault != 0) {
        return Durable_Fail(replace, "fsync folder", fault);
    }
    Durable_Fault(DURABLE_STEP_WRITTEN, replace->Target);
    return 1;
}

int Durable_WriteFile(DurableReplace *replace, const char *target, const void *data, int64_t length,
                      int mode) {
    if (!Durable_Begin(replace, target, ".tmp", mode)) {
        return 0;
    }
    int error = FileIo_WriteAll(replace->Descriptor, data, length, nullptr);
    if (error != 0) {
        Durable_Abort(replace);
        return Durable_Fail(replace, "write", error);
    }
    return Durable_Commit(replace);
}

// The device of the folder holding path, or -1.
static int64_t Durable_FolderDevice(const char *path) {
    char folder[DURABLE_PATH_SIZE];
    if (!Durable_FolderOf(folder, path)) {
        return -1;
    }
    struct stat info;
    return stat(folder, &info) == 0 ? (int64_t)info.st_dev : -1;
}

int Durable_MoveOver(DurableReplace *replace, const char *source, const char *target, int mode) {
    if (!Durable_Start(replace, target)) {
        return 0;
    }
    int descriptor = open(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return Durable_Fail(replace, "open", errno);
    }
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        int error = S_ISREG(info.st_mode) ? errno : EINVAL;
        close(descriptor);
        return Durable_Fail(replace, "fstat", error);
    }
    if ((int64_t)info.st_dev != Durable_FolderDevice(target)) {
        close(descriptor);
        return Durable_Fail(replace, "rename", EXDEV);
    }
    int fault = mode >= 0 && fchmod(descriptor, (mode_t)(mode & 07777)) != 0 ? errno : 0;
    if (fault == 0 && !Durable_Sync(descriptor, source)) {
        fault = errno;
    }
    close(descriptor);
    if (fault != 0) {
        return Durable_Fail(replace, "fsync", fault);
    }
    fault = Durable_Fault(DURABLE_STEP_RENAME, target);
    if (fault == 0 && rename(source, target) != 0) {
        fault = errno;
    }
    if (fault != 0) {
        return Durable_Fail(replace, "rename", fault);
    }
    fault = Durable_Fault(DURABLE_STEP_FOLDER, target);
    if (fault == 0 && (!Durable_SyncFolderOf(target) || !Durable_SyncFolderOf(source))) {
        fault = errno;
    }
    if (fault != 0) {
        return Durable_Fail(replace, "fsync folder", fault);
    }
    Durable_Fault(DURABLE_STEP_WRITTEN, target);
    return 1;
}
