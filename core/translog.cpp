// Rotating transfer log: record lines are formatted into a memory buffer and
// appended to a file named after the current period in batches, so writers on
// busy engine threads rarely touch the disk. The mutex serialises all of it.
#include "core/translog.h"

#include <atomic>
#include <cstring>
#include <time.h>

#include "core/file.h"
#include "core/mutex.h"
#include "core/zyl.h"

static const char kLogTag[] = "log";

enum {
    kDefaultBufferSize = 25600,
    kFlushReserve = LOG_LINE_MAX + 100, // flush when fewer bytes than this remain free
    kFileNameSize = LOG_NAME_SIZE + 32, // base name and the period's part
    kAppendMode = FILE_MODE_WRITE | FILE_MODE_TEXT | FILE_MODE_APPEND, // 0x32
};

struct LogStruct {
    const char *Tag;
    MutexStruct *Mutex; // guards everything below but Enabled and Period
    FileStruct *File;   // opened per batch, creates missing folders
    std::atomic<int> Period;
    std::atomic<int> Enabled;
    int Cached;        // 1: lines wait in the buffer until it runs low
    int HeaderPending; // 1: the next batch starts with "#Date:" and "#Fields:"
    int Universal;     // 1: universal time instead of local time
    LogClockProc Clock;
    void *ClockContext;
    char Fields[LOG_FIELDS_SIZE];
    char BaseName[LOG_NAME_SIZE];
    char FileName[kFileNameSize];
    char *Buffer; // Size bytes, Position of them used; null when Size is 0
    int Position;
    int Size;
};

static int64_t Log_SystemClock(void *context) {
    (void)context;
    return (int64_t)time(nullptr);
}

static void Log_Now(LogStruct *log, struct tm *now) {
    time_t seconds = (time_t)log->Clock(log->ClockContext);
    if (log->Universal)
        gmtime_r(&seconds, now);
    else
        localtime_r(&seconds, now);
}

int Log_Create(LogStruct **log) {
    ZYL_CHECK_PTR(log);
    LogStruct *record = ZYL_NEW(LogStruct);
    record->Tag = kLogTag;
    Mutex_Create(&record->Mutex);
    File_New(&record->File);
    File_SetCreatePath(record->File, 1);
    File_SetOpenRetries(record->File, 1); // a log line is not worth stalling a thread
    record->Period = LOG_PERIOD_DAILY;
    record->Enabled = 0;
    record->Cached = 1;
    record->HeaderPending = 1;
    record->Clock = Log_SystemClock;
    record->Size = kDefaultBufferSize;
    record->Buffer = static_cast<char *>(ZYL_ALLOC(record->Size));
    *log = record;
    return 1;
}

// Appends bytes to the current file, after the header when one is due. The
// caller holds the mutex. Lines of a disabled log or an unopenable file are lost.
static void Log_AppendToFile(LogStruct *log, const char *bytes, int length) {
    if (!log->Enabled || log->FileName[0] == 0 || length <= 0)
        return;
    if (!File_Open(log->File, log->FileName, kAppendMode))
        return;
    if (log->HeaderPending) {
        struct tm now;
        Log_Now(log, &now);
        File_Print(log->File, "#Date: %.4d-%.2d-%.2d %.2d:%.2d:%.2d\n", now.tm_year + 1900,
                   now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
        File_Print(log->File, "#Fields: Date Time %s\n", log->Fields);
        log->HeaderPending = 0;
    }
    int written = 0;
    File_Write(log->File, bytes, length, &written);
    File_Close(log->File);
}

// Appends the buffered lines and empties the buffer. Caller holds the mutex.
static void Log_FlushBuffer(LogStruct *log) {
    if (log->Position == 0)
        return;
    Log_AppendToFile(log, log->Buffer, log->Position);
    log->Position = 0;
}

// Picks the file of the period `now` falls in; a new name flushes what belongs
// to the old one and makes a header due.
static void Log_UpdateFileName(LogStruct *log, const struct tm *now) {
    char name[kFileNameSize];
    int year = now->tm_year + 1900 - 2000;
    switch (log->Period) {
    case LOG_PERIOD_HOURLY:
        Zyl_FormatString(name, sizeof(name), "%sy%.2d m%.2d d%.2d h%d.log", log->BaseName, year,
                         now->tm_mon + 1, now->tm_mday, now->tm_hour);
        break;
    case LOG_PERIOD_WEEKLY:
        Zyl_FormatString(name, sizeof(name), "%sy%.2d w%.2d.log", log->BaseName, year,
                         now->tm_yday / 7 + 1);
        break;
    case LOG_PERIOD_MONTHLY:
        Zyl_FormatString(name, sizeof(name), "%sy%.2d m%.2d.log", log->BaseName, year,
                         now->tm_mon + 1);
        break;
    default:
        Zyl_FormatString(name, sizeof(name), "%sy%.2d m%.2d d%.2d.log", log->BaseName, year,
                         now->tm_mon + 1, now->tm_mday);
        break;
    }
    if (log->FileName[0] != 0 && Zyl_StrEqualNoCase(name, log->FileName))
        return;
    Log_FlushBuffer(log);
    Zyl_StrCopy(log->FileName, name, sizeof(log->FileName));
    log->HeaderPending = 1;
}

int Log_Destroy(LogStruct **log) {
    ZYL_CHECK_PTR(log);
    if (*log == nullptr)
        return 1;
    LogStruct *record = *log;
    ZYL_CHECK_TAG(record, kLogTag);
    MUTEX_LOCK(record->Mutex);
    Log_FlushBuffer(record);
    if (record->Buffer != nullptr)
        ZYL_FREE(record->Buffer, record->Size);
    File_Delete(&record->File);
    MUTEX_UNLOCK(record->Mutex);
    Mutex_Close(&record->Mutex);
    record->Tag = Zyl_DeadTag;
    ZYL_FREE(record, sizeof(LogStruct));
    *log = nullptr;
    return 1;
}

int Log_SetEnabled(LogStruct *log, int enabled) {
    ZYL_CHECK_TAG(log, kLogTag);
    log->Enabled = enabled;
    if (!enabled) {
        MUTEX_LOCK(log->Mutex);
        Log_FlushBuffer(log); // writes nothing: the buffered lines are dropped
        MUTEX_UNLOCK(log->Mutex);
    }
    return 1;
}

int Log_SetPeriod(LogStruct *log, int period) {
    ZYL_CHECK_TAG(log, kLogTag);
    if (period < LOG_PERIOD_HOURLY || period > LOG_PERIOD_MONTHLY) {
        Zyl_Print("Log_SetPeriod() unknown period %d\n", period);
        return 0;
    }
    if (period != log->Period) {
        MUTEX_LOCK(log->Mutex);
        Log_FlushBuffer(log);
        log->Period = period;
        MUTEX_UNLOCK(log->Mutex);
    }
    return 1;
}

int Log_SetFields(LogStruct *log, const char *fields) {
    ZYL_CHECK_TAG(log, kLogTag);
    ZYL_CHECK_PTR(fields);
    if (Zyl_StrLen(fields) >= LOG_FIELDS_SIZE) {
        Zyl_Print("Log_SetFields() field list too long (%d)\n", Zyl_StrLen(fields));
        return 0;
    }
    MUTEX_LOCK(log->Mutex);
    if (!Zyl_StrEqualNoCase(fields, log->Fields)) {
        Log_FlushBuffer(log);
        Zyl_StrCopy(log->Fields, fields, sizeof(log->Fields));
        log->HeaderPending = 1;
    }
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

int Log_SetBufferSize(LogStruct *log, int size) {
    ZYL_CHECK_TAG(log, kLogTag);
    if (size < 0)
        return 0;
    MUTEX_LOCK(log->Mutex);
    Log_FlushBuffer(log);
    if (log->Buffer != nullptr)
        ZYL_FREE(log->Buffer, log->Size);
    log->Size = size;
    if (size > 0)
        log->Buffer = static_cast<char *>(ZYL_ALLOC(size));
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

int Log_SetBaseName(LogStruct *log, const char *baseName) {
    ZYL_CHECK_TAG(log, kLogTag);
    ZYL_CHECK_PTR(baseName);
    if (Zyl_StrLen(baseName) >= LOG_NAME_SIZE) {
        Zyl_Print("Log_SetBaseName() base name too long [%s]\n", baseName);
        return 0;
    }
    MUTEX_LOCK(log->Mutex);
    Log_FlushBuffer(log);
    Zyl_StrCopy(log->BaseName, baseName, sizeof(log->BaseName));
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

int Log_SetUniversalTime(LogStruct *log, int universal) {
    ZYL_CHECK_TAG(log, kLogTag);
    MUTEX_LOCK(log->Mutex);
    log->Universal = universal ? 1 : 0;
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

int Log_SetClock(LogStruct *log, LogClockProc clock, void *context) {
    ZYL_CHECK_TAG(log, kLogTag);
    MUTEX_LOCK(log->Mutex);
    log->Clock = clock != nullptr ? clock : Log_SystemClock;
    log->ClockContext = clock != nullptr ? context : nullptr;
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

// Formats one line (at most LOG_LINE_MAX bytes with its "\n") into line.
static int Log_FormatLine(const struct tm *now, char *line, const char *format, va_list args) {
    int length =
        Zyl_FormatString(line, LOG_LINE_MAX, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d ", now->tm_year + 1900,
                         now->tm_mon + 1, now->tm_mday, now->tm_hour, now->tm_min, now->tm_sec);
    length += Zyl_FormatStringV(line + length, LOG_LINE_MAX - length, format, args);
    line[length++] = '\n'; // the formatter kept at most 1023 bytes
    line[length] = 0;
    return length;
}

int Log_WriteV(LogStruct *log, const char *format, va_list args) {
    ZYL_CHECK_TAG(log, kLogTag);
    ZYL_CHECK_PTR(format);
    if (!log->Enabled)
        return 1;
    if (!MUTEX_LOCK(log->Mutex))
        return 0;
    struct tm now;
    Log_Now(log, &now);
    Log_UpdateFileName(log, &now);
    char line[LOG_LINE_MAX + 1];
    int length = Log_FormatLine(&now, line, format, args);
    if (log->Buffer == nullptr || !log->Cached) {
        Log_FlushBuffer(log); // keeps the order of lines
        Log_AppendToFile(log, line, length);
    } else {
        if (log->Size - log->Position < length)
            Log_FlushBuffer(log);
        if (log->Size - log->Position < length) {
            Log_AppendToFile(log, line, length); // a buffer smaller than one line
        } else {
            memcpy(log->Buffer + log->Position, line, (size_t)length);
            log->Position += length;
        }
        if (log->Size - log->Position < kFlushReserve)
            Log_FlushBuffer(log);
    }
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

int(Log_Write)(LogStruct *log, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int result = Log_WriteV(log, format, args);
    va_end(args);
    return result;
}

int Log_Flush(LogStruct *log) {
    ZYL_CHECK_TAG(log, kLogTag);
    MUTEX_LOCK(log->Mutex);
    Log_FlushBuffer(log);
    MUTEX_UNLOCK(log->Mutex);
    return 1;
}

int Log_GetFileName(LogStruct *log, char *buffer, int size) {
    ZYL_CHECK_TAG(log, kLogTag);
    ZYL_CHECK_PTR(buffer);
    MUTEX_LOCK(log->Mutex);
    int fit = Zyl_StrCopy(buffer, log->FileName, size);
    MUTEX_UNLOCK(log->Mutex);
    return fit;
}
