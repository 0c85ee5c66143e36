#!/usr/bin/env bash
# The Windows programs of both widths in one ZIP, from the two build folders'
# install rules: x86_64/ and i686/ each hold zq5210-updater.exe and
# zq5210.exe, beside README.md and LICENSE.txt.
#
# Usage: scripts/windows_zip.sh X86_64_BUILD I686_BUILD OUTPUT_FOLDER
# Prints the path of the ZIP it made.
set -euo pipefail
x86_64=$1
i686=$2
out=$3

version_of() { sed -n 's/^#define ZQ_VERSION "\(.*\)"$/\1/p' "$1/generated/zq_version.h"; }
version=$(version_of "$x86_64")
if [[ -z $version || $(version_of "$i686") != "$version" ]]; then
  echo "windows_zip: $x86_64 and $i686 are not builds of one release" >&2
  exit 1
fi

name=zq5210-$version-windows
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# what we ship carries no symbols
cmake --install "$x86_64" --component programs --strip --prefix "$stage/$name/x86_64" >/dev/null
cmake --install "$i686" --component programs --strip --prefix "$stage/$name/i686" >/dev/null
cmake --install "$x86_64" --component documents --prefix "$stage/$name" >/dev/null

mkdir -p "$out"
zip=$(cd "$out" && pwd)/$name.zip
rm -f "$zip"
(cd "$stage" && zip -q -X -r "$zip" "$name")
echo "$zip"
