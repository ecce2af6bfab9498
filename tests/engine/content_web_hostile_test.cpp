// A hostile server against the metafile fetch: a reply announcing more than a
// metafile may hold is refused before its body is read, and an endless one is
// cut at the same limit, each in bounded time and memory.
#include <gtest/gtest.h>

#include <string>

#include "core/zyl.h"
#include "engine/content.h"
#include "engine/metafile.h"
#include "tests/net/webget_hostile.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_server.h"

using nettest::ScriptedServer;
using testsupport::AlertSeen;
using testsupport::AlertText;
using testsupport::CaptureAlerts;
using webgettest::Endless;
using webgettest::MemoryCheck;

namespace {

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
        MemoryCheck memory;
        ScriptedServer server(Endless(c.head, "d", 8u << 20));
        ContentStruct *content = nullptr;
        Content_Create(&content);
        Content_SetSource(content, server.url("/meta.torrent").c_str(), CONTENT_SOURCE_URL);
        EXPECT_EQ(0, Content_Open(content));
        EXPECT_TRUE(AlertSeen("[959:Exceeded size limit]")) << AlertText();
        Content_Destroy(&content);
        EXPECT_EQ(1, server.connections()); // refused, not retried
    }
}

} // namespace
