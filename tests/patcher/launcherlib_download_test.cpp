// A plain download through the library facade on the download engine's client,
// in a process of its own (the facade starts the core runtime itself): nginx
// serves the metafile and the content as its web source, slowly, and a
// scripted server the download's settings container. Every DOWNLOADSTATUS the
// front end receives is recorded: the states run from INITIALIZE to COMPLETE,
// a pause stops what nginx serves and a resume completes the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "core/zyl.h"
#include "patcher/engineclient.h"
#include "patcher/launcherlib.h"
#include "tests/engine/swarm_support.h"
#include "tests/patcher/ffs_fixture.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/support.h"

namespace {

using testsupport::WaitUntil;

constexpr int kPieceBits = 15;
constexpr int kPieceLength = 1 << kPieceBits;
// nginx sends each piece's reply at about this rate: a piece a second.
constexpr const char *kContentRate = "16k";

// The content bytes nginx has served below /pack/ by its access log (a request
// is logged once it ends, a broken one with the bytes it got out).
int64_t ServedContent(const std::string &accessLog) {
    static const std::regex line("\"GET /pack/[^ ]* HTTP/[0-9.]+\" [0-9]+ ([0-9]+)");
    const std::string text = testsupport::ReadFile(accessLog);
    int64_t total = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        total += std::stoll((*it)[1].str());
    return total;
}

// What the front end received, on the child's main thread (ProcessEvents).
std::vector<PatcherDownloadStatus> gEvents;
std::vector<std::string> gLines;

int RecordStatus(const char *name, void *, PatcherDownloadStatus status) {
    if (std::string(name) == "plain")
        gEvents.push_back(status);
    return 1;
}
int RecordLog(void *, const char *, const char *text) {
    gLines.emplace_back(text);
    return 1;
}
int RecordError(void *, int32_t code, const char *, const char *text) {
    gLines.push_back("error " + std::to_string(code) + " " + text);
    return 1;
}

// The events and log lines, written beside the log for the test to print.
int Finish(const std::string &notes, int result, const std::string &why) {
    std::string text = why + "\n";
    for (const PatcherDownloadStatus &s : gEvents)
        text += "state " + std::to_string(s.State) + " active " + std::to_string(s.Active) +
                " size " + std::to_string(s.FilesSize) + " left " + std::to_string(s.BytesLeft) +
                " in " + std::to_string(s.BytesIn) + " average " +
                std::to_string((int64_t)s.AverageRate) + " checked " +
                std::to_string(s.PiecesChecked) + "/" + std::to_string(s.PieceCount) + "\n";
    for (const std::string &line : gLines)
        text += line + "\n";
    testsupport::WriteFile(notes, text);
    return result;
}

bool Seen(int state) {
    return std::any_of(gEvents.begin(), gEvents.end(),
                       [state](const PatcherDownloadStatus &s) { return s.State == state; });
}

// Delivers the queued events while waiting for done.
bool Pump(const std::function<bool()> &done, double seconds) {
    return WaitUntil(
        [&] {
            LauncherLib_ProcessEvents();
            return done();
        },
        seconds);
}

// args: log folder, settings container file, metafile address, output path,
// nginx's access log, content size, notes file.
PORTICO_TEST_CHILD(launcherlib_plain_download) {
    const std::string &logFolder = args.at(0), &metafile = args.at(2), &output = args.at(3),
                      &accessLog = args.at(4), &notes = args.at(6);
    const std::string container = testsupport::ReadFile(args.at(1));
    const int64_t size = std::stoll(args.at(5));
    Zyl_CloseLog();
    PatcherClient_SetOperations(&EngineClient_Operations);
    Patcher_SetLogFolder(logFolder.c_str());

    // The settings container is held back until the front end has seen the
    // download in INITIALIZE.
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    nettest::ScriptedServer skin([&](nettest::ScriptedConnection &connection, int) {
        if (connection.ReadRequest().empty())
            return;
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait_for(guard, std::chrono::seconds(60), [&] { return release; });
        }
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(container.size()) +
                        "\r\nConnection: close\r\n\r\n" + container);
        connection.Close();
    });

    const double begun = Zyl_GetTickSeconds();
    PatcherOptions options;
    LauncherLib_InitPatcherOptions(&options);
    options.Firewall = 0;
    if (LauncherLib_Initialize(patchertest::kRegistryPath, &options, "") != 1)
        return Finish(notes, 10, "initialize");
    LauncherLib_SetLogCallback(RecordLog);
    LauncherLib_SetErrorCallback(RecordError);
    LauncherLib_SetDownloadStatusCallback(RecordStatus);
    PackageOptions package;
    LauncherLib_InitPackageOptions(&package);
    if (LauncherLib_AddDownload("plain", metafile.c_str(), output.c_str(),
                                skin.url("/skin.ffs").c_str(), &package) != 1)
        return Finish(notes, 11, "add");
    const bool initialized = Pump([] { return !gEvents.empty(); }, 60);
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    changed.notify_all();
    if (!initialized || gEvents[0].State != PATCHER_DOWNLOAD_STATE_INITIALIZE)
        return Finish(notes, 12, "no INITIALIZE first");

    // Paused once the web source has served a piece.
    if (!Pump(
            [&] {
                return Seen(PATCHER_DOWNLOAD_STATE_COMPLETE) ||
                       (Seen(PATCHER_DOWNLOAD_STATE_DOWNLOAD) &&
                        ServedContent(accessLog) >= kPieceLength);
            },
            120) ||
        Seen(PATCHER_DOWNLOAD_STATE_COMPLETE))
        return Finish(notes, 13, "no piece served before the end");
    if (LauncherLib_SetDownloadActive("plain", 0) != 1)
        return Finish(notes, 14, "pause");
    const size_t paused = gEvents.size();
    if (!Pump(
            [&] {
                return gEvents.size() > paused &&
                       gEvents.back().State == PATCHER_DOWNLOAD_STATE_DOWNLOAD &&
                       gEvents.back().Active == 0;
            },
            30))
        return Finish(notes, 15, "no paused status");
    int32_t active = -1;
    if (LauncherLib_GetDownloadActive("plain", &active) != 1 || active != 0)
        return Finish(notes, 16, "active " + std::to_string(active));
    // A request under way when the pause came may still end: then nothing more.
    int64_t served = ServedContent(accessLog);
    double changedAt = Zyl_GetTickSeconds();
    if (!Pump(
            [&] {
                const int64_t now = ServedContent(accessLog);
                if (now != served) {
                    served = now;
                    changedAt = Zyl_GetTickSeconds();
                }
                return Zyl_GetTickSeconds() - changedAt >= 2.0;
            },
            60))
        return Finish(notes, 17, "served bytes kept growing: " + std::to_string(served));
    Pump([] { return false; }, 3);
    const int64_t after = ServedContent(accessLog);
    if (after != served || served >= size || Seen(PATCHER_DOWNLOAD_STATE_COMPLETE) ||
        gEvents.back().Active != 0 || gEvents.back().BytesLeft <= 0)
        return Finish(notes, 18,
                      "paused download moved: " + std::to_string(served) + " then " +
                          std::to_string(after));

    if (LauncherLib_SetDownloadActive("plain", 1) != 1)
        return Finish(notes, 19, "resume");
    if (!Pump([] { return Seen(PATCHER_DOWNLOAD_STATE_COMPLETE); }, 180))
        return Finish(notes, 20, "no COMPLETE");
    const double seconds = Zyl_GetTickSeconds() - begun;
    // One run of each state in order, from the first report to the last.
    std::vector<int> states;
    for (const PatcherDownloadStatus &s : gEvents)
        if (states.empty() || states.back() != s.State)
            states.push_back(s.State);
    if (states != std::vector<int>{PATCHER_DOWNLOAD_STATE_INITIALIZE, PATCHER_DOWNLOAD_STATE_SCAN,
                                   PATCHER_DOWNLOAD_STATE_DOWNLOAD,
                                   PATCHER_DOWNLOAD_STATE_COMPLETE})
        return Finish(notes, 21, "states out of order");
    // While downloading: running, paused, running again.
    std::vector<int> activity;
    for (const PatcherDownloadStatus &s : gEvents)
        if (s.State == PATCHER_DOWNLOAD_STATE_DOWNLOAD &&
            (activity.empty() || activity.back() != s.Active))
            activity.push_back(s.Active);
    if (activity != std::vector<int>{1, 0, 1})
        return Finish(notes, 24, "active words out of order");
    const PatcherDownloadStatus &last = gEvents.back();
    if (last.FilesSize != size || last.BytesLeft != 0 ||
        last.PieceCount != (size + kPieceLength - 1) / kPieceLength ||
        last.PieceLength != kPieceLength)
        return Finish(notes, 22, "final figures");
    // The figures keep counting across the pause: what was received covers
    // every byte that was not on disk when the download began, and the average
    // (over the active time only) is made from it.
    const auto download =
        std::find_if(gEvents.begin(), gEvents.end(), [](const PatcherDownloadStatus &s) {
            return s.State == PATCHER_DOWNLOAD_STATE_DOWNLOAD;
        });
    const int64_t onDisk = download->FilesSize - download->BytesLeft;
    const int64_t received = last.BytesIn;
    if (received < size - onDisk)
        return Finish(notes, 25,
                      "received " + std::to_string(received) + " of " +
                          std::to_string(size - onDisk));
    if (last.AverageRate * seconds < (double)(size - onDisk))
        return Finish(notes, 26,
                      "average " + std::to_string(last.AverageRate) + " over " +
                          std::to_string(seconds) + " s");
    // Nothing counted twice: no more than nginx served (its log line for the
    // last request may come a little after the files are complete).
    if (!Pump([&] { return ServedContent(accessLog) >= received; }, 60))
        return Finish(notes, 27,
                      "received " + std::to_string(received) + ", served " +
                          std::to_string(ServedContent(accessLog)));
    LauncherLib_RemoveDownload("plain");
    if (LauncherLib_Shutdown() != 1)
        return Finish(notes, 23, "shutdown");
    return Finish(notes, 0, "done");
}

class LauncherLibDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("nginx") || !testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "nginx or mktorrent missing (tools/setup)";
        environment_.Set("HOME", dir_.path());
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_CACHE_HOME", dir_ / ".cache");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        environment_.Set("XDG_RUNTIME_DIR", dir_.path());
    }
    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
};

TEST_F(LauncherLibDownload, WebSourceDownloadReportsEveryStatePausesResumesAndCompletes) {
    nettest::NginxServer web("access_log " + (dir_ / "access.log") +
                             ";\nlocation /pack/ { limit_rate " + kContentRate + "; }\n");
    ASSERT_TRUE(web.ok()) << web.error();
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.bin", enginetest::MakeBytes(150000, 41)}, {"b.bin", enginetest::MakeBytes(70001, 42)}};
    const int64_t size = 150000 + 70001;
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir_, "pack", files, kPieceBits, &torrent));
    ASSERT_EQ(0,
              testsupport::RunCommand("cp -r '" + (dir_ / "src/pack") + "' '" + web.root() + "/'"));
    // The content's web source on the same server.
    ASSERT_TRUE(enginetest::AddReliable(torrent, web.url("/pack/")));
    ASSERT_EQ(0, testsupport::RunCommand("cp '" + torrent + "' '" + web.root() + "/pack.torrent'"));
    // The metafile address is completed by the server options' TorrentBase;
    // the peers are off by the server's word.
    ffstest::Archive container;
    container.records["settings.xml"] = ffstest::Comp1Literal(
        "<Application><User><TorrentBase>" + web.url("/") +
        "</TorrentBase><AllowBitBase>0</AllowBitBase><AllowWebBase>1</AllowWebBase>"
        "</User></Application>");
    testsupport::WriteFile(dir_ / "skin.ffs", container.Build());

    const std::string out = dir_ / "out", notes = dir_ / "notes.txt";
    const int status = testsupport::FinishChild(
        testsupport::SpawnChild("launcherlib_plain_download",
                                {dir_.path(), dir_ / "skin.ffs", "pack.torrent", out,
                                 dir_ / "access.log", std::to_string(size), notes}),
        480);
    ASSERT_EQ(0, status) << testsupport::ReadFile(notes) << web.log();

    // A download of several files gets a folder named after the content, and
    // holds exactly its files under their own names.
    std::vector<std::string> names;
    if (DIR *folder = opendir((out + "/pack").c_str())) {
        while (dirent *entry = readdir(folder))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        closedir(folder);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"a.bin", "b.bin"}), names);
    for (const auto &file : files)
        EXPECT_EQ(testsupport::Sha1Hex(file.second),
                  testsupport::Sha1Hex(testsupport::ReadFile(out + "/pack/" + file.first)))
            << file.first;
    // The resume went on from where the pause left: nothing was fetched twice
    // beyond the pieces cut short by the pause.
    const int64_t served = ServedContent(dir_ / "access.log");
    EXPECT_GE(served, size);
    EXPECT_LE(served, size + 2 * kPieceLength) << testsupport::ReadFile(dir_ / "access.log");
}

} // namespace
