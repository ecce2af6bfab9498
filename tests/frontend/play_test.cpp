// Starting the game and other programs: "play" against the package list's
// state, what each OptionalPatchDownload value does while and after the game
// runs, start failures, "launchProcess" children that are all reaped, and
// external addresses handed to the desktop's opener.
#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/stat.h>

#include "patcher/patcher.h"
#include "tests/frontend/frontend_support.h"

namespace {

using frontendtest::kListTarget;
using frontendtest::ModelTest;
using V = std::vector<std::string>;

// Children of this process that ended but were not reaped yet.
int ZombieChildren() {
    int zombies = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return -1;
    std::string self = std::to_string(getpid());
    while (dirent *entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close = text.rfind(')');
        if (close == std::string::npos || close + 4 >= text.size())
            continue;
        // After ") " come the state and the parent's pid.
        char state = text[close + 2];
        std::string rest = text.substr(close + 4);
        std::string parent = rest.substr(0, rest.find(' '));
        zombies += parent == self && state == 'Z';
    }
    closedir(proc);
    return zombies;
}

class PlayTest : public ModelTest {
  protected:
    void WriteScript(const std::string &name, const std::string &body) {
        std::string path = dir_ / name;
        testsupport::WriteFile(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }
    int OpenWithGame(const char *onPlay, const char *optional) {
        return Open(frontendtest::DefaultConfig() + "<Events><OnPlay><RelativePath>" + onPlay +
                    "</RelativePath></OnPlay></Events><Launcher><OptionalPatchDownloadDefault>" +
                    optional + "</OptionalPatchDownloadDefault></Launcher>");
    }
    void QueueListState(int listState, int descriptorType, int packageState) {
        PatcherPackageListStatusRecord record{};
        Zyl_StrCopy(record.ListName, kListTarget, sizeof(record.ListName));
        record.ListState = listState;
        record.Status.PackageDescriptorType = descriptorType;
        record.Status.State = packageState;
        Patcher_QueuePackageListStatus(Engine(), &record);
        model->Tick();
    }
    int Play() { return Page()->CallBool("play"); }
};

TEST_F(PlayTest, PlayFollowsTheListState) {
    struct {
        int ListState, DescriptorType, PackageState;
        bool Plays;
    } cases[] = {
        {2, 1, PATCHER_STATE_DOWNLOAD, true},     {4, 1, PATCHER_STATE_PROCESS, true},
        {1, 2, PATCHER_STATE_DOWNLOAD, true},     {3, 2, PATCHER_STATE_SAVE, true},
        {3, 2, PATCHER_STATE_PREPROCESS, false},  {3, 2, PATCHER_STATE_PROCESS, false},
        {1, 2, PATCHER_STATE_POSTPROCESS, false}, {1, 1, PATCHER_STATE_DOWNLOAD, false},
        {0, 2, PATCHER_STATE_DOWNLOAD, false},    {5, 2, PATCHER_STATE_DOWNLOAD, false},
    };
    WriteScript("game.sh", "exit 0");
    ASSERT_EQ(OpenWithGame("game.sh", "CONTINUE"), 1);
    for (auto &c : cases) {
        view.calls.clear();
        QueueListState(c.ListState, c.DescriptorType, c.PackageState);
        EXPECT_EQ(Play(), 1);
        EXPECT_EQ(view.calls, c.Plays ? V({"Minimize"}) : V())
            << c.ListState << " " << c.DescriptorType << " " << c.PackageState;
    }
}

// A single download as the target: no list state to wait for.
constexpr const char *kMovie = "http://127.0.0.1:1/movie.torrent";
std::string DownloadGame(const char *optional) {
    return std::string("<LayoutInfo><Url>index.html</Url></LayoutInfo><Updater><Mode>Download"
                       "</Mode><Target>") +
           kMovie +
           "</Target><OutputPath>out</OutputPath><AuthorizationUrl>http://127.0.0.1:1/s"
           "</AuthorizationUrl></Updater><Events><OnPlay><RelativePath>game.sh</RelativePath>"
           "</OnPlay></Events><Launcher><OptionalPatchDownloadDefault>" +
           optional + "</OptionalPatchDownloadDefault></Launcher>";
}

TEST_F(PlayTest, ResumePausesTheTargetUntilTheGameEnds) {
    WriteScript("game.sh", "exec sleep 60");
    ASSERT_EQ(Open(DownloadGame("RESUME")), 1);
    model->Start();
    view.calls.clear();
    int32_t active = 0;
    EXPECT_EQ(LauncherLib_GetDownloadActive(kMovie, &active), 1);
    EXPECT_EQ(Play(), 1);
    EXPECT_EQ(view.calls, V({"Minimize"}));
    EXPECT_EQ(model->IsTargetStarted(), 0);
    EXPECT_EQ(LauncherLib_GetDownloadActive(kMovie, &active), 0);
    int pid = model->GetGamePid();
    ASSERT_GT(pid, 0);
    // While the game runs each tick reports the stored list status again.
    Page()->calls.clear();
    model->Tick();
    EXPECT_EQ(Page()->CallsOf("__Patcher_reportpackageListStatus").size(), 1u);
    EXPECT_EQ(model->IsPlaying(), 1);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    // The first tick that finds the game ended restores the view and the target.
    for (int i = 0; i < 500 && model->IsPlaying() == 1; i++) {
        usleep(10000);
        model->Tick();
    }
    EXPECT_EQ(model->IsPlaying(), 0);
    EXPECT_EQ(view.calls, V({"Minimize", "Restore"}));
    EXPECT_EQ(model->IsTargetStarted(), 1);
    EXPECT_EQ(LauncherLib_GetDownloadActive(kMovie, &active), 1);
    EXPECT_EQ(ZombieChildren(), 0);
}

TEST_F(PlayTest, ContinueKeepsTheTargetRunning) {
    WriteScript("game.sh", "exit 0");
    ASSERT_EQ(Open(DownloadGame("CONTINUE")), 1);
    model->Start();
    view.calls.clear();
    EXPECT_EQ(Play(), 1);
    EXPECT_EQ(view.calls, V({"Minimize"}));
    EXPECT_EQ(model->IsTargetStarted(), 1);
    EXPECT_EQ(model->IsPlaying(), 0);
}

TEST_F(PlayTest, CloseWhenTheGameStartsOrThereIsNone) {
    WriteScript("game.sh", "exit 0");
    ASSERT_EQ(OpenWithGame("game.sh", "close"), 1);
    QueueListState(4, 1, 1);
    EXPECT_EQ(Play(), 1);
    EXPECT_EQ(view.calls, V({"Navigate:" + Folder() + "skin/en/index.html", "Close"}));
    CloseModel();
    view.calls.clear();
    ASSERT_EQ(Open(frontendtest::DefaultConfig()), 1);
    QueueListState(2, 1, 1);
    EXPECT_EQ(Play(), 1);
    EXPECT_EQ(view.Count("Close"), 1);
}

TEST_F(PlayTest, AGameThatCannotStartIsAFatalError) {
    ASSERT_EQ(OpenWithGame("no-such-game --fast", "CONTINUE"), 1);
    QueueListState(4, 1, 1);
    EXPECT_EQ(Play(), 1);
    auto errors = Page()->CallsOf("__Launcher_reportlauncherError");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Arguments.at(0), "I:11");
    EXPECT_EQ(
        errors[0].Arguments.at(2),
        "S:ProcessLaunch [no-such-game --fast] fails with error 'No such file or directory'\n");
    EXPECT_EQ(view.Count("Close"), 1);
}

TEST_F(PlayTest, LaunchProcessFindsProgramsAndReapsThem) {
    WriteScript("mark.sh", "echo \"$1\" > \"$(dirname \"$0\")/marked\"");
    ASSERT_EQ(Open(), 1);
    // URL-encoded, and a bare name is looked for in the program's folder first.
    EXPECT_EQ(Page()->CallBool("launchProcess", "string:mark.sh%20%22two%20words%22|bool:1"), 1);
    for (int i = 0; i < 500 && !testsupport::FileExists(dir_ / "marked"); i++)
        usleep(10000);
    for (int i = 0; i < 100 && testsupport::ReadFile(dir_ / "marked") != "two words\n"; i++)
        usleep(10000);
    EXPECT_EQ(testsupport::ReadFile(dir_ / "marked"), "two words\n");
    // A name not in the program's folder comes from PATH.
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(Page()->CallBool("launchProcess", "string:true|bool:0"), 1);
    EXPECT_EQ(Page()->CallBool("launchProcess", "string:no-such-program|bool:0"), 0);
    model->Tick();
    bool logged = false;
    for (const std::string &line : model->GetLogLines())
        logged |=
            line.find("ProcessLaunch [no-such-program] fails with error") != std::string::npos;
    EXPECT_TRUE(logged);
    int zombies = -1;
    for (int i = 0; i < 500 && (zombies = ZombieChildren()) != 0; i++)
        usleep(10000);
    EXPECT_EQ(zombies, 0);
}

// "navigate" with external true hands the address to xdg-open: a web address
// as given, anything else under the program's folder; without an opener the
// failure is logged and the page still gets true.
TEST_F(PlayTest, ExternalAddressesGoToTheDesktopOpener) {
    std::filesystem::path bin = dir_ / "bin";
    std::filesystem::create_directories(bin);
    std::string opened = dir_ / "opened";
    testsupport::WriteFile(bin / "xdg-open",
                           "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + opened + "'\n");
    chmod((bin / "xdg-open").c_str(), 0755);
    const char *path = getenv("PATH");
    environment_.Set("PATH", bin.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(Page()->CallBool("navigate", "string:https://example.org/a?b=1|bool:true"), 1);
    EXPECT_EQ(Page()->CallBool("navigate", "string:docs/readme.html|bool:1"), 1);
    EXPECT_EQ(view.Count("Navigate"), 0);
    std::string expected = "https://example.org/a?b=1\n" + Folder() + "docs/readme.html\n";
    for (int i = 0; i < 500 && testsupport::ReadFile(opened).size() < expected.size(); i++)
        usleep(10000);
    // The two openers run side by side: compare without their order.
    std::string got = testsupport::ReadFile(opened);
    EXPECT_TRUE(got == expected || got == expected.substr(expected.find('\n') + 1) +
                                              expected.substr(0, expected.find('\n') + 1))
        << got;

    environment_.Set("PATH", dir_ / "empty");
    EXPECT_EQ(Page()->CallBool("navigate", "string:https://example.org/b|bool:1"), 1);
    model->Tick();
    bool logged = false;
    for (const std::string &line : model->GetLogLines())
        logged |=
            line.find("xdg-open [https://example.org/b] fails with error") != std::string::npos;
    EXPECT_TRUE(logged);
}

} // namespace
