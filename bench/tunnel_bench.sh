#!/usr/bin/env bash
# The tunnel against OpenVPN on the same namespaces, in the same run.
#
#   bench/tunnel_bench.sh [BUILD_DIR] [ROUNDS] [SECONDS]   (defaults build/release, 3, 10)
#
# Needs root. Everything happens between two network namespaces made here:
# c (the client) and h (the hub), joined by the veth pair c0 198.51.100.10/24
# and h0 198.51.100.1/24, c's default route via h0. Nothing is loaded in the
# namespace this script runs in.
#
# Contenders:
#   A  `dovadod -console` in c with the test hub in h: overlay 100.64.0.10,
#      VIP 100.64.1.10 on the TUN "tarnif" (alias "WinTun Tunnel", MTU 1300,
#      route 100.64.0.0/16; only tarnif is captured), hub 100.64.0.1 on its
#      TUN. Certificates from one CA (certkit).
#   B  OpenVPN in p2p TLS mode with certificates of the same CA: server in h
#      (100.65.0.1), client in c (100.65.0.2), --data-ciphers AES-256-GCM
#      --disable-dco --tun-mtu 1300.
# Pairs, AES-256-GCM and inner MTU 1300 throughout:
#   dtls-udp  A over DTLS 1.2 against B over UDP
#   tls-tcp   A over TLS 1.3 against B over TCP
# Loads (c to h unless -R): iperf3 TCP for SECONDS, the same with -R and with
# -P 4, unthrottled UDP of 1200-byte datagrams, and the p50 of 200 pings 10 ms
# apart through the idle tunnel.
#
# Method: for each round and pair, A then B (ABAB over the rounds); medians
# over the rounds. Per load: Gb/s (iperf3's receiver), kpps (packets received
# on the far veth: outer packets, one per inner packet for DTLS and UDP; TCP
# streams may coalesce), and CPU seconds per GB carried at both ends (utime +
# stime from /proc/<pid>/stat of dovadod and the hub, or of the two openvpn
# processes, over the bytes iperf3 received). Rows where the hub used nearly a
# whole core are marked "hub-bound". Ends with one "target:" line per pair
# and load: A's throughput at least B's, at no more client CPU per GB.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-3}
seconds=${3:-10}
service=$build/dovadod/dovadod
reg=$build/tools/dovadod-reg/dovadod-reg
hub=$build/tools/testhub/testhub
certkit=$build/tools/certkit/certkit

if [ "$(id -u)" -ne 0 ]; then
  echo "tunnel_bench: needs root (network namespaces); skipped"
  echo "target: not measured (tunnel_bench.sh needs root)"
  exit 0
fi
for f in "$service" "$reg" "$hub" "$certkit"; do
  [ -x "$f" ] || { echo "tunnel_bench: $f not built" >&2; exit 1; }
done
for p in openvpn iperf3; do
  command -v "$p" >/dev/null || { echo "tunnel_bench: $p missing (scripts/install-deps.sh)" >&2; exit 1; }
done

nc=dvtunc$$
nh=dvtunh$$
root=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$nc" 2>/dev/null || true
  ip netns del "$nh" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

ip netns add "$nc"
ip netns add "$nh"
ip -n "$nc" link add c0 type veth peer name h0 netns "$nh"
ip -n "$nc" link set lo up
ip -n "$nh" link set lo up
ip -n "$nc" addr add 198.51.100.10/24 dev c0
ip -n "$nh" addr add 198.51.100.1/24 dev h0
ip -n "$nc" link set c0 up
ip -n "$nh" link set h0 up
ip -n "$nc" route add default via 198.51.100.1 dev c0
ip -n "$nc" tuntap add dev tarnif mode tun
ip -n "$nc" link set dev tarnif mtu 1300 alias "WinTun Tunnel" up
ip -n "$nc" addr add 100.64.1.10/32 dev tarnif
ip -n "$nc" route add 100.64.0.0/16 dev tarnif

# One CA; the hub's leaf names the tenant and the hub's overlay address, as
# the client's peer checks want.
tenant=benchtenant
"$certkit" ca "$root/ca" >/dev/null
"$certkit" leaf "$root/ca" "$root/hub" --cn hub --ou "$tenant" --ip 100.64.0.1 >/dev/null
"$certkit" leaf "$root/ca" "$root/client" --cn client --ou "$tenant" >/dev/null
workdir=$root/work
"$certkit" workdir "$root/ca" "$root/client" "$workdir" >/dev/null
cp examples/workdir/ostrel.graph "$workdir/"
cat >"$workdir/ostrel-exclusions.json" <<'EOF'
{"excluded_ip_ranges": [], "virtual_interface_only": true, "excluded_process_list": []}
EOF
cat >"$workdir/ostrel-client-config.json" <<'EOF'
{"dcfg_client_config": {"fail_close": false, "disable_vif": false}}
EOF
export DOVADOD_ROOT=$root/dovadod-root
mkdir -p "$DOVADOD_ROOT"
"$reg" set 'HKLM\SOFTWARE\Corvex\tarn' workdir REG_SZ "$workdir" >/dev/null

# The overlay file for A: one hub, DTLS first unless `tls_only`.
write_overlay() {  # tls_only (true or false)
  local key
  key=$(awk '{printf "%s\\n", $0}' "$root/hub/pubkey.pem")
  cat >"$workdir/ostrel-overlay.json" <<EOF
{
  "local": {
    "overlayIP": "100.64.0.10", "overlayNetmask": "255.255.0.0", "overlayVip": "100.64.1.10",
    "tenantID": "$tenant", "tls_only": $1, "roles": [{"type": "SPOKE"}],
    "nexthop": [{"ipv4": "100.64.0.1", "wanip": "198.51.100.1", "port": 4433,
                 "pubkey": "$key", "groupid": "g1", "groupname": "hubs"}]
  },
  "remote": [{"overlayIP": "100.64.0.1", "roles": [{"type": "DC"}], "groupid": "g1",
              "groupname": "hubs"}]
}
EOF
}

cat >"$root/hub.json" <<EOF
{"wanip": "198.51.100.1", "port": 4433, "overlay_ip": "100.64.0.1",
 "cert": "$root/hub/cert.pem", "key": "$root/hub/key.pem", "ca": "$root/ca/ca.pem",
 "control": "$root/hub.sock", "tun": "hubtun",
 "clients": [{"overlay": "100.64.0.10", "vip": "100.64.1.10"}]}
EOF

# "utime+stime" of a process in clock ticks (0 once it is gone).
cpu_ticks() {  # pid
  awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}
tick_hz=$(getconf CLK_TCK)

rx_packets() {  # namespace, device
  ip -n "$1" -s link show "$2" | awk '/RX:/ {getline; print $2; exit}'
}

# The median of the numbers on stdin, one a line; "nan" when there are none.
median() {
  sort -g | awk '{v[NR] = $1} END {
    if (NR == 0) print "nan"
    else print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

client_pid=
server_pid=
target_ip=

wait_ping() {  # address
  for _ in $(seq 100); do
    ip netns exec "$nc" ping -c 1 -W 1 "$1" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

start_a() {  # pair, log
  local tls=false
  [ "$1" = tls-tcp ] && tls=true
  write_overlay "$tls"
  ip netns exec "$nh" "$hub" "$root/hub.json" >"$root/hub-$1.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do [ -S "$root/hub.sock" ] && break; sleep 0.05; done
  ip netns exec "$nc" "$service" -console >"$2" 2>&1 &
  client_pid=$!
  pids+=("$client_pid")
  target_ip=100.64.0.1
  if ! wait_ping "$target_ip"; then
    echo "tunnel_bench: dovadod's tunnel did not come up ($1)" >&2
    tail -n 40 "$2" >&2
    cat "$root/hub-$1.log" >&2
    exit 1
  fi
  local want=DTLSv1.2
  [ "$1" = tls-tcp ] && want=TLSv1.3
  if ! "$hub" ctl "$root/hub.sock" stats | grep -q "\"$want\""; then
    echo "tunnel_bench: the hub's connection is not $want ($1)" >&2
    "$hub" ctl "$root/hub.sock" stats >&2
    exit 1
  fi
}

start_b() {  # pair, log
  local sproto=udp cproto=udp
  [ "$1" = tls-tcp ] && { sproto=tcp-server; cproto=tcp-client; }
  local common=(--dev-type tun --data-ciphers AES-256-GCM --disable-dco --tun-mtu 1300
    --ca "$root/ca/ca.pem" --dh none --verb 1 --port 1194 --ping 10)
  ip netns exec "$nh" openvpn "${common[@]}" --dev ovpns --proto "$sproto" --local 198.51.100.1 \
    --tls-server --cert "$root/hub/cert.pem" --key "$root/hub/key.pem" \
    --ifconfig 100.65.0.1 100.65.0.2 >"$root/ovpn-server-$1.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  sleep 0.3
  ip netns exec "$nc" openvpn "${common[@]}" --dev ovpnc --proto "$cproto" --nobind \
    --remote 198.51.100.1 --tls-client --cert "$root/client/cert.pem" \
    --key "$root/client/key.pem" --ifconfig 100.65.0.2 100.65.0.1 >"$2" 2>&1 &
  client_pid=$!
  pids+=("$client_pid")
  target_ip=100.65.0.1
  if ! wait_ping "$target_ip"; then
    echo "tunnel_bench: OpenVPN did not come up ($1)" >&2
    cat "$2" "$root/ovpn-server-$1.log" >&2
    exit 1
  fi
}

stop_both() {
  kill -TERM "$client_pid" "$server_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  client_pid=
  server_pid=
  if ip netns exec "$nc" iptables-save -t raw 2>/dev/null | grep -q NFQUEUE; then
    echo "tunnel_bench: capture rules left behind" >&2
    exit 1
  fi
  rm -f "$root/hub.sock"
}

# One load through the running contender: prints
# "gbps kpps client_cpu_s_per_gb hub_cpu_s_per_gb hub_core_share".
run_load() {  # load name
  local args=() rx_ns=$nh rx_dev=h0
  case $1 in
    tcp) args=() ;;
    tcp-R) args=(-R); rx_ns=$nc; rx_dev=c0 ;;
    tcp-P4) args=(-P 4) ;;
    udp) args=(-u -b 0 -l 1200) ;;
  esac
  ip netns exec "$nh" iperf3 -s -1 -B "$target_ip" >/dev/null 2>&1 &
  local srv=$!
  sleep 0.3
  local p0 c0 s0 t0 p1 c1 s1 t1 out
  p0=$(rx_packets "$rx_ns" "$rx_dev")
  c0=$(cpu_ticks "$client_pid")
  s0=$(cpu_ticks "$server_pid")
  t0=$(date +%s.%N)
  out=$(ip netns exec "$nc" iperf3 -c "$target_ip" -t "$seconds" -f m "${args[@]}" 2>&1) || true
  t1=$(date +%s.%N)
  p1=$(rx_packets "$rx_ns" "$rx_dev")
  c1=$(cpu_ticks "$client_pid")
  s1=$(cpu_ticks "$server_pid")
  wait "$srv" 2>/dev/null || true
  # The receiver's rate (the last "receiver" line: the sum with -P).
  local mbps bytes
  mbps=$(printf '%s\n' "$out" | awk '/receiver/ {for (i = 1; i <= NF; i++) if ($i == "Mbits/sec") v = $(i-1)} END {print v + 0}')
  bytes=$(awk -v m="$mbps" -v s="$seconds" 'BEGIN {printf "%.0f", m * 1e6 / 8 * s}')
  awk -v b="$bytes" -v dp=$((p1 - p0)) -v dc=$((c1 - c0)) -v ds=$((s1 - s0)) -v hz="$tick_hz" \
    -v t0="$t0" -v t1="$t1" -v s="$seconds" 'BEGIN {
      gb = b / 1e9
      printf "%.3f %.1f %s %s %.2f\n", b * 8 / s / 1e9, dp / (t1 - t0) / 1000,
        (gb > 0 ? sprintf("%.3f", dc / hz / gb) : "nan"),
        (gb > 0 ? sprintf("%.3f", ds / hz / gb) : "nan"), ds / hz / (t1 - t0) }'
}

ping_p50() {
  ip netns exec "$nc" ping -c 200 -i 0.01 -W 1 "$target_ip" 2>/dev/null |
    sed -n 's/.* time=\([0-9.]*\) ms.*/\1/p' | median
}

pairs=(dtls-udp tls-tcp)
loads=(tcp tcp-R tcp-P4 udp)
declare -A samples
for ((round = 1; round <= rounds; round++)); do
  for pair in "${pairs[@]}"; do
    for who in A B; do
      if [ "$who" = A ]; then start_a "$pair" "$root/dovadod-$pair.log"; else start_b "$pair" "$root/ovpn-client-$pair.log"; fi
      for load in "${loads[@]}"; do
        samples[$pair,$load,$who]+="$(run_load "$load");"
      done
      samples[$pair,ping,$who]+="$(ping_p50);"
      stop_both
    done
  done
done

med() {  # samples, column
  tr ';' '\n' <<<"$1" | awk -v c="$2" 'NF {print $c}' | median
}
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN {if (a == "nan" || b == "nan" || b + 0 == 0) print "nan"; else printf "%.2f", a / b}'
}

echo "A: dovadod + test hub; B: OpenVPN 2.6 p2p TLS; medians of $rounds rounds of ${seconds}s (ABAB)"
echo "cpu: utime+stime seconds per GB received; client = dovadod / openvpn in c, hub = test hub / openvpn in h"
printf '%-8s %-7s %8s %8s %6s %8s %8s %7s %8s %8s %7s %8s %8s %s\n' pair load \
  "A Gb/s" "B Gb/s" ratio "A kpps" "B kpps" \
  "A c/GB" "B c/GB" ratio "A h/GB" "B h/GB" "" ""
missed=0
targets=()
for pair in "${pairs[@]}"; do
  for load in "${loads[@]}"; do
    a=${samples[$pair,$load,A]}
    b=${samples[$pair,$load,B]}
    ag=$(med "$a" 1); bg=$(med "$b" 1)
    ak=$(med "$a" 2); bk=$(med "$b" 2)
    ac=$(med "$a" 3); bc=$(med "$b" 3)
    ah=$(med "$a" 4); bh=$(med "$b" 4)
    share=$(med "$a" 5)
    mark=
    awk -v s="$share" 'BEGIN {exit !(s >= 0.9)}' && mark="hub-bound ($share cores)"
    printf '%-8s %-7s %8s %8s %6s %8s %8s %7s %8s %8s %7s %8s %s\n' "$pair" "$load" "$ag" "$bg" \
      "$(ratio "$ag" "$bg")" "$ak" "$bk" "$ac" "$bc" "$(ratio "$ac" "$bc")" "$ah" "$bh" "$mark"
    verdict=met
    awk -v ag="$ag" -v bg="$bg" -v ac="$ac" -v bc="$bc" \
      'BEGIN {exit !(ag != "nan" && ag >= bg && ac <= bc)}' || { verdict=missed; missed=1; }
    targets+=("target: tunnel $pair $load: A >= 1.0x B's Gb/s at <= B's client CPU/GB: $verdict, $ag vs $bg Gb/s ($(ratio "$ag" "$bg")x), $ac vs $bc s/GB ($(ratio "$ac" "$bc")x)${mark:+, $mark}")
  done
  ap=$(med "${samples[$pair,ping,A]}" 1)
  bp=$(med "${samples[$pair,ping,B]}" 1)
  printf '%-8s %-7s %8s %8s %6s   (ping p50 ms)\n' "$pair" ping "$ap" "$bp" "$(ratio "$ap" "$bp")"
done
printf '%s\n' "${targets[@]}"

# A miss is reported with where the client's time goes: a profile of
# dovadod under the DTLS TCP load (perf from linux-perf; skipped without it).
if [ "$missed" -ne 0 ]; then
  if command -v perf >/dev/null && perf --version >/dev/null 2>&1; then
    start_a dtls-udp "$root/dovadod-profile.log"
    ip netns exec "$nh" iperf3 -s -1 -B "$target_ip" >/dev/null 2>&1 &
    srv=$!
    sleep 0.3
    ip netns exec "$nc" iperf3 -c "$target_ip" -t 8 >/dev/null 2>&1 &
    cli=$!
    sleep 1
    perf record -q -F 999 -g -p "$client_pid" -o "$root/perf.data" -- sleep 5 >/dev/null 2>&1 || true
    wait "$cli" "$srv" 2>/dev/null || true
    echo "profile of dovadod (client) under dtls-udp tcp, top entries (self):"
    perf report -i "$root/perf.data" --stdio --no-children --call-graph=none --sort dso,symbol 2>/dev/null |
      grep -v '^#' | grep '%' | awk 'NR <= 25'
    stop_both
  else
    echo "profile: perf is not available"
  fi
fi
exit "$missed"
