#!/usr/bin/env bash
# The packages, both in build-package/:
# - the Debian package of the command line, from a Release build without
#   tests, hardened with Debian's own build flags;
# - the ZIP of the Windows programs of both widths, from build-win-x86_64 and
#   build-win-i686 (configured here when missing).
#
#   scripts/package.sh          both
#   scripts/package.sh deb      the Debian package only
#
# Prints the paths of the packages it made, one a line, on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-package

# -z now and the rest of Debian's hardening, as a Debian build gets them
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dates in the package (its changelog's) are the last commit's: the same
# sources make the same package
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >&2
cmake --build "$out" -j2 >&2
rm -f "$out"/zq5210_*.deb
(cd "$out" && cpack -G DEB >&2)
ls "$PWD/$out"/zq5210_*.deb

if [ "${1:-all}" = deb ]; then exit 0; fi
for arch in x86_64 i686; do
  if [ ! -f "build-win-$arch/build.ninja" ]; then
    cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >&2
  fi
  cmake --build "build-win-$arch" -j2 --target zq5210 zq5210-updater >&2
done
scripts/windows_zip.sh build-win-x86_64 build-win-i686 "$out"
