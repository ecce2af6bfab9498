// libFuzzer target for the patch store reader: the input is split into a table
// of contents (length in the first two bytes) and data file 0, both written to a
// private folder; the store is opened and every member read section by section.
#include "core/alert.h"
#include "core/file.h"
#include "core/zyl.h"
#include "patcher/delta/patcherstore.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unistd.h>

namespace {

std::string g_folder;

void WriteWhole(const std::string &path, const uint8_t *data, size_t size) {
    File_ReplaceAtomic(path.c_str(), data, (int64_t)size);
}

void Quiet(PatcherStoreStruct *, void *, const char *) {}

void ReadEveryMember(PatcherStoreStruct *store) {
    int sectionSize = 0;
    PatcherStore_GetSectionSize(store, &sectionSize);
    uint8_t *buffer = static_cast<uint8_t *>(ZYL_ALLOC(sectionSize));
    PatcherStoreMember *m = nullptr;
    for (int more = PatcherStore_MemberFirst(&m, store); more;
         more = PatcherStore_MemberNext(&m, m, store)) {
        int length = 1, sections = 0;
        int ok = PatcherStore_MemberOpen(nullptr, store, m);
        while (ok && length > 0 && sections++ < 64) {
            ok = PatcherStore_MemberInflateBuffer(store, m, buffer, sectionSize, &length, nullptr);
        }
        PatcherStore_MemberClose(store);
    }
    ZYL_FREE(buffer, sectionSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_folder.empty()) {
        Zyl_Init("fuzz.log", 0);
        Zyl_MemoryInit(0x7FFFFFFF);
        g_folder = "/tmp/portico-fuzz-store-" + std::to_string(getpid()) + "/";
    }
    if (size < 2) {
        return 0;
    }
    size_t tocSize = std::min<size_t>((size_t)(data[0] | data[1] << 8), size - 2);
    WriteWhole(g_folder + "s.tocstore", data + 2, tocSize);
    WriteWhole(g_folder + "s.0.store", data + 2 + tocSize, size - 2 - tocSize);
    PatcherStoreStruct *store = nullptr;
    PatcherStore_Create(&store);
    PatcherStore_SetErrorCallback(store, Quiet, nullptr);
    PatcherStore_SetOpenRetries(store, 0);
    if (PatcherStore_Open(store, g_folder.c_str(), "s", 0)) {
        ReadEveryMember(store);
    }
    PatcherStore_Destroy(&store);
    return 0;
}
