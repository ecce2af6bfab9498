// Multiplexer and worker of a reliable-UDP port. Each pass: serve queued
// requests, drain the channel (bounded per pass), run every due timer, then
// sleep in ppoll on the channel and a wake-up eventfd until the next timer.
#include "net/udt_mux.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "core/thread.h"
#include "core/zyl.h"
#include "net/udt_hash.h"
#include "net/udt_internal.h"

const char UDTMultiplexerTag[] = "UDTMultiplexer";

enum {
    MUX_SOCKET_BUCKETS = 1024,
    MUX_RECEIVE_BURST = 256, // datagrams read per pass before timers get their turn
    MUX_TIMER_BURST = 4096,  // timers fired per pass at most
};

struct UDTMultiplexerStruct {
    const char *Tag;
    UDTMultiplexerStruct *Prev; // list of all multiplexers (under g_listLock)
    UDTMultiplexerStruct *Next;
    int RefCount;    // sockets bound (under g_listLock)
    int PayloadSize; // bytes
    int Reuse;
    int Port; // local port
    ThreadStruct *Worker;
    pthread_mutex_t QueueLock;
    pthread_cond_t QueueCond; // room in the queue, or a request served
    UDTMuxRequest Queue[UDT_REQUEST_QUEUE_SIZE];
    int QueueHead;
    int QueueCount;
    int WakeFd;      // eventfd poked by every request
    int WakePending; // the last poll saw WakeFd readable (worker only)
    double TestNow;  // a port without worker: the time its driver last gave (0 = clock)
    UDTChannelStruct *Channel;
    UDTPacketStruct *Packet; // receive buffer, payload size bytes
    UDTSocketStruct *Listener;
    UDTHashStruct *Sockets; // socket id -> socket
    UDTTimerNode *TimerHead;
    UDTTimerNode *TimerTail;
};

static pthread_mutex_t g_listLock = PTHREAD_MUTEX_INITIALIZER;
static int g_testInline; // ports opened now get no worker (test hook)
static UDTMultiplexerStruct *g_list;
static int g_count;

int UDTMultiplexer_Startup(void) {
    return 1;
}

int UDTMultiplexer_Shutdown(void) {
    return 1;
}

int UDTMultiplexer_GetCount(void) {
    pthread_mutex_lock(&g_listLock);
    int n = g_count;
    pthread_mutex_unlock(&g_listLock);
    return n;
}

// ---------------------------------------------------------------------------
// Timers (worker only)
// ---------------------------------------------------------------------------

void UDTMultiplexer_CancelTimer(UDTMultiplexerStruct *mux, UDTTimerNode *node) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    ZYL_CHECK_PTR(node);
    if (!node->Linked) {
        return;
    }
    (node->Prev ? node->Prev->Next : mux->TimerHead) = node->Next;
    (node->Next ? node->Next->Prev : mux->TimerTail) = node->Prev;
    node->Prev = node->Next = nullptr;
    node->Linked = 0;
}

void UDTMultiplexer_ArmTimer(UDTMultiplexerStruct *mux, UDTTimerNode *node, double due) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    ZYL_CHECK_PTR(node);
    if (node->Linked) {
        if (node->Due == due) {
            return;
        }
        UDTMultiplexer_CancelTimer(mux, node);
    }
    node->Due = due;
    // Search from the end: most timers are armed later than those already waiting.
    UDTTimerNode *after = mux->TimerTail;
    while (after != nullptr && after->Due > due) {
        after = after->Prev;
    }
    node->Prev = after;
    node->Next = after ? after->Next : mux->TimerHead;
    (node->Next ? node->Next->Prev : mux->TimerTail) = node;
    (after ? after->Next : mux->TimerHead) = node;
    node->Linked = 1;
}

// Fires every timer due at now; timers re-armed for now or earlier by a handler
// fire in the same pass, up to a bound.
static void UDTMultiplexer_RunTimers(UDTMultiplexerStruct *mux, double now) {
    for (int fired = 0; fired < MUX_TIMER_BURST; fired++) {
        UDTTimerNode *node = mux->TimerHead;
        if (node == nullptr || node->Due > now) {
            return;
        }
        UDTMultiplexer_CancelTimer(mux, node);
        if (node->Type < 0 || node->Type >= UDT_TIMER_COUNT) {
            ZYL_FATAL("Unknown timer type: %d\n", node->Type);
        }
        UDTCore_OnTimer(node->Socket, node->Type, now);
    }
}

// ---------------------------------------------------------------------------
// Sockets and requests
// ---------------------------------------------------------------------------

void UDTMultiplexer_AddSocketLocal(UDTMultiplexerStruct *mux, UDTSocketStruct *socket) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    ZYL_CHECK_TAG(socket, UDTSocketTag);
    uint32_t id = (uint32_t)UDTCore_GetId(socket);
    if (Hash_Find(mux->Sockets, id) == nullptr) {
        Hash_Add(mux->Sockets, id, socket);
    }
}

int UDTMultiplexer_RemoveSocketLocal(UDTMultiplexerStruct *mux, UDTSocketStruct *socket) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    ZYL_CHECK_TAG(socket, UDTSocketTag);
    UDTTimerNode *timers = UDTCore_GetTimers(socket);
    for (int i = 0; i < UDT_TIMER_COUNT; i++) {
        UDTMultiplexer_CancelTimer(mux, &timers[i]);
    }
    if (mux->Listener == socket) {
        mux->Listener = nullptr;
    }
    uint32_t id = (uint32_t)UDTCore_GetId(socket);
    if (Hash_Find(mux->Sockets, id) != socket) {
        return 0;
    }
    return Hash_Remove(mux->Sockets, id);
}

UDTHashStruct *UDTMultiplexer_GetSockets(UDTMultiplexerStruct *mux) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    return mux->Sockets;
}

UDTChannelStruct *UDTMultiplexer_GetChannel(UDTMultiplexerStruct *mux) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    return mux->Channel;
}

int UDTMultiplexer_GetPayloadSize(UDTMultiplexerStruct *mux) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    return mux->PayloadSize;
}

// Now for request and datagram work: the clock, or on a port without worker the
// time its driver last gave.
static double RequestTime(const UDTMultiplexerStruct *mux) {
    return mux->TestNow > 0 ? mux->TestNow : Zyl_GetSeconds();
}

static int UDTMultiplexer_ServeRequest(UDTMultiplexerStruct *mux, const UDTMuxRequest *r) {
    switch (r->Type) {
    case UDT_REQUEST_LISTENER:
        if (r->Socket != nullptr && mux->Listener != nullptr && mux->Listener != r->Socket) {
            return 0;
        }
        mux->Listener = r->Socket;
        return 1;
    case UDT_REQUEST_ADD:
        UDTMultiplexer_AddSocketLocal(mux, r->Socket);
        UDTCore_OnSendNow(r->Socket, RequestTime(mux));
        return 1;
    case UDT_REQUEST_SEND:
        if (Hash_Find(mux->Sockets, (uint32_t)UDTCore_GetId(r->Socket)) == r->Socket) {
            UDTCore_OnSendNow(r->Socket, RequestTime(mux));
        }
        return 1;
    case UDT_REQUEST_REMOVE:
        return UDTMultiplexer_RemoveSocketLocal(mux, r->Socket);
    default:
        return 0;
    }
}

// Serves every queued request; 0 when a stop request arrived.
static int ServeRequests(UDTMultiplexerStruct *mux) {
    // The eventfd is only drained after a poll saw it; the queue itself is looked
    // at every pass, so a request posted at any moment is served by the next pass.
    if (mux->WakePending) {
        uint64_t counter;
        if (read(mux->WakeFd, &counter, sizeof counter) < 0) {
            counter = 0; // drained already
        }
        mux->WakePending = 0;
    }
    for (;;) {
        pthread_mutex_lock(&mux->QueueLock);
        if (mux->QueueCount == 0) {
            pthread_mutex_unlock(&mux->QueueLock);
            return 1;
        }
        UDTMuxRequest r = mux->Queue[mux->QueueHead];
        mux->QueueHead = (mux->QueueHead + 1) % UDT_REQUEST_QUEUE_SIZE;
        mux->QueueCount--;
        pthread_cond_broadcast(&mux->QueueCond);
        pthread_mutex_unlock(&mux->QueueLock);
        int result = r.Type == UDT_REQUEST_STOP ? 1 : UDTMultiplexer_ServeRequest(mux, &r);
        if (r.Done != nullptr) {
            pthread_mutex_lock(&mux->QueueLock);
            *r.Result = result;
            *r.Done = 1;
            pthread_cond_broadcast(&mux->QueueCond);
            pthread_mutex_unlock(&mux->QueueLock);
        }
        if (r.Type == UDT_REQUEST_STOP) {
            return 0;
        }
    }
}

int UDTMultiplexer_Request(UDTMultiplexerStruct *mux, int type, UDTSocketStruct *socket, int value,
                           int wait) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    int result = 0, done = 0;
    if (mux->Worker == nullptr) {
        UDTMuxRequest r = {type, socket, value, nullptr, nullptr};
        return type == UDT_REQUEST_STOP ? 1 : UDTMultiplexer_ServeRequest(mux, &r);
    }
    pthread_mutex_lock(&mux->QueueLock);
    while (mux->QueueCount == UDT_REQUEST_QUEUE_SIZE) {
        pthread_cond_wait(&mux->QueueCond, &mux->QueueLock);
    }
    UDTMuxRequest *r = &mux->Queue[(mux->QueueHead + mux->QueueCount) % UDT_REQUEST_QUEUE_SIZE];
    r->Type = type;
    r->Socket = socket;
    r->Value = value;
    r->Result = wait ? &result : nullptr;
    r->Done = wait ? &done : nullptr;
    mux->QueueCount++;
    pthread_mutex_unlock(&mux->QueueLock);
    uint64_t one = 1;
    if (write(mux->WakeFd, &one, sizeof one) < 0) {
        Zyl_Print("UDTMultiplexer_Request() write(eventfd) failed %d\n", errno);
    }
    if (wait) {
        pthread_mutex_lock(&mux->QueueLock);
        while (!done) {
            pthread_cond_wait(&mux->QueueCond, &mux->QueueLock);
        }
        pthread_mutex_unlock(&mux->QueueLock);
    }
    return wait ? result : 1;
}

// ---------------------------------------------------------------------------
// Worker
// ---------------------------------------------------------------------------

// Hands the received packet to its socket (id 0: the listener); unknown ids are dropped.
static void Dispatch(UDTMultiplexerStruct *mux, const UDTAddress *from, double now) {
    int32_t id = Packet_GetDestination(mux->Packet);
    UDTSocketStruct *s =
        id == 0 ? mux->Listener
                : static_cast<UDTSocketStruct *>(Hash_Find(mux->Sockets, (uint32_t)id));
    if (s == nullptr) {
        return;
    }
    UDTCore_OnPacket(s, mux, &mux->Packet, from, now);
    if (mux->Packet == nullptr) {
        Packet_Create(&mux->Packet);
        Packet_SetPayloadSize(mux->Packet, mux->PayloadSize);
    }
}

// Reads up to a burst of datagrams and hands each to its socket (id 0: the listener).
static void ReceiveAll(UDTMultiplexerStruct *mux) {
    for (int i = 0; i < MUX_RECEIVE_BURST; i++) {
        UDTAddress from;
        int got = Channel_ReceiveNow(mux->Channel, mux->Packet, &from);
        if (got < 0) {
            return;
        }
        if (got == 0) {
            continue;
        }
        Dispatch(mux, &from, RequestTime(mux));
    }
}

// Sleeps until a datagram, a request or the next timer; at most 1 s when idle.
static void WaitForWork(UDTMultiplexerStruct *mux) {
    double wait = 1.0;
    if (mux->TimerHead != nullptr) {
        wait = mux->TimerHead->Due - Zyl_GetSeconds();
    }
    if (wait <= 0) {
        return;
    }
    struct timespec ts;
    ts.tv_sec = (time_t)wait;
    ts.tv_nsec = (long)((wait - (double)ts.tv_sec) * 1e9);
    struct pollfd fds[2] = {{mux->Channel->Handle, POLLIN, 0}, {mux->WakeFd, POLLIN, 0}};
    if (ppoll(fds, 2, &ts, nullptr) > 0 && (fds[1].revents & POLLIN)) {
        mux->WakePending = 1;
    }
}

// The port's one worker thread, started by UDTMultiplexer_Create. Each pass
// serves the queued requests, every ready datagram and every due timer, then
// sleeps in ppoll until the next deadline. API threads reach it through the
// request queue (a mutex and condition variable) and wake it through an eventfd:
// no semaphore is waited on, no 1 ms tick runs, and an idle port costs no CPU.
// A stop request ends the loop.
static uint32_t UDTMultiplexer_Worker(void *argument) {
    UDTMultiplexerStruct *mux = static_cast<UDTMultiplexerStruct *>(argument);
    while (ServeRequests(mux)) {
        ReceiveAll(mux);
        UDTMultiplexer_RunTimers(mux, Zyl_GetSeconds());
        WaitForWork(mux);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

static void UDTMultiplexer_Destroy(UDTMultiplexerStruct *mux) {
    if (mux->Worker != nullptr) {
        UDTMultiplexer_Request(mux, UDT_REQUEST_STOP, nullptr, 0, 0);
        Thread_Wait(mux->Worker, THREAD_WAIT_INFINITE);
        Thread_Close(&mux->Worker);
    }
    Hash_Destroy(&mux->Sockets);
    Packet_Destroy(&mux->Packet);
    Channel_Destroy(&mux->Channel);
    if (mux->WakeFd >= 0) {
        close(mux->WakeFd);
    }
    pthread_cond_destroy(&mux->QueueCond);
    pthread_mutex_destroy(&mux->QueueLock);
    mux->Tag = Zyl_DeadTag;
    ZYL_FREE(mux, sizeof(UDTMultiplexerStruct));
}

static int UDTMultiplexer_Create(int reuse, int payloadSize, const uint8_t *address, int port,
                                 UDTMultiplexerStruct **out, int *error) {
    UDTMultiplexerStruct *mux = ZYL_NEW(UDTMultiplexerStruct);
    mux->Tag = UDTMultiplexerTag;
    mux->RefCount = 1;
    mux->PayloadSize = payloadSize;
    mux->Reuse = reuse;
    pthread_mutex_init(&mux->QueueLock, nullptr);
    pthread_cond_init(&mux->QueueCond, nullptr);
    mux->WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    Hash_Create(&mux->Sockets);
    Hash_SetPrime(mux->Sockets, MUX_SOCKET_BUCKETS);
    Packet_Create(&mux->Packet);
    Packet_SetPayloadSize(mux->Packet, payloadSize);
    Channel_Create(&mux->Channel);
    uint8_t local[4];
    if (mux->WakeFd < 0) {
        Zyl_Print("UDTMultiplexer_Get() eventfd failed %d\n", errno);
        *error = 10055;
    } else if (Channel_Open(mux->Channel, address, port, error) &&
               Channel_GetLocalAddress(mux->Channel, local, &mux->Port) &&
               (g_testInline || Thread_Create(&mux->Worker, mux, UDTMultiplexer_Worker))) {
        *out = mux;
        return 1;
    } else if (*error == 0) {
        Zyl_Print("UDTMultiplexer_Get() worker for port %d failed\n", port);
        *error = 10055;
    }
    UDTMultiplexer_Destroy(mux);
    return 0;
}

int UDTMultiplexer_Get(int reuse, int payloadSize, const uint8_t *address, int port,
                       UDTMultiplexerStruct **mux, int *error) {
    ZYL_CHECK_PTR(mux);
    ZYL_CHECK_PTR(error);
    *mux = nullptr;
    *error = 0;
    pthread_mutex_lock(&g_listLock);
    if (reuse) {
        for (UDTMultiplexerStruct *m = g_list; m != nullptr; m = m->Next) {
            int driven = m->Worker == nullptr; // a test-driven port is never mixed with others
            if (m->Reuse && m->PayloadSize == payloadSize && (port <= 0 || m->Port == port) &&
                driven == (g_testInline != 0)) {
                m->RefCount++;
                *mux = m;
                pthread_mutex_unlock(&g_listLock);
                return 1;
            }
        }
    }
    UDTMultiplexerStruct *m = nullptr;
    if (!UDTMultiplexer_Create(reuse, payloadSize, address, port, &m, error)) {
        pthread_mutex_unlock(&g_listLock);
        return 0;
    }
    m->Next = g_list;
    if (g_list != nullptr) {
        g_list->Prev = m;
    }
    g_list = m;
    g_count++;
    *mux = m;
    pthread_mutex_unlock(&g_listLock);
    return 1;
}

int UDTMultiplexer_AddReference(UDTMultiplexerStruct *mux) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    pthread_mutex_lock(&g_listLock);
    mux->RefCount++;
    pthread_mutex_unlock(&g_listLock);
    return 1;
}

int UDTMultiplexer_Release(UDTMultiplexerStruct **mux) {
    ZYL_CHECK_PTR(mux);
    UDTMultiplexerStruct *m = *mux;
    if (m == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(m, UDTMultiplexerTag);
    *mux = nullptr;
    pthread_mutex_lock(&g_listLock);
    if (--m->RefCount > 0) {
        pthread_mutex_unlock(&g_listLock);
        return 1;
    }
    (m->Prev ? m->Prev->Next : g_list) = m->Next;
    if (m->Next != nullptr) {
        m->Next->Prev = m->Prev;
    }
    g_count--;
    pthread_mutex_unlock(&g_listLock);
    UDTMultiplexer_Destroy(m);
    return 1;
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------

void UDTMultiplexer_SetTestInline(int on) {
    g_testInline = on;
}

void UDTMultiplexer_TestPump(UDTMultiplexerStruct *mux, double now) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    mux->TestNow = now;
    ReceiveAll(mux);
    UDTMultiplexer_RunTimers(mux, now);
}

void UDTMultiplexer_TestDeliver(UDTMultiplexerStruct *mux, const uint8_t *bytes, int length,
                                const UDTAddress *from, double now) {
    ZYL_CHECK_TAG(mux, UDTMultiplexerTag);
    mux->TestNow = now;
    UDTPacketStruct *p = mux->Packet;
    int room = Packet_GetReceiveSize(p);
    length = length < room ? length : room;
    if (length < UDT_HEADER_SIZE) {
        return;
    }
    memcpy(p->Header, bytes, (size_t)length);
    p->PayloadLength = length - UDT_HEADER_SIZE;
    Packet_ToHost(p);
    Dispatch(mux, from, now);
}
