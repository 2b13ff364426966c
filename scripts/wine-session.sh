# Sourced by the run scripts: a display for windowed code and one persistent wineserver
# for the build folder's private prefix, both stopped when the caller exits.
cw_wine_session_start() {
  local build="$1"
  export CALDERWISP_WINEPREFIX="$build/wineprefix"
  export WINEPREFIX="$CALDERWISP_WINEPREFIX" WINEDEBUG=-all WINEARCH=win32
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  CW_XVFB_PID=""
  if [ -z "${DISPLAY:-}" ]; then
    local n=99
    while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    CW_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null || true
  # Make the prefix once (the emulator wrapper does the same under a lock).
  "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
  trap cw_wine_session_stop EXIT
}

cw_wine_session_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "${CW_XVFB_PID:-}" ]; then kill "$CW_XVFB_PID" 2>/dev/null || true; fi
}
