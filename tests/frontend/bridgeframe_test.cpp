// The page bridge's frames: round trips of every message type (whole and in
// chunks), a table of malformed chunks each refused with its reason, and the
// UTF-8 cleaner.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frontend/bridgeframe.h"

namespace {

BridgeValue Text(const std::string &text, uint8_t kind = BRIDGE_VALUE_TEXT) {
    BridgeValue value;
    value.Kind = kind;
    value.Text = text;
    return value;
}

BridgeValue Kind(uint8_t kind) {
    BridgeValue value;
    value.Kind = kind;
    return value;
}

BridgeValue Int(int64_t number) {
    BridgeValue value;
    value.Kind = BRIDGE_VALUE_INT;
    value.Number = number;
    return value;
}

BridgeValue Double(double number) {
    BridgeValue value;
    value.Kind = BRIDGE_VALUE_DOUBLE;
    value.Double = number;
    return value;
}

BridgeMessage Make(uint8_t type, uint32_t id, uint32_t code, int64_t number,
                   const std::string &name, std::vector<BridgeValue> values = {}) {
    BridgeMessage message;
    message.Type = type;
    message.Id = id;
    message.Code = code;
    message.Number = number;
    message.Name = name;
    message.Values = std::move(values);
    return message;
}

void ExpectSame(const BridgeMessage &a, const BridgeMessage &b) {
    EXPECT_EQ(a.Type, b.Type);
    EXPECT_EQ(a.Id, b.Id);
    EXPECT_EQ(a.Code, b.Code);
    EXPECT_EQ(a.Number, b.Number);
    EXPECT_EQ(a.Name, b.Name);
    ASSERT_EQ(a.Values.size(), b.Values.size());
    for (size_t i = 0; i < a.Values.size(); i++) {
        EXPECT_EQ(a.Values[i].Kind, b.Values[i].Kind) << i;
        EXPECT_EQ(a.Values[i].Number, b.Values[i].Number) << i;
        EXPECT_EQ(a.Values[i].Double, b.Values[i].Double) << i;
        EXPECT_EQ(a.Values[i].Text, b.Values[i].Text) << i;
    }
}

// Feeds every chunk; returns the last feed result.
BridgeFeed FeedAll(BridgeReader *reader, const std::vector<std::vector<uint8_t>> &chunks) {
    BridgeFeed last = BRIDGE_FEED_ERROR;
    for (const auto &chunk : chunks)
        last = reader->Feed(chunk.data(), chunk.size());
    return last;
}

TEST(BridgeFrame, EveryMessageTypeReadsBackAsSent) {
    const std::string token(BRIDGE_TOKEN_SIZE, 'a');
    const BridgeMessage messages[] = {
        Make(BRIDGE_HELLO, 0, 1, (int64_t)1 << 40, token),
        Make(BRIDGE_READY, 0, 0, 7, "file:///opt/game/skin/index.html"),
        Make(BRIDGE_ADMIT, 0, 1, 0, ""),
        Make(BRIDGE_CALL, 9, BRIDGE_METHOD_PACKAGE_OPTIONS, 0, "",
             {Text("getPackageOptions"), Text("string:caf\xC3\xA9"), Kind(BRIDGE_VALUE_OTHER),
              Text(std::string(BRIDGE_TEXT_PREFIX, 'x'), BRIDGE_VALUE_LONG)}),
        Make(BRIDGE_ANSWER, 9, 1, 0, "1:0"),
        Make(BRIDGE_INVOKE, 0xFFFFFFFF, 0, 0, "__Downloader_reportdownloadStatus",
             {Text("d"), Int(INT32_MIN), Int(INT32_MAX), Double(-0.25), Text("")}),
        Make(BRIDGE_RESULT, 3, BRIDGE_OUTCOME_INT, -5, ""),
    };
    BridgeReader reader;
    for (const BridgeMessage &message : messages) {
        std::vector<std::vector<uint8_t>> chunks;
        ASSERT_EQ(Bridge_Encode(message, &chunks), 1) << (int)message.Type;
        ASSERT_EQ(chunks.size(), 1u);
        ASSERT_EQ(FeedAll(&reader, chunks), BRIDGE_FEED_MESSAGE) << reader.Error();
        ExpectSame(message, reader.Message());
    }
}

TEST(BridgeFrame, LargeMessagesTravelInChunksAndReadBackWhole) {
    // 60 KiB of arguments: two chunks of at most BRIDGE_CHUNK_MAX body bytes.
    std::vector<BridgeValue> values(6);
    for (int i = 0; i < 6; i++)
        values[i] = Text(std::string(10000, (char)('a' + i)));
    BridgeMessage message = Make(BRIDGE_INVOKE, 4, 0, 0, "f", values);
    std::vector<std::vector<uint8_t>> chunks;
    ASSERT_EQ(Bridge_Encode(message, &chunks), 1);
    ASSERT_EQ(chunks.size(), 2u);
    for (const auto &chunk : chunks)
        EXPECT_LE(chunk.size(), (size_t)BRIDGE_HEADER_SIZE + BRIDGE_CHUNK_MAX);
    BridgeReader reader;
    EXPECT_EQ(reader.Feed(chunks[0].data(), chunks[0].size()), BRIDGE_FEED_PARTIAL);
    EXPECT_EQ(reader.Feed(chunks[1].data(), chunks[1].size()), BRIDGE_FEED_MESSAGE);
    ExpectSame(message, reader.Message());
    // The reader goes on with the next message.
    ASSERT_EQ(Bridge_Encode(Make(BRIDGE_RESULT, 5, BRIDGE_OUTCOME_BOOL, 1, ""), &chunks), 1);
    EXPECT_EQ(FeedAll(&reader, chunks), BRIDGE_FEED_MESSAGE);
    EXPECT_EQ(reader.Message().Id, 5u);
}

TEST(BridgeFrame, MessagesTheReaderWouldRefuseAreNotEncoded) {
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<BridgeValue> many(BRIDGE_VALUE_COUNT_MAX + 1, Text("a"));
    std::vector<BridgeValue> huge(7, Text(std::string(10000, 'z')));
    const BridgeMessage refused[] = {
        Make(0, 0, 0, 0, ""),
        Make(8, 0, 0, 0, ""),
        Make(BRIDGE_CALL, 0, BRIDGE_METHOD_COUNT, 0, ""),
        Make(BRIDGE_ANSWER, 0, 0, 0, "", {Text("values where none belong")}),
        Make(BRIDGE_INVOKE, 0, 0, 0, "f", many),
        Make(BRIDGE_INVOKE, 0, 0, 0, "f", huge),
        Make(BRIDGE_INVOKE, 0, 0, 0, "f", {Kind(BRIDGE_VALUE_KIND_COUNT)}),
    };
    for (const BridgeMessage &message : refused) {
        EXPECT_EQ(Bridge_Encode(message, &chunks), 0) << (int)message.Type;
        EXPECT_TRUE(chunks.empty());
    }
}

// A chunk with a header of type, flags, id and its body's length.
std::vector<uint8_t> Chunk(uint8_t type, uint8_t flags, uint32_t id,
                           const std::vector<uint8_t> &body, int lengthDelta = 0) {
    std::vector<uint8_t> chunk = {type, flags, 0, 0};
    uint32_t length = (uint32_t)((int)body.size() + lengthDelta);
    for (int i = 0; i < 4; i++)
        chunk.push_back((uint8_t)(id >> (8 * i)));
    for (int i = 0; i < 4; i++)
        chunk.push_back((uint8_t)(length >> (8 * i)));
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

// The body of a well-formed message, taken from the encoder.
std::vector<uint8_t> BodyOf(const BridgeMessage &message) {
    std::vector<std::vector<uint8_t>> chunks;
    Bridge_Encode(message, &chunks);
    return std::vector<uint8_t>(chunks[0].begin() + BRIDGE_HEADER_SIZE, chunks[0].end());
}

TEST(BridgeFrame, MalformedChunksAreRefusedWithTheirReason) {
    const std::vector<uint8_t> call =
        BodyOf(Make(BRIDGE_CALL, 1, 0, 0, "", {Text("play"), Int(5)}));
    const std::vector<uint8_t> answer = BodyOf(Make(BRIDGE_ANSWER, 1, 0, 0, "text"));
    auto with = [](std::vector<uint8_t> body, size_t at, uint8_t byte) {
        body[at] = byte;
        return body;
    };
    auto cut = [](std::vector<uint8_t> body, size_t size) {
        body.resize(size);
        return body;
    };
    auto longer = [](std::vector<uint8_t> body) {
        body.push_back(0);
        return body;
    };
    // Body layout: code 4, number 8, name length 4 (+ name), value count 4, values.
    const size_t kCount = 16, kFirstKind = 20, kSecondKind = 29, kIntValue = 30;
    std::vector<uint8_t> outOfRange = call;
    for (int i = 0; i < 8; i++)
        outOfRange[kIntValue + i] = i == 4 ? 1 : 0; // 2^32: over int32
    const struct {
        const char *Name;
        std::vector<std::vector<uint8_t>> Chunks;
        const char *Error;
    } cases[] = {
        {"empty", {{}}, "chunk shorter than its header"},
        {"short header", {{4, 0, 0, 0, 1, 0, 0}}, "chunk shorter than its header"},
        {"type 0", {Chunk(0, 0, 1, call)}, "unknown message type"},
        {"type 8", {Chunk(8, 0, 1, call)}, "unknown message type"},
        {"flag 2", {Chunk(BRIDGE_CALL, 2, 1, call)}, "unknown flags"},
        {"length over body",
         {Chunk(BRIDGE_CALL, 0, 1, call, 1)},
         "chunk length differs from its header"},
        {"length under body",
         {Chunk(BRIDGE_CALL, 0, 1, call, -1)},
         "chunk length differs from its header"},
        {"truncated body", {Chunk(BRIDGE_CALL, 0, 1, cut(call, 10))}, "short body"},
        {"method 4", {Chunk(BRIDGE_CALL, 0, 1, with(call, 0, 4))}, "code out of range"},
        {"answer code 2", {Chunk(BRIDGE_ANSWER, 0, 1, with(answer, 0, 2))}, "code out of range"},
        {"name past end", {Chunk(BRIDGE_ANSWER, 0, 1, with(answer, 12, 200))}, "bad name length"},
        {"name on a call", {Chunk(BRIDGE_CALL, 0, 1, answer)}, "bad name length"},
        {"65 values", {Chunk(BRIDGE_CALL, 0, 1, with(call, kCount, 65))}, "bad value count"},
        {"count past end", {Chunk(BRIDGE_CALL, 0, 1, with(call, kCount, 3))}, "bad value kind"},
        {"kind 5", {Chunk(BRIDGE_CALL, 0, 1, with(call, kFirstKind, 5))}, "bad value kind"},
        {"text past end", {Chunk(BRIDGE_CALL, 0, 1, with(call, kFirstKind + 1, 90))}, "bad value"},
        {"int past end", {Chunk(BRIDGE_CALL, 0, 1, cut(call, call.size() - 1))}, "bad value"},
        {"int over int32", {Chunk(BRIDGE_CALL, 0, 1, outOfRange)}, "bad value"},
        {"kind changed to double", {Chunk(BRIDGE_CALL, 0, 1, with(call, kSecondKind, 2))}, ""},
        {"trailing byte", {Chunk(BRIDGE_CALL, 0, 1, longer(call))}, "trailing bytes"},
        {"chunk of another id",
         {Chunk(BRIDGE_CALL, 1, 1, cut(call, 8)), Chunk(BRIDGE_CALL, 0, 2, call)},
         "chunk of another message before the last one ended"},
        {"chunk of another type",
         {Chunk(BRIDGE_CALL, 1, 1, cut(call, 8)), Chunk(BRIDGE_ANSWER, 0, 1, answer)},
         "chunk of another message before the last one ended"},
        {"chunk over its limit",
         {Chunk(BRIDGE_CALL, 1, 1, std::vector<uint8_t>(BRIDGE_CHUNK_MAX + 1))},
         "chunk length differs from its header"},
        {"message over its limit",
         {Chunk(BRIDGE_CALL, 1, 1, std::vector<uint8_t>(BRIDGE_CHUNK_MAX)),
          Chunk(BRIDGE_CALL, 1, 1, std::vector<uint8_t>(BRIDGE_CHUNK_MAX)),
          Chunk(BRIDGE_CALL, 0, 1, std::vector<uint8_t>(1))},
         "message over its size limit"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Name);
        BridgeReader reader;
        BridgeFeed last = FeedAll(&reader, test.Chunks);
        if (test.Error[0] == 0) {
            // Same length as an int, so still well formed: a double now.
            ASSERT_EQ(last, BRIDGE_FEED_MESSAGE);
            EXPECT_EQ(reader.Message().Values[1].Kind, BRIDGE_VALUE_DOUBLE);
            continue;
        }
        ASSERT_EQ(last, BRIDGE_FEED_ERROR);
        EXPECT_STREQ(reader.Error(), test.Error);
        // A refused connection stays refused.
        std::vector<uint8_t> good = Chunk(BRIDGE_CALL, 0, 1, call);
        EXPECT_EQ(reader.Feed(good.data(), good.size()), BRIDGE_FEED_ERROR);
    }
}

TEST(BridgeFrame, TextsAreMadeValidUtf8AndCutAtCharacterBoundaries) {
    const struct {
        std::string In;
        size_t Size;
        std::string Out;
    } cases[] = {
        {"plain", 100, "plain"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", 100,
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"caf\xC3\xA9", 4, "caf"}, // not half an é
        {"a\xFF"
         "b",
         100,
         "a\xEF\xBF\xBD"
         "b"},                                                         // a stray byte
        {"\xC0\xAF", 100, "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // an overlong '/'
        {"\xED\xA0\x80", 100, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xF4\x90\x80\x80", 100, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"ab\xE2\x82", 100, "ab\xEF\xBF\xBD\xEF\xBF\xBD"}, // cut in the middle
    };
    for (const auto &test : cases)
        EXPECT_EQ(Bridge_ValidUtf8(test.In.data(), test.In.size(), test.Size), test.Out) << test.In;
}

} // namespace
