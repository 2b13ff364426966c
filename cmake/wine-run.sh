#!/usr/bin/env bash
# Runs a Windows program under Wine with the build folder's private prefix.
# CALDERWISP_WINEPREFIX is set by the build; the default is the prefix next to this build's binaries.
set -u
prefix="${CALDERWISP_WINEPREFIX:-}"
if [ -z "$prefix" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  prefix="$dir/wineprefix"
fi
# A host that cannot run 32-bit code runs the program inside the emulated machine, in a session
# of its own. One machine at a time per prefix: each runs its own wineserver, and two servers
# on one prefix would overwrite each other's registry.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/vm/host.sh"
if cw_vm_needed; then
  cw_vm_begin
  mkdir -p "$(dirname "$prefix")"
  exec flock "$prefix.vm-lock" bash "$here/scripts/vm/run.sh" \
    bash "$here/scripts/wine-session.sh" --part "$prefix" "$here/cmake/wine-run.sh" "$@"
fi
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win32
if [ ! -f "$prefix/.calderwisp-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.calderwisp-ready" ]; then
      # wineboot returns once the prefix is made; a persistent wineserver may be running,
      # so never wait for the server to exit here.
      wineboot -i >/dev/null 2>&1
      touch "$prefix/.calderwisp-ready"
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
