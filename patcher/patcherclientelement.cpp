// A download of the download client: the start sequence runs on the client's
// thread without the element's lock, the engine's callbacks on the manager's
// thread, status and switches on the callers' threads. The lock admits its
// holder again, since a state change refreshes the status under it.
#include "patcher/patcherclientelement.h"

#include "core/alert.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "engine/piece.h"
#include "engine/tracker.h"
#include "engine/transfertotals.h"
#include "engine/webbase.h"
#include "patcher/ffsdownloader.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/torrenthelper.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

static const char kTag[] = "patcherclientelement";

enum {
    kCommandSize = 1024,
    kKeySize = 1024,
    kBoolTextSize = 320,
    kStateLogLevel = 1000,
};
// Seconds of downloading after which the average rate is our own division.
constexpr double kAverageAfterSeconds = 4.0;

struct PatcherClientElement {
    const char *Tag;
    PatcherClient *Client; // owner; first argument of the state callback
    ManagerStruct *Manager;
    char Name[PATCHER_CLIENT_TEXT_SIZE];
    char SkinSource[PATCHER_CLIENT_TEXT_SIZE];
    char Metafile[PATCHER_CLIENT_TEXT_SIZE]; // appended to TorrentBase
    char OutputPath[PATCHER_CLIENT_TEXT_SIZE];
    int32_t SaveMetafile;
    int32_t UseCache;
    PatcherClientStateFunc Callback;
    void *UserData;
    std::recursive_mutex Lock; // guards everything below
    double LastTick;           // Zyl_GetTickSeconds, 0 until the first refresh
    double DownloadSeconds;    // time in DOWNLOAD while active
    int Active;                // 0 pauses the download
    PatcherDownloadStatus Status;
    // The engine's download: a reference held until the job is stopped; after
    // that only compared with the manager's list to see when it is freed.
    ManagerMemberStruct *Member;
    ManagerMemberStruct *JobMember; // the reference the job stop drops
    void *Job;                      // the job table's own record
    const PatcherClientJobOperations *JobOperations;
    PatcherClientJobSettings JobSettings;
    std::atomic<int> Removed; // read without the lock by the tracker's callback
    std::atomic<int> Calls;   // engine callbacks running (see gLive)
    int Completed;
    int JobStopped;
    int Scanning; // 1 while the check of existing files runs (without the lock)
    int32_t Switches[PATCHER_SWITCH_COUNT];
    ServerOptions Options;
};

// The launcher's jobs: the torrent helper with its job settings record, which
// lives from the job's start to its stop.
static int PatcherClientElement_InternalHelperStart(const char *commandLine, ManagerStruct *manager,
                                                    const PatcherClientJobSettings *settings,
                                                    void **job, ManagerMemberStruct **member,
                                                    int *error, char *errorName) {
    TorrentHelperJob *record = ZYL_NEW(TorrentHelperJob);
    TorrentHelperJob_SetDefaults(record);
    record->AskForLocation = settings->AskForLocation;
    record->UsePartialExtension = settings->UsePartialExtension;
    record->AddContentFolder = settings->AddContentFolder;
    record->ListenPort = settings->ListenPort;
    Zyl_StrCopy(record->OutputPath, settings->OutputPath, sizeof(record->OutputPath));
    TorrentHelper_ResetPrompt();
    if (TorrentHelper_StartJob(commandLine, manager, record, member) != 1) {
        *error = TorrentHelper_GetError();
        TorrentHelper_GetErrorName(*error, errorName);
        ZYL_FREE(record, sizeof(TorrentHelperJob));
        return 0;
    }
    *job = record;
    return 1;
}

static int PatcherClientElement_InternalHelperStop(void **job, ManagerStruct *manager,
                                                   ManagerMemberStruct **member) {
    TorrentHelperJob *record = static_cast<TorrentHelperJob *>(*job);
    if (record != nullptr) {
        TorrentHelper_StopJob(record, manager, member);
        ZYL_FREE(record, sizeof(TorrentHelperJob));
    }
    *job = nullptr;
    *member = nullptr;
    return 1;
}

const PatcherClientJobOperations PatcherClientElement_HelperJobs = {
    PatcherClientElement_InternalHelperStart, PatcherClientElement_InternalHelperStop};

static std::atomic<const PatcherClientJobOperations *> gJobOperations{
    &PatcherClientElement_HelperJobs};

// The engine calls the element's functions outside the locks that clearing
// them takes, so a call may be under way while the element goes. Elements the
// engine may call are listed here: a call looks its element up under the gate
// and counts itself in, and an element leaves the list, then waits for the
// calls counted in, before it is freed. The gate is held for the look-up only.
static std::mutex gGate;
static std::set<PatcherClientElement *> gLive;

int PatcherClientElement_SetJobOperations(const PatcherClientJobOperations *operations) {
    gJobOperations.store(operations);
    return 1;
}

const PatcherClientJobOperations *PatcherClientElement_GetJobOperations(void) {
    return gJobOperations.load();
}

// ---------------------------------------------------------------------------
// Server options
// ---------------------------------------------------------------------------

int ServerOptions_GetString(char *destination, XmlStruct *document, const char *key, int size) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(document);
    ZYL_CHECK_PTR(key);
    char path[kKeySize];
    Zyl_FormatString(path, sizeof(path), "Application.User.%s", key);
    XmlNodeStruct *node = nullptr;
    if (Xml_FindPath(document, path, &node) != 1 || node == nullptr)
        return 0;
    const char *text = nullptr;
    Xml_GetData(document, node, &text);
    Zyl_StrCopy(destination, text != nullptr ? text : "", size);
    return 1;
}

int ServerOptions_ReadString(char *destination, XmlStruct *document, const char *key, int size) {
    ZYL_CHECK_PTR(destination);
    destination[0] = 0;
    return ServerOptions_GetString(destination, document, key, size);
}

int ServerOptions_GetBool(const char *key, XmlStruct *document, int32_t *value) {
    ZYL_CHECK_PTR(value);
    *value = 0;
    char text[kBoolTextSize];
    if (!ServerOptions_ReadString(text, document, key, sizeof(text)))
        return 0;
    int parsed = 0;
    Zyl_ParseBool(text, &parsed, 0);
    *value = parsed;
    return 1;
}

int ServerOptions_Load(ServerOptions *options, XmlStruct *document) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_PTR(document);
    ServerOptions_SetDefaults(options);
    ServerOptions_ReadString(options->TorrentBase, document, "TorrentBase",
                             sizeof(options->TorrentBase));
    // A switch the document does not name is off.
    ServerOptions_GetBool("AllowBitBase", document, &options->AllowBitBase);
    ServerOptions_GetBool("AllowWebBase", document, &options->AllowWebBase);
    char text[kBoolTextSize];
    int mode = 0;
    if (ServerOptions_ReadString(text, document, "PieceOrder", sizeof(text)) &&
        Piece_ParseOrder(text, &mode) == 1)
        options->PieceOrder = mode;
    int32_t flag = 0;
    if (ServerOptions_GetBool("ReliableSource_Stagger", document, &flag) ||
        ServerOptions_GetBool("ReliableStagger", document, &flag))
        options->ReliableStagger = flag;
    if (ServerOptions_ReadString(text, document, "ReliableSource_ReserveMaxPieces", sizeof(text)) ||
        ServerOptions_ReadString(text, document, "ReliableReserveMaxPieces", sizeof(text))) {
        int64_t count = 0;
        if (Zyl_ParseInt64(text, &count) == 1 && count >= 0 && count <= INT32_MAX)
            options->ReliableReserveMaxPieces = static_cast<int32_t>(count);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int PatcherClientElement_Create(PatcherClientElement **element, const char *name,
                                const char *skinSource, const char *metafile,
                                const char *outputPath, PatcherClient *client,
                                ManagerStruct *manager, PatcherClientStateFunc callback,
                                void *userData, const int32_t *switches, const int32_t *options) {
    ZYL_CHECK_PTR(element);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(skinSource);
    ZYL_CHECK_PTR(metafile);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(client);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(switches);
    ZYL_CHECK_PTR(options);
    *element = nullptr;
    void *memory =
        Zyl_Alloc(static_cast<int64_t>(sizeof(PatcherClientElement)), 1, __FILE__, __LINE__);
    PatcherClientElement *e = new (memory) PatcherClientElement;
    e->Tag = kTag;
    e->Client = client;
    e->Manager = manager;
    Zyl_StrCopy(e->Name, name, sizeof(e->Name));
    Zyl_StrCopy(e->SkinSource, skinSource, sizeof(e->SkinSource));
    Zyl_StrCopy(e->Metafile, metafile, sizeof(e->Metafile));
    Zyl_StrCopy(e->OutputPath, outputPath, sizeof(e->OutputPath));
    e->SaveMetafile = options[PATCHER_ELEMENT_SAVE_METAFILE];
    e->UseCache = options[PATCHER_ELEMENT_USE_CACHE];
    e->Callback = callback;
    e->UserData = userData;
    e->Active = 1;
    PatcherDownloadStatus_Init(&e->Status);
    e->JobOperations = gJobOperations.load();
    e->JobSettings.AskForLocation = options[PATCHER_ELEMENT_JOB_VALUE];
    e->JobSettings.UsePartialExtension = options[PATCHER_ELEMENT_PARTIAL_EXT];
    e->JobSettings.AddContentFolder = options[PATCHER_ELEMENT_ADD_FOLDER];
    Manager_GetListenPort(manager, &e->JobSettings.ListenPort);
    Zyl_StrCopy(e->JobSettings.OutputPath, outputPath, sizeof(e->JobSettings.OutputPath));
    e->Switches[PATCHER_SWITCH_PEER] = switches[PATCHER_SWITCH_PEER];
    e->Switches[PATCHER_SWITCH_WEB] = switches[PATCHER_SWITCH_WEB];
    ServerOptions_SetDefaults(&e->Options);
    *element = e;
    return 1;
}

// The member's download object, with the lock held; null when there is none.
static BaseStruct *PatcherClientElement_InternalBase(PatcherClientElement *e) {
    BaseStruct *base = nullptr;
    if (e->Member != nullptr && !e->JobStopped)
        ManagerMember_GetBase(e->Member, &base);
    return base;
}

// Detaches the engine's callbacks from the element and stops the job once.
// Called with the lock held; the engine calls nothing of the element after it.
static void PatcherClientElement_InternalStopTransfer(PatcherClientElement *e) {
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr)
        return;
    TrackerStruct *tracker = nullptr;
    if (Base_GetTracker(base, &tracker) == 1 && tracker != nullptr)
        Tracker_SetMessageCallback(tracker, nullptr, nullptr);
    Base_SetStatusCallback(base, nullptr, nullptr);
    e->JobStopped = 1;
    if (e->JobOperations != nullptr)
        e->JobOperations->Stop(&e->Job, e->Manager, &e->JobMember);
}

int PatcherClientElement_Destroy(PatcherClientElement **element) {
    ZYL_CHECK_PTR(element);
    PatcherClientElement *e = *element;
    if (e == nullptr)
        return 1;
    ZYL_CHECK_TAG(e, kTag);
    {
        // From here on a completion call under way finds the element gone.
        std::lock_guard<std::mutex> gate(gGate);
        gLive.erase(e);
    }
    while (e->Calls.load() > 0)
        Thread_Sleep(1);
    {
        std::lock_guard<std::recursive_mutex> hold(e->Lock);
        PatcherClientElement_InternalStopTransfer(e);
    }
    e->Tag = Zyl_DeadTag;
    e->~PatcherClientElement();
    Zyl_Free(e, static_cast<int64_t>(sizeof(PatcherClientElement)), 1, __FILE__, __LINE__);
    *element = nullptr;
    return 1;
}

// ---------------------------------------------------------------------------
// Status and state
// ---------------------------------------------------------------------------

// Reads the engine's figures into the status (lock held): only while the
// download runs, the element is kept and the engine still has the download.
static void PatcherClientElement_InternalRefresh(PatcherClientElement *e) {
    if (e->Removed.load() || e->Completed)
        return;
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr)
        return;
    PatcherDownloadStatus *s = &e->Status;
    int active = 1;
    if (s->State == PATCHER_DOWNLOAD_STATE_DOWNLOAD)
        Base_GetActive(base, &active);
    s->Active = active;
    TransferTotalsStruct totals = {};
    Base_GetTransferTotals(base, &totals);
    s->BytesIn = static_cast<int64_t>(totals.Received);
    s->BytesOut = static_cast<int64_t>(totals.Sent);
    // The check of existing files writes the content's counters without a lock
    // of its own: they are read again once it has ended.
    ContentStruct *content = nullptr;
    if (!e->Scanning && Base_GetContent(base, &content) == 1 && content != nullptr) {
        Content_GetFileListSize(content, &s->FilesSize);
        Content_GetBytesLeft(content, &s->BytesLeft);
        Content_GetCheckProgress(content, &s->PiecesChecked);
        Content_GetPieceCount(content, &s->PieceCount);
        Content_GetPieceLength(content, &s->PieceLength);
    }
    double current = 0, average = 0, maximum = 0;
    Base_GetIncomingRates(base, &current, &average, &maximum);
    s->CurrentRate = current;
    if (maximum > s->PeakRate)
        s->PeakRate = maximum;
    double now = Zyl_GetTickSeconds();
    if (e->LastTick > 0 && s->State == PATCHER_DOWNLOAD_STATE_DOWNLOAD && s->Active == 1)
        e->DownloadSeconds += now - e->LastTick;
    e->LastTick = now;
    if (e->DownloadSeconds > kAverageAfterSeconds) {
        double own = static_cast<double>(s->BytesIn) / e->DownloadSeconds;
        s->AverageRate = own > average ? own : average;
    }
}

// Moves to state (lock held): one log line and one callback per change; a
// removed element changes nothing.
static void PatcherClientElement_InternalSetState(PatcherClientElement *e, int state) {
    if (e->Status.State == state || e->Removed.load())
        return;
    char from[PATCHER_STATE_NAME_SIZE];
    char to[PATCHER_STATE_NAME_SIZE];
    Patcher_GetDownloadStateName(from, sizeof(from), e->Status.State);
    Patcher_GetDownloadStateName(to, sizeof(to), state);
    Alert_Log(0, kStateLogLevel, "PatcherClient [%s] transition from state [%s] to state [%s]",
              e->Metafile, from, to);
    e->Status.State = state;
    PatcherClientElement_InternalRefresh(e);
    PatcherDownloadStatus copy = e->Status;
    if (state == PATCHER_DOWNLOAD_STATE_DOWNLOAD)
        copy.Active = 1;
    if (e->Callback != nullptr)
        e->Callback(e->Client, e->UserData, e->Name, e->SkinSource, e->Metafile, &copy,
                    &e->Options);
}

static void PatcherClientElement_SetState(PatcherClientElement *e, int state) {
    std::lock_guard<std::recursive_mutex> hold(e->Lock);
    PatcherClientElement_InternalSetState(e, state);
}

int PatcherClientElement_GetStatus(PatcherDownloadStatus *status, PatcherClientElement *element) {
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_TAG(element, kTag);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    if (element->Status.State == PATCHER_DOWNLOAD_STATE_SCAN)
        PatcherClientElement_InternalRefresh(element);
    *status = element->Status;
    return 1;
}

int PatcherClientElement_SetActive(int flag, PatcherClientElement *element) {
    ZYL_CHECK_TAG(element, kTag);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    element->Active = flag;
    BaseStruct *base = PatcherClientElement_InternalBase(element);
    if (base == nullptr)
        return 0;
    Base_SetActive(base, flag);
    return 1;
}

int PatcherClientElement_MarkRemoved(PatcherClientElement *element) {
    ZYL_CHECK_TAG(element, kTag);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    element->Removed.store(1);
    return 1;
}

int PatcherClientElement_IsRemoved(int *removed, PatcherClientElement *element) {
    ZYL_CHECK_PTR(removed);
    ZYL_CHECK_TAG(element, kTag);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    *removed = element->Removed.load();
    return 1;
}

int PatcherClientElement_GetServerOptions(PatcherClientElement *element, ServerOptions *options) {
    ZYL_CHECK_TAG(element, kTag);
    ZYL_CHECK_PTR(options);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    *options = element->Options;
    return 1;
}

int PatcherClientElement_GetJobSettings(PatcherClientElement *element,
                                        PatcherClientJobSettings *settings) {
    ZYL_CHECK_TAG(element, kTag);
    ZYL_CHECK_PTR(settings);
    *settings = element->JobSettings;
    return 1;
}

int PatcherClient_InternalApplySettings(PatcherClientElement *element, const int32_t *switches) {
    ZYL_CHECK_TAG(element, kTag);
    ZYL_CHECK_PTR(switches);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    if (element->Removed.load())
        return 0;
    element->Switches[PATCHER_SWITCH_PEER] = switches[PATCHER_SWITCH_PEER];
    element->Switches[PATCHER_SWITCH_WEB] = switches[PATCHER_SWITCH_WEB];
    BaseStruct *base = PatcherClientElement_InternalBase(element);
    if (base == nullptr)
        return 1;
    // The server decides first: the user's switch only narrows what it allows.
    const ServerOptions *o = &element->Options;
    int peer = o->AllowBitBase == 1 ? switches[PATCHER_SWITCH_PEER] : o->AllowBitBase;
    int web = o->AllowWebBase == 1 ? switches[PATCHER_SWITCH_WEB] : o->AllowWebBase;
    Base_SetPeerEnabled(base, peer);
    Base_SetWebEnabled(base, web);
    Base_SetChunkSelection(base, o->PieceOrder);
    WebBaseStruct *webBase = nullptr;
    if (Base_GetWebBase(base, &webBase) == 1 && webBase != nullptr) {
        WebBase_SetStaggeredRequests(webBase, o->ReliableStagger);
        WebBase_SetReserveMaxPieces(webBase, o->ReliableReserveMaxPieces);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The engine's callbacks
// ---------------------------------------------------------------------------

// The element of an engine call, counted in; null when it is gone.
static PatcherClientElement *PatcherClientElement_InternalEnter(void *context) {
    std::lock_guard<std::mutex> gate(gGate);
    PatcherClientElement *e = static_cast<PatcherClientElement *>(context);
    if (gLive.count(e) == 0)
        return nullptr;
    e->Calls++;
    return e;
}

static void PatcherClientElement_OnDownloadComplete(BaseStruct * /*base*/, void *context) {
    PatcherClientElement *e = PatcherClientElement_InternalEnter(context);
    if (e == nullptr)
        return;
    {
        std::lock_guard<std::recursive_mutex> hold(e->Lock);
        if (!e->Removed.load()) {
            PatcherClientElement_InternalRefresh(e);
            PatcherClientElement_InternalStopTransfer(e);
            e->Completed = 1;
        }
    }
    e->Calls--;
}

// Runs with the tracker's mutex held: it reads only what never changes and the
// atomic removed flag, so it takes no element lock (the stop orders the
// element's lock before the tracker's).
static void PatcherClientElement_OnTrackerMessage(BaseStruct * /*base*/,
                                                  TrackerStruct * /*tracker*/, void *context,
                                                  int /*count*/, const char *text) {
    PatcherClientElement *e = PatcherClientElement_InternalEnter(context);
    if (e == nullptr)
        return;
    if (!e->Removed.load() && text != nullptr && text[0] != 0)
        Patcher_Log(PATCHER_LOG_WARNING, "[%s] \"%s\"", e->Metafile, text);
    e->Calls--;
}

// ---------------------------------------------------------------------------
// Start sequence and tick
// ---------------------------------------------------------------------------

static int PatcherClientElement_InternalStopped(const StopFlag *stop) {
    return stop != nullptr && StopFlag_Test(stop) != 0;
}

// Reads the server options from the SkinSource container.
static int PatcherClientElement_InternalServerOptions(PatcherClientElement *e,
                                                      const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    FFSDownloader *downloader = nullptr;
    FFSDownloader_Create(&downloader);
    FFSDownloader_SetCache(downloader, e->UseCache);
    int usedCache = 0;
    int fetched = FFSDownloader_Fetch(downloader, &usedCache, e->SkinSource, stop);
    if (PatcherClientElement_InternalStopped(stop)) {
        FFSDownloader_Destroy(&downloader);
        return 1;
    }
    if (!fetched) {
        FFSDownloader_Destroy(&downloader);
        Patcher_ReportError(4, "Unable to retrieve server options [%s]", e->SkinSource);
        PatcherClientElement_SetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
        return 0;
    }
    if (usedCache)
        Patcher_Log(PATCHER_LOG_WARNING, "Using cached server options [%s]", e->SkinSource);
    XmlStruct *xml = nullptr;
    FFSDownloader_GetXml(downloader, &xml);
    ServerOptions loaded;
    ServerOptions_Load(&loaded, xml);
    FFSDownloader_Destroy(&downloader);
    std::lock_guard<std::recursive_mutex> hold(e->Lock);
    e->Options = loaded;
    return 1;
}

// Reports a job that did not start.
static void PatcherClientElement_InternalJobFailed(PatcherClientElement *e, int error,
                                                   const char *errorName) {
    Patcher_Log(PATCHER_LOG_WARNING, "Download failed [%s]", errorName);
    if (error == 1003) {
        Patcher_Log(PATCHER_LOG_WARNING, "User has cancelled");
        PatcherClientElement_SetState(e, PATCHER_DOWNLOAD_STATE_CANCELLED);
        return;
    }
    if (error == 1001)
        Patcher_Log(PATCHER_LOG_WARNING, "Attempt to retrieve metafile[%s]", e->Metafile);
    PatcherClientElement_SetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
}

// Binds a started job's download to the element (lock held). 0 when the
// switches could not be applied.
static int PatcherClientElement_InternalBind(PatcherClientElement *e, BaseStruct *base) {
    Base_SetStatusCallback(base, PatcherClientElement_OnDownloadComplete, e);
    Base_SetShapeClass(base, BASE_SHAPE_PEER, "bit", "bit");
    Base_SetShapeClass(base, BASE_SHAPE_WEB, "web", "web");
    int32_t switches[PATCHER_SWITCH_COUNT] = {e->Switches[PATCHER_SWITCH_PEER],
                                              e->Switches[PATCHER_SWITCH_WEB]};
    if (!PatcherClient_InternalApplySettings(e, switches)) {
        Patcher_Log(PATCHER_LOG_WARNING, "PatcherClient_InternalApplySettings failed");
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
        return 0;
    }
    TrackerStruct *tracker = nullptr;
    if (Base_GetTracker(base, &tracker) == 1 && tracker != nullptr)
        Tracker_SetMessageCallback(tracker, e, PatcherClientElement_OnTrackerMessage);
    if (e->SaveMetafile == 1) {
        ContentStruct *content = nullptr;
        MetaFileStruct *doc = nullptr;
        if (Base_GetContent(base, &content) == 1 && content != nullptr &&
            Content_GetMetaFile(content, &doc) == 1 && doc != nullptr)
            MetaFile_Save(doc);
    }
    return 1;
}

// Starts the download job from the metafile address.
static int PatcherClientElement_InternalStartJob(PatcherClientElement *e, const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    char commandLine[kCommandSize];
    PatcherClientJobSettings settings;
    {
        std::lock_guard<std::recursive_mutex> hold(e->Lock);
        Zyl_FormatString(commandLine, sizeof(commandLine), "vexilnm /METAURL %s%s",
                         e->Options.TorrentBase, e->Metafile);
        settings = e->JobSettings;
    }
    int error = 0;
    char errorName[PATCHER_CLIENT_TEXT_SIZE] = "";
    void *job = nullptr;
    ManagerMemberStruct *member = nullptr;
    if (e->JobOperations == nullptr) {
        PatcherClientElement_InternalJobFailed(e, 0, "no download job");
        return 0;
    }
    if (!e->JobOperations->Start(commandLine, e->Manager, &settings, &job, &member, &error,
                                 errorName)) {
        PatcherClientElement_InternalJobFailed(e, error, errorName);
        return 0;
    }
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member, &base);
    {
        std::lock_guard<std::mutex> gate(gGate);
        gLive.insert(e);
    }
    std::lock_guard<std::recursive_mutex> hold(e->Lock);
    e->Job = job;
    e->Member = member;
    e->JobMember = member;
    // The engine's thread starts with the first download.
    Manager_SetActive(e->Manager, 1);
    return PatcherClientElement_InternalBind(e, base);
}

// Checks the files already in place (the disk work runs without the lock).
static int PatcherClientElement_InternalScan(PatcherClientElement *e, const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    ContentStruct *content = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(e->Lock);
        BaseStruct *base = PatcherClientElement_InternalBase(e);
        if (base == nullptr)
            return 1;
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_SCAN);
        Base_GetContent(base, &content);
        e->Scanning = content != nullptr;
    }
    const int scanned = content != nullptr && Content_ScanExisting(content) == 1;
    std::lock_guard<std::recursive_mutex> hold(e->Lock);
    e->Scanning = 0;
    if (!scanned) {
        PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_FAILED);
        Patcher_Log(PATCHER_LOG_WARNING, "Failure in check of existing files");
        return 0;
    }
    return 1;
}

static int PatcherClientElement_InternalGo(PatcherClientElement *e, const StopFlag *stop) {
    if (PatcherClientElement_InternalStopped(stop))
        return 0;
    std::lock_guard<std::recursive_mutex> hold(e->Lock);
    BaseStruct *base = PatcherClientElement_InternalBase(e);
    if (base == nullptr)
        return 1;
    PatcherClientElement_InternalSetState(e, PATCHER_DOWNLOAD_STATE_DOWNLOAD);
    Base_SetActive(base, e->Active);
    return 1;
}

int PatcherClientElement_Start(PatcherClientElement *element, const StopFlag *stop) {
    ZYL_CHECK_TAG(element, kTag);
    {
        std::lock_guard<std::recursive_mutex> hold(element->Lock);
        if (element->Status.State != PATCHER_DOWNLOAD_STATE_INITIALIZE)
            return 1;
    }
    if (!PatcherClientElement_InternalServerOptions(element, stop) ||
        PatcherClientElement_InternalStopped(stop))
        return 0;
    if (!PatcherClientElement_InternalStartJob(element, stop) ||
        PatcherClientElement_InternalStopped(stop))
        return 0;
    if (!PatcherClientElement_InternalScan(element, stop) ||
        PatcherClientElement_InternalStopped(stop))
        return 0;
    return PatcherClientElement_InternalGo(element, stop) &&
           !PatcherClientElement_InternalStopped(stop);
}

int PatcherClientElement_Process(PatcherClientElement *element, const StopFlag * /*stop*/) {
    ZYL_CHECK_TAG(element, kTag);
    std::lock_guard<std::recursive_mutex> hold(element->Lock);
    if (element->Status.State != PATCHER_DOWNLOAD_STATE_DOWNLOAD || element->Removed.load())
        return 1;
    if (!element->Completed && element->Member != nullptr)
        PatcherClientElement_InternalRefresh(element);
    if (element->Completed && element->Member != nullptr &&
        !Manager_IsMember(element->Manager, element->Member))
        element->Member = nullptr;
    if (element->Completed && element->Member == nullptr)
        PatcherClientElement_InternalSetState(element, PATCHER_DOWNLOAD_STATE_COMPLETE);
    return 1;
}
