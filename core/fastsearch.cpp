// Boyer-Moore-Horspool search for short patterns (header names, markers) in
// received buffers, exact or ignoring ASCII case. The skip table is built once
// per pattern; a search reads each byte at most once plus the compares.
#include "core/fastsearch.h"

#include "core/zyl.h"

#include <cstring>

static inline uint8_t FastSearch_Lower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? (uint8_t)(c + 32) : c;
}

static inline uint8_t FastSearch_OtherCase(uint8_t c) {
    if (c >= 'A' && c <= 'Z') {
        return (uint8_t)(c + 32);
    }
    if (c >= 'a' && c <= 'z') {
        return (uint8_t)(c - 32);
    }
    return c;
}

int FastSearch_Prepare(FastSearchStruct *search, const char *pattern, int mode) {
    ZYL_CHECK_PTR(search);
    ZYL_CHECK_PTR(pattern);
    search->Mode = mode;
    search->Length = 0;
    search->Pattern[0] = '\0';
    const int length = (int)strnlen(pattern, FASTSEARCH_MAX_PATTERN + 1);
    if (length < 1 || length > FASTSEARCH_MAX_PATTERN) {
        return 0;
    }
    memcpy(search->Pattern, pattern, (size_t)length + 1);
    memset(search->Skip, length, sizeof(search->Skip));
    for (int j = 0; j < length; j++) {
        const uint8_t byte = (uint8_t)pattern[j];
        const uint8_t skip = (uint8_t)(length - j - 1);
        search->Skip[byte] = skip;
        if (mode != FASTSEARCH_EXACT) {
            search->Skip[FastSearch_OtherCase(byte)] = skip;
        }
    }
    search->Length = length;
    return 1;
}

static int FastSearch_Equal(const FastSearchStruct *search, const uint8_t *text, int count) {
    const uint8_t *pattern = reinterpret_cast<const uint8_t *>(search->Pattern);
    if (search->Mode == FASTSEARCH_EXACT) {
        return memcmp(text, pattern, (size_t)count) == 0;
    }
    for (int k = 0; k < count; k++) {
        if (FastSearch_Lower(text[k]) != FastSearch_Lower(pattern[k])) {
            return 0;
        }
    }
    return 1;
}

int FastSearch_Find(FastSearchStruct *search, const void *start, const void *end,
                    const void **match) {
    ZYL_CHECK_PTR(search);
    ZYL_CHECK_PTR(match);
    *match = nullptr;
    if (search->Length < 1 || start == nullptr || end == nullptr || end <= start) {
        return 0;
    }
    const uint8_t *text = static_cast<const uint8_t *>(start);
    const size_t size = (size_t)(static_cast<const uint8_t *>(end) - text);
    const size_t n = (size_t)search->Length;
    if (n > size) {
        return 0;
    }
    if (n == 1) {
        const uint8_t want = (uint8_t)search->Pattern[0];
        for (size_t at = 0; at < size; at++) {
            const uint8_t c = text[at];
            if (c == want || (search->Mode != FASTSEARCH_EXACT &&
                              FastSearch_Lower(c) == FastSearch_Lower(want))) {
                *match = text + at;
                return 1;
            }
        }
        return 0;
    }
    // The cursor is on the last byte of the window; only the pattern's last
    // byte (either case when case-blind) has a skip of 0.
    for (size_t cursor = n - 1; cursor < size;) {
        const uint8_t skip = search->Skip[text[cursor]];
        if (skip != 0) {
            cursor += skip;
            continue;
        }
        if (FastSearch_Equal(search, text + cursor - (n - 1), (int)(n - 1))) {
            *match = text + cursor - (n - 1);
            return 1;
        }
        cursor++;
    }
    return 0;
}
