// File object on real files in a temporary folder: the mode table, folder
// creation, locks, data calls, rename and erase, the wildcard table, listings,
// the walk order, and atomic replace surviving SIGKILL.
#include "core/file.h"
#include "core/zyl.h"
#include "platform/durable.h"
#include "tests/support/support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string g_fileLog;
int CaptureFileLog(const char *text) {
    g_fileLog += text;
    return 1;
}

struct LogCapture {
    LogCapture() {
        g_fileLog.clear();
        Zyl_SetConsoleCallback(CaptureFileLog);
    }
    ~LogCapture() { Zyl_SetConsoleCallback(nullptr); }
    bool Has(const std::string &text) const { return g_fileLog.find(text) != std::string::npos; }
};

struct FileFixture : ::testing::Test {
    TempDir dir;
    FileStruct *file = nullptr;
    void SetUp() override { ASSERT_EQ(1, File_New(&file)); }
    void TearDown() override {
        File_Close(file);
        File_Delete(&file);
        EXPECT_EQ(nullptr, file);
    }
    int Write(const std::string &text) {
        int count = -1;
        int result = File_Write(file, text.data(), (int)text.size(), &count);
        EXPECT_EQ(result ? (int)text.size() : count, count);
        return result;
    }
};

TEST_F(FileFixture, ModeTable) {
    struct Case {
        int mode;
        const char *write; // written right after opening
        const char *expected;
        int64_t position; // after opening
    } cases[] = {
        {0x2, "ab", "ab", 0},       // write: emptied
        {0x12, "ab", "ab", 0},      // text write: the same bytes
        {0x22, "ab", "helloab", 5}, // write + append: kept, at the end
        {0x32, "ab", "helloab", 5}, // rotating-log mode
        {0x3, "ab", "abllo", 0},    // read-write: never cut, at 0
        {0x13, "ab", "abllo", 0},   // read-write text
        {0x23, "ab", "helloab", 5}, // read-write append
        {0xC3, "ab", "abllo", 0},   // shared read-write
        {0x1, "", "hello", 0},      // read only
        {0x41, "", "hello", 0},     // read, others may read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        std::string path = dir / "mode.dat";
        WriteFile(path, "hello");
        ASSERT_EQ(1, File_Open(file, path.c_str(), c.mode));
        int64_t position = -1;
        File_Tell(file, &position);
        EXPECT_EQ(c.position, position);
        if (c.write[0]) {
            EXPECT_EQ(1, Write(c.write));
        }
        ASSERT_EQ(1, File_Close(file));
        EXPECT_EQ(c.expected, ReadFile(path));
    }
    LogCapture log;
    EXPECT_EQ(0, File_Open(file, (dir / "mode.dat").c_str(), 0x10));
    EXPECT_TRUE(log.Has("Unknown mode [16]"));
    EXPECT_EQ(0, File_IsOpen(file));
}

TEST_F(FileFixture, ReadOnlyOpenRefusesWritesAndReadsToTheEnd) {
    std::string path = dir / "r.dat";
    WriteFile(path, "0123456789");
    ASSERT_EQ(1, File_Open(file, path.c_str(), 0x1));
    int64_t size = 0;
    File_GetSize(file, &size);
    EXPECT_EQ(10, size);
    {
        LogCapture log;
        int count = -1;
        EXPECT_EQ(0, File_Write(file, "x", 1, &count));
        EXPECT_EQ(0, count);
        EXPECT_TRUE(log.Has("Failed on File_Write [")) << g_fileLog;
    }
    char buffer[8];
    int count = 0;
    EXPECT_EQ(1, File_Read(file, buffer, 8, &count));
    EXPECT_EQ(8, count);
    EXPECT_EQ(1, File_Read(file, buffer, 8, &count));
    EXPECT_EQ(2, count);
    LogCapture log;
    EXPECT_EQ(0, File_Read(file, buffer, 8, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ("", g_fileLog) << "end of file is silent";
}

TEST_F(FileFixture, WritingCreatesMissingFoldersUnlessSwitchedOff) {
    std::string path = dir.path() + "\\x\\y\\z.dat"; // '\' accepted
    ASSERT_EQ(1, File_Open(file, path.c_str(), 0x2));
    EXPECT_EQ(1, Write("data"));
    File_Close(file);
    EXPECT_EQ("data", ReadFile(dir / "x/y/z.dat"));

    File_SetCreatePath(file, 0);
    LogCapture log;
    EXPECT_EQ(0, File_Open(file, (dir / "p/q/r.dat").c_str(), 0x2));
    EXPECT_TRUE(log.Has("Unable to open file [")) << g_fileLog;
    EXPECT_FALSE(testsupport::FileExists(dir / "p"));
    // A missing file to read fails after the quick attempts, creating nothing.
    File_SetCreatePath(file, 1);
    EXPECT_EQ(0, File_Open(file, (dir / "s/t.dat").c_str(), 0x1));
    EXPECT_FALSE(testsupport::FileExists(dir / "s"));
}

TEST_F(FileFixture, OpeningWhileOpenIsRefusedAndDeleteClosesWithALine) {
    std::string path = dir / "a.dat";
    ASSERT_EQ(1, File_Open(file, path.c_str(), 0x2));
    {
        LogCapture log;
        EXPECT_EQ(0, File_Open(file, (dir / "b.dat").c_str(), 0x2));
        EXPECT_TRUE(log.Has("Previous file [" + path + "] must be closed before opening ["));
        EXPECT_EQ(0, File_SetPath(file, path.c_str()));
    }
    LogCapture log;
    File_Delete(&file);
    EXPECT_TRUE(log.Has("File not properly closed on delete [" + path + "]"));
    File_New(&file);
}

TEST_F(FileFixture, ExclusiveModesLockAgainstOurOwnOpens) {
    std::string path = dir / "locked.dat";
    WriteFile(path, "keep me");
    FileStruct *other = nullptr;
    File_New(&other);
    File_SetOpenRetries(other, 2);

    ASSERT_EQ(1, File_Open(file, path.c_str(), 0x41)); // reader denying writers
    EXPECT_EQ(1, File_Open(other, path.c_str(), 0x41)) << "two such readers share";
    File_Close(other);
    {
        LogCapture log;
        EXPECT_EQ(0, File_Open(other, path.c_str(), 0x2)) << "exclusive writer refused";
        EXPECT_TRUE(log.Has("Unable to open file [" + path + "]"));
    }
    EXPECT_EQ("keep me", ReadFile(path)) << "a refused open never empties the file";
    EXPECT_EQ(1, File_Open(other, path.c_str(), 0xC1)) << "share-all takes no lock";
    File_Close(other);
    File_Close(file);
    EXPECT_EQ(1, File_Open(other, path.c_str(), 0x2));
    File_Close(other);
    File_Delete(&other);
}

TEST_F(FileFixture, PrintCutsLongTextAndReportsFailedWrites) {
    std::string path = dir / "print.txt";
    ASSERT_EQ(1, File_Open(file, path.c_str(), 0x32));
    EXPECT_EQ(1, File_Print(file, "line %d [%s]\n", 7, "x"));
    std::string longText(5000, 'p');
    EXPECT_EQ(1, File_Print(file, "%s", longText.c_str()));
    File_Close(file);
    EXPECT_EQ("line 7 [x]\n" + std::string(4095, 'p'), ReadFile(path));
    {
        LogCapture log;
        EXPECT_EQ(0, File_Print(file, "closed"));
        EXPECT_TRUE(log.Has("File not opened for print [" + path + "](closed)"));
    }
    ASSERT_EQ(1, File_Open(file, "/dev/full", 0xC2)); // shared: no lock on a device
    File_SetReportErrors(file, 1);
    LogCapture log;
    EXPECT_EQ(0, File_Print(file, "no room"));
    EXPECT_TRUE(log.Has("Failed on write [/dev/full](7)")) << g_fileLog;
    int count = -1;
    EXPECT_EQ(0, File_Write(file, "abc", 3, &count));
    EXPECT_EQ(0, count);
}

TEST_F(FileFixture, SeekTellTruncateAndInformation) {
    std::string path = dir / "seek.dat";
    ASSERT_EQ(1, File_Open(file, path.c_str(), 0x3));
    Write("0123456789");
    EXPECT_EQ(1, File_SetPosition(file, 4));
    EXPECT_EQ(1, File_Truncate(file));
    EXPECT_EQ(1, File_SeekEnd(file, -1));
    int64_t position = 0;
    File_Tell(file, &position);
    EXPECT_EQ(3, position);
    EXPECT_EQ(1, File_Seek(file, 10, 1));
    File_Tell(file, &position);
    EXPECT_EQ(13, position);
    {
        LogCapture log;
        EXPECT_EQ(0, File_Seek(file, -100, 0));
        EXPECT_TRUE(log.Has("Failed to seek [" + path + "] (0:-100)"));
    }
    EXPECT_EQ(1, File_Flush(file));
    EXPECT_EQ(1, File_SetSparse(file));
    File_Close(file);
    EXPECT_EQ("0123", ReadFile(path));
    {
        LogCapture log;
        EXPECT_EQ(0, File_Tell(file, &position));
        EXPECT_EQ(0, position);
        EXPECT_TRUE(log.Has("No file handle is open - cannot tell"));
    }

    EXPECT_EQ(1, File_Stat(file, path.c_str()));
    int64_t size = 0;
    File_GetSize(file, &size);
    EXPECT_EQ(4, size);
    EXPECT_EQ(0, File_IsDirectory(file));
    int32_t minutes = 0;
    File_GetModifiedTime(file, &minutes);
    struct stat info;
    stat(path.c_str(), &info);
    EXPECT_EQ((int32_t)(info.st_mtime / 60), minutes);
    EXPECT_EQ(1, File_SetPath(file, dir.path().c_str()));
    EXPECT_EQ(1, File_IsDirectory(file));
    EXPECT_EQ(0, File_Stat(file, (dir / "nothing").c_str()));
    EXPECT_EQ(0, File_IsDirectory(file));
}

TEST_F(FileFixture, RenameRefusesAnExistingTarget) {
    WriteFile(dir / "a", "A");
    WriteFile(dir / "b", "B");
    {
        LogCapture log;
        EXPECT_EQ(0, File_Rename(file, (dir / "a").c_str(), (dir / "b").c_str()));
        EXPECT_TRUE(log.Has("Unable to rename file [")) << g_fileLog;
    }
    EXPECT_EQ("A", ReadFile(dir / "a"));
    EXPECT_EQ("B", ReadFile(dir / "b"));
    mkdir((dir / "sub").c_str(), 0755);
    EXPECT_EQ(1, File_Rename(file, (dir / "a").c_str(), (dir.path() + "\\sub\\c").c_str()));
    EXPECT_EQ("A", ReadFile(dir / "sub/c"));
    EXPECT_EQ(0, File_Rename(file, (dir / "sub").c_str(), (dir / "b").c_str()));
    EXPECT_EQ(1, File_Rename(file, (dir / "sub").c_str(), (dir / "sub2").c_str()));
}

TEST_F(FileFixture, EraseFilesFoldersAndLinksWithoutFollowing) {
    WriteFile(dir / "f", "x");
    mkdir((dir / "empty").c_str(), 0755);
    mkdir((dir / "full").c_str(), 0755);
    WriteFile(dir / "full/inside", "y");
    ASSERT_EQ(0, symlink((dir / "full").c_str(), (dir / "link").c_str()));
    EXPECT_EQ(1, File_Erase(file, (dir / "f").c_str()));
    EXPECT_EQ(1, File_Erase(file, (dir / "empty/").c_str()));
    EXPECT_EQ(1, File_Erase(file, (dir / "link").c_str()));
    EXPECT_EQ("y", ReadFile(dir / "full/inside")) << "the link's target is untouched";
    LogCapture log;
    EXPECT_EQ(0, File_Erase(file, (dir / "full").c_str()));
    EXPECT_TRUE(log.Has("Unable to erase directory [" + dir.path() + "/full]"));
    EXPECT_EQ(0, File_Erase(file, (dir / "f").c_str()));
    EXPECT_TRUE(log.Has("Unable to get info to erase [" + dir.path() + "/f]"));
}

TEST(FileWildcard, Table) {
    struct Case {
        const char *pattern;
        const char *name;
        int match;
    } cases[] = {
        {"*", "anything", 1},
        {"*", ".", 1},
        {"*.*", "noext", 1},
        {"*.*", "a.b", 1},
        {"*.txt", "A.TXT", 1},
        {"*.txt", "a.txt.bak", 0},
        {"*.TxT", "notes.txt", 1},
        {"?.log", "a.log", 1},
        {"?.log", "ab.log", 0},
        {"a*b*c", "aXbYbZc", 1},
        {"a*b*c", "aXbYbZ", 0},
        {"file.*", "file", 1},
        {"file.*", "files", 0},
        {"*.", "abc", 0},
        {"data??.bin", "data01.bin", 1},
        {"", "", 1},
        {"", "x", 0},
        {"*a", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.match, File_MatchWildcard(c.pattern, c.name))
            << "[" << c.pattern << "] [" << c.name << "]";
    }
}

TEST_F(FileFixture, ListingsAreSortedWithDotsAndCarryEntryAttributes) {
    WriteFile(dir / "b.txt", "12345");
    WriteFile(dir / "A.txt", "1");
    WriteFile(dir / ".hidden", "");
    mkdir((dir / "c_dir").c_str(), 0755);
    std::vector<std::string> names;
    char name[FILE_NAME_SIZE];
    for (int more = File_FindFirst(file, 0, dir.path().c_str()); more; more = File_FindNext(file)) {
        ASSERT_EQ(1, File_GetFoundName(file, name, sizeof(name)));
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{".", "..", ".hidden", "A.txt", "b.txt", "c_dir"}), names);

    ASSERT_EQ(1, File_FindFirst(file, 1, (dir / "*.TXT").c_str()));
    File_GetFoundName(file, name, sizeof(name));
    EXPECT_STREQ("A.txt", name);
    EXPECT_EQ(0, File_IsDirectory(file));
    ASSERT_EQ(1, File_FindNext(file));
    int64_t size = 0;
    File_GetFoundSize(file, &size);
    EXPECT_EQ(5, size);
    EXPECT_EQ(0, File_FindNext(file));
    File_FindClose(file);

    ASSERT_EQ(1, File_FindFirst(file, 1, (dir.path() + "\\c_*").c_str()));
    EXPECT_EQ(1, File_IsDirectory(file)) << "the first entry carries its own flags";
    ASSERT_EQ(1, File_FindFirst(file, 1, (dir / ".h*").c_str()));
    int flags = 0;
    File_GetAttributes(file, &flags);
    EXPECT_EQ(FILE_ATTR_HIDDEN, flags & (FILE_ATTR_HIDDEN | FILE_ATTR_DIRECTORY));
    EXPECT_EQ(0, File_FindFirst(file, 1, (dir / "*.none").c_str()));
    EXPECT_EQ(0, File_FindFirst(file, 0, (dir / "missing").c_str()));
    EXPECT_EQ(0, File_GetFoundName(file, name, sizeof(name)));
}

struct WalkRecord {
    std::vector<std::string> events;
    std::string skip; // folder name not entered
    std::string stop; // entry name that stops
};

int WalkFolder(FileStruct *, void *user, int depth, const char *folder) {
    WalkRecord *record = static_cast<WalkRecord *>(user);
    std::string text(folder);
    record->events.push_back("D" + std::to_string(depth) + " " + text);
    return record->skip.empty() || text.find(record->skip) == std::string::npos;
}

int WalkEntry(FileStruct *file, void *user, int depth, const char *folder, const char *name) {
    WalkRecord *record = static_cast<WalkRecord *>(user);
    std::string last =
        std::string(folder).substr(std::string(folder).rfind('/', strlen(folder) - 2) + 1);
    record->events.push_back("F" + std::to_string(depth) + " " + last + name +
                             (File_IsDirectory(file) ? "/" : ""));
    return record->stop != name;
}

struct WalkFixture : FileFixture {
    void SetUp() override {
        FileFixture::SetUp();
        for (const char *folder : {"root", "root/sub1", "root/sub1/deep", "root/sub2"}) {
            mkdir((dir / folder).c_str(), 0755);
        }
        for (const char *path : {"root/a.txt", "root/b.log", "root/c.bin", "root/sub1/x.txt",
                                 "root/sub1/deep/y.log", "root/sub2/z.txt", "root/sub2/w.log"}) {
            WriteFile(dir / path, path);
        }
        symlink((dir / "root").c_str(), (dir / "root/sub2/loop.txt").c_str());
    }
    std::string Root() { return dir / "root"; }
};

TEST_F(WalkFixture, DeepestFoldersFirstThenEachPatternInTurn) {
    WalkRecord record;
    LogCapture log;
    EXPECT_EQ(1, File_Walk(file, Root().c_str(), "*.txt;*.log", &record, WalkFolder, WalkEntry));
    EXPECT_EQ("", g_fileLog) << "a walk that succeeds logs nothing";
    std::string root = Root() + "/";
    std::vector<std::string> expected{"D0 " + root + "sub1/", "D1 " + root + "sub1/deep/",
                                      "F2 deep/y.log",        "F1 sub1/x.txt",
                                      "D0 " + root + "sub2/", "F1 sub2/loop.txt",
                                      "F1 sub2/z.txt",        "F1 sub2/w.log",
                                      "F0 root/a.txt",        "F0 root/b.log"};
    EXPECT_EQ(expected, record.events);
}

TEST_F(WalkFixture, FolderCallbackSkipsAndEntryCallbackStopsOnePattern) {
    WalkRecord record;
    record.skip = "sub1";
    record.stop = "z.txt";
    EXPECT_EQ(0, File_Walk(file, Root().c_str(), "*.txt, *.log", &record, WalkFolder, WalkEntry));
    std::string root = Root() + "/";
    std::vector<std::string> expected{"D0 " + root + "sub1/", "D0 " + root + "sub2/",
                                      "F1 sub2/loop.txt",     "F1 sub2/z.txt",
                                      "F1 sub2/w.log", // the other pattern still runs
                                      "F0 root/a.txt",        "F0 root/b.log"};
    EXPECT_EQ(expected, record.events);
}

TEST_F(WalkFixture, StarDotMatchesAllAndLinksAreNeverEntered) {
    WalkRecord record;
    EXPECT_EQ(1, File_Walk(file, (Root() + "/sub2").c_str(), "*.", &record, nullptr, WalkEntry));
    EXPECT_EQ((std::vector<std::string>{"F0 sub2/loop.txt", "F0 sub2/w.log", "F0 sub2/z.txt"}),
              record.events);
    record.events.clear();
    LogCapture log;
    EXPECT_EQ(1, File_Walk(file, (dir / "missing").c_str(), "*", &record, WalkFolder, WalkEntry));
    EXPECT_TRUE(log.Has("File_Walk() opendir failed [" + dir.path() + "/missing/] (2)"))
        << g_fileLog;
    EXPECT_TRUE(record.events.empty());
}

TEST_F(FileFixture, PathsThatDoNotFitAreRefusedNotCut) {
    std::string longPath = dir.path() + "/" + std::string(FILE_PATH_SIZE, 'n');
    LogCapture log;
    EXPECT_EQ(0, File_Open(file, longPath.c_str(), 0x2));
    EXPECT_TRUE(log.Has("File_Open() path too long"));
    EXPECT_EQ(0, File_ReplaceAtomic(longPath.c_str(), "x", 1));
    EXPECT_EQ(0, File_Stat(file, longPath.c_str()));
}

TEST(FileWhole, ReplaceAtomicKeepsModeAndLeavesNoTemporary) {
    TempDir dir;
    std::string path = dir / "doc/state.xml";
    ASSERT_EQ(1, File_ReplaceAtomic(path.c_str(), "first", 5)); // folder created
    chmod(path.c_str(), 0640);
    ASSERT_EQ(1, File_ReplaceAtomic((dir.path() + "\\doc\\state.xml").c_str(), "second!", 7));
    EXPECT_EQ("second!", ReadFile(path));
    struct stat info;
    stat(path.c_str(), &info);
    EXPECT_EQ(0640u, info.st_mode & 0777);
    std::string listing;
    testsupport::RunCommand("ls -A " + dir.path() + "/doc", &listing);
    EXPECT_EQ("state.xml\n", listing);

    WriteFile(dir / "plainfile", "p");
    LogCapture log;
    EXPECT_EQ(0, File_ReplaceAtomic((dir / "plainfile/x.xml").c_str(), "x", 1));
    EXPECT_EQ("p", ReadFile(dir / "plainfile"));
    mkdir((dir / "target_is_folder").c_str(), 0755);
    WriteFile(dir / "target_is_folder/keep", "k");
    EXPECT_EQ(0, File_ReplaceAtomic((dir / "target_is_folder").c_str(), "x", 1));
    listing.clear();
    testsupport::RunCommand("ls -A " + dir.path(), &listing);
    EXPECT_EQ("doc\nplainfile\ntarget_is_folder\n", listing) << "no temporary left behind";
}

// Fails every step named in the record, and plants a link at the temporary name.
struct ReplaceFaults {
    int failStep = 0;
    std::string linkTo; // planted at the temporary name when not empty
    static int Hook(void *user, int step, const char *path) {
        ReplaceFaults *faults = static_cast<ReplaceFaults *>(user);
        if (step == DURABLE_STEP_CREATE && !faults->linkTo.empty()) {
            symlink(faults->linkTo.c_str(), path);
        }
        return step == faults->failStep ? EIO : 0;
    }
    ReplaceFaults() { Durable_SetFaultHook(Hook, this); }
    ~ReplaceFaults() { Durable_SetFaultHook(nullptr, nullptr); }
};

// Every failure before the rename leaves the old content and no temporary file;
// a link planted at the temporary name is refused, never followed or removed.
TEST(FileWhole, ReplaceFailuresKeepTheOldFile) {
    TempDir dir;
    std::string path = dir / "state.xml";
    std::string outside = dir / "outside";
    struct Case {
        const char *name;
        int step;
        bool plant;
        const char *logged;
    } cases[] = {
        {"create refused", DURABLE_STEP_CREATE, false, "File_ReplaceAtomic() open failed ["},
        {"sync fails", DURABLE_STEP_SYNC, false, "File_ReplaceAtomic() fsync failed ["},
        {"rename fails", DURABLE_STEP_RENAME, false, "File_ReplaceAtomic() rename failed ["},
        {"planted link", 0, true, "File_ReplaceAtomic() open failed ["},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, "old");
        WriteFile(outside, "not yours");
        LogCapture log;
        {
            ReplaceFaults faults;
            faults.failStep = c.step;
            faults.linkTo = c.plant ? outside : "";
            EXPECT_EQ(0, File_ReplaceAtomic(path.c_str(), "new", 3));
        }
        EXPECT_TRUE(log.Has(c.logged)) << g_fileLog;
        EXPECT_EQ("old", ReadFile(path));
        EXPECT_EQ("not yours", ReadFile(outside));
        std::string listing;
        testsupport::RunCommand("find " + dir.path() + " -type f -name 'state.xml.*'", &listing);
        EXPECT_EQ("", listing);
        testsupport::RunCommand("find " + dir.path() + " -type l -delete");
    }
    // A failed folder sync comes after the rename: the new content is in place,
    // and the caller still hears that it may not be durable.
    LogCapture log;
    {
        ReplaceFaults faults;
        faults.failStep = DURABLE_STEP_FOLDER;
        EXPECT_EQ(0, File_ReplaceAtomic(path.c_str(), "new", 3));
    }
    EXPECT_TRUE(log.Has("File_ReplaceAtomic() fsync folder failed [")) << g_fileLog;
    EXPECT_EQ("new", ReadFile(path));
}

// A replacement written through the file object: invisible until committed,
// removed when discarded or closed, and never opened through a planted link.
TEST(FileWhole, ReplacementsAppearWholeOrNotAtAll) {
    TempDir dir;
    std::string target = dir / "game.dat";
    WriteFile(target, "old");
    chmod(target.c_str(), 0751);
    FileStruct *file = nullptr;
    File_New(&file);
    int written = 0;
    char temporary[FILE_PATH_SIZE];
    for (int commit : {0, 1}) {
        SCOPED_TRACE(commit);
        ASSERT_EQ(1, File_OpenReplacement(file, target.c_str(), ".part", -1));
        ASSERT_EQ(1, File_GetPath(file, temporary, FILE_PATH_SIZE));
        EXPECT_EQ(0u, std::string(temporary).find(target + "."));
        ASSERT_EQ(1, File_Write(file, "new", 3, &written));
        EXPECT_EQ("old", ReadFile(target));
        EXPECT_EQ("new", ReadFile(temporary));
        if (commit) {
            ASSERT_EQ(1, File_CommitReplacement(file));
        } else {
            File_Close(file); // abandoned: the temporary file goes
        }
        EXPECT_FALSE(testsupport::FileExists(temporary));
    }
    EXPECT_EQ("new", ReadFile(target));
    struct stat info;
    ASSERT_EQ(0, stat(target.c_str(), &info));
    EXPECT_EQ(0751u, info.st_mode & 0777) << "the target's permission bits are kept";

    std::string outside = dir / "outside";
    WriteFile(outside, "not yours");
    LogCapture log;
    {
        ReplaceFaults faults;
        faults.linkTo = outside;
        EXPECT_EQ(0, File_OpenReplacement(file, target.c_str(), ".part", -1));
    }
    EXPECT_TRUE(log.Has("File_OpenReplacement() open failed [" + target + ".part] (17)"))
        << g_fileLog;
    EXPECT_EQ(0, File_IsOpen(file));
    EXPECT_EQ("not yours", ReadFile(outside));
    File_Delete(&file);
}

TEST(FileWhole, ReadAllBoundsTheSize) {
    TempDir dir;
    WriteFile(dir / "data", std::string("a\0b", 3));
    char *data = nullptr;
    int64_t length = 0;
    ASSERT_EQ(1, File_ReadAll((dir / "data").c_str(), 3, &data, &length));
    ASSERT_EQ(3, length);
    EXPECT_EQ(std::string("a\0b", 3), std::string(data, 3));
    EXPECT_EQ(0, data[3]);
    ZYL_FREE(data, length + 1);
    LogCapture log;
    EXPECT_EQ(0, File_ReadAll((dir / "data").c_str(), 2, &data, &length));
    EXPECT_EQ(nullptr, data);
    EXPECT_TRUE(log.Has("File_ReadAll() file too large"));
    EXPECT_EQ(0, File_ReadAll((dir / "none").c_str(), 10, &data, &length));
    EXPECT_EQ(0, File_ReadAll(dir.path().c_str(), 10, &data, &length));
    WriteFile(dir / "empty", "");
    ASSERT_EQ(1, File_ReadAll((dir / "empty").c_str(), 10, &data, &length));
    EXPECT_EQ(0, length);
    ZYL_FREE(data, length + 1);
}

// Saves two documents in turn for ever; the parent kills it at a random moment.
PORTICO_TEST_CHILD(replace_loop) {
    const std::string &path = args.at(0);
    std::string a(100000, 'A');
    std::string b(300000, 'B');
    for (unsigned i = 0;; i++) {
        const std::string &doc = (i % 2) ? b : a;
        if (!File_ReplaceAtomic(path.c_str(), doc.data(), (int64_t)doc.size())) {
            return 3;
        }
    }
}

TEST(FileWhole, ReplaceInterruptedBySigkillLeavesOldOrNew) {
    TempDir dir;
    std::string path = dir / "saved.doc";
    std::string a(100000, 'A');
    std::string b(300000, 'B');
    for (int round = 0; round < 5; round++) {
        pid_t child = testsupport::SpawnChild("replace_loop", {path});
        ASSERT_GT(child, 0);
        // Wait until both documents have been seen, so the kill lands mid-loop.
        bool sawA = false, sawB = false;
        for (int reads = 0; !(sawA && sawB) && reads < 2000000; reads++) {
            std::string now = testsupport::FileExists(path) ? ReadFile(path) : "";
            sawA |= now == a;
            sawB |= now == b;
            ASSERT_TRUE(now.empty() || now == a || now == b) << "torn read " << now.size();
        }
        ASSERT_TRUE(sawA && sawB);
        kill(child, SIGKILL);
        EXPECT_EQ(-1, testsupport::WaitChild(child));
        std::string last = ReadFile(path);
        EXPECT_TRUE(last == a || last == b) << "round " << round << " size " << last.size();
    }
}

} // namespace
