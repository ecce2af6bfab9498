# Helpers for bench/cases scripts; sourced, never run.
# $BUILD is the optimised build folder, $BENCH_TOP the source tree.
# Every helper that measures fails (non-zero status, a line on stderr) when the
# measured program fails or reports a wrong output, so a case assigning its
# result (`ours=$(gbench ...)`) under `set -e` stops before it prints a ratio.

# Processors for the two ends of the local HTTP cases: the server (nginx or
# ours) runs on one, the client on the other, so neither migrates or shares.
BENCH_SERVER_CPU=${BENCH_SERVER_CPU:-2}
BENCH_CLIENT_CPU=${BENCH_CLIENT_CPU:-3}

# report NAME OURS REFERENCE UNIT: prints the benchmark's one line.
report() {
  python3 - "$@" <<'PY'
import sys
name, ours, ref, unit = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
if not (ours > 0 and ref > 0):
    sys.exit(f"{name}: no valid measurement (ours={ours} reference={ref})")
print(f"{name} ratio={ours / ref:.3f} ours={ours:.6g} reference={ref:.6g} unit={unit}")
PY
}

# fail NAME MESSAGE...: reports a wrong output on stderr and returns 1.
fail() {
  local name=$1
  shift
  echo "$name: $*" >&2
  return 1
}

# gbench PROGRAM FILTER [REPETITIONS]: the best repetition (default five) of the
# one Google Benchmark case of bench_PROGRAM matching FILTER, as real
# nanoseconds per iteration. Fails when the case reported an error (a wrong
# output) or did not run.
gbench() {
  gbench_best "$1" "${3:-5}" false "$2"
}

# gbench_pair PROGRAM OURS REFERENCE [REPETITIONS]: the best repetition
# (default five) of the cases of bench_PROGRAM matching the filters OURS and
# REFERENCE, run in one process with their repetitions in random interleaved
# order, so that a slow spell of the machine falls on both sides alike. Prints
# "OURS REFERENCE" in real nanoseconds per iteration; fails like gbench.
gbench_pair() {
  gbench_best "$1" "${4:-5}" true "$2" "$3"
}

# gbench_best PROGRAM REPETITIONS INTERLEAVE FILTER...: runs the cases of
# bench_PROGRAM matching any FILTER in one process (their repetitions in random
# order when INTERLEAVE is true) and prints, for each FILTER in turn, the best
# repetition of the cases it matches.
gbench_best() {
  local program=$1 repetitions=$2 interleave=$3 json log status=0 filter
  shift 3
  filter=$(printf '|(%s)' "$@")
  log=$(mktemp)
  json=$("$BUILD/bench/bench_$program" --benchmark_filter="${filter:1}" \
    --benchmark_format=json --benchmark_repetitions="$repetitions" --benchmark_min_time=0.2 \
    --benchmark_enable_random_interleaving="$interleave" 2>"$log") || status=$?
  if [ "$status" -ne 0 ]; then
    echo "bench_$program $*: the program failed (status $status)" >&2
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  python3 -c '
import json, re, sys
runs = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("run_type") != "aggregate"]
bad = [b for b in runs if b.get("error_occurred")]
if bad:
    sys.stderr.write(open(sys.argv[1]).read())
    sys.exit("%s: %s" % (bad[0]["name"], bad[0].get("error_message", "error")))
scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
best = []
for pattern in sys.argv[2:]:
    times = [b["real_time"] * scale[b["time_unit"]] for b in runs if re.search(pattern, b["name"])]
    if not times:
        sys.exit("no benchmark matched " + pattern)
    best.append(str(min(times)))
print(" ".join(best))' "$log" "$@" <<<"$json" || status=1
  rm -f "$log"
  return $status
}

# seconds COMMAND...: wall-clock seconds of one run of a command (which must
# succeed).
seconds() {
  python3 - "$@" <<'PY'
import subprocess, sys, time
start = time.perf_counter()
result = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
elapsed = time.perf_counter() - start
if result.returncode != 0:
    sys.exit(f"{' '.join(sys.argv[1:])} failed with status {result.returncode}")
print(elapsed)
PY
}

# best N COMMAND...: the fastest of N timed runs of a command, in seconds.
best() {
  best_of "$1" seconds "${@:2}"
}

# best_of N COMMAND...: the smallest number printed by N runs of a command
# (each must succeed and print one number).
best_of() {
  local n=$1 run out all=""
  shift
  for run in $(seq 1 "$n"); do
    out=$("$@") || return 1
    all="$all $out"
  done
  smallest $all
}

# alternate_commands N OURS REFERENCE: runs the commands OURS and REFERENCE
# (each a function or program name, with plain words as arguments, printing one
# number) in turn, N times, and prints both sides' smallest ("OURS REFERENCE"),
# so a slow spell of the machine falls on both sides alike. Each side goes
# first in every other round: on a virtual machine the second run of a pair is
# the likelier to meet a fast spell.
alternate_commands() {
  local n=$1 run t ours="" ref=""
  local -a ours_command ref_command
  read -ra ours_command <<<"$2"
  read -ra ref_command <<<"$3"
  for run in $(seq 1 "$n"); do
    if [ $((run % 2)) -eq 1 ]; then
      t=$("${ours_command[@]}") || return 1
      ours="$ours $t"
    fi
    t=$("${ref_command[@]}") || return 1
    ref="$ref $t"
    if [ $((run % 2)) -eq 0 ]; then
      t=$("${ours_command[@]}") || return 1
      ours="$ours $t"
    fi
  done
  ours=$(smallest $ours) && ref=$(smallest $ref) || return 1
  echo "$ours $ref"
}

# alternate N PROGRAM OURS REFERENCE: alternate_commands over single runs of
# the bench_PROGRAM cases matching the filters OURS and REFERENCE
# (nanoseconds).
alternate() {
  alternate_commands "$1" "gbench $2 $3 1" "gbench $2 $4 1"
}

# smallest NUMBER...: the smallest of the numbers.
smallest() {
  python3 -c 'import sys; print(min(float(x) for x in sys.argv[1:]))' "$@"
}
