#!/usr/bin/env bash
# Runs the Windows command line under Wine against a folder that takes no new
# file (a tmpfs of its own with no inode left): read-rom --force over an
# existing file must refuse and leave it whole. Exit 77 where no tmpfs can be
# mounted (needs root).
# Usage: run_full_folder.sh [build folder]
set -uo pipefail

build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build-win-x86_64}
build=$(cd "$build" && pwd)
program=$build/cli/zq5210.exe
[[ -f $program ]] || { echo "missing $program (build zq5210 first)" >&2; exit 2; }
export WINEPREFIX=${WINEPREFIX:-$build/wine-prefix-streams}
export WINEDEBUG=${WINEDEBUG:--all}
unset DISPLAY

work=$(mktemp -d)
disk=$work/disk
mkdir "$disk"
if ! mount -t tmpfs -o size=16k,nr_inodes=2 zq-test "$disk" 2>/dev/null; then
  rm -rf "$work"
  echo "SKIP: cannot mount a tmpfs here (needs root)"
  exit 77
fi
trap 'umount "$disk"; rm -rf "$work"' EXIT
head -c 4096 /dev/urandom >"$disk/dump.bin"
cp "$disk/dump.bin" "$work/old.bin"

wine "$program" read-rom "Z:$disk/dump.bin" --force --emulate >"$work/out" 2>"$work/err"
status=$?
failed=0
[[ $status = 1 ]] || { echo "FAIL status $status, want 1"; failed=1; }
grep -q "Could not create dump.bin" "$work/err" || { echo "FAIL no 'Could not create'"; failed=1; }
grep -qF "dump.bin': " "$work/err" || { echo "FAIL the reason does not name the file"; failed=1; }
cmp -s "$disk/dump.bin" "$work/old.bin" || { echo "FAIL the old file was written"; failed=1; }
[[ $(ls -A "$disk") = dump.bin ]] || { echo "FAIL something was left beside it"; failed=1; }
[[ $failed = 0 ]] && echo "full folder: refused, the old file is whole"
exit $failed
