// The patch engine's line log file.
#include "patcher/bufferlog.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/zyl.h"

static const char kTag[] = "BufferLogStruct";

struct BufferLogStruct {
    const char *Tag;
    FileStruct *File;
    MutexStruct *Mutex;
    char Path[FILE_PATH_SIZE];
};

int BufferLog_Create(BufferLogStruct **log, const char *path) {
    ZYL_CHECK_PTR(log);
    ZYL_CHECK_PTR(path);
    BufferLogStruct *created = ZYL_NEW(BufferLogStruct);
    created->Tag = kTag;
    Zyl_StrCopy(created->Path, path, sizeof(created->Path));
    Mutex_Create(&created->Mutex);
    File_New(&created->File);
    File_SetOpenRetries(created->File, 1);
    File_SetReportErrors(created->File, 0);
    if (File_Stat(created->File, created->Path) == 1)
        File_Erase(created->File, created->Path);
    if (File_Open(created->File, created->Path, FILE_MODE_WRITE | FILE_MODE_TEXT) == 1)
        File_Close(created->File);
    else
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to open buffer log file [%s]",
                  created->Path);
    *log = created;
    return 1;
}

int BufferLog_Destroy(BufferLogStruct **log) {
    ZYL_CHECK_PTR(log);
    BufferLogStruct *doomed = *log;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    File_Delete(&doomed->File);
    Mutex_Close(&doomed->Mutex);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(BufferLogStruct));
    *log = nullptr;
    return 1;
}

int BufferLog_Write(BufferLogStruct *log, const char *text) {
    ZYL_CHECK_TAG(log, kTag);
    ZYL_CHECK_PTR(text);
    MUTEX_LOCK(log->Mutex);
    int result =
        File_Open(log->File, log->Path, FILE_MODE_WRITE | FILE_MODE_APPEND | FILE_MODE_TEXT);
    if (result == 1) {
        int written = 0;
        result = File_Write(log->File, text, Zyl_StrLen(text), &written);
        File_Close(log->File);
    }
    MUTEX_UNLOCK(log->Mutex);
    return result;
}

int BufferLog_Printf(BufferLogStruct *log, const char *format, ...) {
    ZYL_CHECK_PTR(format);
    char line[BUFFER_LOG_LINE_SIZE + 1];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(line, BUFFER_LOG_LINE_SIZE, format, args);
    va_end(args);
    int length = Zyl_StrLen(line);
    line[length] = '\n';
    line[length + 1] = '\0';
    return BufferLog_Write(log, line);
}
