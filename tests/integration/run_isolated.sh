#!/bin/sh
# Runs a command in a private network namespace with only loopback, so that no test can reach
# or look a name up outside this machine. Needs root (CI and the test command run as root).
set -e
if [ "$(id -u)" -ne 0 ]; then
  echo "run_isolated: root is needed for a private network namespace" >&2
  exit 1
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' run_isolated "$@"
