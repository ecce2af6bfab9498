/* The binary interface between the launcher and its optional outside library
 * "libhostlink.so": the typed values a page call carries (ScriptParameter,
 * ScriptEvent), the arguments of a page-function call (ScriptArgument), the
 * callback the library calls page functions through, and the library's three
 * functions. Plain C, so the library may be built by any compiler; texts are UTF-8. */
#ifndef PORTICO_FRONTEND_HOSTLINK_H
#define PORTICO_FRONTEND_HOSTLINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ScriptValueType: what a parameter or argument holds. */
typedef int32_t ScriptValueType;
enum {
    SCRIPT_VALUE_STRING = 0,
    SCRIPT_VALUE_INT = 1,
    SCRIPT_VALUE_DOUBLE = 2,
    SCRIPT_VALUE_NUMERIC = 3, /* 64-bit integer */
    SCRIPT_VALUE_BOOL = 4
};

enum {
    SCRIPT_PARAMETER_VALUE_SIZE = 128, /* a string value: at most 127 bytes and its NUL */
    SCRIPT_EVENT_NAME_SIZE = 32,       /* an event name: at most 31 bytes and its NUL */
    SCRIPT_PARAMETER_TEXT_MAX = 319    /* longest parameter text a page call may pass */
};

/* One parsed parameter of a page call (136 bytes). */
typedef struct ScriptParameter {
    union {
        char Text[SCRIPT_PARAMETER_VALUE_SIZE];
        int32_t Int;
        double Double;
        int64_t Numeric;
        int32_t Bool; /* 0 or 1 */
    } Value;
    ScriptValueType Type;
    int32_t Reserved;
} ScriptParameter;

/* One page call: its name and parameters. Valid only during the call it is
 * handed to; the parameter array belongs to the caller. */
typedef struct ScriptEvent {
    char Name[SCRIPT_EVENT_NAME_SIZE];
    ScriptParameter *Parameters;
    int32_t Count;
} ScriptEvent;

/* One argument of a page-function call (16 bytes). A string argument points
 * at NUL-terminated text that lives as long as the call. */
typedef struct ScriptArgument {
    union {
        int32_t Int;
        double Double;
        int64_t Numeric;
        int32_t Bool;
        const char *Text;
    } Value;
    ScriptValueType Type;
    int32_t Reserved;
} ScriptArgument;

/* Calls the page function name with count arguments (at most
 * HOSTLINK_ARGUMENT_MAX). Any thread may call it: a call from another thread is
 * copied and made on the launcher's thread later. Returns 1 when accepted. */
typedef int (*HostlinkCallback)(void *context, const char *name, const ScriptArgument *arguments,
                                int count);
enum { HOSTLINK_ARGUMENT_MAX = 64 };

/* The library's functions, looked up by these names. */
typedef int (*HostlinkInitFunc)(HostlinkCallback callback, void *context);
typedef void (*HostlinkRemoveFunc)(void);
/* 1 when the library handled the page call (the launcher then does nothing more). */
typedef int (*HostlinkReceiveEventFunc)(const ScriptEvent *event);

#ifdef __cplusplus
}
static_assert(sizeof(ScriptParameter) == 136, "ScriptParameter is 136 bytes");
static_assert(sizeof(ScriptArgument) == 16, "ScriptArgument is 16 bytes");
#endif

#endif
