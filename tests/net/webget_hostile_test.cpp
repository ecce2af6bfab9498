// Hostile servers against the HTTP client: scripted replies that announce or
// stream more than the limit, endless interim heads and trailers, bodies that
// drip, redirects that carry credentials away or lead inside, and replies
// framed two ways. Each must end in bounded time and memory with its exact
// status. The dripping servers run on the test's clock (stepping mode).
#include "net/upnp.h"
#include "net/webget.h"

#include "core/zyl.h"
#include "net/webget_internal.h"
#include "tests/net/webget_hostile.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using nettest::ScriptedConnection;
using nettest::ScriptedServer;
using webgettest::Client;
using webgettest::Endless;
using webgettest::Gate;
using webgettest::GateGuard;
using webgettest::ManualClock;
using webgettest::MemoryCheck;
using webgettest::RedirectTo;
using webgettest::Reply200;

struct HostileCase {
    const char *name;
    ScriptedServer::Handler handler;
    int status;
    const char *message; // in the log
    std::string content; // expected content when the request succeeds
};

void RunCases(const std::vector<HostileCase> &cases, int64_t sizeLimit) {
    for (const HostileCase &c : cases) {
        SCOPED_TRACE(c.name);
        MemoryCheck memory;
        ScriptedServer server(c.handler);
        testsupport::ConsoleCapture console;
        {
            Client client;
            client.Configure([&](WebGetSettingsStruct &s) { s.SizeLimit = sizeLimit; });
            int success = client.Get(server.url("/h"));
            EXPECT_EQ(c.status, client.Status());
            EXPECT_EQ(c.status == 200 ? 1 : 0, success);
            if (c.status == 200) {
                EXPECT_EQ(c.content, client.Content());
            }
            EXPECT_LE(client.w->ContentCount, sizeLimit);
        }
        if (c.message[0] != '\0') {
            EXPECT_TRUE(console.Contains(c.message)) << console.Text();
        }
    }
}

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string Interim(int count, size_t pad = 0) {
    std::string heads;
    for (int i = 0; i < count; i++) {
        heads += "HTTP/1.1 100 Continue\r\n";
        if (pad > 0)
            heads += "X-Pad: " + std::string(pad, 'p') + "\r\n";
        heads += "\r\n";
    }
    return heads;
}

// ---------------------------------------------------------------------------
// Size limit
// ---------------------------------------------------------------------------

TEST(WebGetHostile, SizeLimitHoldsForAnnouncedAndStreamedBodies) {
    const int64_t limit = 65536;
    const std::vector<HostileCase> cases = {
        {"announced above the limit, refused before the body",
         Endless("HTTP/1.1 200 OK\r\nContent-Length: 100000000000\r\n\r\n", "x"), 959,
         "Content-Length 100000000000 above the size limit 65536", ""},
        {"announced one above the limit",
         ScriptedServer::Reply(Reply200(std::string(limit + 1, 'y'))), 959, "above the size limit",
         ""},
        {"announced at the limit", ScriptedServer::Reply(Reply200(std::string(limit, 'z'))), 200,
         "", std::string(limit, 'z')},
        {"endless chunked body", Endless(kChunkedHead, "400\r\n" + std::string(1024, 'c') + "\r\n"),
         959, "Limit hit (", ""},
        {"endless body until close", Endless("HTTP/1.0 200 OK\r\n\r\n", "u"), 959, "Limit hit", ""},
    };
    RunCases(cases, limit);
}

TEST(WebGetHostile, AnnouncedLengthIsRefusedBeforeAnyBodyByteIsRead) {
    ScriptedServer server(
        Endless("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n", "b", 8u << 20));
    Client client;
    client.Configure([](WebGetSettingsStruct &s) { s.SizeLimit = 1000; });
    EXPECT_EQ(0, client.Get(server.url("/big")));
    EXPECT_EQ(959, client.Status());
    EXPECT_EQ(0, client.w->ContentCount);
    EXPECT_EQ(0, client.w->RawCount);
    // Content kept in memory is held to the memory limit even without a size limit.
    client.Configure([](WebGetSettingsStruct &s) { s.SizeLimit = 0; });
    EXPECT_EQ(WEBGET_MEMORY_LIMIT, WebGet_EffectiveLimit(client.w));
}

// ---------------------------------------------------------------------------
// Interim heads and trailers
// ---------------------------------------------------------------------------

TEST(WebGetHostile, InterimHeadsAndTrailersAreCapped) {
    const std::string final200 = Reply200("k");
    const std::string trailerEnd = "2\r\nok\r\n0\r\n";
    const std::vector<HostileCase> cases = {
        {"interim heads up to the cap",
         ScriptedServer::Reply(Interim(WEBGET_MAX_INTERIM) + final200), 200, "", "k"},
        {"one interim head past the cap",
         ScriptedServer::Reply(Interim(WEBGET_MAX_INTERIM + 1) + final200), 953,
         "Too many interim replies (5)", ""},
        {"a thousand interim heads", ScriptedServer::Reply(Interim(1000) + final200), 953,
         "Too many interim replies", ""},
        {"interim heads past the head limit together",
         ScriptedServer::Reply(Interim(3, 4000) + final200), 953,
         "Unable to find termination to header", ""},
        {"endless interim heads", Endless("", Interim(1)), 953, "Too many interim replies", ""},
        {"trailer within the limit",
         ScriptedServer::Reply(kChunkedHead + trailerEnd + "T: " + std::string(900, 't') +
                               "\r\n\r\n"),
         200, "", "ok"},
        {"trailer lines past the limit",
         ScriptedServer::Reply(kChunkedHead + trailerEnd +
                               [] {
                                   std::string lines;
                                   for (int i = 0; i < 20; i++)
                                       lines += "T" + std::to_string(i) + ": " +
                                                std::string(900, 't') + "\r\n";
                                   return lines + "\r\n";
                               }()),
         955, "Chunked trailer longer than 10240 bytes", ""},
        {"endless trailer", Endless(kChunkedHead + trailerEnd, "T: v\r\n"), 955,
         "Chunked trailer longer than 10240 bytes", ""},
    };
    RunCases(cases, 1 << 20);
}

TEST(WebGetHostile, UpnpDescriptionWithEndlessInterimHeadsEnds) {
    ScriptedServer server(Endless("", Interim(1)));
    UpnpStruct *upnp = nullptr;
    Upnp_Create(&upnp);
    WebGet_SetAttempts(upnp->Web, 1);
    WebGet_SetRetryDelay(upnp->Web, 0);
    testsupport::ConsoleCapture console;
    UpnpBaseStruct *base = nullptr;
    EXPECT_EQ(0, Upnp_AddLocation(upnp, server.url("/desc.xml").c_str(), &base));
    EXPECT_TRUE(console.Contains("Too many interim replies")) << console.Text();
    // Its requests have a deadline of their own, and a size limit.
    WebGetSettingsStruct settings;
    WebGet_GetSettings(upnp->Web, &settings);
    EXPECT_EQ((double)UPNP_FETCH_DEADLINE, settings.Deadline);
    EXPECT_EQ(UPNP_MAX_DOCUMENT, settings.SizeLimit);
    Upnp_Destroy(&upnp);
}

// ---------------------------------------------------------------------------
// Dripping servers, on the test's clock
// ---------------------------------------------------------------------------

// A server that sends its head, then `piece` each time the test opens the gate.
ScriptedServer::Handler Drip(Gate &gate, const std::string &head, const std::string &piece) {
    return [&gate, head, piece](ScriptedConnection &c, int) {
        c.ReadRequest();
        c.Send(head);
        for (int i = 1; gate.Wait(i) && c.Send(piece); i++) {
        }
    };
}

// Moves the clock by `step` seconds and lets one piece go, until the request
// ends; returns the seconds it ran on the test's clock.
double DripUntilEnd(Client &client, Gate &gate, double step, int most) {
    double start = ManualClock::now;
    for (int i = 0; i < most; i++) {
        ManualClock::Advance(step);
        gate.Release();
        int64_t count = client.w->ContentCount;
        if (!client.StepUntil([&] { return client.w->ContentCount > count; }) ||
            client.Phase() != WEBGET_PHASE_BODY)
            break;
    }
    return ManualClock::now - start;
}

TEST(WebGetHostile, ByteEveryTenSecondsFailsAsStalled) {
    Gate gate;
    ScriptedServer server(
        Drip(gate, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n", std::string(1, 'd')));
    GateGuard guard{gate};
    Client client;
    client.UseManualClock();
    testsupport::ConsoleCapture console;
    WebGet_SetURL(client.w, server.url("/drip").c_str());
    ASSERT_TRUE(client.StepUntil([&] { return client.Phase() == WEBGET_PHASE_BODY; }));
    // Every pause is within the 15 s I/O time-out; 64 bytes a second over 30 s is not met.
    double ran = DripUntilEnd(client, gate, 10.0, 100);
    ASSERT_NE(WEBGET_PHASE_BODY, client.Phase()) << "still reading after " << ran << " s";
    EXPECT_EQ(0, client.Finish());
    EXPECT_EQ(961, client.Status());
    EXPECT_LE(ran, 40.0);
    EXPECT_TRUE(console.Contains("WebGet transfer stalled")) << console.Text();
}

TEST(WebGetHostile, SteadyBodyEndsAtTheDeadline) {
    Gate gate;
    ScriptedServer server(
        Drip(gate, "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n", std::string(4096, 'd')));
    GateGuard guard{gate};
    Client client;
    client.UseManualClock();
    client.Configure([](WebGetSettingsStruct &s) { s.Deadline = 60.0; });
    testsupport::ConsoleCapture console;
    WebGet_SetURL(client.w, server.url("/steady").c_str());
    double start = ManualClock::now;
    ASSERT_TRUE(client.StepUntil([&] { return client.Phase() == WEBGET_PHASE_BODY; }));
    // 4 KiB every 10 s is above the minimum rate: only the deadline ends it.
    DripUntilEnd(client, gate, 10.0, 100);
    ASSERT_NE(WEBGET_PHASE_BODY, client.Phase()) << "still reading";
    EXPECT_EQ(0, client.Finish());
    EXPECT_EQ(961, client.Status());
    EXPECT_GT(ManualClock::now - start, 60.0);
    EXPECT_LE(ManualClock::now - start, 70.0);
    EXPECT_TRUE(console.Contains("WebGet deadline of 60.0 s passed")) << console.Text();
    EXPECT_FALSE(console.Contains("WebGet transfer stalled"));
}

// ---------------------------------------------------------------------------
// Redirects
// ---------------------------------------------------------------------------

TEST(WebGetHostile, CredentialsStayWithTheOriginOfTheURL) {
    ScriptedServer other(ScriptedServer::Reply(Reply200("other")));
    std::string otherUrl = other.url("/landing");
    ScriptedServer server([&](ScriptedConnection &c, int) {
        std::string request = c.ReadRequest();
        if (request.rfind("GET /start?", 0) == 0)
            c.Send(RedirectTo(request.substr(11, request.find(' ', 11) - 11)));
        else
            c.Send(Reply200("here"));
    });
    const std::string same = "http://localhost:" + std::to_string(server.port());
    const struct {
        std::string location;
        bool kept;
    } cases[] = {
        {"/next", true},                                                    // same origin
        {same + "/again", true},                                            // spelled out
        {"http://127.0.0.1:" + std::to_string(server.port()) + "/", false}, // another host
        {otherUrl, false},                                                  // another port
    };
    const std::string basic = "Authorization: Basic am9lOnNlY3JldA==\r\n";
    const std::string extra = "Authorization: Bearer token\r\n";
    for (const auto &c : cases) {
        for (bool asHeader : {false, true}) {
            SCOPED_TRACE(c.location + (asHeader ? " (extra header)" : " (credentials)"));
            Client client;
            if (asHeader)
                WebGet_AddHeader(client.w, "Authorization", "Bearer token");
            else
                WebGet_SetCredentials(client.w, "joe", "secret");
            size_t before = server.requests().size() + other.requests().size();
            ASSERT_EQ(1, client.Get(same + "/start?" + c.location));
            EXPECT_EQ(1, client.w->Redirects);
            std::vector<std::string> all = server.requests();
            for (const std::string &r : other.requests())
                all.push_back(r);
            ASSERT_EQ(before + 2, all.size());
            const std::string &line = asHeader ? extra : basic;
            // The first request always carries it; the redirected one only at home.
            std::string first =
                server.requests()[server.requests().size() - (c.location == otherUrl ? 1 : 2)];
            EXPECT_NE(std::string::npos, first.find(line)) << first;
            std::string second =
                c.location == otherUrl ? other.requests().back() : server.requests().back();
            EXPECT_EQ(c.kept, second.find(line) != std::string::npos) << second;
        }
    }
}

TEST(WebGetHostile, PublicPolicyKeepsRedirectsOutOfInternalAddresses) {
    // The URL as set is a public address reached through a proxy (the
    // scripted server), so the redirect targets are judged as a client out on
    // the internet would see them.
    ScriptedServer proxy([](ScriptedConnection &c, int) {
        std::string request = c.ReadRequest();
        const std::string prefix = "GET http://203.0.113.7/go?";
        if (request.rfind(prefix, 0) == 0)
            c.Send(RedirectTo(
                request.substr(prefix.size(), request.find(' ', prefix.size()) - prefix.size())));
        else
            c.Send(Reply200("reached"));
    });
    const struct {
        const char *location;
        int status;
    } cases[] = {
        {"http://192.168.1.1/admin", 957}, {"http://10.0.0.1/", 957},
        {"http://172.20.0.5:8080/", 957},  {"http://169.254.169.254/latest/meta-data", 957},
        {"http://127.0.0.1:1/", 957},      {"http://localhost/", 957},
        {"http://0.0.0.0/", 957},          {"http://203.0.113.9/fine", 200},
        {"http://172.32.0.1/", 200}, // just outside 172.16/12
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.location);
        Client client;
        WebGet_SetProxy(client.w, ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str());
        client.Configure(
            [](WebGetSettingsStruct &s) { s.RedirectPolicy = WEBGET_REDIRECT_PUBLIC; });
        testsupport::ConsoleCapture console;
        client.Get(std::string("http://203.0.113.7/go?") + c.location);
        EXPECT_EQ(c.status, client.Status());
        EXPECT_EQ(
            c.status == 957,
            console.Contains("HTTP Redirect blocked because it leads to an internal address"));
    }
    // A request that starts inside may stay inside.
    ScriptedServer local([](ScriptedConnection &c, int) {
        std::string request = c.ReadRequest();
        c.Send(request.rfind("GET /first ", 0) == 0 ? RedirectTo("/second") : Reply200("inside"));
    });
    Client client;
    client.Configure([](WebGetSettingsStruct &s) { s.RedirectPolicy = WEBGET_REDIRECT_PUBLIC; });
    EXPECT_EQ(1, client.Get(local.url("/first")));
    EXPECT_EQ("inside", client.Content());
}

// ---------------------------------------------------------------------------
// Framing
// ---------------------------------------------------------------------------

TEST(WebGetHostile, RepliesFramedTwoWaysFail) {
    const std::string chunkedBody = "2\r\nok\r\n0\r\n\r\n";
    auto reply = [](const std::string &head) {
        return ScriptedServer::Reply("HTTP/1.1 200 OK\r\n" + head + "\r\n");
    };
    const std::vector<HostileCase> cases = {
        {"differing Content-Length",
         reply("Content-Length: 2\r\nContent-Length: 9\r\n\r\nokEXTRA12"), 953,
         "Differing Content-Length values [2][9]", ""},
        {"equal Content-Length twice", reply("Content-Length: 2\r\ncontent-length: 2\r\n\r\nok"),
         200, "", "ok"},
        {"chunked after gzip", reply("Transfer-Encoding: gzip, chunked\r\n\r\n" + chunkedBody), 953,
         "Unsupported Transfer-Encoding [gzip, chunked]", ""},
        {"chunked then identity",
         reply("Transfer-Encoding: chunked, identity\r\n\r\n" + chunkedBody), 953,
         "Unsupported Transfer-Encoding", ""},
        {"a word holding chunked", reply("Transfer-Encoding: xchunked\r\n\r\n" + chunkedBody), 953,
         "Unsupported Transfer-Encoding [xchunked]", ""},
        {"identity", reply("Transfer-Encoding: identity\r\nContent-Length: 2\r\n\r\nok"), 953,
         "Unsupported Transfer-Encoding [identity]", ""},
        {"two Transfer-Encoding lines",
         reply("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + chunkedBody),
         953, "Unsupported Transfer-Encoding", ""},
        {"chunked in capitals", reply("Transfer-Encoding:  Chunked \r\n\r\n" + chunkedBody), 200,
         "", "ok"},
        {"chunked beside a length",
         reply("Content-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n" + chunkedBody), 200, "",
         "ok"},
    };
    RunCases(cases, 1 << 20);
}

} // namespace
