// Rate-based congestion control and the peer history. The controller follows
// the socket's ACK/NAK events; the history is a most-recently-stored-first list
// of at most 1024 addresses under one mutex.
#include "net/udt_ccc.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/mutex.h"
#include "core/zyl.h"
#include "net/udt_seq.h"

const char UDTCongestionTag[] = "congestion_control";

int Congestion_Create(UDTCongestionStruct **cc) {
    ZYL_CHECK_PTR(cc);
    *cc = nullptr;
    UDTCongestionStruct *c = ZYL_NEW(UDTCongestionStruct);
    c->Tag = UDTCongestionTag;
    *cc = c;
    return 1;
}

int Congestion_Destroy(UDTCongestionStruct **cc) {
    ZYL_CHECK_PTR(cc);
    if (*cc == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(*cc, UDTCongestionTag);
    (*cc)->Tag = Zyl_DeadTag;
    ZYL_FREE(*cc, sizeof(UDTCongestionStruct));
    return 1;
}

void Congestion_SetCurrentSequence(UDTCongestionStruct *cc, int32_t seq) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    cc->CurrentSequence = seq;
}

void Congestion_SetLinkCapacity(UDTCongestionStruct *cc, double packetsPerSecond) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    cc->LinkCapacity = packetsPerSecond;
}

void Congestion_SetReceiveRate(UDTCongestionStruct *cc, double packetsPerSecond) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    cc->ReceiveRate = packetsPerSecond;
}

void Congestion_SetRtt(UDTCongestionStruct *cc, double seconds) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    cc->Rtt = seconds;
}

double Congestion_GetPeriod(const UDTCongestionStruct *cc) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    return cc->Period;
}

int Congestion_GetWindow(const UDTCongestionStruct *cc) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    return cc->Window > 2147483647.0 ? 2147483647 : (int)cc->Window;
}

int Congestion_Init(UDTCongestionStruct *cc, int mss, int flowWindow, double now) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    cc->Mss = mss;
    cc->SlowStart = 1;
    cc->MaxWindow = flowWindow;
    cc->Loss = 0;
    cc->Window = flowWindow < 16 ? flowWindow : 16;
    cc->Period = 0.000001;
    cc->LastRateTime = now;
    cc->LastAck = cc->CurrentSequence;
    cc->LastDecreaseSeq = UDTSeq_Decrement(cc->CurrentSequence);
    cc->LastDecreasePeriod = 0.000001;
    cc->NakCount = 0;
    cc->AverageNakCount = 0;
    cc->DecreaseInterval = 1;
    cc->DecreaseCount = 0;
    return 1;
}

// With no receive rate measured yet the period spreads one window over a round trip.
static void LeaveSlowStart(UDTCongestionStruct *cc) {
    cc->SlowStart = 0;
    if (cc->ReceiveRate > 0) {
        cc->Period = 1.0 / cc->ReceiveRate;
    } else {
        cc->Period = (cc->Rtt + 0.01) / (cc->Window > 1 ? cc->Window : 1);
    }
}

int Congestion_OnAck(UDTCongestionStruct *cc, int32_t ack, double now) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    if (now - cc->LastRateTime < 0.01) {
        return 1;
    }
    cc->LastRateTime = now;
    if (cc->SlowStart) {
        cc->Window += UDTSeq_Length(cc->LastAck, ack);
        cc->LastAck = ack;
        if (cc->Window <= cc->MaxWindow) {
            return 1;
        }
        LeaveSlowStart(cc);
    } else {
        cc->Window = (cc->Rtt + 0.01) * cc->ReceiveRate / 10 + 16;
    }
    if (cc->Loss) {
        cc->Loss = 0;
        return 1;
    }
    double b = cc->LinkCapacity - 10.0 / cc->Period;
    if (cc->LastDecreasePeriod < cc->Period && b > cc->LinkCapacity / 9) {
        b = cc->LinkCapacity / 9;
    }
    double inc = 1.0 / cc->Mss;
    if (b > 0) {
        double step = pow(10.0, ceil(log10(b * cc->Mss * 8))) * 0.0000015 / cc->Mss;
        inc = step > inc ? step : inc;
    }
    cc->Period = cc->Period * 0.01 / (cc->Period * inc + 0.01);
    return 1;
}

int Congestion_OnLoss(UDTCongestionStruct *cc, int32_t seq) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    if (cc->SlowStart) {
        LeaveSlowStart(cc);
    }
    cc->Loss = 1;
    if (UDTSeq_Compare(seq, cc->LastDecreaseSeq) > 0) {
        cc->LastDecreasePeriod = cc->Period;
        cc->Period *= 1.125;
        cc->AverageNakCount = (int)ceil(cc->NakCount * 0.125 + cc->AverageNakCount * 0.875);
        cc->NakCount = 1;
        cc->DecreaseCount = 1;
        cc->LastDecreaseSeq = cc->CurrentSequence;
        unsigned seed = (unsigned)cc->CurrentSequence;
        int r = rand_r(&seed) & 0x7FFF;
        cc->DecreaseInterval = (int)ceil(cc->AverageNakCount * (double)r / 32768.0);
        if (cc->DecreaseInterval < 1) {
            cc->DecreaseInterval = 1;
        }
    } else if (cc->DecreaseCount++ < 5) {
        cc->NakCount++;
        if (cc->NakCount % cc->DecreaseInterval == 0) {
            cc->Period *= 1.125;
            cc->LastDecreaseSeq = cc->CurrentSequence;
        }
    }
    return 1;
}

int Congestion_OnTimeout(UDTCongestionStruct *cc) {
    ZYL_CHECK_TAG(cc, UDTCongestionTag);
    if (cc->SlowStart) {
        LeaveSlowStart(cc);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Peer history
// ---------------------------------------------------------------------------

// A fixed table, so that the history, which lives as long as the layer, never
// takes memory from the heap; "least recently stored" is the smallest stamp.
struct UDTPeerEntry {
    uint64_t Stamp; // 0: free
    uint8_t Address[4];
    int Capacity;
    double Rtt;
};

static MutexStruct *g_historyLock;
static UDTPeerEntry g_history[UDT_PEER_HISTORY_SIZE];
static uint64_t g_historyStamp;
static int g_historyCount;

int PeerHistory_Start(void) {
    if (g_historyLock == nullptr) {
        Mutex_Create(&g_historyLock);
    }
    return 1;
}

int PeerHistory_Stop(void) {
    if (g_historyLock == nullptr) {
        return 1;
    }
    memset(g_history, 0, sizeof g_history);
    g_historyCount = 0;
    Mutex_Close(&g_historyLock);
    return 1;
}

// The entry holding address, or null. Called with the lock held.
static UDTPeerEntry *PeerHistory_Find(const uint8_t address[4]) {
    for (UDTPeerEntry &e : g_history) {
        if (e.Stamp != 0 && memcmp(e.Address, address, 4) == 0) {
            return &e;
        }
    }
    return nullptr;
}

int PeerHistory_Lookup(const uint8_t address[4], double *rtt, int *capacity) {
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(rtt);
    ZYL_CHECK_PTR(capacity);
    *rtt = 0;
    *capacity = 0;
    if (g_historyLock == nullptr) {
        return 0;
    }
    MUTEX_LOCK(g_historyLock);
    const UDTPeerEntry *e = PeerHistory_Find(address);
    if (e != nullptr) {
        *rtt = e->Rtt;
        *capacity = e->Capacity;
    }
    MUTEX_UNLOCK(g_historyLock);
    return e != nullptr;
}

int PeerHistory_Store(const uint8_t address[4], double rtt, int capacity) {
    ZYL_CHECK_PTR(address);
    if (g_historyLock == nullptr) {
        return 0;
    }
    MUTEX_LOCK(g_historyLock);
    UDTPeerEntry *e = PeerHistory_Find(address);
    if (e == nullptr) {
        // A free entry, else the one stored longest ago.
        e = &g_history[0];
        for (UDTPeerEntry &candidate : g_history) {
            if (candidate.Stamp < e->Stamp) {
                e = &candidate;
            }
        }
        if (e->Stamp == 0) {
            g_historyCount++;
        }
        memcpy(e->Address, address, 4);
    }
    e->Stamp = ++g_historyStamp;
    e->Rtt = rtt;
    e->Capacity = capacity;
    MUTEX_UNLOCK(g_historyLock);
    return 1;
}

int PeerHistory_GetCount(void) {
    if (g_historyLock == nullptr) {
        return 0;
    }
    MUTEX_LOCK(g_historyLock);
    int n = g_historyCount;
    MUTEX_UNLOCK(g_historyLock);
    return n;
}
