#!/usr/bin/env bash
# Builds everything and runs the deliverables that exist on the bundled samples under Wine.
# On a host that cannot run 32-bit code their Wine part runs inside an emulated machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bin="$build/bin"

if [ "${1:-}" != --wine-part ]; then
  # Without a display of the user's own the demo runs headless, under the session's Xvfb (the
  # emulated machine of a host without 32-bit support has no display either).
  export CW_DEMO_HEADLESS=0
  if [ -z "${DISPLAY:-}" ]; then CW_DEMO_HEADLESS=1; fi
  . "$here/scripts/wine-session.sh"
  if cw_vm_needed; then cw_vm_begin; fi
  bash "$here/scripts/build.sh"
  cw_wine_part "$build" bash "$here/scripts/demo.sh" --wine-part
  exit
fi

# The Wine part, inside a running session (its helpers: the time scale).
. "$here/scripts/wine-session.sh"
headless="${CW_DEMO_HEADLESS:-1}"
ran=0
if [ -f "$bin/zentrel.exe" ] && [ -f "$bin/demolib.dll" ]; then
  echo "== Zentrel: symbol file of the demo DLL (demolib.dll)"
  (cd "$bin" && wine zentrel.exe demolib.dll)
  ran=1
fi
# --- Calderwisp tracing the bundled demo program -------------------------------------------
if [ -f "$bin/Calderwisp.exe" ] && [ -f "$bin/demo.exe" ] && [ -f "$bin/symbols/demo.xml" ]; then
  # The start finds the demo's symbol file loaded and its command line in the Run button's
  # recent list. The settings are those of the build's private prefix: written when there are
  # none yet, or when they do not name the demo (a test run of the program may have left its own).
  settings_dir="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Pelludrane/Calderwisp"
  if ! grep -qs 'demo\.exe' "$settings_dir/calderwisp.xml"; then
    win_bin=$(wine winepath -w "$bin" 2>/dev/null | tr -d '\r')
    mkdir -p "$settings_dir"
    printf '%s\r\n' '<?xml version="1.0" encoding="utf-8"?>' \
      '<propertyset name="calderwisp:properties">' \
      '	<propertyset name="symbolfiles">' \
      "		<property name=\"symbolfile\" value=\"$win_bin\\symbols\\demo.xml\"/>" \
      '	</propertyset>' \
      '	<propertyset name="recentfiles">' \
      '		<propertyset name="object">' \
      "			<property name=\"FileName\" value=\"&quot;$win_bin\\demo.exe&quot;\"/>" \
      '		</propertyset>' \
      '	</propertyset>' \
      '</propertyset>' >"$settings_dir/calderwisp.xml"
  fi
  if [ "$headless" = 1 ]; then
    echo "== Calderwisp: no display, so the demo runs under Xvfb, driven from outside the program:"
    echo "   the first entry of the Run button's recent list (demo.exe), then the log until \"Finish\","
    echo "   then the log saved as CSV (Ctrl+S, the save dialog, the file name typed, Save)"
    rm -f "$build/demo.png" "$build/demo.csv"
    (cd "$bin" && wine cwdrive.exe demo "$(wine winepath -w "$build/demo.png" 2>/dev/null | tr -d '\r')" \
      "$(wine winepath -w "$build/demo.csv" 2>/dev/null | tr -d '\r')" \
      $((120 * $(cw_time_scale))) | tr -d '\r')
    echo "== Screenshot of the filled log: $build/demo.png"
    echo "== The log as CSV: $build/demo.csv"
    tr -d '\r' <"$build/demo.csv"
  else
    echo "== Calderwisp: the demo's symbol file is loaded; click the arrow beside the Run button and"
    echo "   choose demo.exe to trace it (close the window to end)"
    (cd "$bin" && wine Calderwisp.exe)
  fi
  ran=1
fi
# ---------------------------------------------------------------------------------------------
if [ "$ran" = 0 ]; then
  echo "Everything is built in $bin; no deliverable with a bundled sample was found."
fi
