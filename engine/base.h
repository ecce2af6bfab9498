// One download: the coordinator that owns its content, piece picker, tracker,
// swarm, web sources, IP list and web traffic classes, and ties them to the
// download manager that steps it once per cycle. The job code configures,
// starts and pauses it from its own thread; the base lock serialises that with
// the manager thread's step (docs/manager.md).
#pragma once

#include <cstdint>

#include "core/zyl_formatcheck.h"
#include "engine/transfertotals.h"

struct AssociativeListStruct;
struct BitBaseStruct;
struct ContentStruct;
struct DHTObjectStruct;
struct EventStruct;
struct IPListStruct;
struct ManagerStruct;
struct MutexStruct;
struct PieceStruct;
struct RandomStruct;
struct TrackerStruct;
struct TrafficShapeStruct;
struct WebBaseStruct;
struct BaseStruct;

enum {
    BASE_TEXT_SIZE = 320,
    BASE_CLASS_SIZE = 80,
    BASE_SHAPE_PEER = 1, // the peer-wire traffic class
    BASE_SHAPE_WEB = 2,  // a web source's class, by key
};

// Called for every status line, with the line count.
typedef void (*BaseStatusCallback)(BaseStruct *base, void *user, int count, const char *line);
// Called once when the download completes (on the manager thread, no lock held).
typedef void (*BaseCompletionCallback)(BaseStruct *base, void *user);
// Called by the file list for a completed file.
typedef void (*BaseFileCallback)(BaseStruct *base, void *user, const char *path);

struct BaseStruct {
    const char *Tag;
    int Active; // atomic: written under the lock, read by any thread
    int Verbose;
    MutexStruct *Lock;
    EventStruct *StopEvent;
    RandomStruct *Random;
    DHTObjectStruct *DHTObject; // registered with the manager's node while active
    int Order;                  // piece order mode
    int PeerEnabled;            // atomic
    int WebEnabled;             // atomic
    int Accelerate;
    int CompleteAnnounce;
    double StartTime; // manager clock seconds; 0 = not yet
    double CompletionTime;
    double StopTime;
    int RateLimitSet;
    double DownloadLimit; // bytes per second
    double UploadLimit;
    char StatusLine[BASE_TEXT_SIZE];
    int StatusCount;
    BaseStatusCallback StatusCallback;
    void *StatusUser;
    BaseCompletionCallback CompletionCallback;
    void *CompletionUser;
    BaseFileCallback FileCallback;
    void *FileUser;
    PieceStruct *Picker;
    ManagerStruct *Parent;
    ContentStruct *Content;
    IPListStruct *IPList;
    TrackerStruct *Tracker;
    BitBaseStruct *Swarm;
    WebBaseStruct *Web;
    TrafficShapeStruct *OwnShaper; // null unless the download shapes its own traffic
    // What the sources counted before they last started again (each counts
    // from 0 when it starts), and what the web peers still showed of it then:
    // they drop it at their first step, which clears this. Under the lock.
    TransferTotalsStruct Earlier;
    TransferTotalsStruct WebStale;
    char PeerClass[BASE_CLASS_SIZE];
    AssociativeListStruct *WebClasses; // key -> class
};

// Life. Create: 1 and *base (inactive, no parent). Destroy: pauses, frees
// everything the download owns, clears *base; accepts null.
int Base_Create(BaseStruct **base);
int Base_Destroy(BaseStruct **base);
// Stores the manager and binds the content, picker, swarm, web sources and
// tracker to this download; a second call is fatal ("Parent handle already set").
int Base_SetParent(BaseStruct *base, ManagerStruct *manager);
// 1 starts, anything else pauses (and sets the stop event). 0 when the lock fails.
int Base_SetActive(BaseStruct *base, int active);
int Base_GetActive(BaseStruct *base, int *active);
// The active flag without the lock (for the download's own parts).
int Base_PeekActive(BaseStruct *base);
// The download's lock, for readers of its content and picker outside its step
// (the web stream, on the manager thread). Taken after the member lock; the
// holder calls no locking entry of the download. 1; 0 when it failed.
int Base_Lock(BaseStruct *base);
int Base_Unlock(BaseStruct *base);
// The manager thread's step. Returns 1.
int Base_Process(BaseStruct *base);

// Accessors (no lock).
int Base_GetParent(BaseStruct *base, ManagerStruct **manager);
int Base_GetContent(BaseStruct *base, ContentStruct **content);
int Base_GetIPList(BaseStruct *base, IPListStruct **list);
int Base_GetBitBase(BaseStruct *base, BitBaseStruct **swarm);
int Base_GetWebBase(BaseStruct *base, WebBaseStruct **web);
int Base_GetTracker(BaseStruct *base, TrackerStruct **tracker);
int Base_GetRandom(BaseStruct *base, RandomStruct **random);
int Base_GetPiecePicker(BaseStruct *base, PieceStruct **picker);
int Base_GetStopEvent(BaseStruct *base, EventStruct **event);
int Base_GetCompletionTime(BaseStruct *base, double *seconds);
int Base_GetAccelerate(BaseStruct *base, int *accelerate);
int Base_GetPeerEnabled(BaseStruct *base);
int Base_GetWebEnabled(BaseStruct *base);
int Base_GetChunkSelection(BaseStruct *base);

// Settings.
int Base_SetVerbose(BaseStruct *base);
// 1 allows peer-wire transfer (web sources: Base_SetWebEnabled); 0 forbids it.
int Base_SetPeerEnabled(BaseStruct *base, int value);
int Base_SetWebEnabled(BaseStruct *base, int value);
int Base_SetAccelerate(BaseStruct *base, int value);
int Base_SetRateLimit(BaseStruct *base, double download, double upload);
// Piece order mode 0..5; mode 4 also turns the picker's priority off.
int Base_SetChunkSelection(BaseStruct *base, int mode);
int Base_SetPiecePriority(BaseStruct *base, int value);
int Base_SetSequentialStart(BaseStruct *base, int index);
int Base_SetStatusCallback(BaseStruct *base, BaseCompletionCallback callback, void *user);
int Base_SetStatusLineCallback(BaseStruct *base, BaseStatusCallback callback, void *user);
int Base_SetFileCallback(BaseStruct *base, BaseFileCallback callback, void *user);
// type 1: the peer-wire class; type 2: key -> class in the web class list.
int Base_SetShapeClass(BaseStruct *base, int type, const char *shapeClass, const char *key);
// The shaper's lookup handle of the class for type 1 or 2; 0 and handle 0
// when no class applies.
int Base_GetShapeHandle(BaseStruct *base, int type, const char *key, int direction, int *handle);
int Base_GetOwnTrafficShape(BaseStruct *base, TrafficShapeStruct **shaper);
// Gives the download a shaper of its own (the base owns it from then on).
int Base_SetOwnTrafficShape(BaseStruct *base, TrafficShapeStruct *shaper);

// Queries over the swarm and the web sources.
// Since the sources last started (a pause and resume counts from 0 again).
int Base_GetTransferTotals(BaseStruct *base, TransferTotalsStruct *totals);
// Everything the download moved since it was created, across pauses and
// restarts of its sources; under the lock, so it waits for a running step.
// 0 when the lock fails.
int Base_GetDownloadTotals(BaseStruct *base, TransferTotalsStruct *totals);
int Base_GetConnectionCounts(BaseStruct *base, int64_t *incoming, int64_t *outgoing);
int Base_GetIncomingRates(BaseStruct *base, double *current, double *average, double *maximum);
int Base_GetOutgoingRates(BaseStruct *base, double *current, double *average, double *maximum);
int Base_GetPieceFrequency(BaseStruct *base, uint8_t *table, int count);
int Base_GetAllFilesActive(BaseStruct *base, int *all);
int Base_AllFilesCompleted(BaseStruct *base, int *all);

// Status lines: formatted (319 characters), counted, logged when verbose and
// passed to the status-line callback.
int Base_Log(BaseStruct *base, const char *format, ...);
#define Base_Log(base, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Base_Log)(base, __VA_ARGS__))
// Passes a completed file's path to the file callback.
int Base_NotifyFile(BaseStruct *base, const char *path);
int Base_PrintStatistics(BaseStruct *base);
int Base_PrintPeerStatus(BaseStruct *base);
