// Web sources against nginx on 127.0.0.1: a download filled from the server
// alone (ranged and, without range support, sequential), special file names, a
// redirect whose base is used next, a missing file retried later, a corrupt copy
// given up, twins taking turns and a libtorrent seed beside the server; and the
// web-seed manager's own bookkeeping (frequencies, redirect list, status).
#include <gtest/gtest.h>

#include "engine/webbase.h"
#include "engine/webpeer.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"

using enginetest::AddReliable;
using enginetest::Engine;

namespace {

// Lines of nginx's access log holding text.
int CountLines(const std::string &log, const std::string &text) {
    int n = 0;
    size_t at = 0;
    while ((at = log.find(text, at)) != std::string::npos) {
        n++;
        at += text.size();
    }
    return n;
}

bool WaitForAlert(const std::string &text, double seconds) {
    for (int i = 0; i < (int)(seconds * 50); i++) {
        if (testsupport::AlertText().find(text) != std::string::npos)
            return true;
        usleep(20000);
    }
    return false;
}

class WebSeed : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("mktorrent") || !testsupport::HaveProgram("nginx"))
            GTEST_SKIP() << "mktorrent or nginx missing";
    }
    void TearDown() override {
        ours_.Close();
        testsupport::StopAlertCapture();
    }
    // nginx with the access log in the test folder and extra directives.
    bool StartServer(const std::string &directives = "") {
        server_ = std::make_unique<nettest::NginxServer>("access_log " + (dir_ / "access.log") +
                                                         ";\n" + directives);
        return server_->ok();
    }
    std::string AccessLog() const { return testsupport::ReadFile(dir_ / "access.log"); }
    // Makes the content "pack" of files, copies it below the server's root at
    // `at` and adds the reliable source pointing to `source` (default: `at`).
    void MakeContent(const std::vector<std::pair<std::string, std::string>> &files, int pieceBits,
                     const std::string &at = "pack", std::string source = "") {
        if (source.empty())
            source = at;
        files_ = files;
        ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", files, pieceBits, &torrent_));
        ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + server_->root() + "' && cp -r '" +
                                             (dir_ / "src/pack") + "' '" + server_->root() + "/" +
                                             at + "'"));
        ASSERT_TRUE(AddReliable(torrent_, server_->url("/" + source + "/")));
    }
    // Opens our download over an empty folder.
    void Open() {
        out_ = dir_ / "out";
        testsupport::RunCommand("rm -rf '" + out_ + "' && mkdir -p '" + out_ + "'");
        ASSERT_TRUE(ours_.Open(torrent_, out_)) << testsupport::AlertText();
        Base_GetWebBase(ours_.Base, &web_);
    }
    void ExpectFilesEqual() {
        for (const auto &f : files_)
            EXPECT_EQ(testsupport::Sha1Hex(f.second),
                      testsupport::Sha1Hex(testsupport::ReadFile(out_ + "/" + f.first)))
                << f.first;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<nettest::NginxServer> server_;
    std::vector<std::pair<std::string, std::string>> files_;
    std::string torrent_, out_;
    Engine ours_;
    WebBaseStruct *web_ = nullptr;
};

TEST_F(WebSeed, FillsADownloadFromTheServerAlone) {
    ASSERT_TRUE(StartServer()) << server_->error();
    // Pieces of 32 KiB: the first file ends inside a piece, the last is short.
    MakeContent({{"a.bin", enginetest::MakeBytes(200000, 1)},
                 {"b.bin", enginetest::MakeBytes(150001, 2)},
                 {"c.bin", enginetest::MakeBytes(7, 3)}},
                15);
    Open();
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(60)) << testsupport::AlertText() << server_->log();
    ExpectFilesEqual();
    const std::string log = AccessLog();
    EXPECT_GT(CountLines(log, "\" 206 "), 0) << log;
    EXPECT_EQ(0, CountLines(log, "\" 200 ")) << log;
    TransferTotalsStruct totals = {};
    Base_GetTransferTotals(ours_.Base, &totals);
    EXPECT_EQ(350008u, totals.Received);
    EXPECT_EQ(350008u, totals.Confirmed);
}

TEST_F(WebSeed, ReadsWholeFilesFromAServerWithoutRanges) {
    ASSERT_TRUE(StartServer("max_ranges 0;")) << server_->error();
    // The first file is short: a first piece taken at random most likely lies in
    // the second, whose whole file then starts past the piece wanted first.
    MakeContent(
        {{"a.bin", enginetest::MakeBytes(1000, 4)}, {"b.bin", enginetest::MakeBytes(400000, 5)}},
        15);
    Open();
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(60)) << testsupport::AlertText();
    ExpectFilesEqual();
    EXPECT_NE(std::string::npos,
              testsupport::AlertText().find(
                  "Webserver appears to only support sequential reads - reconfiguring"));
}

TEST_F(WebSeed, FetchesFilesWithSpecialNames) {
    ASSERT_TRUE(StartServer()) << server_->error();
    MakeContent({{"with space.bin", enginetest::MakeBytes(40000, 6)},
                 {"hash#mark.bin", enginetest::MakeBytes(40000, 7)},
                 {"per%cent.bin", enginetest::MakeBytes(40000, 8)},
                 {"semi;colon.bin", enginetest::MakeBytes(40000, 9)},
                 {"\xc3\xa9t\xc3\xa9.bin", enginetest::MakeBytes(40000, 10)}},
                15);
    Open();
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(60)) << testsupport::AlertText() << AccessLog();
    ExpectFilesEqual();
    const std::string log = AccessLog();
    EXPECT_NE(std::string::npos, log.find("with%20space.bin")) << log;
    EXPECT_NE(std::string::npos, log.find("per%25cent.bin")) << log;
    EXPECT_NE(std::string::npos, log.find("semi%3Bcolon.bin")) << log;
}

TEST_F(WebSeed, UsesARedirectsBaseForTheNextRequests) {
    ASSERT_TRUE(StartServer("location /old/ { rewrite ^/old/(.*)$ /pack/$1 redirect; }"))
        << server_->error();
    // The source names /old/: the first request is redirected to /pack/.
    MakeContent({{"a.bin", enginetest::MakeBytes(300000, 11)}}, 15, "pack", "old");
    Open();
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(60)) << testsupport::AlertText() << AccessLog();
    ExpectFilesEqual();
    const std::string log = AccessLog();
    EXPECT_EQ(1, CountLines(log, "GET /old/a.bin")) << log;
    EXPECT_GT(CountLines(log, "GET /pack/a.bin"), 1) << log;
}

TEST_F(WebSeed, RetriesAMissingSourceAMinuteLater) {
    ASSERT_TRUE(StartServer()) << server_->error();
    // The source names a folder the server does not have.
    MakeContent({{"a.bin", enginetest::MakeBytes(100000, 12)}}, 15, "pack", "missing");
    Open();
    enginetest::TestClock clock;
    Manager_SetClock(ours_.Manager, &enginetest::TestClock::Read, &clock);
    ours_.Start();
    ASSERT_TRUE(WaitForAlert("Closing at [Missing source]", 30)) << testsupport::AlertText();
    usleep(300000);
    EXPECT_EQ(1, CountLines(AccessLog(), "\" 404 ")) << AccessLog();
    clock.Now = clock.Now + 61;
    for (int i = 0; i < 250 && CountLines(AccessLog(), "\" 404 ") < 2; i++)
        usleep(20000);
    EXPECT_EQ(2, CountLines(AccessLog(), "\" 404 ")) << AccessLog();
}

TEST_F(WebSeed, GivesUpACorruptCopy) {
    ASSERT_TRUE(StartServer()) << server_->error();
    MakeContent({{"a.bin", enginetest::MakeBytes(200000, 13)}}, 15);
    // Piece 2 of the served copy is damaged.
    const std::string served = server_->root() + "/pack/a.bin";
    std::string copy = testsupport::ReadFile(served);
    copy[2 * 32768 + 5] ^= 0x55;
    testsupport::WriteFile(served, copy);
    Open();
    ours_.Start();
    ASSERT_TRUE(WaitForAlert("Closing at [Unable to verify integrity]", 60))
        << testsupport::AlertText();
    EXPECT_NE(std::string::npos,
              testsupport::AlertText().find("Failed to retrieve content, integrity corrupt (4:"));
    TransferTotalsStruct totals = {};
    Base_GetTransferTotals(ours_.Base, &totals);
    EXPECT_EQ(4u * 32768u, totals.Corrupt);
}

TEST_F(WebSeed, TwinsTakeTurns) {
    ASSERT_TRUE(StartServer()) << server_->error();
    MakeContent({{"a.bin", enginetest::MakeBytes(1 << 20, 14)}}, 15);
    Open();
    WebBase_SetStaggeredRequests(web_, 1);
    WebBase_SetReserveMaxPieces(web_, 4);
    WebBase_SetPeerLogging(web_, 1);
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(60)) << testsupport::AlertText();
    ExpectFilesEqual();
    EXPECT_EQ(2, web_->AddedCount);
    // A twin is woken only once more than half of the running request arrived.
    const std::string text = testsupport::AlertText();
    int woken = 0;
    for (size_t at = text.find("Waking twin"); at != std::string::npos;
         at = text.find("Waking twin", at + 1)) {
        long long delivered = 0, size = 0;
        ASSERT_EQ(2, sscanf(text.c_str() + text.find("] at ", at), "] at %lld of %lld", &delivered,
                            &size));
        EXPECT_GT(delivered * 2, size);
        woken++;
    }
    EXPECT_GT(woken, 0) << text;
}

// A server that answers the first request with another range than asked for,
// then every range with ten bytes more than asked for.
TEST_F(WebSeed, RefusesAnotherRangeAndDropsBytesPastTheRange) {
    const std::string data = enginetest::MakeBytes(100000, 16);
    files_ = {{"a.bin", data}};
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", files_, 15, &torrent_));
    nettest::ScriptedServer server([&](nettest::ScriptedConnection &c, int index) {
        for (;;) {
            const std::string request = c.ReadRequest();
            const size_t at = request.find("Range: bytes=");
            if (request.empty() || at == std::string::npos)
                return;
            long long first = 0, last = 0;
            sscanf(request.c_str() + at, "Range: bytes=%lld-%lld", &first, &last);
            const long long shift = index == 0 ? 1 : 0;
            const std::string body =
                data.substr((size_t)(first + shift), (size_t)(last - first + 1)) +
                std::string(index == 0 ? 0 : 10, 'x');
            c.Send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                   std::to_string(first + shift) + "-" + std::to_string(last + shift) + "/" +
                   std::to_string(data.size()) +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            if (index == 0) {
                c.Close();
                return;
            }
        }
    });
    ASSERT_TRUE(AddReliable(torrent_, server.url("/pack/")));
    Open();
    WebBase_SetPeerLogging(web_, 1);
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(60)) << testsupport::AlertText();
    ExpectFilesEqual();
    const std::string text = testsupport::AlertText();
    EXPECT_NE(std::string::npos, text.find("is not the range asked for")) << text;
    EXPECT_NE(std::string::npos, text.find("Discarding 10 bytes past the range asked for")) << text;
}

TEST_F(WebSeed, FillsBesideALibtorrentSeed) {
    if (testsupport::RunCommand("/usr/bin/python3 -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-libtorrent missing";
    ASSERT_TRUE(StartServer()) << server_->error();
    MakeContent({{"a.bin", enginetest::MakeBytes(8 << 20, 15)}}, 16);
    enginetest::Program seed;
    const int port = enginetest::FreePort();
    ASSERT_TRUE(seed.Start({"/usr/bin/python3",
                            std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py",
                            "seed", torrent_, dir_ / "src", std::to_string(port)},
                           dir_ / "lt-seed.txt"));
    ASSERT_TRUE(seed.WaitFor("listening", 30)) << seed.Text();
    ours_.Types = MANAGER_CONNECTION_NORMAL;
    Open();
    ours_.AddPeer(port);
    ours_.Start();
    ASSERT_TRUE(ours_.WaitComplete(120)) << seed.Text() << testsupport::AlertText();
    ExpectFilesEqual();
    TransferTotalsStruct web = {};
    WebBase_GetTransferTotals(web_, &web);
    EXPECT_GT(web.Received, 0u);
}

// ---------------------------------------------------------------------------
// The manager's bookkeeping, without a server
// ---------------------------------------------------------------------------

class WebBaseRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        ASSERT_EQ(1, WebBase_Create(&web_));
    }
    void TearDown() override {
        WebBase_Destroy(&web_);
        testsupport::StopAlertCapture();
    }
    WebPeerStruct *Add(const char *url) {
        WebPeerStruct *peer = nullptr;
        EXPECT_EQ(1, WebBase_AddMember(web_, url, "id", &peer));
        return peer;
    }
    WebBaseStruct *web_ = nullptr;
};

TEST_F(WebBaseRecord, AddsLiveMembersToPieceCounts) {
    Add("http://127.0.0.1:1/a/");
    Add("http://127.0.0.1:1/b/");
    struct Case {
        std::vector<uint8_t> in, out;
    } cases[] = {
        {{0, 3, 248}, {2, 5, 250}},
        {{249, 10}, {125, 6}}, // 249 passes 250: stopped there, then all halved
        {{250, 1, 0}, {250, 3, 2}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> counts = c.in;
        WebBase_AddFrequency(web_, counts.data(), (int)counts.size());
        EXPECT_EQ(c.out, counts);
    }
}

TEST_F(WebBaseRecord, KeepsRedirectBasesPerFileIgnoringCase) {
    char base[WEBBASE_TEXT_SIZE];
    EXPECT_EQ(0, WebBase_RedirectFind(web_, "a.bin", base));
    WebBase_RedirectAdd(web_, "http://x/one/", "a.bin");
    WebBase_RedirectAdd(web_, "http://x/two/", "b.bin");
    WebBase_RedirectAdd(web_, "http://x/three/", "A.BIN");
    ASSERT_EQ(1, WebBase_RedirectFind(web_, "a.Bin", base));
    EXPECT_STREQ("http://x/three/", base);
    ASSERT_EQ(1, WebBase_RedirectFind(web_, "b.bin", base));
    EXPECT_STREQ("http://x/two/", base);
    EXPECT_EQ(2, web_->Redirects.Count);
    for (WebBaseRedirectStruct *r = web_->Redirects.First; r && r->Next; r = r->Next)
        EXPECT_LT(r->Crc, r->Next->Crc);
}

TEST_F(WebBaseRecord, StatusLettersStopAfterThreeHundredCharacters) {
    for (int i = 0; i < 200; i++) {
        std::string url = "http://127.0.0.1:1/" + std::to_string(i) + "/";
        WebPeer_SetState(Add(url.c_str()), WEBPEER_STATE_GOOD);
    }
    char letters[WEBBASE_TEXT_SIZE];
    WebBase_GetStatusLetters(web_, letters);
    const std::string text = letters;
    EXPECT_EQ(std::string::npos, text.find_first_not_of("G ."));
    EXPECT_EQ("...", text.substr(text.size() - 3));
    EXPECT_LE(text.size(), 304u);
    EXPECT_GE(text.size(), 300u);
    int64_t live = 0, other = 0;
    WebBase_GetMemberCount(web_, &live, &other);
    EXPECT_EQ(200, live);
}

TEST_F(WebBaseRecord, SettingsHaveTheirFloorsAndModes) {
    WebBase_SetReserveMaxPieces(web_, 0);
    EXPECT_EQ(1, WebBase_GetReserveMaxPieces(web_));
    EXPECT_NE(std::string::npos, testsupport::AlertText().find("ReserveMaxPieces"));
    WebBase_SetStaggeredRequests(web_, 1);
    EXPECT_EQ(1, WebBase_GetStaggeredRequests(web_));
    WebBase_SetChunkSelection(web_, 0);
    EXPECT_EQ(0, WebBase_GetStaggeredRequests(web_));
    // Staggering off makes every member but the newest fail.
    WebBase_SetChunkSelection(web_, 2);
    WebPeerStruct *older = Add("http://127.0.0.1:1/a/");
    WebPeerStruct *newer = Add("http://127.0.0.1:1/b/");
    WebBase_SetStaggeredRequests(web_, 0);
    int state = 0;
    WebPeer_GetState(older, &state);
    EXPECT_EQ(WEBPEER_STATE_FAILURE, state);
    WebPeer_GetState(newer, &state);
    EXPECT_NE(WEBPEER_STATE_FAILURE, state);
}

} // namespace
