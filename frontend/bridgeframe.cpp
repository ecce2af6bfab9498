// The page bridge's frame codec: a body (code, number, name, values) in
// little-endian order behind a 12-byte chunk header. Tuned for many small
// messages: one allocation for the chunk in the common single-chunk case.
#include "frontend/bridgeframe.h"

#include <cstring>

namespace {

// What each message type may carry: the largest Code, the longest Name, and
// whether it has values.
struct TypeRule {
    uint32_t CodeMax;
    uint32_t NameMax;
    int Values;
};

const TypeRule *RuleOf(uint8_t type) {
    static const TypeRule kRules[] = {
        {0, 0, 0},                        // 0: not a type
        {1, BRIDGE_TOKEN_SIZE, 0},        // HELLO
        {0, 8192, 0},                     // READY: the document's address
        {1, 0, 0},                        // ADMIT
        {BRIDGE_METHOD_COUNT - 1, 0, 1},  // CALL
        {1, 4096, 0},                     // ANSWER
        {0, 256, 1},                      // INVOKE: the function's name
        {BRIDGE_OUTCOME_COUNT - 1, 0, 0}, // RESULT
    };
    if (type == 0 || type >= sizeof(kRules) / sizeof(kRules[0]))
        return nullptr;
    return &kRules[type];
}

void Put32(std::vector<uint8_t> *out, uint32_t value) {
    for (int i = 0; i < 4; i++)
        out->push_back((uint8_t)(value >> (8 * i)));
}

void Put64(std::vector<uint8_t> *out, uint64_t value) {
    for (int i = 0; i < 8; i++)
        out->push_back((uint8_t)(value >> (8 * i)));
}

void PutText(std::vector<uint8_t> *out, const std::string &text) {
    Put32(out, (uint32_t)text.size());
    out->insert(out->end(), text.begin(), text.end());
}

// A bounds-checked reader over one body.
struct Cursor {
    const uint8_t *Data;
    size_t Size;
    size_t At = 0;

    int Take(size_t count) { return Size - At >= count; }
    int Get8(uint8_t *value) {
        if (!Take(1))
            return 0;
        *value = Data[At++];
        return 1;
    }
    int Get32(uint32_t *value) {
        if (!Take(4))
            return 0;
        *value = 0;
        for (int i = 0; i < 4; i++)
            *value |= (uint32_t)Data[At++] << (8 * i);
        return 1;
    }
    int Get64(uint64_t *value) {
        if (!Take(8))
            return 0;
        *value = 0;
        for (int i = 0; i < 8; i++)
            *value |= (uint64_t)Data[At++] << (8 * i);
        return 1;
    }
    int GetText(std::string *text, uint32_t limit) {
        uint32_t length = 0;
        if (!Get32(&length) || length > limit || !Take(length))
            return 0;
        text->assign((const char *)Data + At, length);
        At += length;
        return 1;
    }
};

int EncodeBody(const BridgeMessage &message, std::vector<uint8_t> *body) {
    const TypeRule *rule = RuleOf(message.Type);
    if (rule == nullptr || message.Code > rule->CodeMax || message.Name.size() > rule->NameMax)
        return 0;
    if (message.Values.size() > (rule->Values ? (size_t)BRIDGE_VALUE_COUNT_MAX : 0))
        return 0;
    Put32(body, message.Code);
    Put64(body, (uint64_t)message.Number);
    PutText(body, message.Name);
    Put32(body, (uint32_t)message.Values.size());
    for (const BridgeValue &value : message.Values) {
        if (value.Kind >= BRIDGE_VALUE_KIND_COUNT)
            return 0;
        body->push_back(value.Kind);
        if (value.Kind == BRIDGE_VALUE_TEXT || value.Kind == BRIDGE_VALUE_LONG) {
            PutText(body, value.Text);
        } else if (value.Kind == BRIDGE_VALUE_INT) {
            Put64(body, (uint64_t)value.Number);
        } else if (value.Kind == BRIDGE_VALUE_DOUBLE) {
            uint64_t bits = 0;
            std::memcpy(&bits, &value.Double, sizeof(bits));
            Put64(body, bits);
        }
    }
    return body->size() <= BRIDGE_MESSAGE_MAX;
}

} // namespace

int Bridge_Encode(const BridgeMessage &message, std::vector<std::vector<uint8_t>> *chunks) {
    chunks->clear();
    std::vector<uint8_t> body;
    if (EncodeBody(message, &body) != 1)
        return 0;
    size_t at = 0;
    do {
        size_t part = body.size() - at;
        if (part > BRIDGE_CHUNK_MAX)
            part = BRIDGE_CHUNK_MAX;
        int more = at + part < body.size();
        std::vector<uint8_t> chunk;
        chunk.reserve(BRIDGE_HEADER_SIZE + part);
        chunk.push_back(message.Type);
        chunk.push_back(more ? BRIDGE_FLAG_MORE : 0);
        chunk.push_back(0);
        chunk.push_back(0);
        Put32(&chunk, message.Id);
        Put32(&chunk, (uint32_t)part);
        chunk.insert(chunk.end(), body.begin() + (long)at, body.begin() + (long)(at + part));
        chunks->push_back(std::move(chunk));
        at += part;
    } while (at < body.size());
    return 1;
}

int Bridge_DecodeBody(uint8_t type, uint32_t id, const uint8_t *body, size_t size,
                      BridgeMessage *message, const char **why) {
    *message = BridgeMessage();
    const TypeRule *rule = RuleOf(type);
    if (rule == nullptr) {
        *why = "unknown message type";
        return 0;
    }
    message->Type = type;
    message->Id = id;
    Cursor in{body, size};
    uint64_t number = 0;
    uint32_t count = 0;
    if (!in.Get32(&message->Code) || !in.Get64(&number)) {
        *why = "short body";
        return 0;
    }
    message->Number = (int64_t)number;
    if (message->Code > rule->CodeMax) {
        *why = "code out of range";
        return 0;
    }
    if (!in.GetText(&message->Name, rule->NameMax)) {
        *why = "bad name length";
        return 0;
    }
    if (!in.Get32(&count) || count > (rule->Values ? (uint32_t)BRIDGE_VALUE_COUNT_MAX : 0)) {
        *why = "bad value count";
        return 0;
    }
    for (uint32_t i = 0; i < count; i++) {
        BridgeValue value;
        uint64_t bits = 0;
        if (!in.Get8(&value.Kind) || value.Kind >= BRIDGE_VALUE_KIND_COUNT) {
            *why = "bad value kind";
            return 0;
        }
        int good = 1;
        if (value.Kind == BRIDGE_VALUE_TEXT || value.Kind == BRIDGE_VALUE_LONG) {
            good = in.GetText(&value.Text, BRIDGE_MESSAGE_MAX);
        } else if (value.Kind == BRIDGE_VALUE_INT) {
            good = in.Get64(&bits) && (int64_t)bits >= INT32_MIN && (int64_t)bits <= INT32_MAX;
            value.Number = (int64_t)bits;
        } else if (value.Kind == BRIDGE_VALUE_DOUBLE) {
            good = in.Get64(&bits);
            std::memcpy(&value.Double, &bits, sizeof(bits));
        }
        if (!good) {
            *why = "bad value";
            return 0;
        }
        message->Values.push_back(std::move(value));
    }
    if (in.At != size) {
        *why = "trailing bytes";
        return 0;
    }
    return 1;
}

BridgeFeed BridgeReader::Fail(const char *why) {
    Fault = why;
    Body.clear();
    Collecting = 0;
    return BRIDGE_FEED_ERROR;
}

BridgeFeed BridgeReader::Feed(const uint8_t *data, size_t size) {
    if (Fault != nullptr)
        return BRIDGE_FEED_ERROR;
    if (size < BRIDGE_HEADER_SIZE)
        return Fail("chunk shorter than its header");
    uint8_t type = data[0];
    uint8_t flags = data[1];
    uint32_t id = 0;
    uint32_t length = 0;
    for (int i = 0; i < 4; i++) {
        id |= (uint32_t)data[4 + i] << (8 * i);
        length |= (uint32_t)data[8 + i] << (8 * i);
    }
    if (RuleOf(type) == nullptr)
        return Fail("unknown message type");
    if ((flags & ~BRIDGE_FLAG_MORE) != 0 || data[2] != 0 || data[3] != 0)
        return Fail("unknown flags");
    if (length != size - BRIDGE_HEADER_SIZE || length > BRIDGE_CHUNK_MAX)
        return Fail("chunk length differs from its header");
    if (Collecting && (type != PendingType || id != PendingId))
        return Fail("chunk of another message before the last one ended");
    if (Body.size() + length > BRIDGE_MESSAGE_MAX)
        return Fail("message over its size limit");
    Body.insert(Body.end(), data + BRIDGE_HEADER_SIZE, data + size);
    if (flags & BRIDGE_FLAG_MORE) {
        Collecting = 1;
        PendingType = type;
        PendingId = id;
        return BRIDGE_FEED_PARTIAL;
    }
    Collecting = 0;
    const char *why = nullptr;
    int good = Bridge_DecodeBody(type, id, Body.data(), Body.size(), &Decoded, &why);
    Body.clear();
    if (good != 1)
        return Fail(why);
    return BRIDGE_FEED_MESSAGE;
}

std::string Bridge_ValidUtf8(const char *text, size_t length, size_t size) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    size_t i = 0;
    while (i < length) {
        unsigned char c = (unsigned char)text[i];
        size_t need = 0;
        uint32_t point = 0;
        if (c < 0x80) {
            need = 1;
            point = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            need = 2;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 3;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 4;
            point = c & 0x07;
        }
        int good = need > 0 && length - i >= need;
        for (size_t k = 1; good && k < need; k++) {
            unsigned char next = (unsigned char)text[i + k];
            good = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        if (good && need == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF)))
            good = 0;
        if (good && need == 4 && (point < 0x10000 || point > 0x10FFFF))
            good = 0;
        const char *piece = good ? text + i : kReplacement;
        size_t pieceSize = good ? need : 3;
        if (out.size() + pieceSize > size)
            break;
        out.append(piece, pieceSize);
        i += good ? need : 1;
    }
    return out;
}
