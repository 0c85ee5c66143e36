#!/usr/bin/env bash
# No false success: data on standard output left alone, a reader that goes
# away mid-write, statuses and JSON that tell what happened, numbers and
# reasons that say what was meant.
source "$(dirname "$0")/harness.bash"
image=$examples/sample.bin
size=$(stat -c %s "$image")

# ---- data on standard output stays data ----
"$zq" read-rom - --emulate >"$work/dump.bin" 2>/dev/null
check "a dump on standard output is the dump alone" test "$(stat -c %s "$work/dump.bin")" = 65536
"$zq" update "$image" --emulate --yes --backup - >"$work/backup.bin" 2>/dev/null
check "a backup on standard output is the backup alone" test "$(stat -c %s "$work/backup.bin")" = 65536
"$zq" read-rom /dev/stdout --emulate >"$work/dump2.bin" 2>/dev/null
check "/dev/stdout is written as - is" cmp -s "$work/dump.bin" "$work/dump2.bin"
for command in "read-rom - --emulate" "check $image --output -" \
  "update $image --yes --backup - --emulate"; do
  expect "--json with data on standard output: $command" 2 "*" "*" -- "$zq" $command --json
  check "and nothing written there: $command" test "$(wc -c <"$work/stdout")" -lt 200
done

# ---- closed standard streams never become the flash file ----
"$zq" update "$image" --emulate --yes --emulate-flash "$work/closed1.bin" >&- 2>/dev/null
check "standard output closed: the flash holds the image" cmp -s -n "$size" "$image" "$work/closed1.bin"
"$zq" update "$image" --emulate --yes --emulate-flash "$work/closed2.bin" 2>&-
check "standard error closed: the flash holds the image" cmp -s -n "$size" "$image" "$work/closed2.bin"

# ---- a reader gone while the flash is rewritten ----
"$zq" update "$image" --emulate --emulate-timing --yes --emulate-flash "$work/pipe.bin" 2>&1 |
  head -n 7 >/dev/null
status=${PIPESTATUS[0]}
check "a closed pipe mid-write ends as a held stop ($status)" test "$status" = 130
check "and the flash holds the image" cmp -s -n "$size" "$image" "$work/pipe.bin"

# ---- the question is asked on the terminal, not in a log ----
printf 'n\n' | script -qec "'$zq' update '$image' --emulate 2>'$work/log'" /dev/null >"$work/tty"
check "the question goes to the terminal" grep -qF "Erase and rewrite" "$work/tty"
check "not to the log standard error goes to" bash -c "! grep -qF 'Erase and rewrite' '$work/log'"
check "and a no is taken there" grep -qF "not confirmed" "$work/log"

# ---- a stop before the erase still ends with the JSON object ----
(sleep 5 | script -qec "'$zq' update '$image' --emulate --json --emulate-flash '$work/stopq.bin' \
  2>/dev/null" /dev/null >"$work/stopq.out") &
for _ in $(seq 50); do grep -q "Erase and rewrite" "$work/stopq.out" 2>/dev/null && break; sleep 0.1; done
for pid in $(pgrep -f "$work/stopq.bin"); do
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = zq5210 ] && kill -TERM "$pid"
done
wait
check "stopped at the question: the object says 130" grep -qF '"exit_code": 130' "$work/stopq.out"

# ---- statuses and JSON ----
"$zq" update "$image" --emulate --yes --json >/dev/full 2>/dev/null
check "an update whose report is lost is not called failed" test $? = 4
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print($1)"; }
out=$("$zq" update "$image" --emulate --yes --no-verify --json 2>/dev/null)
check "--no-verify is never reported verified" test "$(json 'd["verified"]' <<<"$out")" = False
out=$("$zq" update "$image" --emulate --emulate-timing --yes --json 2>/dev/null)
check "an emulated update on a chip's time says how long the chip was busy" \
  python3 -c "import json,sys; assert json.loads(sys.argv[1])['updates'][0]['modelled_seconds'] > 0" \
  "$out"
out=$("$zq" update --json 2>/dev/null)
check "a usage error still prints its object" test "$(json 'd["exit_code"]' <<<"$out")" = 2
out=$("$zq" update "$work/missing.bin" --emulate --json 2>/dev/null)
check "a failed update still says its result" \
  test "$(json 'd["result"], d["device"], d["verified"]' <<<"$out")" = "failed None False"
"$zq" update "$image" --emulate --emulate-bridges 2 --emulate-flash "$work/u1.bin" \
  --emulate-flash "$work/u2.bin" --all --yes >/dev/null 2>&1
out=$("$zq" update "$image" --emulate --emulate-bridges 2 --emulate-flash "$work/u1.bin" \
  --emulate-flash "$work/u2.bin" --all --yes --json 2>/dev/null)
check "every bridge unchanged is unchanged" test "$(json 'd["result"]' <<<"$out")" = unchanged
out=$("$zq" read-rom "$work/"$'\xff'"name.bin" --emulate --json 2>/dev/null)
check "a name that is not UTF-8 is kept, escaped" grep -qF '\\xffname.bin' <<<"$out"

# ---- every bridge, or none ----
for fault in 2:info 2:in-use; do
  expect "--all with a bridge that cannot be used ($fault)" 1 "" "*" -- "$zq" update "$image" \
    --emulate --emulate-bridges 3 --all --yes --emulate-fault "$fault" \
    --emulate-flash "$work/all1.bin" --emulate-flash "$work/all2.bin" --emulate-flash "$work/all3.bin"
  check "names it ($fault)" grep -qF "emulated2: " "$work/stderr"
  check "and touches none ($fault)" test ! -e "$work/all1.bin" -o "$(od -An -tx1 -N1 "$work/all1.bin")" = " ff"
  expect "info with a bridge that cannot be read ($fault)" 1 "*" "*" -- "$zq" info \
    --emulate --emulate-bridges 3 --emulate-fault "$fault"
  check "says which ($fault)" grep -qF "emulated2: " "$work/stderr"
done

# ---- the look before erasing compares every byte ----
cp "$image" "$work/last.bin"
printf '\x5a' | dd of="$work/last.bin" bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
"$zq" update "$image" --emulate --yes --emulate-flash "$work/flash.bin" >/dev/null 2>&1
expect "an image differing in its last byte is written" 0 "Updated OK!" "*" -- \
  "$zq" update "$work/last.bin" --emulate --yes --emulate-flash "$work/flash.bin"

# ---- numbers and reasons ----
expect "a leading zero is still decimal" 2 "" "*" -- "$zq" list --emulate --emulate-bridges 010
check "and means ten" grep -qF "takes 1 to 8" "$work/stderr"
expect "an empty number is a usage error" 2 "" "*" -- "$zq" list --emulate --emulate-busy ""
expect "a fault for a bridge that is not there" 2 "" "*" -- \
  "$zq" list --emulate --emulate-fault 2:erase
check "names the bridge" grep -qF "there is no bridge 2" "$work/stderr"
expect "one flash file for two bridges" 2 "" "*" -- "$zq" list --emulate --emulate-bridges 2 \
  --emulate-flash "$work/same.bin" --emulate-flash "$work/same.bin"
mkdir "$work/folder"
expect "a folder as output" 1 "" "*" -- "$zq" read-rom "$work/folder" --emulate
check "is called a folder" grep -qF "is a folder" "$work/stderr"
expect "a backup that cannot be saved" 1 "" "*" -- \
  "$zq" update "$image" --emulate --yes --backup "$work/no/such/folder.bin"
check "says why once" test "$(grep -c 'No such file or directory' "$work/stderr")" = 1

finish
