#!/usr/bin/env bash
# Installs what is missing, builds the asan preset and runs every test, then
# builds the fuzz preset and runs each fuzz target over its corpus for a
# bounded time. ctest's summary closes the output.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=tests/fuzz/corpus/${name#fuzz_}
  scratch=$(mktemp -d)
  echo "fuzz: $name for ${fuzz_seconds}s"
  # New inputs go to the scratch folder; the committed corpus is only read.
  if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
      -artifact_prefix="$scratch/" "$scratch" "$corpus" >"$scratch/log" 2>&1; then
    tail -n 60 "$scratch/log"
    echo "fuzz: $name failed; artifacts in $scratch" >&2
    exit 1
  fi
  rm -rf "$scratch"
done

ctest --preset asan -j "$jobs"
