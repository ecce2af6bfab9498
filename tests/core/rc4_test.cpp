// RC4 contexts: RFC 6229 key-stream vectors, streams split across calls, the
// rekeying rule and the key-length limits.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/rc4.h"
#include "core/zyl.h"

namespace {

std::string Hex(const uint8_t *bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t k = 0; k < count; k++) {
        text += digits[bytes[k] >> 4];
        text += digits[bytes[k] & 15];
    }
    return text;
}

std::vector<uint8_t> Bytes(const char *hex) {
    std::vector<uint8_t> out(strlen(hex) / 2);
    int count = 0;
    EXPECT_EQ(Zyl_HexToBytes(hex, (int)strlen(hex), out.data(), (int)out.size(), &count), 1);
    return out;
}

TEST(Rc4, Rfc6229KeyStream) {
    struct Case {
        const char *key;
        int offset;
        const char *stream;
    } cases[] = {
        {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"},
        {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae1cfcf62b03eddb641d77dfcf7f8d8c93"},
        {"0102030405", 4080, "068326a2118416d21f9d04b2cd1ca050ff25b58995996707e51fbdf08b34d875"},
        {"0102030405060708090a0b0c0d0e0f10", 0,
         "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"},
        {"0102030405060708090a0b0c0d0e0f10", 240,
         "065902e4b620f6cc36c8589f66432f2bd39d566bc6bce3010768151549f3873f"},
        {"0102030405060708090a0b0c0d0e0f10", 4080,
         "ff38265c1642c1abe8d3c2fe5e572bf8a36a4c301ae8ac13610ccbc12256cacc"},
    };
    for (const Case &c : cases) {
        Rc4Struct *rc4 = nullptr;
        Rc4_Create(&rc4);
        const std::vector<uint8_t> key = Bytes(c.key);
        Rc4_SetKey(rc4, key.data(), (int)key.size());
        std::vector<uint8_t> zeros(c.offset + 32, 0);
        Rc4_Crypt(rc4, zeros.data(), (int64_t)zeros.size());
        EXPECT_EQ(Hex(zeros.data() + c.offset, 32), c.stream) << c.key << " @" << c.offset;
        Rc4_Destroy(&rc4);
        EXPECT_EQ(rc4, nullptr);
    }
}

TEST(Rc4, SplitBuffersGiveTheSameStream) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    std::vector<uint8_t> plain(5000);
    for (uint8_t &b : plain) {
        b = (uint8_t)random();
    }
    const uint8_t key[] = "a secret of the connection";
    Rc4Struct *whole = nullptr;
    Rc4_Create(&whole);
    Rc4_SetKey(whole, key, sizeof(key) - 1);
    std::vector<uint8_t> once = plain;
    Rc4_Crypt(whole, once.data(), (int64_t)once.size());

    Rc4Struct *pieces = nullptr;
    Rc4_Create(&pieces);
    Rc4_SetKey(pieces, key, sizeof(key) - 1);
    std::vector<uint8_t> split = plain;
    size_t at = 0;
    while (at < split.size()) {
        size_t take = random() % 23; // 0 included: an empty call changes nothing
        take = take > split.size() - at ? split.size() - at : take;
        Rc4_Crypt(pieces, split.data() + at, (int64_t)take);
        at += take;
    }
    EXPECT_EQ(split, once);
    // Decrypting with a fresh context gives the plain text back.
    Rc4_Init(pieces);
    Rc4_SetKey(pieces, key, sizeof(key) - 1);
    Rc4_Crypt(pieces, split.data(), (int64_t)split.size());
    EXPECT_EQ(split, plain);
    Rc4_Destroy(&whole);
    Rc4_Destroy(&pieces);
}

TEST(Rc4, SecondKeyPermutesTheCurrentState) {
    const uint8_t first[] = {1, 2, 3};
    const uint8_t second[] = {9, 8, 7, 6};
    Rc4Struct *twice = nullptr;
    Rc4Struct *fresh = nullptr;
    Rc4_Create(&twice);
    Rc4_Create(&fresh);
    Rc4_SetKey(twice, first, 3);
    Rc4_SetKey(twice, second, 4);
    Rc4_SetKey(fresh, second, 4);
    EXPECT_NE(memcmp(twice->S, fresh->S, 256), 0);
    EXPECT_EQ(twice->KeyLength, 4);
    Rc4_Init(twice);
    Rc4_SetKey(twice, second, 4);
    EXPECT_EQ(memcmp(twice->S, fresh->S, 256), 0);
    Rc4_Destroy(&twice);
    Rc4_Destroy(&fresh);
}

TEST(Rc4DeathTest, KeyLengthLimits) {
    std::vector<uint8_t> key(256, 0x11);
    Rc4Struct *rc4 = nullptr;
    Rc4_Create(&rc4);
    EXPECT_EQ(Rc4_SetKey(rc4, key.data(), 255), 1);
    EXPECT_DEATH(Rc4_SetKey(rc4, key.data(), 256), "Key length too long \\(256 > 256\\)");
    EXPECT_DEATH(Rc4_SetKey(rc4, key.data(), 0), "Key length too short \\(0 < 1\\)");
    Rc4_Destroy(&rc4);
}

} // namespace
