#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything into ./build (or $BUILD_DIR).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bash "$here/scripts/setup.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j "$(nproc)" -- "$@" | grep -v '^\[' || true
# ninja's failure shows in its exit code through PIPESTATUS.
exit "${PIPESTATUS[0]}"
