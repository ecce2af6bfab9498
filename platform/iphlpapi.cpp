// Network adapter queries over getifaddrs and /proc/net/route. The route file
// is read with plain POSIX calls; at most 64 KB of it is looked at.
#include "platform/iphlpapi.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Parses 8 hex digits of /proc/net/route into 4 network-order bytes: the kernel
// prints the address word as it lies in memory read as a host-order number.
int ParseRouteHex(const char *text, uint8_t out[4]) {
    char digits[9];
    for (int i = 0; i < 8; i++) {
        if (!isxdigit((unsigned char)text[i]))
            return 0;
        digits[i] = text[i];
    }
    digits[8] = 0;
    uint32_t value = (uint32_t)strtoul(digits, nullptr, 16);
    memcpy(out, &value, 4);
    return 1;
}

// Finds the default gateway of interface `name` in the route table text.
void FindGateway(const char *table, const char *name, uint8_t gateway[4]) {
    memset(gateway, 0, 4);
    const char *line = strchr(table, '\n'); // skip the title line
    while (line != nullptr && *line != '\0') {
        line++;
        char iface[IPHLP_NAME_SIZE] = {0};
        int n = 0;
        while (line[n] != '\0' && line[n] != '\t' && line[n] != ' ' && line[n] != '\n' &&
               n < IPHLP_NAME_SIZE - 1) {
            iface[n] = line[n];
            n++;
        }
        const char *field = line + n;
        while (*field == '\t' || *field == ' ')
            field++;
        uint8_t destination[4];
        if (strcmp(iface, name) == 0 && ParseRouteHex(field, destination) &&
            memcmp(destination, "\0\0\0\0", 4) == 0) {
            field += 8;
            while (*field == '\t' || *field == ' ')
                field++;
            if (ParseRouteHex(field, gateway))
                return;
        }
        line = strchr(line, '\n');
    }
}

void ReadRouteTable(char *buffer, int size) {
    buffer[0] = '\0';
    int fd = open("/proc/net/route", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    int used = 0;
    while (used < size - 1) {
        ssize_t n = read(fd, buffer + used, (size_t)(size - 1 - used));
        if (n <= 0)
            break;
        used += (int)n;
    }
    buffer[used] = '\0';
    close(fd);
}

} // namespace

int IpHlp_GetAdapters(IpHlpAdapter *adapters, int capacity, int *count) {
    *count = 0;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    static const int kRouteSize = 65536;
    char *routes = new char[kRouteSize];
    ReadRouteTable(routes, kRouteSize);
    for (struct ifaddrs *entry = list; entry != nullptr && *count < capacity;
         entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        IpHlpAdapter *adapter = &adapters[*count];
        memset(adapter, 0, sizeof *adapter);
        strncpy(adapter->Name, entry->ifa_name, IPHLP_NAME_SIZE - 1);
        memcpy(adapter->Address, &((struct sockaddr_in *)entry->ifa_addr)->sin_addr, 4);
        adapter->Up = (entry->ifa_flags & IFF_UP) != 0;
        adapter->Running = (entry->ifa_flags & IFF_RUNNING) != 0;
        for (struct ifaddrs *link = list; link != nullptr; link = link->ifa_next) {
            if (link->ifa_addr != nullptr && link->ifa_addr->sa_family == AF_PACKET &&
                strcmp(link->ifa_name, entry->ifa_name) == 0) {
                struct sockaddr_ll *ll = (struct sockaddr_ll *)link->ifa_addr;
                if (ll->sll_halen == 6)
                    memcpy(adapter->Mac, ll->sll_addr, 6);
                break;
            }
        }
        FindGateway(routes, adapter->Name, adapter->Gateway);
        (*count)++;
    }
    delete[] routes;
    freeifaddrs(list);
    return 1;
}

int IpHlp_IsNetworkAlive(int *alive) {
    *alive = 0;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 1;
    for (struct ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        unsigned flags = entry->ifa_flags;
        if ((flags & IFF_LOOPBACK) == 0 && (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0)
            *alive = 1;
    }
    freeifaddrs(list);
    return 1;
}
