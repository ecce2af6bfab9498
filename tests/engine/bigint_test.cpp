// Big integers: conversions, arithmetic edges, and modular exponentiation
// checked against python3's pow on random 768-bit operands.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/bigint.h"
#include "tests/support/support.h"

namespace {

// The 768-bit prime of the key exchange.
const char kKeyExchangePrime[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A0879"
    "8E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A63A3621"
    "0000000000090563";

struct Big {
    BigIntStruct *v = nullptr;
    Big() { BigInt_Create(&v); }
    explicit Big(const char *hex) : Big() { EXPECT_EQ(1, BigInt_FromHex(v, hex)); }
    ~Big() { BigInt_Destroy(&v); }
    std::string Hex() const {
        std::vector<uint8_t> bytes((size_t)BigInt_NumBytes(v) + 1);
        int count = 0;
        EXPECT_EQ(1, BigInt_ToBytes(bytes.data(), v, (int)bytes.size(), &count));
        std::string out = v->Negative ? "-" : "";
        char pair[3];
        for (int i = 0; i < count; i++) {
            snprintf(pair, sizeof pair, "%02x", bytes[i]);
            out += pair;
        }
        return count == 0 ? "0" : out;
    }
};

std::string RandomHex(std::mt19937_64 &rng, int bits) {
    std::string hex;
    const char *digits = "0123456789abcdef";
    for (int i = 0; i < bits / 4; i++)
        hex += digits[rng() % 16];
    return hex;
}

TEST(BigInt, ConversionsAndEdges) {
    Big v;
    uint8_t bytes[96] = {0};
    for (int i = 1; i < 96; i++)
        bytes[i] = (uint8_t)i;
    ASSERT_EQ(1, BigInt_FromBytes(96, v.v, bytes));
    EXPECT_EQ(95, BigInt_NumBytes(v.v));
    uint8_t out[95];
    int count = -1;
    EXPECT_EQ(0, BigInt_ToBytes(out, v.v, 94, &count)); // one byte short: nothing written
    EXPECT_EQ(0, count);
    ASSERT_EQ(1, BigInt_ToBytes(out, v.v, 95, &count));
    EXPECT_EQ(95, count);
    EXPECT_EQ(0, memcmp(out, bytes + 1, 95));

    Big negative("-ff");
    EXPECT_EQ("-ff", negative.Hex());
    Big empty;
    EXPECT_EQ(0, BigInt_FromHex(empty.v, ""));
    EXPECT_EQ(0, BigInt_FromHex(empty.v, "-"));

    Big grown;
    BigInt_Expand(grown.v, 65);
    EXPECT_EQ(128, grown.v->Capacity);

    EXPECT_EQ(0, BigInt_WordBits(0));
    EXPECT_EQ(32, BigInt_WordBits(0x80000000u));
    EXPECT_EQ(9, BigInt_WordBits(0x1FFu));
    EXPECT_EQ(0, BigInt_TestBit(negative.v, -1));
    EXPECT_EQ(1, BigInt_TestBit(negative.v, 7));
    EXPECT_EQ(0, BigInt_TestBit(negative.v, 64));
}

TEST(BigInt, SignedArithmeticAndShifts) {
    struct Case {
        const char *a, *b, *sum, *difference, *product;
    } cases[] = {
        {"ff", "1", "0100", "fe", "ff"},
        {"-ff", "1", "-fe", "-0100", "-ff"},
        {"1", "ffffffffffffffff", "010000000000000000", "-fffffffffffffffe", "ffffffffffffffff"},
        {"-10", "-10", "-20", "0", "0100"},
    };
    for (const Case &c : cases) {
        Big a(c.a), b(c.b), r, t;
        BigInt_Add(r.v, a.v, b.v);
        EXPECT_EQ(c.sum, r.Hex()) << c.a << " + " << c.b;
        BigInt_Sub(r.v, a.v, b.v);
        EXPECT_EQ(c.difference, r.Hex()) << c.a << " - " << c.b;
        BigInt_Mul(r.v, t.v, a.v, b.v);
        EXPECT_EQ(c.product, r.Hex()) << c.a << " * " << c.b;
    }
    Big a("1"), r;
    BigInt_ShiftLeft(r.v, a.v, 100);
    EXPECT_EQ(101, BigInt_NumBits(r.v));
    BigInt_ShiftRight1(r.v, r.v);
    EXPECT_EQ(100, BigInt_NumBits(r.v));
    Big small("1"), big("100000000");
    EXPECT_EQ(0, BigInt_USub(r.v, small.v, big.v));
    EXPECT_LT(BigInt_Compare(small.v, big.v), 0);
}

TEST(BigInt, ModExpSmallCases) {
    struct Case {
        const char *base, *exponent, *modulus, *result;
    } cases[] = {
        {"2", "5", "7", "04"},
        {"1234", "0", "7", "01"},
        {"5", "3", "1", "0"},
        {"2", "a", "400", "0"}, // even modulus
        {"ffffffffffffffffffff", "3", "fffffffb", "3177db65"},
    };
    for (const Case &c : cases) {
        Big b(c.base), e(c.exponent), m(c.modulus), r;
        ASSERT_EQ(1, BigInt_ModExp(r.v, b.v, e.v, m.v));
        EXPECT_EQ(c.result, r.Hex()) << c.base << "^" << c.exponent << " mod " << c.modulus;
    }
    Big zero, b("2"), r;
    EXPECT_EQ(0, BigInt_ModExp(r.v, b.v, b.v, zero.v));
    EXPECT_EQ(0, BigInt_Mod(r.v, r.v, b.v, zero.v));
}

TEST(BigInt, ModExpMatchesPython) {
    if (!testsupport::HaveProgram("python3"))
        GTEST_SKIP() << "python3 is not installed";
    std::random_device device;
    uint64_t seed = ((uint64_t)device() << 32) | device();
    std::mt19937_64 rng(seed);
    printf("seed %llu\n", (unsigned long long)seed);

    struct Triple {
        std::string base, exponent, modulus;
    };
    std::vector<Triple> triples;
    for (int i = 0; i < 20; i++)
        triples.push_back({RandomHex(rng, 768), RandomHex(rng, 160), kKeyExchangePrime});
    for (int i = 0; i < 20; i++) {
        std::string modulus = RandomHex(rng, 768);
        triples.push_back({RandomHex(rng, 768), RandomHex(rng, 768), modulus});
    }
    triples.push_back({RandomHex(rng, 1536), RandomHex(rng, 768), kKeyExchangePrime});
    // Every limb all ones: the longest carry runs and the final subtraction.
    const std::string ones768(192, 'f'), ones1024(256, 'f');
    triples.push_back({ones768, ones768, kKeyExchangePrime});
    triples.push_back({ones768.substr(1) + "e", ones768, ones768});
    triples.push_back({ones1024, ones1024.substr(0, 200), ones1024});
    // Odd moduli of other sizes: an odd count of 32-bit words, the 1024-bit size
    // the exponentiation unrolls for, and sizes between.
    for (int bits : {33, 96, 200, 544, 1000, 1024, 1056}) {
        std::string modulus = RandomHex(rng, bits);
        modulus.back() = "13579bdf"[rng() % 8];
        triples.push_back({RandomHex(rng, bits + 64), RandomHex(rng, 300), modulus});
    }

    testsupport::TempDir dir;
    std::ostringstream script;
    script << "import sys\n";
    for (const Triple &t : triples)
        script << "m=int('" << t.modulus << "',16)\nprint(format(pow(int('" << t.base
               << "',16),int('" << t.exponent << "',16),m),'x') if m else 'none')\n";
    testsupport::WriteFile(dir / "pow.py", script.str());
    std::string output;
    ASSERT_EQ(0, testsupport::RunCommand("python3 " + dir / "pow.py", &output));
    std::istringstream lines(output);

    for (const Triple &t : triples) {
        std::string expected;
        std::getline(lines, expected);
        Big b(t.base.c_str()), e(t.exponent.c_str()), m(t.modulus.c_str()), r;
        if (expected == "none")
            continue;
        // Both kernels: the carry-chain rows where the processor has them, and
        // the portable rows.
        for (int portable : {0, 1}) {
            BigInt_SetPortableRows(portable);
            ASSERT_EQ(1, BigInt_ModExp(r.v, b.v, e.v, m.v));
            std::string ours = r.Hex();
            while (ours.size() > 1 && ours[0] == '0')
                ours.erase(0, 1);
            EXPECT_EQ(expected, ours)
                << "seed " << seed << " modulus " << t.modulus << " portable " << portable;
        }
        BigInt_SetPortableRows(0);
    }
}

} // namespace
