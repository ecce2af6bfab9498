// Block request lists: an ordered, locked list of (piece, begin, length) requests
// with a queued/sent state, optionally keeping the download's in-progress set.
// Lists are short (one connection's queue); a walk is linear, members are pooled.
#pragma once

#include <cstdint>

struct BitfieldStruct;
struct ContentStruct;
struct MutexStruct;
struct PoolStruct;

enum {
    SLICE_STATE_QUEUED = 0,
    SLICE_STATE_SENT = 1,
    // The largest block a request may name (bytes), as peers accept it.
    SLICE_MAX_REQUEST_LENGTH = 131072,
    // Members one list holds by default at most: every add past it is refused, so
    // a hostile peer's requests cannot grow a list without bound (adds walk the list).
    SLICE_MAX_MEMBERS = 16384,
};

struct SliceMemberStruct {
    const char *Tag;
    int State; // SLICE_STATE_QUEUED or SLICE_STATE_SENT
    int Index; // piece
    int Begin; // bytes into the piece
    int Length;
    SliceMemberStruct *Next;
};

// The in-progress set shared by the request lists of one download: the content's
// in-progress bitfield (borrowed) and, per piece, the number of blocks of it that
// the bound lists hold together. A piece's bit is set exactly while its count is
// above 0, so one list dropping its last block of a piece leaves the bit set while
// another list still holds blocks of it. Changed under each bound list's own lock;
// all lists of a download run on the manager thread.
struct SliceProgressStruct {
    const char *Tag;
    BitfieldStruct *Field; // borrowed: the content's in-progress bitfield
    int *Counts;           // owned: blocks held per piece, grown with the field
    int Length;            // entries in Counts
};

struct SliceStruct {
    const char *Tag;
    MutexStruct *Mutex;
    SliceMemberStruct *First; // singly linked; blocks of one piece stand together
    int Count;
    int SentCount;                 // members in state SENT
    SliceProgressStruct *Progress; // borrowed, optional: the download's in-progress set
    ContentStruct *Content;        // borrowed: piece lengths and the slice size
    PoolStruct *Pool;              // members, 10 per chunk
    int MaxMembers;                // adds past this many members are refused
    int CheckCountdown;            // debug builds: changes left before the next full check
};

// Create: 1 and *list (empty, no content, no progress field). Destroy removes
// every member (logging "Member list count not empty (%d)" when some were left),
// frees the list and clears *list; accepts a null *list. Both return 1.
int Slice_Create(SliceStruct **list);
int Slice_Destroy(SliceStruct **list);
// Binds the content whose piece geometry every add is checked against. Returns 1.
int Slice_SetParent(SliceStruct *list, ContentStruct *content);
// Ties the list to the download's in-progress set (borrowed; null unties): the
// list's blocks count towards their pieces there, so a piece's bit is set while
// any bound list holds a block of it. Blocks already held move from the old set to
// the new one. Returns 1.
int Slice_SetProgressField(SliceStruct *list, SliceProgressStruct *progress);

// Create: 1 and *progress over `field` (borrowed; it must outlive the set), every
// count 0. Destroy frees the counts and clears *progress (accepts null); unbind
// the lists first. Both return 1.
int SliceProgress_Create(SliceProgressStruct **progress, BitfieldStruct *field);
int SliceProgress_Destroy(SliceProgressStruct **progress);
// Blocks of the piece the bound lists hold together (0 outside the field).
int SliceProgress_GetCount(SliceProgressStruct *progress, int index, int *count);

// Caps the member count (1 or more; SLICE_MAX_MEMBERS at creation), e.g. a
// connection's list of the peer's requests. Members already held stay. Returns 1.
int Slice_SetMaxMembers(SliceStruct *list, int count);

// Adds one block after the last block of its piece with a smaller begin, else at
// the end. 0 for a duplicate (that member goes back to queued; "Duplicate request
// made [%d:%d:%d]"), for a block outside the content ("Request outside content
// [%d:%d:%d]"), for a full list ("Request list full (%d)") and when the lock
// fails; the list is then unchanged apart from the duplicate's state.
int Slice_Add(SliceStruct *list, int index, int begin, int length);
// Adds every block of the piece (begin 0, S, 2S, ...; the last one short), blocks
// already present skipped silently. 0 (nothing added) when the piece is outside
// the content, no content is bound, a non-empty list lacks room for the whole
// piece (an empty one always takes it), or the lock fails; else 1.
int Slice_AddPiece(SliceStruct *list, int index);
// Unlink the first member equal in all three values / that member. 0 when none.
int Slice_Remove(SliceStruct *list, int index, int begin, int length);
int Slice_RemoveMember(SliceStruct *list, SliceMemberStruct *member);
// Empties the list. Returns 1 (0 when the lock fails).
int Slice_RemoveAll(SliceStruct *list);

// Lookups: 1 and *member, or 0 and null.
int Slice_Find(SliceStruct *list, int index, int begin, int length, SliceMemberStruct **member);
int Slice_FindPiece(SliceStruct *list, int index, SliceMemberStruct **member);
// 1 when some block of the piece is in the list.
int Slice_ContainsPiece(SliceStruct *list, int index);
// Walk: First gives the head, Next the successor (1 when there is one, else 0
// and null). Fetch the successor before removing the current member.
int Slice_First(SliceStruct *list, SliceMemberStruct **member);
int Slice_Next(SliceStruct *list, SliceMemberStruct *member, SliceMemberStruct **next);
// The member's values; 0 (outputs zeroed) when the lock fails.
int Slice_GetMember(SliceStruct *list, SliceMemberStruct *member, int *index, int *begin,
                    int *length);
// Queued -> sent (no change when already sent). Returns 1 (0 when the lock fails).
int Slice_MarkSent(SliceStruct *list, SliceMemberStruct *member);
int Slice_GetState(SliceMemberStruct *member, int *state);
// Every member back to queued (the requests must be sent again). Returns 1.
int Slice_ResetSent(SliceStruct *list);

// Counters; each returns 1 (IsEmpty: 1 when there is no member, else 0).
int Slice_GetCount(SliceStruct *list, int *count);
int Slice_GetSentCount(SliceStruct *list, int *count);
int Slice_IsEmpty(SliceStruct *list);
// Runs of equal index in list order (distinct pieces, as blocks stand together).
int Slice_CountPieces(SliceStruct *list, int *count);
// Sum of the members' lengths in bytes.
int Slice_GetTotalLength(SliceStruct *list, int64_t *sum);
// Blocks of a full piece (piece 0); 0 and *count 0 without a content.
int Slice_GetSlicesPerPiece(SliceStruct *list, int *count);
// Piece of the first member and 1; an empty list gives the piece count and 0.
int Slice_GetCurrentPiece(SliceStruct *list, int *index);

// 1 only when index < piece count, 1 <= length <= 131072 and begin + length
// (summed in 64 bits) ends inside the piece (the last piece's real length). The
// values are the wire's unsigned 32-bit integers. Not locked. Every request a
// peer sends passes through it before use.
int Slice_ValidateRequest(SliceStruct *list, uint32_t index, uint32_t begin, uint32_t length);

// Checks the count, the sent count and the in-progress bits against the
// members; stops the program when they disagree
// ("Slice totals mismatch ..."). Returns 1. Debug builds also run it by themselves.
int Slice_CheckInvariants(SliceStruct *list);
