#!/usr/bin/env bash
# Release artifacts in dist/:
#   mx540ctl_<version>_amd64.deb   mx540ctl for Linux (stripped) and its udev
#                                  rule, which the package installs and udevd
#                                  reloads and applies to the units present
#   MX-540KTR_<version>_windows-x64.zip
#                                  MX_540KTR.exe and mx540ctl.exe, Release and
#                                  stripped, each carrying the stripped HID_Lib.dll
# Prints each artifact's size. Builds in build/linux (Release) and
# build/win-release (Release cross build, linked with -s); installs the
# packaging tools it needs when missing (as root or with sudo).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/install-deps.sh"
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
for p in dpkg-dev zip; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "$p" >/dev/null
done

version=$(sed -n 's/^project(MX540KTR VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
dist=$root/dist
mkdir -p "$dist"
jobs=$(nproc)
size() { stat -c %s "$1"; }

echo "=== Linux: mx540ctl $version"
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Release >build/linux.configure.log 2>&1 || { cat build/linux.configure.log; exit 1; }
cmake --build build/linux -j "$jobs" --target mx540ctl >build/linux.build.log 2>&1 || { tail -n 40 build/linux.build.log; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg=$stage/pkg
DESTDIR=$pkg cmake --install build/linux --component mx540ctl --prefix /usr --strip >/dev/null
mkdir -p "$pkg/DEBIAN" "$pkg/usr/share/doc/mx540ctl" "$stage/shlibs/debian"
cp README.md "$pkg/usr/share/doc/mx540ctl/README.md"
echo "Source: mx540ctl" >"$stage/shlibs/debian/control"
depends=$(cd "$stage/shlibs" && dpkg-shlibdeps -O "$pkg/usr/bin/mx540ctl" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
cat >"$pkg/DEBIAN/control" <<EOF
Package: mx540ctl
Version: $version
Architecture: $(dpkg --print-architecture)
Maintainer: VORNIX MX-540KTR control panel team <mx540ktr@vornix.invalid>
Depends: $depends
Section: utils
Priority: optional
Installed-Size: $(du -sk "$pkg/usr" | cut -f1)
Description: command-line tool for VORNIX MX-540KTR audio units
 Lists MX-540KTR units, shows and changes their presets, backs up and
 restores their settings, updates their firmware (one unit or all in
 parallel) and resets them, through the kernel's hidraw interface.
 The udev rule /usr/lib/udev/rules.d/70-mx540ktr.rules lets the user at
 the local seat use the units without root.
EOF
# udevd, where it runs, reads the rule again and applies it to units present.
cat >"$pkg/DEBIAN/postinst" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = configure ] && command -v udevadm >/dev/null 2>&1 && [ -S /run/udev/control ]; then
  udevadm control --reload || true
  udevadm trigger --subsystem-match=hidraw --action=change || true
fi
EOF
cat >"$pkg/DEBIAN/postrm" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = remove ] && command -v udevadm >/dev/null 2>&1 && [ -S /run/udev/control ]; then
  udevadm control --reload || true
fi
EOF
chmod 0755 "$pkg/DEBIAN/postinst" "$pkg/DEBIAN/postrm"
deb=$dist/mx540ctl_${version}_$(dpkg --print-architecture).deb
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null

echo "=== Windows: MX_540KTR.exe and mx540ctl.exe $version"
win=build/win-release
cmake -S . -B "$win" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_SHARED_LINKER_FLAGS_RELEASE=-s -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s >"$win.configure.log" 2>&1 || { cat "$win.configure.log"; exit 1; }
cmake --build "$win" -j "$jobs" --target MX_540KTR mx540ctl >"$win.build.log" 2>&1 || { tail -n 40 "$win.build.log"; exit 1; }
zip=$dist/MX-540KTR_${version}_windows-x64.zip
rm -f "$zip"
zip -j -q -X "$zip" "$win/bin/MX_540KTR.exe" "$win/bin/mx540ctl.exe"

printf '%-44s %9s bytes\n' "$(basename "$deb")" "$(size "$deb")"
printf '  %-42s %9s bytes\n' "usr/bin/mx540ctl (stripped)" "$(size "$pkg/usr/bin/mx540ctl")"
printf '%-44s %9s bytes\n' "$(basename "$zip")" "$(size "$zip")"
printf '  %-42s %9s bytes\n' "MX_540KTR.exe" "$(size "$win/bin/MX_540KTR.exe")" \
  "mx540ctl.exe" "$(size "$win/bin/mx540ctl.exe")" "HID_Lib.dll inside each (stripped)" "$(size "$win/bin/HID_Lib.dll")"
