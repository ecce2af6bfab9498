// A program that crashes on purpose, for the crash-dump tests: it installs the
// crash handlers as the programs do, then dereferences null on a second thread
// ("null"), overflows the stack of the main thread ("overflow") or of a thread
// of the core runtime ("thread-overflow"), or writes "ready" and waits to be
// killed ("wait").
// Usage: crash_victim normal|full null|overflow|thread-overflow|wait
#include "core/thread.h"
#include "platform/crashdump.h"

#include <pthread.h>
#include <string.h>
#include <unistd.h>

// The store must reach the processor even in a sanitizer build.
__attribute__((no_sanitize("undefined"))) static void *Crash(void *argument) {
    volatile int *nowhere = static_cast<volatile int *>(argument);
    *nowhere = 1;
    return nullptr;
}

static volatile int g_deeper = 1; // never 0: only the stack's end stops Deeper

// Recurses until the stack is gone; the frame's bytes are used after the call,
// so the recursion stays a recursion.
__attribute__((noinline, no_sanitize("address"))) static int Deeper(int depth) {
    volatile char frame[1024];
    frame[depth % sizeof(frame)] = (char)depth;
    if (g_deeper == 0)
        return depth;
    return Deeper(depth + 1) + frame[(depth + 1) % sizeof(frame)];
}

static uint32_t Overflow(void *argument) {
    return (uint32_t)Deeper(argument != nullptr);
}

int main(int argc, char **argv) {
    if (!CrashDump_Install())
        return 3;
    if (argc != 3)
        return 2;
    CrashDump_SetType(strcmp(argv[1], "full") == 0 ? CRASHDUMP_TYPE_FULL : CRASHDUMP_TYPE_NORMAL);
    const char *mode = argv[2];
    if (strcmp(mode, "wait") == 0) {
        // Tells the test the handlers are in place.
        if (write(STDOUT_FILENO, "ready\n", 6) != 6)
            return 6;
        for (;;)
            pause();
    }
    if (strcmp(mode, "overflow") == 0)
        return Overflow(nullptr);
    if (strcmp(mode, "thread-overflow") == 0) {
        ThreadStruct *thread = nullptr;
        if (!Thread_Create(&thread, nullptr, Overflow))
            return 4;
        Thread_Wait(thread, THREAD_WAIT_INFINITE);
        return 5;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, Crash, nullptr) != 0)
        return 4;
    pthread_join(thread, nullptr);
    return 0;
}
