#!/usr/bin/env bash
# Runs the program benchmark in a Wine session of its own (its own prefix, so the program's
# settings of the tests' prefix stay as they are; Xvfb when there is no display).
#   bash bench/program/run.sh <build folder> [runs] [calls]      program / minimal loop
#   bash bench/program/run.sh <build folder> requests [calls]    window thread's server requests
#   bash bench/program/run.sh <build folder> navigation [runs] [rows...]
#   bash bench/program/run.sh <build folder> library [runs]       whole-library symbol files
#   bash bench/program/run.sh <build folder> library-requests      their server requests per row
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
shift
bin="$build/bin"
. "$here/scripts/wine-session.sh"
if cw_vm_needed; then
  cw_vm_begin
  exec bash "$here/scripts/vm/run.sh" bash "$here/scripts/wine-session.sh" --part "$build/programbench-prefix" \
    bash "$here/bench/program/run.sh" "$build" --in-session "$@"
fi
if [ "${1:-}" = --in-session ]; then
  shift
else
  cw_wine_session_start_prefix "$build/programbench-prefix"
fi
cd "$bin"
if [ "${1:-}" = requests ] || [ "${1:-}" = library-requests ]; then
  # Wine's own trace of every server request: the session's server is replaced by one that
  # writes it to a file, which the benchmark reads.
  trace=$(mktemp /tmp/cw_programbench_trace.XXXXXX)
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p -d1 2>"$trace"
  wine cw_programbench.exe "$1" "$(wine winepath -w "$trace" 2>/dev/null | tr -d '\r')" "${2:-5000}" |
    tr -d '\r'
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -f "$trace"
else
  wine cw_programbench.exe "$@" | tr -d '\r'
fi
