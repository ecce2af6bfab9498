// Core utilities: CRC-32 against zlib, byte search, clocks, the minute date scale,
// duration texts and the quote-aware argument scanner.
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include "core/zyl.h"

namespace {

TEST(ZylUtil, Crc32MatchesZlib) {
    EXPECT_EQ(Zyl_Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Zyl_Crc32("", 0), 0u);
    unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::vector<uint8_t> data(100000);
    for (auto &b : data)
        b = (uint8_t)random();
    EXPECT_EQ(Zyl_Crc32(data.data(), (int64_t)data.size()),
              (uint32_t)crc32(0, data.data(), (uInt)data.size()))
        << "seed " << seed;
    // Every short length from every start offset: the eight-byte steps and the
    // byte tail both meet their edges.
    for (int start = 0; start < 8; start++) {
        for (int length = 1; length <= 40; length++)
            EXPECT_EQ(Zyl_Crc32(data.data() + start, length),
                      (uint32_t)crc32(0, data.data() + start, (uInt)length))
                << "start " << start << " length " << length << " seed " << seed;
    }
    // Upper-casing changes ASCII a-z alone, in the eight-byte steps and the tail:
    // every byte value from 1 to 255, twice, from three start offsets.
    std::string text;
    for (int round = 0; round < 2; round++) {
        for (int c = 1; c < 256; c++)
            text += (char)c;
    }
    uint32_t crc = 1;
    for (size_t start = 0; start < 3; start++) {
        std::string upper = text.substr(start);
        for (char &c : upper)
            c = (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
        EXPECT_EQ(Zyl_StrCrc32(text.c_str() + start, 0, &crc), 1);
        EXPECT_EQ(crc, (uint32_t)crc32(0, (const Bytef *)upper.data(), (uInt)upper.size()))
            << "start " << start;
    }
    EXPECT_EQ(Zyl_StrCrc32("abc", 1, &crc), 1);
    EXPECT_EQ(crc, 0x352441C2u);
    EXPECT_EQ(Zyl_StrCrc32("abc", 0, &crc), 1);
    EXPECT_EQ(crc, 0xA3830348u);
    EXPECT_EQ(Zyl_StrCrc32("", 1, &crc), 1);
    EXPECT_EQ(crc, 0u);
}

TEST(ZylUtil, MemEqualAndFind) {
    const char data[] = "abcabcXY";
    int64_t position = -1;
    EXPECT_EQ(Zyl_MemFind(data, 8, "XY", 2, &position), 1); // ends at the last byte
    EXPECT_EQ(position, 6);
    EXPECT_EQ(Zyl_MemFind(data, 8, "ca", 2, &position), 1);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(Zyl_MemFind(data, 7, "XY", 2, &position), 0); // one byte outside the data
    EXPECT_EQ(position, 0);
    EXPECT_EQ(Zyl_MemFind(data, 1, "ab", 2, &position), 0);
    EXPECT_EQ(Zyl_MemEqual("abc", "abd", 2), 1);
    EXPECT_EQ(Zyl_MemEqual("abc", "abd", 3), 0);
}

TEST(ZylUtil, ClocksNeverRunBack) {
    double tick = Zyl_GetTickSeconds();
    double fine = Zyl_GetSeconds();
    for (int i = 0; i < 1000; i++) {
        double nextTick = Zyl_GetTickSeconds();
        double nextFine = Zyl_GetSeconds();
        ASSERT_GE(nextTick, tick);
        ASSERT_GE(nextFine, fine);
        tick = nextTick;
        fine = nextFine;
    }
    // Millisecond resolution.
    double ms = tick * 1000;
    EXPECT_DOUBLE_EQ(ms, (double)(int64_t)(ms + 0.5));
}

TEST(ZylUtil, MinuteScaleFixedPoints) {
    int32_t minutes = 0;
    Zyl_DateToMinutes(&minutes, 0, 0, 0, 1, 70);
    EXPECT_EQ(minutes, 1440);
    int hour, minute, month, day, year;
    Zyl_MinutesToDate(1440, &hour, &minute, &month, &day, &year);
    EXPECT_EQ(hour, 0);
    EXPECT_EQ(minute, 0);
    EXPECT_EQ(month, 0);
    EXPECT_EQ(day, 1);
    EXPECT_EQ(year, 70);
    int32_t feb29 = 0;
    int32_t mar1 = 0;
    Zyl_DateToMinutes(&feb29, 0, 0, 1, 29, 72);
    Zyl_DateToMinutes(&mar1, 0, 0, 2, 1, 72);
    EXPECT_EQ(mar1 - feb29, 1440);
    Zyl_MinutesToDate(feb29, &hour, &minute, &month, &day, &year);
    EXPECT_EQ(month, 1);
    EXPECT_EQ(day, 29);
    int32_t dec31 = 0;
    Zyl_DateToMinutes(&dec31, 23, 59, 11, 31, 72);
    Zyl_MinutesToDate(dec31, &hour, &minute, &month, &day, &year);
    EXPECT_EQ(month, 11);
    EXPECT_EQ(day, 31);
    EXPECT_EQ(year, 72);
    EXPECT_EQ(hour, 23);
    EXPECT_EQ(minute, 59);
}

TEST(ZylUtil, MinuteScaleRoundTripsEveryDay) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int32_t previous = 0;
    bool first = true;
    for (int year = 1; year <= 199; year++)
        for (int month = 0; month < 12; month++) {
            int days = kDays[month] + (month == 1 && year % 4 == 0 ? 1 : 0);
            for (int day = 1; day <= days; day++) {
                int32_t minutes = 0;
                Zyl_DateToMinutes(&minutes, 13, 7, month, day, year);
                if (!first) {
                    ASSERT_EQ(minutes - previous, 1440) << year << "/" << month << "/" << day;
                }
                first = false;
                previous = minutes;
                int h, m, mo, d, y;
                Zyl_MinutesToDate(minutes, &h, &m, &mo, &d, &y);
                ASSERT_EQ(y, year);
                ASSERT_EQ(mo, month);
                ASSERT_EQ(d, day);
                ASSERT_EQ(h, 13);
                ASSERT_EQ(m, 7);
            }
        }
}

TEST(ZylUtil, DurationTexts) {
    const struct {
        double seconds;
        int flags;
        const char *text;
    } cases[] = {
        {3725.5, 0x10 | 0x20 | 0x40 | 0x200, " 1h  2m  6s"},
        {3725.5, 0x10 | 0x20 | 0x40 | 0x400, " 1 hour  2 minutes  6 seconds"},
        {90, 0x20 | 0x1000 | 0x400, " 1 minute"},
        {90, 0x20 | 0x40 | 0x200, " 1m 30s"},
        {90, 0x40 | 0x1000 | 0x200, "90s"},
        {3600, 0x10 | 0x20 | 0x40 | 0x200, " 1h"},
        {3600, 0x10 | 0x20 | 0x40 | 0x200 | 0x800, " 1h  0m  0s"},
        {59, 0x10 | 0x20 | 0x40 | 0x200 | 0x800, "59s"}, // leading zero units dropped
        {3661, 0x10 | 0x20 | 0x40 | 0x200 | 0x2000, "01h 01m 01s"},
        {694861, 0x4 | 0x8 | 0x10 | 0x20 | 0x200 | 0x4000, " 1w 1d"},
        {1.25, 0x40 | 0x80 | 0x200, " 1s 0250ms"},
        {172800, 0x8 | 0x400, "2 days"},
        {-5, 0x40 | 0x200, ""},
        {1209600, 0x4 | 0x400, " 2 weeks"},
    };
    for (const auto &c : cases) {
        char text[128];
        EXPECT_EQ(Zyl_FormatDuration(c.seconds, c.flags, text, sizeof(text)), 1);
        EXPECT_STREQ(text, c.text) << c.seconds << " flags " << std::hex << c.flags;
    }
    char small[6];
    Zyl_FormatDuration(3725, 0x10 | 0x20 | 0x40 | 0x200, small, sizeof(small));
    EXPECT_STREQ(small, " 1h "); // cut at the buffer, last blank removed
}

TEST(ZylUtil, ArgumentScanner) {
    const char *line = "prog.exe -path \"C:\\a b\" -x  \"say \"\"hi\"\"\" \"\"";
    int count = 0;
    EXPECT_EQ(Zyl_ArgCount(line, &count), 1);
    EXPECT_EQ(count, 6);
    const char *expected[] = {"prog.exe", "-path", "C:\\a b", "-x", "say \"hi\"", ""};
    char argument[64];
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(Zyl_ArgGet(line, i, argument, sizeof(argument)), 1) << i;
        EXPECT_STREQ(argument, expected[i]) << i;
    }
    EXPECT_EQ(Zyl_ArgGet(line, 6, argument, sizeof(argument)), 0);
    EXPECT_EQ(Zyl_ArgGetOption(line, "PATH", argument, sizeof(argument)), 1);
    EXPECT_STREQ(argument, "C:\\a b");
    EXPECT_EQ(Zyl_ArgGetOption("a /Mode fast", "mode", argument, sizeof(argument)), 1);
    EXPECT_STREQ(argument, "fast");
    EXPECT_EQ(Zyl_ArgGetOption("a -mode", "mode", argument, sizeof(argument)), 0);
    EXPECT_EQ(Zyl_ArgGetOption("a -modex 1", "mode", argument, sizeof(argument)), 0);
    // An empty or blank command line is one empty argument.
    EXPECT_EQ(Zyl_ArgCount("  \t ", &count), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(Zyl_ArgGet("", 0, argument, sizeof(argument)), 1);
    EXPECT_STREQ(argument, "");
    // An argument that does not fit is a failure, cut to the buffer.
    char small[4];
    EXPECT_EQ(Zyl_ArgGet("abcdef", 0, small, sizeof(small)), 0);
    EXPECT_STREQ(small, "abc");
}

TEST(ZylArgs, SwitchWordsNeedTheirMarkAndAnEnd) {
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"-debug", 1},
        {"/App x -DEBUG", 1},
        {"-Debug /App x", 1},
        {"/debug\t-x", 1},
        {"debug", 0},
        {"x-debugger", 0},
        {"+debug", 0},
        {"--debug", 1},
        {"-debugx", 0},
        {"/App \"-debug\"", 0},
        {"", 0},
        {"-debu", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, Zyl_HasSwitch(c.text, "debug")) << c.text;
}

TEST(ZylArgs, LogOptionsOrTheirFlags) {
    const struct {
        const char *text;
        int flags;
    } cases[] = {
        {"/App a /VersionFile b", 0},
        {"-debug", 0x6},
        {"-perthread /unique", 0x108 | 0x4E},
        {"-window -cachewrites -timestamp", 0x1 | 0x8000 | 0x20},
        {"-append -externalprint", 0x8 | 0x400},
        {"-Debug -debugger -xdebug", 0x6},
    };
    for (const auto &c : cases) {
        int flags = -1;
        EXPECT_EQ(1, Zyl_ParseLogOptions(&flags, c.text));
        EXPECT_EQ(c.flags, flags) << c.text;
    }
}

} // namespace
