// The tracker client against a real opentracker on 127.0.0.1 (two of our
// engines find each other through it, a libtorrent seed lands in our IP list,
// "stopped" removes us) and against a scripted tracker for the replies
// opentracker never gives, stepped by the test with an injected clock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/base.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/tracker.h"
#include "engine/urllist.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;
using enginetest::Program;

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

// The info hash text of a metafile, read by our own content.
std::string TorrentHash(const std::string &torrent) {
    ContentStruct *content = nullptr;
    Content_Create(&content);
    Content_SetSource(content, torrent.c_str(), CONTENT_SOURCE_METAFILE);
    char text[64] = "";
    if (Content_Open(content) == 1)
        Content_GetInfoHashText(content, text, sizeof text);
    Content_Destroy(&content);
    return text;
}

bool WaitUntil(const std::function<bool()> &done, double seconds) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(seconds * 1000));
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

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
