# Sourced by the namespace benchmarks: two network namespaces, a and b, joined
# by a veth pair (va in a, vb in b), an iperf3 server in b, and one measured
# iperf3 run from a. Nothing is loaded in the namespace the caller runs in.
#
#   . bench/netns_pair.sh
#   netns_pair_up dvbench 10.98.0   # sets na, nb, addr_a, addr_b
#   r=$(measure -u -b 0 -l 64)      # "gbps kpps" over `seconds`
#   p=$(ping_p50 50)                # median round trip a->b in ms
#
# Processes started in the background go in `pids` and files to remove in
# `cleanup_paths`; both are cleaned on exit.

pids=()
cleanup_paths=()

netns_pair_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$na" 2>/dev/null || true
  ip netns del "$nb" 2>/dev/null || true
  for f in "${cleanup_paths[@]}"; do rm -rf "$f"; done
}

netns_pair_up() {  # namespace name prefix, first three octets of a /24
  na=${1}${$}a
  nb=${1}${$}b
  addr_a=$2.1
  addr_b=$2.2
  trap netns_pair_cleanup EXIT
  ip netns add "$na"
  ip netns add "$nb"
  ip link add va netns "$na" type veth peer name vb netns "$nb"
  ip -n "$na" addr add "$addr_a/24" dev va
  ip -n "$nb" addr add "$addr_b/24" dev vb
  # lo carries re-injected inbound packets (and local IPC).
  for ns in "$na" "$nb"; do ip -n "$ns" link set lo up; done
  ip -n "$na" link set va up
  ip -n "$nb" link set vb up
  ip netns exec "$nb" iperf3 -s -B "$addr_b" >/dev/null 2>&1 &
  pids+=("$!")
  sleep 0.5
}

rx_packets() {  # namespace, device
  ip -n "$1" -s link show "$2" | awk '/RX:/ {getline; print $2; exit}'
}

# One iperf3 run of `seconds` with the given client arguments; prints "gbps
# kpps" (kpps on the receiving veth, where GRO and TSO may count a
# super-packet once).
measure() {
  local args=("$@") rx_ns=$nb rx_dev=vb
  for a in "${args[@]}"; do [ "$a" = "-R" ] && { rx_ns=$na; rx_dev=va; }; done
  local before after out gbps
  before=$(rx_packets "$rx_ns" "$rx_dev")
  out=$(ip netns exec "$na" iperf3 -c "$addr_b" -t "$seconds" -f m "${args[@]}" 2>&1) || true
  after=$(rx_packets "$rx_ns" "$rx_dev")
  gbps=$(printf '%s\n' "$out" | awk '/receiver/ {for (i = 1; i <= NF; i++) if ($i == "Mbits/sec") v = $(i-1)} END {print v / 1000}')
  awk -v g="$gbps" -v p=$((after - before)) -v s="$seconds" 'BEGIN {printf "%.3f %.0f\n", g, p / s / 1000}'
}

# The median of the numbers on stdin, one a line; "nan" when there are none.
median() {
  sort -g | awk '{v[NR] = $1} END {
    if (NR == 0) print "nan"
    else print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# Median round trip a->b in ms of `count` pings 10 ms apart.
ping_p50() {  # count
  ip netns exec "$na" ping -c "$1" -i 0.01 -W 1 "$addr_b" 2>/dev/null |
    sed -n 's/.* time=\([0-9.]*\) ms.*/\1/p' | median
}
