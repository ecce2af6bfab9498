// NAT traversal: keeps port mappings for the engine's listening port on the
// local gateway, through UPnP IGD and NAT-PMP, on a thread of its own. The
// manager creates it, names itself as its manager and switches it with the
// engine. Threading: the thread is the only writer of the mapping state; the
// mutex serialises start and stop; settings change only while it is stopped.
#pragma once

#include <cstdint>

struct EventStruct;
struct ManagerStruct;
struct MutexStruct;
struct NatPmpStruct;
struct ThreadStruct;
struct UpnpStruct;

enum {
    TRAVERSE_DESCRIPTION_SIZE = 80,
    TRAVERSE_RESCAN_SECONDS = 3600, // full rediscovery; also the NAT-PMP lifetime
    TRAVERSE_CHECK_SECONDS = 600,   // UPnP mapping check
    TRAVERSE_PASS_WAIT_MS = 1000,   // wait on the stop event before each pass
    TRAVERSE_STOP_WAIT_MS = 120000, // Traverse_SetActive(0) waits this long, then reports
    TRAVERSE_DISCOVERY_MX = 5,      // seconds of the SSDP search's MX
    TRAVERSE_MAX_ADAPTERS = 10,     // network adapters asked for a NAT-PMP gateway
    TRAVERSE_GATEWAY_TEXT_SIZE = 120,
    // Bounds of one walk of a gateway's mapping table: entries read in all,
    // and restarts from index 0 after a removal.
    TRAVERSE_MAX_LIST_INDICES = 1024,
    TRAVERSE_MAX_LIST_RESTARTS = 64,
};

// What an owner may set while the thread is stopped (Traverse_GetSettings,
// change, Traverse_Configure).
struct TraverseSettingsStruct {
    int RescanInterval; // seconds (>= 1), 3600: full rediscovery and NAT-PMP lifetime
    int CheckInterval;  // seconds (>= 1), 600: UPnP mapping check
    int PassWaitMs;     // 1..1000 (default 1000): wait on the stop event before each pass
    int DiscoveryMX;    // seconds (0..120), 5
    int Verbose;        // 1: progress lines are logged
    // NewPortMappingDescription of our UPnP mappings, "QTR-Dynamic": with our
    // interface address as internal client it is how our entries are known.
    char Description[TRAVERSE_DESCRIPTION_SIZE];
};

struct TraverseStruct {
    const char *Tag;
    ManagerStruct *Manager; // borrowed; set once (Traverse_SetManager)
    int Active;             // 1 while the thread is meant to run (atomic word)
    MutexStruct *Lock;      // serialises start and stop
    EventStruct *StopEvent; // set to end the thread
    TraverseSettingsStruct Settings;
    int Checks;       // UPnP checks run (atomic word)
    int NatPmpMapped; // 1 while the last NAT-PMP mapping succeeded (atomic word)
    ThreadStruct *Thread;
    UpnpStruct *Upnp;     // the thread's (and the shutdown sync's) only
    NatPmpStruct *NatPmp; // the thread's only
};

// Life. Create: 1 with the clients made (SSDP MX 5) and the defaults above.
// Destroy: stops the thread (waiting for it without limit when an earlier stop
// timed out), frees everything, clears *traverse; accepts null. Both return 1.
int Traverse_Create(TraverseStruct **traverse);
int Traverse_Destroy(TraverseStruct **traverse);
// Binds the manager whose listening port is mapped; a second call is fatal
// ("Parent handle already set").
int Traverse_SetManager(TraverseStruct *traverse, ManagerStruct *manager);

// 1 starts the thread, anything else stops it (waiting up to 120 s, then
// reporting and leaving it running). Nothing when unchanged. Returns 1; 0 when
// the mutex cannot be taken or the thread cannot start (then it stays off).
int Traverse_SetActive(TraverseStruct *traverse, int active);
int Traverse_GetActive(TraverseStruct *traverse, int *active);

// The defaults into *settings. Returns 1.
int Traverse_InitSettings(TraverseSettingsStruct *settings);
int Traverse_GetSettings(TraverseStruct *traverse, TraverseSettingsStruct *settings);
// Takes the settings, each clamped to its range (an empty description keeps
// the current one). 0 (nothing changed, logged) while the thread runs.
int Traverse_Configure(TraverseStruct *traverse, const TraverseSettingsStruct *settings);

// Readings for owners and tests: checks run so far; whether the last NAT-PMP
// mapping succeeded. Both return 1.
int Traverse_GetChecks(TraverseStruct *traverse, int *checks);
int Traverse_GetNatPmpMapped(TraverseStruct *traverse, int *mapped);

// Walks every discovered gateway's mapping table. add 0: removes each entry
// that is ours (our description and, as internal client, the address on which
// that gateway was reached); other hosts' entries are left alone. add 1: adds
// (empty remote host, port, protocol) for us unless an entry of ours for it
// exists. port is decimal text, protocol "TCP" or "UDP". Returns 1 when every
// gateway could be walked; 0 when an action failed (the walk goes on).
int UPnP_SyncPortMappings(const char *port, TraverseStruct *traverse, int add,
                          const char *protocol);
