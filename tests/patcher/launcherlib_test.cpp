// The library facade: start-up and shutdown in a process of their own (the
// facade starts the core runtime itself), the fatal checks of its state, the
// functions that need no start-up, and a failing Patcher creation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/oshelper.h"
#include "core/zyl.h"
#include "patcher/launcherlib.h"
#include "patcher/scriptedclient.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/support/support.h"

namespace {

using patchertest::ScopedEnvironment;

std::vector<std::string> gLogs;
int RecordLog(void *, const char *, const char *text) {
    gLogs.emplace_back(text);
    return 1;
}

// Prepares a process whose test main already started the core runtime for
// the facade, which starts it again.
void PrepareChild(const std::string &logFolder) {
    Zyl_CloseLog();
    PatcherClient_SetOperations(&ScriptedClient_Operations);
    Patcher_SetLogFolder(logFolder.c_str());
}

// Each failed check ends the child with its own status.
PORTICO_TEST_CHILD(launcherlib_life) {
    PrepareChild(args.at(0));
    if (LauncherLib_Shutdown() != 1)
        return 10;
    if (LauncherLib_Initialize(patchertest::kRegistryPath, nullptr, "") != 1)
        return 11;
    ScriptedClientCounts counts;
    ScriptedClient_GetCounts(&counts);
    if (counts.Startups != 1 || counts.Creates != 1 || LauncherLib_IsInitialized() != 1)
        return 12;
    LauncherLib_SetLogCallback(RecordLog);
    if (LauncherLib_ProcessEvents() != 1)
        return 13;
    if (gLogs.empty() || gLogs[0] != "[INFO] Vexil LauncherLib [2.0.8.5] initializing...")
        return 14;
    if (LauncherLib_Shutdown() != 1)
        return 15;
    ScriptedClient_GetCounts(&counts);
    if (counts.Shutdowns != 1 || counts.Destroys != 1 || LauncherLib_IsInitialized() != 0)
        return 16;
    if (LauncherLib_Shutdown() != 1)
        return 17;
    if (Patcher_Log(PATCHER_LOG_INFO, "after") != 0)
        return 18;
    // An ended thread drops its own hold on its record just after its joiner
    // returns: the totals reach zero a moment later.
    int64_t blocks = -1, bytes = -1;
    for (int i = 0; i < 1000 && (blocks != 0 || bytes != 0); ++i) {
        Zyl_MemoryGetUsage(&blocks, &bytes);
        if (blocks != 0 || bytes != 0)
            Zyl_SleepMilliseconds(5);
    }
    if (blocks != 0 || bytes != 0)
        return 19;
    return 0;
}

PORTICO_TEST_CHILD(launcherlib_create_fails) {
    PrepareChild(args.at(0));
    ScriptedClient_FailCreates(1);
    if (LauncherLib_Initialize(patchertest::kRegistryPath, nullptr, "") != 0)
        return 21;
    ScriptedClientCounts counts;
    ScriptedClient_GetCounts(&counts);
    if (LauncherLib_IsInitialized() != 0 || counts.Startups != 1 || counts.Shutdowns != 1)
        return 22;
    if (Patcher_Log(PATCHER_LOG_INFO, "nothing receives this") != 0)
        return 23;
    // Everything was stopped: a second start-up finds nothing left running.
    if (LauncherLib_Initialize(patchertest::kRegistryPath, nullptr, "") != 1)
        return 24;
    if (LauncherLib_Shutdown() != 1)
        return 25;
    ScriptedClient_GetCounts(&counts);
    if (counts.Startups != 2 || counts.Shutdowns != 2 || counts.Creates != 1)
        return 26;
    return 0;
}

std::vector<std::string> gErrors;
int RecordError(void *, int32_t code, const char *, const char *text) {
    gErrors.push_back(std::to_string(code) + " " + text);
    return 1;
}
std::vector<std::string> gDownloads;
int RecordDownload(const char *name, void *user, PatcherDownloadStatus status) {
    gDownloads.push_back(std::string(name) + " " + std::to_string(status.State) + " " +
                         static_cast<const char *>(user));
    return 1;
}

// Every forwarded call reaches its Patcher function with its arguments in place.
PORTICO_TEST_CHILD(launcherlib_forwarding) {
    PrepareChild(args.at(0));
    if (LauncherLib_Initialize(patchertest::kRegistryPath, nullptr, "") != 1)
        return 30;
    static char user[] = "model";
    LauncherLib_SetUserData(user);
    LauncherLib_SetLogCallback(RecordLog);
    LauncherLib_SetErrorCallback(RecordError);
    LauncherLib_SetDownloadStatusCallback(RecordDownload);
    PackageOptions options;
    LauncherLib_InitPackageOptions(&options);
    options.Web = 0;
    PackageOptions back = {};
    int32_t active = -1;
    PatcherOptions patcherOptions;
    LauncherLib_InitPatcherOptions(&patcherOptions);
    int checks[] = {
        LauncherLib_AddPackage("game", "http://h/", "/g/", &options) == 1,
        LauncherLib_AddPackage("game", "http://h/", "/g/", nullptr) == 0,
        LauncherLib_GetPackageOptions("game", &back) == 1 && back.Web == 0,
        LauncherLib_SetPackageOptions("game", &options) == 1,
        LauncherLib_SetPackageActive("game", 0) == 1,
        LauncherLib_GetPackageActive("game", &active) == 1 && active == 0,
        LauncherLib_RemovePackage("game") == 1,
        LauncherLib_AddPackageList("list", "http://h/list", nullptr) == 1,
        LauncherLib_SetPackageListOptions("list", &options) == 1,
        LauncherLib_GetPackageListOptions("list", &back) == 1 && back.Web == 0,
        LauncherLib_SetPackageListActive("list", 1) == 1,
        LauncherLib_GetPackageListActive("list", &active) == 1 && active == 1,
        LauncherLib_RemovePackageList("list") == 1,
        LauncherLib_AddDownload("dl", "meta", "/o/", "http://s/", &options) == 1,
        LauncherLib_GetDownloadOptions("dl", &back) == 1 && back.Web == 0,
        LauncherLib_SetDownloadOptions("dl", &options) == 1,
        LauncherLib_SetDownloadActive("dl", 0) == 1,
        LauncherLib_GetDownloadActive("dl", &active) == 1 && active == 1,
        LauncherLib_SetPatcherOptions(&patcherOptions) == 1,
        LauncherLib_Log(PATCHER_LOG_WARNING, "careful %d", 1) == 1,
        LauncherLib_ReportError(9, "broken %s", "command") == 1,
    };
    for (size_t i = 0; i < sizeof(checks) / sizeof(checks[0]); ++i)
        if (checks[i] != 1)
            return 40 + static_cast<int>(i);
    // The download's first poll arrives within a few passes of its thread.
    for (int i = 0; i < 400 && gDownloads.empty(); ++i) {
        LauncherLib_ProcessEvents();
        Zyl_SleepMilliseconds(5);
    }
    LauncherLib_RemoveDownload("dl");
    LauncherLib_ProcessEvents();
    if (gDownloads.empty() || gDownloads[0] != "dl 1 model")
        return 31;
    if (gErrors.size() != 1 || gErrors[0] != "9 [ERROR] broken command")
        return 32;
    int seen = 0;
    for (const std::string &line : gLogs)
        seen += line == "[WARNING] careful 1" || line == "[INFO] Patcher_RemoveDownload([dl]) "
                                                         "successful";
    if (seen != 2)
        return 33;
    return LauncherLib_Shutdown() == 1 ? 0 : 34;
}

PORTICO_TEST_CHILD(launcherlib_instance) {
    return LauncherLib_CheckSingleInstance(args.at(0).c_str());
}

class LauncherLibTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment_.Set("HOME", dir_.path());
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        environment_.Set("XDG_RUNTIME_DIR", dir_.path());
    }
    int RunChild(const char *name, const std::vector<std::string> &args) {
        return testsupport::WaitChild(testsupport::SpawnChild(name, args));
    }
    testsupport::TempDir dir_;
    ScopedEnvironment environment_;
};

TEST_F(LauncherLibTest, StartsQueuesTheStartupLogAndStops) {
    EXPECT_EQ(0, RunChild("launcherlib_life", {dir_.path()}));
}

TEST_F(LauncherLibTest, ForwardsEveryRequestToThePatcher) {
    EXPECT_EQ(0, RunChild("launcherlib_forwarding", {dir_.path()}));
}

TEST_F(LauncherLibTest, FailingPatcherCreationLeavesTheLibraryStopped) {
    EXPECT_EQ(0, RunChild("launcherlib_create_fails", {dir_.path()}));
}

TEST_F(LauncherLibTest, ShutdownWithoutStartupReturnsOne) {
    EXPECT_EQ(1, LauncherLib_Shutdown());
    EXPECT_EQ(1, LauncherLib_Shutdown());
}

TEST_F(LauncherLibTest, UnguardedFunctionsWorkWithoutStartup) {
    PatcherOptions options;
    EXPECT_EQ(1, LauncherLib_InitPatcherOptions(&options));
    EXPECT_EQ(1, options.Firewall);
    char date[320];
    EXPECT_EQ(1, LauncherLib_FormatDate(date));
    EXPECT_EQ(16, Zyl_StrLen(date)) << date; // "MM/DD/YYYY hh:mm"
    EXPECT_EQ(0, LauncherLib_CheckSingleInstance("LauncherLibTest"));
    EXPECT_EQ(1, RunChild("launcherlib_instance", {"LauncherLibTest"}));
    Zyl_UnlockSingleInstance();
}

using LauncherLibDeathTest = LauncherLibTest;

TEST_F(LauncherLibDeathTest, SecondInitializeIsFatal) {
    EXPECT_DEATH(
        {
            PrepareChild(dir_.path());
            LauncherLib_Initialize(patchertest::kRegistryPath, nullptr, "");
            LauncherLib_Initialize(patchertest::kRegistryPath, nullptr, "");
        },
        "Assertion failed \\(LauncherLib\\.Initialized == FALSE\\)\n"
        "LauncherLib previously initialized\n");
}

TEST_F(LauncherLibDeathTest, GuardedCallsBeforeInitializeAreFatal) {
    const char *expected = "Assertion failed \\(LauncherLib\\.Initialized == TRUE\\)\n"
                           "LauncherLib not initialized\n";
    PackageOptions options;
    EXPECT_DEATH(LauncherLib_ProcessEvents(), expected);
    EXPECT_DEATH(LauncherLib_AddPackage("game", "http://h/", "", nullptr), expected);
    EXPECT_DEATH(LauncherLib_InitPackageOptions(&options), expected);
    EXPECT_DEATH(LauncherLib_SetLogCallback(RecordLog), expected);
    EXPECT_DEATH(LauncherLib_Log(PATCHER_LOG_INFO, "text"), expected);
}

} // namespace
