#!/usr/bin/env bash
# Builds the control panel and runs it under Wine against the virtual MX-540KTR.
#
#   With a display (DISPLAY set): the program opens there; close it to end.
#   Without one: it runs on a private Xvfb display; once the main window shows
#   the device, a screenshot of it is saved, its path printed, and the program ends.
#
# Run folder run/: MX_540KTR.exe, the virtual device's drop-in HID_Lib.dll (the
# program uses the HID_Lib.dll it finds in its folder), the device's state
# folder run/device (settings.bin, device.txt, frames.log; commands go into
# run/device/control/*.cmd, see hidlib/virtual/README.md) and a Wine prefix.
# MX_DEMO_BUILD and MX_DEMO_RUN choose other build and run folders.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/install-deps.sh" || { echo "dependency install failed" >&2; exit 1; }

build=${MX_DEMO_BUILD:-$root/build/win}
mkdir -p "$build"
echo "building $build ..."
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.demo-configure.log" 2>&1 \
  || { cat "$build.demo-configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target MX_540KTR HID_Lib_virtual >"$build.demo-build.log" 2>&1 \
  || { tail -n 40 "$build.demo-build.log"; exit 1; }

run=${MX_DEMO_RUN:-$root/run}
mkdir -p "$run/device"
cp "$build/bin/MX_540KTR.exe" "$run/"
cp "$build/bin/virtual/HID_Lib.dll" "$run/"

export MX540_VIRTUAL_DIR=$run/device
export WINEPREFIX=$run/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ -n "${DISPLAY:-}" ]; then
  [ -f "$WINEPREFIX/system.reg" ] || { echo "preparing the Wine prefix ..."; wineboot -i >/dev/null 2>&1; wineserver -w; }
  echo "running $run/MX_540KTR.exe on $DISPLAY (virtual device state: $run/device)"
  cd "$run"
  exec wine MX_540KTR.exe
fi

# No display: a virtual one of our own, ended with everything else we started.
xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
displayfd=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$displayfd" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$displayfd" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$displayfd" | tr -d '[:space:]')"
rm -f "$displayfd"
[ -f "$WINEPREFIX/system.reg" ] || { echo "preparing the Wine prefix ..."; wineboot -i >/dev/null 2>&1; wineserver -w; }

echo "running $run/MX_540KTR.exe on the virtual display $DISPLAY"
rm -f "$run/device/device.txt"
(cd "$run" && exec wine MX_540KTR.exe) >/dev/null 2>&1 &

# Connected: the device has answered the first poll (2 s after start-up); the
# refresh that follows paints the buttons and values.
frames() { sed -n 's/^replies_sent=//p' "$run/device/device.txt" 2>/dev/null || true; }
for _ in $(seq 600); do
  n=$(frames)
  [ -n "$n" ] && [ "$n" -ge 1 ] && break
  sleep 0.1
done
n=$(frames)
if [ -z "$n" ] || [ "$n" -lt 1 ]; then
  echo "the program did not reach the virtual device within 60 s" >&2
  exit 1
fi
sleep 1.5

shot=$run/main-window.png
window=$(xdotool search --name '^MX-540KTR$' 2>/dev/null | head -n1 || true)
if [ -n "$window" ]; then
  import -window "$window" "$shot"
else
  import -window root "$shot"
fi
echo "screenshot of the connected main window: $shot"
