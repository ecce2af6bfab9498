// One leak check for every test: tracked memory (blocks and bytes of the core's
// allocator) must be back where it was when the test started.
#pragma once

#include <cstdint>
#include <gtest/gtest.h>

namespace testsupport {

// Installs the check as a GoogleTest listener (once, from main).
void InstallLeakCheck();

// For process-wide state that a test creates and that stays for the rest of
// the process (the Alert log, socket layer start-up, ...): runs `create` and
// counts what it allocated as part of the start of the running test, so the
// check neither blames that test nor misses a leak beside it. Returns create's result.
template <typename Create> auto KeepForProcess(Create create) -> decltype(create());

// Adds blocks and bytes to the running test's starting totals (the engine of
// KeepForProcess; call it directly when the creation cannot be wrapped).
void AddToLeakBaseline(int64_t blocks, int64_t bytes);
// Current tracked totals.
void TrackedMemory(int64_t *blocks, int64_t *bytes);

template <typename Create> auto KeepForProcess(Create create) -> decltype(create()) {
    int64_t blocks = 0, bytes = 0;
    TrackedMemory(&blocks, &bytes);
    struct Adopt {
        int64_t blocks, bytes;
        ~Adopt() {
            int64_t afterBlocks = 0, afterBytes = 0;
            TrackedMemory(&afterBlocks, &afterBytes);
            AddToLeakBaseline(afterBlocks - blocks, afterBytes - bytes);
        }
    } adopt{blocks, bytes};
    return create();
}

} // namespace testsupport
