// Congestion control of a connected reliable-UDP socket (slow start, then rate
// control: the send period shrinks a little every 0.01 s of ACKs and grows by
// 1.125 on loss) and the process-wide peer history of round-trip time and link
// capacity per remote IPv4 address. The controller has no lock: its owner
// socket's mutex guards it.
#pragma once

#include <cstdint>

extern const char UDTCongestionTag[]; // "congestion_control"

struct UDTCongestionStruct {
    const char *Tag;
    int Mss;                   // bytes
    double MaxWindow;          // packets; the peer's flow window at set-up
    int32_t CurrentSequence;   // last number given to a new packet
    double LinkCapacity;       // packets/s
    double ReceiveRate;        // packets/s
    double Rtt;                // seconds (whole seconds as the socket hands them)
    double Period;             // seconds between packets
    double Window;             // packets in flight
    int SlowStart;             // 1 while in slow start
    int Loss;                  // 1 after a loss step until the next rate-control ACK step
    double LastRateTime;       // seconds
    int32_t LastAck;           // sequence number
    int32_t LastDecreaseSeq;   // sequence number
    double LastDecreasePeriod; // seconds
    int NakCount;
    int DecreaseInterval; // at least 1
    int AverageNakCount;
    int DecreaseCount;
};

// Create: a new record into *cc; returns 1 (allocation failure is fatal).
// Destroy accepts null, frees the record, clears *cc and returns 1.
int Congestion_Create(UDTCongestionStruct **cc);
int Congestion_Destroy(UDTCongestionStruct **cc);
void Congestion_SetCurrentSequence(UDTCongestionStruct *cc, int32_t seq);
void Congestion_SetLinkCapacity(UDTCongestionStruct *cc, double packetsPerSecond);
void Congestion_SetReceiveRate(UDTCongestionStruct *cc, double packetsPerSecond);
void Congestion_SetRtt(UDTCongestionStruct *cc, double seconds);
double Congestion_GetPeriod(const UDTCongestionStruct *cc);
int Congestion_GetWindow(const UDTCongestionStruct *cc); // truncated
// Starts slow start with the peer's flow window; now = Zyl_GetSeconds() reading.
int Congestion_Init(UDTCongestionStruct *cc, int mss, int flowWindow, double now);
// A full ACK that acknowledged new data up to ack.
int Congestion_OnAck(UDTCongestionStruct *cc, int32_t ack, double now);
// A loss report whose first lost number is seq.
int Congestion_OnLoss(UDTCongestionStruct *cc, int32_t seq);
// The expiry timer fired with data outstanding.
int Congestion_OnTimeout(UDTCongestionStruct *cc);

enum { UDT_PEER_HISTORY_SIZE = 1024 };

// Starts the history (starting twice is harmless); PeerHistory_Stop empties it.
int PeerHistory_Start(void);
int PeerHistory_Stop(void);
// 1 with the values last stored for these 4 address bytes; 0 (outputs zeroed) when unknown.
int PeerHistory_Lookup(const uint8_t address[4], double *rtt, int *capacity);
// Stores the values; beyond 1024 addresses the least recently stored one is replaced.
int PeerHistory_Store(const uint8_t address[4], double rtt, int capacity);
// Entries held (for tests).
int PeerHistory_GetCount(void);
