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

int Patcher_Log(int level, const char *format, ...) {
    ZYL_CHECK_PTR(format);
    PatcherLogCallback log = gLog.load();
    if (log == nullptr)
        return 0;
    char line[PATCHER_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(line, sizeof(line), format, args);
    va_end(args);
    return log(gContext.load(), level, line);
}

int Patcher_ReportError(int code, const char *format, ...) {
    ZYL_CHECK_PTR(format);
    PatcherErrorCallback error = gError.load();
    if (error == nullptr)
        return 0;
    char line[PATCHER_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(line, sizeof(line), format, args);
    va_end(args);
    return error(gContext.load(), code, line);
}
