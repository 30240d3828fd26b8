#!/usr/bin/env bash
# The whole service's pass-through (`dovadod -console` on the example graph)
# against the bare diversion loop (tools/divert-loop) and the floor of any
# queue capture (tools/queue-floor: one batch accept per read, nothing else),
# in the same run. Needs root. Everything happens between two network
# namespaces made here (a and b, joined by a veth pair); the capture runs in
# a, never in the namespace this script runs in.
#
#   bench/dovadod_bench.sh [BUILD_DIR] [ROUNDS]   (defaults build/release, 3)
#
# Each round runs the captures in turn (floor, loop, dovadod), so drift in the
# machine's load hits all of them. Under each capture: iperf3 TCP a->b with 1
# and 4 streams, unthrottled UDP a->b with 64- and 1400-byte payloads, 4 s
# each, then 50 pings a->b 10 ms apart. Reported per capture, medians over the
# rounds: Gb/s at the receiver, kpps on the receiving veth, the capturing
# process's CPU seconds (user + system, all threads) per GB (TCP) or per
# million packets (UDP), and the ping p50. It ends with one "target:" line per
# target, met or missed, and exits 1 when one is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-3}
floor=$build/tools/queue-floor/queue-floor
loop=$build/tools/divert-loop/divert-loop
service=$build/dovadod/dovadod
reg=$build/tools/dovadod-reg/dovadod-reg
seconds=4
pings=50

if [ "$(id -u)" -ne 0 ]; then
  echo "dovadod_bench: needs root (network namespaces); skipped"
  echo "target: not measured (dovadod_bench.sh needs root)"
  exit 0
fi
for f in "$floor" "$loop" "$service" "$reg"; do
  [ -x "$f" ] || { echo "dovadod_bench: $f not built" >&2; exit 1; }
done

. bench/netns_pair.sh
netns_pair_up dvsvc 10.97.0
root=$(mktemp -d)
cleanup_paths+=("$root")
hz=$(getconf CLK_TCK)

# The service's own root: the store points at the example work directory.
export DOVADOD_ROOT=$root
"$reg" set 'HKLM\SOFTWARE\Corvex\tarn' workdir REG_SZ "$(pwd)/examples/workdir"

# Starts a capture in namespace a and waits until its queue rule is loaded
# and it says it runs; its pid goes in cap_pid. `ip netns exec` execs, so the
# service's pid is the one started here.
start_capture() {  # mode, log
  local started=ready
  case $1 in
    floor) "$floor" --netns "$na" >"$2" 2>&1 & ;;
    loop) "$loop" --netns "$na" >"$2" 2>&1 & ;;
    dovadod)
      ip netns exec "$na" "$service" -console >"$2" 2>&1 &
      started="consumer packet thread started."
      ;;
  esac
  cap_pid=$!
  pids+=("$cap_pid")
  local ready=
  for _ in $(seq 200); do
    if ip netns exec "$na" iptables-save -t raw | grep -q NFQUEUE && grep -q "$started" "$2"; then
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

# User + system clock ticks of a process, all its threads (fields 14 and 15;
# counted after the command name, which may hold spaces).
cpu_ticks() {  # pid
  sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
}

tests=("tcp 1|" "tcp 4|-P 4" "udp 64|-u -b 0 -l 64" "udp 1400|-u -b 0 -l 1400")
modes=(floor loop dovadod)
declare -A samples ping

for ((round = 1; round <= rounds; round++)); do
  for mode in "${modes[@]}"; do
    start_capture "$mode" "$root/$mode.log"
    for t in "${tests[@]}"; do
      name=${t%%|*}
      read -r -a args <<<"${t#*|}"
      before=$(cpu_ticks "$cap_pid")
      r=$(measure "${args[@]}")
      after=$(cpu_ticks "$cap_pid")
      # CPU seconds per GB received (TCP) or per million packets (UDP).
      per=$(awk -v r="$r" -v c=$((after - before)) -v hz="$hz" -v s="$seconds" -v n="$name" 'BEGIN {
        split(r, f, " "); cpu = c / hz
        unit = (n ~ /^tcp/) ? f[1] * s / 8 : f[2] * s / 1000
        print (unit > 0 ? cpu / unit : "nan") }')
      samples[$mode,$name]+="$r $per;"
    done
    ping[$mode]+="$(ping_p50 "$pings");"
    stop_capture "$cap_pid"
  done
done

# The median of field `col` of a sample list.
med() {  # samples, col
  tr ';' '\n' <<<"$1" | awk -v c="$2" 'NF {print $c}' | median
}

echo "a->b through the capture in namespace a; medians of $rounds rounds (${seconds}s iperf3, $pings pings)"
printf '%-9s %-8s %8s %9s %13s %9s\n' test capture Gb/s kpps "cpu/unit" "vs floor"
declare -A fig
for t in "${tests[@]}"; do
  name=${t%%|*}
  unit="s/GB"
  [[ $name == udp* ]] && unit="s/Mpkt"
  for mode in "${modes[@]}"; do
    g=$(med "${samples[$mode,$name]}" 1)
    k=$(med "${samples[$mode,$name]}" 2)
    c=$(med "${samples[$mode,$name]}" 3)
    fig[$mode,$name,gbps]=$g
    fig[$mode,$name,cpu]=$c
    [ "$mode" = floor ] && { fg=$g; fk=$k; }
    # Throughput against the floor: Gb/s for TCP, kpps for UDP.
    ratio=$(awk -v n="$name" -v g="$g" -v k="$k" -v fg="$fg" -v fk="$fk" 'BEGIN {
      if (n ~ /^tcp/) printf "%.2fx", (fg > 0 ? g / fg : 0); else printf "%.2fx", (fk > 0 ? k / fk : 0) }')
    printf '%-9s %-8s %8.3f %9.0f %6.3f %-6s %9s\n' "$name" "$mode" "$g" "$k" "$c" "$unit" "$ratio"
  done
done
printf '%-9s' "ping p50"
for mode in "${modes[@]}"; do
  p=$(tr ';' '\n' <<<"${ping[$mode]}" | awk 'NF' | median)
  fig[$mode,ping]=$p
  printf ' %s %.3f ms' "$mode" "$p"
done
echo

# The service against the floor; each line carries its figure.
missed=0
target() {  # description, condition on a (dovadod) and b (floor), figure format, a, b
  local verdict=met
  awk -v a="$4" -v b="$5" "BEGIN {exit !($2)}" || { verdict=missed; missed=1; }
  echo "target: $1: $verdict, $(awk -v a="$4" -v b="$5" "BEGIN {printf \"$3\", a, b, (b > 0 ? a / b : 0), a - b}")"
}
target "dovadod TCP throughput (1 stream) >= 0.8x floor" "a >= 0.8 * b" \
  "%.3f vs %.3f Gb/s (%.2fx)" "${fig[dovadod,tcp 1,gbps]}" "${fig[floor,tcp 1,gbps]}"
target "dovadod CPU per GB (TCP 1 stream) <= 2x floor" "a <= 2 * b" \
  "%.3f vs %.3f s/GB (%.2fx)" "${fig[dovadod,tcp 1,cpu]}" "${fig[floor,tcp 1,cpu]}"
target "dovadod ping p50 <= floor + 0.05 ms" "a <= b + 0.05" \
  "%.3f vs %.3f ms (%.2fx, %+.3f ms)" "${fig[dovadod,ping]}" "${fig[floor,ping]}"
exit "$missed"
