// libFuzzer target for the HTTP client's reply handling: the input's first byte
// picks the read size (1 to 256), the rest is the server's reply, fed through
// a stand-in transport to a client that runs its whole phase machine (head,
// cookies, redirects, chunked and sized bodies, retries) without a network.
#include "core/zyl.h"
#include "net/webget.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

struct Feed {
    const uint8_t *data;
    size_t size;
    size_t position;
    int split;
};

int FakeConnect(WebGetStruct *, void *, const uint8_t[4], int) {
    return 1;
}

int FakeReady(WebGetStruct *, void *) {
    return 1;
}

int FakeRead(WebGetStruct *, void *user, void *buffer, int length, int *count) {
    Feed *feed = static_cast<Feed *>(user);
    *count = 0;
    if (feed->position >= feed->size)
        return 0; // the server closed
    size_t n = feed->size - feed->position;
    if (n > (size_t)feed->split)
        n = (size_t)feed->split;
    if (n > (size_t)length)
        n = (size_t)length;
    memcpy(buffer, feed->data + feed->position, n);
    feed->position += n;
    *count = (int)n;
    return 1;
}

int FakeWrite(WebGetStruct *, void *, const void *, int length, int *count) {
    *count = length;
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("webget_fuzz.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    Feed feed = {data + 1, size - 1, 0, data[0] + 1};
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGetTransportOps ops = {FakeConnect, FakeReady, FakeRead, FakeWrite, &feed};
    WebGet_SetPlainTransport(web, &ops);
    WebGetSettingsStruct settings;
    WebGet_GetSettings(web, &settings);
    settings.Attempts = 2;
    settings.RetryDelay = 0.0;
    settings.SizeLimit = (data[0] & 1) ? 4096 : 0;
    WebGet_Configure(web, &settings);
    WebGet_SetKeepAlive(web, (data[0] & 2) ? 1 : 0);
    WebGet_SetURL(web, "http://127.0.0.1:1/dir/file.bin");
    int success = 0;
    while (WebGet_Process(web, &success)) {
    }
    const char *content = nullptr;
    int64_t length = 0;
    WebGet_GetContent(web, &content, &length);
    if (length > 0 && content[length] != '\0')
        __builtin_trap(); // the content is always NUL-terminated
    char value[256];
    WebGet_GetHeaderValue(web, "Location", value, sizeof value);
    WebGet_GetCookieHeader(web, value, sizeof value);
    WebGet_Destroy(&web);
    return 0;
}
