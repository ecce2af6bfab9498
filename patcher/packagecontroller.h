// One package the Patcher watches: where it comes from, where it is installed,
// its options and its active flag. The Patcher's thread ticks it and the front
// end's thread runs its request step, both under the Patcher's API mutex; the
// controller has no lock of its own.
#pragma once

#include <cstdint>

#include "patcher/patcheroptions.h"

struct Patcher;
struct PackageControllerStruct;

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
