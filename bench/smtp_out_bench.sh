#!/usr/bin/env bash
# SMTP outbound benchmark: COUNT queued messages of about SIZE bytes drained to Postfix's
# smtp-sink on 127.0.0.2:25, by our server in relay mode and by Postfix's own queue, in one run;
# prints messages per second for both and their ratio. Runs as root inside a private network
# namespace (loopback only); Postfix's own configuration is kept aside and restored at the end.
#  - ours: the items are written into OUTQUEUE/MAILHUB with the server stopped (envelope first,
#    then the message renamed into place); timed from the server's start until the queue holds
#    no message (the first tick starts the run);
#  - Postfix: the same messages are taken in over SMTP while its SMTP delivery is deferred, put
#    on hold, then released and flushed (postsuper -H ALL; postqueue -f); timed until its queue
#    is empty.
#   COUNT (2000) SIZE (4096) RUNS (1)
#   STRACE=1: our drain of COUNT messages under strace instead (system calls per message).
#   QV_COMPARE=<another build of quorvale>: that build is measured too, in the same runs.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v smtp-sink >/dev/null || ! command -v bc >/dev/null; then
  echo "postfix/postfix main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends postfix bc >/dev/null
fi
if [ -z "${QV_BENCH_ISOLATED:-}" ]; then
  if pgrep -x master >/dev/null; then
    echo "a Postfix master runs already (another benchmark?): not touching it" >&2
    exit 1
  fi
  rm -f /var/spool/postfix/pid/master.pid  # left by a master that is gone
  export QV_BENCH_ISOLATED=1
  exec "$ROOT/tests/integration/run_isolated.sh" bash "$0" "$@"
fi
COUNT=${COUNT:-2000}; SIZE=${SIZE:-4096}; RUNS=${RUNS:-1}
SINK=127.0.0.2; PF_PORT=2625
WORK=$(mktemp -d /tmp/qvbench.XXXXXX)
FILL="python3 $ROOT/bench/smtp_out_fill.py"

cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
nice ninja -C "$ROOT/build-bench" quorvale >/dev/null
QV="$ROOT/build-bench/app/quorvale"

# The sink: discards every message; -c prints running counters.
smtp-sink -u nobody -c -h sink.test $SINK:25 1024 </dev/null >"$WORK/sink.out" 2>&1 &
SINK_PID=$!
OUR_PID=""
PFCONF=/etc/postfix
cp -p $PFCONF/main.cf "$WORK/main.cf.orig"; cp -p $PFCONF/master.cf "$WORK/master.cf.orig"
restore() {
  # "postfix stop" returns before its master has ended: wait for that process.
  local master
  master=$(tr -dc 0-9 2>/dev/null </var/spool/postfix/pid/master.pid || true)
  postfix stop >/dev/null 2>&1 || true
  if [ -n "$master" ]; then
    for _ in $(seq 100); do kill -0 "$master" 2>/dev/null || break; sleep 0.1; done
  fi
  cp -p "$WORK/main.cf.orig" $PFCONF/main.cf; cp -p "$WORK/master.cf.orig" $PFCONF/master.cf
  [ -n "$OUR_PID" ] && kill "$OUR_PID" 2>/dev/null && wait "$OUR_PID" 2>/dev/null || true
  kill $SINK_PID 2>/dev/null || true
  wait $SINK_PID 2>/dev/null || true
  rm -rf "$WORK"
}
trap restore EXIT

sink_count() { tr '\r' '\n' <"$WORK/sink.out" | sed -n 's/.*mesg=\([0-9]*\).*/\1/p' | tail -1; }
now() { date +%s.%N; }

# Our server: relay mode to the sink, no listeners, client logs off (as a busy site runs it).
our_home() {
  rm -rf "$WORK/qv"; mkdir -p "$WORK/qv/windir" "$WORK/qv/home"
  printf '[Settings]\r\nHomeDir=%s\r\n' "$WORK/qv/home" >"$WORK/qv/windir/TORVIK.INI"
  printf '[SMTP]\r\nDomain=example.test\r\nsmtpport=0\r\npop3port=0\r\nMailHub=%s\r\nMailHubEnabled=1\r\nMailHubPort=25\r\nlowsmtpclog=0\r\nsmtpclog=0\r\n' \
    $SINK >"$WORK/qv/home/NEXUM2.INI"
  $FILL queue "$WORK/qv/home/OUTQUEUE/MAILHUB" "$COUNT" "$SIZE"
  sync
}
our_queue_left() { find "$WORK/qv/home/OUTQUEUE/MAILHUB" -maxdepth 1 -iname 'M*.MIM' | head -1; }
ours() {  # [program] -> messages per second
  local start end before program=${1:-$QV}
  our_home
  before=$(sink_count); before=${before:-0}
  start=$(now)
  WINDIR="$WORK/qv/windir" "$program" -server </dev/null >"$WORK/qv/server.log" 2>&1 &
  OUR_PID=$!
  for _ in $(seq 6000); do [ -z "$(our_queue_left)" ] && break; sleep 0.05; done
  end=$(now)
  # The server's processor time (user and system, in clock ticks) for the drain, to stderr.
  awk -v hz="$(getconf CLK_TCK)" -v t="$(echo "$end - $start" | bc -l)" \
    '{printf "ours: %.2f s of processor time (user %.2f, system %.2f) in %.2f s\n", ($14+$15)/hz, $14/hz, $15/hz, t}' \
    /proc/$OUR_PID/stat >&2
  kill $OUR_PID; wait $OUR_PID || true; OUR_PID=""
  [ -z "$(our_queue_left)" ] || { echo "our queue did not drain" >&2; exit 1; }
  sleep 0.3
  local got=$(( $(sink_count) - before ))
  [ "$got" -ge "$COUNT" ] || echo "warning: the sink counted $got of $COUNT from us" >&2
  echo "$COUNT / ($end - $start)" | bc -l
}

if [ -n "${STRACE:-}" ]; then
  our_home
  # -tt: each call's time, to tell the waits for the sink's replies from our own work.
  WINDIR="$WORK/qv/windir" strace -f -tt -T -o "$WORK/strace.txt" "$QV" -server </dev/null >/dev/null 2>&1 &
  OUR_PID=$!
  for _ in $(seq 6000); do [ -z "$(our_queue_left)" ] && break; sleep 0.05; done
  # The server itself is stopped (strace would only detach): its published id.
  kill "$(sed -n 's/^srvthread=\([0-9]*\).*/\1/p' "$WORK/qv/home/QUORVALE.INI")"
  wait $OUR_PID || true; OUR_PID=""
  echo "system calls of our server draining $COUNT messages (start-up included):"
  python3 "$ROOT/bench/strace_summary.py" "$WORK/strace.txt" "$COUNT"
  exit 0
fi

# Postfix: takes mail on 127.0.0.1:$PF_PORT, sends remote.test to the sink, nothing else.
postconf -e "myhostname = mail.example.test" "mydomain = example.test" "mydestination = localhost" \
  "inet_interfaces = 127.0.0.1" "inet_protocols = ipv4" "mynetworks = 127.0.0.0/8" \
  "smtp_dns_support_level = disabled" "smtp_host_lookup = native" "smtpd_peername_lookup = no" \
  "default_transport = error:no relaying" "relay_transport = error:no relaying" "relayhost =" \
  "relay_domains = remote.test" "transport_maps = hash:$PFCONF/bench_out_transport" \
  "alias_maps =" "alias_database =" "smtpd_relay_restrictions = permit_mynetworks, reject" \
  "smtpd_recipient_restrictions =" "defer_transports = smtp"
echo "remote.test smtp:[$SINK]:25" >$PFCONF/bench_out_transport
postmap $PFCONF/bench_out_transport
sed -i -E "s/^smtp(\s+inet\s)/127.0.0.1:$PF_PORT\1/" $PFCONF/master.cf
postconf -F '*/*/chroot = n'
postsuper -d ALL >/dev/null 2>&1 || true
postfix start </dev/null >"$WORK/postfix-start.log" 2>&1 || { echo "postfix did not start:"; cat "$WORK/postfix-start.log"; exit 1; }
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$PF_PORT) 2>/dev/null && break; sleep 0.1; done

pf_files() { find /var/spool/postfix/{incoming,active,deferred,maildrop,hold} -type f 2>/dev/null | wc -l; }
theirs() {  # -> messages per second
  local start end before
  postconf -e "defer_transports = smtp"; postfix reload >/dev/null 2>&1; sleep 1
  $FILL inject 127.0.0.1:$PF_PORT "$COUNT" "$SIZE"
  for _ in $(seq 600); do   # until every message waits in 'deferred'
    [ "$(find /var/spool/postfix/{incoming,active,maildrop} -type f | wc -l)" = 0 ] && break; sleep 0.1
  done
  postsuper -h ALL 2>/dev/null
  postconf -e "defer_transports ="; postfix reload >/dev/null 2>&1; sleep 1; sync
  before=$(sink_count); before=${before:-0}
  start=$(now)
  postsuper -H ALL 2>/dev/null && postqueue -f
  for _ in $(seq 6000); do [ "$(pf_files)" = 0 ] && break; sleep 0.05; done
  end=$(now)
  [ "$(pf_files)" = 0 ] || { echo "Postfix's queue did not drain" >&2; exit 1; }
  sleep 0.3
  local got=$(( $(sink_count) - before ))
  [ "$got" -ge "$COUNT" ] || echo "warning: the sink counted $got of $COUNT from Postfix" >&2
  echo "$COUNT / ($end - $start)" | bc -l
}

printf "%-34s %12s %14s %8s\n" "drain of $SIZE-byte messages" "ours msg/s" "postfix msg/s" "ratio"
for run in $(seq "$RUNS"); do
  if [ -n "${QV_COMPARE:-}" ]; then
    c=$(ours "$QV_COMPARE")
    printf "%-34s %12.1f\n" "$COUNT messages, run $run, compared" "$c"
  fi
  o=$(ours); t=$(theirs)
  printf "%-34s %12.1f %14.1f %8.2f\n" "$COUNT messages, run $run" "$o" "$t" "$(echo "$o / $t" | bc -l)"
done
