// The piece picker: builds the caller's candidate set from the content's
// bitfields, serves the priority and partial lists first, then chooses by order
// mode and queues whole pieces. One picker per download, manager thread only.
#include "engine/piece.h"

#include <cstdarg>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/random.h"
#include "core/zyl.h"
#include "engine/content.h"
#include "engine/slice.h"

static const char kPieceTag[] = "PieceStruct";

static const char *const kOrderNames[] = {"Sequential", "Random",  "Scarcity",
                                          "Backward",   "Scissor", "SequentialRanged"};
enum { kOrderCount = 6 };

// One picker log line: kept as the status text, counted, and passed to the
// Alert log (prefixed with the metafile's name) when logging is on.
static void InternalLog(PieceStruct *p, const char *format, ...) {
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(p->Status, sizeof p->Status, format, args);
    va_end(args);
    p->LineCount++;
    if (!p->Log)
        return;
    char name[PIECE_NAME_SIZE] = "";
    if (p->Content)
        Content_GetSourceFileName(p->Content, name, sizeof name);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%10s: %s", name, p->Status);
}
#define InternalLog(p, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (InternalLog)(p, __VA_ARGS__))

int Piece_Create(PieceStruct **picker) {
    ZYL_CHECK_PTR(picker);
    PieceStruct *p = ZYL_NEW(PieceStruct);
    p->Tag = kPieceTag;
    p->Order = PIECE_ORDER_SCARCITY;
    p->Partial = 1;
    p->Priority = 1;
    Zyl_StrCopy(p->Status, "Initialized", sizeof p->Status);
    Slice_Create(&p->PartialList);
    Slice_Create(&p->PriorityList);
    Bitfield_Create(&p->Candidates);
    Random_Create(&p->OwnRandom);
    p->Random = p->OwnRandom;
    *picker = p;
    return 1;
}

int Piece_Destroy(PieceStruct **picker) {
    ZYL_CHECK_PTR(picker);
    PieceStruct *p = *picker;
    if (p == nullptr)
        return 1;
    ZYL_CHECK_TAG(p, kPieceTag);
    *picker = nullptr;
    // Work left in the shared lists at the end of a download is expected.
    Slice_RemoveAll(p->PartialList);
    Slice_RemoveAll(p->PriorityList);
    Slice_Destroy(&p->PartialList);
    Slice_Destroy(&p->PriorityList);
    if (p->Frequency)
        ZYL_FREE(p->Frequency, p->FrequencyLength);
    Bitfield_Destroy(&p->Candidates);
    Random_Destroy(&p->OwnRandom);
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(PieceStruct));
    return 1;
}

int Piece_SetParent(PieceStruct *picker, ContentStruct *content, const PieceSourceHooks *hooks) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    ZYL_CHECK_PTR(content);
    if (picker->HaveParent) {
        ZYL_FATAL("Parent handle already set\n");
    }
    picker->HaveParent = 1;
    picker->Content = content;
    if (hooks)
        picker->Hooks = *hooks;
    Slice_SetParent(picker->PartialList, content);
    Slice_SetParent(picker->PriorityList, content);
    return 1;
}

int Piece_SetRandom(PieceStruct *picker, RandomStruct *random) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    ZYL_CHECK_PTR(random);
    picker->Random = random;
    return 1;
}

int Piece_SetOrder(PieceStruct *picker, int mode) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    picker->Order = mode;
    return 1;
}

int Piece_DisablePriority(PieceStruct *picker) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    picker->Priority = 0;
    return 1;
}

int Piece_EnablePriority(PieceStruct *picker) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    picker->Priority = 1;
    return 1;
}

int Piece_SetSequentialStart(PieceStruct *picker, int index) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    picker->SequentialStart = index;
    return 1;
}

int Piece_EnableLog(PieceStruct *picker) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    picker->Log = 1;
    return 1;
}

int Piece_GetOrderName(int mode, char *name) {
    ZYL_CHECK_PTR(name);
    const char *text = mode >= 0 && mode < kOrderCount ? kOrderNames[mode] : "Unknown";
    Zyl_StrCopy(name, text, PIECE_NAME_SIZE);
    return 1;
}

int Piece_ParseOrder(const char *text, int *mode) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(mode);
    *mode = 0;
    for (int i = 0; i < kOrderCount; i++) {
        if (Zyl_StrEqualNoCase(text, kOrderNames[i])) {
            *mode = i;
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Candidates
// ---------------------------------------------------------------------------

static int InternalPieceCount(PieceStruct *p) {
    BitfieldStruct *held = nullptr;
    int bits = 0;
    if (p->Content && Content_GetBitfield(p->Content, &held) && held)
        Bitfield_GetSize(held, &bits);
    return bits;
}

static int InternalSameSize(BitfieldStruct *field, int bits) {
    int size = -1;
    if (field)
        Bitfield_GetSize(field, &size);
    return size == bits;
}

// Steps 1-4 of a choice: the pieces the caller may be given, into Candidates.
// 0 when the content is not set up or the caller's bitfield has the wrong size.
static int InternalBuildCandidates(PieceStruct *p, BitfieldStruct *peerPieces, int partialAllowed) {
    BitfieldStruct *held = nullptr, *wanted = nullptr, *checked = nullptr, *aux = nullptr;
    Content_GetBitfield(p->Content, &held);
    Content_GetWantedBitfield(p->Content, &wanted);
    Content_GetCheckedBitfield(p->Content, &checked);
    Content_GetAuxBitfield(p->Content, &aux);
    int n = InternalPieceCount(p);
    if (n < 1 || !InternalSameSize(wanted, n) || !InternalSameSize(checked, n) ||
        !InternalSameSize(aux, n)) {
        InternalLog(p, "Content has no pieces to choose from (%d)", n);
        return 0;
    }
    if (peerPieces && !InternalSameSize(peerPieces, n)) {
        InternalLog(p, "Peer bitfield does not match the content (%d pieces)", n);
        return 0;
    }
    if (n != p->FrequencyLength) {
        Bitfield_SetSize(p->Candidates, n);
        if (p->Frequency)
            ZYL_FREE(p->Frequency, p->FrequencyLength);
        p->Frequency = static_cast<uint8_t *>(ZYL_ALLOC(n));
        p->FrequencyLength = n;
    }
    if (peerPieces) {
        Bitfield_Copy(p->Candidates, peerPieces);
        Bitfield_Except(p->Candidates, held);
    } else {
        Bitfield_Copy(p->Candidates, held);
        Bitfield_Invert(p->Candidates);
    }
    Bitfield_Except(p->Candidates, aux);
    if (partialAllowed && p->Partial && !Slice_IsEmpty(p->PartialList)) {
        SliceMemberStruct *m = nullptr;
        for (int more = Slice_First(p->PartialList, &m); more;
             more = Slice_Next(p->PartialList, m, &m))
            if (m->Index >= 0 && m->Index < n)
                Bitfield_Clear(p->Candidates, m->Index);
    }
    Bitfield_Intersect(p->Candidates, wanted);
    int checking = 0;
    Content_GetChecking(p->Content, &checking);
    if (checking)
        Bitfield_Intersect(p->Candidates, checked);
    return 1;
}

static int InternalIsCandidate(PieceStruct *p, int index) {
    return index >= 0 && index < p->FrequencyLength && Bitfield_Test(p->Candidates, index);
}

// ---------------------------------------------------------------------------
// Priority and partial lists
// ---------------------------------------------------------------------------

// Drops every block of a piece that has arrived meanwhile; gives the member after
// the dropped run.
static SliceMemberStruct *InternalDropRun(SliceStruct *list, SliceMemberStruct *m) {
    int index = m->Index;
    while (m && m->Index == index) {
        SliceMemberStruct *next = nullptr;
        Slice_Next(list, m, &next);
        Slice_RemoveMember(list, m);
        m = next;
    }
    return m;
}

// Moves the run of blocks that starts at m into the caller's queue. A block the
// queue refuses (full) stays in the list.
static void InternalTakeRun(PieceStruct *p, SliceStruct *list, const char *name,
                            SliceMemberStruct *m, SliceStruct *queue) {
    int index = m->Index;
    while (m && m->Index == index) {
        SliceMemberStruct *next = nullptr;
        Slice_Next(list, m, &next);
        int i = 0, begin = 0, length = 0;
        Slice_GetMember(list, m, &i, &begin, &length);
        InternalLog(p, "Continuing %s request [%d:%d:%d]", name, i, begin, length);
        SliceMemberStruct *present = nullptr;
        if (Slice_Add(queue, i, begin, length) || Slice_Find(queue, i, begin, length, &present)) {
            if (!Slice_RemoveMember(list, m))
                InternalLog(p, "Unable to remove from %s list", name);
        }
        m = next;
    }
}

static int InternalFillFromList(PieceStruct *p, SliceStruct *list, const char *name,
                                BitfieldStruct *peerPieces, SliceStruct *queue, int *index,
                                int *continued) {
    if (Slice_IsEmpty(list))
        return 0;
    InternalLog(p, "Filling request queue from %s list", name);
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(p->Content, &held);
    int n = p->FrequencyLength;
    int last = -1;
    SliceMemberStruct *m = nullptr;
    Slice_First(list, &m);
    while (m) {
        int i = m->Index;
        if (i < 0 || i >= n || Bitfield_Test(held, i)) {
            m = InternalDropRun(list, m);
            continue;
        }
        if (i != last) {
            last = i;
            if (peerPieces == nullptr || Bitfield_Test(peerPieces, i))
                break;
            InternalLog(p, "Piece from %s list not available from peer [%d]", name, i);
        }
        Slice_Next(list, m, &m);
    }
    if (m == nullptr)
        return 0;
    *index = m->Index;
    *continued = 1;
    InternalTakeRun(p, list, name, m, queue);
    return 1;
}

// ---------------------------------------------------------------------------
// Choosers
// ---------------------------------------------------------------------------

static int InternalSequential(PieceStruct *p) {
    int n = p->FrequencyLength;
    int s = p->SequentialStart < 1 ? 0 : p->SequentialStart;
    if (s > n - 1)
        s = n - 1;
    InternalLog(p, "Filling request queue sequentially (%d)", s);
    for (int i = s; i < n; i++)
        if (Bitfield_Test(p->Candidates, i))
            return i;
    for (int i = 0; i < n; i++)
        if (Bitfield_Test(p->Candidates, i))
            return i;
    return n;
}

static int InternalBackward(PieceStruct *p) {
    int i = p->FrequencyLength - 1;
    while (i >= 0 && !Bitfield_Test(p->Candidates, i))
        i--;
    InternalLog(p, "Filling request queue backward (%d)", i);
    return i;
}

// The (r + 1)-th candidate, r drawn uniformly below the candidate count.
static int InternalRandomCandidate(PieceStruct *p) {
    int n = p->FrequencyLength;
    int c = 0;
    Bitfield_GetSetCount(p->Candidates, &c);
    uint32_t draw = Random_Next(p->Random);
    if (c == n)
        return n > 0 ? (int)(draw % (uint32_t)n) : 0;
    int r = c > 0 ? (int)(draw % (uint32_t)c) : 0;
    for (int i = 0; i < n; i++)
        if (Bitfield_Test(p->Candidates, i) && r-- == 0)
            return i;
    return n;
}

static int InternalRandom(PieceStruct *p) {
    int index = InternalRandomCandidate(p);
    InternalLog(p, "Filling request queue randomly (%d)", index);
    return index;
}

static int InternalScarcity(PieceStruct *p) {
    int n = p->FrequencyLength;
    InternalLog(p, "Filling request queue based on scarcity");
    for (int i = 0; i < n; i++)
        p->Frequency[i] = 0;
    if (p->Hooks.FillFrequency)
        p->Hooks.FillFrequency(p->Hooks.User, p->Frequency, n);
    InternalLog(p, "Scarcity calculated, selecting index");
    int min = PIECE_MAX_FREQUENCY, hits = 0, start = 0, max = 0;
    for (int i = 0; i < n; i++) {
        if (!Bitfield_Test(p->Candidates, i))
            continue;
        int f = p->Frequency[i];
        max = f > max ? f : max;
        if (f == min) {
            hits++;
        } else if (f < min && f != 0) {
            min = f;
            hits = 1;
            start = i;
        }
    }
    int index = -1;
    if (hits > 0) {
        int left = (int)(Random_Next(p->Random) % (uint32_t)hits) + 1;
        for (int i = start; i < n && left > 0; i++) {
            if (Bitfield_Test(p->Candidates, i) && p->Frequency[i] == min && --left == 0)
                index = i;
        }
    }
    // No candidate is announced by anyone (counts missing): any candidate will
    // do rather than a piece the caller may not be given.
    if (index < 0)
        index = InternalRandomCandidate(p);
    InternalLog(p, "Frequency [%d min hits] [start at %d] [%d to %d] selected [%d (%d)]", hits,
                start, min, max, index, index >= 0 && index < n ? p->Frequency[index] : 0);
    return index;
}

// Queues whole pieces from index on while they are candidates, at most maxPieces.
static int InternalFullRequest(PieceStruct *p, SliceStruct *queue, int index, int maxPieces) {
    int count = 0;
    for (int i = index; count < maxPieces && InternalIsCandidate(p, i); i++) {
        if (!Slice_AddPiece(queue, i))
            break;
        SliceMemberStruct *m = nullptr;
        while (Slice_FindPiece(p->PartialList, i, &m)) {
            InternalLog(p, "Removing partial request [%d:%d:%d]", m->Index, m->Begin, m->Length);
            Slice_RemoveMember(p->PartialList, m);
        }
        count++;
    }
    InternalLog(p, "Building full request off index (%d:%d)", index, count);
    return 1;
}

// ---------------------------------------------------------------------------
// Hand-off
// ---------------------------------------------------------------------------

static int InternalHandoff(PieceStruct *p, void *source, BitfieldStruct *peerPieces,
                           SliceStruct *queue, int *index) {
    void *victim = nullptr;
    SliceStruct *from = nullptr;
    uint32_t id = 0;
    if (p->Hooks.FindHandoff == nullptr ||
        !p->Hooks.FindHandoff(p->Hooks.User, source, peerPieces, &victim, &from, &id) ||
        victim == source || from == nullptr || from == queue)
        return 0;
    int moved = 0, i = 0, begin = 0, length = 0;
    SliceMemberStruct *m = nullptr;
    Slice_First(from, &m);
    while (m) {
        SliceMemberStruct *next = nullptr;
        Slice_Next(from, m, &next);
        int bi = 0, bb = 0, bl = 0, sent = 0;
        Slice_GetMember(from, m, &bi, &bb, &bl);
        Slice_GetState(m, &sent);
        // Only blocks the caller's peer can serve change hands; a block the
        // caller's queue refuses (full, or already there) stays with the victim
        // as it was, sent state included.
        if ((peerPieces == nullptr || Bitfield_Test(peerPieces, bi)) &&
            Slice_Add(queue, bi, bb, bl)) {
            Slice_RemoveMember(from, m);
            moved++;
            i = bi, begin = bb, length = bl;
            if (p->Hooks.HandedOff)
                p->Hooks.HandedOff(p->Hooks.User, victim, bi, bb, bl, sent);
        }
        m = next;
    }
    if (moved == 0)
        return 0;
    *index = i;
    InternalLog(p, "Instructing peer [%.8X] to cancel (%d:%d:%d)", id, i, begin, length);
    if (p->Hooks.SourceLog) {
        char line[PIECE_TEXT_SIZE];
        Zyl_FormatString(line, sizeof line, "Piece handoff to peer [%.8X] (%d:%d:%d)", id, i, begin,
                         length);
        p->Hooks.SourceLog(p->Hooks.User, victim, line);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Choice, partial and priority
// ---------------------------------------------------------------------------

int Piece_ChooseNext(PieceStruct *picker, void *source, BitfieldStruct *peerPieces,
                     int partialAllowed, SliceStruct *queue, int maxPieces, int *index,
                     int *continued) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    ZYL_CHECK_PTR(queue);
    ZYL_CHECK_PTR(index);
    ZYL_CHECK_PTR(continued);
    *index = 0;
    *continued = 0;
    PieceStruct *p = picker;
    if (!p->HaveParent || !InternalBuildCandidates(p, peerPieces, partialAllowed))
        return 0;
    int busy = p->Hooks.GetBusyCount ? p->Hooks.GetBusyCount(p->Hooks.User) : 0;
    int partialCount = 0, heldCount = 0;
    Slice_GetCount(p->PartialList, &partialCount);
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(p->Content, &held);
    Bitfield_GetSetCount(held, &heldCount);
    InternalLog(p, "Choose next (%d or %d:%d/%d/%d) [%d:%d]", busy, p->Partial, partialAllowed, 1,
                partialCount, heldCount, p->FrequencyLength);
    // The lists come before a hand-off too: pieces of the partial list are never
    // candidates of a connection, so the last pieces of a download may be there.
    if (p->Priority &&
        InternalFillFromList(p, p->PriorityList, "Priority", peerPieces, queue, index, continued))
        return 1;
    if (partialAllowed && p->Partial &&
        InternalFillFromList(p, p->PartialList, "Partial", peerPieces, queue, index, continued))
        return 1;
    if (p->Order != PIECE_ORDER_SEQUENTIAL && Bitfield_IsEmpty(p->Candidates))
        return InternalHandoff(p, source, peerPieces, queue, index);
    switch (p->Order) {
    case PIECE_ORDER_SEQUENTIAL:
    case PIECE_ORDER_SEQUENTIAL_RANGED:
        *index = InternalSequential(p);
        break;
    case PIECE_ORDER_RANDOM:
        *index = InternalRandom(p);
        break;
    case PIECE_ORDER_SCARCITY:
        *index = InternalScarcity(p);
        break;
    case PIECE_ORDER_BACKWARD:
        *index = InternalBackward(p);
        break;
    default:
        InternalLog(p, "Unknown piece order mode (%d)", p->Order);
        *index = 0;
        return 0;
    }
    return InternalFullRequest(p, queue, *index, maxPieces < 1 ? 1 : maxPieces);
}

int Piece_QueuePartial(PieceStruct *picker, SliceStruct *queue) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    ZYL_CHECK_PTR(queue);
    PieceStruct *p = picker;
    if (p->Partial) {
        SliceMemberStruct *m = nullptr;
        for (int more = Slice_First(queue, &m); more; more = Slice_Next(queue, m, &m)) {
            int i = 0, begin = 0, length = 0;
            Slice_GetMember(queue, m, &i, &begin, &length);
            InternalLog(p, "Queuing partial request [%d:%d:%d]", i, begin, length);
            Slice_Add(p->PartialList, i, begin, length);
        }
        int members = 0, pieces = 0, perPiece = 0, slice = 0;
        Slice_GetCount(p->PartialList, &members);
        Slice_CountPieces(p->PartialList, &pieces);
        Slice_GetSlicesPerPiece(p->PartialList, &perPiece);
        if (p->Content)
            Content_GetSliceSize(p->Content, &slice);
        InternalLog(p, "Queue contains %d members (%d unique pieces) (%dk of %dk)", members, pieces,
                    (int)((int64_t)members * slice / 1024),
                    (int)((int64_t)pieces * perPiece * slice / 1024));
    }
    Slice_RemoveAll(queue);
    return 1;
}

int Piece_SetPriority(PieceStruct *picker, int index) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    PieceStruct *p = picker;
    if (!p->Priority)
        return Slice_RemoveAll(p->PriorityList);
    int n = InternalPieceCount(p);
    if (index < 0 || index >= n) {
        InternalLog(p, "Piece %d outside content - skipping priority", index);
        return 0;
    }
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(p->Content, &held);
    if (Bitfield_Test(held, index)) {
        InternalLog(p, "Piece %d already available - skipping priority", index);
        return 1;
    }
    if (Slice_ContainsPiece(p->PriorityList, index)) {
        InternalLog(p, "Piece %d already in list - skipping priority", index);
        return 1;
    }
    if (p->Hooks.CancelPiece)
        p->Hooks.CancelPiece(p->Hooks.User, index);
    if (p->Hooks.WebFetching && p->Hooks.WebFetching(p->Hooks.User, index)) {
        InternalLog(p, "Piece %d already in progress (web) - skipping priority", index);
        return 1;
    }
    if (!Slice_AddPiece(p->PriorityList, index)) {
        InternalLog(p, "Unable to set priority for piece %d", index);
        return 0;
    }
    int pieces = 0;
    Slice_CountPieces(p->PriorityList, &pieces);
    InternalLog(p, "Priority set for piece %d (%d other pieces ahead in queue)", index, pieces);
    return 1;
}

static int InternalListIsInside(SliceStruct *list) {
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(list, &m); more; more = Slice_Next(list, m, &m))
        if (!Slice_ValidateRequest(list, (uint32_t)m->Index, (uint32_t)m->Begin,
                                   (uint32_t)m->Length))
            return 0;
    return 1;
}

int Piece_CheckInvariants(PieceStruct *picker) {
    ZYL_CHECK_TAG(picker, kPieceTag);
    int bits = 0;
    Bitfield_GetSize(picker->Candidates, &bits);
    Slice_CheckInvariants(picker->PartialList);
    Slice_CheckInvariants(picker->PriorityList);
    int inside = picker->Content == nullptr || (InternalListIsInside(picker->PartialList) &&
                                                InternalListIsInside(picker->PriorityList));
    if (bits != picker->FrequencyLength || (picker->Frequency == nullptr) != (bits == 0) ||
        !inside) {
        ZYL_FATAL("Piece totals mismatch (frequency %d, candidates %d, lists inside %d)\n",
                  picker->FrequencyLength, bits, inside);
    }
    return 1;
}
