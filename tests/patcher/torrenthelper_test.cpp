// The torrent helper on a real download manager: the command-line options, job
// starts from metafiles made by mktorrent (save place, duplicate and invalid
// contents, the overwrite and disk-space questions, the DHT switch) and the
// autodelete rules of a stop.
#include "core/bitfield.h"
#include "core/oshelper.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/dht.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/swarm.h"
#include "engine/tracker.h"
#include "patcher/torrenthelper.h"
#include "tests/engine/manager_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Deterministic bytes.
std::string Bytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        out[i] = (char)(seed >> 16);
    }
    return out;
}

// What the prompt and the dialogs were asked, and the prompt's answer.
struct Asked {
    std::vector<int> styles;
    int answer = 0;
    int dialogs = 0;
};
Asked g_asked;

int RecordPrompt(void *, const char *, const char *, int style, void *) {
    g_asked.styles.push_back(style);
    return g_asked.answer;
}
int CancelSave(void *, const char *, const char *, const char *, int, int, const char *const *,
               const char *, char *, int) {
    g_asked.dialogs++;
    return 0;
}
int CancelFolder(void *, const char *, const char *, const char *, char *, int) {
    g_asked.dialogs++;
    return 0;
}
// Dialogs that pick g_pick (a file or a folder) and record where they opened.
std::string g_pick, g_openedIn;
int PickSave(void *, const char *, const char *directory, const char *, int, int,
             const char *const *, const char *, char *chosen, int size) {
    g_asked.dialogs++;
    g_openedIn = directory;
    Zyl_StrCopy(chosen, g_pick.c_str(), size);
    return 1;
}
int PickFolder(void *, const char *, const char *, const char *start, char *chosen, int size) {
    g_asked.dialogs++;
    g_openedIn = start;
    Zyl_StrCopy(chosen, g_pick.c_str(), size);
    return 1;
}
int TenBytesFree(const char *, int64_t *bytes) {
    *bytes = 10;
    return 1;
}

class TorrentHelperTest : public enginetest::ManagerFixture {
  protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent is not installed (tools/setup)";
        Manager_DisableWebServer(manager_);
        g_asked = Asked();
        ZylWindowHooks hooks = {};
        hooks.SaveFileDialog = CancelSave;
        hooks.BrowseForFolder = CancelFolder;
        Zyl_SetWindowHooks(&hooks);
        TorrentHelper_ResetPrompt();
        TorrentHelper_SetFreeSpaceFunction(nullptr);
        TorrentHelperJob_SetDefaults(&job_);
        job_.AskForLocation = 0;
        job_.ListenPort = enginetest::FreePort();
        Zyl_StrCopy(job_.OutputPath, (dir_ / "out/").c_str(), TORRENTHELPER_PATH_SIZE);
        testsupport::RunCommand("mkdir -p '" + dir_ / "out" + "' '" + dir_ / "src" + "'");
    }
    void TearDown() override {
        if (member_ != nullptr)
            TorrentHelper_StopJob(&job_, manager_, &member_);
        Zyl_SetWindowHooks(nullptr);
        TorrentHelper_ResetPrompt();
        TorrentHelper_SetFreeSpaceFunction(nullptr);
        ManagerFixture::TearDown();
    }
    // A one-file metafile of data named name (source in src/), piece 2^15.
    std::string OneFile(const std::string &name, const std::string &data) {
        WriteFile(dir_ / "src/" + name, data);
        std::string torrent = dir_ / (name + ".torrent");
        EXPECT_EQ(0, testsupport::RunCommand("cd '" + dir_ / "src" + "' && mktorrent -l 15 -a " +
                                             "http://127.0.0.1:1/a -o '" + torrent + "' " + name +
                                             " >/dev/null"));
        return torrent;
    }
    // A metafile of the folder src/name holding a.bin and sub/b.bin.
    std::string Folder(const std::string &name) {
        testsupport::RunCommand("mkdir -p '" + dir_ / "src/" + name + "/sub'");
        WriteFile(dir_ / "src/" + name + "/a.bin", Bytes(50000, 1));
        WriteFile(dir_ / "src/" + name + "/sub/b.bin", Bytes(70000, 2));
        std::string torrent = dir_ / (name + ".torrent");
        EXPECT_EQ(0, testsupport::RunCommand("cd '" + dir_ / "src" + "' && mktorrent -l 15 -a " +
                                             "http://127.0.0.1:1/a -o '" + torrent + "' " + name +
                                             " >/dev/null"));
        return torrent;
    }
    int Start(const std::string &arguments) {
        std::string line = "vexilnm " + arguments;
        return TorrentHelper_StartJob(line.c_str(), manager_, &job_, &member_);
    }
    ContentStruct *Content() {
        BaseStruct *base = nullptr;
        ContentStruct *content = nullptr;
        ManagerMember_GetBase(member_, &base);
        Base_GetContent(base, &content);
        return content;
    }
    std::string ContentPath() {
        char path[CONTENT_TEXT_SIZE];
        Content_GetPath(Content(), path);
        return path;
    }
    std::string ContentName() {
        char name[CONTENT_TEXT_SIZE];
        Content_GetName(Content(), name);
        return name;
    }
    int HeldPieces() {
        BitfieldStruct *held = nullptr;
        int count = 0;
        Content_GetBitfield(Content(), &held);
        Bitfield_GetSetCount(held, &count);
        return count;
    }

    TempDir dir_;
    TorrentHelperJob job_;
    ManagerMemberStruct *member_ = nullptr;
};

TEST_F(TorrentHelperTest, OptionTable) {
    ManagerMemberStruct *member = nullptr;
    ASSERT_EQ(1, Manager_AddMember(manager_, &member));
    BaseStruct *base = nullptr;
    BitBaseStruct *swarm = nullptr;
    TrackerStruct *tracker = nullptr;
    ManagerMember_GetBase(member, &base);
    Base_GetBitBase(base, &swarm);
    Base_GetTracker(base, &tracker);
    BitBase_SetHaveSuppression(swarm, 0);
    TorrentHelperCommand c;
    ASSERT_EQ(1, TorrentHelper_ParseCommandLine(
                     "vexilnm /notpuresource /Filename \"a b.bin\" /Path /tmp/save "
                     "/TorrentAgent Agent/1.0 /MetaFile /m/a.torrent /Port 7301 /IP 127.0.0.9 "
                     "/RateLimit 1000 2000 /Order 0 /HaveSuppression /MaxPeers 7 "
                     "/NoStrictEnforcement /NoReliable /NoPeer /Unknown word",
                     manager_, base, &c));
    EXPECT_EQ(14, c.Options);
    EXPECT_EQ(0, swarm->PureSource);
    EXPECT_EQ(1, swarm->HaveSuppression);
    EXPECT_STREQ("a b.bin", c.FileName);
    EXPECT_STREQ("/tmp/save", c.Path);
    EXPECT_STREQ("Agent/1.0", c.Agent);
    EXPECT_STREQ("Agent/1.0", tracker->UserAgent);
    EXPECT_EQ(CONTENT_SOURCE_METAFILE, c.SourceType);
    EXPECT_STREQ("/m/a.torrent", c.Source);
    int port = 0;
    Manager_GetListenPort(manager_, &port);
    EXPECT_EQ(7301, port);
    uint8_t address[4];
    Manager_GetBindAddress(manager_, address);
    EXPECT_EQ(9, address[3]);
    EXPECT_EQ(1000.0, base->DownloadLimit);
    EXPECT_EQ(2000.0, base->UploadLimit);
    EXPECT_EQ(0, Base_GetChunkSelection(base));
    EXPECT_EQ(1, c.NoStrict);
    EXPECT_EQ(0, Base_GetWebEnabled(base));
    EXPECT_EQ(0, Base_GetPeerEnabled(base));

    // The last source named wins; each source option gives its type.
    const struct {
        const char *line;
        int type;
        const char *source;
    } sources[] = {
        {"x /METAURL http://h/a.torrent", CONTENT_SOURCE_URL, "http://h/a.torrent"},
        {"x /DownloadURL http://h/f.bin", CONTENT_SOURCE_DOWNLOAD_URL, "http://h/f.bin"},
        {"x /MetaFile a /MetaURL http://h/b", CONTENT_SOURCE_URL, "http://h/b"},
        {"x", 0, ""},
        {"/MetaFile a", 0, ""}, // argument 0 is the program
    };
    for (const auto &s : sources) {
        SCOPED_TRACE(s.line);
        ASSERT_EQ(1, TorrentHelper_ParseCommandLine(s.line, nullptr, nullptr, &c));
        EXPECT_EQ(s.type, c.SourceType);
        EXPECT_STREQ(s.source, c.Source);
    }

    // While the engine runs, the port and address stay.
    Manager_SetActive(manager_, 1);
    ASSERT_EQ(1, TorrentHelper_ParseCommandLine("x /Port 7302 /IP 127.0.0.10", manager_, base, &c));
    Manager_GetListenPort(manager_, &port);
    EXPECT_EQ(7301, port);
    Manager_SetActive(manager_, 0);
    Manager_ReleaseMember(manager_, &member);
}

TEST_F(TorrentHelperTest, AnArgumentThatCannotBeReadEndsTheParse) {
    const struct {
        std::string line;
        int field;
        int options;
    } cases[] = {
        {"x /Path", 2, 0},
        {"x /NoPeer /RateLimit 5", 4, 1},
        {"x /Filename " + std::string(5000, 'n') + " /NoPeer", 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        testsupport::ClearAlerts();
        TorrentHelperCommand command;
        EXPECT_EQ(0, TorrentHelper_ParseCommandLine(c.line.c_str(), nullptr, nullptr, &command));
        EXPECT_EQ(c.options, command.Options);
        EXPECT_TRUE(testsupport::AlertSeen("Couldn't get field (" + std::to_string(c.field) + ")"))
            << testsupport::AlertText();
    }
}

TEST_F(TorrentHelperTest, WithoutAskingTheFilesGoToTheOutputPathAndNothingIsShown) {
    std::string data = Bytes(100000, 3);
    std::string torrent = OneFile("one.bin", data);
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\"")) << testsupport::AlertText();
    EXPECT_EQ(dir_ / "out/", ContentPath());
    EXPECT_EQ("one.bin", ContentName());
    EXPECT_TRUE(testsupport::AlertSeen("Save file [" + dir_ / "out/one.bin]"));
    EXPECT_TRUE(testsupport::AlertSeen("Save path [" + dir_ / "out/]"));
    TorrentHelper_StopJob(&job_, manager_, &member_);
    EXPECT_EQ(nullptr, member_);

    // Several files go into the content's own folder, made when missing.
    std::string pack = Folder("pack");
    ASSERT_EQ(1, Start("/MetaFile \"" + pack + "\"")) << testsupport::AlertText();
    EXPECT_EQ(dir_ / "out/pack/", ContentPath());
    EXPECT_TRUE(FileExists(dir_ / "out/pack"));
    ASSERT_EQ(1, Content_ScanExisting(Content()));
    EXPECT_EQ(0, g_asked.dialogs);
    EXPECT_TRUE(g_asked.styles.empty());
}

TEST_F(TorrentHelperTest, AskingForTheLocationTakesThePlaceTheUserPicks) {
    ZylWindowHooks hooks = {};
    hooks.SaveFileDialog = PickSave;
    hooks.BrowseForFolder = PickFolder;
    Zyl_SetWindowHooks(&hooks);
    job_.AskForLocation = 1;

    // One file: the save dialog opens on the output path; a picked name ending
    // in the partial extension loses it.
    std::string torrent = OneFile("one.bin", Bytes(40000, 8));
    testsupport::RunCommand("mkdir -p '" + dir_ / "chosen" + "'");
    g_pick = dir_ / "chosen/renamed.bin.PARTIAL";
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\"")) << testsupport::AlertText();
    EXPECT_EQ(dir_ / "out/", g_openedIn);
    EXPECT_EQ(dir_ / "chosen/", ContentPath());
    EXPECT_EQ("renamed.bin", ContentName());
    EXPECT_TRUE(testsupport::AlertSeen("Partial extension removed from save file [renamed.bin]"));
    TorrentHelper_StopJob(&job_, manager_, &member_);

    // Several files: the folder dialog opens on the default folder (made for
    // it); another folder gets the content's folder name, and the unused
    // default folder is removed again.
    std::string pack = Folder("pack");
    g_pick = dir_ / "elsewhere";
    ASSERT_EQ(1, Start("/MetaFile \"" + pack + "\"")) << testsupport::AlertText();
    EXPECT_EQ(dir_ / "out/pack", g_openedIn);
    EXPECT_EQ(dir_ / "elsewhere/pack/", ContentPath());
    EXPECT_FALSE(FileExists(dir_ / "out/pack"));
    TorrentHelper_StopJob(&job_, manager_, &member_);

    // Picking the default folder takes it as it is.
    g_pick = dir_ / "out/pack";
    ASSERT_EQ(1, Start("/MetaFile \"" + pack + "\"")) << testsupport::AlertText();
    EXPECT_EQ(dir_ / "out/pack/", ContentPath());
    EXPECT_TRUE(FileExists(dir_ / "out/pack"));
    EXPECT_EQ(3, g_asked.dialogs);
}

TEST_F(TorrentHelperTest, AResumedDownloadKeepsTheFolderItWasSavedToWithoutAsking) {
    KickStartStruct *kick = nullptr;
    ASSERT_EQ(1, Manager_GetKickStart(manager_, &kick));
    KickStart_SetFolder(kick, (dir_ / "kick/").c_str());
    KickStart_SetEnabled(kick, 1);
    KickStart_SetBaseOnly(kick);
    std::string torrent = OneFile("one.bin", Bytes(40000, 9));
    testsupport::RunCommand("mkdir -p '" + dir_ / "elsewhere" + "'");
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\" /Path \"" + dir_ / "elsewhere" + "\""));
    ASSERT_EQ(1, Content_ScanExisting(Content()));
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member_, &base);
    ASSERT_EQ(1, KickStart_SaveBaseAccelerator(kick, base)) << testsupport::AlertText();
    TorrentHelper_StopJob(&job_, manager_, &member_);
    Manager_CloseTaggedMembers(manager_, 1);

    job_.AskForLocation = 1;
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\"")) << testsupport::AlertText();
    EXPECT_EQ(dir_ / "elsewhere/", ContentPath());
    EXPECT_EQ(0, g_asked.dialogs);
}

TEST_F(TorrentHelperTest, ASecondJobForTheSameContentAndAnInvalidMetafileFail) {
    std::string torrent = OneFile("one.bin", Bytes(40000, 4));
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\""));
    ManagerMemberStruct *second = nullptr;
    std::string line = "vexilnm /MetaFile \"" + torrent + "\" /Path \"" + dir_ / "other" + "\"";
    EXPECT_EQ(0, TorrentHelper_StartJob(line.c_str(), manager_, &job_, &second));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(TORRENTHELPER_ERROR_ALREADYDOWNLOADING, TorrentHelper_GetError());
    char name[320] = "unchanged";
    EXPECT_EQ(1, TorrentHelper_GetErrorName(TorrentHelper_GetError(), name));
    EXPECT_STREQ("TORRENTHELPER_ERROR_ALREADYDOWNLOADING", name);
    EXPECT_EQ(0, TorrentHelper_GetErrorName(7, name));
    EXPECT_STREQ("TORRENTHELPER_ERROR_ALREADYDOWNLOADING", name);

    WriteFile(dir_ / "bad.torrent", "d4:infoi1ee");
    line = "vexilnm /MetaFile \"" + dir_ / "bad.torrent" + "\"";
    EXPECT_EQ(0, TorrentHelper_StartJob(line.c_str(), manager_, &job_, &second));
    EXPECT_EQ(TORRENTHELPER_ERROR_INVALIDMETAFILE, TorrentHelper_GetError());
    line = "vexilnm /MetaFile \"" + dir_ / "missing.torrent" + "\"";
    EXPECT_EQ(0, TorrentHelper_StartJob(line.c_str(), manager_, &job_, &second));
    EXPECT_EQ(TORRENTHELPER_ERROR_INVALIDMETAFILE, TorrentHelper_GetError());

    testsupport::ClearAlerts();
    EXPECT_EQ(0, TorrentHelper_StartJob("vexilnm /NoPeer", manager_, &job_, &second));
    EXPECT_TRUE(testsupport::AlertSeen("No source specified"));
    // Only the first job is left in the manager.
    int members = 0;
    Manager_CloseTaggedMembers(manager_, 1);
    Manager_GetMemberCount(manager_, &members);
    EXPECT_EQ(1, members);
}

TEST_F(TorrentHelperTest, OverwriteRefusedThenTheChoiceCancelledGivesUserAbort) {
    std::string torrent = OneFile("one.bin", Bytes(40000, 5));
    WriteFile(dir_ / "out/one.bin", "other bytes");
    TorrentHelper_SetPrompt(RecordPrompt, nullptr);
    g_asked.answer = TORRENTHELPER_ANSWER_NO;
    EXPECT_EQ(0, Start("/MetaFile \"" + torrent + "\""));
    EXPECT_EQ(TORRENTHELPER_ERROR_USERABORT, TorrentHelper_GetError());
    EXPECT_EQ(std::vector<int>{TORRENTHELPER_STYLE_OVERWRITE}, g_asked.styles);
    EXPECT_EQ(1, g_asked.dialogs);
    EXPECT_EQ("other bytes", ReadFile(dir_ / "out/one.bin"));

    // The default prompt answers 0: the overwrite counts as yes.
    TorrentHelper_ResetPrompt();
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\""));
    EXPECT_EQ(1, g_asked.dialogs);
}

TEST_F(TorrentHelperTest, TooLittleFreeSpaceGivesUserAbortAndRemovesTheFolderMadeForIt) {
    std::string pack = Folder("pack");
    TorrentHelper_SetFreeSpaceFunction(TenBytesFree);
    TorrentHelper_SetPrompt(RecordPrompt, nullptr);
    EXPECT_EQ(0, Start("/MetaFile \"" + pack + "\""));
    EXPECT_EQ(TORRENTHELPER_ERROR_USERABORT, TorrentHelper_GetError());
    EXPECT_EQ(std::vector<int>{TORRENTHELPER_STYLE_DISKSPACE}, g_asked.styles);
    EXPECT_FALSE(FileExists(dir_ / "out/pack"));
    EXPECT_TRUE(testsupport::AlertSeen("Removing temp [" + dir_ / "out/pack/]"))
        << testsupport::AlertText();

    // An answer other than 0 opens the folder dialog; cancelling it ends the same way.
    g_asked.answer = 1;
    EXPECT_EQ(0, Start("/MetaFile \"" + pack + "\""));
    EXPECT_EQ(TORRENTHELPER_ERROR_USERABORT, TorrentHelper_GetError());
    EXPECT_EQ(1, g_asked.dialogs);
}

TEST_F(TorrentHelperTest, TheDHTIsSetFromTheJobAtEveryStart) {
    DHTStruct *dht = nullptr;
    ASSERT_EQ(1, Manager_GetDHT(manager_, &dht));
    DHT_SetActive(dht, 1);
    std::string torrent = OneFile("one.bin", Bytes(40000, 6));
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\""));
    int active = -1;
    DHT_GetActive(dht, &active);
    EXPECT_EQ(0, active);
    TorrentHelper_StopJob(&job_, manager_, &member_);
    job_.DHTOn = 1;
    ASSERT_EQ(1, Start("/MetaFile \"" + torrent + "\""));
    DHT_GetActive(dht, &active);
    EXPECT_EQ(1, active);
    DHT_SetActive(dht, 0);
}

TEST_F(TorrentHelperTest, AStopAppliesTheAutodeleteRulesToTheContentsFilesOnly) {
    std::string data = Bytes(200000, 7);
    std::string torrent = OneFile("one.bin", data);
    WriteFile(dir_ / "out/keep.txt", "mine");
    struct Case {
        const char *name;
        int threshold, whenEmpty, deleteMetafile;
        size_t present; // bytes of the right data on disk before the start
        bool erased, metafileGone;
    } const cases[] = {
        {"complete, metafile deleted", 0, 0, 1, data.size(), false, true},
        {"complete, metafile kept", 0, 0, 0, data.size(), false, false},
        {"empty and autodelete when empty", 0, 1, 1, 0, true, false},
        {"empty, kept", 0, 0, 0, 0, false, false},
        {"half, below the threshold", 90, 0, 0, 100000, true, false},
        {"half, above the threshold", 40, 0, 0, 100000, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string copy = dir_ / "copy.torrent";
        WriteFile(copy, ReadFile(torrent));
        // An unfinished download's file carries the partial extension.
        unlink((dir_ / "out/one.bin").c_str());
        unlink((dir_ / "out/one.bin.partial").c_str());
        if (c.present == data.size())
            WriteFile(dir_ / "out/one.bin", data);
        else if (c.present > 0)
            WriteFile(dir_ / "out/one.bin.partial", data.substr(0, c.present));
        job_.AutodeleteThreshold = c.threshold;
        job_.AutodeleteWhenEmpty = c.whenEmpty;
        job_.DeleteMetafileOnSuccess = c.deleteMetafile;
        ASSERT_EQ(1, Start("/MetaFile \"" + copy + "\"")) << testsupport::AlertText();
        ASSERT_EQ(1, Content_ScanExisting(Content()));
        int pieces = 0;
        Content_GetPieceCount(Content(), &pieces);
        EXPECT_EQ(c.present == data.size() ? pieces : (int)(c.present / 32768), HeldPieces());
        testsupport::ClearAlerts();
        ASSERT_EQ(1, TorrentHelper_StopJob(&job_, manager_, &member_));
        EXPECT_EQ(nullptr, member_);
        EXPECT_EQ(c.erased, testsupport::AlertSeen("Autodelete activated"));
        bool present = FileExists(dir_ / "out/one.bin") || FileExists(dir_ / "out/one.bin.partial");
        EXPECT_EQ(!c.erased, present);
        EXPECT_EQ(c.metafileGone, !FileExists(copy));
        EXPECT_EQ("mine", ReadFile(dir_ / "out/keep.txt"));
        EXPECT_TRUE(FileExists(torrent));
        Manager_CloseTaggedMembers(manager_, 1);
    }
}

} // namespace
