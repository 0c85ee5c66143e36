#!/usr/bin/env bash
# Runs standard_streams_probe.exe under Wine: a program started without
# standard handles gets the NUL device on each, and no file opened later
# stands in for one.
# Usage: run_standard_streams.sh [build folder]
set -euo pipefail

build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build-win-x86_64}
build=$(cd "$build" && pwd)  # Wine runs from another folder
program=$build/tests/win32/standard_streams_probe.exe
[[ -f $program ]] || { echo "missing $program (build standard_streams_probe first)" >&2; exit 2; }

# a prefix of this build's own: nothing left by another run is reused
export WINEPREFIX=${WINEPREFIX:-$build/wine-prefix-streams}
export WINEDEBUG=${WINEDEBUG:--all}
# a console program needs no display; keep Wine from looking for one
unset DISPLAY

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/"
cd "$work"
wine standard_streams_probe.exe scratch.bin
