// Hole punching (pings from the listening UDP port toward peers behind NATs).
// This is the least record the manager creates and steps: it keeps the socket
// it is handed and the switch, and sends no ping yet.
#pragma once

struct BaseStruct;
struct ManagerStruct;
struct SocketStruct;

struct HolePunchStruct {
    const char *Tag;
    ManagerStruct *Manager; // borrowed
    SocketStruct *Socket;   // the UDP socket under the UDT listener (borrowed), or null
    int Active;
};

int HolePunch_Create(HolePunchStruct **punch);
int HolePunch_Destroy(HolePunchStruct **punch);
// Binds the manager; a second call is fatal ("Parent handle already set").
int HolePunch_SetParent(HolePunchStruct *punch, ManagerStruct *manager);
int HolePunch_SetActive(HolePunchStruct *punch, int active);
int HolePunch_GetActive(HolePunchStruct *punch, int *active);
// The socket pings leave from; null when the UDT listener is closed.
int HolePunch_SetUDTSocket(HolePunchStruct *punch, SocketStruct *socket);
int HolePunch_GetUDTSocket(HolePunchStruct *punch, SocketStruct **socket);
// The download's ping toward its tracker's ping target, when one is due. Returns 1.
int HolePunch_SendPing(BaseStruct *base, HolePunchStruct *punch);
