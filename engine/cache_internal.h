// The disk cache's records: blocks, file records with their index, and the
// cache itself with its free list, age list and eviction scratch. Only
// engine/cache.cpp and the cache's own tests include this header; everyone else
// goes through engine/cache.h.
#pragma once

#include <cstdint>

#include "engine/cache.h"
#include "engine/readrun.h"

struct MutexStruct;
struct PoolStruct;

enum {
    CACHE_READ_MULTIPLE = 4,
    CACHE_EVICT_COUNT = 20, // blocks freed by one eviction
    CACHE_INDEX_BUCKETS = 32,
};

extern const char CacheMemberTag[]; // "CacheMemberStruct"
extern const char CacheFileTag[];   // "CacheFileStruct"

struct CacheFileStruct;

// One block: free (on the free list, Length 0), clean or dirty.
struct CacheMemberStruct {
    const char *Tag;
    int Dirty;        // 1 while the block holds data not yet in its file
    double Created;   // clock seconds
    double LastTouch; // clock seconds
    int64_t HitCount; // times the block served data (a write starts it at 1)
    int64_t Offset;   // file offset of Data[0]; any value, not block aligned
    uint8_t *Data;    // fixed place in the buffer
    int Capacity;     // the block size
    int Length;       // valid bytes, at most Capacity
    CacheMemberStruct *Prev;
    CacheMemberStruct *Next;  // also the free list's link
    CacheFileStruct *File;    // the file whose list holds the block
    CacheMemberStruct *Older; // age list of every cached block, by last touch
    CacheMemberStruct *Newer;
};

// The cache's record of one content file, found by its exact path.
struct CacheFileStruct {
    const char *Tag;
    uint32_t NameId; // CRC-32 of the upper-cased path: a fast pre-check only
    char Path[CACHE_PATH_SIZE];
    int64_t Length;       // file size, -1 while storage cannot tell
    int32_t ModifiedTime; // minutes since 1970, as storage reports it
    int FileBlockSize;    // the download's piece length (0 until given); sizes read-ahead
    CacheStatsStruct Stats;
    int Failures;             // block writes or reads that failed
    ReadRunStruct ReadRun;    // the file's run of back-to-back reads
    CacheMemberStruct *First; // blocks sorted by offset, never overlapping
    CacheMemberStruct *Last;
    int BlockCount;
    double LastTouch;
    // Index: Index[i] is the lowest block starting in [i * Span, (i + 1) * Span).
    CacheMemberStruct *Index[CACHE_INDEX_BUCKETS];
    int64_t Span; // (Length + 31) / 32; 0 switches the index off
    // The block last found or inserted: sequential access walks on from it.
    CacheMemberStruct *Hint;
    CacheFileStruct *Next;
};

struct CacheEvictEntry {
    double Score;
    CacheMemberStruct *Block;
    CacheFileStruct *File;
};

// One per engine. The mutex guards everything below it; storage calls are made
// with it held (cache lock before storage lock).
struct CacheStruct {
    const char *Tag;
    MutexStruct *Mutex;
    ManagerStruct *Parent;
    StorageStruct *Storage;
    CacheSettingsStruct Settings;
    double StartTime;
    CacheMemberStruct *FreeList;
    int FreeCount;
    CacheMemberStruct *Oldest; // age list: eviction walks it from the oldest touch
    CacheMemberStruct *Newest;
    CacheEvictEntry Evict[CACHE_EVICT_COUNT];
    CacheFileStruct *Files; // in order of creation
    CacheFileStruct *LastFile;
    CacheStatsStruct Stats;
    uint8_t *Buffer;
    int64_t BufferSize; // 0 = disabled
    int64_t CutBytes;   // bytes of Buffer cut into blocks
    int BlockSize;
    int ReadMultiple;
    int BlockTotal; // blocks cut from the buffer
    PoolStruct *FilePool;
    PoolStruct *MemberPool;
    CacheClock Clock;
    double OpNow;            // clock reading taken once per operation on a file
    CacheFileStruct *Recent; // record of the last lookup (saves the CRC for runs on one file)
    int CheckCountdown;      // debug builds: operations left before the next full check
};
