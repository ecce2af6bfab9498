// Download-content benchmarks: reading a large metafile (bencode tree, info
// hash, file list) and the start-up check of a complete download on disk. The
// inputs come from the bench case scripts through environment variables.
#include <benchmark/benchmark.h>

#include "bench/bench_main.h"

#include <climits>
#include <cstdlib>

#include "core/zyl.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/metafile.h"

namespace {

// METAFILE_BENCH_FILE: the metafile read on each iteration, as a download's
// setup reads it (parse, info hash, file list).
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
    for (auto _ : state) {
        MetaFileMemberStruct *key = nullptr, *info = nullptr;
        uint8_t hash[20];
        FileList_Reset(list);
        FileList_SetPieceLength(list, 262144);
        if (!MetaFile_Load(doc, path) || !MetaFile_Find(doc, nullptr, "info", 1, &key) ||
            !MetaFile_GetNextMember(key, &info) || !MetaFile_GetMemberSHA1(info, hash) ||
            !FileList_ParseMetaFile(list, doc)) {
            state.SkipWithError("metafile refused");
            break;
        }
        benchmark::DoNotOptimize(hash);
    }
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

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
