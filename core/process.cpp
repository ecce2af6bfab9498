// Launching programs: the command line "\"program\" arguments" is split by the
// system's own quoting rules into an argument vector (no shell), started with
// posix_spawn, and optionally waited for in 1000 ms steps that honour a stop flag.
#include "core/process.h"

#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/strhlpr.h"
#include "core/zyl.h"
#include "platform/createprocess.h"
#include "platform/psapi.h"

enum {
    kWaitStepMs = 1000,
    kTextSize = PROCESS_COMMAND_LINE_MAX + 1,
    kMaxArguments = kTextSize / 2 + 1, // each argument takes a character and a blank
    kFolderSize = 4096,
};

// Splits commandLine into argv (pointers into pool). 1, or 0 when it cannot.
static int WinProcessHelper_Split(const char *commandLine, char *pool, int poolSize, char **argv) {
    int count = 0;
    if (!Zyl_ArgCount(commandLine, &count) || count < 1 || count >= kMaxArguments)
        return 0;
    int used = 0;
    for (int i = 0; i < count; i++) {
        if (!Zyl_ArgGet(commandLine, i, pool + used, poolSize - used))
            return 0;
        argv[i] = pool + used;
        used += Zyl_StrLen(pool + used) + 1;
    }
    argv[count] = nullptr;
    return 1;
}

// Waits in steps until the child ends or *stop turns non-zero. 1 with the exit
// code, 0 when stopped (the child is left running and reaped when it ends).
static int WinProcessHelper_Wait(int pid, const StopFlag *stop, int *exitCode) {
    while (stop == nullptr || StopFlag_Test(stop) == 0) {
        int code = -1;
        int result = CreateProcess_Wait(pid, kWaitStepMs, &code);
        if (result == 1) {
            if (exitCode != nullptr)
                *exitCode = code;
            return 1;
        }
        if (result < 0) {
            char text[256];
            Zyl_GetErrorText(text, sizeof(text));
            Zyl_Print("WinProcessHelper_Wait(%d) fails with error '%s'\n", pid, text);
            return 0;
        }
    }
    CreateProcess_Abandon(pid);
    return 0;
}

int WinProcessHelper_Launch(int show, const char *program, const char *arguments,
                            const char *workingDirectory, int wait, const StopFlag *stop,
                            int *exitCode) {
    (void)show; // no windows to show or hide here
    ZYL_CHECK_PTR(program);
    if (exitCode != nullptr)
        *exitCode = -1;
    char path[kTextSize];
    char folder[kFolderSize] = "";
    char commandLine[kTextSize];
    if (!Zyl_StrCopy(path, program, sizeof(path)) ||
        (workingDirectory != nullptr && !Zyl_StrCopy(folder, workingDirectory, sizeof(folder)))) {
        Zyl_Print("WinProcessHelper_Launch(%s) program or folder too long\n", program);
        return 0;
    }
    StrHlpr_RemoveQuotes(path);
    StrHlpr_RemoveQuotes(folder);
    const char *args = arguments != nullptr ? arguments : "";
    // Refused rather than cut: a cut command line would run something else.
    if (Zyl_StrLen(path) + Zyl_StrLen(args) + 3 > PROCESS_COMMAND_LINE_MAX) {
        Zyl_Print("WinProcessHelper_Launch(%s) command line too long\n", path);
        return 0;
    }
    Zyl_FormatString(commandLine, sizeof(commandLine), "\"%s\" %s", path, args);
    char pool[2 * kTextSize];
    char *argv[kMaxArguments + 1];
    if (!WinProcessHelper_Split(commandLine, pool, sizeof(pool), argv)) {
        Zyl_Print("WinProcessHelper_Launch(%s) unable to split [%s]\n", path, commandLine);
        return 0;
    }
    int pid = -1;
    int error = CreateProcess_Spawn(argv, folder, 1, &pid);
    if (error != 0) {
        char text[256];
        Zyl_GetErrorTextFor(error, text, sizeof(text));
        Zyl_Print("WinProcessHelper_Launch(%s) fails with error '%s'\n", path, text);
        return 0;
    }
    if (!wait) {
        CreateProcess_Abandon(pid);
        return 1;
    }
    return WinProcessHelper_Wait(pid, stop, exitCode);
}

int WinProcessHelper_LaunchHidden(const char *arguments, const char *program) {
    return WinProcessHelper_Launch(0, program, arguments, nullptr, 0, nullptr, nullptr);
}

int WinProcessHelper_LaunchShown(const char *program, const char *arguments) {
    return WinProcessHelper_Launch(1, program, arguments, nullptr, 0, nullptr, nullptr);
}

int WinProcessHelper_LaunchWait(int *exitCode, const char *workingDirectory, const StopFlag *stop,
                                const char *program, const char *arguments, int show) {
    ZYL_CHECK_PTR(exitCode);
    const char *folder =
        (workingDirectory != nullptr && workingDirectory[0] != 0) ? workingDirectory : nullptr;
    int result = WinProcessHelper_Launch(show, program, arguments, folder, 1, stop, exitCode);
    if (!result)
        *exitCode = -1;
    return result;
}

int WinProcessHelper_FindProcess(const char *path, int *pid) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(pid);
    *pid = 0;
    char name[kTextSize];
    if (!Zyl_GetFileName(path, name, sizeof(name), 0) || name[0] == 0)
        return 0;
    return Psapi_FindByName(name, pid);
}

int WinProcessHelper_IsRunning(const char *path) {
    int pid = 0;
    return WinProcessHelper_FindProcess(path, &pid);
}
