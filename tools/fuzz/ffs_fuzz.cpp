// libFuzzer target for the FFS archive reader with its "Comp1" codec. The
// input's first byte picks the mode: bit 0 set, the rest is one Comp1 chunk,
// sized and decoded on its own; else the rest is an archive file, opened (with
// its checksum checked when bit 1 is set) and every member the fixtures name
// sized and loaded through the codec.
#include "core/zyl.h"
#include "patcher/delta/ffscomp1.h"
#include "patcher/delta/ffscontainer.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kLargest = 1 << 20; // sizes past this are refused before allocating
std::string g_archive;

void Chunk(const uint8_t *data, int length) {
    void *context = nullptr;
    FfsComp1_CreateContext(&context);
    int size = 0;
    if (FfsComp1_Detect(context, data, length) && FfsComp1_GetSize(context, data, length, &size) &&
        size >= 0 && size <= kLargest) {
        std::vector<uint8_t> buffer((size_t)size + 1);
        FfsComp1_Decompress(context, data, length, buffer.data(), size);
    }
    FfsComp1_DestroyContext(&context);
}

void Archive(const uint8_t *data, size_t size, int verify) {
    int fd = open(g_archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data, size) != (ssize_t)size)
        __builtin_trap();
    close(fd);
    FfsContainer *ffs = nullptr;
    FfsContainer_Create(&ffs);
    FfsContainer_AddCodec(ffs, "Comp1", "1", FfsComp1_CreateContext, FfsComp1_DestroyContext,
                          FfsComp1_Decompress, FfsComp1_GetSize, FfsComp1_Detect);
    if (FfsContainer_Open(ffs, g_archive.c_str(), 0, 0, verify)) {
        static const char *const names[] = {
            "settings.xml",        "data/plain.bin", "data/run.bin", "SETTINGS.XML", "a",
            "data\\x\\..\\run.bin"};
        for (const char *name : names) {
            int length = 0;
            if (!FfsContainer_GetSize(ffs, name, &length) || length < 0 || length > kLargest)
                continue;
            std::vector<uint8_t> buffer((size_t)length + 1);
            FfsContainer_Load(ffs, name, buffer.data(), length);
        }
    }
    FfsContainer_Destroy(&ffs);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("ffs_fuzz.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    g_archive = "ffs_fuzz.ffs"; // beside the log, in the current folder
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (size_t)kLargest)
        return 0;
    if (data[0] & 1)
        Chunk(data + 1, (int)(size - 1));
    else
        Archive(data + 1, size - 1, (data[0] & 2) ? 1 : 0);
    return 0;
}
