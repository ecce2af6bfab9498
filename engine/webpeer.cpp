// One web source of a download: a state machine stepped by the web-seed manager
// that takes pieces from the picker, asks the server for the byte range of one
// file holding them and writes what arrives into the content. The arriving bytes
// are placed by their content offset, so a replayed or range-less reply only
// rewrites or skips bytes, never shifts them.
#include "engine/webpeer.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/translog.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/swarm.h"
#include "engine/trafficshape.h"
#include "engine/transport.h"
#include "engine/webbase.h"
#include "net/socket.h"
#include "net/webget.h"

static const char kPeerTag[] = "WebPeerStruct";

enum {
    kAttempts = 2,
    kBodyBytesPerTick = 4 * 1024 * 1024, // bytes pumped in one tick before others run
};
static const double kStartupRetry = 1.0;
static const double kNoPieceRetry = 30.0;
static const double kMissingRetry = 60.0;
static const double kGiveUpRetry = 300.0;

// The byte totals are written on the manager thread and read by the download's
// other callers (status and statistics) under the web-seed manager's lock only.
static void InternalCount(int64_t &total, int64_t n) {
    std::atomic_ref<int64_t>(total).fetch_add(n, std::memory_order_relaxed);
}
static int64_t InternalRead(const int64_t &total) {
    return std::atomic_ref<int64_t>(const_cast<int64_t &>(total)).load(std::memory_order_relaxed);
}

static double InternalNow(WebPeerStruct *p) {
    return p->Manager ? Manager_Now(p->Manager) : Zyl_GetTickSeconds();
}

static int InternalStaggered(WebPeerStruct *p) {
    return p->WebBase && p->Order != PIECE_ORDER_SEQUENTIAL &&
           WebBase_GetStaggeredRequests(p->WebBase);
}

int(WebPeer_Log)(WebPeerStruct *peer, const char *format, ...) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(format);
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(peer->Status, sizeof peer->Status, format, args);
    va_end(args);
    peer->LogCount++;
    if (peer->Log && peer->WebBase && WebBase_GetPeerLogging(peer->WebBase))
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_VERBOSE, "Web %.8X: %s", peer->SocketId,
                  peer->Status);
    return 1;
}

// A line that also goes to the Alert log whatever the peer's own switch says.
#define WEBPEER_ALERT(p, kind, ...)                                                                \
    do {                                                                                           \
        WebPeer_Log(p, __VA_ARGS__);                                                               \
        Alert_Log(kind, ALERT_LEVEL_NORMAL, "%s", (p)->Status);                                    \
    } while (0)

// ---------------------------------------------------------------------------
// HTTP client callbacks (declared here, defined below)
// ---------------------------------------------------------------------------

static int InternalStartCallback(WebGetStruct *, void *) {
    return 1;
}
static int InternalRedirectCallback(WebGetStruct *web, void *user, const char *url);
static int InternalAcceptCallback(WebGetStruct *web, void *user);
static int InternalContentCallback(WebGetStruct *web, void *user, const void *data, int length,
                                   int *accepted);

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int WebPeer_Create(WebPeerStruct **peer) {
    ZYL_CHECK_PTR(peer);
    WebPeerStruct *p = ZYL_NEW(WebPeerStruct);
    p->Tag = kPeerTag;
    Zyl_StrCopy(p->Status, "Initialized", sizeof p->Status);
    WebGet_Create(&p->Client);
    WebGet_SetStartCallback(p->Client, p, InternalStartCallback);
    WebGet_SetRedirectCallback(p->Client, p, InternalRedirectCallback);
    WebGet_SetTrace(p->Client, 1);
    WebGet_SetAttempts(p->Client, kAttempts);
    Transport_Create(&p->Transport);
    Transport_SetType(p->Transport, TRANSPORT_TYPE_NORMAL);
    SocketStruct *socket = nullptr;
    WebGet_GetSocket(p->Client, &socket);
    if (socket)
        Transport_AttachSocket(p->Transport, socket);
    p->SocketId = Manager_HandleId(p->Transport);
    Slice_Create(&p->Queue);
    p->Order = PIECE_ORDER_SCARCITY;
    p->State = WEBPEER_STATE_CONTACT;
    p->StartTime = Zyl_GetTickSeconds();
    p->RangesSupported = 1;
    *peer = p;
    return 1;
}

static PieceStruct *InternalPicker(WebPeerStruct *p) {
    PieceStruct *picker = nullptr;
    if (p->Base)
        Base_GetPiecePicker(p->Base, &picker);
    return picker;
}

// Hands the queued blocks back to the picker (they are fetched again).
static void InternalReturnWork(WebPeerStruct *p) {
    if (Slice_IsEmpty(p->Queue))
        return;
    PieceStruct *picker = InternalPicker(p);
    if (picker)
        Piece_QueuePartial(picker, p->Queue);
    else
        Slice_RemoveAll(p->Queue);
    p->QueuedLength = 0;
}

// Takes the peer out of its ring; the last twin left is alone again.
static void InternalLeaveRing(WebPeerStruct *p) {
    if (p->NextTwin == nullptr)
        return;
    WebPeerStruct *before = p->NextTwin;
    while (before->NextTwin != p && before->NextTwin != nullptr)
        before = before->NextTwin;
    before->NextTwin = p->NextTwin == before ? nullptr : p->NextTwin;
    p->NextTwin = nullptr;
}

int WebPeer_Destroy(WebPeerStruct **peer) {
    ZYL_CHECK_PTR(peer);
    WebPeerStruct *p = *peer;
    if (p == nullptr)
        return 1;
    ZYL_CHECK_TAG(p, kPeerTag);
    *peer = nullptr;
    if (p->Manager)
        Manager_RemoveTrafficPeer(p->Manager, p->Transport);
    InternalLeaveRing(p);
    if (p->Buffer)
        ZYL_FREE(p->Buffer, p->BufferSize);
    // The socket belongs to the client: the transport only lends it a record.
    Transport_DetachSocket(p->Transport);
    Transport_Destroy(&p->Transport);
    WebGet_Destroy(&p->Client);
    InternalReturnWork(p);
    Slice_Destroy(&p->Queue);
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(WebPeerStruct));
    return 1;
}

int WebPeer_SetParent(WebPeerStruct *peer, BaseStruct *base) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(base);
    if (peer->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    peer->Base = base;
    Base_GetParent(base, &peer->Manager);
    Base_GetWebBase(base, &peer->WebBase);
    Base_GetContent(base, &peer->Content);
    if (peer->Content)
        Content_GetFileList(peer->Content, &peer->Files);
    Slice_SetParent(peer->Queue, peer->Content);
    BitBaseStruct *swarm = nullptr;
    SliceProgressStruct *progress = nullptr;
    if (Base_GetBitBase(base, &swarm) && swarm && BitBase_GetProgress(swarm, &progress))
        Slice_SetProgressField(peer->Queue, progress);
    peer->StartTime = InternalNow(peer);
    return 1;
}

// ---------------------------------------------------------------------------
// Settings and queries
// ---------------------------------------------------------------------------

int WebPeer_SetURL(WebPeerStruct *peer, const char *url) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(url);
    Zyl_StrCopy(peer->URL, url, sizeof peer->URL);
    return 1;
}

int WebPeer_GetURL(WebPeerStruct *peer, char *url, int size) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(url);
    Zyl_StrCopy(url, peer->URL, size);
    return 1;
}

int WebPeer_SetURLSuffix(WebPeerStruct *peer, const char *suffix) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(suffix);
    Zyl_StrCopy(peer->URLSuffix, suffix, sizeof peer->URLSuffix);
    return 1;
}

int WebPeer_SetID(WebPeerStruct *peer, const char *id) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(id);
    Zyl_StrCopy(peer->ID, id, sizeof peer->ID);
    return 1;
}

int WebPeer_GetID(WebPeerStruct *peer, char *id, int size) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(id);
    Zyl_StrCopy(id, peer->ID, size);
    return 1;
}

int WebPeer_SetOrder(WebPeerStruct *peer, int mode) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    peer->Order = mode;
    return 1;
}

int WebPeer_EnableLog(WebPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    peer->Log = 1;
    return 1;
}

int WebPeer_GetStateName(int state, char *name) {
    ZYL_CHECK_PTR(name);
    const char *text = "Unknown";
    switch (state) {
    case WEBPEER_STATE_INACTIVE:
        text = "Inactive";
        break;
    case WEBPEER_STATE_STARTUP:
        text = "Startup";
        break;
    case WEBPEER_STATE_CONTACT:
        text = "Contact";
        break;
    case WEBPEER_STATE_GOOD:
        text = "Good";
        break;
    case WEBPEER_STATE_SHUTDOWN:
        text = "Shutdown";
        break;
    case WEBPEER_STATE_FAILURE:
        text = "Failure";
        break;
    case WEBPEER_STATE_CLOSE:
        text = "Close";
        break;
    default:
        break;
    }
    Zyl_StrCopy(name, text, WEBPEER_NAME_SIZE);
    return 1;
}

int WebPeer_SetState(WebPeerStruct *peer, int state) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    char from[WEBPEER_NAME_SIZE], to[WEBPEER_NAME_SIZE];
    WebPeer_GetStateName(peer->State, from);
    WebPeer_GetStateName(state, to);
    WebPeer_Log(peer, "State changed from (%s to %s)", from, to);
    peer->State = state;
    if (state == WEBPEER_STATE_CLOSE && peer->NextTwin && peer->WebBase)
        WebBase_RemovePeer(peer->WebBase, peer);
    return 1;
}

int WebPeer_GetState(WebPeerStruct *peer, int *state) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(state);
    *state = peer->State;
    return 1;
}

int WebPeer_GetQueue(WebPeerStruct *peer, SliceStruct **queue) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(queue);
    *queue = peer->Queue;
    return 1;
}

int WebPeer_GetTransport(WebPeerStruct *peer, TransportStruct **transport) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(transport);
    *transport = peer->Transport;
    return 1;
}

int WebPeer_GetTotals(WebPeerStruct *peer, int64_t *received, int64_t *sent, int64_t *verified,
                      int64_t *failed, int64_t *discarded) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(received);
    ZYL_CHECK_PTR(sent);
    ZYL_CHECK_PTR(verified);
    ZYL_CHECK_PTR(failed);
    ZYL_CHECK_PTR(discarded);
    *received = InternalRead(peer->BytesReceived);
    *sent = InternalRead(peer->BytesSent);
    *verified = InternalRead(peer->VerifiedBytes);
    *failed = InternalRead(peer->FailedBytes);
    *discarded = InternalRead(peer->DiscardedBytes);
    return 1;
}

int WebPeer_GetNextTwin(WebPeerStruct *peer, WebPeerStruct **twin) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(twin);
    *twin = peer->NextTwin;
    return peer->NextTwin ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Failure
// ---------------------------------------------------------------------------

static void InternalTransferLog(WebPeerStruct *p, const uint8_t address[4], int port) {
    LogStruct *log = nullptr;
    if (p->Manager == nullptr || !Manager_GetPeerTransferLog(p->Manager, &log) || log == nullptr)
        return;
    char hash[80] = "";
    if (p->Content)
        Content_GetInfoHashText(p->Content, hash, sizeof hash);
    Log_Write(log, "%s %s %s %d.%d.%d.%d:%d %I64d %I64d %d", hash, "Webserver", "Out", address[0],
              address[1], address[2], address[3], port, p->BytesReceived, p->BytesSent,
              (int)(InternalNow(p) - p->StartTime));
}

int WebPeer_Fail(WebPeerStruct *peer, const char *reason) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    ZYL_CHECK_PTR(reason);
    WebPeerStruct *p = peer;
    if (p->State >= WEBPEER_STATE_FAILURE)
        return 1;
    WebGet_CloseConnection(p->Client, 0);
    double inAvg = 0, outAvg = 0, inPeak = 0, outPeak = 0;
    Transport_GetAverageRates(p->Transport, &inAvg, &outAvg);
    Transport_GetPeakRates(p->Transport, &inPeak, &outPeak);
    WebPeer_Log(p, "Web Performance summary [Overall R:%.2fk W:%.2fk] [Max R:%.2fk W:%.2fk] ",
                inAvg / 1024, outAvg / 1024, inPeak / 1024, outPeak / 1024);
    int queued = 0;
    Slice_GetCount(p->Queue, &queued);
    WEBPEER_ALERT(p, ALERT_KIND_NOTICE, "Closing at [%s] [R:%I64dk W:%I64dk] [SR:%d SW:%d] [E:%d]",
                  reason, p->BytesReceived / 1024, p->BytesSent / 1024, queued, 0, p->Errors);
    if (p->BytesReceived + p->BytesSent > 0) {
        uint8_t address[4] = {};
        int port = 0;
        SocketStruct *socket = nullptr;
        WebGet_GetSocket(p->Client, &socket);
        WebGet_GetServerAddress(p->Client, address);
        if (socket)
            Socket_GetRemoteAddress(socket, address, &port);
        InternalTransferLog(p, address, port);
        IPListStruct *list = nullptr;
        IPListMemberStruct *entry = nullptr;
        if (p->Base && Base_GetIPList(p->Base, &list) && list &&
            IPList_Find(address, list, &entry, 1, port) && entry) {
            int64_t first = 0, second = 0;
            IPList_SetState(list, IPLIST_STATE_CLOSED, entry);
            IPList_GetTotals(entry, &first, &second);
            IPList_SetTotals(entry, first + p->BytesReceived, second + p->BytesSent);
        }
    }
    WebPeer_SetState(p, WEBPEER_STATE_FAILURE);
    return 1;
}

// ---------------------------------------------------------------------------
// Work
// ---------------------------------------------------------------------------

// Recomputes the current piece, its first begin and the queued span: from the
// current piece's first block to the end of the last queued block.
static void InternalMeasureQueue(WebPeerStruct *p) {
    SliceMemberStruct *m = nullptr;
    p->QueuedLength = 0;
    if (!Slice_First(p->Queue, &m) || m == nullptr)
        return;
    p->CurrentPiece = m->Index;
    p->FirstBegin = m->Begin;
    SliceMemberStruct *last = m;
    for (SliceMemberStruct *n = m; n; Slice_Next(p->Queue, n, &n))
        last = n;
    const int64_t start = (int64_t)m->Index * p->PieceLength + m->Begin;
    const int64_t end = (int64_t)last->Index * p->PieceLength + last->Begin + last->Length;
    p->QueuedLength = end - start;
}

// Moves the buffer to the current piece's first queued byte, keeping the bytes
// already there that still belong to it.
static void InternalRebase(WebPeerStruct *p) {
    const int64_t base = (int64_t)p->CurrentPiece * p->PieceLength + p->FirstBegin;
    if (base == p->BufferBase)
        return;
    const int64_t shift = base - p->BufferBase;
    if (shift > 0 && shift < p->BufferFill) {
        memmove(p->Buffer, p->Buffer + shift, (size_t)(p->BufferFill - shift));
        p->BufferFill -= (int)shift;
    } else {
        p->BufferFill = 0;
    }
    p->BufferBase = base;
}

// Fills the queue from the picker when it is empty; 1 when there is work.
static int InternalTakeWork(WebPeerStruct *p) {
    PieceStruct *picker = InternalPicker(p);
    if (picker == nullptr)
        return 0;
    int fresh = 0, chosen = 0;
    if (Slice_IsEmpty(p->Queue)) {
        Piece_SetOrder(picker, p->Order);
        const int reserve = p->WebBase ? WebBase_GetReserveMaxPieces(p->WebBase) : 1;
        int continued = 0;
        if (!Piece_ChooseNext(picker, p, nullptr, 0, p->Queue, reserve, &chosen, &continued))
            return 0;
        p->Continued = continued;
        fresh = 1;
    }
    SliceMemberStruct *first = nullptr;
    if (!Slice_First(p->Queue, &first) || first == nullptr)
        return 0;
    if (fresh && first->Index != chosen) {
        InternalReturnWork(p);
        return 0;
    }
    if (fresh)
        p->TwinWoken = 0;
    InternalMeasureQueue(p);
    InternalRebase(p);
    return 1;
}

// The delay before trying again when the picker has nothing: soon while the
// start-up check still runs, never when nothing is wanted, else later.
static void InternalSetIdleRetry(WebPeerStruct *p) {
    int checking = 0;
    int64_t left = 0;
    Content_GetChecking(p->Content, &checking);
    Content_GetBytesLeft(p->Content, &left);
    p->RetryDelay = checking ? kStartupRetry : left <= 0 ? 0 : kNoPieceRetry;
}

static int InternalAllHeld(WebPeerStruct *p) {
    BitfieldStruct *held = nullptr;
    return p->Content && Content_GetBitfield(p->Content, &held) && held &&
           Bitfield_IsComplete(held);
}

static int InternalCompletePiece(WebPeerStruct *p, int index) {
    WebPeer_Log(p, "Deliver %d: Complete", index);
    int size = 0, failed = 0;
    Content_GetPieceSize(p->Content, index, &size);
    if (Content_AuthenticatePiece(p->Content, index, &failed)) {
        p->VerifiedPieces++;
        InternalCount(p->VerifiedBytes, size);
        BitBaseStruct *swarm = nullptr;
        if (Base_GetBitBase(p->Base, &swarm) && swarm)
            BitBase_QueueHave(swarm, index);
    } else {
        p->FailedPieces++;
        InternalCount(p->FailedBytes, size);
        p->Errors++;
        if (p->Errors > WEBPEER_INTEGRITY_ERRORS) {
            WEBPEER_ALERT(p, ALERT_KIND_ERROR,
                          "Failed to retrieve content, integrity corrupt (%d:%I64d:%I64d)",
                          p->Errors, p->FailedBytes, p->DiscardedBytes);
            p->RetryDelay = kGiveUpRetry;
            WebPeer_Fail(p, "Unable to verify integrity");
        }
    }
    return p->State < WEBPEER_STATE_FAILURE ? 1 : 0;
}

// Writes one queued block from the buffer into the content.
static int InternalDeliver(WebPeerStruct *p, int index, int begin, int length) {
    const int64_t at = (int64_t)index * p->PieceLength + begin - p->BufferBase;
    WebPeer_Log(p, "Deliver %d:%d:%d (%d) (%d)", index, begin, length, (int)at, p->BufferFill);
    InternalCount(p->BytesReceived, length);
    p->LastData = InternalNow(p);
    if (!Slice_Remove(p->Queue, index, begin, length)) {
        p->Errors++;
        WebPeer_Log(p, "Deliver unable to remove from queue (%d)", index);
        WebPeer_Fail(p, "Unable to deliver");
        return 0;
    }
    if (!Content_Write(p->Buffer + at, p->Content, index, begin, length)) {
        p->Errors++;
        WebPeer_Log(p, "Deliver unable to write (%d)", index);
        WebPeer_Fail(p, "Unable to write content");
        return 0;
    }
    if (Slice_ContainsPiece(p->Queue, index))
        return 1;
    if (p->Order != PIECE_ORDER_SEQUENTIAL && Slice_IsEmpty(p->Queue))
        p->CurrentFile = nullptr;
    return InternalCompletePiece(p, index);
}

// Delivers every queued block of the current piece that lies wholly in the
// buffer. 0 when the peer failed.
static int InternalDeliverPiece(WebPeerStruct *p) {
    const int index = p->CurrentPiece;
    SliceMemberStruct *m = nullptr;
    Slice_First(p->Queue, &m);
    while (m) {
        SliceMemberStruct *next = nullptr;
        Slice_Next(p->Queue, m, &next);
        const int64_t end = (int64_t)m->Index * p->PieceLength + m->Begin + m->Length;
        if (m->Index == index && end <= p->BufferBase + p->BufferFill) {
            if (!InternalDeliver(p, m->Index, m->Begin, m->Length))
                return p->State < WEBPEER_STATE_FAILURE ? 1 : 0;
        }
        m = next;
    }
    return 1;
}

// Bytes of the current piece the buffer must hold before its blocks go out: to
// the piece's end while later pieces are queued, else to its last block's end.
static int64_t InternalFillTarget(WebPeerStruct *p) {
    int size = 0;
    Content_GetPieceSize(p->Content, p->CurrentPiece, &size);
    const int64_t pieceStart = (int64_t)p->CurrentPiece * p->PieceLength;
    int64_t end = pieceStart + p->FirstBegin;
    int later = 0;
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(p->Queue, &m); more; more = Slice_Next(p->Queue, m, &m)) {
        if (m->Index != p->CurrentPiece) {
            later = 1;
            continue;
        }
        const int64_t e = pieceStart + m->Begin + m->Length;
        end = e > end ? e : end;
    }
    if (later)
        end = pieceStart + size;
    int64_t target = end - p->BufferBase;
    return target < p->BufferSize ? target : p->BufferSize;
}

// ---------------------------------------------------------------------------
// Twins
// ---------------------------------------------------------------------------

// A second web peer for the same source, joined to this one's ring.
static int InternalAllHeld(WebPeerStruct *p);

static void InternalMakeTwin(WebPeerStruct *p) {
    // A finished download needs no turns (its twins would only close again).
    if (p->WebBase == nullptr || p->NextTwin != nullptr || InternalAllHeld(p) ||
        !p->WebBase->Active)
        return;
    WebPeerStruct *twin = nullptr;
    if (!WebBase_AddMember(p->WebBase, p->URL, p->ID, &twin) || twin == nullptr)
        return;
    WebPeer_SetURLSuffix(twin, p->URLSuffix);
    twin->NextTwin = p;
    p->NextTwin = twin;
    WebPeer_Log(p, "Twin created [%.8X]", twin->SocketId);
}

// Wakes the first waiting twin after this peer (once per request).
static void InternalWakeTwin(WebPeerStruct *p) {
    for (WebPeerStruct *t = p->NextTwin; t && t != p; t = t->NextTwin) {
        if (t->State == WEBPEER_STATE_INACTIVE) {
            WebPeer_Log(p, "Waking twin [%.8X] at %I64d of %I64d", t->SocketId, p->Delivered,
                        p->RequestSize);
            WebPeer_SetState(t, WEBPEER_STATE_CONTACT);
            p->TwinWoken = 1;
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

// The file holding the content offset (files without data are skipped).
static FileListMemberStruct *InternalFileAt(WebPeerStruct *p, int64_t offset, int64_t *start,
                                            int64_t *length) {
    FileListMemberStruct *m = nullptr;
    for (int more = FileList_FirstMember(p->Files, &m); more; more = FileList_NextMember(m, &m)) {
        int64_t at = 0, size = 0;
        FileList_GetMemberOffset(m, &at);
        FileList_GetMemberLength(m, &size);
        if (size > 0 && offset >= at && offset < at + size) {
            *start = at;
            *length = size;
            return m;
        }
    }
    return nullptr;
}

// Percent-encodes every byte of a metafile name outside A-Z a-z 0-9 - . _ ~
// per path segment; separators become '/', a leading one is dropped.
static int InternalEncodeName(const char *name, char *out, int size) {
    static const char kHex[] = "0123456789ABCDEF";
    while (*name == '/' || *name == '\\')
        name++;
    int n = 0;
    for (const unsigned char *c = (const unsigned char *)name; *c; c++) {
        const int plain = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') ||
                          (*c >= '0' && *c <= '9') || *c == '-' || *c == '.' || *c == '_' ||
                          *c == '~';
        if (n + 4 > size)
            return 0;
        if (*c == '/' || *c == '\\') {
            out[n++] = '/';
        } else if (plain) {
            out[n++] = (char)*c;
        } else {
            out[n++] = '%';
            out[n++] = kHex[*c >> 4];
            out[n++] = kHex[*c & 15];
        }
    }
    out[n] = 0;
    return 1;
}

// 1 when the shaper lets `size` bytes come in now.
static int InternalShaperAllows(WebPeerStruct *p, int64_t size) {
    TrafficShapeStruct *shaper = nullptr;
    Base_GetOwnTrafficShape(p->Base, &shaper);
    if (shaper == nullptr && p->Manager)
        Manager_GetTrafficShape(p->Manager, &shaper);
    if (shaper == nullptr)
        return 1;
    int handle = 0;
    Base_GetShapeHandle(p->Base, BASE_SHAPE_WEB, p->ID, TRAFFICSHAPE_INCOMING, &handle);
    if (handle != 0) {
        int64_t allowance = 0;
        if (TrafficShape_GetAllowance(shaper, handle, TRAFFICSHAPE_INCOMING, &allowance) &&
            allowance < size)
            TrafficShape_SetAllowance(shaper, handle, TRAFFICSHAPE_INCOMING, size);
    }
    return TrafficShape_AllowSend(shaper, TRAFFICSHAPE_INCOMING, handle, size);
}

static int InternalIssueRequest(WebPeerStruct *p, int64_t size) {
    const int64_t offset = p->BufferBase + p->BufferFill;
    int64_t fileStart = 0, fileLength = 0;
    FileListMemberStruct *file = InternalFileAt(p, offset, &fileStart, &fileLength);
    char name[WEBPEER_TEXT_SIZE] = "";
    if (file == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to find member for piece %d",
                  p->CurrentPiece);
        WebPeer_Log(p, "No subsequent members in reliable source");
        return WebPeer_Fail(p, "No subsequent members") && 0;
    }
    FileList_GetMemberName(file, name, sizeof name);
    if (p->CurrentFile == nullptr) {
        WebPeer_Log(p, "Gathering data from index %d member [%s]", p->CurrentPiece, name);
    } else if (p->CurrentFile != file) {
        char old[WEBPEER_TEXT_SIZE] = "";
        FileList_GetMemberName(p->CurrentFile, old, sizeof old);
        WebPeer_Log(p, "Switching boundary member from [%s] to [%s]", old, name);
    }
    p->CurrentFile = file;
    int64_t fileOffset = offset - fileStart;
    int64_t length = size < fileLength - fileOffset ? size : fileLength - fileOffset;
    int ranged = 1;
    if (p->Order == PIECE_ORDER_SEQUENTIAL) {
        if (p->RangesSupported && fileOffset > 0) {
            length = fileLength - fileOffset;
        } else {
            ranged = 0;
            fileOffset = 0;
            length = fileLength;
        }
    }
    p->RequestOffset = fileOffset;
    p->RequestSize = length;
    p->Delivered = 0;
    p->FileStart = fileStart;
    p->StreamOffset = fileStart + fileOffset;
    p->ReplyStatus = 0;
    p->ReplyRanged = 0;
    p->IndexPassed = 0;
    WebPeer_Log(p, "Offsets [%I64d] [%I64d] [%I64d] [%I64d] Size [%d/%d/%I64d] [%d]", offset,
                fileOffset, fileStart, fileLength, (int)length, p->BufferFill, p->QueuedLength,
                ranged);
    char redirect[WEBBASE_TEXT_SIZE] = "";
    char encoded[WEBPEER_REQUEST_URL_SIZE] = "";
    char url[WEBPEER_REQUEST_URL_SIZE];
    if (p->WebBase == nullptr || !WebBase_RedirectFind(p->WebBase, name, redirect))
        Zyl_StrCopy(redirect, p->URL, sizeof redirect);
    if (!InternalEncodeName(name, encoded, sizeof encoded) ||
        Zyl_FormatString(url, sizeof url, "%s%s%s", redirect, encoded, p->URLSuffix) <= 0 ||
        Zyl_StrLen(url) >= (int)sizeof url - 1) {
        WEBPEER_ALERT(p, ALERT_KIND_ERROR, "Source URL too long for [%s]", name);
        return WebPeer_Fail(p, "Source URL too long") && 0;
    }
    char proxy[WEBGET_URL_SIZE] = "";
    if (p->Manager)
        Manager_GetProxy(p->Manager, proxy, sizeof proxy);
    WebGet_SetProxy(p->Client, proxy);
    WebGet_SetURL(p->Client, url);
    if (ranged)
        WebGet_SetByteRange(p->Client, fileOffset, fileOffset + length - 1);
    WebPeer_SetState(p, WEBPEER_STATE_GOOD);
    return 1;
}

// ---------------------------------------------------------------------------
// States
// ---------------------------------------------------------------------------

static int InternalStartup(WebPeerStruct *p) {
    WebGet_CloseConnection(p->Client, 0);
    p->CurrentFile = nullptr;
    std::atomic_ref<int64_t>(p->BytesReceived).store(0, std::memory_order_relaxed);
    std::atomic_ref<int64_t>(p->BytesSent).store(0, std::memory_order_relaxed);
    int length = 0;
    if (p->Content)
        Content_GetPieceLength(p->Content, &length);
    if (length != p->BufferSize) {
        if (p->Buffer)
            ZYL_FREE(p->Buffer, p->BufferSize);
        p->Buffer = length > 0 ? static_cast<uint8_t *>(ZYL_ALLOC(length)) : nullptr;
        p->BufferSize = length > 0 ? length : 0;
    }
    p->PieceLength = length;
    p->BufferFill = 0;
    p->BufferBase = -1;
    WebGetSettingsStruct settings;
    WebGet_GetSettings(p->Client, &settings);
    settings.Method = WEBGET_GET;
    settings.Blocking = 0;
    settings.HTTPVersion = 1.1;
    settings.KeepAlive = 1;
    settings.Attempts = kAttempts;
    settings.Trace = 1;
    settings.Deadline = 0; // a whole file may take long; stalls end by the rate check
    WebGet_Configure(p->Client, &settings);
    WebGet_SetContentCallback(p->Client, p, InternalContentCallback);
    WebGet_SetAcceptCallback(p->Client, p, InternalAcceptCallback);
    if (p->Content == nullptr || p->BufferSize == 0) {
        WEBPEER_ALERT(p, ALERT_KIND_ERROR, "No content to fetch for [%s]", p->URL);
        return WebPeer_Fail(p, "No content") && 0;
    }
    return WebPeer_SetState(p,
                            InternalStaggered(p) ? WEBPEER_STATE_INACTIVE : WEBPEER_STATE_CONTACT);
}

static int InternalInactive(WebPeerStruct *p) {
    if (!InternalStaggered(p))
        return WebPeer_SetState(p, WEBPEER_STATE_CONTACT);
    for (WebPeerStruct *t = p->NextTwin; t; t = t->NextTwin) {
        if (t == p)
            break;
        if (t->State != WEBPEER_STATE_INACTIVE && t->State != WEBPEER_STATE_FAILURE)
            return 0; // another twin's turn
    }
    return WebPeer_SetState(p, WEBPEER_STATE_CONTACT);
}

static int InternalContact(WebPeerStruct *p) {
    if (InternalStaggered(p) && p->NextTwin == nullptr)
        InternalMakeTwin(p);
    if (Slice_IsEmpty(p->Queue)) {
        if (InternalAllHeld(p))
            return WebPeer_SetState(p, WEBPEER_STATE_SHUTDOWN);
        p->LastAttempt = InternalNow(p);
        if (!InternalTakeWork(p)) {
            InternalSetIdleRetry(p);
            WebPeer_Fail(p, "Unable to get next piece");
            return 0;
        }
    }
    InternalMeasureQueue(p);
    InternalRebase(p);
    const int64_t size = p->QueuedLength - p->BufferFill;
    if (size <= 0) {
        // Everything asked for is in the buffer already.
        if (!InternalDeliverPiece(p))
            return 0;
        return 1;
    }
    if (!InternalShaperAllows(p, size))
        return 0;
    SliceMemberStruct *m = nullptr;
    for (int more = Slice_First(p->Queue, &m); more; more = Slice_Next(p->Queue, m, &m))
        Slice_MarkSent(p->Queue, m);
    return InternalIssueRequest(p, size);
}

// After a request: more work, a turn for the twins, or the end.
static int InternalAfterRequest(WebPeerStruct *p) {
    if (InternalAllHeld(p))
        return WebPeer_SetState(p, WEBPEER_STATE_SHUTDOWN);
    if (Slice_IsEmpty(p->Queue) && InternalStaggered(p))
        return WebPeer_SetState(p, WEBPEER_STATE_INACTIVE);
    return WebPeer_SetState(p, WEBPEER_STATE_CONTACT);
}

static int InternalRequestFailed(WebPeerStruct *p) {
    if (p->IndexPassed) {
        p->IndexPassed = 0;
        WebGet_CloseConnection(p->Client, 1);
        p->CurrentFile = nullptr;
        return InternalAfterRequest(p);
    }
    int status = p->ReplyStatus ? p->ReplyStatus : WebGet_GetStatus(p->Client);
    char text[WEBPEER_TEXT_SIZE] = "";
    WebGet_ResultText(status, text, sizeof text);
    WebGet_CloseConnection(p->Client, 1);
    p->ContactFailures++;
    p->BufferFill = 0;
    p->CurrentFile = nullptr;
    if (status >= 400 && status <= 499) {
        WEBPEER_ALERT(p, ALERT_KIND_ERROR, "Unable to locate content from reliable source (%d:%s)",
                      status, text);
        p->RetryDelay = kMissingRetry;
        WebPeer_Fail(p, "Missing source");
        return 0;
    }
    if (p->ContactFailures > WEBPEER_CONTACT_FAILURES) {
        WEBPEER_ALERT(p, ALERT_KIND_ERROR, "Failed to contact reliable source (%d:%s)", status,
                      text);
        p->RetryDelay = kGiveUpRetry;
        WebPeer_Fail(p, "Unable to contact source");
        return 0;
    }
    return InternalAfterRequest(p);
}

static int InternalGood(WebPeerStruct *p) {
    p->LastAttempt = InternalNow(p);
    int64_t pumped = 0;
    for (;;) {
        int before = 0, after = 0, success = 0;
        WebGet_GetPhase(p->Client, &before);
        const int64_t count = WebGet_GetContentCount(p->Client);
        const int running = WebGet_Process(p->Client, &success);
        if (p->State != WEBPEER_STATE_GOOD)
            return 0; // failed inside a callback
        if (!running) {
            if (!success)
                return InternalRequestFailed(p);
            p->ContactFailures = 0;
            if (p->RequestSize > p->Delivered)
                WebPeer_Log(p, "Request size/delivered mismatch (%I64d:%I64d)", p->RequestSize,
                            p->Delivered);
            return InternalAfterRequest(p);
        }
        WebGet_GetPhase(p->Client, &after);
        const int64_t moved = WebGet_GetContentCount(p->Client) - count;
        pumped += moved > 0 ? moved : 0;
        if (after == before && (moved <= 0 || pumped >= kBodyBytesPerTick))
            break;
    }
    if (p->Manager)
        Manager_AddTrafficPeer(p->Manager, p->Transport, (uint64_t)pumped);
    return 0;
}

static int InternalFailure(WebPeerStruct *p) {
    InternalReturnWork(p);
    if (p->RetryDelay != 0 && InternalNow(p) - p->LastAttempt > p->RetryDelay) {
        p->CurrentFile = nullptr;
        p->Errors = 0;
        p->ContactFailures = 0;
        p->BufferFill = 0;
        return WebPeer_SetState(p, WEBPEER_STATE_CONTACT);
    }
    return 0;
}

int WebPeer_Process(WebPeerStruct *peer) {
    ZYL_CHECK_TAG(peer, kPeerTag);
    WebPeerStruct *p = peer;
    if (InternalStaggered(p) && p->NextTwin == nullptr && !InternalAllHeld(p))
        InternalMakeTwin(p);
    for (int guard = 0; guard < 64; guard++) {
        const int state = p->State;
        int result = 0;
        switch (state) {
        case WEBPEER_STATE_INACTIVE:
            result = InternalInactive(p);
            break;
        case WEBPEER_STATE_STARTUP:
            result = InternalStartup(p);
            break;
        case WEBPEER_STATE_CONTACT:
            result = InternalContact(p);
            break;
        case WEBPEER_STATE_GOOD:
            result = InternalGood(p);
            break;
        case WEBPEER_STATE_SHUTDOWN:
            WebGet_CloseConnection(p->Client, 1);
            result = WebPeer_SetState(p, WEBPEER_STATE_CLOSE);
            break;
        case WEBPEER_STATE_FAILURE:
            result = InternalFailure(p);
            break;
        case WEBPEER_STATE_CLOSE:
            InternalReturnWork(p);
            result = 0;
            break;
        default:
            ZYL_FATAL("Invalid webpeer state (%d)\n", state);
        }
        if (result == 0 || p->State == state)
            break;
    }
    return p->State < WEBPEER_STATE_FAILURE ? 1 : 0;
}

// ---------------------------------------------------------------------------
// HTTP client callbacks
// ---------------------------------------------------------------------------

// 1 when the reply's "Content-Range" names exactly the range asked for.
static int InternalRangeMatches(WebPeerStruct *p, WebGetStruct *web) {
    char value[WEBPEER_TEXT_SIZE];
    if (!WebGet_GetHeaderValue(web, "Content-Range", value, sizeof value))
        return 0;
    char expected[WEBPEER_TEXT_SIZE];
    Zyl_FormatString(expected, sizeof expected, "bytes %I64d-%I64d/", p->RequestOffset,
                     p->RequestOffset + p->RequestSize - 1);
    return Zyl_StrStartsWithNoCase(value, expected);
}

static int InternalAcceptCallback(WebGetStruct *web, void *user) {
    WebPeerStruct *p = static_cast<WebPeerStruct *>(user);
    ZYL_CHECK_TAG(p, kPeerTag);
    p->Delivered = 0;
    const int status = WebGet_GetStatus(web);
    if (status < 200 || status > 299) {
        WebPeer_Log(p, "Reliable server returned failure (%d)", status);
        p->ReplyStatus = status;
        return 0;
    }
    char range[WEBPEER_TEXT_SIZE];
    const int partial =
        status == 206 && WebGet_GetHeaderValue(web, "Content-Range", range, sizeof range);
    if (partial) {
        if (!InternalRangeMatches(p, web)) {
            WEBPEER_ALERT(p, ALERT_KIND_ERROR, "Reply range [%s] is not the range asked for",
                          range);
            p->ReplyStatus = WEBGET_STATUS_RANGE;
            return 0;
        }
        // Every reply (a retried one too) starts at the range asked for.
        p->StreamOffset = p->FileStart + p->RequestOffset;
        p->ReplyRanged = 1;
        return 1;
    }
    if (p->Order == PIECE_ORDER_SEQUENTIAL) {
        // A whole file: its bytes come from its start.
        if (p->RequestOffset > 0)
            p->RangesSupported = 0;
        p->StreamOffset = p->FileStart;
        p->RequestOffset = 0;
        return 1;
    }
    // The server ignored the range: fetch files whole, in order.
    PieceStruct *picker = InternalPicker(p);
    if (picker)
        Piece_QueuePartial(picker, p->Queue);
    WEBPEER_ALERT(p, ALERT_KIND_NOTICE,
                  "Webserver appears to only support sequential reads - reconfiguring");
    p->Order = PIECE_ORDER_SEQUENTIAL;
    if (p->WebBase)
        WebBase_SetStaggeredRequests(p->WebBase, 0);
    p->RangesSupported = 0;
    p->StreamOffset = p->FileStart;
    p->RequestOffset = 0;
    p->BufferFill = 0;
    if (!InternalTakeWork(p)) {
        int checking = 0;
        Content_GetChecking(p->Content, &checking);
        if (checking)
            p->RetryDelay = kStartupRetry;
        WebPeer_Fail(p, "Unable to get next piece for sequential read");
        return 0;
    }
    return 1;
}

// Places bytes at content offset p->StreamOffset; bytes before the buffer are
// skipped, a full buffer delivers the current piece. 0 when the peer stops.
static int InternalTakeBytes(WebPeerStruct *p, const uint8_t *data, int length) {
    while (length > 0) {
        if (p->StreamOffset < p->BufferBase) {
            const int64_t skip = p->BufferBase - p->StreamOffset;
            const int n = skip < length ? (int)skip : length;
            InternalCount(p->DiscardedBytes, n);
            p->StreamOffset += n;
            data += n;
            length -= n;
            continue;
        }
        if (p->Order == PIECE_ORDER_SEQUENTIAL && p->PieceLength > 0) {
            const int index = (int)(p->StreamOffset / p->PieceLength);
            if (index > p->CurrentPiece) {
                // The file sent starts past the piece wanted (another file's
                // piece comes first): this reply ends and the next asks for it.
                WEBPEER_ALERT(p, ALERT_KIND_NOTICE, "Index passed (%d > %d)", index,
                              p->CurrentPiece);
                p->IndexPassed = 1;
                return 0;
            }
        }
        const int64_t target = InternalFillTarget(p);
        const int64_t at = p->StreamOffset - p->BufferBase;
        if (at > p->BufferFill) {
            // The bytes before these belong to another file: this reply ends and
            // the next request starts where the buffer stops.
            WebPeer_Log(p, "Reply starts past the bytes held (%I64d > %d)", at, p->BufferFill);
            p->IndexPassed = 1;
            return 0;
        }
        if (at >= target) {
            // Bytes past what the queue asks for (a reply longer than needed).
            InternalCount(p->DiscardedBytes, length);
            p->StreamOffset += length;
            return 1;
        }
        const int n = target - at < length ? (int)(target - at) : length;
        memcpy(p->Buffer + at, data, (size_t)n);
        if (at + n > p->BufferFill)
            p->BufferFill = (int)(at + n);
        p->StreamOffset += n;
        data += n;
        length -= n;
        if (p->BufferFill < target)
            continue;
        if (!InternalDeliverPiece(p))
            return 0;
        if (p->Order == PIECE_ORDER_SEQUENTIAL || !Slice_IsEmpty(p->Queue)) {
            if (!InternalTakeWork(p)) {
                int checking = 0;
                Content_GetChecking(p->Content, &checking);
                if (checking)
                    p->RetryDelay = kStartupRetry;
                if (InternalAllHeld(p))
                    return 0;
                WebPeer_Fail(p, "Unable to get subsequent piece");
                return 0;
            }
        } else {
            p->BufferFill = 0;
            p->BufferBase = p->StreamOffset + length; // nothing more is wanted
        }
    }
    return 1;
}

static int InternalContentCallback(WebGetStruct *, void *user, const void *data, int length,
                                   int *accepted) {
    WebPeerStruct *p = static_cast<WebPeerStruct *>(user);
    ZYL_CHECK_TAG(p, kPeerTag);
    if (length == 0)
        return 1;
    if (p->State != WEBPEER_STATE_GOOD)
        return 0;
    int64_t usable = length;
    if (p->ReplyRanged && p->Delivered + length > p->RequestSize) {
        usable = p->RequestSize - p->Delivered;
        if (usable < 0)
            usable = 0;
        WebPeer_Log(p, "Discarding %I64d bytes past the range asked for", length - usable);
        InternalCount(p->DiscardedBytes, length - usable);
    }
    if (usable > 0 && !InternalTakeBytes(p, static_cast<const uint8_t *>(data), (int)usable))
        return 0;
    p->Delivered += length;
    if (InternalStaggered(p) && !p->TwinWoken && p->NextTwin && p->Delivered * 2 > p->RequestSize)
        InternalWakeTwin(p);
    if (accepted)
        *accepted = 1;
    return 1;
}

// Remembers the base a redirect points the current file to, when the new URL
// ends in the file's encoded name.
static int InternalRedirectCallback(WebGetStruct *, void *user, const char *url) {
    WebPeerStruct *p = static_cast<WebPeerStruct *>(user);
    ZYL_CHECK_TAG(p, kPeerTag);
    if (url == nullptr || p->CurrentFile == nullptr || p->WebBase == nullptr)
        return 1;
    char target[WEBPEER_REDIRECT_URL_SIZE];
    Zyl_StrCopy(target, url, sizeof target);
    char name[WEBPEER_TEXT_SIZE] = "", encoded[WEBPEER_REQUEST_URL_SIZE] = "";
    FileList_GetMemberName(p->CurrentFile, name, sizeof name);
    if (!InternalEncodeName(name, encoded, sizeof encoded) || encoded[0] == 0)
        return 1;
    int at = -1;
    if (!Zyl_StrFindLast(target, encoded, &at))
        return 1;
    int question = -1;
    if (Zyl_StrFindChar(target + at, '?', &question))
        target[at + question] = 0;
    int slash = -1;
    if (Zyl_StrEqual(target + at, encoded) && Zyl_StrFindChar(target, '/', &slash) && at > 0) {
        target[at] = 0;
        WebPeer_Log(p, "Redirect base [%s] for [%s]", target, name);
        WebBase_RedirectAdd(p->WebBase, target, name);
    }
    return 1;
}
