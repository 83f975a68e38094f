#!/usr/bin/env bash
# Web benchmark: wrk against kaldor-host (the extension's Install page, until the About page
# lands, and a 100 KB static file) and against a private nginx serving the same file on another
# loopback port, in one run; prints requests per second and the ratios. nginx runs with its own
# configuration, pid file, logs and temporary paths under a temporary directory (never the
# system's nginx). Runs inside a private network namespace (loopback only; needs root).
#   DURATION (10 s per case), CONNECTIONS (50), THREADS (2), BUILD (build-bench, a Release
#   build made here; NO_BUILD=1 takes the programs of BUILD as they are)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QV_BENCH_ISOLATED:-}" ]; then
  export QV_BENCH_ISOLATED=1
  exec "$ROOT/tests/integration/run_isolated.sh" bash "$0" "$@"
fi
DURATION=${DURATION:-10}; CONNECTIONS=${CONNECTIONS:-50}; THREADS=${THREADS:-2}
BUILD=${BUILD:-$ROOT/build-bench}
HOST_PORT=8181; NGINX_PORT=8182
WORK=$(mktemp -d /tmp/qvwebbench.XXXXXX)
chmod 755 "$WORK"  # nginx's workers read the web root as an unprivileged user

if [ -z "${NO_BUILD:-}" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
  nice ninja -C "$BUILD" kaldor kaldor-host >/dev/null
fi

mkdir -p "$WORK/windir" "$WORK/home" "$WORK/www" "$WORK/nginx"
printf '[Settings]\r\nHomeDir=%s\r\n' "$WORK/home" > "$WORK/windir/TORVIK.INI"
printf '[SMTP]\r\nDomain=example.test\r\n[Kaldor]\r\nwebroot=files\r\nwebrootdir=%s\r\n' \
  "$WORK/www" > "$WORK/home/NEXUM2.INI"
head -c 102400 /dev/urandom > "$WORK/www/file100k.bin"
chmod 755 "$WORK/www"; chmod 644 "$WORK/www/file100k.bin"

cat > "$WORK/nginx/nginx.conf" <<CONF
worker_processes 2;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  sendfile on;
  server {
    listen 127.0.0.1:$NGINX_PORT;
    location /files/ { alias $WORK/www/; }
  }
}
CONF

HOST_PID=""; NGINX_PID=""
cleanup() {
  [ -n "$HOST_PID" ] && kill "$HOST_PID" 2>/dev/null && wait "$HOST_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

WINDIR="$WORK/windir" "$BUILD/web/host/kaldor-host" --port $HOST_PORT \
  --access-log "$WORK/access.log" >"$WORK/host.out" 2>&1 &
HOST_PID=$!
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" -g 'daemon off;' 2>"$WORK/nginx/start.err" &
NGINX_PID=$!
for port in $HOST_PORT $NGINX_PORT; do
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.1
  done
done
cmp <(curl -s "http://127.0.0.1:$HOST_PORT/files/file100k.bin") "$WORK/www/file100k.bin"
cmp <(curl -s "http://127.0.0.1:$NGINX_PORT/files/file100k.bin") "$WORK/www/file100k.bin"

# rate URL: requests per second that wrk measured.
rate() {
  wrk -t"$THREADS" -c"$CONNECTIONS" -d"${DURATION}s" "$1" | awk '/^Requests\/sec:/ {print $2}'
}
INSTALL="http://127.0.0.1:$HOST_PORT/kaldor.dll?Install&_but=b&_jid=j&_acc=a"
page=$(rate "$INSTALL")
ours=$(rate "http://127.0.0.1:$HOST_PORT/files/file100k.bin")
theirs=$(rate "http://127.0.0.1:$NGINX_PORT/files/file100k.bin")
echo "web: wrk -t$THREADS -c$CONNECTIONS ${DURATION}s per case"
printf '  extension page (Install)       kaldor-host %10.0f req/s\n' "$page"
printf '  static 100 KB file             kaldor-host %10.0f req/s   nginx %10.0f req/s\n' \
  "$ours" "$theirs"
awk -v o="$ours" -v t="$theirs" -v p="$page" 'BEGIN {
  printf "  ratio static kaldor-host/nginx %.2f; extension page / nginx static %.2f\n", o/t, p/t }'
