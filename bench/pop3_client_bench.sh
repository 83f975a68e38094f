#!/usr/bin/env bash
# POP3 collection benchmark: 2,000 messages of 4 KB in one remote mailbox on Dovecot
# (127.0.0.1:110, the client's fixed port), collected in the same run by our POP3 client (the
# server's "GetPop3Mail" through the command queue, into the account's mailbox, each message
# synced before the next) and by fetchmail handing each message to an MDA that writes it to a
# file of its own. Both keep the messages on the server, so every run collects the same 2,000.
# Prints the median messages per second of both and the ratio ours/fetchmail. Runs as root in a
# private network namespace (loopback only).
#   RUNS (3), MESSAGES (2000), QUORVALE_BIN (default: a Release build in build-bench)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/bench/dovecot.sh"
isolate_with_dovecot "$0" "$@"
RUNS=${RUNS:-3}
MESSAGES=${MESSAGES:-2000}
WORK=$(mktemp -d /tmp/qvpop3cbench.XXXXXX)
chmod 755 "$WORK"

if [ -z "${QUORVALE_BIN:-}" ]; then
  cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
  nice ninja -C "$ROOT/build-bench" quorvale >/dev/null
  QUORVALE_BIN="$ROOT/build-bench/app/quorvale"
fi

# The remote mailbox: 4 KB messages in Dovecot's maildir (LF lines; S= spares it a stat).
D="$WORK/dovecot"
python3 - "$D" "$MESSAGES" <<'PY'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
maildir = os.path.join(d, "mail", "remote", "Maildir")
for sub in ("cur", "new", "tmp"):
    os.makedirs(os.path.join(maildir, sub), exist_ok=True)
for i in range(n):
    head = b"From: zoe@far.test\nTo: alice@example.test\nSubject: bench %d\nMessage-Id: <%d@far.test>\n\n" % (i, i)
    line = (b"%076d" % i)[:76] + b"\n"
    m = head + line * ((4096 - len(head)) // len(line))
    with open(os.path.join(maildir, "cur", "%d.M%dP1.bench,S=%d:2," % (1700000000 + i, i, len(m))), "wb") as f:
        f.write(m)
PY
printf 'remote:{PLAIN}bench\n' > "$D/users"
start_dovecot "$D" 110 qv-bench-pop3c

# Our server: no listeners, the POP3 client on, alice collecting the remote mailbox (delete off).
H="$WORK/home"
mkdir -p "$WORK/windir" "$H/MAILIN/alice" "$H/MAILIN/master"
printf '[Settings]\r\nHomeDir=%s\r\n' "$H" > "$WORK/windir/TORVIK.INI"
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=0\r\npop3port=0\r\npop3client=1\r\npopclog=1\r\nlowpopclog=0\r\n' \
  > "$H/NEXUM2.INI"
printf 'master:*:0\r\nalice:*:0\r\n' > "$H/mailbox.cfg"
printf '[POP3ACC]\r\nacc1=*1\t*remote\t*bench\t*127.0.0.1\t*0\r\n' > "$H/MAILIN/alice/MAILBOX.INI"
WINDIR="$WORK/windir" "$QUORVALE_BIN" -service </dev/null >"$WORK/server.log" 2>&1 &
OUR_PID=$!

# fetchmail: one poll, keep, every message to an MDA that writes a file of its own.
FM="$WORK/fm"
mkdir -m 700 "$FM" "$FM/out"
cat > "$FM/fetchmailrc" <<RC
set no syslog
set no bouncemail
poll 127.0.0.1 service 110 protocol POP3 auth password
  user "remote" there with password "bench" is "root" here
  options keep fetchall sslproto ''
  mda "/bin/sh -c 'cat > \$(mktemp $FM/out/m.XXXXXXXX)'"
RC
chmod 600 "$FM/fetchmailrc"

stop_all() {
  kill $OUR_PID 2>/dev/null || true
  wait $OUR_PID 2>/dev/null || true
  [ -n "${DV_PID:-}" ] || DV_PID=$(cat "$D/run/master.pid" 2>/dev/null || true)
  [ -n "$DV_PID" ] && kill "$DV_PID" 2>/dev/null || true
  sleep 0.5
  rm -rf "$WORK"
}
trap stop_all EXIT

for _ in $(seq 1 200); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', 110), 1).close()" 2>/dev/null && break
  sleep 0.1
done
DV_PID=$(cat "$D/run/master.pid")
for _ in $(seq 1 200); do
  grep -qi "srvthread=$OUR_PID" "$H/QUORVALE.INI" 2>/dev/null && break
  sleep 0.1
done

CSV="$WORK/results.csv"
# One collection by our client: from the command to the summary line in popccon.log.
ours() {
  rm -f "$H"/MAILIN/alice/[mM]*.[mM][iI][mM] "$H/popccon.log"
  python3 - "$QUORVALE_BIN" "$WORK/windir" "$H" "$MESSAGES" <<'PY'
import glob, os, subprocess, sys, time
binary, windir, home, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
env = dict(os.environ, WINDIR=windir)
log = os.path.join(home, "popccon.log")
start = time.monotonic()
# The command client waits for the batch's results on its own schedule: not timed.
client = subprocess.Popen([binary, "-command", "GetPop3Mail alice"], env=env,
                          stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
deadline = start + 600
while time.monotonic() < deadline:
    try:
        if "Message(s) received" in open(log, encoding="latin-1").read():
            break
    except FileNotFoundError:
        pass
    time.sleep(0.005)
elapsed = time.monotonic() - start
client.wait(timeout=60)
got = len(glob.glob(os.path.join(home, "MAILIN", "alice", "[mM]*.[mM][iI][mM]")))
if got != n:
    sys.exit("ours stored %d of %d" % (got, n))
print("ours,%d,%.3f,%.1f" % (n, elapsed, n / elapsed))
PY
}
fetch() {
  rm -f "$FM"/out/*
  local start end got
  start=$(date +%s.%N)
  FETCHMAILHOME="$FM" fetchmail -f "$FM/fetchmailrc" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  got=$(find "$FM/out" -type f | wc -l)
  [ "$got" -eq "$MESSAGES" ] || { echo "fetchmail stored $got of $MESSAGES" >&2; exit 1; }
  python3 -c "import sys; e=float(sys.argv[2])-float(sys.argv[1]); print('fetchmail,%d,%.3f,%.1f' % (int(sys.argv[3]), e, int(sys.argv[3])/e))" "$start" "$end" "$MESSAGES"
}
for run in $(seq 1 "$RUNS"); do
  if [ $((run % 2)) -eq 1 ]; then ours >> "$CSV"; fetch >> "$CSV"; else fetch >> "$CSV"; ours >> "$CSV"; fi
done
python3 - "$CSV" <<'PY'
import csv, statistics, sys
rows = list(csv.reader(open(sys.argv[1])))
med = {who: statistics.median(float(r[3]) for r in rows if r[0] == who) for who in ("ours", "fetchmail")}
sec = {who: statistics.median(float(r[2]) for r in rows if r[0] == who) for who in ("ours", "fetchmail")}
print("POP3 collection of %s x 4 KB from Dovecot, medians of %d runs" % (rows[0][1], len(rows) // 2))
print("ours %.1f msg/s (%.2f s) | fetchmail (MDA writing files) %.1f msg/s (%.2f s) | ratio %.2f"
      % (med["ours"], sec["ours"], med["fetchmail"], sec["fetchmail"], med["ours"] / med["fetchmail"]))
PY
