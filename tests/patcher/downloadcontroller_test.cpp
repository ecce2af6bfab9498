// Plain downloads on the scripted client: what the client is given, refused
// downloads, the active flag, state reports, the once-a-second poll on an
// injected clock, removal and destruction with downloads in every state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "patcher/downloadcontroller.h"
#include "patcher/patcher_types.h"
#include "tests/patcher/patcher_fixture.h"

namespace {

using patchertest::PatcherFixture;

// The controllers' clock: the test moves it; every read is counted, so that
// the test knows when the thread has made a further pass.
std::atomic<int64_t> gClockMillis{0};
std::atomic<int64_t> gClockReads{0};
double TestClock() {
    gClockReads++;
    return static_cast<double>(gClockMillis.load()) / 1000.0;
}

bool WaitFor(const std::function<bool()> &condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class DownloadControllerTest : public PatcherFixture {
  protected:
    void SetUp() override {
        gClockMillis = 1000000;
        DownloadController_SetClock(TestClock);
        PatcherFixture::SetUp();
    }
    void TearDown() override {
        PatcherFixture::TearDown();
        DownloadController_SetClock(nullptr);
    }
    ScriptedDownloadInfo Download(const char *name) {
        ScriptedDownloadInfo info;
        EXPECT_EQ(1, ScriptedClient_GetDownload(client, name, &info)) << name;
        return info;
    }
    int Queries(const char *name) { return Download(name).StatusQueries; }
    // Returns once the controllers' threads have read the clock twice more: a
    // whole pass ran after the call.
    void WholePass() {
        int64_t start = gClockReads.load();
        ASSERT_TRUE(WaitFor([&] { return gClockReads.load() >= start + 2; }));
    }
    // Drains until the thread's first poll of the download has been delivered.
    void WaitForFirstPoll(const char *name) {
        ASSERT_TRUE(WaitFor([&] {
            Drain();
            return Events(name) >= 1;
        }));
        ASSERT_EQ(1, Queries(name));
    }
    int Events(const char *name) {
        int count = 0;
        for (const auto &event : front.downloads)
            count += event.first == name;
        return count;
    }
};

TEST_F(DownloadControllerTest, ClientGetsTheDownloadWithoutTheChooseToken) {
    struct Case {
        const char *output;
        const char *expected;
        int ask;
    } cases[] = {
        {"/games/{Choose}", "/games/", 1},
        {"/a/{Choose}/b{Choose}", "/a//b", 1},
        {"/games/plain/", "/games/plain/", 0},
        {"{choose}", "{choose}", 0},
    };
    PackageOptions options;
    Patcher_InitPackageOptions(&options);
    options.PeerToPeer = 0;
    int index = 0;
    for (const Case &c : cases) {
        std::string name = "dl" + std::to_string(index++);
        ASSERT_EQ(
            1, Patcher_AddDownload(patcher, name.c_str(), "meta", c.output, "http://s/", &options));
        ScriptedDownloadInfo info = Download(name.c_str());
        EXPECT_STREQ(c.expected, info.OutputPath) << c.output;
        EXPECT_EQ(c.ask, info.ElementOptions[PATCHER_ELEMENT_JOB_VALUE]) << c.output;
        EXPECT_EQ(0, info.ElementOptions[PATCHER_ELEMENT_SAVE_METAFILE]);
        EXPECT_EQ(1, info.ElementOptions[PATCHER_ELEMENT_USE_CACHE]);
        EXPECT_EQ(1, info.ElementOptions[PATCHER_ELEMENT_PARTIAL_EXT]);
        EXPECT_EQ(1, info.ElementOptions[PATCHER_ELEMENT_ADD_FOLDER]);
        EXPECT_EQ(0, info.Switches[PATCHER_SWITCH_PEER]);
        EXPECT_EQ(1, info.Switches[PATCHER_SWITCH_WEB]);
        EXPECT_STREQ("meta", info.Metafile);
        EXPECT_STREQ("http://s/", info.SkinSource);
    }
    options.PeerToPeer = 1;
    options.Web = 0;
    EXPECT_EQ(1, Patcher_SetDownloadOptions("dl0", patcher, &options));
    ScriptedDownloadInfo info = Download("dl0");
    EXPECT_EQ(1, info.Switches[PATCHER_SWITCH_PEER]);
    EXPECT_EQ(0, info.Switches[PATCHER_SWITCH_WEB]);
    EXPECT_EQ(1, info.SwitchCalls);
}

TEST_F(DownloadControllerTest, EmptySkinSourceIsRefusedAndNeverReported) {
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "bare", "meta", "/out/", "", nullptr));
    // An accepted one beside it, whose thread reads the clock on every pass.
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "other", "meta", "/out/", "http://s/", nullptr));
    ScriptedDownloadInfo info;
    EXPECT_EQ(0, ScriptedClient_GetDownload(client, "bare", &info));
    for (int i = 0; i < 3; ++i) {
        gClockMillis += 1500;
        WholePass();
    }
    Drain();
    EXPECT_EQ(0, Events("bare"));
    EXPECT_EQ(1, front.CountLog("[ERROR] Unspecified SkinSource []")) << front.DumpLogs();
    // Still filed: the front end removes it, and the client hears nothing of it.
    int32_t active = -1;
    EXPECT_EQ(1, Patcher_GetDownloadActive("bare", &active, patcher));
    EXPECT_EQ(1, Patcher_RemoveDownload("bare", patcher));
    ScriptedClientInfo clientInfo;
    ScriptedClient_GetInfo(client, &clientInfo);
    EXPECT_EQ(1, clientInfo.AddCalls);
    EXPECT_EQ(0, clientInfo.RemoveCalls);
}

TEST_F(DownloadControllerTest, RemovalReachesTheClientForAnAcceptedDownload) {
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "dl", "meta", "/out/", "http://s/", nullptr));
    ASSERT_EQ(1, Patcher_RemoveDownload("dl", patcher));
    ScriptedDownloadInfo info = Download("dl");
    EXPECT_EQ(1, info.Removed);
    ScriptedClientInfo clientInfo;
    ScriptedClient_GetInfo(client, &clientInfo);
    EXPECT_EQ(1, clientInfo.RemoveCalls);
    // A removed download reports nothing more (its thread has ended too).
    Drain();
    front.downloads.clear();
    ScriptedClient_SetState(client, "dl", PATCHER_DOWNLOAD_STATE_SCAN);
    Drain();
    EXPECT_EQ(0, Events("dl"));
}

TEST_F(DownloadControllerTest, ActiveFlagChangesOnlyWhileDownloading) {
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "dl", "meta", "/out/", "http://s/", nullptr));
    WaitForFirstPoll("dl");
    ScriptedClient_SetState(client, "dl", PATCHER_DOWNLOAD_STATE_SCAN);
    EXPECT_EQ(1, Patcher_SetDownloadActive("dl", patcher, 0));
    int32_t active = -1;
    EXPECT_EQ(1, Patcher_GetDownloadActive("dl", &active, patcher));
    EXPECT_EQ(1, active);
    EXPECT_EQ(0, Download("dl").ActiveCalls);

    ScriptedClient_SetState(client, "dl", PATCHER_DOWNLOAD_STATE_DOWNLOAD);
    EXPECT_EQ(1, Patcher_SetDownloadActive("dl", patcher, 0));
    EXPECT_EQ(1, Patcher_GetDownloadActive("dl", &active, patcher));
    EXPECT_EQ(0, active);
    ScriptedDownloadInfo info = Download("dl");
    EXPECT_EQ(1, info.ActiveCalls);
    EXPECT_EQ(0, info.Active);
}

TEST_F(DownloadControllerTest, OneStateTwiceLogsOnceAndQueuesTwice) {
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "dl", "meta", "/out/", "http://s/", nullptr));
    WaitForFirstPoll("dl");
    front.downloads.clear();
    front.logs.clear();
    PatcherDownloadStatus figures = {};
    figures.FilesSize = 1000;
    figures.BytesLeft = 400;
    figures.PieceCount = 10;
    ScriptedClient_SetFigures(client, "dl", &figures);
    ScriptedClient_SetState(client, "dl", PATCHER_DOWNLOAD_STATE_DOWNLOAD);
    ScriptedClient_SetState(client, "dl", PATCHER_DOWNLOAD_STATE_DOWNLOAD); // no change
    ScriptedClient_Report(client, "dl");
    Drain();
    ASSERT_EQ(2, Events("dl"));
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_DOWNLOAD, front.downloads[0].second.State);
    EXPECT_EQ(1000, front.downloads[0].second.FilesSize);
    EXPECT_EQ(400, front.downloads[1].second.BytesLeft);
    EXPECT_EQ(1, front.CountLog("[INFO] [dl] State change [PATCHER_DOWNLOAD_STATE_INITIALIZE] "
                                "to [PATCHER_DOWNLOAD_STATE_DOWNLOAD]"))
        << front.DumpLogs();
    EXPECT_EQ(1, static_cast<int>(front.logs.size())) << front.DumpLogs();
}

TEST_F(DownloadControllerTest, FirstPollAtOnceThenOncePerSecond) {
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "dl", "meta", "/out/", "http://s/", nullptr));
    WaitForFirstPoll("dl");
    struct Step {
        int64_t advance; // milliseconds
        int queries;     // polls made after it
    } steps[] = {{0, 1}, {500, 1}, {499, 1}, {1, 2}, {400, 2}, {600, 3}, {3000, 4}, {999, 4}};
    for (const Step &step : steps) {
        gClockMillis += step.advance;
        WholePass();
        WholePass();
        EXPECT_EQ(step.queries, Queries("dl")) << "after " << step.advance << " ms";
    }
    Drain();
    EXPECT_EQ(4, Events("dl"));
    EXPECT_EQ(PATCHER_DOWNLOAD_STATE_INITIALIZE, front.downloads[0].second.State);
}

TEST_F(DownloadControllerTest, DestroyWithDownloadsInEveryState) {
    for (int state = 1; state <= 6; ++state) {
        std::string name = "dl" + std::to_string(state);
        ASSERT_EQ(1,
                  Patcher_AddDownload(patcher, name.c_str(), "meta", "/o/", "http://s/", nullptr));
        if (state > 1)
            ScriptedClient_SetState(client, name.c_str(), state);
    }
    ASSERT_EQ(1, Patcher_AddDownload(patcher, "refused", "meta", "/o/", "", nullptr));
    Patcher_RemoveDownload("dl3", patcher);
    ASSERT_EQ(1, Patcher_Destroy(&patcher));
    EXPECT_EQ(nullptr, patcher);
    EXPECT_EQ(7, testsupport::Count(testsupport::CapturedAlerts(),
                                    "DownloadController thread shut down successful"));
    EXPECT_EQ(1, testsupport::Count(testsupport::CapturedAlerts(),
                                    "Patcher thread shut down successful"));
    ScriptedClientCounts counts;
    ScriptedClient_GetCounts(&counts);
    EXPECT_EQ(1, counts.Destroys);
}

} // namespace
