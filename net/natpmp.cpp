// NAT-PMP client: builds the 2- and 12-byte requests, sends each up to the
// attempt count to the gateway's UDP port and accepts the first reply of the
// right sender, size, opcode and version. Tuned for the rare calls of NAT
// traversal: one socket per exchange, blocking for at most attempts x wait.
#include "net/natpmp.h"

#include "core/zyl.h"

#include <cstring>

const char NatPmpTag[] = "natpmp";

namespace {

enum { kOpAddress = 0, kOpUDP = 1, kOpTCP = 2, kResponseBit = 128 };

double TickClock() {
    return Zyl_GetTickSeconds();
}

void Put16(uint8_t *p, int value) {
    p[0] = (uint8_t)(value >> 8);
    p[1] = (uint8_t)value;
}

void Put32(uint8_t *p, uint32_t value) {
    p[0] = (uint8_t)(value >> 24);
    p[1] = (uint8_t)(value >> 16);
    p[2] = (uint8_t)(value >> 8);
    p[3] = (uint8_t)value;
}

int Get16(const uint8_t *p) {
    return (p[0] << 8) | p[1];
}

int BuildRequest(NatPmpStruct *c, int opcode, int privatePort, int publicPort, int lifetime) {
    memset(c->Buffer, 0, sizeof(c->Buffer));
    c->Buffer[1] = (uint8_t)opcode;
    if (opcode == kOpAddress)
        return 2;
    Put16(c->Buffer + 4, privatePort);
    Put16(c->Buffer + 6, publicPort);
    Put32(c->Buffer + 8, (uint32_t)lifetime);
    return 12;
}

int OpenSocket(NatPmpStruct *c) {
    if (!Socket_Open(c->Socket, SOCKET_PROTOCOL_UDP)) {
        Zyl_Print("Unable to open socket for discovery (%s)\n",
                  Socket_GetLastErrorString(c->Socket));
        return 0;
    }
    if (!Socket_SetBlocking(c->Socket, 0) ||
        !Socket_Bind(c->Socket, c->LocalAddress, c->LocalPort)) {
        Zyl_Print("Unable to open bind (%ipv4:%d) for test (%s)\n", c->LocalAddress, c->LocalPort,
                  Socket_GetLastErrorString(c->Socket));
        Socket_Close(c->Socket);
        return 0;
    }
    Zyl_Print("Binding on %ipv4:%d\n", c->LocalAddress, c->LocalPort);
    return 1;
}

// 1 when the datagram in the buffer is the reply to `opcode` from the gateway.
int Acceptable(NatPmpStruct *c, const uint8_t sender[4], int opcode, int privatePort) {
    int expected = opcode == kOpAddress ? NATPMP_ADDRESS_REPLY_SIZE : NATPMP_MAPPING_REPLY_SIZE;
    if (!Socket_AddressEqual(sender, c->Gateway)) {
        Zyl_Print("     Rejected - not from gateway\n");
        return 0;
    }
    if (c->Received != expected) {
        Zyl_Print("     Rejected - invalid size (expected %d)\n", expected);
        return 0;
    }
    if (c->Buffer[0] != 0 || c->Buffer[1] != opcode + kResponseBit) {
        Zyl_Print("     Rejected - not a response\n");
        return 0;
    }
    // A late reply to an earlier mapping request names another private port.
    if (opcode != kOpAddress && Get16(c->Buffer + 8) != privatePort) {
        Zyl_Print("     Rejected - reply for private port %d\n", Get16(c->Buffer + 8));
        return 0;
    }
    return 1;
}

// Waits up to the time-out after a send for an acceptable reply: 1 accepted,
// 0 none, -1 the wait failed.
int AwaitReply(NatPmpStruct *c, int opcode, int privatePort) {
    double sent = c->Clock();
    for (;;) {
        int left = c->TimeoutMs - (int)((c->Clock() - sent) * 1000.0);
        if (left <= 0)
            return 0;
        SocketSelect_Clear(c->Select);
        SocketSelect_Add(c->Select, c->Socket);
        int ready = 0;
        if (!Socket_Wait(c->Select, nullptr, nullptr, nullptr, left, &ready)) {
            Zyl_Print("Unable to wait for response from gateway\n");
            return -1;
        }
        if (ready == 0)
            return 0;
        uint8_t sender[4] = {0, 0, 0, 0};
        int port = 0;
        int count = 0;
        if (!Socket_ReadIP(c->Socket, sender, &port, c->Buffer, sizeof(c->Buffer), &count))
            continue; // an ICMP error from a closed port: keep waiting
        if (count == 0)
            continue;
        c->Received = count;
        Zyl_Print("   Received from %ipv4:%d (%d)\n", sender, port, count);
        if (Acceptable(c, sender, opcode, privatePort))
            return 1;
    }
}

// One request with its attempts; 1 with an accepted reply in the buffer.
int Exchange(NatPmpStruct *c, int opcode, int privatePort, int publicPort, int lifetime) {
    if (!OpenSocket(c))
        return 0;
    for (int attempt = 1; attempt <= c->Attempts; attempt++) {
        Zyl_Print("   Sending request (%d of %d) to %ipv4:%d\n", attempt, c->Attempts, c->Gateway,
                  c->GatewayPort);
        int length = BuildRequest(c, opcode, privatePort, publicPort, lifetime);
        int count = 0;
        if (!Socket_WriteIP(c->Socket, c->Gateway, c->GatewayPort, c->Buffer, length, &count)) {
            Zyl_Print("Unable to write to gateway (%ipv4:%d) for test (%s)\n", c->Gateway,
                      c->GatewayPort, Socket_GetLastErrorString(c->Socket));
            Socket_Close(c->Socket);
            return 0;
        }
        int result = AwaitReply(c, opcode, privatePort);
        if (result < 0)
            break;
        if (result == 1) {
            Socket_Close(c->Socket);
            c->LastResult = Get16(c->Buffer + 2);
            Zyl_Print("Version:       %d\n", c->Buffer[0]);
            Zyl_Print("Opcode:        %d\n", c->Buffer[1]);
            Zyl_Print("Result:        %d\n", c->LastResult);
            Zyl_Print("Epoch:         %u\n", Socket_ReadBigEndian32(c->Buffer + 4));
            if (c->LastResult != 0) {
                Zyl_Print("Gateway refused the request (result %d)\n", c->LastResult);
                return 0;
            }
            return 1;
        }
    }
    Socket_Close(c->Socket);
    return 0;
}

} // namespace

int NatPmp_Create(NatPmpStruct **client) {
    ZYL_CHECK_PTR(client);
    *client = nullptr;
    NatPmpStruct *c = ZYL_NEW(NatPmpStruct);
    c->Tag = NatPmpTag;
    c->Attempts = NATPMP_ATTEMPTS;
    c->TimeoutMs = NATPMP_TIMEOUT_MS;
    c->LocalAddress[3] = 2;
    c->GatewayPort = NATPMP_PORT;
    c->Clock = TickClock;
    Socket_Create(&c->Socket);
    SocketSelect_Create(&c->Select);
    *client = c;
    return 1;
}

int NatPmp_Destroy(NatPmpStruct **client) {
    ZYL_CHECK_PTR(client);
    NatPmpStruct *c = *client;
    if (c == nullptr)
        return 1;
    ZYL_CHECK_TAG(c, NatPmpTag);
    SocketSelect_Destroy(&c->Select);
    Socket_Destroy(&c->Socket);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(NatPmpStruct));
    *client = nullptr;
    return 1;
}

int NatPmp_SetGateway(NatPmpStruct *client, const uint8_t address[4]) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    ZYL_CHECK_PTR(address);
    memcpy(client->Gateway, address, 4);
    return 1;
}

int NatPmp_SetGatewayPort(NatPmpStruct *client, int port) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    client->GatewayPort = port;
    return 1;
}

int NatPmp_SetTimeouts(NatPmpStruct *client, int attempts, int timeoutMs) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    client->Attempts = attempts;
    client->TimeoutMs = timeoutMs;
    return 1;
}

int NatPmp_SetClock(NatPmpStruct *client, NatPmpClock clock) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    client->Clock = clock != nullptr ? clock : TickClock;
    return 1;
}

int NatPmp_GetExternalAddress(NatPmpStruct *client) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    if (!Exchange(client, kOpAddress, 0, 0, 0))
        return 0;
    memcpy(client->External, client->Buffer + 8, 4);
    Zyl_Print("IP:            %ipv4\n", client->External);
    return 1;
}

int NatPmp_MapPort(NatPmpStruct *client, int protocol, int publicPort, int privatePort,
                   int lifetime, int *grantedPort, int *grantedLifetime) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    ZYL_CHECK_PTR(grantedPort);
    ZYL_CHECK_PTR(grantedLifetime);
    *grantedPort = 0;
    *grantedLifetime = 0;
    int opcode = protocol == NATPMP_TCP ? kOpTCP : kOpUDP;
    if (!Exchange(client, opcode, privatePort, publicPort, lifetime))
        return 0;
    const uint8_t *b = client->Buffer;
    Zyl_Print("Private Port:  %d\n", Get16(b + 8));
    Zyl_Print("Public Port:   %d\n", Get16(b + 10));
    Zyl_Print("Lifetime:      %u\n", Socket_ReadBigEndian32(b + 12));
    *grantedPort = Get16(b + 10);
    uint32_t granted = Socket_ReadBigEndian32(b + 12);
    *grantedLifetime = granted > 0x7FFFFFFF ? 0x7FFFFFFF : (int)granted;
    return 1;
}

int NatPmp_MapPorts(NatPmpStruct *client, int flags, int publicPort, int privatePort, int lifetime,
                    int *grantedPort, int *grantedLifetime) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    if ((flags & NATPMP_BOTH) != NATPMP_BOTH)
        return NatPmp_MapPort(client, flags, publicPort, privatePort, lifetime, grantedPort,
                              grantedLifetime);
    if (!NatPmp_MapPort(client, NATPMP_TCP, publicPort, privatePort, lifetime, grantedPort,
                        grantedLifetime))
        return 0;
    return NatPmp_MapPort(client, NATPMP_UDP, *grantedPort, privatePort, *grantedLifetime,
                          grantedPort, grantedLifetime);
}

int NatPmp_UnmapPorts(NatPmpStruct *client, int flags, int publicPort, int privatePort) {
    ZYL_CHECK_TAG(client, NatPmpTag);
    int port = 0;
    int lifetime = 0;
    if ((flags & NATPMP_BOTH) != NATPMP_BOTH)
        return NatPmp_MapPort(client, flags, publicPort, privatePort, 0, &port, &lifetime);
    if (!NatPmp_MapPort(client, NATPMP_TCP, publicPort, privatePort, 0, &port, &lifetime))
        return 0;
    return NatPmp_MapPort(client, NATPMP_UDP, publicPort, privatePort, 0, &port, &lifetime);
}
