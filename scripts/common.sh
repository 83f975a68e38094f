# Shared by the set-up scripts: install the Debian packages the project needs, then build.
# shellcheck shell=bash
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages: compiler and build tools, GoogleTest, Python for the integration tests.
# clang and its runtime build the fuzz targets (libFuzzer).
# swaks and curl are the SMTP clients of the integration tests, fetchmail and curl POP3 clients; Python's test suite data and
# sharutils' uudecode and macutils' binhex are oracles of the mail toolkit's tests; the test data
# of python3-flufl.bounce and golang-github-jhillyerd-enmime-dev are real messages it is compared
# on, and time's /usr/bin/time -v reads the peak memory of its big-message test.
# dnsmasq and python3-dnslib (the scripted responder) are the DNS servers of the resolver's tests.
# postfix (its smtp-sink, and a private instance) and python3-aiosmtpd are the mail servers that the
# SMTP client delivers to in the outbound tests.
# dovecot-core and dovecot-pop3d are the remote POP3 server the POP3 client collects from, and
# fetchmail with them the benchmark's yardstick.
# libmicrohttpd is the web host's HTTP library; headless Chromium a client of the web tests; wrk
# and a private nginx the web benchmark.
PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev python3 util-linux iproute2
  clang libclang-rt-14-dev swaks curl fetchmail libpython3.11-testsuite sharutils macutils
  python3-flufl.bounce golang-github-jhillyerd-enmime-dev time
  dnsmasq-base python3-dnslib postfix python3-aiosmtpd libssl-dev dovecot-core dovecot-pop3d
  libmicrohttpd-dev chromium wrk nginx-light)

# Peers that Debian would start as system services when installed (package:service). The tests
# and benchmarks run private instances of their own on loopback, so when this script installs
# one, its system service is left stopped and disabled.
PEER_SERVICES=(nginx-light:nginx dovecot-core:dovecot)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    # The tests run private Postfix instances of their own: the system's Postfix is installed
    # unconfigured, so that installing it starts no mail server on port 25.
    if command -v debconf-set-selections >/dev/null; then
      echo "postfix postfix/main_mailer_type select No configuration" | as_root debconf-set-selections
    fi
    # A policy that forbids service starts while our packages are installed (removed after).
    local policy=/usr/sbin/policy-rc.d placed=""
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
      as_root chmod 755 "$policy"
      placed=1
    fi
    as_root apt-get update -q
    local rc=0
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" || rc=$?
    if [ -n "$placed" ]; then as_root rm -f "$policy"; fi
    [ $rc -eq 0 ] || return $rc
    local entry
    for entry in "${PEER_SERVICES[@]}"; do
      if [[ " ${missing[*]} " == *" ${entry%%:*} "* ]] && command -v systemctl >/dev/null; then
        as_root systemctl disable --now "${entry#*:}.service" >/dev/null 2>&1 || true
      fi
    done
  fi
}

# build DIR [cmake options...]
build() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}
