// The swarm: life and settings, the member list with its use counts and purge,
// admission of accepted connections, outgoing connects with the type
// fall-backs, the tick that steps every connection in select batches, totals,
// rates and the status line. Choking and the timed passes: swarm_choke.cpp.
#include "engine/swarm.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/mutex.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/peer.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "engine/swarm_internal.h"
#include "engine/tracker.h"
#include "engine/transport.h"

const char BitBase_Tag[] = "BitBaseStruct";
static const char kMemberTag[] = "BitBaseMemberStruct";

double BitBase_Now(BitBaseStruct *swarm) {
    return swarm->Manager ? Manager_Now(swarm->Manager) : Zyl_GetTickSeconds();
}

static int InternalLoad(const int &field) {
    return std::atomic_ref<int>(const_cast<int &>(field)).load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int BitBase_Create(BitBaseStruct **swarm) {
    ZYL_CHECK_PTR(swarm);
    BitBaseStruct *s = ZYL_NEW(BitBaseStruct);
    s->Tag = BitBase_Tag;
    BitBase_Init(s);
    *swarm = s;
    return 1;
}

int BitBase_Init(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    s->Verbose = 1;
    Mutex_Create(&s->Mutex);
    s->PureSource = 1;
    s->OutboundEnabled = 1;
    s->PeerParameter = 10;
    s->PieceOrder = PIECE_ORDER_SCARCITY;
    s->SliceTimeout = 120;
    s->ValueTimeout = 300;
    s->FreeSlotUnchoke = 1;
    s->CloseSeeds = 1;
    s->RequestParameter = 20;
    s->HardPeerLimit = 0x10000;
    s->ConnectTimeout = 20;
    s->ConnectInterval = 5;
    s->KeepAliveInterval = 120;
    s->SlotCount = BITBASE_SLOTS;
    s->Slots = static_cast<BitBaseMemberStruct **>(
        ZYL_ALLOC(sizeof(BitBaseMemberStruct *) * BITBASE_SLOTS));
    s->UnchokeInterval = 30;
    s->HaveQueueSize = BITBASE_HAVE_QUEUE;
    s->HaveQueue =
        static_cast<BitBaseHaveStruct *>(ZYL_ALLOC(sizeof(BitBaseHaveStruct) * BITBASE_HAVE_QUEUE));
    Zyl_StrCopy(s->LastLine, "Initialized", sizeof s->LastLine);
    Bitfield_Create(&s->Availability);
    for (int i = 0; i < 4; i++) {
        TransportSelect_Create(&s->Sets[i]);
        TransportSelect_Bind(s->Sets[i], i < 2 ? TRANSPORT_TYPE_NORMAL : TRANSPORT_TYPE_UDT);
    }
    return 1;
}

int BitBase_Deinit(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    BitBase_SetActive(s, 0);
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        if (m->InUse != 0) {
            char name[40];
            if (m->Connection)
                Zyl_FormatString(name, sizeof name, "Peer [%.8X]",
                                 Manager_HandleId(m->Connection->Transport));
            else
                Zyl_FormatString(name, sizeof name, "Null peer [%.8X]", Manager_HandleId(m));
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "BitBase member instance still in use (%d:%s)", m->InUse, name);
        }
        if (!m->Removed)
            BitBase_RemoveMember(s, m);
    }
    BitBase_Purge(s, 1);
    ZYL_FREE(s->Slots, sizeof(BitBaseMemberStruct *) * s->SlotCount);
    ZYL_FREE(s->HaveQueue, sizeof(BitBaseHaveStruct) * s->HaveQueueSize);
    for (TransportSelectStruct *&set : s->Sets)
        TransportSelect_Destroy(&set);
    Bitfield_Destroy(&s->Availability);
    SliceProgress_Destroy(&s->Progress);
    Mutex_Close(&s->Mutex);
    return 1;
}

int BitBase_Destroy(BitBaseStruct **swarm) {
    ZYL_CHECK_PTR(swarm);
    BitBaseStruct *s = *swarm;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, BitBase_Tag);
    *swarm = nullptr;
    BitBase_Deinit(s);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(BitBaseStruct));
    return 1;
}

int BitBase_SetParent(BitBaseStruct *swarm, BaseStruct *base) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(base);
    if (swarm->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    swarm->Base = base;
    Base_GetParent(base, &swarm->Manager);
    Base_GetContent(base, &swarm->Content);
    Base_GetIPList(base, &swarm->IPList);
    Base_GetTracker(base, &swarm->Tracker);
    return 1;
}

int BitBase_GetProgress(BitBaseStruct *swarm, SliceProgressStruct **progress) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(progress);
    *progress = nullptr;
    if (swarm->Progress == nullptr) {
        BitfieldStruct *aux = nullptr;
        if (swarm->Content == nullptr || !Content_GetAuxBitfield(swarm->Content, &aux) ||
            aux == nullptr)
            return 0;
        SliceProgress_Create(&swarm->Progress, aux);
    }
    *progress = swarm->Progress;
    return 1;
}

// ---------------------------------------------------------------------------
// Member list
// ---------------------------------------------------------------------------

static int InternalLock(BitBaseStruct *s) {
    return MUTEX_LOCK(s->Mutex);
}

static void InternalUnlock(BitBaseStruct *s) {
    MUTEX_UNLOCK(s->Mutex);
}

int BitBase_AddMember(BitBaseStruct *swarm, BitBaseMemberStruct *member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    BitBaseStruct *s = swarm;
    if (!InternalLock(s))
        return 0;
    if (member->Connection && member->Connection->Transport &&
        Transport_IsAccepted(member->Connection->Transport) == 1)
        s->AddedIncoming++;
    else
        s->AddedOutgoing++;
    member->InUse++;
    member->Removed = 0;
    member->Previous = nullptr;
    member->Next = s->Members;
    if (s->Members)
        s->Members->Previous = member;
    s->Members = member;
    s->MemberCount++;
    InternalUnlock(s);
    if (s->MemberCallback)
        s->MemberCallback(s, member->Connection, s->MemberContext, 1);
    return 1;
}

// A connection's byte counts, read whole: they are written by the manager
// thread and read for display from others.
static void InternalPeerTotals(BitPeerStruct *p, TransferTotalsStruct *t) {
    t->Received = (uint64_t)__atomic_load_n(&p->BytesReceived, __ATOMIC_RELAXED);
    t->Sent = (uint64_t)__atomic_load_n(&p->BytesSent, __ATOMIC_RELAXED);
    t->Confirmed = (uint64_t)__atomic_load_n(&p->GoodBytes, __ATOMIC_RELAXED);
    t->Corrupt = (uint64_t)__atomic_load_n(&p->CorruptBytes, __ATOMIC_RELAXED);
    t->Discarded = (uint64_t)__atomic_load_n(&p->BadBytes, __ATOMIC_RELAXED);
}

int BitBase_RemoveMember(BitBaseStruct *swarm, BitBaseMemberStruct *member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    BitBaseStruct *s = swarm;
    if (!InternalLock(s))
        return 0;
    if (member->Removed) {
        InternalUnlock(s);
        return 1; // counted once
    }
    if (member->Connection) {
        TransferTotalsStruct t = {};
        InternalPeerTotals(member->Connection, &t);
        TransferTotals_Add(&s->Departed, t);
    }
    s->MemberCount--;
    member->Removed = 1;
    InternalUnlock(s);
    if (s->MemberCallback)
        s->MemberCallback(s, member->Connection, s->MemberContext, 0);
    return 1;
}

int BitBase_Purge(BitBaseStruct *swarm, int force) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    if (!InternalLock(s))
        return 0;
    BitBaseMemberStruct *freed = nullptr;
    BitBaseMemberStruct *next = nullptr;
    for (BitBaseMemberStruct *m = s->Members; m; m = next) {
        next = m->Next;
        if (!m->Removed || (m->InUse != 0 && force != 1))
            continue;
        if (m->Previous)
            m->Previous->Next = m->Next;
        else
            s->Members = m->Next;
        if (m->Next)
            m->Next->Previous = m->Previous;
        for (int i = 0; i < s->SlotCount; i++)
            if (s->Slots[i] == m)
                s->Slots[i] = nullptr;
        m->Next = freed;
        freed = m;
    }
    InternalUnlock(s);
    // Connections are destroyed outside the mutex: their close path reads the swarm.
    while (freed) {
        BitBaseMemberStruct *m = freed;
        freed = m->Next;
        BitPeer_Destroy(&m->Connection);
        m->Tag = Zyl_DeadTag;
        ZYL_FREE(m, sizeof(BitBaseMemberStruct));
    }
    return 1;
}

static BitBaseMemberStruct *InternalNextPresent(BitBaseMemberStruct *m) {
    while (m && m->Removed)
        m = m->Next;
    return m;
}

int BitBase_GetFirstMember(BitBaseStruct *swarm, BitBaseMemberStruct **member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!InternalLock(swarm))
        return 0;
    BitBaseMemberStruct *m = InternalNextPresent(swarm->Members);
    if (m)
        m->InUse++;
    InternalUnlock(swarm);
    *member = m;
    return m ? 1 : 0;
}

int BitBase_GetNextMember(BitBaseMemberStruct *member, BitBaseStruct *swarm,
                          BitBaseMemberStruct **next) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(next);
    *next = nullptr;
    if (!InternalLock(swarm))
        return 0;
    BitBaseMemberStruct *m = InternalNextPresent(member->Next);
    if (m)
        m->InUse++;
    if (member->InUse > 0)
        member->InUse--;
    InternalUnlock(swarm);
    *next = m;
    return m ? 1 : 0;
}

int BitBase_UseMember(BitBaseStruct *swarm, BitBaseMemberStruct *member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (member == nullptr || !InternalLock(swarm))
        return 0;
    int linked = 0;
    for (BitBaseMemberStruct *m = swarm->Members; m && !linked; m = m->Next)
        linked = m == member;
    if (linked)
        member->InUse++;
    InternalUnlock(swarm);
    return linked;
}

int BitBase_ReleaseMember(BitBaseStruct *swarm, BitBaseMemberStruct *member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    if (!InternalLock(swarm))
        return 0;
    if (member->InUse > 0)
        member->InUse--;
    InternalUnlock(swarm);
    return 1;
}

int BitBaseMember_GetPeer(BitBaseMemberStruct *member, BitPeerStruct **peer) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(peer);
    *peer = member->Connection;
    return member->Connection != nullptr;
}

int BitBase_FindMemberByAddress(BitBaseStruct *swarm, const uint8_t address[4], int port,
                                BitBaseMemberStruct **member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    int comparePorts = 1;
    if (swarm->Manager)
        Manager_GetIPListComparePorts(swarm->Manager, &comparePorts);
    if (!InternalLock(swarm))
        return 0;
    for (BitBaseMemberStruct *m = swarm->Members; m && !*member; m = m->Next) {
        BitPeerStruct *p = m->Connection;
        if (m->Removed || p == nullptr || p->State == BITPEER_STATE_FAILURE ||
            p->Transport == nullptr)
            continue;
        uint8_t at[4] = {0, 0, 0, 0};
        int atPort = 0;
        Transport_GetRemoteAddress(p->Transport, at, &atPort);
        if (memcmp(at, address, 4) == 0 && (!comparePorts || atPort == port)) {
            m->InUse++;
            *member = m;
        }
    }
    InternalUnlock(swarm);
    return *member ? 1 : 0;
}

static BitBaseMemberStruct *InternalNewMember(BitPeerStruct *peer) {
    BitBaseMemberStruct *m = ZYL_NEW(BitBaseMemberStruct);
    m->Tag = kMemberTag;
    m->Connection = peer;
    return m;
}

// ---------------------------------------------------------------------------
// Admission and connects
// ---------------------------------------------------------------------------

int BitBase_ApplyPeerSettings(BitPeerStruct *peer, BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitPeer_SetVerbose(peer, 0);
    BitPeer_SetParent(peer, swarm->Base);
    BitPeer_SetPieceOrder(peer, swarm->PieceOrder);
    BitPeer_SetHaveSuppression(peer, swarm->HaveSuppression);
    BitPeer_SetRequestDepth(peer, swarm->RequestParameter);
    BitPeer_SetChokeHandoff(peer, swarm->ChokeHandoff);
    BitPeer_SetSeedingMode(peer, swarm->SeedingMode);
    BitPeer_SetPeerParameter(peer, swarm->PeerParameter);
    return BitPeer_SetState(peer, BITPEER_STATE_CONTACT);
}

int BitBase_Contact(BitBaseStruct *swarm, BitPeerStruct *peer) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(peer);
    BitBaseStruct *s = swarm;
    if (s->HardPeerLimit >= 1 && s->MemberCount >= s->HardPeerLimit) {
        BitBase_Log(s, "Too many connected peers (%d >= %d)", s->MemberCount, s->HardPeerLimit);
        return 0;
    }
    uint8_t address[4] = {0, 0, 0, 0};
    int port = 0;
    TransportStruct *transport = nullptr;
    BitPeer_GetTransport(peer, &transport);
    if (transport)
        Transport_GetRemoteAddress(transport, address, &port);
    BitBaseMemberStruct *old = nullptr;
    if (BitBase_FindMemberByAddress(s, address, port, &old)) {
        BitPeerStruct *other = old->Connection;
        const int state = other->State;
        if (state >= BITPEER_STATE_SELECT && state <= BITPEER_STATE_GOOD) {
            BitBase_Log(s, "Already connected [%d.%d.%d.%d:%d] [%d:%s]", address[0], address[1],
                        address[2], address[3], port, state, BitPeer_GetStateName(state));
            BitBase_ReleaseMember(s, old);
            return 0;
        }
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Overriding existing connection [%d.%d.%d.%d:%d] [%d:%s]\n", address[0],
                  address[1], address[2], address[3], port, state, BitPeer_GetStateName(state));
        BitPeer_Close(other, "Connect override", 0);
        BitBase_RemoveMember(s, old);
        BitBase_ReleaseMember(s, old);
    }
    IPListMemberStruct *entry = nullptr;
    if (s->IPList && !IPList_Find(address, s->IPList, &entry, 1, port)) {
        if (IPList_AddMember(&entry, s->IPList, address, port) && entry)
            IPList_SetOrigin(entry, IPLIST_ORIGIN_ACCEPTED);
    }
    if (entry) {
        int state = 0;
        IPList_GetState(entry, &state);
        if (state == IPLIST_STATE_FILTERED || state == IPLIST_STATE_BLOCKED) {
            BitBase_Log(s, "This peer has been blocked or filtered");
            return 0;
        }
        IPList_SetState(s->IPList, IPLIST_STATE_CONTACT, entry);
    }
    // The handshake bytes already read stay in the stream for the swarm's steps.
    const int type = peer->ConnectionType;
    BitBase_ApplyPeerSettings(peer, s);
    peer->ConnectionType = type;
    BitBaseMemberStruct *m = InternalNewMember(peer);
    BitBase_AddMember(s, m);
    BitBase_ReleaseMember(s, m);
    return 1;
}

int BitBase_NextConnectionType(int current, BitBaseStruct *swarm, int *next) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(next);
    *next = 0;
    static const int kOrder[] = {BITPEER_TYPE_PE, BITPEER_TYPE_MUNGE, BITPEER_TYPE_PLAINTEXT,
                                 BITPEER_TYPE_NORMAL};
    int allowed = BITPEER_TYPE_NORMAL | BITPEER_TYPE_MUNGE | BITPEER_TYPE_PE;
    if (swarm->Manager)
        Manager_GetOutgoingConnectionTypes(swarm->Manager, &allowed);
    int closed = 0;
    if (swarm->Content)
        Content_GetClosed(swarm->Content, &closed);
    if (closed)
        allowed &= BITPEER_TYPE_PE;
    int start = 0;
    if (current != 0) {
        start = 4;
        for (int i = 0; i < 4; i++)
            if (kOrder[i] == current)
                start = i + 1;
    }
    for (int i = start; i < 4; i++) {
        if (allowed & kOrder[i]) {
            *next = kOrder[i];
            return 1;
        }
    }
    return 0;
}

int BitBase_NextTransportType(int *next, BitBaseStruct *swarm, int current) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(next);
    *next = 0;
    int allowed = TRANSPORT_TYPE_NORMAL;
    if (swarm->Manager)
        Manager_GetOutgoingTransports(swarm->Manager, &allowed);
    for (int type = current + 1; type <= TRANSPORT_TYPE_COUNT; type++) {
        if (allowed & type) {
            *next = type;
            return 1;
        }
    }
    return 0;
}

int BitBase_ContactPeer(BitBaseStruct *swarm, BitBaseMemberStruct *member, const uint8_t address[4],
                        int port, TransportStruct *transport) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(transport);
    BitBaseStruct *s = swarm;
    if (s->HardPeerLimit >= 1 && s->MemberCount >= s->HardPeerLimit)
        return 0;
    BitBaseMemberStruct *found = nullptr;
    if (BitBase_FindMemberByAddress(s, address, port, &found)) {
        BitBase_ReleaseMember(s, found);
        return 0;
    }
    if (member && member->Connection && member->Connection->ConnectionType == BITPEER_TYPE_PE)
        BitPeer_LoadKeyPair(member->Connection);
    if (!Transport_Open(transport) || !Transport_SetBlocking(transport))
        return 0;
    int type = 0;
    Transport_GetType(transport, &type);
    BitBase_Log(s, "Contacting peer [%d.%d.%d.%d:%d] [%.8X] [%X]", address[0], address[1],
                address[2], address[3], port, Manager_HandleId(transport), type);
    if (s->Manager) {
        int connects = 0;
        Manager_GetActiveConnects(s->Manager, &connects);
        Manager_SetActiveConnects(s->Manager, connects + 1);
    }
    return Transport_Connect(transport, address, port);
}

int BitBase_Connect(TransportStruct *transport, const uint8_t address[4], BitBaseStruct *swarm,
                    int port) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (!BitBase_ContactPeer(swarm, nullptr, address, port, transport))
        return 0;
    int type = 0;
    BitBase_NextConnectionType(0, swarm, &type);
    BitPeerStruct *peer = nullptr;
    BitPeer_Create(&peer);
    BitPeer_SetTransport(peer, transport);
    BitPeer_SetDirection(peer, BITPEER_DIRECTION_OUTGOING);
    BitPeer_SetConnectionType(peer, type);
    BitBase_ApplyPeerSettings(peer, swarm);
    if (type == BITPEER_TYPE_PE)
        BitPeer_LoadKeyPair(peer);
    char names[80];
    BitPeer_TypeName(type, names, sizeof names);
    BitBase_Log(swarm, "Attempting connection type [%s]", names);
    BitBaseMemberStruct *m = InternalNewMember(peer);
    memcpy(m->Address, address, 4);
    m->Port = port;
    BitBase_AddMember(swarm, m);
    BitBase_ReleaseMember(swarm, m);
    return 1;
}

int BitBase_RetryNextType(BitBaseStruct *swarm, BitBaseMemberStruct *member) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    BitPeerStruct *p = member->Connection;
    // An accepted connection has no address of ours to call back.
    if (p == nullptr || p->Transport == nullptr || member->Port == 0 ||
        Transport_IsAccepted(p->Transport) == 1)
        return 0;
    char oldName[80], newName[80];
    BitPeer_TypeName(p->ConnectionType, oldName, sizeof oldName);
    int type = 0;
    if (!BitBase_NextConnectionType(p->ConnectionType, swarm, &type)) {
        int transport = 0, next = 0;
        Transport_GetType(p->Transport, &transport);
        if (!BitBase_NextTransportType(&next, swarm, transport))
            return 0;
        Transport_SetType(p->Transport, next);
        Stream_SetTransport(p->Stream, p->Transport);
        if (!BitBase_NextConnectionType(0, swarm, &type))
            return 0;
    }
    BitPeer_TypeName(type, newName, sizeof newName);
    BitBase_Log(swarm, "Failed to connect using [%s], trying [%s]", oldName, newName);
    BitPeer_Reset(p);
    p->ConnectionType = type;
    if (!BitBase_ContactPeer(swarm, member, member->Address, member->Port, p->Transport))
        return 0;
    return BitPeer_SetState(p, BITPEER_STATE_CONTACT);
}

int BitBase_ConnectPass(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    const double now = BitBase_Now(s);
    if (s->MemberCount > 0 && now - s->LastConnectPass < s->ConnectInterval)
        return 1;
    s->LastConnectPass = now;
    if (s->IPList)
        IPList_Expire(s->IPList);
    if (!s->Active || !s->OutboundEnabled ||
        (s->HardPeerLimit >= 1 && s->MemberCount >= s->HardPeerLimit))
        return 1;
    if (s->SoftPeerLimit >= 1 && s->MemberCount >= s->SoftPeerLimit) {
        BitBase_Log(s, "Soft peer limit hit - no outbound requests (%d >= %d)", s->MemberCount,
                    s->SoftPeerLimit);
        return 1;
    }
    if (s->Manager) {
        int limit = 0, count = 0;
        Manager_GetActiveConnectsLimit(s->Manager, &limit);
        Manager_GetActiveConnects(s->Manager, &count);
        if (limit > 0 && count > limit) {
            BitBase_Log(s, "Active connects limit hit (%d > %d)", count, limit);
            return 1;
        }
        Manager_GetHandshakeConnectsLimit(s->Manager, &limit);
        Manager_GetHandshakeCount(s->Manager, &count);
        if (limit >= 1 && count > limit) {
            BitBase_Log(s, "Handshake connects limit hit (%d > %d)", count, limit);
            return 1;
        }
    }
    IPListMemberStruct *entry = nullptr;
    if (s->IPList == nullptr || !IPList_GetNextPending(s->IPList, &entry) || entry == nullptr)
        return 1;
    uint8_t address[4];
    int port = 0;
    IPList_GetAddress(address, entry, &port);
    IPList_SetState(s->IPList, IPLIST_STATE_CONTACT, entry);
    TransportStruct *transport = nullptr;
    Transport_Create(&transport);
    int type = TRANSPORT_TYPE_NORMAL;
    BitBase_NextTransportType(&type, s, 0);
    Transport_SetType(transport, type ? type : TRANSPORT_TYPE_NORMAL);
    if (!BitBase_Connect(transport, address, s, port)) {
        IPList_SetState(s->IPList, IPLIST_STATE_PENDING, entry);
        int protocol = 0;
        Transport_GetProtocol(transport, &protocol);
        if (protocol != 2)
            Transport_Destroy(&transport);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The tick
// ---------------------------------------------------------------------------

static void InternalHandshakeFailure(BitBaseStruct *s, BitBaseMemberStruct *m, const char *reason) {
    BitPeer_Close(m->Connection, reason, 1);
    BitBase_RetryNextType(s, m);
}

static void InternalMarkConnected(BitBaseStruct *s, BitPeerStruct *p) {
    if (s->IPList == nullptr || p->Transport == nullptr)
        return;
    uint8_t address[4];
    int port = 0;
    IPListMemberStruct *entry = nullptr;
    if (Transport_GetRemoteAddress(p->Transport, address, &port) &&
        IPList_Find(address, s->IPList, &entry, 1, port) && entry)
        IPList_SetConnected(entry, s->IPList);
}

static int InternalStepGood(BitBaseStruct *s, BitBaseMemberStruct *m, double now) {
    BitPeerStruct *p = m->Connection;
    const int64_t before = p->BytesReceived + p->BytesSent;
    if (m->NextReadTime == 0 || m->NextReadTime <= now) {
        if (!BitPeer_ReadMessages(p)) {
            BitPeer_Close(p, "Read Handler", 1);
            return 0;
        }
    }
    if (p->State == BITPEER_STATE_GOOD && (m->NextWriteTime == 0 || m->NextWriteTime <= now)) {
        if (!BitPeer_Process(p)) {
            BitPeer_Close(p, "Write Handler", 1);
            return 0;
        }
    }
    const int64_t moved = p->BytesReceived + p->BytesSent - before;
    if (s->Manager && p->Transport && p->State == BITPEER_STATE_GOOD)
        Manager_AddTrafficPeer(s->Manager, p->Transport, (uint64_t)moved);
    return 1;
}

int BitBase_StepMember(BitBaseStruct *swarm, BitBaseMemberStruct *member, int writable,
                       double now) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    BitBaseStruct *s = swarm;
    BitPeerStruct *p = member->Connection;
    const int state = p->State;
    if (state >= BITPEER_STATE_FAILURE)
        return 0;
    const int encrypted = (p->ConnectionType & (BITPEER_TYPE_PLAINTEXT | BITPEER_TYPE_PE)) != 0;
    switch (state) {
    case BITPEER_STATE_CONTACT:
    case BITPEER_STATE_HANDOFF:
        if (BitPeer_IsIncoming(p)) {
            if (!BitPeer_HasData(p))
                return 1;
            if (encrypted) {
                BitPeer_SetState(p, BITPEER_STATE_KEY_EXCHANGE);
            } else if (!BitPeer_SyncMungeHandshake(p)) {
                InternalHandshakeFailure(s, member, "Handshake Phase (Sync)");
                return 0;
            }
            return 1;
        }
        if (!writable)
            return 1;
        BitPeer_SetState(p, encrypted ? BITPEER_STATE_KEY_EXCHANGE : BITPEER_STATE_SELECT);
        return 1;
    case BITPEER_STATE_SELECT:
        if (BitPeer_Flush(p) && !BitPeer_StartHandshake(p)) {
            InternalHandshakeFailure(s, member, "Handshake Phase (Write)");
            return 0;
        }
        if (!BitPeer_Fill(p)) {
            InternalHandshakeFailure(s, member, "Handshake Phase (Select)");
            return 0;
        }
        return 1;
    case BITPEER_STATE_KEY_EXCHANGE:
        if (!BitPeer_CryptoStep(p)) {
            InternalHandshakeFailure(s, member, "Handshake Phase (KeyExchange)");
            return 0;
        }
        break;
    case BITPEER_STATE_NEGOTIATE:
        if (BitPeer_HasData(p)) {
            if (!BitPeer_ReadHandshake(p)) {
                InternalHandshakeFailure(s, member, "Handshake Phase (Read)");
                return 0;
            }
            if (p->State == BITPEER_STATE_GOOD) {
                InternalMarkConnected(s, p);
                // Messages that came with the handshake are read at once.
                return InternalStepGood(s, member, now);
            }
        }
        break;
    case BITPEER_STATE_GOOD:
        return InternalStepGood(s, member, now);
    default:
        return 1;
    }
    if (!BitPeer_Fill(p)) {
        InternalHandshakeFailure(s, member, "Handshake Phase (Negotiate)");
        return 0;
    }
    return 1;
}

int BitBase_ApplyMemberShaping(BitBaseMemberStruct *member, BitBaseStruct *swarm, double now) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_TAG(member, kMemberTag);
    BitBaseStruct *s = swarm;
    TransportStruct *t = member->Connection->Transport;
    if (t == nullptr)
        return 0;
    int receive = s->DownloadLimit, send = s->UploadLimit;
    if (s->RateSplit == 1 && s->MemberCount > 0) {
        receive /= s->MemberCount;
        send /= s->MemberCount;
    }
    Transport_SetRateLimits(t, receive, send);
    if (member->NextReadTime < now) {
        int ms = 0;
        Transport_GetReadDelay(t, &ms);
        member->NextReadTime = ms > 0 ? now + ms / 1000.0 : 0;
    }
    if (member->NextWriteTime < now) {
        int ms = 0;
        Transport_GetWriteDelay(t, &ms);
        member->NextWriteTime = ms > 0 ? now + ms / 1000.0 : 0;
    }
    return 1;
}

// One batch: the members from *cursor on, at most `size`; *cursor moves on.
static void InternalStepBatch(BitBaseStruct *s, BitBaseMemberStruct **cursor, int size) {
    BitBaseMemberStruct *batch[1024];
    int n = 0;
    BitBaseMemberStruct *m = *cursor;
    while (m && n < size && n < 1024) {
        batch[n++] = m;
        BitBaseMemberStruct *next = nullptr;
        if (!InternalLock(s))
            break;
        next = InternalNextPresent(m->Next);
        if (next)
            next->InUse++;
        InternalUnlock(s);
        m = next;
    }
    *cursor = m;
    for (TransportSelectStruct *set : s->Sets)
        Transport_SelectClear(set);
    int added[2] = {0, 0};
    for (int i = 0; i < n; i++) {
        BitPeerStruct *p = batch[i]->Connection;
        if (p->State >= BITPEER_STATE_FAILURE) {
            BitBase_RemoveMember(s, batch[i]);
            continue;
        }
        int type = 0;
        if (p->Transport && Transport_IsOpen(p->Transport) &&
            Transport_GetType(p->Transport, &type) && (type == 1 || type == 2)) {
            const int k = type == TRANSPORT_TYPE_NORMAL ? 0 : 2;
            Transport_SelectAdd(p->Transport, s->Sets[k]);
            Transport_SelectAdd(p->Transport, s->Sets[k + 1]);
            added[k / 2]++;
        }
    }
    int ready = 0;
    if (added[0])
        Transport_Wait(s->Sets[0], s->Sets[1], nullptr, 0, &ready);
    if (added[1])
        Transport_Wait(s->Sets[2], s->Sets[3], nullptr, 0, &ready);
    const double now = BitBase_Now(s);
    for (int i = 0; i < n; i++) {
        BitBaseMemberStruct *member = batch[i];
        BitPeerStruct *p = member->Connection;
        if (!member->Removed && p->State < BITPEER_STATE_FAILURE) {
            if (s->Active) {
                int type = 0, writable = 0;
                if (p->Transport && Transport_GetType(p->Transport, &type) &&
                    (type == 1 || type == 2) && Transport_IsOpen(p->Transport))
                    writable = Transport_SelectIsSet(
                        p->Transport, s->Sets[type == TRANSPORT_TYPE_NORMAL ? 1 : 3]);
                BitBase_ApplyMemberShaping(member, s, now);
                if (BitBase_CheckMemberTimeouts(s, member, now))
                    BitBase_StepMember(s, member, writable, now);
            } else {
                BitPeer_Close(p, "Paused", 0);
            }
        }
        BitBase_ReleaseMember(s, member);
    }
}

int BitBase_Process(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    const int wanted = InternalLoad(s->Wanted);
    if (wanted != s->Active)
        BitBase_SetActive(s, wanted);
    int capacity = 0;
    Transport_SelectGetCapacity(s->Sets[0], &capacity);
    const int size = capacity > 1 ? capacity - 1 : 1;
    if (s->Active) {
        BitBase_CheckSeedMode(s);
        BitBase_ConnectPass(s);
        BitBase_EvaluateChoke(s);
        BitBase_CheckKeepAlive(s);
    }
    BitBaseMemberStruct *cursor = nullptr;
    BitBase_GetFirstMember(s, &cursor);
    while (cursor)
        InternalStepBatch(s, &cursor, size);
    BitBase_UpdateRates(s);
    BitBase_Purge(s, 0);
    return 1;
}

int BitBase_SetActive(BitBaseStruct *swarm, int on) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    on = on ? 1 : 0;
    if (on == s->Active)
        return 1;
    if (on) {
        if (!InternalLock(s))
            return 0;
        s->Departed = TransferTotalsStruct{};
        s->HaveQueueCount = 0;
        s->SeedModeOn = 0;
        InternalUnlock(s);
        if (s->IPList)
            IPList_ResetStates(s->IPList);
        s->Active = 1;
    } else {
        s->Active = 0;
        BitBase_CloseAll(s);
    }
    return 1;
}

int BitBase_GetActive(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (!InternalLock(swarm))
        return 0;
    const int active = swarm->Active;
    InternalUnlock(swarm);
    return active;
}

int BitBase_ApplyState(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (swarm->Base) {
        const int want = Base_PeekActive(swarm->Base) && Base_GetPeerEnabled(swarm->Base);
        std::atomic_ref<int>(swarm->Wanted).store(want ? 1 : 0, std::memory_order_relaxed);
    }
    return 1;
}

int BitBase_ApplyOrder(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (swarm->Base)
        swarm->PieceOrder = Base_GetChunkSelection(swarm->Base);
    return 1;
}

// ---------------------------------------------------------------------------
// Counters, totals and rates
// ---------------------------------------------------------------------------

template <typename Test> static int InternalCount(BitBaseStruct *s, int *count, Test test) {
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (!InternalLock(s))
        return 0;
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next)
        if (!m->Removed && m->Connection && test(m->Connection))
            (*count)++;
    InternalUnlock(s);
    return 1;
}

int BitBase_CountRequesting(BitBaseStruct *swarm, int *count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalCount(swarm, count,
                         [](BitPeerStruct *p) { return !Slice_IsEmpty(p->Requests); });
}

int BitBase_CountUnchoked(BitBaseStruct *swarm, int *count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalCount(swarm, count, [](BitPeerStruct *p) {
        return p->ChokingPeer == 0 && p->State < BITPEER_STATE_FAILURE;
    });
}

int BitBase_GetActiveConnects(BitBaseStruct *swarm, int *count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalCount(swarm, count,
                         [](BitPeerStruct *p) { return p->State == BITPEER_STATE_CONTACT; });
}

int BitBase_CountMembersByDirection(BitBaseStruct *swarm, int64_t *accepted, int64_t *opened) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(accepted);
    ZYL_CHECK_PTR(opened);
    int in = 0, all = 0;
    InternalCount(swarm, &in, [](BitPeerStruct *p) { return BitPeer_IsIncoming(p) == 1; });
    InternalCount(swarm, &all, [](BitPeerStruct *) { return true; });
    *accepted = in;
    *opened = all - in;
    return 1;
}

int BitBase_GetMembersAdded(BitBaseStruct *swarm, int64_t *accepted, int64_t *opened) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(accepted);
    ZYL_CHECK_PTR(opened);
    if (!InternalLock(swarm))
        return 0;
    *accepted = swarm->AddedIncoming;
    *opened = swarm->AddedOutgoing;
    InternalUnlock(swarm);
    return 1;
}

int BitBase_GetConnectionCounts(BitBaseStruct *swarm, int64_t *incoming, int64_t *outgoing) {
    return BitBase_GetMembersAdded(swarm, incoming, outgoing);
}

int BitBase_GetMemberCount(BitBaseStruct *swarm, int *count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(count);
    *count = swarm->MemberCount;
    return 1;
}

int BitBase_GetTransferTotals(BitBaseStruct *swarm, TransferTotalsStruct *totals) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(totals);
    *totals = TransferTotalsStruct{};
    if (!InternalLock(swarm))
        return 0;
    *totals = swarm->Departed;
    for (BitBaseMemberStruct *m = swarm->Members; m; m = m->Next) {
        if (m->Removed || m->Connection == nullptr)
            continue;
        TransferTotalsStruct t = {};
        InternalPeerTotals(m->Connection, &t);
        TransferTotals_Add(totals, t);
    }
    InternalUnlock(swarm);
    return 1;
}

static int InternalRates(BitBaseStruct *s, const double *rates, double *current, double *average,
                         double *maximum) {
    ZYL_CHECK_PTR(current);
    ZYL_CHECK_PTR(average);
    ZYL_CHECK_PTR(maximum);
    if (!InternalLock(s))
        return 0;
    *current = rates[0];
    *average = rates[1];
    *maximum = rates[2];
    InternalUnlock(s);
    return 1;
}

int BitBase_GetIncomingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalRates(swarm, swarm->IncomingRates, current, average, maximum);
}

int BitBase_GetOutgoingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalRates(swarm, swarm->OutgoingRates, current, average, maximum);
}

int BitBase_UpdateRates(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    if (!InternalLock(s))
        return 0;
    double in[3] = {0, 0, s->IncomingRates[2]}, out[3] = {0, 0, s->OutgoingRates[2]};
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        if (m->Removed || m->Connection == nullptr || m->Connection->Transport == nullptr ||
            !Transport_IsOpen(m->Connection->Transport))
            continue;
        TransportStruct *t = m->Connection->Transport;
        double r = 0, w = 0;
        Transport_GetCurrentRates(t, &r, &w);
        in[0] += r > 0 ? r : 0;
        out[0] += w > 0 ? w : 0;
        r = w = 0;
        Transport_GetAverageRates(t, &r, &w);
        in[1] += r > 0 ? r : 0;
        out[1] += w > 0 ? w : 0;
        r = w = 0;
        Transport_GetPeakRates(t, &r, &w);
        if (r > in[2])
            in[2] = r;
        if (w > out[2])
            out[2] = w;
    }
    memcpy(s->IncomingRates, in, sizeof in);
    memcpy(s->OutgoingRates, out, sizeof out);
    InternalUnlock(s);
    return 1;
}

int BitBase_ResetTransportStatistics(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (!InternalLock(swarm))
        return 0;
    for (BitBaseMemberStruct *m = swarm->Members; m; m = m->Next)
        if (!m->Removed && m->Connection && m->Connection->Transport &&
            Transport_IsOpen(m->Connection->Transport))
            Transport_ResetStatistics(m->Connection->Transport);
    InternalUnlock(swarm);
    return 1;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

#define BITBASE_SETTER(name, field)                                                                \
    int BitBase_Set##name(BitBaseStruct *swarm, int value) {                                       \
        ZYL_CHECK_TAG(swarm, BitBase_Tag);                                                         \
        swarm->field = value;                                                                      \
        return 1;                                                                                  \
    }

BITBASE_SETTER(RateSplit, RateSplit)
BITBASE_SETTER(ConnectTimeout, ConnectTimeout)
BITBASE_SETTER(ConnectInterval, ConnectInterval)
BITBASE_SETTER(KeepAliveInterval, KeepAliveInterval)
BITBASE_SETTER(SliceTimeout, SliceTimeout)
BITBASE_SETTER(ValueTimeout, ValueTimeout)
BITBASE_SETTER(PureSource, PureSource)
BITBASE_SETTER(SeedingMode, SeedingMode)
BITBASE_SETTER(PeerParameter, PeerParameter)
BITBASE_SETTER(RequestParameter, RequestParameter)
BITBASE_SETTER(HaveSuppression, HaveSuppression)
BITBASE_SETTER(ChokeHandoff, ChokeHandoff)
BITBASE_SETTER(PeerLogging, PeerLogging)
BITBASE_SETTER(MaxPeers, HardPeerLimit)
BITBASE_SETTER(SoftPeerLimit, SoftPeerLimit)
BITBASE_SETTER(CloseSeeds, CloseSeeds)
BITBASE_SETTER(Verbose, Verbose)

int BitBase_SetRateLimits(BitBaseStruct *swarm, double download, double upload) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    swarm->DownloadLimit = (int)download;
    swarm->UploadLimit = (int)upload;
    return BitBase_ResetTransportStatistics(swarm);
}

int BitBase_GetPeerLogging(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return swarm->PeerLogging;
}

int BitBase_SetChunkSelection(BitBaseStruct *swarm, int mode) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    swarm->PieceOrder = mode;
    char name[PIECE_NAME_SIZE];
    Piece_GetOrderName(mode, name);
    BitBase_Log(swarm, "BitBase chunk selection set to %s", name);
    return 1;
}

int BitBase_EnableCloseSeeds(BitBaseStruct *swarm) {
    return BitBase_SetCloseSeeds(swarm, 1);
}

int BitBase_GetCloseSeeds(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return swarm->CloseSeeds;
}

int BitBase_GetFreeSlotUnchoke(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return swarm->FreeSlotUnchoke;
}

int BitBase_GetRegularSlots(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return swarm->SlotCount - 1;
}

int BitBase_SetLogCallback(BitBaseStruct *swarm, BitBaseLogCallback callback, void *context) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    swarm->LogCallback = callback;
    swarm->LogContext = context;
    return 1;
}

int BitBase_SetMemberCallback(BitBaseStruct *swarm, BitBaseMemberCallback callback, void *context) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    swarm->MemberCallback = callback;
    swarm->MemberContext = context;
    return 1;
}

// ---------------------------------------------------------------------------
// Log and status line
// ---------------------------------------------------------------------------

void BitBase_ShortName(BitBaseStruct *s, char *name, int size) {
    Zyl_StrCopy(name, "Unmapped", size);
    if (s->Content) {
        char text[CONTENT_TEXT_SIZE];
        Content_GetSourceFileName(s->Content, text, sizeof text);
        if (text[0] == 0)
            Content_GetName(s->Content, text);
        if (text[0])
            Zyl_StrCopy(name, text, size);
    }
}

int(BitBase_Log)(BitBaseStruct *swarm, const char *format, ...) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(format);
    BitBaseStruct *s = swarm;
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(s->LastLine, sizeof s->LastLine, format, args);
    va_end(args);
    s->LogCount++;
    if (s->Verbose) {
        char name[11];
        BitBase_ShortName(s, name, sizeof name);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%10s: %s", name, s->LastLine);
    }
    if (s->LogCallback)
        s->LogCallback(s, s->LogContext, s->LogCount, s->LastLine);
    return 1;
}

static void InternalMemberCode(BitBaseStruct *s, BitPeerStruct *p, char *code, int *seeds) {
    static const char kLetters[] = "ICxHSxNG";
    const int state = p->State;
    char letter = 'U';
    if (state <= 7 && kLetters[state] != 'x')
        letter = kLetters[state];
    if (state == BITPEER_STATE_GOOD && BitPeer_IsIncoming(p))
        letter = 'g';
    if (state == BITPEER_STATE_FAILURE)
        letter = 'F';
    if (state == BITPEER_STATE_CLOSE)
        letter = 'D';
    code[0] = letter;
    code[1] = 0;
    if (state != BITPEER_STATE_GOOD)
        return;
    char more[6];
    int bits = 0, have = 0;
    Bitfield_GetSize(p->PeerPieces, &bits);
    Bitfield_GetSetCount(p->PeerPieces, &have);
    if (bits > 0 && have == bits) {
        more[0] = 'X';
        (*seeds)++;
    } else {
        more[0] = (char)('0' + (bits > 0 ? 10 * have / bits : 0));
    }
    const int uploading = p->PeerInterested && !p->ChokingPeer;
    const int downloading = p->Interested && !p->PeerChoking;
    more[1] = uploading ? 'R' : p->PeerInterested ? 'r' : '-';
    more[2] = downloading ? 'L' : p->Interested ? 'l' : '-';
    more[3] = uploading && !Slice_IsEmpty(p->Responses) ? 'U' : '-';
    more[4] = downloading && !Slice_IsEmpty(p->Requests) ? 'D' : '-';
    more[5] = 0;
    Zyl_StrAppend(code, more, 8);
    (void)s;
}

int BitBase_PrintStatus(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    char codes[BITBASE_STATUS_CODES + 16] = "";
    int seeds = 0, listed = 0;
    if (!InternalLock(s))
        return 0;
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        if (m->Removed || m->Connection == nullptr)
            continue;
        if (Zyl_StrLen(codes) > BITBASE_STATUS_CODES) {
            Zyl_StrAppend(codes, "...", sizeof codes);
            break;
        }
        char code[8];
        InternalMemberCode(s, m->Connection, code, &seeds);
        if (listed++)
            Zyl_StrAppend(codes, " ", sizeof codes);
        Zyl_StrAppend(codes, code, sizeof codes);
    }
    const int members = s->MemberCount;
    InternalUnlock(s);
    int trackerActive = 0;
    if (listed == 0 && s->Tracker && Tracker_IsActive(s->Tracker, &trackerActive) &&
        !trackerActive) {
        // Nobody to list and the tracker idle: say why it gave us nobody.
        char reason[TRACKER_TEXT_SIZE] = "";
        Tracker_GetFailureReason(s->Tracker, reason);
        Zyl_StrCopy(codes, reason, sizeof codes);
    }
    char progress[32] = "";
    BitfieldStruct *held = nullptr;
    if (s->Content && Content_GetBitfield(s->Content, &held) && held && Bitfield_IsComplete(held)) {
        Zyl_StrCopy(progress, "   Complete", sizeof progress);
    } else {
        int have = 0, available = 0;
        if (held)
            Bitfield_GetSetCount(held, &have);
        BitBase_GetSwarmPieceCount(s, &available);
        Zyl_FormatString(progress, sizeof progress, "%5d/%5d", have, available);
    }
    char name[11];
    BitBase_ShortName(s, name, sizeof name);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
              "%10s: %s = D:%4d/%4d U:%4d/%4d [%3d/%3d:%s]\n", name, progress,
              (int)(s->IncomingRates[1] / 1024), (int)(s->IncomingRates[0] / 1024),
              (int)(s->OutgoingRates[1] / 1024), (int)(s->OutgoingRates[0] / 1024), members, seeds,
              codes);
    return 1;
}
