// The package controller's record: creation with its package and version
// documents, options and the active flag (both passed on to a running task),
// destruction with its task. The periodic fetch and the request step are in
// packagecontroller_steps.cpp.
#include "patcher/packagecontroller.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "patcher/documentfetch.h"
#include "patcher/package.h"
#include "patcher/packagecontroller_private.h"
#include "patcher/packageversion.h"
#include "patcher/patcher.h"
#include "patcher/patcherevents.h"
#include "patcher/patcherlog.h"
#include "patcher/patchertask.h"

#include <atomic>
#include <cstring>

const char PackageController_Tag[] = "..\\..\\shared\\packagecontroller.c";
static const char *const kTag = PackageController_Tag;

static std::atomic<uint64_t> gSerial{0};

int PackageController_Create(const char *url, const char *path,
                             PackageControllerStruct **controller, const char *name) {
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(controller);
    ZYL_CHECK_PTR(name);
    *controller = nullptr;
    PackageControllerStruct *created = ZYL_NEW(PackageControllerStruct);
    created->Tag = kTag;
    created->Active = 1;
    created->RetrievalPeriod = PACKAGE_CONTROLLER_PERIOD;
    created->FailureLimit = 3;
    created->Serial = ++gSerial;
    Patcher_InitPackageOptions(&created->Options);
    int fits = Zyl_StrCopy(created->Name, name, sizeof(created->Name)) &&
               Zyl_StrCopy(created->Url, url, sizeof(created->Url));
    if (fits && path[0] == 0)
        fits = Zyl_GetCurrentDirectory(created->Path, sizeof(created->Path));
    else if (fits)
        fits = Zyl_StrCopy(created->Path, path, sizeof(created->Path));
    if (fits)
        fits = Zyl_NormalizePath(created->Path, 1, sizeof(created->Path));
    if (!fits) {
        Patcher_Log(PATCHER_LOG_WARNING,
                    "PackageController_Create(): unusable name, URL or path for [%s]", name);
        created->Tag = Zyl_DeadTag;
        ZYL_FREE(created, sizeof(PackageControllerStruct));
        return 0;
    }
    Package_Create(&created->PackageDoc);
    PackageVersion_Create(&created->Version);
    *controller = created;
    return 1;
}

int PackageController_Destroy(PackageControllerStruct **controller) {
    ZYL_CHECK_PTR(controller);
    PackageControllerStruct *doomed = *controller;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    PatcherTask_StopThread(&doomed->Task);
    PackageVersion_Destroy(&doomed->Version);
    Package_Destroy(&doomed->PackageDoc);
    PatcherFetch_Free(&doomed->FetchContent, doomed->FetchSize);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PackageControllerStruct));
    *controller = nullptr;
    return 1;
}

int PackageController_SetPatcher(PackageControllerStruct *controller, Patcher *patcher) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(patcher);
    controller->Owner = patcher;
    return 1;
}

int PackageController_GetActive(PackageControllerStruct *controller, int32_t *active) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(active);
    *active = controller->Active;
    return 1;
}

int PackageController_SetActive(PackageControllerStruct *controller, int active) {
    ZYL_CHECK_TAG(controller, kTag);
    controller->Active = active;
    if (controller->Task != nullptr)
        PatcherTask_SetActive(controller->Task, active);
    return 1;
}

int PackageController_GetOptions(PackageControllerStruct *controller, PackageOptions *options) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(options);
    *options = controller->Options;
    return 1;
}

int PackageController_SetOptions(PackageControllerStruct *controller,
                                 const PackageOptions *options) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(options);
    controller->Options = *options;
    // The command is a text wherever it came from.
    controller->Options.RestartCommand[PACKAGE_OPTIONS_COMMAND_SIZE - 1] = 0;
    if (controller->Task != nullptr)
        PatcherTask_SetOptions(controller->Task, &controller->Options);
    return 1;
}

int PackageController_GetTexts(PackageControllerStruct *controller, char *name, char *path,
                               char *url) {
    ZYL_CHECK_TAG(controller, kTag);
    if (name != nullptr)
        Zyl_StrCopy(name, controller->Name, PATCHER_NAME_SIZE);
    if (path != nullptr)
        Zyl_StrCopy(path, controller->Path, PATCHER_NAME_SIZE);
    if (url != nullptr)
        Zyl_StrCopy(url, controller->Url, PACKAGE_CONTROLLER_URL_SIZE);
    return 1;
}
