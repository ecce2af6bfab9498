// Bounded strings and text-to-number conversions: bounds, case folding, searches
// and the handling of bad and over-long input.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "core/zyl.h"
#include "tests/support/log_capture.h"

namespace {

TEST(ZylStr, BoundedCopyAndAppend) {
    char buffer[6];
    EXPECT_EQ(Zyl_StrCopy(buffer, "abcde", sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(Zyl_StrCopy(buffer, "abcdefgh", sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(Zyl_StrCopy(buffer, "ab", sizeof(buffer)), 1);
    EXPECT_EQ(Zyl_StrAppend(buffer, "cd", sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(Zyl_StrAppend(buffer, "efg", sizeof(buffer)), 0); // cut: reported
    EXPECT_STREQ(buffer, "abcde");
    char until[8];
    Zyl_StrCopyUntil(until, "key=value", '=', 7);
    EXPECT_STREQ(until, "key");
    Zyl_StrCopyUntil(until, "abcdefghij", '=', 4);
    EXPECT_STREQ(until, "abcd");
    char big[16] = "x";
    Zyl_StrAppendUnbounded(big, "yz");
    Zyl_StrCopyUnbounded(big + 3, "!");
    EXPECT_STREQ(big, "xyz!");
}

TEST(ZylStr, CaseAndOrder) {
    char text[] = "MiXed 1!";
    Zyl_StrUpper(text);
    EXPECT_STREQ(text, "MIXED 1!");
    Zyl_StrLower(text);
    EXPECT_STREQ(text, "mixed 1!");
    Zyl_StrReverse(text);
    EXPECT_STREQ(text, "!1 dexim");
    // Only ASCII letters fold: UTF-8 bytes stay as they are.
    char utf8[] = "\xc3\xa9t\xc3\xa9";
    Zyl_StrUpper(utf8);
    EXPECT_STREQ(utf8, "\xc3\xa9T\xc3\xa9");
}

TEST(ZylStr, Comparisons) {
    const struct {
        int (*fn)(const char *, const char *);
        const char *a;
        const char *b;
        int expected;
    } cases[] = {
        {Zyl_StrEqual, "abc", "abc", 1},
        {Zyl_StrEqual, "abc", "ABC", 0},
        {Zyl_StrEqualNoCase, "abc", "aBC", 1},
        {Zyl_StrEqualNoCase, "abc", "abcd", 0},
        {Zyl_StrStartsWith, "abcdef", "abc", 1},
        {Zyl_StrStartsWith, "ab", "abc", 0},
        {Zyl_StrStartsWithNoCase, "ABCdef", "abc", 1},
        {Zyl_StrEndsWith, "abc", "bc", 1},
        {Zyl_StrEndsWith, "bc", "abc", 0}, // the text must end with the whole suffix
        {Zyl_StrEndsWith, "file.zip", ".zip", 1},
        {Zyl_StrEndsWith, "file.zip", ".ZIP", 0},
        {Zyl_StrEndsWith, "abc", "", 1},
        {Zyl_StrHasSubstring, "hello world", "o w", 1},
        {Zyl_StrHasSubstring, "hello", "xyz", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.fn(c.a, c.b), c.expected) << c.a << " / " << c.b;
    EXPECT_EQ(Zyl_StrEqualN("abcX", "abcY", 3), 1);
    EXPECT_EQ(Zyl_StrEqualN("abcX", "abcY", 4), 0);
    EXPECT_EQ(Zyl_StrEqualN("a", "b", 0), 1);
    EXPECT_EQ(Zyl_StrEqualNNoCase("ABcx", "abCy", 3), 1);
    EXPECT_EQ(Zyl_StrEqualNNoCase("ab", "ab", 10), 1);
    EXPECT_EQ(Zyl_StrHasChar("abc", 'b'), 1);
    EXPECT_EQ(Zyl_StrHasChar("abc", 'z'), 0);
}

TEST(ZylStr, Searches) {
    int position = -1;
    EXPECT_EQ(Zyl_StrFindChar("a/b/c", '/', &position), 1);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(Zyl_StrFindLastChar("a/b/c", '/', &position), 1);
    EXPECT_EQ(position, 3);
    EXPECT_EQ(Zyl_StrFindChar("abc", '/', &position), 0);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(Zyl_StrFind("one two one", "one", &position), 1);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(Zyl_StrFindLast("one two one", "one", &position), 1);
    EXPECT_EQ(position, 8);
    EXPECT_EQ(Zyl_StrFindNoCase("One TWO", "two", &position), 1);
    EXPECT_EQ(position, 4);
    EXPECT_EQ(Zyl_StrFindLastNoCase("ab AB ab", "Ab", &position), 1);
    EXPECT_EQ(position, 6);
    EXPECT_EQ(Zyl_StrFind("ab", "abc", &position), 0);
    EXPECT_EQ(Zyl_StrFindLastNoCase("xyz", "q", &position), 0);
}

TEST(ZylStr, WordSearch) {
    const struct {
        const char *text;
        char separator;
        const char *word;
        int expected;
    } cases[] = {
        {"alpha beta gamma", ',', "BETA", 1},
        {"alpha,beta", ',', "beta", 1},
        {"alphabeta", ',', "beta", 0},
        {"beta\tx", ';', "beta", 1},
        {"xbeta beta", ';', "beta", 1},
        {"betax", ';', "beta", 0},
        {"", ';', "beta", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Zyl_StrFindWordNoCase(c.text, c.separator, c.word), c.expected) << c.text;
}

TEST(ZylStr, ParseInt64AndDouble) {
    const struct {
        const char *text;
        int ok;
        int64_t value;
    } ints[] = {
        {"123", 1, 123},
        {"-42", 1, -42},
        {"+7", 1, 7},
        {"0x1f", 1, 31},
        {"0XAbC", 1, 2748},
        {"12a", 0, 0},
        {"", 0, 0},
        {"-", 0, 0},
        {"0x", 0, 0},
        {" 1", 0, 0},
        {"9223372036854775807", 1, INT64_MAX},
        {"-9223372036854775808", 1, INT64_MIN},
        {"0xFFFFFFFFFFFFFFFF", 1, -1}, // hexadecimal spells the 64-bit pattern
        // Numbers that do not fit are refused, never wrapped.
        {"9223372036854775808", 0, 0},
        {"18446744073709551615", 0, 0},
        {"99999999999999999999", 0, 0},
        {"0x10000000000000000", 0, 0},
    };
    for (const auto &c : ints) {
        int64_t value = 99;
        EXPECT_EQ(Zyl_ParseInt64(c.text, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    const struct {
        const char *text;
        int ok;
        double value;
    } doubles[] = {
        {"1.5", 1, 1.5}, {"-0.25", 1, -0.25}, {"3", 1, 3}, {"0x10", 1, 16},
        {"1.2.3", 0, 0}, {"1e5", 0, 0},       {"", 0, 0},  {".5", 1, 0.5},
    };
    for (const auto &c : doubles) {
        double value = 99;
        EXPECT_EQ(Zyl_ParseDouble(c.text, &value), c.ok) << c.text;
        EXPECT_DOUBLE_EQ(value, c.value) << c.text;
    }
}

TEST(ZylStr, AtoiFamily) {
    EXPECT_EQ(Zyl_AtoI("12abc"), 12);
    EXPECT_EQ(Zyl_AtoI("0x1F"), 31);
    EXPECT_EQ(Zyl_AtoI("-17 apples"), -17);
    EXPECT_EQ(Zyl_AtoI(""), 0);
    EXPECT_EQ(Zyl_AtoI(nullptr), 0);
    EXPECT_EQ(Zyl_AtoI("4294967297"), 1); // low 32 bits
    EXPECT_EQ(Zyl_AtoI64("-9000000000x"), -9000000000LL);
    EXPECT_DOUBLE_EQ(Zyl_AtoF("2.0.8.5"), 2.0);
    EXPECT_DOUBLE_EQ(Zyl_AtoF("-1.25kg"), -1.25);
    EXPECT_DOUBLE_EQ(Zyl_AtoF("abc"), 0);
}

TEST(ZylStr, OverlongNumbersAreLoggedNotFatal) {
    testsupport::ConsoleCapture capture;
    std::string digits(70, '7');
    EXPECT_EQ(Zyl_AtoI64(digits.c_str()), 0);
    EXPECT_TRUE(capture.Contains("Input AtoI string too large (" + digits + ")\n"));
    EXPECT_DOUBLE_EQ(Zyl_AtoF(digits.c_str()), 0);
    EXPECT_TRUE(capture.Contains("Input AtoF string too large (" + digits + ")\n"));
    // 69 characters are still read; a value beyond 64 bits is held at the limit.
    EXPECT_EQ(Zyl_AtoI64(std::string(69, '1').c_str()), INT64_MAX);
    EXPECT_TRUE(capture.Contains("Input AtoI value out of range (" + std::string(69, '1') + ")\n"));
    EXPECT_EQ(Zyl_AtoI64("-99999999999999999999"), INT64_MIN);
    EXPECT_EQ(Zyl_AtoI64("9223372036854775807"), INT64_MAX);
}

TEST(ZylStr, ParseBool) {
    const struct {
        const char *text;
        int result;
        int value;
    } cases[] = {
        {"yes", 1, 1}, {"TRUE", 1, 1},  {"On", 1, 1},   {"1", 1, 1},
        {"no", 1, 0},  {"false", 1, 0}, {"OFF", 1, 0},  {"0", 1, 0},
        {"", 1, 7},    {"maybe", 0, 7}, {"yes!", 0, 7}, {"truelove", 0, 7},
    };
    for (const auto &c : cases) {
        int value = -1;
        EXPECT_EQ(Zyl_ParseBool(c.text, &value, 7), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(ZylStr, ParseIPv4) {
    const struct {
        const char *text;
        int ok;
        uint8_t a, b, c, d;
    } cases[] = {
        {"192.168.1.20", 1, 192, 168, 1, 20}, {"1.2.3", 0, 0, 0, 0, 0},
        {"1.2.3.4.5", 0, 0, 0, 0, 0},         {"1..3.4", 1, 1, 0, 3, 4},
        {"256.1.1.1", 0, 0, 0, 0, 0},         {"1.2.3.999", 0, 0, 0, 0, 0},
        {"1.2.3.x", 0, 0, 0, 0, 0},           {"255.255.255.255", 1, 255, 255, 255, 255},
        {"1.2.3.4 ", 0, 0, 0, 0, 0},          {"0001.2.3.000000000000004", 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        uint8_t address[4] = {9, 9, 9, 9};
        EXPECT_EQ(Zyl_ParseIPv4(c.text, address), c.ok) << c.text;
        EXPECT_EQ(address[0], c.a);
        EXPECT_EQ(address[1], c.b);
        EXPECT_EQ(address[2], c.c);
        EXPECT_EQ(address[3], c.d);
    }
}

TEST(ZylStr, HexConversions) {
    const char *digits = "0123456789abcdefABCDEF";
    for (int i = 0; digits[i]; i++)
        EXPECT_EQ(Zyl_HexDigitValue(digits[i]), i < 16 ? i : i - 6) << digits[i];
    for (char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\xff'})
        EXPECT_EQ(Zyl_HexDigitValue(c), -1) << (int)c;
    uint8_t bytes[4];
    int count = -1;
    EXPECT_EQ(Zyl_HexToBytes("0x0aFf10", -1, bytes, sizeof(bytes), &count), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0x10);
    EXPECT_EQ(Zyl_HexToBytes("abc", 3, bytes, sizeof(bytes), &count), 1); // odd digit ignored
    EXPECT_EQ(count, 1);
    EXPECT_EQ(Zyl_HexToBytes("zz", 2, bytes, sizeof(bytes), &count), 0);
    EXPECT_EQ(Zyl_HexToBytes("0102030405", 10, bytes, sizeof(bytes), &count), 0);
    EXPECT_EQ(count, 0);
    char text[9];
    const uint8_t data[4] = {0xDE, 0xAD, 0x01, 0x00};
    EXPECT_EQ(Zyl_BytesToHex(data, 4, text, sizeof(text)), 1); // 8 digits + NUL fit
    EXPECT_STREQ(text, "DEAD0100");
    EXPECT_EQ(Zyl_BytesToHex(data, 4, text, 6), 0);
    EXPECT_STREQ(text, "DEAD");
}

} // namespace
