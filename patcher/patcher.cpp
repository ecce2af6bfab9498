// The Patcher: its tables, its thread, its options and callbacks, and the
// producers and consumer of its event queue. Objects taken out of a table are
// destroyed only once the API mutex is free, since destroying one joins a
// thread that may itself wait for that mutex.
#include "patcher/patcher.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/hashtable.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/registry.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "patcher/bufferlog.h"
#include "patcher/downloadcontroller.h"
#include "patcher/packagecontroller.h"
#include "patcher/packagelist.h"
#include "patcher/patcherlog.h"
#include "platform/shfolder.h"

#include <atomic>
#include <cerrno>
#include <cstring>

static const char kTag[] = "..\\..\\shared\\patcher.c";
static const char kLogName[] = "patcher_lib.log";

// What a removal took out of a table and has still to destroy.
enum { PATCHER_REMOVED_PACKAGE, PATCHER_REMOVED_LIST, PATCHER_REMOVED_DOWNLOAD };
struct PatcherRemoved {
    int Kind;
    void *Object;
    PatcherRemoved *Next;
};

struct Patcher {
    const char *Tag;
    PatcherClient *Client;
    BufferLogStruct *BufferLog;
    EventStruct *Wake;  // set once after creation and at destruction
    EventStruct *Pause; // set at destruction: ends the pause between passes
    std::atomic<int> Stop;
    ThreadStruct *Thread;
    HashTableStruct *Packages; // name to PackageControllerStruct
    MutexStruct *Mutex;        // the API mutex: the three tables and Removed
    HashTableStruct *PackageLists;
    HashTableStruct *Downloads;
    PatcherOptions Options;
    char RegistryPath[PATCHER_NAME_SIZE];
    PatcherEventQueue *Queue; // the buffers, the queue mutex and the callbacks
    PatcherRemoved *Removed;  // taken out of a table, destroyed once the mutex is free
};

static std::atomic<int32_t> gDebugMetaFile{0};
static char gLogFolder[FILE_PATH_SIZE];

int Patcher_InitOptions(PatcherOptions *options) {
    ZYL_CHECK_PTR(options);
    memset(options, 0, sizeof(*options));
    options->Firewall = 1;
    return 1;
}

int Patcher_InitPackageOptions(PackageOptions *options) {
    ZYL_CHECK_PTR(options);
    memset(options, 0, sizeof(*options));
    options->PeerToPeer = 1;
    options->Web = 1;
    return 1;
}

int Patcher_SetLogFolder(const char *folder) {
    Zyl_StrCopy(gLogFolder, folder != nullptr ? folder : "", sizeof(gLogFolder));
    if (gLogFolder[0] != 0)
        Zyl_NormalizePath(gLogFolder, 1, sizeof(gLogFolder));
    return 1;
}

// 1 when a file of that name can be written in the folder.
static int Patcher_InternalCanWrite(const char *path) {
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    File_SetReportErrors(file, 0);
    File_SetCreatePath(file, 0);
    int opened = File_Open(file, path, FILE_MODE_WRITE | FILE_MODE_APPEND);
    File_Close(file);
    File_Delete(&file);
    return opened;
}

int Patcher_ChooseLogPath(const char *programFolder, const char *registryPath, char *path,
                          int size) {
    ZYL_CHECK_PTR(programFolder);
    ZYL_CHECK_PTR(registryPath);
    ZYL_CHECK_PTR(path);
    char folder[FILE_PATH_SIZE];
    Zyl_StrCopy(folder, programFolder, sizeof(folder));
    Zyl_NormalizePath(folder, 1, sizeof(folder));
    Zyl_FormatString(path, size, "%s%s", folder, kLogName);
    if (programFolder[0] != 0 && Patcher_InternalCanWrite(path))
        return 1;
    char state[FILE_PATH_SIZE];
    char name[FILE_PATH_SIZE] = "";
    Zyl_GetFileName(registryPath, name, sizeof(name), 0);
    if (!ShFolder_Get(SHFOLDER_STATE, state, sizeof(state)))
        return 1;
    Zyl_FormatString(folder, sizeof(folder), "%s/%s/", state, name[0] != 0 ? name : "portico");
    Zyl_CreateDirectory(folder, 0, 0);
    Zyl_FormatString(path, size, "%s%s", folder, kLogName);
    return 1;
}

// The buffered log's path: in the folder chosen by Patcher_SetLogFolder, else as
// Patcher_ChooseLogPath says for the program's folder.
static void Patcher_InternalLogPath(const char *registryPath, char *path, int size) {
    if (gLogFolder[0] != 0) {
        Zyl_FormatString(path, size, "%s%s", gLogFolder, kLogName);
        return;
    }
    char folder[FILE_PATH_SIZE] = "";
    Zyl_GetModuleDirectory(folder, sizeof(folder));
    Patcher_ChooseLogPath(folder, registryPath, path, size);
}

// Queue hooks: they run inside Patcher_ProcessEvents on the front end's thread.
static int Patcher_InternalReadOptions(void *context) {
    Patcher_ReadDebugOptions(static_cast<Patcher *>(context)->RegistryPath);
    return 1;
}

static void Patcher_InternalFinishRemovals(Patcher *patcher);

// A package's state reaches every package list; the lists are ticked on the
// Patcher's thread, so they are told under the API mutex too.
static int Patcher_InternalUpdatePackageLists(void *context, const char *name,
                                              const PatcherPackageStatus *status) {
    Patcher *patcher = static_cast<Patcher *>(context);
    if (!Patcher_Lock(patcher))
        return 0;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(patcher->PackageLists, &node); more == 1;
         more = HashTable_GetNextNode(patcher->PackageLists, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        PackageList_OnPackageState(static_cast<PackageList *>(value), name, status);
    }
    Patcher_Unlock(patcher);
    Patcher_InternalFinishRemovals(patcher);
    return 1;
}

// The request step of every package controller. The consent callbacks run with
// the API mutex free, so that they may call any LauncherLib function: the
// questions are gathered under it and the answers stored under it again, for
// the controllers that are still filed.
static int Patcher_InternalProcessControllers(void *context) {
    Patcher *patcher = static_cast<Patcher *>(context);
    if (!Patcher_Lock(patcher))
        return 0;
    int count = 0;
    HashTable_GetCount(patcher->Packages, &count);
    int64_t bytes = (int64_t)(count > 0 ? count : 1) * (int64_t)sizeof(PackageControllerRequest);
    auto *requests = static_cast<PackageControllerRequest *>(ZYL_ALLOC(bytes));
    int gathered = 0;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(patcher->Packages, &node); more == 1 && gathered < count;
         more = HashTable_GetNextNode(patcher->Packages, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        PackageController_GatherRequests(static_cast<PackageControllerStruct *>(value),
                                         &requests[gathered++]);
    }
    Patcher_Unlock(patcher);
    for (int i = 0; i < gathered; i++)
        PackageController_AskRequests(patcher, &requests[i]);
    if (Patcher_Lock(patcher)) {
        for (int i = 0; i < gathered; i++) {
            void *value = nullptr;
            uint64_t serial = 0;
            if (HashTable_Get(&value, requests[i].Name, patcher->Packages) != 1)
                continue;
            auto *controller = static_cast<PackageControllerStruct *>(value);
            PackageController_GetSerial(controller, &serial);
            if (serial == requests[i].Serial)
                PackageController_StoreAnswers(controller, &requests[i]);
        }
        Patcher_Unlock(patcher);
    }
    ZYL_FREE(requests, bytes);
    Patcher_InternalFinishRemovals(patcher);
    return 1;
}

static uint32_t Patcher_ThreadProc(void *argument) {
    Patcher *patcher = static_cast<Patcher *>(argument);
    double previous = -1;
    while (patcher->Stop.load() == 0) {
        int signalled = 0;
        if (EVENT_WAIT(patcher->Wake, &signalled, -1) != 1)
            break;
        if (!signalled)
            continue;
        if (patcher->Stop.load() != 0)
            break;
        double now = Zyl_GetTickSeconds();
        if (previous < 0)
            previous = now;
        Patcher_Tick(patcher, now - previous);
        previous = now;
        EVENT_WAIT(patcher->Pause, &signalled, PATCHER_PASS_MILLISECONDS);
    }
    return 0;
}

// Frees what Create made so far; every field may still be empty.
static void Patcher_InternalFree(Patcher *patcher) {
    Notification_RemoveContext(patcher->Queue);
    PatcherEventQueue_Destroy(&patcher->Queue);
    HashTable_Destroy(&patcher->Packages);
    HashTable_Destroy(&patcher->PackageLists);
    HashTable_Destroy(&patcher->Downloads);
    Mutex_Close(&patcher->Mutex);
    BufferLog_Destroy(&patcher->BufferLog);
    Event_Close(&patcher->Wake);
    Event_Close(&patcher->Pause);
    patcher->Tag = Zyl_DeadTag;
    ZYL_FREE(patcher, sizeof(Patcher));
}

int Patcher_Create(Patcher **patcher, const char *registryPath, const char *settingsUrl,
                   const PatcherOptions *options) {
    ZYL_CHECK_PTR(patcher);
    ZYL_CHECK_PTR(registryPath);
    ZYL_CHECK_PTR(settingsUrl);
    *patcher = nullptr;
    Patcher *created = ZYL_NEW(Patcher);
    created->Tag = kTag;
    PatcherEventQueue_Create(&created->Queue);
    // From here on every Patcher_Log and Patcher_ReportError becomes an event.
    Notification_SetErrorCallback(PatcherEventQueue_ErrorReceiver, created->Queue);
    Notification_SetLogCallback(PatcherEventQueue_LogReceiver, created->Queue);
    HashTable_Create(&created->Packages);
    HashTable_Create(&created->PackageLists);
    HashTable_Create(&created->Downloads);
    Mutex_Create(&created->Mutex);
    Zyl_StrCopy(created->RegistryPath, registryPath, sizeof(created->RegistryPath));
    char logPath[FILE_PATH_SIZE];
    Patcher_InternalLogPath(created->RegistryPath, logPath, sizeof(logPath));
    BufferLog_Create(&created->BufferLog, logPath);
    PatcherEventQueue_SetBufferLog(created->Queue, created->BufferLog);
    PatcherEventHooks hooks = {created, Patcher_InternalReadOptions,
                               Patcher_InternalUpdatePackageLists,
                               Patcher_InternalProcessControllers};
    PatcherEventQueue_SetHooks(created->Queue, &hooks);
    PatcherOptions defaults;
    Patcher_InitOptions(&defaults);
    created->Options = options != nullptr ? *options : defaults;
    if (PatcherClient_Create(&created->Client, created->RegistryPath, settingsUrl,
                             &created->Options) != 1) {
        Patcher_InternalFree(created);
        return 0;
    }
    PatcherClient_SetSettingsCallback(created->Client, Patcher_ClientSettingsCallback, created);
    Event_Create(&created->Wake);
    Event_Create(&created->Pause);
    if (Thread_Create(&created->Thread, created, Patcher_ThreadProc) != 1) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to create Patcher thread (%d)",
                  errno);
        PatcherClient_SetSettingsCallback(created->Client, nullptr, nullptr);
        PatcherClient_Destroy(&created->Client);
        Patcher_InternalFree(created);
        return 0;
    }
    *patcher = created;
    Event_Set(created->Wake, 1);
    return 1;
}

// Files an object taken out of its table for destruction (API mutex held).
static void Patcher_InternalDoom(Patcher *patcher, int kind, void *object) {
    PatcherRemoved *entry = ZYL_NEW(PatcherRemoved);
    entry->Kind = kind;
    entry->Object = object;
    entry->Next = patcher->Removed;
    patcher->Removed = entry;
}

// 1 while the Patcher's thread is fetching the object's document (API mutex
// held): it is destroyed only once the fetch returned.
static int Patcher_InternalIsFetching(const PatcherRemoved *entry) {
    if (entry->Kind == PATCHER_REMOVED_PACKAGE)
        return PackageController_IsFetching(static_cast<PackageControllerStruct *>(entry->Object));
    if (entry->Kind == PATCHER_REMOVED_LIST)
        return PackageList_IsFetching(static_cast<PackageList *>(entry->Object));
    return 0;
}

// Destroys what removals took out of the tables; the API mutex must be free.
static void Patcher_InternalFinishRemovals(Patcher *patcher) {
    if (!Patcher_Lock(patcher))
        return;
    PatcherRemoved *entry = patcher->Removed;
    PatcherRemoved *kept = nullptr;
    patcher->Removed = nullptr;
    while (entry != nullptr) {
        PatcherRemoved *next = entry->Next;
        if (Patcher_InternalIsFetching(entry)) {
            entry->Next = kept;
            kept = entry;
        } else {
            entry->Next = patcher->Removed;
            patcher->Removed = entry;
        }
        entry = next;
    }
    entry = patcher->Removed;
    patcher->Removed = kept;
    Patcher_Unlock(patcher);
    while (entry != nullptr) {
        PatcherRemoved *next = entry->Next;
        if (entry->Kind == PATCHER_REMOVED_PACKAGE) {
            auto *controller = static_cast<PackageControllerStruct *>(entry->Object);
            PackageController_Destroy(&controller);
        } else if (entry->Kind == PATCHER_REMOVED_LIST) {
            auto *list = static_cast<PackageList *>(entry->Object);
            PackageList_Destroy(&list);
        } else {
            auto *controller = static_cast<DownloadController *>(entry->Object);
            DownloadController_Destroy(&controller);
        }
        ZYL_FREE(entry, sizeof(PatcherRemoved));
        entry = next;
    }
}

// Takes every object out of the table and destroys them.
static void Patcher_InternalRemoveAll(Patcher *patcher, HashTableStruct *table, int kind) {
    if (!Patcher_Lock(patcher))
        return;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(table, &node); more == 1;
         more = HashTable_GetNextNode(table, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        Patcher_InternalDoom(patcher, kind, value);
    }
    HashTable_Clear(table);
    Patcher_Unlock(patcher);
    Patcher_InternalFinishRemovals(patcher);
}

int Patcher_Destroy(Patcher **patcher) {
    ZYL_CHECK_PTR(patcher);
    Patcher *doomed = *patcher;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    *patcher = nullptr;
    // No further event or settings record reaches the front end.
    PatcherEventQueue_ClearCallbacks(doomed->Queue);
    PatcherClient_SetSettingsCallback(doomed->Client, nullptr, nullptr);
    Patcher_SetClientSettingsCallback(doomed, nullptr);
    doomed->Stop.store(1);
    Event_Set(doomed->Wake, 1);
    Event_Set(doomed->Pause, 1);
    if (Thread_Wait(doomed->Thread, PATCHER_JOIN_MILLISECONDS) != 1) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Timeout waiting on Patcher thread shutdown");
        return 0;
    }
    Thread_Close(&doomed->Thread);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Patcher thread shut down successful");
    PatcherClient_Stop(&doomed->Client);
    Patcher_InternalRemoveAll(doomed, doomed->PackageLists, PATCHER_REMOVED_LIST);
    Patcher_InternalRemoveAll(doomed, doomed->Downloads, PATCHER_REMOVED_DOWNLOAD);
    Patcher_InternalRemoveAll(doomed, doomed->Packages, PATCHER_REMOVED_PACKAGE);
    PatcherClient_Destroy(&doomed->Client);
    Patcher_InternalFree(doomed);
    return 1;
}

// Runs step on every object of the table under the API mutex.
static void Patcher_InternalTickTable(Patcher *patcher, HashTableStruct *table, int kind,
                                      double elapsed) {
    if (!Patcher_Lock(patcher))
        return;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(table, &node); more == 1;
         more = HashTable_GetNextNode(table, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        if (kind == PATCHER_REMOVED_PACKAGE)
            PackageController_Tick(elapsed, static_cast<PackageControllerStruct *>(value));
        else
            PackageList_Tick(elapsed, static_cast<PackageList *>(value));
    }
    Patcher_Unlock(patcher);
}

// Marks one due fetch of the table RUNNING (API mutex held); null when none is due.
static void *Patcher_InternalBeginFetch(HashTableStruct *table, int kind) {
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(table, &node); more == 1;
         more = HashTable_GetNextNode(table, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        int begun =
            kind == PATCHER_REMOVED_PACKAGE
                ? PackageController_BeginFetch(static_cast<PackageControllerStruct *>(value))
                : PackageList_BeginFetch(static_cast<PackageList *>(value));
        if (begun)
            return value;
    }
    return nullptr;
}

// 1 when object is still the one filed in the table (API mutex held).
static int Patcher_InternalIsFiled(HashTableStruct *table, void *object) {
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(table, &node); more == 1;
         more = HashTable_GetNextNode(table, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        if (value == object)
            return 1;
    }
    return 0;
}

// The document fetches the ticks found due, one at a time: each transfer runs
// with the API mutex free; the evaluation takes it again. An object removed
// meanwhile is destroyed once its fetch has returned.
static void Patcher_InternalRunFetches(Patcher *patcher, HashTableStruct *table, int kind) {
    for (;;) {
        if (!Patcher_Lock(patcher))
            return;
        void *object = Patcher_InternalBeginFetch(table, kind);
        Patcher_Unlock(patcher);
        if (object == nullptr)
            return;
        if (kind == PATCHER_REMOVED_PACKAGE)
            PackageController_RunFetch(static_cast<PackageControllerStruct *>(object));
        else
            PackageList_RunFetch(static_cast<PackageList *>(object));
        if (!Patcher_Lock(patcher))
            return;
        int filed = Patcher_InternalIsFiled(table, object);
        if (kind == PATCHER_REMOVED_PACKAGE)
            PackageController_EndFetch(static_cast<PackageControllerStruct *>(object), filed);
        else
            PackageList_EndFetch(static_cast<PackageList *>(object), filed);
        Patcher_Unlock(patcher);
        Patcher_InternalFinishRemovals(patcher);
        if (patcher->Stop.load() != 0)
            return;
    }
}

int Patcher_Tick(Patcher *patcher, double elapsed) {
    ZYL_CHECK_TAG(patcher, kTag);
    Patcher_InternalTickTable(patcher, patcher->Packages, PATCHER_REMOVED_PACKAGE, elapsed);
    Patcher_InternalRunFetches(patcher, patcher->Packages, PATCHER_REMOVED_PACKAGE);
    Patcher_InternalTickTable(patcher, patcher->PackageLists, PATCHER_REMOVED_LIST, elapsed);
    Patcher_InternalRunFetches(patcher, patcher->PackageLists, PATCHER_REMOVED_LIST);
    Patcher_InternalFinishRemovals(patcher);
    PatcherEventQueue_Trim(patcher->Queue);
    return 1;
}

int Patcher_Lock(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return MUTEX_LOCK(patcher->Mutex);
}

int Patcher_Unlock(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return MUTEX_UNLOCK(patcher->Mutex);
}

int Patcher_LockQueue(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_Lock(patcher->Queue);
}

int Patcher_UnlockQueue(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_Unlock(patcher->Queue);
}

int Patcher_IsStopping(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return patcher->Stop.load() != 0;
}

int Patcher_GetClient(Patcher *patcher, PatcherClient **client) {
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(client);
    *client = patcher->Client;
    return 1;
}

// ---------------------------------------------------------------------------
// Packages
// ---------------------------------------------------------------------------

int Patcher_InternalAddPackage(const char *name, Patcher *patcher, const char *url,
                               const char *path, const PackageOptions *options) {
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(path);
    if (HashTable_Contains(patcher->Packages, name)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Patcher_AddPackage(): Package already added");
        return 0;
    }
    PackageOptions defaults;
    Patcher_InitPackageOptions(&defaults);
    PackageControllerStruct *controller = nullptr;
    if (PackageController_Create(url, path, &controller, name) != 1)
        return 0;
    PackageController_SetOptions(controller, options != nullptr ? options : &defaults);
    PackageController_SetPatcher(controller, patcher);
    if (HashTable_Set(patcher->Packages, name, controller) != 1) {
        PackageController_Destroy(&controller);
        return 0;
    }
    Patcher_Log(PATCHER_LOG_INFO, "Patcher_AddPackage([%s],[%s],[%s]) successful", name, url, path);
    return 1;
}

int Patcher_InternalFindPackage(PackageControllerStruct **controller, Patcher *patcher,
                                const char *name) {
    ZYL_CHECK_PTR(controller);
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(name);
    void *value = nullptr;
    if (HashTable_Get(&value, name, patcher->Packages) != 1) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to find package [%s]", name);
        *controller = nullptr;
        return 0;
    }
    *controller = static_cast<PackageControllerStruct *>(value);
    return 1;
}

// Takes the package out of its table (API mutex held) into *controller.
static int Patcher_InternalTakePackage(Patcher *patcher, const char *name,
                                       PackageControllerStruct **controller) {
    if (Patcher_InternalFindPackage(controller, patcher, name) != 1)
        return 0;
    HashTable_Remove(patcher->Packages, name);
    Patcher_Log(PATCHER_LOG_INFO, "Patcher_RemovePackage([%s]) successful", name);
    return 1;
}

int Patcher_InternalRemovePackage(Patcher *patcher, const char *name) {
    PackageControllerStruct *controller = nullptr;
    if (Patcher_InternalTakePackage(patcher, name, &controller) != 1)
        return 0;
    Patcher_InternalDoom(patcher, PATCHER_REMOVED_PACKAGE, controller);
    return 1;
}

int Patcher_AddPackage(Patcher *patcher, int lock, const char *name, const char *url,
                       const char *path, const PackageOptions *options) {
    ZYL_CHECK_TAG(patcher, kTag);
    if (lock == 1 && !Patcher_Lock(patcher))
        return 0;
    int result = Patcher_InternalAddPackage(name, patcher, url, path, options);
    if (lock == 1)
        Patcher_Unlock(patcher);
    return result;
}

int Patcher_RemovePackage(Patcher *patcher, int lock, const char *name) {
    ZYL_CHECK_TAG(patcher, kTag);
    if (lock != 1)
        return Patcher_InternalRemovePackage(patcher, name);
    // Destroyed here, so that the package is gone when the call returns.
    if (!Patcher_Lock(patcher))
        return 0;
    PackageControllerStruct *controller = nullptr;
    int result = Patcher_InternalTakePackage(patcher, name, &controller);
    if (controller != nullptr && PackageController_IsFetching(controller)) {
        // The Patcher's thread is fetching its document: it destroys the
        // controller once the fetch has returned.
        Patcher_InternalDoom(patcher, PATCHER_REMOVED_PACKAGE, controller);
        controller = nullptr;
    }
    Patcher_Unlock(patcher);
    PackageController_Destroy(&controller);
    return result;
}

int Patcher_GetPackageOptions(PackageOptions *options, Patcher *patcher, const char *name) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_TAG(patcher, kTag);
    memset(options, 0, sizeof(*options));
    if (!Patcher_Lock(patcher))
        return 0;
    PackageControllerStruct *controller = nullptr;
    int result = Patcher_InternalFindPackage(&controller, patcher, name);
    if (result == 1)
        result = PackageController_GetOptions(controller, options);
    Patcher_Unlock(patcher);
    return result;
}

int Patcher_SetPackageOptions(const PackageOptions *options, Patcher *patcher, int lock,
                              const char *name) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_TAG(patcher, kTag);
    if (lock == 1 && !Patcher_Lock(patcher))
        return 0;
    PackageControllerStruct *controller = nullptr;
    int result = Patcher_InternalFindPackage(&controller, patcher, name);
    if (result == 1)
        result = PackageController_SetOptions(controller, options);
    if (lock == 1)
        Patcher_Unlock(patcher);
    return result;
}

int Patcher_GetPackageActive(const char *name, int lock, int32_t *active, Patcher *patcher) {
    ZYL_CHECK_PTR(active);
    ZYL_CHECK_TAG(patcher, kTag);
    *active = 0;
    if (lock == 1 && !Patcher_Lock(patcher))
        return 0;
    PackageControllerStruct *controller = nullptr;
    int result = Patcher_InternalFindPackage(&controller, patcher, name);
    if (result == 1)
        result = PackageController_GetActive(controller, active);
    if (lock == 1)
        Patcher_Unlock(patcher);
    return result;
}

int Patcher_SetPackageActive(Patcher *patcher, int lock, const char *name, int active) {
    ZYL_CHECK_TAG(patcher, kTag);
    if (lock == 1 && !Patcher_Lock(patcher))
        return 0;
    PackageControllerStruct *controller = nullptr;
    int result = Patcher_InternalFindPackage(&controller, patcher, name);
    if (result == 1)
        result = PackageController_SetActive(controller, active);
    if (lock == 1)
        Patcher_Unlock(patcher);
    return result;
}

// ---------------------------------------------------------------------------
// Package lists
// ---------------------------------------------------------------------------

int Patcher_AddPackageList(Patcher *patcher, const char *name, const char *url,
                           const PackageOptions *options) {
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(url);
    if (!Patcher_Lock(patcher))
        return 0;
    int result = 0;
    PackageList *list = nullptr;
    if (HashTable_Contains(patcher->PackageLists, name)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Patcher_AddPackageList(): PackageList already added");
    } else if (PackageList_Create(&list, name, url, options, patcher) == 1) {
        result = HashTable_Set(patcher->PackageLists, name, list);
        if (result == 1) {
            Patcher_Log(PATCHER_LOG_INFO, "Patcher_AddPackageList([%s],[%s]) successful", name,
                        url);
            list = nullptr;
        }
    }
    Patcher_Unlock(patcher);
    PackageList_Destroy(&list);
    return result;
}

int Patcher_RemovePackageList(const char *name, Patcher *patcher) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_TAG(patcher, kTag);
    if (!Patcher_Lock(patcher))
        return 0;
    void *value = nullptr;
    int result = HashTable_Get(&value, name, patcher->PackageLists);
    if (result == 1) {
        HashTable_Remove(patcher->PackageLists, name);
        Patcher_Log(PATCHER_LOG_INFO, "Patcher_RemovePackageList([%s]) successful", name);
        if (PackageList_IsFetching(static_cast<PackageList *>(value))) {
            // Destroyed by the Patcher's thread once its fetch has returned.
            Patcher_InternalDoom(patcher, PATCHER_REMOVED_LIST, value);
            value = nullptr;
        }
    }
    Patcher_Unlock(patcher);
    // Destroyed here, so that the list is gone when the call returns.
    auto *list = static_cast<PackageList *>(value);
    PackageList_Destroy(&list);
    return result;
}

// What act makes of the entry of that name in the table (lists or downloads)
// under the API mutex; 0 when the mutex is not taken or there is no such entry,
// logged as "<caller>(): Unable to find <what> [<name>]".
template <typename Entry, typename Act>
static int Patcher_InternalWithEntry(Patcher *patcher, HashTableStruct *Patcher::*table,
                                     const char *what, const char *name, const char *caller,
                                     Act act) {
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(name);
    if (!Patcher_Lock(patcher))
        return 0;
    void *value = nullptr;
    int result = 0;
    if (HashTable_Get(&value, name, patcher->*table) == 1)
        result = act(static_cast<Entry *>(value));
    else
        Patcher_Log(PATCHER_LOG_WARNING, "%s(): Unable to find %s [%s]", caller, what, name);
    Patcher_Unlock(patcher);
    return result;
}

template <typename Act>
static int Patcher_InternalWithList(Patcher *patcher, const char *name, const char *caller,
                                    Act act) {
    return Patcher_InternalWithEntry<PackageList>(patcher, &Patcher::PackageLists, "package list",
                                                  name, caller, act);
}

template <typename Act>
static int Patcher_InternalWithDownload(Patcher *patcher, const char *name, const char *caller,
                                        Act act) {
    return Patcher_InternalWithEntry<DownloadController>(patcher, &Patcher::Downloads, "download",
                                                         name, caller, act);
}

int Patcher_GetPackageListOptions(const char *name, PackageOptions *options, Patcher *patcher) {
    ZYL_CHECK_PTR(options);
    return Patcher_InternalWithList(
        patcher, name, "Patcher_GetPackageListOptions",
        [&](PackageList *list) { return PackageList_GetOptions(list, options); });
}

int Patcher_SetPackageListOptions(const char *name, Patcher *patcher,
                                  const PackageOptions *options) {
    ZYL_CHECK_PTR(options);
    return Patcher_InternalWithList(
        patcher, name, "Patcher_SetPackageListOptions",
        [&](PackageList *list) { return PackageList_SetOptions(list, options); });
}

int Patcher_GetPackageListActive(const char *name, int32_t *active, Patcher *patcher) {
    ZYL_CHECK_PTR(active);
    *active = 0;
    return Patcher_InternalWithList(
        patcher, name, "Patcher_GetPackageListActive",
        [&](PackageList *list) { return PackageList_GetActive(list, active); });
}

int Patcher_SetPackageListActive(const char *name, Patcher *patcher, int active) {
    return Patcher_InternalWithList(
        patcher, name, "Patcher_SetPackageListActive",
        [&](PackageList *list) { return PackageList_SetActive(list, active); });
}

// ---------------------------------------------------------------------------
// Downloads
// ---------------------------------------------------------------------------

int Patcher_AddDownload(Patcher *patcher, const char *name, const char *metafile,
                        const char *outputPath, const char *skinSource,
                        const PackageOptions *options) {
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(metafile);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(skinSource);
    if (!Patcher_Lock(patcher))
        return 0;
    PackageOptions defaults;
    Patcher_InitPackageOptions(&defaults);
    int result = 0;
    DownloadController *controller = nullptr;
    if (HashTable_Contains(patcher->Downloads, name)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Patcher_AddDownload(): already added");
    } else if (DownloadController_Create(&controller, name, metafile, outputPath, skinSource,
                                         options != nullptr ? options : &defaults, patcher) == 1) {
        result = HashTable_Set(patcher->Downloads, name, controller);
        if (result == 1) {
            Patcher_Log(PATCHER_LOG_INFO, "Patcher_AddDownload([%s],[%s]) successful", name,
                        metafile);
            DownloadController_Start(controller);
            controller = nullptr;
        }
    }
    Patcher_Unlock(patcher);
    DownloadController_Destroy(&controller);
    return result;
}

int Patcher_RemoveDownload(const char *name, Patcher *patcher) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_TAG(patcher, kTag);
    if (!Patcher_Lock(patcher))
        return 0;
    void *value = nullptr;
    int result = HashTable_Get(&value, name, patcher->Downloads);
    if (result == 1) {
        HashTable_Remove(patcher->Downloads, name);
        Patcher_Log(PATCHER_LOG_INFO, "Patcher_RemoveDownload([%s]) successful", name);
    }
    Patcher_Unlock(patcher);
    // Destroyed here: once the call returns the client no longer holds the
    // download, and the name may be added again.
    auto *controller = static_cast<DownloadController *>(value);
    DownloadController_Destroy(&controller);
    return result;
}

int Patcher_GetDownloadOptions(const char *name, PackageOptions *options, Patcher *patcher) {
    ZYL_CHECK_PTR(options);
    return Patcher_InternalWithDownload(
        patcher, name, "Patcher_GetDownloadOptions", [&](DownloadController *controller) {
            return DownloadController_GetOptions(options, controller);
        });
}

int Patcher_SetDownloadOptions(const char *name, Patcher *patcher, const PackageOptions *options) {
    ZYL_CHECK_PTR(options);
    return Patcher_InternalWithDownload(
        patcher, name, "Patcher_SetDownloadOptions", [&](DownloadController *controller) {
            return DownloadController_SetOptions(options, controller);
        });
}

int Patcher_GetDownloadActive(const char *name, int32_t *active, Patcher *patcher) {
    ZYL_CHECK_PTR(active);
    *active = 0;
    return Patcher_InternalWithDownload(patcher, name, "Patcher_GetDownloadActive",
                                        [&](DownloadController *controller) {
                                            return DownloadController_GetActive(controller, active);
                                        });
}

int Patcher_SetDownloadActive(const char *name, Patcher *patcher, int active) {
    return Patcher_InternalWithDownload(patcher, name, "Patcher_SetDownloadActive",
                                        [&](DownloadController *controller) {
                                            return DownloadController_SetActive(controller, active);
                                        });
}

// ---------------------------------------------------------------------------
// Options, debug switches, restart launcher
// ---------------------------------------------------------------------------

int Patcher_SetOptions(Patcher *patcher, const PatcherOptions *options) {
    ZYL_CHECK_TAG(patcher, kTag);
    ZYL_CHECK_PTR(options);
    patcher->Options = *options;
    return PatcherClient_SetOptions(patcher->Client, options);
}

// Sets or clears flag in *flags to follow the registry value name (0 when absent).
static void Patcher_InternalFollowSwitch(RegistryStruct *key, const char *name, int flag,
                                         int *flags) {
    int32_t value = 0;
    Registry_GetInt32(key, name, &value);
    if ((value != 0) != ((*flags & flag) != 0))
        *flags ^= flag;
}

int Patcher_ReadDebugOptions(const char *registryPath) {
    ZYL_CHECK_PTR(registryPath);
    RegistryStruct *key = nullptr;
    if (Registry_OpenKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, registryPath) != 1)
        return 0;
    int flags = Zyl_GetLogFlags();
    int wanted = flags;
    Patcher_InternalFollowSwitch(key, "DebugOutput", ZYL_LOG_FORMAT_ALWAYS, &wanted);
    Patcher_InternalFollowSwitch(key, "DebugOutputFile", ZYL_LOG_FILE, &wanted);
    if (wanted != flags)
        Zyl_SetLogOptions(nullptr, wanted);
    int32_t metaFile = 0;
    if (Registry_GetInt32(key, "DebugMetaFile", &metaFile) == 1)
        gDebugMetaFile.store(metaFile);
    Registry_CloseKey(&key);
    return 1;
}

int Patcher_GetDebugMetaFile(int32_t *value) {
    ZYL_CHECK_PTR(value);
    *value = gDebugMetaFile.load();
    return 1;
}

// The callback table inside the queue.
static PatcherCallbacks *Patcher_InternalSlots(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    PatcherCallbacks *slots = nullptr;
    PatcherEventQueue_GetCallbacks(patcher->Queue, &slots);
    return slots;
}

int Patcher_SetLaunchUpdaterCallback(Patcher *patcher, PatcherLaunchUpdaterFunc launcher) {
    Patcher_InternalSlots(patcher)->LaunchUpdater = launcher;
    return 1;
}

int Patcher_LaunchUpdater(Patcher *patcher, const char *copyPath, const char *outputPath,
                          const char *versionFilePath) {
    ZYL_CHECK_PTR(copyPath);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(versionFilePath);
    PatcherLaunchUpdaterFunc launcher = Patcher_InternalSlots(patcher)->LaunchUpdater;
    if (launcher == nullptr)
        return 1;
    return launcher(copyPath, outputPath, versionFilePath);
}

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------

// Also read on the client's thread by the settings forwarder: one atomic word.
int Patcher_SetUserData(Patcher *patcher, void *userData) {
    std::atomic_ref<void *>(Patcher_InternalSlots(patcher)->UserData).store(userData);
    return 1;
}

#define PATCHER_SETTER(function, type, slot)                                                       \
    int function(Patcher *patcher, type callback) {                                                \
        Patcher_InternalSlots(patcher)->slot = callback;                                           \
        return 1;                                                                                  \
    }

PATCHER_SETTER(Patcher_SetStateChangeCallback, PatcherStateChangeFunc, StateChange)
PATCHER_SETTER(Patcher_SetStatusCallback, PatcherStatusFunc, Status)
PATCHER_SETTER(Patcher_SetVersionCheckCallback, PatcherVersionCheckFunc, VersionCheck)
PATCHER_SETTER(Patcher_SetAllowRestartCallback, PatcherAllowRestartFunc, AllowRestart)
PATCHER_SETTER(Patcher_SetPerformRestartCallback, PatcherPerformRestartFunc, PerformRestart)
PATCHER_SETTER(Patcher_SetPreProcessCallback, PatcherProcessFunc, PreProcess)
PATCHER_SETTER(Patcher_SetPostProcessCallback, PatcherProcessFunc, PostProcess)
PATCHER_SETTER(Patcher_SetLogCallback, PatcherLogFunc, Log)
PATCHER_SETTER(Patcher_SetErrorCallback, PatcherErrorFunc, Error)
PATCHER_SETTER(Patcher_SetPackageListStatusCallback, PatcherPackageListStatusFunc,
               PackageListStatus)
PATCHER_SETTER(Patcher_SetMaintenanceCallback, PatcherMaintenanceFunc, Maintenance)
PATCHER_SETTER(Patcher_SetDownloadStatusCallback, PatcherDownloadStatusFunc, DownloadStatus)

#undef PATCHER_SETTER

// The CLIENTSETTINGS slot is read on the client's thread: one atomic word.
int Patcher_SetClientSettingsCallback(Patcher *patcher, PatcherClientSettingsFunc callback) {
    std::atomic_ref<PatcherClientSettingsFunc>(Patcher_InternalSlots(patcher)->ClientSettings)
        .store(callback);
    return 1;
}

int Patcher_ClientSettingsCallback(void *patcher, PatcherClientSettings *settings) {
    ZYL_CHECK_PTR(settings);
    PatcherCallbacks *slots = Patcher_InternalSlots(static_cast<Patcher *>(patcher));
    PatcherClientSettingsFunc callback =
        std::atomic_ref<PatcherClientSettingsFunc>(slots->ClientSettings).load();
    void *userData = std::atomic_ref<void *>(slots->UserData).load();
    return callback != nullptr ? callback(userData, settings) : 0;
}

int Patcher_CallVersionCheck(const char *name, Patcher *patcher, int32_t *targetVersion,
                             const PatcherVersionCheckRecord *record) {
    return PatcherCallbacks_CallVersionCheck(Patcher_InternalSlots(patcher), name, targetVersion,
                                             record);
}

int Patcher_CallAllowRestart(Patcher *patcher, int32_t *allow, const char *name) {
    return PatcherCallbacks_CallAllowRestart(Patcher_InternalSlots(patcher), name, allow);
}

int Patcher_CallPreProcess(const char *name, Patcher *patcher, int32_t *hold,
                           const PatcherProcessRequest *request) {
    return PatcherCallbacks_CallPreProcess(Patcher_InternalSlots(patcher), name, hold, request);
}

int Patcher_CallPostProcess(const char *name, Patcher *patcher, int32_t *hold,
                            const PatcherProcessRequest *request) {
    return PatcherCallbacks_CallPostProcess(Patcher_InternalSlots(patcher), name, hold, request);
}

int Patcher_GetRestartAllowed(int32_t *allowed, Patcher *patcher,
                              PackageControllerStruct *controller) {
    ZYL_CHECK_PTR(allowed);
    *allowed = 0;
    if (!Patcher_Lock(patcher))
        return 0;
    int result = PackageController_GetRestartAllowed(controller, allowed);
    Patcher_Unlock(patcher);
    return result;
}

int Patcher_IsPreProcessDone(PackageControllerStruct *controller, Patcher *patcher) {
    if (!Patcher_Lock(patcher))
        return 0;
    int result = PackageController_IsPreProcessDone(controller);
    Patcher_Unlock(patcher);
    return result;
}

int Patcher_IsPostProcessDone(PackageControllerStruct *controller, Patcher *patcher) {
    if (!Patcher_Lock(patcher))
        return 0;
    int result = PackageController_IsPostProcessDone(controller);
    Patcher_Unlock(patcher);
    return result;
}

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

int Patcher_QueuePerformRestart(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueuePerformRestart(patcher->Queue);
}

int Patcher_QueueStateChange(Patcher *patcher, const char *name,
                             const PatcherStateChangeRecord *record) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueueStateChange(patcher->Queue, name, record);
}

int Patcher_QueueStatus(Patcher *patcher, const char *name, const PatcherPackageStatus *status) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueueStatus(patcher->Queue, name, status);
}

int Patcher_QueueLog(Patcher *patcher, int level, const char *text) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueueLog(patcher->Queue, level, text);
}

int Patcher_QueueError(Patcher *patcher, int code, const char *text) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueueError(patcher->Queue, code, text);
}

int Patcher_QueuePackageListStatus(Patcher *patcher, const PatcherPackageListStatusRecord *record) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueuePackageListStatus(patcher->Queue, record);
}

int Patcher_QueueMaintenance(Patcher *patcher, const char *name,
                             const PatcherMaintenanceRecord *record) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueueMaintenance(patcher->Queue, name, record);
}

int Patcher_QueueDownloadStatus(Patcher *patcher, const char *name,
                                const PatcherDownloadStatus *status) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_QueueDownloadStatus(patcher->Queue, name, status);
}

int Patcher_ProcessEvents(Patcher *patcher) {
    ZYL_CHECK_TAG(patcher, kTag);
    return PatcherEventQueue_ProcessEvents(patcher->Queue);
}
