#!/usr/bin/env bash
# Runs one command inside a small emulated machine (QEMU, multi-threaded TCG) whose root is the
# host's own root shared over 9p: same paths, same environment, same working folder; its
# output and exit status come back. For hosts that cannot run 32-bit code, where Wine needs a
# kernel that can. The kernel and initramfs come from scripts/vm/prepare.sh (run by setup).
#   bash scripts/vm/run.sh <command> [args...]
set -euo pipefail
cache="${CW_VM_CACHE:-/var/cache/calderwisp-vm}"
if [ ! -f "$cache/vmlinuz" ] || [ ! -f "$cache/initrd.img" ] || ! command -v qemu-system-x86_64 >/dev/null; then
  echo "The emulated machine is not prepared: run scripts/setup.sh (with CW_FORCE_VM=1 on a host that runs 32-bit code)." >&2
  exit 1
fi
here=$(cd "$(dirname "$0")/../.." && pwd)

# /var/tmp, since the machine's /tmp is its own.
job=$(mktemp -d /var/tmp/calderwisp-vm.XXXXXX)
trap 'rm -rf "$job"' EXIT
{
  for name in $(compgen -e); do
    case "$name" in
      # This shell's own, the host's display and session, and a temporary folder the machine
      # may not have: the machine starts its own display and uses its own /tmp.
      PWD | OLDPWD | SHLVL | _ | SHELLOPTS | BASHOPTS | BASH_* | DISPLAY | XAUTHORITY | \
      WAYLAND_DISPLAY | XDG_RUNTIME_DIR | DBUS_SESSION_BUS_ADDRESS | TMPDIR | TMP | TEMP) continue ;;
    esac
    printf 'export %s=%q\n' "$name" "${!name}"
  done
  echo "export CW_IN_VM=1"
  printf 'cd %q || exit 125\n' "$PWD"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$job/job.sh"
# Folders under /tmp that the command needs stay visible inside the machine.
for path in "$PWD" "$here" "${BUILD_DIR:-}" "${CALDERWISP_WINEPREFIX:-}" "$@"; do
  case "$path" in
    /tmp/?*) top="${path#/tmp/}"; echo "${top%%/*}" ;;
  esac
done | sort -u >"$job/keep"

# 8 GiB, or three quarters of the host's memory where that is less.
mem_kib=$(awk '/^MemTotal:/ { print $2 }' /proc/meminfo)
mem_mib=$((mem_kib * 3 / 4 / 1024))
if [ "$mem_mib" -gt 8192 ]; then mem_mib=8192; fi
# passthrough stores owners and modes as they are, which needs root; otherwise files belong to
# the caller and the command runs as the caller inside too.
model=passthrough
if [ "$(id -u)" != 0 ]; then model=none; fi

set +e
qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot \
  -accel tcg,thread=multi -cpu max,-smap -smp "$(nproc)" -m "$mem_mib" \
  -kernel "$cache/vmlinuz" -initrd "$cache/initrd.img" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 cw.job=$job cw.uid=$(id -u) cw.gid=$(id -g)" \
  -serial "file:$job/console.log" \
  -fsdev "local,id=hostroot,path=/,security_model=$model,multidevs=remap" \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -device virtio-serial-pci \
  -add-fd fd=3,set=3 -add-fd fd=4,set=4 \
  -chardev file,id=out,path=/dev/fdset/3,append=on -device virtserialport,chardev=out,name=cw.out \
  -chardev file,id=err,path=/dev/fdset/4,append=on -device virtserialport,chardev=err,name=cw.err \
  3>&1 4>&2 </dev/null
qemu_status=$?
set -e
if [ ! -f "$job/status" ]; then
  echo "The emulated machine stopped before the command ended (QEMU exit status $qemu_status). Its console:" >&2
  tail -n 20 "$job/console.log" >&2 || true
  exit 1
fi
exit "$(cat "$job/status")"
