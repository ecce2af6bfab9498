// Two of our engines on 127.0.0.1 over the munged handshake: the leecher dials
// with that type only, the seed identifies it by its first bytes, and the
// content arrives whole.
#include <gtest/gtest.h>

#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

using enginetest::Engine;

namespace {

class SwarmMunge : public ::testing::Test {
  protected:
    void SetUp() override {
        enginetest::StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent missing";
    }
    void TearDown() override { testsupport::StopAlertCapture(); }
};

TEST_F(SwarmMunge, TwoEnginesTransferOverTheMungedHandshake) {
    testsupport::TempDir dir;
    const std::string data = enginetest::MakeBytes(2 * 1048576 + 777, 5);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir, "munged", {{"m.bin", data}}, 16, &torrent));
    Engine seed, leecher;
    ASSERT_TRUE(seed.Open(torrent, dir / "src/munged")) << testsupport::AlertText();
    ASSERT_TRUE(seed.Complete());
    const std::string out = dir / "out";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "'"));
    leecher.Types = MANAGER_CONNECTION_MUNGE;
    ASSERT_TRUE(leecher.Open(torrent, out)) << testsupport::AlertText();
    leecher.AddPeer(seed.Port);
    seed.Start();
    // A failed first dial with one type only waits for the next connect pass.
    const std::string listening = "Listening on TCP, 127.0.0.1:" + std::to_string(seed.Port);
    for (int i = 0; i < 500 && !testsupport::AlertSeen(listening); i++)
        usleep(10000);
    leecher.Start();
    ASSERT_TRUE(leecher.WaitComplete(60)) << testsupport::AlertText();
    leecher.Close();
    seed.Close();
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/m.bin")));
    // The seed took the connection as a munged one.
    const std::string alerts = testsupport::AlertText();
    const size_t at = alerts.find("Inheriting peer [");
    ASSERT_NE(std::string::npos, at) << alerts;
    EXPECT_EQ("] [Munge]", alerts.substr(alerts.find('\n', at) - 9, 9)) << alerts;
}

} // namespace
