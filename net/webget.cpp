// The HTTP client's record: creation with its defaults, settings, extra headers
// and cookies, results and the text utilities. The request and reply head are
// in webget_request.cpp, the phase machine and body in webget_transfer.cpp.
#include "net/webget.h"

#include "core/base64.h"
#include "core/pool.h"
#include "core/zyl.h"
#include "net/webget_internal.h"

#include <cstring>

const char WebGetTag[] = "webget";

namespace {

int PlainConnect(WebGetStruct *web, void *, const uint8_t address[4], int port) {
    if (Socket_Connect(web->Socket, address, port))
        return 1;
    Zyl_Print("Unable to connect [%s] to machine %d.%d.%d.%d:%d\n",
              Socket_GetLastErrorString(web->Socket), address[0], address[1], address[2],
              address[3], port);
    Socket_Close(web->Socket);
    return 0;
}

int PlainReady(WebGetStruct *, void *) {
    return 1;
}

int PlainWrite(WebGetStruct *web, void *, const void *data, int length, int *count) {
    return Socket_Write(web->Socket, data, length, count);
}

// 1 when the cookie goes with a request to `host` (without port).
int CookieMatches(WebGetStruct *web, const WebGetCookieRecord *c, const char *host) {
    if (c->Secure)
        return 0;
    if (c->Domain[0] == '\0' || web->Settings.CookiesToAllHosts)
        return 1;
    return WebGet_DomainCovers(c->Domain, host);
}

const struct {
    int Code;
    const char *Text;
} kResultTexts[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No content"},
    {206, "Partial content"},
    {301, "Moved permanently"},
    {302, "Moved temporarily"},
    {304, "Not modified"},
    {400, "Bad request"},
    {401, "Authorization required"},
    {403, "Forbidden"},
    {404, "Object not found"},
    {500, "Internal server error"},
    {501, "Not implemented"},
    {502, "Bad gateway"},
    {503, "Service unavailable"},
    {950, "Unable to connect"},
    {951, "No DNS entry found for host"},
    {952, "Unable to establish transport"},
    {953, "Socket error"},
    {954, "Byte range failure"},
    {955, "Chunked error"},
    {956, "User abort"},
    {957, "Blocked redirection"},
    {958, "Reset"},
    {959, "Exceeded size limit"},
    {960, "Error decompressing content"},
    {961, "Timeout on I/O"},
    {962, "Partial content"},
};

} // namespace

int WebGet_PlainRead(WebGetStruct *web, void *, void *buffer, int length, int *count) {
    return Socket_Read(web->Socket, buffer, length, count);
}

WebGetHeaderRecord *WebGet_FindExtraHeader(WebGetStruct *web, const char *name) {
    for (WebGetHeaderRecord *h = web->Headers; h != nullptr; h = h->Next) {
        if (Zyl_StrEqualNoCase(h->Name, name))
            return h;
    }
    return nullptr;
}

const char *WebGet_TrimValue(const char *text, int *length) {
    while (*text == ' ' || *text == '\t')
        text++;
    int n = 0;
    while (text[n] != '\0' && text[n] != '\r' && text[n] != '\n')
        n++;
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        n--;
    *length = n;
    return text;
}

double WebGet_Now(WebGetStruct *web) {
    return web->Clock != nullptr ? web->Clock() : Zyl_GetSeconds();
}

int64_t WebGet_EffectiveLimit(WebGetStruct *web) {
    int64_t limit = web->Settings.SizeLimit > 0 ? web->Settings.SizeLimit : 0;
    if (web->ContentCallback == nullptr && (limit == 0 || limit > WEBGET_MEMORY_LIMIT))
        limit = WEBGET_MEMORY_LIMIT;
    return limit;
}

int WebGet_IsInternalAddress(const uint8_t address[4]) {
    const uint8_t a = address[0];
    const uint8_t b = address[1];
    return a == 0 || a == 10 || a == 127 || (a == 169 && b == 254) ||
           (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
           (a == 100 && b >= 64 && b <= 127) || a >= 224;
}

int WebGet_GrowHeaderBuffer(WebGetStruct *web, int needed) {
    if (needed <= web->HeaderSize)
        return 1;
    int size = web->HeaderSize;
    while (size < needed)
        size += WEBGET_BUFFER_STEP;
    char *grown = static_cast<char *>(ZYL_ALLOC(size));
    memcpy(grown, web->HeaderBuffer, (size_t)web->HeaderSize);
    ZYL_FREE(web->HeaderBuffer, web->HeaderSize);
    web->HeaderBuffer = grown;
    web->HeaderSize = size;
    return 1;
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int WebGet_Create(WebGetStruct **web) {
    ZYL_CHECK_PTR(web);
    WebGetStruct *w = ZYL_NEW(WebGetStruct);
    w->Tag = WebGetTag;
    WebGet_InitSettings(&w->Settings);
    w->Accepted = 1;
    w->HeaderSize = WEBGET_BUFFER_STEP;
    w->HeaderBuffer = static_cast<char *>(ZYL_ALLOC(w->HeaderSize));
    w->ReceiveSize = WEBGET_RECEIVE_SIZE;
    w->ReceiveBuffer = static_cast<char *>(ZYL_ALLOC(w->ReceiveSize));
    w->ContentSize = WEBGET_BUFFER_STEP;
    w->Content = static_cast<char *>(ZYL_ALLOC(w->ContentSize));
    Socket_Create(&w->Socket);
    SocketSelect_Create(&w->ReadSet);
    SocketSelect_Create(&w->WriteSet);
    POOL_CREATE(w->HeaderPool);
    Pool_SetMemberSize(w->HeaderPool, sizeof(WebGetHeaderRecord));
    Pool_SetMembersPerChunk(w->HeaderPool, 10);
    POOL_CREATE(w->CookiePool);
    Pool_SetMemberSize(w->CookiePool, sizeof(WebGetCookieRecord));
    Pool_SetMembersPerChunk(w->CookiePool, 10);
    WebGet_SetPlainTransport(w, nullptr);
    w->Transport = &w->Plain;
    w->Phase = WEBGET_PHASE_IDLE;
    *web = w;
    return 1;
}

static void FreeCookies(WebGetStruct *web) {
    while (web->Cookies != nullptr) {
        WebGetCookieRecord *c = web->Cookies;
        web->Cookies = c->Next;
        POOL_FREE(web->CookiePool, c, sizeof(WebGetCookieRecord));
    }
}

static void FreeHeaders(WebGetStruct *web) {
    while (web->Headers != nullptr) {
        WebGetHeaderRecord *h = web->Headers;
        web->Headers = h->Next;
        POOL_FREE(web->HeaderPool, h, sizeof(WebGetHeaderRecord));
    }
}

int WebGet_Destroy(WebGetStruct **web) {
    ZYL_CHECK_PTR(web);
    WebGetStruct *w = *web;
    if (w == nullptr)
        return 1;
    ZYL_CHECK_TAG(w, WebGetTag);
    if (w->Decompressing && w->Compression.End != nullptr)
        w->Compression.End(w, w->Compression.User);
    FreeHeaders(w);
    FreeCookies(w);
    Pool_Destroy(&w->HeaderPool);
    Pool_Destroy(&w->CookiePool);
    Socket_Destroy(&w->Socket);
    SocketSelect_Destroy(&w->ReadSet);
    SocketSelect_Destroy(&w->WriteSet);
    ZYL_FREE(w->HeaderBuffer, w->HeaderSize);
    ZYL_FREE(w->ReceiveBuffer, w->ReceiveSize);
    ZYL_FREE(w->Content, w->ContentSize);
    if (w->DecompressBuffer != nullptr)
        ZYL_FREE(w->DecompressBuffer, w->DecompressSize);
    w->Tag = Zyl_DeadTag;
    ZYL_FREE(w, sizeof(WebGetStruct));
    *web = nullptr;
    return 1;
}

int WebGet_SetURL(WebGetStruct *web, const char *url) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(url);
    Zyl_StrCopy(web->URL, url, sizeof web->URL);
    Zyl_StrCopy(web->CurrentURL, web->URL, sizeof web->CurrentURL);
    WebGet_CleanCurrentURL(web);
    Zyl_StrCopy(web->URL, web->CurrentURL, sizeof web->URL);
    WebGet_SplitURL(web, web->URL);
    web->Status = 0;
    web->Success = 0;
    WebGet_SetPhase(web, WEBGET_PHASE_QUEUED);
    return 1;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int WebGet_InitSettings(WebGetSettingsStruct *settings) {
    ZYL_CHECK_PTR(settings);
    memset(settings, 0, sizeof *settings);
    settings->Blocking = 1;
    settings->HTTPVersion = 1.0;
    settings->CookiesEnabled = 1;
    settings->RetryIncomplete = 1;
    settings->Attempts = 5;
    settings->RetryDelay = 5.0;
    settings->IOTimeout = 15.0;
    settings->ConnectTimeout = 15.0;
    settings->Method = WEBGET_GET;
    settings->ReportBlockedRedirect = 1;
    settings->Deadline = 600.0;
    settings->MinRate = 64;
    settings->RateWindow = 30.0;
    return 1;
}

int WebGet_GetSettings(WebGetStruct *web, WebGetSettingsStruct *settings) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(settings);
    *settings = web->Settings;
    return 1;
}

int WebGet_Configure(WebGetStruct *web, const WebGetSettingsStruct *settings) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(settings);
    const WebGetSettingsStruct *s = settings;
    const char *bad = nullptr;
    if (s->Attempts < 1)
        bad = "attempts below 1";
    else if (s->RetryDelay < 0.0 || s->IOTimeout < 0.0 || s->ConnectTimeout < 0.0 ||
             s->Deadline < 0.0 || s->RateWindow < 0.0)
        bad = "a negative time";
    else if (s->MinRate < 0 || s->RateLimit < 0)
        bad = "a negative rate";
    else if (s->MinRate > 0 && s->RateWindow <= 0.0)
        bad = "a minimum rate without a window";
    else if (s->Method < WEBGET_GET || s->Method > WEBGET_HEAD)
        bad = "an unknown method";
    else if (s->RedirectPolicy < WEBGET_REDIRECT_ANY || s->RedirectPolicy > WEBGET_REDIRECT_PUBLIC)
        bad = "an unknown redirect policy";
    else if (s->KeepAlive && s->HTTPVersion < 1.1)
        bad = "keep-alive below HTTP/1.1";
    if (bad != nullptr) {
        Zyl_Print("WebGet_Configure() settings refused: %s\n", bad);
        return 0;
    }
    web->Settings = *s;
    return 1;
}

int WebGet_SetClock(WebGetStruct *web, WebGetClock clock) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Clock = clock;
    return 1;
}

int WebGet_SetRequestType(WebGetStruct *web, int method) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.Method = method;
    return 1;
}

int WebGet_SetAttempts(WebGetStruct *web, int attempts) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.Attempts = attempts;
    return 1;
}

int WebGet_SetRetryDelay(WebGetStruct *web, int seconds) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.RetryDelay = seconds;
    return 1;
}

int WebGet_SetIOTimeout(WebGetStruct *web, int seconds) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.IOTimeout = seconds;
    return 1;
}

int WebGet_SetHTTPVersion(WebGetStruct *web, double version) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.HTTPVersion = version;
    if (version < 1.1)
        web->Settings.KeepAlive = 0;
    return 1;
}

int WebGet_SetKeepAlive(WebGetStruct *web, int keepAlive) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.KeepAlive = keepAlive;
    if (keepAlive == 1)
        web->Settings.HTTPVersion = 1.1;
    return 1;
}

int WebGet_SetBlocking(WebGetStruct *web, int blocking) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.Blocking = blocking;
    return 1;
}

int WebGet_SetTrace(WebGetStruct *web, int trace) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->Settings.Trace = trace;
    return 1;
}

int WebGet_SetProxy(WebGetStruct *web, const char *url) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(url);
    web->ProxyCredentials[0] = '\0';
    web->UseProxy = 0;
    web->ProxyURL[0] = '\0';
    if (url[0] != '\0') {
        if (!Zyl_StrCopy(web->ProxyURL, url, sizeof web->ProxyURL)) {
            Zyl_Print("WebGet_SetProxy() proxy URL too long [%s]\n", url);
            web->ProxyURL[0] = '\0';
            return 0;
        }
        web->UseProxy = 1;
        char user[256];
        char password[256];
        char host[WEBGET_HOST_SIZE];
        int port = 0;
        if (Socket_ParseURL(url, nullptr, 0, host, sizeof host, &port, nullptr, 0, nullptr, 0, user,
                            sizeof user, password, sizeof password) &&
            (user[0] != '\0' || password[0] != '\0')) {
            char pair[520];
            int length = 0;
            Zyl_FormatString(pair, sizeof pair, "%s:%s", user, password);
            Base64_Encode(pair, Zyl_StrLen(pair), web->ProxyCredentials,
                          sizeof web->ProxyCredentials, &length);
        }
    }
    if (web->Settings.Trace)
        Zyl_Print("Proxy is currently -> %s:[%s]\n", web->UseProxy ? "Enabled" : "Disabled",
                  web->ProxyURL);
    return 1;
}

int WebGet_SetCredentials(WebGetStruct *web, const char *user, const char *password) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(user);
    ZYL_CHECK_PTR(password);
    web->Credentials[0] = '\0';
    if (user[0] == '\0' && password[0] == '\0')
        return 1;
    char pair[380];
    if (Zyl_StrLen(user) + Zyl_StrLen(password) + 2 > (int)sizeof pair) {
        Zyl_Print("WebGet_SetCredentials() credentials too long (%d)\n",
                  Zyl_StrLen(user) + Zyl_StrLen(password));
        return 0;
    }
    Zyl_FormatString(pair, sizeof pair, "%s:%s", user, password);
    int length = 0;
    if (!Base64_Encode(pair, Zyl_StrLen(pair), web->Credentials, sizeof web->Credentials,
                       &length)) {
        web->Credentials[0] = '\0';
        return 0;
    }
    return 1;
}

int WebGet_SetPostData(WebGetStruct *web, const void *data, int length) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->PostData = data;
    web->PostLength = data != nullptr && length > 0 ? length : 0;
    return 1;
}

int WebGet_SetRange(WebGetStruct *web, int64_t start, int64_t end) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->RangeStart = start;
    web->RangeEnd = end;
    web->RangeSet = 0;
    return 1;
}

int WebGet_SetByteRange(WebGetStruct *web, int64_t start, int64_t end) {
    ZYL_CHECK_TAG(web, WebGetTag);
    if (start < 0 || end < start)
        return 0;
    web->RangeStart = start;
    web->RangeEnd = end;
    web->RangeSet = 1;
    return 1;
}

int WebGet_SetFilePath(WebGetStruct *web, const char *path) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(web->FilePath, path, sizeof web->FilePath);
    return 1;
}

int WebGet_SetStartCallback(WebGetStruct *web, void *user, WebGetStartCallback callback) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->StartCallback = callback;
    web->StartUser = user;
    return 1;
}

int WebGet_SetContentCallback(WebGetStruct *web, void *user, WebGetContentCallback callback) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->ContentCallback = callback;
    web->ContentUser = user;
    return 1;
}

int WebGet_SetRedirectCallback(WebGetStruct *web, void *user, WebGetRedirectCallback callback) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->RedirectCallback = callback;
    web->RedirectUser = user;
    return 1;
}

int WebGet_SetAcceptCallback(WebGetStruct *web, void *user, WebGetAcceptCallback callback) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->AcceptCallback = callback;
    web->AcceptUser = user;
    return 1;
}

int WebGet_SetHeadersClearedCallback(WebGetStruct *web, void *user,
                                     WebGetHeadersClearedCallback callback) {
    ZYL_CHECK_TAG(web, WebGetTag);
    web->HeadersClearedCallback = callback;
    web->HeadersClearedUser = user;
    return 1;
}

int WebGet_SetSecureTransport(WebGetStruct *web, const WebGetTransportOps *ops) {
    ZYL_CHECK_TAG(web, WebGetTag);
    memset(&web->Secure, 0, sizeof web->Secure);
    if (ops != nullptr)
        web->Secure = *ops;
    return 1;
}

int WebGet_SetPlainTransport(WebGetStruct *web, const WebGetTransportOps *ops) {
    ZYL_CHECK_TAG(web, WebGetTag);
    if (ops != nullptr) {
        web->Plain = *ops;
        return 1;
    }
    memset(&web->Plain, 0, sizeof web->Plain);
    web->Plain.Connect = PlainConnect;
    web->Plain.Ready = PlainReady;
    web->Plain.Read = WebGet_PlainRead;
    web->Plain.Write = PlainWrite;
    return 1;
}

int WebGet_SetCompression(WebGetStruct *web, const WebGetCompressionOps *ops) {
    ZYL_CHECK_TAG(web, WebGetTag);
    memset(&web->Compression, 0, sizeof web->Compression);
    if (ops != nullptr)
        web->Compression = *ops;
    return 1;
}

// ---------------------------------------------------------------------------
// Headers and cookies
// ---------------------------------------------------------------------------

int WebGet_AddHeader(WebGetStruct *web, const char *name, const char *value) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    WebGetHeaderRecord *h = WebGet_FindExtraHeader(web, name);
    if (h == nullptr) {
        h = static_cast<WebGetHeaderRecord *>(POOL_ALLOC(web->HeaderPool, sizeof *h));
        memset(h, 0, sizeof *h);
        Zyl_StrCopy(h->Name, name, sizeof h->Name);
        WebGetHeaderRecord **tail = &web->Headers;
        while (*tail != nullptr)
            tail = &(*tail)->Next;
        *tail = h;
    }
    Zyl_StrCopy(h->Value, value, sizeof h->Value);
    return 1;
}

int WebGet_ClearHeaders(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    FreeHeaders(web);
    if (web->HeadersClearedCallback != nullptr)
        web->HeadersClearedCallback(web, web->HeadersClearedUser);
    return 1;
}

int WebGet_SetCookie(WebGetStruct *web, const char *name, const char *value, const char *path,
                     const char *domain, int secure) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(domain);
    WebGetCookieRecord *c = web->Cookies;
    while (c != nullptr &&
           !(Zyl_StrEqualNoCase(c->Name, name) && Zyl_StrEqualNoCase(c->Domain, domain)))
        c = c->Next;
    const char *verb = "reset";
    if (c == nullptr) {
        verb = "set";
        c = static_cast<WebGetCookieRecord *>(POOL_ALLOC(web->CookiePool, sizeof *c));
        memset(c, 0, sizeof *c);
        WebGetCookieRecord **tail = &web->Cookies;
        while (*tail != nullptr)
            tail = &(*tail)->Next;
        *tail = c;
    }
    Zyl_StrCopy(c->Name, name, sizeof c->Name);
    Zyl_StrCopy(c->Value, value, sizeof c->Value);
    Zyl_StrCopy(c->Path, path, sizeof c->Path);
    Zyl_StrCopy(c->Domain, domain, sizeof c->Domain);
    c->Secure = secure ? 1 : 0;
    if (web->Settings.Trace)
        Zyl_Print("Cookie %s [%s][%s](%s)(%s)[%d]\n", verb, name, value, path, domain, c->Secure);
    return 1;
}

int WebGet_HasCookieForHost(WebGetStruct *web, const char *host) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(host);
    char name[WEBGET_HOST_SIZE];
    WebGet_HostWithoutPort(host, name, sizeof name);
    for (WebGetCookieRecord *c = web->Cookies; c != nullptr; c = c->Next) {
        if (CookieMatches(web, c, name))
            return 1;
    }
    return 0;
}

int WebGet_GetCookieHeader(WebGetStruct *web, char *buffer, int size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = '\0';
    int found = 0;
    for (WebGetCookieRecord *c = web->Cookies; c != nullptr; c = c->Next) {
        if (!CookieMatches(web, c, web->HostName))
            continue;
        if (found)
            Zyl_StrAppend(buffer, "; ", size);
        Zyl_StrAppend(buffer, c->Name, size);
        Zyl_StrAppend(buffer, "=", size);
        Zyl_StrAppend(buffer, c->Value, size);
        found = 1;
    }
    return found;
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

int WebGet_GetStatus(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    return web->Status;
}

int WebGet_ResultText(int status, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    for (const auto &row : kResultTexts) {
        if (row.Code == status)
            return Zyl_StrCopy(buffer, row.Text, size);
    }
    Zyl_FormatString(buffer, size, "Internal server error %d", status);
    return 1;
}

int WebGet_GetStatusText(WebGetStruct *web, char *buffer, int size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    return WebGet_ResultText(web->Status, buffer, size);
}

int WebGet_GetContent(WebGetStruct *web, const char **content, int64_t *size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(content);
    ZYL_CHECK_PTR(size);
    *content = web->Content;
    *size = web->ContentCallback != nullptr ? 0 : web->ContentCount;
    return 1;
}

int WebGet_GetContentLength(WebGetStruct *web, int64_t *length) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(length);
    *length = 0;
    if (!web->HasContentLength || web->Decompressing)
        return 0;
    *length = web->ContentLength;
    return 1;
}

int WebGet_IsPartialContent(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    return web->Status == 206 && web->AcceptRanges ? 1 : 0;
}

int WebGet_GetHeaderValue(WebGetStruct *web, const char *name, char *buffer, int size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = '\0';
    int nameLength = Zyl_StrLen(name);
    if (nameLength > 0 && name[nameLength - 1] == ':')
        nameLength--;
    const char *line = web->HeaderBuffer;
    while (line != nullptr && *line != '\0') {
        if (Zyl_StrEqualNNoCase(line, name, nameLength) && line[nameLength] == ':') {
            int n = 0;
            const char *value = WebGet_TrimValue(line + nameLength + 1, &n);
            if (n == 0)
                return 0;
            if (size > 0) {
                int copy = n < size - 1 ? n : size - 1;
                memcpy(buffer, value, (size_t)copy);
                buffer[copy] = '\0';
            }
            return 1;
        }
        line = strchr(line, '\n');
        if (line != nullptr)
            line++;
    }
    return 0;
}

int WebGet_FindListValue(const char *list, const char *name, char *buffer, int size) {
    ZYL_CHECK_PTR(list);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = '\0';
    int nameLength = Zyl_StrLen(name);
    const char *item = list;
    while (*item != '\0') {
        while (*item == ' ' || *item == ';')
            item++;
        const char *end = strchr(item, ';');
        int itemLength = end != nullptr ? (int)(end - item) : Zyl_StrLen(item);
        if (itemLength > nameLength && Zyl_StrEqualNNoCase(item, name, nameLength)) {
            const char *rest = item + nameLength;
            while (*rest == ' ')
                rest++;
            if (*rest == '=') {
                rest++;
                while (*rest == ' ')
                    rest++;
                int n = (int)(item + itemLength - rest);
                while (n > 0 && rest[n - 1] == ' ')
                    n--;
                if (size > 0) {
                    int copy = n < size - 1 ? n : size - 1;
                    memcpy(buffer, rest, (size_t)(copy > 0 ? copy : 0));
                    buffer[copy > 0 ? copy : 0] = '\0';
                }
                return 1;
            }
        }
        if (end == nullptr)
            break;
        item = end + 1;
    }
    return 0;
}

int WebGet_GetFileName(WebGetStruct *web, char *buffer, int size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(buffer);
    return Zyl_StrCopy(buffer, web->FileName, size);
}

int WebGet_GetServerAddress(WebGetStruct *web, uint8_t address[4]) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(address);
    memcpy(address, web->Server.Address, 4);
    return 1;
}

int WebGet_GetLocalAddress(WebGetStruct *web, uint8_t address[4]) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(address);
    memcpy(address, web->LocalAddress, 4);
    return 1;
}

int WebGet_GetSocket(WebGetStruct *web, SocketStruct **socket) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(socket);
    *socket = web->Socket;
    return 1;
}

int WebGet_GetConnectionCount(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    return web->ConnectionCount;
}

int WebGet_GetRedirectCount(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    return web->Redirects;
}

int64_t WebGet_GetContentCount(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    return web->ContentCount;
}

int WebGet_GetPhaseTime(WebGetStruct *web, int phase, double *seconds) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = 0.0;
    if (phase < 0 || phase >= WEBGET_PHASE_IDLE || phase == web->Phase)
        return 0;
    *seconds = web->PhaseTimes[phase];
    return 1;
}

int WebGet_GetTransferTime(WebGetStruct *web, double *seconds) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = web->End > 0.0 ? web->End - web->ConnectStart : 0.0;
    return 1;
}

int WebGet_GetTotalTime(WebGetStruct *web, double *seconds) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = web->End > 0.0 ? web->End - web->RequestStart : 0.0;
    return 1;
}

// ---------------------------------------------------------------------------
// Text utilities
// ---------------------------------------------------------------------------

int WebGet_FormEncode(const void *data, int length, char *buffer, int size) {
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(buffer);
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    int used = 0;
    if (size > 0)
        buffer[0] = '\0';
    for (int i = 0; i < length; i++) {
        uint8_t b = bytes[i];
        int plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                    b == '*' || b == '-' || b == '.' || b == '_' || b == '@';
        int need = plain || b == ' ' ? 1 : 3;
        if (used + need >= size)
            return 0;
        if (plain)
            buffer[used] = (char)b;
        else if (b == ' ')
            buffer[used] = '+';
        else
            Zyl_FormatString(buffer + used, 4, "%%%.2X", (unsigned)b);
        used += need;
        buffer[used] = '\0';
    }
    return 1;
}

int WebGet_EscapeURL(WebGetStruct *web, const char *source, char *buffer, int size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(source);
    ZYL_CHECK_PTR(buffer);
    int used = 0;
    int inQuery = 0;
    if (size > 0)
        buffer[0] = '\0';
    for (const char *p = source; *p != '\0'; p++) {
        if (*p == '?')
            inQuery = 1;
        int need = *p == ' ' ? 3 : 1;
        if (used + need >= size)
            return 0;
        if (*p == ' ') {
            memcpy(buffer + used, "%20", 3);
        } else {
            buffer[used] = *p == '\\' && !inQuery ? '/' : *p;
        }
        used += need;
        buffer[used] = '\0';
    }
    return 1;
}
