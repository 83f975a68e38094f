#!/usr/bin/env bash
# Installs what the server needs, builds it, prepares a demo home directory inside the checkout
# (demo/windir with TORVIK.INI, demo/home with NEXUM2.INI for the domain example.test on the
# unprivileged ports 2525 for SMTP and 1110 for POP3) and runs the server in the foreground.
# Ctrl-C asks before it ends the server; SIGTERM (kill) stops it at once.
source "$(dirname "$0")/common.sh"

install_packages
build "$ROOT/build-demo" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF

DEMO="$ROOT/demo"
mkdir -p "$DEMO/windir" "$DEMO/home"
printf '[Settings]\r\nHomeDir=%s\r\n' "$DEMO/home" > "$DEMO/windir/TORVIK.INI"
if [ ! -f "$DEMO/home/NEXUM2.INI" ]; then
  printf '%s\r\n' '[SMTP]' 'Domain=example.test' 'LocalName=mail.example.test' \
    'IPaddress=127.0.0.1' 'smtpport=2525' 'pop3port=1110' > "$DEMO/home/NEXUM2.INI"
fi

# Three accounts: the postmaster and two users (passwords as the names; they are scrambled into
# MAILBOX.INI at the first save).
if [ ! -f "$DEMO/home/mailbox.cfg" ]; then
  printf '%s\r\n' 'master:*:0:0:0:0:0:0:0:0' 'alice:*:0:0:0:0:0:0:0:0' 'bob:*:0:0:0:0:0:0:0:0' \
    > "$DEMO/home/mailbox.cfg"
  for user in master alice bob; do
    mkdir -p "$DEMO/home/MAILIN/$user"
    printf '[SETUP]\r\nversion=2\r\nname=%s\r\nPassword=%s\r\nwebusage=1\r\n' "$user" "$user" \
      > "$DEMO/home/MAILIN/$user/MAILBOX.INI"
    printf '\r\n[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n' "$user" \
      > "$DEMO/home/MAILIN/$user/MEMBERS.INI"
  done
fi

echo "== demo home: $DEMO/home (WINDIR=$DEMO/windir)"
export WINDIR="$DEMO/windir"
exec "$ROOT/build-demo/app/quorvale" -server
