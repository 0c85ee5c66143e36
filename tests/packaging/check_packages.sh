#!/usr/bin/env bash
# The packages as a user gets them: the Debian package's fields, files and
# lintian's verdict, its program run from an unpacked root (and, in CI, from
# a real install), and the Windows ZIP's programs, one of each kind per width.
# Arguments: the .deb, the .zip, the examples folder, the project's version.
set -u
deb=$1
zip=$2
. "$(dirname "$0")/../cli/harness.bash" "" "$3"
version=$4

# ---- the Debian package ----
dpkg-deb --info "$deb" >"$work/info"
field() { sed -n "s/^ $1: //p" "$work/info"; }
check "package name" test "$(field Package)" = zq5210
check "package version" test "$(field Version)" = "$version-1"
check "dependencies declared" grep -q 'libc6 (>=' <<<"$(field Depends)"
check "section" test "$(field Section)" = admin
check "maintainer" grep -q '<.*@.*>' <<<"$(field Maintainer)"

dpkg-deb --contents "$deb" | awk '{print $NF}' >"$work/contents"
for file in usr/bin/zq5210 usr/share/man/man1/zq5210.1.gz \
  usr/share/bash-completion/completions/zq5210 usr/lib/udev/rules.d/70-zq5210.rules \
  usr/share/doc/zq5210/README.md usr/share/doc/zq5210/copyright \
  usr/share/doc/zq5210/changelog.Debian.gz; do
  check "packaged: $file" grep -qx "./$file" "$work/contents"
done

# errors fail the check; warnings are shown for whoever reads the log
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges'
status=${PIPESTATUS[0]}
check "lintian finds no errors" test "$status" = 0

root=$work/root
dpkg-deb -x "$deb" "$root"
line=$("$root/usr/bin/zq5210" --version) && status=0 || status=$?
check "unpacked --version" grep -Eqx "zq5210 ${version//./\\.}( \(git [^ ]+\))?" <<<"$line"
check "unpacked --version exits 0" test "$status" = 0
expect "unpacked check" 0 "Code size: 4660(B)" "" -- "$root/usr/bin/zq5210" check \
  "$examples/sample.bin"
expect "unpacked list, emulated" 0 "*" "*" -- "$root/usr/bin/zq5210" list --emulate

# CI runs as root on a machine of its own: install the package for real
if [ "${CI:-}" = true ] && [ "$(id -u)" = 0 ]; then
  if dpkg -s zq5210 >/dev/null 2>&1; then
    echo "FAIL zq5210 is installed already; not touching it"
    failed=$((failed + 1))
  else
    trap 'dpkg -r zq5210 >/dev/null 2>&1; rm -rf "$work"' EXIT
    check "dpkg -i" dpkg -i "$deb"
    check "installed --version" grep -q "^zq5210 $version" <(zq5210 --version)
    check "installed list --emulate --json parses" python3 -c \
      'import json, subprocess; o = json.loads(subprocess.run(["zq5210", "list", "--emulate", "--json"], capture_output=True, check=True).stdout); assert o["exit_code"] == 0 and o["bridges"][0]["emulated"] is True'
    check "man -w finds the manual page" test "$(man -w zq5210)" = \
      /usr/share/man/man1/zq5210.1.gz
    check "dpkg -r" dpkg -r zq5210
    check "removed" test ! -e /usr/bin/zq5210
  fi
fi

# ---- the Windows ZIP ----
unzip -q "$zip" -d "$work/zip"
top=$work/zip/zq5210-$version-windows
check "ZIP: README and licence" test -s "$top/README.md" -a -s "$top/LICENSE.txt"
check "ZIP: nothing but the programs and those" \
  test "$(cd "$work/zip" && find . -type f | wc -l)" = 6
for arch in x86_64:PE32+ i686:PE32; do
  folder=${arch%%:*} format=${arch#*:}
  for program in zq5210-updater:GUI zq5210:console; do
    exe=$top/$folder/${program%%:*}.exe
    check "ZIP: $folder/${program%%:*}.exe is a $format ${program#*:} program" \
      grep -q "PE32[+]* executable (${program#*:})" <(file "$exe")
    check "ZIP: $folder/${program%%:*}.exe width" grep -q "^$exe: $format " <(file "$exe")
    check "ZIP: $folder/${program%%:*}.exe names release $version" \
      grep -qx "$version" <(strings -el "$exe")
  done
done

finish
