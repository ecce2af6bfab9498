// One plain download: handed to the download client, which runs it; the
// controller's own thread polls its status once a second and the client's state
// callback reports each state change, both as DOWNLOADSTATUS events.
#pragma once

#include <cstdint>

#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

struct Patcher;
struct DownloadController;

// The clock the controllers' threads read, in seconds (null: Zyl_GetTickSeconds).
typedef double (*DownloadControllerClock)(void);
int DownloadController_SetClock(DownloadControllerClock clock);

// Every pointer required; texts of at most 319 characters are copied. Starts the
// thread, which waits until Start. Returns 1; 0 with *controller null when the
// thread cannot be started ("Unable to create DownloadController thread (%d)").
int DownloadController_Create(DownloadController **controller, const char *name,
                              const char *metafile, const char *outputPath, const char *skinSource,
                              const PackageOptions *options, Patcher *patcher);
// Hands the download to the client and, when it accepts, lets the thread run.
// 1 when accepted.
int DownloadController_Start(DownloadController *controller);
int DownloadController_InternalAdd(DownloadController *controller);
// Stops and joins the thread, removes the download from the client when it had
// accepted it and frees the controller; clears *controller; accepts a null
// *controller. Returns 1; 0 when the thread did not end in time (logged): the
// controller is then left allocated.
int DownloadController_Destroy(DownloadController **controller);
// The client's state callback for this download (any thread).
int DownloadController_OnStatus(DownloadController *controller,
                                const PatcherDownloadStatus *status);
int DownloadController_GetOptions(PackageOptions *options, DownloadController *controller);
// Stores the options and passes the two switches to the client (its result).
int DownloadController_SetOptions(const PackageOptions *options, DownloadController *controller);
int DownloadController_GetActive(DownloadController *controller, int32_t *active);
// Only while the download is in state DOWNLOAD: stores the flag and passes it
// to the client (its result); in every other state returns 1 and changes nothing.
int DownloadController_SetActive(DownloadController *controller, int active);
