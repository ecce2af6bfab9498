// Finds a byte pattern (1..254 bytes) in a buffer by the Boyer-Moore-Horspool
// method, exactly or ignoring ASCII case (HTTP header names).
#pragma once

#include <cstdint>

enum { FASTSEARCH_EXACT = 1, FASTSEARCH_NO_CASE = 0, FASTSEARCH_MAX_PATTERN = 254 };

// Owned by the caller, no tag; prepared once, searched many times.
struct FastSearchStruct {
    int Mode;          // 1 exact, other values ignore ASCII case
    int Length;        // 0 when not prepared
    char Pattern[256]; // NUL-terminated
    uint8_t Skip[256]; // shift for each byte under the cursor
};

// Stores a NUL-terminated pattern of 1 to 254 bytes with its skip table; returns
// 1, or 0 with Length 0 for an empty or longer pattern.
int FastSearch_Prepare(FastSearchStruct *search, const char *pattern, int mode);
// Searches [start, end). Returns 1 with *match the first occurrence, or 0 with
// *match null (also when not prepared).
int FastSearch_Find(FastSearchStruct *search, const void *start, const void *end,
                    const void **match);
