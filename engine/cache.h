// Disk cache: downloaded data held in fixed 16 KiB blocks of one buffer between
// the engine and storage, written back in runs of neighbouring blocks and read
// ahead by whole blocks; long sequential reads bypass the blocks. Tuned so the
// data path never allocates and flushes seek little.
#pragma once

#include <cstdint>

struct ManagerStruct;
struct StorageStruct;

enum {
    CACHE_PATH_SIZE = 320,      // longest path, with its NUL
    CACHE_BLOCK_SIZE = 16384,   // the only block size
    CACHE_MIN_BLOCKS = 10,      // a buffer above 0 holds at least this many blocks
    CACHE_SCAN_BYTES = 1048576, // back-to-back reads past this are a scan (Cache_Read)
};

extern const char CacheTag[];      // "CacheStruct"
extern const char CacheStatsTag[]; // "StatsStruct"

// Counters of one file or of the whole cache (both are counted together).
struct CacheStatsStruct {
    const char *Tag;
    int64_t Hits;        // reads served from a block
    int64_t Misses;      // blocks filled by a write or read from disk
    int64_t HighestHit;  // highest hit count of a freed block
    int64_t FreedUnused; // blocks freed without a hit
    int64_t BlockWrites; // block writes to disk
    int64_t FlushRuns;   // runs of neighbouring dirty blocks written
    int64_t DirtyBlocks; // blocks holding data not yet on disk
    int64_t BlockReads;  // block reads from disk
    int64_t ScanReads;   // disk reads straight into the caller's buffer for a sequential run
};

// What an owner may set (the buffer size has its own call, Cache_SetBufferSize,
// because changing it re-cuts the buffer). The blocks, files, index and eviction
// scratch behind the opaque CacheStruct are the cache's own.
struct CacheSettingsStruct {
    int Verbose;        // 1: trace and statistics lines to the Alert log (0)
    int TraceFile;      // 1: trace lines appended to "cache.log" (0)
    int WriteBack;      // 1 keeps written data dirty until flushed (1); 0 writes through
    double CleanWeight; // a clean block's age is multiplied by it when evicting (10.0; 0 to 1e6)
};

// Cache's clock (seconds) for block ages; tests drive it.
typedef double (*CacheClock)(void);

// One per engine; opaque (engine/cache_internal.h holds its fields).
struct CacheStruct;

// Fills settings with the defaults of a new cache. Returns 1.
int Cache_InitSettings(CacheSettingsStruct *settings);
// Copies the cache's settings. Returns 1 (0, settings zeroed, when the lock fails).
int Cache_GetSettings(CacheStruct *cache, CacheSettingsStruct *settings);
// Applies a whole settings record under the lock; switching write-back off
// flushes first, as Cache_SetWriteBack does. 0 (logged, nothing changes) when a
// field is out of range or that flush failed.
int Cache_SetSettings(CacheStruct *cache, const CacheSettingsStruct *settings);

// Creates a disabled cache (buffer size 0) with the defaults into *cache; returns 1.
int Cache_Create(CacheStruct **cache);
// Flushes and frees everything, clears *cache. Accepts null. Returns 1; 0 when
// some dirty data could not be written first (it is lost, and logged).
int Cache_Destroy(CacheStruct **cache);
// Binds the cache to its manager and the manager's storage (the manager passes
// its storage so the cache never calls back into it). Fatal when already set.
int Cache_SetParent(CacheStruct *cache, ManagerStruct *manager, StorageStruct *storage);
// Sets the buffer (bytes; 0 disables, otherwise at least 10 blocks = 163840).
// Under the lock: flushes everything, frees every block and record, replaces the
// buffer and cuts it into blocks. 1 on success; 0 when the size is refused or
// dirty data could not be written (the cache is then left as it was).
int Cache_SetBufferSize(CacheStruct *cache, int64_t bytes);
// Sets the block size to 16384 (re-initialising when it differs). Returns 1.
int Cache_SetBlockSize(CacheStruct *cache);
// 1 keeps written data in dirty blocks (default); 0 writes through to storage.
int Cache_SetWriteBack(CacheStruct *cache, int on);
// Trace switches: verbose lines to the Alert log, trace lines to "cache.log".
int Cache_SetTrace(CacheStruct *cache, int verbose, int traceFile);

// Writes length bytes at offset of the file through the cache (straight to
// storage when disabled). Every cached block overlapping the range is flushed
// and freed first. 1 on success; 0 when storage failed or no block could be had
// (nothing of this write is then cached).
int Cache_Write(CacheStruct *cache, const char *path, int64_t offset, const void *buffer,
                int64_t length);
// Reads length bytes at offset through the cache, filling blocks ahead. Once a
// file's reads have run back to back for CACHE_SCAN_BYTES, a read takes what
// blocks hold from them and the rest from storage straight into buffer (a scan
// pushes out no block others use; storage has the system read ahead). 1 on
// success; 0 when storage failed, the file's size is unknown or the range goes
// past the file's known length (buffer contents are then undefined).
int Cache_Read(CacheStruct *cache, const char *path, int64_t offset, void *buffer, int64_t length);

// Records the file's length and the download's piece length (creating its
// record). Nothing when disabled. Returns 1.
int Cache_SetFileInfo(CacheStruct *cache, const char *path, int64_t length, int fileBlockSize);
// Writes every dirty block of the file. 1 when all of the file's data is on
// disk; 0 when a block write failed (the block stays dirty; a later flush retries).
int Cache_FlushFile(CacheStruct *cache, const char *path);
// Writes the dirty runs of the blocks touching [first, last] (bounds included);
// result as Cache_FlushFile.
int Cache_FlushRange(CacheStruct *cache, const char *path, int64_t first, int64_t last);
// Flushes every file; 0 when any block write failed.
int Cache_FlushAll(CacheStruct *cache);
// Flushes and frees every block of the file and forgets it. 0 when some dirty
// data could not be written (it is given up with the record, and logged).
int Cache_RemoveFile(CacheStruct *cache, const char *path);
// Bytes of blocks held for the file and the percentage of those that hold data
// (100 when none). Returns 1.
int Cache_GetFileUtilization(CacheStruct *cache, const char *path, double *percent, int64_t *bytes);
// The file's count of failed block transfers. Returns 1.
int Cache_GetIOFailures(CacheStruct *cache, const char *path, int *count);
// Prints the file's statistics lines (Alert log, level 0). Returns 1.
int Cache_PrintFileStatistics(CacheStruct *cache, const char *path);
// Copies the whole cache's counters; *freeBlocks the blocks on the free list.
int Cache_GetStatistics(CacheStruct *cache, CacheStatsStruct *stats, int *freeBlocks);

// Test hook: the clock for block ages (null restores Zyl_GetTickSeconds). Returns 1.
int Cache_SetClock(CacheStruct *cache, CacheClock clock);

// Walks every block list and stops the program when a count (free blocks, a
// file's blocks, dirty blocks, the age list, the blocks cut) or the order of a
// file's blocks is wrong. Returns 1 (0 when the lock fails). Debug builds run it
// when an operation ends, once per as many operations as there are blocks.
int Cache_CheckInvariants(CacheStruct *cache);
