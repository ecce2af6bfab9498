// Crash dumps: a program with the handlers installed that dereferences null on
// a second thread dies by SIGSEGV and leaves "<program>.dmp", which the reader
// prints with the signal, the address, the frames and the mappings (a full
// dump adds the writable mappings' bytes); a SIGSEGV sent to a waiting
// self-updater leaves its dump too.
#include "platform/crashdump.h"
#include "tests/support/support.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::SpawnLogged;
using testsupport::TempDir;

namespace {

// The signal that ended the child, 0 when it exited.
int WaitSignal(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

template <typename Predicate> bool Eventually(Predicate predicate) {
    for (int i = 0; i < 3000; i++) {
        if (predicate())
            return true;
        usleep(10000);
    }
    return predicate();
}

// A copy of a built program in the folder, so its dump is written there.
std::string CopyProgram(const TempDir &dir, const std::string &from, const std::string &name) {
    std::string to = dir / name;
    std::filesystem::copy_file(from, to);
    EXPECT_EQ(0, chmod(to.c_str(), 0755));
    return to;
}

std::string ReadDump(const std::string &dump) {
    std::string out;
    EXPECT_EQ(0, testsupport::RunCommand(std::string(PORTICO_DUMPREADER_PATH) + " " + dump, &out))
        << out;
    return out;
}

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The text of the reader's section `name` (up to the next unindented title).
std::string Section(const std::string &text, const std::string &name) {
    size_t start = text.find("\n" + name + "\n");
    if (start == std::string::npos)
        return "";
    start += name.size() + 2;
    size_t end = start;
    while (end < text.size() && text[end] == ' ')
        end = text.find('\n', end) + 1;
    return text.substr(start, end - start);
}

TEST(CrashDumpTest, NullDereferenceOnASecondThreadLeavesADumpOfItsKind) {
    for (const char *type : {"normal", "full"}) {
        SCOPED_TRACE(type);
        TempDir dir;
        std::string victim = CopyProgram(dir, PORTICO_CRASH_VICTIM_PATH, "victim");
        pid_t pid = SpawnLogged({victim, type, "null"}, dir / "victim.log");
        ASSERT_EQ(SIGSEGV, WaitSignal(pid)) << ReadFile(dir / "victim.log");
        ASSERT_TRUE(FileExists(victim + ".dmp"));
        std::string text = ReadDump(victim + ".dmp");

        EXPECT_TRUE(Has(text, "signal 11 (SIGSEGV) code 1\naddress 0x0000000000000000\n")) << text;
        EXPECT_TRUE(Has(text, "process " + std::to_string(pid) + " thread ")) << text;
        EXPECT_FALSE(Has(text, "thread " + std::to_string(pid) + "\n")) << text; // not main
        EXPECT_TRUE(Has(text, "program " + victim + "\n")) << text;
        EXPECT_TRUE(Has(text, std::string("type ") + type + "\n")) << text;
        // The first frame is the faulting instruction, in the program itself,
        // and the thread's start routine of the C library follows.
        std::string frames = Section(text, "frames");
        EXPECT_TRUE(Has(frames, "  #0 0x")) << text;
        EXPECT_TRUE(Has(frames.substr(0, frames.find('\n')), victim + "+0x")) << text;
        EXPECT_TRUE(Has(frames, "libc.so")) << text;
        std::string rip = Section(text, "registers");
        size_t at = rip.find("  rip     ");
        ASSERT_NE(std::string::npos, at) << text;
        EXPECT_EQ(rip.substr(at + 10, 18), frames.substr(frames.find("0x"), 18)) << text;
        // The mappings as the process saw them.
        std::string maps = text.substr(text.find("\nmaps\n") + 6);
        EXPECT_TRUE(Has(maps, victim + "\n")) << text;
        EXPECT_TRUE(Has(maps, "[stack]")) << text;
        std::string memory = Section(text, "memory");
        if (std::string(type) == "full") {
            EXPECT_TRUE(Has(memory, " bytes\n")) << text;
        } else {
            EXPECT_EQ("", memory) << text;
        }
    }
}

TEST(CrashDumpTest, FullDumpIsTheNormalOnePlusTheWritableMappings) {
    TempDir dir;
    std::string victim = CopyProgram(dir, PORTICO_CRASH_VICTIM_PATH, "victim");
    ASSERT_EQ(SIGSEGV, WaitSignal(SpawnLogged({victim, "normal", "null"}, dir / "victim.log")));
    int64_t normal = (int64_t)std::filesystem::file_size(victim + ".dmp");
    ASSERT_EQ(SIGSEGV, WaitSignal(SpawnLogged({victim, "full", "null"}, dir / "victim.log")));
    int64_t full = (int64_t)std::filesystem::file_size(victim + ".dmp");
    std::string text = ReadDump(victim + ".dmp");
    // Each range listed is in the file, so the file holds at least their sum.
    int64_t sum = 0;
    std::string memory = Section(text, "memory");
    size_t at = 0;
    while ((at = memory.find('-', at)) != std::string::npos) {
        size_t space = memory.find(' ', at);
        sum += std::stoll(memory.substr(space + 1));
        at = space;
    }
    EXPECT_GT(sum, 0) << text;
    EXPECT_GT(full, normal + sum - 1) << text;
    // Every writable private mapping in the maps, not over the limit, is there.
    std::string maps = text.substr(text.find("\nmaps\n") + 6);
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line) && line != "memory") {
        std::string range = line.substr(0, line.find(' '));
        std::string perms = line.substr(line.find(' ') + 1, 4);
        if (perms[0] != 'r' || perms[1] != 'w' || perms[3] != 'p')
            continue;
        uint64_t start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        uint64_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        if (end - start > (uint64_t)CRASHDUMP_MAPPING_LIMIT)
            continue;
        char want[64];
        snprintf(want, sizeof(want), "0x%016llx-0x%016llx", (unsigned long long)start,
                 (unsigned long long)end);
        EXPECT_TRUE(Has(memory, want)) << line << "\n" << text;
    }
}

// A stack overflow, on the main thread or on a thread of the core runtime,
// is dumped from that thread's alternate stack.
TEST(CrashDumpTest, StackOverflowIsDumpedFromTheAlternateStack) {
    for (const char *mode : {"overflow", "thread-overflow"}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        std::string victim = CopyProgram(dir, PORTICO_CRASH_VICTIM_PATH, "victim");
        pid_t pid = SpawnLogged({victim, "normal", mode}, dir / "victim.log");
        ASSERT_EQ(SIGSEGV, WaitSignal(pid)) << ReadFile(dir / "victim.log");
        ASSERT_TRUE(FileExists(victim + ".dmp"));
        std::string text = ReadDump(victim + ".dmp");
        EXPECT_TRUE(Has(text, "signal 11 (SIGSEGV) code ")) << text;
        bool main = std::string(mode) == "overflow";
        EXPECT_EQ(main, Has(text, "thread " + std::to_string(pid) + "\n")) << text;
        // The innermost frames are the recursion, in the program.
        std::string frames = Section(text, "frames");
        EXPECT_TRUE(Has(frames, "  #1 0x")) << text;
        EXPECT_TRUE(Has(frames.substr(0, frames.find('\n')), victim + "+0x")) << text;
    }
}

TEST(CrashDumpTest, SignalSentToAWaitingProgramLeavesItsDump) {
    TempDir dir;
    std::string victim = CopyProgram(dir, PORTICO_CRASH_VICTIM_PATH, "victim");
    pid_t pid = SpawnLogged({victim, "normal", "wait"}, dir / "victim.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(Eventually([&] { return ReadFile(dir / "victim.log") == "ready\n"; }));
    kill(pid, SIGSEGV);
    ASSERT_EQ(SIGSEGV, WaitSignal(pid));
    std::string text = ReadDump(victim + ".dmp");
    EXPECT_TRUE(
        Has(text, "signal 11 (SIGSEGV) code 0\nsent by process " + std::to_string(getpid()) + "\n"))
        << text;
    EXPECT_TRUE(Has(text, "process " + std::to_string(pid) + " thread " + std::to_string(pid)))
        << text;
}

TEST(CrashDumpTest, BadDumpsAreRefusedByTheReader) {
    TempDir dir;
    std::string victim = CopyProgram(dir, PORTICO_CRASH_VICTIM_PATH, "victim");
    ASSERT_EQ(SIGSEGV, WaitSignal(SpawnLogged({victim, "normal", "null"}, dir / "victim.log")));
    std::string good = ReadFile(victim + ".dmp");
    const struct {
        const char *name;
        std::string bytes;
        const char *message;
    } cases[] = {
        {"empty", "", "shorter than a dump header"},
        {"other file", std::string(200, 'x'), "not a crash dump"},
        {"cut in a section", good.substr(0, good.size() - 10), "section longer than the file"},
        {"cut in a section header", good.substr(0, sizeof(CrashDumpHeader) + 4),
         "section header cut short"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir / "bad.dmp";
        testsupport::WriteFile(path, c.bytes);
        std::string out;
        EXPECT_NE(0, testsupport::RunCommand(
                         std::string(PORTICO_DUMPREADER_PATH) + " " + path + " 2>&1", &out));
        EXPECT_TRUE(Has(out, c.message)) << out;
    }
}

} // namespace
