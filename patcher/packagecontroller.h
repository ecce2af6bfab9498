// One package the Patcher watches: where it comes from, where it is installed,
// its options and its active flag. The Patcher's thread ticks it and the front
// end's thread runs its request step, both under the Patcher's API mutex; the
// controller has no lock of its own.
#pragma once

#include <cstdint>

#include "patcher/patcher.h"
#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

struct Patcher;
struct PackageControllerStruct;
struct PatcherTaskStatus;

enum { PACKAGE_CONTROLLER_URL_SIZE = 1024, PACKAGE_CONTROLLER_PERIOD = 1800 };

// All four pointers required. The installation path ends in '/' (the current
// folder when empty) and is normalised. Active at creation, default options.
// Returns 1; 0 with *controller null when a text does not fit (logged).
int PackageController_Create(const char *url, const char *path,
                             PackageControllerStruct **controller, const char *name);
// Frees the controller and clears *controller; accepts a null *controller. Returns 1.
int PackageController_Destroy(PackageControllerStruct **controller);
int PackageController_SetPatcher(PackageControllerStruct *controller, Patcher *patcher);
int PackageController_GetActive(PackageControllerStruct *controller, int32_t *active);
int PackageController_SetActive(PackageControllerStruct *controller, int active);
int PackageController_GetOptions(PackageControllerStruct *controller, PackageOptions *options);
int PackageController_SetOptions(PackageControllerStruct *controller,
                                 const PackageOptions *options);
// The name, installation path and base URL as stored (buffers of 320, 320 and
// 1024 bytes; null skips one). Returns 1.
int PackageController_GetTexts(PackageControllerStruct *controller, char *name, char *path,
                               char *url);
// The periodic step (Patcher thread) and the request step (front end's thread).
int PackageController_Tick(double elapsed, PackageControllerStruct *controller);
int PackageController_ProcessTaskRequests(PackageControllerStruct *controller);
// The front end's answers as the tasks read them.
int PackageController_IsPreProcessDone(PackageControllerStruct *controller);
int PackageController_IsPostProcessDone(PackageControllerStruct *controller);
int PackageController_GetRestartAllowed(PackageControllerStruct *controller, int32_t *allowed);

// "%s%s.package" of base URL and name, and "%s%s.version" of installation path
// and name (320 bytes each; cut when longer). Return 1.
int PackageController_GetPackageURL(PackageControllerStruct *controller, char *url);
int PackageController_GetVersionPath(PackageControllerStruct *controller, char *path);
// Saves the version document from the task status (InProgress := inProgress).
// Returns the save's result. Takes no lock.
int PackageController_SaveVersion(PackageControllerStruct *controller, int inProgress,
                                  PatcherTaskStatus *status);
// A task's state change (API mutex held): remembers the status, queues the
// STATECHANGE, and after TASKCOMPLETE (fetch at once) or FAILED (wait a period)
// marks the task finished for the next tick. Returns 1.
int PackageController_OnTaskState(const PatcherPackageStatus *status,
                                  PackageControllerStruct *controller, int packageType,
                                  int newState, int oldState);

// The document fetch, in three steps so that the transfer runs without the API
// mutex. Tick (mutex held) marks a due fetch PENDING; BeginFetch (mutex held)
// gives 1 and marks it RUNNING when one is pending; RunFetch (mutex free, the
// Patcher's thread) transfers; EndFetch (mutex held) evaluates the document or
// counts the failure, unless filed is 0 (the controller was removed meanwhile).
int PackageController_BeginFetch(PackageControllerStruct *controller);
int PackageController_RunFetch(PackageControllerStruct *controller);
int PackageController_EndFetch(PackageControllerStruct *controller, int filed);
// 1 while a transfer is RUNNING (API mutex held): the controller must not be
// destroyed yet.
int PackageController_IsFetching(PackageControllerStruct *controller);
// The whole tick with the fetch inline, for callers that hold the API mutex
// and accept holding it over the transfer (tests, tools). Returns 1.
int PackageController_TickAndFetch(double elapsed, PackageControllerStruct *controller);

// The request step split around the consent callbacks, so that they run
// without the API mutex. Gather (mutex held) notes what is to be asked; Ask
// (mutex free) asks the front end; Store (mutex held) takes the answers when
// the controller is still the one filed (same serial). ProcessTaskRequests
// runs all three under the caller's lock.
struct PackageControllerRequest {
    PackageControllerStruct *Controller;
    uint64_t Serial;
    int32_t Generation;
    char Name[PATCHER_NAME_SIZE];
    int32_t AskVersion;
    int32_t OfferedTarget;
    int32_t ChosenTarget;
    PatcherVersionCheckRecord VersionRecord;
    int32_t AskProcess; // 5 PREPROCESS or 9 POSTPROCESS; 0 none
    PatcherProcessRequest Process;
    int32_t Hold;
    int32_t AskRestart;
    int32_t Allow;
};
int PackageController_GatherRequests(PackageControllerStruct *controller,
                                     PackageControllerRequest *request);
int PackageController_AskRequests(Patcher *patcher, PackageControllerRequest *request);
int PackageController_StoreAnswers(PackageControllerStruct *controller,
                                   const PackageControllerRequest *request);
int PackageController_GetSerial(PackageControllerStruct *controller, uint64_t *serial);
