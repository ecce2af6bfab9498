// The manager's member list: references that keep a closed download alive,
// trackers that hold it, iteration past tagged members, the per-cycle step and
// the statistics, and the stop's bound on a tracker that never finishes.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "engine/base.h"
#include "engine/manager.h"
#include "engine/tracker.h"
#include "tests/engine/manager_support.h"
#include "tests/support/support.h"

using enginetest::ManagerFixture;
using testsupport::AlertSeen;

namespace {

class MemberTest : public ManagerFixture {
  protected:
    TrackerStruct *TrackerOf(ManagerMemberStruct *member) {
        BaseStruct *base = nullptr;
        ManagerMember_GetBase(member, &base);
        TrackerStruct *tracker = nullptr;
        Base_GetTracker(base, &tracker);
        return tracker;
    }
    int Count() {
        int count = -1;
        Manager_GetMemberCount(manager_, &count);
        return count;
    }
};

TEST_F(MemberTest, AClosedMemberStaysWhileHeld) {
    ManagerMemberStruct *member = nullptr;
    ASSERT_EQ(1, Manager_AddMember(manager_, &member));
    BaseStruct *base = nullptr;
    ASSERT_EQ(1, ManagerMember_GetBase(member, &base));
    ManagerStruct *parent = nullptr;
    Base_GetParent(base, &parent);
    EXPECT_EQ(manager_, parent);
    ASSERT_EQ(1, Manager_CloseMember(manager_, member));
    Manager_CloseTaggedMembers(manager_, 0);
    EXPECT_EQ(1, Manager_IsMember(manager_, member)); // the adder still holds it
    ManagerMemberStruct *first = nullptr;
    EXPECT_EQ(0, Manager_GetFirstMember(manager_, &first)); // but iteration skips it
    ManagerMemberStruct *held = member;
    Manager_ReleaseMember(manager_, &member);
    EXPECT_EQ(nullptr, member);
    Manager_CloseTaggedMembers(manager_, 0);
    EXPECT_EQ(0, Manager_IsMember(manager_, held));
    EXPECT_EQ(0, Count());
}

TEST_F(MemberTest, AnActiveTrackerHoldsAClosedMemberUntilForced) {
    struct Case {
        int force;
        int idleFirst; // the tracker finishes before the close pass
        int freed;
        bool forcedLine;
    } cases[] = {{0, 0, 0, false}, {0, 1, 1, false}, {1, 0, 1, true}};
    for (const Case &c : cases) {
        testsupport::ClearAlerts();
        ManagerMemberStruct *member = nullptr;
        Manager_AddMember(manager_, &member);
        Tracker_SetHoldActive(TrackerOf(member), 1);
        ManagerMemberStruct *held = member;
        Manager_CloseMember(manager_, member);
        if (c.idleFirst)
            Tracker_SetHoldActive(TrackerOf(member), 0);
        Manager_ReleaseMember(manager_, &member);
        Manager_CloseTaggedMembers(manager_, c.force);
        EXPECT_EQ(c.freed, 1 - Manager_IsMember(manager_, held)) << c.force << c.idleFirst;
        EXPECT_EQ(c.forcedLine, AlertSeen("Forced close on [")) << c.force << c.idleFirst;
        if (!c.freed) {
            // Idle at last: the next cycle's close pass frees it.
            Tracker_SetHoldActive(TrackerOf(held), 0);
            int trackers = -1;
            Manager_ProcessMembers(manager_, &trackers, 0);
            EXPECT_EQ(0, trackers);
            EXPECT_EQ(0, Manager_IsMember(manager_, held));
        }
    }
    EXPECT_EQ(0, Count());
}

TEST_F(MemberTest, IterationSkipsTaggedMembers) {
    std::vector<ManagerMemberStruct *> members(5);
    for (ManagerMemberStruct *&m : members)
        Manager_AddMember(manager_, &m);
    Manager_CloseMember(manager_, members[1]);
    Manager_CloseMember(manager_, members[3]);
    std::vector<ManagerMemberStruct *> seen;
    ManagerMemberStruct *m = nullptr;
    for (int more = Manager_GetFirstMember(manager_, &m); more;
         more = Manager_GetNextMember(manager_, m, &m))
        seen.push_back(m);
    EXPECT_EQ((std::vector<ManagerMemberStruct *>{members[0], members[2], members[4]}), seen);
    // Stopping early: the held member is released by hand.
    ASSERT_EQ(1, Manager_GetFirstMember(manager_, &m));
    Manager_ReleaseMember(manager_, &m);
    for (ManagerMemberStruct *&member : members)
        Manager_ReleaseMember(manager_, &member);
    Manager_CloseTaggedMembers(manager_, 0);
    EXPECT_EQ(3, Count()); // every reference was given back
    int trackers = -1;
    EXPECT_EQ(1, Manager_ProcessMembers(manager_, &trackers, 0));
    EXPECT_EQ(0, trackers);
}

TEST_F(MemberTest, StatisticsOnlyForActiveDownloads) {
    testsupport::ConsoleCapture console;
    ManagerMemberStruct *member = nullptr;
    Manager_AddMember(manager_, &member);
    Manager_PrintStatistics(manager_);
    EXPECT_FALSE(console.Contains("Active connections"));
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member, &base);
    Base_SetActive(base, 1);
    Manager_PrintStatistics(manager_);
    EXPECT_TRUE(console.Contains("Active connections [In: 0] [Out: 0]\n"));
    EXPECT_TRUE(console.Contains("Bandwidth Incoming [Cur: 0] [Avg: 0] [Max: 0]\n"));
    EXPECT_TRUE(console.Contains("Bandwidth Outgoing [Cur: 0] [Avg: 0] [Max: 0]\n"));
    Manager_ReleaseMember(manager_, &member);
}

TEST_F(MemberTest, AMemberHeldAtDestructionIsReportedAndFreed) {
    ManagerMemberStruct *member = nullptr;
    Manager_AddMember(manager_, &member);
    Manager_Destroy(&manager_); // the adder never released it
    EXPECT_TRUE(AlertSeen("Manager member instance still in use ("));
    EXPECT_TRUE(AlertSeen(" - 1:1)"));
}

TEST_F(MemberTest, StopDoesNotWaitPastTheBoundForABusyTracker) {
    UseTestClock();
    Manager_SetVerbose(manager_);
    ManagerMemberStruct *member = nullptr;
    Manager_AddMember(manager_, &member);
    Tracker_SetHoldActive(TrackerOf(member), 1); // never finishes its stop announce
    ManagerMemberStruct *held = member;
    Manager_CloseMember(manager_, member);
    Manager_ReleaseMember(manager_, &member);
    ASSERT_EQ(1, Manager_SetActive(manager_, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, Manager_IsMember(manager_, held)); // kept while the tracker works
    std::thread stopper([this] { Manager_SetActive(manager_, 0); });
    for (int i = 0; i < 5000 && !AlertSeen("Waiting for active trackers shutdown"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, Manager_IsMember(manager_, held)); // still waiting within the bound
    clock_.Now = clock_.Now + (double)MANAGER_TRACKER_STOP_SECONDS;
    stopper.join();
    EXPECT_TRUE(AlertSeen("Timeout waiting on active trackers shutdown (1)"));
    EXPECT_TRUE(AlertSeen("Forced close on ["));
    EXPECT_EQ(0, Manager_IsMember(manager_, held));
}

TEST_F(MemberTest, StopWaitsForTheStopAnnounces) {
    UseTestClock();
    Manager_SetVerbose(manager_);
    ManagerMemberStruct *member = nullptr;
    Manager_AddMember(manager_, &member);
    TrackerStruct *tracker = TrackerOf(member);
    Tracker_SetHoldActive(tracker, 1);
    Manager_ReleaseMember(manager_, &member);
    ASSERT_EQ(1, Manager_SetActive(manager_, 1));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        Manager_SetActive(manager_, 0);
        stopped = true;
    });
    for (int i = 0; i < 5000 && !AlertSeen("Waiting for active trackers shutdown"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(stopped.load()); // the announce is still under way
    Tracker_SetHoldActive(tracker, 0);
    stopper.join();
    EXPECT_FALSE(AlertSeen("Timeout waiting on active trackers shutdown"));
    EXPECT_EQ(1, Count()); // paused, not closed: it stays for the next start
}

} // namespace
