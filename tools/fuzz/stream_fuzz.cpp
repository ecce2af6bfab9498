// libFuzzer target for the peer-wire stream's message reader: the input (after
// a first byte choosing the delivery chunk size and the cipher) arrives in the
// stream's input buffer piece by piece, and the connection's loop (whole
// message? peek, consume) must report exactly the messages a plain framing
// model finds, refuse at the first over-long length and never grow the buffer
// past one longest message.
#include "core/rc4.h"
#include "core/zyl.h"
#include "engine/bufferio.h"
#include "engine/stream.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

StreamStruct *g_stream = nullptr;
const uint8_t kKey[BUFFERIO_KEY_SIZE] = {'s', 't', 'r', 'e', 'a', 'm'};

uint32_t Big32(const uint8_t *at) {
    return (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | at[3];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("fuzz.log", 0);
    Zyl_MemoryInit(INT_MAX);
    Stream_Create(&g_stream);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 << 20)
        return 0;
    const int chunk = (data[0] & 0x7F) * 97 + 1;
    const bool cipher = (data[0] & 0x80) != 0;
    std::vector<uint8_t> wire(data + 1, data + size);
    std::vector<uint8_t> plain = wire;
    BufferIOStruct *in = nullptr;
    Stream_GetInBuffer(g_stream, &in);
    Stream_Close(g_stream);
    if (cipher) {
        // The wire holds the fuzzer's bytes; the model reads them decrypted.
        Rc4Struct *rc4 = nullptr;
        Rc4_Create(&rc4);
        Rc4_SetKey(rc4, kKey, BUFFERIO_KEY_SIZE);
        Rc4_Crypt(rc4, plain.data(), (int64_t)plain.size());
        Rc4_Destroy(&rc4);
        BufferIO_SetKey(in, kKey);
        BufferIO_SetCipher(in, 1);
    }
    size_t model = 0;     // the next message's offset in plain
    size_t delivered = 0; // bytes handed to the stream
    bool refused = false;
    while (delivered < wire.size() && !refused) {
        // As a fill does: at most what the buffer can still take.
        int used = 0;
        BufferIO_GetUsed(in, &used);
        size_t n = wire.size() - delivered;
        if (n > (size_t)chunk)
            n = (size_t)chunk;
        if (n > (size_t)(STREAM_INPUT_LIMIT - used))
            n = (size_t)(STREAM_INPUT_LIMIT - used);
        if (n == 0)
            abort(); // a whole message left unread, or the limit does not hold one
        if (!BufferIO_Append(in, nullptr, wire.data() + delivered, (int)n))
            abort();
        delivered += n;
        for (;;) {
            int ready = -1;
            const bool header = delivered - model >= 4;
            const uint32_t length = header ? Big32(plain.data() + model) : 0;
            if (!Stream_HasMessage(g_stream, &ready)) {
                if (!header || length <= STREAM_MAX_MESSAGE_LENGTH)
                    abort();
                refused = true;
                break;
            }
            const bool whole = header && length <= STREAM_MAX_MESSAGE_LENGTH &&
                               delivered - model >= (size_t)length + 4;
            if (ready != (whole ? 1 : 0))
                abort();
            if (!whole)
                break;
            uint8_t *at = nullptr;
            int held = 0;
            Stream_Peek(g_stream, &at, &held);
            if ((size_t)held != delivered - model ||
                memcmp(at, plain.data() + model, length + 4) != 0)
                abort();
            if (!Stream_ConsumeMessage(g_stream))
                abort();
            model += length + 4;
        }
        int capacity = 0;
        BufferIO_GetCapacity(in, &capacity);
        if (capacity > STREAM_INPUT_LIMIT)
            abort();
    }
    // What is left can be dropped as handshake bytes are.
    int used = 0;
    BufferIO_GetUsed(in, &used);
    if (!Stream_Consume(g_stream, used) || Stream_Consume(g_stream, 1))
        abort();
    return 0;
}
