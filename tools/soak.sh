#!/usr/bin/env bash
# The soak run of the real program under Wine against the virtual MX-540KTR (not
# part of CI): builds MX_540KTR.exe, the virtual HID_Lib.dll and the driver
# mx_soak.exe in build/win, then runs
#   tools/soak.sh [MINUTES=30] [REPLUG_SECONDS=6] [UPDATE_MINUTES=5]
# on the build folder's own Xvfb display and Wine prefix. It prints a line a
# minute and at the end the program's handle count and private memory at the
# start and the end, the polls missed, the edits and updates that did not get
# through and every message box other than an update's success message; the
# exit status is 0 only when there was none of those. The run's folder is
# build/win/bin/soak (the device's state and frames.log in soak/device).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/install-deps.sh" || { echo "dependency install failed"; exit 1; }

dir=build/win
mkdir -p "$dir"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; exit 1; }
fi
nice -n 10 cmake --build "$dir" -j "$(nproc)" --target mx_soak >"$dir.soak-build.log" 2>&1 ||
  { tail -n 40 "$dir.soak-build.log"; exit 1; }

# Under Wine one process cannot read another's handle count or private memory,
# so the program's Linux process is sampled every 10 s: anonymous (private)
# resident memory, resident set, threads and open file descriptors, while the
# driver's phase file says the measured part of the run is going on.
run=$root/$dir/bin/soak
usage=$root/$dir/soak-usage.log
rm -f "$run/phase"
echo "seconds phase rss_anon_kib vm_rss_kib threads fds" >"$usage"
program_pid() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -q 'MX_540KTR\.exe' || continue
    tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$root/$dir/wine/prefix" || continue
    basename "$p"
    return
  done
}
sampler() {
  local started=$SECONDS pid phase
  while sleep 10; do
    phase=$(tr -d "\r\n" <"$run/phase" 2>/dev/null); phase=${phase:-warmup}
    pid=$(program_pid)
    [ -n "$pid" ] || continue
    awk -v t=$((SECONDS - started)) -v phase="$phase" -v fds="$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)" '
      /^RssAnon:/ { anon = $2 } /^VmRSS:/ { rss = $2 } /^Threads:/ { threads = $2 }
      END { print t, phase, anon, rss, threads, fds }' "/proc/$pid/status" >>"$usage"
  done
}
sampler &
sampler_pid=$!

MX_WINE_HOME=$root/$dir "$root/cmake/wine-run" "$root/$dir/bin/mx_soak.exe" "$@"
status=$?
kill "$sampler_pid" 2>/dev/null
awk 'NR > 1 && $2 == "running" { if (!n++) first = $0; last = $0
       if ($3 > max_anon) max_anon = $3; if ($6 > max_fds) max_fds = $6 }
     END { if (!n) { print "  program process: no samples"; exit }
           split(first, a, " "); split(last, b, " ")
           printf "  program process (Linux, %d samples over %d s): private (anonymous) memory %d KiB -> %d KiB (highest %d), resident %d -> %d KiB, threads %d -> %d, file descriptors %d -> %d (highest %d)\n",
                  n, b[1] - a[1], a[3], b[3], max_anon, a[4], b[4], a[5], b[5], a[6], b[6], max_fds }' "$usage"
"$root/cmake/wine-stop" "$root/$dir" >/dev/null 2>&1
exit $status
