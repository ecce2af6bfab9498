// Socket records over BSD sockets: open/close, options, connect and accept with
// time-outs and cancellation, data with rate limits and byte statistics, and
// poll-based select sets. Every transfer call is non-blocking at the OS level;
// "blocking" records wait with poll first, so no call outlives its time-out.
#include "net/socket.h"

#include "core/zyl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

const char SocketTag[] = "socket";
const char SocketSelectTag[] = "SocketSelectStruct";

namespace {

SocketClock gClock = nullptr;

double Now() {
    return gClock != nullptr ? gClock() : Zyl_GetTickSeconds();
}

int LoadCancel(const int *flag) {
    return flag != nullptr ? __atomic_load_n(flag, __ATOMIC_ACQUIRE) : 0;
}

void StoreCancel(int *flag, int value) {
    __atomic_store_n(flag, value, __ATOMIC_RELEASE);
}

void SetOsError(SocketStruct *s, int osError) {
    s->LastError = Socket_MapErrno(osError);
}

int SetOsNonBlocking(int fd, int nonBlocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return 0;
    int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && fcntl(fd, F_SETFL, wanted) < 0)
        return 0;
    return 1;
}

// Fails a call on a closed record without an OS call.
int IsClosed(SocketStruct *s) {
    if (s->Handle >= 0)
        return 0;
    s->LastError = SOCKET_ERROR_NOT_SOCKET;
    return 1;
}

void FillAddress(struct sockaddr_in *sa, const uint8_t address[4], int port) {
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons((uint16_t)port);
    sa->sin_addr.s_addr = Socket_ToInAddr(address);
}

void StoreAddress(SocketStruct *s, const struct sockaddr_in *sa) {
    memcpy(s->Address, &sa->sin_addr.s_addr, 4);
    s->Port = ntohs(sa->sin_port);
}

// Waits up to timeoutMs for `events` on one descriptor, in slices of at most
// 1 s so that the cancel flag is seen. *ready = 1 when the descriptor is ready.
// Returns 0 on a poll failure (error recorded).
int WaitOne(SocketStruct *s, short events, const int *cancel, int timeoutMs, int *ready) {
    *ready = 0;
    double start = Zyl_GetTickSeconds();
    for (;;) {
        if (LoadCancel(cancel) == 1)
            return 1;
        int elapsed = (int)((Zyl_GetTickSeconds() - start) * 1000.0);
        int remaining = timeoutMs - elapsed;
        if (remaining < 0)
            remaining = 0;
        int slice = remaining > 999 ? 1000 : remaining;
        struct pollfd p = {s->Handle, events, 0};
        int rc = poll(&p, 1, slice);
        if (rc < 0 && errno != EINTR) {
            SetOsError(s, errno);
            return 0;
        }
        if (rc > 0) {
            *ready = 1;
            return 1;
        }
        if (remaining <= slice && rc == 0)
            return 1;
    }
}

int IsWouldBlock(int osError) {
    return osError == EAGAIN || osError == EWOULDBLOCK || osError == EINTR;
}

// Waits before a transfer on a blocking record. Returns 1 when the socket is
// ready; 0 after a cancel (logged, flag reset) or a time-out (1460, logged).
int WaitBeforeTransfer(SocketStruct *s, short events, const char *name) {
    int ready = 0;
    if (!WaitOne(s, events, &s->Cancel, s->ReadTimeout, &ready))
        return 0;
    if (ready)
        return 1;
    if (LoadCancel(&s->Cancel) == 1) {
        Zyl_Print("Socket %s cancelled\n", name);
    } else {
        s->LastError = SOCKET_ERROR_TIMEOUT;
        Zyl_Print("Socket %s timeout (%d)\n", name, s->ReadTimeout);
    }
    StoreCancel(&s->Cancel, 0);
    return 0;
}

} // namespace

void Socket_SetClock(SocketClock clock) {
    gClock = clock;
}

// ---------------------------------------------------------------------------
// Life and state
// ---------------------------------------------------------------------------

int Socket_Create(SocketStruct **socket) {
    ZYL_CHECK_PTR(socket);
    SocketStruct *s = ZYL_NEW(SocketStruct);
    s->Tag = SocketTag;
    s->Handle = -1;
    s->Blocking = 1;
    s->ReadTimeout = SOCKET_DEFAULT_TIMEOUT_MS;
    s->ConnectTimeout = SOCKET_DEFAULT_TIMEOUT_MS;
    s->Backlog = SOCKET_DEFAULT_BACKLOG;
    *socket = s;
    return 1;
}

int Socket_Destroy(SocketStruct **socket) {
    ZYL_CHECK_PTR(socket);
    SocketStruct *s = *socket;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, SocketTag);
    Socket_Close(s);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(SocketStruct));
    *socket = nullptr;
    return 1;
}

int Socket_Open(SocketStruct *socket, int protocol) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (socket->Handle >= 0) {
        Zyl_Print("Socket must be closed first!\n");
        return 0;
    }
    StoreCancel(&socket->Cancel, 0);
    socket->Blocking = 1;
    socket->LastError = 0;
    int type = SOCK_DGRAM;
    int proto = 0;
    switch (protocol) {
    case SOCKET_PROTOCOL_TCP:
        type = SOCK_STREAM;
        proto = IPPROTO_TCP;
        break;
    case SOCKET_PROTOCOL_UDP:
        proto = IPPROTO_UDP;
        break;
    case SOCKET_PROTOCOL_GGP:
        proto = 3;
        break;
    case SOCKET_PROTOCOL_ICMP:
        proto = IPPROTO_ICMP;
        break;
    case SOCKET_PROTOCOL_DGRAM:
    case SOCKET_PROTOCOL_DISCOVERY:
        break;
    case SOCKET_PROTOCOL_RAW:
        type = SOCK_RAW;
        break;
    default:
        Zyl_Print("Unknown socket protocol '%d'\n", protocol);
        socket->Protocol = 0;
        return 0;
    }
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, proto);
    if (fd < 0) {
        SetOsError(socket, errno);
        Zyl_Print("Socket_Open() socket failed [%s] %d\n", Socket_GetLastErrorString(socket),
                  protocol);
        socket->Protocol = 0;
        return 0;
    }
    socket->Handle = fd;
    socket->Protocol = protocol;
    Socket_ResetStatistics(socket);
    return 1;
}

int Socket_Close(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (socket->Handle < 0)
        return 1;
    int fd = socket->Handle;
    socket->Handle = -1;
    socket->Accepted = 0;
    // The descriptor is gone after close() even when it reports an error.
    if (close(fd) != 0 && errno != EINTR) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_IsOpen(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    return socket->Handle >= 0 ? 1 : 0;
}

int Socket_IsAccepted(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    return socket->Handle >= 0 && socket->Accepted == 1 ? 1 : 0;
}

int Socket_GetProtocol(SocketStruct *socket, int *protocol) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(protocol);
    *protocol = 0;
    if (IsClosed(socket))
        return 0;
    *protocol = socket->Protocol;
    return 1;
}

int Socket_Shutdown(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    if (shutdown(socket->Handle, SHUT_RDWR) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_GetHandle(SocketStruct *socket, int *handle) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(handle);
    *handle = socket->Handle;
    return socket->Handle >= 0 ? 1 : 0;
}

int Socket_SetCancel(SocketStruct *socket, int flag) {
    ZYL_CHECK_TAG(socket, SocketTag);
    StoreCancel(&socket->Cancel, flag);
    return 1;
}

int Socket_GetCancel(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    return LoadCancel(&socket->Cancel);
}

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

int Socket_SetBlocking(SocketStruct *socket, int blocking) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    if (blocking == socket->Blocking)
        return 1;
    socket->Blocking = blocking;
    if (!SetOsNonBlocking(socket->Handle, blocking == 1 ? 0 : 1)) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_SetOption(SocketStruct *socket, int level, int option, int32_t value) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    int v = value;
    if (setsockopt(socket->Handle, level, option, &v, sizeof v) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_GetOption(SocketStruct *socket, int level, int option, int32_t *value) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(value);
    *value = 0;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    int v = 0;
    socklen_t length = sizeof v;
    if (getsockopt(socket->Handle, level, option, &v, &length) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    *value = v;
    return 1;
}

int Socket_SetReuseAddress(SocketStruct *socket, int flag) {
    return Socket_SetOption(socket, SOL_SOCKET, SO_REUSEADDR, flag == 1 ? 1 : 0);
}

int Socket_SetNagle(SocketStruct *socket, int flag) {
    return Socket_SetOption(socket, IPPROTO_TCP, TCP_NODELAY, flag != 1 ? 1 : 0);
}

int Socket_SetLinger(SocketStruct *socket, int flag, int seconds) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    struct linger value;
    value.l_onoff = flag == 1 ? 1 : 0;
    value.l_linger = (uint16_t)seconds;
    if (setsockopt(socket->Handle, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_SetSendBufferSize(SocketStruct *socket, int bytes) {
    return Socket_SetOption(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

int Socket_GetSendBufferSize(SocketStruct *socket, int *bytes) {
    return Socket_GetOption(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

int Socket_SetReceiveBufferSize(SocketStruct *socket, int bytes) {
    return Socket_SetOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

int Socket_GetReceiveBufferSize(SocketStruct *socket, int *bytes) {
    return Socket_GetOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

int Socket_SetMulticastInterface(SocketStruct *socket, const uint8_t address[4]) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    struct in_addr value;
    value.s_addr = Socket_ToInAddr(address);
    if (setsockopt(socket->Handle, IPPROTO_IP, IP_MULTICAST_IF, &value, sizeof value) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_JoinMulticastGroup(SocketStruct *socket, const uint8_t interfaceAddress[4],
                              const uint8_t groupAddress[4]) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(interfaceAddress);
    ZYL_CHECK_PTR(groupAddress);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    struct ip_mreq request;
    request.imr_multiaddr.s_addr = Socket_ToInAddr(groupAddress);
    request.imr_interface.s_addr = Socket_ToInAddr(interfaceAddress);
    if (setsockopt(socket->Handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

int Socket_SetBacklog(SocketStruct *socket, int backlog) {
    ZYL_CHECK_TAG(socket, SocketTag);
    socket->Backlog = backlog == 0 ? SOCKET_DEFAULT_BACKLOG : backlog;
    return 1;
}

int Socket_GetBacklog(SocketStruct *socket, int *backlog) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(backlog);
    *backlog = socket->Backlog == SOCKET_DEFAULT_BACKLOG ? 0 : socket->Backlog;
    return 1;
}

int Socket_SetTimeouts(SocketStruct *socket, int readWriteMs, int connectMs, int acceptMs) {
    ZYL_CHECK_TAG(socket, SocketTag);
    socket->ReadTimeout = readWriteMs;
    socket->ConnectTimeout = connectMs;
    socket->AcceptTimeout = acceptMs;
    return 1;
}

int Socket_GetTimeouts(SocketStruct *socket, int *readWriteMs, int *connectMs, int *acceptMs) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(readWriteMs);
    ZYL_CHECK_PTR(connectMs);
    ZYL_CHECK_PTR(acceptMs);
    *readWriteMs = socket->ReadTimeout;
    *connectMs = socket->ConnectTimeout;
    *acceptMs = socket->AcceptTimeout;
    return 1;
}

int Socket_SetRateLimits(SocketStruct *socket, int receive, int send) {
    ZYL_CHECK_TAG(socket, SocketTag);
    socket->Received.Limit = receive;
    socket->Sent.Limit = send;
    return 1;
}

int Socket_GetRateLimits(SocketStruct *socket, int *receive, int *send) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    *receive = socket->Received.Limit;
    *send = socket->Sent.Limit;
    return 1;
}

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------

int Socket_Bind(SocketStruct *socket, const uint8_t address[4], int port) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    struct sockaddr_in sa;
    FillAddress(&sa, address, port);
    if (bind(socket->Handle, (struct sockaddr *)&sa, sizeof sa) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    memcpy(socket->Address, address, 4);
    socket->Port = port;
    return 1;
}

int Socket_Listen(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    if (listen(socket->Handle, socket->Backlog) != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    return 1;
}

// Waits for a blocking connect to finish. 1 when connected; 0 with the error
// recorded (refused and the like at once, 1460 after the time-out).
static int FinishConnect(SocketStruct *socket) {
    int ready = 0;
    if (!WaitOne(socket, POLLOUT, &socket->Cancel, socket->ConnectTimeout, &ready))
        return 0;
    if (!ready) {
        if (LoadCancel(&socket->Cancel) == 1) {
            Zyl_Print("Socket connect cancelled\n");
        } else {
            socket->LastError = SOCKET_ERROR_TIMEOUT;
            Zyl_Print("Socket connect timeout (%d)\n", socket->ConnectTimeout);
        }
        StoreCancel(&socket->Cancel, 0);
        return 0;
    }
    // A failed attempt shows as writable here; its outcome is in SO_ERROR.
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket->Handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        SetOsError(socket, error);
        return 0;
    }
    return 1;
}

int Socket_Connect(SocketStruct *socket, const uint8_t address[4], int port) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    Socket_ResetStatistics(socket);
    int wasBlocking = socket->Blocking;
    SetOsNonBlocking(socket->Handle, 1);
    struct sockaddr_in sa;
    FillAddress(&sa, address, port);
    if (connect(socket->Handle, (struct sockaddr *)&sa, sizeof sa) != 0 && errno != EINPROGRESS &&
        errno != EAGAIN) {
        SetOsError(socket, errno);
        SetOsNonBlocking(socket->Handle, wasBlocking == 1 ? 0 : 1);
        return 0;
    }
    if (wasBlocking != 1) {
        memcpy(socket->Address, address, 4);
        socket->Port = port;
        return 1;
    }
    int connected = FinishConnect(socket);
    SetOsNonBlocking(socket->Handle, 0);
    if (!connected)
        return 0;
    memcpy(socket->Address, address, 4);
    socket->Port = port;
    return 1;
}

static int AdoptAccepted(SocketStruct *listener, int fd, const struct sockaddr_in *peer,
                         SocketStruct **newSocket) {
    SocketStruct *s = nullptr;
    Socket_Create(&s);
    s->Handle = fd;
    s->Accepted = 1;
    s->Protocol = listener->Protocol;
    StoreAddress(s, peer);
    Socket_ResetStatistics(s);
    *newSocket = s;
    return 1;
}

int Socket_Accept(SocketStruct *socket, SocketStruct **newSocket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(newSocket);
    *newSocket = nullptr;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    int wasBlocking = socket->Blocking;
    SetOsNonBlocking(socket->Handle, 1);
    int remaining = socket->AcceptTimeout;
    int result = 0;
    for (;;) {
        if (LoadCancel(&socket->Cancel) == 1) {
            Zyl_Print("Socket accept cancelled\n");
            break;
        }
        struct sockaddr_in peer;
        socklen_t length = sizeof peer;
        // The accepted descriptor is non-blocking at the OS level; its record
        // starts as blocking, whose transfers wait with poll first.
        int fd = accept4(socket->Handle, (struct sockaddr *)&peer, &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            result = AdoptAccepted(socket, fd, &peer, newSocket);
            break;
        }
        if (!IsWouldBlock(errno) && errno != ECONNABORTED) {
            SetOsError(socket, errno);
            break;
        }
        if (wasBlocking != 1) {
            result = 1; // would block: success without a connection
            break;
        }
        if (socket->AcceptTimeout != 0 && remaining < 0) {
            socket->LastError = SOCKET_ERROR_TIMEOUT;
            break;
        }
        struct pollfd p = {socket->Handle, POLLIN, 0};
        poll(&p, 1, 10);
        remaining -= 10;
    }
    SetOsNonBlocking(socket->Handle, wasBlocking == 1 ? 0 : 1);
    return result;
}

// ---------------------------------------------------------------------------
// Data
// ---------------------------------------------------------------------------

// How much of length a direction's limit allows now; the clock is read only
// under a limit.
static int Allowance(const RateAccount *account, int length) {
    return account->Limit < 1 ? length : RateAccount_Allowance(account, length, Now());
}

int Socket_Read(SocketStruct *socket, void *buffer, int length, int *count) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    length = Allowance(&socket->Received, length);
    if (length <= 0)
        return 1;
    // A blocking record tries first and waits only when nothing is there (a
    // pending cancel goes through the wait, which reports it): data that is
    // ready costs one system call, not a poll and a read.
    const int blocking = socket->Blocking == 1;
    ssize_t n = -1;
    errno = EAGAIN;
    if (!blocking || LoadCancel(&socket->Cancel) != 1)
        n = recv(socket->Handle, buffer, (size_t)length, MSG_DONTWAIT);
    if (n < 0 && blocking && IsWouldBlock(errno)) {
        if (!WaitBeforeTransfer(socket, POLLIN, "Read"))
            return 0;
        n = recv(socket->Handle, buffer, (size_t)length, MSG_DONTWAIT);
    }
    if (n > 0) {
        *count = (int)n;
        RateAccount_Count(&socket->Received, (int)n, Now());
        return 1;
    }
    if (n == 0)
        return 0; // orderly close by the peer
    if (IsWouldBlock(errno))
        return 1;
    SetOsError(socket, errno);
    return 0;
}

int Socket_Write(SocketStruct *socket, const void *data, int length, int *count) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    length = Allowance(&socket->Sent, length);
    if (length <= 0)
        return 1;
    // As Read: a blocking record waits only when the send space is full.
    const int blocking = socket->Blocking == 1;
    ssize_t n = -1;
    errno = EAGAIN;
    if (!blocking || LoadCancel(&socket->Cancel) != 1)
        n = send(socket->Handle, data, (size_t)length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && blocking && (IsWouldBlock(errno) || errno == ENOBUFS)) {
        if (!WaitBeforeTransfer(socket, POLLOUT, "Write"))
            return 0;
        n = send(socket->Handle, data, (size_t)length, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (n >= 0) {
        *count = (int)n;
        RateAccount_Count(&socket->Sent, (int)n, Now());
        return 1;
    }
    if (IsWouldBlock(errno) || errno == ENOBUFS)
        return 1;
    SetOsError(socket, errno);
    return 0;
}

int Socket_ReadIP(SocketStruct *socket, uint8_t address[4], int *port, void *buffer, int length,
                  int *count) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(port);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(count);
    *count = 0;
    memset(address, 0, 4);
    *port = 0;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    length = Allowance(&socket->Received, length);
    if (length <= 0)
        return 1;
    if (socket->Blocking == 1 && !WaitBeforeTransfer(socket, POLLIN, "ReadIP"))
        return 0;
    struct sockaddr_in from;
    socklen_t fromLength = sizeof from;
    memset(&from, 0, sizeof from);
    ssize_t n = recvfrom(socket->Handle, buffer, (size_t)length, MSG_DONTWAIT,
                         (struct sockaddr *)&from, &fromLength);
    if (n < 0) {
        // A datagram refused by the far end shows as a reset; it is no failure.
        if (IsWouldBlock(errno) || errno == ECONNREFUSED || errno == ECONNRESET)
            return 1;
        SetOsError(socket, errno);
        return 0;
    }
    *count = (int)n;
    RateAccount_Count(&socket->Received, (int)n, Now());
    StoreAddress(socket, &from);
    memcpy(address, socket->Address, 4);
    *port = socket->Port;
    return 1;
}

int Socket_WriteIP(SocketStruct *socket, const uint8_t address[4], int port, const void *data,
                   int length, int *count) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    length = Allowance(&socket->Sent, length);
    if (length <= 0)
        return 1;
    struct sockaddr_in to;
    FillAddress(&to, address, port);
    ssize_t n = sendto(socket->Handle, data, (size_t)length, MSG_DONTWAIT | MSG_NOSIGNAL,
                       (struct sockaddr *)&to, sizeof to);
    if (n < 0) {
        if (IsWouldBlock(errno))
            return 1;
        SetOsError(socket, errno);
        return 0;
    }
    *count = (int)n;
    RateAccount_Count(&socket->Sent, (int)n, Now());
    return 1;
}

int Socket_ReadIP32(SocketStruct *socket, uint32_t *address, int *port, void *buffer, int length,
                    int *count) {
    ZYL_CHECK_PTR(address);
    uint8_t bytes[4];
    int result = Socket_ReadIP(socket, bytes, port, buffer, length, count);
    memcpy(address, bytes, 4);
    return result;
}

int Socket_WriteIP32(SocketStruct *socket, uint32_t address, int port, const void *data, int length,
                     int *count) {
    uint8_t bytes[4];
    memcpy(bytes, &address, 4);
    return Socket_WriteIP(socket, bytes, port, data, length, count);
}

// ---------------------------------------------------------------------------
// Addresses of a socket
// ---------------------------------------------------------------------------

static int QueryName(SocketStruct *socket, int peer, uint8_t address[4], int *port) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(port);
    memset(address, 0, 4);
    *port = 0;
    if (IsClosed(socket))
        return 0;
    socket->LastError = 0;
    struct sockaddr_in sa;
    socklen_t length = sizeof sa;
    memset(&sa, 0, sizeof sa);
    int rc = peer ? getpeername(socket->Handle, (struct sockaddr *)&sa, &length)
                  : getsockname(socket->Handle, (struct sockaddr *)&sa, &length);
    if (rc != 0) {
        SetOsError(socket, errno);
        return 0;
    }
    memcpy(address, &sa.sin_addr.s_addr, 4);
    *port = ntohs(sa.sin_port);
    return 1;
}

int Socket_GetSockName(SocketStruct *socket, uint8_t address[4], int *port) {
    return QueryName(socket, 0, address, port);
}

int Socket_GetPeerName(SocketStruct *socket, uint8_t address[4], int *port) {
    return QueryName(socket, 1, address, port);
}

int Socket_GetRemoteAddress(SocketStruct *socket, uint8_t address[4], int *port) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(port);
    memset(address, 0, 4);
    *port = 0;
    if (IsClosed(socket))
        return 0;
    memcpy(address, socket->Address, 4);
    *port = socket->Port;
    return 1;
}

int Socket_GetAddressString(SocketStruct *socket, char *buffer, int size) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = '\0';
    if (IsClosed(socket))
        return 0;
    const uint8_t *a = socket->Address;
    Zyl_FormatString(buffer, size, "%d.%d.%d.%d:%d", a[0], a[1], a[2], a[3], socket->Port);
    return 1;
}

uint32_t Socket_ToInAddr(const uint8_t address[4]) {
    ZYL_CHECK_PTR(address);
    if (address[0] == 0 && address[1] == 0 && address[2] == 0) {
        if (address[3] == 2)
            return htonl(INADDR_ANY);
        if (address[3] == 1 || address[3] == 3)
            return htonl(INADDR_BROADCAST);
    }
    uint32_t value;
    memcpy(&value, address, 4);
    return value;
}

// ---------------------------------------------------------------------------
// Statistics
// ---------------------------------------------------------------------------

int Socket_ResetStatistics(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    double now = Now();
    socket->StatStart = now;
    RateAccount_Reset(&socket->Received, now);
    RateAccount_Reset(&socket->Sent, now);
    return 1;
}

int Socket_GetByteTotals(SocketStruct *socket, uint64_t *received, uint64_t *sent) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(received);
    ZYL_CHECK_PTR(sent);
    *received = socket->Received.Total;
    *sent = socket->Sent.Total;
    return 1;
}

int Socket_GetAverageRates(SocketStruct *socket, double *receive, double *send) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    *receive = 0.0;
    *send = 0.0;
    if (socket->StatStart == 0.0)
        return 0;
    double elapsed = Now() - socket->StatStart;
    if (elapsed < 4.0)
        return 1;
    *receive = (double)socket->Received.Total / elapsed;
    *send = (double)socket->Sent.Total / elapsed;
    return 1;
}

int Socket_GetPeakRates(SocketStruct *socket, double *receive, double *send) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    *receive = socket->Received.Peak;
    *send = socket->Sent.Peak;
    return 1;
}

int Socket_GetCurrentRates(SocketStruct *socket, double *receive, double *send) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(receive);
    ZYL_CHECK_PTR(send);
    double now = Now();
    *receive = RateAccount_CurrentRate(&socket->Received, now);
    *send = RateAccount_CurrentRate(&socket->Sent, now);
    return 1;
}

// The wait of one direction in whole ms; 1 while its limit holds back data.
static int LimitDelay(const RateAccount *account, int *ms) {
    double wait = RateAccount_Wait(account, Now());
    *ms = (int)(wait * 1000.0);
    return wait > 0.0;
}

int Socket_GetReadDelay(SocketStruct *socket, int *ms) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(ms);
    return LimitDelay(&socket->Received, ms);
}

int Socket_GetWriteDelay(SocketStruct *socket, int *ms) {
    ZYL_CHECK_TAG(socket, SocketTag);
    ZYL_CHECK_PTR(ms);
    return LimitDelay(&socket->Sent, ms);
}

int Socket_GetLastError(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    return socket->LastError;
}

const char *Socket_GetLastErrorString(SocketStruct *socket) {
    ZYL_CHECK_TAG(socket, SocketTag);
    return Socket_GetErrorString(socket->LastError);
}
