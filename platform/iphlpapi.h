// Network adapter queries of this OS: IPv4 interfaces from getifaddrs (loopback
// left out), hardware addresses from the packet family, default gateways from
// /proc/net/route. Small and uncached: callers ask rarely.
#pragma once

#include <cstdint>

enum { IPHLP_NAME_SIZE = 64, IPHLP_MAX_ADAPTERS = 32 };

// One IPv4 address of a non-loopback interface.
struct IpHlpAdapter {
    char Name[IPHLP_NAME_SIZE];
    uint8_t Mac[6];     // zeros when the interface has none
    uint8_t Address[4]; // network order
    uint8_t Gateway[4]; // default gateway through this interface, zeros when none
    int Up;             // administratively up
    int Running;        // link (carrier) present
};

// Fills up to `capacity` records in the order the OS lists the interfaces and
// sets *count. Returns 0 (count 0) when the OS query fails.
int IpHlp_GetAdapters(IpHlpAdapter *adapters, int capacity, int *count);
// *alive = 1 when a non-loopback interface is up and running. Returns 1.
int IpHlp_IsNetworkAlive(int *alive);
