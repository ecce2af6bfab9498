// One peer-wire connection. This is the least record the manager's accept path
// needs: it holds the accepted transport and reads the first 48 bytes of an
// incoming handshake, which it then refuses, until the handshake is built.
#pragma once

#include <cstdint>

struct ManagerMemberStruct;
struct ManagerStruct;
struct TransportStruct;

enum {
    BITPEER_STATE_INACTIVE = 0,
    BITPEER_STATE_CONTACT = 1,
    BITPEER_STATE_IDENTIFY = 2,
    BITPEER_STATE_FAILURE = 10,
    BITPEER_STATE_CLOSE = 11,
    BITPEER_DIRECTION_OUTGOING = 0,
    BITPEER_DIRECTION_INCOMING = 1,
    BITPEER_HANDSHAKE_SIZE = 48, // the shortest handshake of any connection type
};

struct BitPeerStruct {
    const char *Tag;
    TransportStruct *Transport; // borrowed: the owner closes and frees it
    int Direction;              // BITPEER_DIRECTION_*
    int State;                  // BITPEER_STATE_*
    int Received;               // handshake bytes read so far
    uint8_t Handshake[BITPEER_HANDSHAKE_SIZE];
};

int BitPeer_Create(BitPeerStruct **peer);
// Frees the record (never the transport), clears *peer, accepts null.
int BitPeer_Destroy(BitPeerStruct **peer);
int BitPeer_SetDirection(BitPeerStruct *peer, int direction);
int BitPeer_SetTransport(BitPeerStruct *peer, TransportStruct *transport);
int BitPeer_SetState(BitPeerStruct *peer, int state);
int BitPeer_GetState(BitPeerStruct *peer, int *state);
// Advances an incoming handshake without blocking. 0 when the connection
// failed or must go (closed by the far end, a read error, or a complete
// handshake, which nothing here can answer yet); 1 to keep waiting, with
// *member left null.
int BitPeer_Identify(BitPeerStruct *peer, ManagerStruct *manager, ManagerMemberStruct **member);
// The connection type's name ("Unknown" until a handshake names one).
int BitPeer_GetConnectionTypeName(BitPeerStruct *peer, char *text, int size);
