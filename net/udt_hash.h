// Integer-keyed hash of the reliable UDP transport (sockets by id): chained
// buckets plus a list of all entries in insertion order, so the oldest entry is
// found at once. Not locked: its owner (a worker or a socket's mutex) guards it.
#pragma once

#include <cstdint>

extern const char UDTHashTag[]; // "hash"

struct UDTHashEntry {
    UDTHashEntry *Prev; // insertion-order list
    UDTHashEntry *Next;
    UDTHashEntry *Chain; // bucket chain
    uint32_t Key;
    void *Value;
};

struct UDTHashStruct {
    const char *Tag;
    UDTHashEntry **Buckets;
    int Prime; // bucket count; 0 until Hash_SetPrime
    UDTHashEntry *First;
    UDTHashEntry *Last;
    int Count;
};

// An empty table into *hash; returns 1 (allocation failure is fatal).
int Hash_Create(UDTHashStruct **hash);
// Frees the entries (never the values) and the record; clears *hash. Accepts null.
int Hash_Destroy(UDTHashStruct **hash);
// Sets the bucket count once; below 1 or a second call is fatal.
int Hash_SetPrime(UDTHashStruct *hash, int prime);
// Adds key -> value at the head of its bucket and the end of the list. Returns 1.
int Hash_Add(UDTHashStruct *hash, uint32_t key, void *value);
// Removes the newest entry of key; 0 when absent.
int Hash_Remove(UDTHashStruct *hash, uint32_t key);
// The value of key's newest entry; null when absent.
void *Hash_Find(const UDTHashStruct *hash, uint32_t key);
int Hash_GetCount(const UDTHashStruct *hash);
// Oldest entry (iteration follows Next up to null); null when empty.
UDTHashEntry *Hash_First(const UDTHashStruct *hash);
