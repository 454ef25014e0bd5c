#!/usr/bin/env bash
# Builds the test machine's Debian 12 root from Debian packages into OUT_DIR (build/vm/ by
# default): disk.img (ext4, made with mke2fs -d, no mount), vmlinuz and initrd.img taken from
# that root. Reuses what is there while its inputs (this script, the agent, the mirror) are the
# same; anything else rebuilds it. Needs root (mmdebstrap).
#
#   bash tests/vm/image.sh [OUT_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/lib/packaging.sh"
out="$(realpath -m "${1:-$here/../../build/vm}")"
mkdir -p "$out"

# Only what the checks need: a kernel with its initramfs, systemd as init, udev for the
# module loading and the interface naming, lspci, modprobe, man for the package's page.
packages=linux-image-amd64,systemd-sysv,udev,dbus,pciutils,kmod,initramfs-tools,man-db

mirror="$(zyl_apt_mirror)"
[[ -n "$mirror" ]] || { echo "no mirror in this machine's apt sources" >&2; exit 1; }

inputs="$(cat "$here/image.sh" "$here/guest/zyl-agent.sh" "$here/guest/zyl-agent.service"; echo "$mirror")"
inputs="$(sha256sum <<<"$inputs" | cut -d' ' -f1)"
if [[ -f "$out/disk.img" && -f "$out/vmlinuz" && -f "$out/initrd.img" &&
      "$(cat "$out/inputs" 2>/dev/null)" == "$inputs" ]]; then
  echo "image: cached in $out"
  exit 0
fi

rm -f "$out/inputs" "$out/disk.img" "$out/vmlinuz" "$out/initrd.img"
root="$out/root"
rm -rf "$root"
# An initramfs with only what finds the root (virtio disk, ext4) instead of most of the kernel's
# drivers: smaller, and quicker to unpack and boot under emulation. Written before the kernel
# package builds the initramfs. The hook's "$1" is the root, expanded by mmdebstrap's shell.
# shellcheck disable=SC2016
initramfs_hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
echo MODULES=list >"$1/etc/initramfs-tools/conf.d/zyl-vm.conf"
printf "%s\n" "#!/bin/sh" "[ \"\$1\" = prereqs ] && exit 0" \
  ". /usr/share/initramfs-tools/hook-functions" \
  "manual_add_modules virtio_pci virtio_blk ext4" \
  "force_load virtio_pci" "force_load virtio_blk" >"$1/etc/initramfs-tools/hooks/zyl-vm"
chmod 0755 "$1/etc/initramfs-tools/hooks/zyl-vm"'
start=$(date +%s)
if ! mmdebstrap --quiet --variant=minbase --include="$packages" \
  --essential-hook="$initramfs_hook" bookworm "$root" "$mirror" >"$out/mmdebstrap.log" 2>&1; then
  tail -n 30 "$out/mmdebstrap.log" >&2
  echo "mmdebstrap failed" >&2
  exit 1
fi
echo "image: root made in $(($(date +%s) - start)) s ($(du -sm "$root" | cut -f1) MB) from $mirror"

echo zylvm >"$root/etc/hostname"
install -m 0755 "$here/guest/zyl-agent.sh" "$root/usr/local/sbin/zyl-agent"
install -m 0644 "$here/guest/zyl-agent.service" "$root/etc/systemd/system/zyl-agent.service"
ln -sf /etc/systemd/system/zyl-agent.service \
  "$root/etc/systemd/system/multi-user.target.wants/zyl-agent.service"
# A check of the root file system's metadata at every boot: half a minute under emulation, and
# this file system lives for one run.
ln -sf /dev/null "$root/etc/systemd/system/e2scrub_reap.service"
# The kernel and initramfs boot from outside (-kernel, -initrd).
cp "$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)" "$out/vmlinuz"
cp "$(ls "$root"/boot/initrd.img-* | sort -V | tail -n 1)" "$out/initrd.img"

start=$(date +%s)
mke2fs -q -t ext4 -L zylroot -d "$root" "$out/disk.img.tmp" 2G >"$out/mke2fs.log" 2>&1 ||
  { cat "$out/mke2fs.log" >&2; exit 1; }
mv "$out/disk.img.tmp" "$out/disk.img"
rm -rf "$root"
echo "$inputs" >"$out/inputs"
echo "image: disk.img made in $(($(date +%s) - start)) s"
