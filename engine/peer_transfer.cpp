// The connection's transfers: interest, picking pieces, the request pass
// (bounded by the request depth), received blocks and completed pieces,
// serving the peer's requests from the manager's shared buffer, cancels.
#include "core/bitfield.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/peer_internal.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "engine/swarm.h"
#include "engine/trafficshape.h"

// The download's shaper and the peer-wire class handle of a direction; 0 when
// there is no shaper.
static TrafficShapeStruct *InternalShaper(BitPeerStruct *p, int direction, int *handle) {
    *handle = 0;
    if (p->Base == nullptr)
        return nullptr;
    TrafficShapeStruct *shaper = nullptr;
    if (!Base_GetOwnTrafficShape(p->Base, &shaper) && p->Manager)
        Manager_GetTrafficShape(p->Manager, &shaper);
    if (shaper)
        Base_GetShapeHandle(p->Base, BASE_SHAPE_PEER, "", direction, handle);
    return shaper;
}

static int InternalAllow(BitPeerStruct *p, int direction, int length) {
    int handle = 0;
    TrafficShapeStruct *shaper = InternalShaper(p, direction, &handle);
    if (shaper == nullptr)
        return 1;
    if (handle > 0) {
        int64_t allowance = 0;
        TrafficShape_GetAllowance(shaper, handle, (TrafficShapeDirection)direction, &allowance);
        if (allowance < length)
            TrafficShape_SetAllowance(shaper, handle, (TrafficShapeDirection)direction, length);
    }
    return TrafficShape_AllowSend(shaper, (TrafficShapeDirection)direction, handle, length);
}

int BitPeer_UpdateInterest(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    BitfieldStruct *held = nullptr;
    if (p->Content)
        Content_GetBitfield(p->Content, &held);
    if (held && Bitfield_IsComplete(held)) {
        if (p->Swarm && BitBase_GetCloseSeeds(p->Swarm) && Bitfield_IsComplete(p->PeerPieces))
            return 0;
        return BitPeer_SetFlow(p, BITPEER_FLOW_NOT_INTERESTED);
    }
    if (!BitPeer_IsInterestedIn(p))
        return BitPeer_SetFlow(p, BITPEER_FLOW_NOT_INTERESTED);
    if (p->Fast && p->PeerChoking)
        BitPeer_QueueAllowedFast(p);
    if (!BitPeer_SetFlow(p, BITPEER_FLOW_INTERESTED))
        return 0;
    if (p->Fast && !Slice_IsEmpty(p->Requests) && !BitPeer_SendRequests(p, 0))
        return 0;
    if (!Slice_IsEmpty(p->Requests) || p->PeerChoking)
        return 1;
    return BitPeer_PickPieces(p);
}

// Asks the picker for more blocks; 1 when it queued some.
static int InternalFillQueue(BitPeerStruct *p) {
    PieceStruct *picker = nullptr;
    if (p->Base == nullptr || !Base_GetPiecePicker(p->Base, &picker) || picker == nullptr)
        return 0;
    int before = 0, after = 0;
    Slice_GetCount(p->Requests, &before);
    Piece_SetOrder(picker, p->PieceOrder);
    int index = 0, continued = 0;
    if (!Piece_ChooseNext(picker, p, p->PeerPieces, 1, p->Requests, 1, &index, &continued))
        return 0;
    Slice_GetCount(p->Requests, &after);
    if (after > before) {
        p->CurrentPiece = index;
        p->FullPiece = continued ? 0 : 1;
    }
    return after > before ? 1 : 0;
}

int BitPeer_PickPieces(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    peer->CorruptRerequest = 0;
    peer->ReceiveMark = BitPeer_Now(peer);
    if (InternalFillQueue(peer))
        return BitPeer_SendRequests(peer, 1);
    return 1;
}

int BitPeer_QueueAllowedFast(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    for (int i = 0; i < p->AllowedFastCount; i++)
        if (Slice_ContainsPiece(p->Requests, p->AllowedFast[i].Index))
            p->AllowedFast[i].Usable = 0;
    const int depth = BitPeer_GetRequestDepth(p);
    int queued = 0;
    Slice_GetCount(p->Requests, &queued);
    if (queued >= depth)
        return 1;
    const int n = depth - queued < p->AllowedFastCount ? depth - queued : p->AllowedFastCount;
    BitfieldStruct *held = nullptr;
    if (p->Content)
        Content_GetBitfield(p->Content, &held);
    for (int i = 0; i < n; i++) {
        const int index = p->AllowedFast[i].Index;
        if (p->AllowedFast[i].Usable && BitPeer_IsInterestedIn(p) &&
            Bitfield_Test(p->PeerPieces, index) && !(held && Bitfield_Test(held, index)))
            Slice_AddPiece(p->Requests, index);
    }
    return 1;
}

// 1 when the peer named the piece in its allowed-fast list.
static int InternalPeerAllowsFast(BitPeerStruct *p, int index) {
    for (int i = 0; i < p->AllowedFastCount; i++)
        if (p->AllowedFast[i].Index == index)
            return 1;
    return 0;
}

int BitPeer_GetRequestDepth(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    double current = 0, average = 0, maximum = 0;
    if (peer->Swarm)
        BitBase_GetIncomingRates(peer->Swarm, &current, &average, &maximum);
    int slice = CONTENT_DEFAULT_SLICE_SIZE;
    if (peer->Content)
        Content_GetSliceSize(peer->Content, &slice);
    float depth = 4.0f * (float)average / (float)slice + 2.0f;
    if (peer->BytesReceived < 4 * (int64_t)slice && depth <= 10.0f)
        depth = 10.0f;
    if (depth > 50.0f) {
        const float scaled = (float)(int)(depth * 0.075f);
        depth = scaled > 50.0f ? scaled : 50.0f;
    }
    return (int)depth;
}

int BitPeer_SendRequests(BitPeerStruct *peer, int chokeTest) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if ((chokeTest && p->PeerChoking) || Slice_IsEmpty(p->Requests))
        return 1;
    int count = 0;
    Slice_GetSentCount(p->Requests, &count);
    if (count >= p->RequestDepth)
        return 1;
    SliceMemberStruct *m = nullptr;
    Slice_First(p->Requests, &m);
    while (m && count < p->RequestDepth) {
        int state = 0;
        Slice_GetState(m, &state);
        int index = 0, begin = 0, length = 0;
        Slice_GetMember(p->Requests, m, &index, &begin, &length);
        if (p->PeerChoking && p->Fast) {
            // Choked: only blocks of the peer's allowed-fast pieces may be asked for.
            if (state != SLICE_STATE_SENT && InternalPeerAllowsFast(p, index) &&
                InternalAllow(p, TRAFFICSHAPE_INCOMING, length)) {
                if (!Stream_WriteRequest(p->Stream, (uint32_t)index, (uint32_t)begin,
                                         (uint32_t)length))
                    return 0;
                Slice_MarkSent(p->Requests, m);
                count++;
            }
            Slice_Next(p->Requests, m, &m);
            continue;
        }
        if (state != SLICE_STATE_SENT) {
            if (InternalAllow(p, TRAFFICSHAPE_INCOMING, length)) {
                if (!Stream_WriteRequest(p->Stream, (uint32_t)index, (uint32_t)begin,
                                         (uint32_t)length))
                    return 0;
                Slice_MarkSent(p->Requests, m);
            }
        }
        count++;
        if (p->PeerChoking)
            continue; // the walk stays on the first entry while choked
        SliceMemberStruct *next = nullptr;
        if (Slice_Next(p->Requests, m, &next)) {
            m = next;
        } else if (count < p->RequestDepth && InternalFillQueue(p)) {
            Slice_First(p->Requests, &m);
        } else {
            break;
        }
    }
    return Stream_Flush(p->Stream);
}

int BitPeer_SendResponse(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    SliceMemberStruct *m = nullptr;
    while (Slice_First(p->Responses, &m) && m) {
        int index = 0, begin = 0, length = 0;
        Slice_GetMember(p->Responses, m, &index, &begin, &length);
        uint8_t *buffer = nullptr;
        if (p->Manager == nullptr || !Manager_LockSharedBuffer(p->Manager, length, &buffer))
            return 0;
        if (!Content_Read(buffer, p->Content, index, begin, length)) {
            BitPeer_Log(p, "Response unable to read piece (%d:%d)", index, begin);
            Manager_UnlockSharedBuffer(p->Manager);
            return 0;
        }
        if (!InternalAllow(p, TRAFFICSHAPE_OUTGOING, length)) {
            Manager_UnlockSharedBuffer(p->Manager);
            return 1;
        }
        int sent = 0;
        if (!Stream_WritePiece(p->Stream, (uint32_t)index, (uint32_t)begin, buffer, length,
                               &sent)) {
            BitPeer_Log(p, "Response unable to send piece (%d:%d)", index, begin);
            Manager_UnlockSharedBuffer(p->Manager);
            return 0;
        }
        Manager_UnlockSharedBuffer(p->Manager);
        if (sent == 0)
            return 1;
        if (!Slice_Remove(p->Responses, index, begin, length)) {
            p->Errors++;
            BitPeer_Log(p, "Response unable to remove from queue (%d)", p->Errors);
        }
        const double now = BitPeer_Now(p);
        if (p->SendMark > 0)
            p->SendInterval = (now - p->SendMark + p->SendInterval) / 2;
        __atomic_fetch_add(&p->BytesSent, (int64_t)length, __ATOMIC_RELAXED);
        p->SendMark = now;
        p->LastSentTime = now;
    }
    return 1;
}

static void InternalCountBlock(BitPeerStruct *p, int index, int begin, int length) {
    const double now = BitPeer_Now(p);
    BitPeer_Log(p, "Received %d:%d:%d in %.2f secs", index, begin, length,
                p->ReceiveMark > 0 ? now - p->ReceiveMark : 0.0);
    __atomic_fetch_add(&p->BytesReceived, (int64_t)length, __ATOMIC_RELAXED);
    if (p->ReceiveMark > 0)
        p->ReceiveInterval = (now - p->ReceiveMark + p->ReceiveInterval) / 2;
    p->ReceiveMark = now;
    p->LastBlockTime = now;
}

int BitPeer_ReceivePiece(BitPeerStruct *peer, int index, int begin, const uint8_t *block,
                         int length) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if (!Slice_Remove(p->Requests, index, begin, length)) {
        if (p->Cancelled > 0) {
            p->Cancelled--;
            __atomic_fetch_add(&p->BadBytes, (int64_t)length, __ATOMIC_RELAXED);
            BitPeer_Log(p, "Receiver discarding %d bytes", length);
            return 1;
        }
        p->Errors++;
        BitPeer_Log(p, "Receiver unable to remove from queue (%d)", p->Errors);
        return 1;
    }
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(p->Content, &held);
    if (held && Bitfield_Test(held, index)) {
        InternalCountBlock(p, index, begin, length);
        __atomic_fetch_add(&p->BadBytes, (int64_t)length, __ATOMIC_RELAXED);
        BitPeer_Log(p, "Receiver discarding %d bytes", length);
        return 1;
    }
    if (!Content_Write(block, p->Content, index, begin, length)) {
        p->Errors++;
        BitPeer_Log(p, "Receiver unable to write (%d)", p->Errors);
        return 1;
    }
    InternalCountBlock(p, index, begin, length);
    if (p->CorruptRerequest && Content_VerifyPiece(p->Content, index) == CONTENT_PIECE_OK) {
        BitPeer_Log(p, "Resumed corrupt partial slice now complete");
        BitPeer_CancelAllRequests(p);
    }
    if (Slice_ContainsPiece(p->Requests, index))
        return 1;
    return BitPeer_PieceCompleted(p, index);
}

int BitPeer_PieceCompleted(BitPeerStruct *peer, int index) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    int bytes = 0, failed = 0;
    Content_GetPieceSize(p->Content, index, &bytes);
    if (Content_AuthenticatePiece(p->Content, index, &failed)) {
        p->GoodPieces++;
        __atomic_fetch_add(&p->GoodBytes, (int64_t)bytes, __ATOMIC_RELAXED);
        if (p->Swarm)
            BitBase_QueueHave(p->Swarm, index);
    } else if (failed) {
        p->CorruptPieces++;
        __atomic_fetch_add(&p->CorruptBytes, (int64_t)bytes, __ATOMIC_RELAXED);
        p->CurrentPiece = index;
        p->Errors++;
        if (p->FullPiece && !p->CorruptRerequest) {
            BitPeer_Log(p, "Building full (3) request off index (%d) on corrupt content", index);
            if (!Slice_AddPiece(p->Requests, index))
                return 0;
            p->CorruptRerequest = 1;
        }
    } else {
        __atomic_fetch_add(&p->BadBytes, (int64_t)bytes, __ATOMIC_RELAXED);
        p->BadPieces++;
        p->Errors++;
    }
    if (p->State > 9)
        return 0;
    return BitPeer_UpdateInterest(p);
}

static int InternalCancel(BitPeerStruct *p, int all, int piece) {
    SliceMemberStruct *m = nullptr;
    Slice_First(p->Requests, &m);
    while (m) {
        SliceMemberStruct *next = nullptr;
        Slice_Next(p->Requests, m, &next);
        int index = 0, begin = 0, length = 0, state = 0;
        Slice_GetMember(p->Requests, m, &index, &begin, &length);
        if (all || index == piece) {
            Slice_GetState(m, &state);
            if (state == SLICE_STATE_SENT) {
                if (!Stream_WriteCancel(p->Stream, (uint32_t)index, (uint32_t)begin,
                                        (uint32_t)length)) {
                    BitPeer_Log(p, "Failed to cancel request (%d:%d:%d)", index, begin, length);
                    return 0;
                }
                p->Cancelled++;
            }
            if (!all)
                Slice_RemoveMember(p->Requests, m);
        }
        m = next;
    }
    if (all)
        Slice_RemoveAll(p->Requests);
    Stream_Flush(p->Stream);
    return 1;
}

int BitPeer_CancelAllRequests(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    if (Slice_IsEmpty(peer->Requests))
        return 1;
    return InternalCancel(peer, 1, 0);
}

int BitPeer_CancelPieceRequests(BitPeerStruct *peer, int index) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return InternalCancel(peer, 0, index);
}

int BitPeer_HandOffSliceQueue(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    if (Slice_IsEmpty(peer->Requests))
        return 1;
    BitPeer_Log(peer, "Handing off slice queue [%d]", peer->CurrentPiece);
    PieceStruct *picker = nullptr;
    if (peer->Base && Base_GetPiecePicker(peer->Base, &picker) && picker)
        return Piece_QueuePartial(picker, peer->Requests);
    return Slice_RemoveAll(peer->Requests);
}

int BitPeer_InternalSendFastReject(BitPeerStruct *peer, uint32_t index, uint32_t begin,
                                   uint32_t length) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return Stream_WriteReject(peer->Stream, index, begin, length);
}

int BitPeer_Process(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    if (!Stream_Flush(peer->Stream))
        return 0;
    if (!BitPeer_SendResponse(peer))
        return 0;
    return BitPeer_SendRequests(peer, 1);
}
