// Member pools: many small records of one size handed out from tracked chunks
// without touching the heap per member, or (string mode) short texts bumped out
// of chunks and all released at once. Tuned for O(1) alloc and O(log chunks) free.
#pragma once

#include <cstdint>

struct PoolStruct;

// Creates an empty pool (fixed mode, no member size, no chunk) remembering the
// creator's file and line for the leak report. Returns 1 and sets *pool.
int Pool_Create(PoolStruct **pool, const char *file, int line);
// Reports members still in use ("Not all pool memory was freed (%d) for (%s/%d)"),
// frees every chunk and the record, clears *pool. Accepts a null *pool. Returns 1.
int Pool_Destroy(PoolStruct **pool);

// Member size in bytes (> 0). When the rounded slot size changes every chunk is
// released first: members handed out before such a change are gone. Returns 1.
int Pool_SetMemberSize(PoolStruct *pool, int size);
// Members carved per chunk (>= 1 before the first allocation). Returns 1.
int Pool_SetMembersPerChunk(PoolStruct *pool, int count);
// 1 = string (bump) mode; requires members per chunk 1 (fatal otherwise). Returns 1.
int Pool_SetStringMode(PoolStruct *pool, int on);
// 1 = every member handed out is zero-filled (default 0: a reused member keeps
// its old bytes; a new chunk's memory is zero). Returns 1.
int Pool_SetClear(PoolStruct *pool, int on);

// Returns a member, 16-byte aligned; never null. Fixed mode: size must equal the
// member size (fatal "Invalid pool member size (%d != %d) from (%s/%d)"). String
// mode: size bytes (any size > 0), valid until the next Pool_Reset.
void *Pool_Alloc(PoolStruct *pool, int size, const char *file, int line);
// Returns *member to the pool and clears *member; a null *member is ignored.
// A member the pool did not hand out, or a double free, is fatal
// ("Unable to find member to free [0x%p] [0x%p]"). Returns 1.
int Pool_Free(PoolStruct *pool, void **member, int size, const char *file, int line);
// Releases every member at once: fixed mode keeps the chunks (all free again),
// string mode frees them. In use and peak become 0. Returns 1.
int Pool_Reset(PoolStruct *pool);

// Counters; each returns 1.
int Pool_GetInUse(PoolStruct *pool, int *count);
int Pool_GetPeak(PoolStruct *pool, int *count);
int Pool_GetBytesHeld(PoolStruct *pool, int64_t *bytes);

// Checks the cached totals (members in use, bytes held, the sorted chunk index)
// against the chunks and the free list; a mismatch stops the program ("Pool
// totals mismatch ..."). Returns 1. Debug builds also run it by themselves.
int Pool_CheckInvariants(PoolStruct *pool);

#define POOL_CREATE(pool) Pool_Create(&(pool), __FILE__, __LINE__)
#define POOL_ALLOC(pool, size) Pool_Alloc((pool), (int)(size), __FILE__, __LINE__)
// Frees a typed member pointer and clears it.
#define POOL_FREE(pool, member, size)                                                              \
    Pool_Free((pool), reinterpret_cast<void **>(&(member)), (int)(size), __FILE__, __LINE__)
