// A program that crashes on purpose, for the crash-dump tests: it installs the
// crash handlers as the programs do, then dereferences null on a second thread
// ("null") or waits to be killed ("wait"). Usage: crash_victim normal|full null|wait
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

int main(int argc, char **argv) {
    if (!CrashDump_Install())
        return 3;
    if (argc != 3)
        return 2;
    CrashDump_SetType(strcmp(argv[1], "full") == 0 ? CRASHDUMP_TYPE_FULL : CRASHDUMP_TYPE_NORMAL);
    if (strcmp(argv[2], "wait") == 0) {
        for (;;)
            pause();
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, Crash, nullptr) != 0)
        return 4;
    pthread_join(thread, nullptr);
    return 0;
}
