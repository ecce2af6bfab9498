// The patch engine's only door for the front end: start-up and shutdown of the
// engine's libraries in a fixed order around the one Patcher, every request
// forwarded to it, and the start of the self-updater when the launcher's own
// package must restart. Plain functions over process-wide state, called on the
// front end's thread (LauncherLib_LaunchUpdater on a task's thread).
#pragma once

#include <cstdint>

#include "patcher/patcher.h"

// The engine's version as the start-up message and newer-runtime checks give it.
extern const char LauncherLib_Version[];
// The self-updater and the copy of it that is started, in the program's folder.
extern const char LauncherLib_UpdaterName[];
extern const char LauncherLib_UpdaterCopyName[];

// Start and stop. Initialize is fatal when already initialised ("LauncherLib
// previously initialized"); it starts the core runtime with its log, the Alert
// log, the thread module and the download client's process-wide start-up, reads
// the registry debug options, creates the notification record and the Patcher
// (options may be null) and queues the start-up LOG. Returns 1; 0 when the
// Patcher cannot be created, with everything it started stopped again and the
// library left uninitialised. The core runtime must not be running yet.
int LauncherLib_Initialize(const char *registryPath, const PatcherOptions *options,
                           const char *settingsUrl);
// Destroys the Patcher and stops what Initialize started. Returns 1 (at once
// when not initialised).
int LauncherLib_Shutdown(void);
// 1 while initialised.
int LauncherLib_IsInitialized(void);
// The one Patcher while initialised, else null: for front-end extensions and
// tests that queue events with the Patcher_Queue* producers.
Patcher *LauncherLib_GetPatcher(void);

// The library start-up pieces, each fatal when started twice.
int VexilLib_Initialize(void);
int VexilLib_Shutdown(void);
// The core log's console sink: writes the text to standard error. Returns 1.
int VexilLib_DebugOutputSink(const char *text);
int PatcherLibDecode_Initialize(void);
int PatcherLibDecode_Shutdown(void);

// 1 when another process holds the single-instance lock of name, 0 when this
// process now holds it. Needs no initialisation.
int LauncherLib_CheckSingleInstance(const char *name);

// The forwarded API: each is fatal before LauncherLib_Initialize ("LauncherLib
// not initialized") and returns what the Patcher function returns.
int LauncherLib_Log(int level, const char *format, ...);
#define LauncherLib_Log(level, ...)                                                                \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (LauncherLib_Log)(level, __VA_ARGS__))
int LauncherLib_ReportError(int code, const char *format, ...);
#define LauncherLib_ReportError(code, ...)                                                         \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (LauncherLib_ReportError)(code, __VA_ARGS__))
// Always 1.
int LauncherLib_ProcessEvents(void);
int LauncherLib_AddPackage(const char *name, const char *url, const char *path,
                           const PackageOptions *options);
int LauncherLib_RemovePackage(const char *name);
// Needs no initialisation.
int LauncherLib_InitPatcherOptions(PatcherOptions *options);
int LauncherLib_SetPatcherOptions(const PatcherOptions *options);
int LauncherLib_InitPackageOptions(PackageOptions *options);
int LauncherLib_GetPackageOptions(const char *name, PackageOptions *options);
int LauncherLib_SetPackageOptions(const char *name, const PackageOptions *options);
int LauncherLib_GetPackageActive(const char *name, int32_t *active);
int LauncherLib_SetPackageActive(const char *name, int active);
int LauncherLib_AddPackageList(const char *name, const char *url, const PackageOptions *options);
int LauncherLib_RemovePackageList(const char *name);
int LauncherLib_GetPackageListOptions(const char *name, PackageOptions *options);
int LauncherLib_SetPackageListOptions(const char *name, const PackageOptions *options);
int LauncherLib_GetPackageListActive(const char *name, int32_t *active);
int LauncherLib_SetPackageListActive(const char *name, int active);
int LauncherLib_AddDownload(const char *name, const char *metafile, const char *outputPath,
                            const char *skinSource, const PackageOptions *options);
int LauncherLib_RemoveDownload(const char *name);
int LauncherLib_GetDownloadOptions(const char *name, PackageOptions *options);
int LauncherLib_SetDownloadOptions(const char *name, const PackageOptions *options);
int LauncherLib_GetDownloadActive(const char *name, int32_t *active);
int LauncherLib_SetDownloadActive(const char *name, int active);
// Needs no initialisation.
int LauncherLib_FormatDate(char *text);
int LauncherLib_SetUserData(void *userData);
int LauncherLib_SetStateChangeCallback(PatcherStateChangeFunc callback);
int LauncherLib_SetStatusCallback(PatcherStatusFunc callback);
int LauncherLib_SetVersionCheckCallback(PatcherVersionCheckFunc callback);
int LauncherLib_SetAllowRestartCallback(PatcherAllowRestartFunc callback);
int LauncherLib_SetPerformRestartCallback(PatcherPerformRestartFunc callback);
int LauncherLib_SetPreProcessCallback(PatcherProcessFunc callback);
int LauncherLib_SetPostProcessCallback(PatcherProcessFunc callback);
int LauncherLib_SetLogCallback(PatcherLogFunc callback);
int LauncherLib_SetErrorCallback(PatcherErrorFunc callback);
int LauncherLib_SetPackageListStatusCallback(PatcherPackageListStatusFunc callback);
int LauncherLib_SetMaintenanceCallback(PatcherMaintenanceFunc callback);
int LauncherLib_SetDownloadStatusCallback(PatcherDownloadStatusFunc callback);
int LauncherLib_SetClientSettingsCallback(PatcherClientSettingsFunc callback);

// The Patcher's restart launcher (a task's thread). Every pointer is required;
// only the version file path is used. When the updater's copy already runs,
// returns 1 and does nothing; otherwise copies the updater beside itself under
// the copy's name (mode bits kept, renamed into place once complete) and starts
// it in a session of its own with `/App "<program>" /VersionFile "<path>"`.
// 1 when started; 0 when the copy ("Unable to copy [%s]") or the start
// ("Unable to launch [%s]") failed.
int LauncherLib_LaunchUpdater(const char *copyPath, const char *outputPath,
                              const char *versionFilePath);
