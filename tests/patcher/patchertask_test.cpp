// The update task on the scripted download client, started by its package
// controller from documents nginx serves: the states it walks and the events
// it sends, the version document at each milestone, restarts, resumed tasks,
// failed and cancelled downloads, pauses, held requests, and a real update of
// whole files and VCDIFF deltas from a patch store with installer commands.
#include "tests/patcher/update_support.h"

#include "tests/patcher/installer_support.h"
#include "tests/patcher/store_fixture.h"

#include <sys/stat.h>

using namespace updatetest;

namespace {

struct Stored {
    int version = -2;
    int32_t inProgress = -1;
    int state = -1;
    int performDelete = -1;
};

Stored ReadStored(const std::string &path) {
    Stored stored;
    PackageVersion *document = nullptr;
    PackageVersion_Create(&document);
    if (PackageVersion_LoadVersion(document, path.c_str())) {
        int32_t version = 0;
        PackageVersion_GetVersion(document, &version);
        stored.version = version;
        PackageVersion_GetInProgress(document, &stored.inProgress);
        PatcherTaskStatus *status = nullptr;
        PatcherTaskData *data = nullptr;
        PackageVersion_GetTaskStatus(document, &status);
        PatcherTaskStatus_GetData(status, &data);
        stored.state = data->PatcherState;
        stored.performDelete = data->PerformDelete;
    }
    PackageVersion_Destroy(&document);
    return stored;
}

struct Launch {
    std::string copyPath, outputPath, versionPath;
};
std::mutex gLaunchMutex;
std::vector<Launch> gLaunches;

int RecordLaunch(const char *copyPath, const char *outputPath, const char *versionPath) {
    std::lock_guard<std::mutex> lock(gLaunchMutex);
    gLaunches.push_back({copyPath, outputPath, versionPath});
    return 1;
}

class TaskTest : public UpdateFixture {
  protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        ASSERT_TRUE(nginx_.ok()) << nginx_.error();
        {
            std::lock_guard<std::mutex> lock(gLaunchMutex);
            gLaunches.clear();
        }
        Patcher_SetLaunchUpdaterCallback(patcher, RecordLaunch);
    }
    void Add() {
        ASSERT_EQ(1, Patcher_AddPackage(patcher, 1, "game", BaseUrl().c_str(), install_.c_str(),
                                        nullptr));
    }
    bool Reached(int state) {
        return RunUntil([&] { return recorder.Saw("game", state); });
    }
    // Drains for a while without moving the download on.
    void Idle(int passes = 20) {
        for (int i = 0; i < passes; i++) {
            Drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

TEST_F(TaskTest, ANewTaskWalksEveryStateAndSavesItsMilestones) {
    Serve("game.package",
          PackageDocument("Incremental", {{1}, {2}}, "  <PerformExpand>0</PerformExpand>\n"));
    WriteVersion(VersionPath("game"), 1);
    autoDownload = false;
    Add();
    ASSERT_TRUE(Reached(PATCHER_STATE_PREPARE)) << front.DumpLogs();
    Stored stored = ReadStored(VersionPath("game"));
    EXPECT_EQ(1, stored.inProgress);
    EXPECT_EQ(PATCHER_STATE_IDLE, stored.state);
    EXPECT_EQ(1, stored.version);
    ScriptedDownloadInfo info;
    ASSERT_TRUE(RunUntil([&] { return ScriptedClient_GetDownload(client, "game", &info) == 1; }));
    EXPECT_STREQ("game_2.torrent", info.Metafile); // PrependDirectory 0
    EXPECT_EQ(install_ + "game_2/", info.OutputPath);
    EXPECT_STREQ("http://127.0.0.1:9/skin", info.SkinSource);
    EXPECT_EQ(1, info.ElementOptions[PATCHER_ELEMENT_USE_CACHE]);
    EXPECT_EQ(0, info.ElementOptions[PATCHER_ELEMENT_ADD_FOLDER]); // files straight into the output
    recorder.preHold = 1; // the front end holds the pre-processing
    autoDownload = true;
    ASSERT_TRUE(Reached(PATCHER_STATE_PREPROCESS));
    Idle();
    stored = ReadStored(VersionPath("game"));
    EXPECT_EQ(1, stored.inProgress);
    EXPECT_EQ(PATCHER_STATE_WAITFORLIVE, stored.state); // saved after DOWNLOAD
    EXPECT_EQ(PATCHER_STATE_PREPROCESS, recorder.States("game").back());
    EXPECT_GE(recorder.preProcessCalls, 2); // asked again on every step
    recorder.preHold = 0;
    ASSERT_TRUE(Reached(PATCHER_STATE_TASKCOMPLETE)) << front.DumpLogs();
    ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", PATCHER_STATE_ALLTASKSCOMPLETE); }));
    std::vector<int> expected = {2, 3, 4, 5, 8, 9, 10, 11, 12};
    EXPECT_EQ(expected, recorder.States("game"));
    for (size_t i = 1; i < recorder.changes.size(); i++)
        EXPECT_EQ(recorder.changes[i - 1].record.NewState,
                  recorder.changes[i].record.PreviousState);
    stored = ReadStored(VersionPath("game"));
    EXPECT_EQ(2, stored.version);
    EXPECT_EQ(0, stored.inProgress);
    EXPECT_EQ(1, recorder.postProcessCalls);
    // STATUS events come with WAITFORLIVE and TASKCOMPLETE.
    bool sawComplete = false;
    for (const auto &status : recorder.statuses)
        sawComplete |= status.second.State == PATCHER_STATE_TASKCOMPLETE;
    EXPECT_TRUE(sawComplete);
    ScriptedClient_GetDownload(client, "game", &info);
    EXPECT_EQ(1, info.Removed);
}

TEST_F(TaskTest, ARestartRequiredAsksAndLaunchesTheUpdater) {
    Serve("game.package",
          PackageDocument("Incremental", {{1}, {2, "<RestartRequired>1</RestartRequired>"}}));
    WriteVersion(VersionPath("game"), 1);
    recorder.allow = 0; // refused first, asked again
    Add();
    ASSERT_TRUE(Reached(PATCHER_STATE_ALLOWRESTART)) << front.DumpLogs();
    Idle();
    EXPECT_FALSE(recorder.Saw("game", PATCHER_STATE_PERFORMRESTART));
    EXPECT_GE(recorder.allowRestartCalls, 2);
    recorder.allow = 1;
    ASSERT_TRUE(RunUntil([&] { return recorder.performRestarts > 0; })) << front.DumpLogs();
    std::vector<int> expected = {2, 3, 4, 5, 6, 7};
    EXPECT_EQ(expected, recorder.States("game"));
    std::lock_guard<std::mutex> lock(gLaunchMutex);
    ASSERT_FALSE(gLaunches.empty());
    EXPECT_EQ(install_, gLaunches[0].copyPath);
    EXPECT_EQ(install_ + "game_2/", gLaunches[0].outputPath);
    EXPECT_EQ(VersionPath("game"), gLaunches[0].versionPath);
    EXPECT_EQ(PATCHER_STATE_ALLOWRESTART, ReadStored(VersionPath("game")).state);
}

TEST_F(TaskTest, ATaskResumedInProcessWithARestartSkipsTheExpansion) {
    Serve("game.package",
          PackageDocument("Incremental", {{1}, {2}}, "<DeployStamp>5</DeployStamp>"));
    // The updater left it: state PROCESS, files already expanded (none here),
    // a manifest to process.
    std::filesystem::create_directories(install_ + "game_2");
    testsupport::WriteFile(install_ + "game_2/new.txt", "must not be copied");
    testsupport::WriteFile(install_ + "game_2/remove.manifest", "# gone\r\nold.txt\r\n");
    testsupport::WriteFile(install_ + "old.txt", "old");
    WriteVersion(VersionPath("game"), 1, [&](PatcherTaskData *data) {
        data->PatcherState = PATCHER_STATE_PROCESS;
        data->TargetVersion = 2;
        Zyl_StrCopy(data->TargetName, "v2", PATCHER_SHORT_NAME_SIZE);
        Zyl_StrCopy(data->PackageName, "game", PATCHER_PATH_SIZE);
        data->PackageType = PACKAGE_TYPE_INCREMENTAL;
        data->RestartRequired = 1;
        data->PerformCopy = 1;
        data->ProcessDeleteManifest = 1;
        data->DeployStamp = 5;
        Zyl_StrCopy(data->BasePath, install_.c_str(), PATCHER_PATH_SIZE);
        Zyl_StrCopy(data->OutputPath, (install_ + "game_2/").c_str(), PATCHER_PATH_SIZE);
        Zyl_StrCopy(data->CopyPath, install_.c_str(), PATCHER_PATH_SIZE);
    });
    Add();
    ASSERT_TRUE(Reached(PATCHER_STATE_TASKCOMPLETE)) << front.DumpLogs();
    std::vector<int> expected = {8, 9, 10, 11};
    EXPECT_EQ(expected, recorder.States("game"));
    EXPECT_FALSE(testsupport::FileExists(install_ + "new.txt"));
    EXPECT_FALSE(testsupport::FileExists(install_ + "old.txt"));
    EXPECT_EQ(2, ReadStored(VersionPath("game")).version);
}

TEST_F(TaskTest, AFailedOrCancelledDownloadFailsTheTask) {
    for (int downloadState :
         {(int)PATCHER_DOWNLOAD_STATE_FAILED, (int)PATCHER_DOWNLOAD_STATE_CANCELLED}) {
        SCOPED_TRACE(downloadState);
        recorder.changes.clear();
        Serve("game.package", PackageDocument("Incremental", {{1}, {2}}));
        WriteVersion(VersionPath("game"), 1);
        autoDownload = false;
        Add();
        ScriptedDownloadInfo info;
        ASSERT_TRUE(RunUntil([&] {
            return ScriptedClient_GetDownload(client, "game", &info) == 1 && !info.Removed;
        }));
        ScriptedClient_SetState(client, "game", PATCHER_DOWNLOAD_STATE_DOWNLOAD);
        ASSERT_TRUE(Reached(PATCHER_STATE_DOWNLOAD));
        ScriptedClient_SetState(client, "game", downloadState);
        ASSERT_TRUE(Reached(PATCHER_STATE_FAILED)) << front.DumpLogs();
        EXPECT_EQ(1, ReadStored(VersionPath("game")).version);
        ASSERT_EQ(1, Patcher_RemovePackage(patcher, 1, "game"));
    }
}

TEST_F(TaskTest, AnInactiveTaskNeitherMovesNorReports) {
    Serve("game.package", PackageDocument("Incremental", {{1}, {2}}));
    WriteVersion(VersionPath("game"), 1);
    autoDownload = false;
    Add();
    ASSERT_TRUE(Reached(PATCHER_STATE_PREPARE));
    ScriptedDownloadInfo info;
    ASSERT_TRUE(RunUntil([&] { return ScriptedClient_GetDownload(client, "game", &info) == 1; }));
    ASSERT_EQ(1, Patcher_SetPackageActive(patcher, 1, "game", 0));
    ScriptedClient_GetDownload(client, "game", &info);
    EXPECT_EQ(0, info.Active); // the download is paused with it
    ScriptedClient_SetState(client, "game", PATCHER_DOWNLOAD_STATE_DOWNLOAD);
    size_t changes = recorder.changes.size(), statuses = recorder.statuses.size();
    Idle(30);
    EXPECT_EQ(changes, recorder.changes.size());
    EXPECT_EQ(statuses, recorder.statuses.size());
    ASSERT_EQ(1, Patcher_SetPackageActive(patcher, 1, "game", 1));
    EXPECT_TRUE(Reached(PATCHER_STATE_DOWNLOAD));
}

// The metafile of a progressive VCDIFF update names the release it starts
// from: the installed one, or the baseline (0, or -1 without one) when the
// installed release is older than the releases kept available.
TEST_F(TaskTest, ProgressiveVcdiffMetafilesNameTheirStart) {
    struct Case {
        int installed;
        const char *baseLine;
        const char *metafile;
    };
    const Case cases[] = {
        {4, "1", "game_5_4to5.vexil"},
        {1, "1", "game_5_0to5.vexil"},
        {1, "0", "game_5_-1to5.vexil"},
    };
    autoDownload = false;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.metafile);
        Serve("game.package",
              PackageDocument("ProgressiveVcDiff",
                              {{5, "<AvailableReleases>2</AvailableReleases>"}},
                              std::string("<HasBaseLine>") + c.baseLine + "</HasBaseLine>"));
        WriteVersion(VersionPath("game"), c.installed);
        Add();
        ScriptedDownloadInfo info;
        ASSERT_TRUE(RunUntil([&] {
            return ScriptedClient_GetDownload(client, "game", &info) == 1 && !info.Removed;
        })) << front.DumpLogs();
        EXPECT_STREQ(c.metafile, info.Metafile);
        EXPECT_EQ(install_ + "game_p/", info.OutputPath);
        ASSERT_EQ(1, Patcher_RemovePackage(patcher, 1, "game"));
    }
}

// The baseline step of a progressive VCDIFF update: made from the installation
// when nothing is installed yet (it fails the task without its patch store),
// and copied back over the installation when the installed release is older
// than the releases kept available.
TEST_F(TaskTest, TheBaselineIsMadeOrRevertedTo) {
    Serve("game.package",
          PackageDocument("ProgressiveVcDiff", {{5, "<AvailableReleases>2</AvailableReleases>"}},
                          "<HasBaseLine>1</HasBaseLine><PerformExpand>0</PerformExpand>"));
    // Nothing installed: version 0 with a baseline, and no store to take it from.
    Add();
    ASSERT_TRUE(Reached(PATCHER_STATE_FAILED)) << front.DumpLogs();
    EXPECT_TRUE(recorder.Saw("game", PATCHER_STATE_PREPROCESS));
    int errors = 0;
    for (const auto &line : front.logs)
        errors +=
            line.first == 0 && line.second.find("Unable to create baseline") != std::string::npos;
    EXPECT_EQ(1, errors) << front.DumpLogs();
    ASSERT_EQ(1, Patcher_RemovePackage(patcher, 1, "game"));

    // Release 1 installed, 4 and 5 available: back to the baseline first.
    recorder.changes.clear();
    std::filesystem::create_directories(install_ + "game_p/baseline/sub");
    testsupport::WriteFile(install_ + "game_p/baseline/sub/base.txt", "baseline");
    testsupport::WriteFile(install_ + "sub/base.txt", "modified");
    WriteVersion(VersionPath("game"), 1);
    Add();
    ASSERT_TRUE(Reached(PATCHER_STATE_TASKCOMPLETE)) << front.DumpLogs();
    EXPECT_EQ("baseline", testsupport::ReadFile(install_ + "sub/base.txt"));
    EXPECT_EQ(1, front.CountLog("[INFO] Performing revert to baseline"));
}

// 600 s of a download whose bytes left do not change give one warning; a
// change starts the count again.
TEST_F(TaskTest, AStalledDownloadIsReportedOncePerStall) {
    Serve("game.package", PackageDocument("Incremental", {{1}, {2}}));
    WriteVersion(VersionPath("game"), 1);
    autoDownload = false;
    Add();
    ScriptedDownloadInfo info;
    ASSERT_TRUE(RunUntil([&] { return ScriptedClient_GetDownload(client, "game", &info) == 1; }));
    PatcherDownloadStatus figures = info.Status;
    figures.FilesSize = 1000;
    figures.BytesLeft = 1000;
    ScriptedClient_SetFigures(client, "game", &figures);
    ScriptedClient_SetState(client, "game", PATCHER_DOWNLOAD_STATE_DOWNLOAD);
    ASSERT_TRUE(Reached(PATCHER_STATE_DOWNLOAD));
    const std::string warning =
        "[WARNING] No download sources have successfully contributed within warn interval";
    Idle(5);
    EXPECT_EQ(0, front.CountLog(warning));
    gStep = 100; // every step is 100 s from now on
    ASSERT_TRUE(RunUntil([&] { return front.CountLog(warning) == 1; }, 10)) << front.DumpLogs();
    Idle(20);
    EXPECT_EQ(1, front.CountLog(warning));
    figures.BytesLeft = 400;
    ScriptedClient_SetFigures(client, "game", &figures);
    ASSERT_TRUE(RunUntil([&] { return front.CountLog(warning) == 2; }, 10)) << front.DumpLogs();
    bool sawLeft = false;
    for (const auto &status : recorder.statuses)
        sawLeft |= status.second.DownloadBytesLeft == 400;
    EXPECT_TRUE(sawLeft);
}

TEST_F(TaskTest, AProgressivePackageKeepsItsFolder) {
    Serve("game.package", PackageDocument("Progressive", {{1}, {2}},
                                          "<PerformExpand>1</PerformExpand>"
                                          "<PerformPostExpandDelete>1</PerformPostExpandDelete>"));
    WriteVersion(VersionPath("game"), 1);
    autoDownload = false;
    Add();
    ScriptedDownloadInfo info;
    ASSERT_TRUE(RunUntil([&] { return ScriptedClient_GetDownload(client, "game", &info) == 1; }));
    std::filesystem::create_directories(install_ + "game_p");
    testsupport::WriteFile(install_ + "game_p/data.txt", "release 2");
    recorder.postHold = 1;
    autoDownload = true;
    ASSERT_TRUE(Reached(PATCHER_STATE_POSTPROCESS)) << front.DumpLogs();
    EXPECT_EQ(0, ReadStored(VersionPath("game")).performDelete); // saved after PREPROCESS
    recorder.postHold = 0;
    ASSERT_TRUE(Reached(PATCHER_STATE_TASKCOMPLETE)) << front.DumpLogs();
    EXPECT_EQ("release 2", testsupport::ReadFile(install_ + "data.txt"));
    EXPECT_TRUE(testsupport::FileExists(install_ + "game_p/data.txt"));
    EXPECT_EQ(1, front.CountLog("[WARNING] Forcing directory delete to false - progressive "
                                "packages are unable to delete temporary directory"));
}

// Whole files and VCDIFF deltas from a patch store, installer commands before
// and after, the delete manifest, the version recorded and the store removed.
TEST_F(TaskTest, AnIncrementalVcdiffUpdateIsAppliedForReal) {
    if (!testsupport::HaveProgram("xdelta3"))
        GTEST_SKIP() << "xdelta3 not installed";
    std::string oldData(40000, 'a'), newData;
    for (int i = 0; i < 40000; i++)
        newData += (char)('a' + (i * 7 % 13 == 0 ? 1 : 0));
    testsupport::WriteFile(install_ + "data.bin", oldData);
    testsupport::WriteFile(install_ + "stale.txt", "stale");
    testsupport::TempDir work;
    storefixture::Writer writer;
    writer.members = {storefixture::WholeMember("readme.txt", "release 2"),
                      storefixture::DeltaMember(work, "data.bin", oldData, newData)};
    writer.Layout();
    using installertest::Command;
    std::string pre =
        "<PreProcessCommands>" +
        Command("CreateProcessCommand", {{"App", "/bin/sh"},
                                         {"Args", "-c \"echo pre > '{CopyPath}pre.txt'\""},
                                         {"ShowWindow", "true"},
                                         {"ExpectedReturnCode", "0"}}) +
        "</PreProcessCommands>";
    std::string post =
        "<PostProcessCommands>" +
        Command("CreateProcessCommand",
                {{"App", "/bin/sh"},
                 {"Args", "-c \"cat '{CopyPath}readme.txt' > '{CopyPath}post.txt'\""},
                 {"ShowWindow", "true"},
                 {"ExpectedReturnCode", "0"}}) +
        "</PostProcessCommands>";
    Serve("game.package", PackageDocument("IncrementalVcDiff", {{1}, {2}},
                                          "<ProcessDeleteManifest>1</ProcessDeleteManifest>"
                                          "<PerformExpand>1</PerformExpand>"
                                          "<PerformPostExpandDelete>1</PerformPostExpandDelete>" +
                                              pre + post));
    WriteVersion(VersionPath("game"), 1);
    autoDownload = false;
    Add();
    ScriptedDownloadInfo info;
    ASSERT_TRUE(RunUntil([&] { return ScriptedClient_GetDownload(client, "game", &info) == 1; }))
        << front.DumpLogs();
    // What the download delivers: the store and the manifest.
    std::filesystem::create_directories(install_ + "game_2");
    writer.Write(install_ + "game_2", "game_2_1to2");
    testsupport::WriteFile(install_ + "game_2/remove.manifest", "stale.txt\n");
    ASSERT_TRUE(testsupport::FileExists(install_ + "game_2/remove.manifest"));
    autoDownload = true;
    ASSERT_TRUE(Reached(PATCHER_STATE_TASKCOMPLETE)) << front.DumpLogs();
    EXPECT_EQ("release 2", testsupport::ReadFile(install_ + "readme.txt"));
    EXPECT_EQ(newData, testsupport::ReadFile(install_ + "data.bin"));
    EXPECT_EQ("pre\n", testsupport::ReadFile(install_ + "pre.txt"));
    EXPECT_EQ("release 2", testsupport::ReadFile(install_ + "post.txt"));
    EXPECT_FALSE(testsupport::FileExists(install_ + "stale.txt"));
    EXPECT_FALSE(testsupport::FileExists(install_ + "game_2"));
    Stored stored = ReadStored(VersionPath("game"));
    EXPECT_EQ(2, stored.version);
    EXPECT_EQ(0, stored.inProgress);
    bool sawExpansion = false;
    for (const auto &status : recorder.statuses)
        sawExpansion |=
            status.second.State == PATCHER_STATE_PROCESS && status.second.ExpansionDone > 0;
    EXPECT_TRUE(sawExpansion);
}

} // namespace
