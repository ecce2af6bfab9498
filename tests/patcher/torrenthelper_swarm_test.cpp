// A download job of the torrent helper that really downloads: the metafile comes
// from nginx ("/MetaURL"), its web sources are switched off ("/NoReliable"), and
// the content comes from a python3-libtorrent seed found through opentracker.
#include "core/bitfield.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "patcher/torrenthelper.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using enginetest::TorrentHash;

const char kPython[] = "/usr/bin/python3";

using testsupport::WaitUntil;

TEST(TorrentHelperSwarm, AJobFromAMetafileUrlCompletesFromALibtorrentPeer) {
    if (!testsupport::HaveProgram("opentracker") || !testsupport::HaveProgram("mktorrent") ||
        !testsupport::HaveProgram("nginx"))
        GTEST_SKIP() << "opentracker, mktorrent or nginx missing (tools/setup)";
    if (testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-libtorrent missing (tools/setup)";
    enginetest::StartTransports();
    testsupport::EnsureAlertLog();
    testsupport::CaptureAlerts();
    testsupport::TempDir dir;
    nettest::NginxServer web;
    ASSERT_TRUE(web.ok()) << web.error();

    // The content, its metafile (announced to opentracker) on nginx.
    const int trackerPort = enginetest::FreePort();
    const std::string announce = "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce";
    const std::string data = enginetest::MakeBytes(1u << 20, 25);
    testsupport::RunCommand("mkdir -p '" + dir / "src/pack" + "' '" + dir / "out" + "'");
    testsupport::WriteFile(dir / "src/pack/a.bin", data);
    testsupport::WriteFile(dir / "src/pack/b.bin", data.substr(0, 300000));
    const std::string torrent = dir / "pack.torrent";
    ASSERT_EQ(0, testsupport::RunCommand("cd '" + dir / "src" + "' && mktorrent -l 16 -a '" +
                                         announce + "' -o '" + torrent + "' pack >/dev/null"));
    testsupport::WriteFile(web.root() + "/pack.torrent", testsupport::ReadFile(torrent));
    const std::string hash = TorrentHash(torrent);
    ASSERT_EQ(40u, hash.size());

    // opentracker in whitelist mode, read after it drops its rights.
    testsupport::WriteFile(dir / "whitelist", hash + "\n");
    testsupport::RunCommand("chmod 755 '" + dir.path() + "' && chmod 644 '" + dir / "whitelist" +
                            "'");
    enginetest::Program tracker;
    const std::string port = std::to_string(trackerPort);
    ASSERT_TRUE(tracker.Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", port, "-P", port,
                               "-w", "/whitelist", "-d", dir.path()},
                              dir / "opentracker.txt"));
    ASSERT_TRUE(WaitUntil([&] { return enginetest::ConnectLocal(trackerPort) >= 0; }, 10));

    const int seedPort = enginetest::FreePort();
    enginetest::Program seed;
    ASSERT_TRUE(
        seed.Start({kPython, std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py",
                    "seed", torrent, dir / "src", std::to_string(seedPort)},
                   dir / "lt.txt"));
    ASSERT_TRUE(seed.WaitFor("listening", 30)) << seed.Text();

    ManagerStruct *manager = nullptr;
    ASSERT_EQ(1, Manager_Create(&manager));
    Manager_DisableWebServer(manager);
    Manager_SetOutgoingConnectionTypes(manager, MANAGER_CONNECTION_NORMAL);
    TorrentHelperJob job;
    TorrentHelperJob_SetDefaults(&job);
    job.AskForLocation = 0;
    job.ListenPort = enginetest::FreePort();
    memcpy(job.BindAddress, enginetest::kLoopbackAddress, 4);
    job.ConnectInterval = 0;
    job.TrackerRetryInterval = 1;
    Zyl_StrCopy(job.OutputPath, (dir / "out").c_str(), TORRENTHELPER_PATH_SIZE);
    TorrentHelper_ResetPrompt();
    const std::string line = "vexilnm /METAURL " + web.url("/pack.torrent") + " /NoReliable";
    ManagerMemberStruct *member = nullptr;
    ASSERT_EQ(1, TorrentHelper_StartJob(line.c_str(), manager, &job, &member))
        << TorrentHelper_GetError() << "\n"
        << testsupport::AlertText();
    BaseStruct *base = nullptr;
    ContentStruct *content = nullptr;
    ManagerMember_GetBase(member, &base);
    Base_GetContent(base, &content);
    EXPECT_EQ(0, Base_GetWebEnabled(base));
    ASSERT_EQ(1, Content_ScanExisting(content));
    // The pieces are the manager thread's: completion is learnt from its report.
    static std::atomic<int> done;
    done = 0;
    Base_SetStatusCallback(
        base, [](BaseStruct *, void *) { done = 1; }, nullptr);
    Base_SetActive(base, 1);
    Manager_SetActive(manager, 1);
    EXPECT_TRUE(WaitUntil([&] { return done.load() != 0; }, 90))
        << testsupport::AlertText() << seed.Text();
    Manager_SetActive(manager, 0);
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(content, &held);
    EXPECT_EQ(1, Bitfield_IsComplete(held));
    job.DeleteMetafileOnSuccess = 1;
    TorrentHelper_StopJob(&job, manager, &member);
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(dir / "out/pack/a.bin")));
    EXPECT_EQ(testsupport::Sha1Hex(data.substr(0, 300000)),
              testsupport::Sha1Hex(testsupport::ReadFile(dir / "out/pack/b.bin")));
    Manager_Destroy(&manager);
    seed.Stop();
    tracker.Stop();
    testsupport::StopAlertCapture();
}

// The web source alone: the metafile on nginx names the content's folder on the
// same server as its reliable source.
TEST(TorrentHelperSwarm, AJobFromAMetafileUrlFillsTheOutputFolderFromTheWebSource) {
    if (!testsupport::HaveProgram("mktorrent") || !testsupport::HaveProgram("nginx"))
        GTEST_SKIP() << "mktorrent or nginx missing (tools/setup)";
    enginetest::StartTransports();
    testsupport::EnsureAlertLog();
    testsupport::CaptureAlerts();
    testsupport::TempDir dir;
    nettest::NginxServer web("access_log " + dir / "access.log" + ";\n");
    ASSERT_TRUE(web.ok()) << web.error();
    const std::string a = enginetest::MakeBytes(300000, 30), b = enginetest::MakeBytes(70001, 31);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir, "pack", {{"a.bin", a}, {"b.bin", b}}, 15, &torrent));
    ASSERT_EQ(0, testsupport::RunCommand("cp -r '" + dir / "src/pack" + "' '" + web.root() + "/'"));
    ASSERT_TRUE(enginetest::AddReliable(torrent, web.url("/pack/")));
    ASSERT_EQ(0, testsupport::RunCommand("cp '" + torrent + "' '" + web.root() + "/pack.torrent'"));

    ManagerStruct *manager = nullptr;
    ASSERT_EQ(1, Manager_Create(&manager));
    Manager_DisableWebServer(manager);
    TorrentHelperJob job;
    TorrentHelperJob_SetDefaults(&job);
    job.AskForLocation = 0;
    job.ListenPort = enginetest::FreePort();
    memcpy(job.BindAddress, enginetest::kLoopbackAddress, 4);
    Zyl_StrCopy(job.OutputPath, (dir / "out").c_str(), TORRENTHELPER_PATH_SIZE);
    TorrentHelper_ResetPrompt();
    const std::string line = "vexilnm /METAURL " + web.url("/pack.torrent") + " /NoPeer";
    ManagerMemberStruct *member = nullptr;
    ASSERT_EQ(1, TorrentHelper_StartJob(line.c_str(), manager, &job, &member))
        << TorrentHelper_GetError() << "\n"
        << testsupport::AlertText();
    BaseStruct *base = nullptr;
    ContentStruct *content = nullptr;
    ManagerMember_GetBase(member, &base);
    Base_GetContent(base, &content);
    ASSERT_EQ(1, Content_ScanExisting(content));
    static std::atomic<int> done;
    done = 0;
    Base_SetStatusCallback(
        base, [](BaseStruct *, void *) { done = 1; }, nullptr);
    Base_SetActive(base, 1);
    Manager_SetActive(manager, 1);
    EXPECT_TRUE(WaitUntil([&] { return done.load() != 0; }, 90)) << testsupport::AlertText();
    Manager_SetActive(manager, 0);
    TorrentHelper_StopJob(&job, manager, &member);
    EXPECT_EQ(testsupport::Sha1Hex(a),
              testsupport::Sha1Hex(testsupport::ReadFile(dir / "out/pack/a.bin")));
    EXPECT_EQ(testsupport::Sha1Hex(b),
              testsupport::Sha1Hex(testsupport::ReadFile(dir / "out/pack/b.bin")));
    EXPECT_NE(std::string::npos, testsupport::ReadFile(dir / "access.log").find("\" 206 "));
    Manager_Destroy(&manager);
    testsupport::StopAlertCapture();
}

} // namespace
