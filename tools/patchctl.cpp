// patchctl: runs the patch engine without a window. Starts the library, adds
// the packages, package lists and downloads named on the command line, drains
// the event queue every 100 ms printing one line per event, and answers the
// consent questions from its options. Exits 0 once every package has reported
// PATCHER_STATE_ALLTASKSCOMPLETE, every list state 4 and every download
// COMPLETE; 1 when one of them fails; 2 on a bad command line; 128 + the signal
// after SIGINT or SIGTERM (the library is shut down first in every case).
// Downloads go through the download engine's client (--client engine, the
// default), or through the stand-in client's HTTP table (--client web), which
// fetches each file of a metafile from its web address (a site made by
// tools/publish).
// Usage:
//   patchctl [--client engine|web] [--registry KEY] [--settings URL]
//            [--target VERSION] [--no-restart] [--hold] [--no-peer] [--no-web]
//            [--package NAME URL PATH]... [--list NAME URL]...
//            [--download NAME METAFILE OUTPUT SKIN]...
// --no-peer and --no-web turn the peer and the web source off in the options of
// every package, list and download added.
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "patcher/engineclient.h"
#include "patcher/launcherlib.h"
#include "patcher/scriptedclient.h"

namespace {

enum { WATCH_PACKAGE, WATCH_LIST, WATCH_DOWNLOAD };

struct Watched {
    int kind;
    std::string name;
    int done;
    int failed;
};

struct Driver {
    std::vector<Watched> watched;
    int32_t target; // -1: take the offer
    int allowRestart;
    int hold;
};

volatile sig_atomic_t gSignal = 0;

void OnSignal(int number) {
    gSignal = number;
}

Watched *Find(Driver *driver, int kind, const char *name) {
    for (Watched &entry : driver->watched)
        if (entry.kind == kind && entry.name == name)
            return &entry;
    return nullptr;
}

Driver *Self(void *userData) {
    return static_cast<Driver *>(userData);
}

std::string StateName(int state) {
    char name[PATCHER_STATE_NAME_SIZE];
    Patcher_GetStateName(name, state);
    return name;
}

int OnStateChange(const char *name, void *userData, PatcherStateChangeRecord record) {
    std::printf("STATECHANGE [%s] %s -> %s version %d/%d\n", name,
                StateName(record.PreviousState).c_str(), StateName(record.NewState).c_str(),
                record.Status.CurrentVersion, record.Status.TargetVersion);
    Watched *entry = Find(Self(userData), WATCH_PACKAGE, name);
    if (entry != nullptr) {
        if (record.NewState == PATCHER_STATE_ALLTASKSCOMPLETE)
            entry->done = 1;
        else if (record.NewState == PATCHER_STATE_FAILED)
            entry->failed = 1;
        else
            entry->done = 0;
    }
    return 1;
}

int OnStatus(const char *name, void *, PatcherPackageStatus status) {
    std::printf("STATUS [%s] %s left %lld of %lld expanded %lld of %lld\n", name,
                StateName(status.State).c_str(), static_cast<long long>(status.DownloadBytesLeft),
                static_cast<long long>(status.DownloadFilesSize),
                static_cast<long long>(status.ExpansionDone),
                static_cast<long long>(status.ExpansionTotal));
    return 1;
}

int OnVersionCheck(const char *name, void *userData, int32_t *targetVersion,
                   PatcherVersionCheckRecord record) {
    Driver *driver = Self(userData);
    if (driver->target >= 0)
        *targetVersion = driver->target;
    std::printf("VERSIONCHECK [%s] %d [%s] -> %d [%s], taking %d\n", name, record.CurrentVersion,
                record.CurrentName, record.TargetVersion, record.TargetName, *targetVersion);
    return 1;
}

int OnAllowRestart(const char *name, void *userData, int32_t *allow) {
    *allow = Self(userData)->allowRestart;
    std::printf("ALLOWRESTART [%s] %s\n", name, *allow ? "allowed" : "refused");
    return 1;
}

int OnPerformRestart(void *) {
    std::printf("PERFORMRESTART\n");
    return 1;
}

int OnPreProcess(const char *name, void *userData, int32_t *hold, PatcherProcessRequest request) {
    *hold = Self(userData)->hold;
    std::printf("PREPROCESS [%s] output [%s] copy [%s]\n", name, request.OutputPath,
                request.CopyPath);
    return 1;
}

int OnPostProcess(const char *name, void *userData, int32_t *hold, PatcherProcessRequest request) {
    *hold = Self(userData)->hold;
    std::printf("POSTPROCESS [%s] output [%s] copy [%s]\n", name, request.OutputPath,
                request.CopyPath);
    return 1;
}

int OnLog(void *, const char *stamp, const char *text) {
    std::printf("LOG %s %s\n", stamp, text);
    return 1;
}

int OnError(void *, int32_t code, const char *stamp, const char *text) {
    std::printf("ERROR %s %d %s\n", stamp, code, text);
    return 1;
}

int OnListStatus(void *userData, PatcherPackageListStatusRecord record) {
    std::printf("PACKAGELISTSTATUS [%s] state %d package [%s]\n", record.ListName, record.ListState,
                record.PackageName);
    Watched *entry = Find(Self(userData), WATCH_LIST, record.ListName);
    if (entry != nullptr)
        entry->done = record.ListState == 4;
    return 1;
}

int OnMaintenance(const char *name, void *, PatcherMaintenanceRecord record) {
    std::printf("MAINTENANCE [%s] [%s] [%s]\n", name, record.MaintenanceUrl, record.AdditionalInfo);
    return 1;
}

int OnDownloadStatus(const char *name, void *userData, PatcherDownloadStatus status) {
    char state[PATCHER_STATE_NAME_SIZE];
    Patcher_GetDownloadStateName(state, sizeof(state), status.State);
    std::printf("DOWNLOADSTATUS [%s] %s left %lld of %lld\n", name, state,
                static_cast<long long>(status.BytesLeft), static_cast<long long>(status.FilesSize));
    Watched *entry = Find(Self(userData), WATCH_DOWNLOAD, name);
    if (entry != nullptr) {
        entry->done = status.State == PATCHER_DOWNLOAD_STATE_COMPLETE;
        entry->failed = status.State == PATCHER_DOWNLOAD_STATE_FAILED;
    }
    return 1;
}

void InstallCallbacks(Driver *driver) {
    LauncherLib_SetUserData(driver);
    LauncherLib_SetStateChangeCallback(OnStateChange);
    LauncherLib_SetStatusCallback(OnStatus);
    LauncherLib_SetVersionCheckCallback(OnVersionCheck);
    LauncherLib_SetAllowRestartCallback(OnAllowRestart);
    LauncherLib_SetPerformRestartCallback(OnPerformRestart);
    LauncherLib_SetPreProcessCallback(OnPreProcess);
    LauncherLib_SetPostProcessCallback(OnPostProcess);
    LauncherLib_SetLogCallback(OnLog);
    LauncherLib_SetErrorCallback(OnError);
    LauncherLib_SetPackageListStatusCallback(OnListStatus);
    LauncherLib_SetMaintenanceCallback(OnMaintenance);
    LauncherLib_SetDownloadStatusCallback(OnDownloadStatus);
}

int Usage(const char *why) {
    std::fprintf(stderr,
                 "patchctl: %s\nusage: patchctl [--client engine|web] [--registry KEY] [--settings "
                 "URL] [--target VERSION] [--no-restart] [--hold]\n"
                 "         [--no-peer] [--no-web]\n"
                 "         [--package NAME URL PATH]... [--list NAME URL]... [--download NAME "
                 "METAFILE OUTPUT SKIN]...\n",
                 why);
    return 2;
}

struct Request {
    int kind;
    std::vector<std::string> args;
};

} // namespace

int main(int argc, char **argv) {
    Driver driver{{}, -1, 1, 0};
    std::string registry = "Software\\Vexil\\patchctl";
    std::string settings;
    std::vector<Request> requests;
    const PatcherClientOperations *client = &EngineClient_Operations;
    int peer = 1, web = 1;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        int left = argc - i - 1;
        if (option == "--client" && left >= 1) {
            std::string kind = argv[++i];
            if (kind == "engine")
                client = &EngineClient_Operations;
            else if (kind == "web")
                client = &ScriptedClient_WebOperations;
            else
                return Usage("--client takes engine or web");
        } else if (option == "--registry" && left >= 1) {
            registry = argv[++i];
        } else if (option == "--settings" && left >= 1) {
            settings = argv[++i];
        } else if (option == "--target" && left >= 1) {
            char *end = nullptr;
            long value = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != 0 || value < 0 || value > INT_MAX)
                return Usage("--target needs a version number");
            driver.target = static_cast<int32_t>(value);
        } else if (option == "--no-restart") {
            driver.allowRestart = 0;
        } else if (option == "--hold") {
            driver.hold = 1;
        } else if (option == "--no-peer") {
            peer = 0;
        } else if (option == "--no-web") {
            web = 0;
        } else if (option == "--package" && left >= 3) {
            requests.push_back({WATCH_PACKAGE, {argv[i + 1], argv[i + 2], argv[i + 3]}});
            i += 3;
        } else if (option == "--list" && left >= 2) {
            requests.push_back({WATCH_LIST, {argv[i + 1], argv[i + 2]}});
            i += 2;
        } else if (option == "--download" && left >= 4) {
            requests.push_back(
                {WATCH_DOWNLOAD, {argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]}});
            i += 4;
        } else {
            return Usage(("bad or incomplete argument [" + option + "]").c_str());
        }
    }
    if (requests.empty())
        return Usage("nothing to do");
    setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    PatcherClient_SetOperations(client);
    if (LauncherLib_Initialize(registry.c_str(), nullptr, settings.c_str()) != 1) {
        std::fprintf(stderr, "patchctl: the library did not start\n");
        return 1;
    }
    InstallCallbacks(&driver);
    PackageOptions options;
    LauncherLib_InitPackageOptions(&options);
    options.PeerToPeer = peer;
    options.Web = web;
    int added = 1;
    for (const Request &request : requests) {
        const std::vector<std::string> &a = request.args;
        int result = 0;
        if (request.kind == WATCH_PACKAGE)
            result = LauncherLib_AddPackage(a[0].c_str(), a[1].c_str(), a[2].c_str(), &options);
        else if (request.kind == WATCH_LIST)
            result = LauncherLib_AddPackageList(a[0].c_str(), a[1].c_str(), &options);
        else
            result = LauncherLib_AddDownload(a[0].c_str(), a[1].c_str(), a[2].c_str(), a[3].c_str(),
                                             &options);
        if (result != 1) {
            std::fprintf(stderr, "patchctl: unable to add [%s]\n", a[0].c_str());
            added = 0;
            break;
        }
        driver.watched.push_back({request.kind, a[0], 0, 0});
    }
    int status = added ? -1 : 1;
    while (status < 0) {
        LauncherLib_ProcessEvents();
        int done = 1;
        for (const Watched &entry : driver.watched) {
            if (entry.failed)
                status = 1;
            done &= entry.done;
        }
        if (status < 0 && done)
            status = 0;
        else if (status < 0 && gSignal != 0)
            status = 128 + gSignal;
        else if (status < 0)
            usleep(100 * 1000);
    }
    LauncherLib_ProcessEvents();
    LauncherLib_Shutdown();
    std::printf("patchctl: %s\n", status == 0   ? "every update complete"
                                  : status == 1 ? "failed"
                                                : "stopped by a signal");
    return status;
}
