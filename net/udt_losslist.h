// Loss lists of the reliable UDP transport: sorted, non-overlapping ranges of
// missing sequence numbers (the sender's to resend, the receiver's to report).
// Tuned for appends near the end and removals near the front; nodes are recycled.
#pragma once

#include <cstdint>

extern const char UDTLossListTag[]; // "losslist"

struct UDTLossRange;

struct UDTLossListStruct {
    const char *Tag;
    UDTLossRange *First; // earliest range
    UDTLossRange *Last;  // latest range
    UDTLossRange *Spare; // free nodes, chained through Next
    int64_t Count;       // sequence numbers held
    int Ranges;          // ranges held
    int CheckCountdown;  // debug builds: changes left before the next full check
};

// An empty list into *list; returns 1 (allocation failure is fatal).
int LossList_Create(UDTLossListStruct **list);
// Frees every node and the record; clears *list. Accepts null. Returns 1.
int LossList_Destroy(UDTLossListStruct **list);
// Adds [first, last] (first not later than last); *added = numbers not held before.
int LossList_Insert(UDTLossListStruct *list, int32_t first, int32_t last, int *added);
// Drops every number up to and including seq.
int LossList_RemoveUpTo(UDTLossListStruct *list, int32_t seq);
// Takes one number out; 1 when it was held.
int LossList_RemoveOne(UDTLossListStruct *list, int32_t seq);
// The earliest number into *seq and removes it; 0 (seq -1) when empty.
int LossList_PopFirst(UDTLossListStruct *list, int32_t *seq);
// The earliest number into *seq; 0 (seq -1) when empty.
int LossList_PeekFirst(const UDTLossListStruct *list, int32_t *seq);
int LossList_IsEmpty(const UDTLossListStruct *list);
// Writes ranges from the front as loss-report words (one word for a single number,
// first | 0x80000000 then last for a range), stopping before the first range that
// does not fit in maxWords. Returns the words written.
int LossList_Report(const UDTLossListStruct *list, uint32_t *words, int maxWords);
// Walks the ranges and stops the program when they are out of order, overlap,
// or disagree with Count, Ranges or the links. Returns 1. Debug builds run it
// after a number of changes equal to the ranges held, so it stays amortised O(1).
int LossList_CheckInvariants(UDTLossListStruct *list);
