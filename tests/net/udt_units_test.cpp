// Unit tests of the reliable UDP transport's parts: sequence arithmetic, packets,
// loss lists, buffers, windows and congestion control.
#include <gtest/gtest.h>

#include <cstring>

#include "core/zyl.h"
#include "net/udt_buffer.h"
#include "net/udt_ccc.h"
#include "net/udt_losslist.h"
#include "net/udt_packet.h"
#include "net/udt_seq.h"
#include "net/udt_window.h"
#include "udt_test_util.h"

TEST(UdtSeq, ArithmeticAtTheWrap) {
    EXPECT_EQ(UDTSeq_Increment(0x7FFFFFFE), 0);
    EXPECT_EQ(UDTSeq_Decrement(0), 0x7FFFFFFE);
    EXPECT_GT(UDTSeq_Compare(0, 0x7FFFFFFE), 0);
    EXPECT_LT(UDTSeq_Compare(0x7FFFFFFE, 0), 0);
    EXPECT_EQ(UDTSeq_Compare(5, 5), 0);
    EXPECT_LT(UDTSeq_Compare(5, 9), 0);
    EXPECT_EQ(UDTSeq_Length(0x7FFFFFFE, 0), 2);
    EXPECT_EQ(UDTSeq_Length(3, 3), 1);
    EXPECT_EQ(UDTSeq_Length(3, 10), 8);
    EXPECT_EQ(UDTSeq_Offset(0x7FFFFFFE, 0), 1);
    EXPECT_EQ(UDTSeq_Offset(0, 0x7FFFFFFE), -1);
    EXPECT_EQ(UDTSeq_Offset(10, 4), -6);
    EXPECT_EQ(UDTSeq_Offset(0x7FFFFFF0, 5), 20);
    // Wire values with the flag bit or out-of-range numbers never overflow.
    EXPECT_EQ(UDTSeq_FromWire(0x80000006u), 6);
    (void)UDTSeq_Compare(0x7FFFFFFF, 0);
    (void)UDTSeq_Offset(0, 0x7FFFFFFF);
}

TEST(UdtPacket, ControlRoundTripAndDataUntouched) {
    UDTPacketStruct *p = nullptr;
    Packet_Create(&p);
    Packet_SetPayloadSize(p, 64);
    Packet_SetControlType(p, 6);
    EXPECT_EQ(p->Header[0], 0x80060000u);
    Packet_SetControlType(p, 3);
    Packet_SetAckSequence(p, 77);
    Packet_SetDestination(p, 12345);
    uint32_t words[3] = {7, 0x8000000Au, 12};
    memcpy(p->Payload, words, sizeof words);
    p->PayloadLength = 12;
    for (int round = 0; round < 3; round++) {
        Packet_ToNetwork(p);
        EXPECT_EQ(p->Payload[3], 7); // big-endian on the wire
        Packet_ToHost(p);
    }
    EXPECT_TRUE(Packet_IsControl(p));
    EXPECT_EQ(Packet_GetControlType(p), 3);
    EXPECT_EQ(Packet_GetAckSequence(p), 77);
    EXPECT_EQ(Packet_GetDestination(p), 12345);
    EXPECT_EQ(memcmp(p->Payload, words, sizeof words), 0);

    Packet_SetSequence(p, 42);
    memcpy(p->Payload, "abcd", 4);
    p->PayloadLength = 4;
    Packet_ToNetwork(p);
    EXPECT_EQ(memcmp(p->Payload, "abcd", 4), 0);
    Packet_ToHost(p);
    EXPECT_FALSE(Packet_IsControl(p));
    EXPECT_EQ(Packet_GetSequence(p), 42);
    Packet_Destroy(&p);
    EXPECT_EQ(p, nullptr);
}

TEST(UdtPacketDeath, SecondSizing) {
    EXPECT_DEATH(
        {
            UDTPacketStruct *p = nullptr;
            Packet_Create(&p);
            Packet_SetPayloadSize(p, 8);
            Packet_SetPayloadSize(p, 8);
        },
        "Do not call Packet_SetPayloadSize\\(\\) more then once");
}

static std::vector<uint32_t> Report(UDTLossListStruct *l, int max = 64) {
    std::vector<uint32_t> w(max);
    w.resize(LossList_Report(l, w.data(), max));
    return w;
}

TEST(UdtLossList, InsertMergeAndRemove) {
    UDTLossListStruct *l = nullptr;
    LossList_Create(&l);
    int added = 0;
    LossList_Insert(l, 6, 8, &added);
    EXPECT_EQ(added, 3);
    LossList_Insert(l, 20, 20, &added);
    LossList_Insert(l, 12, 14, &added);
    EXPECT_EQ(Report(l), (std::vector<uint32_t>{0x80000006u, 8, 0x8000000Cu, 14, 20}));
    // Overlapping insert widens and merges following ranges, counting only new numbers.
    LossList_Insert(l, 7, 13, &added);
    EXPECT_EQ(added, 3); // 9, 10, 11
    EXPECT_EQ(Report(l), (std::vector<uint32_t>{0x80000006u, 14, 20}));
    // Adjacent ranges stay separate.
    LossList_Insert(l, 15, 15, &added);
    EXPECT_EQ(Report(l), (std::vector<uint32_t>{0x80000006u, 14, 15, 20}));
    EXPECT_EQ(l->Count, 11);
    // Remove one splits a range.
    EXPECT_TRUE(LossList_RemoveOne(l, 7));
    EXPECT_EQ(Report(l), (std::vector<uint32_t>{6, 0x80000008u, 14, 15, 20}));
    EXPECT_FALSE(LossList_RemoveOne(l, 30));
    // Report stops before a range that does not fit.
    EXPECT_EQ(Report(l, 2), (std::vector<uint32_t>{6}));
    LossList_RemoveUpTo(l, 10);
    EXPECT_EQ(Report(l), (std::vector<uint32_t>{0x8000000Bu, 14, 15, 20}));
    int32_t seq = 0;
    EXPECT_TRUE(LossList_PopFirst(l, &seq));
    EXPECT_EQ(seq, 11);
    LossList_RemoveUpTo(l, 100);
    EXPECT_TRUE(LossList_IsEmpty(l));
    EXPECT_FALSE(LossList_PopFirst(l, &seq));
    // Ranges across the wrap.
    LossList_Insert(l, 0x7FFFFFFD, 1, &added);
    EXPECT_EQ(added, 4);
    LossList_Insert(l, 0x7FFFFFFC, 0, &added);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(Report(l), (std::vector<uint32_t>{0xFFFFFFFCu, 1}));
    LossList_Destroy(&l);
}

TEST(UdtLossListDeathTest, TotalsThatDisagreeWithTheRangesStopTheProgram) {
    UDTLossListStruct *l = nullptr;
    LossList_Create(&l);
    int added = 0;
    LossList_Insert(l, 6, 8, &added);
    LossList_Insert(l, 12, 12, &added);
    EXPECT_EQ(1, LossList_CheckInvariants(l));
    l->Count = 3;
    EXPECT_DEATH(LossList_CheckInvariants(l),
                 "Loss list totals mismatch \\(count 4 != 3, ranges 2 != 2, ordered 1\\)");
    l->Count = 4;
    LossList_Destroy(&l);
}

TEST(UdtSendBuffer, CoalescesSmallWritesAndReleases) {
    UDTSendBufferStruct *b = nullptr;
    SendBuffer_Create(&b);
    SendBuffer_Open(b, 100, 1000); // 10 packets
    char data[2000];
    memset(data, 'x', sizeof data);
    int taken = 0, sendable = 0;
    SendBuffer_Append(b, data, 10, &taken, &sendable);
    EXPECT_EQ(taken, 10);
    EXPECT_EQ(sendable, 1);
    SendBuffer_Append(b, data, 20, &taken, &sendable);
    EXPECT_EQ(sendable, 0);
    EXPECT_EQ(b->Count, 1);
    UDTPacketStruct *p = SendBuffer_NextUnsent(b);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->PayloadLength, 30);
    EXPECT_EQ(SendBuffer_NextUnsent(b), nullptr);
    // A sent packet is never topped up.
    SendBuffer_Append(b, data, 5, &taken, &sendable);
    EXPECT_EQ(sendable, 1);
    EXPECT_EQ(b->Count, 2);
    EXPECT_EQ(SendBuffer_GetRoom(b), 8 * 100 + 95);
    SendBuffer_Append(b, data, 2000, &taken, &sendable);
    EXPECT_EQ(taken, 895);
    EXPECT_EQ(SendBuffer_GetRoom(b), 0);
    EXPECT_EQ(SendBuffer_GetPending(b), 930);
    EXPECT_EQ(SendBuffer_GetSent(b, 0), p);
    EXPECT_EQ(SendBuffer_GetSent(b, 1), nullptr); // not sent yet
    SendBuffer_Release(b, 1);
    EXPECT_EQ(SendBuffer_GetPending(b), 900);
    EXPECT_EQ(SendBuffer_GetRoom(b), 100);
    SendBuffer_Destroy(&b);
}

TEST(UdtSendBufferDeath, DefaultsAndChecks) {
    UDTSendBufferStruct *b = nullptr;
    SendBuffer_Create(&b);
    SendBuffer_Open(b, 1456, 1000000);
    EXPECT_EQ(b->Capacity, 686);
    SendBuffer_Destroy(&b);
    EXPECT_DEATH(
        {
            SendBuffer_Create(&b);
            SendBuffer_Open(b, 100, 0);
        },
        "Limit \\(0\\) is not positive");
}

static UDTPacketStruct *DataPacket(const char *text) {
    UDTPacketStruct *p = nullptr;
    Packet_Create(&p);
    Packet_SetPayloadSize(p, 16);
    p->PayloadLength = (int)strlen(text);
    memcpy(p->Payload, text, (size_t)p->PayloadLength);
    return p;
}

TEST(UdtRecvBuffer, StoresOutOfOrderAndReadsAcknowledged) {
    UDTRecvBufferStruct *b = nullptr;
    RecvBuffer_Create(&b);
    RecvBuffer_Open(b, 4); // 3 usable slots
    EXPECT_EQ(RecvBuffer_GetFree(b), 3);
    UDTPacketStruct *p = DataPacket("cc");
    EXPECT_FALSE(RecvBuffer_Store(b, &p, 3)); // offset == free slots: dropped
    EXPECT_TRUE(RecvBuffer_Store(b, &p, 2));
    EXPECT_EQ(p, nullptr);
    p = DataPacket("bb");
    EXPECT_TRUE(RecvBuffer_IsFilled(b, 2));
    EXPECT_TRUE(RecvBuffer_Store(b, &p, 1));
    p = DataPacket("dup");
    EXPECT_FALSE(RecvBuffer_Store(b, &p, 1));
    Packet_Destroy(&p);
    p = DataPacket("aa");
    RecvBuffer_Store(b, &p, 0);
    char out[8] = {0};
    int n = 0;
    RecvBuffer_Read(b, out, sizeof out, &n);
    EXPECT_EQ(n, 0); // nothing acknowledged yet
    RecvBuffer_Acknowledge(b, 3);
    EXPECT_EQ(RecvBuffer_GetReadable(b), 3);
    EXPECT_EQ(RecvBuffer_GetFree(b), 0);
    RecvBuffer_Read(b, out, 3, &n);
    EXPECT_EQ(std::string(out, 3), "aab");
    RecvBuffer_Read(b, out, sizeof out, &n);
    EXPECT_EQ(std::string(out, (size_t)n), "bcc");
    EXPECT_EQ(RecvBuffer_GetFree(b), 3);
    RecvBuffer_Destroy(&b);
}

TEST(UdtAckWindow, LookupDiscardsOlder) {
    UDTAckWindowStruct *w = nullptr;
    AckWindow_Create(&w);
    for (int i = 1; i <= 5; i++) {
        AckWindow_Store(w, i, 100 + i, i * 0.5);
    }
    int32_t ack = 0;
    double t = 0;
    EXPECT_TRUE(AckWindow_Lookup(w, 3, &ack, &t));
    EXPECT_EQ(ack, 103);
    EXPECT_EQ(t, 1.5);
    EXPECT_FALSE(AckWindow_Lookup(w, 2, &ack, &t)); // discarded with the match
    EXPECT_EQ(ack, 0);
    EXPECT_TRUE(AckWindow_Lookup(w, 5, &ack, &t));
    // A full ring loses its oldest record.
    for (int i = 0; i < UDT_ACK_WINDOW_SIZE + 1; i++) {
        AckWindow_Store(w, 1000 + i, i, 0);
    }
    EXPECT_FALSE(AckWindow_Lookup(w, 1000, &ack, &t));
    EXPECT_FALSE(AckWindow_Lookup(w, 1001, &ack, &t)); // the ring keeps size - 1
    EXPECT_TRUE(AckWindow_Lookup(w, 1002, &ack, &t));
    AckWindow_Destroy(&w);
}

TEST(UdtArrivalWindow, RateAndCapacity) {
    UDTArrivalWindowStruct *w = nullptr;
    ArrivalWindow_Create(&w, 0.0);
    double now = 0;
    for (int seq = 0; seq < 64 * 16; seq++) {
        now += (seq % 16 == 1) ? 0.0001 : 0.001; // probe pairs 0.1 ms apart
        ArrivalWindow_OnArrival(w, seq, now);
    }
    int rate = ArrivalWindow_GetReceiveRate(w);
    EXPECT_NEAR(rate, 1000, 20);
    EXPECT_NEAR(ArrivalWindow_GetCapacity(w), 10000, 200);
    ArrivalWindow_Destroy(&w);
}

TEST(UdtCongestion, SlowStartRateControlAndLoss) {
    UDTCongestionStruct *cc = nullptr;
    Congestion_Create(&cc);
    Congestion_SetCurrentSequence(cc, 99);
    Congestion_SetReceiveRate(cc, 0);
    Congestion_SetRtt(cc, 0);
    Congestion_SetLinkCapacity(cc, 1);
    Congestion_Init(cc, 1500, 8, 10.0);
    EXPECT_EQ(Congestion_GetWindow(cc), 8);
    EXPECT_EQ(Congestion_GetPeriod(cc), 0.000001);
    Congestion_OnAck(cc, 105, 10.005); // within 0.01 s: nothing
    EXPECT_EQ(Congestion_GetWindow(cc), 8);
    Congestion_OnAck(cc, 105, 10.02); // adds 7: above the flow window of 8
    EXPECT_EQ(cc->SlowStart, 0);
    // Receive rate 0: the period spreads the window over RTT + 0.01 s.
    // (then shortened a little by the same step's rate increase)
    EXPECT_NEAR(Congestion_GetPeriod(cc), 0.01 / 15, 1e-6);

    cc->Period = 0.000008;
    cc->LastDecreaseSeq = 50;
    Congestion_SetCurrentSequence(cc, 200);
    Congestion_OnLoss(cc, 120);
    EXPECT_NEAR(Congestion_GetPeriod(cc), 0.000009, 1e-12);
    EXPECT_EQ(cc->LastDecreaseSeq, 200);
    EXPECT_GE(cc->DecreaseInterval, 1);
    Congestion_OnAck(cc, 130, 10.04); // clears the loss flag only
    EXPECT_NEAR(Congestion_GetPeriod(cc), 0.000009, 1e-12);
    Congestion_SetLinkCapacity(cc, 100000);
    Congestion_OnAck(cc, 140, 10.06);
    EXPECT_LT(Congestion_GetPeriod(cc), 0.000009);
    Congestion_Destroy(&cc);
}

TEST(UdtPeerHistory, LeastRecentlyStoredIsReplacedWhenFull) {
    udttest::Start(); // the live layer's history: whatever it holds is stored before these
    auto address = [](int i, uint8_t a[4]) {
        a[0] = 10;
        a[1] = (uint8_t)(i >> 16);
        a[2] = (uint8_t)(i >> 8);
        a[3] = (uint8_t)i;
    };
    uint8_t a[4];
    for (int i = 0; i < 2 * UDT_PEER_HISTORY_SIZE; i++) {
        address(i, a);
        PeerHistory_Store(a, 0.5, i);
    }
    EXPECT_EQ(PeerHistory_GetCount(), UDT_PEER_HISTORY_SIZE);
    double rtt = 0;
    int capacity = 0;
    address(UDT_PEER_HISTORY_SIZE - 1, a);
    EXPECT_FALSE(PeerHistory_Lookup(a, &rtt, &capacity)); // stored before the last 1024
    address(UDT_PEER_HISTORY_SIZE, a);
    EXPECT_TRUE(PeerHistory_Lookup(a, &rtt, &capacity));
    EXPECT_EQ(capacity, UDT_PEER_HISTORY_SIZE);
    PeerHistory_Store(a, 0.25, 77); // stored again: updated in place, and now the newest
    EXPECT_EQ(PeerHistory_GetCount(), UDT_PEER_HISTORY_SIZE);
    address(2 * UDT_PEER_HISTORY_SIZE, a);
    PeerHistory_Store(a, 0.5, 1);
    address(UDT_PEER_HISTORY_SIZE, a);
    EXPECT_TRUE(PeerHistory_Lookup(a, &rtt, &capacity));
    EXPECT_EQ(rtt, 0.25);
    EXPECT_EQ(capacity, 77);
    address(UDT_PEER_HISTORY_SIZE + 1, a); // the oldest left: replaced by the last store
    EXPECT_FALSE(PeerHistory_Lookup(a, &rtt, &capacity));
}
