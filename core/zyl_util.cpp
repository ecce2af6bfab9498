// Small shared services: CRC-32 (slice-by-8, tuned for the short path and ID
// texts the system hashes), byte compare and search, the two
// monotonic clocks, the minute date scale, duration texts and a quote-aware
// command-line scanner. Nothing here keeps shared state beyond the clocks' origin.
#include <cmath>
#include <cstring>
#include <ctime>

#include "core/zyl.h"
#include "platform/sleep.h"

namespace {

// Tables of the reflected CRC-32 polynomial (zlib's CRC): Table[k][b] is the CRC
// step of byte b followed by k zero bytes, so eight bytes take eight lookups.
struct Crc32Tables {
    uint32_t Table[8][256];
    constexpr Crc32Tables() : Table() {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t c = b;
            for (int i = 0; i < 8; i++)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            Table[0][b] = c;
        }
        for (int k = 1; k < 8; k++) {
            for (int b = 0; b < 256; b++)
                Table[k][b] = (Table[k - 1][b] >> 8) ^ Table[0][Table[k - 1][b] & 0xFFu];
        }
    }
};

constexpr Crc32Tables kCrc32;

inline uint64_t LoadLe64(const uint8_t *p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = value << 8 | p[i];
    return value;
}

// The eight bytes with ASCII a-z upper-cased and every other byte kept: a byte
// below 0x80 whose low seven bits lie in 'a'..'z' loses 0x20. No sum carries
// into the next byte.
inline uint64_t UpperAscii8(uint64_t x) {
    const uint64_t ones = 0x0101010101010101ull;
    uint64_t low7 = x & (0x7Full * ones);
    uint64_t atLeastA = low7 + (0x80ull - 'a') * ones;
    uint64_t pastZ = low7 + (0x80ull - 'z' - 1) * ones;
    uint64_t lower = atLeastA & ~pastZ & ~x & (0x80ull * ones);
    return x - (lower >> 2);
}

// Continues a CRC (0 to start) over n more bytes, upper-casing ASCII letters
// first when Upper is set.
template <bool Upper> uint32_t Crc32Update(uint32_t crc, const uint8_t *p, size_t n) {
    const auto &t = kCrc32.Table;
    crc = ~crc;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word = LoadLe64(p);
        if (Upper)
            word = UpperAscii8(word);
        uint32_t lo = (uint32_t)word ^ crc;
        uint32_t hi = (uint32_t)(word >> 32);
        crc = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^
              t[4][lo >> 24] ^ t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^
              t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
    }
    for (; n > 0; p++, n--) {
        uint8_t c = *p;
        if (Upper && c >= 'a' && c <= 'z')
            c = (uint8_t)(c - 32);
        crc = (crc >> 8) ^ t[0][(crc ^ c) & 0xFFu];
    }
    return ~crc;
}

} // namespace

uint32_t Zyl_Crc32(const void *data, int64_t length) {
    if (length <= 0)
        return 0;
    ZYL_CHECK_PTR(data);
    return Crc32Update<false>(0, static_cast<const uint8_t *>(data), (size_t)length);
}

uint32_t Zyl_Crc32NoCase(const void *data, int64_t length) {
    if (length <= 0)
        return 0;
    ZYL_CHECK_PTR(data);
    return Crc32Update<true>(0, static_cast<const uint8_t *>(data), (size_t)length);
}

int Zyl_StrCrc32(const char *text, int mode, uint32_t *crc) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(crc);
    *crc = 0;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(text);
    size_t length = strlen(text);
    *crc = mode == 1 ? Crc32Update<false>(0, bytes, length) : Crc32Update<true>(0, bytes, length);
    return 1;
}

int Zyl_MemEqual(const void *a, const void *b, int64_t length) {
    if (length <= 0)
        return 1;
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    return memcmp(a, b, (size_t)length) == 0;
}

int Zyl_MemFind(const void *data, int64_t dataLength, const void *pattern, int64_t patternLength,
                int64_t *position) {
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(pattern);
    ZYL_CHECK_PTR(position);
    *position = 0;
    if (patternLength <= 0 || dataLength < patternLength)
        return 0;
    const void *hit = memmem(data, (size_t)dataLength, pattern, (size_t)patternLength);
    if (!hit)
        return 0;
    *position = static_cast<const uint8_t *>(hit) - static_cast<const uint8_t *>(data);
    return 1;
}

// ---------------------------------------------------------------------------
// Clocks: CLOCK_MONOTONIC, 64-bit, so there is no millisecond counter wrap.
// ---------------------------------------------------------------------------

double Zyl_GetTickSeconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ms = (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
    return (double)ms / 1000.0;
}

double Zyl_GetSeconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

void Zyl_SleepMilliseconds(int milliseconds) {
    Sleep_Milliseconds(milliseconds);
}

// ---------------------------------------------------------------------------
// Minute date scale: 1 January 1970 00:00 is minute 1,440; years since 1900,
// months 0-11, days 1-31; every fourth year is a leap year (1901-2099).
// ---------------------------------------------------------------------------

namespace {

const int kMonthStart[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

inline int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

} // namespace

int Zyl_DateToMinutes(int32_t *minutes, int hour, int minute, int month, int day, int year) {
    ZYL_CHECK_PTR(minutes);
    *minutes = 0;
    if (month < 0 || month > 11)
        return 0;
    int leap = year % 4 == 0;
    int64_t days = day + (int64_t)year * 365 + FloorDiv(year - 68, 4) + kMonthStart[month] -
                   ((month < 2 && leap) ? 1 : 0) - 25550;
    *minutes = (int32_t)((days * 24 + hour) * 60 + minute);
    return 1;
}

int Zyl_GetLocalMinutes(int32_t *minutes) {
    ZYL_CHECK_PTR(minutes);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return Zyl_DateToMinutes(minutes, local.tm_hour, local.tm_min, local.tm_mon, local.tm_mday,
                             local.tm_year);
}

int Zyl_MinutesToDate(int32_t minutes, int *hour, int *minute, int *month, int *day, int *year) {
    ZYL_CHECK_PTR(hour);
    ZYL_CHECK_PTR(minute);
    ZYL_CHECK_PTR(month);
    ZYL_CHECK_PTR(day);
    ZYL_CHECK_PTR(year);
    int64_t dayNumber = FloorDiv(minutes, 1440) + 364;
    int64_t inDay = minutes - FloorDiv(minutes, 1440) * 1440;
    int64_t cycle = FloorDiv(dayNumber, 1461);
    int64_t inCycle = dayNumber - cycle * 1461;
    int64_t yearInCycle = inCycle / 365 > 3 ? 3 : inCycle / 365;
    *year = (int)(69 + 4 * cycle + yearInCycle);
    int dayOfYear = (int)(inCycle - yearInCycle * 365);
    int leap = *year % 4 == 0;
    int m = 11;
    while (m > 0 && kMonthStart[m] + ((m >= 2 && leap) ? 1 : 0) > dayOfYear)
        m--;
    *month = m;
    *day = dayOfYear - kMonthStart[m] - ((m >= 2 && leap) ? 1 : 0) + 1;
    *hour = (int)(inDay / 60);
    *minute = (int)(inDay % 60);
    return 1;
}

// ---------------------------------------------------------------------------
// Duration text
// ---------------------------------------------------------------------------

namespace {

struct DurationUnit {
    int showFlag;
    const char *shortWord;
    const char *singular;
    const char *plural;
};

const DurationUnit kUnits[6] = {
    {0x4, "w", " week", " weeks"},      {0x8, "d", " day", " days"},
    {0x10, "h", " hour", " hours"},     {0x20, "m", " minute", " minutes"},
    {0x40, "s", " second", " seconds"}, {0x80, "ms", " millisecond", " milliseconds"},
};

} // namespace

int Zyl_FormatDuration(double seconds, int flags, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    if (size < 1)
        return 0;
    buffer[0] = 0;
    if (!(seconds > 0))
        seconds = 0;
    int64_t s = (int64_t)std::floor(seconds + 0.5);
    int64_t value[6] = {s / 604800,      (s / 86400) % 7,
                        (s / 3600) % 24, (s / 60) % 60,
                        s % 60,          (int64_t)((seconds - std::floor(seconds)) * 1000)};
    if (flags & 0x1000) {
        static const int kFactor[5] = {7, 24, 60, 60, 1000};
        for (int i = 0; i < 5; i++)
            if (!(flags & kUnits[i].showFlag)) {
                value[i + 1] += value[i] * kFactor[i];
                value[i] = 0;
            }
    }
    int written = 0;
    for (int i = 0; i < 6; i++) {
        if (!(flags & kUnits[i].showFlag))
            continue;
        if ((flags & 0x4000) && i > 0 && written >= 2)
            break;
        if (value[i] <= 0 && (!(flags & 0x800) || written == 0))
            continue;
        const char *word = "";
        if (flags & 0x400)
            word = value[i] == 1 ? kUnits[i].singular : kUnits[i].plural;
        else if (flags & 0x200)
            word = kUnits[i].shortWord;
        using UnitFormat = ZylFormat<int64_t, const char *>;
        UnitFormat format = (flags & 0x2000) ? UnitFormat("%.2I64d%s ") : UnitFormat("%2I64d%s ");
        if (i == 1)
            format = UnitFormat("%I64d%s ");
        else if (i == 5)
            format = UnitFormat("%.4I64d%s ");
        (Zyl_AppendFormat)(buffer, size, format.Text, value[i], word);
        written++;
    }
    int length = Zyl_StrLen(buffer);
    if (length > 0 && buffer[length - 1] == ' ')
        buffer[length - 1] = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Command-line arguments: separated by characters of code 32 or below; '"'
// opens and closes a quoted stretch; inside one, '""' stands for one '"'.
// ---------------------------------------------------------------------------

namespace {

inline int IsBlank(char c) {
    return c != 0 && (uint8_t)c <= 32;
}

// Scans the argument at p (blanks already skipped) into out (if given, bounded);
// returns the position after it. *fit = 0 when the copy was cut.
const char *ScanArgument(const char *p, char *out, int size, int *fit) {
    int n = 0;
    int quoted = 0;
    *fit = 1;
    while (*p && (quoted || !IsBlank(*p))) {
        char c = *p++;
        if (c == '"') {
            if (quoted && *p == '"') {
                p++;
            } else {
                quoted = !quoted;
                continue;
            }
        }
        if (out) {
            if (n < size - 1)
                out[n++] = c;
            else
                *fit = 0;
        }
    }
    if (out && size > 0)
        out[n] = 0;
    return p;
}

const char *SkipBlanks(const char *p) {
    while (IsBlank(*p))
        p++;
    return p;
}

} // namespace

int Zyl_ArgCount(const char *commandLine, int *count) {
    ZYL_CHECK_PTR(commandLine);
    ZYL_CHECK_PTR(count);
    int n = 0;
    int fit;
    for (const char *p = SkipBlanks(commandLine); *p; p = SkipBlanks(p)) {
        p = ScanArgument(p, nullptr, 0, &fit);
        n++;
    }
    *count = n > 0 ? n : 1;
    return 1;
}

int Zyl_ArgGet(const char *commandLine, int index, char *buffer, int size) {
    ZYL_CHECK_PTR(commandLine);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = 0;
    if (index < 0 || size < 1)
        return 0;
    const char *p = SkipBlanks(commandLine);
    if (!*p)
        return index == 0;
    int fit = 1;
    for (int i = 0; *p; i++) {
        if (i == index) {
            ScanArgument(p, buffer, size, &fit);
            if (!fit)
                Zyl_Print("Zyl_ArgGet() argument %d does not fit in %d characters\n", index, size);
            return fit;
        }
        p = SkipBlanks(ScanArgument(p, nullptr, 0, &fit));
    }
    return 0;
}

int Zyl_ArgGetOption(const char *commandLine, const char *name, char *buffer, int size) {
    ZYL_CHECK_PTR(commandLine);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = 0;
    char argument[ZYL_LOG_BUFFER_SIZE];
    int count = 0;
    Zyl_ArgCount(commandLine, &count);
    for (int i = 0; i + 1 < count; i++) {
        if (!Zyl_ArgGet(commandLine, i, argument, sizeof(argument)))
            continue;
        if ((argument[0] == '-' || argument[0] == '/') && Zyl_StrEqualNoCase(argument + 1, name))
            return Zyl_ArgGet(commandLine, i + 1, buffer, size);
    }
    return 0;
}

int Zyl_HasSwitch(const char *text, const char *word) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(word);
    int length = Zyl_StrLen(word);
    if (length == 0)
        return 0;
    for (int at = 0; text[at]; at++) {
        if ((text[at] != '-' && text[at] != '/') || !Zyl_StrStartsWithNoCase(text + at + 1, word))
            continue;
        char after = text[at + 1 + length];
        if (after == 0 || after == ' ' || after == '\t' || after == '\r' || after == '\n')
            return 1;
    }
    return 0;
}
