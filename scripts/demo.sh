#!/usr/bin/env bash
# Builds everything and runs the deliverables that exist on the bundled samples under Wine.
# On a host that cannot run 32-bit code their Wine part runs inside an emulated machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bin="$build/bin"

if [ "${1:-}" != --wine-part ]; then
  . "$here/scripts/wine-session.sh"
  if cw_vm_needed; then cw_vm_begin; fi
  bash "$here/scripts/build.sh"
  cw_wine_part "$build" bash "$here/scripts/demo.sh" --wine-part
  exit
fi

# The Wine part, inside a running session.
ran=0
if [ -f "$bin/zentrel.exe" ] && [ -f "$bin/demolib.dll" ]; then
  echo "== Zentrel: symbol file of the demo DLL (demolib.dll)"
  (cd "$bin" && wine zentrel.exe demolib.dll)
  ran=1
fi
if [ -f "$bin/Calderwisp.exe" ] && [ -f "$bin/demo.exe" ]; then
  echo "== Calderwisp: tracing demo.exe with symbols\\demo.xml (close the window to end)"
  (cd "$bin" && wine Calderwisp.exe)
  ran=1
fi
if [ ! -f "$bin/demo.exe" ]; then
  echo "== The tracer's main window is not built yet, so Calderwisp cannot be shown tracing here."
  echo "   Its tracing engine is exercised on the bundled debuggees by: bash scripts/test.sh"
fi
if [ "$ran" = 0 ]; then
  echo "Everything is built in $bin; no deliverable with a bundled sample was found."
fi
