// The HTTP client's record and the functions its files share (record and
// settings, the request and reply head, the phase machine and body). Not for
// other callers: owners see the settings record and the calls of webget.h.
#pragma once

#include "net/webget.h"

struct PoolStruct;

// An extra request header (pooled, listed in order of addition).
struct WebGetHeaderRecord {
    WebGetHeaderRecord *Next;
    char Name[WEBGET_NAME_SIZE];
    char Value[WEBGET_NAME_SIZE];
    int Used; // taken by a standard header while building a request
};

struct WebGetCookieRecord {
    WebGetCookieRecord *Next;
    char Name[WEBGET_NAME_SIZE];
    char Value[1024];
    char Path[WEBGET_NAME_SIZE];
    char Domain[WEBGET_NAME_SIZE]; // empty: sent to every host
    int Secure;                    // secure cookies are never sent
};

// The client's record: the owner's settings and the state of the request under
// way. Only the files of the client touch it (and its own tests, to look).
struct WebGetStruct {
    const char *Tag;
    WebGetSettingsStruct Settings;
    WebGetClock Clock; // null: the monotonic clock

    // --- request state ---
    char URL[WEBGET_URL_SIZE];            // as set
    char CurrentURL[WEBGET_URL_SIZE];     // changed by redirects
    char PreviousURL[WEBGET_URL_SIZE];    // URL of the previous attempt
    char Host[WEBGET_HOST_SIZE];          // lower case, with ":port" when given
    char HostName[WEBGET_HOST_SIZE];      // Host without the port
    char ConnectedHost[WEBGET_HOST_SIZE]; // Host of the open connection
    char BaseURL[WEBGET_URL_SIZE];        // scheme, host and directory, ends with '/'
    char FileName[WEBGET_NAME_SIZE];
    char ProxyURL[WEBGET_URL_SIZE];
    int UseProxy;
    char Credentials[WEBGET_CREDENTIALS_SIZE];      // Base64 of "user:password"
    char ProxyCredentials[WEBGET_CREDENTIALS_SIZE]; // from the proxy URL
    const void *PostData;                           // the caller's buffer, not copied
    int PostLength;
    int64_t RangeStart; // 0 = not set
    int64_t RangeEnd;   // 0 = not set
    int RangeSet;       // 1: the range start-end is sent as it stands (0-0 included)
    char FilePath[WEBGET_NAME_SIZE];

    // --- buffers ---
    char *HeaderBuffer; // request text, then the reply head (NUL-terminated)
    int HeaderSize;
    int HeaderLength;
    char *ReceiveBuffer;
    int ReceiveSize;
    int ReceiveLength;
    char *Content; // in-memory content, NUL-terminated
    int64_t ContentSize;
    int64_t ContentCount; // content bytes delivered
    int64_t RawCount;     // body bytes before decompression
    char *DecompressBuffer;
    int DecompressSize;

    // --- reply ---
    int64_t ContentLength;
    int HasContentLength;
    int Decompressing;
    int Chunked;
    int ChunkState;
    int64_t ChunkLeft;
    int ChunkCount;
    int TrailerBytes; // trailer lines so far, held to WEBGET_TRAILER_LIMIT
    int InterimCount; // interim (1xx) heads so far, held to WEBGET_MAX_INTERIM
    int HeadBytes;    // bytes of the interim heads, counted against WEBGET_HEADER_LIMIT
    int AcceptRanges;
    int Status;
    double ReplyVersion;
    int PeerClosed;
    int BodyComplete;
    int Accepted; // the sink's acceptance flag

    // --- machine ---
    int Phase;
    int PhaseChanged;
    double PhaseStart;
    double PhaseTimes[WEBGET_PHASE_COUNT];
    double Began; // when the request left Queued: the deadline counts from here
    double RequestStart;
    double ConnectStart;
    double LastIO;
    double WindowStart;  // start of the current minimum-rate window
    int64_t WindowBytes; // bytes moved (either way) within it
    double End;
    int Attempt;
    int Redirects;
    int Success;
    int RequestSent; // bytes of the request text written
    int RequestLength;
    int BodySent;   // bytes of the POST body written
    int BodyInline; // 1: the body was copied behind the request text
    int Progressed; // the last step moved bytes
    int Drained;    // the last read of the built-in transport took less than asked
    double NextProgress;
    int ConnectionCount;

    HostAddress Server;
    char ResolvedHost[WEBGET_HOST_SIZE];
    uint8_t LocalAddress[4];
    SocketStruct *Socket;
    SocketSelectStruct *ReadSet;
    SocketSelectStruct *WriteSet;

    PoolStruct *HeaderPool;
    PoolStruct *CookiePool;
    WebGetHeaderRecord *Headers;
    WebGetCookieRecord *Cookies;

    WebGetTransportOps Plain;
    WebGetTransportOps Secure; // Connect null = none installed
    WebGetTransportOps *Transport;
    int UsingSecure;
    WebGetCompressionOps Compression; // Detect null = none installed

    WebGetStartCallback StartCallback;
    void *StartUser;
    WebGetRedirectCallback RedirectCallback;
    void *RedirectUser;
    WebGetAcceptCallback AcceptCallback;
    void *AcceptUser;
    WebGetContentCallback ContentCallback;
    void *ContentUser;
    WebGetHeadersClearedCallback HeadersClearedCallback;
    void *HeadersClearedUser;
};

// Chunk decoder states.
enum {
    WEBGET_CHUNK_SIZE = 0,    // reading a size line
    WEBGET_CHUNK_DATA = 1,    // ChunkLeft bytes of data to deliver
    WEBGET_CHUNK_CRLF = 2,    // the line end after a chunk's data
    WEBGET_CHUNK_TRAILER = 3, // lines after the last chunk, up to an empty one
    WEBGET_CHUNK_DONE = 4,
};

// webget_request.cpp
int WebGet_BuildRequest(WebGetStruct *web);
// Looks for the end of the reply head in the receive buffer (new bytes start at
// `from`); 1 with the head moved to the header buffer.
int WebGet_FindHeaderEnd(WebGetStruct *web, int from);
// Parses the head in the header buffer; 0 on a malformed head (logged).
int WebGet_ParseHeader(WebGetStruct *web);
// After the head: decides redirect, veto or body; sets the next phase.
void WebGet_EvaluateHeader(WebGetStruct *web);
// Host without port, lower case.
void WebGet_HostWithoutPort(const char *host, char *buffer, int size);
// 1 when `host` equals `domain` or ends with it on a '.' boundary (leading '.'
// of the domain ignored), without regard to case.
int WebGet_DomainCovers(const char *domain, const char *host);
// After the lookup of a redirect's target: 0 (logged) when the public policy
// forbids its address.
int WebGet_RedirectTargetAllowed(WebGetStruct *web);
// Cleans the current URL in place ("http://" added, backslashes, path normalized).
int WebGet_CleanCurrentURL(WebGetStruct *web);

// webget_transfer.cpp
int WebGet_ReadHeader(WebGetStruct *web);
int WebGet_ReadBody(WebGetStruct *web);
int WebGet_ProcessContent(WebGetStruct *web);
int WebGet_Lookup(WebGetStruct *web);
int WebGet_Connect(WebGetStruct *web);

// webget.cpp
int WebGet_GrowHeaderBuffer(WebGetStruct *web, int needed);
// The built-in transport's read: Socket_Read on the client's socket.
int WebGet_PlainRead(WebGetStruct *web, void *user, void *buffer, int length, int *count);
// A header value without the blanks around it: the start in text, and in
// *length the characters up to the line end.
const char *WebGet_TrimValue(const char *text, int *length);
// The extra header of that name (any case), or null.
WebGetHeaderRecord *WebGet_FindExtraHeader(WebGetStruct *web, const char *name);
double WebGet_Now(WebGetStruct *web);
// The size limit in force: the setting, and for content kept in memory never
// more than WEBGET_MEMORY_LIMIT; 0 = none.
int64_t WebGet_EffectiveLimit(WebGetStruct *web);
// 1 when the address is loopback, private, link-local, unspecified or multicast.
int WebGet_IsInternalAddress(const uint8_t address[4]);
