// The tracked allocator: every block carries its size and guard bytes derived from
// its address; counters live in per-thread slots so that threads never share a
// cache line on this hot path; any misuse ends the process through the fatal path.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif

#include "core/zyl.h"

// Block layout (start a, 16-byte aligned from malloc):
//   a + 0   int64 block size (lets a wrong free size be caught without reading
//           outside the block)
//   a + 8   4 zero bytes
//   a + 12  4 front guard bytes
//   a + 16  the caller's area: size rounded up to a multiple of 4, zero-filled
//   then    4 back guard bytes
namespace {

const int kGuard = 4;
const int kFront = ZYL_BLOCK_HEADER_SIZE;

// Counters. Each thread adds its allocations and frees to its own slot (only the
// owner writes it, so plain loads and stores suffice); totals are sums over all
// slots. Peaks come from a shared running total fed in batches of kFlushBytes or
// kFlushBlocks per thread (and from the exact total at the report), so they may
// miss a short rise of less than a batch per thread. While a limit is set, an
// exact shared total is kept for the check.
const int64_t kFlushBytes = 64 * 1024;
const int64_t kFlushBlocks = 256;

struct alignas(64) Slot {
    std::atomic<int64_t> Blocks;
    std::atomic<int64_t> Bytes;
    std::atomic<int64_t> UnflushedBlocks;
    std::atomic<int64_t> UnflushedBytes;
    std::atomic<int> Owned;
    Slot *Next;
};

std::atomic<Slot *> g_slots{nullptr};
std::atomic<int64_t> g_runningBlocks{0};
std::atomic<int64_t> g_runningBytes{0};
std::atomic<int64_t> g_peakBlocks{0};
std::atomic<int64_t> g_peakBytes{0};
std::atomic<int64_t> g_limit{INT_MAX};
std::atomic<int64_t> g_limitBytes{0};
// Used by a thread whose own slot is already gone (allocations from thread-exit
// destructors); updated with atomic adds because several threads may share it.
Slot g_sharedSlot;

inline void RaiseMax(std::atomic<int64_t> &peak, int64_t value);

void Flush(Slot *slot) {
    int64_t blocks = slot->UnflushedBlocks.exchange(0, std::memory_order_relaxed);
    int64_t bytes = slot->UnflushedBytes.exchange(0, std::memory_order_relaxed);
    RaiseMax(g_peakBlocks, g_runningBlocks.fetch_add(blocks, std::memory_order_relaxed) + blocks);
    RaiseMax(g_peakBytes, g_runningBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes);
}

struct SlotOwner {
    Slot *slot = nullptr;
    bool gone = false;
    ~SlotOwner() {
        if (slot) {
            Flush(slot);
            slot->Owned.store(0, std::memory_order_release);
        }
        slot = nullptr;
        gone = true;
    }
};
thread_local SlotOwner t_slot;

Slot *ClaimSlot() {
    for (Slot *p = g_slots.load(std::memory_order_acquire); p; p = p->Next) {
        int expected = 0;
        if (p->Owned.load(std::memory_order_relaxed) == 0 &&
            p->Owned.compare_exchange_strong(expected, 1, std::memory_order_acquire))
            return p;
    }
    Slot *slot = static_cast<Slot *>(aligned_alloc(alignof(Slot), sizeof(Slot)));
    if (!slot) {
        ZYL_FATAL("No Memory available (%d / %d)\n", (int)sizeof(Slot), (int)sizeof(Slot));
    }
    memset(static_cast<void *>(slot), 0, sizeof(Slot));
    slot->Owned.store(1);
    Slot *head = g_slots.load(std::memory_order_relaxed);
    do {
        slot->Next = head;
    } while (!g_slots.compare_exchange_weak(head, slot, std::memory_order_release,
                                            std::memory_order_relaxed));
    return slot;
}

// Adds to this thread's slot (blocks and bytes may be negative).
inline void Count(int64_t blocks, int64_t bytes) {
    Slot *slot = t_slot.slot;
    if (!slot) {
        if (t_slot.gone) {
            g_sharedSlot.Blocks.fetch_add(blocks, std::memory_order_relaxed);
            g_sharedSlot.Bytes.fetch_add(bytes, std::memory_order_relaxed);
            return;
        }
        slot = t_slot.slot = ClaimSlot();
    }
    slot->Blocks.store(slot->Blocks.load(std::memory_order_relaxed) + blocks,
                       std::memory_order_relaxed);
    slot->Bytes.store(slot->Bytes.load(std::memory_order_relaxed) + bytes,
                      std::memory_order_relaxed);
    int64_t unflushedBlocks = slot->UnflushedBlocks.load(std::memory_order_relaxed) + blocks;
    int64_t unflushedBytes = slot->UnflushedBytes.load(std::memory_order_relaxed) + bytes;
    slot->UnflushedBlocks.store(unflushedBlocks, std::memory_order_relaxed);
    slot->UnflushedBytes.store(unflushedBytes, std::memory_order_relaxed);
    if (unflushedBytes >= kFlushBytes || unflushedBytes <= -kFlushBytes ||
        unflushedBlocks >= kFlushBlocks || unflushedBlocks <= -kFlushBlocks)
        Flush(slot);
}

void Totals(int64_t *blocks, int64_t *bytes) {
    int64_t b = g_sharedSlot.Blocks.load();
    int64_t n = g_sharedSlot.Bytes.load();
    for (Slot *p = g_slots.load(std::memory_order_acquire); p; p = p->Next) {
        b += p->Blocks.load(std::memory_order_relaxed);
        n += p->Bytes.load(std::memory_order_relaxed);
    }
    *blocks = b;
    *bytes = n;
}

std::atomic<uintptr_t> g_lowest{UINTPTR_MAX};
std::atomic<uintptr_t> g_highest{0};

inline int64_t Rounded(int64_t size) {
    return (size + 3) & ~(int64_t)3;
}
inline int64_t BlockSize(int64_t size) {
    return Rounded(size) + kFront + kGuard;
}

inline void GuardBytes(uintptr_t start, uint8_t guard[4]) {
    for (int i = 0; i < 4; i++)
        guard[i] = (uint8_t)(((start >> i) & 0xFF) ^ 0xCC);
}

inline void RaiseMax(std::atomic<int64_t> &peak, int64_t value) {
    int64_t seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

inline void Widen(uintptr_t low, uintptr_t high) {
    uintptr_t seen = g_lowest.load(std::memory_order_relaxed);
    while (low < seen && !g_lowest.compare_exchange_weak(seen, low, std::memory_order_relaxed)) {
    }
    seen = g_highest.load(std::memory_order_relaxed);
    while (high > seen && !g_highest.compare_exchange_weak(seen, high, std::memory_order_relaxed)) {
    }
}

inline int LogFlags() {
    return Zyl_GetLogFlags();
}

// Shows `count` bytes; never reads outside the block.
void PrintBytes(const char *title, const uint8_t *bytes, int count) {
    char text[64];
    Zyl_StrCopy(text, title, sizeof(text));
    for (int i = 0; i < count; i++)
        Zyl_AppendFormat(text, sizeof(text), " %.2X", bytes[i]);
    Zyl_PrintUnlocked("%s\n", text);
}

} // namespace

// Blocks of 4 MiB and more start on a 2 MiB boundary and ask for huge pages
// where the kernel leaves that to the program (transparent huge pages in
// "madvise" mode): the first touch of each 2 MiB is one fault instead of 512.
// Such a block is mapped in whole 2 MiB steps (its class), and when freed it is
// kept, up to kKeepLargeBytes in all, for the next block of the same class: a
// document, list or buffer made again takes pages already faulted in instead
// of mapping new ones, and nothing is unmapped (each unmapping flushes the TLB
// of every CPU the process runs on). A kept block is zero-filled when it goes
// back to the heap, as every other block, not while it waits for reuse (its
// next owner gets it zero-filled or, asking for unfilled memory, writes it).
static const int64_t kHugePage = 2 * 1024 * 1024;
static const int64_t kLargeBlock = 2 * kHugePage;
static const int64_t kKeepLargeBytes = 128 * 1024 * 1024;
static const int kKeepLargeCount = 32;

namespace {

struct KeptBlocks {
    std::mutex Lock;
    uint8_t *Start[kKeepLargeCount];
    int64_t Class[kKeepLargeCount];
    int Count;
    int64_t Bytes;
};

KeptBlocks g_kept;

int64_t LargeClass(int64_t block) {
    return (block + kHugePage - 1) / kHugePage * kHugePage;
}

uint8_t *TakeKeptBlock(int64_t blockClass) {
    std::lock_guard<std::mutex> hold(g_kept.Lock);
    for (int i = 0; i < g_kept.Count; i++) {
        if (g_kept.Class[i] != blockClass)
            continue;
        uint8_t *start = g_kept.Start[i];
        g_kept.Count--;
        g_kept.Start[i] = g_kept.Start[g_kept.Count];
        g_kept.Class[i] = g_kept.Class[g_kept.Count];
        g_kept.Bytes -= blockClass;
        return start;
    }
    return nullptr;
}

int KeepBlock(uint8_t *start, int64_t blockClass) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer can only catch a use after free in freed blocks.
    (void)start;
    (void)blockClass;
    return 0;
#endif
    std::lock_guard<std::mutex> hold(g_kept.Lock);
    if (g_kept.Count == kKeepLargeCount || g_kept.Bytes + blockClass > kKeepLargeBytes)
        return 0;
    g_kept.Start[g_kept.Count] = start;
    g_kept.Class[g_kept.Count] = blockClass;
    g_kept.Count++;
    g_kept.Bytes += blockClass;
    return 1;
}

uint8_t *AllocateBlock(int64_t block) {
    if (block < kLargeBlock)
        return static_cast<uint8_t *>(malloc((size_t)block));
    int64_t blockClass = LargeClass(block);
    uint8_t *kept = TakeKeptBlock(blockClass);
    if (kept != nullptr)
        return kept;
    void *start = nullptr;
    if (posix_memalign(&start, (size_t)kHugePage, (size_t)blockClass) != 0)
        return nullptr;
    madvise(start, (size_t)blockClass, MADV_HUGEPAGE);
    return static_cast<uint8_t *>(start);
}

// Gives a block back to the heap zero-filled, or keeps a large one.
void ReleaseBlock(uint8_t *start, int64_t block) {
    if (block >= kLargeBlock && KeepBlock(start, LargeClass(block)))
        return;
    memset(start, 0, (size_t)block);
    free(start);
}

} // namespace

void *Zyl_Alloc(int64_t size, int mode, const char *file, int line) {
    int flags = LogFlags();
    if (flags & ZYL_LOG_CHECK_ALL_BLOCKS)
        ZYL_FATAL_AT(file, line, "Memory tracking must be enabled\n");
    if (size <= 0)
        ZYL_FATAL_AT(file, line, "Invalid Memory Size (%I64d)\n", size);
    if (size > INT64_MAX / 2)
        ZYL_FATAL_AT(file, line, "No Memory available (%I64d / %I64d)\n", size, size);
    int64_t block = BlockSize(size);
    int64_t limit = g_limit.load(std::memory_order_relaxed);
    if (limit != INT_MAX) {
        int64_t inUse = g_limitBytes.fetch_add(block, std::memory_order_relaxed) + block;
        if (inUse > limit) {
            g_limitBytes.fetch_sub(block, std::memory_order_relaxed);
            ZYL_FATAL_AT(file, line, "Memory exceeds limit ((%I64d + %I64d) / %I64d)\n",
                         inUse - block, block, limit);
        }
    }
    uint8_t *start = AllocateBlock(block);
    if (!start) {
        if (mode == 2)
            ZYL_FATAL_AT(file, line, "No Local Memory available (%I64d / %I64d)\n", size, block);
        ZYL_FATAL_AT(file, line, "No Memory available (%I64d / %I64d)\n", size, block);
    }
    uintptr_t a = reinterpret_cast<uintptr_t>(start);
    Widen(a, a + (uintptr_t)block);
    uint8_t guard[4];
    GuardBytes(a, guard);
    memcpy(start, &block, sizeof(block));
    memset(start + 8, 0, 4);
    memcpy(start + kFront - kGuard, guard, kGuard);
    if (mode == ZYL_ALLOC_UNFILLED_MODE)
        memset(start + kFront + size, 0, (size_t)(Rounded(size) - size)); // up to the back guard
    else
        memset(start + kFront, 0, (size_t)Rounded(size));
    memcpy(start + block - kGuard, guard, kGuard);
    Count(1, block);
    if (flags & ZYL_LOG_MEMORY)
        Zyl_Print("-- Alloc 0x%p 0x%p: %10I64d [%s / %d]\n", (void *)(start + kFront),
                  (void *)nullptr, size, file, line);
    return start + kFront;
}

void *Zyl_Free(void *pointer, int64_t size, int mode, const char *file, int line) {
    (void)mode;
    int flags = LogFlags();
    if (flags & ZYL_LOG_MEMORY)
        Zyl_Print("-- Free  0x%p 0x%p: %10I64d [%s / %d]\n", pointer, (void *)nullptr, size, file,
                  line);
    if (flags & ZYL_LOG_CHECK_ALL_BLOCKS)
        ZYL_FATAL_AT(file, line, "Memory tracking must be enabled\n");
    if (size <= 0 || size > INT64_MAX / 2)
        ZYL_FATAL_AT(file, line, "Invalid Memory Size (%I64d)\n", size);
    int64_t block = BlockSize(size);
    if (!pointer)
        ZYL_FATAL_AT(file, line, "No Memory address to free (%I64d / %I64d)\n", size, block);
    uint8_t *start = static_cast<uint8_t *>(pointer) - kFront;
    Zyl_MemoryCheckBlock(1, start, size, file, line);
    ReleaseBlock(start, block);
    Count(-1, -block);
    if (g_limit.load(std::memory_order_relaxed) != INT_MAX)
        g_limitBytes.fetch_sub(block, std::memory_order_relaxed);
    return nullptr;
}

int Zyl_IsHeapAddress(const void *address) {
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    return a >= g_lowest.load(std::memory_order_relaxed) &&
           a <= g_highest.load(std::memory_order_relaxed);
}

int Zyl_MemoryCheckBlock(int fatal, const void *blockStart, int64_t size, const char *file,
                         int line) {
    const uint8_t *start = static_cast<const uint8_t *>(blockStart);
    if (!Zyl_IsHeapAddress(start) || !Zyl_IsHeapAddress(start + size)) {
        ZYL_FATAL_AT(file, line, "Invalid memory address (%I64d) <From:0x%p To:0x%p>\n", size,
                     blockStart, (const void *)(start + size));
    }
    uint8_t guard[4];
    GuardBytes(reinterpret_cast<uintptr_t>(start), guard);
    int64_t stored = 0;
    memcpy(&stored, start, sizeof(stored));
    int64_t block = BlockSize(size);
    const uint8_t *front = start + kFront - kGuard;
    int before = 0;
    int after = 0;
    for (int i = 0; i < kGuard; i++)
        before += front[i] != guard[i];
    // A size that does not match the block's is reported as a missing back guard;
    // the guard is then not looked for outside the block.
    const uint8_t *back = nullptr;
    if (stored == block) {
        back = start + block - kGuard;
        for (int i = 0; i < kGuard; i++)
            after += back[i] != guard[i];
    } else {
        after = kGuard;
    }
    if (before == 0 && after == 0)
        return 1;
    Zyl_LockLog();
    Zyl_PrintUnlocked("Memory corrupt (%I64d) <Addr:0x%p Before:%d After:%d Max:%d>\n", size,
                      (const void *)(start + kFront), before, after, kGuard);
    Zyl_PrintUnlocked("Expected: %.2X %.2X %.2X %.2X\n", guard[0], guard[1], guard[2], guard[3]);
    if (before)
        PrintBytes("Prior corruption:", front, 8);
    if (back && after)
        PrintBytes("After corruption:", back, kGuard);
    Zyl_UnlockLog();
    if (fatal == 1) {
        ZYL_FATAL_AT(file, line, "Memory corrupt (%I64d) <Addr:0x%p Before:%d After:%d Max:%d>\n",
                     size, (const void *)(start + kFront), before, after, kGuard);
    }
    return 0;
}

// The heap keeps up to kHeapKeepBytes of freed memory at its top instead of
// handing it back to the kernel on every free that leaves more than 128 KiB
// there. With more than one thread, each hand-back flushes the TLB of every CPU
// the process runs on, so a list or pool that is built and torn down again
// would pay that, and the page faults and zeroing of fresh pages, every time.
// Blocks from kHeapMapBytes up still get their own mapping, so large buffers go
// back to the kernel as soon as they are freed.
static void ConfigureHeap() {
#if defined(__GLIBC__)
    static const int kHeapKeepBytes = 64 * 1024 * 1024;
    static const int kHeapMapBytes = 4 * 1024 * 1024;
    static std::atomic<int> configured{0};
    if (configured.exchange(1) == 0) {
        mallopt(M_TRIM_THRESHOLD, kHeapKeepBytes);
        mallopt(M_MMAP_THRESHOLD, kHeapMapBytes);
    }
#endif
}

int Zyl_MemoryInit(int64_t limit) {
    ConfigureHeap();
    int flags = LogFlags();
    if (flags & ZYL_LOG_BANNERS)
        Zyl_PrintSeparator("Memory Init");
    for (Slot *p = g_slots.load(std::memory_order_acquire); p; p = p->Next) {
        p->Blocks.store(0);
        p->Bytes.store(0);
        p->UnflushedBlocks.store(0);
        p->UnflushedBytes.store(0);
    }
    g_sharedSlot.Blocks.store(0);
    g_sharedSlot.Bytes.store(0);
    g_runningBlocks.store(0);
    g_runningBytes.store(0);
    g_peakBlocks.store(0);
    g_peakBytes.store(0);
    g_limitBytes.store(0);
    g_limit.store(limit);
    if (flags & ZYL_LOG_BANNERS) {
        if (limit == INT_MAX)
            Zyl_Print("Memory Initialized (Maximum)\n");
        else
            Zyl_Print("Memory Initialized (limit %I64dk)\n", limit / 1024);
        Zyl_PrintSeparator(nullptr);
    }
    return 1;
}

int Zyl_MemoryRemove(void) {
    int flags = LogFlags();
    int64_t blocks = 0;
    int64_t bytes = 0;
    Totals(&blocks, &bytes);
    RaiseMax(g_peakBlocks, blocks);
    RaiseMax(g_peakBytes, bytes);
    if (flags & ZYL_LOG_BANNERS) {
        Zyl_PrintSeparator("Memory Remove");
        Zyl_Print("Maximum Memory in use (%I64d / %I64dk)\n", g_peakBlocks.load(),
                  g_peakBytes.load() / 1024);
    }
    if (bytes >= 1024)
        Zyl_Print("Not all memory was free'd (%I64d / %I64dk)\n", blocks, bytes / 1024);
    else if (bytes != 0)
        Zyl_Print("Not all memory was free'd (%I64d / %I64db)\n", blocks, bytes);
    if (flags & ZYL_LOG_BANNERS)
        Zyl_PrintSeparator(nullptr);
    return 1;
}

void Zyl_MemoryGetUsage(int64_t *blocks, int64_t *bytes) {
    int64_t b = 0;
    int64_t n = 0;
    Totals(&b, &n);
    if (blocks)
        *blocks = b;
    if (bytes)
        *bytes = n;
}

const char Zyl_DeadTag[] = "DeadStruct";
