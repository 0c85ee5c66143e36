#!/usr/bin/env bash
# The Release build of the command line in build-release/: the one that is
# packaged, run in the kernel tests' VM, benchmarked and demonstrated. It is
# hardened with Debian's own build flags where dpkg-dev is installed, and
# holds the USB function the kernel tests run beside the program.
#
#   scripts/release_build.sh [TARGET...]    (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-release

if [ ! -f "$out/build.ninja" ]; then
  . scripts/hardening.sh
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DZQ_KERNEL_RIG=ON "${flags[@]}" >/dev/null
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$out" -j "$(nproc)" "${targets[@]}"
