#!/usr/bin/env bash
# Installs missing packages, then builds the service and the settings tool in
# one preset; ./run.sh and tools/netns-demo.sh start from here.
#
#   scripts/build-service.sh [PRESET]    (default release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}

./scripts/install-deps.sh
# Once configured, ninja configures again by itself when a CMakeLists changes.
[ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target dovadod dovadod-reg
