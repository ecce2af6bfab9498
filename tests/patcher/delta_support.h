// Shared helpers of the patch-engine delta tests: little-endian byte writers
// for the fixtures, and the log capture their failure checks read.
#pragma once

#include "tests/support/log_capture.h"

#include <cstdint>
#include <string>

namespace deltatest {

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
