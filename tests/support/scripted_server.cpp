// Scripted TCP server for network tests (see scripted_server.h).
#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {

namespace {

thread_local ScriptedServer *tCurrent = nullptr;

size_t BodyLength(const std::string &head) {
    std::string lower = head;
    for (char &c : lower)
        c = (char)tolower((unsigned char)c);
    size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return (size_t)strtoull(lower.c_str() + at + 16, nullptr, 10);
}

} // namespace

void SetCurrentServer(ScriptedServer *server) {
    tCurrent = server;
}

std::string ScriptedConnection::ReadSome(int ms, size_t limit) {
    std::string out;
    char buffer[65536];
    while (out.size() < limit) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            break;
        ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, limit - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buffer, (size_t)n);
        ms = 0;
    }
    return out;
}

std::string ScriptedConnection::ReadRequest() {
    std::string data = pending_;
    pending_.clear();
    char buffer[16384];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return "";
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return "";
        data.append(buffer, (size_t)n);
    }
    size_t total = end + 4 + BodyLength(data.substr(0, end + 4));
    while (data.size() < total) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, (size_t)n);
    }
    if (data.size() > total) {
        pending_ = data.substr(total);
        data.resize(total);
    }
    if (tCurrent != nullptr)
        tCurrent->Record(data);
    return data;
}

bool ScriptedConnection::Send(const std::string &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

void ScriptedConnection::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, (struct sockaddr *)&sa, sizeof sa) != 0 || listen(listener_, 64) != 0)
        abort();
    socklen_t length = sizeof sa;
    getsockname(listener_, (struct sockaddr *)&sa, &length);
    port_ = ntohs(sa.sin_port);
    if (pipe(wake_) != 0)
        abort();
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
    if (write(wake_[1], "x", 1) != 1)
        abort();
    thread_.join();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

std::string ScriptedServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedServer::Record(const std::string &request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
}

ScriptedServer::Handler ScriptedServer::Reply(const std::string &reply, bool close) {
    return [reply, close](ScriptedConnection &c, int) {
        while (!c.ReadRequest().empty()) {
            c.Send(reply);
            if (close)
                return;
        }
    };
}

void ScriptedServer::Run() {
    SetCurrentServer(this);
    for (;;) {
        struct pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents != 0)
            return;
        if (p[0].revents == 0)
            continue;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ScriptedConnection connection(fd);
        handler_(connection, connections_.fetch_add(1));
        connection.Close();
    }
}

} // namespace nettest
