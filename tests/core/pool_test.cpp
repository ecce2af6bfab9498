// Member pool: fixed and string modes, reset, counters, alignment, the leak
// report and the fatal checks on misuse.
#include "core/pool.h"
#include "core/zyl.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

std::string g_poolLog;
int CapturePoolLog(const char *text) {
    g_poolLog += text;
    return 1;
}

struct PoolFixture : ::testing::Test {
    PoolStruct *pool = nullptr;
    void SetUp() override { ASSERT_EQ(1, POOL_CREATE(pool)); }
    void TearDown() override { Pool_Destroy(&pool); }
    void Fixed(int size, int perChunk) {
        Pool_SetMemberSize(pool, size);
        Pool_SetMembersPerChunk(pool, perChunk);
    }
};

TEST_F(PoolFixture, FixedMembersAreDistinctAlignedAndReusedLastFreedFirst) {
    Fixed(24, 4);
    std::vector<void *> members;
    for (int i = 0; i < 10; i++) { // spans three chunks
        void *member = POOL_ALLOC(pool, 24);
        ASSERT_NE(nullptr, member);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(member) % 16);
        memset(member, i + 1, 24);
        members.push_back(member);
    }
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(i + 1, static_cast<unsigned char *>(members[i])[23]) << "members overlap";
    }
    int inUse = 0, peak = 0;
    Pool_GetInUse(pool, &inUse);
    EXPECT_EQ(10, inUse);
    void *freed = members[3];
    EXPECT_EQ(1, POOL_FREE(pool, members[3], 24));
    EXPECT_EQ(nullptr, members[3]);
    void *again = POOL_ALLOC(pool, 24);
    EXPECT_EQ(freed, again);
    EXPECT_EQ(4, static_cast<unsigned char *>(again)[0]) << "a reused member keeps its bytes";
    members[3] = again;
    for (void *&member : members) {
        POOL_FREE(pool, member, 24);
    }
    Pool_GetInUse(pool, &inUse);
    Pool_GetPeak(pool, &peak);
    EXPECT_EQ(0, inUse);
    EXPECT_EQ(10, peak);
    void *none = nullptr;
    EXPECT_EQ(1, POOL_FREE(pool, none, 24)); // null is ignored
}

TEST_F(PoolFixture, ClearSwitchZeroFillsReusedMembers) {
    Fixed(32, 2);
    Pool_SetClear(pool, 1);
    void *member = POOL_ALLOC(pool, 32);
    memset(member, 0xAB, 32);
    POOL_FREE(pool, member, 32);
    unsigned char *again = static_cast<unsigned char *>(POOL_ALLOC(pool, 32));
    for (int i = 0; i < 32; i++) {
        EXPECT_EQ(0, again[i]);
    }
    POOL_FREE(pool, again, 32);
}

TEST_F(PoolFixture, FixedResetKeepsChunksAndFreesEveryMember) {
    Fixed(40, 8);
    for (int i = 0; i < 20; i++) {
        POOL_ALLOC(pool, 40);
    }
    int64_t before = 0, after = 0;
    Pool_GetBytesHeld(pool, &before);
    EXPECT_GT(before, 20 * 40);
    Pool_Reset(pool);
    Pool_GetBytesHeld(pool, &after);
    EXPECT_EQ(before, after);
    EXPECT_EQ(1, Pool_CheckInvariants(pool)); // uncarved chunks after the reset
    int inUse = -1, peak = -1;
    Pool_GetInUse(pool, &inUse);
    Pool_GetPeak(pool, &peak);
    EXPECT_EQ(0, inUse);
    EXPECT_EQ(0, peak);
    for (int i = 0; i < 24; i++) { // all three chunks are free again: no growth
        POOL_ALLOC(pool, 40);
    }
    Pool_GetBytesHeld(pool, &after);
    EXPECT_EQ(before, after);
    Pool_Reset(pool);
}

TEST_F(PoolFixture, StringModeBumpsAndGivesLargeRequestsTheirOwnChunk) {
    Pool_SetMembersPerChunk(pool, 1);
    Pool_SetMemberSize(pool, 256);
    Pool_SetStringMode(pool, 1);
    char *a = static_cast<char *>(POOL_ALLOC(pool, 10));
    char *b = static_cast<char *>(POOL_ALLOC(pool, 7));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(a) % 16);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(b) % 16);
    EXPECT_GE(b - a, 10);
    int64_t small = 0;
    Pool_GetBytesHeld(pool, &small);
    char *big = static_cast<char *>(POOL_ALLOC(pool, 5000));
    memset(big, 'x', 5000);
    int64_t grown = 0;
    Pool_GetBytesHeld(pool, &grown);
    EXPECT_GE(grown - small, 5000);
    EXPECT_LT(grown - small, 5000 + 256);
    char *after = static_cast<char *>(POOL_ALLOC(pool, 8)); // fits the first chunk again
    EXPECT_TRUE(after > b && after < a + 512);
    POOL_FREE(pool, a, 10); // counts only
    int inUse = 0;
    Pool_GetInUse(pool, &inUse);
    EXPECT_EQ(3, inUse);
    Pool_Reset(pool);
    Pool_GetBytesHeld(pool, &grown);
    EXPECT_EQ(0, grown);
}

TEST_F(PoolFixture, ChangingTheSlotSizeDropsTheChunks) {
    Fixed(16, 4);
    POOL_ALLOC(pool, 16);
    Pool_SetMemberSize(pool, 12); // same 16-byte slot: chunks kept
    int64_t held = 0;
    Pool_GetBytesHeld(pool, &held);
    EXPECT_GT(held, 0);
    Pool_SetMemberSize(pool, 48);
    Pool_GetBytesHeld(pool, &held);
    EXPECT_EQ(0, held);
}

TEST(Pool, DestroyReportsMembersStillInUseWithTheCreator) {
    PoolStruct *pool = nullptr;
    Pool_Create(&pool, "creator.cpp", 77);
    Pool_SetMemberSize(pool, 8);
    Pool_SetMembersPerChunk(pool, 10);
    POOL_ALLOC(pool, 8);
    POOL_ALLOC(pool, 8);
    g_poolLog.clear();
    Zyl_SetConsoleCallback(CapturePoolLog);
    EXPECT_EQ(1, Pool_Destroy(&pool));
    Zyl_SetConsoleCallback(nullptr);
    EXPECT_EQ(nullptr, pool);
    EXPECT_NE(std::string::npos,
              g_poolLog.find("Not all pool memory was freed (2) for (creator.cpp/77)"))
        << g_poolLog;
    EXPECT_EQ(1, Pool_Destroy(&pool)); // null accepted
}

TEST(Pool, RandomAllocFreeKeepsMembersIntact) {
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    PoolStruct *pool = nullptr;
    POOL_CREATE(pool);
    Pool_SetMemberSize(pool, 20);
    Pool_SetMembersPerChunk(pool, 7);
    std::vector<uint32_t *> live;
    for (int step = 0; step < 20000; step++) {
        if (live.empty() || random() % 3 != 0) {
            uint32_t *member = static_cast<uint32_t *>(POOL_ALLOC(pool, 20));
            member[0] = member[4] = (uint32_t)step;
            live.push_back(member);
        } else {
            size_t at = random() % live.size();
            ASSERT_EQ(live[at][0], live[at][4]);
            POOL_FREE(pool, live[at], 20);
            live[at] = live.back();
            live.pop_back();
        }
        if (step % 1000 == 0) {
            ASSERT_EQ(1, Pool_CheckInvariants(pool));
        }
    }
    EXPECT_EQ(1, Pool_CheckInvariants(pool));
    int inUse = 0;
    Pool_GetInUse(pool, &inUse);
    EXPECT_EQ((int)live.size(), inUse);
    Pool_Reset(pool);
    Pool_Destroy(&pool);
}

using PoolDeath = PoolFixture;

TEST_F(PoolDeath, DoubleFreeStopsWithTheDescriptorFound) {
    Fixed(24, 4);
    void *member = POOL_ALLOC(pool, 24);
    void *copy = member;
    POOL_FREE(pool, member, 24);
    EXPECT_DEATH(POOL_FREE(pool, copy, 24),
                 "Unable to find member to free \\[0x[0-9A-Fa-f]+\\] \\[0x[0-9A-Fa-f]*[1-9A-Fa-f]");
}

TEST_F(PoolDeath, ForeignOrMisalignedMemberStops) {
    Fixed(24, 4);
    char *member = static_cast<char *>(POOL_ALLOC(pool, 24));
    void *inside = member + 8;
    EXPECT_DEATH(POOL_FREE(pool, inside, 24), "Unable to find member to free");
    int local = 0;
    void *foreign = &local;
    EXPECT_DEATH(POOL_FREE(pool, foreign, 24),
                 "Unable to find member to free \\[0x[0-9A-Fa-f]+\\] \\[0x0+\\]");
    POOL_FREE(pool, member, 24);
}

TEST_F(PoolDeath, MembersDroppedByResetCannotBeFreed) {
    Fixed(16, 2);
    std::vector<void *> members;
    for (int i = 0; i < 6; i++) { // three chunks
        members.push_back(POOL_ALLOC(pool, 16));
    }
    Pool_Reset(pool);
    void *fresh = POOL_ALLOC(pool, 16); // carves one chunk again
    for (void *old : members) {
        if (old != fresh) {
            EXPECT_DEATH(POOL_FREE(pool, old, 16),
                         "Unable to find member to free \\[0x[0-9A-Fa-f]+\\] "
                         "\\[0x[0-9A-Fa-f]*[1-9A-Fa-f]");
            break;
        }
    }
    POOL_FREE(pool, fresh, 16);
}

TEST_F(PoolDeath, WrongSizeStopsEvenWithinTheSameSlot) {
    Fixed(20, 4);
    EXPECT_DEATH(POOL_ALLOC(pool, 24), "Invalid pool member size \\(24 != 20\\) from \\(");
    void *member = POOL_ALLOC(pool, 20);
    EXPECT_DEATH(POOL_FREE(pool, member, 16), "Invalid pool member size \\(16 != 20\\)");
    POOL_FREE(pool, member, 20);
}

TEST_F(PoolDeath, StringModeNeedsOneMemberPerChunk) {
    Fixed(64, 10);
    EXPECT_DEATH(Pool_SetStringMode(pool, 1),
                 "Member chunk size must be 1 to use String Mode \\(10 != 1\\)");
}

TEST(PoolDeathNull, NullAndWrongTagAreFatal) {
    EXPECT_DEATH(Pool_Reset(nullptr), "Pointer is NULL");
    struct Fake {
        const char *Tag;
    } fake = {"other"};
    EXPECT_DEATH(Pool_Reset(reinterpret_cast<PoolStruct *>(&fake)), "Struct mismatch pointer");
}

} // namespace
