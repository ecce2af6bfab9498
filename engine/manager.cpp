// The download manager's life, settings, identity, start and stop, and the
// manager thread's loop. The thread cycles about once a millisecond under
// traffic; idle, it waits on the TCP listener for 10 ms while work is in flight,
// and for longer (doubling up to 100 ms) while there is none.
#include "engine/manager.h"

#include <atomic>
#include <cerrno>
#include <mutex>

#include "core/alert.h"
#include "core/mutex.h"
#include "core/random.h"
#include "core/sha1.h"
#include "core/thread.h"
#include "core/translog.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/bigint.h"
#include "engine/cache.h"
#include "engine/content.h"
#include "engine/dht.h"
#include "engine/holepunch.h"
#include "engine/ipfilter.h"
#include "engine/kickstart.h"
#include "engine/manager_internal.h"
#include "engine/storage.h"
#include "engine/trafficshape.h"
#include "engine/transport.h"
#include "engine/traverse.h"
#include "engine/webstream.h"
#include "net/webget.h"
#include "net/webserv.h"
#include "platform/fdlimit.h"
#include "platform/iphlpapi.h"
#include "platform/shfolder.h"

const char Manager_Tag[] = "ManagerStruct";

static const char kProduct[] = "Vexil Core";
static const char kVersion[] = "0.80";
static const char kDefaultTag[] = "-VX0081-";
static const char kFieldList[] = "InfoHash ClientID Direction IPAddress IncomingBytes "
                                 "OutgoingBytes ConfirmedBytes CorruptBytes DiscardedBytes "
                                 "TimeTaken";
static const char kPeerIdAlphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
enum { kDurationFlags = 3068 };

static double InternalTickClock(void *) {
    return Zyl_GetTickSeconds();
}

double Manager_Now(ManagerStruct *manager) {
    return manager->Clock(manager->ClockContext);
}

uint32_t Manager_HandleId(const void *object) {
    return (uint32_t)(uintptr_t)object;
}

// The hardware address of the first interface that is up and not loopback;
// zeros when there is none.
static void InternalReadHardwareAddress(uint8_t mac[6]) {
    for (int i = 0; i < 6; i++)
        mac[i] = 0;
    IpHlpAdapter adapters[IPHLP_MAX_ADAPTERS];
    int count = 0;
    if (!IpHlp_GetAdapters(adapters, IPHLP_MAX_ADAPTERS, &count))
        return;
    for (int a = 0; a < count; a++) {
        int any = 0;
        for (int i = 0; i < 6; i++)
            any |= adapters[a].Mac[i];
        if (adapters[a].Up && any) {
            for (int i = 0; i < 6; i++)
                mac[i] = adapters[a].Mac[i];
            return;
        }
    }
}

// The announce key: drawn once per process from the kernel's source, so that a
// tracker cannot follow one installation from run to run.
static uint32_t InternalTrackerKey(void) {
    static std::once_flag once;
    static uint32_t key;
    std::call_once(once, [] {
        RandomStruct *random = nullptr;
        Random_Create(&random);
        key = Random_Next(random);
        Random_Destroy(&random);
    });
    return key;
}

static int InternalInit(ManagerStruct *m) {
    m->IPListComparePorts = 1;
    m->FastExtension = 1;
    m->ActiveConnectsLimit = 10;
    m->HandshakeConnectsLimit = 20;
    m->AcceptPasses = 10;
    m->StatisticsInterval = 1;
    m->PortLow = MANAGER_PORT_LOW;
    m->PortHigh = MANAGER_PORT_HIGH;
    m->AcceptedConnectionTypes = -1;
    m->OutgoingConnectionTypes =
        MANAGER_CONNECTION_NORMAL | MANAGER_CONNECTION_MUNGE | MANAGER_CONNECTION_PE;
    m->OutgoingTransports = 1;
    m->TraversalSwitch = 1;
    m->HolePunchSwitch = 1;
    m->Inbound = 1;
    m->Clock = InternalTickClock;
    FdLimit_RaiseToHard();

    InternalReadHardwareAddress(m->HardwareAddress);
    char current[MANAGER_PATH_SIZE];
    ShFolder_GetCurrent(current, sizeof current);
    Zyl_Print("%s v%s (%s) in use (%s)\n", kProduct, kVersion, "Beta", "V09");
    const uint8_t *mac = m->HardwareAddress;
    Zyl_Print("Current Path [%s] [%.2X:%.2X:%.2X:%.2X:%.2X:%.2X]\n", current, mac[0], mac[1],
              mac[2], mac[3], mac[4], mac[5]);

    Mutex_Create(&m->StateLock);
    Manager_SetUniqueID(m, "");

    BigInt_Create(&m->Generator);
    BigInt_SetWord(m->Generator, 2);
    for (KeySlotStruct &slot : m->Keys) {
        BigInt_Create(&slot.Prime);
        BigInt_Create(&slot.Private);
        BigInt_Create(&slot.Public);
    }

    IPFilter_Create(&m->IPFilter);
    Traverse_Create(&m->Traverse);
    Traverse_SetManager(m->Traverse, m);
    HolePunch_Create(&m->HolePunch);
    HolePunch_SetParent(m->HolePunch, m);

    KickStart_Create(&m->KickStart);
    KickStart_SetEnabled(m->KickStart, 0);
    char folder[MANAGER_PATH_SIZE];
    if (ShFolder_Get(SHFOLDER_CACHE, folder, sizeof folder)) {
        Zyl_StrAppend(folder, "/cache/", sizeof folder);
        KickStart_SetFolder(m->KickStart, folder);
    }

    Storage_Create(&m->Storage);
    WebGet_Create(&m->WebGet);
    Cache_Create(&m->Cache);
    Cache_SetParent(m->Cache, m, m->Storage);
    DHT_Create(&m->DHT);
    DHT_SetManager(m->DHT, m);
    TrafficShape_Create(&m->TrafficShape);

    static const uint8_t loopback[4] = {127, 0, 0, 1};
    WebServer_Create(&m->WebServer);
    WebServer_SetVerbose(m->WebServer, 1);
    WebServer_SetThreaded(m->WebServer, 0);
    WebServer_SetBindAddress(m->WebServer, loopback);
    WebServer_SetPort(m->WebServer, 8884);
    WebStream_Create(&m->WebStream);
    WebStream_SetParent(m, m->WebStream);

    Log_Create(&m->PeerTransferLog);
    Log_SetEnabled(m->PeerTransferLog, 0);
    Log_SetFields(m->PeerTransferLog, kFieldList);

    // Seeded from the kernel: peer ids, key secrets and pads must not be guessable.
    Random_Create(&m->Random);
    InternalTrackerKey();

    char agent[MANAGER_TEXT_SIZE];
    Zyl_FormatString(agent, sizeof agent, "%s/%s", kProduct, kVersion);
    Manager_SetAgentName(m, agent);
    Manager_SetClientTag(m, kDefaultTag);

    Mutex_Create(&m->SharedLock);
    Sha1_Create(&m->Sha1);
    Mutex_Create(&m->MemberLock);
    Event_Create(&m->StopEvent);
    return Manager_InitNetwork(m);
}

int Manager_Create(ManagerStruct **manager) {
    ZYL_CHECK_PTR(manager);
    ManagerStruct *m = ZYL_NEW(ManagerStruct);
    m->Tag = Manager_Tag;
    InternalInit(m);
    *manager = m;
    return 1;
}

// Waits without limit for a thread that outlived the stop's time-out: no service
// may be freed while it can still touch them.
static void InternalJoinThread(ManagerStruct *m) {
    if (m->Thread == nullptr)
        return;
    if (!Thread_HasEnded(m->Thread)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Waiting on the manager thread before release");
        Thread_Wait(m->Thread, THREAD_WAIT_INFINITE);
    }
    Thread_Close(&m->Thread);
}

static void InternalDeinit(ManagerStruct *m) {
    Manager_SetActive(m, 0);
    InternalJoinThread(m);

    if (MUTEX_LOCK(m->MemberLock)) {
        for (ManagerMemberStruct *member = m->Members; member; member = member->Next) {
            BaseStruct *base = member->Base;
            member->CloseTag = 1;
            Base_SetActive(base, 0);
        }
        MUTEX_UNLOCK(m->MemberLock);
    }
    if (!MUTEX_LOCK(m->StateLock))
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to lock manager mutex");
    else
        MUTEX_UNLOCK(m->StateLock);
    Mutex_Close(&m->StateLock);

    if (MUTEX_LOCK(m->MemberLock)) {
        for (ManagerMemberStruct *member = m->Members; member; member = member->Next) {
            if (member->InUse != 0) {
                Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                          "Manager member instance still in use (%.8X - %d:%d)",
                          Manager_HandleId(member), member->CloseTag, member->InUse);
                member->InUse = 0; // its holders' pointers die with the manager
            }
            member->CloseTag = 1;
        }
        MUTEX_UNLOCK(m->MemberLock);
    }
    Manager_CloseTaggedMembers(m, 1);

    Manager_DeinitNetwork(m);
    Event_Close(&m->StopEvent);
    Mutex_Close(&m->MemberLock);
    Sha1_Destroy(&m->Sha1);
    if (m->SharedSize > 0)
        ZYL_FREE(m->SharedBuffer, m->SharedSize);
    m->SharedBuffer = nullptr;
    m->SharedSize = 0;
    Mutex_Close(&m->SharedLock);

    Random_Destroy(&m->Random);
    Log_Destroy(&m->PeerTransferLog);
    WebStream_Destroy(&m->WebStream);
    WebServer_Destroy(&m->WebServer);
    DHT_Destroy(&m->DHT);
    Cache_Destroy(&m->Cache);
    TrafficShape_Destroy(&m->TrafficShape);
    WebGet_Destroy(&m->WebGet);
    Storage_Destroy(&m->Storage);
    KickStart_Destroy(&m->KickStart);
    HolePunch_Destroy(&m->HolePunch);
    Traverse_Destroy(&m->Traverse);
    IPFilter_Destroy(&m->IPFilter);

    for (KeySlotStruct &slot : m->Keys) {
        BigInt_Destroy(&slot.Prime);
        BigInt_Destroy(&slot.Private);
        BigInt_Destroy(&slot.Public);
    }
    BigInt_Destroy(&m->Generator);
}

int Manager_Destroy(ManagerStruct **manager) {
    ZYL_CHECK_PTR(manager);
    ManagerStruct *m = *manager;
    if (m == nullptr)
        return 1;
    ZYL_CHECK_TAG(m, Manager_Tag);
    *manager = nullptr;
    InternalDeinit(m);
    m->Tag = Zyl_DeadTag;
    ZYL_FREE(m, sizeof(ManagerStruct));
    return 1;
}

// ---------------------------------------------------------------------------
// The manager thread
// ---------------------------------------------------------------------------

// Listens again when the bind address, the port or the listener changed since
// the last good listen; a failed listen is retried at most once a second.
static void InternalCheckListen(ManagerStruct *m, double now) {
    ListenTripleStruct want;
    want.Address = std::atomic_ref<uint32_t>(m->BindAddress).load(std::memory_order_relaxed);
    want.Port = Manager_LoadInt(m->ListenPort);
    want.Listener = m->TCPListener->Handle;
    const ListenTripleStruct &have = m->LastListen;
    if (want.Address == have.Address && want.Port == have.Port && want.Listener == have.Listener)
        return;
    if (m->LastListenFailure > 0 && now - m->LastListenFailure < 1.0)
        return;
    if (Manager_Listen(m)) {
        m->LastListenFailure = 0;
        m->LastListen.Address = want.Address;
        m->LastListen.Port = Manager_LoadInt(m->ListenPort);
        m->LastListen.Listener = m->TCPListener->Handle;
    } else {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Listen initialization failed");
        m->LastListenFailure = now > 0 ? now : 1e-9;
    }
}

// Stops every download and waits, at most MANAGER_TRACKER_STOP_SECONDS, for
// their trackers' stop announces; the rest are closed by force.
static void InternalShutdownMembers(ManagerStruct *m) {
    if (m->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Shutting down active base members");
    ManagerMemberStruct *member = nullptr;
    if (Manager_GetFirstMember(m, &member)) {
        do {
            BaseStruct *base = nullptr;
            ManagerMember_GetBase(member, &base);
            EventStruct *stop = nullptr;
            Base_GetStopEvent(base, &stop);
            Event_Set(stop, 1);
            int active = 0;
            if (Base_GetActive(base, &active) && active)
                Base_SetActive(base, 0);
        } while (Manager_GetNextMember(m, member, &member));
    }
    if (m->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Waiting for active trackers shutdown (%d)", m->MemberCount);
    const double begin = Manager_Now(m);
    double lastStatistics = begin;
    int trackers = 0;
    do {
        Zyl_SleepMilliseconds(1);
        const double now = Manager_Now(m);
        const int print = now - lastStatistics > 1.0 ? 1 : 0;
        if (print)
            lastStatistics = now;
        Manager_ProcessMembers(m, &trackers, print);
        if (trackers > 0 && now - begin >= (double)MANAGER_TRACKER_STOP_SECONDS) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Timeout waiting on active trackers shutdown (%d)", trackers);
            break;
        }
    } while (trackers > 0);
    Manager_CloseTaggedMembers(m, 1);
}

// The embedded server follows the web-server switch. Only this thread starts,
// polls and stops it: the server is not threaded.
static void InternalCheckWebServer(ManagerStruct *m) {
    const int want = Manager_LoadInt(m->WebServerSwitch);
    if (want != m->WebServer->Active)
        WebServer_StartThread(m->WebServer, want);
}

// 1 when the engine has work that needs short idle waits: handshakes, the
// embedded server (its sockets are not in the wait) or an active download
// still fetching (its web sources and connects are not in it either).
static int InternalBusy(ManagerStruct *m) {
    if (m->PendingCount > 0 || m->HandshakeCount > 0 || Manager_LoadInt(m->WebServerSwitch))
        return 1;
    ManagerMemberStruct *member = nullptr;
    for (int more = Manager_GetFirstMember(m, &member); more;
         more = Manager_GetNextMember(m, member, &member)) {
        BaseStruct *base = nullptr;
        ContentStruct *content = nullptr;
        int active = 0;
        int64_t left = 0;
        if (ManagerMember_GetBase(member, &base) && Base_GetActive(base, &active) && active &&
            Base_GetContent(base, &content) && content && Content_GetBytesLeft(content, &left) &&
            left != 0) {
            Manager_ReleaseMember(m, &member);
            return 1;
        }
    }
    return 0;
}

static uint32_t InternalThreadProc(void *argument) {
    ManagerStruct *m = static_cast<ManagerStruct *>(argument);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Initializing manager (%d)", m->MemberCount);
    const double start = Manager_Now(m);
    double lastStatistics = start;
    for (;;) {
        int signalled = 0;
        if (!EVENT_WAIT(m->StopEvent, &signalled, 0) || signalled)
            break;
        const double now = Manager_Now(m);
        InternalCheckWebServer(m);
        WebServer_Process(m->WebServer);
        DHT_Pump(m->DHT);
        InternalCheckListen(m, now);
        int accepted = 0;
        Manager_AcceptPasses(m, &accepted);
        Manager_ProcessPending(m);
        int connects = 0;
        Manager_CountActiveConnects(m, &connects);
        Manager_SetActiveConnects(m, connects);
        TrafficShape_Process(m->TrafficShape);
        int trackers = 0;
        if (m->StatisticsInterval < now - lastStatistics) {
            Manager_ProcessMembers(m, &trackers, 1);
            lastStatistics = now;
        } else {
            Manager_ProcessMembers(m, &trackers, 0);
        }
        m->IdleBusy = accepted > 0 || connects > 0 || InternalBusy(m);
        Manager_WaitForTraffic(m);
    }
    const double stop = Manager_Now(m);
    // Closing the server's connections drops the web stream's references on
    // downloads before they are shut down.
    WebServer_StartThread(m->WebServer, 0);
    HolePunch_SetUDTSocket(m->HolePunch, nullptr);
    Manager_CloseNetwork(m);
    InternalShutdownMembers(m);
    if (m->Verbose) {
        char lifetime[MANAGER_PATH_SIZE];
        Zyl_FormatDuration(stop - start, kDurationFlags, lifetime, sizeof lifetime);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Manager thread shutting down (Lifetime: %s)", lifetime);
    }
    return 0;
}

static int InternalStart(ManagerStruct *m) {
    if (m->Verbose)
        Zyl_Print("Starting manager thread\n");
    InternalJoinThread(m);
    Event_Set(m->StopEvent, 0);
    m->IdleWaitMs = MANAGER_IDLE_WAIT_MS;
    if (!Thread_Create(&m->Thread, m, InternalThreadProc)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Unable to create manager process thread (%d)", errno);
        return 0;
    }
    Traverse_SetActive(m->Traverse, m->TraversalSwitch);
    HolePunch_SetActive(m->HolePunch, m->HolePunchSwitch);
    Manager_StoreInt(m->Started, 1);
    return 1;
}

static void InternalStop(ManagerStruct *m) {
    Storage_Dump(m->Storage);
    if (m->Verbose)
        Zyl_Print("Shutting down manager thread\n");
    int kick = 0;
    if (KickStart_GetEnabled(m->KickStart, &kick) && kick)
        KickStart_SaveManager(m->KickStart, m);
    Event_Set(m->StopEvent, 1);
    if (Thread_Wait(m->Thread, MANAGER_STOP_WAIT_MS)) {
        Zyl_Print("Manager thread shut down successful\n");
        Thread_Close(&m->Thread);
    } else {
        // The thread is kept: the next start and the release wait for it.
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Timeout waiting on manager thread shutdown");
    }
    Traverse_SetActive(m->Traverse, 0);
    HolePunch_SetActive(m->HolePunch, 0);
    Manager_StoreInt(m->Started, 0);
}

int Manager_SetActive(ManagerStruct *manager, int active) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    if (!MUTEX_LOCK(manager->StateLock))
        return 0;
    const int want = active == 1 ? 1 : 0;
    int ok = 1;
    if (want != Manager_LoadInt(manager->Started)) {
        if (want)
            ok = InternalStart(manager);
        else
            InternalStop(manager);
    }
    MUTEX_UNLOCK(manager->StateLock);
    return ok;
}

int Manager_GetActive(ManagerStruct *manager, int *active) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(active);
    *active = Manager_LoadInt(manager->Started);
    return 1;
}

int Manager_DisableWebServer(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    if (!MUTEX_LOCK(manager->StateLock))
        return 0;
    Manager_StoreInt(manager->WebServerSwitch, 0);
    MUTEX_UNLOCK(manager->StateLock);
    return 1;
}

int Manager_EnableWebServer(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    if (!MUTEX_LOCK(manager->StateLock))
        return 0;
    Manager_StoreInt(manager->WebServerSwitch, 1);
    MUTEX_UNLOCK(manager->StateLock);
    return 1;
}

int Manager_SetVerbose(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    manager->Verbose = 1;
    return 1;
}

int Manager_SetClock(ManagerStruct *manager, ManagerClock clock, void *context) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    manager->Clock = clock ? clock : InternalTickClock;
    manager->ClockContext = clock ? context : nullptr;
    return 1;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int Manager_SetBindAddress(ManagerStruct *manager, const uint8_t address[4]) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(address);
    uint32_t word;
    __builtin_memcpy(&word, address, 4);
    std::atomic_ref<uint32_t>(manager->BindAddress).store(word, std::memory_order_relaxed);
    return 1;
}

int Manager_GetBindAddress(ManagerStruct *manager, uint8_t address[4]) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(address);
    const uint32_t word =
        std::atomic_ref<uint32_t>(manager->BindAddress).load(std::memory_order_relaxed);
    __builtin_memcpy(address, &word, 4);
    return 1;
}

int Manager_SetListenPort(ManagerStruct *manager, int port) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    Manager_StoreInt(manager->ListenPort, port);
    return 1;
}

int Manager_GetListenPort(ManagerStruct *manager, int *port) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(port);
    *port = Manager_LoadInt(manager->ListenPort);
    return 1;
}

int Manager_GetUDTPort(ManagerStruct *manager, int *port) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(port);
    *port = Manager_LoadInt(manager->UDTPort);
    return 1;
}

static int InternalClampPort(int port) {
    if (port < MANAGER_PORT_LOW)
        return MANAGER_PORT_LOW;
    if (port > MANAGER_PORT_HIGH)
        return MANAGER_PORT_HIGH;
    return port;
}

int Manager_SetPortRange(ManagerStruct *manager, int a, int b) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    a = InternalClampPort(a);
    b = InternalClampPort(b);
    manager->PortLow = a < b ? a : b;
    manager->PortHigh = a < b ? b : a;
    return 1;
}

int Manager_PickListenPort(ManagerStruct *manager, int *port) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(port);
    const int low = manager->PortLow;
    const int high = manager->PortHigh;
    if (high - low <= 1) {
        *port = low;
        return 1;
    }
    *port = low + (int)(Random_Next(manager->Random) % (uint32_t)(high - low - 1));
    return 1;
}

int Manager_SetInbound(ManagerStruct *manager, int enabled) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    Manager_StoreInt(manager->Inbound, enabled ? 1 : 0);
    return 1;
}

int Manager_SetTraversal(ManagerStruct *manager, int enabled) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    manager->TraversalSwitch = enabled ? 1 : 0;
    if (Manager_LoadInt(manager->Started))
        Traverse_SetActive(manager->Traverse, manager->TraversalSwitch);
    return 1;
}

int Manager_SetIncomingHandshakeLimit(ManagerStruct *manager, int limit) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    Manager_StoreInt(manager->IncomingHandshakeLimit, limit);
    return 1;
}

int Manager_SetAcceptPasses(ManagerStruct *manager, int passes) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    Manager_StoreInt(manager->AcceptPasses, passes);
    return 1;
}

#define MANAGER_GETTER(name, field)                                                                \
    int Manager_Get##name(ManagerStruct *manager, int *value) {                                    \
        ZYL_CHECK_TAG(manager, Manager_Tag);                                                       \
        ZYL_CHECK_PTR(value);                                                                      \
        *value = Manager_LoadInt(manager->field);                                                  \
        return 1;                                                                                  \
    }

MANAGER_GETTER(AcceptedConnectionTypes, AcceptedConnectionTypes)
MANAGER_GETTER(OutgoingConnectionTypes, OutgoingConnectionTypes)
MANAGER_GETTER(OutgoingTransports, OutgoingTransports)
MANAGER_GETTER(ActiveConnectsLimit, ActiveConnectsLimit)
MANAGER_GETTER(HandshakeConnectsLimit, HandshakeConnectsLimit)
MANAGER_GETTER(IncomingHandshakeLimit, IncomingHandshakeLimit)
MANAGER_GETTER(IPListComparePorts, IPListComparePorts)
MANAGER_GETTER(FastExtension, FastExtension)
MANAGER_GETTER(MessageLog, MessageLog)
MANAGER_GETTER(ActiveConnects, ActiveConnects)

#define MANAGER_SETTER(name, field)                                                                \
    int Manager_Set##name(ManagerStruct *manager, int value) {                                     \
        ZYL_CHECK_TAG(manager, Manager_Tag);                                                       \
        Manager_StoreInt(manager->field, value);                                                   \
        return 1;                                                                                  \
    }

MANAGER_SETTER(AcceptedConnectionTypes, AcceptedConnectionTypes)
MANAGER_SETTER(OutgoingConnectionTypes, OutgoingConnectionTypes)
MANAGER_SETTER(OutgoingTransports, OutgoingTransports)
MANAGER_SETTER(IPListComparePorts, IPListComparePorts)
MANAGER_SETTER(MessageLog, MessageLog)

int Manager_SetActiveConnects(ManagerStruct *manager, int count) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    Manager_StoreInt(manager->ActiveConnects, count);
    return 1;
}

int Manager_GetPath(ManagerStruct *manager, char *path) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(path, manager->Path, MANAGER_PATH_SIZE);
    return 1;
}

int Manager_SetProxy(ManagerStruct *manager, const char *url) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(url);
    Zyl_StrCopy(manager->Proxy, url, sizeof manager->Proxy);
    return 1;
}

int Manager_GetProxy(ManagerStruct *manager, char *url, int size) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(url);
    Zyl_StrCopy(url, manager->Proxy, size);
    return 1;
}

#define MANAGER_SERVICE(name, type, field)                                                         \
    int Manager_Get##name(ManagerStruct *manager, type **value) {                                  \
        ZYL_CHECK_TAG(manager, Manager_Tag);                                                       \
        ZYL_CHECK_PTR(value);                                                                      \
        *value = manager->field;                                                                   \
        return 1;                                                                                  \
    }

MANAGER_SERVICE(DHT, DHTStruct, DHT)
MANAGER_SERVICE(PeerTransferLog, LogStruct, PeerTransferLog)
MANAGER_SERVICE(Random, RandomStruct, Random)
MANAGER_SERVICE(Cache, CacheStruct, Cache)
MANAGER_SERVICE(Storage, StorageStruct, Storage)
MANAGER_SERVICE(IPFilter, IPFilterStruct, IPFilter)
MANAGER_SERVICE(HolePunch, HolePunchStruct, HolePunch)
MANAGER_SERVICE(KickStart, KickStartStruct, KickStart)
MANAGER_SERVICE(TrafficShape, TrafficShapeStruct, TrafficShape)
MANAGER_SERVICE(WebServer, WebServerStruct, WebServer)
MANAGER_SERVICE(WebGet, WebGetStruct, WebGet)
MANAGER_SERVICE(Traverse, TraverseStruct, Traverse)
MANAGER_SERVICE(WebStream, WebStreamStruct, WebStream)

// ---------------------------------------------------------------------------
// Identity
// ---------------------------------------------------------------------------

int Manager_SetUniqueID(ManagerStruct *manager, const char *text) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(text);
    Zyl_StrCopy(manager->UniqueIDText, text, sizeof manager->UniqueIDText);
    manager->UniqueID = Zyl_Crc32(manager->HardwareAddress, 6) ^
                        Zyl_Crc32(manager->UniqueIDText, Zyl_StrLen(manager->UniqueIDText));
    Zyl_Print("Unique ID: %.8X\n", manager->UniqueID);
    if (manager->DHT && text[0])
        DHT_SetInstallationId(manager->DHT, text); // one DHT node id per installation
    return 1;
}

int Manager_GetUniqueID(ManagerStruct *manager, uint32_t *id) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(id);
    *id = manager->UniqueID;
    return 1;
}

int Manager_GetHardwareAddress(ManagerStruct *manager, uint8_t address[6]) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(address);
    for (int i = 0; i < 6; i++)
        address[i] = manager->HardwareAddress[i];
    return 1;
}

int Manager_SetAgentName(ManagerStruct *manager, const char *name) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(manager->AgentName, name, sizeof manager->AgentName);
    return 1;
}

int Manager_GetAgentName(ManagerStruct *manager, char *name, int length) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(name, manager->AgentName, length);
    return 1;
}

int Manager_SetClientTag(ManagerStruct *manager, const char *tag) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(tag);
    Zyl_StrCopy(manager->ClientTag, tag, sizeof manager->ClientTag);
    // The tag's first eight characters ('-' for missing ones), then twelve
    // random characters.
    int i = 0;
    for (; i < 8; i++)
        manager->PeerID[i] =
            (uint8_t)(i < Zyl_StrLen(manager->ClientTag) ? manager->ClientTag[i] : '-');
    for (; i < MANAGER_PEER_ID_SIZE; i++)
        manager->PeerID[i] = (uint8_t)kPeerIdAlphabet[Random_Next(manager->Random) % 62u];
    return 1;
}

int Manager_GetPeerID(ManagerStruct *manager, uint8_t id[MANAGER_PEER_ID_SIZE]) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(id);
    for (int i = 0; i < MANAGER_PEER_ID_SIZE; i++)
        id[i] = manager->PeerID[i];
    return 1;
}

static int InternalIsLetter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
static int InternalIsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

int Manager_GetClientCode(const uint8_t id[MANAGER_PEER_ID_SIZE], char *code) {
    ZYL_CHECK_PTR(id);
    ZYL_CHECK_PTR(code);
    code[0] = 0;
    if (id[0] != '-' || id[7] != '-' || !InternalIsLetter(id[1]) || !InternalIsLetter(id[2]))
        return 0;
    for (int i = 3; i < 7; i++) {
        if (!InternalIsDigit(id[i]))
            return 0;
    }
    code[0] = (char)id[1];
    code[1] = (char)id[4];
    code[2] = (char)id[5];
    code[3] = 0;
    return 1;
}

int Manager_GetTrackerKey(ManagerStruct *manager, uint32_t *key) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(key);
    *key = InternalTrackerKey();
    return 1;
}
