// HTTP client benchmark driver: fetches URLs with WebGet the way a caller
// would, writing the content to /dev/null. Timed from outside by the
// bench/cases scripts against curl on the same URLs.
//   bench_http get URL        one blocking GET, content to /dev/null
//   bench_http many LISTFILE  every URL of the file (one a line) over one
//                             keep-alive connection
// Exit status 0 only when every request succeeded with the whole body.
#include "core/zyl.h"
#include "net/webget.h"

#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Sink {
    FILE *out;
    int64_t bytes;
};

int ToNull(WebGetStruct *, void *user, const void *data, int length, int *) {
    Sink *sink = static_cast<Sink *>(user);
    sink->bytes += length;
    return fwrite(data, 1, (size_t)length, sink->out) == (size_t)length;
}

int Fetch(WebGetStruct *web, const std::string &url) {
    WebGet_SetURL(web, url.c_str());
    int success = 0;
    while (WebGet_Process(web, &success)) {
    }
    if (!success)
        fprintf(stderr, "failed: %s (%d)\n", url.c_str(), WebGet_GetStatus(web));
    return success;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_http get URL | many LISTFILE\n");
        return 2;
    }
    Zyl_Init("bench_http.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Socket_Init();
    Sink sink = {fopen("/dev/null", "wb"), 0};
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGet_SetContentCallback(web, &sink, ToNull);
    std::string mode = argv[1];
    int ok = 1;
    if (mode == "get") {
        ok = Fetch(web, argv[2]);
        int64_t length = 0;
        if (ok && WebGet_GetContentLength(web, &length) && length != sink.bytes)
            ok = 0;
    } else {
        WebGet_SetKeepAlive(web, 1);
        FILE *list = fopen(argv[2], "r");
        char line[4096];
        while (ok && list != nullptr && fgets(line, sizeof line, list) != nullptr) {
            std::string url(line);
            while (!url.empty() && (url.back() == '\n' || url.back() == '\r'))
                url.pop_back();
            if (!url.empty())
                ok = Fetch(web, url);
        }
        if (list != nullptr)
            fclose(list);
        if (web->ConnectionCount != 1)
            fprintf(stderr, "connections used: %d\n", web->ConnectionCount);
    }
    WebGet_Destroy(&web);
    fclose(sink.out);
    Socket_Remove();
    return ok ? 0 : 1;
}
