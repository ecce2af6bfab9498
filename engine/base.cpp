// The download object: life and wiring of a download's parts, start and pause,
// the manager thread's per-cycle step with the completion report, settings,
// queries over the swarm and the web sources, and the status lines.
#include "engine/base.h"

#include <atomic>
#include <cstdarg>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/mutex.h"
#include "core/random.h"
#include "core/zyl.h"
#include "engine/assoclist.h"
#include "engine/content.h"
#include "engine/dht.h"
#include "engine/filelist.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/piece.h"
#include "engine/swarm.h"
#include "engine/tracker.h"
#include "engine/trafficshape.h"
#include "engine/webbase.h"

static const char kBaseTag[] = "BaseStruct";
enum { kDurationFlags = 3068, kShortName = 10 };

static int InternalLoad(const int &field) {
    return std::atomic_ref<int>(const_cast<int &>(field)).load(std::memory_order_relaxed);
}
static void InternalStore(int &field, int value) {
    std::atomic_ref<int>(field).store(value, std::memory_order_relaxed);
}

static double InternalNow(BaseStruct *base) {
    return base->Parent ? Manager_Now(base->Parent) : Zyl_GetTickSeconds();
}

// The picker counts sources per piece through the download.
static void InternalFillFrequency(void *user, uint8_t *counts, int pieceCount) {
    Base_GetPieceFrequency(static_cast<BaseStruct *>(user), counts, pieceCount);
}

// Pieces a web source fetches are not given to the priority list.
static int InternalWebFetching(void *user, int index) {
    return WebBase_IsFetching(static_cast<BaseStruct *>(user)->Web, index);
}

static void InternalInit(BaseStruct *b) {
    b->Order = PIECE_ORDER_SCARCITY;
    b->PeerEnabled = 1;
    b->WebEnabled = 1;
    b->Accelerate = 1;
    b->CompleteAnnounce = 1;
    Mutex_Create(&b->Lock);
    Event_Create(&b->StopEvent);
    Zyl_StrCopy(b->StatusLine, "Initialized", sizeof b->StatusLine);
    IPList_Create(&b->IPList);
    AssociativeList_Create(&b->WebClasses);
    BitBase_Create(&b->Swarm);
    WebBase_Create(&b->Web);
    Piece_Create(&b->Picker);
    Random_Create(&b->Random); // seeded from the kernel
    Piece_SetRandom(b->Picker, b->Random);
    Tracker_Create(&b->Tracker);
    Content_Create(&b->Content);
    Content_SetStopEvent(b->Content, b->StopEvent);
}

int Base_Create(BaseStruct **base) {
    ZYL_CHECK_PTR(base);
    BaseStruct *b = ZYL_NEW(BaseStruct);
    b->Tag = kBaseTag;
    InternalInit(b);
    *base = b;
    return 1;
}

static void InternalDeinit(BaseStruct *b) {
    Base_SetActive(b, 0);
    Tracker_Destroy(&b->Tracker);
    WebBase_Destroy(&b->Web);
    BitBase_Destroy(&b->Swarm);
    IPList_Destroy(&b->IPList);
    TrafficShape_Destroy(&b->OwnShaper);
    AssociativeList_Destroy(&b->WebClasses);
    Piece_Destroy(&b->Picker);
    Random_Destroy(&b->Random);
    // The kick file records what the download holds as it closes.
    Content_SaveAccelerator(b->Content);
    // The manager's cache outlives the download: drop the records of its files.
    FileListStruct *files = nullptr;
    if (Content_GetFileList(b->Content, &files) && files)
        FileList_ReleaseCacheFiles(files);
    Content_Destroy(&b->Content);
    Event_Close(&b->StopEvent);
    Mutex_Close(&b->Lock);
}

int Base_Destroy(BaseStruct **base) {
    ZYL_CHECK_PTR(base);
    BaseStruct *b = *base;
    if (b == nullptr)
        return 1;
    ZYL_CHECK_TAG(b, kBaseTag);
    *base = nullptr;
    InternalDeinit(b);
    b->Tag = Zyl_DeadTag;
    ZYL_FREE(b, sizeof(BaseStruct));
    return 1;
}

int Base_SetParent(BaseStruct *base, ManagerStruct *manager) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(manager);
    if (base->Parent != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    base->Parent = manager;
    Content_SetParent(base->Content, base);
    CacheStruct *cache = nullptr;
    StorageStruct *storage = nullptr;
    Manager_GetCache(manager, &cache);
    Manager_GetStorage(manager, &storage);
    FileListStruct *files = nullptr;
    if (Content_GetFileList(base->Content, &files) && files)
        FileList_SetStorage(files, cache, storage);
    PieceSourceHooks hooks = {};
    hooks.User = base;
    hooks.FillFrequency = InternalFillFrequency;
    BitBase_FillSourceHooks(&hooks);
    hooks.WebFetching = InternalWebFetching;
    Piece_SetParent(base->Picker, base->Content, &hooks);
    BitBase_SetParent(base->Swarm, base);
    WebBase_SetParent(base->Web, base);
    Tracker_SetBase(base->Tracker, base);
    return 1;
}

// ---------------------------------------------------------------------------
// Start and pause
// ---------------------------------------------------------------------------

static void InternalFlushFiles(BaseStruct *b, int printStatistics) {
    FileListStruct *files = nullptr;
    if (!Content_GetFileList(b->Content, &files) || files == nullptr)
        return;
    FileList_FlushAll(files);
    if (printStatistics)
        FileList_PrintCacheStatistics(files);
}

static void InternalPause(BaseStruct *b) {
    DHTStruct *dht = nullptr;
    if (b->Parent && Manager_GetDHT(b->Parent, &dht) && dht && b->DHTObject)
        DHT_RemoveObject(&b->DHTObject, dht);
    b->StopTime = InternalNow(b);
    Base_PrintStatistics(b);
    InternalFlushFiles(b, 1);
    WebBase_SetActive(b->Web, 0);
}

// Starts (1) or stops the web sources; caller holds the lock. Starting them
// makes them count from 0: what they counted joins the earlier totals, and
// what their peers still show until their first step is set aside.
static void InternalStartWeb(BaseStruct *b, int on) {
    int was = 0;
    WebBase_GetActive(b->Web, &was);
    const int starting = on == 1 && was == 0;
    TransferTotalsStruct before = {};
    if (starting)
        WebBase_GetTransferTotals(b->Web, &before);
    WebBase_SetActive(b->Web, on);
    if (starting) {
        TransferTotals_Add(&b->Earlier, before);
        WebBase_GetTransferTotals(b->Web, &b->WebStale);
    }
}

static void InternalStart(BaseStruct *b) {
    Event_Set(b->StopEvent, 0);
    b->StartTime = InternalNow(b);
    b->CompletionTime = 0;
    b->StopTime = 0;
    DHTStruct *dht = nullptr;
    // A private content is announced to its trackers only.
    if (b->Parent && Manager_GetDHT(b->Parent, &dht) && dht && b->DHTObject == nullptr &&
        !Content_GetPrivate(b->Content) && DHT_AddObject(dht, &b->DHTObject)) {
        uint8_t hash[20];
        Content_GetInfoHash(b->Content, hash);
        DHT_SetObjectInfoHash(b->DHTObject, hash);
        DHT_SetObjectBase(b->DHTObject, b);
        DHT_FindPeers(b->DHTObject, dht);
        DHT_ReleaseObject(dht, b->DHTObject);
    }
    InternalStartWeb(b, InternalLoad(b->WebEnabled));
}

int Base_SetActive(BaseStruct *base, int active) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    const int want = active == 1 ? 1 : 0;
    if (want == 0)
        Event_Set(base->StopEvent, 1);
    if (want != InternalLoad(base->Active)) {
        InternalStore(base->Active, want);
        if (want)
            InternalStart(base);
        else
            InternalPause(base);
        BitBase_ApplyState(base->Swarm);
        Tracker_SetActive(base->Tracker, want);
    }
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_GetActive(BaseStruct *base, int *active) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(active);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    *active = InternalLoad(base->Active);
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_PeekActive(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    return InternalLoad(base->Active);
}

int Base_Lock(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    return MUTEX_LOCK(base->Lock);
}

int Base_Unlock(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    return MUTEX_UNLOCK(base->Lock);
}

// ---------------------------------------------------------------------------
// The per-cycle step
// ---------------------------------------------------------------------------

// "TrafficShape efficiency" line: the peer class, then each web class.
static void InternalShaperLine(BaseStruct *b, uint64_t read) {
    TrafficShapeStruct *shaper = b->OwnShaper;
    if (shaper == nullptr && b->Parent)
        Manager_GetTrafficShape(b->Parent, &shaper);
    if (shaper == nullptr)
        return;
    const double total = read > 0 ? (double)read : 1.0;
    char line[BASE_TEXT_SIZE];
    int handle = 0;
    int64_t allowed = 0, requested = 0;
    Base_GetShapeHandle(b, BASE_SHAPE_PEER, "", TRAFFICSHAPE_INCOMING, &handle);
    if (handle > 0)
        TrafficShape_GetLookupCounters(shaper, handle, &allowed, &requested);
    Zyl_FormatString(line, sizeof line, "TrafficShape efficiency - bitpeer(%I64d/%I64d %.2f)",
                     allowed, requested, 100.0 * (double)allowed / total);
    AssociativeListMemberStruct *entry = nullptr;
    for (int more = AssociativeList_GetFirst(b->WebClasses, &entry); more;
         more = AssociativeListMember_GetNext(entry, &entry)) {
        char key[ASSOCLIST_TEXT_SIZE], id[ASSOCLIST_TEXT_SIZE];
        AssociativeListMember_Get(entry, key, id);
        allowed = requested = 0;
        handle = 0;
        if (TrafficShape_GetLookupHandleFromID(shaper, TRAFFICSHAPE_INCOMING, id, &handle))
            TrafficShape_GetLookupCounters(shaper, handle, &allowed, &requested);
        char next[BASE_TEXT_SIZE];
        Zyl_FormatString(next, sizeof next, "%s webpeer (ID %s %I64d/%I64d %.2f)", line, id,
                         allowed, requested, 100.0 * (double)allowed / total);
        Zyl_StrCopy(line, next, sizeof line);
    }
    Base_Log(b, "%s", line);
}

// Reports the completion once; 1 when the completion callback is due.
static int InternalComplete(BaseStruct *b) {
    b->CompletionTime = InternalNow(b);
    FileListStruct *files = nullptr;
    Content_GetFileList(b->Content, &files);
    double efficiency = 0;
    int64_t usage = 0;
    if (files)
        FileList_GetCacheTotals(files, &efficiency, &usage);
    TransferTotalsStruct t = {};
    Base_GetTransferTotals(b, &t);
    char session[40];
    Zyl_FormatDuration(b->CompletionTime - b->StartTime, kDurationFlags, session, sizeof session);
    Base_Log(b, "Download completed (session time %s)", session);
    Base_Log(b, "Cache efficiency at %.2f%% / Usage %.1f megs", efficiency,
             (double)usage / 1048576.0);
    if (t.Received > 0) {
        Base_Log(b,
                 "Performance: %I64dk sent / %I64dk read / %I64dk confirmed / %I64dk corrupt / "
                 "%I64dk discarded (Ratio %.2f:1)",
                 (int64_t)(t.Sent / 1024), (int64_t)(t.Received / 1024),
                 (int64_t)(t.Confirmed / 1024), (int64_t)(t.Corrupt / 1024),
                 (int64_t)(t.Discarded / 1024), (double)t.Sent / (double)t.Received);
        InternalShaperLine(b, t.Received);
    }
    int phase = 0;
    if (b->CompleteAnnounce == 1 && Tracker_GetPhase(b->Tracker, &phase) &&
        phase == TRACKER_PHASE_LEECHING)
        Tracker_ResetContactTime(b->Tracker);
    if (files)
        FileList_FlushAll(files);
    Base_Log(b, "Active as pure content source (seed mode).");
    return b->CompletionCallback != nullptr;
}

int Base_Process(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    WebBase_Process(base->Web);
    base->WebStale = TransferTotalsStruct{};
    // The swarm starts in its own step and drops the totals of its closed
    // connections then: they join the earlier totals.
    const int swarmWasActive = BitBase_GetActive(base->Swarm);
    TransferTotalsStruct departed = {};
    if (!swarmWasActive && MUTEX_LOCK(base->Swarm->Mutex)) {
        departed = base->Swarm->Departed;
        MUTEX_UNLOCK(base->Swarm->Mutex);
    }
    BitBase_Process(base->Swarm);
    if (!swarmWasActive && BitBase_GetActive(base->Swarm))
        TransferTotals_Add(&base->Earlier, departed);
    int notify = 0;
    if (InternalLoad(base->Active)) {
        if (base->OwnShaper)
            TrafficShape_Process(base->OwnShaper);
        BitfieldStruct *held = nullptr;
        int pieces = 0;
        Content_GetPieceCount(base->Content, &pieces);
        if (pieces > 0 && base->CompletionTime == 0 && Content_GetBitfield(base->Content, &held) &&
            held && Bitfield_IsComplete(held))
            notify = InternalComplete(base);
    }
    BaseCompletionCallback callback = base->CompletionCallback;
    void *user = base->CompletionUser;
    MUTEX_UNLOCK(base->Lock);
    // Outside the lock: the owner's handler may call back into the download.
    if (notify && callback)
        callback(base, user);
    return 1;
}

// ---------------------------------------------------------------------------
// Accessors
// ---------------------------------------------------------------------------

#define BASE_ACCESSOR(name, type, field)                                                           \
    int Base_Get##name(BaseStruct *base, type **value) {                                           \
        ZYL_CHECK_TAG(base, kBaseTag);                                                             \
        ZYL_CHECK_PTR(value);                                                                      \
        *value = base->field;                                                                      \
        return 1;                                                                                  \
    }

BASE_ACCESSOR(Parent, ManagerStruct, Parent)
BASE_ACCESSOR(Content, ContentStruct, Content)
BASE_ACCESSOR(IPList, IPListStruct, IPList)
BASE_ACCESSOR(BitBase, BitBaseStruct, Swarm)
BASE_ACCESSOR(WebBase, WebBaseStruct, Web)
BASE_ACCESSOR(Tracker, TrackerStruct, Tracker)
BASE_ACCESSOR(Random, RandomStruct, Random)
BASE_ACCESSOR(PiecePicker, PieceStruct, Picker)
BASE_ACCESSOR(StopEvent, EventStruct, StopEvent)

int Base_GetCompletionTime(BaseStruct *base, double *seconds) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = base->CompletionTime;
    return 1;
}

int Base_GetAccelerate(BaseStruct *base, int *accelerate) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(accelerate);
    *accelerate = base->Accelerate;
    return 1;
}

int Base_GetPeerEnabled(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    return InternalLoad(base->PeerEnabled);
}

int Base_GetWebEnabled(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    return InternalLoad(base->WebEnabled);
}

int Base_GetChunkSelection(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    return InternalLoad(base->Order);
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int Base_SetVerbose(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    base->Verbose = 1;
    return 1;
}

int Base_SetPeerEnabled(BaseStruct *base, int value) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    if (value != InternalLoad(base->PeerEnabled)) {
        InternalStore(base->PeerEnabled, value);
        if (InternalLoad(base->Active))
            BitBase_ApplyState(base->Swarm);
    }
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetWebEnabled(BaseStruct *base, int value) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    if (value != InternalLoad(base->WebEnabled)) {
        InternalStore(base->WebEnabled, value);
        if (InternalLoad(base->Active))
            InternalStartWeb(base, value);
    }
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetAccelerate(BaseStruct *base, int value) {
    ZYL_CHECK_TAG(base, kBaseTag);
    base->Accelerate = value;
    return 1;
}

int Base_SetRateLimit(BaseStruct *base, double download, double upload) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    base->RateLimitSet = 1;
    base->DownloadLimit = download;
    base->UploadLimit = upload;
    BitBase_SetRateLimits(base->Swarm, download, upload);
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetChunkSelection(BaseStruct *base, int mode) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    InternalStore(base->Order, mode);
    char name[80];
    Piece_GetOrderName(mode, name);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Base chunk selection set to %s", name);
    if (mode == PIECE_ORDER_SCISSOR)
        Piece_DisablePriority(base->Picker);
    Piece_SetOrder(base->Picker, mode);
    BitBase_ApplyOrder(base->Swarm);
    WebBase_SetChunkSelection(base->Web, mode);
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetPiecePriority(BaseStruct *base, int value) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    if (value)
        Piece_EnablePriority(base->Picker);
    else
        Piece_DisablePriority(base->Picker);
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetSequentialStart(BaseStruct *base, int index) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    Piece_SetSequentialStart(base->Picker, index);
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetStatusCallback(BaseStruct *base, BaseCompletionCallback callback, void *user) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    base->CompletionCallback = callback;
    base->CompletionUser = user;
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_SetStatusLineCallback(BaseStruct *base, BaseStatusCallback callback, void *user) {
    ZYL_CHECK_TAG(base, kBaseTag);
    base->StatusCallback = callback;
    base->StatusUser = user;
    return 1;
}

int Base_SetFileCallback(BaseStruct *base, BaseFileCallback callback, void *user) {
    ZYL_CHECK_TAG(base, kBaseTag);
    base->FileCallback = callback;
    base->FileUser = user;
    return 1;
}

int Base_SetShapeClass(BaseStruct *base, int type, const char *shapeClass, const char *key) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(shapeClass);
    if (type == BASE_SHAPE_PEER) {
        Zyl_StrCopy(base->PeerClass, shapeClass, sizeof base->PeerClass);
        return 1;
    }
    if (type == BASE_SHAPE_WEB) {
        ZYL_CHECK_PTR(key);
        return AssociativeList_Set(shapeClass, key, base->WebClasses);
    }
    return 0;
}

int Base_GetShapeHandle(BaseStruct *base, int type, const char *key, int direction, int *handle) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(handle);
    *handle = 0;
    TrafficShapeStruct *shaper = base->OwnShaper;
    if (shaper == nullptr && base->Parent)
        Manager_GetTrafficShape(base->Parent, &shaper);
    if (shaper == nullptr)
        return 0;
    char shapeClass[ASSOCLIST_TEXT_SIZE];
    if (type == BASE_SHAPE_PEER) {
        Zyl_StrCopy(shapeClass, base->PeerClass, sizeof shapeClass);
    } else if (type == BASE_SHAPE_WEB) {
        if (key == nullptr || !AssociativeList_Get(base->WebClasses, key, shapeClass)) {
            AssociativeListMemberStruct *first = nullptr;
            if (!AssociativeList_GetFirst(base->WebClasses, &first))
                return 0;
            char firstKey[ASSOCLIST_TEXT_SIZE];
            AssociativeListMember_Get(first, firstKey, shapeClass);
        }
    } else {
        return 0;
    }
    return TrafficShape_GetLookupHandleFromID(shaper, (TrafficShapeDirection)direction, shapeClass,
                                              handle);
}

int Base_GetOwnTrafficShape(BaseStruct *base, TrafficShapeStruct **shaper) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(shaper);
    *shaper = base->OwnShaper;
    return base->OwnShaper ? 1 : 0;
}

int Base_SetOwnTrafficShape(BaseStruct *base, TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    if (base->OwnShaper != shaper)
        TrafficShape_Destroy(&base->OwnShaper);
    base->OwnShaper = shaper;
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

int Base_GetTransferTotals(BaseStruct *base, TransferTotalsStruct *totals) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(totals);
    TransferTotalsStruct swarm = {}, web = {};
    BitBase_GetTransferTotals(base->Swarm, &swarm);
    WebBase_GetTransferTotals(base->Web, &web);
    *totals = swarm;
    TransferTotals_Add(totals, web);
    return 1;
}

int Base_GetDownloadTotals(BaseStruct *base, TransferTotalsStruct *totals) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(totals);
    *totals = TransferTotalsStruct{};
    if (!MUTEX_LOCK(base->Lock))
        return 0;
    TransferTotalsStruct now = {};
    Base_GetTransferTotals(base, &now);
    TransferTotals_Subtract(&now, base->WebStale);
    *totals = base->Earlier;
    TransferTotals_Add(totals, now);
    MUTEX_UNLOCK(base->Lock);
    return 1;
}

int Base_GetConnectionCounts(BaseStruct *base, int64_t *incoming, int64_t *outgoing) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(incoming);
    ZYL_CHECK_PTR(outgoing);
    int64_t in1 = 0, out1 = 0, in2 = 0, out2 = 0;
    BitBase_GetConnectionCounts(base->Swarm, &in1, &out1);
    WebBase_GetMemberCount(base->Web, &out2, &in2);
    *incoming = in1 + in2;
    *outgoing = out1 + out2;
    return 1;
}

int Base_GetIncomingRates(BaseStruct *base, double *current, double *average, double *maximum) {
    ZYL_CHECK_TAG(base, kBaseTag);
    double c1 = 0, a1 = 0, m1 = 0, c2 = 0, a2 = 0, m2 = 0;
    BitBase_GetIncomingRates(base->Swarm, &c1, &a1, &m1);
    WebBase_GetIncomingRates(base->Web, &c2, &a2, &m2);
    *current = c1 + c2;
    *average = a1 + a2;
    *maximum = m1 + m2;
    return 1;
}

int Base_GetOutgoingRates(BaseStruct *base, double *current, double *average, double *maximum) {
    ZYL_CHECK_TAG(base, kBaseTag);
    double c1 = 0, a1 = 0, m1 = 0, c2 = 0, a2 = 0, m2 = 0;
    BitBase_GetOutgoingRates(base->Swarm, &c1, &a1, &m1);
    WebBase_GetOutgoingRates(base->Web, &c2, &a2, &m2);
    *current = c1 + c2;
    *average = a1 + a2;
    *maximum = m1 + m2;
    return 1;
}

int Base_GetPieceFrequency(BaseStruct *base, uint8_t *table, int count) {
    ZYL_CHECK_TAG(base, kBaseTag);
    const int swarm = BitBase_AddPieceFrequency(base->Swarm, table, count);
    const int web = WebBase_AddFrequency(base->Web, table, count);
    return swarm && web ? 1 : 0;
}

int Base_GetAllFilesActive(BaseStruct *base, int *all) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(all);
    *all = 0;
    FileListStruct *files = nullptr;
    if (!Content_GetFileList(base->Content, &files) || files == nullptr)
        return 0;
    return FileList_AllActive(files, all);
}

int Base_AllFilesCompleted(BaseStruct *base, int *all) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(all);
    *all = 0;
    FileListStruct *files = nullptr;
    if (!Content_GetFileList(base->Content, &files) || files == nullptr)
        return 0;
    return FileList_AllCompleted(files, all);
}

// ---------------------------------------------------------------------------
// Status lines and statistics
// ---------------------------------------------------------------------------

int(Base_Log)(BaseStruct *base, const char *format, ...) {
    ZYL_CHECK_TAG(base, kBaseTag);
    ZYL_CHECK_PTR(format);
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(base->StatusLine, sizeof base->StatusLine, format, args);
    va_end(args);
    base->StatusCount++;
    if (base->Verbose) {
        char name[kShortName];
        Content_GetSourceFileName(base->Content, name, sizeof name);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%10s: %s", name, base->StatusLine);
    }
    if (base->StatusCallback)
        base->StatusCallback(base, base->StatusUser, base->StatusCount, base->StatusLine);
    return 1;
}

int Base_NotifyFile(BaseStruct *base, const char *path) {
    ZYL_CHECK_TAG(base, kBaseTag);
    if (path != nullptr && base->FileCallback)
        base->FileCallback(base, base->FileUser, path);
    return 1;
}

static void InternalTransferLines(BaseStruct *b, const char *who, const TransferTotalsStruct &t,
                                  double share, double inAvg, double outAvg, double inMax,
                                  double outMax) {
    char label[24];
    Zyl_FormatString(label, sizeof label, "%s Transfer    :", who);
    Base_Log(b,
             "%s %I64dk sent / %I64dk read / %I64dk confirmed / %I64dk corrupt / %I64dk "
             "discarded (%.1f%%)",
             label, (int64_t)(t.Sent / 1024), (int64_t)(t.Received / 1024),
             (int64_t)(t.Confirmed / 1024), (int64_t)(t.Corrupt / 1024),
             (int64_t)(t.Discarded / 1024), share * 100.0);
    Zyl_FormatString(label, sizeof label, "%s Performance :", who);
    Base_Log(b, "%s Overall (In: %.1fk  Out: %.1fk)  Max (In: %.1fk  Out: %.1fk)", label,
             inAvg / 1024, outAvg / 1024, inMax / 1024, outMax / 1024);
}

int Base_PrintStatistics(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    char operational[40];
    Zyl_FormatDuration(InternalNow(base) - base->StartTime, kDurationFlags, operational,
                       sizeof operational);
    Base_Log(base, "Operational         : %s", operational);
    int failed = 0;
    Content_GetFailedCount(base->Content, &failed);
    Base_Log(base, "Hash Failures       : %d", failed);
    TransferTotalsStruct web = {}, peer = {};
    WebBase_GetTransferTotals(base->Web, &web);
    BitBase_GetTransferTotals(base->Swarm, &peer);
    const double both = (double)web.Received + (double)peer.Received;
    const double share = both > 0 ? (double)web.Received / both : 0;
    double c = 0, inAvg = 0, inMax = 0, outAvg = 0, outMax = 0;
    if (web.Received + web.Sent > 0) {
        WebBase_GetIncomingRates(base->Web, &c, &inAvg, &inMax);
        WebBase_GetOutgoingRates(base->Web, &c, &outAvg, &outMax);
        InternalTransferLines(base, "WebPeer", web, share, inAvg, outAvg, inMax, outMax);
    }
    int64_t incoming = 0, outgoing = 0;
    BitBase_GetConnectionCounts(base->Swarm, &incoming, &outgoing);
    if (peer.Received + peer.Sent > 0 || incoming + outgoing > 0) {
        BitBase_GetIncomingRates(base->Swarm, &c, &inAvg, &inMax);
        BitBase_GetOutgoingRates(base->Swarm, &c, &outAvg, &outMax);
        InternalTransferLines(base, "BitPeer", peer, 1.0 - share, inAvg, outAvg, inMax, outMax);
        Base_Log(base, "BitPeer Connections : %I64d incoming / %I64d outgoing", incoming, outgoing);
    }
    return 1;
}

int Base_PrintPeerStatus(BaseStruct *base) {
    ZYL_CHECK_TAG(base, kBaseTag);
    BitBase_PrintStatus(base->Swarm);
    WebBase_PrintStatus(base->Web);
    return 1;
}
