// Shared by the connection's sources (peer.cpp, peer_read.cpp,
// peer_transfer.cpp, peer_handshake.cpp).
#pragma once

#include "engine/peer.h"

extern const char BitPeer_Tag[]; // "BitPeerStruct"

// Seconds on the manager's clock (the tick clock before a manager is known).
double BitPeer_Now(BitPeerStruct *peer);
