// Recursive delete and the delete manifest on real folders: trees go with their
// read-only files and links (never their targets), nothing at or above the given
// root is touched, manifest lines outside the installation are refused, and a
// failed last entry makes the whole manifest run again.
#include "core/alert.h"
#include "core/file.h"
#include "core/stopflag.h"
#include "patcher/deletehelper.h"
#include "patcher/taskstatus.h"
#include "tests/patcher/delta_support.h"
#include "tests/patcher/log_capture.h"
#include "tests/support/support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

void Put(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testsupport::WriteFile(path, bytes);
}

bool Exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

class DeleteTest : public ::testing::Test, public patchertest::PatcherLogCapture {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        StartCapture();
        DeleteHelper_SetRetryPause(0);
        PatcherTaskStatus_Create(&status_);
        PatcherTaskStatus_GetData(status_, &data_);
        install_ = dir_ / "install/";
        output_ = dir_ / "output/";
        Zyl_StrCopy(data_->CopyPath, install_.c_str(), PATCHER_PATH_SIZE);
        Zyl_StrCopy(data_->OutputPath, output_.c_str(), PATCHER_PATH_SIZE);
        std::filesystem::create_directories(install_);
        std::filesystem::create_directories(output_);
        Put(outside_ / "victim", "keep");
    }
    void TearDown() override {
        EXPECT_EQ("keep", ReadFile(outside_ / "victim"));
        PatcherTaskStatus_Destroy(&status_);
        StopCapture();
        DeleteHelper_SetRetryPause(250);
    }
    int Process(DeleteManifestCallback callback = nullptr, void *patcher = nullptr) {
        return DeleteHelper_ProcessDeleteManifest(callback, patcher, nullptr, status_, &stop_);
    }

    TempDir dir_, outside_;
    std::string install_, output_;
    PatcherTaskStatus *status_ = nullptr;
    PatcherTaskData *data_ = nullptr;
    StopFlag stop_;
};

TEST_F(DeleteTest, DeletesTreesAndLinksButNeverTheirTargets) {
    std::string tree = install_ + "old_p";
    Put(tree + "/a.txt", "a");
    Put(tree + "/sub/deeper/b.txt", "b");
    Put(tree + "/sub/c.txt", "c");
    chmod((tree + "/sub/c.txt").c_str(), 0444);
    std::filesystem::create_directories(tree + "/empty");
    ASSERT_EQ(0, symlink(outside_.path().c_str(), (tree + "/sub/to_folder").c_str()));
    ASSERT_EQ(0, symlink((outside_ / "victim").c_str(), (tree + "/to_file").c_str()));
    EXPECT_EQ(1, DeleteHelper_DeleteDirectory(install_.c_str(), (tree + "/").c_str()));
    EXPECT_FALSE(Exists(tree));
    EXPECT_TRUE(Exists(install_));

    // A folder that is itself a link loses the link only.
    ASSERT_EQ(0, symlink(outside_.path().c_str(), (install_ + "linked").c_str()));
    EXPECT_EQ(1, DeleteHelper_DeleteDirectory(install_.c_str(), (install_ + "linked").c_str()));
    EXPECT_FALSE(Exists(install_ + "linked"));
    // Missing counts as deleted.
    EXPECT_EQ(1, DeleteHelper_DeleteDirectory(install_.c_str(), (install_ + "gone").c_str()));
}

TEST_F(DeleteTest, RefusesTheRootAndAnythingAboveOrBeside) {
    Put(install_ + "keep.txt", "k");
    std::string parent = dir_.path();
    std::string cases[] = {install_,
                           install_.substr(0, install_.size() - 1),
                           parent,
                           "/",
                           install_ + "..",
                           install_ + "a/../..",
                           "install/sub",
                           outside_.path(),
                           ""};
    for (const auto &path : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(0, DeleteHelper_DeleteDirectory(install_.c_str(), path.c_str()));
    }
    EXPECT_EQ("k", ReadFile(install_ + "keep.txt"));
    EXPECT_EQ(0, DeleteHelper_DeleteDirectory("relative/", "relative/sub"));
    EXPECT_EQ(0, DeleteHelper_DeleteDirectory("/", install_.c_str()));
}

TEST_F(DeleteTest, ManifestDeletesListedFilesOnly) {
    Put(install_ + "old.dll", "x");
    Put(install_ + "data/old.pak", "x");
    Put(install_ + "readonly.txt", "x");
    chmod((install_ + "readonly.txt").c_str(), 0444);
    Put(install_ + "stays.txt", "x");
    ASSERT_EQ(0, symlink(outside_.path().c_str(), (install_ + "linked").c_str()));
    Put(output_ + "remove.manifest", "# files the new release no longer has\r\n"
                                     "old.dll\r\n"
                                     "\r\n"
                                     "data\\old.pak\n"
                                     "readonly.txt\n"
                                     "../" +
                                         outside_.path().substr(1) + "/victim\n" + outside_.path() +
                                         "/victim\n"
                                         "linked/victim\n"
                                         ".\n"
                                         "never_there.txt\n");
    EXPECT_EQ(1, Process());
    EXPECT_FALSE(Exists(install_ + "old.dll"));
    EXPECT_FALSE(Exists(install_ + "data/old.pak"));
    EXPECT_FALSE(Exists(install_ + "readonly.txt"));
    EXPECT_TRUE(Exists(install_ + "stays.txt"));
    EXPECT_TRUE(Exists(install_ + "linked"));
    EXPECT_EQ(1, Count(logs, "Processing remove.manifest file. [" + output_ + "remove.manifest]"));
    EXPECT_EQ(1, Count(logs, "Unable to delete file [" + install_ +
                                 "never_there.txt] because it does not exist."))
        << DumpLogs();
    std::string refused[] = {"../" + outside_.path().substr(1) + "/victim",
                             outside_.path() + "/victim", "linked/victim", "."};
    for (const auto &line : refused) {
        EXPECT_EQ(1,
                  Count(logs, "Refusing remove.manifest entry [" + install_ + "] [" + line + "]"))
            << DumpLogs();
    }
    // Running it again changes nothing and still ends.
    EXPECT_EQ(1, Process());
    EXPECT_TRUE(Exists(install_ + "stays.txt"));
}

TEST_F(DeleteTest, CommentsOnlyAndStopEndAtOnce) {
    Put(output_ + "remove.manifest", "# nothing\n\n#\n");
    EXPECT_EQ(1, Process());
    unlink((output_ + "remove.manifest").c_str());
    StopFlag_Set(&stop_, 1);
    EXPECT_EQ(1, Process()); // a missing manifest is waited for only until the stop
}

struct Recorder {
    std::vector<std::string> lines;
    int failFirstLast = 1; // the last line fails this many times
    static int Handle(FileStruct *, void *patcher, void *, PatcherTaskStatus *, const char *line) {
        Recorder *r = static_cast<Recorder *>(patcher);
        r->lines.push_back(line);
        if (std::string(line) == "last" && r->failFirstLast > 0) {
            r->failFirstLast--;
            return 0;
        }
        return 1;
    }
};

TEST_F(DeleteTest, FailedLastEntryRunsTheWholeManifestAgain) {
    Put(output_ + "remove.manifest", "first\n#x\nmiddle\nlast\n");
    Recorder r;
    r.failFirstLast = 2;
    EXPECT_EQ(1, Process(Recorder::Handle, &r));
    std::vector<std::string> expect = {"first", "middle", "last",   "first", "middle",
                                       "last",  "first",  "middle", "last"};
    EXPECT_EQ(expect, r.lines);

    // A failure before the last entry does not repeat the manifest.
    Put(output_ + "remove.manifest", "last\nfirst\n");
    r.lines.clear();
    r.failFirstLast = 1;
    EXPECT_EQ(1, Process(Recorder::Handle, &r));
    EXPECT_EQ((std::vector<std::string>{"last", "first"}), r.lines);
}

// Stops the manifest processing from the Alert log once the entry was tried
// three times (the printer runs on the processing thread).
struct AttemptCounter {
    static int attempts;
    static StopFlag *stop;
    static void Print(int, int, const char *text) {
        if (std::string(text).rfind("Deleting file [", 0) == 0 && ++attempts == 3) {
            StopFlag_Set(stop, 1);
        }
    }
};
int AttemptCounter::attempts = 0;
StopFlag *AttemptCounter::stop = nullptr;

TEST_F(DeleteTest, EntryThatCannotBeDeletedIsRetriedUntilStopped) {
    // A non-empty folder listed as a file cannot be erased.
    Put(install_ + "busy/inner.txt", "x");
    Put(output_ + "remove.manifest", "busy\n");
    AttemptCounter::attempts = 0;
    AttemptCounter::stop = &stop_;
    Alert_SetPrinter(AttemptCounter::Print);
    EXPECT_EQ(1, Process());
    Alert_SetPrinter(nullptr);
    EXPECT_EQ(3, AttemptCounter::attempts);
    EXPECT_TRUE(Exists(install_ + "busy/inner.txt"));
    EXPECT_EQ(1, Count(logs, "Unable to delete file [" + install_ + "busy]."));
}

TEST_F(DeleteTest, AMissingManifestIsNothingToDelete) {
    Put(install_ + "old.dll", "x");
    EXPECT_EQ(1, Process());
    EXPECT_TRUE(Exists(install_ + "old.dll"));
    EXPECT_EQ(1, Count(logs, "No remove.manifest file. [" + output_ + "remove.manifest]"))
        << DumpLogs();
}

// Each manifest line against the files it may take.
TEST_F(DeleteTest, ManifestLinesAsTheyAreWritten) {
    struct Case {
        const char *line;
        std::vector<std::string> files; // in the installation before
        std::vector<std::string> gone;  // deleted by the line
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {"blank.txt  \t", {"blank.txt"}, {"blank.txt"}, {}},
        {"Data\\OLD.Pak", {"data/old.pak", "data/other.pak"}, {"data/old.pak"}, {"data/other.pak"}},
        {"twice.txt", {"Twice.txt", "TWICE.txt"}, {}, {"Twice.txt", "TWICE.txt"}}, // ambiguous
        {"exact.txt", {"exact.txt", "EXACT.txt"}, {"exact.txt"}, {"EXACT.txt"}},
        {"link/x", {"real/x"}, {}, {"real/x"}}, // "link" points at "real"
        {"LINK/x", {"real/x"}, {}, {"real/x"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::filesystem::remove_all(install_);
        std::filesystem::create_directories(install_);
        for (const auto &file : c.files)
            Put(install_ + file, "x");
        symlink((install_ + "real").c_str(), (install_ + "link").c_str());
        Put(output_ + "remove.manifest", std::string(c.line) + "\r\n");
        EXPECT_EQ(1, Process());
        for (const auto &file : c.gone)
            EXPECT_FALSE(Exists(install_ + file)) << file;
        for (const auto &file : c.kept)
            EXPECT_TRUE(Exists(install_ + file)) << file;
    }
}

} // namespace
