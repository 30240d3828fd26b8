#!/usr/bin/env bash
# Throughput of the whole service's pass-through (`dovadod -console` on the
# example graph) against the bare diversion loop (tools/divert-loop) in the
# same run. Needs root. Everything happens between two network namespaces
# made here (a and b, joined by a veth pair); the capture runs in a, never in
# the namespace this script runs in.
#
#   bench/dovadod_bench.sh [BUILD_DIR] [RUNS]   (defaults build/release, 3)
#
# For each round, each capture (none, loop, dovadod) carries iperf3 TCP a->b
# and unthrottled 64-byte UDP a->b for 4 s. Reported per capture: the minimum
# and median over the rounds of Gb/s at the receiver and kpps on the receiving
# veth, and dovadod's ratio to the loop (medians).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${2:-3}
loop=$build/tools/divert-loop/divert-loop
service=$build/dovadod/dovadod
reg=$build/tools/dovadod-reg/dovadod-reg
seconds=4

if [ "$(id -u)" -ne 0 ]; then
  echo "dovadod_bench: needs root (network namespaces); skipped"
  exit 0
fi
for f in "$loop" "$service" "$reg"; do
  [ -x "$f" ] || { echo "dovadod_bench: $f not built" >&2; exit 1; }
done

tag=$$
na=dvsvc${tag}a
nb=dvsvc${tag}b
addr_a=10.97.0.1
addr_b=10.97.0.2
root=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$na" 2>/dev/null || true
  ip netns del "$nb" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

ip netns add "$na"
ip netns add "$nb"
ip link add va netns "$na" type veth peer name vb netns "$nb"
ip -n "$na" addr add $addr_a/24 dev va
ip -n "$nb" addr add $addr_b/24 dev vb
# lo carries the re-injected inbound packets (and the service's IPC port).
for ns in "$na" "$nb"; do ip -n "$ns" link set lo up; done
ip -n "$na" link set va up
ip -n "$nb" link set vb up

# The service's own root: the store points at the example work directory.
export DOVADOD_ROOT=$root
"$reg" set 'HKLM\SOFTWARE\Corvex\tarn' workdir REG_SZ "$(pwd)/examples/workdir"

ip netns exec "$nb" iperf3 -s -B $addr_b >/dev/null 2>&1 &
pids+=("$!")
sleep 0.5

rx_packets() {  # namespace, device
  ip -n "$1" -s link show "$2" | awk '/RX:/ {getline; print $2; exit}'
}

# One iperf3 run; prints "gbps kpps".
measure() {
  local before after out gbps
  before=$(rx_packets "$nb" vb)
  out=$(ip netns exec "$na" iperf3 -c $addr_b -t $seconds -f m "$@" 2>&1) || true
  after=$(rx_packets "$nb" vb)
  gbps=$(printf '%s\n' "$out" | awk '/receiver/ {for (i = 1; i <= NF; i++) if ($i == "Mbits/sec") v = $(i-1)} END {print v / 1000}')
  awk -v g="$gbps" -v p=$((after - before)) -v s=$seconds 'BEGIN {printf "%.3f %.0f\n", g, p / s / 1000}'
}

# Starts a capture in namespace a and waits until its queue rule is loaded
# (and, for the service, its packet thread runs); its pid goes in cap_pid.
start_capture() {  # mode, log
  case $1 in
    loop) "$loop" --netns "$na" >"$2" 2>&1 & ;;
    dovadod) ip netns exec "$na" "$service" -console >"$2" 2>&1 & ;;
  esac
  cap_pid=$!
  pids+=("$cap_pid")
  local ready=
  for _ in $(seq 200); do
    if ip netns exec "$na" iptables-save -t raw | grep -q NFQUEUE &&
      { [ "$1" = loop ] || grep -q "consumer packet thread started." "$2"; }; then
      ready=1
      break
    fi
    sleep 0.05
  done
  [ -n "$ready" ] || { echo "dovadod_bench: $1 did not start" >&2; cat "$2" >&2; exit 1; }
}

stop_capture() {  # pid
  kill -TERM "$1"
  wait "$1" || true
  if ip netns exec "$na" iptables-save -t raw | grep -q NFQUEUE; then
    echo "dovadod_bench: capture rules left behind" >&2
    exit 1
  fi
}

tests=("tcp|" "udp 64|-u -b 0 -l 64")
modes=(none loop dovadod)
declare -A samples

# Rounds alternate the captures so that drift in the machine's load hits all.
for ((round = 1; round <= runs; round++)); do
  for mode in "${modes[@]}"; do
    for t in "${tests[@]}"; do
      name=${t%%|*}
      read -r -a args <<<"${t#*|}"
      r=
      if [ "$mode" = none ]; then
        r=$(measure "${args[@]}")
      else
        start_capture "$mode" "$root/$mode.log"
        r=$(measure "${args[@]}")
        stop_capture "$cap_pid"
      fi
      samples[$mode,$name]+="$r;"
    done
  done
done

# "min median" of field `col` (1 Gb/s, 2 kpps) of a sample list.
stat() {  # samples, col
  tr ';' '\n' <<<"$1" | awk -v c="$2" 'NF {print $c}' | sort -g |
    awk '{v[NR] = $1} END {printf "%s %s\n", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'
}

echo "iperf3 a->b through the capture in namespace a, $runs runs of ${seconds}s; min / median"
printf '%-7s %-8s %8s %8s %8s %8s\n' test capture "Gb/s min" median "kpps min" median
for t in "${tests[@]}"; do
  name=${t%%|*}
  for mode in "${modes[@]}"; do
    read -r gmin gmed <<<"$(stat "${samples[$mode,$name]}" 1)"
    read -r kmin kmed <<<"$(stat "${samples[$mode,$name]}" 2)"
    printf '%-7s %-8s %8s %8s %8s %8s\n' "$name" "$mode" "$gmin" "$gmed" "$kmin" "$kmed"
  done
  read -r _ gl <<<"$(stat "${samples[loop,$name]}" 1)"
  read -r _ kl <<<"$(stat "${samples[loop,$name]}" 2)"
  read -r _ gd <<<"$(stat "${samples[dovadod,$name]}" 1)"
  read -r _ kd <<<"$(stat "${samples[dovadod,$name]}" 2)"
  awk -v n="$name" -v gl="$gl" -v gd="$gd" -v kl="$kl" -v kd="$kd" 'BEGIN {
    printf "%-7s ratio dovadod/loop: %.2fx Gb/s, %.2fx kpps (target >= 0.8x)\n", n,
           (gl > 0 ? gd / gl : 0), (kl > 0 ? kd / kl : 0) }'
done
