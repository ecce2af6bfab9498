// Shared by the HTTP client's tests: a client wrapper, a clock the test moves
// by hand (time stands still unless the test advances it), a gate through
// which a scripted server's handler waits for the test's word before sending,
// an endless scripted reply and a check that tracked memory is given back.
#pragma once

#include "net/webget.h"

#include "core/zyl.h"
#include "net/webget_internal.h"
#include "tests/support/scripted_server.h"

#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <string>

namespace webgettest {

// The test's clock: seconds that move only when the test says so.
struct ManualClock {
    static double now;
    static double Read() { return now; }
    static void Advance(double seconds) { now += seconds; }
};
inline double ManualClock::now = 1000.0;

// Lets a server handler wait until the test has released its n-th step.
// Closing it (the guard below does, before the server is joined) lets every
// waiting handler go.
class Gate {
  public:
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_++;
        changed_.notify_all();
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    // 1 once n steps were released; 0 when the gate was closed first.
    bool Wait(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return released_ >= n || closed_; });
        return released_ >= n;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int released_ = 0;
    bool closed_ = false;
};

// Declared after the server: closes the gate before the server joins its thread.
struct GateGuard {
    Gate &gate;
    ~GateGuard() { gate.Close(); }
};

// One client with short delays so that retries do not slow the tests.
struct Client {
    WebGetStruct *w = nullptr;
    Client() {
        WebGet_Create(&w);
        Configure([](WebGetSettingsStruct &s) {
            s.RetryDelay = 0.01;
            s.Attempts = 1;
        });
    }
    ~Client() { WebGet_Destroy(&w); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    void Configure(const std::function<void(WebGetSettingsStruct &)> &change) {
        WebGetSettingsStruct settings;
        WebGet_GetSettings(w, &settings);
        change(settings);
        EXPECT_EQ(1, WebGet_Configure(w, &settings));
    }
    // The test's clock and one step per WebGet_Process.
    void UseManualClock() {
        WebGet_SetClock(w, ManualClock::Read);
        WebGet_SetBlocking(w, 0);
    }
    // Runs a request to the end; returns the success flag.
    int Get(const std::string &url) {
        WebGet_SetURL(w, url.c_str());
        return Finish();
    }
    int Finish() {
        int success = 0;
        while (WebGet_Process(w, &success)) {
        }
        return success;
    }
    // Stepping mode: steps until `done` holds (true) or the request ended
    // (false). Between steps it waits for the socket a little, so that a test
    // waiting on a server does not spin.
    bool StepUntil(const std::function<bool()> &done) {
        for (;;) {
            if (done())
                return true;
            int success = 0;
            if (!WebGet_Process(w, &success))
                return done();
            int fd = -1;
            if (w->Progressed == 0 && Socket_GetHandle(w->Socket, &fd)) {
                struct pollfd p = {fd, POLLIN, 0};
                poll(&p, 1, 5);
            }
        }
    }
    // One step; 1 while the request goes on.
    int Step() {
        int success = 0;
        return WebGet_Process(w, &success);
    }
    int Phase() {
        int phase = 0;
        WebGet_GetPhase(w, &phase);
        return phase;
    }
    std::string Content() {
        const char *data = nullptr;
        int64_t size = 0;
        WebGet_GetContent(w, &data, &size);
        return std::string(data, (size_t)size);
    }
    int Status() { return WebGet_GetStatus(w); }
    std::string Header(const char *name) {
        char value[512];
        return WebGet_GetHeaderValue(w, name, value, sizeof value) ? value : "";
    }
};

inline std::string Reply200(const std::string &body, const std::string &extra = "") {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

// A handler that answers the request with `head`, then sends `piece` again and
// again until the client goes (or `most` bytes went).
inline nettest::ScriptedServer::Handler Endless(const std::string &head, const std::string &piece,
                                                size_t most = 64u << 20) {
    return [head, piece, most](nettest::ScriptedConnection &c, int) {
        c.ReadRequest();
        if (!c.Send(head))
            return;
        std::string block;
        while (block.size() < 65536)
            block += piece;
        for (size_t sent = 0; sent < most && c.Send(block); sent += block.size()) {
        }
    };
}

// Tracked memory before and after a block: what the client took is given back.
struct MemoryCheck {
    int64_t blocks = 0, bytes = 0;
    MemoryCheck() { Zyl_MemoryGetUsage(&blocks, &bytes); }
    ~MemoryCheck() {
        int64_t blocksAfter = 0, bytesAfter = 0;
        Zyl_MemoryGetUsage(&blocksAfter, &bytesAfter);
        EXPECT_EQ(blocks, blocksAfter);
        EXPECT_EQ(bytes, bytesAfter);
    }
    MemoryCheck(const MemoryCheck &) = delete;
    MemoryCheck &operator=(const MemoryCheck &) = delete;
};

inline std::string RedirectTo(const std::string &location, int status = 302) {
    return "HTTP/1.0 " + std::to_string(status) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\n\r\n";
}

} // namespace webgettest
