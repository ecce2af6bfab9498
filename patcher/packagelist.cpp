// The package list's record with its options and the forwarding of options and
// the active flag to its current package. Fetching the list document and
// working through its packages are in packagelist_steps.cpp.
#include "patcher/packagelist.h"

#include "core/zyl.h"
#include "patcher/documentfetch.h"
#include "patcher/packagelist_private.h"
#include "patcher/patcher.h"
#include "patcher/patcherlog.h"

#include <cstring>

const char PackageList_Tag[] = "..\\..\\shared\\packagelist.c";
static const char *const kTag = PackageList_Tag;

// The list's current package, or null when none was added.
const PackageListEntry *PackageList_InternalCurrent(const PackageList *list) {
    if (list->Current < 0 || list->Current >= list->EntryCount)
        return nullptr;
    return &list->Entries[list->Current];
}

int PackageList_Create(PackageList **list, const char *name, const char *url,
                       const PackageOptions *options, Patcher *patcher) {
    ZYL_CHECK_PTR(list);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(patcher);
    *list = nullptr;
    PackageList *created = ZYL_NEW(PackageList);
    created->Tag = kTag;
    if (!Zyl_StrCopy(created->Name, name, sizeof(created->Name)) ||
        !Zyl_StrCopy(created->Url, url, sizeof(created->Url))) {
        Patcher_Log(PATCHER_LOG_WARNING, "PackageList_Create(): text too long [%s]", name);
        created->Tag = Zyl_DeadTag;
        ZYL_FREE(created, sizeof(PackageList));
        return 0;
    }
    if (options != nullptr)
        created->Options = *options;
    else
        Patcher_InitPackageOptions(&created->Options);
    created->Options.RestartCommand[PACKAGE_OPTIONS_COMMAND_SIZE - 1] = 0;
    created->Owner = patcher;
    created->RetrievalPeriod = 1800;
    created->FailureLimit = 3;
    created->Current = -1;
    PatcherPackageStatus_Init(&created->Status);
    *list = created;
    return 1;
}

int PackageList_Destroy(PackageList **list) {
    ZYL_CHECK_PTR(list);
    PackageList *doomed = *list;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    const PackageListEntry *current = PackageList_InternalCurrent(doomed);
    if (current != nullptr)
        Patcher_RemovePackage(doomed->Owner, 1, current->Name);
    if (doomed->Entries != nullptr)
        ZYL_FREE(doomed->Entries, (int64_t)doomed->EntryCapacity * sizeof(PackageListEntry));
    PatcherFetch_Free(&doomed->FetchContent, doomed->FetchSize);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PackageList));
    *list = nullptr;
    return 1;
}

int PackageList_GetOptions(PackageList *list, PackageOptions *options) {
    ZYL_CHECK_TAG(list, kTag);
    ZYL_CHECK_PTR(options);
    *options = list->Options;
    return 1;
}

int PackageList_SetOptions(PackageList *list, const PackageOptions *options) {
    ZYL_CHECK_TAG(list, kTag);
    ZYL_CHECK_PTR(options);
    list->Options = *options;
    list->Options.RestartCommand[PACKAGE_OPTIONS_COMMAND_SIZE - 1] = 0;
    const PackageListEntry *current = PackageList_InternalCurrent(list);
    if (current == nullptr)
        return 1;
    return Patcher_SetPackageOptions(&list->Options, list->Owner, 0, current->Name);
}

int PackageList_GetActive(PackageList *list, int32_t *active) {
    ZYL_CHECK_TAG(list, kTag);
    ZYL_CHECK_PTR(active);
    *active = 1;
    const PackageListEntry *current = PackageList_InternalCurrent(list);
    if (current == nullptr)
        return 1;
    return Patcher_GetPackageActive(current->Name, 0, active, list->Owner);
}

int PackageList_SetActive(PackageList *list, int active) {
    ZYL_CHECK_TAG(list, kTag);
    const PackageListEntry *current = PackageList_InternalCurrent(list);
    if (current == nullptr)
        return 1;
    return Patcher_SetPackageActive(list->Owner, 0, current->Name, active);
}

int PackageList_GetTexts(PackageList *list, char *name, char *url) {
    ZYL_CHECK_TAG(list, kTag);
    if (name != nullptr)
        Zyl_StrCopy(name, list->Name, PATCHER_NAME_SIZE);
    if (url != nullptr)
        Zyl_StrCopy(url, list->Url, PATCHER_NAME_SIZE);
    return 1;
}
