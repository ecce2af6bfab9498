// The launcher model over the real patch engine: start-up with and without the
// launcher's package, every event kind reaching the page with its argument
// types and values, the consent answers, closing on errors, the game's start
// against the list state, and the children it leaves behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>

#include "patcher/patcher.h"
#include "tests/frontend/frontend_support.h"

namespace {

using frontendtest::BoolAnswer;
using frontendtest::IntAnswer;
using frontendtest::kListTarget;
using frontendtest::ModelTest;
using frontendtest::RecordingPage;
using V = std::vector<std::string>;

TEST_F(ModelTest, StartsTheTargetAtOnceWithoutALauncherPackage) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(view.calls, V({"Navigate:" + Folder() + "skin/en/index.html"}));
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    EXPECT_EQ(std::string(here) + "/", Folder());
    EXPECT_EQ(model->Start(), 1);
    EXPECT_EQ(model->IsTargetStarted(), 1);
    PackageOptions options;
    EXPECT_EQ(LauncherLib_GetPackageListOptions(kListTarget, &options), 1);
    EXPECT_EQ(options.PeerToPeer, 1);
    EXPECT_EQ(options.Web, 1);
}

TEST_F(ModelTest, StartsTheTargetWhenTheLauncherPackageIsComplete) {
    ASSERT_EQ(Open(frontendtest::DefaultConfig() +
                   "<Launcher><PackageName>launcher</PackageName>"
                   "<Url>http://127.0.0.1:1/launcher.package</Url></Launcher>"),
              1);
    EXPECT_EQ(model->Start(), 1);
    PackageOptions options;
    EXPECT_EQ(LauncherLib_GetPackageOptions("launcher", &options), 1);
    EXPECT_EQ(model->IsTargetStarted(), 0);
    PatcherStateChangeRecord record{};
    record.NewState = PATCHER_STATE_ALLTASKSCOMPLETE;
    Patcher_QueueStateChange(Engine(), "other", &record);
    model->Tick();
    EXPECT_EQ(model->IsTargetStarted(), 0);
    Patcher_QueueStateChange(Engine(), "launcher", &record);
    model->Tick();
    EXPECT_EQ(model->IsTargetStarted(), 1);
    EXPECT_EQ(LauncherLib_GetPackageListOptions(kListTarget, &options), 1);
}

TEST_F(ModelTest, RefusesAMissingConfigurationAndAnEmptyPage) {
    model = new frontendtest::TestModel(dir_.path().c_str());
    EXPECT_EQ(model->Initialize(&view), 0);
    CloseModel();
    EXPECT_EQ(Open("<LayoutInfo><Url></Url></LayoutInfo>"), 0);
    model->Tick(); // the error reaches the page before the view is closed
    ASSERT_EQ(Page()->CallsOf("__Launcher_reportlauncherError").size(), 1u);
    EXPECT_EQ(Page()->CallsOf("__Launcher_reportlauncherError")[0].Arguments[2],
              "S:[ERROR] Initial BrowserControl url not specified");
}

PatcherPackageStatus SampleStatus(int state) {
    PatcherPackageStatus s{};
    s.State = state;
    Zyl_StrCopy(s.CurrentName, "1.0", sizeof(s.CurrentName));
    s.CurrentVersion = 10;
    Zyl_StrCopy(s.TargetName, "1.1", sizeof(s.TargetName));
    s.TargetVersion = 11;
    s.PackageDescriptorType = 2;
    s.PackageType = 3;
    s.DownloadActive = 0;
    s.DownloadFilesSize = 5000000000LL;
    s.DownloadBytesLeft = 4000000000LL;
    s.CheckedBytesLeft = 3000000000LL;
    s.ExpansionDone = 7;
    s.ExpansionTotal = 8;
    s.PeakRate = 1.5;
    s.AverageRate = 2.25;
    s.CurrentRate = 0.5;
    s.BytesIn = 6000000000LL;
    s.BytesOut = 9;
    return s;
}

const V kStatusShown = {"I:3", "S:1.0",      "I:10",         "S:1.1",        "I:11",         "I:2",
                        "I:3", "B:FALSE",    "N:5000000000", "N:4000000000", "N:3000000000", "N:7",
                        "N:8", "D:1.500000", "D:2.250000",   "D:0.500000",   "N:6000000000", "N:9"};

TEST_F(ModelTest, EveryEventReachesThePageInOrderWithItsTypes) {
    ASSERT_EQ(Open(), 1);
    model->Tick(); // the engine's start-up line
    Page()->calls.clear();
    Patcher *engine = Engine();
    PatcherPackageStatus status = SampleStatus(PATCHER_STATE_DOWNLOAD);
    Patcher_QueueStatus(engine, "game", &status);
    PatcherPackageListStatusRecord list{};
    Zyl_StrCopy(list.ListName, kListTarget, sizeof(list.ListName));
    Zyl_StrCopy(list.PackageName, "game", sizeof(list.PackageName));
    list.ListState = 3;
    list.Status = status;
    Patcher_QueuePackageListStatus(engine, &list);
    PatcherDownloadStatus download{};
    download.State = PATCHER_DOWNLOAD_STATE_DOWNLOAD;
    download.Active = 1;
    download.FilesSize = 6000000000LL; // above 4 GiB
    download.BytesLeft = 5000000000LL;
    download.PeakRate = 3;
    download.AverageRate = 2;
    download.CurrentRate = 1;
    download.BytesIn = 4500000000LL;
    download.BytesOut = 12;
    download.PiecesChecked = 3000;
    download.PieceLength = 1048576; // the product overflows 32 bits
    Patcher_QueueDownloadStatus(engine, "movie", &download);
    Patcher_QueueLog(engine, 1, "a line");
    Patcher_QueueError(engine, 4, "a warning the page shows");
    PatcherMaintenanceRecord maintenance{};
    Zyl_StrCopy(maintenance.MaintenanceUrl, "https://h/down.html", 320);
    Zyl_StrCopy(maintenance.AdditionalInfo, "back soon", 320);
    Page()->answers["__Patcher_reportpackageMaintenance"] = IntAnswer(0);
    Patcher_QueueMaintenance(engine, "game", &maintenance);
    model->Tick();

    V names;
    for (const RecordingPage::PageCall &call : Page()->calls)
        if (call.Name != "__Launcher_reportlauncherLog")
            names.push_back(call.Name);
    EXPECT_EQ(names, V({"__Patcher_reportpackageStatus", "__Patcher_reportpackageListStatus",
                        "__Downloader_reportdownloadStatus", "__Launcher_reportlauncherError",
                        "__Patcher_reportpackageMaintenance"}));
    auto statusCall = Page()->CallsOf("__Patcher_reportpackageStatus").at(0);
    V expected = {"S:game"};
    expected.insert(expected.end(), kStatusShown.begin(), kStatusShown.end());
    EXPECT_EQ(statusCall.Arguments, expected);
    auto listCall = Page()->CallsOf("__Patcher_reportpackageListStatus").at(0);
    expected = {std::string("S:") + kListTarget, "S:game", "I:3"};
    expected.insert(expected.end(), kStatusShown.begin(), kStatusShown.end());
    EXPECT_EQ(listCall.Arguments, expected);
    EXPECT_EQ(model->GetPackageListStatus().ListState, 3);
    EXPECT_EQ(Page()->CallsOf("__Downloader_reportdownloadStatus").at(0).Arguments,
              V({"S:movie", "I:3", "I:1", "N:6000000000", "N:5000000000", "D:3.000000",
                 "D:2.000000", "D:1.000000", "N:4500000000", "N:12",
                 "N:" + std::to_string(6000000000LL - 3000LL * 1048576LL)}));
    auto logs = Page()->CallsOf("__Launcher_reportlauncherLog");
    ASSERT_FALSE(logs.empty());
    bool seen = false;
    for (auto &call : logs)
        seen |= call.Arguments.size() == 2 && call.Arguments[1] == "S:[INFO] a line";
    EXPECT_TRUE(seen);
    EXPECT_EQ(Page()->CallsOf("__Launcher_reportlauncherError").at(0).Arguments.at(0), "I:4");
    EXPECT_EQ(Page()->CallsOf("__Patcher_reportpackageMaintenance").at(0).Arguments,
              V({"S:game", "S:https://h/down.html", "S:back soon"}));
    // Code 4 is shown and the launcher stays; a maintenance answer of 0 stays on the page.
    EXPECT_EQ(view.Count("Close"), 0);
    EXPECT_EQ(view.calls.size(), 1u);
    // Every log line is kept for the log window.
    auto lines = model->GetLogLines();
    int kept = 0;
    for (const std::string &line : lines)
        kept += line.ends_with(" [INFO] a line");
    EXPECT_EQ(kept, 1);
}

TEST_F(ModelTest, ErrorsCloseTheLauncherExceptCodesOneAndFour) {
    for (int code : {1, 4, 2}) {
        ASSERT_EQ(Open(), 1);
        Patcher_QueueError(Engine(), code, "failure");
        Patcher_QueueLog(Engine(), 1, "after the error");
        model->Tick();
        EXPECT_EQ(Page()->CallsOf("__Launcher_reportlauncherError").size(), 1u) << code;
        EXPECT_EQ(view.Count("Close"), code == 2 ? 1 : 0) << code;
        bool after = false;
        for (auto &call : Page()->CallsOf("__Launcher_reportlauncherLog"))
            after |= call.Arguments.at(1) == "S:[INFO] after the error";
        // Once closed, no later event reaches the page, and ticks do nothing.
        EXPECT_EQ(after, code != 2) << code;
        EXPECT_EQ(model->Tick(), code == 2 ? 0 : 1);
        CloseModel();
        view.calls.clear();
    }
}

TEST_F(ModelTest, MaintenanceNavigatesWhenThePageAgreesOrIsSilent) {
    struct {
        bool Answered;
        ScriptResult Answer;
        bool Navigates;
    } cases[] = {{false, {}, true},
                 {true, IntAnswer(1), true},
                 {true, BoolAnswer(1), true},
                 {true, IntAnswer(2), false},
                 {true, BoolAnswer(0), false}};
    ASSERT_EQ(Open(), 1);
    PatcherMaintenanceRecord record{};
    Zyl_StrCopy(record.MaintenanceUrl, "maintenance.html", 320);
    for (auto &c : cases) {
        view.calls.clear();
        Page()->answers.erase("__Patcher_reportpackageMaintenance");
        if (c.Answered)
            Page()->answers["__Patcher_reportpackageMaintenance"] = c.Answer;
        Patcher_QueueMaintenance(Engine(), "game", &record);
        model->Tick();
        EXPECT_EQ(view.Count("Navigate:" + Folder() + "maintenance.html"), c.Navigates ? 1 : 0);
    }
}

TEST_F(ModelTest, DownloadTargetStopsWhenCompleteAndClosesWhenCancelled) {
    ASSERT_EQ(Open("<LayoutInfo><Url>index.html</Url></LayoutInfo><Updater><Mode>Download</Mode>"
                   "<Target>http://127.0.0.1:1/movie.torrent</Target>"
                   "<OutputPath>out</OutputPath><AuthorizationUrl>http://127.0.0.1:1/skin"
                   "</AuthorizationUrl></Updater>"),
              1);
    model->Start();
    int32_t active = 0;
    EXPECT_EQ(LauncherLib_GetDownloadActive("http://127.0.0.1:1/movie.torrent", &active), 1);
    PatcherDownloadStatus status{};
    status.State = PATCHER_DOWNLOAD_STATE_COMPLETE;
    Patcher_QueueDownloadStatus(Engine(), "http://127.0.0.1:1/movie.torrent", &status);
    model->Tick();
    EXPECT_EQ(model->IsTargetStarted(), 0);
    EXPECT_EQ(LauncherLib_GetDownloadActive("http://127.0.0.1:1/movie.torrent", &active), 0);
    status.State = 6;
    Patcher_QueueDownloadStatus(Engine(), "x", &status);
    model->Tick();
    EXPECT_EQ(view.Count("Close"), 1);
}

TEST_F(ModelTest, ClientSettingsAreExpandedAndTheSettingsFileIsWrittenAtShutdown) {
    ASSERT_EQ(Open(), 1);
    PatcherClientSettings settings{};
    Zyl_StrCopy(settings.AdvertisementUrl[0], "http://ads/{LANG_CODE}/1", 320);
    PatcherClient *client = nullptr;
    Patcher_GetClient(Engine(), &client);
    EXPECT_EQ(ScriptedClient_DeliverSettings(client, &settings), 1);
    EXPECT_EQ(model->GetClientInformation(), V({"http://ads/en/1", ""}));
    EXPECT_EQ(model->Shutdown(), 1);
    std::string written = testsupport::ReadFile(dir_ / "launcher.settings.xml");
    EXPECT_NE(written.find("<RateLimitUp>100</RateLimitUp>"), std::string::npos) << written;
    EXPECT_NE(written.find("<EULAAccepted>0</EULAAccepted>"), std::string::npos) << written;
}

TEST_F(ModelTest, KeepsTheNewestTenThousandLogLines) {
    ASSERT_EQ(Open(), 1);
    model->Tick();
    for (int i = 0; i < 10005; i++)
        model->OnLog("stamp", ("line " + std::to_string(i)).c_str());
    auto lines = model->GetLogLines();
    ASSERT_EQ(lines.size(), 10000u);
    EXPECT_EQ(lines.front(), "stamp line 5");
    EXPECT_EQ(lines.back(), "stamp line 10004");
}

TEST_F(ModelTest, PausesAndResumesTheDownloadTarget) {
    const char *target = "http://127.0.0.1:1/movie.torrent";
    ASSERT_EQ(Open(std::string("<LayoutInfo><Url>index.html</Url></LayoutInfo><Updater><Mode>"
                               "Download</Mode><Target>") +
                   target +
                   "</Target><OutputPath>out</OutputPath><AuthorizationUrl>http://127.0.0.1:1/s"
                   "</AuthorizationUrl></Updater>"),
              1);
    model->Start();
    EXPECT_EQ(model->IsDownloadPaused(), 0);
    PatcherClient *client = nullptr;
    Patcher_GetClient(Engine(), &client);
    ScriptedDownloadInfo info{};
    for (int i = 0; i < 200 && ScriptedClient_GetDownload(client, target, &info) != 1; i++)
        usleep(10000);
    ASSERT_EQ(ScriptedClient_SetState(client, target, PATCHER_DOWNLOAD_STATE_DOWNLOAD), 1);
    // The download controller's first poll may still be on its way.
    for (int i = 0; i < 200 && model->IsDownloadPaused() == 0; i++) {
        model->ToggleDownloadActive();
        if (model->IsDownloadPaused() == 0)
            usleep(10000);
    }
    EXPECT_EQ(model->IsDownloadPaused(), 1);
    EXPECT_EQ(model->ToggleDownloadActive(), 1);
    EXPECT_EQ(model->IsDownloadPaused(), 0);
    ASSERT_EQ(ScriptedClient_GetDownload(client, target, &info), 1);
    EXPECT_EQ(info.Active, 1);
}

} // namespace
