// Test support: temporary folders, child processes and file helpers.
#include "tests/support/support.h"

#include "core/sha1.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

std::map<std::string, ChildMain> &Children() {
    static std::map<std::string, ChildMain> children;
    return children;
}

} // namespace

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/portico-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

bool FileExists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

namespace {

// A finished SHA-1 run over bytes; the caller destroys it.
Sha1Struct *Sha1Over(const std::string &bytes) {
    Sha1Struct *sha = nullptr;
    Sha1_Create(&sha);
    Sha1_Update(sha, bytes.data(), (int64_t)bytes.size());
    Sha1_Final(sha);
    return sha;
}

} // namespace

std::string Sha1Bytes(const std::string &bytes) {
    Sha1Struct *sha = Sha1Over(bytes);
    uint8_t digest[20];
    Sha1_GetDigest(sha, digest, 20);
    Sha1_Destroy(&sha);
    return std::string(reinterpret_cast<char *>(digest), 20);
}

std::string Sha1Hex(const std::string &bytes) {
    Sha1Struct *sha = Sha1Over(bytes);
    char hex[64];
    Sha1_GetHexString(sha, 0, hex, sizeof hex);
    Sha1_Destroy(&sha);
    return hex;
}

int RunCommand(const std::string &command, std::string *output) {
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        if (output)
            output->append(chunk, n);
    }
    int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool HaveProgram(const std::string &name) {
    return RunCommand("command -v '" + name + "' >/dev/null 2>&1") == 0;
}

std::string SelfPath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0)
        return {};
    path[n] = '\0';
    return path;
}

bool RegisterChild(const char *name, ChildMain main) {
    Children()[name] = main;
    return true;
}

pid_t SpawnChild(const std::string &name, const std::vector<std::string> &args) {
    std::string self = SelfPath();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(self.c_str()));
    argv.push_back(const_cast<char *>("--child"));
    argv.push_back(const_cast<char *>(name.c_str()));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
}

pid_t SpawnLogged(const std::vector<std::string> &args, const std::string &logPath) {
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(0, error) << args[0];
    return error == 0 ? pid : -1;
}

int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FinishChild(pid_t pid, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a registered child entry when the program was started as one; returns
// false when this is an ordinary test run.
bool RunChildIfAsked(int argc, char **argv, int *status) {
    if (argc < 3 || strcmp(argv[1], "--child") != 0)
        return false;
    auto found = Children().find(argv[2]);
    if (found == Children().end()) {
        fprintf(stderr, "unknown test child '%s'\n", argv[2]);
        *status = 127;
        return true;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    *status = found->second(args);
    return true;
}

bool WaitUntil(const std::function<bool()> &done, double seconds) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(seconds * 1000));
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace testsupport
