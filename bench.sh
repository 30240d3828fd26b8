#!/usr/bin/env bash
# Builds the release preset and runs every benchmark program; each prints its
# figures against the baseline it measures in the same run. Ends with one line
# per target, met or missed, and exits non-zero when one is missed.
set -euo pipefail
cd "$(dirname "$0")"

# Not a terminal: no colour escapes. The benchmark programs are told; whatever
# else colours its output is stripped.
if [ ! -t 1 ] && [ -z "${BENCH_PLAIN:-}" ]; then
  set +e
  BENCH_PLAIN=1 "./$(basename "$0")" "$@" | sed -u 's/\x1b\[[0-9;]*[A-Za-z]//g'
  exit "${PIPESTATUS[0]}"
fi
color=()
[ -n "${BENCH_PLAIN:-}" ] && color=(--benchmark_color=false)

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
for bench in build/release/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" "${color[@]}" "$@"
done
# The divert loop against a direct netfilter-queue loop, between network
# namespaces it makes (root only; it says so and skips otherwise).
echo "== divert_bench.sh"
./bench/divert_bench.sh build/release
# The whole service's pass-through against the bare divert loop and the floor
# of any queue capture, the same way (root only; skipped otherwise). It prints
# the targets; a miss is reported at the end, after everything has run.
echo "== dovadod_bench.sh"
report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
./bench/dovadod_bench.sh build/release | tee "$report" || status=$?
# Outbound shaping by the service against the kernel's HTB at the same rates,
# the same way (root only; skipped otherwise).
echo "== hfsc_shaping_bench.sh"
./bench/hfsc_shaping_bench.sh build/release | tee -a "$report" || status=$?

# The tunnel (dovadod with the test hub) against OpenVPN on the same
# namespaces, the same way (root only; skipped otherwise).
echo "== tunnel_bench.sh"
./bench/tunnel_bench.sh build/release | tee -a "$report" || status=$?

echo "== targets"
grep '^target: ' "$report" | sed 's/^target: //' || { echo "no targets reported"; status=1; }
exit "$status"
