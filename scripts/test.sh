#!/usr/bin/env bash
# Builds everything and runs every test under Wine; ends with CTest's summary.
# On a host that cannot run 32-bit code the tests run inside an emulated machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
. "$here/scripts/wine-session.sh"
if cw_vm_needed; then cw_vm_begin; fi
bash "$here/scripts/build.sh"
cd "$build"
scale=$(cw_time_scale)
if [ "$scale" != 1 ]; then echo "Test waits and time limits scaled by $scale (CW_TEST_TIME_SCALE)"; fi
# CTest's exit code is this script's: non-zero when a test failed, or when none ran.
cw_wine_part "$build" ctest --output-on-failure --no-tests=error -j "$(nproc)" "$@"
