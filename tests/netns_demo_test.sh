#!/usr/bin/env bash
# tools/netns-demo.sh twice in a row, then once more stopped by SIGINT while
# the service captures: the full runs get traffic through the service and count it, and no
# run leaves a namespace, a capture rule in this namespace, a process or a
# temporary file behind. Needs root; exits 77 (skipped) otherwise.
#
#   tests/netns_demo_test.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "netns_demo_test: needs root to make network namespaces; skipped"
  exit 77
fi
preset=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The demo's temporary files go here, so that any left is seen.
tmp=$scratch/tmp
mkdir "$tmp"
# Every process the demo starts inherits the mark.
mark=netns-demo-test-$$-$RANDOM

fail() {
  echo "netns_demo_test: $*" >&2
  cat "$scratch/out" >&2
  exit 1
}
# The host's rules without comments and counters (there may be none).
rules() { iptables-save | sed -e '/^#/d' -e 's/\[[0-9]*:[0-9]*\]//g'; }
rules_before=$(rules)

# Runs the demo to its end, or with "interrupt" sends it SIGINT, as Ctrl-C
# would, once the service captures; then looks for what it left.
demo() {  # run name, [interrupt]
  local run=$1 status=0 pid
  # An asynchronous command starts with SIGINT ignored, and bash could not
  # trap it: perl restores the default first.
  env TMPDIR="$tmp" DOVADOD_PRESET="$preset" NETNS_DEMO_TEST_MARK="$mark" \
    perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' tools/netns-demo.sh >"$scratch/out" 2>&1 &
  pid=$!
  if [ "${2:-}" = interrupt ]; then
    for _ in $(seq 300); do
      grep -q '^netns-demo: capture rules' "$scratch/out" && break
      sleep 0.05
    done
    grep -q '^netns-demo: capture rules' "$scratch/out" || fail "$run: the service did not start"
    kill -INT "$pid"
  fi
  wait "$pid" || status=$?
  local ns
  for ns in $(sed -n 's/^netns-demo: namespaces \([^ ]*\) .* and \([^ ]*\) .*/\1 \2/p' "$scratch/out"); do
    ! ip netns list | grep -qw "$ns" || fail "$run: namespace $ns left"
  done
  [ "$(rules)" = "$rules_before" ] || fail "$run: iptables rules changed in this namespace"
  local left
  left=$(grep -lsa -- "NETNS_DEMO_TEST_MARK=$mark" /proc/[0-9]*/environ || true)
  [ -z "$left" ] || fail "$run: processes left: $left"
  [ -z "$(ls -A "$tmp")" ] || fail "$run: temporary files left: $(ls -A "$tmp")"
  return "$status"
}

for run in 1 2; do
  demo "run $run" || fail "run $run failed"
  grep -q ' 5 received' "$scratch/out" || fail "run $run: ping did not get through"
  grep -q 'sec .* receiver' "$scratch/out" || fail "run $run: no iperf3 result"
  grep -Eq 'Capture counters: seen [1-9][0-9]*, stolen [1-9]' "$scratch/out" ||
    fail "run $run: the service counted nothing"
done
status=0
demo "interrupted run" interrupt || status=$?
[ "$status" -eq 130 ] || fail "interrupted run: exit $status, not 130 (SIGINT)"
echo "netns_demo_test: 3 runs, nothing left behind"
