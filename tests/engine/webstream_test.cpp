// The web stream on the manager's embedded server, read by curl on 127.0.0.1:
// a file played while nginx web seeds fill it, "start" offsets with the FLV
// header, files held beside a missing piece, the held-piece answer, malformed queries, a path held
// and then refused (the server's clock moved by the test), a download started during the hold, and
// the missing piece of the file asked for first from our seed.
#include <gtest/gtest.h>

#include <atomic>

#include "core/pool.h"
#include "engine/base.h"
#include "engine/manager.h"
#include "engine/webstream.h"
#include "net/webserv.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"

using enginetest::Engine;
using enginetest::MakeBytes;

namespace {

const std::string kFlvHeader("FLV\x01\x01\x00\x00\x00\x09\x00\x00\x00\x09", 13);

// The server's clock while a test drives it (seconds).
std::atomic<double> gServerNow{5000.0};
double ServerClock() {
    return gServerNow.load();
}

// A single-file metafile in pieces of pieceLength (any size, unlike mktorrent's).
std::string SingleFileTorrent(const std::string &name, const std::string &data, int pieceLength) {
    auto text = [](const std::string &s) { return std::to_string(s.size()) + ":" + s; };
    std::string pieces;
    for (size_t at = 0; at < data.size(); at += (size_t)pieceLength)
        pieces += testsupport::Sha1Bytes(data.substr(at, (size_t)pieceLength));
    return "d8:announce" + text("http://127.0.0.1:1/a") + "4:infod6:lengthi" +
           std::to_string(data.size()) + "e4:name" + text(name) + "12:piece lengthi" +
           std::to_string(pieceLength) + "e6:pieces" + text(pieces) + "ee";
}

// One curl request: status, head and body.
struct Reply {
    int Code = 0;
    std::string Head;
    std::string Body;
    // A response header's value ("" when absent); names ignore case.
    std::string Header(const std::string &name) const {
        std::string lower = Head;
        for (char &ch : lower)
            ch = (char)tolower((unsigned char)ch);
        std::string key = "\n" + name + ":";
        for (char &ch : key)
            ch = (char)tolower((unsigned char)ch);
        const size_t at = lower.find(key);
        if (at == std::string::npos)
            return "";
        size_t from = at + key.size();
        while (from < Head.size() && Head[from] == ' ')
            from++;
        return Head.substr(from, Head.find('\r', from) - from);
    }
};

class WebStream : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("curl") || !testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "curl or mktorrent missing";
    }
    void TearDown() override {
        ours_.Close();
        seed_.Close();
        testsupport::StopAlertCapture();
    }

    // Opens our download with its web server switched on at a port the system
    // picks; the port is known once the engine runs (Listen).
    bool Open(const std::string &torrent, const std::string &folder) {
        if (!ours_.Open(torrent, folder))
            return false;
        Manager_EnableWebServer(ours_.Manager);
        Manager_GetWebServer(ours_.Manager, &server_);
        WebServer_SetPort(server_, 0);
        return true;
    }
    bool Listen() {
        return testsupport::WaitUntil(
            [&] { return WebServer_GetListenPort(server_, &port_) == 1 && port_ > 0; }, 30);
    }
    std::string Url(const std::string &target) const {
        return "http://127.0.0.1:" + std::to_string(port_) + target;
    }
    // Starts curl for the target in the background, its reply in files named by tag.
    bool StartCurl(enginetest::Program *curl, const std::string &target, const std::string &tag) {
        // curl makes no body file for an empty body: no earlier one may stay.
        unlink((dir_ / (tag + ".body")).c_str());
        unlink((dir_ / (tag + ".head")).c_str());
        return curl->Start({"/usr/bin/curl", "-s", "-S", "-g", "--max-time", "120", "-o",
                            dir_ / (tag + ".body"), "-D", dir_ / (tag + ".head"), "-w",
                            "%{http_code}", Url(target)},
                           dir_ / (tag + ".out"));
    }
    Reply Finish(enginetest::Program *curl, const std::string &tag) {
        testsupport::WaitUntil([&] { return curl->Exited(); }, 150);
        Reply reply;
        reply.Code = atoi(curl->Text().c_str());
        reply.Head = testsupport::ReadFile(dir_ / (tag + ".head"));
        reply.Body = testsupport::ReadFile(dir_ / (tag + ".body"));
        return reply;
    }
    Reply Get(const std::string &target) {
        enginetest::Program curl;
        if (!StartCurl(&curl, target, "get"))
            return Reply();
        return Finish(&curl, "get");
    }
    // Waits until the server has no connection and the stream's close
    // callback ran `closed` times: each record and its reference on the
    // download were given back as its connection closed.
    bool AllClosed(testsupport::ConsoleCapture &console, int closed) {
        return testsupport::WaitUntil(
            [&] {
                int open = -1;
                WebServer_GetConnectionCount(server_, &open);
                return open == 0 &&
                       Occurrences(console.Text(), "Cleanup of connection\n") == closed;
            },
            30);
    }
    static int Occurrences(const std::string &text, const std::string &part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            n++;
        return n;
    }
    int Held() {
        ContentStruct *content = nullptr;
        BitfieldStruct *held = nullptr;
        Base_GetContent(ours_.Base, &content);
        Content_GetBitfield(content, &held);
        int count = 0;
        Base_Lock(ours_.Base);
        Bitfield_GetSetCount(held, &count);
        Base_Unlock(ours_.Base);
        return count;
    }

    testsupport::TempDir dir_;
    Engine ours_, seed_;
    WebServerStruct *server_ = nullptr;
    int port_ = 0;
};

TEST_F(WebStream, PlaysAFileWhileWebSeedsFillIt) {
    if (!testsupport::HaveProgram("nginx"))
        GTEST_SKIP() << "nginx missing";
    nettest::NginxServer nginx("limit_rate 512k;");
    ASSERT_TRUE(nginx.ok()) << nginx.error();
    const std::string first = MakeBytes(300001, 1), movie = MakeBytes(1500000, 2);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", {{"first.bin", first}, {"movie.flv", movie}},
                                        15, &torrent));
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + nginx.root() + "' && cp -r '" +
                                         (dir_ / "src/pack") + "' '" + nginx.root() + "/pack'"));
    ASSERT_TRUE(enginetest::AddReliable(torrent, nginx.url("/pack/")));
    const std::string out = dir_ / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "'"));
    ASSERT_TRUE(Open(torrent, out)) << testsupport::AlertText();
    // No source until the request waits for the file's first piece.
    Base_SetWebEnabled(ours_.Base, 0);
    testsupport::ConsoleCapture console;
    ours_.Start();
    ASSERT_TRUE(Listen());
    enginetest::Program curl;
    // The leading slash is dropped and case ignored.
    ASSERT_TRUE(StartCurl(&curl, "/Movie.FLV", "movie"));
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return console.Contains("Member located successfully [1464k]"); }, 30))
        << console.Text();
    EXPECT_EQ(0, Held());
    Base_SetWebEnabled(ours_.Base, 1);
    const Reply reply = Finish(&curl, "movie");
    EXPECT_EQ(200, reply.Code) << reply.Head;
    EXPECT_EQ("video/x-flv", reply.Header("Content-Type"));
    EXPECT_EQ("1500000", reply.Header("Content-Length"));
    EXPECT_EQ(testsupport::Sha1Hex(movie), testsupport::Sha1Hex(reply.Body));
    ASSERT_TRUE(ours_.WaitComplete(120)) << testsupport::AlertText();
    EXPECT_TRUE(AllClosed(console, 1)) << console.Text();
    ours_.Close();
    EXPECT_FALSE(testsupport::AlertSeen("still in use")) << testsupport::AlertText();
}

TEST_F(WebStream, AnswersStartOffsetsAndMalformedQueries) {
    // The clip starts inside the content's third piece.
    const std::string first = MakeBytes(70000, 3), clip = MakeBytes(5000, 4);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", {{"first.bin", first}, {"clip.flv", clip}},
                                        15, &torrent));
    ASSERT_TRUE(Open(torrent, dir_ / "src/pack")) << testsupport::AlertText();
    ASSERT_TRUE(ours_.Complete());
    testsupport::ConsoleCapture console;
    ours_.Start();
    ASSERT_TRUE(Listen());
    const std::string bad = "Bad query string.\n";
    struct Case {
        const char *Target;
        int Code;
        std::string Body;
    } cases[] = {
        {"/clip.flv", 200, clip},
        {"/clip.flv?start=0", 200, clip},
        {"/clip.flv?start=1000", 200, kFlvHeader + clip.substr(1000)},
        {"/clip.flv?other=1&START=1000", 200, kFlvHeader + clip.substr(1000)},
        {"/clip.flv?start=4995", 200, kFlvHeader + clip.substr(4995)},
        {"/clip.flv?start=4999", 200, kFlvHeader + clip.substr(4999)},
        // Several body pieces after the header.
        {"/first.bin?start=20000", 200, kFlvHeader + first.substr(20000)},
        {"/clip.flv?x", 400, bad},
        {"/clip.flv?start=-5", 400, bad},
        {"/clip.flv?start=5000", 400, bad},
        {"/clip.flv?start=99999999999", 400, bad},
        {"/clip.flv?start=12ab", 400, bad},
        {"/clip.flv?start=", 400, bad},
    };
    for (const Case &c : cases) {
        const Reply reply = Get(c.Target);
        EXPECT_EQ(c.Code, reply.Code) << c.Target << "\n" << reply.Head;
        EXPECT_EQ(testsupport::Sha1Hex(c.Body), testsupport::Sha1Hex(reply.Body))
            << c.Target << " " << reply.Body.size() << " bytes";
        if (c.Code == 200) {
            EXPECT_EQ(std::to_string(c.Body.size()), reply.Header("Content-Length")) << c.Target;
            EXPECT_EQ("none", reply.Header("Accept-Ranges")) << c.Target;
        } else {
            EXPECT_EQ("text/plain", reply.Header("Content-Type")) << c.Target;
        }
    }
    EXPECT_EQ("application/octet-stream", Get("/first.bin").Header("Content-Type"));
    EXPECT_TRUE(AllClosed(console, (int)(sizeof cases / sizeof cases[0]) + 1));
    // Stopped, the stream holds no record.
    Manager_SetActive(ours_.Manager, 0);
    WebStreamStruct *stream = nullptr;
    Manager_GetWebStream(ours_.Manager, &stream);
    int records = -1;
    Pool_GetInUse(stream->Pool, &records);
    EXPECT_EQ(0, records);
}

TEST_F(WebStream, ServesFilesWhosePiecesAreHeldBesideAMissingOne) {
    // One file per piece, the content a whole number of pieces; the middle
    // piece is damaged on disk and no source can bring it.
    const std::string a = MakeBytes(32768, 9), b = MakeBytes(32768, 10), c = MakeBytes(32768, 11);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", {{"a.bin", a}, {"b.bin", b}, {"c.bin", c}},
                                        15, &torrent));
    const std::string out = dir_ / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "' && cp '" + (dir_ / "src/pack") +
                                         "'/* '" + out + "'"));
    testsupport::WriteFile(out + "/b.bin", std::string(b.size(), 'x'));
    ASSERT_TRUE(Open(torrent, out)) << testsupport::AlertText();
    ours_.Start();
    ASSERT_TRUE(Listen());
    EXPECT_EQ("BitFieldBits=3,BitField=\"A0\"", Get("/a.bin?bitfield").Body);
    // The first file's last bytes end where the missing piece begins.
    const Reply first = Get("/a.bin");
    EXPECT_EQ(200, first.Code);
    EXPECT_EQ(testsupport::Sha1Hex(a), testsupport::Sha1Hex(first.Body));
    // The last file ends with the content.
    const Reply last = Get("/C.bin?start=32760");
    EXPECT_EQ(200, last.Code);
    EXPECT_EQ(kFlvHeader + c.substr(32760), last.Body);
}

TEST_F(WebStream, ReportsTheHeldPiecesInHexadecimal) {
    struct Case {
        int Pieces;
        int PieceLength;
        int Every; // pieces i with i % Every == 0 are held, and the last one
    } cases[] = {{10, 32768, 9}, {5000, 1024, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Pieces);
        testsupport::TempDir dir;
        // The last piece is short.
        const std::string data = MakeBytes((size_t)c.Pieces * c.PieceLength - 100, 5);
        testsupport::WriteFile(dir / "a.torrent", SingleFileTorrent("a.bin", data, c.PieceLength));
        std::string partial(data.size(), '\0');
        std::string bits((size_t)(c.Pieces + 7) / 8, '\0');
        for (int i = 0; i < c.Pieces; i++) {
            if (i % c.Every != 0 && i != c.Pieces - 1)
                continue;
            const size_t at = (size_t)i * c.PieceLength;
            partial.replace(at, (size_t)c.PieceLength, data, at, (size_t)c.PieceLength);
            bits[(size_t)i / 8] = (char)(bits[(size_t)i / 8] | (0x80 >> (i % 8)));
        }
        testsupport::WriteFile(dir / "a.bin", partial);
        std::string hex;
        static const char kHex[] = "0123456789ABCDEF";
        for (unsigned char b : bits) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        ASSERT_TRUE(Open(dir / "a.torrent", dir.path())) << testsupport::AlertText();
        ours_.Start();
        ASSERT_TRUE(Listen());
        const Reply reply = Get("/a.bin?bitfield");
        EXPECT_EQ(200, reply.Code);
        EXPECT_EQ("application/octet-stream", reply.Header("Content-Type"));
        EXPECT_EQ("", reply.Header("Content-Length"));
        EXPECT_EQ("BitFieldBits=" + std::to_string(c.Pieces) + ",BitField=\"" + hex + "\"",
                  reply.Body);
        if (c.Pieces == 10) {
            EXPECT_EQ("8040", hex);
            EXPECT_EQ(reply.Body, Get("/a.bin?bitfield=1").Body);
        }
        ours_.Close();
        ours_.Base = nullptr;
        port_ = 0;
    }
}

TEST_F(WebStream, HoldsARequestUntilItsFileCanBeFound) {
    const std::string data = MakeBytes(100000, 6);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", {{"held.bin", data}}, 15, &torrent));
    ASSERT_TRUE(Open(torrent, dir_ / "src/pack")) << testsupport::AlertText();
    gServerNow = 5000.0;
    WebServer_SetClock(server_, &ServerClock);
    testsupport::ConsoleCapture console;
    // The manager runs; the download is not started yet.
    Manager_SetActive(ours_.Manager, 1);
    ASSERT_TRUE(Listen());
    enginetest::Program missing, late;
    ASSERT_TRUE(StartCurl(&missing, "/nothing.bin", "missing"));
    ASSERT_TRUE(StartCurl(&late, "/held.bin", "late"));
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return console.Contains("[/nothing.bin]") && console.Contains("[/held.bin]"); }, 30))
        << console.Text();
    // Within the hold both are retried every second and stay unanswered.
    gServerNow = 5010.0;
    usleep(200000);
    EXPECT_FALSE(missing.Exited()) << missing.Text();
    EXPECT_FALSE(late.Exited()) << late.Text();
    Base_SetActive(ours_.Base, 1);
    gServerNow = 5011.5;
    const Reply found = Finish(&late, "late");
    EXPECT_EQ(200, found.Code);
    EXPECT_EQ(testsupport::Sha1Hex(data), testsupport::Sha1Hex(found.Body));
    EXPECT_FALSE(missing.Exited());
    // Past the hold of 30 seconds: refused.
    gServerNow = 5031.5;
    const Reply refused = Finish(&missing, "missing");
    EXPECT_EQ(404, refused.Code);
    EXPECT_EQ("Unable to find requested content.\n", refused.Body);
    EXPECT_EQ("text/plain", refused.Header("Content-Type"));
}

TEST_F(WebStream, AsksForTheMissingPieceFirst) {
    // Sequential order would fetch the second file last; the seed sends 256 KiB/s.
    const std::string first = MakeBytes(3 << 20, 7), second = MakeBytes(512 << 10, 8);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(
        dir_, "pack", {{"first.bin", first}, {"second.bin", second}}, 16, &torrent));
    ASSERT_TRUE(seed_.Open(torrent, dir_ / "src/pack")) << testsupport::AlertText();
    ASSERT_TRUE(seed_.Complete());
    Base_SetRateLimit(seed_.Base, 0, 262144);
    const std::string out = dir_ / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "'"));
    ASSERT_TRUE(Open(torrent, out)) << testsupport::AlertText();
    Base_SetChunkSelection(ours_.Base, 0);
    ours_.AddPeer(seed_.Port);
    seed_.Start();
    ours_.Start();
    ASSERT_TRUE(Listen());
    const Reply reply = Get("/second.bin");
    const int held = Held();
    EXPECT_EQ(200, reply.Code);
    EXPECT_EQ(testsupport::Sha1Hex(second), testsupport::Sha1Hex(reply.Body));
    // The first file's 48 pieces were not all fetched before the second's 8.
    EXPECT_LT(held, 48) << testsupport::AlertText();
    ASSERT_TRUE(ours_.WaitComplete(120)) << testsupport::AlertText();
    EXPECT_EQ(testsupport::Sha1Hex(first),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/first.bin")));
}

} // namespace
