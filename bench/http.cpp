// HTTP client benchmark driver: fetches URLs with WebGet the way a caller
// would, writing the content to /dev/null, and the libcurl reference for many
// small documents.
//   bench_http get URL             one blocking GET, content to /dev/null (timed
//                                  from outside against the curl program)
//   bench_http many LISTFILE       every URL of the file (one a line) over one
//                                  keep-alive connection
//   bench_http curl-many LISTFILE  the same with one reused libcurl easy handle
// The many modes time the fetches themselves (not the start-up) and print
// "SECONDS BYTES CONNECTIONS": seconds for the whole list, content bytes
// received and connections opened. Exit status 0 only when every request
// succeeded with a 200 answer and its whole body.
#include "core/zyl.h"
#include "net/webget.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <curl/curl.h>
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
    if (!success || WebGet_GetStatus(web) != 200) {
        fprintf(stderr, "failed: %s (%d)\n", url.c_str(), WebGet_GetStatus(web));
        return 0;
    }
    return 1;
}

std::vector<std::string> ReadList(const char *path) {
    std::vector<std::string> urls;
    FILE *list = fopen(path, "r");
    char line[4096];
    while (list != nullptr && fgets(line, sizeof line, list) != nullptr) {
        std::string url(line);
        while (!url.empty() && (url.back() == '\n' || url.back() == '\r'))
            url.pop_back();
        if (!url.empty())
            urls.push_back(url);
    }
    if (list != nullptr)
        fclose(list);
    return urls;
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int GetOne(const char *url) {
    Sink sink = {fopen("/dev/null", "wb"), 0};
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGet_SetContentCallback(web, &sink, ToNull);
    int ok = Fetch(web, url);
    int64_t length = 0;
    if (ok && WebGet_GetContentLength(web, &length) && length != sink.bytes) {
        fprintf(stderr, "%s: %lld of %lld bytes\n", url, (long long)sink.bytes, (long long)length);
        ok = 0;
    }
    WebGet_Destroy(&web);
    fclose(sink.out);
    return ok;
}

int ManyOurs(const std::vector<std::string> &urls) {
    Sink sink = {fopen("/dev/null", "wb"), 0};
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGet_SetContentCallback(web, &sink, ToNull);
    WebGet_SetKeepAlive(web, 1);
    int ok = 1;
    double start = Now();
    for (size_t i = 0; ok && i < urls.size(); i++)
        ok = Fetch(web, urls[i]);
    double elapsed = Now() - start;
    if (ok)
        printf("%.6f %lld %d\n", elapsed, (long long)sink.bytes, WebGet_GetConnectionCount(web));
    WebGet_Destroy(&web);
    fclose(sink.out);
    return ok;
}

size_t CurlToNull(char *data, size_t size, size_t count, void *user) {
    Sink *sink = static_cast<Sink *>(user);
    sink->bytes += (int64_t)(size * count);
    return fwrite(data, size, count, sink->out) * size;
}

int ManyCurl(const std::vector<std::string> &urls) {
    Sink sink = {fopen("/dev/null", "wb"), 0};
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlToNull);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    int ok = 1;
    long connections = 0;
    double start = Now();
    for (size_t i = 0; ok && i < urls.size(); i++) {
        curl_easy_setopt(curl, CURLOPT_URL, urls[i].c_str());
        long status = 0, opened = 0;
        CURLcode code = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
        connections += opened;
        if (code != CURLE_OK || status != 200) {
            fprintf(stderr, "failed: %s (%s, %ld)\n", urls[i].c_str(), curl_easy_strerror(code),
                    status);
            ok = 0;
        }
    }
    double elapsed = Now() - start;
    if (ok)
        printf("%.6f %lld %ld\n", elapsed, (long long)sink.bytes, connections);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    fclose(sink.out);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_http get URL | many LISTFILE | curl-many LISTFILE\n");
        return 2;
    }
    Zyl_Init("bench_http.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Socket_Init();
    std::string mode = argv[1];
    int ok = 0;
    if (mode == "get") {
        ok = GetOne(argv[2]);
    } else if (mode == "many" || mode == "curl-many") {
        std::vector<std::string> urls = ReadList(argv[2]);
        if (urls.empty())
            fprintf(stderr, "no URL in %s\n", argv[2]);
        else
            ok = mode == "many" ? ManyOurs(urls) : ManyCurl(urls);
    } else {
        fprintf(stderr, "unknown mode %s\n", argv[1]);
    }
    Socket_Remove();
    return ok ? 0 : 1;
}
