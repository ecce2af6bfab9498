// The peer-wire stream of one connection: frames and writes every outgoing
// message into the output buffer, tells the connection when a whole incoming
// message is buffered, and moves bytes between the buffers and the transport.
#pragma once

#include <cstdint>

struct BitPeerStruct;
struct BufferIOStruct;
struct TransportStruct;

enum {
    // Longest incoming message (bytes after the 4-byte length prefix): a
    // 128 KiB block with the Piece header.
    STREAM_MAX_MESSAGE_LENGTH = 131085,
    // The input buffer holds at most one longest message with its prefix.
    STREAM_INPUT_LIMIT = STREAM_MAX_MESSAGE_LENGTH + 4,
    STREAM_DIRECTION_SENT = 2,
};

enum {
    STREAM_ID_CHOKE = 0,
    STREAM_ID_UNCHOKE = 1,
    STREAM_ID_INTERESTED = 2,
    STREAM_ID_NOT_INTERESTED = 3,
    STREAM_ID_HAVE = 4,
    STREAM_ID_BITFIELD = 5,
    STREAM_ID_REQUEST = 6,
    STREAM_ID_PIECE = 7,
    STREAM_ID_CANCEL = 8,
    STREAM_ID_SUGGEST = 13,
    STREAM_ID_HAVE_ALL = 14,
    STREAM_ID_HAVE_NONE = 15,
    STREAM_ID_REJECT = 16,
    STREAM_ID_ALLOW_FAST = 17,
    STREAM_ID_NONE = -1, // keep-alive and raw bytes
};

// The owning connection's two logs, reached through hooks so the stream stands
// before the connection does. Either may be null; the texts are formatted only
// when a hook is set.
struct StreamLogHooks {
    // The connection's own log: one line per written message ("[Write] ...").
    void (*Log)(BitPeerStruct *owner, const char *text);
    // The connection's message log: direction STREAM_DIRECTION_SENT, the message
    // id (STREAM_ID_*), the detail text.
    void (*LogMessage)(BitPeerStruct *owner, int direction, int id, const char *detail);
};

extern const char StreamTag[]; // "StreamStruct"

struct StreamStruct {
    const char *Tag;
    TransportStruct *Transport; // borrowed; set once the connection is made
    BitPeerStruct *Owner;       // borrowed, for its logs
    BufferIOStruct *In;         // owned; limit STREAM_INPUT_LIMIT
    BufferIOStruct *Out;        // owned
    StreamLogHooks Hooks;
};

// Create: 1 and *stream (both buffers empty, no transport, no owner). Destroy
// logs "Stream not closed on exit" to the owner when the transport is still
// open, prints the buffer sizes, frees both buffers and clears *stream;
// accepts a null *stream. Both return 1.
int Stream_Create(StreamStruct **stream);
int Stream_Destroy(StreamStruct **stream);
// The transport read from and written to (borrowed; null unsets). Returns 1.
int Stream_SetTransport(StreamStruct *stream, TransportStruct *transport);
// The owning connection and its log hooks (copied; null hooks log nothing). Returns 1.
int Stream_SetOwner(StreamStruct *stream, BitPeerStruct *owner, const StreamLogHooks *hooks);
// Closes the transport (unless it is a datagram one, protocol 2, which its
// owner shares) and resets both buffers: emptied, totals 0, cipher off, RC4
// state back to the identity. Returns 1.
int Stream_Close(StreamStruct *stream);

// Writers: each appends one message to the output buffer and, except Request
// and Cancel (which wait for Stream_Flush), flushes it. 1 when the bytes were
// accepted (a flush may leave some buffered); 0 when there was no room or the
// transport failed. Index, begin and length are written as unsigned 32-bit.
int Stream_WriteKeepAlive(StreamStruct *stream);
// flow 0 Choke, 1 Unchoke, 2 Interested, 3 Not Interested; written as the id.
int Stream_WriteFlow(StreamStruct *stream, int flow);
int Stream_WriteHave(StreamStruct *stream, uint32_t index);
// n bitfield bytes for `pieces` pieces: the bits past the last piece are written
// as 0. n must be (pieces + 7) / 8.
int Stream_WriteBitField(StreamStruct *stream, const uint8_t *bytes, int n, int pieces);
int Stream_WriteRequest(StreamStruct *stream, uint32_t index, uint32_t begin, uint32_t length);
// Makes room for the whole message first (flushing, then growing): when there
// is none, 1 with *sent = 0 and the buffer as it was (try again later).
// Otherwise the message is appended and flushed and *sent = n. 0 on failure.
int Stream_WritePiece(StreamStruct *stream, uint32_t index, uint32_t begin, const void *block,
                      int n, int *sent);
int Stream_WriteCancel(StreamStruct *stream, uint32_t index, uint32_t begin, uint32_t length);
int Stream_WriteSuggest(StreamStruct *stream, uint32_t index);
int Stream_WriteHaveAll(StreamStruct *stream);
int Stream_WriteHaveNone(StreamStruct *stream);
int Stream_WriteReject(StreamStruct *stream, uint32_t index, uint32_t begin, uint32_t length);
int Stream_WriteAllowFast(StreamStruct *stream, uint32_t index);
// The n bytes as they are (handshakes), through the output cipher when on; flushed.
int Stream_WriteBuffer(StreamStruct *stream, const void *bytes, int n);

// Reading side. *ready = 1 when a whole message (4-byte length prefix and the
// length it announces) starts the input buffer. The length is read as unsigned
// 32-bit; above STREAM_MAX_MESSAGE_LENGTH it is refused: an error line
// "%.8X: Message too long (%u > %d)" and 0. Else 1.
int Stream_HasMessage(StreamStruct *stream, int *ready);
// The buffered input: *data (the first message starts there) and *n bytes.
int Stream_Peek(StreamStruct *stream, uint8_t **data, int *n);
// Drops the first message (prefix and the length it announces). 0 when it is
// not whole in the buffer.
int Stream_ConsumeMessage(StreamStruct *stream);
// Drops n bytes from the front of the input (handshakes). 0 when it cannot.
int Stream_Consume(StreamStruct *stream, int n);
// Reads what the transport has into the input buffer. 0 when the transport
// closed or failed (or none is set).
int Stream_Fill(StreamStruct *stream);
// Sends what the output buffer holds. 0 when the transport failed.
int Stream_Flush(StreamStruct *stream);
// 1 while the output buffer holds bytes, else 0.
int Stream_HasOutput(StreamStruct *stream);
// The buffers, for the encryption setup (BufferIO_SetKey, _GetCipher, _SetCipher).
int Stream_GetInBuffer(StreamStruct *stream, BufferIOStruct **buffer);
int Stream_GetOutBuffer(StreamStruct *stream, BufferIOStruct **buffer);
