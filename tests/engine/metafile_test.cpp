// Tests of the bencode codec: parse results and their exact failure lines,
// limits on hostile input, key search, path joining, the writers, and info
// hashes of metafiles made by mktorrent checked against libtorrent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/metafile.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

// The member's digest as raw bytes ("" when it has none).
std::string Digest(MetaFileMemberStruct *m) {
    uint8_t digest[20];
    if (!MetaFile_GetMemberSHA1(m, digest))
        return "";
    return std::string(reinterpret_cast<char *>(digest), 20);
}

// The same as upper-case hex digits.
std::string DigestHex(MetaFileMemberStruct *m) {
    std::string digest = Digest(m);
    if (digest.empty())
        return "";
    char hex[48];
    Zyl_BytesToHex(digest.data(), 20, hex, sizeof hex);
    return hex;
}

std::string Text(MetaFileMemberStruct *m) {
    const char *data = nullptr;
    int length = 0;
    MetaFile_GetMemberData(m, &data, &length);
    return std::string(data, (size_t)length);
}

class MetaFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CaptureAlerts();
        MetaFile_Create(&doc_);
    }
    void TearDown() override { MetaFile_Destroy(&doc_); }
    int Load(const std::string &bytes) {
        return MetaFile_LoadBuffer(doc_, bytes.data(), (int64_t)bytes.size());
    }
    std::string SaveBuffer() {
        char buffer[METAFILE_SAVE_BUFFER_SIZE];
        int size = 0;
        if (!MetaFile_SaveBuffer(doc_, buffer, &size))
            return "<failed>";
        return std::string(buffer, (size_t)size);
    }
    MetaFileStruct *doc_ = nullptr;
};

TEST_F(MetaFileTest, DictionaryKeepsOrderTextsAndDigest) {
    const std::string input = "d3:fooi42ee";
    ASSERT_EQ(1, Load(input));
    MetaFileMemberStruct *root = nullptr, *key = nullptr, *value = nullptr, *end = nullptr;
    ASSERT_EQ(1, MetaFile_GetFirstMember(doc_, &root));
    EXPECT_EQ(METAFILE_TYPE_DICTIONARY, root->Type);
    int children = 0;
    for (MetaFileMemberStruct *c = root->Children.First; c; c = c->Next)
        children++;
    EXPECT_EQ(2, children);
    ASSERT_EQ(1, MetaFile_GetFirstChild(root, &key));
    EXPECT_EQ(METAFILE_TYPE_STRING, key->Type);
    EXPECT_EQ("foo", Text(key));
    ASSERT_EQ(1, MetaFile_GetNextMember(key, &value));
    EXPECT_EQ(METAFILE_TYPE_INTEGER, value->Type);
    EXPECT_EQ("42", Text(value));
    EXPECT_EQ(0, MetaFile_GetNextMember(value, &end));
    EXPECT_EQ(nullptr, end);
    EXPECT_EQ(testsupport::Sha1Bytes(input), Digest(root));
    EXPECT_EQ("", DigestHex(key)); // scalars have no digest
}

struct ParseCase {
    const char *name;
    std::string input;
    int result;
    const char *logged; // part of the one line logged, or "" when none expected
};

TEST_F(MetaFileTest, ParseTable) {
    const ParseCase cases[] = {
        {"negative zero", "i-0e", 1, ""},
        {"empty integer", "ie", 1, ""},
        {"sixteen digits", "i1234567890123456e", 1, ""},
        {"seventeen digits", "i12345678901234567e", 0, "Failed on integer read [17:e]"},
        {"integer without end", "i12", 0, "Failed on integer read"},
        {"integer with letter", "i1xe", 0, "Failed on integer read [1:x]"},
        {"empty string", "0:", 1, ""},
        {"string prefix of 17 digits", "12345678901234567:", 0, "Failed on string read [17::]"},
        {"string without colon", "3foo", 0, "Failed on string read [1:f]"},
        {"string past the end", "5:abc", 0, "Field length invalid"},
        {"huge string length", "9999999999999999:x", 0, "Field length invalid"},
        {"digits to the end", "123", 0, "Failed on string read"},
        {"open dictionary at end", "d3:fooi1e", 1, ""},
        {"trailing newline", "d3:fooi1ee\n", 1, "Unknown field type at 10 [10:?]"},
        {"bad first byte e", "e", 0, "Metafile appears to be corrupt [101]"},
        {"bad first byte x", "x", 0, "Metafile appears to be corrupt [120]"},
        {"nested string past end", "d3:foo9:abe", 0, "Field length invalid"},
        {"several root values", "i1ei2e", 1, ""},
    };
    for (const ParseCase &c : cases) {
        CaptureAlerts();
        EXPECT_EQ(c.result, Load(c.input)) << c.name;
        if (c.logged[0])
            EXPECT_TRUE(AlertSeen(c.logged)) << c.name << "\n" << AlertText();
        else
            EXPECT_EQ("", AlertText()) << c.name;
    }
}

TEST_F(MetaFileTest, ScalarsKeepTheirTexts) {
    ASSERT_EQ(1, Load("li-0eie0:e"));
    MetaFileMemberStruct *list = nullptr, *m = nullptr;
    MetaFile_GetFirstMember(doc_, &list);
    MetaFile_GetFirstChild(list, &m);
    EXPECT_EQ("-0", Text(m));
    MetaFile_GetNextMember(m, &m);
    EXPECT_EQ("", Text(m));
    EXPECT_EQ(0, m->Length);
    MetaFile_GetNextMember(m, &m);
    EXPECT_EQ(METAFILE_TYPE_STRING, m->Type);
    EXPECT_EQ(0, m->Length);
}

TEST_F(MetaFileTest, UnclosedDictionaryDigestCoversTheInput) {
    const std::string input = "d3:fooi1e";
    ASSERT_EQ(1, Load(input));
    MetaFileMemberStruct *root = nullptr;
    MetaFile_GetFirstMember(doc_, &root);
    EXPECT_EQ(testsupport::Sha1Bytes(input), Digest(root));
}

TEST_F(MetaFileTest, NestingDepthIsBounded) {
    std::string ok = std::string(METAFILE_MAX_DEPTH, 'l') + std::string(METAFILE_MAX_DEPTH, 'e');
    EXPECT_EQ(1, Load(ok));
    CaptureAlerts();
    std::string deep =
        std::string(METAFILE_MAX_DEPTH + 1, 'l') + std::string(METAFILE_MAX_DEPTH + 1, 'e');
    EXPECT_EQ(0, Load(deep));
    EXPECT_TRUE(AlertSeen("Nesting too deep")) << AlertText();
    // A million open lists must fail quickly without exhausting the stack.
    EXPECT_EQ(0, Load(std::string(1000000, 'l')));
}

// Tracked bytes the document holds after loading input (its members stay after
// a failed parse too), and the load's result.
int64_t HeldAfterLoad(MetaFileStruct *doc, const std::string &input, int *result) {
    MetaFile_Clear(doc);
    int64_t blocks = 0, before = 0, after = 0;
    Zyl_MemoryGetUsage(&blocks, &before);
    *result = MetaFile_LoadBuffer(doc, input.data(), (int64_t)input.size());
    Zyl_MemoryGetUsage(&blocks, &after);
    return after - before;
}

TEST_F(MetaFileTest, MemoryIsBoundedByMembersAndInput) {
    // A metafile of 20,000 short file entries (45 bytes and seven members each):
    // the tree costs about twelve times its input.
    std::string files;
    for (int i = 0; i < 20000; i++) {
        std::string name = "file" + std::to_string(i) + ".dat";
        files += "d6:lengthi" + std::to_string(1000 + i) + "e4:pathl3:dir" +
                 std::to_string(name.size()) + ":" + name + "ee";
    }
    std::string metafile = "d4:infod5:filesl" + files + "e4:name5:bench12:piece lengthi16384eee";
    int result = 0;
    int64_t held = HeldAfterLoad(doc_, metafile, &result);
    EXPECT_EQ(1, result);
    EXPECT_LE(held, 16 * (int64_t)metafile.size()) << "input " << metafile.size();

    // Two bytes per member ("0:") must not buy 64 bytes each without end: one
    // member past the limit fails the parse, and what it left stays within the
    // limit's worth of members besides copies of the input.
    CaptureAlerts();
    std::string strings = "l";
    for (int i = 0; i < METAFILE_MAX_MEMBERS; i++)
        strings += "0:";
    strings += "e";
    held = HeldAfterLoad(doc_, strings, &result);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(AlertSeen("Too many members at 3999999 [2000000]")) << AlertText();
    EXPECT_EQ(METAFILE_MAX_MEMBERS, doc_->MemberCount);
    EXPECT_LE(held, (int64_t)METAFILE_MAX_MEMBERS * 66 + 3 * (int64_t)strings.size());
    // Just within the limit parses.
    strings.erase(1, 2);
    EXPECT_EQ(1, Load(strings));
}

TEST_F(MetaFileTest, StrictModeFailsOnUnknownByte) {
    doc_->Strict = 1;
    EXPECT_EQ(0, Load("d3:fooi1ee\n"));
    MetaFile_DisableStrict(doc_);
    EXPECT_EQ(1, Load("d3:fooi1ee\n"));
}

TEST_F(MetaFileTest, SaveReproducesInputExactly) {
    // Keys deliberately out of sorted order: the writer must keep document order.
    const std::string input("d4:zzzzi-7e1:al0:i0ed1:x3:abcee3:bin4:\x01\x00\xff\x02"
                            "e",
                            43);
    ASSERT_EQ(1, Load(input));
    EXPECT_EQ(input, SaveBuffer());
    testsupport::TempDir dir;
    MetaFile_SetFileName(doc_, (dir / "out.torrent").c_str());
    ASSERT_EQ(1, MetaFile_Save(doc_));
    EXPECT_EQ(input, testsupport::ReadFile(dir / "out.torrent"));
}

TEST_F(MetaFileTest, FileWriterHandlesLongStringsAndOverwrites) {
    std::string big(10000, 'q');
    std::string input = "l" + std::to_string(big.size()) + ":" + big;
    for (int i = 0; i < 300; i++)
        input += "i" + std::to_string(i) + "e";
    input += "e";
    ASSERT_EQ(1, Load(input));
    testsupport::TempDir dir;
    std::string path = dir / "big.bin";
    testsupport::WriteFile(path, std::string(50000, 'z')); // longer old content is cut
    MetaFile_SetFileName(doc_, path.c_str());
    ASSERT_EQ(1, MetaFile_Save(doc_));
    EXPECT_EQ(input, testsupport::ReadFile(path));
}

TEST_F(MetaFileTest, SaveFailures) {
    EXPECT_EQ(0, MetaFile_Save(doc_));
    EXPECT_TRUE(AlertSeen("No filename specified!"));
    testsupport::TempDir dir;
    std::string path = dir / "empty.torrent";
    MetaFile_SetFileName(doc_, path.c_str());
    EXPECT_EQ(0, MetaFile_Save(doc_));
    EXPECT_TRUE(testsupport::FileExists(path));
    EXPECT_EQ("", testsupport::ReadFile(path));
    char buffer[METAFILE_SAVE_BUFFER_SIZE];
    int size = -1;
    EXPECT_EQ(0, MetaFile_SaveBuffer(doc_, buffer, &size));
    EXPECT_EQ(0, size);
}

TEST_F(MetaFileTest, SaveBufferStopsAtTheReserve) {
    // 103 members of 4 bytes each ("i10e"): after 103 of them 412 bytes are used
    // and 100 remain, so the next member may not start.
    std::string items;
    for (int i = 0; i < 104; i++)
        items += "i10e";
    ASSERT_EQ(1, Load(items));
    char buffer[METAFILE_SAVE_BUFFER_SIZE];
    int size = 0;
    EXPECT_EQ(0, MetaFile_SaveBuffer(doc_, buffer, &size));
    EXPECT_EQ(412, size);
    EXPECT_TRUE(AlertSeen("Out of buffer space (100 <= 100)")) << AlertText();
    // A string that does not fit what remains fails too.
    CaptureAlerts();
    ASSERT_EQ(1, Load("510:" + std::string(510, 'a')));
    EXPECT_EQ(0, MetaFile_SaveBuffer(doc_, buffer, &size));
    EXPECT_TRUE(AlertSeen("Out of buffer space (508 <= 510)")) << AlertText();
}

TEST_F(MetaFileTest, FindMatchesKeysOnlyShallowestFirst) {
    // "name" occurs as a value before the key at the same depth, and as a key
    // deeper down; only the root-level key may be found.
    ASSERT_EQ(1, Load("d1:a4:name1:bd4:name5:innere4:name5:outer1:ll4:nameee"));
    MetaFileMemberStruct *m = nullptr, *value = nullptr;
    ASSERT_EQ(1, MetaFile_Find(doc_, nullptr, "NAME", 8, &m));
    MetaFile_GetNextMember(m, &value);
    EXPECT_EQ("outer", Text(value));
    // With the root key absent, the nested key is found; list elements never are.
    ASSERT_EQ(1, Load("d1:bd4:name5:innere1:ll4:infoee"));
    ASSERT_EQ(1, MetaFile_Find(doc_, nullptr, "name", 8, &m));
    MetaFile_GetNextMember(m, &value);
    EXPECT_EQ("inner", Text(value));
    EXPECT_EQ(0, MetaFile_Find(doc_, nullptr, "info", 8, &m));
    EXPECT_EQ(nullptr, m);
    // The depth limit holds, and a key with an embedded zero is not the key.
    EXPECT_EQ(0, MetaFile_Find(doc_, nullptr, "name", 1, &m));
    ASSERT_EQ(1, Load(std::string("d5:info\0xi1ee", 13)));
    EXPECT_EQ(0, MetaFile_Find(doc_, nullptr, "info", 8, &m));
    MetaFile_Clear(doc_);
    EXPECT_EQ(0, MetaFile_Find(doc_, nullptr, "info", 8, &m));
    // From a start inside a dictionary, keys keep their places: starting at a
    // value "y", the value is passed over and the key "y" after it found.
    ASSERT_EQ(1, Load("ld1:x1:y1:yi7eee"));
    MetaFileMemberStruct *list = nullptr, *dict = nullptr, *x = nullptr, *start = nullptr;
    MetaFile_GetFirstMember(doc_, &list);
    MetaFile_GetFirstChild(list, &dict);
    MetaFile_GetFirstChild(dict, &x);
    MetaFile_GetNextMember(x, &start);
    ASSERT_EQ(1, MetaFile_Find(doc_, start, "y", 0, &m));
    EXPECT_NE(start, m);
    MetaFile_GetNextMember(m, &value);
    EXPECT_EQ("7", Text(value));
}

TEST_F(MetaFileTest, PathJoin) {
    char path[METAFILE_NAME_SIZE];
    ASSERT_EQ(1, Load("l1:a1:b1:ce"));
    MetaFileMemberStruct *list = nullptr;
    MetaFile_GetFirstMember(doc_, &list);
    ASSERT_EQ(1, MetaFile_GetPath(doc_, list, path));
    EXPECT_STREQ("a\\b\\c", path);
    MetaFile_SetPathSeparator(doc_, '/');
    ASSERT_EQ(1, MetaFile_GetPath(doc_, list, path));
    EXPECT_STREQ("a/b/c", path);

    ASSERT_EQ(1, Load("le"));
    MetaFile_GetFirstMember(doc_, &list);
    EXPECT_EQ(1, MetaFile_GetPath(doc_, list, path));
    EXPECT_STREQ("", path);

    ASSERT_EQ(1, Load("l1:ai1ee"));
    MetaFile_GetFirstMember(doc_, &list);
    EXPECT_EQ(0, MetaFile_GetPath(doc_, list, path));
    EXPECT_TRUE(AlertSeen("Invalid member type in path [2]"));

    ASSERT_EQ(1, Load("3:abc"));
    MetaFile_GetFirstMember(doc_, &list);
    EXPECT_EQ(0, MetaFile_GetPath(doc_, list, path));
    EXPECT_TRUE(AlertSeen("Member is not a list"));

    // 319 characters fit; 320 do not.
    std::string a(200, 'a'), b(118, 'b');
    ASSERT_EQ(1, Load("l200:" + a + "118:" + b + "e"));
    MetaFile_GetFirstMember(doc_, &list);
    EXPECT_EQ(1, MetaFile_GetPath(doc_, list, path));
    EXPECT_EQ(319u, strlen(path));
    ASSERT_EQ(1, Load("l200:" + a + "119:" + b + "be"));
    MetaFile_GetFirstMember(doc_, &list);
    EXPECT_EQ(0, MetaFile_GetPath(doc_, list, path));
    EXPECT_TRUE(AlertSeen("Out of path space"));
}

TEST_F(MetaFileTest, BuildingWritesDhtStyleMessages) {
    MetaFileMemberStruct *root = nullptr, *m = nullptr, *args = nullptr, *list = nullptr;
    MetaFile_AddDictionary(doc_, nullptr, nullptr, &root);
    MetaFile_AddString(doc_, root, nullptr, &m, "t");
    MetaFile_AddBytes(doc_, root, nullptr, &m, "\x00\x01", 2);
    MetaFile_AddString(doc_, root, nullptr, &m, "a");
    MetaFile_AddDictionary(doc_, root, nullptr, &args);
    MetaFile_AddString(doc_, args, nullptr, &m, "n");
    MetaFile_AddInteger(doc_, args, nullptr, &m, -9000000000LL);
    MetaFile_AddString(doc_, args, nullptr, &m, "l");
    MetaFile_AddList(doc_, args, nullptr, &list);
    // Inserted right after the key "t": the order is the caller's.
    MetaFileMemberStruct *first = nullptr;
    MetaFile_GetFirstChild(root, &first);
    MetaFile_AddString(doc_, root, first->Next, &m, "y");
    MetaFile_AddString(doc_, root, m, &m, "q");
    MetaFile_AddMember(doc_, nullptr, nullptr, &m); // a member of type 0 writes nothing
    EXPECT_EQ(std::string("d1:t2:\x00\x01"
                          "1:y1:q1:ad1:ni-9000000000e1:lleee",
                          41),
              SaveBuffer());
    EXPECT_EQ(12, doc_->MemberCount);
}

// ---------------------------------------------------------------------------
// Metafiles of real tools
// ---------------------------------------------------------------------------

const char kPython[] = "/usr/bin/python3";

// Info hash (upper-case hex) that libtorrent reports for a metafile, or "".
std::string LibtorrentInfoHash(const std::string &path) {
    std::string out;
    std::string cmd = std::string(kPython) +
                      " -c 'import sys, libtorrent as lt; "
                      "print(str(lt.torrent_info(sys.argv[1]).info_hash()).upper())' '" +
                      path + "' 2>/dev/null";
    if (testsupport::RunCommand(cmd, &out) != 0)
        return "";
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string OurInfoHash(MetaFileStruct *doc) {
    MetaFileMemberStruct *key = nullptr, *value = nullptr;
    if (!MetaFile_Find(doc, nullptr, "info", 1, &key) || !MetaFile_GetNextMember(key, &value))
        return "";
    return DigestHex(value);
}

bool HaveTools() {
    return testsupport::HaveProgram("mktorrent") &&
           testsupport::RunCommand(std::string(kPython) + " -c 'import libtorrent'") == 0;
}

TEST_F(MetaFileTest, InfoHashesOfMktorrentFilesMatchLibtorrent) {
    if (!HaveTools())
        GTEST_SKIP() << "mktorrent or python3-libtorrent missing";
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "single.bin", std::string(300000, 's'));
    ASSERT_EQ(0, testsupport::RunCommand("mkdir -p '" + dir.path() + "/multi/sub/deeper'"));
    testsupport::WriteFile(dir / "multi/a.txt", "alpha");
    testsupport::WriteFile(dir / "multi/sub/b.bin", std::string(70000, 'b'));
    testsupport::WriteFile(dir / "multi/sub/deeper/c.dat", std::string(1, 'c'));
    struct {
        const char *target;
        int exponent;
    } cases[] = {
        {"single.bin", 15}, {"single.bin", 18}, {"multi", 15}, {"multi", 16}, {"multi", 20}};
    for (const auto &c : cases) {
        std::string out = dir / (std::string(c.target) + std::to_string(c.exponent) + ".torrent");
        std::string cmd = "cd '" + dir.path() + "' && mktorrent -l " + std::to_string(c.exponent) +
                          " -a http://127.0.0.1:1/announce -c 'a comment' -o '" + out + "' " +
                          c.target + " >/dev/null";
        ASSERT_EQ(0, testsupport::RunCommand(cmd)) << cmd;
        ASSERT_EQ(1, MetaFile_Load(doc_, out.c_str())) << out;
        std::string expected = LibtorrentInfoHash(out);
        ASSERT_EQ(40u, expected.size()) << out;
        EXPECT_EQ(expected, OurInfoHash(doc_)) << out;
        // Saving what was read gives the same bytes back.
        EXPECT_EQ(testsupport::ReadFile(out), [&] {
            std::string copy = out + ".copy";
            MetaFile_SetFileName(doc_, copy.c_str());
            MetaFile_Save(doc_);
            return testsupport::ReadFile(copy);
        }());
    }
}

TEST_F(MetaFileTest, WrittenMetafileIsAcceptedByLibtorrent) {
    if (!HaveTools())
        GTEST_SKIP() << "python3-libtorrent missing";
    // Two files of 100 and 50 bytes, piece length 16384: one piece over 150 bytes.
    std::string content = std::string(100, 'x') + std::string(50, 'y');
    std::string digest = testsupport::Sha1Bytes(content);

    MetaFileMemberStruct *root = nullptr, *m = nullptr, *info = nullptr, *files = nullptr;
    MetaFile_AddDictionary(doc_, nullptr, nullptr, &root);
    MetaFile_AddString(doc_, root, nullptr, &m, "announce");
    MetaFile_AddString(doc_, root, nullptr, &m, "http://127.0.0.1:1/announce");
    MetaFile_AddString(doc_, root, nullptr, &m, "info");
    MetaFile_AddDictionary(doc_, root, nullptr, &info);
    MetaFile_AddString(doc_, info, nullptr, &m, "files");
    MetaFile_AddList(doc_, info, nullptr, &files);
    const char *names[2][2] = {{"dir", "one.bin"}, {"two.bin", nullptr}};
    const int lengths[2] = {100, 50};
    for (int i = 0; i < 2; i++) {
        MetaFileMemberStruct *entry = nullptr, *path = nullptr;
        MetaFile_AddDictionary(doc_, files, nullptr, &entry);
        MetaFile_AddString(doc_, entry, nullptr, &m, "length");
        MetaFile_AddInteger(doc_, entry, nullptr, &m, lengths[i]);
        MetaFile_AddString(doc_, entry, nullptr, &m, "path");
        MetaFile_AddList(doc_, entry, nullptr, &path);
        for (int j = 0; j < 2 && names[i][j]; j++)
            MetaFile_AddString(doc_, path, nullptr, &m, names[i][j]);
    }
    MetaFile_AddString(doc_, info, nullptr, &m, "name");
    MetaFile_AddString(doc_, info, nullptr, &m, "content");
    MetaFile_AddString(doc_, info, nullptr, &m, "piece length");
    MetaFile_AddInteger(doc_, info, nullptr, &m, 16384);
    MetaFile_AddString(doc_, info, nullptr, &m, "pieces");
    MetaFile_AddBytes(doc_, info, nullptr, &m, digest.data(), 20);

    testsupport::TempDir dir;
    std::string path = dir / "ours.torrent";
    MetaFile_SetFileName(doc_, path.c_str());
    ASSERT_EQ(1, MetaFile_Save(doc_));
    std::string out;
    std::string cmd = std::string(kPython) +
                      " -c 'import sys, libtorrent as lt; t = lt.torrent_info(sys.argv[1]); "
                      "fs = t.files(); print(t.name(), t.num_files(), t.num_pieces(), "
                      "fs.file_path(0), fs.file_size(1), str(t.info_hash()).upper())' '" +
                      path + "'";
    ASSERT_EQ(0, testsupport::RunCommand(cmd, &out)) << out;
    ASSERT_EQ(1, MetaFile_Load(doc_, path.c_str()));
    EXPECT_EQ("content 2 1 content/dir/one.bin 50 " + OurInfoHash(doc_) + "\n", out);
    if (testsupport::HaveProgram("transmission-show")) {
        EXPECT_EQ(0, testsupport::RunCommand("transmission-show '" + path + "' >/dev/null 2>&1"));
    }
}

} // namespace
