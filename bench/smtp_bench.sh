#!/usr/bin/env bash
# SMTP inbound benchmark: Postfix's smtp-source sends the same 4 KB messages to our server and to
# a Postfix on another loopback port, in one run, with 1 and 20 parallel sessions, and prints
# messages per second for both and their ratio; then the peak memory of our server with 300 idle
# sessions open. Runs as root inside a private network namespace (loopback only); Postfix's own
# configuration is kept aside and restored at the end.
# Each figure is the median of RUNS runs, ours and Postfix's alternating (disk sync times vary).
#   COUNT (2000) SIZE (4096) SESSIONS ("1 20") RUNS (3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v smtp-source >/dev/null || ! command -v bc >/dev/null; then
  echo "postfix/postfix main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends postfix bc >/dev/null
fi
# A pid file left by a master that is gone would make "postfix start" refuse.
pgrep -x master >/dev/null || rm -f /var/spool/postfix/pid/master.pid
if [ -z "${QV_BENCH_ISOLATED:-}" ]; then
  export QV_BENCH_ISOLATED=1
  exec "$ROOT/tests/integration/run_isolated.sh" bash "$0" "$@"
fi
COUNT=${COUNT:-2000}; SIZE=${SIZE:-4096}; SESSIONS=${SESSIONS:-"1 20"}; RUNS=${RUNS:-3}
OUR_PORT=2626; PF_PORT=2625
WORK=$(mktemp -d /tmp/qvbench.XXXXXX)

cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
ninja -C "$ROOT/build-bench" quorvale >/dev/null

# Our server: a home with one account.
mkdir -p "$WORK/windir" "$WORK/home/MAILIN/user1"
printf '[Settings]\r\nHomeDir=%s\r\n' "$WORK/home" > "$WORK/windir/TORVIK.INI"
printf '[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=%d\r\npop3port=0\r\nMaxSessions=400\r\n' \
  $OUR_PORT > "$WORK/home/NEXUM2.INI"
printf 'user1:*:0\r\n' > "$WORK/home/mailbox.cfg"
printf '[ALIAS]\r\nn=1\r\n0=*\tuser1@example.test\r\n[END_ALIAS]\r\n' > "$WORK/home/MAILIN/user1/MEMBERS.INI"
WINDIR="$WORK/windir" "$ROOT/build-bench/app/quorvale" -service </dev/null >"$WORK/server.log" 2>&1 &
OUR_PID=$!

# Postfix: example.test delivered to a virtual maildir, nothing relayed.
PFCONF=/etc/postfix
cp -p $PFCONF/main.cf "$WORK/main.cf.orig"; cp -p $PFCONF/master.cf "$WORK/master.cf.orig"
restore() {
  postfix stop >/dev/null 2>&1 || true
  cp -p "$WORK/main.cf.orig" $PFCONF/main.cf; cp -p "$WORK/master.cf.orig" $PFCONF/master.cf
  kill $OUR_PID 2>/dev/null || true
  wait $OUR_PID 2>/dev/null || true
  rm -rf "$WORK"
}
trap restore EXIT
mkdir -p "$WORK/vmail"; chown -R 5000:5000 "$WORK/vmail" 2>/dev/null || true
getent group vmail >/dev/null || groupadd -g 5000 vmail
getent passwd vmail >/dev/null || useradd -u 5000 -g vmail -M -s /usr/sbin/nologin vmail
chown -R vmail:vmail "$WORK/vmail"
echo "user1@example.test example.test/user1/" > $PFCONF/bench_vmailbox
postmap $PFCONF/bench_vmailbox
postconf -e "myhostname = mail.example.test" "mydestination = localhost" \
  "inet_interfaces = 127.0.0.1" "inet_protocols = ipv4" "mynetworks = 127.0.0.0/8" \
  "smtp_dns_support_level = disabled" "smtpd_peername_lookup = no" \
  "default_transport = error:no relaying" "relayhost =" \
  "virtual_mailbox_domains = example.test" "virtual_mailbox_base = $WORK/vmail" \
  "virtual_mailbox_maps = hash:$PFCONF/bench_vmailbox" "virtual_uid_maps = static:5000" \
  "virtual_gid_maps = static:5000" "alias_maps =" "alias_database =" \
  "smtpd_relay_restrictions = permit_mynetworks, reject"
sed -i -E "s/^smtp(\s+inet\s)/127.0.0.1:$PF_PORT\1/" $PFCONF/master.cf
postconf -F '*/*/chroot = n'
postfix start </dev/null >"$WORK/postfix-start.log" 2>&1 || { echo "postfix did not start:"; cat "$WORK/postfix-start.log"; exit 1; }

wait_port() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$1) 2>/dev/null && return 0; sleep 0.1; done; return 1; }
wait_port $OUR_PORT || { echo "our server did not start"; cat "$WORK/server.log"; exit 1; }
wait_port $PF_PORT || { echo "postfix did not start"; exit 1; }

rate() {  # port sessions -> messages per second
  local start end
  start=$(date +%s.%N)
  smtp-source -c -s "$2" -m "$COUNT" -l "$SIZE" -f sender@remote.test -t user1@example.test \
    -M client.test 127.0.0.1:"$1" >/dev/null
  end=$(date +%s.%N)
  echo "$COUNT / ($end - $start)" | bc -l
}
# Postfix delivers its queue in the background: wait for that to end, so that its disk work does
# not fall into our next measurement.
drain_postfix() {
  for _ in $(seq 600); do
    [ -z "$(find /var/spool/postfix/incoming /var/spool/postfix/active /var/spool/postfix/deferred \
      -type f 2>/dev/null | head -1)" ] && return 0
    sleep 0.1
  done
}
clear_ours() { find "$WORK/home/INQUEUE" -type f ! -name 'useqf*' -delete 2>/dev/null || true; }

# Warm-up of both, not counted.
COUNT_SAVE=$COUNT; COUNT=200
rate $OUR_PORT 10 >/dev/null; rate $PF_PORT 10 >/dev/null; drain_postfix; clear_ours
COUNT=$COUNT_SAVE
printf "%-30s %12s %12s %8s\n" "messages of $SIZE bytes" "ours msg/s" "postfix msg/s" "ratio"
median() { tr ' ' '\n' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for s in $SESSIONS; do
  o=""; t=""
  for _ in $(seq "$RUNS"); do
    clear_ours; sync
    o="$o $(rate $OUR_PORT "$s")"
    sync
    t="$t $(rate $PF_PORT "$s")"
    drain_postfix
  done
  ours=$(echo $o | median); theirs=$(echo $t | median)
  printf "%-30s %12.1f %12.1f %8.2f\n" "$COUNT messages, $s sessions" "$ours" "$theirs" \
    "$(echo "$ours / $theirs" | bc -l)"
done
stored=$(find "$WORK/home/INQUEUE" -name 'M*.TMP' | wc -l)
echo "messages stored by our server in the last run: $stored"

# Peak memory with 300 idle sessions.
python3 - "$OUR_PORT" "$OUR_PID" <<'PY'
import socket, sys, time
port, pid = int(sys.argv[1]), int(sys.argv[2])
def status(key):
    for line in open("/proc/%d/status" % pid):
        if line.startswith(key):
            return line.split(":")[1].strip()
before = status("VmRSS")
socks = [socket.create_connection(("127.0.0.1", port)) for _ in range(300)]
for s in socks:
    s.recv(256)
time.sleep(0.5)
print("300 idle sessions: VmRSS %s (before %s), VmHWM %s, threads %s" %
      (status("VmRSS"), before, status("VmHWM"), status("Threads")))
for s in socks:
    s.close()
PY
