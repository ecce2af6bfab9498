// One download of the download client. The start sequence runs on the client's
// thread without the element's lock, taking it only for fields and state
// changes, so status queries, switches and removal never wait on the network
// or the disk check. The engine's completion and tracker callbacks arrive on
// the manager thread and are cleared before the job stops; one already under
// way when they are cleared is waited for before the element is freed.
#include "patcher/clientelement.h"

#include "core/alert.h"
#include "core/stopflag.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/tracker.h"
#include "engine/transfertotals.h"
#include "patcher/ffsdownloader.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/serveroptions.h"
#include "patcher/torrenthelper.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>

static const char kElementTag[] = "patcherclientelement";

enum { kTextSize = PATCHERCLIENTELEMENT_TEXT_SIZE, kLineSize = 1024 };
// Error code of a settings container that could not be fetched.
enum { kErrorServerOptions = 4 };

struct PatcherClientElement {
    const char *Tag;
    PatcherClient *Client; // owner, first argument of the state callback
    ManagerStruct *Manager;
    char Name[kTextSize];
    char SkinSource[kTextSize];
    char Metafile[kTextSize];
    char OutputPath[kTextSize];
    int32_t SaveMetafile;
    int32_t UseCache;
    int32_t JobValue;
    int32_t UsePartialExtension;
    PatcherClientStateFunc Callback;
    void *UserData;
    double LastTick;        // seconds, 0 until the first refresh
    double DownloadSeconds; // time spent in DOWNLOAD while active
    int32_t Active;
    std::recursive_mutex Lock; // guards everything below
    PatcherDownloadStatus Status;
    // The engine's entry; kept after the job released it, only to learn when
    // the manager has freed it (compared, never used).
    ManagerMemberStruct *Member;
    int Held; // 1 while this element holds a reference on Member
    TorrentHelperJob Job;
    int32_t Removed;
    int32_t Completed;
    int32_t JobStopped;
    int32_t Switches[PATCHER_SWITCH_COUNT];
    ServerOptions Options;
};

// Elements alive, each with the engine callbacks running on it. The engine
// hands its callbacks the element's address, and clearing them does not wait
// for a call that has begun, so each call first finds its element here.
static std::mutex gLiveLock;
static std::condition_variable gCallbackLeft;
static std::unordered_map<const void *, int> gLiveCalls;

// The element a callback's user value names, counted as called; null when it
// is being destroyed.
static PatcherClientElement *PatcherClientElement_InternalEnter(void *user) {
    std::lock_guard<std::mutex> guard(gLiveLock);
    auto found = gLiveCalls.find(user);
    if (found == gLiveCalls.end())
        return nullptr;
    found->second++;
    return static_cast<PatcherClientElement *>(user);
}

static void PatcherClientElement_InternalLeave(PatcherClientElement *e) {
    std::lock_guard<std::mutex> guard(gLiveLock);
    if (--gLiveCalls[e] == 0)
        gCallbackLeft.notify_all();
}

int PatcherClientElement_Create(PatcherClientElement **element, const char *name,
                                const char *skinSource, const char *metafile, PatcherClient *client,
                                PatcherClientStateFunc callback, void *userData,
                                const int32_t *switches, const int32_t *options,
                                ManagerStruct *manager, const char *outputPath) {
    ZYL_CHECK_PTR(element);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(skinSource);
    ZYL_CHECK_PTR(metafile);
    ZYL_CHECK_PTR(client);
    ZYL_CHECK_PTR(switches);
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(outputPath);
    PatcherClientElement *e = ZYL_NEW(PatcherClientElement);
    new (&e->Lock) std::recursive_mutex();
    e->Tag = kElementTag;
    e->Client = client;
    e->Manager = manager;
    Zyl_StrCopy(e->Name, name, kTextSize);
    Zyl_StrCopy(e->SkinSource, skinSource, kTextSize);
    Zyl_StrCopy(e->Metafile, metafile, kTextSize);
    Zyl_StrCopy(e->OutputPath, outputPath, kTextSize);
    e->SaveMetafile = options[PATCHER_ELEMENT_SAVE_METAFILE];
    e->UseCache = options[PATCHER_ELEMENT_USE_CACHE];
    e->JobValue = options[PATCHER_ELEMENT_JOB_VALUE];
    e->UsePartialExtension = options[PATCHER_ELEMENT_PARTIAL_EXT];
    e->Callback = callback;
    e->UserData = userData;
    e->Active = 1;
    PatcherDownloadStatus_Init(&e->Status);
    TorrentHelperJob_SetDefaults(&e->Job);
    int port = 0;
    Manager_GetListenPort(manager, &port);
    e->Job.ListenPort = port;
    Zyl_StrCopy(e->Job.OutputPath, outputPath, TORRENTHELPER_PATH_SIZE);
    e->Job.AskForLocation = e->JobValue;
    e->Job.UsePartialExtension = e->UsePartialExtension;
    // Update tasks read their files straight from the output path; plain
    // downloads of several files get a folder named after the content.
    e->Job.AddContentFolder = options[PATCHER_ELEMENT_ADD_FOLDER];
    e->Switches[PATCHER_SWITCH_PEER] = switches[PATCHER_SWITCH_PEER];
    e->Switches[PATCHER_SWITCH_WEB] = switches[PATCHER_SWITCH_WEB];
    ServerOptions_SetDefaults(&e->Options);
    {
        std::lock_guard<std::mutex> guard(gLiveLock);
        gLiveCalls[e] = 0;
    }
    *element = e;
    return 1;
}

// The download object of the member, or null.
static BaseStruct *PatcherClientElement_InternalBase(PatcherClientElement *e) {
    BaseStruct *base = nullptr;
    if (e->Member != nullptr && e->Held)
        ManagerMember_GetBase(e->Member, &base);
    return base;
}

// The status: the engine's figures for a member still held. Also read while
// the start sequence checks the files on disk: the figures the check moves
// (pieces checked, bytes left) are stored whole by the engine, the others are
// fixed before the check begins.
static void PatcherClientElement_InternalRefresh(PatcherClientElement *e) {
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr || e->Removed || e->Completed)
        return;
    PatcherDownloadStatus *s = &e->Status;
    int active = 1;
    if (s->State == PATCHER_DOWNLOAD_STATE_DOWNLOAD)
        Base_GetActive(base, &active);
    s->Active = active;
    // The download's totals over its whole life: after a pause its sources
    // count from 0 again, and the status keeps counting on.
    TransferTotalsStruct totals = {};
    Base_GetDownloadTotals(base, &totals);
    s->BytesIn = (int64_t)totals.Received;
    s->BytesOut = (int64_t)totals.Sent;
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    int checked = 0, count = 0, length = 0;
    Content_GetFileListSize(content, &s->FilesSize);
    Content_GetBytesLeft(content, &s->BytesLeft);
    Content_GetCheckProgress(content, &checked);
    Content_GetPieceCount(content, &count);
    Content_GetPieceLength(content, &length);
    s->PiecesChecked = checked;
    s->PieceCount = count;
    s->PieceLength = length;
    double current = 0, average = 0, maximum = 0;
    Base_GetIncomingRates(base, &current, &average, &maximum);
    s->CurrentRate = current;
    if (maximum > s->PeakRate)
        s->PeakRate = maximum;
    double now = Zyl_GetTickSeconds();
    if (e->LastTick > 0 && s->State == PATCHER_DOWNLOAD_STATE_DOWNLOAD && active == 1)
        e->DownloadSeconds += now - e->LastTick;
    e->LastTick = now;
    if (e->DownloadSeconds > 4.0) {
        double own = (double)s->BytesIn / e->DownloadSeconds;
        s->AverageRate = own > average ? own : average;
    }
}

// A state change: one log line and one callback, none when unchanged or removed.
static void PatcherClientElement_InternalSetState(PatcherClientElement *e, int state) {
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    if (state == e->Status.State || e->Removed)
        return;
    char from[64], to[64];
    Patcher_GetDownloadStateName(from, sizeof from, e->Status.State);
    Patcher_GetDownloadStateName(to, sizeof to, state);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
              "PatcherClient [%s] transition from state [%s] to state [%s]", e->Metafile, from, to);
    e->Status.State = state;
    PatcherClientElement_InternalRefresh(e);
    PatcherDownloadStatus copy = e->Status;
    if (state == PATCHER_DOWNLOAD_STATE_DOWNLOAD)
        copy.Active = 1;
    if (e->Callback != nullptr)
        e->Callback(e->Client, e->UserData, e->Name, e->SkinSource, e->Metafile, &copy,
                    &e->Options);
}

// Clears the engine's callbacks, then, the first time, stops the job (which
// deactivates the download, applies the autodelete rules and closes it).
static void PatcherClientElement_InternalStopTransfer(PatcherClientElement *e) {
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr)
        return;
    TrackerStruct *tracker = nullptr;
    Base_GetTracker(base, &tracker);
    Tracker_SetMessageCallback(tracker, nullptr, nullptr);
    Base_SetStatusCallback(base, nullptr, nullptr);
    if (!e->JobStopped) {
        ManagerMemberStruct *member = e->Member;
        TorrentHelper_StopJob(&e->Job, e->Manager, &member);
        e->Held = 0;
        e->JobStopped = 1;
    }
}

static void PatcherClientElement_InternalOnComplete(BaseStruct *, void *user) {
    PatcherClientElement *e = PatcherClientElement_InternalEnter(user);
    if (e == nullptr)
        return;
    {
        std::lock_guard<std::recursive_mutex> guard(e->Lock);
        if (!e->Removed) {
            PatcherClientElement_InternalRefresh(e);
            PatcherClientElement_InternalStopTransfer(e);
            e->Completed = 1;
        }
    }
    PatcherClientElement_InternalLeave(e);
}

static void PatcherClientElement_InternalOnTracker(BaseStruct *, TrackerStruct *, void *user, int,
                                                   const char *message) {
    PatcherClientElement *e = PatcherClientElement_InternalEnter(user);
    if (e == nullptr)
        return;
    {
        std::lock_guard<std::recursive_mutex> guard(e->Lock);
        if (!e->Removed && message != nullptr && message[0] != 0)
            Patcher_Log(PATCHER_LOG_WARNING, "[%s] \"%s\"", e->Metafile, message);
    }
    PatcherClientElement_InternalLeave(e);
}

int PatcherClientElement_Destroy(PatcherClientElement **element) {
    ZYL_CHECK_PTR(element);
    PatcherClientElement *e = *element;
    if (e == nullptr)
        return 1;
    ZYL_CHECK_TAG(e, kElementTag);
    PatcherClientElement_InternalStopTransfer(e);
    {
        // Freeze it for a callback that began before the clearing, then wait
        // for every such call to leave.
        std::lock_guard<std::recursive_mutex> guard(e->Lock);
        e->Removed = 1;
    }
    {
        std::unique_lock<std::mutex> live(gLiveLock);
        gCallbackLeft.wait(live, [e] { return gLiveCalls[e] == 0; });
        gLiveCalls.erase(e);
    }
    e->Lock.~recursive_mutex();
    e->Tag = Zyl_DeadTag;
    ZYL_FREE(e, sizeof(PatcherClientElement));
    *element = nullptr;
    return 1;
}

int PatcherClient_InternalApplySettings(PatcherClientElement *e, const int32_t *switches) {
    ZYL_CHECK_TAG(e, kElementTag);
    ZYL_CHECK_PTR(switches);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    if (e->Removed)
        return 0;
    e->Switches[PATCHER_SWITCH_PEER] = switches[PATCHER_SWITCH_PEER];
    e->Switches[PATCHER_SWITCH_WEB] = switches[PATCHER_SWITCH_WEB];
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr)
        return 1;
    int peer = e->Options.AllowBitBase;
    if (peer == 1)
        peer = e->Switches[PATCHER_SWITCH_PEER];
    int web = e->Options.AllowWebBase;
    if (web == 1)
        web = e->Switches[PATCHER_SWITCH_WEB];
    Base_SetPeerEnabled(base, peer);
    Base_SetWebEnabled(base, web);
    Base_SetChunkSelection(base, e->Options.PieceOrder);
    return 1;
}

static int PatcherClientElement_InternalStopped(const StopFlag *stop) {
    return stop != nullptr && StopFlag_Test(stop) == 1;
}

// Step 1: the server options from the SkinSource container.
static int PatcherClientElement_InternalServerOptions(PatcherClientElement *e,
                                                      const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    FFSDownloader *downloader = nullptr;
    FFSDownloader_Create(&downloader);
    FFSDownloader_SetCache(downloader, e->UseCache);
    int usedCache = 0;
    if (!FFSDownloader_Fetch(downloader, &usedCache, e->SkinSource, stop)) {
        FFSDownloader_Destroy(&downloader);
        if (PatcherClientElement_InternalStopped(stop))
            return 1;
        Patcher_ReportError(kErrorServerOptions, "Unable to download server options [%s]",
                            e->SkinSource);
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
        return 0;
    }
    if (usedCache)
        Patcher_Log(PATCHER_LOG_WARNING, "Using the cached server options of [%s]", e->SkinSource);
    XmlStruct *xml = nullptr;
    FFSDownloader_GetXml(downloader, &xml);
    ServerOptions options;
    ServerOptions_Load(&options, xml);
    FFSDownloader_Destroy(&downloader);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    e->Options = options;
    return 1;
}

// Step 2: the download job from the metafile address.
static int PatcherClientElement_InternalStartJob(PatcherClientElement *e, const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    char line[kLineSize];
    TorrentHelperJob job;
    {
        std::lock_guard<std::recursive_mutex> guard(e->Lock);
        Zyl_FormatString(line, kLineSize, "vexilnm /METAURL %s%s", e->Options.TorrentBase,
                         e->Metafile);
        job = e->Job;
    }
    TorrentHelper_ResetPrompt();
    ManagerMemberStruct *member = nullptr;
    if (!TorrentHelper_StartJob(line, e->Manager, &job, &member)) {
        int error = TorrentHelper_GetError();
        char name[320] = "";
        TorrentHelper_GetErrorName(error, name);
        Patcher_Log(PATCHER_LOG_WARNING, "Download failed [%s]", name);
        int state = PATCHER_DOWNLOAD_STATE_FAILED;
        if (error == TORRENTHELPER_ERROR_USERABORT) {
            Patcher_Log(PATCHER_LOG_WARNING, "User has cancelled");
            state = PATCHERCLIENTELEMENT_STATE_CANCELLED;
        } else if (error == TORRENTHELPER_ERROR_INVALIDMETAFILE) {
            Patcher_Log(PATCHER_LOG_WARNING, "Attempt to retrieve metafile[%s]", e->Metafile);
        }
        PatcherClientElement_InternalSetState(e, state);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    e->Job = job;
    e->Member = member;
    e->Held = 1;
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    Base_SetStatusCallback(base, PatcherClientElement_InternalOnComplete, e);
    Manager_SetActive(e->Manager, 1);
    Base_SetShapeClass(base, BASE_SHAPE_PEER, "bit", "bit");
    Base_SetShapeClass(base, BASE_SHAPE_WEB, "web", "web");
    if (!PatcherClient_InternalApplySettings(e, e->Switches)) {
        Patcher_Log(PATCHER_LOG_WARNING, "PatcherClient_InternalApplySettings failed");
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
        return 0;
    }
    TrackerStruct *tracker = nullptr;
    Base_GetTracker(base, &tracker);
    Tracker_SetMessageCallback(tracker, e, PatcherClientElement_InternalOnTracker);
    return 1;
}

// Step 3: the check of the files already on disk.
static int PatcherClientElement_InternalScan(PatcherClientElement *e, const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    BaseStruct *base = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(e->Lock);
        base = PatcherClientElement_InternalBase(e);
    }
    if (base == nullptr)
        return 1;
    PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_SCAN);
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    if (content == nullptr || !Content_ScanExisting(content)) {
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
        Patcher_Log(PATCHER_LOG_WARNING, "Failure in check of existing files");
        return 0;
    }
    return 1;
}

int PatcherClientElement_Start(PatcherClientElement *e, const StopFlag *stop) {
    ZYL_CHECK_TAG(e, kElementTag);
    {
        std::lock_guard<std::recursive_mutex> guard(e->Lock);
        if (e->Status.State != PATCHER_DOWNLOAD_STATE_INITIALIZE)
            return 1;
    }
    if (!PatcherClientElement_InternalServerOptions(e, stop) ||
        PatcherClientElement_InternalStopped(stop) ||
        !PatcherClientElement_InternalStartJob(e, stop) ||
        PatcherClientElement_InternalStopped(stop) || !PatcherClientElement_InternalScan(e, stop) ||
        PatcherClientElement_InternalStopped(stop))
        return 0;
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base != nullptr) {
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_DOWNLOAD);
        Base_SetActive(base, e->Active);
    }
    return 1;
}

int PatcherClientElement_Process(PatcherClientElement *e, const StopFlag *) {
    ZYL_CHECK_TAG(e, kElementTag);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    if (e->Status.State != PATCHER_DOWNLOAD_STATE_DOWNLOAD || e->Removed)
        return 1;
    if (!e->Completed)
        PatcherClientElement_InternalRefresh(e);
    if (e->Completed && e->Member != nullptr && !Manager_IsMember(e->Manager, e->Member))
        e->Member = nullptr;
    if (e->Completed && e->Member == nullptr)
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_COMPLETE);
    return 1;
}

int PatcherClientElement_GetStatus(PatcherDownloadStatus *status, PatcherClientElement *e) {
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_TAG(e, kElementTag);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    if (e->Status.State == PATCHER_DOWNLOAD_STATE_SCAN)
        PatcherClientElement_InternalRefresh(e);
    *status = e->Status;
    return 1;
}

int PatcherClientElement_SetActive(int flag, PatcherClientElement *e) {
    ZYL_CHECK_TAG(e, kElementTag);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    e->Active = flag;
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr)
        return 0;
    Base_SetActive(base, flag);
    return 1;
}

int PatcherClientElement_MarkRemoved(PatcherClientElement *e) {
    ZYL_CHECK_TAG(e, kElementTag);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    e->Removed = 1;
    return 1;
}

int PatcherClientElement_IsRemoved(int *removed, PatcherClientElement *e) {
    ZYL_CHECK_PTR(removed);
    ZYL_CHECK_TAG(e, kElementTag);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    *removed = e->Removed;
    return 1;
}

int PatcherClientElement_GetServerOptions(ServerOptions *options, PatcherClientElement *e) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_TAG(e, kElementTag);
    std::lock_guard<std::recursive_mutex> guard(e->Lock);
    *options = e->Options;
    return 1;
}
