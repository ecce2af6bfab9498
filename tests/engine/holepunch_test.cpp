// Hole punching: the 36-byte ping's layout and its descrambling from the
// clear time stamp, and the pings of a stopped manager's download sent to a
// UDP socket of the test, at most one per interval on the injected clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/random.h"
#include "engine/holepunch.h"
#include "engine/tracker.h"
#include "net/socket.h"
#include "tests/engine/swarm_support.h"

namespace {

const uint8_t kHash[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

TEST(HolePunchPing, LayoutAndDescrambling) {
    RandomStruct *random = nullptr;
    Random_Create(&random);
    const uint8_t lan[4] = {192, 168, 1, 7};
    for (const uint8_t *address : {lan, (const uint8_t *)"\0\0\0\0"}) {
        uint8_t ping[HOLEPUNCH_PING_SIZE];
        ASSERT_EQ(1, HolePunch_BuildPing(random, 0x12345678u, kHash, address, 6881, ping));
        // The stamp stays clear; the rest is scrambled.
        EXPECT_EQ(0, memcmp(ping, "\x12\x34\x56\x78", 4));
        EXPECT_NE(0, memcmp(ping + 4, "\x80\x45\x00\x00", 4));
        ASSERT_EQ(1, HolePunch_Descramble(random, ping));
        EXPECT_EQ(0, memcmp(ping + 4, "\x80\x45\x00\x00", 4));
        EXPECT_EQ(0, memcmp(ping + 8, kHash, 20));
        EXPECT_EQ(0, memcmp(ping + 28, address, 4));
        EXPECT_EQ(0, memcmp(ping + 32, "\x00\x00\x1a\xe1", 4));
    }
    Random_Destroy(&random);
}

class HolePunchTest : public enginetest::ManagerFixture {
  protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        UseTestClock();
        ASSERT_EQ(1, Manager_AddMember(manager_, &member_));
        ManagerMember_GetBase(member_, &base_);
        Base_GetTracker(base_, &tracker_);
        receiver_ = enginetest::HoldPort(SOCK_DGRAM, &port_);
        ASSERT_GE(receiver_, 0);
        Socket_Create(&socket_);
        ASSERT_EQ(1, Socket_Open(socket_, SOCKET_PROTOCOL_UDP));
        Manager_GetHolePunch(manager_, &punch_);
        HolePunch_SetUDTSocket(punch_, socket_);
        HolePunch_SetActive(punch_, 1);
        tracker_->ReportPrivateAddress = 0;
        tracker_->TraversePresent = 1;
        memcpy(tracker_->TraverseAddress, enginetest::kLoopbackAddress, 4);
        tracker_->TraversePort = port_;
    }
    void TearDown() override {
        if (punch_) {
            HolePunch_SetActive(punch_, 0);
            HolePunch_SetUDTSocket(punch_, nullptr);
        }
        Socket_Destroy(&socket_);
        if (receiver_ >= 0)
            close(receiver_);
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        ManagerFixture::TearDown();
    }
    // Datagrams waiting at the receiver (each checked to be a ping of ours).
    int Received() {
        int n = 0;
        pollfd p = {receiver_, POLLIN, 0};
        while (poll(&p, 1, 200) > 0) {
            uint8_t ping[64];
            const ssize_t got = recv(receiver_, ping, sizeof ping, 0);
            EXPECT_EQ(HOLEPUNCH_PING_SIZE, got);
            RandomStruct *random = nullptr;
            Random_Create(&random);
            HolePunch_Descramble(random, ping);
            Random_Destroy(&random);
            EXPECT_EQ(0, memcmp(ping + 4, "\x80\x45\x00\x00", 4));
            EXPECT_EQ(0, memcmp(ping + 28, "\0\0\0\0", 4)); // not asked for
            n++;
        }
        return n;
    }
    ManagerMemberStruct *member_ = nullptr;
    BaseStruct *base_ = nullptr;
    TrackerStruct *tracker_ = nullptr;
    HolePunchStruct *punch_ = nullptr;
    SocketStruct *socket_ = nullptr;
    int receiver_ = -1, port_ = 0;
};

TEST_F(HolePunchTest, OnePingPerIntervalOnTheInjectedClock) {
    EXPECT_EQ(1, HolePunch_SendPing(base_, punch_));
    clock_.Now = clock_.Now + 59;
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_)); // within 60 s
    EXPECT_EQ(1, Received());
    clock_.Now = clock_.Now + 1;
    EXPECT_EQ(1, HolePunch_SendPing(base_, punch_));
    EXPECT_EQ(1, Received());
}

TEST_F(HolePunchTest, NothingWithoutTargetSocketOrSwitch) {
    tracker_->TraversePresent = 0;
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_));
    tracker_->TraversePresent = 1;
    HolePunch_SetActive(punch_, 0);
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_));
    HolePunch_SetActive(punch_, 1);
    HolePunch_SetUDTSocket(punch_, nullptr);
    EXPECT_EQ(0, HolePunch_SendPing(base_, punch_));
    EXPECT_EQ(0, Received());
}

} // namespace
