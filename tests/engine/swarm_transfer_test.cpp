// Two of our engines on 127.0.0.1 exchange a real content: one seeds a folder
// made by mktorrent, the other starts empty, connects (with the encrypted
// type) and ends with files equal to the source.
#include <gtest/gtest.h>

#include "engine/content.h"
#include "engine/iplist.h"
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

// The swarm counts from 0 again when a paused download resumes; the
// download's own totals keep what its closed connections counted before.
TEST_F(SwarmTransfer, APausedDownloadKeepsCountingWhatItReceived) {
    const std::string a = MakeBytes(4 * 1048576, 12);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "paused", {{"a.bin", a}}, 16, &torrent));
    ASSERT_TRUE(seed_.Open(torrent, dir_ / "src/paused"));
    const std::string out = dir_ / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "'"));
    leecher_.Types = MANAGER_CONNECTION_NORMAL;
    ASSERT_TRUE(leecher_.Open(torrent, out));
    leecher_.AddPeer(seed_.Port);
    Base_SetRateLimit(leecher_.Base, 1 << 20, 0); // about 4 s for the whole
    // The seed's address is tried again at once after the resume.
    IPListStruct *list = nullptr;
    Base_GetIPList(leecher_.Base, &list);
    IPList_SetRetryInterval(list, 1);
    ContentStruct *content = nullptr;
    Base_GetContent(leecher_.Base, &content);
    BitBaseStruct *swarm = nullptr;
    Base_GetBitBase(leecher_.Base, &swarm);
    const auto left = [&] {
        int64_t bytes = 0;
        Content_GetBytesLeft(content, &bytes);
        return bytes;
    };
    seed_.Start();
    leecher_.Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return left() <= (int64_t)a.size() / 2; }, 60))
        << testsupport::AlertText();
    ASSERT_EQ(1, Base_SetActive(leecher_.Base, 0));
    // The swarm turns off in the next step and closes its connections.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return BitBase_GetActive(swarm) == 0; }, 30));
    TransferTotalsStruct paused = {};
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            TransferTotalsStruct now = {};
            Base_GetDownloadTotals(leecher_.Base, &now);
            const bool still = now.Received == paused.Received && now.Received > 0;
            paused = now;
            return still;
        },
        30));
    ASSERT_GT(left(), 0);
    ASSERT_EQ(1, Base_SetActive(leecher_.Base, 1));
    ASSERT_TRUE(leecher_.WaitComplete(120)) << testsupport::AlertText();
    TransferTotalsStruct life = {}, session = {}, sent = {};
    Base_GetDownloadTotals(leecher_.Base, &life);
    Base_GetTransferTotals(leecher_.Base, &session);
    leecher_.Close();
    Base_GetTransferTotals(seed_.Base, &sent);
    EXPECT_EQ(testsupport::Sha1Hex(a), testsupport::Sha1Hex(testsupport::ReadFile(out + "/a.bin")));
    // Every byte of the content came after the start, half of it before the
    // pause; nothing is counted twice: no more than the seed sent.
    EXPECT_GE(life.Received, a.size());
    EXPECT_GE(life.Received, paused.Received + session.Received);
    EXPECT_LT(session.Received, a.size());
    EXPECT_LE(life.Received, sent.Sent);
}

} // namespace
