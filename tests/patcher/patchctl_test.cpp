// The headless driver as a program: a package served by nginx that is already
// installed at its newest release completes and the driver exits 0; a bad
// command line exits 2; SIGTERM during an update shuts the library down and
// exits with 128 + the signal, the installation's version file left readable.
// The update itself, from a published site, is in headless_update_test.cpp.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/patcher/patcher_fixture.h"
#include "tests/patcher/update_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

namespace {

using updatetest::PackageDocument;
using updatetest::ReadInstalledVersion;
using updatetest::WriteVersion;

class PatchctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment_.Set("HOME", dir_.path());
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        install_ = dir_ / "install/";
        std::filesystem::create_directories(install_);
        log_ = dir_ / "patchctl.out";
    }
    pid_t Start(const std::vector<std::string> &args) {
        std::vector<std::string> command = {PORTICO_PATCHCTL_PATH, "--registry",
                                            "Software\\Vexil\\PatchctlTest"};
        command.insert(command.end(), args.begin(), args.end());
        return testsupport::SpawnLogged(command, log_);
    }
    std::vector<std::string> Package() const {
        return {"--package", "game", nginx_.url("/"), install_};
    }
    // The exit status, or -2 after killing a driver still running after seconds.
    static int Finish(pid_t pid, int seconds = 30) {
        return testsupport::FinishChild(pid, seconds);
    }
    std::string Output() const { return testsupport::ReadFile(log_); }

    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
    nettest::NginxServer nginx_;
    std::string install_;
    std::string log_;
};

TEST_F(PatchctlTest, AnUpToDateInstallationCompletesAndExitsZero) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    testsupport::WriteFile(nginx_.root() + "/game.package",
                           PackageDocument("Incremental", {{1}, {2}}));
    WriteVersion(install_ + "game.version", 2);
    pid_t pid = Start(Package());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(0, Finish(pid)) << Output();
    std::string output = Output();
    EXPECT_NE(std::string::npos, output.find("PATCHER_STATE_ALLTASKSCOMPLETE")) << output;
    EXPECT_NE(std::string::npos, output.find("LOG ")) << output;
    EXPECT_NE(std::string::npos, output.find("patchctl: every update complete")) << output;
    EXPECT_EQ(2, ReadInstalledVersion(install_ + "game.version"));
}

TEST_F(PatchctlTest, BadCommandLinesExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--package", "game", "http://127.0.0.1:9/x"},
        {"--target", "soon", "--list", "l", "http://127.0.0.1:9/l"},
        {"--unknown"},
        {"--client", "udp", "--package", "game", "http://127.0.0.1:9/x", "/tmp/x/"},
        {"--package", "game", "http://127.0.0.1:9/x", "/tmp/x/", "--client"},
    };
    for (const auto &args : cases) {
        pid_t pid = Start(args);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(2, Finish(pid)) << Output();
    }
}

TEST_F(PatchctlTest, SigtermDuringAnUpdateShutsDownAndExits) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    // The download's settings container comes from a server that takes the
    // connection and never answers, so the task is still waiting when the
    // signal comes.
    int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(silent, 4));
    ASSERT_EQ(0, getsockname(silent, reinterpret_cast<sockaddr *>(&address), &length));
    std::string document = PackageDocument("Incremental", {{1}, {2}});
    std::string skin = "http://127.0.0.1:9/skin";
    std::string quiet = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/skin";
    for (size_t at = document.find(skin); at != std::string::npos; at = document.find(skin, at))
        document.replace(at, skin.size(), quiet);
    testsupport::WriteFile(nginx_.root() + "/game.package", document);
    WriteVersion(install_ + "game.version", 1);
    pid_t pid = Start(Package());
    ASSERT_GT(pid, 0);
    // The offer is taken by default and the task waits on its download.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Output().find("VERSIONCHECK [game] 1 [v1] -> 2 [v2], taking 2") == std::string::npos &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(std::string::npos, Output().find("taking 2")) << Output();
    ASSERT_EQ(0, kill(pid, SIGTERM));
    EXPECT_EQ(128 + SIGTERM, Finish(pid)) << Output();
    EXPECT_NE(std::string::npos, Output().find("patchctl: stopped by a signal")) << Output();
    int version = ReadInstalledVersion(install_ + "game.version");
    EXPECT_TRUE(version == 1 || version == 2) << version;
    close(silent);
}

} // namespace
