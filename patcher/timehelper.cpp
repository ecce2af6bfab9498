// The HTTP date reader and the UTC clock of the settings container cache. The
// reader is bounded (a 320-byte copy, at most 10 tokens) and refuses fields
// out of range, so a date it cannot trust leads its caller to download.
#include "patcher/timehelper.h"

#include "core/zyl.h"

#include <cstring>

enum { kTextSize = 320, kMaxTokens = 10 };

static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int TimeHelper_UnixToMinutes(time_t seconds, int32_t *minutes) {
    ZYL_CHECK_PTR(minutes);
    *minutes = 0;
    struct tm utc;
    if (gmtime_r(&seconds, &utc) == nullptr)
        return 0;
    return Zyl_DateToMinutes(minutes, utc.tm_hour, utc.tm_min, utc.tm_mon, utc.tm_mday,
                             utc.tm_year);
}

int TimeHelper_NowMinutes(int32_t *minutes) {
    return TimeHelper_UnixToMinutes(time(nullptr), minutes);
}

static int TimeHelper_InternalIsSeparator(char c) {
    return c == ' ' || c == '\t' || c == ',' || c == '-' || c == ':';
}

// A whole token of at most 4 decimal digits into *value.
static int TimeHelper_InternalNumber(const char *token, int *value) {
    int n = 0;
    int digits = 0;
    for (; token[digits] != 0; digits++) {
        if (token[digits] < '0' || token[digits] > '9' || digits >= 4)
            return 0;
        n = n * 10 + (token[digits] - '0');
    }
    *value = n;
    return digits > 0;
}

static int TimeHelper_InternalMonth(const char *token, int *month) {
    for (int i = 0; i < 12; i++) {
        if (Zyl_StrEqualNoCase(token, kMonths[i])) {
            *month = i;
            return 1;
        }
    }
    return 0;
}

int TimeHelper_ParseHttpDate(int *minute, int *second, int *day, int *month, const char *text,
                             int *hour, int *year) {
    ZYL_CHECK_PTR(minute);
    ZYL_CHECK_PTR(second);
    ZYL_CHECK_PTR(day);
    ZYL_CHECK_PTR(month);
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(hour);
    ZYL_CHECK_PTR(year);
    *minute = *second = *day = *month = *hour = *year = 0;
    char copy[kTextSize];
    Zyl_StrCopy(copy, text, kTextSize);
    if (copy[0] == 0)
        return 0;
    const char *tokens[kMaxTokens];
    int count = 0;
    char *p = copy;
    while (*p != 0) {
        while (*p != 0 && TimeHelper_InternalIsSeparator(*p))
            *p++ = 0;
        if (*p == 0)
            break;
        if (count == kMaxTokens) {
            count++; // more tokens than any date has
            break;
        }
        tokens[count++] = p;
        while (*p != 0 && !TimeHelper_InternalIsSeparator(*p))
            p++;
    }
    if (count != 7 && count != 8)
        return 0;
    int d = 0, mo = 0, y = 0, h = 0, mi = 0, s = 0;
    int ok;
    if (tokens[1][0] >= '0' && tokens[1][0] <= '9') {
        // weekday, day, month, year, hour, minute, second
        ok = TimeHelper_InternalNumber(tokens[1], &d) && TimeHelper_InternalMonth(tokens[2], &mo) &&
             TimeHelper_InternalNumber(tokens[3], &y) && TimeHelper_InternalNumber(tokens[4], &h) &&
             TimeHelper_InternalNumber(tokens[5], &mi) && TimeHelper_InternalNumber(tokens[6], &s);
    } else {
        // weekday, month, day, hour, minute, second, year
        ok = TimeHelper_InternalMonth(tokens[1], &mo) && TimeHelper_InternalNumber(tokens[2], &d) &&
             TimeHelper_InternalNumber(tokens[3], &h) &&
             TimeHelper_InternalNumber(tokens[4], &mi) &&
             TimeHelper_InternalNumber(tokens[5], &s) && TimeHelper_InternalNumber(tokens[6], &y);
    }
    if (!ok || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return 0;
    if (y > 1000)
        y -= 1900;
    else if (y < 70)
        y += 100;
    if (y < 70)
        return 0; // before 1970: off the minute scale
    *minute = mi;
    *second = s;
    *day = d;
    *month = mo;
    *hour = h;
    *year = y;
    return 1;
}

int TimeHelper_HttpDateToMinutes(const char *text, int32_t *minutes) {
    ZYL_CHECK_PTR(minutes);
    *minutes = 0;
    int minute, second, day, month, hour, year;
    if (!TimeHelper_ParseHttpDate(&minute, &second, &day, &month, text, &hour, &year))
        return 0;
    return Zyl_DateToMinutes(minutes, hour, minute, month, day, year);
}
