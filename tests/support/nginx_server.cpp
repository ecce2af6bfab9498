// nginx launcher for network tests and benchmarks (see nginx_server.h).
#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace nettest {

namespace {

bool CanConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, (struct sockaddr *)&sa, sizeof sa) == 0;
    close(fd);
    return ok;
}

void SleepMs(int ms) {
    struct timespec t = {0, (long)ms * 1000000L};
    nanosleep(&t, nullptr);
}

std::string Config(const std::string &dir, int port, const std::string &locations) {
    return "daemon off;\n"
           "master_process off;\n"
           "worker_processes 1;\n"
           "pid " +
           dir + "/nginx.pid;\n" + "error_log " + dir +
           "/error.log warn;\n"
           "events { worker_connections 256; }\n"
           "http {\n"
           "  default_type application/octet-stream;\n"
           "  access_log off;\n"
           "  sendfile on;\n"
           "  keepalive_requests 100000;\n"
           "  client_body_temp_path " +
           dir + "/client_temp;\n  proxy_temp_path " + dir + "/proxy_temp;\n  fastcgi_temp_path " +
           dir + "/fastcgi_temp;\n  uwsgi_temp_path " + dir + "/uwsgi_temp;\n  scgi_temp_path " +
           dir +
           "/scgi_temp;\n"
           "  server {\n"
           "    listen 127.0.0.1:" +
           std::to_string(port) + ";\n    root " + dir + "/www;\n" + locations + "\n  }\n}\n";
}

} // namespace

int FreeLocalPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&sa, sizeof sa);
    socklen_t length = sizeof sa;
    getsockname(fd, (struct sockaddr *)&sa, &length);
    close(fd);
    return ntohs(sa.sin_port);
}

RefusingPort::RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    if (fd_ >= 0 && bind(fd_, (struct sockaddr *)&sa, sizeof sa) == 0 &&
        getsockname(fd_, (struct sockaddr *)&sa, &length) == 0)
        port_ = ntohs(sa.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0)
        close(fd_);
}

// Starts nginx on `port` and waits until it is ours that listens there: nginx
// writes its pid file only after it has bound its listening socket, so a port
// taken by another program in the meantime shows as nginx exiting, never as
// another server answering. 1 started, 0 failed (error set), -1 port taken.
int NginxServer::Launch(const std::string &locations) {
    std::string conf = dir_ / "nginx.conf";
    std::string pidFile = dir_ / "nginx.pid";
    unlink(pidFile.c_str());
    testsupport::WriteFile(conf, Config(dir_.path(), port_, locations));
    pid_t pid = fork();
    if (pid == 0) {
        execlp("nginx", "nginx", "-p", dir_.path().c_str(), "-c", conf.c_str(), (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500; i++) {
        if (std::strtol(testsupport::ReadFile(pidFile).c_str(), nullptr, 10) == pid &&
            CanConnect(port_)) {
            pid_ = pid;
            return 1;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            error_ = "nginx exited: " + log();
            return error_.find("Address already in use") != std::string::npos ? -1 : 0;
        }
        SleepMs(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    error_ = "nginx did not start: " + log();
    return 0;
}

NginxServer::NginxServer(const std::string &locations) {
    if (!testsupport::HaveProgram("nginx")) {
        error_ = "nginx is not installed";
        return;
    }
    mkdir(root().c_str(), 0755);
    // A free port can be taken by another program before nginx binds it: try another.
    for (int attempt = 0; attempt < 5; attempt++) {
        port_ = FreeLocalPort();
        if (Launch(locations) >= 0)
            return;
    }
}

NginxServer::~NginxServer() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; i++) {
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            return;
        SleepMs(10);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
}

std::string NginxServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::log() const {
    return testsupport::ReadFile(dir_ / "error.log");
}

} // namespace nettest
