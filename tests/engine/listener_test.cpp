// The manager's listeners, accept passes and pending handshakes over real
// sockets on 127.0.0.1 (the test stands in for the manager thread), and its
// shared services: the traffic wait list, the key-pair cache, the shared buffer
// and SHA-1.
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "engine/bigint.h"
#include "engine/ipfilter.h"
#include "engine/manager.h"
#include "engine/transport.h"
#include "tests/engine/manager_support.h"
#include "tests/support/support.h"

using enginetest::ConnectLocal;
using enginetest::HoldPort;
using enginetest::ManagerFixture;
using testsupport::AlertSeen;

namespace {

class ListenerTest : public ManagerFixture {
  protected:
    void TearDown() override {
        for (int fd : clients_)
            close(fd);
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        ManagerFixture::TearDown();
    }
    // Listens on a free port with one download, so accepted connections stay.
    int ListenWithDownload() {
        Manager_AddMember(manager_, &member_);
        EXPECT_EQ(1, Manager_Listen(manager_)) << testsupport::AlertText();
        int port = 0;
        Manager_GetListenPort(manager_, &port);
        return port;
    }
    void Connect(int port, int count) {
        for (int i = 0; i < count; i++) {
            int fd = ConnectLocal(port);
            ASSERT_GE(fd, 0);
            clients_.push_back(fd);
        }
    }
    int Pending() {
        int count = -1;
        Manager_GetPendingCount(manager_, &count);
        return count;
    }
    std::vector<int> clients_;
    ManagerMemberStruct *member_ = nullptr;
};

TEST_F(ListenerTest, BusyPortFallsBackAndUdtFollowsTheBoundPort) {
    int held = 0;
    int fd = HoldPort(SOCK_STREAM, &held);
    ASSERT_GE(fd, 0);
    Manager_SetListenPort(manager_, held);
    ASSERT_EQ(1, Manager_Listen(manager_)) << testsupport::AlertText();
    close(fd);
    EXPECT_TRUE(AlertSeen("Unable to TCP bind for listen (0.0.0.2:" + std::to_string(held) + ")"));
    EXPECT_FALSE(AlertSeen("- final"));
    int port = 0, udt = 0, local = 0;
    Manager_GetListenPort(manager_, &port);
    Manager_GetUDTPort(manager_, &udt);
    Manager_GetLocalPort(manager_, &local);
    EXPECT_NE(held, port);
    EXPECT_NE(0, port);
    EXPECT_EQ(port, local); // the bound port is written back
    EXPECT_EQ(port, udt);   // and tried first by the UDT listener
    EXPECT_TRUE(
        AlertSeen("Manager Listening on TCP, all interfaces, port " + std::to_string(port)));
    EXPECT_TRUE(
        AlertSeen("Manager Listening on UDT, all interfaces, port " + std::to_string(port)));
}

TEST_F(ListenerTest, RandomPortsThenTheSystemsChoice) {
    // A range of one busy port: three random attempts on it, then port 0.
    int held = 0;
    int fd = HoldPort(SOCK_STREAM, &held);
    ASSERT_GE(fd, 0);
    Manager_SetPortRange(manager_, held, held);
    const uint8_t zeroFirst[4] = {0, 9, 9, 9}; // a first byte 0 means all interfaces
    Manager_SetBindAddress(manager_, zeroFirst);
    ASSERT_EQ(1, Manager_Listen(manager_));
    close(fd);
    for (int attempt = 1; attempt <= 3; attempt++)
        EXPECT_TRUE(
            AlertSeen("Unable to TCP bind for listen (0.0.0.2:" + std::to_string(held) + ") [") &&
            AlertSeen("- attempt " + std::to_string(attempt)));
    int port = 0;
    Manager_GetListenPort(manager_, &port);
    EXPECT_NE(0, port);
    EXPECT_NE(held, port);
    EXPECT_TRUE(
        AlertSeen("Manager Listening on TCP, all interfaces, port " + std::to_string(port)));
}

TEST_F(ListenerTest, UdtUnableToBindLeavesTcpOnThePort) {
    int held = 0;
    int fd = HoldPort(SOCK_DGRAM, &held);
    ASSERT_GE(fd, 0);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    Manager_SetBindAddress(manager_, loopback);
    Manager_SetListenPort(manager_, held);
    EXPECT_EQ(1, Manager_Listen(manager_)) << testsupport::AlertText();
    close(fd);
    int local = 0, udt = 0;
    Manager_GetLocalPort(manager_, &local);
    Manager_GetUDTPort(manager_, &udt);
    EXPECT_EQ(held, local);
    EXPECT_NE(held, udt);
    EXPECT_TRUE(
        AlertSeen("Unable to UDT bind for listen (127.0.0.1:" + std::to_string(held) + ")"));
    EXPECT_TRUE(AlertSeen("Manager Listening on TCP, 127.0.0.1:" + std::to_string(held)));
    EXPECT_TRUE(AlertSeen("Manager Listening on UDT, 127.0.0.1:" + std::to_string(udt)));
}

TEST_F(ListenerTest, ABurstIsAcceptedElevenAtATime) {
    const int port = ListenWithDownload();
    Connect(port, 30);
    int accepted = 0;
    ASSERT_EQ(1, Manager_AcceptPasses(manager_, &accepted));
    EXPECT_EQ(11, accepted);
    EXPECT_EQ(11, Pending());
    EXPECT_TRUE(AlertSeen("Accept queue size of (11)"));
    Manager_AcceptPasses(manager_, &accepted);
    Manager_AcceptPasses(manager_, &accepted);
    EXPECT_EQ(30, Pending());
}

TEST_F(ListenerTest, RefusedConnectionsAreClosed) {
    struct Case {
        const char *name;
        const char *message; // "" when the refusal is silent
    } cases[] = {
        {"inbound off", ""},
        {"filter rule", "Socket filtered by IP rule"},
        {"no download", "No base object set"},
    };
    for (const Case &c : cases) {
        testsupport::ClearAlerts();
        ManagerStruct *m = manager_;
        int port = 0;
        if (std::string(c.name) == "no download") {
            ASSERT_EQ(1, Manager_Listen(m));
            Manager_GetListenPort(m, &port);
        } else {
            port = ListenWithDownload();
        }
        if (std::string(c.name) == "inbound off")
            Manager_SetInbound(m, 0);
        if (std::string(c.name) == "filter rule") {
            IPFilterStruct *filter = nullptr;
            Manager_GetIPFilter(m, &filter);
            const uint8_t local[4] = {127, 0, 0, 1};
            IPFilter_AddRule(filter, local, local, "test");
        }
        Connect(port, 1);
        int accepted = 0;
        Manager_AcceptPasses(m, &accepted);
        EXPECT_EQ(1, accepted) << c.name;
        EXPECT_EQ(0, Pending()) << c.name;
        char byte;
        EXPECT_EQ(0, read(clients_.back(), &byte, 1)) << c.name; // closed by the manager
        if (*c.message) {
            EXPECT_TRUE(AlertSeen(c.message)) << c.name;
        }
        // A fresh manager for the next case.
        for (int fd : clients_)
            close(fd);
        clients_.clear();
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        Manager_Destroy(&manager_);
        Manager_Create(&manager_);
    }
}

TEST_F(ListenerTest, PendingHandshakesAreCapped) {
    const int port = ListenWithDownload();
    Connect(port, MANAGER_MAX_PENDING + 5);
    for (int i = 0; i < 30; i++) {
        int accepted = 0;
        Manager_AcceptPasses(manager_, &accepted);
    }
    EXPECT_EQ(MANAGER_MAX_PENDING, Pending());
    EXPECT_TRUE(AlertSeen("Pending handshake limit hit (200)"));
}

TEST_F(ListenerTest, SilentConnectionClosesAfterThirtySeconds) {
    UseTestClock();
    const int port = ListenWithDownload();
    Connect(port, 1);
    int accepted = 0;
    Manager_AcceptPasses(manager_, &accepted);
    ASSERT_EQ(1, Pending());
    Manager_ProcessPending(manager_);
    clock_.Now = clock_.Now + 29.9;
    Manager_ProcessPending(manager_);
    EXPECT_EQ(1, Pending());
    clock_.Now = clock_.Now + 0.1;
    Manager_ProcessPending(manager_);
    EXPECT_EQ(0, Pending());
    char byte;
    EXPECT_EQ(0, read(clients_[0], &byte, 1));
}

TEST_F(ListenerTest, AHandshakeNoDownloadCanTakeIsRefused) {
    const int port = ListenWithDownload();
    // Without the encrypted type, unknown bytes are not taken for a key exchange.
    Manager_SetAcceptedConnectionTypes(manager_,
                                       MANAGER_CONNECTION_NORMAL | MANAGER_CONNECTION_MUNGE);
    Connect(port, 1);
    int accepted = 0;
    Manager_AcceptPasses(manager_, &accepted);
    ASSERT_EQ(1, Pending());
    std::string hello(48, 'x');
    ASSERT_EQ(24, write(clients_[0], hello.data(), 24));
    for (int i = 0; i < 50 && Pending() == 1; i++) {
        Manager_ProcessPending(manager_);
        usleep(1000);
    }
    EXPECT_EQ(1, Pending()); // half a handshake: waiting
    ASSERT_EQ(24, write(clients_[0], hello.data(), 24));
    for (int i = 0; i < 1000 && Pending() == 1; i++) {
        Manager_ProcessPending(manager_);
        usleep(1000);
    }
    EXPECT_EQ(0, Pending());
    EXPECT_TRUE(AlertSeen("Tagged to close/remove [127.0.0.1:"));
}

TEST_F(ListenerTest, TrafficListKeepsTheTwentyLargestKeys) {
    ListenWithDownload(); // any open transport will do as the registered one
    std::vector<TransportStruct *> transports(22);
    for (TransportStruct *&t : transports) {
        Transport_Create(&t);
        Transport_SetType(t, TRANSPORT_TYPE_NORMAL);
    }
    for (int key = 1; key <= 20; key++)
        ASSERT_EQ(1, Manager_AddTrafficPeer(manager_, transports[key - 1], (uint64_t)key));
    uint64_t keys[32];
    int count = 0;
    struct Case {
        uint64_t key;
        int result;
        uint64_t first, last;
    } cases[] = {{0, 0, 20, 1}, {25, 1, 25, 2}};
    for (const Case &c : cases) {
        EXPECT_EQ(c.result, Manager_AddTrafficPeer(manager_, transports[20], c.key)) << c.key;
        Manager_GetTrafficKeys(manager_, keys, 32, &count);
        ASSERT_EQ(20, count);
        EXPECT_EQ(c.first, keys[0]) << c.key;
        EXPECT_EQ(c.last, keys[19]) << c.key;
        for (int i = 1; i < count; i++)
            EXPECT_GE(keys[i - 1], keys[i]);
    }
    EXPECT_EQ(1, Manager_RemoveTrafficPeer(manager_, transports[20]));
    EXPECT_EQ(0, Manager_RemoveTrafficPeer(manager_, transports[21]));
    Manager_GetTrafficKeys(manager_, keys, 32, &count);
    EXPECT_EQ(19, count);
    EXPECT_EQ(20u, keys[0]);
    Manager_WaitForTraffic(manager_);
    Manager_GetTrafficKeys(manager_, keys, 32, &count);
    EXPECT_EQ(0, count);
    // Equal keys: the newer goes after the older.
    Manager_AddTrafficPeer(manager_, transports[0], 5);
    Manager_AddTrafficPeer(manager_, transports[1], 9);
    Manager_AddTrafficPeer(manager_, transports[2], 5);
    Manager_AddTrafficPeer(manager_, transports[3], 7);
    Manager_GetTrafficKeys(manager_, keys, 32, &count);
    EXPECT_EQ((std::vector<uint64_t>{9, 7, 5, 5}), std::vector<uint64_t>(keys, keys + count));
    Manager_WaitForTraffic(manager_);
    for (TransportStruct *&t : transports)
        Transport_Destroy(&t);
}

// The accept pass skips its poll of the TCP listener right after a wait that
// watched it quiet: the idle waits (which grow while nothing happens) and the
// traffic wait. A connection made since is still taken, by the next cycle.
TEST_F(ListenerTest, ConnectionsAfterQuietWaitsAreTaken) {
    const int port = ListenWithDownload();
    TransportStruct *idle = nullptr; // registered but unopened: the wait watches the listener
    Transport_Create(&idle);
    Transport_SetType(idle, TRANSPORT_TYPE_NORMAL);
    for (const bool traffic : {false, true}) {
        const int before = Pending();
        for (int i = 0; i < 6; i++) {
            if (traffic)
                Manager_AddTrafficPeer(manager_, idle, 1);
            Manager_WaitForTraffic(manager_);
        }
        Connect(port, 1);
        int accepted = 0;
        for (int i = 0; i < 2 && Pending() == before; i++)
            Manager_AcceptPasses(manager_, &accepted);
        EXPECT_EQ(before + 1, Pending()) << (traffic ? "traffic wait" : "idle waits");
        // A connection waiting when the idle wait starts ends it and is taken next.
        Connect(port, 1);
        Manager_WaitForTraffic(manager_);
        Manager_AcceptPasses(manager_, &accepted);
        EXPECT_EQ(1, accepted);
        EXPECT_EQ(before + 2, Pending());
    }
    Transport_Destroy(&idle);
}

std::string Hex(BigIntStruct *value) {
    uint8_t bytes[128];
    int n = 0;
    BigInt_ToBytes(bytes, value, sizeof bytes, &n);
    std::string out;
    char pair[3];
    for (int i = 0; i < n; i++) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
    }
    return out.empty() ? "0" : out;
}

TEST_F(ListenerTest, KeyPairsFillFiveSlotsThenReuse) {
    UseTestClock();
    BigIntStruct *priv = nullptr, *pub = nullptr, *prime = nullptr;
    BigInt_Create(&priv);
    BigInt_Create(&pub);
    BigInt_Create(&prime);
    std::vector<std::string> publics;
    for (int i = 0; i < 5; i++) {
        int slot = -1;
        ASSERT_EQ(1, Manager_GetKeyPair(manager_, priv, pub, prime, &slot));
        EXPECT_EQ(i, slot);
        publics.push_back(Hex(pub));
        if (i == 0 && testsupport::HaveProgram("python3")) {
            std::string out;
            ASSERT_EQ(0,
                      testsupport::RunCommand("python3 -c 'print(pow(2, 0x" + Hex(priv) + ", 0x" +
                                                  Hex(prime) + ") == 0x" + Hex(pub) + ")'",
                                              &out));
            EXPECT_EQ("True\n", out) << Hex(priv);
            EXPECT_EQ(192u, Hex(prime).size()); // 768 bits
        }
    }
    int slot = -1;
    Manager_GetKeyPair(manager_, priv, pub, prime, &slot);
    EXPECT_GE(slot, 0);
    EXPECT_LE(slot, 3);
    EXPECT_EQ(publics[slot], Hex(pub));
    // Past the longest life every slot is refilled in order again.
    clock_.Now = clock_.Now + 421;
    Manager_GetKeyPair(manager_, priv, pub, prime, &slot);
    EXPECT_EQ(0, slot);
    EXPECT_NE(publics[0], Hex(pub));
    BigInt_Destroy(&priv);
    BigInt_Destroy(&pub);
    BigInt_Destroy(&prime);
}

TEST_F(ListenerTest, SharedBufferGrowsAndShaOneHashes) {
    uint8_t *buffer = nullptr;
    ASSERT_EQ(1, Manager_LockSharedBuffer(manager_, 4096, &buffer));
    ASSERT_NE(nullptr, buffer);
    buffer[4095] = 7;
    Manager_UnlockSharedBuffer(manager_);
    EXPECT_TRUE(AlertSeen("Resizing shared buffer from 0k to 4k"));
    testsupport::ClearAlerts();
    ASSERT_EQ(1, Manager_LockSharedBuffer(manager_, 1024, &buffer));
    Manager_UnlockSharedBuffer(manager_);
    EXPECT_FALSE(AlertSeen("Resizing"));
    uint8_t digest[20];
    ASSERT_EQ(1, Manager_HashSHA1(manager_, "abc", 3, digest));
    EXPECT_EQ(testsupport::Sha1Bytes("abc"), std::string(reinterpret_cast<char *>(digest), 20));
    int count = -1;
    Manager_RemoveHandshake(manager_);
    Manager_GetHandshakeCount(manager_, &count);
    EXPECT_EQ(0, count); // never below 0
    Manager_AddHandshake(manager_);
    Manager_GetHandshakeCount(manager_, &count);
    EXPECT_EQ(1, count);
}

TEST_F(ListenerTest, HandshakeLimitRefusesAccepts) {
    const int port = ListenWithDownload();
    Manager_SetIncomingHandshakeLimit(manager_, 1);
    Manager_AddHandshake(manager_);
    Manager_AddHandshake(manager_);
    Connect(port, 1);
    int accepted = 0;
    Manager_AcceptPasses(manager_, &accepted);
    EXPECT_EQ(0, Pending());
    EXPECT_TRUE(AlertSeen("Incoming Handshake connects limit hit (2 > 1)"));
}

TEST_F(ListenerTest, UdtConnectionsAreAcceptedToo) {
    ListenWithDownload();
    int udt = 0;
    Manager_GetUDTPort(manager_, &udt);
    ASSERT_NE(0, udt);
    TransportStruct *client = nullptr;
    Transport_Create(&client);
    Transport_SetType(client, TRANSPORT_TYPE_UDT);
    ASSERT_EQ(1, Transport_Open(client));
    const uint8_t loopback[4] = {127, 0, 0, 1};
    ASSERT_EQ(1, Transport_Connect(client, loopback, udt));
    int accepted = 0;
    for (int i = 0; i < 1000 && Pending() == 0; i++) {
        Manager_AcceptPasses(manager_, &accepted);
        usleep(1000);
    }
    EXPECT_EQ(1, Pending());
    EXPECT_TRUE(AlertSeen("/UDT]"));
    Transport_Close(client);
    Transport_Destroy(&client);
}

TEST_F(ListenerTest, AcceptShortOfDescriptorsIsLoggedOncePerSecond) {
    UseTestClock();
    const int port = ListenWithDownload();
    Connect(port, 3);
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> filler; // every descriptor below the limit taken
    for (int fd = dup(0); fd >= 0; fd = dup(0))
        filler.push_back(fd);
    int accepted = 0;
    for (int i = 0; i < 5; i++)
        Manager_AcceptPasses(manager_, &accepted);
    const int once = testsupport::Count(
        testsupport::CapturedAlerts(), "Unable to accept connection (10024) [Too many open files]");
    clock_.Now = clock_.Now + 1.0;
    Manager_AcceptPasses(manager_, &accepted);
    const int twice = testsupport::Count(
        testsupport::CapturedAlerts(), "Unable to accept connection (10024) [Too many open files]");
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(1, once) << testsupport::AlertText();
    EXPECT_EQ(2, twice);
    EXPECT_LE(accepted, 1); // a failed accept ends the cycle's passes
    EXPECT_EQ(0, Pending());
    for (int i = 0; i < 5 && Pending() < 3; i++)
        Manager_AcceptPasses(manager_, &accepted);
    EXPECT_EQ(3, Pending()); // descriptors back: the waiting connections are taken
}

} // namespace
