// Query-string helpers and in-place text helpers: tokens, pairs, decoding,
// shifting and replace-all within bounds.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "core/cgi.h"
#include "core/strhlpr.h"
#include "core/zyl.h"

namespace {

TEST(Cgi, Tokens) {
    const char *text = "a=1&&\"b&c\"=2&last";
    char token[32];
    int consumed = 0;
    std::string seen;
    while (Cgi_GetToken(token, sizeof(token), '&', text, &consumed)) {
        seen += std::string("[") + token + "]";
        text += consumed;
    }
    EXPECT_EQ(seen, "[a=1][b&c=2][last]");
    EXPECT_EQ(Cgi_GetToken(token, 4, '&', "abcd&x", &consumed), 0); // does not fit
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(Cgi_GetToken(token, 5, '&', "abcd&x", &consumed), 1);
    EXPECT_EQ(consumed, 5);
}

TEST(Cgi, Pairs) {
    char name[8];
    char value[8];
    EXPECT_EQ(Cgi_SplitPair(name, value, sizeof(name), '=', "key=va=lue"), 1);
    EXPECT_STREQ(name, "key");
    EXPECT_STREQ(value, "va=lue");
    EXPECT_EQ(Cgi_SplitPair(name, value, sizeof(name), '=', "novalue"), 0);
    EXPECT_EQ(Cgi_SplitPair(name, value, sizeof(name), '=', ""), 0);
    // A name that does not fit fails instead of overrunning the name buffer.
    EXPECT_EQ(Cgi_SplitPair(name, value, sizeof(name), '=', "muchtoolongname=1"), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Cgi_SplitPair(name, value, sizeof(name), '=', "k=muchtoolongvalue"), 0);
    EXPECT_EQ(Cgi_SplitPairTrim(name, value, sizeof(name), '=', "k= ++v+"), 1);
    EXPECT_STREQ(value, "v+");
}

TEST(Cgi, UrlDecode) {
    char buffer[32];
    EXPECT_EQ(Cgi_UrlDecode("a%20b+c%zz", buffer, sizeof(buffer), 0), 1);
    EXPECT_STREQ(buffer, "a b c%zz");
    EXPECT_EQ(Cgi_UrlDecode("%2541", buffer, sizeof(buffer), 0), 1);
    EXPECT_STREQ(buffer, "%41");
    EXPECT_EQ(Cgi_UrlDecode("%2541", buffer, sizeof(buffer), 1), 1);
    EXPECT_STREQ(buffer, "A");
    EXPECT_EQ(Cgi_UrlDecode("%4", buffer, sizeof(buffer), 0), 1);
    EXPECT_STREQ(buffer, "%4");
    char small[4];
    EXPECT_EQ(Cgi_UrlDecode("abcdef", small, sizeof(small), 0), 0);
    EXPECT_STREQ(small, "abc");
}

TEST(StrHlpr, QuotesAndShifts) {
    char text[32] = "\"\"quoted\"";
    StrHlpr_StripLeadingQuotes(text);
    EXPECT_STREQ(text, "quoted\"");
    strcpy(text, "a\"b\"c");
    StrHlpr_RemoveQuotes(text);
    EXPECT_STREQ(text, "abc");
    strcpy(text, "abcdef");
    EXPECT_EQ(StrHlpr_ShiftLeft(text, 2), 1);
    EXPECT_STREQ(text, "cdef");
    EXPECT_EQ(StrHlpr_ShiftLeft(text, 10), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(StrHlpr_ShiftLeft(text, 1), 0);
    strcpy(text, "abc");
    EXPECT_EQ(StrHlpr_ShiftRight(text, 2, 6), 1);
    EXPECT_STREQ(text, "a  bc");
    EXPECT_EQ(StrHlpr_ShiftRight(text, 1, 6), 0); // 5 + 1 + 1 > 6
    EXPECT_STREQ(text, "a  bc");
    std::string longText(1100, '"');
    longText += "x\"";
    char big[1200];
    strcpy(big, longText.c_str());
    StrHlpr_RemoveQuotes(big);
    EXPECT_EQ(std::string(big), std::string(76, '"') + "x\""); // only the first 1,024 looked at
}

TEST(StrHlpr, ReplaceAll) {
    char text[20] = "a-b-c";
    EXPECT_EQ(StrHlpr_ReplaceAll(text, "-", "--", sizeof(text)), 1);
    EXPECT_STREQ(text, "a--b--c");
    EXPECT_EQ(StrHlpr_ReplaceAll(text, "--", "", sizeof(text)), 1);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(StrHlpr_ReplaceAll(text, "", "x", sizeof(text)), 0);
    char tight[7] = "a.b.c";
    EXPECT_EQ(StrHlpr_ReplaceAll(tight, ".", "::", sizeof(tight)), 0);
    EXPECT_STREQ(tight, "a::b.c"); // replacements made so far stay
    char empty[4] = "";
    EXPECT_EQ(StrHlpr_ReplaceAll(empty, "a", "b", sizeof(empty)), 0);
}

} // namespace
