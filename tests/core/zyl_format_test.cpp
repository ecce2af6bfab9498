// The system formatter: every conversion, padding rules, bounds and the overrun report.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "core/zyl.h"
#include "tests/support/log_capture.h"

namespace {

template <typename... Args> std::string Format(const char *format, Args... args) {
    char buffer[512];
    // Named in parentheses: these cases pass formats the call-site check refuses.
    int n = (Zyl_FormatString)(buffer, sizeof(buffer), format, args...);
    EXPECT_EQ(n, (int)strlen(buffer));
    return buffer;
}

TEST(ZylFormat, IntegersAndPadding) {
    EXPECT_EQ(Format("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
    EXPECT_EQ(Format("%5d|%-5d|%05d", 42, 42, 42), "   42|42   |00042");
    EXPECT_EQ(Format("%08.3d", -5), "-0000005");
    EXPECT_EQ(Format("%+d %+d", 5, -5), "+5 -5");
    EXPECT_EQ(Format("%.0d|", 0), "|");
    EXPECT_EQ(Format("%.3d", 7), "007");
    EXPECT_EQ(Format("%'d", 1234567), "1,234,567");
    EXPECT_EQ(Format("%x %X %#x", 255u, 255u, 255u), "ff FF 0xff");
    EXPECT_EQ(Format("%o %#o %b", 8u, 8u, 5u), "10 010 101");
    EXPECT_EQ(Format("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
    EXPECT_EQ(Format("%d", INT32_MIN), "-2147483648");
}

TEST(ZylFormat, SizedIntegers) {
    EXPECT_EQ(Format("%I64d", (int64_t)-9000000000LL), "-9000000000");
    EXPECT_EQ(Format("%lld", (int64_t)INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(Format("%I64u", (uint64_t)UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(Format("%llu %llx", (uint64_t)UINT64_MAX, (uint64_t)0xABCDEF0123ULL),
              "18446744073709551615 abcdef0123");
    EXPECT_EQ(Format("%I64x", (int64_t)-255), "-FF");
    // 'l' reads an int and honours the conversion letter.
    EXPECT_EQ(Format("%ld %lu %lx %lX", -3, 4000000000u, 255u, 255u), "-3 4000000000 ff FF");
    EXPECT_EQ(Format("%zu|%zd|%zx|%s", (size_t)5000000000ULL, (ssize_t)-2, (size_t)255, "next"),
              "5000000000|-2|ff|next");
    // Unknown letters after 'l' print as signed decimal (the letter is consumed).
    EXPECT_EQ(Format("%lq", 12), "12");
}

TEST(ZylFormat, Pointer) {
    EXPECT_EQ(Format("%p", (void *)0x1234), "00001234");
    EXPECT_EQ(Format("%#p", (void *)0xabcdef), "0x00ABCDEF");
    EXPECT_EQ(Format("%p", (void *)0x123456789abcULL), "123456789ABC");
}

TEST(ZylFormat, Doubles) {
    EXPECT_EQ(Format("%5.2f", 3.14159), " 3.14");
    EXPECT_EQ(Format("%.0f", 2.5), "3");
    EXPECT_EQ(Format("%.2f", 0.999), "1.00");
    EXPECT_EQ(Format("%f", 1.5), "1.500000");
    EXPECT_EQ(Format("%f", INFINITY), "1.#INF00");
    EXPECT_EQ(Format("%f", NAN), "1.#QNAN0");
    EXPECT_EQ(Format("%.2f", -1.25), "-1.25");
    EXPECT_EQ(Format("%.3f", -0.5), "-0.500");
    EXPECT_EQ(Format("%08.2f", -3.5), "-0003.50");
    EXPECT_EQ(Format("%.12f", 0.5), "0.500000000");
    EXPECT_EQ(Format("%'.1f", 1234567.25), "1,234,567.3");
    EXPECT_EQ(Format("%.0f", 1e19), "10000000000000000000");
}

TEST(ZylFormat, TextConversions) {
    EXPECT_EQ(Format("%s|%5s|%-5s|%.2s", "ab", "ab", "ab", "abcdef"), "ab|   ab|ab   |ab");
    EXPECT_EQ(Format("%S", "Mixed Case"), "MIXED CASE");
    EXPECT_EQ(Format("%s", (const char *)nullptr), "NULL");
    EXPECT_EQ(Format("%c%c", 'o', 'k'), "ok");
    // Bytes above 126 pass verbatim: UTF-8 paths survive.
    EXPECT_EQ(Format("%s", "/home/j\xc3\xbcrgen/caf\xc3\xa9"), "/home/j\xc3\xbcrgen/caf\xc3\xa9");
    EXPECT_EQ(Format("%#s", "caf\xc3\xa9"), "NONASCII");
    EXPECT_EQ(Format("%#s", "plain"), "plain");
    const uint16_t wide[] = {'w', 'i', 'd', 'e', 0};
    EXPECT_EQ(Format("%unicode|%.2unicode", wide, wide), "wide|wi");
    const uint8_t address[4] = {192, 168, 1, 20};
    EXPECT_EQ(Format("%ipv4", address), "192.168.1.20");
    const uint8_t bytes[3] = {0x0A, 0xFF, 0x01};
    EXPECT_EQ(Format("%3hex %3HEX", bytes, bytes), "0aff01 0AFF01");
    EXPECT_EQ(Format("%a", 0x00018000u), "1.500000");
    EXPECT_EQ(Format("100%%"), "100%");
    EXPECT_EQ(Format("%y"), "y");
}

// Where both define the result (flags in our order, no '#', no '0' with a
// precision, exactly representable doubles), we agree with the C library.
TEST(ZylFormat, AgreesWithSnprintfOnCommonFormats) {
    unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const char conversions[] = "diuxXocsf";
    for (int round = 0; round < 20000; round++) {
        std::string format = "<%";
        char conversion = conversions[random() % (sizeof(conversions) - 1)];
        bool left = random() % 3 == 0;
        bool plus =
            (conversion == 'd' || conversion == 'i' || conversion == 'f') && random() % 4 == 0;
        int width = random() % 3 == 0 ? -1 : (int)(random() % 12);
        int precision = random() % 3 == 0 ? -1 : (int)(random() % 8);
        if (conversion == 'c')
            precision = -1;
        if (conversion == 'f' && precision >= 0 && precision < 3)
            precision = 3;
        bool zero =
            !left && precision < 0 && conversion != 's' && conversion != 'c' && random() % 3 == 0;
        if (left)
            format += '-';
        if (plus)
            format += '+';
        if (zero)
            format += '0';
        if (width >= 0)
            format += std::to_string(width);
        if (precision >= 0)
            format += "." + std::to_string(precision);
        format += conversion;
        format += ">";
        char ours[128];
        char theirs[128];
        int value = (int)(uint32_t)random();
        double real = (double)((int)(random() % 200001) - 100000) / 8.0;
        const char *texts[] = {"", "a", "hello", "longer text here"};
        const char *text = texts[random() % 4];
        switch (conversion) {
        case 's':
            (Zyl_FormatString)(ours, sizeof(ours), format.c_str(), text);
            snprintf(theirs, sizeof(theirs), format.c_str(), text);
            break;
        case 'f':
            (Zyl_FormatString)(ours, sizeof(ours), format.c_str(), real);
            snprintf(theirs, sizeof(theirs), format.c_str(), real);
            break;
        case 'c':
            (Zyl_FormatString)(ours, sizeof(ours), format.c_str(),
                               'A' + value % 26 + (value < 0 ? 26 : 0));
            snprintf(theirs, sizeof(theirs), format.c_str(),
                     'A' + value % 26 + (value < 0 ? 26 : 0));
            break;
        default:
            (Zyl_FormatString)(ours, sizeof(ours), format.c_str(), value);
            snprintf(theirs, sizeof(theirs), format.c_str(), value);
            break;
        }
        ASSERT_STREQ(ours, theirs) << "format " << format << " seed " << seed;
    }
}

TEST(ZylFormat, TabsAdvanceToMultiplesOfFour) {
    EXPECT_EQ(Format("a\tb"), "a   b");
    EXPECT_EQ(Format("abcd\te"), "abcd    e");
}

TEST(ZylFormat, OverrunIsCutAndReported) {
    testsupport::ConsoleCapture capture;
    char buffer[5];
    EXPECT_EQ(Zyl_FormatString(buffer, sizeof(buffer), "%s", "abcdef"), 4);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_NE(capture.Text().find("ERROR: The next string overran the print buffer!\nLINE: %s"),
              std::string::npos);
    // Exactly size - 1 characters fit without a report.
    capture.Clear();
    EXPECT_EQ(Zyl_FormatString(buffer, sizeof(buffer), "%d", 1234), 4);
    EXPECT_EQ(capture.Text(), "");
    // Size 0 stores nothing and says so.
    buffer[0] = 'x';
    EXPECT_EQ(Zyl_FormatString(buffer, 0, "%d", 1), 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_NE(capture.Text().find("ERROR: The next string too small to contain anything!"),
              std::string::npos);
}

TEST(ZylFormat, AppendAndDecimal) {
    char buffer[16] = "ab";
    EXPECT_EQ(Zyl_AppendFormat(buffer, sizeof(buffer), "-%d", 12), 5);
    EXPECT_STREQ(buffer, "ab-12");
    char text[320];
    Zyl_FormatDecimal(1234567, text, sizeof(text), 1, 0, 0);
    EXPECT_STREQ(text, "1,234,567");
    Zyl_FormatDecimal(-1234.5, text, sizeof(text), 1, 3, 1);
    EXPECT_STREQ(text, "-1,234.5");
    Zyl_FormatDecimal(2.0, text, sizeof(text), 0, 2, 1);
    EXPECT_STREQ(text, "2");
    Zyl_FormatDecimal(2.25, text, sizeof(text), 0, 9, 0);
    EXPECT_STREQ(text, "2");
}

} // namespace
