// The settings container downloader against nginx: first fetch, revalidation by
// HEAD alone, the cases that download again, the fallback to the cached copy,
// a failing GET that must leave the copy alone, the attempt loop on an injected
// clock; and the HTTP date reader's table.
#include "core/stopflag.h"
#include "core/xml.h"
#include "core/xmlhelper.h"
#include "patcher/ffsdownloader.h"
#include "patcher/timehelper.h"
#include "tests/patcher/ffs_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using ffstest::Archive;
using ffstest::Comp1Literal;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct DateCase {
    const char *text;
    int ok, day, month, year, hour, minute, second;
};

TEST(TimeHelperTest, ReadsTheThreeHttpFormsAndRefusesBadFields) {
    const DateCase cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 1, 6, 10, 94, 8, 49, 37},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 1, 6, 10, 94, 8, 49, 37},
        {"Sun Nov  6 08:49:37 1994", 1, 6, 10, 94, 8, 49, 37},
        {"Fri, 11 dec 2026 23:59:60 GMT", 1, 11, 11, 126, 23, 59, 60},
        {"Mon, 01-Jan-05 00:00:00 GMT", 1, 1, 0, 105, 0, 0, 0},
        {"", 0, 0, 0, 0, 0, 0, 0},
        {"Sun, 00 Nov 1994 08:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // day 0
        {"Sun, 32 Nov 1994 08:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // day 32
        {"Sun, 06 Nov 1994 25:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // hour 25
        {"Sun, 06 Nov 1994 08:60:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // minute 60
        {"Sun, 06 Nov 1994 08:49:61 GMT", 0, 0, 0, 0, 0, 0, 0},       // second 61
        {"Sun, 06 Nox 1994 08:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // month name
        {"Sun, 06 Nov 1500 08:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // before 1970
        {"Sun, 06 Nov 19x4 08:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},       // not a number
        {"Sun, 06 Nov 99999 08:49:37 GMT", 0, 0, 0, 0, 0, 0, 0},      // too long a number
        {"Sun, 06 Nov 1994 08:49", 0, 0, 0, 0, 0, 0, 0},              // 6 tokens
        {"Sun, 06 Nov 1994 08:49:37 GMT x y z", 0, 0, 0, 0, 0, 0, 0}, // 11 tokens
        {"Sun, 06 Nov 1994 08:49:37 GMT x", 0, 0, 0, 0, 0, 0, 0},     // 9 tokens
        {",,, -- ::", 0, 0, 0, 0, 0, 0, 0},
    };
    for (const DateCase &c : cases) {
        SCOPED_TRACE(c.text);
        int minute = -1, second = -1, day = -1, month = -1, hour = -1, year = -1;
        EXPECT_EQ(c.ok,
                  TimeHelper_ParseHttpDate(&minute, &second, &day, &month, c.text, &hour, &year));
        EXPECT_EQ(c.day, day);
        EXPECT_EQ(c.month, month);
        EXPECT_EQ(c.year, year);
        EXPECT_EQ(c.hour, hour);
        EXPECT_EQ(c.minute, minute);
        EXPECT_EQ(c.second, second);
    }
    // A text longer than the reader's copy is cut, never overrun.
    std::string longText(5000, 'x');
    int v[6];
    EXPECT_EQ(0,
              TimeHelper_ParseHttpDate(&v[0], &v[1], &v[2], &v[3], longText.c_str(), &v[4], &v[5]));
}

TEST(TimeHelperTest, FileTimesDatesAndNowShareOneMinuteScale) {
    int32_t epoch = 0, date = 0, now = 0, unixNow = 0;
    ASSERT_EQ(1, TimeHelper_UnixToMinutes(0, &epoch));
    ASSERT_EQ(1, TimeHelper_HttpDateToMinutes("Thu, 01 Jan 1970 00:00:00 GMT", &date));
    EXPECT_EQ(epoch, date);
    ASSERT_EQ(1, TimeHelper_HttpDateToMinutes("Thu, 01 Jan 1970 01:30:59 GMT", &date));
    EXPECT_EQ(epoch + 90, date);
    ASSERT_EQ(1, TimeHelper_NowMinutes(&now));
    TimeHelper_UnixToMinutes(time(nullptr), &unixNow);
    EXPECT_LE(unixNow - now, 1);
    EXPECT_EQ(0, TimeHelper_HttpDateToMinutes("yesterday", &date));
    EXPECT_EQ(0, date);
}

// A clock that moves only when the downloader pauses: one second a pause.
struct FakeClock {
    double now = 1000;
    int pauses = 0;
    static double Now(void *user) { return static_cast<FakeClock *>(user)->now; }
    static void Sleep(void *user, int) {
        auto *clock = static_cast<FakeClock *>(user);
        clock->now += 1;
        clock->pauses++;
    }
};

std::string Container(const std::string &settings) {
    Archive a;
    a.records["settings.xml"] = Comp1Literal(settings);
    a.records["skin/page.html"] = "<html></html>";
    return a.Build();
}

class FFSDownloaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("nginx"))
            GTEST_SKIP() << "nginx is not installed (tools/setup)";
        StartServer();
        mkdir((dir_ / "cache").c_str(), 0755);
        FFSDownloader_Create(&downloader_);
        ASSERT_EQ(1, FFSDownloader_SetCacheFolder(downloader_, (dir_ / "cache").c_str()));
        FFSDownloaderClock clock = {FakeClock::Now, FakeClock::Sleep, &clock_};
        FFSDownloader_SetClock(downloader_, &clock);
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
    }
    void TearDown() override {
        testsupport::StopAlertCapture();
        FFSDownloader_Destroy(&downloader_);
    }
    void StartServer() {
        std::string log = dir_ / "access.log";
        server_ = std::make_unique<nettest::NginxServer>(
            "access_log " + log +
            ";\n"
            "location /headonly/ { if ($request_method = GET) { return 500; } }\n"
            "location /nolm/ { add_header Last-Modified \"\"; }\n");
        ASSERT_TRUE(server_->ok()) << server_->error();
        mkdir((server_->root() + "/headonly").c_str(), 0755);
        mkdir((server_->root() + "/nolm").c_str(), 0755);
    }
    // Places bytes on the server at path, modified `age` seconds ago (negative:
    // in the future).
    void Serve(const std::string &path, const std::string &bytes, int age = 3600) {
        std::string file = server_->root() + "/" + path;
        WriteFile(file, bytes);
        SetAge(file, age);
    }
    static void SetAge(const std::string &file, int age) {
        struct utimbuf times;
        times.actime = times.modtime = time(nullptr) - age;
        ASSERT_EQ(0, utime(file.c_str(), &times));
    }
    // Requests of the method for path in the access log. nginx writes a line
    // after the reply went out, so the count is awaited (up to 10 s) until it
    // reaches `expected`.
    int Requests(const std::string &method, const std::string &path, int expected = 0) {
        std::string needle = "\"" + method + " /" + path + " ";
        int count = 0;
        for (int wait = 0; wait < 1000; wait++) {
            std::string log = testsupport::FileExists(dir_ / "access.log")
                                  ? ReadFile(dir_ / "access.log")
                                  : std::string();
            count = 0;
            for (size_t at = log.find(needle); at != std::string::npos;
                 at = log.find(needle, at + 1))
                count++;
            if (count >= expected)
                break;
            usleep(10000);
        }
        return count;
    }
    std::string CachePath(const std::string &url) {
        char path[FFSDOWNLOADER_PATH_SIZE];
        EXPECT_EQ(1, FFSDownloader_GetCachePath(downloader_, url.c_str(), path, sizeof path));
        return path;
    }
    // The text of Settings.Server in the loaded document ("" when absent).
    std::string Server() {
        XmlStruct *xml = nullptr;
        FFSDownloader_GetXml(downloader_, &xml);
        const char *text = nullptr;
        XmlNodeStruct *root = nullptr;
        if (!XmlHelper_FindPath("Settings", xml, nullptr, 0, &root) ||
            !XmlHelper_GetPathText(root, "Server", xml, &text))
            return "";
        return text;
    }
    int Fetch(const std::string &url, int *usedCache, const StopFlag *stop = nullptr) {
        return FFSDownloader_Fetch(downloader_, usedCache, url.c_str(), stop);
    }

    TempDir dir_;
    std::unique_ptr<nettest::NginxServer> server_;
    FFSDownloader *downloader_ = nullptr;
    FakeClock clock_;
};

const std::string kFirst = "<Settings><Server>first.example</Server></Settings>";
const std::string kSecond = "<Settings><Server>second.example</Server></Settings>";

TEST_F(FFSDownloaderTest, FirstFetchLoadsSettingsAndAnUnchangedCopyIsRevalidatedByHeadAlone) {
    Serve("s.ffs", Container(kFirst));
    std::string url = server_->url("/s.ffs");
    int used = -1;
    ASSERT_EQ(1, Fetch(url, &used)) << testsupport::AlertText();
    EXPECT_EQ(0, used);
    EXPECT_EQ("first.example", Server());
    EXPECT_EQ(Container(kFirst), ReadFile(CachePath(url)));
    EXPECT_EQ(dir_ / "cache/Vexil-" + testsupport::Sha1Hex(url) + ".FFS", CachePath(url));
    struct stat info;
    ASSERT_EQ(0, stat((dir_ / "cache").c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);

    ASSERT_EQ(1, Fetch(url, &used));
    EXPECT_EQ(0, used);
    EXPECT_EQ("first.example", Server());
    EXPECT_EQ(1, Requests("HEAD", "s.ffs", 1));
    EXPECT_EQ(1, Requests("GET", "s.ffs", 1));
}

TEST_F(FFSDownloaderTest, ANewerCopyAnotherSizeAndAReplyWithoutLastModifiedDownloadAgain) {
    Serve("s.ffs", Container(kFirst));
    std::string url = server_->url("/s.ffs");
    int used = -1;
    ASSERT_EQ(1, Fetch(url, &used));

    // A newer server copy.
    Serve("s.ffs", Container(kSecond), -600);
    ASSERT_EQ(1, Fetch(url, &used));
    EXPECT_EQ("second.example", Server());
    EXPECT_EQ(2, Requests("GET", "s.ffs", 2));

    // A cached copy of another size, even though it is the newer file.
    Serve("s.ffs", Container(kFirst));
    WriteFile(CachePath(url), Container(kSecond) + "x");
    ASSERT_EQ(1, Fetch(url, &used));
    EXPECT_EQ("first.example", Server());
    EXPECT_EQ(3, Requests("GET", "s.ffs", 3));
    EXPECT_EQ(Container(kFirst), ReadFile(CachePath(url)));

    // Without Last-Modified every fetch downloads.
    Serve("nolm/s.ffs", Container(kFirst));
    std::string plain = server_->url("/nolm/s.ffs");
    ASSERT_EQ(1, Fetch(plain, &used));
    ASSERT_EQ(1, Fetch(plain, &used));
    EXPECT_EQ(1, Requests("HEAD", "nolm/s.ffs", 1));
    EXPECT_EQ(2, Requests("GET", "nolm/s.ffs", 2));

    // With the cache off too.
    FFSDownloader_SetCache(downloader_, 0);
    ASSERT_EQ(1, Fetch(url, &used));
    EXPECT_EQ(4, Requests("GET", "s.ffs", 4));
    EXPECT_TRUE(testsupport::AlertSeen("FFSDownloader:: Cache disabled"));
}

TEST_F(FFSDownloaderTest, AStoppedServerLeavesTheCachedCopyInUse) {
    Serve("s.ffs", Container(kFirst));
    std::string url = server_->url("/s.ffs");
    int used = -1;
    ASSERT_EQ(1, Fetch(url, &used));
    server_.reset();
    ASSERT_EQ(1, Fetch(url, &used));
    EXPECT_EQ(1, used);
    EXPECT_EQ("first.example", Server());
    EXPECT_TRUE(testsupport::AlertSeen("- using cached version"));
}

TEST_F(FFSDownloaderTest, AFailingGetLeavesTheCachedCopyByteIdenticalAfterFiveAttempts) {
    Serve("headonly/s.ffs", Container(kSecond), -600);
    std::string url = server_->url("/headonly/s.ffs");
    std::string cached = Container(kFirst);
    WriteFile(CachePath(url), cached);
    SetAge(CachePath(url), 7200);
    int used = -1;
    EXPECT_EQ(0, Fetch(url, &used));
    EXPECT_EQ(0, used);
    EXPECT_EQ(cached, ReadFile(CachePath(url)));
    EXPECT_EQ(5, Requests("HEAD", "headonly/s.ffs", 5));
    EXPECT_EQ(5, Requests("GET", "headonly/s.ffs", 5));
    // Attempts start more than 60 s apart on the downloader's clock, 50 ms pauses between.
    EXPECT_EQ(4 * 61, clock_.pauses);
    EXPECT_EQ("", Server());
}

TEST_F(FFSDownloaderTest, AContainerThatDoesNotLoadIsDeletedAndFetchedAgain) {
    Serve("bad.ffs", "not a container");
    std::string url = server_->url("/bad.ffs");
    int used = -1;
    EXPECT_EQ(0, Fetch(url, &used));
    EXPECT_EQ(5, Requests("GET", "bad.ffs", 5));
    EXPECT_FALSE(testsupport::FileExists(CachePath(url)));
    EXPECT_TRUE(testsupport::AlertSeen("FFSDownloader:: Unable to load FFS container"));

    // A container without settings.xml does not load either.
    Archive a;
    a.records["other.xml"] = "<x/>";
    Serve("bad.ffs", a.Build());
    EXPECT_EQ(0, Fetch(url, &used));
    EXPECT_FALSE(testsupport::FileExists(CachePath(url)));
}

TEST_F(FFSDownloaderTest, ACachedCopyThatIsALinkIsReplacedNeverFollowed) {
    Serve("s.ffs", Container(kFirst));
    std::string url = server_->url("/s.ffs");
    WriteFile(dir_ / "target", Container(kFirst));
    ASSERT_EQ(0, symlink((dir_ / "target").c_str(), CachePath(url).c_str()));
    int used = -1;
    ASSERT_EQ(1, Fetch(url, &used));
    EXPECT_EQ(1, Requests("GET", "s.ffs", 1));
    struct stat info;
    ASSERT_EQ(0, lstat(CachePath(url).c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(Container(kFirst), ReadFile(dir_ / "target"));
}

TEST_F(FFSDownloaderTest, ABodyAboveTheLimitIsRefused) {
    Archive a;
    a.records["settings.xml"] = Comp1Literal(kFirst);
    a.records["big.bin"] = std::string(FFSDOWNLOADER_BODY_LIMIT, 'b');
    Serve("big.ffs", a.Build());
    std::string url = server_->url("/big.ffs");
    int used = -1;
    EXPECT_EQ(0, Fetch(url, &used));
    EXPECT_FALSE(testsupport::FileExists(CachePath(url)));
    EXPECT_EQ("", Server());
}

TEST_F(FFSDownloaderTest, AStopFlagRaisedBeforeTheFirstAttemptGivesZeroAtOnce) {
    Serve("s.ffs", Container(kFirst));
    StopFlag stop;
    StopFlag_Set(&stop, 1);
    int used = -1;
    EXPECT_EQ(0, Fetch(server_->url("/s.ffs"), &used, &stop));
    EXPECT_EQ(0, used);
    EXPECT_EQ(0, clock_.pauses);
    EXPECT_EQ(0, Requests("GET", "s.ffs") + Requests("HEAD", "s.ffs"));
}

} // namespace
