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
  # Making the prefix takes about 20 s; the limits are stretched by the tests' time-scale factor.
  scale="${CW_TEST_TIME_SCALE:-1}"
  case "$scale" in '' | *[!0-9]*) scale=1 ;; esac
  if [ "${#scale}" -gt 9 ]; then scale=100000; fi
  scale=$((10#$scale))
  if [ "$scale" -gt 100000 ]; then scale=100000; fi
  if [ "$scale" -lt 1 ]; then scale=1; fi
  mkdir -p "$(dirname "$prefix")"
  (
    if ! flock -w $((300 * scale)) 9; then
      echo "wine-run.sh: another process has been making $prefix for too long" >&2
      exit 1
    fi
    if [ ! -f "$prefix/.calderwisp-ready" ]; then
      # wineboot returns once the prefix is made; a persistent wineserver may be running,
      # so never wait for the server to exit here.
      timeout $((240 * scale)) wineboot -i >/dev/null 2>&1
      if [ $? = 124 ]; then
        echo "wine-run.sh: making the Wine prefix $prefix took too long" >&2
      else
        touch "$prefix/.calderwisp-ready"
      fi
    fi
  ) 9>"$prefix.lock"
fi
# Wine reads its own fonts (Tahoma and the others of fonts-wine) only from the prefix's font
# folder here: they are linked there, also into a prefix made before they were installed.
fonts="$prefix/drive_c/windows/Fonts"
if [ -d "$fonts" ] && [ ! -e "$fonts/tahoma.ttf" ]; then
  for f in /usr/share/wine/fonts/*.ttf; do
    [ -e "$f" ] && ln -sf "$f" "$fonts/" 2>/dev/null
  done
fi
exec wine "$@"
