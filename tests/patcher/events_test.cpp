// The event queue: records byte for byte through every dispatcher, buffer growth,
// order across producer threads, re-entry, invalid log levels, the 1 MiB drop and
// the name functions.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "patcher/bufferlog.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherevents.h"
#include "patcher/patcherlog.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

// Fills a record with a byte pattern so that every offset is checked.
template <typename T> void Pattern(T *record, int seed) {
    auto *bytes = reinterpret_cast<unsigned char *>(record);
    for (size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<unsigned char>(seed + i * 7);
}

template <typename T> std::string Bytes(const T &record) {
    return std::string(reinterpret_cast<const char *>(&record), sizeof(T));
}

// What the callbacks saw: one line per call, the record as raw bytes.
struct Seen {
    std::vector<std::string> calls;
    std::vector<std::string> records;
    PatcherEventQueue *queue = nullptr; // for re-entry
    int reentered = -1;
};

int OnStateChange(const char *name, void *user, PatcherStateChangeRecord record) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back(std::string("statechange ") + name);
    seen->records.push_back(Bytes(record));
    return 1;
}
int OnStatus(const char *name, void *user, PatcherPackageStatus status) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back(std::string("status ") + name);
    seen->records.push_back(Bytes(status));
    if (seen->queue != nullptr)
        seen->reentered = PatcherEventQueue_ProcessEvents(seen->queue);
    return 1;
}
int OnPerformRestart(void *user) {
    static_cast<Seen *>(user)->calls.push_back("performrestart");
    return 1;
}
int OnLog(void *user, const char *stamp, const char *text) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back(std::string("log ") + text);
    seen->records.push_back(stamp);
    return 1;
}
int OnError(void *user, int32_t code, const char *stamp, const char *text) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back("error " + std::to_string(code) + " " + text);
    seen->records.push_back(stamp);
    return 1;
}
int OnItem(void *user, const void *bytes, int32_t length) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back("item " + std::to_string(length));
    seen->records.push_back(std::string(static_cast<const char *>(bytes), length));
    return 1;
}
int OnListStatus(void *user, PatcherPackageListStatusRecord record) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back("liststatus");
    seen->records.push_back(Bytes(record));
    return 1;
}
int OnMaintenance(const char *name, void *user, PatcherMaintenanceRecord record) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back(std::string("maintenance ") + name);
    seen->records.push_back(Bytes(record));
    return 1;
}
int OnDownloadStatus(const char *name, void *user, PatcherDownloadStatus status) {
    auto *seen = static_cast<Seen *>(user);
    seen->calls.push_back(std::string("downloadstatus ") + name);
    seen->records.push_back(Bytes(status));
    return 1;
}

// Hooks that record the owner's work in the same list as the callbacks.
int HookReadOptions(void *context) {
    static_cast<Seen *>(context)->calls.push_back("hook readoptions");
    return 1;
}
int HookPackageState(void *context, const char *name, const PatcherPackageStatus *status) {
    static_cast<Seen *>(context)->calls.push_back(std::string("hook state ") + name + " " +
                                                  std::to_string(status->TargetVersion));
    return 1;
}
int HookProcessRequests(void *context) {
    static_cast<Seen *>(context)->calls.push_back("hook requests");
    return 1;
}

class EventQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        PatcherEventQueue_Create(&queue);
        PatcherEventQueue_GetCallbacks(queue, &slots);
        slots->UserData = &seen;
        slots->StateChange = OnStateChange;
        slots->Status = OnStatus;
        slots->PerformRestart = OnPerformRestart;
        slots->Log = OnLog;
        slots->Error = OnError;
        slots->Item = OnItem;
        slots->PackageListStatus = OnListStatus;
        slots->Maintenance = OnMaintenance;
        slots->DownloadStatus = OnDownloadStatus;
        Patcher_SetLogCallbacks(queue, PatcherEventQueue_LogReceiver,
                                PatcherEventQueue_ErrorReceiver);
    }
    void TearDown() override {
        Patcher_SetLogCallbacks(nullptr, nullptr, nullptr);
        PatcherEventQueue_Destroy(&queue);
        testsupport::StopAlertCapture();
    }
    // The calls, joined by newlines, without the log lines the producers add.
    std::string Calls(bool withLogs = false) {
        std::string joined;
        for (const std::string &call : seen.calls)
            if (withLogs || call.rfind("log ", 0) != 0)
                joined += call + "\n";
        return joined;
    }

    PatcherEventQueue *queue = nullptr;
    PatcherCallbacks *slots = nullptr;
    Seen seen;
};

TEST_F(EventQueueTest, EveryTypeReachesItsSlotByteForByteInOrder) {
    PatcherEventHooks hooks = {&seen, HookReadOptions, HookPackageState, HookProcessRequests};
    PatcherEventQueue_SetHooks(queue, &hooks);

    PatcherStateChangeRecord change;
    Pattern(&change, 1);
    change.PreviousState = PATCHER_STATE_PREPARE;
    change.NewState = PATCHER_STATE_DOWNLOAD;
    PatcherPackageStatus status;
    Pattern(&status, 2);
    PatcherPackageListStatusRecord list;
    Pattern(&list, 3);
    list.ListName[319] = '\0'; // the dispatcher ends both names inside their fields
    list.PackageName[319] = '\0';
    PatcherMaintenanceRecord maintenance;
    Pattern(&maintenance, 4);
    maintenance.MaintenanceUrl[10] = '\0';
    maintenance.AdditionalInfo[10] = '\0';
    PatcherDownloadStatus download;
    Pattern(&download, 5);
    const char item[] = "\x01\x02\x00\x03";

    // A name longer than its field is cut to 319 characters.
    std::string longName(400, 'n');
    PatcherEventQueue_QueuePerformRestart(queue);
    PatcherEventQueue_QueueStateChange(queue, "alpha", &change);
    PatcherEventQueue_QueueStatus(queue, longName.c_str(), &status);
    PatcherEventQueue_QueueError(queue, 42, "disk %s full");
    PatcherEventQueue_QueuePackageListStatus(queue, &list);
    PatcherEventQueue_QueueMaintenance(queue, "beta", &maintenance);
    PatcherEventQueue_QueueDownloadStatus(queue, "gamma", &download);
    PatcherEventQueue_QueueItem(queue, item, 4);
    PatcherEventQueue_QueueLog(queue, PATCHER_LOG_WARNING, "careful");
    EXPECT_EQ(seen.calls.size(), 0u) << "nothing is delivered before the front end asks";

    EXPECT_EQ(PatcherEventQueue_ProcessEvents(queue), 1);
    std::string name319(319, 'n');
    // The producers' own log lines follow their events.
    EXPECT_EQ(Calls(true), "hook readoptions\n"
                           "performrestart\n"
                           "hook state alpha " +
                               std::to_string(change.Status.TargetVersion) +
                               "\nstatechange alpha\n"
                               "log [INFO] [alpha] State change [PATCHER_STATE_PREPARE] to "
                               "[PATCHER_STATE_DOWNLOAD]\n"
                               "hook state " +
                               name319 + " " + std::to_string(status.TargetVersion) + "\nstatus " +
                               name319 +
                               "\nerror 42 [ERROR] disk %s full\n"
                               "liststatus\n"
                               "maintenance beta\n"
                               "log [INFO] Maintenance event received [beta," +
                               maintenance.MaintenanceUrl + "," + maintenance.AdditionalInfo +
                               "]\n"
                               "downloadstatus gamma\n"
                               "item 4\n"
                               "log [WARNING] careful\n"
                               "hook requests\n");
    ASSERT_EQ(seen.records.size(), 10u);
    EXPECT_EQ(seen.records[0], Bytes(change));
    EXPECT_EQ(seen.records[2], Bytes(status));
    EXPECT_EQ(seen.records[4], Bytes(list));
    EXPECT_EQ(seen.records[5], Bytes(maintenance));
    EXPECT_EQ(seen.records[7], Bytes(download));
    EXPECT_EQ(seen.records[8], std::string(item, 4));
    // Time stamps: "MM/DD/YYYY hh:mm".
    for (int i : {1, 3, 6, 9}) {
        const std::string &stamp = seen.records[i];
        ASSERT_EQ(stamp.size(), 16u) << stamp;
        EXPECT_EQ(stamp[2], '/');
        EXPECT_EQ(stamp[5], '/');
        EXPECT_EQ(stamp.substr(6, 2), "20") << stamp;
        EXPECT_EQ(stamp[10], ' ');
        EXPECT_EQ(stamp[13], ':');
    }
    // The message lines are printed when queued and again when delivered.
    EXPECT_TRUE(testsupport::AlertSeen("[ERROR] disk %s full")) << testsupport::AlertText();
    EXPECT_TRUE(testsupport::AlertSeen(seen.records[3] + " [ERROR] disk %s full"));

    // An empty queue delivers nothing and still runs the owner's steps.
    seen.calls.clear();
    EXPECT_EQ(PatcherEventQueue_ProcessEvents(queue), 1);
    EXPECT_EQ(Calls(true), "hook readoptions\nhook requests\n");
}

// The stream as appended: the type word, then the name field, then the record.
TEST_F(EventQueueTest, StreamLayoutAtTheRecordOffsets) {
    PatcherPackageStatus status;
    PatcherPackageStatus_Init(&status);
    status.TargetVersion = 0x01020304;
    status.BytesOut = 0x1122334455667788LL;
    PatcherEventQueue_QueueStatus(queue, "pkg", &status);
    PatcherDownloadStatus download;
    PatcherDownloadStatus_Init(&download);
    download.PieceLength = 0x4000;
    PatcherEventQueue_QueueDownloadStatus(queue, "dl", &download);
    int used = 0;
    int capacity = 0;
    PatcherEventQueue_GetPendingSize(queue, &used, &capacity);
    EXPECT_EQ(used, (4 + 320 + 264) + (4 + 320 + 80));
    EXPECT_EQ(capacity, 2048);

    // Fixed offsets inside the records, as the front end reads them.
    EXPECT_EQ(offsetof(PatcherPackageStatus, TargetVersion), 168u);
    EXPECT_EQ(offsetof(PatcherPackageStatus, PackageType), 176u);
    EXPECT_EQ(offsetof(PatcherPackageStatus, DownloadFilesSize), 184u);
    EXPECT_EQ(offsetof(PatcherPackageStatus, PeakRate), 224u);
    EXPECT_EQ(offsetof(PatcherPackageStatus, BytesOut), 256u);
    EXPECT_EQ(offsetof(PatcherStateChangeRecord, Status), 16u);
    EXPECT_EQ(offsetof(PatcherPackageListStatusRecord, ListState), 640u);
    EXPECT_EQ(offsetof(PatcherPackageListStatusRecord, Status), 648u);
    EXPECT_EQ(offsetof(PatcherDownloadStatus, PeakRate), 24u);
    EXPECT_EQ(offsetof(PatcherDownloadStatus, PiecesChecked), 64u);
    EXPECT_EQ(offsetof(PatcherVersionCheckRecord, TargetVersion), 168u);
    EXPECT_EQ(status.State, 1);
    EXPECT_EQ(status.DownloadActive, 1);
    EXPECT_EQ(download.State, 1);
    EXPECT_EQ(download.Active, 1);

    PatcherEventQueue_ProcessEvents(queue);
    ASSERT_EQ(seen.records.size(), 2u);
    EXPECT_EQ(seen.records[0], Bytes(status));
    EXPECT_EQ(seen.records[1], Bytes(download));
}

TEST_F(EventQueueTest, GrowsInSteps) {
    std::vector<char> zeros(4096, 0); // 1024 PERFORMRESTART type words
    PatcherEventQueue_Lock(queue);
    PatcherEventQueue_QueueBytes(queue, zeros.data(), 4096);
    PatcherEventQueue_Unlock(queue);
    int used = 0;
    int capacity = 0;
    PatcherEventQueue_GetPendingSize(queue, &used, &capacity);
    EXPECT_EQ(used, 4096);
    EXPECT_EQ(capacity, 4096);
    PatcherEventQueue_Lock(queue);
    PatcherEventQueue_QueueBytes(queue, zeros.data(), 1);
    PatcherEventQueue_QueueBytes(queue, zeros.data(), 3); // the rest of one more type word
    PatcherEventQueue_Unlock(queue);
    PatcherEventQueue_GetPendingSize(queue, &used, &capacity);
    EXPECT_EQ(used, 4100);
    EXPECT_EQ(capacity, 6144);

    PatcherEventQueue_ProcessEvents(queue);
    EXPECT_EQ(seen.calls.size(), 1025u);
    // The swapped-out buffer comes back empty with its memory kept.
    PatcherEventQueue_QueuePerformRestart(queue);
    PatcherEventQueue_ProcessEvents(queue);
    PatcherEventQueue_GetPendingSize(queue, &used, &capacity);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(capacity, 6144);
}

// Each producer's events arrive in its own order, whatever the interleaving.
TEST_F(EventQueueTest, ProducersOnSeveralThreadsKeepTheirOrder) {
    const int kThreads = 4;
    const int kEach = 2000;
    std::vector<std::thread> producers;
    producers.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([this, t] {
            PatcherPackageStatus status;
            PatcherPackageStatus_Init(&status);
            std::string name = "p" + std::to_string(t);
            for (int i = 0; i < kEach; ++i) {
                status.TargetVersion = i;
                PatcherEventQueue_QueueStatus(queue, name.c_str(), &status);
            }
        });
    std::vector<int> next(kThreads, 0);
    int total = 0;
    bool inOrder = true;
    auto drain = [&] {
        PatcherEventQueue_ProcessEvents(queue);
        for (size_t i = 0; i < seen.calls.size(); ++i) {
            int thread = seen.calls[i][8] - '0'; // "status p<t>"
            PatcherPackageStatus status;
            memcpy(&status, seen.records[i].data(), sizeof(status));
            inOrder = inOrder && status.TargetVersion == next[thread];
            ++next[thread];
            ++total;
        }
        seen.calls.clear();
        seen.records.clear();
    };
    while (total < kThreads * kEach / 2)
        drain(); // deliver while the producers still run
    for (std::thread &producer : producers)
        producer.join();
    drain();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(total, kThreads * kEach);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kEach);
}

TEST_F(EventQueueTest, ReentrantProcessGetsOneAndNothingTwice) {
    seen.queue = queue;
    PatcherPackageStatus status;
    PatcherPackageStatus_Init(&status);
    PatcherEventQueue_QueueStatus(queue, "one", &status);
    PatcherEventQueue_QueueStatus(queue, "two", &status);
    EXPECT_EQ(PatcherEventQueue_ProcessEvents(queue), 1);
    EXPECT_EQ(seen.reentered, 1);
    EXPECT_EQ(Calls(), "status one\nstatus two\n");
    seen.queue = nullptr;
    EXPECT_EQ(PatcherEventQueue_ProcessEvents(queue), 1);
    EXPECT_EQ(Calls(), "status one\nstatus two\n");
}

TEST_F(EventQueueTest, LogLevelsAndMessageTexts) {
    struct Case {
        int level;
        const char *delivered; // null: nothing queued
    } cases[] = {
        {PATCHER_LOG_WARNING, "log [WARNING] w 5"},
        {PATCHER_LOG_INFO, "log [INFO] w 5"},
        {2, nullptr},
        {-1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        seen.calls.clear();
        testsupport::ClearAlerts();
        EXPECT_EQ(Patcher_Log(c.level, "w %d", 5), 1);
        PatcherEventQueue_ProcessEvents(queue);
        EXPECT_EQ(Calls(true), c.delivered ? std::string(c.delivered) + "\n" : "");
        EXPECT_EQ(testsupport::Count(testsupport::CapturedAlerts(), "Invalid log message found"),
                  c.delivered ? 0 : 2)
            << testsupport::AlertText();
    }
    // An error's text is an argument: its percent signs are never expanded.
    seen.calls.clear();
    Patcher_ReportError(7, "%s", "50% of %n");
    PatcherEventQueue_ProcessEvents(queue);
    EXPECT_EQ(Calls(true), "error 7 [ERROR] 50% of %n\n");
}

TEST_F(EventQueueTest, EmptySlotsConsumeTheirEvents) {
    PatcherEventQueue_ClearCallbacks(queue);
    slots->PackageListStatus = nullptr;
    slots->Maintenance = nullptr;
    slots->DownloadStatus = nullptr;
    slots->Item = nullptr;
    PatcherStateChangeRecord change = {};
    PatcherPackageStatus status = {};
    PatcherPackageListStatusRecord list = {};
    PatcherMaintenanceRecord maintenance = {};
    PatcherDownloadStatus download = {};
    PatcherEventQueue_QueuePerformRestart(queue);
    PatcherEventQueue_QueueStateChange(queue, "a", &change);
    PatcherEventQueue_QueueStatus(queue, "a", &status);
    PatcherEventQueue_QueueError(queue, 1, "e");
    PatcherEventQueue_QueuePackageListStatus(queue, &list);
    PatcherEventQueue_QueueMaintenance(queue, "a", &maintenance);
    PatcherEventQueue_QueueDownloadStatus(queue, "a", &download);
    PatcherEventQueue_QueueItem(queue, nullptr, 0);
    PatcherEventQueue_ProcessEvents(queue);
    EXPECT_EQ(seen.calls.size(), 0u);
    // The stream was consumed: a later event is delivered alone.
    slots->Item = OnItem;
    PatcherEventQueue_QueueItem(queue, "xy", 2);
    PatcherEventQueue_ProcessEvents(queue);
    EXPECT_EQ(Calls(), "item 2\n");
}

TEST_F(EventQueueTest, PendingBufferPastOneMebibyteIsDroppedAtTheNextTick) {
    PatcherPackageStatus status;
    PatcherPackageStatus_Init(&status);
    int used = 0;
    int capacity = 0;
    PatcherEventQueue_Trim(queue); // nothing pending: nothing happens
    while (capacity <= PATCHER_EVENT_PENDING_LIMIT) {
        PatcherEventQueue_QueueStatus(queue, "lost", &status);
        PatcherEventQueue_GetPendingSize(queue, &used, &capacity);
    }
    PatcherEventQueue_Trim(queue);
    EXPECT_TRUE(testsupport::AlertSeen("Patcher_ProcessEvents() called too rarely.  Arg buffer "
                                       "has grown too large and has been discarded."));
    PatcherEventQueue_GetPendingSize(queue, &used, &capacity);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(capacity, 0);
    PatcherEventQueue_QueueStatus(queue, "kept", &status);
    PatcherEventQueue_ProcessEvents(queue);
    EXPECT_EQ(Calls(), "status kept\n");
}

using EventQueueDeathTest = EventQueueTest;

TEST_F(EventQueueDeathTest, TypeOutsideTheTableIsFatal) {
    for (int32_t type : {8, 10, 255}) {
        SCOPED_TRACE(type);
        EXPECT_DEATH(
            {
                PatcherEventQueue_Lock(queue);
                PatcherEventQueue_QueueInt(queue, type);
                PatcherEventQueue_Unlock(queue);
                PatcherEventQueue_ProcessEvents(queue);
            },
            "Assertion failed \\(FALSE\\)\nMessage dispatch error");
    }
    // A record cut short by the end of the stream.
    EXPECT_DEATH(
        {
            PatcherEventQueue_Lock(queue);
            PatcherEventQueue_QueueInt(queue, PATCHER_EVENT_STATUS);
            PatcherEventQueue_QueueName(queue, "short");
            PatcherEventQueue_Unlock(queue);
            PatcherEventQueue_ProcessEvents(queue);
        },
        "Message dispatch error");
}

// Consent questions: the slot's answer is written through the pointer; without
// a slot the default stays.
int AskVersion(const char *, void *, int32_t *target, PatcherVersionCheckRecord record) {
    *target = record.CurrentVersion;
    return 1;
}
int AskRestart(const char *, void *, int32_t *allow) {
    *allow = 0;
    return 1;
}
int AskProcess(const char *name, void *, int32_t *hold, PatcherProcessRequest request) {
    *hold = std::string(name) == request.OutputPath ? 1 : 2;
    return 1;
}

TEST(PatcherCallbacksTest, ConsentQuestionsAnswerThroughTheirPointers) {
    PatcherCallbacks callbacks = {};
    PatcherVersionCheckRecord version = {};
    version.CurrentVersion = 3;
    PatcherProcessRequest request = {};
    strcpy(request.OutputPath, "pkg");
    int32_t target = 9;
    int32_t allow = 1;
    int32_t hold = 0;
    PatcherCallbacks_CallVersionCheck(&callbacks, "pkg", &target, &version);
    PatcherCallbacks_CallAllowRestart(&callbacks, "pkg", &allow);
    PatcherCallbacks_CallPreProcess(&callbacks, "pkg", &hold, &request);
    EXPECT_EQ(target, 9);
    EXPECT_EQ(allow, 1);
    EXPECT_EQ(hold, 0);
    EXPECT_EQ(PatcherCallbacks_CallClientSettings(&callbacks,
                                                  reinterpret_cast<PatcherClientSettings *>(&hold)),
              0);

    callbacks.VersionCheck = AskVersion;
    callbacks.AllowRestart = AskRestart;
    callbacks.PreProcess = AskProcess;
    callbacks.PostProcess = AskProcess;
    EXPECT_EQ(PatcherCallbacks_CallVersionCheck(&callbacks, "pkg", &target, &version), 1);
    EXPECT_EQ(PatcherCallbacks_CallAllowRestart(&callbacks, "pkg", &allow), 1);
    EXPECT_EQ(PatcherCallbacks_CallPreProcess(&callbacks, "pkg", &hold, &request), 1);
    EXPECT_EQ(target, 3);
    EXPECT_EQ(allow, 0);
    EXPECT_EQ(hold, 1);
    EXPECT_EQ(PatcherCallbacks_CallPostProcess(&callbacks, "other", &hold, &request), 1);
    EXPECT_EQ(hold, 2);
    EXPECT_DEATH(PatcherCallbacks_CallAllowRestart(&callbacks, "pkg", nullptr), "Pointer is NULL");
}

TEST(PatcherNamesTest, NameFunctions) {
    char name[320];
    struct Case {
        int (*get)(char *, int);
        int value;
        const char *expected;
        int result;
    } cases[] = {
        {Patcher_GetStateName, 0, "PATCHER_STATE_INVALID", 0},
        {Patcher_GetStateName, 1, "PATCHER_STATE_IDLE", 1},
        {Patcher_GetStateName, 12, "PATCHER_STATE_ALLTASKSCOMPLETE", 1},
        {Patcher_GetStateName, 13, "PATCHER_STATE_FAILED", 1},
        {Patcher_GetStateName, 14, "PATCHER_STATE_INVALID", 0},
        {Patcher_GetEventName, 0, "PATCHER_EVENT_PERFORMRESTART", 1},
        {Patcher_GetEventName, 7, "PATCHER_EVENT_DOWNLOADSTATUS", 1},
        {Patcher_GetEventName, 8, "PATCHER_EVENT_INVALID", 1},
        {Patcher_GetEventName, 9, "PATCHER_EVENT_ITEM", 1},
        {Patcher_GetEventName, 10, "PATCHER_EVENT_INVALID", 1},
        {Patcher_GetEventName, -1, "PATCHER_EVENT_INVALID", 1},
        {Patcher_GetPackageTypeName, 0, "PACKAGE_TYPE_INVALID", 0},
        {Patcher_GetPackageTypeName, 5, "PACKAGE_TYPE_MAINTENANCE", 1},
        {Patcher_GetPackageTypeName, 6, "PACKAGE_TYPE_INVALID", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected + std::string(" ") + std::to_string(c.value));
        memset(name, 'x', sizeof(name));
        EXPECT_EQ(c.get(name, c.value), c.result);
        EXPECT_STREQ(name, c.expected);
    }
    EXPECT_EQ(Patcher_GetDownloadStateName(name, sizeof(name), 5), 1);
    EXPECT_STREQ(name, "PATCHER_DOWNLOAD_STATE_FAILED");
    EXPECT_EQ(Patcher_GetDownloadStateName(name, sizeof(name), 6), 0);
    EXPECT_STREQ(name, "PATCHER_DOWNLOAD_STATE_INVALID");
    // The caller's size bounds the copy.
    EXPECT_EQ(Patcher_GetDownloadStateName(name, 12, 1), 1);
    EXPECT_STREQ(name, "PATCHER_DOW");
}

TEST(BufferLogTest, LinesAppendAndAStaleFileIsReplaced) {
    testsupport::EnsureAlertLog();
    testsupport::TempDir dir;
    std::string path = dir / "patcher_lib.log";
    testsupport::WriteFile(path, "old run\n");
    BufferLogStruct *log = nullptr;
    ASSERT_EQ(BufferLog_Create(&log, path.c_str()), 1);
    EXPECT_EQ(testsupport::ReadFile(path), "");
    EXPECT_EQ(BufferLog_Printf(log, "%s %d", "one", 1), 1);
    EXPECT_EQ(BufferLog_Write(log, "two\n"), 1);
    EXPECT_EQ(testsupport::ReadFile(path), "one 1\ntwo\n");

    // Queued messages are written as "<stamp> <text>" lines.
    PatcherEventQueue *queue = nullptr;
    PatcherEventQueue_Create(&queue);
    PatcherEventQueue_SetBufferLog(queue, log);
    PatcherEventQueue_QueueError(queue, 3, "broken");
    std::string text = testsupport::ReadFile(path);
    EXPECT_EQ(text.size(), std::string("one 1\ntwo\n").size() + 16 + 16) << text;
    EXPECT_NE(text.find(" [ERROR] broken\n"), std::string::npos) << text;
    PatcherEventQueue_Destroy(&queue);
    BufferLog_Destroy(&log);
    EXPECT_EQ(log, nullptr);

    // A path below a plain file cannot be opened: reported once, lines dropped.
    testsupport::CaptureAlerts();
    testsupport::WriteFile(dir / "plain", "x");
    std::string missing = dir / "plain/patcher_lib.log";
    ASSERT_EQ(BufferLog_Create(&log, missing.c_str()), 1);
    EXPECT_TRUE(testsupport::AlertSeen("Unable to open buffer log file [" + missing + "]"))
        << testsupport::AlertText();
    testsupport::StopAlertCapture();
    EXPECT_EQ(BufferLog_Printf(log, "dropped"), 0);
    BufferLog_Destroy(&log);
}

} // namespace
