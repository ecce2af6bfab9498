// Select sets of up to 64 sockets and the wait over them, built on poll() so
// that descriptors of any value work. Readiness follows select(): readable on
// data, hang-up or error; writable on space or error; the error set on
// out-of-band data or a pending error (a failed connect).
#include "net/socket.h"

#include "core/zyl.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace {

enum { kMaxPoll = 3 * SOCKET_SELECT_CAPACITY };

int SetCount(const SocketSelectStruct *set) {
    return set != nullptr ? set->Count : 0;
}

int FindHandle(const SocketSelectStruct *set, int handle) {
    for (int i = 0; i < set->Count; i++) {
        if (set->Handles[i] == handle)
            return i;
    }
    return -1;
}

// Adds the set's descriptors with `events` to the poll list, merging repeats.
void AddToPoll(const SocketSelectStruct *set, short events, struct pollfd *fds, int *count) {
    if (set == nullptr)
        return;
    for (int i = 0; i < set->Count; i++) {
        int j = 0;
        while (j < *count && fds[j].fd != set->Handles[i])
            j++;
        if (j == *count) {
            fds[j].fd = set->Handles[i];
            fds[j].events = 0;
            fds[j].revents = 0;
            (*count)++;
        }
        fds[j].events = (short)(fds[j].events | events);
    }
}

short Revents(const struct pollfd *fds, int count, int handle) {
    for (int j = 0; j < count; j++) {
        if (fds[j].fd == handle)
            return fds[j].revents;
    }
    return 0;
}

// Keeps only the members whose poll result has one of `mask`; returns how many.
int KeepReady(SocketSelectStruct *set, short mask, const struct pollfd *fds, int count) {
    if (set == nullptr)
        return 0;
    int kept = 0;
    for (int i = 0; i < set->Count; i++) {
        if ((Revents(fds, count, set->Handles[i]) & mask) != 0)
            set->Handles[kept++] = set->Handles[i];
    }
    set->Count = kept;
    return kept;
}

void ClearSet(SocketSelectStruct *set) {
    if (set != nullptr)
        set->Count = 0;
}

const short kReadMask = POLLIN | POLLHUP | POLLERR;
const short kWriteMask = POLLOUT | POLLERR;
const short kErrorMask = POLLPRI | POLLERR;

int HasInvalid(const struct pollfd *fds, int count) {
    for (int j = 0; j < count; j++) {
        if ((fds[j].revents & POLLNVAL) != 0)
            return 1;
    }
    return 0;
}

} // namespace

int Socket_SelectWait(const char *label, SocketSelectStruct *readSet, SocketSelectStruct *writeSet,
                      SocketSelectStruct *errorSet, int *cancel, int timeoutMs, int *ready) {
    ZYL_CHECK_PTR(label);
    ZYL_CHECK_PTR(ready);
    *ready = 0;
    if (readSet != nullptr)
        ZYL_CHECK_TAG(readSet, SocketSelectTag);
    if (writeSet != nullptr)
        ZYL_CHECK_TAG(writeSet, SocketSelectTag);
    if (errorSet != nullptr)
        ZYL_CHECK_TAG(errorSet, SocketSelectTag);
    if (SetCount(readSet) + SetCount(writeSet) + SetCount(errorSet) == 0)
        return 1;
    struct pollfd fds[kMaxPoll];
    int count = 0;
    AddToPoll(readSet, POLLIN, fds, &count);
    AddToPoll(writeSet, POLLOUT, fds, &count);
    AddToPoll(errorSet, POLLPRI, fds, &count);
    double start = Zyl_GetTickSeconds();
    for (;;) {
        if (cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_ACQUIRE) == 1)
            break;
        int remaining = timeoutMs - (int)((Zyl_GetTickSeconds() - start) * 1000.0);
        if (remaining < 0)
            remaining = 0;
        int slice = remaining > 999 ? 1000 : remaining;
        int rc = poll(fds, (nfds_t)count, slice);
        if (rc < 0 && errno != EINTR) {
            Zyl_Print("Select failed [%s: %s]\n", label,
                      Socket_GetErrorString(Socket_MapErrno(errno)));
            return 0;
        }
        if (rc > 0 && HasInvalid(fds, count)) {
            Zyl_Print("Select failed [%s: %s]\n", label,
                      Socket_GetErrorString(SOCKET_ERROR_NOT_SOCKET));
            return 0;
        }
        if (rc > 0) {
            int n = KeepReady(readSet, kReadMask, fds, count);
            n += KeepReady(writeSet, kWriteMask, fds, count);
            n += KeepReady(errorSet, kErrorMask, fds, count);
            *ready = n;
            return 1;
        }
        if (remaining <= slice && rc == 0)
            break;
    }
    ClearSet(readSet);
    ClearSet(writeSet);
    ClearSet(errorSet);
    return 1;
}

int Socket_Wait(SocketSelectStruct *readSet, SocketSelectStruct *writeSet,
                SocketSelectStruct *errorSet, int *cancel, int timeoutMs, int *ready) {
    return Socket_SelectWait("Wait", readSet, writeSet, errorSet, cancel, timeoutMs, ready);
}

int SocketSelect_Create(SocketSelectStruct **set) {
    ZYL_CHECK_PTR(set);
    SocketSelectStruct *s = ZYL_NEW(SocketSelectStruct);
    s->Tag = SocketSelectTag;
    *set = s;
    return 1;
}

int SocketSelect_Destroy(SocketSelectStruct **set) {
    ZYL_CHECK_PTR(set);
    SocketSelectStruct *s = *set;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, SocketSelectTag);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(SocketSelectStruct));
    *set = nullptr;
    return 1;
}

int SocketSelect_GetCapacity(SocketSelectStruct *set, int *capacity) {
    ZYL_CHECK_TAG(set, SocketSelectTag);
    ZYL_CHECK_PTR(capacity);
    *capacity = SOCKET_SELECT_CAPACITY;
    return 1;
}

int SocketSelect_Copy(SocketSelectStruct *destination, SocketSelectStruct *source) {
    ZYL_CHECK_TAG(destination, SocketSelectTag);
    ZYL_CHECK_TAG(source, SocketSelectTag);
    destination->Ready = 0;
    destination->Count = source->Count;
    memcpy(destination->Handles, source->Handles, sizeof source->Handles);
    return 1;
}

int SocketSelect_Clear(SocketSelectStruct *set) {
    ZYL_CHECK_TAG(set, SocketSelectTag);
    set->Count = 0;
    set->Ready = 0;
    return 1;
}

int SocketSelect_Add(SocketSelectStruct *set, SocketStruct *socket) {
    ZYL_CHECK_TAG(set, SocketSelectTag);
    if (socket == nullptr)
        return 0;
    ZYL_CHECK_TAG(socket, SocketTag);
    if (socket->Handle < 0)
        return 0;
    if (FindHandle(set, socket->Handle) >= 0 || set->Count >= SOCKET_SELECT_CAPACITY)
        return 1;
    set->Handles[set->Count++] = socket->Handle;
    return 1;
}

int SocketSelect_Remove(SocketSelectStruct *set, SocketStruct *socket) {
    ZYL_CHECK_TAG(set, SocketSelectTag);
    if (socket == nullptr)
        return 0;
    ZYL_CHECK_TAG(socket, SocketTag);
    if (socket->Handle < 0)
        return 0;
    int i = FindHandle(set, socket->Handle);
    if (i < 0)
        return 1;
    memmove(&set->Handles[i], &set->Handles[i + 1], sizeof(int) * (size_t)(set->Count - i - 1));
    set->Count--;
    return 1;
}

int SocketSelect_IsSet(SocketSelectStruct *set, SocketStruct *socket) {
    ZYL_CHECK_TAG(set, SocketSelectTag);
    if (socket == nullptr)
        return 0;
    ZYL_CHECK_TAG(socket, SocketTag);
    if (socket->Handle < 0)
        return 0;
    return FindHandle(set, socket->Handle) >= 0 ? 1 : 0;
}
