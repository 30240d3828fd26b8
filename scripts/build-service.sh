#!/usr/bin/env bash
# Installs missing packages, then builds the service and the settings tool in
# one preset, with any further targets named; ./run.sh, tools/netns-demo.sh
# and tools/testhub/demo.sh start from here.
#
#   scripts/build-service.sh [PRESET [TARGET...]]    (default release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
shift $(($# > 0 ? 1 : 0))

./scripts/install-deps.sh
# Once configured, ninja configures again by itself when a CMakeLists changes.
[ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target dovadod dovadod-reg "$@"
