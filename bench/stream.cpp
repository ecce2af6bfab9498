// The peer-wire stream on loopback: 1 GiB of 16 KiB Piece messages written
// through a stream over a TCP pair of the transport layer and read by a stream
// on another thread, against a plain send/recv loop moving the same bytes; and
// the same with RC4 on in both directions, against the plain loop with
// Rc4_Crypt over the bytes on each side. Only the transfer is timed.
// Each block starts with its message number: the reading side of both checks
// every message's header and number and the byte total.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/bench_main.h"
#include "core/rc4.h"
#include "engine/bufferio.h"
#include "engine/stream.h"
#include "engine/transport.h"
#include "net/socket.h"

namespace {

const int kBlock = 16384;
const int kMessage = kBlock + 13;
const int kMessages = (int)((INT64_C(1) << 30) / kBlock);
const uint8_t kLoopback[4] = {127, 0, 0, 1};
const uint8_t kKeys[2][BUFFERIO_KEY_SIZE] = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                             {11, 12, 13, 14, 15, 16, 17, 18, 19, 20}};

// Pins the calling thread to the processor named by the variable (when set).
void Pin(const char *variable) {
    const char *text = getenv(variable);
    if (text == nullptr)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET((int)strtol(text, nullptr, 10), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Four bytes at at, most significant first.
void PutBig32(uint8_t *at, uint32_t value) {
    Socket_HostToNet32(at, &value);
}

// The block of message k: its number, then a fixed pattern.
std::vector<uint8_t> Block() {
    std::vector<uint8_t> block(kBlock);
    for (int i = 0; i < kBlock; i++)
        block[(size_t)i] = (uint8_t)(i * 31 + 7);
    return block;
}

// Waits until t can be written (or read) again.
void WaitFor(TransportStruct *t, TransportSelectStruct *set, bool writable) {
    Transport_SelectClear(set);
    Transport_SelectAdd(t, set);
    int ready = 0;
    Transport_Wait(writable ? nullptr : set, writable ? set : nullptr, nullptr, 1000, &ready);
}

// After a send or recv on a non-blocking socket returned n: true when it would
// have blocked, once fd is ready for events (or a second passed) to try again.
bool Retry(ssize_t n, int fd, short events) {
    if (n >= 0 || errno != EAGAIN)
        return false;
    struct pollfd p = {fd, events, 0};
    poll(&p, 1, 1000);
    return true;
}

// A connected, non-blocking TCP pair of the transport layer.
bool Pair(TransportStruct **a, TransportStruct **b) {
    static bool started = Transport_Startup() == 1;
    (void)started;
    TransportStruct *listener = nullptr;
    Transport_Create(&listener);
    Transport_SetType(listener, TRANSPORT_TYPE_NORMAL);
    uint8_t address[4];
    int port = 0;
    bool ok = Transport_Open(listener) && Transport_Bind(listener, kLoopback, 0) &&
              Transport_Listen(listener) && Transport_GetSockName(listener, address, &port);
    Transport_Create(a);
    Transport_SetType(*a, TRANSPORT_TYPE_NORMAL);
    ok = ok && Transport_Open(*a) && Transport_Connect(*a, kLoopback, port) &&
         Transport_Accept(listener, b) && *b != nullptr;
    Transport_Destroy(&listener);
    return ok && Transport_SetBlocking(*a) && Transport_SetBlocking(*b);
}

void Cipher(StreamStruct *s, int first) {
    BufferIOStruct *in = nullptr, *out = nullptr;
    Stream_GetInBuffer(s, &in);
    Stream_GetOutBuffer(s, &out);
    BufferIO_SetKey(out, kKeys[first]);
    BufferIO_SetKey(in, kKeys[1 - first]);
    BufferIO_SetCipher(out, 1);
    BufferIO_SetCipher(in, 1);
}

// Ours: the writer thread sends every Piece, the calling thread reads them.
// Returns null or what was wrong.
const char *RunStreams(bool cipher, double *seconds) {
    TransportStruct *a = nullptr, *b = nullptr;
    if (!Pair(&a, &b))
        return "no connection";
    StreamStruct *writer = nullptr, *reader = nullptr;
    Stream_Create(&writer);
    Stream_Create(&reader);
    Stream_SetTransport(writer, a);
    Stream_SetTransport(reader, b);
    if (cipher) {
        Cipher(writer, 0);
        Cipher(reader, 1);
    }
    std::vector<uint8_t> block = Block();
    const char *writeError = nullptr;
    const auto start = std::chrono::steady_clock::now();
    std::thread thread([&] {
        Pin("BENCH_SERVER_CPU");
        TransportSelectStruct *set = nullptr;
        TransportSelect_Create(&set);
        TransportSelect_Bind(set, TRANSPORT_TYPE_NORMAL);
        for (int k = 0; k < kMessages && writeError == nullptr;) {
            memcpy(block.data(), &k, sizeof k);
            int sent = 0;
            if (!Stream_WritePiece(writer, (uint32_t)k, 0, block.data(), kBlock, &sent))
                writeError = "write failed";
            else if (sent == 0)
                WaitFor(a, set, true);
            else
                k++;
        }
        while (writeError == nullptr && Stream_HasOutput(writer)) {
            WaitFor(a, set, true);
            if (!Stream_Flush(writer))
                writeError = "flush failed";
        }
        TransportSelect_Destroy(&set);
    });
    Pin("BENCH_CLIENT_CPU");
    const char *error = nullptr;
    TransportSelectStruct *set = nullptr;
    TransportSelect_Create(&set);
    TransportSelect_Bind(set, TRANSPORT_TYPE_NORMAL);
    for (int k = 0; k < kMessages && error == nullptr;) {
        if (!Stream_Fill(reader)) {
            error = "read failed";
            break;
        }
        int ready = 0;
        bool any = false;
        while (k < kMessages && Stream_HasMessage(reader, &ready) && ready) {
            uint8_t *data = nullptr;
            int n = 0;
            Stream_Peek(reader, &data, &n);
            int number = -1;
            memcpy(&number, data + 13, sizeof number);
            if (Socket_ReadBigEndian32(data) != kBlock + 9 || data[4] != STREAM_ID_PIECE ||
                Socket_ReadBigEndian32(data + 5) != (uint32_t)k || number != k) {
                error = "wrong message";
                break;
            }
            Stream_ConsumeMessage(reader);
            k++;
            any = true;
        }
        if (!any)
            WaitFor(b, set, false);
    }
    thread.join();
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    TransportSelect_Destroy(&set);
    uint8_t *data = nullptr;
    int left = 0;
    Stream_Peek(reader, &data, &left);
    if (error == nullptr && (writeError != nullptr || left != 0))
        error = writeError ? writeError : "bytes after the last message";
    Stream_Close(writer);
    Stream_Close(reader);
    Stream_Destroy(&writer);
    Stream_Destroy(&reader);
    Transport_Destroy(&a);
    Transport_Destroy(&b);
    return error;
}

// The reference: the same bytes through blocking send and recv on plain
// sockets, with Rc4_Crypt on each side when asked.
const char *RunPlain(bool cipher, double *seconds) {
    // The same loopback TCP pair as ours; only its descriptors are used.
    TransportStruct *a = nullptr, *b = nullptr;
    if (!Pair(&a, &b))
        return "no connection";
    int fa = -1, fb = -1;
    Socket_GetHandle(static_cast<SocketStruct *>(a->Handle), &fa);
    Socket_GetHandle(static_cast<SocketStruct *>(b->Handle), &fb);
    Rc4Struct *encrypt = nullptr, *decrypt = nullptr;
    Rc4_Create(&encrypt);
    Rc4_Create(&decrypt);
    Rc4_SetKey(encrypt, kKeys[0], BUFFERIO_KEY_SIZE);
    Rc4_SetKey(decrypt, kKeys[0], BUFFERIO_KEY_SIZE);
    std::vector<uint8_t> block = Block();
    const char *writeError = nullptr;
    const auto start = std::chrono::steady_clock::now();
    std::thread thread([&] {
        Pin("BENCH_SERVER_CPU");
        std::vector<uint8_t> message(kMessage);
        for (int k = 0; k < kMessages && writeError == nullptr; k++) {
            PutBig32(message.data(), kBlock + 9);
            message[4] = STREAM_ID_PIECE;
            PutBig32(message.data() + 5, (uint32_t)k);
            PutBig32(message.data() + 9, 0);
            memcpy(block.data(), &k, sizeof k);
            memcpy(message.data() + 13, block.data(), kBlock);
            if (cipher)
                Rc4_Crypt(encrypt, message.data(), kMessage);
            for (int done = 0; done < kMessage;) {
                ssize_t n = send(fa, message.data() + done, (size_t)(kMessage - done), 0);
                if (Retry(n, fa, POLLOUT))
                    continue;
                if (n <= 0) {
                    writeError = "send failed";
                    break;
                }
                done += (int)n;
            }
        }
    });
    Pin("BENCH_CLIENT_CPU");
    const char *error = nullptr;
    const int64_t total = (int64_t)kMessages * kMessage;
    std::vector<uint8_t> buffer(1 << 16);
    int64_t at = 0;
    while (at < total) {
        ssize_t n = recv(fb, buffer.data(), buffer.size(), 0);
        if (Retry(n, fb, POLLIN))
            continue;
        if (n <= 0) {
            error = "recv failed";
            break;
        }
        if (cipher)
            Rc4_Crypt(decrypt, buffer.data(), n);
        // Every message number that lies whole in this chunk.
        const int64_t end = at + n;
        for (int64_t k = at / kMessage; k * kMessage < end; k++) {
            const int64_t number = k * kMessage + 13;
            if (number >= at && number + 4 <= end) {
                int value = -1;
                memcpy(&value, buffer.data() + (number - at), sizeof value);
                if (value != (int)k) {
                    error = "wrong message";
                    break;
                }
            }
        }
        at = end;
    }
    thread.join();
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (error == nullptr && writeError != nullptr)
        error = writeError;
    Rc4_Destroy(&encrypt);
    Rc4_Destroy(&decrypt);
    Transport_Destroy(&a);
    Transport_Destroy(&b);
    return error;
}

void Run(benchmark::State &state, const char *(*run)(bool, double *), bool cipher) {
    for (auto _ : state) {
        double seconds = 0;
        const char *error = run(cipher, &seconds);
        if (error != nullptr) {
            state.SkipWithError(error);
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(state.iterations() * kMessages * (int64_t)kMessage);
}

void BM_StreamPiece(benchmark::State &state) {
    Run(state, RunStreams, false);
}
void BM_StreamPieceReference(benchmark::State &state) {
    Run(state, RunPlain, false);
}
void BM_StreamPieceRc4(benchmark::State &state) {
    Run(state, RunStreams, true);
}
void BM_StreamPieceRc4Reference(benchmark::State &state) {
    Run(state, RunPlain, true);
}

BENCHMARK(BM_StreamPiece)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamPieceReference)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamPieceRc4)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamPieceRc4Reference)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
