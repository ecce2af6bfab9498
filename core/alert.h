// The Alert log: the process-wide user-level message channel (progress, notices,
// errors) with a kind and a verbosity level, filtered by a maximum level and
// passed to one print callback.
#pragma once

#include "core/zyl_formatcheck.h"

enum {
    ALERT_KIND_MESSAGE = 0,
    ALERT_KIND_NOTICE = 1, // printed as "++++ %s"
    ALERT_KIND_ERROR = 2,  // printed as "**** %s"
};

// Levels used by callers: 1000 ordinary, 1500 more detail, 2000 most detail.
enum { ALERT_LEVEL_NORMAL = 1000, ALERT_LEVEL_DETAIL = 1500, ALERT_LEVEL_VERBOSE = 2000 };

// Print callback: kind, level and the formatted text (no line end).
typedef void (*AlertPrinter)(int kind, int level, const char *text);

// Creates the Alert log with the default printer and no level limit (INT_MAX).
// A second creation is fatal. Returns 1.
int Alert_Create(void);
// Frees the Alert log (fatal when none exists). Returns 1.
int Alert_Destroy(void);
// Replaces the print callback; null restores the default printer. Returns 1.
int Alert_SetPrinter(AlertPrinter printer);
// Messages with a level above this are dropped. Returns 1.
int Alert_SetMaxLevel(int level);
// Formats (at most 1,022 characters) and passes the text to the printer.
// Returns the formatted length, or 0 without formatting when no Alert log
// exists or the level is above the maximum.
int Alert_Log(int kind, int level, const char *format, ...);
#define Alert_Log(kind, level, ...)                                                                \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Alert_Log)(kind, level, __VA_ARGS__))
