// NAT traversal's thread: discovers UPnP gateways and a NAT-PMP gateway, maps
// the manager's listening port for TCP and UDP, checks the UPnP mappings now
// and then and removes ours when it stops. Tuned for rare work: one step per
// pass, passes a second apart, every gateway answer bounded.
#include "engine/traverse.h"

#include "core/alert.h"
#include "core/mutex.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "engine/manager.h"
#include "net/natpmp.h"
#include "net/socket.h"
#include "net/upnp.h"

#include <atomic>
#include <cerrno>
#include <cstring>

static const char kTraverseTag[] = "TraverseStruct";
static const char kGatewaySearch[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
static const char kDefaultDescription[] = "QTR-Dynamic";

#define TRAVERSE_PROGRESS(t, ...)                                                                  \
    do {                                                                                           \
        if ((t)->Settings.Verbose)                                                                 \
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, __VA_ARGS__);                        \
    } while (0)

static int LoadWord(int &word) {
    return std::atomic_ref<int>(word).load();
}

static void StoreWord(int &word, int value) {
    std::atomic_ref<int>(word).store(value);
}

static double InternalNow(TraverseStruct *t) {
    return t->Manager != nullptr ? Manager_Now(t->Manager) : Zyl_GetTickSeconds();
}

static int InternalStopRequested(void *argument) {
    TraverseStruct *t = static_cast<TraverseStruct *>(argument);
    int stop = 0;
    return Event_Poll(t->StopEvent, &stop) && stop;
}

static int Clamp(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int Traverse_InitSettings(TraverseSettingsStruct *settings) {
    ZYL_CHECK_PTR(settings);
    memset(settings, 0, sizeof *settings);
    settings->RescanInterval = TRAVERSE_RESCAN_SECONDS;
    settings->CheckInterval = TRAVERSE_CHECK_SECONDS;
    settings->PassWaitMs = TRAVERSE_PASS_WAIT_MS;
    settings->DiscoveryMX = TRAVERSE_DISCOVERY_MX;
    settings->Verbose = 1;
    Zyl_StrCopy(settings->Description, kDefaultDescription, sizeof settings->Description);
    return 1;
}

int Traverse_Create(TraverseStruct **traverse) {
    ZYL_CHECK_PTR(traverse);
    *traverse = nullptr;
    TraverseStruct *t = ZYL_NEW(TraverseStruct);
    t->Tag = kTraverseTag;
    Traverse_InitSettings(&t->Settings);
    Mutex_Create(&t->Lock);
    Event_Create(&t->StopEvent);
    Upnp_Create(&t->Upnp);
    Upnp_SetMX(t->Upnp, t->Settings.DiscoveryMX);
    Upnp_SetCancel(t->Upnp, InternalStopRequested, t);
    NatPmp_Create(&t->NatPmp);
    *traverse = t;
    return 1;
}

// A thread left running by a stop that timed out must end before its record
// or its clients go: waits without limit.
static void InternalJoinThread(TraverseStruct *t) {
    if (t->Thread == nullptr)
        return;
    if (!Thread_HasEnded(t->Thread)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Waiting on the traverse thread before release");
        Event_Set(t->StopEvent, 1);
        Thread_Wait(t->Thread, THREAD_WAIT_INFINITE);
    }
    Thread_Close(&t->Thread);
}

int Traverse_Destroy(TraverseStruct **traverse) {
    ZYL_CHECK_PTR(traverse);
    TraverseStruct *t = *traverse;
    if (t == nullptr)
        return 1;
    ZYL_CHECK_TAG(t, kTraverseTag);
    Traverse_SetActive(t, 0);
    InternalJoinThread(t);
    if (!MUTEX_LOCK(t->Lock))
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to lock traverse mutex");
    else
        MUTEX_UNLOCK(t->Lock);
    Mutex_Close(&t->Lock);
    Event_Close(&t->StopEvent);
    NatPmp_Destroy(&t->NatPmp);
    Upnp_Destroy(&t->Upnp);
    *traverse = nullptr;
    t->Tag = Zyl_DeadTag;
    ZYL_FREE(t, sizeof(TraverseStruct));
    return 1;
}

int Traverse_SetManager(TraverseStruct *traverse, ManagerStruct *manager) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(manager);
    if (traverse->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    traverse->Manager = manager;
    return 1;
}

int Traverse_GetSettings(TraverseStruct *traverse, TraverseSettingsStruct *settings) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(settings);
    *settings = traverse->Settings;
    return 1;
}

int Traverse_Configure(TraverseStruct *traverse, const TraverseSettingsStruct *settings) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(settings);
    if (!MUTEX_LOCK(traverse->Lock)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to lock traverse mutex");
        return 0;
    }
    // A thread left running by a stop that timed out still reads them.
    if (traverse->Thread != nullptr) {
        MUTEX_UNLOCK(traverse->Lock);
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Traverse settings cannot change while the thread runs");
        return 0;
    }
    TraverseSettingsStruct &s = traverse->Settings;
    s.RescanInterval = Clamp(settings->RescanInterval, 1, 0x7FFFFFFF);
    s.CheckInterval = Clamp(settings->CheckInterval, 1, 0x7FFFFFFF);
    s.PassWaitMs = Clamp(settings->PassWaitMs, 1, TRAVERSE_PASS_WAIT_MS);
    s.DiscoveryMX = Clamp(settings->DiscoveryMX, 0, 120);
    s.Verbose = settings->Verbose ? 1 : 0;
    if (settings->Description[0] != '\0')
        Zyl_StrCopy(s.Description, settings->Description, sizeof s.Description);
    Upnp_SetMX(traverse->Upnp, s.DiscoveryMX);
    MUTEX_UNLOCK(traverse->Lock);
    return 1;
}

int Traverse_GetActive(TraverseStruct *traverse, int *active) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(active);
    *active = LoadWord(traverse->Active);
    return 1;
}

int Traverse_GetChecks(TraverseStruct *traverse, int *checks) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(checks);
    *checks = LoadWord(traverse->Checks);
    return 1;
}

int Traverse_GetNatPmpMapped(TraverseStruct *traverse, int *mapped) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(mapped);
    *mapped = LoadWord(traverse->NatPmpMapped);
    return 1;
}

// ---------------------------------------------------------------------------
// UPnP mapping table
// ---------------------------------------------------------------------------

// The first service of the device that offers GetGenericPortMappingEntry.
static UpnpServiceStruct *InternalMappingService(UpnpStruct *upnp, UpnpDeviceStruct *device) {
    UpnpServiceStruct *service = nullptr;
    for (Upnp_GetFirstService(upnp, device, &service); service != nullptr;
         Upnp_GetNextService(upnp, service, &service)) {
        UpnpActionStruct *action = nullptr;
        if (Upnp_FindAction(upnp, service, "GetGenericPortMappingEntry", &action))
            return service;
    }
    return nullptr;
}

struct SyncTarget {
    UpnpBaseStruct *Base;
    UpnpDeviceStruct *Device;
    UpnpServiceStruct *Service;
    const char *Client; // our address toward this gateway, dotted
};

static int InternalDelete(TraverseStruct *t, const SyncTarget &g, const UpnpMappingEntry &e) {
    UpnpActionStruct *action = nullptr;
    if (!Upnp_FindAction(t->Upnp, g.Service, "DeletePortMapping", &action) ||
        !Upnp_Command(t->Upnp, g.Base, g.Device, g.Service, action, 3, "NewRemoteHost",
                      e.RemoteHost, "NewExternalPort", e.ExternalPort, "NewProtocol", e.Protocol)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Traverse unable to remove mapping [%s] [%s] [%s]", e.RemoteHost, e.ExternalPort,
                  e.Protocol);
        return 0;
    }
    return 1;
}

static int InternalAdd(TraverseStruct *t, const SyncTarget &g, const char *port,
                       const char *protocol) {
    TRAVERSE_PROGRESS(t, "Member not found - adding [%s] [%s] [%s] [%s]", "", g.Client, port,
                      protocol);
    UpnpActionStruct *action = nullptr;
    if (!Upnp_FindAction(t->Upnp, g.Service, "AddPortMapping", &action) ||
        !Upnp_Command(t->Upnp, g.Base, g.Device, g.Service, action, 8, "NewEnabled", "1",
                      "NewRemoteHost", "", "NewLeaseDuration", "0", "NewInternalPort", port,
                      "NewExternalPort", port, "NewProtocol", protocol, "NewInternalClient",
                      g.Client, "NewPortMappingDescription", t->Settings.Description)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Traverse unable to add mapping [%s] [%s] [%s]", g.Client, port, protocol);
        return 0;
    }
    return 1;
}

// One service's table: listed from index 0, bounded in entries read and in
// restarts after removals. Returns 0 when a removal or the addition failed.
static int InternalSyncService(TraverseStruct *t, const SyncTarget &g, const char *port, int add,
                               const char *protocol) {
    int ok = 1;
    int index = 0;
    int reads = 0;
    int restarts = 0;
    int found = 0;
    for (;;) {
        if (reads >= TRAVERSE_MAX_LIST_INDICES) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Traverse mapping list stopped after %d entries", reads);
            break;
        }
        UpnpMappingEntry e;
        if (!Upnp_GetMappingEntry(t->Upnp, g.Base, g.Device, g.Service, index, &e))
            break;
        reads++;
        if (t->Settings.Verbose)
            Zyl_Print("Map %d:%s [%s] [%s] (%s) /%s/ [%s] (%s) : %s\n", index + 1, e.Enabled,
                      e.Description, e.RemoteHost, e.ExternalPort, e.Protocol, e.InternalClient,
                      e.InternalPort, e.LeaseDuration);
        // Ours: our description and our address. Another host's entry with our
        // description belongs to another copy of this engine.
        const int ours = Zyl_StrEqual(e.Description, t->Settings.Description) &&
                         Zyl_StrEqual(e.InternalClient, g.Client);
        if (add) {
            // The mapping we want, held for this host under another description
            // or internal port (a NAT-PMP entry of ours, say): AddPortMapping
            // should overwrite it, but some gateways keep the old description,
            // so it is removed first and ours added after the listing.
            const int same = e.RemoteHost[0] == '\0' && Zyl_StrEqual(e.ExternalPort, port) &&
                             Zyl_StrEqualNoCase(e.Protocol, protocol) &&
                             Zyl_StrEqual(e.InternalClient, g.Client);
            if (same && ours && Zyl_StrEqual(e.InternalPort, port))
                found = 1;
            if (!same || found) {
                index++;
                continue;
            }
            TRAVERSE_PROGRESS(t, "Traverse replacing this host's mapping [%s] [%s] [%s]",
                              e.Description, e.ExternalPort, e.Protocol);
        } else if (!ours) {
            index++;
            continue;
        } else {
            TRAVERSE_PROGRESS(t, "Dangling member found - removing");
        }
        if (!InternalDelete(t, g, e)) {
            ok = 0;
            index++;
            continue;
        }
        if (restarts >= TRAVERSE_MAX_LIST_RESTARTS) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Traverse mapping list stopped after %d restarts", restarts);
            break;
        }
        restarts++;
        index = 0;
    }
    if (add && !found && !InternalAdd(t, g, port, protocol))
        ok = 0;
    return ok;
}

int UPnP_SyncPortMappings(const char *port, TraverseStruct *traverse, int add,
                          const char *protocol) {
    ZYL_CHECK_PTR(port);
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(protocol);
    TraverseStruct *t = traverse;
    UpnpStruct *upnp = t->Upnp;
    int ok = 1;
    UpnpBaseStruct *base = nullptr;
    for (Upnp_GetFirstBase(upnp, &base); base != nullptr; Upnp_GetNextBase(upnp, base, &base)) {
        uint8_t local[4];
        Upnp_GetBaseAddress(upnp, base, local);
        char client[32];
        Zyl_FormatString(client, sizeof client, "%d.%d.%d.%d", local[0], local[1], local[2],
                         local[3]);
        UpnpDeviceStruct *device = nullptr;
        for (Upnp_GetFirstDevice(upnp, base, &device); device != nullptr;
             Upnp_GetNextDevice(upnp, device, &device)) {
            UpnpServiceStruct *service = InternalMappingService(upnp, device);
            if (service == nullptr)
                continue;
            const SyncTarget target = {base, device, service, client};
            if (!InternalSyncService(t, target, port, add, protocol))
                ok = 0;
        }
    }
    return ok;
}

// ---------------------------------------------------------------------------
// The thread
// ---------------------------------------------------------------------------

struct PassState {
    int UpnpPending;
    int NatPmpPending;
    int Discoveries;   // discoveries that found a gateway
    int NatPmpCleared; // 1 once our earlier NAT-PMP entries were removed
    double LastScan;
    double LastCheck;
};

static void InternalDiscover(TraverseStruct *t, PassState *p) {
    TRAVERSE_PROGRESS(t, "Traverse UPNP discovery started (%d)", p->Discoveries);
    Upnp_Discover(t->Upnp, kGatewaySearch);
    UpnpBaseStruct *base = nullptr;
    if (Upnp_GetFirstBase(t->Upnp, &base)) {
        if (p->Discoveries == 0) {
            TRAVERSE_PROGRESS(t, "Traverse clearing any previous UPNP entries");
            UPnP_SyncPortMappings("", t, 0, "");
            p->LastScan = InternalNow(t);
        }
        p->Discoveries++;
    }
    p->UpnpPending = 0;
}

// Maps the port on the first adapter whose gateway answers NAT-PMP. Returns 0
// when there is no listening port yet (the step is tried again).
static int InternalNatPmp(TraverseStruct *t, PassState *p) {
    StoreWord(t->NatPmpMapped, 0);
    int port = 0;
    if (t->Manager == nullptr || !Manager_GetLocalPort(t->Manager, &port))
        return 0;
    const int lifetime = t->Settings.RescanInterval;
    for (int n = 0; n < TRAVERSE_MAX_ADAPTERS; n++) {
        if (InternalStopRequested(t))
            break;
        char text[TRAVERSE_GATEWAY_TEXT_SIZE];
        if (!Socket_GetAdapterGateway(n, text, sizeof text) || text[0] == '\0')
            break;
        int connected = 0;
        uint8_t gateway[4];
        const uint8_t none[4] = {0, 0, 0, 0};
        if (!Socket_IsAdapterConnected(n, &connected) || !connected ||
            !Zyl_ParseIPv4(text, gateway) || Socket_AddressEqual(gateway, none))
            continue;
        NatPmp_SetGateway(t->NatPmp, gateway);
        TRAVERSE_PROGRESS(t, "Traverse NATPMP discovery started (%s:%d)", text, NATPMP_PORT);
        if (!NatPmp_GetExternalAddress(t->NatPmp))
            continue;
        int mapped = 1;
        if (!p->NatPmpCleared) {
            TRAVERSE_PROGRESS(t, "Traverse clearing any previous NATPMP entries");
            NatPmp_UnmapPorts(t->NatPmp, NATPMP_UDP, port, port);
            NatPmp_UnmapPorts(t->NatPmp, NATPMP_TCP, port, port);
            p->NatPmpCleared = 1;
        }
        TRAVERSE_PROGRESS(t, "Traverse mapping NATPMP entries (%d)", port);
        int udpPort = 0;
        int tcpPort = 0;
        int granted = 0;
        const int udp =
            NatPmp_MapPorts(t->NatPmp, NATPMP_UDP, port, port, lifetime, &udpPort, &granted);
        const int tcp =
            NatPmp_MapPorts(t->NatPmp, NATPMP_TCP, port, port, lifetime, &tcpPort, &granted);
        if (!udp || !tcp)
            mapped = 0;
        StoreWord(t->NatPmpMapped, mapped);
        if (!tcp)
            continue;
        // Listening elsewhere would drop the connections on this port and
        // leave the UPnP mappings pointing at it: the listener stays.
        if ((udp && udpPort != port) || tcpPort != port)
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Traverse NATPMP gateway granted other ports (TCP %d, UDP %d) for %d; "
                      "listener stays on %d",
                      tcpPort, udp ? udpPort : 0, port, port);
        break;
    }
    return 1;
}

static void InternalCheck(TraverseStruct *t, PassState *p) {
    const double now = InternalNow(t);
    if (now - p->LastCheck > t->Settings.CheckInterval) {
        int port = 0;
        UpnpBaseStruct *base = nullptr;
        if (t->Manager == nullptr || !Manager_GetLocalPort(t->Manager, &port))
            return; // not listening yet: checked at a later pass
        TRAVERSE_PROGRESS(t, "Traverse check interval triggered");
        if (Upnp_GetFirstBase(t->Upnp, &base)) {
            char text[16];
            Zyl_FormatString(text, sizeof text, "%d", port);
            UPnP_SyncPortMappings(text, t, 1, "TCP");
            UPnP_SyncPortMappings(text, t, 1, "UDP");
        } else {
            p->UpnpPending = 1;
        }
        p->LastCheck = now;
        StoreWord(t->Checks, LoadWord(t->Checks) + 1);
    }
    if (now - p->LastScan > t->Settings.RescanInterval) {
        TRAVERSE_PROGRESS(t, "Traverse rescanning");
        p->LastScan = now;
        p->UpnpPending = 1;
        p->NatPmpPending = 1;
    }
}

static uint32_t InternalThreadProc(void *argument) {
    TraverseStruct *t = static_cast<TraverseStruct *>(argument);
    Upnp_RemoveAllBases(t->Upnp);
    TRAVERSE_PROGRESS(t, "Traverse thread running");
    PassState p = {};
    p.UpnpPending = 1;
    p.NatPmpPending = 1;
    p.LastScan = InternalNow(t);
    // The first check comes as soon as discovery is done.
    p.LastCheck = p.LastScan - 2.0 * t->Settings.CheckInterval;
    for (;;) {
        int stop = 0;
        if (!EVENT_WAIT(t->StopEvent, &stop, t->Settings.PassWaitMs) || stop)
            break;
        if (p.UpnpPending)
            InternalDiscover(t, &p);
        else if (p.NatPmpPending)
            p.NatPmpPending = InternalNatPmp(t, &p) ? 0 : 1;
        else
            InternalCheck(t, &p);
    }
    // NAT-PMP mappings are left to expire with their lifetime.
    StoreWord(t->NatPmpMapped, 0);
    TRAVERSE_PROGRESS(t, "Shutting down active mapping");
    UPnP_SyncPortMappings("", t, 0, "");
    TRAVERSE_PROGRESS(t, "Traverse thread shutting down");
    return 0;
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

static int InternalStart(TraverseStruct *t) {
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Starting traverse thread");
    InternalJoinThread(t);
    Event_Set(t->StopEvent, 0);
    if (!Thread_Create(&t->Thread, t, InternalThreadProc)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to create traverse thread (%d)",
                  errno);
        return 0;
    }
    return 1;
}

static void InternalStop(TraverseStruct *t) {
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Shutting down traverse thread");
    Event_Set(t->StopEvent, 1);
    if (Thread_Wait(t->Thread, TRAVERSE_STOP_WAIT_MS)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Traverse thread shut down successful");
        Thread_Close(&t->Thread);
    } else {
        // Kept: the next start and the release wait for it.
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Timeout waiting on traverse thread shutdown");
    }
}

int Traverse_SetActive(TraverseStruct *traverse, int active) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    TraverseStruct *t = traverse;
    if (!MUTEX_LOCK(t->Lock)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to lock traverse mutex");
        return 0;
    }
    const int want = active == 1 ? 1 : 0;
    int ok = 1;
    if (want != LoadWord(t->Active)) {
        if (want)
            ok = InternalStart(t);
        else
            InternalStop(t);
        if (ok)
            StoreWord(t->Active, want);
    }
    MUTEX_UNLOCK(t->Lock);
    return ok;
}
