// The diagnostics log: targets and names (dated, per thread, error file), the flag
// word's effects, separators, hex dumps, the fatal report and its hook.
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "core/zyl.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

using testing::ExitedWithCode;

// 7 December 2026 12:34:56 UTC.
int64_t FixedTime() {
    return 1796646896;
}

// Points the log at a file for one test and restores the test program's settings.
class LogFile {
  public:
    LogFile(const std::string &path, int flags) {
        setenv("TZ", "UTC", 1);
        tzset();
        Zyl_SetLogTimeSource(FixedTime);
        Zyl_GetLogOptions(savedPath_, sizeof(savedPath_), &savedFlags_);
        Zyl_SetLogOptions(path.c_str(), flags);
    }
    ~LogFile() {
        Zyl_SetLogOptions(savedPath_, savedFlags_);
        Zyl_SetLogTimeSource(nullptr);
    }

  private:
    char savedPath_[ZYL_PATH_SIZE + 1];
    int savedFlags_ = 0;
};

TEST(ZylLog, WritesLinesToTheFileAndTruncatesOnlyOnce) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "debug.log", "old content\n");
    {
        LogFile log(dir / "debug.log", ZYL_LOG_FILE);
        Zyl_Print("first %d\n", 1);
        Zyl_PrintIndented(2, "second\n");
        Zyl_PrintRaw("raw\n");
    }
    EXPECT_EQ(testsupport::ReadFile(dir / "debug.log"), "first 1\n        second\nraw\n");
}

TEST(ZylLog, TimestampPrefixAndBellReplacement) {
    testsupport::TempDir dir;
    {
        LogFile log(dir / "t.log", ZYL_LOG_FILE | ZYL_LOG_TIMESTAMP | ZYL_LOG_NO_BEL);
        Zyl_Print("ring\a\n");
    }
    EXPECT_EQ(testsupport::ReadFile(dir / "t.log"), "12/07/2026 12:34:56 ring \n");
}

TEST(ZylLog, DatedAndPerThreadNames) {
    testsupport::TempDir dir;
    int thread = 0;
    {
        LogFile log(dir / "debug.log",
                    ZYL_LOG_FILE | ZYL_LOG_DATED_NAME | ZYL_LOG_PER_THREAD | ZYL_LOG_APPEND);
        Zyl_Print("main\n");
        std::thread other([&thread] {
            thread = (int)syscall(SYS_gettid);
            Zyl_Print("other\n");
        });
        other.join();
    }
    EXPECT_EQ(testsupport::ReadFile(dir / "debug-120726.log"), "main\n");
    EXPECT_EQ(testsupport::ReadFile(dir / ("debug-120726-" + std::to_string(thread) + ".log")),
              "other\n");
}

TEST(ZylLog, OnlyFormatFlagReachesTheCallbackButNoFile) {
    testsupport::TempDir dir;
    testsupport::ConsoleCapture capture;
    {
        LogFile log(dir / "quiet.log", ZYL_LOG_FORMAT_ALWAYS);
        Zyl_Print("to callback %s\n", "only");
    }
    EXPECT_TRUE(capture.Contains("to callback only\n"));
    EXPECT_FALSE(testsupport::FileExists(dir / "quiet.log"));
}

TEST(ZylLog, NothingIsFormattedWithLoggingOff) {
    testsupport::ConsoleCapture capture;
    {
        LogFile log("/nonexistent/x.log", 0);
        Zyl_Print("silent\n");
        Zyl_PrintRaw("silent\n");
    }
    EXPECT_EQ(capture.Text(), "");
}

TEST(ZylLog, SeparatorsAreSeventyNineCharacters) {
    testsupport::ConsoleCapture capture;
    Zyl_PrintSeparator("Memory Init");
    Zyl_PrintSeparator(nullptr);
    Zyl_PrintSeparator(std::string(100, 'x').c_str());
    std::string expected = "====[Memory Init]" + std::string(62, '=') + "\n" +
                           std::string(79, '=') + "\n" + "====[" + std::string(74, 'x') + "\n";
    EXPECT_EQ(capture.Text(), expected);
}

TEST(ZylLog, HexDump) {
    testsupport::ConsoleCapture capture;
    const uint8_t bytes[] = {'a', 0x01, 'z', 0xFF};
    Zyl_PrintHex(1, 1, bytes, sizeof(bytes));
    Zyl_PrintHex(0, 0, bytes, 2);
    EXPECT_EQ(capture.Text(), "a   z   \n61017AFF\n6101");
}

int LogError(const char *prefix, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int result = Zyl_LogMessageV(1, 0, prefix, "where.cpp", 33, format, args);
    va_end(args);
    return result;
}

TEST(ZylLog, ErrorMessagesCarryPrefixAndLocation) {
    testsupport::ConsoleCapture capture;
    EXPECT_EQ(LogError("WARNING: ", "value %d\n", 5), 1);
    EXPECT_EQ(capture.Text(), "\n\nWARNING: value 5\n       (where.cpp/33)\n");
    capture.Clear();
    Zyl_PrintUnlocked("unlocked %s\n", "line");
    EXPECT_EQ(capture.Text(), "unlocked line\n");
}

TEST(ZylLog, OverlongMessageIsCutAndNoticed) {
    testsupport::ConsoleCapture capture;
    std::string big(5000, 'y');
    Zyl_Print("%s", big.c_str());
    std::string text = capture.Text();
    EXPECT_NE(text.find(std::string(4095, 'y')), std::string::npos);
    EXPECT_EQ(text.find(std::string(4096, 'y')), std::string::npos);
    EXPECT_NE(text.find("***** Last string too large for debug buffer"), std::string::npos);
}

TEST(ZylLog, UnwritableLogIsReportedOnceUntilAWriteSucceeds) {
    testsupport::TempDir dir;
    {
        // The report latch is process-wide: an earlier test may have left it set.
        LogFile log(dir / "good.log", ZYL_LOG_FILE);
        Zyl_Print("ok\n");
    }
    std::string errors = dir / "stderr.txt";
    int saved = dup(2);
    int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    {
        LogFile log(dir / "missing/debug.log", ZYL_LOG_FILE);
        Zyl_Print("one\n");
        Zyl_Print("two\n");
    }
    {
        LogFile log(dir / "good.log", ZYL_LOG_FILE);
        Zyl_Print("ok\n");
    }
    {
        LogFile log(dir / "missing/debug.log", ZYL_LOG_FILE);
        Zyl_Print("three\n");
    }
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::string text = testsupport::ReadFile(errors);
    size_t first = text.find("Unable to create log file [");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("-- String [one\n]"), std::string::npos);
    EXPECT_EQ(text.find("-- String [two"), std::string::npos);
    EXPECT_NE(text.find("-- String [three"), std::string::npos);
}

TEST(ZylLog, FullDiskIsReportedOnce) {
    testsupport::TempDir dir;
    {
        LogFile log(dir / "good.log", ZYL_LOG_FILE); // a success re-arms the report
        Zyl_Print("ok\n");
    }
    std::string errors = dir / "stderr.txt";
    int saved = dup(2);
    int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    {
        LogFile log("/dev/full", ZYL_LOG_FILE | ZYL_LOG_APPEND);
        Zyl_Print("one\n");
        Zyl_Print("two\n");
    }
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::string text = testsupport::ReadFile(errors);
    EXPECT_EQ(text, "Unable to write log file [/dev/full] due to error [28]\n");
}

TEST(ZylLog, OptionsRoundTrip) {
    char path[ZYL_PATH_SIZE + 1];
    int flags = 0;
    {
        LogFile log("/tmp/some.log", ZYL_LOG_FORMAT_ALWAYS | ZYL_LOG_TIMESTAMP);
        Zyl_GetLogOptions(path, sizeof(path), &flags);
        EXPECT_STREQ(path, "/tmp/some.log");
        EXPECT_EQ(flags, ZYL_LOG_FORMAT_ALWAYS | ZYL_LOG_TIMESTAMP);
        EXPECT_EQ(Zyl_GetLogFlags(), flags);
    }
}

std::string ProgramDirectory() {
    std::string self = testsupport::SelfPath();
    return self.substr(0, self.rfind('/') + 1);
}

// Starts the log afresh with name in a child and exits 0 when its path is expected.
void ExpectInitPath(const char *name, int flags, const std::string &expected) {
    EXPECT_EXIT(
        {
            Zyl_CloseLog(); // ends the log, so a fresh Zyl_Init is allowed in the child
            Zyl_Init(name, flags);
            char path[ZYL_PATH_SIZE + 1];
            int got = 0;
            Zyl_GetLogOptions(path, sizeof(path), &got);
            _exit(expected == path ? 0 : 2);
        },
        ExitedWithCode(0), "")
        << name;
}

TEST(ZylLogDeath, InitResolvesTheLogPath) {
    struct Case {
        const char *Name;
        int Flags;
        std::string Expected;
    } cases[] = {
        {"x", ZYL_LOG_FORMAT_ALWAYS, ProgramDirectory() + "debug.log"}, // too short a name
        {"named.log", 0, ProgramDirectory() + "named.log"},             // beside the program
        {"/abs/a.log", 0, "/abs/a.log"},
    };
    for (const Case &c : cases)
        ExpectInitPath(c.Name, c.Flags, c.Expected);
}

TEST(ZylLogDeath, StartUpFaults) {
    EXPECT_EXIT(Zyl_Init("x", 0), ExitedWithCode(1), "ABORT: Rizozed already initialized\n");
    EXPECT_EXIT(Zyl_SetLogOptions(nullptr, ZYL_LOG_PER_THREAD), ExitedWithCode(1),
                "ABORT: Threaded logging requires append to be on\n");
}

TEST(ZylLogDeath, BannerAtSetOptions) {
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_CONSOLE | ZYL_LOG_BANNERS);
            _exit(0);
        },
        ExitedWithCode(0), "RizOzed v0.51\n");
}

// args: log path. Ends through the fatal path with an error line.
PORTICO_TEST_CHILD(fatal_to_error_file) {
    Zyl_SetLogTimeSource(FixedTime);
    setenv("TZ", "UTC", 1);
    tzset();
    Zyl_SetLogOptions(args[0].c_str(),
                      ZYL_LOG_FILE | ZYL_LOG_ERROR_FILE | ZYL_LOG_APPEND | ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_Print("before\n");
    ZYL_FATAL_AT("here.cpp", 12, "broken %s\n", "thing");
}

TEST(ZylLog, ErrorLinesGoToTheErrorFileWithATimestamp) {
    testsupport::TempDir dir;
    EXPECT_EQ(
        testsupport::WaitChild(testsupport::SpawnChild("fatal_to_error_file", {dir / "debug.log"})),
        1);
    EXPECT_EQ(testsupport::ReadFile(dir / "debug.log"), "before\n");
    EXPECT_EQ(testsupport::ReadFile(dir / "debug.err"),
              "12/07/2026 12:34:56 \n\nABORT: broken thing\n       (here.cpp/12)\n");
    EXPECT_EQ(
        testsupport::WaitChild(testsupport::SpawnChild("fatal_to_error_file", {dir / "debuglog"})),
        1);
    EXPECT_NE(testsupport::ReadFile(dir / "error.log").find("ABORT: broken thing"),
              std::string::npos);
}

// args: log path. Closes the log, then prints again: the file is re-opened for
// appending, without the lock.
PORTICO_TEST_CHILD(print_after_close) {
    Zyl_SetLogOptions(args[0].c_str(), ZYL_LOG_FILE);
    Zyl_Print("one\n");
    Zyl_CloseLog();
    Zyl_Print("two\n");
    Zyl_SetLogLockBypass(0);
    Zyl_LockLog();
    Zyl_LockLog(); // recursive for its owner
    Zyl_Print("three\n");
    Zyl_UnlockLog();
    Zyl_UnlockLog();
    char path[ZYL_PATH_SIZE + 1];
    int flags = 0;
    Zyl_GetLogOptions(path, sizeof(path), &flags);
    return (flags & ZYL_LOG_APPEND) ? 0 : 3;
}

TEST(ZylLog, PrintAfterCloseAppends) {
    testsupport::TempDir dir;
    EXPECT_EQ(testsupport::WaitChild(testsupport::SpawnChild("print_after_close", {dir / "c.log"})),
              0);
    EXPECT_EQ(testsupport::ReadFile(dir / "c.log"), "one\ntwo\nthree\n");
}

void ShoutingHook(const char *text) {
    std::string line = std::string("HOOK<") + text + ">";
    (void)!write(2, line.data(), line.size());
}

TEST(ZylLogDeath, FatalHookRunsUnlessMessageBoxesAreOff) {
    EXPECT_EXIT(
        {
            Zyl_SetLogOptions(nullptr, ZYL_LOG_FORMAT_ALWAYS);
            Zyl_SetFatalHook(ShoutingHook);
            Zyl_Fatal("boom\n");
        },
        ExitedWithCode(1), "HOOK<ABORT: boom\n");
    EXPECT_EXIT(
        {
            Zyl_SetFatalHook(ShoutingHook);
            Zyl_Fatal("quiet\n");
            // test program runs with 0x10: only the plain report
        },
        ExitedWithCode(1), "^\\s*ABORT: quiet\n[^H]*$");
}

} // namespace
