// The piece picker of one download: decides which piece a peer connection or web
// source fetches next (sequential, random, rarest-first, backward), resumes blocks
// left by departed sources, serves priority pieces first and hands work over when
// nothing is left to choose. Runs on the download manager's thread only.
#pragma once

#include <cstdint>

struct BitfieldStruct;
struct ContentStruct;
struct RandomStruct;
struct SliceStruct;

enum {
    PIECE_ORDER_SEQUENTIAL = 0,
    PIECE_ORDER_RANDOM = 1,
    PIECE_ORDER_SCARCITY = 2, // the download's default
    PIECE_ORDER_BACKWARD = 3,
    PIECE_ORDER_SCISSOR = 4, // named only: there is no chooser for it
    PIECE_ORDER_SEQUENTIAL_RANGED = 5,
};

enum {
    PIECE_TEXT_SIZE = 320,
    PIECE_NAME_SIZE = 80,
    // Highest source count one piece's frequency byte carries.
    PIECE_MAX_FREQUENCY = 250,
};

// What the picker needs of the swarm (peer connections and web sources). Every
// hook may be null: the picker then behaves as with no other source.
struct PieceSourceHooks {
    void *User;
    // Adds, per piece, the sources announcing it to counts[0..pieceCount-1]
    // (zeroed by the picker; each byte capped at PIECE_MAX_FREQUENCY).
    void (*FillFrequency)(void *user, uint8_t *counts, int pieceCount);
    // Sources whose request queue is not empty.
    int (*GetBusyCount)(void *user);
    // Another source than `requester` with a non-empty queue whose work the
    // requester may take over: 1 with the victim, its queue and its transport
    // identity; 0 when there is none. `peerPieces` is the requester's set (null:
    // it serves every piece), so the swarm can prefer a victim it can relieve.
    int (*FindHandoff)(void *user, void *requester, BitfieldStruct *peerPieces, void **victim,
                       SliceStruct **victimQueue, uint32_t *victimId);
    // A block the picker moved from the victim's queue to another source; it
    // belongs to the caller now. `sent` is 1 when the victim had sent the request:
    // the victim then sends a Cancel for it. The victim stays connected (a working
    // peer is not dropped) and keeps the blocks of pieces the caller's peer lacks.
    void (*HandedOff)(void *user, void *victim, int index, int begin, int length, int sent);
    // One line for a source's own connection log.
    void (*SourceLog)(void *user, void *source, const char *line);
    // Every connection drops its queued requests for the piece.
    void (*CancelPiece)(void *user, int index);
    // 1 when a web source is fetching the piece now.
    int (*WebFetching)(void *user, int index);
};

struct PieceStruct {
    const char *Tag;
    int Log;      // 1: lines also go to the Alert log
    int Order;    // PIECE_ORDER_*
    int Partial;  // 1: departed sources' blocks are kept and resumed
    int Priority; // 1: the priority list is served first
    int SequentialStart;
    char Status[PIECE_TEXT_SIZE]; // the last log line
    int LineCount;
    SliceStruct *PartialList;  // blocks of departed sources, waiting to be continued
    SliceStruct *PriorityList; // every block of pieces that must come first
    uint8_t *Frequency;        // owned: one byte per piece
    int FrequencyLength;
    BitfieldStruct *Candidates; // scratch: the pieces the current caller may get
    ContentStruct *Content;     // borrowed
    RandomStruct *Random;       // the download's generator (borrowed) or OwnRandom
    RandomStruct *OwnRandom;    // owned, seeded from the system at creation
    PieceSourceHooks Hooks;
    int HaveParent;
};

// Create: 1 and *picker (mode Scarcity, partial and priority on, status
// "Initialized"). Destroy frees the lists, the frequency array and the candidate
// set and clears *picker; accepts a null *picker. Both return 1.
int Piece_Create(PieceStruct **picker);
int Piece_Destroy(PieceStruct **picker);
// Binds the download's content and the swarm hooks (copied; null = none) and the
// lists to the content. A second call is fatal ("Parent handle already set").
int Piece_SetParent(PieceStruct *picker, ContentStruct *content, const PieceSourceHooks *hooks);
// Draws from the download's generator (borrowed) instead of the picker's own.
int Piece_SetRandom(PieceStruct *picker, RandomStruct *random);
// Setters; each returns 1. The mode is stored unchecked: each source sets its
// own mode before each choice.
int Piece_SetOrder(PieceStruct *picker, int mode);
// The priority switch (on at creation): off, the priority list is neither served
// nor filled (the download turns it off for order mode 4); on again, pieces set
// afterwards are served first once more.
int Piece_DisablePriority(PieceStruct *picker);
int Piece_EnablePriority(PieceStruct *picker);
int Piece_SetSequentialStart(PieceStruct *picker, int index);
int Piece_EnableLog(PieceStruct *picker);
// The mode's name ("Unknown" for another value) into an 80-byte buffer; 1.
int Piece_GetOrderName(int mode, char *name);
// Case-insensitive whole-name match: 1 and *mode; 0 and *mode 0 when unknown.
int Piece_ParseOrder(const char *text, int *mode);

// Queues the caller's next work into `queue` (its own request list). `source` is
// the calling connection or web source, `peerPieces` its pieces (null: it serves
// everything; else it must have one bit per piece), `partialAllowed` 1 for
// connections, `maxPieces` how many whole pieces to queue (at least 1 is used).
// 1 with *index (the first piece) and *continued (1: blocks taken over from the
// partial or priority list). A sequential choice with nothing left succeeds with
// *index = piece count and nothing queued: look at the queue. 0 when nothing
// could be chosen or the input is invalid (outputs zeroed, queue unchanged).
int Piece_ChooseNext(PieceStruct *picker, void *source, BitfieldStruct *peerPieces,
                     int partialAllowed, SliceStruct *queue, int maxPieces, int *index,
                     int *continued);
// Moves a departing source's queue into the partial list (when partial is on)
// and empties the queue. Returns 1.
int Piece_QueuePartial(PieceStruct *picker, SliceStruct *queue);
// Puts every block of the piece into the priority list (connections drop their
// requests for it). 1 also when the piece is held, listed or being fetched by a
// web source; 0 for a piece outside the content or when the list refuses it.
int Piece_SetPriority(PieceStruct *picker, int index);

// Checks the picker's cached sizes (frequency array and candidate set agree) and
// both lists (their totals, every block inside the content); stops the program
// when they disagree ("Piece totals mismatch ..."). Returns 1.
int Piece_CheckInvariants(PieceStruct *picker);
