// Shared by the embedded HTTP server's tests: a clock the test moves by hand,
// a server listening on an ephemeral port of 127.0.0.1, and a raw client
// socket for exact request bytes that reads what the server sends back.
#pragma once

#include "net/webserv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace webservtest {

// The test's clock in seconds: it moves only when a test changes g_clock.
inline double g_clock = 1000.0;
inline double TestClock() {
    return g_clock;
}

// Creates a server set to listen on 127.0.0.1 at a port the system picks
// (read it with WebServer_GetListenPort once started); 1 on success.
inline int CreateLoopbackServer(WebServerStruct **server) {
    if (!WebServer_Create(server))
        return 0;
    WebServer_SetPort(*server, 0);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    WebServer_SetBindAddress(*server, loopback);
    return 1;
}

// Starts the server's listener (and thread, when threaded) and reads the port
// it took; 1 on success.
inline int StartListening(WebServerStruct *server, int *port) {
    return WebServer_StartThread(server, 1) == 1 && WebServer_GetListenPort(server, port) == 1;
}

// A raw client socket on 127.0.0.1; connect completes into the listener's
// backlog, so the server need not run meanwhile.
class Client {
  public:
    explicit Client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons((uint16_t)port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, (sockaddr *)&address, sizeof address) == 0;
    }
    ~Client() { Close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool Connected() const { return connected_; }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool Send(const std::string &bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
    }
    // Reads what has arrived, waiting at most `ms` for the first byte; sets
    // *ended when the server closed the connection.
    std::string Read(int ms, bool *ended) {
        std::string got;
        *ended = false;
        char buffer[65536];
        for (;;) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, got.empty() ? ms : 0) <= 0)
                return got;
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                *ended = true;
                return got;
            }
            got.append(buffer, (size_t)n);
        }
    }
    // Reads until the server closes the connection, nothing arrives for `ms`,
    // or (when `until` is not 0) at least `until` bytes came; sets *ended
    // (when given) to whether the server closed it.
    std::string ReadToEnd(int ms, size_t until = 0, bool *ended = nullptr) {
        std::string reply;
        bool closed = false;
        while (!closed && (until == 0 || reply.size() < until)) {
            std::string got = Read(ms, &closed);
            if (got.empty() && !closed)
                break; // stalled
            reply += got;
        }
        if (ended != nullptr)
            *ended = closed;
        return reply;
    }
    // True when the server has closed the connection (checked without waiting).
    bool ClosedByServer() {
        bool ended = false;
        Read(0, &ended);
        return ended;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace webservtest
