#!/usr/bin/env bash
# The Windows programs under Wine against the real kernel's USB HID stack:
# boots Debian's kernel (the version linux-image-amd64 names now) in QEMU
# with software emulation, with two MX-540KTR made of USB HID gadgets on the
# dummy host controller, systemd-udevd and an X server, and runs
# tools/vm/wine-checks.sh there: the real mx540ctl.exe and MX_540KTR.exe,
# each with its own real HID_Lib.dll, through Wine's HID bus and hidraw. One
# boot runs every check; prints one line per check and "N passed, M failed";
# exit status 0 when every check passed.
#
#   tools/wine-vm-test.sh
#
# Builds what it needs in build/win (mx540ctl, MX_540KTR, panel_on_unit;
# configured here when missing) and build/linux (Release: mx540_gadget,
# vnxu_gen). The kernel, udev and the initramfs go to build/vm (shared with
# tools/linux-vm-test.sh), the Wine prefix to build/vm/wine-prefix (made on
# this machine, once per Wine version), the guest's writable share to
# build/vm/wine-share: the screenshot of the connected window
# (panel.png), timings and diagnostics; the whole console to
# build/vm/wine-console.log. Runs as root. MX_VM_TIMEOUT bounds the boot
# (seconds, default 900); MX_WINE_CHECKS names another script of tools/vm to run
# in place of wine-checks.sh (for looking into a failure).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. tools/vm/lib.sh

win=build/win
linux=build/linux
vm=build/vm
share=$root/$vm/wine-share
prefix=$root/$vm/wine-prefix
started=$(date +%s)

fail() { echo "wine-vm: $*"; echo "0 passed, 1 failed"; exit 1; }

echo "=== wine-vm: build $win and $linux"
if [ ! -f "$win/CMakeCache.txt" ]; then
  cmake -S . -B "$win" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    >"$win.configure.log" 2>&1 || { cat "$win.configure.log"; fail "configure of $win failed"; }
fi
cmake --build "$win" -j "$(nproc)" --target mx540ctl MX_540KTR panel_on_unit >"$win.wine-vm.build.log" 2>&1 ||
  { tail -n 40 "$win.wine-vm.build.log"; fail "build of $win failed"; }
mkdir -p "$linux"
cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=Release >"$linux.configure.log" 2>&1 ||
  { cat "$linux.configure.log"; fail "configure of $linux failed"; }
cmake --build "$linux" -j "$(nproc)" --target mx540_gadget vnxu_gen >"$linux.wine-vm.build.log" 2>&1 ||
  { tail -n 40 "$linux.wine-vm.build.log"; fail "build of $linux failed"; }

echo "=== wine-vm: kernel, udev, initramfs, Wine prefix"
vm_prepare "$vm" || fail "the kernel could not be fetched"
vm_udev "$vm" || fail "udev could not be fetched"
vm_initramfs "$vm" "$vm/initrd.gz" || fail "the initramfs could not be made"
wine_version=$(wine --version 2>/dev/null) || fail "no wine (tools/install-deps.sh installs it)"
echo "kernel $(vm_kernel_release "$vm"), $wine_version"

# The prefix, made here: Wine's first start in a new prefix takes minutes in
# the VM. Wine's HID bus settings (HKLM\System\CurrentControlSet\Services\
# winebus): "Enable SDL" 0, or Wine 8.0 never starts its udev bus and sees no
# hidraw device at all (the SDL bus, when libSDL2 loads, serves game
# controllers only); DisableUdevd 0, so that it hears device changes from
# udevd (its default, written down).
if [ "$(cat "$prefix.made-by" 2>/dev/null)" != "$wine_version" ]; then
  rm -rf "$prefix" "$prefix.made-by"
  (
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    wineboot -i >/dev/null 2>&1
    for value in "Enable SDL" DisableUdevd; do
      wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v "$value" /t REG_DWORD /d 0 /f >/dev/null 2>&1 ||
        exit 1
    done
    wineserver -w
  ) || fail "the Wine prefix could not be made"
  echo "$wine_version" >"$prefix.made-by"
fi

# Update files: flash images of 4 KiB with their version in them (padded with
# the 0xFF of erased flash, as the unit's whole flash then reads), EEPROM 4 KiB.
rm -rf "$share" && mkdir -p "$share"
ln -s "$root/$vm" "$share/vm"   # the guest reads it through its view of this machine's root
vm_update_files "$share" "$linux/common/vnxu_gen" 4096 21 22 || fail "vnxu_gen failed"
cat >"$share/run.sh" <<EOF
#!/bin/sh
exec "$root/tools/vm/${MX_WINE_CHECKS:-wine-checks.sh}" "$root/$win/bin" "$root/$linux/bin" /mxshare "$prefix"
EOF
chmod +x "$share/run.sh"

echo "=== wine-vm: boot and check"
vm_boot "$vm" "$vm/initrd.gz" "$share" "${MX_VM_TIMEOUT:-900}" | tee "$vm/wine-console.log" |
  grep --line-buffered -E '^(ok - |FAIL - |    |# |[0-9]+ passed, [0-9]+ failed|vm: )'
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$vm/wine-console.log" | tail -n1)
[ -f "$share/panel.png" ] && echo "wine-vm: the connected window: $share/panel.png"
echo "wine-vm: $(( $(date +%s) - started )) s in all"
[ -n "$summary" ] || fail "the VM ended without a summary (see $vm/wine-console.log)"
case $summary in *" 0 failed") exit 0 ;; *) exit 1 ;; esac
