#!/bin/bash
# Inside the test VM (tools/linux-vm-test.sh boots it): mx540ctl, built for
# Linux, against two MX-540KTR units made of USB HID gadgets served by the
# virtual device's model, through the kernel's usbcore, usbhid and hidraw,
# with systemd-udevd running. One line per check, then "N passed, M failed".
#
#   mx540ctl-checks.sh BIN SHARE
# BIN holds mx540ctl and mx540_gadget; SHARE the update files the host made
# (fwXY.vnxu with its images flashXY.padded and eepromXY.bin) and the unpacked
# udev (SHARE/vm). Timing figures go to SHARE/timing.txt.
set -u
bin=$1 share=$2
. "$(dirname "$0")/guest.sh"
ctl=$bin/mx540ctl
work=/tmp/mx540
S1=$(vmg_unit_serial 1) S2=$(vmg_unit_serial 2)
mkdir -p "$work" && cd "$work" || exit 1

setup() {
  vmg_udev "$share/vm" || { echo "systemd-udevd did not start"; return 1; }
  vmg_units "$bin" "$work" 2 || return 1
  cp unit2/settings.bin factory-settings.bin
}

# Field of a unit's device.txt.
field() { sed -n "s/^$2=//p" "$work/unit$1/device.txt"; }
gadget() { sed -n "s/^$2=//p" "$work/unit$1/gadget.txt"; }
# Unit $1 is in its boot loader, on the bus, and has taken $3 frames more than $2.
blocks_flowing() {
  vmg_wait 60 sh -c "grep -q '^mode=boot' '$work/unit$1/device.txt' && grep -q '^present=1' '$work/unit$1/device.txt' &&
    [ \$(sed -n 's/^frames_received=//p' '$work/unit$1/device.txt') -ge $(($2 + $3)) ]"
}

# Runs mx540ctl; its output, and "status N" on its own last line.
run() { "$@" 2>&1; echo "status $?"; }


check_list() {
  local want got
  want=$(printf '%-16s%-12s%-8s%s\n%-16s%-12s%-8s%s' "$S1" MX-540KTR normal 1.16 "$S2" MX-540KTR normal 1.16)
  got=$(run "$ctl" list)
  [ "$got" = "$want"$'\nstatus 0' ] || { printf 'got:\n%s\n' "$got"; return 1; }
  got=$(run "$ctl" list --json)
  expect "\"serial\": \"$S2\"," "$got" && expect '"mode": "normal",' "$got" && expect 'status 0' "$got"
}

check_show_json() {
  local got
  got=$(run "$ctl" show --json --serial "$S1")
  expect '"format": "mx540ctl-settings"' "$got" && expect "\"serial\": \"$S1\"" "$got" &&
    expect '"firmware": "1.16"' "$got" && expect 'status 0' "$got"
}

check_set() {
  local got
  got=$(run "$ctl" set --serial "$S1" --preset 3 gain=-7 src=Ch_9-10 delay=120 scale=dBFS)
  expect "$S1: settings written and read back." "$got" && expect 'status 0' "$got" || return 1
  got=$(run "$ctl" show --serial "$S1")
  expect "Ch_9-10" "$got" && expect "-7 dB" "$got" && expect "120 ms" "$got" && expect 'status 0' "$got" &&
    vmg_wait 5 sh -c "! cmp -s '$work/unit1/settings.bin' '$work/factory-settings.bin'"
}

check_save_load() {
  local got
  got=$(run "$ctl" save "$work/s1.json" --serial "$S1")
  expect 'status 0' "$got" || return 1
  got=$(run "$ctl" load "$work/s1.json" --serial "$S2")
  expect "$S2: settings loaded from" "$got" && expect 'status 0' "$got" || return 1
  vmg_wait 5 cmp -s "$work/unit1/settings.bin" "$work/unit2/settings.bin" ||
    { cmp -l "$work/unit1/settings.bin" "$work/unit2/settings.bin"; return 1; }
  [ "$(stat -c %s "$work/unit2/settings.bin")" = 29 ] || { echo "settings.bin is not 29 bytes"; return 1; }
}

check_update_one() {
  local before got held
  before=$(gadget 1 reports_in)
  TIMEFORMAT='%R %U %S'
  { time "$ctl" update "$share/fw21.vnxu" --serial "$S1" >update.out 2>&1; echo "status $?" >>update.out; } 2>update.time &
  local job=$!
  # While it runs the unit is held: another mx540ctl touches nothing.
  blocks_flowing 1 "$(field 1 frames_received)" 5 ||
    { echo "the update did not get going"; wait $job; cat update.out; return 1; }
  held=$(run "$ctl" show --serial "$S1")
  wait $job
  got=$(cat update.out)
  expect "$S1: updated from firmware 1.16 to 2.1" "$got" && expect 'status 0' "$got" || return 1
  expect "in use by mx540ctl" "$held" && expect 'status 2' "$held" || return 1
  images_are 1 21 || return 1
  expect "$S1   MX-540KTR   normal  2.1" "$("$ctl" list)" || return 1
  local reports=$(( $(gadget 1 reports_in) - before ))
  read -r wall user sys <update.time
  awk -v n="$reports" -v r="$wall" -v u="$user" -v s="$sys" 'BEGIN {
    printf "update of one unit in the VM: %d output reports in %.2f s (%.2f ms each); mx540ctl CPU %.3f s, %.0f us per report\n",
      n, r, 1000 * r / n, u + s, 1e6 * (u + s) / n }' >>"$share/timing.txt"
}

check_update_all() {
  local got
  got=$(run "$ctl" update "$share/fw22.vnxu" --all)
  expect "$S1: updated to firmware 2.2 in" "$got" && expect "$S2: updated to firmware 2.2 in" "$got" &&
    expect 'status 0' "$got" || return 1
  images_are 1 22 && images_are 2 22
}

check_reset() {
  local got
  got=$(run "$ctl" reset --serial "$S2")
  expect "$S2: settings reset to the factory values." "$got" && expect 'status 0' "$got" || return 1
  vmg_wait 5 cmp -s "$work/unit2/settings.bin" "$work/factory-settings.bin" ||
    { echo "settings after the reset differ from the factory settings"; return 1; }
}

check_unplug_mid_update() {
  local frames got
  frames=$(field 1 frames_received)
  "$ctl" update "$share/fw23.vnxu" --serial "$S1" >unplug.out 2>&1 &
  local job=$!
  # Well into the blocks: 40 frames into the boot loader.
  blocks_flowing 1 "$frames" 40 || { echo "the update did not get going"; kill $job; cat unplug.out; return 1; }
  echo unplug >"$work/unit1/control/unplug.cmd"
  wait $job
  local status=$?
  got=$(cat unplug.out)
  [ "$status" = 4 ] || { printf 'status %s, expected 4:\n%s\n' "$status" "$got"; return 1; }
  echo plug >"$work/unit1/control/plug.cmd"
  vmg_wait 30 vmg_node "$S1" || { echo "the unit did not come back"; return 1; }
  got=$(run "$ctl" update "$share/fw23.vnxu" --serial "$S1")
  expect "to 2.3" "$got" && expect 'status 0' "$got" && images_are 1 23
}

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

check_permission_refused() {
  local got
  got=$(run as_nobody "$ctl" list)
  expect "$S1" "$got" && expect 'status 0' "$got" || return 1
  got=$(run as_nobody "$ctl" show --serial "$S1")
  expect "permission denied" "$got" && expect "70-mx540ktr.rules" "$got" &&
    expect "mx540ctl udev-rule | sudo tee /etc/udev/rules.d/70-mx540ktr.rules" "$got" && expect 'status 2' "$got"
}

reload_rules() {
  udevadm control --reload && udevadm trigger --subsystem-match=hidraw --action=change && udevadm settle -t 20
}

check_rule_tags_units() {
  "$ctl" udev-rule >/etc/udev/rules.d/70-mx540ktr.rules && reload_rules || return 1
  local n
  for s in "$S1" "$S2"; do
    n=$(vmg_node "$s")
    vmg_wait 10 sh -c "udevadm info -q property '$n' | grep -q '^CURRENT_TAGS=.*:uaccess:'" ||
      { udevadm info -q property "$n"; return 1; }
  done
}

check_group_rule_for_ssh_users() {
  sed -n 's/^#   \(SUBSYSTEM==.*GROUP=.*\)$/\1/p' /etc/udev/rules.d/70-mx540ktr.rules >/etc/udev/rules.d/71-mx540ktr-group.rules
  grep -q 'GROUP="mx540"' /etc/udev/rules.d/71-mx540ktr-group.rules || { echo "no group rule in the rule's comments"; return 1; }
  groupadd --system mx540 && reload_rules || return 1
  local gid got
  gid=$(getent group mx540 | cut -d: -f3)
  vmg_wait 10 sh -c "[ \"\$(stat -c %g:%a '$(vmg_node "$S1")')\" = '$gid:660' ]" || { ls -l /dev/hidraw*; return 1; }
  got=$(run setpriv --reuid=65534 --regid=65534 --groups="$gid" "$ctl" show --serial "$S1")
  expect "$S1  MX-540KTR  firmware" "$got" && expect 'status 0' "$got"
}

# mx540ctl waiting for a unit that does not answer: its CPU time (every thread)
# over 5 s of that wait.
cpu_ns() { awk '{ t += $1 } END { print t }' /proc/"$1"/task/*/schedstat 2>/dev/null; }
measure_idle() {
  echo "drop-piece 0 1" >"$work/unit2/control/drop.cmd"
  vmg_wait 5 sh -c "[ ! -e '$work/unit2/control/drop.cmd' ]" || return 1
  local frames=$(field 2 frames_received)
  "$ctl" show --serial "$S2" >idle.out 2>&1 &
  local job=$!
  vmg_wait 10 sh -c "[ \$(sed -n 's/^frames_received=//p' '$work/unit2/device.txt') -gt $frames ]" || return 1
  sleep 0.5
  local a b
  a=$(cpu_ns $job); sleep 5; b=$(cpu_ns $job)
  wait $job
  awk -v a="$a" -v b="$b" 'BEGIN { printf "mx540ctl waiting on a unit that does not answer: %.3f ms CPU in 5 s (%.2f %%)\n",
    (b - a) / 1e6, 100 * (b - a) / 5e9 }' >>"$share/timing.txt"
}

if ! setup; then
  echo "FAIL - setup"
  vmg_failed=1
  vmg_summary
  exit 1
fi
vmg_check "list: both units, text and JSON" check_list
vmg_check "show --json" check_show_json
vmg_check "set, read back through show" check_set
vmg_check "save and load: 29 bytes exact on the other unit" check_save_load
vmg_check "update of one unit: flash and EEPROM exact; the unit is held meanwhile" check_update_one
vmg_check "update --all of two units: flash and EEPROM exact on both" check_update_all
vmg_check "reset: factory settings" check_reset
vmg_check "unplugged in the middle of an update: status 4, the retry succeeds" check_unplug_mid_update
vmg_check "a user without the rule: list works, open refused with status 2 and the rule named" check_permission_refused
vmg_check "the printed rule tags the units' nodes uaccess" check_rule_tags_units
vmg_check "the group rule for SSH users opens the unit to the group" check_group_rule_for_ssh_users
measure_idle
cat "$share/timing.txt" 2>/dev/null | sed 's/^/# /'
# What the host keeps for a look after a failure.
mkdir -p "$share/diag"
dmesg >"$share/diag/dmesg.txt" 2>&1
for k in 1 2; do
  cp "$work/unit$k.out" "$share/diag/" 2>/dev/null
  for f in device.txt control.log faults.log gadget.txt frames.log; do cp "$work/unit$k/$f" "$share/diag/unit$k-$f" 2>/dev/null; done
done
vmg_summary
