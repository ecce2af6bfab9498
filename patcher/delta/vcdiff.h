// VCDIFF decoder (RFC 3284, no secondary compression): header, default or
// delta-encoded code table, windows with their three sections, address caches
// and the optional Adler-32 window checksum. Input is pushed in pieces, output is
// pulled one target window (at most 16 MiB) at a time, and source bytes are
// supplied block by block by the caller.
#pragma once

#include <cstdint>

// Decode results. 0 is success; everything else is one of these codes.
enum {
    VCDIFF_OK = 0,
    VCDIFF_INPUT = -17703,         // every byte given has been used; give more
    VCDIFF_OUTPUT = -17704,        // a target window is ready: take it, then mark it consumed
    VCDIFF_GETSRCBLK = -17705,     // load the requested source block into the source record
    VCDIFF_GOTHEADER = -17706,     // after the file header and the first window header (once)
    VCDIFF_WINSTART = -17707,      // after the header of each later window
    VCDIFF_WINFINISH = -17708,     // a window has been delivered
    VCDIFF_INTERNAL = -17710,      // internal error or unsupported input (message set)
    VCDIFF_INVALID = -17711,       // invalid settings (message set)
    VCDIFF_INVALID_INPUT = -17712, // invalid input (message set)
    VCDIFF_NOMEM = 12,             // out of memory; also "invalid code table size"
};

// Flags of the settings and of VCDiff_SetFlags.
enum {
    VCDIFF_FLUSH = 0x10,   // the input given last ends the delta
    VCDIFF_SEC_DJW = 0x20, // secondary compressors: none is available here
    VCDIFF_SEC_FGK = 0x40,
    VCDIFF_SEC_NODATA = 0x80, // secondary compression section switches
    VCDIFF_SEC_NOINST = 0x100,
    VCDIFF_SEC_NOADDR = 0x200,
    VCDIFF_ADLER32 = 0x400,       // window checksums (always verified when present)
    VCDIFF_ALT_CODE_TABLE = 0x800 // encode with an alternate code table: not available
};

// Largest target window accepted.
enum { VCDIFF_HARD_MAX_WINSIZE = 0x1000000 };

typedef void *(*VCDiffAllocFunction)(void *opaque, uint32_t size);
typedef void (*VCDiffFreeFunction)(void *opaque, void *pointer, uint32_t size);

struct VCDiffSettingsStruct {
    uint32_t WindowSize;            // encoder input window (default 0x800000)
    uint32_t SmallHistorySize;      // small-string history, a power of two (default 0x40000)
    uint32_t MaxSourceWindow;       // largest source window (default 0x4000000)
    uint32_t InstructionBufferSize; // default 512
    int Flags;                      // VCDIFF_* flags
    int MatchConfig;                // string-match preset 0-4, or 5 for the soft settings
    int SoftLargeLook;              // soft string-match settings (MatchConfig 5)
    int SoftSmallLook;
    int64_t MaxTargetSize;     // decoder: largest whole target in bytes; a window that would
                               // pass it is refused. -1 (default): no limit
    VCDiffAllocFunction Alloc; // null: the tracked process heap
    VCDiffFreeFunction Free;
    void *Opaque;
};

// The caller's view of the source file. The caller fills Size, BlockSize, Name
// and the current block (number, bytes on it, pointer); the decoder fills
// RequestedBlock before returning VCDIFF_GETSRCBLK and derives the rest.
struct VCDiffSourceStruct {
    int64_t Size;           // bytes in the source
    uint32_t BlockSize;     // a power of two
    const char *Name;       // for messages; may be null
    int64_t CurrentBlock;   // number of the block in Block
    uint32_t OnBlock;       // bytes valid in Block
    const uint8_t *Block;   // the current block's bytes (owned by the caller)
    int64_t RequestedBlock; // set by the decoder
    // Derived by VCDiff_SetSource.
    int BlockShift;
    int64_t BlockCount;
    uint32_t LastBlockSize;
};

struct VCDiffStruct;

// Fills settings with the defaults. Returns 1.
int VCDiff_InitSettings(VCDiffSettingsStruct *settings);
// Allocates an unconfigured decoder into *decoder. Returns 1.
int VCDiff_Create(VCDiffStruct **decoder);
// Checks the settings and prepares the decoder. Returns 0, or VCDIFF_INVALID /
// VCDIFF_INTERNAL with the message set (the decoder stays unusable).
int VCDiff_Config(VCDiffStruct *decoder, const VCDiffSettingsStruct *settings);
// Attaches the caller's source record (kept, not copied). Returns 0, or
// VCDIFF_INVALID when the block size is not a power of two or the size is negative.
int VCDiff_SetSource(VCDiffStruct *decoder, VCDiffSourceStruct *source);
// Makes `length` bytes available; they must stay valid until VCDIFF_INPUT.
void VCDiff_AvailInput(VCDiffStruct *decoder, const uint8_t *bytes, uint32_t length);
void VCDiff_SetFlags(VCDiffStruct *decoder, int flags);
// Runs until one of the codes above. A decoder that failed keeps failing.
int VCDiff_Decode(VCDiffStruct *decoder);
// The target window waiting to be taken (after VCDIFF_OUTPUT).
void VCDiff_GetOutput(VCDiffStruct *decoder, const uint8_t **bytes, uint32_t *length);
void VCDiff_ConsumeOutput(VCDiffStruct *decoder);
// 0 when the delta ended before the header, between windows or at the end;
// otherwise VCDIFF_INVALID_INPUT with "EOF in decode".
int VCDiff_Close(VCDiffStruct *decoder);
// The message of the last failure ("" when none).
const char *VCDiff_GetMessage(VCDiffStruct *decoder);
// Bytes of target produced so far and of input consumed.
uint64_t VCDiff_GetTotalOut(VCDiffStruct *decoder);
uint64_t VCDiff_GetTotalIn(VCDiffStruct *decoder);
// Windows whose header was read so far (0 for a delta holding only its header).
int VCDiff_GetWindowCount(VCDiffStruct *decoder);
// Frees every buffer and the decoder, clears *decoder; accepts null. Returns 1.
int VCDiff_Destroy(VCDiffStruct **decoder);

// Adler-32 (RFC 1950) continuing from `adler` (1 to start); vectorised where the
// processor allows.
uint32_t VCDiff_Adler32(uint32_t adler, const uint8_t *bytes, uint32_t length);

// The RFC 3284 default code table in its 1536-byte serialised form (six arrays
// of 256: first types, second types, first sizes, second sizes, first modes,
// second modes). `out` must hold 1536 bytes.
void VCDiff_SerializeDefaultTable(uint8_t *out);
