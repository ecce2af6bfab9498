// Hostile clients against the embedded HTTP server on 127.0.0.1: framing tricks
// that would hide a second request in a body, more connections than the cap,
// heads sent a byte now and then, idle crowds measured in tracked memory, a
// listener whose accepts fail for want of descriptors, and the thread's sleep.
// The server is polled from the test thread under a test clock (except where
// its own thread is the point); every case ends within seconds and checks the
// tracked memory the server holds.
#include "net/webserv.h"

#include "core/zyl.h"
#include "tests/net/webserv_support.h"
#include "tests/support/log_capture.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using webservtest::Client;
using webservtest::CreateLoopbackServer;
using webservtest::g_clock;
using webservtest::StartListening;
using webservtest::TestClock;

int64_t TrackedBytes() {
    int64_t blocks = 0;
    int64_t bytes = 0;
    Zyl_MemoryGetUsage(&blocks, &bytes);
    return bytes;
}

// Answers the length left in the request's slot with that many 'a's, in
// pieces as large as the server asks for.
int CountdownBody(WebServerStruct *, WebServerRequestStruct *, void *, void **slot, int *done,
                  char *buffer, int size, int *written) {
    intptr_t left = reinterpret_cast<intptr_t>(*slot);
    int n = left < size ? (int)left : size;
    memset(buffer, 'a', (size_t)n);
    *written = n;
    *slot = reinterpret_cast<void *>(left - n);
    *done = left == n;
    return 1;
}

// A polled server under the test clock. Requests for /hold are held until
// `released`; every other path gets "abc" (or a `large` body when asked for /large).
class HostileFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        g_clock = 1000.0;
        ASSERT_EQ(CreateLoopbackServer(&server), 1);
        WebServer_SetThreaded(server, 0);
        WebServer_SetClock(server, TestClock);
        WebServer_SetKeepAlive(server, 1);
        WebServer_SetRequestCallback(server, this, OnRequest);
        WebServer_SetBodyCallback(server, this, CountdownBody);
        ASSERT_EQ(StartListening(server, &port), 1);
    }
    void TearDown() override { WebServer_Destroy(&server); }

    static int OnRequest(WebServerStruct *s, WebServerRequestStruct *r, void *user, void **slot) {
        HostileFixture *self = static_cast<HostileFixture *>(user);
        const char *path = nullptr;
        WebServer_GetRequestPath(s, r, &path);
        if (std::string(path) == "/hold" && !self->released) {
            WebServer_HoldConnection(s, r, 1000);
            return 1;
        }
        WebServer_HoldConnection(s, r, 0);
        self->paths.push_back(path);
        int64_t length = std::string(path) == "/large" ? self->large : 3;
        WebServer_SetResponseCode(s, r, 200, length);
        *slot = reinterpret_cast<void *>((intptr_t)length);
        return 1;
    }

    void Pass() { WebServer_Process(server); }
    // Passes until `done` holds (at most 2,000, waiting up to 10 ms each).
    template <typename Done> bool PassUntil(Done done) {
        for (int i = 0; i < 2000; i++) {
            WebServer_Wait(server, 10);
            Pass();
            if (done())
                return true;
        }
        return false;
    }
    int Connections() {
        int count = 0;
        WebServer_GetConnectionCount(server, &count);
        return count;
    }
    // Sends a request and passes until the reply is complete: the server
    // closed, or (kept) the 3-byte body of a kept connection arrived.
    std::string Ask(Client &client, const std::string &request, bool kept = false) {
        client.Send(request);
        std::string reply;
        bool ended = false;
        PassUntil([&] {
            reply += client.Read(0, &ended);
            return ended || (kept && reply.size() > 7 &&
                             reply.compare(reply.size() - 7, 7, "\r\n\r\naaa") == 0);
        });
        return reply;
    }

    WebServerStruct *server = nullptr;
    int port = 0;
    std::vector<std::string> paths;
    bool released = false;
    int64_t large = 0;
};

const char kSmuggled[] = "GET /smuggled HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";

// Each head announces its body in a way a proxy and this server could read
// differently; the body is a whole second request. The server must answer 400
// once and close, never serve the body as a request.
TEST_F(HostileFixture, FramingTricksAreRefused) {
    std::string n = std::to_string(strlen(kSmuggled));
    struct Case {
        std::string Headers;
        const char *Reason;
    } cases[] = {
        {"Content-Length : " + n + "\r\n", "whitespace before the colon"},
        {"Content-Length\t: " + n + "\r\n", "whitespace before the colon"},
        {"Content-Length: 0\r\nContent-Length: " + n + "\r\n", "differing Content-Length values"},
        {"Content-Length: " + n + ", 0\r\n", "differing Content-Length values"},
        {"Content-Length: 0x34\r\n", "Content-Length not a decimal number"},
        {"Content-Length: +" + n + "\r\n", "Content-Length not a decimal number"},
        {"Content-Length: -" + n + "\r\n", "Content-Length not a decimal number"},
        {"X-Junk\r\nContent-Length: " + n + "\r\n", "header line without a colon"},
        {"Content-Length: 0\r\n Content-Length: " + n + "\r\n", "folded header line"},
        {"Content-Length: 1\r\rContent-Length: " + n + "\r\n",
         "control character in a header value"},
    };
    int64_t before = TrackedBytes();
    for (const Case &c : cases) {
        paths.clear();
        testsupport::ConsoleCapture console;
        Client client(port);
        std::string request =
            "POST /a.txt HTTP/1.1\r\nConnection: Keep-Alive\r\n" + c.Headers + "\r\n" + kSmuggled;
        std::string reply = Ask(client, request);
        EXPECT_EQ(reply.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << c.Headers << reply;
        EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos) << c.Headers << reply;
        EXPECT_TRUE(paths.empty()) << c.Headers;
        EXPECT_TRUE(console.Contains(std::string("Bad request head (") + c.Reason + ")"))
            << c.Headers << console.Text();
        EXPECT_EQ(Connections(), 0) << c.Headers;
    }
    EXPECT_EQ(TrackedBytes(), before);
    // Equal duplicates are one length; the body is then read, not served.
    Client client(port);
    std::string reply =
        Ask(client, "POST /a.txt HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5, 5\r\n"
                    "\r\nhello");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_EQ(paths, std::vector<std::string>{"/a.txt"});
}

TEST_F(HostileFixture, ParserNamesEachFault) {
    struct Case {
        std::string Head;
        int Result;
        const char *Reason;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 1, ""},
        {"GET / HTTP/1.1\nHost:x\n\n", 1, ""},
        {"POST / HTTP/1.1\r\nContent-Length: 007\r\n\r\n", 1, ""},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\n", 1, ""},
        {"GET / HTTP/1.1\r\nHost: x\r\n", 0, "incomplete head"},
        {"GET / HTTP/1.1\r\nX: " + std::string(5000, 'v'), 0, "head larger than 4096 bytes"},
        {"GET / FTP/1.1\r\n\r\n", 0, "malformed request line"},
        {"GET / HTTP/1.1\r\nHost : x\r\n\r\n", 0, "whitespace before the colon"},
        {"GET / HTTP/1.1\r\nHo st: x\r\n\r\n", 0, "whitespace before the colon"},
        {"GET / HTTP/1.1\r\nHost\r\n\r\n", 0, "header line without a colon"},
        {"GET / HTTP/1.1\r\n: x\r\n\r\n", 0, "header line without a name"},
        {"GET / HTTP/1.1\r\nA: 1\r\n\tB: 2\r\n\r\n", 0, "folded header line"},
        {"GET / HTTP/1.1\r\nA\x01: 1\r\n\r\n", 0, "control character in a header name"},
        {"GET / HTTP/1.1\r\nA: 1\x7f\r\n\r\n", 0, "control character in a header value"},
        {std::string("GET / HTTP/1.1\r\nA: 1") + '\0' + "\r\n\r\n", 0, "NUL byte in the head"},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", 0,
         "differing Content-Length values"},
        {"POST / HTTP/1.1\r\nContent-Length: 3,4\r\n\r\n", 0, "differing Content-Length values"},
        {"POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", 0,
         "Content-Length not a decimal number"},
        {"POST / HTTP/1.1\r\nContent-Length: +1\r\n\r\n", 0, "Content-Length not a decimal number"},
        {"POST / HTTP/1.1\r\nContent-Length: 1 2\r\n\r\n", 0,
         "Content-Length not a decimal number"},
        {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", 0, "Content-Length not a decimal number"},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", 0,
         "Content-Length out of range"},
    };
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 101; i++)
        many += "A: 1\r\n";
    int64_t before = TrackedBytes();
    for (const Case &c : cases) {
        const char *reason = nullptr;
        EXPECT_EQ(WebServer_ParseRequestHead(server, c.Head.data(), (int)c.Head.size(), &reason),
                  c.Result)
            << c.Head;
        EXPECT_STREQ(reason, c.Reason) << c.Head;
    }
    const char *reason = nullptr;
    EXPECT_EQ(
        WebServer_ParseRequestHead(server, (many + "\r\n").data(), (int)many.size() + 2, &reason),
        0);
    EXPECT_STREQ(reason, "more than 100 header lines");
    EXPECT_EQ(TrackedBytes(), before);
}

// At the cap, a newcomer takes the place of the connection idle longest;
// when every connection is busy, the newcomer is closed instead.
TEST_F(HostileFixture, CapClosesTheConnectionIdleLongest) {
    WebServer_SetMaxConnections(server, 4);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; i++) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(PassUntil([&] { return Connections() == i + 1; }));
        g_clock += 1;
    }
    // The first one shows activity: the second is now idle longest.
    Ask(*clients[0], "GET /a.txt HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n", true);
    g_clock += 1;
    clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(PassUntil([&] { return clients[1]->ClosedByServer(); }));
    EXPECT_EQ(Connections(), 4);
    for (int i : {0, 2, 3})
        EXPECT_FALSE(clients[i]->ClosedByServer()) << i;
    std::string reply = Ask(*clients[4], "GET /b.txt HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;

    // Every connection busy (held): the newcomer goes.
    clients.clear();
    ASSERT_TRUE(PassUntil([&] { return Connections() == 0; }));
    for (int i = 0; i < 4; i++) {
        clients.push_back(std::make_unique<Client>(port));
        clients.back()->Send("GET /hold HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(PassUntil([&] { return Connections() == i + 1; }));
    }
    Client late(port);
    ASSERT_TRUE(PassUntil([&] { return late.ClosedByServer(); }));
    EXPECT_EQ(Connections(), 4);
    released = true;
    WebServer_Wake(server);
    bool ended = false;
    for (auto &client : clients) {
        std::string held;
        PassUntil([&] {
            held += client->Read(0, &ended);
            return ended;
        });
        EXPECT_EQ(held.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << held;
    }
}

// A byte now and then must not keep a head open: it has the idle time-out,
// counted from when the connection began waiting for it, to arrive whole.
TEST_F(HostileFixture, SlowHeadIsCutAtItsDeadline) {
    Client client(port);
    ASSERT_TRUE(PassUntil([&] { return Connections() == 1; }));
    // Accepted at 1000; a piece at 1000, 1030 and 1059, each well within the
    // idle time-out of the one before.
    const struct {
        double At;
        const char *Piece;
    } pieces[] = {{1000, "GET /a.txt HTTP/1.1\r\n"}, {1030, "X-A: 1\r\n"}, {1059, "X-B: 1\r\n"}};
    for (const auto &p : pieces) {
        g_clock = p.At;
        std::string piece = p.Piece;
        client.Send(piece);
        for (int i = 0; i < 20; i++) {
            WebServer_Wait(server, 5);
            Pass();
        }
        ASSERT_EQ(Connections(), 1) << p.At;
    }
    // At 1061 the head is still incomplete 61 s after it began: gone, although
    // its last byte came 2 s ago.
    g_clock = 1061;
    client.Send("X-C: 1\r\n");
    ASSERT_TRUE(PassUntil([&] { return client.ClosedByServer(); }));
    EXPECT_EQ(Connections(), 0);
    EXPECT_TRUE(paths.empty());

    // On a kept connection the next head's time starts after the answer.
    Client kept(port);
    Ask(kept, "GET /a.txt HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n", true);
    g_clock += 50;
    Pass();
    std::string reply = Ask(kept, "GET /b.txt HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n", true);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    g_clock += 50; // 100 s after accept, 50 s after the second answer
    Pass();
    EXPECT_EQ(Connections(), 1);
}

// Idle connections hold no output buffer, and the memory of a crowd is given
// back when it leaves, large response buffers included.
TEST_F(HostileFixture, CrowdMemoryIsBoundedAndGivenBack) {
    const int kCap = 64;
    WebServer_SetMaxConnections(server, kCap);
    int64_t before = TrackedBytes();
    std::vector<std::unique_ptr<Client>> clients;
    clients.reserve(3 * kCap);
    for (int i = 0; i < 3 * kCap; i++)
        clients.push_back(std::make_unique<Client>(port));
    // Busy passes while the crowd is taken in; the cap holds throughout.
    int closed = 0;
    int most = 0;
    PassUntil([&] {
        most = std::max(most, Connections());
        closed = 0;
        for (auto &client : clients)
            closed += client->ClosedByServer();
        return closed == 2 * kCap;
    });
    EXPECT_LE(most, kCap);
    ASSERT_EQ(closed, 2 * kCap);
    ASSERT_EQ(Connections(), kCap);
    int64_t perConnection = (TrackedBytes() - before) / kCap;
    EXPECT_LT(perConnection, 16 * 1024) << "bytes per idle connection";

    // Responses take buffers only while they are sent.
    large = 3 * 1024 * 1024;
    Client big(port);
    std::string reply = Ask(big, "GET /large HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.size() - reply.find("\r\n\r\n") - 4, (size_t)large);
    // While one connection stays, the server keeps its record and a few
    // spares (at most 16 records, 64 headers, 8 small and 1 large buffer).
    clients.erase(clients.begin(), clients.end() - 1); // the last one is open
    ASSERT_TRUE(PassUntil([&] { return Connections() == 1; }));
    EXPECT_LT(TrackedBytes() - before, 2 * 1024 * 1024);
    clients.clear();
    ASSERT_TRUE(PassUntil([&] { return Connections() == 0; }));
    EXPECT_EQ(TrackedBytes(), before);
}

// Accept failing for want of descriptors (the listener stays readable) pauses
// accepting instead of retrying on every pass; the waiting client is served
// once descriptors are free and the pause is over.
TEST_F(HostileFixture, AcceptFailurePausesAccepting) {
    Client client(port);
    ASSERT_TRUE(client.Connected());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int source = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(source, 0);
    rlimit low = saved;
    low.rlim_cur = (rlim_t)source + 4;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(source)) >= 0;)
        fillers.push_back(fd);
    int filled = errno;
    testsupport::ConsoleCapture console;
    for (int i = 0; i < 50; i++)
        Pass();
    int waited = WebServer_Wait(server, 20);
    for (int fd : fillers)
        close(fd);
    close(source);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(filled, EMFILE);
    std::string text = console.Text();
    size_t failures = 0;
    for (size_t at = 0; (at = text.find("accept failed (10024)", at)) != std::string::npos; at++)
        failures++;
    EXPECT_EQ(failures, 1u) << text;
    EXPECT_EQ(waited, 0) << "the paused listener woke the wait";
    EXPECT_EQ(Connections(), 0);
    g_clock += 0.6;
    std::string reply = Ask(client, "GET /a.txt HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
}

// The threaded server sleeps while idle: over a quarter of a second its clock
// is read a few times, not on a millisecond tick, and stopping wakes it.
std::atomic<int> g_clockReads{0};
double CountingClock() {
    g_clockReads++;
    return 5000.0;
}

TEST(WebServerIdleThread, SleepsUntilThereIsWork) {
    WebServerStruct *server = nullptr;
    ASSERT_EQ(CreateLoopbackServer(&server), 1);
    WebServer_SetClock(server, CountingClock);
    ASSERT_EQ(WebServer_StartThread(server, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let it settle
    int start = g_clockReads;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_LE(g_clockReads - start, 2);
    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(WebServer_StartThread(server, 0), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    WebServer_Destroy(&server);
}

// A body that is not there yet parks its connection until the owner wakes the
// server; under a frozen clock nothing else would end that wait. The listen
// port is read from the test's thread while the server's thread accepts.
struct Parked {
    std::atomic<int> asked{0};
    std::atomic<bool> ready{false};
};

TEST(WebServerIdleThread, WakeAsksAParkedBodyAgain) {
    g_clock = 1000.0;
    Parked parked;
    WebServerStruct *server = nullptr;
    ASSERT_EQ(CreateLoopbackServer(&server), 1);
    WebServer_SetClock(server, TestClock);
    WebServer_SetRequestCallback(
        server, nullptr, [](WebServerStruct *s, WebServerRequestStruct *r, void *, void **) {
            WebServer_SetResponseCode(s, r, 200, 5);
            return 1;
        });
    WebServer_SetBodyCallback(server, &parked,
                              [](WebServerStruct *, WebServerRequestStruct *, void *user, void **,
                                 int *done, char *buffer, int, int *written) {
                                  Parked *p = static_cast<Parked *>(user);
                                  p->asked++;
                                  *written = 0;
                                  if (!p->ready)
                                      return 1; // not there yet
                                  memcpy(buffer, "ready", 5);
                                  *written = 5;
                                  *done = 1;
                                  return 1;
                              });
    int port = 0;
    ASSERT_EQ(StartListening(server, &port), 1);
    Client client(port);
    client.Send("GET /x HTTP/1.1\r\n\r\n");
    // Meanwhile the thread accepts: the port is read from here all the same
    // (ThreadSanitizer checks that this does not touch the listener).
    for (int i = 0; i < 2000 && parked.asked == 0; i++) {
        int seen = 0;
        EXPECT_EQ(WebServer_GetListenPort(server, &seen), 1);
        EXPECT_EQ(seen, port);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GT(parked.asked, 0);
    parked.ready = true;
    WebServer_Wake(server);
    std::string reply = client.ReadToEnd(20000);
    EXPECT_NE(reply.find("\r\n\r\nready"), std::string::npos) << reply;
    WebServer_Destroy(&server);
}

// A body larger than the socket takes at once goes out in partial writes; the
// sleeping thread must come back for the rest each time the socket drains
// (under a frozen clock a missed wake-up would last the idle time-out).
TEST(WebServerIdleThread, LargeBodyGoesOutWhole) {
    g_clock = 1000.0;
    const int64_t kLength = 24 * 1024 * 1024;
    WebServerStruct *server = nullptr;
    ASSERT_EQ(CreateLoopbackServer(&server), 1);
    WebServer_SetClock(server, TestClock);
    WebServer_SetRequestCallback(
        server, nullptr, [](WebServerStruct *s, WebServerRequestStruct *r, void *, void **slot) {
            WebServer_SetResponseCode(s, r, 200, kLength);
            *slot = reinterpret_cast<void *>((intptr_t)kLength);
            return 1;
        });
    WebServer_SetBodyCallback(server, nullptr, CountdownBody);
    int port = 0;
    ASSERT_EQ(StartListening(server, &port), 1);
    Client client(port);
    client.Send("GET /big.bin HTTP/1.1\r\n\r\n");
    bool ended = false;
    size_t received = client.ReadToEnd(20000, 0, &ended).size();
    EXPECT_TRUE(ended);
    EXPECT_GT(received, (size_t)kLength);
    EXPECT_LT(received, (size_t)kLength + 1024);
    WebServer_Destroy(&server);
}

} // namespace
