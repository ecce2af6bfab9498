// The front end's log line, decimal readers and text clean-up.
#include "frontend/frontendlog.h"

#include "core/alert.h"
#include "core/zyl.h"
#include "patcher/launcherlib.h"

#include <climits>

int(Frontend_Log)(int level, const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(line, sizeof(line), format, args);
    va_end(args);
    if (LauncherLib_IsInitialized() == 1)
        LauncherLib_Log(level, "%s", line);
    else
        Zyl_Print("%s\n", line);
    return 1;
}

// Leading blanks, then the sign; *negative tells which. Returns the first digit.
static const char *Frontend_InternalSign(const char *text, int *negative) {
    *negative = 0;
    if (text == nullptr)
        return "";
    while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n')
        text++;
    if (*text == '-' || *text == '+') {
        *negative = *text == '-';
        text++;
    }
    return text;
}

// The digits' value saturated at limit.
static uint64_t Frontend_InternalDigits(const char *text, uint64_t limit) {
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        uint64_t digit = (uint64_t)(*text - '0');
        if (value > (limit - digit) / 10)
            return limit;
        value = value * 10 + digit;
    }
    return value;
}

int64_t Frontend_ParseInt64(const char *text) {
    int negative = 0;
    const char *digits = Frontend_InternalSign(text, &negative);
    if (negative) {
        uint64_t magnitude = Frontend_InternalDigits(digits, (uint64_t)INT64_MAX + 1);
        return magnitude == (uint64_t)INT64_MAX + 1 ? INT64_MIN : -(int64_t)magnitude;
    }
    return (int64_t)Frontend_InternalDigits(digits, (uint64_t)INT64_MAX);
}

int32_t Frontend_ParseInt32(const char *text) {
    int64_t value = Frontend_ParseInt64(text);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return (int32_t)value;
}

uint64_t Frontend_ParseUInt64(const char *text) {
    int negative = 0;
    const char *digits = Frontend_InternalSign(text, &negative);
    if (negative)
        return 0;
    return Frontend_InternalDigits(digits, UINT64_MAX);
}

int Frontend_CopyUtf8(char *buffer, const char *text, int size) {
    if (size <= 0)
        return 0;
    int length = Zyl_StrLen(text);
    if (length < size) {
        Zyl_StrCopy(buffer, text, size);
        return 1;
    }
    int cut = size - 1;
    // Back off continuation bytes (10xxxxxx) so the cut falls before a lead byte.
    while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80)
        cut--;
    for (int i = 0; i < cut; i++)
        buffer[i] = text[i];
    buffer[cut] = 0;
    return 0;
}

void Frontend_SlashPath(char *path) {
    for (; *path != 0; path++)
        if (*path == '\\')
            *path = '/';
}

void Frontend_PrintAlert(int kind, int level, const char *text) {
    (void)level;
    if (kind == ALERT_KIND_NOTICE)
        Zyl_Print("++++ %s\n", text);
    else if (kind == ALERT_KIND_ERROR)
        Zyl_Print("**** %s\n", text);
    else
        Zyl_Print("%s\n", text);
}
