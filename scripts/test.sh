#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit tests and the integration
# tests that start the real program, once in a normal build and once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero when any test fails.
source "$(dirname "$0")/common.sh"

install_packages

build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
echo "== tests (normal build)"
(cd "$ROOT/build" && ctest --output-on-failure -j2) || status=1
echo "== tests (sanitizer build)"
(cd "$ROOT/build-asan" && ctest --output-on-failure -j2) || status=1
exit $status
