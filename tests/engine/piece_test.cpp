// Tests of the piece picker: each order mode, rarest-first over a simulated
// swarm of peer bitfields downloading a whole content, partial pieces resumed
// after a source leaves, the priority list, hand-off when nothing is left, and
// hostile or invalid input refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/bitfield.h"
#include "core/random.h"
#include "engine/content.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "tests/engine/piece_content.h"
#include "tests/support/log_capture.h"

using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

// One simulated source: the pieces it announces and its request queue.
struct Peer {
    BitfieldStruct *Have = nullptr;
    SliceStruct *Queue = nullptr;
    uint32_t Id = 0;
};

// The swarm the hooks see.
struct Swarm {
    std::vector<Peer *> Peers;
    std::set<int> WebPieces; // pieces a web source is fetching
    std::vector<std::string> SourceLines;
    std::vector<std::tuple<int, int, int, int>> HandedOff;
    std::vector<int> Cancelled;
    int FindCalls = 0;
};

void FillFrequency(void *user, uint8_t *counts, int n) {
    for (Peer *p : static_cast<Swarm *>(user)->Peers)
        for (int i = 0; i < n; i++)
            if (Bitfield_Test(p->Have, i) && counts[i] < PIECE_MAX_FREQUENCY)
                counts[i]++;
}

int GetBusyCount(void *user) {
    int busy = 0;
    for (Peer *p : static_cast<Swarm *>(user)->Peers)
        busy += !Slice_IsEmpty(p->Queue);
    return busy;
}

int FindHandoff(void *user, void *requester, BitfieldStruct *, void **victim, SliceStruct **queue,
                uint32_t *id) {
    Swarm *s = static_cast<Swarm *>(user);
    s->FindCalls++;
    for (Peer *p : s->Peers) {
        if (p != requester && !Slice_IsEmpty(p->Queue)) {
            *victim = p;
            *queue = p->Queue;
            *id = p->Id;
            return 1;
        }
    }
    return 0;
}

void HandedOff(void *user, void *, int index, int begin, int length, int sent) {
    static_cast<Swarm *>(user)->HandedOff.emplace_back(index, begin, length, sent);
}

void SourceLog(void *user, void *, const char *line) {
    static_cast<Swarm *>(user)->SourceLines.push_back(line);
}

void CancelPiece(void *user, int index) {
    Swarm *s = static_cast<Swarm *>(user);
    s->Cancelled.push_back(index);
    for (Peer *p : s->Peers) {
        SliceMemberStruct *m = nullptr;
        while (Slice_FindPiece(p->Queue, index, &m))
            Slice_RemoveMember(p->Queue, m);
    }
}

int WebFetching(void *user, int index) {
    return static_cast<Swarm *>(user)->WebPieces.count(index) ? 1 : 0;
}

std::string Pieces(SliceStruct *queue) {
    std::string out;
    int last = -1;
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(queue, &m); more; more = Slice_Next(queue, m, &m)) {
        if (m->Index != last)
            out += std::to_string(m->Index) + " ";
        last = m->Index;
    }
    return out;
}

class PieceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CaptureAlerts();
        Piece_Create(&picker_);
        // PORTICO_TEST_SEED repeats a printed seed.
        const char *fixed = std::getenv("PORTICO_TEST_SEED");
        seed_ = fixed ? (unsigned)std::strtoul(fixed, nullptr, 10) : std::random_device{}();
        std::printf("random seed %u\n", seed_);
        Random_Create(&random_);
        Random_Seed(random_, seed_);
    }
    void TearDown() override {
        for (Peer &p : peers_) {
            Slice_RemoveAll(p.Queue);
            Slice_Destroy(&p.Queue);
            Bitfield_Destroy(&p.Have);
        }
        if (web_)
            Slice_RemoveAll(web_);
        Slice_Destroy(&web_);
        SliceProgress_Destroy(&progress_);
        Piece_Destroy(&picker_);
        Random_Destroy(&random_);
        Content_Destroy(&content_);
    }
    // `pieces` pieces of 40000 bytes (the last one 20000), blocks of 16384.
    void Make(int pieces, int peers) {
        content_ =
            enginetest::MakePieceContent((pieces - 1) * 40000LL + 20000, 40000, 16384, &buffer_);
        ASSERT_NE(nullptr, content_) << AlertText();
        Content_GetBitfield(content_, &held_);
        Content_GetAuxBitfield(content_, &aux_);
        SliceProgress_Create(&progress_, aux_);
        PieceSourceHooks hooks = {&swarm_,   FillFrequency, GetBusyCount, FindHandoff,
                                  HandedOff, SourceLog,     CancelPiece,  WebFetching};
        Piece_SetParent(picker_, content_, &hooks);
        Piece_SetRandom(picker_, random_);
        Piece_EnableLog(picker_);
        peers_.resize(peers);
        for (int i = 0; i < peers; i++) {
            peers_[i].Id = 0xABC0 + i;
            Bitfield_Create(&peers_[i].Have);
            Bitfield_SetSize(peers_[i].Have, pieces);
            peers_[i].Queue = NewQueue();
            swarm_.Peers.push_back(&peers_[i]);
        }
        web_ = NewQueue();
    }
    SliceStruct *NewQueue() {
        SliceStruct *q = nullptr;
        Slice_Create(&q);
        Slice_SetParent(q, content_);
        Slice_SetProgressField(q, progress_);
        return q;
    }
    void Give(Peer &p, std::initializer_list<int> pieces) {
        for (int i : pieces)
            Bitfield_Set(p.Have, i);
    }
    void Hold(std::initializer_list<int> pieces) {
        for (int i : pieces)
            Bitfield_Set(held_, i);
    }
    void HoldAllBut(std::initializer_list<int> pieces) {
        Bitfield_SetAll(held_);
        for (int i : pieces)
            Bitfield_Clear(held_, i);
    }
    int Choose(Peer &p, int *index, int *continued, int maxPieces = 1) {
        return Piece_ChooseNext(picker_, &p, p.Have, 1, p.Queue, maxPieces, index, continued);
    }
    int ChooseWeb(int *index, int *continued, int maxPieces = 1) {
        return Piece_ChooseNext(picker_, web_, nullptr, 0, web_, maxPieces, index, continued);
    }

    PieceStruct *picker_ = nullptr;
    RandomStruct *random_ = nullptr;
    unsigned seed_ = 0;
    ContentStruct *content_ = nullptr;
    BitfieldStruct *held_ = nullptr;
    BitfieldStruct *aux_ = nullptr;
    SliceProgressStruct *progress_ = nullptr;
    std::string buffer_;
    std::vector<Peer> peers_;
    SliceStruct *web_ = nullptr;
    Swarm swarm_;
};

TEST(PieceOrderNames, NamesAndParsing) {
    struct Case {
        int mode;
        const char *name;
    } cases[] = {{0, "Sequential"}, {1, "Random"},           {2, "Scarcity"}, {3, "Backward"},
                 {4, "Scissor"},    {5, "SequentialRanged"}, {6, "Unknown"},  {-1, "Unknown"}};
    for (const Case &c : cases) {
        char name[PIECE_NAME_SIZE];
        EXPECT_EQ(1, Piece_GetOrderName(c.mode, name));
        EXPECT_STREQ(c.name, name);
        int mode = -1;
        if (c.mode >= 0 && c.mode <= 5) {
            EXPECT_EQ(1, Piece_ParseOrder(c.name, &mode));
            EXPECT_EQ(c.mode, mode);
        }
    }
    int mode = -1;
    EXPECT_EQ(1, Piece_ParseOrder("sequentialranged", &mode));
    EXPECT_EQ(5, mode);
    for (const char *bad : {"Sequentia", "Scarcity ", "", "Unknown"}) {
        mode = -1;
        EXPECT_EQ(0, Piece_ParseOrder(bad, &mode)) << bad;
        EXPECT_EQ(0, mode);
    }
}

TEST_F(PieceTest, CreatedWithDefaults) {
    EXPECT_STREQ("Initialized", picker_->Status);
    EXPECT_EQ(PIECE_ORDER_SCARCITY, picker_->Order);
    EXPECT_EQ(1, picker_->Partial);
    EXPECT_EQ(1, picker_->Priority);
}

// One choice per case over a fresh download: the caller is peers_[0] (or a web
// source when `web`), the other peers only announce pieces (the scarcity counts;
// one peer's pieces per "|"), and `partial` pieces have their second block
// waiting in the partial list. Piece sets are written "1 2 3".
struct ModeCase {
    const char *name;
    int mode, pieces, start, maxPieces, web;
    const char *have, *held, *others, *partial;
    int result;
    const char *indexes; // any of them may be chosen
    int continued;
    const char *queue; // the pieces queued in order ("" none; null: the index)
    const char *line;  // a picker line the choice must log (null: none)
    int handoffs;      // hand-off requests to the swarm
};

std::vector<int> Ints(const char *text) {
    std::vector<int> out;
    std::string word;
    for (const char *c = text;; c++) {
        if (*c >= '0' && *c <= '9') {
            word += *c;
            continue;
        }
        if (!word.empty())
            out.push_back(std::stoi(word));
        word.clear();
        if (*c == 0)
            return out;
    }
}

class PieceModeTest : public PieceTest, public ::testing::WithParamInterface<ModeCase> {};

const ModeCase kModeCases[] = {
    {"SequentialStartPastTheEnd", 0, 8, 10, 1, 0, "0 1 2 3 4 5 6 7", "", "", "", 1, "7", 0, "7 ",
     "Filling request queue sequentially (7)", 0},
    {"SequentialNothingLeft", 0, 8, 0, 1, 0, "2", "2", "", "", 1, "8", 0, "",
     "Filling request queue sequentially (0)", 0},
    {"ScarcityThreeOneOneZero", 2, 4, 0, 1, 1, "", "", "0 1|0 2|0", "", 1, "1 2", 0, nullptr,
     "Frequency [2 min hits] [start at 1] [1 to 3] selected", 0},
    // Nobody announces a candidate: a random candidate, never the (held) last piece.
    {"ScarcityNoCandidateCounted", 2, 6, 0, 1, 1, "", "0 1 2 5", "0 1 2 5", "", 1, "3 4", 0,
     nullptr, "Frequency [0 min hits] [start at 0] [250 to 0]", 0},
    {"MaxPiecesStopsAtTheGap", 0, 10, 5, 3, 1, "", "0 1 2 3 4 7 9", "", "", 1, "5", 0, "5 6 ",
     "Building full request off index (5:2)", 0},
    {"RandomAmongCandidates", 1, 10, 0, 1, 0, "2 4 6", "4", "", "", 1, "2 6", 0, nullptr,
     "Filling request queue randomly", 0},
    {"BackwardHighest", 3, 10, 0, 1, 0, "2 4 6", "6", "", "", 1, "4", 0, "4 ",
     "Filling request queue backward (4)", 0},
    {"ScissorHasNoChooser", 4, 6, 0, 1, 0, "0 1", "", "", "", 0, "", 0, "",
     "Unknown piece order mode (4)", 0},
    {"RangedHandsOffWhenEmpty", 5, 6, 0, 1, 0, "1", "1", "", "", 0, "", 0, "", nullptr, 1},
    {"PartialPieceThePeerLacks", 0, 6, 0, 1, 0, "3 4", "", "", "0 3", 1, "3", 1, "3 ",
     "Piece from Partial list not available from peer [0]", 0},
    {"WebTakesPartialPiecesWhole", 0, 6, 0, 1, 1, "", "0 1 2 4 5", "", "3", 1, "3", 0, "3 ",
     "Removing partial request [3:16384:16384]", 0},
};

TEST_P(PieceModeTest, ChoosesAsTheModeSays) {
    const ModeCase &c = GetParam();
    std::vector<std::string> others; // one peer's pieces each
    const std::string text = c.others;
    for (size_t from = 0; from < text.size();) {
        size_t bar = text.find('|', from);
        if (bar == std::string::npos)
            bar = text.size();
        others.push_back(text.substr(from, bar - from));
        from = bar + 1;
    }
    Make(c.pieces, 1 + (int)others.size());
    for (int i : Ints(c.have))
        Bitfield_Set(peers_[0].Have, i);
    for (size_t k = 0; k < others.size(); k++)
        for (int i : Ints(others[k].c_str()))
            Bitfield_Set(peers_[k + 1].Have, i);
    for (int i : Ints(c.held))
        Bitfield_Set(held_, i);
    SliceStruct *departed = NewQueue();
    for (int i : Ints(c.partial))
        Slice_Add(departed, i, 16384, 16384);
    Piece_QueuePartial(picker_, departed);
    Slice_Destroy(&departed);
    Piece_SetOrder(picker_, c.mode);
    Piece_SetSequentialStart(picker_, c.start);
    int index = -1, continued = -1;
    SliceStruct *queue = c.web ? web_ : peers_[0].Queue;
    int result = c.web ? ChooseWeb(&index, &continued, c.maxPieces)
                       : Choose(peers_[0], &index, &continued, c.maxPieces);
    ASSERT_EQ(c.result, result) << AlertText();
    if (c.result) {
        std::vector<int> allowed = Ints(c.indexes);
        EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), index))
            << index << " seed " << seed_;
        EXPECT_EQ(c.continued, continued);
    }
    std::string queued = Pieces(queue);
    EXPECT_EQ(c.queue ? std::string(c.queue) : std::to_string(index) + " ", queued);
    if (c.line) {
        EXPECT_TRUE(AlertSeen(c.line)) << AlertText();
    }
    EXPECT_EQ(c.handoffs, swarm_.FindCalls);
    Piece_CheckInvariants(picker_);
}

INSTANTIATE_TEST_SUITE_P(Modes, PieceModeTest, ::testing::ValuesIn(kModeCases),
                         [](const ::testing::TestParamInfo<ModeCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(PieceTest, SequentialClampsTheStartAndWraps) {
    Make(8, 1);
    Bitfield_SetAll(peers_[0].Have);
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    struct Case {
        int start;
        std::initializer_list<int> held;
        int expect;
    } cases[] = {
        {10, {}, 7},       // above the last piece: starts at 7
        {10, {7}, 0},      // 7 held: wraps to 0
        {3, {}, 3},        //
        {3, {3, 4}, 5},    //
        {-4, {0}, 1},      // below 0: starts at 0
        {5, {5, 6, 7}, 0}, //
    };
    for (const Case &c : cases) {
        Bitfield_ClearAll(held_);
        Hold(c.held);
        Piece_SetSequentialStart(picker_, c.start);
        int index = -1, continued = -1;
        ASSERT_EQ(1, Choose(peers_[0], &index, &continued)) << AlertText();
        EXPECT_EQ(c.expect, index) << c.start;
        EXPECT_EQ(0, continued);
        EXPECT_EQ(std::to_string(c.expect) + " ", Pieces(peers_[0].Queue));
        Slice_RemoveAll(peers_[0].Queue);
    }
}

TEST_F(PieceTest, SequentialWithNothingLeftSucceedsEmptyWithoutHandoff) {
    Make(8, 2);
    Give(peers_[0], {2, 3});
    Bitfield_SetAll(peers_[1].Have);
    Hold({2});
    Slice_AddPiece(peers_[1].Queue, 3); // 3 is in progress elsewhere
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    int index = -1, continued = -1;
    EXPECT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(8, index);
    EXPECT_EQ(1, Slice_IsEmpty(peers_[0].Queue));
    EXPECT_EQ(0, swarm_.FindCalls);
    // The ranged variant hands work over instead.
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL_RANGED);
    EXPECT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(1, swarm_.FindCalls);
    EXPECT_EQ("3 ", Pieces(peers_[0].Queue));
    EXPECT_EQ(1, Slice_IsEmpty(peers_[1].Queue));
}

TEST_F(PieceTest, BackwardTakesTheHighestAndQueuesTheLastPieceToItsRealEnd) {
    Make(12, 0);
    Piece_SetOrder(picker_, PIECE_ORDER_BACKWARD);
    int index = -1, continued = -1;
    ASSERT_EQ(1, ChooseWeb(&index, &continued, 4));
    EXPECT_EQ(11, index);
    EXPECT_EQ("11 ", Pieces(web_)); // nothing above 11 to continue with
    int64_t total = 0;
    Slice_GetTotalLength(web_, &total);
    EXPECT_EQ(20000, total);
    EXPECT_TRUE(AlertSeen("Filling request queue backward (11)")) << AlertText();
    Slice_RemoveAll(web_);
    Hold({11, 10});
    ASSERT_EQ(1, ChooseWeb(&index, &continued));
    EXPECT_EQ(9, index);
}

TEST_F(PieceTest, RandomChoosesEveryCandidateAndNothingElse) {
    Make(30, 1);
    for (int i = 0; i < 30; i += 3)
        Bitfield_Set(peers_[0].Have, i);
    Hold({0, 9});
    Piece_SetOrder(picker_, PIECE_ORDER_RANDOM);
    std::set<int> seen;
    for (int round = 0; round < 400; round++) {
        int index = -1, continued = -1;
        ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
        ASSERT_TRUE(index % 3 == 0 && index != 0 && index != 9) << index << " seed " << seed_;
        seen.insert(index);
        Slice_RemoveAll(peers_[0].Queue);
    }
    EXPECT_EQ(8u, seen.size()) << "seed " << seed_;
    // Every piece a candidate: a web source may get any of them.
    Bitfield_ClearAll(held_);
    seen.clear();
    for (int round = 0; round < 600; round++) {
        int index = -1, continued = -1;
        ASSERT_EQ(1, ChooseWeb(&index, &continued));
        seen.insert(index);
        Slice_RemoveAll(web_);
    }
    EXPECT_EQ(30u, seen.size()) << "seed " << seed_;
}

TEST_F(PieceTest, ScarcityChoosesAmongTheRarestAndNeverAnUncountedPiece) {
    // Counts 3, 1, 1, 0 over pieces 0..3.
    Make(4, 3);
    Give(peers_[0], {0, 1});
    Give(peers_[1], {0, 2});
    Give(peers_[2], {0});
    std::set<int> seen;
    for (int round = 0; round < 100; round++) {
        int index = -1, continued = -1;
        ASSERT_EQ(1, ChooseWeb(&index, &continued));
        ASSERT_TRUE(index == 1 || index == 2) << index << " seed " << seed_;
        seen.insert(index);
        Slice_RemoveAll(web_);
    }
    EXPECT_EQ(2u, seen.size()) << "seed " << seed_;
    EXPECT_TRUE(AlertSeen("Frequency [2 min hits] [start at 1] [1 to 3] selected")) << AlertText();
    // Nobody announces the only candidate left: it is still chosen.
    HoldAllBut({3});
    int index = -1, continued = -1;
    ASSERT_EQ(1, ChooseWeb(&index, &continued));
    EXPECT_EQ(3, index);
    EXPECT_EQ("3 ", Pieces(web_));
}

// A whole download over a swarm of random bitfields: each peer asks for work when
// its queue is empty and receives one block per round; one peer leaves halfway.
// Each fresh choice must be a rarest piece the peer can serve, no block is ever
// requested twice at once or outside its piece, and every piece arrives.
TEST_F(PieceTest, SimulatedSwarmDownloadsEverythingRarestFirst) {
    const int kPieces = 40, kPeers = 6;
    Make(kPieces, kPeers);
    std::mt19937 rng(seed_);
    for (int i = 0; i < kPieces; i++) {
        // Every piece has a source that stays (peer 0 leaves halfway).
        Bitfield_Set(peers_[1 + rng() % (kPeers - 1)].Have, i);
        for (Peer &p : peers_)
            if (rng() % 3 == 0)
                Bitfield_Set(p.Have, i);
    }
    std::map<int, int> received; // bytes per piece
    std::vector<bool> gone(kPeers, false);
    int rarestChecks = 0, continuedChoices = 0;
    bool leftWork = false;
    for (int round = 0; round < 5000 && !Bitfield_IsComplete(held_); round++) {
        if (round == 20) {
            gone[0] = true;
            leftWork = !Slice_IsEmpty(peers_[0].Queue);
            Piece_QueuePartial(picker_, peers_[0].Queue);
            Bitfield_ClearAll(peers_[0].Have);
        }
        for (int k = 0; k < kPeers; k++) {
            Peer &p = peers_[k];
            if (gone[k])
                continue;
            if (Slice_IsEmpty(p.Queue)) {
                // The rarest count among the pieces this peer may be given.
                std::vector<uint8_t> counts(kPieces, 0);
                FillFrequency(&swarm_, counts.data(), kPieces);
                int rarest = 1000;
                for (int i = 0; i < kPieces; i++)
                    if (Bitfield_Test(p.Have, i) && !Bitfield_Test(held_, i) &&
                        !Bitfield_Test(aux_, i) && !Slice_ContainsPiece(picker_->PartialList, i) &&
                        counts[i] > 0 && counts[i] < rarest)
                        rarest = counts[i];
                int index = -1, continued = -1;
                Piece_SetOrder(picker_, PIECE_ORDER_SCARCITY);
                if (!Choose(p, &index, &continued))
                    continue;
                if (continued)
                    continuedChoices++;
                else if (rarest < 1000 && counts[index] != 0) {
                    ASSERT_EQ(rarest, counts[index]) << "piece " << index << " seed " << seed_;
                    rarestChecks++;
                }
            }
            SliceMemberStruct *m = nullptr;
            if (!Slice_First(p.Queue, &m))
                continue;
            int index = 0, begin = 0, length = 0;
            Slice_GetMember(p.Queue, m, &index, &begin, &length);
            ASSERT_TRUE(Bitfield_Test(p.Have, index)) << "asked a peer for a piece it lacks";
            ASSERT_EQ(1, Slice_ValidateRequest(p.Queue, index, begin, length));
            for (int other = 0; other < kPeers; other++) {
                SliceMemberStruct *dup = nullptr;
                ASSERT_TRUE(other == k ||
                            !Slice_Find(peers_[other].Queue, index, begin, length, &dup))
                    << "block requested twice " << index << ":" << begin;
            }
            Slice_RemoveMember(p.Queue, m);
            int size = 0;
            Content_GetPieceSize(content_, index, &size);
            received[index] += length;
            ASSERT_LE(received[index], size) << "more bytes than the piece holds " << index;
            if (received[index] == size)
                Bitfield_Set(held_, index);
        }
        for (Peer &p : peers_)
            Slice_CheckInvariants(p.Queue);
        Piece_CheckInvariants(picker_);
    }
    EXPECT_EQ(1, Bitfield_IsComplete(held_))
        << "seed " << seed_ << "\n"
        << AlertText().substr(AlertText().size() > 6000 ? AlertText().size() - 6000 : 0);
    EXPECT_GT(rarestChecks, 10);
    int partialLeft = -1;
    Slice_GetCount(picker_->PartialList, &partialLeft);
    EXPECT_EQ(0, partialLeft);
    if (leftWork) {
        EXPECT_GT(continuedChoices, 0) << "the departed peer's work was never resumed";
    }
}

TEST_F(PieceTest, PartialPiecesAreResumedByTheNextSource) {
    Make(6, 3);
    Bitfield_SetAll(peers_[0].Have);
    Bitfield_SetAll(peers_[1].Have);
    Give(peers_[2], {4});
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    ASSERT_EQ(0, index);
    Slice_Remove(peers_[0].Queue, 0, 0, 16384); // the first block arrived
    Piece_QueuePartial(picker_, peers_[0].Queue);
    EXPECT_EQ(1, Slice_IsEmpty(peers_[0].Queue));
    EXPECT_EQ(0, Bitfield_Test(aux_, 0));
    EXPECT_TRUE(AlertSeen("Queuing partial request [0:32768:7232]")) << AlertText();
    EXPECT_TRUE(AlertSeen("Queue contains 2 members (1 unique pieces) (32k of 48k)"))
        << AlertText();
    // A peer without piece 0 is skipped over it, and gets fresh work instead.
    ASSERT_EQ(1, Choose(peers_[2], &index, &continued));
    EXPECT_TRUE(AlertSeen("Piece from Partial list not available from peer [0]")) << AlertText();
    EXPECT_EQ(4, index);
    EXPECT_EQ(0, continued);
    // The next connection that can serve it continues exactly the missing blocks.
    ASSERT_EQ(1, Choose(peers_[1], &index, &continued));
    EXPECT_EQ(0, index);
    EXPECT_EQ(1, continued);
    std::vector<int> begins;
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(peers_[1].Queue, &m); more;
         more = Slice_Next(peers_[1].Queue, m, &m))
        begins.push_back(m->Begin);
    EXPECT_EQ((std::vector<int>{16384, 32768}), begins);
    EXPECT_TRUE(AlertSeen("Continuing Partial request [0:16384:16384]")) << AlertText();
    EXPECT_EQ(1, Slice_IsEmpty(picker_->PartialList));
    EXPECT_EQ(1, Bitfield_Test(aux_, 0));
}

// A connection never gets partial-list pieces as candidates: when such a piece is
// the last one missing, it must be resumed rather than handed off or left.
TEST_F(PieceTest, LastMissingPieceInThePartialListIsResumed) {
    Make(6, 2);
    Bitfield_SetAll(peers_[0].Have);
    Bitfield_SetAll(peers_[1].Have);
    HoldAllBut({4, 5});
    Slice_Add(peers_[0].Queue, 4, 16384, 16384);
    Piece_QueuePartial(picker_, peers_[0].Queue);
    Slice_AddPiece(peers_[1].Queue, 5); // a busy source to take from
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued)) << AlertText();
    EXPECT_EQ(4, index);
    EXPECT_EQ(1, continued);
    EXPECT_EQ(0, swarm_.FindCalls);
    EXPECT_EQ("5 ", Pieces(peers_[1].Queue));
}

TEST_F(PieceTest, WebSourceTakesPartialPiecesWhole) {
    Make(6, 1);
    Slice_Add(peers_[0].Queue, 2, 16384, 16384);
    Piece_QueuePartial(picker_, peers_[0].Queue);
    HoldAllBut({2});
    int index = -1, continued = -1;
    ASSERT_EQ(1, ChooseWeb(&index, &continued));
    EXPECT_EQ(2, index);
    EXPECT_EQ(0, continued);
    int count = 0;
    Slice_GetCount(web_, &count);
    EXPECT_EQ(3, count);
    EXPECT_TRUE(AlertSeen("Removing partial request [2:16384:16384]")) << AlertText();
    EXPECT_EQ(1, Slice_IsEmpty(picker_->PartialList));
}

TEST_F(PieceTest, PartialBlocksOfAPieceThatArrivedAreDropped) {
    Make(6, 1);
    Bitfield_SetAll(peers_[0].Have);
    Slice_Add(peers_[0].Queue, 1, 0, 16384);
    Piece_QueuePartial(picker_, peers_[0].Queue);
    Hold({1});
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(0, index);
    EXPECT_EQ(0, continued);
    EXPECT_EQ(1, Slice_IsEmpty(picker_->PartialList));
}

TEST_F(PieceTest, PartialSwitchOffKeepsNothing) {
    Make(6, 1);
    picker_->Partial = 0;
    Slice_AddPiece(peers_[0].Queue, 1);
    Piece_QueuePartial(picker_, peers_[0].Queue);
    EXPECT_EQ(1, Slice_IsEmpty(picker_->PartialList));
    EXPECT_EQ(1, Slice_IsEmpty(peers_[0].Queue));
}

TEST_F(PieceTest, PriorityPiecesComeFirst) {
    Make(10, 2);
    Bitfield_SetAll(peers_[0].Have);
    Bitfield_SetAll(peers_[1].Have);
    Slice_AddPiece(peers_[1].Queue, 5);
    Slice_AddPiece(peers_[1].Queue, 6);
    ASSERT_EQ(1, Piece_SetPriority(picker_, 5));
    EXPECT_EQ(std::vector<int>{5}, swarm_.Cancelled);
    EXPECT_EQ("6 ", Pieces(peers_[1].Queue)); // the connection dropped its blocks of 5
    EXPECT_TRUE(AlertSeen("Priority set for piece 5 (1 other pieces ahead in queue)"))
        << AlertText();
    struct Case {
        int index, result;
        const char *line;
    } cases[] = {
        {5, 1, "Piece 5 already in list - skipping priority"},
        {3, 1, "Piece 3 already available - skipping priority"},
        {7, 1, "Piece 7 already in progress (web) - skipping priority"},
        {10, 0, "Piece 10 outside content - skipping priority"},
        {-1, 0, "Piece -1 outside content - skipping priority"},
    };
    Hold({3});
    swarm_.WebPieces.insert(7);
    for (const Case &c : cases) {
        CaptureAlerts();
        EXPECT_EQ(c.result, Piece_SetPriority(picker_, c.index)) << c.index;
        EXPECT_TRUE(AlertSeen(c.line)) << AlertText();
    }
    ASSERT_EQ(1, Piece_SetPriority(picker_, 8));
    // Sequential from 0, yet the priority list is served first, in its order.
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(5, index);
    EXPECT_EQ(1, continued);
    EXPECT_EQ("5 ", Pieces(peers_[0].Queue));
    Slice_RemoveAll(peers_[0].Queue);
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(8, index);
    Slice_RemoveAll(peers_[0].Queue);
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(0, index);
    EXPECT_EQ(0, continued);
    // Priority off: setting one empties the list, and nothing is served from it.
    Piece_SetPriority(picker_, 9);
    Piece_DisablePriority(picker_);
    EXPECT_EQ(1, Piece_SetPriority(picker_, 2));
    EXPECT_EQ(1, Slice_IsEmpty(picker_->PriorityList));
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(1, index); // 0 is still in progress in this queue
    EXPECT_EQ(0, continued);
    // On again: a piece set now takes all its blocks ahead of the order.
    Slice_RemoveAll(peers_[0].Queue);
    Piece_EnablePriority(picker_);
    ASSERT_EQ(1, Piece_SetPriority(picker_, 9));
    int blocks = 0;
    Slice_GetCount(picker_->PriorityList, &blocks);
    EXPECT_EQ(2, blocks); // the last piece holds 20000 bytes
    ASSERT_EQ(1, Piece_SetPriority(picker_, 2));
    Slice_GetCount(picker_->PriorityList, &blocks);
    EXPECT_EQ(5, blocks);
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(9, index);
    EXPECT_EQ(1, continued);
    Slice_RemoveAll(peers_[0].Queue);
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(2, index);
    EXPECT_EQ("2 ", Pieces(peers_[0].Queue));
}

TEST_F(PieceTest, MaxPiecesStopsAtTheFirstGap) {
    Make(10, 0);
    HoldAllBut({5, 6, 8});
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    Piece_SetSequentialStart(picker_, 5);
    int index = -1, continued = -1;
    ASSERT_EQ(1, ChooseWeb(&index, &continued, 3));
    EXPECT_EQ(5, index);
    EXPECT_EQ("5 6 ", Pieces(web_));
    EXPECT_TRUE(AlertSeen("Building full request off index (5:2)")) << AlertText();
}

TEST_F(PieceTest, HandoffMovesTheWorkTheCallerCanServe) {
    Make(10, 2);
    Give(peers_[0], {1, 2, 4});
    Bitfield_SetAll(peers_[1].Have);
    Slice_AddPiece(peers_[1].Queue, 2);
    Slice_AddPiece(peers_[1].Queue, 3);
    SliceMemberStruct *first = nullptr;
    Slice_First(peers_[1].Queue, &first);
    Slice_MarkSent(peers_[1].Queue, first);
    Hold({1, 4});
    // Peer 0's only missing piece is in progress at peer 1.
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued)) << AlertText();
    EXPECT_EQ(2, index);
    EXPECT_EQ(0, continued);
    EXPECT_EQ("2 ", Pieces(peers_[0].Queue));
    EXPECT_EQ("3 ", Pieces(peers_[1].Queue)); // peer 0 cannot serve 3
    ASSERT_EQ(3u, swarm_.HandedOff.size());
    EXPECT_EQ(std::make_tuple(2, 0, 16384, 1), swarm_.HandedOff[0]);
    EXPECT_EQ(std::make_tuple(2, 32768, 7232, 0), swarm_.HandedOff[2]);
    EXPECT_TRUE(AlertSeen("Instructing peer [0000ABC1] to cancel (2:32768:7232)")) << AlertText();
    ASSERT_EQ(1u, swarm_.SourceLines.size());
    EXPECT_EQ("Piece handoff to peer [0000ABC1] (2:32768:7232)", swarm_.SourceLines[0]);
    EXPECT_EQ(1, Bitfield_Test(aux_, 2));
    EXPECT_EQ(1, Bitfield_Test(aux_, 3));
    // Nothing left that peer 0 can take: no hand-off.
    Slice_RemoveAll(peers_[0].Queue);
    Hold({2});
    EXPECT_EQ(0, Choose(peers_[0], &index, &continued));
    EXPECT_EQ("3 ", Pieces(peers_[1].Queue));
}

// A block the caller's queue refuses stays with the victim as it was (sent), and
// the piece stays in progress while both queues hold blocks of it.
TEST_F(PieceTest, HandoffLeavesRefusedBlocksWithTheVictimUnchanged) {
    Make(10, 2);
    Bitfield_SetAll(peers_[0].Have);
    Slice_AddPiece(peers_[1].Queue, 2);
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(peers_[1].Queue, &m); more;
         more = Slice_Next(peers_[1].Queue, m, &m))
        Slice_MarkSent(peers_[1].Queue, m);
    HoldAllBut({2});
    Slice_SetMaxMembers(peers_[0].Queue, 2);
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued)) << AlertText();
    ASSERT_EQ(2u, swarm_.HandedOff.size());
    EXPECT_EQ(std::make_tuple(2, 16384, 16384, 1), swarm_.HandedOff[1]);
    int count = 0, sent = 0, state = -1, blocks = 0;
    Slice_GetCount(peers_[1].Queue, &count);
    Slice_GetSentCount(peers_[1].Queue, &sent);
    EXPECT_EQ(1, count);
    EXPECT_EQ(1, sent);
    ASSERT_EQ(1, Slice_Find(peers_[1].Queue, 2, 32768, 7232, &m));
    Slice_GetState(m, &state);
    EXPECT_EQ(SLICE_STATE_SENT, state);
    SliceProgress_GetCount(progress_, 2, &blocks);
    EXPECT_EQ(3, blocks);
    // The caller's blocks of 2 arrive: the victim still holds one, so 2 stays in
    // progress until that one arrives too.
    Slice_RemoveAll(peers_[0].Queue);
    EXPECT_EQ(1, Bitfield_Test(aux_, 2));
    Slice_RemoveAll(peers_[1].Queue);
    EXPECT_EQ(0, Bitfield_Test(aux_, 2));
}

TEST_F(PieceTest, PeerWithOnlyHeldPiecesGetsNothingWithoutABusySource) {
    Make(6, 2);
    Give(peers_[0], {1, 2});
    Hold({1, 2});
    int index = -1, continued = -1;
    EXPECT_EQ(0, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(1, swarm_.FindCalls);
    EXPECT_EQ(1, Slice_IsEmpty(peers_[0].Queue));
}

TEST_F(PieceTest, ScissorHasNoChooser) {
    Make(6, 2);
    Bitfield_SetAll(peers_[0].Have);
    Piece_SetOrder(picker_, PIECE_ORDER_SCISSOR);
    int index = -1, continued = -1;
    EXPECT_EQ(0, Choose(peers_[0], &index, &continued));
    EXPECT_TRUE(AlertSeen("Unknown piece order mode (4)")) << AlertText();
    EXPECT_EQ(1, Slice_IsEmpty(peers_[0].Queue));
    // The lists are still served first.
    Slice_Add(peers_[1].Queue, 3, 0, 16384);
    Piece_QueuePartial(picker_, peers_[1].Queue);
    EXPECT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(3, index);
    // With nothing to choose, work is handed over.
    Slice_RemoveAll(peers_[0].Queue);
    Slice_AddPiece(peers_[1].Queue, 4);
    HoldAllBut({4});
    EXPECT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ("4 ", Pieces(peers_[0].Queue));
}

TEST_F(PieceTest, StartupCheckLimitsTheChoiceToCheckedPieces) {
    Make(8, 1);
    Bitfield_SetAll(peers_[0].Have);
    BitfieldStruct *checked = nullptr;
    Content_GetCheckedBitfield(content_, &checked);
    Bitfield_ClearAll(checked);
    Bitfield_Set(checked, 6);
    content_->Checking = 1;
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    int index = -1, continued = -1;
    ASSERT_EQ(1, Choose(peers_[0], &index, &continued));
    EXPECT_EQ(6, index);
    content_->Checking = 0;
}

TEST_F(PieceTest, UnwantedPiecesAreNeverChosen) {
    Make(8, 0);
    BitfieldStruct *wanted = nullptr;
    Content_GetWantedBitfield(content_, &wanted);
    Bitfield_ClearAll(wanted);
    Bitfield_Set(wanted, 5);
    for (int mode : {0, 1, 2, 3, 5}) {
        Piece_SetOrder(picker_, mode);
        int index = -1, continued = -1;
        ASSERT_EQ(1, ChooseWeb(&index, &continued, 8));
        EXPECT_EQ("5 ", Pieces(web_)) << mode;
        Slice_RemoveAll(web_);
    }
}

TEST_F(PieceTest, InvalidInputIsRefused) {
    int index = -1, continued = -1;
    SliceStruct *queue = nullptr;
    Slice_Create(&queue);
    // No content bound yet.
    EXPECT_EQ(0, Piece_ChooseNext(picker_, queue, nullptr, 0, queue, 1, &index, &continued));
    EXPECT_EQ(0, Piece_SetPriority(picker_, 0));
    Make(8, 1);
    // A peer bitfield of another size (a hostile Bitfield message).
    BitfieldStruct *odd = nullptr;
    Bitfield_Create(&odd);
    Bitfield_SetSize(odd, 9);
    Bitfield_SetAll(odd);
    EXPECT_EQ(0, Piece_ChooseNext(picker_, queue, odd, 1, queue, 1, &index, &continued));
    EXPECT_TRUE(AlertSeen("Peer bitfield does not match the content (8 pieces)")) << AlertText();
    EXPECT_EQ(1, Slice_IsEmpty(queue));
    // maxPieces below 1 still queues one piece.
    Slice_SetParent(queue, content_);
    Piece_SetOrder(picker_, PIECE_ORDER_SEQUENTIAL);
    EXPECT_EQ(1, Piece_ChooseNext(picker_, queue, nullptr, 0, queue, 0, &index, &continued));
    EXPECT_EQ("0 ", Pieces(queue));
    Slice_RemoveAll(queue);
    Slice_Destroy(&queue);
    Bitfield_Destroy(&odd);
}

TEST_F(PieceTest, ProgrammingErrorsAreFatal) {
    Make(4, 1);
    EXPECT_DEATH(Piece_SetParent(picker_, content_, nullptr), "Parent handle already set");
    int continued = 0;
    EXPECT_DEATH(Choose(peers_[0], nullptr, &continued), "Pointer is NULL");
    EXPECT_DEATH(Piece_SetOrder(nullptr, 1), "Pointer is NULL");
}

} // namespace
