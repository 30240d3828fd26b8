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

. bench/netns_pair.sh
netns_pair_up dvsvc 10.97.0
root=$(mktemp -d)
cleanup_paths+=("$root")

# The service's own root: the store points at the example work directory.
export DOVADOD_ROOT=$root
"$reg" set 'HKLM\SOFTWARE\Corvex\tarn' workdir REG_SZ "$(pwd)/examples/workdir"

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
