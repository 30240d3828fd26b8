#!/usr/bin/env bash
# Installs what is missing, builds the asan preset, then builds the fuzz preset
# and runs the fuzz targets over their corpora, `nproc` at a time, each for a
# bounded time (FUZZ_SECONDS, default 20); then builds and runs the concurrency
# tests under ThreadSanitizer; then runs every test. ctest's summary closes the
# output.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

# One target over its committed corpus (only read); new inputs and artifacts
# go to a scratch folder, kept only when the target fails.
fuzz_one() {
  local target=$1 name corpus scratch
  name=$(basename "$target")
  corpus=tests/fuzz/corpus/${name#fuzz_}
  scratch=$(mktemp -d)
  if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
      -artifact_prefix="$scratch/" "$scratch" "$corpus" >"$scratch/log" 2>&1; then
    echo "fuzz: $name failed; artifacts in $scratch" >&2
    tail -n 60 "$scratch/log"
    return 1
  fi
  rm -rf "$scratch"
}

failed=0
running=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  echo "fuzz: $(basename "$target") for ${fuzz_seconds}s"
  fuzz_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target failed" >&2
  exit 1
fi

# Only the concurrency tests and what they link. ThreadSanitizer cannot map its
# shadow memory when the kernel randomises more than 28 bits of mmap addresses.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
tsan_run=()
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
  tsan_run=(setarch "$(uname -m)" -R)
fi
"${tsan_run[@]}" ctest --preset tsan -L concurrency -j "$jobs"

ctest --preset asan -j "$jobs"
