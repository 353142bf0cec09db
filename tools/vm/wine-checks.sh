#!/bin/bash
# Inside the test VM (tools/wine-vm-test.sh boots it): the Windows programs,
# each with its own real HID library, under Wine against two MX-540KTR units
# made of USB HID gadgets (mx540_gadget), through the kernel's usbcore,
# usbhid and hidraw, with systemd-udevd running and Wine's HID bus reading
# hidraw through libudev. One line per check, then "N passed, M failed".
#
#   wine-checks.sh WINBIN LINBIN SHARE PREFIX
# WINBIN holds mx540ctl.exe, MX_540KTR.exe and panel_on_unit.exe; LINBIN
# mx540_gadget; SHARE (writable, the host's) the update files fwXY.vnxu with
# their images flashXY.padded and eepromXY.bin, the unpacked udev (SHARE/vm),
# and receives panel.png (the connected window) and diag/; PREFIX the Wine
# prefix the host made (written here only in the VM's overlay).
set -u
winbin=$1 linbin=$2 share=$3
. "$(dirname "$0")/guest.sh"
export WINEPREFIX=$4 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=:7
work=/tmp/mx540
S1=$(vmg_unit_serial 1) S2=$(vmg_unit_serial 2)
mkdir -p "$work/ctl" "$work/panel" "$share/diag" && cd "$work/ctl" || exit 1
cp "$winbin/mx540ctl.exe" "$work/ctl/" && cp "$winbin/MX_540KTR.exe" "$work/panel/" || exit 1
started=$(date +%s)
TIMEFORMAT='%R'

# A Windows path of a path in the VM (Wine's drive Z: is the Unix root).
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# Runs mx540ctl.exe (no HID_Lib.dll beside it: it writes out its own real
# library); its output, and "status N" on its own last line. The seconds it
# took go to timing.txt.
ctl() {
  local out status t0=$(date +%s%N) up0
  up0=$(cut -d' ' -f1 /proc/uptime)
  out=$(wine "$work/ctl/mx540ctl.exe" "$@" 2>&1)
  status=$?
  printf '%s\nstatus %s\n' "$out" "$status"
  # With the VM's uptime, as the kernel's log and Wine's tick count have it.
  awk -v a="$t0" -v b="$(date +%s%N)" -v c="$*" -v u="$up0" -v v="$(cut -d' ' -f1 /proc/uptime)" \
    'BEGIN { printf "mx540ctl.exe %s: %.1f s (uptime %s to %s)\n", c, (b - a) / 1e9, u, v }' >>"$share/timing.txt"
}


gone() { ! vmg_node "$1"; }

# Times the kernel enumerated a unit as its boot loader.
boot_enumerations() { dmesg | grep -c 'Product: MX-540KTR (boot)'; }

# The kernel's log and the units' folders, into SHARE/diag (also before the
# panel's checks: a boot that runs out of time keeps what came before).
save_diag() {
  dmesg >"$share/diag/dmesg.txt" 2>&1
  local k f
  for k in 1 2; do
    cp "$work/unit$k.out" "$share/diag/" 2>/dev/null
    for f in device.txt control.log gadget.txt frames.log; do cp "$work/unit$k/$f" "$share/diag/unit$k-$f" 2>/dev/null; done
  done
}

setup() {
  vmg_udev "$share/vm" || { echo "systemd-udevd did not start"; return 1; }
  Xvfb :7 -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  # Without a display Wine makes no windows, and the HID library's hidden
  # window is what hears device changes.
  vmg_wait 30 xdpyinfo -display :7 || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; return 1; }
  # Wine's first start (its services, the HID bus among them), then its
  # desktop, then the units. Units that arrived while Wine's services were
  # starting were listed, but Wine then sent no device change to any window
  # for the rest of the run (three runs out of three; in two runs with the
  # units plugged after the start every change was announced).
  wineserver -p
  (cd "$work/ctl" && wine mx540ctl.exe --version >"$work/version.out" 2>&1; echo "status $?" >>"$work/version.out")
  # The desktop, held for the whole run (panel_on_unit.exe --desktop says
  # why); a second try once the first has started the desktop process.
  local try
  for try in 1 2; do
    wine "$winbin/panel_on_unit.exe" --desktop >"$work/desktop.out" 2>&1 &
    desktop=$!
    vmg_wait 60 grep -q -e "desktop ready" -e "no window" "$work/desktop.out"
    grep -q "desktop ready" "$work/desktop.out" && break
    kill "$desktop" 2>/dev/null
    desktop=
  done
  [ -n "$desktop" ] || { echo "Wine made no window:"; cat "$work/desktop.out"; return 1; }
  vmg_units "$linbin" "$work" 2 || return 1
  # The unit leaves the bus 100 ms after answering the end of an update.
  # Wine's HID bus reads the node in a thread of its own, which under
  # emulation on a busy machine often came later than that: the answer was
  # gone with the node (the program then reports that the unit did not
  # confirm the end of the update). 2 s leaves room for it.
  local k
  for k in 1 2; do echo "finish-leave-ms 2000" >"$work/unit$k/control/slow.cmd"; done
  for k in 1 2; do
    vmg_wait 10 grep -q "finish-leave-ms 2000 -> ok" "$work/unit$k/control.log" ||
      { echo "unit $k did not take finish-leave-ms"; return 1; }
  done
  echo "Wine's first start and the units: $(( $(date +%s) - started )) s" >>"$share/timing.txt"
}

check_version() {
  expect "mx540ctl" "$(cat "$work/version.out")" && expect "status 0" "$(cat "$work/version.out")"
}

check_list() {
  local want got
  want=$(printf '%-16s%-12s%-8s%s\n%-16s%-12s%-8s%s' "$S1" MX-540KTR normal 1.16 "$S2" MX-540KTR normal 1.16)
  got=$(ctl list)
  got=${got//$'\r'/}
  [ "$got" = "$want"$'\nstatus 0' ] || { printf 'got:\n%s\nwanted:\n%s\n' "$got" "$want"; return 1; }
}

check_show() {
  local got
  got=$(ctl show --serial "$S1")
  expect "$S1  MX-540KTR  firmware 1.16" "$got" && expect "active preset:" "$got" && expect 'status 0' "$got"
}

byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

check_set() {
  local got
  got=$(ctl set --serial "$S1" --preset 3 gain=-7 src=Ch_9-10 delay=120 scale=dBFS)
  expect "$S1: settings written and read back." "$got" && expect 'status 0' "$got" || return 1
  # Preset 3's source (byte 5+2), gain (9+2), scale (17+2) and delay (21+2)
  # as the unit holds them.
  local f=$work/unit1/settings.bin
  vmg_wait 5 sh -c "[ \"\$(od -An -tu1 -j7 -N1 '$f' | tr -d ' ')\" = 4 ]" &&
    [ "$(byte_at "$f" 11)" = 249 ] && [ "$(byte_at "$f" 19)" = 1 ] && [ "$(byte_at "$f" 23)" = 12 ] ||
    { echo "the unit holds:"; od -An -tu1 "$f"; return 1; }
  # Unit 2, untouched so far, holds the factory settings.
  [ "$(head -c 7 "$f" | od -An -tu1)" = "$(head -c 7 "$work/unit2/settings.bin" | od -An -tu1)" ] ||
    { echo "bytes before preset 3's source changed:"; od -An -tu1 "$f"; od -An -tu1 "$work/unit2/settings.bin"; return 1; }
}

check_update_one() {
  local got boots
  boots=$(boot_enumerations)
  got=$(ctl update "$share/fw21.vnxu" --serial "$S1")
  expect "$S1: updated from firmware 1.16 to 2.1" "$got" && expect 'status 0' "$got" || return 1
  [ "$(boot_enumerations)" -gt "$boots" ] || { echo "the kernel never enumerated the boot loader"; return 1; }
  images_are 1 21 || return 1
  vmg_wait 10 grep -q '^mode=normal' "$work/unit1/device.txt" || { cat "$work/unit1/device.txt"; return 1; }
}

check_update_all() {
  local got boots
  boots=$(boot_enumerations)
  got=$(ctl update "$share/fw22.vnxu" --all)
  expect "$S1: updated to firmware 2.2 in" "$got" && expect "$S2: updated to firmware 2.2 in" "$got" &&
    expect 'status 0' "$got" || return 1
  [ "$(boot_enumerations)" -ge $((boots + 2)) ] || { echo "the kernel did not enumerate both boot loaders"; return 1; }
  images_are 1 22 && images_are 2 22
}

# The panel on unit 2 (unit 1 unplugged, so the panel has one unit to take).
panel_checks() {
  echo unplug >"$work/unit1/control/away.cmd"
  vmg_wait 20 gone "$S1"
  # Unit 2 in normal mode whatever the updates left it in.
  if ! grep -q '^mode=normal' "$work/unit2/device.txt"; then
    echo normal >"$work/unit2/control/normal.cmd"
    vmg_wait 20 grep -q '^mode=normal' "$work/unit2/device.txt" && vmg_wait 20 vmg_node "$S2" ||
      echo "    unit 2 did not come back in normal mode"
  fi
  local out t0=$(date +%s)
  # Into a file: the panel it leaves running would hold a pipe open for good.
  wine "$winbin/panel_on_unit.exe" "$(winpath "$work/panel")" "$(winpath "$work/unit2")" 90 >"$work/panel.out" 2>&1
  out=$(cat "$work/panel.out")
  echo "panel_on_unit.exe: $(( $(date +%s) - t0 )) s" >>"$share/timing.txt"
  local line n=0
  while IFS= read -r line; do
    line=${line%$'\r'}
    case $line in
      "ok - "*) vmg_passed=$((vmg_passed + 1)); n=$((n + 1)); echo "$line" ;;
      "FAIL - "*) vmg_failed=$((vmg_failed + 1)); n=$((n + 1)); echo "$line" ;;
      "    "*) echo "$line" ;;
    esac
  done <<<"$out"
  # Every check of the driver ran (a failure stops it), and the screenshot
  # shows the window connected again after the replug.
  if [ "$n" -lt 5 ]; then
    vmg_failed=$((vmg_failed + 1))
    echo "FAIL - the panel's checks all ran"
    printf '%s\n' "$out" | grep -v -E '^(ok|FAIL) - ' | sed 's/^/    /' | head -n 20
  fi
  # What the panel shows at the end (connected when every check above passed).
  vmg_check "screenshot of the panel written out (panel.png)" import -window root "$share/panel.png"
}

if ! setup; then
  echo "FAIL - setup"
  vmg_failed=1
  [ -n "${desktop:-}" ] && kill "$desktop" 2>/dev/null
  vmg_summary
  exit 1
fi
vmg_check "mx540ctl.exe starts under Wine" check_version
vmg_check "list: both units, as on Windows (the USB strings read where Wine gets them wrong)" check_list
vmg_check "show" check_show
vmg_check "set: the unit holds the values" check_set
vmg_check "update of one unit: boot loader and back (real re-enumerations), flash and EEPROM exact" check_update_one
vmg_check "update --all of two units: flash and EEPROM exact on both" check_update_all
save_diag
panel_checks
echo "the VM's whole run: $(( $(date +%s) - started )) s" >>"$share/timing.txt"
sed 's/^/# /' "$share/timing.txt"
save_diag
[ -n "${desktop:-}" ] && kill "$desktop" 2>/dev/null
vmg_summary
