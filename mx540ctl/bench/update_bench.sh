#!/usr/bin/env bash
# Benchmark of mx540ctl's firmware update against the virtual MX-540KTR under
# Wine, at the device's default timing (1 ms per output report, 20 ms per page
# erase; timing set by control commands would be run by whichever process
# drives a unit's folder first, which in `update --all` is not the child):
#   - one unit alone: the whole command, and its block phase against the
#     device-bound minimum (reports x 1 ms);
#   - `update --all` of 4 units against one unit alone.
#
#   mx540ctl/bench/update_bench.sh [BUILD=build/win] [RUNS=3]
# Needs the cross build (mx540ctl, HID_Lib_virtual) and build/native/common/vnxu_gen.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/win}" && pwd)
runs=${2:-3}
gen=$root/build/native/common/vnxu_gen
export MX_WINE_HOME=$build
work=$build/mx540ctl_bench
rm -rf "$work"
mkdir -p "$work"
cp "$build/bin/mx540ctl.exe" "$work/"
cp "$build/bin/virtual/HID_Lib.dll" "$work/"
cd "$work"
# 64 KiB of flash would need more records than a 4 KiB EEPROM leaves room for;
# 231 x 256 bytes is the largest flash image such a file carries.
"$gen" -n "MX-540KTR " -v 2.1 --random 7 $((231 * 256)) 4096 -o fw.vnxu >/dev/null
flash=$((231 * 256)) eeprom=4096
# Reports of the block phase: per 512-byte flash block one erase frame (1
# report) and one block frame (9 reports); per EEPROM block one block frame.
blocks_flash=$(( (flash + 511) / 512 )) blocks_eeprom=$(( (eeprom + 511) / 512 ))
reports=$(( blocks_flash * 10 + blocks_eeprom * 9 ))
minimum_ms=$(( reports + blocks_flash * 20 ))   # 1 ms per report, 20 ms per erase

prepare() {   # units
  rm -rf dev; mkdir -p dev
  for u in $(seq 1 "$1"); do
    d=dev; [ "$u" -gt 1 ] && d=dev/unit$u
    mkdir -p "$d"
  done
}

now_ms() { date +%s%3N; }

run() {   # units args...
  local units=$1; shift
  # Wine started beforehand.
  "$root/cmake/wine-run" ./mx540ctl.exe --version >/dev/null
  prepare "$units"
  local t0 t1
  t0=$(now_ms)
  MX540_VIRTUAL_DIR=$work/dev MX540_VIRTUAL_UNITS=$units "$root/cmake/wine-run" ./mx540ctl.exe "$@" >out.txt 2>&1 || {
    cat out.txt; echo "bench: mx540ctl $* failed"; exit 1; }
  t1=$(now_ms)
  echo $((t1 - t0))
}

echo "update file: $flash flash + $eeprom EEPROM bytes; $reports reports in the block phase, device-bound minimum ${minimum_ms} ms"
for i in $(seq 1 "$runs"); do
  one=$(run 1 update fw.vnxu)
  blocks=$(sed -nE 's/.*bytes written in ([0-9.]+) s.*/\1/p' out.txt)
  all=$(run 4 update fw.vnxu --all)
  ok=$(grep -c ": updated to firmware" out.txt || true)
  awk -v one="$one" -v blocks="$blocks" -v min="$minimum_ms" -v all="$all" -v ok="$ok" -v i="$i" 'BEGIN {
    printf "run %d: one unit %d ms (block phase %.0f ms, %.1f %% over the minimum); --all of 4: %d ms = %.2f x one unit (%d of 4 updated)\n",
      i, one, blocks * 1000, (blocks * 1000 - min) * 100 / min, all, all / one, ok }'
done
