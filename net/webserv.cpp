// The embedded HTTP server's record: creation with the built-in MIME table,
// settings, activation and its thread, the listener, accepting (capped, paused
// after a failure), one pass over every connection, the wait between passes,
// and the text helpers (status texts, MIME types, dates). Tuned for a few local
// clients: non-blocking sockets, a thread that sleeps until there is work.
#include "net/webserv.h"

#include "core/mutex.h"
#include "core/pool.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "net/webserv_internal.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

const char WebServerTag[] = "webserv";
const char WebServerRequestTag[] = "WebServerRequestStruct";

// Now in seconds: the server's clock, or the tick clock.
static double WebServer_Now(WebServerStruct *server);

namespace {

const struct {
    const char *Extension;
    const char *Type;
    const char *Subtype;
} kMimeTable[] = {
    {"asc", "text", "plain"},
    {"c", "text", "plain"},
    {"cpp", "text", "plain"},
    {"css", "text", "css"},
    {"etx", "text", "x-setext"},
    {"h", "text", "plain"},
    {"hpp", "text", "plain"},
    {"htm", "text", "html"},
    {"html", "text", "html"},
    {"nfo", "text", "plain"},
    {"rtf", "text", "rtf"},
    {"rtx", "text", "richtext"},
    {"sgm", "text", "sgml"},
    {"sgml", "text", "sgml"},
    {"shtm", "text", "html"},
    {"shtml", "text", "html"},
    {"tsv", "text", "tab-separated-values"},
    {"txt", "text", "plain"},
    {"xml", "text", "xml"},
    {"bmp", "image", "bmp"},
    {"cgm", "image", "cgm"},
    {"cmx", "image", "x-cmx"},
    {"gif", "image", "gif"},
    {"ief", "image", "ief"},
    {"jfif", "image", "jpeg"},
    {"jpe", "image", "jpeg"},
    {"jpeg", "image", "jpeg"},
    {"jpg", "image", "jpeg"},
    {"pbm", "image", "x-portable-bitmap"},
    {"pgm", "image", "x-portable-graymap"},
    {"pnm", "image", "x-portable-anymap"},
    {"png", "image", "png"},
    {"ppm", "image", "x-portable-pixmap"},
    {"ras", "image", "x-cmu-raster"},
    {"rgb", "image", "x-rgb"},
    {"tif", "image", "tiff"},
    {"tiff", "image", "tiff"},
    {"xbm", "image", "x-xbitmap"},
    {"xpm", "image", "x-xpixmap"},
    {"xwd", "image", "x-xwindowdump"},
    {"aif", "audio", "x-aiff"},
    {"aifc", "audio", "x-aiff"},
    {"aiff", "audio", "x-aiff"},
    {"au", "audio", "basic"},
    {"kar", "audio", "midi"},
    {"m3u", "audio", "x-mpegurl"},
    {"mid", "audio", "midi"},
    {"midi", "audio", "midi"},
    {"mp2", "audio", "mpeg"},
    {"mp3", "audio", "mpeg"},
    {"mp3url", "audio", "x-mpegurl"},
    {"mpga", "audio", "mpeg"},
    {"pls", "audio", "x-scpls"},
    {"ra", "audio", "x-pn-realaudio"},
    {"rm", "audio", "x-pn-realaudio"},
    {"ram", "audio", "x-pn-realaudio"},
    {"rpm", "audio", "x-pn-realaudio-plugin"},
    {"stream", "audio", "x-qt-stream"},
    {"snd", "audio", "basic"},
    {"wav", "audio", "x-wav"},
    {"wax", "audio", "x-ms-wax"},
    {"wma", "audio", "x-ms-wma"},
    {"asf", "video", "x-ms-asf"},
    {"asx", "video", "x-ms-asf"},
    {"avi", "video", "x-msvideo"},
    {"mov", "video", "quicktime"},
    {"movie", "video", "x-sgi-movie"},
    {"mpe", "video", "mpeg"},
    {"mpeg", "video", "mpeg"},
    {"mpg", "video", "mpeg"},
    {"mv", "video", "x-sgi-movie"},
    {"qt", "video", "quicktime"},
    {"viv", "video", "vnd.vivo"},
    {"vx", "video", "x-rad-screenplay"},
    {"wm", "video", "x-ms-wm"},
    {"wmv", "video", "x-ms-wmv"},
    {"wmx", "video", "x-ms-wmx"},
    {"wvx", "video", "x-ms-wvx"},
    {"a", "application", "octet-stream"},
    {"aam", "application", "x-authorware-map"},
    {"aas", "application", "x-authorware-seg"},
    {"ai", "application", "postscript"},
    {"atom", "application", "atom+xml"},
    {"bat", "application", "x-msdownload"},
    {"bcpio", "application", "x-bcpio"},
    {"bin", "application", "octet-stream"},
    {"cdf", "application", "x-netcdf"},
    {"cip", "application", "x-cip"},
    {"class", "application", "octet-stream"},
    {"cpio", "application", "x-cpio"},
    {"cpt", "application", "mac-compactpro"},
    {"csh", "application", "x-csh"},
    {"dcr", "application", "x-director"},
    {"dir", "application", "x-director"},
    {"dll", "application", "x-msdownload"},
    {"dmg", "application", "octet-stream"},
    {"dms", "application", "octet-stream"},
    {"doc", "application", "msword"},
    {"dump", "application", "octet-stream"},
    {"dvi", "application", "x-dvi"},
    {"dxr", "application", "x-director"},
    {"eps", "application", "postscript"},
    {"exe", "application", "octet-stream"},
    {"ez", "application", "andrew-inset"},
    {"fgd", "application", "x-director"},
    {"gram", "application", "srgs"},
    {"grxml", "application", "srgs+xml"},
    {"gtar", "application", "x-gtar"},
    {"gz", "application", "x-gzip"},
    {"hdf", "application", "x-hdf"},
    {"hqx", "application", "mac-binhex40"},
    {"iv", "application", "x-inventor"},
    {"js", "application", "x-javascript"},
    {"latex", "application", "x-latex"},
    {"lha", "application", "octet-stream"},
    {"lzh", "application", "octet-stream"},
    {"man", "application", "x-troff-man"},
    {"mathml", "application", "mathml+xml"},
    {"me", "application", "x-troff-me"},
    {"mif", "application", "vnd.mif"},
    {"ms", "application", "x-troff-ms"},
    {"nc", "application", "x-netcdf"},
    {"o", "application", "octet-stream"},
    {"oda", "application", "oda"},
    {"ogg", "application", "ogg"},
    {"pac", "application", "x-ns-proxy-autoconfig"},
    {"pdf", "application", "pdf"},
    {"pgn", "application", "x-chess-pgn"},
    {"phtml", "application", "x-httpd-php"},
    {"phps", "application", "x-httpd-php-source"},
    {"ppt", "application", "vnd.ms-powerpoint"},
    {"ps", "application", "postscript"},
    {"rdf", "application", "rdf+xml"},
    {"roff", "application", "x-troff"},
    {"sea", "application", "x-sea"},
    {"sh", "application", "x-sh"},
    {"shar", "application", "x-shar"},
    {"sit", "application", "x-stuffit"},
    {"skd", "application", "x-koan"},
    {"skm", "application", "x-koan"},
    {"skp", "application", "x-koan"},
    {"skt", "application", "x-koan"},
    {"smi", "application", "smil"},
    {"smil", "application", "smil"},
    {"so", "application", "octet-stream"},
    {"spl", "application", "x-futuresplash"},
    {"spr", "application", "x-sprite"},
    {"sprite", "application", "x-sprite"},
    {"src", "application", "x-wais-source"},
    {"sv4cpio", "application", "x-sv4cpio"},
    {"sv4crc", "application", "x-sv4crc"},
    {"swf", "application", "x-shockwave-flash"},
    {"t", "application", "x-troff"},
    {"tar", "application", "x-tar"},
    {"tcl", "application", "x-tcl"},
    {"tex", "application", "x-tex"},
    {"texi", "application", "x-texinfo"},
    {"texinfo", "application", "x-texinfo"},
    {"tr", "application", "x-troff"},
    {"tsp", "application", "dsptype"},
    {"ustar", "application", "x-ustar"},
    {"vcd", "application", "x-cdlink"},
    {"vmd", "application", "vocaltec-media-desc"},
    {"vmf", "application", "vocaltec-media-file"},
    {"wg", "application", "x-wg"},
    {"wmd", "application", "x-ms-wmd"},
    {"wmp", "application", "x-ms-wmp"},
    {"wmz", "application", "x-ms-wmz"},
    {"wp", "application", "wordperfect"},
    {"wp5", "application", "wordperfect5.1"},
    {"wp6", "application", "wordperfect6.0"},
    {"wsrc", "application", "x-wais-source"},
    {"xls", "application", "vnd.ms-excel"},
    {"xul", "application", "vnd.mozilla.xul+xml"},
    {"z", "application", "x-compress"},
    {"zip", "application", "zip"},
    {"mime", "message", "rfc822"},
    {"igs", "model", "iges"},
    {"iges", "model", "iges"},
    {"mesh", "model", "mesh"},
    {"msh", "model", "mesh"},
    {"silo", "model", "mesh"},
    {"vrml", "model", "vrml"},
    {"wrl", "model", "vrml"},
};

const struct {
    int Code;
    const char *Text;
} kStatusTexts[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Authorization Required"},
    {403, "Forbidden"},
    {404, "Object Not Found"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
};

const char *const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum {
    kMimePerChunk = 50,
    kListenBacklog = 1000,
    kThreadWaitMs = 300000,
    kAcceptsPerPass = 64, // then the connections get their turn
    // Spares kept after their connection is done (all freed with the last
    // connection): enough for a few keep-alive clients without the heap.
    kSpareHeaders = 64,
    kSpareRecords = 16,
    kSpareBuffers = 8,
    kSpareLargeBuffers = 1,
};

// Deadlines compare with '>' (a time-out is over once more than its seconds
// have passed): waits end this much after them.
const double kPastDeadline = 0.001;

uint32_t ThreadMain(void *argument);

// Fields read by other threads while the passes write them.
void StoreShared(int *field, int value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
int LoadShared(const int *field) {
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

void FreeSpares(WebServerSpareList *list) {
    while (list->Head != nullptr) {
        void *block = list->Head;
        memcpy(&list->Head, block, sizeof(void *));
        ZYL_FREE(block, list->Size);
    }
    list->Count = 0;
}

void InitSpares(WebServerSpareList *list, int size, int limit) {
    list->Head = nullptr;
    list->Count = 0;
    list->Size = size;
    list->Limit = limit;
}

// Closes one connection: unlink, close callback, socket, headers, record.
// The last one to close takes the spares with it.
void CloseConnection(WebServerStruct *server, WebServerRequestStruct *request) {
    if (request->Previous != nullptr)
        request->Previous->Next = request->Next;
    else
        server->Connections = request->Next;
    if (request->Next != nullptr)
        request->Next->Previous = request->Previous;
    StoreShared(&server->ConnectionCount, server->ConnectionCount - 1);
    if (server->CloseCallback != nullptr)
        server->CloseCallback(server, request, server->CloseUser, &request->Slot);
    Socket_Destroy(&request->Socket);
    WebServer_FreeHeaders(server, &request->RequestHeaders);
    WebServer_FreeHeaders(server, &request->ResponseHeaders);
    WebServer_FreeOutBuffer(server, request);
    request->Tag = Zyl_DeadTag;
    WebServer_GiveBlock(&server->Records, request);
    if (server->ConnectionCount == 0)
        WebServer_ReleaseSpares(server);
}

void CloseListener(WebServerStruct *server) {
    Socket_Close(server->Listener);
    StoreShared(&server->BoundPort, 0);
}

// Opens the listener on the configured address and port; 1 when listening
// (or when inbound connections are switched off).
int Listen(WebServerStruct *server) {
    CloseListener(server);
    if (!server->Inbound) {
        Zyl_Print("WebServer Listening (inbound) port disabled for connections\n");
        return 1;
    }
    uint8_t any[4] = {0, 0, 0, 2};
    const uint8_t *address = server->BindAddress[0] != 0 ? server->BindAddress : any;
    int port = server->Port < 1 ? 0 : server->Port;
    if (!Socket_Open(server->Listener, SOCKET_PROTOCOL_TCP))
        return 0;
    Socket_SetBacklog(server->Listener, kListenBacklog);
    if (!Socket_Bind(server->Listener, address, port)) {
        Zyl_Print("Unable to bind for listen (%d.%d.%d.%d:%d) [%s]\n", address[0], address[1],
                  address[2], address[3], port, Socket_GetLastErrorString(server->Listener));
        Socket_Close(server->Listener);
        return 0;
    }
    if (!Socket_Listen(server->Listener)) {
        Zyl_Print("Unable to listen on (%d.%d.%d.%d:%d)\n", address[0], address[1], address[2],
                  address[3], port);
        Socket_Close(server->Listener);
        return 0;
    }
    if (!Socket_SetBlocking(server->Listener, 0)) {
        Zyl_Print("Unable to set listening port to non-blocking\n");
        Socket_Close(server->Listener);
        return 0;
    }
    uint8_t bound[4];
    int boundPort = 0;
    if (!Socket_GetSockName(server->Listener, bound, &boundPort)) {
        Zyl_Print("Unable to read the listening port's address\n");
        Socket_Close(server->Listener);
        return 0;
    }
    // Kept for WebServer_GetListenPort, which other threads call while the
    // server's thread accepts on the listener.
    StoreShared(&server->BoundPort, boundPort);
    if (server->BindAddress[0] != 0)
        Zyl_Print("WebServer Listening on %d.%d.%d.%d:%d\n", address[0], address[1], address[2],
                  address[3], port);
    else
        Zyl_Print("WebServer Listening on all interfaces, port %d\n", port);
    return 1;
}

// Listens again when the listen settings differ from the ones in use.
void CheckListener(WebServerStruct *server) {
    if (server->ListenValid && server->ListenInbound == server->Inbound &&
        memcmp(server->ListenAddress, server->BindAddress, 4) == 0 &&
        server->ListenPort == server->Port)
        return;
    server->ListenInbound = server->Inbound;
    memcpy(server->ListenAddress, server->BindAddress, 4);
    server->ListenPort = server->Port;
    server->ListenValid = 1;
    if (!Listen(server))
        Zyl_Print("Unable to listen for inbound connections\n");
}

// Makes room for a new connection at the cap by closing the one waiting
// longest for a request head; 0 when every connection is busy.
int MakeRoom(WebServerStruct *server) {
    WebServerRequestStruct *oldest = nullptr;
    for (WebServerRequestStruct *r = server->Connections; r != nullptr; r = r->Next) {
        if (r->Phase != WEBSERVER_PHASE_HEADER || server->ServerTime < r->HoldUntil)
            continue;
        // Newest first in the list: '<=' makes the earliest accepted win a tie.
        if (oldest == nullptr || r->LastActivity <= oldest->LastActivity)
            oldest = r;
    }
    if (oldest == nullptr)
        return 0;
    Zyl_Print("0x%p: Closing the connection idle longest (%.1f s) to make room\n",
              (void *)oldest->Socket, server->ServerTime - oldest->LastActivity);
    CloseConnection(server, oldest);
    return 1;
}

// Accepts one waiting connection; 0 when none was waiting or accept failed.
// A failure (descriptors or memory ran out) pauses accepting: the listener
// stays readable meanwhile, and retrying at once would only spin.
int AcceptOne(WebServerStruct *server) {
    SocketStruct *socket = nullptr;
    if (!Socket_Accept(server->Listener, &socket)) {
        int error = Socket_GetLastError(server->Listener);
        Zyl_Print("WebServer_Process() accept failed (%d) [%s]; accepting again in %d ms\n", error,
                  Socket_GetErrorString(error), WEBSERVER_ACCEPT_PAUSE_MS);
        server->AcceptPauseUntil = server->ServerTime + (double)WEBSERVER_ACCEPT_PAUSE_MS / 1000.0;
        return 0;
    }
    if (socket == nullptr)
        return 0;
    uint8_t address[4];
    int port = 0;
    Socket_GetRemoteAddress(socket, address, &port);
    Zyl_Print("0x%p: WebServer Accept [%d.%d.%d.%d:%d]\n", (void *)socket, address[0], address[1],
              address[2], address[3], port);
    if (!Socket_SetBlocking(socket, 0)) {
        Zyl_Print("0x%p: Unable to set blocking\n", (void *)socket);
        Socket_Destroy(&socket);
        return 1;
    }
    if (!Socket_SetNagle(socket, 0)) {
        Zyl_Print("0x%p: Unable to disable nagel\n", (void *)socket);
        Socket_Destroy(&socket);
        return 1;
    }
    if (server->ConnectionCount >= server->MaxConnections && !MakeRoom(server)) {
        Zyl_Print("0x%p: All %d connections busy; closing the new one\n", (void *)socket,
                  server->ConnectionCount);
        Socket_Destroy(&socket);
        return 1;
    }
    // No output buffer yet: one is taken when there is a response to send.
    WebServerRequestStruct *request =
        static_cast<WebServerRequestStruct *>(WebServer_TakeBlock(&server->Records));
    memset(request, 0, sizeof(WebServerRequestStruct));
    request->Tag = WebServerRequestTag;
    request->Next = server->Connections;
    WebServer_ResetRequest(server, request);
    request->Socket = socket;
    request->AcceptTime = server->ServerTime;
    request->LastActivity = server->ServerTime;
    if (server->Connections != nullptr)
        server->Connections->Previous = request;
    server->Connections = request;
    StoreShared(&server->ConnectionCount, server->ConnectionCount + 1);
    if (server->ConnectionCount > server->ConnectionPeak)
        server->ConnectionPeak = server->ConnectionCount;
    return 1;
}

void AcceptAll(WebServerStruct *server) {
    if (!Socket_IsOpen(server->Listener) || server->ServerTime < server->AcceptPauseUntil)
        return;
    int accepted = 0;
    while (accepted < kAcceptsPerPass && AcceptOne(server))
        accepted++;
    if (accepted > 1)
        Zyl_Print("Accept queue size of (%d)\n", accepted);
}

// Refreshes the date text when the wall-clock second changed.
void UpdateDate(WebServerStruct *server) {
    int64_t now = (int64_t)time(nullptr);
    if (now == server->DateSecond && server->DateText[0] != '\0')
        return;
    server->DateSecond = now;
    WebServer_FormatDate(now, server->DateText, sizeof(server->DateText));
}

void RunTimer(WebServerStruct *server) {
    double now = server->ServerTime;
    if (now - server->LastSecond > 1.0)
        server->LastSecond = now;
    if (server->TimerCallback != nullptr && now - server->TimerLastRun > server->TimerInterval) {
        server->TimerCallback(server, server->TimerUser);
        server->TimerLastRun = now;
    }
}

// Closes the listener and every connection; the server becomes inactive.
void Stop(WebServerStruct *server) {
    if (server->Verbose)
        Zyl_Print("WebServer shutting down\n");
    double now = WebServer_Now(server);
    server->StopTime = now;
    CloseListener(server);
    server->ListenValid = 0;
    while (server->Connections != nullptr) {
        WebServerRequestStruct *request = server->Connections;
        Zyl_Print("0x%p: Cleanup %d:[%d] (%.1f)\n", (void *)request->Socket, request->Phase,
                  request->OutCount - request->OutPosition, now - request->LastActivity);
        CloseConnection(server, request);
    }
    if (server->Verbose) {
        char text[128];
        Zyl_FormatDuration(server->StopTime - server->StartTime, 3068, text, sizeof(text));
        Zyl_Print("WebServer ran for %s\n", text);
    }
    server->Active = 0;
    Event_Set(server->StopEvent, 0);
}

int Activate(WebServerStruct *server) {
    if (server->Verbose)
        Zyl_Print("WebServer starting up\n");
    Zyl_Print("%d active MIME types\n", server->MimeCount);
    double now = WebServer_Now(server);
    server->StartTime = now;
    server->StopTime = 0;
    server->TimerLastRun = now;
    server->LastSecond = now;
    server->ServerTime = now;
    server->AcceptPauseUntil = 0;
    // Listening here rather than on the first pass lets the owner learn the
    // port (and a bind failure) as soon as activation returns.
    server->ListenValid = 0;
    CheckListener(server);
    server->Active = 1;
    if (server->Threaded) {
        if (server->Verbose)
            Zyl_Print("Starting manager thread\n");
        if (!Thread_Create(&server->Thread, server, ThreadMain)) {
            Zyl_Print("Unable to create Process thread (%d)\n", errno);
            server->Active = 0;
            CloseListener(server);
            server->ListenValid = 0;
            return 0;
        }
    }
    return 1;
}

void Deactivate(WebServerStruct *server) {
    if (server->Verbose)
        Zyl_Print("Shutting down manager thread\n");
    Event_Set(server->StopEvent, 1);
    WebServer_Wake(server);
    if (server->Thread != nullptr) {
        if (Thread_Wait(server->Thread, kThreadWaitMs))
            Zyl_Print("WebServer thread shut down successful\n");
        else
            Zyl_Print("Timeout waiting on manager thread shutdown\n");
        Thread_Close(&server->Thread);
    }
    Stop(server);
}

// The server's thread: a pass, then a sleep in poll until the listener or a
// connection waiting for I/O is ready, the wake eventfd is written (stop, or
// the owner made a held answer or a body piece ready), or the nearest deadline
// (idle time-out, head deadline, hold, accept pause, timer) is due. An idle
// server therefore wakes only for its timer.
uint32_t ThreadMain(void *argument) {
    WebServerStruct *server = static_cast<WebServerStruct *>(argument);
    Zyl_Print("WebServer thread running\n");
    for (;;) {
        int stop = 0;
        Event_Poll(server->StopEvent, &stop);
        if (stop)
            break;
        for (int pass = 0; pass <= server->ExtraPasses; pass++)
            WebServer_Process(server);
        WebServer_Wait(server, -1);
    }
    return 0;
}

// Seconds from `now` until the next deadline of the timer, the accept pause or
// a connection (0 when one is due or a connection has work left); -1 for none.
double NextDeadline(WebServerStruct *server, double now) {
    double next = -1;
    auto consider = [&](double at) {
        double wait = at > now ? at - now : 0;
        if (next < 0 || wait < next)
            next = wait;
    };
    if (server->TimerCallback != nullptr)
        consider(server->TimerLastRun + server->TimerInterval + kPastDeadline);
    if (now < server->AcceptPauseUntil)
        consider(server->AcceptPauseUntil);
    for (WebServerRequestStruct *r = server->Connections; r != nullptr; r = r->Next) {
        if (r->RunAgain) {
            consider(now);
        } else if (now < r->HoldUntil) {
            consider(r->HoldUntil);
        } else {
            consider(r->LastActivity + server->IdleTimeout + kPastDeadline);
            if (r->Phase == WEBSERVER_PHASE_HEADER)
                consider(r->HeadStart + server->IdleTimeout + kPastDeadline);
        }
    }
    return next;
}

// Room in the poll set for `count` descriptors.
void ReservePollSet(WebServerStruct *server, int count) {
    if (count <= server->PollCapacity)
        return;
    int capacity = count > server->MaxConnections + 2 ? count : server->MaxConnections + 2;
    if (server->PollSet != nullptr)
        ZYL_FREE(server->PollSet, (int64_t)server->PollCapacity * (int64_t)sizeof(pollfd));
    server->PollSet = static_cast<pollfd *>(ZYL_ALLOC((int64_t)capacity * (int64_t)sizeof(pollfd)));
    server->PollCapacity = capacity;
}

// Fills the poll set: the wake eventfd, the listener unless accepting is
// paused, and each connection waiting for its socket (output to send: writable;
// reading a head or a request body: readable). Connections waiting for their
// owner or a hold are left out. Returns the count.
int FillPollSet(WebServerStruct *server, double now) {
    ReservePollSet(server, server->ConnectionCount + 2);
    pollfd *fds = server->PollSet;
    int count = 0;
    fds[count++] = {server->WakeFd, POLLIN, 0};
    int handle = -1;
    if (server->Active && now >= server->AcceptPauseUntil &&
        Socket_GetHandle(server->Listener, &handle) && handle >= 0)
        fds[count++] = {handle, POLLIN, 0};
    for (WebServerRequestStruct *r = server->Connections; r != nullptr; r = r->Next) {
        short events = 0;
        if (r->OutPosition < r->OutCount)
            events = POLLOUT;
        else if (r->Phase == WEBSERVER_PHASE_HEADER || r->Phase == WEBSERVER_PHASE_REQUEST_BODY)
            events = POLLIN;
        if (events != 0 && Socket_GetHandle(r->Socket, &handle) && handle >= 0)
            fds[count++] = {handle, events, 0};
    }
    return count;
}

double TickClock() {
    return Zyl_GetTickSeconds();
}

} // namespace

static double WebServer_Now(WebServerStruct *server) {
    return server->Clock != nullptr ? server->Clock() : TickClock();
}

void *WebServer_TakeBlock(WebServerSpareList *list) {
    if (list->Head == nullptr)
        return ZYL_ALLOC(list->Size);
    void *block = list->Head;
    memcpy(&list->Head, block, sizeof(void *));
    list->Count--;
    return block;
}

void WebServer_GiveBlock(WebServerSpareList *list, void *block) {
    if (list->Count >= list->Limit) {
        ZYL_FREE(block, list->Size);
        return;
    }
    memcpy(block, &list->Head, sizeof(void *));
    list->Head = block;
    list->Count++;
}

void WebServer_ReleaseSpares(WebServerStruct *server) {
    FreeSpares(&server->Headers);
    FreeSpares(&server->Records);
    FreeSpares(&server->Buffers);
    FreeSpares(&server->LargeBuffers);
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int WebServer_Create(WebServerStruct **server) {
    ZYL_CHECK_PTR(server);
    *server = nullptr;
    WebServerStruct *s = ZYL_NEW(WebServerStruct);
    s->Tag = WebServerTag;
    s->Threaded = 1;
    s->TimerInterval = 60.0;
    s->Inbound = 1;
    s->Port = WEBSERVER_DEFAULT_PORT;
    s->IdleTimeout = WEBSERVER_IDLE_TIMEOUT;
    s->MaxConnections = WEBSERVER_MAX_CONNECTIONS;
    s->WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s->WakeFd < 0) {
        Zyl_Print("WebServer_Create() eventfd failed %d\n", errno);
        s->Tag = Zyl_DeadTag;
        ZYL_FREE(s, sizeof(WebServerStruct));
        return 0;
    }
    Zyl_StrCopy(s->DefaultDocument, "default.htm", sizeof(s->DefaultDocument));
    Event_Create(&s->StopEvent);
    POOL_CREATE(s->MimePool);
    Pool_SetMemberSize(s->MimePool, sizeof(WebServerMimeRecord));
    Pool_SetMembersPerChunk(s->MimePool, kMimePerChunk);
    InitSpares(&s->Headers, sizeof(WebServerHeaderRecord), kSpareHeaders);
    InitSpares(&s->Records, sizeof(WebServerRequestStruct), kSpareRecords);
    InitSpares(&s->Buffers, WEBSERVER_OUT_SIZE, kSpareBuffers);
    InitSpares(&s->LargeBuffers, WEBSERVER_LARGE_OUT_SIZE, kSpareLargeBuffers);
    ReservePollSet(s, s->MaxConnections + 2);
    Socket_Create(&s->Listener);
    for (const auto &row : kMimeTable)
        WebServer_AddMimeType(s, row.Extension, row.Type, row.Subtype);
    *server = s;
    return 1;
}

int WebServer_Destroy(WebServerStruct **server) {
    ZYL_CHECK_PTR(server);
    WebServerStruct *s = *server;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, WebServerTag);
    if (s->Active)
        Deactivate(s);
    while (s->MimeList != nullptr) {
        WebServerMimeRecord *row = s->MimeList;
        s->MimeList = row->Next;
        POOL_FREE(s->MimePool, row, sizeof(WebServerMimeRecord));
    }
    WebServer_ReleaseSpares(s);
    Pool_Destroy(&s->MimePool);
    ZYL_FREE(s->PollSet, (int64_t)s->PollCapacity * (int64_t)sizeof(pollfd));
    Socket_Destroy(&s->Listener);
    Event_Close(&s->StopEvent);
    close(s->WakeFd);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(WebServerStruct));
    *server = nullptr;
    return 1;
}

int WebServer_StartThread(WebServerStruct *server, int active) {
    ZYL_CHECK_TAG(server, WebServerTag);
    if (active == 1)
        return server->Active ? 1 : Activate(server);
    if (server->Active)
        Deactivate(server);
    return 1;
}

int WebServer_Process(WebServerStruct *server) {
    ZYL_CHECK_TAG(server, WebServerTag);
    if (!server->Active)
        return 1;
    CheckListener(server);
    server->ServerTime = WebServer_Now(server);
    UpdateDate(server);
    AcceptAll(server);
    WebServerRequestStruct *next = nullptr;
    for (WebServerRequestStruct *request = server->Connections; request != nullptr;
         request = next) {
        next = request->Next;
        if (!WebServer_ProcessConnection(server, request) || request->Closed) {
            Zyl_Print("0x%p: Close (%.1f)\n", (void *)request->Socket,
                      server->ServerTime - request->LastActivity);
            CloseConnection(server, request);
        }
    }
    RunTimer(server);
    return 1;
}

int WebServer_Wait(WebServerStruct *server, int ms) {
    ZYL_CHECK_TAG(server, WebServerTag);
    double now = WebServer_Now(server);
    double deadline = server->Active ? NextDeadline(server, now) : -1;
    int timeout = ms;
    int due = 0; // the time-out is a deadline's, not the caller's
    if (deadline >= 0) {
        double limit = ceil(deadline * 1000.0);
        int deadlineMs = limit < 1e9 ? (int)limit : 1000000000;
        if (timeout < 0 || deadlineMs <= timeout) {
            timeout = deadlineMs;
            due = 1;
        }
    }
    if (!server->Active && timeout < 0)
        return 0;
    int count = FillPollSet(server, now);
    int ready = poll(server->PollSet, (nfds_t)count, timeout);
    if (ready < 0) {
        if (errno != EINTR)
            Zyl_Print("WebServer_Wait() poll failed %d\n", errno);
        return 0;
    }
    if (server->PollSet[0].revents & POLLIN) {
        uint64_t counter = 0;
        if (read(server->WakeFd, &counter, sizeof counter) < 0)
            counter = 0; // drained by another wait already
    }
    return ready > 0 || due;
}

int WebServer_Wake(WebServerStruct *server) {
    ZYL_CHECK_TAG(server, WebServerTag);
    uint64_t one = 1;
    if (write(server->WakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
        Zyl_Print("WebServer_Wake() write(eventfd) failed %d\n", errno);
    return 1;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int WebServer_SetPort(WebServerStruct *server, int port) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->Port = port;
    return 1;
}

int WebServer_SetBindAddress(WebServerStruct *server, const uint8_t address[4]) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(address);
    memcpy(server->BindAddress, address, 4);
    return 1;
}

int WebServer_SetDefaultDocument(WebServerStruct *server, const char *document) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(document);
    if (Zyl_StrLen(document) >= (int)sizeof(server->DefaultDocument))
        return 0;
    Zyl_StrCopy(server->DefaultDocument, document, sizeof(server->DefaultDocument));
    return 1;
}

int WebServer_SetThreaded(WebServerStruct *server, int threaded) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->Threaded = threaded;
    return 1;
}

int WebServer_SetVerbose(WebServerStruct *server, int verbose) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->Verbose = verbose;
    return 1;
}

int WebServer_SetKeepAlive(WebServerStruct *server, int allowed) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->KeepAlive = allowed;
    return 1;
}

int WebServer_SetIdleTimeout(WebServerStruct *server, int seconds) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->IdleTimeout = seconds;
    return 1;
}

int WebServer_SetMaxConnections(WebServerStruct *server, int count) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->MaxConnections = count < 1 ? 1 : count;
    ReservePollSet(server, server->MaxConnections + 2);
    return 1;
}

int WebServer_SetClock(WebServerStruct *server, WebServerClock clock) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->Clock = clock;
    return 1;
}

int WebServer_SetHeaderCallback(WebServerStruct *server, void *user,
                                WebServerHeaderCallback callback) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->HeaderCallback = callback;
    server->HeaderUser = user;
    return 1;
}

int WebServer_SetRequestCallback(WebServerStruct *server, void *user,
                                 WebServerRequestCallback callback) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->RequestCallback = callback;
    server->RequestUser = user;
    return 1;
}

int WebServer_SetBodyCallback(WebServerStruct *server, void *user, WebServerBodyCallback callback) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->BodyCallback = callback;
    server->BodyUser = user;
    return 1;
}

int WebServer_SetCloseCallback(WebServerStruct *server, void *user,
                               WebServerCloseCallback callback) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->CloseCallback = callback;
    server->CloseUser = user;
    return 1;
}

int WebServer_SetTimerCallback(WebServerStruct *server, void *user,
                               WebServerTimerCallback callback) {
    ZYL_CHECK_TAG(server, WebServerTag);
    server->TimerCallback = callback;
    server->TimerUser = user;
    return 1;
}

int WebServer_GetListenPort(WebServerStruct *server, int *port) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(port);
    *port = LoadShared(&server->BoundPort);
    return *port != 0;
}

int WebServer_GetConnectionCount(WebServerStruct *server, int *count) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(count);
    *count = LoadShared(&server->ConnectionCount);
    return 1;
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

const char *WebServer_StatusText(int code) {
    for (const auto &row : kStatusTexts) {
        if (row.Code == code)
            return row.Text;
    }
    Zyl_Print("Bad status message (%d)\n", code);
    return "Internal Server Error";
}

int WebServer_AddMimeType(WebServerStruct *server, const char *extension, const char *type,
                          const char *subtype) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(extension);
    ZYL_CHECK_PTR(type);
    ZYL_CHECK_PTR(subtype);
    WebServerMimeRecord *row = static_cast<WebServerMimeRecord *>(
        POOL_ALLOC(server->MimePool, sizeof(WebServerMimeRecord)));
    Zyl_StrCopy(row->Extension, extension, sizeof(row->Extension));
    Zyl_StrCopy(row->Type, type, sizeof(row->Type));
    Zyl_StrCopy(row->Subtype, subtype, sizeof(row->Subtype));
    Zyl_StrCrc32(row->Extension, 0, &row->Crc);
    WebServerMimeRecord *after = nullptr;
    for (WebServerMimeRecord *r = server->MimeList; r != nullptr && r->Crc <= row->Crc;
         r = r->Next) {
        if (r->Crc == row->Crc) {
            ZYL_FATAL("Matching quick CRC's (%s) and (%s)\n", r->Extension, row->Extension);
        }
        after = r;
    }
    WebServerMimeRecord **link = after != nullptr ? &after->Next : &server->MimeList;
    row->Next = *link;
    *link = row;
    server->MimeCount++;
    return 1;
}

int WebServer_GetMimeType(WebServerStruct *server, const char *path, const char **type,
                          const char **subtype) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(type);
    ZYL_CHECK_PTR(subtype);
    *type = "application";
    *subtype = "octet-stream";
    int i = Zyl_StrLen(path);
    while (i > 0 && path[i - 1] != '.') {
        char c = path[i - 1];
        if (c == '/' || c == ':' || c == '\\')
            return 0;
        i--;
    }
    if (i == 0 || path[i] == '\0')
        return 0;
    if (server->Verbose)
        Zyl_Print("Extension = %s\n", path + i);
    char extension[WEBSERVER_PATH_SIZE];
    Zyl_StrCopy(extension, path + i, sizeof(extension));
    uint32_t crc = 0;
    Zyl_StrCrc32(extension, 0, &crc);
    for (WebServerMimeRecord *r = server->MimeList; r != nullptr && r->Crc <= crc; r = r->Next) {
        if (r->Crc == crc) {
            *type = r->Type;
            *subtype = r->Subtype;
            return 1;
        }
    }
    return 0;
}

int WebServer_FormatDate(int64_t seconds, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    time_t t = (time_t)seconds;
    struct tm parts;
    memset(&parts, 0, sizeof(parts));
    gmtime_r(&t, &parts);
    const char *weekday =
        parts.tm_wday >= 0 && parts.tm_wday < 7 ? kWeekdays[parts.tm_wday] : "Unk";
    const char *month = parts.tm_mon >= 0 && parts.tm_mon < 12 ? kMonths[parts.tm_mon] : "Unk";
    Zyl_FormatString(buffer, size, "%s, %.2d %s %d %.2d:%.2d:%.2d GMT", weekday, parts.tm_mday,
                     month, parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return 1;
}
