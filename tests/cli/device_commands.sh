#!/usr/bin/env bash
# zq5210 list, info, update and read-rom on emulated bridges, both paths.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

labels=$'Vendor ID: SST\nChip ID: VF040\nROM size: 64(KB)\nFW ver.2004.05.28.007'
"$zq" check "$examples/sample.bin" >/dev/null

for transport in pass-through aspi; do
  dev=(--emulate --transport "$transport" --emulate-busy 1)
  flash="$work/flash-$transport.bin"
  expect "info $transport" 0 "$labels" "*" -- "$zq" info "${dev[@]}"
  expect "update $transport" 0 "Updated OK!" "*" -- \
    "$zq" update "$examples/sample.hex" "${dev[@]}" --emulate-flash "$flash"
  check "flash file created full size" test "$(stat -c %s "$flash")" = 65536
  check "flash holds the image" cmp -s -n 4660 "$flash" "$examples/sample.bin"
  # the same image again: nothing to do, and nothing erased (an erase would fail)
  expect "already there $transport" 0 "The flash already holds this image." "*" -- \
    "$zq" update "$examples/sample.hex" "${dev[@]}" --emulate-flash "$flash" --emulate-fault erase
  expect "--rewrite writes anyway" 0 "Updated OK!" "*" -- \
    "$zq" update "$examples/sample.hex" "${dev[@]}" --emulate-flash "$flash" --rewrite
  expect "read-rom $transport" 0 "Finished read! (Save As...)" "*" -- \
    "$zq" read-rom "$work/rom-$transport.bin" "${dev[@]}" --emulate-flash "$flash"
  check "read back equals flash" cmp -s "$work/rom-$transport.bin" "$flash"
  expect "read-rom refuses to replace" 1 "" \
    "zq5210: '$work/rom-$transport.bin' exists; pass --force to replace it" -- \
    "$zq" read-rom "$work/rom-$transport.bin" "${dev[@]}"
  expect "read-rom --force replaces" 0 "Finished read! (Save As...)" "*" -- \
    "$zq" read-rom "$work/rom-$transport.bin" --force "${dev[@]}" --emulate-flash "$flash"

  # every fault its own message and status; verification is on by default
  while IFS='|' read -r fault status text; do
    expect "$transport $fault" "$status" "" "*" -- \
      "$zq" update "$examples/sample.bin" "${dev[@]}" --emulate-fault "$fault"
    check "$transport $fault text" grep -qxF "$text" "$work/stderr"
  done <<'FAULTS'
write:3|3|Can't write ROM code into the chip.
read:2|1|Can't read ROM code from the chip.
read:12|3|Can't read ROM code from the chip.
lie-write:4|3|ROM code verification error.
flip:100|3|ROM code verification error.
erase|3|Can't erase the chip's ROM.
refuse-erase|3|Can't erase the chip's ROM.
stuck|3|Can't erase the chip's ROM.
status|3|Can't erase the chip's ROM.
info|1|Can't find or connect to the device.
vanish:1|1|Can't read ROM code from the chip.
vanish:13|3|Can't erase the chip's ROM.
FAULTS
  expect "lie without verification says OK" 0 "Updated OK!" "*" -- \
    "$zq" update "$examples/sample.bin" "${dev[@]}" --emulate-fault lie-write:1 --no-verify \
    --emulate-flash "$work/lie-$transport.bin"
  check "the lie left the flash short" bash -c "! cmp -s -n 4660 '$work/lie-$transport.bin' '$examples/sample.bin'"
  expect "refused chip" 1 "" "*" -- "$zq" update "$examples/sample.bin" "${dev[@]}" \
    --emulate-record 3F1D521002BFD70004051C07
  check "refused text" grep -qxF "Can't access the chip.(Be rejected!)" "$work/stderr"
done

# a short read with good status is a failed read where the driver says so
expect "short read" 3 "" "*" -- "$zq" update "$examples/sample.bin" --emulate \
  --emulate-fault short-read:12
check "short read text" grep -qxF "Can't read ROM code from the chip." "$work/stderr"
expect "faults add up" 3 "" "*" -- "$zq" update "$examples/sample.bin" --emulate \
  --emulate-fault write:5 --emulate-fault erase
check "the first fault met" grep -qxF "Can't erase the chip's ROM." "$work/stderr"

# the backup is the whole flash before the erase; one that cannot be saved erases nothing
cp "$work/flash-pass-through.bin" "$work/before.bin"
expect "backup" 0 "Updated OK!" "*" -- "$zq" update "$examples/sample.bin" --emulate \
  --emulate-flash "$work/flash-pass-through.bin" --backup "$work/backup.bin" --rewrite
check "backup holds the old flash" cmp -s "$work/backup.bin" "$work/before.bin"
expect "backup refused" 1 "" "*" -- "$zq" update "$examples/sample.bin" --emulate \
  --emulate-flash "$work/lie-aspi.bin" --backup "$work/no/such/dir.bin"
check "backup failure says why" grep -q "No such file or directory; nothing was erased" "$work/stderr"
check "nothing erased without a backup" bash -c "! cmp -s -n 4660 '$work/lie-aspi.bin' '$examples/sample.bin'"

# the window writes at most 32 KB: a longer image is refused unless truncation is asked for
head -c 40000 /dev/urandom >"$work/long.bin"
expect "long image refused" 1 "" \
  "zq5210: '$work/long.bin' holds 40000 bytes; the bridge takes at most 32768 (pass --allow-truncate to write the first 32768)" -- \
  "$zq" update "$work/long.bin" --emulate
expect "long image truncated" 0 "Updated OK!" "*" -- \
  "$zq" update "$work/long.bin" --emulate --allow-truncate
check "truncation warned" grep -q "warning: writing only the first 32768" "$work/stderr"

# devices: listed, named, never guessed between
many=(--emulate --emulate-bridges 3)
expect "list" 0 "$(for i in 1 2 3; do echo "emulated$i  -  -  -  Vendor ID: SST  Chip ID: VF040  ROM size: 64(KB)  FW ver.2004.05.28.007  (emulated bridge)"; done)" "" -- \
  "$zq" list "${many[@]}"
expect "update will not guess" 1 "" "*" -- "$zq" update "$examples/sample.bin" "${many[@]}"
check "the bridges are listed" grep -qF "  emulated2 (emulated bridge)" "$work/stderr"
expect "named bridge" 0 "Updated OK!" "*" -- "$zq" update "$examples/sample.bin" "${many[@]}" \
  --device emulated2
check "says which device" grep -qxF "zq5210: device emulated2 (emulated bridge)" "$work/stderr"
expect "no such bridge" 1 "" "zq5210: emulated9: no bridge found there" -- \
  "$zq" info "${many[@]}" --device emulated9

# several at once: one fails writing, one vanishes mid-write, the others end verified
for i in 1 2 3 4; do rm -f "$work/f$i.bin"; done
expect "all at once" 3 "*" "*" -- "$zq" update "$examples/sample.bin" --all --yes --emulate \
  --emulate-bridges 4 --emulate-fault 2:write:3 --emulate-fault 3:vanish:20 \
  --emulate-flash "$work/f1.bin" --emulate-flash "$work/f2.bin" \
  --emulate-flash "$work/f3.bin" --emulate-flash "$work/f4.bin"
for row in "emulated1 *updated" "emulated2 *failed .*Can't write ROM code into the chip." \
  "emulated3 *failed" "emulated4 *updated"; do
  check "summary: $row" grep -q "^$row" "$work/stdout"
done
check "bridge 1 verified" cmp -s -n 4660 "$work/f1.bin" "$examples/sample.bin"
check "bridge 4 verified" cmp -s -n 4660 "$work/f4.bin" "$examples/sample.bin"
check "bridge 2's lines carry its name" grep -qxF "emulated2: Can't write ROM code into the chip." "$work/stderr"

expect "no real bridge here" 1 "" "*" -- "$zq" info
check "no bridge text" grep -qxF "Can't find or connect to the device." "$work/stderr"
expect "no ASPI layer here" 1 "" "Can't not find WNASPI32.DLL or the DLL file has error." -- \
  "$zq" info --transport aspi
expect "bad record" 2 "" "zq5210: --emulate-record takes 24 hex digits" -- \
  "$zq" info --emulate --emulate-record 3F1D
expect "bad fault" 2 "" "zq5210: unknown --emulate-fault 'sideways'" -- \
  "$zq" info --emulate --emulate-fault sideways
expect "usage" 2 "" "*" -- "$zq" update
expect "emulate options need --emulate" 2 "" "*" -- "$zq" info --emulate-busy 3

finish
