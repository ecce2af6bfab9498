// Shared pieces of the download manager's tests: a manager made with the
// Alert log captured and the transports started, a clock the test moves, and
// plain client sockets on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/manager.h"
#include "tests/engine/transport_support.h"
#include "tests/support/log_capture.h"

namespace enginetest {

// Seconds the test sets; every reader sees the latest value.
struct TestClock {
    std::atomic<double> Now{1000.0};
    static double Read(void *context) { return static_cast<TestClock *>(context)->Now.load(); }
};

class ManagerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        StartTransports();
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        ASSERT_EQ(1, Manager_Create(&manager_));
        // Tests never map ports on the gateway of the machine they run on.
        Manager_SetTraversal(manager_, 0);
    }
    void TearDown() override {
        Manager_Destroy(&manager_);
        testsupport::StopAlertCapture();
    }
    void UseTestClock() { Manager_SetClock(manager_, &TestClock::Read, &clock_); }
    ManagerStruct *manager_ = nullptr;
    TestClock clock_;
};

// A TCP socket connected to 127.0.0.1:port (blocking); -1 on failure.
inline int ConnectLocal(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A socket of the type bound to a free port on all interfaces (listening when
// TCP); *port receives the port. -1 on failure.
inline int HoldPort(int type, int *port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    socklen_t length = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(at.sin_port);
    return fd;
}

// A free port: bound and released at once.
inline int FreePort() {
    int port = 0;
    int fd = HoldPort(SOCK_STREAM, &port);
    close(fd);
    return port;
}

} // namespace enginetest
