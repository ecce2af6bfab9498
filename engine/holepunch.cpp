// Hole punching: builds and scrambles the ping and sends it when the
// download's interval has passed, on the manager's clock.
#include "engine/holepunch.h"

#include <atomic>
#include <cstring>

#include "core/mutex.h"
#include "core/random.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/tracker.h"
#include "net/socket.h"

static const char kPunchTag[] = "HolePunchStruct";

int HolePunch_Create(HolePunchStruct **punch) {
    ZYL_CHECK_PTR(punch);
    HolePunchStruct *p = ZYL_NEW(HolePunchStruct);
    p->Tag = kPunchTag;
    p->Interval = 60.0;
    Mutex_Create(&p->Lock);
    Random_Create(&p->Random);
    *punch = p;
    return 1;
}

int HolePunch_Destroy(HolePunchStruct **punch) {
    ZYL_CHECK_PTR(punch);
    HolePunchStruct *p = *punch;
    if (p == nullptr)
        return 1;
    ZYL_CHECK_TAG(p, kPunchTag);
    *punch = nullptr;
    p->Active = 0;
    Random_Destroy(&p->Random);
    Mutex_Close(&p->Lock);
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(HolePunchStruct));
    return 1;
}

int HolePunch_SetParent(HolePunchStruct *punch, ManagerStruct *manager) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    ZYL_CHECK_PTR(manager);
    if (punch->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    punch->Manager = manager;
    return 1;
}

int HolePunch_SetActive(HolePunchStruct *punch, int active) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    std::atomic_ref<int>(punch->Active).store(active == 1 ? 1 : 0);
    return 1;
}

int HolePunch_GetActive(HolePunchStruct *punch, int *active) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    ZYL_CHECK_PTR(active);
    *active = std::atomic_ref<int>(punch->Active).load();
    return 1;
}

int HolePunch_SetUDTSocket(HolePunchStruct *punch, SocketStruct *socket) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    punch->Socket = socket;
    return 1;
}

int HolePunch_GetUDTSocket(HolePunchStruct *punch, SocketStruct **socket) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    ZYL_CHECK_PTR(socket);
    *socket = punch->Socket;
    return 1;
}

int HolePunch_SetInterval(HolePunchStruct *punch, double seconds) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    punch->Interval = seconds;
    return 1;
}

static void InternalPutWord(uint8_t *at, uint32_t v) {
    at[0] = (uint8_t)(v >> 24);
    at[1] = (uint8_t)(v >> 16);
    at[2] = (uint8_t)(v >> 8);
    at[3] = (uint8_t)v;
}

static void InternalScramble(RandomStruct *random, uint8_t *ping) {
    const uint32_t stamp = (uint32_t)ping[0] << 24 | (uint32_t)ping[1] << 16 |
                           (uint32_t)ping[2] << 8 | (uint32_t)ping[3];
    Random_Seed(random, stamp);
    for (int i = 4; i < HOLEPUNCH_PING_SIZE; i++)
        ping[i] ^= (uint8_t)Random_Next(random);
}

int HolePunch_BuildPing(RandomStruct *random, uint32_t stamp, const uint8_t hash[20],
                        const uint8_t address[4], int port, uint8_t ping[HOLEPUNCH_PING_SIZE]) {
    ZYL_CHECK_PTR(random);
    ZYL_CHECK_PTR(hash);
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(ping);
    InternalPutWord(ping, stamp);
    InternalPutWord(ping + 4, HOLEPUNCH_MAGIC);
    memcpy(ping + 8, hash, 20);
    memcpy(ping + 28, address, 4);
    InternalPutWord(ping + 32, (uint32_t)port);
    InternalScramble(random, ping);
    return 1;
}

int HolePunch_Descramble(RandomStruct *random, uint8_t ping[HOLEPUNCH_PING_SIZE]) {
    ZYL_CHECK_PTR(random);
    ZYL_CHECK_PTR(ping);
    InternalScramble(random, ping); // XOR with the same stream undoes it
    return 1;
}

static int InternalSend(BaseStruct *base, HolePunchStruct *p) {
    TrackerStruct *tracker = nullptr;
    ContentStruct *content = nullptr;
    if (!Base_GetTracker(base, &tracker) || tracker == nullptr ||
        !Base_GetContent(base, &content) || content == nullptr)
        return 0;
    int report = 0, present = 0, port = 0;
    Tracker_GetReportPrivateAddress(tracker, &report);
    if (!Manager_GetLocalPort(p->Manager, &port) || port == 0)
        Manager_GetListenPort(p->Manager, &port);
    if (!Tracker_HasTraverseServer(tracker, &present) || !present)
        return 0;
    const double now = Manager_Now(p->Manager);
    double last = 0;
    Tracker_GetHolePunchTime(tracker, &last);
    if (last != 0 && now - last < p->Interval)
        return 0;
    uint8_t target[4], hash[20], lan[4] = {0, 0, 0, 0};
    int targetPort = 0;
    Tracker_GetTraverseAddress(tracker, target);
    Tracker_GetTraversePort(tracker, &targetPort);
    Content_GetInfoHash(content, hash);
    if (report == 1 && !Socket_GetPrivateHostAddress(lan))
        memset(lan, 0, sizeof lan);
    uint8_t ping[HOLEPUNCH_PING_SIZE];
    HolePunch_BuildPing(p->Random, (uint32_t)(int64_t)(Zyl_GetSeconds() * 1000.0), hash, lan, port,
                        ping);
    Zyl_Print("Sending ping to %d.%d.%d.%d:%d\n", target[0], target[1], target[2], target[3],
              targetPort);
    int sent = 0;
    const int ok =
        Socket_WriteIP(p->Socket, target, targetPort, ping, HOLEPUNCH_PING_SIZE, &sent) &&
        sent == HOLEPUNCH_PING_SIZE;
    Tracker_SetHolePunchTime(tracker, now);
    return ok;
}

int HolePunch_SendPing(BaseStruct *base, HolePunchStruct *punch) {
    ZYL_CHECK_PTR(base);
    ZYL_CHECK_TAG(punch, kPunchTag);
    HolePunchStruct *p = punch;
    int active = 0;
    HolePunch_GetActive(p, &active);
    if (!active || p->Socket == nullptr || p->Manager == nullptr)
        return 0;
    if (!MUTEX_LOCK(p->Lock))
        return 0;
    const int result = InternalSend(base, p);
    MUTEX_UNLOCK(p->Lock);
    return result;
}
