// Linux renames and folder syncs for the core's file object. renameat2 with
// RENAME_NOREPLACE gives the refuse-existing rename atomically where the file
// system supports it.
#include "platform/fileio.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

int FileIo_RenameReplace(const char *oldPath, const char *newPath, int *error) {
    *error = 0;
    if (rename(oldPath, newPath) != 0) {
        *error = errno;
        return 0;
    }
    return 1;
}

int FileIo_SyncFolder(const char *folder, int *error) {
    *error = 0;
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        *error = errno;
        return 0;
    }
    int result = 1;
    if (fsync(descriptor) != 0 && errno != EINVAL) {
        *error = errno;
        result = 0;
    }
    close(descriptor);
    return result;
}
