// Measurement windows of a connected reliable-UDP socket: the acknowledgement
// window (full ACKs awaiting their ACK2, for round-trip samples) and the arrival
// window (packet inter-arrival and probe-pair intervals, for receive rate and
// link capacity). Fixed-size rings; no allocation after creation.
#pragma once

#include <cstdint>

extern const char UDTAckWindowTag[];     // "ackwindow"
extern const char UDTArrivalWindowTag[]; // "window"

enum {
    UDT_ACK_WINDOW_SIZE = 4096,
    UDT_ARRIVAL_INTERVALS = 16,
    UDT_PROBE_INTERVALS = 64,
};

struct UDTAckRecord {
    int32_t AckSequence; // counter of the full ACK
    int32_t AckNumber;   // the sequence number it acknowledged
    double Time;         // seconds when it was sent
};

struct UDTAckWindowStruct {
    const char *Tag;
    UDTAckRecord Records[UDT_ACK_WINDOW_SIZE];
    int Head; // next record written
    int Tail; // oldest record; Head == Tail when empty
};

struct UDTArrivalWindowStruct {
    const char *Tag;
    double Intervals[UDT_ARRIVAL_INTERVALS]; // seconds between data packets
    int Index;
    double LastArrival;
    double Probes[UDT_PROBE_INTERVALS]; // seconds between the packets of a probe pair
    int ProbeIndex;
    double ProbeStart; // arrival of the last first-of-pair packet
};

// Create: a new record into *window; returns 1 (allocation failure is fatal).
// Destroy accepts null, frees the record, clears *window and returns 1.
int AckWindow_Create(UDTAckWindowStruct **window);
int AckWindow_Destroy(UDTAckWindowStruct **window);
// Records a full ACK; a full ring loses its oldest record.
int AckWindow_Store(UDTAckWindowStruct *window, int32_t ackSequence, int32_t ackNumber,
                    double time);
// Finds ackSequence (oldest first); on a match gives its number and time and
// discards it with every older record. 0, outputs zeroed, when absent.
int AckWindow_Lookup(UDTAckWindowStruct *window, int32_t ackSequence, int32_t *ackNumber,
                     double *time);

// Creates the window with its start values (intervals 1e-6 s, probes 0.001 s).
int ArrivalWindow_Create(UDTArrivalWindowStruct **window, double now);
int ArrivalWindow_Destroy(UDTArrivalWindowStruct **window);
// Notes a data packet's arrival (and its probe role by sequence number).
int ArrivalWindow_OnArrival(UDTArrivalWindowStruct *window, int32_t seq, double now);
// Packets per second from the inter-arrival intervals; 0 with too few consistent samples.
int ArrivalWindow_GetReceiveRate(UDTArrivalWindowStruct *window);
// Packets per second from the probe-pair intervals.
int ArrivalWindow_GetCapacity(UDTArrivalWindowStruct *window);
