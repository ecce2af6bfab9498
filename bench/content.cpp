// Download-content benchmarks: reading a large metafile (bencode tree, info
// hash, file list), the start-up check of a complete download on disk, and
// its start from a kick file instead. The inputs come from the bench case
// scripts through environment variables.
#include <benchmark/benchmark.h>

#include "bench/bench_main.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/bitfield.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "engine/transport.h"

namespace {

// 1 when the last read's info hash, file count and total length are the ones
// the generator wrote to METAFILE_BENCH_INFOHASH (lower-case hex),
// METAFILE_BENCH_FILES and METAFILE_BENCH_BYTES.
int MetafileMatches(const uint8_t hash[20], FileListStruct *list) {
    const char *expectHash = getenv("METAFILE_BENCH_INFOHASH");
    const char *expectFiles = getenv("METAFILE_BENCH_FILES");
    const char *expectBytes = getenv("METAFILE_BENCH_BYTES");
    if (expectHash == nullptr || expectFiles == nullptr || expectBytes == nullptr)
        return 0;
    char hex[41];
    for (int i = 0; i < 20; i++)
        snprintf(hex + 2 * i, 3, "%02x", hash[i]);
    int count = 0;
    int64_t bytes = 0;
    FileList_GetCount(list, &count);
    FileList_GetTotalLength(list, &bytes);
    if (strcmp(hex, expectHash) != 0 || count != (int)strtol(expectFiles, nullptr, 10) ||
        bytes != strtoll(expectBytes, nullptr, 10)) {
        fprintf(stderr, "metafile: info hash %s, %d files, %lld bytes; expected %s, %s, %s\n", hex,
                count, (long long)bytes, expectHash, expectFiles, expectBytes);
        return 0;
    }
    return 1;
}

// METAFILE_BENCH_FILE: the metafile read on each iteration, as a download's
// setup reads it (parse, info hash, file list). The last read is checked.
void MetafileParse(benchmark::State &state) {
    const char *path = getenv("METAFILE_BENCH_FILE");
    if (path == nullptr) {
        state.SkipWithError("METAFILE_BENCH_FILE not set");
        return;
    }
    MetaFileStruct *doc = nullptr;
    FileListStruct *list = nullptr;
    MetaFile_Create(&doc);
    FileList_Create(&list);
    uint8_t hash[20] = {0};
    int ok = 1;
    for (auto _ : state) {
        MetaFileMemberStruct *key = nullptr, *info = nullptr;
        FileList_Reset(list);
        FileList_SetPieceLength(list, 262144);
        if (!MetaFile_Load(doc, path) || !MetaFile_Find(doc, nullptr, "info", 1, &key) ||
            !MetaFile_GetNextMember(key, &info) || !MetaFile_GetMemberSHA1(info, hash) ||
            !FileList_ParseMetaFile(list, doc)) {
            ok = 0;
            break;
        }
        benchmark::DoNotOptimize(hash);
    }
    if (!ok)
        state.SkipWithError("metafile refused");
    else if (!MetafileMatches(hash, list))
        state.SkipWithError("info hash, file count or length differs from the generator's");
    FileList_Destroy(&list);
    MetaFile_Destroy(&doc);
}
BENCHMARK(MetafileParse)->Unit(benchmark::kMillisecond);

// CONTENT_BENCH_TORRENT and CONTENT_BENCH_FOLDER: a one-file metafile and the
// folder holding its complete file; each iteration checks every piece.
void ContentCheck(benchmark::State &state) {
    const char *torrent = getenv("CONTENT_BENCH_TORRENT");
    const char *folder = getenv("CONTENT_BENCH_FOLDER");
    if (torrent == nullptr || folder == nullptr) {
        state.SkipWithError("CONTENT_BENCH_TORRENT or CONTENT_BENCH_FOLDER not set");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        ContentStruct *content = nullptr;
        Content_Create(&content);
        Content_SetSource(content, torrent, CONTENT_SOURCE_METAFILE);
        int ok = Content_Open(content);
        Content_SetPath(content, folder);
        state.ResumeTiming();
        ok = ok && Content_ScanExisting(content);
        int64_t left = -1;
        Content_GetBytesLeft(content, &left);
        state.PauseTiming();
        Content_Destroy(&content);
        state.ResumeTiming();
        if (!ok || left != 0) {
            state.SkipWithError("check did not pass every piece");
            break;
        }
    }
}
BENCHMARK(ContentCheck)->Unit(benchmark::kMillisecond);

// CONTENT_BENCH_TORRENT, CONTENT_BENCH_FOLDER and CONTENT_BENCH_CACHE: as
// above, with the kick files' folder. The kick file is written once by a full
// check; each iteration then starts a new download of the stopped manager
// from it (the scan with the accelerator) and must find every piece held.
void ResumeStart(benchmark::State &state) {
    const char *torrent = getenv("CONTENT_BENCH_TORRENT");
    const char *folder = getenv("CONTENT_BENCH_FOLDER");
    const char *cache = getenv("CONTENT_BENCH_CACHE");
    if (torrent == nullptr || folder == nullptr || cache == nullptr) {
        state.SkipWithError("CONTENT_BENCH_TORRENT, _FOLDER or _CACHE not set");
        return;
    }
    Transport_Startup();
    ManagerStruct *manager = nullptr;
    Manager_Create(&manager);
    KickStartStruct *kick = nullptr;
    Manager_GetKickStart(manager, &kick);
    KickStart_SetEnabled(kick, 1);
    KickStart_SetBaseOnly(kick);
    KickStart_SetFolder(kick, cache);
    auto open = [&](ManagerMemberStruct **member, ContentStruct **content) {
        BaseStruct *base = nullptr;
        Manager_AddMember(manager, member);
        ManagerMember_GetBase(*member, &base);
        Base_GetContent(base, content);
        Content_SetSource(*content, torrent, CONTENT_SOURCE_METAFILE);
        const int ok = Content_Open(*content);
        Content_SetPath(*content, folder);
        return ok;
    };
    auto close = [&](ManagerMemberStruct **member) {
        Manager_CloseMember(manager, *member);
        Manager_ReleaseMember(manager, member);
    };
    ManagerMemberStruct *member = nullptr;
    ContentStruct *content = nullptr;
    if (!open(&member, &content) || !Content_ScanExisting(content)) {
        state.SkipWithError("the first check failed");
        Manager_Destroy(&manager);
        return;
    }
    close(&member); // writes the kick file
    for (auto _ : state) {
        state.PauseTiming();
        int ok = open(&member, &content);
        state.ResumeTiming();
        ok = ok && Content_ScanExisting(content);
        state.PauseTiming();
        BitfieldStruct *held = nullptr;
        Content_GetBitfield(content, &held);
        ok = ok && Bitfield_IsComplete(held);
        close(&member);
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError("the start from the kick file did not hold every piece");
            break;
        }
    }
    Manager_Destroy(&manager);
    Transport_Shutdown();
}
BENCHMARK(ResumeStart)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
