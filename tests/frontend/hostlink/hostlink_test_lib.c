/* A small outside library for the launcher's tests: claims the page call
 * "claimMe", declines every other one, and on "callBack" / "callBackFromThread"
 * calls the page function "fromHostlink" with one argument of each type, from
 * the caller's thread or from a thread of its own. "callBackBad" tries calls the
 * launcher must refuse. Built without Hostlink_Remove when HOSTLINK_TEST_BROKEN
 * is defined. */
#include "frontend/hostlink.h"

#include <pthread.h>
#include <string.h>

static HostlinkCallback gCallback;
static void *gContext;
static int gInits;
static int gRemoves;
static int gEvents;
static int gLastResults[3];

int HostlinkTest_Count(int which) {
    return which == 0 ? gInits : which == 1 ? gRemoves : gEvents;
}

int HostlinkTest_LastResult(int which) {
    return gLastResults[which];
}

static int CallPage(const char *name, const char *text) {
    ScriptArgument arguments[5];
    memset(arguments, 0, sizeof(arguments));
    arguments[0].Type = SCRIPT_VALUE_STRING;
    arguments[0].Value.Text = text;
    arguments[1].Type = SCRIPT_VALUE_INT;
    arguments[1].Value.Int = -42;
    arguments[2].Type = SCRIPT_VALUE_DOUBLE;
    arguments[2].Value.Double = 2.5;
    arguments[3].Type = SCRIPT_VALUE_NUMERIC;
    arguments[3].Value.Numeric = 8000000000LL;
    arguments[4].Type = SCRIPT_VALUE_BOOL;
    arguments[4].Value.Bool = 1;
    return gCallback(gContext, name, arguments, 5);
}

static void *ThreadMain(void *unused) {
    (void)unused;
    char name[32] = "fromHostlink";
    char text[64] = "text from a thread";
    gLastResults[0] = CallPage(name, text);
    /* The texts are gone once the call returns: the launcher must have copied them. */
    memset(name, 'x', sizeof(name) - 1);
    memset(text, 'x', sizeof(text) - 1);
    return NULL;
}

int Hostlink_Init(HostlinkCallback callback, void *context) {
    gCallback = callback;
    gContext = context;
    gInits++;
    return 1;
}

#ifndef HOSTLINK_TEST_BROKEN
void Hostlink_Remove(void) {
    gRemoves++;
    gCallback = NULL;
}
#endif

int Hostlink_ReceiveEvent(const ScriptEvent *event) {
    gEvents++;
    if (strcmp(event->Name, "claimMe") == 0)
        return 1;
    if (strcmp(event->Name, "callBack") == 0) {
        gLastResults[0] = CallPage("fromHostlink", "text from the library");
        return 1;
    }
    if (strcmp(event->Name, "callBackFromThread") == 0) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, ThreadMain, NULL) == 0)
            pthread_join(thread, NULL);
        return 1;
    }
    if (strcmp(event->Name, "callBackBad") == 0) {
        ScriptArgument many[65];
        memset(many, 0, sizeof(many));
        gLastResults[1] = gCallback(gContext, "fromHostlink", many, 65);
        gLastResults[2] = gCallback(gContext, NULL, many, 0);
        return 1;
    }
    return 0;
}
