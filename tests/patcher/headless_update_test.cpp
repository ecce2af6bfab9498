// The headless update end to end: tools/publish makes a site from three
// generated trees, nginx serves it, and patchctl updates an installation of
// version 1 to 3, through the download engine's client or the HTTP stand-in. Checked: every
// file of version 3 by `sha1sum -c`, removed files gone, programs executable,
// the version file, no temporary left and nothing outside the installation
// changed; the same when the driver is killed at random moments and restarted.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "tests/patcher/patcher_fixture.h"
#include "tests/patcher/update_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using updatetest::ReadInstalledVersion;

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
// removed and added.
std::vector<Tree> MakeVersions(unsigned seed) {
    std::mt19937 random(seed);
    Tree v1;
    v1["game.bin"] = {RandomBytes(&random, 600 * 1024 + 77), false};
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
    Tree v3 = v2;
    v3["game.bin"].first = Edit(&random, v3["game.bin"].first);
    v3.erase("data/levels/level 2.txt");
    v3["extra/deep/x y.dat"] = {RandomBytes(&random, 70000), false};
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

// Every file below top as relative path -> SHA-1 and mode.
std::map<std::string, std::string> Snapshot(const std::string &top) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(top)) {
        if (!entry.is_regular_file())
            continue;
        struct stat info {};
        stat(entry.path().c_str(), &info);
        files[fs::relative(entry.path(), top).string()] =
            testsupport::Sha1Hex(testsupport::ReadFile(entry.path())) + " " +
            std::to_string(info.st_mode & 0777);
    }
    return files;
}

// One run of the table: the package type and the driver's download client.
struct HeadlessRun {
    const char *type;
    const char *client;
};

std::string RunName(const ::testing::TestParamInfo<HeadlessRun> &info) {
    return std::string(info.param.type) + "_" + info.param.client;
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

    // Publishes the versions and seeds the installation with version 1.
    void Publish(unsigned seed) {
        ASSERT_TRUE(nginx_.ok()) << nginx_.error();
        versions_ = MakeVersions(seed);
        std::string command = std::string(PORTICO_SOURCE_DIR) + "/tools/publish --type " +
                              GetParam().type + " --install " + install_ + " " + nginx_.url("/") +
                              " " + nginx_.root();
        for (size_t v = 0; v < versions_.size(); v++) {
            std::string tree = dir_ / ("trees/v" + std::to_string(v + 1));
            WriteTree(tree, versions_[v]);
            command += " " + tree;
        }
        std::string output;
        ASSERT_EQ(0, testsupport::RunCommand(command + " 2>&1", &output)) << output;
        trees_ = Snapshot(dir_ / "trees");
        site_ = Snapshot(nginx_.root());
    }

    pid_t Start(bool hold = false) {
        std::vector<std::string> command = {PORTICO_PATCHCTL_PATH, "--client", GetParam().client,
                                            "--registry", "Software\\Vexil\\HeadlessUpdateTest"};
        if (hold)
            command.push_back("--hold");
        for (const char *word : {"--package", "game"})
            command.push_back(word);
        command.push_back(nginx_.url("/"));
        command.push_back(install_);
        return testsupport::SpawnLogged(command, log_);
    }

    // The exit status; -2 after killing a driver still running after seconds.
    static int Finish(pid_t pid, int seconds = 120) {
        return testsupport::FinishChild(pid, seconds);
    }

    // Waits until the output holds text (false after seconds).
    bool WaitFor(const std::string &text, int seconds = 60) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (testsupport::ReadFile(log_).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    void ExpectVersion3Installed() {
        std::string output;
        EXPECT_EQ(0, testsupport::RunCommand("cd '" + install_ + "' && sha1sum --quiet -c '" +
                                                 nginx_.root() + "/game_3.sha1' 2>&1",
                                             &output))
            << output;
        int32_t inProgress = -1;
        EXPECT_EQ(3, ReadInstalledVersion(install_ + "game.version", &inProgress));
        EXPECT_EQ(0, inProgress);
        const Tree &v3 = versions_[2];
        for (const auto &[name, hash] : Snapshot(install_)) {
            if (name == "game.version" || name.rfind("game_", 0) == 0)
                continue; // the version file and the output folders of the updates
            auto found = v3.find(name);
            EXPECT_NE(v3.end(), found) << "left in the installation: " << name;
            if (found != v3.end()) {
                EXPECT_EQ(found->second.second ? "493" : "420", hash.substr(41)) << name;
            }
        }
        for (const char *removed : {"old only.txt", "data/levels/level 2.txt"})
            EXPECT_FALSE(fs::exists(install_ + removed)) << removed;
        EXPECT_EQ(trees_, Snapshot(dir_ / "trees"));
        EXPECT_EQ(site_, Snapshot(nginx_.root()));
    }

    std::string Output() const { return testsupport::ReadFile(log_); }

    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
    nettest::NginxServer nginx_;
    std::string install_;
    std::string log_;
    std::vector<Tree> versions_;
    std::map<std::string, std::string> trees_, site_;
};

TEST_P(HeadlessUpdateTest, UpdatesVersionOneToTheNewest) {
    Publish(24);
    pid_t pid = Start();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(0, Finish(pid)) << Output();
    std::string output = Output();
    EXPECT_NE(std::string::npos, output.find("VERSIONCHECK [game] 1 [v1] -> 2 [v2]")) << output;
    EXPECT_NE(std::string::npos, output.find("VERSIONCHECK [game] 2 [v2] -> 3 [v3]")) << output;
    ExpectVersion3Installed();
}

TEST_P(HeadlessUpdateTest, UpdatesThroughRandomKillsAndRestarts) {
    const char *given = getenv("PORTICO_SEED");
    unsigned seed = given != nullptr ? (unsigned)std::stoul(given) : std::random_device{}();
    std::cout << "seed " << seed << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    Publish(seed);
    std::mt19937 random(seed);
    // The first run is held before the commands of its first update and killed
    // there: the next run takes the task up again.
    pid_t pid = Start(true);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor("PREPROCESS [game]")) << Output();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    int status = -1;
    int runs = 0;
    for (; runs < 40 && status != 0; runs++) {
        pid = Start();
        ASSERT_GT(pid, 0);
        if (runs == 0) {
            EXPECT_TRUE(WaitFor("Restart previous")) << Output();
        }
        if (runs < 30) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1500));
            kill(pid, SIGKILL);
        }
        status = Finish(pid);
        ASSERT_NE(1, status) << Output();
        ASSERT_NE(-2, status) << Output();
    }
    ASSERT_EQ(0, status) << Output();
    std::cout << "runs " << runs << std::endl;
    ExpectVersion3Installed();
}

INSTANTIATE_TEST_SUITE_P(Types, HeadlessUpdateTest,
                         ::testing::Values(HeadlessRun{"IncrementalVcDiff", "engine"},
                                           HeadlessRun{"Incremental", "engine"},
                                           HeadlessRun{"IncrementalVcDiff", "web"},
                                           HeadlessRun{"Incremental", "web"}),
                         RunName);

} // namespace
