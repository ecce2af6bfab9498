# Helpers for the digest and cipher cases (sha1, sha1_portable, rc4); sourced
# after lib.sh. Both sides are timed five times on the same file and the fastest
# run of each is kept, so a busy machine disturbs the ratio less.

# best_gbench FILTER: fastest of five repetitions of a bench_digests case, in
# seconds per file.
best_gbench() {
  local ns
  ns=$(gbench digests "$1" 5)
  python3 -c "print($ns / 1e9)"
}

# best_seconds COMMAND...: fastest of five runs of a command, in seconds.
best_seconds() {
  best 5 "$@"
}

# bench_file SIZE: a file of SIZE random bytes in /dev/shm, removed on exit.
bench_file() {
  PORTICO_BENCH_FILE=$(mktemp /dev/shm/portico-digests.XXXXXX)
  export PORTICO_BENCH_FILE
  trap 'rm -f "$PORTICO_BENCH_FILE"' EXIT
  head -c "$1" /dev/urandom >"$PORTICO_BENCH_FILE"
}
