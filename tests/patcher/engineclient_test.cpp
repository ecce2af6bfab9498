// The download client on the real engine: the machine identity, the options and
// their traffic rules, the settings container, the keyed operations, and the
// downloads' start sequence against nginx (server options, mktorrent metafiles)
// through the torrent helper.
#include "core/registry.h"
#include "core/stopflag.h"
#include "core/xml.h"
#include "engine/base.h"
#include "engine/cache.h"
#include "engine/content.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/trafficshape.h"
#include "patcher/clientelement.h"
#include "patcher/engineclient.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "tests/engine/swarm_support.h"
#include "tests/engine/transport_support.h"
#include "tests/patcher/ffs_fixture.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using testsupport::TempDir;

namespace {

constexpr const char *kRegistryPath = "Software\\Vexil\\EngineClientTest";

// Polls cond every 5 ms for up to 20 s.
template <typename F> bool RunUntil(F cond) {
    for (int i = 0; i < 4000; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

std::string Container(const std::string &settings) {
    ffstest::Archive a;
    a.records["settings.xml"] = ffstest::Comp1Literal(settings);
    return a.Build();
}

std::string UserSettings(const std::string &inner) {
    return "<Application><User>" + inner + "</User></Application>";
}

// What the state callbacks and the patch engine's log saw.
struct Recorder {
    std::mutex lock;
    std::vector<PatcherDownloadStatus> states;
    std::vector<std::string> logs;
    std::vector<int> errors;
    std::vector<PatcherClientSettings> settings;
    ManagerStruct *manager = nullptr;
    std::atomic<ManagerMemberStruct *> member{nullptr}; // the engine's download, once seen
    int memberListedAtComplete = -1; // the download still listed when COMPLETE was reported
    int peerEnabledAtScan = -1;      // the download's sources when SCAN was reported
    int webEnabledAtScan = -1;

    static int OnState(PatcherClient *, void *user, const char *, const char *, const char *,
                       const PatcherDownloadStatus *status, const ServerOptions *) {
        auto *r = static_cast<Recorder *>(user);
        std::lock_guard<std::mutex> guard(r->lock);
        r->states.push_back(*status);
        ManagerMemberStruct *member = nullptr;
        if (status->State == PATCHER_DOWNLOAD_STATE_SCAN &&
            Manager_GetFirstMember(r->manager, &member) == 1 && member != nullptr) {
            r->member = member;
            BaseStruct *base = nullptr;
            ManagerMember_GetBase(member, &base);
            r->peerEnabledAtScan = Base_GetPeerEnabled(base);
            r->webEnabledAtScan = Base_GetWebEnabled(base);
            Manager_ReleaseMember(r->manager, &member);
        }
        if (status->State == PATCHER_DOWNLOAD_STATE_COMPLETE)
            r->memberListedAtComplete = Manager_IsMember(r->manager, r->member.load());
        return 1;
    }
    static int OnLog(void *user, int, const char *text) {
        auto *r = static_cast<Recorder *>(user);
        std::lock_guard<std::mutex> guard(r->lock);
        r->logs.emplace_back(text);
        return 1;
    }
    static int OnError(void *user, int code, const char *text) {
        auto *r = static_cast<Recorder *>(user);
        std::lock_guard<std::mutex> guard(r->lock);
        r->errors.push_back(code);
        r->logs.emplace_back(text);
        return 1;
    }
    static int OnSettings(void *user, PatcherClientSettings *settings) {
        auto *r = static_cast<Recorder *>(user);
        std::lock_guard<std::mutex> guard(r->lock);
        r->settings.push_back(*settings);
        return 1;
    }
    int Logged(const std::string &text) {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const std::string &line : logs)
            n += line == text;
        return n;
    }
    std::string All() {
        std::lock_guard<std::mutex> guard(lock);
        std::string text;
        for (const std::string &line : logs)
            text += line + "\n";
        return text;
    }
    std::vector<int> StateList() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<int> list;
        for (const PatcherDownloadStatus &s : states)
            list.push_back(s.State);
        return list;
    }
};

class EngineClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        env_.Set("HOME", dir_.path());
        env_.Set("XDG_CONFIG_HOME", dir_ / "config");
        env_.Set("XDG_CACHE_HOME", dir_ / "cache");
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        Patcher_SetLogCallbacks(&recorder_, Recorder::OnLog, Recorder::OnError);
        previous_ = PatcherClient_GetOperations();
        PatcherClient_SetOperations(&EngineClient_Operations);
        Patcher_InitOptions(&options_);
        options_.Firewall = 0;
    }
    void TearDown() override {
        PatcherClient_Destroy(&client_);
        PatcherClient_SetOperations(previous_);
        Patcher_SetLogCallbacks(nullptr, nullptr, nullptr);
        testsupport::StopAlertCapture();
    }
    void Create(const std::string &settingsUrl = "") {
        ASSERT_EQ(1, PatcherClient_Create(&client_, kRegistryPath, settingsUrl.c_str(), &options_));
        EngineClient_GetManager(client_, &recorder_.manager);
    }
    bool StartNginx() {
        if (!testsupport::HaveProgram("nginx"))
            return false;
        nginx_ = std::make_unique<nettest::NginxServer>();
        return nginx_->ok();
    }
    void Serve(const std::string &path, const std::string &bytes) {
        testsupport::WriteFile(nginx_->root() + "/" + path, bytes);
    }
    // A complete content "pack" on disk and its metafile on nginx: its files lie
    // in dir/out itself, as a job without a content folder places them.
    std::string CompleteContent() {
        std::string torrent;
        EXPECT_TRUE(enginetest::MakeTorrent(dir_, "pack",
                                            {{"a.bin", enginetest::MakeBytes(70000, 1)},
                                             {"b.bin", enginetest::MakeBytes(30000, 2)}},
                                            15, &torrent));
        testsupport::RunCommand("mkdir -p '" + (dir_ / "out") + "' && cp '" + (dir_ / "src") +
                                "/pack/'* '" + (dir_ / "out") + "/'");
        Serve("pack.torrent", testsupport::ReadFile(torrent));
        return nginx_->url("/pack.torrent");
    }
    int Add(const std::string &name, const std::string &skin, const std::string &metafile,
            int32_t peer = 1, int32_t web = 1) {
        int32_t switches[PATCHER_SWITCH_COUNT] = {peer, web};
        int32_t element[PATCHER_ELEMENT_OPTION_COUNT] = {0, 1, 0, 1, 0};
        std::string out = dir_ / "out";
        return PatcherClient_AddDownload(client_, switches, name.c_str(), skin.c_str(),
                                         metafile.c_str(), out.c_str(), Recorder::OnState,
                                         &recorder_, element);
    }
    int State(const std::string &name) {
        PatcherDownloadStatus status;
        PatcherClient_GetDownloadStatus(name.c_str(), client_, &status);
        return status.State;
    }
    std::string Figures(const std::string &name) {
        PatcherDownloadStatus s;
        PatcherClient_GetDownloadStatus(name.c_str(), client_, &s);
        return "left " + std::to_string(s.BytesLeft) + " size " + std::to_string(s.FilesSize) +
               " pieces " + std::to_string(s.PieceCount) + " checked " +
               std::to_string(s.PiecesChecked) + " active " + std::to_string(s.Active);
    }
    RuleSetStruct *RuleSet(const char *id) {
        TrafficShapeStruct *shaper = nullptr;
        Manager_GetTrafficShape(recorder_.manager, &shaper);
        return TrafficShape_FindRuleSet(shaper, id);
    }

    TempDir dir_;
    patchertest::ScopedEnvironment env_;
    Recorder recorder_;
    PatcherOptions options_;
    PatcherClient *client_ = nullptr;
    std::unique_ptr<nettest::NginxServer> nginx_;
    const PatcherClientOperations *previous_ = nullptr;
};

TEST_F(EngineClientTest, MachineIdentityIsMadeOnceAndKept) {
    auto stored = [] {
        RegistryStruct *key = nullptr;
        char text[80] = "";
        if (Registry_OpenExistingKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, kRegistryPath) == 1)
            Registry_GetString(key, "UM", text, sizeof(text));
        Registry_CloseKey(&key);
        return std::string(text);
    };
    Create();
    const std::string first = stored();
    EXPECT_TRUE(std::regex_match(
        first, std::regex("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}")))
        << first;
    PatcherClient_Destroy(&client_);
    Create();
    EXPECT_EQ(first, stored());
    // The resume files live in the private cache folder.
    KickStartStruct *kick = nullptr;
    Manager_GetKickStart(recorder_.manager, &kick);
    char folder[KICKSTART_PATH_SIZE];
    KickStart_GetFolder(kick, folder, sizeof(folder));
    EXPECT_EQ(dir_ / "cache/portico/VexilCache/", std::string(folder));
    int enabled = 0;
    KickStart_GetEnabled(kick, &enabled);
    EXPECT_EQ(1, enabled);
}

// Without a settings container the first pass still applies the options given
// before it; a positive limit holds without rules from the settings, a limit
// of 0 turns its direction's set off, and later options apply at once.
TEST_F(EngineClientTest, FirstPassAppliesStoredOptionsAndLimitsMakeOrSwitchRuleSets) {
    options_.TrafficShaping = 1;
    options_.IncomingLimit = 50000;
    options_.OutgoingLimit = 0;
    options_.PortRangeFirst = 42000;
    options_.PortRangeLast = 42010;
    options_.Firewall = 1;
    testsupport::ConsoleCapture console;
    auto firewallLines = [&] {
        const std::string text = console.Text();
        const std::string part = "Failed to get firewall manager";
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            n++;
        return n;
    };
    Create("");
    ASSERT_TRUE(RunUntil([&] { return EngineClient_IsStarted(client_) == 1; }));
    EXPECT_EQ(1, firewallLines()); // the rules were added once
    RuleSetStruct *incoming = RuleSet("incoming");
    ASSERT_NE(nullptr, incoming);
    EXPECT_EQ(1, incoming->Active);
    EXPECT_EQ(TRAFFICSHAPE_INCOMING, incoming->Direction);
    EXPECT_EQ(50000, incoming->Root->ConfiguredRate);
    EXPECT_EQ(nullptr, RuleSet("outgoing"));
    int port = 0;
    Manager_GetListenPort(recorder_.manager, &port);
    EXPECT_GE(port, 42000);
    EXPECT_LE(port, 42010);

    options_.IncomingLimit = 0;
    options_.OutgoingLimit = 7000;
    ASSERT_EQ(1, PatcherClient_SetOptions(client_, &options_));
    EXPECT_EQ(0, RuleSet("incoming")->Active);
    RuleSetStruct *outgoing = RuleSet("outgoing");
    ASSERT_NE(nullptr, outgoing);
    EXPECT_EQ(1, outgoing->Active);
    EXPECT_EQ(TRAFFICSHAPE_OUTGOING, outgoing->Direction);
    EXPECT_EQ(7000, outgoing->Root->ConfiguredRate);
    EXPECT_EQ(3, firewallLines()); // taken back and added again with the new options
    PatcherClient_Destroy(&client_);
    EXPECT_EQ(4, firewallLines());
}

TEST_F(EngineClientTest, SettingsContainerFeedsTheSettingsCallback) {
    if (!StartNginx())
        GTEST_SKIP() << "nginx is not installed (tools/setup)";
    Serve("global.ffs",
          Container(UserSettings("<AdvertisementUrl_0>http://ads/0</AdvertisementUrl_0>")));
    // The callback is installed before the thread's first pass can reach it:
    // the container is fetched first.
    ASSERT_EQ(1, PatcherClient_Create(&client_, kRegistryPath, nginx_->url("/global.ffs").c_str(),
                                      &options_));
    PatcherClient_SetSettingsCallback(client_, Recorder::OnSettings, &recorder_);
    ASSERT_TRUE(RunUntil([&] { return EngineClient_IsStarted(client_) == 1; }));
    {
        std::lock_guard<std::mutex> guard(recorder_.lock);
        ASSERT_EQ(1u, recorder_.settings.size());
        EXPECT_STREQ("http://ads/0", recorder_.settings[0].AdvertisementUrl[0]);
        EXPECT_STREQ("", recorder_.settings[0].AdvertisementUrl[1]);
    }
    PatcherClient_Destroy(&client_);
}

// The start sequence end to end on a content already complete: server
// options from the SkinSource container, the job's command line and settings,
// the check, the download, and COMPLETE only once the engine freed the download.
TEST_F(EngineClientTest, CompleteContentRunsEveryStateOnceAndCompletesAfterTheEngineFreesIt) {
    if (!StartNginx())
        GTEST_SKIP() << "nginx is not installed (tools/setup)";
    if (!testsupport::HaveProgram("mktorrent"))
        GTEST_SKIP() << "mktorrent is not installed (tools/setup)";
    std::string torrent = CompleteContent();
    Serve("skin.ffs", Container(UserSettings("<AllowBitBase>1</AllowBitBase>"
                                             "<AllowWebBase>0</AllowWebBase>")));
    Create();
    ASSERT_EQ(1, Add("game", nginx_->url("/skin.ffs"), torrent, 0, 1));
    EXPECT_EQ(0, Add("game", nginx_->url("/skin.ffs"), torrent));
    EXPECT_EQ(1, recorder_.Logged("PatcherClient_Add(): already added"));
    ASSERT_TRUE(RunUntil([&] { return State("game") == PATCHER_DOWNLOAD_STATE_COMPLETE; }))
        << State("game") << "\n"
        << recorder_.All() << Figures("game");
    std::vector<int> expected = {PATCHER_DOWNLOAD_STATE_SCAN, PATCHER_DOWNLOAD_STATE_DOWNLOAD,
                                 PATCHER_DOWNLOAD_STATE_COMPLETE};
    EXPECT_EQ(expected, recorder_.StateList());
    EXPECT_EQ(0, recorder_.memberListedAtComplete);
    for (const char *to : {"SCAN", "DOWNLOAD", "COMPLETE"}) {
        std::string needle = std::string("to state [PATCHER_DOWNLOAD_STATE_") + to + "]";
        int lines = 0;
        for (const auto &line : testsupport::CapturedAlerts())
            lines += line.second.find(needle) != std::string::npos;
        EXPECT_EQ(1, lines) << to;
    }
    // Without a content folder the files already in the output path were the
    // download: nothing was fetched again beside them.
    EXPECT_FALSE(testsupport::FileExists(dir_ / "out/pack"));
    PatcherDownloadStatus status;
    ASSERT_EQ(1, PatcherClient_GetDownloadStatus("game", client_, &status));
    EXPECT_EQ(100000, status.FilesSize);
    EXPECT_EQ(0, status.BytesLeft);
    EXPECT_EQ(4, status.PieceCount);
    EXPECT_EQ(32768, status.PieceLength);
    EXPECT_EQ(0, PatcherClient_SetDownloadActive(client_, "game", 0)); // the job has stopped
    EXPECT_EQ(0, PatcherClient_SetDownloadActive(client_, "nothing", 1));
    EXPECT_EQ(0, PatcherClient_GetDownloadStatus("nothing", client_, &status));
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_INITIALIZE, status.State);

    ASSERT_EQ(1, PatcherClient_RemoveDownload(client_, "game"));
    ASSERT_TRUE(
        RunUntil([&] { return PatcherClient_GetDownloadStatus("game", client_, &status) == 0; }));
    EXPECT_EQ(0, PatcherClient_RemoveDownload(client_, "game"));
}

// The user's switches only narrow what the server options allow.
TEST_F(EngineClientTest, ServerOptionsDecideBeforeTheUsersSwitches) {
    if (!StartNginx())
        GTEST_SKIP() << "nginx is not installed (tools/setup)";
    if (!testsupport::HaveProgram("mktorrent"))
        GTEST_SKIP() << "mktorrent is not installed (tools/setup)";
    std::string torrent = CompleteContent();
    // No AllowBitBase: peer transfer is off whatever the switch says.
    Serve("skin.ffs", Container(UserSettings("<AllowWebBase>1</AllowWebBase>"
                                             "<TorrentBase></TorrentBase>")));
    Create();
    ASSERT_EQ(1, Add("game", nginx_->url("/skin.ffs"), torrent, 1, 1));
    // Read when SCAN is reported: the complete download may be gone soon after.
    ASSERT_TRUE(RunUntil([&] {
        std::lock_guard<std::mutex> guard(recorder_.lock);
        return recorder_.webEnabledAtScan != -1;
    }));
    EXPECT_EQ(0, recorder_.peerEnabledAtScan);
    EXPECT_EQ(1, recorder_.webEnabledAtScan);
    int32_t off[PATCHER_SWITCH_COUNT] = {1, 0};
    EXPECT_EQ(1, PatcherClient_SetDownloadSwitches(client_, "game", off));
    EXPECT_EQ(0, PatcherClient_SetDownloadSwitches(client_, "nothing", off));
}

// Status, switches and removal answer while the start sequence waits on a
// server that does not reply; the removed download goes after its start ends
// and reports nothing more.
TEST_F(EngineClientTest, SlowServerHoldsNoOperationAndARemovedStartIsDestroyedAfter) {
    std::mutex lock;
    std::condition_variable wake;
    bool release = false;
    std::atomic<int> asked{0};
    nettest::ScriptedServer server([&](nettest::ScriptedConnection &connection, int) {
        connection.ReadRequest();
        asked++;
        std::unique_lock<std::mutex> guard(lock);
        wake.wait(guard, [&] { return release; });
        connection.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        connection.Close();
    });
    Create();
    ASSERT_EQ(1, Add("slow", server.url("/skin.ffs"), "meta.torrent"));
    ASSERT_TRUE(RunUntil([&] { return asked.load() >= 1; }))
        << recorder_.All() << testsupport::AlertText();
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_INITIALIZE, State("slow"));
    int32_t switches[PATCHER_SWITCH_COUNT] = {0, 1};
    EXPECT_EQ(1, PatcherClient_SetDownloadSwitches(client_, "slow", switches));
    EXPECT_EQ(0, PatcherClient_SetDownloadActive(client_, "slow", 0)); // no download yet
    EXPECT_EQ(1, PatcherClient_RemoveDownload(client_, "slow"));
    PatcherDownloadStatus status;
    EXPECT_EQ(1, PatcherClient_GetDownloadStatus("slow", client_, &status)); // still starting
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    wake.notify_all();
    // The failed fetch is retried a minute later: destroying the client raises
    // the stop flag, which ends the start at once.
    PatcherClient_Destroy(&client_);
    EXPECT_TRUE(recorder_.StateList().empty());
}

TEST_F(EngineClientTest, AMetafileThatCannotBeFetchedEndsFailed) {
    if (!StartNginx())
        GTEST_SKIP() << "nginx is not installed (tools/setup)";
    Serve("skin.ffs", Container(UserSettings("<AllowBitBase>1</AllowBitBase>")));
    Create();
    std::string missing = nginx_->url("/missing.torrent");
    ASSERT_EQ(1, Add("gone", nginx_->url("/skin.ffs"), missing));
    ASSERT_TRUE(RunUntil([&] { return State("gone") == PATCHER_DOWNLOAD_STATE_FAILED; }))
        << recorder_.All();
    EXPECT_EQ(1, recorder_.Logged("Attempt to retrieve metafile[" + missing + "]"))
        << recorder_.All();
    std::vector<int> expected = {PATCHER_DOWNLOAD_STATE_FAILED};
    EXPECT_EQ(expected, recorder_.StateList());
}

} // namespace
