// The file object over Linux descriptors: mode bits with an advisory flock for
// the exclusive share modes, open retries and folder creation, loops over short
// reads and writes, sorted wildcard listings, recursive walks and atomic replace.
#include "core/file.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "platform/durable.h"
#include "platform/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kFileTag[] = "file";

enum { kDefaultOpenAttempts = 20, kRetryMilliseconds = 100 };

struct FileListEntry {
    int64_t NameOffset; // into FileListing::Names
    int64_t Size;
    int Attributes;
};

// A listing read whole and sorted when it starts, so that entries come in a
// stable order whatever the file system returns.
struct FileListing {
    FileListEntry *Entries;
    int Count;
    int Capacity;
    char *Names;
    int64_t NamesUsed;
    int64_t NamesCapacity;
    int Current; // index of the current entry
    int Active;
};

struct FileStruct {
    const char *Tag;
    int ReportErrors;
    int OpenAttempts;
    int CreatePath;
    char *PrintBuffer; // FILE_PRINT_SIZE bytes once the first print ran
    FileListing Listing;
    char Path[FILE_PATH_SIZE];
    int Mode;
    int Descriptor; // -1 when closed
    int Attributes; // of the path or of the current listing entry
    int64_t InfoSize;
    int64_t InfoModified; // seconds since 1970 UTC
    char FoundName[FILE_NAME_SIZE];
    int64_t FoundSize;
    int HaveFound;
    int LastError;           // errno of the last failed read, write, seek, cut or sync; else 0
    DurableReplace *Replace; // while a replacement is open (File_OpenReplacement), else null
};

// ---------------------------------------------------------------------------
// Paths and information
// ---------------------------------------------------------------------------

// Copies path into out ('\' becomes '/'); refuses a path that does not fit.
static int File_TakePath(const char *path, char *out, const char *function) {
    int length = Zyl_StrLen(path);
    if (length >= FILE_PATH_SIZE) {
        Zyl_Print("%s() path too long [%d] [%s]\n", function, length, path);
        out[0] = 0;
        return 0;
    }
    for (int i = 0; i <= length; i++) {
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    return 1;
}

// Attribute flags of a stat record for an entry named name.
static int File_AttributesOf(const struct stat *info, const char *name, int writable) {
    int flags = 0;
    if (S_ISDIR(info->st_mode)) {
        flags |= FILE_ATTR_DIRECTORY;
    } else {
        flags |= FILE_ATTR_ARCHIVE;
    }
    if (!writable) {
        flags |= FILE_ATTR_READONLY;
    }
    if (name[0] == '.' && !Zyl_StrEqual(name, ".") && !Zyl_StrEqual(name, "..")) {
        flags |= FILE_ATTR_HIDDEN;
    }
    return flags;
}

static const char *File_BaseName(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

static void File_ClearInfo(FileStruct *file) {
    file->Attributes = 0;
    file->InfoSize = 0;
    file->InfoModified = 0;
}

static void File_TakeInfo(FileStruct *file, const struct stat *info) {
    file->InfoSize = (int64_t)info->st_size;
    file->InfoModified = (int64_t)info->st_mtime;
}

int File_New(FileStruct **file) {
    ZYL_CHECK_PTR(file);
    *file = nullptr;
    FileStruct *created = ZYL_NEW(FileStruct);
    created->Tag = kFileTag;
    created->OpenAttempts = kDefaultOpenAttempts;
    created->CreatePath = 1;
    created->Descriptor = -1;
    created->Listing.Current = -1;
    *file = created;
    return 1;
}

int File_SetOpenRetries(FileStruct *file, int count) {
    ZYL_CHECK_TAG(file, kFileTag);
    file->OpenAttempts = count;
    return 1;
}

int File_SetCreatePath(FileStruct *file, int on) {
    ZYL_CHECK_TAG(file, kFileTag);
    file->CreatePath = (on == 1);
    return 1;
}

int File_SetReportErrors(FileStruct *file, int on) {
    ZYL_CHECK_TAG(file, kFileTag);
    file->ReportErrors = (on == 1);
    return 1;
}

int File_SetPath(FileStruct *file, const char *path) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(path);
    if (file->Descriptor >= 0) {
        Zyl_Print("Previous file [%s] must be closed before opening [%s]\n", file->Path, path);
        return 0;
    }
    File_ClearInfo(file);
    if (!File_TakePath(path, file->Path, "File_SetPath")) {
        return 0;
    }
    struct stat info;
    if (!Zyl_StatPath(file->Path, &info)) {
        return 0;
    }
    File_TakeInfo(file, &info);
    file->Attributes = S_ISDIR(info.st_mode) ? FILE_ATTR_DIRECTORY : 0;
    return 1;
}

int File_Stat(FileStruct *file, const char *path) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(path);
    File_ClearInfo(file);
    char taken[FILE_PATH_SIZE];
    if (!File_TakePath(path, taken, "File_Stat")) {
        return 0;
    }
    struct stat info;
    if (!Zyl_StatPath(taken, &info)) {
        return 0;
    }
    File_TakeInfo(file, &info);
    file->Attributes = File_AttributesOf(&info, File_BaseName(taken), access(taken, W_OK) == 0);
    return 1;
}

int File_IsOpen(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    return file->Descriptor >= 0 ? 1 : 0;
}

int File_GetPath(FileStruct *file, char *buffer, int size) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(buffer);
    if (!Zyl_StrCopy(buffer, file->Path, size)) {
        if (size > 0) {
            buffer[0] = 0;
        }
        return 0;
    }
    return 1;
}

int File_IsDirectory(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    return (file->Attributes & FILE_ATTR_DIRECTORY) ? 1 : 0;
}

int File_GetAttributes(FileStruct *file, int *flags) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(flags);
    *flags = file->Attributes;
    return 1;
}

int File_GetSize(FileStruct *file, int64_t *size) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(size);
    *size = file->InfoSize;
    return 1;
}

int File_GetModifiedTime(FileStruct *file, int32_t *minutes) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(minutes);
    *minutes = (int32_t)(file->InfoModified / 60);
    return 1;
}

// ---------------------------------------------------------------------------
// Open and close
// ---------------------------------------------------------------------------

// The advisory lock a mode asks for: exclusive modes and writers that deny
// writing lock exclusively, readers that deny writing share, the rest none.
static int File_LockFor(int mode) {
    int shareRead = (mode & FILE_MODE_SHARE_READ) != 0;
    int shareWrite = (mode & FILE_MODE_SHARE_WRITE) != 0;
    if (shareRead && shareWrite) {
        return 0;
    }
    if (!shareRead && !shareWrite) {
        return LOCK_EX;
    }
    if (shareRead) {
        return (mode & FILE_MODE_WRITE) ? LOCK_EX : LOCK_SH;
    }
    return 0;
}

// Opens and locks; on success applies the mode's positioning and cutting.
// Returns the descriptor, or -1 with errno.
static int File_OpenOnce(FileStruct *file, int flags) {
    int descriptor;
    do {
        descriptor = open(file->Path, flags, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return -1;
    }
    int lock = File_LockFor(file->Mode);
    if (lock != 0 && flock(descriptor, lock | LOCK_NB) != 0) {
        int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    struct stat info;
    int statError = fstat(descriptor, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    if (statError != 0) {
        int error = statError;
        close(descriptor);
        errno = error;
        return -1;
    }
    int writes = (file->Mode & FILE_MODE_WRITE) != 0;
    int reads = (file->Mode & FILE_MODE_READ) != 0;
    off_t position = (file->Mode & FILE_MODE_APPEND) ? lseek(descriptor, 0, SEEK_END) : 0;
    // Cut only once the lock is held, so a refused open never empties a file;
    // devices and pipes have nothing to cut.
    int cut = writes && !reads && S_ISREG(info.st_mode);
    if (position < 0 || (cut && ftruncate(descriptor, position) != 0)) {
        int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    if (cut) {
        info.st_size = position;
    }
    File_TakeInfo(file, &info);
    file->Attributes = 0;
    return descriptor;
}

static int File_OpenFlags(int mode) {
    int reads = (mode & FILE_MODE_READ) != 0;
    int writes = (mode & FILE_MODE_WRITE) != 0;
    int flags = O_CLOEXEC | (reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
    if (mode & FILE_MODE_NO_LINK) {
        flags |= O_NOFOLLOW;
    }
    return writes ? flags | O_CREAT : flags;
}

int File_Open(FileStruct *file, const char *path, int mode) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(path);
    if (file->Descriptor >= 0) {
        Zyl_Print("Previous file [%s] must be closed before opening [%s]\n", file->Path, path);
        return 0;
    }
    if ((mode & (FILE_MODE_READ | FILE_MODE_WRITE)) == 0) {
        Zyl_Print("Unknown mode [%d]\n", mode);
        return 0;
    }
    if (!File_TakePath(path, file->Path, "File_Open")) {
        return 0;
    }
    file->Mode = mode;
    File_ClearInfo(file);
    int flags = File_OpenFlags(mode);
    int writes = (mode & FILE_MODE_WRITE) != 0;
    int error = ENOENT;
    for (int attempt = 0; attempt < file->OpenAttempts; attempt++) {
        struct stat info;
        if (stat(file->Path, &info) == 0) {
            int descriptor = File_OpenOnce(file, flags);
            if (descriptor >= 0) {
                file->Descriptor = descriptor;
                return 1;
            }
            error = errno;
            if (error == EISDIR || error == ELOOP) {
                break; // a folder or a refused link never becomes openable as a file
            }
            if (file->OpenAttempts > 1 && attempt + 1 < file->OpenAttempts) {
                Zyl_SleepMilliseconds(kRetryMilliseconds);
            }
            continue;
        }
        error = errno;
        if (!writes) {
            continue; // a missing file to read: try again without sleeping
        }
        if (attempt == 0 && file->CreatePath && strchr(file->Path, '/')) {
            Zyl_CreateDirectory(file->Path, 1, 0);
        }
        int descriptor = File_OpenOnce(file, flags);
        if (descriptor >= 0) {
            file->Descriptor = descriptor;
            return 1;
        }
        error = errno;
        break;
    }
    Zyl_Print("Unable to open file [%s][%.8X](%d : %.8X)\n", file->Path, flags, error, error);
    return 0;
}

int File_Close(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Replace != nullptr) {
        return File_DiscardReplacement(file); // a replacement is never left half done
    }
    if (file->Descriptor < 0) {
        return 1;
    }
    int descriptor = file->Descriptor;
    file->Descriptor = -1;
    if (close(descriptor) != 0 && errno != EINTR) {
        Zyl_Print("Unable to close file [%s](%d : %.8X)\n", file->Path, errno, errno);
        return 0;
    }
    return 1;
}

static void File_ListingFree(FileListing *listing);

int File_Delete(FileStruct **file) {
    ZYL_CHECK_PTR(file);
    FileStruct *doomed = *file;
    if (doomed == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(doomed, kFileTag);
    if (doomed->Descriptor >= 0) {
        Zyl_Print("File not properly closed on delete [%s]\n", doomed->Path);
        File_Close(doomed);
    }
    File_ListingFree(&doomed->Listing);
    if (doomed->PrintBuffer) {
        ZYL_FREE(doomed->PrintBuffer, FILE_PRINT_SIZE);
    }
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(FileStruct));
    *file = nullptr;
    return 1;
}

// ---------------------------------------------------------------------------
// Data
// ---------------------------------------------------------------------------

int File_Read(FileStruct *file, void *buffer, int length, int *count) {
    ZYL_CHECK_PTR(count);
    *count = 0;
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(buffer);
    if (file->Descriptor < 0) {
        Zyl_Print("File not opened for read [%s](%d)\n", file->Path, length);
        return 0;
    }
    int error = 0;
    int done = (int)FileIo_ReadUpTo(file->Descriptor, buffer, length, &error);
    file->LastError = error;
    if (error != 0) {
        // Bytes read before the failure are still handed back.
        Zyl_Print("Failed on File_Read [%s] %d (%d)\n", file->Path, length, error);
    }
    *count = done;
    return done > 0 ? 1 : 0;
}

int File_Write(FileStruct *file, const void *data, int length, int *count) {
    ZYL_CHECK_PTR(count);
    *count = 0;
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(data);
    if (file->Descriptor < 0) {
        Zyl_Print("File not opened for write [%s](%d)\n", file->Path, length);
        return 0;
    }
    int64_t done = 0;
    int error = FileIo_WriteAll(file->Descriptor, data, length, &done);
    *count = (int)done;
    file->LastError = error;
    if (error != 0) {
        Zyl_Print("Failed on File_Write [%s] %d (%d)\n", file->Path, length, error);
        return 0;
    }
    return 1;
}

int(File_Print)(FileStruct *file, const char *format, ...) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(format);
    if (file->Descriptor < 0) {
        Zyl_Print("File not opened for print [%s](%s)\n", file->Path, format);
        return 0;
    }
    if (file->PrintBuffer == nullptr) {
        file->PrintBuffer = static_cast<char *>(ZYL_ALLOC(FILE_PRINT_SIZE));
    }
    va_list args;
    va_start(args, format);
    int length = Zyl_FormatStringV(file->PrintBuffer, FILE_PRINT_SIZE, format, args);
    va_end(args);
    int written;
    if (!File_Write(file, file->PrintBuffer, length, &written)) {
        if (file->ReportErrors) {
            Zyl_Print("Failed on write [%s](%d)\n", file->Path, length);
        }
        return 0;
    }
    return 1;
}

int File_Seek(FileStruct *file, int64_t offset, int origin) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Descriptor < 0) {
        Zyl_Print("No file handle is open - cannot seek\n");
        return 0;
    }
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (whence < 0 || lseek(file->Descriptor, (off_t)offset, whence) < 0) {
        file->LastError = whence < 0 ? EINVAL : errno;
        Zyl_Print("Failed to seek [%s] (%d:%I64d) (%d)\n", file->Path, origin, offset,
                  file->LastError);
        return 0;
    }
    file->LastError = 0;
    return 1;
}

int File_SetPosition(FileStruct *file, int64_t offset) {
    return File_Seek(file, offset, 0);
}

int File_SeekEnd(FileStruct *file, int64_t offset) {
    return File_Seek(file, offset, 2);
}

int File_Tell(FileStruct *file, int64_t *position) {
    ZYL_CHECK_PTR(position);
    *position = 0;
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Descriptor < 0) {
        Zyl_Print("No file handle is open - cannot tell\n");
        return 0;
    }
    off_t at = lseek(file->Descriptor, 0, SEEK_CUR);
    if (at < 0) {
        Zyl_Print("File_Tell() lseek failed [%s] (%d)\n", file->Path, errno);
        return 0;
    }
    *position = (int64_t)at;
    return 1;
}

int File_Truncate(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Descriptor < 0) {
        Zyl_Print("No file handle is open - cannot truncate\n");
        return 0;
    }
    off_t at = lseek(file->Descriptor, 0, SEEK_CUR);
    if (at < 0 || ftruncate(file->Descriptor, at) != 0) {
        file->LastError = errno;
        Zyl_Print("Unable to truncate file [%s] [%I64d] [%d:%.8X]\n", file->Path, (int64_t)at,
                  errno, errno);
        return 0;
    }
    file->LastError = 0;
    return 1;
}

int File_Flush(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Descriptor < 0) {
        Zyl_Print("No file handle is open - cannot flush\n");
        return 0;
    }
    if (!Durable_Sync(file->Descriptor, file->Path)) {
        file->LastError = errno;
        Zyl_Print("Unable to flush file [%s] (%d)\n", file->Path, errno);
        return 0;
    }
    file->LastError = 0;
    return 1;
}

int File_SetSparse(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Descriptor < 0) {
        if (file->ReportErrors) {
            Zyl_Print("Failed to set file to sparse mode (%d:%.8X)\n", EBADF, EBADF);
        }
        return 0;
    }
    return 1; // every Linux file system here allocates lazily
}

int File_SetAccessPattern(FileStruct *file, int pattern) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Descriptor < 0)
        return 0;
    int advice = pattern == FILE_ACCESS_SEQUENTIAL ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_NORMAL;
    return posix_fadvise(file->Descriptor, 0, 0, advice) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

int File_Erase(FileStruct *file, const char *path) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(path);
    char taken[FILE_PATH_SIZE];
    if (!File_TakePath(path, taken, "File_Erase")) {
        return 0;
    }
    int length = Zyl_StrLen(taken);
    if (length > 1 && taken[length - 1] == '/') {
        taken[length - 1] = 0;
    }
    struct stat info;
    if (lstat(taken, &info) != 0) {
        Zyl_Print("Unable to get info to erase [%s]\n", taken);
        return 0;
    }
    File_TakeInfo(file, &info);
    file->Attributes = S_ISDIR(info.st_mode) ? FILE_ATTR_DIRECTORY : 0;
    if (S_ISDIR(info.st_mode)) {
        if (rmdir(taken) != 0) {
            Zyl_Print("Unable to erase directory [%s] [%d:%.8X]\n", taken, errno, errno);
            return 0;
        }
        return 1;
    }
    if (unlink(taken) != 0) {
        Zyl_Print("Unable to erase file [%s] [%d:%.8X]\n", taken, errno, errno);
        return 0;
    }
    return 1;
}

int File_Rename(FileStruct *file, const char *oldPath, const char *newPath) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(oldPath);
    ZYL_CHECK_PTR(newPath);
    char from[FILE_PATH_SIZE];
    char to[FILE_PATH_SIZE];
    if (!File_TakePath(oldPath, from, "File_Rename") ||
        !File_TakePath(newPath, to, "File_Rename")) {
        return 0;
    }
    int error;
    if (!FileIo_RenameNoReplace(from, to, &error)) {
        Zyl_Print("Unable to rename file [%s] to [%s] [%d:%.8X]\n", from, to, error, error);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Wildcards and listings
// ---------------------------------------------------------------------------

static char File_Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int File_MatchWildcard(const char *pattern, const char *name) {
    ZYL_CHECK_PTR(pattern);
    ZYL_CHECK_PTR(name);
    int patternLength = Zyl_StrLen(pattern);
    // A final ".*" also matches "no extension": try the pattern without it when
    // the name has no dot.
    if (patternLength >= 2 && pattern[patternLength - 2] == '.' &&
        pattern[patternLength - 1] == '*' && strchr(name, '.') == nullptr) {
        char shorter[FILE_PATH_SIZE];
        if (patternLength - 2 < FILE_PATH_SIZE) {
            memcpy(shorter, pattern, (size_t)patternLength - 2);
            shorter[patternLength - 2] = 0;
            if (shorter[0] == 0 || File_MatchWildcard(shorter, name)) {
                return 1;
            }
        }
    }
    // Greedy match with one back-track point: linear in practice, never exponential.
    const char *p = pattern;
    const char *n = name;
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*n) {
        if (*p == '*') {
            star = p++;
            resume = n;
        } else if (*p && (*p == '?' || File_Fold(*p) == File_Fold(*n))) {
            p++;
            n++;
        } else if (star) {
            p = star + 1;
            n = ++resume;
        } else {
            return 0;
        }
    }
    while (*p == '*') {
        p++;
    }
    return *p == 0 ? 1 : 0;
}

static void File_ListingFree(FileListing *listing) {
    if (listing->Entries) {
        ZYL_FREE(listing->Entries, listing->Capacity * (int64_t)sizeof(FileListEntry));
    }
    if (listing->Names) {
        ZYL_FREE(listing->Names, listing->NamesCapacity);
    }
    memset(listing, 0, sizeof(*listing));
    listing->Current = -1;
}

static void File_ListingAdd(FileListing *listing, const char *name, int64_t size, int flags) {
    int64_t length = Zyl_StrLen(name) + 1;
    if (listing->Count == listing->Capacity) {
        int capacity = listing->Capacity ? listing->Capacity * 2 : 64;
        FileListEntry *grown =
            static_cast<FileListEntry *>(ZYL_ALLOC(capacity * (int64_t)sizeof(FileListEntry)));
        if (listing->Entries) {
            memcpy(grown, listing->Entries, listing->Count * sizeof(FileListEntry));
            ZYL_FREE(listing->Entries, listing->Capacity * (int64_t)sizeof(FileListEntry));
        }
        listing->Entries = grown;
        listing->Capacity = capacity;
    }
    if (listing->Names == nullptr || listing->NamesUsed + length > listing->NamesCapacity) {
        int64_t capacity = listing->NamesCapacity ? listing->NamesCapacity * 2 : 4096;
        while (capacity < listing->NamesUsed + length) {
            capacity *= 2;
        }
        char *grown = static_cast<char *>(ZYL_ALLOC(capacity));
        if (listing->Names) {
            memcpy(grown, listing->Names, (size_t)listing->NamesUsed);
            ZYL_FREE(listing->Names, listing->NamesCapacity);
        }
        listing->Names = grown;
        listing->NamesCapacity = capacity;
    }
    memcpy(listing->Names + listing->NamesUsed, name, (size_t)length);
    FileListEntry *entry = &listing->Entries[listing->Count++];
    entry->NameOffset = listing->NamesUsed;
    entry->Size = size;
    entry->Attributes = flags;
    listing->NamesUsed += length;
}

// Reads the entries of folder matching pattern, sorted ASCII case-blind (then
// by bytes); with foldersOnly, its folders only. 1 when the folder could be read
// (even with no match); 0 with errno.
static int File_ListingRead(FileListing *listing, const char *folder, const char *pattern,
                            int foldersOnly) {
    File_ListingFree(listing);
    DIR *directory = opendir(folder);
    if (directory == nullptr) {
        return 0;
    }
    int folderDescriptor = dirfd(directory);
    struct dirent *entry;
    while ((entry = readdir(directory)) != nullptr) {
        if (Zyl_StrLen(entry->d_name) >= FILE_NAME_SIZE ||
            !File_MatchWildcard(pattern, entry->d_name)) {
            continue;
        }
        // The walk's folder pass wants folders only: what readdir already
        // knows to be something else (a link included) costs no stat.
        if (foldersOnly && entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
            continue;
        }
        struct stat info;
        if (fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone since readdir
        }
        int writable = faccessat(folderDescriptor, entry->d_name, W_OK, AT_EACCESS) == 0;
        File_ListingAdd(listing, entry->d_name, (int64_t)info.st_size,
                        File_AttributesOf(&info, entry->d_name, writable));
    }
    closedir(directory);
    const char *names = listing->Names;
    std::sort(listing->Entries, listing->Entries + listing->Count,
              [names](const FileListEntry &a, const FileListEntry &b) {
                  const char *x = names + a.NameOffset;
                  const char *y = names + b.NameOffset;
                  for (; *x && File_Fold(*x) == File_Fold(*y); x++, y++) {
                  }
                  if (File_Fold(*x) != File_Fold(*y)) {
                      return (unsigned char)File_Fold(*x) < (unsigned char)File_Fold(*y);
                  }
                  return strcmp(names + a.NameOffset, names + b.NameOffset) < 0;
              });
    listing->Active = 1;
    listing->Current = 0;
    return 1;
}

static const char *File_ListingName(const FileListing *listing) {
    return listing->Names + listing->Entries[listing->Current].NameOffset;
}

// Makes the listing's current entry the object's found entry.
static void File_TakeEntry(FileStruct *file, const FileListing *listing) {
    const FileListEntry *entry = &listing->Entries[listing->Current];
    Zyl_StrCopy(file->FoundName, listing->Names + entry->NameOffset, FILE_NAME_SIZE);
    file->FoundSize = entry->Size;
    file->Attributes = entry->Attributes;
    file->HaveFound = 1;
}

// Splits a listing path into folder and pattern (out buffers of FILE_PATH_SIZE).
static void File_SplitPattern(const char *path, char *folder, char *pattern) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        Zyl_StrCopy(folder, ".", FILE_PATH_SIZE);
        Zyl_StrCopy(pattern, path, FILE_PATH_SIZE);
        return;
    }
    int length = (int)(slash - path);
    memcpy(folder, path, (size_t)length);
    folder[length] = 0;
    if (length == 0) {
        Zyl_StrCopy(folder, "/", FILE_PATH_SIZE);
    }
    Zyl_StrCopy(pattern, slash + 1, FILE_PATH_SIZE);
}

int File_FindFirst(FileStruct *file, int isPattern, const char *path) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(path);
    File_FindClose(file);
    char full[FILE_PATH_SIZE + 2];
    if (!File_TakePath(path, full, "File_FindFirst")) {
        return 0;
    }
    if (isPattern != 1) {
        int length = Zyl_StrLen(full);
        if (length > 0 && full[length - 1] != '/') {
            full[length++] = '/';
        }
        full[length++] = '*';
        full[length] = 0;
        if (length >= FILE_PATH_SIZE) {
            Zyl_Print("File_FindFirst() path too long [%d] [%s]\n", length, path);
            return 0;
        }
    }
    char folder[FILE_PATH_SIZE];
    char pattern[FILE_PATH_SIZE];
    File_SplitPattern(full, folder, pattern);
    if (pattern[0] == 0 || !File_ListingRead(&file->Listing, folder, pattern, 0)) {
        if (pattern[0] != 0 && errno != ENOENT && errno != ENOTDIR) {
            Zyl_Print("File_FindFirst() opendir failed [%s] (%d)\n", folder, errno);
        }
        File_FindClose(file);
        return 0;
    }
    if (file->Listing.Count == 0) {
        File_FindClose(file);
        return 0;
    }
    File_TakeEntry(file, &file->Listing);
    return 1;
}

int File_FindNext(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    FileListing *listing = &file->Listing;
    if (!listing->Active || listing->Current + 1 >= listing->Count) {
        file->HaveFound = 0;
        return 0;
    }
    listing->Current++;
    File_TakeEntry(file, listing);
    return 1;
}

int File_GetFoundName(FileStruct *file, char *buffer, int size) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(buffer);
    if (size > 0) {
        buffer[0] = 0;
    }
    if (!file->HaveFound || Zyl_StrLen(file->FoundName) >= size) {
        return 0;
    }
    Zyl_StrCopy(buffer, file->FoundName, size);
    return 1;
}

int File_GetFoundSize(FileStruct *file, int64_t *size) {
    ZYL_CHECK_PTR(size);
    *size = 0;
    ZYL_CHECK_TAG(file, kFileTag);
    if (!file->HaveFound) {
        return 0;
    }
    *size = file->FoundSize;
    return 1;
}

int File_FindClose(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    File_ListingFree(&file->Listing);
    file->HaveFound = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Walk
// ---------------------------------------------------------------------------

struct FileWalk {
    FileStruct *File;
    const char *Patterns;
    void *User;
    FileWalkFolderCallback FolderCallback;
    FileWalkEntryCallback EntryCallback;
};

// Lists folder + pattern through the file-pass object; 0 when a callback stopped.
static int File_WalkPattern(FileWalk *walk, FileStruct *pass, const char *folder,
                            const char *pattern, int depth) {
    char path[FILE_PATH_SIZE];
    Zyl_StrCopy(path, folder, FILE_PATH_SIZE);
    if (!Zyl_StrAppend(path, Zyl_StrEqual(pattern, "*.") ? "*.*" : pattern, FILE_PATH_SIZE)) {
        Zyl_Print("File_Walk() pattern path too long [%s%s]\n", folder, pattern);
        return 1;
    }
    int result = 1;
    char name[FILE_NAME_SIZE];
    for (int found = File_FindFirst(pass, 1, path); found; found = File_FindNext(pass)) {
        File_GetFoundName(pass, name, FILE_NAME_SIZE);
        if (Zyl_StrEqual(name, ".") || Zyl_StrEqual(name, "..")) {
            continue;
        }
        if (!walk->EntryCallback(pass, walk->User, depth, folder, name)) {
            result = 0;
            break;
        }
    }
    File_FindClose(pass);
    return result;
}

// The file pass: every pattern of the list in turn (all run even after a stop).
static int File_WalkEntries(FileWalk *walk, const char *folder, int depth) {
    FileStruct *pass;
    File_New(&pass);
    int result = 1;
    const char *p = walk->Patterns;
    while (*p) {
        while (*p && (*p == ',' || *p == ';' || (unsigned char)*p <= 32)) {
            p++;
        }
        const char *start = p;
        while (*p && *p != ',' && *p != ';' && (unsigned char)*p > 32) {
            p++;
        }
        int length = (int)(p - start);
        if (length == 0) {
            continue;
        }
        char pattern[FILE_PATH_SIZE];
        if (length >= FILE_PATH_SIZE) {
            Zyl_Print("File_Walk() pattern too long [%d]\n", length);
            continue;
        }
        memcpy(pattern, start, (size_t)length);
        pattern[length] = 0;
        if (!File_WalkPattern(walk, pass, folder, pattern, depth)) {
            result = 0;
        }
    }
    File_Delete(&pass);
    return result;
}

static int File_WalkFolder(FileWalk *walk, const char *folder, int depth) {
    FileListing listing = {};
    listing.Current = -1;
    if (!File_ListingRead(&listing, folder, "*", 1)) {
        Zyl_Print("File_Walk() opendir failed [%s] (%d)\n", folder, errno);
        return 1;
    }
    int result = 1;
    for (listing.Current = 0; listing.Current < listing.Count; listing.Current++) {
        const FileListEntry *entry = &listing.Entries[listing.Current];
        const char *name = File_ListingName(&listing);
        if (!(entry->Attributes & FILE_ATTR_DIRECTORY) || Zyl_StrEqual(name, ".") ||
            Zyl_StrEqual(name, "..")) {
            continue; // symbolic links are not folders here: lstat above
        }
        char sub[FILE_PATH_SIZE];
        if (Zyl_FormatString(sub, FILE_PATH_SIZE, "%s%s/", folder, name) !=
            Zyl_StrLen(folder) + Zyl_StrLen(name) + 1) {
            Zyl_Print("File_Walk() path too long - skipped [%s%s]\n", folder, name);
            continue;
        }
        File_TakeEntry(walk->File, &listing);
        if (walk->FolderCallback && !walk->FolderCallback(walk->File, walk->User, depth, sub)) {
            continue;
        }
        if (!File_WalkFolder(walk, sub, depth + 1)) {
            result = 0;
            break;
        }
    }
    File_ListingFree(&listing);
    if (walk->EntryCallback && !File_WalkEntries(walk, folder, depth)) {
        result = 0;
    }
    return result;
}

int File_Walk(FileStruct *file, const char *root, const char *patterns, void *user,
              FileWalkFolderCallback folderCallback, FileWalkEntryCallback entryCallback) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(root);
    ZYL_CHECK_PTR(patterns);
    char folder[FILE_PATH_SIZE];
    if (!File_TakePath(root, folder, "File_Walk")) {
        return 0;
    }
    int length = Zyl_StrLen(folder);
    if (length == 0 || folder[length - 1] != '/') {
        if (length + 1 >= FILE_PATH_SIZE) {
            Zyl_Print("File_Walk() path too long [%d] [%s]\n", length, root);
            return 0;
        }
        folder[length] = '/';
        folder[length + 1] = 0;
    }
    FileWalk walk = {file, patterns, user, folderCallback, entryCallback};
    return File_WalkFolder(&walk, folder, 0);
}

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------

int File_ReplaceAtomic(const char *path, const void *data, int64_t length) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(data);
    char target[FILE_PATH_SIZE];
    if (length < 0 || !File_TakePath(path, target, "File_ReplaceAtomic")) {
        return 0;
    }
    if (File_BaseName(target)[0] == 0) {
        Zyl_Print("File_ReplaceAtomic() no file name [%s]\n", target);
        return 0;
    }
    if (strchr(target, '/') != nullptr && !Zyl_CreateDirectory(target, 1, 0)) {
        return 0;
    }
    DurableReplace replace;
    if (!Durable_WriteFile(&replace, target, data, length, -1)) {
        Zyl_Print("File_ReplaceAtomic() %s failed [%s] (%d)\n", replace.Call, target,
                  replace.Error);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Replacements
// ---------------------------------------------------------------------------

int File_OpenReplacement(FileStruct *file, const char *target, const char *suffix, int mode) {
    ZYL_CHECK_TAG(file, kFileTag);
    ZYL_CHECK_PTR(target);
    ZYL_CHECK_PTR(suffix);
    if (file->Descriptor >= 0 || file->Replace != nullptr) {
        Zyl_Print("Previous file [%s] must be closed before opening [%s]\n", file->Path, target);
        return 0;
    }
    char taken[FILE_PATH_SIZE];
    if (!File_TakePath(target, taken, "File_OpenReplacement")) {
        return 0;
    }
    if (file->CreatePath && strchr(taken, '/') != nullptr) {
        Zyl_CreateDirectory(taken, 1, 0);
    }
    DurableReplace *replace = ZYL_NEW(DurableReplace);
    if (!Durable_Begin(replace, taken, suffix, mode)) {
        Zyl_Print("File_OpenReplacement() %s failed [%s%s] (%d)\n", replace->Call, taken, suffix,
                  replace->Error);
        ZYL_FREE(replace, sizeof(DurableReplace));
        return 0;
    }
    static_assert((int)DURABLE_PATH_SIZE <= (int)FILE_PATH_SIZE,
                  "a temporary name fits the file's path");
    Zyl_StrCopy(file->Path, replace->Temporary, FILE_PATH_SIZE);
    file->Replace = replace;
    file->Descriptor = replace->Descriptor;
    file->Mode = FILE_MODE_WRITE;
    File_ClearInfo(file);
    file->LastError = 0;
    return 1;
}

// Hands the descriptor back to the replacement record and frees the record.
static void File_EndReplacement(FileStruct *file) {
    file->Descriptor = -1;
    ZYL_FREE(file->Replace, sizeof(DurableReplace));
    file->Replace = nullptr;
}

int File_CommitReplacement(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Replace == nullptr) {
        Zyl_Print("File_CommitReplacement() no replacement open [%s]\n", file->Path);
        return 0;
    }
    DurableReplace *replace = file->Replace;
    int ok = Durable_Commit(replace);
    if (!ok) {
        file->LastError = replace->Error;
        Zyl_Print("File_CommitReplacement() %s failed [%s] (%d)\n", replace->Call, replace->Target,
                  replace->Error);
    }
    File_EndReplacement(file);
    return ok;
}

int File_DiscardReplacement(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    if (file->Replace != nullptr) {
        Durable_Abort(file->Replace);
        File_EndReplacement(file);
    }
    return 1;
}

int File_GetLastError(FileStruct *file) {
    ZYL_CHECK_TAG(file, kFileTag);
    return file->LastError;
}

int File_ReadAll(const char *path, int64_t maxLength, char **data, int64_t *length) {
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(length);
    *data = nullptr;
    *length = 0;
    ZYL_CHECK_PTR(path);
    char taken[FILE_PATH_SIZE];
    if (!File_TakePath(path, taken, "File_ReadAll")) {
        return 0;
    }
    int descriptor = open(taken, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (descriptor < 0 || fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        int error = descriptor < 0 ? errno : EISDIR;
        Zyl_Print("File_ReadAll() cannot read [%s] (%d)\n", taken, error);
        if (descriptor >= 0) {
            close(descriptor);
        }
        return 0;
    }
    if ((int64_t)info.st_size > maxLength) {
        Zyl_Print("File_ReadAll() file too large [%s] %I64d > %I64d\n", taken,
                  (int64_t)info.st_size, maxLength);
        close(descriptor);
        return 0;
    }
    int64_t size = (int64_t)info.st_size;
    char *buffer = static_cast<char *>(ZYL_ALLOC(size + 1));
    int error = 0;
    int64_t done = FileIo_ReadUpTo(descriptor, buffer, size, &error); // a file that shrank
    close(descriptor);                                                // keeps what is there
    if (error != 0) {
        Zyl_Print("File_ReadAll() read failed [%s] (%d)\n", taken, error);
        ZYL_FREE(buffer, size + 1);
        return 0;
    }
    buffer[done] = 0;
    if (done != size) {
        // Hand back a block whose size matches the length the caller frees with.
        char *exact = static_cast<char *>(ZYL_ALLOC(done + 1));
        memcpy(exact, buffer, (size_t)done + 1);
        ZYL_FREE(buffer, size + 1);
        buffer = exact;
    }
    *data = buffer;
    *length = done;
    return 1;
}
