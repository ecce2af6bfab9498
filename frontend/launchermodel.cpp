// The launcher model's engine half (CLauncherModel) and its page half
// (CLauncherModelScriptable): start-up, the callback trampolines, the events
// and what each tells the page.
#include "frontend/launchermodel.h"

#include "core/alert.h"
#include "core/strhlpr.h"
#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/interoplibrary.h"
#include "frontend/launcherview.h"
#include "frontend/scriptfacade.h"
#include "patcher/launcherlib.h"
#include "patcher/updaterhold.h"

#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------
// Callback trampolines: user data is the model. The engine asks its consent
// questions with its API mutex free, so the page may call any command from them.
// ---------------------------------------------------------------------------

struct CLauncherModelTrampolines {
    static CLauncherModel *Of(void *userData) { return static_cast<CLauncherModel *>(userData); }

    static int StateChange(const char *name, void *userData, PatcherStateChangeRecord record) {
        return userData ? Of(userData)->OnPackageStateChange(name, record) : 0;
    }
    static int VersionCheck(const char *name, void *userData, int32_t *targetVersion,
                            PatcherVersionCheckRecord record) {
        return userData ? Of(userData)->OnPackageUpdateAvailable(name, targetVersion, record) : 0;
    }
    static int AllowRestart(const char *name, void *userData, int32_t *allow) {
        return userData ? Of(userData)->OnPackageAllowRestart(name, allow) : 0;
    }
    static int PerformRestart(void *userData) {
        return userData ? Of(userData)->OnPackagePerformRestart() : 0;
    }
    static int PreProcess(const char *name, void *userData, int32_t *hold,
                          PatcherProcessRequest request) {
        return userData ? Of(userData)->OnPackagePreProcess(name, hold, request) : 0;
    }
    static int PostProcess(const char *name, void *userData, int32_t *hold,
                           PatcherProcessRequest request) {
        return userData ? Of(userData)->OnPackagePostProcess(name, hold, request) : 0;
    }
    static int Log(void *userData, const char *stamp, const char *text) {
        return userData ? Of(userData)->OnLog(stamp, text) : 0;
    }
    static int Error(void *userData, int32_t code, const char *stamp, const char *text) {
        return userData ? Of(userData)->OnError(code, stamp, text) : 0;
    }
    static int Status(const char *name, void *userData, PatcherPackageStatus status) {
        return userData ? Of(userData)->OnPackageStatus(name, status) : 0;
    }
    static int ListStatus(void *userData, PatcherPackageListStatusRecord record) {
        return userData ? Of(userData)->OnPackageListStatus(record) : 0;
    }
    static int Maintenance(const char *name, void *userData, PatcherMaintenanceRecord record) {
        return userData ? Of(userData)->OnPackageMaintenance(name, record) : 0;
    }
    static int DownloadStatus(const char *name, void *userData, PatcherDownloadStatus status) {
        return userData ? Of(userData)->OnDownloadStatus(name, status) : 0;
    }
    static int ClientSettings(void *userData, PatcherClientSettings *settings) {
        return userData && settings ? Of(userData)->OnServerInfo(*settings) : 0;
    }
};

// ---------------------------------------------------------------------------
// CLauncherModel
// ---------------------------------------------------------------------------

CLauncherModel::CLauncherModel() {
    std::memset(&ListStatus, 0, sizeof(ListStatus));
    ListStatus.ListState = 1;
    ListStatus.Status.State = 1;
    ListStatus.Status.DownloadActive = 1;
}

CLauncherModel::~CLauncherModel() {
    if (Initialized == 1 && EngineStarted == 1) {
        LauncherLib_SetUserData(nullptr);
        EngineStarted = 0;
        LauncherLib_Shutdown();
    }
}

int CLauncherModel::Initialize(ILauncherView *view) {
    View = view;
    CreatePlatformObjects();
    char folder[MODEL_PATH_SIZE] = "";
    GetWorkingDirectory(folder, sizeof(folder));
    SetCurrentDirectory(folder);
    if (LoadFiles() != 1)
        return 0;
    PatcherOptions options;
    FillPatcherOptions(&options);
    if (LauncherLib_Initialize(Config.AppRegistryPath, &options, Config.GlobalSettingsUrl) == 1) {
        EngineStarted = 1;
        Alert_SetPrinter(Frontend_PrintAlert);
    }
    RegisterCallbacks();
    Initialized = 1;
    return 1;
}

int CLauncherModel::LoadFiles() {
    char folder[MODEL_PATH_SIZE] = "";
    GetWorkingDirectory(folder, sizeof(folder));
    std::string path = std::string(folder) + "launcher.config.xml";
    if (Config.Read(path.c_str()) != 1)
        return 0;
    path = std::string(folder) + "launcher.settings.xml";
    Settings.Read(path.c_str(), Config);
    Settings.Clamp(Config);
    return 1;
}

int CLauncherModel::Start() {
    if (IsEngineRunning() != 1)
        return 1;
    if (Config.Launcher.IsPresent()) {
        char folder[MODEL_PATH_SIZE] = "";
        GetWorkingDirectory(folder, sizeof(folder));
        PackageOptions options;
        FillPackageOptions(&options);
        LauncherLib_AddPackage(Config.Launcher.PackageName, Config.Launcher.Url, folder, &options);
        return 1;
    }
    StartTarget();
    return 1;
}

int CLauncherModel::Shutdown() {
    if (Initialized != 1)
        return 1;
    char folder[MODEL_PATH_SIZE] = "";
    GetWorkingDirectory(folder, sizeof(folder));
    std::string path = std::string(folder) + "launcher.settings.xml";
    Settings.Write(path.c_str());
    return 1;
}

int CLauncherModel::FillPatcherOptions(PatcherOptions *options) {
    LauncherLib_InitPatcherOptions(options);
    options->PortRangeFirst = Config.RandomPortMin;
    options->PortRangeLast = Config.RandomPortMax;
    options->TrafficShaping = Settings.RateLimitEnabled;
    options->OutgoingLimit = Settings.RateLimitUp;
    options->IncomingLimit = Settings.RateLimitDown;
    options->Firewall = Config.ConfigureFirewall;
    return 1;
}

int CLauncherModel::FillPackageOptions(PackageOptions *options) {
    LauncherLib_InitPackageOptions(options);
    options->PeerToPeer = Settings.P2PEnabled;
    options->Web = Settings.WebEnabled;
    return 1;
}

int CLauncherModel::StartTarget() {
    if (IsEngineRunning() != 1)
        return 0;
    PackageOptions options;
    FillPackageOptions(&options);
    const CUpdaterInfo &updater = Config.Updater;
    if (!updater.IsPresent())
        return 1;
    if (updater.Mode == CONFIG_MODE_PACKAGE_LIST)
        LauncherLib_AddPackageList(updater.Target, updater.Target, &options);
    else
        LauncherLib_AddDownload(updater.Target, updater.Target, updater.OutputPath,
                                updater.AuthorizationUrl, &options);
    TargetStarted = 1;
    return 1;
}

int CLauncherModel::StopTarget() {
    if (IsEngineRunning() != 1)
        return 0;
    if (Config.Updater.Mode == CONFIG_MODE_PACKAGE_LIST)
        LauncherLib_RemovePackageList(Config.Updater.Target);
    else
        LauncherLib_RemoveDownload(Config.Updater.Target);
    TargetStarted = 0;
    return 1;
}

int CLauncherModel::SetSettings(const CSettings &settings) {
    Settings.P2PEnabled = settings.P2PEnabled;
    Settings.WebEnabled = settings.WebEnabled;
    Settings.RateLimitEnabled = settings.RateLimitEnabled;
    Settings.RateLimitUp = settings.RateLimitUp;
    Settings.RateLimitDown = settings.RateLimitDown;
    Settings.EULAAccepted = settings.EULAAccepted;
    Settings.OptionalPatchDownload = settings.OptionalPatchDownload;
    if (IsEngineRunning() != 1)
        return 1;
    PatcherOptions patcherOptions;
    FillPatcherOptions(&patcherOptions);
    LauncherLib_SetPatcherOptions(&patcherOptions);
    if (TargetStarted == 1) {
        PackageOptions options;
        FillPackageOptions(&options);
        if (Config.Updater.Mode == CONFIG_MODE_PACKAGE_LIST)
            LauncherLib_SetPackageListOptions(Config.Updater.Target, &options);
        else
            LauncherLib_SetDownloadOptions(Config.Updater.Target, &options);
    }
    return 1;
}

std::vector<std::string> CLauncherModel::GetLogLines() {
    return std::vector<std::string>(LogLines.begin(), LogLines.end());
}

int CLauncherModel::IsDownloadPaused() {
    if (IsEngineRunning() != 1)
        return 0;
    int32_t active = 1;
    if (Config.Updater.Mode == CONFIG_MODE_DOWNLOAD) {
        if (LauncherLib_GetDownloadActive(Config.Updater.Target, &active) != 1)
            return 0;
    } else {
        if (ListStatus.Status.State != PATCHER_STATE_DOWNLOAD)
            return 0;
        if (LauncherLib_GetPackageActive(ListStatus.PackageName, &active) != 1)
            return 0;
    }
    return active == 0;
}

int CLauncherModel::ToggleDownloadActive() {
    if (IsEngineRunning() != 1)
        return 0;
    int32_t active = 0;
    if (Config.Updater.Mode == CONFIG_MODE_DOWNLOAD) {
        if (LauncherLib_GetDownloadActive(Config.Updater.Target, &active) != 1)
            return 0;
        return LauncherLib_SetDownloadActive(Config.Updater.Target, !active);
    }
    if (LauncherLib_GetPackageActive(ListStatus.PackageName, &active) != 1)
        return 0;
    return LauncherLib_SetPackageActive(ListStatus.PackageName, !active);
}

int CLauncherModel::RegisterCallbacks() {
    if (EngineStarted != 1)
        return 0;
    typedef CLauncherModelTrampolines T;
    LauncherLib_SetUserData(this);
    LauncherLib_SetStateChangeCallback(T::StateChange);
    LauncherLib_SetVersionCheckCallback(T::VersionCheck);
    LauncherLib_SetAllowRestartCallback(T::AllowRestart);
    LauncherLib_SetPerformRestartCallback(T::PerformRestart);
    LauncherLib_SetPreProcessCallback(T::PreProcess);
    LauncherLib_SetPostProcessCallback(T::PostProcess);
    LauncherLib_SetLogCallback(T::Log);
    LauncherLib_SetErrorCallback(T::Error);
    LauncherLib_SetStatusCallback(T::Status);
    LauncherLib_SetPackageListStatusCallback(T::ListStatus);
    LauncherLib_SetMaintenanceCallback(T::Maintenance);
    LauncherLib_SetDownloadStatusCallback(T::DownloadStatus);
    LauncherLib_SetClientSettingsCallback(T::ClientSettings);
    return 1;
}

int CLauncherModel::UnregisterCallbacks() {
    if (EngineStarted != 1)
        return 0;
    LauncherLib_SetStateChangeCallback(nullptr);
    LauncherLib_SetVersionCheckCallback(nullptr);
    LauncherLib_SetAllowRestartCallback(nullptr);
    LauncherLib_SetPerformRestartCallback(nullptr);
    LauncherLib_SetPreProcessCallback(nullptr);
    LauncherLib_SetPostProcessCallback(nullptr);
    LauncherLib_SetLogCallback(nullptr);
    LauncherLib_SetErrorCallback(nullptr);
    LauncherLib_SetStatusCallback(nullptr);
    LauncherLib_SetPackageListStatusCallback(nullptr);
    LauncherLib_SetMaintenanceCallback(nullptr);
    LauncherLib_SetDownloadStatusCallback(nullptr);
    LauncherLib_SetClientSettingsCallback(nullptr);
    return 1;
}

int CLauncherModel::Close() {
    // The engine stops when the model is destroyed, after the window's loop
    // has ended; never here, which may be inside an engine callback.
    Closing = 1;
    UnregisterCallbacks();
    if (View != nullptr)
        View->Close();
    return 1;
}

int CLauncherModel::Tick() {
    if (IsEngineRunning() != 1)
        return 0;
    LauncherLib_ProcessEvents();
    return 1;
}

int CLauncherModel::IsEngineRunning() const {
    return Initialized == 1 && EngineStarted == 1 && Closing == 0 &&
           LauncherLib_IsInitialized() == 1;
}

void CLauncherModel::AddMacro(const char *key, const char *value) {
    Macros.emplace_back(key, value);
}

int CLauncherModel::ExpandMacros(char *text) {
    for (const auto &macro : Macros)
        StrHlpr_ReplaceAll(text, macro.first.c_str(), macro.second.c_str(), MODEL_MACRO_TEXT_SIZE);
    return 1;
}

std::vector<std::string> CLauncherModel::GetClientInformation() {
    std::lock_guard<std::mutex> guard(ClientInformationLock);
    return ClientInformation;
}

int CLauncherModel::OnPackageStateChange(const char *name, const PatcherStateChangeRecord &record) {
    if (record.NewState == PATCHER_STATE_ALLTASKSCOMPLETE &&
        std::strcmp(name, Config.Launcher.PackageName) == 0 && Config.Launcher.IsPresent())
        StartTarget();
    return 1;
}

int CLauncherModel::OnPackageUpdateAvailable(const char *, int32_t *,
                                             const PatcherVersionCheckRecord &) {
    return 1; // the target version keeps what the engine offered
}

int CLauncherModel::OnPackageAllowRestart(const char *name, int32_t *allow) {
    // A release the self-updater failed to apply is not handed back to it at
    // once: that would restart the launcher, and it us, without end.
    *allow = IsRestartHeld(name, (int64_t)time(nullptr)) ? 0 : 1;
    return 1;
}

int CLauncherModel::IsRestartHeld(const char *name, int64_t now) {
    if (!Config.Launcher.IsPresent() || std::strcmp(name, Config.Launcher.PackageName) != 0)
        return 0;
    char folder[MODEL_PATH_SIZE] = "";
    GetWorkingDirectory(folder, sizeof(folder));
    std::string versionFile = std::string(folder) + name + ".version";
    int64_t left = 0;
    int64_t failedAt = 0;
    int held = UpdaterHold_IsHeld(versionFile.c_str(), now, UPDATERHOLD_PAUSE, &left, &failedAt);
    if (held && failedAt != HeldSince) {
        HeldSince = failedAt;
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "The self-update of [%s] failed %I64d s ago: its restart waits %I64d s "
                     "or for another release",
                     name, now - failedAt, left);
    } else if (!held && HeldSince != 0) {
        HeldSince = 0;
        Frontend_Log(FRONTEND_LOG_INFO, "The self-update of [%s] may restart again", name);
    }
    return held;
}

int CLauncherModel::OnPackagePerformRestart() {
    return Close();
}

int CLauncherModel::OnPackagePreProcess(const char *, int32_t *hold,
                                        const PatcherProcessRequest &) {
    *hold = 0;
    return 1;
}

int CLauncherModel::OnPackagePostProcess(const char *, int32_t *hold,
                                         const PatcherProcessRequest &) {
    *hold = 0;
    return 1;
}

int CLauncherModel::OnLog(const char *stamp, const char *text) {
    LogLines.push_back(std::string(stamp) + " " + text);
    while (LogLines.size() > MODEL_LOG_LINES_MAX)
        LogLines.pop_front();
    return 1;
}

int CLauncherModel::OnError(int32_t, const char *, const char *) {
    return 1;
}

int CLauncherModel::OnFatalError(int32_t, const char *, const char *) {
    return Close();
}

int CLauncherModel::OnPackageStatus(const char *, const PatcherPackageStatus &) {
    return 1;
}

int CLauncherModel::OnPackageListStatus(const PatcherPackageListStatusRecord &record) {
    ListStatus = record;
    return 1;
}

int CLauncherModel::OnPackageMaintenance(const char *, const PatcherMaintenanceRecord &) {
    return 1;
}

int CLauncherModel::OnDownloadStatus(const char *, const PatcherDownloadStatus &status) {
    if (status.State == PATCHER_DOWNLOAD_STATE_COMPLETE ||
        status.State == PATCHER_DOWNLOAD_STATE_FAILED)
        StopTarget();
    else if (status.State == 6)
        Close();
    return 1;
}

int CLauncherModel::OnServerInfo(const PatcherClientSettings &settings) {
    std::vector<std::string> texts;
    for (const char *url : settings.AdvertisementUrl) {
        char text[MODEL_MACRO_TEXT_SIZE];
        Zyl_StrCopy(text, url, sizeof(text));
        ExpandMacros(text);
        texts.emplace_back(text);
    }
    std::lock_guard<std::mutex> guard(ClientInformationLock);
    ClientInformation = texts;
    return 1;
}

// ---------------------------------------------------------------------------
// CLauncherModelScriptable
// ---------------------------------------------------------------------------

namespace {

ScriptArgument Text(const char *text) {
    ScriptArgument a{};
    a.Value.Text = text;
    a.Type = SCRIPT_VALUE_STRING;
    return a;
}
ScriptArgument Int(int32_t value) {
    ScriptArgument a{};
    a.Value.Int = value;
    a.Type = SCRIPT_VALUE_INT;
    return a;
}
ScriptArgument Bool(int32_t value) {
    ScriptArgument a{};
    a.Value.Bool = value == 1 ? 1 : 0;
    a.Type = SCRIPT_VALUE_BOOL;
    return a;
}
ScriptArgument Numeric(int64_t value) {
    ScriptArgument a{};
    a.Value.Numeric = value;
    a.Type = SCRIPT_VALUE_NUMERIC;
    return a;
}
ScriptArgument Double(double value) {
    ScriptArgument a{};
    a.Value.Double = value;
    a.Type = SCRIPT_VALUE_DOUBLE;
    return a;
}

// The 18 fields of a package status in page order, from arguments[0].
void StatusArguments(ScriptArgument *arguments, const PatcherPackageStatus &s) {
    ScriptArgument fields[18] = {Int(s.State),
                                 Text(s.CurrentName),
                                 Int(s.CurrentVersion),
                                 Text(s.TargetName),
                                 Int(s.TargetVersion),
                                 Int(s.PackageDescriptorType),
                                 Int(s.PackageType),
                                 Bool(s.DownloadActive),
                                 Numeric(s.DownloadFilesSize),
                                 Numeric(s.DownloadBytesLeft),
                                 Numeric(s.CheckedBytesLeft),
                                 Numeric(s.ExpansionDone),
                                 Numeric(s.ExpansionTotal),
                                 Double(s.PeakRate),
                                 Double(s.AverageRate),
                                 Double(s.CurrentRate),
                                 Numeric(s.BytesIn),
                                 Numeric(s.BytesOut)};
    for (int i = 0; i < 18; i++)
        arguments[i] = fields[i];
}

} // namespace

CLauncherModelScriptable::~CLauncherModelScriptable() {
    delete Facade;
    Facade = nullptr;
    if (Interop != nullptr)
        Interop->Remove();
    delete Interop;
    Interop = nullptr;
}

int CLauncherModelScriptable::Initialize(ILauncherView *view) {
    if (CLauncherModel::Initialize(view) != 1)
        return 0;
    if (Interop != nullptr)
        Interop->Init();
    if (Facade == nullptr)
        return 1;
    char url[MODEL_MACRO_TEXT_SIZE];
    Zyl_StrCopy(url, Config.LayoutUrl, sizeof(url));
    ExpandMacros(url);
    if (url[0] == 0) {
        if (LauncherLib_IsInitialized() == 1)
            LauncherLib_ReportError(MODEL_ERROR_NO_PAGE,
                                    "Initial BrowserControl url not specified");
        else
            Frontend_Log(FRONTEND_LOG_WARNING, "Initial BrowserControl url not specified");
        return 0;
    }
    Facade->Navigate(url, 0);
    return 1;
}

int CLauncherModelScriptable::OnPackageUpdateAvailable(const char *name, int32_t *targetVersion,
                                                       const PatcherVersionCheckRecord &record) {
    CLauncherModel::OnPackageUpdateAvailable(name, targetVersion, record);
    if (Facade == nullptr)
        return 1;
    ScriptArgument arguments[] = {Text(name),
                                  Int(record.PackageType),
                                  Text(record.CurrentName),
                                  Int(record.CurrentVersion),
                                  Text(record.TargetName),
                                  Int(record.TargetVersion)};
    ScriptResult result{};
    if (Facade->ExecuteWithResult("__Patcher_reportpackageUpdateAvailable", arguments, 6,
                                  &result) != 1)
        return 1; // no answer: the offered version stands
    if (result.Type == SCRIPT_VALUE_INT)
        *targetVersion = result.Value;
    else if (result.Value == 0)
        *targetVersion = 0; // false: not now
    return 1;
}

int CLauncherModelScriptable::OnPackageAllowRestart(const char *name, int32_t *allow) {
    CLauncherModel::OnPackageAllowRestart(name, allow);
    if (Facade == nullptr || *allow == 0)
        return 1; // held: the page is asked once the hold ends
    // Not before the page has loaded: its answer would be missing by chance,
    // not by choice. The engine asks again at the next tick.
    if (!Facade->HasCompletedDocument()) {
        *allow = 0;
        return 1;
    }
    ScriptArgument arguments[] = {Text(name)};
    ScriptResult result{};
    // An explicit false or 0 means "not yet": the engine asks again later.
    if (Facade->ExecuteWithResult("__Patcher_reportpackageAllowRestart", arguments, 1, &result) ==
            1 &&
        result.Value == 0)
        *allow = 0;
    return 1;
}

int CLauncherModelScriptable::OnPackagePerformRestart() {
    CLauncherModel::OnPackagePerformRestart();
    // Waited for: the program ends once the loop regains control, and a call
    // merely queued to the web process would be lost with it.
    if (Facade != nullptr) {
        ScriptResult result{};
        Facade->ExecuteWithResult("__Patcher_reportpackagePerformRestart", nullptr, 0, &result);
    }
    return 1;
}

int CLauncherModelScriptable::OnLog(const char *stamp, const char *text) {
    CLauncherModel::OnLog(stamp, text);
    if (Facade != nullptr) {
        ScriptArgument arguments[] = {Text(stamp), Text(text)};
        Facade->ExecuteNoResult("__Launcher_reportlauncherLog", arguments, 2);
    }
    return 1;
}

int CLauncherModelScriptable::OnError(int32_t code, const char *stamp, const char *text) {
    CLauncherModel::OnError(code, stamp, text);
    if (Facade != nullptr) {
        ScriptArgument arguments[] = {Int(code), Text(stamp), Text(text)};
        Facade->ExecuteNoResult("__Launcher_reportlauncherError", arguments, 3);
    }
    if (code != 1 && code != 4)
        Close();
    return 1;
}

int CLauncherModelScriptable::OnFatalError(int32_t code, const char *stamp, const char *text) {
    if (Facade != nullptr) {
        ScriptArgument arguments[] = {Int(code), Text(stamp), Text(text)};
        Facade->ExecuteNoResult("__Launcher_reportlauncherError", arguments, 3);
    }
    return CLauncherModel::OnFatalError(code, stamp, text);
}

int CLauncherModelScriptable::OnPackageStatus(const char *name,
                                              const PatcherPackageStatus &status) {
    CLauncherModel::OnPackageStatus(name, status);
    return ReportPackageStatus(name, status);
}

int CLauncherModelScriptable::OnPackageListStatus(const PatcherPackageListStatusRecord &record) {
    CLauncherModel::OnPackageListStatus(record);
    return ReportPackageListStatus(record);
}

int CLauncherModelScriptable::OnPackageMaintenance(const char *name,
                                                   const PatcherMaintenanceRecord &record) {
    CLauncherModel::OnPackageMaintenance(name, record);
    if (Facade == nullptr)
        return 1;
    ScriptArgument arguments[] = {Text(name), Text(record.MaintenanceUrl),
                                  Text(record.AdditionalInfo)};
    ScriptResult result{};
    if (Facade->ExecuteWithResult("__Patcher_reportpackageMaintenance", arguments, 3, &result) !=
            1 ||
        result.Value == 1)
        Facade->Navigate(record.MaintenanceUrl, 0);
    return 1;
}

int CLauncherModelScriptable::OnDownloadStatus(const char *name,
                                               const PatcherDownloadStatus &status) {
    CLauncherModel::OnDownloadStatus(name, status);
    return ReportDownloadStatus(name, status);
}

int CLauncherModelScriptable::SetSettings(const CSettings &settings) {
    CLauncherModel::SetSettings(settings);
    if (Facade != nullptr) {
        ScriptArgument arguments[] = {
            Bool(Settings.P2PEnabled), Bool(Settings.WebEnabled), Bool(Settings.RateLimitEnabled),
            Numeric(Settings.RateLimitUp), Numeric(Settings.RateLimitDown)};
        Facade->ExecuteNoResult("__Launcher_reportlauncherSettingsChanged", arguments, 5);
    }
    return 1;
}

int CLauncherModelScriptable::OnDocumentComplete() {
    return Facade != nullptr ? Facade->OnDocumentComplete() : 0;
}

int CLauncherModelScriptable::ReportPackageStatus(const char *name,
                                                  const PatcherPackageStatus &status) {
    if (Facade == nullptr)
        return 1;
    ScriptArgument arguments[19];
    arguments[0] = Text(name);
    StatusArguments(arguments + 1, status);
    Facade->ExecuteNoResult("__Patcher_reportpackageStatus", arguments, 19);
    return 1;
}

int CLauncherModelScriptable::ReportPackageListStatus(
    const PatcherPackageListStatusRecord &record) {
    if (Facade == nullptr)
        return 1;
    ScriptArgument arguments[21];
    arguments[0] = Text(record.ListName);
    arguments[1] = Text(record.PackageName);
    arguments[2] = Int(record.ListState);
    StatusArguments(arguments + 3, record.Status);
    Facade->ExecuteNoResult("__Patcher_reportpackageListStatus", arguments, 21);
    return 1;
}

int CLauncherModelScriptable::ReportDownloadStatus(const char *name,
                                                   const PatcherDownloadStatus &status) {
    if (Facade == nullptr)
        return 1;
    // In 64 bits, never below 0: the pieces checked may cover more than the files.
    int64_t checkedLeft =
        status.FilesSize - (int64_t)status.PiecesChecked * (int64_t)status.PieceLength;
    if (checkedLeft < 0)
        checkedLeft = 0;
    ScriptArgument arguments[] = {Text(name),
                                  Int(status.State),
                                  Int(status.Active),
                                  Numeric(status.FilesSize),
                                  Numeric(status.BytesLeft),
                                  Double(status.PeakRate),
                                  Double(status.AverageRate),
                                  Double(status.CurrentRate),
                                  Numeric(status.BytesIn),
                                  Numeric(status.BytesOut),
                                  Numeric(checkedLeft)};
    Facade->ExecuteNoResult("__Downloader_reportdownloadStatus", arguments, 11);
    return 1;
}

int CLauncherModelScriptable::SendInteropEvent(const ScriptEvent *event) {
    return Interop != nullptr ? Interop->SendEvent(event) : 0;
}

int CLauncherModelScriptable::OnInteropEvent(const char *name, const ScriptArgument *arguments,
                                             int count) {
    if (Facade != nullptr)
        Facade->ExecuteNoResult(name, arguments, count);
    return 1;
}
