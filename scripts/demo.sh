#!/usr/bin/env bash
# Installs what the server needs, builds it, prepares a demo home directory inside the checkout
# (scripts/demo_home.sh: demo/windir with TORVIK.INI, demo/home for the domain example.test on
# the unprivileged ports 2525 for SMTP and 1110 for POP3) and runs the server in the foreground.
# The server takes the console's commands from the terminal (status, send, distribute, clear,
# exit...); exit and Ctrl-C ask before they end the server; SIGTERM (kill) stops it at once.
# Beside it the web host kaldor-host serves the web extension at http://127.0.0.1:8080/kaldor.dll
# and the web files of demo/www at http://127.0.0.1:8080/files/ (KALDOR_PORT changes the port);
# it is stopped when the server ends.
source "$(dirname "$0")/common.sh"

install_packages
build "$ROOT/build-demo" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF

DEMO="$ROOT/demo"
bash "$ROOT/scripts/demo_home.sh" "$DEMO"

echo "== demo home: $DEMO/home (WINDIR=$DEMO/windir)"
export WINDIR="$DEMO/windir"
"$ROOT/build-demo/web/host/kaldor-host" --port "${KALDOR_PORT:-8080}" \
  --access-log "$DEMO/home/kaldor-access.log" &
KALDOR_PID=$!
trap 'kill "$KALDOR_PID" 2>/dev/null; wait "$KALDOR_PID" 2>/dev/null' EXIT
echo "== web: http://127.0.0.1:${KALDOR_PORT:-8080}/files/ and /kaldor.dll (process $KALDOR_PID)"
"$ROOT/build-demo/app/quorvale" -server
