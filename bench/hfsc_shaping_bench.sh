#!/usr/bin/env bash
# Outbound shaping by the whole service (`dovadod -console` on the shaping
# graph of tests/data/hfsc: every outbound packet through HFSCSched, class 14
# capped at the rate under test) against the kernel's HTB qdisc at the same
# rate on the same veth, in the same run, at rates 0.5 and 4.0 of the fixed
# 5.12 Mbit/s link (2.56 and 20.48 Mbit/s). Needs root. Everything happens
# between two network namespaces made here (a and b, joined by a veth pair);
# the service and the qdisc act in a, never in the namespace this script
# runs in. (This kernel has no HFSC qdisc; HTB is built in.)
#
#   bench/hfsc_shaping_bench.sh [BUILD_DIR] [ROUNDS]   (defaults build/release, 3)
#
# Each round runs, for each rate, the service and then HTB. Under each: an
# iperf3 TCP transfer a->b (1400-byte writes, 64 KiB window). As the baseline
# of the service's CPU time, the service also passes the same transfer
# unshaped (the example graph), paced to the rate by iperf3 itself. After a
# warm-up, over a window of `window` seconds, the rate received on b's veth
# and the p50 of pings a->b 20 ms apart, with the service's CPU time (all
# its threads, from the scheduler's own nanosecond counts). Each shaper's
# rate is taken on the bytes it counts: the service the IPv4 packet, HTB the
# Ethernet frame (the veth's count; TSO is off on a's veth, so each is one
# wire packet). Reported: medians over the rounds. Ends with one "target:"
# line per target, met or missed, and exits 1 when one is missed.
#
# The pings share class 14's queue with the transfer. HTB on the sender's own
# veth holds TCP back through the socket's small-queue limit; the service
# steals each packet and sends a copy later, so the sender's whole window
# waits in class 14 and the ping p50 is about that window over the rate.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-3}
service=$build/dovadod/dovadod
reg=$build/tools/dovadod-reg/dovadod-reg
warmup=2
window=5
link_bps=5120000
queue_limit=200

if [ "$(id -u)" -ne 0 ]; then
  echo "hfsc_shaping_bench: needs root (network namespaces); skipped"
  echo "target: not measured (hfsc_shaping_bench.sh needs root)"
  exit 0
fi
for f in "$service" "$reg"; do
  [ -x "$f" ] || { echo "hfsc_shaping_bench: $f not built" >&2; exit 1; }
done

. bench/netns_pair.sh
netns_pair_up dvhfsc 10.94.0
# One wire packet per socket buffer, so that both shapers and the veth's
# counters see the same packets.
ip -n "$na" link set va gso_max_segs 1
root=$(mktemp -d)
cleanup_paths+=("$root")
workdir=$root/workdir
cp -r examples/workdir "$workdir"
export DOVADOD_ROOT=$root
"$reg" set 'HKLM\SOFTWARE\Corvex\tarn' workdir REG_SZ "$workdir"
svc_pid=

stop_service() {
  [ -n "$svc_pid" ] || return 0
  kill -TERM "$svc_pid" 2>/dev/null || true
  wait "$svc_pid" || true
  svc_pid=
  if ip netns exec "$na" iptables-save -t raw | grep -q NFQUEUE; then
    echo "hfsc_shaping_bench: capture rules left behind" >&2
    exit 1
  fi
}

# Writes the class tree (root and class 14 both capped at `rate`), starts the
# service in a on the shaping graph (or, with "passthru", the example graph)
# and waits until it captures, with class 14 built when shaping.
start_service() {  # rate, log, [passthru]
  local bps graph=tests/data/hfsc/ostrel.graph
  [ "${3:-}" = passthru ] && graph=examples/workdir/ostrel.graph
  cp "$graph" "$workdir/ostrel.graph"
  bps=$(awk -v r="$1" -v l="$link_bps" 'BEGIN {printf "%d", r * l}')
  cat >"$workdir/ostrel-hfsc.json" <<EOF
{"name":"root","qid":1,"share":$1,"rate":$1,"node":[
  {"name":"wan","qid":7,"node":[
    {"name":"own","qid":13,"share":$1,"rate":$1,"queuelimit":$queue_limit}]}]}
EOF
  ip netns exec "$na" "$service" -console >"$2" 2>&1 &
  svc_pid=$!
  pids+=("$svc_pid")
  local ready=
  for _ in $(seq 200); do
    if ip netns exec "$na" iptables-save -t raw | grep -q NFQUEUE &&
      grep -q "consumer packet thread started." "$2"; then
      ready=1
      break
    fi
    sleep 0.05
  done
  [ "${3:-}" = passthru ] && [ -n "$ready" ] && return 0
  if [ -z "$ready" ] || ! grep -q "Q 14, RT 0, Share $bps bps, Cap $bps bps limit:$queue_limit" "$2"; then
    echo "hfsc_shaping_bench: dovadod did not start with class 14 at $bps bit/s" >&2
    cat "$2" >&2
    exit 1
  fi
}

htb_up() {  # rate in bit/s
  tc -n "$na" qdisc add dev va root handle 1: htb default 1
  tc -n "$na" class add dev va parent 1: classid 1:1 htb rate "${1}bit" ceil "${1}bit" quantum 1514
  tc -n "$na" qdisc add dev va parent 1:1 handle 10: pfifo limit "$queue_limit"
}

htb_down() {
  tc -n "$na" qdisc del dev va root
}

# "bytes packets" received on b's veth so far.
rx_counts() {
  ip -n "$nb" -s link show vb | awk '/RX:/ {getline; print $1, $2; exit}'
}

# Nanoseconds on the CPU of all threads of a process (0 without one).
cpu_ns() {  # pid or ""
  [ -n "$1" ] || { echo 0; return; }
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%d\n", s}'
}

# One loaded run: prints "bit/s ping_p50_ms cpu_s_per_GB" (bit/s on the
# shaper's own count: `level` ip or frame). Further arguments go to iperf3.
loaded_run() {  # level, pid or "", [iperf3 arguments]
  local out=$root/iperf.out pings=$root/ping.out level=$1 pid=$2
  shift 2
  ip netns exec "$na" iperf3 -c "$addr_b" -t $((warmup + window + 2)) -l 1400 -w 64K "$@" \
    >"$out" 2>&1 &
  local client=$!
  sleep "$warmup"
  local b0 p0 t0 c0 b1 p1 t1 c1
  read -r b0 p0 < <(rx_counts)
  t0=$(date +%s.%N)
  c0=$(cpu_ns "$pid")
  ip netns exec "$na" ping -c $((window * 50)) -i 0.02 -W 2 "$addr_b" >"$pings" 2>&1 &
  local pinger=$!
  sleep "$window"
  read -r b1 p1 < <(rx_counts)
  t1=$(date +%s.%N)
  c1=$(cpu_ns "$pid")
  wait "$pinger" || true
  wait "$client" || { echo "hfsc_shaping_bench: iperf3 failed" >&2; cat "$out" >&2; exit 1; }
  local p50
  p50=$(sed -n 's/.* time=\([0-9.]*\) ms.*/\1/p' "$pings" | median)
  awk -v lvl="$level" -v db=$((b1 - b0)) -v dp=$((p1 - p0)) -v t0="$t0" -v t1="$t1" \
    -v dc=$((c1 - c0)) -v p="$p50" 'BEGIN {
      bytes = (lvl == "ip") ? db - 14 * dp : db
      dt = t1 - t0
      ip_gb = (db - 14 * dp) / 1e9
      printf "%.0f %s %s\n", bytes * 8 / dt, p, (dc > 0 && ip_gb > 0 ? sprintf("%.2f", dc / 1e9 / ip_gb) : "nan") }'
}

rates=(0.5 4.0)
shapers=(dovadod htb passthru)
declare -A samples

for ((round = 1; round <= rounds; round++)); do
  for rate in "${rates[@]}"; do
    bps=$(awk -v r="$rate" -v l="$link_bps" 'BEGIN {printf "%d", r * l}')
    start_service "$rate" "$root/dovadod-$rate.log"
    samples[dovadod,$rate]+="$(loaded_run ip "$svc_pid");"
    stop_service
    htb_up "$bps"
    samples[htb,$rate]+="$(loaded_run frame "");"
    htb_down
    start_service "$rate" "$root/passthru-$rate.log" passthru
    samples[passthru,$rate]+="$(loaded_run ip "$svc_pid" -b "$bps");"
    stop_service
  done
done

# The median of field `col` of a sample list.
med() {  # samples, col
  tr ';' '\n' <<<"$1" | awk -v c="$2" 'NF {print $c}' | median
}

echo "a->b TCP through each shaper in namespace a; medians of $rounds rounds (${window}s window after ${warmup}s, pings 20 ms apart)"
printf '%-5s %-8s %12s %12s %8s %10s %10s\n' rate shaper "set bit/s" "got bit/s" error "ping p50" "cpu s/GB"
declare -A fig
for rate in "${rates[@]}"; do
  bps=$(awk -v r="$rate" -v l="$link_bps" 'BEGIN {printf "%d", r * l}')
  for s in "${shapers[@]}"; do
    got=$(med "${samples[$s,$rate]}" 1)
    p50=$(med "${samples[$s,$rate]}" 2)
    cpu=$(med "${samples[$s,$rate]}" 3)
    err=$(awk -v g="$got" -v b="$bps" 'BEGIN {printf "%.2f", (g / b - 1) * 100}')
    fig[$s,$rate,err]=$err
    fig[$s,$rate,ping]=$p50
    [ "$s" = htb ] && cpu="-"
    printf '%-5s %-8s %12d %12.0f %7s%% %7.2f ms %10s\n' "$rate" "$s" "$bps" "$got" "$err" "$p50" "$cpu"
  done
done
echo "(got: IPv4 bytes for dovadod, Ethernet frames for HTB, as each counts; passthru: dovadod"
echo " unshaped, iperf3 paced to the rate; cpu: dovadod's own time per GB of IPv4 bytes)"

missed=0
target() {  # description, condition on a and b, figure format, a, b
  local verdict=met
  awk -v a="$4" -v b="$5" "BEGIN {exit !($2)}" || { verdict=missed; missed=1; }
  echo "target: $1: $verdict, $(awk -v a="$4" -v b="$5" "BEGIN {printf \"$3\", a, b, (b > 0 ? a / b : 0)}")"
}
for rate in "${rates[@]}"; do
  for s in dovadod htb; do
    name=dovadod
    [ "$s" = htb ] && name="tc htb"
    target "$name rate error at rate $rate <= 5 %" "a < 0 ? -a <= 5 : a <= 5" "%+.2f %%" \
      "${fig[$s,$rate,err]}" 0
  done
done
for rate in "${rates[@]}"; do
  target "dovadod ping p50 under load at rate $rate <= 2x tc htb's" "a <= 2 * b" \
    "%.2f vs %.2f ms (%.2fx)" "${fig[dovadod,$rate,ping]}" "${fig[htb,$rate,ping]}"
done
exit "$missed"
