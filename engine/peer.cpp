// A peer-wire connection: life, settings, states, flow messages, the close
// summary and the two logs. The message reader is in peer_read.cpp, our
// requests and the served blocks in peer_transfer.cpp, the handshakes in
// peer_handshake.cpp.
#include "engine/peer.h"

#include <cstdarg>
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/file.h"
#include "core/translog.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/bigint.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/peer_internal.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "engine/swarm.h"
#include "engine/transport.h"
#include "net/socket.h"

const char BitPeer_Tag[] = "BitPeerStruct";

double BitPeer_Now(BitPeerStruct *peer) {
    return peer->Manager ? Manager_Now(peer->Manager) : Zyl_GetTickSeconds();
}

// The stream's log hooks lead into the connection's logs.
static void InternalStreamLog(BitPeerStruct *owner, const char *text) {
    BitPeer_Log(owner, "%s", text);
}

static void InternalStreamMessage(BitPeerStruct *owner, int direction, int id, const char *detail) {
    BitPeer_LogMessage(owner, direction, id, "%s", detail);
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int BitPeer_Create(BitPeerStruct **peer) {
    ZYL_CHECK_PTR(peer);
    BitPeerStruct *p = ZYL_NEW(BitPeerStruct);
    p->Tag = BitPeer_Tag;
    BitPeer_Init(p);
    *peer = p;
    return 1;
}

int BitPeer_Init(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    Zyl_StrCopy(p->Status, "Initialized", sizeof p->Status);
    Stream_Create(&p->Stream);
    const StreamLogHooks hooks = {InternalStreamLog, InternalStreamMessage};
    Stream_SetOwner(p->Stream, p, &hooks);
    Slice_Create(&p->Requests);
    Slice_Create(&p->Responses);
    Slice_SetMaxMembers(p->Responses, BITPEER_MAX_RESPONSES);
    Bitfield_Create(&p->Scratch);
    Bitfield_Create(&p->Advertised);
    Bitfield_Create(&p->PeerPieces);
    BigInt_Create(&p->Prime);
    BigInt_Create(&p->PrivateKey);
    BigInt_Create(&p->PublicKey);
    BigInt_Create(&p->PeerPublicKey);
    BigInt_Create(&p->Secret);
    p->PieceOrder = PIECE_ORDER_SCARCITY;
    p->SeedingMode = BITPEER_SEED_NORMAL;
    p->PeerParameter = 10;
    p->RequestDepth = 1;
    p->ConnectionType = BITPEER_TYPE_NORMAL;
    p->State = BITPEER_STATE_CONTACT;
    p->HandshakeCounted = 0;
    p->ContactTime = p->LastMessageTime = p->StateTime = BitPeer_Now(p);
    p->PeerChoking = 1;
    p->ChokingPeer = 1;
    p->PeerInterested = 0;
    p->Interested = 0;
    p->CurrentPiece = -1;
    return 1;
}

int BitPeer_Deinit(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if (p->Manager && p->Transport)
        Manager_RemoveTrafficPeer(p->Manager, p->Transport);
    BigInt_Destroy(&p->Prime);
    BigInt_Destroy(&p->PrivateKey);
    BigInt_Destroy(&p->PublicKey);
    BigInt_Destroy(&p->PeerPublicKey);
    BigInt_Destroy(&p->Secret);
    if (p->Transport && Transport_IsOpen(p->Transport))
        Stream_Close(p->Stream);
    Stream_Destroy(&p->Stream);
    Bitfield_Destroy(&p->Scratch);
    Bitfield_Destroy(&p->Advertised);
    Bitfield_Destroy(&p->PeerPieces);
    if (p->HandshakeCounted && p->Manager) {
        Manager_RemoveHandshake(p->Manager);
        p->HandshakeCounted = 0;
    }
    // Blocks still queued go back to the picker so another connection gets them.
    if (p->Requests && !Slice_IsEmpty(p->Requests))
        BitPeer_HandOffSliceQueue(p);
    Slice_Destroy(&p->Requests);
    Slice_Destroy(&p->Responses);
    if (p->Transport) {
        int protocol = 0;
        Transport_GetProtocol(p->Transport, &protocol);
        if (protocol != 2)
            Transport_Destroy(&p->Transport);
        p->Transport = nullptr;
    }
    return 1;
}

int BitPeer_Destroy(BitPeerStruct **peer) {
    if (peer == nullptr || *peer == nullptr)
        return 0;
    BitPeerStruct *p = *peer;
    ZYL_CHECK_TAG(p, BitPeer_Tag);
    *peer = nullptr;
    BitPeer_Deinit(p);
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(BitPeerStruct));
    return 1;
}

int BitPeer_IsValid(const void *pointer) {
    if (pointer == nullptr)
        return 0;
    return static_cast<const BitPeerStruct *>(pointer)->Tag == BitPeer_Tag ? 1 : 0;
}

int BitPeer_SetParent(BitPeerStruct *peer, BaseStruct *base) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(base);
    if (peer->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    peer->Base = base;
    Base_GetParent(base, &peer->Manager);
    Base_GetContent(base, &peer->Content);
    Base_GetBitBase(base, &peer->Swarm);
    // The times taken before the manager was known came from the tick clock.
    peer->ContactTime = peer->LastMessageTime = peer->StateTime = BitPeer_Now(peer);
    int pieces = 0;
    Content_GetPieceCount(peer->Content, &pieces);
    Bitfield_SetSize(peer->Scratch, pieces);
    Bitfield_SetSize(peer->Advertised, pieces);
    Bitfield_SetSize(peer->PeerPieces, pieces);
    Slice_SetParent(peer->Requests, peer->Content);
    Slice_SetParent(peer->Responses, peer->Content);
    SliceProgressStruct *progress = nullptr;
    if (peer->Swarm && BitBase_GetProgress(peer->Swarm, &progress))
        Slice_SetProgressField(peer->Requests, progress);
    return 1;
}

// ---------------------------------------------------------------------------
// Settings and queries
// ---------------------------------------------------------------------------

#define BITPEER_SETTER(name, field)                                                                \
    int BitPeer_Set##name(BitPeerStruct *peer, int value) {                                        \
        ZYL_CHECK_TAG(peer, BitPeer_Tag);                                                          \
        peer->field = value;                                                                       \
        return 1;                                                                                  \
    }

BITPEER_SETTER(Direction, Direction)
BITPEER_SETTER(RequestDepth, RequestDepth)
BITPEER_SETTER(HaveSuppression, HaveSuppression)
BITPEER_SETTER(ChokeHandoff, ChokeHandoff)
BITPEER_SETTER(PieceOrder, PieceOrder)
BITPEER_SETTER(SeedingMode, SeedingMode)
BITPEER_SETTER(PeerParameter, PeerParameter)
BITPEER_SETTER(Verbose, Verbose)
BITPEER_SETTER(ConnectionType, ConnectionType)

int BitPeer_SetTransport(BitPeerStruct *peer, TransportStruct *transport) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    peer->Transport = transport;
    Stream_SetTransport(peer->Stream, transport);
    return 1;
}

int BitPeer_SetLogCallback(BitPeerStruct *peer, BitPeerLogCallback callback, int user) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    peer->LogCallback = callback;
    peer->LogUser = user;
    return 1;
}

int BitPeer_GetTransport(BitPeerStruct *peer, TransportStruct **transport) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(transport);
    *transport = peer->Transport;
    return peer->Transport != nullptr;
}

int BitPeer_GetState(BitPeerStruct *peer, int *state) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(state);
    *state = peer->State;
    return 1;
}

int BitPeer_GetConnectionType(BitPeerStruct *peer, int *type) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(type);
    *type = peer->ConnectionType;
    return 1;
}

int BitPeer_GetPeerPieces(BitPeerStruct *peer, BitfieldStruct **pieces) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(pieces);
    *pieces = peer->PeerPieces;
    return 1;
}

int BitPeer_GetStream(BitPeerStruct *peer, StreamStruct **stream) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(stream);
    *stream = peer->Stream;
    return 1;
}

int BitPeer_GetRequestQueue(BitPeerStruct *peer, SliceStruct **queue) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(queue);
    *queue = peer->Requests;
    return 1;
}

int BitPeer_GetQueueLengths(BitPeerStruct *peer, int *requests, int *responses) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(requests);
    ZYL_CHECK_PTR(responses);
    Slice_GetCount(peer->Requests, requests);
    Slice_GetCount(peer->Responses, responses);
    return 1;
}

int BitPeer_IsIncoming(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return peer->Transport && Transport_IsAccepted(peer->Transport) == 1 ? 1 : 0;
}

int BitPeer_GetUnchokedTotals(BitPeerStruct *peer, double *byPeer, double *ofPeer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(byPeer);
    ZYL_CHECK_PTR(ofPeer);
    const double now = BitPeer_Now(peer);
    *byPeer = peer->UnchokedByPeerTotal;
    *ofPeer = peer->UnchokedPeerTotal;
    if (!peer->PeerChoking && peer->UnchokedByPeerSince > 0)
        *byPeer += now - peer->UnchokedByPeerSince;
    if (!peer->ChokingPeer && peer->UnchokedPeerSince > 0)
        *ofPeer += now - peer->UnchokedPeerSince;
    return 1;
}

static int InternalLacks(BitPeerStruct *p, BitfieldStruct *first, BitfieldStruct *second) {
    Bitfield_Copy(p->Scratch, first);
    Bitfield_Except(p->Scratch, second);
    return Bitfield_IsEmpty(p->Scratch) ? 0 : 1;
}

int BitPeer_IsInterestedIn(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitfieldStruct *held = nullptr;
    if (peer->Content == nullptr || !Content_GetBitfield(peer->Content, &held) || held == nullptr)
        return 0;
    if (Bitfield_IsComplete(held))
        return 0;
    if (Bitfield_IsComplete(peer->PeerPieces))
        return 1;
    return InternalLacks(peer, peer->PeerPieces, held);
}

int BitPeer_IsInterestingTo(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitfieldStruct *held = nullptr;
    if (peer->Content == nullptr || !Content_GetBitfield(peer->Content, &held) || held == nullptr)
        return 0;
    if (Bitfield_IsComplete(peer->PeerPieces))
        return 0;
    if (Bitfield_IsComplete(held))
        return 1;
    return InternalLacks(peer, held, peer->PeerPieces);
}

// ---------------------------------------------------------------------------
// Stream operations
// ---------------------------------------------------------------------------

int BitPeer_HasData(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    Stream_Fill(peer->Stream);
    uint8_t *data = nullptr;
    int n = 0;
    Stream_Peek(peer->Stream, &data, &n);
    return n > 0 ? 1 : 0;
}

int BitPeer_Fill(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return Stream_Fill(peer->Stream);
}

int BitPeer_Flush(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    Stream_Flush(peer->Stream);
    return Stream_HasOutput(peer->Stream) ? 0 : 1;
}

int BitPeer_SendKeepAlive(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    peer->KeepAlivePending = 1;
    return Stream_WriteKeepAlive(peer->Stream);
}

int BitPeer_IsSentFast(BitPeerStruct *peer, int index) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    for (int i = 0; i < peer->SentFastCount; i++)
        if (peer->SentFast[i] == index)
            return 1;
    return 0;
}

int BitPeer_RejectResponses(BitPeerStruct *peer, int keepAllowedFast) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    SliceMemberStruct *m = nullptr;
    Slice_First(p->Responses, &m);
    while (m) {
        SliceMemberStruct *next = nullptr;
        Slice_Next(p->Responses, m, &next);
        int index = 0, begin = 0, length = 0;
        Slice_GetMember(p->Responses, m, &index, &begin, &length);
        if (!keepAllowedFast || !BitPeer_IsSentFast(p, index)) {
            Slice_RemoveMember(p->Responses, m);
            if (!BitPeer_InternalSendFastReject(p, (uint32_t)index, (uint32_t)begin,
                                                (uint32_t)length))
                return 0;
        }
        m = next;
    }
    return 1;
}

int BitPeer_SetFlow(BitPeerStruct *peer, int flow) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    const double now = BitPeer_Now(p);
    switch (flow) {
    case BITPEER_FLOW_CHOKE:
        if (p->ChokingPeer)
            return 1;
        p->ChokingPeer = 1;
        if (p->UnchokedPeerSince > 0)
            p->UnchokedPeerTotal += now - p->UnchokedPeerSince;
        p->UnchokedPeerSince = 0;
        if (p->Fast) {
            if (!BitPeer_RejectResponses(p, 1))
                return 0;
        } else {
            Slice_RemoveAll(p->Responses);
        }
        break;
    case BITPEER_FLOW_UNCHOKE:
        if (!p->ChokingPeer)
            return 1;
        p->UnchokedPeerSince = now;
        p->LastUnchokeTime = now;
        p->ChokingPeer = 0;
        break;
    case BITPEER_FLOW_INTERESTED:
        if (p->Interested)
            return 1;
        p->Interested = 1;
        break;
    case BITPEER_FLOW_NOT_INTERESTED:
        if (!p->Interested)
            return 1;
        p->Interested = 0;
        break;
    default:
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unknown flow [%d]", flow);
        return 0;
    }
    return Stream_WriteFlow(p->Stream, flow);
}

// ---------------------------------------------------------------------------
// States and names
// ---------------------------------------------------------------------------

const char *BitPeer_GetStateName(int state) {
    switch (state) {
    case BITPEER_STATE_INACTIVE:
        return "Inactive";
    case BITPEER_STATE_CONTACT:
        return "Contact";
    case BITPEER_STATE_IDENTIFY:
        return "Identify";
    case BITPEER_STATE_HANDOFF:
        return "Handoff";
    case BITPEER_STATE_SELECT:
        return "Select";
    case BITPEER_STATE_KEY_EXCHANGE:
        return "KeyExchange";
    case BITPEER_STATE_NEGOTIATE:
        return "Negotiate";
    case BITPEER_STATE_GOOD:
        return "Good";
    case BITPEER_STATE_FAILURE:
        return "Failure";
    case BITPEER_STATE_CLOSE:
        return "Close";
    default:
        return "Unknown";
    }
}

int BitPeer_SetState(BitPeerStruct *peer, int state) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    const int old = p->State;
    if (old == state)
        return 1;
    if (!p->HandshakeCounted && old == BITPEER_STATE_CONTACT &&
        (state == BITPEER_STATE_IDENTIFY || state == BITPEER_STATE_SELECT ||
         state == BITPEER_STATE_KEY_EXCHANGE)) {
        p->HandshakeCounted = 1;
        if (p->Manager)
            Manager_AddHandshake(p->Manager);
    }
    if (p->HandshakeCounted && (state == BITPEER_STATE_CONTACT || state == BITPEER_STATE_GOOD ||
                                state == BITPEER_STATE_FAILURE || state == BITPEER_STATE_CLOSE)) {
        p->HandshakeCounted = 0;
        p->HandshakeSent = 0;
        if (p->Manager)
            Manager_RemoveHandshake(p->Manager);
    }
    if (state == BITPEER_STATE_CONTACT)
        p->ContactTime = BitPeer_Now(p);
    p->State = (uint8_t)state;
    p->StateTime = BitPeer_Now(p);
    // Requests are small and answered at once: they must not wait for the
    // acknowledgement of the previous write.
    int type = 0;
    if (state == BITPEER_STATE_GOOD && p->Transport && Transport_GetType(p->Transport, &type) &&
        type == TRANSPORT_TYPE_NORMAL && p->Transport->Handle)
        Socket_SetNagle(static_cast<SocketStruct *>(p->Transport->Handle), 0);
    BitPeer_Log(p, "BitPeer State changed from (%s to %s)", BitPeer_GetStateName(old),
                BitPeer_GetStateName(state));
    return 1;
}

int BitPeer_Reset(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    Stream_Close(p->Stream);
    BitPeer_HandOffSliceQueue(p);
    Slice_RemoveAll(p->Responses);
    Bitfield_ClearAll(p->PeerPieces);
    Bitfield_ClearAll(p->Advertised);
    p->Fast = 0;
    p->FastOffered = 0;
    p->FastOfferedSet = 0;
    p->SentFastCount = 0;
    p->HandshakeSent = 0;
    p->KeepAlivePending = 0;
    p->PeerChoking = 1;
    p->ChokingPeer = 1;
    p->PeerInterested = 0;
    p->Interested = 0;
    p->AllowedFastCount = 0;
    p->SuggestedCount = 0;
    p->CryptoPhase = 0;
    p->CryptoScan = 0;
    p->Cancelled = 0;
    p->BitfieldSeen = 0;
    p->CorruptRerequest = 0;
    memset(p->PeerId, 0, sizeof p->PeerId);
    memset(p->Verification, 0, sizeof p->Verification);
    p->UnchokedByPeerSince = p->UnchokedPeerSince = 0;
    p->LastMessageTime = BitPeer_Now(p);
    return 1;
}

int BitPeer_TypeName(int type, char *text, int size) {
    ZYL_CHECK_PTR(text);
    if (size < 1)
        return 0;
    text[0] = 0;
    if (type == BITPEER_TYPE_ALL) {
        Zyl_StrCopy(text, "All", size);
        return 1;
    }
    static const struct {
        int Bit;
        const char *Name;
    } kNames[] = {{BITPEER_TYPE_NORMAL, "Normal"},
                  {BITPEER_TYPE_PE, "PE"},
                  {BITPEER_TYPE_MUNGE, "Munge"},
                  {BITPEER_TYPE_PLAINTEXT, "PlainText"}};
    for (const auto &n : kNames) {
        if ((type & n.Bit) == 0)
            continue;
        if (text[0])
            Zyl_StrAppend(text, "/", size);
        Zyl_StrAppend(text, n.Name, size);
    }
    return 1;
}

int BitPeer_GetConnectionTypeName(BitPeerStruct *peer, char *text, int size) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return BitPeer_TypeName(peer->ConnectionType, text, size);
}

int BitPeer_FormatPeerId(const uint8_t id[20], char *text, int size) {
    ZYL_CHECK_PTR(id);
    ZYL_CHECK_PTR(text);
    char line[80];
    int n = 0;
    while (n < 20 && id[n] >= 32 && id[n] <= 126) {
        line[n] = (char)id[n];
        n++;
    }
    line[n++] = ' ';
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 20; i++) {
        line[n++] = kHex[id[i] >> 4];
        line[n++] = kHex[id[i] & 15];
    }
    line[n] = 0;
    Zyl_StrCopy(text, line, size);
    return 1;
}

// ---------------------------------------------------------------------------
// Close
// ---------------------------------------------------------------------------

static void InternalSummary(BitPeerStruct *p, int blocked, double now) {
    double avgR = 0, avgW = 0, peakR = 0, peakW = 0;
    if (p->Transport) {
        Transport_GetAverageRates(p->Transport, &avgR, &avgW);
        Transport_GetPeakRates(p->Transport, &peakR, &peakW);
    }
    BitPeer_Log(p, "Bit Performance summary [Overall R:%.2fk W:%.2fk] [Max R:%.2fk W:%.2fk]",
                avgR / 1024, avgW / 1024, peakR / 1024, peakW / 1024);
    double byPeer = 0, ofPeer = 0;
    BitPeer_GetUnchokedTotals(p, &byPeer, &ofPeer);
    BitPeer_Log(p, "Time [T:%d R%d:%d (%d) W%d:%d (%d)]", (int)(now - p->ContactTime),
                p->PeerChoking, (int)byPeer, (int)p->ReceiveInterval, p->ChokingPeer, (int)ofPeer,
                (int)p->SendInterval);
    BitPeer_Log(p, "Piece results [Good:%d Corrupt:%d Bad:%d] Errors=%d%s", p->GoodPieces,
                p->CorruptPieces, p->BadPieces, p->Errors, blocked ? " *Blocked*" : "");
    int requests = 0, responses = 0;
    BitPeer_GetQueueLengths(p, &requests, &responses);
    BitPeer_Log(p, "Total [R:%I64dk W:%I64dk] [SR:%d SW:%d]", p->BytesReceived / 1024,
                p->BytesSent / 1024, requests, responses);
}

static void InternalTransferLog(BitPeerStruct *p, const uint8_t address[4], int port, double now) {
    LogStruct *log = nullptr;
    if (p->Manager == nullptr || !Manager_GetPeerTransferLog(p->Manager, &log) || log == nullptr)
        return;
    char name[CONTENT_TEXT_SIZE] = "";
    if (p->Content)
        Content_GetName(p->Content, name);
    char id[80];
    BitPeer_FormatPeerId(p->PeerId, id, sizeof id);
    Log_Write(log, "%s %s %s %d.%d.%d.%d:%d %I64d %I64d %I64d %I64d %I64d %d", name, id,
              BitPeer_IsIncoming(p) ? "In" : "Out", address[0], address[1], address[2], address[3],
              port, p->BytesReceived, p->BytesSent, p->GoodBytes, p->CorruptBytes, p->BadBytes,
              (int)(now - p->ContactTime));
}

int BitPeer_Close(BitPeerStruct *peer, const char *reason, int failure) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(reason);
    BitPeerStruct *p = peer;
    if (p->State == BITPEER_STATE_FAILURE || p->State == BITPEER_STATE_CLOSE)
        return 1;
    const double now = BitPeer_Now(p);
    const int blocked = p->CorruptPieces >= 2 && p->CorruptPieces > p->GoodPieces;
    if (p->LastMessageTime > p->ContactTime)
        InternalSummary(p, blocked, now);
    BitPeer_Log(p, "Closing at [%s]", reason);
    uint8_t address[4] = {0, 0, 0, 0};
    int port = 0;
    if (p->Transport)
        Transport_GetRemoteAddress(p->Transport, address, &port);
    if (p->BytesReceived > 0 || p->BytesSent > 0)
        InternalTransferLog(p, address, port, now);
    BitPeer_HandOffSliceQueue(p);
    IPListStruct *list = nullptr;
    IPListMemberStruct *entry = nullptr;
    if (p->Base && Base_GetIPList(p->Base, &list) && list &&
        IPList_Find(address, list, &entry, 1, port) && entry) {
        IPList_SetState(list,
                        blocked   ? IPLIST_STATE_BLOCKED
                        : failure ? IPLIST_STATE_FAILED
                                  : IPLIST_STATE_CLOSED,
                        entry);
        int64_t received = 0, sent = 0;
        IPList_GetTotals(entry, &received, &sent);
        IPList_SetTotals(entry, received + p->BytesReceived, sent + p->BytesSent);
    }
    BitPeer_SetState(p, failure ? BITPEER_STATE_FAILURE : BITPEER_STATE_CLOSE);
    Stream_Close(p->Stream);
    return 1;
}

// ---------------------------------------------------------------------------
// Logs
// ---------------------------------------------------------------------------

// "peers/%.8X.log" beside the core's log file.
static void InternalAppendPeerFile(BitPeerStruct *p, const char *line) {
    char path[512];
    int flags = 0;
    if (!Zyl_GetLogOptions(path, sizeof path, &flags) || path[0] == 0)
        return;
    int slash = -1;
    if (!Zyl_StrFindLastChar(path, '/', &slash))
        return;
    path[slash + 1] = 0;
    Zyl_FormatString(path + slash + 1, (int)sizeof path - slash - 1, "peers/%.8X.log",
                     Manager_HandleId(p->Transport));
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetCreatePath(file, 1);
    File_SetReportErrors(file, 0);
    if (File_Open(file, path, FILE_MODE_WRITE | FILE_MODE_TEXT | FILE_MODE_APPEND)) {
        File_Print(file, "%10.3f : %s\n", BitPeer_Now(p) - p->ContactTime, line);
        File_Close(file);
    }
    File_Delete(&file);
}

int(BitPeer_Log)(BitPeerStruct *peer, const char *format, ...) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(format);
    BitPeerStruct *p = peer;
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(p->Status, sizeof p->Status, format, args);
    va_end(args);
    p->LogCount++;
    if (p->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%.8X: %s",
                  Manager_HandleId(p->Transport), p->Status);
    if (p->Swarm && BitBase_GetPeerLogging(p->Swarm))
        InternalAppendPeerFile(p, p->Status);
    if (p->LogCallback)
        p->LogCallback(p->Base, p, p->LogUser, p->LogCount, p->Status);
    return 1;
}

static const char *InternalMessageName(int id) {
    static const char *const kNames[] = {"Choke",    "Unchoke", "Int",   "NotInt", "Have",
                                         "BitField", "Request", "Piece", "Cancel", "Port"};
    if (id >= 0 && id <= 9)
        return kNames[id];
    switch (id) {
    case 13:
        return "FastSuggest";
    case 14:
        return "FastHaveAll";
    case 15:
        return "FastHaveNone";
    case 16:
        return "FastReject";
    case 17:
        return "FastAllowFast";
    default:
        return "U";
    }
}

int(BitPeer_LogMessage)(BitPeerStruct *peer, int direction, int id, const char *format, ...) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(format);
    int on = 0;
    if (peer->Manager == nullptr || !Manager_GetMessageLog(peer->Manager, &on) || !on)
        return 1;
    char detail[1024];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(detail, sizeof detail, format, args);
    va_end(args);
    const char *way = direction == BITPEER_LOG_RECEIVED ? "R"
                      : direction == BITPEER_LOG_SENT   ? "S"
                                                        : "U";
    Zyl_Print("[MSG] %s %s %s\n", way, InternalMessageName(id), detail);
    return 1;
}
