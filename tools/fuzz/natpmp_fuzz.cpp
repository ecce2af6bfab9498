// libFuzzer target for the NAT-PMP client's reply handling: a gateway on
// 127.0.0.1 answers every request with the input's datagrams (records of a
// length byte and that many bytes, after a first byte that picks the request)
// and then with a well-formed reply, so each request ends without waiting out
// its time-out whatever the datagrams were.
#include "core/zyl.h"
#include "net/natpmp.h"
#include "net/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
std::vector<std::vector<uint8_t>> g_datagrams; // guarded by g_lock
int g_gatewayFd = -1;
int g_gatewayPort = 0;

// The reply the client accepts for a request: its opcode, result 0, and for a
// mapping the ports and lifetime asked for.
int GoodReply(const uint8_t *request, int length, uint8_t *reply) {
    if (length < 2)
        return 0;
    int opcode = request[1];
    memset(reply, 0, 16);
    reply[1] = (uint8_t)(128 + opcode);
    reply[7] = 1; // epoch
    if (opcode == 0) {
        reply[8] = 198;
        reply[9] = 51;
        reply[10] = 100;
        reply[11] = 7;
        return 12;
    }
    if (length < 12)
        return 0;
    memcpy(reply + 8, request + 4, 8); // private port, public port, lifetime
    return 16;
}

void *GatewayThread(void *) {
    for (;;) {
        uint8_t request[64];
        struct sockaddr_in from;
        socklen_t fromLength = sizeof(from);
        ssize_t got = recvfrom(g_gatewayFd, request, sizeof(request), 0,
                               reinterpret_cast<struct sockaddr *>(&from), &fromLength);
        if (got <= 0)
            continue;
        pthread_mutex_lock(&g_lock);
        std::vector<std::vector<uint8_t>> datagrams = g_datagrams;
        pthread_mutex_unlock(&g_lock);
        for (const std::vector<uint8_t> &d : datagrams)
            sendto(g_gatewayFd, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr *>(&from),
                   fromLength);
        uint8_t reply[16];
        int length = GoodReply(request, (int)got, reply);
        if (length > 0)
            sendto(g_gatewayFd, reply, (size_t)length, 0,
                   reinterpret_cast<struct sockaddr *>(&from), fromLength);
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("natpmp_fuzz.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Socket_Init();
    g_gatewayFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (g_gatewayFd < 0 ||
        bind(g_gatewayFd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
        getsockname(g_gatewayFd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
        __builtin_trap();
    g_gatewayPort = ntohs(address.sin_port);
    pthread_t thread;
    pthread_create(&thread, nullptr, GatewayThread, nullptr);
    pthread_detach(thread);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::vector<std::vector<uint8_t>> datagrams;
    for (size_t i = 1; i < size && datagrams.size() < 8;) {
        size_t length = data[i];
        i++;
        if (length > size - i)
            length = size - i;
        datagrams.emplace_back(data + i, data + i + length);
        i += length;
    }
    pthread_mutex_lock(&g_lock);
    g_datagrams = datagrams;
    pthread_mutex_unlock(&g_lock);

    static const uint8_t loopback[4] = {127, 0, 0, 1};
    NatPmpStruct *client = nullptr;
    NatPmp_Create(&client);
    NatPmp_SetGateway(client, loopback);
    NatPmp_SetGatewayPort(client, g_gatewayPort);
    NatPmp_SetTimeouts(client, 1, 2000);
    int port = 0, lifetime = 0, ok = 0;
    switch (data[0] & 3) {
    case 0:
        ok = NatPmp_GetExternalAddress(client);
        break;
    case 1:
        ok = NatPmp_MapPort(client, NATPMP_TCP, 4000, 4001, 60, &port, &lifetime);
        break;
    case 2:
        ok = NatPmp_MapPorts(client, NATPMP_BOTH, 4000, 4001, 60, &port, &lifetime);
        break;
    default:
        ok = NatPmp_UnmapPorts(client, NATPMP_BOTH, 4000, 4001);
        break;
    }
    if (!ok && client->LastResult == 0 && (data[0] & 3) != 3)
        __builtin_trap(); // the closing well-formed reply always answers
    NatPmp_Destroy(&client);
    return 0;
}
