// Tests of the NAT-PMP client against a scripted gateway on 127.0.0.1: exact
// request bytes, the attempts of a silent gateway (with a shortened wait),
// replies rejected for their sender, size, opcode or port, and refusals. The
// real gateway daemon is exercised by the port-mapping namespace test.
#include "net/natpmp.h"

#include "core/zyl.h"
#include "tests/support/log_capture.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

int BoundUdp(const char *address, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A gateway on 127.0.0.1: records each request and answers it with the
// datagrams the test's script returns (each sent from 127.0.0.1, or from
// 127.0.0.2 when marked foreign).
class FakeGateway {
  public:
    struct Reply {
        Bytes Data;
        bool Foreign = false;
    };
    using Script = std::function<std::vector<Reply>(const Bytes &request, int index)>;

    explicit FakeGateway(Script script) : script_(std::move(script)) {
        fd_ = BoundUdp("127.0.0.1", 0);
        foreign_ = BoundUdp("127.0.0.2", 0);
        sockaddr_in a{};
        socklen_t length = sizeof a;
        getsockname(fd_, (sockaddr *)&a, &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeGateway() {
        stop_ = true;
        thread_.join();
        close(fd_);
        if (foreign_ >= 0)
            close(foreign_);
    }
    int port() const { return port_; }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }

  private:
    void Run() {
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            uint8_t buffer[1024];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, (sockaddr *)&from, &length);
            if (n < 0)
                continue;
            Bytes request(buffer, buffer + n);
            int index = 0;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                index = (int)requests_.size();
                requests_.push_back(request);
            }
            for (const Reply &reply : script_(request, index)) {
                int fd = reply.Foreign ? foreign_ : fd_;
                sendto(fd, reply.Data.data(), reply.Data.size(), 0, (sockaddr *)&from, length);
            }
        }
    }
    Script script_;
    int fd_ = -1;
    int foreign_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> requests_;
};

Bytes AddressReply(int result, const uint8_t address[4]) {
    return {0,
            128,
            (uint8_t)(result >> 8),
            (uint8_t)result,
            0,
            0,
            0x10,
            0x00,
            address[0],
            address[1],
            address[2],
            address[3]};
}

// The mapping reply to a 12-byte request, granting `port` and `lifetime`.
Bytes MappingReply(const Bytes &request, int result, int port, uint32_t lifetime) {
    return {0,
            (uint8_t)(request[1] + 128),
            (uint8_t)(result >> 8),
            (uint8_t)result,
            0,
            0,
            0,
            7,
            request[4],
            request[5],
            (uint8_t)(port >> 8),
            (uint8_t)port,
            (uint8_t)(lifetime >> 24),
            (uint8_t)(lifetime >> 16),
            (uint8_t)(lifetime >> 8),
            (uint8_t)lifetime};
}

class NatPmpFixture : public ::testing::Test {
  protected:
    void SetUp() override { NatPmp_Create(&client); }
    void TearDown() override { NatPmp_Destroy(&client); }
    void Aim(const FakeGateway &gateway) {
        const uint8_t loopback[4] = {127, 0, 0, 1};
        NatPmp_SetGateway(client, loopback);
        NatPmp_SetGatewayPort(client, gateway.port());
        // Short waits keep the silent cases fast; the count of attempts is what is tested.
        NatPmp_SetTimeouts(client, 3, 100);
    }
    NatPmpStruct *client = nullptr;
};

TEST_F(NatPmpFixture, SilentGatewayGetsEveryAttempt) {
    FakeGateway gateway([](const Bytes &, int) { return std::vector<FakeGateway::Reply>{}; });
    Aim(gateway);
    NatPmp_SetTimeouts(client, 3, 20);
    int port = -1;
    int lifetime = -1;
    EXPECT_EQ(NatPmp_MapPort(client, NATPMP_TCP, 6881, 6882, 3600, &port, &lifetime), 0);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(lifetime, 0);
    auto requests = gateway.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const Bytes &r : requests)
        EXPECT_EQ(r, (Bytes{0, 2, 0, 0, 0x1A, 0xE2, 0x1A, 0xE1, 0, 0, 0x0E, 0x10}));
    EXPECT_FALSE(Socket_IsOpen(client->Socket));
}

TEST_F(NatPmpFixture, ExternalAddressIsStored) {
    const uint8_t external[4] = {203, 0, 113, 9};
    FakeGateway gateway([&](const Bytes &, int) {
        return std::vector<FakeGateway::Reply>{{AddressReply(0, external)}};
    });
    Aim(gateway);
    testsupport::ConsoleCapture console;
    ASSERT_EQ(NatPmp_GetExternalAddress(client), 1);
    EXPECT_EQ(memcmp(client->External, external, 4), 0);
    EXPECT_EQ(gateway.requests(), (std::vector<Bytes>{{0, 0}}));
    EXPECT_TRUE(console.Contains("IP:            203.0.113.9\n"));
    EXPECT_TRUE(console.Contains("Opcode:        128\n"));
}

TEST_F(NatPmpFixture, WrongRepliesAreIgnoredAndTheWaitGoesOn) {
    const uint8_t external[4] = {198, 51, 100, 1};
    FakeGateway gateway([&](const Bytes &request, int) {
        Bytes good = MappingReply(request, 0, 7000, 1800);
        Bytes shortReply(good.begin(), good.begin() + 12);
        Bytes notResponse = good;
        notResponse[1] = request[1];
        Bytes otherPort = good;
        otherPort[9] ^= 1;
        return std::vector<FakeGateway::Reply>{
            {good, true},  {shortReply}, {AddressReply(0, external)},
            {notResponse}, {otherPort},  {good}};
    });
    Aim(gateway);
    testsupport::ConsoleCapture console;
    int port = 0;
    int lifetime = 0;
    ASSERT_EQ(NatPmp_MapPort(client, NATPMP_UDP, 7000, 7001, 3600, &port, &lifetime), 1);
    EXPECT_EQ(port, 7000);
    EXPECT_EQ(lifetime, 1800);
    EXPECT_EQ(gateway.requests().size(), 1u);
    EXPECT_TRUE(console.Contains("     Rejected - not from gateway\n"));
    EXPECT_TRUE(console.Contains("     Rejected - invalid size (expected 16)\n"));
    EXPECT_TRUE(console.Contains("     Rejected - not a response\n"));
    EXPECT_TRUE(console.Contains("     Rejected - reply for private port 7000\n"));
}

TEST_F(NatPmpFixture, RefusalIsAFailure) {
    const uint8_t external[4] = {198, 51, 100, 1};
    FakeGateway gateway([&](const Bytes &request, int) {
        if (request.size() == 2)
            return std::vector<FakeGateway::Reply>{{AddressReply(3, external)}};
        return std::vector<FakeGateway::Reply>{{MappingReply(request, 2, 7000, 3600)}};
    });
    Aim(gateway);
    testsupport::ConsoleCapture console;
    EXPECT_EQ(NatPmp_GetExternalAddress(client), 0);
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(memcmp(client->External, zero, 4), 0);
    int port = -1;
    int lifetime = -1;
    EXPECT_EQ(NatPmp_MapPort(client, NATPMP_TCP, 7000, 7000, 3600, &port, &lifetime), 0);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(lifetime, 0);
    EXPECT_EQ(client->LastResult, 2);
    EXPECT_TRUE(console.Contains("Gateway refused the request (result 2)\n"));
    EXPECT_EQ(gateway.requests().size(), 2u); // a refusal is not retried
}

TEST_F(NatPmpFixture, BothProtocolsMapTcpThenUdpOnTheGrantedPort) {
    FakeGateway gateway([](const Bytes &request, int index) {
        int port = index == 0 ? 40000 : (request[6] << 8 | request[7]);
        return std::vector<FakeGateway::Reply>{{MappingReply(request, 0, port, 7200)}};
    });
    Aim(gateway);
    int port = 0;
    int lifetime = 0;
    ASSERT_EQ(NatPmp_MapPorts(client, NATPMP_BOTH, 6881, 6881, 3600, &port, &lifetime), 1);
    EXPECT_EQ(port, 40000);
    EXPECT_EQ(lifetime, 7200);
    auto requests = gateway.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (Bytes{0, 2, 0, 0, 0x1A, 0xE1, 0x1A, 0xE1, 0, 0, 0x0E, 0x10}));
    EXPECT_EQ(requests[1], (Bytes{0, 1, 0, 0, 0x1A, 0xE1, 0x9C, 0x40, 0, 0, 0x1C, 0x20}));
}

TEST_F(NatPmpFixture, UnmapSendsLifetimeZeroForBoth) {
    FakeGateway gateway([](const Bytes &request, int) {
        return std::vector<FakeGateway::Reply>{{MappingReply(request, 0, 0, 0)}};
    });
    Aim(gateway);
    ASSERT_EQ(NatPmp_UnmapPorts(client, NATPMP_BOTH, 6881, 6882), 1);
    auto requests = gateway.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (Bytes{0, 2, 0, 0, 0x1A, 0xE2, 0x1A, 0xE1, 0, 0, 0, 0}));
    EXPECT_EQ(requests[1], (Bytes{0, 1, 0, 0, 0x1A, 0xE2, 0x1A, 0xE1, 0, 0, 0, 0}));
}

TEST_F(NatPmpFixture, FailedTcpStopsTheBothRequest) {
    FakeGateway gateway([](const Bytes &request, int) {
        return std::vector<FakeGateway::Reply>{{MappingReply(request, 4, 0, 0)}};
    });
    Aim(gateway);
    EXPECT_EQ(NatPmp_UnmapPorts(client, NATPMP_BOTH, 6881, 6881), 0);
    int port = 0;
    int lifetime = 0;
    EXPECT_EQ(NatPmp_MapPorts(client, NATPMP_BOTH, 6881, 6881, 60, &port, &lifetime), 0);
    EXPECT_EQ(gateway.requests().size(), 2u); // one TCP request each
}

} // namespace

// ---------------------------------------------------------------------------
// Against miniupnpd in network namespaces (root only)
// ---------------------------------------------------------------------------

#include "tests/support/netns.h"
#include "tests/support/support.h"

namespace {

int LogToStdout(const char *text) {
    fputs("log: ", stdout);
    fputs(text, stdout);
    return 1;
}

// Runs inside the lan namespace: asks the gateway for its external address,
// then maps (args[0] "map") or unmaps ("unmap") port 46001 for TCP and UDP.
// Results are printed as "@ ..." lines.
PORTICO_TEST_CHILD(natpmp_lan) {
    Zyl_SetConsoleCallback(LogToStdout);
    NatPmpStruct *client = nullptr;
    NatPmp_Create(&client);
    uint8_t gateway[4];
    Zyl_ParseIPv4(nettest::GatewayNamespaces::kGatewayAddress, gateway);
    NatPmp_SetGateway(client, gateway);
    int ok = NatPmp_GetExternalAddress(client);
    char text[32];
    Zyl_FormatString(text, sizeof text, "%ipv4", client->External);
    printf("@ external %d %s\n", ok, text);
    int port = 0;
    int lifetime = 0;
    if (args.size() == 1 && args[0] == "map")
        ok = NatPmp_MapPorts(client, NATPMP_BOTH, 46001, 46001, 3600, &port, &lifetime);
    else
        ok = NatPmp_UnmapPorts(client, NATPMP_BOTH, 46001, 46001);
    printf("@ %s %d port %d lifetime %d\n", args.empty() ? "none" : args[0].c_str(), ok, port,
           lifetime);
    NatPmp_Destroy(&client);
    return ok ? 0 : 1;
}

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(NatPmpGateway, MapAndUnmapAgreeWithNatpmpcAndUpnpc) {
    nettest::GatewayNamespaces net;
    if (!net.ok())
        GTEST_SKIP() << "port-mapping namespaces unavailable: " << net.why();
    std::string output;
    EXPECT_EQ(net.RunChildInLan("natpmp_lan", "map 2>&1", &output), 0) << output << net.log();
    EXPECT_TRUE(Has(output, std::string("@ external 1 ") + net.kExternalAddress)) << output;
    EXPECT_TRUE(Has(output, "@ map 1 port 46001 lifetime 3600")) << output;
    std::string reference;
    net.RunInLan("natpmpc -g 192.168.77.1", &reference);
    EXPECT_TRUE(Has(reference, std::string("Public IP address : ") + net.kExternalAddress))
        << reference;
    const std::string upnpc = "upnpc -u http://192.168.77.1:5000/rootDesc.xml -l";
    net.RunInLan(upnpc, &reference);
    EXPECT_TRUE(Has(reference, "TCP 46001->192.168.77.2:46001")) << reference;
    EXPECT_TRUE(Has(reference, "UDP 46001->192.168.77.2:46001")) << reference;

    output.clear();
    EXPECT_EQ(net.RunChildInLan("natpmp_lan", "unmap 2>&1", &output), 0) << output << net.log();
    EXPECT_TRUE(Has(output, "@ unmap 1")) << output;
    net.RunInLan(upnpc, &reference);
    EXPECT_FALSE(Has(reference, "46001->")) << reference;
}

} // namespace
