// Process launch: exit codes, argument splitting with quotes, working folder,
// failures, stop flags that end a wait, reaping of children nobody waits for, and
// finding a running program by its executable's name.
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/process.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "tests/support/support.h"

namespace {

// A copy of sleep(1) under a name no other process has.
std::string MakeSleeper(const testsupport::TempDir &dir, const char *tag) {
    std::string path = dir / (std::string("portico-") + tag + "-" + std::to_string(getpid()));
    testsupport::WriteFile(path, testsupport::ReadFile("/bin/sleep"));
    chmod(path.c_str(), 0755);
    return path;
}

// Waits (bounded) until /proc no longer lists pid: the child ended and was reaped.
bool WaitUntilGone(int pid) {
    std::string entry = "/proc/" + std::to_string(pid);
    for (int i = 0; i < 10000; i++) {
        if (!testsupport::FileExists(entry))
            return true;
        usleep(1000);
    }
    return false;
}

TEST(Process, WaitReturnsTheChildsExitCode) {
    struct Case {
        const char *Arguments;
        int Code;
    } cases[] = {{"-c \"exit 7\"", 7}, {"-c \"exit 0\"", 0}, {"-c \"kill -9 $$\"", -1}};
    for (const Case &c : cases) {
        int code = 99;
        EXPECT_EQ(1, WinProcessHelper_Launch(0, "/bin/sh", c.Arguments, nullptr, 1, nullptr, &code))
            << c.Arguments;
        EXPECT_EQ(c.Code, code) << c.Arguments;
    }
    int code = 99;
    EXPECT_EQ(1, WinProcessHelper_LaunchWait(&code, "", nullptr, "sh", "-c \"exit 3\"", 1));
    EXPECT_EQ(3, code); // found on PATH
}

TEST(Process, ArgumentsSplitByQuotesAndTheWorkingFolderHonoured) {
    testsupport::TempDir dir;
    StopFlag stop;
    int code = 99;
    // "" inside a quoted argument stands for one quote; the folder loses its quotes.
    const char *arguments = "-c \"printf '%s|%s' \"\"$0\"\" \"\"$1\"\" > out.txt\" "
                            "\"two words\" \"say \"\"hi\"\"\"";
    std::string folder = "\"" + dir.path() + "\"";
    ASSERT_EQ(
        1, WinProcessHelper_LaunchWait(&code, folder.c_str(), &stop, "\"/bin/sh\"", arguments, 0));
    EXPECT_EQ(0, code);
    EXPECT_EQ("two words|say \"hi\"", testsupport::ReadFile(dir / "out.txt"));
}

TEST(Process, ChildrenReadNothingFromOurInput) {
    int code = 99;
    // cat ends at once on /dev/null instead of waiting for a terminal.
    EXPECT_EQ(1, WinProcessHelper_Launch(0, "/bin/cat", "", nullptr, 1, nullptr, &code));
    EXPECT_EQ(0, code);
}

TEST(Process, FailuresAreReportedNotCut) {
    int code = 99;
    EXPECT_EQ(0,
              WinProcessHelper_Launch(0, "/no/such/program", nullptr, nullptr, 1, nullptr, &code));
    EXPECT_EQ(-1, code);
    code = 99;
    EXPECT_EQ(0, WinProcessHelper_LaunchWait(&code, nullptr, nullptr, "/no/such/program", "", 0));
    EXPECT_EQ(-1, code);
    std::string longArguments(PROCESS_COMMAND_LINE_MAX, 'a');
    EXPECT_EQ(0, WinProcessHelper_Launch(0, "/bin/true", longArguments.c_str(), nullptr, 1, nullptr,
                                         &code));
    std::string fits(PROCESS_COMMAND_LINE_MAX - 3 - 9, 'a'); // "/bin/true" is 9
    EXPECT_EQ(1, WinProcessHelper_Launch(0, "/bin/true", fits.c_str(), nullptr, 1, nullptr, &code));
    EXPECT_EQ(0, code);
}

struct StopContext {
    std::string Program;
    StopFlag Stop;
    std::atomic<int> Returned{0}; // the launch returned: stop looking
};

// Raises the stop flag once the program is seen running.
uint32_t StopWhenRunning(void *argument) {
    StopContext *context = static_cast<StopContext *>(argument);
    while (!context->Returned && !WinProcessHelper_IsRunning(context->Program.c_str()))
        Thread_Yield();
    StopFlag_Set(&context->Stop, 1);
    return 0;
}

TEST(Process, AStopFlagEndsTheWaitAndLeavesTheChildRunning) {
    testsupport::TempDir dir;
    StopContext context;
    context.Program = MakeSleeper(dir, "stopwait");
    ThreadStruct *thread = nullptr;
    ASSERT_EQ(1, Thread_Create(&thread, &context, StopWhenRunning));
    int code = 99;
    EXPECT_EQ(0, WinProcessHelper_LaunchWait(&code, nullptr, &context.Stop, context.Program.c_str(),
                                             "60", 0));
    context.Returned = 1;
    EXPECT_EQ(-1, code);
    Thread_Wait(thread, THREAD_WAIT_INFINITE);
    Thread_Close(&thread);
    int pid = 0;
    ASSERT_EQ(1, WinProcessHelper_FindProcess(context.Program.c_str(), &pid));
    kill(pid, SIGKILL);
    EXPECT_TRUE(WaitUntilGone(pid)); // reaped although nobody waits for it

    // A flag raised before the launch gives up at once.
    StopFlag stop;
    StopFlag_Set(&stop, 1);
    EXPECT_EQ(0,
              WinProcessHelper_Launch(0, context.Program.c_str(), "60", nullptr, 1, &stop, &code));
    ASSERT_EQ(1, WinProcessHelper_FindProcess(context.Program.c_str(), &pid));
    kill(pid, SIGKILL);
    EXPECT_TRUE(WaitUntilGone(pid));
}

TEST(Process, IsRunningFindsAndThenLosesAStartedProgram) {
    testsupport::TempDir dir;
    std::string program = MakeSleeper(dir, "running");
    EXPECT_EQ(0, WinProcessHelper_IsRunning(program.c_str()));
    ASSERT_EQ(1, WinProcessHelper_LaunchHidden("60", program.c_str()));
    int pid = 0;
    while (!WinProcessHelper_FindProcess(program.c_str(), &pid))
        Thread_Yield();
    // Only the file-name part counts, compared with case.
    std::string elsewhere = "/some/other/folder/" + program.substr(program.rfind('/') + 1);
    EXPECT_EQ(1, WinProcessHelper_IsRunning(elsewhere.c_str()));
    std::string upper = program;
    for (char &c : upper)
        c = (char)toupper((unsigned char)c);
    EXPECT_EQ(0, WinProcessHelper_IsRunning(upper.c_str()));
    kill(pid, SIGKILL);
    // Dead (even before it is reaped) means not running.
    while (WinProcessHelper_IsRunning(program.c_str()))
        Thread_Yield();
    EXPECT_TRUE(WaitUntilGone(pid));
}

TEST(Process, AProgramReplacedOnDiskStillCounts) {
    testsupport::TempDir dir;
    std::string program = MakeSleeper(dir, "replaced");
    ASSERT_EQ(1, WinProcessHelper_LaunchShown(program.c_str(), "60"));
    int pid = 0;
    while (!WinProcessHelper_FindProcess(program.c_str(), &pid))
        Thread_Yield();
    unlink(program.c_str()); // as a self-update replaces the launcher's file
    EXPECT_EQ(1, WinProcessHelper_IsRunning(program.c_str()));
    kill(pid, SIGKILL);
    EXPECT_TRUE(WaitUntilGone(pid));
}

} // namespace
