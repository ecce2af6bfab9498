// The notification record and the engine's reporting calls that go through it.
// Receivers and contexts are atomic words, so any thread may report while the
// facade installs or removes the Patcher's receivers; a receiver is installed
// before the threads that report to it start and removed after they stopped.
#include "patcher/patcherlog.h"

#include "core/zyl.h"

#include <atomic>

static const char kTag[] = "NotificationStruct";

// One receiver and the context it is called with.
struct NotificationTarget {
    std::atomic<void *> Callback;
    std::atomic<void *> Context;
};

struct NotificationStruct {
    const char *Tag;
    NotificationTarget Log;
    NotificationTarget Error;
};

static void Notification_InternalStore(NotificationTarget *target, void *callback, void *context) {
    target->Callback.store(nullptr);
    target->Context.store(context);
    target->Callback.store(callback);
}

static std::atomic<NotificationStruct *> gNotification{nullptr};

int Notification_Initialize(void) {
    if (gNotification.load() != nullptr)
        return 1;
    NotificationStruct *created = ZYL_NEW(NotificationStruct);
    created->Tag = kTag;
    gNotification.store(created);
    return 1;
}

int Notification_Shutdown(void) {
    NotificationStruct *doomed = gNotification.exchange(nullptr);
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(NotificationStruct));
    return 1;
}

int Notification_SetLogCallback(PatcherLogCallback callback, void *context) {
    NotificationStruct *record = gNotification.load();
    if (record == nullptr)
        return 0;
    Notification_InternalStore(&record->Log, reinterpret_cast<void *>(callback), context);
    return 1;
}

int Notification_SetErrorCallback(PatcherErrorCallback callback, void *context) {
    NotificationStruct *record = gNotification.load();
    if (record == nullptr)
        return 0;
    Notification_InternalStore(&record->Error, reinterpret_cast<void *>(callback), context);
    return 1;
}

int Notification_RemoveContext(void *context) {
    NotificationStruct *record = gNotification.load();
    if (record == nullptr)
        return 1;
    for (NotificationTarget *target : {&record->Log, &record->Error})
        if (target->Context.load() == context)
            Notification_InternalStore(target, nullptr, nullptr);
    return 1;
}

int Patcher_SetLogCallbacks(void *context, PatcherLogCallback log, PatcherErrorCallback error) {
    if (log == nullptr && error == nullptr)
        return Notification_Shutdown();
    Notification_Initialize();
    Notification_SetLogCallback(log, context);
    Notification_SetErrorCallback(error, context);
    return 1;
}

// Formats one line and hands it to the receiver, when there is one.
static int Patcher_InternalDeliver(int error, int value, const char *format, va_list args) {
    ZYL_CHECK_PTR(format);
    NotificationStruct *record = gNotification.load();
    if (record == nullptr)
        return 0;
    NotificationTarget *target = error ? &record->Error : &record->Log;
    void *callback = target->Callback.load();
    if (callback == nullptr)
        return 0;
    void *context = target->Context.load();
    char line[PATCHER_LOG_LINE_SIZE];
    Zyl_FormatStringV(line, sizeof(line), format, args);
    auto receiver = reinterpret_cast<int (*)(void *, int, const char *)>(callback);
    return receiver(context, value, line);
}

int Patcher_LogV(int level, const char *format, va_list args) {
    return Patcher_InternalDeliver(0, level, format, args);
}

int(Patcher_Log)(int level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int result = Patcher_LogV(level, format, args);
    va_end(args);
    return result;
}

int(Patcher_ReportError)(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int result = Patcher_InternalDeliver(1, code, format, args);
    va_end(args);
    return result;
}
