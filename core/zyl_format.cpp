// The system's own formatter: printf-style conversions plus %ipv4, %hex, %unicode,
// %b, %a and %I64d. Writes straight into the caller's buffer, never past its size,
// and logs an overrun instead of failing; no allocation.
#include <cmath>
#include <cstring>

#include "core/zyl.h"

namespace {

enum {
    kNegative = 1,
    kRight = 2,
    kZero = 4,
    kUpper = 8,
    kSign = 0x10,
    kGroup = 0x20,
    kAlternate = 0x40,
};

// A converted number may not reach this many characters (work buffer of 60).
const int kMaxDigits = 55;

struct Output {
    char *pos;
    char *end; // last byte of the buffer, kept for the NUL
    int overrun;
};

inline void Put(Output *out, char c) {
    if (out->pos < out->end)
        *out->pos++ = c;
    else
        out->overrun = 1;
}

inline void PutText(Output *out, const char *text, int length) {
    int room = (int)(out->end - out->pos);
    if (length > room) {
        length = room;
        out->overrun = 1;
    }
    memcpy(out->pos, text, (size_t)length);
    out->pos += length;
}

inline void PutRepeat(Output *out, char c, int count) {
    if (count <= 0)
        return;
    int room = (int)(out->end - out->pos);
    if (count > room) {
        count = room;
        out->overrun = 1;
    }
    memset(out->pos, c, (size_t)count);
    out->pos += count;
}

struct Spec {
    int flags;
    int width;
    int precision; // -1: none
};

// Writes sign, prefix, padding, precision zeros and the text as one field.
void PutField(Output *out, const Spec &spec, const char *text, int length, int zeros,
              const char *prefix) {
    char sign = 0;
    if (spec.flags & kNegative)
        sign = '-';
    else if (spec.flags & kSign)
        sign = '+';
    int prefixLength = prefix ? (int)strlen(prefix) : 0;
    int pad = spec.width - length - zeros - prefixLength - (sign ? 1 : 0);
    if (spec.flags & kRight) {
        if (!(spec.flags & kZero))
            PutRepeat(out, ' ', pad);
        if (sign)
            Put(out, sign);
        if (prefixLength)
            PutText(out, prefix, prefixLength);
        if (spec.flags & kZero)
            PutRepeat(out, '0', pad);
    } else {
        if (sign)
            Put(out, sign);
        if (prefixLength)
            PutText(out, prefix, prefixLength);
    }
    PutRepeat(out, '0', zeros);
    PutText(out, text, length);
    if (!(spec.flags & kRight))
        PutRepeat(out, ' ', pad);
}

const char kLowerDigits[] = "0123456789abcdef";
const char kUpperDigits[] = "0123456789ABCDEF";

// Converts into the end of work (60 bytes); returns the first character's index.
int Convert(uint64_t value, unsigned base, int flags, char *work, int workSize) {
    const char *digits = (flags & kUpper) ? kUpperDigits : kLowerDigits;
    int i = workSize;
    int count = 0;
    do {
        if ((flags & kGroup) && base == 10 && count > 0 && count % 3 == 0)
            work[--i] = ',';
        work[--i] = digits[value % base];
        value /= base;
        count++;
    } while (value != 0);
    return i;
}

void PutInteger(Output *out, Spec spec, uint64_t magnitude, unsigned base, const char *prefix) {
    char work[60];
    if (spec.precision == 0 && magnitude == 0) {
        PutField(out, spec, "", 0, 0, nullptr);
        return;
    }
    int start = Convert(magnitude, base, spec.flags, work, sizeof(work));
    int length = (int)sizeof(work) - start;
    int zeros = spec.precision > length ? spec.precision - length : 0;
    if (zeros > 4096)
        zeros = 4096;
    PutField(out, spec, work + start, length, zeros, prefix);
}

void PutSigned(Output *out, Spec spec, int64_t value) {
    uint64_t magnitude = (uint64_t)value;
    if (value < 0) {
        spec.flags |= kNegative;
        magnitude = 0 - magnitude;
    }
    PutInteger(out, spec, magnitude, 10, nullptr);
}

void ReportValueTooLarge(int length) {
    char text[96];
    Zyl_FormatString(text, sizeof(text), "Value exceeds buffer size (%d > %d)\n", length,
                     kMaxDigits);
    Zyl_PrintRaw(text);
}

void PutDouble(Output *out, Spec spec, double value) {
    spec.flags &= ~kNegative;
    if (std::isnan(value)) {
        PutField(out, spec, "1.#QNAN0", 8, 0, nullptr);
        return;
    }
    if (value < 0) {
        spec.flags |= kNegative;
        value = -value;
    }
    if (std::isinf(value)) {
        PutField(out, spec, "1.#INF00", 8, 0, nullptr);
        return;
    }
    int precision = spec.precision < 0 ? 6 : (spec.precision > 9 ? 9 : spec.precision);
    double whole;
    double fraction = 0;
    if (precision == 0) {
        whole = std::floor(value + 0.5);
    } else {
        double scale = std::pow(10.0, precision);
        whole = std::floor(value);
        fraction = std::floor((value - whole) * scale + 0.5);
        if (fraction >= scale) {
            whole += 1;
            fraction -= scale;
        }
    }
    char work[80];
    int i = 60;
    if (whole < 18446744073709551615.0) {
        i = Convert((uint64_t)whole, 10, spec.flags, work, 60);
    } else {
        // Beyond 64 bits: digits from the double itself, within the work buffer.
        int count = 0;
        while (whole >= 1) {
            if (i <= 60 - kMaxDigits) {
                ReportValueTooLarge(count + 1);
                return;
            }
            if ((spec.flags & kGroup) && count > 0 && count % 3 == 0)
                work[--i] = ',';
            work[--i] = (char)('0' + (int)std::fmod(whole, 10.0));
            whole = std::floor(whole / 10.0);
            count++;
        }
    }
    int length = 60 - i;
    memmove(work, work + i, (size_t)length);
    if (precision > 0) {
        work[length++] = '.';
        uint64_t f = (uint64_t)fraction;
        for (int d = precision - 1; d >= 0; d--) {
            work[length + d] = (char)('0' + f % 10);
            f /= 10;
        }
        length += precision;
    }
    spec.precision = -1;
    PutField(out, spec, work, length, 0, nullptr);
}

void PutFixed16(Output *out, Spec spec, uint32_t value) {
    char work[40];
    uint32_t fraction = (uint32_t)(((uint64_t)(value & 0xFFFF) * 1000000) / 65536);
    int length = Zyl_FormatString(work, sizeof(work), "%u.%.6u", value >> 16, fraction);
    spec.flags &= ~kNegative;
    PutField(out, spec, work, length, 0, nullptr);
}

void PutString(Output *out, Spec spec, const char *text) {
    spec.flags &= ~(kNegative | kSign);
    if (!text) {
        PutField(out, spec, "NULL", 4, 0, nullptr);
        return;
    }
    int length = 0;
    if (spec.precision >= 0) {
        const void *nul = memchr(text, 0, (size_t)spec.precision);
        length = nul ? (int)(static_cast<const char *>(nul) - text) : spec.precision;
    } else {
        length = (int)strlen(text);
    }
    if (spec.flags & kAlternate) {
        for (int i = 0; i < length; i++)
            if ((uint8_t)text[i] > 126) {
                PutField(out, spec, "NONASCII", 8, 0, nullptr);
                return;
            }
    }
    if (!(spec.flags & kUpper)) {
        PutField(out, spec, text, length, 0, nullptr);
        return;
    }
    // Upper-cased through a bounded work copy, chunk by chunk.
    int pad = spec.width - length;
    if ((spec.flags & kRight) && pad > 0)
        PutRepeat(out, (spec.flags & kZero) ? '0' : ' ', pad);
    char work[256];
    for (int done = 0; done < length;) {
        int n = length - done > (int)sizeof(work) ? (int)sizeof(work) : length - done;
        for (int i = 0; i < n; i++) {
            char c = text[done + i];
            work[i] = (c >= 'a' && c <= 'z') ? (char)(c - 32) : c;
        }
        PutText(out, work, n);
        done += n;
    }
    if (!(spec.flags & kRight) && pad > 0)
        PutRepeat(out, ' ', pad);
}

void PutUnicode(Output *out, Spec spec, const uint16_t *text) {
    if (!text) {
        spec.flags &= ~(kNegative | kSign);
        PutField(out, spec, "NULL", 4, 0, nullptr);
        return;
    }
    char work[1024];
    int length = 0;
    int limit = spec.precision >= 0 && spec.precision < (int)sizeof(work) ? spec.precision
                                                                          : (int)sizeof(work);
    while (length < limit && text[length] != 0 && text[length] <= 126) {
        work[length] = (char)text[length];
        length++;
    }
    if ((spec.flags & kAlternate) && length < limit && text[length] > 126) {
        PutString(out, spec, "NONASCII");
        return;
    }
    work[length < (int)sizeof(work) ? length : (int)sizeof(work) - 1] = 0;
    spec.precision = length;
    PutString(out, spec, work);
}

void PutIpv4(Output *out, Spec spec, const uint8_t *address) {
    if (!address) {
        PutString(out, spec, nullptr);
        return;
    }
    char work[20];
    Zyl_FormatString(work, sizeof(work), "%u.%u.%u.%u", address[0], address[1], address[2],
                     address[3]);
    PutString(out, spec, work);
}

void PutHexBytes(Output *out, Spec spec, const uint8_t *bytes) {
    if (!bytes) {
        PutString(out, spec, nullptr);
        return;
    }
    const char *digits = (spec.flags & kUpper) ? kUpperDigits : kLowerDigits;
    for (int i = 0; i < spec.width; i++) {
        Put(out, digits[bytes[i] >> 4]);
        Put(out, digits[bytes[i] & 15]);
    }
}

// Reads the flags, width and precision after '%'; returns the conversion's start.
const char *ParseSpec(const char *p, Spec *spec, va_list *args) {
    spec->flags = kRight;
    spec->width = 0;
    spec->precision = -1;
    if (*p == '#') {
        spec->flags |= kAlternate;
        p++;
    }
    if (*p == '-') {
        spec->flags &= ~kRight;
        p++;
    }
    if (*p == '+') {
        spec->flags |= kSign;
        p++;
    }
    if (*p == '\'') {
        spec->flags |= kGroup;
        p++;
    }
    if (*p == '0') {
        spec->flags |= kZero;
        p++;
    }
    if (*p == '*') {
        spec->width = va_arg(*args, int);
        if (spec->width < 0) {
            spec->flags &= ~kRight;
            spec->width = -spec->width;
        }
        p++;
    } else {
        while (*p >= '0' && *p <= '9' && spec->width < 100000)
            spec->width = spec->width * 10 + (*p++ - '0');
        while (*p >= '0' && *p <= '9')
            p++;
    }
    if (*p == '.') {
        p++;
        spec->precision = 0;
        if (*p == '*') {
            spec->precision = va_arg(*args, int);
            if (spec->precision < 0)
                spec->precision = -1;
            p++;
        } else {
            while (*p >= '0' && *p <= '9' && spec->precision < 100000)
                spec->precision = spec->precision * 10 + (*p++ - '0');
            while (*p >= '0' && *p <= '9')
                p++;
        }
    }
    if (spec->flags & kRight)
        return p;
    spec->flags &= ~kZero; // zeros pad only on the left
    return p;
}

// Integer conversion of one letter with the value already read.
void PutIntegerLetter(Output *out, Spec spec, char letter, int64_t value, int wide) {
    switch (letter) {
    case 'u':
    case 'U':
        PutInteger(out, spec, wide ? (uint64_t)value : (uint32_t)value, 10, nullptr);
        return;
    case 'x':
    case 'X':
        if (letter == 'X')
            spec.flags |= kUpper;
        PutInteger(out, spec, wide ? (uint64_t)value : (uint32_t)value, 16,
                   (spec.flags & kAlternate) ? "0x" : nullptr);
        return;
    case 'o':
    case 'O':
        PutInteger(out, spec, wide ? (uint64_t)value : (uint32_t)value, 8,
                   (spec.flags & kAlternate) ? "0" : nullptr);
        return;
    case 'b':
        PutInteger(out, spec, wide ? (uint64_t)value : (uint32_t)value, 2, nullptr);
        return;
    default:
        PutSigned(out, spec, wide ? value : (int32_t)value);
        return;
    }
}

// At least 8 upper-case digits; 64-bit addresses keep all of theirs.
void PutPointer(Output *out, Spec spec, const void *pointer) {
    spec.flags |= kUpper;
    spec.precision = 8;
    uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    PutInteger(out, spec, (uint64_t)address, 16, (spec.flags & kAlternate) ? "0x" : nullptr);
}

// %I64x and %I64X: signed, upper-case digits; a negative value gives '-' and
// the magnitude.
void PutI64Hex(Output *out, Spec spec, int64_t value) {
    spec.flags |= kUpper;
    uint64_t magnitude = (uint64_t)value;
    if (value < 0) {
        spec.flags |= kNegative;
        magnitude = 0 - magnitude;
    }
    PutInteger(out, spec, magnitude, 16, (spec.flags & kAlternate) ? "0x" : nullptr);
}

// Conversions with a size prefix at p ('l', "ll", 'z', "I64"); returns the
// position after the conversion. A prefix without its letter is printed as is.
const char *SizedConversion(Output *out, const char *p, Spec spec, va_list *args) {
    char c = *p;
    if (c == 'l') {
        if (p[1] == 'l') {
            if (!p[2])
                return p + 2;
            PutIntegerLetter(out, spec, p[2], va_arg(*args, int64_t), 1);
            return p + 3;
        }
        if (!p[1])
            return p + 1;
        PutIntegerLetter(out, spec, p[1], va_arg(*args, int), 0);
        return p + 2;
    }
    if (c == 'z' && p[1] && strchr("diuxXo", p[1])) {
        // size_t and ssize_t: read as 64-bit so a habitual %zu never shifts arguments.
        PutIntegerLetter(out, spec, p[1], va_arg(*args, int64_t), 1);
        return p + 2;
    }
    if (c == 'I' && p[1] == '6' && p[2] == '4' && p[3]) {
        char letter = p[3];
        int64_t value = va_arg(*args, int64_t);
        if (letter == 'x' || letter == 'X')
            PutI64Hex(out, spec, value);
        else
            PutIntegerLetter(out, spec, letter, value, 1);
        return p + 4;
    }
    Put(out, c);
    return p + 1;
}

// Handles the conversion letter at p (after flags, width and precision); returns
// the position after it.
const char *Conversion(Output *out, const char *p, Spec spec, va_list *args) {
    char c = *p;
    switch (c) {
    case 'd':
        PutSigned(out, spec, va_arg(*args, int));
        return p + 1;
    case 'i':
        if (p[1] == 'p' && p[2] == 'v' && p[3] == '4') {
            PutIpv4(out, spec, va_arg(*args, const uint8_t *));
            return p + 4;
        }
        PutSigned(out, spec, va_arg(*args, int));
        return p + 1;
    case 'l':
    case 'z':
    case 'I':
        return SizedConversion(out, p, spec, args);
    case 'u':
    case 'U':
        if (strncmp(p + 1, "nicode", 6) == 0) {
            PutUnicode(out, spec, va_arg(*args, const uint16_t *));
            return p + 7;
        }
        if (c == 'U')
            spec.flags |= kUpper;
        PutInteger(out, spec, va_arg(*args, unsigned), 10, nullptr);
        return p + 1;
    case 'x':
    case 'X':
    case 'o':
    case 'O':
    case 'b':
        PutIntegerLetter(out, spec, c, (int64_t)va_arg(*args, unsigned), 0);
        return p + 1;
    case 'p':
    case 'P':
        PutPointer(out, spec, va_arg(*args, void *));
        return p + 1;
    case 'a':
        PutFixed16(out, spec, va_arg(*args, uint32_t));
        return p + 1;
    case 'f':
    case 'F':
        PutDouble(out, spec, va_arg(*args, double));
        return p + 1;
    case 'c': {
        char ch = (char)va_arg(*args, int);
        spec.flags &= ~kSign;
        PutField(out, spec, &ch, 1, 0, nullptr);
        return p + 1;
    }
    case 's':
    case 'S':
        if (c == 'S')
            spec.flags |= kUpper;
        PutString(out, spec, va_arg(*args, const char *));
        return p + 1;
    case 'h':
    case 'H':
        if ((c == 'h' && p[1] == 'e' && p[2] == 'x') || (c == 'H' && p[1] == 'E' && p[2] == 'X')) {
            if (c == 'H')
                spec.flags |= kUpper;
            PutHexBytes(out, spec, va_arg(*args, const uint8_t *));
            return p + 3;
        }
        Put(out, c);
        return p + 1;
    case 0:
        return p;
    default:
        Put(out, c);
        return p + 1;
    }
}

void ReportOverrun(const char *format) {
    Zyl_PrintRaw("\n\nERROR: The next string overran the print buffer!\nLINE: ");
    Zyl_PrintRaw(format);
    Zyl_PrintRaw("\n");
}

} // namespace

int Zyl_FormatStringV(char *buffer, int size, const char *format, va_list args) {
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(format);
    if (size < 1) {
        Zyl_PrintRaw("\n\nERROR: The next string too small to contain anything!\nLINE: ");
        Zyl_PrintRaw(format);
        Zyl_PrintRaw("\n");
        return 0;
    }
    Output out = {buffer, buffer + size - 1, 0};
    va_list work;
    va_copy(work, args);
    const char *p = format;
    while (*p) {
        if (*p != '%' && *p != '\t') {
            const char *run = p;
            while (*p && *p != '%' && *p != '\t')
                p++;
            PutText(&out, run, (int)(p - run));
            continue;
        }
        if (*p == '\t') {
            int written = (int)(out.pos - buffer);
            PutRepeat(&out, ' ', 4 - written % 4);
            p++;
            continue;
        }
        p++;
        if (*p == '%') {
            Put(&out, '%');
            p++;
            continue;
        }
        Spec spec;
        p = ParseSpec(p, &spec, &work);
        p = Conversion(&out, p, spec, &work);
        if (out.overrun)
            break;
    }
    va_end(work);
    *out.pos = 0;
    if (out.overrun)
        ReportOverrun(format);
    return (int)(out.pos - buffer);
}

int(Zyl_FormatString)(char *buffer, int size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = Zyl_FormatStringV(buffer, size, format, args);
    va_end(args);
    return n;
}

int(Zyl_AppendFormat)(char *buffer, int size, const char *format, ...) {
    ZYL_CHECK_PTR(buffer);
    int length = 0;
    while (length < size && buffer[length])
        length++;
    if (length >= size)
        length = size > 0 ? size - 1 : 0;
    va_list args;
    va_start(args, format);
    int n = Zyl_FormatStringV(buffer + length, size - length, format, args);
    va_end(args);
    return length + n;
}

int Zyl_FormatDecimal(double value, char *buffer, int size, int grouping, int decimals, int trim) {
    ZYL_CHECK_PTR(buffer);
    char work[40];
    if (decimals < 1 || decimals > 8)
        decimals = 0;
    if (grouping == 1)
        Zyl_FormatString(work, sizeof(work), "%'.*f", decimals, value);
    else
        Zyl_FormatString(work, sizeof(work), "%.*f", decimals, value);
    if (trim == 1 && decimals > 0) {
        int n = Zyl_StrLen(work);
        while (n > 0 && work[n - 1] == '0')
            work[--n] = 0;
        if (n > 0 && work[n - 1] == '.')
            work[--n] = 0;
    }
    return Zyl_StrCopy(buffer, work, size);
}
