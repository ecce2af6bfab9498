// The embedded HTTP/1.1 server: accepts connections on one listener and serves
// each request through the owner's callbacks (head seen, answer, body pieces,
// close, timer). Driven by its own thread or polled by its owner; non-blocking
// sockets, a capped number of connections whose memory is given back when they
// close, bodies produced 4096 bytes a call. Threading rules: docs/webserv.md.
#pragma once

#include "net/socket.h"

#include <cstdint>

struct PoolStruct;
struct EventStruct;
struct pollfd;
struct ThreadStruct;
struct WebServerStruct;
struct WebServerRequestStruct;

enum {
    WEBSERVER_HEAD_SIZE = 4096,  // a request head must end within this many bytes
    WEBSERVER_PIECE_SIZE = 4096, // bytes a body callback is asked for per call
    WEBSERVER_OUT_SIZE = 65536,  // response bytes gathered before one socket write
    // A connection whose response body is longer than WEBSERVER_LARGE_BODY
    // gathers WEBSERVER_LARGE_OUT_SIZE bytes per write instead: large writes
    // keep a big body's cost near that of the copies themselves.
    WEBSERVER_LARGE_OUT_SIZE = 1048576,
    WEBSERVER_LARGE_BODY = 262144,
    WEBSERVER_TOKEN_SIZE = 80, // method and version, with the NUL
    WEBSERVER_URL_SIZE = 1025, // raw URL and query, with the NUL
    WEBSERVER_PATH_SIZE = 320,
    WEBSERVER_HEADER_TEXT_SIZE = 1024, // header name or value, with the NUL
    WEBSERVER_MAX_HEADERS = 100,       // request header lines kept; more answer 400
    WEBSERVER_DATE_SIZE = 80,
    WEBSERVER_DEFAULT_PORT = 80,
    // Seconds without I/O before a connection is closed; also the time a
    // request head has to arrive whole, counted from the moment the connection
    // began waiting for it.
    WEBSERVER_IDLE_TIMEOUT = 60,
    WEBSERVER_MAX_CONNECTIONS = 256, // default cap on open connections
    WEBSERVER_ACCEPT_PAUSE_MS = 500, // no accepting for this long after accept failed
};

// Connection phases.
enum {
    WEBSERVER_PHASE_HEADER = 1,
    WEBSERVER_PHASE_REQUEST_BODY = 2,
    WEBSERVER_PHASE_ANSWER = 3,
    WEBSERVER_PHASE_SEND_HEAD = 4,
    WEBSERVER_PHASE_BODY = 5,
    WEBSERVER_PHASE_FINISH = 6,
};

// Callbacks run on the thread that runs the passes (the server's own thread when
// threaded). Each gets the server, the connection, the user value given with it
// and the connection's user slot, which the owner may set and read.
// Header: the request head has been parsed; 0 closes the connection.
typedef int (*WebServerHeaderCallback)(WebServerStruct *server, WebServerRequestStruct *request,
                                       void *user, void **slot);
// Request: sets the response (WebServer_SetResponseCode, headers); 0 answers 501.
// While the connection is held it runs again on each pass: when the hold ends,
// or sooner when the owner calls WebServer_Wake.
typedef int (*WebServerRequestCallback)(WebServerStruct *server, WebServerRequestStruct *request,
                                        void *user, void **slot);
// Body: writes at most `size` bytes into `buffer`, stores their count in
// *written and sets *done after the last piece. 1 with *written 0 and *done 0
// means "nothing available yet": the connection waits (idle time-out applies
// unless it is held) until the owner calls WebServer_Wake, and is then asked
// again. 0 closes the connection after the bytes of this call.
typedef int (*WebServerBodyCallback)(WebServerStruct *server, WebServerRequestStruct *request,
                                     void *user, void **slot, int *done, char *buffer, int size,
                                     int *written);
// Close: the connection ends, or is reset for its next keep-alive request.
typedef void (*WebServerCloseCallback)(WebServerStruct *server, WebServerRequestStruct *request,
                                       void *user, void **slot);
// Timer: at most once per timer interval.
typedef void (*WebServerTimerCallback)(WebServerStruct *server, void *user);
// Request-body sink: gets the request's body bytes as they arrive; 0 stops
// reading them (the request is then answered).
typedef int (*WebServerBodySink)(WebServerStruct *server, WebServerRequestStruct *request,
                                 void *user, const char *data, int length);
// Clock of time-outs, holds and the timer (seconds); tests install their own.
typedef double (*WebServerClock)(void);

// A header line, pooled; names compare without regard to case.
struct WebServerHeaderRecord {
    WebServerHeaderRecord *Next;
    char Name[WEBSERVER_HEADER_TEXT_SIZE];
    char Value[WEBSERVER_HEADER_TEXT_SIZE];
};

// One accepted connection and the request it is serving. Owned by the server;
// callbacks read it through the WebServer_Get* functions.
struct WebServerRequestStruct {
    const char *Tag;
    WebServerRequestStruct *Previous;
    WebServerRequestStruct *Next;
    // Request bytes: In[0..InCount) received and not yet consumed.
    char In[WEBSERVER_HEAD_SIZE];
    int InCount;
    int HeadLength; // bytes of the parsed head (with its empty line), 0 until complete
    // Response bytes: Out[OutPosition..OutCount) still to send. Out holds
    // OutSize bytes (WEBSERVER_OUT_SIZE or WEBSERVER_LARGE_OUT_SIZE) from the
    // answer until the response is sent; null (OutSize 0) otherwise.
    char *Out;
    int OutSize;
    int OutPosition;
    int OutCount;
    char Method[WEBSERVER_TOKEN_SIZE];
    char Version[WEBSERVER_TOKEN_SIZE];
    char URL[WEBSERVER_URL_SIZE];   // raw, without the query
    char Query[WEBSERVER_URL_SIZE]; // after the first '?'
    char Path[WEBSERVER_PATH_SIZE];
    WebServerHeaderRecord *RequestHeaders; // in arrival order
    WebServerHeaderRecord *ResponseHeaders;
    int RequestHeaderCount;
    int ResponseCode; // 0 = not set
    int64_t ResponseLength;
    int64_t ContentLength; // request body bytes announced (POST)
    int64_t BodyReceived;
    int Phase;
    int KeepAlive;
    int Closed;    // 1: closed at the end of this pass
    int NoBody;    // 1: the response has a head only (HEAD)
    int BadHead;   // 1: answered 400 without asking the owner
    int BodyEnded; // 1: the body callback asked to close after its piece
    int RunAgain;  // 1: the pass stopped at its round limit with work left
    SocketStruct *Socket;
    double AcceptTime;   // server time at accept
    double LastActivity; // server time of the last I/O
    double HeadStart;    // server time the connection began waiting for this head
    double HoldUntil;    // server time; no time-out and no answer before it
    void *Slot;          // the owner's value for this connection
};

extern const char WebServerTag[];        // "webserv"
extern const char WebServerRequestTag[]; // "WebServerRequestStruct"

struct WebServerMimeRecord;

// Blocks of one size kept for reuse after their connection is done with them:
// at most Limit, all freed when the last connection closes.
struct WebServerSpareList {
    void *Head; // each block's first bytes link to the next
    int Count;
    int Limit;
    int Size;
};

// Fields marked "field" have no setter: owners write them before activation.
struct WebServerStruct {
    const char *Tag;
    int Verbose;
    int Active;
    int Threaded;    // 1 (default): activation starts the server's thread
    int HeaderDump;  // field: print request and response heads
    int KeepAlive;   // 0: one request per connection (WebServer_SetKeepAlive)
    int ExtraPasses; // field: extra passes per loop of the thread
    ThreadStruct *Thread;
    PoolStruct *MimePool;
    WebServerSpareList Headers;      // header records
    WebServerSpareList Records;      // connection records
    WebServerSpareList Buffers;      // output buffers of WEBSERVER_OUT_SIZE
    WebServerSpareList LargeBuffers; // output buffers of WEBSERVER_LARGE_OUT_SIZE
    EventStruct *StopEvent;
    int WakeFd; // eventfd: stop, or the owner made something ready (WebServer_Wake)
    char DefaultDocument[WEBSERVER_PATH_SIZE]; // "default.htm"
    double ServerTime;                         // clock seconds of this pass
    char DateText[WEBSERVER_DATE_SIZE];        // HTTP date of this pass
    int64_t DateSecond;                        // wall-clock second of DateText
    double TimerLastRun;
    double TimerInterval; // field, seconds, 60
    int MimeCount;
    WebServerMimeRecord *MimeList; // ascending CRC
    WebServerRequestStruct *Connections;
    int ConnectionCount; // written by the passes only; read anywhere (atomic access)
    int ConnectionPeak;
    int MaxConnections; // WEBSERVER_MAX_CONNECTIONS (WebServer_SetMaxConnections)
    WebServerHeaderCallback HeaderCallback;
    void *HeaderUser;
    WebServerRequestCallback RequestCallback;
    void *RequestUser;
    WebServerBodyCallback BodyCallback;
    void *BodyUser;
    WebServerCloseCallback CloseCallback;
    void *CloseUser;
    WebServerTimerCallback TimerCallback;
    void *TimerUser;
    WebServerBodySink BodySink; // field; none: request bodies are discarded
    void *BodySinkUser;
    double StartTime;
    double StopTime;
    double LastSecond;
    // Listen settings in use, compared with the configured ones each pass.
    int ListenInbound;
    uint8_t ListenAddress[4];
    int ListenPort;
    int ListenValid;        // 0: listen again on the next pass
    int Inbound;            // field, 1: listen for connections
    uint8_t BindAddress[4]; // first byte 0 = all interfaces
    int Port;
    SocketStruct *Listener;
    int BoundPort;           // port of the open listener, 0 when none (atomic access)
    double AcceptPauseUntil; // server time; no accepting before it (after a failure)
    struct pollfd *PollSet;  // WebServer_Wait's descriptors: wake, listener, connections
    int PollCapacity;
    int IdleTimeout; // seconds, 60 (WebServer_SetIdleTimeout)
    WebServerClock Clock;
};

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

// A server with the defaults and the built-in MIME table into *server; returns
// 1. 0 (logged, *server null) when its wake eventfd cannot be made.
int WebServer_Create(WebServerStruct **server);
// Deactivates (closing every connection), frees everything, clears *server.
// Accepts null. Returns 1.
int WebServer_Destroy(WebServerStruct **server);
// active 1: starts listening (and the thread when threaded); other values stop
// the thread and close the listener and every connection. Returns 1; 0 when
// the thread cannot be started (the server then stays inactive). A listen
// failure is logged and leaves the server active without a listener.
int WebServer_StartThread(WebServerStruct *server, int active);
// One pass: listen when the settings changed, accept, run every connection,
// the timer. Nothing when inactive. Returns 1.
int WebServer_Process(WebServerStruct *server);
// Sleeps until there is work for a pass: the listener or a connection waiting
// for I/O is ready, WebServer_Wake was called, or the nearest idle time-out,
// head deadline, hold, accept pause or timer is due; at most `ms` (negative: no
// limit but those). Used between passes by the server's thread; owners polling
// the server may use it too. Returns 1 when something became ready or due, 0
// when `ms` ran out first (or the server is inactive).
int WebServer_Wait(WebServerStruct *server, int ms);
// Makes the next (or current) wait return at once, so that a pass runs soon and
// asks held requests and waiting bodies again. Safe from any thread. Returns 1.
int WebServer_Wake(WebServerStruct *server);

// ---------------------------------------------------------------------------
// Settings (plain stores; return 1)
// ---------------------------------------------------------------------------

int WebServer_SetPort(WebServerStruct *server, int port);
int WebServer_SetBindAddress(WebServerStruct *server, const uint8_t address[4]);
// 0 when the text does not fit (320 characters), default left unchanged.
int WebServer_SetDefaultDocument(WebServerStruct *server, const char *document);
int WebServer_SetThreaded(WebServerStruct *server, int threaded);
int WebServer_SetVerbose(WebServerStruct *server, int verbose);
// 1: a request with "Connection: Keep-Alive" keeps its connection.
int WebServer_SetKeepAlive(WebServerStruct *server, int allowed);
int WebServer_SetIdleTimeout(WebServerStruct *server, int seconds);
// Open connections at most (>= 1). When a new one arrives at the cap, the
// connection waiting longest for a request head is closed to make room; when
// every one is busy, the new one is closed at once.
int WebServer_SetMaxConnections(WebServerStruct *server, int count);
// Null restores the tick clock.
int WebServer_SetClock(WebServerStruct *server, WebServerClock clock);
int WebServer_SetHeaderCallback(WebServerStruct *server, void *user,
                                WebServerHeaderCallback callback);
int WebServer_SetRequestCallback(WebServerStruct *server, void *user,
                                 WebServerRequestCallback callback);
int WebServer_SetBodyCallback(WebServerStruct *server, void *user, WebServerBodyCallback callback);
int WebServer_SetCloseCallback(WebServerStruct *server, void *user,
                               WebServerCloseCallback callback);
int WebServer_SetTimerCallback(WebServerStruct *server, void *user,
                               WebServerTimerCallback callback);
// The port the listener was bound to when it opened; 0 (and result 0) when not
// listening. Safe from any thread while the server runs.
int WebServer_GetListenPort(WebServerStruct *server, int *port);
// Connections open now. Safe from any thread. Returns 1.
int WebServer_GetConnectionCount(WebServerStruct *server, int *count);
// Parses `length` bytes as one request head the way a connection would (the
// framing rules included), for checks and fuzzing. Returns 1 when the bytes
// start with a complete, well-formed head; 0 otherwise, with *reason (when
// given) set to a fixed text: "incomplete head", "head larger than 4096 bytes"
// or why the head is malformed. Leaves no memory behind.
int WebServer_ParseRequestHead(WebServerStruct *server, const char *data, int length,
                               const char **reason);

// ---------------------------------------------------------------------------
// Per connection, for the callbacks
// ---------------------------------------------------------------------------

// Each sets *text to the connection's own text (valid until the next request
// on it) and returns 1.
int WebServer_GetRequestURL(WebServerStruct *server, WebServerRequestStruct *request,
                            const char **text);
int WebServer_GetRequestPath(WebServerStruct *server, WebServerRequestStruct *request,
                             const char **text);
int WebServer_GetQuery(WebServerStruct *server, WebServerRequestStruct *request, const char **text);
int WebServer_GetMethod(WebServerStruct *server, WebServerRequestStruct *request,
                        const char **text);
// Server time at accept.
int WebServer_GetConnectionTime(WebServerStruct *server, WebServerRequestStruct *request,
                                double *seconds);
// No idle time-out and no answer or body before now + seconds; 0 releases a hold.
int WebServer_HoldConnection(WebServerStruct *server, WebServerRequestStruct *request,
                             double seconds);
// Copies a request header's value (cut to size); 0 with an empty text when absent.
int WebServer_GetRequestHeader(WebServerStruct *server, WebServerRequestStruct *request,
                               const char *name, char *value, int size);
// Replaces a response header of that name (any case) or appends one; texts are
// cut to 1023 characters. Returns 1.
int WebServer_SetResponseHeader(WebServerStruct *server, WebServerRequestStruct *request,
                                const char *name, const char *value);
// Clears the response headers, stores code and length and sets the standard
// headers (Server, Date, Content-Type, Content-Length, Connection, Pragma).
// A length of 0 turns keep-alive off for this request. Returns 1.
int WebServer_SetResponseCode(WebServerStruct *server, WebServerRequestStruct *request, int code,
                              int64_t length);

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

// The reason text of a status code; "Internal Server Error" (and a log line)
// for codes outside the table.
const char *WebServer_StatusText(int code);
// Type and subtype of the path's extension; 1 when the table has it, else 0
// with "application" / "octet-stream". The texts live as long as the server.
int WebServer_GetMimeType(WebServerStruct *server, const char *path, const char **type,
                          const char **subtype);
// Adds a row (extension up to 9, type up to 39, subtype up to 85 characters;
// longer texts are cut). An extension whose upper-case CRC-32 equals an
// existing row's is a fatal error. Returns 1.
int WebServer_AddMimeType(WebServerStruct *server, const char *extension, const char *type,
                          const char *subtype);
// Formats a time (seconds since 1970) as an HTTP date ("Thu, 09 Dec 2026
// 08:05:03 GMT"). Returns 1.
int WebServer_FormatDate(int64_t seconds, char *buffer, int size);
