// Kick-start resume files of a stopped manager's download (two files from
// mktorrent): the round trip through a new scan, a table of tampered files that
// must be refused without touching the piece map, auto-deletion while pieces
// are missing, a hostile content name, and saves killed part-way.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/bitfield.h"
#include "engine/kickstart.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

namespace {

class KickStartTest : public enginetest::ManagerFixture {
  protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent missing";
        a_ = enginetest::MakeBytes(5 * 32768 + 100, 4);
        b_ = enginetest::MakeBytes(3 * 32768, 5);
        ASSERT_TRUE(
            enginetest::MakeTorrent(dir_, "kick", {{"a.bin", a_}, {"b.bin", b_}}, 15, &torrent_));
        Manager_GetKickStart(manager_, &kick_);
        KickStart_SetEnabled(kick_, 1);
        KickStart_SetFolder(kick_, (dir_ / "cache").c_str());
        ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + (dir_ / "cache") + "'"));
    }
    void TearDown() override {
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        ManagerFixture::TearDown();
    }
    // A download over the complete folder; scanned (hashed or accelerated).
    void Open() {
        if (member_) {
            Manager_CloseMember(manager_, member_);
            Manager_ReleaseMember(manager_, &member_);
        }
        ASSERT_EQ(1, Manager_AddMember(manager_, &member_));
        ManagerMember_GetBase(member_, &base_);
        Base_GetContent(base_, &content_);
        Content_SetSource(content_, torrent_.c_str(), CONTENT_SOURCE_METAFILE);
        ASSERT_EQ(1, Content_Open(content_)) << testsupport::AlertText();
        Content_SetPath(content_, (dir_ / "src/kick").c_str());
        ASSERT_EQ(1, Content_ScanExisting(content_)) << testsupport::AlertText();
        Content_GetBitfield(content_, &held_);
    }
    std::string KickPath() {
        char path[KICKSTART_PATH_SIZE];
        EXPECT_EQ(1, KickStart_GetFileName(kick_, base_, path));
        return path;
    }
    int Held() {
        int n = 0;
        Bitfield_GetSetCount(held_, &n);
        return n;
    }
    // Moves a member file's modification time by `seconds`.
    void Touch(const std::string &name, int seconds) {
        struct stat st = {};
        const std::string path = dir_ / ("src/kick/" + name);
        ASSERT_EQ(0, stat(path.c_str(), &st));
        timeval times[2] = {{st.st_atime, 0}, {st.st_mtime + seconds, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
    }
    static void Replace(std::string &text, const std::string &from, const std::string &to) {
        const size_t at = text.find(from);
        ASSERT_NE(std::string::npos, at) << from;
        text.replace(at, from.size(), to);
    }

    testsupport::TempDir dir_;
    std::string a_, b_, torrent_;
    KickStartStruct *kick_ = nullptr;
    ManagerMemberStruct *member_ = nullptr;
    BaseStruct *base_ = nullptr;
    ContentStruct *content_ = nullptr;
    BitfieldStruct *held_ = nullptr;
};

TEST_F(KickStartTest, ARoundTripSkipsTheCheck) {
    Open();
    const int pieces = Held();
    ASSERT_GT(pieces, 0);
    ASSERT_EQ(1, KickStart_SaveBaseAccelerator(kick_, base_)) << testsupport::AlertText();
    const std::string path = KickPath();
    EXPECT_EQ(0, testsupport::RunCommand("xmllint --noout '" + path + "'"));
    const std::string text = testsupport::ReadFile(path);
    for (const char *element : {"<OutputPath>", "<Name>a.bin</Name>", "<Modified>0x",
                                "<Include>TRUE</Include>", "<BitField Size=\"2\">", "<InfoHash>"})
        EXPECT_NE(std::string::npos, text.find(element)) << element << "\n" << text;
    testsupport::ClearAlerts();
    Open();
    EXPECT_TRUE(testsupport::AlertSeen("Base accelerator used")) << testsupport::AlertText();
    EXPECT_FALSE(testsupport::AlertSeen("Check block:"));
    EXPECT_TRUE(testsupport::AlertSeen("Autodeletion skipped due to completed content"));
    EXPECT_EQ(pieces, Held());
    int64_t left = -1;
    Content_GetBytesLeft(content_, &left);
    EXPECT_EQ(0, left);
}

TEST_F(KickStartTest, TamperedFilesAreRefusedAndLeaveThePieceMap) {
    Open();
    const int pieces = Held();
    ASSERT_EQ(9, pieces);
    ASSERT_EQ(1, KickStart_SaveBaseAccelerator(kick_, base_));
    const std::string path = KickPath(), saved = testsupport::ReadFile(path);
    uint8_t hash[20];
    Content_GetInfoHash(content_, hash);
    struct Case {
        const char *Name;
        std::function<void(std::string &)> Edit; // on the file's text
        int TouchSeconds;
        int Result;
        const char *Alert;
    };
    const size_t field = saved.find("<BitField");
    const size_t hashAt = saved.find("<InfoHash>");
    const Case cases[] = {
        {"untouched", nullptr, 0, 1, "Base accelerator used"},
        {"touched 5 minutes later", nullptr, 300, 1, "Base accelerator used"},
        {"touched 6 minutes later", nullptr, 360, 0, "Last modified does not match on [a.bin]"},
        {"size", [&](std::string &t) { Replace(t, "<Size>163940</Size>", "<Size>163941</Size>"); },
         0, 0, "Filesizes do not match [a.bin]"},
        {"include flipped",
         [&](std::string &t) { Replace(t, "<Include>TRUE</Include>", "<Include>FALSE</Include>"); },
         0, 0, "Include does not match on [a.bin] [1 != 0]"},
        {"wrong info hash",
         [&](std::string &t) {
             const size_t at = t.find("<InfoHash>") + 10;
             t[at] = t[at] == 'A' ? 'B' : 'A';
         },
         0, 0, "Info hash mismatch - skipping accelerator"},
        {"no bitfield", [&](std::string &t) { t.erase(field, t.find("</BitField>") + 11 - field); },
         0, 0, "Accelerator incomplete (bitfield 0, hash 1"},
        {"no info hash",
         [&](std::string &t) { t.erase(hashAt, t.find("</InfoHash>") + 11 - hashAt); }, 0, 0,
         "Accelerator incomplete (bitfield 1, hash 0"},
        {"a member left out",
         [&](std::string &t) {
             const size_t at = t.find("<File>", t.find("b.bin") - 40);
             t.erase(at, t.find("</File>", at) + 7 - at);
         },
         0, 0, "Accelerator incomplete (bitfield 1, hash 1, files 1 of 2)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        std::string text = saved;
        if (c.Edit)
            c.Edit(text);
        testsupport::WriteFile(path, text);
        if (c.TouchSeconds)
            Touch("a.bin", c.TouchSeconds);
        testsupport::ClearAlerts();
        Bitfield_ClearAll(held_);
        EXPECT_EQ(c.Result, KickStart_LoadBase(kick_, base_, path.c_str()));
        EXPECT_TRUE(testsupport::AlertSeen(c.Alert)) << testsupport::AlertText();
        // A refused file changes nothing; a used one gives the whole map.
        EXPECT_EQ(c.Result ? pieces : 0, Held());
        if (c.TouchSeconds)
            Touch("a.bin", -c.TouchSeconds);
    }
}

TEST_F(KickStartTest, AutoDeletionOnlyWhilePiecesAreMissing) {
    Open();
    Bitfield_Clear(held_, 2);
    ASSERT_EQ(1, KickStart_SaveBaseAccelerator(kick_, base_));
    const std::string path = KickPath();
    testsupport::ClearAlerts();
    Bitfield_ClearAll(held_);
    ASSERT_EQ(1, KickStart_LoadBaseAccelerator(kick_, base_));
    EXPECT_TRUE(testsupport::AlertSeen("Base accelerator cleared (1 pieces remaining)"));
    EXPECT_FALSE((access(path.c_str(), F_OK) == 0));
    // Loading is not allowed without the per-download mode: the full check runs.
    Bitfield_SetAll(held_);
    ASSERT_EQ(1, KickStart_SaveBaseAccelerator(kick_, base_));
    KickStartStruct *other = nullptr;
    KickStart_Create(&other);
    KickStart_SetFolder(other, (dir_ / "cache").c_str());
    other->Mode = KICKSTART_MODE_MANAGER;
    EXPECT_EQ(0, KickStart_LoadBaseAccelerator(other, base_));
    KickStart_Destroy(&other);
    ASSERT_EQ(1, KickStart_LoadBaseAccelerator(kick_, base_));
    EXPECT_TRUE((access(path.c_str(), F_OK) == 0)); // complete: kept
}

TEST_F(KickStartTest, AHostileContentNameStaysInTheFolder) {
    Open();
    for (const char *name : {"../../x", "..", "a/b\\c"}) {
        SCOPED_TRACE(name);
        Content_SetName(content_, name);
        const std::string path = KickPath();
        const std::string folder = dir_ / "cache/";
        ASSERT_EQ(folder, path.substr(0, folder.size()));
        EXPECT_EQ(std::string::npos, path.find('/', folder.size())) << path;
        EXPECT_EQ(1, KickStart_SaveBaseAccelerator(kick_, base_));
        EXPECT_TRUE((access(path.c_str(), F_OK) == 0));
    }
    EXPECT_EQ(dir_ / "cache/.._.._x.kick", [&] {
        Content_SetName(content_, "../../x");
        return KickPath();
    }());
}

TEST_F(KickStartTest, ASaveKilledPartWayLeavesALoadableFile) {
    Open();
    const int pieces = Held();
    ASSERT_EQ(1, KickStart_SaveBaseAccelerator(kick_, base_));
    const std::string path = KickPath();
    for (int round = 0; round < 12; round++) {
        SCOPED_TRACE(round);
        const pid_t child = fork();
        if (child == 0) {
            for (;;)
                KickStart_SaveBase(kick_, base_, path.c_str());
        }
        usleep(2000 + 1500 * round);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        Bitfield_ClearAll(held_);
        EXPECT_EQ(1, KickStart_LoadBase(kick_, base_, path.c_str())) << testsupport::AlertText();
        EXPECT_EQ(pieces, Held());
    }
}

} // namespace

namespace {

// A running engine whose kick start is on, over the folder given.
struct KickEngine : enginetest::Engine {
    bool OpenWithKick(const std::string &torrent, const std::string &folder,
                      const std::string &cache) {
        if (Manager_Create(&Manager) != 1)
            return false;
        Manager_SetBindAddress(Manager, enginetest::kLoopbackAddress);
        Port = enginetest::FreePort();
        Manager_SetListenPort(Manager, Port);
        KickStartStruct *kick = nullptr;
        Manager_GetKickStart(Manager, &kick);
        KickStart_SetEnabled(kick, 1);
        KickStart_SetBaseOnly(kick);
        KickStart_SetFolder(kick, cache.c_str());
        if (Manager_AddMember(Manager, &Member) != 1)
            return false;
        ManagerMember_GetBase(Member, &Base);
        Base_SetStatusCallback(Base, &Engine::OnComplete, this);
        ContentStruct *content = nullptr;
        Base_GetContent(Base, &content);
        Content_SetSource(content, torrent.c_str(), CONTENT_SOURCE_METAFILE);
        if (Content_Open(content) != 1)
            return false;
        Content_SetPath(content, folder.c_str());
        return Content_ScanExisting(content) == 1;
    }
    // The pieces held, read under the download's lock: while the engine runs,
    // its thread sets them in the download's step, which holds that lock.
    int Held() {
        ContentStruct *content = nullptr;
        BitfieldStruct *held = nullptr;
        Base_GetContent(Base, &content);
        Content_GetBitfield(content, &held);
        int n = 0;
        if (!Base_Lock(Base))
            return 0;
        Bitfield_GetSetCount(held, &n);
        Base_Unlock(Base);
        return n;
    }
};

TEST(KickStartResume, HalfADownloadFromALibtorrentSeedResumesWithoutACheck) {
    enginetest::StartTransports();
    testsupport::EnsureAlertLog();
    testsupport::CaptureAlerts();
    if (!testsupport::HaveProgram("mktorrent") ||
        testsupport::RunCommand("/usr/bin/python3 -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "mktorrent or python3-libtorrent missing";
    testsupport::TempDir dir;
    const std::string data = enginetest::MakeBytes(8u << 20, 33);
    std::string torrent;
    ASSERT_TRUE(enginetest::MakeTorrent(dir, "half", {{"half.bin", data}}, 16, &torrent));
    const int port = enginetest::FreePort();
    enginetest::Program seed;
    ASSERT_TRUE(seed.Start({"/usr/bin/python3",
                            std::string(PORTICO_SOURCE_DIR) + "/tests/engine/libtorrent_peer.py",
                            "seed", torrent, dir / "src", std::to_string(port)},
                           dir / "lt-seed.txt"));
    ASSERT_TRUE(seed.WaitFor("listening", 30)) << seed.Text();
    const std::string out = dir / "out", cache = dir / "cache";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + out + "' '" + cache + "'"));
    const int pieces = 128;
    {
        KickEngine first;
        ASSERT_TRUE(first.OpenWithKick(torrent, out, cache)) << testsupport::AlertText();
        Manager_SetOutgoingConnectionTypes(first.Manager, MANAGER_CONNECTION_NORMAL);
        Base_SetRateLimit(first.Base, 1 << 20, 0); // about 8 s for the whole
        first.AddPeer(port);
        first.Start();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return first.Held() >= pieces / 2; }, 60))
            << testsupport::AlertText();
        first.Close(); // saves the kick file of what it holds
    }
    testsupport::ClearAlerts();
    KickEngine second;
    ASSERT_TRUE(second.OpenWithKick(torrent, out, cache)) << testsupport::AlertText();
    EXPECT_TRUE(testsupport::AlertSeen("Base accelerator used")) << testsupport::AlertText();
    EXPECT_TRUE(testsupport::AlertSeen("Base accelerator cleared")) << testsupport::AlertText();
    EXPECT_GE(second.Held(), pieces / 2);
    EXPECT_LT(second.Held(), pieces);
    Manager_SetOutgoingConnectionTypes(second.Manager, MANAGER_CONNECTION_NORMAL);
    second.AddPeer(port);
    second.Start();
    ASSERT_TRUE(second.WaitComplete(120)) << seed.Text() << testsupport::AlertText();
    second.Close();
    seed.Stop();
    EXPECT_EQ(testsupport::Sha1Hex(data),
              testsupport::Sha1Hex(testsupport::ReadFile(out + "/half.bin")));
    testsupport::StopAlertCapture();
}

} // namespace
