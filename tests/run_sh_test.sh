#!/usr/bin/env bash
# A stock ./run.sh, started in a network namespace of the test's own with the
# build already done, prints where its log file is and logs nothing at error
# level or above before the service says it captures. Needs root; exits 77
# (skipped) otherwise.
#
#   tests/run_sh_test.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "run_sh_test: needs root to make a network namespace; skipped"
  exit 77
fi
preset=$1
ns=dvrunsh$$
root=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "run_sh_test: $*" >&2
  cat "$root/out" >&2
  exit 1
}

ip netns add "$ns"
ip -n "$ns" link set lo up
# A host that runs run.sh has a network: a link with an address and a default
# route (the gateway need not answer), where the service finds its best
# interface. A veth pair, both ends in the namespace: no dummy links here.
ip -n "$ns" link add e0 type veth peer name e1
ip -n "$ns" addr add 192.0.2.10/24 dev e0
ip -n "$ns" link set e0 up
ip -n "$ns" link set e1 up
ip -n "$ns" route add default via 192.0.2.1 dev e0
# `ip netns exec` and run.sh both exec, so the pid becomes the service's.
DOVADOD_ROOT=$root/root DOVADOD_PRESET=$preset ip netns exec "$ns" ./run.sh >"$root/out" 2>&1 &
pid=$!
# The first line that says the service captures.
ready='^dovadod: capturing |consumer packet thread started\.'
for _ in $(seq 300); do
  grep -Eq "$ready" "$root/out" && break
  kill -0 "$pid" 2>/dev/null || fail "run.sh ended before the service was ready"
  sleep 0.05
done
grep -Eq "$ready" "$root/out" || fail "the service was not ready within 15 s"

log=$(sed -n 's/.*its log file is \([^ ]*\) .*/\1/p' "$root/out")
[ "$log" = "$root/root/var/log/Corvex/pellar/Logs/cxtarndebuglog.log" ] ||
  fail "run.sh named the log file '$log'"
grep -q ' starting ======' "$log" || fail "no start banner in $log"

# The service logs every captive-portal status at error level, the one
# provisioned too, and the example's overlay file names no hub, which the
# overlay reports once at error level; anything else at error level or above
# is a fault.
no_hubs=' OstrelOverlay::connect_to_all_peers no hubs available to connect$'
errors=$(awk -v ready="$ready" '$0 ~ ready {exit} {print}' "$root/out" |
  grep -E '^[0-9/]+ [0-9:.]+ [^ ]+ [^ ]+ [^ ]+ (error|critical) ' || true)
others=$(printf '%s\n' "$errors" | sed '/^$/d' |
  grep -v ' CaptivePortal::UpdateCaptivePortalStatus Captive Portal status changed to: notdetected$' |
  grep -v -- "$no_hubs" || true)
[ -z "$others" ] || fail "error lines before the service was ready:
$others"
hubs=$(printf '%s\n' "$errors" | grep -c -- "$no_hubs" || true)
[ "$hubs" -eq 1 ] || fail "\"no hubs available to connect\" logged $hubs times, not once"
echo "run_sh_test: no error line before the service was ready but the one for no hub"
