// Delta application from disk to disk, whole-file SHA-1 verification and
// one-call inflation, with real files in a temporary folder and deltas made by
// xdelta3 or by the fixture writer.
#include "core/file.h"
#include "patcher/delta/fileverify.h"
#include "patcher/delta/vcdiffstream.h"
#include "patcher/delta/zlibcompress.h"
#include "tests/patcher/delta_support.h"
#include "tests/patcher/vcdiff_fixture.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <random>
#include <zlib.h>

using testsupport::ConsoleCapture;
using testsupport::TempDir;
using vcdfixture::Window;

namespace {

class StreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        VCDiffStream_Create(&stream_);
    }
    void TearDown() override {
        VCDiffStream_Destroy(&stream_);
        EXPECT_EQ(nullptr, stream_);
    }
    // Feeds the delta in pieces into a fresh "out"; 1 when every step succeeded.
    int Apply(const std::string &delta, size_t piece, int64_t expectedSize = -1) {
        FileStruct *out = nullptr;
        File_New(&out);
        int ok = File_Open(out, (dir_ / "out").c_str(), FILE_MODE_WRITE);
        EXPECT_EQ(1, ok);
        if (ok && !VCDiffStream_InflateBegin(stream_, (dir_ / "old").c_str(), out, expectedSize)) {
            ok = 0;
        }
        for (size_t at = 0; ok && at < delta.size(); at += piece) {
            size_t n = std::min(piece, delta.size() - at);
            ok = VCDiffStream_InflateBuffer(stream_, (const uint8_t *)delta.data() + at, (int)n);
        }
        ok = VCDiffStream_InflateEnd(stream_) && ok;
        File_Close(out);
        File_Delete(&out);
        return ok;
    }
    // A pair of files and the xdelta3 delta between them.
    std::string MakeDelta(std::string *newData) {
        std::mt19937 rng(7);
        std::string oldData(200000, '\0');
        for (auto &c : oldData) {
            c = (char)('a' + rng() % 5);
        }
        *newData = oldData;
        for (size_t i = 0; i < newData->size(); i += 977) {
            (*newData)[i] = 'Z';
        }
        newData->insert(5000, "inserted text");
        testsupport::WriteFile(dir_ / "old", oldData);
        testsupport::WriteFile(dir_ / "new", *newData);
        std::string cmd = "xdelta3 -f -e -S none -D -W 16384 -s " + (dir_ / "old") + " " +
                          (dir_ / "new") + " " + (dir_ / "delta");
        EXPECT_EQ(0, testsupport::RunCommand(cmd));
        return testsupport::ReadFile(dir_ / "delta");
    }
    TempDir dir_;
    VCDiffStreamStruct *stream_ = nullptr;
};

TEST_F(StreamTest, AppliesXdeltaDeltaInPiecesOfAnySize) {
    if (!testsupport::HaveProgram("xdelta3")) {
        GTEST_SKIP() << "xdelta3 not installed";
    }
    std::string newData;
    std::string delta = MakeDelta(&newData);
    FileVerifyStruct *verify = nullptr;
    FileVerify_Create(&verify);
    for (size_t piece : {(size_t)1000, (size_t)0x4000, (size_t)0x40000}) {
        SCOPED_TRACE(piece);
        ASSERT_EQ(1, Apply(delta, piece));
        ASSERT_EQ(1, FileVerify_ComputeFile((dir_ / "out").c_str(), verify));
        EXPECT_EQ(
            1, FileVerify_Compare(verify, (const uint8_t *)testsupport::Sha1Bytes(newData).data()));
    }
    FileVerify_Destroy(&verify);
}

TEST_F(StreamTest, FailuresNameTheirCause) {
    testsupport::WriteFile(dir_ / "old", "short");
    Window far;
    far.Copy(4, 100, 0);
    Window good;
    good.Add("abc");
    std::string ok = vcdfixture::Header(0) + good.Encode(0, 0, 0, true);
    ConsoleCapture capture;
    EXPECT_EQ(0, Apply(vcdfixture::Header(0) + far.Encode(0x01, 200, 0, true), 7));
    EXPECT_TRUE(capture.Contains(
        "VCDiffStream_InternalProcessBuffer() decode error msg source file too short"))
        << capture.Text();
    capture.Clear();
    EXPECT_EQ(0, Apply(ok.substr(0, ok.size() - 1), 7));
    EXPECT_TRUE(capture.Contains("VCDiffStream_InflateEnd() decode error msg EOF in decode"))
        << capture.Text();
    capture.Clear();
    testsupport::WriteFile(dir_ / "delta", ok);
    FileStruct *out = nullptr;
    File_New(&out);
    ASSERT_EQ(1, File_Open(out, (dir_ / "out").c_str(), FILE_MODE_WRITE));
    EXPECT_EQ(0, VCDiffStream_InflateBegin(stream_, (dir_ / "missing").c_str(), out, -1));
    EXPECT_TRUE(capture.Contains("VCDiffStream_InternalInflateBegin() unable to open [" +
                                 (dir_ / "missing") + "]"))
        << capture.Text();
    EXPECT_EQ(0, VCDiffStream_InflateEnd(stream_));
    File_Close(out);
    File_Delete(&out);
    EXPECT_EQ(1, Apply(ok, 1));
    EXPECT_EQ("abc", testsupport::ReadFile(dir_ / "out"));
}

TEST_F(StreamTest, ApplyFileLeavesNoFileThatLooksGood) {
    testsupport::WriteFile(dir_ / "old", "0123456789");
    Window w;
    w.Copy(10, 0, 0);
    w.Add("!");
    std::string delta = vcdfixture::Header(0) + w.Encode(0x01, 10, 0, true, 0, -1, "0123456789");
    std::string bad = delta;
    bad[bad.size() - 4] ^= 0x40; // the added byte: the window checksum no longer matches
    std::string result = "0123456789!";
    std::string target = dir_ / "target";
    struct Case {
        const char *name;
        std::string delta;
        std::string digest; // empty: not checked
        int expect;
    } cases[] = {
        {"good", delta, "", 1},
        {"good with digest", delta, testsupport::Sha1Bytes(result), 1},
        {"wrong digest", delta, testsupport::Sha1Bytes("other"), 0},
        {"checksum mismatch", bad, "", 0},
        {"truncated", delta.substr(0, delta.size() - 4), "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteFile(target, "previous");
        testsupport::WriteFile(dir_ / "delta", c.delta);
        int r = VCDiffStream_ApplyFile(
            (dir_ / "old").c_str(), (dir_ / "delta").c_str(), target.c_str(),
            c.digest.empty() ? nullptr : (const uint8_t *)c.digest.data(), -1);
        EXPECT_EQ(c.expect, r);
        EXPECT_EQ(c.expect ? result : "previous", testsupport::ReadFile(target));
        std::string left;
        testsupport::RunCommand("find " + dir_.path() + " -name '*.part'", &left);
        EXPECT_EQ("", left);
    }
}

TEST(FileVerify, DigestsOfFiles) {
    TempDir dir;
    testsupport::WriteFile(dir / "empty", "");
    std::string big(300000, 'q');
    testsupport::WriteFile(dir / "big", big);
    FileVerifyStruct *v = nullptr;
    FileVerify_Create(&v);
    const uint8_t kEmptySha1[20] = {0xda, 0x39, 0xa3, 0xee, 0x5e, 0x6b, 0x4b, 0x0d, 0x32, 0x55,
                                    0xbf, 0xef, 0x95, 0x60, 0x18, 0x90, 0xaf, 0xd8, 0x07, 0x09};
    ASSERT_EQ(1, FileVerify_ComputeFile((dir / "empty").c_str(), v));
    EXPECT_EQ(1, FileVerify_Compare(v, kEmptySha1));
    ASSERT_EQ(1, FileVerify_ComputeFile((dir / "big").c_str(), v));
    EXPECT_EQ(1, FileVerify_Compare(v, (const uint8_t *)testsupport::Sha1Bytes(big).data()));
    EXPECT_EQ(0, FileVerify_Compare(v, kEmptySha1));
    EXPECT_EQ(0, FileVerify_ComputeFile((dir / "missing").c_str(), v));
    FileVerify_Destroy(&v);
    EXPECT_EQ(nullptr, v);
}

TEST(ZlibCompress, InflatesExactlyTheClaimedSize) {
    std::string data(10000, 'x');
    for (size_t i = 0; i < data.size(); i += 7) {
        data[i] = (char)i;
    }
    uLongf size = compressBound(data.size());
    std::string z(size, '\0');
    compress2((Bytef *)z.data(), &size, (const Bytef *)data.data(), data.size(), 6);
    z.resize(size);
    std::string out(data.size() + 10, '\0');
    struct Case {
        const char *name;
        std::string input;
        int capacity;
        int expect;
    } cases[] = {
        {"exact", z, (int)data.size(), 1},
        {"destination too small", z, (int)data.size() - 1, 0},
        {"claim too large", z, (int)data.size() + 1, 0},
        {"cut stream", z.substr(0, z.size() - 5), (int)data.size(), 0},
        {"not zlib", std::string(100, 'n'), (int)data.size(), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expect, ZlibCompress_Inflate(out.data(), c.input.data(), (int)c.input.size(),
                                                 c.capacity));
    }
    EXPECT_EQ(0, memcmp(out.data(), data.data(), data.size()));
}

} // namespace
