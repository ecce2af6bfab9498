// The common start of the benchmark programs: the core runtime with its log off
// and no allocation limit, then Google Benchmark over the program's cases.
#pragma once

#include <benchmark/benchmark.h>
#include <climits>

#include "core/zyl.h"

namespace benchsupport {

inline int RunBenchmarks(int argc, char **argv) {
    Zyl_Init("bench.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace benchsupport
