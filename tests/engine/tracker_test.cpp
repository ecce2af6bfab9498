// The tracker client against a real opentracker on 127.0.0.1 (two of our
// engines find each other through it, a libtorrent seed lands in our IP list,
// "stopped" removes us) and against a scripted tracker for the replies
// opentracker never gives, stepped by the test with an injected clock.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/base.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/tracker.h"
#include "engine/urllist.h"
#include "net/webget.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;
using enginetest::Program;
using enginetest::TorrentHash;

namespace {

const char kPython[] = "/usr/bin/python3";

std::string SourceFile(const std::string &name) {
    return std::string(PORTICO_SOURCE_DIR) + "/tests/engine/" + name;
}

// A content of one file with the given announce URL and source tag (inside
// the info dictionary, so it varies the info hash).
bool MakeAnnounced(const testsupport::TempDir &dir, const std::string &name,
                   const std::string &data, const std::string &announce, const std::string &comment,
                   std::string *torrent) {
    const std::string src = dir / "src";
    testsupport::RunCommand("mkdir -p '" + src + "/" + name + "'");
    testsupport::WriteFile(src + "/" + name + "/" + name + ".bin", data);
    *torrent = dir / (name + ".torrent");
    return testsupport::RunCommand("cd '" + src + "' && rm -f '" + *torrent +
                                   "' && mktorrent -l 16 -a '" + announce + "' -s '" + comment +
                                   "' -o '" + *torrent + "' " + name + " >/dev/null") == 0;
}

std::string HashText(BaseStruct *base) {
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    char text[64] = "";
    Content_GetInfoHashText(content, text, sizeof text);
    return text;
}

using testsupport::WaitUntil;

bool Listed(BaseStruct *base, int port) {
    IPListStruct *list = nullptr;
    Base_GetIPList(base, &list);
    IPListMemberStruct *member = nullptr;
    return IPList_Find(enginetest::kLoopbackAddress, list, &member, 1, port) == 1 &&
           member != nullptr;
}

int Phase(BaseStruct *base) {
    TrackerStruct *tracker = nullptr;
    Base_GetTracker(base, &tracker);
    int phase = -1;
    Tracker_GetPhase(tracker, &phase);
    return phase;
}

// The tracker's phase, last status and last announce, for failure messages.
std::string Describe(BaseStruct *base) {
    TrackerStruct *tracker = nullptr;
    Base_GetTracker(base, &tracker);
    char status[TRACKER_TEXT_SIZE] = "", url[TRACKER_URL_SIZE] = "";
    Tracker_GetStatus(tracker, status, sizeof status);
    Tracker_GetLastURL(tracker, url, sizeof url);
    return "phase " + std::to_string(Phase(base)) + " status [" + status + "] url [" + url + "]\n" +
           testsupport::AlertText();
}

// opentracker on a free port of 127.0.0.1, serving the whitelisted hashes.
struct OpenTracker {
    Program Server;
    int Port = 0;
    std::string Announce() const {
        return "http://127.0.0.1:" + std::to_string(Port) + "/announce";
    }
    bool Start(const testsupport::TempDir &dir, const std::vector<std::string> &hashes) {
        std::string list;
        for (const std::string &h : hashes)
            list += h + "\n";
        testsupport::WriteFile(dir / "whitelist", list);
        // opentracker reads the list after dropping to an unprivileged user.
        testsupport::RunCommand("chmod 755 '" + dir.path() + "' && chmod 644 '" +
                                (dir / "whitelist") + "'");
        const std::string port = std::to_string(Port);
        return Server.Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", port, "-P", port,
                             "-w", "/whitelist", "-d", dir.path()},
                            dir / "opentracker.txt") &&
               WaitUntil([&] { return enginetest::ConnectLocal(Port) >= 0; }, 10);
    }
    // The compact peers of an announce made by curl for a hash ("" when none).
    std::string PeersHex(const std::string &hashHex, int port) const {
        std::string hash;
        for (size_t i = 0; i < hashHex.size(); i += 2)
            hash += "%" + hashHex.substr(i, 2);
        std::string out;
        testsupport::RunCommand("curl -s '" + Announce() + "?info_hash=" + hash +
                                    "&peer_id=-CU0001-abcdefghijkl&port=" + std::to_string(port) +
                                    "&left=1&compact=1' | xxd -p | tr -d '\\n'",
                                &out);
        return out;
    }
};

std::string PortHex(int port) {
    char text[16];
    snprintf(text, sizeof text, "7f000001%04x", port);
    return text;
}

class TrackerLive : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("opentracker") || !testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "opentracker or mktorrent missing";
        tracker_.Port = enginetest::FreePort();
    }
    void TearDown() override {
        peer_.Stop();
        a_.Close();
        b_.Close();
        tracker_.Server.Stop();
        testsupport::StopAlertCapture();
    }
    testsupport::TempDir dir_;
    OpenTracker tracker_;
    Engine a_, b_;
    Program peer_;
};

// The seed and the leecher know nothing of each other but the tracker.
TEST_F(TrackerLive, TwoEnginesFindEachOtherThroughOpentracker) {
    const std::string data = enginetest::MakeBytes(3u << 20, 11);
    std::string torrent;
    ASSERT_TRUE(MakeAnnounced(dir_, "pair", data, tracker_.Announce(), "pair", &torrent));
    const std::string out = dir_ / "out";
    testsupport::RunCommand("mkdir -p '" + out + "'");
    ASSERT_TRUE(a_.Open(torrent, dir_ / "src/pair")) << testsupport::AlertText();
    ASSERT_TRUE(b_.Open(torrent, out)) << testsupport::AlertText();
    const std::string hash = HashText(a_.Base);
    ASSERT_TRUE(tracker_.Start(dir_, {hash})) << tracker_.Server.Text();
    a_.Start();
    ASSERT_TRUE(WaitUntil([&] { return Phase(a_.Base) == TRACKER_PHASE_SEEDING; }, 20))
        << Describe(a_.Base);
    b_.Start();
    ASSERT_TRUE(b_.WaitComplete(60)) << testsupport::AlertText();
    EXPECT_TRUE(Listed(b_.Base, a_.Port));
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/pair.bin")));

    // Both are known to the tracker until "stopped" removes the seed.
    EXPECT_NE(std::string::npos, tracker_.PeersHex(hash, 40000).find(PortHex(a_.Port)));
    Base_SetActive(a_.Base, 0);
    ASSERT_TRUE(WaitUntil([&] { return Phase(a_.Base) == TRACKER_PHASE_IDLE; }, 20));
    EXPECT_EQ(std::string::npos, tracker_.PeersHex(hash, 40000).find(PortHex(a_.Port)));
}

// A libtorrent seed announces to the same tracker; our leecher lists it and
// downloads from it. The source tag is varied until the info hash holds 0x20.
TEST_F(TrackerLive, ALibtorrentSeedLandsInOurIPList) {
    if (testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-libtorrent missing";
    const std::string data = enginetest::MakeBytes(1u << 20, 12);
    std::string torrent, hash;
    for (int i = 0; i < 2000 && hash.empty(); i++) {
        ASSERT_TRUE(MakeAnnounced(dir_, "lt", data, tracker_.Announce(), "c" + std::to_string(i),
                                  &torrent));
        const std::string h = TorrentHash(torrent);
        for (size_t j = 0; j + 1 < h.size(); j += 2)
            if (h.substr(j, 2) == "20")
                hash = h;
    }
    ASSERT_FALSE(hash.empty());
    ASSERT_TRUE(tracker_.Start(dir_, {hash})) << tracker_.Server.Text();
    const int port = enginetest::FreePort();
    ASSERT_TRUE(peer_.Start({kPython, SourceFile("libtorrent_peer.py"), "seed", torrent,
                             dir_ / "src", std::to_string(port)},
                            dir_ / "lt.txt"));
    ASSERT_TRUE(peer_.WaitFor("listening", 30)) << peer_.Text();
    // libtorrent announces on its own; wait until the tracker knows it.
    ASSERT_TRUE(WaitUntil(
        [&] { return tracker_.PeersHex(hash, 40001).find(PortHex(port)) != std::string::npos; },
        30));
    const std::string out = dir_ / "out";
    testsupport::RunCommand("mkdir -p '" + out + "'");
    b_.Types = MANAGER_CONNECTION_NORMAL;
    ASSERT_TRUE(b_.Open(torrent, out)) << testsupport::AlertText();
    EXPECT_EQ(hash, HashText(b_.Base));
    b_.Start();
    ASSERT_TRUE(WaitUntil([&] { return Listed(b_.Base, port); }, 20)) << testsupport::AlertText();
    ASSERT_TRUE(b_.WaitComplete(60)) << testsupport::AlertText();
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/lt.bin")));
}

} // namespace

namespace {

// Bencoded helpers for the scripted replies.
std::string Str(const std::string &s) {
    return std::to_string(s.size()) + ":" + s;
}
std::string Int(long long v) {
    return "i" + std::to_string(v) + "e";
}
std::string Hex(const std::string &bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}
std::string Entry(int a, int b, int c, int d, int port) {
    return std::string{(char)a, (char)b, (char)c, (char)d, (char)(port >> 8), (char)(port & 255)};
}

// One download of a stopped manager whose only tracker is a scripted server;
// the test steps the tracker itself and moves the manager's clock.
class TrackerScripted : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent missing";
        port_ = enginetest::FreePort();
        ASSERT_TRUE(MakeAnnounced(
            dir_, "s", "scripted",
            "http://127.0.0.1:" + std::to_string(port_) + "/announce?passkey=k", "s", &torrent_));
        ASSERT_EQ(1, Manager_Create(&manager_));
        Manager_SetClock(manager_, &enginetest::TestClock::Read, &clock_);
        Manager_SetBindAddress(manager_, enginetest::kLoopbackAddress);
        Manager_SetListenPort(manager_, 6881);
        ASSERT_EQ(1, Manager_AddMember(manager_, &member_));
        ManagerMember_GetBase(member_, &base_);
        ContentStruct *content = nullptr;
        Base_GetContent(base_, &content);
        Content_SetSource(content, torrent_.c_str(), CONTENT_SOURCE_METAFILE);
        ASSERT_EQ(1, Content_Open(content));
        Content_SetPath(content, (dir_ / "empty").c_str());
        Base_GetTracker(base_, &tracker_);
        Base_GetIPList(base_, &list_);
    }
    void TearDown() override {
        server_.Stop();
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        Manager_Destroy(&manager_);
        testsupport::StopAlertCapture();
    }
    // Starts the scripted server with its replies: (status, header value, body);
    // a status below 0 leaves the request unanswered.
    void Serve(const std::vector<std::tuple<int, std::string, std::string>> &replies) {
        std::string json = "[";
        for (const auto &r : replies) {
            if (json.size() > 1)
                json += ",";
            if (std::get<0>(r) < 0) {
                json += "{\"hang\":true}";
                continue;
            }
            json += "{\"status\":" + std::to_string(std::get<0>(r)) + ",\"body\":\"" +
                    Hex(std::get<2>(r)) + "\"";
            if (!std::get<1>(r).empty())
                json += ",\"headers\":{\"X-TrackerParam\":\"" + std::get<1>(r) + "\"}";
            json += "}";
        }
        testsupport::WriteFile(dir_ / "replies.json", json + "]");
        testsupport::WriteFile(dir_ / "requests.txt", "");
        // The fixture's folder outlives a case: the last server's "listening"
        // line must not pass for this one's.
        testsupport::WriteFile(dir_ / "script.txt", "");
        ASSERT_TRUE(server_.Start({kPython, SourceFile("tracker_script.py"), std::to_string(port_),
                                   dir_ / "replies.json", dir_ / "requests.txt"},
                                  dir_ / "script.txt"));
        ASSERT_TRUE(server_.WaitFor("listening", 20)) << server_.Text();
    }
    // Steps the tracker until one announce has run and its outcome was handled.
    bool Announce() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool sent = false;
        while (std::chrono::steady_clock::now() < end) {
            Tracker_Process(tracker_);
            if (tracker_->RequestState == TRACKER_REQUEST_RUNNING)
                sent = true;
            else if (sent)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    std::vector<std::string> Requests() {
        std::vector<std::string> lines;
        std::string text = testsupport::ReadFile(dir_ / "requests.txt"), line;
        for (char c : text) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        return lines;
    }
    int Count() {
        int count = 0;
        IPList_GetCount(list_, &count);
        return count;
    }
    std::string Status() {
        char text[TRACKER_TEXT_SIZE];
        Tracker_GetStatus(tracker_, text, sizeof text);
        return text;
    }

    testsupport::TempDir dir_;
    std::string torrent_;
    int port_ = 0;
    enginetest::TestClock clock_;
    ManagerStruct *manager_ = nullptr;
    ManagerMemberStruct *member_ = nullptr;
    BaseStruct *base_ = nullptr;
    TrackerStruct *tracker_ = nullptr;
    IPListStruct *list_ = nullptr;
    Program server_;
};

// Replies opentracker never gives, each read into the tracker's state.
TEST_F(TrackerScripted, RepliesTable) {
    struct Case {
        const char *Name;
        std::string Body;
        int Interval; // after the reply
        int Peers;    // IP list members after it
        int Phase;
        const char *Status;
    } const cases[] = {
        {"interval 10 read as 30", "d" + Str("interval") + Int(10) + Str("peers") + Str("") + "e",
         30, 0, TRACKER_PHASE_LEECHING, "Peer list is empty!"},
        {"no interval", "d" + Str("peers") + Str(Entry(127, 0, 0, 2, 7001)) + "e", 1800, 1,
         TRACKER_PHASE_LEECHING, "Received 1 peer."},
        {"13 bytes give two",
         "d" + Str("interval") + Int(900) + Str("peers") +
             Str(Entry(127, 0, 0, 2, 7001) + Entry(127, 0, 0, 3, 7002) + "x") + "e",
         900, 2, TRACKER_PHASE_LEECHING, "Received 2 peers."},
        {"our own address skipped",
         "d" + Str("interval") + Int(60) + Str("peers") +
             Str(Entry(127, 0, 0, 1, 6881) + Entry(127, 0, 0, 4, 7004)) + "e",
         60, 1, TRACKER_PHASE_LEECHING, "Received 2 peers."},
        {"list form",
         "d" + Str("interval") + Int(60) + Str("peers") + "l" + "d" + Str("ip") + Str("127.0.0.5") +
             Str("peer id") + Str("-XX0001-abcdefghijkl") + Str("port") + Int(7005) + "e" + "d" +
             Str("ip") + Str("127.0.0.6") + Str("port") + Int(7006) + "e" + "e" + "e",
         60, 2, TRACKER_PHASE_LEECHING, "Received 2 peers."},
        {"failure reason", "d" + Str("failure reason") + Str("unregistered torrent") + "e", 30, 0,
         TRACKER_PHASE_STARTING,
         "Tracker returned failure (0 times) interval changed from 30 secs to 30 secs."},
        {"not bencoded", "<html>", 30, 0, TRACKER_PHASE_STARTING,
         "Tracker returned failure (0 times) interval changed from 30 secs to 30 secs."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        Serve({{200, "", c.Body}});
        Tracker_SetActive(tracker_, 1);
        ASSERT_TRUE(Announce()) << Status();
        int interval = 0, phase = 0;
        Tracker_GetInterval(tracker_, &interval);
        Tracker_GetPhase(tracker_, &phase);
        EXPECT_EQ(c.Interval, interval);
        EXPECT_EQ(c.Peers, Count());
        EXPECT_EQ(c.Phase, phase);
        EXPECT_EQ(c.Status, Status());
        ASSERT_EQ(1u, Requests().size());
        const std::string url = Requests()[0];
        EXPECT_EQ(0u, url.find("/announce?passkey=k&info_hash=")) << url;
        EXPECT_NE(std::string::npos, url.find("&event=started")) << url;
        EXPECT_NE(std::string::npos, url.find("&compact=1&externalport=1")) << url;
    }
    char reason[TRACKER_TEXT_SIZE];
    Tracker_GetFailureReason(tracker_, reason);
    EXPECT_STREQ("", reason); // the last case's body never parsed to a reason
}

// 8-byte entries with a traverse server: the first port is used, the server read.
TEST_F(TrackerScripted, TraverseServerAndEightByteEntries) {
    const std::string server = Entry(0, 0, 0, 0, 9999);
    Serve(
        {{200, "",
          "d" + Str("interval") + Int(60) + Str("peers") +
              Str(Entry(127, 0, 0, 7, 7007) + "\x1f\x41" + Entry(127, 0, 0, 8, 7008) + "\x1f\x42") +
              Str("traverse server") + Str(server) + "e"}});
    Tracker_SetActive(tracker_, 1);
    ASSERT_TRUE(Announce()) << Status();
    int present = 0, port = 0;
    uint8_t address[4] = {};
    Tracker_HasTraverseServer(tracker_, &present);
    Tracker_GetTraversePort(tracker_, &port);
    Tracker_GetTraverseAddress(tracker_, address);
    EXPECT_EQ(1, present);
    EXPECT_EQ(9999, port);
    EXPECT_EQ(127, address[0]); // a zero address is the tracker's own
    EXPECT_EQ(2, Count());
    IPListMemberStruct *m = nullptr;
    const uint8_t seven[4] = {127, 0, 0, 7};
    EXPECT_EQ(1, IPList_Find(seven, list_, &m, 1, 7007));
}

// "UseFast" switches Fast on; "InConn" adds the statistic to the next announce.
TEST_F(TrackerScripted, TrackerParametersAndStatistics) {
    const std::string body = "d" + Str("interval") + Int(30) + Str("peers") + Str("") + "e";
    Serve({{200, "UseFast,InConn", body}, {200, "", body}});
    Tracker_SetActive(tracker_, 1);
    ASSERT_TRUE(Announce());
    int fast = 0;
    Tracker_GetUseFast(tracker_, &fast);
    EXPECT_EQ(1, fast);
    clock_.Now = clock_.Now + 31;
    ASSERT_TRUE(Announce());
    Tracker_GetUseFast(tracker_, &fast);
    EXPECT_EQ(1, fast); // parameters are kept until a reply sends new ones
    const auto requests = Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(std::string::npos, requests[0].find("&inconn="));
    EXPECT_NE(std::string::npos, requests[1].find("&inconn=0"));
    EXPECT_EQ(std::string::npos, requests[1].find("&event="));
}

// Three failed announces move on; with every tracker tried the client waits an hour.
TEST_F(TrackerScripted, ThreeFailuresMoveOn) {
    Serve({{404, "", "nope"}});
    Tracker_SetActive(tracker_, 1);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Announce()) << i;
        clock_.Now = clock_.Now + 30;
    }
    EXPECT_NE(std::string::npos, testsupport::AlertText().find("Tracker failure 3 (max 3)"));
    Tracker_Process(tracker_);
    int interval = 0;
    Tracker_GetInterval(tracker_, &interval);
    EXPECT_EQ(3600, interval);
    EXPECT_TRUE(testsupport::AlertSeen("Exceeded retry count on all trackers (3)"));
    EXPECT_EQ("Unable to contact a valid tracker - retry set to 60 minutes.", Status());
    EXPECT_EQ(3u, Requests().size());
}

// The HTTP client's clock, moved by the time-out test.
std::atomic<double> gWebClock{5000.0};
double ReadWebClock() {
    return gWebClock.load();
}

// A tracker that never answers: the request times out after 15 s without I/O
// and counts as a failure; the next announce goes out at the retry time.
TEST_F(TrackerScripted, AnUnansweredAnnounceTimesOut) {
    Serve({{-1, "", ""}, {200, "", "d8:intervali900e5:peers0:e"}});
    WebGet_SetClock(tracker_->Web, &ReadWebClock);
    Tracker_SetActive(tracker_, 1);
    bool running = false;
    for (int i = 0; i < 2000 && !running; i++) {
        Tracker_Process(tracker_);
        running = tracker_->RequestState == TRACKER_REQUEST_RUNNING && Requests().size() == 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(running);
    for (int i = 0; i < 50; i++) {
        Tracker_Process(tracker_);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(TRACKER_REQUEST_RUNNING, tracker_->RequestState); // still waiting
    gWebClock = gWebClock + 16;
    for (int i = 0; i < 2000 && tracker_->RequestState == TRACKER_REQUEST_RUNNING; i++) {
        Tracker_Process(tracker_);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_NE(TRACKER_REQUEST_RUNNING, tracker_->RequestState);
    EXPECT_TRUE(testsupport::AlertSeen("Tracker failure 1 (max 3)")) << testsupport::AlertText();
    clock_.Now = clock_.Now + 30;
    ASSERT_TRUE(Announce());
    EXPECT_EQ(2u, Requests().size());
    int interval = 0;
    Tracker_GetInterval(tracker_, &interval);
    EXPECT_EQ(900, interval);
}

// "stopped" goes out only after a reply to "started" was handled.
TEST_F(TrackerScripted, StoppedOnlyAfterContact) {
    const std::string body = "d" + Str("interval") + Int(60) + Str("peers") + Str("") + "e";
    Serve({{200, "", body}});
    Tracker_SetActive(tracker_, 1);
    Tracker_SetActive(tracker_, 0);
    Tracker_Process(tracker_);
    int phase = -1;
    Tracker_GetPhase(tracker_, &phase);
    EXPECT_EQ(TRACKER_PHASE_IDLE, phase);
    EXPECT_EQ("Never contacted tracker - set to idle...", Status());
    EXPECT_EQ(0u, Requests().size());

    Tracker_SetActive(tracker_, 1);
    ASSERT_TRUE(Announce());
    Tracker_SetActive(tracker_, 0);
    ASSERT_TRUE(Announce());
    Tracker_GetPhase(tracker_, &phase);
    EXPECT_EQ(TRACKER_PHASE_IDLE, phase);
    const auto requests = Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(std::string::npos, requests[1].find("&event=stopped"));
}

// Info hash and peer id bytes outside the unreserved set are percent-encoded.
TEST(TrackerEncode, PercentEncoding) {
    char out[80];
    const uint8_t bytes[] = {'a', 'Z', '0', '-', '.', '_', '~', ' ', '+', 0x00, 0xff};
    ASSERT_EQ(1, Tracker_PercentEncode(bytes, sizeof bytes, out, sizeof out));
    EXPECT_STREQ("aZ0-._~%20%2B%00%FF", out);
    EXPECT_EQ(0, Tracker_PercentEncode(bytes, sizeof bytes, out, 10));
    EXPECT_STREQ("", out);
}

} // namespace
