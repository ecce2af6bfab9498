// The connection's handshakes: identifying an accepted connection's kind and
// download, the plain (68 bytes) and Munge (48 bytes) forms, read as bytes
// arrive, the client identification, the refusal of a second connection to
// one peer, the first announcement of our pieces and the allowed-fast set.
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/random.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/bigint.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/peer_internal.h"
#include "engine/stream.h"
#include "engine/tracker.h"
#include "engine/transport.h"

static const char kProtocol[] = "BitTorrent protocol";
enum { kProtocolLength = 19, kFastByte = 27, kFastBit = 0x04 };

// Fast is offered only when the manager's option is on and the download's
// tracker asked for it ("UseFast"). The answer is fixed at its first reading
// (our handshake, or the peer's when it comes first), so what we announce and
// what we use never differ.
static int InternalOfferFast(BitPeerStruct *p) {
    if (p->FastOfferedSet)
        return p->FastOffered;
    int option = 0, tracker = 0;
    TrackerStruct *t = nullptr;
    if (p->Manager)
        Manager_GetFastExtension(p->Manager, &option);
    if (p->Base && Base_GetTracker(p->Base, &t) && t)
        Tracker_GetUseFast(t, &tracker);
    p->FastOffered = option == 1 && tracker == 1 ? 1 : 0;
    p->FastOfferedSet = 1;
    return p->FastOffered;
}

static void InternalMungeKey(ContentStruct *content, uint8_t key[20]) {
    Content_GetInfoHashDigest(content, key);
}

// ---------------------------------------------------------------------------
// Accepted connections
// ---------------------------------------------------------------------------

// The first download of the manager whose test matches; the member carries a use.
template <typename Match>
static ManagerMemberStruct *InternalFindDownload(ManagerStruct *m, Match match) {
    ManagerMemberStruct *member = nullptr;
    for (int more = Manager_GetFirstMember(m, &member); more && member;
         more = Manager_GetNextMember(m, member, &member)) {
        BaseStruct *base = nullptr;
        ContentStruct *content = nullptr;
        if (ManagerMember_GetBase(member, &base) && base && Base_GetContent(base, &content) &&
            content && match(content))
            return member;
    }
    return nullptr;
}

// An accepted connection inside stream encryption: the key exchange up to
// req1, then the download whose req2 XOR req3 starts the buffered bytes (they
// stay buffered for the swarm's step, which takes them).
static int InternalIdentifyEncrypted(BitPeerStruct *p, ManagerStruct *m,
                                     ManagerMemberStruct **member) {
    if (p->CryptoPhase < 3) {
        if (!BitPeer_CryptoAcceptStep(p, m))
            return 0;
        if (p->CryptoPhase < 3)
            return 1;
    }
    if (!Stream_Fill(p->Stream)) {
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    uint8_t *data = nullptr;
    int n = 0;
    Stream_Peek(p->Stream, &data, &n);
    if (n < 20)
        return 1;
    ManagerMemberStruct *found = InternalFindDownload(m, [&](ContentStruct *content) {
        return BitPeer_CryptoMatchesContent(p, m, content, data) == 1;
    });
    if (found == nullptr) {
        BitPeer_Log(p, "Unable to find content match - connection closed");
        return 0;
    }
    p->ConnectionType = BITPEER_TYPE_PE;
    *member = found;
    return 1;
}

int BitPeer_Identify(BitPeerStruct *peer, ManagerStruct *manager, ManagerMemberStruct **member) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(member);
    BitPeerStruct *p = peer;
    *member = nullptr;
    if (p->State == BITPEER_STATE_IDENTIFY)
        return InternalIdentifyEncrypted(p, manager, member);
    if (!Stream_Fill(p->Stream)) {
        BitPeer_Log(p, "Scan failed - connection closed");
        return 0;
    }
    uint8_t *data = nullptr;
    int n = 0;
    Stream_Peek(p->Stream, &data, &n);
    if (n < BITPEER_MUNGE_HANDSHAKE)
        return 1;
    int accepted = 0;
    Manager_GetAcceptedConnectionTypes(manager, &accepted);
    if (data[0] == kProtocolLength &&
        Zyl_StrEqualNNoCase(reinterpret_cast<const char *>(data + 1), kProtocol, kProtocolLength)) {
        if ((accepted & BITPEER_TYPE_NORMAL) == 0) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Identified as normal connection - not currently acceptable type\n");
            return 0;
        }
        ManagerMemberStruct *found = InternalFindDownload(manager, [&](ContentStruct *content) {
            uint8_t hash[20];
            Content_GetInfoHash(content, hash);
            return memcmp(hash, data + 28, 20) == 0;
        });
        if (found) {
            BaseStruct *base = nullptr;
            ContentStruct *content = nullptr;
            ManagerMember_GetBase(found, &base);
            Base_GetContent(base, &content);
            int closed = 0;
            Content_GetClosed(content, &closed);
            if (closed) {
                char name[CONTENT_TEXT_SIZE];
                Content_GetName(content, name);
                Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                          "Closed torrent '%s' - client rejected - attempting to contact as a "
                          "non-secure connection",
                          name);
                Manager_ReleaseMember(manager, &found);
                BitPeer_SetState(p, BITPEER_STATE_FAILURE);
                return 0;
            }
            p->ConnectionType = BITPEER_TYPE_NORMAL;
            *member = found;
            return 1;
        }
    }
    ManagerMemberStruct *munge = InternalFindDownload(manager, [&](ContentStruct *content) {
        uint8_t hash[20], key[20];
        Content_GetInfoHash(content, hash);
        InternalMungeKey(content, key);
        for (int i = 0; i < 20; i++)
            if ((uint8_t)(hash[i] ^ key[i]) != data[i])
                return false;
        return true;
    });
    if (munge) {
        if ((accepted & BITPEER_TYPE_MUNGE) == 0) {
            Manager_ReleaseMember(manager, &munge);
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Identified as munge connection - not currently acceptable type");
            return 0;
        }
        p->ConnectionType = BITPEER_TYPE_MUNGE;
        *member = munge;
        return 1;
    }
    if (accepted & BITPEER_TYPE_PE) {
        if (!Manager_GetKeyPair(manager, p->PrivateKey, p->PublicKey, p->Prime, nullptr))
            return 0;
        p->CryptoPhase = 0;
        p->CryptoScan = 0;
        BitPeer_SetState(p, BITPEER_STATE_IDENTIFY);
        return InternalIdentifyEncrypted(p, manager, member);
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
              "Unable to identify acceptable connection type");
    return 0;
}

// ---------------------------------------------------------------------------
// Sending and reading
// ---------------------------------------------------------------------------

int BitPeer_SendHandshake(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if (p->HandshakeSent)
        return 1;
    uint8_t hash[20], id[20], reserved[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    Content_GetInfoHash(p->Content, hash);
    Manager_GetPeerID(p->Manager, id);
    const int fast = InternalOfferFast(p);
    if (fast)
        reserved[7] |= kFastBit;
    uint8_t bytes[BITPEER_PLAIN_HANDSHAKE];
    int n = 0;
    if (p->ConnectionType == BITPEER_TYPE_MUNGE) {
        uint8_t key[20];
        InternalMungeKey(p->Content, key);
        for (int i = 0; i < 20; i++)
            bytes[i] = hash[i] ^ key[i];
        for (int i = 0; i < 8; i++)
            bytes[20 + i] = reserved[i] ^ key[i];
        for (int i = 0; i < 20; i++)
            bytes[28 + i] = id[i] ^ key[i];
        n = BITPEER_MUNGE_HANDSHAKE;
    } else {
        bytes[0] = kProtocolLength;
        memcpy(bytes + 1, kProtocol, kProtocolLength);
        memcpy(bytes + 20, reserved, 8);
        memcpy(bytes + 28, hash, 20);
        memcpy(bytes + 48, id, 20);
        n = BITPEER_PLAIN_HANDSHAKE;
    }
    if (!Stream_WriteBuffer(p->Stream, bytes, n))
        return 0;
    char type[80];
    BitPeer_GetConnectionTypeName(p, type, sizeof type);
    BitPeer_Log(p, "Handshake Sent (%s)", type);
    p->HandshakeSent = 1;
    BitPeer_LogMessage(p, BITPEER_LOG_SENT, -1, "Handshake sent: FastExtension(%d)", fast);
    return 1;
}

int BitPeer_StartHandshake(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    if (!BitPeer_SendHandshake(peer))
        return 0;
    return BitPeer_SetState(peer, BITPEER_STATE_NEGOTIATE);
}

static void InternalSetFast(BitPeerStruct *p, uint8_t reserved7) {
    p->Fast = (reserved7 & kFastBit) && InternalOfferFast(p) ? 1 : 0;
}

static int InternalVerified(BitPeerStruct *p) {
    if (p->Fast)
        BitPeer_Log(p, "Fast extension support detected");
    BitPeer_SetState(p, BITPEER_STATE_GOOD);
    char type[80];
    BitPeer_GetConnectionTypeName(p, type, sizeof type);
    BitPeer_Log(p, "Handshake Verified (%s)", type);
    return 1;
}

static int InternalReadMunge(BitPeerStruct *p, const uint8_t *data, int n) {
    uint8_t hash[20], key[20];
    Content_GetInfoHash(p->Content, hash);
    InternalMungeKey(p->Content, key);
    const int check = n - 1 < 20 ? n - 1 : 20;
    for (int i = 0; i < check; i++) {
        if ((uint8_t)(hash[i] ^ key[i]) != data[i]) {
            BitPeer_Log(p, "Handshake failed on hash");
            return 0;
        }
    }
    if (n < BITPEER_MUNGE_HANDSHAKE)
        return 1;
    const uint8_t reserved7 = data[27] ^ key[7];
    uint8_t id[20];
    for (int i = 0; i < 20; i++)
        id[i] = data[28 + i] ^ key[i];
    if (BitPeer_IsAlreadyConnected(p, id)) {
        BitPeer_Log(p, "BitPeer already connected");
        return 0;
    }
    BitPeer_IdentifyClient(p, id);
    InternalSetFast(p, reserved7);
    if (!Stream_Consume(p->Stream, BITPEER_MUNGE_HANDSHAKE)) {
        BitPeer_Log(p, "Handshake failed on pickup");
        return 0;
    }
    BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, -1, "Handshake received: FastExtension(%d)",
                       p->Fast);
    BitPeer_SendBitfield(p);
    return InternalVerified(p);
}

static int InternalReadPlain(BitPeerStruct *p, const uint8_t *data, int n) {
    if (data[0] != kProtocolLength) {
        BitPeer_Log(p, "Handshake failed on protocol length (%d:%d)", p->ConnectionType, data[0]);
        return 0;
    }
    const int text = n - 1 < kProtocolLength ? n - 1 : kProtocolLength;
    if (memcmp(data + 1, kProtocol, (size_t)text) != 0) {
        BitPeer_Log(p, "Handshake failed on protocol");
        return 0;
    }
    if (n < 28)
        return 1;
    InternalSetFast(p, data[kFastByte]);
    uint8_t hash[20];
    Content_GetInfoHash(p->Content, hash);
    const int have = n - 28 < 20 ? n - 28 : 20;
    if (memcmp(data + 28, hash, (size_t)have) != 0) {
        BitPeer_Log(p, "Handshake failed on hash");
        return 0;
    }
    if (n < BITPEER_PLAIN_HANDSHAKE)
        return 1;
    uint8_t id[20];
    memcpy(id, data + 48, 20);
    // Checked before our pieces go out, so a refused peer learns nothing.
    if (BitPeer_IsAlreadyConnected(p, id)) {
        BitPeer_Log(p, "BitPeer already connected");
        return 0;
    }
    BitPeer_LogMessage(p, BITPEER_LOG_RECEIVED, -1, "Handshake received: FastExtension(%d)",
                       p->Fast);
    BitPeer_IdentifyClient(p, id);
    if (!Stream_Consume(p->Stream, BITPEER_PLAIN_HANDSHAKE)) {
        BitPeer_Log(p, "Handshake failed on pickup");
        return 0;
    }
    BitPeer_SendBitfield(p);
    return InternalVerified(p);
}

// Reads what has arrived and shows all of it unconsumed; 0 (logged with the
// step's name) when the connection has closed.
static int InternalFillAndPeek(BitPeerStruct *p, const char *step, uint8_t **data, int *n) {
    *data = nullptr;
    *n = 0;
    if (!Stream_Fill(p->Stream)) {
        BitPeer_Log(p, "%s failed - connection closed", step);
        return 0;
    }
    Stream_Peek(p->Stream, data, n);
    return 1;
}

int BitPeer_ReadHandshake(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFillAndPeek(p, "Handshake", &data, &n))
        return 0;
    if (n == 0)
        return 1;
    if (p->ConnectionType == BITPEER_TYPE_MUNGE)
        return InternalReadMunge(p, data, n);
    return InternalReadPlain(p, data, n);
}

int BitPeer_SyncMungeHandshake(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFillAndPeek(p, "Sync", &data, &n))
        return 0;
    if (n == 0)
        return 1;
    uint8_t hash[20];
    Content_GetInfoHash(p->Content, hash);
    int match = 1;
    if (p->ConnectionType == BITPEER_TYPE_MUNGE) {
        uint8_t key[20];
        InternalMungeKey(p->Content, key);
        const int check = n - 1 < 20 ? n - 1 : 20;
        for (int i = 0; i < check && match; i++)
            match = (uint8_t)(hash[i] ^ key[i]) == data[i];
    } else if (n > 28) {
        const int have = n - 28 < 20 ? n - 28 : 20;
        match = memcmp(data + 28, hash, (size_t)have) == 0;
    }
    if (!match) {
        BitPeer_Log(p, "Sync failed on hash");
        return 0;
    }
    if (n > 47) {
        BitPeer_SetState(p, BITPEER_STATE_SELECT);
        char type[80];
        BitPeer_GetConnectionTypeName(p, type, sizeof type);
        BitPeer_Log(p, "Handshake Sync (%s)", type);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Identity
// ---------------------------------------------------------------------------

int BitPeer_IdentifyClient(BitPeerStruct *peer, const uint8_t id[20]) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(id);
    BitPeerStruct *p = peer;
    memcpy(p->PeerId, id, 20);
    char text[80];
    BitPeer_FormatPeerId(id, text, sizeof text);
    BitPeer_Log(p, "Client type [%s]", text);
    char code[8];
    if (Manager_GetClientCode(id, code) && Zyl_StrEqual(code, "V08") && p->RequestDepth > 3)
        p->RequestDepth = 3;
    IPListStruct *list = nullptr;
    IPListMemberStruct *entry = nullptr;
    uint8_t address[4] = {0, 0, 0, 0};
    int port = 0;
    if (p->Transport && p->Base && Base_GetIPList(p->Base, &list) && list &&
        Transport_GetRemoteAddress(p->Transport, address, &port) &&
        IPList_Find(address, list, &entry, 1, port) && entry)
        IPList_SetPeerId(entry, id);
    return 1;
}

int BitPeer_IsAlreadyConnected(BitPeerStruct *peer, const uint8_t id[20]) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(id);
    // Trackers hand out our own address too: a connection to ourselves goes.
    uint8_t own[20];
    if (peer->Manager && Manager_GetPeerID(peer->Manager, own) && memcmp(own, id, 20) == 0)
        return 1;
    IPListStruct *list = nullptr;
    IPListMemberStruct *entry = nullptr;
    if (peer->Base == nullptr || !Base_GetIPList(peer->Base, &list) || list == nullptr ||
        !IPList_FindByPeerId(id, list, &entry) || entry == nullptr)
        return 0;
    int state = 0;
    IPList_GetState(entry, &state);
    return state == IPLIST_STATE_CONNECTED ? 1 : 0;
}

// ---------------------------------------------------------------------------
// First announcement and the allowed-fast set
// ---------------------------------------------------------------------------

static const char *InternalSeedName(int mode, int *share) {
    switch (mode) {
    case BITPEER_SEED_NORMAL:
        *share = 100;
        return "Normal";
    case BITPEER_SEED_SUPER:
        *share = 5;
        return "Super";
    case BITPEER_SEED_STEALTH:
        *share = 80;
        return "Stealth";
    default:
        *share = 90;
        return "Unknown";
    }
}

int BitPeer_SendBitfield(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(p->Content, &held);
    int n = 0, m = 0;
    Bitfield_GetSize(held, &n);
    Bitfield_GetByteLength(held, &m);
    uint8_t *buffer = static_cast<uint8_t *>(ZYL_ALLOC(m > 0 ? m : 1));
    const int complete = n > 0 && Bitfield_IsComplete(held);
    if (complete) {
        int share = 100;
        const char *name = InternalSeedName(p->SeedingMode, &share);
        if (p->SeedingMode == BITPEER_SEED_NORMAL) {
            Bitfield_Copy(p->Advertised, held);
        } else {
            RandomStruct *random = nullptr;
            Base_GetRandom(p->Base, &random);
            Bitfield_SetSize(p->Advertised, n);
            Bitfield_ClearAll(p->Advertised);
            for (int i = 0; i < n; i++)
                if (Random_Next(random) % 100 < (uint32_t)share)
                    Bitfield_Set(p->Advertised, i);
        }
        p->SeedingTime = BitPeer_Now(p);
        int set = 0;
        Bitfield_GetSetCount(p->Advertised, &set);
        BitPeer_Log(p, "Seeding mode (%s) - %d of %d (%.2f%%)", name, set, n,
                    100.0 * set / (double)n);
        Bitfield_GetBytes(p->Advertised, buffer, m);
    } else if (m > 0) {
        Bitfield_GetBytes(held, buffer, m);
    }
    if (p->Fast) {
        if (complete)
            Stream_WriteHaveAll(p->Stream);
        else if (Bitfield_IsEmpty(held))
            Stream_WriteHaveNone(p->Stream);
        else
            Stream_WriteBitField(p->Stream, buffer, m, n);
        BitPeer_GenerateFastSet(p);
    } else {
        Stream_WriteBitField(p->Stream, buffer, m, n);
    }
    ZYL_FREE(buffer, m > 0 ? m : 1);
    p->ContactTime = BitPeer_Now(p);
    return 1;
}

int BitPeer_ComputeFastSet(int pieces, const uint8_t address[4], const uint8_t hash[20], int *list,
                           int *count) {
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(hash);
    ZYL_CHECK_PTR(list);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (pieces <= 0)
        return 0;
    if (pieces <= BITPEER_FAST_SIZE - 1) {
        for (int i = 0; i < pieces; i++)
            list[(*count)++] = i;
        return 1;
    }
    uint8_t x[24];
    x[0] = address[0];
    x[1] = address[1];
    x[2] = address[2];
    x[3] = 0;
    memcpy(x + 4, hash, 20);
    int length = 24;
    Sha1Struct *sha = nullptr;
    Sha1_Create(&sha);
    while (*count < BITPEER_FAST_SIZE) {
        Sha1_Init(sha);
        Sha1_Update(sha, x, length);
        Sha1_Final(sha);
        Sha1_GetDigest(sha, x, 20);
        length = 20;
        for (int w = 0; w < 5 && *count < BITPEER_FAST_SIZE; w++) {
            const uint32_t word = (uint32_t)x[4 * w] << 24 | (uint32_t)x[4 * w + 1] << 16 |
                                  (uint32_t)x[4 * w + 2] << 8 | (uint32_t)x[4 * w + 3];
            const int index = (int)(word % (uint32_t)pieces);
            int seen = 0;
            for (int k = 0; k < *count; k++)
                seen |= list[k] == index;
            if (!seen)
                list[(*count)++] = index;
        }
    }
    Sha1_Destroy(&sha);
    return 1;
}

int BitPeer_GenerateFastSet(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if (p->Manager == nullptr) {
        ZYL_FATAL("Assertion failed (BitPeer->ManagerHandle != 0)\nBitPeer_GenerateFastSet() "
                  "ManagerHandle not initialized");
    }
    int pieces = 0;
    Content_GetPieceCount(p->Content, &pieces);
    p->SentFastCount = 0;
    if (pieces <= 0) {
        BitPeer_Log(p, "No allowed-fast set for a content without pieces");
        return 1;
    }
    uint8_t address[4], hash[20];
    Manager_GetBindAddress(p->Manager, address);
    Content_GetInfoHash(p->Content, hash);
    int list[BITPEER_FAST_SIZE], count = 0;
    BitPeer_ComputeFastSet(pieces, address, hash, list, &count);
    for (int i = 0; i < count; i++) {
        p->SentFast[p->SentFastCount++] = list[i];
        Stream_WriteAllowFast(p->Stream, (uint32_t)list[i]);
    }
    for (int i = 0; i < count; i++)
        if (Bitfield_Test(p->Advertised, list[i]))
            Stream_WriteSuggest(p->Stream, (uint32_t)list[i]);
    return 1;
}

int BitPeer_LoadKeyPair(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    if (peer->Manager == nullptr)
        return 0;
    return Manager_GetKeyPair(peer->Manager, peer->PrivateKey, peer->PublicKey, peer->Prime,
                              nullptr);
}
