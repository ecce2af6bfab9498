// libFuzzer target for the peer-wire readers: the bytes a stranger sends on a
// fresh connection over a real TCP pair on 127.0.0.1, handed to the input
// buffer in chunks. The first byte chooses the download (complete or empty),
// the phase the connection starts in (message reader, plain or munged
// handshake, identification of an accepted connection), the Fast extension
// and the flow flags; the second the chunk size. After every chunk the
// connection's bounds are checked: errors, queued requests, buffer sizes.
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/bufferio.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/peer.h"
#include "engine/slice.h"
#include "engine/stream.h"
#include "engine/swarm.h"
#include "engine/transport.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const uint8_t kLoopback[4] = {127, 0, 0, 1};
const int kPieceSize = 32768;
const int kPieces = 5; // the last one short

ManagerStruct *g_manager = nullptr;
ManagerMemberStruct *g_members[2] = {nullptr, nullptr}; // empty, complete
BitBaseStruct *g_swarms[2] = {nullptr, nullptr};
TransportStruct *g_listener = nullptr;
int g_port = 0;
std::string g_folder; // removed at exit

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

std::string Bytes(int n) {
    std::string s((size_t)n, '\0');
    for (int i = 0; i < n; i++)
        s[(size_t)i] = (char)(i * 7 + i / 251);
    return s;
}

// A single-file metafile over data.
std::string Metafile(const std::string &data) {
    std::string pieces;
    for (size_t at = 0; at < data.size(); at += kPieceSize) {
        Sha1Struct *sha = nullptr;
        Sha1_Create(&sha);
        Sha1_Init(sha);
        const size_t n = data.size() - at < (size_t)kPieceSize ? data.size() - at : kPieceSize;
        Sha1_Update(sha, data.data() + at, (int64_t)n);
        Sha1_Final(sha);
        uint8_t digest[20];
        Sha1_GetDigest(sha, digest, 20);
        Sha1_Destroy(&sha);
        pieces.append(reinterpret_cast<const char *>(digest), 20);
    }
    return "d4:infod6:lengthi" + std::to_string(data.size()) + "e4:name8:fuzz.bin12:piece lengthi" +
           std::to_string(kPieceSize) + "e6:pieces" + std::to_string(pieces.size()) + ":" + pieces +
           "ee";
}

void WriteFile(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        abort();
    fclose(f);
}

// One download of the manager from the metafile, its data in folder.
void AddDownload(int index, const std::string &metafile, const std::string &folder) {
    Manager_AddMember(g_manager, &g_members[index]);
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(g_members[index], &base);
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    Content_SetSource(content, metafile.c_str(), CONTENT_SOURCE_METAFILE);
    if (!Content_Open(content) || !Content_SetPath(content, folder.c_str()) ||
        !Content_ScanExisting(content))
        abort();
    Base_GetBitBase(base, &g_swarms[index]);
}

// Reads and drops what the connection sent.
void Drain(TransportStruct *raw) {
    char buffer[65536];
    for (int i = 0; i < 64; i++) {
        int got = 0;
        if (!Transport_Read(raw, buffer, sizeof buffer, &got) || got <= 0)
            return;
    }
}

void CheckBounds(BitPeerStruct *p) {
    int responses = 0, requests = 0;
    Slice_GetCount(p->Responses, &responses);
    Slice_GetCount(p->Requests, &requests);
    BufferIOStruct *in = nullptr;
    Stream_GetInBuffer(p->Stream, &in);
    int capacity = 0;
    BufferIO_GetCapacity(in, &capacity);
    if (responses > BITPEER_MAX_RESPONSES || requests < 0 || capacity > STREAM_INPUT_LIMIT ||
        p->Errors > BITPEER_MAX_ERRORS)
        abort();
}

enum Phase { kMessages, kPlain, kMunge, kIdentify };

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("fuzz.log", 0);
    Zyl_MemoryInit(INT_MAX);
    Transport_Startup();
    char folder[] = "/tmp/portico-peer-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        abort();
    const std::string top = folder;
    g_folder = top;
    atexit(RemoveFolder);
    const std::string data = Bytes(kPieces * kPieceSize - 1000);
    WriteFile(top + "/fuzz.torrent", Metafile(data));
    mkdir((top + "/empty").c_str(), 0755);
    mkdir((top + "/full").c_str(), 0755);
    WriteFile(top + "/full/fuzz.bin", data);
    Manager_Create(&g_manager);
    AddDownload(0, top + "/fuzz.torrent", top + "/empty");
    AddDownload(1, top + "/fuzz.torrent", top + "/full");
    Transport_Create(&g_listener);
    Transport_SetType(g_listener, TRANSPORT_TYPE_NORMAL);
    Transport_Open(g_listener);
    Transport_Bind(g_listener, kLoopback, 0);
    Transport_Listen(g_listener);
    uint8_t address[4];
    Transport_GetSockName(g_listener, address, &g_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 1 << 18)
        return 0;
    const int flags = data[0];
    const int chunk = data[1] * 61 + 1;
    const uint8_t *wire = data + 2;
    const int length = (int)size - 2;
    const int download = flags & 1;
    Phase phase = (Phase)((flags >> 1) & 3);

    TransportStruct *raw = nullptr;
    Transport_Create(&raw);
    Transport_SetType(raw, TRANSPORT_TYPE_NORMAL);
    Transport_Open(raw);
    Transport_Connect(raw, kLoopback, g_port);
    TransportStruct *accepted = nullptr;
    Transport_Accept(g_listener, &accepted);
    if (accepted == nullptr)
        abort();
    // Both ends non-blocking: a read finds what is there and returns.
    Transport_SetBlocking(raw);
    Transport_SetBlocking(accepted);
    BitPeerStruct *p = nullptr;
    BitPeer_Create(&p);
    BitPeer_SetTransport(p, accepted);
    if (phase == kIdentify) {
        BitPeer_SetState(p, BITPEER_STATE_CONTACT);
    } else {
        BitBase_ApplyPeerSettings(p, g_swarms[download]);
        p->ConnectionType = phase == kMunge ? BITPEER_TYPE_MUNGE : BITPEER_TYPE_NORMAL;
        BitPeer_SetState(p, phase == kMessages ? BITPEER_STATE_GOOD : BITPEER_STATE_NEGOTIATE);
        p->Fast = (flags & 8) ? 1 : 0;
        p->PeerInterested = (flags & 16) ? 1 : 0;
        p->ChokingPeer = (flags & 32) ? 0 : 1;
    }

    BufferIOStruct *in = nullptr;
    Stream_GetInBuffer(p->Stream, &in);
    int open = 1;
    for (int at = 0; at < length && open;) {
        int used = 0;
        BufferIO_GetUsed(in, &used);
        int n = length - at < chunk ? length - at : chunk;
        if (n > STREAM_INPUT_LIMIT - used)
            n = STREAM_INPUT_LIMIT - used;
        if (n <= 0 || !BufferIO_Append(in, nullptr, wire + at, n))
            break; // the reader would refuse a stream this far ahead
        at += n;
        if (phase == kIdentify) {
            ManagerMemberStruct *member = nullptr;
            open = BitPeer_Identify(p, g_manager, &member);
            if (member) {
                BaseStruct *base = nullptr;
                BitBaseStruct *swarm = nullptr;
                ManagerMember_GetBase(member, &base);
                Base_GetBitBase(base, &swarm);
                BitBase_ApplyPeerSettings(p, swarm);
                Manager_ReleaseMember(g_manager, &member);
                BitPeer_SetState(p, BITPEER_STATE_NEGOTIATE);
                phase = p->ConnectionType == BITPEER_TYPE_MUNGE ? kMunge : kPlain;
            }
        }
        if (open && (phase == kPlain || phase == kMunge)) {
            open = BitPeer_ReadHandshake(p);
            if (open && p->State == BITPEER_STATE_GOOD)
                phase = kMessages;
        }
        if (open && phase == kMessages)
            open = BitPeer_ReadMessages(p);
        CheckBounds(p);
        Drain(raw);
    }
    BitPeer_Destroy(&p);
    Transport_Destroy(&raw);
    return 0;
}
