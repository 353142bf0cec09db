#!/usr/bin/env bash
# Idle cost of HID_Lib.dll under Wine: runs hidlib_idle_cost.exe (which holds a
# Wine HID device open with a handler registered) in the build folder's Wine
# prefix and adds the Wine server's CPU time over the same span.
#   hidlib/bench/idle_cost.sh <build dir> [library path] [seconds]
set -eu
build=$(cd "$1" && pwd)
lib=${2:-HID_Lib.dll}
seconds=${3:-10}
here=$(cd "$(dirname "$0")" && pwd)
cd "$build/bin"
out=$(mktemp)
"$here/../../cmake/wine-run" ./hidlib_idle_cost.exe "$lib" "$seconds" >"$out" 2>&1 &
runner=$!
for _ in $(seq 600); do grep -q ready "$out" && break; sleep 0.1; done
grep -q ready "$out" || { cat "$out"; kill "$runner"; exit 1; }
server=$(pgrep -n -u "$(id -u)" -f "^wineserver" || true)
for p in $(pgrep -u "$(id -u)" wineserver); do
  # The server of this build folder's prefix.
  if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -q "^WINEPREFIX=$build/wine/prefix$"; then server=$p; fi
done
ticks() { awk '{print $14 + $15}' "/proc/$server/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks); s0=$(date +%s.%N)
wait "$runner"
t1=$(ticks); s1=$(date +%s.%N)
cat "$out"
awk -v t="$((t1 - t0))" -v hz="$hz" -v a="$s0" -v b="$s1" \
  'BEGIN { printf "wineserver_cpu_ms=%.0f over %.1f s: wineserver_share=%.3f%%\n", 1000*t/hz, b-a, 100*(t/hz)/(b-a) }'
rm -f "$out"
