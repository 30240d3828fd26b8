#!/usr/bin/env bash
# Shows the tunnel at work without touching this machine's network: a client
# namespace c running `dovadod -console` on a copy of the example work
# directory, and a hub namespace h running the test hub, joined by a veth
# pair. The service connects to the hub, a ping from the client's virtual
# address reaches the hub's overlay address through the tunnel, and the
# service's path-statistics page and the hub's counters are shown. Needs root.
# The namespaces, the processes and the temporary folder (certificates, work
# directory, settings store, logs) go away when it ends, however it ends.
#
#   tools/testhub/demo.sh [BUILD_DIR]
#
# BUILD_DIR: an existing build folder whose dovadod, dovadod-reg, testhub and
# certkit are used as they are. Without it the release preset (or
# DOVADOD_PRESET) is built first, as for ./run.sh.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "tunnel-demo: needs root to make network namespaces: sudo $0" >&2
  exit 1
fi
# Taken from where it was started, before the move to the checkout.
build=
if [ $# -gt 0 ]; then build=$(cd "$1" && pwd); fi
cd "$(dirname "$0")/../.."
here=$(pwd)

if [ -z "$build" ]; then
  preset=${DOVADOD_PRESET:-release}
  # Packages and the build may need the network: outside the namespaces.
  ./scripts/build-service.sh "$preset" testhub certkit_program
  build=$here/build/$preset
fi
service=$build/dovadod/dovadod
reg=$build/tools/dovadod-reg/dovadod-reg
hub=$build/tools/testhub/testhub
certkit=$build/tools/certkit/certkit
for program in "$service" "$reg" "$hub" "$certkit"; do
  [ -x "$program" ] || {
    echo "tunnel-demo: $program is missing; build it first" >&2
    exit 1
  }
done

# The addresses: the client's link c0 and the hub's h0 on one /24, the
# overlay 100.64.0.0/16 with the client 100.64.0.10 and the hub 100.64.0.1,
# and the client's virtual address 100.64.1.10 on its tunnel adapter.
client_wan=198.51.100.10
hub_wan=198.51.100.1
client_overlay=100.64.0.10
hub_overlay=100.64.0.1
client_vip=100.64.1.10
port=4433
tenant=example

nc=dvtunc$$
nh=dvtunh$$
root='' svc_pid='' hub_pid=''

# SIGTERM, then SIGKILL when it has not ended after 10 s.
stop_process() {  # pid
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

stop_service() {
  [ -n "$svc_pid" ] || return 0
  stop_process "$svc_pid"
  svc_pid=
}

demo_cleanup() {
  stop_service
  [ -z "$hub_pid" ] || stop_process "$hub_pid"
  hub_pid=
  # The adapter is persistent: it would outlive the namespace's processes.
  ip -n "$nc" link del tarnif 2>/dev/null || true
  ip netns del "$nc" 2>/dev/null || true
  ip netns del "$nh" 2>/dev/null || true
  [ -z "$root" ] || rm -rf "$root"
}
# bash runs the EXIT trap when it exits, not when a signal kills it.
trap demo_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
  echo "tunnel-demo: $*" >&2
  for f in "$root/dovadod.log" "$root/hub.log"; do
    [ -f "$f" ] || continue
    echo "tunnel-demo: $(basename "$f"):" >&2
    tail -n 60 "$f" >&2
  done
  exit 1
}

# Canonical: the service opens its work files without following links.
root=$(realpath "$(mktemp -d -t tunnel-demo.XXXXXX)")

echo "tunnel-demo: namespaces $nc (client) and $nh (hub), joined by a veth pair"
ip netns add "$nc"
ip netns add "$nh"
ip -n "$nc" link add c0 type veth peer name h0 netns "$nh"
ip -n "$nc" link set lo up
ip -n "$nh" link set lo up
ip -n "$nc" addr add "$client_wan/24" dev c0
ip -n "$nh" addr add "$hub_wan/24" dev h0
ip -n "$nc" link set c0 up
ip -n "$nh" link set h0 up
ip -n "$nc" route add default via "$hub_wan" dev c0
# The tunnel adapter, made here as its owner would make it: the service finds
# it by its alias and captures only what is routed to it (the overlay /16);
# nothing reads it, so what reaches it is dropped.
ip -n "$nc" tuntap add dev tarnif mode tun
ip -n "$nc" link set dev tarnif mtu 1300 alias "WinTun Tunnel" up
ip -n "$nc" addr add "$client_vip/32" dev tarnif
ip -n "$nc" route add 100.64.0.0/16 dev tarnif src "$client_vip"

# Certificates: one CA; the hub's names its overlay address and the tenant,
# the client's the tenant; the client's go into its work directory.
"$certkit" ca "$root/ca" >/dev/null
"$certkit" leaf "$root/ca" "$root/hub" --cn hub --ou "$tenant" --ip "$hub_overlay" >/dev/null
"$certkit" leaf "$root/ca" "$root/client" --cn client --ou "$tenant" >/dev/null
work=$root/work
mkdir "$work"
cp examples/workdir/ostrel.graph examples/workdir/ostrel-client-config.json "$work/"
"$certkit" workdir "$root/ca" "$root/client" "$work" >/dev/null

# The example's overlay file with the hub as its one hub group, pinned to the
# hub's public key, the hub's device information (a tunnel is provisioned to a
# next hop that has an entry), and the static virtual address; only the
# adapter is captured.
pubkey=$(awk '{printf "%s\\n", $0}' "$root/hub/pubkey.pem")
cat >"$work/ostrel-overlay.json" <<JSON
{
  "local": {
    "overlayIP": "$client_overlay",
    "overlayNetmask": "255.255.0.0",
    "overlayVip": "$client_vip",
    "tenantID": "$tenant",
    "roles": [{"type": "SPOKE"}],
    "nexthop": [
      {"ipv4": "$hub_overlay", "wanip": "$hub_wan", "port": $port, "pubkey": "$pubkey"}
    ]
  },
  "remote": [
    {"overlayIP": "$hub_overlay", "roles": [{"type": "DC"}], "wanIP": "$hub_wan", "nexthop": []}
  ]
}
JSON
cat >"$work/ostrel-exclusions.json" <<'JSON'
{
  "excluded_ip_ranges": [],
  "virtual_interface_only": true,
  "excluded_process_list": []
}
JSON

# The service's own root, as ./run.sh provisions it, pointed at this work
# directory, with keepalives every 3 s.
export DOVADOD_ROOT=$root/root
mkdir "$DOVADOD_ROOT"
./scripts/example-settings.sh "$reg"
tarn='HKLM\SOFTWARE\Corvex\tarn'
"$reg" set "$tarn" workdir REG_SZ "$work"
"$reg" set "$tarn" tarnkatimeoutmsecs REG_SZ 3000

# The hub: its own TUN with its overlay address, the client's virtual address
# routed to it while the client is connected.
cat >"$root/hub.json" <<JSON
{
  "wanip": "$hub_wan", "port": $port, "overlay_ip": "$hub_overlay",
  "cert": "$root/hub/cert.pem", "key": "$root/hub/key.pem", "ca": "$root/ca/ca.pem",
  "control": "$root/hub.sock", "tun": "hubtun",
  "clients": [{"overlay": "$client_overlay", "vip": "$client_vip"}]
}
JSON
echo "tunnel-demo: test hub in $nh on $hub_wan port $port, overlay $hub_overlay"
# `ip netns exec` execs, so the pids are the programs' own.
ip netns exec "$nh" "$hub" "$root/hub.json" >"$root/hub.log" 2>&1 &
hub_pid=$!
for _ in $(seq 200); do
  [ -S "$root/hub.sock" ] && break
  kill -0 "$hub_pid" 2>/dev/null || fail "the test hub ended"
  sleep 0.05
done
[ -S "$root/hub.sock" ] || fail "the test hub did not start"
stats() { "$hub" ctl "$root/hub.sock" stats; }

echo "tunnel-demo: dovadod -console in $nc; its log: $root/dovadod.log"
ip netns exec "$nc" "$service" -console >"$root/dovadod.log" 2>&1 &
svc_pid=$!

# Up when the hub holds the client's connection and a ping comes back.
up=
start=$SECONDS
while [ $((SECONDS - start)) -lt 20 ]; do
  kill -0 "$svc_pid" 2>/dev/null || fail "dovadod ended"
  if stats | grep -q '"connections":\[{' &&
    ip netns exec "$nc" ping -c 1 -W 1 -I "$client_vip" "$hub_overlay" >/dev/null 2>&1; then
    up=1
    break
  fi
  sleep 0.25
done
[ -n "$up" ] || fail "no tunnel to the hub within 20 s"
echo "tunnel-demo: tunnel up; ping $hub_overlay from $client_vip through it"
out=$(ip netns exec "$nc" ping -c 5 -i 0.2 -W 1 -I "$client_vip" "$hub_overlay" 2>&1) || true
printf '%s\n' "$out" | tail -n 2 | sed 's/^/  /'
grep -q ' 5 received' <<<"$out" || fail "replies were lost"

# The page holds a 32-bit length, then the path status text up to a NUL; the
# service rewrites it on its keepalive checks, at most every few seconds, so
# the path's counters may take that long to show the ping.
page=$DOVADOD_ROOT/run/dovadod/global/shmgraphpathstats.shm
entry=
start=$SECONDS
while [ $((SECONDS - start)) -lt 10 ]; do
  if [ -f "$page" ]; then
    entry=$(tail -c +5 "$page" | tr '\0' '\n' | head -n 1) || true
    case $entry in *"\"$hub_overlay\""*'"dsps_rxpkts":0,'*) ;; *"\"$hub_overlay\""*) break ;; esac
  fi
  sleep 0.25
done
echo "tunnel-demo: the service's path-statistics page ($page):"
echo "  ${entry:-(empty)}"
echo "tunnel-demo: the hub's stats:"
stats | sed 's/^/  /' || fail "the hub gave no stats"

stop_service
echo "tunnel-demo: done; removing the namespaces and $root"
