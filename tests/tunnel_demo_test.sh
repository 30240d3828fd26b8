#!/usr/bin/env bash
# tools/testhub/demo.sh twice in a row on this build: each run gets every ping
# through the tunnel and shows the page and the hub's stats, and no run
# leaves a namespace, an iptables rule in this namespace, a process or a
# temporary file behind. Needs root; exits 77 (skipped) otherwise.
#
#   tests/tunnel_demo_test.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "tunnel_demo_test: needs root to make network namespaces; skipped"
  exit 77
fi
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The demo's temporary files go here, so that any left is seen.
tmp=$scratch/tmp
mkdir "$tmp"
# Every process the demo starts inherits the mark.
mark=tunnel-demo-test-$$-$RANDOM

fail() {
  echo "tunnel_demo_test: $*" >&2
  cat "$scratch/out" >&2
  exit 1
}
rules() { iptables-save | sed -e '/^#/d' -e 's/\[[0-9]*:[0-9]*\]//g'; }
rules_before=$(rules)

for run in 1 2; do
  status=0
  env TMPDIR="$tmp" TUNNEL_DEMO_TEST_MARK="$mark" \
    timeout -k 5 100 tools/testhub/demo.sh "$build" >"$scratch/out" 2>&1 || status=$?
  for ns in $(sed -n 's/^tunnel-demo: namespaces \([^ ]*\) (client) and \([^ ]*\) .*/\1 \2/p' \
    "$scratch/out"); do
    ! ip netns list | grep -qw "$ns" || fail "run $run: namespace $ns left"
  done
  [ "$(rules)" = "$rules_before" ] || fail "run $run: iptables rules changed in this namespace"
  left=$(grep -lsa -- "TUNNEL_DEMO_TEST_MARK=$mark" /proc/[0-9]*/environ || true)
  [ -z "$left" ] || fail "run $run: processes left: $left"
  [ -z "$(ls -A "$tmp")" ] || fail "run $run: temporary files left: $(ls -A "$tmp")"
  [ "$status" -eq 0 ] || fail "run $run: exit $status"
  grep -q ' 5 received' "$scratch/out" || fail "run $run: the ping did not get through"
  grep -q '^  \[{"dsps_overlay_ip":"100.64.0.1",.*"dsps_remote_up":true,' "$scratch/out" ||
    fail "run $run: the page does not list the hub's path up"
  grep -q '^  {.*"established":true' "$scratch/out" || fail "run $run: no connection in the hub's stats"
done
echo "tunnel_demo_test: 2 runs, nothing left behind"
