#!/usr/bin/env bash
# zq5210 check: every text the loader and the decoder can give, exactly.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

hex() { printf '%b' "$2" >"$work/$1"; }

expect "sample hex" 0 "Code size: 4660(B)" "" -- "$zq" check "$examples/sample.hex"
expect "sample bin" 0 "Code size: 4660(B)" "" -- "$zq" check "$examples/sample.bin" \
  --output "$work/out.bin"
check "--output holds the code bytes" cmp -s "$work/out.bin" "$examples/sample.bin"
expect "bad checksum" 1 "" "Read file failed.(Check sum error)" -- \
  "$zq" check "$examples/bad_checksum.hex"

# loader texts
expect "missing file" 1 "" \
  $'Could not open nothing.bin\nzq5210: \''"$work"$'/nothing.bin\': No such file or directory' -- \
  "$zq" check "$work/nothing.bin"
touch "$work/image.txt" "$work/empty.bin" "$work/noext"
expect "extension" 1 "" "The extension of the file name must be .hex or .bin." -- \
  "$zq" check "$work/image.txt"
expect "no extension" 1 "" "The extension of the file name must be .hex or .bin." -- \
  "$zq" check "$work/noext"
expect "empty raw" 1 "" "empty.bin is an empty file." -- "$zq" check "$work/empty.bin"
head -c 65537 /dev/zero >"$work/big.bin"
expect "too large" 1 "" "big.bin file size is larger than ROM size." -- "$zq" check "$work/big.bin"
head -c 65536 /dev/zero >"$work/FULL.BIN"
expect "full 64K, upper case" 0 "Code size: 65536(B)" "" -- "$zq" check "$work/FULL.BIN"
# a file whose reads fail: this process's own memory, whose first page is unmapped
ln -s /proc/self/mem "$work/mem.bin"
expect "raw read fails" 1 "" "Read file failed." -- "$zq" check "$work/mem.bin"
# only regular files are images: a folder or a FIFO is refused at once, never waited on
mkdir "$work/folder.hex"
mkfifo "$work/pipe.bin"
expect "folder" 1 "" $'Could not open folder.hex\nzq5210: \''"$work"$'/folder.hex\': is a folder' -- \
  "$zq" check "$work/folder.hex"
expect "fifo" 1 "" $'Could not open pipe.bin\nzq5210: \''"$work"$'/pipe.bin\': not a regular file' -- \
  timeout 10 "$zq" check "$work/pipe.bin"

# decoder texts
touch "$work/empty.hex"
expect "empty hex" 1 "" "Read file failed.(An empty file)" -- "$zq" check "$work/empty.hex"
truncate -s 4294967295 "$work/huge.hex"
expect "size query fails" 1 "" "Read file failed.(An error file)" -- "$zq" check "$work/huge.hex"
truncate -s 200000000 "$work/alloc.hex"
# a text block that cannot be had: the sanitizer's allocator is told to say no,
# a plain build gets too little address space
# (g++ links the sanitizer's runtime as a library, clang into the program:
# both name its entry point)
if grep -qa __asan_init "$zq"; then
  limit=(env ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=64)
else
  limit=(bash -c 'ulimit -v 150000; exec "$0" "$@"')
fi
expect "allocation fails" 1 "" "*" -- "${limit[@]}" "$zq" check "$work/alloc.hex"
check "allocation fails: text" test "$(tail -n 1 "$work/stderr")" = "Read file failed.(access error)"

while IFS='|' read -r name text want; do
  [ -n "$name" ] || continue
  hex "$name.hex" "$text"
  if [ "${want#Code}" != "$want" ]; then
    expect "$name" 0 "$want" "" -- "$zq" check "$work/$name.hex"
  else
    expect "$name" 1 "" "Read file failed.($want)" -- "$zq" check "$work/$name.hex"
  fi
done <<'CASES'
ok|:0400000001020304F2\r\n:00000001FF\r\n|Code size: 4(B)
lower|:0400000001020304f2\n:00000001ff|Code size: 4(B)
unknown byte|:04000000 01020304F2\n:00000001FF\n|Invalid file format[unknown data byte].
ctrl-z|:00000001FF\x1a|Invalid file format[unknown data byte].
digits after end|:00000001FF00|Invalid file format(3).
short record|:000000010\n:00000001FF\n|Invalid file format(1).
no colon|hello|Invalid file format(1).
type 6|:00000006FA\n:00000001FF\n|Invalid file format[unknown type].
checksum|:0400000001020304F3\n:00000001FF\n|Check sum error
beyond rom|:02FFFF00AABB9B\n:00000001FF\n|Tha code size is larger than ROM size.
end record|:00000001FE|Invalid file format(2).
type 4 length|:0100000400FB\n:00000001FF\n|Invalid file format[Type:0x04].
no end record|:0400000001020304F2\n|Invalid file format[no end record].
last byte|:01FFFF0042BF\n:00000001FF\n|Code size: 65536(B)
CASES

finish
