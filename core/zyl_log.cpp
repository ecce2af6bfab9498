// The process-wide diagnostics log: the recursive log lock, the flag word, the
// console and file writers (one write() per message, error lines fsynced) and the
// fatal path. Messages are formatted on the caller's stack, outside the lock.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/zyl.h"
#include "platform/fileio.h"

namespace {

const char kVersion[] = "0.51";

pthread_mutex_t g_logLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
std::atomic<int> g_lockExists{0};
std::atomic<int> g_bypass{0};
std::atomic<int> g_flags{0};
std::atomic<pid_t> g_startThread{0};
std::atomic<ZylConsoleCallback> g_console{nullptr};
std::atomic<ZylFatalHook> g_fatalHook{nullptr};
std::atomic<ZylTimeSource> g_timeSource{nullptr};

// Guarded by the log lock.
char g_logPath[ZYL_PATH_SIZE + 1] = "debug.log";
char g_openPath[ZYL_PATH_SIZE + 32] = "";
// The last path opened with truncation: re-opening it (after the error file took
// the descriptor) appends, so an error line never wipes the main log.
char g_truncatedPath[ZYL_PATH_SIZE + 32] = "";
int g_fd = -1;
int g_openFailReported = 0;

// Recorded by Zyl_SetSourceLocation (through ZYL_FATAL) for the next diagnostic of
// the same thread. Per thread, so a check needs no lock to keep its location and
// no thread can hold the log by forgetting the print that follows a location.
thread_local const char *t_file = nullptr;
thread_local int t_line = 0;

pid_t CurrentThreadId() {
    return (pid_t)syscall(SYS_gettid);
}

// 0 when every byte was written, else the errno of the failed write.
int WriteAll(int fd, const char *text, size_t length) {
    return FileIo_WriteAll(fd, text, (int64_t)length, nullptr);
}

// Index of the extension's '.' in the path's last component, or -1.
int ExtensionDot(const char *path) {
    int dot = -1;
    for (int i = 0; path[i]; i++) {
        if (path[i] == '.')
            dot = i;
        else if (path[i] == '/' || path[i] == '\\')
            dot = -1;
    }
    return dot;
}

void FormatTimestamp(const struct tm *t, char *out, int size) {
    Zyl_FormatString(out, size, "%.2d/%.2d/%.4d %.2d:%.2d:%.2d ", t->tm_mon + 1, t->tm_mday,
                     t->tm_year + 1900, t->tm_hour, t->tm_min, t->tm_sec);
}

// The file an ordinary line goes to: the log path, dated and per-thread as asked.
void MainTarget(int flags, const struct tm *t, char *out, int size) {
    char base[ZYL_PATH_SIZE + 1];
    char ext[18] = "log";
    Zyl_StrCopy(base, g_logPath, sizeof(base));
    int dot = ExtensionDot(base);
    if (dot >= 0) {
        Zyl_StrCopy(ext, base + dot + 1, sizeof(ext));
        base[dot] = 0;
    }
    if (flags & ZYL_LOG_DATED_NAME) {
        int year = t->tm_year > 100 ? t->tm_year - 100 : t->tm_year;
        Zyl_AppendFormat(base, sizeof(base), "-%.2d%.2d%.2d", t->tm_mon + 1, t->tm_mday, year);
    }
    if ((flags & ZYL_LOG_PER_THREAD) && CurrentThreadId() != g_startThread.load())
        Zyl_AppendFormat(base, sizeof(base), "-%d", (int)CurrentThreadId());
    if (dot < 0 && !(flags & (ZYL_LOG_DATED_NAME | ZYL_LOG_PER_THREAD)))
        Zyl_StrCopy(out, g_logPath, size);
    else
        Zyl_FormatString(out, size, "%s.%s", base, ext);
}

// The error file: the log path with the extension "err", or "error.log" beside it.
void ErrorTarget(char *out, int size) {
    Zyl_StrCopy(out, g_logPath, size);
    int dot = ExtensionDot(out);
    if (dot >= 0) {
        out[dot] = 0;
        Zyl_StrAppend(out, ".err", size);
        return;
    }
    int slash = -1;
    for (int i = 0; out[i]; i++)
        if (out[i] == '/' || out[i] == '\\')
            slash = i;
    out[slash + 1] = 0;
    Zyl_StrAppend(out, "error.log", size);
}

// Makes g_fd the open descriptor of target; 1 when it is open.
int OpenTarget(const char *target, int append, const char *text) {
    if (g_fd >= 0 && strcmp(target, g_openPath) == 0)
        return 1;
    if (g_fd >= 0)
        close(g_fd);
    g_fd = -1;
    Zyl_StrCopy(g_openPath, target, sizeof(g_openPath));
    int truncate = !append && strcmp(target, g_truncatedPath) != 0;
    int mode = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    int fd;
    do {
        fd = open(target, mode, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Reported once until a write succeeds again, not once per line.
        if (!g_openFailReported) {
            g_openFailReported = 1;
            char report[ZYL_LOG_BUFFER_SIZE];
            Zyl_FormatString(report, sizeof(report),
                             "Unable to create log file [%s] due to error [%d]\n -- String [%s]\n",
                             target, errno, text);
            (void)WriteAll(2, report, strlen(report));
        }
        g_openPath[0] = 0;
        return 0;
    }
    if (truncate)
        Zyl_StrCopy(g_truncatedPath, target, sizeof(g_truncatedPath));
    g_fd = fd;
    return 1;
}

void WriteConsole(int flags, const char *text) {
    ZylConsoleCallback callback = g_console.load();
    if (callback) {
        if (flags & (ZYL_LOG_CONSOLE | ZYL_LOG_FORMAT_ALWAYS))
            callback(text);
        return;
    }
    if (!(flags & ZYL_LOG_CONSOLE))
        return;
    if ((flags & ZYL_LOG_PER_THREAD) && CurrentThreadId() != g_startThread.load())
        return;
    (void)WriteAll(2, text, strlen(text));
}

void WriteFile(int flags, const char *text, int error) {
    int toErrorFile = error && (flags & ZYL_LOG_ERROR_FILE);
    if (!(flags & ZYL_LOG_FILE) && !toErrorFile)
        return;
    struct tm now;
    memset(&now, 0, sizeof(now));
    if (flags & (ZYL_LOG_TIMESTAMP | ZYL_LOG_DATED_NAME) || toErrorFile) {
        ZylTimeSource source = g_timeSource.load();
        time_t seconds = source ? (time_t)source() : time(nullptr);
        localtime_r(&seconds, &now);
    }
    char stamp[64] = "";
    if ((flags & ZYL_LOG_TIMESTAMP) || toErrorFile)
        FormatTimestamp(&now, stamp, sizeof(stamp));
    char target[ZYL_PATH_SIZE + 32];
    if (toErrorFile)
        ErrorTarget(target, sizeof(target));
    else
        MainTarget(flags, &now, target, sizeof(target));
    int append = (flags & ZYL_LOG_APPEND) || toErrorFile;
    if (!OpenTarget(target, append, text))
        return;
    int failure = stamp[0] ? WriteAll(g_fd, stamp, strlen(stamp)) : 0;
    if (!failure)
        failure = WriteAll(g_fd, text, strlen(text));
    if (!failure) {
        g_openFailReported = 0;
        if (error)
            fsync(g_fd);
        return;
    }
    // A full disk or a lost device: said once until a write succeeds again.
    if (!g_openFailReported) {
        g_openFailReported = 1;
        char report[ZYL_PATH_SIZE + 96];
        Zyl_FormatString(report, sizeof(report),
                         "Unable to write log file [%s] due to error [%d]\n", target, failure);
        WriteAll(2, report, strlen(report));
    }
}

int LoggingOn(int flags) {
    return flags & (ZYL_LOG_CONSOLE | ZYL_LOG_FILE | ZYL_LOG_FORMAT_ALWAYS);
}

// Formats into a stack buffer and writes it; the lock is taken only for the write.
int PrintV(int indent, int locked, const char *format, va_list args) {
    char text[ZYL_LOG_BUFFER_SIZE];
    int start = 0;
    if (indent > 0) {
        start = indent * 4 > 2048 ? 2048 : indent * 4;
        memset(text, ' ', (size_t)start);
    }
    text[start] = 0;
    int length = start + Zyl_FormatStringV(text + start, (int)sizeof(text) - start, format, args);
    if (locked)
        Zyl_LockLog();
    Zyl_WriteLog(text, 0);
    if (length > ZYL_LOG_BUFFER_SIZE - 10)
        Zyl_WriteLog("\n\n***** Last string too large for debug buffer\n\n", 0);
    if (locked)
        Zyl_UnlockLog();
    return 1;
}

void DefaultFatalReport(int flags, const char *text) {
    // The console already wrote the text to stderr when it is on without a callback.
    int consoleShown = (flags & ZYL_LOG_CONSOLE) && !g_console.load();
    if (!consoleShown)
        WriteAll(2, text, strlen(text));
}

} // namespace

// Takes held by this thread. An unlock matches a take that really happened, so a
// bypass switched on while a thread is inside the log cannot leave the lock held.
static thread_local int t_logDepth = 0;

void Zyl_LockLog(void) {
    if (g_bypass.load(std::memory_order_relaxed))
        return;
    pthread_mutex_lock(&g_logLock);
    t_logDepth++;
}

void Zyl_UnlockLog(void) {
    if (t_logDepth == 0)
        return;
    t_logDepth--;
    pthread_mutex_unlock(&g_logLock);
}

void Zyl_CreateLogLock(void) {
    g_bypass.store(0);
    g_lockExists.store(1);
}

void Zyl_DestroyLogLock(void) {
    g_lockExists.store(0);
    Zyl_SetLogLockBypass(1);
}

void Zyl_SetLogLockBypass(int on) {
    on = on ? 1 : 0;
    if (g_bypass.load() == on)
        return;
    pthread_mutex_lock(&g_logLock);
    g_bypass.store(on);
    pthread_mutex_unlock(&g_logLock);
}

void Zyl_SetSourceLocation(const char *file, int line) {
    t_file = file;
    t_line = line;
}

void Zyl_SetFatalHook(ZylFatalHook hook) {
    g_fatalHook.store(hook);
}

void Zyl_SetConsoleCallback(ZylConsoleCallback callback) {
    g_console.store(callback);
}

void Zyl_SetLogTimeSource(ZylTimeSource source) {
    g_timeSource.store(source);
}

int Zyl_Init(const char *logName, int flags) {
    g_startThread.store(CurrentThreadId());
    if (g_lockExists.load()) {
        ZYL_FATAL("Rizozed already initialized\n");
    }
    Zyl_CreateLogLock();
    Zyl_GetSeconds(); // starts the high-resolution clock
    char path[ZYL_PATH_SIZE + 1] = "";
    const char *name = logName ? logName : "";
    if (name[0] == '/' || name[0] == '\\' || (name[0] && name[1] == ':')) {
        Zyl_StrCopy(path, name, sizeof(path));
    } else {
        char self[ZYL_PATH_SIZE + 1];
        ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        self[n > 0 ? n : 0] = 0;
        int slash = -1;
        for (int i = 0; self[i]; i++)
            if (self[i] == '/')
                slash = i;
        self[slash + 1] = 0;
        Zyl_StrCopy(path, self, sizeof(path));
        Zyl_StrAppend(path, Zyl_StrLen(name) < 2 ? "debug.log" : name, sizeof(path));
    }
    return Zyl_SetLogOptions(path, flags);
}

int Zyl_SetLogOptions(const char *path, int flags) {
    Zyl_LockLog();
    g_flags.store(flags);
    if (path)
        Zyl_StrCopy(g_logPath, path, sizeof(g_logPath));
    if ((flags & ZYL_LOG_PER_THREAD) && !(flags & ZYL_LOG_APPEND)) {
        ZYL_FATAL("Threaded logging requires append to be on\n");
    }
    if (g_fd >= 0)
        close(g_fd);
    g_fd = -1;
    g_openPath[0] = 0;
    Zyl_UnlockLog();
    if (flags & ZYL_LOG_BANNERS)
        Zyl_Print("RizOzed v%s\n", kVersion);
    return 1;
}

int Zyl_GetLogOptions(char *buffer, int size, int *flags) {
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(flags);
    Zyl_LockLog();
    Zyl_StrCopy(buffer, g_logPath, size);
    *flags = g_flags.load();
    Zyl_UnlockLog();
    return 1;
}

int Zyl_GetLogFlags(void) {
    return g_flags.load(std::memory_order_relaxed);
}

int Zyl_CloseLog(void) {
    Zyl_LockLog();
    if (g_fd >= 0)
        close(g_fd);
    g_fd = -1;
    g_openPath[0] = 0;
    g_flags.fetch_or(ZYL_LOG_APPEND);
    Zyl_UnlockLog();
    Zyl_DestroyLogLock();
    return 1;
}

int Zyl_WriteLog(const char *text, int error) {
    int flags = g_flags.load(std::memory_order_relaxed);
    char cleaned[ZYL_LOG_BUFFER_SIZE * 2];
    if ((flags & ZYL_LOG_NO_BEL) && strchr(text, 7)) {
        Zyl_StrCopy(cleaned, text, sizeof(cleaned));
        for (char *p = cleaned; *p; p++)
            if (*p == 7)
                *p = ' ';
        text = cleaned;
    }
    WriteConsole(flags, text);
    WriteFile(flags, text, error);
    return 1;
}

int Zyl_LogMessageV(int error, int indent, const char *prefix, const char *file, int line,
                    const char *format, va_list args) {
    if (!error)
        return PrintV(indent, 1, format, args);
    char text[ZYL_LOG_BUFFER_SIZE];
    int length = Zyl_FormatString(text, sizeof(text), "\n\n%s", prefix ? prefix : "");
    Zyl_FormatStringV(text + length, (int)sizeof(text) - length, format, args);
    Zyl_AppendFormat(text, sizeof(text), "       (%s/%d)\n", file ? file : "Unknown", line);
    Zyl_LockLog();
    Zyl_WriteLog(text, 1);
    int flags = g_flags.load();
    ZylFatalHook hook = g_fatalHook.load();
    if (hook && !(flags & ZYL_LOG_NO_MESSAGE_BOX))
        hook(text + 2);
    Zyl_UnlockLog();
    return 1;
}

int(Zyl_Print)(const char *format, ...) {
    if (LoggingOn(g_flags.load(std::memory_order_relaxed))) {
        va_list args;
        va_start(args, format);
        PrintV(0, 1, format, args);
        va_end(args);
    }
    return 1;
}

int(Zyl_PrintIndented)(int level, const char *format, ...) {
    if (LoggingOn(g_flags.load(std::memory_order_relaxed))) {
        va_list args;
        va_start(args, format);
        PrintV(level, 1, format, args);
        va_end(args);
    }
    return 1;
}

int(Zyl_PrintUnlocked)(const char *format, ...) {
    if (LoggingOn(g_flags.load(std::memory_order_relaxed))) {
        va_list args;
        va_start(args, format);
        PrintV(0, 0, format, args);
        va_end(args);
    }
    return 1;
}

int Zyl_PrintRaw(const char *text) {
    if (text && g_flags.load(std::memory_order_relaxed) != 0) {
        Zyl_LockLog();
        Zyl_WriteLog(text, 0);
        Zyl_UnlockLog();
    }
    return 1;
}

int Zyl_PrintSeparator(const char *title) {
    if (g_flags.load(std::memory_order_relaxed) == 0)
        return 1;
    char line[81];
    int n = 0;
    if (title) {
        memcpy(line, "====[", 5);
        n = 5;
        for (int i = 0; title[i] && n < 79; i++)
            line[n++] = title[i];
        if (n < 79)
            line[n++] = ']';
    }
    while (n < 79)
        line[n++] = '=';
    line[79] = '\n';
    line[80] = 0;
    return Zyl_PrintRaw(line);
}

int Zyl_PrintHex(int showCharacters, int newline, const void *data, int length) {
    if (!LoggingOn(g_flags.load(std::memory_order_relaxed)) || length <= 0)
        return 1;
    ZYL_CHECK_PTR(data);
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    char text[ZYL_LOG_BUFFER_SIZE];
    int shown = length;
    Zyl_LockLog();
    if (showCharacters == 1) {
        int n = 0;
        shown = 0;
        while (shown < length && n + 2 < ZYL_LOG_BUFFER_SIZE - 5) {
            uint8_t c = bytes[shown++];
            text[n++] = (c < 32 || c > 126) ? ' ' : (char)c;
            text[n++] = ' ';
        }
        if (shown < length) {
            memcpy(text + n, "...", 3);
            n += 3;
        }
        if (newline == 1)
            text[n++] = '\n';
        text[n] = 0;
        Zyl_WriteLog(text, 0);
    }
    if (shown > 2047)
        shown = 2047;
    Zyl_BytesToHex(bytes, shown, text, ZYL_LOG_BUFFER_SIZE - 1);
    if (newline == 1)
        Zyl_StrAppend(text, "\n", sizeof(text));
    Zyl_WriteLog(text, 0);
    Zyl_UnlockLog();
    return 1;
}

[[noreturn]] void(Zyl_Fatal)(const char *format, ...) {
    // Another thread stuck inside the log must not keep the process alive.
    struct timespec limit;
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 2;
    int locked = !g_bypass.load() && pthread_mutex_timedlock(&g_logLock, &limit) == 0;
    if (locked)
        t_logDepth++;
    char text[ZYL_LOG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int length = Zyl_FormatString(text, sizeof(text), "\n\nABORT: ");
    Zyl_FormatStringV(text + length, (int)sizeof(text) - length, format, args);
    va_end(args);
    Zyl_AppendFormat(text, sizeof(text), "       (%s/%d)\n", t_file ? t_file : "Unknown", t_line);
    int flags = g_flags.load();
    Zyl_WriteLog(text, 1);
    DefaultFatalReport(flags, text + 2);
    ZylFatalHook hook = g_fatalHook.load();
    if (hook && !(flags & ZYL_LOG_NO_MESSAGE_BOX))
        hook(text + 2);
    if (locked)
        Zyl_UnlockLog();
    if (flags & ZYL_LOG_DEBUG_BREAK)
        raise(SIGTRAP);
    _exit(1);
}

int Zyl_ParseLogOptions(int *flags, const char *commandLine) {
    ZYL_CHECK_PTR(flags);
    ZYL_CHECK_PTR(commandLine);
    static const struct {
        const char *Word;
        int Flags;
    } kOptions[] = {
        {"debug", 0x6},          {"perthread", 0x108}, {"unique", 0x4E}, {"window", 0x1},
        {"cachewrites", 0x8000}, {"timestamp", 0x20},  {"append", 0x8},  {"externalprint", 0x400},
    };
    *flags = 0;
    for (const auto &option : kOptions) {
        if (Zyl_HasSwitch(commandLine, option.Word))
            *flags |= option.Flags;
    }
    return 1;
}
