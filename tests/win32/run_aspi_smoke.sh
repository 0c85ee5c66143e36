#!/usr/bin/env bash
# Runs aspi_smoke.exe with the emulated WNASPI32.DLL beside it under Wine, in
# Windows 98 mode, then checks that the flash file kept what was written.
# Usage: run_aspi_smoke.sh [build folder]   (default: build-win-x86_64; a folder
# whose name holds i686 runs the 32-bit build under Wine's 32-bit loader)
set -euo pipefail

build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build-win-x86_64}
build=$(cd "$build" && pwd)  # Wine runs from another folder
program=$build/tests/win32/aspi_smoke.exe
library=$build/emulator/wnaspi32/WNASPI32.dll
for file in "$program" "$library"; do
  [[ -f $file ]] || { echo "missing $file (build aspi_smoke and WNASPI32 first)" >&2; exit 2; }
done

# the library loads where the programs start: nothing newer than their floor
floor=xp64 objdump=x86_64-w64-mingw32-objdump
case $(basename "$build") in *i686*) floor=win98se objdump=i686-w64-mingw32-objdump ;; esac
"$(dirname "$0")/../imports/check_imports.py" --floor "$floor" --objdump "$objdump" "$library"

# a prefix of this build's own: nothing left by another run is reused
export WINEPREFIX=${WINEPREFIX:-$build/wine-prefix-aspi}
case $(basename "$build") in
  *i686*)
    [[ -x /usr/lib/wine/wine ]] ||
      { echo "Wine's 32-bit loader is missing (scripts/deps.sh all installs wine32:i386)" >&2; exit 2; }
    # a new prefix of the consumer family's width
    [[ -f $WINEPREFIX/system.reg ]] || export WINEARCH=win32
    ;;
esac
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="wnaspi32=n"
# a console program needs no display; keep Wine from looking for one
unset DISPLAY

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$library" "$work/"

wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1

cd "$work"
status=0
ZQ_EMU_FLASH=flash.bin ZQ_EMU_BUSY=3 ZQ_EMU_DELAY=5 wine aspi_smoke.exe || status=$?
if [[ $status -ne 0 ]]; then
  echo "aspi_smoke.exe exited with $status" >&2
  exit 1
fi

# the DLL saves the flash after each write: 1024 bytes of the pattern, then erased
size=$(stat -c %s flash.bin)
[[ $size -eq 65536 ]] || { echo "flash file holds $size bytes" >&2; exit 1; }
python3 - flash.bin <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
want = bytes((i * 7 + 3) & 0xFF for i in range(1024))
if data[:1024] != want or data[1024:] != b'\xff' * (65536 - 1024):
    sys.exit('flash file does not hold the written pattern')
PY
echo "run_aspi_smoke: passed"
