// The patch engine's event queue and the front end's callback table.
#include "patcher/patcherevents.h"

#include "core/alert.h"
#include "core/mutex.h"
#include "core/zyl.h"
#include "patcher/bufferlog.h"
#include "patcher/patcherlog.h"

#include <cstring>

static const char kTag[] = "PatcherEventQueue";

// One growable byte buffer: the pending one is appended to, the dispatch one
// delivered; they swap whole.
struct PatcherEventBuffer {
    char *Data;
    int Used;
    int Capacity;
};

struct PatcherEventQueue {
    const char *Tag;
    MutexStruct *Mutex; // guards Pending
    PatcherEventBuffer Pending;
    PatcherEventBuffer Dispatch; // front end's thread only
    int Dispatching;             // 1 while ProcessEvents runs (front end's thread only)
    PatcherCallbacks Callbacks;
    PatcherEventHooks Hooks;
    BufferLogStruct *BufferLog;
};

static const char kDispatchError[] = "Assertion failed (FALSE)\nMessage dispatch error";

// Record sizes after the type word, for the fixed-size types.
enum {
    LOG_RECORD_SIZE = 4 + 2 * PATCHER_EVENT_TEXT_FIELD,
};

int PatcherPackageStatus_Init(PatcherPackageStatus *status) {
    ZYL_CHECK_PTR(status);
    memset(status, 0, sizeof(*status));
    status->State = 1;
    status->DownloadActive = 1;
    return 1;
}

int PatcherDownloadStatus_Init(PatcherDownloadStatus *status) {
    ZYL_CHECK_PTR(status);
    memset(status, 0, sizeof(*status));
    status->State = 1;
    status->Active = 1;
    return 1;
}

int PatcherCallbacks_CallVersionCheck(const PatcherCallbacks *callbacks, const char *name,
                                      int32_t *targetVersion,
                                      const PatcherVersionCheckRecord *record) {
    ZYL_CHECK_PTR(callbacks);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(targetVersion);
    ZYL_CHECK_PTR(record);
    if (callbacks->VersionCheck != nullptr)
        callbacks->VersionCheck(name, callbacks->UserData, targetVersion, *record);
    return 1;
}

int PatcherCallbacks_CallAllowRestart(const PatcherCallbacks *callbacks, const char *name,
                                      int32_t *allow) {
    ZYL_CHECK_PTR(callbacks);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(allow);
    if (callbacks->AllowRestart != nullptr)
        callbacks->AllowRestart(name, callbacks->UserData, allow);
    return 1;
}

// Pre- and post-processing ask the same way through different slots.
static int PatcherCallbacks_InternalCallProcess(PatcherProcessFunc slot, void *userData,
                                                const char *name, int32_t *hold,
                                                const PatcherProcessRequest *request) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(hold);
    ZYL_CHECK_PTR(request);
    if (slot != nullptr)
        slot(name, userData, hold, *request);
    return 1;
}

int PatcherCallbacks_CallPreProcess(const PatcherCallbacks *callbacks, const char *name,
                                    int32_t *hold, const PatcherProcessRequest *request) {
    ZYL_CHECK_PTR(callbacks);
    return PatcherCallbacks_InternalCallProcess(callbacks->PreProcess, callbacks->UserData, name,
                                                hold, request);
}

int PatcherCallbacks_CallPostProcess(const PatcherCallbacks *callbacks, const char *name,
                                     int32_t *hold, const PatcherProcessRequest *request) {
    ZYL_CHECK_PTR(callbacks);
    return PatcherCallbacks_InternalCallProcess(callbacks->PostProcess, callbacks->UserData, name,
                                                hold, request);
}

int PatcherCallbacks_CallClientSettings(const PatcherCallbacks *callbacks,
                                        PatcherClientSettings *settings) {
    ZYL_CHECK_PTR(callbacks);
    ZYL_CHECK_PTR(settings);
    if (callbacks->ClientSettings == nullptr)
        return 0;
    return callbacks->ClientSettings(callbacks->UserData, settings);
}

int PatcherEventQueue_Create(PatcherEventQueue **queue) {
    ZYL_CHECK_PTR(queue);
    PatcherEventQueue *created = ZYL_NEW(PatcherEventQueue);
    created->Tag = kTag;
    Mutex_Create(&created->Mutex);
    *queue = created;
    return 1;
}

static void PatcherEventQueue_InternalFree(PatcherEventBuffer *buffer) {
    if (buffer->Data != nullptr)
        ZYL_FREE(buffer->Data, buffer->Capacity);
    buffer->Used = 0;
    buffer->Capacity = 0;
}

int PatcherEventQueue_Destroy(PatcherEventQueue **queue) {
    ZYL_CHECK_PTR(queue);
    PatcherEventQueue *doomed = *queue;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    PatcherEventQueue_InternalFree(&doomed->Pending);
    PatcherEventQueue_InternalFree(&doomed->Dispatch);
    Mutex_Close(&doomed->Mutex);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PatcherEventQueue));
    *queue = nullptr;
    return 1;
}

int PatcherEventQueue_GetCallbacks(PatcherEventQueue *queue, PatcherCallbacks **callbacks) {
    ZYL_CHECK_TAG(queue, kTag);
    ZYL_CHECK_PTR(callbacks);
    *callbacks = &queue->Callbacks;
    return 1;
}

int PatcherEventQueue_ClearCallbacks(PatcherEventQueue *queue) {
    ZYL_CHECK_TAG(queue, kTag);
    PatcherCallbacks *slots = &queue->Callbacks;
    slots->StateChange = nullptr;
    slots->Status = nullptr;
    slots->VersionCheck = nullptr;
    slots->AllowRestart = nullptr;
    slots->PerformRestart = nullptr;
    slots->PreProcess = nullptr;
    slots->PostProcess = nullptr;
    slots->Log = nullptr;
    slots->Error = nullptr;
    return 1;
}

int PatcherEventQueue_SetHooks(PatcherEventQueue *queue, const PatcherEventHooks *hooks) {
    ZYL_CHECK_TAG(queue, kTag);
    if (hooks == nullptr)
        memset(&queue->Hooks, 0, sizeof(queue->Hooks));
    else
        queue->Hooks = *hooks;
    return 1;
}

int PatcherEventQueue_SetBufferLog(PatcherEventQueue *queue, BufferLogStruct *log) {
    ZYL_CHECK_TAG(queue, kTag);
    queue->BufferLog = log;
    return 1;
}

int PatcherEventQueue_Lock(PatcherEventQueue *queue) {
    ZYL_CHECK_TAG(queue, kTag);
    return MUTEX_LOCK(queue->Mutex);
}

int PatcherEventQueue_Unlock(PatcherEventQueue *queue) {
    ZYL_CHECK_TAG(queue, kTag);
    return MUTEX_UNLOCK(queue->Mutex);
}

// The capacity a buffer of capacity bytes grows to when need bytes must fit:
// whole 2048-byte steps, at least need, and at least half as much again as
// before (twice as much from 64 KiB on), so that filling a large buffer copies
// each byte only a few times.
static int64_t PatcherEventQueue_InternalGrowth(int64_t capacity, int64_t need) {
    int64_t step = capacity >= PATCHER_EVENT_DOUBLING ? capacity : capacity / 2;
    int64_t wanted = need > capacity + step ? need : capacity + step;
    int64_t grown =
        (wanted + PATCHER_EVENT_GROWTH - 1) / PATCHER_EVENT_GROWTH * PATCHER_EVENT_GROWTH;
    if (grown > INT32_MAX)
        ZYL_FATAL("Patcher event buffer of %lld bytes is too large\n", (long long)grown);
    return grown;
}

int PatcherEventQueue_QueueBytes(PatcherEventQueue *queue, const void *bytes, int count) {
    ZYL_CHECK_TAG(queue, kTag);
    if (count <= 0)
        return 1;
    ZYL_CHECK_PTR(bytes);
    PatcherEventBuffer *buffer = &queue->Pending;
    int64_t need = (int64_t)buffer->Used + count;
    if (need > buffer->Capacity) {
        // Left unfilled: only the used bytes are ever read, and each is written first.
        int64_t grown = PatcherEventQueue_InternalGrowth(buffer->Capacity, need);
        char *block = static_cast<char *>(ZYL_ALLOC_UNFILLED(grown));
        if (buffer->Data != nullptr) {
            memcpy(block, buffer->Data, buffer->Used);
            ZYL_FREE(buffer->Data, buffer->Capacity);
        }
        buffer->Data = block;
        buffer->Capacity = (int)grown;
    }
    memcpy(buffer->Data + buffer->Used, bytes, count);
    buffer->Used += count;
    return 1;
}

int PatcherEventQueue_QueueInt(PatcherEventQueue *queue, int32_t value) {
    return PatcherEventQueue_QueueBytes(queue, &value, sizeof(value));
}

int PatcherEventQueue_QueueName(PatcherEventQueue *queue, const char *name) {
    ZYL_CHECK_PTR(name);
    char field[PATCHER_EVENT_NAME_FIELD] = {};
    Zyl_StrCopy(field, name, sizeof(field));
    return PatcherEventQueue_QueueBytes(queue, field, sizeof(field));
}

int PatcherEventQueue_GetPendingSize(PatcherEventQueue *queue, int *used, int *capacity) {
    ZYL_CHECK_TAG(queue, kTag);
    ZYL_CHECK_PTR(used);
    ZYL_CHECK_PTR(capacity);
    MUTEX_LOCK(queue->Mutex);
    *used = queue->Pending.Used;
    *capacity = queue->Pending.Capacity;
    MUTEX_UNLOCK(queue->Mutex);
    return 1;
}

// Appends one event of type with an optional name field and record, as one unit.
static int PatcherEventQueue_InternalQueue(PatcherEventQueue *queue, int32_t type, const char *name,
                                           const void *record, int size) {
    ZYL_CHECK_TAG(queue, kTag);
    // The whole event is laid out here first (the largest is a name and a
    // 912-byte record), so the mutex is held for one copy.
    char event[sizeof(int32_t) + PATCHER_EVENT_NAME_FIELD + sizeof(PatcherPackageListStatusRecord)];
    int length = sizeof(type);
    memcpy(event, &type, sizeof(type));
    if (name != nullptr) {
        memset(event + length, 0, PATCHER_EVENT_NAME_FIELD);
        Zyl_StrCopy(event + length, name, PATCHER_EVENT_NAME_FIELD);
        length += PATCHER_EVENT_NAME_FIELD;
    }
    if (size > (int)sizeof(event) - length)
        ZYL_FATAL("Patcher event record of %d bytes is too large\n", size);
    if (size > 0)
        memcpy(event + length, record, size);
    MUTEX_LOCK(queue->Mutex);
    PatcherEventQueue_QueueBytes(queue, event, length + size);
    MUTEX_UNLOCK(queue->Mutex);
    return 1;
}

int PatcherEventQueue_QueuePerformRestart(PatcherEventQueue *queue) {
    return PatcherEventQueue_InternalQueue(queue, PATCHER_EVENT_PERFORMRESTART, nullptr, nullptr,
                                           0);
}

int PatcherEventQueue_QueueStateChange(PatcherEventQueue *queue, const char *name,
                                       const PatcherStateChangeRecord *record) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(record);
    PatcherEventQueue_InternalQueue(queue, PATCHER_EVENT_STATECHANGE, name, record,
                                    sizeof(*record));
    char previous[PATCHER_STATE_NAME_SIZE];
    char next[PATCHER_STATE_NAME_SIZE];
    Patcher_GetStateName(previous, record->PreviousState);
    Patcher_GetStateName(next, record->NewState);
    Patcher_Log(PATCHER_LOG_INFO, "[%s] State change [%s] to [%s]", name, previous, next);
    return 1;
}

int PatcherEventQueue_QueueStatus(PatcherEventQueue *queue, const char *name,
                                  const PatcherPackageStatus *status) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(status);
    return PatcherEventQueue_InternalQueue(queue, PATCHER_EVENT_STATUS, name, status,
                                           sizeof(*status));
}

int PatcherEventQueue_QueuePackageListStatus(PatcherEventQueue *queue,
                                             const PatcherPackageListStatusRecord *record) {
    ZYL_CHECK_PTR(record);
    return PatcherEventQueue_InternalQueue(queue, PATCHER_EVENT_PACKAGELISTSTATUS, nullptr, record,
                                           sizeof(*record));
}

int PatcherEventQueue_QueueMaintenance(PatcherEventQueue *queue, const char *name,
                                       const PatcherMaintenanceRecord *record) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(record);
    PatcherEventQueue_InternalQueue(queue, PATCHER_EVENT_MAINTENANCE, name, record,
                                    sizeof(*record));
    // The record's texts came from a server: bound them before they are logged.
    char url[PATCHER_EVENT_TEXT_FIELD];
    char info[PATCHER_EVENT_TEXT_FIELD];
    Zyl_StrCopy(url, record->MaintenanceUrl, sizeof(url));
    Zyl_StrCopy(info, record->AdditionalInfo, sizeof(info));
    Patcher_Log(PATCHER_LOG_INFO, "Maintenance event received [%s,%s,%s]", name, url, info);
    return 1;
}

int PatcherEventQueue_QueueDownloadStatus(PatcherEventQueue *queue, const char *name,
                                          const PatcherDownloadStatus *status) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(status);
    return PatcherEventQueue_InternalQueue(queue, PATCHER_EVENT_DOWNLOADSTATUS, name, status,
                                           sizeof(*status));
}

int PatcherEventQueue_QueueItem(PatcherEventQueue *queue, const void *bytes, int32_t length) {
    ZYL_CHECK_TAG(queue, kTag);
    if (length < 0)
        ZYL_FATAL("Patcher item event of negative length %d\n", length);
    MUTEX_LOCK(queue->Mutex);
    PatcherEventQueue_QueueInt(queue, PATCHER_EVENT_ITEM);
    PatcherEventQueue_QueueInt(queue, length);
    PatcherEventQueue_QueueBytes(queue, bytes, length);
    MUTEX_UNLOCK(queue->Mutex);
    return 1;
}

int Patcher_FormatDate(char *text) {
    ZYL_CHECK_PTR(text);
    int32_t minutes = 0;
    int hour = 0;
    int minute = 0;
    int month = 0;
    int day = 0;
    int year = 0;
    Zyl_GetLocalMinutes(&minutes);
    Zyl_MinutesToDate(minutes, &hour, &minute, &month, &day, &year);
    Zyl_FormatString(text, PATCHER_EVENT_TEXT_FIELD, "%02d/%02d/%04d %02d:%02d", month + 1, day,
                     year + 1900, hour, minute);
    return 1;
}

// LOG and ERROR: the line is printed, written to the buffered log and queued as
// (type, level or code, stamp, text).
static int PatcherEventQueue_InternalQueueMessage(PatcherEventQueue *queue, int32_t type,
                                                  int32_t value, const char *message) {
    ZYL_CHECK_TAG(queue, kTag);
    ZYL_CHECK_PTR(message);
    char record[LOG_RECORD_SIZE] = {};
    char *stamp = record + 4;
    char *text = stamp + PATCHER_EVENT_TEXT_FIELD;
    int valid = 1;
    if (type == PATCHER_EVENT_ERROR) {
        Zyl_FormatString(text, PATCHER_EVENT_TEXT_FIELD, "[ERROR] %s", message);
    } else {
        const char *word = "[INVALID]";
        if (value == PATCHER_LOG_WARNING)
            word = "[WARNING]";
        else if (value == PATCHER_LOG_INFO)
            word = "[INFO]";
        else {
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Invalid log message found");
            valid = 0;
        }
        Zyl_FormatString(text, PATCHER_EVENT_TEXT_FIELD, "%s %s", word, message);
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%s", text);
    Patcher_FormatDate(stamp);
    if (queue->BufferLog != nullptr) {
        char line[PATCHER_EVENT_TEXT_FIELD];
        Zyl_FormatString(line, sizeof(line), "%s %s", stamp, text);
        BufferLog_Printf(queue->BufferLog, "%s", line);
    }
    if (valid == 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Invalid log message found");
        return 1;
    }
    memcpy(record, &value, sizeof(value));
    return PatcherEventQueue_InternalQueue(queue, type, nullptr, record, sizeof(record));
}

int PatcherEventQueue_QueueLog(PatcherEventQueue *queue, int level, const char *text) {
    return PatcherEventQueue_InternalQueueMessage(queue, PATCHER_EVENT_LOG, level, text);
}

int PatcherEventQueue_QueueError(PatcherEventQueue *queue, int code, const char *text) {
    return PatcherEventQueue_InternalQueueMessage(queue, PATCHER_EVENT_ERROR, code, text);
}

int PatcherEventQueue_LogReceiver(void *queue, int level, const char *text) {
    return PatcherEventQueue_QueueLog(static_cast<PatcherEventQueue *>(queue), level, text);
}

int PatcherEventQueue_ErrorReceiver(void *queue, int code, const char *text) {
    return PatcherEventQueue_QueueError(static_cast<PatcherEventQueue *>(queue), code, text);
}

// Reading side of one dispatch: the buffer and the position in it.
struct PatcherEventReader {
    const char *Data;
    int Used;
    int Position;
};

// Copies the next size bytes out and steps past them; a record cut short by the
// end of the data is fatal (producers append whole events under the mutex).
static void PatcherEventQueue_InternalRead(PatcherEventReader *reader, void *out, int size) {
    if (size > reader->Used - reader->Position)
        ZYL_FATAL("%s\n", kDispatchError);
    memcpy(out, reader->Data + reader->Position, size);
    reader->Position += size;
}

// Reads a name field and makes sure it ends inside its 320 bytes.
static void PatcherEventQueue_InternalReadName(PatcherEventReader *reader, char *name) {
    PatcherEventQueue_InternalRead(reader, name, PATCHER_EVENT_NAME_FIELD);
    name[PATCHER_EVENT_NAME_FIELD - 1] = '\0';
}

static void PatcherEventQueue_InternalPackageState(PatcherEventQueue *queue, const char *name,
                                                   const PatcherPackageStatus *status) {
    if (queue->Hooks.PackageState != nullptr)
        queue->Hooks.PackageState(queue->Hooks.Context, name, status);
}

static void PatcherEventQueue_InternalDispatch(PatcherEventQueue *queue, int type,
                                               PatcherEventReader *reader) {
    const PatcherCallbacks *slots = &queue->Callbacks;
    void *user = slots->UserData;
    char name[PATCHER_EVENT_NAME_FIELD];
    switch (type) {
    case PATCHER_EVENT_PERFORMRESTART:
        if (slots->PerformRestart != nullptr)
            slots->PerformRestart(user);
        break;
    case PATCHER_EVENT_STATECHANGE: {
        PatcherStateChangeRecord record;
        PatcherEventQueue_InternalReadName(reader, name);
        PatcherEventQueue_InternalRead(reader, &record, sizeof(record));
        PatcherEventQueue_InternalPackageState(queue, name, &record.Status);
        if (slots->StateChange != nullptr)
            slots->StateChange(name, user, record);
        break;
    }
    case PATCHER_EVENT_STATUS: {
        PatcherPackageStatus status;
        PatcherEventQueue_InternalReadName(reader, name);
        PatcherEventQueue_InternalRead(reader, &status, sizeof(status));
        PatcherEventQueue_InternalPackageState(queue, name, &status);
        if (slots->Status != nullptr)
            slots->Status(name, user, status);
        break;
    }
    case PATCHER_EVENT_LOG:
    case PATCHER_EVENT_ERROR: {
        int32_t value = 0;
        char stamp[PATCHER_EVENT_TEXT_FIELD];
        char text[PATCHER_EVENT_TEXT_FIELD];
        PatcherEventQueue_InternalRead(reader, &value, sizeof(value));
        PatcherEventQueue_InternalReadName(reader, stamp);
        PatcherEventQueue_InternalReadName(reader, text);
        if (type == PATCHER_EVENT_ERROR) {
            if (slots->Error != nullptr)
                slots->Error(user, value, stamp, text);
        } else if (value != PATCHER_LOG_WARNING && value != PATCHER_LOG_INFO) {
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Invalid log message found");
        } else if (slots->Log != nullptr) {
            slots->Log(user, stamp, text);
        }
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%s %s", stamp, text);
        break;
    }
    case PATCHER_EVENT_PACKAGELISTSTATUS: {
        PatcherPackageListStatusRecord record;
        PatcherEventQueue_InternalRead(reader, &record, sizeof(record));
        record.ListName[PATCHER_EVENT_NAME_FIELD - 1] = '\0';
        record.PackageName[PATCHER_EVENT_NAME_FIELD - 1] = '\0';
        if (slots->PackageListStatus != nullptr)
            slots->PackageListStatus(user, record);
        break;
    }
    case PATCHER_EVENT_MAINTENANCE: {
        PatcherMaintenanceRecord record;
        PatcherEventQueue_InternalReadName(reader, name);
        PatcherEventQueue_InternalRead(reader, &record, sizeof(record));
        if (slots->Maintenance != nullptr)
            slots->Maintenance(name, user, record);
        break;
    }
    case PATCHER_EVENT_DOWNLOADSTATUS: {
        PatcherDownloadStatus status;
        PatcherEventQueue_InternalReadName(reader, name);
        PatcherEventQueue_InternalRead(reader, &status, sizeof(status));
        if (slots->DownloadStatus != nullptr)
            slots->DownloadStatus(name, user, status);
        break;
    }
    case PATCHER_EVENT_ITEM: {
        int32_t length = 0;
        PatcherEventQueue_InternalRead(reader, &length, sizeof(length));
        if (length < 0 || length > reader->Used - reader->Position)
            ZYL_FATAL("%s\n", kDispatchError);
        const char *bytes = reader->Data + reader->Position;
        reader->Position += length;
        if (slots->Item != nullptr)
            slots->Item(user, bytes, length);
        break;
    }
    default:
        // Type 8 has no record and 10 and more do not exist: the stream is broken.
        ZYL_FATAL("%s\n", kDispatchError);
    }
}

int PatcherEventQueue_ProcessEvents(PatcherEventQueue *queue) {
    ZYL_CHECK_TAG(queue, kTag);
    if (queue->Dispatching == 1)
        return 1;
    queue->Dispatching = 1;
    if (queue->Hooks.ReadOptions != nullptr)
        queue->Hooks.ReadOptions(queue->Hooks.Context);

    MUTEX_LOCK(queue->Mutex);
    PatcherEventBuffer swap = queue->Pending;
    queue->Pending = queue->Dispatch;
    queue->Dispatch = swap;
    MUTEX_UNLOCK(queue->Mutex);

    PatcherEventReader reader = {queue->Dispatch.Data, queue->Dispatch.Used, 0};
    while (reader.Data != nullptr && reader.Position < reader.Used) {
        int32_t word = 0;
        PatcherEventQueue_InternalRead(&reader, &word, sizeof(word));
        PatcherEventQueue_InternalDispatch(queue, word & 0xFF, &reader);
    }
    queue->Dispatch.Used = 0;

    if (queue->Hooks.ProcessRequests != nullptr)
        queue->Hooks.ProcessRequests(queue->Hooks.Context);
    queue->Dispatching = 0;
    return 1;
}

int PatcherEventQueue_Trim(PatcherEventQueue *queue) {
    ZYL_CHECK_TAG(queue, kTag);
    MUTEX_LOCK(queue->Mutex);
    if (queue->Pending.Capacity > PATCHER_EVENT_PENDING_LIMIT) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Patcher_ProcessEvents() called too rarely.  Arg buffer has grown too large "
                  "and has been discarded.");
        PatcherEventQueue_InternalFree(&queue->Pending);
    }
    MUTEX_UNLOCK(queue->Mutex);
    return 1;
}
