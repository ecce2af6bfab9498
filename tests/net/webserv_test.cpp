// Tests of the embedded HTTP server on 127.0.0.1 with real clients: raw
// sockets for exact request bytes (paths, malformed heads), curl for
// keep-alive, HEAD and empty bodies, and the HTTP client. The server is polled
// from the test thread under a test clock, so holds and time-outs are driven
// by moving that clock, never by sleeping.
#include "net/webserv.h"

#include "core/zyl.h"
#include "net/webget.h"
#include "tests/net/webserv_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using webservtest::Client;
using webservtest::CreateLoopbackServer;
using webservtest::g_clock;
using webservtest::StartListening;
using webservtest::TestClock;

// Sends `request` on a new connection and reads until the server closes it
// (or `until` bytes arrived, when given). Runs on a thread of its own.
std::string RawExchange(int port, const std::string &request, size_t until = 0) {
    Client client(port);
    if (!client.Connected() || !client.Send(request))
        return "";
    return client.ReadToEnd(20000, until);
}

// One served document: what the request callback answers for a path.
struct Document {
    int Code = 200;
    std::string Body;
    bool SendLength = true;
};

// A polled server with callbacks that serve `documents` and record what they saw.
class ServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        g_clock = 1000.0;
        ASSERT_EQ(CreateLoopbackServer(&server), 1);
        WebServer_SetThreaded(server, 0);
        WebServer_SetClock(server, TestClock);
        WebServer_SetRequestCallback(server, this, OnRequest);
        WebServer_SetBodyCallback(server, this, OnBody);
        WebServer_SetCloseCallback(server, this, OnClose);
        ASSERT_EQ(StartListening(server, &port), 1);
        ASSERT_GT(port, 0);
    }
    void TearDown() override { WebServer_Destroy(&server); }

    struct Sending {
        std::string Body;
        size_t Offset = 0;
    };

    static int OnRequest(WebServerStruct *s, WebServerRequestStruct *r, void *user, void **slot) {
        ServerFixture *self = static_cast<ServerFixture *>(user);
        const char *path = nullptr;
        const char *query = nullptr;
        WebServer_GetRequestPath(s, r, &path);
        WebServer_GetQuery(s, r, &query);
        self->requestCalls++;
        if (self->holdFirst && self->requestCalls == 1)
            WebServer_HoldConnection(s, r, self->holdSeconds);
        if (self->holdFirst && !self->released)
            return 1; // answered once released
        if (self->holdFirst)
            WebServer_HoldConnection(s, r, 0);
        self->paths.push_back(path);
        self->queries.push_back(query);
        auto found = self->documents.find(path);
        if (found == self->documents.end()) {
            WebServer_SetResponseCode(s, r, 404, 0);
            return 1;
        }
        const Document &d = found->second;
        WebServer_SetResponseCode(s, r, d.Code, d.SendLength ? (int64_t)d.Body.size() : 0);
        auto *sending = new Sending;
        sending->Body = d.Body;
        *slot = sending;
        return 1;
    }

    static int OnBody(WebServerStruct *, WebServerRequestStruct *, void *user, void **slot,
                      int *done, char *buffer, int size, int *written) {
        ServerFixture *self = static_cast<ServerFixture *>(user);
        Sending *sending = static_cast<Sending *>(*slot);
        *written = 0;
        if (sending == nullptr) {
            *done = 1;
            return 1;
        }
        if (self->starvedCalls > 0) {
            self->starvedCalls--; // the piece is not there yet
            return 1;
        }
        size_t n = std::min((size_t)size, sending->Body.size() - sending->Offset);
        memcpy(buffer, sending->Body.data() + sending->Offset, n);
        sending->Offset += n;
        *written = (int)n;
        *done = sending->Offset == sending->Body.size();
        return 1;
    }

    static void OnClose(WebServerStruct *, WebServerRequestStruct *, void *user, void **slot) {
        ServerFixture *self = static_cast<ServerFixture *>(user);
        delete static_cast<Sending *>(*slot);
        *slot = nullptr;
        self->closes++;
    }

    // Polls the server until `work` (run on its own thread) has finished;
    // `each` runs after every pass.
    void PollWhile(const std::function<void()> &work, const std::function<void()> &each = {}) {
        std::atomic<bool> finished{false};
        std::thread client([&] {
            work();
            finished = true;
        });
        while (!finished) {
            WebServer_Wait(server, 5);
            WebServer_Process(server);
            if (each)
                each();
        }
        client.join();
        WebServer_Process(server);
    }

    std::string Exchange(const std::string &request) {
        std::string reply;
        PollWhile([&] { reply = RawExchange(port, request); });
        return reply;
    }

    std::string Curl(const std::string &arguments) {
        std::string output;
        PollWhile([&] {
            testsupport::RunCommand("curl -s --max-time 20 " + arguments + " 2>&1", &output);
        });
        return output;
    }

    std::string Url(const std::string &path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    int Connections() {
        int count = 0;
        WebServer_GetConnectionCount(server, &count);
        return count;
    }

    WebServerStruct *server = nullptr;
    int port = 0;
    std::map<std::string, Document> documents;
    std::vector<std::string> paths;
    std::vector<std::string> queries;
    int requestCalls = 0;
    int closes = 0;
    int starvedCalls = 0;
    bool holdFirst = false;
    bool released = false;
    double holdSeconds = 30;
};

std::string Header(const std::string &reply, const std::string &name) {
    size_t at = reply.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return "";
    at += name.size() + 4;
    return reply.substr(at, reply.find("\r\n", at) - at);
}

std::string BodyOf(const std::string &reply) {
    size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? "" : reply.substr(at + 4);
}

TEST_F(ServerFixture, RequestTargetsBecomePaths) {
    struct Case {
        const char *Target;
        const char *Path;
        const char *Query;
    } cases[] = {
        {"/dir/", "/dir/default.htm", ""},
        {"http://example.invalid:8080/a.txt", "/a.txt", ""},
        {"a\\b.htm", "/a/b.htm", ""},
        {"/", "/default.htm", ""},
        {"/f.txt?x=1&y=2", "/f.txt", "x=1&y=2"},
        {"/g.txt??&&q", "/g.txt", "q"},
        {"http://host-only", "/default.htm", ""},
    };
    for (const Case &c : cases) {
        paths.clear();
        queries.clear();
        std::string reply = Exchange(std::string("GET ") + c.Target + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(paths.size(), 1u) << c.Target;
        EXPECT_EQ(paths[0], c.Path) << c.Target;
        EXPECT_EQ(queries[0], c.Query) << c.Target;
        EXPECT_EQ(reply.rfind("HTTP/1.1 404 Object Not Found\r\n", 0), 0u) << reply;
    }
}

TEST_F(ServerFixture, ResponseHeadCarriesStandardHeaders) {
    documents["/page.html"] = {200, "<p>hello</p>"};
    std::string reply = Exchange("GET /page.html HTTP/1.0\r\nUser-Agent: t\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(Header(reply, "Server"), "Zyl-Web 0.80 (Beta)");
    EXPECT_EQ(Header(reply, "Content-Type"), "text/html");
    EXPECT_EQ(Header(reply, "Content-Length"), "12");
    EXPECT_EQ(Header(reply, "Accept-Ranges"), "bytes");
    EXPECT_EQ(Header(reply, "Connection"), "close");
    EXPECT_EQ(Header(reply, "Pragma"), "no-cache");
    // "Thu, 10 Dec 2026 12:00:00 GMT": day always two digits.
    std::string date = Header(reply, "Date");
    ASSERT_EQ(date.size(), 29u) << date;
    EXPECT_EQ(date.substr(25), " GMT");
    EXPECT_EQ(BodyOf(reply), "<p>hello</p>");
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(Connections(), 0);
}

TEST(WebServerText, DatesAreZeroPadded) {
    char text[80];
    WebServer_FormatDate(0, text, sizeof text);
    EXPECT_STREQ(text, "Thu, 01 Jan 1970 00:00:00 GMT");
    WebServer_FormatDate(1786000000, text, sizeof text); // 2026-08-06 07:06:40
    EXPECT_STREQ(text, "Thu, 06 Aug 2026 07:06:40 GMT");
}

TEST(WebServerText, StatusTexts) {
    testsupport::ConsoleCapture console;
    EXPECT_STREQ(WebServer_StatusText(200), "OK");
    EXPECT_STREQ(WebServer_StatusText(302), "Moved Temporarily");
    EXPECT_STREQ(WebServer_StatusText(404), "Object Not Found");
    EXPECT_STREQ(WebServer_StatusText(401), "Authorization Required");
    EXPECT_FALSE(console.Contains("Bad status message"));
    EXPECT_STREQ(WebServer_StatusText(418), "Internal Server Error");
    EXPECT_TRUE(console.Contains("Bad status message (418)\n"));
}

TEST(WebServerText, MimeTypesByExtension) {
    WebServerStruct *server = nullptr;
    WebServer_Create(&server);
    EXPECT_EQ(server->MimeCount, 184);
    struct Case {
        const char *Path;
        int Found;
        const char *Type;
    } cases[] = {
        {"/a.txt", 1, "text/plain"},
        {"/A.TXT", 1, "text/plain"},
        {"/s/style.css", 1, "text/css"},
        {"/x.etx", 1, "text/x-setext"},
        {"/pic.JPG", 1, "image/jpeg"},
        {"/a.tar.gz", 1, "application/x-gzip"},
        {"/w.wrl", 1, "model/vrml"},
        {"/m.mime", 1, "message/rfc822"},
        {"/noext", 0, "application/octet-stream"},
        {"/dir.d/file", 0, "application/octet-stream"},
        {"c:file", 0, "application/octet-stream"},
        {"/trailing.", 0, "application/octet-stream"},
        {"/unknown.qqq", 0, "application/octet-stream"},
    };
    for (const Case &c : cases) {
        const char *type = nullptr;
        const char *subtype = nullptr;
        EXPECT_EQ(WebServer_GetMimeType(server, c.Path, &type, &subtype), c.Found) << c.Path;
        EXPECT_EQ(std::string(type) + "/" + subtype, c.Type) << c.Path;
    }
    WebServer_AddMimeType(server, "qqq", "x", "y");
    const char *type = nullptr;
    const char *subtype = nullptr;
    EXPECT_EQ(WebServer_GetMimeType(server, "/u.QQQ", &type, &subtype), 1);
    EXPECT_STREQ(subtype, "y");
    EXPECT_DEATH(WebServer_AddMimeType(server, "TXT", "a", "b"),
                 "Matching quick CRC's \\(txt\\) and \\(TXT\\)");
    WebServer_Destroy(&server);
    EXPECT_EQ(server, nullptr);
}

TEST_F(ServerFixture, MalformedHeadsAreRefused) {
    struct Case {
        std::string Request;
        const char *Start; // expected reply start; "" = closed without a reply
    } cases[] = {
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / FTP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /" + std::string(1100, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /" + std::string(400, 'p') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /x HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /x HTTP/1.1\r\nContent-Length: 12x\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        // A head that never ends within the buffer: closed at once, no reply.
        {"GET / HTTP/1.1\r\nX-Long: " + std::string(5000, 'v'), ""},
        {std::string(4096, '\n').replace(0, 1, "X"), "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const Case &c : cases) {
        requestCalls = 0;
        std::string reply = Exchange(c.Request);
        if (c.Start[0] == '\0')
            EXPECT_EQ(reply, "") << c.Request.substr(0, 40);
        else
            EXPECT_EQ(reply.rfind(c.Start, 0), 0u) << c.Request.substr(0, 40) << "\n" << reply;
        EXPECT_EQ(requestCalls, 0) << c.Request.substr(0, 40);
        EXPECT_EQ(Connections(), 0);
    }
}

TEST_F(ServerFixture, MangledHeadsGetAnAnswerOrAClose) {
    documents["/a.txt"] = {200, "abc"};
    unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    const std::string heads[] = {
        "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: Keep-Alive\r\n\r\n",
        "POST /a.txt?x=1 HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
        "HEAD http://h/a.txt HTTP/1.1\nUser-Agent: t\n\n",
    };
    for (int round = 0; round < 120; round++) {
        std::string head = heads[random() % 3];
        int edits = 1 + (int)(random() % 8);
        for (int e = 0; e < edits; e++) {
            size_t at = random() % (head.size() + 1);
            switch (random() % 4) {
            case 0: // a random byte
                head.insert(at, 1, (char)(random() & 0xFF));
                break;
            case 1: // a cut
                head.erase(at, random() % 16);
                break;
            case 2: // a long run of one byte
                head.insert(at, random() % 3000, "a:\r\n? /"[random() % 7]);
                break;
            default: // a duplicated piece
                head.insert(at, head.substr(random() % head.size(), random() % 64));
                break;
            }
        }
        if (head.find("\n\n") == std::string::npos && head.find("\r\n\r\n") == std::string::npos)
            head += "\r\n\r\n";
        std::string reply = Exchange(head);
        EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 ", 0) == 0)
            << "seed " << seed << " round " << round;
        ASSERT_EQ(Connections(), 0) << "seed " << seed << " round " << round;
    }
}

TEST_F(ServerFixture, UnreadRequestBodyEndsTheConnection) {
    WebServer_SetKeepAlive(server, 1);
    documents["/a.txt"] = {200, "abc"};
    const char *requests[] = {
        "GET /a.txt HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nhello",
        "POST /a.txt HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nhello",
        "GET /a.txt HTTP/1.1\r\nConnection: Keep-Alive\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\n0\r\n\r\n",
    };
    for (const char *request : requests) {
        std::string reply = Exchange(request); // returns once the server closed
        EXPECT_EQ(Header(reply, "Connection"), "close") << request;
        EXPECT_EQ(BodyOf(reply), "abc") << request;
    }
}

TEST_F(ServerFixture, NoRequestCallbackAnswers501) {
    WebServer_SetRequestCallback(server, nullptr, nullptr);
    std::string reply = Exchange("GET /a.txt HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 501 Not Implemented\r\n", 0), 0u) << reply;
}

TEST_F(ServerFixture, RequestSplitAcrossWritesIsAssembled) {
    documents["/a.txt"] = {200, "abc"};
    std::string reply;
    PollWhile([&] {
        Client client(port);
        ASSERT_TRUE(client.Connected());
        const char *parts[] = {"GE", "T /a.txt HTTP/1.1\r", "\nHost: x\r\n\r", "\n"};
        for (const char *part : parts) {
            client.Send(part);
            usleep(20000); // lets the server see each part on its own
        }
        reply = client.ReadToEnd(20000);
    });
    EXPECT_EQ(BodyOf(reply), "abc");
}

TEST_F(ServerFixture, CurlKeepAliveReusesTheConnection) {
    WebServer_SetKeepAlive(server, 1);
    documents["/one.txt"] = {200, "first body"};
    documents["/two.txt"] = {200, std::string(100000, 'z')};
    std::string out = Curl("-H 'Connection: Keep-Alive' -w '[%{num_connects}]' " + Url("/one.txt") +
                           " " + Url("/two.txt"));
    EXPECT_EQ(out, "first body[1]" + std::string(100000, 'z') + "[0]");
    EXPECT_EQ(paths, (std::vector<std::string>{"/one.txt", "/two.txt"}));
    // Each request ends with a keep-alive reset, then curl closes the connection.
    EXPECT_EQ(closes, 3);
}

TEST_F(ServerFixture, KeepAliveNeedsTheServersConsent) {
    documents["/one.txt"] = {200, "x"};
    std::string out = Curl("-H 'Connection: Keep-Alive' -w '[%{num_connects}]' " + Url("/one.txt") +
                           " " + Url("/one.txt"));
    EXPECT_EQ(out, "x[1]x[1]"); // one answer per connection
}

TEST_F(ServerFixture, CurlHeadGetsTheHeadOnly) {
    documents["/big.bin"] = {200, std::string(50000, 'b')};
    std::string out = Curl("-I " + Url("/big.bin"));
    EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
    EXPECT_NE(out.find("Content-Length: 50000"), std::string::npos) << out;
    EXPECT_EQ(out.find("bbbb"), std::string::npos);
}

TEST_F(ServerFixture, ZeroLengthBodyClosesTheConnection) {
    WebServer_SetKeepAlive(server, 1);
    documents["/empty.txt"] = {204, ""};
    std::string reply = Exchange("GET /empty.txt HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 204 No Content\r\n", 0), 0u);
    EXPECT_EQ(Header(reply, "Connection"), "close");
    EXPECT_EQ(Header(reply, "Content-Length"), "");
    EXPECT_EQ(BodyOf(reply), "");
    EXPECT_EQ(Connections(), 0);
    std::string out = Curl("-o /dev/null -w '%{http_code}' " + Url("/empty.txt"));
    EXPECT_EQ(out, "204");
}

TEST_F(ServerFixture, BodyWithoutLengthEndsAtClose) {
    documents["/stream.bin"] = {200, std::string(20000, 's'), false};
    std::string out = Curl(Url("/stream.bin"));
    EXPECT_EQ(out, std::string(20000, 's'));
}

TEST_F(ServerFixture, WebGetFetchesFromTheServer) {
    WebServer_SetKeepAlive(server, 1);
    std::string body;
    for (int i = 0; i < 300000; i++)
        body += (char)('a' + i % 26);
    documents["/data.bin"] = {200, body};
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGet_SetAttempts(web, 1);
    WebGet_SetBlocking(web, 0);
    WebGet_SetKeepAlive(web, 1);
    for (int round = 0; round < 2; round++) {
        WebGet_SetURL(web, Url("/data.bin").c_str());
        int success = 0;
        while (WebGet_Process(web, &success))
            WebServer_Process(server);
        ASSERT_EQ(success, 1);
        const char *content = nullptr;
        int64_t size = 0;
        WebGet_GetContent(web, &content, &size);
        EXPECT_EQ(std::string(content, (size_t)size), body);
    }
    WebGet_Destroy(&web);
    EXPECT_EQ(requestCalls, 2);
}

TEST_F(ServerFixture, HeldRequestIsAnsweredWhenReleased) {
    holdFirst = true;
    holdSeconds = 100;
    documents["/late.txt"] = {200, "late"};
    int passes = 0;
    std::string reply;
    PollWhile([&] { reply = RawExchange(port, "GET /late.txt HTTP/1.1\r\n\r\n"); },
              [&] {
                  if (requestCalls == 0 || released)
                      return;
                  // Held: past the idle time-out, the request is asked again
                  // each pass and the connection stays open.
                  g_clock = 1090.0;
                  if (++passes == 5) {
                      EXPECT_GE(requestCalls, 3);
                      EXPECT_EQ(Connections(), 1);
                      released = true;
                  }
              });
    EXPECT_EQ(BodyOf(reply), "late");
    EXPECT_EQ(paths.size(), 1u);
}

TEST_F(ServerFixture, IdleConnectionTimesOut) {
    holdFirst = true;
    holdSeconds = 10;
    std::string reply;
    PollWhile([&] { reply = RawExchange(port, "GET /late.txt HTTP/1.1\r\n\r\n"); },
              [&] {
                  if (requestCalls > 0)
                      g_clock = 1071.0; // hold over, and 61 s since the last activity
              });
    EXPECT_EQ(reply, "");
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(Connections(), 0);
}

TEST_F(ServerFixture, BodyNotYetAvailableKeepsTheConnection) {
    documents["/piece.bin"] = {200, std::string(9000, 'p')};
    starvedCalls = 20;
    std::string reply = Exchange("GET /piece.bin HTTP/1.1\r\n\r\n");
    EXPECT_EQ(starvedCalls, 0);
    EXPECT_EQ(BodyOf(reply), std::string(9000, 'p'));
}

TEST_F(ServerFixture, TimerRunsOncePerInterval) {
    int runs = 0;
    WebServer_SetTimerCallback(server, &runs,
                               [](WebServerStruct *, void *user) { ++*static_cast<int *>(user); });
    WebServer_Process(server);
    EXPECT_EQ(runs, 0);
    g_clock += 61;
    WebServer_Process(server);
    WebServer_Process(server);
    EXPECT_EQ(runs, 1);
    g_clock += 30;
    WebServer_Process(server);
    EXPECT_EQ(runs, 1);
    g_clock += 31;
    WebServer_Process(server);
    EXPECT_EQ(runs, 2);
}

TEST(WebServerThread, ThreadedServerServesCurl) {
    WebServerStruct *server = nullptr;
    ASSERT_EQ(CreateLoopbackServer(&server), 1);
    WebServer_SetRequestCallback(
        server, nullptr, [](WebServerStruct *s, WebServerRequestStruct *r, void *, void **) {
            WebServer_SetResponseCode(s, r, 200, 5);
            WebServer_SetResponseHeader(s, r, "X-Test", "yes");
            return 1;
        });
    WebServer_SetBodyCallback(server, nullptr,
                              [](WebServerStruct *, WebServerRequestStruct *, void *, void **,
                                 int *done, char *buffer, int, int *written) {
                                  memcpy(buffer, "hello", 5);
                                  *written = 5;
                                  *done = 1;
                                  return 1;
                              });
    int port = 0;
    ASSERT_EQ(StartListening(server, &port), 1);
    std::string out;
    testsupport::RunCommand(
        "curl -s -i --max-time 20 http://127.0.0.1:" + std::to_string(port) + "/x.txt", &out);
    EXPECT_NE(out.find("X-Test: yes\r\n"), std::string::npos) << out;
    EXPECT_EQ(BodyOf(out), "hello");
    ASSERT_EQ(WebServer_StartThread(server, 0), 1);
    EXPECT_EQ(WebServer_GetListenPort(server, &port), 0);
    WebServer_Destroy(&server);
}

} // namespace
