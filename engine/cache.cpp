// Disk cache: 16 KiB blocks cut from one buffer hold written data until it is
// flushed in runs of neighbouring blocks, and data read ahead from storage.
// Tuned so the data path never allocates; nothing written is silently dropped.
#include "engine/cache_internal.h"

#include <cstring>

#include "core/alert.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/pool.h"
#include "core/zyl.h"
#include "engine/storage.h"

const char CacheTag[] = "CacheStruct";
const char CacheMemberTag[] = "CacheMemberStruct";
const char CacheFileTag[] = "CacheFileStruct";
const char CacheStatsTag[] = "StatsStruct";

// What freeing does with a dirty block whose data cannot be written.
enum {
    kFreeKeep = 0,       // leave it cached and dirty; the free fails
    kFreeGiveUp = 1,     // free it anyway: its data is lost (logged)
    kFreeSuperseded = 2, // free it anyway: a write is replacing all of its bytes
};

// Counts in the cache's and the file's statistics together.
#define CACHE_COUNT(cache, file, field, n)                                                         \
    do {                                                                                           \
        (cache)->Stats.field += (n);                                                               \
        (file)->Stats.field += (n);                                                                \
    } while (0)

static double Cache_Now(CacheStruct *cache) {
    return cache->Clock != nullptr ? cache->Clock() : Zyl_GetTickSeconds();
}

static void Cache_ClearStats(CacheStatsStruct *stats) {
    memset(stats, 0, sizeof *stats);
    stats->Tag = CacheStatsTag;
}

// ---------------------------------------------------------------------------
// Trace
// ---------------------------------------------------------------------------

static void Cache_TraceLine(CacheStruct *cache, const char *line) {
    if (cache->Settings.Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%s", line);
    if (!cache->Settings.TraceFile)
        return;
    char path[FILE_PATH_SIZE];
    if (!Zyl_GetModuleDirectory(path, sizeof path))
        return;
    if (!Zyl_StrEndsWith(path, "/"))
        Zyl_StrAppend(path, "/", sizeof path);
    Zyl_StrAppend(path, "cache.log", sizeof path);
    FileStruct *file = nullptr;
    File_New(&file);
    if (File_Open(file, path, FILE_MODE_WRITE | FILE_MODE_APPEND | FILE_MODE_SHARE_READ)) {
        File_Print(file, "%s\n", line);
        File_Close(file);
    }
    File_Delete(&file);
}

static void Cache_Trace(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *block,
                        const char *format, ...) {
    if (!cache->Settings.Verbose && !cache->Settings.TraceFile)
        return;
    char message[320];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(message, sizeof message, format, args);
    va_end(args);
    char line[1024];
    Zyl_FormatString(line, sizeof line, "%10.3f : [%s] [%.8X:%d] [O:%I64d L:%d] [%I64d:%.3f] %s",
                     Cache_Now(cache) - cache->StartTime, file->Path,
                     (unsigned)((uintptr_t)block & 0xffffffffu), block->Dirty, block->Offset,
                     block->Length, block->HitCount, block->LastTouch - block->Created, message);
    Cache_TraceLine(cache, line);
}
#define Cache_Trace(cache, file, block, ...)                                                       \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Cache_Trace)(cache, file, block, __VA_ARGS__))

// ---------------------------------------------------------------------------
// File records and the block index
// ---------------------------------------------------------------------------

static void Cache_SetSpan(CacheFileStruct *file) {
    file->Span =
        file->Length > 0 ? (file->Length + CACHE_INDEX_BUCKETS - 1) / CACHE_INDEX_BUCKETS : 0;
}

// Bucket of an offset; -1 when the index is off or the offset lies past it.
static int Cache_Bucket(CacheFileStruct *file, int64_t offset) {
    if (file->Span <= 0 || offset < 0)
        return -1;
    int64_t bucket = offset / file->Span;
    return bucket < CACHE_INDEX_BUCKETS ? (int)bucket : -1;
}

static void Cache_RebuildIndex(CacheFileStruct *file) {
    memset(file->Index, 0, sizeof file->Index);
    for (CacheMemberStruct *b = file->First; b != nullptr; b = b->Next) {
        int bucket = Cache_Bucket(file, b->Offset);
        if (bucket >= 0 && file->Index[bucket] == nullptr)
            file->Index[bucket] = b;
    }
}

// A block at or before offset to start a walk from (null: start at the head):
// the nearer of the index bucket's block and the hint.
static CacheMemberStruct *Cache_WalkStart(CacheFileStruct *file, int64_t offset) {
    CacheMemberStruct *start = nullptr;
    if (file->Span > 0 && offset >= 0) {
        int64_t bucket = offset / file->Span;
        for (int b = bucket < CACHE_INDEX_BUCKETS ? (int)bucket : CACHE_INDEX_BUCKETS - 1; b >= 0;
             b--) {
            if (file->Index[b] != nullptr && file->Index[b]->Offset <= offset) {
                start = file->Index[b];
                break;
            }
        }
    }
    CacheMemberStruct *hint = file->Hint;
    if (hint != nullptr && hint->Offset <= offset &&
        (start == nullptr || hint->Offset > start->Offset))
        start = hint;
    if (file->Last != nullptr && file->Last->Offset <= offset)
        start = file->Last; // appending: nothing lies beyond the last block
    return start;
}

// The last block starting at or before offset; null when none does.
static CacheMemberStruct *Cache_FindPrev(CacheFileStruct *file, int64_t offset) {
    CacheMemberStruct *b = Cache_WalkStart(file, offset);
    if (b == nullptr) {
        if (file->First == nullptr || file->First->Offset > offset)
            return nullptr;
        b = file->First;
    }
    while (b->Next != nullptr && b->Next->Offset <= offset)
        b = b->Next;
    return b;
}

// The block whose bytes include offset; null when none.
static CacheMemberStruct *Cache_FindBlock(CacheFileStruct *file, int64_t offset) {
    CacheMemberStruct *b = Cache_FindPrev(file, offset);
    if (b == nullptr)
        return nullptr;
    file->Hint = b;
    return offset < b->Offset + b->Length ? b : nullptr;
}

// The age list runs from the block touched longest ago to the newest; the
// clock never goes back, so it is ordered by last touch.
static void Cache_AgeRemove(CacheStruct *cache, CacheMemberStruct *block) {
    if (block->Older != nullptr)
        block->Older->Newer = block->Newer;
    else
        cache->Oldest = block->Newer;
    if (block->Newer != nullptr)
        block->Newer->Older = block->Older;
    else
        cache->Newest = block->Older;
    block->Older = nullptr;
    block->Newer = nullptr;
}

static void Cache_AgeAppend(CacheStruct *cache, CacheMemberStruct *block) {
    block->Older = cache->Newest;
    block->Newer = nullptr;
    if (cache->Newest != nullptr)
        cache->Newest->Newer = block;
    else
        cache->Oldest = block;
    cache->Newest = block;
}

static void Cache_Touch(CacheStruct *cache, CacheMemberStruct *block, double now) {
    block->LastTouch = now;
    if (cache->Newest != block) {
        Cache_AgeRemove(cache, block);
        Cache_AgeAppend(cache, block);
    }
}

static void Cache_InsertBlock(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *block) {
    block->File = file;
    Cache_AgeAppend(cache, block);
    CacheMemberStruct *prev = Cache_FindPrev(file, block->Offset);
    CacheMemberStruct *next = prev != nullptr ? prev->Next : file->First;
    block->Prev = prev;
    block->Next = next;
    if (prev != nullptr)
        prev->Next = block;
    else
        file->First = block;
    if (next != nullptr)
        next->Prev = block;
    else
        file->Last = block;
    file->BlockCount++;
    file->Hint = block;
    int bucket = Cache_Bucket(file, block->Offset);
    if (bucket >= 0 &&
        (file->Index[bucket] == nullptr || file->Index[bucket]->Offset > block->Offset))
        file->Index[bucket] = block;
}

static void Cache_UnlinkBlock(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *block) {
    Cache_AgeRemove(cache, block);
    block->File = nullptr;
    if (file->Hint == block)
        file->Hint = block->Prev;
    int bucket = Cache_Bucket(file, block->Offset);
    if (bucket >= 0 && file->Index[bucket] == block) {
        CacheMemberStruct *next = block->Next;
        file->Index[bucket] =
            next != nullptr && Cache_Bucket(file, next->Offset) == bucket ? next : nullptr;
    }
    if (block->Prev != nullptr)
        block->Prev->Next = block->Next;
    else
        file->First = block->Next;
    if (block->Next != nullptr)
        block->Next->Prev = block->Prev;
    else
        file->Last = block->Prev;
    block->Prev = nullptr;
    block->Next = nullptr;
    file->BlockCount--;
}

static void Cache_PushFree(CacheStruct *cache, CacheMemberStruct *block) {
    block->Length = 0;
    block->LastTouch = 0;
    block->Dirty = 0;
    block->Next = cache->FreeList;
    cache->FreeList = block;
    cache->FreeCount++;
}

// Reads the file's length and time from storage; 1 when storage knows them.
static int Cache_QueryLength(CacheStruct *cache, CacheFileStruct *file) {
    int64_t length = 0;
    if (!Storage_GetMemberLength(cache->Storage, file->Path, &length)) {
        file->Length = -1;
        return 0;
    }
    file->Length = length;
    Storage_GetMemberModifiedTime(cache->Storage, file->Path, &file->ModifiedTime);
    Cache_SetSpan(file);
    Cache_RebuildIndex(file);
    return 1;
}

// The record of exactly this path (the id only pre-checks); with create, a new
// record when none exists. Null when none (or the path is too long).
static CacheFileStruct *Cache_FindFile(CacheStruct *cache, const char *path, int create) {
    cache->OpNow = Cache_Now(cache);
    CacheFileStruct *file = cache->Recent;
    if (file != nullptr && Zyl_StrEqual(file->Path, path)) {
        file->LastTouch = cache->OpNow;
        return file;
    }
    uint32_t id = 0;
    Zyl_StrCrc32(path, 0, &id);
    file = cache->Files;
    while (file != nullptr && !(file->NameId == id && Zyl_StrEqual(file->Path, path)))
        file = file->Next;
    if (file == nullptr && create) {
        if (Zyl_StrLen(path) >= CACHE_PATH_SIZE) {
            Zyl_Print("Cache_FindFile() path too long [%s]\n", path);
            return nullptr;
        }
        file = static_cast<CacheFileStruct *>(POOL_ALLOC(cache->FilePool, sizeof(CacheFileStruct)));
        memset(file, 0, sizeof *file);
        file->Tag = CacheFileTag;
        file->NameId = id;
        Zyl_StrCopy(file->Path, path, sizeof file->Path);
        Cache_ClearStats(&file->Stats);
        Cache_QueryLength(cache, file);
        if (cache->LastFile != nullptr)
            cache->LastFile->Next = file;
        else
            cache->Files = file;
        cache->LastFile = file;
    }
    if (file != nullptr) {
        file->LastTouch = cache->OpNow;
        cache->Recent = file;
    }
    return file;
}

// ---------------------------------------------------------------------------
// Flushing
// ---------------------------------------------------------------------------

// Writes one dirty block. On failure the block stays dirty and is counted.
static int Cache_FlushMember(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *block) {
    Cache_Trace(cache, file, block, "Write flush");
    if (!Storage_Write(cache->Storage, file->Path, block->Offset, block->Data, block->Length)) {
        file->Failures++;
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "IO Failure, write not successfully performed [%I64d:%d] (%d) (%s)",
                  block->Offset, block->Length, file->Failures, file->Path);
        return 0;
    }
    block->Dirty = 0;
    CACHE_COUNT(cache, file, DirtyBlocks, -1);
    CACHE_COUNT(cache, file, BlockWrites, 1);
    return 1;
}

// Writes the dirty run that starts at first (each block once, even after a
// failure). *after = the block following the run. 0 when a block failed.
static int Cache_FlushRun(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *first,
                          CacheMemberStruct **after) {
    int result = 1;
    int64_t expected = first->Offset;
    CacheMemberStruct *b = first;
    while (b != nullptr && b->Dirty && b->Offset == expected) {
        if (!Cache_FlushMember(cache, file, b))
            result = 0;
        expected = b->Offset + b->Length;
        b = b->Next;
    }
    if (b != nullptr)
        Cache_Trace(cache, file, b, "Break forward (%I64d)", expected);
    CACHE_COUNT(cache, file, FlushRuns, 1);
    *after = b;
    return result;
}

// Writes the run of neighbouring dirty blocks holding block. 1 when nothing had
// to be written or every write of the run worked.
static int Cache_FlushContiguous(CacheStruct *cache, CacheFileStruct *file,
                                 CacheMemberStruct *block, CacheMemberStruct **after) {
    *after = block->Next;
    if (!block->Dirty || block->Length == 0)
        return 1;
    CacheMemberStruct *first = block;
    int count = 0;
    while (first->Prev != nullptr && first->Prev->Dirty &&
           first->Prev->Offset + first->Prev->Length == first->Offset) {
        first = first->Prev;
        count++;
    }
    if (first->Prev != nullptr)
        Cache_Trace(cache, file, first->Prev, "Break backward (%I64d)",
                    first->Prev->Offset + first->Prev->Length);
    Cache_Trace(cache, file, first, "Start Contiguous (%d)", count);
    return Cache_FlushRun(cache, file, first, after);
}

// Flushes the dirty runs of the blocks touching [first, last]. 0 on a failure.
static int Cache_FlushFileRange(CacheStruct *cache, CacheFileStruct *file, int64_t first,
                                int64_t last) {
    int result = 1;
    CacheMemberStruct *b = Cache_FindPrev(file, first);
    if (b == nullptr)
        b = file->First;
    while (b != nullptr && b->Offset <= last) {
        CacheMemberStruct *after = b->Next;
        if (b->Dirty && b->Offset + b->Length > first) {
            if (!Cache_FlushContiguous(cache, file, b, &after))
                result = 0;
        }
        b = after;
    }
    return result;
}

static int Cache_FlushWholeFile(CacheStruct *cache, CacheFileStruct *file) {
    return Cache_FlushFileRange(cache, file, 0, INT64_MAX);
}

static int Cache_FlushAllLocked(CacheStruct *cache) {
    int result = 1;
    for (CacheFileStruct *f = cache->Files; f != nullptr; f = f->Next) {
        if (!Cache_FlushWholeFile(cache, f))
            result = 0;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Freeing, eviction and taking blocks
// ---------------------------------------------------------------------------

// Flushes the block's run and returns the block to the free list. 1 when its
// data is on disk (or superseded). 0 when it could not be written: with kFreeKeep
// it then stays cached and dirty; with kFreeGiveUp it is freed and its data lost.
static int Cache_FreeBlock(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *block,
                           int mode) {
    CacheMemberStruct *after = nullptr;
    int result = Cache_FlushContiguous(cache, file, block, &after) || !block->Dirty;
    if (block->Dirty) {
        if (mode == kFreeKeep)
            return 0;
        if (mode == kFreeGiveUp) {
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                      "Cache gave up unwritten data [%I64d:%d] (%s)", block->Offset, block->Length,
                      file->Path);
        } else {
            result = 1;
        }
        block->Dirty = 0;
        CACHE_COUNT(cache, file, DirtyBlocks, -1);
    } else {
        result = 1;
    }
    Cache_Trace(cache, file, block, "Free");
    Cache_UnlinkBlock(cache, file, block);
    if (block->HitCount == 0)
        CACHE_COUNT(cache, file, FreedUnused, 1);
    if (block->HitCount > cache->Stats.HighestHit)
        cache->Stats.HighestHit = block->HitCount;
    if (block->HitCount > file->Stats.HighestHit)
        file->Stats.HighestHit = block->HitCount;
    Cache_PushFree(cache, block);
    return result;
}

// Puts a block in the eviction table when it is older than the table's youngest.
static void Cache_EvictConsider(CacheStruct *cache, CacheFileStruct *file, CacheMemberStruct *block,
                                double score, int *lowest) {
    CacheEvictEntry *table = cache->Evict;
    if (table[*lowest].Block != nullptr && score <= table[*lowest].Score)
        return;
    table[*lowest].Score = score;
    table[*lowest].Block = block;
    table[*lowest].File = file;
    // Next entry to replace: an empty one, else the first with the lowest score.
    *lowest = 0;
    for (int i = 0; i < CACHE_EVICT_COUNT; i++) {
        if (table[i].Block == nullptr) {
            *lowest = i;
            return;
        }
        if (table[i].Score < table[*lowest].Score)
            *lowest = i;
    }
}

// Frees the (up to) 20 blocks untouched longest, a clean block's age counting
// ten times. Walks the age list from the oldest and stops once no younger block
// can outscore the table. Blocks whose data cannot be written stay.
static void Cache_Evict(CacheStruct *cache) {
    memset(cache->Evict, 0, sizeof cache->Evict);
    double now = cache->OpNow;
    double weight = cache->Settings.CleanWeight > 1.0 ? cache->Settings.CleanWeight : 1.0;
    int lowest = 0;
    int taken = 0;
    for (CacheMemberStruct *b = cache->Oldest; b != nullptr; b = b->Newer) {
        double age = now - b->LastTouch;
        if (age < 0)
            age = 0;
        if (taken >= CACHE_EVICT_COUNT && age * weight <= cache->Evict[lowest].Score)
            break; // every block from here on is younger
        double score = b->Dirty ? age : age * cache->Settings.CleanWeight;
        Cache_EvictConsider(cache, b->File, b, score, &lowest);
        taken++;
    }
    for (int i = 0; i < CACHE_EVICT_COUNT; i++) {
        if (cache->Evict[i].Block != nullptr)
            Cache_FreeBlock(cache, cache->Evict[i].File, cache->Evict[i].Block, kFreeKeep);
    }
}

// Frees the first block that can be freed, the served file's first. 1 when one was.
static int Cache_FreeAny(CacheStruct *cache, CacheFileStruct *served) {
    for (CacheMemberStruct *b = served->First; b != nullptr; b = b->Next) {
        if (Cache_FreeBlock(cache, served, b, kFreeKeep))
            return 1;
    }
    for (CacheFileStruct *f = cache->Files; f != nullptr; f = f->Next) {
        for (CacheMemberStruct *b = f->First; f != served && b != nullptr; b = b->Next) {
            if (Cache_FreeBlock(cache, f, b, kFreeKeep))
                return 1;
        }
    }
    return 0;
}

// A free block, evicting when none is free; null when every block holds data
// that cannot be written.
static CacheMemberStruct *Cache_TakeFree(CacheStruct *cache, CacheFileStruct *served) {
    if (cache->FreeList == nullptr)
        Cache_Evict(cache);
    if (cache->FreeList == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Cache failed into random free");
        if (!Cache_FreeAny(cache, served))
            return nullptr;
    }
    CacheMemberStruct *block = cache->FreeList;
    cache->FreeList = block->Next;
    cache->FreeCount--;
    block->Next = nullptr;
    return block;
}

// ---------------------------------------------------------------------------
// Data path (cache lock held)
// ---------------------------------------------------------------------------

// Flushes and frees every block overlapping [offset, offset + length). Blocks
// only partly covered go first: when one cannot be written the write fails with
// nothing freed that it would not replace. 0 in that case.
static int Cache_FreeOverlaps(CacheStruct *cache, CacheFileStruct *file, int64_t offset,
                              int64_t length) {
    int64_t end = offset + length;
    CacheMemberStruct *first = Cache_FindPrev(file, offset);
    if (first == nullptr)
        first = file->First;
    else if (first->Offset + first->Length <= offset)
        first = first->Next;
    for (int pass = 0; pass < 2; pass++) {
        CacheMemberStruct *b = first;
        first = nullptr; // the first block left after this pass
        while (b != nullptr && b->Offset < end) {
            CacheMemberStruct *next = b->Next;
            int covered = b->Offset >= offset && b->Offset + b->Length <= end;
            if (pass == 0 && !covered) {
                if (!Cache_FreeBlock(cache, file, b, kFreeKeep))
                    return 0;
            } else if (pass == 1) {
                Cache_FreeBlock(cache, file, b, kFreeSuperseded);
            } else if (first == nullptr) {
                first = b;
            }
            b = next;
        }
    }
    return 1;
}

static int Cache_WriteBlock(CacheStruct *cache, CacheFileStruct *file, int64_t offset,
                            const uint8_t *data, int64_t length) {
    if (!Cache_FreeOverlaps(cache, file, offset, length))
        return 0;
    if (!cache->Settings.WriteBack &&
        !Storage_Write(cache->Storage, file->Path, offset, data, length)) {
        file->Failures++;
        return 0;
    }
    if (file->Length >= 0 && offset + length > file->Length)
        file->Length = offset + length; // the file reaches this far once flushed
    double now = cache->OpNow;
    while (length > 0) {
        CacheMemberStruct *block = Cache_TakeFree(cache, file);
        if (block == nullptr) {
            // No block can be had: the rest goes to storage now, or the write fails.
            if (cache->Settings.WriteBack &&
                !Storage_Write(cache->Storage, file->Path, offset, data, length)) {
                file->Failures++;
                return 0;
            }
            return 1;
        }
        block->Dirty = cache->Settings.WriteBack;
        block->HitCount = 1;
        block->Created = now;
        block->LastTouch = now;
        block->Offset = offset;
        block->Length = length < block->Capacity ? (int)length : block->Capacity;
        Cache_InsertBlock(cache, file, block);
        CACHE_COUNT(cache, file, Misses, 1);
        if (block->Dirty)
            CACHE_COUNT(cache, file, DirtyBlocks, 1);
        Cache_Trace(cache, file, block, "Cache write miss [O:%I64d L:%I64d]", offset, length);
        Cache_Trace(cache, file, block, "Cache write copy [L:%d]", block->Length);
        memcpy(block->Data, data, (size_t)block->Length);
        offset += block->Length;
        data += block->Length;
        length -= block->Length;
    }
    return 1;
}

// Fills a new block at offset from storage (at most span bytes, ending before
// the next cached block). Null when no block could be had or the read failed.
static CacheMemberStruct *Cache_FillBlock(CacheStruct *cache, CacheFileStruct *file, int64_t offset,
                                          int64_t span) {
    CacheMemberStruct *block = Cache_TakeFree(cache, file);
    if (block == nullptr)
        return nullptr;
    double now = cache->OpNow;
    block->Dirty = 0;
    block->HitCount = 0;
    block->Created = now;
    block->LastTouch = now;
    block->Offset = offset;
    block->Length = span < block->Capacity ? (int)span : block->Capacity;
    Cache_InsertBlock(cache, file, block);
    if (block->Next != nullptr && block->Offset + block->Length > block->Next->Offset)
        block->Length = (int)(block->Next->Offset - block->Offset);
    if (!Storage_Read(cache->Storage, file->Path, offset, block->Data, block->Length)) {
        file->Failures++;
        Cache_UnlinkBlock(cache, file,
                          block); // never keep a block that does not hold the file's bytes
        Cache_PushFree(cache, block);
        return nullptr;
    }
    CACHE_COUNT(cache, file, Misses, 1);
    CACHE_COUNT(cache, file, BlockReads, 1);
    return block;
}

// A read of a scan (a long run of back-to-back reads): bytes that blocks hold
// come from them, the gaps between them straight from storage into data, so
// the scan takes no block and pushes none out. 0 when a storage read failed.
static int Cache_ScanRead(CacheStruct *cache, CacheFileStruct *file, int64_t offset, uint8_t *data,
                          int64_t length) {
    CacheMemberStruct *block = Cache_FindPrev(file, offset);
    if (block == nullptr)
        block = file->First;
    else if (offset >= block->Offset + block->Length)
        block = block->Next;
    while (length > 0) {
        int64_t n = 0;
        if (block != nullptr && block->Offset <= offset) {
            n = block->Offset + block->Length - offset;
            n = n < length ? n : length;
            memcpy(data, block->Data + (offset - block->Offset), (size_t)n);
            block->HitCount++;
            Cache_Touch(cache, block, cache->OpNow);
            CACHE_COUNT(cache, file, Hits, 1);
            block = block->Next;
        } else {
            n = block != nullptr && block->Offset - offset < length ? block->Offset - offset
                                                                    : length;
            if (!Storage_Read(cache->Storage, file->Path, offset, data, n)) {
                file->Failures++;
                return 0;
            }
            CACHE_COUNT(cache, file, ScanReads, 1);
        }
        offset += n;
        data += n;
        length -= n;
    }
    return 1;
}

// Read-ahead: the piece length or the read multiple, in whole blocks, within the file.
static int64_t Cache_ReadSpan(CacheStruct *cache, CacheFileStruct *file, int64_t offset,
                              int64_t length) {
    int64_t span = file->FileBlockSize > 0
                       ? (file->FileBlockSize > length ? file->FileBlockSize : length)
                       : cache->ReadMultiple * length;
    span = (span + cache->BlockSize - 1) / cache->BlockSize * cache->BlockSize;
    return span < file->Length - offset ? span : file->Length - offset;
}

static int Cache_ReadBlock(CacheStruct *cache, CacheFileStruct *file, int64_t offset, uint8_t *data,
                           int64_t length) {
    if (file->Length < 0 && !Cache_QueryLength(cache, file)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to retrieve size on read [%s]",
                  file->Path);
        return 0;
    }
    if (offset + length > file->Length) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Read beyond end of file [%s] (%I64d > %I64d)", file->Path, offset + length,
                  file->Length);
        return 0;
    }
    if (ReadRun_Follow(&file->ReadRun, offset, length) > CACHE_SCAN_BYTES)
        return Cache_ScanRead(cache, file, offset, data, length);
    int64_t span = Cache_ReadSpan(cache, file, offset, length);
    while (length > 0) {
        CacheMemberStruct *block = Cache_FindBlock(file, offset);
        if (block != nullptr)
            CACHE_COUNT(cache, file, Hits, 1);
        else if ((block = Cache_FillBlock(cache, file, offset, span)) == nullptr)
            return 0;
        int64_t n = block->Offset + block->Length - offset;
        if (n > length)
            n = length;
        memcpy(data, block->Data + (offset - block->Offset), (size_t)n);
        block->HitCount++;
        Cache_Touch(cache, block, cache->OpNow);
        offset += n;
        data += n;
        length -= n;
        span -= n;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Statistics lines
// ---------------------------------------------------------------------------

static void Cache_PrintStatistics(CacheStruct *cache, const CacheStatsStruct *s, int64_t bytes,
                                  double lastTouch, double percent, int fileBlockSize) {
    int64_t uses = s->Hits + s->Misses;
    int64_t transfers = s->BlockWrites + s->BlockReads;
    if (uses > 0 && transfers > 0) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Cache ran at %.2f%% efficiency with a %.2f%% hit rate (%I64d hits, %I64d "
                  "misses, %d avg), last touch %d seconds ago",
                  percent, (double)s->Hits / (double)uses * 100.0, s->Hits, s->Misses,
                  (int)(uses / transfers), (int)(Cache_Now(cache) - lastTouch));
    }
    if (s->FlushRuns > 0) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Cache write averaged combining %.1f pieces, highest single hit was %I64d "
                  "(%I64d writes, %I64d reads)",
                  (double)s->BlockWrites / (double)s->FlushRuns, s->HighestHit, s->BlockWrites,
                  s->BlockReads);
    }
    if (s->ScanReads > 0) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Cache passed %I64d reads of sequential runs straight from disk", s->ScanReads);
    }
    if (bytes > 0 && cache->BufferSize > 0) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Cache utilization was %.1f%%, or %.1f megs (block size of %dk)",
                  (double)bytes / (double)cache->BufferSize * 100.0, (double)bytes / 1048576.0,
                  fileBlockSize / 1024);
    }
}

// Bytes of the file's blocks and the share of them holding data (100 when none).
static void Cache_Utilization(CacheStruct *cache, CacheFileStruct *file, double *percent,
                              int64_t *bytes) {
    int64_t used = 0;
    for (CacheMemberStruct *b = file->First; b != nullptr; b = b->Next)
        used += b->Length;
    *bytes = (int64_t)file->BlockCount * cache->BlockSize;
    *percent = *bytes > 0 ? (double)used / (double)*bytes * 100.0 : 100.0;
}

static void Cache_PrintAll(CacheStruct *cache) {
    int64_t total = 0;
    double sum = 0;
    int count = 0;
    for (CacheFileStruct *f = cache->Files; f != nullptr; f = f->Next) {
        double percent = 0;
        int64_t bytes = 0;
        Cache_Utilization(cache, f, &percent, &bytes);
        total += bytes;
        sum += percent;
        count++;
    }
    for (CacheFileStruct *f = cache->Files; f != nullptr; f = f->Next)
        Cache_PrintStatistics(cache, &f->Stats, total, f->LastTouch, sum / count, f->FileBlockSize);
}

// ---------------------------------------------------------------------------
// Re-initialising (cache lock held)
// ---------------------------------------------------------------------------

// Frees every block of the file (giving up data that cannot be written) and
// the record. 0 when some data was lost.
static int Cache_FreeFile(CacheStruct *cache, CacheFileStruct *file) {
    int result = Cache_FlushWholeFile(cache, file);
    while (file->First != nullptr) {
        if (!Cache_FreeBlock(cache, file, file->First, kFreeGiveUp))
            result = 0;
    }
    if (file->BlockCount != 0)
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Cache used member tracking problem (%d)",
                  file->BlockCount);
    if (file->Stats.DirtyBlocks != 0)
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Cache write active tracking problem (%d)",
                  (int)file->Stats.DirtyBlocks);
    CacheFileStruct **link = &cache->Files;
    CacheFileStruct *prev = nullptr;
    while (*link != file) {
        prev = *link;
        link = &(*link)->Next;
    }
    *link = file->Next;
    if (cache->LastFile == file)
        cache->LastFile = prev;
    if (cache->Recent == file)
        cache->Recent = nullptr;
    file->Tag = Zyl_DeadTag;
    POOL_FREE(cache->FilePool, file, sizeof(CacheFileStruct));
    return result;
}

// Frees every record and returns every block to its pool. 0 when data was lost.
static int Cache_ReleaseAll(CacheStruct *cache) {
    int result = 1;
    while (cache->Files != nullptr) {
        if (!Cache_FreeFile(cache, cache->Files))
            result = 0;
    }
    while (cache->FreeList != nullptr) {
        CacheMemberStruct *block = cache->FreeList;
        cache->FreeList = block->Next;
        cache->FreeCount--;
        block->Tag = Zyl_DeadTag;
        POOL_FREE(cache->MemberPool, block, sizeof(CacheMemberStruct));
    }
    if (cache->FreeCount != 0)
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Cache free member tracking problem (%d)",
                  cache->FreeCount);
    if (cache->Stats.DirtyBlocks != 0)
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Cache write active tracking problem (%d)",
                  (int)cache->Stats.DirtyBlocks);
    cache->FreeCount = 0;
    cache->BlockTotal = 0;
    cache->CutBytes = 0;
    return result;
}

// Cuts the buffer into whole blocks on the free list; a remainder stays idle.
static void Cache_CutBlocks(CacheStruct *cache) {
    int64_t count = cache->BlockSize > 0 ? cache->BufferSize / cache->BlockSize : 0;
    for (int64_t i = count - 1; i >= 0; i--) {
        CacheMemberStruct *block = static_cast<CacheMemberStruct *>(
            POOL_ALLOC(cache->MemberPool, sizeof(CacheMemberStruct)));
        memset(block, 0, sizeof *block);
        block->Tag = CacheMemberTag;
        block->Data = cache->Buffer + i * cache->BlockSize;
        block->Capacity = cache->BlockSize;
        Cache_PushFree(cache, block);
    }
    cache->BlockTotal = (int)count;
    cache->CutBytes = count * cache->BlockSize;
}

static int Cache_Reinit(CacheStruct *cache, int64_t newSize) {
    if (cache->Settings.Verbose && cache->CutBytes > 0)
        Cache_PrintAll(cache);
    int result = Cache_ReleaseAll(cache);
    if (newSize != cache->BufferSize) {
        if (cache->Buffer != nullptr)
            ZYL_FREE(cache->Buffer, cache->BufferSize);
        cache->BufferSize = newSize;
        if (newSize > 0)
            // Zero-filled: every page is touched here, once, instead of
            // faulting on the first reads and writes that pass through.
            cache->Buffer = static_cast<uint8_t *>(ZYL_ALLOC(newSize));
    }
    Cache_CutBlocks(cache);
    if (cache->Settings.Verbose) {
        if (cache->FreeCount > 0)
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Cache initialized %d megs with %d members of %dk (read %dx)",
                      (int)(cache->BufferSize / 1048576), cache->FreeCount, cache->BlockSize / 1024,
                      cache->ReadMultiple);
        else
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Cache disabled");
    }
    cache->StartTime = Cache_Now(cache);
    Cache_ClearStats(&cache->Stats);
    return result;
}

// ---------------------------------------------------------------------------
// Life and settings
// ---------------------------------------------------------------------------

static int Cache_Lock(CacheStruct *cache) {
    return MUTEX_LOCK(cache->Mutex);
}

// Lock held. Fatal at the first list whose count or order is wrong.
static void Cache_CheckFile(const CacheFileStruct *file, int64_t *dirty) {
    int count = 0;
    int fileDirty = 0;
    int ordered = file->First == nullptr || file->First->Prev == nullptr;
    const CacheMemberStruct *prev = nullptr;
    for (const CacheMemberStruct *b = file->First; b != nullptr; prev = b, b = b->Next) {
        count++;
        fileDirty += b->Dirty;
        ordered &= b->File == file && b->Prev == prev &&
                   (prev == nullptr || prev->Offset + prev->Length <= b->Offset);
    }
    ordered &= file->Last == prev;
    *dirty += fileDirty;
    if (count != file->BlockCount || fileDirty != file->Stats.DirtyBlocks || !ordered) {
        ZYL_FATAL("Cache totals mismatch [%s] (blocks %d != %d, dirty %d != %d, ordered %d)\n",
                  file->Path, count, file->BlockCount, fileDirty, (int)file->Stats.DirtyBlocks,
                  ordered);
    }
}

static void Cache_Check(CacheStruct *cache) {
    int free = 0;
    for (const CacheMemberStruct *b = cache->FreeList; b != nullptr; b = b->Next)
        free++;
    int used = 0;
    int64_t dirty = 0;
    for (const CacheFileStruct *f = cache->Files; f != nullptr; f = f->Next) {
        Cache_CheckFile(f, &dirty);
        used += f->BlockCount;
    }
    int aged = 0;
    for (const CacheMemberStruct *b = cache->Oldest; b != nullptr; b = b->Newer)
        aged++;
    if (free != cache->FreeCount || aged != used || free + used != cache->BlockTotal ||
        dirty != cache->Stats.DirtyBlocks) {
        ZYL_FATAL(
            "Cache totals mismatch (free %d != %d, aged %d, used %d, cut %d, dirty %d != %d)\n",
            free, cache->FreeCount, aged, used, cache->BlockTotal, (int)dirty,
            (int)cache->Stats.DirtyBlocks);
    }
    cache->CheckCountdown = cache->BlockTotal + 1;
}

static void Cache_Unlock(CacheStruct *cache) {
#ifndef NDEBUG
    if (--cache->CheckCountdown <= 0)
        Cache_Check(cache);
#endif
    MUTEX_UNLOCK(cache->Mutex);
}

int Cache_CheckInvariants(CacheStruct *cache) {
    ZYL_CHECK_TAG(cache, CacheTag);
    if (!Cache_Lock(cache))
        return 0;
    Cache_Check(cache);
    Cache_Unlock(cache);
    return 1;
}

static void Cache_CreatePool(PoolStruct **pool, int size, int perChunk) {
    POOL_CREATE(*pool);
    Pool_SetMemberSize(*pool, size);
    Pool_SetMembersPerChunk(*pool, perChunk);
}

int Cache_Create(CacheStruct **cache) {
    ZYL_CHECK_PTR(cache);
    *cache = nullptr;
    CacheStruct *c = ZYL_NEW(CacheStruct);
    c->Tag = CacheTag;
    Mutex_Create(&c->Mutex);
    Cache_CreatePool(&c->FilePool, sizeof(CacheFileStruct), 50);
    Cache_CreatePool(&c->MemberPool, sizeof(CacheMemberStruct), 250);
    Cache_InitSettings(&c->Settings);
    c->ReadMultiple = CACHE_READ_MULTIPLE;
    Cache_ClearStats(&c->Stats);
    Cache_SetBlockSize(c);
    *cache = c;
    return 1;
}

int Cache_Destroy(CacheStruct **cache) {
    ZYL_CHECK_PTR(cache);
    CacheStruct *c = *cache;
    if (c == nullptr)
        return 1;
    ZYL_CHECK_TAG(c, CacheTag);
    if (!Cache_Lock(c))
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to lock cache mutex");
    int result = c->Storage == nullptr || Cache_FlushAllLocked(c);
    if (!Cache_Reinit(c, 0))
        result = 0;
    Cache_Unlock(c);
    Mutex_Close(&c->Mutex);
    Pool_Destroy(&c->FilePool);
    Pool_Destroy(&c->MemberPool);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(CacheStruct));
    *cache = nullptr;
    return result;
}

int Cache_SetParent(CacheStruct *cache, ManagerStruct *manager, StorageStruct *storage) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_TAG(storage, StorageTag);
    if (cache->Storage != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    cache->Parent = manager;
    cache->Storage = storage;
    return 1;
}

int Cache_SetBufferSize(CacheStruct *cache, int64_t bytes) {
    ZYL_CHECK_TAG(cache, CacheTag);
    if (bytes < 0 || (bytes > 0 && bytes < (int64_t)CACHE_MIN_BLOCKS * CACHE_BLOCK_SIZE)) {
        Zyl_Print("Cache_SetBufferSize() refused size %I64d (0 or at least %d)\n", bytes,
                  CACHE_MIN_BLOCKS * CACHE_BLOCK_SIZE);
        return 0;
    }
    if (!Cache_Lock(cache))
        return 0;
    // Flush, release and replace in one critical section, so no writer slips
    // between; data that cannot be written keeps the old buffer.
    int result = cache->Storage == nullptr || Cache_FlushAllLocked(cache);
    if (result)
        result = Cache_Reinit(cache, bytes);
    Cache_Unlock(cache);
    return result;
}

int Cache_SetBlockSize(CacheStruct *cache) {
    ZYL_CHECK_TAG(cache, CacheTag);
    if (cache->BlockSize == CACHE_BLOCK_SIZE)
        return 1;
    if (!Cache_Lock(cache))
        return 0;
    cache->BlockSize = CACHE_BLOCK_SIZE;
    int result = Cache_Reinit(cache, cache->BufferSize);
    Cache_Unlock(cache);
    return result;
}

int Cache_SetWriteBack(CacheStruct *cache, int on) {
    ZYL_CHECK_TAG(cache, CacheTag);
    if (!Cache_Lock(cache))
        return 0;
    int result = on == 1 || cache->Storage == nullptr || Cache_FlushAllLocked(cache);
    if (result)
        cache->Settings.WriteBack = on == 1 ? 1 : 0;
    Cache_Unlock(cache);
    return result;
}

int Cache_SetTrace(CacheStruct *cache, int verbose, int traceFile) {
    ZYL_CHECK_TAG(cache, CacheTag);
    if (!Cache_Lock(cache))
        return 0;
    cache->Settings.Verbose = verbose == 1;
    cache->Settings.TraceFile = traceFile == 1;
    Cache_Unlock(cache);
    return 1;
}

int Cache_InitSettings(CacheSettingsStruct *settings) {
    ZYL_CHECK_PTR(settings);
    memset(settings, 0, sizeof *settings);
    settings->WriteBack = 1;
    settings->CleanWeight = 10.0;
    return 1;
}

int Cache_GetSettings(CacheStruct *cache, CacheSettingsStruct *settings) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(settings);
    memset(settings, 0, sizeof *settings);
    if (!Cache_Lock(cache))
        return 0;
    *settings = cache->Settings;
    Cache_Unlock(cache);
    return 1;
}

int Cache_SetSettings(CacheStruct *cache, const CacheSettingsStruct *settings) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(settings);
    const CacheSettingsStruct *s = settings;
    int flagsValid = (s->Verbose & ~1) == 0 && (s->TraceFile & ~1) == 0 && (s->WriteBack & ~1) == 0;
    // Written so that a NaN weight fails too.
    if (!flagsValid || !(s->CleanWeight >= 0.0 && s->CleanWeight <= 1e6)) {
        Zyl_Print("Cache_SetSettings() refused settings (verbose %d, trace file %d, write-back %d, "
                  "clean weight %.2f)\n",
                  s->Verbose, s->TraceFile, s->WriteBack, s->CleanWeight);
        return 0;
    }
    if (!Cache_Lock(cache))
        return 0;
    int result = s->WriteBack == 1 || cache->Storage == nullptr || Cache_FlushAllLocked(cache);
    if (result)
        cache->Settings = *s;
    Cache_Unlock(cache);
    return result;
}

int Cache_SetClock(CacheStruct *cache, CacheClock clock) {
    ZYL_CHECK_TAG(cache, CacheTag);
    cache->Clock = clock;
    return 1;
}

// ---------------------------------------------------------------------------
// Data
// ---------------------------------------------------------------------------

static int Cache_CheckRequest(CacheStruct *cache, const char *function, const char *path,
                              int64_t offset, int64_t length) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_TAG(cache->Storage, StorageTag);
    if (offset < 0 || length < 0 || offset > INT64_MAX - length) {
        Zyl_Print("%s() bad range [%s] %I64d %I64d\n", function, path, offset, length);
        return 0;
    }
    return 1;
}

int Cache_Write(CacheStruct *cache, const char *path, int64_t offset, const void *buffer,
                int64_t length) {
    ZYL_CHECK_PTR(buffer);
    if (!Cache_CheckRequest(cache, "Cache_Write", path, offset, length) || !Cache_Lock(cache))
        return 0;
    // The lock is taken even when disabled, so a buffer change never races a write.
    int result = 0;
    if (cache->BufferSize == 0) {
        result = Storage_Write(cache->Storage, path, offset, buffer, length);
    } else {
        CacheFileStruct *file = Cache_FindFile(cache, path, 1);
        result = file != nullptr && Cache_WriteBlock(cache, file, offset,
                                                     static_cast<const uint8_t *>(buffer), length);
    }
    Cache_Unlock(cache);
    return result;
}

int Cache_Read(CacheStruct *cache, const char *path, int64_t offset, void *buffer, int64_t length) {
    ZYL_CHECK_PTR(buffer);
    if (!Cache_CheckRequest(cache, "Cache_Read", path, offset, length) || !Cache_Lock(cache))
        return 0;
    int result = 0;
    if (cache->BufferSize == 0) {
        result = Storage_Read(cache->Storage, path, offset, buffer, length);
    } else {
        CacheFileStruct *file = Cache_FindFile(cache, path, 1);
        result = file != nullptr &&
                 Cache_ReadBlock(cache, file, offset, static_cast<uint8_t *>(buffer), length);
    }
    Cache_Unlock(cache);
    return result;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

int Cache_SetFileInfo(CacheStruct *cache, const char *path, int64_t length, int fileBlockSize) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_TAG(cache->Storage, StorageTag);
    if (!Cache_Lock(cache))
        return 0;
    CacheFileStruct *file = cache->BufferSize > 0 ? Cache_FindFile(cache, path, 1) : nullptr;
    if (file != nullptr) {
        file->Length = length;
        file->FileBlockSize = fileBlockSize;
        Cache_SetSpan(file);
        Cache_RebuildIndex(file);
    }
    Cache_Unlock(cache);
    return 1;
}

int Cache_FlushRange(CacheStruct *cache, const char *path, int64_t first, int64_t last) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    if (!Cache_Lock(cache))
        return 0;
    CacheFileStruct *file = Cache_FindFile(cache, path, 0);
    int result = file == nullptr || Cache_FlushFileRange(cache, file, first, last);
    Cache_Unlock(cache);
    return result;
}

int Cache_FlushFile(CacheStruct *cache, const char *path) {
    return Cache_FlushRange(cache, path, 0, INT64_MAX);
}

int Cache_FlushAll(CacheStruct *cache) {
    ZYL_CHECK_TAG(cache, CacheTag);
    if (!Cache_Lock(cache))
        return 0;
    int result = Cache_FlushAllLocked(cache);
    Cache_Unlock(cache);
    return result;
}

int Cache_RemoveFile(CacheStruct *cache, const char *path) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    if (!Cache_Lock(cache))
        return 0;
    CacheFileStruct *file = Cache_FindFile(cache, path, 0);
    int result = file == nullptr || Cache_FreeFile(cache, file);
    Cache_Unlock(cache);
    return result;
}

int Cache_GetFileUtilization(CacheStruct *cache, const char *path, double *percent,
                             int64_t *bytes) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(percent);
    ZYL_CHECK_PTR(bytes);
    *percent = 100.0;
    *bytes = 0;
    if (!Cache_Lock(cache))
        return 0;
    CacheFileStruct *file = Cache_FindFile(cache, path, 0);
    if (file != nullptr)
        Cache_Utilization(cache, file, percent, bytes);
    Cache_Unlock(cache);
    return 1;
}

int Cache_GetIOFailures(CacheStruct *cache, const char *path, int *count) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (!Cache_Lock(cache))
        return 0;
    CacheFileStruct *file = Cache_FindFile(cache, path, 0);
    if (file != nullptr)
        *count = file->Failures;
    Cache_Unlock(cache);
    return 1;
}

int Cache_PrintFileStatistics(CacheStruct *cache, const char *path) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(path);
    if (!Cache_Lock(cache))
        return 0;
    CacheFileStruct *file = Cache_FindFile(cache, path, 0);
    if (file != nullptr) {
        double percent = 0;
        int64_t bytes = 0;
        Cache_Utilization(cache, file, &percent, &bytes);
        Cache_PrintStatistics(cache, &file->Stats, bytes, file->LastTouch, percent,
                              file->FileBlockSize);
    }
    Cache_Unlock(cache);
    return 1;
}

int Cache_GetStatistics(CacheStruct *cache, CacheStatsStruct *stats, int *freeBlocks) {
    ZYL_CHECK_TAG(cache, CacheTag);
    ZYL_CHECK_PTR(stats);
    ZYL_CHECK_PTR(freeBlocks);
    if (!Cache_Lock(cache))
        return 0;
    *stats = cache->Stats;
    *freeBlocks = cache->FreeCount;
    Cache_Unlock(cache);
    return 1;
}
