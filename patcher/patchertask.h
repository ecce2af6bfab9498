// One update of one package (PatcherTask): its own thread walks the update
// states from IDLE to TASKCOMPLETE or FAILED, one step every 50 ms, with the
// state kept in its task status so that the version document saved at each
// milestone records where the update stands. Created, started and destroyed by
// its package controller.
#pragma once

#include <cstdint>

#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

struct Package;
struct PackageControllerStruct;
struct PackageRelease;
struct PackageVersion;
struct Patcher;
struct PatcherTask;
struct PatcherTaskStatus;
struct PatcherClient;
struct ServerOptions;

enum {
    PATCHER_TASK_JOIN_MILLISECONDS = 120000,
    PATCHER_TASK_PASS_MILLISECONDS = 50,
};
// Seconds without a change of the bytes left before the stall warning.
constexpr double PATCHER_TASK_WARN_SECONDS = 600.0;

// The clock the tasks read (seconds; null: the core's tick clock). Tests drive
// countdowns through it. Returns 1.
typedef double (*PatcherTaskClock)(void);
int PatcherTask_SetClock(PatcherTaskClock clock);

// Makes the task and starts its thread, which does nothing until the task is
// started (InitNew or InitResume). Returns 1; 0 with *task null when the thread
// could not be started ("Unable to create PatcherTask thread (%d)").
int PatcherTask_StartThread(PatcherTask **task, Patcher *patcher,
                            PackageControllerStruct *controller);
// Stops and joins the thread (at most 120 s), removes the task's download from
// the client, frees the task and clears *task. Accepts a null *task. Returns 1.
// The caller must not hold the Patcher's API mutex unless the task has reached
// TASKCOMPLETE or FAILED (its thread then takes that mutex no more).
int PatcherTask_StopThread(PatcherTask **task);

// A new task for release of package, from the installed version. Returns the
// start's result; 0 when the status could not be filled (no output path).
int PatcherTask_InitNew(PatcherTask *task, const PackageOptions *options, const char *path,
                        const char *name, PackageVersion *version, Package *package,
                        const PackageRelease *release);
// A task resumed from a stored status: copied, started, and a STATECHANGE with
// the stored state (previous state 1) queued. Returns the start's result.
int PatcherTask_InitResume(PatcherTask *task, const PackageOptions *options,
                           PatcherTaskStatus *stored);
// Logs the task, takes the options (RestartCommandLine := their text) and lets
// the thread run. 0 when it was started already.
int PatcherTask_Start(PatcherTask *task, const PackageOptions *options);

// Stores the state; on a change queues a STATECHANGE through the controller
// (under the API mutex, which the caller must not hold) and for WAITFORLIVE and
// TASKCOMPLETE a STATUS. Returns 1.
int PatcherTask_SetState(PatcherTask *task, int state);
int PatcherTask_GetState(PatcherTask *task, int32_t *state);
// Pauses (0) or resumes (1) the task and its download. Returns 1.
int PatcherTask_SetActive(PatcherTask *task, int flag);
// Releases WAITFORLIVE. Returns 1.
int PatcherTask_SetLive(PatcherTask *task);
// Takes the options and passes the two switches to the task's download.
int PatcherTask_SetOptions(PatcherTask *task, const PackageOptions *options);
// The 320-byte paths of the task status. Return 1.
int PatcherTask_GetOutputPath(PatcherTask *task, char *path);
int PatcherTask_GetCopyPath(PatcherTask *task, char *path);
// The package status record of the task as it stands. Returns 1.
int PatcherTask_GetStatus(PatcherPackageStatus *status, PatcherTask *task);
// The task's status object (owned by the task). Returns 1.
int PatcherTask_GetTaskStatus(PatcherTask *task, PatcherTaskStatus **status);

// The download client's state callback (user data: the task).
int PatcherTask_OnDownloadStatus(PatcherClient *client, void *task, const char *name,
                                 const char *skinSource, const char *metafile,
                                 const PatcherDownloadStatus *status, const ServerOptions *options);
// The expansion's progress receiver (context: the task).
void PatcherTask_ExpansionProgress(const char *name, void *task, uint32_t low, uint32_t high);
