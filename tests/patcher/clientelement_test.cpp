// The download client's element on a real engine: server options from a
// settings container on nginx, the job from the metafile address, the check of
// existing files and the download from a libtorrent seed found through
// opentracker, with every state change reported once; and the start's failures.
#include "core/registry.h"
#include "core/stopflag.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "patcher/clientelement.h"
#include "patcher/engineclient.h"
#include "patcher/patcher_types.h"
#include "tests/engine/swarm_support.h"
#include "tests/patcher/ffs_fixture.h"
#include "tests/patcher/log_capture.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using enginetest::TorrentHash;

const char kPython[] = "/usr/bin/python3";

using testsupport::WaitUntil;

std::string Container(const std::string &user) {
    ffstest::Archive a;
    a.records["settings.xml"] =
        ffstest::Comp1Literal("<Application><User>" + user + "</User></Application>");
    return a.Build();
}

// The states reported through the callback, in order (called under the lock).
std::vector<int> g_states;
int RecordState(PatcherClient *, void *, const char *, const char *, const char *,
                const PatcherDownloadStatus *status, const ServerOptions *) {
    g_states.push_back(status->State);
    return 1;
}

class ElementTest : public ::testing::Test, public patchertest::PatcherLogCapture {
  protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("nginx") || !testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "nginx or mktorrent missing (tools/setup)";
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        StartCapture();
        // The settings containers are cached below the test's own folder.
        const char *old = getenv("XDG_CACHE_HOME");
        oldCache_ = old != nullptr ? old : "";
        hadCache_ = old != nullptr;
        setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
        // The machine identity goes to the test's own registry store.
        const char *config = getenv("XDG_CONFIG_HOME");
        oldConfig_ = config != nullptr ? config : "";
        hadConfig_ = config != nullptr;
        setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        g_states.clear();
        ASSERT_TRUE(web_.ok()) << web_.error();
        testsupport::RunCommand("mkdir -p '" + dir_ / "src/pack" + "' '" + dir_ / "out" + "'");
        ASSERT_EQ(1, Manager_Create(&manager_));
        Manager_DisableWebServer(manager_);
        Manager_SetOutgoingConnectionTypes(manager_, MANAGER_CONNECTION_NORMAL);
        Manager_SetBindAddress(manager_, enginetest::kLoopbackAddress);
        Manager_SetListenPort(manager_, enginetest::FreePort());
    }
    void TearDown() override {
        PatcherClientElement_Destroy(&element_);
        if (manager_ != nullptr)
            Manager_SetActive(manager_, 0);
        Manager_Destroy(&manager_);
        if (hadCache_)
            setenv("XDG_CACHE_HOME", oldCache_.c_str(), 1);
        else
            unsetenv("XDG_CACHE_HOME");
        if (hadConfig_)
            setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        StopCapture();
        testsupport::StopAlertCapture();
    }
    // The metafile of src/pack (a.bin) announced to announce, served as pack.torrent.
    std::string Publish(const std::string &data, const std::string &announce) {
        testsupport::WriteFile(dir_ / "src/pack/a.bin", data);
        std::string torrent = dir_ / "pack.torrent";
        EXPECT_EQ(0, testsupport::RunCommand("cd '" + dir_ / "src" + "' && mktorrent -l 16 -a '" +
                                             announce + "' -o '" + torrent + "' pack >/dev/null"));
        testsupport::WriteFile(web_.root() + "/pack.torrent", testsupport::ReadFile(torrent));
        return torrent;
    }
    void Create(const std::string &skin, const std::string &metafile) {
        const int32_t switches[PATCHER_SWITCH_COUNT] = {1, 1};
        const int32_t options[PATCHER_ELEMENT_OPTION_COUNT] = {0, 1, 0, 1};
        ASSERT_EQ(1, PatcherClientElement_Create(&element_, "pack", skin.c_str(), metafile.c_str(),
                                                 reinterpret_cast<PatcherClient *>(&dummy_),
                                                 RecordState, nullptr, switches, options, manager_,
                                                 (dir_ / "out").c_str()));
    }
    BaseStruct *FirstBase() {
        ManagerMemberStruct *member = nullptr;
        BaseStruct *base = nullptr;
        if (Manager_GetFirstMember(manager_, &member)) {
            ManagerMember_GetBase(member, &base);
            Manager_ReleaseMember(manager_, &member);
        }
        return base;
    }

    testsupport::TempDir dir_;
    nettest::NginxServer web_;
    ManagerStruct *manager_ = nullptr;
    PatcherClientElement *element_ = nullptr;
    int dummy_ = 0;
    std::string oldCache_, oldConfig_;
    bool hadCache_ = false, hadConfig_ = false;
};

TEST_F(ElementTest, DownloadsFromALibtorrentPeerAndTurnsCompleteOnceTheEngineFreedTheMember) {
    if (!testsupport::HaveProgram("opentracker") ||
        testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "opentracker or python3-libtorrent missing (tools/setup)";
    const int trackerPort = enginetest::FreePort();
    const std::string data = enginetest::MakeBytes(1u << 20, 26);
    const std::string torrent =
        Publish(data, "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce");
    testsupport::WriteFile(dir_ / "whitelist", TorrentHash(torrent) + "\n");
    testsupport::RunCommand("chmod 755 '" + dir_.path() + "' && chmod 644 '" + dir_ / "whitelist" +
                            "'");
    enginetest::Program tracker;
    const std::string port = std::to_string(trackerPort);
    ASSERT_TRUE(tracker.Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", port, "-P", port,
                               "-w", "/whitelist", "-d", dir_.path()},
                              dir_ / "opentracker.txt"));
    ASSERT_TRUE(WaitUntil([&] { return enginetest::ConnectLocal(trackerPort) >= 0; }, 10));
    enginetest::Program seed;
    ASSERT_TRUE(
        seed.Start({kPython, std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py",
                    "seed", torrent, dir_ / "src", std::to_string(enginetest::FreePort())},
                   dir_ / "lt.txt"));
    ASSERT_TRUE(seed.WaitFor("listening", 30)) << seed.Text();

    // The web sources are off by the server's word, whatever the user's switch.
    testsupport::WriteFile(
        web_.root() + "/skin.ffs",
        Container("<TorrentBase>" + web_.url("/") +
                  "</TorrentBase>"
                  "<AllowBitBase>1</AllowBitBase><AllowWebBase>0</AllowWebBase>"));
    Create(web_.url("/skin.ffs"), "pack.torrent");
    StopFlag stop;
    ASSERT_EQ(1, PatcherClientElement_Start(element_, &stop))
        << DumpLogs() << testsupport::AlertText();
    BaseStruct *base = FirstBase();
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(0, Base_GetWebEnabled(base));
    EXPECT_EQ(1, Base_GetPeerEnabled(base));
    PatcherDownloadStatus status;
    EXPECT_TRUE(WaitUntil(
        [&] {
            PatcherClientElement_Process(element_, &stop);
            PatcherClientElement_GetStatus(&status, element_);
            return status.State == PATCHER_DOWNLOAD_STATE_COMPLETE;
        },
        90))
        << testsupport::AlertText() << seed.Text();
    EXPECT_EQ((std::vector<int>{PATCHER_DOWNLOAD_STATE_SCAN, PATCHER_DOWNLOAD_STATE_DOWNLOAD,
                                PATCHER_DOWNLOAD_STATE_COMPLETE}),
              g_states);
    EXPECT_EQ((int64_t)data.size(), status.FilesSize);
    EXPECT_EQ(0, status.BytesLeft);
    EXPECT_GE(status.BytesIn, (int64_t)data.size());
    // A content of one file is saved as that file in the output folder.
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(dir_ / "out/a.bin")));
    EXPECT_TRUE(testsupport::AlertSeen("PatcherClient [pack.torrent] transition from state "
                                       "[PATCHER_DOWNLOAD_STATE_DOWNLOAD] to state "
                                       "[PATCHER_DOWNLOAD_STATE_COMPLETE]"));
    seed.Stop();
    tracker.Stop();
}

TEST_F(ElementTest, TheEngineClientRunsADownloadByNameToComplete) {
    if (!testsupport::HaveProgram("opentracker") ||
        testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "opentracker or python3-libtorrent missing (tools/setup)";
    const int trackerPort = enginetest::FreePort();
    const std::string data = enginetest::MakeBytes(1u << 20, 28);
    const std::string torrent =
        Publish(data, "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce");
    testsupport::WriteFile(dir_ / "whitelist", TorrentHash(torrent) + "\n");
    testsupport::RunCommand("chmod 755 '" + dir_.path() + "' && chmod 644 '" + dir_ / "whitelist" +
                            "'");
    enginetest::Program tracker;
    const std::string port = std::to_string(trackerPort);
    ASSERT_TRUE(tracker.Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", port, "-P", port,
                               "-w", "/whitelist", "-d", dir_.path()},
                              dir_ / "opentracker.txt"));
    ASSERT_TRUE(WaitUntil([&] { return enginetest::ConnectLocal(trackerPort) >= 0; }, 10));
    enginetest::Program seed;
    ASSERT_TRUE(
        seed.Start({kPython, std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py",
                    "seed", torrent, dir_ / "src", std::to_string(enginetest::FreePort())},
                   dir_ / "lt.txt"));
    ASSERT_TRUE(seed.WaitFor("listening", 30)) << seed.Text();
    testsupport::WriteFile(
        web_.root() + "/skin.ffs",
        Container("<TorrentBase>" + web_.url("/") +
                  "</TorrentBase>"
                  "<AllowBitBase>1</AllowBitBase><AllowWebBase>0</AllowWebBase>"));

    // No settings container: the first pass still applies the options.
    const int listen = enginetest::FreePort();
    PatcherOptions options = {};
    options.PortRangeFirst = options.PortRangeLast = listen;
    PatcherClient_SetOperations(&EngineClient_Operations);
    PatcherClient *client = nullptr;
    ASSERT_EQ(1, PatcherClient_Create(&client, "Software/Portico", "", &options));
    ManagerStruct *manager = nullptr;
    ASSERT_EQ(1, EngineClient_GetManager(client, &manager));
    Manager_SetOutgoingConnectionTypes(manager, MANAGER_CONNECTION_NORMAL);
    ASSERT_TRUE(WaitUntil([&] { return EngineClient_IsStarted(client) == 1; }, 10));
    int listenPort = 0;
    Manager_GetListenPort(manager, &listenPort);
    EXPECT_EQ(listen, listenPort);
    // The machine's identity was made once and kept.
    RegistryStruct *key = nullptr;
    char machine[80] = "";
    ASSERT_EQ(1, Registry_OpenExistingKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, "Software/Portico"));
    EXPECT_EQ(1, Registry_GetString(key, "UM", machine, sizeof machine));
    Registry_CloseKey(&key);
    EXPECT_EQ(38u, strlen(machine)) << machine;
    EXPECT_EQ('{', machine[0]);
    EXPECT_EQ('-', machine[9]);

    const int32_t switches[PATCHER_SWITCH_COUNT] = {1, 1};
    const int32_t elementOptions[PATCHER_ELEMENT_OPTION_COUNT] = {0, 1, 0, 1};
    const std::string skin = web_.url("/skin.ffs"), out = dir_ / "out";
    ASSERT_EQ(1, PatcherClient_AddDownload(client, switches, "pack", skin.c_str(), "pack.torrent",
                                           out.c_str(), RecordState, nullptr, elementOptions));
    EXPECT_EQ(0, PatcherClient_AddDownload(client, switches, "pack", skin.c_str(), "other",
                                           out.c_str(), RecordState, nullptr, elementOptions));
    EXPECT_EQ(1, Count(logs, "PatcherClient_Add(): already added"));
    PatcherDownloadStatus status;
    EXPECT_EQ(0, PatcherClient_GetDownloadStatus("unknown", client, &status));
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_INITIALIZE, status.State);
    EXPECT_EQ(0, PatcherClient_SetDownloadActive(client, "unknown", 0));
    EXPECT_TRUE(WaitUntil(
        [&] {
            PatcherClient_GetDownloadStatus("pack", client, &status);
            return status.State == PATCHER_DOWNLOAD_STATE_COMPLETE;
        },
        90))
        << testsupport::AlertText() << seed.Text();
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(dir_ / "out/a.bin")));

    // A removed download goes on the next pass.
    EXPECT_EQ(1, PatcherClient_RemoveDownload(client, "pack"));
    EXPECT_TRUE(WaitUntil(
        [&] { return PatcherClient_GetDownloadStatus("pack", client, &status) == 0; }, 10));
    PatcherClient_Stop(&client);
    PatcherClient_Destroy(&client);
    PatcherClient_SetOperations(nullptr);
    seed.Stop();
    tracker.Stop();
}

TEST_F(ElementTest, ServerWordsAndAFailedJobStart) {
    Publish(enginetest::MakeBytes(100000, 27), "http://127.0.0.1:1/announce");
    // Without AllowBitBase the peers are off whatever the switch says; an empty
    // TorrentBase leaves the metafile address as the URL.
    testsupport::WriteFile(web_.root() + "/skin.ffs", Container("<AllowWebBase>1</AllowWebBase>"));
    Create(web_.url("/skin.ffs"), web_.url("/pack.torrent"));
    ASSERT_EQ(1, PatcherClientElement_Start(element_, nullptr)) << DumpLogs();
    BaseStruct *base = FirstBase();
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(0, Base_GetPeerEnabled(base));
    EXPECT_EQ(1, Base_GetWebEnabled(base));
    ServerOptions options;
    PatcherClientElement_GetServerOptions(&options, element_);
    EXPECT_EQ(0, options.AllowBitBase);
    // A second start does nothing.
    EXPECT_EQ(1, PatcherClientElement_Start(element_, nullptr));
    EXPECT_EQ(1, PatcherClientElement_SetActive(0, element_));
    PatcherClientElement_Destroy(&element_);

    // A metafile that is not there fails the start.
    g_states.clear();
    Create(web_.url("/skin.ffs"), web_.url("/missing.torrent"));
    EXPECT_EQ(0, PatcherClientElement_SetActive(0, element_));
    EXPECT_EQ(0, PatcherClientElement_Start(element_, nullptr));
    EXPECT_EQ(std::vector<int>{PATCHER_DOWNLOAD_STATE_FAILED}, g_states);
    EXPECT_EQ(1, Count(logs, "Download failed [TORRENTHELPER_ERROR_INVALIDMETAFILE]"))
        << DumpLogs();
    EXPECT_EQ(1, Count(logs, "Attempt to retrieve metafile[" + web_.url("/missing.torrent") + "]"));

    // A raised stop flag ends the start before anything is fetched; a removed
    // element reports nothing more.
    PatcherClientElement_Destroy(&element_);
    g_states.clear();
    Create(web_.url("/skin.ffs"), web_.url("/pack.torrent"));
    StopFlag stop;
    StopFlag_Set(&stop, 1);
    EXPECT_EQ(0, PatcherClientElement_Start(element_, &stop));
    PatcherClientElement_MarkRemoved(element_);
    int removed = 0;
    PatcherClientElement_IsRemoved(&removed, element_);
    EXPECT_EQ(1, removed);
    EXPECT_EQ(0, PatcherClient_InternalApplySettings(element_, (const int32_t[]){1, 1}));
    EXPECT_TRUE(g_states.empty());
}

// Holds the check of existing files at one piece: the content's log line for
// that piece waits on the start sequence's thread until the test lets it go.
struct CheckHold {
    ManagerStruct *manager = nullptr;
    int at = 0;
    std::mutex lock;
    std::condition_variable changed;
    bool held = false, released = false;

    static void OnLine(ContentStruct *, void *user, int, const char *line) {
        auto *hold = static_cast<CheckHold *>(user);
        int index = -1;
        if (sscanf(line, "Check block: %d/", &index) != 1 || index != hold->at)
            return;
        std::unique_lock<std::mutex> guard(hold->lock);
        hold->held = true;
        hold->changed.notify_all();
        hold->changed.wait(guard, [hold] { return hold->released; });
    }
    // The state callback: on entering SCAN, before the check begins, the
    // download's content gets the line hook.
    static int OnState(PatcherClient *, void *user, const char *, const char *, const char *,
                       const PatcherDownloadStatus *status, const ServerOptions *) {
        auto *hold = static_cast<CheckHold *>(user);
        g_states.push_back(status->State);
        ManagerMemberStruct *member = nullptr;
        if (status->State != PATCHER_DOWNLOAD_STATE_SCAN ||
            Manager_GetFirstMember(hold->manager, &member) != 1 || member == nullptr)
            return 1;
        BaseStruct *base = nullptr;
        ContentStruct *content = nullptr;
        ManagerMember_GetBase(member, &base);
        Base_GetContent(base, &content);
        Content_SetLogCallback(content, OnLine, hold);
        Manager_ReleaseMember(hold->manager, &member);
        return 1;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
        changed.notify_all();
    }
};

// While the start sequence checks the files already on disk, the status
// follows the check: held at one piece, it reports that piece as the progress,
// the bytes of the pieces before it as held, and the content's size and pieces.
TEST_F(ElementTest, StatusFollowsTheCheckOfExistingFiles) {
    const int kPiece = 65536, kPieces = 8;
    const std::string data = enginetest::MakeBytes(kPieces * kPiece - 1000, 29);
    Publish(data, "http://127.0.0.1:1/announce");
    testsupport::WriteFile(dir_ / "out/a.bin", data);
    testsupport::WriteFile(web_.root() + "/skin.ffs",
                           Container("<TorrentBase>" + web_.url("/") +
                                     "</TorrentBase><AllowWebBase>1</AllowWebBase>"));
    CheckHold hold;
    hold.manager = manager_;
    hold.at = 5;
    const int32_t switches[PATCHER_SWITCH_COUNT] = {1, 1};
    const int32_t options[PATCHER_ELEMENT_OPTION_COUNT] = {0, 1, 0, 1, 0};
    ASSERT_EQ(1, PatcherClientElement_Create(
                     &element_, "pack", web_.url("/skin.ffs").c_str(), "pack.torrent",
                     reinterpret_cast<PatcherClient *>(&dummy_), CheckHold::OnState, &hold,
                     switches, options, manager_, (dir_ / "out").c_str()));
    StopFlag stop;
    int started = -1;
    std::thread start([&] { started = PatcherClientElement_Start(element_, &stop); });
    bool held = false;
    {
        std::unique_lock<std::mutex> guard(hold.lock);
        held = hold.changed.wait_for(guard, std::chrono::seconds(60), [&] { return hold.held; });
    }
    PatcherDownloadStatus status;
    PatcherClientElement_GetStatus(&status, element_);
    hold.Release();
    start.join();
    ASSERT_TRUE(held) << DumpLogs() << testsupport::AlertText();
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_SCAN, status.State);
    EXPECT_EQ(hold.at, status.PiecesChecked);
    EXPECT_EQ(kPieces, status.PieceCount);
    EXPECT_EQ(kPiece, status.PieceLength);
    EXPECT_EQ((int64_t)data.size(), status.FilesSize);
    EXPECT_EQ((int64_t)data.size() - (int64_t)hold.at * kPiece, status.BytesLeft);

    // The check done, every piece was found on disk.
    EXPECT_EQ(1, started) << DumpLogs();
    PatcherClientElement_GetStatus(&status, element_);
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_DOWNLOAD, status.State);
    EXPECT_EQ(kPieces, status.PiecesChecked);
    EXPECT_EQ(0, status.BytesLeft);
    EXPECT_EQ((std::vector<int>{PATCHER_DOWNLOAD_STATE_SCAN, PATCHER_DOWNLOAD_STATE_DOWNLOAD}),
              g_states);
}

} // namespace
