// Local HTTP streaming of a download's files through the manager's embedded
// server: a request names a file by its path and gets its bytes as far as the
// pieces under them are held, the missing piece asked for first. Runs on the
// manager thread, which polls the server (docs/webstream.md).
#pragma once

#include <cstdint>

struct BaseStruct;
struct BitfieldStruct;
struct FileListMemberStruct;
struct FileListStruct;
struct ManagerMemberStruct;
struct ManagerStruct;
struct PoolStruct;
struct WebServerRequestStruct;
struct WebServerStruct;

enum {
    WEBSTREAM_TEXT_SIZE = 320,
    WEBSTREAM_HOLD_SECONDS = 30, // a request for a file not found is retried this long
    WEBSTREAM_POOL_GROWTH = 25,  // connection records per pool chunk
    WEBSTREAM_FLV_HEADER_SIZE = 13,
};

// One request being served; lives from its head to its connection's close (or
// keep-alive reset). Owned by the stream's pool.
struct ConnectionStruct {
    const char *Tag;
    char ErrorText[WEBSTREAM_TEXT_SIZE]; // when not empty, the whole response body
    char Path[WEBSTREAM_TEXT_SIZE];      // the request path without its '/', URL-decoded
    int64_t Position;                    // file bytes served so far, or the start offset
    int64_t FileLength;
    int PieceLength;
    int64_t FileOffset;          // the file's first byte in the content
    ManagerMemberStruct *Member; // an in-use reference, released at close
    BaseStruct *Base;
    BitfieldStruct *Held; // the content's held pieces
    FileListStruct *Files;
    FileListMemberStruct *File;
    int StartGiven;    // 1: the FLV header goes before the first body bytes
    int BitfieldQuery; // 1: the answer is the held-piece text
    int64_t StartOffset;
    int AskedPiece;     // the piece last put first in the download's queue; -1 none
    char *BitfieldText; // the held-piece answer, made at the first body call
    int BitfieldTextSize;
    int BitfieldTextLength;
};

struct WebStreamStruct {
    const char *Tag;
    int HoldTime;            // seconds, WEBSTREAM_HOLD_SECONDS
    int WebSeedSwitch;       // 1: finding a file also starts its download's web sources
    PoolStruct *Pool;        // ConnectionStruct records
    ManagerStruct *Manager;  // borrowed
    WebServerStruct *Server; // the manager's, borrowed
};

// Life. Create: 1 and *stream (initialised, unbound). Destroy: frees the pool
// and the record, clears *stream; accepts null. Close the server's connections
// first (their records are the pool's).
int WebStream_Create(WebStreamStruct **stream);
int WebStream_Destroy(WebStreamStruct **stream);
// Hold time 30 s and an empty connection pool. Returns 1.
int WebStream_Init(WebStreamStruct *stream);
// Frees the pool (records still in use are reported by it). Returns 1.
int WebStream_Deinit(WebStreamStruct *stream);
// Hold time back to 30 s. Returns 1.
int WebStream_Reset(WebStreamStruct *stream);
// Binds the manager and registers the header, request, body, close and timer
// callbacks with its web server; a second call is fatal ("Parent handle
// already set"). Returns 1.
int WebStream_SetParent(ManagerStruct *manager, WebStreamStruct *stream);
// Seconds a request for a file not found is held and retried (>= 0). Returns 1.
int WebStream_SetHoldTime(WebStreamStruct *stream, int seconds);
// 1: finding a file also activates its download's web sources. Returns 1.
int WebStream_SetWebSeedSwitch(WebStreamStruct *stream, int value);

// Finds the requested path among the active downloads' files (metafile names,
// ASCII case ignored) and fills the record, keeping an in-use reference on the
// download. 1 when found; 0 (record unchanged) otherwise.
int WebStream_FindMember(ConnectionStruct *connection, WebStreamStruct *stream);

// The server's callbacks (user value: the stream; slot: the connection record).
int WebStream_HeaderCallback(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                             void **slot);
int WebStream_HandleRequest(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                            void **slot);
int WebStream_BodyCallback(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                           void **slot, int *done, char *buffer, int size, int *written);
void WebStream_CloseCallback(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                             void **slot);
void WebStream_TimerCallback(WebServerStruct *server, void *user);
