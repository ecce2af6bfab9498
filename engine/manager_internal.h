// The manager's records, shared by its three sources (manager.cpp: life,
// settings, identity and the thread; listener.cpp: listeners, accepts and the
// shared services; members.cpp: the member list and statistics).
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/manager.h"

struct BitPeerStruct;
struct EventStruct;
struct MutexStruct;
struct PoolStruct;
struct Sha1Struct;
struct ThreadStruct;
struct TransportSelectStruct;

extern const char Manager_Tag[];       // "ManagerStruct"
extern const char ManagerMember_Tag[]; // "ManagerMemberStruct"

struct ManagerMemberStruct {
    const char *Tag;
    int InUse;        // references held; 1 at creation (the adder's)
    uint8_t CloseTag; // 1 = tagged to close
    BaseStruct *Base; // owned
    void *Event;      // the job code's handle; never used here
    ManagerMemberStruct *Next;
};

// An accepted connection whose handshake is still running.
struct PendingStruct {
    const char *Tag;
    BitPeerStruct *Connection;
    TransportStruct *Transport;
    double AcceptedAt; // manager clock seconds
    PendingStruct *Next;
};

// A transport registered for this cycle's traffic wait.
struct TrafficPeerStruct {
    const char *Tag;
    TransportStruct *Transport;
    uint64_t Key;
    TrafficPeerStruct *Next;
    TrafficPeerStruct *Previous;
};

struct KeySlotStruct {
    double Expiry; // manager clock seconds; 0 = never filled
    BigIntStruct *Prime;
    BigIntStruct *Private;
    BigIntStruct *Public;
};

// What a listen was made with; the thread listens again when it changes.
struct ListenTripleStruct {
    uint32_t Address; // the bind address's four bytes as one word
    int Port;
    const void *Listener;
};

struct ManagerStruct {
    const char *Tag;
    int Verbose;
    int Started; // atomic: read by any thread
    int IPListComparePorts;
    int FastExtension;
    int MessageLog;
    int ActiveConnectsLimit;
    int HandshakeConnectsLimit;
    int IncomingHandshakeLimit; // atomic
    int AcceptPasses;           // atomic
    int StatisticsInterval;     // seconds
    int PortLow;
    int PortHigh;
    int AcceptedConnectionTypes;
    int OutgoingConnectionTypes;
    int OutgoingTransports;
    int WebServerSwitch; // atomic: read by the manager thread each cycle
    int TraversalSwitch;
    int HolePunchSwitch;
    MutexStruct *StateLock;
    LogStruct *PeerTransferLog;
    DHTStruct *DHT;
    Sha1Struct *Sha1;
    WebGetStruct *WebGet;
    CacheStruct *Cache;
    StorageStruct *Storage;
    RandomStruct *Random;
    ThreadStruct *Thread;
    IPFilterStruct *IPFilter;
    TraverseStruct *Traverse;
    HolePunchStruct *HolePunch;
    KickStartStruct *KickStart;
    TrafficShapeStruct *TrafficShape;
    WebServerStruct *WebServer;
    WebStreamStruct *WebStream;
    MutexStruct *MemberLock;
    EventStruct *StopEvent;
    char Path[MANAGER_PATH_SIZE];
    char Proxy[MANAGER_PATH_SIZE];
    uint8_t HardwareAddress[6];
    uint32_t UniqueID;
    char UniqueIDText[MANAGER_TEXT_SIZE];
    char AgentName[MANAGER_TEXT_SIZE];
    char ClientTag[MANAGER_TEXT_SIZE];
    uint8_t PeerID[MANAGER_PEER_ID_SIZE];
    int Inbound;          // atomic
    uint32_t BindAddress; // atomic; the four bytes in memory order
    int ListenPort;       // atomic
    TransportStruct *TCPListener;
    int TCPPort; // atomic: the TCP listener's local port while it listens, else 0
    int UDTPort; // atomic
    TransportStruct *UDTListener;
    // Shared scratch buffer.
    MutexStruct *SharedLock;
    uint8_t *SharedBuffer;
    int SharedSize;
    // Accept waits: [0] plain sockets, [1] reliable UDP.
    TransportSelectStruct *ListenSets[2];
    // Pending handshakes.
    PoolStruct *PendingPool;
    PendingStruct *Pending;
    int PendingCount;
    // Members.
    ManagerMemberStruct *Members;
    int MemberCount;
    int ActiveConnects; // atomic
    int HandshakeCount; // never below 0
    // Key-pair cache.
    KeySlotStruct Keys[MANAGER_KEY_SLOTS];
    BigIntStruct *Generator;
    // Traffic wait.
    PoolStruct *TrafficPool;
    TrafficPeerStruct *TrafficFirst;
    TrafficPeerStruct *TrafficLast;
    int TrafficCount;
    TransportSelectStruct *TrafficSets[2]; // read, write
    // Thread bookkeeping.
    ListenTripleStruct LastListen;
    double LastListenFailure; // clock seconds of the last failed listen; 0 = none
    double LastAcceptFailure; // clock seconds of the last logged accept failure
    int AcceptStalled;        // 1 when this cycle's accepts failed short of descriptors
    int ListenQuiet;          // 1 when the last wait watched the TCP listener and it was not ready
    int IdleWaitMs;           // the next idle wait: MANAGER_IDLE_WAIT_MS, doubled by each quiet one
    int IdleBusy;             // 1 when this cycle has work in flight: the idle wait stays short
    ManagerClock Clock;
    void *ClockContext;
};

// Atomic access to the settings other threads write while the thread runs.
inline int Manager_LoadInt(const int &field) {
    return std::atomic_ref<int>(const_cast<int &>(field)).load(std::memory_order_relaxed);
}
inline void Manager_StoreInt(int &field, int value) {
    std::atomic_ref<int>(field).store(value, std::memory_order_relaxed);
}

// listener.cpp: records made and freed with the manager.
int Manager_InitNetwork(ManagerStruct *manager);
int Manager_DeinitNetwork(ManagerStruct *manager);
// Closes both listeners and every pending connection (end of the thread).
int Manager_CloseNetwork(ManagerStruct *manager);
// The idle wait of a cycle with nothing registered: the TCP listener, for
// IdleWaitMs (10 ms while IdleBusy, else doubling up to 100 ms while quiet).
int Manager_IdleWait(ManagerStruct *manager);
