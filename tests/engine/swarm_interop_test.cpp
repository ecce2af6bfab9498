// Our engine against reference peers on 127.0.0.1: it downloads a 64 MiB
// content from a libtorrent seed and from an aria2c seed, and a libtorrent
// leecher and an aria2c leecher download it from our seed. The peers are black
// boxes started by the test and stopped by their pid; the files must equal the
// source by SHA-1.
#include <gtest/gtest.h>

#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;
using enginetest::Program;

namespace {

const char kPython[] = "/usr/bin/python3";
const char kAria2[] = "/usr/bin/aria2c";

std::string PeerScript() {
    return std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py";
}

bool HaveLibtorrent() {
    return testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") ==
           0;
}

class SwarmInterop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testsupport::HaveProgram("mktorrent"))
            return;
        dir_ = new testsupport::TempDir();
        data_ = new std::string(enginetest::MakeBytes(64u << 20, 7));
        torrent_ = new std::string();
        if (!enginetest::MakeTorrent(*dir_, "big", {{"big.bin", *data_}}, 18, torrent_))
            torrent_->clear();
    }
    static void TearDownTestSuite() {
        delete dir_;
        delete data_;
        delete torrent_;
        dir_ = nullptr;
    }
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (dir_ == nullptr || torrent_->empty())
            GTEST_SKIP() << "mktorrent missing";
    }
    void TearDown() override {
        peer_.Stop();
        ours_.Close();
        testsupport::StopAlertCapture();
    }
    // A fresh empty folder for a leecher.
    std::string Empty() {
        std::string out = *dir_ / ("out" + std::to_string(++outs_));
        testsupport::RunCommand("rm -rf '" + out + "' && mkdir -p '" + out + "'");
        return out;
    }
    std::string Seeded() const { return *dir_ / "src/big"; }
    void ExpectSame(const std::string &file) {
        EXPECT_EQ(testsupport::Sha1Hex(*data_), testsupport::Sha1Hex(testsupport::ReadFile(file)));
    }
    // Our engine leeches from the peer listening on port.
    void LeechFrom(int port) {
        const std::string out = Empty();
        ours_.Types = MANAGER_CONNECTION_NORMAL; // reference peers know no Munge handshake
        ASSERT_TRUE(ours_.Open(*torrent_, out)) << testsupport::AlertText();
        ours_.AddPeer(port);
        ours_.Start();
        ASSERT_TRUE(ours_.WaitComplete(120)) << peer_.Text() << testsupport::AlertText();
        ours_.Close();
        ExpectSame(out + "/big.bin");
    }

    static testsupport::TempDir *dir_;
    static std::string *data_;
    static std::string *torrent_;
    int outs_ = 0;
    Engine ours_;
    Program peer_;
};

testsupport::TempDir *SwarmInterop::dir_ = nullptr;
std::string *SwarmInterop::data_ = nullptr;
std::string *SwarmInterop::torrent_ = nullptr;

TEST_F(SwarmInterop, DownloadsFromALibtorrentSeed) {
    if (!HaveLibtorrent())
        GTEST_SKIP() << "python3-libtorrent missing";
    const int port = enginetest::FreePort();
    ASSERT_TRUE(
        peer_.Start({kPython, PeerScript(), "seed", *torrent_, *dir_ / "src", std::to_string(port)},
                    *dir_ / "lt-seed.txt"));
    ASSERT_TRUE(peer_.WaitFor("listening", 30)) << peer_.Text();
    LeechFrom(port);
}

TEST_F(SwarmInterop, DownloadsFromAnAria2Seed) {
    if (!testsupport::HaveProgram("aria2c"))
        GTEST_SKIP() << "aria2c missing";
    const int port = enginetest::FreePort();
    ASSERT_TRUE(
        peer_.Start({kAria2, "--dir=" + (*dir_ / "src"), "--listen-port=" + std::to_string(port),
                     "--enable-dht=false", "--enable-dht6=false", "--bt-enable-lpd=false",
                     "--enable-peer-exchange=false", "--seed-ratio=0.0",
                     "--bt-seed-unverified=true", "--check-integrity=false", "--summary-interval=0",
                     "--bt-stop-timeout=0", "--console-log-level=notice", *torrent_},
                    *dir_ / "aria2-seed.txt"));
    ASSERT_TRUE(peer_.WaitFor("IPv4 BitTorrent: listening", 30)) << peer_.Text();
    LeechFrom(port);
}

TEST_F(SwarmInterop, ALibtorrentLeecherDownloadsFromOurSeed) {
    if (!HaveLibtorrent())
        GTEST_SKIP() << "python3-libtorrent missing";
    ASSERT_TRUE(ours_.Open(*torrent_, Seeded())) << testsupport::AlertText();
    ASSERT_TRUE(ours_.Complete());
    ours_.Start();
    const std::string out = Empty();
    ASSERT_TRUE(
        peer_.Start({kPython, PeerScript(), "leech", *torrent_, out,
                     std::to_string(enginetest::FreePort()), std::to_string(ours_.Port), "120"},
                    *dir_ / "lt-leech.txt"));
    ASSERT_TRUE(peer_.WaitFor("complete", 130)) << peer_.Text() << testsupport::AlertText();
    ExpectSame(out + "/big/big.bin");
}

// aria2c finds our seed through opentracker, to which the test announces us.
// aria2c sends its whole piece set again in place of a run of Haves, which
// must not end the connection.
TEST_F(SwarmInterop, AnAria2LeecherDownloadsFromOurSeed) {
    if (!testsupport::HaveProgram("aria2c") || !testsupport::HaveProgram("opentracker") ||
        !testsupport::HaveProgram("curl"))
        GTEST_SKIP() << "aria2c, opentracker or curl missing";
    const int trackerPort = enginetest::FreePort();
    const std::string torrent = *dir_ / "tracked.torrent";
    const std::string announce = "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce";
    ASSERT_EQ(0, testsupport::RunCommand("cd '" + (*dir_ / "src") + "' && mktorrent -l 18 -a " +
                                         announce + " -o '" + torrent + "' big >/dev/null"));
    ASSERT_TRUE(ours_.Open(torrent, Seeded())) << testsupport::AlertText();
    Program tracker;
    ASSERT_TRUE(enginetest::StartTrackedSeed(&tracker, &ours_, dir_->path(), *dir_ / "tracker",
                                             trackerPort, announce, *dir_ / "tracker.txt"));
    const std::string out = Empty();
    ASSERT_TRUE(peer_.Start(
        {kAria2, "--dir=" + out, "--listen-port=" + std::to_string(enginetest::FreePort()),
         "--enable-dht=false", "--enable-dht6=false", "--bt-enable-lpd=false",
         "--enable-peer-exchange=false", "--seed-time=0", "--bt-stop-timeout=120",
         "--summary-interval=0", "--console-log-level=notice", torrent},
        *dir_ / "aria2-leech.txt"));
    for (int i = 0; i < 1800 && !peer_.Exited(); i++)
        usleep(100000);
    ASSERT_EQ(0, peer_.Status) << peer_.Text() << testsupport::AlertText();
    tracker.Stop();
    ExpectSame(out + "/big/big.bin");
}

} // namespace
