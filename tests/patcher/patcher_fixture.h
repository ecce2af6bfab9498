// A Patcher on the scripted download client for one test, in a home of its own
// (registry store, state folder, "patcher_lib.log" in a temporary folder), with
// the front end's LOG, ERROR and DOWNLOADSTATUS callbacks recorded. The debug
// switch "DebugOutput" is set so that the core log keeps formatting messages for
// the other tests' console captures; the log flags are restored at the end.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/registry.h"
#include "core/zyl.h"
#include "patcher/patcher.h"
#include "patcher/patcherlog.h"
#include "patcher/scriptedclient.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace patchertest {

constexpr const char *kRegistryPath = "Software\\Vexil\\PatcherTest";

// Sets environment variables for the life of the object and restores them after.
class ScopedEnvironment {
  public:
    void Set(const char *name, const std::string &value) {
        const char *old = getenv(name);
        saved_.emplace_back(name, old != nullptr ? std::make_pair(true, std::string(old))
                                                 : std::make_pair(false, std::string()));
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second.first)
                setenv(it->first.c_str(), it->second.second.c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

// What the front end's callbacks saw; they run on the test's thread inside
// Patcher_ProcessEvents.
struct FrontEnd {
    std::vector<std::pair<int, std::string>> logs; // (0 log, code of an error; text)
    std::vector<std::pair<std::string, PatcherDownloadStatus>> downloads;
    int settingsCalls = 0;

    static int OnLog(void *user, const char *, const char *text) {
        static_cast<FrontEnd *>(user)->logs.emplace_back(-1, text);
        return 1;
    }
    static int OnError(void *user, int32_t code, const char *, const char *text) {
        static_cast<FrontEnd *>(user)->logs.emplace_back(code, text);
        return 1;
    }
    static int OnDownloadStatus(const char *name, void *user, PatcherDownloadStatus status) {
        static_cast<FrontEnd *>(user)->downloads.emplace_back(name, status);
        return 1;
    }
    static int OnSettings(void *user, PatcherClientSettings *settings) {
        auto *front = static_cast<FrontEnd *>(user);
        front->settingsCalls++;
        return settings->AdvertisementUrl[0][0] == 'h' ? 7 : 1;
    }
    int CountLog(const std::string &text) const {
        int count = 0;
        for (const auto &line : logs)
            count += line.second == text;
        return count;
    }
    std::string DumpLogs() const {
        std::string text;
        for (const auto &line : logs)
            text += std::to_string(line.first) + ": " + line.second + "\n";
        return text;
    }
};

// Writes an int32 value under the test's key in the machine root.
inline void SetDebugValue(const char *name, int32_t value) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, kRegistryPath));
    ASSERT_EQ(1, Registry_SetInt32(key, name, value));
    Registry_CloseKey(&key);
}

class PatcherFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char path[ZYL_LOG_BUFFER_SIZE];
        Zyl_GetLogOptions(path, sizeof(path), &logFlags_);
        environment_.Set("HOME", dir_.path());
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        SetDebugValue("DebugOutput", 1);
        Notification_Initialize();
        ScriptedClient_ResetCounts();
        PatcherClient_SetOperations(&ScriptedClient_Operations);
        Patcher_SetLogFolder(dir_.path().c_str());
        ASSERT_EQ(1, Patcher_Create(&patcher, kRegistryPath, "", nullptr));
        Patcher_GetClient(patcher, &client);
        Patcher_SetUserData(patcher, &front);
        Patcher_SetLogCallback(patcher, FrontEnd::OnLog);
        Patcher_SetErrorCallback(patcher, FrontEnd::OnError);
        Patcher_SetDownloadStatusCallback(patcher, FrontEnd::OnDownloadStatus);
        Patcher_SetClientSettingsCallback(patcher, FrontEnd::OnSettings);
    }
    void TearDown() override {
        Patcher_Destroy(&patcher);
        PatcherClient_SetOperations(nullptr);
        Patcher_SetLogFolder(nullptr);
        Notification_Shutdown();
        testsupport::StopAlertCapture();
        Zyl_SetLogOptions(nullptr, logFlags_);
    }
    // Delivers what was queued so far.
    void Drain() { ASSERT_EQ(1, Patcher_ProcessEvents(patcher)); }

    testsupport::TempDir dir_;
    ScopedEnvironment environment_;
    int logFlags_ = 0;
    Patcher *patcher = nullptr;
    PatcherClient *client = nullptr;
    FrontEnd front;
};

} // namespace patchertest
