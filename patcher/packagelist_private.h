// The package list's record, shared by the file that makes and frees it and
// the file of its periodic and package-state steps.
#pragma once

#include <cstdint>

#include "patcher/packagelist.h"
#include "patcher/patcher.h"
#include "patcher/patcherevents.h"

extern const char PackageList_Tag[];

// Fetch states, as the package controller's (changed only under the API mutex).
enum {
    PACKAGE_LIST_FETCH_IDLE = 0,
    PACKAGE_LIST_FETCH_PENDING = 1,
    PACKAGE_LIST_FETCH_RUNNING = 2
};

// One package of the list document.
struct PackageListEntry {
    char Name[PATCHER_NAME_SIZE];
    char Url[PATCHER_NAME_SIZE];
    char ExpansionPath[PATCHER_NAME_SIZE];
};
static_assert(sizeof(PackageListEntry) == 960, "a list entry is 960 bytes");

struct PackageList {
    const char *Tag;
    int32_t Fetched;
    char Name[PATCHER_NAME_SIZE];
    char Url[PATCHER_NAME_SIZE];
    PackageOptions Options; // for every listed package
    PackageListEntry *Entries;
    int32_t EntryCount;
    Patcher *Owner;
    int32_t RetrievalPeriod; // seconds
    double Countdown;
    int32_t FailureCount;
    int32_t FailureLimit;
    int32_t Current; // index of the package added to the Patcher, -1 before the first
    int32_t LastPackageState;
    int32_t State;
    PatcherPackageStatus Status; // the current package's last status
    int32_t EntryCapacity;       // entries allocated
    int32_t FetchState;          // PACKAGE_LIST_FETCH_*
    int32_t FetchResult;
    char *FetchContent;
    int64_t FetchSize;
};

// The list's current package, or null when none was added.
const PackageListEntry *PackageList_InternalCurrent(const PackageList *list);
