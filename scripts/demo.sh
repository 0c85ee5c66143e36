#!/usr/bin/env bash
# The main job: find the bridge, show its chip, update it with an image
# (verified), and read the flash back. With no bridge attached it runs on
# the emulated bridge, whose flash lives in a file under build-release/demo/.
#
#   scripts/demo.sh                 sample image, emulated bridge unless a real one answers
#   scripts/demo.sh IMAGE           a real bridge is only ever written with an image you name
set -euo pipefail
cd "$(dirname "$0")/.."

# the command line alone, from the Release build the tests run: no test tools
scripts/deps.sh build
scripts/release_build.sh zq5210 >/dev/null
zq=build-release/cli/zq5210
out=build-release/demo
mkdir -p "$out"

image=${1:-examples/sample.hex}
device=(--emulate --emulate-flash "$out/flash.bin")
if "$zq" info >/dev/null 2>&1; then
  echo "== a bridge is attached"
  if [ $# -eq 0 ]; then
    "$zq" info
    "$zq" read-rom "$out/backup.bin" --force
    echo "its flash is saved in $out/backup.bin; name an image to write it: scripts/demo.sh IMAGE"
    exit 0
  fi
  device=()
else
  echo "== no bridge attached: using the emulated one"
  rm -f "$out/flash.bin"
fi

echo "== zq5210 check $image"
"$zq" check "$image" --output "$out/image.bin" --force
echo "== zq5210 info"
"$zq" info "${device[@]}"
echo "== zq5210 update $image --yes (verified)"
"$zq" update "$image" --yes "${device[@]}"
echo "== zq5210 read-rom"
"$zq" read-rom "$out/readback.bin" --force "${device[@]}"

size=$(stat -c %s "$out/image.bin")
if cmp -n "$size" "$out/image.bin" "$out/readback.bin"; then
  echo "== the $size bytes read back equal the image"
else
  echo "== the bytes read back differ from the image" >&2
  exit 1
fi
