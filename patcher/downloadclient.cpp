// The download client on the download engine. The client's mutex guards the two
// tables, the options and every keyed operation; an element's lock is taken
// inside it, never around it. Start sequences run on the client's thread
// without the mutex, so a slow server never holds up a status query.
#include "patcher/downloadclient.h"

#include "core/hashtable.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/random.h"
#include "core/registry.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "engine/cache.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/trafficshape.h"
#include "engine/transport.h"
#include "patcher/ffsdownloader.h"
#include "patcher/firewall.h"
#include "patcher/patcherclientelement.h"
#include "patcher/patcherlog.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

static const char kTag[] = "downloadclient";

enum { kNameSize = 320, kUrlSize = 320, kGuidBytes = 16 };

struct DownloadClient {
    const char *Tag;
    std::atomic<int> Started; // 1 once the thread ran its first pass
    char FirewallApplication[kNameSize];
    char FirewallPort[kNameSize];
    char SettingsUrl[kUrlSize]; // empty: no settings container
    char MachineId[DOWNLOADCLIENT_ID_SIZE];
    ManagerStruct *Manager;
    PatcherClient *Client;     // the dispatching object, given with each download
    MutexStruct *Mutex;        // guards everything below
    HashTableStruct *Elements; // every element, by download name
    HashTableStruct *Pending;  // the same elements until their start sequence ran
    PatcherClientSettingsForwarder SettingsCallback;
    void *SettingsUserData;
    PatcherOptions Options;
    EventStruct *Event; // set at creation and at destruction, never reset
    StopFlag Stop;      // raised by the destruction
    ThreadStruct *Thread;
};

static DownloadClient *DownloadClient_InternalCheck(void *object) {
    DownloadClient *client = static_cast<DownloadClient *>(object);
    ZYL_CHECK_TAG(client, kTag);
    return client;
}

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

// Sets a direction's rule set to the limit (shaper locked). A set that the
// settings did not bring is made for a positive limit, so the limit holds.
static int DownloadClient_InternalSetLimit(TrafficShapeStruct *shaper, const char *id,
                                           TrafficShapeDirection direction, int64_t limit) {
    RuleSetStruct *set = TrafficShape_FindRuleSet(shaper, id);
    if (set == nullptr) {
        if (limit <= 0)
            return 1;
        set = TrafficShape_RuleSetCreate(shaper, id);
        TrafficShape_RuleSetSetDirection(set, direction);
        TrafficShape_RuleSetCreateRoot(set, id);
    }
    if (!TrafficShape_RuleSetSetActive(shaper, set, limit > 0 ? 1 : 0))
        return 0;
    int root = TrafficShape_RuleSetGetRootHandle(set);
    if (root == 0 || !TrafficShape_RuleSetBandwidth(set, root, limit > 0 ? limit : 0))
        return 0;
    return TrafficShape_RuleSetRecalculate(set);
}

// Stores the options and, once started (or forced), applies them to the engine.
// Called with the mutex held.
static void DownloadClient_InternalApplyOptions(DownloadClient *c, const PatcherOptions *options,
                                                int forced) {
    c->Options = *options;
    if (!c->Started.load() && !forced)
        return;
    CacheStruct *cache = nullptr;
    Manager_GetCache(c->Manager, &cache);
    Cache_SetBufferSize(cache, options->CacheSize);
    Manager_SetPortRange(c->Manager, options->PortRangeFirst, options->PortRangeLast);
    int port = 0;
    if (Manager_PickListenPort(c->Manager, &port) == 1)
        Manager_SetListenPort(c->Manager, port);
    TrafficShapeStruct *shaper = nullptr;
    Manager_GetTrafficShape(c->Manager, &shaper);
    TrafficShape_SetEnabled(shaper, options->TrafficShaping);
    if (!TrafficShape_Lock(shaper))
        return;
    if (!DownloadClient_InternalSetLimit(shaper, "incoming", TRAFFICSHAPE_INCOMING,
                                         options->IncomingLimit))
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to set traffic shape limit");
    if (!DownloadClient_InternalSetLimit(shaper, "outgoing", TRAFFICSHAPE_OUTGOING,
                                         options->OutgoingLimit))
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to set traffic shape limit");
    TrafficShape_Unlock(shaper);
}

// ---------------------------------------------------------------------------
// The thread
// ---------------------------------------------------------------------------

// The global settings container: traffic shaping and the front end's record.
static void DownloadClient_InternalLoadSettings(DownloadClient *c) {
    if (c->SettingsUrl[0] == 0)
        return;
    FFSDownloader *downloader = nullptr;
    FFSDownloader_Create(&downloader);
    FFSDownloader_SetCache(downloader, 1);
    int usedCache = 0;
    if (!FFSDownloader_Fetch(downloader, &usedCache, c->SettingsUrl, &c->Stop)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to download settings ffs [%s]", c->SettingsUrl);
        FFSDownloader_Destroy(&downloader);
        return;
    }
    XmlStruct *xml = nullptr;
    FFSDownloader_GetXml(downloader, &xml);
    if (MUTEX_LOCK(c->Mutex)) {
        TrafficShapeStruct *shaper = nullptr;
        Manager_GetTrafficShape(c->Manager, &shaper);
        TrafficShape_LoadConfig(shaper, xml);
        PatcherClientSettings settings;
        for (int i = 0; i < 2; i++) {
            char key[64];
            Zyl_FormatString(key, sizeof(key), "AdvertisementUrl_%d", i);
            ServerOptions_ReadString(settings.AdvertisementUrl[i], xml, key,
                                     sizeof(settings.AdvertisementUrl[i]));
        }
        if (c->SettingsCallback != nullptr)
            c->SettingsCallback(c->SettingsUserData, &settings);
        MUTEX_UNLOCK(c->Mutex);
    }
    FFSDownloader_Destroy(&downloader);
}

// The firewall rules for the program and its current port, as the options ask
// (mutex held).
static void DownloadClient_InternalFirewall(DownloadClient *c, int add) {
    int port = 0;
    Manager_GetListenPort(c->Manager, &port);
    if (add)
        Firewall_AddRules(c->Options.Firewall, port);
    else
        Firewall_RemoveRules(c->Options.Firewall, port);
}

static void DownloadClient_InternalFirstPass(DownloadClient *c) {
    DownloadClient_InternalLoadSettings(c);
    if (MUTEX_LOCK(c->Mutex)) {
        PatcherOptions options = c->Options;
        DownloadClient_InternalApplyOptions(c, &options, 1);
        DownloadClient_InternalFirewall(c, 1);
        c->Started.store(1);
        MUTEX_UNLOCK(c->Mutex);
    }
}

// The elements of a table, with the mutex held.
static std::vector<PatcherClientElement *> DownloadClient_InternalList(HashTableStruct *table) {
    std::vector<PatcherClientElement *> list;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(table, &node); more == 1;
         more = HashTable_GetNextNode(table, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        list.push_back(static_cast<PatcherClientElement *>(value));
    }
    return list;
}

// The first pending element and its name; null when none.
static PatcherClientElement *DownloadClient_InternalFirstPending(DownloadClient *c, char *name) {
    HashTableNodeStruct *node = nullptr;
    if (HashTable_GetFirstNode(c->Pending, &node) != 1)
        return nullptr;
    const char *key = nullptr;
    void *value = nullptr;
    HashTable_GetNodeData(&key, node, &value);
    Zyl_StrCopy(name, key, kNameSize);
    return static_cast<PatcherClientElement *>(value);
}

static void DownloadClient_InternalPass(DownloadClient *c) {
    // One start sequence per pass, without the mutex.
    if (!MUTEX_LOCK(c->Mutex))
        return;
    char name[kNameSize] = "";
    PatcherClientElement *starting = DownloadClient_InternalFirstPending(c, name);
    MUTEX_UNLOCK(c->Mutex);
    if (starting != nullptr) {
        PatcherClientElement_Start(starting, &c->Stop);
        if (!MUTEX_LOCK(c->Mutex))
            return;
        HashTable_Remove(c->Pending, name);
        MUTEX_UNLOCK(c->Mutex);
    }
    if (!MUTEX_LOCK(c->Mutex))
        return;
    std::vector<PatcherClientElement *> all = DownloadClient_InternalList(c->Elements);
    for (PatcherClientElement *element : all)
        PatcherClientElement_Process(element, &c->Stop);
    // Removed elements go; one still waiting for its start leaves both tables.
    HashTableNodeStruct *node = nullptr;
    std::vector<std::pair<std::string, PatcherClientElement *>> doomed;
    for (int more = HashTable_GetFirstNode(c->Elements, &node); more == 1;
         more = HashTable_GetNextNode(c->Elements, &node, node)) {
        const char *key = nullptr;
        void *value = nullptr;
        HashTable_GetNodeData(&key, node, &value);
        PatcherClientElement *element = static_cast<PatcherClientElement *>(value);
        int removed = 0;
        PatcherClientElement_IsRemoved(&removed, element);
        if (removed)
            doomed.emplace_back(key, element);
    }
    for (auto &entry : doomed) {
        HashTable_Remove(c->Elements, entry.first.c_str());
        HashTable_Remove(c->Pending, entry.first.c_str());
        PatcherClientElement_Destroy(&entry.second);
    }
    MUTEX_UNLOCK(c->Mutex);
}

static uint32_t DownloadClient_InternalThread(void *argument) {
    DownloadClient *c = static_cast<DownloadClient *>(argument);
    while (StopFlag_Test(&c->Stop) == 0) {
        int signalled = 0;
        if (!EVENT_WAIT(c->Event, &signalled, -1))
            break;
        if (!signalled || StopFlag_Test(&c->Stop) != 0)
            continue;
        if (!c->Started.load())
            DownloadClient_InternalFirstPass(c);
        DownloadClient_InternalPass(c);
        Thread_Sleep(DOWNLOADCLIENT_PASS_MS);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

// The installation's identity: "UM" under the application's key, made once.
static void DownloadClient_InternalMachineId(DownloadClient *c, const char *registryPath) {
    c->MachineId[0] = 0;
    RegistryStruct *key = nullptr;
    if (Registry_OpenKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, registryPath) != 1)
        return;
    if (Registry_GetString(key, "UM", c->MachineId, sizeof(c->MachineId)) != 1 ||
        c->MachineId[0] == 0) {
        uint8_t bytes[kGuidBytes];
        RandomStruct *random = nullptr;
        Random_Create(&random);
        for (uint8_t &byte : bytes)
            byte = static_cast<uint8_t>(Random_Next(random) >> 24);
        Random_Destroy(&random);
        uint32_t data1 = (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 |
                         (uint32_t)bytes[2] << 8 | bytes[3];
        unsigned data2 = (unsigned)bytes[4] << 8 | bytes[5];
        unsigned data3 = (unsigned)bytes[6] << 8 | bytes[7];
        Zyl_FormatString(c->MachineId, sizeof(c->MachineId),
                         "{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                         bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                         bytes[15]);
        Registry_SetString(key, "UM", c->MachineId);
    }
    Registry_CloseKey(&key);
}

// Manager set up for the launcher: its port, resume files in the private
// cache folder (read, never written), identity and client tag.
static void DownloadClient_InternalSetupManager(DownloadClient *c, const char *registryPath) {
    Manager_Create(&c->Manager);
    int port = 0;
    if (Manager_PickListenPort(c->Manager, &port) == 1)
        Manager_SetListenPort(c->Manager, port);
    KickStartStruct *kick = nullptr;
    Manager_GetKickStart(c->Manager, &kick);
    char cache[kNameSize];
    char folder[kNameSize];
    if (Zyl_GetSpecialFolder(ZYL_FOLDER_INTERNET_CACHE, cache, sizeof(cache)) == 1) {
        Zyl_FormatString(folder, sizeof(folder), "%sportico/VexilCache", cache);
        KickStart_SetFolder(kick, folder);
    }
    KickStart_SetEnabled(kick, 1);
    KickStart_SetLoadOnly(kick);
    DownloadClient_InternalMachineId(c, registryPath);
    Manager_SetUniqueID(c->Manager, c->MachineId);
    Manager_SetClientTag(c->Manager, "-VP1001-");
    Manager_SetVerbose(c->Manager);
    Manager_DisableWebServer(c->Manager);
}

static void DownloadClient_InternalFree(DownloadClient *c) {
    if (c->Elements != nullptr) {
        for (PatcherClientElement *element : DownloadClient_InternalList(c->Elements))
            PatcherClientElement_Destroy(&element);
    }
    HashTable_Destroy(&c->Elements);
    HashTable_Destroy(&c->Pending);
    Manager_Destroy(&c->Manager);
    Mutex_Close(&c->Mutex);
    Event_Close(&c->Event);
    c->Tag = Zyl_DeadTag;
    c->~DownloadClient();
    Zyl_Free(c, static_cast<int64_t>(sizeof(DownloadClient)), 1, __FILE__, __LINE__);
}

static int DownloadClient_InternalCreate(void **object, const char *registryPath,
                                         const char *settingsUrl, const PatcherOptions *options) {
    *object = nullptr;
    void *memory = Zyl_Alloc(static_cast<int64_t>(sizeof(DownloadClient)), 1, __FILE__, __LINE__);
    DownloadClient *c = new (memory) DownloadClient;
    c->Tag = kTag;
    Zyl_StrCopy(c->FirewallApplication, "Launcher", sizeof(c->FirewallApplication));
    Zyl_StrCopy(c->FirewallPort, "Launcher", sizeof(c->FirewallPort));
    Zyl_StrCopy(c->SettingsUrl, settingsUrl, sizeof(c->SettingsUrl));
    DownloadClient_InternalSetupManager(c, registryPath);
    c->Options = *options;
    HashTable_Create(&c->Elements);
    HashTable_Create(&c->Pending);
    Mutex_Create(&c->Mutex);
    Event_Create(&c->Event);
    if (Thread_Create(&c->Thread, c, DownloadClient_InternalThread) != 1) {
        Zyl_Print("Unable to create PatcherClient thread (%d)\n", errno);
        DownloadClient_InternalFree(c);
        return 0;
    }
    Event_Set(c->Event, 1);
    *object = c;
    return 1;
}

static int DownloadClient_InternalDestroy(void **object) {
    DownloadClient *c = DownloadClient_InternalCheck(*object);
    StopFlag_Set(&c->Stop, 1);
    Event_Set(c->Event, 1);
    Thread_Wait(c->Thread, THREAD_WAIT_INFINITE);
    Thread_Close(&c->Thread);
    if (c->Started.load() && MUTEX_LOCK(c->Mutex)) {
        DownloadClient_InternalFirewall(c, 0);
        MUTEX_UNLOCK(c->Mutex);
    }
    DownloadClient_InternalFree(c);
    *object = nullptr;
    return 1;
}

static int DownloadClient_InternalStop(void *object) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    return Manager_SetActive(c->Manager, 0);
}

static int DownloadClient_InternalSetOptions(void *object, const PatcherOptions *options) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    // Once started the rules follow the options: the old ones go first.
    const int started = c->Started.load();
    if (started)
        DownloadClient_InternalFirewall(c, 0);
    DownloadClient_InternalApplyOptions(c, options, 0);
    if (started)
        DownloadClient_InternalFirewall(c, 1);
    MUTEX_UNLOCK(c->Mutex);
    return 1;
}

static int DownloadClient_InternalSetSettingsCallback(void *object,
                                                      PatcherClientSettingsForwarder callback,
                                                      void *userData) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    c->SettingsCallback = callback;
    c->SettingsUserData = userData;
    MUTEX_UNLOCK(c->Mutex);
    return 1;
}

// ---------------------------------------------------------------------------
// Keyed operations
// ---------------------------------------------------------------------------

// The element of that name, with the mutex held; null when not held.
static PatcherClientElement *DownloadClient_InternalFind(DownloadClient *c, const char *name) {
    void *value = nullptr;
    if (HashTable_Get(&value, name, c->Elements) != 1)
        return nullptr;
    return static_cast<PatcherClientElement *>(value);
}

static int DownloadClient_InternalAdd(void *object, PatcherClient *dispatcher,
                                      const int32_t *switches, const char *name,
                                      const char *skinSource, const char *metafile,
                                      const char *outputPath, PatcherClientStateFunc callback,
                                      void *userData, const int32_t *elementOptions) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    c->Client = dispatcher;
    if (DownloadClient_InternalFind(c, name) != nullptr) {
        MUTEX_UNLOCK(c->Mutex);
        Patcher_Log(PATCHER_LOG_WARNING, "PatcherClient_Add(): already added");
        return 0;
    }
    PatcherClientElement *element = nullptr;
    PatcherClientElement_Create(&element, name, skinSource, metafile, outputPath, dispatcher,
                                c->Manager, callback, userData, switches, elementOptions);
    int result = HashTable_Set(c->Elements, name, element);
    if (result == 1 && HashTable_Set(c->Pending, name, element) != 1) {
        HashTable_Remove(c->Elements, name);
        result = 0;
    }
    if (result != 1)
        PatcherClientElement_Destroy(&element);
    MUTEX_UNLOCK(c->Mutex);
    return result;
}

static int DownloadClient_InternalRemove(void *object, const char *name) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    PatcherClientElement *element = DownloadClient_InternalFind(c, name);
    if (element != nullptr)
        PatcherClientElement_MarkRemoved(element);
    MUTEX_UNLOCK(c->Mutex);
    return element != nullptr;
}

static int DownloadClient_InternalGetStatus(void *object, const char *name,
                                            PatcherDownloadStatus *status) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    PatcherClientElement *element = DownloadClient_InternalFind(c, name);
    if (element != nullptr)
        PatcherClientElement_GetStatus(status, element);
    MUTEX_UNLOCK(c->Mutex);
    return element != nullptr;
}

static int DownloadClient_InternalSetSwitches(void *object, const char *name,
                                              const int32_t *switches) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    PatcherClientElement *element = DownloadClient_InternalFind(c, name);
    int result = element != nullptr ? PatcherClient_InternalApplySettings(element, switches) : 0;
    MUTEX_UNLOCK(c->Mutex);
    return result;
}

static int DownloadClient_InternalSetActive(void *object, const char *name, int flag) {
    DownloadClient *c = DownloadClient_InternalCheck(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    PatcherClientElement *element = DownloadClient_InternalFind(c, name);
    int result = element != nullptr ? PatcherClientElement_SetActive(flag, element) : 0;
    MUTEX_UNLOCK(c->Mutex);
    return result;
}

static int DownloadClient_InternalStartup(void) {
    return Transport_Startup();
}

static int DownloadClient_InternalShutdown(void) {
    return Transport_Shutdown();
}

const PatcherClientOperations DownloadClient_Operations = {
    "download engine",
    DownloadClient_InternalStartup,
    DownloadClient_InternalShutdown,
    DownloadClient_InternalCreate,
    DownloadClient_InternalDestroy,
    DownloadClient_InternalStop,
    DownloadClient_InternalSetOptions,
    DownloadClient_InternalSetSettingsCallback,
    DownloadClient_InternalAdd,
    DownloadClient_InternalRemove,
    DownloadClient_InternalGetStatus,
    DownloadClient_InternalSetSwitches,
    DownloadClient_InternalSetActive,
};

// ---------------------------------------------------------------------------
// The driver's side
// ---------------------------------------------------------------------------

static DownloadClient *DownloadClient_InternalOf(PatcherClient *client) {
    void *object = nullptr;
    if (PatcherClient_GetObject(client, &DownloadClient_Operations, &object) != 1)
        ZYL_FATAL("DownloadClient: the client runs another implementation\n");
    return DownloadClient_InternalCheck(object);
}

int DownloadClient_GetManager(PatcherClient *client, ManagerStruct **manager) {
    ZYL_CHECK_PTR(manager);
    *manager = DownloadClient_InternalOf(client)->Manager;
    return 1;
}

int DownloadClient_IsStarted(PatcherClient *client) {
    return DownloadClient_InternalOf(client)->Started.load();
}

int DownloadClient_GetOptions(PatcherClient *client, PatcherOptions *options) {
    ZYL_CHECK_PTR(options);
    DownloadClient *c = DownloadClient_InternalOf(client);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    *options = c->Options;
    MUTEX_UNLOCK(c->Mutex);
    return 1;
}

int DownloadClient_GetMachineId(PatcherClient *client, char *text) {
    ZYL_CHECK_PTR(text);
    Zyl_StrCopy(text, DownloadClient_InternalOf(client)->MachineId, DOWNLOADCLIENT_ID_SIZE);
    return 1;
}

int DownloadClient_HasDownload(PatcherClient *client, const char *name, int *pending) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(pending);
    DownloadClient *c = DownloadClient_InternalOf(client);
    *pending = 0;
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    int held = DownloadClient_InternalFind(c, name) != nullptr;
    *pending = HashTable_Contains(c->Pending, name);
    MUTEX_UNLOCK(c->Mutex);
    return held;
}

int DownloadClient_GetServerOptions(PatcherClient *client, const char *name,
                                    ServerOptions *options) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(options);
    DownloadClient *c = DownloadClient_InternalOf(client);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    PatcherClientElement *element = DownloadClient_InternalFind(c, name);
    if (element != nullptr)
        PatcherClientElement_GetServerOptions(element, options);
    MUTEX_UNLOCK(c->Mutex);
    return element != nullptr;
}
