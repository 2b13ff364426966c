#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12, as root. Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
here=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
need=(mingw-w64 g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
      wine wine32:i386 xvfb xauth googletest cmake ninja-build python3 x11-utils imagemagick chromium
      libodbc2:i386 libsqliteodbc:i386
      # The forms are laid out for Tahoma (Wine's own), Arial and Courier New (metric twins).
      fonts-wine fonts-liberation fonts-liberation2)
# A host that cannot run 32-bit code runs Wine inside an emulated machine, made from these.
. "$here/scripts/vm/host.sh"
vm=0
if cw_vm_needed; then
  vm=1
  need+=(qemu-system-x86 busybox-static cpio)
fi
missing=()
for p in "${need[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ] || ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  # An index that fails to download (a mirror caught mid-sync) is reported and the others are
  # used: the install below says what it then cannot find.
  $SUDO apt-get update -qq >/dev/null || echo "setup: some package indexes could not be updated" >&2
  # A broken index of a suite beside the release (security updates) fails the install: the
  # release's own packages do. The first attempt's errors are shown only when that fails too.
  err=$(mktemp)
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>"$err"; then
    echo "setup: the install failed; retrying with the release's own packages (bookworm)" >&2
    if ! $SUDO apt-get install -y -qq --no-install-recommends -t bookworm "${missing[@]}" >/dev/null; then
      cat "$err" >&2
      rm -f "$err"
      exit 1
    fi
  else
    cat "$err" >&2
  fi
  rm -f "$err"
fi
if [ "$vm" = 1 ]; then
  $SUDO env ${CW_VM_CACHE:+CW_VM_CACHE="$CW_VM_CACHE"} bash "$here/scripts/vm/prepare.sh"
fi
