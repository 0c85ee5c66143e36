#!/usr/bin/env bash
# The packages, both in build-package/:
# - the Debian package of the command line, from the Release build
#   (scripts/release_build.sh, hardened with Debian's own build flags);
# - the ZIP of the Windows programs of both widths, from build-win-x86_64 and
#   build-win-i686 (configured here when missing).
#
#   scripts/package.sh          both
#   scripts/package.sh deb      the Debian package only
#   scripts/package.sh check    both, then checked as a user gets them
#
# Prints the paths of the packages it made, one a line, on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-package
mkdir -p "$out"

# dates in the package (its changelog's) are the last commit's: the same
# sources make the same package
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
scripts/release_build.sh >&2
# this machine's architecture; the boards' packages (scripts/board_build.sh)
# lie beside it
arch=$(dpkg --print-architecture)
rm -f "$out"/zq5210_*_"$arch".deb
(cd build-release && cpack -G DEB -B "$PWD/../$out" >&2)
rm -rf "$out/_CPack_Packages"
deb=$(ls "$PWD/$out"/zq5210_*_"$arch".deb)
echo "$deb"

if [ "${1:-all}" = deb ]; then exit 0; fi
for arch in x86_64 i686; do
  if [ ! -f "build-win-$arch/build.ninja" ]; then
    cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >&2
  fi
  cmake --build "build-win-$arch" -j "$(nproc)" --target zq5210 zq5210-updater >&2
done
zip=$(scripts/windows_zip.sh build-win-x86_64 build-win-i686 "$out")
echo "$zip"

if [ "${1:-all}" = check ]; then
  version=$(sed -n 's/^#define ZQ_VERSION "\(.*\)"$/\1/p' build-release/generated/zq_version.h)
  bash tests/packaging/check_packages.sh "$deb" "$zip" examples "$version" >&2
  ls -l "$deb" "$zip" >&2
fi
