// Stream encryption between two of our connections, each on its own TCP pair:
// what one sends is read off the far end and handed to the other one byte at
// a time (straight into its input buffer, through its input cipher as a read
// would), so every step meets every split. Tampering with the bytes in between
// checks the limits: the VC offset, the PadD length, the offer, the peer keys.
#include <gtest/gtest.h>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>

#include "core/rc4.h"
#include "engine/bigint.h"
#include "net/socket.h"
#include "tests/engine/peer_support.h"

namespace {

// One side: the connection and the raw far end of its pair.
struct Side {
    BitPeerStruct *Peer = nullptr;
    TransportStruct *Far = nullptr;
    std::string Sent; // everything the connection wrote, as read off Far
    size_t Delivered = 0;
};

class PeerCrypto : public enginetest::PeerFixture {
  protected:
    void SetUp() override {
        PeerFixture::SetUp();
        if (IsSkipped())
            return;
        Open(true);
        BitPeer_Destroy(&peer_);
    }
    void TearDown() override {
        Clear();
        PeerFixture::TearDown();
    }
    void Clear() {
        for (Side *s : {&a_, &b_}) {
            BitPeer_Destroy(&s->Peer);
            Transport_Destroy(&s->Far);
            *s = Side();
        }
    }
    // A TCP pair on 127.0.0.1: *near is the connecting end when `outgoing`
    // (`reuse` reopened when given), else the accepted one; *far the other end.
    static void Pair(bool outgoing, TransportStruct **near, TransportStruct **far,
                     TransportStruct *reuse = nullptr) {
        TransportStruct *listener = nullptr, *connecting = reuse, *accepted = nullptr;
        Transport_Create(&listener);
        Transport_SetType(listener, TRANSPORT_TYPE_NORMAL);
        Transport_Open(listener);
        Transport_Bind(listener, enginetest::kLoopbackAddress, 0);
        Transport_Listen(listener);
        uint8_t address[4];
        int port = 0;
        Transport_GetSockName(listener, address, &port);
        if (connecting == nullptr)
            Transport_Create(&connecting);
        Transport_SetType(connecting, TRANSPORT_TYPE_NORMAL);
        Transport_Open(connecting);
        Transport_Connect(connecting, enginetest::kLoopbackAddress, port);
        Transport_Accept(listener, &accepted);
        Transport_Destroy(&listener);
        Transport_SetBlocking(connecting);
        Transport_SetBlocking(accepted);
        *near = outgoing ? connecting : accepted;
        *far = outgoing ? accepted : connecting;
    }
    // Our initiator of the given type, bound to the download.
    void MakeInitiator(int type) {
        TransportStruct *near = nullptr;
        Pair(true, &near, &a_.Far);
        BitPeer_Create(&a_.Peer);
        BitPeer_SetTransport(a_.Peer, near);
        BitBase_ApplyPeerSettings(a_.Peer, swarm_);
        BitPeer_SetConnectionType(a_.Peer, type);
        BitPeer_SetLogCallback(a_.Peer, &PeerFixture::OnLine, 0);
        BitPeer_SetState(a_.Peer, BITPEER_STATE_KEY_EXCHANGE);
        current_ = this;
    }
    // Our acceptor, not yet bound: the manager identifies it first.
    void MakeAcceptor() {
        TransportStruct *near = nullptr;
        Pair(false, &near, &b_.Far);
        BitPeer_Create(&b_.Peer);
        BitPeer_SetTransport(b_.Peer, near);
        BitPeer_SetLogCallback(b_.Peer, &PeerFixture::OnLine, 0);
        BitPeer_SetState(b_.Peer, BITPEER_STATE_CONTACT);
        current_ = this;
    }
    static void Drain(Side &s) {
        char buffer[4096];
        int got = 0;
        while (Transport_Read(s.Far, buffer, sizeof buffer, &got) && got > 0)
            s.Sent.append(buffer, (size_t)got);
    }
    // One byte of what `from` sent into `to`'s input, as a read would bring it.
    static void DeliverOne(Side &from, Side &to) {
        if (from.Delivered >= from.Sent.size())
            return;
        BufferIOStruct *in = nullptr;
        Stream_GetInBuffer(to.Peer->Stream, &in);
        BufferIO_Append(in, nullptr, from.Sent.data() + from.Delivered, 1);
        from.Delivered++;
    }
    // The acceptor's manager step until it names the download, then the swarm's.
    int StepAcceptor() {
        if (b_.Peer->Content == nullptr) {
            ManagerMemberStruct *found = nullptr;
            if (!BitPeer_Identify(b_.Peer, manager_, &found))
                return 0;
            if (found) {
                const int type = b_.Peer->ConnectionType;
                BitBase_ApplyPeerSettings(b_.Peer, swarm_);
                b_.Peer->ConnectionType = type;
                BitPeer_SetState(b_.Peer, BITPEER_STATE_KEY_EXCHANGE);
                Manager_ReleaseMember(manager_, &found);
            }
            return 1;
        }
        return BitPeer_CryptoStep(b_.Peer);
    }
    static bool Done(Side &s) { return s.Peer->State == BITPEER_STATE_NEGOTIATE; }
    // Runs both sides until both negotiate, one fails or nothing moves; each
    // pass hands one byte each way. `tamper` sees the sent bytes before they go.
    // Returns 1 when both negotiate, 0 when a side failed (*failed names it).
    int Run(const std::function<void()> &tamper = nullptr, char *failed = nullptr) {
        for (int pass = 0; pass < 20000; pass++) {
            if (!Done(a_) && !BitPeer_CryptoStep(a_.Peer)) {
                if (failed)
                    *failed = 'a';
                return 0;
            }
            if (!Done(b_) && !StepAcceptor()) {
                if (failed)
                    *failed = 'b';
                return 0;
            }
            Drain(a_);
            Drain(b_);
            if (tamper)
                tamper();
            if (Done(a_) && Done(b_) && a_.Delivered == a_.Sent.size() &&
                b_.Delivered == b_.Sent.size()) {
                usleep(2000);
                Drain(a_);
                Drain(b_);
                if (a_.Delivered == a_.Sent.size() && b_.Delivered == b_.Sent.size())
                    return 1;
            }
            DeliverOne(a_, b_);
            DeliverOne(b_, a_);
            if (a_.Delivered == a_.Sent.size() && b_.Delivered == b_.Sent.size())
                usleep(200); // let a just written reply reach its far end
        }
        return 0;
    }
    static std::string Buffered(Side &s) {
        uint8_t *data = nullptr;
        int n = 0;
        Stream_Peek(s.Peer->Stream, &data, &n);
        return std::string(reinterpret_cast<const char *>(data), (size_t)n);
    }
    // The handshake sent by our side (the reserved bytes aside), as bytes.
    ::testing::AssertionResult IsOurHandshake(const std::string &bytes) {
        const std::string h = Handshake();
        if (bytes.size() == h.size() && bytes.compare(0, 20, h, 0, 20) == 0 &&
            bytes.compare(28, 40, h, 28, 40) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << bytes.size() << " bytes, not our handshake";
    }
    std::string Handshake() {
        uint8_t hash[20], id[20];
        Content_GetInfoHash(content_, hash);
        Manager_GetPeerID(manager_, id);
        std::string h(1, (char)19);
        h += "BitTorrent protocol";
        h += std::string(8, '\0');
        h.append(reinterpret_cast<const char *>(hash), 20);
        h.append(reinterpret_cast<const char *>(id), 20);
        return h;
    }
    // Where the initiator's 16-byte offer starts in what it sent (behind its
    // key, PadA, req1 and req2 XOR req3); std::string::npos before it is there.
    size_t OfferAt() {
        uint8_t req1[20];
        BitPeer_CryptoBuildHashes(a_.Peer, nullptr, content_, req1, nullptr);
        const size_t at = a_.Sent.find(std::string(reinterpret_cast<char *>(req1), 20));
        return at == std::string::npos ? at : at + 40;
    }
    Side a_, b_;
};

TEST_F(PeerCrypto, BothTypesCompleteWithBytesOneAtATime) {
    for (int type : {BITPEER_TYPE_PE, BITPEER_TYPE_PLAINTEXT}) {
        SCOPED_TRACE(type);
        MakeInitiator(type);
        MakeAcceptor();
        ASSERT_EQ(1, Run()) << Lines();
        EXPECT_EQ(type, a_.Peer->ConnectionType);
        EXPECT_EQ(type, b_.Peer->ConnectionType);
        // Each side now holds the other's handshake in the clear: ours came as
        // the IA, the acceptor's behind its reply.
        EXPECT_TRUE(IsOurHandshake(Buffered(a_)));
        EXPECT_TRUE(IsOurHandshake(Buffered(b_)));
        // Messages after the exchange pass through the chosen method.
        Stream_Consume(a_.Peer->Stream, BITPEER_PLAIN_HANDSHAKE);
        Stream_Consume(b_.Peer->Stream, BITPEER_PLAIN_HANDSHAKE);
        Stream_WriteHave(a_.Peer->Stream, 7);
        Stream_WriteHave(b_.Peer->Stream, 9);
        ASSERT_EQ(1, Run());
        EXPECT_EQ(enginetest::Message(4, enginetest::Word(7)), Buffered(b_));
        EXPECT_EQ(enginetest::Message(4, enginetest::Word(9)), Buffered(a_));
        // On the wire only the plaintext method shows the Have.
        const bool clear =
            a_.Sent.find(enginetest::Message(4, enginetest::Word(7))) != std::string::npos;
        EXPECT_EQ(type == BITPEER_TYPE_PLAINTEXT, clear);
        EXPECT_TRUE(Logged("Key Exchange Crypto Select")) << Lines();
        EXPECT_TRUE(Logged("Key Exchange checked hash")) << Lines();
        Clear();
    }
}

// Data segments the side's own socket has sent (the kernel's count), -1 when unknown.
static long SegmentsOut(Side &s) {
    SocketStruct *socket = static_cast<SocketStruct *>(s.Peer->Transport->Handle);
    int fd = -1;
    struct tcp_info info = {};
    socklen_t length = sizeof info;
    if (!Socket_GetHandle(socket, &fd) ||
        getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return -1;
    return (long)info.tcpi_data_segs_out;
}

TEST_F(PeerCrypto, EachSideSendsItsTwoStepsAsTwoSegments) {
    // Nagle's algorithm is on during the exchange: a step written in pieces
    // would wait for the acknowledgement of its first piece before the rest
    // leaves (40 ms behind a delayed ACK). Each step goes out whole: key and
    // pad, then hashes, offer and handshake (or reply and handshake).
    for (int type : {BITPEER_TYPE_PE, BITPEER_TYPE_PLAINTEXT}) {
        SCOPED_TRACE(type);
        MakeInitiator(type);
        MakeAcceptor();
        ASSERT_EQ(1, Run()) << Lines();
        EXPECT_EQ(2, SegmentsOut(a_));
        EXPECT_EQ(2, SegmentsOut(b_));
        Clear();
    }
}

TEST_F(PeerCrypto, AnOfferOfBothMethodsGetsPlaintext) {
    // Our initiator offers plaintext only; turning on the RC4 bit of its offer
    // on the way (RC4 is a XOR stream) makes an offer of both.
    MakeInitiator(BITPEER_TYPE_PLAINTEXT);
    MakeAcceptor();
    bool done = false;
    ASSERT_EQ(1, Run([&] {
                  const size_t at = OfferAt();
                  if (!done && at != std::string::npos && a_.Sent.size() >= at + 16) {
                      ASSERT_LT(a_.Delivered, at + 11);
                      a_.Sent[at + 11] ^= 0x02;
                      done = true;
                  }
              }))
        << Lines();
    EXPECT_TRUE(done);
    EXPECT_EQ(BITPEER_TYPE_PLAINTEXT, b_.Peer->ConnectionType);
}

TEST_F(PeerCrypto, OffsetAndPaddingLimits) {
    struct Case {
        const char *Name;
        int VCOffset; // PadB grown to this many bytes; -1 leaves it
        int PadD;     // len(PadD) forced to this; -1 leaves it
        int Result;
        const char *Line;
    };
    const Case cases[] = {
        {"VC at 531", 531, -1, 1, "Key Exchange VC (531)"},
        {"VC at 532", 532, -1, 0, "Key Exchange failed - pattern not found within 531 bytes"},
        {"PadD 513", -1, 513, 0, "Key Exchanged failed on PadD skip (513)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        lines_.clear();
        MakeInitiator(BITPEER_TYPE_PE);
        MakeAcceptor();
        bool grown = false, padded = false;
        char failed = 0;
        const int result = Run(
            [&] {
                // The acceptor's key and PadB come in one write.
                if (c.VCOffset >= 0 && !grown && b_.Peer->CryptoPhase >= 2 &&
                    b_.Sent.size() >= 96) {
                    int64_t total = 0;
                    BufferIOStruct *out = nullptr;
                    Stream_GetOutBuffer(b_.Peer->Stream, &out);
                    BufferIO_GetTotal(out, &total);
                    const size_t padB = (size_t)total - 96;
                    ASSERT_EQ(0u, b_.Delivered);
                    b_.Sent.insert(96, std::string((size_t)c.VCOffset - padB, 'x'));
                    grown = true;
                }
                const size_t vc = b_.Sent.find(
                    std::string(reinterpret_cast<char *>(a_.Peer->Verification), 8), 96);
                if (c.PadD >= 0 && !padded && a_.Peer->CryptoPhase >= 3 &&
                    vc != std::string::npos && b_.Sent.size() >= vc + 14) {
                    ASSERT_LT(b_.Delivered, vc + 12);
                    b_.Sent[vc + 12] ^= (char)(c.PadD >> 8);
                    b_.Sent[vc + 13] ^= (char)(c.PadD & 0xff);
                    padded = true;
                }
            },
            &failed);
        EXPECT_EQ(c.Result, result) << Lines();
        if (c.Result == 0) {
            EXPECT_EQ('a', failed);
        }
        EXPECT_TRUE(Logged(c.Line)) << Lines();
        Clear();
    }
}

TEST_F(PeerCrypto, PeerKeysOutsideTwoToPMinusTwoAreRefused) {
    BigIntStruct *p = nullptr, *k = nullptr, *one = nullptr;
    BigInt_Create(&p);
    BigInt_Create(&k);
    BigInt_Create(&one);
    BigInt_SetWord(one, 1);
    {
        BigIntStruct *x = nullptr, *y = nullptr;
        BigInt_Create(&x);
        BigInt_Create(&y);
        Manager_GetKeyPair(manager_, x, y, p, nullptr);
        BigInt_Destroy(&x);
        BigInt_Destroy(&y);
    }
    struct Case {
        const char *Name;
        int Offset; // key = P + offset, or the word itself when Word >= 0
        int Word;
        int Result;
    };
    const Case cases[] = {{"0", 0, 0, 0},     {"1", 0, 1, 0},     {"2", 0, 2, 1},
                          {"P-2", -2, -1, 1}, {"P-1", -1, -1, 0}, {"P", 0, -1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        lines_.clear();
        MakeAcceptor();
        if (c.Word >= 0) {
            BigInt_SetWord(k, (uint32_t)c.Word);
        } else {
            BigInt_Copy(k, p);
            for (int i = 0; i < -c.Offset; i++)
                BigInt_Sub(k, k, one);
        }
        uint8_t key[96], raw[96];
        int count = 0;
        memset(key, 0, sizeof key);
        ASSERT_EQ(1, BigInt_ToBytes(raw, k, 96, &count));
        memcpy(key + 96 - count, raw, (size_t)count);
        BufferIOStruct *in = nullptr;
        Stream_GetInBuffer(b_.Peer->Stream, &in);
        BufferIO_Append(in, nullptr, key, 96);
        ManagerMemberStruct *found = nullptr;
        EXPECT_EQ(c.Result, BitPeer_Identify(b_.Peer, manager_, &found)) << Lines();
        EXPECT_EQ(c.Result == 0, Logged("Key Exchange decode failed - connection closed"));
        BitPeer_Destroy(&b_.Peer);
        Transport_Destroy(&b_.Far);
    }
    BigInt_Destroy(&p);
    BigInt_Destroy(&k);
    BigInt_Destroy(&one);
}

TEST_F(PeerCrypto, ARetryRestartsFromPhaseZero) {
    MakeInitiator(BITPEER_TYPE_PE);
    MakeAcceptor();
    // Part of the exchange, then the acceptor goes away.
    for (int i = 0; i < 400; i++) {
        ASSERT_EQ(1, BitPeer_CryptoStep(a_.Peer));
        ASSERT_EQ(1, StepAcceptor());
        Drain(a_);
        Drain(b_);
        DeliverOne(a_, b_);
        DeliverOne(b_, a_);
    }
    ASSERT_GE(a_.Peer->CryptoPhase, 3); // keyed, waiting for the VC
    BitPeer_Destroy(&b_.Peer);
    Transport_Destroy(&b_.Far);
    b_ = Side();
    // The retry as the swarm does it: reset, a fresh key pair, a new transport.
    TransportStruct *old = nullptr;
    BitPeer_GetTransport(a_.Peer, &old);
    BitPeer_Reset(a_.Peer);
    EXPECT_EQ(0, a_.Peer->CryptoPhase);
    TransportStruct *near = nullptr;
    Transport_Destroy(&a_.Far);
    Pair(true, &near, &a_.Far, old);
    BitPeer_SetTransport(a_.Peer, near);
    a_.Sent.clear();
    a_.Delivered = 0;
    BitPeer_LoadKeyPair(a_.Peer);
    BitPeer_SetState(a_.Peer, BITPEER_STATE_KEY_EXCHANGE);
    MakeAcceptor();
    ASSERT_EQ(1, Run()) << Lines();
    EXPECT_TRUE(IsOurHandshake(Buffered(b_)));
    EXPECT_TRUE(IsOurHandshake(Buffered(a_)));
}

TEST_F(PeerCrypto, AClosedContentTakesOnlyRC4) {
    Content_SetClosed(content_, 1);
    MakeInitiator(BITPEER_TYPE_PLAINTEXT);
    MakeAcceptor();
    char failed = 0;
    EXPECT_EQ(0, Run(nullptr, &failed));
    EXPECT_EQ('b', failed);
    EXPECT_TRUE(Logged("Key Exchanged failed on unsupported crypto (00000001)")) << Lines();
    Clear();
    a_ = Side();
    b_ = Side();
    MakeInitiator(BITPEER_TYPE_PE);
    MakeAcceptor();
    EXPECT_EQ(1, Run()) << Lines();
}

} // namespace
