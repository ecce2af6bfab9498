// One leak check for every test: tracked memory (blocks and bytes of the core's
// allocator) must be back where it was when the test started.
#pragma once

#include <functional>

namespace testsupport {

// Installs the check as a GoogleTest listener (once, from main).
void InstallLeakCheck();

// For process-wide state that a test creates and that stays for the rest of
// the process (the Alert log, socket layer start-up, ...): runs `create` and
// counts what it allocated as part of the start of the running test, so the
// check neither blames that test nor misses a leak beside it.
void KeepForProcess(const std::function<void()> &create);

} // namespace testsupport
