// The manager's network front and shared services: the TCP and reliable-UDP
// listeners on one port, the accept passes, the pending handshakes, the
// per-cycle traffic wait, the shared scratch buffer, SHA-1 and the cache of
// key pairs. All of it runs on the manager thread; only the shared buffer
// has a lock.
#include <cerrno>

#include "core/alert.h"
#include "core/mutex.h"
#include "core/pool.h"
#include "core/random.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/bigint.h"
#include "engine/holepunch.h"
#include "engine/ipfilter.h"
#include "engine/manager_internal.h"
#include "engine/peer.h"
#include "engine/swarm.h"
#include "engine/transport.h"
#include "net/socket.h"
#include "net/udt.h"

static const char kPendingTag[] = "PendingStruct";
static const char kTrafficTag[] = "TrafficPeerStruct";

// The 768-bit prime of the encrypted handshake's key exchange.
static const char kPrimeHex[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E"
    "3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A63A36210000"
    "000000090563";

enum {
    kPendingPerChunk = 10,
    kTrafficPerChunk = 21,
    kListenAttempts = 3,
    kPrivateKeyBytes = 20,
    kPublicKeyMaxBytes = 96,
};

static const uint8_t kAllInterfaces[4] = {0, 0, 0, 2};

int Manager_InitNetwork(ManagerStruct *m) {
    POOL_CREATE(m->TrafficPool);
    Pool_SetMemberSize(m->TrafficPool, sizeof(TrafficPeerStruct));
    Pool_SetMembersPerChunk(m->TrafficPool, kTrafficPerChunk);
    for (TransportSelectStruct *&set : m->TrafficSets) {
        TransportSelect_Create(&set);
        TransportSelect_Bind(set, TRANSPORT_TYPE_NORMAL);
    }
    POOL_CREATE(m->PendingPool);
    Pool_SetMemberSize(m->PendingPool, sizeof(PendingStruct));
    Pool_SetMembersPerChunk(m->PendingPool, kPendingPerChunk);
    TransportSelect_Create(&m->ListenSets[0]);
    TransportSelect_Bind(m->ListenSets[0], TRANSPORT_TYPE_NORMAL);
    TransportSelect_Create(&m->ListenSets[1]);
    TransportSelect_Bind(m->ListenSets[1], TRANSPORT_TYPE_UDT);
    Transport_Create(&m->TCPListener);
    Transport_SetType(m->TCPListener, TRANSPORT_TYPE_NORMAL);
    Transport_Create(&m->UDTListener);
    Transport_SetType(m->UDTListener, TRANSPORT_TYPE_UDT);
    return 1;
}

static void InternalDropPending(ManagerStruct *m, PendingStruct *entry, int closeConnection) {
    for (PendingStruct **link = &m->Pending; *link; link = &(*link)->Next) {
        if (*link == entry) {
            *link = entry->Next;
            break;
        }
    }
    if (closeConnection) {
        // The connection owns the transport: destroying it closes and frees both.
        Transport_Close(entry->Transport);
        entry->Transport = nullptr;
        BitPeer_Destroy(&entry->Connection);
    }
    m->PendingCount--;
    entry->Tag = Zyl_DeadTag;
    POOL_FREE(m->PendingPool, entry, sizeof(PendingStruct));
}

int Manager_CloseNetwork(ManagerStruct *m) {
    HolePunch_SetUDTSocket(m->HolePunch, nullptr);
    Manager_StoreInt(m->TCPPort, 0);
    if (Transport_IsOpen(m->TCPListener))
        Transport_Close(m->TCPListener);
    if (Transport_IsOpen(m->UDTListener))
        Transport_Close(m->UDTListener);
    Manager_StoreInt(m->UDTPort, 0);
    while (m->Pending)
        InternalDropPending(m, m->Pending, 1);
    // The next start listens again.
    m->LastListen = ListenTripleStruct{};
    m->LastListenFailure = 0;
    return 1;
}

int Manager_DeinitNetwork(ManagerStruct *m) {
    while (m->Pending)
        InternalDropPending(m, m->Pending, 1);
    Pool_Destroy(&m->PendingPool);
    TransportSelect_Destroy(&m->ListenSets[0]);
    TransportSelect_Destroy(&m->ListenSets[1]);
    HolePunch_SetUDTSocket(m->HolePunch, nullptr);
    if (Transport_IsOpen(m->UDTListener))
        Transport_Close(m->UDTListener);
    Transport_Destroy(&m->UDTListener);
    if (Transport_IsOpen(m->TCPListener))
        Transport_Close(m->TCPListener);
    Transport_Destroy(&m->TCPListener);
    for (TransportSelectStruct *&set : m->TrafficSets)
        TransportSelect_Destroy(&set);
    Pool_Reset(m->TrafficPool);
    Pool_Destroy(&m->TrafficPool);
    m->TrafficFirst = m->TrafficLast = nullptr;
    m->TrafficCount = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Listening
// ---------------------------------------------------------------------------

#define ADDRESS_BYTES(a) (a)[0], (a)[1], (a)[2], (a)[3]

// The port choice shared by both listeners: the set port once, or three random
// ports of the range; then port 0 (the system's choice). Returns 1 when bound.
static int InternalBind(ManagerStruct *m, TransportStruct *listener, const char *kind,
                        const uint8_t address[4], int port, int attemptKind) {
    if (port != 0) {
        if (Transport_Bind(listener, address, port))
            return 1;
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Unable to %s bind for listen (%d.%d.%d.%d:%d) [%s]", kind,
                  ADDRESS_BYTES(address), port, Transport_GetLastErrorString(listener));
    } else {
        for (int attempt = 1; attempt <= kListenAttempts; attempt++) {
            int pick = 0;
            Manager_PickListenPort(m, &pick);
            if (Transport_Bind(listener, address, pick))
                return 1;
            Alert_Log(attemptKind, ALERT_LEVEL_NORMAL,
                      "Unable to %s bind for listen (%d.%d.%d.%d:%d) [%s] - attempt %d", kind,
                      ADDRESS_BYTES(address), pick, Transport_GetLastErrorString(listener),
                      attempt);
        }
    }
    if (Transport_Bind(listener, address, 0))
        return 1;
    Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
              "Unable to %s bind for listen (%d.%d.%d.%d:%d) [%s] - final", kind,
              ADDRESS_BYTES(address), 0, Transport_GetLastErrorString(listener));
    return 0;
}

// Opens a listener of either kind; logs when it cannot.
static int InternalOpen(TransportStruct *t, const char *kind) {
    if (Transport_Open(t))
        return 1;
    Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to open %s listener [%s]", kind,
              Transport_GetLastErrorString(t));
    return 0;
}

// The steps both listeners take once bound: listen, non-blocking, the bound
// port read back and logged. Returns the port, or 0 (logged) when a step failed.
static int InternalStartListening(ManagerStruct *m, TransportStruct *t, const char *kind,
                                  const uint8_t address[4], const uint8_t bind[4]) {
    if (!Transport_Listen(t)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to %s listen on (%d.%d.%d.%d:%d)",
                  kind, ADDRESS_BYTES(address), Manager_LoadInt(m->ListenPort));
        return 0;
    }
    if (!Transport_SetBlocking(t)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Unable to set %s listening port to non-blocking", kind);
        return 0;
    }
    uint8_t local[4] = {0, 0, 0, 0};
    int port = 0;
    Transport_GetSockName(t, local, &port);
    if (bind[0] != 0)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Manager Listening on %s, %d.%d.%d.%d:%d",
                  kind, ADDRESS_BYTES(local), port);
    else
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Manager Listening on %s, all interfaces, port %d", kind, port);
    if (!Manager_LoadInt(m->Inbound))
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Manager Listening %s (inbound) disabled for connections", kind);
    return port;
}

static int InternalListenTCP(ManagerStruct *m, const uint8_t address[4], const uint8_t bind[4]) {
    TransportStruct *t = m->TCPListener;
    if (!InternalOpen(t, "TCP"))
        return 0;
    Transport_SetBacklog(t);
    Transport_SetReuseAddress(t);
    int port = 0;
    if (InternalBind(m, t, "TCP", address, Manager_LoadInt(m->ListenPort), ALERT_KIND_ERROR))
        port = InternalStartListening(m, t, "TCP", address, bind);
    if (port == 0) {
        Transport_Close(t);
        return 0;
    }
    Manager_StoreInt(m->ListenPort, port);
    Manager_StoreInt(m->TCPPort, port);
    return 1;
}

static int InternalFailUDT(ManagerStruct *m) {
    HolePunch_SetUDTSocket(m->HolePunch, nullptr);
    Transport_Close(m->UDTListener);
    Manager_StoreInt(m->UDTPort, 0);
    return 0;
}

static int InternalListenUDT(ManagerStruct *m, const uint8_t address[4], const uint8_t bind[4]) {
    TransportStruct *t = m->UDTListener;
    if (!InternalOpen(t, "UDT"))
        return InternalFailUDT(m);
    Transport_SetReuseAddress(t);
    int port = 0;
    if (InternalBind(m, t, "UDT", address, Manager_LoadInt(m->ListenPort), ALERT_KIND_NOTICE))
        port = InternalStartListening(m, t, "UDT", address, bind);
    if (port == 0)
        return InternalFailUDT(m);
    void *udt = nullptr;
    SocketStruct *channel = nullptr;
    if (Transport_GetUDTSocket(t, &udt) &&
        UDTSocket_GetChannelSocket(static_cast<UDTSocketStruct *>(udt), &channel))
        HolePunch_SetUDTSocket(m->HolePunch, channel);
    Manager_StoreInt(m->UDTPort, port);
    return 1;
}

int Manager_Listen(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ManagerStruct *m = manager;
    HolePunch_SetUDTSocket(m->HolePunch, nullptr);
    Manager_StoreInt(m->TCPPort, 0);
    if (Transport_IsOpen(m->TCPListener))
        Transport_Close(m->TCPListener);
    if (Transport_IsOpen(m->UDTListener))
        Transport_Close(m->UDTListener);
    Manager_StoreInt(m->UDTPort, 0);
    uint8_t bind[4];
    Manager_GetBindAddress(m, bind);
    const uint8_t *address = bind[0] != 0 ? bind : kAllInterfaces;
    if (!InternalListenTCP(m, address, bind))
        return 0;
    return InternalListenUDT(m, address, bind);
}

// Read from other threads (traversal, job code): the port is kept in a word
// of its own, written by the listener's thread when it opens and closes.
int Manager_GetLocalPort(ManagerStruct *manager, int *port) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(port);
    *port = Manager_LoadInt(manager->TCPPort);
    return *port != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Accepting
// ---------------------------------------------------------------------------

// An accept that failed for want of descriptors is logged at most once a
// second, and the cycle stops accepting so that it does not spin on it.
static void InternalAcceptFailed(ManagerStruct *m, TransportStruct *listener) {
    m->AcceptStalled = 1;
    const double now = Manager_Now(m);
    if (m->LastAcceptFailure == 0 || now - m->LastAcceptFailure >= 1.0) {
        m->LastAcceptFailure = now > 0 ? now : 1e-9;
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to accept connection (%d) [%s]",
                  Transport_GetLastError(listener), Transport_GetLastErrorString(listener));
    }
}

int Manager_Accept(ManagerStruct *manager, TransportStruct *listener) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(listener);
    ManagerStruct *m = manager;
    TransportStruct *t = nullptr;
    if (!Transport_Accept(listener, &t)) {
        InternalAcceptFailed(m, listener);
        return 0;
    }
    if (t == nullptr)
        return 0;
    if (!Transport_IsOpen(t)) {
        Transport_Destroy(&t);
        return 0;
    }
    const uint32_t id = Manager_HandleId(t);
    if (!Manager_LoadInt(m->Inbound)) {
        Transport_Destroy(&t);
        return 0;
    }
    const int limit = Manager_LoadInt(m->IncomingHandshakeLimit);
    if (limit > 0 && m->HandshakeCount > limit) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Incoming Handshake connects limit hit (%d > %d)", m->HandshakeCount, limit);
        Transport_Close(t);
        Transport_Destroy(&t);
        return 1;
    }
    if (m->PendingCount >= MANAGER_MAX_PENDING) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "%.8X: Pending handshake limit hit (%d)",
                  id, m->PendingCount);
        Transport_Close(t);
        Transport_Destroy(&t);
        return 1;
    }
    uint8_t address[4] = {0, 0, 0, 0};
    int port = 0;
    Transport_GetRemoteAddress(t, address, &port);
    char name[32];
    Transport_GetName(t, name, sizeof name);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%.8X: Accept [%d.%d.%d.%d:%d/%s]", id,
              ADDRESS_BYTES(address), port, name);
    if (!IPFilter_Check(m->IPFilter, address, port)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%.8X: Socket filtered by IP rule", id);
        Transport_Destroy(&t);
        return 0;
    }
    if (m->MemberCount == 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "%.8X: No base object set", id);
        Transport_Destroy(&t);
        return 0;
    }
    if (!Transport_SetBlocking(t)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "%.8X: Unable to set blocking", id);
        Transport_Destroy(&t);
        return 0;
    }
    PendingStruct *entry =
        static_cast<PendingStruct *>(POOL_ALLOC(m->PendingPool, sizeof(PendingStruct)));
    *entry = PendingStruct{};
    entry->Tag = kPendingTag;
    BitPeer_Create(&entry->Connection);
    BitPeer_SetDirection(entry->Connection, BITPEER_DIRECTION_INCOMING);
    BitPeer_SetTransport(entry->Connection, t);
    BitPeer_SetState(entry->Connection, BITPEER_STATE_CONTACT);
    entry->AcceptedAt = Manager_Now(m);
    entry->Transport = t;
    entry->Next = m->Pending;
    m->Pending = entry;
    m->PendingCount++;
    return 1;
}

int Manager_AcceptPasses(ManagerStruct *manager, int *accepted) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(accepted);
    ManagerStruct *m = manager;
    *accepted = 0;
    m->AcceptStalled = 0;
    const int n = Manager_LoadInt(m->AcceptPasses);
    int count = 0;
    for (int i = 0; n >= 0 && i <= n && !m->AcceptStalled; i++) {
        int readable = 0;
        TransportStruct *listeners[2] = {m->TCPListener, m->UDTListener};
        for (int k = 0; k < 2; k++) {
            TransportSelectStruct *set = m->ListenSets[k];
            Transport_SelectClear(set);
            if (!Transport_IsOpen(listeners[k]))
                continue;
            // The idle wait just watched the TCP listener: a connection that came
            // since is taken in the next cycle, without a second poll now.
            if (k == 0 && i == 0 && m->ListenQuiet)
                continue;
            Transport_SelectAdd(listeners[k], set);
            int ready = 0;
            if (Transport_Wait(set, nullptr, nullptr, 0, &ready) && ready > 0 &&
                Transport_SelectIsSet(listeners[k], set)) {
                readable = 1;
                Manager_Accept(m, listeners[k]);
            }
        }
        if (!readable)
            break;
        count++;
    }
    m->ListenQuiet = 0;
    if (count > 1)
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Accept queue size of (%d)", count);
    *accepted = count;
    return 1;
}

// ---------------------------------------------------------------------------
// Pending handshakes
// ---------------------------------------------------------------------------

static void InternalHandOver(ManagerStruct *m, PendingStruct *entry, ManagerMemberStruct *member,
                             const char *text) {
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member, &base);
    BitBaseStruct *swarm = nullptr;
    Base_GetBitBase(base, &swarm);
    char type[80];
    BitPeer_GetConnectionTypeName(entry->Connection, type, sizeof type);
    const uint32_t id = Manager_HandleId(entry->Transport);
    const int taken = BitBase_Contact(swarm, entry->Connection);
    if (taken)
        Base_Log(base, "Inheriting peer [%s] [%.8X] [%s]", text, id, type);
    else
        Base_Log(base, "Unable to inherit peer [%s] [%.8X] [%s]", text, id, type);
    Manager_ReleaseMember(m, &member);
    if (taken) {
        entry->Connection = nullptr;
        entry->Transport = nullptr;
    }
    InternalDropPending(m, entry, taken ? 0 : 1);
}

int Manager_ProcessPending(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ManagerStruct *m = manager;
    const double now = Manager_Now(m);
    PendingStruct *next = nullptr;
    for (PendingStruct *entry = m->Pending; entry; entry = next) {
        next = entry->Next;
        char text[TRANSPORT_ADDRESS_STRING_SIZE];
        Transport_GetAddressString(entry->Transport, text);
        ManagerMemberStruct *member = nullptr;
        if (!BitPeer_Identify(entry->Connection, m, &member)) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%.8X: Tagged to close/remove [%s]",
                      Manager_HandleId(entry->Transport), text);
            InternalDropPending(m, entry, 1);
        } else if (member) {
            InternalHandOver(m, entry, member, text);
        } else if (now - entry->AcceptedAt >= (double)MANAGER_PENDING_SECONDS) {
            InternalDropPending(m, entry, 1);
        }
    }
    return 1;
}

int Manager_GetPendingCount(ManagerStruct *manager, int *count) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(count);
    *count = manager->PendingCount;
    return 1;
}

// ---------------------------------------------------------------------------
// Traffic wait
// ---------------------------------------------------------------------------

static void InternalUnlinkTraffic(ManagerStruct *m, TrafficPeerStruct *e) {
    if (e->Previous)
        e->Previous->Next = e->Next;
    else
        m->TrafficFirst = e->Next;
    if (e->Next)
        e->Next->Previous = e->Previous;
    else
        m->TrafficLast = e->Previous;
    e->Next = e->Previous = nullptr;
    m->TrafficCount--;
}

int Manager_AddTrafficPeer(ManagerStruct *manager, TransportStruct *transport, uint64_t key) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(transport);
    ManagerStruct *m = manager;
    TrafficPeerStruct *e = nullptr;
    if (m->TrafficCount < MANAGER_TRAFFIC_PEERS) {
        e = static_cast<TrafficPeerStruct *>(POOL_ALLOC(m->TrafficPool, sizeof(TrafficPeerStruct)));
    } else {
        if (key < m->TrafficLast->Key)
            return 0;
        e = m->TrafficLast;
        InternalUnlinkTraffic(m, e);
    }
    *e = TrafficPeerStruct{};
    e->Tag = kTrafficTag;
    e->Transport = transport;
    e->Key = key;
    // Before the first smaller key, so that among equal keys the newer comes
    // after the older; at the end when no key is smaller.
    TrafficPeerStruct *at = m->TrafficFirst;
    while (at && at->Key >= key)
        at = at->Next;
    if (at == nullptr) {
        e->Previous = m->TrafficLast;
        if (m->TrafficLast)
            m->TrafficLast->Next = e;
        else
            m->TrafficFirst = e;
        m->TrafficLast = e;
    } else {
        e->Next = at;
        e->Previous = at->Previous;
        if (at->Previous)
            at->Previous->Next = e;
        else
            m->TrafficFirst = e;
        at->Previous = e;
    }
    m->TrafficCount++;
    return 1;
}

int Manager_RemoveTrafficPeer(ManagerStruct *manager, TransportStruct *transport) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    for (TrafficPeerStruct *e = manager->TrafficFirst; e; e = e->Next) {
        if (e->Transport == transport) {
            InternalUnlinkTraffic(manager, e);
            e->Tag = Zyl_DeadTag;
            return 1;
        }
    }
    return 0;
}

int Manager_GetTrafficKeys(ManagerStruct *manager, uint64_t *keys, int max, int *count) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    for (TrafficPeerStruct *e = manager->TrafficFirst; e && *count < max; e = e->Next)
        keys[(*count)++] = e->Key;
    return 1;
}

int Manager_IdleWait(ManagerStruct *m) {
    TransportSelectStruct *set = m->ListenSets[0];
    Transport_SelectClear(set);
    if (m->AcceptStalled || !Transport_IsOpen(m->TCPListener)) {
        Zyl_SleepMilliseconds(1);
        return 1;
    }
    int wait = m->IdleWaitMs;
    if (m->IdleBusy || wait < MANAGER_IDLE_WAIT_MS)
        wait = MANAGER_IDLE_WAIT_MS;
    if (wait > MANAGER_IDLE_WAIT_MAX_MS)
        wait = MANAGER_IDLE_WAIT_MAX_MS;
    Transport_SelectAdd(m->TCPListener, set);
    int ready = 0;
    const int waited = Transport_Wait(set, nullptr, nullptr, wait, &ready);
    m->ListenQuiet = waited && ready == 0 ? 1 : 0;
    // Nothing in flight and nobody came: sleep longer next time. A connection
    // ends the wait at once whatever its length; the downloads' own timers
    // count in seconds.
    m->IdleWaitMs = m->ListenQuiet ? wait * 2 : MANAGER_IDLE_WAIT_MS;
    return 1;
}

int Manager_WaitForTraffic(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ManagerStruct *m = manager;
    TransportSelectStruct *read = m->TrafficSets[0];
    TransportSelectStruct *write = m->TrafficSets[1];
    Transport_SelectClear(read);
    Transport_SelectClear(write);
    if (m->TrafficCount > 0 && m->TrafficFirst->Key > 0) {
        // Bytes moved this cycle (the largest key comes first): the next cycle
        // runs at once, with no wait to tell it what it will find anyway.
        m->IdleWaitMs = MANAGER_IDLE_WAIT_MS;
        m->ListenQuiet = 0;
    } else if (m->TrafficCount > 0) {
        m->IdleWaitMs = MANAGER_IDLE_WAIT_MS;
        for (TrafficPeerStruct *e = m->TrafficFirst; e; e = e->Next) {
            Transport_SelectAdd(e->Transport, read);
            Transport_SelectAdd(e->Transport, write);
        }
        // The TCP listener shares the wait: the next cycle's accept pass polls
        // it again only when it was ready (or was not watched).
        const int listen = !m->AcceptStalled && Transport_IsOpen(m->TCPListener);
        if (listen)
            Transport_SelectAdd(m->TCPListener, read);
        int ready = 0;
        const int waited = Transport_Wait(read, write, nullptr, 1, &ready);
        m->ListenQuiet = listen && waited && !Transport_SelectIsSet(m->TCPListener, read) ? 1 : 0;
    } else if (m->PendingCount == 0) {
        Manager_IdleWait(m);
    } else {
        m->IdleWaitMs = MANAGER_IDLE_WAIT_MS;
        Zyl_SleepMilliseconds(1);
    }
    Pool_Reset(m->TrafficPool);
    m->TrafficFirst = m->TrafficLast = nullptr;
    m->TrafficCount = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Shared buffer, SHA-1, handshakes, key pairs
// ---------------------------------------------------------------------------

int Manager_LockSharedBuffer(ManagerStruct *manager, int size, uint8_t **buffer) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(buffer);
    *buffer = nullptr;
    if (!MUTEX_LOCK(manager->SharedLock))
        return 0;
    if (manager->SharedSize < size) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Resizing shared buffer from %dk to %dk",
                  manager->SharedSize / 1024, size / 1024);
        if (manager->SharedSize > 0)
            ZYL_FREE(manager->SharedBuffer, manager->SharedSize);
        manager->SharedBuffer = static_cast<uint8_t *>(ZYL_ALLOC(size));
        manager->SharedSize = size;
    }
    *buffer = manager->SharedBuffer;
    return 1;
}

int Manager_UnlockSharedBuffer(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    return MUTEX_UNLOCK(manager->SharedLock);
}

int Manager_HashSHA1(ManagerStruct *manager, const void *data, int length, uint8_t digest[20]) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(digest);
    if (length > 0)
        ZYL_CHECK_PTR(data);
    Sha1_Init(manager->Sha1);
    Sha1_Update(manager->Sha1, data, length);
    Sha1_Final(manager->Sha1);
    return Sha1_GetDigest(manager->Sha1, digest, 20);
}

int Manager_GetHandshakeCount(ManagerStruct *manager, int *count) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(count);
    *count = manager->HandshakeCount;
    return 1;
}

int Manager_AddHandshake(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    manager->HandshakeCount++;
    return 1;
}

int Manager_RemoveHandshake(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    if (manager->HandshakeCount > 0)
        manager->HandshakeCount--;
    return 1;
}

static void InternalFillSlot(ManagerStruct *m, KeySlotStruct *slot, double now, uint32_t r) {
    BigInt_FromHex(slot->Prime, kPrimeHex);
    uint8_t secret[kPrivateKeyBytes];
    for (uint8_t &byte : secret)
        byte = (uint8_t)Random_Next(m->Random);
    BigInt_FromBytes(kPrivateKeyBytes, slot->Private, secret);
    BigInt_ModExp(slot->Public, m->Generator, slot->Private, slot->Prime);
    const int bytes = BigInt_NumBytes(slot->Public);
    if (bytes > kPublicKeyMaxBytes) {
        ZYL_FATAL("Key generated too large (%d)\n", bytes);
    }
    slot->Expiry = now + 240 + 60 * (double)r;
}

int Manager_GetKeyPair(ManagerStruct *manager, BigIntStruct *privateKey, BigIntStruct *publicKey,
                       BigIntStruct *prime, int *slot) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(privateKey);
    ZYL_CHECK_PTR(publicKey);
    ZYL_CHECK_PTR(prime);
    const double now = Manager_Now(manager);
    int free = -1;
    for (int i = 0; i < MANAGER_KEY_SLOTS && free < 0; i++) {
        if (manager->Keys[i].Expiry == 0 || manager->Keys[i].Expiry < now)
            free = i;
    }
    const uint32_t r = Random_Next(manager->Random) & 3u;
    int chosen = (int)r;
    if (free >= 0) {
        InternalFillSlot(manager, &manager->Keys[free], now, r);
        chosen = free;
    }
    const KeySlotStruct &k = manager->Keys[chosen];
    BigInt_Copy(privateKey, k.Private);
    BigInt_Copy(publicKey, k.Public);
    BigInt_Copy(prime, k.Prime);
    if (slot)
        *slot = chosen;
    return 1;
}
