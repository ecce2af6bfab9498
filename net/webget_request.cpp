// The HTTP client's texts: URL splitting and normalizing, the request head, and
// the reply head (finding its end, parsing it, cookies, redirects under the
// policy). Reply heads are untrusted: every field is length-checked and the
// head must end within WEBGET_HEADER_LIMIT bytes.
#include "core/zyl.h"
#include "net/webget.h"
#include "net/webget_internal.h"

#include <cstring>

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Appends bytes to the header buffer, growing it; keeps a NUL after them.
void AppendBytes(WebGetStruct *web, const char *data, int length) {
    WebGet_GrowHeaderBuffer(web, web->HeaderLength + length + 1);
    memcpy(web->HeaderBuffer + web->HeaderLength, data, (size_t)length);
    web->HeaderLength += length;
    web->HeaderBuffer[web->HeaderLength] = '\0';
}

void AppendText(WebGetStruct *web, const char *text) {
    AppendBytes(web, text, Zyl_StrLen(text));
}

void AppendHeaderLine(WebGetStruct *web, const char *name, const char *value) {
    AppendText(web, name);
    AppendText(web, ": ");
    AppendText(web, value);
    AppendText(web, "\r\n");
}

// A standard header, unless an extra header of the same name replaces it; an
// empty value leaves it out.
void StandardHeader(WebGetStruct *web, const char *name, const char *value) {
    WebGetHeaderRecord *extra = WebGet_FindExtraHeader(web, name);
    if (extra != nullptr) {
        extra->Used = 1;
        value = extra->Value;
    }
    if (value[0] != '\0')
        AppendHeaderLine(web, name, value);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// %XX decoding in place.
void UrlDecode(char *text) {
    char *out = text;
    for (const char *in = text; *in != '\0'; in++) {
        if (in[0] == '%' && HexDigit(in[1]) >= 0 && HexDigit(in[2]) >= 0) {
            *out++ = (char)(HexDigit(in[1]) * 16 + HexDigit(in[2]));
            in += 2;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

// Start of the line holding header `name` (no case) at or after `from`, or -1.
int FindHeaderLine(const char *head, const char *name, int from) {
    int nameLength = Zyl_StrLen(name);
    int pos = from;
    while (head[pos] != '\0') {
        if (Zyl_StrEqualNNoCase(head + pos, name, nameLength))
            return pos;
        const char *next = strchr(head + pos, '\n');
        if (next == nullptr)
            return -1;
        pos = (int)(next - head) + 1;
    }
    return -1;
}

// Copies the value after "Name:" on the line at `pos`, trimmed.
void LineValue(const char *head, int pos, int nameLength, char *buffer, int size) {
    int n = 0;
    const char *value = WebGet_TrimValue(head + pos + nameLength, &n);
    int copy = n < size - 1 ? n : size - 1;
    memcpy(buffer, value, (size_t)copy);
    buffer[copy] = '\0';
}

void Trim(char *text) {
    int start = 0;
    while (text[start] == ' ' || text[start] == '\t')
        start++;
    int length = Zyl_StrLen(text + start);
    memmove(text, text + start, (size_t)length + 1);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        text[--length] = '\0';
}

void ParseCookie(WebGetStruct *web, const char *line) {
    char name[WEBGET_NAME_SIZE] = {0};
    char value[1024] = {0};
    char path[WEBGET_NAME_SIZE] = {0};
    char domain[WEBGET_NAME_SIZE] = {0};
    int secure = 0;
    int first = 1;
    const char *item = line;
    while (*item != '\0') {
        const char *end = strchr(item, ';');
        int length = end != nullptr ? (int)(end - item) : Zyl_StrLen(item);
        char part[1600];
        int copy = length < (int)sizeof part - 1 ? length : (int)sizeof part - 1;
        memcpy(part, item, (size_t)copy);
        part[copy] = '\0';
        Trim(part);
        int eq = -1;
        Zyl_StrFindChar(part, '=', &eq);
        if (first) {
            if (eq <= 0)
                return; // no name=value pair: not a cookie
            Zyl_StrCopyUntil(name, part, '=', (int)sizeof name - 1);
            Zyl_StrCopy(value, part + eq + 1, sizeof value);
            first = 0;
        } else if (Zyl_StrEqualNoCase(part, "secure")) {
            secure = 1;
        } else if (eq > 0 && Zyl_StrEqualNNoCase(part, "domain", 6) && eq == 6) {
            Zyl_StrCopy(domain, part + eq + 1, sizeof domain);
            Zyl_StrLower(domain);
        } else if (eq > 0 && Zyl_StrEqualNNoCase(part, "path", 4) && eq == 4) {
            Zyl_StrCopy(path, part + eq + 1, sizeof path);
        }
        if (end == nullptr)
            break;
        item = end + 1;
    }
    if (domain[0] == '\0')
        Zyl_StrCopy(domain, web->HostName, sizeof domain);
    if (!WebGet_DomainCovers(domain, web->HostName)) {
        Zyl_Print("Cookie dropped, domain does not cover host [%s][%s](%s)\n", name, domain,
                  web->HostName);
        return;
    }
    WebGet_SetCookie(web, name, value, path, domain, secure);
}

// Strict decimal: digits only, no sign, no overflow.
int ParseLength(const char *text, int64_t *value) {
    *value = 0;
    if (text[0] == '\0')
        return 0;
    int64_t v = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        if (v > (INT64_MAX - (*p - '0')) / 10)
            return 0;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return 1;
}

// Every "Content-Length:" line must hold the same strict decimal number: a
// reply framed two ways is refused rather than guessed at. 0 when refused.
int ParseContentLength(WebGetStruct *web) {
    const char *head = web->HeaderBuffer;
    char value[WEBGET_URL_SIZE];
    for (int pos = 0; (pos = FindHeaderLine(head, "Content-Length:", pos)) >= 0;) {
        LineValue(head, pos, 15, value, sizeof value);
        int64_t length = 0;
        if (!ParseLength(value, &length)) {
            Zyl_Print("Invalid Content-Length [%s] for '%s'\n", value, web->CurrentURL);
            return 0;
        }
        if (web->HasContentLength && length != web->ContentLength) {
            Zyl_Print("Differing Content-Length values [%I64d][%I64d] for '%s'\n",
                      web->ContentLength, length, web->CurrentURL);
            return 0;
        }
        web->ContentLength = length;
        web->HasContentLength = 1;
        pos += 15;
    }
    return 1;
}

// The only transfer coding taken is "chunked", alone and on one line; any
// other (a list, an unknown coding, a second line) is refused, since the body's
// end could not be found. 0 when refused.
int ParseTransferEncoding(WebGetStruct *web) {
    const char *head = web->HeaderBuffer;
    int pos = FindHeaderLine(head, "Transfer-Encoding:", 0);
    if (pos < 0)
        return 1;
    char value[WEBGET_URL_SIZE];
    LineValue(head, pos, 18, value, sizeof value);
    if (!Zyl_StrEqualNoCase(value, "chunked") ||
        FindHeaderLine(head, "Transfer-Encoding:", pos + 18) >= 0) {
        Zyl_Print("Unsupported Transfer-Encoding [%s] for '%s'\n", value, web->CurrentURL);
        return 0;
    }
    web->Chunked = 1;
    web->HasContentLength = 0; // the chunks delimit the body
    return 1;
}

void ParseFileName(WebGetStruct *web) {
    char name[WEBGET_NAME_SIZE];
    Zyl_StrCopy(name, web->FileName, sizeof name);
    UrlDecode(name);
    char disposition[WEBGET_NAME_SIZE];
    int pos = FindHeaderLine(web->HeaderBuffer, "Content-Disposition:", 0);
    if (pos >= 0) {
        LineValue(web->HeaderBuffer, pos, 20, disposition, sizeof disposition);
        int at = -1;
        if (Zyl_StrFindNoCase(disposition, "filename=", &at)) {
            const char *p = disposition + at + 9;
            int quoted = 0;
            int n = 0;
            char out[WEBGET_NAME_SIZE];
            for (; *p != '\0' && n < (int)sizeof out - 1; p++) {
                if (*p == '"') {
                    quoted = !quoted;
                    continue;
                }
                if (!quoted && (*p == ';' || *p == ' '))
                    break;
                out[n++] = *p;
            }
            out[n] = '\0';
            if (n > 0)
                Zyl_StrCopy(name, out, sizeof name);
        }
    }
    // The name comes from the server: keep only its last path component, so
    // that a caller using it as a file name stays in its folder.
    const char *base = name;
    for (const char *p = name; *p != '\0'; p++) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    if (Zyl_StrEqual(base, "..") || Zyl_StrEqual(base, "."))
        base = "";
    Zyl_StrCopy(web->FileName, base, sizeof web->FileName);
}

// Status line "HTTP/x.y NNN ...": 0 when malformed.
int ParseStatusLine(WebGetStruct *web) {
    const char *head = web->HeaderBuffer;
    if (!Zyl_StrStartsWithNoCase(head, "HTTP/"))
        return 0;
    const char *p = head + 5;
    double version = 0.0;
    int major = 0;
    int minor = 0;
    if (*p < '0' || *p > '9')
        return 0;
    while (*p >= '0' && *p <= '9' && major < 100)
        major = major * 10 + (*p++ - '0');
    if (*p == '.') {
        p++;
        while (*p >= '0' && *p <= '9' && minor < 100)
            minor = minor * 10 + (*p++ - '0');
    }
    version = major + minor / 10.0;
    while (*p == ' ')
        p++;
    int status = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 3) {
        status = status * 10 + (*p++ - '0');
        digits++;
    }
    if (digits != 3)
        return 0;
    web->ReplyVersion = version;
    web->Status = status;
    if (web->Settings.Trace)
        Zyl_Print("HTTP Return value [%d][v%.1f]\n", status, version);
    return 1;
}

// Same top-level domain: compares from the ends, counting dots passed.
int SameTopLevel(const char *a, const char *b) {
    int i = Zyl_StrLen(a) - 1;
    int j = Zyl_StrLen(b) - 1;
    int dots = 0;
    while (i >= 0 && j >= 0) {
        char x = Lower(a[i]);
        char y = Lower(b[j]);
        if (x != y)
            return dots >= 2;
        if (x == '.')
            dots++;
        i--;
        j--;
    }
    if (i < 0 && j < 0)
        return 1;
    char next = i >= 0 ? a[i] : b[j];
    return next == '.';
}

// Scheme, host (any case) and port of two URLs are the same.
int SameOrigin(const char *a, const char *b) {
    char schemeA[16], schemeB[16], hostA[WEBGET_HOST_SIZE], hostB[WEBGET_HOST_SIZE];
    int portA = 0;
    int portB = 0;
    if (!Socket_ParseURL(a, schemeA, sizeof schemeA, hostA, sizeof hostA, &portA, nullptr, 0,
                         nullptr, 0, nullptr, 0, nullptr, 0) ||
        !Socket_ParseURL(b, schemeB, sizeof schemeB, hostB, sizeof hostB, &portB, nullptr, 0,
                         nullptr, 0, nullptr, 0, nullptr, 0))
        return 0;
    return Zyl_StrEqualNoCase(schemeA, schemeB) && Zyl_StrEqualNoCase(hostA, hostB) &&
           portA == portB;
}

// Applies the redirect policy; 1 when the redirect may go on.
int RedirectAllowed(WebGetStruct *web, const char *url) {
    char host[WEBGET_HOST_SIZE] = {0};
    int at = -1;
    if (Zyl_StrFind(url, "://", &at)) {
        Zyl_StrCopyUntil(host, url + at + 3, '/', (int)sizeof host - 1);
        char bare[WEBGET_HOST_SIZE];
        WebGet_HostWithoutPort(host, bare, sizeof bare);
        Zyl_StrCopy(host, bare, sizeof host);
    }
    switch (web->Settings.RedirectPolicy) {
    case WEBGET_REDIRECT_SAME_DOMAIN:
        if (WebGet_DomainCovers(web->HostName, host))
            return 1;
        Zyl_Print("HTTP Redirect blocked because it leaves the domain [%s]\n", url);
        return 0;
    case WEBGET_REDIRECT_SAME_TLD:
        if (SameTopLevel(host, web->HostName))
            return 1;
        Zyl_Print("HTTP Redirect blocked because it leaves TLD [%s]\n", url);
        return 0;
    case WEBGET_REDIRECT_NONE:
        Zyl_Print("HTTP Redirect blocked because none are allowed [%s]\n", url);
        return 0;
    default:
        return 1; // any; public is checked on the address looked up (WebGet_RedirectTargetAllowed)
    }
}

void EndBlocked(WebGetStruct *web) {
    if (web->Settings.ReportBlockedRedirect)
        web->Status = WEBGET_STATUS_REDIRECT;
    WebGet_SetPhase(web, WEBGET_PHASE_EVALUATE);
}

// Handles a 301, 302 or 307 reply; 0 when it has no usable Location (then it
// is treated as a final reply).
int FollowRedirect(WebGetStruct *web) {
    char location[WEBGET_URL_SIZE];
    char url[WEBGET_URL_SIZE];
    if (!WebGet_GetHeaderValue(web, "Location", location, sizeof location) ||
        !WebGet_MakeAbsoluteURL(web, location, url, sizeof url))
        return 0;
    web->Redirects++;
    if (web->Redirects > WEBGET_MAX_REDIRECTS) {
        Zyl_Print("HTTP Redirect loop detected [%s]\n", url);
        EndBlocked(web);
        return 1;
    }
    if (Zyl_StrEqual(url, web->PreviousURL)) {
        Zyl_Print("HTTP Redirect loop detected [%s]\n", url);
        web->Status = WEBGET_STATUS_REDIRECT;
        WebGet_SetPhase(web, WEBGET_PHASE_RETRY);
        return 1;
    }
    if (!RedirectAllowed(web, url)) {
        EndBlocked(web);
        return 1;
    }
    if (web->RedirectCallback != nullptr && !web->RedirectCallback(web, web->RedirectUser, url)) {
        Zyl_Print("HTTP Redirect blocked due to callback response [%s]\n", url);
        web->Status = WEBGET_STATUS_ABORT;
        WebGet_SetPhase(web, WEBGET_PHASE_CLEANUP);
        return 1;
    }
    if (web->Settings.Trace)
        Zyl_Print("HTTP Redirect detected [%s]\n", url);
    Zyl_StrCopy(web->CurrentURL, url, sizeof web->CurrentURL);
    web->Attempt = 0;
    WebGet_SetPhase(web, WEBGET_PHASE_RETRY);
    return 1;
}

} // namespace

// ---------------------------------------------------------------------------
// URLs
// ---------------------------------------------------------------------------

void WebGet_HostWithoutPort(const char *host, char *buffer, int size) {
    if (size < 1)
        return;
    Zyl_StrCopyUntil(buffer, host, ':', size - 1); // copies at most size - 1, then the NUL
    Zyl_StrLower(buffer);
}

int WebGet_DomainCovers(const char *domain, const char *host) {
    if (domain[0] == '.')
        domain++;
    int d = Zyl_StrLen(domain);
    int h = Zyl_StrLen(host);
    if (d == 0 || d > h)
        return 0;
    if (!Zyl_StrEqualNoCase(host + h - d, domain))
        return 0;
    return d == h || host[h - d - 1] == '.';
}

int WebGet_NormalizePath(char *url, int size) {
    ZYL_CHECK_PTR(url);
    int pathStart = 0;
    int at = -1;
    if (Zyl_StrFind(url, "://", &at)) {
        const char *slash = strchr(url + at + 3, '/');
        if (slash == nullptr)
            return 1;
        pathStart = (int)(slash - url);
    }
    int length = Zyl_StrLen(url);
    int query = pathStart;
    while (query < length && url[query] != '?')
        query++;
    int semicolon = pathStart;
    while (semicolon < query && url[semicolon] != ';')
        semicolon++;
    // The path (less any ';' part) is rebuilt segment by segment.
    char *out = static_cast<char *>(ZYL_ALLOC(length + 2));
    int used = 0;
    int in = pathStart;
    while (in < semicolon) {
        int next = in + 1;
        while (next < semicolon && url[next] != '/')
            next++;
        int segment = next - in; // includes a leading '/' when there is one
        const char *s = url + in;
        int slashLead = s[0] == '/';
        int bodyLength = segment - slashLead;
        if (bodyLength == 1 && s[slashLead] == '.') {
            if (next >= semicolon)
                out[used++] = '/';
        } else if (bodyLength == 2 && s[slashLead] == '.' && s[slashLead + 1] == '.') {
            while (used > 0 && out[used - 1] != '/')
                used--; // drop the last segment's name
            if (used > 0)
                used--; // and the '/' before it
            if (next >= semicolon)
                out[used++] = '/';
        } else {
            memcpy(out + used, s, (size_t)segment);
            used += segment;
        }
        in = next;
    }
    if (used == 0 && semicolon > pathStart)
        out[used++] = '/';
    int tail = length - query;
    char *result = static_cast<char *>(ZYL_ALLOC(length + 2));
    memcpy(result, url, (size_t)pathStart);
    memcpy(result + pathStart, out, (size_t)used);
    memcpy(result + pathStart + used, url + query, (size_t)tail);
    result[pathStart + used + tail] = '\0';
    int fits = Zyl_StrCopy(url, result, size);
    ZYL_FREE(out, length + 2);
    ZYL_FREE(result, length + 2);
    return fits;
}

// Puts "http://" before a URL without a scheme, turns backslashes before the
// '?' into '/', and normalizes the path. 0 when the result does not fit.
static int CleanURL(char *url, int size) {
    int at = -1;
    if (!Zyl_StrFind(url, "://", &at)) {
        char copy[WEBGET_URL_SIZE];
        Zyl_FormatString(copy, sizeof copy, "http://%s", url);
        if (!Zyl_StrCopy(url, copy, size))
            return 0;
    }
    for (char *p = url; *p != '\0' && *p != '?'; p++) {
        if (*p == '\\')
            *p = '/';
    }
    return WebGet_NormalizePath(url, size);
}

int WebGet_SplitURL(WebGetStruct *web, const char *url) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(url);
    char copy[WEBGET_URL_SIZE];
    Zyl_StrCopy(copy, url, sizeof copy);
    CleanURL(copy, sizeof copy);
    int query = -1;
    if (Zyl_StrFindChar(copy, '?', &query))
        copy[query] = '\0';
    int at = -1;
    Zyl_StrFind(copy, "://", &at);
    int hostStart = at + 3;
    const char *slash = strchr(copy + hostStart, '/');
    int hostEnd = slash != nullptr ? (int)(slash - copy) : Zyl_StrLen(copy);
    int hostLength = hostEnd - hostStart;
    if (hostLength > WEBGET_HOST_SIZE - 1)
        hostLength = WEBGET_HOST_SIZE - 1;
    memcpy(web->Host, copy + hostStart, (size_t)hostLength);
    web->Host[hostLength] = '\0';
    Zyl_StrLower(web->Host);
    WebGet_HostWithoutPort(web->Host, web->HostName, sizeof web->HostName);
    int last = -1;
    int hasLast = Zyl_StrFindLastChar(copy + hostEnd, '/', &last);
    web->FileName[0] = '\0';
    if (slash == nullptr || !hasLast) {
        Zyl_FormatString(web->BaseURL, sizeof web->BaseURL, "%s/", copy);
    } else {
        int baseLength = hostEnd + last + 1;
        Zyl_StrCopy(web->FileName, copy + baseLength, sizeof web->FileName);
        copy[baseLength] = '\0';
        Zyl_StrCopy(web->BaseURL, copy, sizeof web->BaseURL);
    }
    return 1;
}

int WebGet_MakeAbsoluteURL(WebGetStruct *web, const char *location, char *buffer, int size) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(location);
    ZYL_CHECK_PTR(buffer);
    char text[WEBGET_URL_SIZE];
    if (!Zyl_StrCopy(text, location, sizeof text))
        return 0;
    for (char *p = text; *p != '\0'; p++) {
        if (*p == ' ')
            *p = '+';
    }
    int at = -1;
    int colon = -1;
    int slash = -1;
    int hasColon = Zyl_StrFindChar(text, ':', &colon);
    int hasSlash = Zyl_StrFindChar(text, '/', &slash);
    int fits;
    const char *scheme = web->UsingSecure ? "https" : "http";
    if (Zyl_StrFind(text, "://", &at) || (hasColon && (!hasSlash || colon < slash))) {
        fits = Zyl_StrCopy(buffer, text, size);
    } else if (text[0] == '/' && text[1] == '/') {
        fits = Zyl_FormatString(buffer, size, "%s:%s", scheme, text) < size - 1;
    } else if (text[0] == '/') {
        fits = Zyl_FormatString(buffer, size, "%s://%s%s", scheme, web->Host, text) < size - 1;
    } else {
        fits = Zyl_FormatString(buffer, size, "%s%s", web->BaseURL, text) < size - 1;
    }
    if (!fits) {
        buffer[0] = '\0';
        return 0;
    }
    return WebGet_NormalizePath(buffer, size);
}

int WebGet_CleanCurrentURL(WebGetStruct *web) {
    return CleanURL(web->CurrentURL, WEBGET_URL_SIZE);
}

// ---------------------------------------------------------------------------
// Request
// ---------------------------------------------------------------------------

static const char *MethodName(int method) {
    if (method == WEBGET_POST)
        return "POST";
    if (method == WEBGET_HEAD)
        return "HEAD";
    return "GET";
}

static void BuildRequestLine(WebGetStruct *web, int *queryBody) {
    const char *path = web->CurrentURL;
    if (!web->UseProxy) {
        int at = -1;
        Zyl_StrFind(web->CurrentURL, "://", &at);
        path = strchr(web->CurrentURL + at + 3, '/');
        if (path == nullptr)
            path = "/";
    }
    int pathLength = Zyl_StrLen(path);
    *queryBody = -1;
    int question = -1;
    if (web->Settings.Method == WEBGET_POST && web->PostData == nullptr &&
        Zyl_StrFindChar(path, '?', &question)) {
        Zyl_Print("Post specified without an '?' [%s]...\n", web->CurrentURL);
        *queryBody = (int)(path - web->CurrentURL) + question + 1;
        pathLength = question;
    }
    AppendText(web, MethodName(web->Settings.Method));
    AppendText(web, " ");
    AppendBytes(web, path, pathLength);
    char version[32];
    Zyl_FormatString(version, sizeof version, " HTTP/%.1f\r\n", web->Settings.HTTPVersion);
    AppendText(web, version);
}

int WebGet_BuildRequest(WebGetStruct *web) {
    web->HeaderLength = 0;
    web->HeaderBuffer[0] = '\0';
    for (WebGetHeaderRecord *h = web->Headers; h != nullptr; h = h->Next)
        h->Used = 0;
    int queryBody = -1;
    BuildRequestLine(web, &queryBody);
    const char *body = queryBody >= 0 ? web->CurrentURL + queryBody : nullptr;
    int bodyLength = body != nullptr ? Zyl_StrLen(body) : web->PostLength;
    char value[9000];
    StandardHeader(web, "Accept", "*/*");
    StandardHeader(web, "Accept-Language", "en-us");
    if (web->RangeSet || web->RangeEnd != 0) {
        Zyl_FormatString(value, sizeof value, "bytes=%I64d-%I64d", web->RangeStart, web->RangeEnd);
        StandardHeader(web, "Range", value);
    } else if (web->RangeStart != 0) {
        Zyl_FormatString(value, sizeof value, "bytes=%I64d-", web->RangeStart);
        StandardHeader(web, "Range", value);
    }
    if (web->Settings.Method == WEBGET_POST)
        StandardHeader(web, "Content-Type", "application/x-www-form-urlencoded");
    StandardHeader(web, "User-Agent", "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)");
    StandardHeader(web, "Host", web->Host);
    if (web->Settings.Method == WEBGET_POST) {
        Zyl_FormatString(value, sizeof value, "%d", bodyLength);
        StandardHeader(web, "Content-Length", value);
    }
    StandardHeader(web, "Connection", web->Settings.KeepAlive ? "Keep-Alive" : "close");
    if (web->Settings.CookiesEnabled && WebGet_GetCookieHeader(web, value, sizeof value))
        StandardHeader(web, "Cookie", value);
    StandardHeader(web, "Pragma", "no-cache");
    // Credentials go only to the origin of the URL as set: a redirect to another
    // scheme, host or port does not take them along.
    int sameOrigin = SameOrigin(web->URL, web->CurrentURL);
    if (web->Credentials[0] != '\0' && sameOrigin) {
        Zyl_FormatString(value, sizeof value, "Basic %s", web->Credentials);
        StandardHeader(web, "Authorization", value);
    }
    if (!sameOrigin && web->Settings.Trace && web->Credentials[0] != '\0')
        Zyl_Print("Authorization left out for another origin [%s]\n", web->CurrentURL);
    if (web->UseProxy && web->ProxyCredentials[0] != '\0') {
        Zyl_FormatString(value, sizeof value, "Basic %s", web->ProxyCredentials);
        StandardHeader(web, "Proxy-Authorization", value);
    }
    for (WebGetHeaderRecord *h = web->Headers; h != nullptr; h = h->Next) {
        if (h->Used || h->Value[0] == '\0')
            continue;
        if (web->Settings.Method == WEBGET_HEAD && Zyl_StrEqualNoCase(h->Name, "Accept-Encoding"))
            continue;
        if (!sameOrigin && Zyl_StrEqualNoCase(h->Name, "Authorization"))
            continue;
        AppendHeaderLine(web, h->Name, h->Value);
    }
    AppendText(web, "\r\n");
    web->BodyInline = 0;
    if (body != nullptr) {
        AppendBytes(web, body, bodyLength);
        web->BodyInline = 1;
    } else if (web->Settings.Method == WEBGET_POST && web->PostLength > 0 &&
               web->HeaderLength + web->PostLength < web->HeaderSize) {
        AppendBytes(web, static_cast<const char *>(web->PostData), web->PostLength);
        web->BodyInline = 1;
    }
    web->RequestLength = web->HeaderLength;
    web->RequestSent = 0;
    web->BodySent = 0;
    if (web->Settings.HeaderDump)
        Zyl_Print("%s\n", web->HeaderBuffer);
    return 1;
}

// ---------------------------------------------------------------------------
// Reply head
// ---------------------------------------------------------------------------

int WebGet_FindHeaderEnd(WebGetStruct *web, int from) {
    char *data = web->ReceiveBuffer;
    int start = from > 4 ? from - 4 : 0;
    int end = -1;
    int termLength = 0;
    for (int i = start; i < web->ReceiveLength; i++) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < web->ReceiveLength && data[i + 1] == '\n') {
            end = i;
            termLength = 2;
            break;
        }
        if (i + 2 < web->ReceiveLength && data[i + 1] == '\r' && data[i + 2] == '\n' && i > 0 &&
            data[i - 1] == '\r') {
            end = i - 1;
            termLength = 4;
            break;
        }
    }
    int limit = WEBGET_HEADER_LIMIT - web->HeadBytes; // interim heads used the rest
    if (end < 0)
        return web->ReceiveLength >= limit ? -1 : 0;
    int headLength = end + termLength;
    if (headLength > limit)
        return -1;
    WebGet_GrowHeaderBuffer(web, headLength + 1);
    memcpy(web->HeaderBuffer, data, (size_t)headLength);
    web->HeaderBuffer[headLength] = '\0';
    web->HeaderLength = headLength;
    web->ReceiveLength -= headLength;
    memmove(data, data + headLength, (size_t)web->ReceiveLength);
    return 1;
}

int WebGet_ParseHeader(WebGetStruct *web) {
    const char *head = web->HeaderBuffer;
    if (web->HeaderLength <= 0 || head[0] == '\0') {
        Zyl_Print("Buffer header is not filled for '%s'\n", web->CurrentURL);
        return 0;
    }
    if (web->Settings.HeaderDump)
        Zyl_Print("%s\n", head);
    if (!ParseStatusLine(web)) {
        Zyl_Print("Malformed reply status line for '%s'\n", web->CurrentURL);
        return 0;
    }
    char value[WEBGET_URL_SIZE];
    for (int pos = 0;
         web->Settings.CookiesEnabled && (pos = FindHeaderLine(head, "Set-Cookie:", pos)) >= 0;) {
        LineValue(head, pos, 11, value, sizeof value);
        ParseCookie(web, value);
        const char *next = strchr(head + pos, '\n');
        if (next == nullptr)
            break;
        pos = (int)(next - head) + 1;
    }
    if (!ParseContentLength(web))
        return 0;
    if (web->Compression.Detect != nullptr && web->Compression.Detect(web, web->Compression.User)) {
        web->Decompressing = 1;
        Zyl_Print("Compressed content detected\n");
    }
    if (!ParseTransferEncoding(web))
        return 0;
    ParseFileName(web);
    int pos = FindHeaderLine(head, "Accept-Ranges:", 0);
    if (pos >= 0) {
        LineValue(head, pos, 14, value, sizeof value);
        int at = -1;
        web->AcceptRanges = Zyl_StrFindNoCase(value, "bytes", &at) ? 1 : 0;
    }
    if (web->RangeSet || web->RangeStart != 0 || web->RangeEnd != 0) {
        int redirect = web->Status >= 300 && web->Status < 400;
        int partial = web->Status == 206 && FindHeaderLine(head, "Content-Range:", 0) >= 0;
        if (!redirect && !partial) {
            Zyl_Print("Byterange mismatch %d:[%I64d-%I64d] - starting from 0\n", web->Status,
                      web->RangeStart, web->RangeEnd);
            web->RangeStart = 0;
            web->RangeEnd = 0;
            web->RangeSet = 0;
        }
    }
    return 1;
}

void WebGet_EvaluateHeader(WebGetStruct *web) {
    int status = web->Status;
    if ((status == 301 || status == 302 || status == 307) && FollowRedirect(web))
        return;
    if (web->AcceptCallback != nullptr && !web->AcceptCallback(web, web->AcceptUser)) {
        Zyl_Print("HTTP content blocked due to callback response [%s]\n", web->CurrentURL);
        web->Status = WEBGET_STATUS_ABORT;
        WebGet_SetPhase(web, WEBGET_PHASE_CLEANUP);
        return;
    }
    WebGet_SetPhase(web, WEBGET_PHASE_BODY);
}

// ---------------------------------------------------------------------------
// Redirects into internal addresses
// ---------------------------------------------------------------------------

// The address of a URL's host; 0 when it does not resolve.
static int AddressOf(const char *url, uint8_t address[4]) {
    HostAddress host;
    if (!Socket_ResolveURL(&host, url))
        return 0;
    memcpy(address, host.Address, 4);
    return 1;
}

int WebGet_RedirectTargetAllowed(WebGetStruct *web) {
    if (web->Settings.RedirectPolicy != WEBGET_REDIRECT_PUBLIC || web->Redirects == 0)
        return 1;
    // Without a proxy the address just looked up is the one connected to, so a
    // name that resolves differently the second time gains nothing.
    uint8_t target[4];
    if (!web->UseProxy)
        memcpy(target, web->Server.Address, 4);
    else if (!AddressOf(web->CurrentURL, target))
        return 1; // only the proxy can resolve it
    if (!WebGet_IsInternalAddress(target))
        return 1;
    uint8_t start[4];
    if (AddressOf(web->URL, start) && WebGet_IsInternalAddress(start))
        return 1; // the request started inside: it may stay there
    Zyl_Print("HTTP Redirect blocked because it leads to an internal address %d.%d.%d.%d [%s]\n",
              target[0], target[1], target[2], target[3], web->CurrentURL);
    return 0;
}
