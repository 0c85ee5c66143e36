#!/usr/bin/env bash
# A board's Debian package as a station gets it: its fields, its program
# built for the board, lintian's verdict, and the program unpacked and run
# under qemu-user on emulated bridges (an update, its read-back, a dump,
# a station).
# Arguments: the .deb, its architecture (arm64 or armhf), the examples
# folder, the project's version.
set -u
deb=$1
arch=$2
. "$(dirname "$0")/../cli/harness.bash" "" "$3"
version=$4
case "$arch" in
  arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 machine=AArch64 class=ELF64 ;;
  armhf) triple=arm-linux-gnueabihf qemu=qemu-arm machine=ARM class=ELF32 ;;
esac

dpkg-deb --info "$deb" >"$work/info"
field() { sed -n "s/^ $1: //p" "$work/info"; }
check "$arch: package name" test "$(field Package)" = zq5210
check "$arch: package version" test "$(field Version)" = "$version-1"
check "$arch: architecture" test "$(field Architecture)" = "$arch"
check "$arch: needs the C library" grep -Eq 'libc6 \(>= 2\.[0-9]+\)' <<<"$(field Depends)"

lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges'
status=${PIPESTATUS[0]}
check "$arch: lintian finds no errors" test "$status" = 0

root=$work/root
dpkg-deb -x "$deb" "$root"
program=$root/usr/bin/zq5210
readelf -h "$program" >"$work/elf"
check "$arch: built for $machine" grep -q "Machine: *$machine" "$work/elf"
check "$arch: $class" grep -q "Class: *$class" "$work/elf"
check "$arch: stripped" test -z "$(readelf -S "$program" | grep -w '\.symtab')"

# the board's own loader and libraries, as the board has them
run() { "$qemu" -L "/usr/$triple" "$program" "$@"; }
line=$(run --version) && status=0 || status=$?
check "$arch: --version" grep -Eqx "zq5210 ${version//./\\.}( \(git [^ ]+\))?" <<<"$line"
check "$arch: --version exits 0" test "$status" = 0
expect "$arch: check" 0 "Code size: 4660(B)" "" -- run check "$examples/sample.bin"
# one emulated chip's flash kept in a file from the update to the dump
flash=(--emulate --emulate-flash "$work/flash.bin")
expect "$arch: update an emulated bridge" 0 "*" "*" -- \
  run update "$examples/sample.hex" "${flash[@]}" --yes --json --verify
check "$arch: update reported" grep -q '"result": "updated"' "$work/stdout"
expect "$arch: read the flash back" 0 "*" "*" -- run read-rom "$work/dump.bin" "${flash[@]}"
check "$arch: the dump begins with the image" \
  cmp -n 4660 "$work/dump.bin" "$examples/sample.bin"
# a station, as a board at the line runs it: two bridges plugged in one
# after the other, each updated once and logged
expect "$arch: a station of two plugs" 0 "*" "*" -- \
  run update "$examples/sample.bin" --watch --count 2 --yes --log "$work/station.log" \
  --emulate --emulate-bridges 2 --emulate-plug 1@0,2@0.3
check "$arch: each plug logged once, updated" \
  test "$(grep -c '"result":"updated"' "$work/station.log")" = 2
finish
