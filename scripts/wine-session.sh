# Sourced by the run scripts: a display for windowed code and one persistent wineserver
# for the build folder's private prefix, both stopped when the caller exits.
# Run as a program, it runs one command inside such a session:
#   bash scripts/wine-session.sh --part <wine prefix> <command> [args...]
. "$(dirname "${BASH_SOURCE[0]}")/vm/host.sh"

# The time-scale factor of the tests (CW_TEST_TIME_SCALE, a whole number >= 1, else 1), which
# also stretches the waits of these scripts.
cw_time_scale() {
  local s="${CW_TEST_TIME_SCALE:-1}"
  case "$s" in '' | *[!0-9]*) s=1 ;; esac
  if [ "${#s}" -gt 9 ]; then s=100000; fi
  s=$((10#$s))
  if [ "$s" -gt 100000 ]; then s=100000; fi
  if [ "$s" -lt 1 ]; then s=1; fi
  echo "$s"
}

cw_wine_session_start() {
  cw_wine_session_start_prefix "$1/wineprefix"
}

cw_wine_session_start_prefix() {
  local scale fifo
  scale=$(cw_time_scale)
  export CALDERWISP_WINEPREFIX="$1"
  export WINEPREFIX="$CALDERWISP_WINEPREFIX" WINEDEBUG=-all WINEARCH=win32
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  CW_XVFB_PID=""
  if [ -z "${DISPLAY:-}" ]; then
    # Xvfb picks a free display itself and tells its number, so parallel runs never collide.
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    CW_XVFB_PID=$!
    local n
    read -r -t $((20 * scale)) n <"$fifo" || n=""
    rm -f "$fifo"
    if [ -n "$n" ]; then export DISPLAY=":$n"; fi
  fi
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null || true
  # Make the prefix once (the emulator wrapper does the same under a lock).
  timeout $((300 * scale)) "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
  # Xvfb runs no window manager: Wine's windows must not wait for one (hiding a managed window
  # would wait 2 s for a state change that never comes).
  timeout $((60 * scale)) "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-run.sh" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    >/dev/null 2>&1 || true
  # The forms' fonts: Arial and Courier New are drawn with their metric twins (Wine would
  # otherwise take its default sans-serif face for both, and the memo would lose its columns).
  local face
  for face in "Arial=Liberation Sans" "Courier New=Liberation Mono"; do
    timeout $((60 * scale)) "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-run.sh" reg add 'HKCU\Software\Wine\Fonts\Replacements' \
      /v "${face%%=*}" /d "${face#*=}" /f >/dev/null 2>&1 || true
  done
  # A program that crashes just ends: Wine's crash debugger would wait on the test run's output.
  timeout $((60 * scale)) "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-run.sh" reg add \
    'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1 || true
  # The desktop's process is started here, by a holder whose output goes nowhere, and kept for
  # the session: a test that started it would have its output held open, and its test run on,
  # until the desktop fell idle.
  local holder="${CALDERWISP_WINEPREFIX%/*}/bin/cwdrive.exe" ready=""
  if [ -f "$holder" ]; then
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-run.sh" "$holder" hold </dev/null >"$fifo" 2>/dev/null &
    read -r -t $((60 * scale)) ready <"$fifo" || true
    rm -f "$fifo"
    if [ "${ready%$'\r'}" != ready ]; then echo "wine-session.sh: the desktop's holder did not start" >&2; fi
  fi
  trap cw_wine_session_stop EXIT
}

cw_wine_session_stop() {
  wineserver -k >/dev/null 2>&1 || true
  timeout $((30 * $(cw_time_scale))) wineserver -w >/dev/null 2>&1 || true
  if [ -n "${CW_XVFB_PID:-}" ]; then kill "$CW_XVFB_PID" 2>/dev/null || true; fi
}

# cw_wine_part <build> <command> [args...]: the part of a run that needs Wine. Here, in a
# session of this shell; on a host that cannot run 32-bit code, inside the emulated machine,
# in a session of its own, with the command's output and status passed back.
cw_wine_part() {
  local build="$1"
  shift
  if cw_vm_needed; then
    cw_vm_begin
    bash "$(dirname "${BASH_SOURCE[0]}")/vm/run.sh" \
      bash "$(dirname "${BASH_SOURCE[0]}")/wine-session.sh" --part "$build/wineprefix" "$@"
  else
    cw_wine_session_start "$build"
    "$@"
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = --part ]; then
  cw_wine_session_start_prefix "$2"
  shift 2
  "$@"
  exit
fi
