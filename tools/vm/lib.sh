# The Linux test VM: Debian's own kernel in QEMU (software emulation), an
# initramfs made at run time, this machine's root shared read-only into the VM
# and a writable overlay on top of it, so that the guest runs the build
# machine's programs as they are. Source this file; everything it defines
# starts with vm_.
#
#   vm_prepare DIR           packages and the kernel (version resolved now) into DIR
#   vm_initramfs DIR OUT     the initramfs: busybox, the kernel modules of
#                            vm_modules, tools/vm/init as /init
#   vm_boot DIR INITRD SHARE [TIMEOUT]
#                            boots; the guest runs SHARE/run.sh as root in the
#                            chroot over this machine's root (SHARE is writable
#                            there at /mxshare), its console goes to standard
#                            output; ends when the guest powers off
#   vm_udev DIR              systemd-udevd for the guest (Debian's udev package,
#                            unpacked into DIR/udev); tools/vm/guest.sh starts it
#
# Needs root (apt-get, and QEMU's 9p export of / with security_model=none).
# Reused by every VM test: tools/linux-vm-test.sh is one.

vm_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Kernel modules the guest loads, in dependency order once resolved: the shared
# root (virtio 9p, overlay) first, then USB, the gadget framework with the HID
# function on the dummy host controller (two controllers: two units), and HID.
# "name [parameters]".
vm_modules=(
  "virtio_pci" "9pnet_virtio" "9p" "overlay"
  "usbcore" "configfs" "libcomposite" "usb_f_hid" "dummy_hcd num=2"
  "hid" "usbhid" "hid_generic"
)

vm_log() { echo "vm: $*" >&2; }

# Installs what is missing (the caller may have run tools/install-deps.sh).
vm_packages() {
  local missing=() p
  for p in qemu-system-x86 busybox-static; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  vm_log "installing ${missing[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The package linux-image-amd64 depends on now (it moves with Debian's updates).
vm_kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

# Downloads and unpacks a package (its version as the archive has it now) into
# DIR/NAME, once per version.
vm_unpack() {
  local dir=$1 name=$2 version deb
  version=$(apt-cache policy "$name" | awk '/Candidate:/ { print $2 }')
  [ -n "$version" ] && [ "$version" != "(none)" ] || { vm_log "no package $name in the archive"; return 1; }
  if [ "$(cat "$dir/$name.version" 2>/dev/null)" != "$version" ]; then
    rm -rf "$dir/$name" "$dir/$name.version"
    (cd "$dir" && rm -f "${name}"_*.deb && apt-get download -q "$name=$version" >/dev/null 2>&1) ||
      { vm_log "apt-get download $name=$version failed"; return 1; }
    deb=$(ls "$dir/${name}"_*.deb)
    dpkg -x "$deb" "$dir/$name" && rm -f "$deb" && echo "$version" >"$dir/$name.version"
  fi
}

vm_prepare() {
  local dir=$1
  mkdir -p "$dir"
  vm_packages || return 1
  local package
  package=$(vm_kernel_package)
  [ -n "$package" ] || { vm_log "apt-cache names no kernel for linux-image-amd64"; return 1; }
  vm_unpack "$dir" "$package" || return 1
  ln -sfn "$package" "$dir/kernel"
}

vm_kernel_release() { ls "$1/kernel/lib/modules" | head -n1; }

# The modules of vm_modules and everything they depend on (their depends=
# fields), dependencies first: lines "path [parameters]".
vm_module_order() {
  local dir=$1 release tree
  release=$(vm_kernel_release "$dir")
  tree=$dir/kernel/lib/modules/$release/kernel
  declare -A path=() params=() done=()
  local f n
  while IFS= read -r f; do
    n=${f##*/}; n=${n%.ko}; path[${n//-/_}]=$f
  done < <(find "$tree" -name '*.ko')
  local order=()
  visit() {
    local m=${1//-/_} deps d
    [ -n "${done[$m]:-}" ] && return 0
    [ -n "${path[$m]:-}" ] || { vm_log "module $m not found (built in?)"; done[$m]=1; return 0; }
    done[$m]=1
    deps=$(grep -a -o 'depends=[^[:cntrl:]]*' "${path[$m]}" | head -n1 | cut -d= -f2)
    for d in ${deps//,/ }; do visit "$d"; done
    order+=("$m")
  }
  local entry name
  for entry in "${vm_modules[@]}"; do
    name=${entry%% *}
    [ "$name" = "$entry" ] || params[${name//-/_}]=${entry#* }
    visit "$name"
  done
  for n in "${order[@]}"; do echo "${path[$n]} ${params[$n]:-}"; done
}

vm_initramfs() {
  local dir=$1 out=$2 work
  work=$(mktemp -d)
  mkdir -p "$work"/{bin,dev,proc,sys,lower,upper,root,modules}
  cp /bin/busybox "$work/bin/busybox"
  cp "$vm_root/tools/vm/init" "$work/init"
  cp "$vm_root/tools/vm/stage2" "$work/stage2"
  chmod +x "$work/init" "$work/stage2"
  local line file args
  : >"$work/modules/order"
  while read -r file args; do
    cp "$file" "$work/modules/"
    echo "$(basename "$file") $args" >>"$work/modules/order"
  done < <(vm_module_order "$dir")
  (cd "$work" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out"
  rm -rf "$work"
}

# systemd-udevd and the library it runs on, unpacked (not installed here):
# the guest copies them into its overlay. Debian ships them at one version.
vm_udev() {
  local dir=$1
  vm_unpack "$dir" udev && vm_unpack "$dir" libsystemd-shared
}

# Boots the VM. The guest's console (kernel messages and what run.sh writes to
# it) goes to standard output with carriage returns removed, line by line.
vm_boot() {
  local dir=$1 initrd=$2 share=$3 timeout=${4:-600} release
  release=$(vm_kernel_release "$dir")
  timeout --foreground -k 10 "$timeout" qemu-system-x86_64 -accel tcg -smp 2 -m 2048 \
    -kernel "$dir/kernel/boot/vmlinuz-$release" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$share",mount_tag=mxshare,security_model=none,multidevs=remap \
    -display none -serial stdio -monitor none -no-reboot </dev/null | stdbuf -oL tr -d '\r'
}

# Update files for the checks, in SHARE: for each version XY (e.g. 21 for
# 2.1) fwXY.vnxu with a flash image of SIZE bytes that names its version and
# a 4 KiB EEPROM image; flashXY.padded is the unit's whole flash after the
# update (the 0xFF of erased flash after the image), eepromXY.bin the EEPROM.
vm_update_files() {
  local share=$1 gen=$2 size=$3 v; shift 3
  for v in "$@"; do
    head -c "$size" /dev/urandom >"$share/flash$v.bin"
    printf 'VORNIX MX-540KTR firmware VERSION=%s.%s' "${v:0:1}" "${v:1:1}" |
      dd of="$share/flash$v.bin" bs=1 seek=64 conv=notrunc status=none
    head -c 4096 /dev/urandom >"$share/eeprom$v.bin"
    { cat "$share/flash$v.bin"; head -c $((65536 - size)) /dev/zero | tr '\0' '\377'; } >"$share/flash$v.padded"
    "$gen" -n "MX-540KTR " -v "${v:0:1}.${v:1:1}" -f "$share/flash$v.bin" -e "$share/eeprom$v.bin" \
      -o "$share/fw$v.vnxu" >/dev/null || return 1
  done
}
