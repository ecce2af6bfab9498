// Helpers for the DHT tests: bencoded datagrams written by hand, a remote UDP
// endpoint on 127.0.0.1 that plays another node, and a node under an injected
// clock bound to 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/dht.h"
#include "net/socket.h"

namespace dhttest {

inline const uint8_t kLoopback[4] = {127, 0, 0, 1};

inline std::string B(const std::string &s) {
    return std::to_string(s.size()) + ":" + s;
}
inline std::string Id(char c) {
    return std::string(20, c);
}
inline std::string Bytes(const uint8_t *p, int n) {
    return std::string((const char *)p, n);
}
inline std::string CompactPeer(int a, int b, int c, int d, int port) {
    const char bytes[6] = {(char)a, (char)b, (char)c, (char)d, (char)(port >> 8), (char)port};
    return std::string(bytes, 6);
}
inline std::string CompactNode(const std::string &id, int a, int b, int c, int d, int port) {
    return id + CompactPeer(a, b, c, d, port);
}
inline std::string Query(const std::string &method, const std::string &args,
                         const std::string &t = B("aa")) {
    return "d1:ad" + args + "e1:q" + B(method) + "1:t" + t + "1:y1:qe";
}
inline std::string Reply(const std::string &body, const std::string &t) {
    return "d1:rd" + body + "e1:t" + t + "1:y1:re";
}

// A UDP endpoint on 127.0.0.1 playing a remote node.
class Remote {
  public:
    Remote() {
        Socket_Create(&socket);
        Socket_Open(socket, SOCKET_PROTOCOL_UDP);
        EXPECT_EQ(1, Socket_Bind(socket, kLoopback, 0));
        uint8_t address[4];
        Socket_GetSockName(socket, address, &port);
        Socket_SetTimeouts(socket, 200, 200, 200);
    }
    ~Remote() { Socket_Destroy(&socket); }
    Remote(const Remote &) = delete;
    Remote &operator=(const Remote &) = delete;
    void Send(int toPort, const std::string &packet) {
        int count = 0;
        EXPECT_EQ(1, Socket_WriteIP(socket, kLoopback, toPort, packet.data(), (int)packet.size(),
                                    &count));
    }
    // The next datagram, or "" after the read time-out.
    std::string Receive() {
        char buffer[4096];
        uint8_t address[4];
        int from = 0, count = 0;
        if (!Socket_ReadIP(socket, address, &from, buffer, sizeof buffer, &count))
            return "";
        return std::string(buffer, count);
    }
    // Every datagram waiting now.
    int Drain() {
        int n = 0;
        Socket_SetTimeouts(socket, 20, 200, 200);
        while (!Receive().empty())
            n++;
        Socket_SetTimeouts(socket, 200, 200, 200);
        return n;
    }
    SocketStruct *socket = nullptr;
    int port = 0;
};

// The bytes after key's "N:" in a bencoded packet (first occurrence), n of them.
inline std::string ValueAfter(const std::string &packet, const std::string &key, int n) {
    const size_t at = packet.find(B(key));
    if (at == std::string::npos)
        return "";
    const size_t colon = packet.find(':', at + B(key).size());
    return colon == std::string::npos ? "" : packet.substr(colon + 1, n);
}

} // namespace dhttest
