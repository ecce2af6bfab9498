// Shared by the connection's sources (peer.cpp, peer_read.cpp,
// peer_transfer.cpp, peer_handshake.cpp).
#pragma once

#include "engine/peer.h"

extern const char BitPeer_Tag[]; // "BitPeerStruct"

// Seconds on the manager's clock (the tick clock before a manager is known).
double BitPeer_Now(BitPeerStruct *peer);

// The accepted side's first encryption phases (read key, send key, find req1),
// run by the manager before the download is known. 1 to go on, 0 to close.
int BitPeer_CryptoAcceptStep(BitPeerStruct *peer, ManagerStruct *manager);
// 1 when bytes are HASH('req2', the content's info hash) XOR HASH('req3', S).
int BitPeer_CryptoMatchesContent(BitPeerStruct *peer, ManagerStruct *manager,
                                 ContentStruct *content, const uint8_t bytes[20]);
