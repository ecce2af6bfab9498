// The tracker client: the announce machine (phase and request state), the
// announce URL, and the reply parser that feeds the download's IP list. One
// step per manager pass; the HTTP client is stepped, never waited on.
#include "engine/tracker.h"

#include <atomic>
#include <cstdarg>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/ipfilter.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "engine/swarm.h"
#include "engine/urllist.h"
#include "engine/webbase.h"
#include "net/webget.h"

static const char kTrackerTag[] = "TrackerStruct";
enum {
    kMinInterval = 30,
    kDefaultInterval = 1800,
    kExhaustedInterval = 3600,
    kReplyLimit = 1 << 20,
    kIOTimeout = 15,
    kSourceTracker = 2,
    kStateFiltered = 4,
};

// Spec levels 0, 1 and 2 of the Alert log: message, notice, error.
static const int kAlertKind[3] = {ALERT_KIND_MESSAGE, ALERT_KIND_NOTICE, ALERT_KIND_ERROR};
#define TRACKER_ALERT(level, ...) Alert_Log(kAlertKind[level], ALERT_LEVEL_NORMAL, __VA_ARGS__)

static double InternalNow(TrackerStruct *t) {
    ManagerStruct *manager = nullptr;
    if (t->Base && Base_GetParent(t->Base, &manager) && manager)
        return Manager_Now(manager);
    return Zyl_GetTickSeconds();
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int Tracker_Create(TrackerStruct **tracker) {
    ZYL_CHECK_PTR(tracker);
    TrackerStruct *t = ZYL_NEW(TrackerStruct);
    t->Tag = kTrackerTag;
    t->ReportPrivateAddress = 1;
    t->MaxFailures = 3;
    t->RetryInterval = kMinInterval;
    Zyl_StrCopy(t->Status, "Initialized", sizeof t->Status);
    Mutex_Create(&t->Lock);
    MetaFile_Create(&t->Reply);
    WebGet_Create(&t->Web);
    WebGetSettingsStruct settings;
    WebGet_GetSettings(t->Web, &settings);
    settings.Attempts = 1;
    settings.IOTimeout = kIOTimeout;
    settings.Blocking = 0;
    settings.SizeLimit = kReplyLimit;
    WebGet_Configure(t->Web, &settings);
    *tracker = t;
    return 1;
}

int Tracker_Destroy(TrackerStruct **tracker) {
    if (tracker == nullptr || *tracker == nullptr)
        return 0;
    TrackerStruct *t = *tracker;
    ZYL_CHECK_TAG(t, kTrackerTag);
    *tracker = nullptr;
    if (!MUTEX_LOCK(t->Lock))
        TRACKER_ALERT(1, "Unable to lock tracker mutex");
    else
        MUTEX_UNLOCK(t->Lock);
    Mutex_Close(&t->Lock);
    MetaFile_Destroy(&t->Reply);
    WebGet_Destroy(&t->Web);
    t->Tag = Zyl_DeadTag;
    ZYL_FREE(t, sizeof(TrackerStruct));
    return 1;
}

// ---------------------------------------------------------------------------
// Settings and read-outs
// ---------------------------------------------------------------------------

int Tracker_SetBase(TrackerStruct *tracker, BaseStruct *base) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(base);
    if (tracker->Base != nullptr)
        ZYL_FATAL("Parent handle already set\n");
    tracker->Base = base;
    return 1;
}

int Tracker_SetVerbose(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->Verbose = 1;
    return 1;
}

int Tracker_SetMessageCallback(TrackerStruct *tracker, void *user,
                               TrackerMessageCallback callback) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->CallbackUser = user;
    tracker->Callback = callback;
    return 1;
}

int Tracker_SetRetryInterval(TrackerStruct *tracker, int seconds) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->RetryInterval = seconds;
    return 1;
}

int Tracker_SetMaxFailures(TrackerStruct *tracker, int count) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->MaxFailures = count;
    return 1;
}

// The phase is written under the tracker's lock and read without it by
// Tracker_IsActive, so every write is atomic.
static void InternalSetPhase(TrackerStruct *t, int phase) {
    std::atomic_ref<uint8_t>(t->Phase).store((uint8_t)phase);
}

int Tracker_SetActive(TrackerStruct *tracker, int active) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    if (!MUTEX_LOCK(tracker->Lock))
        return 0;
    if (active == 0) {
        if (tracker->Phase != TRACKER_PHASE_IDLE) {
            tracker->Interval = 0;
            InternalSetPhase(tracker, TRACKER_PHASE_STOPPING);
        }
    } else if (active == 1) {
        if (tracker->Phase == TRACKER_PHASE_IDLE) {
            tracker->Interval = 0;
            InternalSetPhase(tracker, TRACKER_PHASE_STARTING);
        }
    } else {
        tracker->Interval = 0;
        InternalSetPhase(tracker, TRACKER_PHASE_STOPPING);
    }
    MUTEX_UNLOCK(tracker->Lock);
    return 1;
}

// The phase is written by the manager thread and read by the threads that
// start and stop downloads; the hold by a test's thread.
int Tracker_IsActive(TrackerStruct *tracker, int *active) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(active);
    const int phase = std::atomic_ref<uint8_t>(tracker->Phase).load();
    *active = phase != TRACKER_PHASE_IDLE || std::atomic_ref<int>(tracker->HoldActive).load();
    return 1;
}

int Tracker_GetPhase(TrackerStruct *tracker, int *phase) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(phase);
    *phase = std::atomic_ref<uint8_t>(tracker->Phase).load();
    return 1;
}

int Tracker_ResetContactTime(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->LastContact = 0;
    return 1;
}

int Tracker_GetFailureReason(TrackerStruct *tracker, char reason[TRACKER_TEXT_SIZE]) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(reason);
    Zyl_StrCopy(reason, tracker->FailureReason, TRACKER_TEXT_SIZE);
    return 1;
}

int Tracker_GetUseFast(TrackerStruct *tracker, int *useFast) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(useFast);
    *useFast = std::atomic_ref<int>(tracker->UseFast).load();
    return 1;
}

int Tracker_GetReportPrivateAddress(TrackerStruct *tracker, int *report) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(report);
    *report = tracker->ReportPrivateAddress;
    return 1;
}

int Tracker_HasTraverseServer(TrackerStruct *tracker, int *present) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(present);
    *present = tracker->TraversePresent;
    return 1;
}

int Tracker_GetTraverseAddress(TrackerStruct *tracker, uint8_t address[4]) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(address);
    for (int i = 0; i < 4; i++)
        address[i] = tracker->TraverseAddress[i];
    return 1;
}

int Tracker_GetTraversePort(TrackerStruct *tracker, int *port) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(port);
    *port = tracker->TraversePort;
    return 1;
}

int Tracker_SetHolePunchTime(TrackerStruct *tracker, double seconds) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->HolePunchTime = seconds;
    return 1;
}

int Tracker_GetHolePunchTime(TrackerStruct *tracker, double *seconds) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = tracker->HolePunchTime;
    return 1;
}

int Tracker_GetInterval(TrackerStruct *tracker, int *seconds) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = tracker->Interval;
    return 1;
}

int Tracker_GetStatus(TrackerStruct *tracker, char *text, int size) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(text);
    if (!MUTEX_LOCK(tracker->Lock))
        return 0;
    Zyl_StrCopy(text, tracker->Status, size);
    MUTEX_UNLOCK(tracker->Lock);
    return 1;
}

int Tracker_GetLastURL(TrackerStruct *tracker, char *url, int size) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(url);
    if (!MUTEX_LOCK(tracker->Lock))
        return 0;
    Zyl_StrCopy(url, tracker->LastURL, size);
    MUTEX_UNLOCK(tracker->Lock);
    return 1;
}

int Tracker_SetHoldActive(TrackerStruct *tracker, int hold) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    std::atomic_ref<int>(tracker->HoldActive).store(hold ? 1 : 0);
    return 1;
}

int Tracker_InternalMessage(TrackerStruct *tracker, const char *format, ...) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(tracker->Status, sizeof tracker->Status, format, args);
    va_end(args);
    tracker->MessageCount++;
    if (tracker->Verbose == 1)
        TRACKER_ALERT(0, "%s", tracker->Status);
    if (tracker->Callback)
        tracker->Callback(tracker->Base, tracker, tracker->CallbackUser, tracker->MessageCount,
                          tracker->Status);
    return 1;
}

int Tracker_InternalSetRequestState(TrackerStruct *tracker, int state) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->RequestState = (uint8_t)state;
    return 1;
}

// ---------------------------------------------------------------------------
// Announce
// ---------------------------------------------------------------------------

int Tracker_PercentEncode(const void *data, int length, char *buffer, int size) {
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(buffer);
    static const char kHex[] = "0123456789ABCDEF";
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    int used = 0;
    if (size <= 0)
        return 0;
    buffer[0] = '\0';
    for (int i = 0; i < length; i++) {
        const uint8_t b = bytes[i];
        const int plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                          (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~';
        const int need = plain ? 1 : 3;
        if (used + need >= size) {
            buffer[0] = '\0';
            return 0;
        }
        if (plain) {
            buffer[used++] = (char)b;
        } else {
            buffer[used++] = '%';
            buffer[used++] = kHex[b >> 4];
            buffer[used++] = kHex[b & 15];
        }
    }
    buffer[used] = '\0';
    return 1;
}

static int InternalHasWord(TrackerStruct *t, const char *word) {
    return Zyl_StrFindWordNoCase(t->Params, ',', word);
}

// Appends one formatted piece to the announce URL (cut at its size).
static void InternalAppend(char *url, const char *format, ...) {
    char piece[TRACKER_URL_SIZE];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(piece, sizeof piece, format, args);
    va_end(args);
    Zyl_StrAppend(url, piece, TRACKER_URL_SIZE);
}

static void InternalAppendStatistics(TrackerStruct *t, char *url, BitBaseStruct *swarm,
                                     WebBaseStruct *web, const TransferTotalsStruct &bit) {
    if (t->Params[0] == '\0')
        return;
    int64_t in = 0, out = 0;
    if (swarm)
        BitBase_GetConnectionCounts(swarm, &in, &out);
    TransferTotalsStruct reliable = {};
    if (web)
        WebBase_GetTransferTotals(web, &reliable);
    struct {
        const char *Word;
        const char *Format;
        int64_t Value;
    } const items[] = {
        {"InConn", "&inconn=%I64d", in},
        {"OutConn", "&outconn=%I64d", out},
        {"BitConfirm", "&bitconfirm=%I64d", (int64_t)bit.Confirmed},
        {"BitCorrupt", "&bitcorrupt=%I64d", (int64_t)bit.Corrupt},
        {"BitDiscard", "&bitdiscard=%I64d", (int64_t)bit.Discarded},
        {"ReliableRead", "&reliableread=%I64d", (int64_t)reliable.Received},
        {"ReliableConfirm", "&reliableconfirm=%I64d", (int64_t)reliable.Confirmed},
        {"ReliableCorrupt", "&reliablecorrupt=%I64d", (int64_t)reliable.Corrupt},
        {"ReliableDiscard", "&reliablediscard=%I64d", (int64_t)reliable.Discarded},
    };
    for (const auto &item : items) {
        if (InternalHasWord(t, item.Word))
            InternalAppend(url, item.Format, item.Value);
    }
    if (InternalHasWord(t, "HttpOnly")) {
        int webActive = 0;
        if (web)
            WebBase_GetActive(web, &webActive);
        const int httpOnly = (swarm == nullptr || !BitBase_GetActive(swarm)) && webActive == 1;
        InternalAppend(url, "&httponly=%d", httpOnly ? 1 : 0);
    }
}

int Tracker_BuildAnnounce(TrackerStruct *tracker, URLListMemberStruct *entry) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(entry);
    TrackerStruct *t = tracker;
    WebGet_ClearHeaders(t->Web);
    t->LastContact = InternalNow(t);

    ManagerStruct *manager = nullptr;
    ContentStruct *content = nullptr;
    BitBaseStruct *swarm = nullptr;
    WebBaseStruct *web = nullptr;
    Base_GetParent(t->Base, &manager);
    Base_GetContent(t->Base, &content);
    Base_GetBitBase(t->Base, &swarm);
    Base_GetWebBase(t->Base, &web);
    TransferTotalsStruct bit = {};
    if (swarm)
        BitBase_GetTransferTotals(swarm, &bit);
    BitfieldStruct *held = nullptr;
    int64_t left = 0;
    uint8_t hash[20] = {};
    Content_GetBitfield(content, &held);
    Content_GetBytesLeft(content, &left);
    Content_GetInfoHash(content, hash);
    uint8_t peerId[MANAGER_PEER_ID_SIZE] = {};
    uint32_t key = 0;
    Manager_GetPeerID(manager, peerId);
    Manager_GetTrackerKey(manager, &key);

    char hashText[80], idText[80], trackerId[TRACKER_TEXT_SIZE] = "";
    Tracker_PercentEncode(hash, 20, hashText, sizeof hashText);
    Tracker_PercentEncode(peerId, MANAGER_PEER_ID_SIZE, idText, sizeof idText);
    if (t->TrackerIdLength > 0)
        Tracker_PercentEncode(t->TrackerId, t->TrackerIdLength, trackerId, sizeof trackerId);

    int port = 0;
    if (!Manager_GetLocalPort(manager, &port) || port == 0)
        Manager_GetListenPort(manager, &port);

    if (t->Phase == TRACKER_PHASE_LEECHING && held && Bitfield_IsComplete(held))
        InternalSetPhase(t, TRACKER_PHASE_COMPLETED);
    const char *event = "";
    const char *name = "";
    switch (t->Phase) {
    case TRACKER_PHASE_STARTING:
        event = "started";
        name = "Starting";
        t->TrackerIdLength = 0;
        break;
    case TRACKER_PHASE_LEECHING:
        name = "Leeching";
        break;
    case TRACKER_PHASE_COMPLETED:
        event = "completed";
        name = "Completed";
        break;
    case TRACKER_PHASE_SEEDING:
        name = "Seeding";
        break;
    case TRACKER_PHASE_STOPPING:
        event = "stopped";
        name = "Stopping";
        break;
    default:
        ZYL_FATAL("Unknown phase in tracker (%d)\n", (int)t->Phase);
    }
    Tracker_InternalMessage(t, "Contacting tracker, notify of status '%s'...", name);
    WebGet_SetTrace(t->Web, t->Verbose == 1);

    // A URL that already holds a query goes on with '&'; nothing is added
    // after a final '?' or '&'.
    const char *base = nullptr;
    URLListMember_GetURLPointer(entry, &base);
    char *url = t->LastURL;
    url[0] = '\0';
    const int length = Zyl_StrLen(base);
    const char last = length > 0 ? base[length - 1] : '\0';
    if (last == '?' || last == '&')
        InternalAppend(url, "%sinfo_hash=%s", base, hashText);
    else if (Zyl_StrHasChar(base, '?'))
        InternalAppend(url, "%s&info_hash=%s", base, hashText);
    else
        InternalAppend(url, "%s?info_hash=%s", base, hashText);
    InternalAppend(url, "&peer_id=%s&port=%d", idText, port);
    InternalAppend(url, "&uploaded=%I64d&downloaded=%I64d", (int64_t)bit.Sent,
                   (int64_t)bit.Received);
    InternalAppend(url, "&left=%I64d", left);
    InternalAppend(url, "&key=%.8X&compact=1&externalport=1", key);
    uint8_t lan[4];
    if (t->ReportPrivateAddress == 1 && Socket_GetPrivateHostAddress(lan))
        InternalAppend(url, "&ip=%d.%d.%d.%d", lan[0], lan[1], lan[2], lan[3]);
    if (trackerId[0] != '\0')
        InternalAppend(url, "&trackerid=%s", trackerId);
    if (event[0] != '\0')
        InternalAppend(url, "&event=%s", event);
    InternalAppendStatistics(t, url, swarm, web, bit);

    Manager_GetAgentName(manager, t->UserAgent, sizeof t->UserAgent);
    if (t->UserAgent[0] != '\0')
        WebGet_AddHeader(t->Web, "User-Agent", t->UserAgent);
    char proxy[WEBGET_URL_SIZE] = "";
    Manager_GetProxy(manager, proxy, sizeof proxy);
    WebGet_SetProxy(t->Web, proxy);
    WebGet_SetRequestType(t->Web, WEBGET_GET);
    WebGet_SetBlocking(t->Web, 0);
    WebGet_SetURL(t->Web, url);
    return 1;
}

// ---------------------------------------------------------------------------
// Reply
// ---------------------------------------------------------------------------

// Adds one peer address to the download's IP list as a tracker source.
static void InternalAddPeer(IPListStruct *list, IPFilterStruct *filter, const uint8_t address[4],
                            int port) {
    IPListMemberStruct *member = nullptr;
    if (list == nullptr || !IPList_AddMember(&member, list, address, port) || member == nullptr)
        return;
    IPList_SetOrigin(member, kSourceTracker);
    if (filter && IPFilter_Check(filter, address, port) == 0)
        IPList_SetState(list, kStateFiltered, member);
}

struct ParseContext {
    IPListStruct *List;
    IPFilterStruct *Filter;
    uint8_t Bind[4];
    int ListenPort;
    int Count;
    int IntervalSeen;
};

static int InternalIsLocal(const ParseContext &c, const uint8_t address[4], int port) {
    return address[0] == c.Bind[0] && address[1] == c.Bind[1] && address[2] == c.Bind[2] &&
           address[3] == c.Bind[3] && port == c.ListenPort;
}

static int InternalText(MetaFileMemberStruct *m, const char **data, int *length) {
    *data = "";
    *length = 0;
    return MetaFile_GetMemberData(m, data, length) && *data != nullptr;
}

static int64_t InternalInteger(MetaFileMemberStruct *m) {
    const char *data = nullptr;
    int length = 0;
    if (!InternalText(m, &data, &length))
        return 0;
    int64_t value = 0;
    int negative = 0;
    int i = 0;
    if (length > 0 && data[0] == '-') {
        negative = 1;
        i = 1;
    }
    for (; i < length && data[i] >= '0' && data[i] <= '9'; i++) {
        if (value > (INT64_MAX - 9) / 10)
            break;
        value = value * 10 + (data[i] - '0');
    }
    return negative ? -value : value;
}

static int InternalParseListPeers(TrackerStruct *t, ParseContext &c, MetaFileMemberStruct *list) {
    MetaFileMemberStruct *peer = nullptr;
    MetaFile_GetFirstChild(list, &peer);
    if (peer == nullptr)
        TRACKER_ALERT(0, "Peer list section is empty!");
    for (; peer != nullptr; MetaFile_GetNextMember(peer, &peer)) {
        MetaFileMemberStruct *key = nullptr;
        int type = 0;
        MetaFile_GetMemberType(peer, &type);
        if (type != METAFILE_TYPE_DICTIONARY || !MetaFile_GetFirstChild(peer, &key) ||
            key == nullptr) {
            TRACKER_ALERT(2, "Unable to get child for peer list");
            return 0;
        }
        c.Count++;
        uint8_t address[4] = {};
        int port = 0, externalPort = 0;
        char peerId[TRACKER_TEXT_SIZE] = "";
        while (key != nullptr) {
            MetaFileMemberStruct *value = nullptr;
            MetaFile_GetNextMember(key, &value);
            const char *name = nullptr;
            int nameLength = 0;
            InternalText(key, &name, &nameLength);
            if (value == nullptr)
                break;
            const char *data = nullptr;
            int length = 0;
            if (Zyl_StrEqualNoCase(name, "ip")) {
                char text[64] = "";
                InternalText(value, &data, &length);
                Zyl_StrCopy(text, data, length + 1 < (int)sizeof text ? length + 1 : sizeof text);
                Zyl_ParseIPv4(text, address);
            } else if (Zyl_StrEqualNoCase(name, "peer id")) {
                InternalText(value, &data, &length);
                Tracker_PercentEncode(data, length, peerId, sizeof peerId);
            } else if (Zyl_StrEqualNoCase(name, "port")) {
                port = (int)InternalInteger(value);
            } else if (Zyl_StrEqualNoCase(name, "external port")) {
                externalPort = (int)InternalInteger(value);
            } else {
                int valueType = 0;
                MetaFile_GetMemberType(value, &valueType);
                TRACKER_ALERT(1, "Unknown peer list field [T:%d] %d:[%s]", valueType, nameLength,
                              name);
            }
            MetaFile_GetNextMember(value, &key);
        }
        Zyl_Print("Type1 [%d.%d.%d.%d:%d - %d] [%s]\n", address[0], address[1], address[2],
                  address[3], port, externalPort, peerId);
        if (InternalIsLocal(c, address, port)) {
            TRACKER_ALERT(1, "Local IP - skipping...");
            continue;
        }
        const int used = t->TraversePresent && externalPort != 0 ? externalPort : port;
        if (used > 0 && used < 65536)
            InternalAddPeer(c.List, c.Filter, address, used);
    }
    return 1;
}

static void InternalParseCompactPeers(TrackerStruct *t, ParseContext &c,
                                      MetaFileMemberStruct *value) {
    const char *data = nullptr;
    int length = 0;
    InternalText(value, &data, &length);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(data);
    const int step = t->TraversePresent ? 8 : 6;
    for (int at = 0; at + step <= length; at += step) {
        const uint8_t *e = bytes + at;
        const int port = (e[4] << 8) | e[5];
        const int externalPort = step == 8 ? (e[6] << 8) | e[7] : 0;
        c.Count++;
        Zyl_Print("Type2 [%d.%d.%d.%d:%d - %d] [%s]\n", e[0], e[1], e[2], e[3], port, externalPort,
                  "");
        if (InternalIsLocal(c, e, port)) {
            TRACKER_ALERT(0, "Local IP - skipping...");
            continue;
        }
        if (port > 0)
            InternalAddPeer(c.List, c.Filter, e, port);
    }
}

static void InternalReadTraverse(TrackerStruct *t) {
    MetaFileMemberStruct *key = nullptr;
    if (!MetaFile_Find(t->Reply, nullptr, "traverse server", 1, &key) || key == nullptr)
        return;
    MetaFileMemberStruct *value = nullptr;
    MetaFile_GetNextMember(key, &value);
    const char *data = nullptr;
    int length = 0;
    if (value == nullptr || !InternalText(value, &data, &length))
        return;
    // A value too short to hold an address and a port is no server.
    if (length < 6) {
        TRACKER_ALERT(1, "Traverse server value too short (%d bytes)", length);
        return;
    }
    const uint8_t *b = reinterpret_cast<const uint8_t *>(data);
    for (int i = 0; i < 4; i++)
        t->TraverseAddress[i] = b[i];
    t->TraversePort = (b[4] << 8) | b[5];
    t->TraversePresent = 1;
    if (t->TraverseAddress[0] == 0)
        WebGet_GetServerAddress(t->Web, t->TraverseAddress);
    Zyl_Print("Traverse Server set to %d.%d.%d.%d:%d\n", t->TraverseAddress[0],
              t->TraverseAddress[1], t->TraverseAddress[2], t->TraverseAddress[3], t->TraversePort);
}

// One root key of the reply; 0 ends the parse as failed.
static int InternalParseKey(TrackerStruct *t, ParseContext &c, MetaFileMemberStruct *key,
                            MetaFileMemberStruct *value) {
    const char *name = nullptr;
    int nameLength = 0;
    InternalText(key, &name, &nameLength);
    const char *data = nullptr;
    int length = 0;
    InternalText(value, &data, &length);
    int type = 0;
    MetaFile_GetMemberType(value, &type);
    if (Zyl_StrEqualNoCase(name, "failure reason")) {
        Zyl_StrCopy(t->FailureReason, data, sizeof t->FailureReason);
        TRACKER_ALERT(2, "Tracker request failed %d:[%s]", length, t->FailureReason);
        return 0;
    }
    if (Zyl_StrEqualNoCase(name, "warning message")) {
        TRACKER_ALERT(1, "Tracker reported a warning %d:[%s]", length, data);
    } else if (Zyl_StrEqualNoCase(name, "interval")) {
        const int64_t seconds = InternalInteger(value);
        TRACKER_ALERT(0, "Contact interval set to %d seconds", (int)seconds);
        c.IntervalSeen = 1;
        t->Interval =
            seconds < kMinInterval ? kMinInterval : (seconds > 86400 ? 86400 : (int)seconds);
    } else if (Zyl_StrEqualNoCase(name, "traverse server")) {
        // Read before the walk.
    } else if (Zyl_StrEqualNoCase(name, "tracker id")) {
        const int n = length < TRACKER_TEXT_SIZE ? length : TRACKER_TEXT_SIZE;
        for (int i = 0; i < n; i++)
            t->TrackerId[i] = (uint8_t)data[i];
        t->TrackerIdLength = n;
        TRACKER_ALERT(0, "Tracker ID set to (%d)[%s]", n, data);
    } else if (Zyl_StrEqualNoCase(name, "private")) {
        t->Private = InternalInteger(value) >= 1 ? 1 : 0;
    } else if (Zyl_StrEqualNoCase(name, "complete")) {
        TRACKER_ALERT(0, "Number of seed peers [%s]", data);
    } else if (Zyl_StrEqualNoCase(name, "incomplete")) {
        TRACKER_ALERT(0, "Number of leechers peers [%s]", data);
    } else if (Zyl_StrEqualNoCase(name, "peers")) {
        if (type == METAFILE_TYPE_LIST)
            return InternalParseListPeers(t, c, value);
        InternalParseCompactPeers(t, c, value);
    } else {
        TRACKER_ALERT(1, "Unknown tracker field [T:%d] %d:[%s]", type, nameLength, name);
    }
    return 1;
}

int Tracker_ParseReply(TrackerStruct *tracker, const char *buffer, int size) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(buffer);
    TrackerStruct *t = tracker;
    Tracker_InternalMessage(t, "Processing tracker data...");
    ParseContext c = {};
    ManagerStruct *manager = nullptr;
    if (t->Base) {
        Base_GetIPList(t->Base, &c.List);
        Base_GetParent(t->Base, &manager);
    }
    if (manager) {
        Manager_GetIPFilter(manager, &c.Filter);
        Manager_GetBindAddress(manager, c.Bind);
        Manager_GetListenPort(manager, &c.ListenPort);
    }
    if (!MetaFile_LoadBuffer(t->Reply, buffer, size)) {
        TRACKER_ALERT(2, "Unable to get load buffer");
        Zyl_Print("Metafile contents (%d) --\n", size);
        Zyl_PrintHex(1, 1, buffer, size < 4096 ? size : 4096);
        Zyl_Print("\n\n");
        return 0;
    }
    MetaFileMemberStruct *root = nullptr, *key = nullptr;
    int type = 0;
    MetaFile_GetFirstMember(t->Reply, &root);
    if (root)
        MetaFile_GetMemberType(root, &type);
    if (root == nullptr || type != METAFILE_TYPE_DICTIONARY) {
        TRACKER_ALERT(2, "Unexpected first member type [%d]", type);
        return 0;
    }
    if (!MetaFile_GetFirstChild(root, &key) || key == nullptr) {
        TRACKER_ALERT(2, "Unable to get child");
        return 0;
    }
    t->FailureReason[0] = '\0';
    t->TraversePresent = 0;
    InternalReadTraverse(t);
    while (key != nullptr) {
        MetaFileMemberStruct *value = nullptr;
        MetaFile_GetNextMember(key, &value);
        if (value == nullptr) {
            const char *name = nullptr;
            int length = 0;
            InternalText(key, &name, &length);
            TRACKER_ALERT(1, "No content member for [%s]", name);
            break;
        }
        if (!InternalParseKey(t, c, key, value))
            return 0;
        MetaFile_GetNextMember(value, &key);
    }
    // A reply without an interval keeps the one before, or the default.
    if (!c.IntervalSeen)
        t->Interval = t->Interval <= 0 ? kDefaultInterval
                                       : (t->Interval < kMinInterval ? kMinInterval : t->Interval);
    if (c.Count > 0)
        Tracker_InternalMessage(t, "Received %d peer%s.", c.Count, c.Count == 1 ? "" : "s");
    else
        Tracker_InternalMessage(t, "Peer list is empty!");
    return 1;
}

static int InternalBitfieldComplete(TrackerStruct *t) {
    ContentStruct *content = nullptr;
    BitfieldStruct *held = nullptr;
    return t->Base && Base_GetContent(t->Base, &content) && content &&
           Content_GetBitfield(content, &held) && held && Bitfield_IsComplete(held);
}

int Tracker_InternalHandleReply(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    TrackerStruct *t = tracker;
    const char *body = nullptr;
    int64_t size = 0;
    if (!WebGet_GetContent(t->Web, &body, &size) || body == nullptr || size <= 0)
        return 0;
    char params[TRACKER_TEXT_SIZE] = "";
    if (WebGet_GetHeaderValue(t->Web, "X-TrackerParam", params, sizeof params)) {
        Zyl_StrCopy(t->Params, params, sizeof t->Params);
        TRACKER_ALERT(0, "Tracker params set to [%s]", t->Params);
    }
    std::atomic_ref<int>(t->UseFast).store(InternalHasWord(t, "UseFast") ? 1 : 0);
    if (t->Phase != TRACKER_PHASE_STOPPING) {
        const int before = t->Interval;
        if (!Tracker_ParseReply(t, body, (int)size)) {
            Tracker_InternalMessage(t, "Unable to decode tracker data...");
            t->Interval = before < kMinInterval ? kMinInterval : before;
            if (t->FailureReason[0] != '\0') {
                Tracker_InternalMessage(t, "Tracker forced to idle...");
                t->Contacted = 0;
            }
            return 0;
        }
    }
    switch (t->Phase) {
    case TRACKER_PHASE_IDLE:
        Tracker_InternalMessage(t, "Tracker idle...");
        break;
    case TRACKER_PHASE_STARTING:
        t->Contacted = 1;
        InternalSetPhase(t, InternalBitfieldComplete(t) ? TRACKER_PHASE_SEEDING
                                                        : TRACKER_PHASE_LEECHING);
        break;
    case TRACKER_PHASE_COMPLETED:
        InternalSetPhase(t, TRACKER_PHASE_SEEDING);
        break;
    case TRACKER_PHASE_STOPPING:
        Tracker_InternalMessage(t, "Tracker idle...");
        InternalSetPhase(t, TRACKER_PHASE_IDLE);
        t->Contacted = 0;
        break;
    default:
        break;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Tick
// ---------------------------------------------------------------------------

static void InternalExhausted(TrackerStruct *t, double now, const char *line) {
    t->LastContact = now;
    t->Interval = kExhaustedInterval;
    TRACKER_ALERT(2, "%s (%d)", line, t->MaxFailures);
    Tracker_InternalMessage(t, "Unable to contact a valid tracker - retry set to %d minutes.",
                            t->Interval / 60);
}

static void InternalSelect(TrackerStruct *t, double now) {
    if (now - t->LastContact < t->Interval)
        return;
    ContentStruct *content = nullptr;
    URLListStruct *list = nullptr;
    Base_GetContent(t->Base, &content);
    if (content)
        Content_GetTrackerList(content, &list);
    URLListMemberStruct *entry = nullptr;
    if (list) {
        URLList_Dump(list);
        URLList_Select(list, &entry);
    }
    t->Current = entry;
    if (entry == nullptr) {
        InternalExhausted(t, now, "All trackers failed");
        URLListMemberStruct *m = nullptr;
        if (list)
            URLList_GetFirst(list, &m);
        for (; m; URLListMember_GetNext(m, &m))
            URLListMember_SetEnabled(m, 1);
        return;
    }
    int retries = 0;
    URLListMember_GetRetryCount(entry, &retries);
    if (retries > 0) {
        InternalExhausted(t, now, "Exceeded retry count on all trackers");
        URLListMemberStruct *m = nullptr;
        for (URLList_GetFirst(list, &m); m; URLListMember_GetNext(m, &m))
            URLListMember_SetRetryCount(m, 0);
        return;
    }
    Tracker_InternalSetRequestState(t, TRACKER_REQUEST_DUE);
}

// Counts one failed announce; at max failures the walk moves on.
static void InternalCountFailure(TrackerStruct *t, int refused) {
    const char *plural = t->Failures == 1 ? "" : "s";
    if (refused)
        Tracker_InternalMessage(t,
                                "Tracker returned failure (%d time%s) interval changed from %d "
                                "secs to %d secs.",
                                t->Failures, plural, t->Interval, t->RetryInterval);
    else
        Tracker_InternalMessage(t,
                                "Failed to contact tracker (%d time%s) interval changed from %d "
                                "secs to %d secs.",
                                t->Failures, plural, t->Interval, t->RetryInterval);
    t->Failures++;
    t->Interval = t->RetryInterval;
    if (refused)
        TRACKER_ALERT(2, "Tracker returned failure %d (max %d)", t->Failures, t->MaxFailures);
    else
        TRACKER_ALERT(2, "Tracker failure %d (max %d)", t->Failures, t->MaxFailures);
    if (t->Failures < t->MaxFailures || t->Current == nullptr)
        return;
    int retries = 0;
    URLListMember_GetRetryCount(t->Current, &retries);
    Zyl_Print("Hitting tracker list (%d)\n", retries + 1);
    URLListMember_SetRetryCount(t->Current, retries + 1);
    if (refused)
        URLListMember_SetEnabled(t->Current, 0);
    t->Failures = 0;
    InternalSetPhase(t, TRACKER_PHASE_STARTING);
    t->Params[0] = '\0';
}

static void InternalReply(TrackerStruct *t) {
    if (Tracker_InternalHandleReply(t)) {
        t->Failures = 0;
        if (t->Current)
            URLListMember_SetRetryCount(t->Current, 0);
    } else {
        InternalCountFailure(t, 1);
    }
    Tracker_InternalSetRequestState(t, TRACKER_REQUEST_IDLE);
}

int Tracker_Process(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    TrackerStruct *t = tracker;
    if (!MUTEX_LOCK(t->Lock))
        return 0;
    const double now = InternalNow(t);
    if (t->Phase == TRACKER_PHASE_IDLE || t->Base == nullptr) {
        MUTEX_UNLOCK(t->Lock);
        return 1;
    }
    if (t->Phase == TRACKER_PHASE_STOPPING && t->Contacted == 0 &&
        t->RequestState != TRACKER_REQUEST_RUNNING) {
        Tracker_InternalMessage(t, "Never contacted tracker - set to idle...");
        InternalSetPhase(t, TRACKER_PHASE_IDLE);
        Tracker_InternalSetRequestState(t, TRACKER_REQUEST_IDLE);
        MUTEX_UNLOCK(t->Lock);
        return 1;
    }
    if (t->RequestState == TRACKER_REQUEST_IDLE)
        InternalSelect(t, now);
    if (t->RequestState == TRACKER_REQUEST_DUE) {
        Tracker_BuildAnnounce(t, t->Current);
        Tracker_InternalSetRequestState(t, TRACKER_REQUEST_RUNNING);
    }
    if (t->RequestState == TRACKER_REQUEST_RUNNING) {
        int success = 0;
        if (WebGet_Process(t->Web, &success)) {
            MUTEX_UNLOCK(t->Lock);
            return 1;
        }
        if (success) {
            Tracker_InternalSetRequestState(t, TRACKER_REQUEST_READY);
        } else if (t->Phase != TRACKER_PHASE_STOPPING) {
            InternalCountFailure(t, 0);
            Tracker_InternalSetRequestState(t, TRACKER_REQUEST_IDLE);
        } else {
            Tracker_InternalMessage(t, "Tracker forced to idle...");
            InternalSetPhase(t, TRACKER_PHASE_IDLE);
            t->Contacted = 0;
            t->Failures = 0;
            if (t->Current)
                URLListMember_SetRetryCount(t->Current, 0);
            Tracker_InternalSetRequestState(t, TRACKER_REQUEST_IDLE);
        }
    }
    if (t->RequestState == TRACKER_REQUEST_READY)
        InternalReply(t);
    MUTEX_UNLOCK(t->Lock);
    return 1;
}
