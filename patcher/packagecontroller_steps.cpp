// The package controller's periodic step (fetch the ".package" document, read
// the installed version, resume or offer an update) and its request step (the
// front end's answers for the task). The transfer and the consent callbacks run
// without the Patcher's API mutex; everything else here runs with it held.
#include "core/zyl.h"
#include "patcher/documentfetch.h"
#include "patcher/expansionhelper.h"
#include "patcher/package.h"
#include "patcher/packagecontroller.h"
#include "patcher/packagecontroller_private.h"
#include "patcher/packageversion.h"
#include "patcher/patcher.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/patchertask.h"
#include "patcher/taskstatus.h"

#include <cstring>

static const char *const kTag = PackageController_Tag;
// The runtime this engine is; packages may ask for a newer one.
static const char kRuntimeVersion[] = "2.0.8.5";
static const double kRetryAfterFailure = 30.0; // seconds

int PackageController_GetPackageURL(PackageControllerStruct *controller, char *url) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(url);
    Zyl_FormatString(url, PATCHER_NAME_SIZE, "%s%s%s", controller->Url, controller->Name,
                     ".package");
    return 1;
}

int PackageController_GetVersionPath(PackageControllerStruct *controller, char *path) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(path);
    Zyl_FormatString(path, PATCHER_NAME_SIZE, "%s%s%s", controller->Path, controller->Name,
                     ".version");
    return 1;
}

int PackageController_GetSerial(PackageControllerStruct *controller, uint64_t *serial) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(serial);
    *serial = controller->Serial;
    return 1;
}

int PackageController_SaveVersion(PackageControllerStruct *controller, int inProgress,
                                  PatcherTaskStatus *status) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(status);
    char path[PATCHER_NAME_SIZE];
    PackageController_GetVersionPath(controller, path);
    // A run killed while saving left its temporary version file beside it.
    ExpansionHelper_RemoveLeftovers(path, ".tmp");
    PackageVersion *version = nullptr;
    PackageVersion_Create(&version);
    int result = PackageVersion_SetFromTask(status, version, inProgress) &&
                 PackageVersion_Save(version, path);
    PackageVersion_Destroy(&version);
    return result;
}

int PackageController_OnTaskState(const PatcherPackageStatus *status,
                                  PackageControllerStruct *controller, int packageType,
                                  int newState, int oldState) {
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_TAG(controller, kTag);
    controller->LastStatus = *status;
    controller->LastStatus.State = newState;
    PatcherStateChangeRecord record;
    memset(&record, 0, sizeof(record));
    record.PackageType = packageType;
    record.NewState = newState;
    record.PreviousState = oldState;
    record.Status = controller->LastStatus;
    Patcher_QueueStateChange(controller->Owner, controller->Name, &record);
    if (newState == PATCHER_STATE_TASKCOMPLETE)
        controller->Countdown = 0;
    else if (newState == PATCHER_STATE_FAILED)
        controller->Countdown = controller->RetrievalPeriod;
    if (newState == PATCHER_STATE_TASKCOMPLETE || newState == PATCHER_STATE_FAILED)
        controller->TaskFinished = 1;
    return 1;
}

// ---------------------------------------------------------------------------
// Periodic step
// ---------------------------------------------------------------------------

int PackageController_Tick(double elapsed, PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    if (controller->TaskFinished) {
        // The task's thread takes the API mutex no more once it has finished.
        PatcherTask_StopThread(&controller->Task);
        controller->TaskFinished = 0;
    }
    if (controller->Active != 1 || controller->VersionChoicePending ||
        controller->FetchState != PACKAGE_FETCH_IDLE)
        return 1;
    controller->Countdown -= elapsed;
    if (controller->Countdown > 0)
        return 1;
    controller->Countdown = controller->RetrievalPeriod;
    char url[PATCHER_NAME_SIZE];
    PackageController_GetPackageURL(controller, url);
    Patcher_Log(PATCHER_LOG_INFO, "Attempt to retrieve package [%s]", url);
    controller->FetchState = PACKAGE_FETCH_PENDING;
    return 1;
}

int PackageController_BeginFetch(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    if (controller->FetchState != PACKAGE_FETCH_PENDING)
        return 0;
    controller->FetchState = PACKAGE_FETCH_RUNNING;
    return 1;
}

int PackageController_RunFetch(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    char url[PATCHER_NAME_SIZE];
    PackageController_GetPackageURL(controller, url);
    PatcherFetch_Free(&controller->FetchContent, controller->FetchSize);
    controller->FetchResult =
        PatcherFetch_Get(url, &controller->FetchContent, &controller->FetchSize, controller->Owner);
    return controller->FetchResult;
}

int PackageController_IsFetching(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    return controller->FetchState == PACKAGE_FETCH_RUNNING;
}

// Up to four dot-separated numbers of a version text ("2.0.8.5").
static void PackageController_InternalParseRuntime(const char *text, int64_t parts[4]) {
    for (int i = 0; i < 4; i++)
        parts[i] = 0;
    const char *p = text;
    for (int i = 0; i < 4 && *p != 0; i++) {
        int64_t value = 0;
        while (*p >= '0' && *p <= '9') {
            if (value < 100000000)
                value = value * 10 + (*p - '0');
            p++;
        }
        parts[i] = value;
        if (*p != '.')
            break;
        p++;
    }
}

// 1 when the package asks for a newer runtime than this one.
static int PackageController_InternalNeedsNewerRuntime(const char *wanted) {
    int64_t mine[4], theirs[4];
    PackageController_InternalParseRuntime(kRuntimeVersion, mine);
    PackageController_InternalParseRuntime(wanted, theirs);
    for (int i = 0; i < 4; i++) {
        if (theirs[i] != mine[i])
            return theirs[i] > mine[i];
    }
    return 0;
}

// Algorithm "no update": reports ALLTASKSCOMPLETE.
static void PackageController_InternalNoUpdate(PackageControllerStruct *controller, int type) {
    int previous = controller->LastStatus.State;
    if (previous == 0) {
        int32_t installed = -1;
        const char *name = "";
        PackageVersion_GetVersion(controller->Version, &installed);
        PackageVersion_GetName(controller->Version, &name);
        PatcherPackageStatus *status = &controller->LastStatus;
        Zyl_StrCopy(status->CurrentName, name, sizeof(status->CurrentName));
        Zyl_StrCopy(status->TargetName, name, sizeof(status->TargetName));
        status->CurrentVersion = installed;
        status->TargetVersion = installed;
        status->PackageType = type;
    }
    controller->LastStatus.State = PATCHER_STATE_ALLTASKSCOMPLETE;
    PatcherStateChangeRecord record;
    memset(&record, 0, sizeof(record));
    record.PackageType = type;
    record.NewState = PATCHER_STATE_ALLTASKSCOMPLETE;
    record.PreviousState = previous == 0 ? PATCHER_STATE_IDLE : previous;
    record.Status = controller->LastStatus;
    Patcher_QueueStateChange(controller->Owner, controller->Name, &record);
}

// Resumes a task stored in the version document when its deploy stamp is the
// package's.
static void PackageController_InternalResumeCheck(PackageControllerStruct *controller) {
    char path[PATCHER_NAME_SIZE];
    PackageController_GetVersionPath(controller, path);
    int32_t inProgress = 0;
    if (!PackageVersion_LoadVersion(controller->Version, path) || controller->Task != nullptr)
        return;
    PackageVersion_GetInProgress(controller->Version, &inProgress);
    if (inProgress != 1)
        return;
    PatcherTaskStatus *stored = nullptr;
    PatcherTaskData *data = nullptr;
    PackageVersion_GetTaskStatus(controller->Version, &stored);
    PatcherTaskStatus_GetData(stored, &data);
    int32_t stamp = 0;
    Package_GetDeployStamp(controller->PackageDoc, &stamp);
    if (data->DeployStamp != stamp) {
        Patcher_Log(PATCHER_LOG_INFO, "Abandon previous (non-matching deploy stamps [%d,%d])",
                    data->DeployStamp, stamp);
        return;
    }
    Patcher_Log(PATCHER_LOG_INFO, "Restart previous");
    if (!PatcherTask_StartThread(&controller->Task, controller->Owner, controller))
        return;
    if (!PatcherTask_InitResume(controller->Task, &controller->Options, stored))
        PatcherTask_StopThread(&controller->Task);
}

// Offers the next release, or reports that there is none.
static void PackageController_InternalOffer(PackageControllerStruct *controller, int type) {
    int32_t latest = -1, installed = -1, hasBaseLine = 0;
    char latestName[PATCHER_SHORT_NAME_SIZE] = "";
    const char *installedName = "";
    const PackageRelease *latestRelease = nullptr;
    Package_GetLatestRelease(controller->PackageDoc, &latest, latestName, &latestRelease);
    Package_GetHasBaseLine(controller->PackageDoc, &hasBaseLine);
    PackageVersion_GetVersion(controller->Version, &installed);
    if (hasBaseLine == 1 && installed == -1) {
        PackageVersion_ResetVersion(controller->Version);
        installed = 0;
    }
    PackageVersion_GetName(controller->Version, &installedName);
    char typeName[PACKAGE_TYPE_NAME_SIZE];
    Patcher_GetPackageTypeName(typeName, type);
    Patcher_Log(PATCHER_LOG_INFO, "Version retrieved [%s] %d/%d [%s]/[%s] type [%s]",
                controller->Name, latest, installed, latestName, installedName, typeName);
    if (controller->Task != nullptr) {
        if (controller->LastStatus.State == PATCHER_STATE_WAITFORLIVE && latestRelease != nullptr &&
            latestRelease->DescriptorType == PACKAGE_DESCRIPTOR_MIN)
            PatcherTask_SetLive(controller->Task);
        return;
    }
    const PackageRelease *next = nullptr;
    if (latest <= installed || !Package_FindNextRelease(controller->PackageDoc, installed, &next)) {
        PackageController_InternalNoUpdate(controller, type);
        return;
    }
    const char *runtime = "";
    Package_GetMinimumRuntime(controller->PackageDoc, &runtime);
    if (PackageController_InternalNeedsNewerRuntime(runtime))
        Patcher_Log(PATCHER_LOG_WARNING,
                    "The current runtime version (%s) is less than the requested version (%s).  "
                    "Not all requested features may work properly.",
                    kRuntimeVersion, runtime);
    PatcherVersionCheckRecord *record = &controller->VersionCheck;
    memset(record, 0, sizeof(*record));
    record->PackageType = type;
    Zyl_StrCopy(record->CurrentName, installedName, sizeof(record->CurrentName));
    record->CurrentVersion = installed;
    Zyl_StrCopy(record->TargetName, next->Name, sizeof(record->TargetName));
    record->TargetVersion = next->Version;
    controller->VersionChoicePending = 1;
    controller->RequestGeneration++;
}

// Evaluates a freshly read ".package" document.
static void PackageController_InternalEvaluate(PackageControllerStruct *controller) {
    PackageController_InternalResumeCheck(controller);
    int32_t type = 0;
    Package_GetType(controller->PackageDoc, &type);
    char typeName[PACKAGE_TYPE_NAME_SIZE];
    if (!Patcher_GetPackageTypeName(typeName, type)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unsupported update type [%s]", typeName);
        return;
    }
    if (type == PACKAGE_TYPE_MAINTENANCE) {
        const PackageMaintenance *maintenance = nullptr;
        Package_GetMaintenance(controller->PackageDoc, &maintenance);
        PatcherMaintenanceRecord record;
        static_assert(sizeof(record) == sizeof(*maintenance), "maintenance records match");
        memcpy(&record, maintenance, sizeof(record));
        Patcher_QueueMaintenance(controller->Owner, controller->Name, &record);
        return;
    }
    PackageController_InternalOffer(controller, type);
}

int PackageController_EndFetch(PackageControllerStruct *controller, int filed) {
    ZYL_CHECK_TAG(controller, kTag);
    controller->FetchState = PACKAGE_FETCH_IDLE;
    int fetched = controller->FetchResult == 1 && controller->FetchContent != nullptr;
    if (filed && fetched)
        fetched = Package_LoadBuffer(controller->PackageDoc, controller->FetchContent);
    PatcherFetch_Free(&controller->FetchContent, controller->FetchSize);
    controller->FetchResult = 0;
    if (!filed)
        return 1;
    if (fetched) {
        controller->FailureCount = 0;
        PackageController_InternalEvaluate(controller);
        return 1;
    }
    controller->FailureCount++;
    if (controller->FailureCount < controller->FailureLimit) {
        controller->Countdown = kRetryAfterFailure;
    } else {
        char url[PATCHER_NAME_SIZE];
        PackageController_GetPackageURL(controller, url);
        Patcher_ReportError(1, "Unable to retrieve version [%s]", url);
    }
    return 1;
}

int PackageController_TickAndFetch(double elapsed, PackageControllerStruct *controller) {
    PackageController_Tick(elapsed, controller);
    if (PackageController_BeginFetch(controller)) {
        PackageController_RunFetch(controller);
        PackageController_EndFetch(controller, 1);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Request step
// ---------------------------------------------------------------------------

int PackageController_GatherRequests(PackageControllerStruct *controller,
                                     PackageControllerRequest *request) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(request);
    memset(request, 0, sizeof(*request));
    request->Controller = controller;
    request->Serial = controller->Serial;
    request->Generation = controller->RequestGeneration;
    Zyl_StrCopy(request->Name, controller->Name, sizeof(request->Name));
    if (controller->VersionChoicePending) {
        request->AskVersion = 1;
        request->OfferedTarget = controller->VersionCheck.TargetVersion;
        request->ChosenTarget = request->OfferedTarget;
        request->VersionRecord = controller->VersionCheck;
    }
    int state = controller->LastStatus.State;
    int done = state == PATCHER_STATE_PREPROCESS ? controller->PreProcessDone
                                                 : controller->PostProcessDone;
    if ((state == PATCHER_STATE_PREPROCESS || state == PATCHER_STATE_POSTPROCESS) && !done &&
        controller->Task != nullptr) {
        request->AskProcess = state;
        PatcherTask_GetOutputPath(controller->Task, request->Process.OutputPath);
        PatcherTask_GetCopyPath(controller->Task, request->Process.CopyPath);
    } else if (state == PATCHER_STATE_ALLOWRESTART) {
        request->AskRestart = controller->AllowRestart == 0;
    } else if (state != PATCHER_STATE_PREPROCESS && state != PATCHER_STATE_POSTPROCESS) {
        controller->PreProcessDone = 0;
        controller->AllowRestart = 0;
        controller->PostProcessDone = 0;
    }
    return 1;
}

int PackageController_AskRequests(Patcher *patcher, PackageControllerRequest *request) {
    ZYL_CHECK_PTR(request);
    if (request->AskVersion)
        Patcher_CallVersionCheck(request->Name, patcher, &request->ChosenTarget,
                                 &request->VersionRecord);
    if (request->AskProcess != 0) {
        request->Hold = 0;
        if (request->AskProcess == PATCHER_STATE_PREPROCESS)
            Patcher_CallPreProcess(request->Name, patcher, &request->Hold, &request->Process);
        else
            Patcher_CallPostProcess(request->Name, patcher, &request->Hold, &request->Process);
    }
    if (request->AskRestart) {
        request->Allow = 1;
        Patcher_CallAllowRestart(patcher, &request->Allow, request->Name);
    }
    return 1;
}

// Algorithm "choose version" with the front end's answer.
static void PackageController_InternalChoose(PackageControllerStruct *controller, int32_t answer) {
    int32_t offered = controller->VersionCheck.TargetVersion;
    int32_t type = controller->VersionCheck.PackageType;
    int32_t target = offered;
    if (answer != offered) {
        if (type == PACKAGE_TYPE_PROGRESSIVE || type == PACKAGE_TYPE_PROGRESSIVE_VCDIFF) {
            char typeName[PACKAGE_TYPE_NAME_SIZE];
            Patcher_GetPackageTypeName(typeName, type);
            Patcher_Log(PATCHER_LOG_WARNING,
                        "Target version cannot be changed using update type [%s]", typeName);
        } else {
            int32_t chosen = answer < 1 ? 0 : answer;
            target = chosen < offered ? chosen : offered;
        }
    }
    controller->VersionChoicePending = 0;
    int32_t installed = -1;
    PackageVersion_GetVersion(controller->Version, &installed);
    if (installed >= target) {
        Patcher_Log(PATCHER_LOG_INFO, "Update suppressed due to event request [%d/%d,%d]",
                    installed, offered, target);
        PackageController_InternalNoUpdate(controller, type);
        return;
    }
    const PackageRelease *release = nullptr;
    if (!Package_FindRelease(controller->PackageDoc, target, &release)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unable to locate specified version");
        return;
    }
    if (!PatcherTask_StartThread(&controller->Task, controller->Owner, controller)) {
        // Offered again after the next fetch.
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to start the update task [%s]", controller->Name);
        return;
    }
    if (!PatcherTask_InitNew(controller->Task, &controller->Options, controller->Path,
                             controller->Name, controller->Version, controller->PackageDoc,
                             release))
        PatcherTask_StopThread(&controller->Task);
}

int PackageController_StoreAnswers(PackageControllerStruct *controller,
                                   const PackageControllerRequest *request) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(request);
    if (request->Serial != controller->Serial)
        return 0;
    if (request->AskVersion && controller->VersionChoicePending &&
        request->Generation == controller->RequestGeneration && controller->Task == nullptr)
        PackageController_InternalChoose(controller, request->ChosenTarget);
    if (request->AskProcess == PATCHER_STATE_PREPROCESS && request->Hold == 0)
        controller->PreProcessDone = 1;
    if (request->AskProcess == PATCHER_STATE_POSTPROCESS && request->Hold == 0)
        controller->PostProcessDone = 1;
    if (request->AskRestart)
        controller->AllowRestart = request->Allow;
    return 1;
}

int PackageController_ProcessTaskRequests(PackageControllerStruct *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    PackageControllerRequest request;
    PackageController_GatherRequests(controller, &request);
    PackageController_AskRequests(controller->Owner, &request);
    return PackageController_StoreAnswers(controller, &request);
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
