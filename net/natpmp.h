// A client of the NAT Port Mapping Protocol (version 0): asks the gateway for
// its external IPv4 address and maps or unmaps a port for TCP and UDP. Each
// request is one short exchange over its own UDP socket with a fixed number of
// attempts; only well-formed replies from the gateway are taken.
#pragma once

#include "net/socket.h"

#include <cstdint>

enum {
    NATPMP_PORT = 5351,
    NATPMP_ATTEMPTS = 3,
    NATPMP_TIMEOUT_MS = 500, // per attempt
    NATPMP_BUFFER_SIZE = 512,
    NATPMP_ADDRESS_REPLY_SIZE = 12,
    NATPMP_MAPPING_REPLY_SIZE = 16,
};

// Protocol flags of the mapping calls: 1 TCP, 2 UDP (3 both, for MapPorts and
// UnmapPorts).
enum { NATPMP_TCP = 1, NATPMP_UDP = 2, NATPMP_BOTH = 3 };

// Clock of the reply waits, seconds; tests install their own.
typedef double (*NatPmpClock)(void);

extern const char NatPmpTag[]; // "natpmp"

struct NatPmpStruct {
    const char *Tag;
    int Attempts;                       // 3
    int TimeoutMs;                      // 500, per attempt
    uint8_t Buffer[NATPMP_BUFFER_SIZE]; // request, then each reply
    int Received;                       // bytes of the last datagram
    SocketStruct *Socket;               // opened per request, closed after it
    SocketSelectStruct *Select;
    uint8_t External[4];     // from the last successful address request
    uint8_t LocalAddress[4]; // 0.0.0.2: any local address
    int LocalPort;           // 0
    uint8_t Gateway[4];
    int GatewayPort; // 5351
    int LastResult;  // result code of the last accepted reply
    NatPmpClock Clock;
};

// A client with the defaults into *client; returns 1.
int NatPmp_Create(NatPmpStruct **client);
// Frees the client with its socket and select set, clears *client. Accepts null. Returns 1.
int NatPmp_Destroy(NatPmpStruct **client);
int NatPmp_SetGateway(NatPmpStruct *client, const uint8_t address[4]);
// The gateway's port (5351 unless a test sets another). Returns 1.
int NatPmp_SetGatewayPort(NatPmpStruct *client, int port);
// Attempts per request and the wait of each (ms). Returns 1.
int NatPmp_SetTimeouts(NatPmpStruct *client, int attempts, int timeoutMs);
// Null restores the tick clock. Returns 1.
int NatPmp_SetClock(NatPmpStruct *client, NatPmpClock clock);

// Asks for the external address: 1 with it stored in client->External; 0 when
// no reply came or the gateway refused (non-zero result), External unchanged.
int NatPmp_GetExternalAddress(NatPmpStruct *client);
// One mapping request: protocol 1 TCP, any other UDP; lifetime in seconds (0
// removes the mapping). 1 with the public port and lifetime the gateway
// granted; 0 (outputs 0) when no reply came or the gateway refused.
int NatPmp_MapPort(NatPmpStruct *client, int protocol, int publicPort, int privatePort,
                   int lifetime, int *grantedPort, int *grantedLifetime);
// Flags 3: TCP, then UDP for the public port and lifetime granted to TCP
// (fails when TCP fails); outputs from the last request. Other flags: one
// MapPort with the flags as protocol.
int NatPmp_MapPorts(NatPmpStruct *client, int flags, int publicPort, int privatePort, int lifetime,
                    int *grantedPort, int *grantedLifetime);
// MapPorts with lifetime 0 (UDP only after TCP succeeded).
int NatPmp_UnmapPorts(NatPmpStruct *client, int flags, int publicPort, int privatePort);
