// The engine's DHT node. This is the least record the manager pumps and the
// downloads register with: it keeps the registered announce objects and sends
// nothing, so it has no socket of its own yet.
#pragma once

#include <cstdint>

struct BaseStruct;
struct ManagerStruct;
struct DHTStruct;

// A download's announce object: its info hash while the download is active.
struct DHTObjectStruct {
    const char *Tag;
    uint8_t Hash[20];
    BaseStruct *Base;
    DHTStruct *DHT;
    DHTObjectStruct *Next;
};

struct DHTStruct {
    const char *Tag;
    ManagerStruct *Manager; // borrowed
    DHTObjectStruct *Objects;
    int ObjectCount;
    int64_t Pumps; // steps taken
};

int DHT_Create(DHTStruct **dht);
// Frees the node and every registered object, clears *dht, accepts null.
int DHT_Destroy(DHTStruct **dht);
// Binds the manager; a second call is fatal ("Parent handle already set").
int DHT_SetParent(DHTStruct *dht, ManagerStruct *manager);
// Handles waiting datagrams and periodic work without blocking. Returns 1.
int DHT_Pump(DHTStruct *dht);
int DHT_CreateObject(DHTStruct *dht, DHTObjectStruct **object);
int DHT_SetObjectHash(DHTObjectStruct *object, const uint8_t hash[20]);
int DHT_SetObjectBase(DHTObjectStruct *object, BaseStruct *base);
int DHT_SetObjectDHT(DHTObjectStruct *object, DHTStruct *dht);
// Registers the object; the node owns it from then on. Returns 1.
int DHT_AddObject(DHTStruct *dht, DHTObjectStruct *object);
// Unregisters and frees the object in *slot and clears the slot; null is
// accepted. Returns 1.
int DHT_RemoveObject(DHTObjectStruct **slot, DHTStruct *dht);
int DHT_GetObjectCount(DHTStruct *dht, int *count);
