// Starts nginx for a test: a generated config in a temporary folder (pid file,
// error log and temp paths inside it), one process listening on a free port of
// 127.0.0.1, serving the folder's "www" directory. Killed by pid on destruction.
#pragma once

#include "tests/support/support.h"

#include <string>
#include <sys/types.h>

namespace nettest {

class NginxServer {
  public:
    // `locations` is inserted into the server block (location blocks and
    // directives). Files to serve go into root() before or after the start.
    explicit NginxServer(const std::string &locations = "");
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // False when nginx is missing or did not come up (the reason is in error()).
    bool ok() const { return pid_ > 0; }
    const std::string &error() const { return error_; }
    int port() const { return port_; }
    std::string root() const { return dir_ / "www"; }
    std::string url(const std::string &path) const;
    // The error log's text, for failure messages.
    std::string log() const;

  private:
    int Launch(const std::string &locations);

    testsupport::TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

// A free TCP port of 127.0.0.1 at the time of the call.
int FreeLocalPort();

// A TCP port of 127.0.0.1 that refuses connections while this lives: bound, never
// listening, so no other program can take it in the meantime.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace nettest
