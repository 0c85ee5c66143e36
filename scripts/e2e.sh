#!/usr/bin/env bash
# End-to-end tests of the Windows programs under Wine on a virtual X display.
# Builds the programs of one width, prepares two Wine prefixes (NT and
# Windows 98), runs the Win32 binding tests, the driver's scenarios and the
# command line on both paths, converts the screenshots to PNG, and ends with
# "N passed, M failed".
#
# Usage: scripts/e2e.sh [build folder]   (default: build-win-x86_64 in the checkout)
# The width follows the folder's name: i686 in it builds and runs the 32-bit
# programs (Wine's 32-bit loader, package wine32:i386), anything else x86_64.
# Environment: ZQ_E2E_DISPLAY (an X display that already answers; default: a
# private Xvfb on a free display), ZQ_E2E_PREFIX (default: wine-prefix in the
# build folder, so nothing left by another run or checkout is reused)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-win-x86_64}
mkdir -p "$build" && build=$(cd "$build" && pwd)  # Wine runs from other folders
prefix=${ZQ_E2E_PREFIX:-$build/wine-prefix}
arch=x86_64
case $(basename "$build") in *i686*) arch=i686 ;; esac

# ---- build ----
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release || exit 2
fi
cmake --build "$build" -j2 --target zq5210-updater zq5210-updater-emulated WNASPI32 \
  zq-e2e-driver win32_bindings_test zq5210 session_end_probe planted_library || exit 2
if [[ $arch == i686 ]]; then cmake --build "$build" -j2 --target semaphore_check || exit 2; fi
if [[ $arch == i686 ]] && [[ ! -x /usr/lib/wine/wine ]]; then
  echo "e2e: Wine's 32-bit loader is missing (scripts/deps.sh all installs wine32:i386)" >&2
  exit 2
fi

updater=$build/platform/win32/window/zq5210-updater.exe
emulated=$build/platform/win32/window/zq5210-updater-emulated.exe
aspi_dll=$build/emulator/wnaspi32/WNASPI32.dll
driver=$build/tests/e2e/zq-e2e-driver.exe
bindings=$build/tests/e2e/win32_bindings_test.exe
cli=$build/cli/zq5210.exe

# ---- a display ----
# A socket file in /tmp/.X11-unix proves nothing (a killed server leaves it
# behind), so only a display that answers is used. Without one, Wine creates
# no windows and every scenario fails in ways that point elsewhere.
answers() { DISPLAY=$1 xdpyinfo >/dev/null 2>&1; }
xvfb_pid=
cleanup() {
  for pfx in "$prefix-nt" "$prefix-98"; do
    [[ -d $pfx ]] && WINEPREFIX=$pfx wineserver -k 2>/dev/null
  done
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
if [[ -n ${ZQ_E2E_DISPLAY:-} ]]; then
  display=$ZQ_E2E_DISPLAY
  answers "$display" || { echo "e2e: display $display does not answer" >&2; exit 2; }
else
  # a number no server holds; one taken between the look and the start makes
  # Xvfb end at once, and the next number is tried
  display=
  for number in $(seq 90 189); do
    [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]] && continue
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 300); do
      kill -0 "$xvfb_pid" 2>/dev/null || break  # ours, not one that took the number first
      if answers ":$number"; then display=:$number; break; fi
      sleep 0.1
    done
    [[ -n $display ]] && break
    kill "$xvfb_pid" 2>/dev/null
    xvfb_pid=
  done
  [[ -n $display ]] || { echo "e2e: Xvfb did not start a display within 30 s" >&2; exit 2; }
fi
export DISPLAY=$display
echo "display $DISPLAY"

# ---- the run's folders ----
work=$build/e2e
shots=$work/shots
rm -rf "$work"
mkdir -p "$shots" "$work/bare" "$work/aspi" "$work/nt" "$work/cli" "$work/cli-aspi"
cp "$updater" "$work/bare/"                 # Windows 98 without an ASPI layer
cp "$updater" "$aspi_dll" "$work/aspi/"      # Windows 98 with the emulated layer beside it
cp "$updater" "$emulated" "$work/nt/"
cp "$cli" "$work/cli/"                       # the command line on its emulated bridges
cp "$cli" "$aspi_dll" "$work/cli-aspi/"      # the command line through the emulated layer
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export WINEDEBUG=-all
make_prefix() {  # folder, windows version
  if [[ ! -f $1/system.reg ]]; then
    # a 32-bit prefix for the 32-bit programs: the consumer family has no 64-bit side
    [[ $arch == i686 ]] && export WINEARCH=win32
    # no Mono or Gecko: nothing here needs them, and their installers would ask
    WINEPREFIX=$1 WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  fi
  # a virtual desktop: Wine draws the frames, so screenshots show captions
  WINEPREFIX=$1 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  WINEPREFIX=$1 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
    >/dev/null 2>&1
  WINEPREFIX=$1 wine reg add 'HKCU\Software\Wine' /v Version /d "$2" /f >/dev/null 2>&1
  WINEPREFIX=$1 wineserver -w
}
make_prefix "$prefix-nt" winxp
make_prefix "$prefix-98" win98
# a floppy drive A: on the NT side, which the volume check must place on no disk
mkdir -p "$work/floppy"
ln -sfn "$work/floppy" "$prefix-nt/dosdevices/a:"
WINEPREFIX=$prefix-nt wine reg add 'HKLM\Software\Wine\Drives' /v a: /d floppy /f >/dev/null 2>&1
WINEPREFIX=$prefix-nt wineserver -w

passed=0
failed=0
results=()
record() {  # name, status
  if [[ $2 -eq 0 ]]; then
    passed=$((passed + 1)); results+=("PASS $1")
  else
    failed=$((failed + 1)); results+=("FAIL $1 (exit $2)")
  fi
}

scenario() {  # name, prefix, folder, program, driver arguments...
  local name=$1 pfx=$2 dir=$3 program=$4
  shift 4
  echo "== $name"
  (cd "$dir" && WINEPREFIX=$pfx wine "$driver" "$name" "$(winpath "$dir/$program")" \
    "$(winpath "$shots")" "$@")
  local status=$?
  WINEPREFIX=$pfx wineserver -w
  record "$name" $status
}

# ---- the Win32 bindings against the platform ----
echo "== bindings"
(cd "$work/nt" && WINEPREFIX=$prefix-nt wine "$bindings" --gtest_brief=1)
record bindings $?
WINEPREFIX=$prefix-nt wineserver -w

# ---- the window ----
image_size=$(stat -c %s "$root/examples/sample.bin")
labels=("vendor= Vendor ID: SST" "chip= Chip ID: VF040" "rom= ROM size: 64(KB)"
        "fw= FW ver.2004.05.28.007")

scenario start "$prefix-nt" "$work/nt" zq5210-updater.exe
WINEDLLOVERRIDES=wnaspi32=n \
  scenario refused-start "$prefix-98" "$work/bare" zq5210-updater.exe \
  "text=Can't not find WNASPI32.DLL or the DLL file has error."
scenario load "$prefix-nt" "$work/nt" zq5210-updater.exe \
  "good=$(winpath "$root/examples/sample.hex")" "good-name=sample.hex" "good-size=$image_size" \
  "bad=$(winpath "$root/examples/bad_checksum.hex")" "bad-text=Read file failed.(Check sum error)"

# the ASPI path: the real program, Windows 98, the emulated layer
export WINEDLLOVERRIDES=wnaspi32=n ZQ_EMU_BUSY=3
export ZQ_EMU_FLASH=$work/aspi/flash.bin
scenario update-aspi "$prefix-98" "$work/aspi" zq5210-updater.exe \
  "image=$(winpath "$root/examples/sample.hex")" "image-bin=$(winpath "$root/examples/sample.bin")" \
  "flash=$(winpath "$ZQ_EMU_FLASH")" "${labels[@]}"
scenario read-rom-aspi "$prefix-98" "$work/aspi" zq5210-updater.exe \
  "out=$(winpath "$work/aspi/dump.bin")" "flash=$(winpath "$ZQ_EMU_FLASH")" "${labels[@]}"

# the pass-through path: the same program bound to the emulated bridge
export ZQ_EMU_FLASH=$work/nt/flash.bin
scenario update-pass-through "$prefix-nt" "$work/nt" zq5210-updater-emulated.exe \
  "image=$(winpath "$root/examples/sample.hex")" "image-bin=$(winpath "$root/examples/sample.bin")" \
  "flash=$(winpath "$ZQ_EMU_FLASH")" "${labels[@]}"
scenario read-rom-pass-through "$prefix-nt" "$work/nt" zq5210-updater-emulated.exe \
  "out=$(winpath "$work/nt/dump.bin")" "flash=$(winpath "$ZQ_EMU_FLASH")" "${labels[@]}"
unset WINEDLLOVERRIDES ZQ_EMU_BUSY ZQ_EMU_FLASH

# ---- the command line ----
if [[ $arch == i686 ]]; then
  # the runtime's locks, contended, on the consumer family's terms
  echo "== semaphore stand-in"
  (cd "$work" && WINEPREFIX=$prefix-98 wine "$build/tests/win32/semaphore_check.exe")
  record semaphore-stand-in $?
  WINEPREFIX=$prefix-98 wineserver -w
fi
# run_cli: name, prefix, folder, expected exit status, then the program's arguments
run_cli() {
  local name=$1 pfx=$2 dir=$3 want=$4
  shift 4
  echo "== $name"
  (cd "$dir" && WINEPREFIX=$pfx wine zq5210.exe "$@" >"$dir/$name.out" 2>"$dir/$name.err")
  local status=$?
  WINEPREFIX=$pfx wineserver -w
  if [[ $status -ne $want ]]; then
    echo "exit $status, wanted $want"
    cat "$dir/$name.out" "$dir/$name.err"
    record "$name" 1
    return 1
  fi
  record "$name" 0
}
verify() {  # name, command...
  local name=$1
  shift
  "$@"
  record "$name" $?
}
# the first bytes of each flash file are the sample image
holds_sample() {  # flash files...
  local file
  for file in "$@"; do cmp -s -n "$image_size" "$file" "$root/examples/sample.bin" || return 1; done
}

cd "$work/cli" || exit 2
# several bridges at once, each on a thread of its own; on Windows 98 too
for pfx in "$prefix-nt" "$prefix-98"; do
  tag=${pfx##*-}
  flashes=("flash-$tag-1.bin" "flash-$tag-2.bin" "flash-$tag-3.bin")
  run_cli "cli-list-$tag" "$pfx" "$work/cli" 0 list --emulate --emulate-bridges 3 &&
    verify "cli-list-$tag names three" test "$(grep -c emulated "$work/cli/cli-list-$tag.out")" = 3
  run_cli "cli-update-all-$tag" "$pfx" "$work/cli" 0 update "$(winpath "$root/examples/sample.hex")" \
    --all --yes --emulate --emulate-bridges 3 --emulate-busy 2 \
    --emulate-flash "${flashes[0]}" --emulate-flash "${flashes[1]}" --emulate-flash "${flashes[2]}" &&
    verify "cli-update-all-$tag flashes" holds_sample "${flashes[@]/#/$work/cli/}"
  # a station: two bridges plugged in one after the other and the first
  # plugged in again, each plug updated once and logged, on threads of the
  # Win32 thread model
  run_cli "cli-station-$tag" "$pfx" "$work/cli" 0 update "$(winpath "$root/examples/sample.hex")" \
    --watch --count 3 --rewrite --yes --log "station-$tag.log" --emulate --emulate-bridges 2 \
    --emulate-plug 1@0,2@0.5,1-@1.5,1@2 &&
    verify "cli-station-$tag logs each plug once" test "$(sed -n \
      's/.*"device":"\([^"]*\)".*"result":"\([^"]*\)".*/\1 \2/p' "station-$tag.log" | sort |
      tr '\n' ,)" = "emulated1 updated,emulated1 updated,emulated2 updated,"
done
# the session ending while a bridge is written: the hidden window holds it
# back, the write goes on, and the program stops after it
# (from Vista on: the program alone is told it runs on Windows 7)
echo "== cli-session-end"
app_key='HKCU\Software\Wine\AppDefaults\zq5210.exe'
WINEPREFIX=$prefix-nt wine reg add "$app_key" /v Version /d win7 /f >/dev/null 2>&1
head -c 32768 /dev/urandom >"$work/cli/session-image.bin"
(WINEPREFIX=$prefix-nt wine zq5210.exe update session-image.bin --emulate --emulate-timing --yes \
  --emulate-flash session.bin >session.out 2>session.err) &
session_pid=$!
WINEPREFIX=$prefix-nt wine "$build/tests/win32/session_end_probe.exe" session.err \
  "Writing ROM code..." >session-probe.out
probe_status=$?
wait $session_pid
session_status=$?
WINEPREFIX=$prefix-nt wine reg delete "$app_key" /f >/dev/null 2>&1
WINEPREFIX=$prefix-nt wineserver -w
verify "cli-session-end held back" grep -q "session may end: no" session-probe.out
verify "cli-session-end probe" test $probe_status = 0
verify "cli-session-end status 130" test $session_status = 130
verify "cli-session-end stopped after writing" grep -qF \
  "Stopped after writing: the flash holds the new image, not verified." session.err
verify "cli-session-end flash" cmp -s -n 32768 session.bin session-image.bin
# system DLLs come from the system folder: copies planted beside the program
# (preferred to Wine's own by the override) are never loaded
mkdir -p "$work/planted"
cp "$cli" "$work/planted/"
for name in SETUPAPI CFGMGR32 WINMM; do
  cp "$build/tests/win32/planted_library.dll" "$work/planted/$name.DLL"
done
WINEDLLOVERRIDES="setupapi,cfgmgr32,winmm=n,b" \
  run_cli cli-planted-libraries "$prefix-nt" "$work/planted" 1 list
verify "cli-planted-libraries none loaded" test -z "$(ls "$work/planted" | grep '^planted-')"
# data on standard output goes out byte for byte: line feeds get no carriage
# return, and no file named "-" is made
head -c 65536 /dev/zero | tr '\0' '\n' >"$work/cli/lf-flash.bin"
cp "$work/cli/lf-flash.bin" "$work/cli/lf-flash-2.bin"
head -c 4096 "$work/cli/lf-flash.bin" >"$work/cli/lf-image.bin"
run_cli cli-read-rom-stdout "$prefix-nt" "$work/cli" 0 read-rom - --emulate \
  --emulate-flash lf-flash.bin &&
  verify "cli-read-rom-stdout unchanged" cmp -s "$work/cli/cli-read-rom-stdout.out" "$work/cli/lf-flash.bin"
run_cli cli-check-stdout "$prefix-nt" "$work/cli" 0 check lf-image.bin --output - &&
  verify "cli-check-stdout unchanged" cmp -s "$work/cli/cli-check-stdout.out" "$work/cli/lf-image.bin"
run_cli cli-backup-stdout "$prefix-nt" "$work/cli" 0 update lf-image.bin --yes --rewrite \
  --backup - --emulate --emulate-flash lf-flash-2.bin &&
  verify "cli-backup-stdout unchanged" cmp -s "$work/cli/cli-backup-stdout.out" "$work/cli/lf-flash.bin"
verify "cli-stdout no file named -" test ! -e "$work/cli/-"
cd "$root" || exit 2

# the ASPI path: Windows 98 and the emulated WNASPI32.DLL beside the program
export WINEDLLOVERRIDES=wnaspi32=n ZQ_EMU_BUSY=3 ZQ_EMU_FLASH=$work/cli-aspi/flash.bin
run_cli cli-aspi-update "$prefix-98" "$work/cli-aspi" 0 update --transport aspi --yes \
  "$(winpath "$root/examples/sample.hex")" && verify cli-aspi-flash holds_sample "$ZQ_EMU_FLASH"
# --device names a bridge as list shows it on this path: adapter and target
run_cli cli-aspi-list "$prefix-98" "$work/cli-aspi" 0 list --transport aspi &&
  aspi_name=$(cut -d' ' -f1-4 "$work/cli-aspi/cli-aspi-list.out") &&
  verify "cli-aspi-list names adapter and target" test "$aspi_name" = "adapter 0, target 0" &&
  run_cli cli-aspi-device "$prefix-98" "$work/cli-aspi" 0 info --transport aspi \
    --device "$aspi_name" &&
  verify "cli-aspi-device says which" grep -qF "device adapter 0, target 0" \
    "$work/cli-aspi/cli-aspi-device.err"
run_cli cli-aspi-device-short "$prefix-98" "$work/cli-aspi" 0 info --transport aspi --device 0:0
run_cli cli-aspi-device-absent "$prefix-98" "$work/cli-aspi" 1 info --transport aspi \
  --device "adapter 0, target 5" &&
  verify "cli-aspi-device-absent says so" grep -qF "adapter 0, target 5: no bridge found there" \
    "$work/cli-aspi/cli-aspi-device-absent.err"
run_cli cli-aspi-read-rom "$prefix-98" "$work/cli-aspi" 0 read-rom --transport aspi \
  "$(winpath "$work/cli-aspi/dump.bin")" &&
  verify cli-aspi-dump cmp -s "$work/cli-aspi/dump.bin" "$ZQ_EMU_FLASH"
# saving over a file takes the consumer family's way there: renames, and
# nothing left beside it
printf 'old' >"$work/cli-aspi/dump.bin"
run_cli cli-aspi-read-rom-replace "$prefix-98" "$work/cli-aspi" 0 read-rom --transport aspi \
  --force "$(winpath "$work/cli-aspi/dump.bin")" &&
  verify cli-aspi-replaced cmp -s "$work/cli-aspi/dump.bin" "$ZQ_EMU_FLASH" &&
  verify cli-aspi-nothing-left test "$(ls "$work/cli-aspi" | grep -cvE '^(zq5210\.exe|WNASPI32\.dll|flash\.bin|dump\.bin|.*\.(out|err))$')" = 0
unset WINEDLLOVERRIDES ZQ_EMU_BUSY ZQ_EMU_FLASH

# ---- pictures ----
if command -v convert >/dev/null 2>&1; then
  for bmp in "$shots"/*.bmp; do
    [[ -f $bmp ]] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
fi

echo
printf '%s\n' "${results[@]}"
echo "screenshots: $shots"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
