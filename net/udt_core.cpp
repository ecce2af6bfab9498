// Protocol engine of a reliable-UDP socket, run by its port's worker: handshakes,
// the send routine, data, ACK/NAK/ACK2 handling and the four timers. Every entry
// takes the socket's mutex and wakes blocked callers by the snapshot rule.
// Everything read from a datagram is checked before use: no packet can stop us.
#include <cmath>
#include <cstring>

#include "core/mutex.h"
#include "core/zyl.h"
#include "net/udt_condvar.h"
#include "net/udt_hash.h"
#include "net/udt_internal.h"
#include "net/udt_seq.h"

enum {
    BLOCK_WRITER = 1,
    BLOCK_READER = 2,
    BLOCK_CONNECTOR = 4,
    BLOCK_ACCEPTOR = 8,
    BLOCK_CLOSER = 16,
    LIGHT_ACK_PACKETS = 64,
};

int32_t UDTCore_GetId(const UDTSocketStruct *socket) {
    return socket->Id;
}

UDTTimerNode *UDTCore_GetTimers(UDTSocketStruct *socket) {
    return socket->Timers;
}

// Blocking conditions of the snapshot rule (bit set) and the wake-up they call for.
static int UDTCore_Snapshot(UDTSocketStruct *s) {
    int bits = 0;
    if (s->State == UDT_STATE_CONNECTED && s->Blocking) {
        if (s->SendTimeout != 0 && SendBuffer_GetRoom(s->SendBuffer) <= 0) {
            bits |= BLOCK_WRITER;
        }
        if (s->RecvTimeout != 0 && !RecvBuffer_HasData(s->RecvBuffer)) {
            bits |= BLOCK_READER;
        }
    }
    if (s->State == UDT_STATE_CONNECTING && s->Blocking) {
        bits |= BLOCK_CONNECTOR;
    }
    if (s->State == UDT_STATE_LISTENING && s->Blocking && s->AcceptQueue != nullptr &&
        Hash_GetCount(s->AcceptQueue) == 0) {
        bits |= BLOCK_ACCEPTOR;
    }
    if (s->State == UDT_STATE_CLOSING && s->SendBuffer != nullptr &&
        SendBuffer_GetPending(s->SendBuffer) > 0) {
        bits |= BLOCK_CLOSER;
    }
    return bits;
}

// Wakes the waiters whose blocking condition was released; runs with the
// socket's mutex held.
static void UDTCore_Wake(UDTSocketStruct *s, int before, int after) {
    int released = before & ~after;
    if (released & (BLOCK_WRITER | BLOCK_CONNECTOR)) {
        CondVar_Signal(s->SendCond, 1);
    }
    if (released & (BLOCK_READER | BLOCK_ACCEPTOR | BLOCK_CLOSER)) {
        CondVar_Signal(s->RecvCond, 1);
    }
}

static double NakInterval(const UDTSocketStruct *s) {
    double t = s->Rtt + 4 * s->RttVar;
    return t > 0.01 ? t : 0.01;
}

static void ArmExpiry(UDTSocketStruct *s, double now) {
    UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_EXPIRY],
                            now + (s->Rtt + 4 * s->RttVar) * s->ExpiryCount + 0.01);
}

// Makes the buffers, lists, windows and controller of a new connection and
// arms the ACK, NAK and expiry timers (worker only) when armTimers is set.
static void UDTCore_SetUp(UDTSocketStruct *s, double now, int armTimers) {
    SendBuffer_Create(&s->SendBuffer);
    SendBuffer_Open(s->SendBuffer, s->PayloadSize, s->SendBufferSize);
    RecvBuffer_Destroy(&s->RecvBuffer); // a buffer kept readable after an earlier close
    RecvBuffer_Create(&s->RecvBuffer);
    RecvBuffer_Open(s->RecvBuffer, s->RecvBufferSize);
    LossList_Create(&s->SendLoss);
    LossList_Create(&s->RecvLoss);
    AckWindow_Create(&s->AckWindow);
    ArrivalWindow_Create(&s->Arrival, now);
    double rtt = 0;
    int capacity = 0;
    if (PeerHistory_Lookup(s->Peer.Ip, &rtt, &capacity)) {
        s->Rtt = rtt;
        s->LinkCapacity = capacity;
    }
    Congestion_Create(&s->Cc);
    Congestion_SetCurrentSequence(s->Cc, s->CurrentSendSeq);
    Congestion_SetReceiveRate(s->Cc, s->DeliveryRate);
    Congestion_SetRtt(s->Cc, floor(s->Rtt));
    Congestion_SetLinkCapacity(s->Cc, s->LinkCapacity);
    Congestion_Init(s->Cc, s->Mss, s->FlowWindow, now);
    if (s->Control == nullptr) {
        Packet_Create(&s->Control);
        Packet_SetPayloadSize(s->Control, s->PayloadSize > 48 ? s->PayloadSize : 48);
    }
    s->LastAckTime = now;
    s->LastResponse = now;
    s->ExpiryCount = 1;
    if (armTimers) {
        UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_ACK], now + 0.01);
        UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_NAK], now + NakInterval(s));
        ArmExpiry(s, now);
    }
    s->State = UDT_STATE_CONNECTED;
}

void UDTCore_TearDown(UDTSocketStruct *s) {
    SendBuffer_Destroy(&s->SendBuffer);
    LossList_Destroy(&s->SendLoss);
    LossList_Destroy(&s->RecvLoss);
    AckWindow_Destroy(&s->AckWindow);
    ArrivalWindow_Destroy(&s->Arrival);
    Congestion_Destroy(&s->Cc);
    Packet_Destroy(&s->Control);
}

void UDTCore_SendControl(UDTSocketStruct *s, int type, int32_t ackSequence, const int32_t *words,
                         int count) {
    UDTPacketStruct *p = s->Control;
    if (p == nullptr || s->Mux == nullptr || count * 4 > p->PayloadCapacity) {
        return;
    }
    Packet_SetControlType(p, type);
    Packet_SetAckSequence(p, ackSequence);
    p->Header[2] = 0;
    Packet_SetDestination(p, s->PeerId);
    if (count > 0) {
        memmove(p->Payload, words, (size_t)count * 4);
    }
    p->PayloadLength = count * 4;
    Channel_Send(UDTMultiplexer_GetChannel(s->Mux), p, &s->Peer);
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

static void SendData(UDTSocketStruct *s, UDTPacketStruct *p, int32_t seq) {
    Packet_SetSequence(p, seq);
    p->Header[1] = 0;
    p->Header[2] = 0;
    Packet_SetDestination(p, s->PeerId);
    Channel_Send(UDTMultiplexer_GetChannel(s->Mux), p, &s->Peer);
}

// Resends the earliest lost packet that is still buffered; 1 when one went out.
static int Retransmit(UDTSocketStruct *s) {
    int32_t seq;
    while (LossList_PopFirst(s->SendLoss, &seq)) {
        UDTPacketStruct *p = SendBuffer_GetSent(s->SendBuffer, UDTSeq_Offset(s->LastDataAck, seq));
        if (p != nullptr) {
            SendData(s, p, seq);
            s->Retransmits++;
            return 1;
        }
    }
    return 0;
}

// Paces the next send one period after this one. Time lost to a late timer is
// made up by sending at once (as many periods as were lost), so the rate holds
// even when the period is shorter than the worker's wake-up latency.
static void ArmNextSend(UDTSocketStruct *s, double now, double period) {
    if (s->SendTarget > 0 && now > s->SendTarget) {
        s->SendLateness += now - s->SendTarget;
    }
    double next = now;
    if (s->SendLateness >= period) {
        s->SendLateness -= period;
    } else {
        next = now + period - s->SendLateness;
        s->SendLateness = 0;
    }
    s->SendTarget = next;
    UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_SEND], next);
}

// The send routine: one retransmission, or new packets (a probe pair when the
// first number is a multiple of 16) while the window allows. Re-arms itself
// after sending; an ACK, NAK, expiry or write re-arms it otherwise.
static void SendRoutine(UDTSocketStruct *s, double now) {
    double period = Congestion_GetPeriod(s->Cc);
    if (Retransmit(s)) {
        ArmNextSend(s, now, period);
        return;
    }
    int window = Congestion_GetWindow(s->Cc);
    int limit = s->FlowWindow < window ? s->FlowWindow : window;
    int sent = 0;
    for (;;) {
        int inFlight = UDTSeq_Length(s->LastAckReceived, UDTSeq_Increment(s->CurrentSendSeq)) - 1;
        if (inFlight < 0 || inFlight >= limit) {
            break;
        }
        UDTPacketStruct *p = SendBuffer_NextUnsent(s->SendBuffer);
        if (p == nullptr) {
            break;
        }
        s->CurrentSendSeq = UDTSeq_Increment(s->CurrentSendSeq);
        Congestion_SetCurrentSequence(s->Cc, s->CurrentSendSeq);
        SendData(s, p, s->CurrentSendSeq);
        s->PacketsSent++;
        sent = 1;
        if (s->CurrentSendSeq % 16 != 0) {
            break;
        }
    }
    if (sent) {
        ArmNextSend(s, now, period);
    } else {
        s->SendTarget = 0; // idle: waiting is not lateness
        s->SendLateness = 0;
    }
}

static void SendHandshake(UDTSocketStruct *s) {
    Channel_Send(UDTMultiplexer_GetChannel(s->Mux), s->Handshake, &s->Peer);
}

// Connecting: resend the request, or give up after the connect time-out.
static void ConnectRetry(UDTSocketStruct *s, double now) {
    if (now - s->ConnectStart > s->ConnectTimeout) {
        UDTMultiplexer_RemoveSocketLocal(s->Mux, s);
        s->ConnectError = UDT_ERROR_TIMED_OUT;
        s->State = UDT_STATE_FAILED;
        return;
    }
    SendHandshake(s);
    UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_SEND], now + s->HandshakeInterval);
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------

static int32_t NextAckNumber(const UDTSocketStruct *s) {
    int32_t a;
    if (!LossList_PeekFirst(s->RecvLoss, &a)) {
        a = UDTSeq_Increment(s->CurrentRecvSeq);
    }
    return a;
}

// Makes every packet received in order readable (the connection is ending and no
// acknowledgement will do it any more).
void UDTCore_ReleaseInOrder(UDTSocketStruct *s) {
    if (s->RecvBuffer == nullptr || s->RecvLoss == nullptr) {
        return;
    }
    int32_t a = NextAckNumber(s);
    if (UDTSeq_Compare(a, s->LastAckSent) > 0) {
        RecvBuffer_Acknowledge(s->RecvBuffer, UDTSeq_Offset(s->LastAckSent, a));
        s->LastAckSent = a;
    }
}

// Full ACK: releases newly complete packets to the reader and reports them.
static void FullAck(UDTSocketStruct *s, double now) {
    int32_t a = NextAckNumber(s);
    int c = UDTSeq_Compare(a, s->LastAckSent);
    if (c < 0 || (c == 0 && now - s->LastAckTime < s->Rtt + 4 * s->RttVar)) {
        return;
    }
    if (c > 0) {
        RecvBuffer_Acknowledge(s->RecvBuffer, UDTSeq_Offset(s->LastAckSent, a));
        s->LastAckSent = a;
    }
    if (UDTSeq_Compare(s->LastAckSent, s->LastAck2Received) <= 0) {
        return;
    }
    s->AckSequence = (s->AckSequence + 1) & 0x7FFFFFFF;
    int free = RecvBuffer_GetFree(s->RecvBuffer);
    int32_t words[6] = {
        s->LastAckSent, (int32_t)s->Rtt, (int32_t)s->RttVar, free > 2 ? free : 2, 0, 0};
    int count = 4;
    if (now - s->LastAckTime > 0.01) {
        words[4] = ArrivalWindow_GetReceiveRate(s->Arrival);
        words[5] = ArrivalWindow_GetCapacity(s->Arrival);
        count = 6;
    }
    UDTCore_SendControl(s, UDT_CTRL_ACK, s->AckSequence, words, count);
    s->AcksSent++;
    s->LastAckTime = now;
    AckWindow_Store(s->AckWindow, s->AckSequence, s->LastAckSent, now);
}

static void NakTimer(UDTSocketStruct *s) {
    int maxWords = s->Control->PayloadCapacity / 4;
    uint32_t *words = reinterpret_cast<uint32_t *>(s->Control->Payload);
    // Report straight into the control packet, then send it as is.
    int count = LossList_Report(s->RecvLoss, words, maxWords);
    if (count > 0) {
        UDTCore_SendControl(s, UDT_CTRL_NAK, 0, reinterpret_cast<int32_t *>(words), count);
        s->NaksSent++;
    }
}

// Expiry: declares the peer dead after long silence, else resends what is
// outstanding (or a keep-alive) and backs off.
static void Expiry(UDTSocketStruct *s, double now) {
    int c = s->ExpiryCount;
    double d = ((s->Rtt + 4 * s->RttVar) * (c - 1) * 0.5 + 0.01) * c;
    if ((c > 16 && d > 3) || now - s->LastResponse > 30 || d > 30) {
        s->State = s->State == UDT_STATE_CLOSING ? UDT_STATE_CLOSED : UDT_STATE_BROKEN;
        UDTCore_ReleaseInOrder(s);
        return;
    }
    if (UDTSeq_Increment(s->CurrentSendSeq) == s->LastAckReceived) {
        UDTCore_SendControl(s, UDT_CTRL_KEEPALIVE, 0, nullptr, 0);
    } else {
        int added = 0;
        LossList_Insert(s->SendLoss, s->LastAckReceived, s->CurrentSendSeq, &added);
    }
    if (SendBuffer_GetPending(s->SendBuffer) > 0) {
        SendRoutine(s, now);
    }
    Congestion_OnTimeout(s->Cc);
    s->ExpiryCount++;
    ArmExpiry(s, now);
}

void UDTCore_OnTimer(UDTSocketStruct *s, int type, double now) {
    MUTEX_LOCK(s->Mutex);
    int before = UDTCore_Snapshot(s);
    int live = s->State == UDT_STATE_CONNECTED || s->State == UDT_STATE_CLOSING;
    if (type == UDT_TIMER_SEND && s->State == UDT_STATE_CONNECTING) {
        ConnectRetry(s, now);
    } else if (live && type == UDT_TIMER_SEND) {
        SendRoutine(s, now);
    } else if (live && type == UDT_TIMER_ACK) {
        FullAck(s, now);
        s->PacketsSinceAck = 0;
        // An idle receiver lets the timer rest (no wake-ups); data re-arms it.
        if (NextAckNumber(s) != s->LastAckSent ||
            UDTSeq_Compare(s->LastAckSent, s->LastAck2Received) > 0) {
            UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_ACK], now + 0.01);
        }
    } else if (live && type == UDT_TIMER_NAK) {
        NakTimer(s);
        // Rests while nothing is missing; a new loss or an ACK/ACK2 re-arms it.
        if (!LossList_IsEmpty(s->RecvLoss)) {
            UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_NAK], now + NakInterval(s));
        }
    } else if (live && type == UDT_TIMER_EXPIRY) {
        Expiry(s, now);
    }
    int after = UDTCore_Snapshot(s);
    // Signalled before the unlock: a woken owner may destroy the socket as soon
    // as it holds the mutex again, and nothing here may touch it after that.
    UDTCore_Wake(s, before, after);
    MUTEX_UNLOCK(s->Mutex);
}

void UDTCore_OnSendNow(UDTSocketStruct *s, double now) {
    UDTCore_OnTimer(s, UDT_TIMER_SEND, now);
}

// ---------------------------------------------------------------------------
// Control packets of a connection
// ---------------------------------------------------------------------------

// 1 when seq was handed out already (not later than the current send sequence).
static int WasSent(const UDTSocketStruct *s, int32_t seq) {
    return UDTSeq_Compare(seq, s->CurrentSendSeq) <= 0;
}

static void OnAck(UDTSocketStruct *s, const UDTPacketStruct *p, double now) {
    int32_t a = UDTSeq_FromWire((uint32_t)Packet_GetWord(p, 0));
    if (UDTSeq_Compare(a, UDTSeq_Increment(s->CurrentSendSeq)) > 0) {
        return; // acknowledges what was never sent
    }
    if (p->PayloadLength == 4) {
        if (UDTSeq_Compare(a, s->LastAckReceived) >= 0) {
            s->FlowWindow -= UDTSeq_Offset(s->LastAckReceived, a);
            s->FlowWindow = s->FlowWindow > 0 ? s->FlowWindow : 0;
            s->LastAckReceived = a;
        }
        return;
    }
    if (p->PayloadLength != 16 && p->PayloadLength != 24) {
        return;
    }
    UDTCore_SendControl(s, UDT_CTRL_ACK2, Packet_GetAckSequence(p), nullptr, 0);
    if (UDTSeq_Compare(a, s->LastAckReceived) >= 0) {
        s->FlowWindow = Packet_GetWord(p, 3);
        s->LastAckReceived = a;
    }
    if (UDTSeq_Compare(a, s->LastDataAck) > 0) {
        SendBuffer_Release(s->SendBuffer, UDTSeq_Offset(s->LastDataAck, a));
        s->LastDataAck = a;
        LossList_RemoveUpTo(s->SendLoss, UDTSeq_Decrement(a));
        // The peer's round-trip words are not folded in: peers use other units.
        Congestion_SetRtt(s->Cc, floor(s->Rtt));
        if (p->PayloadLength == 24) {
            int32_t rate = Packet_GetWord(p, 4), capacity = Packet_GetWord(p, 5);
            if (rate > 0) {
                s->DeliveryRate = (7 * s->DeliveryRate + rate) / 8;
            }
            if (capacity > 0) {
                s->LinkCapacity = (int)(((int64_t)capacity + 7 * (int64_t)s->LinkCapacity) / 8);
            }
            Congestion_SetReceiveRate(s->Cc, s->DeliveryRate);
            Congestion_SetLinkCapacity(s->Cc, s->LinkCapacity);
        }
        Congestion_OnAck(s->Cc, a, now);
        s->AcksReceived++;
    }
    if (!s->Timers[UDT_TIMER_SEND].Linked) {
        UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_SEND], now);
    }
}

// Checks a loss report: whole entries only, nothing beyond what was sent.
static int NakIsSound(const UDTSocketStruct *s, const UDTPacketStruct *p, int words) {
    for (int i = 0; i < words; i++) {
        uint32_t w = (uint32_t)Packet_GetWord(p, i);
        if (!WasSent(s, UDTSeq_FromWire(w))) {
            return 0;
        }
        if (w & 0x80000000u) {
            if (i + 1 >= words) {
                return 0;
            }
            uint32_t last = (uint32_t)Packet_GetWord(p, ++i);
            if ((last & 0x80000000u) || !WasSent(s, (int32_t)last) ||
                UDTSeq_Compare(UDTSeq_FromWire(w), (int32_t)last) > 0) {
                return 0;
            }
        }
    }
    return 1;
}

static void OnNak(UDTSocketStruct *s, const UDTPacketStruct *p, double now) {
    int words = p->PayloadLength / 4;
    if (words == 0 || !NakIsSound(s, p, words)) {
        return;
    }
    Congestion_OnLoss(s->Cc, UDTSeq_FromWire((uint32_t)Packet_GetWord(p, 0)));
    for (int i = 0; i < words; i++) {
        uint32_t w = (uint32_t)Packet_GetWord(p, i);
        int32_t first = UDTSeq_FromWire(w), last = first;
        if (w & 0x80000000u) {
            last = Packet_GetWord(p, ++i);
        }
        if (UDTSeq_Compare(last, s->LastAckReceived) < 0) {
            continue;
        }
        if (UDTSeq_Compare(first, s->LastAckReceived) < 0) {
            first = s->LastAckReceived;
        }
        int added = 0;
        LossList_Insert(s->SendLoss, first, last, &added);
        s->Losses += added;
    }
    if (WasSent(s, s->LastAckReceived)) {
        int added = 0;
        LossList_Insert(s->SendLoss, s->LastAckReceived, s->LastAckReceived, &added);
    }
    s->NaksReceived++;
    UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_SEND], now);
}

static void OnAck2(UDTSocketStruct *s, const UDTPacketStruct *p, double now) {
    int32_t ackNumber = 0;
    double sent = 0;
    if (!AckWindow_Lookup(s->AckWindow, Packet_GetAckSequence(p), &ackNumber, &sent)) {
        return;
    }
    double sample = now - sent;
    s->RttVar = (fabs(sample - s->Rtt) + 3 * s->RttVar) * 0.25;
    s->Rtt = (sample + 7 * s->Rtt) * 0.125;
    if (UDTSeq_Compare(ackNumber, s->LastAck2Received) > 0) {
        s->LastAck2Received = ackNumber;
    }
}

static void OnControl(UDTSocketStruct *s, const UDTPacketStruct *p, double now) {
    UDTMultiplexerStruct *mux = s->Mux;
    switch (Packet_GetControlType(p)) {
    case UDT_CTRL_ACK:
        UDTMultiplexer_ArmTimer(mux, &s->Timers[UDT_TIMER_NAK], now + NakInterval(s));
        ArmExpiry(s, now);
        OnAck(s, p, now);
        break;
    case UDT_CTRL_NAK:
        ArmExpiry(s, now);
        OnNak(s, p, now);
        break;
    case UDT_CTRL_ACK2:
        UDTMultiplexer_ArmTimer(mux, &s->Timers[UDT_TIMER_NAK], now + NakInterval(s));
        OnAck2(s, p, now);
        break;
    case UDT_CTRL_SHUTDOWN:
        s->State = s->State == UDT_STATE_CLOSING ? UDT_STATE_CLOSED : UDT_STATE_BROKEN;
        UDTCore_ReleaseInOrder(s); // the tail of the stream stays readable
        break;
    default:
        break; // keep-alive and unknown types
    }
}

// ---------------------------------------------------------------------------
// Data packets
// ---------------------------------------------------------------------------

static void SendNakNow(UDTSocketStruct *s, int32_t first, int32_t last) {
    int32_t words[2] = {first, last};
    int count = 1;
    if (first != last) {
        words[0] = (int32_t)((uint32_t)first | 0x80000000u);
        count = 2;
    }
    UDTCore_SendControl(s, UDT_CTRL_NAK, 0, words, count);
    s->NaksSent++;
}

static void OnData(UDTSocketStruct *s, UDTPacketStruct **packet, double now) {
    s->PacketsSinceAck++;
    s->PacketsReceived++;
    int32_t seq = Packet_GetSequence(*packet);
    ArrivalWindow_OnArrival(s->Arrival, seq, now);
    int o = UDTSeq_Offset(s->LastAckSent, seq);
    if (o < 0 || o >= RecvBuffer_GetFree(s->RecvBuffer) || RecvBuffer_IsFilled(s->RecvBuffer, o)) {
        return;
    }
    RecvBuffer_Store(s->RecvBuffer, packet, o);
    if (!s->Timers[UDT_TIMER_ACK].Linked) {
        UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_ACK], now + 0.01);
    }
    int32_t expected = UDTSeq_Increment(s->CurrentRecvSeq);
    if (UDTSeq_Compare(seq, expected) > 0) {
        int added = 0;
        LossList_Insert(s->RecvLoss, expected, UDTSeq_Decrement(seq), &added);
        SendNakNow(s, expected, UDTSeq_Decrement(seq));
        s->Losses += added;
        if (!s->Timers[UDT_TIMER_NAK].Linked) {
            UDTMultiplexer_ArmTimer(s->Mux, &s->Timers[UDT_TIMER_NAK], now + NakInterval(s));
        }
    }
    if (UDTSeq_Compare(seq, s->CurrentRecvSeq) > 0) {
        s->CurrentRecvSeq = seq;
    } else {
        LossList_RemoveOne(s->RecvLoss, seq);
    }
}

static void OnConnectedPacket(UDTSocketStruct *s, UDTPacketStruct **packet, const UDTAddress *from,
                              double now) {
    if (memcmp(from->Ip, s->Peer.Ip, 4) != 0 || from->Port != s->Peer.Port) {
        return; // another host using this socket's id
    }
    s->LastResponse = now;
    s->ExpiryCount = 1;
    if (UDTSeq_Increment(s->CurrentSendSeq) == s->LastAckReceived) {
        ArmExpiry(s, now);
    }
    if (Packet_IsControl(*packet)) {
        OnControl(s, *packet, now);
        return;
    }
    OnData(s, packet, now);
    if (s->PacketsSinceAck >= LIGHT_ACK_PACKETS) {
        int32_t a = NextAckNumber(s);
        UDTCore_SendControl(s, UDT_CTRL_ACK, 0, &a, 1);
        s->PacketsSinceAck = 0;
    }
}

// ---------------------------------------------------------------------------
// Handshakes
// ---------------------------------------------------------------------------

enum {
    HS_VERSION = 0,
    HS_TYPE = 1,
    HS_ISN = 2,
    HS_MSS = 3,
    HS_FLOW = 4,
    HS_REQUEST = 5,
    HS_ID = 6,
    HS_COOKIE = 7,
    HS_PEER_IP = 8,
};

static int32_t *HandshakeWords(UDTPacketStruct *p) {
    return reinterpret_cast<int32_t *>(p->Payload);
}

// Starts sequence state from the shared initial sequence number.
static void StartSequences(UDTSocketStruct *s, int32_t isn) {
    s->Isn = isn;
    s->LastAckReceived = s->LastDataAck = s->LastAckSent = s->LastAck2Received = isn;
    s->CurrentSendSeq = s->CurrentRecvSeq = UDTSeq_Decrement(isn);
}

// The requester's side: an answer (or a cookie challenge) to our request.
static void OnHandshakeAnswer(UDTSocketStruct *s, UDTPacketStruct *p, const UDTAddress *from,
                              double now) {
    if (memcmp(from->Ip, s->Peer.Ip, 4) != 0 || from->Port != s->Peer.Port) {
        return;
    }
    const int32_t *w = HandshakeWords(p);
    int32_t *request = HandshakeWords(s->Handshake);
    if (w[HS_REQUEST] == 1 && p->PayloadLength >= UDT_HANDSHAKE_FULL_WORDS * 4 &&
        s->Handshake->PayloadLength >= UDT_HANDSHAKE_FULL_WORDS * 4) {
        // A listener that checks cookies: ask again carrying its cookie.
        request[HS_REQUEST] = -1;
        request[HS_COOKIE] = w[HS_COOKIE];
        SendHandshake(s);
        return;
    }
    if (w[HS_REQUEST] != -1 || w[HS_ISN] != s->Isn || w[HS_MSS] < UDT_MIN_MSS) {
        UDTMultiplexer_RemoveSocketLocal(s->Mux, s);
        s->ConnectError = UDT_ERROR_REFUSED;
        s->State = UDT_STATE_FAILED;
        return;
    }
    s->Mss = w[HS_MSS] < s->Mss ? w[HS_MSS] : s->Mss;
    s->PayloadSize = s->Mss - 44;
    s->FlowWindow = w[HS_FLOW] > 2 ? w[HS_FLOW] : 2;
    s->PeerId = w[HS_ID];
    StartSequences(s, s->Isn);
    UDTMultiplexer_CancelTimer(s->Mux, &s->Timers[UDT_TIMER_SEND]);
    Packet_Destroy(&s->Handshake);
    s->ConnectError = 0;
    UDTCore_SetUp(s, now, 1);
}

// Rewrites a request into an answer and sends it back to its sender.
static void Answer(UDTMultiplexerStruct *mux, UDTPacketStruct *p, const UDTAddress *from,
                   int32_t requester, int32_t request) {
    int32_t *w = HandshakeWords(p);
    w[HS_REQUEST] = request;
    if (p->PayloadLength >= UDT_HANDSHAKE_FULL_WORDS * 4) {
        memset(&w[HS_PEER_IP], 0, 16);
        memcpy(&w[HS_PEER_IP], from->Ip, 4);
    }
    Packet_SetControlType(p, UDT_CTRL_HANDSHAKE);
    p->Header[1] = p->Header[2] = 0;
    Packet_SetDestination(p, requester);
    Channel_Send(UDTMultiplexer_GetChannel(mux), p, from);
}

// A socket already made for this very request (the answer was lost).
static UDTSocketStruct *FindRepeat(UDTMultiplexerStruct *mux, const UDTAddress *from,
                                   int32_t peerId, int32_t isn) {
    for (UDTHashEntry *e = Hash_First(UDTMultiplexer_GetSockets(mux)); e != nullptr; e = e->Next) {
        UDTSocketStruct *c = static_cast<UDTSocketStruct *>(e->Value);
        if (c->Accepted && c->PeerId == peerId && c->Isn == isn && c->Peer.Port == from->Port &&
            memcmp(c->Peer.Ip, from->Ip, 4) == 0) {
            return c;
        }
    }
    return nullptr;
}

// Makes the connection a listener's request asks for; null when it cannot.
static UDTSocketStruct *Spawn(UDTSocketStruct *l, const int32_t *w, const UDTAddress *from,
                              double now) {
    UDTSocketStruct *n = nullptr;
    if (!UDTCore_NewSocket(&n)) {
        return nullptr;
    }
    n->State = UDT_STATE_OPENED;
    n->Mux = l->Mux;
    UDTMultiplexer_AddReference(l->Mux);
    n->Blocking = l->Blocking;
    n->FlightFlagSize = l->FlightFlagSize;
    n->SendBufferSize = l->SendBufferSize;
    n->RecvBufferSize = l->RecvBufferSize;
    n->Linger = l->Linger;
    n->SendTimeout = l->SendTimeout;
    n->RecvTimeout = l->RecvTimeout;
    n->Rtt = l->Rtt;
    n->RttVar = l->RttVar;
    n->Peer = *from;
    n->PeerId = w[HS_ID];
    n->Accepted = 1;
    n->Mss = w[HS_MSS] < l->Mss ? w[HS_MSS] : l->Mss;
    n->PayloadSize = n->Mss - 44;
    n->FlowWindow = w[HS_FLOW] > 2 ? w[HS_FLOW] : 2;
    StartSequences(n, w[HS_ISN]);
    for (int i = 0; i < UDT_TIMER_COUNT; i++) {
        n->Timers[i].Type = i;
        n->Timers[i].Socket = n;
    }
    UDTCore_SetUp(n, now, 1);
    Hash_Add(l->AcceptQueue, (uint32_t)n->Id, n);
    UDTMultiplexer_AddSocketLocal(l->Mux, n);
    return n;
}

static void OnHandshakeRequest(UDTSocketStruct *l, UDTMultiplexerStruct *mux, UDTPacketStruct *p,
                               const UDTAddress *from, double now) {
    int32_t *w = HandshakeWords(p);
    int32_t requester = w[HS_ID];
    if (w[HS_REQUEST] != 1 && w[HS_REQUEST] != -1) {
        return; // an answer or a refusal is nothing to a listener
    }
    if (w[HS_VERSION] != 4 || w[HS_TYPE] != 1 || w[HS_MSS] < UDT_MIN_MSS) {
        Answer(mux, p, from, requester, UDT_REQUEST_REFUSED);
        return;
    }
    int32_t flow = l->RecvBufferSize < l->FlightFlagSize ? l->RecvBufferSize : l->FlightFlagSize;
    UDTSocketStruct *n = FindRepeat(mux, from, requester, w[HS_ISN]);
    if (n == nullptr && Hash_GetCount(l->AcceptQueue) < l->Backlog) {
        n = Spawn(l, w, from, now);
    }
    if (n == nullptr) {
        Answer(mux, p, from, requester, UDT_REQUEST_REFUSED);
        return;
    }
    w[HS_ISN] = n->Isn;
    w[HS_MSS] = n->Mss;
    w[HS_FLOW] = flow;
    w[HS_ID] = n->Id;
    Answer(mux, p, from, requester, -1);
}

void UDTCore_OnPacket(UDTSocketStruct *s, UDTMultiplexerStruct *mux, UDTPacketStruct **packet,
                      const UDTAddress *from, double now) {
    UDTPacketStruct *p = *packet;
    int handshake = Packet_IsControl(p) && Packet_GetControlType(p) == UDT_CTRL_HANDSHAKE &&
                    p->PayloadLength >= UDT_HANDSHAKE_WORDS * 4;
    MUTEX_LOCK(s->Mutex);
    int before = UDTCore_Snapshot(s);
    if (s->State == UDT_STATE_CONNECTED || s->State == UDT_STATE_CLOSING) {
        OnConnectedPacket(s, packet, from, now);
    } else if (handshake && s->State == UDT_STATE_CONNECTING) {
        OnHandshakeAnswer(s, p, from, now);
    } else if (handshake && s->State == UDT_STATE_LISTENING && s->AcceptQueue != nullptr) {
        OnHandshakeRequest(s, mux, p, from, now);
    }
    int after = UDTCore_Snapshot(s);
    // Signalled before the unlock: a woken owner may destroy the socket as soon
    // as it holds the mutex again, and nothing here may touch it after that.
    UDTCore_Wake(s, before, after);
    MUTEX_UNLOCK(s->Mutex);
}
