// One peer connection of a stopped manager's download, bound to one end of a
// TCP pair on 127.0.0.1; the test writes raw peer-wire bytes to the other end
// and reads what the connection sends back. The content (10 pieces of 32 KiB,
// from mktorrent) is either complete or empty.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "engine/bufferio.h"
#include "engine/peer.h"
#include "engine/stream.h"
#include "engine/swarm.h"
#include "engine/transport.h"
#include "tests/engine/swarm_support.h"
#include "tests/support/log_capture.h"

namespace enginetest {

inline std::string Word(uint32_t v) {
    std::string s(4, '\0');
    s[0] = (char)(v >> 24);
    s[1] = (char)(v >> 16);
    s[2] = (char)(v >> 8);
    s[3] = (char)v;
    return s;
}

// A framed message: length prefix, id, payload.
inline std::string Message(int id, const std::string &payload = "") {
    return Word((uint32_t)(payload.size() + 1)) + std::string(1, (char)id) + payload;
}

class PeerFixture : public ManagerFixture {
  protected:
    static constexpr int kPieces = 10;
    static constexpr int kPieceSize = 32768;

    void SetUp() override {
        ManagerFixture::SetUp();
        if (!testsupport::HaveProgram("mktorrent"))
            GTEST_SKIP() << "mktorrent missing";
        UseTestClock();
        data_ = MakeBytes(kPieces * kPieceSize, 3);
        ASSERT_TRUE(MakeTorrent(dir_, "ten", {{"ten.bin", data_}}, 15, &torrent_));
    }
    void TearDown() override {
        BitPeer_Destroy(&peer_);
        if (member_)
            Manager_ReleaseMember(manager_, &member_);
        Manager_Destroy(&manager_);
        Transport_Destroy(&raw_);
        for (TransportStruct *&t : raws_)
            Transport_Destroy(&t);
        ManagerFixture::TearDown();
    }
    // The download (complete or empty) and a connection in state Good.
    void Open(bool complete) {
        ASSERT_EQ(1, Manager_AddMember(manager_, &member_));
        ManagerMember_GetBase(member_, &base_);
        Base_GetContent(base_, &content_);
        Base_GetBitBase(base_, &swarm_);
        Content_SetSource(content_, torrent_.c_str(), CONTENT_SOURCE_METAFILE);
        ASSERT_EQ(1, Content_Open(content_)) << testsupport::AlertText();
        const std::string folder = complete ? dir_ / "src/ten" : dir_ / "out";
        testsupport::RunCommand("mkdir -p '" + folder + "'");
        Content_SetPath(content_, folder.c_str());
        ASSERT_EQ(1, Content_ScanExisting(content_)) << testsupport::AlertText();
        peer_ = Connect();
        ASSERT_NE(nullptr, peer_);
        BitPeer_SetState(peer_, BITPEER_STATE_GOOD);
        lines_.clear();
    }
    // A connection of the download over a fresh pair; raw_ is the far end.
    // Unbound (bind false), it has no download yet, as an accepted one.
    BitPeerStruct *Connect(bool bind = true) {
        TransportStruct *listener = nullptr;
        Transport_Create(&listener);
        Transport_SetType(listener, TRANSPORT_TYPE_NORMAL);
        Transport_Open(listener);
        Transport_Bind(listener, kLoopbackAddress, 0);
        Transport_Listen(listener);
        uint8_t address[4];
        int port = 0;
        Transport_GetSockName(listener, address, &port);
        if (raw_)
            raws_.push_back(raw_); // earlier far ends stay open for their connections
        raw_ = nullptr;
        Transport_Create(&raw_);
        Transport_SetType(raw_, TRANSPORT_TYPE_NORMAL);
        Transport_Open(raw_);
        Transport_Connect(raw_, kLoopbackAddress, port);
        TransportStruct *accepted = nullptr;
        Transport_Accept(listener, &accepted);
        Transport_Destroy(&listener);
        if (accepted == nullptr)
            return nullptr;
        Transport_SetBlocking(raw_);
        Transport_SetBlocking(accepted);
        BitPeerStruct *peer = nullptr;
        BitPeer_Create(&peer);
        BitPeer_SetTransport(peer, accepted);
        if (bind)
            BitBase_ApplyPeerSettings(peer, swarm_);
        BitPeer_SetLogCallback(peer, &PeerFixture::OnLine, 0);
        current_ = this;
        return peer;
    }
    static void OnLine(BaseStruct *, BitPeerStruct *, int, int, const char *line) {
        current_->lines_.push_back(line);
    }
    bool Logged(const std::string &line) const {
        for (const std::string &l : lines_)
            if (l == line)
                return true;
        return false;
    }
    std::string Lines() const {
        std::string all;
        for (const std::string &l : lines_)
            all += l + "\n";
        return all;
    }
    // Writes bytes to the far end and waits until the connection can read them.
    void Send(const std::string &bytes) {
        int written = 0;
        size_t at = 0;
        while (at < bytes.size()) {
            Transport_Write(raw_, bytes.data() + at, (int)(bytes.size() - at), &written);
            at += (size_t)written;
        }
        TransportSelectStruct *set = nullptr;
        TransportSelect_Create(&set);
        TransportSelect_Bind(set, TRANSPORT_TYPE_NORMAL);
        Transport_SelectAdd(peer_->Transport, set);
        int ready = 0;
        Transport_Wait(set, nullptr, nullptr, 2000, &ready);
        TransportSelect_Destroy(&set);
    }
    // Sends, then runs read passes until every byte sent was read and handled
    // (or a pass asks to close: its 0 is returned).
    int Read(const std::string &bytes) {
        BufferIOStruct *in = nullptr;
        Stream_GetInBuffer(peer_->Stream, &in);
        int64_t before = 0;
        BufferIO_GetTotal(in, &before);
        Send(bytes);
        for (int i = 0; i < 2000; i++) {
            if (!BitPeer_ReadMessages(peer_))
                return 0;
            int64_t total = 0;
            int used = 0;
            BufferIO_GetTotal(in, &total);
            BufferIO_GetUsed(in, &used);
            if (total >= before + (int64_t)bytes.size() && used == 0)
                return 1;
            usleep(1000);
        }
        return 1;
    }
    // What the connection sent to the far end so far.
    std::string Received() {
        std::string all;
        char buffer[65536];
        for (int i = 0; i < 50; i++) {
            int got = 0;
            if (!Transport_Read(raw_, buffer, sizeof buffer, &got) || got == 0) {
                usleep(4000); // small writes may wait for an acknowledgement
                continue;
            }
            all.append(buffer, (size_t)got);
        }
        return all;
    }

    static inline PeerFixture *current_ = nullptr;
    testsupport::TempDir dir_;
    std::string data_, torrent_;
    ManagerMemberStruct *member_ = nullptr;
    BaseStruct *base_ = nullptr;
    ContentStruct *content_ = nullptr;
    BitBaseStruct *swarm_ = nullptr;
    BitPeerStruct *peer_ = nullptr;
    TransportStruct *raw_ = nullptr;
    std::vector<TransportStruct *> raws_;
    std::vector<std::string> lines_;
};

} // namespace enginetest
