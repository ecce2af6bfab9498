// Applying a delta over an installed file when things go wrong: a process
// killed at each step of the replacement, a failed sync, links planted where
// the result is written, a target that is not a file, deltas that end early
// or claim more output than the result may hold, and `patchapply` killed at
// random moments while it updates a file in place.
#include "core/file.h"
#include "patcher/delta/vcdiffstream.h"
#include "platform/durable.h"
#include "tests/patcher/vcdiff_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using testsupport::ConsoleCapture;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using vcdfixture::Window;

namespace {

// Files of this test's folder whose name ends in suffix (one per line, sorted).
std::string FilesEndingIn(const TempDir &dir, const std::string &suffix) {
    std::string out;
    testsupport::RunCommand("find " + dir.path() + " -name '*" + suffix + "' | sort", &out);
    return out;
}

// An old file, a new one and a delta between them (fixture windows: one copy
// of the old bytes and one added run, so no external encoder is needed).
struct DeltaFiles {
    std::string oldData = std::string(3000, 'o');
    std::string newData;
    std::string delta;
    DeltaFiles() {
        Window w;
        w.Copy((uint32_t)oldData.size(), 0, 0);
        w.Add("appended");
        newData = oldData + "appended";
        delta = vcdfixture::Header(0) +
                w.Encode(0x01, (uint32_t)oldData.size(), 0, true, 0, -1, oldData);
    }
};

class ApplySafety : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::EnsureAlertLog(); }
};

int ApplyInPlace(const TempDir &dir, const uint8_t *digest = nullptr, int64_t size = -1) {
    std::string target = dir / "game.dat";
    return VCDiffStream_ApplyFile(target.c_str(), (dir / "delta").c_str(), target.c_str(), digest,
                                  size);
}

// Dies (as a kill would) when the replacement reaches the step named in argument 0.
int DieAtStep(void *user, int step, const char *) {
    if (step == *static_cast<int *>(user)) {
        _exit(42);
    }
    return 0;
}

PORTICO_TEST_CHILD(apply_dies_at_step) {
    int step = std::stoi(args.at(1));
    Durable_SetFaultHook(DieAtStep, &step);
    std::string target = args.at(0) + "/game.dat";
    VCDiffStream_ApplyFile(target.c_str(), (args.at(0) + "/delta").c_str(), target.c_str(), nullptr,
                           -1);
    return 0; // the step was never reached
}

// The window that once lay between erasing the target and renaming the result
// over it: a process killed at any step of an in-place apply leaves the old or
// the new file under the target's name, and a second run finishes the job
// without touching what the killed one left behind.
TEST_F(ApplySafety, KilledAtEveryStepLeavesOldOrNewAndARerunFinishes) {
    DeltaFiles files;
    struct Case {
        int step;
        const char *name;
        bool newAfterKill;
    } cases[] = {
        {DURABLE_STEP_CREATE, "before the result file exists", false},
        {DURABLE_STEP_SYNC, "decoded, before the sync", false},
        {DURABLE_STEP_RENAME, "synced, before the rename", false},
        {DURABLE_STEP_FOLDER, "renamed, before the folder sync", true},
        {DURABLE_STEP_WRITTEN, "done", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "game.dat", files.oldData);
        WriteFile(dir / "delta", files.delta);
        pid_t child =
            testsupport::SpawnChild("apply_dies_at_step", {dir.path(), std::to_string(c.step)});
        ASSERT_GT(child, 0);
        EXPECT_EQ(42, testsupport::WaitChild(child)) << "the step was reached";
        ASSERT_TRUE(FileExists(dir / "game.dat")) << "the target is never missing";
        EXPECT_EQ(c.newAfterKill ? files.newData : files.oldData, ReadFile(dir / "game.dat"));
        std::string leftBehind = FilesEndingIn(dir, ".part");
        if (!c.newAfterKill) {
            ASSERT_EQ(1, ApplyInPlace(dir));
            EXPECT_EQ(files.newData, ReadFile(dir / "game.dat"));
        }
        // The rerun removed nothing it did not write, and left nothing of its own.
        EXPECT_EQ(leftBehind, FilesEndingIn(dir, ".part"));
    }
}

// Fails the sync of any file whose path starts with the text in user.
int FailSync(void *user, int step, const char *path) {
    const std::string &prefix = *static_cast<std::string *>(user);
    return step == DURABLE_STEP_SYNC && std::string(path).rfind(prefix, 0) == 0 ? EIO : 0;
}

struct FaultHookGuard {
    FaultHookGuard(DurableFaultHook hook, void *user) { Durable_SetFaultHook(hook, user); }
    ~FaultHookGuard() { Durable_SetFaultHook(nullptr, nullptr); }
};

// A write-back error is only reported by the sync: it fails the apply, and the
// old file stays in place.
TEST_F(ApplySafety, AFailedSyncIsReportedAndKeepsTheOldFile) {
    DeltaFiles files;
    TempDir dir;
    WriteFile(dir / "game.dat", files.oldData);
    WriteFile(dir / "delta", files.delta);
    std::string prefix = dir / "game.dat";
    ConsoleCapture capture;
    {
        FaultHookGuard guard(FailSync, &prefix);
        EXPECT_EQ(0, ApplyInPlace(dir));
    }
    EXPECT_TRUE(capture.Contains("File_CommitReplacement() fsync failed [" + prefix + "] (5)"))
        << capture.Text();
    EXPECT_EQ(files.oldData, ReadFile(dir / "game.dat"));
    EXPECT_EQ("", FilesEndingIn(dir, ".part"));
    EXPECT_EQ(1, ApplyInPlace(dir));
    EXPECT_EQ(files.newData, ReadFile(dir / "game.dat"));
}

// Plants a link to `outside` under the exact name the result file is about to take.
int PlantLink(void *user, int step, const char *path) {
    if (step == DURABLE_STEP_CREATE) {
        std::string temporary = path;
        symlink(static_cast<std::string *>(user)->c_str(), temporary.c_str());
    }
    return 0;
}

// Links planted where the result is written never lead the write elsewhere:
// neither the old fixed name nor the exact name of this run's file.
TEST_F(ApplySafety, PlantedLinksAreNeverFollowed) {
    DeltaFiles files;
    TempDir dir;
    std::string outside = dir / "outside.txt";
    WriteFile(outside, "not yours");
    WriteFile(dir / "delta", files.delta);
    std::string target = dir / "game.dat";
    symlink(outside.c_str(), (target + ".part").c_str());
    for (const char *delta : {"delta", "bad"}) { // a good apply and a failed one
        SCOPED_TRACE(delta);
        WriteFile(dir / "bad", files.delta.substr(0, files.delta.size() - 3));
        WriteFile(target, files.oldData);
        VCDiffStream_ApplyFile(target.c_str(), (dir / delta).c_str(), target.c_str(), nullptr, -1);
        EXPECT_EQ("not yours", ReadFile(outside));
    }
    WriteFile(target, files.oldData);
    FaultHookGuard guard(PlantLink, &outside);
    ConsoleCapture capture;
    EXPECT_EQ(0, ApplyInPlace(dir));
    EXPECT_TRUE(capture.Contains("File_OpenReplacement() open failed")) << capture.Text();
    EXPECT_EQ("not yours", ReadFile(outside));
    EXPECT_EQ(files.oldData, ReadFile(target));
}

TEST_F(ApplySafety, ATargetThatIsNotARegularFileIsRefused) {
    DeltaFiles files;
    TempDir dir;
    WriteFile(dir / "old", files.oldData);
    WriteFile(dir / "delta", files.delta);
    mkdir((dir / "folder").c_str(), 0755);
    symlink((dir / "old").c_str(), (dir / "link").c_str());
    for (const char *name : {"folder", "link"}) {
        SCOPED_TRACE(name);
        ConsoleCapture capture;
        EXPECT_EQ(0, VCDiffStream_ApplyFile((dir / "old").c_str(), (dir / "delta").c_str(),
                                            (dir / name).c_str(), nullptr, -1));
        EXPECT_TRUE(capture.Contains("target is not a regular file [" + (dir / name) + "]"))
            << capture.Text();
    }
    struct stat info;
    ASSERT_EQ(0, lstat((dir / "folder").c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    ASSERT_EQ(0, lstat((dir / "link").c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(files.oldData, ReadFile(dir / "old"));
}

// Deltas that end early are taken only when a digest or a size shows the result
// complete: a delta without a window makes no file unless the result is empty.
TEST_F(ApplySafety, DeltasEndingEarlyNeedADigestOrSizeThatSaysSo) {
    DeltaFiles files;
    std::string header = vcdfixture::Header(0);
    Window second;
    second.Add("!");
    std::string twoWindows = files.delta + second.Encode(0, 0, 0, true);
    std::string full = files.newData + "!";
    std::string emptyDigest = testsupport::Sha1Bytes("");
    std::string fullDigest = testsupport::Sha1Bytes(full);
    struct Case {
        const char *name;
        std::string delta;
        const std::string *digest;
        int64_t size;
        int expect;
        std::string result; // when expect is 1
        const char *logged;
    } cases[] = {
        {"complete, unchecked", twoWindows, nullptr, -1, 1, full, ""},
        {"complete with size", twoWindows, nullptr, (int64_t)full.size(), 1, full, ""},
        {"cut at a window boundary, size", files.delta, nullptr, (int64_t)full.size(), 0, "",
         "result is 3008 bytes, expected 3009"},
        {"cut at a window boundary, digest", files.delta, &fullDigest, -1, 0, "",
         "digest mismatch"},
        {"header only", header, nullptr, -1, 0, "", "delta holds no window"},
        {"empty delta file", "", nullptr, -1, 0, "", "delta holds no window"},
        {"header only with size 0", header, nullptr, 0, 1, "", ""},
        {"empty delta with empty digest", "", &emptyDigest, -1, 1, "", ""},
        {"header only, digest of content", header, &fullDigest, -1, 0, "", "delta holds no window"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "game.dat", files.oldData);
        WriteFile(dir / "delta", c.delta);
        ConsoleCapture capture;
        EXPECT_EQ(
            c.expect,
            ApplyInPlace(dir, c.digest ? (const uint8_t *)c.digest->data() : nullptr, c.size));
        EXPECT_EQ(c.expect ? c.result : files.oldData, ReadFile(dir / "game.dat"));
        EXPECT_TRUE(capture.Contains(c.logged)) << capture.Text();
        EXPECT_EQ("", FilesEndingIn(dir, ".part"));
    }
}

// 64 windows of one 16 MiB run each: about 1.3 KB of delta that decodes to
// 1 GiB. With the expected size known, the first window that would pass it is
// refused before anything of it is written.
TEST_F(ApplySafety, AWindowPastTheExpectedSizeIsRefusedBeforeItIsDecoded) {
    Window run;
    run.Run(0x1000000, 'r');
    std::string window = run.Encode(0, 0, 0, false);
    std::string bomb = vcdfixture::Header(0);
    for (int i = 0; i < 64; i++) {
        bomb += window;
    }
    EXPECT_LT(bomb.size(), 1400u);
    TempDir dir;
    WriteFile(dir / "game.dat", "old");
    WriteFile(dir / "delta", bomb);
    ConsoleCapture capture;
    EXPECT_EQ(0, ApplyInPlace(dir, nullptr, 1000));
    EXPECT_TRUE(capture.Contains("target window passes the expected size")) << capture.Text();
    EXPECT_EQ("old", ReadFile(dir / "game.dat"));

    // Through the stream itself: nothing reaches the output file.
    WriteFile(dir / "out", "");
    FileStruct *out = nullptr;
    File_New(&out);
    ASSERT_EQ(1, File_Open(out, (dir / "out").c_str(), FILE_MODE_WRITE));
    VCDiffStreamStruct *stream = nullptr;
    VCDiffStream_Create(&stream);
    ASSERT_EQ(1, VCDiffStream_InflateBegin(stream, (dir / "game.dat").c_str(), out, 0x1000000 + 5));
    EXPECT_EQ(0,
              VCDiffStream_InflateBuffer(stream, (const uint8_t *)bomb.data(), (int)bomb.size()));
    EXPECT_EQ(0, VCDiffStream_InflateEnd(stream));
    VCDiffStream_Destroy(&stream);
    File_Close(out);
    File_Delete(&out);
    EXPECT_EQ(0x1000000u, ReadFile(dir / "out").size()) << "one window fits, the second does not";
}

#ifdef PORTICO_PATCHAPPLY_PATH
// What patchapply prints: "verified" only when a digest or a size was checked.
TEST(PatchApply, SaysVerifiedOnlyWhenSomethingWasChecked) {
    DeltaFiles files;
    TempDir dir;
    WriteFile(dir / "delta", files.delta);
    std::string target = dir / "game.dat";
    std::string files3 = target + " " + (dir / "delta") + " " + target;
    std::string digest = testsupport::Sha1Hex(files.newData);
    struct Case {
        std::string arguments;
        const char *said;
    } cases[] = {
        {files3, "written, unverified: no digest or size given"},
        {files3 + " " + digest, "written and verified (SHA-1)"},
        {"--size " + std::to_string(files.newData.size()) + " " + files3,
         "written and verified (size)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments);
        WriteFile(target, files.oldData);
        std::string command = PORTICO_PATCHAPPLY_PATH " " + c.arguments;
        std::string out;
        EXPECT_EQ(0, testsupport::RunCommand(command + " 2>&1", &out));
        EXPECT_NE(std::string::npos, out.find(c.said)) << out;
        EXPECT_EQ(files.newData, ReadFile(target));
    }
}

// patchapply updating a file in place, killed at random moments: the file is
// always the old or the new one, never missing, and a rerun finishes.
TEST(PatchApply, RandomKillsInPlaceLeaveOldOrNew) {
    if (!testsupport::HaveProgram("xdelta3")) {
        GTEST_SKIP() << "xdelta3 not installed";
    }
    const char *fixed = std::getenv("PORTICO_TEST_SEED"); // repeats a printed seed
    unsigned seed = fixed ? (unsigned)std::strtoul(fixed, nullptr, 10) : std::random_device{}();
    std::printf("PatchApply.RandomKillsInPlaceLeaveOldOrNew seed %u\n", seed);
    std::mt19937 rng(seed);
    TempDir dir;
    std::string oldData(2 << 20, '\0'), newData;
    for (auto &c : oldData) {
        c = (char)('a' + rng() % 7);
    }
    newData = oldData;
    for (size_t i = 0; i < newData.size(); i += 4099) {
        newData[i] = 'Z';
    }
    WriteFile(dir / "old", oldData);
    WriteFile(dir / "new", newData);
    ASSERT_EQ(0, testsupport::RunCommand("xdelta3 -f -e -S none -s " + (dir / "old") + " " +
                                         (dir / "new") + " " + (dir / "delta")));
    std::string target = dir / "game.dat";
    std::string command = std::string(PORTICO_PATCHAPPLY_PATH) + " " + target + " " +
                          (dir / "delta") + " " + target + " " + testsupport::Sha1Hex(newData);
    // One undisturbed run sets the range the kills are spread over.
    WriteFile(target, oldData);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, testsupport::RunCommand(command + " >/dev/null 2>&1"));
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
    ASSERT_EQ(newData, ReadFile(target));
    int kills = 0;
    for (int round = 0; round < 25; round++) {
        SCOPED_TRACE(round);
        WriteFile(target, oldData);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + command + " >/dev/null 2>&1").c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % (span + 1)));
        kills += kill(child, SIGKILL) == 0;
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(FileExists(target)) << "the target is never missing";
        std::string now = ReadFile(target);
        ASSERT_TRUE(now == oldData || now == newData) << "size " << now.size();
        if (now == oldData) {
            ASSERT_EQ(0, testsupport::RunCommand(command + " >/dev/null 2>&1"));
            ASSERT_EQ(newData, ReadFile(target));
        }
    }
    EXPECT_GT(kills, 0);
}
#endif

} // namespace
