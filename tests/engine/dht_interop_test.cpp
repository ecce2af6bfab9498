// Our DHT node among libtorrent DHT nodes on 127.0.0.1: a libtorrent seed
// announces a content to a libtorrent node that only routes; our engine,
// bootstrapped from that node alone and given no peer, must learn the seed's
// address from the DHT, enter the router's routing table and download the
// content from the seed. The nodes are black boxes started by the test and
// stopped by their pid.
#include <gtest/gtest.h>

#include "engine/dht.h"
#include "engine/iplist.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;
using enginetest::Program;

namespace {

const char kPython[] = "/usr/bin/python3";

bool HaveLibtorrent() {
    return testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent' 2>/dev/null") ==
           0;
}

class DHTInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("mktorrent") || !HaveLibtorrent())
            GTEST_SKIP() << "mktorrent or python3-libtorrent missing";
    }
    void TearDown() override {
        seed_.Stop();
        router_.Stop();
        ours_.Close();
        testsupport::StopAlertCapture();
    }
    std::string Script() const {
        return std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_dht.py";
    }
    bool FromDHT(int port) {
        IPListStruct *list = nullptr;
        Base_GetIPList(ours_.Base, &list);
        IPListMemberStruct *member = nullptr;
        return (IPList_Find(enginetest::kLoopbackAddress, list, &member, 1, port) ||
                IPList_Find(enginetest::kLoopbackAddress, list, &member, 0, port)) &&
               member->Origin == IPLIST_ORIGIN_DHT;
    }

    testsupport::TempDir dir_;
    Engine ours_;
    Program router_, seed_;
};

TEST_F(DHTInterop, FindsALibtorrentSeedThroughTheDHTAlone) {
    const std::string data = enginetest::MakeBytes(4u << 20, 11);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", {{"pack.bin", data}}, 16, &torrent));
    const int routerPort = enginetest::FreePort();
    ASSERT_TRUE(router_.Start({kPython, Script(), "router", std::to_string(routerPort)},
                              dir_ / "router.txt"));
    ASSERT_TRUE(router_.WaitFor("listening", 30)) << router_.Text();
    const int seedPort = enginetest::FreePort();
    ASSERT_TRUE(seed_.Start({kPython, Script(), "seed", torrent, dir_ / "src",
                             std::to_string(seedPort), std::to_string(routerPort)},
                            dir_ / "seed.txt"));
    ASSERT_TRUE(seed_.WaitFor("listening", 30)) << seed_.Text();
    ASSERT_TRUE(router_.WaitFor("announce 127.0.0.1 " + std::to_string(seedPort), 60))
        << router_.Text() << seed_.Text();

    const std::string out = dir_ / "out";
    testsupport::RunCommand("mkdir -p '" + out + "'");
    ours_.Types = MANAGER_CONNECTION_NORMAL; // libtorrent knows no Munge handshake
    ASSERT_TRUE(ours_.Open(torrent, out)) << testsupport::AlertText();
    DHTStruct *dht = nullptr;
    Manager_GetDHT(ours_.Manager, &dht);
    DHT_SetListen(dht, enginetest::kLoopbackAddress, 0);
    ASSERT_EQ(1, DHT_AddBootstrap(dht, ("127.0.0.1:" + std::to_string(routerPort)).c_str()));
    DHT_SetActive(dht, 1);
    ours_.Start();

    bool found = false;
    for (int i = 0; i < 1200 && !found; i++) {
        found = FromDHT(seedPort);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(found) << router_.Text() << testsupport::AlertText();
    int ourPort = 0;
    ASSERT_EQ(1, DHT_GetPort(dht, &ourPort));
    EXPECT_TRUE(router_.WaitFor("127.0.0.1:" + std::to_string(ourPort), 60)) << router_.Text();
    ASSERT_TRUE(ours_.WaitComplete(120)) << seed_.Text() << testsupport::AlertText();
    ours_.Close();
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/pack.bin")));
}

} // namespace
