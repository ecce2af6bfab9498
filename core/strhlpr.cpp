// In-place text helpers (quote removal, shifting, replace-all) bounded by the
// caller's buffer size; used on configuration values and command lines.
#include <cstring>

#include "core/strhlpr.h"
#include "core/zyl.h"

int StrHlpr_StripLeadingQuotes(char *text) {
    ZYL_CHECK_PTR(text);
    size_t skip = 0;
    while (text[skip] == '"')
        skip++;
    if (skip)
        memmove(text, text + skip, strlen(text + skip) + 1);
    return 1;
}

int StrHlpr_RemoveQuotes(char *text) {
    ZYL_CHECK_PTR(text);
    int out = 0;
    int i = 0;
    for (; text[i] && i < 1024; i++)
        if (text[i] != '"')
            text[out++] = text[i];
    if (out != i)
        memmove(text + out, text + i, strlen(text + i) + 1);
    return 1;
}

int StrHlpr_ShiftLeft(char *text, int n) {
    ZYL_CHECK_PTR(text);
    int length = (int)strlen(text);
    if (length == 0 || n < 1)
        return 0;
    if (n > length)
        n = length;
    memmove(text, text + n, (size_t)length - (size_t)n + 1);
    return 1;
}

int StrHlpr_ShiftRight(char *text, int n, int size) {
    ZYL_CHECK_PTR(text);
    int length = (int)strlen(text);
    if (length == 0 || n < 1 || (int64_t)length + n + 1 > size)
        return 0;
    memmove(text + 1 + n, text + 1, (size_t)length);
    memset(text + 1, ' ', (size_t)n);
    return 1;
}

int StrHlpr_ReplaceAll(char *text, const char *find, const char *replacement, int size) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(find);
    ZYL_CHECK_PTR(replacement);
    size_t findLength = strlen(find);
    size_t replaceLength = strlen(replacement);
    size_t length = strlen(text);
    if (findLength == 0 || length == 0)
        return 0;
    char *p = text;
    while ((p = strstr(p, find)) != nullptr) {
        if (length - findLength + replaceLength + 1 > (size_t)size)
            return 0;
        size_t tail = length - (size_t)(p - text) - findLength;
        memmove(p + replaceLength, p + findLength, tail + 1);
        memcpy(p, replacement, replaceLength);
        length = length - findLength + replaceLength;
        p += replaceLength;
    }
    return 1;
}
