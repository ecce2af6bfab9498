// The core runtime's spine: tagged-object checks and the fatal path, the tracked
// allocator, the process-wide diagnostics log, bounded strings with the system's
// own formatter, and small shared utilities (CRC-32, clocks, dates, arguments).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/zyl_formatcheck.h"

// ---------------------------------------------------------------------------
// Checks, fatal path and tracked memory
// ---------------------------------------------------------------------------

// Every record of the system starts with `const char *Tag`, the address of its
// type name. A record is of the right type when its first field holds that very
// address; the texts are never compared.

// Records file and line for the calling thread's next fatal diagnostic. The
// location is kept per thread, so no lock is taken or left held.
void Zyl_SetSourceLocation(const char *file, int line);
// Formats the message with the system's formatter, reports it as
// "ABORT: <message>       (<file>/<line>)" and ends the process with status 1.
// Callers use ZYL_FATAL, which records the location first.
[[noreturn]] void Zyl_Fatal(const char *format, ...);
#define Zyl_Fatal(...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_Fatal)(__VA_ARGS__))

// The fatal path for our own invariants and programming errors: reports the
// message with the file and line of the macro's use and ends the process.
#define ZYL_FATAL(...) ZYL_FATAL_AT(__FILE__, __LINE__, __VA_ARGS__)
// The same with a location the caller was given (allocator, pool and lock
// checks report where their own caller stands).
#define ZYL_FATAL_AT(file, line, ...)                                                              \
    do {                                                                                           \
        Zyl_SetSourceLocation((file), (line));                                                     \
        Zyl_Fatal(__VA_ARGS__);                                                                    \
    } while (0)

// The fatal report reaches the log, then stderr (unless the console already wrote
// it there), then this hook when one is installed and log flag 0x10 is off (the
// front end installs a dialog). The hook gets the text without its two leading
// newlines; it must not return control elsewhere. Null restores the default.
typedef void (*ZylFatalHook)(const char *text);
void Zyl_SetFatalHook(ZylFatalHook hook);

#define ZYL_CHECK_PTR(p)                                                                           \
    do {                                                                                           \
        if ((p) == nullptr) {                                                                      \
            ZYL_FATAL("Pointer is NULL\n");                                                        \
        }                                                                                          \
    } while (0)

// Checks that `obj` is not null and carries `tag` (a pointer to the type name).
#define ZYL_CHECK_TAG(obj, tag)                                                                    \
    do {                                                                                           \
        ZYL_CHECK_PTR(obj);                                                                        \
        if ((obj)->Tag != (tag)) {                                                                 \
            ZYL_FATAL("Struct mismatch pointer (0x%p:%s != %s)\n", (const void *)(obj),            \
                      (obj)->Tag ? (obj)->Tag : "NULL", (tag));                                    \
        }                                                                                          \
    } while (0)

// Written over the tag of a destroyed record before its memory is released.
extern const char Zyl_DeadTag[];

// Tracked allocation. `mode` 1 is the process heap; ZYL_ALLOC_UNFILLED_MODE is the
// process heap without the zero fill, for areas that are always written before
// they are read (freed with mode 1 like any other block).
// Returns a zero-filled (mode 1), 16-byte aligned area; never returns null (failures,
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

enum { ZYL_ALLOC_UNFILLED_MODE = 3 };
#define ZYL_ALLOC(size) Zyl_Alloc((int64_t)(size), 1, __FILE__, __LINE__)
// An area whose bytes are undefined until written; freed with ZYL_FREE.
#define ZYL_ALLOC_UNFILLED(size)                                                                   \
    Zyl_Alloc((int64_t)(size), ZYL_ALLOC_UNFILLED_MODE, __FILE__, __LINE__)
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
// Replaces the flag word and (when path is not null) the log path; the open log
// file is closed and reopened at the next line. Per-thread names without append
// are fatal. Returns 1.
int Zyl_SetLogOptions(const char *path, int flags);
// Copies the log path (bounded, cut when it does not fit) and the flag word.
// Returns 1.
int Zyl_GetLogOptions(char *buffer, int size, int *flags);
// The flag word alone, without taking the lock.
int Zyl_GetLogFlags(void);
// The callback receives each console message instead of the console.
typedef int (*ZylConsoleCallback)(const char *text);
void Zyl_SetConsoleCallback(ZylConsoleCallback callback);
// Closes the log file and drops the lock; a later line reopens the file in
// append mode without locking. Returns 1.
int Zyl_CloseLog(void);
// Seconds since 1970 used for the log's timestamps and dated names (null: the
// system clock). Tests pin the date with it.
typedef int64_t (*ZylTimeSource)(void);
void Zyl_SetLogTimeSource(ZylTimeSource source);
// The log lock (recursive per thread; bypassed after Zyl_CloseLog). Callers
// hold it around several lines that must stay together.
void Zyl_LockLog(void);
void Zyl_UnlockLog(void);
void Zyl_CreateLogLock(void);
void Zyl_DestroyLogLock(void);
void Zyl_SetLogLockBypass(int on);

// Log lines through the system formatter to the console and the log file as the
// flags say; nothing happens while logging is off. A line longer than the
// 4096-byte buffer is cut and noticed. Each returns 1 (a failed log write is
// reported once on stderr, never to the caller).
int Zyl_Print(const char *format, ...);
#define Zyl_Print(...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_Print)(__VA_ARGS__))
// As Zyl_Print, indented by 4 spaces per level.
int Zyl_PrintIndented(int level, const char *format, ...);
#define Zyl_PrintIndented(level, ...)                                                              \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_PrintIndented)(level, __VA_ARGS__))
// As Zyl_Print without taking the log lock (for callers that already hold it).
int Zyl_PrintUnlocked(const char *format, ...);
#define Zyl_PrintUnlocked(...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_PrintUnlocked)(__VA_ARGS__))
// The text as it is, not formatted.
int Zyl_PrintRaw(const char *text);
// A line of 79 '=' with "====[title]" at its start when title is not null.
int Zyl_PrintSeparator(const char *title);
// The bytes as upper-case hex pairs, or (showCharacters 1) as printable
// characters each followed by a blank; newline 1 ends the line.
int Zyl_PrintHex(int showCharacters, int newline, const void *data, int length);
// error 0: as Zyl_PrintIndented. error 1: "\n\n" + prefix + the text + "(file/line)",
// written to the error file too and shown by the fatal hook unless message boxes
// are off. Returns 1.
int Zyl_LogMessageV(int error, int indent, const char *prefix, const char *file, int line,
                    const char *format, va_list args);
// Writes finished text to the log targets (the caller holds the lock). Returns 1.
int Zyl_WriteLog(const char *text, int error);

// ---------------------------------------------------------------------------
// Bounded strings and formatter
// ---------------------------------------------------------------------------

// Writes at most size - 1 characters and a NUL; returns the characters stored.
// Conversions: d i u x X o b p c s S f a, %ipv4, %hex/%HEX, %unicode. Literal
// formats are checked against their arguments when the call compiles
// (core/zyl_formatcheck.h). Sizes: 'l'
// reads an int (%ld %lu %lx), 'll' and 'I64' read 64-bit values (%lld %llu
// %llx %I64d %I64u %I64x), 'z' reads a size_t (%zu %zd %zx). Cast long to int64_t. An overrun is
// logged, never fatal.
int Zyl_FormatString(char *buffer, int size, const char *format, ...);
#define Zyl_FormatString(buffer, size, ...)                                                        \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_FormatString)(buffer, size, __VA_ARGS__))
int Zyl_FormatStringV(char *buffer, int size, const char *format, va_list args);
// Formats after the text already in buffer; returns the new length.
int Zyl_AppendFormat(char *buffer, int size, const char *format, ...);
#define Zyl_AppendFormat(buffer, size, ...)                                                        \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_AppendFormat)(buffer, size, __VA_ARGS__))
// value with decimals (1-8, else none) digits after the point, grouped with the
// locale's separator when grouping is 1, trailing zeros (and a bare point)
// dropped when trim is 1. Returns 1; 0 with the text cut when it does not fit.
int Zyl_FormatDecimal(double value, char *buffer, int size, int grouping, int decimals, int trim);

// Strings are NUL-terminated; a null pointer is fatal. "NoCase" folds ASCII
// letters only. Copies and appends may overlap their source.
int Zyl_StrLen(const char *text);
// Copies src into dst of size bytes. Returns 1; 0 when src was cut to size - 1
// characters (or size < 1, dst unchanged).
int Zyl_StrCopy(char *dst, const char *src, int size);
// For callers that know dst is large enough. Returns 1.
int Zyl_StrCopyUnbounded(char *dst, const char *src);
// Copies up to max characters of src, stopping before stop or the end. Returns 1.
int Zyl_StrCopyUntil(char *dst, const char *src, char stop, int max);
// Appends src to the text in dst of size bytes. Returns 1; 0 when src was cut
// (or dst holds no NUL within size).
int Zyl_StrAppend(char *dst, const char *src, int size);
int Zyl_StrAppendUnbounded(char *dst, const char *src);
// In place; each returns 1.
int Zyl_StrUpper(char *text);
int Zyl_StrLower(char *text);
int Zyl_StrReverse(char *text);
// 1 when equal, else 0. The N forms compare at most n characters (n <= 0: 1).
int Zyl_StrEqual(const char *a, const char *b);
int Zyl_StrEqualNoCase(const char *a, const char *b);
int Zyl_StrEqualN(const char *a, const char *b, int n);
int Zyl_StrEqualNNoCase(const char *a, const char *b, int n);
// 1 when text starts or ends with the given text, else 0.
int Zyl_StrStartsWith(const char *text, const char *prefix);
int Zyl_StrStartsWithNoCase(const char *text, const char *prefix);
int Zyl_StrEndsWith(const char *text, const char *suffix);
// Searches: 1 and *position (when not null) of the first or last match; 0 and
// position 0 when there is none. A NUL character is never found.
int Zyl_StrFindChar(const char *text, char c, int *position);
int Zyl_StrFindLastChar(const char *text, char c, int *position);
int Zyl_StrFind(const char *text, const char *part, int *position);
int Zyl_StrFindNoCase(const char *text, const char *part, int *position);
int Zyl_StrFindLast(const char *text, const char *part, int *position);
int Zyl_StrFindLastNoCase(const char *text, const char *part, int *position);
// 1 when word stands in text between blanks, separators or the ends.
int Zyl_StrFindWordNoCase(const char *text, char separator, const char *word);
int Zyl_StrHasChar(const char *text, char c);
int Zyl_StrHasSubstring(const char *text, const char *part);

// Strict parses of the whole text: optional sign, then decimal digits or
// 0x-hex (ParseDouble: decimal with an optional fraction, no '+'). Return 1, or
// 0 with *value 0 when anything else is there.
int Zyl_ParseInt64(const char *text, int64_t *value);
int Zyl_ParseDouble(const char *text, double *value);
// Lenient reads of a leading number (null and junk give 0); a run of more than
// 69 number characters is logged and gives 0. AtoI keeps the low 32 bits.
int64_t Zyl_AtoI64(const char *text);
int Zyl_AtoI(const char *text);
double Zyl_AtoF(const char *text);
// 1/TRUE/YES/ON and 0/FALSE/NO/OFF in any case. Returns 1 (null or "" leave
// defaultValue); 0 with *value = defaultValue for any other word.
int Zyl_ParseBool(const char *text, int *value, int defaultValue);
// Four dotted decimal parts of 0-255. Returns 1; 0 with the address zeroed.
int Zyl_ParseIPv4(const char *text, uint8_t address[4]);
// Value 0-15 of one hexadecimal digit (either case); -1 for any other character.
int Zyl_HexDigitValue(char c);
// Hex pairs (optional "0x"; textLength -1 = up to the NUL; an odd last digit is
// ignored) into buffer. Returns 1 and *count bytes; 0 when a digit is bad or the
// bytes do not fit (*count the bytes stored so far).
int Zyl_HexToBytes(const char *text, int textLength, uint8_t *buffer, int size, int *count);
// Upper-case hex pairs and a NUL. Returns 1; 0 when cut to the pairs that fit.
int Zyl_BytesToHex(const void *data, int length, char *text, int size);

// ---------------------------------------------------------------------------
// Core utilities
// ---------------------------------------------------------------------------

// The CRC-32 zlib computes (0 for no bytes).
uint32_t Zyl_Crc32(const void *data, int64_t length);
// The CRC-32 of the bytes with ASCII letters upper-cased: Zyl_StrCrc32 mode 0
// of a text of that length.
uint32_t Zyl_Crc32NoCase(const void *data, int64_t length);
// CRC-32 of the text: as it is (mode 1) or with ASCII letters upper-cased (any
// other mode). Returns 1.
int Zyl_StrCrc32(const char *text, int mode, uint32_t *crc);
// 1 when the bytes are equal (length <= 0: 1).
int Zyl_MemEqual(const void *a, const void *b, int64_t length);
// 1 and the offset of the first occurrence of pattern; 0 and 0 when none.
int Zyl_MemFind(const void *data, int64_t dataLength, const void *pattern, int64_t patternLength,
                int64_t *position);

// Monotonic milliseconds as seconds (1 ms resolution).
double Zyl_GetTickSeconds(void);
// High-resolution monotonic seconds.
double Zyl_GetSeconds(void);
// Blocks the calling thread for the milliseconds (an interrupted sleep goes on
// for the rest); no message pumping, see Thread_Sleep for that.
void Zyl_SleepMilliseconds(int milliseconds);

// Dates as minutes since 1 January 1970 (month 0-11, year since 1900, as in
// struct tm). DateToMinutes returns 1; 0 and 0 minutes for a month outside 0-11.
int Zyl_DateToMinutes(int32_t *minutes, int hour, int minute, int month, int day, int year);
// The local time now, in minutes as above. Returns 1.
int Zyl_GetLocalMinutes(int32_t *minutes);
// The reverse of Zyl_DateToMinutes. Returns 1.
int Zyl_MinutesToDate(int32_t minutes, int *hour, int *minute, int *month, int *day, int *year);
// Text such as "2 days 3 hours" for a duration; the flags choose the units
// (0x4 weeks ... 0x80 milliseconds) and the word forms. Returns 1 with the text
// cut to size; 0 when size < 1.
int Zyl_FormatDuration(double seconds, int flags, char *buffer, int size);

// Command lines: arguments split at blanks, '"' quotes, '""' inside quotes is one
// '"'. ArgCount returns 1 and at least 1. ArgGet copies argument index: 1, or 0
// with "" when there is no such argument, or 0 with the text cut (logged) when it
// does not fit. ArgGetOption copies the argument after "-name" or "/name"
// (case-blind) the same way; 0 with "" when the option is not there.
int Zyl_ArgCount(const char *commandLine, int *count);
int Zyl_ArgGet(const char *commandLine, int index, char *buffer, int size);
int Zyl_ArgGetOption(const char *commandLine, const char *name, char *buffer, int size);
// 1 when word (ignoring case) occurs in text directly after '-' or '/' and is
// followed by a blank or the end of the text; else 0.
int Zyl_HasSwitch(const char *text, const char *word);
// ORs into *flags (zeroed first) the log flags of every option word present in
// the command line: debug, perthread, unique, window, cachewrites, timestamp,
// append, externalprint. Returns 1.
int Zyl_ParseLogOptions(int *flags, const char *commandLine);
