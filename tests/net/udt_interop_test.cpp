// The deployed reference library (UDT4) as the peer of our reliable-UDP sockets:
// 64 MiB each way on 127.0.0.1, with equal SHA-1 and a clean close.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <thread>
#include <vector>

#include <udt/udt.h>

#include "net/udt.h"
#include "udt_test_util.h"

using namespace udttest;

static const uint64_t kSize = 64ull << 20;

static sockaddr_in Loopback(int port) {
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    return sa;
}

// Reference client: sends the pattern, closes (lingering until delivered).
static uint64_t ReferenceSend(int port, uint64_t n) {
    UDTSOCKET u = UDT::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = Loopback(port);
    if (UDT::connect(u, (sockaddr *)&sa, sizeof sa) == UDT::ERROR) {
        ADD_FAILURE() << "reference connect: " << UDT::getlasterror().getErrorMessage();
        UDT::close(u);
        return 0;
    }
    std::vector<uint8_t> chunk(1 << 16);
    uint64_t done = 0;
    while (done < n) {
        int len = (int)std::min<uint64_t>(chunk.size(), n - done);
        FillPattern(chunk.data(), len, done);
        for (int off = 0; off < len;) {
            int sent = UDT::send(u, (const char *)chunk.data() + off, len - off, 0);
            if (sent == UDT::ERROR) {
                UDT::close(u);
                return done + (uint64_t)off;
            }
            off += sent;
        }
        done += (uint64_t)len;
    }
    UDT::close(u);
    return done;
}

TEST(UdtInterop, ReferenceClientToOurListener) {
    UDT::startup();
    int port = 0;
    UDTSocketStruct *listener = Listen(&port);
    uint64_t sent = 0;
    std::thread client([&] { sent = ReferenceSend(port, kSize); });
    UDTSocketStruct *server = nullptr;
    ASSERT_TRUE(UDTSocket_Accept(listener, &server));
    std::string digest;
    uint64_t received = ReceiveAll(server, &digest);
    client.join();
    EXPECT_EQ(sent, kSize);
    EXPECT_EQ(received, kSize);
    EXPECT_EQ(digest, PatternDigest(kSize));
    EXPECT_EQ(UDTSocket_GetLastError(server), 10057); // the reference's close was seen
    UDTSocket_Destroy(&server);
    UDTSocket_Destroy(&listener);
    UDT::cleanup();
}

TEST(UdtInterop, OurClientToReferenceListener) {
    UDT::startup();
    UDTSOCKET l = UDT::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = Loopback(0);
    ASSERT_NE(UDT::bind(l, (sockaddr *)&sa, sizeof sa), UDT::ERROR);
    ASSERT_NE(UDT::listen(l, 4), UDT::ERROR);
    int len = sizeof sa;
    UDT::getsockname(l, (sockaddr *)&sa, &len);
    uint64_t received = 0;
    std::string digest;
    std::thread server([&] {
        sockaddr_in peer;
        int peerLen = sizeof peer;
        UDTSOCKET s = UDT::accept(l, (sockaddr *)&peer, &peerLen);
        if (s == UDT::INVALID_SOCK) {
            return;
        }
        Digest d;
        std::vector<char> buffer(1 << 16);
        for (;;) {
            int n = UDT::recv(s, buffer.data(), (int)buffer.size(), 0);
            if (n == UDT::ERROR || n <= 0) {
                break;
            }
            d.Update(buffer.data(), n);
            received += (uint64_t)n;
        }
        digest = d.Final();
        UDT::close(s);
    });
    int error = 0;
    UDTSocketStruct *client = Connect(ntohs(sa.sin_port), &error);
    EXPECT_NE(client, nullptr) << error;
    uint64_t sent = client ? SendPattern(client, kSize) : 0;
    if (client == nullptr) {
        UDT::close(l); // ends the accept
    }
    server.join();
    EXPECT_EQ(sent, kSize);
    EXPECT_EQ(received, kSize);
    EXPECT_EQ(digest, PatternDigest(kSize));
    UDTSocket_Destroy(&client);
    UDT::close(l);
    UDT::cleanup();
}
