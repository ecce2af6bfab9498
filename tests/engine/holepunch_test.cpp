// Hole punching: the 36-byte ping's layout and its descrambling from the
// clear time stamp, the pings of a stopped manager's download sent to a UDP
// socket of the test, at most one per interval on the injected clock, and our
// reliable-UDP listener keeping its connections while pings and random
// datagrams arrive at its port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/random.h"
#include "core/zyl.h"
#include "engine/holepunch.h"
#include "engine/tracker.h"
#include "net/socket.h"
#include "net/udt.h"
#include "net/udt_internal.h"
#include "tests/engine/swarm_support.h"
#include "tests/engine/transport_support.h"
#include "tests/support/support.h"

namespace {

const uint8_t kHash[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

TEST(HolePunchPing, LayoutAndDescrambling) {
    RandomStruct *random = nullptr;
    Random_Create(&random);
    const uint8_t lan[4] = {192, 168, 1, 7};
    for (const uint8_t *address : {lan, (const uint8_t *)"\0\0\0\0"}) {
        uint8_t ping[HOLEPUNCH_PING_SIZE];
        ASSERT_EQ(1, HolePunch_BuildPing(random, 0x12345678u, kHash, address, 6881, ping));
        // The stamp stays clear; the rest is scrambled.
        EXPECT_EQ(0, memcmp(ping, "\x12\x34\x56\x78", 4));
        EXPECT_NE(0, memcmp(ping + 4, "\x80\x45\x00\x00", 4));
        ASSERT_EQ(1, HolePunch_Descramble(random, ping));
        EXPECT_EQ(0, memcmp(ping + 4, "\x80\x45\x00\x00", 4));
        EXPECT_EQ(0, memcmp(ping + 8, kHash, 20));
        EXPECT_EQ(0, memcmp(ping + 28, address, 4));
        EXPECT_EQ(0, memcmp(ping + 32, "\x00\x00\x1a\xe1", 4));
    }
    Random_Destroy(&random);
}

class HolePunchTest : public enginetest::ManagerFixture {
  protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        UseTestClock();
        ASSERT_EQ(1, Manager_AddMember(manager_, &member_));
        ManagerMember_GetBase(member_, &base_);
        Base_GetTracker(base_, &tracker_);
        receiver_ = enginetest::HoldPort(SOCK_DGRAM, &port_);
        ASSERT_GE(receiver_, 0);
        Socket_Create(&socket_);
        ASSERT_EQ(1, Socket_Open(socket_, SOCKET_PROTOCOL_UDP));
        Manager_GetHolePunch(manager_, &punch_);
        HolePunch_SetUDTSocket(punch_, socket_);
        HolePunch_SetActive(punch_, 1);
        tracker_->ReportPrivateAddress = 0;
        tracker_->TraversePresent = 1;
        memcpy(tracker_->TraverseAddress, enginetest::kLoopbackAddress, 4);
        tracker_->TraversePort = port_;
    }
    void TearDown() override {
        if (punch_) {
            HolePunch_SetActive(punch_, 0);
            HolePunch_SetUDTSocket(punch_, nullptr);
        }
        Socket_Destroy(&socket_);
        if (receiver_ >= 0)
            close(receiver_);
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        ManagerFixture::TearDown();
    }
    // Datagrams waiting at the receiver (each checked to be a ping of ours).
    int Received() {
        int n = 0;
        pollfd p = {receiver_, POLLIN, 0};
        while (poll(&p, 1, 200) > 0) {
            uint8_t ping[64];
            const ssize_t got = recv(receiver_, ping, sizeof ping, 0);
            EXPECT_EQ(HOLEPUNCH_PING_SIZE, got);
            RandomStruct *random = nullptr;
            Random_Create(&random);
            HolePunch_Descramble(random, ping);
            Random_Destroy(&random);
            EXPECT_EQ(0, memcmp(ping + 4, "\x80\x45\x00\x00", 4));
            EXPECT_EQ(0, memcmp(ping + 28, "\0\0\0\0", 4)); // not asked for
            n++;
        }
        return n;
    }
    ManagerMemberStruct *member_ = nullptr;
    BaseStruct *base_ = nullptr;
    TrackerStruct *tracker_ = nullptr;
    HolePunchStruct *punch_ = nullptr;
    SocketStruct *socket_ = nullptr;
    int receiver_ = -1, port_ = 0;
};

TEST_F(HolePunchTest, OnePingPerIntervalOnTheInjectedClock) {
    EXPECT_EQ(1, HolePunch_SendPing(base_, punch_));
    clock_.Now = clock_.Now + 59;
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_)); // within 60 s
    EXPECT_EQ(1, Received());
    clock_.Now = clock_.Now + 1;
    EXPECT_EQ(1, HolePunch_SendPing(base_, punch_));
    EXPECT_EQ(1, Received());
}

TEST_F(HolePunchTest, NothingWithoutTargetSocketOrSwitch) {
    tracker_->TraversePresent = 0;
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_));
    tracker_->TraversePresent = 1;
    HolePunch_SetActive(punch_, 0);
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_));
    HolePunch_SetActive(punch_, 1);
    HolePunch_SetUDTSocket(punch_, nullptr);
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_));
    EXPECT_EQ(0, Received());
}

} // namespace

// Our reliable-UDP listener while another socket fires hole-punch pings and
// random datagrams at its port: some wholly random (any size, shorter than a
// header too), some aimed at its connections' ids or shaped as handshakes for
// the listener; meanwhile the listener's port sends pings of its own from
// another thread. Its connections keep delivering the right bytes, nothing
// spawns a connection, and a new connection is still accepted afterwards.
// PORTICO_TEST_SEED repeats a printed seed.
namespace {

const int kPairs = 3;
#if defined(__SANITIZE_THREAD__)
const size_t kPairBytes = 1u << 20;
#else
const size_t kPairBytes = 4u << 20;
#endif

UDTSocketStruct *ListenOnLoopback(int *port) {
    UDTSocketStruct *s = nullptr;
    UDTSocket_Create(&s);
    uint8_t address[4];
    if (!UDTSocket_Open(s) || !UDTSocket_SetBacklog(s, 8) || !UDTSocket_SetReuseAddress(s, 0) ||
        !UDTSocket_Bind(s, enginetest::kLoopbackAddress, 0) || !UDTSocket_Listen(s) ||
        !UDTSocket_GetSockName(s, address, port))
        UDTSocket_Destroy(&s);
    return s;
}

UDTSocketStruct *ConnectToLoopback(int port) {
    UDTSocketStruct *s = nullptr;
    UDTSocket_Create(&s);
    if (!UDTSocket_Open(s) || !UDTSocket_Connect(s, enginetest::kLoopbackAddress, port))
        UDTSocket_Destroy(&s);
    return s;
}

bool WriteAll(UDTSocketStruct *s, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const int n = (int)std::min<size_t>(bytes.size() - done, 65536);
        int written = 0;
        if (!UDTSocket_Write(s, bytes.data() + done, n, &written))
            return false;
        done += (size_t)written;
    }
    return true;
}

std::string ReadBytes(UDTSocketStruct *s, size_t n) {
    std::string got;
    std::vector<char> chunk(65536);
    while (got.size() < n) {
        int read = 0;
        if (!UDTSocket_Read(s, chunk.data(), (int)std::min(chunk.size(), n - got.size()), &read))
            break;
        got.append(chunk.data(), (size_t)read);
    }
    return got;
}

// Fires datagrams at 127.0.0.1:port from a socket of its own until stopped.
class Flood {
  public:
    Flood(int port, uint32_t seed, std::vector<int32_t> ids)
        : port_(port), rng_(seed), ids_(std::move(ids)) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self = {};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof self;
        if (bind(fd_, (sockaddr *)&self, sizeof self) == 0 &&
            getsockname(fd_, (sockaddr *)&self, &length) == 0)
            Port = ntohs(self.sin_port);
        Random_Create(&random_);
    }
    ~Flood() {
        Stop();
        Random_Destroy(&random_);
        if (fd_ >= 0)
            close(fd_);
    }
    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int Sent() const { return sent_; }
    // Read once stopped: datagrams sent by kind (pings, random, aimed at a
    // connection, handshake-shaped) and the listener's answers received.
    int Counts[4] = {0, 0, 0, 0};
    int Answers = 0;
    std::atomic<int> PingsReceived{0}; // the listener's own hole-punch pings
    int Port = 0;                      // where the flood sends from

  private:
    uint32_t Next() { return (uint32_t)rng_(); }
    void Randomise(uint8_t *bytes, size_t n) {
        for (size_t i = 0; i < n; i++)
            bytes[i] = (uint8_t)Next();
    }
    static void PutWord(uint8_t *at, uint32_t value) {
        value = htonl(value);
        memcpy(at, &value, 4);
    }
    size_t Build(uint8_t *datagram, int kind) {
        switch (kind) {
        case 0: { // a peer's hole-punch ping
            uint8_t hash[20], address[4] = {0, 0, 0, 0};
            Randomise(hash, sizeof hash);
            if (Next() & 1)
                Randomise(address, sizeof address);
            HolePunch_BuildPing(random_, Next(), hash, address, (int)(Next() & 0xFFFF), datagram);
            return HOLEPUNCH_PING_SIZE;
        }
        case 1: { // anything, from empty to more than a payload holds
            const size_t size = Next() % 1600;
            Randomise(datagram, size);
            return size;
        }
        case 2: { // data or control for one of the listener's connections
            const size_t size = 16 + Next() % 1480;
            Randomise(datagram, size);
            PutWord(datagram + 12, (uint32_t)ids_[Next() % ids_.size()]);
            return size;
        }
        default: { // a handshake for the listener asking for a connection it cannot have
            const size_t size = 16 + 4 * (6 + Next() % 8);
            Randomise(datagram, size);
            PutWord(datagram, 0x80000000u);
            PutWord(datagram + 12, 0);
            PutWord(datagram + 16, 5 + Next() % 1000); // version other than 4
            PutWord(datagram + 36, (Next() & 1) ? 1u : 0xFFFFFFFFu);
            return size;
        }
        }
    }
    void Run() {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons((uint16_t)port_);
        uint8_t datagram[1600];
        while (!stop_) {
            // Bursts, paced so the flood shares the processors with the transfers.
            for (int i = 0; i < 32; i++) {
                const int kind = (int)(Next() % 4);
                const size_t size = Build(datagram, kind);
                if (sendto(fd_, datagram, size, 0, (sockaddr *)&to, sizeof to) >= 0)
                    Counts[kind]++;
            }
            // The listener refuses the handshakes and sends its own pings: both come back here.
            uint8_t answer[2048];
            for (ssize_t got; (got = recv(fd_, answer, sizeof answer, MSG_DONTWAIT)) >= 0;) {
                if (got == HOLEPUNCH_PING_SIZE && HolePunch_Descramble(random_, answer) &&
                    memcmp(answer + 4, "\x80\x45\x00\x00", 4) == 0)
                    PingsReceived++;
                else
                    Answers++;
            }
            sent_ += 32;
            usleep(1000);
        }
    }
    int fd_ = -1;
    int port_;
    std::mt19937 rng_;
    std::vector<int32_t> ids_;
    RandomStruct *random_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
};

TEST(HolePunchListener, KeepsConnectionsUnderPingsAndRandomDatagrams) {
    enginetest::StartTransports();
    const char *fixed = std::getenv("PORTICO_TEST_SEED");
    const uint32_t seed =
        fixed ? (uint32_t)std::strtoul(fixed, nullptr, 10) : (uint32_t)std::random_device{}();
    std::printf("random seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    int port = 0;
    UDTSocketStruct *listener = ListenOnLoopback(&port);
    ASSERT_NE(nullptr, listener);
    UDTSocketStruct *clients[kPairs] = {}, *servers[kPairs] = {};
    std::vector<int32_t> ids;
    for (int i = 0; i < kPairs; i++) {
        clients[i] = ConnectToLoopback(port);
        ASSERT_NE(nullptr, clients[i]);
        ASSERT_TRUE(UDTSocket_Accept(listener, &servers[i]));
        ASSERT_NE(nullptr, servers[i]);
        ids.push_back(servers[i]->Id);
    }

    Flood flood(port, seed, ids);
    ASSERT_GT(flood.Port, 0);
    flood.Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return flood.Sent() >= 512; }, 60));
    // Meanwhile the listener's port sends pings of its own, as the engine's hole
    // punching does from another thread than the port's worker.
    SocketStruct *channel = nullptr;
    ASSERT_TRUE(UDTSocket_GetChannelSocket(listener, &channel));
    std::atomic<bool> transferred{false};
    std::thread pinger([&] {
        RandomStruct *random = nullptr;
        Random_Create(&random);
        const uint8_t hash[20] = {7};
        // Until the transfers end and one ping has come through at least.
        while (!transferred || flood.PingsReceived == 0) {
            uint8_t ping[HOLEPUNCH_PING_SIZE];
            int sent = 0;
            HolePunch_BuildPing(random, (uint32_t)(Zyl_GetTickSeconds() * 1000), hash,
                                enginetest::kLoopbackAddress, port, ping);
            Socket_WriteIP(channel, enginetest::kLoopbackAddress, flood.Port, ping, sizeof ping,
                           &sent);
            usleep(2000);
        }
        Random_Destroy(&random);
    });
    // Pair i sends one way (client to server for even i), its reader checks the bytes.
    std::string sent[kPairs], received[kPairs];
    bool written[kPairs] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPairs; i++) {
        sent[i] = enginetest::MakeBytes(kPairBytes, seed + (uint32_t)i);
        UDTSocketStruct *from = i % 2 == 0 ? clients[i] : servers[i];
        UDTSocketStruct *to = i % 2 == 0 ? servers[i] : clients[i];
        threads.emplace_back([&, i, from] { written[i] = WriteAll(from, sent[i]); });
        threads.emplace_back([&, i, to] { received[i] = ReadBytes(to, kPairBytes); });
    }
    for (std::thread &t : threads)
        t.join();
    transferred = true;
    pinger.join();
    flood.Stop();
    std::printf("datagrams: %d pings, %d random, %d aimed at connections, %d handshakes; "
                "%d refusals and %d pings back\n",
                flood.Counts[0], flood.Counts[1], flood.Counts[2], flood.Counts[3], flood.Answers,
                flood.PingsReceived.load());
    EXPECT_GT(flood.Answers, 0); // the handshakes reached the listener
    EXPECT_GT(flood.PingsReceived, 0);
    for (int i = 0; i < kPairs; i++) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(written[i]);
        ASSERT_EQ(sent[i].size(), received[i].size());
        EXPECT_TRUE(sent[i] == received[i]);
        EXPECT_EQ(UDT_STATE_CONNECTED, UDTSocket_GetState(clients[i]));
        EXPECT_EQ(UDT_STATE_CONNECTED, UDTSocket_GetState(servers[i]));
    }

    // Nothing the flood sent made a connection; a real one is still accepted.
    UDTSocket_SetBlocking(listener, 0);
    UDTSocketStruct *stray = nullptr;
    EXPECT_TRUE(UDTSocket_Accept(listener, &stray));
    EXPECT_EQ(nullptr, stray);
    UDTSocket_Destroy(&stray);
    UDTSocket_SetBlocking(listener, 1);
    UDTSocketStruct *late = ConnectToLoopback(port), *accepted = nullptr;
    ASSERT_NE(nullptr, late);
    ASSERT_TRUE(UDTSocket_Accept(listener, &accepted));
    ASSERT_NE(nullptr, accepted);
    ASSERT_TRUE(WriteAll(late, "after the flood"));
    EXPECT_EQ("after the flood", ReadBytes(accepted, 15));

    UDTSocket_Destroy(&accepted);
    UDTSocket_Destroy(&late);
    for (int i = 0; i < kPairs; i++) {
        UDTSocket_Destroy(&clients[i]);
        UDTSocket_Destroy(&servers[i]);
    }
    UDTSocket_Destroy(&listener);
}

} // namespace
