// libFuzzer target for the embedded HTTP server's request heads: the input
// (after a first byte whose low bit allows keep-alive) is sent on a real
// loopback connection to a polled server, whose callbacks read every part of
// the request and answer it; the target reads until the server closes, then
// checks that the server let go of the connection.
#include "core/zyl.h"
#include "net/socket.h"
#include "net/webserv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

WebServerStruct *g_server = nullptr;
int g_port = 0;

int OnRequest(WebServerStruct *s, WebServerRequestStruct *r, void *, void **) {
    const char *text = nullptr;
    WebServer_GetMethod(s, r, &text);
    WebServer_GetRequestURL(s, r, &text);
    WebServer_GetRequestPath(s, r, &text);
    WebServer_GetQuery(s, r, &text);
    char value[128];
    WebServer_GetRequestHeader(s, r, "Host", value, sizeof(value));
    WebServer_GetRequestHeader(s, r, "content-length", value, sizeof(value));
    WebServer_SetResponseCode(s, r, 200, 2);
    WebServer_SetResponseHeader(s, r, "Content-Type", "text/plain");
    return 1;
}

int OnBody(WebServerStruct *, WebServerRequestStruct *, void *, void **, int *done, char *buffer,
           int size, int *written) {
    *written = size < 2 ? size : 2;
    memcpy(buffer, "ok", (size_t)*written);
    *done = 1;
    return 1;
}

int Connect() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)g_port);
    if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0)
        __builtin_trap();
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("webserv_fuzz.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Socket_Init();
    WebServer_Create(&g_server);
    WebServer_SetThreaded(g_server, 0);
    WebServer_SetPort(g_server, 0);
    static const uint8_t loopback[4] = {127, 0, 0, 1};
    WebServer_SetBindAddress(g_server, loopback);
    WebServer_SetRequestCallback(g_server, nullptr, OnRequest);
    WebServer_SetBodyCallback(g_server, nullptr, OnBody);
    if (!WebServer_StartThread(g_server, 1) || !WebServer_GetListenPort(g_server, &g_port) ||
        g_port <= 0)
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    WebServer_SetKeepAlive(g_server, data[0] & 1);
    int fd = Connect();
    size_t sent = 0;
    if (size == 1)
        shutdown(fd, SHUT_WR);
    int closed = 0;
    // Bounded: a server that neither answers nor closes is a fault.
    for (int pass = 0; pass < 20000 && !closed; pass++) {
        if (sent < size - 1) {
            ssize_t n = send(fd, data + 1 + sent, size - 1 - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += (size_t)n;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                sent = size - 1; // the server closed early
            if (sent == size - 1)
                shutdown(fd, SHUT_WR);
        }
        WebServer_Process(g_server);
        char reply[4096];
        for (;;) {
            ssize_t got = recv(fd, reply, sizeof(reply), MSG_DONTWAIT);
            if (got > 0)
                continue;
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                closed = 1;
            break;
        }
        if (!closed)
            WebServer_Wait(g_server, 1);
    }
    if (!closed)
        __builtin_trap();
    close(fd);
    int count = 1;
    for (int pass = 0; pass < 1000 && count > 0; pass++) {
        WebServer_Process(g_server);
        WebServer_GetConnectionCount(g_server, &count);
    }
    if (count != 0)
        __builtin_trap();
    return 0;
}
