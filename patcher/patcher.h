// The patch engine's one object: the tables of work the front end asked for
// (packages, package lists, plain downloads), the download client, the event
// queue through which every engine thread reports, and the thread that ticks the
// package controllers and lists. One API mutex serialises every table operation;
// docs/patcher.md gives the lock order and who may call what from where.
#pragma once

#include <cstdint>

#include "patcher/patcherclient.h"
#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

struct Patcher;
struct PackageControllerStruct;

enum {
    PATCHER_NAME_SIZE = 320,
    PATCHER_JOIN_MILLISECONDS = 120000, // longest wait for an engine thread to end
    PATCHER_PASS_MILLISECONDS = 50,     // pause between two passes of the thread
};

// Life and thread. Create builds the Patcher with its client (the options or
// the defaults) and starts its thread. Returns 1; 0 with *patcher null and
// everything it started torn down when the client or the thread cannot be made.
int Patcher_Create(Patcher **patcher, const char *registryPath, const char *settingsUrl,
                   const PatcherOptions *options);
// Empties the front end's callbacks, stops the thread, the client and every
// package list, download and package, destroys the client and frees the Patcher;
// clears *patcher. Accepts a null *patcher. Returns 1; 0 when the thread did not
// end in time ("Timeout waiting on Patcher thread shutdown"): the Patcher is then
// left allocated, as the thread may still reach it.
int Patcher_Destroy(Patcher **patcher);
// One pass of the thread: ticks the package controllers, then the package
// lists, each under the API mutex, each walk followed by the document fetches
// it found due (the transfers without the mutex); finishes removals; drops a pending event
// buffer grown past 1 MiB. Returns 1.
int Patcher_Tick(Patcher *patcher, double elapsed);
// The API mutex and the queue mutex (no time limit; Lock gives 1 when it got it).
// The API mutex may be held while the queue mutex is taken, never the reverse.
int Patcher_Lock(Patcher *patcher);
int Patcher_Unlock(Patcher *patcher);
int Patcher_LockQueue(Patcher *patcher);
int Patcher_UnlockQueue(Patcher *patcher);
int Patcher_GetClient(Patcher *patcher, PatcherClient **client);
// 1 once Patcher_Destroy has begun: long work of the thread (a document fetch)
// ends early. Safe from any thread.
int Patcher_IsStopping(Patcher *patcher);
// Where "patcher_lib.log" is made by Patchers created from now on: the given
// folder (copied; null or empty: the default, the program's folder when it is
// writable, else the user's state folder under the application's name). Returns 1.
int Patcher_SetLogFolder(const char *folder);
// The path of "patcher_lib.log" for a program in programFolder: beside it when
// a file can be written there, else in the user's state folder
// ($XDG_STATE_HOME or ~/.local/state) under the application's name, the last
// part of registryPath ("portico" when empty), which is created. Returns 1.
int Patcher_ChooseLogPath(const char *programFolder, const char *registryPath, char *path,
                          int size);

// Packages. With lock 1 the call takes the API mutex; callers holding it pass 0.
// A removed package is taken out of the table at once and destroyed before the
// call returns when it took the mutex, else once the mutex is free again. Names
// are at most 319 characters.
int Patcher_AddPackage(Patcher *patcher, int lock, const char *name, const char *url,
                       const char *path, const PackageOptions *options);
int Patcher_RemovePackage(Patcher *patcher, int lock, const char *name);
// API mutex held by the caller.
int Patcher_InternalAddPackage(const char *name, Patcher *patcher, const char *url,
                               const char *path, const PackageOptions *options);
int Patcher_InternalRemovePackage(Patcher *patcher, const char *name);
int Patcher_InternalFindPackage(PackageControllerStruct **controller, Patcher *patcher,
                                const char *name);
// Always locks; an unknown name gives 0 and 1032 zero bytes.
int Patcher_GetPackageOptions(PackageOptions *options, Patcher *patcher, const char *name);
int Patcher_SetPackageOptions(const PackageOptions *options, Patcher *patcher, int lock,
                              const char *name);
// An unknown name gives 0 and *active 0.
int Patcher_GetPackageActive(const char *name, int lock, int32_t *active, Patcher *patcher);
int Patcher_SetPackageActive(Patcher *patcher, int lock, const char *name, int active);

// Package lists (each call takes the API mutex).
int Patcher_AddPackageList(Patcher *patcher, const char *name, const char *url,
                           const PackageOptions *options);
int Patcher_RemovePackageList(const char *name, Patcher *patcher);
int Patcher_GetPackageListOptions(const char *name, PackageOptions *options, Patcher *patcher);
int Patcher_SetPackageListOptions(const char *name, Patcher *patcher,
                                  const PackageOptions *options);
int Patcher_GetPackageListActive(const char *name, int32_t *active, Patcher *patcher);
int Patcher_SetPackageListActive(const char *name, Patcher *patcher, int active);

// Plain downloads (each call takes the API mutex).
int Patcher_AddDownload(Patcher *patcher, const char *name, const char *metafile,
                        const char *outputPath, const char *skinSource,
                        const PackageOptions *options);
int Patcher_RemoveDownload(const char *name, Patcher *patcher);
int Patcher_GetDownloadOptions(const char *name, PackageOptions *options, Patcher *patcher);
int Patcher_SetDownloadOptions(const char *name, Patcher *patcher, const PackageOptions *options);
int Patcher_GetDownloadActive(const char *name, int32_t *active, Patcher *patcher);
int Patcher_SetDownloadActive(const char *name, Patcher *patcher, int active);

// Stores the 40 bytes and passes them to the client (its result). Takes no
// Patcher mutex.
int Patcher_SetOptions(Patcher *patcher, const PatcherOptions *options);
// Reads "DebugOutput" (log flag 0x400), "DebugOutputFile" (log flag 0x2) and
// "DebugMetaFile" from the key under the registry's machine root, creating the
// key when missing. 0 when the key cannot be opened (nothing changes), else 1.
int Patcher_ReadDebugOptions(const char *registryPath);
int Patcher_GetDebugMetaFile(int32_t *value);

// The restart launcher: called by a task when its package must restart the
// program. LaunchUpdater requires every pointer and returns the launcher's
// result, 1 when none is set.
int Patcher_SetLaunchUpdaterCallback(Patcher *patcher, PatcherLaunchUpdaterFunc launcher);
int Patcher_LaunchUpdater(Patcher *patcher, const char *copyPath, const char *outputPath,
                          const char *versionFilePath);

// The front end's callbacks: each setter stores one slot and returns 1.
int Patcher_SetUserData(Patcher *patcher, void *userData);
int Patcher_SetStateChangeCallback(Patcher *patcher, PatcherStateChangeFunc callback);
int Patcher_SetStatusCallback(Patcher *patcher, PatcherStatusFunc callback);
int Patcher_SetVersionCheckCallback(Patcher *patcher, PatcherVersionCheckFunc callback);
int Patcher_SetAllowRestartCallback(Patcher *patcher, PatcherAllowRestartFunc callback);
int Patcher_SetPerformRestartCallback(Patcher *patcher, PatcherPerformRestartFunc callback);
int Patcher_SetPreProcessCallback(Patcher *patcher, PatcherProcessFunc callback);
int Patcher_SetPostProcessCallback(Patcher *patcher, PatcherProcessFunc callback);
int Patcher_SetLogCallback(Patcher *patcher, PatcherLogFunc callback);
int Patcher_SetErrorCallback(Patcher *patcher, PatcherErrorFunc callback);
int Patcher_SetPackageListStatusCallback(Patcher *patcher, PatcherPackageListStatusFunc callback);
int Patcher_SetMaintenanceCallback(Patcher *patcher, PatcherMaintenanceFunc callback);
int Patcher_SetDownloadStatusCallback(Patcher *patcher, PatcherDownloadStatusFunc callback);
// Runs on the client's thread; safe beside it.
int Patcher_SetClientSettingsCallback(Patcher *patcher, PatcherClientSettingsFunc callback);
// The client's settings forwarder (user data: the Patcher): the CLIENTSETTINGS
// slot's result, 0 when it is empty.
int Patcher_ClientSettingsCallback(void *patcher, PatcherClientSettings *settings);

// Consent questions, on the front end's thread with the API mutex held. Each
// returns 1; name and answer pointer are required.
int Patcher_CallVersionCheck(const char *name, Patcher *patcher, int32_t *targetVersion,
                             const PatcherVersionCheckRecord *record);
int Patcher_CallAllowRestart(Patcher *patcher, int32_t *allow, const char *name);
int Patcher_CallPreProcess(const char *name, Patcher *patcher, int32_t *hold,
                           const PatcherProcessRequest *request);
int Patcher_CallPostProcess(const char *name, Patcher *patcher, int32_t *hold,
                            const PatcherProcessRequest *request);
// The answers, read by task threads; each takes the API mutex.
int Patcher_GetRestartAllowed(int32_t *allowed, Patcher *patcher,
                              PackageControllerStruct *controller);
int Patcher_IsPreProcessDone(PackageControllerStruct *controller, Patcher *patcher);
int Patcher_IsPostProcessDone(PackageControllerStruct *controller, Patcher *patcher);

// Producers (any thread); each returns 1.
int Patcher_QueuePerformRestart(Patcher *patcher);
int Patcher_QueueStateChange(Patcher *patcher, const char *name,
                             const PatcherStateChangeRecord *record);
int Patcher_QueueStatus(Patcher *patcher, const char *name, const PatcherPackageStatus *status);
int Patcher_QueueLog(Patcher *patcher, int level, const char *text);
int Patcher_QueueError(Patcher *patcher, int code, const char *text);
int Patcher_QueuePackageListStatus(Patcher *patcher, const PatcherPackageListStatusRecord *record);
int Patcher_QueueMaintenance(Patcher *patcher, const char *name,
                             const PatcherMaintenanceRecord *record);
int Patcher_QueueDownloadStatus(Patcher *patcher, const char *name,
                                const PatcherDownloadStatus *status);
// Consumer, on the front end's thread: reads the debug options, delivers every
// queued event, then runs the package controllers' request step. Returns 1 (at
// once when called from inside a callback).
int Patcher_ProcessEvents(Patcher *patcher);
