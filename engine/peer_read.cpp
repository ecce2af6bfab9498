// The connection's message reader: each whole buffered message is checked
// against its id's length before any field is read, then handled. Wire
// integers are unsigned 32-bit; a failed check closes the connection.
#include <cstring>

#include "core/bitfield.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/bufferio.h"
#include "engine/content.h"
#include "engine/peer_internal.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "engine/swarm.h"

static uint32_t InternalWord(const uint8_t *at) {
    return (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | (uint32_t)at[3];
}

static int InternalPieceCount(BitPeerStruct *p) {
    int bits = 0;
    Bitfield_GetSize(p->PeerPieces, &bits);
    return bits;
}

// This side holds every piece and so does the peer, and seeds are closed.
static int InternalBothComplete(BitPeerStruct *p) {
    BitfieldStruct *held = nullptr;
    if (p->Content == nullptr || !Content_GetBitfield(p->Content, &held) || held == nullptr)
        return 0;
    return Bitfield_IsComplete(held) && Bitfield_IsComplete(p->PeerPieces) && p->Swarm &&
           BitBase_GetCloseSeeds(p->Swarm);
}

static int InternalHolds(BitPeerStruct *p, uint32_t index) {
    BitfieldStruct *held = nullptr;
    if (p->Content == nullptr || !Content_GetBitfield(p->Content, &held) || held == nullptr)
        return 0;
    int bits = 0;
    Bitfield_GetSize(held, &bits);
    return index < (uint32_t)bits && Bitfield_Test(held, (int)index);
}

static int InternalReject(BitPeerStruct *p, uint32_t index, uint32_t begin, uint32_t length) {
    if (p->Fast)
        BitPeer_InternalSendFastReject(p, index, begin, length);
    return 1;
}

static int InternalKeepAlive(BitPeerStruct *p) {
    if (p->KeepAlivePending) {
        p->KeepAlivePending = 0;
    } else if (!Stream_WriteKeepAlive(p->Stream)) {
        return 0;
    }
    if (Slice_IsEmpty(p->Requests))
        return BitPeer_UpdateInterest(p);
    return 1;
}

static int InternalChoke(BitPeerStruct *p) {
    p->PeerChoking = 1;
    if (p->Fast)
        return 1;
    Slice_ResetSent(p->Requests);
    const double now = BitPeer_Now(p);
    if (p->UnchokedByPeerSince > 0)
        p->UnchokedByPeerTotal += now - p->UnchokedByPeerSince;
    p->UnchokedByPeerSince = 0;
    int queued = 0;
    Slice_GetCount(p->Requests, &queued);
    BitPeer_Log(p,
                "[Read]  Choke (Successful, %d slices in queue, %d received, unchoked total %d "
                "secs)",
                queued, p->BlocksSinceUnchoke, (int)p->UnchokedByPeerTotal);
    if (p->ChokeHandoff)
        BitPeer_HandOffSliceQueue(p);
    return 1;
}

static int InternalUnchoke(BitPeerStruct *p) {
    p->PeerChoking = 0;
    p->BlocksSinceUnchoke = 0;
    p->UnchokedByPeerSince = BitPeer_Now(p);
    int queued = 0;
    Slice_GetCount(p->Requests, &queued);
    BitPeer_Log(p, "[Read]  Unchoke (Successful, %d slices in queue)", queued);
    if (queued == 0)
        return BitPeer_UpdateInterest(p);
    // With Fast a choke drops nothing silently (the peer rejects what it drops),
    // so requests still marked sent are still pending there.
    if (!p->Fast)
        Slice_ResetSent(p->Requests);
    return BitPeer_SendRequests(p, 1);
}

static int InternalInterested(BitPeerStruct *p) {
    p->PeerInterested = 1;
    int flag = 1, unchoked = 0, slots = 10;
    if (p->Swarm) {
        flag = BitBase_GetFreeSlotUnchoke(p->Swarm);
        BitBase_CountUnchoked(p->Swarm, &unchoked);
        slots = BitBase_GetRegularSlots(p->Swarm);
    }
    BitPeer_Log(p, "[Read]  Interested (Successful %d:%d:%d)", flag, unchoked, slots);
    if (flag == 1 && unchoked < slots && !BitPeer_SetFlow(p, BITPEER_FLOW_UNCHOKE)) {
        BitPeer_Log(p, "[Read]  Interested (Failed; available unchoke)");
        return 0;
    }
    return 1;
}

static int InternalHave(BitPeerStruct *p, const uint8_t *body) {
    const uint32_t index = InternalWord(body);
    const int pieces = InternalPieceCount(p);
    if (index >= (uint32_t)pieces) {
        BitPeer_Log(p, "[Read]  Have (Failed; Index invalid (%u >= %d)", index, pieces);
        return 0;
    }
    if (Bitfield_Test(p->PeerPieces, (int)index)) {
        BitPeer_Log(p, "[Read]  Have (Index already set as having (%d))", (int)index);
        return 1;
    }
    Bitfield_Set(p->PeerPieces, (int)index);
    if (InternalBothComplete(p)) {
        BitPeer_Log(p, "[Read]  Have (Disconnect; Both peers complete %d)", (int)index);
        return 0;
    }
    int left = 0;
    Bitfield_GetUnsetCount(p->PeerPieces, &left);
    BitPeer_Log(p, "[Read]  Have (Successful %d, %d left)", (int)index, left);
    return BitPeer_UpdateInterest(p);
}

static int InternalBitfield(BitPeerStruct *p, const uint8_t *body, int n) {
    int bytes = 0;
    Bitfield_GetByteLength(p->PeerPieces, &bytes);
    if (n != bytes) {
        BitPeer_Log(p, "[Read]  BitField (Failed; Message length (%d != %d)", n, bytes);
        return 0;
    }
    p->BitfieldSeen = 1;
    const int pieces = InternalPieceCount(p);
    const int spare = bytes * 8 - pieces;
    if (spare > 0 && (body[bytes - 1] & ((1u << spare) - 1)) != 0)
        BitPeer_Log(p, "[Read]  BitField (Spare bits set and cleared)");
    if (!Bitfield_IsEmpty(p->PeerPieces)) {
        // Some clients (aria2) send their piece set after Have messages, and
        // again in place of a run of Haves: the pieces are added to those
        // already announced (a peer's set never shrinks).
        Bitfield_SetBytes(p->Scratch, body, bytes);
        Bitfield_Combine(p->PeerPieces, p->Scratch);
        BitPeer_Log(p, "[Read]  BitField (Merged after Have messages)");
    } else {
        Bitfield_SetBytes(p->PeerPieces, body, bytes);
    }
    if (InternalBothComplete(p)) {
        BitPeer_Log(p, "[Read]  BitField (Disconnect; Both peers complete)");
        return 0;
    }
    int needs = 0;
    Bitfield_GetUnsetCount(p->PeerPieces, &needs);
    BitPeer_Log(p, "[Read]  BitField (Successful; needs %d pieces)", needs);
    return BitPeer_UpdateInterest(p);
}

static int InternalRequest(BitPeerStruct *p, const uint8_t *body) {
    const uint32_t index = InternalWord(body), begin = InternalWord(body + 4),
                   length = InternalWord(body + 8);
    const int i = (int)index, b = (int)begin, l = (int)length;
    if (!p->PeerInterested) {
        BitPeer_Log(p, "[Read]  Request (Failed; BitPeer not interested %d:%d:%d)", i, b, l);
        InternalReject(p, index, begin, length);
        return 0;
    }
    if (!InternalHolds(p, index)) {
        BitPeer_Log(p, "[Read]  Request (Failed; Not available %d:%d:%d)", i, b, l);
        InternalReject(p, index, begin, length);
        return 0;
    }
    if (!Slice_ValidateRequest(p->Responses, index, begin, length)) {
        BitPeer_Log(p, "[Read]  Request (Failed; Not valid %d:%d:%d)", i, b, l);
        InternalReject(p, index, begin, length);
        return 0;
    }
    SliceMemberStruct *same = nullptr;
    if (p->Fast) {
        // While we choke, only pieces of the allowed-fast set we sent are served.
        if (p->ChokingPeer && !BitPeer_IsSentFast(p, (int)index))
            return InternalReject(p, index, begin, length);
    } else if (p->ChokingPeer) {
        p->Errors++;
        BitPeer_Log(p, "[Read]  Request (Failed; BitPeer is choked %d:%d:%d)", i, b, l);
        return 1;
    }
    if (Slice_Find(p->Responses, i, b, l, &same)) {
        p->Errors++;
        BitPeer_Log(p, "[Read]  Request (Failed; Duplicate %d:%d:%d)", i, b, l);
        return InternalReject(p, index, begin, length);
    }
    int queued = 0;
    Slice_GetCount(p->Responses, &queued);
    if (queued >= BITPEER_MAX_RESPONSES) {
        p->Errors++;
        BitPeer_Log(p, "[Read]  Request (Failed; Queue full %d:%d:%d)", i, b, l);
        return InternalReject(p, index, begin, length);
    }
    if (!Slice_Add(p->Responses, i, b, l)) {
        BitPeer_Log(p, "[Read]  Request (Failed; Unable to add %d:%d:%d)", i, b, l);
        return 0;
    }
    p->SendMark = BitPeer_Now(p);
    BitPeer_Log(p, "[Read]  Request (Successful %d:%d:%d)", i, b, l);
    return 1;
}

// A block nobody asked for: counted and dropped (a Reject would name a request
// the peer never had).
static int InternalDiscardPiece(BitPeerStruct *p, int length) {
    __atomic_fetch_add(&p->BadBytes, (int64_t)length, __ATOMIC_RELAXED);
    BitPeer_Log(p, "Receiver discarding %d bytes", length);
    return 1;
}

static int InternalPiece(BitPeerStruct *p, const uint8_t *body, int n) {
    const uint32_t index = InternalWord(body), begin = InternalWord(body + 4);
    const int length = n - 8;
    const int i = (int)index, b = (int)begin;
    if (Slice_IsEmpty(p->Requests)) {
        if (p->Cancelled > 0) {
            // A block of a request we cancelled: dropped without counting an error.
            p->Cancelled--;
            __atomic_fetch_add(&p->BadBytes, (int64_t)length, __ATOMIC_RELAXED);
            BitPeer_Log(p, "Receiver discarding %d bytes", length);
            return 1;
        }
        p->Errors++;
        BitPeer_Log(p, "[Read]  Piece (Failed; Nothing in queue %d %d:%d:%d)", p->Errors, i, b,
                    length);
        return InternalDiscardPiece(p, length);
    }
    if (!p->Interested) {
        p->Errors++;
        BitPeer_Log(p, "[Read]  Piece (Failed; BitPeer not interested %d %d:%d:%d)", p->Errors, i,
                    b, length);
        return InternalDiscardPiece(p, length);
    }
    if (p->Fast && !Slice_ContainsPiece(p->Requests, i)) {
        BitPeer_Log(p, "[Read]  Piece (Not requested %d:%d:%d)", i, b, length);
        return InternalDiscardPiece(p, length);
    }
    p->BlocksSinceUnchoke++;
    int queued = 0, sent = 0;
    Slice_GetCount(p->Requests, &queued);
    Slice_GetSentCount(p->Requests, &sent);
    BitPeer_Log(p, "[Read]  Piece (Successful %d:%d:%d  Left %d:%d)", i, b, length, queued - 1,
                sent);
    if (!BitPeer_ReceivePiece(p, i, b, body + 8, length))
        return 0;
    return BitPeer_UpdateInterest(p);
}

static int InternalCancel(BitPeerStruct *p, const uint8_t *body) {
    const uint32_t index = InternalWord(body), begin = InternalWord(body + 4),
                   length = InternalWord(body + 8);
    if (p->Fast) {
        // Answered by a Reject only when the request was still waiting here.
        if (!Slice_Remove(p->Responses, (int)index, (int)begin, (int)length))
            return 1;
        BitPeer_Log(p, "[Read]  Cancel (Success %d:%d:%d)", (int)index, (int)begin, (int)length);
        return InternalReject(p, index, begin, length);
    }
    if (!p->PeerInterested) {
        BitPeer_Log(p, "[Read]  Cancel (Failed; BitPeer not interested)");
        return 0;
    }
    const int i = (int)index, b = (int)begin, l = (int)length;
    if (Slice_Remove(p->Responses, i, b, l)) {
        BitPeer_Log(p, "[Read]  Cancel (Success %d:%d:%d)", i, b, l);
    } else {
        p->Errors++;
        int queued = 0;
        Slice_GetCount(p->Responses, &queued);
        BitPeer_Log(p, "[Read]  Cancel (Failed; Unable to remove %d:%d:%d %d [%d])", i, b, l,
                    p->Errors, queued);
    }
    return 1;
}

static void InternalAddListed(int *list, int *count, int index) {
    for (int i = 0; i < *count; i++)
        if (list[i] == index)
            return;
    if (*count < BITPEER_FAST_SIZE)
        list[(*count)++] = index;
}

// A Reject takes exactly that block out of our queue and gives it back to the
// picker; one matching nothing (the answer to a Cancel of ours) is only logged.
static int InternalRejectReceived(BitPeerStruct *p, const uint8_t *body) {
    const int index = (int)InternalWord(body), begin = (int)InternalWord(body + 4),
              length = (int)InternalWord(body + 8);
    SliceMemberStruct *m = nullptr;
    if (!Slice_Find(p->Requests, index, begin, length, &m)) {
        BitPeer_Log(p, "[Read] Fast-HaveReject (Ignored; No request %d:%d:%d)", index, begin,
                    length);
        return 1;
    }
    Slice_RemoveMember(p->Requests, m);
    PieceStruct *picker = nullptr;
    if (p->Base && Base_GetPiecePicker(p->Base, &picker) && picker && picker->Partial)
        Slice_Add(picker->PartialList, index, begin, length);
    BitPeer_Log(p, "[Read] Fast-HaveReject (Successful %d:%d:%d)", index, begin, length);
    return 1;
}

static int InternalFastMessage(BitPeerStruct *p, int id, const uint8_t *body) {
    const int pieces = InternalPieceCount(p);
    switch (id) {
    case STREAM_ID_SUGGEST: {
        const uint32_t index = InternalWord(body);
        if (index >= (uint32_t)pieces) {
            BitPeer_Log(p, "[Read] Fast-Suggest (Ignored; Index invalid (%u >= %d))", index,
                        pieces);
            return 1;
        }
        if (!Slice_ContainsPiece(p->Requests, (int)index))
            InternalAddListed(p->Suggested, &p->SuggestedCount, (int)index);
        return BitPeer_UpdateInterest(p);
    }
    case STREAM_ID_HAVE_ALL:
        Bitfield_SetAll(p->PeerPieces);
        if (InternalBothComplete(p)) {
            BitPeer_Log(p, "[Read]  BitField (Disconnect; Both peers complete)");
            return 0;
        }
        BitPeer_Log(p, "[Read]  HaveAll (Successful; needs 0 pieces)");
        if (BitPeer_IsInterestedIn(p) && !BitPeer_SetFlow(p, BITPEER_FLOW_INTERESTED))
            return 0;
        return BitPeer_UpdateInterest(p);
    case STREAM_ID_HAVE_NONE:
        Bitfield_ClearAll(p->PeerPieces);
        BitPeer_Log(p, "[Read]  HaveNone (Successful; needs %d pieces)", pieces);
        return BitPeer_UpdateInterest(p);
    case STREAM_ID_REJECT:
        return InternalRejectReceived(p, body);
    default: { // STREAM_ID_ALLOW_FAST
        const uint32_t index = InternalWord(body);
        if (index >= (uint32_t)pieces) {
            BitPeer_Log(p, "[Read] Fast-AllowFast (Ignored; Index invalid (%u >= %d))", index,
                        pieces);
            return 1;
        }
        if (!Slice_ContainsPiece(p->Requests, (int)index)) {
            int found = 0;
            for (int i = 0; i < p->AllowedFastCount; i++)
                found |= p->AllowedFast[i].Index == (int)index;
            if (!found && p->AllowedFastCount < BITPEER_FAST_SIZE)
                p->AllowedFast[p->AllowedFastCount++] = {(int)index, 1};
        }
        return BitPeer_UpdateInterest(p);
    }
    }
}

struct MessageRule {
    int Id;
    int Length; // accepted L (id byte included); -1 other rules
    const char *LengthLine;
    const char *NotEnabledLine; // Fast messages only
};

static const MessageRule kRules[] = {
    {0, 1, "[Read]  Choke (Failed; Message length (%d != %d)", nullptr},
    {1, 1, "[Read]  Unchoke (Failed; Message length (%d != %d)", nullptr},
    {2, 1, "[Read]  Interested (Failed; Message length (%d != %d)", nullptr},
    {3, 1, "[Read]  Not Interested (Failed; Message length (%d != %d)", nullptr},
    {4, 5, "[Read]  Have (Failed; Message length (%d != %d)", nullptr},
    {6, 13, "[Read]  Request (Failed; Message length (%d != %d)", nullptr},
    {8, 13, "[Read]  Cancel (Failed; Message length (%d != %d)", nullptr},
    {13, 5, "[Read] Fast-Suggest (Failed; Message length (%d != %d)",
     "[Read] Fast-Suggest message received when FastExtension is not enabled on the connection"},
    {14, 1, "[Read] Fast-HaveAll (Failed; Message length (%d != %d)",
     "[Read] Fast-HaveAll message received when FastExtension is not enabled on the connection"},
    {15, 1, "[Read] Fast-HaveNone (Failed; Message length (%d != %d)",
     "[Read] Fast-HaveNone message received when FastExtension is not enabled on the connection"},
    {16, 13, "[Read] Fast-HaveReject (Failed; Message length (%d != %d)",
     "[Read] Fast-Reject message received when FastExtension is not enabled on the connection"},
    {17, 5, "[Read] Fast-HaveAllowFast (Failed; Message length (%d != %d)",
     "[Read] Fast-AllowFast message received when FastExtension is not enabled on the "
     "connection"},
};

static const MessageRule *InternalRule(int id) {
    for (const MessageRule &r : kRules)
        if (r.Id == id)
            return &r;
    return nullptr;
}

static void InternalLogReceived(BitPeerStruct *p, int id, const uint8_t *body, int n) {
    switch (id) {
    case 4:
    case 13:
    case 17:
        BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, id, "Index %d", (int)InternalWord(body));
        break;
    case 6:
    case 8:
        BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, id, "Index/Offset/Length %d/%d/%d",
                           (int)InternalWord(body), (int)InternalWord(body + 4),
                           (int)InternalWord(body + 8));
        break;
    case 7:
    case 16:
        BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, id, "Index/Offset %d/%d",
                           (int)InternalWord(body), (int)InternalWord(body + 4));
        break;
    case 9:
        BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, id, "Port %d",
                           n >= 2 ? (int)(body[0] << 8 | body[1]) : 0);
        break;
    default:
        BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, id, "%s", "");
        break;
    }
}

int BitPeer_ReadMessage(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    uint8_t *data = nullptr;
    int held = 0;
    Stream_Peek(p->Stream, &data, &held);
    if (held < 4)
        return 1;
    const uint32_t length = InternalWord(data);
    if (length == 0)
        return InternalKeepAlive(p);
    p->LastMessageTime = BitPeer_Now(p);
    const int L = (int)length;
    const int id = data[4];
    const uint8_t *body = data + 5;
    const int n = L - 1; // bytes after the id
    const MessageRule *rule = InternalRule(id);
    if (rule && rule->NotEnabledLine && !p->Fast) {
        BitPeer_Log(p, "%s", rule->NotEnabledLine);
        return 0;
    }
    if (rule && L != rule->Length) {
        // The table holds only "(%d != %d)" lines.
        (BitPeer_Log)(p, rule->LengthLine, L, rule->Length);
        return 0;
    }
    if (id == STREAM_ID_PIECE && L < 9) {
        BitPeer_Log(p, "[Read]  Piece (Failed; Message length (%d < %d)", L, 9);
        return 0;
    }
    if (id == 9 && L != 3) {
        BitPeer_Log(p, "[Read]  Port (Failed; Message length (%d != %d)", L, 3);
        return 0;
    }
    if ((id >= 10 && id <= 12) || id > 17) {
        BitPeer_Log(p, "[Read]  Unknown [%d]", id);
        return 0;
    }
    if (id != STREAM_ID_BITFIELD)
        InternalLogReceived(p, id, body, n);
    switch (id) {
    case STREAM_ID_CHOKE:
        return InternalChoke(p);
    case STREAM_ID_UNCHOKE:
        return InternalUnchoke(p);
    case STREAM_ID_INTERESTED:
        return InternalInterested(p);
    case STREAM_ID_NOT_INTERESTED:
        p->PeerInterested = 0;
        if (p->Fast && !BitPeer_RejectResponses(p, 0))
            return 0;
        BitPeer_Log(p, "[Read]  Not Interested (Successful)");
        return 1;
    case STREAM_ID_HAVE:
        return InternalHave(p, body);
    case STREAM_ID_BITFIELD:
        if (n == 0 || InternalPieceCount(p) > 0)
            InternalLogReceived(p, id, body, n);
        return InternalBitfield(p, body, n);
    case STREAM_ID_REQUEST:
        return InternalRequest(p, body);
    case STREAM_ID_PIECE:
        return InternalPiece(p, body, n);
    case STREAM_ID_CANCEL:
        return InternalCancel(p, body);
    case 9:
        BitPeer_Log(p, "[Read]  Port (Successful %d)", (int)(body[0] << 8 | body[1]));
        return 1;
    default:
        return InternalFastMessage(p, id, body);
    }
}

// Fills of one read of a plain connection: while a fill stops at a full input
// buffer the transport may hold more, so the buffer is drained and filled
// again, this many times at most, before the other connections get their turn.
// An encrypted connection decrypts what it reads as it reads it: it fills once
// per turn, so that the requests its blocks freed go out sooner.
enum { kFillsPerRead = 4 };

int BitPeer_ReadMessages(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if (p->Errors >= BITPEER_MAX_ERRORS)
        return 0;
    BufferIOStruct *in = nullptr;
    Stream_GetInBuffer(p->Stream, &in);
    const int fills = in && in->Cipher ? 1 : kFillsPerRead;
    int filled = 1;
    for (int fill = 0; fill < fills; fill++) {
        filled = Stream_Fill(p->Stream);
        const int full = in && in->Saturated;
        for (;;) {
            int ready = 0;
            if (!Stream_HasMessage(p->Stream, &ready))
                return 0;
            if (!ready)
                break;
            if (!BitPeer_ReadMessage(p))
                return 0;
            // A handler may have closed the stream (and emptied its buffers).
            if (p->State >= BITPEER_STATE_FAILURE)
                return 0;
            Stream_ConsumeMessage(p->Stream);
        }
        if (!filled || !full)
            break;
    }
    return filled ? 1 : 0;
}
