// The model's Linux services: working directory, process start with
// posix_spawn, the game watched through a pidfd at each tick, every other child
// reaped in the background, and xdg-open for external addresses.
#include "frontend/launchermodelgtk.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/interoplibrary.h"
#include "frontend/launcherview.h"
#include "frontend/scriptfacade.h"
#include "patcher/launcherlib.h"
#include "platform/createprocess.h"

#include <cerrno>
#include <string>
#include <unistd.h>
#include <vector>

enum { kArgumentsMax = 64, kArgumentSize = 1024 };

CLauncherModelGtk::CLauncherModelGtk(const char *programFolder) {
    if (programFolder != nullptr && programFolder[0] != 0) {
        Zyl_StrCopy(WorkingDirectory, programFolder, sizeof(WorkingDirectory) - 1);
        int length = Zyl_StrLen(WorkingDirectory);
        if (WorkingDirectory[length - 1] != '/')
            Zyl_StrAppend(WorkingDirectory, "/", sizeof(WorkingDirectory));
    }
}

CLauncherModelGtk::~CLauncherModelGtk() {
    // A game still running is left to run; it is reaped when it ends.
    if (GamePid > 0)
        CreateProcess_Abandon(GamePid);
    GamePid = -1;
}

int CLauncherModelGtk::CreatePlatformObjects() {
    if (WorkingDirectory[0] == 0)
        Zyl_GetModuleDirectory(WorkingDirectory, sizeof(WorkingDirectory));
    Frontend_SlashPath(WorkingDirectory);
    if (Interop == nullptr)
        Interop = new InteropLibraryPosix(this, WorkingDirectory);
    if (Facade == nullptr)
        Facade = CreateScriptFacade();
    return 1;
}

int CLauncherModelGtk::Initialize(ILauncherView *view) {
    if (CLauncherModelScriptable::Initialize(view) != 1)
        return 0;
    if (Facade != nullptr && Facade->Initialize() != 1)
        return 0;
    return 1;
}

int CLauncherModelGtk::GetWorkingDirectory(char *buffer, int size) {
    Zyl_StrCopy(buffer, WorkingDirectory, size);
    return 1;
}

int CLauncherModelGtk::SetCurrentDirectory(const char *path) {
    if (path[0] == 0 || chdir(path) == 0)
        return 1;
    int error = errno;
    char reason[256];
    Zyl_GetErrorTextFor(error, reason, sizeof(reason));
    Frontend_Log(FRONTEND_LOG_WARNING, "chdir [%s] failed: %s (%d)", path, reason, error);
    return 0;
}

int CLauncherModelGtk::ProcessLaunch(int show, int *pid, const char *commandLine, char *error,
                                     int size) {
    (void)show; // no window of ours to show or hide
    *pid = -1;
    int count = 0;
    Zyl_ArgCount(commandLine, &count);
    std::vector<std::string> arguments;
    char argument[kArgumentSize];
    for (int i = 0; i < count && i < kArgumentsMax; i++) {
        if (Zyl_ArgGet(commandLine, i, argument, sizeof(argument)) != 1)
            break;
        arguments.emplace_back(argument);
    }
    int code = ENOENT;
    if (!arguments.empty() && !arguments[0].empty()) {
        // A bare name is the program's folder's first, then one on PATH.
        if (arguments[0].find('/') == std::string::npos) {
            std::string local = std::string(WorkingDirectory) + arguments[0];
            if (access(local.c_str(), X_OK) == 0)
                arguments[0] = local;
        }
        std::vector<char *> argv;
        argv.reserve(arguments.size() + 1);
        for (std::string &each : arguments)
            argv.push_back(each.data());
        argv.push_back(nullptr);
        code = CreateProcess_Spawn(argv.data(), nullptr, 1, pid);
        if (code == 0)
            return 1;
    }
    char reason[320];
    Zyl_GetErrorTextFor(code, reason, sizeof(reason));
    if (error != nullptr)
        Zyl_StrCopy(error, reason, size);
    Frontend_Log(FRONTEND_LOG_WARNING, "ProcessLaunch [%s] fails with error '%s'", commandLine,
                 reason);
    *pid = -1;
    return 0;
}

int CLauncherModelGtk::LaunchProcess(const char *commandLine, int show) {
    int pid = -1;
    if (ProcessLaunch(show, &pid, commandLine) != 1)
        return 0;
    CreateProcess_Abandon(pid);
    return 1;
}

int CLauncherModelGtk::OpenExternalUrl(const char *text) {
    std::string address = text;
    if (address.find("://") == std::string::npos && address[0] != '/')
        address = std::string(WorkingDirectory) + address;
    char program[] = "xdg-open";
    char *argv[] = {program, address.data(), nullptr};
    int pid = -1;
    int code = CreateProcess_Spawn(argv, nullptr, 1, &pid);
    if (code != 0) {
        char reason[256];
        Zyl_GetErrorTextFor(code, reason, sizeof(reason));
        Frontend_Log(FRONTEND_LOG_WARNING, "xdg-open [%s] fails with error '%s'", address.c_str(),
                     reason);
        return 1;
    }
    CreateProcess_Abandon(pid);
    return 1;
}

int CLauncherModelGtk::Play() {
    if (IsEngineRunning() != 1)
        return 0;
    if (Config.Updater.Mode == CONFIG_MODE_PACKAGE_LIST) {
        int state = ListStatus.ListState;
        const PatcherPackageStatus &status = ListStatus.Status;
        int allowed = state == 2 || state == 4;
        if (state == 1 || state == 3)
            allowed =
                status.PackageDescriptorType == 2 && status.State != PATCHER_STATE_PREPROCESS &&
                status.State != PATCHER_STATE_PROCESS && status.State != PATCHER_STATE_POSTPROCESS;
        if (!allowed)
            return 1;
    }
    if (Config.OnPlayRelativePath[0] == 0)
        return Close();
    int pid = -1;
    char reason[320] = "";
    if (ProcessLaunch(1, &pid, Config.OnPlayRelativePath, reason, sizeof(reason)) != 1) {
        char text[1024];
        Zyl_FormatString(text, sizeof(text), "ProcessLaunch [%s] fails with error '%s'\n",
                         Config.OnPlayRelativePath, reason);
        char date[320] = "";
        LauncherLib_FormatDate(date);
        LauncherLib_Log(FRONTEND_LOG_WARNING, "%s", text);
        OnFatalError(MODEL_ERROR_PLAY, date, text);
        return 1;
    }
    if (Settings.OptionalPatchDownload == CONFIG_PLAY_RESUME) {
        if (View != nullptr)
            View->Minimize();
        StopTarget();
        Playing = 1;
        if (GamePid > 0)
            CreateProcess_Abandon(GamePid);
        GamePid = pid;
        return 1;
    }
    CreateProcess_Abandon(pid);
    if (Settings.OptionalPatchDownload == CONFIG_PLAY_CONTINUE) {
        if (View != nullptr)
            View->Minimize();
        return 1;
    }
    return Close();
}

int CLauncherModelGtk::Tick() {
    if (IsEngineRunning() != 1)
        return 0;
    if (Playing == 1 && GamePid > 0) {
        PatcherPackageListStatusRecord stored = ListStatus;
        OnPackageListStatus(stored);
        int exitCode = -1;
        if (CreateProcess_Wait(GamePid, 0, &exitCode) != 0) {
            Playing = 0;
            GamePid = -1;
            if (View != nullptr)
                View->Restore();
            StartTarget();
        }
    }
    int result = CLauncherModel::Tick();
    if (Interop != nullptr)
        static_cast<InteropLibraryPosix *>(Interop)->RunPending();
    return result;
}

int CLauncherModelGtk::OnNavigateComplete() {
    return 1;
}
