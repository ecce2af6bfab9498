// Tests of the content: setup from metafiles made by mktorrent (info hash as
// libtorrent reports it), the start-up scan over complete, partial, corrupted
// and missing files, piece authentication, metainfo keys, hostile metafiles
// refused without creating anything, and contents fetched over HTTP.
#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <string>

#include "core/bitfield.h"
#include "core/mutex.h"
#include "engine/cache.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/metafile.h"
#include "engine/storage.h"
#include "engine/urllist.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

const char kPython[] = "/usr/bin/python3";

std::string S(const std::string &text) {
    return std::to_string(text.size()) + ":" + text;
}
std::string I(long long value) {
    return "i" + std::to_string(value) + "e";
}

// The "pieces" value for content cut into pieces of the given length.
std::string PieceTable(const std::string &content, size_t pieceLength) {
    std::string table;
    for (size_t at = 0; at < content.size(); at += pieceLength)
        table += testsupport::Sha1Bytes(content.substr(at, pieceLength));
    return table;
}

// Every entry below a folder (relative names, folders with a trailing '/').
void ListTree(const std::string &root, const std::string &prefix, std::set<std::string> *out) {
    DIR *dir = opendir((root + "/" + prefix).c_str());
    if (!dir)
        return;
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (e->d_type == DT_DIR) {
            out->insert(prefix + name + "/");
            ListTree(root, prefix + name + "/", out);
        } else {
            out->insert(prefix + name);
        }
    }
    closedir(dir);
}

std::string Bits(BitfieldStruct *field) {
    int size = 0;
    Bitfield_GetSize(field, &size);
    std::string out;
    for (int i = 0; i < size; i++)
        out += Bitfield_Test(field, i) ? '1' : '0';
    return out;
}

class ContentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CaptureAlerts();
        Content_Create(&content_);
    }
    void TearDown() override { Content_Destroy(&content_); }
    int OpenBuffer(const std::string &bytes) {
        buffer_ = bytes;
        Content_SetSourceBuffer(content_, buffer_.data(), (int64_t)buffer_.size());
        return Content_Open(content_);
    }
    ContentStruct *content_ = nullptr;
    std::string buffer_;
    testsupport::TempDir dir_;
};

// Three files for a multi-file metafile with piece length 32768.
struct Sample {
    std::string a, b, c; // file contents
    std::string all() const { return a + b + c; }
};

Sample MakeSample() {
    Sample s;
    for (int i = 0; i < 40000; i++)
        s.a += (char)(i * 7);
    s.b = std::string(60000, 'b');
    for (int i = 0; i < 30000; i++)
        s.c += (char)(i * 13 + 1);
    return s; // 130000 bytes: pieces 0-3 of 32768 (the last of 31696 bytes)
}

TEST_F(ContentTest, ScanRecognisesCompletePartialCorruptAndMissingFiles) {
    if (!testsupport::HaveProgram("mktorrent"))
        GTEST_SKIP() << "mktorrent missing";
    Sample s = MakeSample();
    std::string src = dir_ / "src";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + src + "/pack/sub'"));
    testsupport::WriteFile(src + "/pack/a.bin", s.a);
    testsupport::WriteFile(src + "/pack/sub/b.bin", s.b);
    testsupport::WriteFile(src + "/pack/sub/c.bin", s.c);
    std::string torrent = dir_ / "pack.torrent";
    ASSERT_EQ(0, testsupport::RunCommand("cd '" + src + "' && mktorrent -l 15 -a http://t/a -o '" +
                                         torrent + "' pack >/dev/null"));
    Content_SetSource(content_, torrent.c_str(), CONTENT_SOURCE_METAFILE);
    ASSERT_EQ(1, Content_Open(content_)) << AlertText();
    int pieces = 0;
    Content_GetPieceCount(content_, &pieces);
    ASSERT_EQ(4, pieces);
    int size = 0;
    Content_GetPieceSize(content_, 3, &size);
    EXPECT_EQ(130000 - 3 * 32768, size);
    char text[80];
    Content_GetInfoHashText(content_, text, sizeof text);
    std::string out;
    if (testsupport::RunCommand(std::string(kPython) +
                                    " -c 'import sys, libtorrent as lt; print(str(lt.torrent_info("
                                    "sys.argv[1]).info_hash()).upper())' '" +
                                    torrent + "'",
                                &out) == 0) {
        EXPECT_EQ(out, std::string(text) + "\n");
    }
    char path[CONTENT_TEXT_SIZE];
    Content_GetPath(content_, path);
    EXPECT_STREQ("pack/", path);
    char source[CONTENT_TEXT_SIZE];
    Content_GetSourceFileName(content_, source, sizeof source);
    EXPECT_STREQ("pack.torrent", source);
    URLListStruct *trackers = nullptr;
    Content_GetTrackerList(content_, &trackers);
    int trackerCount = 0;
    URLList_GetCount(trackers, &trackerCount);
    EXPECT_EQ(1, trackerCount);

    // The source folder already holds the whole download.
    Content_SetPath(content_, (src + "/pack").c_str());
    ASSERT_EQ(1, Content_ScanExisting(content_)) << AlertText();
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(content_, &held);
    EXPECT_EQ("1111", Bits(held));
    int64_t left = -1;
    Content_GetBytesLeft(content_, &left);
    EXPECT_EQ(0, left);
    int all = 0;
    FileListStruct *list = nullptr;
    Content_GetFileList(content_, &list);
    FileList_AllCompleted(list, &all);
    EXPECT_EQ(1, all);

    // Now: a.bin whole, b.bin cut after 20000 bytes, c.bin with one byte changed.
    std::string dl = dir_ / "dl";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + dl + "/sub'"));
    testsupport::WriteFile(dl + "/a.bin", s.a);
    testsupport::WriteFile(dl + "/sub/b.bin", s.b.substr(0, 20000));
    std::string c = s.c;
    c[28000] ^= 1;
    testsupport::WriteFile(dl + "/sub/c.bin", c);
    ContentStruct *second = nullptr;
    Content_Create(&second);
    Content_SetSource(second, torrent.c_str(), CONTENT_SOURCE_METAFILE);
    ASSERT_EQ(1, Content_Open(second));
    Content_SetPath(second, dl.c_str());
    ASSERT_EQ(1, Content_ScanExisting(second)) << AlertText();
    Content_GetBitfield(second, &held);
    // Piece 0 lies in a.bin; piece 1 spans a.bin and b.bin bytes 0-25535, of
    // which only 20000 were kept; piece 2 lies wholly in grown bytes of b.bin
    // (skipped); piece 3 holds the changed byte of c.bin.
    EXPECT_EQ("1000", Bits(held));
    int failed = 0;
    Content_GetFailedCount(second, &failed);
    EXPECT_EQ(2, failed); // piece 1 (cut b.bin) and piece 3 (changed byte)
    Content_GetBytesLeft(second, &left);
    EXPECT_EQ(130000 - 32768, left);
    EXPECT_EQ(s.b.substr(0, 20000) + std::string(40000, '\0'),
              testsupport::ReadFile(dl + "/sub/b.bin"));
    int progress = 0;
    Content_GetCheckProgress(second, &progress);
    EXPECT_EQ(4, progress);

    // The missing blocks arrive: pieces verify and the files complete.
    std::string data = s.all();
    for (int i = 1; i < 4; i++) {
        int bytes = 0;
        Content_GetPieceSize(second, i, &bytes);
        ASSERT_EQ(1, Content_Write(data.data() + i * 32768, second, i, 0, bytes));
        int bad = -1;
        EXPECT_EQ(1, Content_AuthenticatePiece(second, i, &bad));
        EXPECT_EQ(0, bad);
    }
    Content_GetBitfield(second, &held);
    EXPECT_EQ("1111", Bits(held));
    FileList_AllCompleted(second->FileList, &all);
    EXPECT_EQ(1, all);
    EXPECT_EQ(s.c, testsupport::ReadFile(dl + "/sub/c.bin"));
    Content_Destroy(&second);
}

// Blocks of 1 MiB checked by the check's two threads, straight from the file
// and then through the disk cache and storage: a changed byte late in a
// block, at a block's start and at the content's end each fail their own
// block alone, and the reads still run back to back, so the cache serves the
// pass as a scan.
TEST_F(ContentTest, ScanChecksBlocksOnTwoThreadsInFileOrder) {
    const int blockLength = 1 << 20;
    std::string data(9 * blockLength - 1000, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)((i * 2654435761u) >> 13);
    std::string doc = "d4:infod6:length" + I((long long)data.size()) + "4:name" + S("big.bin") +
                      "12:piece length" + I(blockLength) + "6:pieces" +
                      S(PieceTable(data, blockLength)) + "ee";
    std::string changed = data;
    changed[2 * blockLength + 6 * 131072 + 5] ^= 1;
    changed[5 * blockLength] ^= 1;
    changed[changed.size() - 1] ^= 1;
    testsupport::WriteFile(dir_ / "big.bin", changed);
    StorageStruct *storage = nullptr;
    CacheStruct *cache = nullptr;
    Storage_Create(&storage);
    Cache_Create(&cache);
    Cache_SetParent(cache, nullptr, storage);
    ASSERT_EQ(1, Cache_SetBufferSize(cache, 1 << 20));
    for (int cached = 0; cached < 2; cached++) {
        ContentStruct *content = nullptr;
        Content_Create(&content);
        if (cached)
            FileList_SetStorage(content->FileList, cache, storage);
        buffer_ = doc;
        Content_SetSourceBuffer(content, buffer_.data(), (int64_t)buffer_.size());
        ASSERT_EQ(1, Content_Open(content)) << AlertText();
        Content_SetPath(content, dir_.path().c_str());
        ASSERT_EQ(1, Content_ScanExisting(content)) << AlertText();
        BitfieldStruct *held = nullptr;
        Content_GetBitfield(content, &held);
        EXPECT_EQ("110110110", Bits(held)) << "cached " << cached;
        int failed = 0;
        Content_GetFailedCount(content, &failed);
        EXPECT_EQ(3, failed);
        int64_t left = 0;
        Content_GetBytesLeft(content, &left);
        EXPECT_EQ(2LL * blockLength + (blockLength - 1000), left);
        Content_Destroy(&content);
    }
    CacheStatsStruct stats;
    int freeBlocks = 0;
    ASSERT_EQ(1, Cache_GetStatistics(cache, &stats, &freeBlocks));
    EXPECT_GE(stats.ScanReads, 7);
    EXPECT_EQ(changed, testsupport::ReadFile(dir_ / "big.bin"));
    Cache_Destroy(&cache);
    Storage_Destroy(&storage);
}

TEST_F(ContentTest, AuthenticationCountsFailuresAndSkipsHeldPieces) {
    std::string data(40000, 'x');
    data[5] = 'y';
    std::string info = "d6:length" + I(40000) + "4:name" + S("one.bin") + "12:piece length" +
                       I(16384) + "6:pieces" + S(PieceTable(data, 16384)) + "e";
    ASSERT_EQ(1, OpenBuffer("d4:info" + info + "e")) << AlertText();
    char name[CONTENT_TEXT_SIZE];
    Content_GetName(content_, name);
    EXPECT_STREQ("one.bin", name);
    Content_SetPath(content_, dir_.path().c_str());
    ASSERT_EQ(1, Content_ScanExisting(content_));
    int failed = -1;
    std::string wrong(16384, 'x');
    ASSERT_EQ(1, Content_Write(wrong.data(), content_, 0, 0, 16384));
    // Verification reports a FAILED piece as 1, and so also one outside the content.
    EXPECT_EQ(CONTENT_PIECE_FAILED, Content_VerifyPiece(content_, 0));
    EXPECT_EQ(CONTENT_PIECE_FAILED, Content_VerifyPiece(content_, 3));
    EXPECT_EQ(0, Content_AuthenticatePiece(content_, 0, &failed));
    EXPECT_EQ(1, failed);
    int count = 0;
    Content_GetFailedCount(content_, &count);
    EXPECT_EQ(1, count);
    ASSERT_EQ(1, Content_Write(data.data(), content_, 0, 0, 16384));
    EXPECT_EQ(CONTENT_PIECE_OK, Content_VerifyPiece(content_, 0));
    EXPECT_EQ(1, Content_AuthenticatePiece(content_, 0, &failed));
    EXPECT_EQ(0, failed);
    // Held already: no new hash, even when the bytes on disk changed since.
    ASSERT_EQ(1, Content_Write(wrong.data(), content_, 0, 0, 16384));
    EXPECT_EQ(1, Content_AuthenticatePiece(content_, 0, &failed));
    EXPECT_EQ(0, failed);
    EXPECT_EQ(0, Content_AuthenticatePiece(content_, 3, &failed));
    EXPECT_EQ(1, failed);
    // With verification off every piece is accepted.
    Content_DisableVerify(content_);
    EXPECT_EQ(CONTENT_PIECE_OK, Content_VerifyPiece(content_, 1));
    EXPECT_EQ(1, Content_AuthenticatePiece(content_, 1, &failed));
    EXPECT_EQ(0, failed);
}

TEST_F(ContentTest, MetainfoKeysListsAndGeometry) {
    std::string data(1000000, 'z');
    std::string doc = "d8:ANNOUNCE" + S("http://t1/a") + "13:announce-listll" + S("http://t2/a") +
                      S("http://T1/A") + "el" + S("http://t3/a") + "ee11:reliable-id" +
                      S("ignored") + "8:reliable" + S("http://w1/") + "11:reliable-id" + S("w1") +
                      "13:reliable-listll" + S("http://w2/") + S("http://w3/") +
                      "ee16:reliable-list-idll" + S("a") + S("b") + S("c") + S("d") +
                      "ee13:creation date" + I(1700000000) + "7:comment" + S("c") + "5:extra" +
                      I(1) + "4:infod6:length" + I(1000000) + "4:name" + S("big.bin") +
                      "12:piece length" + I(262144) + "6:pieces" + S(PieceTable(data, 262144)) +
                      "7:private" + S("yes") + "6:closed" + I(1) + "ee";
    ASSERT_EQ(1, OpenBuffer(doc)) << AlertText();
    EXPECT_TRUE(AlertSeen("Unknown root field [T:1] 5:[extra]"));
    int pieces = 0, size = 0, closed = 0;
    Content_GetPieceCount(content_, &pieces);
    EXPECT_EQ(4, pieces);
    Content_GetPieceSize(content_, 3, &size);
    EXPECT_EQ(213568, size);
    EXPECT_EQ(0, Content_GetPieceSize(content_, 4, &size));
    Content_GetClosed(content_, &closed);
    EXPECT_EQ(1, closed);
    EXPECT_EQ(1, content_->Private);
    EXPECT_EQ(1700000000, content_->CreationDate);
    URLListStruct *list = nullptr;
    Content_GetTrackerList(content_, &list);
    std::string urls;
    URLListMemberStruct *m = nullptr;
    for (int ok = URLList_GetFirst(list, &m); ok; ok = URLListMember_GetNext(m, &m))
        urls += std::string(m->URL) + ";";
    EXPECT_EQ("http://t1/a;http://t2/a;http://t3/a;", urls);
    Content_GetReliableList(content_, &list);
    urls.clear();
    for (int ok = URLList_GetFirst(list, &m); ok; ok = URLListMember_GetNext(m, &m))
        urls += std::string(m->URL) + "=" + m->Id + ";";
    // The id list restarts at the first entry; ids past the end are dropped.
    EXPECT_EQ("http://w1/=a;http://w2/=b;http://w3/=c;", urls);
    EXPECT_STREQ("http://w1/", content_->FirstReliable);
    uint8_t hash[20], digest[20];
    Content_GetInfoHash(content_, hash);
    Content_GetInfoHashDigest(content_, digest);
    EXPECT_EQ(testsupport::Sha1Bytes(std::string(reinterpret_cast<char *>(hash), 20)),
              std::string(reinterpret_cast<char *>(digest), 20));
}

TEST_F(ContentTest, SliceSizeBounds) {
    EXPECT_EQ(1, Content_SetSliceSize(content_, 4096));
    EXPECT_EQ(1, Content_SetSliceSize(content_, 131072));
    EXPECT_EQ(0, Content_SetSliceSize(content_, 4095));
    EXPECT_TRUE(AlertSeen("Slice size is invalid (4096 | 4095 | 131072)"));
    EXPECT_EQ(0, Content_SetSliceSize(content_, 131073));
    Content_SetSliceSize(content_, 16384);
    std::string data(10000, 'q');
    ASSERT_EQ(1,
              OpenBuffer("d4:infod6:length" + I(10000) + "4:name" + S("s.bin") + "12:piece length" +
                         I(8192) + "6:pieces" + S(PieceTable(data, 8192)) + "ee"));
    int slice = 0;
    Content_GetSliceSize(content_, &slice);
    EXPECT_EQ(8192, slice);
}

TEST_F(ContentTest, HostileMetafilesAreRefusedAndCreateNothing) {
    std::string table = PieceTable(std::string(100, 'x'), 16384);
    auto info = [&](const std::string &files, long long pieceLength, const std::string &pieces) {
        return "d4:infod" + files + "12:piece length" + I(pieceLength) + "6:pieces" + S(pieces) +
               "ee";
    };
    std::string one = "6:length" + I(100) + "4:name" + S("f.bin");
    auto multi = [](const std::string &path) {
        return "5:filesld6:length" + I(100) + "4:path" + path + "ee4:name" + S("pack");
    };
    const struct {
        const char *name;
        std::string doc;
        const char *logged;
    } cases[] = {
        {"piece length 0", info(one, 0, table), "Piece length invalid"},
        {"negative piece length", info(one, -16384, table), "Piece length invalid"},
        {"huge piece length", info(one, 4294967296LL, table), "Piece length invalid"},
        {"piece length over 64 MiB", info(one, 67108865LL, table), "Piece length invalid"},
        {"pieces of 41 bytes", info(one, 16384, table + std::string(21, 'p')),
         "Hash lookup size invalid (41 mod 20)"},
        {"too many pieces", info(one, 16384, table + table), "Mismatch on partial left"},
        {"no pieces", info(one, 16384, ""), "Mismatch on partial left"},
        {"info a list", "d4:infoli1eee", "Info field is not a dictionary"},
        {"two infos", "d4:infod" + one + "e4:infod" + one + "ee", "Duplicate info field"},
        {"no info", "d8:announce" + S("http://t/") + "e", "Metafile has no info dictionary"},
        {"parent path", info(multi("l" + S("..") + S("..") + S("evil") + "e"), 16384, table),
         "component invalid"},
        {"absolute path", info(multi("l" + S("/tmp") + "e"), 16384, table), "component invalid"},
        {"parent name", info("6:length" + I(100) + "4:name" + S(".."), 16384, table),
         "File name invalid"},
        {"name with separator", info("6:length" + I(100) + "4:name" + S("../x"), 16384, table),
         "File name invalid"},
        {"negative length", info("6:length" + I(-100) + "4:name" + S("f"), 16384, table),
         "File length invalid"},
        {"bad announce-list", "d13:announce-listl" + I(1) + "e4:infod" + one + "ee",
         "Unable to get child for announce-list"},
        {"not bencode", "<html>", "Metafile appears to be corrupt"},
        {"truncated", "d4:infod6:length" + I(100) + "4:name5:f.b", "Field length invalid"},
    };
    std::string work = dir_ / "work";
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + work + "/dl'"));
    std::set<std::string> before;
    ListTree(dir_.path(), "", &before);
    for (const auto &c : cases) {
        CaptureAlerts();
        ContentStruct *content = nullptr;
        Content_Create(&content);
        buffer_ = c.doc;
        Content_SetSourceBuffer(content, buffer_.data(), (int64_t)buffer_.size());
        EXPECT_EQ(0, Content_Open(content)) << c.name;
        EXPECT_TRUE(AlertSeen(c.logged)) << c.name << "\n" << AlertText();
        // Even a scan after the refusal creates nothing outside the folder.
        Content_SetPath(content, (work + "/dl").c_str());
        Content_ScanExisting(content);
        Content_Destroy(&content);
        std::set<std::string> after;
        ListTree(dir_.path(), "", &after);
        for (const std::string &entry : after)
            EXPECT_TRUE(before.count(entry) || entry.rfind("work/dl/", 0) == 0)
                << c.name << ": " << entry;
    }
}

TEST_F(ContentTest, MetafileFixturesAndTheirExactErrors) {
    const struct {
        const char *file;
        const char *line; // the Alert line that refuses it ("" for the good one)
    } cases[] = {
        {"good_multi.torrent", ""},
        {"traversal.torrent", "2:File path component invalid [..]"},
        {"absolute_path.torrent", "2:File path component invalid [/tmp]"},
        {"duplicate_path.torrent", "2:Duplicate file path [data\\A.BIN]"},
        {"name_parent.torrent", "2:File name invalid [..]"},
        {"zero_piece_length.torrent", "2:Piece length invalid [0]"},
        {"info_list.torrent", "2:Info field is not a dictionary"},
        {"negative_length.torrent", "2:File length invalid [-100]"},
        {"too_deep.torrent", "2:Nesting too deep at 70 [65]"},
        {"odd_pieces.torrent", "2:Hash lookup size invalid (21 mod 20)"},
    };
    for (const auto &c : cases) {
        CaptureAlerts();
        ContentStruct *content = nullptr;
        Content_Create(&content);
        std::string path = std::string(PORTICO_TEST_DATA) + "/metafile/" + c.file;
        Content_SetSource(content, path.c_str(), CONTENT_SOURCE_METAFILE);
        int opened = Content_Open(content);
        if (c.line[0] == 0) {
            EXPECT_EQ(1, opened) << c.file << "\n" << AlertText();
            char hash[80];
            Content_GetInfoHashText(content, hash, sizeof hash);
            // As libtorrent reports it for this file.
            EXPECT_STREQ("95075EFA4FAEF252DE52570B0348154797F354E4", hash);
        } else {
            EXPECT_EQ(0, opened) << c.file;
            bool exact = false;
            for (const auto &line : testsupport::CapturedAlerts())
                exact |= std::to_string(line.first) + ":" + line.second == c.line;
            EXPECT_TRUE(exact) << c.file << "\n" << AlertText();
        }
        Content_Destroy(&content);
    }
}

TEST(ContentDeathTest, SecondParentAndWrongTagsStopTheProgram) {
    int fakeBase = 0;
    BaseStruct *base = reinterpret_cast<BaseStruct *>(&fakeBase);
    EXPECT_DEATH(
        {
            ContentStruct *content = nullptr;
            Content_Create(&content);
            Content_SetParent(content, base);
            Content_SetParent(content, base);
        },
        "Parent handle already set");
    EXPECT_DEATH(
        {
            FileListStruct *list = nullptr;
            FileList_Create(&list);
            FileList_SetParent(base, list);
            FileList_SetParent(base, list);
        },
        "Base handle already set");
    EXPECT_DEATH(
        {
            ContentStruct *content = nullptr;
            Content_Create(&content);
            FileList_Dump(reinterpret_cast<FileListStruct *>(content));
        },
        "Struct mismatch pointer \\(0x[0-9a-fA-F]+:ContentStruct != FileListStruct\\)");
}

TEST_F(ContentTest, ThroughDiskCacheAndStorageWithPartialNames) {
    std::string data;
    for (int i = 0; i < 100000; i++)
        data += (char)(i * 31 + 7);
    std::string doc = "d4:infod6:length" + I(100000) + "4:name" + S("one.bin") + "12:piece length" +
                      I(32768) + "6:pieces" + S(PieceTable(data, 32768)) + "ee";
    StorageStruct *storage = nullptr;
    CacheStruct *cache = nullptr;
    Storage_Create(&storage);
    Storage_SetPartialExtension(storage, "part");
    Cache_Create(&cache);
    Cache_SetParent(cache, nullptr, storage);
    ASSERT_EQ(1, Cache_SetBufferSize(cache, 1 << 20));
    FileListStruct *list = nullptr;
    Content_GetFileList(content_, &list);
    FileList_SetStorage(list, cache, storage);
    ASSERT_EQ(1, OpenBuffer(doc)) << AlertText();
    EXPECT_TRUE(AlertSeen("Partial files will have extension [.part]")) << AlertText();
    std::string dl = dir_ / "dl";
    Content_SetPath(content_, dl.c_str());
    ASSERT_EQ(1, Content_ScanExisting(content_)) << AlertText();
    // The incomplete file lies under its partial name.
    EXPECT_TRUE(testsupport::FileExists(dl + "/one.bin.part"));
    EXPECT_FALSE(testsupport::FileExists(dl + "/one.bin"));
    for (int i = 0; i < 4; i++) {
        int size = 0, failed = 0;
        Content_GetPieceSize(content_, i, &size);
        ASSERT_EQ(1, Content_Write(data.data() + i * 32768, content_, i, 0, size));
        ASSERT_EQ(1, Content_AuthenticatePiece(content_, i, &failed)) << AlertText();
    }
    int all = 0;
    FileList_AllCompleted(list, &all);
    EXPECT_EQ(1, all);
    EXPECT_FALSE(testsupport::FileExists(dl + "/one.bin.part"));
    EXPECT_EQ(data, testsupport::ReadFile(dl + "/one.bin"));
    int failures = -1;
    FileList_GetWriteFailures(list, &failures);
    EXPECT_EQ(0, failures);

    // A second content over the finished file finds every piece through the cache.
    ContentStruct *again = nullptr;
    Content_Create(&again);
    FileList_SetStorage(again->FileList, cache, storage);
    buffer_ = doc;
    Content_SetSourceBuffer(again, buffer_.data(), (int64_t)buffer_.size());
    ASSERT_EQ(1, Content_Open(again));
    Content_SetPath(again, dl.c_str());
    ASSERT_EQ(1, Content_ScanExisting(again));
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(again, &held);
    EXPECT_EQ("1111", Bits(held));
    Content_Destroy(&again);
    Content_Destroy(&content_);
    Content_Create(&content_);
    Cache_Destroy(&cache);
    Storage_Destroy(&storage);
}

TEST_F(ContentTest, ScanStopsOnTheStopEvent) {
    std::string data(50000, 'k');
    ASSERT_EQ(1,
              OpenBuffer("d4:infod6:length" + I(50000) + "4:name" + S("k.bin") + "12:piece length" +
                         I(16384) + "6:pieces" + S(PieceTable(data, 16384)) + "ee"));
    testsupport::WriteFile(dir_ / "k.bin", data);
    Content_SetPath(content_, dir_.path().c_str());
    EventStruct *stop = nullptr;
    Event_Create(&stop);
    Content_SetStopEvent(content_, stop);
    Event_Set(stop, 1);
    EXPECT_EQ(0, Content_ScanExisting(content_));
    int checking = 1;
    Content_GetChecking(content_, &checking);
    EXPECT_EQ(0, checking);
    Event_Set(stop, 0);
    ASSERT_EQ(1, Content_ScanExisting(content_));
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(content_, &held);
    EXPECT_EQ("1111", Bits(held));
    // Erasing returns every piece to wanted-not-held and removes the file.
    ASSERT_EQ(1, Content_Erase(content_));
    EXPECT_EQ("0000", Bits(held));
    int64_t left = 0;
    Content_GetBytesLeft(content_, &left);
    EXPECT_EQ(50000, left);
    EXPECT_FALSE(testsupport::FileExists(dir_ / "k.bin"));
    Event_Close(&stop);
}

TEST_F(ContentTest, ContentsFromHttp) {
    nettest::NginxServer server;
    if (!server.ok())
        GTEST_SKIP() << server.error();
    std::string data(100000, 'w');
    std::string doc = "d4:infod6:length" + I(100000) + "4:name" + S("w.bin") + "12:piece length" +
                      I(32768) + "6:pieces" + S(PieceTable(data, 32768)) + "ee";
    testsupport::WriteFile(server.root() + "/meta.torrent", doc);
    testsupport::WriteFile(server.root() + "/big.bin", std::string(5000000, 'b'));
    Content_SetSource(content_, server.url("/meta.torrent").c_str(), CONTENT_SOURCE_URL);
    ASSERT_EQ(1, Content_Open(content_)) << AlertText();
    char source[CONTENT_TEXT_SIZE];
    Content_GetSourceFileName(content_, source, sizeof source);
    EXPECT_STREQ("meta.torrent", source);
    int pieces = 0;
    Content_GetPieceCount(content_, &pieces);
    EXPECT_EQ(4, pieces);

    CaptureAlerts();
    Content_SetSource(content_, server.url("/absent.torrent").c_str(), CONTENT_SOURCE_URL);
    EXPECT_EQ(0, Content_Open(content_));
    EXPECT_TRUE(AlertSeen("Unable to retrieve URL [")) << AlertText();

    // A plain download URL: the length from the header, piece length 32768 for 5 MB.
    ContentStruct *plain = nullptr;
    Content_Create(&plain);
    ASSERT_EQ(1, Content_SetupFromURL(server.url("/big.bin").c_str(), "job-key", plain));
    int length = 0;
    Content_GetPieceLength(plain, &length);
    EXPECT_EQ(32768, length);
    Content_GetPieceCount(plain, &pieces);
    EXPECT_EQ(153, pieces);
    char name[CONTENT_TEXT_SIZE];
    Content_GetName(plain, name);
    EXPECT_STREQ("big.bin", name);
    URLListStruct *reliable = nullptr;
    Content_GetReliableList(plain, &reliable);
    URLListMemberStruct *m = nullptr;
    ASSERT_EQ(1, URLList_GetFirst(reliable, &m));
    EXPECT_EQ(server.url("/"), m->URL);
    uint8_t hash[20];
    Content_GetInfoHash(plain, hash);
    EXPECT_EQ(testsupport::Sha1Bytes("job-key"), std::string(reinterpret_cast<char *>(hash), 20));
    EXPECT_EQ(CONTENT_PIECE_OK, Content_VerifyPiece(plain, 0)); // verification is off
    EXPECT_EQ(0, Content_SetupFromURL(server.url("/missing.bin").c_str(), "k", plain));
    EXPECT_EQ(0, Content_SetupFromURL("no-slash", "k", plain));
    EXPECT_EQ(0, Content_SetupFromURL((server.url("/") + "..").c_str(), "k", plain));
    Content_Destroy(&plain);
}

TEST(ContentPlainUrl, PieceLengthFromContentLength) {
    // Checked through a content laid out for given lengths: 100,000,000 bytes
    // get 65536-byte pieces (1526 of them), 5,000,000 bytes the 32768 minimum.
    nettest::NginxServer server;
    if (!server.ok())
        GTEST_SKIP() << server.error();
    std::string root = server.root();
    ASSERT_EQ(0, testsupport::RunCommand("truncate -s 100000000 '" + root + "/huge.bin'"));
    ContentStruct *content = nullptr;
    Content_Create(&content);
    ASSERT_EQ(1, Content_SetupFromURL(server.url("/huge.bin").c_str(), "k", content));
    int length = 0, pieces = 0;
    Content_GetPieceLength(content, &length);
    Content_GetPieceCount(content, &pieces);
    EXPECT_EQ(65536, length);
    EXPECT_EQ(1526, pieces);
    Content_Destroy(&content);
}

} // namespace
