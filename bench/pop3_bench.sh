#!/usr/bin/env bash
# POP3 retrieval benchmark: the same mailboxes (200 x 4 KB and 20 x 1 MB messages) served by our
# server and by Dovecot's POP3 server on other loopback ports, retrieved in one run by the same
# client (Python's poplib: login, STAT, RETR of every message, QUIT), runs alternating. Prints
# the median messages per second and MB/s of both and the ratio ours/Dovecot. Runs as root in a
# private network namespace (loopback only); Dovecot runs with a configuration of its own.
#   RUNS (7)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/bench/dovecot.sh"
isolate_with_dovecot "$0" "$@"
RUNS=${RUNS:-7}
OUR_PORT=2110; DV_PORT=2111
WORK=$(mktemp -d /tmp/qvpop3bench.XXXXXX)
chmod 755 "$WORK"

cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
ninja -C "$ROOT/build-bench" quorvale >/dev/null

# The messages, once: small ones of 4 KB, big ones of 1 MB (lines of 76 characters).
python3 - "$WORK" <<'PY'
import os, sys
work = sys.argv[1]
def message(i, size):
    head = b"From: zoe@far.test\r\nTo: user@example.test\r\nSubject: bench %d\r\nMessage-Id: <%d@far.test>\r\n\r\n" % (i, i)
    line = (b"%076d" % i)[:76] + b"\r\n"
    body = line * ((size - len(head)) // len(line))
    return head + body
for user, n, size in (("small", 200, 4096), ("big", 20, 1048576)):
    ours = os.path.join(work, "home", "MAILIN", user)
    maildir = os.path.join(work, "dovecot", "mail", user, "Maildir")
    for d in (ours, os.path.join(maildir, "cur"), os.path.join(maildir, "new"), os.path.join(maildir, "tmp")):
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(ours, "MAILBOX.INI"), "wb") as f:
        f.write(b"[SETUP]\r\nPassword=bench\r\n")
    for i in range(n):
        m = message(i, size)
        with open(os.path.join(ours, "m%07d.mim" % i), "wb") as f:
            f.write(b"X-IStatus:00000000000000000003\r\n" + m)
        # Dovecot's maildir keeps LF lines; S= gives it the size without a stat.
        lf = m.replace(b"\r\n", b"\n")
        with open(os.path.join(maildir, "cur", "%d.M%dP1.bench,S=%d:2," % (1700000000 + i, i, len(lf))), "wb") as f:
            f.write(lf)
PY

# Our server.
mkdir -p "$WORK/windir"
printf '[Settings]\r\nHomeDir=%s\r\n' "$WORK/home" > "$WORK/windir/TORVIK.INI"
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=0\r\npop3port=%d\r\n' \
  $OUR_PORT > "$WORK/home/NEXUM2.INI"
printf 'small:*:0\r\nbig:*:0\r\n' > "$WORK/home/mailbox.cfg"
WINDIR="$WORK/windir" "$ROOT/build-bench/app/quorvale" -service </dev/null >"$WORK/server.log" 2>&1 &
OUR_PID=$!

# Dovecot: POP3 only, plain passwords, the maildirs above, its own base directory.
D="$WORK/dovecot"
mkdir -p "$D"
printf 'small:{PLAIN}bench\nbig:{PLAIN}bench\n' > "$D/users"
start_dovecot "$D" "$DV_PORT" qv-bench-pop3

stop_all() {
  kill $OUR_PID 2>/dev/null || true
  wait $OUR_PID 2>/dev/null || true
  [ -n "${DV_PID:-}" ] || DV_PID=$(cat "$D/run/master.pid" 2>/dev/null || true)
  [ -n "$DV_PID" ] && kill "$DV_PID" 2>/dev/null || true
  sleep 0.5
  rm -rf "$WORK"
}
trap stop_all EXIT

wait_port() {
  for _ in $(seq 1 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 1).close()" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; return 1
}
wait_port $OUR_PORT
wait_port $DV_PORT
DV_PID=$(cat "$D/run/master.pid")

CSV="$WORK/results.csv"
CLIENT="python3 $ROOT/bench/pop3_client.py"
# A warm-up session each, then alternating runs.
for s in "ours $OUR_PORT" "dovecot $DV_PORT"; do
  set -- $s
  $CLIENT "$1" warmup "$2" small bench 1 200 >/dev/null
done
for run in $(seq 1 "$RUNS"); do
  for s in "ours $OUR_PORT" "dovecot $DV_PORT"; do
    set -- $s
    $CLIENT "$1" "200x4KB" "$2" small bench 1 200 >> "$CSV"
    $CLIENT "$1" "20x1MB" "$2" big bench 1 20 >> "$CSV"
  done
done
python3 - "$CSV" <<'PY'
import csv, statistics, sys
rows = list(csv.reader(open(sys.argv[1])))
print("POP3 retrieval, one poplib client, medians of %d runs" % (len(rows) // 4))
for scenario in ("200x4KB", "20x1MB"):
    fig = {}
    for server in ("ours", "dovecot"):
        r = [x for x in rows if x[0] == server and x[1] == scenario]
        fig[server] = (statistics.median(float(x[6]) for x in r), statistics.median(float(x[7]) for x in r))
    print("%-8s ours %8.1f msg/s %7.2f MB/s | Dovecot %8.1f msg/s %7.2f MB/s | ratio %.2f"
          % (scenario, fig["ours"][0], fig["ours"][1], fig["dovecot"][0], fig["dovecot"][1],
             fig["ours"][0] / fig["dovecot"][0]))
PY
