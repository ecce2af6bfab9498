// The download object: a download made from a metafile over files on disk,
// stepped by hand or by the manager thread; its completion report, switches,
// order mode, traffic classes and start/pause from another thread.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/dht.h"
#include "engine/manager.h"
#include "engine/piece.h"
#include "engine/swarm.h"
#include "engine/trafficshape.h"
#include "engine/webbase.h"
#include "tests/engine/manager_support.h"
#include "tests/support/support.h"

using enginetest::ManagerFixture;
using testsupport::AlertSeen;

namespace {

class DownloadTest : public ManagerFixture {
  protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        ASSERT_EQ(1, Manager_AddMember(manager_, &member_));
        ManagerMember_GetBase(member_, &base_);
        Base_SetStatusLineCallback(base_, &DownloadTest::OnLine, this);
    }
    void TearDown() override {
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        ManagerFixture::TearDown();
    }
    static void OnLine(BaseStruct *, void *user, int, const char *line) {
        DownloadTest *self = static_cast<DownloadTest *>(user);
        std::lock_guard<std::mutex> guard(self->linesLock_);
        self->lines_.push_back(line);
    }
    int Lines(const std::string &prefix) {
        std::lock_guard<std::mutex> guard(linesLock_);
        int n = 0;
        for (const std::string &line : lines_)
            n += line.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
    // Three files already complete on disk and their metafile; the download
    // opens the metafile and checks the files.
    void OpenCompleteDownload() {
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent missing";
        std::string src = dir_ / "src";
        ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + src + "/pack'"));
        testsupport::WriteFile(src + "/pack/a.bin", std::string(40000, 'a'));
        testsupport::WriteFile(src + "/pack/b.bin", std::string(70000, 'b'));
        std::string torrent = dir_ / "pack.torrent";
        ASSERT_EQ(0,
                  testsupport::RunCommand("cd '" + src + "' && mktorrent -l 15 -a http://t/a -o '" +
                                          torrent + "' pack >/dev/null"));
        ContentStruct *content = nullptr;
        Base_GetContent(base_, &content);
        Content_SetSource(content, torrent.c_str(), CONTENT_SOURCE_METAFILE);
        ASSERT_EQ(1, Content_Open(content)) << testsupport::AlertText();
        Content_SetPath(content, (src + "/pack").c_str());
        ASSERT_EQ(1, Content_ScanExisting(content)) << testsupport::AlertText();
    }
    static void OnComplete(BaseStruct *, void *user) { ++*static_cast<std::atomic<int> *>(user); }

    ManagerMemberStruct *member_ = nullptr;
    BaseStruct *base_ = nullptr;
    std::mutex linesLock_;
    std::vector<std::string> lines_;
    testsupport::TempDir dir_;
};

TEST_F(DownloadTest, CompleteAtStartReportsOnceAndAgainAfterARestart) {
    OpenCompleteDownload();
    std::atomic<int> completed{0};
    Base_SetStatusCallback(base_, &DownloadTest::OnComplete, &completed);
    ASSERT_EQ(1, Base_SetActive(base_, 1));
    for (int i = 0; i < 3; i++)
        Base_Process(base_);
    EXPECT_EQ(1, Lines("Download completed (session time "));
    EXPECT_EQ(1, Lines("Cache efficiency at "));
    EXPECT_EQ(1, Lines("Active as pure content source (seed mode)."));
    EXPECT_EQ(0, Lines("Performance")); // nothing was read
    EXPECT_EQ(1, completed.load());
    double when = 0;
    Base_GetCompletionTime(base_, &when);
    EXPECT_GT(when, 0);
    Base_SetActive(base_, 0);
    EXPECT_EQ(1, Lines("Operational         : "));
    EXPECT_EQ(1, Lines("Hash Failures       : 0"));
    Base_SetActive(base_, 1);
    Base_Process(base_);
    Base_Process(base_);
    EXPECT_EQ(2, Lines("Download completed"));
    EXPECT_EQ(2, Lines("Active as pure content source (seed mode)."));
    EXPECT_EQ(2, completed.load());
    int all = 0;
    EXPECT_EQ(1, Base_AllFilesCompleted(base_, &all));
    EXPECT_EQ(1, Base_GetAllFilesActive(base_, &all));
    EXPECT_EQ(1, all);
    // Verbose downloads also log their lines, named after the metafile.
    EXPECT_TRUE(AlertSeen("pack.torr: Download completed"));
}

TEST_F(DownloadTest, TheManagerThreadReportsTheCompletion) {
    OpenCompleteDownload();
    Base_SetActive(base_, 1);
    Manager_SetActive(manager_, 1);
    for (int i = 0; i < 5000 && Lines("Active as pure content source") == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Manager_SetActive(manager_, 0);
    EXPECT_EQ(1, Lines("Download completed"));
    EXPECT_EQ(1, Lines("Active as pure content source (seed mode)."));
}

TEST_F(DownloadTest, PauseAndStartMoveTheDownloadsParts) {
    DHTStruct *dht = nullptr;
    Manager_GetDHT(manager_, &dht);
    WebBaseStruct *web = nullptr;
    Base_GetWebBase(base_, &web);
    BitBaseStruct *swarm = nullptr;
    Base_GetBitBase(base_, &swarm);
    EventStruct *stop = nullptr;
    Base_GetStopEvent(base_, &stop);
    int count = -1, flag = -1, signalled = 0;

    EXPECT_EQ(1, Base_SetActive(base_, 0)); // paused already: the stop event only
    Event_Poll(stop, &signalled);
    EXPECT_EQ(1, signalled);
    EXPECT_EQ(0, Lines("Operational"));

    Base_SetActive(base_, 1);
    Event_Poll(stop, &signalled);
    EXPECT_EQ(0, signalled);
    DHT_GetObjectCount(dht, &count);
    EXPECT_EQ(1, count);
    WebBase_GetActive(web, &flag);
    EXPECT_EQ(1, flag);
    EXPECT_EQ(1, swarm->Wanted); // the swarm's next tick applies it
    Base_SetWebEnabled(base_, 0);
    WebBase_GetActive(web, &flag);
    EXPECT_EQ(0, flag);
    Base_SetPeerEnabled(base_, 0);
    EXPECT_EQ(0, swarm->Wanted);

    Base_SetActive(base_, 0);
    DHT_GetObjectCount(dht, &count);
    EXPECT_EQ(0, count);
    EXPECT_EQ(0, swarm->Wanted);
    Base_GetActive(base_, &flag);
    EXPECT_EQ(0, flag);
}

TEST_F(DownloadTest, ScissorOrderTurnsPriorityOff) {
    PieceStruct *picker = nullptr;
    Base_GetPiecePicker(base_, &picker);
    struct Case {
        int mode;
        const char *name;
        int priority;
    } cases[] = {{2, "Scarcity", 1}, {0, "Sequential", 1}, {4, "Scissor", 0}};
    for (const Case &c : cases) {
        Base_SetPiecePriority(base_, 1);
        ASSERT_EQ(1, Base_SetChunkSelection(base_, c.mode));
        EXPECT_EQ(c.priority, picker->Priority) << c.name;
        EXPECT_EQ(c.mode, picker->Order) << c.name;
        EXPECT_EQ(c.mode, Base_GetChunkSelection(base_));
        EXPECT_TRUE(AlertSeen(std::string("Base chunk selection set to ") + c.name));
    }
}

TEST_F(DownloadTest, WebClassFallsBackToTheFirstClass) {
    TrafficShapeStruct *shaper = nullptr;
    Manager_GetTrafficShape(manager_, &shaper);
    RuleSetStruct *set = TrafficShape_RuleSetCreate(shaper, "incoming");
    TrafficShape_RuleSetSetDirection(set, TRAFFICSHAPE_INCOMING);
    TrafficShape_RuleSetCreateRoot(set, "root");
    TrafficShape_RuleCreate(set, 1, "peers");
    TrafficShape_RuleCreate(set, 1, "mirror");
    TrafficShape_RuleCreate(set, 1, "cdn");
    TrafficShape_RuleSetRecalculate(set);
    TrafficShape_RuleSetSetActive(shaper, set, 1);
    auto expected = [&](const char *id) {
        int handle = 0;
        TrafficShape_GetLookupHandleFromID(shaper, TRAFFICSHAPE_INCOMING, id, &handle);
        return handle;
    };
    int handle = -1;
    EXPECT_EQ(0, Base_GetShapeHandle(base_, BASE_SHAPE_WEB, "x", TRAFFICSHAPE_INCOMING, &handle));
    EXPECT_EQ(0, handle); // no web class yet
    Base_SetShapeClass(base_, BASE_SHAPE_PEER, "peers", "");
    Base_SetShapeClass(base_, BASE_SHAPE_WEB, "cdn", "source-a");
    Base_SetShapeClass(base_, BASE_SHAPE_WEB, "mirror", "source-b");
    EXPECT_EQ(0, Base_SetShapeClass(base_, 3, "peers", ""));
    struct Case {
        int type;
        const char *key;
        const char *id; // null: no handle
    } cases[] = {{BASE_SHAPE_PEER, "", "peers"},
                 {BASE_SHAPE_WEB, "source-b", "mirror"},
                 {BASE_SHAPE_WEB, "unknown", "cdn"},
                 {3, "", nullptr}};
    for (const Case &c : cases) {
        handle = -1;
        const int result =
            Base_GetShapeHandle(base_, c.type, c.key, TRAFFICSHAPE_INCOMING, &handle);
        EXPECT_EQ(c.id ? 1 : 0, result) << c.type << c.key;
        EXPECT_EQ(c.id ? expected(c.id) : 0, handle) << c.type << c.key;
        if (c.id) {
            EXPECT_GT(handle, 0);
        }
    }
    TrafficShapeStruct *own = nullptr;
    EXPECT_EQ(0, Base_GetOwnTrafficShape(base_, &own));
}

TEST_F(DownloadTest, StartAndPauseFromAnotherThreadWhileTheManagerRuns) {
    Manager_SetActive(manager_, 1);
    std::atomic<bool> done{false};
    std::thread job([&] {
        for (int i = 0; i < 200; i++) {
            Base_SetActive(base_, i % 2 == 0 ? 1 : 0);
            Base_SetPeerEnabled(base_, i % 3 == 0 ? 0 : 1);
            Base_SetRateLimit(base_, 1000.0 * i, 500.0 * i);
        }
        done = true;
    });
    job.join();
    EXPECT_TRUE(done.load());
    int active = -1;
    Base_GetActive(base_, &active);
    EXPECT_EQ(0, active); // the last call paused it
    ManagerMemberStruct *second = nullptr;
    Manager_AddMember(manager_, &second);
    Manager_CloseMember(manager_, second);
    ManagerMemberStruct *held = second;
    Manager_ReleaseMember(manager_, &second);
    for (int i = 0; i < 5000 && Manager_IsMember(manager_, held); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(0, Manager_IsMember(manager_, held)); // freed by the manager thread
    Manager_SetActive(manager_, 0);
}

TEST_F(DownloadTest, FileNotificationsReachTheCallback) {
    std::vector<std::string> files;
    Base_SetFileCallback(
        base_,
        [](BaseStruct *, void *user, const char *path) {
            static_cast<std::vector<std::string> *>(user)->push_back(path);
        },
        &files);
    Base_NotifyFile(base_, "pack/a.bin");
    Base_NotifyFile(base_, nullptr);
    EXPECT_EQ(std::vector<std::string>{"pack/a.bin"}, files);
}

} // namespace
