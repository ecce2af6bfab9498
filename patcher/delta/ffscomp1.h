// The "Comp1" codec of FFS archives: chunks beginning "FFC!" that hold literal
// runs, fills, back-references and small arithmetic steps over the output.
#pragma once

#include <cstdint>

// The five codec operations, in the form FfsContainer_AddCodec takes them.
// 1 when the bytes begin "FFC!".
int FfsComp1_Detect(void *context, const uint8_t *data, int length);
// 1 and *size = the chunk's uncompressed size when the header is readable.
int FfsComp1_GetSize(void *context, const uint8_t *data, int length, int *size);
// Decodes the chunk data[0..length) into buffer, which must receive exactly
// `size` bytes. 1 on success; 0 (buffer content unspecified) for a chunk of
// another size, an unknown operation, a back-reference before the buffer, a
// channel count of 0 or above 8, output beyond `size`, input cut short or an end
// reached with fewer than `size` bytes.
int FfsComp1_Decompress(void *context, const uint8_t *data, int length, uint8_t *buffer, int size);
// The codec context (tagged "ffs-cmp1", holds the channel state). Returns 1.
int FfsComp1_CreateContext(void **context);
// Frees and clears *context; accepts null. Returns 1.
int FfsComp1_DestroyContext(void **context);
