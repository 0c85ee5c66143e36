#!/usr/bin/env bash
# zq5210 info, update and read-rom on the emulated bridge, both paths.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

labels=$'Vendor ID: SST\nChip ID: VF040\nROM size: 64(KB)\nFW ver.2004.05.28.007'
"$zq" check "$examples/sample.bin" >/dev/null

for transport in pass-through aspi; do
  dev=(--emulate --transport "$transport" --emulate-busy 1)
  flash="$work/flash-$transport.bin"
  expect "info $transport" 0 "$labels" "Getting the chip information..." -- "$zq" info "${dev[@]}"
  expect "update $transport" 0 "Updated OK!" "*" -- \
    "$zq" update "$examples/sample.hex" --verify "${dev[@]}" --emulate-flash "$flash"
  check "flash file created full size" test "$(stat -c %s "$flash")" = 65536
  check "flash holds the image" cmp -s -n 4660 "$flash" "$examples/sample.bin"
  expect "read-rom $transport" 0 "Finished read! (Save As...)" "*" -- \
    "$zq" read-rom "$work/rom-$transport.bin" "${dev[@]}" --emulate-flash "$flash"
  check "read back equals flash" cmp -s "$work/rom-$transport.bin" "$flash"
  expect "read-rom refuses to replace" 1 "" \
    "zq5210: '$work/rom-$transport.bin' exists; pass --force to replace it" -- \
    "$zq" read-rom "$work/rom-$transport.bin" "${dev[@]}"
  expect "read-rom --force replaces" 0 "Finished read! (Save As...)" "*" -- \
    "$zq" read-rom "$work/rom-$transport.bin" --force "${dev[@]}" --emulate-flash "$flash"

  # every fault its own message, never "Updated OK!" on a wrong flash
  while IFS='|' read -r fault text; do
    expect "$transport $fault" 1 "" "*" -- \
      "$zq" update "$examples/sample.bin" --verify "${dev[@]}" --emulate-fault "$fault"
    check "$transport $fault text" grep -qxF "$text" "$work/stderr"
  done <<'FAULTS'
write:3|Can't write ROM code into the chip.
read:2|Can't read ROM code from the chip.
lie-write:4|ROM code verification error.
flip:100|ROM code verification error.
erase|Can't erase the chip's ROM.
stuck|Can't erase the chip's ROM.
status|Can't erase the chip's ROM.
info|Can't find or connect to the device.
vanish:1|Can't erase the chip's ROM.
FAULTS
  expect "lie without verify says OK, flash differs" 0 "Updated OK!" "*" -- \
    "$zq" update "$examples/sample.bin" "${dev[@]}" --emulate-fault lie-write:1 \
    --emulate-flash "$work/lie-$transport.bin"
  check "the lie left the flash short" bash -c "! cmp -s -n 4660 '$work/lie-$transport.bin' '$examples/sample.bin'"
  expect "refused chip" 1 "" "*" -- "$zq" update "$examples/sample.bin" "${dev[@]}" \
    --emulate-record 3F1D521002BFD70004051C07
  check "refused text" grep -qxF "Can't access the chip.(Be rejected!)" "$work/stderr"
done

expect "no real bridge here" 1 "" $'Getting the chip information...\nCan\'t find or connect to the device.' -- \
  "$zq" info
expect "no ASPI layer here" 1 "" "Can't not find WNASPI32.DLL or the DLL file has error." -- \
  "$zq" info --transport aspi
expect "bad record" 2 "" "zq5210: --emulate-record takes 24 hex digits" -- \
  "$zq" info --emulate --emulate-record 3F1D
expect "bad fault" 2 "" "zq5210: unknown --emulate-fault 'sideways'" -- \
  "$zq" info --emulate --emulate-fault sideways
expect "usage" 2 "" "*" -- "$zq" update
expect "emulate options need --emulate" 2 "" "*" -- "$zq" info --emulate-busy 3

finish
