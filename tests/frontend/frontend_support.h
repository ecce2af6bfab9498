// Stand-ins for the window and the page, and a fixture that runs a real launcher
// model over the real patch engine (with the scripted download client) from a
// temporary program folder. The engine starts and stops the core runtime
// itself, so the fixture hands the test program's runtime over and takes it back.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/zyl.h"
#include "frontend/launchermodelgtk.h"
#include "frontend/launcherview.h"
#include "frontend/scriptdispatcher.h"
#include "frontend/scriptfacade.h"
#include "patcher/launcherlib.h"
#include "patcher/scriptedclient.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/support/support.h"

namespace frontendtest {

// Records every call as one text ("Navigate:<address>", "Close", ...).
class RecordingView : public ILauncherView {
  public:
    IBrowserControl *GetBrowserControl() override { return nullptr; }
    int Navigate(const char *address) override { return Add("Navigate:" + std::string(address)); }
    int Close() override { return Add("Close"); }
    int Minimize() override { return Add("Minimize"); }
    int Restore() override { return Add("Restore"); }
    int BeginMoveWindow() override { return Add("BeginMoveWindow"); }
    int SetWindowSize(int width, int height) override {
        return Add("SetWindowSize:" + std::to_string(width) + "x" + std::to_string(height));
    }
    int OpenNativeLogPage() override { return Add("OpenNativeLogPage"); }
    int OpenNativeDirectoryBrowserPage(const char *initial, char *answer, int size) override {
        Add("OpenNativeDirectoryBrowserPage:" + std::string(initial));
        Zyl_StrCopy(answer, "/chosen/folder", size);
        return 1;
    }
    int Count(const std::string &call) const {
        int n = 0;
        for (const std::string &each : calls)
            n += each == call;
        return n;
    }

    std::vector<std::string> calls;

  private:
    int Add(const std::string &call) {
        calls.push_back(call);
        return 1;
    }
};

// One argument as the page would see it: "S:text", "I:5", "B:TRUE", "N:123",
// "D:1.5".
inline std::string Show(const ScriptArgument &a) {
    switch (a.Type) {
    case SCRIPT_VALUE_STRING:
        return "S:" + std::string(a.Value.Text);
    case SCRIPT_VALUE_INT:
        return "I:" + std::to_string(a.Value.Int);
    case SCRIPT_VALUE_BOOL:
        return std::string("B:") + (a.Value.Bool == 1 ? "TRUE" : "FALSE");
    case SCRIPT_VALUE_NUMERIC:
        return "N:" + std::to_string(a.Value.Numeric);
    case SCRIPT_VALUE_DOUBLE: {
        char text[64];
        Zyl_FormatString(text, sizeof(text), "%f", a.Value.Double);
        return "D:" + std::string(text);
    }
    }
    return "?";
}

// The page: records each function call with its arguments; functions answer
// what the test set (absent: the call fails, as for a page without it), and
// may run a test action while they are called.
class RecordingPage : public ScriptFacade {
  public:
    struct PageCall {
        std::string Name;
        std::vector<std::string> Arguments;
    };
    explicit RecordingPage(CLauncherModelScriptable *model) : ScriptFacade(model) {}

    int ExecuteWithResult(const char *name, const ScriptArgument *arguments, int count,
                          ScriptResult *result) override {
        *result = {};
        Record(name, arguments, count);
        auto action = actions.find(name);
        if (action != actions.end())
            action->second();
        auto answer = answers.find(name);
        if (answer == answers.end())
            return 0;
        *result = answer->second;
        return 1;
    }
    int ExecuteNoResult(const char *name, const ScriptArgument *arguments, int count) override {
        Record(name, arguments, count);
        auto action = actions.find(name);
        if (action != actions.end())
            action->second();
        return 1;
    }
    // The calls of one function, in order.
    std::vector<PageCall> CallsOf(const std::string &name) const {
        std::vector<PageCall> found;
        for (const PageCall &call : calls)
            if (call.Name == name)
                found.push_back(call);
        return found;
    }
    // Calls the page's scripting object as the page's script would.
    int CallBool(const std::string &name, const char *parameters = nullptr) {
        ScriptPageValue values[2] = {{1, name.c_str()}, {1, parameters}};
        int answer = -1;
        char text[SCRIPT_ANSWER_SIZE] = "";
        Dispatcher()->Invoke(SCRIPT_DISPID_RETURNBOOL, values, parameters ? 2 : 1, &answer, text,
                             sizeof(text));
        return answer;
    }
    std::string CallString(int dispid, const std::string &name, const char *parameters = nullptr) {
        ScriptPageValue values[2] = {{1, name.c_str()}, {1, parameters}};
        int answer = -1;
        char text[SCRIPT_ANSWER_SIZE] = "unchanged";
        Dispatcher()->Invoke(dispid, values, parameters ? 2 : 1, &answer, text, sizeof(text));
        return text;
    }
    ~RecordingPage() override {
        if (dispatcher_ != nullptr)
            dispatcher_->Release();
    }

    std::vector<PageCall> calls;
    std::map<std::string, ScriptResult> answers;
    std::map<std::string, std::function<void()>> actions;

  private:
    ScriptDispatcher *Dispatcher() {
        if (dispatcher_ == nullptr)
            dispatcher_ = new ScriptDispatcher(this);
        return dispatcher_;
    }
    void Record(const char *name, const ScriptArgument *arguments, int count) {
        PageCall call{name, {}};
        for (int i = 0; i < count; i++)
            call.Arguments.push_back(Show(arguments[i]));
        calls.push_back(call);
    }
    ScriptDispatcher *dispatcher_ = nullptr;
};

class TestModel : public CLauncherModelGtk {
  public:
    explicit TestModel(const char *folder) : CLauncherModelGtk(folder) {}
    ScriptFacade *CreateScriptFacade() override {
        return withPage ? new RecordingPage(this) : nullptr;
    }
    RecordingPage *Page() { return static_cast<RecordingPage *>(GetScriptFacade()); }
    bool withPage = true;
};

inline ScriptResult IntAnswer(int value) {
    return {value, SCRIPT_VALUE_INT};
}
inline ScriptResult BoolAnswer(int value) {
    return {value, SCRIPT_VALUE_BOOL};
}

// The configuration used unless a test writes its own: a page, a package list
// target, no launcher package.
constexpr const char *kListTarget = "http://127.0.0.1:1/list.xml";
inline std::string DefaultConfig() {
    return std::string("<Launcher><AppName>PorticoTest</AppName>"
                       "<AppRegistryPath>Software\\PorticoTest</AppRegistryPath></Launcher>"
                       "<LayoutInfo><Url>skin/{LANG_CODE}/index.html</Url></LayoutInfo>"
                       "<RateLimit><UploadRate><Default>100</Default><Max>1000</Max></UploadRate>"
                       "<DownloadRate><Default>200</Default><Max>2000</Max></DownloadRate>"
                       "</RateLimit><Updater><Mode>Patcher</Mode><Target>") +
           kListTarget + "</Target></Updater>";
}

// A model over the real engine in a temporary program folder.
class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
        cwd_ = here;
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        environment_.Set("XDG_RUNTIME_DIR", dir_.path());
        // The engine starts the core runtime itself.
        Zyl_CloseLog();
        PatcherClient_SetOperations(&ScriptedClient_Operations);
        Patcher_SetLogFolder(dir_.path().c_str());
    }
    void TearDown() override {
        CloseModel();
        int64_t blocks = -1, bytes = -1;
        Zyl_MemoryGetUsage(&blocks, &bytes);
        EXPECT_EQ(blocks, 0);
        EXPECT_EQ(bytes, 0);
        if (LauncherLib_IsInitialized() == 1)
            LauncherLib_Shutdown();
        Zyl_Init("tests.log", ZYL_LOG_FORMAT_ALWAYS | ZYL_LOG_NO_MESSAGE_BOX);
        Zyl_MemoryInit(INT_MAX);
        Patcher_SetLogFolder(nullptr);
        EXPECT_EQ(chdir(cwd_.c_str()), 0);
    }

    // Writes the configuration (the root's content) and starts a model on it.
    // Returns Initialize's result.
    int Open(const std::string &config = DefaultConfig(), bool withPage = true) {
        testsupport::WriteFile(dir_ / "launcher.config.xml",
                               "<?xml version=\"1.0\"?><Config>" + config + "</Config>");
        model = new TestModel(dir_.path().c_str());
        model->withPage = withPage;
        model->AddMacro("{LANG_CODE}", "en");
        return model->Initialize(&view);
    }
    // Deletes the model (stopping the engine), then waits until every tracked
    // block is back: the engine's threads are joined by then, but a thread's
    // own exit work (per-thread buffers) may still be releasing its last ones.
    void CloseModel() {
        delete model;
        model = nullptr;
        int64_t blocks = -1, bytes = -1;
        for (int wait = 0; wait < 300; wait++) {
            Zyl_MemoryGetUsage(&blocks, &bytes);
            if (blocks == 0 && bytes == 0)
                break;
            usleep(10000);
        }
    }
    Patcher *Engine() { return LauncherLib_GetPatcher(); }
    RecordingPage *Page() { return model->Page(); }
    std::string Folder() { return dir_.path() + "/"; }

    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
    std::string cwd_;
    RecordingView view;
    TestModel *model = nullptr;
};

} // namespace frontendtest
