// The download controller: hands one plain download to the download client and
// reports its status as DOWNLOADSTATUS events, polled by its own thread once a
// second and pushed by the client at every state change. Lock order: the
// client's locks, then this controller's mutex, then the event queue's; the
// thread asks the client before it takes its own mutex.
#include "patcher/downloadcontroller.h"

#include "core/alert.h"
#include "core/mutex.h"
#include "core/strhlpr.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "patcher/patcher.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherclient.h"
#include "patcher/patcherlog.h"

#include <atomic>
#include <cerrno>
#include <cstring>

static const char kTag[] = "..\\..\\shared\\downloadcontroller.c";
// In the output path: the user chooses the folder when the download starts.
static const char kChooseToken[] = "{Choose}";

struct DownloadController {
    const char *Tag;
    char Name[PATCHER_NAME_SIZE];
    char Metafile[PATCHER_NAME_SIZE];
    char OutputPath[PATCHER_NAME_SIZE];
    char SkinSource[PATCHER_NAME_SIZE];
    PackageOptions Options; // front end's thread, under the Patcher's API mutex
    Patcher *Owner;
    MutexStruct *Mutex; // guards Status
    EventStruct *Event; // set once the client accepted the download, and at destruction
    EventStruct *Pause; // set at destruction: ends the pause between passes
    std::atomic<int> Stop;
    ThreadStruct *Thread;
    PatcherDownloadStatus Status; // the last status seen
    uint32_t Reports;             // state callbacks so far
    double Countdown;             // seconds to the next poll (thread only)
    int32_t Added;                // 1 once the client accepted the download
};

static std::atomic<DownloadControllerClock> gClock{nullptr};

int DownloadController_SetClock(DownloadControllerClock clock) {
    gClock.store(clock);
    return 1;
}

static double DownloadController_InternalNow(void) {
    DownloadControllerClock clock = gClock.load();
    return clock != nullptr ? clock() : Zyl_GetTickSeconds();
}

// Asks the client for the status and reports it (the thread's poll). The
// client is asked without this controller's mutex; a state callback that came
// in meanwhile brought a newer status, which the poll's must not overwrite.
static void DownloadController_InternalPoll(DownloadController *controller) {
    PatcherClient *client = nullptr;
    Patcher_GetClient(controller->Owner, &client);
    if (!MUTEX_LOCK(controller->Mutex))
        return;
    uint32_t reports = controller->Reports;
    MUTEX_UNLOCK(controller->Mutex);
    PatcherDownloadStatus status;
    PatcherClient_GetDownloadStatus(controller->Name, client, &status);
    if (!MUTEX_LOCK(controller->Mutex))
        return;
    if (controller->Reports == reports) {
        controller->Status = status;
        Patcher_QueueDownloadStatus(controller->Owner, controller->Name, &status);
    }
    MUTEX_UNLOCK(controller->Mutex);
}

static uint32_t DownloadController_ThreadProc(void *argument) {
    DownloadController *controller = static_cast<DownloadController *>(argument);
    double previous = -1;
    while (controller->Stop.load() == 0) {
        int signalled = 0;
        if (EVENT_WAIT(controller->Event, &signalled, -1) != 1)
            break;
        double now = DownloadController_InternalNow();
        if (previous < 0)
            previous = now;
        if (signalled && controller->Stop.load() == 0) {
            controller->Countdown -= now - previous;
            if (controller->Countdown <= 0) {
                DownloadController_InternalPoll(controller);
                controller->Countdown = 1;
            }
        }
        EVENT_WAIT(controller->Pause, &signalled, PATCHER_PASS_MILLISECONDS);
        previous = now;
    }
    return 0;
}

static void DownloadController_InternalFree(DownloadController *controller) {
    Event_Close(&controller->Event);
    Event_Close(&controller->Pause);
    Mutex_Close(&controller->Mutex);
    controller->Tag = Zyl_DeadTag;
    ZYL_FREE(controller, sizeof(DownloadController));
}

int DownloadController_Create(DownloadController **controller, const char *name,
                              const char *metafile, const char *outputPath, const char *skinSource,
                              const PackageOptions *options, Patcher *patcher) {
    ZYL_CHECK_PTR(controller);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(metafile);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(skinSource);
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_PTR(patcher);
    *controller = nullptr;
    DownloadController *created = ZYL_NEW(DownloadController);
    created->Tag = kTag;
    PatcherDownloadStatus_Init(&created->Status);
    Zyl_StrCopy(created->Name, name, sizeof(created->Name));
    Zyl_StrCopy(created->Metafile, metafile, sizeof(created->Metafile));
    Zyl_StrCopy(created->OutputPath, outputPath, sizeof(created->OutputPath));
    Zyl_StrCopy(created->SkinSource, skinSource, sizeof(created->SkinSource));
    created->Options = *options;
    created->Options.RestartCommand[PACKAGE_OPTIONS_COMMAND_SIZE - 1] = 0;
    created->Owner = patcher;
    Mutex_Create(&created->Mutex);
    Event_Create(&created->Event);
    Event_Create(&created->Pause);
    if (Thread_Create(&created->Thread, created, DownloadController_ThreadProc) != 1) {
        Zyl_Print("Unable to create DownloadController thread (%d)\n", errno);
        DownloadController_InternalFree(created);
        return 0;
    }
    *controller = created;
    return 1;
}

// The client's state callback, with the controller as user data.
static int DownloadController_InternalOnState(PatcherClient *client, void *userData,
                                              const char *name, const char *skinSource,
                                              const char *metafile,
                                              const PatcherDownloadStatus *status,
                                              const ServerOptions *options) {
    (void)client;
    (void)name;
    (void)skinSource;
    (void)metafile;
    (void)options;
    return DownloadController_OnStatus(static_cast<DownloadController *>(userData), status);
}

int DownloadController_InternalAdd(DownloadController *controller) {
    ZYL_CHECK_TAG(controller, kTag);
    PatcherClient *client = nullptr;
    Patcher_GetClient(controller->Owner, &client);
    int32_t elementOptions[PATCHER_ELEMENT_OPTION_COUNT] = {};
    Patcher_GetDebugMetaFile(&elementOptions[PATCHER_ELEMENT_SAVE_METAFILE]);
    elementOptions[PATCHER_ELEMENT_USE_CACHE] = 1;
    elementOptions[PATCHER_ELEMENT_PARTIAL_EXT] = 1;
    elementOptions[PATCHER_ELEMENT_ADD_FOLDER] = 1;
    int32_t switches[PATCHER_SWITCH_COUNT] = {controller->Options.PeerToPeer,
                                              controller->Options.Web};
    char outputPath[PATCHER_NAME_SIZE];
    Zyl_StrCopy(outputPath, controller->OutputPath, sizeof(outputPath));
    if (Zyl_StrHasSubstring(outputPath, kChooseToken)) {
        StrHlpr_ReplaceAll(outputPath, kChooseToken, "", sizeof(outputPath));
        elementOptions[PATCHER_ELEMENT_JOB_VALUE] = 1;
    }
    if (PatcherClient_AddDownload(
            client, switches, controller->Name, controller->SkinSource, controller->Metafile,
            outputPath, DownloadController_InternalOnState, controller, elementOptions) != 1)
        return 0;
    controller->Added = 1;
    return 1;
}

int DownloadController_Start(DownloadController *controller) {
    if (DownloadController_InternalAdd(controller) != 1)
        return 0;
    Event_Set(controller->Event, 1);
    return 1;
}

int DownloadController_Destroy(DownloadController **controller) {
    ZYL_CHECK_PTR(controller);
    DownloadController *doomed = *controller;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    *controller = nullptr;
    doomed->Stop.store(1);
    Event_Set(doomed->Event, 1);
    Event_Set(doomed->Pause, 1);
    int ended = Thread_Wait(doomed->Thread, PATCHER_JOIN_MILLISECONDS);
    if (ended == 1)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "DownloadController thread shut down successful");
    else
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Timeout waiting on DownloadController thread shutdown");
    // Once the removal returns the client calls this controller no more.
    if (doomed->Added == 1) {
        PatcherClient *client = nullptr;
        Patcher_GetClient(doomed->Owner, &client);
        PatcherClient_RemoveDownload(client, doomed->Name);
    }
    if (ended != 1)
        return 0;
    Thread_Close(&doomed->Thread);
    DownloadController_InternalFree(doomed);
    return 1;
}

int DownloadController_OnStatus(DownloadController *controller,
                                const PatcherDownloadStatus *status) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(status);
    if (!MUTEX_LOCK(controller->Mutex))
        return 0;
    if (status->State != controller->Status.State) {
        char from[PATCHER_STATE_NAME_SIZE];
        char to[PATCHER_STATE_NAME_SIZE];
        Patcher_GetDownloadStateName(from, sizeof(from), controller->Status.State);
        Patcher_GetDownloadStateName(to, sizeof(to), status->State);
        Patcher_Log(PATCHER_LOG_INFO, "[%s] State change [%s] to [%s]", controller->Name, from, to);
    }
    controller->Status = *status;
    controller->Reports++;
    Patcher_QueueDownloadStatus(controller->Owner, controller->Name, status);
    return MUTEX_UNLOCK(controller->Mutex);
}

int DownloadController_GetOptions(PackageOptions *options, DownloadController *controller) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_TAG(controller, kTag);
    *options = controller->Options;
    return 1;
}

int DownloadController_SetOptions(const PackageOptions *options, DownloadController *controller) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_TAG(controller, kTag);
    controller->Options = *options;
    controller->Options.RestartCommand[PACKAGE_OPTIONS_COMMAND_SIZE - 1] = 0;
    PatcherClient *client = nullptr;
    Patcher_GetClient(controller->Owner, &client);
    int32_t switches[PATCHER_SWITCH_COUNT] = {options->PeerToPeer, options->Web};
    return PatcherClient_SetDownloadSwitches(client, controller->Name, switches);
}

int DownloadController_GetActive(DownloadController *controller, int32_t *active) {
    ZYL_CHECK_TAG(controller, kTag);
    ZYL_CHECK_PTR(active);
    *active = 0;
    if (!MUTEX_LOCK(controller->Mutex))
        return 0;
    *active = controller->Status.Active;
    MUTEX_UNLOCK(controller->Mutex);
    return 1;
}

int DownloadController_SetActive(DownloadController *controller, int active) {
    ZYL_CHECK_TAG(controller, kTag);
    if (!MUTEX_LOCK(controller->Mutex))
        return 0;
    int downloading = controller->Status.State == PATCHER_DOWNLOAD_STATE_DOWNLOAD;
    if (downloading)
        controller->Status.Active = active;
    MUTEX_UNLOCK(controller->Mutex);
    if (!downloading)
        return 1;
    PatcherClient *client = nullptr;
    Patcher_GetClient(controller->Owner, &client);
    return PatcherClient_SetDownloadActive(client, controller->Name, active);
}
