// The swarm's status line: with nobody connected and the tracker idle, the
// member list gives way to the reason the tracker's last reply failed.
#include <gtest/gtest.h>

#include "engine/tracker.h"
#include "tests/engine/peer_support.h"

namespace {

class SwarmStatus : public enginetest::PeerFixture {};

TEST_F(SwarmStatus, AnIdleTrackersFailureReasonStandsForTheEmptyMemberList) {
    Open(true);
    TrackerStruct *tracker = nullptr;
    Base_GetTracker(base_, &tracker);
    ASSERT_NE(nullptr, tracker);
    ASSERT_EQ(1, BitBase_PrintStatus(swarm_));
    EXPECT_TRUE(testsupport::AlertSeen("   Complete = D:   0/   0 U:   0/   0 [  0/  0:]"))
        << testsupport::AlertText();

    static const char kFailed[] = "d14:failure reason20:unregistered torrente";
    EXPECT_EQ(0, Tracker_ParseReply(tracker, kFailed, (int)sizeof kFailed - 1));
    ASSERT_EQ(1, BitBase_PrintStatus(swarm_));
    EXPECT_TRUE(testsupport::AlertSeen("[  0/  0:unregistered torrent]"))
        << testsupport::AlertText();

    // While the tracker is still at work the reason is not shown.
    Tracker_SetHoldActive(tracker, 1);
    testsupport::ClearAlerts();
    ASSERT_EQ(1, BitBase_PrintStatus(swarm_));
    EXPECT_TRUE(testsupport::AlertSeen("[  0/  0:]")) << testsupport::AlertText();
    Tracker_SetHoldActive(tracker, 0);
}

} // namespace
