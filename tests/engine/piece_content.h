// A set-up content of a given geometry for the request list and piece picker
// tests: a single-file metafile held in memory (the digests are never checked).
#pragma once

#include <string>

#include "engine/content.h"

namespace enginetest {

// Opens a content of `total` bytes in pieces of `pieceLength` (slice size
// `slice`); every piece wanted, none held. Returns null (after a gtest failure
// message through the caller's ASSERT) when the setup fails.
inline ContentStruct *MakePieceContent(long long total, int pieceLength, int slice,
                                       std::string *buffer) {
    long long pieces = total / pieceLength + (total % pieceLength != 0);
    std::string table((size_t)pieces * 20, 'h');
    *buffer = "d4:infod6:lengthi" + std::to_string(total) + "e4:name5:p.bin12:piece lengthi" +
              std::to_string(pieceLength) + "e6:pieces" + std::to_string(table.size()) + ":" +
              table + "ee";
    ContentStruct *content = nullptr;
    Content_Create(&content);
    Content_SetSliceSize(content, slice);
    Content_SetSourceBuffer(content, buffer->data(), (long long)buffer->size());
    if (!Content_Open(content))
        Content_Destroy(&content);
    return content;
}

} // namespace enginetest
