// The frames the page bridge sends over its private SEQPACKET socket between the
// program and the web-process extension: page calls and their answers, page
// function invocations and their results. A message is cut into chunks no larger
// than a socket buffer takes at once; the reader puts them together again and
// checks every length against the bytes it has before reading a field.
// Plain C++ without the project's libraries: the extension builds it in too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum {
    BRIDGE_HEADER_SIZE = 12,        // type, flags, 2 zero bytes, id, chunk length
    BRIDGE_CHUNK_MAX = 32 * 1024,   // bytes of body one chunk carries at most
    BRIDGE_MESSAGE_MAX = 64 * 1024, // a body put together from its chunks, at most
    BRIDGE_VALUE_COUNT_MAX = 64,    // values of one message, at most
    BRIDGE_TEXT_PREFIX = 1024,      // an over-long page text travels as this much
    BRIDGE_FLAG_MORE = 1,           // another chunk of the same message follows
    BRIDGE_TOKEN_SIZE = 32,         // the connection's secret, in hexadecimal digits
};

// Message types. The direction is in the comment: page side (P) or program (U).
enum BridgeType : uint8_t {
    BRIDGE_HELLO = 1,  // P->U: Name the token; Number the page id; Code 1 main frame
    BRIDGE_READY = 2,  // P->U: a new document; Number the page id, Name its address
    BRIDGE_ADMIT = 3,  // U->P: answers READY; Code 1 defines the page object
    BRIDGE_CALL = 4,   // P->U: Code the method (BridgeMethod), Values the page's arguments
    BRIDGE_ANSWER = 5, // U->P: Code the boolean answer, Name the text answer
    BRIDGE_INVOKE = 6, // U->P: Name the page function, Values its arguments
    BRIDGE_RESULT = 7, // P->U: Code a BridgeOutcome, Number an int or bool result
};

enum BridgeMethod : uint8_t {
    BRIDGE_METHOD_BOOL = 0,
    BRIDGE_METHOD_SETTINGS = 1,
    BRIDGE_METHOD_STRING = 2,
    BRIDGE_METHOD_PACKAGE_OPTIONS = 3,
    BRIDGE_METHOD_COUNT = 4,
};

// What a page function call came to.
enum BridgeOutcome : uint8_t {
    BRIDGE_OUTCOME_INT = 0,     // an integral number within int32, in Number
    BRIDGE_OUTCOME_BOOL = 1,    // a boolean, 0 or 1 in Number
    BRIDGE_OUTCOME_OTHER = 2,   // any other value (a string, undefined...)
    BRIDGE_OUTCOME_MISSING = 3, // no such function on the page
    BRIDGE_OUTCOME_THREW = 4,   // the function raised an exception
    BRIDGE_OUTCOME_NO_PAGE = 5, // no document with the page object to call into
    BRIDGE_OUTCOME_COUNT = 6,
};

enum BridgeValueKind : uint8_t {
    BRIDGE_VALUE_TEXT = 0,   // Text (UTF-8)
    BRIDGE_VALUE_INT = 1,    // Number (int32 range)
    BRIDGE_VALUE_DOUBLE = 2, // Double
    BRIDGE_VALUE_OTHER = 3,  // a page value that is not a string
    BRIDGE_VALUE_LONG = 4,   // a page text over BRIDGE_TEXT_PREFIX: Text holds its start
    BRIDGE_VALUE_KIND_COUNT = 5,
};

struct BridgeValue {
    uint8_t Kind = BRIDGE_VALUE_TEXT;
    int64_t Number = 0;
    double Double = 0;
    std::string Text;
};

struct BridgeMessage {
    uint8_t Type = 0;
    uint32_t Id = 0; // a call's or invocation's number; its answer carries the same
    uint32_t Code = 0;
    int64_t Number = 0;
    std::string Name;
    std::vector<BridgeValue> Values;
};

// Encodes message into chunks (each a whole datagram: header then body part).
// Returns 1; 0 when the message is not one the reader would take (unknown type
// or value kind, too many values, a body over BRIDGE_MESSAGE_MAX); chunks is
// then empty.
int Bridge_Encode(const BridgeMessage &message, std::vector<std::vector<uint8_t>> *chunks);

// What BridgeReader::Feed made of a chunk.
enum BridgeFeed {
    BRIDGE_FEED_ERROR = 0,   // a malformed chunk: the connection is to be closed
    BRIDGE_FEED_MESSAGE = 1, // a whole message is in the reader's Message
    BRIDGE_FEED_PARTIAL = 2, // a chunk of a message with more to come
};

// Puts chunks together into messages, one connection's worth of state.
class BridgeReader {
  public:
    // Takes one received datagram. After BRIDGE_FEED_ERROR, Error() says why and
    // every later chunk is refused too.
    BridgeFeed Feed(const uint8_t *data, size_t size);
    const BridgeMessage &Message() const { return Decoded; }
    const char *Error() const { return Fault; }

  private:
    BridgeFeed Fail(const char *why);
    std::vector<uint8_t> Body;
    uint8_t PendingType = 0;
    uint32_t PendingId = 0;
    int Collecting = 0;
    BridgeMessage Decoded;
    const char *Fault = nullptr;
};

// Decodes one body of message type into message. 0 and a reason in *why when
// it is malformed.
int Bridge_DecodeBody(uint8_t type, uint32_t id, const uint8_t *body, size_t size,
                      BridgeMessage *message, const char **why);

// Cuts text to at most size bytes at a UTF-8 character boundary and replaces
// every invalid sequence with U+FFFD, so the result is valid UTF-8.
std::string Bridge_ValidUtf8(const char *text, size_t length, size_t size);
