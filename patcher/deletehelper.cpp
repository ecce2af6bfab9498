// Recursive folder delete and the delete manifest: every path is checked to
// stay below its folder before anything is removed; links are removed as links.
// Passes over the manifest repeat until its last entry is done or a stop.
#include "patcher/deletehelper.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/filereader.h"
#include "core/oshelper.h"
#include "core/zyl.h"
#include "patcher/expansionhelper.h"
#include "patcher/patcherlog.h"
#include "patcher/taskstatus.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <sys/stat.h>

enum { kPathSize = 320 };

static std::atomic<int> g_retryPauseMs{250};

int DeleteHelper_SetRetryPause(int milliseconds) {
    g_retryPauseMs.store(milliseconds < 0 ? 0 : milliseconds);
    return 1;
}

static void DeleteHelper_InternalPause(void) {
    int milliseconds = g_retryPauseMs.load();
    struct timespec wait = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    while (milliseconds > 0 && nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

int DeleteHelper_EraseFileCallback(FileStruct *file, void *, int, const char *folder,
                                   const char *name) {
    ZYL_CHECK_PTR(file);
    ZYL_CHECK_PTR(folder);
    ZYL_CHECK_PTR(name);
    char path[kPathSize];
    if (Zyl_FormatString(path, kPathSize, "%s%s", folder, name) ==
        Zyl_StrLen(folder) + Zyl_StrLen(name)) {
        File_Erase(file, path);
    }
    return 1;
}

// Normal absolute form of path with a final '/' into out. 0 when it is not
// absolute, has a ".." part or does not fit.
static int DeleteHelper_InternalNormalFolder(char *out, const char *path) {
    if (path[0] != '/' || !Zyl_StrCopy(out, path, kPathSize) ||
        (path[1] != 0 && !ExpansionHelper_IsSafeRelativePath(path + 1))) {
        return 0;
    }
    return Zyl_NormalizePath(out, 1, kPathSize);
}

int DeleteHelper_DeleteDirectory(const char *root, const char *path) {
    ZYL_CHECK_PTR(root);
    ZYL_CHECK_PTR(path);
    char top[kPathSize], folder[kPathSize];
    if (!DeleteHelper_InternalNormalFolder(top, root) ||
        !DeleteHelper_InternalNormalFolder(folder, path) || Zyl_StrEqual(top, "/") ||
        !Zyl_StrStartsWith(folder, top) || Zyl_StrLen(folder) <= Zyl_StrLen(top)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refusing to delete [%s] outside [%s]", path, root);
        return 0;
    }
    char plain[kPathSize];
    Zyl_StrCopy(plain, folder, kPathSize);
    plain[Zyl_StrLen(plain) - 1] = 0; // without the '/', so a link is seen as a link
    struct stat info;
    if (lstat(plain, &info) != 0) {
        return 1;
    }
    FileStruct *file = nullptr;
    File_New(&file);
    int ok = 1;
    if (S_ISDIR(info.st_mode)) {
        ok = File_Walk(file, folder, "*.*", nullptr, nullptr, DeleteHelper_EraseFileCallback);
    }
    File_Erase(file, plain);
    File_Delete(&file);
    if (lstat(plain, &info) == 0) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to delete directory [%s]", plain);
        return 0;
    }
    return ok;
}

// Deletes one entry; *logged limits the failure lines of one manifest run.
static int DeleteHelper_InternalDeleteEntry(FileStruct *file, PatcherTaskStatus *status,
                                            const char *line, int *logged) {
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    char copyPath[kPathSize], path[kPathSize];
    if (!DeleteHelper_InternalNormalFolder(copyPath, data->CopyPath) ||
        Zyl_StrEqual(copyPath, "/") || !ExpansionHelper_JoinInside(path, copyPath, line)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refusing remove.manifest entry [%s] [%s]", data->CopyPath,
                    line);
        return 1; // never deleted, never retried
    }
    struct stat info;
    if (lstat(path, &info) != 0) {
        Patcher_Log(PATCHER_LOG_INFO, "Unable to delete file [%s] because it does not exist.",
                    path);
        return 1;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Deleting file [%s].", path);
    // A read-only file needs no attribute change here: removal depends on the
    // folder's permissions only.
    if (!File_Erase(file, path)) {
        if (!*logged) {
            Patcher_Log(PATCHER_LOG_WARNING, "Unable to delete file [%s].", path);
            *logged = 1;
        }
        return 0;
    }
    return 1;
}

int DeleteHelper_DeleteManifestEntry(FileStruct *file, PatcherTaskStatus *status,
                                     const char *line) {
    ZYL_CHECK_PTR(file);
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_PTR(line);
    int logged = 0;
    return DeleteHelper_InternalDeleteEntry(file, status, line, &logged);
}

// One pass over the open manifest. 1 when the last handled entry was done (or
// none was handled).
static int DeleteHelper_InternalPass(FileReaderStruct *reader, FileStruct *file,
                                     DeleteManifestCallback callback, void *patcher, void *task,
                                     PatcherTaskStatus *status, volatile int *stop, int *logged) {
    int lastDone = 1;
    char *line = nullptr;
    while (*stop == 0 && FileReader_ReadLine(reader, &line)) {
        if (line[0] == 0 || line[0] == '#') {
            continue;
        }
        lastDone = callback != nullptr
                       ? callback(file, patcher, task, status, line) == 1
                       : DeleteHelper_InternalDeleteEntry(file, status, line, logged);
    }
    return lastDone;
}

int DeleteHelper_ProcessDeleteManifest(DeleteManifestCallback callback, void *patcher, void *task,
                                       PatcherTaskStatus *status, volatile int *stop) {
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_PTR(stop);
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    char manifest[kPathSize];
    int length = Zyl_FormatString(manifest, kPathSize, "%sremove.manifest", data->OutputPath);
    Patcher_Log(PATCHER_LOG_INFO, "Processing remove.manifest file. [%s]", manifest);
    if (length >= kPathSize - 1) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to load the remove.manifest file.");
        return 1;
    }
    FileReaderStruct *reader = nullptr;
    FileStruct *file = nullptr;
    FileReader_Create(&reader);
    File_New(&file);
    int logged = 0;
    while (*stop == 0) {
        if (!FileReader_Open(reader, manifest)) {
            if (!logged) {
                Patcher_Log(PATCHER_LOG_WARNING, "Unable to load the remove.manifest file.");
                logged = 1;
            }
        } else if (DeleteHelper_InternalPass(reader, file, callback, patcher, task, status, stop,
                                             &logged)) {
            break;
        }
        DeleteHelper_InternalPause();
    }
    File_Delete(&file);
    FileReader_Destroy(&reader);
    return 1;
}
