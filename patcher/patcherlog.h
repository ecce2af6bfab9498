// The patch engine's two reporting calls: information and warnings through
// Patcher_Log, coded errors through Patcher_ReportError. Both format into a
// 1024-byte line and hand it to the receivers of the notification record, which
// the Patcher fills with its LOG and ERROR queueing functions.
#pragma once

#include "core/zyl_formatcheck.h"
#include <cstdarg>

// Levels of Patcher_Log.
enum { PATCHER_LOG_WARNING = 0, PATCHER_LOG_INFO = 1 };
// Error codes of Patcher_ReportError used by the applying side.
enum {
    PATCHER_ERROR_EXPAND = 0,    // expansion and copy failures
    PATCHER_ERROR_WORD = 2,      // unknown word in a property, unsupported value kind
    PATCHER_ERROR_MISMATCH = 8,  // a delta's old file is neither expected nor finished
    PATCHER_ERROR_INSTALLER = 9, // installer command and command-list failures
};
enum { PATCHER_LOG_LINE_SIZE = 1024 };

// Receivers: (context, level or code, formatted text without line end). Their
// result becomes the result of the reporting call.
typedef int (*PatcherLogCallback)(void *context, int level, const char *text);
typedef int (*PatcherErrorCallback)(void *context, int code, const char *text);

// The notification record: one per process, created empty by
// Notification_Initialize (a second call keeps the record) and freed by
// Notification_Shutdown (accepts none). Both return 1. Create it before the
// engine's threads start and free it after they stopped.
int Notification_Initialize(void);
int Notification_Shutdown(void);
// Install a receiver with its context (null callback: none). 0 when the record
// does not exist, else 1. Safe beside reporting calls on other threads.
int Notification_SetLogCallback(PatcherLogCallback callback, void *context);
int Notification_SetErrorCallback(PatcherErrorCallback callback, void *context);
// Removes each receiver whose context is the given one (its owner is going
// away), leaving others in place. Returns 1.
int Notification_RemoveContext(void *context);

// For programs and tests without the library facade: creates the record when a
// receiver is given and installs both with one context; with both receivers
// null frees the record again. Returns 1.
int Patcher_SetLogCallbacks(void *context, PatcherLogCallback log, PatcherErrorCallback error);
// Formats (at most 1023 characters) and passes the line on. Returns the
// receiver's result, 0 when the record or its receiver is missing. Safe from
// any thread.
int Patcher_Log(int level, const char *format, ...);
#define Patcher_Log(level, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Patcher_Log)(level, __VA_ARGS__))
int Patcher_LogV(int level, const char *format, va_list args);
int Patcher_ReportError(int code, const char *format, ...);
#define Patcher_ReportError(code, ...)                                                             \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Patcher_ReportError)(code, __VA_ARGS__))
