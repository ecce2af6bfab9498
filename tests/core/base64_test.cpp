// Base64: both directions against coreutils, the buffer-size rules and the
// rejected inputs.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/base64.h"
#include "tests/support/support.h"

namespace {

std::string Encode(const std::string &bytes) {
    int size = 0;
    Base64_GetEncodedSize((int)bytes.size(), &size);
    std::vector<char> text(size + 10);
    int length = 0;
    EXPECT_EQ(
        Base64_Encode(bytes.data(), (int)bytes.size(), text.data(), (int)text.size(), &length), 1);
    EXPECT_EQ(length, (int)strlen(text.data()) + 1);
    return text.data();
}

std::string Decode(const std::string &text, int *result) {
    int size = 0;
    Base64_GetDecodedSize((int)text.size(), &size);
    std::vector<uint8_t> bytes(size + 10);
    int count = -1;
    *result = Base64_Decode(text.c_str(), bytes.data(), (int)bytes.size(), &count);
    EXPECT_EQ(bytes[count], 0);
    return std::string(bytes.begin(), bytes.begin() + count);
}

TEST(Base64, MatchesCoreutilsBothWays) {
    if (!testsupport::HaveProgram("base64")) {
        GTEST_SKIP() << "base64 not installed";
    }
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    testsupport::TempDir dir;
    for (size_t size : {0, 1, 2, 3, 4, 5, 6, 7, 57, 58, 59, 1000, 4099}) {
        std::string bytes(size, '\0');
        for (char &b : bytes) {
            b = (char)random();
        }
        testsupport::WriteFile(dir / "in", bytes);
        std::string theirs;
        ASSERT_EQ(testsupport::RunCommand("base64 -w0 '" + (dir / "in") + "'", &theirs), 0);
        EXPECT_EQ(Encode(bytes), theirs) << size;
        int result = 0;
        EXPECT_EQ(Decode(theirs, &result), bytes) << size;
        EXPECT_EQ(result, 1);
        testsupport::WriteFile(dir / "text", Encode(bytes));
        std::string back;
        ASSERT_EQ(testsupport::RunCommand("base64 -d '" + (dir / "text") + "' > '" +
                                          (dir / "back") + "'"),
                  0);
        EXPECT_EQ(testsupport::ReadFile(dir / "back"), bytes) << size;
    }
}

TEST(Base64, EncodeBufferRules) {
    char text[16];
    int length = -1;
    EXPECT_EQ(Base64_Encode("ab", 2, text, sizeof(text), &length), 1);
    EXPECT_STREQ(text, "YWI=");
    EXPECT_EQ(length, 5);
    EXPECT_EQ(Base64_Encode("abc", 3, text, 8, &length), 0);
    EXPECT_STREQ(text, "YWJj");
    EXPECT_EQ(length, 5);
    EXPECT_EQ(Base64_Encode("abc", 3, text, 9, &length), 1);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(Base64_Encode("abcdef", 6, text, 9, &length), 0);
    EXPECT_STREQ(text, "YWJjZGVm");
    EXPECT_EQ(length, 9);
    // Too small for even one group: empty text, nothing past the buffer.
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(Base64_Encode("abc", 3, text, 4, &length), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[4], 'x');
    EXPECT_EQ(Base64_Encode("abc", 3, text, 0, &length), 0);
    EXPECT_EQ(length, 0);
    int size = 0;
    Base64_GetEncodedSize(3, &size);
    EXPECT_EQ(size, 8);
    Base64_GetDecodedSize(8, &size);
    EXPECT_EQ(size, 6);
}

TEST(Base64, DecodeRejectsBadText) {
    struct Case {
        const char *text;
        const char *prefix; // what was decoded before the stop
    } cases[] = {
        {"YWJj\nZGVm", "abc"}, {"YWJjZA", "abc"}, {"YW*j", ""},
        {"Y===", ""},          {"YW=j", ""},      {"YWJj ZGVm", "abc"},
    };
    for (const Case &c : cases) {
        int result = -1;
        EXPECT_EQ(Decode(c.text, &result), c.prefix) << c.text;
        EXPECT_EQ(result, 0) << c.text;
    }
    int result = -1;
    EXPECT_EQ(Decode("", &result), "");
    EXPECT_EQ(result, 1);
    // Concatenated encodings keep no padding bytes.
    EXPECT_EQ(Decode("YQ==YmM=", &result), "abc");
    EXPECT_EQ(result, 1);
}

TEST(Base64, DecodeBufferRules) {
    uint8_t bytes[16];
    int count = -1;
    memset(bytes, 'x', sizeof(bytes));
    EXPECT_EQ(Base64_Decode("YWJj", bytes, 0, &count), 0);
    EXPECT_EQ(bytes[0], 'x'); // size 0: nothing written
    EXPECT_EQ(Base64_Decode("YWJj", bytes, 4, &count), 0);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], 'x');
    EXPECT_EQ(Base64_Decode("YWJj", bytes, 7, &count), 0); // count 3 reached 7 - 4
    EXPECT_EQ(count, 3);
    EXPECT_EQ(Base64_Decode("YWJj", bytes, 8, &count), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(memcmp(bytes, "abc", 4), 0);
    memset(bytes, 'x', sizeof(bytes));
    EXPECT_EQ(Base64_Decode("YWJjZGVmZ2hp", bytes, 9, &count), 0);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(bytes[6], 0);
    EXPECT_EQ(bytes[9], 'x');
}

} // namespace
