#!/usr/bin/env bash
# Installs what the server needs, builds it, prepares a demo home directory inside the checkout
# (scripts/demo_home.sh: demo/windir with TORVIK.INI, demo/home for the domain example.test on
# the unprivileged ports 2525 for SMTP and 1110 for POP3) and runs the server in the foreground.
# The server takes the console's commands from the terminal (status, send, distribute, clear,
# exit...); exit and Ctrl-C ask before they end the server; SIGTERM (kill) stops it at once.
source "$(dirname "$0")/common.sh"

install_packages
build "$ROOT/build-demo" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF

DEMO="$ROOT/demo"
bash "$ROOT/scripts/demo_home.sh" "$DEMO"

echo "== demo home: $DEMO/home (WINDIR=$DEMO/windir)"
export WINDIR="$DEMO/windir"
exec "$ROOT/build-demo/app/quorvale" -server
