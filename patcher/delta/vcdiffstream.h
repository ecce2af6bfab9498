// Applies VCDIFF deltas from disk to disk: the delta arrives in pieces, the old
// file (the source) is read in 16 KiB blocks as the decoder asks for them and
// the new file is written window by window as it is produced.
#pragma once

#include <cstdint>

struct VCDiffStreamStruct;

// Allocates a stream with its two file objects and its 16 KiB block buffer into
// *stream. Returns 1.
int VCDiffStream_Create(VCDiffStreamStruct **stream);
// Closes whatever is open, frees the decoder, the buffers and the stream, and
// clears *stream; accepts null. Returns 1.
int VCDiffStream_Destroy(VCDiffStreamStruct **stream);
// Sets up a fresh decoder, opens the source for reading and the target for
// writing (emptied) and loads source block 0. 1 on success; 0 with an Alert
// line ("unable to open") otherwise (files stay open until End or Destroy).
int VCDiffStream_InflateBegin(VCDiffStreamStruct *stream, const char *sourcePath,
                              const char *targetPath);
// Decodes `length` more delta bytes, writing finished windows to the target.
// 1 when the decoder is ready for more input; 0 after a logged failure (the
// stream is then only good for End or Destroy).
int VCDiffStream_InflateBuffer(VCDiffStreamStruct *stream, const uint8_t *bytes, int length);
// Marks the end of the delta, closes both files and frees the decoder. 1 when
// the delta ended at a window boundary; 0 (logged "EOF in decode") when it was
// cut inside a header or window, or an earlier step failed.
int VCDiffStream_InflateEnd(VCDiffStreamStruct *stream);

// Applies the delta file to sourcePath and writes targetPath: the result is
// decoded into targetPath + ".part", checked (window checksums, complete delta,
// and the SHA-1 when expectedSha1 is not null), then renamed over targetPath.
// 1 on success; 0 (logged) otherwise, with no ".part" file left and targetPath
// untouched.
int VCDiffStream_ApplyFile(const char *sourcePath, const char *deltaPath, const char *targetPath,
                           const uint8_t *expectedSha1);
