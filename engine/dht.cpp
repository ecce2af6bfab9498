// The DHT node's least record: a list of the active downloads' announce
// objects; every pump is a step with nothing to do.
#include "engine/dht.h"

#include "core/zyl.h"

static const char kDHTTag[] = "DHTStruct";
static const char kObjectTag[] = "DHTObjectStruct";

int DHT_Create(DHTStruct **dht) {
    ZYL_CHECK_PTR(dht);
    DHTStruct *d = ZYL_NEW(DHTStruct);
    d->Tag = kDHTTag;
    *dht = d;
    return 1;
}

static void InternalFreeObject(DHTObjectStruct *object) {
    object->Tag = Zyl_DeadTag;
    ZYL_FREE(object, sizeof(DHTObjectStruct));
}

int DHT_Destroy(DHTStruct **dht) {
    ZYL_CHECK_PTR(dht);
    DHTStruct *d = *dht;
    if (d == nullptr)
        return 1;
    ZYL_CHECK_TAG(d, kDHTTag);
    *dht = nullptr;
    while (d->Objects) {
        DHTObjectStruct *o = d->Objects;
        d->Objects = o->Next;
        InternalFreeObject(o);
    }
    d->Tag = Zyl_DeadTag;
    ZYL_FREE(d, sizeof(DHTStruct));
    return 1;
}

int DHT_SetParent(DHTStruct *dht, ManagerStruct *manager) {
    ZYL_CHECK_TAG(dht, kDHTTag);
    ZYL_CHECK_PTR(manager);
    if (dht->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    dht->Manager = manager;
    return 1;
}

int DHT_Pump(DHTStruct *dht) {
    ZYL_CHECK_TAG(dht, kDHTTag);
    dht->Pumps++;
    return 1;
}

int DHT_CreateObject(DHTStruct *dht, DHTObjectStruct **object) {
    ZYL_CHECK_TAG(dht, kDHTTag);
    ZYL_CHECK_PTR(object);
    DHTObjectStruct *o = ZYL_NEW(DHTObjectStruct);
    o->Tag = kObjectTag;
    *object = o;
    return 1;
}

int DHT_SetObjectHash(DHTObjectStruct *object, const uint8_t hash[20]) {
    ZYL_CHECK_TAG(object, kObjectTag);
    ZYL_CHECK_PTR(hash);
    for (int i = 0; i < 20; i++)
        object->Hash[i] = hash[i];
    return 1;
}

int DHT_SetObjectBase(DHTObjectStruct *object, BaseStruct *base) {
    ZYL_CHECK_TAG(object, kObjectTag);
    object->Base = base;
    return 1;
}

int DHT_SetObjectDHT(DHTObjectStruct *object, DHTStruct *dht) {
    ZYL_CHECK_TAG(object, kObjectTag);
    object->DHT = dht;
    return 1;
}

int DHT_AddObject(DHTStruct *dht, DHTObjectStruct *object) {
    ZYL_CHECK_TAG(dht, kDHTTag);
    ZYL_CHECK_TAG(object, kObjectTag);
    object->Next = dht->Objects;
    dht->Objects = object;
    dht->ObjectCount++;
    return 1;
}

int DHT_RemoveObject(DHTObjectStruct **slot, DHTStruct *dht) {
    ZYL_CHECK_PTR(slot);
    ZYL_CHECK_TAG(dht, kDHTTag);
    DHTObjectStruct *o = *slot;
    if (o == nullptr)
        return 1;
    ZYL_CHECK_TAG(o, kObjectTag);
    *slot = nullptr;
    for (DHTObjectStruct **link = &dht->Objects; *link; link = &(*link)->Next) {
        if (*link == o) {
            *link = o->Next;
            dht->ObjectCount--;
            break;
        }
    }
    InternalFreeObject(o);
    return 1;
}

int DHT_GetObjectCount(DHTStruct *dht, int *count) {
    ZYL_CHECK_TAG(dht, kDHTTag);
    ZYL_CHECK_PTR(count);
    *count = dht->ObjectCount;
    return 1;
}
