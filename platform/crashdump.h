// Crash dumps of this OS: handlers of the fatal signals, run on an alternate
// stack, write "<program path>.dmp" with async-signal-safe calls only and then
// let the signal kill the process with its default action. tools/dumpreader
// prints a dump.
#pragma once

#include <cstdint>
#include <signal.h>

// Kinds of dump (the configuration's MiniDumpType).
enum {
    CRASHDUMP_TYPE_FULL = 0,   // also the bytes of every writable private mapping
    CRASHDUMP_TYPE_NORMAL = 1, // header, registers, return addresses, mappings
};

// File layout, in this machine's byte order: the header, then sections, each a
// CrashDumpSection followed by Length bytes.
enum {
    CRASHDUMP_VERSION = 1,
    CRASHDUMP_MAX_FRAMES = 64,
    CRASHDUMP_PATH_SIZE = 4096,
    // A writable mapping larger than this is listed in the maps but its bytes
    // are left out of a full dump (address-space reservations of many GiB).
    CRASHDUMP_MAPPING_LIMIT = 1 << 30,
};
#define CRASHDUMP_MAGIC "PTCDUMP"

struct CrashDumpHeader {
    char Magic[8];       // CRASHDUMP_MAGIC with its terminating 0
    uint32_t Version;    // CRASHDUMP_VERSION
    uint32_t HeaderSize; // sizeof(CrashDumpHeader)
    int32_t Signal;      // signal number
    int32_t Code;        // si_code (SI_USER for a kill)
    uint64_t Address;    // si_addr: the faulting address for SIGSEGV and SIGBUS
    int32_t Pid;         // process id
    int32_t Tid;         // id of the thread the signal was delivered to
    int64_t Seconds;     // CLOCK_REALTIME when the dump began
    int64_t Nanoseconds; //
    uint32_t Type;       // CRASHDUMP_TYPE_*
    uint32_t Machine;    // ELF machine (EM_X86_64, EM_AARCH64): register layout
    uint32_t SenderPid;  // si_pid when a process sent the signal, else 0
    uint32_t Reserved;   // 0
};

enum {
    CRASHDUMP_SECTION_PROGRAM = 1,   // the program's path (text)
    CRASHDUMP_SECTION_REGISTERS = 2, // the signal context's registers, uint64 each,
                                     // in the machine's mcontext order
    CRASHDUMP_SECTION_FRAMES = 3,    // return addresses, uint64 each, innermost first
    CRASHDUMP_SECTION_MAPS = 4,      // a copy of /proc/self/maps (text)
    CRASHDUMP_SECTION_MEMORY = 5,    // uint64 start, uint64 end, then end - start bytes
                                     // (unreadable pages as zeros)
};

struct CrashDumpSection {
    uint32_t Kind;   // CRASHDUMP_SECTION_*
    uint32_t Flags;  // 0
    uint64_t Length; // bytes after this record
};

// Installs the handlers of SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT for the
// whole process and an alternate signal stack for the calling thread, computes
// the dump's path from /proc/self/exe and loads the unwinder, so that the
// handler allocates nothing. The type starts as CRASHDUMP_TYPE_NORMAL. Called
// first thing by each program; a second call only sets the calling thread's
// stack. Returns 1; 0 (with errno) when a handler could not be installed.
int CrashDump_Install(void);
// Once the handlers are installed: gives the calling thread (one that Install
// did not run on) an alternate signal stack of its own, so a stack overflow
// there is dumped too; called by each new thread at its start. Before that,
// nothing. 1, or 0 with errno when the stack could not be set.
int CrashDump_InstallThreadStack(void);
// Removes and frees the calling thread's stack set by InstallThreadStack;
// called by each thread at its end. Returns 1.
int CrashDump_RemoveThreadStack(void);
// The kind of the next dump (CRASHDUMP_TYPE_*; any other value counts as
// normal). Safe from any thread.
void CrashDump_SetType(int type);
int CrashDump_GetType(void);
// The dump's path ("" before Install).
const char *CrashDump_GetPath(void);

// The signal handler (sa_sigaction): writes the dump once, restores the
// default action and raises the signal again, so the process ends as it would
// have without the handler. A second thread that faults meanwhile waits for
// the first dump; a fault inside the handler ends the process at once.
void CrashDump_ExceptionFilter(int signal, siginfo_t *info, void *context);
// Writes the dump of one signal to the dump's path, created anew. Uses only
// async-signal-safe calls and no heap. 1 when the whole dump was written, else 0.
int CrashDump_Write(int signal, const siginfo_t *info, const void *context);
