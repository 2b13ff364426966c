#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything into ./build (or $BUILD_DIR):
# the optimised build with debug information, the one the tests test and users run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bash "$here/scripts/setup.sh"
. "$here/scripts/vm/host.sh"
# Where Wine runs inside the emulated machine, the configure below reads the scaled test limits.
if cw_vm_needed; then cw_vm_begin; fi
# Configure every time: a failed configure must fail the build, not leave old binaries to test.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Progress lines are dropped; warnings and errors stay. A failed build fails this script.
set +e
cmake --build "$build" -j "$(nproc)" -- "$@" | grep -v '^\[[0-9]*/[0-9]*\] '
status=${PIPESTATUS[0]}
set -e
exit "$status"
