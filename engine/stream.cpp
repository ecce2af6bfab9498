// Peer-wire stream: message framing for the writers (4-byte big-endian length,
// id, big-endian integers), the whole-message check for the reader, and the two
// buffers' traffic with the transport. Used by the manager thread only.
#include "engine/stream.h"

#include "core/alert.h"
#include "core/zyl.h"
#include "engine/bufferio.h"
#include "engine/transport.h"
#include "net/socket.h"

#include <cstring>

const char StreamTag[] = "StreamStruct";

enum { kLogLineSize = 160, kPieceHeaderSize = 13 };

static void PutBig32(uint8_t *at, uint32_t value) {
    at[0] = (uint8_t)(value >> 24);
    at[1] = (uint8_t)(value >> 16);
    at[2] = (uint8_t)(value >> 8);
    at[3] = (uint8_t)value;
}

// A message's first five bytes: the length of what follows it (the id and
// `payload` bytes), then the id.
static void PutHeader(uint8_t *at, int id, int payload) {
    PutBig32(at, (uint32_t)(1 + payload));
    at[4] = (uint8_t)id;
}

// The identity printed in the stream's lines: the transport's handle address, cut to 32 bits.
static unsigned InternalIdentity(StreamStruct *stream) {
    if (stream->Transport == nullptr)
        return 0;
    return (unsigned)(uintptr_t)stream->Transport->Handle;
}

int Stream_Create(StreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    *stream = nullptr;
    StreamStruct *s = ZYL_NEW(StreamStruct);
    s->Tag = StreamTag;
    BufferIO_Create(&s->In);
    BufferIO_Create(&s->Out);
    BufferIO_SetLimit(s->In, STREAM_INPUT_LIMIT);
    *stream = s;
    return 1;
}

int Stream_Destroy(StreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    StreamStruct *s = *stream;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, StreamTag);
    if (s->Transport != nullptr && s->Transport->Handle != nullptr &&
        Transport_IsOpen(s->Transport) && s->Hooks.Log != nullptr)
        s->Hooks.Log(s->Owner, "Stream not closed on exit");
    Zyl_Print("%.8X: Buffer (In:%dk  Out:%dk)\n", InternalIdentity(s), s->In->Capacity / 1024,
              s->Out->Capacity / 1024);
    BufferIO_Destroy(&s->In);
    BufferIO_Destroy(&s->Out);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(StreamStruct));
    *stream = nullptr;
    return 1;
}

int Stream_SetTransport(StreamStruct *stream, TransportStruct *transport) {
    ZYL_CHECK_TAG(stream, StreamTag);
    stream->Transport = transport;
    return 1;
}

int Stream_SetOwner(StreamStruct *stream, BitPeerStruct *owner, const StreamLogHooks *hooks) {
    ZYL_CHECK_TAG(stream, StreamTag);
    stream->Owner = owner;
    stream->Hooks = hooks ? *hooks : StreamLogHooks{};
    return 1;
}

int Stream_Close(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    TransportStruct *t = stream->Transport;
    if (t != nullptr && t->Handle != nullptr) {
        int protocol = 0;
        Transport_GetProtocol(t, &protocol);
        if (protocol != 2)
            Transport_Close(t);
    }
    BufferIO_Reset(stream->In);
    BufferIO_Reset(stream->Out);
    return 1;
}

// ---------------------------------------------------------------------------
// Writers
// ---------------------------------------------------------------------------

// Both log entries of one written message; formatted only when a hook wants them.
static void InternalLog(StreamStruct *stream, int id, const char *line, const char *detail) {
    if (stream->Hooks.Log != nullptr)
        stream->Hooks.Log(stream->Owner, line);
    if (stream->Hooks.LogMessage != nullptr && detail != nullptr)
        stream->Hooks.LogMessage(stream->Owner, STREAM_DIRECTION_SENT, id, detail);
}

static int InternalLogging(StreamStruct *stream) {
    return stream->Hooks.Log != nullptr || stream->Hooks.LogMessage != nullptr;
}

int Stream_Flush(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    if (stream->Out->Used == 0)
        return 1;
    if (stream->Transport == nullptr) {
        Zyl_Print("Stream_Flush() no transport set\n");
        return 0;
    }
    return BufferIO_Flush(stream->Out, stream->Transport);
}

// Appends the header of `size` bytes (and flushes when asked).
static int InternalSend(StreamStruct *stream, const uint8_t *bytes, int size, int flush) {
    if (!BufferIO_Append(stream->Out, stream->Transport, bytes, size))
        return 0;
    return flush ? Stream_Flush(stream) : 1;
}

// Length 1 + 4 * count, the id, then count big-endian integers.
static int InternalSendIntegers(StreamStruct *stream, int id, const uint32_t *values, int count,
                                int flush) {
    uint8_t header[17];
    PutHeader(header, id, 4 * count);
    for (int k = 0; k < count; k++)
        PutBig32(header + 5 + 4 * k, values[k]);
    return InternalSend(stream, header, 5 + 4 * count, flush);
}

int Stream_WriteKeepAlive(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    InternalLog(stream, STREAM_ID_NONE, "[Write] Keep alive", nullptr);
    const uint8_t bytes[4] = {0, 0, 0, 0};
    return InternalSend(stream, bytes, 4, 1);
}

int Stream_WriteFlow(StreamStruct *stream, int flow) {
    ZYL_CHECK_TAG(stream, StreamTag);
    static const char *const kNames[] = {"Choke", "Unchoke", "Interested", "Not Interested"};
    if (InternalLogging(stream)) {
        char line[kLogLineSize];
        Zyl_FormatString(line, sizeof line, "[Write] Flow [%d:%s]", flow,
                         flow >= 0 && flow <= 3 ? kNames[flow] : "Unknown");
        InternalLog(stream, flow, line, "");
    }
    return InternalSendIntegers(stream, flow, nullptr, 0, 1);
}

// Have, Suggest and Allow Fast: one index.
static int InternalWriteIndex(StreamStruct *stream, int id, ZylFormat<int> format,
                              ZylFormat<int> detail, uint32_t index) {
    if (InternalLogging(stream)) {
        char line[kLogLineSize];
        char text[kLogLineSize];
        (Zyl_FormatString)(line, sizeof line, format.Text, (int)index);
        (Zyl_FormatString)(text, sizeof text, detail.Text, (int)index);
        InternalLog(stream, id, line, text);
    }
    return InternalSendIntegers(stream, id, &index, 1, 1);
}

int Stream_WriteHave(StreamStruct *stream, uint32_t index) {
    ZYL_CHECK_TAG(stream, StreamTag);
    return InternalWriteIndex(stream, STREAM_ID_HAVE, "[Write] Have it [%d]", "Index %d", index);
}

int Stream_WriteSuggest(StreamStruct *stream, uint32_t index) {
    ZYL_CHECK_TAG(stream, StreamTag);
    return InternalWriteIndex(stream, STREAM_ID_SUGGEST, "[Write] Suggest [%d]", "Index %d", index);
}

int Stream_WriteAllowFast(StreamStruct *stream, uint32_t index) {
    ZYL_CHECK_TAG(stream, StreamTag);
    return InternalWriteIndex(stream, STREAM_ID_ALLOW_FAST, "[Write] Allow Fast [%d]", "%d", index);
}

// Request, Cancel and Reject: index, begin, length.
static int InternalWriteTriple(StreamStruct *stream, int id, ZylFormat<int, int, int> format,
                               const uint32_t values[3], int flush) {
    if (InternalLogging(stream)) {
        char line[kLogLineSize];
        char text[kLogLineSize];
        (Zyl_FormatString)(line, sizeof line, format.Text, (int)values[0], (int)values[1],
                           (int)values[2]);
        if (id == STREAM_ID_REJECT)
            Zyl_FormatString(text, sizeof text, "%d/%d", (int)values[0], (int)values[1]);
        else
            Zyl_FormatString(text, sizeof text, "Index/Offset/Length %d/%d/%d", (int)values[0],
                             (int)values[1], (int)values[2]);
        InternalLog(stream, id, line, text);
    }
    return InternalSendIntegers(stream, id, values, 3, flush);
}

int Stream_WriteRequest(StreamStruct *stream, uint32_t index, uint32_t begin, uint32_t length) {
    ZYL_CHECK_TAG(stream, StreamTag);
    const uint32_t values[3] = {index, begin, length};
    return InternalWriteTriple(stream, STREAM_ID_REQUEST, "[Write] Looking for [%d:%d:%d]", values,
                               0);
}

int Stream_WriteCancel(StreamStruct *stream, uint32_t index, uint32_t begin, uint32_t length) {
    ZYL_CHECK_TAG(stream, StreamTag);
    const uint32_t values[3] = {index, begin, length};
    return InternalWriteTriple(stream, STREAM_ID_CANCEL, "[Write] Cancel [%d:%d:%d]", values, 0);
}

int Stream_WriteReject(StreamStruct *stream, uint32_t index, uint32_t begin, uint32_t length) {
    ZYL_CHECK_TAG(stream, StreamTag);
    const uint32_t values[3] = {index, begin, length};
    return InternalWriteTriple(stream, STREAM_ID_REJECT, "[Write] Send Reject (%d:%d:%d)", values,
                               1);
}

int Stream_WriteHaveAll(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    InternalLog(stream, STREAM_ID_HAVE_ALL, "[Write] Have all", "");
    return InternalSendIntegers(stream, STREAM_ID_HAVE_ALL, nullptr, 0, 1);
}

int Stream_WriteHaveNone(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    InternalLog(stream, STREAM_ID_HAVE_NONE, "[Write] Have none", "");
    return InternalSendIntegers(stream, STREAM_ID_HAVE_NONE, nullptr, 0, 1);
}

int Stream_WriteBitField(StreamStruct *stream, const uint8_t *bytes, int n, int pieces) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(bytes);
    if (pieces < 1 || n != (pieces + 7) / 8) {
        Zyl_Print("Stream_WriteBitField() %d bytes do not fit %d pieces\n", n, pieces);
        return 0;
    }
    if (InternalLogging(stream)) {
        char line[kLogLineSize];
        Zyl_FormatString(line, sizeof line, "[Write] BitField [%d]", n);
        InternalLog(stream, STREAM_ID_BITFIELD, line, "");
    }
    // Room for the whole message first, so a failure leaves no partial message.
    if (!BufferIO_EnsureRoom(stream->Out, 5 + n, stream->Transport))
        return 0;
    uint8_t header[5];
    PutHeader(header, STREAM_ID_BITFIELD, n);
    // The spare bits of the last byte go out as 0, whatever the caller held there.
    const int spare = n * 8 - pieces;
    const uint8_t last = (uint8_t)(bytes[n - 1] & (0xFF << spare));
    if (!BufferIO_Append(stream->Out, nullptr, header, 5) ||
        !BufferIO_Append(stream->Out, nullptr, bytes, n - 1) ||
        !BufferIO_Append(stream->Out, nullptr, &last, 1))
        return 0;
    return Stream_Flush(stream);
}

int Stream_WritePiece(StreamStruct *stream, uint32_t index, uint32_t begin, const void *block,
                      int n, int *sent) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(block);
    ZYL_CHECK_PTR(sent);
    *sent = 0;
    if (n < 0 || n > (int)BUFFERIO_MAX_CAPACITY - (int)kPieceHeaderSize) {
        Zyl_Print("Stream_WritePiece() block length out of range (%d)\n", n);
        return 0;
    }
    if (InternalLogging(stream)) {
        char line[kLogLineSize];
        char text[kLogLineSize];
        Zyl_FormatString(line, sizeof line, "[Write] Send Piece (%d:%d:%d)", (int)index, (int)begin,
                         n);
        Zyl_FormatString(text, sizeof text, "Index/Offset %d/%d", (int)index, (int)begin);
        InternalLog(stream, STREAM_ID_PIECE, line, text);
    }
    // Room for the whole message: flush, then grow. A full buffer at its limit
    // is "try again later" (sent 0), only a failed transport is an error.
    BufferIOStruct *out = stream->Out;
    if (out->Capacity - out->Head - out->Used < kPieceHeaderSize + n) {
        if (stream->Transport != nullptr && !BufferIO_Flush(out, stream->Transport))
            return 0;
        if (!BufferIO_EnsureRoom(out, kPieceHeaderSize + n, nullptr))
            return 1;
    }
    uint8_t header[kPieceHeaderSize];
    PutHeader(header, STREAM_ID_PIECE, 8 + n);
    PutBig32(header + 5, index);
    PutBig32(header + 9, begin);
    if (!BufferIO_Append(out, nullptr, header, kPieceHeaderSize) ||
        !BufferIO_Append(out, nullptr, block, n))
        return 0;
    *sent = n;
    return Stream_Flush(stream);
}

int Stream_WriteBuffer(StreamStruct *stream, const void *bytes, int n) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(bytes);
    if (InternalLogging(stream)) {
        char line[kLogLineSize];
        Zyl_FormatString(line, sizeof line, "[Write] Buffer [%d]", n);
        InternalLog(stream, STREAM_ID_NONE, line, nullptr);
    }
    return InternalSend(stream, static_cast<const uint8_t *>(bytes), n, 1);
}

// ---------------------------------------------------------------------------
// Reading side
// ---------------------------------------------------------------------------

int Stream_HasMessage(StreamStruct *stream, int *ready) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(ready);
    *ready = 0;
    BufferIOStruct *in = stream->In;
    if (in->Used < 4)
        return 1;
    const uint32_t length = Socket_ReadBigEndian32(in->Data + in->Head);
    if (length > STREAM_MAX_MESSAGE_LENGTH) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "%.8X: Message too long (%u > %d)",
                  InternalIdentity(stream), length, STREAM_MAX_MESSAGE_LENGTH);
        return 0;
    }
    if ((int64_t)in->Used >= (int64_t)length + 4)
        *ready = 1;
    return 1;
}

int Stream_Peek(StreamStruct *stream, uint8_t **data, int *n) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(n);
    *data = stream->In->Data + stream->In->Head;
    *n = stream->In->Used;
    return 1;
}

int Stream_ConsumeMessage(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    BufferIOStruct *in = stream->In;
    if (in->Used < 4)
        return 0;
    const uint32_t length = Socket_ReadBigEndian32(in->Data + in->Head);
    if (length > STREAM_MAX_MESSAGE_LENGTH || (int64_t)in->Used < (int64_t)length + 4)
        return 0;
    return BufferIO_Consume(in, (int)length + 4);
}

int Stream_Consume(StreamStruct *stream, int n) {
    ZYL_CHECK_TAG(stream, StreamTag);
    return BufferIO_Consume(stream->In, n);
}

int Stream_Fill(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    if (stream->Transport == nullptr) {
        Zyl_Print("Stream_Fill() no transport set\n");
        return 0;
    }
    return BufferIO_Fill(stream->In, stream->Transport);
}

int Stream_HasOutput(StreamStruct *stream) {
    ZYL_CHECK_TAG(stream, StreamTag);
    return stream->Out->Used > 0 ? 1 : 0;
}

int Stream_GetInBuffer(StreamStruct *stream, BufferIOStruct **buffer) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(buffer);
    *buffer = stream->In;
    return 1;
}

int Stream_GetOutBuffer(StreamStruct *stream, BufferIOStruct **buffer) {
    ZYL_CHECK_TAG(stream, StreamTag);
    ZYL_CHECK_PTR(buffer);
    *buffer = stream->Out;
    return 1;
}
