// Loss lists: a doubly linked list of sequence ranges in sequence order, with a
// free list of nodes. Inserts search from the latest range backwards (new losses
// are near the end); removals work from the front.
#include "net/udt_losslist.h"

#include "core/zyl.h"
#include "net/udt_seq.h"

const char UDTLossListTag[] = "losslist";

struct UDTLossRange {
    UDTLossRange *Prev;
    UDTLossRange *Next;
    int32_t First;
    int32_t Last;
};

int LossList_Create(UDTLossListStruct **list) {
    ZYL_CHECK_PTR(list);
    *list = nullptr;
    UDTLossListStruct *l = ZYL_NEW(UDTLossListStruct);
    l->Tag = UDTLossListTag;
    *list = l;
    return 1;
}

static void FreeChain(UDTLossRange *node) {
    while (node != nullptr) {
        UDTLossRange *next = node->Next;
        ZYL_FREE(node, sizeof(UDTLossRange));
        node = next;
    }
}

int LossList_Destroy(UDTLossListStruct **list) {
    ZYL_CHECK_PTR(list);
    UDTLossListStruct *l = *list;
    if (l == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(l, UDTLossListTag);
    FreeChain(l->First);
    FreeChain(l->Spare);
    l->Tag = Zyl_DeadTag;
    ZYL_FREE(l, sizeof(UDTLossListStruct));
    *list = nullptr;
    return 1;
}

// Debug builds check the whole list once per as many changes as it has ranges.
static void DebugCheck(UDTLossListStruct *l) {
#ifndef NDEBUG
    if (--l->CheckCountdown <= 0)
        LossList_CheckInvariants(l);
#else
    (void)l;
#endif
}

static UDTLossRange *NewNode(UDTLossListStruct *l, int32_t first, int32_t last) {
    UDTLossRange *n = l->Spare;
    if (n != nullptr) {
        l->Spare = n->Next;
    } else {
        n = ZYL_NEW(UDTLossRange);
    }
    n->Prev = n->Next = nullptr;
    n->First = first;
    n->Last = last;
    l->Ranges++;
    return n;
}

// Unlinks a node and keeps it for reuse; the caller adjusts Count.
static void DropNode(UDTLossListStruct *l, UDTLossRange *n) {
    (n->Prev ? n->Prev->Next : l->First) = n->Next;
    (n->Next ? n->Next->Prev : l->Last) = n->Prev;
    n->Prev = nullptr;
    n->Next = l->Spare;
    l->Spare = n;
    l->Ranges--;
}

// Links n in front of before (at the end when before is null).
static void LinkBefore(UDTLossListStruct *l, UDTLossRange *n, UDTLossRange *before) {
    n->Next = before;
    n->Prev = before ? before->Prev : l->Last;
    (n->Prev ? n->Prev->Next : l->First) = n;
    (before ? before->Prev : l->Last) = n;
}

// Widens r to cover [first, last] and merges the ranges it now overlaps.
static int Widen(UDTLossListStruct *l, UDTLossRange *r, int32_t first, int32_t last) {
    int added = 0;
    if (UDTSeq_Compare(first, r->First) < 0) {
        added += UDTSeq_Length(first, UDTSeq_Decrement(r->First));
        r->First = first;
    }
    if (UDTSeq_Compare(last, r->Last) > 0) {
        added += UDTSeq_Length(UDTSeq_Increment(r->Last), last);
        r->Last = last;
    }
    while (r->Next != nullptr && UDTSeq_Compare(r->Next->First, r->Last) <= 0) {
        UDTLossRange *n = r->Next;
        int32_t overlapEnd = UDTSeq_Compare(n->Last, r->Last) < 0 ? n->Last : r->Last;
        added -= UDTSeq_Length(n->First, overlapEnd);
        if (UDTSeq_Compare(n->Last, r->Last) > 0) {
            r->Last = n->Last;
        }
        DropNode(l, n);
    }
    return added;
}

int LossList_Insert(UDTLossListStruct *list, int32_t first, int32_t last, int *added) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    ZYL_CHECK_PTR(added);
    *added = 0;
    if (UDTSeq_Compare(first, last) > 0) {
        return 0;
    }
    // R = the first range whose end is not before first; ends rise along the list.
    UDTLossRange *r = nullptr;
    for (UDTLossRange *n = list->Last; n != nullptr && UDTSeq_Compare(n->Last, first) >= 0;
         n = n->Prev) {
        r = n;
    }
    if (r == nullptr || UDTSeq_Compare(last, r->First) < 0) {
        LinkBefore(list, NewNode(list, first, last), r);
        *added = UDTSeq_Length(first, last);
    } else {
        *added = Widen(list, r, first, last);
    }
    list->Count += *added;
    DebugCheck(list);
    return 1;
}

int LossList_RemoveUpTo(UDTLossListStruct *list, int32_t seq) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    while (list->First != nullptr) {
        UDTLossRange *r = list->First;
        if (UDTSeq_Compare(r->Last, seq) <= 0) {
            list->Count -= UDTSeq_Length(r->First, r->Last);
            DropNode(list, r);
        } else {
            if (UDTSeq_Compare(r->First, seq) <= 0) {
                list->Count -= UDTSeq_Length(r->First, seq);
                r->First = UDTSeq_Increment(seq);
            }
            break;
        }
    }
    DebugCheck(list);
    return 1;
}

int LossList_RemoveOne(UDTLossListStruct *list, int32_t seq) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    for (UDTLossRange *r = list->First; r != nullptr; r = r->Next) {
        if (UDTSeq_Compare(seq, r->First) < 0) {
            return 0;
        }
        if (UDTSeq_Compare(seq, r->Last) > 0) {
            continue;
        }
        list->Count--;
        if (r->First == r->Last) {
            DropNode(list, r);
        } else if (seq == r->First) {
            r->First = UDTSeq_Increment(seq);
        } else if (seq == r->Last) {
            r->Last = UDTSeq_Decrement(seq);
        } else {
            UDTLossRange *tail = NewNode(list, UDTSeq_Increment(seq), r->Last);
            r->Last = UDTSeq_Decrement(seq);
            LinkBefore(list, tail, r->Next);
        }
        DebugCheck(list);
        return 1;
    }
    return 0;
}

int LossList_PopFirst(UDTLossListStruct *list, int32_t *seq) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    ZYL_CHECK_PTR(seq);
    *seq = -1;
    UDTLossRange *r = list->First;
    if (r == nullptr) {
        return 0;
    }
    *seq = r->First;
    list->Count--;
    if (r->First == r->Last) {
        DropNode(list, r);
    } else {
        r->First = UDTSeq_Increment(r->First);
    }
    DebugCheck(list);
    return 1;
}

int LossList_PeekFirst(const UDTLossListStruct *list, int32_t *seq) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    ZYL_CHECK_PTR(seq);
    *seq = list->First ? list->First->First : -1;
    return list->First != nullptr;
}

int LossList_IsEmpty(const UDTLossListStruct *list) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    return list->First == nullptr;
}

int LossList_Report(const UDTLossListStruct *list, uint32_t *words, int maxWords) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    ZYL_CHECK_PTR(words);
    int n = 0;
    for (const UDTLossRange *r = list->First; r != nullptr; r = r->Next) {
        if (r->First == r->Last) {
            if (n + 1 > maxWords) {
                break;
            }
            words[n++] = (uint32_t)r->First;
        } else {
            if (n + 2 > maxWords) {
                break;
            }
            words[n++] = (uint32_t)r->First | 0x80000000u;
            words[n++] = (uint32_t)r->Last;
        }
    }
    return n;
}

int LossList_CheckInvariants(UDTLossListStruct *list) {
    ZYL_CHECK_TAG(list, UDTLossListTag);
    int64_t count = 0;
    int ranges = 0;
    int ordered = 1;
    const UDTLossRange *prev = nullptr;
    for (const UDTLossRange *r = list->First; r != nullptr; prev = r, r = r->Next) {
        ranges++;
        count += UDTSeq_Length(r->First, r->Last);
        ordered &= r->Prev == prev && UDTSeq_Compare(r->First, r->Last) <= 0 &&
                   (prev == nullptr || UDTSeq_Compare(prev->Last, r->First) < 0);
    }
    ordered &= list->Last == prev;
    if (count != list->Count || ranges != list->Ranges || !ordered) {
        ZYL_FATAL("Loss list totals mismatch (count %lld != %lld, ranges %d != %d, ordered %d)\n",
                  (long long)count, (long long)list->Count, ranges, list->Ranges, ordered);
    }
    list->CheckCountdown = ranges + 1;
    return 1;
}
