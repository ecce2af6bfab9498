// A connected pair of reliable-UDP sockets and their listener on one port driven
// from a single thread (no worker), so forged datagrams can be handed to the
// packet handler one at a time, over the multiplexer's test hooks. Shared by the
// forged-packet tests and the fuzz target (tools/fuzz/udt_packet_fuzz.cpp); no
// product code includes it.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

#include "core/zyl.h"
#include "net/socket.h"
#include "net/udt.h"
#include "net/udt_internal.h"

namespace udtharness {

struct Pair {
    UDTSocketStruct *Listener = nullptr;
    UDTSocketStruct *Client = nullptr;
    UDTSocketStruct *Server = nullptr;
    UDTMultiplexerStruct *Mux = nullptr;
    UDTAddress Self = {}; // the port's own address: the peer of both ends
    double Now = 0;
};

inline void Pump(Pair *p, int rounds) {
    for (int i = 0; i < rounds; i++) {
        p->Now += 0.002;
        UDTMultiplexer_TestPump(p->Mux, p->Now);
    }
}

// Builds the pair; 0 when the handshake did not complete.
inline int Open(Pair *p) {
    static const uint8_t loopback[4] = {127, 0, 0, 1};
    UDTMultiplexer_SetTestInline(1);
    UDTSocket_Create(&p->Listener);
    UDTSocket_Open(p->Listener);
    UDTSocket_Bind(p->Listener, loopback, 0);
    UDTSocket_Listen(p->Listener);
    UDTSocket_SetBlocking(p->Listener, 0);
    uint8_t address[4];
    UDTSocket_GetSockName(p->Listener, address, &p->Self.Port);
    memcpy(p->Self.Ip, loopback, 4);
    p->Mux = p->Listener->Mux;
    p->Now = Zyl_GetSeconds();
    UDTMultiplexer_TestPump(p->Mux, p->Now); // from here on the port runs on p->Now
    UDTSocket_Create(&p->Client);
    UDTSocket_Open(p->Client);
    UDTSocket_SetBlocking(p->Client, 0);
    UDTSocket_Bind(p->Client, loopback, p->Self.Port);
    UDTSocket_Connect(p->Client, loopback, p->Self.Port);
    UDTMultiplexer_SetTestInline(0);
    Pump(p, 4);
    UDTSocket_Accept(p->Listener, &p->Server);
    return p->Server != nullptr && UDTSocket_GetState(p->Client) == UDT_STATE_CONNECTED;
}

inline void Close(Pair *p) {
    UDTSocket_Destroy(&p->Server);
    UDTSocket_Destroy(&p->Client);
    UDTSocket_Destroy(&p->Listener);
    p->Mux = nullptr;
}

// Hands raw wire bytes to the socket `id` (the header's destination word is
// overwritten), as if they came from `from` (the pair's own port when null).
inline void Deliver(Pair *p, int32_t id, const uint8_t *bytes, int length,
                    const UDTAddress *from = nullptr) {
    uint8_t datagram[2048];
    if (length < 16 || length > (int)sizeof datagram) {
        return;
    }
    memcpy(datagram, bytes, (size_t)length);
    uint32_t dest = htonl((uint32_t)id);
    memcpy(datagram + 12, &dest, 4);
    UDTMultiplexer_TestDeliver(p->Mux, datagram, length, from ? from : &p->Self, p->Now);
}

} // namespace udtharness
