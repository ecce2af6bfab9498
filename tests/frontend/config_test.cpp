// The configuration file: every element and conversion, defaults for what is
// missing, and the refusal of files that are missing or not XML.
#include <gtest/gtest.h>

#include <string>

#include "frontend/config.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

// Reads body (the text inside the root element) as a configuration.
CConfig ReadConfig(const TempDir &dir, const std::string &body, int *result = nullptr) {
    std::string path = dir / "launcher.config.xml";
    WriteFile(path, "<?xml version=\"1.0\"?>\n<Config>" + body + "</Config>\n");
    CConfig config;
    int read = config.Read(path.c_str());
    if (result != nullptr)
        *result = read;
    return config;
}

TEST(Config, ReadsEveryElementOfEverySection) {
    TempDir dir;
    int result = 0;
    CConfig c = ReadConfig(
        dir,
        "<Launcher><PackageName>launcher</PackageName>"
        "<Url>http://h/launcher.package</Url><AppName>Portico Game</AppName>"
        "<AppRegistryPath>Software\\Portico</AppRegistryPath>"
        "<GlobalSettingsUrl>http://h/settings.ffs</GlobalSettingsUrl>"
        "<ConfigureFirewall>no</ConfigureFirewall><MinimizeToTray>On</MinimizeToTray>"
        "<DisplayEULA>FALSE</DisplayEULA>"
        "<OptionalPatchDownloadDefault>resume</OptionalPatchDownloadDefault>"
        "<MiniDumpType>FULL</MiniDumpType></Launcher>"
        "<Events><OnPlay><RelativePath>bin\\game.sh -w</RelativePath></OnPlay></Events>"
        "<Ports><RandomPortMin>6881</RandomPortMin><RandomPortMax>6999</RandomPortMax></Ports>"
        "<RateLimit><RateLimitEnabled>yes</RateLimitEnabled>"
        "<UploadRate><Default>1000</Default><Max>5000</Max></UploadRate>"
        "<DownloadRate><Max>9000000000</Max><Default>8000000000</Default></DownloadRate>"
        "</RateLimit>"
        "<LayoutInfo><Url>skin/index.html</Url><Width>800</Width><Height>600</Height>"
        "<FrameBitmap>skin\\frame.bmp</FrameBitmap>"
        "<TransparencyColor>255,0,128</TransparencyColor></LayoutInfo>"
        "<Updater><Mode>patcher</Mode><Target>http://h/list.xml</Target>"
        "<OutputPath>game\\data</OutputPath>"
        "<AuthorizationUrl>http://h/auth</AuthorizationUrl></Updater>",
        &result);
    ASSERT_EQ(result, 1);
    EXPECT_STREQ(c.Launcher.PackageName, "launcher");
    EXPECT_STREQ(c.Launcher.Url, "http://h/launcher.package");
    EXPECT_EQ(c.Launcher.IsPresent(), 1);
    EXPECT_STREQ(c.AppName, "Portico Game");
    EXPECT_STREQ(c.AppRegistryPath, "Software\\Portico");
    EXPECT_STREQ(c.GlobalSettingsUrl, "http://h/settings.ffs");
    EXPECT_EQ(c.ConfigureFirewall, 0);
    EXPECT_EQ(c.MinimizeToTray, 1);
    EXPECT_EQ(c.DisplayEULA, 0);
    EXPECT_EQ(c.OptionalPatchDownloadDefault, CONFIG_PLAY_RESUME);
    EXPECT_EQ(c.MiniDumpType, 0);
    EXPECT_STREQ(c.OnPlayRelativePath, "bin/game.sh -w");
    EXPECT_EQ(c.RandomPortMin, 6881);
    EXPECT_EQ(c.RandomPortMax, 6999);
    EXPECT_EQ(c.RateLimitEnabled, 1);
    EXPECT_EQ(c.UploadRate.Default, 1000);
    EXPECT_EQ(c.UploadRate.Max, 5000);
    EXPECT_EQ(c.DownloadRate.Default, 8000000000LL);
    EXPECT_EQ(c.DownloadRate.Max, 9000000000LL);
    EXPECT_STREQ(c.LayoutUrl, "skin/index.html");
    EXPECT_EQ(c.LayoutWidth, 800);
    EXPECT_EQ(c.LayoutHeight, 600);
    EXPECT_STREQ(c.FrameBitmap, "skin/frame.bmp");
    EXPECT_EQ(c.TransparencyColor[0], 255);
    EXPECT_EQ(c.TransparencyColor[1], 0);
    EXPECT_EQ(c.TransparencyColor[2], 128);
    EXPECT_EQ(c.Updater.Mode, CONFIG_MODE_PACKAGE_LIST);
    EXPECT_STREQ(c.Updater.Target, "http://h/list.xml");
    EXPECT_STREQ(c.Updater.OutputPath, "game/data");
    EXPECT_STREQ(c.Updater.AuthorizationUrl, "http://h/auth");
}

TEST(Config, DefaultsWhenElementsAreMissingOrEmpty) {
    TempDir dir;
    CConfig c =
        ReadConfig(dir, "<Launcher><AppName/><PackageName>only</PackageName></Launcher>"
                        "<Unknown><Url>x</Url></Unknown><LayoutInfo><Url></Url></LayoutInfo>");
    EXPECT_STREQ(c.AppName, "");
    EXPECT_EQ(c.Launcher.IsPresent(), 0); // a name without an address
    EXPECT_EQ(c.ConfigureFirewall, 1);
    EXPECT_EQ(c.MinimizeToTray, 0);
    EXPECT_EQ(c.DisplayEULA, 1);
    EXPECT_EQ(c.OptionalPatchDownloadDefault, CONFIG_PLAY_CLOSE);
    EXPECT_EQ(c.MiniDumpType, 1);
    EXPECT_EQ(c.RateLimitEnabled, 0);
    EXPECT_STREQ(c.LayoutUrl, "");
    EXPECT_EQ(c.Updater.IsPresent(), 0);
    EXPECT_EQ(c.Updater.Mode, CONFIG_MODE_PACKAGE_LIST);
}

// One element's text and what it reads as, one case per conversion rule.
struct ConversionCase {
    const char *Body;
    int (*Read)(const CConfig &);
    long long Expected;
};

TEST(Config, ConvertsEachValueByItsRule) {
    const ConversionCase cases[] = {
        {"<Launcher><ConfigureFirewall>maybe</ConfigureFirewall></Launcher>",
         [](const CConfig &c) { return c.ConfigureFirewall; }, 1},
        {"<Launcher><DisplayEULA>off</DisplayEULA></Launcher>",
         [](const CConfig &c) { return c.DisplayEULA; }, 0},
        {"<Launcher><OptionalPatchDownloadDefault>Continue</OptionalPatchDownloadDefault></"
         "Launcher>",
         [](const CConfig &c) { return c.OptionalPatchDownloadDefault; }, 2},
        {"<Launcher><OptionalPatchDownloadDefault>pause</OptionalPatchDownloadDefault></Launcher>",
         [](const CConfig &c) { return c.OptionalPatchDownloadDefault; }, 0},
        {"<Launcher><MiniDumpType>Normal</MiniDumpType></Launcher>",
         [](const CConfig &c) { return c.MiniDumpType; }, 1},
        {"<Ports><RandomPortMin>-5</RandomPortMin></Ports>",
         [](const CConfig &c) { return c.RandomPortMin; }, 0},
        {"<Ports><RandomPortMax>99999999999</RandomPortMax></Ports>",
         [](const CConfig &c) { return c.RandomPortMax; }, 2147483647},
        {"<RateLimit><RateLimitEnabled>1</RateLimitEnabled><RateLimitEnabled>what</"
         "RateLimitEnabled></RateLimit>",
         [](const CConfig &c) { return c.RateLimitEnabled; }, 1},
        {"<RateLimit><UploadRate><Max>-100</Max></UploadRate></RateLimit>",
         [](const CConfig &c) { return (int)c.UploadRate.Max; }, 0},
        {"<LayoutInfo><Width>-1</Width></LayoutInfo>",
         [](const CConfig &c) { return c.LayoutWidth; }, 0},
        {"<LayoutInfo><Height>480px</Height></LayoutInfo>",
         [](const CConfig &c) { return c.LayoutHeight; }, 480},
        {"<LayoutInfo><TransparencyColor>255,0</TransparencyColor></LayoutInfo>",
         [](const CConfig &c) {
             return c.TransparencyColor[0] * 1000000 + c.TransparencyColor[1] * 1000 +
                    c.TransparencyColor[2];
         },
         255000000},
        {"<Updater><Mode>Download</Mode></Updater>",
         [](const CConfig &c) { return c.Updater.Mode; }, 1},
        {"<PackageList><Url>http://h/l</Url><Mode>PATCHER</Mode></PackageList>",
         [](const CConfig &c) { return c.Updater.Mode * 10 + c.Updater.IsPresent(); }, 1},
        // Within a section a later element overwrites an earlier one.
        {"<Ports><RandomPortMin>1</RandomPortMin><RandomPortMin>2</RandomPortMin></Ports>",
         [](const CConfig &c) { return c.RandomPortMin; }, 2},
        // Names are compared ignoring case.
        {"<lAUNCHER><displayeula>0</displayeula></lAUNCHER>",
         [](const CConfig &c) { return c.DisplayEULA; }, 0},
    };
    for (const ConversionCase &each : cases) {
        TempDir dir;
        CConfig c = ReadConfig(dir, each.Body);
        EXPECT_EQ(each.Read(c), each.Expected) << each.Body;
    }
}

TEST(Config, CutsTextsToTheirFields) {
    TempDir dir;
    std::string longText(400, 'a');
    CConfig c = ReadConfig(dir, "<Launcher><AppName>" + longText +
                                    "</AppName></Launcher>"
                                    "<LayoutInfo><Url>" +
                                    longText + "</Url></LayoutInfo>");
    EXPECT_EQ(std::string(c.AppName), longText.substr(0, 319));
    EXPECT_EQ(std::string(c.LayoutUrl), longText.substr(0, 319));
}

TEST(Config, RefusesMissingAndMalformedFiles) {
    TempDir dir;
    CConfig c;
    testsupport::ConsoleCapture console;
    EXPECT_EQ(c.Read((dir / "absent.xml").c_str()), 0);
    EXPECT_TRUE(console.Contains("CConfig::Read() unable to load")) << console.Text();
    testsupport::WriteFile(dir / "bad.xml", "<Config><Launcher>");
    EXPECT_EQ(c.Read((dir / "bad.xml").c_str()), 0);
    testsupport::WriteFile(dir / "empty.xml", "<?xml version=\"1.0\"?>");
    EXPECT_EQ(c.Read((dir / "empty.xml").c_str()), 0);
    // A failed read leaves the defaults, whatever was read before.
    CConfig read = ReadConfig(dir, "<Launcher><AppName>x</AppName></Launcher>");
    EXPECT_EQ(read.Read((dir / "bad.xml").c_str()), 0);
    EXPECT_STREQ(read.AppName, "");
}

} // namespace
