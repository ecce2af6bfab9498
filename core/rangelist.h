// Seek accelerator for long sorted lists walked by a 32-bit key: remembers, per
// key range (bucket), the element with the lowest key, so a search can start
// close to its target. The IP list uses it with 256 buckets.
#pragma once

#include <cstdint>

struct ListABucket {
    uint32_t Key;
    void *Handle; // null: empty bucket
    int Hits;
};

struct ListAStruct {
    const char *Tag;
    int Trace;            // 0: the trace lines are never written
    int Enabled;          // 1 after ListA_Reset / ListA_SetBuckets
    ListABucket *Buckets; // owned, BucketCount entries
    uint32_t LastKey;     // last key given to ListA_Set
    void *LastHandle;
    int BucketCount;      // 5..65536, 0 before ListA_SetBuckets
    uint32_t BucketWidth; // 0xFFFFFFFF / BucketCount
};

// A disabled accelerator without buckets into *list; returns 1.
int ListA_Create(ListAStruct **list);
// Frees the buckets and the record, clears *list; accepts null. Returns 1.
int ListA_Destroy(ListAStruct **list);
// Sets the bucket count (held between 5 and 65536); a change reallocates the
// buckets and resets the list. Returns 1.
int ListA_SetBuckets(ListAStruct *list, int count);
// Enables the list and forgets every recorded element; returns 1.
int ListA_Reset(ListAStruct *list);
// Records the element `handle` (not null: fatal) at `key`. Returns 1, or 0 when
// the list is disabled or has no buckets.
int ListA_Set(ListAStruct *list, uint32_t key, void *handle);
// *handle = a recorded element whose key is below `key`, the closest one the
// buckets know. Returns 1 with a handle, or 0 with null when none qualifies or
// the list is disabled.
int ListA_Seek(ListAStruct *list, uint32_t key, void **handle);
