// The start of the self-updater: a stand-in updater (a small program recording
// its arguments) is copied beside the test program, as the launcher's program
// folder, and started once, whatever the working folder. One test, so that no
// two tests share the program folder's files at once.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/oshelper.h"
#include "patcher/launcherlib.h"
#include "platform/psapi.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

std::string Folder(const std::string &path) {
    return path.substr(0, path.rfind('/') + 1);
}

// The stand-in's lines (its pid, each argument, "end") once it has written them all.
std::vector<std::string> WaitForLines(const std::string &log, int ends) {
    for (int i = 0; i < 2000; ++i) {
        std::string text = testsupport::FileExists(log) ? testsupport::ReadFile(log) : "";
        int count = 0;
        for (size_t at = text.find("end\n"); at != std::string::npos;
             at = text.find("end\n", at + 1))
            ++count;
        if (count >= ends) {
            std::vector<std::string> lines;
            size_t start = 0;
            for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
                lines.push_back(text.substr(start, end - start));
            return lines;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

void Stop(const std::string &path) {
    int pid = 0;
    while (Psapi_FindByPath(path.c_str(), &pid)) {
        kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Works in a folder of its own and leaves the program folder, the working
// folder and the process list as it found them, whatever fails on the way.
class UpdaterLaunchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment.Set("UPKEEP_STANDIN_LOG", log);
        unlink(updater.c_str());
        unlink(copy.c_str());
        ASSERT_NE(nullptr, getcwd(oldCwd, sizeof(oldCwd)));
        ASSERT_EQ(0, chdir(dir.path().c_str()));
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
    }
    void TearDown() override {
        testsupport::StopAlertCapture();
        Stop(copy);
        Stop(elsewhere);
        unlink(updater.c_str());
        unlink(copy.c_str());
        EXPECT_EQ(0, chdir(oldCwd));
    }

    testsupport::TempDir dir;
    patchertest::ScopedEnvironment environment;
    std::string self = testsupport::SelfPath();
    std::string updater = Folder(self) + "upkeep";
    std::string copy = Folder(self) + "upkeep_tmp";
    std::string elsewhere = dir / "upkeep_tmp";
    std::string log = dir / "arguments.log";
    char oldCwd[4096] = "/";
};

TEST_F(UpdaterLaunchTest, StartsTheCopyOnceFromTheProgramFolder) {
    // No updater beside the program (one in the working folder does not count).
    testsupport::WriteFile(dir / "upkeep", testsupport::ReadFile(PORTICO_UPKEEP_STANDIN));
    EXPECT_EQ(0, LauncherLib_LaunchUpdater("c", "o", "/v/game.version"));
    EXPECT_TRUE(testsupport::AlertSeen("Unable to copy [" + copy + "]"))
        << testsupport::AlertText();
    EXPECT_FALSE(testsupport::FileExists(copy));

    // A program of the copy's name elsewhere is running: not the copy.
    ASSERT_EQ(0, testsupport::RunCommand("cp '" + std::string(PORTICO_UPKEEP_STANDIN) + "' '" +
                                         elsewhere + "' && UPKEEP_STANDIN_LOG=/dev/null '" +
                                         elsewhere + "' >/dev/null 2>&1 &"));
    int pid = 0;
    for (int i = 0; i < 2000 && !Psapi_FindByPath(elsewhere.c_str(), &pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(0, pid);

    ASSERT_EQ(0, testsupport::RunCommand("cp '" + std::string(PORTICO_UPKEEP_STANDIN) + "' '" +
                                         updater + "'"));
    EXPECT_EQ(1, LauncherLib_LaunchUpdater("c", "o", "/v/game.version"));
    std::vector<std::string> lines = WaitForLines(log, 1);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("arg /App", lines[1]);
    EXPECT_EQ("arg " + self, lines[2]);
    EXPECT_EQ("arg /VersionFile", lines[3]);
    EXPECT_EQ("arg /v/game.version", lines[4]);
    struct stat info;
    ASSERT_EQ(0, stat(copy.c_str(), &info));
    EXPECT_NE(0u, info.st_mode & S_IXUSR);
    EXPECT_TRUE(testsupport::AlertSeen("[" + copy + "] successfully launched"));

    // Called again while the copy runs: nothing is copied or started.
    EXPECT_EQ(1, LauncherLib_LaunchUpdater("c", "o", "/v/other.version"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(lines.size(), WaitForLines(log, 1).size());
    EXPECT_EQ(1, testsupport::Count(testsupport::CapturedAlerts(),
                                    "[" + copy + "] successfully launched"));
}

} // namespace
