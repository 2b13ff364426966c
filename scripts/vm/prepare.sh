#!/usr/bin/env bash
# Makes the emulated machine's kernel and initramfs, once, from Debian's packages: the kernel
# that linux-image-amd64 depends on (downloaded and unpacked, never installed) and an initramfs
# of busybox-static with the virtio, 9p and virtio console modules and scripts/vm/init.
# Run by scripts/setup.sh as root. CW_VM_CACHE overrides where they are kept.
set -euo pipefail
vm=$(cd "$(dirname "$0")" && pwd)
cache="${CW_VM_CACHE:-/var/cache/calderwisp-vm}"
modules=(virtio_pci virtio_console 9pnet_virtio 9p)
# A changed init script or module list makes a new initramfs.
stamp="$(cat "$vm/init" "$vm/prepare.sh" | sha256sum | cut -c1-64)"
if [ -f "$cache/vmlinuz" ] && [ -f "$cache/initrd.img" ] &&
   [ "$(cat "$cache/stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi
echo "== Preparing the emulated machine's kernel and initramfs in $cache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ]; then
  apt-get update -qq >/dev/null
  kpkg=$(kernel_package)
fi
if [ -z "$kpkg" ]; then
  echo "No kernel package found behind linux-image-amd64 (run apt-get update?)" >&2
  exit 1
fi
(cd "$work" && apt-get download -qq -o APT::Sandbox::User=root "$kpkg" >/dev/null)
dpkg-deb -x "$work"/"$kpkg"_*.deb "$work/k"
kver=$(ls "$work/k/lib/modules")
busybox depmod -b "$work/k" "$kver"

rd="$work/rd"
mkdir -p "$rd/bin" "$rd/proc" "$rd/sys" "$rd/dev" "$rd/root" "$rd/lib/modules/$kver"
cp /bin/busybox "$rd/bin/busybox"
# The wanted modules and everything they depend on, by modules.dep.
dep="$work/k/lib/modules/$kver/modules.dep"
files=()
for m in "${modules[@]}"; do
  line=$(grep -E "(^|/)$m\\.ko(\\.[a-z]+)?:" "$dep") || { echo "Module $m not in $kpkg" >&2; exit 1; }
  files+=(${line//:/})
done
for f in $(printf '%s\n' "${files[@]}" | sort -u); do
  mkdir -p "$rd/lib/modules/$kver/$(dirname "$f")"
  cp "$work/k/lib/modules/$kver/$f" "$rd/lib/modules/$kver/$f"
done
busybox depmod -b "$rd" "$kver"
install -m 755 "$vm/init" "$rd/init"
(cd "$rd" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.img"

mkdir -p "$cache"
install -m 644 "$work/k/boot/vmlinuz-$kver" "$cache/vmlinuz.new"
install -m 644 "$work/initrd.img" "$cache/initrd.img.new"
mv "$cache/vmlinuz.new" "$cache/vmlinuz"
mv "$cache/initrd.img.new" "$cache/initrd.img"
echo "$stamp" >"$cache/stamp"
