// A list of packages installed one after another: the Patcher files one per
// list the front end adds and ticks it on its thread under the API mutex. The
// list adds its current package to the Patcher and removes it again.
#pragma once

#include <cstdint>

#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

struct Patcher;
struct PackageList;

// name and url of at most 319 characters; options null gives the defaults.
// Returns 1; 0 with *list null when a text does not fit (logged).
int PackageList_Create(PackageList **list, const char *name, const char *url,
                       const PackageOptions *options, Patcher *patcher);
// Removes the current package from the Patcher when one was added (the caller
// does not hold the API mutex), frees the list, clears *list; accepts a null
// *list. Returns 1.
int PackageList_Destroy(PackageList **list);
int PackageList_GetOptions(PackageList *list, PackageOptions *options);
// Stores the options and passes them to the current package. API mutex held.
int PackageList_SetOptions(PackageList *list, const PackageOptions *options);
// 1 without a current package, else the current package's flag. API mutex held.
int PackageList_GetActive(PackageList *list, int32_t *active);
int PackageList_SetActive(PackageList *list, int active);
// The name and URL as stored (buffers of 320 bytes; null skips one). Returns 1.
int PackageList_GetTexts(PackageList *list, char *name, char *url);
// The periodic step (Patcher thread, API mutex held).
int PackageList_Tick(double elapsed, PackageList *list);
// A package's state as the front end's thread delivers it (API mutex held).
int PackageList_OnPackageState(PackageList *list, const char *name,
                               const PatcherPackageStatus *status);
// The list document's fetch in three steps, as the package controller's:
// BeginFetch and EndFetch with the API mutex held, RunFetch without it.
int PackageList_BeginFetch(PackageList *list);
int PackageList_RunFetch(PackageList *list);
int PackageList_EndFetch(PackageList *list, int filed);
int PackageList_IsFetching(PackageList *list);
// Reads a list document's text into the list's entries (replacing them).
// Returns 1; 0 (reported) when "PackageList" is missing or a "Packages" element
// holds no "Package"; entries read before such a failure are kept.
int PackageList_Parse(PackageList *list, const char *text);
// The list state last reported and the number of entries. Return 1.
int PackageList_GetState(PackageList *list, int32_t *state, int32_t *count);
