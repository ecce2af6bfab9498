// Applies VCDIFF deltas from disk to disk: the delta arrives in pieces, the old
// file (the source) is read in 16 KiB blocks as the decoder asks for them and
// the new file is written window by window as it is produced.
#pragma once

#include <cstdint>

struct VCDiffStreamStruct;

struct FileStruct;

// Allocates a stream with its source file object and its 16 KiB block buffer
// into *stream. Returns 1.
int VCDiffStream_Create(VCDiffStreamStruct **stream);
// Closes the source, frees the decoder, the buffers and the stream, and clears
// *stream; accepts null. Returns 1.
int VCDiffStream_Destroy(VCDiffStreamStruct **stream);
// Sets up a fresh decoder, opens the source for reading and loads source block
// 0; the result is written to target, a file the caller opened for writing
// (kept open; the stream uses it until End). expectedSize is the size the result
// must have, or -1 when unknown: a window that would pass it is refused before
// it is decoded. 1 on success; 0 with an Alert line ("unable to open")
// otherwise (the source stays open until End or Destroy).
int VCDiffStream_InflateBegin(VCDiffStreamStruct *stream, const char *sourcePath,
                              FileStruct *target, int64_t expectedSize);
// Decodes `length` more delta bytes, writing finished windows to the target.
// 1 when the decoder is ready for more input; 0 after a logged failure (the
// stream is then only good for End or Destroy).
int VCDiffStream_InflateBuffer(VCDiffStreamStruct *stream, const uint8_t *bytes, int length);
// Marks the end of the delta, closes the source, lets go of the target and
// frees the decoder. 1 when the delta ended at a window boundary, held at least
// one window (a delta without any is taken only when the expected size is 0)
// and, with an expected size, produced exactly that many bytes. 0 (logged:
// "EOF in decode", "delta holds no window", "result is N bytes, expected M")
// otherwise, or when an earlier step failed.
int VCDiffStream_InflateEnd(VCDiffStreamStruct *stream);

// Applies the delta file to sourcePath and replaces targetPath (which may be
// sourcePath): the result is decoded into a new file beside targetPath (named
// targetPath + "." + a tag unique to this call + ".part", created exclusively,
// never through a link), checked (window checksums, a complete delta with at
// least one window, the size when expectedSize is not -1, the SHA-1 when
// expectedSha1 is not null; the SHA-1 of no bytes counts as an expected size of
// 0), synced and renamed over targetPath in one step, so targetPath is the old
// or the new file at every moment. A targetPath that exists and is not a
// regular file is refused. 1 on success; 0 (logged) otherwise, with targetPath
// untouched and no file of this call left.
int VCDiffStream_ApplyFile(const char *sourcePath, const char *deltaPath, const char *targetPath,
                           const uint8_t *expectedSha1, int64_t expectedSize);
