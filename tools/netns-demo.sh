#!/usr/bin/env bash
# Shows the service at work without touching this machine's network: two
# network namespaces joined by a veth pair, `dovadod -console` on the example
# work directory in one (b), ping, a TCP transfer and UDP from the other (a),
# then what the service counted. Needs root. The namespaces, the processes and
# the temporary root (settings store and log) go away when it ends, however it
# ends.
#
#   tools/netns-demo.sh [LOG_COPY]    LOG_COPY: where to keep a copy of the log
#
# DOVADOD_PRESET picks the build, as for ./run.sh (default release).
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "netns-demo: needs root to make network namespaces: sudo $0" >&2
  exit 1
fi
log_copy=${1:-}
preset=${DOVADOD_PRESET:-release}

# Packages and the build may need the network: outside the namespaces.
./scripts/build-service.sh "$preset"
service=$here/build/$preset/dovadod/dovadod
reg=$here/build/$preset/tools/dovadod-reg/dovadod-reg

. bench/netns_pair.sh
na= nb= svc_pid= log=

stop_service() {
  [ -n "$svc_pid" ] || return 0
  kill -TERM "$svc_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$svc_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$svc_pid" 2>/dev/null || true
  wait "$svc_pid" 2>/dev/null || true
  svc_pid=
}

demo_cleanup() {
  stop_service
  if [ -n "$log_copy" ] && [ -f "$log" ]; then cp "$log" "$log_copy"; fi
  netns_pair_cleanup
}
# bash runs the EXIT trap when it exits, not when a signal kills it.
trap demo_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

root=$(mktemp -d -t netns-demo.XXXXXX)
cleanup_paths+=("$root")
log=$root/dovadod.log
netns_pair_up dvdemo 10.96.0
trap demo_cleanup EXIT

# The service's own root, as ./run.sh provisions it.
export DOVADOD_ROOT=$root
./scripts/example-settings.sh "$reg"

echo "netns-demo: namespaces $na ($addr_a) and $nb ($addr_b), joined by a veth pair"
echo "netns-demo: dovadod -console in $nb; its log: $log"
# `ip netns exec` execs, so the pid is the service's.
ip netns exec "$nb" "$service" -console >"$log" 2>&1 &
svc_pid=$!
ready=
for _ in $(seq 200); do
  if ip netns exec "$nb" iptables-save -t raw | grep -q NFQUEUE &&
    grep -q -e 'consumer packet thread started\.' -e '^dovadod: capturing' "$log"; then
    ready=1
    break
  fi
  kill -0 "$svc_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$ready" ]; then
  echo "netns-demo: dovadod did not start; its output:" >&2
  cat "$log" >&2
  exit 1
fi
echo "netns-demo: capture rules in $nb:"
ip netns exec "$nb" iptables-save -t raw | grep DOVADOD | sed 's/^/  /'

echo "netns-demo: ping $addr_b from $na"
ip netns exec "$na" ping -c 5 -i 0.2 -W 1 "$addr_b" | tail -n 2 | sed 's/^/  /'
echo "netns-demo: TCP, 1 s from $na to $addr_b"
ip netns exec "$na" iperf3 -c "$addr_b" -t 1 -f m | awk '/receiver/ {sub(/^\[ *[0-9]+\] */, "  "); print}'
echo "netns-demo: UDP, 1 s at 10 Mb/s from $na to $addr_b"
ip netns exec "$na" iperf3 -c "$addr_b" -u -b 10M -t 1 -f m | awk '/receiver/ {sub(/^\[ *[0-9]+\] */, "  "); print}'

stop_service
echo "netns-demo: what the service counted:"
if ! grep -o 'Capture counters: .*' "$log" | tail -n 1 | sed 's/^/  /' | grep .; then
  echo "  (no capture counters in its log)"
fi
echo "netns-demo: done; removing the namespaces and $root"
