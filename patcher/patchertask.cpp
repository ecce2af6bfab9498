// The update task: a record with its thread, which makes one step of the
// task's state every 50 ms while the task is active. The download client's
// thread writes the download status under the task's mutex; the front end's
// answers are read through the Patcher under its API mutex; every countdown is
// measured from the previous step, so timed work runs once a second.
#include "patcher/patchertask.h"

#include "core/alert.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "patcher/deletehelper.h"
#include "patcher/expansionhelper.h"
#include "patcher/installer/installer.h"
#include "patcher/package.h"
#include "patcher/packagecontroller.h"
#include "patcher/packageversion.h"
#include "patcher/patcher.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherclient.h"
#include "patcher/patcherlog.h"
#include "patcher/pathsafety.h"
#include "patcher/taskstatus.h"

#include <atomic>
#include <cerrno>
#include <cstring>

static const char kTag[] = "..\\..\\shared\\patchertask.c";

static std::atomic<PatcherTaskClock> gClock{nullptr};

struct PatcherTask {
    const char *Tag;
    Patcher *Owner;
    PackageControllerStruct *Controller;
    PatcherTaskStatus *Status;
    PatcherTaskData *Data;          // the status's record; written by the thread once started
    PackageOptions Options;         // under Mutex
    PatcherDownloadStatus Download; // under Mutex
    ExpansionHelperStruct *Helper;
    int64_t FirstCounter; // expansion counters (the thread's own)
    int64_t SecondCounter;
    int64_t LastBytesLeft;
    double Stall; // seconds without a change of the bytes left
    int32_t Warned;
    std::atomic<int32_t> Live;
    int32_t Active; // under Mutex
    std::atomic<int32_t> DownloadAdded;
    double Countdown;      // seconds
    int32_t DownloadAsked; // the download was handed out in this PREPARE
    int32_t WaitSaved;     // WAITFORLIVE saved its entry
    double Previous;       // clock of the previous step, < 0 before the first
    EventStruct *Event;    // set once by Start: the thread runs from then on
    MutexStruct *Mutex;
    StopFlag Stop;
    ThreadStruct *Thread;
};

int PatcherTask_SetClock(PatcherTaskClock clock) {
    gClock.store(clock);
    return 1;
}

static double PatcherTask_InternalNow() {
    PatcherTaskClock clock = gClock.load();
    return clock != nullptr ? clock() : Zyl_GetTickSeconds();
}

// ---------------------------------------------------------------------------
// Status and state
// ---------------------------------------------------------------------------

int PatcherTask_GetStatus(PatcherPackageStatus *status, PatcherTask *task) {
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_TAG(task, kTag);
    PatcherPackageStatus_Init(status);
    const PatcherTaskData *data = task->Data;
    status->State = data->PatcherState;
    Zyl_StrCopy(status->CurrentName, data->CurrentName, sizeof(status->CurrentName));
    status->CurrentVersion = data->CurrentVersion;
    Zyl_StrCopy(status->TargetName, data->TargetName, sizeof(status->TargetName));
    status->TargetVersion = data->TargetVersion;
    status->PackageDescriptorType = data->PackageDescriptorType;
    status->PackageType = data->PackageType;
    MUTEX_LOCK(task->Mutex);
    PatcherDownloadStatus download = task->Download;
    MUTEX_UNLOCK(task->Mutex);
    status->DownloadActive = download.Active;
    status->DownloadFilesSize = download.FilesSize;
    status->DownloadBytesLeft = download.BytesLeft;
    int64_t checked = download.FilesSize - (int64_t)download.PiecesChecked * download.PieceLength;
    status->CheckedBytesLeft = checked < 0 ? 0 : checked;
    status->ExpansionDone = task->FirstCounter;
    status->ExpansionTotal = task->SecondCounter;
    status->PeakRate = download.PeakRate;
    status->AverageRate = download.AverageRate;
    status->CurrentRate = download.CurrentRate;
    status->BytesIn = download.BytesIn;
    status->BytesOut = download.BytesOut;
    return 1;
}

int PatcherTask_SetState(PatcherTask *task, int state) {
    ZYL_CHECK_TAG(task, kTag);
    int old = task->Data->PatcherState;
    task->Data->PatcherState = state;
    if (old == state)
        return 1;
    PatcherPackageStatus status;
    PatcherTask_GetStatus(&status, task);
    if (Patcher_Lock(task->Owner)) {
        PackageController_OnTaskState(&status, task->Controller, task->Data->PackageType, state,
                                      old);
        Patcher_Unlock(task->Owner);
    }
    if (state == PATCHER_STATE_WAITFORLIVE || state == PATCHER_STATE_TASKCOMPLETE)
        Patcher_QueueStatus(task->Owner, task->Data->PackageName, &status);
    return 1;
}

int PatcherTask_GetState(PatcherTask *task, int32_t *state) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(state);
    *state = std::atomic_ref<int32_t>(task->Data->PatcherState).load();
    return 1;
}

int PatcherTask_SetActive(PatcherTask *task, int flag) {
    ZYL_CHECK_TAG(task, kTag);
    MUTEX_LOCK(task->Mutex);
    task->Active = flag;
    MUTEX_UNLOCK(task->Mutex);
    // The client calls the task back with its download's lock held: never hold
    // the task's mutex while calling it.
    PatcherClient *client = nullptr;
    Patcher_GetClient(task->Owner, &client);
    if (task->DownloadAdded.load() == 1)
        PatcherClient_SetDownloadActive(client, task->Data->PackageName, flag);
    return 1;
}

int PatcherTask_SetLive(PatcherTask *task) {
    ZYL_CHECK_TAG(task, kTag);
    task->Live.store(1);
    return 1;
}

int PatcherTask_SetOptions(PatcherTask *task, const PackageOptions *options) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(options);
    MUTEX_LOCK(task->Mutex);
    task->Options = *options;
    MUTEX_UNLOCK(task->Mutex);
    int32_t switches[PATCHER_SWITCH_COUNT] = {options->PeerToPeer, options->Web};
    PatcherClient *client = nullptr;
    Patcher_GetClient(task->Owner, &client);
    if (task->DownloadAdded.load() == 1)
        PatcherClient_SetDownloadSwitches(client, task->Data->PackageName, switches);
    return 1;
}

int PatcherTask_GetOutputPath(PatcherTask *task, char *path) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(path, task->Data->OutputPath, PATCHER_PATH_SIZE);
    return 1;
}

int PatcherTask_GetCopyPath(PatcherTask *task, char *path) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(path, task->Data->CopyPath, PATCHER_PATH_SIZE);
    return 1;
}

int PatcherTask_GetTaskStatus(PatcherTask *task, PatcherTaskStatus **status) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(status);
    *status = task->Status;
    return 1;
}

int PatcherTask_OnDownloadStatus(PatcherClient *, void *task, const char *, const char *,
                                 const char *, const PatcherDownloadStatus *status,
                                 const ServerOptions *) {
    PatcherTask *self = static_cast<PatcherTask *>(task);
    ZYL_CHECK_TAG(self, kTag);
    ZYL_CHECK_PTR(status);
    MUTEX_LOCK(self->Mutex);
    self->Download = *status;
    MUTEX_UNLOCK(self->Mutex);
    return 1;
}

// Fetches the download's status from the client into the task. Returns 1.
static int PatcherTask_InternalFetchDownload(PatcherTask *task) {
    PatcherClient *client = nullptr;
    Patcher_GetClient(task->Owner, &client);
    PatcherDownloadStatus status;
    if (!PatcherClient_GetDownloadStatus(task->Data->PackageName, client, &status))
        return 0;
    MUTEX_LOCK(task->Mutex);
    task->Download = status;
    MUTEX_UNLOCK(task->Mutex);
    return 1;
}

static void PatcherTask_InternalQueueStatus(PatcherTask *task) {
    PatcherPackageStatus status;
    PatcherTask_GetStatus(&status, task);
    Patcher_QueueStatus(task->Owner, task->Data->PackageName, &status);
}

void PatcherTask_ExpansionProgress(const char *, void *task, uint32_t low, uint32_t high) {
    PatcherTask *self = static_cast<PatcherTask *>(task);
    ZYL_CHECK_TAG(self, kTag);
    int64_t amount = (int64_t)(((uint64_t)high << 32) | low);
    self->SecondCounter -= amount;
    if (self->SecondCounter < 0)
        self->SecondCounter = 0;
    PatcherTask_InternalFetchDownload(self);
    PatcherTask_InternalQueueStatus(self);
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

static uint32_t PatcherTask_ThreadProc(void *argument);

int PatcherTask_StartThread(PatcherTask **task, Patcher *patcher,
                            PackageControllerStruct *controller) {
    ZYL_CHECK_PTR(task);
    ZYL_CHECK_PTR(patcher);
    ZYL_CHECK_PTR(controller);
    *task = nullptr;
    PatcherTask *created = ZYL_NEW(PatcherTask);
    created->Tag = kTag;
    created->Owner = patcher;
    created->Controller = controller;
    PatcherDownloadStatus_Init(&created->Download);
    Event_Create(&created->Event);
    Mutex_Create(&created->Mutex);
    ExpansionHelper_Create(&created->Helper, PatcherTask_ExpansionProgress, created);
    PatcherTaskStatus_Create(&created->Status);
    PatcherTaskStatus_GetData(created->Status, &created->Data);
    Patcher_InitPackageOptions(&created->Options);
    created->Active = 1;
    created->Countdown = 1.0;
    created->Previous = -1;
    if (Thread_Create(&created->Thread, created, PatcherTask_ThreadProc) != 1) {
        Zyl_Print("Unable to create PatcherTask thread (%d)\n", errno);
        PatcherTaskStatus_Destroy(&created->Status);
        ExpansionHelper_Destroy(&created->Helper);
        Mutex_Close(&created->Mutex);
        Event_Close(&created->Event);
        created->Tag = Zyl_DeadTag;
        ZYL_FREE(created, sizeof(PatcherTask));
        return 0;
    }
    *task = created;
    return 1;
}

int PatcherTask_StopThread(PatcherTask **task) {
    ZYL_CHECK_PTR(task);
    PatcherTask *doomed = *task;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    StopFlag_Set(&doomed->Stop, 1);
    Event_Set(doomed->Event, 1);
    if (doomed->DownloadAdded.load() == 1) {
        PatcherClient *client = nullptr;
        Patcher_GetClient(doomed->Owner, &client);
        PatcherClient_RemoveDownload(client, doomed->Data->PackageName);
    }
    if (Thread_Wait(doomed->Thread, PATCHER_TASK_JOIN_MILLISECONDS) == 1) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "PatcherTask thread shut down successful");
    } else {
        // The thread may still reach the task: leave it allocated.
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Timeout waiting on PatcherTask thread shutdown");
        *task = nullptr;
        return 0;
    }
    Thread_Close(&doomed->Thread);
    PatcherTaskStatus_Destroy(&doomed->Status);
    ExpansionHelper_Destroy(&doomed->Helper);
    Mutex_Close(&doomed->Mutex);
    Event_Close(&doomed->Event);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PatcherTask));
    *task = nullptr;
    return 1;
}

int PatcherTask_Start(PatcherTask *task, const PackageOptions *options) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(options);
    PatcherTaskData *data = task->Data;
    Patcher_Log(PATCHER_LOG_INFO, "Start task [%s] [%s] [%s] [%s] [%.2f/%.2f]", data->SkinSource,
                data->MetaFile, data->OutputPath, data->CopyPath, (double)data->CurrentVersion,
                (double)data->TargetVersion);
    MUTEX_LOCK(task->Mutex);
    task->Options = *options;
    MUTEX_UNLOCK(task->Mutex);
    Zyl_StrCopy(data->RestartCommandLine, options->RestartCommand,
                sizeof(data->RestartCommandLine));
    int signalled = 0;
    Event_Poll(task->Event, &signalled);
    if (signalled)
        return 0;
    Event_Set(task->Event, 1);
    return 1;
}

int PatcherTask_InitNew(PatcherTask *task, const PackageOptions *options, const char *path,
                        const char *name, PackageVersion *version, Package *package,
                        const PackageRelease *release) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(version);
    ZYL_CHECK_PTR(package);
    ZYL_CHECK_PTR(release);
    PatcherTaskData *values = ZYL_NEW(PatcherTaskData);
    const char *installedName = "";
    PackageVersion_GetVersion(version, &values->CurrentVersion);
    PackageVersion_GetName(version, &installedName);
    Zyl_StrCopy(values->CurrentName, installedName, sizeof(values->CurrentName));
    values->TargetVersion = release->Version;
    Zyl_StrCopy(values->TargetName, release->Name, sizeof(values->TargetName));
    Zyl_StrCopy(values->SkinSource, release->SkinSource, sizeof(values->SkinSource));
    values->RestartRequired = release->RestartRequired;
    values->AvailableReleases = release->AvailableReleases;
    values->PackageDescriptorType = release->DescriptorType;
    Package_GetType(package, &values->PackageType);
    Package_GetPrependDirectory(package, &values->PrependDirectory);
    Package_GetDestructiveUpdate(package, &values->DestructiveUpdate);
    Package_GetUseDeployExtension(package, &values->UseDeployExtension);
    Package_GetProcessDeleteManifest(package, &values->ProcessDeleteManifest);
    Package_GetHasBaseLine(package, &values->HasBaseLine);
    Package_GetDeployStamp(package, &values->DeployStamp);
    Package_GetPerformExpand(package, &values->PerformCopy);
    Package_GetPerformPostExpandDelete(package, &values->PerformDelete);
    const char *allow = "";
    Package_GetAllowModifiedFiles(package, &allow);
    Zyl_StrCopy(values->AllowModifiedFiles, allow, sizeof(values->AllowModifiedFiles));
    Package_GetPreProcessCommands(package, &values->PreProcessCommands);
    Package_GetPostProcessCommands(package, &values->PostProcessCommands);
    Package_GetUninstallCommands(package, &values->UninstallCommands);
    Zyl_StrCopy(values->PackageName, name, sizeof(values->PackageName));
    Zyl_StrCopy(values->BasePath, path, sizeof(values->BasePath));
    Zyl_StrCopy(values->CopyPath, path, sizeof(values->CopyPath));
    int result = 1;
    if (values->DestructiveUpdate == 1)
        Zyl_StrCopy(values->OutputPath, path, sizeof(values->OutputPath));
    else
        result = PatcherTask_GenerateOutputPath(values->OutputPath, path, name, values->PackageType,
                                                values->TargetVersion);
    if (values->PackageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF) {
        int from = values->CurrentVersion;
        if (values->AvailableReleases != 0 &&
            values->CurrentVersion < values->TargetVersion - values->AvailableReleases + 1)
            from = values->HasBaseLine == 1 ? 0 : -1;
        Zyl_FormatString(values->MetaFile, sizeof(values->MetaFile), "%s_%d_%dto%d.vexil", name,
                         values->TargetVersion, from, values->TargetVersion);
    } else {
        Zyl_StrCopy(values->MetaFile, release->MetaFile, sizeof(values->MetaFile));
    }
    if (result)
        result = PatcherTaskStatus_Set(task->Status, values);
    ZYL_FREE(values, sizeof(PatcherTaskData));
    if (!result) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to prepare the update task [%s]", name);
        return 0;
    }
    return PatcherTask_Start(task, options);
}

int PatcherTask_InitResume(PatcherTask *task, const PackageOptions *options,
                           PatcherTaskStatus *stored) {
    ZYL_CHECK_TAG(task, kTag);
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_PTR(stored);
    if (!PatcherTaskStatus_Copy(task->Status, stored))
        return 0;
    int state = task->Data->PatcherState;
    int type = task->Data->PackageType;
    // The status is taken before the task's thread is released: from then on it
    // writes the record (the expansion's counters among others).
    PatcherPackageStatus status;
    PatcherTask_GetStatus(&status, task);
    int result = PatcherTask_Start(task, options);
    // The controller learns the stored state as if the task had just reached it,
    // so that its request step asks what that state waits for.
    PackageController_OnTaskState(&status, task->Controller, type, state, PATCHER_STATE_IDLE);
    return result;
}

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------

static int PatcherTask_InternalSave(PatcherTask *task, int inProgress) {
    return PackageController_SaveVersion(task->Controller, inProgress, task->Status);
}

// Counts the countdown down; 1 (and a new second) when it expired.
static int PatcherTask_InternalExpired(PatcherTask *task, double elapsed) {
    task->Countdown -= elapsed;
    if (task->Countdown > 0)
        return 0;
    task->Countdown = 1.0;
    return 1;
}

static void PatcherTask_InternalStartDownload(PatcherTask *task) {
    PatcherTaskData *data = task->Data;
    Patcher_Log(PATCHER_LOG_INFO, "Start download [%s]", data->SkinSource);
    Patcher_Log(PATCHER_LOG_INFO, "[%s]", data->MetaFile);
    Patcher_Log(PATCHER_LOG_INFO, "[%s]", data->OutputPath);
    Patcher_Log(PATCHER_LOG_INFO, "[%s]", data->CopyPath);
    char address[PATCHER_PATH_SIZE];
    if (data->PrependDirectory == 1)
        Zyl_FormatString(address, sizeof(address), "%s/%d/%s", data->PackageName,
                         data->TargetVersion, data->MetaFile);
    else
        Zyl_StrCopy(address, data->MetaFile, sizeof(address));
    MUTEX_LOCK(task->Mutex);
    int32_t switches[PATCHER_SWITCH_COUNT] = {task->Options.PeerToPeer, task->Options.Web};
    MUTEX_UNLOCK(task->Mutex);
    int32_t debugMetaFile = 0;
    Patcher_GetDebugMetaFile(&debugMetaFile);
    // The task's files land directly in its output path, where the expansion
    // reads them: no folder named after the content.
    int32_t elementOptions[PATCHER_ELEMENT_OPTION_COUNT] = {debugMetaFile, 1, 0, 0, 0};
    PatcherClient *client = nullptr;
    Patcher_GetClient(task->Owner, &client);
    task->DownloadAdded.store(1);
    if (!PatcherClient_AddDownload(client, switches, data->PackageName, data->SkinSource, address,
                                   data->OutputPath, PatcherTask_OnDownloadStatus, task,
                                   elementOptions)) {
        task->DownloadAdded.store(0);
        PatcherTask_SetState(task, PATCHER_STATE_FAILED);
    }
}

static int PatcherTask_InternalDownloadState(PatcherTask *task) {
    MUTEX_LOCK(task->Mutex);
    int state = task->Download.State;
    MUTEX_UNLOCK(task->Mutex);
    return state;
}

static int PatcherTask_InternalDownloadFailed(int state) {
    return state == PATCHER_DOWNLOAD_STATE_FAILED || state == PATCHER_DOWNLOAD_STATE_CANCELLED;
}

static void PatcherTask_InternalPrepare(PatcherTask *task, double elapsed) {
    int state = PatcherTask_InternalDownloadState(task);
    if (state == PATCHER_DOWNLOAD_STATE_INITIALIZE) {
        if (!task->DownloadAsked) {
            task->DownloadAsked = 1;
            task->Stall = 0;
            task->Warned = 0;
            task->LastBytesLeft = 0;
            PatcherTask_InternalStartDownload(task);
        }
    } else if (state == PATCHER_DOWNLOAD_STATE_SCAN) {
        if (PatcherTask_InternalExpired(task, elapsed)) {
            PatcherTask_InternalFetchDownload(task);
            PatcherTask_InternalQueueStatus(task);
        }
    } else if (state == PATCHER_DOWNLOAD_STATE_DOWNLOAD ||
               state == PATCHER_DOWNLOAD_STATE_COMPLETE) {
        PatcherTask_SetState(task, PATCHER_STATE_DOWNLOAD);
    } else if (PatcherTask_InternalDownloadFailed(state)) {
        PatcherTask_SetState(task, PATCHER_STATE_FAILED);
    }
}

static void PatcherTask_InternalDownload(PatcherTask *task, double elapsed) {
    int state = PatcherTask_InternalDownloadState(task);
    if (state == PATCHER_DOWNLOAD_STATE_COMPLETE) {
        PatcherTask_InternalFetchDownload(task);
        PatcherTask_InternalQueueStatus(task);
        PatcherClient *client = nullptr;
        Patcher_GetClient(task->Owner, &client);
        PatcherClient_RemoveDownload(client, task->Data->PackageName);
        task->DownloadAdded.store(0);
        PatcherTask_SetState(task, PATCHER_STATE_WAITFORLIVE);
        PatcherTask_InternalSave(task, 1);
        return;
    }
    if (PatcherTask_InternalDownloadFailed(state)) {
        PatcherTask_SetState(task, PATCHER_STATE_FAILED);
        return;
    }
    task->Stall += elapsed;
    if (!PatcherTask_InternalExpired(task, elapsed))
        return;
    PatcherTask_InternalFetchDownload(task);
    PatcherTask_InternalQueueStatus(task);
    MUTEX_LOCK(task->Mutex);
    int64_t left = task->Download.BytesLeft;
    MUTEX_UNLOCK(task->Mutex);
    if (left != task->LastBytesLeft) {
        task->LastBytesLeft = left;
        task->Stall = 0;
        task->Warned = 0;
    } else if (task->Stall > PATCHER_TASK_WARN_SECONDS && !task->Warned) {
        Patcher_Log(PATCHER_LOG_WARNING,
                    "No download sources have successfully contributed within warn interval");
        task->Warned = 1;
    }
}

// Copies an installed file named by the delete manifest into the baseline.
static int PatcherTask_InternalBaselineCopy(FileStruct *, void *, void *task,
                                            PatcherTaskStatus *status, const char *line) {
    PatcherTask *self = static_cast<PatcherTask *>(task);
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    char source[PATCHER_PATH_SIZE], target[PATCHER_PATH_SIZE], baseline[PATCHER_PATH_SIZE];
    Zyl_FormatString(baseline, sizeof(baseline), "%sbaseline/", data->OutputPath);
    if (!PathSafety_JoinInside(source, data->CopyPath, line) ||
        !PathSafety_JoinInside(target, baseline, line) || !PathSafety_Exists(source))
        return 1;
    return ExpansionHelper_CopyFile(target, &self->Stop, self->Helper, source, 1, 0, 0);
}

// The baseline step of a progressive VCDIFF package. 1 on success.
static int PatcherTask_InternalBaseline(PatcherTask *task) {
    PatcherTaskData *data = task->Data;
    char baseline[PATCHER_PATH_SIZE];
    Zyl_StrCopy(baseline, data->OutputPath, sizeof(baseline));
    Zyl_NormalizePath(baseline, 1, sizeof(baseline));
    Zyl_StrAppend(baseline, "baseline", sizeof(baseline));
    Zyl_NormalizePath(baseline, 1, sizeof(baseline));
    if (data->HasBaseLine == 1 && data->CurrentVersion == 0 && data->TargetVersion > 0) {
        char diffName[PATCHER_PATH_SIZE];
        ExpansionHelper_GenerateDiffName(diffName, data->PackageName, data->PackageType,
                                         data->CurrentVersion, data->TargetVersion,
                                         data->HasBaseLine, data->AvailableReleases);
        Patcher_Log(PATCHER_LOG_INFO, "Creating baseline from [%s]", diffName);
        if (!DeleteHelper_DeleteDirectory(data->CopyPath, baseline)) {
            Patcher_ReportError(PATCHER_ERROR_EXPAND, "Unable to delete directory [%s]", baseline);
            return 0;
        }
        DeleteHelper_ProcessDeleteManifest(PatcherTask_InternalBaselineCopy, task->Owner, task,
                                           task->Status, &task->Stop);
        if (!ExpansionHelper_CopyStoreSources(baseline, &task->Stop, task->Helper, task->Status,
                                              data->CopyPath, data->OutputPath, diffName)) {
            Patcher_ReportError(PATCHER_ERROR_EXPAND, "Unable to create baseline");
            return 0;
        }
        Patcher_Log(PATCHER_LOG_INFO, "Baseline creation successful");
    }
    if (data->HasBaseLine == 1 && data->AvailableReleases > 0 &&
        data->CurrentVersion < data->TargetVersion - data->AvailableReleases + 1) {
        Patcher_Log(PATCHER_LOG_INFO, "Performing revert to baseline");
        return ExpansionHelper_CopyTree(task->Helper, data->CopyPath, baseline, 0, 0, 0, 1,
                                        &task->Stop);
    }
    return 1;
}

// Runs one of the installer lists. 1 when every command succeeded.
static int PatcherTask_InternalRunCommands(PatcherTask *task, InstallerCommandList *list) {
    PatcherTaskData *data = task->Data;
    return Installer_Execute(data->CopyPath, data->CopyPath, list, data->OutputPath, data->CopyPath,
                             &task->Stop);
}

static void PatcherTask_InternalPreProcess(PatcherTask *task, double elapsed) {
    if (!PatcherTask_InternalExpired(task, elapsed) ||
        !Patcher_IsPreProcessDone(task->Controller, task->Owner))
        return;
    PatcherTaskData *data = task->Data;
    if (!PatcherTask_InternalRunCommands(task, data->PreProcessCommands))
        return; // tried again at the next expiry
    if (data->PackageType == PACKAGE_TYPE_PROGRESSIVE && data->PerformDelete == 1) {
        Patcher_Log(PATCHER_LOG_WARNING, "Forcing directory delete to false - progressive "
                                         "packages are unable to delete temporary directory");
        data->PerformDelete = 0;
    }
    if (data->PackageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF &&
        !PatcherTask_InternalBaseline(task)) {
        PatcherTask_SetState(task, PATCHER_STATE_FAILED);
        return;
    }
    PatcherTask_SetState(task, data->RestartRequired == 1 ? PATCHER_STATE_ALLOWRESTART
                                                          : PATCHER_STATE_PROCESS);
    PatcherTask_InternalSave(task, 1);
}

static void PatcherTask_InternalProcess(PatcherTask *task, double elapsed) {
    if (!PatcherTask_InternalExpired(task, elapsed))
        return;
    PatcherTaskData *data = task->Data;
    int done = 1;
    if (data->PerformCopy == 1 && data->RestartRequired == 0)
        done = ExpansionHelper_Expand(task->Helper, &task->Stop, &task->FirstCounter, task->Status,
                                      &task->SecondCounter);
    if (done && data->ProcessDeleteManifest == 1)
        done = DeleteHelper_ProcessDeleteManifest(nullptr, task->Owner, task, task->Status,
                                                  &task->Stop);
    if (done && StopFlag_Test(&task->Stop) == 0)
        PatcherTask_SetState(task, PATCHER_STATE_POSTPROCESS);
}

static void PatcherTask_InternalPostProcess(PatcherTask *task, double elapsed) {
    if (!PatcherTask_InternalExpired(task, elapsed) ||
        !Patcher_IsPostProcessDone(task->Controller, task->Owner))
        return;
    if (PatcherTask_InternalRunCommands(task, task->Data->PostProcessCommands))
        PatcherTask_SetState(task, PATCHER_STATE_SAVE);
}

static void PatcherTask_InternalSaveStep(PatcherTask *task, double elapsed) {
    PatcherTaskData *data = task->Data;
    data->CurrentVersion = data->TargetVersion;
    Zyl_StrCopy(data->CurrentName, data->TargetName, sizeof(data->CurrentName));
    if (!PatcherTask_InternalSave(task, 0)) {
        // The update is installed but not recorded: try again rather than
        // report a version that the next start would not find.
        if (PatcherTask_InternalExpired(task, elapsed))
            Patcher_Log(PATCHER_LOG_WARNING, "Unable to save the version of [%s]",
                        data->PackageName);
        return;
    }
    if (data->PerformDelete == 1 && (data->PackageType == PACKAGE_TYPE_INCREMENTAL_VCDIFF ||
                                     data->PackageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF)) {
        if (!DeleteHelper_DeleteDirectory(data->CopyPath, data->OutputPath))
            Patcher_Log(PATCHER_LOG_WARNING, "Unable to delete temp path [%s]", data->OutputPath);
    }
    PatcherTask_SetState(task, PATCHER_STATE_TASKCOMPLETE);
}

// One step of the current state. 0 when the thread is to end.
static int PatcherTask_InternalStep(PatcherTask *task, double elapsed) {
    PatcherTaskData *data = task->Data;
    switch (data->PatcherState) {
    case PATCHER_STATE_IDLE:
        PatcherTask_InternalSave(task, 1);
        task->Countdown = 1.0;
        task->FirstCounter = 0;
        task->SecondCounter = 0;
        PatcherTask_SetState(task, PATCHER_STATE_PREPARE);
        return 1;
    case PATCHER_STATE_PREPARE:
        PatcherTask_InternalPrepare(task, elapsed);
        return 1;
    case PATCHER_STATE_DOWNLOAD:
        PatcherTask_InternalDownload(task, elapsed);
        return 1;
    case PATCHER_STATE_WAITFORLIVE:
        if (!task->WaitSaved) {
            task->WaitSaved = 1;
            PatcherTask_InternalSave(task, 1);
        }
        if (data->PackageDescriptorType == PACKAGE_DESCRIPTOR_MIN || task->Live.load() == 1 ||
            data->DestructiveUpdate == 1)
            PatcherTask_SetState(task, PATCHER_STATE_PREPROCESS);
        return 1;
    case PATCHER_STATE_PREPROCESS:
        PatcherTask_InternalPreProcess(task, elapsed);
        return 1;
    case PATCHER_STATE_ALLOWRESTART: {
        int32_t allowed = 0;
        Patcher_GetRestartAllowed(&allowed, task->Owner, task->Controller);
        if (allowed == 1)
            PatcherTask_SetState(task, PATCHER_STATE_PERFORMRESTART);
        return 1;
    }
    case PATCHER_STATE_PERFORMRESTART: {
        char versionPath[PATCHER_PATH_SIZE];
        PackageController_GetVersionPath(task->Controller, versionPath);
        if (Patcher_LaunchUpdater(task->Owner, data->CopyPath, data->OutputPath, versionPath))
            Patcher_QueuePerformRestart(task->Owner);
        return 1;
    }
    case PATCHER_STATE_PROCESS:
        PatcherTask_InternalProcess(task, elapsed);
        return 1;
    case PATCHER_STATE_POSTPROCESS:
        PatcherTask_InternalPostProcess(task, elapsed);
        return 1;
    case PATCHER_STATE_SAVE:
        PatcherTask_InternalSaveStep(task, elapsed);
        return 1;
    case PATCHER_STATE_TASKCOMPLETE:
        std::atomic_ref<int32_t>(data->PatcherState).store(0);
        return 1;
    default:
        return 0;
    }
}

static uint32_t PatcherTask_ThreadProc(void *argument) {
    PatcherTask *task = static_cast<PatcherTask *>(argument);
    while (StopFlag_Test(&task->Stop) == 0) {
        int signalled = 0;
        if (EVENT_WAIT(task->Event, &signalled, -1) != 1)
            break;
        if (!signalled || StopFlag_Test(&task->Stop) != 0)
            continue;
        MUTEX_LOCK(task->Mutex);
        int active = task->Active;
        MUTEX_UNLOCK(task->Mutex);
        int state = std::atomic_ref<int32_t>(task->Data->PatcherState).load();
        if (state != 0 && active == 1) {
            double now = PatcherTask_InternalNow();
            double elapsed = task->Previous < 0 ? 0 : now - task->Previous;
            task->Previous = now;
            if (!PatcherTask_InternalStep(task, elapsed))
                break;
        }
        // A plain pause: the task thread has no messages to pump, and the
        // core's thread sleep would stretch each pass to a 250 ms slice.
        Zyl_SleepMilliseconds(PATCHER_TASK_PASS_MILLISECONDS);
    }
    return 0;
}
