// Socket layer helpers without a socket record: the WinSock error table and the
// errno mapping onto it, URL splitting, name resolution, byte order, host and
// adapter queries (through platform/iphlpapi) and the layer's start-up.
#include "net/socket.h"

#include "core/zyl.h"
#include "platform/iphlpapi.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace {

struct ErrorRow {
    int Code;
    const char *Text;
};

// Searched in this order; the first match wins.
const ErrorRow kErrors[] = {
    {0, "No Error"},
    {10013, "Permission denied"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10047, "Address family not supported by protocol family"},
    {10037, "Operation already in progress"},
    {10009, "Bad file number"},
    {10103, "Cancelled"},
    {10053, "Software caused connection abort"},
    {10061, "Connection refused"},
    {10054, "Connection reset by peer"},
    {10039, "Destination address required"},
    {10101, "Graceful shutdown in progress"},
    {10069, "Disk quota"},
    {10014, "Bad address"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10036, "Operation now in progress"},
    {10004, "Interrupted function call"},
    {10022, "Invalid argument"},
    {10104, "Invalid proctable"},
    {10105, "Invalid provider"},
    {10056, "Socket is already connected"},
    {10062, "Loop"},
    {10024, "Too many open files"},
    {10040, "Message too long"},
    {10063, "Name too long"},
    {10050, "Network is down"},
    {10052, "Network dropped connection on reset"},
    {10051, "Network is unreachable"},
    {10055, "No buffer space available"},
    {10102, "No more"},
    {10042, "Bad protocol option"},
    {10057, "Socket is not connected"},
    {10066, "Directory not empty"},
    {10038, "Socket operation on non-socket"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10067, "Too many processes"},
    {10043, "Protocol not supported"},
    {10041, "Protocol wrong type for socket"},
    {10106, "Provider failed to init"},
    {10112, "Refused"},
    {10071, "Remote"},
    {10058, "Cannot send after socket shutdown"},
    {10044, "Socket type not supported"},
    {10070, "Stale"},
    {10060, "Connection timed out"},
    {10059, "Too many references"},
    {10068, "Too many users"},
    {10035, "Resource temporarily unavailable"},
    {11001, "Host not found"},
    {10093, "Successful WSAStartup not yet performed"},
    {11004, "Valid name, no data record of requested type"},
    {11003, "This is a non-recoverable error"},
    {10108, "Service not found"},
    {10107, "Network subsystem call failed"},
    {10091, "Network subsystem is unavailable"},
    {11002, "Non-authoritative host not found"},
    {10109, "Type not found"},
    {10092, "WINSOCK.DLL version out of range"},
    {10111, "Cancelled"},
    {10110, "No more"},
    {1460, "Timeout"},
};

struct ErrnoRow {
    int OsError;
    int Code;
};

const ErrnoRow kErrnoMap[] = {
    {0, 0},
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {EPIPE, 10054}, // writing after the peer went away
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

int CopyPart(char *dst, int size, const char *src, int length) {
    if (dst == nullptr || size <= 0)
        return 1;
    if (length > size - 1)
        length = size - 1;
    memcpy(dst, src, (size_t)length);
    dst[length] = '\0';
    return 1;
}

void ClearOut(char *dst, int size) {
    if (dst != nullptr && size > 0)
        dst[0] = '\0';
}

int FindCharIn(const char *text, int length, char c) {
    for (int i = 0; i < length; i++) {
        if (text[i] == c)
            return i;
    }
    return -1;
}

int FindLastCharIn(const char *text, int length, char c) {
    for (int i = length - 1; i >= 0; i--) {
        if (text[i] == c)
            return i;
    }
    return -1;
}

// Decimal port text of `length` characters: 1 with the value, 0 when it is not
// a number or lies outside 0-65535. Empty text is port 0.
int ParsePort(const char *text, int length, int *port) {
    *port = 0;
    if (length > 5)
        return 0;
    int value = 0;
    for (int i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (text[i] - '0');
    }
    if (value > 65535)
        return 0;
    *port = value;
    return 1;
}

int DefaultPort(const char *scheme) {
    if (Zyl_StrEqualNoCase(scheme, "http"))
        return 80;
    if (Zyl_StrEqualNoCase(scheme, "https"))
        return 443;
    if (Zyl_StrEqualNoCase(scheme, "ftp"))
        return 21;
    if (Zyl_StrEqualNoCase(scheme, "telnet"))
        return 23;
    if (Zyl_StrEqualNoCase(scheme, "shout"))
        return 8000;
    return 0;
}

int GetAdapter(int n, IpHlpAdapter *adapter) {
    IpHlpAdapter list[IPHLP_MAX_ADAPTERS];
    memset(adapter, 0, sizeof *adapter);
    int count = 0;
    if (n < 0 || !IpHlp_GetAdapters(list, IPHLP_MAX_ADAPTERS, &count) || n >= count)
        return 0;
    *adapter = list[n];
    return 1;
}

} // namespace

int Socket_MapErrno(int osError) {
    if (osError == EWOULDBLOCK)
        return SOCKET_ERROR_WOULD_BLOCK;
    for (const ErrnoRow &row : kErrnoMap) {
        if (row.OsError == osError)
            return row.Code;
    }
    return 10107; // "Network subsystem call failed"
}

const char *Socket_GetErrorString(int code) {
    for (const ErrorRow &row : kErrors) {
        if (row.Code == code)
            return row.Text;
    }
    Zyl_Print("\nUnknown (%d) (0x%.8X)\n", code, (unsigned)code);
    return "Unknown error code";
}

int Socket_ParseURL(const char *url, char *scheme, int schemeSize, char *host, int hostSize,
                    int *port, char *directory, int directorySize, char *fileName, int fileNameSize,
                    char *user, int userSize, char *password, int passwordSize) {
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(port);
    ClearOut(scheme, schemeSize);
    ClearOut(host, hostSize);
    ClearOut(directory, directorySize);
    ClearOut(fileName, fileNameSize);
    ClearOut(user, userSize);
    ClearOut(password, passwordSize);
    *port = 0;
    char copy[512];
    Zyl_StrCopy(copy, url, sizeof copy);
    const char *rest = copy;
    char schemeText[16] = {0};
    int separator = -1;
    if (Zyl_StrFind(copy, "://", &separator) && separator >= 0 && separator < 10) {
        CopyPart(schemeText, sizeof schemeText, copy, separator);
        CopyPart(scheme, schemeSize, copy, separator);
        rest = copy + separator + 3;
    }
    int restLength = Zyl_StrLen(rest);
    int slash = FindCharIn(rest, restLength, '/');
    int hostEnd = slash >= 0 ? slash : restLength;
    if (slash >= 0) {
        const char *path = rest + slash;
        int pathLength = restLength - slash;
        int last = FindLastCharIn(path, pathLength, '/');
        CopyPart(directory, directorySize, path, last + 1);
        CopyPart(fileName, fileNameSize, path + last + 1, pathLength - last - 1);
    }
    const char *hostPart = rest;
    int hostLength = hostEnd;
    int at = FindLastCharIn(hostPart, hostLength, '@');
    if (at >= 0) {
        int colon = FindCharIn(hostPart, at, ':');
        CopyPart(user, userSize, hostPart, colon >= 0 ? colon : at);
        if (colon >= 0)
            CopyPart(password, passwordSize, hostPart + colon + 1, at - colon - 1);
        hostPart += at + 1;
        hostLength -= at + 1;
    }
    int colon = FindCharIn(hostPart, hostLength, ':');
    if (colon >= 0 && !ParsePort(hostPart + colon + 1, hostLength - colon - 1, port))
        return 0;
    CopyPart(host, hostSize, hostPart, colon >= 0 ? colon : hostLength);
    if (*port == 0 && schemeText[0] != '\0')
        *port = DefaultPort(schemeText);
    return 1;
}

int Socket_Resolve(HostAddress *host, const char *name) {
    ZYL_CHECK_PTR(host);
    ZYL_CHECK_PTR(name);
    memset(host, 0, sizeof *host);
    struct in_addr dotted;
    if (inet_pton(AF_INET, name, &dotted) == 1) {
        memcpy(host->Address, &dotted.s_addr, 4);
        Zyl_StrCopy(host->Name, name, sizeof host->Name);
        return 1;
    }
    if (name[0] == '\0')
        return 0;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo *result = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &result);
    if (rc != 0 || result == nullptr)
        return 0;
    memcpy(host->Address, &((struct sockaddr_in *)result->ai_addr)->sin_addr.s_addr, 4);
    Zyl_StrCopy(host->Name, result->ai_canonname != nullptr ? result->ai_canonname : name,
                sizeof host->Name);
    freeaddrinfo(result);
    return 1;
}

int Socket_ResolveURL(HostAddress *host, const char *url) {
    ZYL_CHECK_PTR(host);
    ZYL_CHECK_PTR(url);
    memset(host, 0, sizeof *host);
    char hostName[121];
    int port = 0;
    if (!Socket_ParseURL(url, nullptr, 0, hostName, sizeof hostName, &port, nullptr, 0, nullptr, 0,
                         nullptr, 0, nullptr, 0))
        return 0;
    if (!Socket_Resolve(host, hostName))
        return 0;
    host->Port = port;
    return 1;
}

int Socket_NetToHost32(void *destination, const void *source) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(source);
    uint32_t value;
    memcpy(&value, source, 4);
    value = ntohl(value);
    memcpy(destination, &value, 4);
    return 1;
}

int Socket_HostToNet32(void *destination, const void *source) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(source);
    uint32_t value;
    memcpy(&value, source, 4);
    value = htonl(value);
    memcpy(destination, &value, 4);
    return 1;
}

int Socket_NetToHost16(void *destination, const void *source) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(source);
    uint16_t value;
    memcpy(&value, source, 2);
    value = ntohs(value);
    memcpy(destination, &value, 2);
    return 1;
}

int Socket_HostToNet16(void *destination, const void *source) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(source);
    uint16_t value;
    memcpy(&value, source, 2);
    value = htons(value);
    memcpy(destination, &value, 2);
    return 1;
}

uint32_t Socket_ReadBigEndian32(const void *bytes) {
    ZYL_CHECK_PTR(bytes);
    const uint8_t *b = static_cast<const uint8_t *>(bytes);
    return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3];
}

int Socket_AddressEqual(const uint8_t a[4], const uint8_t b[4]) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    return memcmp(a, b, 4) == 0 ? 1 : 0;
}

int Socket_AddressEqual16(const void *a, const void *b) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    struct sockaddr_in x;
    struct sockaddr_in y;
    memcpy(&x, a, sizeof x);
    memcpy(&y, b, sizeof y);
    return x.sin_family == y.sin_family && x.sin_port == y.sin_port &&
                   x.sin_addr.s_addr == y.sin_addr.s_addr
               ? 1
               : 0;
}

int Socket_GetHostAddress(int n, uint8_t address[4]) {
    ZYL_CHECK_PTR(address);
    memset(address, 0, 4);
    IpHlpAdapter adapter;
    if (!GetAdapter(n, &adapter))
        return 0;
    memcpy(address, adapter.Address, 4);
    return 1;
}

int Socket_GetPrivateHostAddress(uint8_t address[4]) {
    ZYL_CHECK_PTR(address);
    memset(address, 0, 4);
    uint8_t a[4];
    for (int n = 0; Socket_GetHostAddress(n, a); n++) {
        if (a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) || (a[0] == 192 && a[1] == 168)) {
            memcpy(address, a, 4);
            return 1;
        }
    }
    return 0;
}

int Socket_GetAdapterMAC(int n, uint8_t *buffer, int length) {
    ZYL_CHECK_PTR(buffer);
    if (length != 6) {
        ZYL_FATAL("MAC addresses are 6 bytes in length (%d)\n", length);
    }
    memset(buffer, 0, 6);
    IpHlpAdapter adapter;
    if (!GetAdapter(n, &adapter))
        return 0;
    memcpy(buffer, adapter.Mac, 6);
    return 1;
}

int Socket_GetAdapterName(int n, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    ClearOut(buffer, size);
    IpHlpAdapter adapter;
    if (!GetAdapter(n, &adapter))
        return 0;
    Zyl_StrCopy(buffer, adapter.Name, size);
    return 1;
}

int Socket_GetAdapterGateway(int n, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    ClearOut(buffer, size);
    IpHlpAdapter adapter;
    if (!GetAdapter(n, &adapter))
        return 0;
    const uint8_t *g = adapter.Gateway;
    Zyl_FormatString(buffer, size, "%d.%d.%d.%d", g[0], g[1], g[2], g[3]);
    return 1;
}

int Socket_IsAdapterConnected(int n, int *connected) {
    ZYL_CHECK_PTR(connected);
    *connected = 0;
    IpHlpAdapter adapter;
    if (!GetAdapter(n, &adapter))
        return 0;
    *connected = adapter.Up && adapter.Running ? 1 : 0;
    return 1;
}

int Socket_IsNetworkAlive(int *alive) {
    ZYL_CHECK_PTR(alive);
    return IpHlp_IsNetworkAlive(alive);
}

// Nothing to start on this OS: sockets need no library start-up and SIGPIPE is
// avoided per call (MSG_NOSIGNAL).
int Socket_Init(void) {
    return 1;
}

int Socket_Remove(void) {
    return 1;
}
