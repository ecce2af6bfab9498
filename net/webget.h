// The HTTP/1.x client: one WebGetStruct carries one request at a time (GET,
// POST or HEAD) through a phase machine that the caller drives to the end in
// one call (blocking) or one step per call (stepping). Retries, redirects under
// a policy, cookies, extra headers, byte ranges, keep-alive, chunked replies,
// an optional proxy, size limit, decompression hooks and a content sink.
#pragma once

#include "net/socket.h"

#include <cstdint>

struct WebGetStruct;

enum {
    WEBGET_URL_SIZE = 2048,
    WEBGET_HOST_SIZE = 512,
    WEBGET_NAME_SIZE = 512,
    WEBGET_CREDENTIALS_SIZE = 512,
    WEBGET_BUFFER_STEP = 10240,   // header and content buffers grow by this
    WEBGET_HEADER_LIMIT = 10240,  // bytes of a reply's heads, interim heads included
    WEBGET_MAX_INTERIM = 4,       // interim (1xx) heads taken before the final one
    WEBGET_TRAILER_LIMIT = 10240, // bytes of the trailer lines after a chunked body
    WEBGET_RECEIVE_SIZE = 131072, // bytes asked of the socket per read
    WEBGET_MAX_REDIRECTS = 20,    // redirects followed within one request
    WEBGET_PHASE_COUNT = 14,      // phases are numbered 1 to 13
};

// Content kept in memory (no content callback) is never allowed past this,
// whatever the size limit says; callers set a limit that fits what they fetch.
constexpr int64_t WEBGET_MEMORY_LIMIT = 256LL * 1024 * 1024;

// Methods.
enum { WEBGET_GET = 1, WEBGET_POST = 2, WEBGET_HEAD = 3 };

// Redirect policies.
enum {
    WEBGET_REDIRECT_ANY = 0,
    WEBGET_REDIRECT_SAME_DOMAIN = 1,
    WEBGET_REDIRECT_SAME_TLD = 2,
    WEBGET_REDIRECT_NONE = 3,
    // Any host, except that a request whose URL as set is at a public address
    // is never led to a loopback, private, link-local or unspecified one (for
    // callers that fetch from public servers).
    WEBGET_REDIRECT_PUBLIC = 4,
};

// Phases (WebGet_PhaseName).
enum {
    WEBGET_PHASE_QUEUED = 1,
    WEBGET_PHASE_STARTUP = 2,
    WEBGET_PHASE_RESET = 3,
    WEBGET_PHASE_LOOKUP = 4,
    WEBGET_PHASE_CONNECT = 5,
    WEBGET_PHASE_REQUEST = 6,
    WEBGET_PHASE_HEADER = 7,
    WEBGET_PHASE_BODY = 8,
    WEBGET_PHASE_RETRY = 9,
    WEBGET_PHASE_EVALUATE = 10,
    WEBGET_PHASE_CLEANUP = 11,
    WEBGET_PHASE_DONE = 12,
    WEBGET_PHASE_IDLE = 13,
};

// The client's own status codes (HTTP status codes otherwise).
enum {
    WEBGET_STATUS_CONNECT = 950,    // "Unable to connect"
    WEBGET_STATUS_DNS = 951,        // "No DNS entry found for host"
    WEBGET_STATUS_TRANSPORT = 952,  // "Unable to establish transport"
    WEBGET_STATUS_SOCKET = 953,     // "Socket error"
    WEBGET_STATUS_RANGE = 954,      // "Byte range failure"
    WEBGET_STATUS_CHUNKED = 955,    // "Chunked error"
    WEBGET_STATUS_ABORT = 956,      // "User abort"
    WEBGET_STATUS_REDIRECT = 957,   // "Blocked redirection"
    WEBGET_STATUS_RESET = 958,      // "Reset"
    WEBGET_STATUS_SIZE_LIMIT = 959, // "Exceeded size limit"
    WEBGET_STATUS_DECOMPRESS = 960, // "Error decompressing content"
    WEBGET_STATUS_IO_TIMEOUT = 961, // "Timeout on I/O"
    WEBGET_STATUS_PARTIAL = 962,    // "Partial content" (incomplete 2xx body)
};

// Callbacks; each gets the user value given with it.
// Start: run at Startup and Retry; 0 aborts the request with 956.
typedef int (*WebGetStartCallback)(WebGetStruct *web, void *user);
// Redirect veto: gets the new absolute URL; 0 ends the request with 956.
typedef int (*WebGetRedirectCallback)(WebGetStruct *web, void *user, const char *url);
// Content veto: run after the reply header; 0 ends the request with 956.
typedef int (*WebGetAcceptCallback)(WebGetStruct *web, void *user);
// Content sink: gets each piece of content; may set *accepted to 0 to mark the
// content unwanted (the request then fails); returning 0 aborts with 956.
typedef int (*WebGetContentCallback)(WebGetStruct *web, void *user, const void *data, int length,
                                     int *accepted);
// Run after WebGet_ClearHeaders.
typedef void (*WebGetHeadersClearedCallback)(WebGetStruct *web, void *user);

// Transport operations; the plain set is built in, a secure one may be
// installed by its owner for "https://" URLs (WebGet_SetSecureTransport).
struct WebGetTransportOps {
    // Starts the connection; 0 on failure.
    int (*Connect)(WebGetStruct *web, void *user, const uint8_t address[4], int port);
    // 1 when the channel is ready for the request.
    int (*Ready)(WebGetStruct *web, void *user);
    // As Socket_Read / Socket_Write: 1 with a count (0 = would block), 0 on failure.
    int (*Read)(WebGetStruct *web, void *user, void *buffer, int length, int *count);
    int (*Write)(WebGetStruct *web, void *user, const void *data, int length, int *count);
    void *User;
};

// Compression hooks, installed by their owner (none built in).
struct WebGetCompressionOps {
    // 1 when the reply's content is compressed (after the header).
    int (*Detect)(WebGetStruct *web, void *user);
    // Turns input into output; reports bytes used and made; 0 on failure.
    int (*Decompress)(WebGetStruct *web, void *user, const void *input, int inputLength, int *used,
                      void *output, int outputSize, int *made);
    // Releases the decompressor.
    void (*End)(WebGetStruct *web, void *user);
    void *User;
};

extern const char WebGetTag[]; // "webget"

// Clock of time-outs, deadlines and retry delays (seconds); tests install their own.
typedef double (*WebGetClock)(void);

// What an owner may set, between requests (WebGet_GetSettings, change,
// WebGet_Configure). The setters below write single fields of it. The record of
// the request itself (WebGetStruct) is the client's own.
struct WebGetSettingsStruct {
    int Trace;                 // log phases, attempts, cookies, results; 0
    int HeaderDump;            // log request and reply heads; 0
    int PostDump;              // log POST bodies; 0
    int ProgressLog;           // log transfer progress; 0
    int Blocking;              // 1: Process runs to the end; 1
    int RedirectPolicy;        // WEBGET_REDIRECT_*; any
    int KeepAlive;             // 0; 1 needs HTTP version 1.1
    double HTTPVersion;        // 1.0; below 1.1 turns keep-alive off
    int CookiesEnabled;        // 1
    int CookiesToAllHosts;     // 0
    int HttpsAllowed;          // 0
    int64_t SizeLimit;         // content bytes; 0 or less = none (content kept in
                               // memory is still held to WEBGET_MEMORY_LIMIT)
    int RetryIncomplete;       // 1: retry a 2xx body that ended short
    int Attempts;              // 5
    double RetryDelay;         // seconds between attempt starts, 5
    double IOTimeout;          // seconds without I/O before a retry, 15
    double ConnectTimeout;     // socket time-out while connecting, seconds, 15
    int Method;                // WEBGET_GET, WEBGET_POST, WEBGET_HEAD
    int ReportBlockedRedirect; // 1: a blocked redirect ends with 957
    int RateLimit;             // KB/s both directions, 0 = none
    int HasLocalAddress;       // bind to LocalBind before connecting; 0
    uint8_t LocalBind[4];
    double Deadline;   // seconds for a whole request (every attempt and redirect);
                       // 0 = none; 600
    int MinRate;       // bytes a second a transfer must move on average over
                       // RateWindow, else it fails as stalled; 0 = no check; 64
    double RateWindow; // seconds, 30
};

// Fills settings with the defaults above. Returns 1.
int WebGet_InitSettings(WebGetSettingsStruct *settings);
// Copies the client's settings out. Returns 1.
int WebGet_GetSettings(WebGetStruct *web, WebGetSettingsStruct *settings);
// Takes the settings for the next requests. 0 (logged, nothing changed) when a
// value is out of range: negative times, attempts below 1, an unknown method
// or policy, keep-alive with a version below 1.1.
int WebGet_Configure(WebGetStruct *web, const WebGetSettingsStruct *settings);
// null restores the monotonic clock. Returns 1.
int WebGet_SetClock(WebGetStruct *web, WebGetClock clock);

// ---------------------------------------------------------------------------
// Life and driving
// ---------------------------------------------------------------------------

// A client with the defaults into *web; returns 1.
int WebGet_Create(WebGetStruct **web);
// Frees the client and everything it holds and clears *web. Accepts null. Returns 1.
int WebGet_Destroy(WebGetStruct **web);
// Sets the URL (cut to 2048 characters), splits it and queues the request. Returns 1.
int WebGet_SetURL(WebGetStruct *web, const char *url);
// Runs the phase machine: returns 1 while the request is under way (stepping
// mode, after each step) and 0 when it has ended; *success is then 1 only for
// a 2xx reply whose content the sink accepted.
int WebGet_Process(WebGetStruct *web, int *success);
// Closes connection and file, phase Idle, clears phase times and the request start.
int WebGet_Stop(WebGetStruct *web);
// Closes the socket when forced or when keep-alive is off. Returns 1.
int WebGet_CloseConnection(WebGetStruct *web, int force);
// Records a phase change (duration of the old phase, start of the new). Returns 1.
int WebGet_SetPhase(WebGetStruct *web, int phase);
int WebGet_GetPhase(WebGetStruct *web, int *phase);
// "Queued" ... "Idle", "Unknown" for other numbers.
const char *WebGet_PhaseName(int phase);

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

// Plain stores; each returns 1 unless its comment says otherwise.
int WebGet_SetRequestType(WebGetStruct *web, int method);
int WebGet_SetAttempts(WebGetStruct *web, int attempts);
int WebGet_SetRetryDelay(WebGetStruct *web, int seconds);
int WebGet_SetIOTimeout(WebGetStruct *web, int seconds);
int WebGet_SetHTTPVersion(WebGetStruct *web, double version);
int WebGet_SetKeepAlive(WebGetStruct *web, int keepAlive);
int WebGet_SetBlocking(WebGetStruct *web, int blocking);
int WebGet_SetTrace(WebGetStruct *web, int trace);
// An empty text turns the proxy off. 0 when the URL does not fit.
int WebGet_SetProxy(WebGetStruct *web, const char *url);
// Basic authorization; empty user and password clear it. 0 when too long.
int WebGet_SetCredentials(WebGetStruct *web, const char *user, const char *password);
// The caller's buffer is sent as the POST body; it must outlive the request.
int WebGet_SetPostData(WebGetStruct *web, const void *data, int length);
// Byte range sent as a Range header (0 = not set).
int WebGet_SetRange(WebGetStruct *web, int64_t start, int64_t end);
// Byte range start..end (inclusive, end >= start >= 0) sent whatever the values,
// so a one-byte range at 0 is asked for too. 0 (nothing set) for a bad range.
int WebGet_SetByteRange(WebGetStruct *web, int64_t start, int64_t end);
int WebGet_SetFilePath(WebGetStruct *web, const char *path);
int WebGet_SetStartCallback(WebGetStruct *web, void *user, WebGetStartCallback callback);
int WebGet_SetContentCallback(WebGetStruct *web, void *user, WebGetContentCallback callback);
int WebGet_SetRedirectCallback(WebGetStruct *web, void *user, WebGetRedirectCallback callback);
int WebGet_SetAcceptCallback(WebGetStruct *web, void *user, WebGetAcceptCallback callback);
int WebGet_SetHeadersClearedCallback(WebGetStruct *web, void *user,
                                     WebGetHeadersClearedCallback callback);
// Installs (or with null removes) the secure transport and the compression hooks.
int WebGet_SetSecureTransport(WebGetStruct *web, const WebGetTransportOps *ops);
// Replaces the plain transport (a stand-in for tests and fuzzing); null restores
// the built-in one. Returns 1.
int WebGet_SetPlainTransport(WebGetStruct *web, const WebGetTransportOps *ops);
int WebGet_SetCompression(WebGetStruct *web, const WebGetCompressionOps *ops);

// ---------------------------------------------------------------------------
// Headers and cookies
// ---------------------------------------------------------------------------

// Replaces the value of a header of the same name (any case) or appends one.
// An empty value removes a standard header from requests.
int WebGet_AddHeader(WebGetStruct *web, const char *name, const char *value);
int WebGet_ClearHeaders(WebGetStruct *web);
// Replaces a cookie of the same name and domain (any case) or appends one.
int WebGet_SetCookie(WebGetStruct *web, const char *name, const char *value, const char *path,
                     const char *domain, int secure);
// 1 when a cookie would be sent to `host`.
int WebGet_HasCookieForHost(WebGetStruct *web, const char *host);
// "a=1; b=2" of the cookies for the current host; 0 (empty) when none matches.
int WebGet_GetCookieHeader(WebGetStruct *web, char *buffer, int size);

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

// The HTTP status of the last reply or the client's own code, and its text.
int WebGet_GetStatus(WebGetStruct *web);
int WebGet_GetStatusText(WebGetStruct *web, char *buffer, int size);
// Text of an HTTP status or own code; "Internal server error %d" otherwise.
int WebGet_ResultText(int status, char *buffer, int size);
// The in-memory content (NUL-terminated, owned by the client) and its size.
int WebGet_GetContent(WebGetStruct *web, const char **content, int64_t *size);
// 0 unless the reply gave a Content-Length and the content is not compressed.
int WebGet_GetContentLength(WebGetStruct *web, int64_t *length);
// Status 206 with "Accept-Ranges:" holding "bytes".
int WebGet_IsPartialContent(WebGetStruct *web);
// Value of a reply header; 0 when absent or empty.
int WebGet_GetHeaderValue(WebGetStruct *web, const char *name, char *buffer, int size);
// Value of name=value in a ';'-separated text; 0 when absent.
int WebGet_FindListValue(const char *list, const char *name, char *buffer, int size);
int WebGet_GetFileName(WebGetStruct *web, char *buffer, int size);
int WebGet_GetServerAddress(WebGetStruct *web, uint8_t address[4]);
int WebGet_GetLocalAddress(WebGetStruct *web, uint8_t address[4]);
int WebGet_GetSocket(WebGetStruct *web, SocketStruct **socket);
// Connections opened over the client's life; redirects followed by the last request.
int WebGet_GetConnectionCount(WebGetStruct *web);
int WebGet_GetRedirectCount(WebGetStruct *web);
// Content bytes delivered by the last request (to the sink or the buffer).
int64_t WebGet_GetContentCount(WebGetStruct *web);
// Seconds spent in a phase (below 13); 0 while it is still running.
int WebGet_GetPhaseTime(WebGetStruct *web, int phase, double *seconds);
// End minus connect start / end minus request start; 0 when not ended.
int WebGet_GetTransferTime(WebGetStruct *web, double *seconds);
int WebGet_GetTotalTime(WebGetStruct *web, double *seconds);

// ---------------------------------------------------------------------------
// Text utilities
// ---------------------------------------------------------------------------

// Letters, digits and * - . _ @ stay, a blank becomes '+', other bytes "%XX".
// 0 when the result does not fit.
int WebGet_FormEncode(const void *data, int length, char *buffer, int size);
// Blanks become %20; before the first '?' a backslash becomes '/'. 0 when the
// result does not fit.
int WebGet_EscapeURL(WebGetStruct *web, const char *source, char *buffer, int size);
// A Location made absolute against the current request, then normalized.
int WebGet_MakeAbsoluteURL(WebGetStruct *web, const char *location, char *buffer, int size);
// Drops "./" segments, resolves "../" and skips ';' parameters in the path;
// the query stays unchanged. In place.
int WebGet_NormalizePath(char *url, int size);
// Splits the URL into the client's current URL, host, base URL and file name.
int WebGet_SplitURL(WebGetStruct *web, const char *url);
