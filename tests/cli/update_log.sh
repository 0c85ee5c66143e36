#!/usr/bin/env bash
# update --log FILE: one JSON line per bridge whose update ended, appended
# and never rewritten; a log that cannot be opened refuses before anything
# is touched, one that fails later lets no further bridge be erased.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

log=$work/station.log
emulate=(--emulate --emulate-bridges 2 --emulate-flash "$work/f1" --emulate-flash "$work/f2")

# lines_match LOG JSON FIRST IMAGE: the log's lines from FIRST on are the
# bridges of the --json object JSON, one each, with every field right
lines_match() {
  python3 - "$@" "$work/list.json" <<'PY'
import datetime, hashlib, json, sys
log, report, first, image, listing = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
lines = open(log, encoding="utf-8").read().split("\n")
if lines[-1] != "":
    sys.exit("the log does not end with a newline")
lines = [json.loads(line) for line in lines[:-1]][first:]
updates = json.load(open(report))["updates"]
bridges = {b["device"]: b for b in json.load(open(listing))["bridges"]}
if len(lines) != len(updates):
    sys.exit(f"{len(lines)} lines for {len(updates)} bridges")
fields = {"time", "device", "usb_port", "serial", "exit_code", "message", "firmware_before",
          "image", "image_sha256", "result", "seconds"}
digest = hashlib.sha256(open(image, "rb").read()).hexdigest()
now = datetime.datetime.now(datetime.timezone.utc)
for line in lines:
    if set(line) != fields:
        sys.exit(f"fields {sorted(line)}")
    update = next(u for u in updates if u["device"] == line["device"])
    bridge = bridges[line["device"]]
    when = datetime.datetime.strptime(line["time"], "%Y-%m-%dT%H:%M:%SZ").replace(
        tzinfo=datetime.timezone.utc)
    checks = {
        "time": abs((now - when).total_seconds()) < 120,
        "image": line["image"] == image,
        "image_sha256": line["image_sha256"] == digest,
        "firmware_before": line["firmware_before"] == bridge["firmware"] != "",
        "usb_port": line["usb_port"] == bridge["usb_port"],
        "serial": line["serial"] == bridge["serial"],
        "exit_code": line["exit_code"] == (0 if update["result"] != "failed" else line["exit_code"]),
    }
    for key in ("result", "seconds", "message"):
        checks[key] = line[key] == update[key]
    bad = [key for key, good in checks.items() if not good]
    if bad:
        sys.exit(f"{line['device']}: wrong {bad}: {line}")
PY
}

"$zq" list "${emulate[@]}" --json >"$work/list.json" 2>/dev/null

# one bridge, then two at once: the first line stays as it was
expect "one bridge logged" 0 "*" "*" -- "$zq" update "$examples/sample.bin" "${emulate[@]}" \
  --device emulated1 --yes --json --log "$log"
cp "$work/stdout" "$work/one.json"
check "one bridge: one line, every field right" lines_match "$log" "$work/one.json" 0 \
  "$examples/sample.bin"
cp "$log" "$work/before.log"
expect "two bridges logged" 0 "*" "*" -- "$zq" update "$examples/sample.hex" "${emulate[@]}" \
  --all --yes --json --log "$log"
cp "$work/stdout" "$work/two.json"
check "two bridges: a line each, appended" lines_match "$log" "$work/two.json" 1 \
  "$examples/sample.hex"
check "two bridges: the earlier line unchanged" \
  cmp -s "$work/before.log" <(head -c "$(stat -c %s "$work/before.log")" "$log")
results() { [ "$(sed 1d "$log" | grep -o '"result":"[a-z]*"' | sort | tr -d '\n')" = "$1" ]; }
check "two bridges: one already held the image, one updated" \
  results '"result":"unchanged""result":"updated"'

# a new image the flash files do not hold yet
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) % 256 for i in range(4096)))' \
  >"$work/new.bin"
cp "$work/f1" "$work/f1.old"
cp "$work/f2" "$work/f2.old"
cp "$log" "$work/before.log"

# a log that cannot be opened: refused, nothing erased, no file made
for bad in "$work/missing/station.log" "$work"; do
  expect "log $bad cannot be opened" 1 "" "*" -- "$zq" update "$work/new.bin" "${emulate[@]}" \
    --all --yes --log "$bad"
  check "log $bad: says which file and why" grep -q "log '$bad': .*nothing was touched" \
    "$work/stderr"
  check "log $bad: first flash untouched" cmp -s "$work/f1" "$work/f1.old"
  check "log $bad: second flash untouched" cmp -s "$work/f2" "$work/f2.old"
done
check "no log made in a missing folder" test ! -e "$work/missing"
# from the work folder, where a file named "-" would land
program=$(realpath "$zq")
cd "$work"
expect "log on standard output is refused" 2 "" "*" -- "$program" update "$work/new.bin" \
  "${emulate[@]}" --all --yes --log -
check "log on standard output: no file named -" test ! -e "$work/-"
check "log on standard output: first flash untouched" cmp -s "$work/f1" "$work/f1.old"
cd "$OLDPWD"

if [ -w /dev/full ]; then
  # one bridge after another: the first is written whole, the second never erased
  expect "log fails after a bridge" 4 "*" "*" -- "$zq" update "$work/new.bin" "${emulate[@]}" \
    --transport aspi --all --yes --log /dev/full
  check "log fails: says which file and why" grep -q "log '/dev/full': No space left" \
    "$work/stderr"
  check "log fails: the first bridge written whole" \
    cmp -s "$work/new.bin" <(head -c 4096 "$work/f1")
  check "log fails: the second bridge not erased" cmp -s "$work/f2" "$work/f2.old"
  check "log fails: the second bridge stopped before its erase" \
    grep -q "target 1.*stopped before erasing" "$work/stderr"

  # together: a bridge already writing finishes; none is left half written
  cp "$work/f1" "$work/f1.old"
  python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 5 + 1) % 256 for i in range(4096)))' \
    >"$work/newer.bin"
  expect "log fails, together" 4 "*" "*" -- "$zq" update "$work/newer.bin" "${emulate[@]}" \
    --all --yes --json --log /dev/full
  check "log fails, together: reported" grep -q '"message": "cannot write the log' "$work/stdout"
  for f in f1 f2; do
    whole() { cmp -s "$work/newer.bin" <(head -c 4096 "$work/$f") || cmp -s "$work/$f" "$work/$f.old"; }
    check "log fails, together: $f old or new, never half" whole
  done
fi
check "the failures added nothing to the log" cmp -s "$log" "$work/before.log"

finish
