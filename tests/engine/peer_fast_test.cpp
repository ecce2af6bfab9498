// The Fast extension on one connection over a TCP pair: when it is offered,
// the messages 13 to 17, Rejects for what is dropped or refused, the allowed-fast
// sets of both sides while choked, and blocks nobody asked for.
#include <gtest/gtest.h>

#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/tracker.h"
#include "tests/engine/peer_support.h"

using enginetest::Message;
using enginetest::PeerFixture;
using enginetest::Word;

namespace {

std::string Triple(uint32_t index, uint32_t begin, uint32_t length) {
    return Word(index) + Word(begin) + Word(length);
}

std::string Reject(uint32_t index, uint32_t begin, uint32_t length) {
    return Message(16, Triple(index, begin, length));
}

bool Has(const std::string &bytes, const std::string &part) {
    return bytes.find(part) != std::string::npos;
}

class PeerFast : public PeerFixture {
  protected:
    // A fresh Fast connection in state Good.
    void Fresh(int peerInterested, int choking) {
        BitPeer_Destroy(&peer_);
        peer_ = Connect();
        ASSERT_NE(nullptr, peer_);
        BitPeer_SetState(peer_, BITPEER_STATE_GOOD);
        lines_.clear();
        peer_->Fast = 1;
        peer_->PeerInterested = (uint8_t)peerInterested;
        peer_->ChokingPeer = (uint8_t)choking;
    }
    int Count(SliceStruct *list) {
        int n = 0;
        Slice_GetCount(list, &n);
        return n;
    }
};

// The handshake's Fast bit follows the manager's option and the tracker's word.
TEST_F(PeerFast, IsOfferedOnlyWhenTheTrackerAsksForIt) {
    Open(false);
    TrackerStruct *tracker = nullptr;
    Base_GetTracker(base_, &tracker);
    for (int useFast : {0, 1}) {
        SCOPED_TRACE(useFast);
        tracker->UseFast = useFast;
        BitPeer_Destroy(&peer_);
        peer_ = Connect();
        ASSERT_EQ(1, BitPeer_SendHandshake(peer_));
        Stream_Flush(peer_->Stream);
        const std::string bytes = Received();
        ASSERT_GE(bytes.size(), 28u);
        EXPECT_EQ(useFast ? 0x04 : 0, bytes[27] & 0x04);
        // Fixed once built: a later change of the tracker's word is not used.
        tracker->UseFast = !useFast;
        EXPECT_EQ(useFast, peer_->FastOffered);
    }
}

// Messages 13 to 17 read on a Fast connection of an empty download.
TEST_F(PeerFast, ReadsItsMessages) {
    Open(false);
    struct Case {
        const char *Name;
        std::string Bytes;
        int Result;
        const char *Line;
    } cases[] = {
        {"have all", Message(14), 1, "[Read]  HaveAll (Successful; needs 0 pieces)"},
        {"have none", Message(15), 1, "[Read]  HaveNone (Successful; needs 10 pieces)"},
        {"suggest past the end", Message(13, Word(10)), 1,
         "[Read] Fast-Suggest (Ignored; Index invalid (10 >= 10))"},
        {"allow fast past the end", Message(17, Word(99)), 1,
         "[Read] Fast-AllowFast (Ignored; Index invalid (99 >= 10))"},
        {"reject of nothing", Reject(1, 0, 16384), 1,
         "[Read] Fast-HaveReject (Ignored; No request 1:0:16384)"},
        {"have all long", Message(14, "x"), 0,
         "[Read] Fast-HaveAll (Failed; Message length (2 != 1)"},
        {"reject short", Message(16, Word(1)), 0,
         "[Read] Fast-HaveReject (Failed; Message length (5 != 13)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Fresh(0, 1);
        EXPECT_EQ(c.Result, Read(c.Bytes)) << Lines();
        EXPECT_TRUE(Logged(c.Line)) << Lines();
    }
    Fresh(0, 1);
    ASSERT_EQ(1, Read(Message(17, Word(3)) + Message(17, Word(3)) + Message(13, Word(4))));
    ASSERT_EQ(1, peer_->AllowedFastCount);
    EXPECT_EQ(3, peer_->AllowedFast[0].Index);
    ASSERT_EQ(1, peer_->SuggestedCount);
    EXPECT_EQ(4, peer_->Suggested[0]);
}

// A Reject takes exactly its block out of the queue and back to the picker.
TEST_F(PeerFast, ARejectReturnsExactlyThatBlock) {
    Open(false);
    Fresh(0, 1);
    Slice_Add(peer_->Requests, 1, 0, 16384);
    Slice_Add(peer_->Requests, 1, 16384, 16384);
    ASSERT_EQ(1, Read(Reject(1, 16384, 16384)));
    SliceMemberStruct *m = nullptr;
    EXPECT_EQ(1, Slice_Find(peer_->Requests, 1, 0, 16384, &m));
    EXPECT_EQ(0, Slice_Find(peer_->Requests, 1, 16384, 16384, &m));
    PieceStruct *picker = nullptr;
    Base_GetPiecePicker(base_, &picker);
    EXPECT_EQ(1, Slice_Find(picker->PartialList, 1, 16384, 16384, &m));
    Slice_RemoveAll(picker->PartialList);
    // A block nobody asked for is dropped without a Reject.
    peer_->Interested = 1;
    ASSERT_EQ(1, Read(Message(7, Word(2) + Word(0) + "data")));
    EXPECT_TRUE(Logged("[Read]  Piece (Not requested 2:0:4)")) << Lines();
    EXPECT_FALSE(Has(Received(), Message(16, Word(2) + Word(0) + Word(4))));
}

// Requests, Cancels and our Choke on a complete download.
TEST_F(PeerFast, AnswersRequestsCancelsAndChokesWithRejects) {
    Open(true);
    // While we choke, only pieces of the set we sent are served.
    Fresh(1, 1);
    peer_->SentFast[peer_->SentFastCount++] = 2;
    ASSERT_EQ(1, Read(Message(6, Triple(2, 0, 16384)) + Message(6, Triple(3, 0, 16384))));
    EXPECT_EQ(1, Count(peer_->Responses));
    EXPECT_TRUE(Has(Received(), Reject(3, 0, 16384)));
    // A Cancel removes a queued request and is answered; one of nothing is not.
    ASSERT_EQ(1, Read(Message(8, Triple(2, 0, 16384)) + Message(8, Triple(5, 0, 16384))));
    EXPECT_EQ(0, Count(peer_->Responses));
    std::string sent = Received();
    EXPECT_TRUE(Has(sent, Reject(2, 0, 16384)));
    EXPECT_FALSE(Has(sent, Reject(5, 0, 16384)));
    // Our Choke rejects what it drops and keeps the allowed-fast requests.
    Fresh(1, 0);
    peer_->SentFast[peer_->SentFastCount++] = 2;
    ASSERT_EQ(1, Read(Message(6, Triple(2, 0, 16384)) + Message(6, Triple(4, 0, 16384))));
    ASSERT_EQ(2, Count(peer_->Responses));
    ASSERT_EQ(1, BitPeer_SetFlow(peer_, BITPEER_FLOW_CHOKE));
    Stream_Flush(peer_->Stream);
    sent = Received();
    EXPECT_TRUE(Has(sent, Reject(4, 0, 16384)));
    EXPECT_FALSE(Has(sent, Reject(2, 0, 16384)));
    EXPECT_EQ(1, Count(peer_->Responses));
    // Not Interested rejects every request it drops.
    ASSERT_EQ(1, Read(Message(3)));
    EXPECT_EQ(0, Count(peer_->Responses));
    EXPECT_TRUE(Has(Received(), Reject(2, 0, 16384)));
    // Past the queue's cap a request is rejected.
    Fresh(1, 0);
    for (int i = 0; i < BITPEER_MAX_RESPONSES; i++)
        Slice_Add(peer_->Responses, i % 10, (i / 10) % 2 * 16384, 1 + i / 20);
    ASSERT_EQ(1, Read(Message(6, Triple(9, 0, 16384))));
    EXPECT_TRUE(Has(Received(), Reject(9, 0, 16384)));
    Slice_RemoveAll(peer_->Responses);
}

// Choked by the peer, we ask only for its allowed-fast pieces that it has and
// we lack; its Choke and Unchoke leave our sent flags alone.
TEST_F(PeerFast, RequestsOnlyAllowedFastPiecesWhileChoked) {
    Open(false);
    Fresh(0, 1);
    peer_->PeerChoking = 1;
    peer_->RequestDepth = 20;
    ASSERT_EQ(1, Read(Message(14) + Message(17, Word(6))));
    Slice_AddPiece(peer_->Requests, 5);
    ASSERT_EQ(1, BitPeer_SendRequests(peer_, 0));
    const std::string sent = Received();
    EXPECT_TRUE(Has(sent, Message(6, Triple(6, 0, 16384)))) << Lines();
    EXPECT_FALSE(Has(sent, Message(6, Triple(5, 0, 16384))));
    int before = 0, after = 0;
    Slice_GetSentCount(peer_->Requests, &before);
    ASSERT_GT(before, 0);
    ASSERT_EQ(1, Read(Message(0) + Message(1)));
    Slice_GetSentCount(peer_->Requests, &after);
    EXPECT_GE(after, before);
    Slice_RemoveAll(peer_->Requests);
}

} // namespace
