// The peer connection's message reader over a real TCP pair: per id the
// accepted and the wrong lengths, out-of-range indices, choked or not,
// interested or not, with their log lines; keep-alives; the flow messages'
// flags; a corrupt piece fetched again whole once; the 65th error; the request
// depth of the moment; more than a buffer's worth read in one turn.
#include <gtest/gtest.h>

#include "core/bitfield.h"
#include "engine/bufferio.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "tests/engine/peer_support.h"

using enginetest::Message;
using enginetest::Word;

namespace {

class PeerReader : public enginetest::PeerFixture {};

struct ReaderCase {
    const char *Name;
    bool Complete;       // our content holds every piece
    bool PeerInterested; // before the message
    bool Choking;        // we choke the peer before the message
    std::string Bytes;
    int Result;
    const char *Line; // logged by the reader
    int Errors;       // error count afterwards
};

std::string Triple(uint32_t index, uint32_t begin, uint32_t length) {
    return Word(index) + Word(begin) + Word(length);
}

TEST_F(PeerReader, MessagesAsTheTableSays) {
    const ReaderCase cases[] = {
        {"choke", false, false, true, Message(0), 1,
         "[Read]  Choke (Successful, 0 slices in queue, 0 received, unchoked total 0 secs)", 0},
        {"choke long", false, false, true, Message(0, "x"), 0,
         "[Read]  Choke (Failed; Message length (2 != 1)", 0},
        {"unchoke", false, false, true, Message(1), 1,
         "[Read]  Unchoke (Successful, 0 slices in queue)", 0},
        {"unchoke long", false, false, true, Message(1, "xy"), 0,
         "[Read]  Unchoke (Failed; Message length (3 != 1)", 0},
        {"interested", true, false, true, Message(2), 1, "[Read]  Interested (Successful 1:0:10)",
         0},
        {"interested long", true, false, true, Message(2, "x"), 0,
         "[Read]  Interested (Failed; Message length (2 != 1)", 0},
        {"not interested", true, true, true, Message(3), 1, "[Read]  Not Interested (Successful)",
         0},
        {"not interested long", true, true, true, Message(3, "x"), 0,
         "[Read]  Not Interested (Failed; Message length (2 != 1)", 0},
        {"have", false, false, true, Message(4, Word(3)), 1, "[Read]  Have (Successful 3, 9 left)",
         0},
        {"have at the count", false, false, true, Message(4, Word(10)), 0,
         "[Read]  Have (Failed; Index invalid (10 >= 10)", 0},
        {"have all ones", false, false, true, Message(4, Word(0xFFFFFFFFu)), 0,
         "[Read]  Have (Failed; Index invalid (4294967295 >= 10)", 0},
        {"have short", false, false, true, Message(4, "abc"), 0,
         "[Read]  Have (Failed; Message length (4 != 5)", 0},
        {"bitfield", false, false, true, Message(5, std::string("\xA0\x00", 2)), 1,
         "[Read]  BitField (Successful; needs 8 pieces)", 0},
        {"bitfield long", false, false, true, Message(5, "abc"), 0,
         "[Read]  BitField (Failed; Message length (3 != 2)", 0},
        {"request", true, true, false, Message(6, Triple(1, 0, 16384)), 1,
         "[Read]  Request (Successful 1:0:16384)", 0},
        {"request not interested", true, false, false, Message(6, Triple(1, 0, 16384)), 0,
         "[Read]  Request (Failed; BitPeer not interested 1:0:16384)", 0},
        {"request choked", true, true, true, Message(6, Triple(1, 0, 16384)), 1,
         "[Read]  Request (Failed; BitPeer is choked 1:0:16384)", 1},
        {"request not held", false, true, false, Message(6, Triple(1, 0, 16384)), 0,
         "[Read]  Request (Failed; Not available 1:0:16384)", 0},
        {"request too long", true, true, false, Message(6, Triple(1, 0, 131073)), 0,
         "[Read]  Request (Failed; Not valid 1:0:131073)", 0},
        {"request past the piece", true, true, false, Message(6, Triple(9, 32000, 1000)), 0,
         "[Read]  Request (Failed; Not valid 9:32000:1000)", 0},
        {"request short", true, true, false, Message(6, Word(1)), 0,
         "[Read]  Request (Failed; Message length (5 != 13)", 0},
        {"piece unasked", false, false, true, Message(7, Word(1) + Word(0) + "data"), 1,
         "[Read]  Piece (Failed; Nothing in queue 1 1:0:4)", 1},
        {"piece short", false, false, true, Message(7, "1234567"), 0,
         "[Read]  Piece (Failed; Message length (8 < 9)", 0},
        {"cancel not interested", true, false, true, Message(8, Triple(1, 0, 16384)), 0,
         "[Read]  Cancel (Failed; BitPeer not interested)", 0},
        {"cancel unknown", true, true, false, Message(8, Triple(1, 0, 16384)), 1,
         "[Read]  Cancel (Failed; Unable to remove 1:0:16384 1 [0])", 1},
        {"cancel short", true, true, false, Message(8, "x"), 0,
         "[Read]  Cancel (Failed; Message length (2 != 13)", 0},
        {"port", false, false, true, Message(9, std::string("\x1a\xe1", 2)), 1,
         "[Read]  Port (Successful 6881)", 0},
        {"port long", false, false, true, Message(9, "abc"), 0,
         "[Read]  Port (Failed; Message length (4 != 3)", 0},
        {"id 10", false, false, true, Message(10), 0, "[Read]  Unknown [10]", 0},
        {"id 11", false, false, true, Message(11), 0, "[Read]  Unknown [11]", 0},
        {"id 12", false, false, true, Message(12), 0, "[Read]  Unknown [12]", 0},
        {"id 18", false, false, true, Message(18), 0, "[Read]  Unknown [18]", 0},
        {"suggest", false, false, true, Message(13, Word(1)), 0,
         "[Read] Fast-Suggest message received when FastExtension is not enabled on the "
         "connection",
         0},
        {"have all", false, false, true, Message(14), 0,
         "[Read] Fast-HaveAll message received when FastExtension is not enabled on the "
         "connection",
         0},
        {"have none", false, false, true, Message(15), 0,
         "[Read] Fast-HaveNone message received when FastExtension is not enabled on the "
         "connection",
         0},
        {"reject", false, false, true, Message(16, Triple(1, 0, 16384)), 0,
         "[Read] Fast-Reject message received when FastExtension is not enabled on the "
         "connection",
         0},
        {"allow fast", false, false, true, Message(17, Word(1)), 0,
         "[Read] Fast-AllowFast message received when FastExtension is not enabled on the "
         "connection",
         0},
    };
    for (bool complete : {false, true}) {
        if (member_) {
            BitPeer_Destroy(&peer_);
            Manager_ReleaseMember(manager_, &member_);
        }
        Open(complete);
        for (const ReaderCase &c : cases) {
            if (c.Complete != complete)
                continue;
            SCOPED_TRACE(c.Name);
            BitPeer_Destroy(&peer_);
            peer_ = Connect(); // a fresh connection per case
            BitPeer_SetState(peer_, BITPEER_STATE_GOOD);
            lines_.clear();
            peer_->PeerInterested = c.PeerInterested;
            peer_->ChokingPeer = c.Choking;
            EXPECT_EQ(c.Result, Read(c.Bytes)) << Lines();
            EXPECT_TRUE(Logged(c.Line)) << Lines();
            EXPECT_EQ(c.Errors, peer_->Errors);
        }
    }
}

TEST_F(PeerReader, BitfieldsAddToThePiecesAlreadyAnnounced) {
    Open(false);
    // After Have messages a BitField adds its pieces, and so does a later one
    // sent in place of Haves; pieces it leaves out stay announced.
    EXPECT_EQ(1, Read(Message(4, Word(2)) + Message(5, std::string("\x80\x00", 2))));
    EXPECT_TRUE(Logged("[Read]  BitField (Merged after Have messages)")) << Lines();
    EXPECT_TRUE(Bitfield_Test(peer_->PeerPieces, 0) && Bitfield_Test(peer_->PeerPieces, 2));
    lines_.clear();
    EXPECT_EQ(1, Read(Message(5, std::string("\x40\x00", 2))));
    EXPECT_TRUE(Logged("[Read]  BitField (Merged after Have messages)")) << Lines();
    int have = 0;
    Bitfield_GetSetCount(peer_->PeerPieces, &have);
    EXPECT_EQ(3, have);
    EXPECT_TRUE(Bitfield_Test(peer_->PeerPieces, 1));
    // A Have already known changes nothing.
    BitPeer_Destroy(&peer_);
    peer_ = Connect();
    BitPeer_SetState(peer_, BITPEER_STATE_GOOD);
    EXPECT_EQ(1, Read(Message(4, Word(2)) + Message(4, Word(2))));
    EXPECT_TRUE(Logged("[Read]  Have (Index already set as having (2))")) << Lines();
    // Spare bits past the last piece are cleared with a line.
    BitPeer_Destroy(&peer_);
    peer_ = Connect();
    BitPeer_SetState(peer_, BITPEER_STATE_GOOD);
    EXPECT_EQ(1, Read(Message(5, std::string("\x00\x7F", 2))));
    EXPECT_TRUE(Logged("[Read]  BitField (Spare bits set and cleared)")) << Lines();
    int set = 0;
    Bitfield_GetSetCount(peer_->PeerPieces, &set);
    EXPECT_EQ(1, set); // 0x40 of the last byte is piece 9; the rest are spare
}

TEST_F(PeerReader, KeepAlivesAnswerOnceAndFlowsSendOnlyChanges) {
    Open(true);
    EXPECT_EQ(1, Read(Word(0)));
    EXPECT_EQ(Word(0), Received()); // answered
    // Our own keep-alive first: the answer clears the pending flag, nothing goes back.
    EXPECT_EQ(1, BitPeer_SendKeepAlive(peer_));
    EXPECT_EQ(Word(0), Received());
    EXPECT_EQ(1, Read(Word(0)));
    EXPECT_EQ(0, peer_->KeepAlivePending);
    EXPECT_EQ(1, BitPeer_SetFlow(peer_, BITPEER_FLOW_UNCHOKE));
    EXPECT_EQ(1, BitPeer_SetFlow(peer_, BITPEER_FLOW_UNCHOKE)); // no change: nothing sent
    EXPECT_EQ(0, peer_->ChokingPeer);
    EXPECT_EQ(1, BitPeer_SetFlow(peer_, BITPEER_FLOW_CHOKE));
    EXPECT_EQ(Message(1) + Message(0), Received());
    EXPECT_EQ(0, BitPeer_SetFlow(peer_, 4));
    EXPECT_TRUE(testsupport::AlertSeen("Unknown flow [4]"));
}

TEST_F(PeerReader, ChokeClearsTheSentFlagsAndUnchokeSendsThemAgain) {
    Open(false);
    EXPECT_EQ(1, Read(Message(5, std::string("\xFF\xC0", 2))));
    EXPECT_EQ(1, peer_->Interested);
    EXPECT_EQ(1, Read(Message(1)));
    int sent = 0, again = 0;
    Slice_GetSentCount(peer_->Requests, &sent);
    EXPECT_GT(sent, 0);
    EXPECT_EQ(1, Read(Message(0)));
    Slice_GetSentCount(peer_->Requests, &again);
    EXPECT_EQ(0, again);
    Received();
    EXPECT_EQ(1, Read(Message(1)));
    Slice_GetSentCount(peer_->Requests, &again);
    EXPECT_GE(again, sent);
    EXPECT_NE(std::string::npos, Received().find(Message(6, Triple(0, 0, 0)).substr(0, 5)));
}

TEST_F(PeerReader, ACorruptPieceIsFetchedAgainWholeOnce) {
    Open(false);
    EXPECT_EQ(1, Read(Message(5, std::string("\xFF\xC0", 2)) + Message(1)));
    const int piece = peer_->CurrentPiece;
    ASSERT_GE(piece, 0) << Lines();
    ASSERT_EQ(1, peer_->FullPiece);
    const std::string bad(16384, 'z');
    const std::string both = Message(7, Word((uint32_t)piece) + Word(0) + bad) +
                             Message(7, Word((uint32_t)piece) + Word(16384) + bad);
    EXPECT_EQ(1, Read(both));
    EXPECT_EQ(1, peer_->CorruptPieces);
    EXPECT_TRUE(Logged("Building full (3) request off index (" + std::to_string(piece) +
                       ") on corrupt content"))
        << Lines();
    EXPECT_TRUE(Slice_ContainsPiece(peer_->Requests, piece));
    lines_.clear();
    EXPECT_EQ(1, Read(both));
    EXPECT_EQ(2, peer_->CorruptPieces);
    EXPECT_FALSE(Logged("Building full (3) request off index (" + std::to_string(piece) +
                        ") on corrupt content"));
    EXPECT_EQ(2, peer_->Errors);
}

// Bytes waiting beyond one input buffer's worth are read and handled in the
// same turn, not one buffer per manager cycle.
TEST_F(PeerReader, OneTurnReadsMoreThanABufferWhenTheConnectionHoldsIt) {
    Open(false);
    std::string haves;
    for (int i = 0; i < 5000; i++)
        haves += Message(4, Word((uint32_t)(i % kPieces)));
    ASSERT_GT(haves.size(), 2u * BUFFERIO_INITIAL_CAPACITY);
    BufferIOStruct *in = nullptr;
    Stream_GetInBuffer(peer_->Stream, &in);
    int64_t before = 0;
    BufferIO_GetTotal(in, &before);
    Send(haves);
    usleep(20000); // loopback: every byte is there
    ASSERT_EQ(1, BitPeer_ReadMessages(peer_));
    int64_t total = 0;
    int used = -1;
    BufferIO_GetTotal(in, &total);
    BufferIO_GetUsed(in, &used);
    EXPECT_EQ(before + (int64_t)haves.size(), total);
    EXPECT_EQ(0, used);
    EXPECT_EQ(0, peer_->Errors);
}

TEST_F(PeerReader, TheSixtyFifthErrorClosesAtTheNextRead) {
    Open(true);
    peer_->PeerInterested = 1;
    peer_->Errors = 64;
    EXPECT_EQ(1, Read(Message(6, Triple(1, 0, 16384)))); // choked: error 65, still open
    EXPECT_EQ(65, peer_->Errors);
    EXPECT_EQ(0, Read(Message(2)));
    EXPECT_FALSE(Logged("[Read]  Interested (Successful 1:0:10)"));
}

TEST_F(PeerReader, RequestDepthFollowsTheReceiveRate) {
    Open(false);
    struct {
        double Rate;
        int64_t Received;
        int Depth;
    } cases[] = {
        {0, 0, 10},                       // the start of a connection
        {2 * 16384, 0, 10},               // 10 computed
        {58.0 * 16384 / 4, 1 << 20, 50},  // 60 computed
        {798.0 * 16384 / 4, 1 << 20, 60}, // 800 computed
        {3.0 * 16384 / 4, 1 << 20, 5},
    };
    for (const auto &c : cases) {
        swarm_->IncomingRates[1] = c.Rate;
        peer_->BytesReceived = c.Received;
        EXPECT_EQ(c.Depth, BitPeer_GetRequestDepth(peer_)) << c.Rate;
    }
}

TEST_F(PeerReader, ServesARequestedBlockAndCountsIt) {
    Open(true);
    peer_->PeerInterested = 1;
    peer_->ChokingPeer = 0;
    EXPECT_EQ(1, Read(Message(6, Triple(2, 100, 1000))));
    EXPECT_EQ(1, BitPeer_Process(peer_));
    EXPECT_EQ(Message(7, Word(2) + Word(100) + data_.substr(2 * kPieceSize + 100, 1000)),
              Received());
    EXPECT_EQ(1000, peer_->BytesSent);
    int requests = 0, responses = 0;
    BitPeer_GetQueueLengths(peer_, &requests, &responses);
    EXPECT_EQ(0, responses);
}

TEST_F(PeerReader, CloseWritesTheSummaryOnceAndSetsTheState) {
    Open(true);
    clock_.Now = clock_.Now + 5;
    EXPECT_EQ(1, Read(Message(2)));
    EXPECT_EQ(1, BitPeer_Close(peer_, "Testing", 1));
    EXPECT_EQ(BITPEER_STATE_FAILURE, peer_->State);
    EXPECT_TRUE(Logged("Closing at [Testing]")) << Lines();
    EXPECT_TRUE(Logged("Piece results [Good:0 Corrupt:0 Bad:0] Errors=0")) << Lines();
    const size_t n = lines_.size();
    EXPECT_EQ(1, BitPeer_Close(peer_, "Again", 0));
    EXPECT_EQ(n, lines_.size());
}

} // namespace
