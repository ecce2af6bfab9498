// IP list (attempts, retries, expiry and the cap, with an injected clock) and
// IP filter (checked against a brute-force oracle on random overlapping ranges).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "engine/ipfilter.h"
#include "engine/iplist.h"
#include "net/socket.h"

namespace {

double Now(void *context) {
    return *static_cast<double *>(context);
}

class IPListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        IPList_Create(&list);
        IPList_SetClock(list, Now, &now);
    }
    void TearDown() override { IPList_Destroy(&list); }
    IPListMemberStruct *Add(uint8_t a, uint8_t b, uint8_t c, uint8_t d, int port) {
        uint8_t address[4] = {a, b, c, d};
        IPListMemberStruct *member = nullptr;
        EXPECT_EQ(1, IPList_AddMember(&member, list, address, port));
        return member;
    }
    IPListStruct *list = nullptr;
    double now = 100.0;
};

TEST_F(IPListTest, DuplicatesKeepOrReplaceThePort) {
    IPListMemberStruct *m = Add(10, 0, 0, 1, 6881);
    EXPECT_EQ(m, Add(10, 0, 0, 1, 0));
    EXPECT_EQ(6881, m->Port);
    IPListMemberStruct *picked = nullptr;
    ASSERT_EQ(1, IPList_GetNextPending(list, &picked));
    EXPECT_EQ(1, m->Attempts);
    EXPECT_EQ(m, Add(10, 0, 0, 1, 7000));
    EXPECT_EQ(7000, m->Port);
    EXPECT_EQ(0, m->Attempts);
    EXPECT_EQ(3, m->Hits);

    IPList_SetComparePorts(list, 1);
    EXPECT_NE(m, Add(10, 0, 0, 1, 8000)); // another port is another member now
    int count = 0;
    IPList_GetCount(list, &count);
    EXPECT_EQ(2, count);
    IPListMemberStruct *found = nullptr;
    uint8_t address[4] = {10, 0, 0, 1};
    ASSERT_EQ(1, IPList_Find(address, list, &found, 1, 8000));
    EXPECT_EQ(8000, found->Port);
}

TEST_F(IPListTest, RetriesAreBoundedAndSpaced) {
    IPListMemberStruct *m = Add(10, 0, 0, 2, 1);
    IPListMemberStruct *picked = nullptr;
    int picks = 0;
    for (int step = 0; step < 20; step++) {
        if (IPList_GetNextPending(list, &picked)) {
            picks++;
            IPList_SetState(list, IPLIST_STATE_FAILED, picked); // the connect failed
        }
        now += 31;
    }
    EXPECT_EQ(4, picks);
    // A pick inside the retry interval is refused.
    IPList_ResetStates(list);
    ASSERT_EQ(1, IPList_GetNextPending(list, &picked));
    IPList_SetState(list, IPLIST_STATE_FAILED, m);
    now += 10;
    EXPECT_EQ(0, IPList_GetNextPending(list, &picked));
    // A normally closed member is not picked again.
    now += 30;
    IPList_SetState(list, IPLIST_STATE_CLOSED, m);
    EXPECT_EQ(0, IPList_GetNextPending(list, &picked));
}

TEST_F(IPListTest, NeverTriedFirstThenFewestAttempts) {
    IPListMemberStruct *a = Add(10, 0, 0, 1, 1);
    IPListMemberStruct *picked = nullptr;
    ASSERT_EQ(1, IPList_GetNextPending(list, &picked));
    EXPECT_EQ(a, picked);
    IPList_SetState(list, IPLIST_STATE_FAILED, a);
    now += 60;
    IPListMemberStruct *b = Add(10, 0, 0, 9, 1);
    ASSERT_EQ(1, IPList_GetNextPending(list, &picked));
    EXPECT_EQ(b, picked);
    ASSERT_EQ(1, IPList_GetNextPending(list, &picked));
    EXPECT_EQ(a, picked);
}

TEST_F(IPListTest, ExpirySparesConnectedMembers) {
    IPListMemberStruct *connected = Add(10, 0, 0, 1, 1);
    IPList_SetConnected(connected, list);
    Add(10, 0, 0, 2, 1); // never tried
    IPListMemberStruct *tried = Add(10, 0, 0, 3, 1);
    IPList_SetState(list, IPLIST_STATE_FAILED, tried);
    now += 3599;
    IPList_Expire(list);
    int count = 0;
    IPList_GetCount(list, &count);
    EXPECT_EQ(3, count);
    now += 2;
    IPList_Expire(list);
    IPList_GetCount(list, &count);
    EXPECT_EQ(1, count);
    uint8_t address[4] = {10, 0, 0, 1};
    IPListMemberStruct *found = nullptr;
    EXPECT_EQ(1, IPList_Find(address, list, &found, 1, 0));
    // The list still works after removals (its seek index was rebuilt).
    Add(10, 0, 0, 0, 1);
    Add(10, 0, 0, 5, 1);
    IPList_GetCount(list, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(0, list->Members->Address[3]);
}

TEST_F(IPListTest, FloodStaysUnderTheCapAndSorted) {
    IPList_SetMaxMembers(list, 1000);
    IPListMemberStruct *keep = Add(1, 2, 3, 4, 1);
    IPList_SetConnected(keep, list);
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; i++) {
        uint32_t value = rng();
        IPListMemberStruct *member = nullptr;
        uint8_t address[4];
        Socket_HostToNet32(address, &value);
        ASSERT_EQ(1, IPList_AddMember(&member, list, address, 1));
    }
    int count = 0;
    IPList_GetCount(list, &count);
    EXPECT_LE(count, 1000);
    uint8_t address[4] = {1, 2, 3, 4};
    IPListMemberStruct *found = nullptr;
    EXPECT_EQ(1, IPList_Find(address, list, &found, 1, 0));
    int seen = 0;
    for (IPListMemberStruct *m = list->Members; m && m->Next; m = m->Next, seen++)
        ASSERT_LE(m->Key, m->Next->Key);
    EXPECT_EQ(count - 1, seen);
}

TEST_F(IPListTest, CountThatDisagreesWithTheMembersStopsTheProgram) {
    Add(10, 0, 0, 2, 1);
    Add(10, 0, 0, 1, 1);
    EXPECT_EQ(1, IPList_CheckInvariants(list));
    list->Count = 3;
    EXPECT_DEATH(IPList_CheckInvariants(list),
                 "IP list totals mismatch \\(count 2 != 3, ordered 1\\)");
    list->Count = 2;
}

struct Range {
    uint32_t start, end;
};

TEST(IPFilter, MatchesBruteForceOracle) {
    std::random_device device;
    unsigned seed = device();
    printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    IPFilterStruct *filter = nullptr;
    IPFilter_Create(&filter);
    std::vector<Range> ranges;
    for (int i = 0; i < 300; i++) {
        uint32_t start = rng() % 100000, width = (i % 10 == 0) ? rng() % 50000 : rng() % 500;
        ranges.push_back({start, start + width});
        uint8_t a[4], b[4];
        Socket_HostToNet32(a, &ranges.back().start);
        Socket_HostToNet32(b, &ranges.back().end);
        IPFilter_AddRule(filter, a, b, "random");
    }
    for (int probe = 0; probe < 20000; probe++) {
        uint32_t key = rng() % 160000;
        bool covered = false;
        for (const Range &r : ranges)
            covered |= r.start <= key && key <= r.end;
        uint8_t address[4];
        Socket_HostToNet32(address, &key);
        ASSERT_EQ(covered ? 0 : 1, IPFilter_Check(filter, address, 0))
            << "key " << key << " seed " << seed;
    }
    IPFilter_Destroy(&filter);
}

TEST(IPFilter, RulesAndLocalAddresses) {
    IPFilterStruct *filter = nullptr;
    IPFilter_Create(&filter);
    uint8_t one[4] = {192, 0, 2, 7}, next[4] = {192, 0, 2, 8};
    EXPECT_EQ(1, IPFilter_Check(filter, one, 0)); // no rules: allowed
    IPFilter_AddRule(filter, one, one, "single");
    IPFilter_AddRule(filter, one, one, "again");
    EXPECT_EQ(1, filter->RuleCount);
    EXPECT_EQ(0, IPFilter_Check(filter, one, 0));
    EXPECT_EQ(1, IPFilter_Check(filter, next, 0));
    IPFilter_AddLocalIP(filter);
    uint8_t local[4];
    for (int n = 0; Socket_GetHostAddress(n, local); n++)
        EXPECT_EQ(0, IPFilter_Check(filter, local, 0));
    IPFilter_Clear(filter);
    EXPECT_EQ(1, IPFilter_Check(filter, one, 0));
    IPFilter_Destroy(&filter);
}

} // namespace
