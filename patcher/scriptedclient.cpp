// The scripted download client: downloads are records whose state and figures
// the driver sets; one mutex guards the table and every record, and the state
// callback runs inside it, as a real client calls it with a download's lock held.
#include "patcher/scriptedclient.h"

#include "core/alert.h"
#include "core/zyl.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/scriptedclient_private.h"

#include <atomic>
#include <cstring>

static const char kTag[] = "ScriptedClient";
static const char kDownloadTag[] = "ScriptedDownload";

static std::atomic<int> gFailCreates{0};
static std::atomic<int> gStartups{0}, gShutdowns{0}, gCreates{0}, gDestroys{0};

static int ScriptedClient_InternalStartup(void) {
    gStartups++;
    return 1;
}

static int ScriptedClient_InternalShutdown(void) {
    gShutdowns++;
    return 1;
}

static int ScriptedClient_InternalCreate(void **object, const char *registryPath,
                                         const char *settingsUrl, const PatcherOptions *options) {
    *object = nullptr;
    int failures = gFailCreates.load();
    while (failures > 0 && !gFailCreates.compare_exchange_weak(failures, failures - 1)) {
    }
    if (failures > 0) {
        Zyl_Print("Unable to create PatcherClient thread (%d)\n", 11);
        return 0;
    }
    ScriptedClient *created = ZYL_NEW(ScriptedClient);
    created->Tag = kTag;
    Mutex_Create(&created->Mutex);
    HashTable_Create(&created->Downloads);
    Zyl_StrCopy(created->Info.RegistryPath, registryPath, sizeof(created->Info.RegistryPath));
    Zyl_StrCopy(created->Info.SettingsUrl, settingsUrl, sizeof(created->Info.SettingsUrl));
    created->Info.Options = *options;
    gCreates++;
    *object = created;
    return 1;
}

// Stops and joins the download's worker, then frees the record. The client's
// mutex must not be held: the worker may be waiting for it.
static void ScriptedClient_InternalFree(ScriptedDownload *download) {
    StopFlag_Set(&download->Stop, 1);
    if (download->Worker != nullptr) {
        Thread_Wait(download->Worker, THREAD_WAIT_INFINITE);
        Thread_Close(&download->Worker);
    }
    download->Tag = Zyl_DeadTag;
    ZYL_FREE(download, sizeof(ScriptedDownload));
}

static int ScriptedClient_InternalDestroy(void **object) {
    ScriptedClient *doomed = static_cast<ScriptedClient *>(*object);
    ZYL_CHECK_TAG(doomed, kTag);
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(doomed->Downloads, &node); more == 1;
         more = HashTable_GetNextNode(doomed->Downloads, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        StopFlag_Set(&static_cast<ScriptedDownload *>(value)->Stop, 1);
    }
    // The workers take the mutex to report; none is held while they are joined.
    for (int more = HashTable_GetFirstNode(doomed->Downloads, &node); more == 1;
         more = HashTable_GetNextNode(doomed->Downloads, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        ScriptedClient_InternalFree(static_cast<ScriptedDownload *>(value));
    }
    HashTable_Destroy(&doomed->Downloads);
    Mutex_Close(&doomed->Mutex);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(ScriptedClient));
    *object = nullptr;
    gDestroys++;
    return 1;
}

static int ScriptedClient_InternalStop(void *object) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    client->Info.StopCalls++;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(client->Downloads, &node); more == 1;
         more = HashTable_GetNextNode(client->Downloads, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        StopFlag_Set(&static_cast<ScriptedDownload *>(value)->Stop, 1);
    }
    MUTEX_UNLOCK(client->Mutex);
    return 1;
}

static int ScriptedClient_InternalSetOptions(void *object, const PatcherOptions *options) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    client->Info.Options = *options;
    client->Info.SetOptionsCalls++;
    MUTEX_UNLOCK(client->Mutex);
    return 1;
}

static int ScriptedClient_InternalSetSettingsCallback(void *object,
                                                      PatcherClientSettingsForwarder callback,
                                                      void *userData) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    client->SettingsCallback = callback;
    client->SettingsUserData = userData;
    client->Info.HasSettingsCallback = callback != nullptr;
    MUTEX_UNLOCK(client->Mutex);
    return 1;
}

// The download of that name, with the client's mutex held; null when not held.
static ScriptedDownload *ScriptedClient_InternalFind(ScriptedClient *client, const char *name) {
    void *value = nullptr;
    if (HashTable_Get(&value, name, client->Downloads) != 1)
        return nullptr;
    ScriptedDownload *download = static_cast<ScriptedDownload *>(value);
    ZYL_CHECK_TAG(download, kDownloadTag);
    return download;
}

// Adds the download; with web 1 a worker fetches it over HTTP.
static int ScriptedClient_InternalAddDownload(void *object, PatcherClient *dispatcher,
                                              const int32_t *switches, const char *name,
                                              const char *skinSource, const char *metafile,
                                              const char *outputPath,
                                              PatcherClientStateFunc callback, void *userData,
                                              const int32_t *elementOptions, int web) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    client->Client = dispatcher;
    ScriptedDownload *held = ScriptedClient_InternalFind(client, name);
    if (held != nullptr && held->Info.Removed) {
        // A removed download is gone for good, as the client's next pass
        // destroys it: the name may be used again.
        HashTable_Remove(client->Downloads, name);
        MUTEX_UNLOCK(client->Mutex);
        ScriptedClient_InternalFree(held);
        MUTEX_LOCK(client->Mutex);
        held = ScriptedClient_InternalFind(client, name);
    }
    if (held != nullptr) {
        MUTEX_UNLOCK(client->Mutex);
        Patcher_Log(PATCHER_LOG_WARNING, "PatcherClient_Add(): already added");
        return 0;
    }
    ScriptedDownload *download = ZYL_NEW(ScriptedDownload);
    download->Tag = kDownloadTag;
    Zyl_StrCopy(download->Name, name, sizeof(download->Name));
    download->Callback = callback;
    download->UserData = userData;
    download->Owner = client;
    ServerOptions_SetDefaults(&download->Options);
    ScriptedDownloadInfo *info = &download->Info;
    Zyl_StrCopy(info->SkinSource, skinSource, sizeof(info->SkinSource));
    Zyl_StrCopy(info->Metafile, metafile, sizeof(info->Metafile));
    Zyl_StrCopy(info->OutputPath, outputPath, sizeof(info->OutputPath));
    memcpy(info->Switches, switches, sizeof(info->Switches));
    memcpy(info->ElementOptions, elementOptions, sizeof(info->ElementOptions));
    PatcherDownloadStatus_Init(&info->Status);
    info->Active = 1;
    int result = HashTable_Set(client->Downloads, download->Name, download);
    if (result == 1 && web && Thread_Create(&download->Worker, download, ScriptedWeb_Run) != 1) {
        HashTable_Remove(client->Downloads, download->Name);
        Zyl_Print("Unable to create PatcherClient thread (%d)\n", 11);
        result = 0;
    }
    if (result == 1) {
        client->Info.AddCalls++;
    } else {
        download->Tag = Zyl_DeadTag;
        ZYL_FREE(download, sizeof(ScriptedDownload));
    }
    MUTEX_UNLOCK(client->Mutex);
    return result;
}

static int ScriptedClient_InternalAdd(void *object, PatcherClient *dispatcher,
                                      const int32_t *switches, const char *name,
                                      const char *skinSource, const char *metafile,
                                      const char *outputPath, PatcherClientStateFunc callback,
                                      void *userData, const int32_t *elementOptions) {
    return ScriptedClient_InternalAddDownload(object, dispatcher, switches, name, skinSource,
                                              metafile, outputPath, callback, userData,
                                              elementOptions, 0);
}

static int ScriptedClient_InternalAddWeb(void *object, PatcherClient *dispatcher,
                                         const int32_t *switches, const char *name,
                                         const char *skinSource, const char *metafile,
                                         const char *outputPath, PatcherClientStateFunc callback,
                                         void *userData, const int32_t *elementOptions) {
    return ScriptedClient_InternalAddDownload(object, dispatcher, switches, name, skinSource,
                                              metafile, outputPath, callback, userData,
                                              elementOptions, 1);
}

static int ScriptedClient_InternalRemove(void *object, const char *name) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(client, name);
    if (download != nullptr) {
        download->Info.Removed = 1;
        StopFlag_Set(&download->Stop, 1);
        client->Info.RemoveCalls++;
    }
    MUTEX_UNLOCK(client->Mutex);
    return download != nullptr;
}

// The status as a query or a callback sees it: the active word is the
// download's flag only while it downloads.
static void ScriptedClient_InternalStatus(const ScriptedDownload *download,
                                          PatcherDownloadStatus *status) {
    *status = download->Info.Status;
    status->Active = status->State == PATCHER_DOWNLOAD_STATE_DOWNLOAD ? download->Info.Active : 1;
}

static int ScriptedClient_InternalGetStatus(void *object, const char *name,
                                            PatcherDownloadStatus *status) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(client, name);
    if (download != nullptr) {
        download->Info.StatusQueries++;
        ScriptedClient_InternalStatus(download, status);
    }
    MUTEX_UNLOCK(client->Mutex);
    return download != nullptr;
}

static int ScriptedClient_InternalSetSwitches(void *object, const char *name,
                                              const int32_t *switches) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(client, name);
    if (download != nullptr) {
        memcpy(download->Info.Switches, switches, sizeof(download->Info.Switches));
        download->Info.SwitchCalls++;
    }
    MUTEX_UNLOCK(client->Mutex);
    return download != nullptr;
}

static int ScriptedClient_InternalSetActive(void *object, const char *name, int flag) {
    ScriptedClient *client = static_cast<ScriptedClient *>(object);
    MUTEX_LOCK(client->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(client, name);
    if (download != nullptr) {
        download->Info.Active = flag;
        download->Info.ActiveCalls++;
    }
    MUTEX_UNLOCK(client->Mutex);
    return download != nullptr;
}

const PatcherClientOperations ScriptedClient_Operations = {
    "scripted",
    ScriptedClient_InternalStartup,
    ScriptedClient_InternalShutdown,
    ScriptedClient_InternalCreate,
    ScriptedClient_InternalDestroy,
    ScriptedClient_InternalStop,
    ScriptedClient_InternalSetOptions,
    ScriptedClient_InternalSetSettingsCallback,
    ScriptedClient_InternalAdd,
    ScriptedClient_InternalRemove,
    ScriptedClient_InternalGetStatus,
    ScriptedClient_InternalSetSwitches,
    ScriptedClient_InternalSetActive,
};

const PatcherClientOperations ScriptedClient_WebOperations = {
    "scripted-web",
    ScriptedClient_InternalStartup,
    ScriptedClient_InternalShutdown,
    ScriptedClient_InternalCreate,
    ScriptedClient_InternalDestroy,
    ScriptedClient_InternalStop,
    ScriptedClient_InternalSetOptions,
    ScriptedClient_InternalSetSettingsCallback,
    ScriptedClient_InternalAddWeb,
    ScriptedClient_InternalRemove,
    ScriptedClient_InternalGetStatus,
    ScriptedClient_InternalSetSwitches,
    ScriptedClient_InternalSetActive,
};

int ScriptedClient_FailCreates(int count) {
    gFailCreates.store(count);
    return 1;
}

int ScriptedClient_GetCounts(ScriptedClientCounts *counts) {
    ZYL_CHECK_PTR(counts);
    counts->Startups = gStartups.load();
    counts->Shutdowns = gShutdowns.load();
    counts->Creates = gCreates.load();
    counts->Destroys = gDestroys.load();
    return 1;
}

int ScriptedClient_ResetCounts(void) {
    gStartups.store(0);
    gShutdowns.store(0);
    gCreates.store(0);
    gDestroys.store(0);
    gFailCreates.store(0);
    return 1;
}

static ScriptedClient *ScriptedClient_InternalOf(PatcherClient *client) {
    void *object = nullptr;
    if (PatcherClient_GetObject(client, &ScriptedClient_Operations, &object) != 1 &&
        PatcherClient_GetObject(client, &ScriptedClient_WebOperations, &object) != 1)
        ZYL_FATAL("Assertion failed (scripted client)\nNot a scripted download client\n");
    ScriptedClient *scripted = static_cast<ScriptedClient *>(object);
    ZYL_CHECK_TAG(scripted, kTag);
    return scripted;
}

int ScriptedClient_GetInfo(PatcherClient *client, ScriptedClientInfo *info) {
    ZYL_CHECK_PTR(info);
    ScriptedClient *scripted = ScriptedClient_InternalOf(client);
    MUTEX_LOCK(scripted->Mutex);
    *info = scripted->Info;
    MUTEX_UNLOCK(scripted->Mutex);
    return 1;
}

int ScriptedClient_GetDownload(PatcherClient *client, const char *name,
                               ScriptedDownloadInfo *info) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(info);
    memset(info, 0, sizeof(*info));
    ScriptedClient *scripted = ScriptedClient_InternalOf(client);
    MUTEX_LOCK(scripted->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(scripted, name);
    if (download != nullptr)
        *info = download->Info;
    MUTEX_UNLOCK(scripted->Mutex);
    return download != nullptr;
}

// Calls the download's state callback with its status (client mutex held).
static void ScriptedClient_InternalCall(ScriptedClient *scripted, ScriptedDownload *download) {
    if (download->Callback == nullptr || download->Info.Removed)
        return;
    PatcherDownloadStatus status;
    ScriptedClient_InternalStatus(download, &status);
    if (status.State == PATCHER_DOWNLOAD_STATE_DOWNLOAD)
        status.Active = 1;
    ServerOptions options = download->Options;
    download->Callback(scripted->Client, download->UserData, download->Name,
                       download->Info.SkinSource, download->Info.Metafile, &status, &options);
}

// The transition of ScriptedClient_SetState, with the client's mutex held.
static void ScriptedClient_InternalMoveLocked(ScriptedClient *scripted, ScriptedDownload *download,
                                              int state) {
    if (download->Info.Status.State != state && !download->Info.Removed) {
        char from[PATCHER_STATE_NAME_SIZE];
        char to[PATCHER_STATE_NAME_SIZE];
        Patcher_GetDownloadStateName(from, sizeof(from), download->Info.Status.State);
        Patcher_GetDownloadStateName(to, sizeof(to), state);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "PatcherClient [%s] transition from state [%s] to state [%s]",
                  download->Info.Metafile, from, to);
        download->Info.Status.State = state;
        ScriptedClient_InternalCall(scripted, download);
    }
}

int ScriptedClient_SetState(PatcherClient *client, const char *name, int state) {
    ZYL_CHECK_PTR(name);
    ScriptedClient *scripted = ScriptedClient_InternalOf(client);
    MUTEX_LOCK(scripted->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(scripted, name);
    if (download != nullptr)
        ScriptedClient_InternalMoveLocked(scripted, download, state);
    MUTEX_UNLOCK(scripted->Mutex);
    return download != nullptr;
}

void ScriptedClient_InternalMove(ScriptedDownload *download, int state) {
    ScriptedClient *scripted = download->Owner;
    MUTEX_LOCK(scripted->Mutex);
    ScriptedClient_InternalMoveLocked(scripted, download, state);
    MUTEX_UNLOCK(scripted->Mutex);
}

void ScriptedClient_InternalFigures(ScriptedDownload *download,
                                    const PatcherDownloadStatus *figures) {
    ScriptedClient *scripted = download->Owner;
    MUTEX_LOCK(scripted->Mutex);
    int state = download->Info.Status.State;
    download->Info.Status = *figures;
    download->Info.Status.State = state;
    MUTEX_UNLOCK(scripted->Mutex);
}

int ScriptedClient_InternalGoOn(ScriptedDownload *download) {
    ScriptedClient *scripted = download->Owner;
    for (;;) {
        MUTEX_LOCK(scripted->Mutex);
        int active = download->Info.Active;
        MUTEX_UNLOCK(scripted->Mutex);
        if (StopFlag_Test(&download->Stop) != 0)
            return 0;
        if (active)
            return 1;
        Zyl_SleepMilliseconds(100);
    }
}

int ScriptedClient_SetFigures(PatcherClient *client, const char *name,
                              const PatcherDownloadStatus *figures) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(figures);
    ScriptedClient *scripted = ScriptedClient_InternalOf(client);
    MUTEX_LOCK(scripted->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(scripted, name);
    if (download != nullptr) {
        int state = download->Info.Status.State;
        download->Info.Status = *figures;
        download->Info.Status.State = state;
    }
    MUTEX_UNLOCK(scripted->Mutex);
    return download != nullptr;
}

int ScriptedClient_Report(PatcherClient *client, const char *name) {
    ZYL_CHECK_PTR(name);
    ScriptedClient *scripted = ScriptedClient_InternalOf(client);
    MUTEX_LOCK(scripted->Mutex);
    ScriptedDownload *download = ScriptedClient_InternalFind(scripted, name);
    if (download != nullptr)
        ScriptedClient_InternalCall(scripted, download);
    MUTEX_UNLOCK(scripted->Mutex);
    return download != nullptr;
}

int ScriptedClient_DeliverSettings(PatcherClient *client, PatcherClientSettings *settings) {
    ZYL_CHECK_PTR(settings);
    ScriptedClient *scripted = ScriptedClient_InternalOf(client);
    MUTEX_LOCK(scripted->Mutex);
    int result = scripted->SettingsCallback != nullptr
                     ? scripted->SettingsCallback(scripted->SettingsUserData, settings)
                     : 0;
    MUTEX_UNLOCK(scripted->Mutex);
    return result;
}
