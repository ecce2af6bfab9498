// The Patcher's tables (packages, package lists, downloads) with duplicates and
// unknown names, its options and debug switches, the settings forwarder, the
// restart launcher and the thread's drop of a pending buffer past 1 MiB.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/oshelper.h"
#include "patcher/packagecontroller.h"
#include "patcher/patcher.h"
#include "tests/patcher/patcher_fixture.h"

namespace {

using patchertest::FrontEnd;
using patchertest::PatcherFixture;

class PatcherTest : public PatcherFixture {};

bool AllZero(const PackageOptions &options) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&options);
    for (size_t i = 0; i < sizeof(options); ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

void ExpectDefaults(const PackageOptions &options) {
    EXPECT_EQ(1, options.PeerToPeer);
    EXPECT_EQ(1, options.Web);
    EXPECT_STREQ("", options.RestartCommand);
}

TEST_F(PatcherTest, PackagesRefuseDuplicatesAndReportUnknownNames) {
    EXPECT_EQ(1, Patcher_AddPackage(patcher, 1, "game", "http://h/", "", nullptr));
    EXPECT_EQ(0, Patcher_AddPackage(patcher, 1, "game", "http://other/", "/x/", nullptr));
    PackageOptions options;
    memset(&options, 0x5A, sizeof(options));
    EXPECT_EQ(1, Patcher_GetPackageOptions(&options, patcher, "game"));
    ExpectDefaults(options);
    Zyl_StrCopy(options.RestartCommand, "-restart", sizeof(options.RestartCommand));
    options.Web = 0;
    EXPECT_EQ(1, Patcher_SetPackageOptions(&options, patcher, 1, "game"));
    PackageOptions back;
    EXPECT_EQ(1, Patcher_GetPackageOptions(&back, patcher, "game"));
    EXPECT_EQ(0, memcmp(&options, &back, sizeof(options)));
    int32_t active = -1;
    EXPECT_EQ(1, Patcher_GetPackageActive("game", 1, &active, patcher));
    EXPECT_EQ(1, active);
    EXPECT_EQ(1, Patcher_SetPackageActive(patcher, 1, "game", 0));
    EXPECT_EQ(1, Patcher_GetPackageActive("game", 1, &active, patcher));
    EXPECT_EQ(0, active);

    memset(&options, 0x5A, sizeof(options));
    EXPECT_EQ(0, Patcher_GetPackageOptions(&options, patcher, "nope"));
    EXPECT_TRUE(AllZero(options));
    active = -1;
    EXPECT_EQ(0, Patcher_GetPackageActive("nope", 1, &active, patcher));
    EXPECT_EQ(0, active);
    EXPECT_EQ(0, Patcher_SetPackageActive(patcher, 1, "nope", 1));
    EXPECT_EQ(0, Patcher_RemovePackage(patcher, 1, "nope"));
    EXPECT_EQ(1, Patcher_RemovePackage(patcher, 1, "game"));
    EXPECT_EQ(0, Patcher_RemovePackage(patcher, 1, "game"));
    Drain();
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_AddPackage([game],[http://h/],[]) successful"))
        << front.DumpLogs();
    EXPECT_EQ(1, front.CountLog("[WARNING] Patcher_AddPackage(): Package already added"));
    EXPECT_EQ(4, front.CountLog("[WARNING] Unable to find package [nope]"));
    EXPECT_EQ(1, front.CountLog("[WARNING] Unable to find package [game]"));
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_RemovePackage([game]) successful"));
}

TEST_F(PatcherTest, PackageListsTakeDefaultsAndReportUnknownNames) {
    EXPECT_EQ(1, Patcher_AddPackageList(patcher, "all", "http://h/all.xml", nullptr));
    EXPECT_EQ(0, Patcher_AddPackageList(patcher, "all", "http://h/other.xml", nullptr));
    PackageOptions options;
    memset(&options, 0x5A, sizeof(options));
    EXPECT_EQ(1, Patcher_GetPackageListOptions("all", &options, patcher));
    ExpectDefaults(options);
    options.PeerToPeer = 0;
    EXPECT_EQ(1, Patcher_SetPackageListOptions("all", patcher, &options));
    PackageOptions back;
    EXPECT_EQ(1, Patcher_GetPackageListOptions("all", &back, patcher));
    EXPECT_EQ(0, back.PeerToPeer);
    int32_t active = -1;
    EXPECT_EQ(1, Patcher_GetPackageListActive("all", &active, patcher));
    EXPECT_EQ(1, active); // no package added yet
    EXPECT_EQ(1, Patcher_SetPackageListActive("all", patcher, 0));

    struct Case {
        std::function<int()> call;
        const char *text;
    } cases[] = {
        {[&] { return Patcher_GetPackageListOptions("x", &options, patcher); },
         "[WARNING] Patcher_GetPackageListOptions(): Unable to find package list [x]"},
        {[&] { return Patcher_SetPackageListOptions("x", patcher, &options); },
         "[WARNING] Patcher_SetPackageListOptions(): Unable to find package list [x]"},
        {[&] { return Patcher_GetPackageListActive("x", &active, patcher); },
         "[WARNING] Patcher_GetPackageListActive(): Unable to find package list [x]"},
        {[&] { return Patcher_SetPackageListActive("x", patcher, 1); },
         "[WARNING] Patcher_SetPackageListActive(): Unable to find package list [x]"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(0, c.call()) << c.text;
    EXPECT_EQ(0, Patcher_RemovePackageList("x", patcher));
    EXPECT_EQ(1, Patcher_RemovePackageList("all", patcher));
    Drain();
    for (const Case &c : cases)
        EXPECT_EQ(1, front.CountLog(c.text)) << front.DumpLogs();
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_AddPackageList([all],[http://h/all.xml]) "
                                "successful"));
    EXPECT_EQ(1, front.CountLog("[WARNING] Patcher_AddPackageList(): PackageList already added"));
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_RemovePackageList([all]) successful"));
    EXPECT_EQ(7, static_cast<int>(front.logs.size())) << front.DumpLogs();
}

TEST_F(PatcherTest, DownloadsRefuseDuplicatesAndReportUnknownNames) {
    EXPECT_EQ(1, Patcher_AddDownload(patcher, "dl", "meta.torrent", "/out/", "http://s/", nullptr));
    EXPECT_EQ(0, Patcher_AddDownload(patcher, "dl", "other", "/o/", "http://s/", nullptr));
    PackageOptions options;
    EXPECT_EQ(1, Patcher_GetDownloadOptions("dl", &options, patcher));
    ExpectDefaults(options);
    int32_t active = -1;
    struct Case {
        std::function<int()> call;
        const char *text;
    } cases[] = {
        {[&] { return Patcher_GetDownloadOptions("x", &options, patcher); },
         "[WARNING] Patcher_GetDownloadOptions(): Unable to find download [x]"},
        {[&] { return Patcher_SetDownloadOptions("x", patcher, &options); },
         "[WARNING] Patcher_SetDownloadOptions(): Unable to find download [x]"},
        {[&] { return Patcher_GetDownloadActive("x", &active, patcher); },
         "[WARNING] Patcher_GetDownloadActive(): Unable to find download [x]"},
        {[&] { return Patcher_SetDownloadActive("x", patcher, 0); },
         "[WARNING] Patcher_SetDownloadActive(): Unable to find download [x]"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(0, c.call()) << c.text;
    EXPECT_EQ(0, active);
    EXPECT_EQ(0, Patcher_RemoveDownload("x", patcher));
    EXPECT_EQ(1, Patcher_RemoveDownload("dl", patcher));
    Drain();
    for (const Case &c : cases)
        EXPECT_EQ(1, front.CountLog(c.text)) << front.DumpLogs();
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_AddDownload([dl],[meta.torrent]) successful"));
    EXPECT_EQ(1, front.CountLog("[WARNING] Patcher_AddDownload(): already added"));
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_RemoveDownload([dl]) successful"));
}

TEST_F(PatcherTest, OptionsReachTheClientAndDefaultsAreFixed) {
    PatcherOptions defaults;
    memset(&defaults, 0x5A, sizeof(defaults));
    ASSERT_EQ(1, Patcher_InitOptions(&defaults));
    PatcherOptions expected = {};
    expected.Firewall = 1;
    EXPECT_EQ(0, memcmp(&expected, &defaults, sizeof(expected)));
    ScriptedClientInfo info;
    ScriptedClient_GetInfo(client, &info);
    EXPECT_EQ(0, memcmp(&defaults, &info.Options, sizeof(defaults)));
    EXPECT_STREQ(patchertest::kRegistryPath, info.RegistryPath);

    PatcherOptions options = defaults;
    options.PortRangeFirst = 6881;
    options.PortRangeLast = 6889;
    options.IncomingLimit = 1LL << 40;
    EXPECT_EQ(1, Patcher_SetOptions(patcher, &options));
    ScriptedClient_GetInfo(client, &info);
    EXPECT_EQ(1, info.SetOptionsCalls);
    EXPECT_EQ(0, memcmp(&options, &info.Options, sizeof(options)));
}

TEST_F(PatcherTest, DebugOutputFollowsTheRegistryAtEachDrain) {
    Drain();
    EXPECT_NE(0, Zyl_GetLogFlags() & ZYL_LOG_FORMAT_ALWAYS);
    patchertest::SetDebugValue("DebugOutput", 0);
    patchertest::SetDebugValue("DebugMetaFile", 3);
    Drain();
    EXPECT_EQ(0, Zyl_GetLogFlags() & ZYL_LOG_FORMAT_ALWAYS);
    int32_t metaFile = 0;
    Patcher_GetDebugMetaFile(&metaFile);
    EXPECT_EQ(3, metaFile);
    patchertest::SetDebugValue("DebugOutput", 1);
    patchertest::SetDebugValue("DebugMetaFile", 0);
    Drain();
    EXPECT_NE(0, Zyl_GetLogFlags() & ZYL_LOG_FORMAT_ALWAYS);
    Patcher_GetDebugMetaFile(&metaFile);
    EXPECT_EQ(0, metaFile);
}

TEST_F(PatcherTest, UnopenableDebugKeyChangesNothing) {
    int flags = Zyl_GetLogFlags();
    std::string tooLong(400, 'k');
    EXPECT_EQ(0, Patcher_ReadDebugOptions(tooLong.c_str()));
    EXPECT_EQ(flags, Zyl_GetLogFlags());
}

TEST_F(PatcherTest, EveryQueuedMessageIsALineOfTheBufferedLog) {
    // Inactive from the start, so that the thread makes no fetch of its own.
    ASSERT_EQ(1, Patcher_Lock(patcher));
    Patcher_AddPackage(patcher, 0, "game", "http://h/", "/games/", nullptr);
    Patcher_SetPackageActive(patcher, 0, "game", 0);
    Patcher_Unlock(patcher);
    Patcher_ReportError(3, "disk %s", "full");
    std::string text = testsupport::ReadFile(dir_ / "patcher_lib.log");
    EXPECT_EQ(std::string::npos, text.find('\r'));
    // "MM/DD/YYYY hh:mm [LEVEL] text", one line each.
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(2u, lines.size()) << text;
    for (const std::string &line : lines) {
        ASSERT_GT(line.size(), 17u) << line;
        EXPECT_TRUE(line[2] == '/' && line[5] == '/' && line[10] == ' ' && line[13] == ':' &&
                    line[16] == ' ')
            << line;
    }
    EXPECT_EQ("[INFO] Patcher_AddPackage([game],[http://h/],[/games/]) successful",
              lines[0].substr(17));
    EXPECT_EQ("[ERROR] disk full", lines[1].substr(17));
}

TEST_F(PatcherTest, BufferedLogFallsBackToTheStateFolder) {
    char path[320];
    ASSERT_EQ(
        1, Patcher_ChooseLogPath(dir_.path().c_str(), "Software\\Vexil\\Game", path, sizeof(path)));
    EXPECT_EQ(dir_ / "patcher_lib.log", path);
    // A folder where no file can be made: the user's state folder instead.
    std::string missing = dir_ / "missing/";
    ASSERT_EQ(1,
              Patcher_ChooseLogPath(missing.c_str(), "Software\\Vexil\\Game", path, sizeof(path)));
    EXPECT_EQ(dir_ / ".local/state/Game/patcher_lib.log", path);
    EXPECT_TRUE(testsupport::FileExists(dir_ / ".local/state/Game"));
    EXPECT_FALSE(testsupport::FileExists(missing));
    ASSERT_EQ(1, Patcher_ChooseLogPath(missing.c_str(), "", path, sizeof(path)));
    EXPECT_EQ(dir_ / ".local/state/portico/patcher_lib.log", path);
}

TEST_F(PatcherTest, LockFlagZeroRemovalFinishesOnceTheMutexIsFree) {
    ASSERT_EQ(1, Patcher_AddPackage(patcher, 1, "game", "http://h/", "/g/", nullptr));
    ASSERT_EQ(1, Patcher_Lock(patcher));
    EXPECT_EQ(1, Patcher_RemovePackage(patcher, 0, "game"));
    // The name is free at once, while the removed controller waits for the mutex.
    EXPECT_EQ(1, Patcher_AddPackage(patcher, 0, "game", "http://other/", "/g/", nullptr));
    Patcher_Unlock(patcher);
    Drain();
    PackageOptions options;
    EXPECT_EQ(1, Patcher_GetPackageOptions(&options, patcher, "game"));
    EXPECT_EQ(1, front.CountLog("[INFO] Patcher_RemovePackage([game]) successful"));
    EXPECT_EQ(2, front.CountLog("[INFO] Patcher_AddPackage([game],[http://h/],[/g/]) successful") +
                     front.CountLog("[INFO] Patcher_AddPackage([game],[http://other/],[/g/]) "
                                    "successful"));
}

TEST_F(PatcherTest, SettingsReachTheFrontEndUntilTheSlotIsCleared) {
    PatcherClientSettings settings = {};
    Zyl_StrCopy(settings.AdvertisementUrl[0], "http://ad/", sizeof(settings.AdvertisementUrl[0]));
    EXPECT_EQ(7, ScriptedClient_DeliverSettings(client, &settings));
    EXPECT_EQ(1, front.settingsCalls);
    Patcher_SetClientSettingsCallback(patcher, nullptr);
    EXPECT_EQ(0, ScriptedClient_DeliverSettings(client, &settings));
    EXPECT_EQ(1, front.settingsCalls);
}

struct LaunchSeen {
    static std::string args;
    static int Launch(const char *copy, const char *output, const char *version) {
        args = std::string(copy) + "|" + output + "|" + version;
        return 5;
    }
};
std::string LaunchSeen::args;

TEST_F(PatcherTest, RestartLauncherIsCalledWhenSet) {
    EXPECT_EQ(1, Patcher_LaunchUpdater(patcher, "c", "o", "v"));
    Patcher_SetLaunchUpdaterCallback(patcher, LaunchSeen::Launch);
    EXPECT_EQ(5, Patcher_LaunchUpdater(patcher, "c", "o", "v"));
    EXPECT_EQ("c|o|v", LaunchSeen::args);
}

// Waits up to ten seconds for condition, checking every 5 ms.
bool WaitFor(const std::function<bool()> &condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

int CountStatus(std::vector<std::string> *names, const char *name) {
    names->push_back(name);
    return 1;
}

TEST_F(PatcherTest, PendingBufferPastOneMebibyteIsDroppedByTheThread) {
    static std::vector<std::string> seen;
    seen.clear();
    Patcher_SetStatusCallback(patcher, [](const char *name, void *, PatcherPackageStatus) {
        return CountStatus(&seen, name);
    });
    PatcherPackageStatus status;
    PatcherPackageStatus_Init(&status);
    // 588 bytes an event: 1800 of them pass 1 MiB. The API mutex keeps the
    // thread's pass from dropping the buffer before all are queued.
    ASSERT_EQ(1, Patcher_Lock(patcher));
    for (int i = 0; i < 1800; ++i)
        Patcher_QueueStatus(patcher, "old", &status);
    Patcher_Unlock(patcher);
    ASSERT_TRUE(WaitFor([] {
        return testsupport::AlertSeen("Patcher_ProcessEvents() called too rarely.  Arg buffer "
                                      "has grown too large and has been discarded.");
    }));
    Patcher_QueueStatus(patcher, "new", &status);
    Drain();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("new", seen[0]);
}

TEST(PackageControllerTest, InstallationPathEndsInASeparator) {
    char cwd[320];
    ASSERT_EQ(1, Zyl_GetCurrentDirectory(cwd, sizeof(cwd)));
    struct Case {
        const char *path;
        std::string expected;
    } cases[] = {
        {"", cwd},
        {"/games/one", "/games/one/"},
        {"/games/./two/../three/", "/games/three/"},
        {"\\games\\four", "/games/four/"},
    };
    for (const Case &c : cases) {
        PackageControllerStruct *controller = nullptr;
        ASSERT_EQ(1, PackageController_Create("http://h/", c.path, &controller, "game"));
        char name[320], path[320], url[1024];
        PackageController_GetTexts(controller, name, path, url);
        EXPECT_EQ(c.expected, path) << c.path;
        EXPECT_STREQ("game", name);
        EXPECT_STREQ("http://h/", url);
        int32_t active = 0;
        PackageController_GetActive(controller, &active);
        EXPECT_EQ(1, active);
        PackageController_Destroy(&controller);
        EXPECT_EQ(nullptr, controller);
    }
    PackageControllerStruct *controller = nullptr;
    std::string tooLong(400, 'n');
    EXPECT_EQ(0, PackageController_Create("http://h/", "/g/", &controller, tooLong.c_str()));
    EXPECT_EQ(nullptr, controller);
}

} // namespace
