// The download manager: the root of the engine. One per process; it owns the
// services the downloads share, the engine's identity, the TCP and reliable-UDP
// listeners on one port, the member list of downloads and the manager thread
// that runs all of it. Threading and lock order: docs/manager.md.
#pragma once

#include <cstdint>

struct BaseStruct;
struct BigIntStruct;
struct CacheStruct;
struct DHTStruct;
struct HolePunchStruct;
struct IPFilterStruct;
struct KickStartStruct;
struct LogStruct;
struct ManagerMemberStruct;
struct ManagerStruct;
struct RandomStruct;
struct StorageStruct;
struct TrafficShapeStruct;
struct TransportStruct;
struct TraverseStruct;
struct WebGetStruct;
struct WebServerStruct;
struct WebStreamStruct;

enum {
    MANAGER_TEXT_SIZE = 80,
    MANAGER_PATH_SIZE = 320,
    MANAGER_PEER_ID_SIZE = 20,
    MANAGER_PORT_LOW = 1024,
    MANAGER_PORT_HIGH = 65535,
    MANAGER_TRAFFIC_PEERS = 20,        // transports watched by one traffic wait
    MANAGER_KEY_SLOTS = 5,             // cached key pairs
    MANAGER_MAX_PENDING = 200,         // accepted connections in handshake at once
    MANAGER_PENDING_SECONDS = 30,      // an unidentified accepted connection lives this long
    MANAGER_TRACKER_STOP_SECONDS = 15, // stop announces are awaited this long at shutdown
    MANAGER_STOP_WAIT_MS = 120000,     // Manager_SetActive(0) waits this long, then reports
    MANAGER_IDLE_WAIT_MS = 10,         // first wait of an idle cycle, and every wait while busy
    MANAGER_IDLE_WAIT_MAX_MS = 100,    // quiet idle waits double up to this
};

// Connection types (bit set) and transports of the options.
enum {
    MANAGER_CONNECTION_NORMAL = 1,
    MANAGER_CONNECTION_MUNGE = 2,
    MANAGER_CONNECTION_PLAINTEXT = 4,
    MANAGER_CONNECTION_PE = 8,
};

// Seconds as a double, for time-outs; the default is Zyl_GetTickSeconds.
typedef double (*ManagerClock)(void *context);

// Life. Create: 1 and *manager with every service made (failures are fatal).
// Destroy: stops the engine, frees every download and service, clears
// *manager; accepts null.
int Manager_Create(ManagerStruct **manager);
int Manager_Destroy(ManagerStruct **manager);
// 1 starts the manager thread, anything else stops it (waiting up to 120 s).
// Returns 1; 0 when the thread cannot start or the state lock fails.
int Manager_SetActive(ManagerStruct *manager, int active);
int Manager_GetActive(ManagerStruct *manager, int *active);
// The embedded HTTP server's switch (off at creation). The manager thread
// starts the server while the switch is on and stops it within a cycle of it
// going off; it serves the web stream on 127.0.0.1:8884. Each returns 1; 0
// when the state lock fails.
int Manager_DisableWebServer(ManagerStruct *manager);
int Manager_EnableWebServer(ManagerStruct *manager);
int Manager_SetVerbose(ManagerStruct *manager);
// Replaces the clock of time-outs (pending handshakes, the stop announces'
// bound, statistics, key expiry); null restores the tick clock. Set before start.
int Manager_SetClock(ManagerStruct *manager, ManagerClock clock, void *context);
double Manager_Now(ManagerStruct *manager);

// Settings: plain stores and reads that take no lock; the ones the thread
// reads while running are atomic.
int Manager_SetBindAddress(ManagerStruct *manager, const uint8_t address[4]);
int Manager_GetBindAddress(ManagerStruct *manager, uint8_t address[4]);
int Manager_SetListenPort(ManagerStruct *manager, int port);
int Manager_GetListenPort(ManagerStruct *manager, int *port);
// The port the UDT listener bound (0 while closed).
int Manager_GetUDTPort(ManagerStruct *manager, int *port);
// Clamps both values to 1024..65535 and stores them ordered.
int Manager_SetPortRange(ManagerStruct *manager, int a, int b);
// A random port of the range (the two highest never picked), or low when the
// range holds fewer than three ports.
int Manager_PickListenPort(ManagerStruct *manager, int *port);
// 0 makes the listeners refuse every accepted connection.
int Manager_SetInbound(ManagerStruct *manager, int enabled);
// 0 keeps the listening port off the home gateway (no UPnP or NAT-PMP
// mappings); on by default.
int Manager_SetTraversal(ManagerStruct *manager, int enabled);
int Manager_SetIncomingHandshakeLimit(ManagerStruct *manager, int limit);
int Manager_SetAcceptPasses(ManagerStruct *manager, int passes);
int Manager_GetAcceptedConnectionTypes(ManagerStruct *manager, int *types);
int Manager_GetOutgoingConnectionTypes(ManagerStruct *manager, int *types);
int Manager_GetOutgoingTransports(ManagerStruct *manager, int *transports);
int Manager_GetActiveConnectsLimit(ManagerStruct *manager, int *limit);
int Manager_GetHandshakeConnectsLimit(ManagerStruct *manager, int *limit);
int Manager_GetIncomingHandshakeLimit(ManagerStruct *manager, int *limit);
int Manager_GetIPListComparePorts(ManagerStruct *manager, int *value);
int Manager_GetFastExtension(ManagerStruct *manager, int *value);
int Manager_GetMessageLog(ManagerStruct *manager, int *value);
int Manager_GetActiveConnects(ManagerStruct *manager, int *count);
// Connection types (MANAGER_CONNECTION_* bits, -1 all) accepted and tried,
// transports tried (bits of the transport types), whether ports tell members
// of one address apart, and the peer-wire message log. Each returns 1.
int Manager_SetAcceptedConnectionTypes(ManagerStruct *manager, int types);
int Manager_SetOutgoingConnectionTypes(ManagerStruct *manager, int types);
int Manager_SetOutgoingTransports(ManagerStruct *manager, int transports);
int Manager_SetIPListComparePorts(ManagerStruct *manager, int value);
int Manager_SetMessageLog(ManagerStruct *manager, int value);
int Manager_SetActiveConnects(ManagerStruct *manager, int count);
// The path field (320 characters; empty: nothing sets it).
int Manager_GetPath(ManagerStruct *manager, char *path);
// The proxy URL for HTTP requests (empty unless set). size >= 1.
int Manager_SetProxy(ManagerStruct *manager, const char *url);
int Manager_GetProxy(ManagerStruct *manager, char *url, int size);

// Owned services (the manager keeps ownership).
int Manager_GetDHT(ManagerStruct *manager, DHTStruct **dht);
int Manager_GetPeerTransferLog(ManagerStruct *manager, LogStruct **log);
int Manager_GetRandom(ManagerStruct *manager, RandomStruct **random);
int Manager_GetCache(ManagerStruct *manager, CacheStruct **cache);
int Manager_GetStorage(ManagerStruct *manager, StorageStruct **storage);
int Manager_GetIPFilter(ManagerStruct *manager, IPFilterStruct **filter);
int Manager_GetHolePunch(ManagerStruct *manager, HolePunchStruct **punch);
int Manager_GetKickStart(ManagerStruct *manager, KickStartStruct **kick);
int Manager_GetTrafficShape(ManagerStruct *manager, TrafficShapeStruct **shaper);
int Manager_GetWebServer(ManagerStruct *manager, WebServerStruct **server);
int Manager_GetWebGet(ManagerStruct *manager, WebGetStruct **web);
int Manager_GetTraverse(ManagerStruct *manager, TraverseStruct **traverse);
int Manager_GetWebStream(ManagerStruct *manager, WebStreamStruct **stream);

// Identity.
// unique ID = CRC-32 of the 6-byte hardware address XOR CRC-32 of the text;
// prints "Unique ID: %.8X\n".
int Manager_SetUniqueID(ManagerStruct *manager, const char *text);
int Manager_GetUniqueID(ManagerStruct *manager, uint32_t *id);
int Manager_GetHardwareAddress(ManagerStruct *manager, uint8_t address[6]);
int Manager_SetAgentName(ManagerStruct *manager, const char *name);
int Manager_GetAgentName(ManagerStruct *manager, char *name, int length);
// Copies the tag (80 characters) and builds a new peer id: the tag's first
// eight characters and 12 random characters of [0-9A-Za-z].
int Manager_SetClientTag(ManagerStruct *manager, const char *tag);
int Manager_GetPeerID(ManagerStruct *manager, uint8_t id[MANAGER_PEER_ID_SIZE]);
// Reads a peer id's client code: for '-', two letters, four digits, '-' the
// characters 1, 4 and 5 ("-VX0081-..." gives "V08"); "" and 0 otherwise.
// code holds at least 4 bytes.
int Manager_GetClientCode(const uint8_t id[MANAGER_PEER_ID_SIZE], char *code);
// The 32-bit announce key, drawn from the kernel once per process.
int Manager_GetTrackerKey(ManagerStruct *manager, uint32_t *key);
// The local port of the TCP listener; 0 (port 0) when there is none.
int Manager_GetLocalPort(ManagerStruct *manager, int *port);
// Handles of transports and downloads in log lines ("%.8X").
uint32_t Manager_HandleId(const void *object);

// Listeners, accepts and shared services (the manager thread, or a caller
// standing in for it while the engine is stopped).
int Manager_Listen(ManagerStruct *manager);
// Up to the accept-passes setting plus one passes over both listeners;
// *accepted = connections taken. Returns 1.
int Manager_AcceptPasses(ManagerStruct *manager, int *accepted);
int Manager_Accept(ManagerStruct *manager, TransportStruct *listener);
int Manager_ProcessPending(ManagerStruct *manager);
int Manager_GetPendingCount(ManagerStruct *manager, int *count);
// key: the caller's priority for this cycle's wait (64-bit).
int Manager_AddTrafficPeer(ManagerStruct *manager, TransportStruct *transport, uint64_t key);
int Manager_RemoveTrafficPeer(ManagerStruct *manager, TransportStruct *transport);
// The registered keys in list order (largest first), at most max; *count set.
int Manager_GetTrafficKeys(ManagerStruct *manager, uint64_t *keys, int max, int *count);
int Manager_WaitForTraffic(ManagerStruct *manager);
int Manager_LockSharedBuffer(ManagerStruct *manager, int size, uint8_t **buffer);
int Manager_UnlockSharedBuffer(ManagerStruct *manager);
int Manager_HashSHA1(ManagerStruct *manager, const void *data, int length, uint8_t digest[20]);
// Copies a cached key pair and the prime into the caller's big integers; *slot
// (optional) names the slot used.
int Manager_GetKeyPair(ManagerStruct *manager, BigIntStruct *privateKey, BigIntStruct *publicKey,
                       BigIntStruct *prime, int *slot);
int Manager_GetHandshakeCount(ManagerStruct *manager, int *count);
int Manager_AddHandshake(ManagerStruct *manager);
int Manager_RemoveHandshake(ManagerStruct *manager);

// Members (one per download). Every pointer handed out carries an in-use
// reference that its holder drops with Manager_ReleaseMember or
// Manager_GetNextMember.
int Manager_AddMember(ManagerStruct *manager, ManagerMemberStruct **member);
int Manager_CloseMember(ManagerStruct *manager, ManagerMemberStruct *member);
int Manager_CloseTaggedMembers(ManagerStruct *manager, int force);
int Manager_GetFirstMember(ManagerStruct *manager, ManagerMemberStruct **member);
int Manager_GetNextMember(ManagerStruct *manager, ManagerMemberStruct *member,
                          ManagerMemberStruct **next);
// The same without the member lock (caller holds it); no reference moves.
int Manager_InternalNextMember(ManagerStruct *manager, ManagerMemberStruct *member,
                               ManagerMemberStruct **next);
int Manager_ReleaseMember(ManagerStruct *manager, ManagerMemberStruct **member);
int Manager_IsMember(ManagerStruct *manager, ManagerMemberStruct *member);
int Manager_GetMemberCount(ManagerStruct *manager, int *count);
int ManagerMember_GetBase(ManagerMemberStruct *member, BaseStruct **base);
int ManagerMember_SetEvent(ManagerMemberStruct *member, void *event);
int ManagerMember_GetEvent(ManagerMemberStruct *member, void **event);
int Manager_ProcessMembers(ManagerStruct *manager, int *activeTrackers, int printStatistics);
int Manager_PrintStatistics(ManagerStruct *manager);
int Manager_CountActiveConnects(ManagerStruct *manager, int *count);
