// The package controller's record with its options and active flag. The
// periodic fetch of the package document, its evaluation against the installed
// version and the update task are not part of this record yet: its periodic
// and request steps only check the record and clear the consent answers.
#include "patcher/packagecontroller.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "patcher/patcher.h"
#include "patcher/patcherevents.h"
#include "patcher/patcherlog.h"

#include <cstring>

static const char kTag[] = "..\\..\\shared\\packagecontroller.c";

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
    int32_t PreProcessDone;
    int32_t AllowRestart;
    int32_t PostProcessDone;
    PatcherPackageStatus LastStatus;
};

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
    *controller = created;
    return 1;
}

int PackageController_Destroy(PackageControllerStruct **controller) {
    ZYL_CHECK_PTR(controller);
    PackageControllerStruct *doomed = *controller;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
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

int PackageController_Tick(double elapsed, PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    (void)elapsed;
    return 1;
}

int PackageController_ProcessTaskRequests(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    // Without a task in a consent state the answers are reset.
    controller->PreProcessDone = 0;
    controller->AllowRestart = 0;
    controller->PostProcessDone = 0;
    return 1;
}

int PackageController_IsPreProcessDone(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    return controller->PreProcessDone == 1;
}

int PackageController_IsPostProcessDone(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    return controller->PostProcessDone == 1;
}

int PackageController_GetRestartAllowed(PackageControllerStruct *controller, int32_t *allowed) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(allowed);
    *allowed = controller->AllowRestart;
    return controller->AllowRestart;
}
