#!/usr/bin/env bash
# zq5210 as careless users, odd files and signals would meet it: outputs of
# every kind, messages, held stops, a kill in mid-write, a bridge in use.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

# ---- outputs ----
"$zq" read-rom "$work/rom.bin" --emulate >/dev/null 2>&1
expect "character device" 0 "Finished read! (Save As...)" "*" -- \
  "$zq" read-rom /dev/null --force --emulate
check "/dev/null stays a device" test -c /dev/null
expect "full device fails" 1 "" "*" -- "$zq" read-rom /dev/full --force --emulate
check "full device: why" grep -qxF "zq5210: '/dev/full': No space left on device" "$work/stderr"
echo old >"$work/target.bin"
chmod 640 "$work/target.bin"
ln -s target.bin "$work/link.bin"
expect "symlink" 0 "Finished read! (Save As...)" "*" -- \
  "$zq" read-rom "$work/link.bin" --force --emulate
check "the link stays a link" test -L "$work/link.bin"
check "its target holds the dump" cmp -s "$work/target.bin" "$work/rom.bin"
check "the target keeps its mode" test "$(stat -c %a "$work/target.bin")" = 640
mkdir "$work/dir.bin"
expect "folder refused" 1 "" "*" -- "$zq" read-rom "$work/dir.bin" --force --emulate
check "folder: text and why" grep -qxF "zq5210: '$work/dir.bin': is a folder" "$work/stderr"
"$zq" read-rom - --emulate >"$work/stdout.bin" 2>"$work/stderr"
check "dump on standard output" cmp -s "$work/stdout.bin" "$work/rom.bin"
check "its notice on standard error" grep -qxF "Finished read! (Save As...)" "$work/stderr"
"$zq" read-rom /dev/stdout --emulate 2>/dev/null | cat >"$work/piped.bin"
check "/dev/stdout through a pipe" cmp -s "$work/piped.bin" "$work/rom.bin"
# a name planted beside the emulated flash is never followed
echo victim >"$work/victim"
ln -s victim "$work/planted.bin.tmp"
"$zq" update "$examples/sample.bin" --emulate --emulate-flash "$work/planted.bin" >/dev/null 2>&1
check "a planted link is left alone" test "$(cat "$work/victim")" = victim
expect "check --output will not replace" 1 "" \
  "zq5210: '$work/rom.bin' exists; pass --force to replace it" -- \
  "$zq" check "$examples/sample.bin" --output "$work/rom.bin"
check "no temporary left" test "$(find "$work" -name '.*' -type f | wc -l)" = 0

# ---- messages ----
expect "names are escaped" 1 "" "*" -- "$zq" check "$work/a"$'\n\e[31m'"b.bin"
check "no raw control bytes" bash -c "! grep -q \$'\\e' '$work/stderr'"
check "shown escaped" grep -qF 'Could not open a\x0a\x1b[31mb.bin' "$work/stderr"
expect "empty value" 2 "" "*" -- "$zq" info --emulate --device ""
expect "unknown command" 2 "" "*" -- "$zq" frob
check "named as unknown" grep -qxF "zq5210: unknown command 'frob'" "$work/stderr"
"$zq" list --emulate >/dev/full 2>"$work/stderr"
check "a lost standard output is its own status" test $? = 4
check "and says so" grep -q "cannot write to standard output" "$work/stderr"
"$zq" --help >"$work/help.txt"
check "help lists the exit statuses" grep -q "130  stopped by a signal" "$work/help.txt"

# ---- signals and kills (the emulated bridge on real time: writing takes ~0.7 s) ----
head -c 32768 /dev/urandom >"$work/image.bin"
timed=(--emulate --emulate-timing --yes)
# waits for TEXT in FILE, at most 20 s
await() { for _ in $(seq 400); do grep -qF "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done; return 1; }

"$zq" update "$work/image.bin" "${timed[@]}" --emulate-flash "$work/held.bin" 2>"$work/held.err" &
pid=$!
check "writing began" await "$work/held.err" "Writing ROM code..."
kill -INT $pid
sleep 0.05
kill -TERM $pid
wait $pid
check "held stop: status 130" test $? = 130
check "said once why it waits" test "$(grep -c 'would leave the bridge without firmware' "$work/held.err")" = 1
check "stopped after the last block" grep -qxF "Stopped after writing: the flash holds the new image, not verified." "$work/held.err"
check "verification skipped" bash -c "! grep -q 'Reading code from ROM' '$work/held.err'"
check "the flash holds the image" cmp -s -n 32768 "$work/held.bin" "$work/image.bin"

"$zq" update "$work/image.bin" "${timed[@]}" --emulate-flash "$work/killed.bin" \
  2>"$work/killed.err" &
pid=$!
check "second run began writing" await "$work/killed.err" "Writing ROM code..."
{ kill -KILL $pid; wait $pid; } 2>/dev/null
check "killed mid-write: first block written" cmp -s -n 512 "$work/killed.bin" "$work/image.bin"
check "killed mid-write: last block still erased" \
  test "$(tail -c +32257 "$work/killed.bin" | head -c 512 | tr -d '\377' | wc -c)" = 0

# before the erase a stop is at once: here while the dump waits for a reader,
# the emulated bridge held meanwhile
mkfifo "$work/pipe.bin"
"$zq" read-rom "$work/pipe.bin" --force --emulate --emulate-flash "$work/held.bin" \
  2>"$work/pipe.err" &
pid=$!
check "read done, waiting on the pipe" await "$work/pipe.err" "Reading code from ROM..."
expect "bridge in use" 1 "" "*" -- "$zq" info --emulate --emulate-flash "$work/held.bin"
check "in use: why" grep -q "in use by another run" "$work/stderr"
kill -TERM $pid
wait $pid
check "stopped at once: status 130" test $? = 130

finish
