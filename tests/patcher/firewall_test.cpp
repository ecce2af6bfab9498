// The firewall rules: no firewall object can be made here, so each rule step
// logs that one line and returns; with the options' word 0 nothing is tried.
#include "patcher/firewall.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <string>

namespace {

int Count(const std::string &text, const std::string &part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

TEST(FirewallTest, TheRuleStepsLogTheirLineAndGoOnOnlyWhenConfigured) {
    testsupport::EnsureAlertLog();
    testsupport::CaptureAlerts();
    testsupport::ConsoleCapture console;
    EXPECT_EQ(1, Firewall_AddRules(1, 6881));
    EXPECT_EQ(1, Firewall_RemoveRules(1, 6881));
    EXPECT_EQ(2, Count(console.Text(), "Failed to get firewall manager (95:0000005F)"))
        << console.Text();
    // Nothing is opened, so nothing is reported as added or removed.
    EXPECT_FALSE(testsupport::AlertSeen("windows firewall")) << testsupport::AlertText();

    console.Clear();
    EXPECT_EQ(1, Firewall_AddRules(0, 6881));
    EXPECT_EQ(1, Firewall_RemoveRules(0, 6881));
    EXPECT_EQ(0, Count(console.Text(), "firewall"));
    testsupport::StopAlertCapture();
}

TEST(FirewallTest, CreateGivesZeroAndDestroyAcceptsNone) {
    WinXPFW *fw = reinterpret_cast<WinXPFW *>(1);
    EXPECT_EQ(0, WinXPFW_Create(&fw));
    EXPECT_EQ(nullptr, fw);
    EXPECT_EQ(1, WinXPFW_Destroy(&fw));
}

} // namespace
