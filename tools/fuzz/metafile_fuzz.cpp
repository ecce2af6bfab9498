// libFuzzer target for the bencode reader: parses arbitrary bytes whole and in
// every prefix split the engine meets, walks the tree (digests, key search,
// path joins), writes it back and reads the output again (the second writing
// must equal the first), then runs the content's metainfo and file readers.
#include "core/zyl.h"
#include "engine/content.h"
#include "engine/metafile.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

MetaFileStruct *g_doc = nullptr;
MetaFileStruct *g_copy = nullptr;
ContentStruct *g_content = nullptr;

void Walk(MetaFileMemberStruct *m, int budget) {
    for (; m && budget > 0; m = m->Next, budget--) {
        uint8_t digest[20];
        MetaFile_GetMemberSHA1(m, digest);
        if (m->Type == METAFILE_TYPE_LIST) {
            char path[METAFILE_NAME_SIZE];
            MetaFile_GetPath(g_doc, m, path);
        }
        MetaFileMemberStruct *child = nullptr;
        if (MetaFile_GetFirstChild(m, &child))
            Walk(child, budget / 2);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("fuzz.log", 0);
    Zyl_MemoryInit(INT_MAX);
    MetaFile_Create(&g_doc);
    MetaFile_Create(&g_copy);
    MetaFile_SetReport(g_doc, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 20)
        return 0;
    // Prefixes: a reply cut short must fail or succeed cleanly, never overread.
    for (size_t cut = 1; cut < size && cut < 64; cut++)
        MetaFile_LoadBuffer(g_doc, data, (int64_t)cut);
    int parsed = MetaFile_LoadBuffer(g_doc, data, (int64_t)size);
    MetaFileMemberStruct *first = nullptr, *found = nullptr;
    if (MetaFile_GetFirstMember(g_doc, &first))
        Walk(first, 4096);
    MetaFile_Find(g_doc, nullptr, "info", 8, &found);
    MetaFile_Find(g_doc, nullptr, "files", 8, &found);
    char out[METAFILE_SAVE_BUFFER_SIZE], again[METAFILE_SAVE_BUFFER_SIZE];
    int outSize = 0, againSize = 0;
    if (parsed && MetaFile_SaveBuffer(g_doc, out, &outSize)) {
        if (!MetaFile_LoadBuffer(g_copy, out, outSize) ||
            !MetaFile_SaveBuffer(g_copy, again, &againSize) || againSize != outSize ||
            memcmp(out, again, (size_t)outSize) != 0) {
            abort();
        }
    }
    if (parsed) {
        Content_Create(&g_content);
        Content_SetSourceBuffer(g_content, data, (int64_t)size);
        Content_Open(g_content);
        Content_Destroy(&g_content);
    }
    return 0;
}
