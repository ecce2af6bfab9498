// Sequence-number arithmetic of the reliable UDP transport: numbers run from 0 to
// 0x7FFFFFFE and wrap to 0; comparisons treat the nearer way round as the true one.
// Every function is total over any 32-bit input (wire values are masked first).
#pragma once

#include <cstdint>

enum {
    UDT_SEQ_MAX = 0x7FFFFFFE,       // highest sequence number
    UDT_SEQ_THRESHOLD = 0x3FFFFFFF, // half the range: nearer than this is "the same lap"
};

// The 31-bit number a wire word carries (bit 31 is a flag, never part of the number).
inline int32_t UDTSeq_FromWire(uint32_t word) {
    return (int32_t)(word & 0x7FFFFFFFu);
}

inline int32_t UDTSeq_Increment(int32_t seq) {
    return seq >= UDT_SEQ_MAX ? 0 : seq + 1;
}

inline int32_t UDTSeq_Decrement(int32_t seq) {
    return seq <= 0 ? UDT_SEQ_MAX : seq - 1;
}

// Positive when a is later than b, negative when earlier, 0 when equal.
inline int32_t UDTSeq_Compare(int32_t a, int32_t b) {
    int64_t d = (int64_t)a - (int64_t)b;
    int64_t m = d < 0 ? -d : d;
    return (int32_t)(m < UDT_SEQ_THRESHOLD ? (d > 0 ? 1 : (d < 0 ? -1 : 0))
                                           : (d > 0 ? -1 : (d < 0 ? 1 : 0)));
}

// Count of numbers from a to b inclusive (a not later than b).
inline int32_t UDTSeq_Length(int32_t a, int32_t b) {
    int64_t n = a <= b ? (int64_t)b - a + 1 : (int64_t)b - a + 0x80000000LL;
    return (int32_t)(uint32_t)(uint64_t)n;
}

// Signed distance from a to b (b - a the short way round).
inline int32_t UDTSeq_Offset(int32_t a, int32_t b) {
    int64_t d = (int64_t)b - (int64_t)a;
    int64_t m = d < 0 ? -d : d;
    if (m < UDT_SEQ_THRESHOLD) {
        return (int32_t)d;
    }
    return (int32_t)(a < b ? d - 0x7FFFFFFF : d + 0x7FFFFFFF);
}
