#!/usr/bin/env bash
# Throughput of the packet-diversion loop, against a direct netfilter-queue
# loop in the same run. Needs root. Everything happens between two network
# namespaces made here (a and b, joined by a veth pair); nothing is loaded in
# the namespace this script runs in.
#
#   bench/divert_bench.sh [BUILD_DIR]   (default build/release)
#
# For each of: no rules, the direct libmnl loop (bench/divert_direct_loop.cc)
# and our recv->send loop under the base filter (tools/divert-loop), run in
# namespace a on one thread, iperf3 drives 4 s of TCP a->b, TCP b->a, and
# unthrottled UDP a->b with 64- and 1400-byte payloads. Reported: Gb/s at the
# receiver, kpps on the receiving veth, packets per recv of the loop, and our
# loop's ratio to the direct one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
loop=$build/tools/divert-loop/divert-loop
direct=$build/bench/divert_direct_loop
seconds=4

if [ "$(id -u)" -ne 0 ]; then
  echo "divert_bench: needs root (network namespaces); skipped"
  exit 0
fi
for f in "$loop" "$direct"; do
  [ -x "$f" ] || { echo "divert_bench: $f not built" >&2; exit 1; }
done

. bench/netns_pair.sh
netns_pair_up dvbench 10.98.0

# The direct loop's rules: the same shape as ours, its own chain and queue.
direct_rules() {
  cat <<EOF
*raw
:BENCH_DIRECT - [0:0]
-A BENCH_DIRECT -m mark --mark 0x20000000/0x20000000 -j RETURN
-A BENCH_DIRECT -i lo -j RETURN
-A BENCH_DIRECT -o lo -j RETURN
-A BENCH_DIRECT -j NFQUEUE --queue-num 100 --queue-bypass
-I OUTPUT -m addrtype --dst-type UNICAST -j BENCH_DIRECT
-I PREROUTING -m addrtype --dst-type LOCAL -j BENCH_DIRECT
COMMIT
EOF
}
direct_rules_off() {
  cat <<EOF
*raw
-D OUTPUT -m addrtype --dst-type UNICAST -j BENCH_DIRECT
-D PREROUTING -m addrtype --dst-type LOCAL -j BENCH_DIRECT
-F BENCH_DIRECT
-X BENCH_DIRECT
COMMIT
EOF
}

tests=("tcp a->b|" "tcp b->a|-R" "udp 64|-u -b 0 -l 64" "udp 1400|-u -b 0 -l 1400")
declare -A result per_recv

# Starts a loop program in the background, waits for its "ready" line, runs
# the test, stops it and keeps its packets per recv.
with_loop() {  # mode, test args...
  local mode=$1
  shift
  local log
  log=$(mktemp)
  if [ "$mode" = direct ]; then
    direct_rules | ip netns exec "$na" /usr/sbin/iptables-restore --noflush -w
    "$direct" --netns "$na" --queue 100 >"$log" &
  else
    "$loop" --netns "$na" >"$log" &
  fi
  local pid=$!
  for _ in $(seq 100); do grep -q ready "$log" && break; sleep 0.05; done
  measure "$@"
  kill -TERM "$pid"
  wait "$pid" || true
  [ "$mode" = direct ] && direct_rules_off | ip netns exec "$na" /usr/sbin/iptables-restore --noflush -w
  # Packets through the loop (both directions) per second, and per recv.
  sed -n 's/^packets=\([0-9]*\).*per_recv=\([0-9.]*\).*/\1 \2/p' "$log" >&2
  rm -f "$log"
}

# Best of two rounds, the loops alternating, against noise from other load.
for round in 1 2; do
  for mode in none direct ours; do
    [ "$mode" = none ] && [ $round = 2 ] && continue
    for t in "${tests[@]}"; do
      name=${t%%|*}
      read -r -a args <<<"${t#*|}"
      pr="-"
      if [ "$mode" = none ]; then
        r=$(measure "${args[@]}")
      else
        pr_file=$(mktemp)
        r=$(with_loop "$mode" "${args[@]}" 2>"$pr_file")
        read -r pk pr <<<"$(tail -n1 "$pr_file")"
        rm -f "$pr_file"
        r="${r% *} $(awk -v p="${pk:-0}" -v s=$seconds 'BEGIN {printf "%.0f", p / s / 1000}')"
      fi
      old=${result[$mode,$name]:-"-1 0"}
      if awk -v a="${r% *}" -v b="${old% *}" 'BEGIN {exit !(a > b)}'; then
        result[$mode,$name]=$r
        per_recv[$mode,$name]=${pr:--}
      fi
    done
  done
done

printf '%-10s %-8s %8s %8s %9s\n' test loop Gb/s kpps pkts/recv
for t in "${tests[@]}"; do
  name=${t%%|*}
  for mode in none direct ours; do
    read -r g k <<<"${result[$mode,$name]}"
    printf '%-10s %-8s %8s %8s %9s\n' "$name" "$mode" "$g" "$k" "${per_recv[$mode,$name]:--}"
  done
  read -r gd kd <<<"${result[direct,$name]}"
  read -r go ko <<<"${result[ours,$name]}"
  awk -v n="$name" -v gd="$gd" -v go="$go" -v kd="$kd" -v ko="$ko" 'BEGIN {
    printf "%-10s ratio ours/direct: %.2fx Gb/s, %.2fx kpps (target >= 0.9x)\n", n,
           (gd > 0 ? go / gd : 0), (kd > 0 ? ko / kd : 0) }'
done
