#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the fuzz preset and the
# benchmarks need. Idempotent and quiet when everything is present.
set -euo pipefail

packages=(
  # build tools
  build-essential cmake ninja-build ccache pkg-config git
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries the service links
  libssl-dev libprotobuf-dev protobuf-compiler
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-thread-dev libboost-date-time-dev
  libdivide-dev libsystemd-dev libnetfilter-queue-dev libmnl-dev libndpi-dev libconcurrentqueue-dev
  # benchmark baselines
  rapidjson-dev nlohmann-json3-dev libabsl-dev
  # network-namespace tests (openssl: s_client against the test hub)
  iproute2 iptables openssl
  # reading back packet capture files
  tcpdump
  # divert and tunnel benchmark traffic
  iperf3 iputils-ping
  # tunnel benchmark baseline, and the profile of a missed target
  openvpn linux-perf
  # fuzz preset
  clang-14 libclang-rt-14-dev
)

# One dpkg-query for all of them: a call per package costs seconds. Names it
# does not know are left out of its output (and make it exit 1), so they count
# as missing.
declare -A installed=()
while read -r name status; do
  [ "$status" = "install ok installed" ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  [ -n "${installed[$p]:-}" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
