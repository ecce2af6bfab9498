// Recursive folder delete and the delete manifest: every path is checked to
// stay below its folder before anything is removed; links are removed as links.
// Passes over the manifest repeat until its last entry is done or a stop; a
// missing manifest is nothing to delete, and a name missing as written is
// looked up ignoring ASCII case.
#include "patcher/deletehelper.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/filereader.h"
#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/zyl.h"
#include "patcher/patcherlog.h"
#include "patcher/pathsafety.h"
#include "patcher/taskstatus.h"

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

enum { kPathSize = PATHSAFETY_PATH_SIZE };

static std::atomic<int> g_retryPauseMs{250};

int DeleteHelper_SetRetryPause(int milliseconds) {
    g_retryPauseMs.store(milliseconds < 0 ? 0 : milliseconds);
    return 1;
}

int DeleteHelper_EraseFileCallback(FileStruct *file, void *, int, const char *folder,
                                   const char *name) {
    ZYL_CHECK_PTR(file);
    ZYL_CHECK_PTR(folder);
    ZYL_CHECK_PTR(name);
    char path[kPathSize];
    if (PathSafety_Join(path, folder, name)) {
        File_Erase(file, path);
    }
    return 1;
}

int DeleteHelper_DeleteDirectory(const char *root, const char *path) {
    ZYL_CHECK_PTR(root);
    ZYL_CHECK_PTR(path);
    char top[kPathSize], folder[kPathSize];
    if (!PathSafety_NormalFolder(top, root) || !PathSafety_NormalFolder(folder, path) ||
        Zyl_StrEqual(top, "/") || !Zyl_StrStartsWith(folder, top) ||
        Zyl_StrLen(folder) <= Zyl_StrLen(top)) {
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
    if (PathSafety_Exists(plain)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to delete directory [%s]", plain);
        return 0;
    }
    return ok;
}

// Deletes one entry; *logged limits the failure lines of one manifest run.
static int DeleteHelper_InternalDeleteEntry(FileStruct *file, PatcherTaskStatus *status,
                                            const char *text, int *logged) {
    // Trailing blanks are no part of a name.
    char line[kPathSize];
    Zyl_StrCopy(line, text, kPathSize);
    for (int length = Zyl_StrLen(line);
         length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\t'); length--)
        line[length - 1] = 0;
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    char copyPath[kPathSize], path[kPathSize];
    if (!PathSafety_NormalFolder(copyPath, data->CopyPath) || Zyl_StrEqual(copyPath, "/") ||
        !PathSafety_JoinInside(path, copyPath, line)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refusing remove.manifest entry [%s] [%s]", data->CopyPath,
                    line);
        return 1; // never deleted, never retried
    }
    char exact[kPathSize];
    Zyl_StrCopy(exact, path, kPathSize);
    if (!PathSafety_Exists(path) && !PathSafety_FindNoCase(path, copyPath, line)) {
        Patcher_Log(PATCHER_LOG_INFO, "Unable to delete file [%s] because it does not exist.",
                    exact);
        return 1;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Deleting file [%s].", path);
    // A read-only file is made writable first, as the installation expects of
    // files it may replace (its removal itself depends on the folder only).
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0)
        chmod(path, info.st_mode | S_IWUSR);
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
                                     PatcherTaskStatus *status, StopFlag *stop, int *logged) {
    int lastDone = 1;
    char *line = nullptr;
    while (StopFlag_Test(stop) == 0 && FileReader_ReadLine(reader, &line)) {
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
                                       PatcherTaskStatus *status, StopFlag *stop) {
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
    while (StopFlag_Test(stop) == 0) {
        if (!PathSafety_Exists(manifest)) {
            // An update without a manifest has nothing to delete.
            Patcher_Log(PATCHER_LOG_INFO, "No remove.manifest file. [%s]", manifest);
            break;
        }
        if (!FileReader_Open(reader, manifest)) {
            if (!logged) {
                Patcher_Log(PATCHER_LOG_WARNING, "Unable to load the remove.manifest file.");
                logged = 1;
            }
        } else if (DeleteHelper_InternalPass(reader, file, callback, patcher, task, status, stop,
                                             &logged)) {
            break;
        }
        Zyl_SleepMilliseconds(g_retryPauseMs.load());
    }
    File_Delete(&file);
    FileReader_Destroy(&reader);
    return 1;
}
