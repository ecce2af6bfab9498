// Alert log: default printer forms, level filter, replaced printer, cut of long
// messages, silence before creation and the fatal second creation.
#include "core/alert.h"
#include "core/zyl.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string g_alertLog;
int CaptureAlertLog(const char *text) {
    g_alertLog += text;
    return 1;
}

struct Printed {
    int kind;
    int level;
    std::string text;
};
std::vector<Printed> g_printed;
void RecordPrinter(int kind, int level, const char *text) {
    g_printed.push_back({kind, level, text});
}

struct AlertFixture : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(1, Alert_Create());
        g_alertLog.clear();
        g_printed.clear();
        Zyl_SetConsoleCallback(CaptureAlertLog);
    }
    void TearDown() override {
        Zyl_SetConsoleCallback(nullptr);
        Alert_Destroy();
    }
};

TEST(AlertNone, LogBeforeCreateReturnsZeroAndPrintsNothing) {
    g_alertLog.clear();
    Zyl_SetConsoleCallback(CaptureAlertLog);
    EXPECT_EQ(0, Alert_Log(2, 1000, "Unable to read file."));
    Zyl_SetConsoleCallback(nullptr);
    EXPECT_EQ("", g_alertLog);
}

TEST_F(AlertFixture, DefaultPrinterFormsPerKind) {
    EXPECT_EQ(20, Alert_Log(2, 1000, "Unable to read file."));
    Alert_Log(1, 1000, "notice %d", 7);
    Alert_Log(0, 2000, "plain [%s]", "x");
    EXPECT_NE(std::string::npos, g_alertLog.find("**** Unable to read file.\n")) << g_alertLog;
    EXPECT_NE(std::string::npos, g_alertLog.find("++++ notice 7\n"));
    EXPECT_NE(std::string::npos, g_alertLog.find("plain [x]\n"));
    EXPECT_EQ(std::string::npos, g_alertLog.find("**** plain"));
}

TEST_F(AlertFixture, MaxLevelDropsWithoutFormattingAndPrinterIsReplaceable) {
    Alert_SetPrinter(RecordPrinter);
    Alert_SetMaxLevel(1500);
    EXPECT_EQ(0, Alert_Log(0, 2000, "dropped %s", "x"));
    EXPECT_EQ(4, Alert_Log(1, 1500, "kept"));
    ASSERT_EQ(1u, g_printed.size());
    EXPECT_EQ(1, g_printed[0].kind);
    EXPECT_EQ(1500, g_printed[0].level);
    EXPECT_EQ("kept", g_printed[0].text);
    Alert_SetPrinter(nullptr); // default again
    Alert_SetMaxLevel(INT_MAX);
    Alert_Log(2, 1000, "back");
    EXPECT_NE(std::string::npos, g_alertLog.find("**** back"));
}

TEST_F(AlertFixture, LongMessagesAreCutTo1022Characters) {
    Alert_SetPrinter(RecordPrinter);
    std::string longText(3000, 'q');
    int length = Alert_Log(0, 1000, "%s", longText.c_str());
    ASSERT_EQ(1u, g_printed.size());
    EXPECT_EQ(1022u, g_printed[0].text.size());
    EXPECT_EQ(1022, length);
}

TEST(AlertDeath, SecondCreateIsFatal) {
    EXPECT_DEATH(
        {
            Alert_Create();
            Alert_Create();
        },
        "Alert_Create\\(\\) alert log already exists");
}

} // namespace
