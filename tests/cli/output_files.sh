#!/usr/bin/env bash
# Outputs where the old file is at risk: symlink chains and loops, and full
# file systems (a small tmpfs of the test's own, skipped where it cannot be
# mounted): an old file is never left part-written.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

"$zq" read-rom "$work/rom.bin" --emulate >/dev/null 2>&1

# ---- symlink chains ----
mkdir "$work/links"
ln -s l2 "$work/links/l1"
ln -s l1 "$work/links/l2"
expect "a loop is refused" 1 "" "*" -- "$zq" read-rom "$work/links/l1" --force --emulate
check "loop: why" grep -qxF "zq5210: '$work/links/l1': Too many levels of symbolic links" \
  "$work/stderr"
check "loop: both stay links" test -L "$work/links/l1" -a -L "$work/links/l2"
ln -s e2 "$work/links/e1"
ln -s ../missing.bin "$work/links/e2"
expect "a dangling chain" 0 "Finished read! (Save As...)" "*" -- \
  "$zq" read-rom "$work/links/e1" --force --emulate
check "its last name is created" cmp -s "$work/missing.bin" "$work/rom.bin"
check "the chain stays links" test -L "$work/links/e1" -a -L "$work/links/e2"
check "nothing else made" test "$(ls -A "$work/links" | wc -l)" = 4

# ---- full file systems ----
disk=$work/disk
mkdir "$disk"
# TINY: room for a 4 KiB file, not for a dump
mount_disk() { umount "$disk" 2>/dev/null; mount -t tmpfs -o "$1" zq-test "$disk" 2>/dev/null; }
if ! mount_disk size=16k,nr_inodes=2; then
  finish || exit 1
  echo "SKIP: cannot mount a tmpfs here (needs root); full file systems not tested"
  exit 77
fi
trap 'umount "$disk" 2>/dev/null; rm -rf "$work"' EXIT

# no inode left for a temporary, and no room for the dump either
head -c 4096 /dev/urandom >"$disk/dump.bin"
cp "$disk/dump.bin" "$work/old.bin"
expect "no temporary possible" 1 "" "*" -- "$zq" read-rom "$disk/dump.bin" --force --emulate
check "no temporary: why" grep -qxF "zq5210: '$disk/dump.bin': No space left on device (no new \
file can be made beside it); it was left as it was" "$work/stderr"
check "no temporary: the old file is whole" cmp -s "$disk/dump.bin" "$work/old.bin"

# the same for a backup: nothing erased
"$zq" update "$examples/sample.bin" --emulate --emulate-flash "$work/flash.bin" --yes \
  >/dev/null 2>&1
cp "$work/flash.bin" "$work/flash-before.bin"
expect "backup refused" 1 "" "*" -- "$zq" update "$work/rom.bin" --allow-truncate --emulate \
  --emulate-flash "$work/flash.bin" --yes --backup "$disk/dump.bin" --force
check "backup: nothing was erased" grep -q "nothing was erased" "$work/stderr"
check "backup: the flash is untouched" cmp -s "$work/flash.bin" "$work/flash-before.bin"
check "backup: the old file is whole" cmp -s "$disk/dump.bin" "$work/old.bin"

# a hard-linked output: the temporary fits, the copy into the linked file
# does not
mount_disk size=128k
head -c 4096 /dev/urandom >"$disk/one.bin"
cp "$disk/one.bin" "$work/old.bin"
ln "$disk/one.bin" "$disk/two.bin"
head -c 57344 /dev/zero >"$disk/filler"
expect "hard link on a full disk" 1 "" "*" -- "$zq" read-rom "$disk/one.bin" --force --emulate
check "hard link: a failed write, not a failed create" grep -qxF "Write file error" "$work/stderr"
check "hard link: the old bytes stay" cmp -s "$disk/one.bin" "$work/old.bin"
check "hard link: under both names" cmp -s "$disk/two.bin" "$work/old.bin"
copy=$(find "$disk" -name '.one.bin.*')
check "hard link: the complete copy is kept" cmp -s "$copy" "$work/rom.bin"
check "hard link: and named" grep -qxF "zq5210: '$disk/one.bin': No space left on device; it \
was left as it was; the complete copy is in '$copy'" "$work/stderr"
umount "$disk"

finish
