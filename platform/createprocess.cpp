// posix_spawn and waitpid for the process launcher. Only the pids we started are
// ever waited for, so other waiters in the process (tests, libraries) keep theirs.
#include "platform/createprocess.h"
#include "platform/sleep.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

enum { kFallbackSliceMs = 10 };

int CreateProcess_Spawn(char *const argv[], const char *folder, int newSession, int *pid) {
    *pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The child inherits no descriptor beyond the standard three, whether or not
    // whoever opened it asked for close-on-exec (locks above all).
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (folder != nullptr && folder[0] != 0)
        posix_spawn_file_actions_addchdir_np(&actions, folder);
    // The child starts with default signal handling and nothing blocked, whatever
    // this process ignores (SIGPIPE in network code) or blocks.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    int signals[] = {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
    for (int s : signals)
        sigaddset(&defaults, s);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (newSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);
    pid_t child = -1;
    int error = strchr(argv[0], '/') != nullptr
                    ? posix_spawn(&child, argv[0], &actions, &attributes, argv, environ)
                    : posix_spawnp(&child, argv[0], &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return error;
    *pid = (int)child;
    return 0;
}

static int CreateProcess_Reap(int pid, int options, int *exitCode) {
    int status = 0;
    pid_t done;
    do {
        done = waitpid((pid_t)pid, &status, options);
    } while (done < 0 && errno == EINTR);
    if (done < 0)
        return -1;
    if (done == 0)
        return 0;
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return 1;
}

int CreateProcess_Wait(int pid, int milliseconds, int *exitCode) {
    *exitCode = -1;
    int fd = (int)syscall(SYS_pidfd_open, (pid_t)pid, 0);
    if (fd >= 0) {
        struct pollfd entry = {fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, milliseconds);
        } while (ready < 0 && errno == EINTR);
        close(fd);
        return CreateProcess_Reap(pid, WNOHANG, exitCode);
    }
    // Without pidfds: look every few milliseconds.
    for (int waited = 0;; waited += kFallbackSliceMs) {
        int result = CreateProcess_Reap(pid, WNOHANG, exitCode);
        if (result != 0 || (milliseconds >= 0 && waited >= milliseconds))
            return result;
        Sleep_Milliseconds(kFallbackSliceMs);
    }
}

static void *CreateProcess_Reaper(void *argument) {
    int pid = (int)(intptr_t)argument;
    int exitCode = 0;
    CreateProcess_Reap(pid, 0, &exitCode);
    return nullptr;
}

int CreateProcess_Abandon(int pid) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, (size_t)64 * 1024);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, CreateProcess_Reaper, (void *)(intptr_t)pid) != 0) {
        // No thread to spare: reap it now if it already ended; else it stays a
        // zombie until we exit.
        int exitCode = 0;
        CreateProcess_Reap(pid, WNOHANG, &exitCode);
    }
    pthread_attr_destroy(&attributes);
    return 1;
}
