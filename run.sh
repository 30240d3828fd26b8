#!/usr/bin/env bash
# Installs what is missing, builds the release preset and runs the service.
#
#   ./run.sh              the service in the foreground on examples/workdir,
#                         rooted at build/run-root (or an exported DOVADOD_ROOT),
#                         until Ctrl-C; needs root
#   ./run.sh ARGS...      dovadod with ARGS, for example -install
#
# DOVADOD_PRESET builds and runs another preset (asan, say) instead.
set -euo pipefail
cd "$(dirname "$0")"
here=$(pwd)
preset=${DOVADOD_PRESET:-release}

# Both checks come before the build, so that nobody waits for a build only
# to be refused.
if [ $# -eq 0 ] && [ "$(id -u)" -ne 0 ]; then
  cat >&2 <<'HINT'
run.sh: dovadod captures this machine's IPv4 traffic and needs root:
  sudo ./run.sh                 pass this machine's traffic through the service (Ctrl-C stops it)
  sudo tools/netns-demo.sh      see it work between two network namespaces, leaving this machine's network alone
HINT
  exit 1
fi
# The nearest folder of build/<preset> that exists must be writable.
dir=$here/build/$preset
while [ ! -e "$dir" ]; do dir=$(dirname "$dir"); done
if [ ! -w "$dir" ]; then
  echo "run.sh: $dir is not writable by $(id -un); run as its owner (a first run under sudo makes it root's)" >&2
  exit 1
fi

./scripts/build-service.sh "$preset"

bin=$here/build/$preset/dovadod/dovadod
reg=$here/build/$preset/tools/dovadod-reg/dovadod-reg

if [ $# -gt 0 ]; then
  exec "$bin" "$@"
fi

export DOVADOD_ROOT=${DOVADOD_ROOT:-$here/build/run-root}
mkdir -p "$DOVADOD_ROOT"
./scripts/example-settings.sh "$reg"

# -console turns the log to the terminal once the banner is in the file; as
# the service, everything goes to the file.
echo "run.sh: dovadod -console logs to this terminal; its log file is" \
  "$DOVADOD_ROOT/var/log/Corvex/pellar/Logs/cxtarndebuglog.log (the start banner only)"
exec "$bin" -console
