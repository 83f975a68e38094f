# Shared by the set-up scripts: install the Debian packages the project needs, then build.
# shellcheck shell=bash
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages: compiler and build tools, GoogleTest, Python for the integration tests.
# clang and its runtime build the fuzz targets (libFuzzer).
# swaks and curl are the SMTP clients of the integration tests, fetchmail and curl POP3 clients; Python's test suite data and
# sharutils' uudecode and macutils' binhex are oracles of the mail toolkit's tests.
# dnsmasq and python3-dnslib (the scripted responder) are the DNS servers of the resolver's tests.
# postfix (its smtp-sink, and a private instance) and python3-aiosmtpd are the mail servers that the
# SMTP client delivers to in the outbound tests.
# dovecot-core and dovecot-pop3d are the remote POP3 server the POP3 client collects from, and
# fetchmail with them the benchmark's yardstick.
PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev python3 util-linux iproute2
  clang libclang-rt-14-dev swaks curl fetchmail libpython3.11-testsuite sharutils macutils
  dnsmasq-base python3-dnslib postfix python3-aiosmtpd dovecot-core dovecot-pop3d)

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
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# build DIR [cmake options...]
build() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}
