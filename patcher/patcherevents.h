// The patch engine's event queue: engine threads append events (a 32-bit type
// word and the type's fixed record) to a pending buffer under the queue mutex;
// the front end's thread swaps the buffers in PatcherEventQueue_ProcessEvents and
// hands each event to its callback. Also the event records, the front end's
// callback table and the synchronous consent calls made through it.
#pragma once

#include <cstdint>

#include "patcher/patcher_types.h"

struct BufferLogStruct;
struct PatcherClientSettings;
struct PatcherEventQueue;

enum { PATCHER_EVENT_NAME_FIELD = 320, PATCHER_EVENT_TEXT_FIELD = 320, PATCHER_EVENT_SHORT = 80 };

// Status of one package (made by the task or the package controller).
struct PatcherPackageStatus {
    int32_t State; // PATCHER_STATE_*
    char CurrentName[PATCHER_EVENT_SHORT];
    int32_t CurrentVersion;
    char TargetName[PATCHER_EVENT_SHORT];
    int32_t TargetVersion;
    int32_t PackageDescriptorType;
    int32_t PackageType;    // PACKAGE_TYPE_*
    int32_t DownloadActive; // the task's download active flag
    int64_t DownloadFilesSize;
    int64_t DownloadBytesLeft;
    int64_t CheckedBytesLeft; // files size less pieces checked x piece length, not below 0
    int64_t ExpansionDone;
    int64_t ExpansionTotal;
    double PeakRate;
    double AverageRate;
    double CurrentRate;
    int64_t BytesIn;
    int64_t BytesOut;
};

// The record of a STATECHANGE event after the package name.
struct PatcherStateChangeRecord {
    int32_t PackageType; // PACKAGE_TYPE_*
    int32_t NewState;    // PATCHER_STATE_*
    int32_t PreviousState;
    int32_t Zero;
    PatcherPackageStatus Status;
};

// The record of a PACKAGELISTSTATUS event.
struct PatcherPackageListStatusRecord {
    char ListName[PATCHER_EVENT_NAME_FIELD];
    char PackageName[PATCHER_EVENT_NAME_FIELD]; // the list's current package, empty when none
    int32_t ListState;
    int32_t Zero;
    PatcherPackageStatus Status;
};

// The record of a MAINTENANCE event after the package name.
struct PatcherMaintenanceRecord {
    char MaintenanceUrl[PATCHER_EVENT_TEXT_FIELD];
    char AdditionalInfo[PATCHER_EVENT_TEXT_FIELD];
};

// Status of one download (the record of a DOWNLOADSTATUS event after its name).
struct PatcherDownloadStatus {
    int32_t State;  // PATCHER_DOWNLOAD_STATE_*, or 6 when the user cancelled
    int32_t Active; // while downloading the download's active flag, else 1
    int64_t FilesSize;
    int64_t BytesLeft;
    double PeakRate;
    double AverageRate;
    double CurrentRate;
    int64_t BytesIn;
    int64_t BytesOut;
    int32_t PiecesChecked;
    int32_t PieceCount;
    int32_t PieceLength;
    int32_t Reserved;
};

// What the front end is asked before an update starts.
struct PatcherVersionCheckRecord {
    int32_t PackageType;
    char CurrentName[PATCHER_EVENT_SHORT];
    int32_t CurrentVersion;
    char TargetName[PATCHER_EVENT_SHORT];
    int32_t TargetVersion;
};

// What the front end is told before and after an update's commands run.
struct PatcherProcessRequest {
    char OutputPath[PATCHER_EVENT_TEXT_FIELD];
    char CopyPath[PATCHER_EVENT_TEXT_FIELD];
};

// The records travel byte for byte in the event stream and to the front end.
static_assert(sizeof(PatcherPackageStatus) == 264, "package status is 264 bytes");
static_assert(sizeof(PatcherStateChangeRecord) == 280, "state change record is 280 bytes");
static_assert(sizeof(PatcherPackageListStatusRecord) == 912, "list status record is 912 bytes");
static_assert(sizeof(PatcherMaintenanceRecord) == 640, "maintenance record is 640 bytes");
static_assert(sizeof(PatcherDownloadStatus) == 80, "download status is 80 bytes");
static_assert(sizeof(PatcherVersionCheckRecord) == 172, "version check record is 172 bytes");
static_assert(sizeof(PatcherProcessRequest) == 640, "process request is 640 bytes");

// Zero-fills the status and sets state and download-active to 1. Returns 1.
int PatcherPackageStatus_Init(PatcherPackageStatus *status);
// Zero-fills the status and sets state and active to 1. Returns 1.
int PatcherDownloadStatus_Init(PatcherDownloadStatus *status);

// The front end's callbacks. Every name is a NUL-terminated text of at most 319
// characters; results are ignored except for CLIENTSETTINGS.
typedef int (*PatcherLaunchUpdaterFunc)(const char *copyPath, const char *outputPath,
                                        const char *versionFilePath);
typedef int (*PatcherStateChangeFunc)(const char *name, void *userData,
                                      PatcherStateChangeRecord record);
typedef int (*PatcherStatusFunc)(const char *name, void *userData, PatcherPackageStatus status);
typedef int (*PatcherVersionCheckFunc)(const char *name, void *userData, int32_t *targetVersion,
                                       PatcherVersionCheckRecord record);
typedef int (*PatcherAllowRestartFunc)(const char *name, void *userData, int32_t *allow);
typedef int (*PatcherPerformRestartFunc)(void *userData);
typedef int (*PatcherProcessFunc)(const char *name, void *userData, int32_t *hold,
                                  PatcherProcessRequest request);
typedef int (*PatcherLogFunc)(void *userData, const char *stamp, const char *text);
typedef int (*PatcherErrorFunc)(void *userData, int32_t code, const char *stamp, const char *text);
typedef int (*PatcherItemFunc)(void *userData, const void *bytes, int32_t length);
typedef int (*PatcherPackageListStatusFunc)(void *userData, PatcherPackageListStatusRecord record);
typedef int (*PatcherMaintenanceFunc)(const char *name, void *userData,
                                      PatcherMaintenanceRecord record);
typedef int (*PatcherDownloadStatusFunc)(const char *name, void *userData,
                                         PatcherDownloadStatus status);
typedef int (*PatcherClientSettingsFunc)(void *userData, PatcherClientSettings *settings);

// The callback table, empty at creation. Slots are written and the queued and
// consent callbacks called on the front end's thread; CLIENTSETTINGS is called on
// the download client's thread under the client's mutex.
struct PatcherCallbacks {
    void *UserData;
    PatcherLaunchUpdaterFunc LaunchUpdater;
    PatcherStateChangeFunc StateChange;
    PatcherStatusFunc Status;
    PatcherVersionCheckFunc VersionCheck;
    PatcherAllowRestartFunc AllowRestart;
    PatcherPerformRestartFunc PerformRestart;
    PatcherProcessFunc PreProcess;
    PatcherProcessFunc PostProcess;
    PatcherLogFunc Log;
    PatcherErrorFunc Error;
    PatcherItemFunc Item;
    PatcherPackageListStatusFunc PackageListStatus;
    PatcherMaintenanceFunc Maintenance;
    PatcherDownloadStatusFunc DownloadStatus;
    PatcherClientSettingsFunc ClientSettings;
};

// Consent questions (front end's thread): each calls its slot when set and
// returns 1. Name and answer pointer are required (fatal when null).
int PatcherCallbacks_CallVersionCheck(const PatcherCallbacks *callbacks, const char *name,
                                      int32_t *targetVersion,
                                      const PatcherVersionCheckRecord *record);
int PatcherCallbacks_CallAllowRestart(const PatcherCallbacks *callbacks, const char *name,
                                      int32_t *allow);
int PatcherCallbacks_CallPreProcess(const PatcherCallbacks *callbacks, const char *name,
                                    int32_t *hold, const PatcherProcessRequest *request);
int PatcherCallbacks_CallPostProcess(const PatcherCallbacks *callbacks, const char *name,
                                     int32_t *hold, const PatcherProcessRequest *request);
// The download client's settings: the slot's result, 0 when not set.
int PatcherCallbacks_CallClientSettings(const PatcherCallbacks *callbacks,
                                        PatcherClientSettings *settings);

// Work of the queue's owner that runs inside PatcherEventQueue_ProcessEvents on
// the front end's thread; each may be null. ReadOptions runs first, PackageState
// before a STATECHANGE or STATUS reaches its slot (no queue lock held),
// ProcessRequests after the events were delivered.
struct PatcherEventHooks {
    void *Context;
    int (*ReadOptions)(void *context);
    int (*PackageState)(void *context, const char *name, const PatcherPackageStatus *status);
    int (*ProcessRequests)(void *context);
};

// Pending buffers whose capacity exceeds this are dropped by PatcherEventQueue_Trim.
enum {
    PATCHER_EVENT_PENDING_LIMIT = 0x100000,
    PATCHER_EVENT_GROWTH = 2048,     // buffers grow in whole steps of this size
    PATCHER_EVENT_DOUBLING = 0x10000 // from this capacity on a growth doubles the buffer
};

// Creates an empty queue (no buffer memory yet) into *queue. Returns 1.
int PatcherEventQueue_Create(PatcherEventQueue **queue);
// Frees both buffers, the mutex and the queue; clears *queue. Accepts a null
// *queue. No producer or consumer may still use it. Returns 1.
int PatcherEventQueue_Destroy(PatcherEventQueue **queue);
// The callback table (owned by the queue, valid while it lives). Returns 1.
int PatcherEventQueue_GetCallbacks(PatcherEventQueue *queue, PatcherCallbacks **callbacks);
// Empties the nine queued slots STATECHANGE to ERROR, so that no later event
// reaches the front end. Returns 1.
int PatcherEventQueue_ClearCallbacks(PatcherEventQueue *queue);
// Stores the owner's hooks (copied; null clears them). Front end's thread. Returns 1.
int PatcherEventQueue_SetHooks(PatcherEventQueue *queue, const PatcherEventHooks *hooks);
// The buffered log that queued LOG and ERROR lines are written to (null: none;
// owned by the caller, who keeps it alive while the queue lives). Returns 1.
int PatcherEventQueue_SetBufferLog(PatcherEventQueue *queue, BufferLogStruct *log);

// Producers, safe from any thread. Names are copied bounded into zero-filled
// 320-byte fields. Each returns 1.
int PatcherEventQueue_QueuePerformRestart(PatcherEventQueue *queue);
// Then logs "[%s] State change [%s] to [%s]" at level 1 through Patcher_Log.
int PatcherEventQueue_QueueStateChange(PatcherEventQueue *queue, const char *name,
                                       const PatcherStateChangeRecord *record);
int PatcherEventQueue_QueueStatus(PatcherEventQueue *queue, const char *name,
                                  const PatcherPackageStatus *status);
// Prints the message on the Alert log, writes it with a time stamp to the buffered
// log and queues it. A level other than 0 or 1 is reported ("Invalid log message
// found") and queued as nothing.
int PatcherEventQueue_QueueLog(PatcherEventQueue *queue, int level, const char *text);
int PatcherEventQueue_QueueError(PatcherEventQueue *queue, int code, const char *text);
int PatcherEventQueue_QueuePackageListStatus(PatcherEventQueue *queue,
                                             const PatcherPackageListStatusRecord *record);
// Then logs "Maintenance event received [%s,%s,%s]" at level 1 through Patcher_Log.
int PatcherEventQueue_QueueMaintenance(PatcherEventQueue *queue, const char *name,
                                       const PatcherMaintenanceRecord *record);
int PatcherEventQueue_QueueDownloadStatus(PatcherEventQueue *queue, const char *name,
                                          const PatcherDownloadStatus *status);
// An ITEM event: the length word and length bytes (length >= 0, bytes required
// when length > 0). Nothing in the engine queues these; for front-end extensions.
int PatcherEventQueue_QueueItem(PatcherEventQueue *queue, const void *bytes, int32_t length);

// Receivers for Patcher_SetLogCallbacks with the queue as context: route the
// engine's Patcher_Log and Patcher_ReportError lines into the queue.
int PatcherEventQueue_LogReceiver(void *queue, int level, const char *text);
int PatcherEventQueue_ErrorReceiver(void *queue, int code, const char *text);

// Building blocks, with the queue mutex held by the caller (Lock/Unlock, infinite
// wait; Lock returns 1 when it got the mutex). QueueBytes appends count bytes;
// when they do not fit, the pending buffer grows in whole 2048-byte steps to hold
// them and to at least 1.5 times its capacity, twice from 64 KiB on (4096
// needed in an empty buffer: 4096; one byte more: 6144).
int PatcherEventQueue_Lock(PatcherEventQueue *queue);
int PatcherEventQueue_Unlock(PatcherEventQueue *queue);
int PatcherEventQueue_QueueBytes(PatcherEventQueue *queue, const void *bytes, int count);
int PatcherEventQueue_QueueInt(PatcherEventQueue *queue, int32_t value);
int PatcherEventQueue_QueueName(PatcherEventQueue *queue, const char *name);
// Used and capacity bytes of the pending buffer (takes the queue mutex). Returns 1.
int PatcherEventQueue_GetPendingSize(PatcherEventQueue *queue, int *used, int *capacity);

// Consumer, on the front end's thread only: runs ReadOptions, swaps the buffers,
// delivers every event in order to its slot (an empty slot consumes the event
// without a call), empties the dispatch buffer (its memory is kept), runs
// ProcessRequests. A call from inside a callback returns 1 at once. A type the
// stream cannot hold (8, 10 and more) or a cut record is fatal. Returns 1.
int PatcherEventQueue_ProcessEvents(PatcherEventQueue *queue);
// Called by the owner's thread on every pass: when the pending buffer's capacity
// exceeds 1 MiB, reports it on the Alert log and frees it with every event it
// held. Returns 1.
int PatcherEventQueue_Trim(PatcherEventQueue *queue);

// The local time as "%02d/%02d/%04d %02d:%02d" (month, day, year, hour, minute)
// into text (320 bytes). Returns 1.
int Patcher_FormatDate(char *text);
