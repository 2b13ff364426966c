#!/usr/bin/env bash
# Builds everything and runs every test under Wine; ends with CTest's summary.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bash "$here/scripts/build.sh"
. "$here/scripts/wine-session.sh"
cw_wine_session_start "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
