// Storage over real files in a temporary folder: slot reuse within the open-file
// limit, mode upgrades, seeks, partial names and the rename on completion, paths
// that share a CRC, and failures reported as such.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <unistd.h>

#include "engine/storage.h"
#include "platform/durable.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

double g_now = 0;

double TestClock(void) {
    return g_now;
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::CaptureAlerts();
        Storage_Create(&storage);
        Storage_SetClock(storage, TestClock);
        Storage_SetRenameDelay(storage, 0);
        g_now = 1;
    }
    void TearDown() override { Storage_Destroy(&storage); }

    std::string Path(const std::string &name) { return dir / name; }
    void Write(const std::string &name, int64_t offset, const std::string &bytes) {
        ASSERT_EQ(1, Storage_Write(storage, Path(name).c_str(), offset, bytes.data(),
                                   (int64_t)bytes.size()))
            << testsupport::AlertText();
    }
    std::string Read(const std::string &name, int64_t offset, int length) {
        std::string bytes((size_t)length, '\0');
        EXPECT_EQ(1, Storage_Read(storage, Path(name).c_str(), offset, &bytes[0], length))
            << testsupport::AlertText();
        return bytes;
    }
    StorageMemberStruct *Slot(int n) {
        StorageMemberStruct *s = storage->Slots;
        while (n-- > 0)
            s = s->Next;
        return s;
    }
    StorageMemberStruct *SlotOf(const std::string &name) {
        for (StorageMemberStruct *s = storage->Slots; s != nullptr; s = s->Next)
            if (s->Open && Path(name) == s->Path)
                return s;
        return nullptr;
    }

    testsupport::TempDir dir;
    StorageStruct *storage = nullptr;
};

TEST_F(StorageTest, SlotsAreReusedWithinTheOpenFileLimit) {
    Storage_SetMaxOpenFiles(storage, 3);
    ASSERT_EQ(3, storage->SlotCount);
    // Fresh slots fill in list order, head first.
    const char *names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; i++) {
        g_now = 1 + i;
        Write(names[i], 0, names[i]);
        EXPECT_EQ(SlotOf(names[i]), Slot(i));
    }
    EXPECT_EQ(3, storage->OpenCount);
    // A fourth member takes the slot used longest ago ("a"), closing it.
    g_now = 10;
    Write("d", 0, "d");
    EXPECT_EQ(nullptr, SlotOf("a"));
    EXPECT_EQ(Slot(0), SlotOf("d"));
    EXPECT_EQ(3, storage->OpenCount);
    EXPECT_EQ("a", Read("a", 0, 1)); // reopened elsewhere, the data is there
    EXPECT_EQ(3, storage->OpenCount);

    // A (open, 5 s), B (closed, 3 s), C (open, 1 s): C is taken; with C at 4 s, B.
    for (int round = 0; round < 2; round++) {
        StorageMemberStruct *a = Slot(0), *b = Slot(1), *c = Slot(2);
        ASSERT_EQ(1, Storage_Finalize(storage, b->Path, 0));
        a->LastUse = 5;
        b->LastUse = 3;
        c->LastUse = round == 0 ? 1 : 4;
        std::string name = round == 0 ? "e" : "f";
        g_now = 20 + round;
        Write(name, 0, name);
        EXPECT_EQ(round == 0 ? c : b, SlotOf(name));
        EXPECT_TRUE(a->Open);
    }

    // Growing and shrinking the table keeps the open count true.
    ASSERT_EQ(1, Storage_SetMaxOpenFiles(storage, 1));
    EXPECT_EQ(1, storage->SlotCount);
    EXPECT_LE(storage->OpenCount, 1);
    Write("g", 0, "g");
    EXPECT_EQ("e", Read("e", 0, 1));
    EXPECT_EQ(1, storage->OpenCount);
    ASSERT_EQ(1, Storage_SetMaxOpenFiles(storage, 0)); // below 1: one slot stays
    EXPECT_EQ(1, storage->SlotCount);
    EXPECT_EQ("g", Read("g", 0, 1));
}

TEST_F(StorageTest, ModesUpgradeInPlaceAndSeeksAreSkippedWhenSequential) {
    testsupport::WriteFile(Path("m"), "0123456789");
    EXPECT_EQ("234", Read("m", 2, 3));
    StorageMemberStruct *slot = SlotOf("m");
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(STORAGE_MODE_READ, slot->Mode);
    EXPECT_EQ(5, slot->Position);
    Write("m", 5, "ab"); // reopened for writing in the same slot
    EXPECT_EQ(slot, SlotOf("m"));
    EXPECT_EQ(STORAGE_MODE_WRITE, slot->Mode);
    EXPECT_EQ(7, slot->Position);
    Write("m", 7, "cd"); // continues: no seek, position follows
    EXPECT_EQ(9, slot->Position);
    EXPECT_EQ("01234abcd9", Read("m", 0, 10)); // served by the write slot
    EXPECT_EQ(STORAGE_MODE_WRITE, slot->Mode);

    // Zero bytes succeed without touching the file; past the end fails.
    char byte = 0;
    EXPECT_EQ(1, Storage_Read(storage, Path("never").c_str(), 0, &byte, 0));
    EXPECT_EQ(nullptr, SlotOf("never"));
    EXPECT_EQ(0, Storage_Read(storage, Path("m").c_str(), 10, &byte, 1));
    EXPECT_TRUE(testsupport::AlertSeen("Read failed (" + Path("m") + ") (1 / 0)"))
        << testsupport::AlertText();
    EXPECT_EQ(-1, slot->Position);
    EXPECT_EQ("0", Read("m", 0, 1)); // the next access seeks again
    EXPECT_EQ(0, Storage_Read(storage, Path("m").c_str(), -1, &byte, 1));
}

TEST_F(StorageTest, LengthsAndTruncation) {
    const std::string p = Path("len");
    ASSERT_EQ(1, Storage_SetSparse(storage, p.c_str()));
    ASSERT_EQ(1, Storage_SetLength(storage, p.c_str(), 1000));
    EXPECT_EQ(1000u, testsupport::ReadFile(p).size());
    Write("len", 1000, "tail"); // writes do not move the recorded length
    int64_t length = 0;
    ASSERT_EQ(1, Storage_GetMemberLength(storage, p.c_str(), &length));
    EXPECT_EQ(1000, length);
    ASSERT_EQ(1, Storage_Truncate(storage, p.c_str(), 10));
    EXPECT_EQ(10u, testsupport::ReadFile(p).size());
    ASSERT_EQ(1, Storage_Finalize(storage, p.c_str(), 0));
    ASSERT_EQ(1, Storage_GetMemberLength(storage, p.c_str(), &length)); // from the disk now
    EXPECT_EQ(10, length);
    int32_t minutes = 0;
    ASSERT_EQ(1, Storage_GetMemberModifiedTime(storage, p.c_str(), &minutes));
    EXPECT_GT(minutes, 0);
    EXPECT_EQ(0, Storage_GetMemberLength(storage, Path("absent").c_str(), &length));
    EXPECT_EQ(0, length);
    // A member that cannot be opened: the failures are reported.
    const std::string inFile = p + "/child";
    EXPECT_EQ(0, Storage_Truncate(storage, inFile.c_str(), 5));
    EXPECT_TRUE(testsupport::AlertSeen("Unable to open member (" + inFile + ") (5)"));
    EXPECT_EQ(0, Storage_SetLength(storage, inFile.c_str(), 5));
    EXPECT_EQ(0, Storage_Write(storage, inFile.c_str(), 0, "x", 1));
    EXPECT_TRUE(testsupport::AlertSeen("Unable to open (")) << testsupport::AlertText();
}

TEST_F(StorageTest, PartialNamesAndRenameOnCompletion) {
    struct {
        const char *given;
        const char *stored;
    } cases[] = {{".part", ".part"}, {"part", ".part"}, {"", ""}};
    for (const auto &c : cases) {
        ASSERT_EQ(1, Storage_SetPartialExtension(storage, c.given));
        char text[STORAGE_PATH_SIZE];
        Storage_GetPartialExtension(storage, text, sizeof text);
        EXPECT_STREQ(c.stored, text);
    }
    EXPECT_EQ(0, Storage_SetPartialExtension(storage, std::string(90, 'x').c_str()));

    Storage_SetPartialExtension(storage, "part");
    const std::string p = Path("sub/game.pak");
    char disk[STORAGE_PATH_SIZE];
    Storage_GetDiskName(storage, p.c_str(), disk, sizeof disk);
    EXPECT_EQ(p + ".part", disk);
    Write("sub/game.pak", 0, "payload");
    EXPECT_TRUE(testsupport::FileExists(p + ".part"));
    EXPECT_FALSE(testsupport::FileExists(p));
    ASSERT_EQ(1, Storage_Finalize(storage, p.c_str(), 1)) << testsupport::AlertText();
    EXPECT_EQ("payload", testsupport::ReadFile(p));
    EXPECT_FALSE(testsupport::FileExists(p + ".part"));
    EXPECT_EQ("payload", Read("sub/game.pak", 0, 7)); // found under its final name now

    // A file already under the final name is used directly; nothing moves.
    testsupport::WriteFile(Path("done"), "old");
    Write("done", 0, "new");
    EXPECT_FALSE(testsupport::FileExists(Path("done") + ".part"));
    EXPECT_EQ(1, Storage_Finalize(storage, Path("done").c_str(), 1));
    EXPECT_EQ("new", testsupport::ReadFile(Path("done")));
    // Finalising a member that is not open still finishes its name.
    Write("late", 0, "x");
    ASSERT_EQ(1, Storage_Finalize(storage, Path("late").c_str(), 0));
    EXPECT_TRUE(testsupport::FileExists(Path("late") + ".part"));
    EXPECT_EQ(1, Storage_Finalize(storage, Path("late").c_str(), 1));
    EXPECT_EQ("x", testsupport::ReadFile(Path("late")));
}

// A partial file is created by storage: a link planted under its name is
// refused, never written through.
TEST_F(StorageTest, ALinkAtThePartialNameIsRefused) {
    Storage_SetPartialExtension(storage, ".part");
    const std::string p = Path("planted");
    testsupport::WriteFile(Path("outside"), "not yours");
    ASSERT_EQ(0, symlink(Path("outside").c_str(), (p + ".part").c_str()));
    ASSERT_EQ(0, symlink(Path("nowhere").c_str(), (Path("dangling") + ".part").c_str()));
    EXPECT_EQ(0, Storage_Write(storage, p.c_str(), 0, "data", 4));
    EXPECT_EQ(0, Storage_Write(storage, Path("dangling").c_str(), 0, "data", 4));
    EXPECT_TRUE(testsupport::AlertSeen("Unable to open (")) << testsupport::AlertText();
    EXPECT_EQ("not yours", testsupport::ReadFile(Path("outside")));
    EXPECT_FALSE(testsupport::FileExists(Path("nowhere")));
}

TEST_F(StorageTest, FailedRenameIsReported) {
    Storage_SetPartialExtension(storage, ".part");
    const std::string p = Path("blocked");
    Write("blocked", 0, "data");
    // A dangling link holds the final name: the disk name stays partial, and the
    // rename (which never replaces) fails every attempt.
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), p.c_str()));
    EXPECT_EQ(0, Storage_Finalize(storage, p.c_str(), 1));
    EXPECT_TRUE(testsupport::AlertSeen("Rename " + p + ".part to " + p + " failed, retrying [4:5]"))
        << testsupport::AlertText();
    EXPECT_EQ("data", testsupport::ReadFile(p + ".part"));
}

TEST_F(StorageTest, PathsSharingACrcStayApart) {
    // The member id folds letter case, so these two collide; on this system
    // they are two files and must stay two.
    Storage_SetMaxOpenFiles(storage, 2);
    for (int round = 0; round < 3; round++) {
        Write("Track.bin", round * 4, "UPPR");
        Write("track.bin", round * 4, "lowr");
    }
    EXPECT_EQ(SlotOf("Track.bin")->Id, SlotOf("track.bin")->Id);
    EXPECT_NE(SlotOf("Track.bin"), SlotOf("track.bin"));
    EXPECT_EQ("UPPRUPPRUPPR", testsupport::ReadFile(Path("Track.bin")));
    EXPECT_EQ("lowrlowrlowr", testsupport::ReadFile(Path("track.bin")));
    ASSERT_EQ(1, Storage_Finalize(storage, Path("track.bin").c_str(), 0));
    EXPECT_NE(nullptr, SlotOf("Track.bin")); // only the named one was closed
}

TEST_F(StorageTest, InjectedFaultsFailAndTheNextAccessSeeks) {
    int failWrites = 0;
    Storage_SetFaultHook(
        storage,
        [](void *user, const char *, int64_t, int64_t, int write) -> int {
            int *left = static_cast<int *>(user);
            if (write && *left > 0) {
                (*left)--;
                return 0;
            }
            return 1;
        },
        &failWrites);
    Write("f", 0, "abcd");
    failWrites = 1;
    EXPECT_EQ(0, Storage_Write(storage, Path("f").c_str(), 4, "efgh", 4));
    failWrites = 0;
    EXPECT_TRUE(testsupport::AlertSeen("Write failed (" + Path("f") + ") (4 / 0)"));
    EXPECT_EQ(-1, SlotOf("f")->Position);
    Write("f", 4, "efgh");
    EXPECT_EQ("abcdefgh", testsupport::ReadFile(Path("f")));
}

// Fails the sync of every file whose path starts with the text in user.
int FailSync(void *user, int step, const char *path) {
    const std::string &prefix = *static_cast<std::string *>(user);
    return step == DURABLE_STEP_SYNC && std::string(path).rfind(prefix, 0) == 0 ? EIO : 0;
}

struct SyncFaults {
    explicit SyncFaults(std::string *prefix) { Durable_SetFaultHook(FailSync, prefix); }
    ~SyncFaults() { Durable_SetFaultHook(nullptr, nullptr); }
};

// Write-back errors are only reported by the sync: a finished member whose sync
// fails is not finished, keeps its partial name, and the next try completes it.
TEST_F(StorageTest, AFailedSyncIsReportedAndTheFileIsNotFinished) {
    Storage_SetPartialExtension(storage, ".part");
    const std::string open = Path("open"), closed = Path("closed");
    Write("open", 0, "data");
    Write("closed", 0, "more");
    ASSERT_EQ(1, Storage_Finalize(storage, closed.c_str(), 0)); // closed, name still partial
    std::string prefix = dir.path();
    testsupport::ConsoleCapture console;
    {
        SyncFaults faults(&prefix);
        for (const std::string &p : {open, closed}) {
            SCOPED_TRACE(p);
            EXPECT_EQ(0, Storage_Finalize(storage, p.c_str(), 1));
            EXPECT_TRUE(console.Contains("Unable to flush file [" + p + ".part] (5)"))
                << console.Text();
            EXPECT_TRUE(testsupport::FileExists(p + ".part"));
            EXPECT_FALSE(testsupport::FileExists(p));
        }
        // Setting a length syncs too, and reports the failure.
        EXPECT_EQ(0, Storage_SetLength(storage, Path("sized").c_str(), 10));
    }
    for (const std::string &p : {open, closed}) {
        EXPECT_EQ(1, Storage_Finalize(storage, p.c_str(), 1));
        EXPECT_FALSE(testsupport::FileExists(p + ".part"));
    }
    EXPECT_EQ("data", testsupport::ReadFile(open));
    EXPECT_EQ("more", testsupport::ReadFile(closed));
    EXPECT_EQ(1, Storage_SetLength(storage, Path("sized").c_str(), 10));
}

int Occurrences(const std::string &text, const std::string &part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

// A failed disk call is logged once, by the file object that made it; storage
// adds a line only for what starts in it (a fault, a file that ends too early).
TEST_F(StorageTest, DiskFailuresAreLoggedOnce) {
    testsupport::ConsoleCapture console;
    EXPECT_EQ(0, Storage_Write(storage, "/dev/full", 0, "abcd", 4)); // ENOSPC on every write
    EXPECT_EQ(1, Occurrences(console.Text(), "Failed on File_Write [/dev/full] 4 (28)"))
        << console.Text();
    EXPECT_FALSE(testsupport::AlertSeen("Write failed")) << testsupport::AlertText();
    Write("short", 0, "ab");
    console.Clear();
    char buffer[4];
    EXPECT_EQ(0, Storage_Read(storage, Path("short").c_str(), 0, buffer, 4));
    EXPECT_TRUE(testsupport::AlertSeen("Read failed (" + Path("short") + ") (4 / 2)"))
        << testsupport::AlertText();
    EXPECT_EQ("", console.Text());
}

TEST_F(StorageTest, DumpListsTheSlots) {
    Write("x", 0, "x");
    EXPECT_EQ(1, Storage_Dump(storage));
}

} // namespace
