#!/usr/bin/env bash
# Builds everything and runs every test under Wine; ends with CTest's summary.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bash "$here/scripts/build.sh"
. "$here/scripts/wine-session.sh"
cw_wine_session_start "$build"
cd "$build"
scale=$(cw_time_scale)
if [ "$scale" != 1 ]; then echo "Test waits and time limits scaled by $scale (CW_TEST_TIME_SCALE)"; fi
# CTest's exit code is this script's: non-zero when a test failed, or when none ran.
ctest --output-on-failure --no-tests=error -j "$(nproc)" "$@"
