// The package controller against nginx: which release it offers and when it
// fetches again, the front end's answers, resumed and abandoned updates,
// maintenance notices, the failure schedule and Basic authentication; and
// that neither a slow fetch nor a consent callback keeps the API mutex.
#include "tests/patcher/update_support.h"

#include "patcher/documentfetch.h"
#include "patcher/packagecontroller.h"
#include "tests/support/scripted_server.h"

#include <fstream>
#include <sys/stat.h>

using namespace updatetest;

namespace {

class ControllerTest : public UpdateFixture {
  protected:
    void Add(const std::string &name = "game") {
        ASSERT_EQ(1, Patcher_AddPackage(patcher, 1, name.c_str(), BaseUrl().c_str(),
                                        install_.c_str(), nullptr));
    }
    int CountLike(const std::string &text) const {
        int count = 0;
        for (const auto &line : front.logs)
            count += line.second.find(text) != std::string::npos;
        return count;
    }
    bool Logged(const std::string &text) const { return CountLike(text) > 0; }
};

TEST_F(ControllerTest, OffersTheNextReleaseAndFetchesAgainAfterItCompletes) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package",
          PackageDocument("Incremental", {{5}, {3}, {4}}, "  <PerformExpand>0</PerformExpand>\n"));
    WriteVersion(VersionPath("game"), 3);
    Add();
    ASSERT_TRUE(RunUntil([&] { return recorder.offers.size() >= 2; })) << front.DumpLogs();
    EXPECT_EQ(3, recorder.offers[0].CurrentVersion);
    EXPECT_EQ(4, recorder.offers[0].TargetVersion);
    EXPECT_STREQ("v4", recorder.offers[0].TargetName);
    EXPECT_EQ(PACKAGE_TYPE_INCREMENTAL, recorder.offers[0].PackageType);
    // Installed 4 by the first task, the immediate fetch offers 5.
    EXPECT_EQ(4, recorder.offers[1].CurrentVersion);
    EXPECT_EQ(5, recorder.offers[1].TargetVersion);
    ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", PATCHER_STATE_ALLTASKSCOMPLETE); }));
    EXPECT_EQ(5, ReadInstalledVersion(VersionPath("game")));
    EXPECT_TRUE(Logged("Version retrieved [game] 5/3 [v5]/[v3] type [PACKAGE_TYPE_INCREMENTAL]"));
}

TEST_F(ControllerTest, LoweredTargetWithoutReleaseStartsNoTask) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package", PackageDocument("Incremental", {{1}, {5}}));
    WriteVersion(VersionPath("game"), 1);
    recorder.chooseTarget = [](const PatcherVersionCheckRecord &) { return 3; };
    Add();
    ASSERT_TRUE(RunUntil([&] { return Logged("Unable to locate specified version"); }))
        << front.DumpLogs();
    ScriptedClientInfo info;
    ScriptedClient_GetInfo(client, &info);
    EXPECT_EQ(0, info.AddCalls);
    EXPECT_TRUE(recorder.changes.empty());
}

TEST_F(ControllerTest, ATargetBelowTheInstalledSuppressesTheUpdate) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package", PackageDocument("Incremental", {{2}, {3}}));
    WriteVersion(VersionPath("game"), 2);
    recorder.chooseTarget = [](const PatcherVersionCheckRecord &) { return -4; };
    Add();
    ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", PATCHER_STATE_ALLTASKSCOMPLETE); }));
    EXPECT_TRUE(Logged("Update suppressed due to event request [2/3,0]"));
    EXPECT_EQ(PATCHER_STATE_IDLE, recorder.changes[0].record.PreviousState);
    EXPECT_EQ(2, recorder.changes[0].record.Status.CurrentVersion);
}

TEST_F(ControllerTest, AProgressivePackageKeepsTheOfferedTarget) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package",
          PackageDocument("Progressive", {{2}, {3}}, "  <PerformExpand>0</PerformExpand>\n"));
    WriteVersion(VersionPath("game"), 1);
    recorder.chooseTarget = [](const PatcherVersionCheckRecord &) { return 3; };
    autoDownload = false;
    Add();
    ASSERT_TRUE(RunUntil([&] {
        ScriptedDownloadInfo info;
        return ScriptedClient_GetDownload(client, "game", &info) == 1;
    })) << front.DumpLogs();
    ScriptedDownloadInfo info;
    ScriptedClient_GetDownload(client, "game", &info);
    EXPECT_STREQ("game_2.torrent", info.Metafile);
    EXPECT_EQ(1, front.CountLog("[WARNING] Target version cannot be changed using update type "
                                "[PACKAGE_TYPE_PROGRESSIVE]"))
        << front.DumpLogs();
}

TEST_F(ControllerTest, MaintenanceCarriesBothTexts) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package",
          PackageDocument("Maintenance", {},
                          "  <MaintenanceOptions><MaintenanceUrl>http://status/</MaintenanceUrl>"
                          "<AdditionalInfo>Back at noon</AdditionalInfo></MaintenanceOptions>\n"));
    Add();
    ASSERT_TRUE(RunUntil([&] { return !recorder.maintenance.empty(); })) << front.DumpLogs();
    EXPECT_EQ("game", recorder.maintenance[0].first);
    EXPECT_STREQ("http://status/", recorder.maintenance[0].second.MaintenanceUrl);
    EXPECT_STREQ("Back at noon", recorder.maintenance[0].second.AdditionalInfo);
    EXPECT_TRUE(recorder.offers.empty());
}

// A version document left in progress at state 8 with deploy stamp 7.
void InProgress(PatcherTaskData *data, const std::string &install, int stamp) {
    data->PatcherState = PATCHER_STATE_PROCESS;
    data->TargetVersion = 4;
    Zyl_StrCopy(data->TargetName, "v4", PATCHER_SHORT_NAME_SIZE);
    Zyl_StrCopy(data->PackageName, "game", PATCHER_PATH_SIZE);
    Zyl_StrCopy(data->SkinSource, "http://127.0.0.1:9/skin", PATCHER_PATH_SIZE);
    data->PackageType = PACKAGE_TYPE_INCREMENTAL;
    data->PackageDescriptorType = 1;
    data->DeployStamp = stamp;
    Zyl_StrCopy(data->BasePath, install.c_str(), PATCHER_PATH_SIZE);
    Zyl_StrCopy(data->OutputPath, (install + "game_4/").c_str(), PATCHER_PATH_SIZE);
    Zyl_StrCopy(data->CopyPath, install.c_str(), PATCHER_PATH_SIZE);
}

TEST_F(ControllerTest, AnUpdateWithTheSameDeployStampIsResumed) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package",
          PackageDocument("Incremental", {{3}, {4}}, "  <DeployStamp>7</DeployStamp>\n"));
    WriteVersion(VersionPath("game"), 3,
                 [&](PatcherTaskData *data) { InProgress(data, install_, 7); });
    Add();
    ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", PATCHER_STATE_TASKCOMPLETE); }))
        << front.DumpLogs();
    EXPECT_TRUE(Logged("Restart previous"));
    ASSERT_FALSE(recorder.changes.empty());
    EXPECT_EQ(PATCHER_STATE_PROCESS, recorder.changes[0].record.NewState);
    EXPECT_EQ(PATCHER_STATE_IDLE, recorder.changes[0].record.PreviousState);
    EXPECT_TRUE(recorder.offers.empty());
    EXPECT_EQ(4, ReadInstalledVersion(VersionPath("game")));
}

TEST_F(ControllerTest, AnUpdateWithAnotherDeployStampIsAbandoned) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package",
          PackageDocument("Incremental", {{3}, {4}}, "  <DeployStamp>8</DeployStamp>\n"));
    WriteVersion(VersionPath("game"), 3,
                 [&](PatcherTaskData *data) { InProgress(data, install_, 7); });
    autoDownload = false;
    Add();
    ASSERT_TRUE(RunUntil([&] { return !recorder.offers.empty(); })) << front.DumpLogs();
    EXPECT_TRUE(Logged("Abandon previous (non-matching deploy stamps [7,8])"));
    EXPECT_EQ(3, recorder.offers[0].CurrentVersion);
    EXPECT_EQ(4, recorder.offers[0].TargetVersion);
    ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", PATCHER_STATE_PREPARE); }));
    EXPECT_EQ(PATCHER_STATE_PREPARE, recorder.changes[0].record.NewState);
    EXPECT_EQ(PATCHER_STATE_IDLE, recorder.changes[0].record.PreviousState);
}

// The controller ticked by the test itself (not filed in the Patcher), so
// that the test's elapsed seconds drive its countdown.
class ScheduleTest : public ControllerTest {
  protected:
    void SetUp() override {
        ControllerTest::SetUp();
        ASSERT_EQ(
            1, PackageController_Create(BaseUrl().c_str(), install_.c_str(), &controller_, "game"));
        PackageController_SetPatcher(controller_, patcher);
    }
    void TearDown() override {
        PackageController_Destroy(&controller_);
        ControllerTest::TearDown();
    }
    // Ticks once; the number of fetches it made.
    int Tick(double seconds) {
        int before = Attempts();
        Patcher_Lock(patcher);
        PackageController_TickAndFetch(seconds, controller_);
        Patcher_Unlock(patcher);
        return Attempts() - before;
    }
    int Attempts() {
        Drain();
        return front.CountLog("[INFO] Attempt to retrieve package [" + BaseUrl() + "game.package]");
    }
    int Errors() {
        Drain();
        return CountLike("Unable to retrieve version [" + BaseUrl() + "game.package]");
    }
    PackageControllerStruct *controller_ = nullptr;
};

TEST_F(ScheduleTest, FailuresWaitThirtySecondsTwiceThenAPeriodAndASuccessResets) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    EXPECT_EQ(1, Tick(0)); // 404
    EXPECT_EQ(0, Tick(29.5));
    EXPECT_EQ(1, Tick(0.5));
    EXPECT_EQ(0, Errors());
    EXPECT_EQ(1, Tick(30));
    EXPECT_EQ(1, Errors());
    EXPECT_EQ(0, Tick(1799));
    EXPECT_EQ(1, Tick(1));
    EXPECT_EQ(2, Errors());
    Serve("game.package", PackageDocument("Incremental", {{1}}));
    WriteVersion(VersionPath("game"), 1);
    EXPECT_EQ(1, Tick(1800));
    EXPECT_EQ(2, Errors());
    ASSERT_EQ(0, unlink((nginx_.root() + "/game.package").c_str()));
    EXPECT_EQ(1, Tick(1800));
    EXPECT_EQ(0, Tick(29));
    EXPECT_EQ(1, Tick(1)); // after a success the count started again
    EXPECT_EQ(2, Errors());
    EXPECT_EQ(1, front.CountLog("[WARNING] Error retrieving [" + BaseUrl() +
                                "game.package] ErrorCode 404") > 0);
}

TEST_F(ScheduleTest, AnUnreadableDocumentCountsAsAFailedFetch) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package", "<Package PatcherVersion=\"1\"><Type>Sideways</Type></Package>");
    EXPECT_EQ(1, Tick(0));
    EXPECT_EQ(0, Tick(29));
    EXPECT_EQ(1, Tick(1));
    EXPECT_GE(CountLike("Invalid PackageType [Sideways]"), 2);
    EXPECT_TRUE(recorder.offers.empty());
}

// nginx refuses empty credentials too: one fetch, two requests, both 401.
TEST(ControllerAuthTest, BasicAuthenticationIsAskedOnceMoreWithEmptyCredentials) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "users", "reader:{PLAIN}secret\n");
    nettest::NginxServer nginx("location /secure/ { auth_basic \"docs\"; auth_basic_user_file " +
                               (dir / "users") + "; access_log " + (dir / "access.log") + "; }");
    ASSERT_TRUE(nginx.ok()) << nginx.error();
    std::filesystem::create_directories(nginx.root() + "/secure");
    testsupport::WriteFile(nginx.root() + "/secure/game.package",
                           PackageDocument("Incremental", {{1}}));
    char *content = nullptr;
    int64_t size = 0;
    EXPECT_EQ(
        0, PatcherFetch_Get(nginx.url("/secure/game.package").c_str(), &content, &size, nullptr));
    // nginx writes a request's line once the reply went out.
    std::string log;
    for (int i = 0; i < 400 && std::count(log.begin(), log.end(), '\n') < 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        log = testsupport::ReadFile(dir / "access.log");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = testsupport::ReadFile(dir / "access.log");
    EXPECT_EQ(2, std::count(log.begin(), log.end(), '\n')) << log;
    size_t first = log.find("\" 401 ");
    EXPECT_NE(std::string::npos, first) << log;
    EXPECT_NE(std::string::npos, log.find("\" 401 ", first + 1)) << log;
}

// A server that takes the empty user and password hands the document over.
TEST(ControllerAuthTest, TheSecondRequestCarriesEmptyBasicCredentials) {
    nettest::ScriptedServer server([](nettest::ScriptedConnection &connection, int) {
        std::string request = connection.ReadRequest();
        if (request.find("Authorization: Basic Og==\r\n") == std::string::npos)
            connection.Send("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic "
                            "realm=\"docs\"\r\nContent-Length: 0\r\n\r\n");
        else
            connection.Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    });
    char *content = nullptr;
    int64_t size = 0;
    ASSERT_EQ(1, PatcherFetch_Get(server.url("/game.package").c_str(), &content, &size, nullptr));
    EXPECT_STREQ("hello", content);
    PatcherFetch_Free(&content, size);
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(std::string::npos, requests[0].find("Authorization"));
}

TEST(ControllerFetchTest, ADocumentOverSixteenMebibytesIsAFailedFetch) {
    nettest::NginxServer nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error();
    testsupport::WriteFile(nginx.root() + "/big.package",
                           std::string((size_t)PATCHER_DOCUMENT_LIMIT + 1, 'x'));
    testsupport::WriteFile(nginx.root() + "/edge.package",
                           std::string((size_t)PATCHER_DOCUMENT_LIMIT, 'x'));
    char *content = nullptr;
    int64_t size = 0;
    EXPECT_EQ(0, PatcherFetch_Get(nginx.url("/big.package").c_str(), &content, &size, nullptr));
    EXPECT_EQ(nullptr, content);
    ASSERT_EQ(1, PatcherFetch_Get(nginx.url("/edge.package").c_str(), &content, &size, nullptr));
    EXPECT_EQ(PATCHER_DOCUMENT_LIMIT, size);
    PatcherFetch_Free(&content, size);
}

// A fetch that waits on a server holding its reply keeps no lock: calls that
// take the API mutex return at once, and removing the package waits only for
// the fetch to return before it is destroyed.
TEST_F(ControllerTest, ASlowFetchKeepsNoLock) {
    std::atomic<bool> release{false};
    std::atomic<int> requests{0};
    nettest::ScriptedServer server([&](nettest::ScriptedConnection &connection, int) {
        if (connection.ReadRequest().empty())
            return;
        requests++;
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        connection.Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    });
    ASSERT_EQ(1, Patcher_AddPackage(patcher, 1, "game", server.url("/").c_str(), install_.c_str(),
                                    nullptr));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (requests.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(1, requests.load());
    auto start = std::chrono::steady_clock::now();
    PackageOptions options;
    EXPECT_EQ(1, Patcher_GetPackageOptions(&options, patcher, "game"));
    EXPECT_EQ(1, Patcher_RemovePackage(patcher, 1, "game"));
    Drain();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    release = true;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Logged("ErrorCode 404") && std::chrono::steady_clock::now() < deadline) {
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(Logged("ErrorCode 404"));
    EXPECT_FALSE(Logged("Unable to retrieve version")); // removed: no evaluation
}

TEST_F(ControllerTest, AConsentCallbackMayCallLockingFunctions) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    Serve("game.package",
          PackageDocument("Incremental", {{1}, {2}}, "  <PerformExpand>0</PerformExpand>\n"));
    WriteVersion(VersionPath("game"), 1);
    int calls = 0;
    recorder.duringConsent = [&] {
        int32_t active = 0;
        EXPECT_EQ(1, Patcher_GetPackageActive("game", 1, &active, patcher));
        EXPECT_EQ(1, active);
        calls++;
    };
    Add();
    ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", PATCHER_STATE_TASKCOMPLETE); }))
        << front.DumpLogs();
    EXPECT_GE(calls, 2); // the version choice and the pre-process request
}

// Removing the package while its task waits in a state that reads the front
// end's answer under the API mutex.
TEST_F(ControllerTest, RemovingAPackageWhoseTaskWaitsForAnAnswerReturnsPromptly) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    struct Case {
        int state;
        const char *extra;
    };
    const Case cases[] = {
        {PATCHER_STATE_PREPROCESS, ""},
        {PATCHER_STATE_ALLOWRESTART, "<RestartRequired>1</RestartRequired>"},
        {PATCHER_STATE_POSTPROCESS, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.state);
        recorder.changes.clear();
        recorder.preHold = c.state == PATCHER_STATE_PREPROCESS;
        recorder.allow = c.state != PATCHER_STATE_ALLOWRESTART;
        recorder.postHold = c.state == PATCHER_STATE_POSTPROCESS;
        Serve("game.package", PackageDocument("Incremental", {{1}, {2, c.extra}},
                                              "  <PerformExpand>0</PerformExpand>\n"));
        WriteVersion(VersionPath("game"), 1);
        Add();
        ASSERT_TRUE(RunUntil([&] { return recorder.Saw("game", c.state); })) << front.DumpLogs();
        for (int i = 0; i < 5; i++)
            RunUntil([] { return false; }, 0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(1, Patcher_RemovePackage(patcher, 1, "game"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(c.state, recorder.changes.back().record.NewState);
    }
}

} // namespace
