// Rotating transfer log: time-stamped record lines in files named after the
// period (hour, day, week, month) the time falls in, each file opening with
// "#Date:" and "#Fields:" header lines. Lines are buffered and appended in batches.
#pragma once

#include "core/zyl_formatcheck.h"
#include <cstdarg>
#include <cstdint>

struct LogStruct;

enum {
    LOG_PERIOD_HOURLY = 1,
    LOG_PERIOD_DAILY = 2, // default
    LOG_PERIOD_WEEKLY = 3,
    LOG_PERIOD_MONTHLY = 4,
};

// Sizes: a record line holds at most 1024 bytes with its line end, the field
// list 1023 characters, the base name and file names 319.
enum { LOG_LINE_MAX = 1024, LOG_FIELDS_SIZE = 1024, LOG_NAME_SIZE = 320 };

// The log's clock: seconds since 1970-01-01 UTC. The default reads the system time.
typedef int64_t (*LogClockProc)(void *context);

// Creates a disabled log with a daily period, buffering on (25600 bytes), an
// empty field list and an empty base name (files land in the current folder).
// Returns 1.
int Log_Create(LogStruct **log);
// Writes what is buffered (when enabled), frees the log and clears *log. Null is
// accepted. Returns 1.
int Log_Destroy(LogStruct **log);

// Switching off discards the buffered lines. Returns 1.
int Log_SetEnabled(LogStruct *log, int enabled);
// LOG_PERIOD_*; buffered lines go to the old file first. Returns 1, or 0 for an
// unknown period (unchanged).
int Log_SetPeriod(LogStruct *log, int period);
// The text after "#Fields: Date Time ". A text equal ignoring ASCII case changes
// nothing; otherwise the buffer is flushed and a new header is due. Returns 1, or
// 0 when the text does not fit (unchanged).
int Log_SetFields(LogStruct *log, const char *fields);
// Flushes and replaces the buffer. 0 means unbuffered: each line is written at
// once. Returns 1, or 0 for a negative size.
int Log_SetBufferSize(LogStruct *log, int size);
// Prefix of every file name (for example "logs/transfer-"); flushes first.
// Returns 1, or 0 when it does not fit (unchanged).
int Log_SetBaseName(LogStruct *log, const char *baseName);
// 1: time stamps and file names in universal time; 0 (default): local time.
int Log_SetUniversalTime(LogStruct *log, int universal);
// Replaces the clock (null restores the system time). Returns 1.
int Log_SetClock(LogStruct *log, LogClockProc clock, void *context);

// Appends one line "YYYY-MM-DD hh:mm:ss <formatted text>\n" (at most 1024 bytes;
// a longer line is cut to 1023 bytes and its line end). A disabled log returns 1
// at once. Returns 1, or 0 when the log's mutex could not be taken.
int Log_Write(LogStruct *log, const char *format, ...);
#define Log_Write(log, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Log_Write)(log, __VA_ARGS__))
int Log_WriteV(LogStruct *log, const char *format, va_list args);
// Appends the buffered lines to the current file. Returns 1.
int Log_Flush(LogStruct *log);
// The current file name ("" before the first line). Returns 1 when it fit.
int Log_GetFileName(LogStruct *log, char *buffer, int size);
