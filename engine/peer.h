// One peer-wire connection of one download: the handshakes, the message
// reader, the two block queues (our requests, the peer's requests), the choke
// and interest flags of both directions, piece accounting, the close summary
// and the per-peer log. Everything runs on the manager thread.
#pragma once

#include <cstdint>

#include "core/zyl_formatcheck.h"

struct BaseStruct;
struct BigIntStruct;
struct BitBaseStruct;
struct BitfieldStruct;
struct BufferIOStruct;
struct ContentStruct;
struct ManagerMemberStruct;
struct ManagerStruct;
struct SliceStruct;
struct StreamStruct;
struct TransportStruct;

enum {
    BITPEER_STATE_INACTIVE = 0,
    BITPEER_STATE_CONTACT = 1,
    BITPEER_STATE_IDENTIFY = 2,
    BITPEER_STATE_HANDOFF = 3,
    BITPEER_STATE_SELECT = 4,
    BITPEER_STATE_KEY_EXCHANGE = 5,
    BITPEER_STATE_NEGOTIATE = 6,
    BITPEER_STATE_GOOD = 7,
    BITPEER_STATE_FAILURE = 10,
    BITPEER_STATE_CLOSE = 11,
};

enum {
    BITPEER_TYPE_NORMAL = 1,
    BITPEER_TYPE_MUNGE = 2,
    BITPEER_TYPE_PLAINTEXT = 4,
    BITPEER_TYPE_PE = 8,
    BITPEER_TYPE_ALL = -1,
};

enum {
    BITPEER_FLOW_CHOKE = 0,
    BITPEER_FLOW_UNCHOKE = 1,
    BITPEER_FLOW_INTERESTED = 2,
    BITPEER_FLOW_NOT_INTERESTED = 3,
};

enum {
    BITPEER_DIRECTION_OUTGOING = 0,
    BITPEER_DIRECTION_INCOMING = 1,
    BITPEER_TEXT_SIZE = 320,
    BITPEER_FAST_SIZE = 16,       // allowed-fast and suggested list entries
    BITPEER_MAX_ERRORS = 65,      // the read pass refuses to read at this count
    BITPEER_MAX_RESPONSES = 2000, // queued requests of the peer, more are dropped
    BITPEER_PLAIN_HANDSHAKE = 68,
    BITPEER_MUNGE_HANDSHAKE = 48,
    BITPEER_SEED_NORMAL = 0,
    BITPEER_SEED_SUPER = 1,
    BITPEER_SEED_STEALTH = 2,
};

// The message log's directions.
enum { BITPEER_LOG_RECEIVED = 1, BITPEER_LOG_SENT = 2 };

typedef void (*BitPeerLogCallback)(BaseStruct *base, struct BitPeerStruct *peer, int user,
                                   int count, const char *line);

struct BitPeerFastEntry {
    int Index;
    int Usable;
};

struct BitPeerStruct {
    const char *Tag;
    int Verbose;
    int PieceOrder;
    int HaveSuppression;
    int ChokeHandoff;
    int Exempt;
    int ConnectionType; // BITPEER_TYPE_* bits; -1 all
    int Fast;           // 1: both sides use the Fast extension
    int FastOffered;    // fixed when our handshake is built (or the peer's is read)
    int FastOfferedSet;
    int RequestDepth;
    int HandshakeSent;
    int Direction; // informational; the transport tells accepted connections
    uint8_t PeerId[20];
    int64_t BytesSent;
    int64_t BytesReceived;
    int64_t GoodBytes;
    int64_t CorruptBytes;
    int64_t BadBytes;
    double ContactTime;
    double LastMessageTime;
    double LastBlockTime;
    double ReceiveInterval;
    double SendInterval;
    double ReceiveMark;
    double SendMark;
    double UnchokedByPeerSince;
    double UnchokedPeerSince;
    double UnchokedByPeerTotal;
    double UnchokedPeerTotal;
    double LastUnchokeTime; // last time we unchoked the peer; 0 = never
    double LastSentTime;    // last block fully sent to the peer
    double StateTime;       // last state change
    uint8_t KeepAlivePending;
    uint8_t State;
    int HandshakeCounted;
    TransportStruct *Transport; // owned (unless its protocol is 2)
    uint8_t PeerChoking;
    uint8_t PeerInterested;
    uint8_t ChokingPeer;
    uint8_t Interested;
    BitPeerFastEntry AllowedFast[BITPEER_FAST_SIZE]; // pieces the peer lets us ask while choked
    int AllowedFastCount;
    int SentFast[BITPEER_FAST_SIZE]; // pieces we let the peer ask while we choke it
    int SentFastCount;
    int Suggested[BITPEER_FAST_SIZE];
    int SuggestedCount;
    int BlocksSinceUnchoke;
    int Errors;
    int CorruptPieces;
    int GoodPieces;
    int BadPieces;
    int SeedingMode;
    int PeerParameter;
    double SeedingTime;
    char Status[BITPEER_TEXT_SIZE];
    int LogCount;
    BitPeerLogCallback LogCallback;
    int LogUser;
    int CurrentPiece;
    int FullPiece;
    int CorruptRerequest;
    int Cancelled;          // Cancels sent whose blocks may still arrive
    int BitfieldSeen;       // a BitField was read
    SliceStruct *Requests;  // blocks we asked the peer for
    SliceStruct *Responses; // blocks the peer asked us for
    int CryptoPhase;
    int CryptoScan;
    BigIntStruct *Prime;
    BigIntStruct *PrivateKey;
    BigIntStruct *PublicKey;
    BigIntStruct *PeerPublicKey;
    BigIntStruct *Secret;
    uint8_t Verification[8];
    BitfieldStruct *Scratch;
    BitfieldStruct *Advertised;
    BitfieldStruct *PeerPieces;
    StreamStruct *Stream;
    ManagerStruct *Manager;
    BaseStruct *Base;
    BitBaseStruct *Swarm;
    ContentStruct *Content;
};

// Life. Create: 1 and *peer (state Contact, both sides choking, no interest).
// Destroy: frees everything the connection owns (its transport unless that is
// a shared datagram one), clears *peer; 0 for a null pointer or record.
int BitPeer_Create(BitPeerStruct **peer);
int BitPeer_Destroy(BitPeerStruct **peer);
int BitPeer_Init(BitPeerStruct *peer);
int BitPeer_Deinit(BitPeerStruct *peer);
// 1 when the piece is in the allowed-fast set we sent the peer.
int BitPeer_IsSentFast(BitPeerStruct *peer, int index);
// 1 when the pointer is a live connection record (never fatal).
int BitPeer_IsValid(const void *pointer);
// Binds the download (its manager, content and swarm); a second call is fatal
// ("Parent handle already set").
int BitPeer_SetParent(BitPeerStruct *peer, BaseStruct *base);

// Setters (each returns 1). The transport becomes the connection's own.
int BitPeer_SetTransport(BitPeerStruct *peer, TransportStruct *transport);
int BitPeer_SetDirection(BitPeerStruct *peer, int direction);
int BitPeer_SetRequestDepth(BitPeerStruct *peer, int depth);
int BitPeer_SetHaveSuppression(BitPeerStruct *peer, int value);
int BitPeer_SetChokeHandoff(BitPeerStruct *peer, int value);
int BitPeer_SetPieceOrder(BitPeerStruct *peer, int mode);
int BitPeer_SetSeedingMode(BitPeerStruct *peer, int mode);
int BitPeer_SetPeerParameter(BitPeerStruct *peer, int value);
int BitPeer_SetVerbose(BitPeerStruct *peer, int value);
int BitPeer_SetConnectionType(BitPeerStruct *peer, int type);
int BitPeer_SetLogCallback(BitPeerStruct *peer, BitPeerLogCallback callback, int user);

// Getters.
int BitPeer_GetTransport(BitPeerStruct *peer, TransportStruct **transport);
int BitPeer_GetState(BitPeerStruct *peer, int *state);
int BitPeer_GetConnectionType(BitPeerStruct *peer, int *type);
int BitPeer_GetPeerPieces(BitPeerStruct *peer, BitfieldStruct **pieces);
int BitPeer_GetStream(BitPeerStruct *peer, StreamStruct **stream);
int BitPeer_GetRequestQueue(BitPeerStruct *peer, SliceStruct **queue);
int BitPeer_GetQueueLengths(BitPeerStruct *peer, int *requests, int *responses);
// 1 when the transport was accepted by our listener.
int BitPeer_IsIncoming(BitPeerStruct *peer);
// Unchoked time in each direction, the running period included.
int BitPeer_GetUnchokedTotals(BitPeerStruct *peer, double *byPeer, double *ofPeer);

// Interest tests over the two piece sets.
int BitPeer_IsInterestedIn(BitPeerStruct *peer);
int BitPeer_IsInterestingTo(BitPeerStruct *peer);

// Driving calls of the swarm's tick.
// Reads and handles every whole buffered message; 0 asks the caller to close.
int BitPeer_ReadMessages(BitPeerStruct *peer);
// One message starting the input buffer (length prefix included); 0 closes.
int BitPeer_ReadMessage(BitPeerStruct *peer);
// Flushes, serves the peer's queued requests, then sends our requests.
int BitPeer_Process(BitPeerStruct *peer);
int BitPeer_HasData(BitPeerStruct *peer);
int BitPeer_Fill(BitPeerStruct *peer);
int BitPeer_Flush(BitPeerStruct *peer);
int BitPeer_SendKeepAlive(BitPeerStruct *peer);
int BitPeer_SetFlow(BitPeerStruct *peer, int flow);
int BitPeer_UpdateInterest(BitPeerStruct *peer);
int BitPeer_PickPieces(BitPeerStruct *peer);
int BitPeer_SendRequests(BitPeerStruct *peer, int chokeTest);
int BitPeer_SendResponse(BitPeerStruct *peer);
int BitPeer_GetRequestDepth(BitPeerStruct *peer);
int BitPeer_ReceivePiece(BitPeerStruct *peer, int index, int begin, const uint8_t *block,
                         int length);
int BitPeer_PieceCompleted(BitPeerStruct *peer, int index);
// Sends a Cancel for every sent request, empties the queue, flushes. An empty
// queue sends nothing and gives 1.
int BitPeer_CancelAllRequests(BitPeerStruct *peer);
int BitPeer_CancelPieceRequests(BitPeerStruct *peer, int index);
int BitPeer_HandOffSliceQueue(BitPeerStruct *peer);
int BitPeer_QueueAllowedFast(BitPeerStruct *peer);
int BitPeer_InternalSendFastReject(BitPeerStruct *peer, uint32_t index, uint32_t begin,
                                   uint32_t length);
// Fast only: drops the peer's queued requests with a Reject each, keeping
// those of the allowed-fast set we sent when keepAllowedFast is 1. 0 when a
// Reject could not be written.
int BitPeer_RejectResponses(BitPeerStruct *peer, int keepAllowedFast);
// Ends the connection: summary lines, IP list state and totals, state Failure
// (failure 1) or Close. 1, also when it already ended.
int BitPeer_Close(BitPeerStruct *peer, const char *reason, int failure);
int BitPeer_SetState(BitPeerStruct *peer, int state);
// Before a retry with another connection or transport type: buffers, flags,
// queues, piece sets, handshake and key fields back to a new connection's.
int BitPeer_Reset(BitPeerStruct *peer);
// Names: state ("Unknown" for others), connection type ("All", "Normal/PE"...).
const char *BitPeer_GetStateName(int state);
int BitPeer_GetConnectionTypeName(BitPeerStruct *peer, char *text, int size);
int BitPeer_TypeName(int type, char *text, int size);
// The peer id's printable form: leading printable characters, a blank, hex.
int BitPeer_FormatPeerId(const uint8_t id[20], char *text, int size);

// Logs.
int BitPeer_Log(BitPeerStruct *peer, const char *format, ...);
#define BitPeer_Log(peer, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (BitPeer_Log)(peer, __VA_ARGS__))
int BitPeer_LogMessage(BitPeerStruct *peer, int direction, int id, const char *format, ...);
#define BitPeer_LogMessage(peer, direction, id, ...)                                               \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (BitPeer_LogMessage)(peer, direction, id, __VA_ARGS__))

// Handshakes and the first announcement.
// One step of identifying an accepted connection: 1 to go on (*member set once
// the download is known), 0 to drop it.
int BitPeer_Identify(BitPeerStruct *peer, ManagerStruct *manager, ManagerMemberStruct **member);
int BitPeer_SendHandshake(BitPeerStruct *peer);
int BitPeer_StartHandshake(BitPeerStruct *peer);
int BitPeer_ReadHandshake(BitPeerStruct *peer);
int BitPeer_SyncMungeHandshake(BitPeerStruct *peer);
int BitPeer_IdentifyClient(BitPeerStruct *peer, const uint8_t id[20]);
int BitPeer_IsAlreadyConnected(BitPeerStruct *peer, const uint8_t id[20]);
int BitPeer_SendBitfield(BitPeerStruct *peer);
int BitPeer_GenerateFastSet(BitPeerStruct *peer);
// BEP 6 allowed-fast set (k = 16) into list[16]; *count entries.
int BitPeer_ComputeFastSet(int pieces, const uint8_t address[4], const uint8_t hash[20], int *list,
                           int *count);
// Takes a cached key pair and the prime from the manager into the connection.
int BitPeer_LoadKeyPair(BitPeerStruct *peer);

// Stream encryption (connection types PlainText and PE). One call runs the
// phases whose bytes are buffered, for the connection's direction; phase 5
// sets the state Negotiate. 1 to go on (also while bytes are missing), 0 to
// close: a bad VC, a pad above 512, an unsupported method, a peer key outside
// 2..P-2, a pattern missing past its offset limit, or a closed stream.
int BitPeer_CryptoStep(BitPeerStruct *peer);
// The steps, each advancing the phase by one when done (same results).
int BitPeer_CryptoSendKey(BitPeerStruct *peer);
int BitPeer_CryptoReadKey(BitPeerStruct *peer);
int BitPeer_CryptoReadReq1(BitPeerStruct *peer);
int BitPeer_CryptoReadReq2(BitPeerStruct *peer);
int BitPeer_CryptoReceiverReply(BitPeerStruct *peer);
int BitPeer_CryptoSendHash(BitPeerStruct *peer);
int BitPeer_CryptoReadVC(BitPeerStruct *peer);
int BitPeer_CryptoReadSelect(BitPeerStruct *peer);
// HASH('req2', info hash of content), HASH('req1', S), HASH('req3', S); any
// output may be null. Returns 1.
int BitPeer_CryptoBuildHashes(BitPeerStruct *peer, uint8_t req2[20], ContentStruct *content,
                              uint8_t req1[20], uint8_t req3[20]);
// Keys one buffer's RC4 with SHA-1(label, S, info hash) over a fresh state and
// drops 1024 key-stream bytes. Returns 1.
int BitPeer_CryptoSetKey(BitPeerStruct *peer, const char *label, BufferIOStruct *cipher);
