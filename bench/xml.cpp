// Benchmark of the XML reader: loading a whole generated document from disk
// (read, parse, decode) into a tree. The file comes from $XML_BENCH_FILE (see
// bench/cases/xml_load, which compares it with `xmllint --noout`).
#include "core/xml.h"
#include "core/zyl.h"

#include "bench/bench_main.h"
#include <benchmark/benchmark.h>
#include <climits>
#include <cstdlib>

namespace {

void BM_XmlLoad(benchmark::State &state) {
    const char *path = getenv("XML_BENCH_FILE");
    if (path == nullptr) {
        state.SkipWithError("XML_BENCH_FILE not set");
        return;
    }
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    int nodes = 0;
    for (auto _ : state) {
        if (!Xml_LoadFile(xml, path)) {
            state.SkipWithError("load failed");
            break;
        }
        Xml_GetNodeCount(xml, &nodes);
        benchmark::DoNotOptimize(nodes);
    }
    state.counters["nodes"] = nodes;
    Xml_Destroy(&xml);
}
BENCHMARK(BM_XmlLoad)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
