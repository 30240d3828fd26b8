#!/usr/bin/env bash
# Writes the settings a run on examples/workdir needs into the settings store
# under $DOVADOD_ROOT: the work directory, and the values an installation
# provisions beside it, whose absence the service logs as errors.
#
#   scripts/example-settings.sh DOVADOD_REG
set -euo pipefail
cd "$(dirname "$0")/.."
reg=$1
tarn='HKLM\SOFTWARE\Corvex\tarn'

"$reg" set "$tarn" workdir REG_SZ "$(pwd)/examples/workdir"
# Read before the client configuration's fail-close flag, and in its place:
# "disabled" agrees with the example's configuration.
"$reg" set "$tarn" failclose_testing_variable REG_SZ disabled
# Written by the captive-portal detector; the service follows it.
"$reg" set "$tarn\\cpdetection" cpdetectionstatus REG_SZ notdetected
