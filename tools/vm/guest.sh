# Helpers for scripts that run inside the test VM (as root, in the VM's root
# over the build machine's; see tools/vm/lib.sh). Source this file; its
# functions start with vmg_.
#
#   vmg_udev DIR             systemd-udevd from DIR/udev and DIR/libsystemd-shared
#                            (vm_udev unpacked them) copied into the VM and started
#   vmg_units BIN WORK N     N MX-540KTR units: BIN/mx540_gadget on dummy_udc.0..N-1,
#                            serials VX540K-00000k, folders WORK/unitK; returns once
#                            every unit's hidraw node is there
#   vmg_unit_serial K        the serial of unit K
#   vmg_node SERIAL          the hidraw node of the unit with that serial (empty: none)
#   vmg_wait SECONDS CMD..   runs CMD every 50 ms until it succeeds (status 0) or
#                            SECONDS pass (status 1)
#   vmg_check NAME CMD..     one check: "ok - NAME" or "FAIL - NAME" and the
#                            command's output; vmg_summary prints "N passed, M failed"

vmg_passed=0
vmg_failed=0

vmg_udev() {
  local dir=$1 p
  for p in udev libsystemd-shared; do
    tar -C "$dir/$p" -c . | tar -C / -x --keep-directory-symlink || return 1
  done
  mkdir -p /run/udev
  (exec -a systemd-udevd /bin/udevadm --daemon) >/dev/null 2>&1
  vmg_wait 20 test -e /run/udev/control
}

vmg_unit_serial() { printf 'VX540K-%06d' "$1"; }

vmg_node() {
  local n
  for n in /sys/class/hidraw/hidraw*; do
    [ -e "$n" ] || continue
    if [ "$(cat "$n/device/../../serial" 2>/dev/null)" = "$1" ]; then
      echo "/dev/${n##*/}"
      return 0
    fi
  done
  return 1
}

vmg_wait() {
  local seconds=$1; shift
  local until=$(( $(date +%s%N) + seconds * 1000000000 ))
  while [ "$(date +%s%N)" -lt "$until" ]; do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  return 1
}

vmg_units() {
  local bin=$1 work=$2 n=$3 k serial
  for k in $(seq 1 "$n"); do
    serial=$(vmg_unit_serial "$k")
    mkdir -p "$work/unit$k"
    "$bin/mx540_gadget" --udc "dummy_udc.$((k - 1))" --serial "$serial" --dir "$work/unit$k" \
      --name "mx540-$k" >"$work/unit$k.out" 2>&1 &
    echo $! >"$work/unit$k.pid"
  done
  for k in $(seq 1 "$n"); do
    serial=$(vmg_unit_serial "$k")
    vmg_wait 30 grep -q ready "$work/unit$k.out" || { echo "unit $k did not start:"; cat "$work/unit$k.out"; return 1; }
    vmg_wait 30 vmg_node "$serial" || { echo "no hidraw node for $serial"; return 1; }
  done
}

vmg_check() {
  local name=$1; shift
  local out
  if out=$("$@" 2>&1); then
    vmg_passed=$((vmg_passed + 1))
    echo "ok - $name"
  else
    vmg_failed=$((vmg_failed + 1))
    echo "FAIL - $name"
    [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/    /' | head -n 30
  fi
  return 0
}

vmg_summary() { echo "$vmg_passed passed, $vmg_failed failed"; }

# The checks' own: $work holds the units' folders, $share the update files.
expect() {  # expect "TEXT" OUTPUT: OUTPUT contains TEXT
  case $2 in *"$1"*) return 0 ;; esac
  printf 'expected "%s" in:\n%s\n' "$1" "$2"
  return 1
}

images_are() {  # unit version: flash and EEPROM hold that update's images
  vmg_wait 5 cmp -s "$work/unit$1/flash.bin" "$share/flash$2.padded" &&
    vmg_wait 5 cmp -s "$work/unit$1/eeprom.bin" "$share/eeprom$2.bin" ||
    { echo "unit $1: flash or EEPROM differ from update $2"; cmp "$work/unit$1/flash.bin" "$share/flash$2.padded";
      cmp "$work/unit$1/eeprom.bin" "$share/eeprom$2.bin"; return 1; }
}
