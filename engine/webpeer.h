// A web source of one download: fetches pieces from an HTTP server holding the
// whole content (one byte range of one file per request) with the HTTP client in
// stepping mode, writes the blocks into the content and has each piece verified.
// Created, started, stopped and stepped by the web-seed manager on the manager
// thread. Twins of one source may form a ring and take turns (staggered requests).
#pragma once

#include <cstdint>

#include "core/zyl_formatcheck.h"

struct BaseStruct;
struct ContentStruct;
struct FileListMemberStruct;
struct FileListStruct;
struct ManagerStruct;
struct SliceStruct;
struct TransportStruct;
struct WebBaseStruct;
struct WebGetStruct;

enum {
    WEBPEER_STATE_INACTIVE = 0, // waits for its turn in the ring
    WEBPEER_STATE_STARTUP = 1,  // prepares the HTTP client
    WEBPEER_STATE_CONTACT = 2,  // takes work and issues a request
    WEBPEER_STATE_GOOD = 3,     // pumps the response
    WEBPEER_STATE_SHUTDOWN = 4, // closes the connection
    WEBPEER_STATE_FAILURE = 10, // waits for the retry delay
    WEBPEER_STATE_CLOSE = 11,   // returns its work to the picker
};

enum {
    WEBPEER_TEXT_SIZE = 320,
    WEBPEER_ID_SIZE = 80,
    WEBPEER_NAME_SIZE = 40,
    WEBPEER_REQUEST_URL_SIZE = 512,
    WEBPEER_REDIRECT_URL_SIZE = 1024,
    WEBPEER_CONTACT_FAILURES = 3, // failed requests in a row before the source is given up
    WEBPEER_INTEGRITY_ERRORS = 3, // errors before a corrupt source is given up
};

struct WebPeerStruct {
    const char *Tag;
    int Log;   // 1: lines also go to the Alert log (when the manager's per-peer logging is on)
    int Order; // PIECE_ORDER_*; 0 after a server proves range-less
    int64_t BytesSent;
    int64_t BytesReceived;
    int64_t Delivered;      // content bytes of the current request so far
    int64_t RequestOffset;  // file offset of the current request
    int64_t RequestSize;    // bytes asked for by the current request
    int64_t VerifiedBytes;  // bytes of pieces that passed their check
    int64_t FailedBytes;    // bytes of pieces that failed it
    int64_t DiscardedBytes; // bytes past the range asked for, thrown away
    double StartTime;       // manager clock, seconds
    double LastData;
    int State;
    uint32_t SocketId; // identity of the client's socket in log lines
    int Errors;
    int ContactFailures;
    double RetryDelay;  // seconds; 0 = never retry
    double LastAttempt; // manager clock, seconds
    int FailedPieces;
    int VerifiedPieces;
    char URL[WEBPEER_TEXT_SIZE];
    char URLSuffix[WEBPEER_TEXT_SIZE]; // copied to twins
    char ID[WEBPEER_ID_SIZE];
    char Status[WEBPEER_TEXT_SIZE]; // the last log line
    int LogCount;
    int CurrentPiece;
    int FirstBegin; // begin of the first queued block of the current piece
    int Continued;  // the picker's last continued flag
    SliceStruct *Queue;
    int64_t QueuedLength;
    FileListMemberStruct *CurrentFile; // borrowed; null between files
    uint8_t *Buffer;                   // owned: one piece
    int BufferFill;
    int BufferSize;
    WebGetStruct *Client;       // owned
    ManagerStruct *Manager;     // borrowed
    BaseStruct *Base;           // borrowed
    WebBaseStruct *WebBase;     // borrowed
    ContentStruct *Content;     // borrowed
    FileListStruct *Files;      // borrowed
    TransportStruct *Transport; // owned record over the client's socket (not owning it): rates
    int64_t StreamOffset;       // content offset of the next byte the reply brings
    int64_t FileStart;          // content offset of the requested file
    int64_t BufferBase;         // content offset of the buffer's first byte
    int PieceLength;
    int ReplyStatus; // a refused reply's HTTP status (0 when none)
    int ReplyRanged;
    int IndexPassed; // a whole-file reply went past the piece wanted: ask again // 1 when the reply
                     // holds only the range asked for
    int TwinWoken;
    int RangesSupported;
    WebPeerStruct *NextTwin; // ring link; null outside a ring
};

// Create: 1 and *peer (state Contact, mode 2, status "Initialized"). Destroy
// leaves the ring, frees buffer, transport, client and queue and clears *peer;
// accepts a null *peer. Both return 1.
int WebPeer_Create(WebPeerStruct **peer);
int WebPeer_Destroy(WebPeerStruct **peer);
// Binds the download (its manager, web-seed manager, content and files); a
// second call is fatal ("Parent handle already set").
int WebPeer_SetParent(WebPeerStruct *peer, BaseStruct *base);

// Setters and getters; each returns 1 (texts are cut to their field).
int WebPeer_SetURL(WebPeerStruct *peer, const char *url);
int WebPeer_GetURL(WebPeerStruct *peer, char *url, int size);
int WebPeer_SetURLSuffix(WebPeerStruct *peer, const char *suffix);
int WebPeer_SetID(WebPeerStruct *peer, const char *id);
int WebPeer_GetID(WebPeerStruct *peer, char *id, int size);
int WebPeer_SetOrder(WebPeerStruct *peer, int mode);
int WebPeer_EnableLog(WebPeerStruct *peer);
// Logs "State changed from (%s to %s)"; Close while in a ring retires the peer.
int WebPeer_SetState(WebPeerStruct *peer, int state);
int WebPeer_GetState(WebPeerStruct *peer, int *state);
// The state's name into name (40 bytes): "Inactive" ... "Close", else "Unknown".
int WebPeer_GetStateName(int state, char *name);
int WebPeer_GetQueue(WebPeerStruct *peer, SliceStruct **queue);
int WebPeer_GetTransport(WebPeerStruct *peer, TransportStruct **transport);
// Received, sent, verified bytes, failed bytes and discarded bytes.
int WebPeer_GetTotals(WebPeerStruct *peer, int64_t *received, int64_t *sent, int64_t *verified,
                      int64_t *failed, int64_t *discarded);
// The twin after this peer in its ring (null outside a ring).
int WebPeer_GetNextTwin(WebPeerStruct *peer, WebPeerStruct **twin);

// The tick. Returns 1 (0 when the peer failed or closed during it).
int WebPeer_Process(WebPeerStruct *peer);
// Closes the connection, reports the transfer and enters Failure (only from a
// state below Failure). Returns 1.
int WebPeer_Fail(WebPeerStruct *peer, const char *reason);

// The peer's own log line: kept as the status, counted, and printed when on.
int WebPeer_Log(WebPeerStruct *peer, const char *format, ...);
#define WebPeer_Log(peer, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (WebPeer_Log)(peer, __VA_ARGS__))
