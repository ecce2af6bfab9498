// Stream encryption against libtorrent on 127.0.0.1, forced to one method at
// a time: our engine downloads from a libtorrent seed and a libtorrent leecher
// downloads from our seed, with RC4 and with plaintext after the key exchange;
// aria2c leechers requiring RC4 (random padding, an empty initial payload)
// download from our seed one after another. The files must equal the source
// by SHA-1.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;
using enginetest::Program;

namespace {

const char kPython[] = "/usr/bin/python3";

std::string PeerScript() {
    return std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py";
}

struct Method {
    const char *Forced; // libtorrent's PORTICO_LT_ENCRYPTION
    int Types;          // our outgoing connection types
    const char *Seen;   // libtorrent's report of an accepted connection's method
};

const Method kMethods[] = {
    {"rc4", MANAGER_CONNECTION_PE, "peer rc4"},
    {"plaintext", MANAGER_CONNECTION_PLAINTEXT, "peer plaintext"},
};

class SwarmCryptoInterop : public ::testing::TestWithParam<Method> {
  protected:
    static void SetUpTestSuite() {
        if (!testsupport::HaveProgram("mktorrent"))
            return;
        dir_ = new testsupport::TempDir();
        data_ = new std::string(enginetest::MakeBytes(6u << 20, 21));
        torrent_ = new std::string();
        if (!enginetest::MakeTorrent(*dir_, "enc", {{"enc.bin", *data_}}, 18, torrent_))
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
        if (testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") !=
            0)
            GTEST_SKIP() << "python3-libtorrent missing";
    }
    void TearDown() override {
        peer_.Stop();
        ours_.Close();
        testsupport::StopAlertCapture();
    }
    std::string Empty() {
        std::string out = *dir_ / ("out" + std::to_string(++outs_));
        testsupport::RunCommand("rm -rf '" + out + "' && mkdir -p '" + out + "'");
        return out;
    }
    // The leecher's download is held to 2 MB/s so that its peer list, polled
    // every 50 ms, sees our connection after the handshake: a fast key exchange
    // and a 6 MiB transfer could otherwise end between two polls.
    std::vector<std::string> Script(const std::vector<std::string> &args) {
        std::vector<std::string> all = {"/usr/bin/env",
                                        std::string("PORTICO_LT_ENCRYPTION=") + GetParam().Forced,
                                        "PORTICO_LT_DOWNLOAD_LIMIT=2000000", kPython, PeerScript()};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    void ExpectSame(const std::string &file) {
        EXPECT_EQ(testsupport::Sha1Hex(*data_), testsupport::Sha1Hex(testsupport::ReadFile(file)));
    }

    static testsupport::TempDir *dir_;
    static std::string *data_;
    static std::string *torrent_;
    static inline int outs_ = 0;
    Engine ours_;
    Program peer_;
};

testsupport::TempDir *SwarmCryptoInterop::dir_ = nullptr;
std::string *SwarmCryptoInterop::data_ = nullptr;
std::string *SwarmCryptoInterop::torrent_ = nullptr;

TEST_P(SwarmCryptoInterop, DownloadsFromALibtorrentSeed) {
    const int port = enginetest::FreePort();
    ASSERT_TRUE(peer_.Start(Script({"seed", *torrent_, *dir_ / "src", std::to_string(port)}),
                            *dir_ / ("lt-seed-" + std::to_string(++outs_) + ".txt")));
    ASSERT_TRUE(peer_.WaitFor("listening", 30)) << peer_.Text();
    const std::string out = Empty();
    ours_.Types = GetParam().Types;
    ASSERT_TRUE(ours_.Open(*torrent_, out)) << testsupport::AlertText();
    ours_.AddPeer(port);
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(120)) << peer_.Text() << testsupport::AlertText();
    ours_.Close();
    ExpectSame(out + "/enc.bin");
    // Our only outgoing type offers only the method libtorrent allows.
    EXPECT_EQ(std::string::npos, peer_.Text().find("peer none")) << peer_.Text();
}

TEST_P(SwarmCryptoInterop, ALibtorrentLeecherDownloadsFromOurSeed) {
    ASSERT_TRUE(ours_.Open(*torrent_, *dir_ / "src/enc")) << testsupport::AlertText();
    ASSERT_TRUE(ours_.Complete());
    ours_.Start();
    const std::string out = Empty();
    ASSERT_TRUE(peer_.Start(Script({"leech", *torrent_, out, std::to_string(enginetest::FreePort()),
                                    std::to_string(ours_.Port), "120"}),
                            *dir_ / ("lt-leech-" + std::to_string(++outs_) + ".txt")));
    ASSERT_TRUE(peer_.WaitFor("complete", 130)) << peer_.Text() << testsupport::AlertText();
    ExpectSame(out + "/enc/enc.bin");
    EXPECT_TRUE(peer_.Text().find("complete") != std::string::npos) << peer_.Text();
    EXPECT_NE(std::string::npos, peer_.Text().find(GetParam().Seen)) << peer_.Text();
    EXPECT_EQ(std::string::npos, peer_.Text().find("peer none")) << peer_.Text();
}

// aria2c offers RC4 only when it requires encryption: one method here.
class SwarmCryptoAria2 : public SwarmCryptoInterop {};

// aria2c finds our seed through opentracker, to which the test announces us.
TEST_P(SwarmCryptoAria2, LeechersRequiringRC4DownloadFromOurSeed) {
    if (!testsupport::HaveProgram("aria2c") || !testsupport::HaveProgram("opentracker") ||
        !testsupport::HaveProgram("curl"))
        GTEST_SKIP() << "aria2c, opentracker or curl missing";
    const int trackerPort = enginetest::FreePort();
    const std::string torrent = *dir_ / "tracked.torrent";
    const std::string announce = "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce";
    ASSERT_EQ(0, testsupport::RunCommand("cd '" + (*dir_ / "src") + "' && mktorrent -l 18 -a " +
                                         announce + " -o '" + torrent + "' enc >/dev/null"));
    ASSERT_TRUE(ours_.Open(torrent, *dir_ / "src/enc")) << testsupport::AlertText();
    Program tracker;
    ASSERT_TRUE(enginetest::StartTrackedSeed(&tracker, &ours_, dir_->path(), *dir_ / "tracker",
                                             trackerPort, announce, *dir_ / "tracker.txt"));
    // PORTICO_ARIA2_RUNS repeats the download more often (a soak by hand).
    const char *runsText = std::getenv("PORTICO_ARIA2_RUNS");
    const long asked = runsText != nullptr ? std::strtol(runsText, nullptr, 10) : 0;
    const int runs = asked > 0 && asked <= 1000 ? (int)asked : 5;
    for (int run = 0; run < runs; run++) {
        SCOPED_TRACE(run);
        const std::string out = Empty();
        Program aria2;
        ASSERT_TRUE(aria2.Start(
            {"/usr/bin/aria2c", "--dir=" + out,
             "--listen-port=" + std::to_string(enginetest::FreePort()), "--enable-dht=false",
             "--enable-dht6=false", "--bt-enable-lpd=false", "--enable-peer-exchange=false",
             "--bt-require-crypto=true", "--bt-min-crypto-level=arc4", "--seed-time=0",
             "--bt-stop-timeout=60", "--summary-interval=0", "--console-log-level=notice", torrent},
            *dir_ / ("aria2-leech-" + std::to_string(run) + ".txt")));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return aria2.Exited(); }, 180)) << aria2.Text();
        ASSERT_EQ(0, aria2.Status) << aria2.Text() << testsupport::AlertText();
        ExpectSame(out + "/enc/enc.bin");
    }
    tracker.Stop();
}

INSTANTIATE_TEST_SUITE_P(Methods, SwarmCryptoInterop, ::testing::ValuesIn(kMethods),
                         [](const ::testing::TestParamInfo<Method> &info) {
                             return std::string(info.param.Forced);
                         });

INSTANTIATE_TEST_SUITE_P(Methods, SwarmCryptoAria2, ::testing::Values(kMethods[0]),
                         [](const ::testing::TestParamInfo<Method> &info) {
                             return std::string(info.param.Forced);
                         });

} // namespace
