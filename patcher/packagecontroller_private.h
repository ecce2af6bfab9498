// The package controller's record, shared by the file that makes and frees it
// and the file of its periodic and request steps. Nothing outside these two
// files reads it.
#pragma once

#include <cstdint>

#include "patcher/packagecontroller.h"
#include "patcher/patcher.h"
#include "patcher/patcherevents.h"

struct Package;
struct PackageVersion;
struct PatcherTask;

extern const char PackageController_Tag[];

// Where the controller's document fetch stands. The fetch itself runs on the
// Patcher's thread without the API mutex; every change of this word is made
// with the mutex held, and a controller is not destroyed while it is RUNNING.
enum {
    PACKAGE_FETCH_IDLE = 0,
    PACKAGE_FETCH_PENDING = 1, // due: the next fetch pass takes it
    PACKAGE_FETCH_RUNNING = 2, // the transfer is under way
};

struct PackageControllerStruct {
    const char *Tag;
    int32_t Active;
    char Path[PATCHER_NAME_SIZE]; // ends in '/'
    char Name[PATCHER_NAME_SIZE];
    char Url[PACKAGE_CONTROLLER_URL_SIZE];
    PackageOptions Options;
    Patcher *Owner;
    int32_t RetrievalPeriod; // seconds
    double Countdown;        // seconds to the next fetch; 0 fetches at once
    int32_t FailureCount;    // consecutive failed fetches (a success resets it)
    int32_t FailureLimit;
    PatcherTask *Task;
    int32_t TaskFinished; // the task reached TASKCOMPLETE or FAILED
    PatcherVersionCheckRecord VersionCheck;
    int32_t VersionChoicePending;
    int32_t PreProcessDone;
    int32_t AllowRestart;
    int32_t PostProcessDone;
    PatcherPackageStatus LastStatus; // State: the last reported PATCHER_STATE_ (0 none)
    Package *PackageDoc;
    PackageVersion *Version;
    // The document fetch (FetchState under the API mutex; the content only by
    // the fetching thread until the state leaves RUNNING).
    int32_t FetchState;
    int32_t FetchResult;
    char *FetchContent;
    int64_t FetchSize;
    uint64_t Serial;           // unique per controller of the process
    int32_t RequestGeneration; // changes when a version choice is offered
};
