// The handshakes over a real TCP pair: a plain handshake split over two
// reads, refusals (protocol length, info hash, a peer already connected, our
// own id), the identification of accepted connections by type, the seeding
// modes' first announcement and the allowed-fast set.
#include <gtest/gtest.h>

#include <cstring>

#include "core/bitfield.h"
#include "engine/iplist.h"
#include "tests/engine/peer_support.h"

using enginetest::Message;

namespace {

class PeerHandshake : public enginetest::PeerFixture {
  protected:
    std::string Plain(const uint8_t *id) {
        uint8_t hash[20];
        Content_GetInfoHash(content_, hash);
        std::string h(1, (char)19);
        h += "BitTorrent protocol";
        h += std::string(8, '\0');
        h.append(reinterpret_cast<const char *>(hash), 20);
        h.append(reinterpret_cast<const char *>(id), 20);
        return h;
    }
    std::string Munge(const uint8_t *id) {
        uint8_t hash[20], key[20];
        Content_GetInfoHash(content_, hash);
        Content_GetInfoHashDigest(content_, key);
        std::string h;
        for (int i = 0; i < 20; i++)
            h += (char)(hash[i] ^ key[i]);
        for (int i = 0; i < 8; i++)
            h += (char)key[i];
        for (int i = 0; i < 20; i++)
            h += (char)(id[i] ^ key[i]);
        return h;
    }
    // Writes bytes and runs one handshake read once they are there.
    int Handshake(const std::string &bytes) {
        Send(bytes);
        usleep(2000);
        return BitPeer_ReadHandshake(peer_);
    }
    uint8_t id_[20] = {'-', 'T', 'T', '0', '0', '0', '1', '-', 1,  2,
                       3,   4,   5,   6,   7,   8,   9,   10,  11, 12};
};

TEST_F(PeerHandshake, PlainSplitTenAndFiftyEightIsAccepted) {
    Open(true);
    BitPeer_SetState(peer_, BITPEER_STATE_NEGOTIATE);
    const std::string h = Plain(id_);
    EXPECT_EQ(1, Handshake(h.substr(0, 10)));
    EXPECT_EQ(BITPEER_STATE_NEGOTIATE, peer_->State);
    EXPECT_EQ(1, Handshake(h.substr(10)));
    EXPECT_EQ(BITPEER_STATE_GOOD, peer_->State) << Lines();
    EXPECT_TRUE(Logged("Handshake Verified (Normal)")) << Lines();
    EXPECT_EQ(0, memcmp(id_, peer_->PeerId, 20));
    EXPECT_TRUE(Logged("Client type [-TT0001- 2D5454303030312D0102030405060708090A0B0C]"))
        << Lines();
    // Our pieces went out: all ten.
    EXPECT_EQ(Message(5, std::string("\xFF\xC0", 2)), Received());
}

TEST_F(PeerHandshake, RefusalsAsTheyArrive) {
    Open(true);
    uint8_t own[20];
    Manager_GetPeerID(manager_, own);
    std::string badHash = Plain(id_);
    badHash[30] ^= 1;
    struct {
        const char *Name;
        std::string Bytes;
        const char *Line;
    } cases[] = {
        {"length 18", std::string(1, (char)18) + Plain(id_).substr(1),
         "Handshake failed on protocol length (1:18)"},
        {"protocol", Plain(id_).substr(0, 5) + "x" + Plain(id_).substr(6),
         "Handshake failed on protocol"},
        {"hash on its first bytes", badHash.substr(0, 35), "Handshake failed on hash"},
        {"our own id", Plain(own), "BitPeer already connected"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        BitPeer_Destroy(&peer_);
        peer_ = Connect();
        BitPeer_SetState(peer_, BITPEER_STATE_NEGOTIATE);
        lines_.clear();
        EXPECT_EQ(0, Handshake(c.Bytes));
        EXPECT_TRUE(Logged(c.Line)) << Lines();
    }
}

TEST_F(PeerHandshake, APeerIdMarkedConnectedIsRefused) {
    Open(true);
    IPListStruct *list = nullptr;
    Base_GetIPList(base_, &list);
    IPListMemberStruct *entry = nullptr;
    const uint8_t other[4] = {10, 0, 0, 9};
    ASSERT_EQ(1, IPList_AddMember(&entry, list, other, 6881));
    IPList_SetPeerId(entry, id_);
    IPList_SetConnected(entry, list);
    BitPeer_SetState(peer_, BITPEER_STATE_NEGOTIATE);
    EXPECT_EQ(0, Handshake(Plain(id_)));
    EXPECT_TRUE(Logged("BitPeer already connected")) << Lines();
    // The Munge form is refused alike.
    BitPeer_Destroy(&peer_);
    peer_ = Connect();
    BitPeer_SetConnectionType(peer_, BITPEER_TYPE_MUNGE);
    BitPeer_SetState(peer_, BITPEER_STATE_NEGOTIATE);
    EXPECT_EQ(0, Handshake(Munge(id_)));
    EXPECT_TRUE(Logged("BitPeer already connected")) << Lines();
}

TEST_F(PeerHandshake, MungeIsReadAndCheckedOnItsFirstBytes) {
    Open(true);
    BitPeer_SetConnectionType(peer_, BITPEER_TYPE_MUNGE);
    BitPeer_SetState(peer_, BITPEER_STATE_NEGOTIATE);
    const std::string h = Munge(id_);
    EXPECT_EQ(1, Handshake(h.substr(0, 12)));
    EXPECT_EQ(1, Handshake(h.substr(12)));
    EXPECT_EQ(BITPEER_STATE_GOOD, peer_->State) << Lines();
    EXPECT_TRUE(Logged("Handshake Verified (Munge)")) << Lines();
    BitPeer_Destroy(&peer_);
    peer_ = Connect();
    BitPeer_SetConnectionType(peer_, BITPEER_TYPE_MUNGE);
    BitPeer_SetState(peer_, BITPEER_STATE_NEGOTIATE);
    std::string bad = h;
    bad[3] ^= 1;
    EXPECT_EQ(0, Handshake(bad.substr(0, 6)));
    EXPECT_TRUE(Logged("Handshake failed on hash")) << Lines();
}

TEST_F(PeerHandshake, AcceptedConnectionsAreIdentifiedByType) {
    Open(true);
    struct {
        const char *Name;
        int Accepted;
        std::string Bytes;
        int Result;
        int Type;
        const char *Alert;
    } cases[] = {
        {"plain", -1, Plain(id_), 1, BITPEER_TYPE_NORMAL, nullptr},
        {"plain without Normal", MANAGER_CONNECTION_MUNGE | MANAGER_CONNECTION_PE, Plain(id_), 0, 0,
         "Identified as normal connection - not currently acceptable type"},
        {"munge", -1, Munge(id_), 1, BITPEER_TYPE_MUNGE, nullptr},
        {"munge without Munge", MANAGER_CONNECTION_NORMAL, Munge(id_), 0, 0,
         "Identified as munge connection - not currently acceptable type"},
        {"unknown hash", MANAGER_CONNECTION_NORMAL | MANAGER_CONNECTION_MUNGE, std::string(68, 'q'),
         0, 0, "Unable to identify acceptable connection type"},
        // With the encrypted type accepted, the bytes start a key exchange.
        {"unknown hash, encrypted accepted", -1, std::string(68, 'q'), 1, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        testsupport::ClearAlerts();
        Manager_SetAcceptedConnectionTypes(manager_, c.Accepted);
        BitPeer_Destroy(&peer_);
        peer_ = Connect();
        Send(c.Bytes);
        usleep(2000);
        ManagerMemberStruct *found = nullptr;
        EXPECT_EQ(c.Result, BitPeer_Identify(peer_, manager_, &found));
        if (c.Result && c.Type == 0) {
            EXPECT_EQ(nullptr, found);
            EXPECT_EQ(BITPEER_STATE_IDENTIFY, peer_->State);
        } else if (c.Result) {
            EXPECT_EQ(member_, found);
            EXPECT_EQ(c.Type, peer_->ConnectionType);
            Manager_ReleaseMember(manager_, &found);
        } else {
            EXPECT_EQ(nullptr, found);
            EXPECT_TRUE(testsupport::AlertSeen(c.Alert)) << testsupport::AlertText();
        }
    }
}

TEST_F(PeerHandshake, SuperSeedingAnnouncesAboutFiveInAHundred) {
    Open(true);
    BitPeer_SetSeedingMode(peer_, BITPEER_SEED_SUPER);
    int total = 0;
    for (int i = 0; i < 200; i++) {
        ASSERT_EQ(1, BitPeer_SendBitfield(peer_));
        int set = 0;
        Bitfield_GetSetCount(peer_->Advertised, &set);
        total += set;
        Received();
    }
    // 2000 draws at 5 in 100: 100 expected.
    EXPECT_GT(total, 50);
    EXPECT_LT(total, 160);
    BitPeer_SetSeedingMode(peer_, BITPEER_SEED_NORMAL);
    BitPeer_SendBitfield(peer_);
    EXPECT_TRUE(Logged("Seeding mode (Normal) - 10 of 10 (100.00%)")) << Lines();
}

TEST(PeerFastSet, SmallContentsAndTheReferenceVector) {
    const uint8_t address[4] = {80, 4, 4, 200};
    uint8_t hash[20];
    memset(hash, 0xAA, sizeof hash);
    int list[16], count = 0;
    ASSERT_EQ(1, BitPeer_ComputeFastSet(10, address, hash, list, &count));
    ASSERT_EQ(10, count);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(i, list[i]);
    ASSERT_EQ(1, BitPeer_ComputeFastSet(1313, address, hash, list, &count));
    ASSERT_EQ(16, count);
    const int expected[] = {1059, 431, 808, 1217, 287, 376, 1188, 353, 508};
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(expected[i], list[i]) << i;
    ASSERT_EQ(1, BitPeer_ComputeFastSet(1000, address, hash, list, &count));
    ASSERT_EQ(16, count);
    for (int i = 0; i < 16; i++)
        for (int k = i + 1; k < 16; k++)
            EXPECT_NE(list[i], list[k]);
}

} // namespace
