#!/usr/bin/env bash
# The shipped Windows programs import nothing their oldest systems lack, and
# the check refuses a program that does. Prints the programs' sizes.
#   tests/imports/run_import_checks.sh BUILD_I686 BUILD_X86_64
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
i686=${1:?i686 build folder}
x86_64=${2:?x86_64 build folder}
programs=(platform/win32/window/zq5210-updater.exe cli/zq5210.exe)
status=0

check() {  # floor, objdump, build folder
  local floor=$1 objdump=$2 build=$3
  local paths=()
  for p in "${programs[@]}"; do paths+=("$build/$p"); done
  "$here/check_imports.py" --floor "$floor" --objdump "$objdump" "${paths[@]}" || status=1
  for p in "${paths[@]}"; do
    # what we ship carries no symbol table
    if "$objdump" -t "$p" | grep -q '^\['; then echo "$p: not stripped"; status=1; fi
    printf '  %-55s %8d bytes\n' "$p" "$(stat -c %s "$p")"
  done
}
check win98se i686-w64-mingw32-objdump "$i686"
check xp64 x86_64-w64-mingw32-objdump "$x86_64"

# a deliberately wrong program fails, and says why
probe=$i686/tests/win32/import_probe.exe
output=$("$here/check_imports.py" --floor win98se --objdump i686-w64-mingw32-objdump "$probe")
probe_status=$?
if [[ $probe_status -eq 0 ]] || ! grep -q 'GetTickCount64 (KERNEL32.DLL)' <<<"$output"; then
  echo "the import check let through a program that imports GetTickCount64:"
  echo "$output"
  status=1
else
  echo "refused as it should be: $(grep GetTickCount64 <<<"$output" | sed 's/^ *//')"
fi
exit $status
