// A hostile server against the metafile fetch: a reply announcing more than a
// metafile may hold is refused before its body is read, and an endless one is
// cut at the same limit, each in bounded time and memory.
#include <gtest/gtest.h>

#include <string>

#include "core/zyl.h"
#include "engine/content.h"
#include "engine/metafile.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_server.h"

using nettest::ScriptedConnection;
using nettest::ScriptedServer;
using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;

namespace {

// Answers with `head`, then sends `piece` over and over while the client
// reads, up to 8 MiB.
ScriptedServer::Handler Endless(const std::string &head, const std::string &piece) {
    return [head, piece](ScriptedConnection &c, int) {
        c.ReadRequest();
        if (!c.Send(head))
            return;
        std::string block;
        while (block.size() < 65536)
            block += piece;
        for (size_t sent = 0; sent < (8u << 20) && c.Send(block); sent += block.size()) {
        }
    };
}

TEST(ContentWebHostile, MetafileLargerThanAMetafileMayBeIsRefused) {
    const std::string over = std::to_string((int64_t)METAFILE_MAX_FILE_SIZE + 1);
    const struct {
        const char *name;
        std::string head;
    } cases[] = {
        {"announced", "HTTP/1.1 200 OK\r\nContent-Length: " + over + "\r\n\r\n"},
        {"announced far above", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999\r\n\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CaptureAlerts();
        int64_t blocks = 0, bytes = 0;
        Zyl_MemoryGetUsage(&blocks, &bytes);
        ScriptedServer server(Endless(c.head, "d"));
        ContentStruct *content = nullptr;
        Content_Create(&content);
        Content_SetSource(content, server.url("/meta.torrent").c_str(), CONTENT_SOURCE_URL);
        EXPECT_EQ(0, Content_Open(content));
        EXPECT_TRUE(AlertSeen("[959:Exceeded size limit]")) << AlertText();
        Content_Destroy(&content);
        EXPECT_EQ(1, server.connections()); // refused, not retried
        int64_t blocksAfter = 0, bytesAfter = 0;
        Zyl_MemoryGetUsage(&blocksAfter, &bytesAfter);
        EXPECT_EQ(blocks, blocksAfter);
        EXPECT_EQ(bytes, bytesAfter);
    }
}

} // namespace
