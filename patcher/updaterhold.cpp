// The hold on a failed self-update: a one-line record "<target version>
// <deploy stamp> <failure time>" beside the version document, written by the
// self-updater and read by the launcher before it allows another restart.
#include "patcher/updaterhold.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/zyl.h"
#include "patcher/packageversion.h"
#include "patcher/taskstatus.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

static const char kSuffix[] = ".failed";
// Room for the record's path: a version document's path and the suffix.
enum { UPDATERHOLD_PATH_SIZE = 4096 };

int UpdaterHold_RecordPath(const char *versionFile, char *path, int size) {
    ZYL_CHECK_PTR(versionFile);
    ZYL_CHECK_PTR(path);
    if (!Zyl_StrCopy(path, versionFile, size) || !Zyl_StrAppend(path, kSuffix, size)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "UpdaterHold: path too long [%s%s]",
                  versionFile, kSuffix);
        path[0] = 0;
        return 0;
    }
    return 1;
}

int UpdaterHold_Record(const char *versionFile, int32_t targetVersion, int32_t deployStamp,
                       int64_t now) {
    char path[UPDATERHOLD_PATH_SIZE];
    if (!UpdaterHold_RecordPath(versionFile, path, sizeof(path)))
        return 0;
    char text[UPDATERHOLD_RECORD_SIZE];
    int length =
        Zyl_FormatString(text, sizeof(text), "%d %d %I64d\n", targetVersion, deployStamp, now);
    return File_ReplaceAtomic(path, text, length);
}

int UpdaterHold_Clear(const char *versionFile) {
    char path[UPDATERHOLD_PATH_SIZE];
    if (!UpdaterHold_RecordPath(versionFile, path, sizeof(path)))
        return 0;
    if (unlink(path) != 0 && errno != ENOENT) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "unlink() [%s] failed: %s", path,
                  strerror(errno));
        return 0;
    }
    return 1;
}

// Reads the record's three numbers. 1 when it holds exactly three; 0 otherwise.
static int UpdaterHold_Parse(char *text, int64_t values[3]) {
    int count = 0;
    char *word = text;
    while (*word != 0) {
        while (*word == ' ' || *word == '\n')
            word++;
        if (*word == 0)
            break;
        char *end = word;
        while (*end != 0 && *end != ' ' && *end != '\n')
            end++;
        char saved = *end;
        *end = 0;
        if (count == 3 || !Zyl_ParseInt64(word, &values[count]))
            return 0;
        count++;
        *end = saved;
        word = end;
    }
    return count == 3;
}

// The record's release and time. 1 when read; 0 when there is none (nothing
// logged) or it is unreadable (logged).
static int UpdaterHold_Read(const char *versionFile, int64_t values[3]) {
    char path[UPDATERHOLD_PATH_SIZE];
    if (!UpdaterHold_RecordPath(versionFile, path, sizeof(path)))
        return 0;
    if (access(path, F_OK) != 0)
        return 0;
    char *data = nullptr;
    int64_t length = 0;
    if (!File_ReadAll(path, UPDATERHOLD_RECORD_SIZE, &data, &length))
        return 0;
    int result = UpdaterHold_Parse(data, values);
    ZYL_FREE(data, length + 1);
    if (!result)
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "UpdaterHold: unreadable record [%s]",
                  path);
    return result;
}

int UpdaterHold_IsHeld(const char *versionFile, int64_t now, int64_t pause, int64_t *left,
                       int64_t *recordedAt) {
    ZYL_CHECK_PTR(versionFile);
    ZYL_CHECK_PTR(left);
    ZYL_CHECK_PTR(recordedAt);
    *left = 0;
    *recordedAt = 0;
    int64_t record[3] = {0, 0, 0};
    if (!UpdaterHold_Read(versionFile, record))
        return 0;
    *recordedAt = record[2];
    int64_t age = now - record[2];
    if (age < 0 || age >= pause)
        return 0;
    PackageVersion *version = nullptr;
    PackageVersion_Create(&version);
    int held = 0;
    int32_t inProgress = 0;
    PatcherTaskStatus *status = nullptr;
    PatcherTaskData *data = nullptr;
    if (PackageVersion_LoadVersion(version, versionFile) &&
        PackageVersion_GetInProgress(version, &inProgress) && inProgress &&
        PackageVersion_GetTaskStatus(version, &status) && PatcherTaskStatus_GetData(status, &data))
        held =
            record[0] == -1 || (record[0] == data->TargetVersion && record[1] == data->DeployStamp);
    PackageVersion_Destroy(&version);
    if (held)
        *left = pause - age;
    return held;
}
