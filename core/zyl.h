// The core runtime's spine: tagged-object checks and the fatal path, the tracked
// allocator, the process-wide diagnostics log, bounded strings with the system's
// own formatter, and small shared utilities (CRC-32, clocks, dates, arguments).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---------------------------------------------------------------------------
// Checks, fatal path and tracked memory
// ---------------------------------------------------------------------------

// Every record of the system starts with `const char *Tag`, the address of its
// type name. A record is of the right type when its first field holds that very
// address; the texts are never compared.

// Records file and line for the calling thread's next fatal diagnostic. The
// location is kept per thread, so no lock is taken or left held.
void Zyl_SetSourceLocation(const char *file, int line);
// The same (kept for callers that name the lock-free form).
void Zyl_SetLocation(const char *file, int line);
// Formats the message with the system's formatter, reports it as
// "ABORT: <message>       (<file>/<line>)" and ends the process with status 1.
[[noreturn]] void Zyl_Fatal(const char *format, ...);

// The fatal report reaches the log, then stderr (unless the console already wrote
// it there), then this hook when one is installed and log flag 0x10 is off (the
// front end installs a dialog). The hook gets the text without its two leading
// newlines; it must not return control elsewhere. Null restores the default.
typedef void (*ZylFatalHook)(const char *text);
void Zyl_SetFatalHook(ZylFatalHook hook);

#define ZYL_CHECK_PTR(p)                                                                           \
    do {                                                                                           \
        if ((p) == nullptr) {                                                                      \
            Zyl_SetSourceLocation(__FILE__, __LINE__);                                             \
            Zyl_Fatal("Pointer is NULL\n");                                                        \
        }                                                                                          \
    } while (0)

// Checks that `obj` is not null and carries `tag` (a pointer to the type name).
#define ZYL_CHECK_TAG(obj, tag)                                                                    \
    do {                                                                                           \
        ZYL_CHECK_PTR(obj);                                                                        \
        if ((obj)->Tag != (tag)) {                                                                 \
            Zyl_SetSourceLocation(__FILE__, __LINE__);                                             \
            Zyl_Fatal("Struct mismatch pointer (0x%p:%s != %s)\n", (const void *)(obj),            \
                      (obj)->Tag ? (obj)->Tag : "NULL", (tag));                                    \
        }                                                                                          \
    } while (0)

// Written over the tag of a destroyed record before its memory is released.
extern const char Zyl_DeadTag[];

// Tracked allocation. `mode` 1 is the process heap (every caller passes 1).
// Returns a zero-filled, 16-byte aligned area; never returns null (failures,
// a size of 0 or less and an exceeded limit are fatal).
void *Zyl_Alloc(int64_t size, int mode, const char *file, int line);
// Releases an area from Zyl_Alloc; size and mode must be the ones allocated with.
// A null pointer, a wrong size or damaged guard bytes are fatal. Returns null for
// the caller to store back.
void *Zyl_Free(void *pointer, int64_t size, int mode, const char *file, int line);
// Resets the counters and sets the byte limit (INT_MAX: no limit).
int Zyl_MemoryInit(int64_t limit);
// Prints the peak and leak report; returns 1.
int Zyl_MemoryRemove(void);
// Bytes between a block's start and the caller's area (block size, 4 guard bytes).
enum { ZYL_BLOCK_HEADER_SIZE = 16 };
// Checks one block (start = area - ZYL_BLOCK_HEADER_SIZE) and its guard bytes; 1 when sound,
// 0 when corrupt and `fatal` is not 1.
int Zyl_MemoryCheckBlock(int fatal, const void *blockStart, int64_t size, const char *file,
                         int line);
// 1 when the address lies between the lowest block and the highest block end ever handed out.
int Zyl_IsHeapAddress(const void *address);
// Current totals, for tests and reports.
void Zyl_MemoryGetUsage(int64_t *blocks, int64_t *bytes);

#define ZYL_ALLOC(size) Zyl_Alloc((int64_t)(size), 1, __FILE__, __LINE__)
// Frees and clears the caller's pointer.
#define ZYL_FREE(ptr, size)                                                                        \
    ((ptr) = static_cast<std::remove_reference_t<decltype(ptr)>>(                                  \
         Zyl_Free((ptr), (int64_t)(size), 1, __FILE__, __LINE__)))
// Allocates one zeroed record of type T.
#define ZYL_NEW(T) static_cast<T *>(Zyl_Alloc((int64_t)sizeof(T), 1, __FILE__, __LINE__))

// ---------------------------------------------------------------------------
// Diagnostics log
// ---------------------------------------------------------------------------

enum {
    ZYL_LOG_CONSOLE = 0x1,
    ZYL_LOG_FILE = 0x2,
    ZYL_LOG_BANNERS = 0x4,
    ZYL_LOG_APPEND = 0x8,
    ZYL_LOG_NO_MESSAGE_BOX = 0x10,
    ZYL_LOG_TIMESTAMP = 0x20,
    ZYL_LOG_DATED_NAME = 0x40,
    ZYL_LOG_ERROR_FILE = 0x80,
    ZYL_LOG_PER_THREAD = 0x100,
    ZYL_LOG_MEMORY = 0x200,
    ZYL_LOG_FORMAT_ALWAYS = 0x400,
    ZYL_LOG_NO_BEL = 0x800,
    ZYL_LOG_DEBUG_BREAK = 0x1000,
    ZYL_LOG_CHECK_ALL_BLOCKS = 0x2000,
    ZYL_LOG_MUTEX_STATS = 0x4000,
    ZYL_LOG_COMMIT_ERRORS_ONLY = 0x8000,
};

enum { ZYL_LOG_BUFFER_SIZE = 4096, ZYL_PATH_SIZE = 260 };

// First call of every program: creates the log lock and sets the log path (a
// relative name lands beside the program; a name shorter than 2 characters
// gives "debug.log") and flags. Returns 1.
int Zyl_Init(const char *logName, int flags);
int Zyl_SetLogOptions(const char *path, int flags);
int Zyl_GetLogOptions(char *buffer, int size, int *flags);
// The flag word alone, without taking the lock.
int Zyl_GetLogFlags(void);
// The callback receives each console message instead of the console.
typedef int (*ZylConsoleCallback)(const char *text);
void Zyl_SetConsoleCallback(ZylConsoleCallback callback);
int Zyl_CloseLog(void);
// Seconds since 1970 used for the log's timestamps and dated names (null: the
// system clock). Tests pin the date with it.
typedef int64_t (*ZylTimeSource)(void);
void Zyl_SetLogTimeSource(ZylTimeSource source);
void Zyl_LockLog(void);
void Zyl_UnlockLog(void);
void Zyl_CreateLogLock(void);
void Zyl_DestroyLogLock(void);
void Zyl_SetLogLockBypass(int on);

int Zyl_Print(const char *format, ...);
int Zyl_PrintIndented(int level, const char *format, ...);
int Zyl_PrintUnlocked(const char *format, ...);
int Zyl_PrintRaw(const char *text);
int Zyl_PrintSeparator(const char *title);
int Zyl_PrintHex(int showCharacters, int newline, const void *data, int length);
int Zyl_LogMessageV(int error, int indent, const char *prefix, const char *file, int line,
                    const char *format, va_list args);
int Zyl_WriteLog(const char *text, int error);

// ---------------------------------------------------------------------------
// Bounded strings and formatter
// ---------------------------------------------------------------------------

// Writes at most size - 1 characters and a NUL; returns the characters stored.
// Conversions: d i u x X o b p c s S f a, %ipv4, %hex/%HEX, %unicode. Sizes: 'l'
// reads an int (%ld %lu %lx), 'll' and 'I64' read 64-bit values (%lld %llu
// %llx %I64d %I64u %I64x), 'z' reads a size_t (%zu %zd %zx). Cast long to int64_t. An overrun is
// logged, never fatal.
int Zyl_FormatString(char *buffer, int size, const char *format, ...);
int Zyl_FormatStringV(char *buffer, int size, const char *format, va_list args);
int Zyl_AppendFormat(char *buffer, int size, const char *format, ...);
int Zyl_FormatDecimal(double value, char *buffer, int size, int grouping, int decimals, int trim);

int Zyl_StrLen(const char *text);
int Zyl_StrCopy(char *dst, const char *src, int size);
int Zyl_StrCopyUnbounded(char *dst, const char *src);
int Zyl_StrCopyUntil(char *dst, const char *src, char stop, int max);
int Zyl_StrAppend(char *dst, const char *src, int size);
int Zyl_StrAppendUnbounded(char *dst, const char *src);
int Zyl_StrUpper(char *text);
int Zyl_StrLower(char *text);
int Zyl_StrReverse(char *text);
int Zyl_StrEqual(const char *a, const char *b);
int Zyl_StrEqualNoCase(const char *a, const char *b);
int Zyl_StrEqualN(const char *a, const char *b, int n);
int Zyl_StrEqualNNoCase(const char *a, const char *b, int n);
int Zyl_StrStartsWith(const char *text, const char *prefix);
int Zyl_StrStartsWithNoCase(const char *text, const char *prefix);
int Zyl_StrEndsWith(const char *text, const char *suffix);
int Zyl_StrFindChar(const char *text, char c, int *position);
int Zyl_StrFindLastChar(const char *text, char c, int *position);
int Zyl_StrFind(const char *text, const char *part, int *position);
int Zyl_StrFindNoCase(const char *text, const char *part, int *position);
int Zyl_StrFindLast(const char *text, const char *part, int *position);
int Zyl_StrFindLastNoCase(const char *text, const char *part, int *position);
int Zyl_StrFindWordNoCase(const char *text, char separator, const char *word);
int Zyl_StrHasChar(const char *text, char c);
int Zyl_StrHasSubstring(const char *text, const char *part);

int Zyl_ParseInt64(const char *text, int64_t *value);
int Zyl_ParseDouble(const char *text, double *value);
int64_t Zyl_AtoI64(const char *text);
int Zyl_AtoI(const char *text);
double Zyl_AtoF(const char *text);
int Zyl_ParseBool(const char *text, int *value, int defaultValue);
int Zyl_ParseIPv4(const char *text, uint8_t address[4]);
// Value 0-15 of one hexadecimal digit (either case); -1 for any other character.
int Zyl_HexDigitValue(char c);
int Zyl_HexToBytes(const char *text, int textLength, uint8_t *buffer, int size, int *count);
int Zyl_BytesToHex(const void *data, int length, char *text, int size);

// ---------------------------------------------------------------------------
// Core utilities
// ---------------------------------------------------------------------------

uint32_t Zyl_Crc32(const void *data, int64_t length);
int Zyl_StrCrc32(const char *text, int mode, uint32_t *crc);
int Zyl_MemEqual(const void *a, const void *b, int64_t length);
int Zyl_MemFind(const void *data, int64_t dataLength, const void *pattern, int64_t patternLength,
                int64_t *position);

// Monotonic milliseconds as seconds (1 ms resolution).
double Zyl_GetTickSeconds(void);
// High-resolution monotonic seconds.
double Zyl_GetSeconds(void);

int Zyl_DateToMinutes(int32_t *minutes, int hour, int minute, int month, int day, int year);
int Zyl_GetLocalMinutes(int32_t *minutes);
int Zyl_MinutesToDate(int32_t minutes, int *hour, int *minute, int *month, int *day, int *year);
int Zyl_FormatDuration(double seconds, int flags, char *buffer, int size);

int Zyl_ArgCount(const char *commandLine, int *count);
int Zyl_ArgGet(const char *commandLine, int index, char *buffer, int size);
int Zyl_ArgGetOption(const char *commandLine, const char *name, char *buffer, int size);
