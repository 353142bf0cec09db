#!/usr/bin/env bash
# mx540ctl for Linux against the real kernel's USB HID stack: boots Debian's
# kernel (the version linux-image-amd64 names now) in QEMU with software
# emulation, with two MX-540KTR made of USB HID gadgets on the dummy host
# controller, and runs tools/vm/mx540ctl-checks.sh there. One boot runs every
# check; prints one line per check and "N passed, M failed"; exit status 0
# when every check passed.
#
#   tools/linux-vm-test.sh
#
# Builds build/linux (Release: mx540ctl, mx540_gadget, vnxu_gen). The kernel,
# udev and the initramfs go to build/vm (downloaded once per version); the
# whole console to build/vm/console.log. Runs as root (apt-get, QEMU's 9p
# export of /). MX_VM_TIMEOUT bounds the boot (seconds, default 900).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. tools/vm/lib.sh

build=build/linux
vm=build/vm
share=$root/$vm/share
started=$(date +%s)

fail() { echo "linux-vm: $*"; echo "0 passed, 1 failed"; exit 1; }

echo "=== linux-vm: build $build"
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; fail "configure failed"; }
cmake --build "$build" -j "$(nproc)" --target mx540ctl mx540_gadget vnxu_gen >"$build.build.log" 2>&1 ||
  { tail -n 40 "$build.build.log"; fail "build failed"; }

echo "=== linux-vm: kernel, udev, initramfs"
vm_prepare "$vm" || fail "the kernel could not be fetched"
vm_udev "$vm" || fail "udev could not be fetched"
vm_initramfs "$vm" "$vm/initrd.gz" || fail "the initramfs could not be made"
echo "kernel $(vm_kernel_release "$vm") ($(cat "$vm/kernel.version" 2>/dev/null || readlink "$vm/kernel"))"

# Update files: flash images of 24 KiB with their version in them (padded with
# the 0xFF of erased flash, as the unit's whole flash then reads), EEPROM 4 KiB.
rm -rf "$share" && mkdir -p "$share"
ln -s "$root/$vm" "$share/vm"   # the guest reads it through its view of this machine's root
vm_update_files "$share" "$build/common/vnxu_gen" 24576 21 22 23 || fail "vnxu_gen failed"
cat >"$share/run.sh" <<EOF
#!/bin/sh
exec "$root/tools/vm/mx540ctl-checks.sh" "$root/$build/bin" /mxshare
EOF
chmod +x "$share/run.sh"

echo "=== linux-vm: boot and check"
vm_boot "$vm" "$vm/initrd.gz" "$share" "${MX_VM_TIMEOUT:-900}" | tee "$vm/console.log" |
  grep --line-buffered -E '^(ok - |FAIL - |    |# |[0-9]+ passed, [0-9]+ failed|vm: )'
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$vm/console.log" | tail -n1)
echo "linux-vm: $(( $(date +%s) - started )) s in all"
[ -n "$summary" ] || fail "the VM ended without a summary (see $vm/console.log)"
case $summary in *" 0 failed") exit 0 ;; *) exit 1 ;; esac
