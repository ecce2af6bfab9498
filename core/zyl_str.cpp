// Bounded strings: copy and append within a size, ASCII-only case folding,
// searches, and text-to-number conversions that never read or write past a NUL
// or a size. Over-long numeric input is a logged failure (it comes from outside).
#include <cstdint>
#include <cstring>

#include "core/zyl.h"

namespace {

inline char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 32) : c;
}

// 1 when part occurs at text (ASCII case folded when noCase).
inline int MatchAt(const char *text, const char *part, int length, int noCase) {
    if (!noCase)
        return memcmp(text, part, (size_t)length) == 0;
    for (int i = 0; i < length; i++)
        if (Upper(text[i]) != Upper(part[i]))
            return 0;
    return 1;
}

int Find(const char *text, const char *part, int *position, int noCase, int last) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(part);
    if (position)
        *position = 0;
    int textLength = (int)strlen(text);
    int partLength = (int)strlen(part);
    if (partLength > textLength)
        return 0;
    if (!last && !noCase) {
        const char *hit = strstr(text, part);
        if (!hit)
            return 0;
        if (position)
            *position = (int)(hit - text);
        return 1;
    }
    for (int k = 0; k <= textLength - partLength; k++) {
        int i = last ? textLength - partLength - k : k;
        if (MatchAt(text + i, part, partLength, noCase)) {
            if (position)
                *position = i;
            return 1;
        }
    }
    return 0;
}

// Logged, not fatal: numeric runs come from documents, packets and command lines.
const int kMaxNumberRun = 69;

// Length of the leading run of characters from `set` (and hex digits after 0x).
int NumberRun(const char *text, const char *set, int *hex) {
    *hex = 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        int n = 2;
        while (Zyl_HexDigitValue(text[n]) >= 0)
            n++;
        *hex = 1;
        return n;
    }
    int n = 0;
    while (text[n] && strchr(set, text[n]))
        n++;
    return n;
}

} // namespace

int Zyl_StrLen(const char *text) {
    ZYL_CHECK_PTR(text);
    return (int)strlen(text);
}

int Zyl_StrCopy(char *dst, const char *src, int size) {
    ZYL_CHECK_PTR(dst);
    ZYL_CHECK_PTR(src);
    if (size < 1)
        return 0;
    const void *nul = memchr(src, 0, (size_t)size);
    if (nul) {
        size_t n = (size_t)(static_cast<const char *>(nul) - src);
        memmove(dst, src, n + 1);
        return 1;
    }
    memmove(dst, src, (size_t)size - 1);
    dst[size - 1] = 0;
    return 0;
}

int Zyl_StrCopyUnbounded(char *dst, const char *src) {
    ZYL_CHECK_PTR(dst);
    ZYL_CHECK_PTR(src);
    memmove(dst, src, strlen(src) + 1);
    return 1;
}

int Zyl_StrCopyUntil(char *dst, const char *src, char stop, int max) {
    ZYL_CHECK_PTR(dst);
    ZYL_CHECK_PTR(src);
    int n = 0;
    while (n < max && src[n] && src[n] != stop) {
        dst[n] = src[n];
        n++;
    }
    dst[n] = 0;
    return 1;
}

int Zyl_StrAppend(char *dst, const char *src, int size) {
    ZYL_CHECK_PTR(dst);
    ZYL_CHECK_PTR(src);
    int length = 0;
    while (length < size && dst[length])
        length++;
    if (length >= size)
        return 0;
    return Zyl_StrCopy(dst + length, src, size - length);
}

int Zyl_StrAppendUnbounded(char *dst, const char *src) {
    ZYL_CHECK_PTR(dst);
    ZYL_CHECK_PTR(src);
    memmove(dst + strlen(dst), src, strlen(src) + 1);
    return 1;
}

int Zyl_StrUpper(char *text) {
    ZYL_CHECK_PTR(text);
    for (; *text; text++)
        *text = Upper(*text);
    return 1;
}

int Zyl_StrLower(char *text) {
    ZYL_CHECK_PTR(text);
    for (; *text; text++)
        if (*text >= 'A' && *text <= 'Z')
            *text = (char)(*text + 32);
    return 1;
}

int Zyl_StrReverse(char *text) {
    ZYL_CHECK_PTR(text);
    int n = (int)strlen(text);
    for (int i = 0, j = n - 1; i < j; i++, j--) {
        char c = text[i];
        text[i] = text[j];
        text[j] = c;
    }
    return 1;
}

int Zyl_StrEqual(const char *a, const char *b) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    return strcmp(a, b) == 0;
}

int Zyl_StrEqualNoCase(const char *a, const char *b) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    for (;; a++, b++) {
        if (Upper(*a) != Upper(*b))
            return 0;
        if (!*a)
            return 1;
    }
}

int Zyl_StrEqualN(const char *a, const char *b, int n) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    return n <= 0 || strncmp(a, b, (size_t)n) == 0;
}

int Zyl_StrEqualNNoCase(const char *a, const char *b, int n) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    for (int i = 0; i < n; i++) {
        if (Upper(a[i]) != Upper(b[i]))
            return 0;
        if (!a[i])
            return 1;
    }
    return 1;
}

int Zyl_StrStartsWith(const char *text, const char *prefix) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(prefix);
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int Zyl_StrStartsWithNoCase(const char *text, const char *prefix) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(prefix);
    return Zyl_StrEqualNNoCase(text, prefix, (int)strlen(prefix));
}

int Zyl_StrEndsWith(const char *text, const char *suffix) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(suffix);
    size_t n = strlen(text);
    size_t m = strlen(suffix);
    return m <= n && memcmp(text + n - m, suffix, m) == 0;
}

int Zyl_StrFindChar(const char *text, char c, int *position) {
    ZYL_CHECK_PTR(text);
    if (position)
        *position = 0;
    const char *hit = c ? strchr(text, c) : nullptr;
    if (!hit)
        return 0;
    if (position)
        *position = (int)(hit - text);
    return 1;
}

int Zyl_StrFindLastChar(const char *text, char c, int *position) {
    ZYL_CHECK_PTR(text);
    if (position)
        *position = 0;
    const char *hit = c ? strrchr(text, c) : nullptr;
    if (!hit)
        return 0;
    if (position)
        *position = (int)(hit - text);
    return 1;
}

int Zyl_StrFind(const char *text, const char *part, int *position) {
    return Find(text, part, position, 0, 0);
}

int Zyl_StrFindNoCase(const char *text, const char *part, int *position) {
    return Find(text, part, position, 1, 0);
}

int Zyl_StrFindLast(const char *text, const char *part, int *position) {
    return Find(text, part, position, 0, 1);
}

int Zyl_StrFindLastNoCase(const char *text, const char *part, int *position) {
    return Find(text, part, position, 1, 1);
}

int Zyl_StrFindWordNoCase(const char *text, char separator, const char *word) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(word);
    int textLength = (int)strlen(text);
    int wordLength = (int)strlen(word);
    if (wordLength == 0 || wordLength > textLength)
        return 0;
    for (int i = 0; i <= textLength - wordLength; i++) {
        if (!MatchAt(text + i, word, wordLength, 1))
            continue;
        char before = i > 0 ? text[i - 1] : ' ';
        char after = text[i + wordLength] ? text[i + wordLength] : ' ';
        int edgeBefore = (uint8_t)before <= 32 || before == separator;
        int edgeAfter = (uint8_t)after <= 32 || after == separator;
        if (edgeBefore && edgeAfter)
            return 1;
    }
    return 0;
}

int Zyl_StrHasChar(const char *text, char c) {
    ZYL_CHECK_PTR(text);
    return c != 0 && strchr(text, c) != nullptr;
}

int Zyl_StrHasSubstring(const char *text, const char *part) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(part);
    return strstr(text, part) != nullptr;
}

// result = result * base + digit; 0 (result unchanged) when it would pass 2^64 - 1.
static int AccumulateDigit(uint64_t *result, unsigned base, unsigned digit) {
    if (*result > (UINT64_MAX - digit) / base)
        return 0;
    *result = *result * base + digit;
    return 1;
}

// Decimal magnitudes must fit a signed 64-bit value; hexadecimal ones are taken
// as the 64-bit pattern they spell.
static int FitsInt64(uint64_t magnitude, int negative, int hex) {
    if (hex)
        return 1;
    return negative ? magnitude <= (uint64_t)INT64_MAX + 1 : magnitude <= (uint64_t)INT64_MAX;
}

int Zyl_ParseInt64(const char *text, int64_t *value) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(value);
    *value = 0;
    const char *p = text;
    int negative = 0;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    uint64_t result = 0;
    int digits = 0, hex = 0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        hex = 1;
        for (p += 2; Zyl_HexDigitValue(*p) >= 0; p++, digits++) {
            if (!AccumulateDigit(&result, 16, (unsigned)Zyl_HexDigitValue(*p)))
                return 0;
        }
    } else {
        for (; *p >= '0' && *p <= '9'; p++, digits++) {
            if (!AccumulateDigit(&result, 10, (unsigned)(*p - '0')))
                return 0;
        }
    }
    if (digits == 0 || *p || !FitsInt64(result, negative, hex))
        return 0;
    *value = (int64_t)(negative ? 0 - result : result);
    return 1;
}

// Parses [-]digits[.digits] or 0x-hex from p; *end gets the stop position.
static double ParseDecimal(const char *p, const char **end, int *digits) {
    int negative = 0;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    *digits = 0;
    long double result = 0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        for (; Zyl_HexDigitValue(*p) >= 0; p++, (*digits)++)
            result = result * 16 + Zyl_HexDigitValue(*p);
    } else {
        for (; *p >= '0' && *p <= '9'; p++, (*digits)++)
            result = result * 10 + (*p - '0');
        if (*p == '.') {
            p++;
            long double scale = 1;
            for (; *p >= '0' && *p <= '9'; p++, (*digits)++) {
                result = result * 10 + (*p - '0');
                scale *= 10;
            }
            result /= scale;
        }
    }
    *end = p;
    return (double)(negative ? -result : result);
}

int Zyl_ParseDouble(const char *text, double *value) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(value);
    *value = 0;
    if (text[0] == '+')
        return 0;
    const char *end = text;
    int digits = 0;
    double result = ParseDecimal(text, &end, &digits);
    if (digits == 0 || *end)
        return 0;
    *value = result;
    return 1;
}

int64_t Zyl_AtoI64(const char *text) {
    if (!text)
        return 0;
    int hex = 0;
    const char *p = text;
    int negative = 0;
    if ((*p == '-' || *p == '+') && p[1] == '0' && (p[2] == 'x' || p[2] == 'X'))
        negative = *p++ == '-';
    int run = NumberRun(p, "0123456789+-", &hex);
    if (run > kMaxNumberRun) {
        Zyl_Print("Input AtoI string too large (%s)\n", text);
        return 0;
    }
    uint64_t result = 0;
    int fits = 1;
    if (hex) {
        for (int i = 2; i < run && fits; i++)
            fits = AccumulateDigit(&result, 16, (unsigned)Zyl_HexDigitValue(p[i]));
    } else {
        int i = 0;
        if (p[0] == '-' || p[0] == '+')
            negative = p[i++] == '-';
        for (; i < run && p[i] >= '0' && p[i] <= '9' && fits; i++)
            fits = AccumulateDigit(&result, 10, (unsigned)(p[i] - '0'));
    }
    if (!fits || !FitsInt64(result, negative, hex)) {
        // A number from outside that does not fit is held at the nearest limit.
        Zyl_Print("Input AtoI value out of range (%s)\n", text);
        return negative ? INT64_MIN : INT64_MAX;
    }
    return (int64_t)(negative ? 0 - result : result);
}

int Zyl_AtoI(const char *text) {
    return (int)(int32_t)(uint32_t)(uint64_t)Zyl_AtoI64(text);
}

double Zyl_AtoF(const char *text) {
    if (!text)
        return 0;
    int run = 0;
    while (text[run] && strchr("0123456789+-.", text[run]))
        run++;
    if (run > kMaxNumberRun) {
        Zyl_Print("Input AtoF string too large (%s)\n", text);
        return 0;
    }
    if (run == 0)
        return 0;
    const char *end = text;
    int digits = 0;
    // Only the decimal form: "0x" is not part of the run.
    char work[kMaxNumberRun + 1];
    memcpy(work, text, (size_t)run);
    work[run] = 0;
    return ParseDecimal(work, &end, &digits);
}

int Zyl_ParseBool(const char *text, int *value, int defaultValue) {
    ZYL_CHECK_PTR(value);
    *value = defaultValue;
    if (!text || !text[0])
        return 1;
    char word[8];
    Zyl_StrCopy(word, text, sizeof(word));
    Zyl_StrUpper(word);
    static const char *const kTrue[] = {"1", "TRUE", "YES", "ON"};
    static const char *const kFalse[] = {"0", "FALSE", "NO", "OFF"};
    for (int i = 0; i < 4; i++) {
        if (strcmp(word, kTrue[i]) == 0) {
            *value = 1;
            return 1;
        }
        if (strcmp(word, kFalse[i]) == 0) {
            *value = 0;
            return 1;
        }
    }
    return 0;
}

int Zyl_ParseIPv4(const char *text, uint8_t address[4]) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(address);
    memset(address, 0, 4);
    if (strlen(text) > 19)
        return 0;
    uint8_t parts[4] = {0, 0, 0, 0};
    int part = 0;
    int value = 0;
    for (const char *p = text;; p++) {
        if (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p - '0');
            if (value > 255)
                return 0;
        } else if (*p == '.' || *p == 0) {
            if (part >= 4)
                return 0;
            parts[part++] = (uint8_t)value;
            value = 0;
            if (*p == 0)
                break;
        } else {
            return 0;
        }
    }
    if (part != 4)
        return 0;
    memcpy(address, parts, 4);
    return 1;
}

int Zyl_HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int Zyl_HexToBytes(const char *text, int textLength, uint8_t *buffer, int size, int *count) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (textLength < 0)
        textLength = (int)strlen(text);
    int i = 0;
    if (textLength >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        i = 2;
    if ((textLength - i) / 2 > size)
        return 0;
    for (; i + 1 < textLength; i += 2) {
        int high = Zyl_HexDigitValue(text[i]);
        int low = Zyl_HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return 0;
        buffer[(*count)++] = (uint8_t)(high * 16 + low);
    }
    return 1;
}

int Zyl_BytesToHex(const void *data, int length, char *text, int size) {
    ZYL_CHECK_PTR(text);
    if (size < 1)
        return 0;
    if (length > 0)
        ZYL_CHECK_PTR(data);
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    static const char kDigits[] = "0123456789ABCDEF";
    int n = length < 0 ? 0 : length;
    int fit = (size - 1) / 2;
    int result = 1;
    if (n > fit) {
        n = fit;
        result = 0;
    }
    for (int i = 0; i < n; i++) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    text[2 * n] = 0;
    return result;
}
