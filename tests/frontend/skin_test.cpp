// `portico` driven by its page, on the virtual display: the test skin
// (tests/frontend/skin/skin.html) is served by nginx together with the engine's
// package documents, and /harness/ on the same server leads to this test. The
// page defines every page function, runs the page commands and the string
// methods and posts one line per call, answer and key or button press; the
// test checks those lines, the files the program writes and what X shows, and
// hands the page further steps (dialogs, minimising, closing) one at a time.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "tests/frontend/xsession.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/patcher/update_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/support.h"

namespace {

using xtest::X;

constexpr const char *kRoot = "18,52,86";  // the display's root colour
constexpr const char *kPage = "32,128,64"; // the skin's background

// The test's end of /harness/: the page's lines, and the steps it asks for.
class Harness {
  public:
    Harness()
        : server_([this](nettest::ScriptedConnection &connection, int) { Serve(connection); }) {}
    int port() const { return server_.port(); }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    bool Has(const std::string &line) {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    // The lines that match pattern (whole line).
    std::vector<std::string> Matching(const std::string &pattern) {
        std::regex re(pattern);
        std::vector<std::string> found;
        for (const std::string &line : Lines())
            if (std::regex_match(line, re))
                found.push_back(line);
        return found;
    }
    bool WaitFor(const std::string &line, double seconds = 240) {
        return xtest::WaitFor([&] { return Has(line); }, seconds);
    }
    void Step(const std::string &step) {
        std::lock_guard<std::mutex> guard(mutex_);
        steps_.push_back(step);
    }
    std::string Dump() {
        std::string text;
        for (const std::string &line : Lines())
            text += line + "\n";
        return text;
    }

  private:
    void Serve(nettest::ScriptedConnection &connection) {
        std::string request = connection.ReadRequest();
        size_t head = request.find("\r\n\r\n");
        if (head == std::string::npos)
            return;
        std::string answer;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (request.rfind("POST /harness/record ", 0) == 0) {
                lines_.push_back(request.substr(head + 4));
            } else if (request.rfind("GET /harness/next ", 0) == 0 && !steps_.empty()) {
                answer = steps_.front();
                steps_.pop_front();
            }
        }
        connection.Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
                        "Content-Length: " +
                        std::to_string(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer);
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::deque<std::string> steps_;
    nettest::ScriptedServer server_; // last: stopped first
};

void WriteScript(const std::string &path, const std::string &body) {
    testsupport::WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
}

class SkinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xtest::StartDisplay(false));
        ASSERT_TRUE(nginx_.ok()) << nginx_.error();
        // The skin and the engine's documents: the launcher's own package with
        // a release above the installed one, and a package under maintenance.
        testsupport::WriteFile(nginx_.root() + "/skin.html",
                               testsupport::ReadFile(std::string(PORTICO_SOURCE_DIR) +
                                                     "/tests/frontend/skin/skin.html"));
        testsupport::WriteFile(nginx_.root() + "/game.package",
                               updatetest::PackageDocument("Incremental", {{3}, {4}}));
        testsupport::WriteFile(
            nginx_.root() + "/maint.package",
            updatetest::PackageDocument(
                "Maintenance", {},
                "  <MaintenanceOptions><MaintenanceUrl>http://status/</MaintenanceUrl>"
                "<AdditionalInfo>Back at noon</AdditionalInfo></MaintenanceOptions>\n"));

        std::string config =
            "<Config><Launcher><AppName>SkinApp</AppName><AppRegistryPath>Software\\PorticoTest\\"
            "SkinApp</AppRegistryPath><DisplayEULA>0</DisplayEULA>"
            "<OptionalPatchDownloadDefault>CONTINUE</OptionalPatchDownloadDefault>"
            "</Launcher><Updater><Mode>Download</Mode></Updater>"
            "<RateLimit><UploadRate><Default>100</Default><Max>1000</Max></UploadRate>"
            "<DownloadRate><Default>200</Default><Max>5000</Max></DownloadRate></RateLimit>"
            "<Events><OnPlay><RelativePath>game.sh</RelativePath></OnPlay></Events>"
            "<LayoutInfo><Url>" +
            nginx_.url("/skin.html") +
            "</Url><Width>400</Width><Height>300</Height><FrameBitmap>frame.bmp</FrameBitmap>"
            "<TransparencyColor>255,0,255</TransparencyColor></LayoutInfo></Config>";
        MakeFolder(dir_.path() + "/app");
        folder_ = xtest::MakeProgramFolder(dir_.path() + "/app", "SkinApp", "");
        testsupport::WriteFile(folder_.path + "/launcher.config.xml", config);
        xtest::WriteFrame(folder_.path + "/frame.bmp", 24);
        MakeFolder(folder_.path + "/gamefolder");
        updatetest::WriteVersion(folder_.path + "/gamefolder/game.version", 3);
        WriteScript(folder_.path + "/mark.sh", "echo \"$1\" > \"$(dirname \"$0\")/marked\"");
        WriteScript(folder_.path + "/game.sh", "echo played > \"$(dirname \"$0\")/played\"");
        // The desktop's opener: records what it is asked to open.
        mkdir((dir_.path() + "/bin").c_str(), 0755);
        WriteScript(dir_.path() + "/bin/xdg-open",
                    "printf '%s\\n' \"$*\" >> '" + dir_.path() + "/opened'");
        const char *path = getenv("PATH");
        environment_.Set("PATH",
                         dir_.path() + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin"));
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            testsupport::WaitChild(pid_);
        }
    }
    void MakeFolder(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

    // Starts the program, waits for its window and for the page's commands.
    void Launch() {
        pid_ = xtest::StartPortico(folder_);
        window_ = xtest::FindWindow("SkinApp", 240);
        ASSERT_FALSE(window_.empty()) << testsupport::ReadFile(folder_.log);
        ASSERT_TRUE(harness_.WaitFor("step commands"))
            << harness_.Dump() << testsupport::ReadFile(folder_.log);
    }
    // The page's step; waits until the page has run it.
    void RunStep(const std::string &step) {
        harness_.Step(step);
        std::string name = step.substr(0, step.find(' '));
        EXPECT_TRUE(harness_.WaitFor("step " + name)) << step << "\n" << harness_.Dump();
    }
    // The program's other visible window (a dialog), "" when none shows.
    std::string Dialog(double seconds) {
        std::string found;
        xtest::WaitFor(
            [&] {
                std::string out;
                X("xdotool search --onlyvisible --pid " + std::to_string(pid_) + " 2>/dev/null",
                  &out);
                size_t start = 0;
                while (start < out.size()) {
                    size_t end = out.find('\n', start);
                    std::string id = out.substr(start, end - start);
                    if (!id.empty() && id != window_ &&
                        xtest::GeometryOf(id).width > 1) { // not GTK's 1x1 helpers
                        found = id;
                        return true;
                    }
                    if (end == std::string::npos)
                        break;
                    start = end + 1;
                }
                return false;
            },
            seconds);
        return found;
    }
    bool WindowState(const std::string &state) {
        return xtest::WaitFor(
            [&] { return xtest::Property(window_, "WM_STATE").find(state) != std::string::npos; },
            120);
    }
    // Sends the page's close and waits for the program to end: its status.
    int Close() {
        harness_.Step("close");
        int status = xtest::WaitExit(pid_, 240);
        pid_ = -1;
        return status;
    }

    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
    Harness harness_;
    nettest::NginxServer nginx_{"location /harness/ { proxy_pass http://127.0.0.1:" +
                                std::to_string(harness_.port()) + "; }"};
    xtest::ProgramFolder folder_;
    pid_t pid_ = -1;
    std::string window_;
};

// Every command and string method through the page: the answers in the page's
// order, the page functions the engine's events call with their argument
// types, and what the commands leave behind once the page closes the program.
TEST_F(SkinTest, CommandsAndPageFunctions) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    std::string base = nginx_.url("/");
    std::string list = base + "list.xml";
    std::string movie = base + "movie.torrent";
    std::string auth = base + "auth";
    // The engine's own rules show through: a list with no current package is
    // active, and a download that is not downloading keeps its active flag.
    const std::vector<std::string> expected = {
        "call Bool setSettings bool:1|bool:0|bool:1|string:300|string:9000 -> boolean true",
        "call Settings getSettings - -> string \"1:0:1:300:5000\"",
        "call Bool setWindowSize int:460|int:340 -> boolean true",
        "call Bool launchProcess string:mark.sh%20%22two%20words%22|bool:0 -> boolean true",
        "call Bool sendInteropEvent string:any|int:1 -> boolean true",
        "call Bool sendAnalyticsEvent int:7 -> boolean true",
        "call Bool sendLog string:the page says hello -> boolean true",
        "call Bool sendError int:4|string:the page reports -> boolean true",
        "call Bool navigate string:https://example.org/a?b=1|bool:true -> boolean true",
        "call Bool play int:1 -> boolean true",
        "call Bool addPackage string:game|string:" + base + "|string:gamefolder -> boolean true",
        "call Bool addPackage string:maint|string:" + base + "|string:maintfolder -> boolean true",
        "call Bool getPackageActive string:maint -> boolean true",
        "call Bool setPackageOptions string:maint|bool:0|bool:1 -> boolean true",
        "call PackageOptions getPackageOptions string:maint -> string \"0:1\"",
        "call Bool addPackageOptions string:extra|string:" + base +
            "|string:extrafolder|bool:1|bool:0 -> boolean true",
        "call PackageOptions getPackageOptions string:extra -> string \"1:0\"",
        "call Bool setPackageActive string:extra|bool:0 -> boolean true",
        "call Bool getPackageActive string:extra -> boolean false",
        "call Bool removePackage string:extra -> boolean true",
        "call Bool removePackage string:nosuch -> boolean false",
        "call Bool setPackageOptions string:nosuch|bool:1|bool:1 -> boolean false",
        "call Bool addPackageList string:ignored|string:" + list + " -> boolean true",
        "call Bool getPackageListActive string:" + list + " -> boolean true",
        "call Bool setPackageListOptions string:" + list + "|bool:0|bool:1 -> boolean true",
        "call PackageOptions getPackageListOptions string:" + list + " -> string \"0:1\"",
        "call Bool setPackageListActive string:" + list + "|bool:0 -> boolean true",
        "call Bool getPackageListActive string:" + list + " -> boolean true",
        "call Bool removePackageList string:" + list + " -> boolean true",
        "call Bool addPackageListOptions string:ignored|string:" + list +
            "2|bool:1|bool:1 -> boolean true",
        "call PackageOptions getPackageListOptions string:" + list + "2 -> string \"1:1\"",
        "call Bool setPackageListOptions string:" + base +
            "nosuch.xml|bool:1|bool:1 -> boolean false",
        "call Bool addDownload string:movie|string:" + movie + "|string:movieout|string:" + auth +
            " -> boolean true",
        "call Bool getDownloadActive string:movie -> boolean true",
        "call Bool setDownloadOptions string:movie|bool:0|bool:1 -> boolean true",
        "call PackageOptions getDownloadOptions string:movie -> string \"0:1\"",
        "call Bool setDownloadActive string:movie|bool:0 -> boolean true",
        "call Bool getDownloadActive string:movie -> boolean true",
        "call Bool removeDownload string:movie -> boolean true",
        "call Bool addDownloadOptions string:movie2|string:" + movie +
            "2|string:movieout2|string:" + auth + "|bool:1|bool:0 -> boolean true",
        "call PackageOptions getDownloadOptions string:movie2 -> string \"1:0\"",
        "call Bool getDownloadActive string:nosuch -> boolean false",
        "call Bool noSuchCommand - -> boolean false",
        "call String openNativeDirectoryBrowserPage - -> string \"\"",
        "call String noSuchText string:x -> string \"\"",
        "call Settings noSuchSettings - -> string \"\"",
        "call PackageOptions getPackageOptions - -> string \"\"",
    };
    EXPECT_EQ(harness_.Matching("call .*"), expected) << harness_.Dump();

    // Booleans arrive as "TRUE" or "FALSE", 64-bit counters as decimal text.
    const std::string stamp = "string \"[0-9/]+ [0-9:]+\"";
    const std::string text = "string \"[^\"]*\"";
    const std::string number = "number [0-9.e+-]+";
    const std::string counter = "string \"[0-9]+\"";
    const std::string flag = "string \"(TRUE|FALSE)\"";
    std::string status; // the package status fields after the state
    for (const std::string &type :
         {text, number, text, number, number, number, flag, counter, counter, counter, counter,
          counter, number, number, number, counter, counter})
        status += ", " + type;
    const std::vector<std::string> patterns = {
        "fn __Launcher_getVersion\\(\\)",
        std::string("fn __Launcher_reportlauncherSettingsChanged\\(string \"TRUE\", ") +
            "string \"FALSE\", string \"TRUE\", string \"300\", string \"5000\"\\)",
        "fn __Launcher_reportlauncherLog\\(" + stamp +
            ", string \"\\[INFO\\] the page says hello\"\\)",
        "fn __Launcher_reportlauncherError\\(number 4, " + stamp +
            ", string \"\\[ERROR\\] the page reports\"\\)",
        std::string("fn __Patcher_reportpackageUpdateAvailable\\(string \"game\", ") +
            "number 2, string \"v3\", number 3, string \"v4\", number 4\\)",
        std::string("fn __Patcher_reportpackageMaintenance\\(string \"maint\", ") +
            "string \"http://status/\", string \"Back at noon\"\\)",
        // The first list may be gone before its first status.
        "fn __Patcher_reportpackageListStatus\\(string \"" + list +
            "2?\", string \"\", number 1, " + number + status + "\\)",
        "fn __Downloader_reportdownloadStatus\\(string \"movie2\", " + number + ", " + number +
            ", " + counter + ", " + counter + ", " + number + ", " + number + ", " + number + ", " +
            counter + ", " + counter + ", " + counter + "\\)",
    };
    for (const std::string &pattern : patterns) {
        EXPECT_TRUE(xtest::WaitFor([&] { return !harness_.Matching(pattern).empty(); }, 240))
            << pattern << "\n"
            << harness_.Dump();
    }
    EXPECT_EQ(harness_.Matching("fn __Launcher_getVersion.*").size(), 1u);
    // The declined release was not installed.
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            return testsupport::ReadFile(folder_.path + "/patcher_lib.log")
                       .find("Update suppressed due to event request [3/4,3]") != std::string::npos;
        },
        240));
    EXPECT_TRUE(xtest::WaitFor(
        [&] { return testsupport::ReadFile(folder_.path + "/marked") == "two words\n"; }, 240));
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            return testsupport::ReadFile(dir_.path() + "/opened") == "https://example.org/a?b=1\n";
        },
        240))
        << testsupport::ReadFile(dir_.path() + "/opened");

    EXPECT_EQ(Close(), 0) << testsupport::ReadFile(folder_.log);
    EXPECT_EQ(testsupport::ReadFile(folder_.path + "/launcher.settings.xml"),
              "<?xml version=\"1.0\" ?>\n<Config>\n    <P2PEnabled>1</P2PEnabled>\n"
              "    <WebEnabled>0</WebEnabled>\n    <RateLimitEnabled>1</RateLimitEnabled>\n"
              "    <RateLimitUp>300</RateLimitUp>\n    <RateLimitDown>5000</RateLimitDown>\n"
              "    <EULAAccepted>0</EULAAccepted>\n"
              "    <OptionalPatchDownload>2</OptionalPatchDownload>\n</Config>\n");
    std::string log = testsupport::ReadFile(folder_.path + "/patcher_lib.log");
    for (const char *line :
         {"[INFO] the page says hello", "[ERROR] the page reports",
          "ScriptResponder:: incorrect # parameters play()", "Unhandled event [noSuchCommand]"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// What X shows of the page's window: the size the page set, the frame's shape
// over it (the window is larger than the frame: the rest is cut away too), the
// page inside; keys reach the page without closing it; a press on the page
// drags the window; "play" and "minimize" iconify it.
TEST_F(SkinTest, TheWindowFollowsThePage) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    xtest::Geometry g;
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            g = xtest::GeometryOf(window_);
            return g.width == 460 && g.height == 340;
        },
        240))
        << g.width << "x" << g.height;
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            std::string shape;
            X("xwininfo -shape -id " + window_, &shape);
            return shape.find("Window shape extents:  380x280+10+10") != std::string::npos;
        },
        240));
    // The frame is painted behind the page until the page has loaded.
    EXPECT_TRUE(xtest::WaitFor([&] { return xtest::PixelAt(g.x + 100, g.y + 60) == kPage; }, 240))
        << xtest::PixelAt(g.x + 100, g.y + 60);
    for (auto [x, y] : {std::pair{1, 1}, {200, 150}, {398, 298}, {430, 320}, {420, 100}})
        EXPECT_EQ(xtest::PixelAt(g.x + x, g.y + y), kRoot) << x << "," << y;

    X("xdotool windowactivate --sync " + window_ + " key Return key Escape");
    EXPECT_TRUE(harness_.WaitFor("key Enter"));
    EXPECT_TRUE(harness_.WaitFor("key Escape"));
    int raw = 0;
    EXPECT_EQ(waitpid(pid_, &raw, WNOHANG), 0) << "Enter or Escape ended the program";
    EXPECT_FALSE(xtest::FindWindow("SkinApp", 0).empty());

    // The pointer's offset while button 1 is down moves the window.
    ASSERT_EQ(X("xdotool mousemove --sync " + std::to_string(g.x + 100) + " " +
                std::to_string(g.y + 60) + " mousedown 1"),
              0);
    EXPECT_TRUE(harness_.WaitFor("call Bool beginMoveWindow - -> boolean true")) << harness_.Dump();
    X("xdotool mousemove_relative --sync 30 20");
    X("xdotool mousemove_relative --sync 40 25");
    X("xdotool mouseup 1");
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            xtest::Geometry after = xtest::GeometryOf(window_);
            return after.x == g.x + 70 && after.y == g.y + 45;
        },
        120))
        << xtest::GeometryOf(window_).x << "," << xtest::GeometryOf(window_).y << " from " << g.x
        << "," << g.y;

    // The game starts and the window gets out of its way (CONTINUE).
    RunStep("play");
    EXPECT_TRUE(harness_.Has("call Bool play - -> boolean true")) << harness_.Dump();
    EXPECT_TRUE(xtest::WaitFor(
        [&] { return testsupport::ReadFile(folder_.path + "/played") == "played\n"; }, 240));
    EXPECT_TRUE(WindowState("Iconic"));
    X("xdotool windowactivate --sync " + window_);
    EXPECT_TRUE(WindowState("Normal"));
    RunStep("minimize");
    EXPECT_TRUE(harness_.Has("call Bool minimize - -> boolean true")) << harness_.Dump();
    EXPECT_TRUE(WindowState("Iconic"));
    EXPECT_EQ(Close(), 0) << testsupport::ReadFile(folder_.log);
}

// The native windows the page opens: the folder picker answers a typed path
// or "" when cancelled, the log window returns once closed.
TEST_F(SkinTest, DialogsAnswerThePage) {
    std::string initial = dir_.path() + "/start";
    std::string typed = dir_.path() + "/typed folder";
    MakeFolder(initial);
    MakeFolder(typed);
    ASSERT_NO_FATAL_FAILURE(Launch());

    harness_.Step("folder " + initial);
    std::string picker = Dialog(240);
    ASSERT_FALSE(picker.empty()) << harness_.Dump();
    // The location entry takes the path; Enter chooses it.
    EXPECT_EQ(X("timeout 120 xdotool windowactivate --sync " + picker + " key ctrl+l"), 0);
    EXPECT_EQ(X("timeout 120 xdotool type --delay 20 '" + typed + "'"), 0);
    EXPECT_EQ(X("timeout 120 xdotool key Return"), 0);
    EXPECT_TRUE(harness_.WaitFor("call String openNativeDirectoryBrowserPage string:" + initial +
                                 " -> string \"" + typed + "\""))
        << harness_.Dump();
    EXPECT_TRUE(harness_.WaitFor("step folder"));

    harness_.Step("folder " + initial);
    picker = Dialog(240);
    ASSERT_FALSE(picker.empty()) << harness_.Dump();
    EXPECT_EQ(X("timeout 120 xdotool windowactivate --sync " + picker + " key Escape"), 0);
    EXPECT_TRUE(harness_.WaitFor("call String openNativeDirectoryBrowserPage string:" + initial +
                                 " -> string \"\""))
        << harness_.Dump();

    harness_.Step("log");
    std::string log = xtest::FindWindow("Launcher log", 240);
    ASSERT_FALSE(log.empty()) << harness_.Dump();
    EXPECT_EQ(X("timeout 120 xdotool windowactivate --sync " + log + " key Escape"), 0);
    EXPECT_TRUE(harness_.WaitFor("call Bool openNativeLogPage - -> boolean true"))
        << harness_.Dump();
    EXPECT_EQ(Close(), 0) << testsupport::ReadFile(folder_.log);
}

} // namespace
