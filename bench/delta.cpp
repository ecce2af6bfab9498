// Benchmarks of the delta code. `bench_delta --apply OLD DELTA OUT` applies a
// VCDIFF delta once (timed by bench/cases/vcdiff_apply against xdelta3 -d);
// `bench_delta --make-store FOLDER` writes a 1 GiB patch store that the
// StoreRead cases read back: ours through the store reader, the reference with
// plain reads and zlib directly, both hashing every member with the same SHA-1.
// The writer keeps each member's name and digest in FOLDER/digests.txt; both
// sides check theirs against it after each pass.
#include "core/sha1.h"
#include "core/zyl.h"
#include "patcher/delta/patcherstore.h"
#include "patcher/delta/vcdiffstream.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

const int kSectionSize = 0x40000;
const int kMembers = 64;
const int64_t kMemberSize = 16ll << 20; // 64 x 16 MiB = 1 GiB
const int64_t kDataFileLimit = 256ll << 20;

std::string StoreFolder() {
    const char *folder = getenv("DELTA_STORE");
    return folder ? folder : "/dev/shm/portico-bench-store";
}

// ---------------------------------------------------------------------------
// Store writer (the format of the patch store, written straight to files)
// ---------------------------------------------------------------------------

struct MemberInfo {
    std::string name;
    int fileIndex;
    int64_t offset;
    int sections;
};

void PutLe(std::string *out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) {
        *out += (char)((v >> (8 * i)) & 0xFF);
    }
}

// One line of a digest list: the member's name, a blank, its digest in hex.
std::string DigestLine(const std::string &name, Sha1Struct *sha) {
    char hex[64];
    Sha1_Final(sha);
    Sha1_GetHexString(sha, 0, hex, sizeof(hex));
    return name + " " + hex;
}

// The lines sorted by member name, each ending in a newline.
std::string DigestList(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    std::string list;
    for (const std::string &line : lines)
        list += line + "\n";
    return list;
}

std::string DigestsPath() {
    return StoreFolder() + "/digests.txt";
}

std::string DataHeader() {
    std::string h(".store");
    h.resize(16, '\0');
    PutLe(&h, 1, 4);
    PutLe(&h, 0, 4);
    PutLe(&h, 40, 8);
    PutLe(&h, kSectionSize, 8);
    return h;
}

// Text-like bytes: words from a small vocabulary with random numbers (about 3:1).
void FillSection(std::mt19937 *rng, std::string *out) {
    static const char *kWords[] = {"alpha ", "bravo ", "charlie ", "delta ", "echo ", "fox ",
                                   "golf ",  "hotel ", "india ",   "kilo ",  "lima ", "mike "};
    out->clear();
    while ((int)out->size() < kSectionSize) {
        *out += kWords[(*rng)() % 12];
        *out += std::to_string((*rng)() % 100000);
        *out += (*rng)() % 8 == 0 ? '\n' : ' ';
    }
    out->resize(kSectionSize);
}

int MakeStore(const std::string &folder) {
    std::string cmd = "mkdir -p '" + folder + "'";
    if (system(cmd.c_str()) != 0) {
        return 1;
    }
    std::mt19937 rng(42);
    std::vector<MemberInfo> members;
    int fileNumber = 0;
    std::string path = folder + "/bench.0.store";
    FILE *f = fopen(path.c_str(), "wb");
    std::string header = DataHeader();
    fwrite(header.data(), 1, header.size(), f);
    int64_t fileSize = (int64_t)header.size();
    std::string raw, z(compressBound(kSectionSize), '\0');
    std::vector<std::string> digests;
    for (int m = 0; m < kMembers; m++) {
        MemberInfo info{"data/member" + std::to_string(m) + ".bin", fileNumber, fileSize, 0};
        Sha1Struct *sha = nullptr;
        Sha1_Create(&sha);
        for (int64_t done = 0; done < kMemberSize; done += kSectionSize) {
            FillSection(&rng, &raw);
            Sha1_Update(sha, raw.data(), (int64_t)raw.size());
            uLongf zSize = z.size();
            compress2((Bytef *)z.data(), &zSize, (const Bytef *)raw.data(), raw.size(), 1);
            std::string record;
            PutLe(&record, zSize, 4);
            PutLe(&record, raw.size(), 4);
            std::string name = info.name;
            name.resize(320, '\0');
            record += name;
            if (fileSize + (int64_t)record.size() + (int64_t)zSize > kDataFileLimit) {
                fclose(f);
                path = folder + "/bench." + std::to_string(++fileNumber) + ".store";
                f = fopen(path.c_str(), "wb");
                fwrite(header.data(), 1, header.size(), f);
                fileSize = (int64_t)header.size();
                if (done == 0) {
                    info.fileIndex = fileNumber;
                    info.offset = fileSize;
                }
            }
            fwrite(record.data(), 1, record.size(), f);
            fwrite(z.data(), 1, zSize, f);
            fileSize += (int64_t)record.size() + (int64_t)zSize;
            info.sections++;
        }
        members.push_back(info);
        digests.push_back(DigestLine(info.name, sha));
        Sha1_Destroy(&sha);
    }
    fclose(f);
    std::string list = DigestList(digests);
    f = fopen((folder + "/digests.txt").c_str(), "wb");
    fwrite(list.data(), 1, list.size(), f);
    fclose(f);
    std::string toc = "<?xml version=\"1.0\"?>\n<PatcherStore PatcherStoreVersion=\"1\" "
                      "SectionSize=\"262144\">\n<FileList>\n";
    for (const auto &m : members) {
        toc +=
            "<File><FileName>" + m.name + "</FileName><FileIndex>" + std::to_string(m.fileIndex) +
            "</FileIndex><DifferenceFile>FALSE</DifferenceFile>"
            "<Offset>" +
            std::to_string(m.offset) + "</Offset><FileSize>" + std::to_string(kMemberSize) +
            "</FileSize><SectionCount>" + std::to_string(m.sections) + "</SectionCount></File>\n";
    }
    toc +=
        "</FileList>\n<StoreList><StoreCount>" + std::to_string(fileNumber + 1) + "</StoreCount>";
    for (int n = 0; n <= fileNumber; n++) {
        toc += "<Store><SectionList><SectionCount>0</SectionCount></SectionList></Store>";
    }
    toc += "</StoreList>\n</PatcherStore>\n";
    f = fopen((folder + "/bench.tocstore").c_str(), "wb");
    fwrite(toc.data(), 1, toc.size(), f);
    fclose(f);
    return 0;
}

// ---------------------------------------------------------------------------
// Store reading: ours and the reference
// ---------------------------------------------------------------------------

// 1 when the digests of a pass are the writer's; otherwise marks the case failed.
int DigestsMatch(benchmark::State &state, const std::vector<std::string> &lines) {
    std::string expected, digests = DigestList(lines);
    FILE *f = fopen(DigestsPath().c_str(), "rb");
    char line[512];
    while (f != nullptr && fgets(line, sizeof(line), f) != nullptr)
        expected += line;
    if (f != nullptr)
        fclose(f);
    if (expected.empty() || digests != expected) {
        state.SkipWithError("member digests differ from the store writer's");
        return 0;
    }
    return 1;
}

void BM_StoreRead(benchmark::State &state) {
    std::string folder = StoreFolder();
    std::vector<std::string> digests;
    uint8_t *buffer = static_cast<uint8_t *>(ZYL_ALLOC(kSectionSize));
    int64_t bytes = 0;
    for (auto _ : state) {
        PatcherStoreStruct *store = nullptr;
        PatcherStore_Create(&store);
        if (!PatcherStore_Open(store, folder.c_str(), "bench", 0)) {
            state.SkipWithError("no store: run bench_delta --make-store");
            PatcherStore_Destroy(&store);
            break;
        }
        PatcherStoreMember *m = nullptr;
        digests.clear();
        for (int more = PatcherStore_MemberFirst(&m, store); more;
             more = PatcherStore_MemberNext(&m, m, store)) {
            Sha1Struct *sha = nullptr;
            Sha1_Create(&sha);
            int length = 1;
            int ok = PatcherStore_MemberOpen(nullptr, store, m);
            while (ok && length > 0) {
                ok = PatcherStore_MemberInflateBuffer(store, m, buffer, kSectionSize, &length,
                                                      nullptr);
                Sha1_Update(sha, buffer, length);
                bytes += length;
            }
            PatcherStore_MemberClose(store);
            char name[512] = "";
            if (!ok || !PatcherStore_MemberGetName(store, m, name, sizeof(name)))
                state.SkipWithError("member read failed");
            digests.push_back(DigestLine(name, sha));
            Sha1_Destroy(&sha);
        }
        PatcherStore_Destroy(&store);
        if (!DigestsMatch(state, digests))
            break;
    }
    ZYL_FREE(buffer, kSectionSize);
    state.SetBytesProcessed(bytes);
}

// The same work without the store: read each data file's records with plain
// reads, inflate each section with zlib and hash each member.
void BM_StoreReadReference(benchmark::State &state) {
    std::string folder = StoreFolder();
    std::vector<uint8_t> in(2 * kSectionSize), out(kSectionSize);
    int64_t bytes = 0;
    std::vector<std::string> digests;
    for (auto _ : state) {
        Sha1Struct *sha = nullptr;
        std::string current;
        digests.clear();
        for (int n = 0;; n++) {
            std::string path = folder + "/bench." + std::to_string(n) + ".store";
            int fd = open(path.c_str(), O_RDONLY);
            if (fd < 0) {
                break;
            }
            uint8_t header[40];
            if (read(fd, header, 40) != 40) {
                close(fd);
                break;
            }
            uint8_t record[328];
            while (read(fd, record, 328) == 328) {
                int32_t zSize, rawSize;
                memcpy(&zSize, record, 4);
                memcpy(&rawSize, record + 4, 4);
                if (read(fd, in.data(), zSize) != zSize) {
                    break;
                }
                std::string name((const char *)record + 8);
                if (name != current) {
                    if (sha != nullptr) {
                        digests.push_back(DigestLine(current, sha));
                        Sha1_Destroy(&sha);
                    }
                    Sha1_Create(&sha);
                    current = name;
                }
                z_stream zs;
                memset(&zs, 0, sizeof(zs));
                inflateInit(&zs);
                zs.next_in = in.data();
                zs.avail_in = (uInt)zSize;
                zs.next_out = out.data();
                zs.avail_out = (uInt)rawSize;
                int inflated = inflate(&zs, Z_FINISH);
                inflateEnd(&zs);
                if (inflated != Z_STREAM_END)
                    state.SkipWithError("inflate failed");
                Sha1_Update(sha, out.data(), rawSize);
                bytes += rawSize;
            }
            close(fd);
        }
        if (sha != nullptr) {
            digests.push_back(DigestLine(current, sha));
            Sha1_Destroy(&sha);
        }
        if (!DigestsMatch(state, digests))
            break;
    }
    state.SetBytesProcessed(bytes);
}

BENCHMARK(BM_StoreRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StoreReadReference)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    Zyl_Init("bench_delta.log", 0);
    Zyl_MemoryInit(0x7FFFFFFF);
    if (argc == 5 && strcmp(argv[1], "--apply") == 0) {
        return VCDiffStream_ApplyFile(argv[2], argv[3], argv[4], nullptr, -1) ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "--make-store") == 0) {
        return MakeStore(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
