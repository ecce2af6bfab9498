// The tracked allocator: every block carries its size and guard bytes derived from
// its address, counters and peaks are lock-free atomics (this is on every hot path),
// and any misuse ends the process through the fatal path.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

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

std::atomic<int64_t> g_blocks{0};
std::atomic<int64_t> g_bytes{0};
std::atomic<int64_t> g_peakBlocks{0};
std::atomic<int64_t> g_peakBytes{0};
std::atomic<int64_t> g_limit{INT_MAX};
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

[[noreturn]] void FatalAt(const char *file, int line, const char *format, int64_t a, int64_t b,
                          int64_t c) {
    Zyl_SetSourceLocation(file, line);
    Zyl_Fatal(format, a, b, c);
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

void *Zyl_Alloc(int64_t size, int mode, const char *file, int line) {
    int flags = LogFlags();
    if (flags & ZYL_LOG_CHECK_ALL_BLOCKS)
        FatalAt(file, line, "Memory tracking must be enabled\n", 0, 0, 0);
    if (size <= 0)
        FatalAt(file, line, "Invalid Memory Size (%I64d)\n", size, 0, 0);
    if (size > INT64_MAX / 2)
        FatalAt(file, line, "No Memory available (%I64d / %I64d)\n", size, size, 0);
    int64_t block = BlockSize(size);
    int64_t limit = g_limit.load(std::memory_order_relaxed);
    int64_t inUse = g_bytes.fetch_add(block, std::memory_order_relaxed) + block;
    if (limit != INT_MAX && inUse > limit) {
        g_bytes.fetch_sub(block, std::memory_order_relaxed);
        FatalAt(file, line, "Memory exceeds limit ((%I64d + %I64d) / %I64d)\n", inUse - block,
                block, limit);
    }
    uint8_t *start = static_cast<uint8_t *>(malloc((size_t)block));
    if (!start) {
        g_bytes.fetch_sub(block, std::memory_order_relaxed);
        FatalAt(file, line,
                mode == 2 ? "No Local Memory available (%I64d / %I64d)\n"
                          : "No Memory available (%I64d / %I64d)\n",
                size, block, 0);
    }
    uintptr_t a = reinterpret_cast<uintptr_t>(start);
    Widen(a, a + (uintptr_t)block);
    uint8_t guard[4];
    GuardBytes(a, guard);
    memcpy(start, &block, sizeof(block));
    memset(start + 8, 0, 4);
    memcpy(start + kFront - kGuard, guard, kGuard);
    memset(start + kFront, 0, (size_t)Rounded(size));
    memcpy(start + block - kGuard, guard, kGuard);
    int64_t blocks = g_blocks.fetch_add(1, std::memory_order_relaxed) + 1;
    RaiseMax(g_peakBlocks, blocks);
    RaiseMax(g_peakBytes, inUse);
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
        FatalAt(file, line, "Memory tracking must be enabled\n", 0, 0, 0);
    if (size <= 0 || size > INT64_MAX / 2)
        FatalAt(file, line, "Invalid Memory Size (%I64d)\n", size, 0, 0);
    int64_t block = BlockSize(size);
    if (!pointer)
        FatalAt(file, line, "No Memory address to free (%I64d / %I64d)\n", size, block, 0);
    uint8_t *start = static_cast<uint8_t *>(pointer) - kFront;
    Zyl_MemoryCheckBlock(1, start, size, file, line);
    memset(start, 0, (size_t)block);
    free(start);
    g_blocks.fetch_sub(1, std::memory_order_relaxed);
    g_bytes.fetch_sub(block, std::memory_order_relaxed);
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
        Zyl_SetSourceLocation(file, line);
        Zyl_Fatal("Invalid memory address (%I64d) <From:0x%p To:0x%p>\n", size, blockStart,
                  (const void *)(start + size));
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
        Zyl_SetSourceLocation(file, line);
        Zyl_Fatal("Memory corrupt (%I64d) <Addr:0x%p Before:%d After:%d Max:%d>\n", size,
                  (const void *)(start + kFront), before, after, kGuard);
    }
    return 0;
}

int Zyl_MemoryInit(int64_t limit) {
    int flags = LogFlags();
    if (flags & ZYL_LOG_BANNERS)
        Zyl_PrintSeparator("Memory Init");
    g_blocks.store(0);
    g_bytes.store(0);
    g_peakBlocks.store(0);
    g_peakBytes.store(0);
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
    if (flags & ZYL_LOG_BANNERS) {
        Zyl_PrintSeparator("Memory Remove");
        Zyl_Print("Maximum Memory in use (%I64d / %I64dk)\n", g_peakBlocks.load(),
                  g_peakBytes.load() / 1024);
    }
    int64_t blocks = g_blocks.load();
    int64_t bytes = g_bytes.load();
    if (bytes >= 1024)
        Zyl_Print("Not all memory was free'd (%I64d / %I64dk)\n", blocks, bytes / 1024);
    else if (bytes != 0)
        Zyl_Print("Not all memory was free'd (%I64d / %I64db)\n", blocks, bytes);
    if (flags & ZYL_LOG_BANNERS)
        Zyl_PrintSeparator(nullptr);
    return 1;
}

void Zyl_MemoryGetUsage(int64_t *blocks, int64_t *bytes) {
    if (blocks)
        *blocks = g_blocks.load();
    if (bytes)
        *bytes = g_bytes.load();
}

const char Zyl_DeadTag[] = "DeadStruct";
