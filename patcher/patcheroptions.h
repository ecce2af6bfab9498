// Options of the Patcher with its download client, and of each package, package
// list and download. Both records travel byte for byte between the front end,
// the Patcher and the download client.
#pragma once

#include <cstdint>

enum { PACKAGE_OPTIONS_COMMAND_SIZE = 1024 };

// Given to Patcher_Create and Patcher_SetOptions, read by the download client.
struct PatcherOptions {
    int32_t CacheSize;      // disk cache buffer in bytes, 0 = no cache
    int32_t PortRangeFirst; // listen port range, both ends
    int32_t PortRangeLast;
    int32_t TrafficShaping; // 1 = on
    int64_t OutgoingLimit;  // bytes per second
    int64_t IncomingLimit;  // bytes per second
    int32_t Firewall;       // 1 = add the firewall rules for the program and its port
    int32_t Reserved;
};

// One per package, package list and download.
struct PackageOptions {
    int32_t PeerToPeer;                                // peer-to-peer download allowed
    int32_t Web;                                       // web (HTTP) download allowed
    char RestartCommand[PACKAGE_OPTIONS_COMMAND_SIZE]; // handed to new tasks
};

static_assert(sizeof(PatcherOptions) == 40, "Patcher options are 40 bytes");
static_assert(sizeof(PackageOptions) == 1032, "package options are 1032 bytes");

// Defaults: no cache, no port range, no shaping, no limits, firewall on. Returns 1.
int Patcher_InitOptions(PatcherOptions *options);
// Defaults: both switches 1, empty command, every other byte 0. Returns 1.
int Patcher_InitPackageOptions(PackageOptions *options);
