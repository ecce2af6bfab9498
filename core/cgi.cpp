// Query-string helpers for the embedded web server: tokens, name=value pairs and
// URL decoding. Input comes from the network, so every copy is bounded and a
// text that does not fit is a failure, never a silent cut.
#include <cstring>

#include "core/cgi.h"
#include "core/zyl.h"

namespace {

inline int IsEscape(const char *p) {
    return p[0] == '%' && Zyl_HexDigitValue(p[1]) >= 0 && Zyl_HexDigitValue(p[2]) >= 0;
}

// One decoding pass; returns 1 when the whole text fit.
int DecodeOnce(const char *text, char *buffer, int size) {
    int n = 0;
    for (const char *p = text; *p;) {
        if (n >= size - 1) {
            buffer[n] = 0;
            return 0;
        }
        if (IsEscape(p)) {
            buffer[n++] = (char)(Zyl_HexDigitValue(p[1]) * 16 + Zyl_HexDigitValue(p[2]));
            p += 3;
        } else {
            buffer[n++] = *p == '+' ? ' ' : *p;
            p++;
        }
    }
    buffer[n] = 0;
    return 1;
}

} // namespace

int Cgi_GetToken(char *buffer, int size, char separator, const char *text, int *consumed) {
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(consumed);
    *consumed = 0;
    if (size < 1)
        return 0;
    buffer[0] = 0;
    if (!text[0])
        return 0;
    int n = 0;
    int quoted = 0;
    const char *p = text;
    for (; *p && (quoted || *p != separator); p++) {
        if (*p == '"') {
            quoted = !quoted;
            continue;
        }
        if (n >= size - 1) {
            buffer[0] = 0;
            return 0;
        }
        buffer[n++] = *p;
    }
    buffer[n] = 0;
    while (*p && *p == separator)
        p++;
    *consumed = (int)(p - text);
    return 1;
}

int Cgi_SplitPair(char *name, char *value, int size, char separator, const char *text) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    ZYL_CHECK_PTR(text);
    if (size < 1)
        return 0;
    name[0] = 0;
    value[0] = 0;
    const char *split = separator ? strchr(text, separator) : nullptr;
    if (!text[0] || !split)
        return 0;
    int nameLength = (int)(split - text);
    if (nameLength >= size || !Zyl_StrCopy(value, split + 1, size)) {
        value[0] = 0;
        return 0;
    }
    memcpy(name, text, (size_t)nameLength);
    name[nameLength] = 0;
    return 1;
}

int Cgi_SplitPairTrim(char *name, char *value, int size, char separator, const char *text) {
    if (!Cgi_SplitPair(name, value, size, separator, text))
        return 0;
    int skip = 0;
    while (value[skip] == ' ' || value[skip] == '+')
        skip++;
    if (skip)
        memmove(value, value + skip, strlen(value + skip) + 1);
    return 1;
}

int Cgi_UrlDecode(const char *text, char *buffer, int size, int repeat) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(buffer);
    if (size < 1)
        return 0;
    if (!DecodeOnce(text, buffer, size))
        return 0;
    for (int pass = 1; repeat && pass < 8; pass++) {
        const char *p = buffer;
        while (*p && !IsEscape(p))
            p++;
        if (!*p)
            break;
        // Decoding only shortens the text, so it can run in place.
        DecodeOnce(buffer, buffer, size);
    }
    return 1;
}
