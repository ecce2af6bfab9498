# Helpers for bench/cases scripts; sourced, never run.
# $BUILD is the optimised build folder, $BENCH_TOP the source tree.

# report NAME OURS REFERENCE UNIT: prints the benchmark's one line.
report() {
  python3 - "$@" <<'PY'
import sys
name, ours, ref, unit = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
ratio = ours / ref if ref > 0 else float("inf")
print(f"{name} ratio={ratio:.3f} ours={ours:.6g} reference={ref:.6g} unit={unit}")
PY
}

# gbench PROGRAM FILTER: mean real time in nanoseconds of the Google Benchmark
# cases of bench_PROGRAM matching FILTER (one case expected).
gbench() {
  "$BUILD/bench/bench_$1" --benchmark_filter="$2" --benchmark_format=json \
    --benchmark_min_time=0.5 2>/dev/null | python3 -c '
import json, sys
runs = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("run_type") != "aggregate"]
scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
print(sum(b["real_time"] * scale[b["time_unit"]] for b in runs) / len(runs))'
}

# seconds COMMAND...: wall-clock seconds of one run of a command.
seconds() {
  python3 - "$@" <<'PY'
import subprocess, sys, time
start = time.perf_counter()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(time.perf_counter() - start)
PY
}
