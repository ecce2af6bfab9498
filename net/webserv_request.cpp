// The embedded HTTP server's connections: request head parsing (bounded by the
// 4096-byte head buffer, strict about the framing a body depends on), the six
// phases from head to finished response, and the request and response
// operations the owner's callbacks use.
#include "net/webserv.h"

#include "core/zyl.h"
#include "net/webserv_internal.h"

#include <cstring>

// Gives the connection an output buffer of the large or the small size,
// keeping the bytes not yet sent. Returns 1.
static int WebServer_SetOutBuffer(WebServerStruct *server, WebServerRequestStruct *r, int large);

namespace {

enum {
    kMaxRounds = 16,         // phase changes per connection and pass
    kBodyRounds = 16,        // full output buffers sent per connection and pass
    kRequestBodyRead = 1024, // request body bytes read per call
};

int IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Copies a token (bytes above blank) after leading blanks; `stop` also ends it.
// Returns the position after the token, or null when it does not fit.
const char *CopyToken(const char *p, char stop, char *out, int size) {
    while (IsBlank(*p))
        p++;
    int n = 0;
    while ((unsigned char)*p > ' ' && *p != stop) {
        if (n >= size - 1)
            return nullptr;
        out[n++] = *p++;
    }
    out[n] = '\0';
    return p;
}

// Length of the head (through its empty line) in In, or 0 when incomplete.
int FindHeadEnd(const WebServerRequestStruct *r) {
    for (int i = 0; i + 1 < r->InCount; i++) {
        if (r->In[i] != '\n')
            continue;
        if (r->In[i + 1] == '\n')
            return i + 2;
        if (i + 2 < r->InCount && r->In[i + 1] == '\r' && r->In[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

WebServerHeaderRecord *FindHeader(WebServerHeaderRecord *list, const char *name) {
    for (WebServerHeaderRecord *h = list; h != nullptr; h = h->Next) {
        if (Zyl_StrEqualNoCase(h->Name, name))
            return h;
    }
    return nullptr;
}

WebServerHeaderRecord *AppendHeader(WebServerStruct *server, WebServerHeaderRecord **list) {
    WebServerHeaderRecord *h =
        static_cast<WebServerHeaderRecord *>(WebServer_TakeBlock(&server->Headers));
    h->Next = nullptr;
    h->Name[0] = '\0';
    h->Value[0] = '\0';
    WebServerHeaderRecord **link = list;
    while (*link != nullptr)
        link = &(*link)->Next;
    *link = h;
    return h;
}

// Request line: method, URL with query, version. 0 when malformed.
int ParseRequestLine(WebServerRequestStruct *r, const char **cursor) {
    const char *p = CopyToken(*cursor, '\0', r->Method, sizeof(r->Method));
    if (p == nullptr)
        return 0;
    p = CopyToken(p, '?', r->URL, sizeof(r->URL));
    if (p == nullptr)
        return 0;
    if (*p == '?') {
        while (*p == '?')
            p++;
        while (*p == '&')
            p++;
        p = CopyToken(p, '\0', r->Query, sizeof(r->Query));
        if (p == nullptr)
            return 0;
    }
    p = CopyToken(p, '\0', r->Version, sizeof(r->Version));
    if (p == nullptr)
        return 0;
    while (*p != '\0' && *p != '\n')
        p++;
    if (*p == '\n')
        p++;
    *cursor = p;
    return r->Method[0] != '\0' && r->URL[0] != '\0' && Zyl_StrStartsWith(r->Version, "HTTP/");
}

int IsControl(char c) {
    return (unsigned char)c < ' ' || c == 0x7f;
}

// The end of the line starting at p: at its CR LF or LF.
int IsLineEnd(const char *p) {
    return *p == '\n' || (p[0] == '\r' && p[1] == '\n');
}

void CopyCut(char *out, const char *begin, const char *end) {
    int n = (int)(end - begin) < WEBSERVER_HEADER_TEXT_SIZE - 1 ? (int)(end - begin)
                                                                : WEBSERVER_HEADER_TEXT_SIZE - 1;
    memcpy(out, begin, (size_t)n);
    out[n] = '\0';
}

// Header lines up to the empty line, each "name: value" (names and values
// longer than 1023 characters are cut). Every line must have this shape: a
// line the server would skip or read differently from a proxy in front of it
// could hide a second request in a body. 0 with *reason otherwise.
int ParseHeaderLines(WebServerStruct *server, WebServerRequestStruct *r, const char *p,
                     const char **reason) {
    while (!IsLineEnd(p) && *p != '\0') {
        if (IsBlank(*p)) {
            *reason = "folded header line";
            return 0;
        }
        const char *name = p;
        while (*p != ':' && !IsBlank(*p) && !IsControl(*p))
            p++;
        if (*p != ':') {
            *reason = IsBlank(*p)    ? "whitespace before the colon"
                      : IsLineEnd(p) ? "header line without a colon"
                                     : "control character in a header name";
            return 0;
        }
        if (p == name) {
            *reason = "header line without a name";
            return 0;
        }
        if (r->RequestHeaderCount >= WEBSERVER_MAX_HEADERS) {
            *reason = "more than 100 header lines";
            return 0;
        }
        WebServerHeaderRecord *h = AppendHeader(server, &r->RequestHeaders);
        r->RequestHeaderCount++;
        CopyCut(h->Name, name, p);
        p++;
        while (IsBlank(*p))
            p++;
        const char *value = p;
        while (!IsLineEnd(p)) {
            if (IsControl(*p) && *p != '\t') {
                *reason = "control character in a header value";
                return 0;
            }
            p++;
        }
        const char *end = p;
        while (end > value && IsBlank(end[-1]))
            end--;
        CopyCut(h->Value, value, end);
        p += *p == '\r' ? 2 : 1;
    }
    return 1;
}

// A Content-Length value: decimal digits only, or a list of equal ones
// ("5, 5"). 0 with *reason otherwise.
int ParseLength(const char *text, int64_t *value, const char **reason) {
    const char *p = text;
    int64_t first = -1;
    for (;;) {
        while (IsBlank(*p))
            p++;
        int64_t n = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; p++, digits++) {
            if (n > (INT64_MAX - (*p - '0')) / 10) {
                *reason = "Content-Length out of range";
                return 0;
            }
            n = n * 10 + (*p - '0');
        }
        while (IsBlank(*p))
            p++;
        if (digits == 0 || (*p != ',' && *p != '\0')) {
            *reason = "Content-Length not a decimal number";
            return 0;
        }
        if (first >= 0 && n != first) {
            *reason = "differing Content-Length values";
            return 0;
        }
        first = n;
        if (*p == '\0')
            break;
        p++;
    }
    *value = first;
    return 1;
}

// The announced body length from every Content-Length line (-1 for none);
// 0 with *reason when one is malformed or they differ.
int ParseContentLength(WebServerRequestStruct *r, int64_t *announced, const char **reason) {
    *announced = -1;
    for (WebServerHeaderRecord *h = r->RequestHeaders; h != nullptr; h = h->Next) {
        if (!Zyl_StrEqualNoCase(h->Name, "Content-Length"))
            continue;
        int64_t value = 0;
        if (!ParseLength(h->Value, &value, reason))
            return 0;
        if (*announced >= 0 && value != *announced) {
            *reason = "differing Content-Length values";
            return 0;
        }
        *announced = value;
    }
    return 1;
}

// The path: scheme and host dropped, backslashes as '/', a leading '/', the
// default document after a trailing '/'. 0 when it does not fit.
int BuildPath(WebServerStruct *server, WebServerRequestStruct *r) {
    const char *u = r->URL;
    int position = 0;
    if (Zyl_StrFind(u, "://", &position)) {
        u += position + 3;
        while (*u != '\0' && *u != '/' && *u != '\\')
            u++;
    }
    char *path = r->Path;
    int size = (int)sizeof(r->Path);
    int n = 0;
    if (*u != '/' && *u != '\\')
        path[n++] = '/';
    for (; *u != '\0'; u++) {
        if (n >= size - 1)
            return 0;
        path[n++] = *u == '\\' ? '/' : *u;
    }
    path[n] = '\0';
    if (path[n - 1] == '/')
        return Zyl_StrAppend(path, server->DefaultDocument, size);
    return 1;
}

void PrintHead(WebServerRequestStruct *r, const char *text, int length, ZylFormat<void *> begin,
               ZylFormat<void *> end) {
    (Zyl_Print)(begin.Text, (void *)r->Socket);
    const char *line = text;
    for (int i = 0; i < length; i++) {
        if (text[i] != '\n')
            continue;
        char buffer[WEBSERVER_HEAD_SIZE];
        int n = (int)(&text[i] - line);
        if (n > 0 && line[n - 1] == '\r')
            n--;
        if (n > (int)sizeof(buffer) - 1)
            n = (int)sizeof(buffer) - 1;
        memcpy(buffer, line, (size_t)n);
        buffer[n] = '\0';
        Zyl_Print("%s\n", buffer);
        line = &text[i + 1];
    }
    (Zyl_Print)(end.Text, (void *)r->Socket);
}

void PrintRequest(WebServerRequestStruct *r) {
    WebServerHeaderRecord *agent = FindHeader(r->RequestHeaders, "User-Agent");
    Zyl_Print("Method [%s]\n", r->Method);
    Zyl_Print("URL [%s] [%s]\n", r->URL, r->Path);
    Zyl_Print("Query (%I64d) [%s]\n", r->ContentLength, r->Query);
    Zyl_Print("User Agent [%s]\n", agent != nullptr ? agent->Value : "");
    Zyl_Print("Version [%s]\n", r->Version);
    Zyl_Print("Persistent [%s]\n", r->KeepAlive ? "True" : "False");
    for (WebServerHeaderRecord *h = r->RequestHeaders; h != nullptr; h = h->Next)
        Zyl_Print("Header [%s][%s]\n", h->Name, h->Value);
}

// Parses the head in In[0..HeadLength). 0 with *reason for a malformed head.
int ParseHead(WebServerStruct *server, WebServerRequestStruct *r, const char **reason) {
    char head[WEBSERVER_HEAD_SIZE + 1];
    memcpy(head, r->In, (size_t)r->HeadLength);
    head[r->HeadLength] = '\0';
    WebServer_FreeHeaders(server, &r->ResponseHeaders);
    r->ResponseCode = 0;
    if (memchr(head, '\0', (size_t)r->HeadLength) != nullptr) {
        *reason = "NUL byte in the head";
        return 0;
    }
    const char *p = head;
    if (!ParseRequestLine(r, &p)) {
        *reason = "malformed request line";
        return 0;
    }
    if (!ParseHeaderLines(server, r, p, reason))
        return 0;
    if (!BuildPath(server, r)) {
        *reason = "path too long";
        return 0;
    }
    int64_t announced = 0;
    if (!ParseContentLength(r, &announced, reason))
        return 0;
    if (announced < 0)
        announced = 0;
    if (Zyl_StrEqual(r->Method, "POST"))
        r->ContentLength = announced;
    WebServerHeaderRecord *h = FindHeader(r->RequestHeaders, "Connection");
    r->KeepAlive = server->KeepAlive && h != nullptr && Zyl_StrEqualNoCase(h->Value, "Keep-Alive");
    // A body this server does not read would be taken for the next request.
    if (FindHeader(r->RequestHeaders, "Transfer-Encoding") != nullptr ||
        (announced > 0 && r->ContentLength == 0))
        r->KeepAlive = 0;
    r->NoBody = Zyl_StrEqual(r->Method, "HEAD");
    return 1;
}

void Consume(WebServerRequestStruct *r, int count) {
    memmove(r->In, r->In + count, (size_t)(r->InCount - count));
    r->InCount -= count;
}

// Writes pending output; 0 on a write failure.
int SendPending(WebServerStruct *server, WebServerRequestStruct *r) {
    while (r->OutPosition < r->OutCount) {
        int count = 0;
        if (!Socket_Write(r->Socket, r->Out + r->OutPosition, r->OutCount - r->OutPosition, &count))
            return 0;
        if (count == 0)
            return 1;
        r->OutPosition += count;
        r->LastActivity = server->ServerTime;
    }
    r->OutPosition = 0;
    r->OutCount = 0;
    return 1;
}

int Pending(const WebServerRequestStruct *r) {
    return r->OutCount - r->OutPosition;
}

// The request head has been read: parse it, run the header callback and pass
// body bytes already read to the sink.
int HeadComplete(WebServerStruct *server, WebServerRequestStruct *r) {
    if (server->HeaderDump)
        PrintHead(r, r->In, r->HeadLength, "-------------- [0x%p] Header In Begin --\n",
                  "-------------- [0x%p] Header In End ----\n");
    const char *reason = "";
    if (!ParseHead(server, r, &reason)) {
        Zyl_Print("0x%p: Bad request head (%s)\n", (void *)r->Socket, reason);
        r->BadHead = 1;
        Consume(r, r->HeadLength);
        WebServer_SetResponseCode(server, r, 400, 0);
        r->Phase = WEBSERVER_PHASE_ANSWER;
        return 1;
    }
    if (server->Verbose)
        PrintRequest(r);
    if (server->HeaderCallback != nullptr &&
        !server->HeaderCallback(server, r, server->HeaderUser, &r->Slot)) {
        r->Closed = 1;
        return 1;
    }
    Consume(r, r->HeadLength);
    if (r->ContentLength == 0) {
        r->Phase = WEBSERVER_PHASE_ANSWER;
        return 1;
    }
    int64_t take = r->InCount < r->ContentLength ? r->InCount : r->ContentLength;
    r->BodyReceived = take;
    if (server->BodySink == nullptr) {
        r->KeepAlive = 0; // the rest of the body stays unread
        r->Phase = WEBSERVER_PHASE_ANSWER;
        return 1;
    }
    int accepted = take == 0 || server->BodySink(server, r, server->BodySinkUser, r->In, (int)take);
    Consume(r, (int)take);
    if (!accepted)
        r->KeepAlive = 0;
    r->Phase = accepted && r->BodyReceived < r->ContentLength ? WEBSERVER_PHASE_REQUEST_BODY
                                                              : WEBSERVER_PHASE_ANSWER;
    return 1;
}

int PhaseHeader(WebServerStruct *server, WebServerRequestStruct *r) {
    r->HeadLength = FindHeadEnd(r);
    if (r->HeadLength == 0) {
        if (r->InCount >= WEBSERVER_HEAD_SIZE) {
            Zyl_Print("0x%p: Request head larger than %d bytes\n", (void *)r->Socket,
                      WEBSERVER_HEAD_SIZE);
            return 0;
        }
        int count = 0;
        if (!Socket_Read(r->Socket, r->In + r->InCount, WEBSERVER_HEAD_SIZE - r->InCount, &count))
            return 0;
        if (count == 0)
            return 1;
        r->InCount += count;
        r->LastActivity = server->ServerTime;
        r->HeadLength = FindHeadEnd(r);
        if (r->HeadLength == 0 && r->InCount >= WEBSERVER_HEAD_SIZE) {
            Zyl_Print("0x%p: Request head larger than %d bytes\n", (void *)r->Socket,
                      WEBSERVER_HEAD_SIZE);
            return 0;
        }
        if (r->HeadLength == 0)
            return 1;
    }
    return HeadComplete(server, r);
}

int PhaseRequestBody(WebServerStruct *server, WebServerRequestStruct *r) {
    char buffer[kRequestBodyRead];
    int64_t left = r->ContentLength - r->BodyReceived;
    int want = left < kRequestBodyRead ? (int)left : kRequestBodyRead;
    int count = 0;
    if (!Socket_Read(r->Socket, buffer, want, &count))
        return 0;
    if (count == 0)
        return 1;
    r->LastActivity = server->ServerTime;
    r->BodyReceived += count;
    if (!server->BodySink(server, r, server->BodySinkUser, buffer, count)) {
        r->KeepAlive = 0;
        r->Phase = WEBSERVER_PHASE_ANSWER;
    } else if (r->BodyReceived >= r->ContentLength) {
        r->Phase = WEBSERVER_PHASE_ANSWER;
    }
    return 1;
}

// Appends formatted text to the output; 0 when it does not fit.
int AppendOut(WebServerRequestStruct *r, ZylFormat<const char *, const char *> format,
              const char *a, const char *b) {
    int room = r->OutSize - r->OutCount;
    int n = (Zyl_FormatString)(r->Out + r->OutCount, room, format.Text, a, b);
    if (n >= room - 1)
        return 0;
    r->OutCount += n;
    return 1;
}

int BuildResponseHead(WebServerStruct *server, WebServerRequestStruct *r) {
    r->OutPosition = 0;
    if (r->ResponseCode == 0)
        r->OutCount =
            Zyl_FormatString(r->Out, r->OutSize, "HTTP/1.1 %d Response code not set\r\n", 500);
    else
        r->OutCount = Zyl_FormatString(r->Out, r->OutSize, "HTTP/1.1 %d %s\r\n", r->ResponseCode,
                                       WebServer_StatusText(r->ResponseCode));
    for (WebServerHeaderRecord *h = r->ResponseHeaders; h != nullptr; h = h->Next) {
        if (!AppendOut(r, "%s: %s\r\n", h->Name, h->Value)) {
            Zyl_Print("0x%p: Response head larger than %d bytes\n", (void *)r->Socket, r->OutSize);
            return 0;
        }
    }
    if (!AppendOut(r, "\r\n%s%s", "", ""))
        return 0;
    if (server->HeaderDump)
        PrintHead(r, r->Out, r->OutCount, "-------------- [0x%p] Header Out Begin --\n",
                  "-------------- [0x%p] Header Out End ----\n");
    return 1;
}

int PhaseAnswer(WebServerStruct *server, WebServerRequestStruct *r) {
    if (!r->BadHead) {
        int answered = server->RequestCallback != nullptr &&
                       server->RequestCallback(server, r, server->RequestUser, &r->Slot);
        if (!answered)
            WebServer_SetResponseCode(server, r, 501, 0);
        if (server->ServerTime < r->HoldUntil)
            return 1;
    }
    WebServer_SetOutBuffer(server, r,
                           !r->NoBody && !r->BadHead && r->ResponseLength > WEBSERVER_LARGE_BODY);
    if (!BuildResponseHead(server, r))
        return 0;
    r->Phase = WEBSERVER_PHASE_SEND_HEAD;
    return 1;
}

// The head goes out on its own only for head-only answers; otherwise the
// body phase sends it together with the first body bytes.
int PhaseSendHead(WebServerStruct *server, WebServerRequestStruct *r) {
    if (!r->NoBody && !r->BadHead) {
        r->Phase = WEBSERVER_PHASE_BODY;
        return 1;
    }
    if (!SendPending(server, r))
        return 0;
    if (Pending(r) == 0)
        r->Phase = WEBSERVER_PHASE_FINISH;
    return 1;
}

// Fills the output from the body callback, 4096 bytes a call, until it is
// full, the body is done or nothing more is available. Returns bytes added.
int GatherBody(WebServerStruct *server, WebServerRequestStruct *r) {
    int added = 0;
    while (r->OutCount + WEBSERVER_PIECE_SIZE <= r->OutSize) {
        if (server->BodyCallback == nullptr) {
            r->BodyEnded = 1;
            break;
        }
        int done = 0;
        int written = 0;
        int result = server->BodyCallback(server, r, server->BodyUser, &r->Slot, &done,
                                          r->Out + r->OutCount, WEBSERVER_PIECE_SIZE, &written);
        if (written < 0 || written > WEBSERVER_PIECE_SIZE) {
            ZYL_FATAL("Body callback wrote %d of %d bytes\n", written, WEBSERVER_PIECE_SIZE);
        }
        r->OutCount += written;
        added += written;
        if (!result) {
            r->BodyEnded = 1;
            break;
        }
        if (done) {
            r->Phase = WEBSERVER_PHASE_FINISH;
            break;
        }
        if (written == 0)
            break; // nothing available yet: try again on a later pass
    }
    return added;
}

// Tops up the output from the body callback while none of it has been sent
// (held connections get no body), and sends. The connection closes after the
// piece of a callback that asked for it.
int PhaseBody(WebServerStruct *server, WebServerRequestStruct *r) {
    for (int round = 0; round < kBodyRounds; round++) {
        int held = server->ServerTime < r->HoldUntil;
        int asked = 0;
        int added = 0;
        if (!held && !r->BodyEnded && r->OutPosition == 0 &&
            r->OutCount + WEBSERVER_PIECE_SIZE <= r->OutSize) {
            asked = 1;
            added = GatherBody(server, r);
        }
        if (!SendPending(server, r))
            return 0;
        if (r->Phase != WEBSERVER_PHASE_BODY || Pending(r) > 0)
            return 1; // done, or waiting for the socket
        if (r->BodyEnded) {
            r->Closed = 1;
            return 1;
        }
        // Held, or the owner had nothing yet: wait for the hold's end or a
        // wake. A round that only finished sending goes on to gather.
        if (held || (asked && added == 0))
            return 1;
    }
    r->RunAgain = 1; // more body to gather: the next wait must not sleep
    return 1;
}

int PhaseFinish(WebServerStruct *server, WebServerRequestStruct *r) {
    if (!SendPending(server, r))
        return 0;
    if (Pending(r) > 0)
        return 1;
    if (!r->KeepAlive) {
        r->Closed = 1;
        return 1;
    }
    if (server->CloseCallback != nullptr)
        server->CloseCallback(server, r, server->CloseUser, &r->Slot);
    r->Slot = nullptr;
    WebServer_ResetRequest(server, r);
    return 1;
}

} // namespace

void WebServer_FreeHeaders(WebServerStruct *server, WebServerHeaderRecord **list) {
    while (*list != nullptr) {
        WebServerHeaderRecord *h = *list;
        *list = h->Next;
        WebServer_GiveBlock(&server->Headers, h);
    }
}

static int WebServer_SetOutBuffer(WebServerStruct *server, WebServerRequestStruct *r, int large) {
    int size = large ? WEBSERVER_LARGE_OUT_SIZE : WEBSERVER_OUT_SIZE;
    if (r->OutSize == size)
        return 1;
    char *out =
        static_cast<char *>(WebServer_TakeBlock(large ? &server->LargeBuffers : &server->Buffers));
    int pending = r->Out != nullptr ? Pending(r) : 0;
    if (pending > size) {
        ZYL_FATAL("Output buffer of %d bytes too small for %d pending\n", size, pending);
    }
    if (pending > 0)
        memcpy(out, r->Out + r->OutPosition, (size_t)pending);
    WebServer_FreeOutBuffer(server, r);
    r->Out = out;
    r->OutSize = size;
    r->OutPosition = 0;
    r->OutCount = pending;
    return 1;
}

void WebServer_FreeOutBuffer(WebServerStruct *server, WebServerRequestStruct *r) {
    if (r->Out == nullptr)
        return;
    WebServer_GiveBlock(
        r->OutSize == WEBSERVER_LARGE_OUT_SIZE ? &server->LargeBuffers : &server->Buffers, r->Out);
    r->Out = nullptr;
    r->OutSize = 0;
}

void WebServer_ResetRequest(WebServerStruct *server, WebServerRequestStruct *r) {
    WebServer_FreeOutBuffer(server, r);
    WebServer_FreeHeaders(server, &r->RequestHeaders);
    WebServer_FreeHeaders(server, &r->ResponseHeaders);
    r->RequestHeaderCount = 0;
    r->HeadLength = 0;
    r->OutPosition = 0;
    r->OutCount = 0;
    r->Method[0] = '\0';
    r->Version[0] = '\0';
    r->URL[0] = '\0';
    r->Query[0] = '\0';
    r->Path[0] = '\0';
    r->ResponseCode = 0;
    r->ResponseLength = 0;
    r->ContentLength = 0;
    r->BodyReceived = 0;
    r->Phase = WEBSERVER_PHASE_HEADER;
    r->KeepAlive = 0;
    r->Closed = 0;
    r->NoBody = 0;
    r->BadHead = 0;
    r->BodyEnded = 0;
    r->RunAgain = 0;
    r->HoldUntil = 0;
    r->HeadStart = server->ServerTime;
}

int WebServer_ProcessConnection(WebServerStruct *server, WebServerRequestStruct *r) {
    double now = server->ServerTime;
    if (now < r->HoldUntil) {
        r->LastActivity = now;
    } else if (now - r->LastActivity > server->IdleTimeout) {
        Zyl_Print("0x%p: Timeout on connection [%.1f]\n", (void *)r->Socket, now - r->LastActivity);
        r->Closed = 1;
        return 1;
    } else if (r->Phase == WEBSERVER_PHASE_HEADER && now - r->HeadStart > server->IdleTimeout) {
        // A byte now and then must not keep a connection: the whole head
        // has the idle time-out to arrive.
        Zyl_Print("0x%p: Request head not complete after %.1f s\n", (void *)r->Socket,
                  now - r->HeadStart);
        r->Closed = 1;
        return 1;
    }
    r->RunAgain = 0;
    int round = 0;
    for (; round < kMaxRounds && !r->Closed; round++) {
        int phase = r->Phase;
        int ok = 1;
        switch (phase) {
        case WEBSERVER_PHASE_HEADER:
            ok = PhaseHeader(server, r);
            break;
        case WEBSERVER_PHASE_REQUEST_BODY:
            ok = PhaseRequestBody(server, r);
            break;
        case WEBSERVER_PHASE_ANSWER:
            ok = PhaseAnswer(server, r);
            break;
        case WEBSERVER_PHASE_SEND_HEAD:
            ok = PhaseSendHead(server, r);
            break;
        case WEBSERVER_PHASE_BODY:
            ok = PhaseBody(server, r);
            break;
        case WEBSERVER_PHASE_FINISH:
            ok = PhaseFinish(server, r);
            break;
        default:
            Zyl_Print("Unknown phase on connection (%d)\n", phase);
            return 0;
        }
        if (!ok)
            return 0;
        if (r->Phase == phase)
            break;
    }
    if (round == kMaxRounds)
        r->RunAgain = 1; // still changing phases (pipelined requests)
    return 1;
}

int WebServer_ParseRequestHead(WebServerStruct *server, const char *data, int length,
                               const char **reason) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_PTR(data);
    const char *ignored = nullptr;
    if (reason == nullptr)
        reason = &ignored;
    *reason = "";
    WebServerRequestStruct *r = ZYL_NEW(WebServerRequestStruct);
    r->Tag = WebServerRequestTag;
    r->InCount = length < WEBSERVER_HEAD_SIZE ? (length > 0 ? length : 0) : WEBSERVER_HEAD_SIZE;
    memcpy(r->In, data, (size_t)r->InCount);
    r->HeadLength = FindHeadEnd(r);
    int ok = 0;
    if (r->HeadLength == 0)
        *reason =
            r->InCount >= WEBSERVER_HEAD_SIZE ? "head larger than 4096 bytes" : "incomplete head";
    else
        ok = ParseHead(server, r, reason);
    WebServer_FreeHeaders(server, &r->RequestHeaders);
    WebServer_FreeHeaders(server, &r->ResponseHeaders);
    r->Tag = Zyl_DeadTag;
    ZYL_FREE(r, sizeof(WebServerRequestStruct));
    if (server->ConnectionCount == 0)
        WebServer_ReleaseSpares(server);
    return ok;
}

// ---------------------------------------------------------------------------
// Per connection
// ---------------------------------------------------------------------------

int WebServer_GetRequestURL(WebServerStruct *server, WebServerRequestStruct *request,
                            const char **text) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(text);
    *text = request->URL;
    return 1;
}

int WebServer_GetRequestPath(WebServerStruct *server, WebServerRequestStruct *request,
                             const char **text) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(text);
    *text = request->Path;
    return 1;
}

int WebServer_GetQuery(WebServerStruct *server, WebServerRequestStruct *request,
                       const char **text) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(text);
    *text = request->Query;
    return 1;
}

int WebServer_GetMethod(WebServerStruct *server, WebServerRequestStruct *request,
                        const char **text) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(text);
    *text = request->Method;
    return 1;
}

int WebServer_GetConnectionTime(WebServerStruct *server, WebServerRequestStruct *request,
                                double *seconds) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(seconds);
    *seconds = request->AcceptTime;
    return 1;
}

int WebServer_HoldConnection(WebServerStruct *server, WebServerRequestStruct *request,
                             double seconds) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    request->HoldUntil = seconds > 0 ? server->ServerTime + seconds : 0;
    request->LastActivity = server->ServerTime;
    return 1;
}

int WebServer_GetRequestHeader(WebServerStruct *server, WebServerRequestStruct *request,
                               const char *name, char *value, int size) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    if (size > 0)
        value[0] = '\0';
    WebServerHeaderRecord *h = FindHeader(request->RequestHeaders, name);
    if (h == nullptr)
        return 0;
    Zyl_StrCopy(value, h->Value, size);
    return 1;
}

int WebServer_SetResponseHeader(WebServerStruct *server, WebServerRequestStruct *request,
                                const char *name, const char *value) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    WebServerHeaderRecord *h = FindHeader(request->ResponseHeaders, name);
    if (h == nullptr) {
        h = AppendHeader(server, &request->ResponseHeaders);
        Zyl_StrCopy(h->Name, name, sizeof(h->Name));
    }
    Zyl_StrCopy(h->Value, value, sizeof(h->Value));
    return 1;
}

int WebServer_SetResponseCode(WebServerStruct *server, WebServerRequestStruct *request, int code,
                              int64_t length) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    WebServer_FreeHeaders(server, &request->ResponseHeaders);
    request->ResponseCode = code;
    request->ResponseLength = length;
    Zyl_Print("Response code set [%d:%I64d]\n", code, length);
    WebServer_SetResponseHeader(server, request, "Server", "Zyl-Web 0.80 (Beta)");
    WebServer_SetResponseHeader(server, request, "Date", server->DateText);
    const char *type = nullptr;
    const char *subtype = nullptr;
    WebServer_GetMimeType(server, request->Path, &type, &subtype);
    char text[WEBSERVER_HEADER_TEXT_SIZE];
    Zyl_FormatString(text, sizeof(text), "%s/%s", type, subtype);
    WebServer_SetResponseHeader(server, request, "Content-Type", text);
    if (length != 0) {
        Zyl_FormatString(text, sizeof(text), "%I64d", length);
        WebServer_SetResponseHeader(server, request, "Content-Length", text);
        WebServer_SetResponseHeader(server, request, "Accept-Ranges", "bytes");
    } else {
        request->KeepAlive = 0;
    }
    WebServer_SetResponseHeader(server, request, "Connection",
                                request->KeepAlive ? "keep-alive" : "close");
    WebServer_SetResponseHeader(server, request, "Pragma", "no-cache");
    return 1;
}
