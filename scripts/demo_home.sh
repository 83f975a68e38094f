#!/usr/bin/env bash
# Prepares the demo installation in DIR (default: demo/ in the checkout): DIR/windir with
# TORVIK.INI, DIR/home with NEXUM2.INI for the domain example.test on the unprivileged ports 2525
# for SMTP and 1110 for POP3, and the accounts master, alice and bob. Files that exist are kept.
set -euo pipefail

DEMO=${1:-"$(cd "$(dirname "$0")/.." && pwd)/demo"}
mkdir -p "$DEMO/windir" "$DEMO/home"
printf '[Settings]\r\nHomeDir=%s\r\n' "$DEMO/home" > "$DEMO/windir/TORVIK.INI"
# A demo sends no mail out on its own: NoExternalDelivery keeps the default queue for forced runs
# (the console's `send`); set a relay host or DNS servers first (README, "Outbound delivery").
if [ ! -f "$DEMO/home/NEXUM2.INI" ]; then
  printf '%s\r\n' '[SMTP]' 'Domain=example.test' 'LocalName=mail.example.test' \
    'IPaddress=127.0.0.1' 'smtpport=2525' 'pop3port=1110' 'NoExternalDelivery=1' \
    > "$DEMO/home/NEXUM2.INI"
fi

# The web extension's settings: the web files under the URL prefix /files/ from DIR/www.
if ! grep -qi '^\[Kaldor\]' "$DEMO/home/NEXUM2.INI"; then
  printf '%s\r\n' '[Kaldor]' 'webroot=files' "webrootdir=$DEMO/www" 'kaldoralias=kaldor.dll' \
    >> "$DEMO/home/NEXUM2.INI"
fi
mkdir -p "$DEMO/www"
if [ ! -f "$DEMO/www/index.html" ]; then
  printf '%s\n' '<html><head><title>Quorvale demo</title></head><body>' \
    '<p><a href="/kaldor.dll?Install&amp;_but=Install&amp;_jid=0&amp;_acc=master">Install page</a></p>' \
    '</body></html>' > "$DEMO/www/index.html"
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
