// The download client on the real engine: the machine identity, the options and
// their traffic rules, the settings container, the keyed operations, and the
// element's start sequence against nginx (server options) with a job table of
// the test's that opens a mktorrent metafile on the engine.
#include "core/registry.h"
#include "core/stopflag.h"
#include "core/xml.h"
#include "engine/base.h"
#include "engine/cache.h"
#include "engine/content.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/trafficshape.h"
#include "patcher/downloadclient.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherclientelement.h"
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

constexpr const char *kRegistryPath = "Software\\Vexil\\DownloadClientTest";

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

// A job table of the test's: opens the metafile named on the command line over
// the output folder, as the launcher's job does, and records what it was given.
struct TestJobs {
    static std::mutex lock;
    static std::vector<std::string> commands;
    static std::vector<PatcherClientJobSettings> settings;
    static int error;             // when set, Start fails with it
    static std::atomic<int> hold; // Start waits while it is 1
    static std::atomic<int> stops;
    static std::atomic<ManagerMemberStruct *> last; // the last download started

    static void Reset() {
        std::lock_guard<std::mutex> guard(lock);
        commands.clear();
        settings.clear();
        error = 0;
        hold = 0;
        stops = 0;
    }
    static int Start(const char *commandLine, ManagerStruct *manager,
                     const PatcherClientJobSettings *given, void **job,
                     ManagerMemberStruct **member, int *errorOut, char *errorName) {
        {
            std::lock_guard<std::mutex> guard(lock);
            commands.push_back(commandLine);
            settings.push_back(*given);
        }
        while (hold.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        *job = nullptr;
        *member = nullptr;
        int code = error;
        if (code == 0) {
            std::string line = commandLine;
            std::string prefix = "vexilnm /METAURL ";
            std::string path = line.substr(prefix.size());
            if (Manager_AddMember(manager, member) != 1)
                return 0;
            BaseStruct *base = nullptr;
            ContentStruct *content = nullptr;
            ManagerMember_GetBase(*member, &base);
            Base_GetContent(base, &content);
            Content_SetSource(content, path.c_str(), CONTENT_SOURCE_METAFILE);
            if (Content_Open(content) == 1) {
                Content_SetPath(content, given->OutputPath);
                last = *member;
                return 1;
            }
            Manager_CloseMember(manager, *member);
            Manager_ReleaseMember(manager, member);
            code = 1001;
        }
        *errorOut = code;
        Zyl_StrCopy(errorName,
                    code == 1003 ? "TORRENTHELPER_ERROR_USERABORT"
                                 : "TORRENTHELPER_ERROR_INVALIDMETAFILE",
                    PATCHER_CLIENT_TEXT_SIZE);
        return 0;
    }
    static int Stop(void **job, ManagerStruct *manager, ManagerMemberStruct **member) {
        stops++;
        *job = nullptr;
        if (*member == nullptr)
            return 1;
        BaseStruct *base = nullptr;
        ManagerMember_GetBase(*member, &base);
        Base_SetActive(base, 0);
        Manager_CloseMember(manager, *member);
        Manager_ReleaseMember(manager, member);
        return 1;
    }
};
std::mutex TestJobs::lock;
std::vector<std::string> TestJobs::commands;
std::vector<PatcherClientJobSettings> TestJobs::settings;
int TestJobs::error = 0;
std::atomic<int> TestJobs::hold{0};
std::atomic<int> TestJobs::stops{0};
std::atomic<ManagerMemberStruct *> TestJobs::last{nullptr};
const PatcherClientJobOperations kTestJobs = {TestJobs::Start, TestJobs::Stop};

// What the state callbacks and the patch engine's log saw.
struct Recorder {
    std::mutex lock;
    std::vector<PatcherDownloadStatus> states;
    std::vector<std::string> logs;
    std::vector<int> errors;
    std::vector<PatcherClientSettings> settings;
    ManagerStruct *manager = nullptr;
    int memberListedAtComplete = -1; // the job's download when COMPLETE was reported

    static int OnState(PatcherClient *, void *user, const char *, const char *, const char *,
                       const PatcherDownloadStatus *status, const ServerOptions *) {
        auto *r = static_cast<Recorder *>(user);
        std::lock_guard<std::mutex> guard(r->lock);
        r->states.push_back(*status);
        if (status->State == PATCHER_DOWNLOAD_STATE_COMPLETE)
            r->memberListedAtComplete = Manager_IsMember(r->manager, TestJobs::last.load());
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

class DownloadClientTest : public ::testing::Test {
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
        PatcherClient_SetOperations(&DownloadClient_Operations);
        previousJobs_ = PatcherClientElement_GetJobOperations();
        PatcherClientElement_SetJobOperations(&kTestJobs);
        TestJobs::Reset();
        Patcher_InitOptions(&options_);
        options_.Firewall = 0;
    }
    void TearDown() override {
        TestJobs::hold = 0;
        PatcherClient_Destroy(&client_);
        PatcherClient_SetOperations(previous_);
        PatcherClientElement_SetJobOperations(previousJobs_);
        Patcher_SetLogCallbacks(nullptr, nullptr, nullptr);
        testsupport::StopAlertCapture();
    }
    void Create(const std::string &settingsUrl = "") {
        ASSERT_EQ(1, PatcherClient_Create(&client_, kRegistryPath, settingsUrl.c_str(), &options_));
        DownloadClient_GetManager(client_, &recorder_.manager);
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
    // A complete content "pack" on disk and its metafile: its files lie in
    // dir/out itself, as a job without a content folder places them.
    std::string CompleteContent() {
        std::string torrent;
        EXPECT_TRUE(enginetest::MakeTorrent(dir_, "pack",
                                            {{"a.bin", enginetest::MakeBytes(70000, 1)},
                                             {"b.bin", enginetest::MakeBytes(30000, 2)}},
                                            15, &torrent));
        testsupport::RunCommand("mkdir -p '" + (dir_ / "out") + "' && cp '" + (dir_ / "src") +
                                "/pack/'* '" + (dir_ / "out") + "/'");
        return torrent;
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
    const PatcherClientJobOperations *previousJobs_ = nullptr;
};

TEST_F(DownloadClientTest, MachineIdentityIsMadeOnceAndKept) {
    Create();
    char first[DOWNLOADCLIENT_ID_SIZE];
    DownloadClient_GetMachineId(client_, first);
    EXPECT_TRUE(std::regex_match(
        first, std::regex("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}")))
        << first;
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenExistingKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, kRegistryPath));
    char stored[DOWNLOADCLIENT_ID_SIZE] = "";
    Registry_GetString(key, "UM", stored, sizeof(stored));
    Registry_CloseKey(&key);
    EXPECT_STREQ(first, stored);
    PatcherClient_Destroy(&client_);
    Create();
    char second[DOWNLOADCLIENT_ID_SIZE];
    DownloadClient_GetMachineId(client_, second);
    EXPECT_STREQ(first, second);
    // The resume files are read from the private cache folder, never written.
    KickStartStruct *kick = nullptr;
    Manager_GetKickStart(recorder_.manager, &kick);
    char folder[KICKSTART_PATH_SIZE];
    KickStart_GetFolder(kick, folder, sizeof(folder));
    EXPECT_EQ(dir_ / "cache/portico/VexilCache/", std::string(folder));
    EXPECT_EQ(1, kick->LoadOnly);
    int enabled = 0;
    KickStart_GetEnabled(kick, &enabled);
    EXPECT_EQ(1, enabled);
}

// Without a settings container the first pass still applies the options given
// before it; a positive limit holds without rules from the settings, a limit
// of 0 turns its direction's set off, and later options apply at once.
TEST_F(DownloadClientTest, FirstPassAppliesStoredOptionsAndLimitsMakeOrSwitchRuleSets) {
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
    ASSERT_TRUE(RunUntil([&] { return DownloadClient_IsStarted(client_) == 1; }));
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
    PatcherOptions stored;
    DownloadClient_GetOptions(client_, &stored);
    EXPECT_EQ(7000, stored.OutgoingLimit);
    EXPECT_EQ(3, firewallLines()); // taken back and added again with the new options
    PatcherClient_Destroy(&client_);
    EXPECT_EQ(4, firewallLines());
}

TEST_F(DownloadClientTest, SettingsContainerFeedsTheSettingsCallback) {
    if (!StartNginx())
        GTEST_SKIP() << "nginx is not installed (tools/setup)";
    Serve("global.ffs",
          Container(UserSettings("<AdvertisementUrl_0>http://ads/0</AdvertisementUrl_0>")));
    // The callback is installed before the thread's first pass can reach it:
    // the container is fetched first.
    ASSERT_EQ(1, PatcherClient_Create(&client_, kRegistryPath, nginx_->url("/global.ffs").c_str(),
                                      &options_));
    PatcherClient_SetSettingsCallback(client_, Recorder::OnSettings, &recorder_);
    ASSERT_TRUE(RunUntil([&] { return DownloadClient_IsStarted(client_) == 1; }));
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
TEST_F(DownloadClientTest, CompleteContentRunsEveryStateOnceAndCompletesAfterTheEngineFreesIt) {
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
        << State("game") << " stops " << TestJobs::stops.load() << "\n"
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
    {
        std::lock_guard<std::mutex> guard(TestJobs::lock);
        ASSERT_EQ(1u, TestJobs::commands.size());
        EXPECT_EQ("vexilnm /METAURL " + torrent, TestJobs::commands[0]); // empty TorrentBase
        EXPECT_EQ(dir_ / "out", std::string(TestJobs::settings[0].OutputPath));
        EXPECT_EQ(0, TestJobs::settings[0].AskForLocation);
        EXPECT_EQ(1, TestJobs::settings[0].UsePartialExtension);
        EXPECT_EQ(0, TestJobs::settings[0].AddContentFolder);
    }
    EXPECT_EQ(1, TestJobs::stops.load());
    ServerOptions server;
    ASSERT_EQ(1, DownloadClient_GetServerOptions(client_, "game", &server));
    EXPECT_EQ(1, server.AllowBitBase);
    EXPECT_EQ(0, server.AllowWebBase);
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
    int pending = 0;
    ASSERT_TRUE(
        RunUntil([&] { return DownloadClient_HasDownload(client_, "game", &pending) == 0; }));
    EXPECT_EQ(0, PatcherClient_RemoveDownload(client_, "game"));
}

// The user's switches only narrow what the server options allow.
TEST_F(DownloadClientTest, ServerOptionsDecideBeforeTheUsersSwitches) {
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
    ManagerMemberStruct *member = nullptr;
    ASSERT_TRUE(RunUntil([&] {
        return Manager_GetFirstMember(recorder_.manager, &member) == 1 && member != nullptr;
    }));
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member, &base);
    ASSERT_TRUE(RunUntil([&] { return State("game") >= PATCHER_DOWNLOAD_STATE_SCAN; }));
    EXPECT_EQ(0, Base_GetPeerEnabled(base));
    EXPECT_EQ(1, Base_GetWebEnabled(base));
    int32_t off[PATCHER_SWITCH_COUNT] = {1, 0};
    EXPECT_EQ(1, PatcherClient_SetDownloadSwitches(client_, "game", off));
    Manager_ReleaseMember(recorder_.manager, &member);
    EXPECT_EQ(0, PatcherClient_SetDownloadSwitches(client_, "nothing", off));
}

// Status, switches and removal answer while the start sequence waits on a
// server that does not reply; the removed download goes after its start ends
// and reports nothing more.
TEST_F(DownloadClientTest, SlowServerHoldsNoOperationAndARemovedStartIsDestroyedAfter) {
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
    int pending = 0;
    EXPECT_EQ(1, DownloadClient_HasDownload(client_, "slow", &pending));
    EXPECT_EQ(1, pending);
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_INITIALIZE, State("slow"));
    int32_t switches[PATCHER_SWITCH_COUNT] = {0, 1};
    EXPECT_EQ(1, PatcherClient_SetDownloadSwitches(client_, "slow", switches));
    EXPECT_EQ(0, PatcherClient_SetDownloadActive(client_, "slow", 0)); // no download yet
    EXPECT_EQ(1, PatcherClient_RemoveDownload(client_, "slow"));
    EXPECT_EQ(1, DownloadClient_HasDownload(client_, "slow", &pending)); // still starting
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

struct JobFailureCase {
    int error;
    int state;
    const char *line;
};

TEST_F(DownloadClientTest, AJobThatDoesNotStartEndsFailedOrCancelled) {
    if (!StartNginx())
        GTEST_SKIP() << "nginx is not installed (tools/setup)";
    Serve("skin.ffs", Container(UserSettings("<AllowBitBase>1</AllowBitBase>")));
    const JobFailureCase cases[] = {
        {1003, PATCHER_DOWNLOAD_STATE_CANCELLED, "User has cancelled"},
        {1001, PATCHER_DOWNLOAD_STATE_FAILED, "Attempt to retrieve metafile[meta.torrent]"},
    };
    Create();
    for (const JobFailureCase &c : cases) {
        SCOPED_TRACE(c.error);
        TestJobs::error = c.error;
        std::string name = "dl" + std::to_string(c.error);
        ASSERT_EQ(1, Add(name, nginx_->url("/skin.ffs"), "meta.torrent"));
        ASSERT_TRUE(RunUntil([&] { return State(name) == c.state; })) << State(name);
        EXPECT_EQ(1, recorder_.Logged(c.line));
        PatcherClient_RemoveDownload(client_, name.c_str());
    }
}

struct OptionsCase {
    const char *name;
    std::string inner;
    ServerOptions expected;
};

TEST(ServerOptionsTest, ReadsEachKeyWithItsDefaultsAndOlderNames) {
    ServerOptions defaults;
    ServerOptions_SetDefaults(&defaults);
    auto with = [&](auto change) {
        ServerOptions o = defaults;
        o.AllowBitBase = 0; // absent switches read as off
        o.AllowWebBase = 0;
        change(o);
        return o;
    };
    const OptionsCase cases[] = {
        {"empty", "", with([](ServerOptions &) {})},
        {"both on", "<AllowBitBase>1</AllowBitBase><AllowWebBase>TRUE</AllowWebBase>",
         with([](ServerOptions &o) { o.AllowBitBase = o.AllowWebBase = 1; })},
        {"torrent base", "<TorrentBase>http://t/</TorrentBase>",
         with([](ServerOptions &o) { Zyl_StrCopy(o.TorrentBase, "http://t/", 320); })},
        {"bad order keeps the default", "<PieceOrder>Sideways</PieceOrder>",
         with([](ServerOptions &) {})},
        {"new names win",
         "<ReliableSource_Stagger>1</ReliableSource_Stagger>"
         "<ReliableStagger>0</ReliableStagger>"
         "<ReliableSource_ReserveMaxPieces>4</ReliableSource_ReserveMaxPieces>"
         "<ReliableReserveMaxPieces>9</ReliableReserveMaxPieces>",
         with([](ServerOptions &o) {
             o.ReliableStagger = 1;
             o.ReliableReserveMaxPieces = 4;
         })},
        {"older names",
         "<ReliableStagger>yes</ReliableStagger>"
         "<ReliableReserveMaxPieces>9</ReliableReserveMaxPieces>",
         with([](ServerOptions &o) {
             o.ReliableStagger = 1;
             o.ReliableReserveMaxPieces = 9;
         })},
        {"bad count keeps the default", "<ReliableReserveMaxPieces>-3x</ReliableReserveMaxPieces>",
         with([](ServerOptions &) {})},
    };
    for (const OptionsCase &c : cases) {
        SCOPED_TRACE(c.name);
        XmlStruct *xml = nullptr;
        Xml_Create(&xml);
        ASSERT_EQ(1, Xml_ParseBuffer(xml, UserSettings(c.inner).c_str()));
        ServerOptions got;
        memset(&got, 0x5A, sizeof(got));
        ServerOptions_Load(&got, xml);
        EXPECT_EQ(c.expected.AllowBitBase, got.AllowBitBase);
        EXPECT_EQ(c.expected.AllowWebBase, got.AllowWebBase);
        EXPECT_EQ(c.expected.PieceOrder, got.PieceOrder);
        EXPECT_EQ(c.expected.ReliableStagger, got.ReliableStagger);
        EXPECT_EQ(c.expected.ReliableReserveMaxPieces, got.ReliableReserveMaxPieces);
        EXPECT_STREQ(c.expected.TorrentBase, got.TorrentBase);
        char text[8] = "keep";
        EXPECT_EQ(0, ServerOptions_GetString(text, xml, "Missing", sizeof(text)));
        EXPECT_STREQ("keep", text);
        EXPECT_EQ(0, ServerOptions_ReadString(text, xml, "Missing", sizeof(text)));
        EXPECT_STREQ("", text);
        Xml_Destroy(&xml);
    }
}

} // namespace
