#!/usr/bin/env bash
# Every test, as stages that run side by side once what they need is built.
#
#   scripts/test.sh          everything: formatting; the native build under
#                            AddressSanitizer and UBSan with all unit, sequence
#                            and command-line tests; what threads share under
#                            ThreadSanitizer; the command line through
#                            a real Linux kernel in a QEMU VM; a clang build
#                            with its tests and a bounded fuzz run; the Windows
#                            builds of both widths with their import checks;
#                            the packages; the Windows programs under Wine
#   scripts/test.sh quick    the native build and its unit and command-line
#                            tests: the loop for one change
#
# The builds take turns on every core (each build uses them all); a stage
# that mostly waits (the VM, Wine, the fuzzer's one core) runs beside them.
# Each stage's output is kept in build-logs/NAME.log and printed when the
# stage ends; a table of the stages and their seconds closes the run.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
case $mode in
  full | quick) ;;
  *)
    echo "usage: scripts/test.sh [quick]" >&2
    exit 2
    ;;
esac
jobs=$(nproc)
logs=build-logs

if [ "$mode" = quick ]; then scripts/deps.sh native; else scripts/deps.sh all; fi
rm -rf "$logs"
mkdir -p "$logs"
t0=$(date +%s.%N)
ticks=$(getconf CLK_TCK)
stages=()

# stage NAME NEEDS COMMAND...: runs COMMAND in the background once every
# stage named in NEEDS (comma-separated, or -) has passed; a stage whose
# needs failed is not run. ~NAME only waits for NAME to end (the builds
# take turns, each on every core). NAME.status gets: exit status, start and end
# (seconds into the run), CPU seconds of everything it ran.
stage() {
  local name=$1 needs=$2
  shift 2
  stages+=("$name")
  (
    trap - EXIT
    for need in ${needs//,/ }; do
      [ "$need" = - ] && continue
      until [ -f "$logs/${need#\~}.status" ]; do sleep 0.2; done
      [ "${need:0:1}" = "~" ] && continue  # only after it, whatever it gave
      read -r need_status _ <"$logs/$need.status"
      if [ "$need_status" != 0 ]; then
        echo "not run: $need failed" >"$logs/$name.log"
        echo "skipped - - -" >"$logs/$name.status"
        exit 0
      fi
    done
    start=$(date +%s.%N)
    if "$@" >"$logs/$name.log" 2>&1 </dev/null; then status=0; else status=$?; fi
    end=$(date +%s.%N)
    read -r -a stat <"/proc/$BASHPID/stat"
    printf '%s %.1f %.1f %.1f\n' "$status" "$(bc <<<"$start - $t0")" "$(bc <<<"$end - $t0")" \
      "$(bc -l <<<"(${stat[15]} + ${stat[16]}) / $ticks")" >"$logs/$name.status.new"
    mv "$logs/$name.status.new" "$logs/$name.status"
  ) &
}

# Prints each stage's output as it ends, then the table; fails when any
# stage failed or was not run.
report() {
  local shown=() name status start end cpu failed=0 passed=0
  while [ ${#shown[@]} -lt ${#stages[@]} ]; do
    for name in "${stages[@]}"; do
      [[ " ${shown[*]} " == *" $name "* ]] && continue
      [ -f "$logs/$name.status" ] || continue
      shown+=("$name")
      read -r status start end cpu <"$logs/$name.status"
      echo "== $name: $([ "$status" = 0 ] && echo passed || echo "FAILED ($status)")"
      cat "$logs/$name.log"
    done
    sleep 0.5
  done
  wait
  echo
  printf '%-16s %8s %8s %8s  %s\n' STAGE START SECONDS CPU RESULT
  for name in "${stages[@]}"; do
    read -r status start end cpu <"$logs/$name.status"
    if [ "$status" = 0 ]; then
      passed=$((passed + 1))
      result=passed
    else
      failed=$((failed + 1))
      result=$([ "$status" = skipped ] && echo "not run" || echo "FAILED ($status)")
    fi
    printf '%-16s %8s %8s %8s  %s\n' "$name" "$start" \
      "$([ "$end" = - ] && echo - || bc <<<"$end - $start")" "$cpu" "$result"
  done
  printf '%-16s %8s %8.1f\n' total "" "$(bc <<<"$(date +%s.%N) - $t0")"
  echo "stages: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

formatting() {
  git rev-parse --git-dir >/dev/null 2>&1 || return 0
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
}

# build DIR TARGETS CMAKE-ARGS...: configures when new, builds TARGETS
# (comma-separated, or all)
build() {
  local dir=$1 targets=$2
  shift 2
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DZQ_WERROR=ON "$@"
  local chosen=()
  for target in ${targets//,/ }; do chosen+=(--target "$target"); done
  cmake --build "$dir" -j "$jobs" "${chosen[@]}"
}

tsan() {
  build build-tsan claim_list_test -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE_THREAD=ON &&
    build-tsan/tests/claim_list_test
}
# the native builds run the tests under AddressSanitizer and UBSan; a build
# folder configured without them is refused rather than tested
native=(-DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON)
# gcc compiles each library's files together (a ninth less to build); clang
# keeps a compilation a file, so a file that lacks an include of its own
# still fails there
gcc_native=("${native[@]}" -DCMAKE_UNITY_BUILD=ON)
unit_tests() {
  grep -qx 'ZQ_SANITIZE:BOOL=ON' "$1/CMakeCache.txt" ||
    { echo "$1 is built without the sanitizers: remove it and run again" >&2; return 1; }
  ctest --test-dir "$1" --output-on-failure -j "$jobs"
}
# line tables are all a sanitizer's report needs for its files and lines;
# full debug information made the clang build a fifth slower
clang_build() {
  CC=clang CXX=clang++ build build-clang "$1" "${native[@]}" -DZQ_FUZZ=ON \
    -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only
}

# The builds take turns, each on every core. Those whose programs feed the
# long stages that hold one core (the VM, Wine) come first, so that those
# run beside the builds that follow rather than after the last of them.
if [ "$mode" = quick ]; then
  stage gcc - build build all "${gcc_native[@]}"
else
  stage formatting - formatting
  # the Release build that is packaged, run in the VM, benchmarked and demonstrated
  stage release - scripts/release_build.sh
  stage win-i686 ~release build build-win-i686 all -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
  stage win-x86_64 ~win-i686 build build-win-x86_64 all -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  stage gcc ~win-x86_64 build build all "${gcc_native[@]}"
fi
stage ctest gcc unit_tests build
# what threads share, under ThreadSanitizer: that test alone
stage tsan gcc tsan
if [ "$mode" = quick ]; then
  report
  exit
fi

# the fuzz target first: the fuzzer's minute runs beside the builds that follow
stage fuzz-build ~gcc clang_build image_loader_fuzz
stage clang ~fuzz-build clang_build all
# the command line for stations on arm64 and armhf boards, packaged and run
# under qemu-user
stage arm64 ~clang scripts/board_build.sh arm64
stage armhf ~arm64 scripts/board_build.sh armhf

# what runs on what was built
stage kernel release tests/kernel/run_kernel_tests.sh --build build-release --timeout 480
stage bench release tests/bench/bench_cli.sh build-release/cli/zq5210
stage imports win-x86_64,win-i686 tests/imports/run_import_checks.sh build-win-i686 build-win-x86_64
for arch in x86_64 i686; do
  stage "wine-$arch" "win-$arch" scripts/e2e.sh "build-win-$arch"
  stage "aspi-$arch" "win-$arch" tests/win32/run_aspi_smoke.sh "build-win-$arch"
done
stage packages release,win-x86_64,win-i686 scripts/package.sh check
stage clang-ctest clang unit_tests build-clang
stage fuzz fuzz-build tests/fuzz/run_fuzz.sh build-clang 60

report
