// The tracker client of one download: announces the download over HTTP GET to
// the trackers of its content's tracker list, one step per manager pass, and
// hands the peers of every reply to the download's IP list. Never blocks: the
// HTTP client runs in stepping mode.
#pragma once

#include <cstdint>

#include "core/mutex.h"

struct BaseStruct;
struct MetaFileStruct;
struct URLListMemberStruct;
struct WebGetStruct;
struct TrackerStruct;

enum {
    TRACKER_TEXT_SIZE = 320,
    TRACKER_AGENT_SIZE = 80,
    TRACKER_URL_SIZE = 1024,
};

// Phases.
enum {
    TRACKER_PHASE_IDLE = 0,
    TRACKER_PHASE_STARTING = 1,
    TRACKER_PHASE_LEECHING = 2,
    TRACKER_PHASE_COMPLETED = 3,
    TRACKER_PHASE_SEEDING = 4,
    TRACKER_PHASE_STOPPING = 5,
};

// Request states.
enum {
    TRACKER_REQUEST_IDLE = 0,
    TRACKER_REQUEST_DUE = 1,
    TRACKER_REQUEST_RUNNING = 2,
    TRACKER_REQUEST_READY = 3,
};

// Called for every status message, on the manager thread with the tracker's
// mutex held: (download, tracker, user value, message count, text).
typedef void (*TrackerMessageCallback)(BaseStruct *base, TrackerStruct *tracker, void *user,
                                       int count, const char *text);

struct TrackerStruct {
    const char *Tag;
    int Verbose;
    uint8_t Phase;        // TRACKER_PHASE_*
    uint8_t RequestState; // TRACKER_REQUEST_*
    int Contacted;        // 1 once a reply to "started" was handled
    int Private;          // the reply's "private" flag; kept only
    URLListMemberStruct *Current;
    int ReportPrivateAddress; // 1: announces carry this host's LAN address
    int UseFast;              // the last reply's parameters held "UseFast"
    int Interval;             // seconds between announces
    double LastContact;       // manager clock seconds
    int TraversePresent;
    double HolePunchTime; // the hole-punch service's own value
    uint8_t TraverseAddress[4];
    int TraversePort;
    char Params[TRACKER_TEXT_SIZE]; // "X-TrackerParam": words separated by ','
    char FailureReason[TRACKER_TEXT_SIZE];
    int Failures;
    int MaxFailures;   // 3
    int RetryInterval; // seconds; 30
    char UserAgent[TRACKER_AGENT_SIZE];
    uint8_t TrackerId[TRACKER_TEXT_SIZE];
    int TrackerIdLength;
    char Status[TRACKER_TEXT_SIZE];
    int MessageCount;
    void *CallbackUser;
    TrackerMessageCallback Callback;
    MutexStruct *Lock;
    BaseStruct *Base;               // owning download (borrowed)
    WebGetStruct *Web;              // owned
    MetaFileStruct *Reply;          // owned; reloaded from every reply
    int HoldActive;                 // test hook: 1 reports an announce under way
    char LastURL[TRACKER_URL_SIZE]; // the last announce sent, for logs and tests
};

// A client with the defaults ("Initialized", 3 failures, 30 s retries) into
// *tracker. Returns 1.
int Tracker_Create(TrackerStruct **tracker);
// Frees the record and clears *tracker; 0 when either pointer is null.
int Tracker_Destroy(TrackerStruct **tracker);
// Binds the owning download; a second call is fatal ("Parent handle already set").
int Tracker_SetBase(TrackerStruct *tracker, BaseStruct *base);
int Tracker_SetVerbose(TrackerStruct *tracker);
int Tracker_SetMessageCallback(TrackerStruct *tracker, void *user, TrackerMessageCallback callback);
int Tracker_SetRetryInterval(TrackerStruct *tracker, int seconds);
int Tracker_SetMaxFailures(TrackerStruct *tracker, int count);
// 1 starts announcing (from idle), 0 stops (a "stopped" announce once
// contacted), other values stop. 0 only when the mutex cannot be taken.
int Tracker_SetActive(TrackerStruct *tracker, int active);
// *active = 1 while the phase is not idle (or a test holds it busy).
int Tracker_IsActive(TrackerStruct *tracker, int *active);
int Tracker_GetPhase(TrackerStruct *tracker, int *phase);
// Announces at the next idle tick (the completion of a leeching download).
int Tracker_ResetContactTime(TrackerStruct *tracker);
int Tracker_GetFailureReason(TrackerStruct *tracker, char reason[TRACKER_TEXT_SIZE]);
int Tracker_GetUseFast(TrackerStruct *tracker, int *useFast);
int Tracker_GetReportPrivateAddress(TrackerStruct *tracker, int *report);
int Tracker_HasTraverseServer(TrackerStruct *tracker, int *present);
int Tracker_GetTraverseAddress(TrackerStruct *tracker, uint8_t address[4]);
int Tracker_GetTraversePort(TrackerStruct *tracker, int *port);
int Tracker_SetHolePunchTime(TrackerStruct *tracker, double seconds);
int Tracker_GetHolePunchTime(TrackerStruct *tracker, double *seconds);
// Read-outs for logs and tests: the interval in seconds, the last status
// message and the last announce URL (each copied, TRACKER_URL_SIZE at most).
int Tracker_GetInterval(TrackerStruct *tracker, int *seconds);
int Tracker_GetStatus(TrackerStruct *tracker, char *text, int size);
int Tracker_GetLastURL(TrackerStruct *tracker, char *url, int size);
// One step of the announce machine, on the manager thread. 0 only when the
// mutex cannot be taken.
int Tracker_Process(TrackerStruct *tracker);
// Test hook: 1 makes Tracker_IsActive report busy until it is set back to 0.
int Tracker_SetHoldActive(TrackerStruct *tracker, int hold);

// Internal steps, public for tests; each expects the mutex held.
int Tracker_BuildAnnounce(TrackerStruct *tracker, URLListMemberStruct *entry);
// Parses one reply body: failure reason, interval, tracker id, peers (list and
// compact forms) into the download's IP list. 0 on a refusal or bad body.
int Tracker_ParseReply(TrackerStruct *tracker, const char *buffer, int size);
int Tracker_InternalHandleReply(TrackerStruct *tracker);
int Tracker_InternalMessage(TrackerStruct *tracker, const char *format, ...);
int Tracker_InternalSetRequestState(TrackerStruct *tracker, int state);
// Percent-encodes length bytes: every byte outside A-Z a-z 0-9 - . _ ~ as %XX.
// 0 (buffer emptied) when the result does not fit size.
int Tracker_PercentEncode(const void *data, int length, char *buffer, int size);
