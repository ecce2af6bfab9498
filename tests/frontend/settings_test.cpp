// The user settings file: defaults from the configuration, reading with the
// rate rule, the written form (read back by TinyXML and xmllint), and a failed
// save that leaves the old file as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tinyxml.h>

#include "frontend/config.h"
#include "frontend/settings.h"
#include "platform/durable.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

CConfig Configured(int64_t upMax, int64_t downMax) {
    CConfig config;
    config.RateLimitEnabled = 1;
    config.UploadRate = {100, upMax};
    config.DownloadRate = {200, downMax};
    config.OptionalPatchDownloadDefault = CONFIG_PLAY_CONTINUE;
    return config;
}

TEST(Settings, DefaultsComeFromTheConfiguration) {
    CSettings s;
    s.Reset(Configured(1000, 1000));
    EXPECT_EQ(s.P2PEnabled, 1);
    EXPECT_EQ(s.WebEnabled, 1);
    EXPECT_EQ(s.RateLimitEnabled, 1);
    EXPECT_EQ(s.RateLimitUp, 100);
    EXPECT_EQ(s.RateLimitDown, 200);
    EXPECT_EQ(s.EULAAccepted, 0);
    EXPECT_EQ(s.OptionalPatchDownload, CONFIG_PLAY_CONTINUE);
    TempDir dir;
    EXPECT_EQ(s.Read((dir / "absent.xml").c_str(), Configured(1000, 1000)), 0);
    EXPECT_EQ(s.RateLimitDown, 200);
}

TEST(Settings, RateRule) {
    struct {
        int64_t Value, Max, Expected;
    } cases[] = {{-5, 1000, 0},
                 {5000, 4000, 4000},
                 {5000, 0, 0},
                 {300, 4000, 300},
                 {4000, 4000, 4000},
                 {-1, 0, 0},
                 {INT64_MAX, INT64_MAX, INT64_MAX}};
    for (auto &c : cases)
        EXPECT_EQ(CSettings_ClampRate(c.Value, c.Max), c.Expected) << c.Value << " " << c.Max;
}

TEST(Settings, ReadsDecimalValuesAndClampsRates) {
    TempDir dir;
    std::string path = dir / "launcher.settings.xml";
    WriteFile(path, "<?xml version=\"1.0\"?><Settings><p2penabled>0</p2penabled>"
                    "<WebEnabled>TRUE</WebEnabled><RateLimitEnabled>0</RateLimitEnabled>"
                    "<RateLimitUp>-5</RateLimitUp><RateLimitDown>5000</RateLimitDown>"
                    "<OptionalPatchDownload>1</OptionalPatchDownload><Other>9</Other></Settings>");
    CSettings s;
    ASSERT_EQ(s.Read(path.c_str(), Configured(1000, 4000)), 1);
    EXPECT_EQ(s.P2PEnabled, 0);
    EXPECT_EQ(s.WebEnabled, 0); // decimal: "TRUE" reads as 0
    EXPECT_EQ(s.RateLimitEnabled, 0);
    EXPECT_EQ(s.RateLimitUp, 0);
    EXPECT_EQ(s.RateLimitDown, 4000);
    EXPECT_EQ(s.EULAAccepted, 0); // absent: the licence is shown again
    EXPECT_EQ(s.OptionalPatchDownload, 1);
    // Without a configured bound (or with a negative one, read as 0) every rate is 0.
    ASSERT_EQ(s.Read(path.c_str(), Configured(0, 0)), 1);
    EXPECT_EQ(s.RateLimitDown, 0);
    WriteFile(path, "not xml");
    EXPECT_EQ(s.Read(path.c_str(), Configured(1000, 4000)), 0);
    EXPECT_EQ(s.P2PEnabled, 1);
}

TEST(Settings, WritesEveryFieldInOrder) {
    TempDir dir;
    std::string path = dir / "launcher.settings.xml";
    CSettings s;
    s.P2PEnabled = 0;
    s.RateLimitEnabled = 1;
    s.RateLimitUp = 6000000000LL;
    s.RateLimitDown = 7;
    s.EULAAccepted = 1;
    s.OptionalPatchDownload = 2;
    ASSERT_EQ(s.Write(path.c_str()), 1);
    EXPECT_EQ(testsupport::ReadFile(path),
              "<?xml version=\"1.0\" ?>\n<Config>\n    <P2PEnabled>0</P2PEnabled>\n"
              "    <WebEnabled>1</WebEnabled>\n    <RateLimitEnabled>1</RateLimitEnabled>\n"
              "    <RateLimitUp>6000000000</RateLimitUp>\n    <RateLimitDown>7</RateLimitDown>\n"
              "    <EULAAccepted>1</EULAAccepted>\n"
              "    <OptionalPatchDownload>2</OptionalPatchDownload>\n</Config>\n");
    TiXmlDocument document;
    EXPECT_TRUE(document.LoadFile(path.c_str()));
    if (testsupport::HaveProgram("xmllint")) {
        EXPECT_EQ(testsupport::RunCommand("xmllint --noout '" + path + "'"), 0);
    }
    CSettings back;
    ASSERT_EQ(back.Read(path.c_str(), Configured(INT64_MAX, INT64_MAX)), 1);
    EXPECT_EQ(back.P2PEnabled, 0);
    EXPECT_EQ(back.RateLimitUp, 6000000000LL);
    EXPECT_EQ(back.EULAAccepted, 1);
    EXPECT_EQ(back.OptionalPatchDownload, 2);
}

int FailStep(void *user, int step, const char *) {
    return step == *static_cast<int *>(user) ? EIO : 0;
}

TEST(Settings, AFailedSaveLeavesTheOldFile) {
    TempDir dir;
    std::string path = dir / "launcher.settings.xml";
    CSettings s;
    ASSERT_EQ(s.Write(path.c_str()), 1);
    std::string before = testsupport::ReadFile(path);
    s.EULAAccepted = 1;
    for (int step : {DURABLE_STEP_CREATE, DURABLE_STEP_SYNC, DURABLE_STEP_RENAME}) {
        testsupport::ConsoleCapture console;
        Durable_SetFaultHook(FailStep, &step);
        EXPECT_EQ(s.Write(path.c_str()), 0) << step;
        Durable_SetFaultHook(nullptr, nullptr);
        EXPECT_TRUE(console.Contains("CSettings::Write() ")) << console.Text();
        EXPECT_TRUE(console.Contains(path)) << console.Text();
        EXPECT_EQ(testsupport::ReadFile(path), before) << step;
    }
    // Nothing but the settings file is left in the folder.
    std::string listing;
    testsupport::RunCommand("ls -A '" + dir.path() + "'", &listing);
    EXPECT_EQ(listing, "launcher.settings.xml\n");
}

} // namespace
