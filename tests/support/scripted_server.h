// A scripted TCP server on 127.0.0.1 for network tests: each accepted
// connection is handed to the test's handler on the server thread, which reads
// the client's exact bytes and answers with whatever the test wants (malformed
// replies included). Stopped and joined on destruction.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

// One accepted connection, as the handler sees it.
class ScriptedConnection {
  public:
    explicit ScriptedConnection(int fd) : fd_(fd) {}
    // Reads one request: the head up to the blank line plus a Content-Length
    // body. Empty when the client closed (or nothing came within 10 s).
    std::string ReadRequest();
    // Reads whatever arrives within `ms` (at most `limit` bytes).
    std::string ReadSome(int ms, size_t limit = 65536);
    // Sends all bytes (gives up when the client has gone).
    bool Send(const std::string &bytes);
    void Close();
    int fd() const { return fd_; }

  private:
    int fd_;
    std::string pending_; // bytes read past the last request
};

class ScriptedServer {
  public:
    using Handler = std::function<void(ScriptedConnection &connection, int index)>;
    // Starts listening on a free port of 127.0.0.1; `index` counts connections from 0.
    explicit ScriptedServer(Handler handler);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    int port() const { return port_; }
    std::string url(const std::string &path) const;
    // Every request read through ReadRequest, in order.
    std::vector<std::string> requests();
    int connections() const { return connections_.load(); }

    // A handler that answers every request of a connection with `reply` and
    // closes the connection after it when `close` is set.
    static Handler Reply(const std::string &reply, bool close = true);

    void Record(const std::string &request);

  private:
    void Run();
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    Handler handler_;
    std::thread thread_;
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// A thread-local link from connections to their server for recording.
void SetCurrentServer(ScriptedServer *server);

} // namespace nettest
