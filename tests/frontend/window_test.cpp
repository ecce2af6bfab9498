// The window's parts that need no display: the shape's runs from frame pixels,
// the language module, the agreement's text conversion and the log's copy text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/bitmapregion.h"
#include "frontend/dialogs.h"
#include "frontend/language.h"
#include "tests/support/support.h"

namespace {

// Pixels from rows of characters: '#' opaque (white), '.' the transparency
// colour (magenta), in 3 or 4 channels with a padded stride.
struct Frame {
    std::vector<uint8_t> bytes;
    BitmapRegionPixels pixels;
};

Frame MakeFrame(const std::vector<std::string> &rows, int channels) {
    Frame frame;
    int width = rows.empty() ? 0 : static_cast<int>(rows[0].size());
    int stride = width * channels + 5;
    frame.bytes.assign(static_cast<size_t>(stride) * rows.size(), 0);
    for (size_t y = 0; y < rows.size(); y++) {
        for (int x = 0; x < width; x++) {
            uint8_t *p = frame.bytes.data() + y * stride + x * channels;
            bool opaque = rows[y][x] == '#';
            p[0] = 255;
            p[1] = opaque ? 255 : 0;
            p[2] = 255;
            if (channels == 4)
                p[3] = 0; // alpha plays no part
        }
    }
    frame.pixels = {frame.bytes.data(), width, static_cast<int>(rows.size()), stride, channels};
    return frame;
}

const uint8_t kMagenta[3] = {255, 0, 255};

std::string Show(const std::vector<cairo_rectangle_int_t> &runs) {
    std::string text;
    for (const cairo_rectangle_int_t &r : runs)
        text += std::to_string(r.x) + "," + std::to_string(r.y) + "+" + std::to_string(r.width) +
                "x" + std::to_string(r.height) + " ";
    return text;
}

struct RunCase {
    const char *name;
    std::vector<std::string> rows;
    int clipWidth, clipHeight;
    const char *expected;
};

TEST(BitmapRegionTest, RunsOfEachRow) {
    const RunCase cases[] = {
        {"transparent row adds nothing, full row one run", {"....", "####"}, 4, 2, "0,1+4x1 "},
        {"runs end at transparency and at the row's end",
         {"##.#", ".##."},
         4,
         2,
         "0,0+2x1 3,0+1x1 1,1+2x1 "},
        {"window narrower and lower than the bitmap",
         {"####", "####", "####"},
         2,
         2,
         "0,0+2x1 0,1+2x1 "},
        {"window larger than the bitmap", {"#."}, 100, 100, "0,0+1x1 "},
        {"no window", {"##"}, 0, 0, ""},
    };
    for (int channels : {3, 4}) {
        for (const RunCase &c : cases) {
            Frame frame = MakeFrame(c.rows, channels);
            std::vector<cairo_rectangle_int_t> runs;
            ASSERT_EQ(
                BitmapRegion_CollectRuns(frame.pixels, kMagenta, c.clipWidth, c.clipHeight, &runs),
                1)
                << c.name;
            EXPECT_EQ(Show(runs), c.expected) << c.name << " with " << channels << " channels";
        }
    }
}

TEST(BitmapRegionTest, CheckerboardRegionHoldsExactlyItsRuns) {
    std::vector<std::string> rows;
    for (int y = 0; y < 16; y++) {
        std::string row;
        for (int x = 0; x < 16; x++)
            row += ((x / 2 + y) % 2 == 0) ? '#' : '.';
        rows.push_back(row);
    }
    Frame frame = MakeFrame(rows, 3);
    cairo_region_t *region = BitmapRegion_Create(frame.pixels, kMagenta, 16, 16);
    ASSERT_NE(region, nullptr);
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++)
            EXPECT_EQ(cairo_region_contains_point(region, x, y) != 0, rows[y][x] == '#')
                << x << "," << y;
    EXPECT_FALSE(cairo_region_contains_point(region, 16, 0));
    cairo_region_destroy(region);
}

TEST(BitmapRegionTest, RefusesInvalidPixels) {
    Frame frame = MakeFrame({"##"}, 3);
    std::vector<cairo_rectangle_int_t> runs;
    BitmapRegionPixels bad[] = {
        {nullptr, 2, 1, 11, 3},
        {frame.bytes.data(), 2, 1, 11, 2},
        {frame.bytes.data(), 2, 1, 5, 3},
        {frame.bytes.data(), 8193, 1, 30000, 3},
        {frame.bytes.data(), -1, 1, 11, 3},
    };
    for (const BitmapRegionPixels &pixels : bad) {
        EXPECT_EQ(BitmapRegion_CollectRuns(pixels, kMagenta, 2, 1, &runs), 0);
        EXPECT_EQ(BitmapRegion_Create(pixels, kMagenta, 2, 1), nullptr);
    }
    EXPECT_TRUE(runs.empty());
}

TEST(LanguageModuleTest, ReadsStringsById) {
    testsupport::TempDir dir;
    std::string path = dir.path() + "/launcher.lang-en.xml";
    testsupport::WriteFile(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Strings><String id=\"127\">Cannot start</String>"
                                 "<String id=\"136\">Acc\xC3\xA9pter</String>"
                                 "<String id=\"0\">zero</String><String id=\"x\">bad</String>"
                                 "<String>none</String><String id=\"159\"/></Strings>");
    CLanguageModule language;
    ASSERT_EQ(language.Load(path.c_str()), 1);
    EXPECT_STREQ(language.Get(127), "Cannot start");
    EXPECT_STREQ(language.Get(136), "Acc\xC3\xA9pter");
    EXPECT_STREQ(language.Get(159), "");
    EXPECT_STREQ(language.Get(140), "");
    EXPECT_STREQ(language.Get(0), "");
    EXPECT_EQ(CLanguageModule::FileNameFor("en"), "launcher.lang-en.xml");
}

TEST(LanguageModuleTest, MissingOrBrokenFileLoadsNothing) {
    testsupport::TempDir dir;
    std::string broken = dir.path() + "/broken.xml";
    testsupport::WriteFile(broken, "<Strings><String id=\"127\">open");
    for (const std::string &path : {dir.path() + "/missing.xml", broken}) {
        CLanguageModule language;
        EXPECT_EQ(language.Load(path.c_str()), 0) << path;
        EXPECT_EQ(language.IsLoaded(), 0);
        EXPECT_STREQ(language.Get(127), "");
    }
}

TEST(LanguageModuleTest, ShippedModuleHasEveryString) {
    CLanguageModule language;
    std::string path = std::string(PORTICO_SOURCE_DIR) + "/frontend/launcher.lang-en.xml";
    ASSERT_EQ(language.Load(path.c_str()), 1);
    for (int id : {116, 122, 123, 127, 134, 135, 136, 137, 138, 140})
        EXPECT_STRNE(language.Get(id), "") << id;
}

TEST(EulaTextTest, KeepsUtf8AndConvertsWindows1252) {
    EXPECT_EQ(EULA_ToUtf8("plain \xE2\x80\x9Cquoted\xE2\x80\x9D"),
              "plain \xE2\x80\x9Cquoted\xE2\x80\x9D");
    EXPECT_EQ(EULA_ToUtf8("caf\xE9 \x93q\x94 \x80"),
              "caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D \xE2\x82\xAC");
    EXPECT_EQ(EULA_ToUtf8(""), "");
}

TEST(LogDialogTest, CopyTextEndsEveryLine) {
    EXPECT_EQ(LogDlg_Text({}), "");
    EXPECT_EQ(LogDlg_Text({"a b", "", "c"}), "a b\n\nc\n");
}

} // namespace
