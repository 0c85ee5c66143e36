#!/usr/bin/env bash
# Runs the image loader fuzz target for a bounded time, one job.
#   tests/fuzz/run_fuzz.sh BUILD_DIR SECONDS
# Exits non-zero when the fuzzer reports a finding; the reproducer is left in
# BUILD_DIR/fuzz-artifacts and belongs in tests/fuzz/corpus once fixed.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
fuzzer=$build/tests/fuzz/image_loader_fuzz
if [ ! -x "$fuzzer" ]; then
  echo "no fuzz target at $fuzzer (configure with CC=clang CXX=clang++ -DZQ_FUZZ=ON)" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$build/fuzz-artifacts"
cp "$here"/corpus/* "$work/corpus/"
# raw images at the ROM size and one byte past it are too big to keep as seeds
head -c 65536 /dev/zero | tr '\0' '\125' | { printf '`'; cat; } > "$work/corpus/raw_rom_size"
head -c 65537 /dev/zero | tr '\0' '\125' | { printf '`'; cat; } > "$work/corpus/raw_past_rom_size"

status=0
"$fuzzer" "$work/corpus" -max_total_time="$seconds" -max_len=65600 -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" >"$work/log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
grep -E '^(INFO: seed corpus|#[0-9]+ +DONE)' "$work/log" || true
echo "inputs run: ${runs:-unknown}"
if [ "$status" -ne 0 ]; then
  tail -40 "$work/log"
  echo "fuzzer finding (exit $status); reproducer in $build/fuzz-artifacts" >&2
  exit 1
fi
