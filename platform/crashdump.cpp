// Fatal-signal handlers writing a crash dump. Everything the handler needs (the
// dump's path, its stack, the unwinder, its read buffers) is made ready at
// install: while it runs it calls only async-signal-safe functions and raw
// system calls, and touches no heap.
#include "platform/crashdump.h"

#include <atomic>
#include <elf.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

enum {
    kStackSize = 128 * 1024, // alternate stack of each thread
    kPageSize = 4096,        // unit of the fall-back copy of memory
    kReadSize = 16 * 1024,   // read buffer of /proc/self/maps
    kLineSize = CRASHDUMP_PATH_SIZE + 256,
    kWaitSlices = 3000, // 10 ms slices a second faulting thread waits for the first dump
};

static const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

static char g_path[CRASHDUMP_PATH_SIZE + 8];
static std::atomic<int> g_installed{0};
static std::atomic<int> g_type{CRASHDUMP_TYPE_NORMAL};
static std::atomic<int> g_writer{0}; // thread id of the thread writing the dump
alignas(16) static char g_mainStack[kStackSize];
// The handler's buffers: only the one thread that owns g_writer uses them.
static char g_read[kReadSize];
static char g_line[kLineSize];
alignas(kPageSize) static const char g_zeros[kPageSize] = {};

// ---------------------------------------------------------------------------
// Async-signal-safe output
// ---------------------------------------------------------------------------

static int CrashDump_Tid(void) {
    return (int)syscall(SYS_gettid);
}

// Raw write: the bytes of any mapping may be passed, so no interposed write
// (a sanitizer's, checking the bytes it is given) may see them.
static long CrashDump_RawWrite(int fd, const void *bytes, size_t length) {
    long done;
    do {
        done = syscall(SYS_write, fd, bytes, length);
    } while (done < 0 && errno == EINTR);
    return done;
}

static int CrashDump_WriteAll(int fd, const void *bytes, size_t length) {
    const char *at = static_cast<const char *>(bytes);
    while (length > 0) {
        long done = CrashDump_RawWrite(fd, at, length);
        if (done <= 0)
            return 0;
        at += done;
        length -= (size_t)done;
    }
    return 1;
}

// Writes the process's memory [start, start + length), unreadable pages as zeros.
static int CrashDump_WriteMemory(int fd, uintptr_t start, uint64_t length) {
    uintptr_t at = start;
    uintptr_t end = start + length;
    while (at < end) {
        long done = CrashDump_RawWrite(fd, reinterpret_cast<const void *>(at), end - at);
        if (done > 0) {
            at += (uintptr_t)done;
            continue;
        }
        if (done < 0 && errno != EFAULT)
            return 0;
        // The page at `at` cannot be read: zeros up to the next page.
        uintptr_t next = (at / kPageSize + 1) * kPageSize;
        if (next > end)
            next = end;
        if (!CrashDump_WriteAll(fd, g_zeros, next - at))
            return 0;
        at = next;
    }
    return 1;
}

static int CrashDump_Section(int fd, uint32_t kind, const void *bytes, uint64_t length) {
    CrashDumpSection section = {kind, 0, length};
    return CrashDump_WriteAll(fd, &section, sizeof(section)) &&
           CrashDump_WriteAll(fd, bytes, (size_t)length);
}

// ---------------------------------------------------------------------------
// Sections
// ---------------------------------------------------------------------------

// The context's registers into registers; their count, and the program counter.
static int CrashDump_Registers(const void *context, uint64_t *registers, uint64_t *pc) {
    *pc = 0;
    if (context == nullptr)
        return 0;
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
    for (int i = 0; i < NGREG; i++)
        registers[i] = (uint64_t)uc->uc_mcontext.gregs[i];
    *pc = registers[REG_RIP];
    return NGREG;
#elif defined(__aarch64__)
    for (int i = 0; i < 31; i++)
        registers[i] = uc->uc_mcontext.regs[i];
    registers[31] = uc->uc_mcontext.sp;
    registers[32] = uc->uc_mcontext.pc;
    registers[33] = uc->uc_mcontext.pstate;
    *pc = registers[32];
    return 34;
#else
    (void)uc;
    (void)registers;
    return 0;
#endif
}

static uint32_t CrashDump_Machine(void) {
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#else
    return EM_NONE;
#endif
}

// The return addresses of the faulting thread, innermost first: the unwinder
// walks through the signal frame, and the frames of the handler itself, up to
// the interrupted program counter, are left out (pc leads when not found).
static int CrashDump_Frames(uint64_t pc, uint64_t *frames) {
    void *raw[CRASHDUMP_MAX_FRAMES];
    int count = backtrace(raw, CRASHDUMP_MAX_FRAMES);
    int first = -1;
    for (int i = 0; i < count && first < 0; i++)
        if ((uint64_t)(uintptr_t)raw[i] == pc)
            first = i;
    int n = 0;
    if (first < 0) {
        if (pc != 0)
            frames[n++] = pc;
        first = 0;
    }
    for (int i = first; i < count && n < CRASHDUMP_MAX_FRAMES; i++)
        frames[n++] = (uint64_t)(uintptr_t)raw[i];
    return n;
}

// Copies /proc/self/maps as one section whose length is filled in afterwards.
static int CrashDump_Maps(int fd) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    CrashDumpSection section = {CRASHDUMP_SECTION_MAPS, 0, 0};
    if (at < 0 || !CrashDump_WriteAll(fd, &section, sizeof(section)))
        return 0;
    int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0)
        return 1; // an empty section: the rest of the dump is still of use
    uint64_t total = 0;
    int ok = 1;
    for (;;) {
        ssize_t got = read(maps, g_read, sizeof(g_read));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (!CrashDump_WriteAll(fd, g_read, (size_t)got)) {
            ok = 0;
            break;
        }
        total += (uint64_t)got;
    }
    close(maps);
    section.Length = total;
    return ok && pwrite(fd, &section, sizeof(section), at) == (ssize_t)sizeof(section);
}

static int CrashDump_Hex(const char **text, uint64_t *value) {
    const char *c = *text;
    uint64_t v = 0;
    int digits = 0;
    for (;; c++, digits++) {
        int d = *c >= '0' && *c <= '9' ? *c - '0' : *c >= 'a' && *c <= 'f' ? *c - 'a' + 10 : -1;
        if (d < 0)
            break;
        v = v * 16 + (uint64_t)d;
    }
    *text = c;
    *value = v;
    return digits > 0 && digits <= 16;
}

// One line of the maps: a memory section when it is readable, writable and
// private and not over the size limit. 1 unless writing failed.
static int CrashDump_MappingLine(int fd, const char *line) {
    uint64_t start = 0, end = 0;
    if (!CrashDump_Hex(&line, &start) || *line++ != '-' || !CrashDump_Hex(&line, &end) ||
        *line++ != ' ' || end <= start)
        return 1;
    if (line[0] != 'r' || line[1] != 'w' || line[3] != 'p')
        return 1;
    if (end - start > (uint64_t)CRASHDUMP_MAPPING_LIMIT)
        return 1;
    uint64_t range[2] = {start, end};
    CrashDumpSection section = {CRASHDUMP_SECTION_MEMORY, 0, sizeof(range) + (end - start)};
    return CrashDump_WriteAll(fd, &section, sizeof(section)) &&
           CrashDump_WriteAll(fd, range, sizeof(range)) &&
           CrashDump_WriteMemory(fd, (uintptr_t)start, end - start);
}

// The bytes of the writable private mappings, one section each.
static int CrashDump_Memory(int fd) {
    int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0)
        return 0;
    int ok = 1;
    int length = 0; // of the line being gathered; -1 while skipping an over-long one
    for (;;) {
        ssize_t got = read(maps, g_read, sizeof(g_read));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got && ok; i++) {
            char c = g_read[i];
            if (c == '\n') {
                if (length > 0) {
                    g_line[length] = 0;
                    ok = CrashDump_MappingLine(fd, g_line);
                }
                length = 0;
            } else if (length >= 0 && length < kLineSize - 1) {
                g_line[length++] = c;
            } else {
                length = -1;
            }
        }
        if (!ok)
            break;
    }
    close(maps);
    return ok;
}

// ---------------------------------------------------------------------------
// The dump
// ---------------------------------------------------------------------------

int CrashDump_Write(int signal, const siginfo_t *info, const void *context) {
    if (g_path[0] == 0)
        return 0;
    int fd = open(g_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return 0;
    CrashDumpHeader header;
    memset(&header, 0, sizeof(header));
    memcpy(header.Magic, CRASHDUMP_MAGIC, sizeof(CRASHDUMP_MAGIC));
    header.Version = CRASHDUMP_VERSION;
    header.HeaderSize = sizeof(header);
    header.Signal = signal;
    header.Pid = (int32_t)getpid();
    header.Tid = CrashDump_Tid();
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_REALTIME, &now);
    header.Seconds = now.tv_sec;
    header.Nanoseconds = now.tv_nsec;
    int type = g_type.load() == CRASHDUMP_TYPE_FULL ? CRASHDUMP_TYPE_FULL : CRASHDUMP_TYPE_NORMAL;
    header.Type = (uint32_t)type;
    header.Machine = CrashDump_Machine();
    if (info != nullptr) {
        header.Code = info->si_code;
        if (info->si_code <= 0) // sent by a process: kill, tgkill, raise, sigqueue
            header.SenderPid = (uint32_t)info->si_pid;
        else
            header.Address = (uint64_t)(uintptr_t)info->si_addr;
    }
    uint64_t registers[64];
    uint64_t pc = 0;
    int registerCount = CrashDump_Registers(context, registers, &pc);
    uint64_t frames[CRASHDUMP_MAX_FRAMES];
    int frameCount = CrashDump_Frames(pc, frames);
    int ok = CrashDump_WriteAll(fd, &header, sizeof(header)) &&
             CrashDump_Section(fd, CRASHDUMP_SECTION_PROGRAM, g_path, strlen(g_path) - 4) &&
             CrashDump_Section(fd, CRASHDUMP_SECTION_REGISTERS, registers,
                               sizeof(uint64_t) * (uint64_t)registerCount) &&
             CrashDump_Section(fd, CRASHDUMP_SECTION_FRAMES, frames,
                               sizeof(uint64_t) * (uint64_t)frameCount) &&
             CrashDump_Maps(fd);
    if (ok && type == CRASHDUMP_TYPE_FULL)
        ok = CrashDump_Memory(fd);
    if (close(fd) != 0)
        ok = 0;
    return ok;
}

void CrashDump_ExceptionFilter(int signal, siginfo_t *info, void *context) {
    int saved = errno;
    int self = CrashDump_Tid();
    int writer = 0;
    if (g_writer.compare_exchange_strong(writer, self)) {
        CrashDump_Write(signal, info, context);
    } else if (writer != self) {
        // Another thread is writing the dump; it ends the process when done.
        struct timespec slice = {0, 10 * 1000 * 1000};
        for (int i = 0; i < kWaitSlices; i++)
            nanosleep(&slice, nullptr);
    }
    // A fault inside the handler (writer == self) comes straight here.
    struct sigaction standard;
    memset(&standard, 0, sizeof(standard));
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    // Blocked until the handler returns, then fatal: a fault's instruction runs
    // again and faults the same way; a signal sent by a process has its effect.
    raise(signal);
    errno = saved;
}

// ---------------------------------------------------------------------------
// Install
// ---------------------------------------------------------------------------

static int CrashDump_SetStack(void *base, size_t size) {
    stack_t stack;
    memset(&stack, 0, sizeof(stack));
    stack.ss_sp = base;
    stack.ss_size = size;
    return sigaltstack(&stack, nullptr) == 0;
}

int CrashDump_InstallThreadStack(void) {
    if (g_installed.load() == 0)
        return 1;
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return 1;
    void *base =
        mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return 0;
    if (!CrashDump_SetStack(base, kStackSize)) {
        int error = errno;
        munmap(base, kStackSize);
        errno = error;
        return 0;
    }
    return 1;
}

int CrashDump_RemoveThreadStack(void) {
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) ||
        current.ss_sp == g_mainStack)
        return 1;
    stack_t off;
    memset(&off, 0, sizeof(off));
    off.ss_flags = SS_DISABLE;
    if (sigaltstack(&off, nullptr) == 0)
        munmap(current.ss_sp, current.ss_size);
    return 1;
}

int CrashDump_Install(void) {
    if (g_installed.exchange(1) != 0)
        return CrashDump_InstallThreadStack();
    ssize_t length = readlink("/proc/self/exe", g_path, CRASHDUMP_PATH_SIZE - 1);
    if (length <= 0) {
        length = 0;
    } else {
        const char deleted[] = " (deleted)";
        size_t tail = sizeof(deleted) - 1;
        if ((size_t)length > tail && memcmp(g_path + length - tail, deleted, tail) == 0)
            length -= (ssize_t)tail;
        memcpy(g_path + length, ".dmp", 5);
    }
    if (length == 0)
        g_path[0] = 0;
    // The first unwind loads the unwinder's library; done here, not in the handler.
    void *frames[2];
    backtrace(frames, 2);
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE))
        CrashDump_SetStack(g_mainStack, sizeof(g_mainStack));
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = CrashDump_ExceptionFilter;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int s : kSignals)
        sigaddset(&action.sa_mask, s);
    for (int s : kSignals)
        if (sigaction(s, &action, nullptr) != 0)
            return 0;
    return 1;
}

void CrashDump_SetType(int type) {
    g_type.store(type);
}

int CrashDump_GetType(void) {
    return g_type.load();
}

const char *CrashDump_GetPath(void) {
    return g_path;
}
