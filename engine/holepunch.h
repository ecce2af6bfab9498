// Hole punching: a 36-byte ping from the engine's UDP socket toward the peer
// a download's tracker names, so that a NAT on either side opens a path for
// that peer's reliable-UDP connection. One ping per download per interval.
#pragma once

#include <cstdint>

struct BaseStruct;
struct ManagerStruct;
struct MutexStruct;
struct RandomStruct;
struct SocketStruct;

enum { HOLEPUNCH_PING_SIZE = 36 };
enum : uint32_t { HOLEPUNCH_MAGIC = 0x80450000u }; // bytes 4-7 of a ping, before scrambling

struct HolePunchStruct {
    const char *Tag;
    ManagerStruct *Manager; // borrowed
    SocketStruct *Socket;   // the UDP socket under the UDT listener (borrowed), or null
    int Active;
    MutexStruct *Lock;    // serialises sends
    RandomStruct *Random; // scrambling stream, reseeded with each ping's time stamp
    double Interval;      // seconds between two pings of one download; 60
};

// The ping of a download: time stamp T (ms, 32 bits) in the clear, then the
// constant, the info hash, the private address (or 0) and our port, all
// big-endian and XORed with the low bytes of the generator seeded with T.
// Returns 1.
int HolePunch_BuildPing(RandomStruct *random, uint32_t stamp, const uint8_t hash[20],
                        const uint8_t address[4], int port, uint8_t ping[HOLEPUNCH_PING_SIZE]);
// Undoes the scrambling in place (bytes 4-35), seeding with bytes 0-3. Returns 1.
int HolePunch_Descramble(RandomStruct *random, uint8_t ping[HOLEPUNCH_PING_SIZE]);
int HolePunch_SetInterval(HolePunchStruct *punch, double seconds);

int HolePunch_Create(HolePunchStruct **punch);
int HolePunch_Destroy(HolePunchStruct **punch);
// Binds the manager; a second call is fatal ("Parent handle already set").
int HolePunch_SetParent(HolePunchStruct *punch, ManagerStruct *manager);
int HolePunch_SetActive(HolePunchStruct *punch, int active);
int HolePunch_GetActive(HolePunchStruct *punch, int *active);
// The socket pings leave from; null when the UDT listener is closed.
int HolePunch_SetUDTSocket(HolePunchStruct *punch, SocketStruct *socket);
int HolePunch_GetUDTSocket(HolePunchStruct *punch, SocketStruct **socket);
// The download's ping toward its tracker's ping target when one is due: 1 when
// sent; 0 when inactive, without socket or target, not due, or the send failed
// (the download's last ping time advances also then).
int HolePunch_SendPing(BaseStruct *base, HolePunchStruct *punch);
