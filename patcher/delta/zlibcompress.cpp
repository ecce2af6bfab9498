// One-call inflation of a zlib stream from one buffer into another; used for the
// patch store's sections (at most a few hundred KiB each), so the stream state
// is set up per call.
#include "patcher/delta/zlibcompress.h"

#include "core/zyl.h"

#include <cstring>
#include <zlib.h>

int ZlibCompress_Inflate(void *destination, const void *source, int sourceLength, int capacity) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(source);
    if (sourceLength < 0 || capacity < 0) {
        return 0;
    }
    z_stream z;
    memset(&z, 0, sizeof(z));
    if (inflateInit(&z) != Z_OK) {
        return 0;
    }
    z.next_in = static_cast<Bytef *>(const_cast<void *>(source));
    z.avail_in = (uInt)sourceLength;
    z.next_out = static_cast<Bytef *>(destination);
    z.avail_out = (uInt)capacity;
    int r = inflate(&z, Z_FINISH);
    uLong produced = z.total_out;
    inflateEnd(&z);
    return r == Z_STREAM_END && produced == (uLong)capacity ? 1 : 0;
}
