# Transfer time of a 256 MiB single file (256 KiB pieces) seeded by one
# libtorrent seed on 127.0.0.1: fetched by our swarmfetch (from the first
# connect to the seed to the last piece verified) and by aria2c, which finds the
# seed through opentracker (from its connect line for the seed to its last
# new-piece line, info log level), same seed. Three rounds, the two sides
# alternating (each first in every other round), best of each; every fetched
# file must equal the source.
# Sourced by bench/cases/swarm_fetch and swarm_fetch_pe with NAME set, and with
# PE=1 for the encrypted case (the seed and aria2c require RC4, ours connects
# with PE only).
set -euo pipefail
shopt -s inherit_errexit
source "$BENCH_TOP/bench/lib.sh"
PE=${PE:-0}
ROUNDS=3
PY=/usr/bin/python3
work=$(mktemp -d)
SEED_PID=
TRACKER_PID=
stop_all() {
  for pid in $SEED_PID $TRACKER_PID; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_all EXIT
free_port() {
  "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
tracker_port=$(free_port)
seed_port=$(free_port)
mkdir -p "$work/src" "$work/ours" "$work/ref"
head -c 268435456 /dev/urandom >"$work/src/big.bin"
mktorrent -l 18 -a "http://127.0.0.1:$tracker_port/announce" -o "$work/big.torrent" \
  "$work/src/big.bin" >/dev/null
"$PY" -c 'import libtorrent as lt, sys; print(str(lt.torrent_info(sys.argv[1]).info_hash()))' \
  "$work/big.torrent" >"$work/whitelist"
# It changes root to its folder and drops to an unprivileged user: the list must be readable.
chmod 755 "$work"
chmod 644 "$work/whitelist"
(cd "$work" && exec opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$work" \
  -w whitelist >"$work/tracker.log" 2>&1) &
TRACKER_PID=$!
seed_env=()
[ "$PE" = 1 ] && seed_env=(PORTICO_LT_ENCRYPTION=rc4)
env "${seed_env[@]}" "$PY" "$BENCH_TOP/tests/engine/libtorrent_peer.py" seed "$work/big.torrent" "$work/src" \
  "$seed_port" >"$work/seed.log" 2>&1 &
SEED_PID=$!
for _ in $(seq 1 600); do
  grep -q listening "$work/seed.log" 2>/dev/null && break
  sleep 0.1
done
grep -q listening "$work/seed.log" || fail "$NAME" "the libtorrent seed did not start"

types=1
crypto=()
if [ "$PE" = 1 ]; then
  types=8
  crypto=(--bt-require-crypto=true --bt-min-crypto-level=arc4)
fi

# aria2_seconds LOG PORT: from aria2c's connect line for the seed to its last
# new-piece line.
aria2_seconds() {
  "$PY" - "$1" "$2" <<'PY'
import datetime, re, sys
path, port = sys.argv[1], sys.argv[2]
stamp = re.compile(r'^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+)')
first = last = None
for line in open(path, errors='replace'):
    m = stamp.match(line)
    if not m:
        continue
    t = datetime.datetime.strptime(m.group(1), '%Y-%m-%d %H:%M:%S.%f').timestamp()
    if first is None and 'Connecting to 127.0.0.1:' + port in line:
        first = t
    if 'new piece' in line.lower():
        last = t
if first is None or last is None:
    sys.exit('aria2c log lines not found')
print(last - first)
PY
}

# ours / reference: one fetch by that side into a fresh folder; prints seconds.
ours() {
  rm -rf "$work/ours"
  mkdir -p "$work/ours"
  # Straight to the seed.
  out=$("$BUILD/swarmfetch" "$work/big.torrent" "$work/ours" --peer "127.0.0.1:$seed_port" \
    --types "$types" --timeout 300) || { fail "$NAME" "swarmfetch failed: $out"; return 1; }
  cmp -s "$work/src/big.bin" "$work/ours/big.bin" || {
    fail "$NAME" "our file differs"
    return 1
  }
  sed -n 's/^transfer \([0-9.]*\) s$/\1/p' <<<"$out"
}

# aria2c: through the tracker.
reference() {
  rm -rf "$work/ref"
  mkdir -p "$work/ref"
  rm -f "$work/aria2.log"
  aria2c --dir="$work/ref" --enable-dht=false --enable-dht6=false --bt-enable-lpd=false \
    --enable-peer-exchange=false --listen-port="$(free_port)" --seed-time=0 \
    "${crypto[@]}" --bt-tracker-interval=1 --bt-stop-timeout=120 --log="$work/aria2.log" \
    --log-level=info --summary-interval=0 \
    --console-log-level=error --file-allocation=none "$work/big.torrent" >/dev/null ||
    { fail "$NAME" "aria2c failed"; return 1; }
  cmp -s "$work/src/big.bin" "$work/ref/big.bin" || {
    fail "$NAME" "aria2c's file differs"
    return 1
  }
  aria2_seconds "$work/aria2.log" "$seed_port"
}

# Each side goes first in every other round (bench/lib.sh alternate_commands).
pair=$(alternate_commands "$ROUNDS" ours reference)
read -r o r <<<"$pair"
report "$NAME" "$o" "$r" seconds
