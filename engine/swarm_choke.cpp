// The swarm's timed policies: the choke evaluation (ten ranked slots and one
// optimistic slot every 30 s), keep-alives and inactivity time-outs, the have
// queue, the switch to seed mode, piece availability and the hand-off choice.
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/mutex.h"
#include "core/random.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/peer.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "engine/swarm_internal.h"
#include "engine/transport.h"

static int InternalComplete(BitBaseStruct *s) {
    BitfieldStruct *held = nullptr;
    int bits = 0;
    return s->Content && Content_GetBitfield(s->Content, &held) && held &&
           Bitfield_GetSize(held, &bits) && bits > 0 && Bitfield_IsComplete(held);
}

// ---------------------------------------------------------------------------
// Choke evaluation
// ---------------------------------------------------------------------------

static int InternalEligible(BitPeerStruct *p) {
    return p->State == BITPEER_STATE_GOOD && p->PeerInterested && p->Exempt != 1 &&
           BitPeer_IsInterestingTo(p);
}

// 1 when a ranks strictly above b.
static int InternalRanksAbove(BitBaseStruct *s, int seeding, BitPeerStruct *a, BitPeerStruct *b) {
    if (seeding)
        return a->LastUnchokeTime < b->LastUnchokeTime;
    int64_t sa = a->BytesReceived, sb = b->BytesReceived;
    if (s->UploadWeight != 0) {
        sa -= a->BytesSent / s->UploadWeight;
        sb -= b->BytesSent / s->UploadWeight;
    }
    return sa > sb;
}

static void InternalPlace(BitBaseStruct *s, int seeding, BitBaseMemberStruct *m) {
    BitBaseMemberStruct **slots = s->Slots;
    int target = 0;
    for (int i = 0; i < 10; i++) {
        if (slots[i] == nullptr) {
            target = i;
            break;
        }
        if (i == target)
            continue;
        if (slots[target] &&
            InternalRanksAbove(s, seeding, slots[target]->Connection, slots[i]->Connection))
            target = i;
    }
    if (slots[target] == nullptr ||
        InternalRanksAbove(s, seeding, m->Connection, slots[target]->Connection))
        slots[target] = m;
}

int BitBase_EvaluateChoke(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    const double now = BitBase_Now(s);
    const double elapsed = now - s->LastUnchokeEvaluation;
    if (elapsed < s->UnchokeInterval || s->MemberCount < 1)
        return 1;
    BitBase_Log(s, "Unchoke check (%.2f) %.2f %d : %d", elapsed, now, s->UnchokeInterval,
                s->SlotCount);
    s->LastUnchokeEvaluation = now;
    for (int i = 0; i < s->SlotCount; i++)
        s->Slots[i] = nullptr;
    const int seeding = InternalComplete(s);
    if (!MUTEX_LOCK(s->Mutex))
        return 0;
    int unchoked = 0, eligible = 0;
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        if (m->Removed || m->Connection->State != BITPEER_STATE_GOOD)
            continue;
        unchoked += m->Connection->ChokingPeer == 0;
        eligible += InternalEligible(m->Connection);
    }
    int optimistic = 0;
    if (eligible > 0) {
        RandomStruct *random = nullptr;
        if (s->Base && Base_GetRandom(s->Base, &random) && random)
            optimistic = (int)(Random_Next(random) % (uint32_t)eligible);
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
              "Potentially %d members (%d total, %d unchoked, %d max) evaluated, "
              "opportunistically unchoking member %d",
              eligible, s->MemberCount, unchoked, s->SlotCount, optimistic);
    int number = 0;
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        if (m->Removed || !InternalEligible(m->Connection))
            continue;
        if (number++ == optimistic)
            s->Slots[s->SlotCount - 1] = m;
        else
            InternalPlace(s, seeding, m);
    }
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        BitPeerStruct *p = m->Connection;
        if (m->Removed || p->State != BITPEER_STATE_GOOD)
            continue;
        int slotted = 0;
        for (int i = 0; i < s->SlotCount; i++)
            slotted |= s->Slots[i] == m;
        int ok = 1;
        if (p->ChokingPeer && p->Exempt == 1)
            ok = BitPeer_SetFlow(p, BITPEER_FLOW_UNCHOKE);
        else if (!p->ChokingPeer && p->Exempt != 1 && !slotted)
            ok = BitPeer_SetFlow(p, BITPEER_FLOW_CHOKE);
        if (!ok)
            BitPeer_Close(p, "Choke Evaluation", 1);
    }
    for (int i = 0; i < s->SlotCount; i++) {
        BitBaseMemberStruct *m = s->Slots[i];
        if (m && m->Connection->State == BITPEER_STATE_GOOD &&
            !BitPeer_SetFlow(m->Connection, BITPEER_FLOW_UNCHOKE))
            BitPeer_Close(m->Connection, "Eval Unchoke", 1);
    }
    MUTEX_UNLOCK(s->Mutex);
    return 1;
}

// ---------------------------------------------------------------------------
// Keep-alives and time-outs
// ---------------------------------------------------------------------------

// Closes (0) or keeps (1) a member by its silence.
static int InternalSilence(BitBaseStruct *s, BitPeerStruct *p, double now) {
    const double d = now - p->LastMessageTime;
    if (d >= 3.0 * s->KeepAliveInterval) {
        BitPeer_Close(p, "KeepAlive timeout", 1);
        return 0;
    }
    if (p->State == BITPEER_STATE_GOOD && d >= s->KeepAliveInterval && !BitPeer_SendKeepAlive(p)) {
        BitPeer_Close(p, "KeepAlive Not OK", 1);
        return 0;
    }
    return 1;
}

int BitBase_CheckKeepAlive(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    const double now = BitBase_Now(s);
    const double elapsed = now - s->LastKeepAliveCheck;
    if (elapsed < s->KeepAliveInterval)
        return 1;
    char name[21];
    BitBase_ShortName(s, name, sizeof name);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%10s: KeepAlive check (%.2f) %.2f %.2f",
              name, elapsed, now, s->LastKeepAliveCheck);
    s->LastKeepAliveCheck = now;
    BitBaseMemberStruct *m = nullptr;
    for (int more = BitBase_GetFirstMember(s, &m); more; more = BitBase_GetNextMember(m, s, &m))
        if (m->Connection->State == BITPEER_STATE_GOOD)
            InternalSilence(s, m->Connection, now);
    return 1;
}

// A Contact connection past the connect time-out moves to the next transport.
static int InternalConnectTimeout(BitBaseStruct *s, BitBaseMemberStruct *m) {
    BitPeerStruct *p = m->Connection;
    BitPeer_Close(p, "Connect timeout", 1);
    int current = 0, next = 0;
    if (p->Transport == nullptr || m->Port == 0 || Transport_IsAccepted(p->Transport) == 1)
        return 0;
    Transport_GetType(p->Transport, &current);
    if (!BitBase_NextTransportType(&next, s, current))
        return 0;
    char oldName[80] = "", newName[80] = "";
    Transport_GetName(p->Transport, oldName, sizeof oldName);
    Transport_SetType(p->Transport, next);
    Transport_GetName(p->Transport, newName, sizeof newName);
    Stream_SetTransport(p->Stream, p->Transport);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Failed to connect using [%s], trying [%s]",
              oldName, newName);
    BitPeer_Reset(p);
    if (!BitBase_ContactPeer(s, m, m->Address, m->Port, p->Transport))
        return 0;
    BitPeer_SetState(p, BITPEER_STATE_CONTACT);
    return 1;
}

int BitBase_CheckMemberTimeouts(BitBaseStruct *swarm, BitBaseMemberStruct *member, double now) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(member);
    BitBaseStruct *s = swarm;
    BitPeerStruct *p = member->Connection;
    if (p->State >= BITPEER_STATE_FAILURE) {
        BitBase_RemoveMember(s, member);
        return 0;
    }
    if (now - s->LastKeepAliveCheck >= s->KeepAliveInterval && !InternalSilence(s, p, now))
        return 0;
    if (p->State == BITPEER_STATE_CONTACT && now - p->StateTime >= s->ConnectTimeout)
        return InternalConnectTimeout(s, member);
    if (s->ValueTimeout >= 1 && now - p->StateTime < s->ValueTimeout)
        return 1;
    int requests = 0, responses = 0;
    BitPeer_GetQueueLengths(p, &requests, &responses);
    if (!s->SeedModeOn) {
        const double slice = now - p->ReceiveMark, value = now - p->LastBlockTime;
        if (s->SliceTimeout >= 1 && requests > 0 && slice > s->SliceTimeout) {
            BitPeer_Log(p, "No slice activity (client) in %d/%d secs (%d slices)", (int)slice,
                        s->SliceTimeout, requests);
            BitPeer_Close(p, "Slice timeout", 1);
            return 0;
        }
        if (s->ValueTimeout >= 1 && requests == 0 && value > s->ValueTimeout) {
            BitPeer_Log(p, "No actual transfer activity (client) in %d/%d secs", (int)value,
                        s->ValueTimeout);
            BitPeer_Close(p, "Value timeout", 1);
            return 0;
        }
    } else {
        const double sent = now - p->LastSentTime;
        if (s->SliceTimeout >= 1 && responses > 0 && sent > s->SliceTimeout) {
            BitPeer_Log(p, "No slice activity (seed) in %d/%d secs (%d slices)", (int)sent,
                        s->SliceTimeout, responses);
            BitPeer_Close(p, "Slice timeout", 1);
            return 0;
        }
        if (s->ValueTimeout >= 1 && p->LastUnchokeTime > 0 && sent > s->ValueTimeout) {
            BitPeer_Log(p, "No actual transfer activity (seed) in %d/%d secs", (int)sent,
                        s->ValueTimeout);
            BitPeer_Close(p, "Value timeout", 1);
            return 0;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Have queue
// ---------------------------------------------------------------------------

int BitBase_QueueHave(BitBaseStruct *swarm, int piece) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    if (!MUTEX_LOCK(s->Mutex))
        return 0;
    s->HaveQueue[s->HaveQueueCount].Piece = piece;
    s->HaveQueue[s->HaveQueueCount].Queued = BitBase_Now(s);
    s->HaveQueueCount++;
    const int full = s->HaveQueueCount >= s->HaveQueueSize;
    MUTEX_UNLOCK(s->Mutex);
    if (full)
        BitBase_FlushHaveQueue(s);
    return 1;
}

int BitBase_FlushHaveQueue(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    if (s->HaveQueueCount == 0)
        return 1;
    char line[BITBASE_TEXT_SIZE];
    Zyl_FormatString(line, sizeof line,
                     "Performing queued flush of %d members:", s->HaveQueueCount);
    for (int i = 0; i < s->HaveQueueCount; i++)
        Zyl_AppendFormat(line, sizeof line, " %d", s->HaveQueue[i].Piece);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%s", line);
    BitBaseMemberStruct *m = nullptr;
    for (int more = BitBase_GetFirstMember(s, &m); more; more = BitBase_GetNextMember(m, s, &m)) {
        BitPeerStruct *p = m->Connection;
        if (p->State != BITPEER_STATE_GOOD)
            continue;
        for (int i = 0; i < s->HaveQueueCount; i++) {
            const BitBaseHaveStruct &h = s->HaveQueue[i];
            if (h.Queued < p->StateTime)
                continue; // it was in the piece set this connection received
            if (p->HaveSuppression && Bitfield_Test(p->PeerPieces, h.Piece)) {
                BitPeer_Log(p, "Global Have supressed (%d)", h.Piece);
                continue;
            }
            if (!Stream_WriteHave(p->Stream, (uint32_t)h.Piece)) {
                BitPeer_Close(p, "Tell Piece Have", 1);
                break;
            }
        }
    }
    s->HaveQueueCount = 0;
    return 1;
}

int BitBase_SetHaveQueueSize(int count, BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    if (count == s->HaveQueueSize)
        return 1;
    if (count < 1) {
        // A job value below 1: one entry, announced at once.
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Have queue must be at least 1 (%d)",
                  count);
        count = 1;
        if (count == s->HaveQueueSize)
            return 1;
    }
    BitBase_FlushHaveQueue(s);
    if (!MUTEX_LOCK(s->Mutex))
        return 0;
    ZYL_FREE(s->HaveQueue, sizeof(BitBaseHaveStruct) * s->HaveQueueSize);
    s->HaveQueue = static_cast<BitBaseHaveStruct *>(ZYL_ALLOC(sizeof(BitBaseHaveStruct) * count));
    s->HaveQueueSize = count;
    s->HaveQueueCount = 0;
    MUTEX_UNLOCK(s->Mutex);
    return 1;
}

// ---------------------------------------------------------------------------
// Seed mode and closing
// ---------------------------------------------------------------------------

int BitBase_CheckSeedMode(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    BitBaseStruct *s = swarm;
    double completed = 0;
    if (s->SeedModeOn || !InternalComplete(s) || s->Base == nullptr)
        return 1;
    Base_GetCompletionTime(s->Base, &completed);
    if (completed == 0)
        return 1;
    BitBase_FlushHaveQueue(s);
    s->SeedModeOn = 1;
    if (s->CloseSeeds == 1)
        BitBase_CloseSeeds(s);
    if (s->PureSource == 0) {
        BitBase_Log(s, "Seed mode disabled, shutting down transfer.");
        Base_SetActive(s->Base, 0);
        return 0;
    }
    BitBase_Log(s, "Active as pure content source (seed mode).");
    BitBaseMemberStruct *m = nullptr;
    for (int more = BitBase_GetFirstMember(s, &m); more; more = BitBase_GetNextMember(m, s, &m)) {
        BitPeerStruct *p = m->Connection;
        if (p->State >= BITPEER_STATE_FAILURE)
            continue;
        Slice_RemoveAll(p->Requests);
        if (p->State == BITPEER_STATE_GOOD && !BitPeer_SetFlow(p, BITPEER_FLOW_NOT_INTERESTED))
            BitPeer_Close(p, "Seed Not Interested", 1);
    }
    return 1;
}

static int InternalCloseWhere(BitBaseStruct *s, const char *reason, int seedsOnly) {
    BitBaseMemberStruct *m = nullptr;
    for (int more = BitBase_GetFirstMember(s, &m); more; more = BitBase_GetNextMember(m, s, &m)) {
        BitPeerStruct *p = m->Connection;
        if (seedsOnly && !(p->State == BITPEER_STATE_GOOD && Bitfield_IsComplete(p->PeerPieces)))
            continue;
        BitPeer_Close(p, reason, 0);
    }
    return 1;
}

int BitBase_CloseAll(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalCloseWhere(swarm, "Close all", 0);
}

int BitBase_CloseSeeds(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    return InternalCloseWhere(swarm, "Close all seeds", 1);
}

// ---------------------------------------------------------------------------
// Availability and hand-off
// ---------------------------------------------------------------------------

int BitBase_HalveCounts(uint8_t *counts, int count) {
    ZYL_CHECK_PTR(counts);
    for (int i = 0; i < count; i++)
        if (counts[i] > 1)
            counts[i] >>= 1;
    return 1;
}

static int InternalAddAvailability(BitBaseStruct *s, uint8_t *counts, int count) {
    if (!MUTEX_LOCK(s->Mutex))
        return 0;
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        if (m->Removed || m->Connection == nullptr)
            continue;
        BitfieldStruct *f = m->Connection->PeerPieces;
        int bits = 0, have = 0;
        Bitfield_GetSize(f, &bits);
        if (bits != count) {
            MUTEX_UNLOCK(s->Mutex);
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                      "Scarcity failed on bit comparision (%d != %d)", bits, count);
            return 0;
        }
        Bitfield_GetSetCount(f, &have);
        if (have == 0)
            continue;
        int top = 0;
        for (int i = 0; i < count; i++) {
            if (have == bits || Bitfield_Test(f, i))
                counts[i]++;
            if (counts[i] > top)
                top = counts[i];
        }
        if (top >= 251)
            BitBase_HalveCounts(counts, count);
    }
    MUTEX_UNLOCK(s->Mutex);
    return 1;
}

int BitBase_GetAvailability(BitBaseStruct *swarm, uint8_t *counts, int count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (count > 0) {
        ZYL_CHECK_PTR(counts);
        memset(counts, 0, (size_t)count);
    }
    return InternalAddAvailability(swarm, counts, count);
}

int BitBase_AddPieceFrequency(BitBaseStruct *swarm, uint8_t *counts, int count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    if (count <= 0)
        return 1;
    ZYL_CHECK_PTR(counts);
    return InternalAddAvailability(swarm, counts, count);
}

int BitBase_GetSwarmPieceCount(BitBaseStruct *swarm, int *count) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(count);
    BitBaseStruct *s = swarm;
    *count = 0;
    BitfieldStruct *held = nullptr;
    if (s->Content == nullptr || !Content_GetBitfield(s->Content, &held) || held == nullptr)
        return 0;
    if (InternalComplete(s)) {
        Content_GetPieceCount(s->Content, count);
        return 1;
    }
    if (!MUTEX_LOCK(s->Mutex))
        return 0;
    Bitfield_Copy(s->Availability, held);
    int bits = 0;
    Bitfield_GetSize(held, &bits);
    for (BitBaseMemberStruct *m = s->Members; m && !Bitfield_IsComplete(s->Availability);
         m = m->Next) {
        int peerBits = 0;
        if (m->Removed || m->Connection->State != BITPEER_STATE_GOOD ||
            !Bitfield_GetSize(m->Connection->PeerPieces, &peerBits) || peerBits != bits)
            continue;
        Bitfield_Combine(s->Availability, m->Connection->PeerPieces);
    }
    Bitfield_GetSetCount(s->Availability, count);
    MUTEX_UNLOCK(s->Mutex);
    return 1;
}

int BitBase_FindHandoffPeer(BitBaseStruct *swarm, BitPeerStruct *peer, BitPeerStruct **out) {
    ZYL_CHECK_TAG(swarm, BitBase_Tag);
    ZYL_CHECK_PTR(out);
    BitBaseStruct *s = swarm;
    *out = nullptr;
    const double now = BitBase_Now(s);
    BitPeerStruct *asking = BitPeer_IsValid(peer) ? peer : nullptr;
    double idlest = 0;
    if (!MUTEX_LOCK(s->Mutex))
        return 0;
    for (BitBaseMemberStruct *m = s->Members; m; m = m->Next) {
        BitPeerStruct *p = m->Connection;
        if (m->Removed || p == nullptr || p == peer || Slice_IsEmpty(p->Requests))
            continue;
        if (p->State != BITPEER_STATE_GOOD || p->PeerChoking) {
            *out = p;
            break;
        }
        const double idle = now - p->ReceiveMark;
        if (asking) {
            int piece = 0;
            Slice_GetCurrentPiece(p->Requests, &piece);
            if (!Bitfield_Test(asking->PeerPieces, piece))
                continue;
            const double against = *out ? (*out)->ReceiveInterval : asking->ReceiveInterval;
            if (2 * p->ReceiveInterval < against || idle > 30)
                *out = p;
        } else if (idle > 30 && idle > idlest) {
            idlest = idle;
            *out = p;
        }
    }
    MUTEX_UNLOCK(s->Mutex);
    return *out ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The piece picker's hooks
// ---------------------------------------------------------------------------

static BitBaseStruct *InternalSwarmOf(void *user) {
    BitBaseStruct *swarm = nullptr;
    Base_GetBitBase(static_cast<BaseStruct *>(user), &swarm);
    return swarm;
}

static int InternalBusyCount(void *user) {
    int count = 0;
    BitBase_CountRequesting(InternalSwarmOf(user), &count);
    return count;
}

static int InternalFindHandoff(void *user, void *requester, BitfieldStruct *, void **victim,
                               SliceStruct **victimQueue, uint32_t *victimId) {
    BitPeerStruct *found = nullptr;
    BitPeerStruct *asking =
        BitPeer_IsValid(requester) ? static_cast<BitPeerStruct *>(requester) : nullptr;
    if (!BitBase_FindHandoffPeer(InternalSwarmOf(user), asking, &found) || found == nullptr)
        return 0;
    *victim = found;
    *victimQueue = found->Requests;
    *victimId = Manager_HandleId(found->Transport);
    return 1;
}

static void InternalHandedOff(void *, void *victim, int index, int begin, int length, int sent) {
    if (!sent || !BitPeer_IsValid(victim))
        return;
    BitPeerStruct *p = static_cast<BitPeerStruct *>(victim);
    if (Stream_WriteCancel(p->Stream, (uint32_t)index, (uint32_t)begin, (uint32_t)length))
        p->Cancelled++;
}

static void InternalSourceLog(void *, void *source, const char *line) {
    if (BitPeer_IsValid(source))
        BitPeer_Log(static_cast<BitPeerStruct *>(source), "%s", line);
}

static void InternalCancelPiece(void *user, int index) {
    BitBaseStruct *s = InternalSwarmOf(user);
    BitBaseMemberStruct *m = nullptr;
    for (int more = BitBase_GetFirstMember(s, &m); more; more = BitBase_GetNextMember(m, s, &m))
        if (m->Connection->State == BITPEER_STATE_GOOD)
            BitPeer_CancelPieceRequests(m->Connection, index);
}

int BitBase_FillSourceHooks(PieceSourceHooks *hooks) {
    ZYL_CHECK_PTR(hooks);
    hooks->GetBusyCount = InternalBusyCount;
    hooks->FindHandoff = InternalFindHandoff;
    hooks->HandedOff = InternalHandedOff;
    hooks->SourceLog = InternalSourceLog;
    hooks->CancelPiece = InternalCancelPiece;
    return 1;
}
