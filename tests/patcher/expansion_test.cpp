// Expansion helper against real stores (fixture writer), xdelta3 deltas and
// real folders: whole files and deltas land verified, a wrong old file or a bad
// digest leaves the installed file as it was, reruns are harmless, hostile
// names and links never lead outside, and output trees copy with their rules.
#include "core/stopflag.h"
#include "patcher/expansionhelper.h"
#include "patcher/patcher_types.h"
#include "patcher/taskstatus.h"
#include "tests/patcher/delta_support.h"
#include "tests/patcher/log_capture.h"
#include "tests/patcher/store_fixture.h"
#include "tests/support/support.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using storefixture::DeltaMember;
using storefixture::M;
using storefixture::WholeMember;
using storefixture::Writer;
using testsupport::ConsoleCapture;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Writes a file, creating its folders.
void WriteFile(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testsupport::WriteFile(path, bytes);
}

std::string Bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s) {
        c = (char)('a' + rng() % 20);
    }
    return s;
}

struct Progress {
    std::vector<std::pair<std::string, uint64_t>> calls;
    static void Receive(const char *name, void *context, uint32_t low, uint32_t high) {
        static_cast<Progress *>(context)->calls.emplace_back(name, ((uint64_t)high << 32) | low);
    }
};

class ExpansionTest : public ::testing::Test, public patchertest::PatcherLogCapture {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        StartCapture();
        ExpansionHelper_Create(&helper_, Progress::Receive, &progress_);
        ExpansionHelper_SetRetryPause(helper_, 0);
        PatcherTaskStatus_Create(&status_);
        PatcherTaskStatus_GetData(status_, &data_);
        base_ = dir_.path() + "/";
        Zyl_StrCopy(data_->BasePath, base_.c_str(), PATCHER_PATH_SIZE);
        Zyl_StrCopy(data_->PackageName, "game", PATCHER_PATH_SIZE);
        data_->PackageType = PACKAGE_TYPE_INCREMENTAL_VCDIFF;
        data_->CurrentVersion = 1;
        data_->TargetVersion = 2;
        Zyl_StrCopy(data_->OutputPath, (base_ + "game_2/").c_str(), PATCHER_PATH_SIZE);
        Zyl_StrCopy(data_->CopyPath, base_.c_str(), PATCHER_PATH_SIZE);
        mkdir((base_ + "game_2").c_str(), 0755);
    }
    void TearDown() override {
        ExpansionHelper_Destroy(&helper_);
        EXPECT_EQ(nullptr, helper_);
        PatcherTaskStatus_Destroy(&status_);
        StopCapture();
    }
    // Writes the store under the name the status gives ("game_2_1to2").
    void WriteStore(std::vector<storefixture::Member> members) {
        Writer w;
        w.members = std::move(members);
        w.Layout();
        w.Write(base_ + "game_2", "game_2_1to2");
        total_ = 0;
        for (const auto &m : w.members) {
            total_ += m.resultSize >= 0 ? m.resultSize : (int64_t)m.content.size();
        }
    }
    int Expand() { return ExpansionHelper_Expand(helper_, &stop_, &first_, status_, &second_); }
    bool HasError(int code, const std::string &text) const {
        for (const auto &e : errors) {
            if (e.first == code && e.second == text) {
                return true;
            }
        }
        return false;
    }
    // No file produced beside an installed one is left behind.
    void ExpectNoLeftovers() {
        std::string out;
        testsupport::RunCommand("find " + dir_.path() + " -name '*.expanding'", &out);
        EXPECT_EQ("", out);
    }

    TempDir dir_;
    std::string base_;
    ExpansionHelperStruct *helper_ = nullptr;
    PatcherTaskStatus *status_ = nullptr;
    PatcherTaskData *data_ = nullptr;
    Progress progress_;
    StopFlag stop_;
    int64_t first_ = -1, second_ = -1, total_ = 0;
};

TEST(ExpansionNames, DiffNamesAndOutputPaths) {
    struct {
        int type, from, target, baseline, available;
        const char *expect;
    } names[] = {
        {4, 2, 10, 1, 5, "game_10_0to10"}, {4, 2, 10, 0, 5, "game_10_-1to10"},
        {4, 2, 10, 1, 0, "game_10_2to10"}, {4, 6, 10, 1, 5, "game_10_6to10"},
        {4, 5, 10, 1, 5, "game_10_0to10"}, {3, 2, 10, 1, 5, "game_10_2to10"},
        {3, 9, 10, 0, 1, "game_10_9to10"},
    };
    for (const auto &c : names) {
        char name[EXPANSION_PATH_SIZE];
        EXPECT_EQ(1, ExpansionHelper_GenerateDiffName(name, "game", c.type, c.from, c.target,
                                                      c.baseline, c.available));
        EXPECT_STREQ(c.expect, name) << c.type << " " << c.from << " " << c.available;
    }
    testsupport::EnsureAlertLog();
    struct {
        int type;
        const char *package;
        int result;
        const char *expect;
    } paths[] = {
        {1, "game", 1, "/i/game_p/"}, {4, "game", 1, "/i/game_p/"},
        {2, "game", 1, "/i/game_7/"}, {3, "game", 1, "/i/game_7/"},
        {0, "game", 0, ""},           {5, "game", 0, ""},
        {3, "../up", 0, ""},          {1, "a/b", 0, ""},
    };
    for (const auto &c : paths) {
        ConsoleCapture console;
        char path[EXPANSION_PATH_SIZE] = "junk";
        EXPECT_EQ(c.result, PatcherTask_GenerateOutputPath(path, "/i/", c.package, c.type, 7));
        EXPECT_STREQ(c.expect, path);
        if (c.type == 0 || c.type == 5) {
            EXPECT_TRUE(console.Contains("invalid type for PatcherTask_GenerateOutputPath()"));
        }
    }
}

// Files are produced under names of their own run only: a link planted at the
// name a produced file once had is neither followed nor removed, and a
// delta's result may not pass the member's size.
TEST_F(ExpansionTest, PlantedLinksAreNotFollowedAndResultsStopAtTheirSize) {
    WriteFile(dir_ / "outside", "not yours");
    WriteFile(dir_ / "a.txt", "old a");
    ASSERT_EQ(0, symlink((dir_ / "outside").c_str(), (dir_ / "a.txt.expanding").c_str()));
    WriteStore({WholeMember("a.txt", "new a")});
    ASSERT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ("new a", ReadFile(dir_ / "a.txt"));
    EXPECT_EQ("not yours", ReadFile(dir_ / "outside"));
    struct stat info;
    EXPECT_EQ(0, lstat((dir_ / "a.txt.expanding").c_str(), &info));
    unlink((dir_ / "a.txt.expanding").c_str());

    if (!testsupport::HaveProgram("xdelta3")) {
        GTEST_SKIP() << "xdelta3 not installed";
    }
    std::string oldC = Bytes(5000, 1), newC = Bytes(9000, 2);
    WriteFile(dir_ / "c.dat", oldC);
    storefixture::Member delta = DeltaMember(dir_, "c.dat", oldC, newC);
    delta.resultSize = (int64_t)newC.size() - 1; // the table says one byte less
    WriteStore({delta});
    ConsoleCapture console;
    EXPECT_EQ(0, Expand());
    EXPECT_TRUE(console.Contains("target window passes the expected size")) << console.Text();
    EXPECT_EQ(oldC, ReadFile(dir_ / "c.dat"));
    ExpectNoLeftovers();
}

TEST_F(ExpansionTest, ExpandsWholeFilesAndDeltasAndRunsAgain) {
    if (!testsupport::HaveProgram("xdelta3")) {
        GTEST_SKIP() << "xdelta3 not installed";
    }
    std::string oldC = Bytes(50000, 1), newC = oldC.substr(0, 30000) + "changed" + Bytes(9000, 2);
    std::string doneD = Bytes(3000, 3);
    std::string big = Bytes(20000, 4); // several sections, across data files
    WriteFile(dir_ / "c.dat", oldC);
    WriteFile(dir_ / "d.dat", doneD);
    WriteFile(dir_ / "a.txt", "old a");
    chmod((dir_ / "a.txt").c_str(), 0555); // read-only programs are replaced and stay programs
    WriteStore({WholeMember("a.txt", "new a"), WholeMember("sub/b.bin", big),
                DeltaMember(dir_, "c.dat", oldC, newC),
                DeltaMember(dir_, "d.dat", Bytes(3000, 5), doneD),
                WholeMember("bin/run.sh", "#!/bin/sh\necho hi\n"),
                WholeMember("bin/game", std::string("\x7f"
                                                    "ELF\x02\x01",
                                                    6) +
                                            Bytes(100, 6))});
    ConsoleCapture console;
    ASSERT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ("new a", ReadFile(dir_ / "a.txt"));
    struct stat info;
    ASSERT_EQ(0, stat((dir_ / "a.txt").c_str(), &info));
    EXPECT_EQ(0555u, info.st_mode & 0777);
    EXPECT_EQ(big, ReadFile(dir_ / "sub/b.bin"));
    // New files: programs (script or ELF image) may be run, data may not.
    mode_t mask = umask(022);
    umask(mask);
    const std::pair<const char *, mode_t> modes[] = {
        {"bin/run.sh", 0755}, {"bin/game", 0755}, {"sub/b.bin", 0644}};
    for (const auto &[name, mode] : modes) {
        ASSERT_EQ(0, stat((dir_ / name).c_str(), &info)) << name;
        EXPECT_EQ(mode & ~mask, info.st_mode & 0777) << name;
    }
    EXPECT_EQ(newC, ReadFile(dir_ / "c.dat"));
    EXPECT_EQ(doneD, ReadFile(dir_ / "d.dat"));
    EXPECT_EQ(total_, first_);
    EXPECT_EQ(total_, second_);
    EXPECT_TRUE(console.Contains(
        "ExpansionHelper_InternalVerifySource() file already complete - skipping expansion"));
    EXPECT_EQ(1, Count(logs, "Expand [c.dat] diff[1] from [game_2_1to2]")) << DumpLogs();
    EXPECT_EQ(1, Count(logs, "Successfully expanded [sub/b.bin] 20000"));
    ASSERT_EQ(12u, progress_.calls.size()); // twice per member: 0 before, the size after
    for (size_t i = 0; i + 1 < progress_.calls.size(); i += 2) {
        EXPECT_EQ(progress_.calls[i].first, progress_.calls[i + 1].first);
        EXPECT_EQ(0u, progress_.calls[i].second);
    }
    auto b = std::find(progress_.calls.begin(), progress_.calls.end(),
                       std::make_pair(std::string("sub/b.bin"), (uint64_t)0));
    ASSERT_NE(progress_.calls.end(), b);
    EXPECT_EQ(20000u, (b + 1)->second);
    EXPECT_TRUE(errors.empty()) << DumpLogs();
    ExpectNoLeftovers();

    // The task retries whole steps: a second run finds every delta complete.
    console.Clear();
    ASSERT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ(newC, ReadFile(dir_ / "c.dat"));
    EXPECT_EQ("new a", ReadFile(dir_ / "a.txt"));
    EXPECT_TRUE(errors.empty()) << DumpLogs();
}

TEST_F(ExpansionTest, RefusedMembersLeaveInstalledFilesAsTheyWere) {
    if (!testsupport::HaveProgram("xdelta3")) {
        GTEST_SKIP() << "xdelta3 not installed";
    }
    std::string oldC = Bytes(8000, 6), newC = oldC + "tail";
    storefixture::Member badDigest = WholeMember("a.txt", "new a");
    badDigest.resultHash = testsupport::Sha1Hex("something else");
    storefixture::Member delta = DeltaMember(dir_, "c.dat", oldC, newC);
    storefixture::Member badDelta = delta;
    badDelta.resultHash = testsupport::Sha1Hex("not what the delta gives");
    storefixture::Member cutDelta = delta;
    cutDelta.content.resize(cutDelta.content.size() - 10);
    struct Case {
        const char *name;
        storefixture::Member member;
        std::string installed; // content of the installed file; "" = missing
        int code;
        std::string error;
    } cases[] = {
        {"whole file digest", badDigest, "old a", 0, "Expansion verify error [a.txt]"},
        {"delta against another file", delta, "modified by the user", 8,
         "Unable to verify source for expansion [" + base_ + "c.dat]"},
        {"delta against a missing file", delta, "", 8,
         "Unable to verify source for expansion [" + base_ + "c.dat]"},
        {"delta result digest", badDelta, oldC, 0, "Expansion verify error [c.dat]"},
        {"cut delta", cutDelta, oldC, 0, "Unable to inflate buffer"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        // A helper reports each text once: a fresh one per case, as per task.
        ExpansionHelper_Destroy(&helper_);
        ExpansionHelper_Create(&helper_, nullptr, nullptr);
        ExpansionHelper_SetRetryPause(helper_, 0);
        std::string target = dir_ / c.member.name;
        unlink(target.c_str());
        if (!c.installed.empty()) {
            WriteFile(target, c.installed);
        }
        WriteStore({c.member, WholeMember("later.txt", "later")});
        EXPECT_EQ(0, Expand());
        EXPECT_TRUE(HasError(c.code, c.error)) << DumpLogs();
        EXPECT_EQ(!c.installed.empty(), FileExists(target));
        if (!c.installed.empty()) {
            EXPECT_EQ(c.installed, ReadFile(target));
        }
        EXPECT_FALSE(FileExists(dir_ / "later.txt")); // the expansion stopped there
        ExpectNoLeftovers();
    }
}

TEST_F(ExpansionTest, ARunRemovesReplacementsThatAKilledRunLeft) {
    WriteFile(dir_ / "a.txt", "old a");
    // Left by runs killed before their renames (pids above any pid_max, so no
    // process has them); the others are not ours, or a live process's.
    const std::vector<std::string> leftovers = {"a.txt.99999999-0.expanding",
                                                "sub/b.bin.99999998-3.expanding"};
    const std::vector<std::string> kept = {"a.txt.x-1.expanding.keep", "a.txt.4242.done",
                                           "a.txtz.1-2.expanding",
                                           "a.txt." + std::to_string(getpid()) + "-900.expanding"};
    for (const std::string &name : leftovers)
        WriteFile(dir_ / name, "partial");
    for (const std::string &name : kept)
        WriteFile(dir_ / name, "other");
    WriteStore({WholeMember("a.txt", "new a"), WholeMember("sub/b.bin", "b")});
    ASSERT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ("new a", ReadFile(dir_ / "a.txt"));
    EXPECT_EQ("b", ReadFile(dir_ / "sub/b.bin"));
    for (const std::string &name : leftovers)
        EXPECT_FALSE(FileExists(dir_ / name)) << name;
    for (const std::string &name : kept)
        EXPECT_EQ("other", ReadFile(dir_ / name)) << name;
}

TEST_F(ExpansionTest, InstalledFilesAreFoundIgnoringCaseWhenOneMatches) {
    WriteFile(dir_ / "Data/README.txt", "old");
    WriteFile(dir_ / "Two/a.TXT", "first");
    WriteFile(dir_ / "Two/A.txt", "second");
    WriteStore({WholeMember("data/readme.txt", "new"), WholeMember("two/a.txt", "third")});
    ASSERT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ("new", ReadFile(dir_ / "Data/README.txt"));
    EXPECT_FALSE(FileExists(dir_ / "data"));
    // Two names match: a new file under the name as written.
    EXPECT_EQ("first", ReadFile(dir_ / "Two/a.TXT"));
    EXPECT_EQ("second", ReadFile(dir_ / "Two/A.txt"));
    EXPECT_EQ("third", ReadFile(dir_ / "two/a.txt"));
}

TEST_F(ExpansionTest, CutStoreOrStopLeavesOldFiles) {
    WriteFile(dir_ / "a.txt", "old a");
    std::string big = Bytes(60000, 7);
    Writer w;
    w.members = {WholeMember("a.txt", big)};
    w.Layout();
    w.Write(base_ + "game_2", "game_2_1to2");
    std::string data = w.DataPath(base_ + "game_2", "game_2_1to2", 1);
    ASSERT_TRUE(FileExists(data));
    WriteFile(data, ReadFile(data).substr(0, 100)); // the second data file is cut
    EXPECT_EQ(0, Expand());
    EXPECT_EQ("old a", ReadFile(dir_ / "a.txt"));
    ExpectNoLeftovers();

    w.Write(base_ + "game_2", "game_2_1to2");
    StopFlag_Set(&stop_, 1);
    EXPECT_EQ(0, Expand());
    EXPECT_EQ("old a", ReadFile(dir_ / "a.txt"));
    StopFlag_Set(&stop_, 0);
    EXPECT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ(big, ReadFile(dir_ / "a.txt"));
}

TEST_F(ExpansionTest, NothingLeadsOutsideTheInstallation) {
    TempDir outside;
    WriteFile(outside / "victim", "keep");
    ASSERT_EQ(0, symlink(outside.path().c_str(), (dir_ / "linked").c_str()));
    WriteStore({WholeMember("linked/victim", "overwritten")});
    EXPECT_EQ(0, Expand());
    EXPECT_EQ("keep", ReadFile(outside / "victim"));

    struct {
        const char *field;
        std::string value;
    } bad[] = {
        {"package", "../game"},  {"base", "relative/"},          {"base", "/"},
        {"copy", base_ + "../"}, {"output", base_ + "a/../../"},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.value);
        PatcherTaskData saved = *data_;
        char *field = Zyl_StrEqual(c.field, "package") ? data_->PackageName
                      : Zyl_StrEqual(c.field, "base")  ? data_->BasePath
                      : Zyl_StrEqual(c.field, "copy")  ? data_->CopyPath
                                                       : data_->OutputPath;
        Zyl_StrCopy(field, c.value.c_str(), PATCHER_PATH_SIZE);
        errors.clear();
        EXPECT_EQ(0, Expand());
        EXPECT_FALSE(errors.empty());
        *data_ = saved;
    }
}

TEST_F(ExpansionTest, StoreEdgeCases) {
    WriteStore({});
    EXPECT_EQ(1, Expand());
    EXPECT_EQ(0, first_);

    Zyl_StrCopy(data_->OutputPath, data_->CopyPath, PATCHER_PATH_SIZE);
    EXPECT_EQ(0, Expand());
    EXPECT_TRUE(HasError(0, "Source/destination directories cannot match when using "
                            "PACKAGE_TYPE_INCREMENTAL_VCDIFF"));

    Zyl_StrCopy(data_->OutputPath, (base_ + "game_2/").c_str(), PATCHER_PATH_SIZE);
    data_->TargetVersion = 3; // game_3 does not exist
    EXPECT_EQ(0, Expand());
    EXPECT_TRUE(HasError(0, "Source path [" + base_ + "game_3/] does not exist"));
    data_->TargetVersion = 2;
    unlink((base_ + "game_2/game_2_1to2.tocstore").c_str());
    EXPECT_EQ(0, Expand());
    EXPECT_TRUE(HasError(0, "Unable to open [" + base_ + "game_2/game_2_1to2]")) << DumpLogs();
}

TEST_F(ExpansionTest, ErrorsAreReportedOncePerHelper) {
    ExpansionHelper_ReportError(helper_, 0, "Unable to copy file [%s] [%s]", "a", "b");
    ExpansionHelper_ReportError(helper_, 0, "Unable to copy file [%s] [%s]", "a", "b");
    ExpansionHelper_ReportError(helper_, 8, "Unable to copy file [%s] [%s]", "a", "c");
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ(8, errors[1].first);
}

struct RetryCounter {
    int calls = 0, succeedAt = 1000, result = 0;
    StopFlag *stopAt = nullptr;
    static int Run(ExpansionHelperStruct *, void *argument, StopFlag *) {
        RetryCounter *c = static_cast<RetryCounter *>(argument);
        c->calls++;
        if (c->stopAt != nullptr) {
            StopFlag_Set(c->stopAt, 1);
        }
        return c->calls >= c->succeedAt ? 1 : c->result;
    }
};

TEST_F(ExpansionTest, RetriesFiftyTimesUnlessStoppedOrRefused) {
    struct {
        int succeedAt, result, stop, expect, calls;
    } cases[] = {
        {3, 0, 0, 1, 3},     {51, 0, 0, 1, 51},  {1000, 0, 0, 0, 51},
        {1000, -1, 0, 0, 1}, {1000, 2, 0, 0, 1}, {1000, 0, 1, 0, 1},
    };
    for (const auto &c : cases) {
        RetryCounter counter;
        counter.succeedAt = c.succeedAt;
        counter.result = c.result;
        StopFlag stop;
        counter.stopAt = c.stop ? &stop : nullptr;
        EXPECT_EQ(c.expect, ExpansionHelper_Retry(&stop, helper_, RetryCounter::Run, &counter));
        EXPECT_EQ(c.calls, counter.calls) << c.succeedAt << " " << c.result << " " << c.stop;
    }
}

TEST_F(ExpansionTest, PerformCopyAppliesSkipDeployAndDelete) {
    data_->PackageType = PACKAGE_TYPE_PROGRESSIVE;
    data_->UseDeployExtension = 1;
    data_->PerformDelete = 1;
    std::string out = base_ + "game_p/", install = base_ + "install/";
    Zyl_StrCopy(data_->OutputPath, out.c_str(), PATCHER_PATH_SIZE);
    Zyl_StrCopy(data_->CopyPath, install.c_str(), PATCHER_PATH_SIZE);
    WriteFile(out + "b.dll.deploy", "library");
    WriteFile(out + "readme.txt", "text");
    WriteFile(out + "remove.manifest", "old.txt\n");
    WriteFile(out + "data/levels/one.lvl", std::string(1000, 'L'));
    chmod((out + "readme.txt").c_str(), 0750);
    mkdir(install.c_str(), 0755);
    WriteFile(install + "b.dll", "old library");
    int64_t size = 0;
    ExpansionHelper_GetDirectorySize(&size, helper_, out.c_str(), &stop_);
    EXPECT_EQ(7 + 4 + 1000, size); // remove.manifest not counted
    ASSERT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ(size, first_);
    EXPECT_EQ("library", ReadFile(install + "b.dll"));
    EXPECT_EQ("text", ReadFile(install + "readme.txt"));
    struct stat info;
    ASSERT_EQ(0, stat((install + "readme.txt").c_str(), &info));
    EXPECT_EQ(0750u, info.st_mode & 0777);
    EXPECT_EQ(std::string(1000, 'L'), ReadFile(install + "data/levels/one.lvl"));
    EXPECT_FALSE(FileExists(install + "remove.manifest"));
    EXPECT_FALSE(FileExists(install + "b.dll.deploy"));
    EXPECT_TRUE(FileExists(out + "remove.manifest")); // skipped files stay
    EXPECT_FALSE(FileExists(out + "b.dll.deploy"));
    EXPECT_FALSE(FileExists(out + "data/levels/one.lvl"));
    EXPECT_EQ(1, Count(logs, "Perform copy [" + out + "] to [" + install + "] delete [1]"));
    ExpectNoLeftovers();

    // Run again after the sources were consumed: nothing to do, still fine.
    EXPECT_EQ(1, Expand()) << DumpLogs();
    EXPECT_EQ("library", ReadFile(install + "b.dll"));
    // A destructive update never deletes the output.
    WriteFile(out + "c.txt", "c");
    data_->DestructiveUpdate = 1;
    EXPECT_EQ(1, Expand());
    EXPECT_TRUE(FileExists(out + "c.txt"));
}

TEST_F(ExpansionTest, CopyTreeRefusals) {
    std::string src = base_ + "src/";
    WriteFile(src + "a.txt", "a");
    struct {
        std::string destination, source;
        std::string error;
    } cases[] = {
        {src + "inner/", src,
         "The dest path [" + src + "inner/] cannot contain the source path [" + src + "]"},
        {src, src, "The dest path [" + src + "] cannot contain the source path [" + src + "]"},
        {base_ + "dst/", base_ + "missing/", "Source path [" + base_ + "missing/] does not exist"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(0, ExpansionHelper_CopyTree(helper_, c.destination.c_str(), c.source.c_str(), 1,
                                              0, 0, 0, &stop_));
        EXPECT_TRUE(HasError(0, c.error)) << DumpLogs();
    }
    // Links in the output are never followed.
    TempDir outside;
    WriteFile(outside / "secret", "secret");
    ASSERT_EQ(0, symlink((outside / "secret").c_str(), (src + "link").c_str()));
    mkdir((base_ + "dst").c_str(), 0755);
    EXPECT_EQ(0, ExpansionHelper_CopyTree(helper_, (base_ + "dst/").c_str(), src.c_str(), 0, 0, 0,
                                          1, &stop_));
    EXPECT_FALSE(FileExists(base_ + "dst/link"));
    EXPECT_EQ("a", ReadFile(base_ + "dst/a.txt"));
    EXPECT_EQ(1, Count(logs, "Copy file [" + src + "a.txt] to [" + base_ + "dst/a.txt]"));
}

TEST_F(ExpansionTest, CopyStoreSourcesTakesOnlyDeltaMembers) {
    std::string store = base_ + "store/", baseline = base_ + "baseline/";
    mkdir(store.c_str(), 0755);
    Writer w;
    w.members = {M("x.dat", "dx", true, std::string(40, '1'), std::string(40, '2')),
                 WholeMember("whole.txt", "w"),
                 M("sub/y.dat", "dy", true, std::string(40, '1'), std::string(40, '2'))};
    w.Layout();
    w.Write(base_ + "store", "s");
    WriteFile(dir_ / "x.dat", "installed x");
    WriteFile(dir_ / "sub/y.dat", "installed y");
    WriteFile(dir_ / "whole.txt", "installed w");
    EXPECT_EQ(1, ExpansionHelper_CopyStoreSources(baseline.c_str(), &stop_, helper_, status_,
                                                  base_.c_str(), store.c_str(), "s"))
        << DumpLogs();
    EXPECT_EQ("installed x", ReadFile(baseline + "x.dat"));
    EXPECT_EQ("installed y", ReadFile(baseline + "sub/y.dat"));
    EXPECT_FALSE(FileExists(baseline + "whole.txt"));
    EXPECT_EQ(0, ExpansionHelper_CopyStoreSources(baseline.c_str(), &stop_, helper_, status_,
                                                  base_.c_str(), store.c_str(), "nothing"));
    EXPECT_TRUE(HasError(0, "Unable to open [nothing]"));
    unlink((dir_ / "x.dat").c_str());
    EXPECT_EQ(0, ExpansionHelper_CopyStoreSources(baseline.c_str(), &stop_, helper_, status_,
                                                  base_.c_str(), store.c_str(), "s"));
    EXPECT_TRUE(HasError(0, "Unable to copy file [" + base_ + "x.dat] [" + baseline + "x.dat]"))
        << DumpLogs();
}

TEST(ExpansionDeath, WrongObjectStops) {
    EXPECT_DEATH(ExpansionHelper_Log(nullptr, 1, "x"), "Pointer is NULL");
}

} // namespace
