// SHA-1 contexts: published vectors, block-edge sizes against sha1sum through
// every compression function, any split and alignment of the input, and the
// reader rules.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/sha1.h"
#include "tests/support/support.h"

namespace {

std::string HexOf(Sha1Struct *sha1, int blanks) {
    char text[64];
    EXPECT_EQ(Sha1_GetHexString(sha1, blanks, text, sizeof(text)), 1);
    return text;
}

// The digest of `bytes` added `step` bytes at a time from a copy that starts
// `shift` bytes past a 16-byte boundary.
std::string Digest(const std::string &bytes, size_t step, size_t shift = 0) {
    std::vector<uint8_t> store(bytes.size() + 32);
    const uintptr_t base = ((uintptr_t)store.data() + 15) & ~(uintptr_t)15;
    uint8_t *copy = store.data() + (base - (uintptr_t)store.data()) + shift;
    memcpy(copy, bytes.data(), bytes.size());
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    for (size_t at = 0; at < bytes.size(); at += step) {
        const size_t take = bytes.size() - at < step ? bytes.size() - at : step;
        Sha1_Update(sha1, copy + at, (int64_t)take);
    }
    Sha1_Final(sha1);
    std::string hex = HexOf(sha1, 0);
    Sha1_Destroy(&sha1);
    EXPECT_EQ(sha1, nullptr);
    return hex;
}

// Runs the body with each compression function: the processor's instructions,
// the vector-scheduled portable form and the plain one; a form this processor
// or build lacks is skipped.
class Sha1Paths : public testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (Sha1_LimitForm(GetParam()) != GetParam()) {
            GTEST_SKIP() << "form " << GetParam() << " not available here";
        }
    }
    void TearDown() override { Sha1_LimitForm(SHA1_FORM_HARDWARE); }
};

TEST_P(Sha1Paths, PublishedVectors) {
    struct Case {
        std::string message;
        const char *digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Digest(c.message, c.message.size() + 1), c.digest);
        EXPECT_EQ(Digest(c.message, 1), c.digest);
        EXPECT_EQ(Digest(c.message, 63), c.digest);
        EXPECT_EQ(Digest(c.message, 1000, 3), c.digest);
    }
}

TEST_P(Sha1Paths, FilesMatchSha1sum) {
    if (!testsupport::HaveProgram("sha1sum")) {
        GTEST_SKIP() << "sha1sum not installed";
    }
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    testsupport::TempDir dir;
    const size_t sizes[] = {0,
                            1,
                            55,
                            56,
                            57,
                            63,
                            64,
                            65,
                            119,
                            120,
                            127,
                            128,
                            129,
                            191,
                            192,
                            193,
                            4095,
                            100000,
                            (1u << 20) + 13};
    for (size_t size : sizes) {
        std::string bytes(size, '\0');
        for (char &b : bytes) {
            b = (char)random();
        }
        const std::string path = dir / ("f" + std::to_string(size));
        testsupport::WriteFile(path, bytes);
        std::string output;
        ASSERT_EQ(testsupport::RunCommand("sha1sum '" + path + "'", &output), 0);
        const std::string expected = output.substr(0, 40);
        // Whole input, odd splits, one block per call, and splits that leave
        // some bytes of a block behind, each from an aligned and an unaligned copy.
        for (size_t piece : {size_t(1) << 30, size_t(7), size_t(64), size_t(1000)}) {
            if (piece == 7 && size > 100000) {
                continue;
            }
            for (size_t shift : {0, 5}) {
                EXPECT_EQ(Digest(bytes, piece, shift), expected)
                    << "size " << size << " piece " << piece << " shift " << shift;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, Sha1Paths,
                         testing::Values(SHA1_FORM_HARDWARE, SHA1_FORM_VECTOR, SHA1_FORM_PLAIN));

TEST(Sha1, HexFormsAndDigestBytes) {
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    Sha1_Update(sha1, "abc", 3);
    Sha1_Final(sha1);
    EXPECT_EQ(HexOf(sha1, 1), "a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d");
    uint8_t digest[20];
    ASSERT_EQ(Sha1_GetDigest(sha1, digest, sizeof(digest)), 1);
    EXPECT_EQ(digest[0], 0xa9);
    EXPECT_EQ(digest[19], 0x9d);
    // A second final keeps the digest.
    Sha1_Final(sha1);
    EXPECT_EQ(HexOf(sha1, 0), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // Init starts over in place.
    Sha1_Init(sha1);
    Sha1_Final(sha1);
    EXPECT_EQ(HexOf(sha1, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    Sha1_Destroy(&sha1);
    Sha1_Destroy(&sha1); // null is accepted
}

TEST(Sha1, ReadersRefuseSmallBuffersAndUnfinishedDigest) {
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    Sha1_Update(sha1, "abc", 3);
    uint8_t digest[20];
    char text[64];
    memset(digest, 0x5A, sizeof(digest));
    memset(text, 0x5A, sizeof(text));
    EXPECT_EQ(Sha1_GetDigest(sha1, digest, 20), 0);
    EXPECT_EQ(Sha1_GetHexString(sha1, 0, text, 64), 0);
    Sha1_Final(sha1);
    EXPECT_EQ(Sha1_GetDigest(sha1, digest, 19), 0);
    EXPECT_EQ(Sha1_GetHexString(sha1, 0, text, 59), 0);
    for (uint8_t b : digest) {
        EXPECT_EQ(b, 0x5A);
    }
    for (char c : text) {
        EXPECT_EQ(c, 0x5A);
    }
    Sha1_Destroy(&sha1);
}

TEST(Sha1DeathTest, UpdateAfterFinalStops) {
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    Sha1_Final(sha1);
    EXPECT_DEATH(Sha1_Update(sha1, "x", 1),
                 "Sha1_Update\\(\\) invalid call \\(length 1, done 1\\)");
    Sha1_Destroy(&sha1);
}

} // namespace
