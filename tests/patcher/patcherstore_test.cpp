// Patch store reader against stores built by the fixture writer: every member
// is listed and read back across data-file boundaries (also in the ".deploy"
// form); forged sizes, indexes, names and damaged files each fail with their
// line and never yield data.
#include "patcher/delta/patcherstore.h"
#include "tests/patcher/delta_support.h"
#include "tests/patcher/store_fixture.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <map>
#include <random>

using storefixture::Writer;
using testsupport::ConsoleCapture;
using testsupport::TempDir;

namespace {

std::string RandomBytes(size_t n, std::mt19937 *rng, bool compressible) {
    std::string s(n, '\0');
    for (auto &c : s) {
        c = (char)(compressible ? 'a' + (*rng)() % 3 : (*rng)());
    }
    return s;
}

void CollectErrors(PatcherStoreStruct *, void *data, const char *text) {
    static_cast<std::vector<std::string> *>(data)->push_back(text);
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        PatcherStore_Create(&store_);
        PatcherStore_SetErrorCallback(store_, CollectErrors, &errors_);
        PatcherStore_SetOpenRetries(store_, 0);
    }
    void TearDown() override {
        PatcherStore_Destroy(&store_);
        EXPECT_EQ(nullptr, store_);
    }
    // Reads every member: name -> content (or "<fail>").
    std::map<std::string, std::string> ReadAll() {
        std::map<std::string, std::string> out;
        int sectionSize = 0;
        PatcherStore_GetSectionSize(store_, &sectionSize);
        std::string buffer(sectionSize, '\0');
        PatcherStoreMember *m = nullptr;
        for (int more = PatcherStore_MemberFirst(&m, store_); more;
             more = PatcherStore_MemberNext(&m, m, store_)) {
            char name[320];
            PatcherStore_MemberGetName(store_, m, name, sizeof(name));
            std::string content;
            bool ok = PatcherStore_MemberOpen(nullptr, store_, m) == 1;
            int length = 0;
            while (ok) {
                ok = PatcherStore_MemberInflateBuffer(store_, m, (uint8_t *)buffer.data(),
                                                      sectionSize, &length, nullptr) == 1;
                if (!ok || length == 0) {
                    break;
                }
                content.append(buffer.data(), length);
            }
            PatcherStore_MemberClose(store_);
            out[name] = ok ? content : "<fail>";
        }
        return out;
    }
    TempDir dir_;
    PatcherStoreStruct *store_ = nullptr;
    std::vector<std::string> errors_;
};

Writer SampleStore(uint32_t seed) {
    std::mt19937 rng(seed);
    Writer w;
    w.members.push_back(storefixture::M("bin/game.exe", RandomBytes(30000, &rng, false), true,
                                        std::string(40, 'A'),
                                        "0123456789ABCDEF0123456789ABCDEF01234567"));
    w.members.push_back(storefixture::M("data/levels.pak", RandomBytes(50000, &rng, true)));
    w.members.push_back(storefixture::M("empty.txt", ""));
    w.members.push_back(storefixture::M("readme.txt", "exactly one small section"));
    w.members.push_back(storefixture::M("data/exact.bin", RandomBytes(4096 * 3, &rng, true)));
    w.Layout();
    return w;
}

TEST_F(StoreTest, ReadsEveryMemberAcrossDataFiles) {
    uint32_t seed = (uint32_t)std::random_device{}();
    printf("seed %u\n", seed);
    for (bool deploy : {false, true}) {
        SCOPED_TRACE(deploy);
        Writer w = SampleStore(seed);
        w.deploy = deploy;
        w.Write(dir_.path(), "patch");
        ASSERT_GE(w.dataFiles.size(), 3u); // members do cross files
        ASSERT_EQ(1, PatcherStore_Open(store_, dir_.path().c_str(), "patch", deploy));
        auto got = ReadAll();
        ASSERT_EQ(w.members.size(), got.size());
        int64_t total = 0;
        for (const auto &m : w.members) {
            EXPECT_TRUE(got[m.name] == m.content) << m.name;
            total += (int64_t)m.content.size();
        }
        int64_t reported = 0;
        PatcherStore_GetTotalFileSize(store_, &reported);
        EXPECT_EQ(total, reported);
        EXPECT_TRUE(errors_.empty()) << errors_[0];
    }
}

TEST_F(StoreTest, MemberFields) {
    Writer w = SampleStore(1);
    w.Write(dir_.path(), "patch");
    ASSERT_EQ(1, PatcherStore_Open(store_, dir_.path().c_str(), "patch", 0));
    PatcherStoreMember *m = nullptr;
    int seen = 0;
    for (int more = PatcherStore_MemberFirst(&m, store_); more;
         more = PatcherStore_MemberNext(&m, m, store_)) {
        char name[320];
        PatcherStore_MemberGetName(store_, m, name, sizeof(name));
        if (std::string(name) != "bin/game.exe") {
            continue;
        }
        seen++;
        int difference = 0;
        const uint8_t *source = nullptr, *result = nullptr;
        int64_t size = 0;
        PatcherStore_MemberGetDifferenceFile(store_, m, &difference);
        PatcherStore_MemberGetSourceHash(store_, m, &source);
        PatcherStore_MemberGetResultHash(store_, m, &result);
        PatcherStore_MemberGetFileSize(store_, m, &size);
        EXPECT_EQ(1, difference);
        EXPECT_EQ(0xAA, source[0]);
        EXPECT_EQ(0x01, result[0]);
        EXPECT_EQ(0x67, result[19]);
        EXPECT_EQ(30000, size);
    }
    EXPECT_EQ(1, seen);
}

TEST_F(StoreTest, SectionSizeAttribute) {
    for (int size : {65536, 0}) {
        Writer w;
        w.sectionSize = size == 0 ? 0x40000 : size;
        w.writeSectionSize = size != 0;
        w.members.push_back(storefixture::M("a.bin", std::string(70000, 'x')));
        w.Layout();
        w.Write(dir_.path(), "s");
        ASSERT_EQ(1, PatcherStore_Open(store_, dir_.path().c_str(), "s", 0));
        int got = 0;
        PatcherStore_GetSectionSize(store_, &got);
        EXPECT_EQ(size == 0 ? 0x40000 : size, got);
        EXPECT_EQ(std::string(70000, 'x'), ReadAll()["a.bin"]);
    }
}

// Tables of contents that are refused whole.
TEST_F(StoreTest, RefusedTablesOfContents) {
    Writer w = SampleStore(2);
    std::string toc = w.Toc();
    auto replace = [&](const std::string &from, const std::string &to) {
        std::string t = toc;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    std::string files = std::to_string(w.dataFiles.size());
    struct Case {
        const char *name;
        std::string toc;
        std::string error;
    } cases[] = {
        {"file index past the data files",
         replace("<FileIndex>0</FileIndex>", "<FileIndex>2147483647</FileIndex>"),
         "PatcherStore_InternalReadTOCFile() FileIndex 2147483647 outside " + files +
             " data files [bin/game.exe]"},
        {"file index one past the last",
         replace("<FileIndex>0</FileIndex>", "<FileIndex>" + files + "</FileIndex>"),
         "PatcherStore_InternalReadTOCFile() FileIndex " + files + " outside " + files +
             " data files [bin/game.exe]"},
        {"no PatcherStore", "<?xml version=\"1.0\"?><Other/>",
         "PatcherStore_InternalReadTOCDetails() Unable to locate PatcherStore member"},
        {"no StoreList", replace("StoreList>", "Elsewhere>"),
         "Unable to locate PatcherStore.StoreList member"},
        {"store without SectionList", replace("<SectionList>", "<Sections>"),
         "PatcherStore_InternalReadTOCSectionList() Unable to locate SectionList member"},
        {"section size too small", replace("SectionSize=\"4096\"", "SectionSize=\"100\""),
         "PatcherStore_InternalReadTOCDetails() SectionSize [100] refused"},
        {"section size negative", replace("SectionSize=\"4096\"", "SectionSize=\"-4096\""),
         "PatcherStore_InternalReadTOCDetails() SectionSize [-4096] refused"},
        {"section size huge", replace("SectionSize=\"4096\"", "SectionSize=\"4294971392\""),
         "PatcherStore_InternalReadTOCDetails() SectionSize [4294971392] refused"},
        {"parent folder", replace("readme.txt", "../readme.txt"),
         "PatcherStore_InternalReadTOCFileList() refused member [../readme.txt]"},
        {"climbing", replace("readme.txt", "a/../../readme.txt"),
         "PatcherStore_InternalReadTOCFileList() refused member [a/../../readme.txt]"},
        {"absolute", replace("readme.txt", "/etc/readme.txt"),
         "PatcherStore_InternalReadTOCFileList() refused member [/etc/readme.txt]"},
        {"backslash absolute", replace("readme.txt", "\\readme.txt"),
         "PatcherStore_InternalReadTOCFileList() refused member [\\readme.txt]"},
        {"drive letter", replace("readme.txt", "C:readme.txt"),
         "PatcherStore_InternalReadTOCFileList() refused member [C:readme.txt]"},
        {"duplicate", replace("readme.txt", "empty.txt"),
         "PatcherStore_InternalReadTOCFileList() refused member [empty.txt]"},
        {"bad number",
         replace("<SectionCount>1</SectionCount>\n    </File>",
                 "<SectionCount>1x</SectionCount>\n    </File>"),
         "PatcherStore_InternalReadTOCFileList() refused member [readme.txt]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        w.Write(dir_.path(), "patch", c.toc);
        ConsoleCapture capture;
        EXPECT_EQ(0, PatcherStore_Open(store_, dir_.path().c_str(), "patch", 0));
        ASSERT_FALSE(errors_.empty());
        EXPECT_EQ(c.error, errors_[0]);
        EXPECT_TRUE(capture.Contains("Unable to open toc for")) << capture.Text();
        PatcherStoreMember *m = nullptr;
        EXPECT_EQ(0, PatcherStore_MemberFirst(&m, store_)); // nothing listed
    }
    ConsoleCapture capture;
    EXPECT_EQ(0, PatcherStore_Open(store_, dir_.path().c_str(), "missing", 0));
    EXPECT_TRUE(capture.Contains("Unable to open[")) << capture.Text();
}

// Damaged data files: the member fails with its line, the others still read.
TEST_F(StoreTest, RefusedSections) {
    Writer base;
    base.members.push_back(storefixture::M("a.bin", std::string(5000, 'a')));
    base.members.push_back(storefixture::M("b.bin", std::string(100, 'b')));
    base.Layout();
    const int64_t bAt = base.members[1].offset; // b's only section record
    auto patched = [&](size_t at, const std::string &bytes) {
        Writer w = base;
        w.dataFiles[0].replace(at, bytes.size(), bytes);
        return w;
    };
    auto le32 = [](uint32_t v) {
        std::string s;
        deltatest::PutLe32(&s, v);
        return s;
    };
    Writer truncated = base;
    truncated.dataFiles[0].resize(bAt + 328 + 3);
    Writer otherName = patched(bAt + 8, "a.bin");
    Writer badVersion = patched(16, le32(2));
    Writer badIndex = base;
    badIndex.members[1].fileIndex = -1;
    Writer missingFile = base; // listed, but not on disk
    missingFile.dataFiles.push_back(Writer::Header());
    missingFile.sections.push_back({});
    missingFile.members[1].fileIndex = 1;
    Writer pastLast = base; // one more section than the data files hold
    pastLast.members[1].sectionCount = 2;
    struct Case {
        const char *name;
        Writer w;
        std::string error;
    } cases[] = {
        {"other member's record", otherName,
         "PatcherStore_InternalReadSection() read failure [328,b.bin] [328,a.bin]"},
        {"negative compressed size", patched(bAt, le32(0xFFFFFFF0)),
         "PatcherStore_InternalReadSection() section sizes refused [b.bin] [-16/100]"},
        {"oversized compressed size", patched(bAt, le32(9000)),
         "PatcherStore_InternalReadSection() section sizes refused [b.bin] [9000/100]"},
        {"oversized uncompressed size", patched(bAt + 4, le32(5000)),
         "PatcherStore_InternalReadSection() section sizes refused [b.bin] [" +
             std::to_string(Writer::Compress(std::string(100, 'b')).size()) + "/5000]"},
        {"claim above the real size", patched(bAt + 4, le32(101)),
         "PatcherStore_InternalReadSection() decompress failure"},
        {"claim below the real size", patched(bAt + 4, le32(99)),
         "PatcherStore_InternalReadSection() decompress failure"},
        {"corrupt stream", patched(bAt + 328 + 4, "\xff\xff\xff\xff"),
         "PatcherStore_InternalReadSection() decompress failure"},
        {"truncated", truncated, "PatcherStore_InternalReadSection() CompressedSize read failure"},
        {"version", badVersion,
         "PatcherStore_InternalReadHeader() version failure [2,40] expected [1,40] "},
        {"negative index", badIndex, "PatcherStore_MemberOpen() bad location [b.bin] -1 "},
        {"missing data file", missingFile, "PatcherStore_InternalReadHeader() open file failure ["},
        {"member past the last data file", pastLast,
         "PatcherStore_MemberInflateBuffer() member [b.bin] runs past the last data file"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        c.w.Write(dir_.path(), "p");
        std::remove((dir_ / "p.1.store").c_str());
        ASSERT_EQ(1, PatcherStore_Open(store_, dir_.path().c_str(), "p", 0));
        auto got = ReadAll();
        EXPECT_EQ("<fail>", got["b.bin"]);
        ASSERT_FALSE(errors_.empty());
        EXPECT_EQ(0u, errors_.back().find(c.error)) << errors_.back();
    }
}

TEST_F(StoreTest, BufferOfAnotherSizeStopsTheProgram) {
    Writer w = SampleStore(3);
    w.Write(dir_.path(), "patch");
    ASSERT_EQ(1, PatcherStore_Open(store_, dir_.path().c_str(), "patch", 0));
    PatcherStoreMember *m = nullptr;
    PatcherStore_MemberFirst(&m, store_);
    PatcherStore_MemberOpen(nullptr, store_, m);
    std::string buffer(100, '\0');
    int length = 0;
    EXPECT_DEATH(PatcherStore_MemberInflateBuffer(store_, m, (uint8_t *)buffer.data(), 100, &length,
                                                  nullptr),
                 "Section/buffer size must match");
}

} // namespace
