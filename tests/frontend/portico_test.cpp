// `portico` as the user sees it, on a virtual display with a window manager: the
// shaped window and its page, one instance, closing, and the start-up refusals.
#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>

#include "tests/frontend/xsession.h"
#include "tests/support/support.h"

namespace {

using xtest::X;

// A configuration with the skin of the tests: 400 x 300, magenta cut out.
std::string Config(const std::string &appName, const std::string &extraLauncher = "",
                   const std::string &frame = "frame.bmp") {
    return "<Config><Launcher><AppName>" + appName +
           "</AppName><AppRegistryPath>Software\\PorticoTest\\" + appName +
           "</AppRegistryPath><DisplayEULA>0</DisplayEULA>" + extraLauncher +
           "</Launcher><LayoutInfo><Url>skin.html</Url><Width>400</Width><Height>300</Height>"
           "<FrameBitmap>" +
           frame +
           "</FrameBitmap><TransparencyColor>255,0,255</TransparencyColor></LayoutInfo>"
           "</Config>";
}

// The skin: a page of one colour (#208040); the frame: a rounded rectangle
// with a round hole, the rest magenta.
void WriteSkin(const std::string &folder, int depth) {
    testsupport::WriteFile(
        folder + "/skin.html",
        "<html><head><script>function __Launcher_getVersion() { return 5; }</script>"
        "</head><body style='margin:0;background:#208040'></body></html>");
    xtest::WriteFrame(folder + "/frame.bmp", depth);
}

class PorticoTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(xtest::StartDisplay(false)); }
    void TearDown() override {
        for (pid_t pid : started) {
            kill(pid, SIGKILL);
            testsupport::WaitChild(pid);
        }
    }
    pid_t Start(const xtest::ProgramFolder &folder) {
        pid_t pid = xtest::StartPortico(folder);
        started.push_back(pid);
        return pid;
    }
    int Finish(pid_t pid, double seconds) {
        started.erase(std::remove(started.begin(), started.end(), pid), started.end());
        return xtest::WaitExit(pid, seconds);
    }
    std::vector<pid_t> started;
    testsupport::TempDir dir;
};

TEST_F(PorticoTest, ShapedWindowShowsThePageInsideTheFrame) {
    for (int depth : {24}) { // other depths: WindowGtkTest
        SCOPED_TRACE(depth);
        testsupport::TempDir folderDir;
        std::string name = "Shaped" + std::to_string(depth);
        xtest::ProgramFolder folder =
            xtest::MakeProgramFolder(folderDir.path(), name, Config(name));
        WriteSkin(folder.path, depth);
        pid_t pid = Start(folder);
        std::string window = xtest::FindWindow(name, 240);
        ASSERT_FALSE(window.empty()) << testsupport::ReadFile(folder.log);
        xtest::Geometry g = xtest::GeometryOf(window);
        EXPECT_EQ(g.width, 400);
        EXPECT_EQ(g.height, 300);
        std::string shape;
        X("xwininfo -shape -id " + window, &shape);
        EXPECT_NE(shape.find("Window shape extents:  380x280+10+10"), std::string::npos) << shape;
        // The page, once loaded, inside; the root colour in the corners and the hole.
        EXPECT_TRUE(
            xtest::WaitFor([&] { return xtest::PixelAt(g.x + 100, g.y + 60) == "32,128,64"; }, 240))
            << xtest::PixelAt(g.x + 100, g.y + 60);
        EXPECT_EQ(xtest::PixelAt(g.x + 1, g.y + 1), "18,52,86");
        EXPECT_EQ(xtest::PixelAt(g.x + 398, g.y + 298), "18,52,86");
        EXPECT_EQ(xtest::PixelAt(g.x + 200, g.y + 150), "18,52,86");
        kill(pid, SIGTERM);
        Finish(pid, 30);
    }
}

TEST_F(PorticoTest, EnterAndEscapeDoNotCloseButTheWindowManagerDoes) {
    xtest::ProgramFolder folder =
        xtest::MakeProgramFolder(dir.path(), "KeysApp", Config("KeysApp"));
    WriteSkin(folder.path, 24);
    pid_t pid = Start(folder);
    std::string window = xtest::FindWindow("KeysApp", 240);
    ASSERT_FALSE(window.empty()) << testsupport::ReadFile(folder.log);
    X("xdotool windowactivate --sync " + window + " key Return key Escape");
    EXPECT_EQ(xtest::WaitExit(pid, 2), -2) << "Enter or Escape closed the window";
    started.clear(); // WaitExit killed it
    pid = Start(folder);
    window = xtest::FindWindow("KeysApp", 240);
    ASSERT_FALSE(window.empty());
    X("xdotool windowactivate --sync " + window + " key alt+F4");
    EXPECT_EQ(Finish(pid, 240), 0) << testsupport::ReadFile(folder.log);
    std::string settings = testsupport::ReadFile(folder.path + "/launcher.settings.xml");
    EXPECT_NE(settings.find("<EULAAccepted>0</EULAAccepted>"), std::string::npos) << settings;
}

TEST_F(PorticoTest, SecondStartExitsAtOnceAndBringsTheFirstForward) {
    xtest::ProgramFolder folder =
        xtest::MakeProgramFolder(dir.path(), "OnceApp", Config("OnceApp"));
    WriteSkin(folder.path, 24);
    pid_t first = Start(folder);
    std::string window = xtest::FindWindow("OnceApp", 240);
    ASSERT_FALSE(window.empty()) << testsupport::ReadFile(folder.log);
    std::string logPath = folder.path + "/patcher_lib.log";
    ASSERT_TRUE(xtest::WaitFor([&] { return testsupport::FileExists(logPath); }, 30));
    X("xdotool windowminimize --sync " + window);
    EXPECT_NE(xtest::Property(window, "WM_STATE").find("Iconic"), std::string::npos);
    std::string logBefore = testsupport::ReadFile(logPath);

    pid_t second = xtest::StartPortico(folder);
    EXPECT_EQ(xtest::WaitExit(second, 240), 0);
    EXPECT_TRUE(xtest::WaitFor(
        [&] { return xtest::Property(window, "WM_STATE").find("Normal") != std::string::npos; },
        30));
    // The first instance's log was not replaced (it only grows).
    EXPECT_EQ(testsupport::ReadFile(logPath).compare(0, logBefore.size(), logBefore), 0);
    EXPECT_FALSE(testsupport::FileExists(folder.path + "/launcher.settings.xml"));
    X("xdotool windowactivate --sync " + window + " key alt+F4");
    EXPECT_EQ(Finish(first, 240), 0);
}

// Declining the licence agreement, by Escape or by the window manager's close,
// ends the program before its window shows; the settings still say it was
// not accepted.
TEST_F(PorticoTest, DecliningTheAgreementEndsWithItUnaccepted) {
    for (const char *keys : {"Escape", "alt+F4"}) {
        SCOPED_TRACE(keys);
        testsupport::TempDir folderDir;
        xtest::ProgramFolder folder = xtest::MakeProgramFolder(
            folderDir.path(), "EulaApp", Config("EulaApp", "<DisplayEULA>1</DisplayEULA>"));
        WriteSkin(folder.path, 24);
        testsupport::WriteFile(folder.path + "/eula-en.txt", "Short terms.\n");
        pid_t pid = Start(folder);
        std::string dialog = xtest::FindWindow("Licence agreement", 240);
        ASSERT_FALSE(dialog.empty()) << testsupport::ReadFile(folder.log);
        EXPECT_TRUE(xtest::FindWindow("EulaApp", 0).empty());
        X("xdotool windowactivate --sync " + dialog + " key " + keys);
        EXPECT_EQ(Finish(pid, 240), 1) << testsupport::ReadFile(folder.log);
        std::string log = testsupport::ReadFile(folder.path + "/patcher_lib.log");
        EXPECT_NE(log.find("licence agreement declined"), std::string::npos) << log;
        std::string settings = testsupport::ReadFile(folder.path + "/launcher.settings.xml");
        EXPECT_NE(settings.find("<EULAAccepted>0</EULAAccepted>"), std::string::npos) << settings;
    }
}

// A start-up refusal shows its message in a box; OK ends the program.
struct RefusalCase {
    const char *name;
    const char *message;  // part of the box's text
    int writeConfig;      // 0: none, 1: broken XML, 2: the usual one
    int removeStrings;    // 1: no language module
    const char *launcher; // extra configuration
    int eulaFile;         // 1: write eula-en.txt
};

TEST_F(PorticoTest, StartUpRefusalsShowTheirMessageAndEnd) {
    const RefusalCase cases[] = {
        {"no language module", "Unable to load language module [launcher.lang-en.xml]", 2, 1, "",
         0},
        {"unreadable configuration", "configuration (launcher.config.xml) is missing", 1, 0, "", 0},
        {"no configuration", "configuration (launcher.config.xml) is missing", 0, 0, "", 0},
        {"licence agreement missing", "Unable to read the licence agreement [eula-en.txt]", 2, 0,
         "<DisplayEULA>1</DisplayEULA>", 0},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir folderDir;
        std::string config = c.writeConfig == 2 ? Config("RefusedApp", c.launcher)
                                                : (c.writeConfig == 1 ? "<Config><Launcher" : "");
        // DisplayEULA given twice: the later one counts.
        xtest::ProgramFolder folder =
            xtest::MakeProgramFolder(folderDir.path(), "RefusedApp", config);
        WriteSkin(folder.path, 24);
        if (c.removeStrings)
            unlink((folder.path + "/launcher.lang-en.xml").c_str());
        pid_t pid = Start(folder);
        std::string box = xtest::FindWindow("(portico|RefusedApp)", 240);
        ASSERT_FALSE(box.empty()) << testsupport::ReadFile(folder.log);
        EXPECT_NE(testsupport::ReadFile(folder.log).find(c.message), std::string::npos)
            << testsupport::ReadFile(folder.log);
        X("xdotool windowactivate --sync " + box + " key Return");
        EXPECT_EQ(Finish(pid, 240), 1);
        EXPECT_TRUE(xtest::FindWindow("RefusedApp", 0).empty());
    }
}

} // namespace
