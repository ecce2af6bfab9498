// The patch engine's line log file: every log and error line the engine reports
// to the front end is appended here too, one open-append-close per line, so the
// file stays complete when the process ends abruptly.
#pragma once

#include <cstdarg>

struct BufferLogStruct;

enum { BUFFER_LOG_LINE_SIZE = 1024 };

// Creates the log for path (at most 319 characters) into *log: deletes a file of
// that name, then tries once to open it for writing; a failure is reported
// ("Unable to open buffer log file [%s]", Alert notice) and the log is created
// all the same (its lines are then dropped silently). Returns 1.
int BufferLog_Create(BufferLogStruct **log, const char *path);
// Frees the log and clears *log. Accepts a null *log. Returns 1.
int BufferLog_Destroy(BufferLogStruct **log);
// Appends text as it is (no line end added) under the log's mutex. 1 when
// written; 0 when the file cannot be opened or written. Safe from any thread.
int BufferLog_Write(BufferLogStruct *log, const char *text);
// Formats (at most 1,023 characters), adds "\n" and writes. Same result.
int BufferLog_Printf(BufferLogStruct *log, const char *format, ...);
