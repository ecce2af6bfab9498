// Tests of the file list: offsets and piece ranges, reads and writes across
// real files, reading metafiles (and refusing hostile ones), preparing files
// without losing bytes already there, completion and erasing.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "core/bitfield.h"
#include "core/mutex.h"
#include "engine/filelist.h"
#include "engine/metafile.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

std::string S(const std::string &text) {
    return std::to_string(text.size()) + ":" + text;
}
std::string I(long long value) {
    return "i" + std::to_string(value) + "e";
}

int64_t FileSize(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_size : -1;
}

class FileListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CaptureAlerts();
        FileList_Create(&list_);
        MetaFile_Create(&doc_);
    }
    void TearDown() override {
        FileList_Destroy(&list_);
        MetaFile_Destroy(&doc_);
    }
    void AddFile(const char *path, int64_t length) {
        FileListMemberStruct *m = nullptr;
        FileList_AddMember(&m, list_);
        FileList_SetMemberName(m, path);
        FileList_SetMemberPath(m, path);
        FileList_SetMemberLength(m, length);
    }
    int Parse(const std::string &bencode, int pieceLength = 16384) {
        FileList_Reset(list_);
        FileList_SetPieceLength(list_, pieceLength);
        if (!MetaFile_LoadBuffer(doc_, bencode.data(), (int64_t)bencode.size()))
            return -1;
        return FileList_ParseMetaFile(list_, doc_);
    }
    FileListStruct *list_ = nullptr;
    MetaFileStruct *doc_ = nullptr;
    testsupport::TempDir dir_;
};

TEST_F(FileListTest, OffsetsPiecesAndReadsAcrossFiles) {
    FileList_SetPieceLength(list_, 256);
    AddFile("one.bin", 100);
    AddFile("empty.bin", 0);
    AddFile("sub\\three.bin", 300);
    ASSERT_EQ(1, FileList_UpdateOffsets(list_));
    int64_t total = 0;
    FileList_GetTotalLength(list_, &total);
    EXPECT_EQ(400, total);
    const int64_t offsets[] = {0, 100, 100};
    const int firsts[] = {0, 0, 0}, lasts[] = {0, 0, 1};
    FileListMemberStruct *m = nullptr;
    int i = 0;
    for (int ok = FileList_FirstMember(list_, &m); ok; ok = FileList_NextMember(m, &m), i++) {
        int64_t offset = 0;
        int first = 0, last = 0;
        FileList_GetMemberOffset(m, &offset);
        FileList_GetMemberPieces(m, &first, &last);
        EXPECT_EQ(offsets[i], offset) << i;
        EXPECT_EQ(firsts[i], first) << i;
        EXPECT_EQ(lasts[i], last) << i;
    }
    FileList_SetDirectory(dir_.path().c_str(), list_);
    std::string data;
    for (int k = 0; k < 400; k++)
        data += (char)('a' + k % 26);
    ASSERT_EQ(1, FileList_Write(list_, data.data(), 0, 400));
    FileList_UnlockAll(list_);
    EXPECT_EQ(data.substr(0, 100), testsupport::ReadFile(dir_ / "one.bin"));
    EXPECT_EQ(data.substr(100), testsupport::ReadFile(dir_ / "sub/three.bin"));
    // 50 bytes at offset 90: 10 from the first file and 40 from the third.
    char buffer[400];
    ASSERT_EQ(1, FileList_Read(list_, buffer, 90, 50));
    EXPECT_EQ(data.substr(90, 50), std::string(buffer, 50));
    ASSERT_EQ(1, FileList_Read(list_, buffer, 0, 0));
    ASSERT_EQ(1, FileList_Read(list_, buffer, 399, 1));
    EXPECT_EQ(0, FileList_Read(list_, buffer, 399, 2));
    EXPECT_TRUE(AlertSeen("Location exceeds total size (401 > 400)")) << AlertText();
    EXPECT_EQ(0, FileList_Read(list_, buffer, -1, 2));
    // Reading inside one file is bounded by that file.
    FileList_FindMemberByPath(list_, "SUB\\THREE.BIN", &m);
    ASSERT_NE(nullptr, m);
    ASSERT_EQ(1, FileList_ReadMember(list_, m, buffer, 290, 10));
    EXPECT_EQ(data.substr(390, 10), std::string(buffer, 10));
    EXPECT_EQ(0, FileList_ReadMember(list_, m, buffer, 291, 10));
    EXPECT_TRUE(AlertSeen("Length beyond file size (10 > (300 - 291)")) << AlertText();
    // Piece 1 lies in the third file only; the empty file is never chosen.
    ASSERT_EQ(1, FileList_FindMemberByPiece(list_, &m, 1));
    EXPECT_STREQ("sub\\three.bin", m->Path);
    FileList_FirstMember(list_, &m);
    FileListMemberStruct *next = nullptr;
    ASSERT_EQ(1, FileList_NextMemberWithData(m, &next));
    EXPECT_STREQ("sub\\three.bin", next->Path);
}

TEST_F(FileListTest, ReadOfAMissingFileFails) {
    AddFile("gone.bin", 10);
    FileList_UpdateOffsets(list_);
    FileList_SetDirectory(dir_.path().c_str(), list_);
    char buffer[10];
    EXPECT_EQ(0, FileList_Read(list_, buffer, 0, 10));
    EXPECT_TRUE(AlertSeen("I/O failed (gone.bin) (10)")) << AlertText();
}

TEST_F(FileListTest, ReadsOneFileAndMultiFileMetafiles) {
    ASSERT_EQ(1, Parse("d8:announce" + S("http://t/a") + "4:infod6:length" + I(40000) + "6:md5sum" +
                       S(std::string(40, 'f')) + "4:name" + S("game.pak") + "12:piece length" +
                       I(16384) + "6:pieces" + S(std::string(60, 'p')) + "5:fancy" + I(1) + "ee"));
    int count = 0;
    FileList_GetCount(list_, &count);
    ASSERT_EQ(1, count);
    FileListMemberStruct *m = nullptr;
    FileList_FirstMember(list_, &m);
    char name[FILELIST_TEXT_SIZE];
    FileList_GetMemberName(m, name, sizeof name);
    EXPECT_STREQ("game.pak", name);
    EXPECT_EQ(40000, m->Length);
    EXPECT_EQ(2, m->LastPiece);
    EXPECT_EQ(0, list_->DirectoryOwned);
    EXPECT_EQ(std::string(32, 'f'), list_->Md5);
    EXPECT_TRUE(AlertSeen("Unknown info field [T:1] 5:[fancy]")) << AlertText();

    ASSERT_EQ(1, Parse("d4:infod5:filesld6:length" + I(5) + "4:pathl" + S("a") + S("x.bin") +
                       "eed6:length" + I(0) + "4:pathl" + S("empty") + "eed6:length" + I(20000) +
                       "4:pathl" + S("b.bin") + "eee4:name" + S("pack") + "ee"));
    FileList_GetCount(list_, &count);
    EXPECT_EQ(3, count);
    EXPECT_STREQ("pack\\", list_->Directory);
    EXPECT_EQ(1, list_->DirectoryOwned);
    int64_t total = 0;
    FileList_GetTotalLength(list_, &total);
    EXPECT_EQ(20005, total);
    FileList_FirstMember(list_, &m);
    EXPECT_STREQ("a\\x.bin", m->Path);
    FileList_NextMember(m, &m);
    FileList_NextMember(m, &m);
    EXPECT_EQ(5, m->Offset);
    EXPECT_EQ(0, m->FirstPiece);
    EXPECT_EQ(1, m->LastPiece);
    int active = 0;
    FileList_AllActive(list_, &active);
    EXPECT_EQ(1, active);
}

struct HostileCase {
    const char *name;
    std::string info; // the info dictionary's inner keys
    const char *logged;
};

TEST_F(FileListTest, RefusesHostileMetafiles) {
    auto files = [](const std::string &entries) {
        return "5:filesl" + entries + "e4:name" + S("pack");
    };
    auto entry = [](const std::string &path, long long length) {
        return "d6:length" + I(length) + "4:path" + path + "e";
    };
    // 1000 files of 10^16 - 1 bytes: more than a signed 64-bit total holds.
    std::string many;
    for (int k = 0; k < 1000; k++)
        many += entry("l" + S("f" + std::to_string(k)) + "e", 9999999999999999LL);
    const HostileCase cases[] = {
        {"parent in path", files(entry("l" + S("..") + S("x") + "e", 1)), "component invalid"},
        {"dot in path", files(entry("l" + S(".") + "e", 1)), "component invalid"},
        {"empty component", files(entry("l" + S("a") + S("") + "e", 1)), "component invalid"},
        {"separator in component", files(entry("l" + S("a/../../b") + "e", 1)),
         "component invalid"},
        {"backslash in component", files(entry("l" + S("..\\b") + "e", 1)), "component invalid"},
        {"absolute component", files(entry("l" + S("/etc") + S("passwd") + "e", 1)),
         "component invalid"},
        {"drive component", files(entry("l" + S("C:") + S("x") + "e", 1)), "component invalid"},
        {"zero byte in component", files(entry("l" + S(std::string("a\0b", 3)) + "e", 1)),
         "component invalid"},
        {"empty path", files(entry("le", 1)), "File path invalid"},
        {"path not a list", files(entry(S("x"), 1)), "File path invalid"},
        {"path element not a string", files(entry("l" + I(3) + "e", 1)),
         "Invalid member type in path"},
        {"path too long",
         files(entry("l" + S(std::string(200, 'a')) + S(std::string(200, 'b')) + "e", 1)),
         "Out of path space"},
        {"duplicate path",
         files(entry("l" + S("a") + S("B") + "e", 1) + entry("l" + S("A") + S("b") + "e", 1)),
         "Duplicate file path"},
        {"negative file length", files(entry("l" + S("a") + "e", -5)), "File length invalid"},
        {"length not a number", files("d6:length" + S("12") + "4:pathl" + S("a") + "ee"),
         "File length invalid"},
        {"overflowing total", files(many), "Total length overflows"},
        {"entry without length", files("d4:pathl" + S("a") + "ee"), "File entry without length"},
        {"entry without path", files("d6:length" + I(1) + "e"), "File entry without path"},
        {"entry not a dictionary", files(I(1)), "Unable to get child for file list"},
        {"empty files", "5:filesle4:name" + S("x"), "Unable to get child for file list"},
        {"name parent", "6:length" + I(1) + "4:name" + S(".."), "File name invalid"},
        {"name absolute", "6:length" + I(1) + "4:name" + S("/etc/passwd"), "File name invalid"},
        {"name empty", "6:length" + I(1) + "4:name" + S(""), "File name invalid"},
        {"name missing", "6:length" + I(1), "Metafile has no name"},
        {"multi-file name parent", "5:filesl" + entry("l" + S("a") + "e", 1) + "e4:name" + S(".."),
         "File name invalid"},
        {"one-file negative length", "6:length" + I(-1) + "4:name" + S("a"), "File length invalid"},
        {"one-file without length", "4:name" + S("a"), "File entry without length"},
        {"empty info", "", "Unable to get child for peer list"},
    };
    for (const HostileCase &c : cases) {
        CaptureAlerts();
        EXPECT_EQ(0, Parse("d4:infod" + c.info + "ee")) << c.name;
        EXPECT_TRUE(AlertSeen(c.logged)) << c.name << "\n" << AlertText();
    }
    const struct {
        const char *name;
        std::string doc;
        const char *logged;
    } roots[] = {
        {"info is a list", "d4:infol" + I(1) + "ee", "Info field is not a dictionary"},
        {"info is a string", "d4:info" + S("x") + "e", "Info field is not a dictionary"},
        {"two info keys",
         "d4:infod6:length" + I(1) + "4:name" + S("a") + "e4:infod6:length" + I(1) + "4:name" +
             S("b") + "ee",
         "Duplicate info field"},
        {"no info", "d8:announce" + S("x") + "e", "Metafile has no info dictionary"},
        {"root a list", "l" + I(1) + "e", "Unexpected first member type [4]"},
        {"empty root", "de", "Unable to get child"},
    };
    for (const auto &c : roots) {
        CaptureAlerts();
        EXPECT_EQ(0, Parse(c.doc)) << c.name;
        EXPECT_TRUE(AlertSeen(c.logged)) << c.name << "\n" << AlertText();
    }
    // A last key without its value ends the walk safely.
    EXPECT_EQ(1, Parse("d4:infod6:length" + I(1) + "4:name" + S("a") + "e7:dangling" + "e"));
}

TEST_F(FileListTest, PrepareKeepsExistingBytes) {
    FileList_SetPieceLength(list_, 100);
    AddFile("full.bin", 250);       // pieces 0-2
    AddFile("short.bin", 250);      // pieces 2-4, 60 bytes already there
    AddFile("long.bin", 100);       // pieces 5-5, 150 bytes there
    AddFile("d\\missing.bin", 400); // pieces 6-9
    AddFile("empty.bin", 0);
    FileList_UpdateOffsets(list_);
    FileList_SetDirectory(dir_.path().c_str(), list_);
    testsupport::WriteFile(dir_ / "full.bin", std::string(250, 'F'));
    testsupport::WriteFile(dir_ / "short.bin", std::string(60, 'S'));
    testsupport::WriteFile(dir_ / "long.bin", std::string(150, 'L'));
    BitfieldStruct *fresh = nullptr;
    Bitfield_Create(&fresh);
    Bitfield_SetSize(fresh, 10);
    int progress = 0, existing = 0;
    ASSERT_EQ(1, FileList_PrepareFiles(list_, fresh, &progress, &existing));
    EXPECT_EQ(3, existing);
    EXPECT_EQ(10, progress); // the piece of the last file's first byte: the content's end
    EXPECT_EQ(std::string(250, 'F'), testsupport::ReadFile(dir_ / "full.bin"));
    EXPECT_EQ(std::string(60, 'S') + std::string(190, '\0'),
              testsupport::ReadFile(dir_ / "short.bin"));
    EXPECT_EQ(std::string(100, 'L'), testsupport::ReadFile(dir_ / "long.bin"));
    EXPECT_EQ(400, FileSize(dir_ / "d/missing.bin"));
    EXPECT_EQ(0, FileSize(dir_ / "empty.bin"));
    // Fresh bytes: short.bin from content offset 310 to 500 (piece 4 only; piece
    // 3 holds old bytes), missing.bin 600-1000 (pieces 6-9).
    std::string bits;
    for (int i = 0; i < 10; i++)
        bits += Bitfield_Test(fresh, i) ? '1' : '0';
    EXPECT_EQ("0000101111", bits);
    Bitfield_Destroy(&fresh);
}

TEST_F(FileListTest, PrepareStopsWhenAsked) {
    AddFile("a.bin", 10);
    FileList_UpdateOffsets(list_);
    FileList_SetDirectory(dir_.path().c_str(), list_);
    EventStruct *stop = nullptr;
    Event_Create(&stop);
    Event_Set(stop, 1);
    FileList_SetStopEvent(list_, stop);
    int progress = 0, existing = 0;
    EXPECT_EQ(0, FileList_PrepareFiles(list_, nullptr, &progress, &existing));
    EXPECT_TRUE(AlertSeen("FileList creation aborted"));
    EXPECT_FALSE(testsupport::FileExists(dir_ / "a.bin"));
    Event_Close(&stop);
}

TEST_F(FileListTest, CompletesFilesOnceWhenAllTheirPiecesAreHeld) {
    FileList_SetPieceLength(list_, 100);
    AddFile("a.bin", 150); // pieces 0-1
    AddFile("b.bin", 100); // pieces 1-2
    FileList_UpdateOffsets(list_);
    BitfieldStruct *held = nullptr;
    Bitfield_Create(&held);
    Bitfield_SetSize(held, 3);
    Bitfield_Set(held, 0);
    Bitfield_Set(held, 1);
    FileList_CheckCompleted(list_, held, 0, 0);
    FileListMemberStruct *a = nullptr, *b = nullptr;
    FileList_FirstMember(list_, &a);
    FileList_NextMember(a, &b);
    EXPECT_EQ(1, a->Completed);
    EXPECT_EQ(0, b->Completed);
    int all = 0;
    FileList_AllCompleted(list_, &all);
    EXPECT_EQ(0, all);
    Bitfield_Set(held, 2);
    CaptureAlerts();
    FileList_CheckCompleted(list_, held, 1, 0); // only files holding piece 0
    EXPECT_EQ(0, b->Completed);
    FileList_CheckCompleted(list_, held, 1, 2);
    EXPECT_EQ(1, b->Completed);
    EXPECT_TRUE(AlertSeen("File [b.bin] now marked as completed"));
    EXPECT_FALSE(AlertSeen("File [a.bin]")) << "a file is completed once";
    FileList_AllCompleted(list_, &all);
    EXPECT_EQ(1, all);
    Bitfield_Destroy(&held);
}

TEST_F(FileListTest, EraseRemovesFilesAndTheirEmptiedFolders) {
    AddFile("a\\b\\c.bin", 10);
    AddFile("a\\d.bin", 10);
    AddFile("top.bin", 10);
    FileList_UpdateOffsets(list_);
    std::string root = dir_ / "dl";
    FileList_SetDirectory(root.c_str(), list_);
    int progress = 0, existing = 0;
    ASSERT_EQ(1, FileList_PrepareFiles(list_, nullptr, &progress, &existing));
    testsupport::WriteFile(dir_ / "dl/keep.txt", "not ours");
    testsupport::WriteFile(dir_ / "outside.txt", "not ours");
    ASSERT_EQ(1, FileList_Erase(list_));
    EXPECT_FALSE(testsupport::FileExists(dir_ / "dl/a/b/c.bin"));
    EXPECT_FALSE(testsupport::FileExists(dir_ / "dl/a/b"));
    EXPECT_FALSE(testsupport::FileExists(dir_ / "dl/a"));
    EXPECT_FALSE(testsupport::FileExists(dir_ / "dl/top.bin"));
    EXPECT_TRUE(testsupport::FileExists(dir_ / "dl/keep.txt"));
    EXPECT_TRUE(testsupport::FileExists(dir_ / "outside.txt"));
    // An owned directory is removed once empty.
    testsupport::WriteFile(dir_ / "dl/keep.txt", "");
    ::unlink((dir_ / "dl/keep.txt").c_str());
    list_->DirectoryOwned = 1;
    FileList_Erase(list_);
    EXPECT_FALSE(testsupport::FileExists(dir_ / "dl"));
}

} // namespace
