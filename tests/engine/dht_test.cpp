// DHT node: the message decoder on hostile datagrams, replies and the handling
// of replies against a remote played by a UDP socket, the routing tree and the
// send schedule under an injected clock, and two nodes finding each other.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/alert.h"
#include "core/sha1.h"
#include "engine/dht.h"
#include "engine/ipfilter.h"
#include "engine/manager.h"
#include "tests/engine/dht_support.h"
#include "tests/engine/transport_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

using namespace dhttest;
using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

double Clock(void *context) {
    return *static_cast<double *>(context);
}

class DHTTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CaptureAlerts();
        DHT_Create(&dht);
        DHT_SetVerbose(dht, 0);
        DHT_SetClock(dht, Clock, &now);
        DHT_SetListen(dht, kLoopback, 0);
        DHT_SetActive(dht, 1);
        DHT_Pump(dht);
        ASSERT_EQ(1, DHT_GetPort(dht, &port));
        DHT_GetNodeId(dht, id);
    }
    void TearDown() override { DHT_Destroy(&dht); }
    void Pump(double seconds = 0) {
        now += seconds;
        DHT_Pump(dht);
    }
    // Pumps until the node has read what the remotes sent.
    void PumpSoon() {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Pump();
    }
    int Transactions() {
        int n = 0;
        DHT_GetTransactionCount(dht, &n);
        return n;
    }
    DHTNodeStruct *AddNode(const std::string &nodeId, int a, int port) {
        uint8_t address[4] = {10, 0, 0, (uint8_t)a};
        DHTNodeStruct *node = nullptr;
        EXPECT_EQ(1,
                  DHT_InternalAddNode(dht, (const uint8_t *)nodeId.data(), address, port, &node));
        return node;
    }
    DHTObjectStruct *AddObject(const std::string &hash) {
        DHTObjectStruct *object = nullptr;
        DHT_AddObject(dht, &object);
        DHT_SetObjectInfoHash(object, (const uint8_t *)hash.data());
        return object;
    }
    DHTStruct *dht = nullptr;
    double now = 1000;
    int port = 0;
    uint8_t id[20];
};

// ---------------------------------------------------------------------------
// Decoding hostile datagrams
// ---------------------------------------------------------------------------

TEST_F(DHTTest, MalformedDatagramsAreLoggedAndDropped) {
    const struct {
        const char *name;
        std::string packet;
        const char *error;
    } cases[] = {
        {"not bencode", "garbage", "Unable to load transaction buffer (7)"},
        {"empty", "", "Unable to load transaction buffer (0)"},
        {"list at the top", "li1ee", "Unexpected first member type [4]"},
        {"empty dictionary", "de", "Unable to get child"},
        {"query without arguments", "d1:q4:ping1:t2:aa1:y1:qe",
         "Query doesn't contain arguments field"},
        {"arguments not a dictionary", "d1:a3:abc1:q4:ping1:t2:aa1:y1:qe",
         "Query doesn't contain arguments field"},
        {"response without reply", "d1:t2:aa1:y1:re", "Response doesn't contain response field"},
        {"unknown type", "d1:t2:aa1:y1:xe", "Unknown transaction type (0)"},
        {"query without id", Query("ping", "1:x1:y"), "Unable to find 'id'"},
        {"id too short", Query("ping", "2:id5:abcde"), "Value of 'id' is 5 bytes, not 20"},
        {"id too long", Query("ping", "2:id21:" + std::string(21, 'x')),
         "Output buffer for 'id' too small (20 < 21)"},
        {"id not a string", Query("ping", "2:idi5e"), "Unable to find pair for 'id'"},
        {"unbound reply", Reply("2:id" + B(Id('R')), B("zz")), "Unbound message (2)"},
        {"error message", "d1:eli201e4:oopse1:t2:aa1:y1:ee", "DHT error reported"},
    };
    for (const auto &c : cases) {
        testsupport::ClearAlerts();
        EXPECT_EQ(0,
                  DHT_HandleDatagram(dht, kLoopback, 7000, c.packet.data(), (int)c.packet.size()))
            << c.name;
        EXPECT_TRUE(AlertSeen(c.error)) << c.name << "\n" << AlertText();
        EXPECT_EQ(0, Transactions()) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Replies we give
// ---------------------------------------------------------------------------

TEST_F(DHTTest, IntegerTransactionIdIsEchoedAsInteger) {
    Remote remote;
    remote.Send(port, Query("ping", "2:id" + B(Id('R')), "i42e"));
    PumpSoon();
    EXPECT_EQ("d1:rd2:id20:" + Bytes(id, 20) + "e1:ti42e1:y1:re", remote.Receive());
    // The unknown sender is pinged in turn, after the reply.
    EXPECT_NE(std::string::npos, remote.Receive().find("4:ping"));
}

TEST_F(DHTTest, GetPeersRepliesCarrySortedKeys) {
    Remote remote;
    AddNode(Id('K'), 1, 5000);
    remote.Send(port, Query("get_peers", "2:id" + B(Id('R')) + "9:info_hash" + B(Id('H'))));
    PumpSoon();
    std::string reply = remote.Receive();
    const std::string nodes = "5:nodes26:" + CompactNode(Id('K'), 10, 0, 0, 1, 5000);
    ASSERT_EQ(0u, reply.find("d1:rd2:id20:" + Bytes(id, 20) + nodes + "5:token20:")) << reply;
    EXPECT_EQ("e1:t2:aa1:y1:re", reply.substr(reply.size() - 15));
    remote.Drain();

    DHTObjectStruct *object = AddObject(Id('H'));
    const uint8_t peer[4] = {10, 1, 2, 3};
    DHT_InternalAddPeer(dht, object, peer, 6881);
    remote.Send(port, Query("get_peers", "2:id" + B(Id('R')) + "9:info_hash" + B(Id('H'))));
    PumpSoon();
    reply = remote.Receive();
    const size_t token = reply.find("5:token20:");
    ASSERT_NE(std::string::npos, token) << reply;
    EXPECT_EQ(token + 10 + 20, reply.find("6:valuesl6:" + CompactPeer(10, 1, 2, 3, 6881) + "e"));
    EXPECT_EQ(std::string::npos, reply.find("5:nodes"));
    DHT_ReleaseObject(dht, object);
    DHT_RemoveObject(&object, dht);
}

TEST_F(DHTTest, ManyPeersAreCutToFitThePacket) {
    Remote remote;
    DHTObjectStruct *object = AddObject(Id('H'));
    for (int i = 0; i < 120; i++) {
        const uint8_t peer[4] = {10, 9, (uint8_t)(i / 200), (uint8_t)(i % 200 + 1)};
        DHT_InternalAddPeer(dht, object, peer, 6881);
    }
    remote.Send(port, Query("get_peers", "2:id" + B(Id('R')) + "9:info_hash" + B(Id('H')),
                            B(std::string(20, 't'))));
    PumpSoon();
    const std::string reply = remote.Receive();
    ASSERT_FALSE(reply.empty()) << AlertText();
    EXPECT_LE(reply.size(), 512u);
    size_t values = 0;
    for (size_t at = reply.find("6:"); at != std::string::npos; at = reply.find("6:", at + 8))
        values++;
    EXPECT_GT(values, 20u);
    EXPECT_LT(values, 120u);
    DHT_ReleaseObject(dht, object);
    DHT_RemoveObject(&object, dht);
}

TEST_F(DHTTest, AnnouncePeerGetsNoReplyAndStoresNothing) {
    Remote remote;
    DHTObjectStruct *object = AddObject(Id('H'));
    remote.Send(port, Query("announce_peer", "2:id" + B(Id('R')) + "9:info_hash" + B(Id('H')) +
                                                 "4:porti6881e5:token" + B(Id('T'))));
    PumpSoon();
    EXPECT_TRUE(AlertSeen("Unhandled incoming query type (4:Announce Peer)")) << AlertText();
    for (std::string packet = remote.Receive(); !packet.empty(); packet = remote.Receive())
        EXPECT_EQ(std::string::npos, packet.find("1:y1:r")) << packet;
    int peers = -1;
    DHT_GetObjectPeerCount(dht, object, &peers);
    EXPECT_EQ(0, peers);
    DHT_ReleaseObject(dht, object);
    DHT_RemoveObject(&object, dht);
}

TEST_F(DHTTest, FindNodeForAKnownContactAnswersWithIt) {
    Remote remote;
    for (int i = 0; i < 12; i++)
        AddNode(Id((char)('A' + i)), i + 1, 5000 + i);
    remote.Send(port, Query("find_node", "2:id" + B(Id('r')) + "6:target" + B(Id('E'))));
    PumpSoon();
    const std::string reply = remote.Receive();
    EXPECT_NE(std::string::npos, reply.find("5:nodes26:" + CompactNode(Id('E'), 10, 0, 0, 5, 5004)))
        << reply;

    // An unknown target gets the closest contacts.
    remote.Drain();
    remote.Send(port, Query("find_node", "2:id" + B(Id('r')) + "6:target" + B(Id('z'))));
    PumpSoon();
    EXPECT_NE(std::string::npos, remote.Receive().find("5:nodes208:"));
}

TEST_F(DHTTest, ReceivedQueriesAreDroppedOverTheTransactionLimit) {
    for (int i = 0; i < 300; i++) {
        const std::string q = Query("ping", "2:id" + B(Id('R')), "i" + std::to_string(i) + "e");
        uint8_t from[4] = {10, 0, (uint8_t)(i / 250), (uint8_t)(i % 250 + 1)};
        DHT_HandleDatagram(dht, from, 7000, q.data(), (int)q.size());
        ASSERT_LE(Transactions(), 200);
    }
    EXPECT_EQ(200, Transactions());
}

// ---------------------------------------------------------------------------
// Replies to our queries
// ---------------------------------------------------------------------------

TEST_F(DHTTest, ReplyFromAnotherPortIsDropped) {
    Remote remote, other;
    DHT_SendPing(dht, kLoopback, remote.port, nullptr);
    Pump();
    const std::string ping = remote.Receive();
    const std::string t = ValueAfter(ping, "t", 4);
    ASSERT_EQ(4u, t.size()) << ping;
    other.Send(port, Reply("2:id" + B(Id('R')), B(t)));
    PumpSoon();
    const std::string expected =
        "Differing address for transaction (127.0.0.1:" + std::to_string(remote.port) +
        " != 127.0.0.1:" + std::to_string(other.port) + ")";
    EXPECT_TRUE(AlertSeen(expected)) << AlertText();
    int nodes = -1;
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_EQ(0, nodes);

    remote.Send(port, Reply("2:id" + B(Id('R')), B(t)));
    PumpSoon();
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_EQ(1, nodes);
    DHTNodeStruct *node = nullptr;
    EXPECT_EQ(1, DHT_InternalFindNode(dht, (const uint8_t *)Id('R').data(), &node));
    EXPECT_EQ(remote.port, node->Port);
}

TEST_F(DHTTest, GetPeersReplyIsReadForValuesBesideNodesWithoutToken) {
    Remote remote, named;
    const std::string bootstrap = "127.0.0.1:" + std::to_string(remote.port);
    ASSERT_EQ(1, DHT_AddBootstrap(dht, bootstrap.c_str()));
    DHTObjectStruct *object = AddObject(Id('H'));
    DHT_FindPeers(object, dht);
    DHT_ReleaseObject(dht, object);
    Pump();
    const std::string query = remote.Receive();
    ASSERT_NE(std::string::npos, query.find("9:get_peers")) << query;
    EXPECT_EQ(Id('H'), ValueAfter(query, "info_hash", 20));
    const std::string values = "6:valuesl" + B(CompactPeer(10, 1, 1, 1, 6881)) +
                               B(CompactPeer(10, 1, 1, 2, 6882)) + B("abc") +
                               "e"; // the short element is skipped
    const std::string nodes = CompactNode(Id('N'), 127, 0, 0, 1, named.port) + "tail";
    remote.Send(port, Reply("2:id" + B(Id('R')) + "5:nodes" + B(nodes) + values,
                            B(ValueAfter(query, "t", 4))));
    PumpSoon();
    int peers = 0;
    DHT_GetObjectPeerCount(dht, object, &peers);
    EXPECT_EQ(2, peers) << AlertText();
    // The contact named by "nodes" is pinged before it enters the tree.
    EXPECT_NE(std::string::npos, named.Receive().find("4:ping"));
    DHT_RemoveObject(&object, dht);
}

TEST_F(DHTTest, NewContactIsAskedForEveryObject) {
    Remote remote;
    DHTObjectStruct *object = AddObject(Id('H'));
    DHT_ReleaseObject(dht, object);
    DHT_InternalConsider(dht, kLoopback, remote.port);
    Pump();
    const std::string ping = remote.Receive();
    remote.Send(port, Reply("2:id" + B(Id('R')), B(ValueAfter(ping, "t", 4))));
    PumpSoon();
    int nodes = 0;
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_EQ(1, nodes);
    const std::string ask = remote.Receive();
    EXPECT_NE(std::string::npos, ask.find("9:get_peers")) << ask;
    DHT_RemoveObject(&object, dht);
}

// ---------------------------------------------------------------------------
// Routing tree
// ---------------------------------------------------------------------------

std::string IdWith(uint8_t first, uint8_t second) {
    std::string s(20, '\0');
    s[0] = (char)first;
    s[1] = (char)second;
    return s;
}

int Depth(DHTRouteStruct *r) {
    if (r == nullptr || r->Below == nullptr)
        return 0;
    return 1 + std::max(Depth(r->Below), Depth(r->Above));
}

TEST_F(DHTTest, LeafSplitsAtItsNinthContact) {
    for (int i = 0; i < 8; i++)
        AddNode(IdWith((uint8_t)(i * 32), 0), i + 1, 5000);
    EXPECT_EQ(nullptr, dht->Root->Below);
    AddNode(IdWith(0xF1, 0), 9, 5000);
    ASSERT_NE(nullptr, dht->Root->Below);
    EXPECT_EQ(0x80, dht->Root->Low[0]); // split point 80 00 .. 00
    EXPECT_EQ(4, dht->Root->Below->NodeCount);
    EXPECT_EQ(5, dht->Root->Above->NodeCount);
    DHT_CheckInvariants(dht);
}

TEST_F(DHTTest, LeafSplitsAgainWhenAllIdsLieInOneHalf) {
    for (int i = 0; i < 9; i++)
        AddNode(IdWith(0, (uint8_t)i), i + 1, 5000);
    DHT_CheckInvariants(dht); // no leaf holds more than 8
    EXPECT_GE(Depth(dht->Root), 8);
    int nodes = 0;
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_EQ(9, nodes);
}

TEST_F(DHTTest, ContactCapRefusesFurtherContacts) {
    std::mt19937 rng(7);
    uint8_t address[4] = {10, 0, 0, 1};
    for (int i = 0; i < DHT_MAX_CONTACTS; i++) {
        uint8_t nodeId[20];
        for (uint8_t &b : nodeId)
            b = (uint8_t)rng();
        DHTNodeStruct *node = nullptr;
        ASSERT_EQ(1, DHT_InternalAddNode(dht, nodeId, address, 5000, &node));
    }
    DHTNodeStruct *node = nullptr;
    EXPECT_EQ(0, DHT_InternalAddNode(dht, (const uint8_t *)Id('x').data(), address, 5000, &node));
    DHT_CheckInvariants(dht);
    EXPECT_EQ(0, DHT_InternalConsider(dht, kLoopback, 6000));
}

TEST_F(DHTTest, ClosestContactsWalkOutFromTheLeaf) {
    uint8_t target[20] = {0x10};
    DHTNodeStruct *found[DHT_CLOSEST];
    int count = 0;
    EXPECT_EQ(0, DHT_InternalClosestNodes(dht, target, found, &count));
    EXPECT_TRUE(AlertSeen("Unable to find route for hash"));
    for (int i = 0; i < 20; i++)
        AddNode(IdWith((uint8_t)(i * 12), 0), i + 1, 5000);
    DHTRouteStruct *leaf = nullptr;
    ASSERT_EQ(1, DHT_InternalFindRoute(dht, target, &leaf));
    ASSERT_LT(leaf->NodeCount, DHT_CLOSEST);
    ASSERT_EQ(1, DHT_InternalClosestNodes(dht, target, found, &count));
    EXPECT_EQ(DHT_CLOSEST, count);
    // The leaf's contacts come first, then those of the neighbouring subtrees.
    for (int i = 0; i < DHT_CLOSEST; i++)
        EXPECT_EQ(i < leaf->NodeCount, found[i]->Id[0] < leaf->High[0]) << i;
    for (int i = 0; i < DHT_CLOSEST; i++)
        for (int j = 0; j < i; j++)
            EXPECT_NE(found[i], found[j]);
}

// ---------------------------------------------------------------------------
// Schedule
// ---------------------------------------------------------------------------

TEST_F(DHTTest, ContactsAreRefreshedAndExpire) {
    Remote remote;
    uint8_t a[4] = {127, 0, 0, 1};
    DHTNodeStruct *node = nullptr;
    DHT_InternalAddNode(dht, (const uint8_t *)Id('C').data(), a, remote.port, &node);
    Pump(899);
    EXPECT_EQ(0, remote.Drain());
    Pump(16); // past 900 s without a query: an audit queues a ping
    Pump();
    EXPECT_NE(std::string::npos, remote.Receive().find("4:ping"));
    int nodes = 0;
    Pump(1400);
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_EQ(1, nodes);
    Pump(100); // 2415 s without a response
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_EQ(0, nodes);
    EXPECT_TRUE(AlertSeen("Expiring node")) << AlertText();
    EXPECT_EQ(0, Transactions());
}

TEST_F(DHTTest, UnansweredPingIsRetriedThenSkipListed) {
    Remote remote;
    ASSERT_EQ(1, DHT_InternalConsider(dht, kLoopback, remote.port));
    Pump();
    int sends = remote.Drain();
    for (int i = 0; i < 4; i++) {
        Pump(61);
        sends += remote.Drain();
    }
    EXPECT_EQ(4, sends);
    EXPECT_TRUE(
        AlertSeen("New transaction expired (Ping) to 127.0.0.1:" + std::to_string(remote.port)))
        << AlertText();
    EXPECT_EQ(0, IPFilter_Check(dht->Filter, kLoopback, remote.port));
    EXPECT_EQ(0, DHT_InternalConsider(dht, kLoopback, remote.port));
    Pump(7200); // the filter reset empties the skip list
    EXPECT_EQ(1, IPFilter_Check(dht->Filter, kLoopback, remote.port));
}

TEST_F(DHTTest, PacketBudgetHoldsFifteenASecond) {
    Remote remote;
    for (int i = 0; i < 40; i++)
        DHT_SendPing(dht, kLoopback, remote.port, nullptr);
    Pump(0.2);
    EXPECT_EQ(15, remote.Drain());
    Pump(0.1);
    EXPECT_EQ(0, remote.Drain());
    Pump(1);
    EXPECT_EQ(15, remote.Drain());
    Pump(1);
    EXPECT_EQ(10, remote.Drain());
}

TEST_F(DHTTest, RemovedObjectFreesItsPendingQueries) {
    Remote remote;
    const std::string bootstrap = "127.0.0.1:" + std::to_string(remote.port);
    ASSERT_EQ(1, DHT_AddBootstrap(dht, bootstrap.c_str()));
    EXPECT_EQ(0, DHT_AddBootstrap(dht, "127.0.0.1"));
    EXPECT_EQ(0, DHT_AddBootstrap(dht, "127.0.0.1:99999"));
    DHTObjectStruct *object = AddObject(Id('H'));
    DHT_FindPeers(object, dht);
    DHT_ReleaseObject(dht, object);
    EXPECT_EQ(1, Transactions());
    DHT_RemoveObject(&object, dht);
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, Transactions());
    int objects = 0;
    DHT_GetObjectCount(dht, &objects);
    EXPECT_EQ(0, objects);
    EXPECT_EQ(1, dht->ObjectCount);
    Pump(16); // the purge frees it
    EXPECT_EQ(0, dht->ObjectCount);
}

TEST_F(DHTTest, InstallationIdGivesTheNodeId) {
    uint8_t other[20];
    DHTStruct *second = nullptr;
    DHT_Create(&second);
    DHT_GetNodeId(second, other);
    EXPECT_NE(Bytes(id, 20), Bytes(other, 20)); // random per node without one
    DHT_SetInstallationId(dht, "install-1");
    DHT_SetInstallationId(second, "install-1");
    DHT_GetNodeId(dht, id);
    DHT_GetNodeId(second, other);
    EXPECT_EQ(Bytes(id, 20), Bytes(other, 20));
    EXPECT_EQ(0, DHT_SetInstallationId(second, ""));
    DHT_Destroy(&second);

    // The manager's unique text names its node.
    enginetest::StartTransports();
    ManagerStruct *manager = nullptr;
    Manager_Create(&manager);
    Manager_SetUniqueID(manager, "install-1");
    DHTStruct *owned = nullptr;
    Manager_GetDHT(manager, &owned);
    DHT_GetNodeId(owned, other);
    Manager_Destroy(&manager);
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    Sha1_Update(sha1, "install-1", 9);
    Sha1_Final(sha1);
    uint8_t digest[20];
    Sha1_GetDigest(sha1, digest, 20);
    Sha1_Destroy(&sha1);
    EXPECT_EQ(Bytes(digest, 20), Bytes(other, 20));
    EXPECT_EQ(Bytes(id, 20), Bytes(other, 20));
}

TEST_F(DHTTest, PacketLogsTakePacketsOnlyWhenSwitchedOnAndStayCapped) {
    testsupport::TempDir dir;
    char saved[512];
    int flags = 0;
    Zyl_GetLogOptions(saved, sizeof saved, &flags);
    Zyl_SetLogOptions((dir / "core.log").c_str(), flags);
    Remote remote;
    const std::string ping = Query("ping", "2:id" + B(Id('R')));
    remote.Send(port, ping);
    PumpSoon();
    EXPECT_EQ("", testsupport::ReadFile(dir / "input.log"));

    DHT_SetPacketLog(dht, 1);
    remote.Send(port, ping);
    PumpSoon();
    const std::string in = testsupport::ReadFile(dir / "input.log");
    const std::string head =
        "127.0.0.1:" + std::to_string(remote.port) + " [" + std::to_string(ping.size()) + "] ";
    EXPECT_NE(std::string::npos, in.find(head + ping + "\r\n")) << in;
    EXPECT_NE(std::string::npos, testsupport::ReadFile(dir / "output.log").find("1:y1:re\r\n"));

    const std::string junk(2000, 'x');
    for (int i = 0; i < DHT_PACKET_LOG_LIMIT / 2000 + 100; i++)
        DHT_HandleDatagram(dht, kLoopback, 7000, junk.data(), (int)junk.size());
    const size_t size = testsupport::ReadFile(dir / "input.log").size();
    EXPECT_LE(size, (size_t)DHT_PACKET_LOG_LIMIT);
    EXPECT_GT(size, (size_t)DHT_PACKET_LOG_LIMIT - 4096);
    Zyl_SetLogOptions(saved, flags);
}

// ---------------------------------------------------------------------------
// Hostile traffic
// ---------------------------------------------------------------------------

TEST_F(DHTTest, FloodOfRandomAndMutatedDatagramsKeepsBounds) {
    const unsigned seed = 20261211;
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    testsupport::StopAlertCapture();
    Alert_SetMaxLevel(ALERT_LEVEL_NORMAL - 1); // 50,000 error lines are not the point
    DHTObjectStruct *object = AddObject(Id('H'));
    const uint8_t peer[4] = {10, 1, 2, 3};
    DHT_InternalAddPeer(dht, object, peer, 6881);
    const std::vector<std::string> valid = {
        Query("ping", "2:id" + B(Id('R'))),
        Query("find_node", "2:id" + B(Id('R')) + "6:target" + B(Id('T'))),
        Query("get_peers", "2:id" + B(Id('R')) + "9:info_hash" + B(Id('H'))),
        Reply("2:id" + B(Id('S')) + "5:nodes" + B(CompactNode(Id('N'), 127, 0, 0, 1, 9)), B("ab")),
        Reply("2:id" + B(Id('S')) + "5:token2:xx6:valuesl6:abcdefe", "i7e"),
        "d1:eli201e4:oopse1:t2:aa1:y1:ee",
    };
    Remote remote;
    int maxTransactions = 0;
    for (int i = 0; i < 50000; i++) {
        std::string packet;
        if (rng() % 4 == 0) {
            packet.resize(rng() % 600);
            for (char &c : packet)
                c = (char)rng();
        } else {
            packet = valid[rng() % valid.size()];
            const int edits = 1 + (int)(rng() % 4);
            for (int e = 0; e < edits && !packet.empty(); e++) {
                const size_t at = rng() % packet.size();
                switch (rng() % 3) {
                case 0:
                    packet[at] = (char)rng();
                    break;
                case 1:
                    packet.erase(at, 1 + rng() % 8);
                    break;
                default:
                    packet.insert(at, std::string(1 + rng() % 4, "de0123456789:il"[rng() % 15]));
                }
            }
        }
        uint8_t from[4] = {127, 0, (uint8_t)(rng() % 4), (uint8_t)(1 + rng() % 250)};
        if (i % 10 == 0) // through the socket and the pump's read
            remote.Send(port, packet.substr(0, 1400));
        else
            DHT_HandleDatagram(dht, from, 1 + (int)(rng() % 65535), packet.data(),
                               (int)packet.size());
        maxTransactions = std::max(maxTransactions, Transactions());
        if (i % 100 == 0)
            Pump(1);
    }
    Alert_SetMaxLevel(INT_MAX);
    EXPECT_LE(maxTransactions, 200);
    int nodes = 0;
    DHT_GetNodeCount(dht, &nodes);
    EXPECT_LE(nodes, DHT_MAX_CONTACTS);
    DHT_CheckInvariants(dht);
    DHT_ReleaseObject(dht, object);
    DHT_RemoveObject(&object, dht);
}

// ---------------------------------------------------------------------------
// Two nodes on 127.0.0.1
// ---------------------------------------------------------------------------

TEST(DHTPair, NodesFindEachOtherAndThePeersOfAHash) {
    testsupport::CaptureAlerts();
    DHTStruct *a = nullptr, *b = nullptr;
    DHT_Create(&a);
    DHT_Create(&b);
    for (DHTStruct *d : {a, b}) {
        DHT_SetVerbose(d, 0);
        DHT_SetListen(d, kLoopback, 0);
        DHT_SetActive(d, 1);
        DHT_Pump(d);
    }
    int portB = 0;
    ASSERT_EQ(1, DHT_GetPort(b, &portB));
    const std::string hash = Id('H');
    // B learned a peer for the hash; A only knows B's address.
    DHTObjectStruct *objectB = nullptr, *objectA = nullptr;
    DHT_AddObject(b, &objectB);
    DHT_SetObjectInfoHash(objectB, (const uint8_t *)hash.data());
    const uint8_t peer[4] = {10, 20, 30, 40};
    DHT_InternalAddPeer(b, objectB, peer, 6881);
    DHT_ReleaseObject(b, objectB);
    ASSERT_EQ(1, DHT_AddBootstrap(a, ("127.0.0.1:" + std::to_string(portB)).c_str()));
    DHT_AddObject(a, &objectA);
    DHT_SetObjectInfoHash(objectA, (const uint8_t *)hash.data());
    DHT_FindPeers(objectA, a);
    DHT_ReleaseObject(a, objectA);

    int peers = 0, nodesA = 0, nodesB = 0;
    for (int i = 0; i < 500 && (peers == 0 || nodesA == 0 || nodesB == 0); i++) {
        DHT_Pump(a);
        DHT_Pump(b);
        DHT_GetObjectPeerCount(a, objectA, &peers);
        DHT_GetNodeCount(a, &nodesA);
        DHT_GetNodeCount(b, &nodesB);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(1, peers) << AlertText();
    EXPECT_EQ(1, nodesA);
    EXPECT_EQ(1, nodesB);
    DHT_RemoveObject(&objectA, a);
    DHT_RemoveObject(&objectB, b);
    DHT_Destroy(&a);
    DHT_Destroy(&b);
}

} // namespace
