// Base64 (RFC 4648 standard alphabet, "=" padding) for byte strings kept in XML
// documents, chiefly the piece map of resume files. Plain functions, no record.
#pragma once

#include <cstdint>

// (count / 3 + 1) * 4: an upper bound on the characters; Base64_Encode needs 5
// more bytes than the characters it writes, so callers allocate this + 10.
int Base64_GetEncodedSize(int count, int *size);
// characters / 4 * 3.
int Base64_GetDecodedSize(int characters, int *size);
// Encodes `count` bytes into `buffer` (`size` bytes) as NUL-terminated text;
// *length = characters written + 1 (the NUL). Returns 1, or 0 when the buffer
// is too small (the write position reached size - 4): the text written so far
// is NUL-terminated and *length counts it. A size of 0 writes nothing.
int Base64_Encode(const void *data, int count, char *buffer, int size, int *length);
// Decodes NUL-terminated `text` into `buffer` (`size` bytes) and appends a NUL;
// *count = bytes decoded. Returns 1, or 0 on a character outside the alphabet
// (line breaks included), a text ending inside a group of four, misplaced "=",
// or a buffer too small (the count reached size - 4; a size of 4 or less); the
// partial output is NUL-terminated. A size of 0 writes nothing.
int Base64_Decode(const char *text, uint8_t *buffer, int size, int *count);
