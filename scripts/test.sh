#!/usr/bin/env bash
# Every test: the native build under AddressSanitizer and UBSan with all unit
# and command-line tests, the command line through a real Linux kernel in a
# QEMU VM, a clang build, the Windows builds for both widths,
# the packages (the Debian package and the Windows ZIP), and the Windows
# program end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/deps.sh all

echo "== formatting (clang-format)"
if git rev-parse --git-dir >/dev/null 2>&1; then
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
fi

echo "== native build (g++, sanitizers)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON -DZQ_WERROR=ON >/dev/null
cmake --build build -j "$jobs"

echo "== what threads share, under ThreadSanitizer (that test alone)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE_THREAD=ON \
  -DZQ_WERROR=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target claim_list_test
build-tsan/tests/claim_list_test

echo "== clang build"
CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DZQ_SANITIZE=ON -DZQ_FUZZ=ON -DZQ_WERROR=ON >/dev/null
cmake --build build-clang -j "$jobs"

for arch in x86_64 i686; do
  echo "== Windows build ($arch)"
  cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DZQ_WERROR=ON >/dev/null
  cmake --build "build-win-$arch" -j "$jobs"
done

echo "== imports of the shipped Windows programs, against their oldest systems"
tests/imports/run_import_checks.sh build-win-i686 build-win-x86_64

echo "== unit and command-line tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== the command line on emulated bridges in real time (ratios, not asserted)"
tests/bench/bench_cli.sh build/cli/zq5210

echo "== the command line through a real Linux kernel (QEMU VM, the bridge on dummy_hcd)"
tests/kernel/run_kernel_tests.sh --build build-kernel --timeout 240

echo "== the same tests, clang build"
ctest --test-dir build-clang --output-on-failure -j "$jobs"

if [ -f tests/fuzz/run_fuzz.sh ]; then
  echo "== fuzzing the image loader (bounded)"
  tests/fuzz/run_fuzz.sh build-clang 60
fi

echo "== packages: the Debian package and the Windows ZIP"
mkdir -p build-package
packages=$(scripts/package.sh 2>build-package/package.log) ||
  { cat build-package/package.log >&2; exit 1; }
version=$(sed -n 's/^#define ZQ_VERSION "\(.*\)"$/\1/p' build-package/generated/zq_version.h)
bash tests/packaging/check_packages.sh "$(grep '\.deb$' <<<"$packages")" \
  "$(grep '\.zip$' <<<"$packages")" examples "$version"
ls -l build-package/*.deb build-package/*.zip

for arch in x86_64 i686; do
  echo "== the Windows programs under Wine ($arch)"
  scripts/e2e.sh "build-win-$arch"

  echo "== the ASPI path through the emulated WNASPI32.DLL under Wine ($arch)"
  tests/win32/run_aspi_smoke.sh "build-win-$arch"
done
