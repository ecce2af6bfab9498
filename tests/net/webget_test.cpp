// Tests of the HTTP client against real servers on 127.0.0.1: a scripted
// server for exact request bytes and malformed replies, and nginx for the
// ordinary web (ranges, chunked replies, redirects, cookies, keep-alive, slow
// bodies). Bodies are compared by SHA-1.
#include "net/webget.h"

#include "net/webget_internal.h"
#include "tests/net/webget_hostile.h"

#include "core/zyl.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using nettest::NginxServer;
using nettest::ScriptedConnection;
using nettest::ScriptedServer;
using webgettest::Client;
using webgettest::Gate;
using webgettest::GateGuard;
using webgettest::ManualClock;
using webgettest::MemoryCheck;
using webgettest::RedirectTo;
using webgettest::Reply200;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = (char)(generator() & 0xFF);
    return bytes;
}

const char *kAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n";

// ---------------------------------------------------------------------------
// Request text
// ---------------------------------------------------------------------------

TEST(WebGetRequest, DefaultGetSendsExactBytes) {
    ScriptedServer server(ScriptedServer::Reply(Reply200("hello")));
    Client client;
    std::string url = "http://LOCALHOST:" + std::to_string(server.port()) + "/Dir/f.txt?q=1";
    ASSERT_EQ(1, client.Get(url));
    EXPECT_EQ(200, client.Status());
    EXPECT_EQ("hello", client.Content());
    int64_t length = 0;
    EXPECT_EQ(1, WebGet_GetContentLength(client.w, &length));
    EXPECT_EQ(5, length);
    ASSERT_EQ(1u, server.requests().size());
    EXPECT_EQ("GET /Dir/f.txt?q=1 HTTP/1.0\r\n"
              "Accept: */*\r\n"
              "Accept-Language: en-us\r\n" +
                  std::string(kAgent) + "Host: localhost:" + std::to_string(server.port()) +
                  "\r\n"
                  "Connection: close\r\n"
                  "Pragma: no-cache\r\n\r\n",
              server.requests()[0]);
    char name[64];
    WebGet_GetFileName(client.w, name, sizeof name);
    EXPECT_STREQ("f.txt", name);
}

TEST(WebGetRequest, ExtraHeadersRangeCredentialsAndKeepAlive) {
    ScriptedServer server(ScriptedServer::Reply(Reply200("x")));
    Client client;
    WebGet_AddHeader(client.w, "user-agent", "");       // removes the standard header
    WebGet_AddHeader(client.w, "Accept", "text/plain"); // replaces in place
    WebGet_AddHeader(client.w, "X-One", "1");
    WebGet_AddHeader(client.w, "X-One", "2"); // replaced, not repeated
    WebGet_SetRange(client.w, 10, 19);
    WebGet_SetCredentials(client.w, "joe", "secret");
    WebGet_SetKeepAlive(client.w, 1);
    EXPECT_EQ(1.1, client.w->Settings.HTTPVersion);
    client.Get(server.url("/a"));
    ASSERT_EQ(1u, server.requests().size());
    EXPECT_EQ("GET /a HTTP/1.1\r\n"
              "Accept: text/plain\r\n"
              "Accept-Language: en-us\r\n"
              "Range: bytes=10-19\r\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\n"
                  "Connection: Keep-Alive\r\n"
                  "Pragma: no-cache\r\n"
                  "Authorization: Basic am9lOnNlY3JldA==\r\n"
                  "X-One: 2\r\n\r\n",
              server.requests()[0]);
    // The range is used once; version 1.0 turns keep-alive off.
    WebGet_SetHTTPVersion(client.w, 1.0);
    EXPECT_EQ(0, client.w->Settings.KeepAlive);
}

TEST(WebGetRequest, HeadLeavesOutAcceptEncodingAndEndsAfterTheHead) {
    ScriptedServer server(
        ScriptedServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n", false));
    Client client;
    WebGet_SetRequestType(client.w, WEBGET_HEAD);
    WebGet_AddHeader(client.w, "Accept-Encoding", "gzip");
    ASSERT_EQ(1, client.Get(server.url("/h")));
    EXPECT_EQ("", client.Content());
    int64_t length = 0;
    EXPECT_EQ(1, WebGet_GetContentLength(client.w, &length));
    EXPECT_EQ(1000, length);
    ASSERT_EQ(1u, server.requests().size());
    EXPECT_EQ(0u, server.requests()[0].rfind("HEAD /h HTTP/1.0\r\n", 0));
    EXPECT_EQ(std::string::npos, server.requests()[0].find("Accept-Encoding"));
}

TEST(WebGetRequest, PostBodiesFromBufferAndFromQuery) {
    ScriptedServer server(ScriptedServer::Reply(Reply200("ok")));
    Client client;
    std::string body = "a=1&b=2";
    WebGet_SetRequestType(client.w, WEBGET_POST);
    WebGet_SetPostData(client.w, body.data(), (int)body.size());
    ASSERT_EQ(1, client.Get(server.url("/p")));
    // Without a body buffer the query becomes the body.
    ASSERT_EQ(1, client.Get(server.url("/q?x=9")));
    auto requests = server.requests();
    ASSERT_EQ(2u, requests.size());
    std::string common = "Accept: */*\r\nAccept-Language: en-us\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\n" +
                         std::string(kAgent) + "Host: 127.0.0.1:" + std::to_string(server.port()) +
                         "\r\n";
    EXPECT_EQ("POST /p HTTP/1.0\r\n" + common +
                  "Content-Length: 7\r\nConnection: close\r\nPragma: no-cache\r\n\r\na=1&b=2",
              requests[0]);
    // The first request's URL is now sent as the Referer.
    EXPECT_EQ("POST /q HTTP/1.0\r\n" + common +
                  "Content-Length: 3\r\nConnection: close\r\nPragma: no-cache\r\n"
                  "Referer: " +
                  server.url("/p") + "\r\n\r\nx=9",
              requests[1]);
}

TEST(WebGetRequest, CredentialsClearedByEmptyTexts) {
    const std::string good = "Authorization: Basic am9lOnNlY3JldA==";
    ScriptedServer server([&](ScriptedConnection &c, int) {
        std::string request = c.ReadRequest();
        if (request.find(good) != std::string::npos)
            c.Send(Reply200("welcome"));
        else
            c.Send("HTTP/1.0 401 Authorization Required\r\nContent-Length: 0\r\n\r\n");
    });
    Client client;
    EXPECT_EQ(0, client.Get(server.url("/secret")));
    EXPECT_EQ(401, client.Status());
    WebGet_SetCredentials(client.w, "joe", "secret");
    EXPECT_EQ(1, client.Get(server.url("/secret")));
    EXPECT_EQ("welcome", client.Content());
    WebGet_SetCredentials(client.w, "", "");
    EXPECT_EQ(0, client.Get(server.url("/secret")));
    EXPECT_EQ(401, client.Status());
    char text[64];
    WebGet_GetStatusText(client.w, text, sizeof text);
    EXPECT_STREQ("Authorization required", text);
}

// ---------------------------------------------------------------------------
// Malformed and unusual replies
// ---------------------------------------------------------------------------

struct ReplyCase {
    const char *name;
    std::string reply;
    int status;
    int success;
    std::string content;
};

TEST(WebGetReply, MalformedRepliesTable) {
    const std::string bigHead = "HTTP/1.0 200 OK\r\nX-Pad: " + std::string(12000, 'p') + "\r\n\r\n";
    const ReplyCase cases[] = {
        {"truncated body", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhello", 962, 0, "hello"},
        {"chunk 1A",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1A\r\n" + std::string(26, 'c') +
             "\r\n0\r\n\r\n",
         200, 1, std::string(26, 'c')},
        {"chunk extension and trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nabc\r\n2\r\nde\r\n0\r\n"
         "T: v\r\n\r\n",
         200, 1, "abcde"},
        {"long cookie name", Reply200("c", "Set-Cookie: " + std::string(1500, 'n') + "=1\r\n"), 200,
         1, "c"},
        {"long trailer line",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nT: " +
             std::string(300, 't') + "\r\n\r\n",
         200, 1, "ok"},
        {"chunk size line of 13",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
         "0000000000001\r\nx\r\n0\r\n\r\n",
         955, 0, ""},
        {"bad chunk line", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 955, 0,
         ""},
        {"missing CRLF after chunk",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabXY\r\n0\r\n\r\n", 955, 0,
         "ab"},
        {"oversized head", bigHead, 953, 0, ""},
        {"negative length", "HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nhello", 953, 0, ""},
        {"text length", "HTTP/1.0 200 OK\r\nContent-Length: ten\r\n\r\nhello", 953, 0, ""},
        {"no status line", "hello there\r\n\r\nbody", 953, 0, ""},
        {"closed without reply", "", 953, 0, ""},
        {"body until close", "HTTP/1.0 200 OK\r\n\r\nall of it", 200, 1, "all of it"},
        {"LF only head", "HTTP/1.0 200 OK\nContent-Length: 2\n\nhi", 200, 1, "hi"},
        {"bytes past the length", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhiEXTRA", 200, 1,
         "hi"},
        {"interim 100",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nk", 200, 1, "k"},
        {"no content", "HTTP/1.1 204 No Content\r\n\r\n", 204, 1, ""},
        {"not found", "HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n\r\nnope", 404, 0, "nope"},
    };
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(ScriptedServer::Reply(c.reply));
        Client client;
        EXPECT_EQ(c.success, client.Get(server.url("/m")));
        EXPECT_EQ(c.status, client.Status());
        if (!c.content.empty()) {
            EXPECT_EQ(c.content, client.Content());
        }
        EXPECT_EQ(1, server.connections());
    }
}

// Reads served from a fixed reply in pieces of `split` bytes, in place of the
// socket's, so that every way of cutting the reply is walked through.
struct SplitReply {
    std::string bytes;
    size_t position = 0;
    int split = 1;
    static int Read(WebGetStruct *, void *user, void *buffer, int length, int *count) {
        SplitReply *r = static_cast<SplitReply *>(user);
        *count = 0;
        if (r->position >= r->bytes.size())
            return 0; // as a closed connection
        size_t n = std::min({(size_t)r->split, (size_t)length, r->bytes.size() - r->position});
        memcpy(buffer, r->bytes.data() + r->position, n);
        r->position += n;
        *count = (int)n;
        return 1;
    }
};

TEST(WebGetReply, AnySplitOfTheReplyGivesTheSameResult) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\n"
                                "Transfer-Encoding: chunked\r\n\r\n"
                                "5;ext=1\r\nhello\r\n1A\r\n" +
                                std::string(26, 'z') + "\r\n0\r\nTrailer: x\r\n\r\n";
    const std::string sized = "HTTP/1.0 200 OK\nContent-Length: 12\n\nhello, world";
    for (const std::string &reply : {chunked, sized}) {
        for (int split = 1; split <= 40; split++) {
            SCOPED_TRACE(split);
            ScriptedServer server([](ScriptedConnection &c, int) {
                c.ReadRequest();
                c.ReadSome(10000); // until the client closes
            });
            SplitReply source;
            source.bytes = reply;
            source.split = split;
            Client client;
            client.w->Plain.Read = SplitReply::Read;
            client.w->Plain.User = &source;
            ASSERT_EQ(1, client.Get(server.url("/split")));
            EXPECT_EQ(reply == sized ? "hello, world" : "hello" + std::string(26, 'z'),
                      client.Content());
        }
    }
}

TEST(WebGetReply, FileNamesFromTheServerStayInTheirFolder) {
    const struct {
        const char *disposition;
        const char *name;
    } cases[] = {
        {"", "a%20b.bin"},
        {"Content-Disposition: attachment; filename=\"x y.zip\"; size=3\r\n", "x y.zip"},
        {"Content-Disposition: attachment; filename=plain.txt\r\n", "plain.txt"},
        {"Content-Disposition: attachment; filename=\"../../etc/passwd\"\r\n", "passwd"},
        {"Content-Disposition: attachment; filename=\"..\\..\\win.ini\"\r\n", "win.ini"},
        {"Content-Disposition: attachment; filename=..\r\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.disposition);
        ScriptedServer server(ScriptedServer::Reply(Reply200("f", c.disposition)));
        Client client;
        ASSERT_EQ(1, client.Get(server.url("/dir/a%2520b.bin?x=/y")));
        char name[128];
        WebGet_GetFileName(client.w, name, sizeof name);
        EXPECT_STREQ(c.name, name);
    }
}

TEST(WebGetReply, IncompleteBodyIsRetried) {
    ScriptedServer server([](ScriptedConnection &c, int index) {
        c.ReadRequest();
        if (index == 0)
            c.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhello");
        else
            c.Send(Reply200("0123456789"));
    });
    Client client;
    client.Configure([&](WebGetSettingsStruct &s) { s.Attempts = 3; });
    EXPECT_EQ(1, client.Get(server.url("/r")));
    EXPECT_EQ("0123456789", client.Content());
    EXPECT_EQ(2, server.connections());
}

// The time-out tests run the client on the test's clock, one step per call:
// time passes only where the test moves it.

TEST(WebGetReply, StalledReplyEndsWithIOTimeout) {
    ScriptedServer server([](ScriptedConnection &c, int) {
        c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npart");
        c.ReadSome(10000); // until the client gives up and closes
    });
    Client client;
    client.UseManualClock();
    WebGet_SetURL(client.w, server.url("/stall").c_str());
    ASSERT_TRUE(client.StepUntil([&] { return client.w->ContentCount == 4; }));
    ManualClock::Advance(14.9); // within the 15 s I/O time-out
    ASSERT_EQ(1, client.Step());
    EXPECT_EQ(WEBGET_PHASE_BODY, client.Phase());
    ManualClock::Advance(0.2);
    testsupport::ConsoleCapture console;
    EXPECT_EQ(0, client.Finish());
    EXPECT_EQ(961, client.Status());
    EXPECT_TRUE(console.Contains("WebGet timeout on socket IO for request"));
}

TEST(WebGetReply, SteadySlowBodyOutlastsTheIdleTimeout) {
    // 20 pieces 10 s apart: the whole body takes longer than the idle
    // time-out, no pause does (the minimum rate is off here).
    Gate gate;
    ScriptedServer server([&gate](ScriptedConnection &c, int) {
        c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 200\r\n\r\n");
        for (int i = 0; i < 20 && gate.Wait(i + 1); i++)
            c.Send(std::string(10, (char)('a' + i)));
    });
    GateGuard guard{gate};
    Client client;
    client.UseManualClock();
    client.Configure([](WebGetSettingsStruct &s) { s.MinRate = 0; });
    WebGet_SetURL(client.w, server.url("/steady").c_str());
    ASSERT_TRUE(client.StepUntil([&] { return client.Phase() == WEBGET_PHASE_BODY; }));
    for (int i = 0; i < 20; i++) {
        ManualClock::Advance(10.0);
        gate.Release();
        ASSERT_TRUE(client.StepUntil([&] { return client.w->ContentCount == 10 * (i + 1); }))
            << i << " " << client.Status();
    }
    EXPECT_EQ(1, client.Finish());
    EXPECT_EQ(200u, client.Content().size());
    double seconds = 0;
    WebGet_GetTransferTime(client.w, &seconds);
    EXPECT_GE(seconds, 200.0);
}

TEST(WebGetRequest, BodyToAServerThatDoesNotReadEndsWithIOTimeout) {
    Gate gate;
    ScriptedServer server([&gate](ScriptedConnection &, int) { gate.Wait(1); });
    GateGuard guard{gate};
    Client client;
    client.UseManualClock();
    std::string body(16 << 20, 'p');
    WebGet_SetRequestType(client.w, WEBGET_POST);
    WebGet_SetPostData(client.w, body.data(), (int)body.size());
    WebGet_SetURL(client.w, server.url("/sink").c_str());
    // Steps until the socket takes no more: the server's window is full.
    ASSERT_TRUE(client.StepUntil([&] {
        int fd = -1;
        if (client.Phase() != WEBGET_PHASE_REQUEST || !Socket_GetHandle(client.w->Socket, &fd))
            return false;
        struct pollfd p = {fd, POLLOUT, 0};
        return poll(&p, 1, 0) == 0;
    }));
    // A round in which the socket took nothing ends the request.
    for (int round = 0; round < 30 && client.Phase() == WEBGET_PHASE_REQUEST; round++) {
        ManualClock::Advance(15.1);
        client.Step();
    }
    EXPECT_EQ(0, client.Finish());
    EXPECT_EQ(961, client.Status());
    EXPECT_LT(client.w->BodySent, (int)body.size());
}

TEST(WebGetReply, SizeLimitAndSinkDecisions) {
    ScriptedServer server(ScriptedServer::Reply(Reply200(std::string(100, 'b'))));
    Client client;
    client.Configure([](WebGetSettingsStruct &s) { s.SizeLimit = 10; });
    EXPECT_EQ(0, client.Get(server.url("/big")));
    EXPECT_EQ(959, client.Status());
    EXPECT_EQ("", client.Content()); // the announced length alone refuses the body
    client.Configure([](WebGetSettingsStruct &s) { s.SizeLimit = 0; });

    // The sink gets every byte; its acceptance flag decides success.
    struct Sink {
        std::string bytes;
        int accept = 1;
        int result = 1;
    } sink;
    auto collect = [](WebGetStruct *, void *user, const void *data, int length, int *accepted) {
        Sink *s = static_cast<Sink *>(user);
        s->bytes.append(static_cast<const char *>(data), (size_t)length);
        if (!s->accept)
            *accepted = 0;
        return s->result;
    };
    WebGet_SetContentCallback(client.w, &sink, collect);
    EXPECT_EQ(1, client.Get(server.url("/big")));
    EXPECT_EQ(std::string(100, 'b'), sink.bytes);
    sink.accept = 0;
    EXPECT_EQ(0, client.Get(server.url("/big")));
    EXPECT_EQ(200, client.Status());
    sink.accept = 1;
    sink.result = 0;
    EXPECT_EQ(0, client.Get(server.url("/big")));
    EXPECT_EQ(956, client.Status());

    // The content veto after the head ends the request with 956.
    WebGet_SetContentCallback(client.w, nullptr, nullptr);
    WebGet_SetAcceptCallback(client.w, nullptr, [](WebGetStruct *, void *) { return 0; });
    EXPECT_EQ(0, client.Get(server.url("/big")));
    EXPECT_EQ(956, client.Status());
}

TEST(WebGetReply, KeepAliveFollowsTheReply) {
    const char *kept = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const char *closing = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    for (const char *reply : {kept, closing}) {
        SCOPED_TRACE(reply);
        ScriptedServer server(ScriptedServer::Reply(reply, reply == closing));
        {
            Client client;
            WebGet_SetKeepAlive(client.w, 1);
            EXPECT_EQ(1, client.Get(server.url("/1")));
            EXPECT_EQ(1, client.Get(server.url("/2")));
            EXPECT_EQ(1, client.Get(server.url("/3")));
        }
        EXPECT_EQ(reply == kept ? 1 : 3, server.connections());
        EXPECT_EQ(3u, server.requests().size());
    }
}

// Compression hooks that "decompress" by turning letters to upper case, and
// fail on the byte '!'.
struct UpperHooks {
    int ended = 0;
    static int Detect(WebGetStruct *web, void *) {
        char value[64];
        return WebGet_GetHeaderValue(web, "Content-Encoding", value, sizeof value) &&
               Zyl_StrEqual(value, "x-upper");
    }
    static int Decompress(WebGetStruct *, void *, const void *input, int length, int *used,
                          void *output, int size, int *made) {
        int n = length < size ? length : size;
        for (int i = 0; i < n; i++) {
            char c = static_cast<const char *>(input)[i];
            if (c == '!')
                return 0;
            static_cast<char *>(output)[i] = (char)toupper((unsigned char)c);
        }
        *used = *made = n;
        return 1;
    }
    static void End(WebGetStruct *, void *user) { static_cast<UpperHooks *>(user)->ended++; }
};

TEST(WebGetReply, DecompressionHooks) {
    ScriptedServer server([](ScriptedConnection &c, int index) {
        c.ReadRequest();
        c.Send(Reply200(index == 0 ? "quiet words" : "bad!", "Content-Encoding: x-upper\r\n"));
    });
    UpperHooks hooks;
    WebGetCompressionOps ops = {UpperHooks::Detect, UpperHooks::Decompress, UpperHooks::End,
                                &hooks};
    Client client;
    WebGet_SetCompression(client.w, &ops);
    ASSERT_EQ(1, client.Get(server.url("/z")));
    EXPECT_EQ("QUIET WORDS", client.Content());
    EXPECT_EQ(1, hooks.ended);
    EXPECT_EQ(0, client.Get(server.url("/z")));
    EXPECT_EQ(960, client.Status());
    EXPECT_EQ(2, hooks.ended);
}

TEST(WebGetRequest, ProxyGetsTheWholeURLAndItsCredentials) {
    ScriptedServer proxy(ScriptedServer::Reply(Reply200("via proxy")));
    Client client;
    std::string proxyUrl = "http://pu:pp@127.0.0.1:" + std::to_string(proxy.port());
    ASSERT_EQ(1, WebGet_SetProxy(client.w, proxyUrl.c_str()));
    ASSERT_EQ(1, client.Get("http://far.invalid/doc.xml"));
    EXPECT_EQ("via proxy", client.Content());
    ASSERT_EQ(1u, proxy.requests().size());
    const std::string request = proxy.requests()[0];
    EXPECT_EQ(0u, request.rfind("GET http://far.invalid/doc.xml HTTP/1.0\r\n", 0)) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nHost: far.invalid\r\n"));
    EXPECT_NE(std::string::npos, request.find("\r\nProxy-Authorization: Basic cHU6cHA=\r\n"));
    WebGet_SetProxy(client.w, "");
    EXPECT_EQ(0, client.w->UseProxy);
}

// A "secure" transport that counts its calls and moves plain bytes.
struct CountingTransport {
    int connects = 0, reads = 0, writes = 0;
    static int Connect(WebGetStruct *web, void *user, const uint8_t address[4], int port) {
        static_cast<CountingTransport *>(user)->connects++;
        return Socket_Connect(web->Socket, address, port);
    }
    static int Ready(WebGetStruct *, void *) { return 1; }
    static int Read(WebGetStruct *web, void *user, void *buffer, int length, int *count) {
        static_cast<CountingTransport *>(user)->reads++;
        return Socket_Read(web->Socket, buffer, length, count);
    }
    static int Write(WebGetStruct *web, void *user, const void *data, int length, int *count) {
        static_cast<CountingTransport *>(user)->writes++;
        return Socket_Write(web->Socket, data, length, count);
    }
};

TEST(WebGetRequest, HttpsGoesThroughTheInstalledTransport) {
    ScriptedServer server(ScriptedServer::Reply(Reply200("sealed")));
    CountingTransport counts;
    WebGetTransportOps ops = {CountingTransport::Connect, CountingTransport::Ready,
                              CountingTransport::Read, CountingTransport::Write, &counts};
    Client client;
    WebGet_SetSecureTransport(client.w, &ops);
    std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/s";
    EXPECT_EQ(0, client.Get(url)); // https not allowed yet
    EXPECT_EQ(952, client.Status());
    client.Configure([&](WebGetSettingsStruct &s) { s.HttpsAllowed = 1; });
    ASSERT_EQ(1, client.Get(url));
    EXPECT_EQ("sealed", client.Content());
    EXPECT_EQ(1, counts.connects);
    EXPECT_GT(counts.reads, 0);
    EXPECT_GT(counts.writes, 0);
    char absolute[128];
    WebGet_MakeAbsoluteURL(client.w, "/next", absolute, sizeof absolute);
    EXPECT_EQ("https://127.0.0.1:" + std::to_string(server.port()) + "/next",
              std::string(absolute));
}

TEST(WebGetMachine, IdleKeptConnectionIsClosedAndMemoryReturns) {
    MemoryCheck memory;
    {
        ScriptedServer server(
            ScriptedServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false));
        Client client;
        WebGet_SetClock(client.w, ManualClock::Read);
        WebGet_SetKeepAlive(client.w, 1);
        WebGet_AddHeader(client.w, "X-A", "1");
        WebGet_SetCookie(client.w, "c", "1", "/", "", 0);
        ASSERT_EQ(1, client.Get(server.url("/k")));
        EXPECT_EQ(1, Socket_IsOpen(client.w->Socket));
        int success = 1;
        EXPECT_EQ(0, WebGet_Process(client.w, &success)); // still within the idle time
        EXPECT_EQ(1, Socket_IsOpen(client.w->Socket));
        ManualClock::Advance(15.1); // idle past the I/O time-out
        testsupport::ConsoleCapture console;
        EXPECT_EQ(0, WebGet_Process(client.w, &success));
        EXPECT_EQ(0, success);
        EXPECT_EQ(0, Socket_IsOpen(client.w->Socket));
        EXPECT_TRUE(console.Contains("Closing peristent connection due to timeout"));
        WebGet_ClearHeaders(client.w);
    }
}

// ---------------------------------------------------------------------------
// Redirects
// ---------------------------------------------------------------------------

TEST(WebGetRedirect, LoopsEndWithBlockedRedirection) {
    // A to B to A for ever: capped.
    ScriptedServer pingPong([](ScriptedConnection &c, int) {
        std::string request = c.ReadRequest();
        c.Send(RedirectTo(request.rfind("GET /a ", 0) == 0 ? "/b" : "/a"));
    });
    Client client;
    testsupport::ConsoleCapture console;
    EXPECT_EQ(0, client.Get(pingPong.url("/a")));
    EXPECT_EQ(957, client.Status());
    EXPECT_TRUE(console.Contains("HTTP Redirect loop detected"));
    EXPECT_EQ(WEBGET_MAX_REDIRECTS + 1, pingPong.connections());

    // A to A: the loop is seen at once.
    ScriptedServer self(ScriptedServer::Reply(RedirectTo("/self")));
    console.Clear();
    EXPECT_EQ(0, client.Get(self.url("/self")));
    EXPECT_EQ(957, client.Status());
    EXPECT_TRUE(console.Contains("HTTP Redirect loop detected [" + self.url("/self") + "]"));
    EXPECT_EQ(1, self.connections());
}

TEST(WebGetRedirect, FollowsRelativeLocationsAndHonoursTheVeto) {
    ScriptedServer server([](ScriptedConnection &c, int) {
        std::string request = c.ReadRequest();
        if (request.rfind("GET /dir/start ", 0) == 0)
            c.Send(RedirectTo("next/../final.txt", 307));
        else
            c.Send(Reply200(request.substr(0, request.find(' ', 4))));
    });
    Client client;
    EXPECT_EQ(1, client.Get(server.url("/dir/start")));
    EXPECT_EQ("GET /dir/final.txt", client.Content());
    EXPECT_EQ(1, client.w->Redirects);

    WebGet_SetRedirectCallback(client.w, nullptr,
                               [](WebGetStruct *, void *, const char *) { return 0; });
    EXPECT_EQ(0, client.Get(server.url("/dir/start")));
    EXPECT_EQ(956, client.Status());
}

struct PolicyCase {
    int policy;
    const char *location;
    int blocked;
};

TEST(WebGetRedirect, PoliciesTable) {
    // Allowed redirects go on to a lookup or connect that fails (no such
    // server); blocked ones end with 957 before any of that.
    const PolicyCase cases[] = {
        {WEBGET_REDIRECT_ANY, "http://other.invalid/", 0},
        {WEBGET_REDIRECT_SAME_DOMAIN, "http://sub.localhost:1/", 0},
        {WEBGET_REDIRECT_SAME_DOMAIN, "http://evillocalhost/", 1},
        {WEBGET_REDIRECT_SAME_DOMAIN, "http://127.0.0.1/", 1},
        {WEBGET_REDIRECT_SAME_TLD, "http://x.localhost:1/", 0},
        {WEBGET_REDIRECT_SAME_TLD, "http://evillocalhost/", 1},
        {WEBGET_REDIRECT_NONE, "/elsewhere", 1},
    };
    for (const PolicyCase &c : cases) {
        SCOPED_TRACE(c.location);
        ScriptedServer server(ScriptedServer::Reply(RedirectTo(c.location)));
        Client client;
        client.Configure([&](WebGetSettingsStruct &s) { s.RedirectPolicy = c.policy; });
        EXPECT_EQ(0, client.Get("http://localhost:" + std::to_string(server.port()) + "/start"));
        if (c.blocked) {
            EXPECT_EQ(957, client.Status());
        } else {
            EXPECT_NE(957, client.Status());
        }
    }
}

// ---------------------------------------------------------------------------
// Cookies
// ---------------------------------------------------------------------------

TEST(WebGetCookies, SetByRepliesAndSentBack) {
    ScriptedServer server([](ScriptedConnection &c, int index) {
        c.ReadRequest();
        if (index == 0)
            c.Send(Reply200("set", "Set-Cookie: a=1; path=/\r\n"
                                   "Set-Cookie: b=2; domain=other.example\r\n"
                                   "Set-Cookie: s=3; secure\r\n"
                                   "set-cookie: c=4; Domain=.localhost\r\n"));
        else
            c.Send(Reply200("again"));
    });
    Client client;
    std::string url = "http://localhost:" + std::to_string(server.port()) + "/";
    ASSERT_EQ(1, client.Get(url));
    ASSERT_EQ(1, client.Get(url));
    ASSERT_EQ(2u, server.requests().size());
    EXPECT_NE(std::string::npos, server.requests()[1].find("\r\nCookie: a=1; c=4\r\n"))
        << server.requests()[1];
    EXPECT_EQ(1, WebGet_HasCookieForHost(client.w, "www.localhost"));
    EXPECT_EQ(0, WebGet_HasCookieForHost(client.w, "other.example"));
}

TEST(WebGetCookies, DomainMatchingTable) {
    Client client;
    WebGet_SetCookie(client.w, "n", "v", "/", "example.com", 0);
    WebGet_SetCookie(client.w, "N", "w", "/", "EXAMPLE.com", 0); // same name and domain: replaced
    const struct {
        const char *host;
        int match;
    } cases[] = {{"example.com", 1},
                 {"www.example.com", 1},
                 {"badexample.com", 0},
                 {"example.com.evil", 0},
                 {"com", 0},
                 {"WWW.Example.Com:8080", 1}};
    for (const auto &c : cases)
        EXPECT_EQ(c.match, WebGet_HasCookieForHost(client.w, c.host)) << c.host;
    WebGet_SetURL(client.w, "http://www.example.com/");
    char header[128];
    EXPECT_EQ(1, WebGet_GetCookieHeader(client.w, header, sizeof header));
    EXPECT_STREQ("N=w", header);
    std::string longHost(5000, 'h'); // longer than every host buffer
    EXPECT_EQ(0, WebGet_HasCookieForHost(client.w, longHost.c_str()));
    client.Configure([&](WebGetSettingsStruct &s) { s.CookiesToAllHosts = 1; });
    EXPECT_EQ(1, WebGet_HasCookieForHost(client.w, "anything.org"));
}

// ---------------------------------------------------------------------------
// Phase machine
// ---------------------------------------------------------------------------

TEST(WebGetMachine, SteppingModeMakesOneStepPerCall) {
    ScriptedServer server(ScriptedServer::Reply(Reply200("stepped")));
    Client client;
    WebGet_SetBlocking(client.w, 0);
    WebGet_SetURL(client.w, server.url("/s").c_str());
    std::vector<int> phases;
    int success = 0;
    int calls = 0;
    while (WebGet_Process(client.w, &success) == 1 && calls < 100000) {
        calls++;
        int phase = 0;
        WebGet_GetPhase(client.w, &phase);
        if (phases.empty() || phases.back() != phase)
            phases.push_back(phase);
    }
    EXPECT_EQ(1, success);
    EXPECT_EQ("stepped", client.Content());
    const std::vector<int> expected = {
        WEBGET_PHASE_STARTUP, WEBGET_PHASE_LOOKUP, WEBGET_PHASE_CONNECT,  WEBGET_PHASE_REQUEST,
        WEBGET_PHASE_HEADER,  WEBGET_PHASE_BODY,   WEBGET_PHASE_EVALUATE, WEBGET_PHASE_CLEANUP};
    std::vector<int> seen;
    for (int phase : phases) {
        if (std::find(expected.begin(), expected.end(), phase) != expected.end())
            seen.push_back(phase);
    }
    EXPECT_EQ(expected, seen);
    int phase = 0;
    WebGet_GetPhase(client.w, &phase);
    EXPECT_EQ(WEBGET_PHASE_DONE, phase);
    EXPECT_EQ(0, WebGet_Process(client.w, &success)); // ended: nothing more
    EXPECT_EQ(0, success);
    double seconds = -1;
    EXPECT_EQ(1, WebGet_GetPhaseTime(client.w, WEBGET_PHASE_CONNECT, &seconds));
    EXPECT_GE(seconds, 0.0);
    EXPECT_EQ(0, WebGet_GetPhaseTime(client.w, WEBGET_PHASE_DONE, &seconds)); // still running
}

TEST(WebGetMachine, TraceLogsPhasesAttemptsAndTotals) {
    ScriptedServer server(ScriptedServer::Reply(Reply200(std::string(3000, 't'))));
    Client client;
    WebGet_SetTrace(client.w, 1);
    client.Configure([&](WebGetSettingsStruct &s) { s.HeaderDump = 1; });
    client.Configure([&](WebGetSettingsStruct &s) { s.ProgressLog = 1; });
    testsupport::ConsoleCapture console;
    ASSERT_EQ(1, client.Get(server.url("/t")));
    for (const char *line :
         {"Phase changed from [Queued] to [Startup]", "Attempt 1 (of 1) : 0 [0]",
          "HTTP Return value [200][v1.0]", "WebGet Transfer [2.9k]", "Total Read [",
          "Successful (200)", "Connection close forced [1.0:0:]", "Total      : "}) {
        EXPECT_TRUE(console.Contains(line)) << line << "\n" << console.Text();
    }
}

TEST(WebGetMachine, RefusedConnectsUseEveryAttemptWithTheDelay) {
    nettest::RefusingPort refusing;
    ASSERT_NE(0, refusing.port());
    int port = refusing.port();
    Client client;
    client.UseManualClock();
    client.Configure([](WebGetSettingsStruct &s) {
        s.Attempts = 5;
        s.RetryDelay = 5.0;
    });
    std::vector<double> starts;
    WebGet_SetStartCallback(client.w, &starts, [](WebGetStruct *, void *user) {
        static_cast<std::vector<double> *>(user)->push_back(ManualClock::now);
        return 1;
    });
    testsupport::ConsoleCapture console;
    // Each step moves the clock by 0.25 s: the retry delay is waited out on it.
    WebGet_SetURL(client.w, ("http://127.0.0.1:" + std::to_string(port) + "/x").c_str());
    EXPECT_FALSE(client.StepUntil([] {
        ManualClock::Advance(0.25);
        return false;
    }));
    EXPECT_EQ(0, client.w->Success);
    EXPECT_EQ(950, client.Status());
    EXPECT_EQ(SOCKET_ERROR_REFUSED, Socket_GetLastError(client.w->Socket));
    EXPECT_TRUE(console.Contains("Unable to connect [Connection refused]"));
    ASSERT_EQ(6u, starts.size()); // five attempts and the final check
    for (size_t i = 1; i < starts.size(); i++)
        EXPECT_GE(starts[i] - starts[i - 1], 5.0) << i;
}

TEST(WebGetMachine, StartCallbackRefusalAndStop) {
    Client client;
    WebGet_SetStartCallback(client.w, nullptr, [](WebGetStruct *, void *) { return 0; });
    EXPECT_EQ(0, client.Get("http://127.0.0.1:1/"));
    EXPECT_EQ(956, client.Status());
    WebGet_Stop(client.w);
    int phase = 0;
    WebGet_GetPhase(client.w, &phase);
    EXPECT_EQ(WEBGET_PHASE_IDLE, phase);
    EXPECT_STREQ("Idle", WebGet_PhaseName(phase));
    EXPECT_STREQ("Unknown", WebGet_PhaseName(14));
}

TEST(WebGetMachine, LookupFailuresAndUnsupportedSchemes) {
    Client client;
    EXPECT_EQ(0, client.Get("http://no-such-host.invalid/"));
    EXPECT_EQ(951, client.Status());
    EXPECT_EQ(0, client.Get("http://127.0.0.1:70000/")); // port out of range
    EXPECT_EQ(951, client.Status());
    EXPECT_EQ(0, client.Get("https://127.0.0.1/"));
    EXPECT_EQ(952, client.Status());
    EXPECT_EQ(0, client.Get("ftp://127.0.0.1/"));
    EXPECT_EQ(952, client.Status());
}

// ---------------------------------------------------------------------------
// Text utilities
// ---------------------------------------------------------------------------

TEST(WebGetText, UrlFunctionsTable) {
    Client client;
    const struct {
        const char *in, *out;
    } normalize[] = {
        {"http://h/a/./b/../c.txt", "http://h/a/c.txt"},
        {"http://h/a/b/../../../x", "http://h/x"},
        {"http://h/a;jsessionid=1?x=../y", "http://h/a?x=../y"},
        {"http://h", "http://h"},
        {"http://h/dir/.", "http://h/dir/"},
    };
    for (const auto &c : normalize) {
        char buffer[256];
        Zyl_StrCopy(buffer, c.in, sizeof buffer);
        WebGet_NormalizePath(buffer, sizeof buffer);
        EXPECT_STREQ(c.out, buffer) << c.in;
    }

    WebGet_SetURL(client.w, "Example.COM\\dir\\file.bin?a\\b");
    EXPECT_STREQ("http://Example.COM/dir/file.bin?a\\b", client.w->URL);
    EXPECT_STREQ("example.com", client.w->Host);
    EXPECT_STREQ("http://Example.COM/dir/", client.w->BaseURL);
    EXPECT_STREQ("file.bin", client.w->FileName);

    const struct {
        const char *location, *out;
    } absolute[] = {
        {"http://other/x", "http://other/x"},           {"mailto:me", "mailto:me"},
        {"/root file", "http://example.com/root+file"}, {"//cdn/y", "http://cdn/y"},
        {"sub/../z", "http://Example.COM/dir/z"},
    };
    for (const auto &c : absolute) {
        char buffer[256];
        EXPECT_EQ(1, WebGet_MakeAbsoluteURL(client.w, c.location, buffer, sizeof buffer));
        EXPECT_STREQ(c.out, buffer) << c.location;
    }

    char buffer[64];
    EXPECT_EQ(1, WebGet_EscapeURL(client.w, "a b\\c?d\\e f", buffer, sizeof buffer));
    EXPECT_STREQ("a%20b/c?d\\e%20f", buffer);
    EXPECT_EQ(0, WebGet_EscapeURL(client.w, "a b", buffer, 4));
    EXPECT_EQ(1, WebGet_FormEncode("Az09*-._@ +&\xff", 13, buffer, sizeof buffer));
    EXPECT_STREQ("Az09*-._@+%2B%26%FF", buffer);
    EXPECT_EQ(0, WebGet_FormEncode("&&", 2, buffer, 6));

    EXPECT_EQ(1, WebGet_FindListValue("a=1; Name = two ;c=3", "name", buffer, sizeof buffer));
    EXPECT_STREQ("two", buffer);
    EXPECT_EQ(0, WebGet_FindListValue("a=1", "b", buffer, sizeof buffer));
}

TEST(WebGetText, ResultTexts) {
    const struct {
        int code;
        const char *text;
    } cases[] = {{200, "OK"},
                 {404, "Object not found"},
                 {206, "Partial content"},
                 {962, "Partial content"},
                 {957, "Blocked redirection"},
                 {961, "Timeout on I/O"},
                 {418, "Internal server error 418"}};
    for (const auto &c : cases) {
        char text[64];
        WebGet_ResultText(c.code, text, sizeof text);
        EXPECT_STREQ(c.text, text);
    }
}

// ---------------------------------------------------------------------------
// nginx
// ---------------------------------------------------------------------------

const char *kNginxLocations = R"(
    location /chunked/ { ssi on; ssi_types *; }
    location = /r301 { return 301 /files/data.bin; }
    location = /r302 { return 302 /files/data.bin; }
    location = /r307 { return 307 /r302; }
    location = /setcookie { add_header Set-Cookie "k=v1; Path=/"; return 200 "set"; }
    location = /echocookie { return 200 "[$http_cookie]"; }
    location = /connection { return 200 "$connection"; }
    location /gappy/ { limit_rate_after 2k; limit_rate 1; }
)";

class WebGetNginx : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<NginxServer>(kNginxLocations);
        if (!server_->ok())
            GTEST_SKIP() << server_->error();
        data_ = RandomBytes(1 << 20, 20261210);
        std::string root = server_->root();
        for (const char *dir : {"/files", "/chunked", "/gappy"})
            mkdir((root + dir).c_str(), 0755);
        testsupport::WriteFile(root + "/files/data.bin", data_);
        testsupport::WriteFile(root + "/chunked/page.txt", data_.substr(0, 300000));
        testsupport::WriteFile(root + "/gappy/file.bin", data_.substr(0, 8192));
    }
    std::unique_ptr<NginxServer> server_;
    std::string data_;
};

TEST_F(WebGetNginx, WholeFileRangesAndHead) {
    Client client;
    ASSERT_EQ(1, client.Get(server_->url("/files/data.bin")));
    EXPECT_EQ(testsupport::Sha1Hex(data_), testsupport::Sha1Hex(client.Content()));
    EXPECT_EQ(1, client.w->AcceptRanges);

    WebGet_SetRange(client.w, 100, 199);
    ASSERT_EQ(1, client.Get(server_->url("/files/data.bin")));
    EXPECT_EQ(206, client.Status());
    EXPECT_EQ(data_.substr(100, 100), client.Content());

    // An explicit range is sent even when it is the first byte alone.
    ASSERT_EQ(1, WebGet_SetByteRange(client.w, 0, 0));
    ASSERT_EQ(1, client.Get(server_->url("/files/data.bin")));
    EXPECT_EQ(206, client.Status());
    EXPECT_EQ(data_.substr(0, 1), client.Content());
    EXPECT_EQ(0, WebGet_SetByteRange(client.w, 5, 4));

    WebGet_SetRange(client.w, 1000000, 0);
    ASSERT_EQ(1, client.Get(server_->url("/files/data.bin")));
    EXPECT_EQ(206, client.Status());
    EXPECT_EQ(testsupport::Sha1Hex(data_.substr(1000000)), testsupport::Sha1Hex(client.Content()));

    WebGet_SetRequestType(client.w, WEBGET_HEAD);
    ASSERT_EQ(1, client.Get(server_->url("/files/data.bin")));
    EXPECT_EQ("", client.Content());
    int64_t length = 0;
    EXPECT_EQ(1, WebGet_GetContentLength(client.w, &length));
    EXPECT_EQ((int64_t)data_.size(), length);

    WebGet_SetRequestType(client.w, WEBGET_GET);
    EXPECT_EQ(0, client.Get(server_->url("/files/missing.bin")));
    EXPECT_EQ(404, client.Status());
}

TEST_F(WebGetNginx, ChunkedReplyOverKeepAlive) {
    Client client;
    WebGet_SetKeepAlive(client.w, 1);
    ASSERT_EQ(1, client.Get(server_->url("/chunked/page.txt")));
    EXPECT_EQ(1, client.w->Chunked);
    EXPECT_EQ(testsupport::Sha1Hex(data_.substr(0, 300000)),
              testsupport::Sha1Hex(client.Content()));
    int64_t length = 0;
    EXPECT_EQ(0, WebGet_GetContentLength(client.w, &length));
    // The chunk framing was consumed to its end: the connection carries on.
    ASSERT_EQ(1, client.Get(server_->url("/chunked/page.txt")));
    EXPECT_EQ(1, client.w->ConnectionCount);
    EXPECT_EQ(testsupport::Sha1Hex(data_.substr(0, 300000)),
              testsupport::Sha1Hex(client.Content()));
}

TEST_F(WebGetNginx, RedirectsOfEachKind) {
    for (const char *path : {"/r301", "/r302", "/r307"}) {
        SCOPED_TRACE(path);
        Client client;
        ASSERT_EQ(1, client.Get(server_->url(path)));
        EXPECT_EQ(200, client.Status());
        EXPECT_EQ(testsupport::Sha1Hex(data_), testsupport::Sha1Hex(client.Content()));
        EXPECT_EQ(std::string(path) == "/r307" ? 2 : 1, client.w->Redirects);
        EXPECT_EQ(server_->url("/files/data.bin"), std::string(client.w->CurrentURL));
    }
}

TEST_F(WebGetNginx, CookiesComeBack) {
    Client client;
    ASSERT_EQ(1, client.Get(server_->url("/echocookie")));
    EXPECT_EQ("[]", client.Content());
    ASSERT_EQ(1, client.Get(server_->url("/setcookie")));
    ASSERT_EQ(1, client.Get(server_->url("/echocookie")));
    EXPECT_EQ("[k=v1]", client.Content());
}

TEST_F(WebGetNginx, KeepAliveReusesOneConnection) {
    Client client;
    WebGet_SetKeepAlive(client.w, 1);
    std::vector<std::string> ids;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(1, client.Get(server_->url("/connection")));
        ids.push_back(client.Content());
    }
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_EQ(ids[0], ids[2]);
    EXPECT_EQ(1, client.w->ConnectionCount);

    // Without keep-alive every request has a connection of its own.
    WebGet_SetKeepAlive(client.w, 0);
    ASSERT_EQ(1, client.Get(server_->url("/connection")));
    ASSERT_EQ(1, client.Get(server_->url("/connection")));
    EXPECT_EQ(3, client.w->ConnectionCount);
}

TEST_F(WebGetNginx, RateLimitedBodyWithPausesPastTheIdleTimeout) {
    // nginx sends the first 2 KiB, then about a byte a second. On the test's
    // clock each round is 16 s: a round in which no byte came ends the body.
    Client gappy;
    gappy.UseManualClock();
    WebGet_SetURL(gappy.w, server_->url("/gappy/file.bin").c_str());
    ASSERT_TRUE(gappy.StepUntil([&] { return gappy.w->ContentCount >= 2048; }));
    testsupport::ConsoleCapture console;
    for (int round = 0; round < 30 && gappy.Step(); round++)
        ManualClock::Advance(16.0);
    EXPECT_EQ(0, gappy.Finish());
    EXPECT_EQ(961, gappy.Status());
    EXPECT_TRUE(console.Contains("WebGet timeout on socket IO for request"));
    EXPECT_GE(gappy.w->ContentCount, 2048);
}

} // namespace
