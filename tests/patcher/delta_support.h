// Shared helpers of the patch-engine delta tests: an Alert log that exists
// (its lines reach the core log, which ConsoleCapture collects) and small
// byte writers for the fixtures.
#pragma once

#include "core/alert.h"
#include "tests/core/console_capture.h"

#include <climits>
#include <cstdint>
#include <string>

namespace deltatest {

// Creates the process's Alert log unless some other test already did.
inline void EnsureAlert() {
    if (Alert_Log(ALERT_KIND_MESSAGE, INT_MIN, " ") == 0) {
        Alert_Create();
    }
}

inline void PutLe32(std::string *out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        *out += (char)((v >> (8 * i)) & 0xFF);
    }
}

inline void PutLe64(std::string *out, uint64_t v) {
    for (int i = 0; i < 8; i++) {
        *out += (char)((v >> (8 * i)) & 0xFF);
    }
}

inline void SetLe32(std::string *out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        (*out)[at + i] = (char)((v >> (8 * i)) & 0xFF);
    }
}

} // namespace deltatest
