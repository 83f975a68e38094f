#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
ninja -C "$ROOT/build-bench" accounts_bench
echo "== accounts: 5,000 accounts x 3 aliases"
"$ROOT/build-bench/bench/accounts_bench" 5000
