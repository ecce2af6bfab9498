// The engine's DHT node: a Kademlia-style routing tree of contacts over one UDP
// socket, answering ping, find_node and get_peers and asking get_peers for the
// active downloads. Every datagram may come from anyone; the traffic is bounded
// by a packet budget per second and a transaction limit.
#pragma once

#include <cstdint>

struct BaseStruct;
struct IPFilterStruct;
struct ManagerStruct;
struct MetaFileStruct;
struct MutexStruct;
struct PoolStruct;
struct RandomStruct;
struct Sha1Struct;
struct SocketSelectStruct;
struct SocketStruct;

enum {
    DHT_ID_SIZE = 20,
    DHT_PACKET_SIZE = 512,   // every packet we send fits this
    DHT_BUFFER_SIZE = 2048,  // received datagrams are read into this much
    DHT_LEAF_SIZE = 8,       // contacts a leaf holds before it splits
    DHT_CLOSEST = 8,         // contacts returned for a closest search
    DHT_MAX_CONTACTS = 2000, // further new contacts are refused
    DHT_MAX_READS = 256,     // datagrams read in one pump at most
    DHT_MAX_BOOTSTRAP = 16,  // bootstrap contacts kept
    DHT_COMPACT_NODE_SIZE = 26,
    DHT_COMPACT_PEER_SIZE = 6,
    DHT_MAX_PEERS = 1000, // peers an object keeps at most
    // Bytes each packet log ("input.log", "output.log") grows to at most.
    DHT_PACKET_LOG_LIMIT = 4 << 20,
    DHT_DUMPS_PER_SECOND = 8, // hex dumps of packets written to the debug log
    DHT_DUMP_LINE = 16,       // bytes per line of a hex dump
};

enum {
    DHT_TYPE_UNKNOWN = 0,
    DHT_TYPE_QUERY = 1,
    DHT_TYPE_RESPONSE = 2,
    DHT_TYPE_ERROR = 3,
};

enum {
    DHT_METHOD_UNKNOWN = 0,
    DHT_METHOD_PING = 1,
    DHT_METHOD_FIND_NODE = 2,
    DHT_METHOD_GET_PEERS = 3,
    DHT_METHOD_ANNOUNCE_PEER = 4,
};

enum { DHT_DIRECTION_RECEIVED = 1, DHT_DIRECTION_SENT = 2 };

typedef double (*DHTClock)(void *context);

// A contact of the routing tree.
struct DHTNodeStruct {
    const char *Tag;
    double FirstSeen, LastQuery, LastResponse; // seconds
    double ReplyTimeSum;                       // seconds, over Responses
    int Responses;
    int Failures;
    uint8_t Version[4]; // "v" of its first message that had one
    uint8_t Id[DHT_ID_SIZE];
    uint8_t Address[4]; // network order
    int Port;
    DHTNodeStruct *Next;
};

// A leaf covers [Low, High); an inner route has Low = High = its split point
// and no contacts.
struct DHTRouteStruct {
    const char *Tag;
    uint8_t Low[DHT_ID_SIZE];
    uint8_t High[DHT_ID_SIZE];
    DHTRouteStruct *Below;
    DHTRouteStruct *Above;
    DHTRouteStruct *Parent;
    DHTNodeStruct *Nodes;
    int NodeCount;
};

struct DHTPeerStruct {
    const char *Tag;
    double FirstSeen, LastSeen;
    uint8_t Address[4];
    int Port;
    DHTPeerStruct *Next;
};

// One active download. The node owns it; the download holds it between Add and
// Remove, and it is freed by the purge once removed and no longer in use.
struct DHTObjectStruct {
    const char *Tag;
    int InUse;
    int Removed;
    BaseStruct *Base; // borrowed, null for objects without a download
    uint8_t Hash[DHT_ID_SIZE];
    DHTPeerStruct *Peers; // newest first
    int PeerCount;
    DHTObjectStruct *Next;
};

// A query we sent (pending its reply) or a query received (waiting for ours).
struct DHTTransactionStruct {
    const char *Tag;
    double Created;
    double LastSent; // 0: not sent yet
    int Sends;
    uint8_t Address[4];
    int Port;
    int64_t NumericId;       // when IdLength is 0
    uint8_t Id[DHT_ID_SIZE]; // transaction id bytes
    int IdLength;            // 0: the id is the number
    uint8_t Version[4];
    int VersionLength;
    uint8_t Type;            // DHT_TYPE_*
    uint8_t Method;          // DHT_METHOD_*
    uint8_t Direction;       // DHT_DIRECTION_*
    DHTNodeStruct *Node;     // null for a query to a new contact
    DHTObjectStruct *Object; // for get_peers
    uint8_t Packet[DHT_BUFFER_SIZE];
    int Length;
    DHTTransactionStruct *Next;
};

struct DHTStruct {
    const char *Tag;
    int Verbose;
    int Active;
    Sha1Struct *Sha1;
    MutexStruct *Mutex;
    RandomStruct *Random;
    ManagerStruct *Manager; // borrowed
    DHTClock Clock;
    void *ClockContext;
    int RepingKnown;   // 1: ping an address also when it is in the tree
    int NodeExpiry;    // seconds of silence before a contact is removed
    int NodeRefresh;   // seconds before a contact is queried again
    int RetryInterval; // seconds between two sends of a query
    int Retries;       // sends after the first
    uint8_t NodeId[DHT_ID_SIZE];
    char TokenSecret[80];
    IPFilterStruct *Filter;  // local addresses and the skip list
    int FilterResetInterval; // seconds
    double LastFilterReset;
    MetaFileStruct *Input;
    MetaFileStruct *Output;
    double StartTime, StopTime, LastStatistics, LastAudit;
    int Audits;
    int AppliedEnabled;
    uint8_t AppliedAddress[4];
    int AppliedPort;
    int WantedEnabled;
    uint8_t WantedAddress[4];
    int WantedPort;
    int NeedStart; // ping the bootstrap contacts after the next bind
    SocketStruct *Socket;
    SocketSelectStruct *Select;
    double Now;
    int LargestPacket;
    int PacketsPerSecond;
    double PacketsThisSecond;
    double CountedSecond;
    // Bootstrap contacts: DHT_FindPeers asks them, and they are pinged at start.
    uint8_t SeedAddress[DHT_MAX_BOOTSTRAP][4];
    int SeedPort[DHT_MAX_BOOTSTRAP];
    int SeedCount;
    DHTObjectStruct *Objects;
    int ObjectCount;
    DHTRouteStruct *Root;
    int NodeCount;
    DHTTransactionStruct *Transactions;
    int TransactionLimit;
    PoolStruct *NodePool;
    PoolStruct *PeerPool;
    PoolStruct *RoutePool;
    PoolStruct *TransactionPool;
    int64_t PacketsSent, PacketsReceived, PacketsDropped;
    int PacketLog;       // 1: packets are appended to the packet logs (debugging)
    double DumpSecond;   // the second whose hex dumps are counted
    int DumpsThisSecond; // hex dumps written in it
    int DumpsSkipped;    // left out since the last dump written
};

// Life. Create: an inactive node into *dht; 1. Destroy clears *dht, frees the
// node with every object, contact and transaction; accepts null; 1.
int DHT_Create(DHTStruct **dht);
int DHT_Destroy(DHTStruct **dht);
// Binds the owning manager (whose IP filter vets peers); 1.
int DHT_SetManager(DHTStruct *dht, ManagerStruct *manager);
// 1 starts the node (the next pump binds the socket and pings the bootstrap
// contacts), anything else stops it (socket closed, records kept); 1.
int DHT_SetActive(DHTStruct *dht, int active);
int DHT_GetActive(DHTStruct *dht, int *active);
// Handles waiting datagrams, the audit and the send pass without blocking. 1
// (also when inactive); 0 when the mutex cannot be taken.
int DHT_Pump(DHTStruct *dht);

// Settings, each 1. The listen address (0.0.0.0: all interfaces) and port (0: any)
// take effect at the next pump.
int DHT_SetListen(DHTStruct *dht, const uint8_t address[4], int port);
// The bound port; 0 (and *port 0) while no socket is open.
int DHT_GetPort(DHTStruct *dht, int *port);
// The node id: the SHA-1 of this installation's unique text; without one the
// id stays the random one made at creation. 0 for an empty text.
int DHT_SetInstallationId(DHTStruct *dht, const char *text);
int DHT_GetNodeId(DHTStruct *dht, uint8_t id[DHT_ID_SIZE]);
int DHT_SetVerbose(DHTStruct *dht, int verbose);
// 1 appends every packet received to "input.log" and every packet sent to
// "output.log" in the core log's folder, each up to DHT_PACKET_LOG_LIMIT bytes.
int DHT_SetPacketLog(DHTStruct *dht, int on);
// Replaces the clock (seconds); null restores the tick clock. For tests.
int DHT_SetClock(DHTStruct *dht, DHTClock clock, void *context);
// Adds a bootstrap contact "a.b.c.d:port" or "host:port". 0 when it does not
// parse or resolve, or the list is full.
int DHT_AddBootstrap(DHTStruct *dht, const char *hostPort);

// A download's objects. Start: Add, SetObjectInfoHash, SetObjectBase,
// FindPeers, Release; stop: Remove.
// A new object (in use 1) into *object; 1.
int DHT_AddObject(DHTStruct *dht, DHTObjectStruct **object);
int DHT_SetObjectInfoHash(DHTObjectStruct *object, const uint8_t hash[DHT_ID_SIZE]);
int DHT_SetObjectBase(DHTObjectStruct *object, BaseStruct *base);
// Queues get_peers for the object to the bootstrap contacts and the closest
// known contacts; 1.
int DHT_FindPeers(DHTObjectStruct *object, DHTStruct *dht);
int DHT_ReleaseObject(DHTStruct *dht, DHTObjectStruct *object);
// Marks the object removed, frees its pending queries and clears *object;
// null accepted; 1.
int DHT_RemoveObject(DHTObjectStruct **object, DHTStruct *dht);
// Objects not removed (removed ones wait for the purge); 1.
int DHT_GetObjectCount(DHTStruct *dht, int *count);
int DHT_GetObjectPeerCount(DHTStruct *dht, DHTObjectStruct *object, int *count);
// Counts of contacts in the tree and transactions in use; 1.
int DHT_GetNodeCount(DHTStruct *dht, int *count);
int DHT_GetTransactionCount(DHTStruct *dht, int *count);
// Handles one datagram as if read from the socket (the fuzz target and tests
// feed the node through it); 1 when it was kept as a query waiting for its reply.
int DHT_HandleDatagram(DHTStruct *dht, const uint8_t address[4], int port, const void *bytes,
                       int length);

// Internal, exposed for tests; the caller holds the mutex.
int DHT_InternalAddNode(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], const uint8_t address[4],
                        int port, DHTNodeStruct **node);
int DHT_InternalFindNode(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], DHTNodeStruct **node);
int DHT_InternalFindNodeByAddress(DHTStruct *dht, const uint8_t address[4], DHTNodeStruct **node);
int DHT_InternalFindRoute(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], DHTRouteStruct **route);
// Up to DHT_CLOSEST contacts near id in tree order; 0 when none.
int DHT_InternalClosestNodes(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE],
                             DHTNodeStruct *nodes[DHT_CLOSEST], int *count);
int DHT_InternalConsider(DHTStruct *dht, const uint8_t address[4], int port);
int DHT_InternalAddPeer(DHTStruct *dht, DHTObjectStruct *object, const uint8_t address[4],
                        int port);
int DHT_InternalAudit(DHTStruct *dht);
int DHT_InternalPurgeObjects(DHTStruct *dht);
int DHT_InternalSend(DHTStruct *dht);
int DHT_InternalResetFilter(DHTStruct *dht);
int DHT_InternalMakeToken(DHTStruct *dht, const uint8_t address[4], int port,
                          uint8_t token[DHT_ID_SIZE]);
int DHT_InternalFreeTransaction(DHTStruct *dht, DHTTransactionStruct *t);
// Debug check of the tree: ranges, leaf sizes, parent links and the count.
int DHT_CheckInvariants(DHTStruct *dht);

// Messages (dht_message.cpp).
int DHT_SendPing(DHTStruct *dht, const uint8_t address[4], int port, DHTNodeStruct *node);
int DHT_SendFindNode(DHTStruct *dht, const uint8_t address[4], int port, DHTNodeStruct *node,
                     const uint8_t target[DHT_ID_SIZE]);
int DHT_SendGetPeers(DHTStruct *dht, const uint8_t address[4], int port, DHTNodeStruct *node,
                     DHTObjectStruct *object);
// Decodes t's packet into doc: type, method, id and version. 0 after a log line.
int DHT_InternalDecode(MetaFileStruct *doc, DHTTransactionStruct *t);
// The value of key (at most 20 bytes) anywhere in doc; 0 when missing or longer.
int DHT_InternalGetValue(MetaFileStruct *doc, const char *key, uint8_t *value, int *length);
// 1 when t is kept (a query waiting for its reply), 0 when the caller frees it.
int DHT_InternalHandlePacket(DHTStruct *dht, DHTTransactionStruct *t);
// Builds the reply to the received query t in its buffer; 1 when one is to be sent.
int DHT_InternalBuildReply(DHTStruct *dht, DHTTransactionStruct *t);
int DHT_InternalLogTransaction(DHTStruct *dht, DHTTransactionStruct *t);
const char *DHT_TypeName(int type);
const char *DHT_MethodName(int method);
