// Tests of the block request lists: ordering of blocks within their piece,
// duplicates, whole-piece geometry including the short last piece, the
// in-progress bits, the sent state, hostile requests refused before use, and the
// member cap.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/bitfield.h"
#include "core/pool.h"
#include "engine/content.h"
#include "engine/slice.h"
#include "tests/engine/piece_content.h"
#include "tests/support/log_capture.h"

using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

struct Block {
    int index, begin, length;
    bool operator==(const Block &o) const {
        return index == o.index && begin == o.begin && length == o.length;
    }
};

std::vector<Block> Blocks(SliceStruct *list) {
    std::vector<Block> out;
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(list, &m); more; more = Slice_Next(list, m, &m)) {
        Block b{};
        EXPECT_EQ(1, Slice_GetMember(list, m, &b.index, &b.begin, &b.length));
        out.push_back(b);
    }
    return out;
}

std::string Text(const std::vector<Block> &blocks) {
    std::string out;
    for (const Block &b : blocks)
        out += std::to_string(b.index) + "/" + std::to_string(b.begin) + "/" +
               std::to_string(b.length) + " ";
    return out;
}

class SliceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CaptureAlerts();
        Slice_Create(&list_);
    }
    void TearDown() override {
        Slice_Destroy(&list_);
        SliceProgress_Destroy(&progress_);
        Content_Destroy(&content_);
    }
    // 50 pieces of 40000 bytes, the last one 20000: blocks of 16384.
    void Bind(long long total = 49 * 40000LL + 20000, int pieceLength = 40000) {
        content_ = enginetest::MakePieceContent(total, pieceLength, 16384, &buffer_);
        ASSERT_NE(nullptr, content_) << AlertText();
        Slice_SetParent(list_, content_);
        Content_GetAuxBitfield(content_, &aux_);
        SliceProgress_Create(&progress_, aux_);
        Slice_SetProgressField(list_, progress_);
    }
    SliceStruct *list_ = nullptr;
    ContentStruct *content_ = nullptr;
    BitfieldStruct *aux_ = nullptr;
    SliceProgressStruct *progress_ = nullptr;
    std::string buffer_;
};

TEST_F(SliceTest, BlocksStandAfterTheirPiecesSmallerBegin) {
    Bind();
    EXPECT_EQ(1, Slice_Add(list_, 3, 0, 16384));
    EXPECT_EQ(1, Slice_Add(list_, 4, 0, 16384));
    EXPECT_EQ(1, Slice_Add(list_, 3, 16384, 16384));
    EXPECT_EQ(1, Slice_Add(list_, 5, 16384, 16384));
    EXPECT_EQ(1, Slice_Add(list_, 5, 0, 16384));
    EXPECT_EQ("3/0/16384 3/16384/16384 4/0/16384 5/16384/16384 5/0/16384 ", Text(Blocks(list_)));
    int n = 0;
    Slice_CountPieces(list_, &n);
    EXPECT_EQ(3, n);
    int64_t total = 0;
    Slice_GetTotalLength(list_, &total);
    EXPECT_EQ(5 * 16384, total);
    int current = -1;
    EXPECT_EQ(1, Slice_GetCurrentPiece(list_, &current));
    EXPECT_EQ(3, current);
    Slice_CheckInvariants(list_);
    Slice_RemoveAll(list_);
}

TEST_F(SliceTest, DuplicateGoesBackToQueuedAndIsNotAddedTwice) {
    Bind();
    ASSERT_EQ(1, Slice_Add(list_, 7, 16384, 16384));
    SliceMemberStruct *m = nullptr;
    ASSERT_EQ(1, Slice_Find(list_, 7, 16384, 16384, &m));
    Slice_MarkSent(list_, m);
    Slice_MarkSent(list_, m); // already sent: no second count
    int sent = 0;
    Slice_GetSentCount(list_, &sent);
    EXPECT_EQ(1, sent);
    EXPECT_EQ(0, Slice_Add(list_, 7, 16384, 16384));
    EXPECT_TRUE(AlertSeen("Duplicate request made [7:16384:16384]")) << AlertText();
    int count = 0, state = -1;
    Slice_GetCount(list_, &count);
    Slice_GetSentCount(list_, &sent);
    Slice_GetState(m, &state);
    EXPECT_EQ(1, count);
    EXPECT_EQ(0, sent);
    EXPECT_EQ(SLICE_STATE_QUEUED, state);
    // A whole-piece add skips the present block silently.
    CaptureAlerts();
    EXPECT_EQ(1, Slice_AddPiece(list_, 7));
    EXPECT_FALSE(AlertSeen("Duplicate")) << AlertText();
    // 7/0 has no smaller-begin block of its piece, so it goes to the end.
    EXPECT_EQ("7/16384/16384 7/0/16384 7/32768/7232 ", Text(Blocks(list_)));
    Slice_RemoveAll(list_);
}

TEST_F(SliceTest, WholePiecesFollowTheRealPieceLengths) {
    Bind();
    struct Case {
        int index;
        const char *blocks;
    } cases[] = {
        {0, "0/0/16384 0/16384/16384 0/32768/7232 "}, // 40000 = 2 x 16384 + 7232
        {49, "49/0/16384 49/16384/3616 "},            // the last piece holds 20000 bytes
    };
    for (const Case &c : cases) {
        EXPECT_EQ(1, Slice_AddPiece(list_, c.index));
        EXPECT_EQ(c.blocks, Text(Blocks(list_))) << c.index;
        Slice_RemoveAll(list_);
    }
    int per = 0;
    EXPECT_EQ(1, Slice_GetSlicesPerPiece(list_, &per));
    EXPECT_EQ(3, per);
    // A piece length that is a multiple of the slice size has no short block.
    SliceStruct *even = nullptr;
    Slice_Create(&even);
    std::string buffer;
    ContentStruct *c = enginetest::MakePieceContent(65536 * 3, 32768, 16384, &buffer);
    ASSERT_NE(nullptr, c);
    Slice_SetParent(even, c);
    Slice_AddPiece(even, 5);
    EXPECT_EQ("5/0/16384 5/16384/16384 ", Text(Blocks(even)));
    Slice_RemoveAll(even);
    Slice_Destroy(&even);
    Content_Destroy(&c);
}

TEST_F(SliceTest, InProgressBitFollowsTheLastBlockOfAPiece) {
    Bind();
    Slice_AddPiece(list_, 2);
    Slice_Add(list_, 9, 0, 16384);
    EXPECT_EQ(1, Bitfield_Test(aux_, 2));
    EXPECT_EQ(1, Bitfield_Test(aux_, 9));
    EXPECT_EQ(1, Slice_Remove(list_, 2, 0, 16384));
    EXPECT_EQ(1, Bitfield_Test(aux_, 2)); // two blocks of 2 remain
    EXPECT_EQ(1, Slice_Remove(list_, 2, 16384, 16384));
    SliceMemberStruct *last = nullptr;
    ASSERT_EQ(1, Slice_FindPiece(list_, 2, &last));
    EXPECT_EQ(1, Slice_RemoveMember(list_, last));
    EXPECT_EQ(0, Bitfield_Test(aux_, 2));
    EXPECT_EQ(1, Bitfield_Test(aux_, 9));
    EXPECT_EQ(0, Slice_ContainsPiece(list_, 2));
    EXPECT_EQ(1, Slice_ContainsPiece(list_, 9));
    // Absent blocks and members are reported, nothing changes.
    EXPECT_EQ(0, Slice_Remove(list_, 2, 0, 16384));
    EXPECT_EQ(0, Slice_Remove(list_, 9, 0, 16383));
    Slice_CheckInvariants(list_);
    Slice_RemoveAll(list_);
    EXPECT_EQ(0, Bitfield_Test(aux_, 9));
    EXPECT_EQ(1, Slice_IsEmpty(list_));
}

// Two lists of one download hold blocks of the same piece (a connection and a web
// source after a hand-off): the piece stays in progress until both let go of it.
TEST_F(SliceTest, InProgressBitStaysWhileAnotherListHoldsThePiece) {
    Bind();
    SliceStruct *other = nullptr;
    Slice_Create(&other);
    Slice_SetParent(other, content_);
    Slice_SetProgressField(other, progress_);
    Slice_Add(list_, 4, 0, 16384);
    Slice_Add(other, 4, 16384, 16384);
    Slice_Add(other, 4, 32768, 7232);
    int count = 0;
    SliceProgress_GetCount(progress_, 4, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(1, Slice_Remove(list_, 4, 0, 16384)); // this list's last block of 4
    EXPECT_EQ(1, Bitfield_Test(aux_, 4));
    // A duplicate neither counts twice nor clears anything.
    EXPECT_EQ(0, Slice_Add(other, 4, 16384, 16384));
    SliceProgress_GetCount(progress_, 4, &count);
    EXPECT_EQ(2, count);
    Slice_RemoveAll(other);
    EXPECT_EQ(0, Bitfield_Test(aux_, 4));
    // Blocks held when a list is tied move their counts with it.
    Slice_SetProgressField(other, nullptr);
    Slice_AddPiece(other, 6);
    EXPECT_EQ(0, Bitfield_Test(aux_, 6));
    Slice_SetProgressField(other, progress_);
    SliceProgress_GetCount(progress_, 6, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(1, Bitfield_Test(aux_, 6));
    Slice_SetProgressField(other, nullptr);
    EXPECT_EQ(0, Bitfield_Test(aux_, 6));
    Slice_RemoveAll(other);
    Slice_Destroy(&other);
}

TEST_F(SliceTest, SentStateCountsAndResets) {
    Bind();
    Slice_AddPiece(list_, 1);
    SliceMemberStruct *m = nullptr;
    int sent = 0;
    for (int more = Slice_First(list_, &m); more; more = Slice_Next(list_, m, &m))
        Slice_MarkSent(list_, m);
    Slice_GetSentCount(list_, &sent);
    EXPECT_EQ(3, sent);
    Slice_Remove(list_, 1, 0, 16384); // a sent block delivered
    Slice_GetSentCount(list_, &sent);
    EXPECT_EQ(2, sent);
    Slice_ResetSent(list_);
    Slice_GetSentCount(list_, &sent);
    EXPECT_EQ(0, sent);
    Slice_CheckInvariants(list_);
    Slice_RemoveAll(list_);
}

TEST_F(SliceTest, HostileRequestsAreRefusedBeforeUse) {
    Bind();
    // The wire's unsigned values; Slice_Add sees the same bits as int.
    struct Case {
        uint32_t index, begin, length;
        int valid;
    } cases[] = {
        {0, 0, 16384, 1},
        {0, 0, 40000, 1},                       // a whole piece in one request
        {0, 0, 131072, 0},                      // longest request, but past the piece
        {49, 3616, 16384, 1},                   // ends exactly at the last piece's end
        {49, 3617, 16384, 0},                   // one byte past the last piece
        {49, 20000, 1, 0},                      // starts at the end
        {0, 23617, 16384, 0},                   // one byte past a full piece
        {0, 0, 0, 0},                           // empty
        {0, 0, 131073, 0},                      // longer than any request
        {0, 0, 0xFFFFFFFF, 0},                  // length -1 as int
        {0, 0xFFFFFFFF, 16384, 0},              // begin -1 as int
        {0xFFFFFFFF, 0, 16384, 0},              // index -1 as int
        {0, 0xFFFFFFFF, 0xFFFFFFFF, 0},         // the sum needs 33 bits
        {0, 0xFFFFC000, 16384, 0},              // begin + length wraps to 0 in 32 bits
        {0x80000000, 0, 16384, 0},              // index above every int
        {50, 0, 16384, 0},                      // past the last piece
        {INT_MAX, 0, 16384, 0},                 // far past it
        {0, INT_MAX, (uint32_t)INT_MAX + 2, 0}, // begin + length overflows 32 bits
        {1, INT_MAX - 5, 10, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.valid, Slice_ValidateRequest(list_, c.index, c.begin, c.length))
            << c.index << ":" << c.begin << ":" << c.length;
        CaptureAlerts();
        EXPECT_EQ(c.valid, Slice_Add(list_, (int)c.index, (int)c.begin, (int)c.length));
        if (!c.valid) {
            EXPECT_TRUE(AlertSeen("Request outside content")) << AlertText();
        }
    }
    int count = 0;
    Slice_GetCount(list_, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(0, Slice_AddPiece(list_, 50));
    EXPECT_EQ(0, Slice_AddPiece(list_, -1));
    Slice_CheckInvariants(list_);
    Slice_RemoveAll(list_);
}

// Random requests as a hostile peer might send them: every add agrees with the
// validation, and the list keeps only blocks inside their pieces.
TEST_F(SliceTest, RandomRequestsKeepOnlyValidBlocks) {
    Bind();
    const char *fixed = std::getenv("PORTICO_TEST_SEED"); // repeats a printed seed
    unsigned seed = fixed ? (unsigned)std::strtoul(fixed, nullptr, 10) : std::random_device{}();
    std::printf("random seed %u\n", seed);
    std::mt19937 rng(seed);
    const int picks[] = {-1, 0, 1, 16384, 20000, 39999, 40000, 131072, 131073, INT_MAX};
    for (int round = 0; round < 3000; round++) {
        int v[3];
        for (int &x : v)
            x = rng() % 2 ? picks[rng() % 10] : (int)(rng() % 60000) - 10;
        v[0] = v[0] % 64;
        int valid = Slice_ValidateRequest(list_, v[0], v[1], v[2]);
        SliceMemberStruct *present = nullptr;
        int had = Slice_Find(list_, v[0], v[1], v[2], &present);
        ASSERT_EQ(valid && !had, Slice_Add(list_, v[0], v[1], v[2]))
            << v[0] << ":" << v[1] << ":" << v[2] << " seed " << seed;
    }
    for (const Block &b : Blocks(list_))
        ASSERT_EQ(1, Slice_ValidateRequest(list_, b.index, b.begin, b.length));
    Slice_CheckInvariants(list_);
    Slice_RemoveAll(list_);
}

// Several lists of one download (connections' queues) under random adds, whole
// pieces, removals, mark-sent, resets and hand-offs, against a plain model: each
// list's count and sent count match, and a piece's bit is set exactly when some
// list holds a block of it, with the shared count equal to the blocks held.
TEST_F(SliceTest, ListsOfOneDownloadAgreeWithAModel) {
    Bind();
    const char *fixed = std::getenv("PORTICO_TEST_SEED"); // repeats a printed seed
    unsigned seed = fixed ? (unsigned)std::strtoul(fixed, nullptr, 10) : std::random_device{}();
    std::printf("random seed %u\n", seed);
    std::mt19937 rng(seed);
    const int kLists = 4, kPieces = 12, kLengths[] = {16384, 16384, 7232};
    using Key = std::tuple<int, int, int>;
    std::vector<SliceStruct *> lists(kLists, nullptr);
    std::vector<std::map<Key, int>> model(kLists); // block -> sent
    lists[0] = list_;
    for (int l = 1; l < kLists; l++) {
        Slice_Create(&lists[l]);
        Slice_SetParent(lists[l], content_);
        Slice_SetProgressField(lists[l], progress_);
    }
    auto randomBlock = [&]() {
        int k = (int)(rng() % 3);
        return Key((int)(rng() % kPieces), k * 16384, kLengths[k]);
    };
    // The k-th member of a list (its walk order), or null.
    auto memberAt = [&](SliceStruct *list, int k) {
        SliceMemberStruct *m = nullptr;
        for (int more = Slice_First(list, &m); more && k > 0; more = Slice_Next(list, m, &m))
            k--;
        return m;
    };
    for (int round = 0; round < 4000; round++) {
        int l = (int)(rng() % kLists);
        SliceStruct *list = lists[l];
        std::map<Key, int> &mine = model[l];
        int op = (int)(rng() % 100);
        std::string what;
        if (op < 30) {
            Key b = randomBlock();
            what = "add";
            int added = Slice_Add(list, std::get<0>(b), std::get<1>(b), std::get<2>(b));
            ASSERT_EQ(mine.count(b) ? 0 : 1, added) << "seed " << seed;
            mine[b] = 0; // new, or a duplicate back to queued
        } else if (op < 40) {
            int piece = (int)(rng() % kPieces);
            what = "add piece";
            ASSERT_EQ(1, Slice_AddPiece(list, piece)) << "seed " << seed;
            for (int k = 0; k < 3; k++) // a present block goes back to queued too
                mine[Key(piece, k * 16384, kLengths[k])] = 0;
        } else if (op < 55) {
            Key b = randomBlock();
            what = "remove";
            ASSERT_EQ((int)mine.erase(b),
                      Slice_Remove(list, std::get<0>(b), std::get<1>(b), std::get<2>(b)))
                << "seed " << seed;
        } else if (op < 65 && !mine.empty()) {
            SliceMemberStruct *m = memberAt(list, (int)(rng() % mine.size()));
            int i = 0, b = 0, n = 0;
            Slice_GetMember(list, m, &i, &b, &n);
            what = "remove member";
            ASSERT_EQ(1, Slice_RemoveMember(list, m));
            mine.erase(Key(i, b, n));
        } else if (op < 85 && !mine.empty()) {
            SliceMemberStruct *m = memberAt(list, (int)(rng() % mine.size()));
            int i = 0, b = 0, n = 0;
            Slice_GetMember(list, m, &i, &b, &n);
            what = "mark sent";
            Slice_MarkSent(list, m);
            mine[Key(i, b, n)] = 1;
        } else if (op < 88) {
            what = "reset sent";
            Slice_ResetSent(list);
            for (auto &entry : mine)
                entry.second = 0;
        } else if (op < 98) {
            // Hand-off: the blocks of the pieces the taker's peer has move from
            // this list to the taker's (added there first, then removed here).
            int to = (int)((l + 1 + rng() % (kLists - 1)) % kLists);
            std::set<int> has;
            for (int i = 0; i < kPieces; i++)
                if (rng() % 2)
                    has.insert(i);
            what = "hand-off";
            SliceMemberStruct *m = nullptr;
            Slice_First(list, &m);
            while (m) {
                SliceMemberStruct *next = nullptr;
                Slice_Next(list, m, &next);
                int i = 0, b = 0, n = 0, state = 0;
                Slice_GetMember(list, m, &i, &b, &n);
                Slice_GetState(m, &state);
                Key key(i, b, n);
                ASSERT_EQ(mine[key], state) << "seed " << seed;
                if (has.count(i)) {
                    int fresh = model[to].count(key) == 0;
                    ASSERT_EQ(fresh, Slice_Add(lists[to], i, b, n)) << "seed " << seed;
                    model[to][key] = 0; // the taker sends it anew
                    if (fresh) {
                        ASSERT_EQ(1, Slice_RemoveMember(list, m));
                        mine.erase(key);
                    }
                }
                m = next;
            }
        } else {
            what = "remove all";
            Slice_RemoveAll(list);
            mine.clear();
        }
        std::vector<int> held(kPieces, 0);
        for (int k = 0; k < kLists; k++) {
            int count = 0, sent = 0, modelSent = 0;
            Slice_GetCount(lists[k], &count);
            Slice_GetSentCount(lists[k], &sent);
            for (const auto &entry : model[k]) {
                modelSent += entry.second;
                held[std::get<0>(entry.first)]++;
            }
            ASSERT_EQ((int)model[k].size(), count) << what << " list " << k << " seed " << seed;
            ASSERT_EQ(modelSent, sent) << what << " list " << k << " seed " << seed;
        }
        for (int i = 0; i < 50; i++) {
            int count = -1;
            SliceProgress_GetCount(progress_, i, &count);
            int expect = i < kPieces ? held[i] : 0;
            ASSERT_EQ(expect, count) << what << " piece " << i << " seed " << seed;
            ASSERT_EQ(expect > 0, Bitfield_Test(aux_, i) == 1)
                << what << " piece " << i << " seed " << seed;
        }
    }
    for (int l = 0; l < kLists; l++) {
        Slice_CheckInvariants(lists[l]);
        Slice_RemoveAll(lists[l]);
        if (l > 0)
            Slice_Destroy(&lists[l]);
    }
    EXPECT_EQ(1, Bitfield_IsEmpty(aux_));
}

TEST_F(SliceTest, ListWithoutContent) {
    // No geometry to check against: only sane values are kept, whole pieces and
    // request validation need the content.
    EXPECT_EQ(1, Slice_Add(list_, 3, 0, 16384));
    EXPECT_EQ(0, Slice_Add(list_, -3, 0, 16384));
    EXPECT_EQ(0, Slice_Add(list_, 3, 0, 0));
    EXPECT_EQ(0, Slice_AddPiece(list_, 3));
    EXPECT_EQ(0, Slice_ValidateRequest(list_, 3, 0, 16384));
    int per = -1;
    EXPECT_EQ(0, Slice_GetSlicesPerPiece(list_, &per));
    EXPECT_EQ(0, per);
    // A progress field bounds the indexes even without a content.
    BitfieldStruct *field = nullptr;
    Bitfield_Create(&field);
    Bitfield_SetSize(field, 4);
    SliceProgressStruct *progress = nullptr;
    SliceProgress_Create(&progress, field);
    Slice_SetProgressField(list_, progress);
    EXPECT_EQ(0, Slice_Add(list_, 4, 0, 16384));
    EXPECT_EQ(1, Slice_Add(list_, 2, 0, 16384));
    EXPECT_EQ(1, Bitfield_Test(field, 2));
    Slice_RemoveAll(list_);
    Slice_SetProgressField(list_, nullptr);
    SliceProgress_Destroy(&progress);
    EXPECT_EQ(nullptr, progress);
    Bitfield_Destroy(&field);
}

TEST_F(SliceTest, EmptyListCurrentPieceIsThePieceCount) {
    Bind();
    int index = -1;
    EXPECT_EQ(0, Slice_GetCurrentPiece(list_, &index));
    EXPECT_EQ(50, index);
    SliceMemberStruct *m = reinterpret_cast<SliceMemberStruct *>(1);
    EXPECT_EQ(0, Slice_First(list_, &m));
    EXPECT_EQ(nullptr, m);
    EXPECT_EQ(0, Slice_ContainsPiece(list_, 0));
}

TEST_F(SliceTest, MemberCapRefusesFurtherAdds) {
    Bind();
    Slice_SetMaxMembers(list_, 4);
    EXPECT_EQ(1, Slice_AddPiece(list_, 0)); // 3 blocks
    EXPECT_EQ(0, Slice_AddPiece(list_, 1)); // would pass 4: nothing added
    EXPECT_TRUE(AlertSeen("Request list full (3)")) << AlertText();
    EXPECT_EQ(0, Slice_ContainsPiece(list_, 1));
    EXPECT_EQ(0, Bitfield_Test(aux_, 1));
    EXPECT_EQ(1, Slice_Add(list_, 1, 0, 100));
    EXPECT_EQ(0, Slice_Add(list_, 1, 100, 100));
    int count = 0;
    Slice_GetCount(list_, &count);
    EXPECT_EQ(4, count);
    // A piece of more blocks than the cap still fits an empty list.
    Slice_RemoveAll(list_);
    Slice_SetMaxMembers(list_, 2);
    EXPECT_EQ(1, Slice_AddPiece(list_, 0));
    Slice_GetCount(list_, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(0, Slice_Add(list_, 1, 0, 100));
    Slice_RemoveAll(list_);
}

TEST_F(SliceTest, DestroyReportsLeftMembersAndFreesThem) {
    Bind();
    Slice_AddPiece(list_, 3);
    Slice_Destroy(&list_);
    EXPECT_EQ(nullptr, list_);
    EXPECT_TRUE(AlertSeen("Member list count not empty (3)")) << AlertText();
    EXPECT_EQ(0, Bitfield_Test(aux_, 3));
    EXPECT_EQ(1, Slice_Destroy(&list_)); // null is accepted
}

TEST(SliceDeathTest, NullAndMistaggedListsAreFatal) {
    EXPECT_DEATH(Slice_Add(nullptr, 0, 0, 1), "Pointer is NULL");
    BitfieldStruct *other = nullptr;
    Bitfield_Create(&other);
    EXPECT_DEATH(Slice_IsEmpty(reinterpret_cast<SliceStruct *>(other)),
                 "Struct mismatch pointer .*bitfield != SliceStruct");
    Bitfield_Destroy(&other);
}

} // namespace
