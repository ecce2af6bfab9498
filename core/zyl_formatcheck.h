// Compile-time check of the system formatter's calls: every conversion of a
// literal format must be given an argument of the size and kind it reads
// (core/zyl_format.cpp). The compiler's printf attribute cannot do this: %ld
// reads an int, %a a 32-bit fixed-point value, and %ipv4, %hex, %unicode, %b,
// %S and %I64d are not printf's.
//
// Each variadic formatting function gets a macro of its own name beside its
// declaration, e.g.
//   #define Zyl_Print(...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (Zyl_Print)(__VA_ARGS__))
// The check sits in a branch that never runs, so arguments are evaluated once.
// A mismatch fails the build at the call with "ZylFormat_ArgumentMismatch".
// Its definition, helpers that take a checked ZylFormat (below) and the
// formatter's own tests name the function in parentheses: (Zyl_Print)(...).
#pragma once

#include <cstdint>
#include <type_traits>

namespace zylformat {

// What a conversion reads from the argument list.
enum Kind {
    kInt32 = 1,   // d i u x X o O b c U, %ld and friends, '*' width and precision
    kInt64,       // %lld %llu %llx, %zu %zd %zx, %I64d %I64u %I64x
    kFixed,       // %a: a 32-bit 16.16 fixed-point value
    kDouble,      // %f %F
    kText,        // %s %S
    kPointer,     // %p %P
    kBytes,       // %ipv4, %hex, %HEX: const uint8_t *
    kUnicode,     // %unicode: const uint16_t *
    kUnsupported, // an argument no conversion can read (class, float array...)
};

template <class T> constexpr int KindOf() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<U, std::nullptr_t>) {
        return kPointer;
    } else if constexpr (std::is_enum_v<U> || std::is_integral_v<U>) {
        return sizeof(U) <= 4 ? kInt32 : kInt64;
    } else if constexpr (std::is_floating_point_v<U>) {
        return kDouble;
    } else if constexpr (std::is_pointer_v<U>) {
        using P = std::remove_cv_t<std::remove_pointer_t<U>>;
        if constexpr (std::is_same_v<P, char> || std::is_same_v<P, signed char>)
            return kText;
        else if constexpr (std::is_same_v<P, unsigned char>)
            return kBytes;
        else if constexpr (std::is_same_v<P, uint16_t> || std::is_same_v<P, char16_t>)
            return kUnicode;
        else
            return kPointer;
    } else {
        return kUnsupported;
    }
}

// Conversions spelled as words: the letter and the rest of the word read one
// argument; the same letter alone is a plain conversion or printed as it is.
struct Word {
    const char *Text;
    int Kind;
};
constexpr Word kWords[] = {
    {"ipv4", kBytes}, {"unicode", kUnicode}, {"Unicode", kUnicode},
    {"hex", kBytes},  {"HEX", kBytes},
};

// The length of text when p starts with it, else 0.
constexpr int StartsWith(const char *p, const char *text) {
    int n = 0;
    for (; text[n]; n++)
        if (p[n] != text[n])
            return 0;
    return n;
}

// 1 when an argument of kind `given` may be read as `wanted`.
constexpr bool Accepts(int wanted, int given) {
    bool anyText = given == kText || given == kBytes || given == kUnicode;
    return wanted == given || (wanted == kFixed && given == kInt32) ||
           (wanted == kPointer && anyText) ||                              // %p: any address
           (wanted == kBytes && (given == kPointer || given == kText)) ||  // generic bytes
           ((wanted == kUnicode || wanted == kText) && given == kPointer); // null, void *
}

// Walks the format as Zyl_FormatStringV does; each conversion takes the next
// kind from `kinds`. False on a wrong kind, a missing or a surplus argument.
constexpr bool Matches(const char *p, const int *kinds, int count) {
    int next = 0;
    bool good = true;
    auto take = [&](int wanted) {
        if (next >= count || !Accepts(wanted, kinds[next]))
            good = false;
        next++;
    };
    while (*p) {
        if (*p++ != '%')
            continue;
        if (*p == '%') {
            p++;
            continue;
        }
        for (const char *flag = "#-+'0"; *flag; flag++)
            if (*p == *flag)
                p++;
        if (*p == '*') {
            take(kInt32);
            p++;
        } else {
            while (*p >= '0' && *p <= '9')
                p++;
        }
        if (*p == '.') {
            p++;
            if (*p == '*') {
                take(kInt32);
                p++;
            } else {
                while (*p >= '0' && *p <= '9')
                    p++;
            }
        }
        char c = *p;
        if (c == 0)
            break;
        int word = 0;
        for (const Word &w : kWords) {
            if ((word = StartsWith(p, w.Text)) != 0) {
                take(w.Kind);
                break;
            }
        }
        if (word != 0) {
            p += word;
            continue;
        }
        p++;
        switch (c) {
        case 'd':
        case 'i':
        case 'u':
        case 'U':
        case 'x':
        case 'X':
        case 'o':
        case 'O':
        case 'b':
        case 'c':
            take(kInt32);
            break;
        case 'l':
            if (*p == 'l') {
                if (p[1] == 0)
                    return false; // "%ll" at the end reads nothing
                take(kInt64);
                p += 2;
            } else if (*p != 0) {
                take(kInt32);
                p++;
            }
            break;
        case 'z':
            if (*p == 'd' || *p == 'i' || *p == 'u' || *p == 'x' || *p == 'X' || *p == 'o') {
                take(kInt64);
                p++;
            }
            break;
        case 'I':
            if (StartsWith(p, "64") && p[2] != 0) {
                take(kInt64);
                p += 3;
            }
            break;
        case 'p':
        case 'P':
            take(kPointer);
            break;
        case 'a':
            take(kFixed);
            break;
        case 'f':
        case 'F':
            take(kDouble);
            break;
        case 's':
        case 'S':
            take(kText);
            break;
        default:
            break; // printed as it is, reads nothing
        }
    }
    return good && next == count;
}

// The same for the argument types Args.
template <class... Args> constexpr bool MatchesTypes(const char *format) {
    constexpr int kinds[] = {KindOf<Args>()..., 0};
    return Matches(format, kinds, (int)sizeof...(Args));
}

// Called only when a check fails; not constexpr, so the failing call does not compile.
inline void ZylFormat_ArgumentMismatch() {}

// A literal format checked against the argument types Args.
template <class... Args> struct Format {
    const char *Text;
    template <int N> consteval Format(const char (&text)[N]) : Text(text) {
        if (!MatchesTypes<std::decay_t<Args>...>(text))
            ZylFormat_ArgumentMismatch();
    }
};

template <class... Args> void Call(Format<std::type_identity_t<Args>...>, Args...) {}

} // namespace zylformat

// Expands to an expression that checks the format (first argument) against the
// rest at compile time and does nothing at run time.
#define ZYL_FORMAT_CHECK(...) (false ? zylformat::Call(__VA_ARGS__) : (void)0)

// A helper that passes a format on takes it as ZylFormat<argument types...>:
// its callers' literals are checked there, and it forwards format.Text to the
// formatter named in parentheses.
template <class... Args> using ZylFormat = zylformat::Format<Args...>;
