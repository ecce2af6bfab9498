// Reader of FFS ("Flat/Fast File System") archives: named files packed into one
// file, found by the CRC-32 of their path through a sorted table, each possibly
// compressed by a registered codec. Without an archive path the reader works in
// bypass mode on plain files below a base folder.
#pragma once

#include <cstdint>

struct FfsContainer;

// Codec operations (see ffscomp1.h for the "Comp1" ones).
typedef int (*FfsCodecDetect)(void *context, const uint8_t *data, int length);
typedef int (*FfsCodecGetSize)(void *context, const uint8_t *data, int length, int *size);
typedef int (*FfsCodecDecompress)(void *context, const uint8_t *data, int length, uint8_t *buffer,
                                  int size);
typedef int (*FfsCodecCreateContext)(void **context);
typedef int (*FfsCodecDestroyContext)(void **context);

// Allocates a closed container into *container. Returns 1.
int FfsContainer_Create(FfsContainer **container);
// Closes, frees and clears *container; accepts null. Returns 1.
int FfsContainer_Destroy(FfsContainer **container);
// Opens the archive at path (an empty path: bypass mode). The tag is looked for
// at tagOffset, else at the offset named by the int32 8 bytes before the end of
// the file. With verify 1 the CRC-32 of the data is checked from verifyStart.
// 1 on success; 0 with one debug line otherwise (the container is then closed).
int FfsContainer_Open(FfsContainer *container, const char *path, int tagOffset, int verifyStart,
                      int verify);
// Destroys the codec contexts, closes the file and frees the table. Returns 1.
int FfsContainer_Close(FfsContainer *container);
// Folder that bypass-mode paths are relative to (null: none). Returns 1.
int FfsContainer_SetBaseFolder(FfsContainer *container, const char *folder);
// Appends a codec and creates its context. Returns 1.
int FfsContainer_AddCodec(FfsContainer *container, const char *name, const char *version,
                          FfsCodecCreateContext create, FfsCodecDestroyContext destroy,
                          FfsCodecDecompress decompress, FfsCodecGetSize getSize,
                          FfsCodecDetect detect);
// Size of the stored file once decoded (at most 64 MiB). 1 and *size; 0 (*size
// 0) when absent or larger.
int FfsContainer_GetSize(FfsContainer *container, const char *path, int *size);
// Reads the stored file, decoded, into buffer, which must be exactly its size.
// 1 on success; 0 with one debug line otherwise.
int FfsContainer_Load(FfsContainer *container, const char *path, uint8_t *buffer, int size);
