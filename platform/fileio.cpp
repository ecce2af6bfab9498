// Linux renames and whole-buffer reads and writes for the core's file object,
// its log and the registry store. renameat2 with RENAME_NOREPLACE
// gives the refuse-existing rename atomically where the file system supports it.
#include "platform/fileio.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int FileIo_WriteAll(int descriptor, const void *data, int64_t length, int64_t *written) {
    int64_t done = 0;
    int error = 0;
    while (done < length) {
        int64_t chunk = length - done > (1 << 30) ? (1 << 30) : length - done;
        ssize_t put = write(descriptor, static_cast<const char *>(data) + done, (size_t)chunk);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            error = put < 0 ? errno : ENOSPC;
            break;
        }
        done += put;
    }
    if (written != nullptr)
        *written = done;
    return error;
}

int64_t FileIo_ReadUpTo(int descriptor, void *buffer, int64_t length, int *error) {
    *error = 0;
    int64_t done = 0;
    while (done < length) {
        ssize_t got = read(descriptor, static_cast<char *>(buffer) + done, (size_t)(length - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = errno;
            break;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

int FileIo_RenameNoReplace(const char *oldPath, const char *newPath, int *error) {
    *error = 0;
    if (renameat2(AT_FDCWD, oldPath, AT_FDCWD, newPath, RENAME_NOREPLACE) == 0) {
        return 1;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        *error = errno;
        return 0;
    }
    // No RENAME_NOREPLACE here: a hard link refuses an existing target
    // atomically for files; folders fall back to a checked rename.
    if (link(oldPath, newPath) == 0) {
        if (unlink(oldPath) == 0) {
            return 1;
        }
        *error = errno;
        unlink(newPath);
        return 0;
    }
    if (errno == EEXIST) {
        *error = EEXIST;
        return 0;
    }
    struct stat info;
    if (lstat(newPath, &info) == 0) {
        *error = EEXIST;
        return 0;
    }
    if (rename(oldPath, newPath) != 0) {
        *error = errno;
        return 0;
    }
    return 1;
}
