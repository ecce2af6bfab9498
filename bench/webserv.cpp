// Embedded HTTP server benchmark driver: serves a folder with the server's own
// thread the way the web stream does, from memory (each file mapped once and
// kept, as the stream's pieces sit in the disk cache) handed out 4096 bytes a
// call, with keep-alive allowed. Timed from outside by bench/cases scripts with wrk and
// curl against nginx serving the same folder.
//   bench_webserv ROOT PORTFILE   serves ROOT on 127.0.0.1, writes the port to
//                                 PORTFILE, runs until SIGTERM or SIGINT
#include "net/webserv.h"
#include "core/file.h"
#include "core/zyl.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> g_stop{0};
const char *g_root = nullptr;

enum { kMappedFiles = 64 };

// Files mapped so far (by path), unmapped at exit. Used by the server thread only.
struct MappedFile {
    char Path[FILE_PATH_SIZE];
    const char *Data;
    int64_t Size;
};
MappedFile g_files[kMappedFiles];
int g_fileCount = 0;

// What one connection is sending.
struct Sending {
    const char *Data;
    int64_t Size;
    int64_t Position;
};

void EndSending(void **slot) {
    Sending *s = static_cast<Sending *>(*slot);
    if (s != nullptr)
        ZYL_FREE(s, sizeof(Sending));
    *slot = nullptr;
}

// The mapped file of a path; null when it cannot be mapped.
const MappedFile *MapFile(const char *path) {
    for (int i = 0; i < g_fileCount; i++) {
        if (Zyl_StrEqual(g_files[i].Path, path))
            return &g_files[i];
    }
    if (g_fileCount == kMappedFiles)
        return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    MappedFile *f = &g_files[g_fileCount];
    f->Size = (int64_t)info.st_size;
    f->Data = "";
    if (f->Size > 0) {
        void *data = mmap(nullptr, (size_t)f->Size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (data == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        f->Data = static_cast<const char *>(data);
    }
    close(fd);
    Zyl_StrCopy(f->Path, path, sizeof f->Path);
    g_fileCount++;
    return f;
}

int OnRequest(WebServerStruct *server, WebServerRequestStruct *request, void *, void **slot) {
    const char *path = nullptr;
    WebServer_GetRequestPath(server, request, &path);
    char full[FILE_PATH_SIZE];
    Zyl_FormatString(full, sizeof full, "%s%s", g_root, path);
    EndSending(slot);
    const MappedFile *file = Zyl_StrHasSubstring(path, "..") ? nullptr : MapFile(full);
    if (file == nullptr) {
        WebServer_SetResponseCode(server, request, 404, 0);
        return 1;
    }
    Sending *s = ZYL_NEW(Sending);
    s->Data = file->Data;
    s->Size = file->Size;
    *slot = s;
    WebServer_SetResponseCode(server, request, 200, s->Size);
    return 1;
}

int OnBody(WebServerStruct *, WebServerRequestStruct *, void *, void **slot, int *done,
           char *buffer, int size, int *written) {
    Sending *s = static_cast<Sending *>(*slot);
    *written = 0;
    if (s == nullptr) {
        *done = 1;
        return 1;
    }
    int64_t left = s->Size - s->Position;
    int n = left < size ? (int)left : size;
    memcpy(buffer, s->Data + s->Position, (size_t)n);
    s->Position += n;
    *written = n;
    *done = s->Position == s->Size;
    return 1;
}

void OnClose(WebServerStruct *, WebServerRequestStruct *, void *, void **slot) {
    EndSending(slot);
}

void OnSignal(int) {
    g_stop = 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_webserv ROOT PORTFILE\n");
        return 2;
    }
    Zyl_Init("bench_webserv.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    g_root = argv[1];
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    WebServerStruct *server = nullptr;
    WebServer_Create(&server);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    WebServer_SetBindAddress(server, loopback);
    WebServer_SetPort(server, 0);
    WebServer_SetKeepAlive(server, 1);
    WebServer_SetRequestCallback(server, nullptr, OnRequest);
    WebServer_SetBodyCallback(server, nullptr, OnBody);
    WebServer_SetCloseCallback(server, nullptr, OnClose);
    int port = 0;
    if (!WebServer_StartThread(server, 1) || !WebServer_GetListenPort(server, &port)) {
        fprintf(stderr, "bench_webserv: cannot listen\n");
        return 1;
    }
    FILE *out = fopen(argv[2], "w");
    fprintf(out, "%d\n", port);
    fclose(out);
    while (!g_stop)
        pause();
    WebServer_StartThread(server, 0);
    WebServer_Destroy(&server);
    for (int i = 0; i < g_fileCount; i++) {
        if (g_files[i].Size > 0)
            munmap(const_cast<char *>(g_files[i].Data), (size_t)g_files[i].Size);
    }
    return 0;
}
