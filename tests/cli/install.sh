#!/usr/bin/env bash
# cmake --install into a temporary prefix: every file where packagers and
# tools look for it, and the installed program runs.
# Arguments: the build folder, the examples folder, the project's version.
set -u
build=$1
. "$(dirname "$0")/harness.bash" "$1/cli/zq5210" "$2"
version=$3
prefix=$work/prefix

check "cmake --install" cmake --install "$build" --prefix "$prefix"
for file in bin/zq5210 share/man/man1/zq5210.1.gz share/bash-completion/completions/zq5210 \
  lib/udev/rules.d/70-zq5210.rules share/doc/zq5210/README.md share/doc/zq5210/copyright; do
  check "installed: $file" test -s "$prefix/$file"
done
check "the program is executable" test -x "$prefix/bin/zq5210"
check "the Debian changelog stays out of a plain install" \
  test ! -e "$prefix/share/doc/zq5210/changelog.Debian.gz"
check "the manual page names the release" \
  grep -q "^\.TH ZQ5210 1 .*\"zq5210 $version\"" <(gzip -dc "$prefix/share/man/man1/zq5210.1.gz")

installed=$prefix/bin/zq5210
line=$("$installed" --version 2>"$work/err") && status=0 || status=$?
check "--version exits 0, quietly on standard error" test "$status" = 0 -a ! -s "$work/err"
check "--version: release, then the checkout's description if any" \
  grep -Eqx "zq5210 ${version//./\\.}( \(git [^ ]+\))?" <<<"$line"
expect "installed check" 0 "Code size: 4660(B)" "" -- "$installed" check "$examples/sample.bin"

finish
