// UDP channel of a reliable-UDP port: the socket layer opens and binds the
// socket; the hot path (one sendto/recvfrom per datagram) uses its descriptor
// directly and never blocks, as the worker polls it.
#include "net/udt_channel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "core/zyl.h"
#include "net/socket.h"

const char UDTChannelTag[] = "channel";

static std::atomic<int> g_dropPerMille{0};
static std::atomic<uint32_t> g_dropState{1};

void Channel_SetTestDropRate(int perMille, uint32_t seed) {
    g_dropState.store(seed ? seed : 1);
    g_dropPerMille.store(perMille);
}

// xorshift32 stepped atomically, so parallel workers draw distinct values.
static int ShouldDrop(void) {
    int rate = g_dropPerMille.load(std::memory_order_relaxed);
    if (rate <= 0) {
        return 0;
    }
    uint32_t old = g_dropState.load(), x;
    do {
        x = old;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
    } while (!g_dropState.compare_exchange_weak(old, x));
    return (int)(x % 1000) < rate;
}

int Channel_Create(UDTChannelStruct **channel) {
    ZYL_CHECK_PTR(channel);
    *channel = nullptr;
    UDTChannelStruct *c = ZYL_NEW(UDTChannelStruct);
    c->Tag = UDTChannelTag;
    c->Handle = -1;
    Socket_Create(&c->Socket);
    *channel = c;
    return 1;
}

int Channel_Destroy(UDTChannelStruct **channel) {
    ZYL_CHECK_PTR(channel);
    UDTChannelStruct *c = *channel;
    if (c == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(c, UDTChannelTag);
    Socket_Destroy(&c->Socket);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(UDTChannelStruct));
    *channel = nullptr;
    return 1;
}

int Channel_Open(UDTChannelStruct *channel, const uint8_t *address, int port, int *error) {
    ZYL_CHECK_TAG(channel, UDTChannelTag);
    ZYL_CHECK_PTR(error);
    *error = 0;
    static const uint8_t any[4] = {0, 0, 0, 0};
    SocketStruct *s = channel->Socket;
    int handle = 0;
    if (!Socket_Open(s, SOCKET_PROTOCOL_UDP) || !Socket_SetReuseAddress(s, 1) ||
        !Socket_Bind(s, address ? address : any, address ? port : 0) ||
        !Socket_SetSendBufferSize(s, 0x100000) || !Socket_SetReceiveBufferSize(s, 0x100000) ||
        !Socket_SetBlocking(s, 0) || !Socket_GetHandle(s, &handle)) {
        *error = s->LastError ? s->LastError : SOCKET_ERROR_INVALID;
        Zyl_Print("Channel_Open() UDP port %d failed [%s] %d\n", port,
                  Socket_GetErrorString(*error), *error);
        Socket_Close(s);
        return 0;
    }
    channel->Handle = handle;
    return 1;
}

int Channel_GetLocalAddress(UDTChannelStruct *channel, uint8_t address[4], int *port) {
    ZYL_CHECK_TAG(channel, UDTChannelTag);
    return Socket_GetSockName(channel->Socket, address, port);
}

int Channel_Send(UDTChannelStruct *channel, UDTPacketStruct *packet, const UDTAddress *peer) {
    ZYL_CHECK_TAG(channel, UDTChannelTag);
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    ZYL_CHECK_PTR(peer);
    int size = UDT_HEADER_SIZE + packet->PayloadLength;
    int handshake = Packet_IsControl(packet) && Packet_GetControlType(packet) == UDT_CTRL_HANDSHAKE;
    if (!handshake && ShouldDrop()) {
        return size;
    }
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    memcpy(&sa.sin_addr.s_addr, peer->Ip, 4);
    sa.sin_port = htons((uint16_t)peer->Port);
    Packet_ToNetwork(packet);
    ssize_t n = sendto(channel->Handle, packet->Header, (size_t)size, MSG_NOSIGNAL,
                       (struct sockaddr *)&sa, sizeof sa);
    Packet_ToHost(packet);
    return n < 0 ? -1 : (int)n;
}

int Channel_ReceiveNow(UDTChannelStruct *channel, UDTPacketStruct *packet, UDTAddress *from) {
    ZYL_CHECK_TAG(channel, UDTChannelTag);
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    ZYL_CHECK_PTR(from);
    packet->PayloadLength = 0;
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(channel->Handle, packet->Header, (size_t)Packet_GetReceiveSize(packet),
                         MSG_DONTWAIT, (struct sockaddr *)&sa, &len);
    if (n < 0) {
        return -1;
    }
    if (n < UDT_HEADER_SIZE) {
        return 0;
    }
    memcpy(from->Ip, &sa.sin_addr.s_addr, 4);
    from->Port = ntohs(sa.sin_port);
    packet->PayloadLength = (int)n - UDT_HEADER_SIZE;
    Packet_ToHost(packet);
    return 1;
}

int Channel_GetSocket(UDTChannelStruct *channel, SocketStruct **socket) {
    ZYL_CHECK_TAG(channel, UDTChannelTag);
    ZYL_CHECK_PTR(socket);
    *socket = channel->Handle >= 0 ? channel->Socket : nullptr;
    return channel->Handle >= 0;
}
