// Member pools: fixed-size members carved from tracked chunks, each behind a
// 16-byte slot header that links the free list (so a free member keeps its
// bytes), and a string (bump) mode. Freeing finds the member's chunk by a
// branch-free binary search, so a foreign pointer or a double free is always
// caught without reading outside the pool's own chunks.
#include "core/pool.h"

#include "core/zyl.h"

#include <cstring>

static const char kPoolTag[] = "pool";

enum { kStringChunksTried = 8 };

// The 16 bytes in front of every member (fixed mode): the slot's descriptor.
struct PoolDescriptor {
    PoolDescriptor *Next; // next free slot
    int32_t InUse;
    int32_t Reserved;
};
static_assert(sizeof(PoolDescriptor) == 16, "members must stay 16-byte aligned");

// Chunk header; the slots (fixed mode) or the string bytes follow, 16-byte aligned.
struct PoolChunk {
    PoolChunk *Base;
    uint8_t *Bump;    // next free byte (string mode)
    int64_t Size;     // bytes of the whole chunk
    int32_t Count;    // members (fixed mode)
    int32_t Carved;   // 0 after a reset until the free list needs this chunk
    PoolChunk *Next;  // older chunk
    uint8_t *Members; // first slot or first string byte
};

struct PoolStruct {
    const char *Tag;
    int StringMode;
    const char *CreatorFile;
    int CreatorLine;
    int MemberSize; // as set, checked on every call
    int SlotSize;   // member size raised to a multiple of 16
    int Stride;     // slot header + slot size (fixed mode)
    int MembersPerChunk;
    int Clear; // zero-fill members on allocation
    PoolDescriptor *FreeList;
    int InUse;
    int Peak;
    int64_t BytesHeld;
    PoolChunk *ChunkList;   // newest first
    PoolChunk *CarveCursor; // next chunk that may be uncarved after a reset
    PoolChunk **Sorted;     // chunks by address, for finding a member's chunk
    int SortedCount;
    int SortedCapacity;
    int CheckCountdown; // debug builds: changes left before the next full check
};

// Bytes of one entry of the sorted chunk index (an array of pointers).
static const size_t kChunkRefSize = sizeof(PoolChunk *); // NOLINT(bugprone-sizeof-expression)
static const int64_t kHeaderSize = (sizeof(PoolChunk) + 15) & ~(int64_t)15;

// Debug builds run the full check once per about as many changes as it visits
// slots, so that checking keeps a pool's work linear; Release builds skip it.
static void Pool_DebugCheck(PoolStruct *pool) {
#ifndef NDEBUG
    if (--pool->CheckCountdown <= 0)
        Pool_CheckInvariants(pool);
#else
    (void)pool;
#endif
}

static int64_t Pool_Round16(int64_t value) {
    return (value + 15) & ~(int64_t)15;
}

static PoolDescriptor *Pool_Slot(PoolStruct *pool, PoolChunk *chunk, int64_t index) {
    return reinterpret_cast<PoolDescriptor *>(chunk->Members + index * pool->Stride);
}

static uint8_t *Pool_MemberOf(PoolDescriptor *slot) {
    return reinterpret_cast<uint8_t *>(slot) + sizeof(PoolDescriptor);
}

static void Pool_SortedInsert(PoolStruct *pool, PoolChunk *chunk) {
    if (pool->SortedCount == pool->SortedCapacity) {
        int capacity = pool->SortedCapacity ? pool->SortedCapacity * 2 : 16;
        PoolChunk **grown = static_cast<PoolChunk **>(ZYL_ALLOC(capacity * kChunkRefSize));
        if (pool->Sorted) {
            memcpy(grown, pool->Sorted, pool->SortedCount * kChunkRefSize);
            ZYL_FREE(pool->Sorted, pool->SortedCapacity * kChunkRefSize);
        }
        pool->Sorted = grown;
        pool->SortedCapacity = capacity;
    }
    int at = pool->SortedCount;
    while (at > 0 && pool->Sorted[at - 1] > chunk) {
        pool->Sorted[at] = pool->Sorted[at - 1];
        at--;
    }
    pool->Sorted[at] = chunk;
    pool->SortedCount++;
}

// The chunk holding address, or null. Branch-free: the chunks are sorted by
// address and the search runs on every free.
static PoolChunk *Pool_FindChunk(PoolStruct *pool, const uint8_t *address) {
    int count = pool->SortedCount;
    if (count == 0) {
        return nullptr;
    }
    PoolChunk *const *base = pool->Sorted;
    while (count > 1) {
        int half = count / 2;
        base = (reinterpret_cast<const uint8_t *>(base[half]) <= address) ? base + half : base;
        count -= half;
    }
    PoolChunk *chunk = *base;
    const uint8_t *start = reinterpret_cast<const uint8_t *>(chunk);
    return (address >= start && address < start + chunk->Size) ? chunk : nullptr;
}

static void Pool_InternalCarveChunk(PoolStruct *pool, PoolChunk *chunk) {
    chunk->Carved = 1;
    if (pool->StringMode) {
        chunk->Bump = chunk->Members;
        return;
    }
    for (int i = 0; i < chunk->Count; i++) {
        PoolDescriptor *slot = Pool_Slot(pool, chunk, i);
        slot->Next = (i + 1 < chunk->Count) ? Pool_Slot(pool, chunk, i + 1) : pool->FreeList;
        slot->InUse = 0;
    }
    pool->FreeList = Pool_Slot(pool, chunk, 0);
    uint8_t *end = chunk->Members + (int64_t)chunk->Count * pool->Stride;
    int64_t length = end - reinterpret_cast<uint8_t *>(chunk);
    if (length != chunk->Size) {
        ZYL_FATAL("Pool corrupted (%d != %d) [0x%p 0x%p]\n", (int)length, (int)chunk->Size,
                  (void *)end, (void *)chunk);
    }
}

// Adds a chunk (request: string-mode bytes wanted, 0 in fixed mode) and carves it.
static PoolChunk *Pool_InternalAddChunk(PoolStruct *pool, int64_t request) {
    int64_t size;
    int count = pool->MembersPerChunk;
    if (pool->StringMode) {
        int64_t payload = pool->SlotSize > request ? pool->SlotSize : Pool_Round16(request);
        size = kHeaderSize + payload + 16;
        count = 1;
    } else {
        size = kHeaderSize + (int64_t)count * pool->Stride;
    }
    // A pool that zeroes each member as it hands it out has no use for zeroed chunks.
    int mode = pool->Clear ? ZYL_ALLOC_UNFILLED_MODE : 1;
    PoolChunk *chunk = static_cast<PoolChunk *>(Zyl_Alloc(size, mode, __FILE__, __LINE__));
    chunk->Base = chunk;
    chunk->Size = size;
    chunk->Count = count;
    chunk->Next = pool->ChunkList;
    chunk->Members = reinterpret_cast<uint8_t *>(chunk) + kHeaderSize;
    pool->ChunkList = chunk;
    pool->BytesHeld += size;
    Pool_SortedInsert(pool, chunk);
    Pool_InternalCarveChunk(pool, chunk);
    return chunk;
}

static void Pool_InternalFreeChunks(PoolStruct *pool) {
    while (pool->ChunkList) {
        PoolChunk *chunk = pool->ChunkList;
        pool->ChunkList = chunk->Next;
        int64_t size = chunk->Size;
        chunk->Base = nullptr;
        Zyl_Free(chunk, size, 1, __FILE__, __LINE__);
    }
    pool->SortedCount = 0;
    pool->FreeList = nullptr;
    pool->CarveCursor = nullptr;
    pool->InUse = 0;
    pool->Peak = 0;
    pool->BytesHeld = 0;
}

int Pool_Create(PoolStruct **pool, const char *file, int line) {
    ZYL_CHECK_PTR(pool);
    ZYL_CHECK_PTR(file);
    *pool = nullptr;
    PoolStruct *created = ZYL_NEW(PoolStruct);
    created->Tag = kPoolTag;
    created->CreatorFile = file;
    created->CreatorLine = line;
    *pool = created;
    return 1;
}

int Pool_Destroy(PoolStruct **pool) {
    ZYL_CHECK_PTR(pool);
    PoolStruct *doomed = *pool;
    if (doomed == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(doomed, kPoolTag);
    if (doomed->InUse != 0) {
        Zyl_Print("Not all pool memory was freed (%d) for (%s/%d)\n", doomed->InUse,
                  doomed->CreatorFile, doomed->CreatorLine);
    }
    Pool_InternalFreeChunks(doomed);
    if (doomed->Sorted) {
        ZYL_FREE(doomed->Sorted, doomed->SortedCapacity * kChunkRefSize);
    }
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PoolStruct));
    *pool = nullptr;
    return 1;
}

int Pool_SetMemberSize(PoolStruct *pool, int size) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    if (size <= 0) {
        ZYL_FATAL("Invalid pool member size (%d)\n", size);
    }
    pool->MemberSize = size;
    int slot = (int)Pool_Round16(size);
    if (slot != pool->SlotSize) {
        Pool_InternalFreeChunks(pool);
        pool->SlotSize = slot;
        pool->Stride = slot + (int)sizeof(PoolDescriptor);
    }
    return 1;
}

int Pool_SetMembersPerChunk(PoolStruct *pool, int count) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    pool->MembersPerChunk = count;
    return 1;
}

int Pool_SetStringMode(PoolStruct *pool, int on) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    if (on == 1 && pool->MembersPerChunk != 1) {
        ZYL_FATAL("Member chunk size must be 1 to use String Mode (%d != 1)\n",
                  pool->MembersPerChunk);
    }
    if (pool->StringMode != (on == 1)) {
        Pool_InternalFreeChunks(pool); // the two modes lay chunks out differently
    }
    pool->StringMode = (on == 1);
    return 1;
}

int Pool_SetClear(PoolStruct *pool, int on) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    pool->Clear = (on == 1);
    return 1;
}

static void Pool_CheckConfigured(PoolStruct *pool, const char *file, int line) {
    if (pool->SlotSize <= 0 || pool->MembersPerChunk < 1) {
        ZYL_FATAL_AT(file, line, "Pool not configured (size %d, per chunk %d) from (%s/%d)\n",
                     pool->MemberSize, pool->MembersPerChunk, file, line);
    }
}

static void *Pool_AllocString(PoolStruct *pool, int size) {
    int64_t needed = Pool_Round16((int64_t)size + 4);
    // Only the newest few chunks are tried: older ones are as good as full, and
    // walking them all would make a large document's load quadratic.
    PoolChunk *chunk = pool->ChunkList;
    for (int tried = 0; chunk && tried < kStringChunksTried; tried++) {
        int64_t remaining = reinterpret_cast<uint8_t *>(chunk) + chunk->Size - chunk->Bump;
        if (remaining > needed) {
            break;
        }
        chunk = chunk->Next;
    }
    if (chunk && reinterpret_cast<uint8_t *>(chunk) + chunk->Size - chunk->Bump <= needed) {
        chunk = nullptr;
    }
    if (chunk == nullptr) {
        chunk = Pool_InternalAddChunk(pool, needed);
    }
    uint8_t *member = chunk->Bump;
    chunk->Bump += needed;
    return member;
}

// Carves a chunk left uncarved by a reset, else adds one.
static void Pool_Refill(PoolStruct *pool) {
    while (pool->CarveCursor && pool->CarveCursor->Carved) {
        pool->CarveCursor = pool->CarveCursor->Next;
    }
    if (pool->CarveCursor) {
        Pool_InternalCarveChunk(pool, pool->CarveCursor);
        pool->CarveCursor = pool->CarveCursor->Next;
        return;
    }
    Pool_InternalAddChunk(pool, 0);
}

void *Pool_Alloc(PoolStruct *pool, int size, const char *file, int line) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    ZYL_CHECK_PTR(file);
    Pool_CheckConfigured(pool, file, line);
    void *member;
    if (pool->StringMode) {
        if (size <= 0) {
            ZYL_FATAL_AT(file, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", size,
                         pool->MemberSize, file, line);
        }
        member = Pool_AllocString(pool, size);
    } else {
        if (size != pool->MemberSize) {
            ZYL_FATAL_AT(file, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", size,
                         pool->MemberSize, file, line);
        }
        if (pool->FreeList == nullptr) {
            Pool_Refill(pool);
        }
        PoolDescriptor *slot = pool->FreeList;
        pool->FreeList = slot->Next;
        slot->Next = nullptr;
        slot->InUse = 1;
        member = Pool_MemberOf(slot);
    }
    if (pool->Clear) {
        memset(member, 0, pool->StringMode ? (size_t)size : (size_t)pool->MemberSize);
    }
    pool->InUse++;
    if (pool->InUse > pool->Peak) {
        pool->Peak = pool->InUse;
    }
    Pool_DebugCheck(pool);
    return member;
}

// The slot of a handed-out member; fatal when the pool did not hand it out
// (the second pointer is the slot when the member is a free one of ours).
static PoolDescriptor *Pool_FindInUse(PoolStruct *pool, uint8_t *member, const char *file,
                                      int line) {
    PoolChunk *chunk = Pool_FindChunk(pool, member);
    PoolDescriptor *slot = nullptr;
    if (chunk && member >= chunk->Members + sizeof(PoolDescriptor) &&
        member < chunk->Members + (int64_t)chunk->Count * pool->Stride) {
        // The header is read at once; the boundary check (a division) runs
        // beside that load instead of in front of it.
        slot = reinterpret_cast<PoolDescriptor *>(member - sizeof(PoolDescriptor));
        int64_t offset = reinterpret_cast<uint8_t *>(slot) - chunk->Members;
        if (offset % pool->Stride != 0) {
            slot = nullptr;
        } else if (chunk->Carved && slot->InUse) {
            return slot;
        }
    }
    ZYL_FATAL_AT(file, line, "Unable to find member to free [0x%p] [0x%p]\n", (void *)member,
                 (void *)slot);
}

int Pool_Free(PoolStruct *pool, void **member, int size, const char *file, int line) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    ZYL_CHECK_PTR(member);
    ZYL_CHECK_PTR(file);
    if (!pool->StringMode && size != pool->MemberSize) {
        ZYL_FATAL_AT(file, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", size,
                     pool->MemberSize, file, line);
    }
    if (*member == nullptr) {
        return 1;
    }
    if (pool->StringMode) {
        if (Pool_FindChunk(pool, static_cast<uint8_t *>(*member)) == nullptr) {
            ZYL_FATAL_AT(file, line, "Unable to find member to free [0x%p] [0x%p]\n", *member,
                         (void *)nullptr);
        }
    } else {
        PoolDescriptor *slot = Pool_FindInUse(pool, static_cast<uint8_t *>(*member), file, line);
        slot->InUse = 0;
        slot->Next = pool->FreeList;
        pool->FreeList = slot; // the member freed last is handed out next
    }
    pool->InUse--;
    *member = nullptr;
    Pool_DebugCheck(pool);
    return 1;
}

int Pool_Reset(PoolStruct *pool) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    if (pool->StringMode) {
        Pool_InternalFreeChunks(pool);
    } else {
        // Chunks are carved again one at a time as the free list needs them.
        pool->FreeList = nullptr;
        for (PoolChunk *chunk = pool->ChunkList; chunk; chunk = chunk->Next) {
            chunk->Carved = 0;
        }
        pool->CarveCursor = pool->ChunkList;
    }
    pool->InUse = 0;
    pool->Peak = 0;
    Pool_DebugCheck(pool);
    return 1;
}

int Pool_GetInUse(PoolStruct *pool, int *count) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    ZYL_CHECK_PTR(count);
    *count = pool->InUse;
    return 1;
}

int Pool_GetPeak(PoolStruct *pool, int *count) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    ZYL_CHECK_PTR(count);
    *count = pool->Peak;
    return 1;
}

int Pool_GetBytesHeld(PoolStruct *pool, int64_t *bytes) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    ZYL_CHECK_PTR(bytes);
    *bytes = pool->BytesHeld;
    return 1;
}

// Walks the free list, stopping past `limit` slots so that a cycle ends too.
static int64_t Pool_CountFree(PoolStruct *pool, int64_t limit) {
    int64_t count = 0;
    for (PoolDescriptor *slot = pool->FreeList; slot != nullptr && count <= limit;
         slot = slot->Next)
        count += slot->InUse == 0 ? 1 : limit + 1; // a used slot on the list is a mismatch
    return count;
}

int Pool_CheckInvariants(PoolStruct *pool) {
    ZYL_CHECK_TAG(pool, kPoolTag);
    int64_t bytes = 0, carved = 0, used = 0;
    int chunks = 0;
    for (PoolChunk *chunk = pool->ChunkList; chunk; chunk = chunk->Next, chunks++) {
        bytes += chunk->Size;
        if (pool->StringMode || !chunk->Carved)
            continue; // an uncarved chunk's slot headers are stale until carved again
        for (int i = 0; i < chunk->Count; i++)
            used += Pool_Slot(pool, chunk, i)->InUse != 0;
        carved += chunk->Count;
    }
    int sorted = 1;
    for (int i = 1; i < pool->SortedCount; i++)
        sorted &= pool->Sorted[i - 1] < pool->Sorted[i];
    int slotsAgree =
        pool->StringMode || (used == pool->InUse && Pool_CountFree(pool, carved) + used == carved);
    if (bytes != pool->BytesHeld || chunks != pool->SortedCount || !sorted || pool->InUse < 0 ||
        pool->InUse > pool->Peak || !slotsAgree) {
        ZYL_FATAL("Pool totals mismatch (in use %d of %I64d slots, %I64d bytes held, %d chunks)\n",
                  pool->InUse, carved, pool->BytesHeld, chunks);
    }
    pool->CheckCountdown = (int)(carved < (1 << 30) ? carved : (1 << 30)) + chunks + 1;
    return 1;
}
