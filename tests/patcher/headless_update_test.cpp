// The headless update end to end: tools/publish makes a site from three
// generated trees, nginx serves it, and patchctl updates an installation of
// version 1 to 3, as a table of runs: each package type through the download
// engine's client and through the HTTP stand-in, and one run whose releases
// come from a libtorrent seed alone (found through opentracker, the web source
// off in the package options). Checked: every file of version 3 by
// `sha1sum -c`, removed files gone, programs executable, the version file, the
// output folders holding their release and nothing else, nothing outside the
// installation changed and the content bytes nginx served; the same when the
// driver is killed at moments of every phase of both updates, drawn from a
// seeded generator, and restarted until it exits 0. PORTICO_SEED repeats a
// run; PORTICO_KILLS sets the number of kills (a long soak by hand).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "tests/engine/swarm_support.h"
#include "tests/patcher/patcher_fixture.h"
#include "tests/patcher/update_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using updatetest::ReadInstalledVersion;

// Pieces of 2^15 bytes: a kill loses at most the few in flight.
const int kPieceBits = 15;
const int64_t kPieceSize = int64_t(1) << kPieceBits;
// Pieces a restart may fetch again per kill during a download: those in
// flight when it came (the web source asks for one at a time).
const int64_t kPiecesPerKill = 2;

std::string RandomBytes(std::mt19937 *random, size_t size) {
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>((*random)() & 0xFF);
    return bytes;
}

// A few 16-byte edits scattered over the bytes.
std::string Edit(std::mt19937 *random, std::string bytes) {
    for (int i = 0; i < 12 && bytes.size() > 16; i++) {
        size_t at = (*random)() % (bytes.size() - 16);
        for (size_t k = 0; k < 16; k++)
            bytes[at + k] = static_cast<char>((*random)() & 0xFF);
    }
    return bytes;
}

// Relative path -> (content, executable).
using Tree = std::map<std::string, std::pair<std::string, bool>>;

// Three versions: binary and text files, a file larger than a store section
// edited in place, programs, nested and empty files, names with spaces, files
// removed and added; each new release brings a new file of many pieces.
std::vector<Tree> MakeVersions(unsigned seed) {
    std::mt19937 random(seed);
    Tree v1;
    v1["game.bin"] = {RandomBytes(&random, 300 * 1024 + 77), false};
    v1["data/levels/level 1.txt"] = {"level one\nrocks: 12\n", false};
    v1["data/levels/level 2.txt"] = {"level two\nrocks: 40\n", false};
    v1["bin/run.sh"] = {"#!/bin/sh\necho run 1\n", true};
    v1["empty.dat"] = {"", false};
    v1["old only.txt"] = {"gone in version 2\n", false};
    Tree v2 = v1;
    v2["game.bin"].first = Edit(&random, v2["game.bin"].first);
    v2["data/levels/level 1.txt"].first += "rocks: 13\n";
    v2["bin/run.sh"].first = "#!/bin/sh\necho run 2\n";
    v2.erase("old only.txt");
    v2["data/new file.bin"] = {RandomBytes(&random, 5000), false};
    v2["data/pack 2.bin"] = {RandomBytes(&random, 200 * 1024 + 5), false};
    Tree v3 = v2;
    v3["game.bin"].first = Edit(&random, v3["game.bin"].first);
    v3.erase("data/levels/level 2.txt");
    v3["extra/deep/x y.dat"] = {RandomBytes(&random, 220 * 1024 + 9), false};
    v3["bin/tool"] = {"#!/bin/sh\necho tool\n", true};
    return {v1, v2, v3};
}

void WriteTree(const std::string &top, const Tree &tree) {
    for (const auto &[name, entry] : tree) {
        std::string path = (fs::path(top) / name).string();
        fs::create_directories(fs::path(path).parent_path());
        testsupport::WriteFile(path, entry.first);
        chmod(path.c_str(), entry.second ? 0755 : 0644);
    }
}

// Every file below top as relative path -> SHA-1 and mode, but those below the
// given relative prefixes.
std::map<std::string, std::string> Snapshot(const std::string &top,
                                            const std::vector<std::string> &skipped = {}) {
    std::map<std::string, std::string> files;
    if (!fs::exists(top))
        return files;
    for (const auto &entry : fs::recursive_directory_iterator(top)) {
        if (!entry.is_regular_file())
            continue;
        std::string name = fs::relative(entry.path(), top).string();
        if (std::any_of(skipped.begin(), skipped.end(),
                        [&](const std::string &prefix) { return name.rfind(prefix, 0) == 0; }))
            continue;
        struct stat info {};
        stat(entry.path().c_str(), &info);
        files[name] = testsupport::Sha1Hex(testsupport::ReadFile(entry.path())) + " " +
                      std::to_string(info.st_mode & 0777);
    }
    return files;
}

// Bytes of the bodies nginx sent for paths below prefix, from an access log
// in the combined format.
int64_t ServedBytes(const std::string &log, const std::string &prefix) {
    int64_t total = 0;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        size_t request = line.find("\"GET ");
        size_t end = line.find('"', request + 1);
        if (request == std::string::npos || end == std::string::npos ||
            line.compare(request + 5, prefix.size(), prefix) != 0)
            continue;
        std::istringstream rest(line.substr(end + 1));
        int status = 0;
        int64_t bytes = 0;
        if (rest >> status >> bytes)
            total += bytes;
    }
    return total;
}

// One run of the table: the package type, the driver's download client, and
// whether the releases come from a libtorrent seed alone.
struct HeadlessRun {
    const char *type;
    const char *client;
    bool peer;
};

std::string RunName(const ::testing::TestParamInfo<HeadlessRun> &info) {
    return std::string(info.param.type) + "_" + info.param.client +
           (info.param.peer ? "_peer" : "");
}

// A moment of an update the driver is killed at: a line of its output that
// starts a phase of a release, and how long after it a kill may come.
struct Marker {
    int release;
    const char *phase;
    std::vector<std::string> texts; // any of them
    int windowMs;
};

// The phases of both updates in the order an update passes them.
std::vector<Marker> Markers(const std::string &install) {
    std::vector<Marker> markers;
    for (int v = 2; v <= 3; v++) {
        std::string versions = " version " + std::to_string(v - 1) + "/" + std::to_string(v);
        std::string output = install + "game_" + std::to_string(v) + "/";
        // The download's start sequence fetches the settings container first.
        markers.push_back({v, "settings fetch", {"-> PATCHER_STATE_PREPARE" + versions}, 2000});
        markers.push_back({v, "download", {"-> PATCHER_STATE_DOWNLOAD" + versions}, 5000});
        markers.push_back({v,
                           "expansion",
                           {"Perform expansion [game_" + std::to_string(v) + "_",
                            "Perform copy [" + output + "]"},
                           250});
        markers.push_back({v,
                           "manifest",
                           {"Processing remove.manifest file. [" + output + "remove.manifest]"},
                           60});
        markers.push_back({v, "save", {"-> PATCHER_STATE_SAVE" + versions}, 250});
    }
    return markers;
}

// The furthest marker the text holds; -1 for none.
int Reached(const std::vector<Marker> &markers, const std::string &text) {
    for (int i = (int)markers.size() - 1; i >= 0; i--)
        for (const std::string &t : markers[i].texts)
            if (text.find(t) != std::string::npos)
                return i;
    return -1;
}

class HeadlessUpdateTest : public ::testing::TestWithParam<HeadlessRun> {
  protected:
    void SetUp() override {
        environment_.Set("HOME", dir_.path());
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        install_ = dir_ / "install/";
        log_ = dir_ / "patchctl.out";
    }

    // Publishes the versions, seeds the installation with version 1 and, for a
    // peer run, starts the tracker and a seed of each release. Throttled, nginx
    // sends the content and the settings container slowly (and the seeds the
    // content), so that kills find the driver in those phases with requests
    // under way: nginx sends a reply's first 24 KiB at once and the rest of a
    // piece a second later.
    void Publish(unsigned seed, bool throttled) {
        std::string locations = "access_log " + dir_ / "access.log" + ";\n";
        if (throttled)
            locations += "location /releases/ { limit_rate 24k; }\n"
                         "location = /game.settings { limit_rate 250; }\n";
        nginx_ = std::make_unique<nettest::NginxServer>(locations);
        ASSERT_TRUE(nginx_->ok()) << nginx_->error();
        versions_ = MakeVersions(seed);
        std::string announce;
        if (GetParam().peer) {
            if (!testsupport::HaveProgram("opentracker") ||
                testsupport::RunCommand("/usr/bin/python3 -c 'import libtorrent' 2>/dev/null") != 0)
                GTEST_SKIP() << "opentracker or python3-libtorrent missing (tools/setup)";
            trackerPort_ = enginetest::FreePort();
            announce = "http://127.0.0.1:" + std::to_string(trackerPort_) + "/announce";
        }
        std::string command = std::string(PORTICO_SOURCE_DIR) + "/tools/publish --type " +
                              GetParam().type + " --piece-length " + std::to_string(kPieceBits) +
                              (announce.empty() ? "" : " --tracker " + announce) + " --install " +
                              install_ + " " + nginx_->url("/") + " " + nginx_->root();
        for (size_t v = 0; v < versions_.size(); v++) {
            std::string tree = dir_ / ("trees/v" + std::to_string(v + 1));
            WriteTree(tree, versions_[v]);
            command += " " + tree;
        }
        std::string output;
        ASSERT_EQ(0, testsupport::RunCommand(command + " 2>&1", &output)) << output;
        for (int v = 2; v <= 3; v++)
            for (const auto &entry : fs::recursive_directory_iterator(
                     nginx_->root() + "/releases/" + std::to_string(v)))
                if (entry.is_regular_file())
                    contentSize_ += (int64_t)entry.file_size();
        if (GetParam().peer)
            StartSwarm(throttled);
        outside_ = Outside();
        site_ = Snapshot(nginx_->root());
    }

    // opentracker whitelisting releases 2 and 3, and a libtorrent seed of each
    // from the site's release folders; waits until the tracker lists both.
    void StartSwarm(bool throttled) {
        std::string folder = dir_ / "peers";
        fs::create_directories(folder);
        ASSERT_EQ(0, testsupport::RunCommand("chmod 755 '" + dir_.path() + "' '" + folder + "'"));
        std::string whitelist;
        std::vector<std::string> hashes;
        for (int v = 2; v <= 3; v++) {
            hashes.push_back(enginetest::TorrentHash(nginx_->root() + "/game_" + std::to_string(v) +
                                                     ".torrent"));
            ASSERT_EQ(40u, hashes.back().size());
            whitelist += hashes.back() + "\n";
        }
        testsupport::WriteFile(folder + "/whitelist", whitelist);
        chmod((folder + "/whitelist").c_str(), 0644);
        std::string port = std::to_string(trackerPort_);
        ASSERT_TRUE(tracker_.Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", port, "-P",
                                    port, "-d", folder, "-w", "whitelist"},
                                   folder + "/opentracker.txt"));
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] {
                int fd = enginetest::ConnectLocal(trackerPort_);
                if (fd >= 0)
                    close(fd);
                return fd >= 0;
            },
            30));
        if (throttled)
            environment_.Set("PORTICO_LT_UPLOAD_LIMIT", "100000");
        for (int v = 2; v <= 3; v++) {
            auto seed = std::make_unique<enginetest::Program>();
            std::string torrent = nginx_->root() + "/game_" + std::to_string(v) + ".torrent";
            ASSERT_TRUE(seed->Start(
                {"/usr/bin/python3",
                 std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py", "seed",
                 torrent, nginx_->root() + "/releases", std::to_string(enginetest::FreePort())},
                folder + "/seed" + std::to_string(v) + ".txt"));
            ASSERT_TRUE(seed->WaitFor("listening", 60)) << seed->Text();
            seeds_.push_back(std::move(seed));
        }
        // The seeds announce themselves; the driver's first announce must find them.
        for (const std::string &hash : hashes) {
            std::string escaped;
            for (size_t i = 0; i < hash.size(); i += 2)
                escaped += "%" + hash.substr(i, 2);
            std::string reply;
            EXPECT_TRUE(testsupport::WaitUntil(
                [&] {
                    testsupport::RunCommand("curl -s -g 'http://127.0.0.1:" + port +
                                                "/scrape?info_hash=" + escaped + "'",
                                            &reply);
                    return reply.find("8:completei1e") != std::string::npos;
                },
                60))
                << reply << tracker_.Text();
        }
    }

    // Every file of the test's folder but the installation, the driver's
    // output, the library's private folders and the peers' folder.
    std::map<std::string, std::string> Outside() const {
        return Snapshot(dir_.path(), {"install/", "patchctl.out", "access.log", ".config/",
                                      ".cache/", ".local/", "peers/"});
    }

    pid_t Start(bool hold = false) {
        std::vector<std::string> command = {PORTICO_PATCHCTL_PATH, "--client", GetParam().client,
                                            "--registry", "Software\\Vexil\\HeadlessUpdateTest"};
        if (hold)
            command.push_back("--hold");
        if (GetParam().peer)
            command.push_back("--no-web");
        for (const char *word : {"--package", "game"})
            command.push_back(word);
        command.push_back(nginx_->url("/"));
        command.push_back(install_);
        return testsupport::SpawnLogged(command, log_);
    }

    // The exit status; -2 after killing a driver still running after seconds.
    static int Finish(pid_t pid, int seconds = 180) {
        return testsupport::FinishChild(pid, seconds);
    }

    // Waits until the output holds text (false after seconds).
    bool WaitFor(const std::string &text, int seconds = 60) {
        return testsupport::WaitUntil(
            [&] { return testsupport::ReadFile(log_).find(text) != std::string::npos; }, seconds);
    }

    int64_t ServedContent() const {
        return ServedBytes(testsupport::ReadFile(dir_ / "access.log"), "/releases/");
    }

    void ExpectVersion3Installed() {
        std::string output;
        EXPECT_EQ(0, testsupport::RunCommand("cd '" + install_ + "' && sha1sum --quiet -c '" +
                                                 nginx_->root() + "/game_3.sha1' 2>&1",
                                             &output))
            << output;
        int32_t inProgress = -1;
        EXPECT_EQ(3, ReadInstalledVersion(install_ + "game.version", &inProgress));
        EXPECT_EQ(0, inProgress);
        const Tree &v3 = versions_[2];
        // The output folders of the updates, when kept, hold their release's
        // files as published and nothing else.
        std::map<std::string, std::string> site = Snapshot(nginx_->root());
        for (const auto &[name, hash] : Snapshot(install_)) {
            if (name == "game.version")
                continue;
            if (name.rfind("game_2/", 0) == 0 || name.rfind("game_3/", 0) == 0) {
                auto published = site.find("releases/" + name.substr(5, 1) + name.substr(6));
                EXPECT_TRUE(published != site.end() &&
                            published->second.substr(0, 40) == hash.substr(0, 40))
                    << "not of its release: " << name;
                continue;
            }
            auto found = v3.find(name);
            EXPECT_NE(v3.end(), found) << "left in the installation: " << name;
            if (found != v3.end()) {
                EXPECT_EQ(found->second.second ? "493" : "420", hash.substr(41)) << name;
            }
        }
        for (const char *removed : {"old only.txt", "data/levels/level 2.txt"})
            EXPECT_FALSE(fs::exists(install_ + removed)) << removed;
        EXPECT_EQ(outside_, Outside());
        EXPECT_EQ(site_, Snapshot(nginx_->root()));
    }

    std::string Output() const { return testsupport::ReadFile(log_); }

    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
    std::unique_ptr<nettest::NginxServer> nginx_;
    enginetest::Program tracker_;
    std::vector<std::unique_ptr<enginetest::Program>> seeds_;
    int trackerPort_ = 0;
    std::string install_;
    std::string log_;
    std::vector<Tree> versions_;
    int64_t contentSize_ = 0;
    std::map<std::string, std::string> outside_, site_;
};

TEST_P(HeadlessUpdateTest, UpdatesVersionOneToTheNewest) {
    Publish(24, false);
    if (IsSkipped())
        return;
    pid_t pid = Start();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(0, Finish(pid)) << Output();
    std::string output = Output();
    EXPECT_NE(std::string::npos, output.find("VERSIONCHECK [game] 1 [v1] -> 2 [v2]")) << output;
    EXPECT_NE(std::string::npos, output.find("VERSIONCHECK [game] 2 [v2] -> 3 [v3]")) << output;
    ExpectVersion3Installed();
    // Each content byte once from its source: the peer alone, or nginx.
    EXPECT_EQ(GetParam().peer ? 0 : contentSize_, ServedContent());
}

TEST_P(HeadlessUpdateTest, UpdatesThroughRandomKillsAndRestarts) {
    const char *given = getenv("PORTICO_SEED");
    unsigned seed = given != nullptr ? (unsigned)std::stoul(given) : std::random_device{}();
    const char *count = getenv("PORTICO_KILLS");
    int kills = count != nullptr ? std::stoi(count) : 5;
    std::cout << "seed " << seed << ", " << kills << " kills" << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    Publish(seed, true);
    if (IsSkipped())
        return;
    std::mt19937 random(seed);
    // Kills at moments of every phase of both updates: a marker drawn for
    // each, in the order of the update, and a delay within its phase.
    std::vector<Marker> markers = Markers(install_);
    std::vector<std::pair<int, int>> targets; // marker, delay in ms
    for (int k = 0; k < kills; k++) {
        int marker = (int)(random() % markers.size());
        targets.emplace_back(marker, (int)(random() % (markers[marker].windowMs + 1)));
    }
    std::sort(targets.begin(), targets.end());
    int status = -1;
    int killed = 0;
    bool resumable = false; // a kill came after the task was saved in progress
    int downloadKills = 0;  // kills that may have found content on the way
    for (size_t k = 0; status != 0; k++) {
        size_t from = Output().size();
        pid_t pid = Start();
        ASSERT_GT(pid, 0);
        if (k >= targets.size()) {
            status = Finish(pid);
            break;
        }
        const Marker &target = markers[targets[k].first];
        int exited = 0;
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] {
                int raw = 0;
                if (waitpid(pid, &raw, WNOHANG) == pid) {
                    exited = 1;
                    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                    return true;
                }
                return Reached(markers, Output().substr(from)) >= targets[k].first;
            },
            180))
            << "no " << target.phase << " of release " << target.release << "\n"
            << Output();
        if (exited) {
            ASSERT_EQ(0, status) << Output();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(targets[k].second));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        killed++;
        std::string reached = Output().substr(from);
        int at = Reached(markers, reached);
        bool downloading = at < 0 || std::string(markers[at].phase) == "settings fetch" ||
                           std::string(markers[at].phase) == "download";
        resumable |= !downloading;
        downloadKills += downloading ? 1 : 0;
        std::cout << "kill " << killed << ": release " << target.release << " " << target.phase
                  << " +" << targets[k].second << " ms, last seen "
                  << (at >= 0 ? std::to_string(markers[at].release) + " " + markers[at].phase
                              : std::string("nothing"))
                  << std::endl;
    }
    ASSERT_EQ(0, status) << Output();
    std::cout << killed << " kills (" << downloadKills << " while downloading), content "
              << contentSize_ << " bytes, served " << ServedContent() << std::endl;
    ExpectVersion3Installed();
    if (resumable) {
        EXPECT_NE(std::string::npos, Output().find("Restart previous")) << Output();
    }
    if (GetParam().peer) {
        EXPECT_EQ(0, ServedContent());
    } else if (std::string(GetParam().client) == "engine") {
        // A restart resumes from what is on disk: only the pieces in flight
        // at a kill during a download come again.
        EXPECT_LE(ServedContent(), contentSize_ + downloadKills * kPiecesPerKill * kPieceSize);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, HeadlessUpdateTest,
                         ::testing::Values(HeadlessRun{"IncrementalVcDiff", "engine", false},
                                           HeadlessRun{"Incremental", "engine", false},
                                           HeadlessRun{"Incremental", "engine", true},
                                           HeadlessRun{"IncrementalVcDiff", "web", false},
                                           HeadlessRun{"Incremental", "web", false}),
                         RunName);

} // namespace
