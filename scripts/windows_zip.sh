#!/usr/bin/env bash
# The Windows programs of both widths in one ZIP, made by CPack from the two
# build folders' install rules: x86_64/ and i686/ each hold
# zq5210-updater.exe and zq5210.exe, beside README.md and LICENSE.txt.
#
# Usage: scripts/windows_zip.sh X86_64_BUILD I686_BUILD OUTPUT_FOLDER
# Prints the path of the ZIP it made.
set -euo pipefail
x86_64=$(cd "$1" && pwd)
i686=$(cd "$2" && pwd)
mkdir -p "$3"
out=$(cd "$3" && pwd)

version_of() { sed -n 's/^#define ZQ_VERSION "\(.*\)"$/\1/p' "$1/generated/zq_version.h"; }
version=$(version_of "$x86_64")
if [[ -z $version || $(version_of "$i686") != "$version" ]]; then
  echo "windows_zip: $x86_64 and $i686 are not builds of one release" >&2
  exit 1
fi

# one CPack run over both build trees, each project component in a folder
name=zq5210-$version-windows
config=$(mktemp --suffix=.cmake)
trap 'rm -f "$config"' EXIT
cat >"$config" <<CMAKE
set(CPACK_GENERATOR ZIP)
set(CPACK_CMAKE_GENERATOR Ninja)
set(CPACK_PACKAGE_NAME zq5210)
set(CPACK_PACKAGE_VERSION $version)
set(CPACK_PACKAGE_DESCRIPTION "Firmware updater for ZQ5210 USB-to-storage bridges: Windows programs")
set(CPACK_PACKAGE_FILE_NAME $name)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "$x86_64;zq5210_updater;programs;/x86_64"
    "$i686;zq5210_updater;programs;/i686"
    "$x86_64;zq5210_updater;documents;/")
set(CPACK_PACKAGE_DIRECTORY "$out")
CMAKE
rm -f "$out/$name.zip"
cpack --config "$config" >&2
echo "$out/$name.zip"
