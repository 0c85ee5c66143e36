#!/usr/bin/env bash
# The command line for a station on a small board: a Release build with
# Debian's cross compiler in build-ARCH/, its Debian package in
# build-package/, and that package checked as a board would get it (its
# program run under qemu-user).
#
#   scripts/board_build.sh arm64|armhf
#
# Prints the path of the package on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/board_build.sh arm64|armhf}
case "$arch" in
  arm64) triple=aarch64-linux-gnu ;;
  armhf) triple=arm-linux-gnueabihf ;;
  *)
    echo "scripts/board_build.sh: no board architecture $arch (arm64 or armhf)" >&2
    exit 2
    ;;
esac
out=build-$arch
packages=build-package
mkdir -p "$packages"

if [ ! -f "$out/build.ninja" ]; then
  # the board's own hardening flags
  DEB_HOST_ARCH=$arch
  export DEB_HOST_ARCH
  . scripts/hardening.sh
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="cmake/linux-$arch.cmake" "${flags[@]}" >/dev/null
fi
cmake --build "$out" -j "$(nproc)" >&2

# dpkg-shlibdeps knows only this machine's libraries: the C library's version
# comes from the symbol versions the program asks for, the C++ runtime's from
# the cross compiler it was linked against
glibc=$("$triple-objdump" -T "$out/cli/zq5210" | sed -n 's/.*GLIBC_\([0-9.]*\).*/\1/p' |
  sort -V | tail -n 1)
gcc=$("$triple-g++" -dumpversion | cut -d. -f1)
export SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
# made in the build folder, so no other packaging run shares its scratch space
rm -rf "$out/package" "$packages"/zq5210_*_"$arch".deb
(cd "$out" && cpack -G DEB -B "$PWD/package" \
  -D CPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch" -D CPACK_DEBIAN_PACKAGE_SHLIBDEPS=OFF \
  -D CPACK_DEBIAN_PACKAGE_DEPENDS="libc6 (>= $glibc), libstdc++6 (>= $gcc), libgcc-s1" \
  >&2)
mv "$out"/package/zq5210_*_"$arch".deb "$packages"/
deb=$(ls "$PWD/$packages"/zq5210_*_"$arch".deb)
version=$(sed -n 's/^#define ZQ_VERSION "\(.*\)"$/\1/p' "$out/generated/zq_version.h")
bash tests/packaging/check_board_package.sh "$deb" "$arch" examples "$version" >&2
echo "$deb"
