#!/usr/bin/env bash
# Installs the Debian packages a build needs, when any is missing.
#   scripts/deps.sh native    compilers, CMake, GoogleTest, CLI11
#   scripts/deps.sh all       also the Windows cross compilers, Wine (both widths) and Xvfb,
#                             the kernel tests' VM (QEMU, busybox, udev), and the boards'
#                             cross compilers with qemu-user
#   scripts/deps.sh kernel    the native build and the kernel tests' VM
#   scripts/deps.sh build     only what building and running the command line needs
# native, all and kernel also bring the packaging tools (the .deb and its checks, the ZIP).
set -euo pipefail

native=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libcli11-dev nlohmann-json3-dev python3 clang-format)
windows=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 wine64 wine xvfb x11-utils imagemagick)
# the i686 programs run under Wine's 32-bit loader, from the i386 architecture
windows_i386=(wine32:i386)
# the kernel tests boot Debian's kernel (fetched by apt-get download) in QEMU
# and run a 32-bit build of the command line there (g++-12-multilib: the
# g++-multilib package cannot be installed beside the boards' cross compilers)
kernel=(qemu-system-x86 busybox-static cpio udev kmod g++-12-multilib)
# the command line for stations on small boards, run under qemu-user
boards=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user)
build=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev)
packaging=(dpkg-dev file binutils lintian man-db zip unzip)

case "${1:-native}" in
  build) wanted=("${build[@]}") ;;
  native) wanted=("${native[@]}" "${packaging[@]}") ;;
  all)
    wanted=("${native[@]}" "${windows[@]}" "${windows_i386[@]}" "${packaging[@]}" "${kernel[@]}"
      "${boards[@]}")
    ;;
  kernel) wanted=("${native[@]}" "${packaging[@]}" "${kernel[@]}") ;;
  *)
    echo "usage: scripts/deps.sh [native|all|build|kernel]" >&2
    exit 2
    ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

echo "installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
