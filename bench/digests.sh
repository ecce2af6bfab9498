# Helpers for the digest and cipher cases (sha1, sha1_portable, rc4); sourced
# after lib.sh. Both sides are timed five times on the same file and the fastest
# run of each is kept, so a busy machine disturbs the ratio less.

# best_gbench FILTER: fastest single iteration of a bench_digests case, in seconds.
best_gbench() {
  "$BUILD/bench/bench_digests" --benchmark_filter="$1" --benchmark_format=json \
    --benchmark_repetitions=5 --benchmark_min_time=0.01 2>/dev/null | python3 -c '
import json, sys
runs = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("run_type") != "aggregate"]
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}
print(min(b["real_time"] * scale[b["time_unit"]] for b in runs))'
}

# best_seconds COMMAND...: fastest of five runs of a command, in seconds.
best_seconds() {
  local best="" run t
  for run in 1 2 3 4 5; do
    t=$(seconds "$@")
    best=$(python3 -c "print(min(float(x) for x in '$t $best'.split()))")
  done
  echo "$best"
}

# bench_file SIZE: a file of SIZE random bytes in /dev/shm, removed on exit.
bench_file() {
  PORTICO_BENCH_FILE=$(mktemp /dev/shm/portico-digests.XXXXXX)
  export PORTICO_BENCH_FILE
  trap 'rm -f "$PORTICO_BENCH_FILE"' EXIT
  head -c "$1" /dev/urandom >"$PORTICO_BENCH_FILE"
}
