// Helpers of the reliable-UDP socket tests (see udt_test_util.h).
#include "udt_test_util.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "core/sha1.h"
#include "net/socket.h"
#include "tests/support/leak_check.h"

namespace udttest {

void Start() {
    static std::once_flag once;
    // The socket layers stay started for the rest of the process.
    std::call_once(once, [] {
        testsupport::KeepForProcess([] {
            Socket_Init();
            return UDTSocket_Init();
        });
    });
}

static const uint8_t kLoopback[4] = {127, 0, 0, 1};

UDTSocketStruct *Listen(int *port, int backlog) {
    Start();
    UDTSocketStruct *s = nullptr;
    UDTSocket_Create(&s);
    EXPECT_TRUE(UDTSocket_Open(s));
    EXPECT_TRUE(UDTSocket_SetBacklog(s, backlog));
    EXPECT_TRUE(UDTSocket_SetReuseAddress(s, 0)); // a port of its own
    EXPECT_TRUE(UDTSocket_Bind(s, kLoopback, 0));
    EXPECT_TRUE(UDTSocket_Listen(s));
    uint8_t address[4];
    EXPECT_TRUE(UDTSocket_GetSockName(s, address, port));
    return s;
}

UDTSocketStruct *Connect(int port, int *error, int reuse) {
    Start();
    UDTSocketStruct *s = nullptr;
    UDTSocket_Create(&s);
    UDTSocket_Open(s);
    UDTSocket_SetReuseAddress(s, reuse);
    if (!UDTSocket_Connect(s, kLoopback, port)) {
        *error = UDTSocket_GetLastError(s);
        UDTSocket_Destroy(&s);
        return nullptr;
    }
    *error = 0;
    return s;
}

void FillPattern(uint8_t *buffer, int length, uint64_t offset) {
    for (int i = 0; i < length; i++) {
        buffer[i] = PatternByte(offset + (uint64_t)i);
    }
}

Digest::Digest() {
    Sha1Struct *sha = nullptr;
    Sha1_Create(&sha);
    Sha1_Init(sha);
    State = sha;
}

Digest::~Digest() {
    Sha1Struct *sha = static_cast<Sha1Struct *>(State);
    Sha1_Destroy(&sha);
}

void Digest::Update(const void *data, int length) {
    Sha1_Update(static_cast<Sha1Struct *>(State), data, length);
}

std::string Digest::Final() {
    Sha1Struct *sha = static_cast<Sha1Struct *>(State);
    Sha1_Final(sha);
    uint8_t digest[20];
    Sha1_GetDigest(sha, digest, sizeof digest);
    char hex[41];
    for (int i = 0; i < 20; i++) {
        static const char digits[] = "0123456789abcdef";
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 15];
    }
    return std::string(hex, 40);
}

std::string PatternDigest(uint64_t n) {
    Digest d;
    std::vector<uint8_t> chunk(1 << 16);
    for (uint64_t done = 0; done < n;) {
        int len = (int)std::min<uint64_t>(chunk.size(), n - done);
        FillPattern(chunk.data(), len, done);
        d.Update(chunk.data(), len);
        done += (uint64_t)len;
    }
    return d.Final();
}

uint64_t SendPattern(UDTSocketStruct *socket, uint64_t n) {
    std::vector<uint8_t> chunk(1 << 16);
    uint64_t done = 0;
    UDTSocket_SetLinger(socket, 1, 30);
    while (done < n) {
        int len = (int)std::min<uint64_t>(chunk.size(), n - done);
        FillPattern(chunk.data(), len, done);
        int off = 0;
        while (off < len) {
            int written = 0;
            if (!UDTSocket_Write(socket, chunk.data() + off, len - off, &written)) {
                return done + (uint64_t)off;
            }
            off += written;
        }
        done += (uint64_t)len;
    }
    UDTSocket_Close(socket);
    return done;
}

uint64_t ReceiveAll(UDTSocketStruct *socket, std::string *digest) {
    Digest d;
    std::vector<uint8_t> buffer(1 << 16);
    uint64_t total = 0;
    for (;;) {
        int n = 0;
        if (!UDTSocket_Read(socket, buffer.data(), (int)buffer.size(), &n)) {
            break;
        }
        d.Update(buffer.data(), n);
        total += (uint64_t)n;
    }
    *digest = d.Final();
    return total;
}

} // namespace udttest
