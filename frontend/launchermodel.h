// The front end's controller: owns the configuration and the user settings,
// starts and stops the patch engine through the LauncherLib functions, turns
// the engine's callbacks into page-function calls, decides what is updated
// first (the launcher's own package, then the configured target), starts the
// game and closes the program when an update or an error asks for it. All of it
// runs on the UI thread; docs/frontend.md gives the rules.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "frontend/config.h"
#include "frontend/hostlink.h"
#include "frontend/settings.h"
#include "patcher/patcherclient.h"
#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

class ILauncherView;
class InteropLibrary;
class ScriptFacade;

enum {
    MODEL_PATH_SIZE = 320,
    MODEL_MACRO_TEXT_SIZE = 4096, // ExpandMacros works in a buffer of this size
    MODEL_LOG_LINES_MAX = 10000,  // the newest log lines kept
    MODEL_ERROR_NO_PAGE = 2,      // the initial page address is missing
    MODEL_ERROR_PLAY = 11,        // the game could not be started
};

class CLauncherModel {
  public:
    CLauncherModel();
    virtual ~CLauncherModel();
    CLauncherModel(const CLauncherModel &) = delete;
    CLauncherModel &operator=(const CLauncherModel &) = delete;

    // Start-up with the view: platform objects, working directory, the two
    // files, the engine and its callbacks. 1 on success; 0 when the
    // configuration cannot be read (the view then shows its start-up error).
    virtual int Initialize(ILauncherView *view);
    // Adds the launcher's package, or the target at once without one. Returns 1.
    virtual int Start();
    // Writes the user settings (when initialised). Returns 1.
    virtual int Shutdown();

    // The engine's callbacks, on the UI thread inside LauncherLib_ProcessEvents.
    virtual int OnPackageStateChange(const char *name, const PatcherStateChangeRecord &record);
    virtual int OnPackageUpdateAvailable(const char *name, int32_t *targetVersion,
                                         const PatcherVersionCheckRecord &record);
    virtual int OnPackageAllowRestart(const char *name, int32_t *allow);
    virtual int OnPackagePerformRestart();
    virtual int OnPackagePreProcess(const char *name, int32_t *hold,
                                    const PatcherProcessRequest &request);
    virtual int OnPackagePostProcess(const char *name, int32_t *hold,
                                     const PatcherProcessRequest &request);
    virtual int OnLog(const char *stamp, const char *text);
    virtual int OnError(int32_t code, const char *stamp, const char *text);
    virtual int OnFatalError(int32_t code, const char *stamp, const char *text);
    virtual int OnPackageStatus(const char *name, const PatcherPackageStatus &status);
    virtual int OnPackageListStatus(const PatcherPackageListStatusRecord &record);
    virtual int OnPackageMaintenance(const char *name, const PatcherMaintenanceRecord &record);
    virtual int OnDownloadStatus(const char *name, const PatcherDownloadStatus &status);
    // The download client's thread, with the client's mutex held.
    virtual int OnServerInfo(const PatcherClientSettings &settings);

    virtual ILauncherView *GetView() { return View; }
    virtual const CConfig &GetConfig() { return Config; }
    virtual const CSettings &GetSettings() { return Settings; }
    // Takes the page's settings and hands the options to the engine. Returns 1.
    virtual int SetSettings(const CSettings &settings);
    // A copy of the log lines ("stamp text"), oldest first.
    virtual std::vector<std::string> GetLogLines();
    virtual int IsDownloadPaused();
    virtual int ToggleDownloadActive();

    virtual int CreatePlatformObjects() = 0;
    virtual int Play() = 0;
    virtual int GetWorkingDirectory(char *buffer, int size) = 0;
    virtual int SetCurrentDirectory(const char *path) = 0;
    virtual int OpenExternalUrl(const char *text) = 0;
    virtual int LaunchProcess(const char *commandLine, int show) = 0;
    virtual int RegisterCallbacks();
    virtual int UnregisterCallbacks();
    // Stops the engine's reports and asks the view to end. Returns 1.
    virtual int Close();
    // Once a second: drains the engine's events. 1; 0 after Close or once the
    // engine is gone.
    virtual int Tick();

    void AddMacro(const char *key, const char *value);
    // Replaces every key by its value, pair by pair, in text (4096 bytes).
    int ExpandMacros(char *text);
    int LoadFiles();
    int FillPatcherOptions(PatcherOptions *options);
    int FillPackageOptions(PackageOptions *options);
    int StartTarget();
    int StopTarget();

    // 1 while page calls may reach the engine: initialised, engine running and
    // no close requested.
    int IsEngineRunning() const;
    int IsClosing() const { return Closing; }
    int IsTargetStarted() const { return TargetStarted; }
    // Whether the restart of the package name (the launcher's own) is held at
    // now (seconds since the epoch): the self-updater recorded a failure of the
    // release under way less than UPDATERHOLD_PAUSE seconds before. Logs once
    // when a hold begins and once when it ends. 1 when held.
    int IsRestartHeld(const char *name, int64_t now);
    const PatcherPackageListStatusRecord &GetPackageListStatus() const { return ListStatus; }
    std::vector<std::string> GetClientInformation();

  protected:
    ILauncherView *View = nullptr; // not owned
    int32_t Initialized = 0;
    int32_t TargetStarted = 0;
    CConfig Config;
    CSettings Settings;
    std::deque<std::string> LogLines;
    std::vector<std::pair<std::string, std::string>> Macros;
    std::mutex ClientInformationLock; // OnServerInfo runs on the client's thread
    std::vector<std::string> ClientInformation;
    PatcherPackageListStatusRecord ListStatus;
    int32_t EngineStarted = 0; // LauncherLib_Initialize succeeded and no shutdown yet
    int32_t Closing = 0;
    int64_t HeldSince = 0; // the failure time of the hold last logged; 0: none
};

class CLauncherModelScriptable : public CLauncherModel {
  public:
    CLauncherModelScriptable() {}
    ~CLauncherModelScriptable() override;

    int Initialize(ILauncherView *view) override;
    int OnPackageUpdateAvailable(const char *name, int32_t *targetVersion,
                                 const PatcherVersionCheckRecord &record) override;
    int OnPackageAllowRestart(const char *name, int32_t *allow) override;
    int OnPackagePerformRestart() override;
    int OnLog(const char *stamp, const char *text) override;
    int OnError(int32_t code, const char *stamp, const char *text) override;
    int OnFatalError(int32_t code, const char *stamp, const char *text) override;
    int OnPackageStatus(const char *name, const PatcherPackageStatus &status) override;
    int OnPackageListStatus(const PatcherPackageListStatusRecord &record) override;
    int OnPackageMaintenance(const char *name, const PatcherMaintenanceRecord &record) override;
    int OnDownloadStatus(const char *name, const PatcherDownloadStatus &status) override;
    int SetSettings(const CSettings &settings) override;

    virtual int OnDocumentComplete();
    virtual int ReportPackageStatus(const char *name, const PatcherPackageStatus &status);
    virtual int ReportPackageListStatus(const PatcherPackageListStatusRecord &record);
    virtual int ReportDownloadStatus(const char *name, const PatcherDownloadStatus &status);
    // Offers a page call to the outside library: 1 when it handled it.
    virtual int SendInteropEvent(const ScriptEvent *event);
    // The outside library calls a page function. Returns 1.
    virtual int OnInteropEvent(const char *name, const ScriptArgument *arguments, int count);

    ScriptFacade *GetScriptFacade() { return Facade; }
    InteropLibrary *GetInteropLibrary() { return Interop; }

  protected:
    ScriptFacade *Facade = nullptr;    // owned, may be null
    InteropLibrary *Interop = nullptr; // owned, may be null
};
