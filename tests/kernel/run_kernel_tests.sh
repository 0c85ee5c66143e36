#!/usr/bin/env bash
# The command line against a real Linux kernel: a QEMU VM boots Debian's own
# kernel from an initramfs of busybox, the kernel's USB and SCSI modules, the
# zq5210 program and the USB function that plays the bridge on dummy_hcd;
# scenarios run inside and report on the console.
#
#   tests/kernel/run_kernel_tests.sh [--build DIR] [--timeout SECONDS] [SCENARIO...]
#
# Without SCENARIO runs the default set; `--list` names every scenario. DIR is
# a build tree where zq5210 and zq_usb_bridge_function are built (default
# build-release, made by scripts/release_build.sh). Needs qemu-system-x86,
# busybox-static, cpio, udev and g++-multilib (scripts/deps.sh kernel) and
# fetches the kernel package with
# apt-get download. Exits 0 when every scenario passed or when the rig cannot
# run here (it says why), 1 when a scenario failed or the VM did not finish.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build-release"
limit=600
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --list) sed -n 's/^scenario_\([a-z0-9_]*\)() {.*/\1/p' "$here/scenarios.sh"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) scenarios+=("$1"); shift ;;
  esac
done

skip() {
  echo "kernel tests SKIPPED: $*"
  exit 0
}

for tool in qemu-system-x86_64 cpio gzip cmake; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/deps.sh kernel)"
done
busybox=/bin/busybox
file -L "$busybox" 2>/dev/null | grep -q 'statically linked' ||
  skip "no static busybox at $busybox (package busybox-static)"
udevadm=$(command -v udevadm || true)

vm="$build/vm"
mkdir -p "$vm/debs"

# Debian's kernel: the package linux-image-amd64 points at, unpacked here
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
[ -n "$kernel_package" ] || skip "apt-cache knows no linux-image-amd64 (run apt-get update)"
kroot="$vm/$kernel_package"
if [ ! -d "$kroot/boot" ]; then
  (cd "$vm/debs" && apt-get download "$kernel_package" >/dev/null 2>"$vm/debs/download.log") ||
    skip "apt-get download $kernel_package failed: $(tail -n 1 "$vm/debs/download.log")"
  rm -rf "$kroot.tmp" && dpkg-deb -x "$vm"/debs/"$kernel_package"_*.deb "$kroot.tmp" &&
    mv "$kroot.tmp" "$kroot" || skip "could not unpack $kernel_package"
fi
vmlinuz=$(ls "$kroot"/boot/vmlinuz-* | head -n 1)
kver=${vmlinuz##*/vmlinuz-}
moddir="$kroot/lib/modules/$kver"
# the package leaves the module index to its installation
if [ ! -s "$moddir/modules.dep" ]; then
  if command -v depmod >/dev/null; then depmod -b "$kroot" "$kver"; else "$busybox" depmod -b "$kroot" "$kver"; fi ||
    skip "depmod failed for $kernel_package"
fi

# the programs from the Release build that is packaged (no sanitizers in the
# VM); another tree given with --build is built as it is configured
if [ "$build" = "$root/build-release" ]; then
  "$root/scripts/release_build.sh" zq5210 zq_usb_bridge_function >"$vm/build.log" 2>&1
else
  { [ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
      -DZQ_KERNEL_RIG=ON; } >"$vm/build.log" 2>&1 &&
    cmake --build "$build" -j 2 --target zq5210 zq_usb_bridge_function >>"$vm/build.log" 2>&1
fi || { cat "$vm/build.log" >&2; exit 1; }
# the command line as a 32-bit program too, for the kernel's ia32 emulation;
# linked statically, since the VM has no 32-bit libraries
m32="$build/m32"
# gcc-multilib's /usr/include/asm cannot be installed beside the boards' cross
# compilers; x86's kernel headers serve both widths, so a folder holding a
# link to them stands in for it
m32_flags=-m32
if [ ! -e /usr/include/asm ] && [ -d /usr/include/x86_64-linux-gnu/asm ]; then
  mkdir -p "$vm/m32-include"
  ln -sfn /usr/include/x86_64-linux-gnu/asm "$vm/m32-include/asm"
  m32_flags="-m32 -isystem $vm/m32-include"
fi
if echo 'int main() {}' | g++ -m32 -static -x c++ - -o "$vm/m32-probe" 2>/dev/null; then
  if [ ! -f "$m32/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$m32" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$m32_flags" -DCMAKE_CXX_FLAGS="$m32_flags" \
      -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -DCMAKE_EXE_LINKER_FLAGS="-m32 -static" \
      -DBUILD_TESTING=OFF -DZQ_WERROR=ON >/dev/null || exit 1
  fi
  cmake --build "$m32" -j 2 --target zq5210 >>"$vm/build.log" 2>&1 ||
    { cat "$vm/build.log" >&2; exit 1; }
else
  echo "kernel tests: no 32-bit C++ compiler (g++-multilib); the 32-bit scenario will fail" >&2
fi

# --- the initramfs -----------------------------------------------------------
stage="$vm/initramfs"
rm -rf "$stage"
mkdir -p "$stage"/{bin,sbin,etc,proc,sys,dev,tmp,run,lib/modules,usr/bin,usr/lib,lib64,root}
cp "$busybox" "$stage/bin/busybox"

# each wanted module after what it needs, from modules.dep
wanted=(configfs dummy_hcd libcomposite usb_f_fs usb-storage sd_mod sr_mod sg vfat nls_cp437
  nls_ascii nls_utf8)
: >"$stage/modules.load"
declare -A loaded=()
add_module() {
  local path=$1 dep
  [ -n "${loaded[$path]:-}" ] && return
  loaded[$path]=1
  for dep in $(sed -n "s|^$path: *||p" "$moddir/modules.dep"); do add_module "$dep"; done
  mkdir -p "$stage/lib/modules/$(dirname "$path")"
  cp "$moddir/$path" "$stage/lib/modules/$path"
  echo "$path" >>"$stage/modules.load"
}
for name in "${wanted[@]}"; do
  path=$(grep -E "/${name//-/[-_]}\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | head -n 1 | cut -d: -f1)
  [ -n "$path" ] || { grep -q "/$name.ko" "$moddir/modules.builtin" && continue; }
  [ -n "$path" ] || skip "module $name is not in $kernel_package"
  add_module "$path"
done

# a program and the shared libraries it loads
add_program() {
  local program=$1 target=$2 lib
  cp -L "$program" "$stage/$target"
  for lib in $(ldd "$program" 2>/dev/null | grep -o '/[^ ]*\.so[^ ]*'); do
    mkdir -p "$stage/$(dirname "$lib")"
    cp -Ln "$lib" "$stage/$lib" 2>/dev/null || true
  done
}
add_program "$build/cli/zq5210" usr/bin/zq5210
add_program "$build/tests/kernel/zq_usb_bridge_function" usr/bin/zq_usb_bridge_function
[ -x "$m32/cli/zq5210" ] && cp "$m32/cli/zq5210" "$stage/usr/bin/zq5210-32"
if [ -n "$udevadm" ]; then
  add_program "$udevadm" bin/udevadm
  mkdir -p "$stage/etc/udev/rules.d" "$stage/lib/udev/rules.d"
  cp "$root/packaging/udev/70-zq5210.rules" "$stage/lib/udev/rules.d/"
  # what turns the uaccess tag into the seat user's access
  cp /lib/udev/rules.d/73-seat-late.rules "$stage/lib/udev/rules.d/" 2>/dev/null
fi
cp "$root/examples/sample.bin" "$stage/root/sample.bin"
cp "$here/init.sh" "$stage/init"
cp "$here/scenarios.sh" "$stage/scenarios.sh"
chmod +x "$stage/init"
printf 'root:x:0:0:root:/root:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n' >"$stage/etc/passwd"
printf 'root:x:0:\nuser:x:1000:\n' >"$stage/etc/group"
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$vm/initramfs.gz"

# --- the VM --------------------------------------------------------------------
# KVM only where it really runs a guest: a nested one that lacks CPU features
# starts and then hangs, so a paused probe whose CPU came out short means TCG
accel=(-accel tcg)
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
  timeout 3 qemu-system-x86_64 -accel kvm -S -display none -monitor none -serial none \
    -nic none </dev/null >"$vm/kvm-probe.log" 2>&1
  if [ $? = 124 ] && ! grep -q "doesn't support" "$vm/kvm-probe.log"; then accel=(-accel kvm); fi
fi
console="$vm/console.log"
echo "kernel tests: $kernel_package, qemu ${accel[*]}, scenarios: ${scenarios[*]:-default}"
start=$(date +%s)
timeout --kill-after=10 "$limit" qemu-system-x86_64 "${accel[@]}" -m 768 -smp 2 -nographic \
  -no-reboot -kernel "$vmlinuz" -initrd "$vm/initramfs.gz" -nic none \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 zq.scenarios=$(IFS=,; echo "${scenarios[*]:-}")" \
  </dev/null >"$console" 2>&1
status=$?
seconds=$(($(date +%s) - start))

tr -d '\r' <"$console" | sed -n 's/.*ZQTEST //p' | tee "$vm/results.txt" |
  grep -v '^done$' | grep -v '^detail ' || true
passed=$(grep -c '^ok ' "$vm/results.txt")
failed=$(grep -c '^FAIL ' "$vm/results.txt")
if ! grep -q '^done$' "$vm/results.txt"; then
  echo "the VM did not finish (status $status after ${seconds}s); its console: $console" >&2
  tail -n 30 "$console" >&2
  failed=$((failed + 1))
fi
if [ "$failed" -gt 0 ]; then
  tr -d '\r' <"$console" | sed -n 's/.*ZQTEST detail //p' >&2
fi
echo "kernel tests: ${seconds}s in the VM"
echo "kernel: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
