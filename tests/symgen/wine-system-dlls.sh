#!/usr/bin/env bash
# One-off check, not a ctest: runs zentrel.exe on every DLL of Wine's own i386 system folder,
# one process per DLL, and checks that each run ends cleanly: exit code 0 with one complete
# document that parses, or exit code 1 with one error line and nothing on standard output.
# Prints how many gave documents and the slowest run.
# Usage: BUILD_DIR=build [JOBS=n] bash tests/symgen/wine-system-dlls.sh [dll-folder]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${BUILD_DIR:-$here/build}" && pwd)
folder="${1:-/usr/lib/i386-linux-gnu/wine/i386-windows}"
. "$here/scripts/wine-session.sh"
cw_wine_session_start "$build"
work=$(mktemp -d)
trap 'rm -rf "$work"; cw_wine_session_stop' EXIT

check_one() {
  local dll="$1" work="$2" bin="$3"
  local name out err start end rc
  name=$(basename "$dll")
  out="$work/$name.out"
  err="$work/$name.err"
  start=$(date +%s%N)
  set +e
  # A run that hangs ends as exit code 124 (its limit stretched by CW_TEST_TIME_SCALE).
  (cd "$bin" && timeout "$CW_RUN_LIMIT" wine zentrel.exe --full-filename "Z:${dll//\//\\}" >"$out" 2>"$err")
  rc=$?
  set -e
  end=$(date +%s%N)
  printf '%s %s %s\n' "$rc" "$(( (end - start) / 1000000 ))" "$name"
}
export -f check_one
export CW_RUN_LIMIT=$((120 * $(cw_time_scale)))

ls "$folder"/*.dll | xargs -P "${JOBS:-$(nproc)}" -I{} bash -c 'check_one "$@"' _ {} "$work" "$build/bin" >"$work/results.txt"

python3 - "$work" <<'EOF'
import sys, os, xml.dom.minidom
work = sys.argv[1]
documents = refused = bad = 0
slowest = (0.0, "")
for line in open(os.path.join(work, "results.txt")):
    rc, secs, name = line.split()
    rc, secs = int(rc), int(secs) / 1000.0
    slowest = max(slowest, (secs, name))
    out = open(os.path.join(work, name + ".out"), "rb").read()
    err = open(os.path.join(work, name + ".err"), "rb").read()
    problem = None
    if rc == 0:
        if err or not out.endswith(b"</propertyset>\r\n") or out.count(b"<?xml") != 1:
            problem = "incomplete document"
        else:
            try:
                xml.dom.minidom.parseString(out)
            except Exception as e:
                problem = "does not parse: %s" % e
        documents += problem is None
    elif rc == 1:
        if out or not err.endswith(b"\r\n") or err.count(b"\n") != 1:
            problem = "not one error line, or output written"
        else:
            refused += 1
            print("refused %s: %s" % (name, err.decode("utf-8", "replace").strip()))
    else:
        problem = "exit code %d" % rc
    if problem:
        bad += 1
        print("BAD %s: %s" % (name, problem))
print("%d DLLs: %d documents, %d refused with one error line, %d bad; slowest %.2f s (%s)"
      % (documents + refused + bad, documents, refused, bad, slowest[0], slowest[1]))
sys.exit(1 if bad else 0)
EOF
