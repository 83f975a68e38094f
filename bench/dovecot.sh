# Shared by the POP3 benchmarks: a Dovecot that serves POP3 only, on 127.0.0.1, from maildirs
# under $1/mail/<user>/Maildir, with plain passwords from $1/users (written by the caller), in a
# base directory of its own. isolate_with_dovecot SCRIPT ARGS... installs Dovecot when missing
# and runs the calling script again in a private network namespace (loopback only), once;
# start_dovecot DIR PORT INSTANCE starts Dovecot and sets DV_PID. Needs ROOT.
# shellcheck shell=bash
isolate_with_dovecot() {
  local script=$1
  shift
  if [ ! -x /usr/sbin/dovecot ] || ! dpkg-query -W -f='${Status}' dovecot-pop3d 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends dovecot-core dovecot-pop3d >/dev/null
  fi
  if [ -z "${QV_BENCH_ISOLATED:-}" ]; then
    export QV_BENCH_ISOLATED=1
    exec "$ROOT/tests/integration/run_isolated.sh" bash "$script" "$@"
  fi
}

start_dovecot() {
  local D=$1 port=$2 instance=$3
  mkdir -p "$D/run" "$D/state"
  chown -R nobody:nogroup "$D/mail"
  cat > "$D/dovecot.conf" <<CONF
instance_name = $instance
base_dir = $D/run
state_dir = $D/state
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
log_path = $D/dovecot.log
mail_location = maildir:$D/mail/%u/Maildir
first_valid_uid = 65534
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $D/users
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=$D/mail/%u
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $port
  }
  inet_listener pop3s {
    port = 0
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
CONF
  /usr/sbin/dovecot -c "$D/dovecot.conf"
  DV_PID=$(cat "$D/run/master.pid" 2>/dev/null || true)
}
