// The DHT node: its records, the routing tree of contacts, contact upkeep, the
// per-download objects, the send schedule and the pump the manager thread runs.
// Tuned for bounded work: pooled records, a contact cap, a transaction limit
// and a packet budget per second.
#include "engine/dht.h"

#include "core/file.h"
#include "core/mutex.h"
#include "core/pool.h"
#include "core/random.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/dht_internal.h"
#include "engine/ipfilter.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "net/socket.h"

const char DHT_Tag[] = "DHTStruct";
const char DHTNode_Tag[] = "NodeStruct";
const char DHTObject_Tag[] = "ObjectStruct";
const char DHTTransaction_Tag[] = "TransactionStruct";
static const char kRouteTag[] = "RouteStruct";
static const char kPeerTag[] = "PeerStruct";

enum { kMembersPerChunk = 100, kAuditSeconds = 15, kAskEveryAudits = 4 };

static double InternalTickClock(void *) {
    return Zyl_GetTickSeconds();
}

static double InternalNow(DHTStruct *dht) {
    return dht->Clock(dht->ClockContext);
}

// ---------------------------------------------------------------------------
// Ids
// ---------------------------------------------------------------------------

void DHT_IdText(const uint8_t id[DHT_ID_SIZE], char text[2 * DHT_ID_SIZE + 1]) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < DHT_ID_SIZE; i++) {
        text[2 * i] = digits[id[i] >> 4];
        text[2 * i + 1] = digits[id[i] & 15];
    }
    text[2 * DHT_ID_SIZE] = 0;
}

int DHT_IdEqual(const uint8_t *a, const uint8_t *b) {
    for (int i = 0; i < DHT_ID_SIZE; i++) {
        if (a[i] != b[i])
            return 0;
    }
    return 1;
}

static int InternalIdLess(const uint8_t *a, const uint8_t *b) {
    for (int i = 0; i < DHT_ID_SIZE; i++) {
        if (a[i] != b[i])
            return a[i] < b[i];
    }
    return 0;
}

// out = a - b (160 bits, big-endian, with borrow).
static void InternalIdSubtract(const uint8_t *a, const uint8_t *b, uint8_t *out) {
    int borrow = 0;
    for (int i = DHT_ID_SIZE - 1; i >= 0; i--) {
        int d = (int)a[i] - (int)b[i] - borrow;
        borrow = d < 0 ? 1 : 0;
        out[i] = (uint8_t)(d + (borrow ? 256 : 0));
    }
}

static void InternalIdShiftRight(uint8_t *id) {
    int carry = 0;
    for (int i = 0; i < DHT_ID_SIZE; i++) {
        const int next = id[i] & 1;
        id[i] = (uint8_t)((id[i] >> 1) | (carry << 7));
        carry = next;
    }
}

static int InternalIdIsZero(const uint8_t *id) {
    for (int i = 0; i < DHT_ID_SIZE; i++) {
        if (id[i])
            return 0;
    }
    return 1;
}

static void InternalCopy(uint8_t *to, const uint8_t *from, int n) {
    for (int i = 0; i < n; i++)
        to[i] = from[i];
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

static PoolStruct *InternalPool(int size) {
    PoolStruct *pool = nullptr;
    POOL_CREATE(pool);
    Pool_SetMemberSize(pool, size);
    Pool_SetMembersPerChunk(pool, kMembersPerChunk);
    Pool_SetClear(pool, 1);
    return pool;
}

int DHT_InternalResetFilter(DHTStruct *dht) {
    IPFilter_Clear(dht->Filter);
    IPFilter_SetDefaultAllow(dht->Filter);
    IPFilter_AddLocalIP(dht->Filter);
    dht->LastFilterReset = dht->Now;
    return 1;
}

static void InternalInit(DHTStruct *d) {
    d->Tag = DHT_Tag;
    d->Clock = InternalTickClock;
    Mutex_Create(&d->Mutex);
    Random_Create(&d->Random); // seeded from getrandom()
    Sha1_Create(&d->Sha1);
    d->Verbose = 1;
    d->WantedEnabled = 1;
    d->RepingKnown = 1;
    d->RetryInterval = 60;
    d->Retries = 3;
    d->PacketsPerSecond = 15;
    d->TransactionLimit = 200;
    d->FilterResetInterval = 7200;
    d->NodeRefresh = 900;
    d->NodeExpiry = 2400;
    for (int i = 0; i < DHT_ID_SIZE; i++)
        d->NodeId[i] = (uint8_t)Random_Next(d->Random);
    Zyl_FormatString(d->TokenSecret, sizeof d->TokenSecret, "%.8x%.8x%.8x", Random_Next(d->Random),
                     Random_Next(d->Random), Random_Next(d->Random));
    MetaFile_Create(&d->Input);
    MetaFile_Create(&d->Output);
    MetaFile_SetReport(d->Input, 0);
    IPFilter_Create(&d->Filter);
    d->Now = InternalNow(d);
    DHT_InternalResetFilter(d);
    d->NodePool = InternalPool(sizeof(DHTNodeStruct));
    d->PeerPool = InternalPool(sizeof(DHTPeerStruct));
    d->RoutePool = InternalPool(sizeof(DHTRouteStruct));
    d->TransactionPool = InternalPool(sizeof(DHTTransactionStruct));
    Socket_Create(&d->Socket);
    SocketSelect_Create(&d->Select);
}

int DHT_Create(DHTStruct **dht) {
    ZYL_CHECK_PTR(dht);
    DHTStruct *d = ZYL_NEW(DHTStruct);
    InternalInit(d);
    *dht = d;
    return 1;
}

static void InternalFreeObject(DHTStruct *dht, DHTObjectStruct *o) {
    while (o->Peers) {
        DHTPeerStruct *p = o->Peers;
        o->Peers = p->Next;
        POOL_FREE(dht->PeerPool, p, sizeof(DHTPeerStruct));
    }
    o->Tag = Zyl_DeadTag;
    ZYL_FREE(o, sizeof(DHTObjectStruct));
}

// What the contact lines show after the address: ages in seconds (since first
// seen, last query, last response), the queries to it still pending and its
// average reply time in milliseconds.
struct NodeFigures {
    int First, Query, Response, Pending, ReplyMs;
};

static NodeFigures InternalFigures(DHTStruct *dht, const DHTNodeStruct *n) {
    NodeFigures f = {};
    f.First = (int)(dht->Now - n->FirstSeen);
    f.Query = (int)(dht->Now - n->LastQuery);
    f.Response = (int)(dht->Now - n->LastResponse);
    for (const DHTTransactionStruct *t = dht->Transactions; t; t = t->Next)
        f.Pending += t->Node == n && t->Direction == DHT_DIRECTION_SENT;
    f.ReplyMs = n->Responses ? (int)(1000 * n->ReplyTimeSum / n->Responses) : 0;
    return f;
}

// The tree for the debug log: each child headed by its side, depth and low
// id, then the route's own contacts.
static void InternalDumpRoute(DHTStruct *dht, const DHTRouteStruct *r, int depth) {
    char id[2 * DHT_ID_SIZE + 1];
    const DHTRouteStruct *const children[2] = {r->Below, r->Above};
    for (int side = 0; side < 2; side++) {
        if (children[side] == nullptr)
            continue;
        DHT_IdText(children[side]->Low, id);
        if (side == 0)
            Zyl_Print("-- Below %d:%s\n", depth + 1, id);
        else
            Zyl_Print("-- Above %d:%s\n", depth + 1, id);
        InternalDumpRoute(dht, children[side], depth + 1);
    }
    for (const DHTNodeStruct *n = r->Nodes; n; n = n->Next) {
        const uint8_t *a = n->Address;
        const uint8_t *v = n->Version;
        const NodeFigures f = InternalFigures(dht, n);
        DHT_IdText(n->Id, id);
        Zyl_Print("%s %.2X%.2X%.2X%.2X %d.%d.%d.%d:%d [%d/%d] %d/%d/%d %d:%d (%.2f) \n", id, v[0],
                  v[1], v[2], v[3], a[0], a[1], a[2], a[3], n->Port, n->Responses, n->Failures,
                  f.First, f.Query, f.Response, f.Pending, f.ReplyMs,
                  n->Responses ? n->ReplyTimeSum / n->Responses : 0.0);
    }
}

// The contacts in the order the audit visits them.
static void InternalDumpAudit(DHTStruct *dht, const DHTRouteStruct *r, int *index) {
    if (r == nullptr)
        return;
    InternalDumpAudit(dht, r->Below, index);
    InternalDumpAudit(dht, r->Above, index);
    for (const DHTNodeStruct *n = r->Nodes; n; n = n->Next) {
        const uint8_t *a = n->Address;
        const NodeFigures f = InternalFigures(dht, n);
        char id[2 * DHT_ID_SIZE + 1];
        DHT_IdText(n->Id, id);
        Zyl_Print("%d: %d.%d.%d.%d:%d %s [%d/%d] %d/%d/%d %d:%d\n", (*index)++, a[0], a[1], a[2],
                  a[3], n->Port, id, n->Responses, n->Failures, f.First, f.Query, f.Response,
                  f.Pending, f.ReplyMs);
    }
}

// Written at shutdown: the route list, the audit list and the filter rules.
static void InternalDumpState(DHTStruct *dht) {
    dht->Now = InternalNow(dht);
    Zyl_Print("Route list ----\n");
    if (dht->Root)
        InternalDumpRoute(dht, dht->Root, 0);
    Zyl_Print("Audit list ----\n");
    int index = 0;
    InternalDumpAudit(dht, dht->Root, &index);
    IPFilter_Dump(dht->Filter);
}

static void InternalFreeRoute(DHTStruct *dht, DHTRouteStruct *r) {
    if (r == nullptr)
        return;
    InternalFreeRoute(dht, r->Below);
    InternalFreeRoute(dht, r->Above);
    while (r->Nodes) {
        DHTNodeStruct *n = r->Nodes;
        r->Nodes = n->Next;
        n->Tag = Zyl_DeadTag;
        POOL_FREE(dht->NodePool, n, sizeof(DHTNodeStruct));
    }
    r->Tag = Zyl_DeadTag;
    POOL_FREE(dht->RoutePool, r, sizeof(DHTRouteStruct));
}

int DHT_Destroy(DHTStruct **dht) {
    ZYL_CHECK_PTR(dht);
    DHTStruct *d = *dht;
    if (d == nullptr)
        return 1;
    ZYL_CHECK_TAG(d, DHT_Tag);
    *dht = nullptr;
    InternalDumpState(d);
    DHT_INFO("Largest packet encountered was %d", d->LargestPacket);
    Socket_Destroy(&d->Socket);
    SocketSelect_Destroy(&d->Select);
    while (d->Transactions)
        DHT_InternalFreeTransaction(d, d->Transactions);
    while (d->Objects) {
        DHTObjectStruct *o = d->Objects;
        d->Objects = o->Next;
        if (!o->Removed || o->InUse != 0)
            DHT_WARN("DHT object instance still in use (%.8X - %d:%d)",
                     (unsigned)((o->Hash[0] << 24) | (o->Hash[1] << 16) | (o->Hash[2] << 8) |
                                o->Hash[3]),
                     o->InUse, o->Removed);
        InternalFreeObject(d, o);
    }
    InternalFreeRoute(d, d->Root);
    Pool_Destroy(&d->NodePool);
    Pool_Destroy(&d->PeerPool);
    Pool_Destroy(&d->RoutePool);
    Pool_Destroy(&d->TransactionPool);
    IPFilter_Destroy(&d->Filter);
    MetaFile_Destroy(&d->Input);
    MetaFile_Destroy(&d->Output);
    Sha1_Destroy(&d->Sha1);
    Random_Destroy(&d->Random);
    Mutex_Close(&d->Mutex);
    d->Tag = Zyl_DeadTag;
    ZYL_FREE(d, sizeof(DHTStruct));
    return 1;
}

int DHT_SetManager(DHTStruct *dht, ManagerStruct *manager) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    dht->Manager = manager;
    return 1;
}

int DHT_SetVerbose(DHTStruct *dht, int verbose) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    dht->Verbose = verbose;
    return 1;
}

int DHT_SetPacketLog(DHTStruct *dht, int on) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    dht->PacketLog = on == 1 ? 1 : 0;
    return 1;
}

// One line per packet: seconds since the start, the remote, the length and the
// raw bytes. A log that cannot be opened or is full takes nothing.
static void InternalLogPacket(DHTStruct *dht, const char *name, DHTTransactionStruct *t) {
    if (!dht->PacketLog)
        return;
    char path[FILE_PATH_SIZE];
    int flags = 0, slash = -1;
    if (!Zyl_GetLogOptions(path, sizeof path, &flags) || path[0] == 0 ||
        !Zyl_StrFindLastChar(path, '/', &slash))
        return;
    path[slash + 1] = 0;
    Zyl_StrAppend(path, name, sizeof path);
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetReportErrors(file, 0);
    int64_t size = 0;
    const int opened = File_Open(file, path, FILE_MODE_WRITE | FILE_MODE_APPEND);
    if (opened && File_GetSize(file, &size) && size + t->Length + 64 <= DHT_PACKET_LOG_LIMIT) {
        const uint8_t *a = t->Address;
        int written = 0;
        File_Print(file, "%12.4f: %d.%d.%d.%d:%d [%d] ", dht->Now - dht->StartTime, a[0], a[1],
                   a[2], a[3], t->Port, t->Length);
        File_Write(file, t->Packet, t->Length, &written);
        File_Write(file, "\r\n", 2, &written);
    }
    if (opened)
        File_Close(file);
    File_Delete(&file);
}

int DHT_SetClock(DHTStruct *dht, DHTClock clock, void *context) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    dht->Clock = clock ? clock : InternalTickClock;
    dht->ClockContext = clock ? context : nullptr;
    dht->Now = InternalNow(dht);
    dht->LastFilterReset = dht->Now;
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_SetListen(DHTStruct *dht, const uint8_t address[4], int port) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(address);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    InternalCopy(dht->WantedAddress, address, 4);
    dht->WantedPort = port;
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_GetPort(DHTStruct *dht, int *port) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(port);
    *port = 0;
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    uint8_t address[4];
    const int ok = Socket_IsOpen(dht->Socket) && Socket_GetSockName(dht->Socket, address, port);
    MUTEX_UNLOCK(dht->Mutex);
    return ok;
}

int DHT_SetInstallationId(DHTStruct *dht, const char *text) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(text);
    if (text[0] == 0)
        return 0;
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    Sha1_Init(dht->Sha1);
    Sha1_Update(dht->Sha1, text, Zyl_StrLen(text));
    Sha1_Final(dht->Sha1);
    Sha1_GetDigest(dht->Sha1, dht->NodeId, DHT_ID_SIZE);
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_GetNodeId(DHTStruct *dht, uint8_t id[DHT_ID_SIZE]) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(id);
    InternalCopy(id, dht->NodeId, DHT_ID_SIZE);
    return 1;
}

int DHT_AddBootstrap(DHTStruct *dht, const char *hostPort) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(hostPort);
    char host[SOCKET_HOST_NAME_SIZE];
    int colon = 0;
    if (!Zyl_StrFindLastChar(hostPort, ':', &colon) || colon <= 0 ||
        colon >= SOCKET_HOST_NAME_SIZE) {
        DHT_ERROR("Bootstrap contact without a port [%s]", hostPort);
        return 0;
    }
    Zyl_StrCopy(host, hostPort, colon + 1);
    int port = 0;
    for (const char *p = hostPort + colon + 1; *p; p++) {
        if (*p < '0' || *p > '9' || port > 65535) {
            port = -1;
            break;
        }
        port = port * 10 + (*p - '0');
    }
    HostAddress resolved;
    if (port <= 0 || port > 65535 || !Socket_Resolve(&resolved, host)) {
        DHT_ERROR("Unable to use bootstrap contact [%s]", hostPort);
        return 0;
    }
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    int ok = 0;
    if (dht->SeedCount < DHT_MAX_BOOTSTRAP) {
        InternalCopy(dht->SeedAddress[dht->SeedCount], resolved.Address, 4);
        dht->SeedPort[dht->SeedCount] = port;
        dht->SeedCount++;
        ok = 1;
    } else {
        DHT_ERROR("Bootstrap list full [%s]", hostPort);
    }
    MUTEX_UNLOCK(dht->Mutex);
    return ok;
}

// ---------------------------------------------------------------------------
// Start, stop, listen
// ---------------------------------------------------------------------------

int DHT_SetActive(DHTStruct *dht, int active) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    const int flag = active == 1 ? 1 : 0;
    if (flag != dht->Active) {
        dht->Now = InternalNow(dht);
        if (flag) {
            DHT_VERBOSE(dht, "DHT starting up");
            dht->AppliedEnabled = 0;
            dht->AppliedPort = -1; // differs from any wanted port: the next pump binds
            dht->StartTime = dht->Now;
            dht->StopTime = 0;
            dht->LastStatistics = dht->Now;
            dht->LastAudit = dht->Now;
            dht->NeedStart = 1;
        } else {
            Socket_Close(dht->Socket);
            DHT_VERBOSE(dht, "DHT shutting down");
            dht->StopTime = dht->Now;
        }
        dht->Active = flag;
    }
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_GetActive(DHTStruct *dht, int *active) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(active);
    *active = dht->Active;
    return 1;
}

static int InternalListen(DHTStruct *dht) {
    Socket_Close(dht->Socket);
    if (!dht->AppliedEnabled) {
        DHT_WARN("DHT Listening (inbound) port disabled for connections");
        return 1;
    }
    const uint8_t *a = dht->AppliedAddress;
    if (!Socket_Open(dht->Socket, SOCKET_PROTOCOL_UDP)) {
        DHT_ERROR("Unable to open DHT socket [%d]", dht->Socket->LastError);
        return 0;
    }
    if (!Socket_Bind(dht->Socket, a, dht->AppliedPort > 0 ? dht->AppliedPort : 0)) {
        DHT_ERROR("Unable to bind for listen (%d.%d.%d.%d:%d) [%d]", a[0], a[1], a[2], a[3],
                  dht->AppliedPort, dht->Socket->LastError);
        Socket_Close(dht->Socket);
        return 0;
    }
    if (!Socket_SetBlocking(dht->Socket, 0)) {
        DHT_ERROR("Unable to set listening port to non-blocking");
        Socket_Close(dht->Socket);
        return 0;
    }
    uint8_t bound[4];
    int port = 0;
    Socket_GetSockName(dht->Socket, bound, &port);
    if (a[0] == 0)
        DHT_INFO("DHT Listening on all interfaces, port %d", port);
    else
        DHT_INFO("DHT Listening on %d.%d.%d.%d:%d", a[0], a[1], a[2], a[3], port);
    Socket_ResetStatistics(dht->Socket);
    return 1;
}

// ---------------------------------------------------------------------------
// Routing tree
// ---------------------------------------------------------------------------

int DHT_InternalFindRoute(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], DHTRouteStruct **route) {
    DHTRouteStruct *r = dht->Root;
    while (r && r->Below) {
        r = InternalIdLess(id, r->Low) ? r->Below : r->Above;
    }
    *route = r;
    return r != nullptr;
}

static DHTRouteStruct *InternalNewRoute(DHTStruct *dht, DHTRouteStruct *parent) {
    DHTRouteStruct *r = static_cast<DHTRouteStruct *>(POOL_ALLOC(dht->RoutePool, sizeof *r));
    r->Tag = kRouteTag;
    r->Parent = parent;
    return r;
}

static void InternalSplitRoute(DHTStruct *dht, DHTRouteStruct *r) {
    if (r->Below || r->Above)
        ZYL_FATAL("Attempting to split route already split!\n");
    uint8_t half[DHT_ID_SIZE], split[DHT_ID_SIZE];
    InternalIdSubtract(r->High, r->Low, half);
    InternalIdShiftRight(half);
    if (InternalIdIsZero(half))
        return; // a range of one id cannot split (ids in a leaf are distinct)
    InternalIdSubtract(r->High, half, split);
    DHTRouteStruct *below = InternalNewRoute(dht, r);
    DHTRouteStruct *above = InternalNewRoute(dht, r);
    InternalCopy(below->Low, r->Low, DHT_ID_SIZE);
    InternalCopy(below->High, split, DHT_ID_SIZE);
    InternalCopy(above->Low, split, DHT_ID_SIZE);
    InternalCopy(above->High, r->High, DHT_ID_SIZE);
    InternalCopy(r->Low, split, DHT_ID_SIZE);
    InternalCopy(r->High, split, DHT_ID_SIZE);
    r->Below = below;
    r->Above = above;
    // Move the contacts keeping their order.
    DHTNodeStruct **belowTail = &below->Nodes, **aboveTail = &above->Nodes;
    while (r->Nodes) {
        DHTNodeStruct *n = r->Nodes;
        r->Nodes = n->Next;
        n->Next = nullptr;
        if (InternalIdLess(n->Id, split)) {
            *belowTail = n;
            belowTail = &n->Next;
            below->NodeCount++;
        } else {
            *aboveTail = n;
            aboveTail = &n->Next;
            above->NodeCount++;
        }
    }
    r->NodeCount = 0;
    if (below->NodeCount > DHT_LEAF_SIZE)
        InternalSplitRoute(dht, below);
    if (above->NodeCount > DHT_LEAF_SIZE)
        InternalSplitRoute(dht, above);
}

int DHT_InternalAddNode(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], const uint8_t address[4],
                        int port, DHTNodeStruct **node) {
    *node = nullptr;
    if (dht->NodeCount >= DHT_MAX_CONTACTS) {
        DHT_VERBOSE(dht, "Contact limit reached (%d), contact refused", dht->NodeCount);
        return 0;
    }
    if (DHT_IdEqual(id, dht->NodeId)) {
        DHT_WARN("Contact claims this node's id, refused");
        return 0;
    }
    if (dht->Root == nullptr) {
        DHT_INFO("Adding base route");
        dht->Root = InternalNewRoute(dht, nullptr);
        for (int i = 0; i < DHT_ID_SIZE; i++)
            dht->Root->High[i] = 0xFF;
    }
    DHTRouteStruct *leaf = nullptr;
    DHT_InternalFindRoute(dht, id, &leaf);
    DHTNodeStruct *n = static_cast<DHTNodeStruct *>(POOL_ALLOC(dht->NodePool, sizeof *n));
    n->Tag = DHTNode_Tag;
    n->FirstSeen = n->LastQuery = n->LastResponse = dht->Now;
    InternalCopy(n->Id, id, DHT_ID_SIZE);
    InternalCopy(n->Address, address, 4);
    n->Port = port;
    n->Next = leaf->Nodes;
    leaf->Nodes = n;
    leaf->NodeCount++;
    dht->NodeCount++;
    if (leaf->NodeCount > DHT_LEAF_SIZE)
        InternalSplitRoute(dht, leaf);
    *node = n;
    return 1;
}

int DHT_InternalFindNode(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], DHTNodeStruct **node) {
    *node = nullptr;
    DHTRouteStruct *leaf = nullptr;
    if (!DHT_InternalFindRoute(dht, id, &leaf))
        return 0;
    for (DHTNodeStruct *n = leaf->Nodes; n; n = n->Next) {
        if (DHT_IdEqual(n->Id, id)) {
            *node = n;
            return 1;
        }
    }
    return 0;
}

static DHTNodeStruct *InternalFindAddress(DHTRouteStruct *r, const uint8_t address[4]) {
    if (r == nullptr)
        return nullptr;
    for (DHTNodeStruct *n = r->Nodes; n; n = n->Next) {
        if (n->Address[0] == address[0] && n->Address[1] == address[1] &&
            n->Address[2] == address[2] && n->Address[3] == address[3])
            return n;
    }
    DHTNodeStruct *n = InternalFindAddress(r->Below, address);
    return n ? n : InternalFindAddress(r->Above, address);
}

int DHT_InternalFindNodeByAddress(DHTStruct *dht, const uint8_t address[4], DHTNodeStruct **node) {
    *node = InternalFindAddress(dht->Root, address);
    return *node != nullptr;
}

static void InternalCollect(DHTRouteStruct *r, DHTNodeStruct **nodes, int *count) {
    if (r == nullptr || *count >= DHT_CLOSEST)
        return;
    InternalCollect(r->Below, nodes, count);
    InternalCollect(r->Above, nodes, count);
    for (DHTNodeStruct *n = r->Nodes; n && *count < DHT_CLOSEST; n = n->Next)
        nodes[(*count)++] = n;
}

int DHT_InternalClosestNodes(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE],
                             DHTNodeStruct *nodes[DHT_CLOSEST], int *count) {
    *count = 0;
    DHTRouteStruct *leaf = nullptr;
    if (!DHT_InternalFindRoute(dht, id, &leaf)) {
        DHT_ERROR("Unable to find route for hash");
        return 0;
    }
    InternalCollect(leaf, nodes, count);
    for (DHTRouteStruct *from = leaf; from->Parent && *count < DHT_CLOSEST; from = from->Parent) {
        DHTRouteStruct *p = from->Parent;
        InternalCollect(p->Below == from ? p->Above : p->Below, nodes, count);
    }
    if (*count == 0) {
        DHT_ERROR("Unable to return closest for hash (%d)", *count);
        return 0;
    }
    DHT_VERBOSE(dht, "Returning closest %d nodes", *count);
    return 1;
}

static int InternalCheckRoute(DHTRouteStruct *r, DHTRouteStruct *parent, int *count) {
    if (r->Parent != parent || (r->Below == nullptr) != (r->Above == nullptr))
        return 0;
    if (r->Below) {
        if (r->Nodes || !DHT_IdEqual(r->Low, r->High))
            return 0;
        return InternalCheckRoute(r->Below, r, count) && InternalCheckRoute(r->Above, r, count);
    }
    int n = 0;
    for (DHTNodeStruct *c = r->Nodes; c; c = c->Next, n++) {
        if (InternalIdLess(c->Id, r->Low) || !InternalIdLess(c->Id, r->High))
            return 0;
    }
    *count += n;
    return n == r->NodeCount && n <= DHT_LEAF_SIZE;
}

int DHT_CheckInvariants(DHTStruct *dht) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    int count = 0;
    if (dht->Root && !InternalCheckRoute(dht->Root, nullptr, &count))
        ZYL_FATAL("DHT route tree broken\n");
    if (count != dht->NodeCount)
        ZYL_FATAL("DHT contact count wrong (%d != %d)\n", count, dht->NodeCount);
    return 1;
}

// ---------------------------------------------------------------------------
// Transactions
// ---------------------------------------------------------------------------

int DHT_TransactionsInUse(DHTStruct *dht) {
    int inUse = 0;
    Pool_GetInUse(dht->TransactionPool, &inUse);
    return inUse;
}

DHTTransactionStruct *DHT_InternalNewTransaction(DHTStruct *dht) {
    DHTTransactionStruct *t =
        static_cast<DHTTransactionStruct *>(POOL_ALLOC(dht->TransactionPool, sizeof *t));
    t->Tag = DHTTransaction_Tag;
    t->Created = dht->Now;
    return t;
}

void DHT_InternalQueueFirst(DHTStruct *dht, DHTTransactionStruct *t) {
    t->Next = dht->Transactions;
    dht->Transactions = t;
}

void DHT_InternalQueueLast(DHTStruct *dht, DHTTransactionStruct *t) {
    DHTTransactionStruct **link = &dht->Transactions;
    while (*link)
        link = &(*link)->Next;
    t->Next = nullptr;
    *link = t;
}

int DHT_InternalFreeTransaction(DHTStruct *dht, DHTTransactionStruct *t) {
    for (DHTTransactionStruct **link = &dht->Transactions; *link; link = &(*link)->Next) {
        if (*link == t) {
            *link = t->Next;
            break;
        }
    }
    t->Tag = Zyl_DeadTag;
    POOL_FREE(dht->TransactionPool, t, sizeof(DHTTransactionStruct));
    return 1;
}

static void InternalFreeTransactionsOf(DHTStruct *dht, DHTNodeStruct *node,
                                       DHTObjectStruct *object) {
    DHTTransactionStruct *t = dht->Transactions;
    while (t) {
        DHTTransactionStruct *next = t->Next;
        if ((node && t->Node == node) || (object && t->Object == object))
            DHT_InternalFreeTransaction(dht, t);
        t = next;
    }
}

// ---------------------------------------------------------------------------
// New contacts and peers
// ---------------------------------------------------------------------------

static int InternalPingPending(DHTStruct *dht, const uint8_t address[4], int port) {
    for (DHTTransactionStruct *t = dht->Transactions; t; t = t->Next) {
        if (t->Direction == DHT_DIRECTION_SENT && t->Node == nullptr &&
            t->Method == DHT_METHOD_PING && t->Port == port && t->Address[0] == address[0] &&
            t->Address[1] == address[1] && t->Address[2] == address[2] &&
            t->Address[3] == address[3])
            return 1;
    }
    return 0;
}

int DHT_InternalConsider(DHTStruct *dht, const uint8_t address[4], int port) {
    if (dht->TransactionLimit > 0 && DHT_TransactionsInUse(dht) >= dht->TransactionLimit) {
        DHT_VERBOSE(dht, "Too many transactions already in progress");
        return 0;
    }
    if (port <= 0 || port > 65535 || !IPFilter_Check(dht->Filter, address, port)) {
        DHT_VERBOSE(dht, "IP not allowed by filter rule");
        return 0;
    }
    DHTNodeStruct *known = nullptr;
    if (!dht->RepingKnown && DHT_InternalFindNodeByAddress(dht, address, &known)) {
        DHT_VERBOSE(dht, "IP already in node cache");
        return 0;
    }
    if (dht->NodeCount >= DHT_MAX_CONTACTS || InternalPingPending(dht, address, port))
        return 0;
    DHT_VERBOSE(dht, "New member, pinging for accessibility");
    return DHT_SendPing(dht, address, port, nullptr);
}

int DHT_InternalAddPeer(DHTStruct *dht, DHTObjectStruct *object, const uint8_t address[4],
                        int port) {
    for (DHTPeerStruct *p = object->Peers; p; p = p->Next) {
        if (p->Port == port && p->Address[0] == address[0] && p->Address[1] == address[1] &&
            p->Address[2] == address[2] && p->Address[3] == address[3]) {
            DHT_VERBOSE(dht, "Duplicate DHT peer");
            p->LastSeen = dht->Now;
            return 1;
        }
    }
    if (object->PeerCount >= DHT_MAX_PEERS)
        return 0;
    DHTPeerStruct *p = static_cast<DHTPeerStruct *>(POOL_ALLOC(dht->PeerPool, sizeof *p));
    p->Tag = kPeerTag;
    p->FirstSeen = p->LastSeen = dht->Now;
    InternalCopy(p->Address, address, 4);
    p->Port = port;
    p->Next = object->Peers;
    object->Peers = p;
    object->PeerCount++;
    IPListStruct *list = nullptr;
    if (object->Base && Base_GetIPList(object->Base, &list) && list) {
        IPListMemberStruct *member = nullptr;
        if (IPList_AddMember(&member, list, address, port) && member) {
            IPList_SetOrigin(member, IPLIST_ORIGIN_DHT);
            IPFilterStruct *filter = nullptr;
            if (dht->Manager && Manager_GetIPFilter(dht->Manager, &filter) && filter &&
                !IPFilter_Check(filter, address, port))
                IPList_SetState(list, IPLIST_STATE_FILTERED, member);
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------

int DHT_AddObject(DHTStruct *dht, DHTObjectStruct **object) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(object);
    *object = nullptr;
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    DHTObjectStruct *o = ZYL_NEW(DHTObjectStruct);
    o->Tag = DHTObject_Tag;
    o->InUse = 1;
    DHTObjectStruct **link = &dht->Objects;
    while (*link)
        link = &(*link)->Next;
    *link = o;
    dht->ObjectCount++;
    MUTEX_UNLOCK(dht->Mutex);
    *object = o;
    return 1;
}

int DHT_SetObjectInfoHash(DHTObjectStruct *object, const uint8_t hash[DHT_ID_SIZE]) {
    ZYL_CHECK_TAG(object, DHTObject_Tag);
    ZYL_CHECK_PTR(hash);
    InternalCopy(object->Hash, hash, DHT_ID_SIZE);
    return 1;
}

int DHT_SetObjectBase(DHTObjectStruct *object, BaseStruct *base) {
    ZYL_CHECK_TAG(object, DHTObject_Tag);
    object->Base = base;
    return 1;
}

void DHT_InternalAskClosest(DHTStruct *dht, DHTObjectStruct *object, int seeds) {
    if (seeds) {
        for (int i = 0; i < dht->SeedCount; i++)
            DHT_SendGetPeers(dht, dht->SeedAddress[i], dht->SeedPort[i], nullptr, object);
    }
    DHTNodeStruct *nodes[DHT_CLOSEST];
    int count = 0;
    if (dht->Root == nullptr || !DHT_InternalClosestNodes(dht, object->Hash, nodes, &count))
        return;
    for (int i = 0; i < count; i++) {
        if (dht->TransactionLimit > 0 && DHT_TransactionsInUse(dht) >= dht->TransactionLimit)
            break;
        DHT_SendGetPeers(dht, nodes[i]->Address, nodes[i]->Port, nodes[i], object);
    }
}

int DHT_FindPeers(DHTObjectStruct *object, DHTStruct *dht) {
    ZYL_CHECK_TAG(object, DHTObject_Tag);
    ZYL_CHECK_TAG(dht, DHT_Tag);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    dht->Now = InternalNow(dht);
    DHT_InternalAskClosest(dht, object, 1);
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_ReleaseObject(DHTStruct *dht, DHTObjectStruct *object) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_TAG(object, DHTObject_Tag);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    object->InUse--;
    if (object->InUse < 0)
        ZYL_FATAL("Instance corruption (%d)\n", object->InUse);
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_RemoveObject(DHTObjectStruct **object, DHTStruct *dht) {
    ZYL_CHECK_PTR(object);
    ZYL_CHECK_TAG(dht, DHT_Tag);
    DHTObjectStruct *o = *object;
    if (o == nullptr)
        return 1;
    ZYL_CHECK_TAG(o, DHTObject_Tag);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    o->Removed = 1;
    o->Base = nullptr; // the download may be gone before the purge
    InternalFreeTransactionsOf(dht, nullptr, o);
    *object = nullptr;
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_GetObjectCount(DHTStruct *dht, int *count) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    for (DHTObjectStruct *o = dht->Objects; o; o = o->Next)
        *count += o->Removed ? 0 : 1;
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_GetObjectPeerCount(DHTStruct *dht, DHTObjectStruct *object, int *count) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_TAG(object, DHTObject_Tag);
    ZYL_CHECK_PTR(count);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    *count = object->PeerCount;
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}

int DHT_GetNodeCount(DHTStruct *dht, int *count) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(count);
    *count = dht->NodeCount;
    return 1;
}

int DHT_GetTransactionCount(DHTStruct *dht, int *count) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(count);
    *count = DHT_TransactionsInUse(dht);
    return 1;
}

int DHT_InternalPurgeObjects(DHTStruct *dht) {
    DHTObjectStruct **link = &dht->Objects;
    while (*link) {
        DHTObjectStruct *o = *link;
        if (o->InUse < 0)
            ZYL_FATAL("Instance corruption (%d)\n", o->InUse);
        if (o->Removed && o->InUse == 0) {
            *link = o->Next;
            dht->ObjectCount--;
            InternalFreeObject(dht, o);
        } else {
            link = &o->Next;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Audit
// ---------------------------------------------------------------------------

static void InternalAuditRoute(DHTStruct *dht, DHTRouteStruct *r) {
    if (r == nullptr)
        return;
    InternalAuditRoute(dht, r->Below);
    InternalAuditRoute(dht, r->Above);
    int inUse = DHT_TransactionsInUse(dht);
    DHTNodeStruct **link = &r->Nodes;
    while (*link) {
        DHTNodeStruct *n = *link;
        const uint8_t *a = n->Address;
        if (dht->Now - n->LastResponse > dht->NodeExpiry) {
            char id[2 * DHT_ID_SIZE + 1];
            DHT_IdText(n->Id, id);
            const NodeFigures f = InternalFigures(dht, n);
            DHT_INFO("Expiring node %s %d.%d.%d.%d:%d [%d/%d] %d/%d/%d %d:%d", id, a[0], a[1], a[2],
                     a[3], n->Port, n->Responses, n->Failures, f.First, f.Query, f.Response,
                     f.Pending, f.ReplyMs);
            *link = n->Next;
            r->NodeCount--;
            dht->NodeCount--;
            InternalFreeTransactionsOf(dht, n, nullptr);
            n->Tag = Zyl_DeadTag;
            POOL_FREE(dht->NodePool, n, sizeof(DHTNodeStruct));
            continue;
        }
        if ((dht->TransactionLimit == 0 || inUse < dht->TransactionLimit) &&
            dht->Now - n->LastQuery > dht->NodeRefresh) {
            int pending = 0;
            for (DHTTransactionStruct *t = dht->Transactions; t && !pending; t = t->Next)
                pending = t->Node == n && t->Direction == DHT_DIRECTION_SENT;
            if (pending) {
                char id[2 * DHT_ID_SIZE + 1];
                DHT_IdText(n->Id, id);
                const NodeFigures f = InternalFigures(dht, n);
                DHT_WARN("Transaction already pending for node - %s %d.%d.%d.%d:%d [%d/%d] "
                         "%d/%d/%d %d:%d",
                         id, a[0], a[1], a[2], a[3], n->Port, n->Responses, n->Failures, f.First,
                         f.Query, f.Response, f.Pending, f.ReplyMs);
            } else if (n->Responses % 4 == 3) {
                uint8_t target[DHT_ID_SIZE];
                InternalCopy(target, dht->NodeId, DHT_ID_SIZE);
                target[18] = (uint8_t)Random_Next(dht->Random);
                target[19] = (uint8_t)Random_Next(dht->Random);
                DHT_SendFindNode(dht, a, n->Port, n, target);
                inUse++;
            } else {
                DHT_SendPing(dht, a, n->Port, n);
                inUse++;
            }
            n->LastQuery = dht->Now;
        }
        link = &n->Next;
    }
}

int DHT_InternalAudit(DHTStruct *dht) {
    InternalAuditRoute(dht, dht->Root);
    dht->Audits++;
    if (dht->Audits % kAskEveryAudits == 0) {
        for (DHTObjectStruct *o = dht->Objects; o; o = o->Next) {
            if (!o->Removed)
                DHT_InternalAskClosest(dht, o, 0);
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Send pass and pump
// ---------------------------------------------------------------------------

static void InternalWrite(DHTStruct *dht, DHTTransactionStruct *t) {
    if (t->Length > dht->LargestPacket)
        dht->LargestPacket = t->Length;
    InternalLogPacket(dht, "output.log", t);
    int written = 0;
    if (!Socket_IsOpen(dht->Socket) ||
        !Socket_WriteIP(dht->Socket, t->Address, t->Port, t->Packet, t->Length, &written)) {
        DHT_ERROR("Unable to send packet [%d]", dht->Socket->LastError);
    } else {
        dht->PacketsSent++;
    }
    dht->PacketsThisSecond += 1;
}

int DHT_InternalSend(DHTStruct *dht) {
    const double second = (double)(int64_t)dht->Now;
    if (second != dht->CountedSecond) {
        dht->CountedSecond = second;
        dht->PacketsThisSecond = 0;
    }
    const double expiry = (double)(dht->Retries + 1) * dht->RetryInterval;
    DHTTransactionStruct *t = dht->Transactions;
    while (t && dht->PacketsThisSecond < dht->PacketsPerSecond) {
        DHTTransactionStruct *next = t->Next;
        const uint8_t *a = t->Address;
        if (dht->Now - t->Created > expiry) {
            if (t->Direction == DHT_DIRECTION_SENT && t->Node == nullptr) {
                DHT_INFO("New transaction expired (%s) to %d.%d.%d.%d:%d [%d] - adding to skip "
                         "list",
                         DHT_MethodName(t->Method), a[0], a[1], a[2], a[3], t->Port, t->Length);
                IPFilter_AddRule(dht->Filter, a, a, nullptr);
            }
            DHT_InternalFreeTransaction(dht, t);
        } else if (t->Direction == DHT_DIRECTION_RECEIVED) {
            if (DHT_InternalBuildReply(dht, t)) {
                DHT_VERBOSE(dht, "Send response packet (%s) to %d.%d.%d.%d:%d [%d]",
                            DHT_MethodName(t->Method), a[0], a[1], a[2], a[3], t->Port, t->Length);
                InternalWrite(dht, t);
            }
            DHT_InternalFreeTransaction(dht, t);
        } else if (t->LastSent == 0 || dht->Now - t->LastSent > dht->RetryInterval) {
            if (t->Sends > dht->Retries) {
                if (t->Node)
                    t->Node->Failures++;
                DHT_InternalFreeTransaction(dht, t);
            } else {
                DHT_VERBOSE(dht, "Send request (%d) packet (%s) to %d.%d.%d.%d:%d [%d]", t->Sends,
                            DHT_MethodName(t->Method), a[0], a[1], a[2], a[3], t->Port, t->Length);
                InternalWrite(dht, t);
                t->Sends++;
                t->LastSent = dht->Now;
            }
        }
        t = next;
    }
    return 1;
}

static int InternalHandleLocked(DHTStruct *dht, const uint8_t address[4], int port,
                                DHTTransactionStruct *t) {
    InternalCopy(t->Address, address, 4);
    t->Port = port;
    dht->PacketsReceived++;
    InternalLogPacket(dht, "input.log", t);
    if (t->Length > dht->LargestPacket)
        dht->LargestPacket = t->Length;
    DHT_VERBOSE(dht, "Read packet from %d.%d.%d.%d:%d [%d]", address[0], address[1], address[2],
                address[3], port, t->Length);
    if (DHT_InternalHandlePacket(dht, t))
        return 1;
    DHT_InternalFreeTransaction(dht, t);
    return 0;
}

int DHT_HandleDatagram(DHTStruct *dht, const uint8_t address[4], int port, const void *bytes,
                       int length) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    ZYL_CHECK_PTR(address);
    if (bytes == nullptr || length < 0)
        return 0;
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    dht->Now = InternalNow(dht);
    DHTTransactionStruct *t = DHT_InternalNewTransaction(dht);
    t->Length = length < DHT_BUFFER_SIZE ? length : DHT_BUFFER_SIZE;
    const uint8_t *in = static_cast<const uint8_t *>(bytes);
    InternalCopy(t->Packet, in, t->Length);
    const int kept = InternalHandleLocked(dht, address, port, t);
    MUTEX_UNLOCK(dht->Mutex);
    return kept;
}

static void InternalRead(DHTStruct *dht) {
    for (int i = 0; i < DHT_MAX_READS && Socket_IsOpen(dht->Socket); i++) {
        DHTTransactionStruct *t = DHT_InternalNewTransaction(dht);
        uint8_t address[4] = {0, 0, 0, 0};
        int port = 0, count = 0;
        if (!Socket_ReadIP(dht->Socket, address, &port, t->Packet, DHT_BUFFER_SIZE, &count)) {
            // ICMP errors of earlier sends surface here; they end this pass only.
            DHT_VERBOSE(dht, "Unable to read packet [%d]", dht->Socket->LastError);
            DHT_InternalFreeTransaction(dht, t);
            if (dht->Socket->LastError == SOCKET_ERROR_REFUSED ||
                dht->Socket->LastError == SOCKET_ERROR_HOST_UNREACHABLE)
                continue;
            return;
        }
        if (count <= 0) {
            DHT_InternalFreeTransaction(dht, t);
            return;
        }
        t->Length = count;
        InternalHandleLocked(dht, address, port, t);
    }
}

static void InternalStartContacts(DHTStruct *dht) {
    for (int i = 0; i < dht->SeedCount; i++)
        DHT_SendPing(dht, dht->SeedAddress[i], dht->SeedPort[i], nullptr);
    for (DHTObjectStruct *o = dht->Objects; o; o = o->Next) {
        if (!o->Removed)
            DHT_InternalAskClosest(dht, o, 1);
    }
}

int DHT_Pump(DHTStruct *dht) {
    ZYL_CHECK_TAG(dht, DHT_Tag);
    if (!MUTEX_LOCK(dht->Mutex))
        return 0;
    if (!dht->Active) {
        MUTEX_UNLOCK(dht->Mutex);
        return 1;
    }
    dht->Now = InternalNow(dht);
    if (dht->WantedEnabled != dht->AppliedEnabled || dht->WantedPort != dht->AppliedPort ||
        dht->AppliedAddress[0] != dht->WantedAddress[0] ||
        dht->AppliedAddress[1] != dht->WantedAddress[1] ||
        dht->AppliedAddress[2] != dht->WantedAddress[2] ||
        dht->AppliedAddress[3] != dht->WantedAddress[3]) {
        dht->AppliedEnabled = dht->WantedEnabled;
        dht->AppliedPort = dht->WantedPort;
        InternalCopy(dht->AppliedAddress, dht->WantedAddress, 4);
        if (!InternalListen(dht))
            DHT_ERROR("Unable to listen for inbound connections");
    }
    if (dht->NeedStart && Socket_IsOpen(dht->Socket)) {
        dht->NeedStart = 0;
        InternalStartContacts(dht);
    }
    InternalRead(dht);
    DHT_InternalSend(dht);
    if (dht->Now - dht->LastStatistics > 1) {
        dht->LastStatistics = dht->Now;
        PoolStruct *const pools[4] = {dht->TransactionPool, dht->PeerPool, dht->NodePool,
                                      dht->RoutePool};
        int use[4] = {}, peak[4] = {};
        for (int i = 0; i < 4; i++) {
            Pool_GetInUse(pools[i], &use[i]);
            Pool_GetPeak(pools[i], &peak[i]);
        }
        double received = 0, sent = 0;
        Socket_GetAverageRates(dht->Socket, &received, &sent);
        Zyl_Print("T: %d/%d  P: %d/%d  N: %d/%d  R: %d/%d [R: %.2fk  W: %.2fk]\n", use[0], peak[0],
                  use[1], peak[1], use[2], peak[2], use[3], peak[3], received / 1024, sent / 1024);
    }
    if (dht->Now - dht->LastAudit > (double)kAuditSeconds) {
        dht->LastAudit = dht->Now;
        DHT_InternalAudit(dht);
        DHT_InternalPurgeObjects(dht);
    }
    if (dht->Now - dht->LastFilterReset > dht->FilterResetInterval)
        DHT_InternalResetFilter(dht);
    MUTEX_UNLOCK(dht->Mutex);
    return 1;
}
