#!/usr/bin/env bash
# Which directories the server reads whole while it takes, distributes and serves mail for an
# account whose mailbox already holds STORED messages (vacation and auto-reply on, their texts
# absent, so each copy looks for them): the server's system calls are traced (strace -f, attached
# after start-up) while one SMTP session sends COUNT messages of 2 KB to the account (the
# distribution run at the end of the session stores them), then one POP3 session logs in and asks
# STAT and LIST. Prints the directory readings (getdents64 calls, and runs of them) per directory
# and the stat calls, per message. Runs as root in a private network namespace.
#   STORED (50000) COUNT (200) QV (the program; default: build-bench/app/quorvale)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QV_BENCH_ISOLATED:-}" ]; then
  export QV_BENCH_ISOLATED=1
  exec "$ROOT/tests/integration/run_isolated.sh" bash "$0" "$@"
fi
STORED=${STORED:-50000}; COUNT=${COUNT:-200}
SMTP_PORT=2628; POP_PORT=2112
WORK=$(mktemp -d /tmp/qvdirtrace.XXXXXX)
OUR_PID=""; TRACE_PID=""
cleanup() {
  [ -n "$TRACE_PID" ] && kill "$TRACE_PID" 2>/dev/null || true
  [ -n "$OUR_PID" ] && kill -9 "$OUR_PID" 2>/dev/null || true
  [ -n "$OUR_PID" ] && wait "$OUR_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
if [ -z "${QV:-}" ]; then
  cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
  nice ninja -C "$ROOT/build-bench" quorvale >/dev/null
  QV="$ROOT/build-bench/app/quorvale"
fi

H="$WORK/home"
python3 - "$H/MAILIN/user1" "$STORED" <<'PY'
import os, sys
box, stored = sys.argv[1], int(sys.argv[2])
os.makedirs(box)
with open(os.path.join(box, "MAILBOX.INI"), "wb") as f:
    f.write(b"[SETUP]\r\nPassword=bench\r\nVacation=1\r\nAutoReply=1\r\nAutoReplyFilename=reply.txt\r\n")
body = b"X-IStatus:00000000000000000003\r\nFrom: zoe@far.test\r\nSubject: old\r\n\r\n" + b"x" * 74 * 27
for i in range(1, stored + 1):
    with open(os.path.join(box, "m%07d.mim" % i), "wb") as f:
        f.write(body)
with open(os.path.join(box, "useqf"), "wb") as f:
    f.write(b"%d" % stored)
PY
mkdir -p "$WORK/windir"
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=%d\r\npop3port=%d\r\nMaxSessions=40\r\n' \
  $SMTP_PORT $POP_PORT > "$H/NEXUM2.INI"
printf 'user1:*:0\r\n' > "$H/mailbox.cfg"
printf '[ALIAS]\r\nn=1\r\n0=*\tuser1@example.test\r\n[END_ALIAS]\r\n' > "$H/MAILIN/user1/MEMBERS.INI"
printf '[Settings]\r\nHomeDir=%s\r\n' "$H" > "$WORK/windir/TORVIK.INI"
sync

WINDIR="$WORK/windir" "$QV" -service </dev/null >"$WORK/server.log" 2>&1 &
OUR_PID=$!
for _ in $(seq 1 600); do [ -n "$(ss -Hltn "sport = :$POP_PORT")" ] && break; sleep 0.1; done
# One message before the trace: the first search for names after start-up is not counted.
python3 "$ROOT/bench/smtp_rate_client.py" $SMTP_PORT 1 1 2048 >/dev/null
sleep 2
strace -f -qq -y -e trace=getdents64,newfstatat,statx,stat,lstat,openat -o "$WORK/trace" -p "$OUR_PID" &
TRACE_PID=$!
sleep 1
python3 "$ROOT/bench/smtp_rate_client.py" $SMTP_PORT 1 "$COUNT" 2048 >/dev/null
want=$((STORED + COUNT + 1))
for _ in $(seq 1 1200); do
  [ "$(ls "$H/MAILIN/user1" | grep -ci '^m.*\.mim$')" -ge "$want" ] && break
  sleep 0.1
done
python3 "$ROOT/bench/pop3_list_client.py" ours trace $POP_PORT user1 bench 1 "$want" >/dev/null
sleep 1
kill -INT "$TRACE_PID"; wait "$TRACE_PID" 2>/dev/null || true; TRACE_PID=""
[ -n "${KEEP:-}" ] && cp "$WORK/trace" "$KEEP"
python3 - "$WORK/trace" "$COUNT" <<'PY'
import collections, re, sys
trace, count = sys.argv[1], int(sys.argv[2])
calls = collections.Counter(); runs = collections.Counter(); reads = collections.Counter()
last = {}
for line in open(trace, errors="replace"):
    m = re.match(r'^(\d+)\s+(\w+)\((.*)$', line)
    if not m:
        continue
    pid, name, rest = m.groups()
    calls[name] += 1
    if name == "getdents64":
        d = re.match(r'\d+<([^>]*)>', rest)
        path = d.group(1) if d else "?"
        reads[path] += 1
        # A run of getdents64 calls on one descriptor, ended by the one that returns 0, is one
        # reading of the directory.
        if re.search(r'=\s*0$', line.strip()):
            runs[path] += 1
print("system calls per message (%d messages, then one POP3 login + STAT + LIST):" % count)
for name, n in calls.most_common():
    print("  %-12s %8.1f" % (name, n / count))
print("directories read whole (readings; getdents64 calls):")
for path, n in runs.most_common(20):
    print("  %6d readings %8d calls  %s" % (n, reads[path], path))
PY
