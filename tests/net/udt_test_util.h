// Helpers shared by the reliable-UDP socket tests: library start, listeners and
// connected pairs on 127.0.0.1, and a pattern stream whose bytes depend on their
// offset, so any loss, duplication or reordering changes the digest.
#pragma once

#include <cstdint>
#include <string>

#include "net/udt.h"

namespace udttest {

// Starts the socket layer and the library once per test program.
void Start();
// A blocking socket listening on 127.0.0.1 with a system-chosen port.
UDTSocketStruct *Listen(int *port, int backlog = 10);
// Connects a new blocking socket to 127.0.0.1:port; null (error in *error) on failure.
UDTSocketStruct *Connect(int port, int *error, int reuse = 1);
// The pattern byte at stream offset i.
inline uint8_t PatternByte(uint64_t i) {
    return (uint8_t)((i * 2654435761u) >> 13);
}
void FillPattern(uint8_t *buffer, int length, uint64_t offset);
// Hex SHA-1 of the pattern stream's first n bytes.
std::string PatternDigest(uint64_t n);

// Incremental SHA-1 in hex of bytes received.
struct Digest {
    Digest();
    ~Digest();
    void Update(const void *data, int length);
    std::string Final();
    void *State;
};

// Writes n pattern bytes then closes (lingering so every byte arrives); returns
// the bytes written. Runs on the calling thread.
uint64_t SendPattern(UDTSocketStruct *socket, uint64_t n);
// Reads until the peer's close is seen; returns the bytes read and their digest.
uint64_t ReceiveAll(UDTSocketStruct *socket, std::string *digest);

} // namespace udttest
