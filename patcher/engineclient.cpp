// The download client on the engine. Its mutex guards the element list, the
// options and every keyed operation; an element's own lock is taken inside it,
// never the other way round. An element's start sequence runs without the
// mutex (flagged as starting, so it is not destroyed meanwhile), so a slow
// metafile fetch never holds up status queries.
#include "patcher/engineclient.h"

#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/registry.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "engine/cache.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/trafficshape.h"
#include "engine/transport.h"
#include "patcher/clientelement.h"
#include "patcher/ffsdownloader.h"
#include "patcher/firewall.h"
#include "patcher/patcherlog.h"
#include "patcher/serveroptions.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/random.h>

static const char kEngineClientTag[] = "patcherclient";

enum { kTextSize = PATCHER_CLIENT_TEXT_SIZE, kPassMs = 50 };

// One download: its element and whether it still waits for (or runs) its start.
struct EngineClientEntry {
    char Name[kTextSize];
    PatcherClientElement *Element;
    int Pending;  // 1 until its start sequence has run
    int Starting; // 1 while the start sequence runs (without the mutex)
    EngineClientEntry *Next;
};

struct EngineClient {
    const char *Tag;
    std::atomic<int> Started; // 1 after the thread's first pass
    char SettingsUrl[kTextSize];
    ManagerStruct *Manager;
    EngineClientEntry *Entries;
    PatcherClientSettingsForwarder SettingsCallback;
    void *SettingsUser;
    MutexStruct *Mutex;
    PatcherOptions Options;
    EventStruct *Wake; // set at destruction: ends the thread's pause at once
    StopFlag Stop;
    ThreadStruct *Thread;
};

static EngineClient *EngineClient_InternalCast(void *object) {
    auto *c = static_cast<EngineClient *>(object);
    ZYL_CHECK_TAG(c, kEngineClientTag);
    return c;
}

static EngineClientEntry *EngineClient_InternalFind(EngineClient *c, const char *name) {
    for (EngineClientEntry *e = c->Entries; e != nullptr; e = e->Next)
        if (Zyl_StrEqual(e->Name, name))
            return e;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

// Sets one direction's limit (bytes per second): the rule set "incoming" or
// "outgoing" is active exactly when the limit is above 0, its root at that rate.
// A positive limit without rule sets makes the set with its root rule.
static int EngineClient_InternalLimit(TrafficShapeStruct *shaper, const char *id,
                                      TrafficShapeDirection direction, int64_t limit) {
    RuleSetStruct *set = TrafficShape_FindRuleSet(shaper, id);
    if (set == nullptr) {
        if (limit <= 0)
            return 1;
        set = TrafficShape_RuleSetCreate(shaper, id);
        if (set == nullptr || !TrafficShape_RuleSetSetDirection(set, direction) ||
            !TrafficShape_RuleSetCreateRoot(set, id))
            return 0;
    }
    if (!TrafficShape_RuleSetSetActive(shaper, set, limit > 0 ? 1 : 0))
        return 0;
    if (limit <= 0)
        return 1;
    int root = TrafficShape_RuleSetGetRootHandle(set);
    return root != 0 && TrafficShape_RuleSetBandwidth(set, root, limit) &&
           TrafficShape_RuleSetRecalculate(set);
}

// Stores the options; unless started or forced that is all. Mutex held.
static void EngineClient_InternalApplyOptions(EngineClient *c, const PatcherOptions *options,
                                              int forced) {
    c->Options = *options;
    if (!c->Started.load() && !forced)
        return;
    CacheStruct *cache = nullptr;
    TrafficShapeStruct *shaper = nullptr;
    Manager_GetCache(c->Manager, &cache);
    Manager_GetTrafficShape(c->Manager, &shaper);
    Cache_SetBufferSize(cache, c->Options.CacheSize);
    // Options without a port range keep the port picked at creation.
    if (c->Options.PortRangeFirst > 0 && c->Options.PortRangeLast > 0) {
        Manager_SetPortRange(c->Manager, c->Options.PortRangeFirst, c->Options.PortRangeLast);
        int port = 0;
        Manager_PickListenPort(c->Manager, &port);
        Manager_SetListenPort(c->Manager, port);
    }
    TrafficShape_SetEnabled(shaper, c->Options.TrafficShaping);
    if (!TrafficShape_Lock(shaper))
        return;
    if (!EngineClient_InternalLimit(shaper, "incoming", TRAFFICSHAPE_INCOMING,
                                    c->Options.IncomingLimit))
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to set traffic shape limit");
    if (!EngineClient_InternalLimit(shaper, "outgoing", TRAFFICSHAPE_OUTGOING,
                                    c->Options.OutgoingLimit))
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to set traffic shape limit");
    TrafficShape_Unlock(shaper);
}

static int EngineClient_InternalPort(EngineClient *c) {
    int port = 0;
    Manager_GetListenPort(c->Manager, &port);
    return port;
}

// ---------------------------------------------------------------------------
// Thread
// ---------------------------------------------------------------------------

// The first pass: the global settings container, then the options and the
// firewall rules.
static void EngineClient_InternalFirstPass(EngineClient *c) {
    if (c->SettingsUrl[0] != 0) {
        FFSDownloader *downloader = nullptr;
        FFSDownloader_Create(&downloader);
        int usedCache = 0;
        if (FFSDownloader_Fetch(downloader, &usedCache, c->SettingsUrl, &c->Stop)) {
            XmlStruct *xml = nullptr;
            FFSDownloader_GetXml(downloader, &xml);
            MUTEX_LOCK(c->Mutex);
            TrafficShapeStruct *shaper = nullptr;
            Manager_GetTrafficShape(c->Manager, &shaper);
            TrafficShape_LoadConfig(shaper, xml);
            PatcherClientSettings settings;
            memset(&settings, 0, sizeof settings);
            for (int i = 0; i < 2; i++) {
                char key[64];
                Zyl_FormatString(key, sizeof key, "AdvertisementUrl_%d", i);
                ServerOptions_ReadString(settings.AdvertisementUrl[i], xml, key,
                                         PATCHER_CLIENT_SETTINGS_URL_SIZE);
            }
            if (c->SettingsCallback != nullptr)
                c->SettingsCallback(c->SettingsUser, &settings);
            MUTEX_UNLOCK(c->Mutex);
        } else {
            Patcher_Log(PATCHER_LOG_WARNING, "Unable to download settings ffs [%s]",
                        c->SettingsUrl);
        }
        FFSDownloader_Destroy(&downloader);
    }
    MUTEX_LOCK(c->Mutex);
    PatcherOptions options = c->Options;
    EngineClient_InternalApplyOptions(c, &options, 1);
    Zyl_ComInit();
    Firewall_AddRules(c->Options.Firewall, EngineClient_InternalPort(c));
    Zyl_ComUninit();
    MUTEX_UNLOCK(c->Mutex);
}

// One pass: one pending element started, every element ticked, removed ones destroyed.
static void EngineClient_InternalPass(EngineClient *c) {
    EngineClientEntry *starting = nullptr;
    MUTEX_LOCK(c->Mutex);
    for (EngineClientEntry *e = c->Entries; e != nullptr && starting == nullptr; e = e->Next) {
        if (e->Pending) {
            starting = e;
            e->Starting = 1;
        }
    }
    MUTEX_UNLOCK(c->Mutex);
    if (starting != nullptr) {
        PatcherClientElement_Start(starting->Element, &c->Stop);
        MUTEX_LOCK(c->Mutex);
        starting->Pending = 0;
        starting->Starting = 0;
        MUTEX_UNLOCK(c->Mutex);
    }
    MUTEX_LOCK(c->Mutex);
    for (EngineClientEntry *e = c->Entries; e != nullptr; e = e->Next)
        if (!e->Pending)
            PatcherClientElement_Process(e->Element, &c->Stop);
    EngineClientEntry **link = &c->Entries;
    while (*link != nullptr) {
        EngineClientEntry *e = *link;
        int removed = 0;
        PatcherClientElement_IsRemoved(&removed, e->Element);
        if (removed && !e->Starting) {
            *link = e->Next;
            PatcherClientElement_Destroy(&e->Element);
            ZYL_FREE(e, sizeof(EngineClientEntry));
        } else {
            link = &e->Next;
        }
    }
    MUTEX_UNLOCK(c->Mutex);
}

static uint32_t EngineClient_InternalThread(void *argument) {
    auto *c = static_cast<EngineClient *>(argument);
    while (StopFlag_Test(&c->Stop) == 0) {
        if (!c->Started.load()) {
            EngineClient_InternalFirstPass(c);
            c->Started.store(1);
        }
        if (StopFlag_Test(&c->Stop) != 0)
            break;
        EngineClient_InternalPass(c);
        int signalled = 0;
        if (!EVENT_WAIT(c->Wake, &signalled, kPassMs))
            break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------

// The machine's identity: the text "UM" under the application's key of the
// machine root, made once as a GUID from the kernel's random bytes. "" when the
// key cannot be opened.
static void EngineClient_InternalMachineId(const char *registryPath, char *text, int size) {
    text[0] = 0;
    RegistryStruct *key = nullptr;
    if (registryPath == nullptr || registryPath[0] == 0 ||
        !Registry_OpenKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, registryPath))
        return;
    if (!Registry_GetString(key, "UM", text, size) || text[0] == 0) {
        uint8_t b[16] = {};
        if (getrandom(b, sizeof b, 0) != (ssize_t)sizeof b) {
            Registry_CloseKey(&key);
            text[0] = 0;
            return;
        }
        uint32_t first = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
        Zyl_FormatString(text, size, "{%08lX-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                         (int)first, b[4] << 8 | b[5], b[6] << 8 | b[7], b[8], b[9], b[10], b[11],
                         b[12], b[13], b[14], b[15]);
        Registry_SetString(key, "UM", text);
    }
    Registry_CloseKey(&key);
}

static int EngineClient_Startup(void) {
    return Transport_Startup();
}
static int EngineClient_Shutdown(void) {
    return Transport_Shutdown();
}

static int EngineClient_Create(void **object, const char *registryPath, const char *settingsUrl,
                               const PatcherOptions *options) {
    EngineClient *c = ZYL_NEW(EngineClient);
    new (&c->Started) std::atomic<int>(0);
    new (&c->Stop) StopFlag();
    c->Tag = kEngineClientTag;
    Zyl_StrCopy(c->SettingsUrl, settingsUrl != nullptr ? settingsUrl : "", kTextSize);
    Manager_Create(&c->Manager);
    int port = 0;
    Manager_PickListenPort(c->Manager, &port);
    Manager_SetListenPort(c->Manager, port);
    // Resume files live in the user's private cache folder.
    char cache[kTextSize], folder[kTextSize];
    KickStartStruct *kick = nullptr;
    if (Zyl_GetSpecialFolder(ZYL_FOLDER_INTERNET_CACHE, cache, kTextSize) &&
        Zyl_FormatString(folder, kTextSize, "%sportico/VexilCache/", cache) < kTextSize - 1 &&
        Manager_GetKickStart(c->Manager, &kick) && kick != nullptr) {
        KickStart_SetFolder(kick, folder);
        KickStart_SetEnabled(kick, 1);
        KickStart_SetBaseOnly(kick);
    }
    if (options != nullptr)
        c->Options = *options;
    char machine[80];
    EngineClient_InternalMachineId(registryPath, machine, sizeof machine);
    Manager_SetUniqueID(c->Manager, machine);
    Manager_SetClientTag(c->Manager, "-VP1001-");
    Manager_DisableWebServer(c->Manager);
    Mutex_Create(&c->Mutex);
    Event_Create(&c->Wake);
    if (!Thread_Create(&c->Thread, c, EngineClient_InternalThread)) {
        Zyl_Print("Unable to create PatcherClient thread (%d)\n", errno);
        Event_Close(&c->Wake);
        Mutex_Close(&c->Mutex);
        Manager_Destroy(&c->Manager);
        c->Tag = Zyl_DeadTag;
        ZYL_FREE(c, sizeof(EngineClient));
        return 0;
    }
    *object = c;
    return 1;
}

static int EngineClient_Destroy(void **object) {
    EngineClient *c = EngineClient_InternalCast(*object);
    StopFlag_Set(&c->Stop, 1);
    Event_Set(c->Wake, 1);
    Thread_Wait(c->Thread, THREAD_WAIT_INFINITE);
    Thread_Close(&c->Thread);
    if (c->Started.load())
        Firewall_RemoveRules(c->Options.Firewall, EngineClient_InternalPort(c));
    MUTEX_LOCK(c->Mutex);
    while (c->Entries != nullptr) {
        EngineClientEntry *e = c->Entries;
        c->Entries = e->Next;
        PatcherClientElement_Destroy(&e->Element);
        ZYL_FREE(e, sizeof(EngineClientEntry));
    }
    MUTEX_UNLOCK(c->Mutex);
    Manager_Destroy(&c->Manager);
    Mutex_Close(&c->Mutex);
    Event_Close(&c->Wake);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(EngineClient));
    *object = nullptr;
    return 1;
}

static int EngineClient_Stop(void *object) {
    EngineClient *c = EngineClient_InternalCast(object);
    return Manager_SetActive(c->Manager, 0);
}

static int EngineClient_SetOptions(void *object, const PatcherOptions *options) {
    EngineClient *c = EngineClient_InternalCast(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    int started = c->Started.load();
    if (started)
        Firewall_RemoveRules(c->Options.Firewall, EngineClient_InternalPort(c));
    EngineClient_InternalApplyOptions(c, options, 0);
    if (started)
        Firewall_AddRules(c->Options.Firewall, EngineClient_InternalPort(c));
    MUTEX_UNLOCK(c->Mutex);
    return 1;
}

static int EngineClient_SetSettingsCallback(void *object, PatcherClientSettingsForwarder callback,
                                            void *userData) {
    EngineClient *c = EngineClient_InternalCast(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    c->SettingsCallback = callback;
    c->SettingsUser = userData;
    MUTEX_UNLOCK(c->Mutex);
    return 1;
}

static int EngineClient_AddDownload(void *object, PatcherClient *client, const int32_t *switches,
                                    const char *name, const char *skinSource, const char *metafile,
                                    const char *outputPath, PatcherClientStateFunc callback,
                                    void *userData, const int32_t *elementOptions) {
    EngineClient *c = EngineClient_InternalCast(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    if (EngineClient_InternalFind(c, name) != nullptr) {
        MUTEX_UNLOCK(c->Mutex);
        Patcher_Log(PATCHER_LOG_WARNING, "PatcherClient_Add(): already added");
        return 0;
    }
    EngineClientEntry *e = ZYL_NEW(EngineClientEntry);
    Zyl_StrCopy(e->Name, name, kTextSize);
    PatcherClientElement_Create(&e->Element, name, skinSource, metafile, client, callback, userData,
                                switches, elementOptions, c->Manager, outputPath);
    e->Pending = 1;
    EngineClientEntry **tail = &c->Entries;
    while (*tail != nullptr)
        tail = &(*tail)->Next;
    *tail = e;
    MUTEX_UNLOCK(c->Mutex);
    return 1;
}

static int EngineClient_RemoveDownload(void *object, const char *name) {
    EngineClient *c = EngineClient_InternalCast(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    EngineClientEntry *e = EngineClient_InternalFind(c, name);
    int removed = 0;
    if (e != nullptr) {
        PatcherClientElement_IsRemoved(&removed, e->Element);
        if (!removed)
            PatcherClientElement_MarkRemoved(e->Element);
        removed = !removed;
    }
    MUTEX_UNLOCK(c->Mutex);
    return removed;
}

static int EngineClient_GetDownloadStatus(void *object, const char *name,
                                          PatcherDownloadStatus *status) {
    EngineClient *c = EngineClient_InternalCast(object);
    PatcherDownloadStatus_Init(status);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    EngineClientEntry *e = EngineClient_InternalFind(c, name);
    if (e != nullptr)
        PatcherClientElement_GetStatus(status, e->Element);
    MUTEX_UNLOCK(c->Mutex);
    return e != nullptr;
}

static int EngineClient_SetDownloadSwitches(void *object, const char *name,
                                            const int32_t *switches) {
    EngineClient *c = EngineClient_InternalCast(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    EngineClientEntry *e = EngineClient_InternalFind(c, name);
    int result = e != nullptr && PatcherClient_InternalApplySettings(e->Element, switches);
    MUTEX_UNLOCK(c->Mutex);
    return result;
}

static int EngineClient_SetDownloadActive(void *object, const char *name, int flag) {
    EngineClient *c = EngineClient_InternalCast(object);
    if (!MUTEX_LOCK(c->Mutex))
        return 0;
    EngineClientEntry *e = EngineClient_InternalFind(c, name);
    int result = e != nullptr && PatcherClientElement_SetActive(flag, e->Element);
    MUTEX_UNLOCK(c->Mutex);
    return result;
}

const PatcherClientOperations EngineClient_Operations = {
    "engine",
    EngineClient_Startup,
    EngineClient_Shutdown,
    EngineClient_Create,
    EngineClient_Destroy,
    EngineClient_Stop,
    EngineClient_SetOptions,
    EngineClient_SetSettingsCallback,
    EngineClient_AddDownload,
    EngineClient_RemoveDownload,
    EngineClient_GetDownloadStatus,
    EngineClient_SetDownloadSwitches,
    EngineClient_SetDownloadActive,
};

int EngineClient_GetManager(PatcherClient *client, ManagerStruct **manager) {
    ZYL_CHECK_PTR(manager);
    *manager = nullptr;
    void *object = nullptr;
    if (!PatcherClient_GetObject(client, &EngineClient_Operations, &object) || object == nullptr)
        return 0;
    *manager = EngineClient_InternalCast(object)->Manager;
    return 1;
}

int EngineClient_IsStarted(PatcherClient *client) {
    void *object = nullptr;
    if (!PatcherClient_GetObject(client, &EngineClient_Operations, &object) || object == nullptr)
        return 0;
    return EngineClient_InternalCast(object)->Started.load();
}
