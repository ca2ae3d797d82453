#!/usr/bin/env bash
# The real Linux USB stack without hardware: boots Debian's stock kernel under
# qemu-system-x86_64 (software emulation) with a small initramfs in which dummy_hcd joins a
# USB device controller to a host controller. Our device models are served on the device
# side through the kernel's gadget framework, and tests/gadget/gadget_check drives them
# with the real hidapi and libusb on the host side. A second run does the same for the
# 8-byte HID family, up to DFU mode and back; a third serves a DFU device with a broken
# functional descriptor, which must fail.
#
# A fourth run serves the product to the shipped tolvex-dfu, as its own process.
#
# Usage: kernel-gadget-test.sh GADGET_CHECK_BINARY WORK_FOLDER [TOLVEX_DFU_BINARY]
# TOLVEX_GADGET_TRACE=1 in the environment of the check logs every request of endpoint 0
# (slow on the emulated serial console).
# Exit codes: 0 passed, 1 failed, 77 skipped (the emulator or the kernel cannot be had).
set -euo pipefail
usage() { echo "usage: kernel-gadget-test.sh GADGET_CHECK_BINARY WORK_FOLDER [TOLVEX_DFU_BINARY]" >&2; exit 2; }
[ $# -eq 2 ] || [ $# -eq 3 ] || usage
check=$1
program=${3:-}
# Everything below the work folder is removed and rebuilt: an empty one would make that
# the root of the file system.
[ -n "$2" ] || usage
work=$(realpath -m -- "$2")
[ "$work" != / ] || { echo "kernel-gadget-test.sh: refusing / as the work folder" >&2; exit 2; }
skip() { echo "SKIP: $*"; exit 77; }

packages=(qemu-system-x86 busybox-static kmod cpio udev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || skip "not root, and these packages are missing: ${missing[*]}"
  echo "== installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 \
    || { apt-get update -qq >/dev/null 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
           --no-install-recommends "${missing[@]}" >/dev/null 2>&1; } \
    || skip "cannot install ${missing[*]}"
fi

# Debian's stock kernel, unpacked, not installed.
mkdir -p "$work/kernel"
kernel_pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
[ -n "$kernel_pkg" ] || skip "apt knows no linux-image-amd64"
if [ ! -d "$work/kernel/root/boot" ] || ! ls "$work/kernel/root/boot/vmlinuz-"* >/dev/null 2>&1; then
  (cd "$work/kernel" && rm -f ./*.deb && apt-get download "$kernel_pkg" >/dev/null 2>&1) || skip "cannot download $kernel_pkg"
  rm -rf "$work/kernel/root"
  dpkg -x "$work/kernel/"*.deb "$work/kernel/root"
fi
vmlinuz=$(ls "$work/kernel/root/boot/vmlinuz-"* | head -1)
modules=$(ls -d "$work/kernel/root/lib/modules/"* | head -1)

# The modules in dependency order: the package carries no modules.dep, so each module's
# own list of dependencies decides.
declare -A loaded=()
order=()
add_module() {
  local name=$1 file dep
  [ -n "${loaded[$name]:-}" ] && return 0
  file=$(find "$modules" -name "$name.ko*" | head -1)
  [ -n "$file" ] || { echo "module $name not found" >&2; exit 1; }
  for dep in $(modinfo -F depends "$file" | tr ',' ' '); do
    add_module "$dep"
  done
  loaded[$name]=$file
  order+=("$name")
}
for m in dummy_hcd libcomposite usb_f_hid gadgetfs usbhid hid-generic; do
  add_module "$m"
done

# The initramfs: busybox, the modules, the check and the shared libraries it needs.
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,tmp,modules}
cp /bin/busybox "$root/bin/"
for m in "${order[@]}"; do
  case "${loaded[$m]}" in
    *.xz) xz -dc "${loaded[$m]}" > "$root/modules/$m.ko" ;;
    *.zst) zstd -qdc "${loaded[$m]}" > "$root/modules/$m.ko" ;;
    *) cp "${loaded[$m]}" "$root/modules/$m.ko" ;;
  esac
done
cp "$check" "$root/gadget_check"
[ -z "$program" ] || cp "$program" "$root/tolvex-dfu"
# udevd as on a desktop: libusb learns of devices that come after its start from udevd's
# events, and without it would never see the DFU-mode device arrive.
udevadm=$(readlink -f /lib/systemd/systemd-udevd)
mkdir -p "$root/usr/bin" "$root/lib/systemd" "$root/run"
cp "$udevadm" "$root/usr/bin/udevadm"
ln -s /usr/bin/udevadm "$root/lib/systemd/systemd-udevd"
for lib in $( (ldd "$check"; ldd "$udevadm"; [ -z "$program" ] || ldd "$program") | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\/.*ld-linux/ {print $1}' | sort -u); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cat > "$root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /run/udev
/lib/systemd/systemd-udevd --daemon
for m in ${order[*]}; do insmod /modules/\$m.ko || echo "TOLVEX-VM: insmod \$m failed"; done
mount -t configfs none /sys/kernel/config
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget
export QT_QPA_PLATFORM=offscreen HOME=/tmp
/gadget_check
rc=\$?
echo "TOLVEX-VM: check exit \$rc"
if [ \$rc -ne 0 ]; then
  for d in /sys/bus/usb/devices/*; do echo "TOLVEX-VM-DIAG: \$d \$(cat \$d/product 2>/dev/null)"; done
  dmesg | tail -25 | sed 's/^/TOLVEX-VM-DIAG: /'
fi
/gadget_check --otternine
echo "TOLVEX-VM: 8-byte check exit \$?"
/gadget_check --broken-functional-descriptor
echo "TOLVEX-VM: broken check exit \$?"
if [ -x /tolvex-dfu ]; then
  /gadget_check --cli /tolvex-dfu
  echo "TOLVEX-VM: tolvex-dfu check exit \$?"
fi
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null) > "$work/initramfs.cpio"

echo "== booting $(basename "$vmlinuz") under qemu (software emulation)"
log="$work/serial.log"
start=$(date +%s)
timeout 170 qemu-system-x86_64 -kernel "$vmlinuz" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1 oops=panic" -nographic -no-reboot -m 1024 -accel tcg -smp 1 \
  </dev/null >"$log" 2>&1 || true
echo "== the emulated run took $(( $(date +%s) - start )) s"
grep -E '^(gadget-check|gadget:|TOLVEX-)' "$log" | tr -d '\r' || true

# A kernel oops ends the machine at once (oops=panic); say so rather than leave a guess.
if grep -q -E 'BUG:|Oops:' "$log"; then
  echo "FAILED: the emulated kernel crashed:"
  tr -d '\r' < "$log" | grep -E -A14 'BUG:|Call Trace' | head -30
  exit 1
fi
grep -q 'TOLVEX-GADGET PASS' "$log" && grep -q 'TOLVEX-VM: check exit 0' "$log" \
  || { echo "FAILED: the check did not pass over the real stack (serial log: $log)"; exit 1; }
grep -q 'TOLVEX-GADGET PASS (8-byte family)' "$log" && grep -q 'TOLVEX-VM: 8-byte check exit 0' "$log" \
  || { echo "FAILED: the 8-byte HID family did not pass over the real stack (serial log: $log)"; exit 1; }
grep -q 'TOLVEX-VM: broken check exit 1' "$log" && grep -q 'TOLVEX-GADGET FAIL: DFU' "$log" \
  || { echo "FAILED: a DFU device with a broken functional descriptor was not caught (serial log: $log)"; exit 1; }
if [ -n "$program" ]; then
  grep -q 'TOLVEX-GADGET PASS (tolvex-dfu)' "$log" && grep -q 'TOLVEX-VM: tolvex-dfu check exit 0' "$log" \
    || { echo "FAILED: the shipped tolvex-dfu did not pass over the real stack (serial log: $log)"; exit 1; }
fi
echo "== passed: the real hidapi and libusb over the kernel's gadget stack"
