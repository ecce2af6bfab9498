// Start-up shared by the engine tests that open transports.
#pragma once

#include <mutex>

#include "engine/transport.h"
#include "tests/support/leak_check.h"

namespace enginetest {

// Starts the socket layers once per test program; they stay up for the process.
inline void StartTransports() {
    static std::once_flag once;
    std::call_once(once, [] { testsupport::KeepForProcess(Transport_Startup); });
}

} // namespace enginetest
