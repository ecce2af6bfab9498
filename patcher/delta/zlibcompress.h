// One-call inflation of a zlib stream held in memory, for patch-store sections.
#pragma once

// Inflates the one zlib stream in source[0..sourceLength) into destination,
// which must receive exactly `capacity` bytes. 1 when the stream ended
// (Z_STREAM_END) and produced exactly `capacity` bytes; 0 otherwise (a stream
// that is cut, corrupt, larger or smaller than claimed), the destination then
// holds whatever was produced. Null pointers are fatal.
int ZlibCompress_Inflate(void *destination, const void *source, int sourceLength, int capacity);
