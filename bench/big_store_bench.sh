#!/usr/bin/env bash
# Big mailboxes and queues, in one run:
#  1. POP3 login + STAT + LIST (poplib) on mailboxes of 1,000, 20,000 and 100,000 messages of
#     2 KB, our server beside Dovecot's POP3 server (maildir, index warmed by a first session).
#  2. SMTP acceptance rate of our server with an empty INQUEUE and with 50,000 items waiting in
#     it. The waiting items stay waiting: each has its busy marker, held locked by
#     bench/hold_items.py, so the distribution runs that the server starts on its own (the first
#     outbound run after start-up ends with one, and so does every SMTP session) pass them over.
#     DeliveryDelay is 30000 minutes, so the timer never distributes; each client session sends
#     all its messages over one connection and says QUIT only when every session is done, so the
#     distribution of the new messages falls after the time taken; the port is watched with ss,
#     not with a connection (a session of its own). The server is killed after each measurement
#     and started again on a fresh INQUEUE (the 50,000 items hard-linked from one generated set,
#     numbered from 0 as the intake numbers them), so each figure includes the first search for a
#     free name after a start.
#  3. Distribution of 1,000 queued messages (3 local recipients each) into empty mailboxes and into
#     mailboxes that already hold 50,000 messages each (bench/distribution_bench), for plain
#     accounts and for accounts with vacation and auto-reply on and their texts absent.
# Mailboxes and queues are written directly by a script, not through SMTP. Runs alternate between
# the compared cases; each figure is the median of RUNS runs. Runs as root in a private network
# namespace (loopback only); Dovecot runs with a configuration of its own.
#   RUNS (3) SIZES ("1000 20000 100000") WAITING (50000) SMTP_COUNT (2000) SESSIONS ("1 8")
#   DIST_COUNT (1000) DIST_STORED (50000) DIST_RUNS (RUNS)
#   PARTS ("pop3 smtp dist"): which of the three measurements to make.
#   UNHELD (0): 1 adds a third SMTP case, the waiting items not held, so that the distribution
#   runs the server starts on its own deliver them while the messages are taken.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/bench/dovecot.sh"
isolate_with_dovecot "$0" "$@"
RUNS=${RUNS:-3}; SIZES=${SIZES:-"1000 20000 100000"}; WAITING=${WAITING:-50000}
SMTP_COUNT=${SMTP_COUNT:-2000}; SESSIONS=${SESSIONS:-"1 8"}
DIST_COUNT=${DIST_COUNT:-1000}; DIST_STORED=${DIST_STORED:-50000}; DIST_RUNS=${DIST_RUNS:-$RUNS}
PARTS=${PARTS:-"pop3 smtp dist"}
part() { [[ " $PARTS " == *" $1 "* ]]; }
part pop3 || SIZES=""
POP_PORT=2110; DV_PORT=2111; SMTP_PORT=2626
WORK=$(mktemp -d /tmp/qvbigbench.XXXXXX)
chmod 755 "$WORK"
OUR_PID=""; DV_PID=""; HOLD_PID=""
stop_all() {
  [ -n "$HOLD_PID" ] && kill "$HOLD_PID" 2>/dev/null || true
  [ -n "$OUR_PID" ] && kill -9 "$OUR_PID" 2>/dev/null || true
  [ -n "$OUR_PID" ] && wait "$OUR_PID" 2>/dev/null || true
  [ -n "$DV_PID" ] && kill "$DV_PID" 2>/dev/null || true
  sleep 0.5
  rm -rf "$WORK"
}
trap stop_all EXIT

cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
nice ninja -C "$ROOT/build-bench" quorvale distribution_bench >/dev/null
QV="$ROOT/build-bench/app/quorvale"

wait_port() {
  for _ in $(seq 1 600); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1).close()" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; return 1
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
start_ours() {  # home
  mkdir -p "$WORK/windir"
  printf '[Settings]\r\nHomeDir=%s\r\n' "$1" > "$WORK/windir/TORVIK.INI"
  WINDIR="$WORK/windir" "$QV" -service </dev/null >"$WORK/server.log" 2>&1 &
  OUR_PID=$!
}
stop_ours() { kill -9 "$OUR_PID" 2>/dev/null || true; wait "$OUR_PID" 2>/dev/null || true; OUR_PID=""; }

echo "== writing the mailboxes ($SIZES messages of 2 KB) and the $WAITING waiting items"
python3 - "$WORK" "$WAITING" $SIZES <<'PY'
import os, sys
work, waiting, sizes = sys.argv[1], int(sys.argv[2]), [int(x) for x in sys.argv[3:]]
def message(i):
    head = b"From: zoe@far.test\r\nTo: user@example.test\r\nSubject: old mail %d\r\nMessage-Id: <%d@far.test>\r\n\r\n" % (i, i)
    line = (b"%076d" % i)[:76] + b"\r\n"
    return head + line * ((2048 - len(head)) // len(line))
for n in sizes:
    user = "box%d" % n
    ours = os.path.join(work, "pop", "MAILIN", user)
    maildir = os.path.join(work, "dovecot", "mail", user, "Maildir")
    for d in (ours, os.path.join(maildir, "cur"), os.path.join(maildir, "new"), os.path.join(maildir, "tmp")):
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(ours, "MAILBOX.INI"), "wb") as f:
        f.write(b"[SETUP]\r\nPassword=bench\r\n")
    with open(os.path.join(ours, "useqf"), "wb") as f:
        f.write(b"%d" % n)
    for i in range(1, n + 1):
        m = message(i)
        with open(os.path.join(ours, "m%07d.mim" % i), "wb") as f:
            f.write(b"X-IStatus:00000000000000000003\r\n" + m)
        # Dovecot's maildir keeps LF lines; S= and W= give it both sizes without reading.
        lf = m.replace(b"\r\n", b"\n")
        with open(os.path.join(maildir, "cur", "%d.M%dP1.bench,S=%d,W=%d:2,S" % (1700000000 + i, i, len(lf), len(m))), "wb") as f:
            f.write(lf)
seed = os.path.join(work, "seed", "INQUEUE")
os.makedirs(seed)
body = message(0)
for i in range(waiting):
    with open(os.path.join(seed, "R%07d.TMP" % i), "wb") as f:
        f.write(b"[From]\r\nFrom=zoe@far.test\r\nSubject=waiting\r\nIniDate=06/12/2026 10:00:00\r\n[To]\r\nn=1\r\n0=user1@example.test\r\n")
    with open(os.path.join(seed, "M%07d.TMP" % i), "wb") as f:
        f.write(b"X-IStatus:00000000000000000003\r\n" + body)
PY
sync

POP3_TABLE=""; SMTP_TABLE=""; DIST_TABLE=""
# ---- 1. POP3 ----
if part pop3; then
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=0\r\npop3port=%d\r\n' \
  $POP_PORT > "$WORK/pop/NEXUM2.INI"
: > "$WORK/pop/mailbox.cfg"
for n in $SIZES; do printf 'box%d:*:0\r\n' "$n" >> "$WORK/pop/mailbox.cfg"; done
start_ours "$WORK/pop"
D="$WORK/dovecot"
mkdir -p "$D"
: > "$D/users"
for n in $SIZES; do printf 'box%d:{PLAIN}bench\n' "$n" >> "$D/users"; done
start_dovecot "$D" "$DV_PORT" qv-bench-bigbox
wait_port $POP_PORT
wait_port $DV_PORT
DV_PID=$(cat "$D/run/master.pid")
CSV="$WORK/pop3.csv"
CLIENT="python3 $ROOT/bench/pop3_list_client.py"
echo "== POP3 warm-up (Dovecot builds its index here; not counted)"
for n in $SIZES; do
  $CLIENT ours warmup $POP_PORT "box$n" bench 1 "$n" >/dev/null
  $CLIENT dovecot warmup $DV_PORT "box$n" bench 1 "$n" >/dev/null
done
for _ in $(seq 1 "$RUNS"); do
  for n in $SIZES; do
    $CLIENT ours "$n" $POP_PORT "box$n" bench 1 "$n" >> "$CSV"
    $CLIENT dovecot "$n" $DV_PORT "box$n" bench 1 "$n" >> "$CSV"
  done
done
stop_ours
kill "$DV_PID" 2>/dev/null || true; DV_PID=""
POP3_TABLE=$(python3 - "$CSV" $SIZES <<'PY'
import csv, statistics, sys
rows = list(csv.reader(open(sys.argv[1])))
print("POP3 login + STAT + LIST + QUIT, one poplib client, median of %d runs (seconds)" % (len(rows) // (2 * (len(sys.argv) - 2))))
print("%-10s %10s %16s %8s" % ("messages", "ours", "Dovecot (warm)", "ratio"))
for n in sys.argv[2:]:
    o = statistics.median(float(r[4]) for r in rows if r[0] == "ours" and r[1] == n)
    d = statistics.median(float(r[4]) for r in rows if r[0] == "dovecot" and r[1] == n)
    print("%-10s %10.3f %16.3f %8.2f" % (n, o, d, o / d))
PY
)
echo "$POP3_TABLE"
fi

# ---- 2. SMTP acceptance with 0 and with $WAITING items waiting ----
SH="$WORK/smtp"
mkdir -p "$SH/MAILIN/user1"
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=%d\r\npop3port=0\r\nMaxSessions=400\r\nDeliveryDelay=30000\r\nDeliveryDelayUnit=1\r\n' \
  $SMTP_PORT > "$SH/NEXUM2.INI"
printf 'user1:*:0\r\n' > "$SH/mailbox.cfg"
printf '[ALIAS]\r\nn=1\r\n0=*\tuser1@example.test\r\n[END_ALIAS]\r\n' > "$SH/MAILIN/user1/MEMBERS.INI"
listening() {  # port: true once a socket listens on it (no connection is made)
  for _ in $(seq 1 600); do
    [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; return 1
}
held_waiting() {  # waiting: how many of the items 0..waiting-1 are still in INQUEUE
  python3 -c "import os, sys; n = int(sys.argv[2]); print(sum(os.path.exists(os.path.join(sys.argv[1], 'M%07d.TMP' % i)) for i in range(n)))" "$SH/INQUEUE" "$1"
}
smtp_rate() {  # waiting sessions [unheld] -> messages per second
  rm -rf "$SH/INQUEUE"
  if [ "$1" -eq 0 ]; then
    mkdir "$SH/INQUEUE"
  else
    cp -al "$WORK/seed/INQUEUE" "$SH/INQUEUE"
  fi
  if [ "$1" -gt 0 ] && [ -z "${3:-}" ]; then
    python3 "$ROOT/bench/hold_items.py" "$SH/INQUEUE" "$1" > "$WORK/hold.out" &
    HOLD_PID=$!
    for _ in $(seq 1 1200); do grep -q held "$WORK/hold.out" && break; sleep 0.1; done
    grep -q held "$WORK/hold.out" || { echo "the waiting items are not held" >&2; exit 1; }
  fi
  sync
  start_ours "$SH"
  listening $SMTP_PORT
  sleep 2  # the start-up distribution run (it passes the held items over)
  python3 "$ROOT/bench/smtp_rate_client.py" $SMTP_PORT "$2" "$SMTP_COUNT" 2048
  local waiting
  waiting=$(held_waiting "$1")
  [ "$waiting" -eq "$1" ] || [ -n "${3:-}" ] || { echo "INQUEUE holds $waiting of the $1 waiting items" >&2; exit 1; }
  [ -z "${3:-}" ] || echo "unheld: $waiting of the $1 waiting items left after the run" >&2
  stop_ours
  if [ -n "$HOLD_PID" ]; then kill "$HOLD_PID"; wait "$HOLD_PID" 2>/dev/null || true; HOLD_PID=""; fi
  # Removed now, not before the next case: the file system's work of a large removal (freeing,
  # discards) then falls before every case alike.
  rm -rf "$SH/INQUEUE"
  sync
}
declare -A SMTP_FIG
if part smtp; then
CASES="0 $WAITING"
[ "${UNHELD:-0}" = 1 ] && CASES="$CASES unheld"
for run in $(seq 1 "$RUNS"); do
  # The order of the cases turns round from one run to the next.
  order=$CASES
  [ $((run % 2)) -eq 0 ] && order=$(echo "$CASES" | tr ' ' '\n' | tac | tr '\n' ' ')
  for s in $SESSIONS; do
    for w in $order; do
      if [ "$w" = unheld ]; then
        SMTP_FIG[unheld,$s]="${SMTP_FIG[unheld,$s]:-} $(smtp_rate "$WAITING" "$s" unheld)"
      else
        SMTP_FIG[$w,$s]="${SMTP_FIG[$w,$s]:-} $(smtp_rate "$w" "$s")"
      fi
    done
  done
done
SMTP_TABLE=$(
  echo "SMTP acceptance, $SMTP_COUNT messages of 2 KB, median of $RUNS runs (messages/s)"
  printf "%-10s %14s %22s %8s\n" "sessions" "none waiting" "$WAITING waiting" "ratio"
  for s in $SESSIONS; do
    a=$(echo ${SMTP_FIG[0,$s]} | median); b=$(echo ${SMTP_FIG[$WAITING,$s]} | median)
    printf "%-10s %14.1f %22.1f %8.2f\n" "$s" "$a" "$b" "$(python3 -c "print($b / $a)")"
    echo "  runs: none waiting:${SMTP_FIG[0,$s]} | $WAITING waiting:${SMTP_FIG[$WAITING,$s]}"
    if [ "${UNHELD:-0}" = 1 ]; then
      c=$(echo ${SMTP_FIG[unheld,$s]} | median)
      printf "  %d waiting, not held (distributed meanwhile): median %.1f, ratio %.2f; runs:%s\n" \
        "$WAITING" "$c" "$(python3 -c "print($c / $a)")" "${SMTP_FIG[unheld,$s]}"
    fi
  done
)
echo "$SMTP_TABLE"
fi

# ---- 3. Distribution into empty and into full mailboxes ----
# Each case twice: plain accounts, and accounts with vacation and auto-reply on whose texts are
# absent (each copy then looks for them in the mailbox and in the home).
E=""; F=""; ER=""; FR=""
if part dist; then
dist_rate() {  # stored [replies]
  "$ROOT/build-bench/bench/distribution_bench" "$DIST_COUNT" "$WORK" "$@" | sed -E 's/.* ([0-9.]+) messages\/s.*/\1/'
}
for _ in $(seq 1 "$DIST_RUNS"); do
  E="$E $(dist_rate 0)"
  F="$F $(dist_rate "$DIST_STORED")"
  ER="$ER $(dist_rate 0 replies)"
  FR="$FR $(dist_rate "$DIST_STORED" replies)"
done
DIST_TABLE=$(
  echo "Distribution of $DIST_COUNT messages x 3 local recipients, median of $DIST_RUNS runs (messages/s)"
  printf "%-34s %16s %22s %8s\n" "accounts" "empty mailboxes" "$DIST_STORED stored in each" "ratio"
  a=$(echo $E | median); b=$(echo $F | median)
  printf "%-34s %16.1f %22.1f %8.2f\n" "plain" "$a" "$b" "$(python3 -c "print($b / $a)")"
  a=$(echo $ER | median); b=$(echo $FR | median)
  printf "%-34s %16.1f %22.1f %8.2f\n" "vacation, auto-reply (texts absent)" "$a" "$b" "$(python3 -c "print($b / $a)")"
  echo "  runs: empty:$E | full:$F | replies, empty:$ER | replies, full:$FR"
)
echo "$DIST_TABLE"
fi

echo
echo "==== summary (one run) ===="
echo "$POP3_TABLE"; echo; echo "$SMTP_TABLE"; echo; echo "$DIST_TABLE"
