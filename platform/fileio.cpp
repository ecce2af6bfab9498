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

// The read-and-write way of FileIo_CopyAll, from where the kernel copy stopped.
static int FileIo_InternalCopyByBuffer(int in, int out, int64_t length, int64_t *copied) {
    static const int64_t kBlock = 1 << 16;
    char *block = new char[kBlock];
    int error = 0;
    while (*copied < length && error == 0) {
        int64_t want = length - *copied < kBlock ? length - *copied : kBlock;
        int64_t got = FileIo_ReadUpTo(in, block, want, &error);
        if (error == 0 && got < want)
            error = ENODATA; // the source ended before its size
        int64_t written = 0;
        if (got > 0) {
            int failed = FileIo_WriteAll(out, block, got, &written);
            error = error != 0 ? error : failed;
        }
        *copied += written;
    }
    delete[] block;
    return error;
}

int FileIo_CopyAll(int in, int out, int64_t length, int64_t *copied) {
    int64_t done = 0;
    int error = 0;
    while (done < length) {
        size_t chunk = length - done < (1LL << 30) ? (size_t)(length - done) : (size_t)1 << 30;
        ssize_t moved = copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EPERM)) {
            // File systems (or kernels) that cannot copy between these files.
            error = FileIo_InternalCopyByBuffer(in, out, length, &done);
            break;
        }
        if (moved < 0) {
            error = errno;
            break;
        }
        if (moved == 0) {
            error = ENODATA; // the source ended before its size
            break;
        }
        done += moved;
    }
    if (copied != nullptr)
        *copied = done;
    return error;
}
