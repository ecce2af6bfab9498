// Message stream encryption of one connection: the Diffie-Hellman exchange, the
// hashes that name the download, the crypto offer and selection, and the two
// RC4 streams. Every step parses what is buffered and waits for missing bytes,
// so any split of the peer's bytes works; a step fails only on a bad value.
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "core/alert.h"
#include "core/random.h"
#include "core/rc4.h"
#include "core/zyl.h"
#include "engine/bigint.h"
#include "engine/bufferio.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/peer_internal.h"
#include "engine/stream.h"
#include "engine/transport.h"
#include "net/socket.h"

enum {
    kKeyBytes = 96,    // public keys and S are always written as 96 bytes
    kPadMask = 511,    // our PadA / PadB: 0..511 random bytes
    kMaxPad = 512,     // longest PadC / PadD accepted
    kReq1Limit = 607,  // furthest offset of HASH('req1', S) behind the peer's key
    kVCLimit = 531,    // furthest offset of the VC behind the peer's key
    kDropBytes = 1024, // key-stream bytes discarded after keying
    kOfferBytes = 14,  // VC, crypto_provide / crypto_select, len(PadC) / len(PadD)
    kCryptoPlain = 1,  // crypto_provide / crypto_select bits
    kCryptoRc4 = 2,
    kIAHandshake = BITPEER_PLAIN_HANDSHAKE,
};

static void InternalPutWord(uint8_t *at, uint32_t v) {
    at[0] = (uint8_t)(v >> 24);
    at[1] = (uint8_t)(v >> 16);
    at[2] = (uint8_t)(v >> 8);
    at[3] = (uint8_t)v;
}

static uint32_t InternalWord(const uint8_t *at) {
    return (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | (uint32_t)at[3];
}

// The value as exactly 96 big-endian bytes, zero-padded on the left. 0 when it
// does not fit (a programming error for our own keys).
static int InternalFixed(const BigIntStruct *value, uint8_t out[kKeyBytes]) {
    uint8_t raw[kKeyBytes];
    int count = 0;
    memset(out, 0, kKeyBytes);
    if (!BigInt_ToBytes(raw, value, kKeyBytes, &count))
        return 0;
    memcpy(out + kKeyBytes - count, raw, (size_t)count);
    return 1;
}

// SHA-1 of the 4-letter label, S as 96 bytes and an optional 20-byte tail.
static void InternalHash(ManagerStruct *m, BitPeerStruct *p, const char *label, const uint8_t *tail,
                         uint8_t digest[20]) {
    uint8_t input[4 + kKeyBytes + 20];
    memcpy(input, label, 4);
    InternalFixed(p->Secret, input + 4);
    int n = 4 + kKeyBytes;
    if (tail) {
        memcpy(input + n, tail, 20);
        n += 20;
    }
    Manager_HashSHA1(m, input, n, digest);
}

static void InternalReq2(ManagerStruct *m, BitPeerStruct *p, ContentStruct *content,
                         uint8_t out[20]) {
    uint8_t hash[20], req2[20], req3[20];
    Content_GetInfoHash(content, hash);
    uint8_t input[4 + 20];
    memcpy(input, "req2", 4);
    memcpy(input + 4, hash, 20);
    Manager_HashSHA1(m, input, sizeof input, req2);
    InternalHash(m, p, "req3", nullptr, req3);
    for (int i = 0; i < 20; i++)
        out[i] = req2[i] ^ req3[i];
}

static BufferIOStruct *InternalIn(BitPeerStruct *p) {
    BufferIOStruct *b = nullptr;
    Stream_GetInBuffer(p->Stream, &b);
    return b;
}

static BufferIOStruct *InternalOut(BitPeerStruct *p) {
    BufferIOStruct *b = nullptr;
    Stream_GetOutBuffer(p->Stream, &b);
    return b;
}

// Appends bytes to the output (through the output cipher when on) without
// sending them: a step's writes leave in one segment at its final flush, as
// Nagle's algorithm would otherwise hold each write after the first until the
// peer's delayed acknowledgement of it (about 40 ms each on Linux).
static int InternalQueue(BitPeerStruct *p, const void *bytes, int n) {
    if (!BufferIO_Append(InternalOut(p), p->Transport, bytes, n))
        return 0;
    BitPeer_Log(p, "[Write] Buffer [%d] (queued)", n);
    return 1;
}

// Acknowledges what was read at once instead of after the delayed-ACK timer
// (40 ms or more): a peer that sends one handshake step in two writes holds the
// second (Nagle's algorithm) until the first is acknowledged. TCP only.
static void InternalAckNow(BitPeerStruct *p) {
    int type = 0;
    if (p->Transport && Transport_GetType(p->Transport, &type) && type == TRANSPORT_TYPE_NORMAL &&
        p->Transport->Handle)
        Socket_SetOption(static_cast<SocketStruct *>(p->Transport->Handle), IPPROTO_TCP,
                         TCP_QUICKACK, 1);
}

static Rc4Struct *InternalRc4(BufferIOStruct *b) {
    Rc4Struct *rc4 = nullptr;
    BufferIO_GetCipher(b, &rc4);
    return rc4;
}

// Keys one direction: SHA-1 of the label, S and the info hash, over a fresh
// RC4 state, and the first 1024 key-stream bytes dropped.
static void InternalSetKey(ManagerStruct *m, BitPeerStruct *p, const char *label,
                           BufferIOStruct *b) {
    uint8_t hash[20], key[20];
    Content_GetInfoHash(p->Content, hash);
    InternalHash(m, p, label, hash, key);
    Rc4_Init(InternalRc4(b));
    BufferIO_SetKey(b, key);
    uint8_t drop[kDropBytes];
    memset(drop, 0, sizeof drop);
    Rc4_Crypt(InternalRc4(b), drop, sizeof drop);
}

// Fills the input; the failure line when the stream closed.
static int InternalFill(BitPeerStruct *p, uint8_t **data, int *n) {
    if (!Stream_Fill(p->Stream)) {
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    Stream_Peek(p->Stream, data, n);
    return 1;
}

static int InternalConsume(BitPeerStruct *p, int n) {
    if (!Stream_Consume(p->Stream, n)) {
        BitPeer_Log(p, "Handshake failed on pickup");
        return 0;
    }
    return 1;
}

static void InternalVCAlert(const uint8_t *vc) {
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
              "VC is not zero'd out %.2X%.2X%.2X%.2X%.2X%.2X%.2X%.2X", vc[0], vc[1], vc[2], vc[3],
              vc[4], vc[5], vc[6], vc[7]);
}

// ---------------------------------------------------------------------------
// Key exchange (both sides)
// ---------------------------------------------------------------------------

static int InternalSendKey(ManagerStruct *m, BitPeerStruct *p) {
    if (BigInt_NumBits(p->Prime) == 0 &&
        !Manager_GetKeyPair(m, p->PrivateKey, p->PublicKey, p->Prime, nullptr))
        return 0;
    RandomStruct *random = nullptr;
    Manager_GetRandom(m, &random);
    const int pad = (int)(Random_Next(random) & kPadMask);
    uint8_t bytes[kKeyBytes + kPadMask];
    for (int i = kKeyBytes; i < kKeyBytes + pad; i += 4) {
        const uint32_t r = Random_Next(random);
        for (int k = 0; k < 4 && i + k < kKeyBytes + pad; k++)
            bytes[i + k] = (uint8_t)(r >> (8 * k));
    }
    if (!InternalFixed(p->PublicKey, bytes) ||
        !Stream_WriteBuffer(p->Stream, bytes, kKeyBytes + pad))
        return 0;
    BitPeer_Log(p, "Key Exchange Sent (%d PadA)", pad);
    p->CryptoPhase++;
    return 1;
}

// 1 when 2 <= Y' <= P - 2: the values 0, 1 and P - 1 give a shared secret an
// eavesdropper knows.
static int InternalKeyInRange(BitPeerStruct *p) {
    BigIntStruct *two = nullptr, *top = nullptr;
    BigInt_Create(&two);
    BigInt_Create(&top);
    BigInt_SetWord(two, 2);
    BigInt_Sub(top, p->Prime, two);
    const int ok =
        BigInt_Compare(p->PeerPublicKey, two) >= 0 && BigInt_Compare(p->PeerPublicKey, top) <= 0;
    BigInt_Destroy(&two);
    BigInt_Destroy(&top);
    return ok;
}

static int InternalReadKey(BitPeerStruct *p) {
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFill(p, &data, &n))
        return 0;
    if (n < kKeyBytes)
        return 1;
    if (BigInt_NumBits(p->Prime) == 0 || !BigInt_FromBytes(kKeyBytes, p->PeerPublicKey, data) ||
        !InternalKeyInRange(p)) {
        BitPeer_Log(p, "Key Exchange decode failed - connection closed");
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    if (!BigInt_ModExp(p->Secret, p->PeerPublicKey, p->PrivateKey, p->Prime))
        return 0;
    if (!InternalConsume(p, kKeyBytes)) {
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    BitPeer_Log(p, "Key Exchange Read (%d PadB)", n - kKeyBytes);
    p->CryptoPhase++;
    p->CryptoScan = 0;
    return 1;
}

// Looks for `pattern` at offsets 0..limit of the buffered bytes; *at = its
// offset or -1. The search runs again only when new bytes arrived. 0 once the
// bytes that could hold it within the limit are all there and it is not.
static int InternalScan(BitPeerStruct *p, const uint8_t *pattern, int size, int limit, int *at) {
    *at = -1;
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFill(p, &data, &n))
        return 0;
    if (n == p->CryptoScan)
        return 1;
    p->CryptoScan = n;
    for (int i = 0; i <= limit && i + size <= n; i++) {
        if (memcmp(data + i, pattern, (size_t)size) == 0) {
            *at = i;
            return 1;
        }
    }
    if (n >= limit + size) {
        BitPeer_Log(p, "Key Exchange failed - pattern not found within %d bytes", limit);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Accepting side
// ---------------------------------------------------------------------------

static int InternalReadReq1(ManagerStruct *m, BitPeerStruct *p) {
    uint8_t req1[20];
    InternalHash(m, p, "req1", nullptr, req1);
    int at = -1;
    if (!InternalScan(p, req1, 20, kReq1Limit, &at))
        return 0;
    if (at < 0)
        return 1;
    if (!InternalConsume(p, at + 20))
        return 0;
    p->CryptoScan = 0;
    // An initiator writing its hashes, offer and handshake apart waits for this
    // acknowledgement before the rest leaves.
    InternalAckNow(p);
    BitPeer_Log(p, "Key Exchange Req1");
    p->CryptoPhase++;
    return 1;
}

int BitPeer_CryptoAcceptStep(BitPeerStruct *peer, ManagerStruct *manager) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(manager);
    BitPeerStruct *p = peer;
    for (int guard = 0; guard < 3 && p->CryptoPhase < 3; guard++) {
        const int phase = p->CryptoPhase;
        int ok = 1;
        switch (phase) {
        case 0:
            ok = InternalReadKey(p);
            break;
        case 1:
            ok = InternalSendKey(manager, p);
            break;
        default:
            ok = InternalReadReq1(manager, p);
            break;
        }
        if (!ok)
            return 0;
        if (p->CryptoPhase == phase)
            break;
    }
    return 1;
}

int BitPeer_CryptoMatchesContent(BitPeerStruct *peer, ManagerStruct *manager,
                                 ContentStruct *content, const uint8_t bytes[20]) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(content);
    ZYL_CHECK_PTR(bytes);
    uint8_t expected[20];
    InternalReq2(manager, peer, content, expected);
    return memcmp(expected, bytes, 20) == 0 ? 1 : 0;
}

int BitPeer_CryptoReadReq2(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFill(p, &data, &n))
        return 0;
    if (n < 20)
        return 1;
    if (!BitPeer_CryptoMatchesContent(p, p->Manager, p->Content, data)) {
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    if (!InternalConsume(p, 20)) {
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    // The download is known: both directions can be keyed. The input cipher
    // stays off until the whole offer is buffered and decrypted by hand.
    InternalSetKey(p->Manager, p, "keyA", InternalIn(p));
    InternalSetKey(p->Manager, p, "keyB", InternalOut(p));
    BitPeer_Log(p, "Key Exchange Req2 ^ Req3");
    p->CryptoPhase++;
    return 1;
}

// The method this side picks from the peer's offer: plaintext when offered and
// accepted, else RC4; a closed content never takes plaintext. 0 for none.
static int InternalPickMethod(BitPeerStruct *p, uint32_t provide) {
    int accepted = BITPEER_TYPE_ALL;
    Manager_GetAcceptedConnectionTypes(p->Manager, &accepted);
    int closed = 0;
    Content_GetClosed(p->Content, &closed);
    if ((provide & kCryptoPlain) && (accepted & BITPEER_TYPE_PLAINTEXT) && !closed)
        return BITPEER_TYPE_PLAINTEXT;
    if ((provide & kCryptoRc4) && (accepted & BITPEER_TYPE_PE))
        return BITPEER_TYPE_PE;
    return 0;
}

int BitPeer_CryptoReceiverReply(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFill(p, &data, &n))
        return 0;
    if (n < kOfferBytes)
        return 1;
    // Decrypted into scratch with a copy of the key stream until the offer,
    // PadC and the IA are all buffered; the real stream then runs once.
    BufferIOStruct *in = InternalIn(p);
    Rc4Struct look = *InternalRc4(in);
    uint8_t head[kOfferBytes + 2];
    memcpy(head, data, kOfferBytes);
    Rc4_Crypt(&look, head, kOfferBytes);
    for (int i = 0; i < 8; i++) {
        if (head[i] != 0) {
            InternalVCAlert(head);
            return 0;
        }
    }
    const uint32_t provide = InternalWord(head + 8);
    const int padC = head[12] << 8 | head[13];
    if (padC > kMaxPad) {
        BitPeer_Log(p, "Key Exchanged failed on PadD skip (%d)", padC);
        return 0;
    }
    const int method = InternalPickMethod(p, provide);
    if (method == 0) {
        BitPeer_Log(p, "Key Exchanged failed on unsupported crypto (%.8X)", provide);
        return 0;
    }
    if (n < kOfferBytes + padC + 2)
        return 1;
    uint8_t skip[kMaxPad];
    memcpy(skip, data + kOfferBytes, (size_t)padC);
    Rc4_Crypt(&look, skip, padC);
    memcpy(head + kOfferBytes, data + kOfferBytes + padC, 2);
    Rc4_Crypt(&look, head + kOfferBytes, 2);
    const int lengthIA = head[14] << 8 | head[15];
    const int front = kOfferBytes + padC + 2;
    if (n < front + lengthIA)
        return 1;

    Rc4_Crypt(InternalRc4(in), data, front + lengthIA);
    if (!Stream_Consume(p->Stream, front)) {
        BitPeer_Log(p, "Key Exchanged failed on PadD skip (%d)", padC);
        return 0;
    }
    p->ConnectionType = method;
    uint8_t *rest = nullptr;
    int left = 0;
    Stream_Peek(p->Stream, &rest, &left);
    if (method == BITPEER_TYPE_PE) {
        // The bytes behind the IA came through the same key stream.
        Rc4_Crypt(InternalRc4(in), rest + lengthIA, left - lengthIA);
        BufferIO_SetCipher(in, 1);
    }
    uint8_t reply[kOfferBytes];
    memset(reply, 0, sizeof reply);
    InternalPutWord(reply + 8, method == BITPEER_TYPE_PE ? kCryptoRc4 : kCryptoPlain);
    BufferIOStruct *out = InternalOut(p);
    BufferIO_SetCipher(out, 1);
    if (!InternalQueue(p, reply, sizeof reply))
        return 0;
    if (method == BITPEER_TYPE_PLAINTEXT)
        BufferIO_SetCipher(out, 0);
    if (!BitPeer_SendHandshake(p) || !Stream_Flush(p->Stream))
        return 0;
    BitPeer_Log(p, "Key Exchange checked hash");
    p->CryptoPhase++;
    return 1;
}

// ---------------------------------------------------------------------------
// Initiating side
// ---------------------------------------------------------------------------

static int InternalOffer(BitPeerStruct *p) {
    if (p->ConnectionType & BITPEER_TYPE_PLAINTEXT)
        return kCryptoPlain;
    if (p->ConnectionType & BITPEER_TYPE_PE)
        return kCryptoRc4;
    return 0;
}

int BitPeer_CryptoSendHash(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    const int offer = InternalOffer(p);
    if (offer == 0) {
        BitPeer_Log(p, "Unsupported encryption mode (%d)", p->ConnectionType);
        return 0;
    }
    uint8_t hashes[40];
    InternalHash(p->Manager, p, "req1", nullptr, hashes);
    InternalReq2(p->Manager, p, p->Content, hashes + 20);
    if (!InternalQueue(p, hashes, sizeof hashes))
        return 0;
    BufferIOStruct *in = InternalIn(p), *out = InternalOut(p);
    InternalSetKey(p->Manager, p, "keyB", in);
    InternalSetKey(p->Manager, p, "keyA", out);
    BufferIO_SetCipher(out, 1);
    uint8_t offerBytes[kOfferBytes + 2];
    memset(offerBytes, 0, sizeof offerBytes);
    InternalPutWord(offerBytes + 8, (uint32_t)offer);
    offerBytes[14] = 0;
    offerBytes[15] = kIAHandshake;
    if (!InternalQueue(p, offerBytes, sizeof offerBytes) || !BitPeer_SendHandshake(p) ||
        !Stream_Flush(p->Stream))
        return 0;
    if (offer == kCryptoPlain)
        BufferIO_SetCipher(out, 0);
    memset(p->Verification, 0, sizeof p->Verification);
    Rc4_Crypt(InternalRc4(in), p->Verification, sizeof p->Verification);
    BitPeer_Log(p, "Key Exchange Send Hash");
    p->CryptoScan = 0;
    p->CryptoPhase++;
    return 1;
}

int BitPeer_CryptoReadVC(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    int at = -1;
    if (!InternalScan(p, p->Verification, 8, kVCLimit, &at))
        return 0;
    if (at < 0)
        return 1;
    if (!InternalConsume(p, at))
        return 0;
    p->CryptoScan = 0;
    BitPeer_Log(p, "Key Exchange VC (%d)", at);
    p->CryptoPhase++;
    return 1;
}

int BitPeer_CryptoReadSelect(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    uint8_t *data = nullptr;
    int n = 0;
    if (!InternalFill(p, &data, &n))
        return 0;
    if (n < kOfferBytes)
        return 1;
    if (memcmp(data, p->Verification, 8) != 0) {
        InternalVCAlert(data);
        return 0;
    }
    BufferIOStruct *in = InternalIn(p), *out = InternalOut(p);
    Rc4Struct look = *InternalRc4(in);
    uint8_t head[6];
    memcpy(head, data + 8, sizeof head);
    Rc4_Crypt(&look, head, sizeof head);
    const uint32_t select = InternalWord(head);
    const int padD = head[4] << 8 | head[5];
    if (padD > kMaxPad) {
        BitPeer_Log(p, "Key Exchanged failed on PadD skip (%d)", padD);
        return 0;
    }
    // Only the one method offered may come back.
    const int offer = InternalOffer(p);
    if ((select & (uint32_t)offer) == 0) {
        BitPeer_Log(p, "Key Exchanged failed on unsupported crypto (%.8X)", select);
        return 0;
    }
    if (n < kOfferBytes + padD)
        return 1;
    Rc4_Crypt(InternalRc4(in), data + 8, 6 + padD);
    if (offer == kCryptoPlain) {
        p->ConnectionType = BITPEER_TYPE_PLAINTEXT;
        BufferIO_SetCipher(in, 0);
        BufferIO_SetCipher(out, 0);
    } else {
        Rc4_Crypt(InternalRc4(in), data + kOfferBytes + padD, n - kOfferBytes - padD);
        BufferIO_SetCipher(in, 1);
    }
    if (!Stream_Consume(p->Stream, kOfferBytes + padD)) {
        BitPeer_Log(p, "Key Exchanged failed on PadD skip (%d)", padD);
        return 0;
    }
    InternalAckNow(p); // the acceptor's handshake may wait behind its selection
    BitPeer_Log(p, "Key Exchange Crypto Select");
    p->CryptoPhase++;
    return 1;
}

// ---------------------------------------------------------------------------
// Public steps and the phase machine
// ---------------------------------------------------------------------------

int BitPeer_CryptoSendKey(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return InternalSendKey(peer->Manager, peer);
}

int BitPeer_CryptoReadKey(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return InternalReadKey(peer);
}

int BitPeer_CryptoReadReq1(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    return InternalReadReq1(peer->Manager, peer);
}

int BitPeer_CryptoBuildHashes(BitPeerStruct *peer, uint8_t req2[20], ContentStruct *content,
                              uint8_t req1[20], uint8_t req3[20]) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(content);
    if (req1)
        InternalHash(peer->Manager, peer, "req1", nullptr, req1);
    if (req3)
        InternalHash(peer->Manager, peer, "req3", nullptr, req3);
    if (req2) {
        uint8_t hash[20], input[24];
        Content_GetInfoHash(content, hash);
        memcpy(input, "req2", 4);
        memcpy(input + 4, hash, 20);
        Manager_HashSHA1(peer->Manager, input, sizeof input, req2);
    }
    return 1;
}

int BitPeer_CryptoSetKey(BitPeerStruct *peer, const char *label, BufferIOStruct *cipher) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    ZYL_CHECK_PTR(label);
    ZYL_CHECK_PTR(cipher);
    InternalSetKey(peer->Manager, peer, label, cipher);
    return 1;
}

static int InternalStep(BitPeerStruct *p) {
    const int incoming = BitPeer_IsIncoming(p);
    switch (p->CryptoPhase) {
    case 0:
        return incoming ? InternalReadKey(p) : InternalSendKey(p->Manager, p);
    case 1:
        return incoming ? InternalSendKey(p->Manager, p) : InternalReadKey(p);
    case 2:
        return incoming ? InternalReadReq1(p->Manager, p) : BitPeer_CryptoSendHash(p);
    case 3:
        return incoming ? BitPeer_CryptoReadReq2(p) : BitPeer_CryptoReadVC(p);
    case 4:
        return incoming ? BitPeer_CryptoReceiverReply(p) : BitPeer_CryptoReadSelect(p);
    case 5:
        return BitPeer_SetState(p, BITPEER_STATE_NEGOTIATE);
    default:
        return 1;
    }
}

int BitPeer_CryptoStep(BitPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, BitPeer_Tag);
    BitPeerStruct *p = peer;
    if (p->Manager == nullptr || p->Content == nullptr) {
        BitPeer_Log(p, "Key Exchange failed - connection closed");
        return 0;
    }
    // Phases whose bytes are already buffered run in the same call.
    for (int guard = 0; guard < 6; guard++) {
        const int phase = p->CryptoPhase;
        if (!InternalStep(p))
            return 0;
        if (p->CryptoPhase == phase)
            break;
    }
    return 1;
}
