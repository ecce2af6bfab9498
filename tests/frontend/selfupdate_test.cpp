// The launcher updating itself, end to end on the virtual display: `portico`
// fetches its own package from nginx, its page allows the restart, the copy
// of the self-updater waits until `portico` has exited, expands the release,
// records the task and starts `portico` again, which finishes the task. The
// page reports what it is told by fetching addresses of nginx, whose access
// log the test reads; a thread watches /proc throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "patcher/updaterhold.h"
#include "tests/frontend/xsession.h"
#include "tests/patcher/update_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;

// The pids whose program is path (a deleted program's suffix ignored).
std::vector<pid_t> RunningFrom(const std::string &path) {
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        char target[4096];
        ssize_t size = readlink(("/proc/" + std::string(entry->d_name) + "/exe").c_str(), target,
                                sizeof(target) - 1);
        if (size <= 0)
            continue;
        std::string exe(target, size);
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() &&
            exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
            exe.resize(exe.size() - deleted.size());
        if (exe == path)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

// The parent of pid; 0 when it has gone.
pid_t ParentOf(pid_t pid) {
    std::string status = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("PPid:");
    return at == std::string::npos ? 0 : atoi(status.c_str() + at + 5);
}

// Samples the process list every 10 ms: which launchers and self-updaters ran,
// and whether the new release's marker was ever present while a launcher that
// the self-updater had to wait for still ran. A launcher's own child between
// its fork and its exec (the web processes, the self-updater) runs the
// launcher's program too: it is no launcher of its own.
class ProcessWatch {
  public:
    ProcessWatch(std::string launcher, std::string updater, std::string marker, std::string version)
        : launcher_(std::move(launcher)), updater_(std::move(updater)), marker_(std::move(marker)),
          version_(std::move(version)), thread_([this] { Run(); }) {}
    ~ProcessWatch() {
        stop_ = true;
        thread_.join();
    }
    void SetFirst(pid_t pid) { first_ = pid; }
    std::set<pid_t> Launchers() {
        std::lock_guard<std::mutex> guard(lock_);
        return launchers_;
    }
    std::set<pid_t> Updaters() {
        std::lock_guard<std::mutex> guard(lock_);
        return updaters_;
    }
    // The task states the version document recorded, in the order seen.
    std::vector<int> States() {
        std::lock_guard<std::mutex> guard(lock_);
        return states_;
    }
    int TwoLaunchers() const { return twoLaunchers_; }
    int MarkerWhileFirstRan() const { return markerWhileFirst_; }

  private:
    void Run() {
        while (!stop_) {
            std::vector<pid_t> all = RunningFrom(launcher_);
            std::vector<pid_t> launchers;
            for (pid_t pid : all) {
                pid_t parent = ParentOf(pid);
                if (std::find(all.begin(), all.end(), parent) == all.end())
                    launchers.push_back(pid);
            }
            std::vector<pid_t> updaters = RunningFrom(updater_);
            bool first = false;
            for (pid_t pid : launchers)
                first = first || pid == first_;
            if (first && testsupport::FileExists(marker_))
                ++markerWhileFirst_;
            if (launchers.size() > 1)
                ++twoLaunchers_;
            int state = StateOf(version_);
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (state > 0 && (states_.empty() || states_.back() != state))
                    states_.push_back(state);
                launchers_.insert(launchers.begin(), launchers.end());
                updaters_.insert(updaters.begin(), updaters.end());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static int StateOf(const std::string &path) {
        PackageVersion *document = nullptr;
        PackageVersion_Create(&document);
        PatcherTaskStatus *status = nullptr;
        PatcherTaskData *data = nullptr;
        int state = 0;
        if (PackageVersion_LoadVersion(document, path.c_str()) == 1 &&
            PackageVersion_GetTaskStatus(document, &status) == 1 &&
            PatcherTaskStatus_GetData(status, &data) == 1)
            state = data->PatcherState;
        PackageVersion_Destroy(&document);
        return state;
    }

    std::string launcher_, updater_, marker_, version_;
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> first_{0};
    std::atomic<int> twoLaunchers_{0}, markerWhileFirst_{0};
    std::mutex lock_;
    std::set<pid_t> launchers_, updaters_;
    std::vector<int> states_;
    std::thread thread_;
};

// A skin page of release `release`: it allows the restart and reports each
// question, the restart and every new state of a package as an address of
// the seen/ folder, fetched before the function returns.
std::string SkinPage(int release, const std::string &seen) {
    return "<html><head><script>\n"
           "var seen = '" +
           seen + "p" + std::to_string(release) +
           "-';\n"
           "var states = {};\n"
           "function note(what) {\n"
           "  try { var x = new XMLHttpRequest(); x.open('GET', seen + what, false); x.send(); }\n"
           "  catch (e) {}\n"
           "}\n"
           "function __Launcher_getVersion() { return 5; }\n"
           "function __Patcher_reportpackageAllowRestart(name) {\n"
           "  note('allow-' + name); return true;\n"
           "}\n"
           "function __Patcher_reportpackagePerformRestart() { note('restart'); }\n"
           "function __Patcher_reportpackageStatus(name, state, currentName, currentVersion) {\n"
           "  if (states[name] === state) return;\n"
           "  states[name] = state;\n"
           "  note('status-' + name + '-' + state + '-' + currentVersion);\n"
           "}\n"
           "</script></head><body style='margin:0;background:#208040'></body></html>\n";
}

// The page's reports in the order nginx served them: "p1-allow-launcher", ...
std::vector<std::string> Reports(const std::string &accessLog) {
    std::vector<std::string> reports;
    std::string text = testsupport::ReadFile(accessLog);
    const std::string prefix = "GET /seen/";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        size_t start = at + prefix.size();
        reports.push_back(text.substr(start, text.find(' ', start) - start));
    }
    return reports;
}

std::string Joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words)
        text += word + " ";
    return text;
}

int IndexOf(const std::vector<std::string> &words, const std::string &word) {
    for (size_t i = 0; i < words.size(); i++)
        if (words[i] == word)
            return static_cast<int>(i);
    return -1;
}

// Waits up to seconds for pid to end, reaping it when it is a child.
bool Gone(pid_t pid, double seconds) {
    return xtest::WaitFor(
        [&] { return waitpid(pid, nullptr, WNOHANG) == pid || kill(pid, 0) != 0; }, seconds);
}

class SelfUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xtest::StartDisplay(false));
        // Orphans of the launcher (the self-updater, then the launcher it
        // starts) become this process's children: their exits are seen.
        ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
    }
    void TearDown() override {
        for (const std::string &path : {folder_ + "/portico", folder_ + "/upkeep_tmp"})
            for (pid_t pid : RunningFrom(path))
                kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    // Publishes releases 1 and 2 of the launcher's own package on nginx
    // (release 2 requiring a restart) and makes program_ an installation of
    // release 1 with the self-updater beside it.
    void PrepareLauncher(nettest::NginxServer &nginx) {
        const std::string seen = nginx.url("/seen/");
        // Release 1 and 2 of the launcher's package: a changed skin page, a
        // changed data file (sent as a delta), a new marker, a removed file.
        std::string data(200 * 1024, '\0');
        for (size_t i = 0; i < data.size(); i++)
            data[i] = static_cast<char>((i * 7919) >> 5);
        std::string tree1 = dir_ / "trees/v1", tree2 = dir_ / "trees/v2";
        fs::create_directories(tree1);
        fs::create_directories(tree2 + "/notes");
        testsupport::WriteFile(tree1 + "/skin.html", SkinPage(1, seen));
        testsupport::WriteFile(tree1 + "/data.bin", data);
        testsupport::WriteFile(tree1 + "/old.txt", "only in release 1\n");
        data.replace(5000, 16, "release two edit");
        testsupport::WriteFile(tree2 + "/skin.html", SkinPage(2, seen));
        testsupport::WriteFile(tree2 + "/data.bin", data);
        testsupport::WriteFile(tree2 + "/notes/marker.txt", "release 2\n");
        std::string output;
        ASSERT_EQ(0, testsupport::RunCommand(std::string(PORTICO_SOURCE_DIR) +
                                                 "/tools/publish --name launcher --install " +
                                                 folder_ + " " + nginx.url("/") + " " +
                                                 nginx.root() + " " + tree1 + " " + tree2 + " 2>&1",
                                             &output))
            << output;
        // Release 2 replaces the running program's files: a restart is required.
        std::string package = testsupport::ReadFile(nginx.root() + "/launcher.package");
        size_t at = package.find("<Name>v2</Name>");
        ASSERT_NE(std::string::npos, at) << package;
        package.insert(at, "<RestartRequired>TRUE</RestartRequired>");
        testsupport::WriteFile(nginx.root() + "/launcher.package", package);

        program_ = xtest::MakeProgramFolder(
            folder_, "SelfUpdateApp",
            "<Config><Launcher><PackageName>launcher</PackageName><Url>" + nginx.url("/") +
                "</Url><AppName>SelfUpdateApp</AppName><AppRegistryPath>Software\\PorticoTest\\"
                "SelfUpdateApp</AppRegistryPath><DisplayEULA>0</DisplayEULA></Launcher>"
                "<LayoutInfo><Url>skin.html</Url><Width>400</Width><Height>300</Height>"
                "<FrameBitmap>frame.bmp</FrameBitmap><TransparencyColor>255,0,255"
                "</TransparencyColor></LayoutInfo></Config>");
        xtest::WriteFrame(folder_ + "/frame.bmp", 24);
        ASSERT_EQ(
            0, xtest::X("cp '" + std::string(PORTICO_UPKEEP_PATH) + "' '" + folder_ + "/upkeep'"));
    }

    // The launchers' output and the engine's log of the last one.
    std::string Logs() {
        return testsupport::ReadFile(program_.log) + "\n---- patcher_lib.log\n" +
               testsupport::ReadFile(folder_ + "/patcher_lib.log");
    }

    testsupport::TempDir dir_;
    std::string folder_ = dir_ / "app";
    xtest::ProgramFolder program_;
};

TEST_F(SelfUpdateTest, PorticoUpdatesItselfThroughTheSelfUpdaterAndFinishesAfterItsRestart) {
    nettest::NginxServer nginx("access_log " + (dir_ / "access.log") +
                               ";\n  location /seen/ { return 204; }\n");
    ASSERT_TRUE(nginx.ok()) << nginx.error();

    PrepareLauncher(nginx);
    if (HasFatalFailure())
        return;
    const xtest::ProgramFolder &folder = program_;
    std::string output;

    const std::string marker = folder_ + "/notes/marker.txt";
    ProcessWatch watch(folder.program, folder_ + "/upkeep_tmp", marker,
                       folder_ + "/launcher.version");
    pid_t first = xtest::StartPortico(folder);
    ASSERT_GT(first, 0);
    watch.SetFirst(first);

    // The first launcher asks, is allowed, starts the self-updater and closes.
    int firstExit = xtest::WaitExit(first, 300);
    EXPECT_EQ(0, firstExit) << testsupport::ReadFile(folder.log);
    std::vector<std::string> reports = Reports(dir_ / "access.log");
    EXPECT_NE(-1, IndexOf(reports, "p1-allow-launcher")) << Joined(reports);
    EXPECT_NE(-1, IndexOf(reports, "p1-restart")) << Joined(reports);

    // The self-updater (an orphan now, so this process's child) ends with 0.
    std::set<pid_t> updaters;
    ASSERT_TRUE(xtest::WaitFor(
        [&] {
            updaters = watch.Updaters();
            return !updaters.empty();
        },
        30))
        << testsupport::ReadFile(folder.log);
    ASSERT_EQ(1u, updaters.size());
    pid_t updater = *updaters.begin();
    EXPECT_EQ(0, testsupport::FinishChild(updater, 120)) << testsupport::ReadFile(folder.log);

    // The restarted launcher loads the new page and finishes the task.
    const std::string complete =
        "p2-status-launcher-" + std::to_string(PATCHER_STATE_TASKCOMPLETE) + "-2";
    EXPECT_TRUE(
        xtest::WaitFor([&] { return IndexOf(Reports(dir_ / "access.log"), complete) != -1; }, 300))
        << Joined(Reports(dir_ / "access.log")) << "\n"
        << testsupport::ReadFile(folder.log);
    reports = Reports(dir_ / "access.log");
    EXPECT_LT(IndexOf(reports, "p1-restart"), IndexOf(reports, complete)) << Joined(reports);

    int32_t inProgress = -1;
    EXPECT_EQ(2, updatetest::ReadInstalledVersion(folder_ + "/launcher.version", &inProgress));
    EXPECT_EQ(0, inProgress);
    EXPECT_EQ(0, testsupport::RunCommand("cd '" + folder_ + "' && sha1sum --quiet -c '" +
                                             nginx.root() + "/launcher_2.sha1' 2>&1",
                                         &output))
        << output;
    EXPECT_FALSE(fs::exists(folder_ + "/old.txt"));

    // One launcher at a time, the second started by the self-updater, and the
    // release expanded only once the first had gone.
    std::set<pid_t> launchers = watch.Launchers();
    EXPECT_EQ(2u, launchers.size());
    EXPECT_EQ(0, watch.TwoLaunchers());
    EXPECT_EQ(0, watch.MarkerWhileFirstRan());
    // The self-updater recorded the expansion as done (the task's PROCESS
    // state) after the launcher's last record (waiting for the restart).
    std::vector<int> states = watch.States();
    std::string seenStates;
    for (int state : states)
        seenStates += std::to_string(state) + " ";
    auto process = std::find(states.begin(), states.end(), PATCHER_STATE_PROCESS);
    EXPECT_NE(states.end(), process) << seenStates;
    EXPECT_EQ(states.end(), std::find(process, states.end(), PATCHER_STATE_ALLOWRESTART))
        << seenStates;
    for (pid_t pid : launchers) {
        if (pid == first)
            continue;
        kill(pid, SIGTERM);
        EXPECT_TRUE(Gone(pid, 60));
    }
}

// A self-update that fails is not handed straight back to the self-updater by
// the launcher it starts again (which would loop without end): the failed
// release is held, logged, until the pause has passed; then it is tried again
// and, its fault gone, finished.
TEST_F(SelfUpdateTest, FailedSelfUpdateIsHeldUntilThePauseAndThenRetried) {
    nettest::NginxServer nginx("access_log " + (dir_ / "access.log") +
                               ";\n  location /seen/ { return 204; }\n");
    ASSERT_TRUE(nginx.ok()) << nginx.error();
    PrepareLauncher(nginx);
    if (HasFatalFailure())
        return;
    // A file where release 2 needs its folder "notes": the expansion fails.
    testsupport::WriteFile(folder_ + "/notes", "in the way\n");
    const std::string versionFile = folder_ + "/launcher.version";
    ProcessWatch watch(program_.program, folder_ + "/upkeep_tmp", folder_ + "/notes/marker.txt",
                       versionFile);
    pid_t first = xtest::StartPortico(program_);
    ASSERT_GT(first, 0);
    watch.SetFirst(first);
    EXPECT_EQ(0, xtest::WaitExit(first, 300)) << Logs();

    // The self-updater fails, records the release and starts the old launcher.
    std::set<pid_t> updaters;
    ASSERT_TRUE(xtest::WaitFor(
        [&] {
            updaters = watch.Updaters();
            return !updaters.empty();
        },
        30))
        << Logs();
    pid_t updater = *updaters.begin();
    ASSERT_EQ(1, testsupport::FinishChild(updater, 120)) << Logs();
    const std::string record = versionFile + ".failed";
    EXPECT_TRUE(testsupport::FileExists(record));

    // The launcher it started holds the restart and says so, once.
    const std::string held = "The self-update of [launcher] failed";
    ASSERT_TRUE(xtest::WaitFor([&] { return Logs().find(held) != std::string::npos; }, 300))
        << Logs();
    EXPECT_EQ(2u, watch.Launchers().size());
    // Several of its ticks later, still no second self-updater.
    EXPECT_FALSE(xtest::WaitFor([&] { return watch.Updaters().size() > 1; }, 8)) << Logs();
    for (const std::string &path : {program_.log, folder_ + "/patcher_lib.log"}) {
        std::string log = testsupport::ReadFile(path);
        EXPECT_EQ(log.find(held), log.rfind(held)) << log;
    }
    EXPECT_EQ(0, watch.TwoLaunchers());

    // The fault is mended and the pause has passed: the launcher allows the
    // restart again, the self-updater succeeds and the third launcher finishes.
    fs::remove(folder_ + "/notes");
    ASSERT_TRUE(UpdaterHold_Record(versionFile.c_str(), 2, 1,
                                   (int64_t)time(nullptr) - UPDATERHOLD_PAUSE - 1));
    ASSERT_TRUE(xtest::WaitFor(
        [&] {
            return Logs().find("The self-update of [launcher] may restart again") !=
                   std::string::npos;
        },
        60))
        << Logs();
    int32_t inProgress = -1;
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            return updatetest::ReadInstalledVersion(versionFile, &inProgress) == 2 &&
                   inProgress == 0;
        },
        300))
        << Logs();
    EXPECT_EQ(2u, watch.Updaters().size());
    EXPECT_EQ(3u, watch.Launchers().size());
    EXPECT_EQ(0, watch.TwoLaunchers());
    EXPECT_FALSE(testsupport::FileExists(record));
    std::string output;
    EXPECT_EQ(0, testsupport::RunCommand("cd '" + folder_ + "' && sha1sum --quiet -c '" +
                                             nginx.root() + "/launcher_2.sha1' 2>&1",
                                         &output))
        << output;
    for (pid_t pid : watch.Launchers()) {
        if (pid == first || kill(pid, 0) != 0)
            continue;
        kill(pid, SIGTERM);
        EXPECT_TRUE(Gone(pid, 60));
    }
}

} // namespace
