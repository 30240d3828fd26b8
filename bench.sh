#!/usr/bin/env bash
# Builds the release preset and runs every benchmark program; each prints its
# figures against the baseline it measures in the same run.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
for bench in build/release/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
# The divert loop against a direct netfilter-queue loop, between network
# namespaces it makes (root only; it says so and skips otherwise).
echo "== divert_bench.sh"
./bench/divert_bench.sh build/release
# The whole service's pass-through against the bare divert loop, the same way
# (root only; skipped otherwise).
echo "== dovadod_bench.sh"
./bench/dovadod_bench.sh build/release
