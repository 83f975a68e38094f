#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
command -v pkg-config >/dev/null && pkg-config --exists gmime-3.0 || \
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends pkg-config libgmime-3.0-dev >/dev/null
cmake -S "$ROOT" -B "$ROOT/build-bench" >/dev/null
ninja -C "$ROOT/build-bench" accounts_bench distribution_bench mime_bench qvmime template_bench
echo "== accounts: 5,000 accounts x 3 aliases"
"$ROOT/build-bench/bench/accounts_bench" 5000
echo "== distribution: 2,000 queued 4 KB messages x 3 local recipients"
"$ROOT/build-bench/bench/distribution_bench" 2000
echo "== mail toolkit against GMime 3"
"$ROOT/build-bench/bench/mime_bench"
echo "== template engine: 50 KB template, 500 references, 50 directives"
"$ROOT/build-bench/bench/template_bench" 10000
echo "== a 200 MB message: parse and extract, peak memory"
python3 "$ROOT/bench/big_message_bench.py" "$ROOT/build-bench/toolkit/qvmime" 200
