// Two of our engines on 127.0.0.1 exchange a real content: one seeds a folder
// made by mktorrent, the other starts empty, connects (with the encrypted
// type) and ends with files equal to the source.
#include <gtest/gtest.h>

#include "engine/swarm.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;
using enginetest::MakeBytes;

namespace {

class SwarmTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent missing";
    }
    void TearDown() override {
        leecher_.Close();
        seed_.Close();
        testsupport::StopAlertCapture();
    }
    testsupport::TempDir dir_;
    Engine seed_, leecher_;
};

TEST_F(SwarmTransfer, OneEngineDownloadsAFolderFromAnother) {
    const std::string a = MakeBytes(3 * 1048576 + 12345, 1), b = MakeBytes(70000, 2);
    std::string torrent;
    ASSERT_TRUE(
        enginetest::MakeTorrent(dir_, "pack", {{"a.bin", a}, {"sub.b.bin", b}}, 16, &torrent));
    ASSERT_TRUE(seed_.Open(torrent, dir_ / "src/pack")) << testsupport::AlertText();
    ASSERT_TRUE(seed_.Complete());
    const std::string out = dir_ / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "'"));
    ASSERT_TRUE(leecher_.Open(torrent, out)) << testsupport::AlertText();
    ASSERT_FALSE(leecher_.Complete());
    leecher_.AddPeer(seed_.Port);
    seed_.Start();
    leecher_.Start();
    ASSERT_TRUE(leecher_.WaitComplete(60)) << testsupport::AlertText();
    leecher_.Close();
    seed_.Close();
    EXPECT_EQ(testsupport::Sha1Hex(a), testsupport::Sha1Hex(testsupport::ReadFile(out + "/a.bin")));
    EXPECT_EQ(testsupport::Sha1Hex(b),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/sub.b.bin")));
    // The encrypted type is tried first and carries the transfer: the seed
    // inherits the leecher's connection as PE.
    const std::string alerts = testsupport::AlertText();
    const size_t at = alerts.find("Inheriting peer [");
    ASSERT_NE(std::string::npos, at) << alerts;
    EXPECT_EQ("] [PE]", alerts.substr(alerts.find('\n', at) - 6, 6)) << alerts;
}

TEST_F(SwarmTransfer, ALeecherTakesPiecesFromTwoSeedsAtOnce) {
    const std::string a = MakeBytes(6 * 1048576, 9);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "duo", {{"a.bin", a}}, 16, &torrent));
    Engine second;
    ASSERT_TRUE(seed_.Open(torrent, dir_ / "src/duo"));
    ASSERT_TRUE(second.Open(torrent, dir_ / "src/duo"));
    const std::string out = dir_ / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "'"));
    leecher_.Types = MANAGER_CONNECTION_NORMAL;
    ASSERT_TRUE(leecher_.Open(torrent, out));
    leecher_.AddPeer(seed_.Port);
    leecher_.AddPeer(second.Port);
    BitBaseStruct *swarm = nullptr;
    Base_GetBitBase(leecher_.Base, &swarm);
    BitBase_SetConnectInterval(swarm, 0); // both seeds at once
    // The first seed sends at most 1 MiB/s: the second must carry a share.
    Base_SetRateLimit(seed_.Base, 0, 1048576);
    seed_.Start();
    second.Start();
    leecher_.Start();
    const bool complete = leecher_.WaitComplete(60);
    leecher_.Close();
    TransferTotalsStruct one = {}, two = {};
    Base_GetTransferTotals(seed_.Base, &one);
    Base_GetTransferTotals(second.Base, &two);
    second.Close();
    ASSERT_TRUE(complete) << testsupport::AlertText();
    EXPECT_EQ(testsupport::Sha1Hex(a), testsupport::Sha1Hex(testsupport::ReadFile(out + "/a.bin")));
    EXPECT_GT(one.Sent, 0u);
    EXPECT_GT(two.Sent, 0u);
    EXPECT_GE(one.Sent + two.Sent, a.size());
}

} // namespace
