// The library facade: process-wide start-up flags, the forwarding of the front
// end's requests to the one Patcher, and the start of the self-updater.
#include "patcher/launcherlib.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/oshelper.h"
#include "core/process.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "patcher/patcherlog.h"
#include "platform/fileio.h"
#include "platform/psapi.h"
#include "platform/shfolder.h"

#include <sys/stat.h>

const char LauncherLib_Version[] = "2.0.8.5";
const char LauncherLib_UpdaterName[] = "upkeep";
const char LauncherLib_UpdaterCopyName[] = "upkeep_tmp";

enum { LAUNCHERLIB_COMMAND_SIZE = 1024, LAUNCHERLIB_COPY_BLOCK = 65536 };

// Written only by Initialize and Shutdown on the front end's thread.
static struct {
    int Initialized;
    Patcher *Engine;
} gLauncherLib;
static int gVexilLib;
static int gPatcherLibDecode;

#define LAUNCHERLIB_GUARD()                                                                        \
    do {                                                                                           \
        if (gLauncherLib.Initialized != 1)                                                         \
            ZYL_FATAL("Assertion failed (LauncherLib.Initialized == TRUE)\n"                       \
                      "LauncherLib not initialized\n");                                            \
    } while (0)

// The Alert log's lines through the core log, marked by their kind.
static void LauncherLib_InternalPrintAlert(int kind, int level, const char *text) {
    (void)level;
    if (kind == ALERT_KIND_NOTICE)
        Zyl_Print("++++ %s\n", text);
    else if (kind == ALERT_KIND_ERROR)
        Zyl_Print("**** %s\n", text);
    else
        Zyl_Print("%s\n", text);
}

int VexilLib_DebugOutputSink(const char *text) {
    ZYL_CHECK_PTR(text);
    int64_t written = 0;
    FileIo_WriteAll(2, text, Zyl_StrLen(text), &written);
    return 1;
}

int VexilLib_Initialize(void) {
    if (gVexilLib != 0)
        ZYL_FATAL("Assertion failed (VexilLib.Initialized == FALSE)\n"
                  "LauncherLib previously initialized\n");
    Zyl_Init("launcher.lib.developer.log", ZYL_LOG_TIMESTAMP | ZYL_LOG_FORMAT_ALWAYS);
    Zyl_SetConsoleCallback(VexilLib_DebugOutputSink);
    Zyl_MemoryInit(0x7FFFFFFF);
    Alert_Create();
    Thread_Init();
    const PatcherClientOperations *operations = PatcherClient_GetOperations();
    if (operations != nullptr && operations->Startup != nullptr)
        operations->Startup();
    gVexilLib = 1;
    return 1;
}

int VexilLib_Shutdown(void) {
    if (gVexilLib != 1)
        return 1;
    gVexilLib = 0;
    const PatcherClientOperations *operations = PatcherClient_GetOperations();
    if (operations != nullptr && operations->Shutdown != nullptr)
        operations->Shutdown();
    Thread_Remove();
    Alert_Destroy();
    Zyl_MemoryRemove();
    Zyl_SetConsoleCallback(nullptr);
    Zyl_CloseLog();
    return 1;
}

int PatcherLibDecode_Initialize(void) {
    if (gPatcherLibDecode != 0)
        ZYL_FATAL("Assertion failed (PatcherLibDecode.Initialized == FALSE)\n"
                  "PatcherLibDecode previously initialized\n");
    gPatcherLibDecode = 1;
    return 1;
}

int PatcherLibDecode_Shutdown(void) {
    if (gPatcherLibDecode != 1)
        ZYL_FATAL("Assertion failed (PatcherLibDecode.Initialized == TRUE)\n"
                  "PatcherLibDecode not initialized\n");
    gPatcherLibDecode = 0;
    return 1;
}

int LauncherLib_Initialize(const char *registryPath, const PatcherOptions *options,
                           const char *settingsUrl) {
    if (gLauncherLib.Initialized != 0)
        ZYL_FATAL("Assertion failed (LauncherLib.Initialized == FALSE)\n"
                  "LauncherLib previously initialized\n");
    ZYL_CHECK_PTR(registryPath);
    ZYL_CHECK_PTR(settingsUrl);
    VexilLib_Initialize();
    Patcher_ReadDebugOptions(registryPath);
    Alert_SetPrinter(LauncherLib_InternalPrintAlert);
    PatcherLibDecode_Initialize();
    Notification_Initialize();
    if (Patcher_Create(&gLauncherLib.Engine, registryPath, settingsUrl, options) != 1) {
        Notification_Shutdown();
        PatcherLibDecode_Shutdown();
        VexilLib_Shutdown();
        return 0;
    }
    Patcher_SetLaunchUpdaterCallback(gLauncherLib.Engine, LauncherLib_LaunchUpdater);
    Patcher_Log(PATCHER_LOG_INFO, "Vexil LauncherLib [%s] initializing...", LauncherLib_Version);
    gLauncherLib.Initialized = 1;
    return 1;
}

int LauncherLib_Shutdown(void) {
    if (gLauncherLib.Initialized != 1)
        return 1;
    gLauncherLib.Initialized = 0;
    int stopped = Patcher_Destroy(&gLauncherLib.Engine);
    Zyl_Print("Vexil LauncherLib exiting...\n");
    // A Patcher thread that did not end may still report: its record stays.
    if (stopped == 1)
        Notification_Shutdown();
    PatcherLibDecode_Shutdown();
    VexilLib_Shutdown();
    return 1;
}

int LauncherLib_IsInitialized(void) {
    return gLauncherLib.Initialized;
}

Patcher *LauncherLib_GetPatcher(void) {
    return gLauncherLib.Initialized == 1 ? gLauncherLib.Engine : nullptr;
}

int LauncherLib_CheckSingleInstance(const char *name) {
    ZYL_CHECK_PTR(name);
    return Zyl_LockSingleInstance(name, nullptr, nullptr, 0, 1, 0);
}

int(LauncherLib_Log)(int level, const char *format, ...) {
    LAUNCHERLIB_GUARD();
    va_list args;
    va_start(args, format);
    int result = Patcher_LogV(level, format, args);
    va_end(args);
    return result;
}

int(LauncherLib_ReportError)(int code, const char *format, ...) {
    LAUNCHERLIB_GUARD();
    ZYL_CHECK_PTR(format);
    char line[PATCHER_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(line, sizeof(line), format, args);
    va_end(args);
    return Patcher_ReportError(code, "%s", line);
}

int LauncherLib_ProcessEvents(void) {
    LAUNCHERLIB_GUARD();
    Patcher_ProcessEvents(gLauncherLib.Engine);
    return 1;
}

int LauncherLib_AddPackage(const char *name, const char *url, const char *path,
                           const PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_AddPackage(gLauncherLib.Engine, 1, name, url, path, options);
}

int LauncherLib_RemovePackage(const char *name) {
    LAUNCHERLIB_GUARD();
    return Patcher_RemovePackage(gLauncherLib.Engine, 1, name);
}

int LauncherLib_InitPatcherOptions(PatcherOptions *options) {
    return Patcher_InitOptions(options);
}

int LauncherLib_SetPatcherOptions(const PatcherOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetOptions(gLauncherLib.Engine, options);
}

int LauncherLib_InitPackageOptions(PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_InitPackageOptions(options);
}

int LauncherLib_GetPackageOptions(const char *name, PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_GetPackageOptions(options, gLauncherLib.Engine, name);
}

int LauncherLib_SetPackageOptions(const char *name, const PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetPackageOptions(options, gLauncherLib.Engine, 1, name);
}

int LauncherLib_GetPackageActive(const char *name, int32_t *active) {
    LAUNCHERLIB_GUARD();
    return Patcher_GetPackageActive(name, 1, active, gLauncherLib.Engine);
}

int LauncherLib_SetPackageActive(const char *name, int active) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetPackageActive(gLauncherLib.Engine, 1, name, active);
}

int LauncherLib_AddPackageList(const char *name, const char *url, const PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_AddPackageList(gLauncherLib.Engine, name, url, options);
}

int LauncherLib_RemovePackageList(const char *name) {
    LAUNCHERLIB_GUARD();
    return Patcher_RemovePackageList(name, gLauncherLib.Engine);
}

int LauncherLib_GetPackageListOptions(const char *name, PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_GetPackageListOptions(name, options, gLauncherLib.Engine);
}

int LauncherLib_SetPackageListOptions(const char *name, const PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetPackageListOptions(name, gLauncherLib.Engine, options);
}

int LauncherLib_GetPackageListActive(const char *name, int32_t *active) {
    LAUNCHERLIB_GUARD();
    return Patcher_GetPackageListActive(name, active, gLauncherLib.Engine);
}

int LauncherLib_SetPackageListActive(const char *name, int active) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetPackageListActive(name, gLauncherLib.Engine, active);
}

int LauncherLib_AddDownload(const char *name, const char *metafile, const char *outputPath,
                            const char *skinSource, const PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_AddDownload(gLauncherLib.Engine, name, metafile, outputPath, skinSource,
                               options);
}

int LauncherLib_RemoveDownload(const char *name) {
    LAUNCHERLIB_GUARD();
    return Patcher_RemoveDownload(name, gLauncherLib.Engine);
}

int LauncherLib_GetDownloadOptions(const char *name, PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_GetDownloadOptions(name, options, gLauncherLib.Engine);
}

int LauncherLib_SetDownloadOptions(const char *name, const PackageOptions *options) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetDownloadOptions(name, gLauncherLib.Engine, options);
}

int LauncherLib_GetDownloadActive(const char *name, int32_t *active) {
    LAUNCHERLIB_GUARD();
    return Patcher_GetDownloadActive(name, active, gLauncherLib.Engine);
}

int LauncherLib_SetDownloadActive(const char *name, int active) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetDownloadActive(name, gLauncherLib.Engine, active);
}

int LauncherLib_FormatDate(char *text) {
    return Patcher_FormatDate(text);
}

int LauncherLib_SetUserData(void *userData) {
    LAUNCHERLIB_GUARD();
    return Patcher_SetUserData(gLauncherLib.Engine, userData);
}

#define LAUNCHERLIB_SETTER(function, type, target)                                                 \
    int function(type callback) {                                                                  \
        LAUNCHERLIB_GUARD();                                                                       \
        return target(gLauncherLib.Engine, callback);                                              \
    }

LAUNCHERLIB_SETTER(LauncherLib_SetStateChangeCallback, PatcherStateChangeFunc,
                   Patcher_SetStateChangeCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetStatusCallback, PatcherStatusFunc, Patcher_SetStatusCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetVersionCheckCallback, PatcherVersionCheckFunc,
                   Patcher_SetVersionCheckCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetAllowRestartCallback, PatcherAllowRestartFunc,
                   Patcher_SetAllowRestartCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetPerformRestartCallback, PatcherPerformRestartFunc,
                   Patcher_SetPerformRestartCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetPreProcessCallback, PatcherProcessFunc,
                   Patcher_SetPreProcessCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetPostProcessCallback, PatcherProcessFunc,
                   Patcher_SetPostProcessCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetLogCallback, PatcherLogFunc, Patcher_SetLogCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetErrorCallback, PatcherErrorFunc, Patcher_SetErrorCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetPackageListStatusCallback, PatcherPackageListStatusFunc,
                   Patcher_SetPackageListStatusCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetMaintenanceCallback, PatcherMaintenanceFunc,
                   Patcher_SetMaintenanceCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetDownloadStatusCallback, PatcherDownloadStatusFunc,
                   Patcher_SetDownloadStatusCallback)
LAUNCHERLIB_SETTER(LauncherLib_SetClientSettingsCallback, PatcherClientSettingsFunc,
                   Patcher_SetClientSettingsCallback)

#undef LAUNCHERLIB_SETTER

// Copies source to target through a replacement beside it that takes the
// source's mode bits and is renamed into place only once complete, so that a
// half-written copy is never started. 1 when copied; failures are logged by the
// file object.
static int LauncherLib_InternalCopy(const char *source, const char *target) {
    struct stat info;
    if (!Zyl_StatPath(source, &info) || !S_ISREG(info.st_mode))
        return 0;
    FileStruct *input = nullptr;
    FileStruct *output = nullptr;
    File_New(&input);
    File_New(&output);
    File_SetOpenRetries(input, 1);
    int result = File_Open(input, source, FILE_MODE_READ | FILE_MODE_SHARE_READ) &&
                 File_OpenReplacement(output, target, "", (int)(info.st_mode & 07777));
    char *block =
        result ? static_cast<char *>(ZYL_ALLOC_UNFILLED(LAUNCHERLIB_COPY_BLOCK)) : nullptr;
    int count = 0;
    while (result && File_Read(input, block, LAUNCHERLIB_COPY_BLOCK, &count) == 1) {
        int written = 0;
        result = File_Write(output, block, count, &written);
    }
    if (result && File_GetLastError(input) != 0)
        result = 0;
    if (block != nullptr)
        ZYL_FREE(block, LAUNCHERLIB_COPY_BLOCK);
    File_Close(input);
    if (result)
        result = File_CommitReplacement(output);
    else
        File_DiscardReplacement(output);
    File_Delete(&input);
    File_Delete(&output);
    return result;
}

int LauncherLib_LaunchUpdater(const char *copyPath, const char *outputPath,
                              const char *versionFilePath) {
    ZYL_CHECK_PTR(copyPath);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(versionFilePath);
    char folder[FILE_PATH_SIZE];
    char self[FILE_PATH_SIZE];
    char updater[FILE_PATH_SIZE];
    char copy[FILE_PATH_SIZE];
    char command[LAUNCHERLIB_COMMAND_SIZE];
    // A path or command line cut to fit would name another file: refused whole.
    if (!Zyl_GetModuleDirectory(folder, sizeof(folder)) ||
        !ShFolder_GetProgramPath(self, sizeof(self)) ||
        !Zyl_StrCopy(updater, folder, sizeof(updater)) ||
        !Zyl_StrAppend(updater, LauncherLib_UpdaterName, sizeof(updater)) ||
        !Zyl_StrCopy(copy, folder, sizeof(copy)) ||
        !Zyl_StrAppend(copy, LauncherLib_UpdaterCopyName, sizeof(copy)) ||
        Zyl_FormatString(command, sizeof(command), "/App \"%s\" /VersionFile \"%s\"", self,
                         versionFilePath) >= (int)sizeof(command) - 1) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to launch [%s]",
                  LauncherLib_UpdaterCopyName);
        return 0;
    }
    // Called again on every pass of the task: the copy already started.
    int pid = 0;
    if (Psapi_FindByPath(copy, &pid))
        return 1;
    if (!LauncherLib_InternalCopy(updater, copy)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Unable to copy [%s]", copy);
        return 0;
    }
    if (WinProcessHelper_Launch(0, copy, command, nullptr, 0, nullptr, nullptr) != 1) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to launch [%s]", copy);
        return 0;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "[%s] successfully launched", copy);
    return 1;
}
