// The page's commands through the scripting object, with the real engine
// behind them: each command with right, wrong-count and wrong-type parameters,
// its answer and its effect; the string methods; commands called while the
// engine waits for a consent answer.
#include <gtest/gtest.h>

#include <string>

#include "patcher/patcher.h"
#include "tests/frontend/frontend_support.h"
#include "tests/support/log_capture.h"

namespace {

using frontendtest::BoolAnswer;
using frontendtest::IntAnswer;
using frontendtest::kListTarget;
using frontendtest::ModelTest;
using V = std::vector<std::string>;

class CommandTest : public ModelTest {
  protected:
    void SetUp() override {
        ModelTest::SetUp();
        ASSERT_EQ(Open(), 1);
        model->Tick();
        Page()->calls.clear();
        view.calls.clear();
    }
    int Bool(const std::string &name, const char *parameters = nullptr) {
        return Page()->CallBool(name, parameters);
    }
    // The engine's log lines drained into the model since the last call.
    std::string Logged() {
        model->Tick();
        std::string text;
        for (const std::string &line : model->GetLogLines())
            text += line + "\n";
        return text;
    }
    bool LoggedLine(const std::string &part) { return Logged().find(part) != std::string::npos; }
    // The page's first document completes, its script version accepted.
    void PageLoaded() {
        Page()->answers["__Launcher_getVersion"] = IntAnswer(SCRIPT_PAGE_VERSION);
        model->OnDocumentComplete();
    }
};

// A wrong count or wrong type is logged and answered true, and does nothing.
TEST_F(CommandTest, WrongParametersAreLoggedAndAnsweredTrue) {
    struct {
        const char *Name;
        const char *Parameters;
        const char *Logged;
    } cases[] = {
        {"play", "int:1", "ScriptResponder:: incorrect # parameters play()"},
        {"setSettings", "bool:1|bool:1|bool:1|string:5", "incorrect # parameters setSettings()"},
        {"setSettings", "bool:1|bool:1|int:1|string:5|string:6", "incorrect parameters (2)"},
        {"launchProcess", "string:true|string:1", "incorrect parameters (1)"},
        {"setWindowSize", "int:1|string:2", "incorrect parameters (1)"},
        {"sendLog", "int:5", "incorrect parameters (0)"},
        {"sendError", "string:1|string:x", "incorrect parameters (0)"},
        {"navigate", "string:a", "incorrect # parameters navigate()"},
        {"addDownload", "string:a|string:b|string:c", "incorrect # parameters addDownload()"},
        {"addDownloadOptions", "string:a|string:b|string:c|string:d|bool:1|int:1",
         "incorrect parameters (5)"},
        {"removeDownload", "", "incorrect # parameters removeDownload()"},
        {"addPackage", "string:a|string:b|bool:1", "incorrect parameters (2)"},
        {"addPackageOptions", "string:a|string:b|string:c|bool:1", "incorrect # parameters"},
        {"setPackageActive", "string:a|int:1", "incorrect parameters (1)"},
        {"addPackageList", "string:a", "incorrect # parameters addPackageList()"},
        {"addPackageListOptions", "string:a|string:b|bool:1|string:x", "incorrect parameters (3)"},
        {"setPackageListOptions", "string:a|bool:1", "incorrect # parameters"},
        {"getPackageListActive", "bool:1", "incorrect parameters (0)"},
        {"minimize", "bool:1", "incorrect # parameters minimize()"},
        {"close", "bool:1", "incorrect # parameters close()"},
        {"sendAnalyticsEvent", "string:x", "incorrect parameters (0)"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(Bool(c.Name, c.Parameters), 1) << c.Name << " " << c.Parameters;
        EXPECT_TRUE(LoggedLine(c.Logged)) << c.Name << " " << c.Parameters;
    }
    EXPECT_EQ(view.calls, V());
    PackageOptions options;
    EXPECT_EQ(LauncherLib_GetPackageOptions("a", &options), 0);
}

TEST_F(CommandTest, UnknownNamesAreUnhandled) {
    EXPECT_EQ(Bool("Play"), 0);
    EXPECT_EQ(Bool(std::string(40, 'p')), 0);
    EXPECT_TRUE(LoggedLine("Unhandled event [" + std::string(31, 'p') + "]"));
    EXPECT_EQ(Bool("noSuchCommand", "int:1"), 0);
    EXPECT_TRUE(LoggedLine("Unhandled event [noSuchCommand]"));
}

TEST_F(CommandTest, ViewCommands) {
    EXPECT_EQ(Bool("setWindowSize", "int:640|int:480"), 1);
    EXPECT_EQ(Bool("beginMoveWindow"), 1);
    EXPECT_EQ(Bool("minimize"), 1);
    EXPECT_EQ(Bool("openNativeLogPage"), 1);
    EXPECT_EQ(Bool("navigate", "string:skin/other.html|bool:false"), 1);
    EXPECT_EQ(Bool("navigate", "string:HTTPS://example.org/x|bool:0"), 1);
    EXPECT_EQ(Bool("close"), 1);
    EXPECT_EQ(view.calls, V({"SetWindowSize:640x480", "BeginMoveWindow", "Minimize",
                             "OpenNativeLogPage", "Navigate:" + Folder() + "skin/other.html",
                             "Navigate:HTTPS://example.org/x", "Close"}));
    // An address that would pass 1023 bytes is refused.
    std::string longName = "string:" + std::string(120, 'x');
    view.calls.clear();
    for (int i = 0; i < 9; i++)
        model->GetScriptFacade()->Navigate(std::string(120 * (i + 1), 'y').c_str(), 0);
    EXPECT_EQ(view.calls.size(), 8u);
}

TEST_F(CommandTest, LogAndErrorCommandsComeBackAsEvents) {
    EXPECT_EQ(Bool("sendLog", "string:from the page"), 1);
    EXPECT_EQ(Bool("sendAnalyticsEvent", "int:3"), 1);
    EXPECT_EQ(Bool("sendError", "int:1|string:page trouble"), 1);
    std::string logged = Logged();
    EXPECT_NE(logged.find("[INFO] from the page"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Unimplemented"), std::string::npos) << logged;
    auto errors = Page()->CallsOf("__Launcher_reportlauncherError");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Arguments[0], "I:1");
    EXPECT_EQ(errors[0].Arguments[2], "S:[ERROR] page trouble");
    EXPECT_EQ(view.Count("Close"), 0);
}

TEST_F(CommandTest, PackageCommandsReachTheEngine) {
    EXPECT_EQ(Bool("addPackage", "string:game|string:http://127.0.0.1:1/game|string:/tmp/g"), 1);
    EXPECT_EQ(Bool("addPackage", "string:game|string:http://127.0.0.1:1/game|string:/tmp/g"), 0);
    EXPECT_EQ(
        Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageOptions", "string:game"),
        "1:1");
    EXPECT_EQ(Bool("setPackageOptions", "string:game|bool:0|bool:1"), 1);
    EXPECT_EQ(
        Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageOptions", "string:game"),
        "0:1");
    EXPECT_EQ(Bool("setPackageOptions", "string:nothing|bool:0|bool:1"), 0);
    EXPECT_EQ(Bool("getPackageActive", "string:game"), 1);
    EXPECT_EQ(Bool("setPackageActive", "string:game|bool:false"), 1);
    EXPECT_EQ(Bool("getPackageActive", "string:game"), 0);
    EXPECT_EQ(Bool("getPackageActive", "string:nothing"), 0);
    EXPECT_EQ(
        Bool("addPackageOptions", "string:tool|string:http://h/t|string:/tmp/t|bool:1|bool:0"), 1);
    EXPECT_EQ(
        Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageOptions", "string:tool"),
        "1:0");
    EXPECT_EQ(Bool("removePackage", "string:game"), 1);
    EXPECT_EQ(Bool("removePackage", "string:game"), 0);
    EXPECT_EQ(
        Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageOptions", "string:game"),
        "0:0");
}

TEST_F(CommandTest, PackageListCommandsReachTheEngine) {
    const char *list = "string:unused|string:http://127.0.0.1:1/other.xml";
    EXPECT_EQ(Bool("addPackageList", list), 1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageListOptions",
                                 "string:http://127.0.0.1:1/other.xml"),
              "1:1");
    EXPECT_EQ(Bool("setPackageListOptions", "string:http://127.0.0.1:1/other.xml|bool:0|bool:0"),
              1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageListOptions",
                                 "string:http://127.0.0.1:1/other.xml"),
              "0:0");
    // An unknown list: false, and nothing changes.
    EXPECT_EQ(Bool("setPackageListOptions", "string:http://nowhere|bool:0|bool:0"), 0);
    EXPECT_EQ(Bool("getPackageListActive", "string:http://127.0.0.1:1/other.xml"), 1);
    // Without a current package the list has nothing to pause and stays active.
    EXPECT_EQ(Bool("setPackageListActive", "string:http://127.0.0.1:1/other.xml|bool:0"), 1);
    EXPECT_EQ(Bool("getPackageListActive", "string:http://127.0.0.1:1/other.xml"), 1);
    EXPECT_EQ(Bool("setPackageListActive", "string:http://nowhere|bool:0"), 0);
    EXPECT_EQ(Bool("removePackageList", "string:http://127.0.0.1:1/other.xml"), 1);
    EXPECT_EQ(Bool("getPackageListActive", "string:http://127.0.0.1:1/other.xml"), 0);
    EXPECT_EQ(
        Bool("addPackageListOptions", "string:x|string:http://127.0.0.1:1/third.xml|bool:0|bool:1"),
        1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageListOptions",
                                 "string:http://127.0.0.1:1/third.xml"),
              "0:1");
}

TEST_F(CommandTest, DownloadCommandsReachTheEngine) {
    const char *download = "string:movie|string:http://127.0.0.1:1/m.torrent|string:/tmp/m|"
                           "string:http://127.0.0.1:1/skin";
    EXPECT_EQ(Bool("addDownload", download), 1);
    EXPECT_EQ(Bool("getDownloadActive", "string:movie"), 1);
    EXPECT_EQ(Bool("getDownloadActive", "string:unknown"), 0);
    // The engine pauses a download only while it downloads.
    PatcherClient *client = nullptr;
    Patcher_GetClient(Engine(), &client);
    ScriptedDownloadInfo info{};
    for (int i = 0; i < 200 && ScriptedClient_GetDownload(client, "movie", &info) != 1; i++)
        usleep(10000);
    ASSERT_EQ(ScriptedClient_SetState(client, "movie", PATCHER_DOWNLOAD_STATE_DOWNLOAD), 1);
    // The controller's first poll may still be on its way: ask until it settled.
    int paused = 0;
    for (int i = 0; i < 200 && !paused; i++) {
        EXPECT_EQ(Bool("setDownloadActive", "string:movie|bool:0"), 1);
        paused = Bool("getDownloadActive", "string:movie") == 0;
        if (!paused)
            usleep(10000);
    }
    EXPECT_TRUE(paused);
    ASSERT_EQ(ScriptedClient_GetDownload(client, "movie", &info), 1);
    EXPECT_EQ(info.Active, 0);
    EXPECT_EQ(Bool("setDownloadActive", "string:unknown|bool:0"), 0);
    EXPECT_EQ(Bool("setDownloadOptions", "string:movie|bool:0|bool:1"), 1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getDownloadOptions",
                                 "string:movie"),
              "0:1");
    EXPECT_EQ(Bool("removeDownload", "string:movie"), 1);
    EXPECT_EQ(Bool("removeDownload", "string:movie"), 0);
    EXPECT_EQ(Bool("addDownloadOptions", "string:clip|string:http://127.0.0.1:1/c.torrent|"
                                         "string:/tmp/c|string:http://127.0.0.1:1/skin|bool:1|"
                                         "bool:0"),
              1);
    EXPECT_EQ(
        Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getDownloadOptions", "string:clip"),
        "1:0");
}

TEST_F(CommandTest, SettingsCommands) {
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getSettings"), "1:1:0:100:200");
    // Rates are unsigned decimals, held to the configured bounds.
    EXPECT_EQ(Bool("setSettings", "bool:0|bool:1|bool:1|string:500|string:99999999999999999999"),
              1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getSettings"), "0:1:1:500:2000");
    auto changed = Page()->CallsOf("__Launcher_reportlauncherSettingsChanged");
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].Arguments, V({"B:FALSE", "B:TRUE", "B:TRUE", "N:500", "N:2000"}));
    EXPECT_EQ(Bool("setSettings", "bool:1|bool:1|bool:0|string:-5|string:x"), 1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getSettings"), "1:1:0:0:0");
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getOther"), "");
    // The target's options follow the settings once it runs.
    model->Start();
    EXPECT_EQ(Bool("setSettings", "bool:0|bool:0|bool:0|string:1|string:2"), 1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageListOptions",
                                 (std::string("string:") + kListTarget).c_str()),
              "0:0");
}

TEST_F(CommandTest, StringMethods) {
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSTRING, "openNativeDirectoryBrowserPage",
                                 "string:/start"),
              "/chosen/folder");
    EXPECT_EQ(view.calls, V({"OpenNativeDirectoryBrowserPage:/start"}));
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSTRING, "openNativeDirectoryBrowserPage"), "");
    EXPECT_TRUE(
        LoggedLine("ScriptResponder:: incorrect # parameters openNativeDirectoryBrowserPage()"));
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSTRING, "other"), "");
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageOptions"), "");
    EXPECT_TRUE(LoggedLine(
        "ScriptFacade::ReceiveScriptPackageOptions() incorrect # parameters getPackageOptions()"));
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getOptions", "string:x"), "");
    EXPECT_TRUE(LoggedLine("Unhandled event [getOptions]"));
    // Too long a text: a parameter error, answered true / empty.
    std::string longValue = "string:" + std::string(200, 'x');
    EXPECT_EQ(Bool("sendLog", longValue.c_str()), 1);
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSTRING, "openNativeDirectoryBrowserPage",
                                 longValue.c_str()),
              "");
    EXPECT_EQ(view.calls.size(), 1u);
}

// The four consent questions as the engine asks them: on this thread, with its
// API mutex free. Every command answers from inside them; a close asks the view
// to end and takes effect once the call returns.
TEST_F(CommandTest, CommandsInsideConsentQuestionsAnswer) {
    EXPECT_EQ(Bool("addPackage", "string:game|string:http://127.0.0.1:1/g|string:/tmp/g"), 1);
    std::vector<int> answers;
    auto ask = [&] {
        answers.push_back(Bool("getPackageActive", "string:game"));
        answers.push_back(Bool("setPackageOptions", "string:game|bool:0|bool:1"));
        answers.push_back(Bool("setSettings", "bool:1|bool:1|bool:0|string:1|string:2"));
        answers.push_back(Bool("sendLog", "string:inside"));
        answers.push_back(Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getSettings") ==
                          "1:1:0:1:2");
        answers.push_back(Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS,
                                             "getPackageOptions", "string:game") == "0:1");
        answers.push_back(Bool("close"));
    };
    for (const char *name :
         {"__Patcher_reportpackageUpdateAvailable", "__Patcher_reportpackageAllowRestart"})
        Page()->actions[name] = ask;
    PageLoaded();
    Patcher *engine = Engine();
    PatcherVersionCheckRecord record{};
    record.TargetVersion = 12;
    int32_t target = 12, allow = 1, hold = 1;
    PatcherProcessRequest request{};
    Patcher_CallVersionCheck("game", engine, &target, &record);
    Patcher_CallAllowRestart(engine, &allow, "game");
    Patcher_CallPreProcess("game", engine, &hold, &request);
    EXPECT_EQ(hold, 0);
    hold = 1;
    Patcher_CallPostProcess("game", engine, &hold, &request);
    EXPECT_EQ(hold, 0);
    EXPECT_EQ(answers, std::vector<int>(14, 1));
    EXPECT_EQ(target, 12);
    EXPECT_EQ(allow, 1);
    // The close asked the view to end; the engine runs until the window's loop
    // has ended and the model goes.
    EXPECT_EQ(view.Count("Close"), 2);
    EXPECT_EQ(LauncherLib_IsInitialized(), 1);
    EXPECT_EQ(model->Tick(), 1);
    EXPECT_TRUE(LoggedLine("[INFO] inside"));
}

TEST_F(CommandTest, UpdateAvailableAnswers) {
    struct {
        bool Answered;
        ScriptResult Answer;
        int32_t Target;
    } cases[] = {{false, {}, 12},
                 {true, IntAnswer(11), 11},
                 {true, IntAnswer(0), 0},
                 {true, BoolAnswer(0), 0},
                 {true, BoolAnswer(1), 12}};
    Patcher *engine = Engine();
    PatcherVersionCheckRecord record{};
    record.PackageType = 3;
    Zyl_StrCopy(record.CurrentName, "1.0", sizeof(record.CurrentName));
    record.CurrentVersion = 10;
    Zyl_StrCopy(record.TargetName, "1.2", sizeof(record.TargetName));
    record.TargetVersion = 12;
    for (auto &c : cases) {
        Page()->answers.erase("__Patcher_reportpackageUpdateAvailable");
        if (c.Answered)
            Page()->answers["__Patcher_reportpackageUpdateAvailable"] = c.Answer;
        int32_t target = 12;
        Patcher_CallVersionCheck("game", engine, &target, &record);
        EXPECT_EQ(target, c.Target);
    }
    EXPECT_EQ(Page()->CallsOf("__Patcher_reportpackageUpdateAvailable").at(0).Arguments,
              V({"S:game", "I:3", "S:1.0", "I:10", "S:1.2", "I:12"}));
}

TEST_F(CommandTest, AllowRestartAnswers) {
    struct {
        bool Answered;
        ScriptResult Answer;
        int32_t Allow;
    } cases[] = {{false, {}, 1},          {true, IntAnswer(1), 1}, {true, BoolAnswer(1), 1},
                 {true, IntAnswer(7), 1}, {true, IntAnswer(0), 0}, {true, BoolAnswer(0), 0}};
    Patcher *engine = Engine();
    // Before the page has loaded: not yet, and the page is not asked.
    Page()->answers["__Patcher_reportpackageAllowRestart"] = IntAnswer(1);
    int32_t early = 0;
    Patcher_CallAllowRestart(engine, &early, "launcher");
    EXPECT_EQ(early, 0);
    EXPECT_TRUE(Page()->CallsOf("__Patcher_reportpackageAllowRestart").empty());
    PageLoaded();
    for (auto &c : cases) {
        Page()->answers.erase("__Patcher_reportpackageAllowRestart");
        if (c.Answered)
            Page()->answers["__Patcher_reportpackageAllowRestart"] = c.Answer;
        int32_t allow = 0;
        Patcher_CallAllowRestart(engine, &allow, "launcher");
        EXPECT_EQ(allow, c.Allow);
    }
    EXPECT_EQ(Page()->CallsOf("__Patcher_reportpackageAllowRestart").at(0).Arguments,
              V({"S:launcher"}));
}

TEST_F(CommandTest, PerformRestartClosesThenTellsThePage) {
    Patcher_QueuePerformRestart(Engine());
    Patcher_QueueLog(Engine(), 1, "not delivered");
    model->Tick();
    EXPECT_EQ(view.Count("Close"), 1);
    ASSERT_FALSE(Page()->calls.empty());
    EXPECT_EQ(Page()->calls.back().Name, "__Patcher_reportpackagePerformRestart");
    EXPECT_EQ(Page()->calls.back().Arguments, V());
}

TEST_F(CommandTest, PageVersionCheck) {
    struct {
        bool Answered;
        ScriptResult Answer;
        const char *Error;
    } cases[] = {{true, IntAnswer(5), nullptr},
                 {true, IntAnswer(4), "S:ScriptFacade version mismatch [4/5]"},
                 {true, BoolAnswer(1), "S:ScriptFacade version mismatch [1/5]"},
                 {false, {}, "S:Unable to test version"}};
    for (auto &c : cases) {
        CloseModel();
        view.calls.clear();
        ASSERT_EQ(Open(), 1);
        if (c.Answered)
            Page()->answers["__Launcher_getVersion"] = c.Answer;
        model->OnDocumentComplete();
        model->OnDocumentComplete(); // checked once only
        EXPECT_EQ(Page()->CallsOf("__Launcher_getVersion").size(), 1u);
        auto errors = Page()->CallsOf("__Launcher_reportlauncherError");
        if (c.Error == nullptr) {
            EXPECT_TRUE(errors.empty());
            EXPECT_EQ(view.Count("Close"), 0);
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].Arguments.at(0), "I:18");
            EXPECT_EQ(errors[0].Arguments.at(2), c.Error);
            EXPECT_EQ(view.Count("Close"), 1);
        }
    }
}

TEST_F(CommandTest, NoEngineCallAfterShutdown) {
    CloseModel();
    ASSERT_EQ(LauncherLib_IsInitialized(), 0);
    // A model whose engine is gone (closing) answers page calls without it.
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(Bool("close"), 1);
    model->Close();
    EXPECT_EQ(Bool("addPackage", "string:a|string:b|string:c"), 0);
    EXPECT_EQ(
        Page()->CallString(SCRIPT_DISPID_RETURNPACKAGEOPTIONS, "getPackageOptions", "string:a"),
        "");
    EXPECT_EQ(model->Tick(), 0);
}

} // namespace
