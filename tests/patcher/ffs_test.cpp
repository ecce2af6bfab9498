// FFS archives: a fixture writer builds archives from the format (header, hash
// table, records, "Comp1" chunks, CRC and trailer); the reader must list, size
// and load every member and refuse forged counts, positions and sizes.
#include "patcher/delta/ffscomp1.h"
#include "patcher/delta/ffscontainer.h"
#include "tests/patcher/delta_support.h"
#include "tests/patcher/ffs_fixture.h"
#include "tests/support/support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <vector>
#include <zlib.h>

using deltatest::PutLe32;
using deltatest::SetLe32;
using ffstest::Archive;
using ffstest::Comp1;
using ffstest::Comp1Literal;
using testsupport::ConsoleCapture;
using testsupport::TempDir;

namespace {

const std::string kSettings = "<Settings><Server>a.example</Server></Settings>";

class FfsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FfsContainer_Create(&ffs_);
        FfsContainer_AddCodec(ffs_, "Comp1", "1", FfsComp1_CreateContext, FfsComp1_DestroyContext,
                              FfsComp1_Decompress, FfsComp1_GetSize, FfsComp1_Detect);
    }
    void TearDown() override { FfsContainer_Destroy(&ffs_); }
    int Open(const std::string &bytes, int verify = 1) {
        testsupport::WriteFile(dir_ / "a.ffs", bytes);
        return FfsContainer_Open(ffs_, (dir_ / "a.ffs").c_str(), 0, 0, verify);
    }
    std::string Load(const std::string &path) {
        int size = 0;
        if (!FfsContainer_GetSize(ffs_, path.c_str(), &size)) {
            return "<no size>";
        }
        std::string out(size, '\0');
        if (!FfsContainer_Load(ffs_, path.c_str(), (uint8_t *)out.data(), size)) {
            return "<no load>";
        }
        return out;
    }
    TempDir dir_;
    FfsContainer *ffs_ = nullptr;
};

TEST_F(FfsTest, ListsSizesAndLoadsEveryMember) {
    for (int flags : {0, 1, 2, 3}) {
        SCOPED_TRACE(flags);
        Archive a;
        a.flags = flags;
        a.records["settings.xml"] = Comp1Literal(kSettings);
        a.records["data/plain.bin"] = "plain bytes";
        a.records["data/run.bin"] = Comp1(4, std::string("\x41R\x01\x00\x00\x00", 6));
        ASSERT_EQ(1, Open(a.Build()));
        EXPECT_EQ(kSettings, Load("settings.xml"));
        EXPECT_EQ("plain bytes", Load("data/plain.bin"));
        EXPECT_EQ("plain bytes", Load("data\\.\\plain.bin"));
        EXPECT_EQ("RRRR", Load("data/x/../run.bin"));
        EXPECT_EQ(kSettings, Load("settings.xml")); // again, after others
        EXPECT_EQ(flags & 2 ? kSettings : "<no size>", Load("SETTINGS.XML"));
        EXPECT_EQ("<no size>", Load("missing.xml"));
    }
}

TEST_F(FfsTest, ArchiveAfterOtherDataFoundThroughTrailer) {
    Archive a;
    a.prefix = std::string(1000, 'x');
    a.trailer = true;
    a.records["settings.xml"] = Comp1Literal(kSettings);
    std::string bytes = a.Build();
    testsupport::WriteFile(dir_ / "b.ffs", bytes);
    // The checksum range starts at the archive.
    ASSERT_EQ(1, FfsContainer_Open(ffs_, (dir_ / "b.ffs").c_str(), 0, 1000, 1));
    EXPECT_EQ(kSettings, Load("settings.xml"));
}

TEST_F(FfsTest, BypassModeReadsPlainFiles) {
    testsupport::WriteFile(dir_ / "settings.xml", kSettings);
    ASSERT_EQ(1, FfsContainer_Open(ffs_, "", 0, 0, 0));
    FfsContainer_SetBaseFolder(ffs_, (dir_.path() + "/").c_str());
    EXPECT_EQ(kSettings, Load("settings.xml"));
    std::string small(3, '\0');
    EXPECT_EQ(0, FfsContainer_Load(ffs_, "settings.xml", (uint8_t *)small.data(), 3));
}

TEST_F(FfsTest, RefusedArchives) {
    Archive a;
    a.records["settings.xml"] = Comp1Literal(kSettings);
    std::string good = a.Build();
    struct Case {
        const char *name;
        std::string bytes;
        const char *line;
    } cases[] = {
        {"no tag", "XXXX" + good.substr(4), "doesn't contain FFS data!"},
        {"count complement",
         [&] {
             auto b = good;
             SetLe32(&b, 8, 5);
             return b;
         }(),
         "FFS: CMatch Fail"},
        {"size complement",
         [&] {
             auto b = good;
             SetLe32(&b, 16, 5);
             return b;
         }(),
         "FFS: SMatch Fail"},
        {"crc",
         [&] {
             auto b = good;
             b[40] ^= 1;
             return b;
         }(),
         "FFS: CMatch2 Fail"},
        {"count beyond file",
         [&] {
             auto b = good;
             SetLe32(&b, 4, 0x10000000);
             SetLe32(&b, 8, ~0x10000000u);
             return b;
         }(),
         "does not fit the file"},
        {"position beyond file",
         [&] {
             auto b = good;
             SetLe32(&b, 28, 0x7FFFFFF0);
             return b;
         }(),
         "FFS: Pos Fail"},
        {"trailer beyond file",
         [&] {
             auto b = "XXXX" + good.substr(4);
             PutLe32(&b, 0x7FFFFFF0);
             PutLe32(&b, 0);
             return b;
         }(),
         "doesn't contain FFS data!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleCapture capture;
        EXPECT_EQ(0, Open(c.bytes));
        EXPECT_TRUE(capture.Contains(c.line)) << capture.Text();
    }
}

TEST_F(FfsTest, RefusedRecords) {
    Archive a;
    a.records["big.bin"] = "0123456789";
    a.records["settings.xml"] = Comp1Literal(kSettings);
    a.records["huge.xml"] = Comp1(0x7FFFFFFF, std::string("\x01\x00\x00\x00", 4));
    std::string bytes = a.Build();
    // Forge the stored size of the record that holds "0123456789".
    size_t at = bytes.find("0123456789") - 4;
    SetLe32(&bytes, at, 0x7FFFFF00);
    ASSERT_EQ(1, Open(bytes, 0));
    EXPECT_EQ("<no size>", Load("big.bin"));
    EXPECT_EQ("<no size>", Load("huge.xml")); // a claim no settings file needs
    std::string wrong(kSettings.size() - 1, '\0');
    ConsoleCapture capture;
    EXPECT_EQ(0,
              FfsContainer_Load(ffs_, "settings.xml", (uint8_t *)wrong.data(), (int)wrong.size()));
    EXPECT_TRUE(capture.Contains("[Comp1] Memory size not same")) << capture.Text();
}

// ---------------------------------------------------------------------------
// "Comp1" chunks
// ---------------------------------------------------------------------------

std::string Decode(uint32_t size, const std::string &ops, int expected = -1) {
    void *ctx = nullptr;
    FfsComp1_CreateContext(&ctx);
    std::string chunk = Comp1(size, ops);
    std::string out(expected < 0 ? size : (uint32_t)expected, '\0');
    int ok = FfsComp1_Decompress(ctx, (const uint8_t *)chunk.data(), (int)chunk.size(),
                                 (uint8_t *)out.data(), (int)out.size());
    FfsComp1_DestroyContext(&ctx);
    return ok ? out : "<fail>";
}

TEST(FfsComp1, Operations) {
    const std::string end("\x01\x00\x00\x00", 4);
    struct Case {
        const char *name;
        uint32_t size;
        std::string ops;
        std::string expect;
    } cases[] = {
        {"literal", 3, std::string("\x30", 1) + "abc" + end, "abc"},
        {"fill", 5, std::string("\x51z", 2) + end, "zzzzz"},
        {"long count fill", 20, std::string("\x01\x05z", 3) + end, std::string(20, 'z')},
        {"16-bit count fill", 300, std::string("\x01\x00\x2c\x01z", 5) + end,
         std::string(300, 'z')},
        {"repeat last byte", 6, std::string("\x10q\x52\x01", 4) + end, "qqqqqq"},
        {"far copy", 6, std::string("\x30xyz\x33\x03\x00", 7) + end, "xyzxyz"},
        {"increment", 4, std::string("\x10\x01\x34\x02", 4) + end, "\x01\x03\x05\x07"},
        {"channels", 6, std::string("\x20\x10\x20\x45\x02\x01\xff", 7) + end,
         std::string("\x10\x20\x11\x1f\x12\x1e", 6)},
        {"le word plus", 4, std::string("\x20\xff\x00\x16", 4) + end,
         std::string("\xff\x00\x00\x01", 4)},
        {"be word minus", 4, std::string("\x20\x01\x00\x19", 4) + end,
         std::string("\x01\x00\x00\xff", 4)},
        {"byte back", 3, std::string("\x20pq\x1a", 4) + end, "pqp"},
        {"unknown op", 1, std::string("\x0b", 1), "<fail>"},
        {"back before buffer", 3, std::string("\x10q\x22\x02", 4) + end, "<fail>"},
        {"distance zero", 3, std::string("\x10q\x22\x00", 4) + end, "<fail>"},
        {"zero channels", 3, std::string("\x10q\x25\x00", 4) + end, "<fail>"},
        {"too many channels", 10,
         std::string("\x90\x01\x02\x03\x04\x05\x06\x07\x08\x09\x15\x09", 12) + end, "<fail>"},
        {"output beyond size", 2, std::string("\x30xyz", 4) + end, "<fail>"},
        {"end too early", 4, std::string("\x30xyz", 4) + end, "<fail>"},
        {"input cut", 4, std::string("\x40xy", 3), "<fail>"},
        {"no end operation", 3, std::string("\x30xyz", 4), "<fail>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expect, Decode(c.size, c.ops));
    }
    EXPECT_EQ("<fail>", Decode(3, std::string("\x30", 1) + "abc" + end, 4)); // size claim differs
    EXPECT_EQ("<fail>", Decode(0, end, 0));                                  // U must be above 0
}

} // namespace
