// The self-updater end to end: the real program, copied into a temporary
// installation beside a stand-in launcher script, finishes a prepared update
// (store with whole files and a delta, the launcher itself replaced), records
// PROCESS and restarts the launcher; it waits while the launcher still runs;
// failures leave the document and files as they were and restart the launcher
// whenever it can. Also the command-line and log-option parsing in process.
#include "core/mutex.h"
#include "core/zyl.h"
#include "patcher/packageversion.h"
#include "patcher/patcher_types.h"
#include "patcher/taskstatus.h"
#include "patcher/updaterhold.h"
#include "platform/durable.h"
#include "tests/patcher/store_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"
#include "updater/upkeep.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using storefixture::DeltaMember;
using storefixture::WholeMember;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::SpawnLogged;
using testsupport::TempDir;

namespace {

std::string UpkeepPath() {
    const char *fromEnvironment = getenv("PORTICO_UPKEEP");
    if (fromEnvironment && *fromEnvironment)
        return fromEnvironment;
#ifdef PORTICO_UPKEEP_PATH
    return PORTICO_UPKEEP_PATH;
#else
    // The test program is <build>/tests/updater_tests, the program <build>/upkeep.
    auto self = std::filesystem::path(testsupport::SelfPath());
    return (self.parent_path().parent_path() / "upkeep").string();
#endif
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testsupport::WriteFile(path, bytes);
}

void MakeExecutable(const std::string &path) {
    ASSERT_EQ(0, chmod(path.c_str(), 0755)) << path;
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits (bounded, 30 s) until predicate holds; the wait is for an event of
// another process, never for a timer.
template <typename Predicate> bool Eventually(Predicate predicate) {
    for (int i = 0; i < 3000; i++) {
        if (predicate())
            return true;
        usleep(10000);
    }
    return predicate();
}

// The fields of a version document the tests vary.
struct Doc {
    int state = PATCHER_STATE_ALLOWRESTART;
    int packageType = PACKAGE_TYPE_INCREMENTAL_VCDIFF;
    int performCopy = 1;
    bool inProgress = true;
    std::string restart = "-restarted \"a b\" c";

    std::string Text() const {
        std::string x = "<?xml version=\"1.0\"?>\n<PackageVersion PatcherVersion=\"2.0.8.5\" "
                        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
                        "    <Version>1</Version>\n    <Name>1.1</Name>\n";
        x += std::string("    <InProgress>") + (inProgress ? "TRUE" : "FALSE") + "</InProgress>\n";
        if (!inProgress)
            return x + "    <PatcherTaskStatus>\n        <UninstallCommands />\n"
                       "    </PatcherTaskStatus>\n</PackageVersion>\n";
        x += "    <PatcherTaskStatus>\n";
        x += "        <PatcherState>" + std::to_string(state) + "</PatcherState>\n";
        x += "        <CurrentName>1.1</CurrentName>\n        <CurrentVersion>1</CurrentVersion>\n"
             "        <TargetName>1.2</TargetName>\n        <TargetVersion>2</TargetVersion>\n"
             "        <PackageName>game</PackageName>\n"
             "        <SkinSource>http://cdn.example.test/game/</SkinSource>\n"
             "        <MetaFile>game_2.vexil</MetaFile>\n";
        x += "        <RestartCommandLine>" + restart + "</RestartCommandLine>\n";
        x += "        <PackageType>" + std::to_string(packageType) + "</PackageType>\n";
        x += "        <PrependDirectory>1</PrependDirectory>\n"
             "        <DestructiveUpdate>0</DestructiveUpdate>\n"
             "        <UseDeployExtension>0</UseDeployExtension>\n"
             "        <ProcessDeleteManifest>1</ProcessDeleteManifest>\n"
             "        <HasBaseLine>0</HasBaseLine>\n"
             "        <PackageDescriptorType>2</PackageDescriptorType>\n"
             "        <RestartRequired>TRUE</RestartRequired>\n"
             "        <AvailableReleases>0</AvailableReleases>\n";
        x += "        <PerformCopy>" + std::to_string(performCopy) + "</PerformCopy>\n";
        x += "        <PerformDelete>1</PerformDelete>\n"
             "        <OutputPath>game_2/</OutputPath>\n        <CopyPath></CopyPath>\n"
             "        <AllowModifiedFiles></AllowModifiedFiles>\n"
             "        <DeployStamp>7</DeployStamp>\n"
             "        <PreProcessCommands />\n        <PostProcessCommands />\n"
             "        <UninstallCommands />\n    </PatcherTaskStatus>\n</PackageVersion>\n";
        return x;
    }
};

// A stand-in launcher: records its arguments, one "[word]" a line, in
// started.txt beside itself (written whole, then renamed into place).
std::string LauncherScript(const std::string &marker) {
    return "#!/bin/sh\n"
           "d=$(dirname \"$0\")\n"
           "{ echo \"" +
           marker +
           "\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; } > \"$d/started.tmp\"\n"
           "mv \"$d/started.tmp\" \"$d/started.txt\"\n";
}

// A temporary installation: the launcher (unique name, so no other process of
// the machine counts as it), its version document, a prepared store in
// game_2/, and a copy of the self-updater beside them, as the launcher leaves
// it before it exits.
class UpkeepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        base_ = dir_.path() + "/";
        app_ = "portico-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        upkeep_ = base_ + "upkeep_tmp";
        std::string program = UpkeepPath();
        ASSERT_TRUE(FileExists(program)) << "the upkeep program is not built: " << program;
        std::filesystem::copy_file(program, upkeep_);
        MakeExecutable(upkeep_);
        WriteFile(base_ + app_, LauncherScript("v1"));
        MakeExecutable(base_ + app_);
        oldMain_ = std::string(3000, 'm') + "old main data\n" + std::string(3000, 'n');
        newMain_ = std::string(3000, 'm') + "new main data, longer\n" + std::string(3100, 'n');
        WriteFile(base_ + "main.dat", oldMain_);
        WriteFile(base_ + "keep.txt", "not in the update\n");
    }

    // The update 1 -> 2: a delta of main.dat, a new file in a new folder and a
    // new launcher.
    std::vector<storefixture::Member> Members() {
        return {DeltaMember(dir_, "main.dat", oldMain_, newMain_),
                WholeMember("data/added.txt", "added in 1.2\n"),
                WholeMember(app_, LauncherScript("v2"))};
    }
    void WriteStore(std::vector<storefixture::Member> members,
                    const std::function<void(storefixture::Writer &)> &damage = nullptr) {
        storefixture::Writer w;
        w.members = std::move(members);
        w.Layout();
        if (damage)
            damage(w);
        std::filesystem::create_directories(base_ + "game_2");
        w.Write(base_ + "game_2", "game_2_1to2");
    }
    void WriteVersion(const Doc &doc) { WriteFile(VersionPath(), doc.Text()); }
    std::string VersionPath() const { return base_ + "game.version"; }

    // Runs the self-updater with the arguments (after the program path).
    int Run(const std::vector<std::string> &arguments) { return WaitExit(Start(arguments)); }
    pid_t Start(const std::vector<std::string> &arguments) {
        std::vector<std::string> args{upkeep_};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return SpawnLogged(args, base_ + "upkeep.stderr");
    }
    // The launcher running until it is killed: a copy of sleep put in the
    // launcher's place.
    pid_t StartRunningLauncher() {
        std::filesystem::copy_file("/bin/sleep", base_ + app_,
                                   std::filesystem::copy_options::overwrite_existing);
        MakeExecutable(base_ + app_);
        launcherBefore_ = ReadFile(base_ + app_);
        return SpawnLogged({base_ + app_, "600"}, base_ + "running.log");
    }
    // Another program of the launcher's file name, in another folder.
    pid_t StartNamesake() {
        std::string running = base_ + "elsewhere/" + app_;
        std::filesystem::create_directories(base_ + "elsewhere");
        std::filesystem::copy_file("/bin/sleep", running);
        MakeExecutable(running);
        return SpawnLogged({running, "600"}, base_ + "running.log");
    }
    std::vector<std::string> Arguments() const {
        return {"/App", base_ + app_, "/VersionFile", VersionPath()};
    }
    std::string Log() const { return ReadFile(base_ + "upkeep.log"); }
    bool LogHas(const std::string &line) const { return Log().find(line) != std::string::npos; }
    // The stand-in launcher's record once it ran (bounded wait), else "".
    std::string Started() const {
        Eventually([&] { return FileExists(base_ + "started.txt"); });
        return FileExists(base_ + "started.txt") ? ReadFile(base_ + "started.txt") : "";
    }
    // The document as saved by the version document code with the task in
    // PROCESS: what the self-updater must leave.
    std::string ExpectedProcessDocument(const Doc &doc) {
        std::string path = dir_ / "expected.version";
        WriteFile(path, doc.Text());
        PackageVersion *version = nullptr;
        PackageVersion_Create(&version);
        EXPECT_EQ(1, PackageVersion_LoadVersion(version, path.c_str()));
        PatcherTaskStatus *status = nullptr;
        PatcherTaskData *data = nullptr;
        PackageVersion_GetTaskStatus(version, &status);
        PatcherTaskStatus_GetData(status, &data);
        data->PatcherState = PATCHER_STATE_PROCESS;
        EXPECT_EQ(1, PackageVersion_Save(version, path.c_str()));
        PackageVersion_Destroy(&version);
        std::string text = ReadFile(path);
        std::filesystem::remove(path);
        return text;
    }
    // Every installed file as it was before the update.
    void ExpectInstallationUnchanged() {
        EXPECT_EQ(oldMain_, ReadFile(base_ + "main.dat"));
        EXPECT_EQ(launcherBefore_, ReadFile(base_ + app_));
        EXPECT_FALSE(FileExists(base_ + "data/added.txt"));
        EXPECT_EQ("not in the update\n", ReadFile(base_ + "keep.txt"));
    }
    void ExpectInstallationUpdated() {
        EXPECT_EQ(newMain_, ReadFile(base_ + "main.dat"));
        EXPECT_EQ(LauncherScript("v2"), ReadFile(base_ + app_));
        EXPECT_EQ("added in 1.2\n", ReadFile(base_ + "data/added.txt"));
        EXPECT_EQ("not in the update\n", ReadFile(base_ + "keep.txt"));
        std::string out;
        testsupport::RunCommand("find " + dir_.path() + " -name '*.expanding'", &out);
        EXPECT_EQ("", out);
    }

    TempDir dir_;
    std::string base_, app_, upkeep_, oldMain_, newMain_;
    std::string launcherBefore_ = LauncherScript("v1");
};

TEST_F(UpkeepTest, FinishesTheUpdateRecordsProcessAndRestartsTheNewLauncher) {
    WriteStore(Members());
    Doc doc;
    WriteVersion(doc);
    std::string expected = ExpectedProcessDocument(doc);
    // A program of the same name elsewhere is not the launcher: no wait for it.
    pid_t namesake = StartNamesake();
    ASSERT_GT(namesake, 0);
    ASSERT_TRUE(
        Eventually([&] { return Upkeep_IsAppRunning((base_ + "elsewhere/" + app_).c_str()); }));

    int code = Run(Arguments());
    kill(namesake, SIGTERM);
    WaitExit(namesake);
    ASSERT_EQ(0, code) << Log();
    EXPECT_FALSE(LogHas("Waiting for")) << Log();
    EXPECT_TRUE(
        LogHas("Parameters\nApp [" + base_ + app_ + "]\nVersionFile [" + VersionPath() + "]\n"))
        << Log();
    ExpectInstallationUpdated();
    EXPECT_EQ(expected, ReadFile(VersionPath()));
    // The new launcher runs, with exactly the stored restart command line.
    EXPECT_EQ("v2\n[-restarted]\n[a b]\n[c]\n", Started()) << Log();
    for (const char *line :
         {"Vexil Upkeep Version 2.0.8.5", "UPDATE_STATE_CHECKRUNNING complete",
          "UPDATE_STATE_LOAD complete", "UPDATE_STATE_EXPANSION complete",
          "UPDATE_STATE_SAVE complete", "UPDATE_STATE_RESTART complete", "Successful Exit [0]..."})
        EXPECT_TRUE(LogHas(line)) << line << "\n" << Log();
}

TEST_F(UpkeepTest, WithoutCopyGoesStraightToSaveAndStillRecordsProcess) {
    Doc doc;
    doc.performCopy = 0;
    WriteVersion(doc);
    ASSERT_EQ(0, Run(Arguments())) << Log();
    ExpectInstallationUnchanged();
    EXPECT_EQ(ExpectedProcessDocument(doc), ReadFile(VersionPath()));
    EXPECT_EQ("v1\n[-restarted]\n[a b]\n[c]\n", Started());
}

TEST_F(UpkeepTest, WaitsWhileTheLauncherRunsAndChangesNothingUntilItExits) {
    WriteStore(Members());
    Doc doc;
    WriteVersion(doc);
    std::string before = ReadFile(VersionPath());
    pid_t launcher = StartRunningLauncher();
    ASSERT_GT(launcher, 0);
    pid_t upkeep = Start(Arguments());
    ASSERT_GT(upkeep, 0);

    ASSERT_TRUE(Eventually([&] { return LogHas("Waiting for [" + base_ + app_ + "] to exit"); }))
        << Log();
    // Some more looks at the process list: still nothing read or changed.
    usleep(600 * 1000);
    EXPECT_FALSE(LogHas("UPDATE_STATE_LOAD complete")) << Log();
    EXPECT_FALSE(LogHas("UPDATE_STATE_CHECKRUNNING complete")) << Log();
    ExpectInstallationUnchanged();
    EXPECT_EQ(before, ReadFile(VersionPath()));
    EXPECT_FALSE(FileExists(base_ + "started.txt"));

    kill(launcher, SIGTERM);
    WaitExit(launcher);
    EXPECT_EQ(0, WaitExit(upkeep)) << Log();
    ExpectInstallationUpdated();
    EXPECT_EQ(ExpectedProcessDocument(doc), ReadFile(VersionPath()));
    EXPECT_EQ("v2\n[-restarted]\n[a b]\n[c]\n", Started());
}

TEST_F(UpkeepTest, FailedExpansionLeavesTheDocumentRestartsTheLauncherAndCanBeRetried) {
    // The delta's old file is not the installed one: the expansion stops there.
    auto members = Members();
    storefixture::Member wrong = DeltaMember(dir_, "main.dat", "some other old file\n", newMain_);
    members[0] = wrong;
    WriteStore(members);
    Doc doc;
    WriteVersion(doc);
    std::string before = ReadFile(VersionPath());

    EXPECT_EQ(1, Run(Arguments()));
    EXPECT_EQ(before, ReadFile(VersionPath()));
    EXPECT_EQ(oldMain_, ReadFile(base_ + "main.dat"));
    EXPECT_TRUE(LogHas("Error encountered - Upkeep_PerformExpansion()")) << Log();
    EXPECT_FALSE(LogHas("UPDATE_STATE_SAVE complete"));
    EXPECT_TRUE(LogHas("Successful Exit [1]..."));
    // The failed release (version 2, deploy 7) is recorded: the launcher holds
    // its restart for the pause.
    int64_t left = 0;
    int64_t failedAt = 0;
    int64_t now = (int64_t)time(nullptr);
    EXPECT_EQ(1,
              UpdaterHold_IsHeld(VersionPath().c_str(), now, UPDATERHOLD_PAUSE, &left, &failedAt))
        << Log();
    EXPECT_GT(left, UPDATERHOLD_PAUSE - 600);
    EXPECT_LE(failedAt, now);
    EXPECT_TRUE(LogHas("Recorded the failed update of [" + VersionPath() + "] to version 2"))
        << Log();
    // Members the store lists before the failed one may be new already; each
    // file is whole, old or new. The launcher, whichever it is now, comes back,
    // and its document still asks for the restart, so the update is tried again.
    std::string launcher = ReadFile(base_ + app_);
    ASSERT_TRUE(launcher == LauncherScript("v1") || launcher == LauncherScript("v2"));
    EXPECT_EQ(std::string(launcher == LauncherScript("v1") ? "v1" : "v2") +
                  "\n[-restarted]\n[a b]\n[c]\n",
              Started());

    std::filesystem::remove(base_ + "started.txt");
    WriteStore(Members());
    ASSERT_EQ(0, Run(Arguments())) << Log();
    ExpectInstallationUpdated();
    EXPECT_EQ(ExpectedProcessDocument(doc), ReadFile(VersionPath()));
    EXPECT_EQ("v2\n[-restarted]\n[a b]\n[c]\n", Started());
    // Done: nothing is held any more.
    EXPECT_FALSE(FileExists(VersionPath() + ".failed"));
}

// Documents the program refuses: exit 1, the document and the files as they
// were, the launcher started again (with the stored arguments when they could
// be read).
TEST_F(UpkeepTest, RefusedDocumentsChangeNothing) {
    WriteStore(Members());
    Doc progressive;
    progressive.packageType = PACKAGE_TYPE_PROGRESSIVE_VCDIFF;
    Doc installed;
    installed.inProgress = false;
    const struct {
        const char *name;
        std::string text; // "" : no document at all
        const char *line;
        const char *started;
    } cases[] = {
        {"missing", "", "Error encountered - PackageVersion_LoadVersion()", "v1\n"},
        {"not a version document", "<Package><Version>1</Version></Package>\n",
         "Error encountered - PackageVersion_LoadVersion()", "v1\n"},
        // Cut short where the expansion switch would follow: the reader takes the
        // rest as absent, which would read as "nothing to expand".
        {"cut", Doc().Text().substr(0, Doc().Text().find("<PerformCopy>")),
         "**** Version document cut short [", "v1\n"},
        {"progressive vcdiff", progressive.Text(),
         "**** PACKAGE_TYPE_PROGRESSIVE_VCDIFF not supported in restartable packages",
         "v1\n[-restarted]\n[a b]\n[c]\n"},
        {"nothing in progress", installed.Text(), "**** No update in progress in [", "v1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(VersionPath());
        std::filesystem::remove(base_ + "started.txt");
        if (!c.text.empty())
            WriteFile(VersionPath(), c.text);
        EXPECT_EQ(1, Run(Arguments()));
        EXPECT_TRUE(LogHas(c.line)) << Log();
        EXPECT_FALSE(LogHas("UPDATE_STATE_EXPANSION complete"));
        EXPECT_EQ(c.text.empty(), !FileExists(VersionPath()));
        if (!c.text.empty()) {
            EXPECT_EQ(c.text, ReadFile(VersionPath()));
        }
        ExpectInstallationUnchanged();
        EXPECT_EQ(c.started, Started());
    }
}

// Command lines the program refuses: exit 1 with the reason, the thread never
// started, nothing touched and the launcher (maybe still closing) not started.
TEST_F(UpkeepTest, RefusedCommandLinesChangeNothing) {
    WriteStore(Members());
    Doc doc;
    WriteVersion(doc);
    std::string before = ReadFile(VersionPath());
    std::string app = base_ + app_;
    const std::string noVersion = "Incorrect Parameters\nApp [" + app + "]\nVersionFile []\n";
    const std::string noApp = "Incorrect Parameters\nApp []\nVersionFile [" + VersionPath() + "]\n";
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{}, "**** Incorrect parameters [] exiting...\n"},
        {{"/App"}, "**** Incorrect parameters [/App] exiting...\n"},
        {{"/App", "a b"}, "Incorrect Parameters\nApp [a b]\nVersionFile []\n"},
        {{"/App", app}, noVersion},
        {{"/App", app, "/Version", VersionPath()}, noVersion},
        {{"/VersionFile", VersionPath(), "/App"}, noApp},
        {{"/App", std::string(400, 'a'), "/VersionFile", VersionPath()}, noApp},
        // Refused whole, like a missing path: cut, the words could name other files.
        {{"/App", app, "/VersionFile", VersionPath(), std::string(1000, 'x')},
         "**** Command line longer than 1023 characters\nIncorrect Parameters\nApp []\n"
         "VersionFile []\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(1, Run(c.arguments));
        EXPECT_TRUE(LogHas(c.line)) << Log();
        EXPECT_FALSE(LogHas("UPDATE_STATE_CHECKRUNNING complete")) << Log();
        EXPECT_TRUE(LogHas("Successful Exit [1]..."));
    }
    EXPECT_EQ(before, ReadFile(VersionPath()));
    ExpectInstallationUnchanged();
    EXPECT_FALSE(FileExists(base_ + "started.txt"));
}

// Log words count after '-' or '/' and before a blank or the end: "append"
// keeps the previous run's log, which is otherwise replaced.
TEST_F(UpkeepTest, LogWordsOfTheCommandLineSetTheLogFlags) {
    const struct {
        const char *word;
        bool appends;
    } cases[] = {
        {"-append", true},  {"/APPEND", true}, {"-Append", true},  {"-appendx", false},
        {"x-append", true}, {"append", false}, {"+append", false}, {"-appen", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        std::filesystem::remove(base_ + "upkeep.log");
        EXPECT_EQ(1, Run({}));
        ASSERT_TRUE(LogHas("Incorrect parameters [] exiting...")) << Log();
        EXPECT_EQ(1, Run({c.word}));
        EXPECT_TRUE(LogHas(std::string("Incorrect parameters [") + c.word + "] exiting..."))
            << Log();
        EXPECT_EQ(c.appends, LogHas("Incorrect parameters [] exiting...")) << Log();
    }
}

TEST_F(UpkeepTest, LauncherThatCannotBeStartedFailsAfterRecordingTheExpansion) {
    WriteStore(Members());
    Doc doc;
    WriteVersion(doc);
    std::string missing = base_ + "no-such-launcher";
    EXPECT_EQ(1, Run({"-App", missing, "-VersionFile", VersionPath(), "-debug"}));
    ExpectInstallationUpdated();
    // The files are in place, so the document says so; the launcher, started
    // by hand, finishes the task.
    EXPECT_EQ(ExpectedProcessDocument(doc), ReadFile(VersionPath()));
    EXPECT_TRUE(LogHas("**** Unable to launch [" + missing + " -restarted \"a b\" c]")) << Log();
}

// A self-updater that may not read the launcher's executable link (another
// user's process) knows it by its program name, and waits for it all the same.
TEST_F(UpkeepTest, LauncherOfAnotherUserIsKnownByItsName) {
    if (getuid() != 0 || !FileExists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root and setpriv to run the self-updater as another user";
    Doc doc;
    doc.performCopy = 0;
    WriteVersion(doc);
    pid_t launcher = StartRunningLauncher();
    ASSERT_GT(launcher, 0);
    // The installation open to the other user, who writes the log there.
    for (const std::string &path : {dir_.path(), VersionPath()})
        ASSERT_EQ(0, chmod(path.c_str(), 0777)) << path;
    std::vector<std::string> args{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                  "--clear-groups", upkeep_};
    for (const auto &a : Arguments())
        args.push_back(a);
    pid_t upkeep = SpawnLogged(args, base_ + "upkeep.stderr");
    ASSERT_GT(upkeep, 0);
    bool waited = Eventually([&] { return LogHas("Waiting for [" + base_ + app_ + "] to exit"); });
    kill(launcher, SIGTERM);
    WaitExit(launcher);
    EXPECT_TRUE(waited) << Log();
    EXPECT_EQ(0, WaitExit(upkeep)) << Log();
    EXPECT_TRUE(LogHas("UPDATE_STATE_CHECKRUNNING complete")) << Log();
}

TEST_F(UpkeepTest, SegmentationSignalWhileWaitingLeavesItsDump) {
    WriteStore(Members());
    Doc doc;
    WriteVersion(doc);
    std::string before = ReadFile(VersionPath());
    pid_t launcher = StartRunningLauncher();
    ASSERT_GT(launcher, 0);
    pid_t upkeep = Start(Arguments());
    ASSERT_GT(upkeep, 0);
    ASSERT_TRUE(Eventually([&] { return LogHas("Waiting for [" + base_ + app_ + "] to exit"); }))
        << Log();
    kill(upkeep, SIGSEGV);
    int status = 0;
    ASSERT_EQ(upkeep, waitpid(upkeep, &status, 0));
    kill(launcher, SIGTERM);
    WaitExit(launcher);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));
    std::string out;
    ASSERT_EQ(0, testsupport::RunCommand(
                     std::string(PORTICO_DUMPREADER_PATH) + " " + upkeep_ + ".dmp", &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("signal 11 (SIGSEGV) code 0\nsent by process " +
                                          std::to_string(getpid()) + "\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("program " + upkeep_ + "\n")) << out;
    EXPECT_NE(std::string::npos, out.find("type normal\n")) << out;
    EXPECT_EQ(before, ReadFile(VersionPath()));
}

// ---------------------------------------------------------------------------
// In process: the wait for the launcher with a driven clock
// ---------------------------------------------------------------------------

struct Completion {
    EventStruct *done = nullptr;
    std::atomic<int> code{-1};
    std::atomic<int> calls{0};
    Completion() { Event_Create(&done); }
    ~Completion() { Event_Close(&done); }
    static void Receive(int code, void *context) {
        auto *self = static_cast<Completion *>(context);
        self->code.store(code);
        self->calls++;
        Event_Set(self->done, 1);
    }
    bool Wait() {
        int signalled = 0;
        return Event_Wait(done, &signalled, 60000, __FILE__, __LINE__) && signalled;
    }
};

// The update object in this process, on the fixture's installation.
UpkeepStruct *StartInProcess(const std::string &app, const std::string &versionFile,
                             Completion *completion) {
    UpkeepStruct *upkeep = nullptr;
    EXPECT_EQ(1, Upkeep_Create(&upkeep, Completion::Receive, completion));
    EXPECT_EQ(1, Upkeep_SetApp(upkeep, app.c_str()));
    EXPECT_EQ(1, Upkeep_SetVersionFile(upkeep, versionFile.c_str()));
    EXPECT_EQ(1, Upkeep_Start(upkeep));
    return upkeep;
}

TEST_F(UpkeepTest, DestroyDuringTheWaitEndsTheThreadWithOneFailedCompletion) {
    testsupport::CaptureAlerts();
    WriteStore(Members());
    Doc doc;
    WriteVersion(doc);
    std::string before = ReadFile(VersionPath());
    pid_t launcher = StartRunningLauncher();
    ASSERT_GT(launcher, 0);
    ASSERT_TRUE(Eventually([&] { return Upkeep_IsAppRunning((base_ + app_).c_str()); }));

    Completion completion;
    UpkeepStruct *upkeep = StartInProcess(base_ + app_, VersionPath(), &completion);
    ASSERT_TRUE(Eventually([&] {
        return testsupport::AlertText().find("Waiting for [" + base_ + app_ + "] to exit") !=
               std::string::npos;
    }));
    EXPECT_EQ(0, completion.calls.load());
    EXPECT_EQ(1, Upkeep_Destroy(&upkeep));
    EXPECT_EQ(nullptr, upkeep);
    testsupport::StopAlertCapture();
    kill(launcher, SIGTERM);
    WaitExit(launcher);

    EXPECT_EQ(1, completion.code.load());
    EXPECT_EQ(1, completion.calls.load());
    std::string alerts = testsupport::AlertText();
    EXPECT_EQ(std::string::npos, alerts.find("UPDATE_STATE_CHECKRUNNING complete")) << alerts;
    EXPECT_EQ(std::string::npos, alerts.find("Restarted")) << alerts;
    EXPECT_EQ(before, ReadFile(VersionPath()));
    ExpectInstallationUnchanged();
    EXPECT_FALSE(FileExists(base_ + "started.txt"));
}

// A damaged store: the update ends with one completion (1), the document as it
// was, and the old launcher, never replaced by damaged bytes, started again
// with its stored arguments.
TEST_F(UpkeepTest, DamagedStoreCompletesOnceAndRestartsTheOldLauncher) {
    const struct {
        const char *name;
        std::function<void(storefixture::Writer &)> damage;
    } cases[] = {
        {"launcher's digest wrong",
         [](storefixture::Writer &w) { w.members.back().resultHash = std::string(40, 'a'); }},
        {"last data file cut short",
         [](storefixture::Writer &w) { w.dataFiles.back().resize(w.dataFiles.back().size() / 2); }},
        {"last data file's bytes changed",
         [](storefixture::Writer &w) {
             std::string &data = w.dataFiles.back();
             for (size_t i = data.size() / 2; i < data.size(); i += 7)
                 data[i] = (char)(data[i] ^ 0x5A);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(base_ + "game_2");
        std::filesystem::remove(base_ + "started.txt");
        // The launcher is the last member, so the damage reaches it.
        WriteStore(Members(), c.damage);
        Doc doc;
        WriteVersion(doc);
        std::string before = ReadFile(VersionPath());

        testsupport::CaptureAlerts();
        Completion completion;
        UpkeepStruct *upkeep = StartInProcess(base_ + app_, VersionPath(), &completion);
        EXPECT_TRUE(completion.Wait());
        EXPECT_EQ(1, Upkeep_Destroy(&upkeep));
        testsupport::StopAlertCapture();

        EXPECT_EQ(1, completion.code.load());
        EXPECT_EQ(1, completion.calls.load());
        std::string alerts = testsupport::AlertText();
        EXPECT_EQ(std::string::npos, alerts.find("UPDATE_STATE_SAVE complete")) << alerts;
        EXPECT_EQ(before, ReadFile(VersionPath()));
        EXPECT_EQ(LauncherScript("v1"), ReadFile(base_ + app_));
        EXPECT_EQ("v1\n[-restarted]\n[a b]\n[c]\n", Started()) << alerts;
        // Put back what an earlier member may have changed, for the next case.
        WriteFile(base_ + "main.dat", oldMain_);
        std::filesystem::remove_all(base_ + "data");
    }
}

// The launcher's question whether a release's self-update is held: only by a
// readable record of that release (or of an unread one), made within the
// pause before now, while the document holds the update in progress.
TEST_F(UpkeepTest, FailedReleaseIsHeldOnlyWithinThePauseAndOnlyForThatRelease) {
    const int64_t now = 1800000000;
    const int64_t pause = UPDATERHOLD_PAUSE;
    const struct {
        const char *name;
        const char *record; // nullptr: none
        bool inProgress;
        int held;
        int64_t left;
    } cases[] = {
        {"no record", nullptr, true, 0, 0},
        {"the same release just failed", "2 7 1799999990\n", true, 1, pause - 10},
        {"the same release, pause almost over", "2 7 1799996401\n", true, 1, 1},
        {"the same release, pause over", "2 7 1799996400\n", true, 0, 0},
        {"another target version", "3 7 1799999990\n", true, 0, 0},
        {"another deploy of the release", "2 8 1799999990\n", true, 0, 0},
        {"a release that could not be read", "-1 0 1799999990\n", true, 1, pause - 10},
        {"a failure in the future (clock went back)", "2 7 1800000100\n", true, 0, 0},
        {"no update in progress", "2 7 1799999990\n", false, 0, 0},
        {"two numbers only", "2 7\n", true, 0, 0},
        {"a word instead of a number", "2 seven 1799999990\n", true, 0, 0},
        {"four numbers", "2 7 1799999990 1\n", true, 0, 0},
        {"empty", "", true, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Doc doc;
        doc.inProgress = c.inProgress;
        WriteVersion(doc);
        std::filesystem::remove(VersionPath() + ".failed");
        if (c.record != nullptr)
            WriteFile(VersionPath() + ".failed", c.record);
        int64_t left = -1;
        int64_t failedAt = -1;
        EXPECT_EQ(c.held, UpdaterHold_IsHeld(VersionPath().c_str(), now, pause, &left, &failedAt));
        EXPECT_EQ(c.left, left);
    }
    // Written as read, and cleared (twice: nothing left is no failure).
    ASSERT_EQ(1, UpdaterHold_Record(VersionPath().c_str(), 2, 7, now - 5));
    Doc doc;
    WriteVersion(doc);
    int64_t left = 0;
    int64_t failedAt = 0;
    EXPECT_EQ(1, UpdaterHold_IsHeld(VersionPath().c_str(), now, pause, &left, &failedAt));
    EXPECT_EQ(now - 5, failedAt);
    EXPECT_EQ(1, UpdaterHold_Clear(VersionPath().c_str()));
    EXPECT_EQ(1, UpdaterHold_Clear(VersionPath().c_str()));
    EXPECT_EQ(0, UpdaterHold_IsHeld(VersionPath().c_str(), now, pause, &left, &failedAt));
}

int FailRename(void *user, int step, const char *path) {
    (void)user;
    (void)path;
    return step == DURABLE_STEP_RENAME ? EIO : 0;
}

TEST_F(UpkeepTest, FailedSaveLeavesTheDocumentByteIdentical) {
    testsupport::CaptureAlerts();
    Doc doc;
    WriteVersion(doc);
    std::string before = ReadFile(VersionPath());
    PackageVersion *version = nullptr;
    PackageVersion_Create(&version);
    ASSERT_EQ(1, PackageVersion_LoadVersion(version, VersionPath().c_str()));
    Durable_SetFaultHook(FailRename, nullptr);
    EXPECT_EQ(0, Upkeep_SaveVersion(version, VersionPath().c_str()));
    Durable_SetFaultHook(nullptr, nullptr);
    testsupport::StopAlertCapture();
    EXPECT_EQ(before, ReadFile(VersionPath()));
    std::string out;
    testsupport::RunCommand("ls -a " + base_, &out);
    EXPECT_EQ(std::string::npos, out.find("game.version.")) << out;
    EXPECT_EQ(1, Upkeep_SaveVersion(version, VersionPath().c_str()));
    EXPECT_EQ(ExpectedProcessDocument(doc), ReadFile(VersionPath()));
    PackageVersion_Destroy(&version);
}

TEST(UpkeepObjectTest, StartNeedsBothPathsAndDestroyBeforeStartFailsTheUpdate) {
    Completion completion;
    UpkeepStruct *upkeep = nullptr;
    ASSERT_EQ(1, Upkeep_Create(&upkeep, Completion::Receive, &completion));
    EXPECT_EQ(0, Upkeep_Start(upkeep));
    EXPECT_EQ(1, Upkeep_SetApp(upkeep, "/nonexistent/portico"));
    EXPECT_EQ(0, Upkeep_Start(upkeep));
    EXPECT_EQ(0, Upkeep_SetVersionFile(upkeep, std::string(320, 'v').c_str()));
    EXPECT_EQ(0, Upkeep_Start(upkeep));
    EXPECT_EQ(1, Upkeep_Destroy(&upkeep));
    EXPECT_EQ(1, Upkeep_Destroy(&upkeep)); // null accepted
    EXPECT_EQ(1, completion.code.load());
    EXPECT_EQ(1, completion.calls.load());
}

// ---------------------------------------------------------------------------
// Command line and log options
// ---------------------------------------------------------------------------

TEST(UpkeepCommandLineTest, PathsFollowTheirWordsWhateverTheSwitchCharacter) {
    const std::string longPath(330, 'p');
    const struct {
        std::string line;
        int result;
        const char *app, *versionFile;
    } cases[] = {
        {"up /App \"/opt/a b/portico\" /VersionFile \"/opt/a b/game.version\"", 1,
         "/opt/a b/portico", "/opt/a b/game.version"},
        {"up -versionfile v.version -APP p", 1, "p", "v.version"},
        {"up xApp p +VersionFile v -debug", 1, "p", "v"},
        {"up /App p", 0, "p", ""},
        {"up /App", 0, "", ""},
        {"up /Apps p /VersionFile v", 0, "", "v"},
        {"up /App " + longPath + " /VersionFile v", 0, "", "v"},
        // The program's own path is never read as a word.
        {"/App /VersionFile v", 0, "", "v"},
    };
    for (const auto &c : cases) {
        int count = 0;
        Zyl_ArgCount(c.line.c_str(), &count);
        char app[UPKEEP_PATH_SIZE] = "old";
        char versionFile[UPKEEP_PATH_SIZE] = "old";
        EXPECT_EQ(c.result, Upkeep_ParseCommandLine(app, c.line.c_str(), count, versionFile))
            << c.line;
        EXPECT_STREQ(c.app, app) << c.line;
        EXPECT_STREQ(c.versionFile, versionFile) << c.line;
    }
}

TEST(UpkeepCommandLineTest, JoinedArgumentsSplitBackIntoTheSameWords) {
    const char *argv[] = {"/opt/up keep", "/App", "a \"quoted\" path", "", "-x", "tab\there", "\""};
    char line[UPKEEP_COMMAND_LINE_SIZE];
    ASSERT_EQ(1, Upkeep_JoinArguments(line, sizeof(line), 7, argv));
    // Words without blanks or quotes stand bare, so switch words count as such.
    EXPECT_STREQ("\"/opt/up keep\" /App \"a \"\"quoted\"\" path\" \"\" -x \"tab\there\" \"\"\"\"",
                 line);
    int count = 0;
    Zyl_ArgCount(line, &count);
    ASSERT_EQ(7, count) << line;
    for (int i = 0; i < 7; i++) {
        char word[UPKEEP_COMMAND_LINE_SIZE];
        EXPECT_EQ(1, Zyl_ArgGet(line, i, word, sizeof(word)));
        EXPECT_STREQ(argv[i], word);
    }
    std::string big(UPKEEP_COMMAND_LINE_SIZE, 'x');
    const char *tooLong[] = {"up", big.c_str()};
    EXPECT_EQ(0, Upkeep_JoinArguments(line, sizeof(line), 2, tooLong));
    EXPECT_STREQ("", line);
}

} // namespace
