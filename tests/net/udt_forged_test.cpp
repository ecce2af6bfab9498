// Forged datagrams handed straight to the packet handler of a connected pair:
// each must leave the connection sound (or end it only where the protocol says).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "net/udt_harness.h"
#include "udt_test_util.h"

using namespace udtharness;

// Wire bytes of a control packet: header then big-endian words.
static std::vector<uint8_t> Control(int type, int32_t ackSequence, std::vector<uint32_t> words) {
    std::vector<uint8_t> out(16 + words.size() * 4);
    uint32_t header[4] = {htonl(((uint32_t)type | 0x8000u) << 16), htonl((uint32_t)ackSequence), 0,
                          0};
    memcpy(out.data(), header, 16);
    for (size_t i = 0; i < words.size(); i++) {
        uint32_t w = htonl(words[i]);
        memcpy(out.data() + 16 + i * 4, &w, 4);
    }
    return out;
}

class UdtForged : public ::testing::Test {
  protected:
    void SetUp() override {
        udttest::Start();
        ASSERT_TRUE(Open(&pair_));
        int n = 0;
        char data[3000] = {0};
        UDTSocket_Write(pair_.Client, data, sizeof data, &n); // two packets in flight
    }
    void TearDown() override { Close(&pair_); }
    Pair pair_;
};

TEST_F(UdtForged, AcknowledgementsBeyondWhatWasSentAreIgnored) {
    UDTSocketStruct *c = pair_.Client;
    int32_t next = c->CurrentSendSeq + 1, lastAck = c->LastAckReceived;
    Deliver(&pair_, c->Id, Control(2, 1, {(uint32_t)next + 5, 0, 0, 100}).data(), 32);
    Deliver(&pair_, c->Id, Control(2, 1, {(uint32_t)next + 5}).data(), 20);
    EXPECT_EQ(c->LastAckReceived, lastAck);
    EXPECT_EQ(c->LastDataAck, lastAck);
    // A full ACK of exactly what was sent releases it.
    Deliver(&pair_, c->Id, Control(2, 1, {(uint32_t)next, 0, 0, 100}).data(), 32);
    EXPECT_EQ(c->LastDataAck, next);
    EXPECT_EQ(c->FlowWindow, 100);
    // Odd lengths are ignored.
    Deliver(&pair_, c->Id, Control(2, 1, {1, 2, 3}).data(), 28);
    EXPECT_EQ(c->LastDataAck, next);
    EXPECT_EQ(UDTSocket_GetState(c), UDT_STATE_CONNECTED);
}

TEST_F(UdtForged, LossReportsBeyondWhatWasSentOrMalformedAreIgnored) {
    UDTSocketStruct *c = pair_.Client;
    uint32_t cur = (uint32_t)c->CurrentSendSeq;
    const std::vector<std::vector<uint32_t>> bad = {
        {cur + 1},                          // never sent
        {0x80000000u | (cur - 1), cur + 9}, // range running past what was sent
        {0x80000000u | cur},                // range without its end
        {0x80000000u | cur, cur - 1},       // reversed range
        {0x80000000u | (cur - 1), 0x80000000u | cur},
    };
    for (const auto &words : bad) {
        auto bytes = Control(3, 0, words);
        Deliver(&pair_, c->Id, bytes.data(), (int)bytes.size());
        EXPECT_TRUE(LossList_IsEmpty(c->SendLoss)) << words[0];
    }
    auto good = Control(3, 0, {cur});
    Deliver(&pair_, c->Id, good.data(), (int)good.size());
    EXPECT_FALSE(LossList_IsEmpty(c->SendLoss));
}

TEST_F(UdtForged, DataBeyondTheWindowAndFromStrangersIsDropped) {
    UDTSocketStruct *s = pair_.Server;
    std::vector<uint8_t> data(16 + 8, 'd');
    uint32_t far = htonl((uint32_t)(s->LastAckSent + s->RecvBufferSize + 10) & 0x7FFFFFFF);
    memcpy(data.data(), &far, 4);
    int32_t current = s->CurrentRecvSeq;
    Deliver(&pair_, s->Id, data.data(), (int)data.size());
    EXPECT_EQ(s->CurrentRecvSeq, current);
    EXPECT_TRUE(LossList_IsEmpty(s->RecvLoss));
    UDTAddress stranger = pair_.Self;
    stranger.Port ^= 1;
    auto shutdown = Control(5, 0, {});
    Deliver(&pair_, s->Id, shutdown.data(), 16, &stranger);
    EXPECT_EQ(UDTSocket_GetState(s), UDT_STATE_CONNECTED);
    Deliver(&pair_, s->Id, shutdown.data(), 16);
    EXPECT_EQ(UDTSocket_GetState(s), UDT_STATE_BROKEN);
}

TEST_F(UdtForged, HandshakeWithTinySegmentIsRefused) {
    int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(raw, (struct sockaddr *)&sa, sizeof sa), 0);
    getsockname(raw, (struct sockaddr *)&sa, &len);
    UDTAddress from = pair_.Self;
    from.Port = ntohs(sa.sin_port);
    // version 4, stream, ISN 7, MSS 71, flow 32, request, id 99
    auto hs = Control(0, 0, {4, 1, 7, 71, 32, 1, 99});
    Deliver(&pair_, 0, hs.data(), (int)hs.size(), &from);
    uint8_t answer[128];
    ssize_t got = recv(raw, answer, sizeof answer, MSG_DONTWAIT);
    ASSERT_EQ(got, 16 + 28);
    uint32_t request, dest;
    memcpy(&request, answer + 16 + 20, 4);
    memcpy(&dest, answer + 12, 4);
    EXPECT_EQ(ntohl(request), 1002u);
    EXPECT_EQ(ntohl(dest), 99u);
    // A handshake shorter than seven words is not answered at all.
    Deliver(&pair_, 0, hs.data(), 16 + 24, &from);
    EXPECT_LT(recv(raw, answer, sizeof answer, MSG_DONTWAIT), 0);
    close(raw);
}

TEST_F(UdtForged, TailReceivedBeforeThePeersCloseIsRead) {
    // Data arrives, then the peer's shutdown, before any acknowledgement ran.
    Pair &p = pair_;
    for (int i = 0; i < 3; i++) { // one packet per pass; the ACK timer (10 ms) does not run
        p.Now += 0.0001;
        UDTMultiplexer_TestPump(p.Mux, p.Now);
    }
    UDTSocketStruct *s = p.Server;
    EXPECT_FALSE(RecvBuffer_HasData(s->RecvBuffer)); // received, not yet acknowledged
    auto shutdown = Control(5, 0, {});
    Deliver(&p, s->Id, shutdown.data(), 16);
    EXPECT_EQ(UDTSocket_GetState(s), UDT_STATE_BROKEN);
    char buffer[4000];
    int total = 0, n = 0;
    while (UDTSocket_Read(s, buffer, sizeof buffer, &n)) {
        total += n;
    }
    EXPECT_EQ(total, 3000);
    EXPECT_EQ(UDTSocket_GetLastError(s), 10057);
}
