// Routes the patch engine's log lines and coded errors to the receivers the
// library facade installs (queued as LOG and ERROR events there).
#include "patcher/patcherlog.h"

#include "core/zyl.h"

#include <atomic>

static std::atomic<void *> gContext{nullptr};
static std::atomic<PatcherLogCallback> gLog{nullptr};
static std::atomic<PatcherErrorCallback> gError{nullptr};

int Patcher_SetLogCallbacks(void *context, PatcherLogCallback log, PatcherErrorCallback error) {
    gContext.store(context);
    gLog.store(log);
    gError.store(error);
    return 1;
}

// Formats one line and hands it to the receiver, when there is one.
static int Patcher_InternalDeliver(int (*receiver)(void *, int, const char *), int value,
                                   const char *format, va_list args) {
    ZYL_CHECK_PTR(format);
    if (receiver == nullptr)
        return 0;
    char line[PATCHER_LOG_LINE_SIZE];
    Zyl_FormatStringV(line, sizeof(line), format, args);
    return receiver(gContext.load(), value, line);
}

int Patcher_LogV(int level, const char *format, va_list args) {
    return Patcher_InternalDeliver(gLog.load(), level, format, args);
}

int(Patcher_Log)(int level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int result = Patcher_LogV(level, format, args);
    va_end(args);
    return result;
}

int(Patcher_ReportError)(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int result = Patcher_InternalDeliver(gError.load(), code, format, args);
    va_end(args);
    return result;
}
