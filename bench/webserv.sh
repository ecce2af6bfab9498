# Helpers for the embedded server benchmarks; sourced after http_nginx.sh and
# http_nginx_start. Starts bench_webserv on the same www folder as nginx.
# After webserv_start: $WEBSERV_PORT. Both servers stop (by pid) on exit.

webserv_start() {
  taskset -c "$BENCH_SERVER_CPU" "$BUILD/bench/bench_webserv" "$HTTP_DIR/www" "$HTTP_DIR/webserv.port" &
  WEBSERV_PID=$!
  trap 'webserv_stop; http_nginx_stop' EXIT
  for _ in $(seq 1 500); do
    if [ -s "$HTTP_DIR/webserv.port" ]; then
      WEBSERV_PORT=$(cat "$HTTP_DIR/webserv.port")
      return 0
    fi
    sleep 0.01
  done
  echo "bench_webserv did not start" >&2
  return 1
}

webserv_stop() {
  if [ -n "${WEBSERV_PID:-}" ]; then
    kill "$WEBSERV_PID" 2>/dev/null || true
    wait "$WEBSERV_PID" 2>/dev/null || true
    WEBSERV_PID=
  fi
}

# wrk_seconds N URL: seconds per N requests to URL, from the request rate of a
# 2-second wrk run (pinned to $BENCH_CLIENT_CPU) over 16 keep-alive connections
# (one thread). wrk runs for its whole duration, so the rate, not a count, is
# what it measures. Fails when wrk saw socket errors or answers other than 2xx.
wrk_seconds() {
  local out
  out=$(taskset -c "$BENCH_CLIENT_CPU" wrk -t1 -c16 -d2s -H "Connection: Keep-Alive" "$2") || return 1
  if grep -q -E '^ *(Socket errors|Non-2xx or 3xx responses):' <<<"$out"; then
    echo "wrk on $2 saw failures:" >&2
    grep -E '^ *(Socket errors|Non-2xx or 3xx responses):' <<<"$out" >&2
    return 1
  fi
  awk -v n="$1" '/^Requests\/sec:/ { printf "%.6f\n", n / $2; found = 1 } END { exit !found }' <<<"$out"
}
