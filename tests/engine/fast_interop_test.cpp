// The Fast extension against reference peers: opentracker behind nginx, which
// adds "X-TrackerParam: UseFast" to every announce reply, tells our engine to
// offer Fast; a libtorrent seed and an aria2c seed found through that tracker
// alone give the whole content with Fast on both sides (the handshakes in the
// message log), files equal by SHA-1.
#include <gtest/gtest.h>

#include <functional>

#include "engine/content.h"
#include "engine/manager.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"

using enginetest::Engine;
using enginetest::Program;

namespace {

const char kPython[] = "/usr/bin/python3";

using testsupport::WaitUntil;

class FastInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("opentracker") || !testsupport::HaveProgram("mktorrent") ||
            !testsupport::HaveProgram("nginx"))
            GTEST_SKIP() << "opentracker, mktorrent or nginx missing";
        trackerPort_ = enginetest::FreePort();
        proxy_ = std::make_unique<nettest::NginxServer>(
            "location /announce { proxy_pass http://127.0.0.1:" + std::to_string(trackerPort_) +
            "; add_header X-TrackerParam UseFast always; }");
        ASSERT_TRUE(proxy_->ok()) << proxy_->error();
        data_ = enginetest::MakeBytes(8u << 20, 21);
        const std::string src = dir_ / "src/fast";
        testsupport::RunCommand("mkdir -p '" + src + "'");
        testsupport::WriteFile(src + "/fast.bin", data_);
        torrent_ = dir_ / "fast.torrent";
        ASSERT_EQ(0, testsupport::RunCommand("cd '" + (dir_ / "src") + "' && mktorrent -l 16 -a '" +
                                             proxy_->url("/announce") + "' -o '" + torrent_ +
                                             "' fast >/dev/null"));
    }
    void TearDown() override {
        peer_.Stop();
        ours_.Close();
        tracker_.Stop();
        testsupport::StopAlertCapture();
    }
    // opentracker for our content's hash only.
    void StartTracker() {
        ContentStruct *content = nullptr;
        Content_Create(&content);
        Content_SetSource(content, torrent_.c_str(), CONTENT_SOURCE_METAFILE);
        char hash[64] = "";
        ASSERT_EQ(1, Content_Open(content));
        Content_GetInfoHashText(content, hash, sizeof hash);
        Content_Destroy(&content);
        const std::string folder = dir_ / "tracker";
        testsupport::RunCommand("mkdir -p '" + folder + "'");
        testsupport::WriteFile(folder + "/whitelist", std::string(hash) + "\n");
        testsupport::RunCommand("chmod 755 '" + dir_.path() + "' '" + folder + "' && chmod 644 '" +
                                folder + "/whitelist'");
        const std::string port = std::to_string(trackerPort_);
        ASSERT_TRUE(tracker_.Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", port, "-P",
                                    port, "-w", "/whitelist", "-d", folder},
                                   dir_ / "opentracker.txt"));
        ASSERT_TRUE(WaitUntil([&] { return enginetest::ConnectLocal(trackerPort_) >= 0; }, 10));
    }
    // Our leecher finds the seed through the tracker alone and must use Fast.
    void LeechWithFast() {
        testsupport::ConsoleCapture console;
        const std::string out = dir_ / "out";
        testsupport::RunCommand("mkdir -p '" + out + "'");
        ours_.Types = MANAGER_CONNECTION_NORMAL;
        ASSERT_TRUE(ours_.Open(torrent_, out)) << testsupport::AlertText();
        Manager_SetMessageLog(ours_.Manager, 1);
        ours_.Start();
        ASSERT_TRUE(ours_.WaitComplete(120)) << peer_.Text() << testsupport::AlertText();
        EXPECT_TRUE(console.Contains("Handshake sent: FastExtension(1)"));
        EXPECT_TRUE(console.Contains("Handshake received: FastExtension(1)"));
        EXPECT_EQ(testsupport::Sha1Hex(data_),
                  testsupport::Sha1Hex(testsupport::ReadFile(out + "/fast.bin")));
    }

    testsupport::TempDir dir_;
    std::unique_ptr<nettest::NginxServer> proxy_;
    int trackerPort_ = 0;
    std::string data_, torrent_;
    Program tracker_, peer_;
    Engine ours_;
};

TEST_F(FastInterop, DownloadsFromALibtorrentSeed) {
    if (testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-libtorrent missing";
    StartTracker();
    ASSERT_TRUE(
        peer_.Start({kPython, std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py",
                     "seed", torrent_, dir_ / "src", std::to_string(enginetest::FreePort())},
                    dir_ / "lt.txt"));
    ASSERT_TRUE(peer_.WaitFor("listening", 30)) << peer_.Text();
    LeechWithFast();
}

TEST_F(FastInterop, DownloadsFromAnAria2Seed) {
    if (!testsupport::HaveProgram("aria2c"))
        GTEST_SKIP() << "aria2c missing";
    StartTracker();
    ASSERT_TRUE(peer_.Start(
        {"/usr/bin/aria2c", "--dir=" + (dir_ / "src"),
         "--listen-port=" + std::to_string(enginetest::FreePort()), "--enable-dht=false",
         "--enable-dht6=false", "--bt-enable-lpd=false", "--enable-peer-exchange=false",
         "--seed-ratio=0.0", "--bt-seed-unverified=true", "--check-integrity=false",
         "--summary-interval=0", "--bt-stop-timeout=0", "--console-log-level=notice", torrent_},
        dir_ / "aria2.txt"));
    ASSERT_TRUE(peer_.WaitFor("IPv4 BitTorrent: listening", 30)) << peer_.Text();
    LeechWithFast();
}

} // namespace
