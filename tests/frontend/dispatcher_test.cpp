// The page's scripting object: method names, the parse of event names and
// parameter texts, and the answers to calls of the wrong shape.
#include <gtest/gtest.h>

#include <string>

#include "frontend/scriptdispatcher.h"
#include "tests/frontend/frontend_support.h"
#include "tests/support/log_capture.h"

namespace {

std::string Describe(const ScriptParameter &p) {
    switch (p.Type) {
    case SCRIPT_VALUE_STRING:
        return "S:" + std::string(p.Value.Text);
    case SCRIPT_VALUE_INT:
        return "I:" + std::to_string(p.Value.Int);
    case SCRIPT_VALUE_DOUBLE:
        return "D:" + std::to_string(p.Value.Double);
    case SCRIPT_VALUE_NUMERIC:
        return "N:" + std::to_string(p.Value.Numeric);
    case SCRIPT_VALUE_BOOL:
        return "B:" + std::to_string(p.Value.Bool);
    }
    return "?";
}

std::string Parse(const char *parameters, int *result = nullptr) {
    ScriptPageValue values[2] = {{1, "event"}, {1, parameters}};
    ScriptCall call;
    int parsed = ScriptDispatcher::ParseParameters(&call, values, 2);
    if (result != nullptr)
        *result = parsed;
    std::string shown;
    for (int i = 0; i < call.Event.Count; i++)
        shown += (i ? "|" : "") + Describe(call.Event.Parameters[i]);
    return shown;
}

TEST(Dispatcher, MethodNames) {
    EXPECT_EQ(ScriptDispatcher::GetIDOfName("XRBLauncher_ReturnBool"), 0x10329);
    EXPECT_EQ(ScriptDispatcher::GetIDOfName("XRBLauncher_ReturnSettings"), 0x1032A);
    EXPECT_EQ(ScriptDispatcher::GetIDOfName("XRBLauncher_ReturnString"), 0x1032B);
    EXPECT_EQ(ScriptDispatcher::GetIDOfName("XRBLauncher_ReturnPackageOptions"), 0x1032C);
    EXPECT_EQ(ScriptDispatcher::GetIDOfName("xrblauncher_returnbool"), -1);
    EXPECT_EQ(ScriptDispatcher::GetIDOfName("QTRLauncher"), -1);
}

TEST(Dispatcher, ParsesParameterTexts) {
    struct {
        const char *Text;
        const char *Expected;
    } cases[] = {
        {"string:c:\\games|bool:TRUE", "S:c:\\games|B:1"},
        {"string:a|int:5|bool:yes", "S:a|I:5|B:1"},
        {"a:b:c", "S:b:c"},
        {"STRING:x|Int:-7|DOUBLE:2.5|numeric:9000000000|Bool:off",
         "S:x|I:-7|D:2.500000|N:9000000000|B:0"},
        {"bool:maybe", "B:0"},
        {"||int:1||", "I:1"},
        {"", ""},
        {"noColon|int:2", "S:|I:2"},
        {"string:", "S:"},
        {"int:12abc", "I:12"},
        {"int:99999999999", "I:2147483647"},
    };
    for (auto &c : cases) {
        int result = -1;
        EXPECT_EQ(Parse(c.Text, &result), c.Expected) << c.Text;
        EXPECT_EQ(result, SCRIPT_PARSE_OK) << c.Text;
    }
}

TEST(Dispatcher, LogsATokenWithoutAColon) {
    testsupport::ConsoleCapture console;
    Parse("justtext");
    EXPECT_TRUE(console.Contains("Unable to properly parse [justtext]")) << console.Text();
}

TEST(Dispatcher, RefusesTextsOverTheirLimits) {
    int result = -1;
    std::string value127 = "string:" + std::string(127, 'v');
    EXPECT_EQ(Parse(value127.c_str(), &result), "S:" + std::string(127, 'v'));
    EXPECT_EQ(result, SCRIPT_PARSE_OK);
    std::string value128 = "string:" + std::string(128, 'v');
    Parse(value128.c_str(), &result);
    EXPECT_EQ(result, SCRIPT_PARSE_TOO_LONG);
    std::string text319 = "int:1|" + std::string(313, '|');
    Parse(text319.c_str(), &result);
    EXPECT_EQ(result, SCRIPT_PARSE_OK);
    std::string text320 = text319 + "|";
    Parse(text320.c_str(), &result);
    EXPECT_EQ(result, SCRIPT_PARSE_TOO_LONG);
}

TEST(Dispatcher, EventNamesAreCutAtACharacterBoundary) {
    ScriptCall call;
    std::string forty(40, 'n');
    ScriptPageValue one[1] = {{1, forty.c_str()}};
    ASSERT_EQ(ScriptDispatcher::ParseParameters(&call, one, 1), SCRIPT_PARSE_OK);
    EXPECT_EQ(std::string(call.Event.Name), std::string(31, 'n'));
    EXPECT_EQ(call.Event.Count, 0);
    // 30 ASCII bytes, then a two-byte character that would straddle byte 31.
    std::string utf8 = std::string(30, 'a') + "\xC3\xA9" + "tail";
    ScriptPageValue two[1] = {{1, utf8.c_str()}};
    ASSERT_EQ(ScriptDispatcher::ParseParameters(&call, two, 1), SCRIPT_PARSE_OK);
    EXPECT_EQ(std::string(call.Event.Name), std::string(30, 'a'));
}

TEST(Dispatcher, RefusesCallsOfTheWrongShape) {
    testsupport::ConsoleCapture console;
    ScriptCall call;
    ScriptPageValue three[3] = {{1, "a"}, {1, "b"}, {1, "c"}};
    EXPECT_EQ(ScriptDispatcher::ParseParameters(&call, three, 3), SCRIPT_PARSE_FAILED);
    EXPECT_TRUE(
        console.Contains("ScriptDispatcher::ParseParameters() insufficient # of parameters"));
    EXPECT_EQ(ScriptDispatcher::ParseParameters(&call, three, 0), SCRIPT_PARSE_FAILED);
    ScriptPageValue number[2] = {{1, "play"}, {0, nullptr}};
    EXPECT_EQ(ScriptDispatcher::ParseParameters(&call, number, 2), SCRIPT_PARSE_FAILED);
    EXPECT_TRUE(console.Contains("ScriptDispatcher::ParseParameters() argument not a BSTR"));
    ScriptPageValue name[1] = {{0, nullptr}};
    EXPECT_EQ(ScriptDispatcher::ParseParameters(&call, name, 1), SCRIPT_PARSE_FAILED);
}

} // namespace
