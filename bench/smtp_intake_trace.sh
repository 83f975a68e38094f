#!/usr/bin/env bash
# Where the time of SMTP intake goes, with an empty INQUEUE and with WAITING complete items in it
# (held under locked busy markers by bench/hold_items.py, so distribution passes them over, as in
# big_store_bench.sh): the server's system calls are traced (strace -f -T attached after start-up,
# one file per thread) while SESSIONS client sessions send COUNT messages of 2 KB, and the time of
# each call is summed per kind and per file (message, envelope, marker, directory...). Runs
# alternate between the two cases, RUNS times. Runs as root in a private network namespace.
#   RUNS (3) WAITING (50000) COUNT (300) SESSIONS (1) KEEP (a directory to keep the traces in)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QV_BENCH_ISOLATED:-}" ]; then
  export QV_BENCH_ISOLATED=1
  exec "$ROOT/tests/integration/run_isolated.sh" bash "$0" "$@"
fi
RUNS=${RUNS:-3}; WAITING=${WAITING:-50000}; COUNT=${COUNT:-300}; SESSIONS=${SESSIONS:-1}
SMTP_PORT=2627
WORK=$(mktemp -d /tmp/qvintaketrace.XXXXXX)
OUR_PID=""; TRACE_PID=""; HOLD_PID=""
cleanup() {
  [ -n "$HOLD_PID" ] && kill "$HOLD_PID" 2>/dev/null || true
  [ -n "$TRACE_PID" ] && kill "$TRACE_PID" 2>/dev/null || true
  [ -n "$OUR_PID" ] && kill -9 "$OUR_PID" 2>/dev/null || true
  [ -n "$OUR_PID" ] && wait "$OUR_PID" 2>/dev/null || true
  [ -n "${KEEP:-}" ] && mkdir -p "$KEEP" && cp "$WORK"/trace.* "$KEEP"/ 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
nice ninja -C "$ROOT/build-bench" quorvale >/dev/null
QV="$ROOT/build-bench/app/quorvale"

python3 - "$WORK/seed/INQUEUE" "$WAITING" <<'PY'
import os, sys
seed, waiting = sys.argv[1], int(sys.argv[2])
os.makedirs(seed)
body = b"X-IStatus:00000000000000000003\r\nFrom: zoe@far.test\r\nSubject: old\r\n\r\n" + b"x" * 74 * 27
for i in range(waiting):
    with open(os.path.join(seed, "R%07d.TMP" % i), "wb") as f:
        f.write(b"[From]\r\nFrom=zoe@far.test\r\nSubject=waiting\r\nIniDate=06/12/2026 10:00:00\r\n[To]\r\nn=1\r\n0=user1@example.test\r\n")
    with open(os.path.join(seed, "M%07d.TMP" % i), "wb") as f:
        f.write(body)
PY
SH="$WORK/smtp"
mkdir -p "$SH/MAILIN/user1" "$WORK/windir"
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=%d\r\npop3port=0\r\nMaxSessions=400\r\nDeliveryDelay=30000\r\nDeliveryDelayUnit=1\r\n' \
  $SMTP_PORT > "$SH/NEXUM2.INI"
printf 'user1:*:0\r\n' > "$SH/mailbox.cfg"
printf '[ALIAS]\r\nn=1\r\n0=*\tuser1@example.test\r\n[END_ALIAS]\r\n' > "$SH/MAILIN/user1/MEMBERS.INI"
printf '[Settings]\r\nHomeDir=%s\r\n' "$SH" > "$WORK/windir/TORVIK.INI"

wait_port() {  # without a connection, which would be a session of its own
  for _ in $(seq 1 600); do
    [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; return 1
}
traced_run() {  # waiting run -> trace file
  rm -rf "$SH/INQUEUE"
  if [ "$1" -gt 0 ]; then
    cp -al "$WORK/seed/INQUEUE" "$SH/INQUEUE"
    python3 "$ROOT/bench/hold_items.py" "$SH/INQUEUE" "$1" > "$WORK/hold.out" &
    HOLD_PID=$!
    for _ in $(seq 1 1200); do grep -q held "$WORK/hold.out" && break; sleep 0.1; done
  else
    mkdir "$SH/INQUEUE"
  fi
  sync
  WINDIR="$WORK/windir" "$QV" -service </dev/null >"$WORK/server.log" 2>&1 &
  OUR_PID=$!
  wait_port $SMTP_PORT
  # The first search for a free name after start-up is made by one message before the trace.
  python3 "$ROOT/bench/smtp_rate_client.py" $SMTP_PORT 1 1 2048 >/dev/null
  sleep 1
  strace -f -ff -T -y -qq -o "$WORK/trace.$1.$2" -p "$OUR_PID" &
  TRACE_PID=$!
  sleep 1
  local rate
  rate=$(python3 "$ROOT/bench/smtp_rate_client.py" $SMTP_PORT "$SESSIONS" "$COUNT" 2048)
  kill -INT "$TRACE_PID"; wait "$TRACE_PID" 2>/dev/null || true; TRACE_PID=""
  kill -9 "$OUR_PID"; wait "$OUR_PID" 2>/dev/null || true; OUR_PID=""
  if [ -n "$HOLD_PID" ]; then kill "$HOLD_PID"; wait "$HOLD_PID" 2>/dev/null || true; HOLD_PID=""; fi
  local left
  left=$(ls "$SH/INQUEUE" | grep -c '^M' || true)
  [ "$left" -ge "$1" ] || { echo "the waiting items were distributed ($left left)" >&2; exit 1; }
  echo "run $2, $1 waiting: $rate msg/s (traced)"
}
for r in $(seq 1 "$RUNS"); do
  traced_run 0 "$r"
  traced_run "$WAITING" "$r"
done
python3 - "$WORK" "$WAITING" "$RUNS" "$COUNT" <<'PY'
import collections, glob, re, statistics, sys
work, waiting, runs, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
call = re.compile(r'^(\w+)\((.*)\)\s+=\s+(-?\d+|\?)[^<]*<([\d.]+)>$')
def kind(name, args):
    # Which file the call concerns: by the path or by the descriptor's path (strace -y).
    m = re.search(r'<([^<>]*)>|"([^"]*)"', args)
    path = (m.group(1) or m.group(2)) if m else ""
    base = path.rsplit("/", 1)[-1]
    if name in ("recvfrom", "sendto", "read", "write", "poll", "ppoll", "epoll_wait", "accept4",
                "recvmsg", "sendmsg") and "socket:" in args:
        return name + " socket"
    if base.startswith(".~"): what = "hidden marker"
    elif re.match(r'[Mm]\d{7}\.TMP', base): what = "message"
    elif re.match(r'[Rr]\d{7}\.(TMP|tmp)', base): what = "envelope"
    elif re.match(r'[Bb]\d{7}\.TMP', base): what = "marker"
    elif base.upper() == "INQUEUE": what = "INQUEUE"
    elif path: what = "other file"
    else: what = ""
    return (name + " " + what).strip()
totals = {}
for case in ("0", waiting):
    per_run = []
    for r in range(1, runs + 1):
        t = collections.defaultdict(lambda: [0, 0.0])
        lines = (l for f in glob.glob("%s/trace.%s.%d.*" % (work, case, r)) for l in open(f, errors="replace"))
        for line in lines:
            m = call.match(line.strip())
            if not m: continue
            k = kind(m.group(1), m.group(2))
            t[k][0] += 1; t[k][1] += float(m.group(4))
        per_run.append(t)
    totals[case] = per_run
keys = set()
for case in totals.values():
    for t in case: keys |= set(t)
rows = []
for k in keys:
    if any(k.startswith(w) for w in ("epoll_wait", "poll", "ppoll", "futex", "clock_nanosleep", "restart_syscall", "nanosleep", "accept")):
        continue
    a = [t[k][1] * 1e6 / count for t in totals["0"]]
    b = [t[k][1] * 1e6 / count for t in totals[waiting]]
    n = [t[k][0] / count for t in totals[waiting]]
    rows.append((max(b + a), k, a, b, n))
rows.sort(reverse=True)
print("microseconds per message spent in each kind of call (strace -T; ranges over %d runs)" % runs)
print("%-28s %6s %20s %20s" % ("call, file", "calls", "none waiting", waiting + " waiting"))
rng = lambda v: "%.0f..%.0f" % (min(v), max(v))
for _, k, a, b, n in rows[:30]:
    print("%-28s %6.1f %20s %20s" % (k, statistics.median(n), rng(a), rng(b)))
PY
