// Rotating transfer log with an injected clock in universal time: file names per
// period, headers once per file and per field change, buffering and flushing,
// cut lines, unbuffered mode and disabled logs.
#include <algorithm>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

#include "core/translog.h"
#include "core/zyl.h"
#include "tests/support/support.h"

namespace {

int64_t g_now = 0;
int64_t FakeClock(void *) {
    return g_now;
}

int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return (int64_t)timegm(&t);
}

const char kFields[] = "InfoHash ClientID Direction IPAddress IncomingBytes OutgoingBytes "
                       "ConfirmedBytes CorruptBytes DiscardedBytes TimeTaken";

class TransLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(1, Log_Create(&log_));
        Log_SetClock(log_, FakeClock, nullptr);
        Log_SetUniversalTime(log_, 1);
        Log_SetBaseName(log_, (dir_.path() + "/logs/").c_str());
        Log_SetFields(log_, kFields);
        Log_SetEnabled(log_, 1);
        g_now = Utc(2026, 3, 5, 14, 10, 0);
    }
    void TearDown() override { Log_Destroy(&log_); }
    size_t Lines(const char *name) {
        std::string text = Read(name);
        return (size_t)std::count(text.begin(), text.end(), '\n');
    }
    std::string Read(const char *name) { return testsupport::ReadFile(dir_ / "logs/" + name); }
    bool Exists(const char *name) { return testsupport::FileExists(dir_ / "logs/" + name); }

    testsupport::TempDir dir_;
    LogStruct *log_ = nullptr;
};

TEST_F(TransLogTest, FirstLineOfADayFollowsTheTwoHeaderLines) {
    ASSERT_EQ(1, Log_Write(log_, "%s %d", "peer", 42));
    EXPECT_FALSE(Exists("y26 m03 d05.log")); // still buffered
    Log_Flush(log_);
    EXPECT_EQ(std::string("#Date: 2026-03-05 14:10:00\n#Fields: Date Time ") + kFields +
                  "\n2026-03-05 14:10:00 peer 42\n",
              Read("y26 m03 d05.log"));
    char name[400];
    EXPECT_EQ(1, Log_GetFileName(log_, name, sizeof(name)));
    EXPECT_EQ(dir_ / "logs/y26 m03 d05.log", name);
}

TEST_F(TransLogTest, FileNamesForEachPeriod) {
    struct Case {
        int Period;
        int64_t When;
        const char *Name;
    } cases[] = {
        {LOG_PERIOD_HOURLY, Utc(2026, 3, 5, 14, 59, 0), "y26 m03 d05 h14.log"},
        {LOG_PERIOD_HOURLY, Utc(2026, 3, 5, 15, 0, 0), "y26 m03 d05 h15.log"},
        {LOG_PERIOD_HOURLY, Utc(2026, 3, 6, 0, 5, 0), "y26 m03 d06 h0.log"},
        {LOG_PERIOD_DAILY, Utc(2031, 12, 31, 23, 59, 59), "y31 m12 d31.log"},
        {LOG_PERIOD_WEEKLY, Utc(2026, 1, 1, 0, 0, 0), "y26 w01.log"},
        {LOG_PERIOD_WEEKLY, Utc(2026, 1, 8, 0, 0, 0), "y26 w02.log"},
        {LOG_PERIOD_WEEKLY, Utc(2026, 12, 31, 0, 0, 0), "y26 w53.log"},
        {LOG_PERIOD_MONTHLY, Utc(2026, 3, 5, 14, 10, 0), "y26 m03.log"},
    };
    for (const Case &c : cases) {
        Log_SetPeriod(log_, c.Period);
        g_now = c.When;
        Log_Write(log_, "line");
        char name[400];
        Log_GetFileName(log_, name, sizeof(name));
        EXPECT_EQ(dir_ / "logs/" + c.Name, name);
    }
    Log_Flush(log_);
    // The hourly lines at 14:59 and 15:00 went to two files, each with its header
    // (stamped when the batch is written: the 14:59 line left with the 15:00 write).
    EXPECT_EQ(std::string("#Date: 2026-03-05 15:00:00\n#Fields: Date Time ") + kFields +
                  "\n2026-03-05 14:59:00 line\n",
              Read("y26 m03 d05 h14.log"));
    EXPECT_NE(std::string::npos, Read("y26 m03 d05 h15.log").find("15:00:00 line\n"));
    EXPECT_TRUE(Exists("y26 w53.log"));
    EXPECT_EQ(0, Log_SetPeriod(log_, 5));
}

TEST_F(TransLogTest, HeadersOncePerFileAndPerFieldChange) {
    Log_Write(log_, "one");
    ASSERT_EQ(1, Log_SetFields(log_, "INFOHASH clientid direction ipaddress incomingbytes "
                                     "outgoingbytes confirmedbytes corruptbytes discardedbytes "
                                     "timetaken")); // the same list in other case
    Log_Write(log_, "two");
    Log_Flush(log_);
    Log_Write(log_, "three"); // a later batch of the same file has no header
    Log_Flush(log_);
    std::string text = Read("y26 m03 d05.log");
    EXPECT_EQ(1u, testsupport::ReadFile(dir_ / "logs/y26 m03 d05.log").find("Date: "));
    EXPECT_EQ(text.find("#Fields"), text.rfind("#Fields"));
    ASSERT_EQ(1, Log_SetFields(log_, "A B"));
    Log_Write(log_, "four");
    Log_Flush(log_);
    text = Read("y26 m03 d05.log");
    EXPECT_NE(std::string::npos, text.find("#Fields: Date Time A B\n2026-03-05 14:10:00 four\n"));
    std::string tooLong(LOG_FIELDS_SIZE, 'f');
    EXPECT_EQ(0, Log_SetFields(log_, tooLong.c_str()));
}

TEST_F(TransLogTest, BufferedLinesWaitUntilTheBufferRunsLow) {
    for (int i = 0; i < 20; i++)
        Log_Write(log_, "short %d", i);
    EXPECT_FALSE(Exists("y26 m03 d05.log"));
    // 2000 bytes leave room for 9 lines of 100 bytes before fewer than 1124 are free.
    ASSERT_EQ(1, Log_SetBufferSize(log_, 2000)); // flushes the 20 lines
    EXPECT_EQ(20 + 2u, Lines("y26 m03 d05.log"));
    std::string text(100 - 21, 'x'); // plus the 20-byte time stamp and '\n'
    for (int i = 0; i < 8; i++)
        Log_Write(log_, "%s", text.c_str());
    EXPECT_EQ(22u, Lines("y26 m03 d05.log"));
    Log_Write(log_, "%s", text.c_str());
    EXPECT_EQ(31u, Lines("y26 m03 d05.log"));
}

TEST_F(TransLogTest, UnbufferedWritesEachLineAtOnce) {
    ASSERT_EQ(1, Log_SetBufferSize(log_, 0));
    Log_Write(log_, "first");
    EXPECT_NE(std::string::npos, Read("y26 m03 d05.log").find("14:10:00 first\n"));
    Log_Write(log_, "second");
    EXPECT_NE(std::string::npos,
              Read("y26 m03 d05.log").find("first\n2026-03-05 14:10:00 second\n"));
}

TEST_F(TransLogTest, LongLinesAreCutToTheLineLimit) {
    std::string text(3000, 'z');
    Log_Write(log_, "%s", text.c_str());
    Log_Write(log_, "after");
    Log_Flush(log_);
    std::string body = Read("y26 m03 d05.log");
    size_t start = body.find("2026-03-05 14:10:00 zzz");
    ASSERT_NE(std::string::npos, start);
    size_t end = body.find('\n', start);
    EXPECT_EQ((size_t)LOG_LINE_MAX - 1, end - start); // 1023 bytes, then '\n'
    EXPECT_NE(std::string::npos, body.find("14:10:00 after\n"));
}

TEST_F(TransLogTest, ADisabledLogWritesNothing) {
    Log_Write(log_, "buffered");
    Log_SetEnabled(log_, 0); // drops what was buffered
    Log_Write(log_, "ignored");
    Log_SetEnabled(log_, 1);
    Log_Flush(log_);
    EXPECT_FALSE(Exists("y26 m03 d05.log"));
    LogStruct *quiet = nullptr;
    Log_Create(&quiet);
    Log_SetBaseName(quiet, (dir_.path() + "/quiet/").c_str());
    Log_Write(quiet, "never");
    Log_Destroy(&quiet);
    EXPECT_EQ(nullptr, quiet);
    EXPECT_FALSE(testsupport::FileExists(dir_ / "quiet"));
}

TEST_F(TransLogTest, DestroyWritesWhatIsBuffered) {
    Log_Write(log_, "last words");
    Log_Destroy(&log_);
    EXPECT_NE(std::string::npos, Read("y26 m03 d05.log").find("last words\n"));
}

} // namespace
