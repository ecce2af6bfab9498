// Single-instance lock over flock(2) and an AF_UNIX datagram socket. Descriptors
// are close-on-exec so programs we start never inherit the lock.
#include "platform/instancelock.h"
#include "platform/sleep.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { kPathSize = 4096, kRetrySliceMs = 20 };

static pthread_mutex_t g_lockGuard = PTHREAD_MUTEX_INITIALIZER;
static int g_lockFd = -1;
static int g_socketFd = -1;
static char g_lockName[kPathSize];
static char g_socketPath[sizeof(((struct sockaddr_un *)nullptr)->sun_path)];

static void InstanceLock_Paths(const char *folder, const char *name, char *lockPath,
                               char *socketPath, int size) {
    char safe[256];
    int i = 0;
    for (; name[i] != 0 && i < (int)sizeof(safe) - 1; i++) {
        char c = name[i];
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
        safe[i] = plain ? c : '_';
    }
    safe[i] = 0;
    const char *separator = (folder[0] != 0 && folder[strlen(folder) - 1] == '/') ? "" : "/";
    snprintf(lockPath, (size_t)size, "%s%s%s-EXCLUSIVE.lock", folder, separator, safe);
    snprintf(socketPath, (size_t)size, "%s%s%s-EXCLUSIVE.sock", folder, separator, safe);
}

static double InstanceLock_Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

// Binds the holder's socket. 0 on success, else the errno; a failure leaves the
// lock held without messages.
static int InstanceLock_Listen(const char *socketPath) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (strlen(socketPath) >= sizeof(address.sun_path))
        return ENAMETOOLONG;
    memcpy(address.sun_path, socketPath, strlen(socketPath) + 1); // length checked above
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    unlink(socketPath); // a stale socket of an earlier holder; the lock makes it ours
    if (bind(fd, (struct sockaddr *)&address, sizeof(address)) != 0) {
        int error = errno;
        close(fd);
        return error;
    }
    g_socketFd = fd;
    memcpy(g_socketPath, socketPath, strlen(socketPath) + 1); // fits sun_path
    return 0;
}

int InstanceLock_Acquire(const char *folder, const char *name, int milliseconds) {
    char lockPath[kPathSize];
    char socketPath[kPathSize];
    InstanceLock_Paths(folder, name, lockPath, socketPath, kPathSize);
    pthread_mutex_lock(&g_lockGuard);
    if (g_lockFd >= 0) {
        int same = strcmp(g_lockName, lockPath) == 0;
        pthread_mutex_unlock(&g_lockGuard);
        if (same)
            return INSTANCELOCK_HELD;
        errno = EBUSY;
        return INSTANCELOCK_ERROR;
    }
    int fd = open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        int error = errno;
        pthread_mutex_unlock(&g_lockGuard);
        errno = error;
        return INSTANCELOCK_ERROR;
    }
    double deadline = InstanceLock_Now() + (milliseconds > 0 ? milliseconds : 0);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            break;
        int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            close(fd);
            pthread_mutex_unlock(&g_lockGuard);
            errno = error;
            return INSTANCELOCK_ERROR;
        }
        if (InstanceLock_Now() >= deadline) {
            close(fd);
            pthread_mutex_unlock(&g_lockGuard);
            return INSTANCELOCK_BUSY;
        }
        Sleep_Milliseconds(kRetrySliceMs);
    }
    g_lockFd = fd;
    snprintf(g_lockName, sizeof(g_lockName), "%s", lockPath);
    int listenError = InstanceLock_Listen(socketPath);
    pthread_mutex_unlock(&g_lockGuard);
    errno = listenError;
    return INSTANCELOCK_HELD;
}

int InstanceLock_Send(const char *folder, const char *name, const char *message) {
    char lockPath[kPathSize];
    char socketPath[kPathSize];
    InstanceLock_Paths(folder, name, lockPath, socketPath, kPathSize);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (strlen(socketPath) >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(address.sun_path, socketPath, strlen(socketPath) + 1); // length checked above
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    ssize_t sent = sendto(fd, message, strlen(message), MSG_NOSIGNAL, (struct sockaddr *)&address,
                          sizeof(address));
    int error = errno;
    close(fd);
    if (sent < 0) {
        errno = error;
        return 0;
    }
    return 1;
}

int InstanceLock_GetSocket(void) {
    pthread_mutex_lock(&g_lockGuard);
    int fd = g_socketFd;
    pthread_mutex_unlock(&g_lockGuard);
    return fd;
}

int InstanceLock_Poll(char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = 0;
    pthread_mutex_lock(&g_lockGuard);
    int fd = g_socketFd;
    ssize_t got = -1;
    if (fd >= 0)
        got = recv(fd, buffer, (size_t)(size - 1), MSG_DONTWAIT);
    pthread_mutex_unlock(&g_lockGuard);
    if (got < 0) {
        buffer[0] = 0;
        return 0;
    }
    buffer[got] = 0;
    return 1;
}

int InstanceLock_Release(void) {
    pthread_mutex_lock(&g_lockGuard);
    if (g_socketFd >= 0) {
        close(g_socketFd);
        unlink(g_socketPath);
        g_socketFd = -1;
        g_socketPath[0] = 0;
    }
    if (g_lockFd >= 0) {
        close(g_lockFd); // leaves the file: removing a lock file races with its next taker
        g_lockFd = -1;
        g_lockName[0] = 0;
    }
    pthread_mutex_unlock(&g_lockGuard);
    return 1;
}
