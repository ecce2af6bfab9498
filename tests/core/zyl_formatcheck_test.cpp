// The compile-time check of formatter calls: which argument types each of the
// formatter's conversions accepts, and that a helper taking a ZylFormat
// forwards a checked literal. A mismatch at a real call fails the build, so the
// refused cases are stated here through the same predicate.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "core/zyl.h"

namespace {

using zylformat::MatchesTypes;

enum Small { kSmallValue = 3 };

// Accepted: each conversion with the argument kind it reads.
static_assert(MatchesTypes<>("plain text, 100%% sure"));
static_assert(MatchesTypes<int, unsigned, int, unsigned, unsigned, char>("%d %u %i %x %b %c"));
static_assert(MatchesTypes<Small, bool, short>("%d %d %d"));
static_assert(MatchesTypes<int>("%ld"));
static_assert(
    MatchesTypes<int64_t, uint64_t, int64_t, size_t, long long>("%lld %llu %I64d %zu %I64x"));
static_assert(MatchesTypes<double, float>("%.3f %F"));
static_assert(MatchesTypes<const char *, char *, std::nullptr_t>("%s %S %s"));
static_assert(MatchesTypes<void *, const char *, const uint8_t *>("%p %p %P"));
static_assert(MatchesTypes<const uint8_t *, uint8_t *, const uint8_t *>("%ipv4 %hex %HEX"));
static_assert(MatchesTypes<const uint16_t *>("%unicode"));
static_assert(MatchesTypes<uint32_t>("%a"));
static_assert(MatchesTypes<int, const char *, int, int, double>("%*s %-*.*f"));
// Sequences the formatter prints as they are read nothing.
static_assert(MatchesTypes<>("%q %h %H %I %z %y"));
static_assert(MatchesTypes<int>("%zq%d"));

// Refused: a 64-bit value where 32 bits are read and the reverse (the
// formatter would shift every later argument), wrong kinds, counts.
static_assert(!MatchesTypes<int64_t>("%d"));
static_assert(!MatchesTypes<long>("%ld"));
static_assert(!MatchesTypes<size_t>("%u"));
static_assert(!MatchesTypes<int>("%lld"));
static_assert(!MatchesTypes<int>("%zu"));
static_assert(!MatchesTypes<int>("%I64d"));
static_assert(!MatchesTypes<double>("%d"));
static_assert(!MatchesTypes<int>("%f"));
static_assert(!MatchesTypes<double>("%a"));
static_assert(!MatchesTypes<int>("%s"));
static_assert(!MatchesTypes<int>("%p"));
static_assert(!MatchesTypes<uint32_t>("%ipv4"));
static_assert(!MatchesTypes<const uint16_t *>("%hex"));
static_assert(!MatchesTypes<std::string>("%s"));
static_assert(!MatchesTypes<int64_t, const char *>("%*s"));
static_assert(!MatchesTypes<int>("%d %d"));
static_assert(!MatchesTypes<int, int>("%d"));
static_assert(!MatchesTypes<>("%d"));
static_assert(!MatchesTypes<int64_t>("%ll"));

// A helper that forwards a format takes it checked against its own arguments.
std::string Describe(ZylFormat<const char *, int64_t> format, const char *name, int64_t size) {
    char text[64];
    (Zyl_FormatString)(text, sizeof(text), format.Text, name, size);
    return text;
}

TEST(ZylFormatCheck, CheckedCallsFormatAsBefore) {
    char text[64];
    int64_t big = 5000000000LL;
    EXPECT_EQ(13, Zyl_FormatString(text, sizeof(text), "%I64d|%s", big, "ab"));
    EXPECT_STREQ("5000000000|ab", text);
    // The macro evaluates each argument once.
    int calls = 0;
    Zyl_FormatString(text, sizeof(text), "%d", ++calls);
    EXPECT_EQ(1, calls);
    EXPECT_STREQ("1", text);
    EXPECT_EQ("[a] 5000000000", Describe("[%s] %I64d", "a", big));
}

} // namespace
