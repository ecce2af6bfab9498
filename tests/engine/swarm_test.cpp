// The swarm of a stopped manager's download, stepped by hand on a clock the
// test moves: admission ("Already connected", "Connect override", ports
// compared or not), the connection-type and transport orders, a failing
// outgoing connection tried as PE, Munge and Normal, "Close all" and the
// departed totals, the purge; the choke ranking, keep-alives and time-outs,
// the have queue and the availability counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <poll.h>
#include <thread>

#include "core/bitfield.h"
#include "core/random.h"
#include "engine/iplist.h"
#include "engine/slice.h"
#include "tests/engine/peer_support.h"

using enginetest::Message;
using enginetest::Word;

namespace {

class SwarmTest : public enginetest::PeerFixture {
  protected:
    // An accepted connection admitted to the swarm; its far end is raw_.
    BitPeerStruct *Admit(int expected = 1) {
        BitPeerStruct *peer = Connect(false);
        EXPECT_EQ(expected, BitBase_Contact(swarm_, peer));
        if (expected != 1) {
            BitPeer_Destroy(&peer);
            return nullptr;
        }
        BitPeer_SetLogCallback(peer, &PeerFixture::OnLine, 0);
        return peer;
    }
    // Admitted and in state Good, interested in us.
    BitPeerStruct *Good() {
        BitPeerStruct *p = Admit();
        BitPeer_SetState(p, BITPEER_STATE_GOOD);
        p->PeerInterested = 1;
        return p;
    }
    void Step(int n = 1) {
        for (int i = 0; i < n; i++)
            BitBase_Process(swarm_);
    }
    int Members() {
        int n = 0;
        BitBase_GetMemberCount(swarm_, &n);
        return n;
    }
    double Now() const { return clock_.Now.load(); }
    void Advance(double seconds) { clock_.Now = clock_.Now.load() + seconds; }
};

TEST_F(SwarmTest, AlreadyConnectedAndConnectOverride) {
    Open(true);
    Manager_SetIPListComparePorts(manager_, 0); // one member per address
    BitPeerStruct *first = Good();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1, Members());
    Admit(0);
    EXPECT_TRUE(testsupport::AlertSeen("Already connected [127.0.0.1:"))
        << testsupport::AlertText();
    EXPECT_TRUE(testsupport::AlertSeen("] [7:Good]"));
    // Still in Contact: the new connection replaces it.
    BitPeer_SetState(first, BITPEER_STATE_CONTACT);
    BitPeerStruct *second = Admit();
    ASSERT_NE(nullptr, second);
    EXPECT_TRUE(testsupport::AlertSeen("Overriding existing connection [127.0.0.1:"));
    EXPECT_EQ(BITPEER_STATE_CLOSE, first->State);
    EXPECT_TRUE(Logged("Closing at [Connect override]")) << Lines();
    EXPECT_EQ(1, Members());
    // Ports compared: another port of the address is another member.
    Manager_SetIPListComparePorts(manager_, 1);
    BitPeer_SetState(second, BITPEER_STATE_GOOD);
    ASSERT_NE(nullptr, Admit());
    EXPECT_EQ(2, Members());
    int64_t accepted = 0, opened = 0;
    BitBase_GetMembersAdded(swarm_, &accepted, &opened);
    EXPECT_EQ(3, accepted);
    EXPECT_EQ(0, opened);
}

TEST_F(SwarmTest, ConnectionAndTransportOrders) {
    Open(true);
    auto order = [&]() {
        std::vector<int> types;
        int type = 0;
        while (BitBase_NextConnectionType(type, swarm_, &type))
            types.push_back(type);
        return types;
    };
    EXPECT_EQ((std::vector<int>{8, 2, 1}), order()); // the default 11: never PlainText
    Manager_SetOutgoingConnectionTypes(manager_, -1);
    EXPECT_EQ((std::vector<int>{8, 2, 4, 1}), order());
    Content_SetClosed(content_, 1);
    EXPECT_EQ((std::vector<int>{8}), order());
    Content_SetClosed(content_, 0);
    int next = 0;
    EXPECT_EQ(1, BitBase_NextTransportType(&next, swarm_, 0));
    EXPECT_EQ(TRANSPORT_TYPE_NORMAL, next);
    EXPECT_EQ(0, BitBase_NextTransportType(&next, swarm_, TRANSPORT_TYPE_NORMAL));
    Manager_SetOutgoingTransports(manager_, 3);
    EXPECT_EQ(1, BitBase_NextTransportType(&next, swarm_, TRANSPORT_TYPE_NORMAL));
    EXPECT_EQ(TRANSPORT_TYPE_UDT, next);
}

TEST_F(SwarmTest, AFailingConnectionIsTriedAsPEThenMungeThenNormal) {
    Open(true);
    // A listener that takes every connection and closes it at once.
    int port = 0;
    const int fd = enginetest::HoldPort(SOCK_STREAM, &port);
    ASSERT_GE(fd, 0);
    std::atomic<bool> stop{false};
    std::thread closer([&] {
        while (!stop) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                int c = accept(fd, nullptr, nullptr);
                if (c >= 0)
                    close(c);
            }
        }
    });
    IPListStruct *list = nullptr;
    Base_GetIPList(base_, &list);
    IPListMemberStruct *entry = nullptr;
    IPList_AddMember(&entry, list, enginetest::kLoopbackAddress, port);
    Base_SetActive(base_, 1);
    for (int i = 0; i < 3000 && !testsupport::AlertSeen("[Munge], trying [Normal]"); i++) {
        Step();
        usleep(1000);
    }
    for (int i = 0; i < 3000 && Members() > 0; i++) {
        Step();
        usleep(1000);
    }
    stop = true;
    closer.join();
    close(fd);
    EXPECT_TRUE(testsupport::AlertSeen("Attempting connection type [PE]"));
    EXPECT_TRUE(testsupport::AlertSeen("Failed to connect using [PE], trying [Munge]"));
    EXPECT_TRUE(testsupport::AlertSeen("Failed to connect using [Munge], trying [Normal]"))
        << testsupport::AlertText();
    EXPECT_FALSE(testsupport::AlertSeen("PlainText"));
    EXPECT_EQ(0, Members()); // given up after Normal, removed
    Base_SetActive(base_, 0);
}

TEST_F(SwarmTest, PauseClosesAllAndARestartClearsTheDepartedTotals) {
    Open(true);
    Base_SetActive(base_, 1);
    Step();
    BitPeerStruct *p = Good();
    p->BytesReceived = 1000;
    p->BytesSent = 300;
    Base_SetActive(base_, 0);
    Step();
    EXPECT_TRUE(Logged("Closing at [Close all]")) << Lines();
    Step();
    EXPECT_EQ(0, Members());
    TransferTotalsStruct t = {};
    BitBase_GetTransferTotals(swarm_, &t);
    EXPECT_EQ(1000u, t.Received);
    EXPECT_EQ(300u, t.Sent);
    Base_SetActive(base_, 1);
    Step();
    BitBase_GetTransferTotals(swarm_, &t);
    EXPECT_EQ(0u, t.Received);
    EXPECT_EQ(0u, t.Sent);
    Base_SetActive(base_, 0);
}

TEST_F(SwarmTest, PurgeFreesARemovedMemberOnlyWhenUnused) {
    Open(true);
    Admit();
    BitBaseMemberStruct *m = nullptr;
    ASSERT_EQ(1, BitBase_GetFirstMember(swarm_, &m));
    BitBase_RemoveMember(swarm_, m);
    BitBase_RemoveMember(swarm_, m); // counted once
    EXPECT_EQ(0, Members());
    BitBase_Purge(swarm_, 0);
    EXPECT_EQ(m, swarm_->Members); // still held
    BitBaseMemberStruct *next = nullptr;
    EXPECT_EQ(0, BitBase_GetNextMember(m, swarm_, &next)); // drops the use
    BitBase_Purge(swarm_, 0);
    EXPECT_EQ(nullptr, swarm_->Members);
}

// Top ten of the eligible members but the optimistic one, by bytes received.
TEST_F(SwarmTest, TwelveDownloadingPeersRankedWithOneOptimisticPick) {
    Open(true);
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(content_, &held);
    Bitfield_Clear(held, 9); // downloading: ranked by bytes received
    RandomStruct *random = nullptr;
    Base_GetRandom(base_, &random);
    std::vector<BitPeerStruct *> peers;
    for (int i = 0; i < 12; i++) {
        BitPeerStruct *p = Good();
        p->BytesReceived = (i + 1) * 1000;
        peers.push_back(p);
    }
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE(seed);
        Random_Seed(random, seed);
        Advance(30);
        ASSERT_EQ(1, BitBase_EvaluateChoke(swarm_));
        ASSERT_NE(nullptr, swarm_->Slots[10]);
        BitPeerStruct *optimistic = swarm_->Slots[10]->Connection;
        std::vector<BitPeerStruct *> rest;
        for (BitPeerStruct *p : peers)
            if (p != optimistic)
                rest.push_back(p);
        std::sort(rest.begin(), rest.end(), [](BitPeerStruct *a, BitPeerStruct *b) {
            return a->BytesReceived > b->BytesReceived;
        });
        std::vector<BitPeerStruct *> slotted;
        for (int i = 0; i < 10; i++) {
            ASSERT_NE(nullptr, swarm_->Slots[i]);
            slotted.push_back(swarm_->Slots[i]->Connection);
        }
        for (int i = 0; i < 10; i++)
            EXPECT_NE(slotted.end(), std::find(slotted.begin(), slotted.end(), rest[i]));
        EXPECT_EQ(1, rest[10]->ChokingPeer); // the one left out
        for (BitPeerStruct *p : slotted)
            EXPECT_EQ(0, p->ChokingPeer);
        EXPECT_EQ(0, optimistic->ChokingPeer);
    }
    EXPECT_TRUE(testsupport::AlertSeen("Potentially 12 members (12 total, "));
}

TEST_F(SwarmTest, SeedingRanksByTheEarliestUnchoke) {
    Open(true);
    std::vector<BitPeerStruct *> peers;
    for (int i = 0; i < 12; i++) {
        BitPeerStruct *p = Good();
        p->LastUnchokeTime = i == 5 ? 0 : 100 + i; // peer 5 was never unchoked
        peers.push_back(p);
    }
    Advance(30);
    BitBase_EvaluateChoke(swarm_);
    EXPECT_EQ(0, peers[5]->ChokingPeer);
    int choked = 0;
    for (BitPeerStruct *p : peers)
        choked += p->ChokingPeer;
    EXPECT_EQ(1, choked);
    // Left out: the latest unchoked, or the next latest when that was the optimistic pick.
    EXPECT_TRUE(peers[11]->ChokingPeer || peers[10]->ChokingPeer);
    // Due every 30 seconds only.
    const int before = swarm_->LogCount;
    Advance(10);
    BitBase_EvaluateChoke(swarm_);
    EXPECT_EQ(before, swarm_->LogCount);
}

TEST_F(SwarmTest, KeepAliveAtTheIntervalAndCloseAtThreeIntervals) {
    Open(true);
    BitPeerStruct *p = Good();
    swarm_->LastKeepAliveCheck = Now();
    Advance(119);
    BitBase_CheckKeepAlive(swarm_);
    EXPECT_EQ(0, p->KeepAlivePending);
    Advance(1);
    BitBase_CheckKeepAlive(swarm_);
    EXPECT_EQ(1, p->KeepAlivePending);
    EXPECT_EQ(Word(0), Received());
    Advance(240);
    BitBase_CheckKeepAlive(swarm_);
    EXPECT_EQ(BITPEER_STATE_FAILURE, p->State);
    EXPECT_TRUE(Logged("Closing at [KeepAlive timeout]")) << Lines();
}

TEST_F(SwarmTest, AContactPastTheTimeoutMovesToUdtOnlyWhenAllowed) {
    Open(true);
    for (int transports : {1, 3}) {
        SCOPED_TRACE(transports);
        Manager_SetOutgoingTransports(manager_, transports);
        int port = 0;
        const int fd = enginetest::HoldPort(SOCK_STREAM, &port);
        TransportStruct *t = nullptr;
        Transport_Create(&t);
        Transport_SetType(t, TRANSPORT_TYPE_NORMAL);
        ASSERT_EQ(1, BitBase_Connect(t, enginetest::kLoopbackAddress, swarm_, port));
        BitBaseMemberStruct *m = swarm_->Members;
        BitPeerStruct *p = m->Connection;
        BitPeer_SetLogCallback(p, &PeerFixture::OnLine, 0);
        lines_.clear();
        EXPECT_EQ(1, BitBase_CheckMemberTimeouts(swarm_, m, Now() + 19));
        const int result = BitBase_CheckMemberTimeouts(swarm_, m, Now() + 21);
        EXPECT_TRUE(Logged("Closing at [Connect timeout]")) << Lines();
        int type = 0;
        Transport_GetType(p->Transport, &type);
        if (transports == 3) {
            EXPECT_EQ(1, result);
            EXPECT_EQ(TRANSPORT_TYPE_UDT, type);
            EXPECT_EQ(BITPEER_STATE_CONTACT, p->State);
            EXPECT_TRUE(testsupport::AlertSeen("Failed to connect using [Normal], trying [UDT]"));
        } else {
            EXPECT_EQ(0, result);
            EXPECT_EQ(TRANSPORT_TYPE_NORMAL, type);
        }
        BitPeer_Close(p, "Done", 0);
        BitBase_RemoveMember(swarm_, m);
        BitBase_Purge(swarm_, 0);
        close(fd);
    }
}

TEST_F(SwarmTest, SliceAndValueTimeoutsBothWaysAfterTheGrace) {
    Open(true);
    struct {
        const char *Name;
        int SeedMode;
        bool Requests;  // our requests outstanding
        bool Responses; // the peer's requests queued
        double Unchoked;
        const char *Line;
        const char *Reason;
    } cases[] = {
        {"client slice", 0, true, false, 0, "No slice activity (client) in 301/120 secs (2 slices)",
         "Slice timeout"},
        {"client value", 0, false, false, 0, "No actual transfer activity (client) in 301/300 secs",
         "Value timeout"},
        {"seed slice", 1, false, true, 0, "No slice activity (seed) in 301/120 secs (1 slices)",
         "Slice timeout"},
        {"seed value", 1, false, false, 1, "No actual transfer activity (seed) in 301/300 secs",
         "Value timeout"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        swarm_->SeedModeOn = c.SeedMode;
        BitPeerStruct *p = Good();
        BitBaseMemberStruct *m = swarm_->Members;
        const double start = Now();
        p->ReceiveMark = p->LastBlockTime = p->LastSentTime = start;
        p->LastMessageTime = start + 300; // not silent
        swarm_->LastKeepAliveCheck = start + 300;
        p->LastUnchokeTime = c.Unchoked;
        if (c.Requests)
            Slice_AddPiece(p->Requests, 3);
        if (c.Responses)
            Slice_Add(p->Responses, 2, 0, 16384);
        lines_.clear();
        // The grace: nothing closes within 300 s of the last state change.
        EXPECT_EQ(1, BitBase_CheckMemberTimeouts(swarm_, m, start + 299));
        EXPECT_EQ(0, BitBase_CheckMemberTimeouts(swarm_, m, start + 301));
        EXPECT_TRUE(Logged(c.Line)) << Lines();
        EXPECT_TRUE(Logged(std::string("Closing at [") + c.Reason + "]")) << Lines();
        BitBase_RemoveMember(swarm_, m);
        BitBase_Purge(swarm_, 0);
    }
}

TEST_F(SwarmTest, TheHaveFlushSkipsPiecesOlderThanTheConnection) {
    Open(true);
    BitBase_QueueHave(swarm_, 1); // before the connection reached Good
    Advance(10);
    BitPeerStruct *p = Good();
    (void)p;
    Advance(10);
    BitBase_QueueHave(swarm_, 2);
    BitBase_FlushHaveQueue(swarm_);
    EXPECT_EQ(Message(4, Word(2)), Received());
    EXPECT_TRUE(testsupport::AlertSeen("Performing queued flush of 2 members: 1 2"));
    EXPECT_EQ(0, swarm_->HaveQueueCount);
    BitBase_SetHaveQueueSize(0, swarm_); // a job value below 1: one entry
    EXPECT_EQ(1, swarm_->HaveQueueSize);
    EXPECT_TRUE(testsupport::AlertSeen("Have queue must be at least 1 (0)"));
    BitBase_QueueHave(swarm_, 3); // a queue of one flushes at once
    EXPECT_EQ(Message(4, Word(3)), Received());
}

TEST_F(SwarmTest, AvailabilityCountsAndHalvesAt251) {
    Open(true);
    BitPeerStruct *seed = Admit();
    Bitfield_SetAll(seed->PeerPieces);
    BitPeerStruct *some = Admit();
    Bitfield_Set(some->PeerPieces, 0);
    Admit(); // holds nothing
    uint8_t counts[10];
    ASSERT_EQ(1, BitBase_GetAvailability(swarm_, counts, 10));
    EXPECT_EQ(2, counts[0]);
    EXPECT_EQ(1, counts[1]);
    // The picker's hook adds to what it is given: 249 + 2 reaches 251, so all halve.
    uint8_t table[10];
    memset(table, 249, sizeof table);
    table[5] = 1;
    ASSERT_EQ(1, BitBase_AddPieceFrequency(swarm_, table, 10));
    EXPECT_EQ(125, table[0]); // 251 / 2
    EXPECT_EQ(125, table[1]); // 250 / 2
    EXPECT_EQ(1, table[5]);   // 2 -> 1
    EXPECT_EQ(0, BitBase_GetAvailability(swarm_, counts, 9));
    EXPECT_TRUE(testsupport::AlertSeen("Scarcity failed on bit comparision (10 != 9)"));
    int available = 0;
    BitBase_GetSwarmPieceCount(swarm_, &available);
    EXPECT_EQ(10, available);
}

} // namespace
