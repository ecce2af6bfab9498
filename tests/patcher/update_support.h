// Shared parts of the update tests (package controller, package list, update
// task): ".package" and list documents, ".version" documents, a recorder of
// the front end's callbacks that answers the consent questions, a test clock
// for the tasks, and a driver that lets the scripted download client finish
// each download it is handed.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "patcher/packageversion.h"
#include "patcher/patcher.h"
#include "patcher/patchertask.h"
#include "patcher/scriptedclient.h"
#include "patcher/taskstatus.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/support/nginx_server.h"

namespace updatetest {

struct Release {
    int version;
    std::string extra = ""; // more children of "Release"
};

// A ".package" document: type word, releases, and more children of "Package".
inline std::string PackageDocument(const std::string &type, const std::vector<Release> &releases,
                                   const std::string &extra = "") {
    std::string text = "<?xml version=\"1.0\"?>\n<Package PatcherVersion=\"2.0.8.5\">\n"
                       "  <Type>" +
                       type + "</Type>\n  <PrependDirectory>0</PrependDirectory>\n" + extra;
    for (const Release &release : releases) {
        std::string v = std::to_string(release.version);
        text += "  <Release><Version>" + v + "</Version><Name>v" + v +
                "</Name><SkinSource>http://127.0.0.1:9/skin</SkinSource><MetaFile>game_" + v +
                ".torrent</MetaFile>" + release.extra + "</Release>\n";
    }
    return text + "</Package>\n";
}

// Writes a ".version" document: installed version (name "v<version>"), not in
// progress; or in progress with a task status made by fill.
inline void WriteVersion(const std::string &path, int version,
                         const std::function<void(PatcherTaskData *)> &fill = nullptr) {
    PatcherTaskStatus *status = nullptr;
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_Create(&status);
    PatcherTaskStatus_GetData(status, &data);
    data->CurrentVersion = version;
    Zyl_StrCopy(data->CurrentName, ("v" + std::to_string(version)).c_str(),
                PATCHER_SHORT_NAME_SIZE);
    if (fill)
        fill(data);
    PackageVersion *document = nullptr;
    PackageVersion_Create(&document);
    ASSERT_EQ(1, PackageVersion_SetFromTask(status, document, fill ? 1 : 0));
    ASSERT_EQ(1, PackageVersion_Save(document, path.c_str()));
    PackageVersion_Destroy(&document);
    PatcherTaskStatus_Destroy(&status);
}

inline int ReadInstalledVersion(const std::string &path, int32_t *inProgress = nullptr) {
    PackageVersion *document = nullptr;
    PackageVersion_Create(&document);
    int32_t version = -2;
    if (PackageVersion_LoadVersion(document, path.c_str()))
        PackageVersion_GetVersion(document, &version);
    if (inProgress != nullptr)
        PackageVersion_GetInProgress(document, inProgress);
    PackageVersion_Destroy(&document);
    return version;
}

struct StateChange {
    std::string name;
    PatcherStateChangeRecord record;
};

// The front end's side: records the events and answers the questions. Its
// callbacks run on the test's thread inside Patcher_ProcessEvents.
struct Recorder {
    std::vector<StateChange> changes;
    std::vector<std::pair<std::string, PatcherPackageStatus>> statuses;
    std::vector<PatcherPackageListStatusRecord> lists;
    std::vector<std::pair<std::string, PatcherMaintenanceRecord>> maintenance;
    std::vector<PatcherVersionCheckRecord> offers;
    int performRestarts = 0;
    int preProcessCalls = 0;
    int postProcessCalls = 0;
    int allowRestartCalls = 0;
    // Answers.
    std::function<int32_t(const PatcherVersionCheckRecord &)> chooseTarget; // null: as offered
    int32_t preHold = 0;
    int32_t postHold = 0;
    int32_t allow = 1;
    std::function<void()> duringConsent; // run inside every consent callback

    static Recorder *current;

    static int OnStateChange(const char *name, void *, PatcherStateChangeRecord record) {
        current->changes.push_back({name, record});
        return 1;
    }
    static int OnStatus(const char *name, void *, PatcherPackageStatus status) {
        current->statuses.emplace_back(name, status);
        return 1;
    }
    static int OnVersionCheck(const char *, void *, int32_t *target,
                              PatcherVersionCheckRecord record) {
        current->offers.push_back(record);
        if (current->duringConsent)
            current->duringConsent();
        if (current->chooseTarget)
            *target = current->chooseTarget(record);
        return 1;
    }
    static int OnPreProcess(const char *, void *, int32_t *hold, PatcherProcessRequest) {
        current->preProcessCalls++;
        if (current->duringConsent)
            current->duringConsent();
        *hold = current->preHold;
        return 1;
    }
    static int OnPostProcess(const char *, void *, int32_t *hold, PatcherProcessRequest) {
        current->postProcessCalls++;
        *hold = current->postHold;
        return 1;
    }
    static int OnAllowRestart(const char *, void *, int32_t *allow) {
        current->allowRestartCalls++;
        *allow = current->allow;
        return 1;
    }
    static int OnPerformRestart(void *) {
        current->performRestarts++;
        return 1;
    }
    static int OnListStatus(void *, PatcherPackageListStatusRecord record) {
        current->lists.push_back(record);
        return 1;
    }
    static int OnMaintenance(const char *name, void *, PatcherMaintenanceRecord record) {
        current->maintenance.emplace_back(name, record);
        return 1;
    }

    void Install(Patcher *patcher) {
        current = this;
        Patcher_SetStateChangeCallback(patcher, OnStateChange);
        Patcher_SetStatusCallback(patcher, OnStatus);
        Patcher_SetVersionCheckCallback(patcher, OnVersionCheck);
        Patcher_SetPreProcessCallback(patcher, OnPreProcess);
        Patcher_SetPostProcessCallback(patcher, OnPostProcess);
        Patcher_SetAllowRestartCallback(patcher, OnAllowRestart);
        Patcher_SetPerformRestartCallback(patcher, OnPerformRestart);
        Patcher_SetPackageListStatusCallback(patcher, OnListStatus);
        Patcher_SetMaintenanceCallback(patcher, OnMaintenance);
    }

    // New states of the package's STATECHANGE events, in order.
    std::vector<int> States(const std::string &name) const {
        std::vector<int> states;
        for (const StateChange &change : changes)
            if (change.name == name)
                states.push_back(change.record.NewState);
        return states;
    }
    bool Saw(const std::string &name, int state) const {
        for (const StateChange &change : changes)
            if (change.name == name && change.record.NewState == state)
                return true;
        return false;
    }
    std::vector<int> ListStates() const {
        std::vector<int> states;
        for (const auto &record : lists)
            states.push_back(record.ListState);
        return states;
    }
};
inline Recorder *Recorder::current = nullptr;

// The tasks' clock: every reading is gStep seconds (1 unless a test changes
// it) after the previous one, so every countdown of a task expires on its next
// step.
inline std::atomic<int64_t> gTicks{0};
inline std::atomic<int64_t> gStep{1};
inline double SteppingClock() {
    return (double)gTicks.fetch_add(gStep.load());
}

// A Patcher with its recorder and the stepping task clock, and nginx serving
// the documents from its root.
class UpdateFixture : public patchertest::PatcherFixture {
  protected:
    void SetUp() override {
        PatcherTask_SetClock(SteppingClock);
        PatcherFixture::SetUp();
        recorder.Install(patcher);
        install_ = dir_ / "install/";
        std::filesystem::create_directories(install_);
    }
    void TearDown() override {
        PatcherFixture::TearDown();
        PatcherTask_SetClock(nullptr);
        gStep = 1;
        Recorder::current = nullptr;
    }
    void Serve(const std::string &name, const std::string &text) {
        testsupport::WriteFile(nginx_.root() + "/" + name, text);
    }
    std::string BaseUrl() const { return nginx_.url("/"); }
    std::string VersionPath(const std::string &name) const { return install_ + name + ".version"; }
    // Drains events and moves every download the client holds one state on
    // (SCAN, DOWNLOAD, COMPLETE) until done() or the time is up.
    bool RunUntil(const std::function<bool()> &done, int seconds = 20,
                  const std::vector<std::string> &downloads = {"game"}) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            Drain();
            if (done()) {
                // What was queued while the request step ran arrives with the next drain.
                Drain();
                return true;
            }
            for (const std::string &name : downloads) {
                ScriptedDownloadInfo info;
                if (ScriptedClient_GetDownload(client, name.c_str(), &info) == 1 && !info.Removed &&
                    info.Status.State < PATCHER_DOWNLOAD_STATE_COMPLETE && autoDownload)
                    ScriptedClient_SetState(client, name.c_str(), info.Status.State + 1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Drain();
        return done();
    }

    nettest::NginxServer nginx_;
    Recorder recorder;
    std::string install_;
    bool autoDownload = true;
};

} // namespace updatetest
