// The launcher model's event path: 100,000 queued STATUS, DOWNLOADSTATUS and LOG
// events drained by the model's ticks (a thousand at a time) into a page that discards every call,
// against the same events drained by LauncherLib_ProcessEvents into callbacks
// that only copy their record. Both sides count what arrived.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/zyl.h"
#include "frontend/launchermodelgtk.h"
#include "frontend/launcherview.h"
#include "frontend/scriptfacade.h"
#include "patcher/launcherlib.h"
#include "patcher/patcher.h"
#include "patcher/scriptedclient.h"

namespace {

const int kEvents = 100000;
// Events queued between two drains: the Patcher drops a pending buffer grown
// past 1 MiB, as it would an event flood nobody drains.
const int kBatch = 1000;

class QuietView : public ILauncherView {
  public:
    IBrowserControl *GetBrowserControl() override { return nullptr; }
    int Navigate(const char *) override { return 1; }
    int Close() override { return 1; }
    int Minimize() override { return 1; }
    int Restore() override { return 1; }
    int BeginMoveWindow() override { return 1; }
    int SetWindowSize(int, int) override { return 1; }
    int OpenNativeLogPage() override { return 1; }
    int OpenNativeDirectoryBrowserPage(const char *, char *, int) override { return 0; }
};

// The page: counts the calls and drops them.
class DiscardingPage : public ScriptFacade {
  public:
    explicit DiscardingPage(CLauncherModelScriptable *model) : ScriptFacade(model) {}
    int ExecuteWithResult(const char *, const ScriptArgument *, int, ScriptResult *) override {
        calls++;
        return 0;
    }
    int ExecuteNoResult(const char *, const ScriptArgument *, int) override {
        calls++;
        return 1;
    }
    long calls = 0;
};

class BenchModel : public CLauncherModelGtk {
  public:
    explicit BenchModel(const char *folder) : CLauncherModelGtk(folder) {}
    ScriptFacade *CreateScriptFacade() override { return new DiscardingPage(this); }
};

BenchModel *gModel;
QuietView gView;
std::string gFolder;

// Queues kBatch events from first on, the three kinds in turn.
void QueueEvents(int first) {
    Patcher *engine = LauncherLib_GetPatcher();
    PatcherPackageStatus status;
    PatcherPackageStatus_Init(&status);
    PatcherDownloadStatus download;
    PatcherDownloadStatus_Init(&download);
    download.State = PATCHER_DOWNLOAD_STATE_DOWNLOAD;
    download.FilesSize = 6000000000LL;
    download.PieceLength = 262144;
    for (int i = first; i < first + kBatch; i++) {
        if (i % 3 == 0) {
            status.TargetVersion = i;
            Patcher_QueueStatus(engine, "game", &status);
        } else if (i % 3 == 1) {
            download.PiecesChecked = i;
            Patcher_QueueDownloadStatus(engine, "movie", &download);
        } else {
            Patcher_QueueLog(engine, 1, "a progress line of ordinary length for the log window");
        }
    }
}

void BM_ModelEvents(benchmark::State &state) {
    gModel->RegisterCallbacks();
    auto *page = static_cast<DiscardingPage *>(gModel->GetScriptFacade());
    gModel->Tick(); // what the engine queued before
    for (auto _ : state) {
        page->calls = 0;
        for (int first = 0; first < kEvents; first += kBatch) {
            state.PauseTiming();
            QueueEvents(first);
            state.ResumeTiming();
            gModel->Tick();
        }
        if (page->calls != kEvents) {
            state.SkipWithError("events did not reach the page");
            break;
        }
    }
}
BENCHMARK(BM_ModelEvents)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The reference: callbacks that copy their record.
struct Copies {
    long count;
    PatcherPackageStatus status;
    PatcherDownloadStatus download;
    char text[320];
} gCopies;

int CopyStatus(const char *, void *, PatcherPackageStatus status) {
    gCopies.status = status;
    return ++gCopies.count, 1;
}
int CopyDownload(const char *, void *, PatcherDownloadStatus status) {
    gCopies.download = status;
    return ++gCopies.count, 1;
}
int CopyLog(void *, const char *, const char *text) {
    Zyl_StrCopy(gCopies.text, text, sizeof(gCopies.text));
    return ++gCopies.count, 1;
}

void BM_CallbackEvents(benchmark::State &state) {
    gModel->UnregisterCallbacks();
    LauncherLib_SetStatusCallback(CopyStatus);
    LauncherLib_SetDownloadStatusCallback(CopyDownload);
    LauncherLib_SetLogCallback(CopyLog);
    LauncherLib_ProcessEvents(); // what the engine queued before
    for (auto _ : state) {
        gCopies.count = 0;
        for (int first = 0; first < kEvents; first += kBatch) {
            state.PauseTiming();
            QueueEvents(first);
            state.ResumeTiming();
            LauncherLib_ProcessEvents();
        }
        if (gCopies.count != kEvents) {
            state.SkipWithError("events did not reach the callbacks");
            break;
        }
    }
    gModel->UnregisterCallbacks();
}
BENCHMARK(BM_CallbackEvents)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv) {
    char folder[] = "/tmp/model_events.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    gFolder = folder;
    std::string config = gFolder + "/launcher.config.xml";
    FILE *file = fopen(config.c_str(), "w");
    if (file == nullptr)
        return 1;
    fputs("<Config><Launcher><AppRegistryPath>Software\\PorticoBench</AppRegistryPath></Launcher>"
          "<LayoutInfo><Url>index.html</Url></LayoutInfo></Config>",
          file);
    fclose(file);
    setenv("XDG_CONFIG_HOME", (gFolder + "/.config").c_str(), 1);
    setenv("XDG_STATE_HOME", (gFolder + "/.state").c_str(), 1);
    PatcherClient_SetOperations(&ScriptedClient_Operations);
    Patcher_SetLogFolder(folder);
    gModel = new BenchModel(folder);
    if (gModel->Initialize(&gView) != 1)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete gModel;
    std::string remove = "rm -rf '" + gFolder + "'";
    return system(remove.c_str()) == 0 ? 0 : 1;
}
