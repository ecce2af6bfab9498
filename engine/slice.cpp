// Block request lists: pooled members in a singly linked list under the list's
// mutex, every block checked against the content's piece geometry before it is
// stored, and the in-progress bit of a piece kept while any list of the download
// holds a block of it (a per-piece count shared by those lists).
#include "engine/slice.h"

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/mutex.h"
#include "core/pool.h"
#include "core/zyl.h"
#include "engine/content.h"

static const char kListTag[] = "SliceStruct";
static const char kMemberTag[] = "SliceMemberStruct";
static const char kProgressTag[] = "SliceProgressStruct";

enum { kMembersPerChunk = 10 };

#define SLICE_WARN(...) Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, __VA_ARGS__)

static int InternalLock(SliceStruct *list) {
    if (!MUTEX_LOCK(list->Mutex)) {
        Zyl_Print("Slice_Lock() unable to lock request list [%p]\n", (void *)list);
        return 0;
    }
    return 1;
}

static void InternalUnlock(SliceStruct *list) {
    MUTEX_UNLOCK(list->Mutex);
}

static int InternalCheck(SliceStruct *list, int progress);

static void InternalDebugCheck(SliceStruct *list) {
#ifndef NDEBUG
    if (--list->CheckCountdown <= 0)
        InternalCheck(list, 1);
#else
    (void)list;
#endif
}

static void InternalSetState(SliceStruct *list, SliceMemberStruct *m, int state) {
    if (m->State == state)
        return;
    m->State = state;
    list->SentCount += state == SLICE_STATE_SENT ? 1 : -1;
}

static int InternalFieldSize(SliceProgressStruct *progress) {
    int bits = 0;
    Bitfield_GetSize(progress->Field, &bits);
    return bits;
}

// Grows the counts to the field's size (the content sizes its bitfield at setup).
static void InternalGrowCounts(SliceProgressStruct *progress) {
    int bits = InternalFieldSize(progress);
    if (bits <= progress->Length)
        return;
    int *counts = static_cast<int *>(ZYL_ALLOC(sizeof(int) * (size_t)bits));
    for (int i = 0; i < bits; i++)
        counts[i] = i < progress->Length ? progress->Counts[i] : 0;
    if (progress->Counts)
        ZYL_FREE(progress->Counts, sizeof(int) * (size_t)progress->Length);
    progress->Counts = counts;
    progress->Length = bits;
}

// One more (delta 1) or one fewer (delta -1) block of the piece held by a bound
// list; the bit follows the count. Indexes were checked against the field on add.
static void InternalCountProgress(SliceProgressStruct *progress, int index, int delta) {
    if (progress == nullptr || index < 0)
        return;
    InternalGrowCounts(progress);
    if (index >= progress->Length)
        return;
    int &count = progress->Counts[index];
    count += delta;
    if (count < 0) {
        ZYL_FATAL("Slice progress count below zero (piece %d)\n", index);
    }
    if (count > 0)
        Bitfield_Set(progress->Field, index);
    else
        Bitfield_Clear(progress->Field, index);
}

// A duplicate add: the block is already counted, the bit is set again.
static void InternalMarkProgress(SliceStruct *list, int index) {
    if (list->Progress)
        Bitfield_Set(list->Progress->Field, index);
}

// Slice geometry of one piece: its real length and the slice size. 0 when the
// list has no content or the piece lies outside it.
static int InternalPieceGeometry(SliceStruct *list, int index, int *length, int *slice) {
    *length = 0;
    *slice = 0;
    if (list->Content == nullptr || index < 0)
        return 0;
    int count = 0;
    Content_GetPieceCount(list->Content, &count);
    if (index >= count || !Content_GetPieceSize(list->Content, index, length))
        return 0;
    Content_GetSliceSize(list->Content, slice);
    return *slice > 0 && *length > 0;
}

// A block this list may hold: inside its piece (when a content is bound), of a
// sane length, and inside the in-progress field so marking it cannot fail.
static int InternalBlockIsValid(SliceStruct *list, int index, int begin, int length) {
    if (index < 0 || begin < 0 || length < 1 || length > SLICE_MAX_REQUEST_LENGTH)
        return 0;
    if (list->Progress && index >= InternalFieldSize(list->Progress))
        return 0;
    if (list->Content == nullptr)
        return 1;
    return Slice_ValidateRequest(list, (uint32_t)index, (uint32_t)begin, (uint32_t)length);
}

// Add with the lock held, refused past `cap` members. `log` 1 reports duplicates.
static int InternalAdd(SliceStruct *list, int index, int begin, int length, int cap, int log) {
    SliceMemberStruct *after = nullptr;
    SliceMemberStruct *last = nullptr;
    for (SliceMemberStruct *m = list->First; m; m = m->Next) {
        if (m->Index == index && m->Begin == begin && m->Length == length) {
            InternalSetState(list, m, SLICE_STATE_QUEUED);
            InternalMarkProgress(list, index);
            if (log)
                SLICE_WARN("Duplicate request made [%d:%d:%d]", index, begin, length);
            return 0;
        }
        if (m->Index == index && m->Begin < begin)
            after = m;
        last = m;
    }
    if (list->Count >= cap) {
        SLICE_WARN("Request list full (%d)", list->Count);
        return 0;
    }
    SliceMemberStruct *n =
        static_cast<SliceMemberStruct *>(POOL_ALLOC(list->Pool, sizeof(SliceMemberStruct)));
    n->Tag = kMemberTag;
    n->State = SLICE_STATE_QUEUED;
    n->Index = index;
    n->Begin = begin;
    n->Length = length;
    n->Next = nullptr;
    InternalCountProgress(list->Progress, index, 1);
    if (after == nullptr)
        after = last;
    if (after) {
        n->Next = after->Next;
        after->Next = n;
    } else {
        list->First = n;
    }
    list->Count++;
    InternalDebugCheck(list);
    return 1;
}

// Unlinks m (prev is its predecessor or null) with the lock held.
static void InternalUnlink(SliceStruct *list, SliceMemberStruct *m, SliceMemberStruct *prev) {
    if (prev)
        prev->Next = m->Next;
    else
        list->First = m->Next;
    InternalSetState(list, m, SLICE_STATE_QUEUED);
    int index = m->Index;
    m->Tag = Zyl_DeadTag;
    POOL_FREE(list->Pool, m, sizeof(SliceMemberStruct));
    list->Count--;
    InternalCountProgress(list->Progress, index, -1);
    InternalDebugCheck(list);
}

static void InternalRemoveAll(SliceStruct *list) {
    while (list->First)
        InternalUnlink(list, list->First, nullptr);
}

int Slice_Create(SliceStruct **list) {
    ZYL_CHECK_PTR(list);
    SliceStruct *l = ZYL_NEW(SliceStruct);
    l->Tag = kListTag;
    Mutex_Create(&l->Mutex);
    POOL_CREATE(l->Pool);
    Pool_SetMemberSize(l->Pool, sizeof(SliceMemberStruct));
    Pool_SetMembersPerChunk(l->Pool, kMembersPerChunk);
    l->MaxMembers = SLICE_MAX_MEMBERS;
    *list = l;
    return 1;
}

int Slice_Destroy(SliceStruct **list) {
    ZYL_CHECK_PTR(list);
    SliceStruct *l = *list;
    if (l == nullptr)
        return 1;
    ZYL_CHECK_TAG(l, kListTag);
    *list = nullptr;
    if (l->Count != 0)
        SLICE_WARN("Member list count not empty (%d)", l->Count);
    InternalRemoveAll(l);
    Pool_Destroy(&l->Pool);
    Mutex_Close(&l->Mutex);
    l->Tag = Zyl_DeadTag;
    ZYL_FREE(l, sizeof(SliceStruct));
    return 1;
}

int Slice_SetParent(SliceStruct *list, ContentStruct *content) {
    ZYL_CHECK_TAG(list, kListTag);
    list->Content = content;
    return 1;
}

int Slice_SetProgressField(SliceStruct *list, SliceProgressStruct *progress) {
    ZYL_CHECK_TAG(list, kListTag);
    if (progress)
        ZYL_CHECK_TAG(progress, kProgressTag);
    if (!InternalLock(list))
        return 0;
    for (SliceMemberStruct *m = list->First; m; m = m->Next) {
        InternalCountProgress(list->Progress, m->Index, -1);
        InternalCountProgress(progress, m->Index, 1);
    }
    list->Progress = progress;
    InternalUnlock(list);
    return 1;
}

int SliceProgress_Create(SliceProgressStruct **progress, BitfieldStruct *field) {
    ZYL_CHECK_PTR(progress);
    ZYL_CHECK_PTR(field);
    SliceProgressStruct *p = ZYL_NEW(SliceProgressStruct);
    p->Tag = kProgressTag;
    p->Field = field;
    InternalGrowCounts(p);
    *progress = p;
    return 1;
}

int SliceProgress_Destroy(SliceProgressStruct **progress) {
    ZYL_CHECK_PTR(progress);
    SliceProgressStruct *p = *progress;
    if (p == nullptr)
        return 1;
    ZYL_CHECK_TAG(p, kProgressTag);
    *progress = nullptr;
    if (p->Counts)
        ZYL_FREE(p->Counts, sizeof(int) * (size_t)p->Length);
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(SliceProgressStruct));
    return 1;
}

int SliceProgress_GetCount(SliceProgressStruct *progress, int index, int *count) {
    ZYL_CHECK_TAG(progress, kProgressTag);
    ZYL_CHECK_PTR(count);
    *count = index >= 0 && index < progress->Length ? progress->Counts[index] : 0;
    return 1;
}

int Slice_SetMaxMembers(SliceStruct *list, int count) {
    ZYL_CHECK_TAG(list, kListTag);
    list->MaxMembers = count < 1 ? 1 : count;
    return 1;
}

int Slice_Add(SliceStruct *list, int index, int begin, int length) {
    ZYL_CHECK_TAG(list, kListTag);
    if (!InternalLock(list))
        return 0;
    int ok = 0;
    if (InternalBlockIsValid(list, index, begin, length))
        ok = InternalAdd(list, index, begin, length, list->MaxMembers, 1);
    else
        SLICE_WARN("Request outside content [%d:%d:%d]", index, begin, length);
    InternalUnlock(list);
    return ok;
}

int Slice_AddPiece(SliceStruct *list, int index) {
    ZYL_CHECK_TAG(list, kListTag);
    int length = 0;
    int slice = 0;
    if (!InternalPieceGeometry(list, index, &length, &slice) ||
        !InternalBlockIsValid(list, index, 0, length < slice ? length : slice)) {
        SLICE_WARN("Piece outside content [%d]", index);
        return 0;
    }
    if (!InternalLock(list))
        return 0;
    int blocks = length / slice + (length % slice != 0);
    // An empty list always takes one whole piece, so a piece of more blocks than
    // the cap can still be fetched.
    int cap = list->Count + blocks;
    int ok = list->Count == 0 || cap <= list->MaxMembers;
    if (!ok)
        SLICE_WARN("Request list full (%d)", list->Count);
    for (int begin = 0; ok && begin < length; begin += slice) {
        int rest = length - begin;
        InternalAdd(list, index, begin, rest < slice ? rest : slice, cap, 0);
    }
    InternalUnlock(list);
    return ok;
}

int Slice_Remove(SliceStruct *list, int index, int begin, int length) {
    ZYL_CHECK_TAG(list, kListTag);
    if (!InternalLock(list))
        return 0;
    SliceMemberStruct *prev = nullptr;
    SliceMemberStruct *m = list->First;
    while (m && !(m->Index == index && m->Begin == begin && m->Length == length)) {
        prev = m;
        m = m->Next;
    }
    if (m)
        InternalUnlink(list, m, prev);
    InternalUnlock(list);
    return m != nullptr;
}

int Slice_RemoveMember(SliceStruct *list, SliceMemberStruct *member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    if (!InternalLock(list))
        return 0;
    SliceMemberStruct *prev = nullptr;
    SliceMemberStruct *m = list->First;
    while (m && m != member) {
        prev = m;
        m = m->Next;
    }
    if (m)
        InternalUnlink(list, m, prev);
    InternalUnlock(list);
    return m != nullptr;
}

int Slice_RemoveAll(SliceStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    if (!InternalLock(list))
        return 0;
    InternalRemoveAll(list);
    InternalUnlock(list);
    return 1;
}

int Slice_Find(SliceStruct *list, int index, int begin, int length, SliceMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!InternalLock(list))
        return 0;
    SliceMemberStruct *m = list->First;
    while (m && !(m->Index == index && m->Begin == begin && m->Length == length))
        m = m->Next;
    *member = m;
    InternalUnlock(list);
    return m != nullptr;
}

int Slice_FindPiece(SliceStruct *list, int index, SliceMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!InternalLock(list))
        return 0;
    SliceMemberStruct *m = list->First;
    while (m && m->Index != index)
        m = m->Next;
    *member = m;
    InternalUnlock(list);
    return m != nullptr;
}

int Slice_ContainsPiece(SliceStruct *list, int index) {
    ZYL_CHECK_TAG(list, kListTag);
    if (list->First == nullptr)
        return 0;
    SliceMemberStruct *m = nullptr;
    return Slice_FindPiece(list, index, &m);
}

int Slice_First(SliceStruct *list, SliceMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    *member = list->First;
    return *member != nullptr;
}

int Slice_Next(SliceStruct *list, SliceMemberStruct *member, SliceMemberStruct **next) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(next);
    *next = nullptr;
    if (!InternalLock(list))
        return 0;
    *next = member->Next;
    InternalUnlock(list);
    return *next != nullptr;
}

int Slice_GetMember(SliceStruct *list, SliceMemberStruct *member, int *index, int *begin,
                    int *length) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(index);
    ZYL_CHECK_PTR(begin);
    ZYL_CHECK_PTR(length);
    *index = *begin = *length = 0;
    if (!InternalLock(list))
        return 0;
    *index = member->Index;
    *begin = member->Begin;
    *length = member->Length;
    InternalUnlock(list);
    return 1;
}

int Slice_MarkSent(SliceStruct *list, SliceMemberStruct *member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_TAG(member, kMemberTag);
    if (member->State == SLICE_STATE_SENT)
        return 1;
    if (!InternalLock(list))
        return 0;
    InternalSetState(list, member, SLICE_STATE_SENT);
    InternalUnlock(list);
    return 1;
}

int Slice_GetState(SliceMemberStruct *member, int *state) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(state);
    *state = member->State;
    return 1;
}

int Slice_ResetSent(SliceStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    if (!InternalLock(list))
        return 0;
    for (SliceMemberStruct *m = list->First; m; m = m->Next)
        m->State = SLICE_STATE_QUEUED;
    list->SentCount = 0;
    InternalUnlock(list);
    return 1;
}

int Slice_GetCount(SliceStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

int Slice_GetSentCount(SliceStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->SentCount;
    return 1;
}

int Slice_IsEmpty(SliceStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    return list->First == nullptr;
}

int Slice_CountPieces(SliceStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (!InternalLock(list))
        return 0;
    int runs = 0;
    const SliceMemberStruct *prev = nullptr;
    for (SliceMemberStruct *m = list->First; m; prev = m, m = m->Next)
        runs += prev == nullptr || prev->Index != m->Index;
    *count = runs;
    InternalUnlock(list);
    return 1;
}

int Slice_GetTotalLength(SliceStruct *list, int64_t *sum) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(sum);
    int64_t total = 0;
    for (SliceMemberStruct *m = list->First; m; m = m->Next)
        total += m->Length;
    *sum = total;
    return 1;
}

int Slice_GetSlicesPerPiece(SliceStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    int length = 0;
    int slice = 0;
    if (!InternalPieceGeometry(list, 0, &length, &slice))
        return 0;
    *count = length / slice + (length % slice != 0);
    return 1;
}

int Slice_GetCurrentPiece(SliceStruct *list, int *index) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(index);
    *index = 0;
    if (list->First) {
        *index = list->First->Index;
        return 1;
    }
    if (list->Content)
        Content_GetPieceCount(list->Content, index);
    return 0;
}

int Slice_ValidateRequest(SliceStruct *list, uint32_t index, uint32_t begin, uint32_t length) {
    ZYL_CHECK_TAG(list, kListTag);
    int size = 0;
    int slice = 0;
    if (index > (uint32_t)INT32_MAX || !InternalPieceGeometry(list, (int)index, &size, &slice))
        return 0;
    if (length < 1 || length > SLICE_MAX_REQUEST_LENGTH)
        return 0;
    return (uint64_t)begin + length <= (uint64_t)size;
}

int Slice_CheckInvariants(SliceStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    return InternalCheck(list, 1);
}

static int InternalCheck(SliceStruct *list, int progress) {
    int count = 0;
    int sent = 0;
    int unmarked = -1;
    for (SliceMemberStruct *m = list->First; m; m = m->Next) {
        count++;
        sent += m->State == SLICE_STATE_SENT;
        if (progress && list->Progress && unmarked < 0 &&
            !Bitfield_Test(list->Progress->Field, m->Index))
            unmarked = m->Index;
    }
    if (count != list->Count || sent != list->SentCount || unmarked >= 0) {
        ZYL_FATAL("Slice totals mismatch (count %d != %d, sent %d != %d, unmarked piece %d)\n",
                  count, list->Count, sent, list->SentCount, unmarked);
    }
    list->CheckCountdown = count + 1;
    return 1;
}
