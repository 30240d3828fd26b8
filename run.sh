#!/usr/bin/env bash
# Installs what is missing, builds the release preset and runs the service.
#
#   ./run.sh              the service in the foreground on examples/workdir,
#                         rooted at build/run-root (or an exported DOVADOD_ROOT),
#                         until Ctrl-C; needs root
#   ./run.sh ARGS...      dovadod with ARGS, for example -install
set -euo pipefail
cd "$(dirname "$0")"
here=$(pwd)

./scripts/install-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target dovadod dovadod-reg

bin=$here/build/release/dovadod/dovadod
reg=$here/build/release/tools/dovadod-reg/dovadod-reg

if [ $# -gt 0 ]; then
  exec "$bin" "$@"
fi

export DOVADOD_ROOT=${DOVADOD_ROOT:-$here/build/run-root}
mkdir -p "$DOVADOD_ROOT"
"$reg" set 'HKLM\SOFTWARE\Corvex\tarn' workdir REG_SZ "$here/examples/workdir"

if [ "$(id -u)" -eq 0 ]; then
  exec "$bin" -console
fi

# The service refuses to run without root; say how to give it what it needs.
status=0
"$bin" -console || status=$?
cat >&2 <<'HINT'
run.sh: dovadod captures this machine's IPv4 traffic and needs root:
  sudo ./run.sh                 pass this machine's traffic through the service (Ctrl-C stops it)
  sudo unshare -n ./run.sh      try it in a private network namespace, leaving this machine's network alone
HINT
exit "$status"
