#!/usr/bin/env bash
# The command line against emulated bridges on a real chip's time: how far
# an update's time is from the device's own, what an update with nothing to
# do costs, and what eight bridges at once cost against one. Prints ratios
# measured in this one run; asserts nothing (machines are noisy).
#   tests/bench/bench_cli.sh ZQ5210
set -euo pipefail
zq=${1:?the zq5210 program}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 32768 /dev/urandom >"$work/image.bin"
timed=(--emulate --emulate-timing --yes --json)

# field NAME FILE: a number of the first update in the JSON object
field() { python3 -c "import json,sys; print(json.load(open('$2'))['updates'][0]['$1'])"; }
now() { date +%s.%N; }
calc() { python3 -c "print($1)"; }

"$zq" update "$work/image.bin" "${timed[@]}" --emulate-flash "$work/flash.bin" >"$work/full.json" 2>/dev/null
"$zq" update "$work/image.bin" "${timed[@]}" --emulate-flash "$work/flash.bin" >"$work/same.json" 2>/dev/null
full=$(field seconds "$work/full.json")
device=$(field modelled_seconds "$work/full.json")
same=$(field seconds "$work/same.json")

start=$(now)
"$zq" update "$work/image.bin" "${timed[@]}" >/dev/null 2>&1
one=$(calc "$(now) - $start")
start=$(now)
"$zq" update "$work/image.bin" "${timed[@]}" --all --emulate-bridges 8 >/dev/null 2>&1
eight=$(calc "$(now) - $start")

printf 'verified 32 KB update: %.3f s, the device'"'"'s own %.3f s: ratio %.2f (aim <= 1.03)\n' \
  "$full" "$device" "$(calc "$full / $device")"
printf 'flash already holding the image: %.3f s against %.3f s: ratio %.3f (aim <= 0.10)\n' \
  "$same" "$full" "$(calc "$same / $full")"
printf 'eight bridges at once: %.3f s against one %.3f s: ratio %.2f (aim <= 1.3)\n' \
  "$eight" "$one" "$(calc "$eight / $one")"
