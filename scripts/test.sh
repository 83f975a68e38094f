#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit tests and the integration
# tests that start the real program, once in a normal build and once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero when any test fails.
source "$(dirname "$0")/common.sh"

install_packages

build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=ON
build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_TESTS=ON
build "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_TESTS=ON
CXX=clang++ build "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_FUZZ=ON \
  -DQV_TESTS=OFF

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
passed=0
failed=0
# run_ctest DIR: runs the build's tests and adds their counts to the totals.
run_ctest() {
  local log="$1/ctest-summary.log"
  (cd "$1" && ctest --output-on-failure -j2) | tee "$log" || status=1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
  if [ -z "$line" ]; then status=1; return; fi
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}
echo "== tests (normal build)"
run_ctest "$ROOT/build"
echo "== tests (sanitizer build)"
run_ctest "$ROOT/build-asan"
echo "== tests (thread sanitizer build)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$ROOT/build-tsan"
echo "== fuzz targets (bounded runs)"
for target in "$ROOT"/*/fuzz/corpus/*; do
  name=$(basename "$target")
  module=$(basename "$(dirname "$(dirname "$(dirname "$target")")")")
  work=$(mktemp -d)
  cp "$target"/* "$work"/
  if "$ROOT/build-fuzz/$module/${name}_fuzz" -max_total_time="${FUZZ_SECONDS:-30}" \
      -max_len=4096 "$work" > "$ROOT/build-fuzz/${name}_fuzz.log" 2>&1; then
    echo "fuzz $name: clean, $(grep -oE 'Done [0-9]+ runs' "$ROOT/build-fuzz/${name}_fuzz.log")"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED"; tail -40 "$ROOT/build-fuzz/${name}_fuzz.log"; status=1
    failed=$((failed + 1))
  fi
  rm -rf "$work"
done
[ $failed -gt 0 ] && status=1
echo "$passed passed, $failed failed"
exit $status
