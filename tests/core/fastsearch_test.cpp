// Horspool search: exact and case-blind matches, the one-byte scan, window
// edges, and the pattern length limits.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "core/fastsearch.h"

namespace {

// Offset of the match, or -1.
long Find(const char *pattern, int mode, const std::string &text) {
    FastSearchStruct search;
    EXPECT_EQ(FastSearch_Prepare(&search, pattern, mode), 1);
    const void *match = reinterpret_cast<const void *>(1);
    const int result = FastSearch_Find(&search, text.data(), text.data() + text.size(), &match);
    if (!result) {
        EXPECT_EQ(match, nullptr);
        return -1;
    }
    return static_cast<const char *>(match) - text.data();
}

TEST(FastSearch, Table) {
    const std::string response = "HTTP/1.1 200 OK\r\nset-cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n";
    struct Case {
        const char *pattern;
        int mode;
        std::string text;
        long at;
    } cases[] = {
        {"Set-Cookie:", FASTSEARCH_NO_CASE, response, 17},
        {"Set-Cookie:", FASTSEARCH_EXACT, response, 34},
        {"SET-COOKIE:", FASTSEARCH_EXACT, response, -1},
        {"\r\n\r\n", FASTSEARCH_EXACT, response, (long)response.size() - 4},
        {"x", FASTSEARCH_EXACT, "abcx", 3},
        {"X", FASTSEARCH_NO_CASE, "abcx", 3},
        {"X", FASTSEARCH_EXACT, "abcx", -1},
        {"abc", FASTSEARCH_EXACT, "abc", 0},
        {"abc", FASTSEARCH_EXACT, "ab", -1},
        {"abc", FASTSEARCH_EXACT, "", -1},
        {"aab", FASTSEARCH_EXACT, "aaaab", 2},
        {"needle", FASTSEARCH_EXACT, "needl needle", 6},
        {"a\xe9", FASTSEARCH_NO_CASE, "A\xc9 a\xe9", 3}, // only ASCII letters fold
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Find(c.pattern, c.mode, c.text), c.at) << c.pattern << " in " << c.text;
    }
}

TEST(FastSearch, AgreesWithPlainSearch) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    for (int round = 0; round < 2000; round++) {
        std::string text(random() % 60, ' ');
        for (char &c : text) {
            c = "abAB"[random() % 4];
        }
        std::string pattern(1 + random() % 4, ' ');
        for (char &c : pattern) {
            c = "abAB"[random() % 4];
        }
        const size_t exact = text.find(pattern);
        EXPECT_EQ(Find(pattern.c_str(), FASTSEARCH_EXACT, text),
                  exact == std::string::npos ? -1 : (long)exact);
        std::string lowerText = text, lowerPattern = pattern;
        for (char &c : lowerText) {
            c = (char)tolower(c);
        }
        for (char &c : lowerPattern) {
            c = (char)tolower(c);
        }
        const size_t blind = lowerText.find(lowerPattern);
        EXPECT_EQ(Find(pattern.c_str(), FASTSEARCH_NO_CASE, text),
                  blind == std::string::npos ? -1 : (long)blind);
    }
}

TEST(FastSearch, PatternLengthLimits) {
    FastSearchStruct search;
    const std::string longest(254, 'p');
    EXPECT_EQ(FastSearch_Prepare(&search, longest.c_str(), FASTSEARCH_EXACT), 1);
    EXPECT_EQ(search.Length, 254);
    const std::string text = "xx" + longest;
    const void *match = nullptr;
    EXPECT_EQ(FastSearch_Find(&search, text.data(), text.data() + text.size(), &match), 1);
    EXPECT_EQ(match, text.data() + 2);
    const std::string tooLong(255, 'p');
    EXPECT_EQ(FastSearch_Prepare(&search, tooLong.c_str(), FASTSEARCH_EXACT), 0);
    EXPECT_EQ(search.Length, 0);
    EXPECT_EQ(FastSearch_Find(&search, text.data(), text.data() + text.size(), &match), 0);
    EXPECT_EQ(match, nullptr);
    EXPECT_EQ(FastSearch_Prepare(&search, "", FASTSEARCH_EXACT), 0);
}

} // namespace
