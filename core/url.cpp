// Resolves links found in documents against a base URL: the link is cleaned
// (separators, blanks, doubled slashes), classified (other scheme, absolute,
// host-relative, relative) and its path normalised. Every text is bounded; a
// result that does not fit is refused, never cut.
#include "core/url.h"

#include "core/zyl.h"

#include <cstring>

static const char kUrlTag[] = "url";

// Room for a base directory plus a cleaned link.
enum { URL_WORK_SIZE = 2 * URL_TEXT_SIZE + URL_HOST_SIZE };

static int Url_IsControl(char c) {
    return (unsigned char)c < 0x20 || c == 0x7F;
}

// Bounded copy of at most `count` characters of `source` after `length`
// characters already in `text`; 0 when it does not fit.
static int Url_AppendN(char *text, int size, const char *source, int count) {
    const int length = (int)strnlen(text, (size_t)size);
    if (length + count >= size) {
        return 0;
    }
    memcpy(text + length, source, (size_t)count);
    text[length + count] = '\0';
    return 1;
}

static int Url_Append(char *text, int size, const char *source) {
    return Url_AppendN(text, size, source, (int)strlen(source));
}

static int Url_Set(char *text, int size, const char *source) {
    text[0] = '\0';
    return Url_Append(text, size, source);
}

int Url_Create(UrlStruct **url) {
    ZYL_CHECK_PTR(url);
    *url = nullptr;
    UrlStruct *created = ZYL_NEW(UrlStruct);
    created->Tag = kUrlTag;
    Url_Reset(created);
    *url = created;
    return 1;
}

int Url_Destroy(UrlStruct **url) {
    ZYL_CHECK_PTR(url);
    UrlStruct *victim = *url;
    if (victim == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(victim, kUrlTag);
    victim->Tag = Zyl_DeadTag;
    ZYL_FREE(victim, sizeof(UrlStruct));
    *url = nullptr;
    return 1;
}

int Url_Reset(UrlStruct *url) {
    ZYL_CHECK_TAG(url, kUrlTag);
    url->Trace = 0;
    url->StripFragment = 1;
    url->SpaceAsPlus = 0;
    Url_Set(url->Scheme, URL_SCHEME_SIZE, "http");
    Url_Set(url->Base, URL_TEXT_SIZE, "/");
    url->Host[0] = '\0';
    url->File[0] = '\0';
    return 1;
}

// Index just past "://", or 0 when the text has none.
static int Url_AfterScheme(const char *text) {
    const char *mark = strstr(text, "://");
    return mark == nullptr ? 0 : (int)(mark - text) + 3;
}

int Url_SetBase(UrlStruct *url, const char *base) {
    ZYL_CHECK_TAG(url, kUrlTag);
    ZYL_CHECK_PTR(base);
    char copy[URL_TEXT_SIZE];
    Zyl_StrCopy(copy, base, URL_TEXT_SIZE);
    char *query = strchr(copy, '?');
    if (query != nullptr) {
        *query = '\0';
    }
    const int hostStart = Url_AfterScheme(copy);
    const char *pathStart = strchr(copy + hostStart, '/');
    char directory[URL_TEXT_SIZE];
    if (pathStart == nullptr) {
        Url_Set(directory, URL_TEXT_SIZE, copy);
        Url_Append(directory, URL_TEXT_SIZE, "/"); // may be refused only at 2047 characters
        url->File[0] = '\0';
    } else {
        const char *lastSlash = strrchr(pathStart, '/');
        Url_Set(url->File, URL_TEXT_SIZE, lastSlash + 1);
        directory[0] = '\0';
        Url_AppendN(directory, URL_TEXT_SIZE, copy, (int)(lastSlash - copy) + 1);
    }
    if (hostStart == 0) {
        Zyl_FormatString(url->Base, URL_TEXT_SIZE, "%s://%s", url->Scheme, directory);
    } else {
        Url_Set(url->Base, URL_TEXT_SIZE, directory);
    }
    const char *host = url->Base + Url_AfterScheme(url->Base);
    const char *hostEnd = strchr(host, '/');
    const int hostLength = hostEnd == nullptr ? (int)strlen(host) : (int)(hostEnd - host);
    url->Host[0] = '\0';
    Url_AppendN(url->Host, URL_HOST_SIZE, host,
                hostLength < URL_HOST_SIZE ? hostLength : URL_HOST_SIZE - 1);
    return 1;
}

// 1 when `link` begins with the base's host (ignoring ASCII case) followed by a
// boundary, so "host/x" is read as a URL without scheme but "hostname.html" is
// still a relative file name.
static int Url_StartsWithHost(const UrlStruct *url, const char *link) {
    const int length = (int)strlen(url->Host);
    if (length == 0 || !Zyl_StrEqualNNoCase(link, url->Host, length)) {
        return 0;
    }
    const char next = link[length];
    return next == '\0' || next == '/' || next == ':' || next == '?' || next == '#';
}

// 1 when the link names another kind of URL ("mailto:", "urn:..."): a ":" before
// any ".", "?" and the first "/", and that "/" does not start "//".
static int Url_IsOtherScheme(const char *link) {
    const char *colon = strchr(link, ':');
    if (colon == nullptr) {
        return 0;
    }
    for (const char *p = link; p < colon; p++) {
        if (*p == '.' || *p == '?' || *p == '/') {
            return 0;
        }
    }
    const char *slash = strchr(colon, '/');
    return slash == nullptr || slash[1] != '/';
}

// Cleans a link into `out`: leading blanks skipped, stops at a control byte,
// runs of "/" collapsed (not right after ":" nor anywhere after "?"), blanks
// written as %20 or "+", trailing blank groups dropped; a leading run of "/"
// is kept. 0 when it does not fit.
static int Url_Clean(const UrlStruct *url, const char *link, char *out, int size) {
    const char *blank = url->SpaceAsPlus ? "+" : "%20";
    const int blankLength = (int)strlen(blank);
    while (*link == ' ' || *link == '\t') {
        link++;
    }
    int length = 0;
    int inQuery = 0;
    out[0] = '\0';
    for (const char *p = link; *p != '\0' && !Url_IsControl(*p); p++) {
        if (*p == '?') {
            inQuery = 1;
        }
        if (*p == '/' && !inQuery && length > 0 && out[length - 1] == '/') {
            // Inside a run of slashes: keep it when the run follows ":" or
            // starts the link ("//host/..." is a URL without scheme).
            int runStart = length;
            while (runStart > 0 && out[runStart - 1] == '/') {
                runStart--;
            }
            if (runStart > 0 && out[runStart - 1] != ':') {
                continue;
            }
        }
        const char *piece = *p == ' ' ? blank : p;
        const int pieceLength = *p == ' ' ? blankLength : 1;
        if (length + pieceLength >= size) {
            return 0;
        }
        memcpy(out + length, piece, (size_t)pieceLength);
        length += pieceLength;
        out[length] = '\0';
    }
    while (length >= blankLength && memcmp(out + length - blankLength, blank, blankLength) == 0) {
        length -= blankLength;
        out[length] = '\0';
    }
    return 1;
}

// The cleaned link holds "//": 1 with the absolute URL in `out`, 2 when the
// "//" belongs to a relative path, 0 when the result does not fit.
static int Url_ResolveAbsolute(char *clean, char *out, int size) {
    const char *doubled = strstr(clean, "//");
    if (doubled[2] == '\0' || doubled[2] == '/') {
        out[0] = '\0';
        return 1;
    }
    for (const char *p = clean; p < doubled; p++) {
        if (*p == '/' || *p == '.' || *p == '?') {
            return 2;
        }
    }
    out[0] = '\0';
    if (doubled == clean && !Url_Append(out, size, "http:")) {
        return 0;
    }
    if (!Url_Append(out, size, clean)) {
        return 0;
    }
    if (strchr(doubled + 2, '/') == nullptr && !Url_Append(out, size, "/")) {
        return 0;
    }
    return 1;
}

// Joins a relative link to the base into `out`; 0 when it does not fit.
static int Url_ResolveRelative(const UrlStruct *url, const char *clean, char *out, int size) {
    if (!Url_Set(out, size, url->Base)) {
        return 0;
    }
    if (clean[0] == '/') {
        const int hostStart = Url_AfterScheme(out);
        char *pathStart = strchr(out + hostStart, '/');
        if (pathStart != nullptr) {
            *pathStart = '\0';
        }
    } else if (clean[0] == '?' || clean[0] == '#') {
        if (!Url_Append(out, size, url->File)) {
            return 0;
        }
    }
    return Url_Append(out, size, clean);
}

// Resolves `link` into `out` (`size` bytes). 1 with the URL, 0 when refused.
static int Url_Resolve(UrlStruct *url, const char *link, char *out, int size) {
    char work[URL_TEXT_SIZE];
    out[0] = '\0';
    if (Url_StartsWithHost(url, link)) {
        if (Zyl_FormatString(work, URL_TEXT_SIZE, "%s://%s", url->Scheme, link) >=
            URL_TEXT_SIZE - 1) {
            return 0;
        }
    } else if (!Zyl_StrCopy(work, link, URL_TEXT_SIZE)) {
        return 0;
    }
    for (char *p = work; *p != '\0' && !Url_IsControl(*p) && *p != '?'; p++) {
        if (*p == '\\') {
            *p = '/';
        }
    }
    if (Zyl_StrStartsWithNoCase(work, "javascript:")) {
        return 0;
    }
    work[strcspn(work, "\"'><")] = '\0';
    if (Url_IsOtherScheme(work)) {
        return Url_Set(out, size, work) && Url_Normalize(url, out, size);
    }
    if (work[0] == '\0') {
        return 0;
    }
    if (url->StripFragment) {
        work[strcspn(work, "#")] = '\0';
        if (work[0] == '\0') {
            return Url_Set(out, size, url->Base) && Url_Append(out, size, url->File);
        }
    }
    char clean[URL_TEXT_SIZE];
    if (!Url_Clean(url, work, clean, URL_TEXT_SIZE) || clean[0] == '\0') {
        return 0; // too long, or only blanks
    }
    if (strstr(clean, "//") != nullptr) {
        const int absolute = Url_ResolveAbsolute(clean, out, size);
        if (absolute != 2) {
            return absolute && (out[0] == '\0' || Url_Normalize(url, out, size));
        }
    }
    return Url_ResolveRelative(url, clean, out, size) && Url_Normalize(url, out, size);
}

int Url_MakeAbsolute(UrlStruct *url, const char *link, char *buffer, int size) {
    ZYL_CHECK_TAG(url, kUrlTag);
    ZYL_CHECK_PTR(link);
    ZYL_CHECK_PTR(buffer);
    if (size <= 0) {
        return 0;
    }
    char result[URL_WORK_SIZE];
    if (!Url_Resolve(url, link, result, URL_WORK_SIZE) || !Zyl_StrCopy(buffer, result, size)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

// Removes the segment before `out` (back to its "/", never before `start`).
static int Url_DropSegment(const char *text, int start, int out) {
    while (out > start && text[out - 1] != '/') {
        out--;
    }
    return out > start ? out - 1 : start;
}

int Url_Normalize(UrlStruct *url, char *text, int size) {
    ZYL_CHECK_TAG(url, kUrlTag);
    ZYL_CHECK_PTR(text);
    if (size <= 0 || strnlen(text, (size_t)size) >= (size_t)size) {
        return 0;
    }
    const char *path = strchr(text + Url_AfterScheme(text), '/');
    if (path == nullptr) {
        return 1;
    }
    const int start = (int)(path - text);
    int in = start;
    int out = start;
    while (text[in] != '\0') {
        const char c = text[in];
        if (c == '?') {
            memmove(text + out, text + in, strlen(text + in) + 1);
            return 1;
        }
        if (c == ';') {
            while (text[in] != '\0' && text[in] != '?') {
                in++;
            }
            continue;
        }
        if (c == '/' && text[in + 1] == '.') {
            const char after = text[in + 2];
            if (after == '/') { // "/./"
                in += 2;
                continue;
            }
            if (after == '.' && text[in + 3] == '/') { // "/../"
                out = Url_DropSegment(text, start, out);
                in += 3;
                continue;
            }
            if (after == '.' && (text[in + 3] == '\0' || text[in + 3] == '?')) { // final "/.."
                out = Url_DropSegment(text, start, out);
                text[out++] = '/';
                in += 3;
                continue;
            }
            if (after == '\0' || after == '?') { // final "/."
                text[out++] = '/';
                in += 2;
                continue;
            }
        }
        text[out++] = c;
        in++;
    }
    text[out] = '\0';
    return 1;
}
