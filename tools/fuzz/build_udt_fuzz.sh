#!/bin/sh
# Builds the reliable-UDP packet-handler fuzz target with clang's libFuzzer and
# AddressSanitizer, seeds a corpus and runs it for the given seconds (default 60):
#   tools/fuzz/build_udt_fuzz.sh [seconds] [output folder]
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
out=${2:-/dev/shm/udt_fuzz}
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$top" \
  "$top/tools/fuzz/udt_packet_fuzz.cpp" "$top"/core/*.cpp "$top"/net/socket*.cpp \
  "$top"/net/udt*.cpp "$top"/platform/*.cpp -lz -lpthread -o "$out/udt_packet_fuzz"
# Seeds: an ACK, a NAK range, a handshake request and a data packet.
python3 - "$out/corpus" <<'PY'
import struct, sys, os
d = sys.argv[1]
def rec(sel, body): return bytes([sel]) + struct.pack(">H", len(body)) + body
ctl = lambda t, ack, words: struct.pack(">IIII", (0x8000 | t) << 16, ack, 0, 0) + b"".join(struct.pack(">I", w & 0xffffffff) for w in words)
seeds = {
  "ack": rec(0x11, ctl(2, 1, [5, 0, 0, 64, 1000, 5000])),
  "nak": rec(0x11, ctl(3, 0, [0x80000001, 3, 9])),
  "handshake": rec(0x00, ctl(0, 0, [4, 1, 77, 1500, 32, 1, 1234, 0, 0, 0, 0, 0])),
  "data": rec(0x4a, struct.pack(">IIII", 12, 0, 0, 0) + b"x" * 100),
  "shutdown": rec(0x02, ctl(5, 0, [])),
}
for name, body in seeds.items():
    open(os.path.join(d, name), "wb").write(body)
PY
ASAN_OPTIONS=detect_leaks=1 "$out/udt_packet_fuzz" -max_total_time="$seconds" -max_len=4096 \
  "$out/corpus"
