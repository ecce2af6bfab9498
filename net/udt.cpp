// Public API of the reliable UDP transport: library start/stop, socket life,
// connect/listen/accept/close by state, blocking reads and writes with time-outs
// and rate limits, statistics, and the select sets. Calls take the socket's
// mutex; requests that wait for the worker are posted with it released.
#include "net/udt.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/mutex.h"
#include "core/zyl.h"
#include "net/socket.h"
#include "net/udt_condvar.h"
#include "net/udt_hash.h"
#include "net/udt_internal.h"
#include "net/udt_seq.h"

const char UDTSocketTag[] = "UDTSocketStruct";
const char UDTSelectTag[] = "UDTSelectStruct";

static int g_started;
static MutexStruct *g_idLock;
static int32_t g_nextId;
static thread_local int t_lastError;
static double g_testConnectTimeout;
static double g_testHandshakeInterval;

static int Fail(int code) {
    t_lastError = code;
    return 0;
}

static int Succeed(int code) {
    t_lastError = code;
    return 1;
}

void UDTSocket_SetTestConnectTimes(double timeout, double interval) {
    g_testConnectTimeout = timeout;
    g_testHandshakeInterval = interval;
}

// Values used by a connect started now (test hook aware).
static void UDTCore_GetConnectTimes(double *timeout, double *interval) {
    *timeout = g_testConnectTimeout > 0 ? g_testConnectTimeout : 30.0;
    *interval = g_testHandshakeInterval > 0 ? g_testHandshakeInterval : 1.0;
}

int UDTSocket_Init(void) {
    if (g_started) {
        ZYL_FATAL("Do not call UDTSocket_Init() more then once\n");
    }
    g_started = 1;
    Socket_Init();
    Mutex_Create(&g_idLock);
    PeerHistory_Start();
    UDTMultiplexer_Startup();
    unsigned seed = (unsigned)time(nullptr);
    g_nextId = 1 + (rand_r(&seed) & 0x7FFF) * 32768;
    return 1;
}

int UDTSocket_Remove(void) {
    if (!g_started) {
        ZYL_FATAL("Do not call UDTSocket_Remove() if you have not called UDTSocket_Init()\n");
    }
    if (UDTMultiplexer_GetCount() > 0) {
        ZYL_FATAL("Delete all sockets before finalizing library\n");
    }
    UDTMultiplexer_Shutdown();
    PeerHistory_Stop();
    Mutex_Close(&g_idLock);
    Socket_Remove();
    g_started = 0;
    return 1;
}

int UDTCore_NewSocket(UDTSocketStruct **socket) {
    UDTSocketStruct *s = ZYL_NEW(UDTSocketStruct);
    s->Tag = UDTSocketTag;
    MUTEX_LOCK(g_idLock);
    s->Id = --g_nextId;
    if (g_nextId <= 1) {
        g_nextId = 1 << 30; // ids count down; never hand out 0 (the listener's address)
    }
    MUTEX_UNLOCK(g_idLock);
    s->Peer.Ip[3] = 1;
    s->State = UDT_STATE_NEW;
    s->Mss = 1500;
    s->PayloadSize = 1456;
    s->Blocking = 1;
    s->FlightFlagSize = 25600;
    s->SendBufferSize = 1000000;
    s->RecvBufferSize = 25600;
    s->SendTimeout = -1;
    s->RecvTimeout = -1;
    s->Reuse = 1;
    s->Backlog = 10;
    s->LinkCapacity = 1;
    s->DeliveryRate = 16.0;
    s->Rtt = 0.1;
    s->RttVar = 0.05;
    s->ExpiryCount = 1;
    UDTCore_GetConnectTimes(&s->ConnectTimeout, &s->HandshakeInterval);
    Mutex_Create(&s->Mutex);
    CondVar_Create(&s->SendCond);
    CondVar_Create(&s->RecvCond);
    for (int i = 0; i < UDT_TIMER_COUNT; i++) {
        s->Timers[i].Type = i;
        s->Timers[i].Socket = s;
    }
    *socket = s;
    return 1;
}

// Frees a socket made by UDTCore_NewSocket and clears *socket.
static void UDTCore_FreeSocket(UDTSocketStruct **socket) {
    UDTSocketStruct *s = *socket;
    UDTCore_TearDown(s);
    RecvBuffer_Destroy(&s->RecvBuffer);
    Packet_Destroy(&s->Handshake);
    Hash_Destroy(&s->AcceptQueue);
    CondVar_Destroy(&s->SendCond);
    CondVar_Destroy(&s->RecvCond);
    Mutex_Close(&s->Mutex);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(UDTSocketStruct));
    *socket = nullptr;
}

int UDTSocket_Create(UDTSocketStruct **socket) {
    ZYL_CHECK_PTR(socket);
    *socket = nullptr;
    UDTCore_NewSocket(socket);
    return Succeed(0);
}

int UDTSocket_Destroy(UDTSocketStruct **socket) {
    ZYL_CHECK_PTR(socket);
    if (*socket == nullptr) {
        return Succeed(0);
    }
    ZYL_CHECK_TAG(*socket, UDTSocketTag);
    UDTSocket_Close(*socket);
    UDTCore_FreeSocket(socket);
    return Succeed(0);
}

int UDTSocket_Open(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    if (s->State != UDT_STATE_NEW) {
        MUTEX_UNLOCK(s->Mutex);
        return Fail(UDT_ERROR_INVALID);
    }
    s->PacketsSent = s->PacketsReceived = 0;
    s->Retransmits = s->Losses = s->AcksSent = s->AcksReceived = s->NaksSent = s->NaksReceived = 0;
    s->AckSequence = 0;
    s->LastAckTime = 0;
    s->LinkCapacity = 1;
    s->ExpiryCount = 1;
    s->LastResponse = Zyl_GetSeconds();
    s->Accepted = 0;
    RecvBuffer_Destroy(&s->RecvBuffer);
    s->State = UDT_STATE_OPENED;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_IsOpen(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    t_lastError = 0;
    MUTEX_LOCK(s->Mutex);
    int value = s->State != UDT_STATE_NEW;
    MUTEX_UNLOCK(s->Mutex);
    return value;
}

int UDTSocket_IsAccepted(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    t_lastError = 0;
    MUTEX_LOCK(s->Mutex);
    int value = s->Accepted;
    MUTEX_UNLOCK(s->Mutex);
    return value;
}

int UDTSocket_GetState(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    int state = s->State;
    MUTEX_UNLOCK(s->Mutex);
    return state;
}

int UDTSocket_Bind(UDTSocketStruct *s, const uint8_t address[4], int port) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(address);
    MUTEX_LOCK(s->Mutex);
    if (s->State != UDT_STATE_OPENED) {
        MUTEX_UNLOCK(s->Mutex);
        return Fail(UDT_ERROR_INVALID);
    }
    int error = 0;
    uint8_t any[4] = {0, 0, 0, 0};
    int special = address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 2;
    if (!UDTMultiplexer_Get(s->Reuse, s->PayloadSize, special ? any : address, port, &s->Mux,
                            &error)) {
        MUTEX_UNLOCK(s->Mutex);
        return Fail(error);
    }
    s->State = UDT_STATE_BOUND;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

// Detach: give back the port (never under the socket's mutex) and become New.
static void Detach(UDTSocketStruct *s) {
    UDTMultiplexerStruct *mux = s->Mux;
    s->Mux = nullptr;
    s->State = UDT_STATE_NEW;
    MUTEX_UNLOCK(s->Mutex);
    UDTMultiplexer_Release(&mux);
    MUTEX_LOCK(s->Mutex);
}

// Builds the 48-byte request: the seven handshake words, a zero cookie and the
// address we ask for (deployed listeners want the full size).
static void BuildRequest(UDTSocketStruct *s) {
    if (s->Handshake == nullptr) {
        Packet_Create(&s->Handshake);
        Packet_SetPayloadSize(s->Handshake, UDT_HANDSHAKE_FULL_WORDS * 4);
    }
    UDTPacketStruct *p = s->Handshake;
    int32_t *w = reinterpret_cast<int32_t *>(p->Payload);
    memset(w, 0, UDT_HANDSHAKE_FULL_WORDS * 4);
    unsigned seed = (unsigned)time(nullptr) ^ (unsigned)s->Id;
    s->Isn = (int32_t)((int64_t)(rand_r(&seed) & 0x7FFF) * 0x7FFFFFFF / 32768);
    w[0] = 4;
    w[1] = 1;
    w[2] = s->Isn;
    w[3] = s->Mss;
    w[4] = s->RecvBufferSize < s->FlightFlagSize ? s->RecvBufferSize : s->FlightFlagSize;
    w[5] = 1;
    w[6] = s->Id;
    memcpy(&w[8], s->Peer.Ip, 4);
    p->PayloadLength = UDT_HANDSHAKE_FULL_WORDS * 4;
    Packet_SetControlType(p, UDT_CTRL_HANDSHAKE);
    p->Header[1] = p->Header[2] = 0;
    Packet_SetDestination(p, 0);
}

int UDTSocket_Connect(UDTSocketStruct *s, const uint8_t address[4], int port) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(address);
    if (s->State == UDT_STATE_OPENED) {
        static const uint8_t any[4] = {0, 0, 0, 0};
        if (!UDTSocket_Bind(s, any, 0)) {
            return 0;
        }
    }
    MUTEX_LOCK(s->Mutex);
    if (s->State == UDT_STATE_BOUND) {
        memcpy(s->Peer.Ip, address, 4);
        s->Peer.Port = port;
        BuildRequest(s);
        s->ConnectStart = Zyl_GetSeconds();
        UDTCore_GetConnectTimes(&s->ConnectTimeout, &s->HandshakeInterval);
        s->ConnectError = 0;
        s->State = UDT_STATE_CONNECTING;
        MUTEX_UNLOCK(s->Mutex);
        UDTMultiplexer_Request(s->Mux, UDT_REQUEST_ADD, s, 0, 0);
        MUTEX_LOCK(s->Mutex);
    }
    while (s->State == UDT_STATE_CONNECTING && s->Blocking) {
        CondVar_Wait(s->SendCond, s->Mutex, -1);
    }
    int state = s->State, error = s->ConnectError;
    if (state == UDT_STATE_FAILED) {
        Packet_Destroy(&s->Handshake);
        s->State = UDT_STATE_BOUND;
    }
    MUTEX_UNLOCK(s->Mutex);
    switch (state) {
    case UDT_STATE_CONNECTED:
        return Succeed(0);
    case UDT_STATE_CONNECTING:
        return Succeed(UDT_ERROR_WOULD_BLOCK);
    case UDT_STATE_FAILED:
        return Fail(error ? error : UDT_ERROR_REFUSED);
    default:
        return Fail(UDT_ERROR_INVALID);
    }
}

int UDTSocket_Listen(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    if (s->State == UDT_STATE_LISTENING) {
        MUTEX_UNLOCK(s->Mutex);
        return Succeed(0);
    }
    if (s->State != UDT_STATE_BOUND) {
        MUTEX_UNLOCK(s->Mutex);
        return Fail(UDT_ERROR_NOT_SOCKET);
    }
    if (s->AcceptQueue == nullptr) {
        Hash_Create(&s->AcceptQueue);
        Hash_SetPrime(s->AcceptQueue, s->Backlog);
    }
    MUTEX_UNLOCK(s->Mutex);
    if (!UDTMultiplexer_Request(s->Mux, UDT_REQUEST_LISTENER, s, 0, 1)) {
        return Fail(UDT_ERROR_IN_USE);
    }
    MUTEX_LOCK(s->Mutex);
    s->State = UDT_STATE_LISTENING;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_Accept(UDTSocketStruct *s, UDTSocketStruct **newSocket) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(newSocket);
    *newSocket = nullptr;
    MUTEX_LOCK(s->Mutex);
    for (;;) {
        if (s->State != UDT_STATE_LISTENING) {
            MUTEX_UNLOCK(s->Mutex);
            return Fail(UDT_ERROR_NOT_SOCKET);
        }
        UDTHashEntry *e = Hash_First(s->AcceptQueue);
        if (e != nullptr) {
            *newSocket = static_cast<UDTSocketStruct *>(e->Value);
            Hash_Remove(s->AcceptQueue, e->Key);
            MUTEX_UNLOCK(s->Mutex);
            return Succeed(0);
        }
        if (!s->Blocking) {
            MUTEX_UNLOCK(s->Mutex);
            return Succeed(UDT_ERROR_WOULD_BLOCK);
        }
        CondVar_Wait(s->RecvCond, s->Mutex, -1);
    }
}

// Listening: stop accepting, destroy the connections nobody took, give up the port.
static void CloseListener(UDTSocketStruct *s) {
    s->State = UDT_STATE_CLOSING;
    UDTHashStruct *queue = s->AcceptQueue;
    s->AcceptQueue = nullptr;
    MUTEX_UNLOCK(s->Mutex);
    CondVar_Signal(s->RecvCond, 1);
    UDTMultiplexer_Request(s->Mux, UDT_REQUEST_LISTENER, nullptr, 0, 1);
    while (queue != nullptr && Hash_First(queue) != nullptr) {
        UDTSocketStruct *n = static_cast<UDTSocketStruct *>(Hash_First(queue)->Value);
        Hash_Remove(queue, (uint32_t)n->Id);
        UDTSocket_Destroy(&n);
    }
    Hash_Destroy(&queue);
    MUTEX_LOCK(s->Mutex);
    Detach(s);
}

static void CloseConnecting(UDTSocketStruct *s) {
    s->ConnectError = UDT_ERROR_NOT_SOCKET;
    s->State = UDT_STATE_FAILED;
    MUTEX_UNLOCK(s->Mutex);
    CondVar_Signal(s->SendCond, 1);
    UDTMultiplexer_Request(s->Mux, UDT_REQUEST_REMOVE, s, 0, 1);
    MUTEX_LOCK(s->Mutex);
    Packet_Destroy(&s->Handshake);
    Detach(s);
}

// Connected or Broken: linger for unacknowledged data, say goodbye, give up the port.
// The receive buffer stays so that data already received can still be read.
static void CloseConnection(UDTSocketStruct *s) {
    int wasConnected = s->State == UDT_STATE_CONNECTED;
    s->State = UDT_STATE_CLOSING;
    CondVar_Signal(s->SendCond, 1);
    CondVar_Signal(s->RecvCond, 1);
    if (wasConnected) {
        while (s->Linger > 0 && s->State == UDT_STATE_CLOSING &&
               SendBuffer_GetPending(s->SendBuffer) > 0) {
            CondVar_Wait(s->RecvCond, s->Mutex, s->Linger * 1000);
        }
        if (s->State == UDT_STATE_CLOSING) {
            UDTCore_SendControl(s, UDT_CTRL_SHUTDOWN, 0, nullptr, 0);
        }
    }
    MUTEX_UNLOCK(s->Mutex);
    UDTMultiplexer_Request(s->Mux, UDT_REQUEST_REMOVE, s, 0, 1);
    MUTEX_LOCK(s->Mutex);
    PeerHistory_Store(s->Peer.Ip, s->Rtt, s->LinkCapacity);
    UDTCore_ReleaseInOrder(s);
    UDTCore_TearDown(s);
    Detach(s);
}

int UDTSocket_Close(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    int result = 1;
    switch (s->State) {
    case UDT_STATE_NEW:
        break;
    case UDT_STATE_OPENED:
        s->State = UDT_STATE_NEW;
        break;
    case UDT_STATE_BOUND:
    case UDT_STATE_FAILED:
        Packet_Destroy(&s->Handshake);
        Detach(s);
        break;
    case UDT_STATE_LISTENING:
        CloseListener(s);
        break;
    case UDT_STATE_CONNECTING:
        CloseConnecting(s);
        break;
    case UDT_STATE_CONNECTED:
    case UDT_STATE_BROKEN:
        CloseConnection(s);
        break;
    case UDT_STATE_CLOSING:
    case UDT_STATE_CLOSED:
        result = 0;
        break;
    default:
        ZYL_FATAL("Unknown socket status: %d\n", s->State);
    }
    MUTEX_UNLOCK(s->Mutex);
    return result ? Succeed(0) : Fail(UDT_ERROR_INVALID);
}

// ---------------------------------------------------------------------------
// Data
// ---------------------------------------------------------------------------

int UDTSocket_Write(UDTSocketStruct *s, const void *data, int length, int *written) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(written);
    *written = 0;
    if (length > 0) {
        ZYL_CHECK_PTR(data);
    }
    MUTEX_LOCK(s->Mutex);
    int code = 0, becameSendable = 0;
    while (length > 0) {
        if (s->State != UDT_STATE_CONNECTED) {
            code = UDT_ERROR_NOT_CONNECTED;
            break;
        }
        int allowed = RateAccount_Allowance(&s->SendAccount, length, Zyl_GetTickSeconds());
        if (allowed <= 0) {
            code = UDT_ERROR_WOULD_BLOCK;
            break;
        }
        if (SendBuffer_GetRoom(s->SendBuffer) > 0) {
            SendBuffer_Append(s->SendBuffer, data, allowed, written, &becameSendable);
            RateAccount_Count(&s->SendAccount, *written, Zyl_GetTickSeconds());
            break;
        }
        if (!s->Blocking || s->SendTimeout == 0) {
            code = UDT_ERROR_WOULD_BLOCK;
            break;
        }
        CondVar_Wait(s->SendCond, s->Mutex, s->SendTimeout);
    }
    UDTMultiplexerStruct *mux = s->Mux;
    MUTEX_UNLOCK(s->Mutex);
    if (becameSendable) {
        UDTMultiplexer_Request(mux, UDT_REQUEST_SEND, s, 0, 0);
    }
    return code == UDT_ERROR_NOT_CONNECTED ? Fail(code) : Succeed(code);
}

int UDTSocket_Read(UDTSocketStruct *s, void *data, int length, int *read) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(read);
    *read = 0;
    if (length > 0) {
        ZYL_CHECK_PTR(data);
    }
    MUTEX_LOCK(s->Mutex);
    int code = 0;
    while (length > 0) {
        if (s->RecvBuffer != nullptr && RecvBuffer_HasData(s->RecvBuffer)) {
            int allowed = RateAccount_Allowance(&s->RecvAccount, length, Zyl_GetTickSeconds());
            if (allowed <= 0) {
                code = UDT_ERROR_WOULD_BLOCK;
                break;
            }
            RecvBuffer_Read(s->RecvBuffer, data, allowed, read);
            RateAccount_Count(&s->RecvAccount, *read, Zyl_GetTickSeconds());
            break;
        }
        if (s->State != UDT_STATE_CONNECTED) {
            code = UDT_ERROR_NOT_CONNECTED;
            break;
        }
        if (!s->Blocking || s->RecvTimeout == 0) {
            code = UDT_ERROR_WOULD_BLOCK;
            break;
        }
        CondVar_Wait(s->RecvCond, s->Mutex, s->RecvTimeout);
    }
    MUTEX_UNLOCK(s->Mutex);
    return code == UDT_ERROR_NOT_CONNECTED ? Fail(code) : Succeed(code);
}

// ---------------------------------------------------------------------------
// Addresses and settings
// ---------------------------------------------------------------------------

int UDTSocket_GetPeerName(UDTSocketStruct *s, uint8_t address[4], int *port) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(port);
    memset(address, 0, 4);
    *port = 0;
    MUTEX_LOCK(s->Mutex);
    int ok = s->State == UDT_STATE_CONNECTED;
    if (ok) {
        memcpy(address, s->Peer.Ip, 4);
        *port = s->Peer.Port;
    }
    MUTEX_UNLOCK(s->Mutex);
    return ok ? Succeed(0) : Fail(UDT_ERROR_NOT_CONNECTED);
}

int UDTSocket_GetSockName(UDTSocketStruct *s, uint8_t address[4], int *port) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(port);
    memset(address, 0, 4);
    *port = 0;
    MUTEX_LOCK(s->Mutex);
    int ok = s->State != UDT_STATE_NEW && s->State != UDT_STATE_OPENED && s->Mux != nullptr &&
             Channel_GetLocalAddress(UDTMultiplexer_GetChannel(s->Mux), address, port);
    MUTEX_UNLOCK(s->Mutex);
    return ok ? Succeed(0) : Fail(UDT_ERROR_NOT_CONNECTED);
}

int UDTSocket_GetRemoteAddress(UDTSocketStruct *s, uint8_t address[4], int *port) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(port);
    memcpy(address, s->Peer.Ip, 4);
    *port = s->Peer.Port;
    return Succeed(0);
}

int UDTSocket_GetAddressString(UDTSocketStruct *s, char *buffer, int size) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(buffer);
    Zyl_FormatString(buffer, size, "%d.%d.%d.%d:%d", s->Peer.Ip[0], s->Peer.Ip[1], s->Peer.Ip[2],
                     s->Peer.Ip[3], s->Peer.Port);
    return Succeed(0);
}

int UDTSocket_GetChannelSocket(UDTSocketStruct *s, SocketStruct **channelSocket) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(channelSocket);
    *channelSocket = nullptr;
    MUTEX_LOCK(s->Mutex);
    int ok = (s->State == UDT_STATE_BOUND || s->State == UDT_STATE_LISTENING) &&
             Channel_GetSocket(UDTMultiplexer_GetChannel(s->Mux), channelSocket);
    MUTEX_UNLOCK(s->Mutex);
    return ok ? Succeed(0) : Fail(UDT_ERROR_INVALID);
}

int UDTSocket_SetBlocking(UDTSocketStruct *s, int blocking) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    s->Blocking = blocking ? 1 : 0;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

// Runs set under the mutex when the state is New, Opened (or Bound when allowBound).
static int SetBeforeUse(UDTSocketStruct *s, int allowBound, int *field, int value) {
    MUTEX_LOCK(s->Mutex);
    int ok = s->State == UDT_STATE_NEW || s->State == UDT_STATE_OPENED ||
             (allowBound && s->State == UDT_STATE_BOUND);
    if (ok) {
        *field = value;
    }
    MUTEX_UNLOCK(s->Mutex);
    return ok ? Succeed(0) : Fail(UDT_ERROR_INVALID);
}

int UDTSocket_SetReuseAddress(UDTSocketStruct *s, int allow) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    return SetBeforeUse(s, 0, &s->Reuse, allow ? 1 : 0);
}

int UDTSocket_SetLinger(UDTSocketStruct *s, int on, int seconds) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    s->Linger = on ? seconds : 0;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_SetBacklog(UDTSocketStruct *s, int backlog) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    if (backlog < 1) {
        return Fail(UDT_ERROR_INVALID);
    }
    MUTEX_LOCK(s->Mutex);
    s->Backlog = backlog;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_SetSendBufferSize(UDTSocketStruct *s, int bytes) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    if (bytes < 1) {
        return Fail(UDT_ERROR_INVALID);
    }
    return SetBeforeUse(s, 1, &s->SendBufferSize, bytes);
}

int UDTSocket_SetReceiveBufferSize(UDTSocketStruct *s, int bytes) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    if (bytes < 1) {
        return Fail(UDT_ERROR_INVALID);
    }
    int packets = bytes > 32 * s->PayloadSize ? bytes / s->PayloadSize : 32;
    return SetBeforeUse(s, 1, &s->RecvBufferSize, packets);
}

int UDTSocket_SetTimeouts(UDTSocketStruct *s, int receive, int send, int accept) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    if (accept >= 0) {
        return Fail(UDT_ERROR_INVALID);
    }
    MUTEX_LOCK(s->Mutex);
    s->RecvTimeout = receive < 0 ? -1 : receive;
    s->SendTimeout = send < 0 ? -1 : send;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_GetBacklog(UDTSocketStruct *s, int *backlog) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(backlog);
    *backlog = s->Backlog;
    return Succeed(0);
}

int UDTSocket_GetSendBufferSize(UDTSocketStruct *s, int *bytes) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(bytes);
    *bytes = s->SendBufferSize;
    return Succeed(0);
}

int UDTSocket_GetReceiveBufferSize(UDTSocketStruct *s, int *bytes) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(bytes);
    *bytes = s->RecvBufferSize * s->PayloadSize;
    return Succeed(0);
}

int UDTSocket_GetTimeouts(UDTSocketStruct *s, int *receive, int *send, int *accept) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    ZYL_CHECK_PTR(accept);
    *receive = s->RecvTimeout;
    *send = s->SendTimeout;
    *accept = -1;
    return Succeed(0);
}

// ---------------------------------------------------------------------------
// Statistics and errors
// ---------------------------------------------------------------------------

int UDTSocket_ResetStatistics(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    double now = Zyl_GetTickSeconds();
    RateAccount_Reset(&s->RecvAccount, now);
    RateAccount_Reset(&s->SendAccount, now);
    s->ResetTime = now;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_GetByteTotals(UDTSocketStruct *s, uint64_t *received, uint64_t *sent) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(received);
    ZYL_CHECK_PTR(sent);
    MUTEX_LOCK(s->Mutex);
    *received = s->RecvAccount.Total;
    *sent = s->SendAccount.Total;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_GetAverageRates(UDTSocketStruct *s, double *receive, double *send) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    *receive = *send = 0;
    if (s->ResetTime <= 0) {
        return Fail(0);
    }
    double elapsed = Zyl_GetTickSeconds() - s->ResetTime;
    if (elapsed >= 4) {
        MUTEX_LOCK(s->Mutex);
        *receive = (double)s->RecvAccount.Total / elapsed;
        *send = (double)s->SendAccount.Total / elapsed;
        MUTEX_UNLOCK(s->Mutex);
    }
    return Succeed(0);
}

int UDTSocket_GetPeakRates(UDTSocketStruct *s, double *receive, double *send) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    MUTEX_LOCK(s->Mutex);
    *receive = s->RecvAccount.Peak;
    *send = s->SendAccount.Peak;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_GetCurrentRates(UDTSocketStruct *s, double *receive, double *send) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    MUTEX_LOCK(s->Mutex);
    double now = Zyl_GetTickSeconds();
    *receive = RateAccount_CurrentRate(&s->RecvAccount, now);
    *send = RateAccount_CurrentRate(&s->SendAccount, now);
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_GetRateLimits(UDTSocketStruct *s, int *receive, int *send) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    MUTEX_LOCK(s->Mutex);
    *receive = s->RecvAccount.Limit;
    *send = s->SendAccount.Limit;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

int UDTSocket_SetRateLimits(UDTSocketStruct *s, int receive, int send) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    MUTEX_LOCK(s->Mutex);
    s->RecvAccount.Limit = receive;
    s->SendAccount.Limit = send;
    MUTEX_UNLOCK(s->Mutex);
    return Succeed(0);
}

static int Delay(UDTSocketStruct *s, const RateAccount *a, int *milliseconds) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    ZYL_CHECK_PTR(milliseconds);
    MUTEX_LOCK(s->Mutex);
    double wait = RateAccount_Wait(a, Zyl_GetTickSeconds());
    MUTEX_UNLOCK(s->Mutex);
    *milliseconds = (int)(wait * 1000);
    return *milliseconds > 0;
}

int UDTSocket_GetReadDelay(UDTSocketStruct *s, int *milliseconds) {
    return Delay(s, &s->RecvAccount, milliseconds);
}

int UDTSocket_GetWriteDelay(UDTSocketStruct *s, int *milliseconds) {
    return Delay(s, &s->SendAccount, milliseconds);
}

int UDTSocket_GetLastError(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    return t_lastError;
}

const char *UDTSocket_GetErrorString(int code) {
    return Socket_GetErrorString(code);
}

const char *UDTSocket_GetLastErrorString(UDTSocketStruct *s) {
    ZYL_CHECK_TAG(s, UDTSocketTag);
    return Socket_GetErrorString(t_lastError);
}

// ---------------------------------------------------------------------------
// Select sets and Wait
// ---------------------------------------------------------------------------

struct UDTSelectEntry {
    int Ready;
    UDTSocketStruct *Socket;
};

struct UDTSelectStruct {
    const char *Tag;
    int Count;
    UDTSelectEntry Entries[UDT_SELECT_CAPACITY];
};

int UDTSelect_Create(UDTSelectStruct **set) {
    ZYL_CHECK_PTR(set);
    *set = ZYL_NEW(UDTSelectStruct);
    (*set)->Tag = UDTSelectTag;
    return Succeed(0);
}

int UDTSelect_Destroy(UDTSelectStruct **set) {
    ZYL_CHECK_PTR(set);
    if (*set != nullptr) {
        ZYL_CHECK_TAG(*set, UDTSelectTag);
        (*set)->Tag = Zyl_DeadTag;
        ZYL_FREE(*set, sizeof(UDTSelectStruct));
    }
    return Succeed(0);
}

int UDTSelect_GetCapacity(UDTSelectStruct *set, int *capacity) {
    ZYL_CHECK_TAG(set, UDTSelectTag);
    ZYL_CHECK_PTR(capacity);
    *capacity = UDT_SELECT_CAPACITY;
    return Succeed(0);
}

int UDTSelect_Copy(UDTSelectStruct *destination, UDTSelectStruct *source) {
    ZYL_CHECK_TAG(destination, UDTSelectTag);
    ZYL_CHECK_TAG(source, UDTSelectTag);
    destination->Count = source->Count;
    memcpy(destination->Entries, source->Entries, sizeof destination->Entries);
    return Succeed(0);
}

int UDTSelect_Clear(UDTSelectStruct *set) {
    ZYL_CHECK_TAG(set, UDTSelectTag);
    set->Count = 0;
    memset(set->Entries, 0, sizeof set->Entries);
    return Succeed(0);
}

int UDTSelect_Add(UDTSelectStruct *set, UDTSocketStruct *socket) {
    ZYL_CHECK_TAG(set, UDTSelectTag);
    ZYL_CHECK_TAG(socket, UDTSocketTag);
    if (set->Count >= UDT_SELECT_CAPACITY) {
        return Fail(UDT_ERROR_INVALID);
    }
    set->Entries[set->Count].Ready = 0;
    set->Entries[set->Count].Socket = socket;
    set->Count++;
    return Succeed(0);
}

static int FindEntry(const UDTSelectStruct *set, const UDTSocketStruct *socket) {
    for (int i = 0; i < set->Count; i++) {
        if (set->Entries[i].Socket == socket) {
            return i;
        }
    }
    return -1;
}

int UDTSelect_Remove(UDTSelectStruct *set, UDTSocketStruct *socket) {
    ZYL_CHECK_TAG(set, UDTSelectTag);
    int i = FindEntry(set, socket);
    if (i < 0) {
        return Fail(UDT_ERROR_INVALID);
    }
    memmove(&set->Entries[i], &set->Entries[i + 1],
            sizeof(UDTSelectEntry) * (size_t)(set->Count - i - 1));
    set->Count--;
    set->Entries[set->Count].Ready = 0;
    set->Entries[set->Count].Socket = nullptr;
    return Succeed(0);
}

int UDTSelect_IsSet(UDTSelectStruct *set, UDTSocketStruct *socket) {
    ZYL_CHECK_TAG(set, UDTSelectTag);
    int i = FindEntry(set, socket);
    return i < 0 ? 0 : set->Entries[i].Ready;
}

static int ReadReady(UDTSocketStruct *s) {
    MUTEX_LOCK(s->Mutex);
    int ready = 1;
    if (s->State == UDT_STATE_CONNECTED) {
        ready = RecvBuffer_HasData(s->RecvBuffer);
    } else if (s->State == UDT_STATE_LISTENING) {
        ready = s->AcceptQueue != nullptr && Hash_GetCount(s->AcceptQueue) > 0;
    }
    MUTEX_UNLOCK(s->Mutex);
    return ready;
}

static int WriteReady(UDTSocketStruct *s) {
    MUTEX_LOCK(s->Mutex);
    int ready = s->State != UDT_STATE_CONNECTING;
    if (s->State == UDT_STATE_CONNECTED) {
        ready = SendBuffer_GetRoom(s->SendBuffer) > 0;
    }
    MUTEX_UNLOCK(s->Mutex);
    return ready;
}

static int MarkReady(UDTSelectStruct *set, int (*ready)(UDTSocketStruct *)) {
    int marks = 0;
    for (int i = 0; set != nullptr && i < set->Count; i++) {
        if (set->Entries[i].Ready || ready(set->Entries[i].Socket)) {
            set->Entries[i].Ready = 1;
            marks++;
        }
    }
    return marks;
}

int UDTSocket_Wait(UDTSelectStruct *readSet, UDTSelectStruct *writeSet, UDTSelectStruct *errorSet,
                   int *cancel, int timeout, int *count) {
    ZYL_CHECK_PTR(cancel);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (readSet != nullptr) {
        ZYL_CHECK_TAG(readSet, UDTSelectTag);
    }
    if (writeSet != nullptr) {
        ZYL_CHECK_TAG(writeSet, UDTSelectTag);
    }
    int empty = (readSet == nullptr || readSet->Count == 0) &&
                (writeSet == nullptr || writeSet->Count == 0);
    if (errorSet != nullptr || empty) {
        return Fail(UDT_ERROR_INVALID);
    }
    double deadline = Zyl_GetSeconds() + timeout / 1000.0;
    for (;;) {
        int marks = MarkReady(readSet, ReadReady) + MarkReady(writeSet, WriteReady);
        if (marks > 0) {
            *count = marks;
            return Succeed(0);
        }
        if (timeout <= 0 || Zyl_GetSeconds() >= deadline) {
            return Fail(UDT_ERROR_WOULD_BLOCK);
        }
        Zyl_SleepMilliseconds(1);
    }
}
