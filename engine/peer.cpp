// The peer connection's least record: it buffers the first 48 handshake bytes
// of an accepted connection and refuses the connection once they are there.
#include "engine/peer.h"

#include "core/zyl.h"
#include "engine/transport.h"

static const char kPeerTag[] = "BitPeerStruct";

int BitPeer_Create(BitPeerStruct **peer) {
    ZYL_CHECK_PTR(peer);
    BitPeerStruct *p = ZYL_NEW(BitPeerStruct);
    p->Tag = kPeerTag;
    *peer = p;
    return 1;
}

int BitPeer_Destroy(BitPeerStruct **peer) {
    ZYL_CHECK_PTR(peer);
    BitPeerStruct *p = *peer;
    if (p == nullptr)
        return 1;
    ZYL_CHECK_TAG(p, kPeerTag);
    *peer = nullptr;
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(BitPeerStruct));
    return 1;
}

int BitPeer_SetDirection(BitPeerStruct *peer, int direction) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    peer->Direction = direction;
    return 1;
}

int BitPeer_SetTransport(BitPeerStruct *peer, TransportStruct *transport) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    peer->Transport = transport;
    return 1;
}

int BitPeer_SetState(BitPeerStruct *peer, int state) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    peer->State = state;
    return 1;
}

int BitPeer_GetState(BitPeerStruct *peer, int *state) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(state);
    *state = peer->State;
    return 1;
}

int BitPeer_Identify(BitPeerStruct *peer, ManagerStruct *manager, ManagerMemberStruct **member) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (peer->Transport == nullptr || !Transport_IsOpen(peer->Transport))
        return 0;
    peer->State = BITPEER_STATE_IDENTIFY;
    while (peer->Received < BITPEER_HANDSHAKE_SIZE) {
        int got = 0;
        if (!Transport_Read(peer->Transport, peer->Handshake + peer->Received,
                            BITPEER_HANDSHAKE_SIZE - peer->Received, &got)) {
            peer->State = BITPEER_STATE_FAILURE;
            return 0;
        }
        if (got == 0)
            return 1; // nothing more for now
        peer->Received += got;
    }
    peer->State = BITPEER_STATE_FAILURE;
    return 0;
}

int BitPeer_GetConnectionTypeName(BitPeerStruct *peer, char *text, int size) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(text);
    Zyl_StrCopy(text, "Unknown", size);
    return 1;
}
