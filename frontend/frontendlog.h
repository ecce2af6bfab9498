// Small services of the front end: its log line (through the patch engine's
// log while the engine runs, else the core log), lenient decimal reading of
// configuration texts, path and name clean-up, and the Alert log's printer.
#pragma once

#include <cstdint>

#include "core/zyl_formatcheck.h"

enum { FRONTEND_LOG_WARNING = 0, FRONTEND_LOG_INFO = 1 };

// Logs one formatted line at level (0 warning, 1 information) through
// LauncherLib_Log while the library is initialised, else through Zyl_Print.
// Returns 1.
int Frontend_Log(int level, const char *format, ...);
#define Frontend_Log(level, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Frontend_Log)(level, __VA_ARGS__))

// The leading decimal number of text: blanks skipped, an optional sign, then
// digits up to the first other character. Saturates at the type's limits
// instead of overflowing; no digits give 0. Never fails.
int64_t Frontend_ParseInt64(const char *text);
int32_t Frontend_ParseInt32(const char *text);
// As Frontend_ParseInt64 for an unsigned number: a leading '-' gives 0, and the
// value saturates at UINT64_MAX.
uint64_t Frontend_ParseUInt64(const char *text);

// Copies text into buffer (size bytes), cut at a UTF-8 character boundary so
// no character is split. Returns 1 when all of text fitted.
int Frontend_CopyUtf8(char *buffer, const char *text, int size);
// Turns every '\' of path into '/' (configured paths are written for Windows).
void Frontend_SlashPath(char *path);

// The Alert log's printer: kind 1 "++++ %s\n", kind 2 "**** %s\n", other kinds
// "%s\n", each through Zyl_Print.
void Frontend_PrintAlert(int kind, int level, const char *text);
