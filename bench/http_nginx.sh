# Helpers for the HTTP benchmarks; sourced. Starts nginx in a temporary folder
# under /dev/shm on a free 127.0.0.1 port, pinned to $BENCH_SERVER_CPU, and
# stops it (by pid) on exit.
# After http_nginx_start: $HTTP_DIR (folder, www/ is served), $HTTP_PORT.

http_nginx_start() {
  HTTP_DIR=$(mktemp -d /dev/shm/bench-http.XXXXXX)
  mkdir -p "$HTTP_DIR/www"
  HTTP_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat > "$HTTP_DIR/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $HTTP_DIR/nginx.pid;
error_log $HTTP_DIR/error.log warn;
events { worker_connections 256; }
http {
  default_type application/octet-stream;
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  client_body_temp_path $HTTP_DIR/client_temp;
  proxy_temp_path $HTTP_DIR/proxy_temp;
  fastcgi_temp_path $HTTP_DIR/fastcgi_temp;
  uwsgi_temp_path $HTTP_DIR/uwsgi_temp;
  scgi_temp_path $HTTP_DIR/scgi_temp;
  server { listen 127.0.0.1:$HTTP_PORT; root $HTTP_DIR/www; }
}
CONF
  taskset -c "$BENCH_SERVER_CPU" nginx -p "$HTTP_DIR" -c "$HTTP_DIR/nginx.conf" &
  HTTP_PID=$!
  trap http_nginx_stop EXIT
  for _ in $(seq 1 500); do
    if curl -s -o /dev/null "http://127.0.0.1:$HTTP_PORT/"; then
      return 0
    fi
    sleep 0.01
  done
  echo "nginx did not start" >&2
  return 1
}

http_nginx_stop() {
  if [ -n "${HTTP_PID:-}" ]; then
    kill "$HTTP_PID" 2>/dev/null || true
    wait "$HTTP_PID" 2>/dev/null || true
    HTTP_PID=
  fi
  [ -n "${HTTP_DIR:-}" ] && rm -rf "$HTTP_DIR"
}
