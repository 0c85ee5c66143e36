#!/usr/bin/env bash
# update IMAGE --watch: a station over emulated bridges plugged in and out on
# a schedule. Each plug taken once and logged line by line, a failing bridge
# and one pulled out mid-write logged as failed with the station going on,
# plain lines where standard error is no terminal, Ctrl-C while a bridge is
# written (it finishes and is logged) and while it waits (it ends at once),
# and an idle station using next to no processor time.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

image=$examples/sample.bin
log=$work/station.log
flashes=(--emulate-flash "$work/f1" --emulate-flash "$work/f2" --emulate-flash "$work/f3")

# logged LOG "DEVICE RESULT EXIT"... : the log's lines, in order, with every
# field there and right
logged() {
  python3 - "$image" "$@" <<'PY'
import datetime, hashlib, json, sys
image, log, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
text = open(log, encoding="utf-8").read()
if text and not text.endswith("\n"):
    sys.exit("the log does not end with a newline")
lines = [json.loads(line) for line in text.splitlines()]
fields = {"time", "device", "usb_port", "serial", "exit_code", "message", "firmware_before",
          "image", "image_sha256", "result", "seconds"}
digest = hashlib.sha256(open(image, "rb").read()).hexdigest()
now = datetime.datetime.now(datetime.timezone.utc)
got = [f'{l["device"]} {l["result"]} {l["exit_code"]}' for l in lines]
if got != wanted:
    sys.exit(f"logged {got}, wanted {wanted}")
for line in lines:
    when = datetime.datetime.strptime(line["time"], "%Y-%m-%dT%H:%M:%SZ").replace(
        tzinfo=datetime.timezone.utc)
    bad = [k for k, good in {
        "fields": set(line) == fields,
        "time": abs((now - when).total_seconds()) < 120,
        "image": line["image"] == image,
        "image_sha256": line["image_sha256"] == digest,
        "firmware_before": line["firmware_before"] == "2004.05.28.007",
        "message": line["message"] != "",
        "seconds": isinstance(line["seconds"], (int, float)) and line["seconds"] >= 0,
    }.items() if not good]
    if bad:
        sys.exit(f"wrong {bad}: {line}")
PY
}

# three bridges one after another, the second pulled out and plugged in
# again (updated again), the first left in (not redone); --count ends it
expect "plugged one after another, each once per plug" 0 "*" "*" -- \
  "$zq" update "$image" --watch --yes --count 4 --log "$log" --emulate "${flashes[@]}" \
  --emulate-plug "1@0,2@0.3,3@0.6,2-@0.9,2@1.2"
check "each plug logged once, in order" logged "$log" \
  "emulated1 updated 0" "emulated2 updated 0" "emulated3 updated 0" "emulated2 unchanged 0"
plain=$(cat <<'TEXT'
zq5210: station: updating every bridge plugged in with 'SAMPLE'; waiting for bridges (Ctrl-C ends)
zq5210: emulated1: updating
zq5210: emulated1: passed: updated (passed 1, failed 0)
zq5210: emulated2: updating
zq5210: emulated2: passed: updated (passed 2, failed 0)
zq5210: emulated3: updating
zq5210: emulated3: passed: updated (passed 3, failed 0)
zq5210: emulated2: pulled out
zq5210: emulated2: updating
zq5210: emulated2: passed: unchanged (passed 4, failed 0)
TEXT
)
check "plain lines, one per event, where standard error is no terminal" \
  test "$(cat "$work/stderr")" = "${plain//SAMPLE/$image}"
check "the summary on standard output" grep -q '^station: 4 passed, 0 failed$' "$work/stdout"

# a failing bridge is logged as failed and the next is still taken
rm -f "$log" "$work"/f?
expect "a failing bridge, and the station goes on" 3 "*" "*" -- \
  "$zq" update "$image" --watch --yes --count 3 --log "$log" --emulate "${flashes[@]}" \
  --emulate-plug "1@0,2@0.3,3@0.6" --emulate-fault 2:write:3
check "the failing bridge logged as failed between the others" logged "$log" \
  "emulated1 updated 0" "emulated2 failed 3" "emulated3 updated 0"
check "its reason on its line" grep -q "emulated2: failed: Can't write ROM code into the chip." \
  "$work/stderr"

# pulled out mid-write (real chip times, 32 KiB), plugged in again: redone
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) % 256 for i in range(32768)))' \
  >"$work/big.bin"
rm -f "$log" "$work"/f?
expect "pulled out mid-write, then plugged in again" 3 "*" "*" -- \
  timeout 30 "$zq" update "$work/big.bin" --watch --yes --count 2 --log "$log" --emulate \
  --emulate-flash "$work/f1" --emulate-timing --emulate-plug "1@0,1-@0.4,1@1"
image=$work/big.bin check "the cut update failed, the next plug updated" logged "$log" \
  "emulated1 failed 3" "emulated1 updated 0"

# --json: one object at the end, a bridge each
rm -f "$work"/f?
expect "--json" 0 "*" "*" -- "$zq" update "$image" --watch --yes --count 2 --json --emulate \
  "${flashes[@]:0:4}" --emulate-plug "1@0,2@0.2"
check "--json: an entry per bridge" python3 -c '
import json, sys
o = json.load(open(sys.argv[1]))
assert o["exit_code"] == 0 and o["result"] == "updated", o
assert [u["device"] for u in o["updates"]] == ["emulated1", "emulated2"], o' "$work/stdout"

# a log that cannot be written: no further bridge is taken
if [ -w /dev/full ]; then
  rm -f "$work"/f?
  expect "a lost log line stops the station" 4 "*" "*" -- \
    timeout 30 "$zq" update "$image" --watch --yes --log /dev/full --emulate "${flashes[@]:0:4}" \
    --emulate-plug "1@0,2@0.5"
  check "nothing taken after the lost line" eval '! grep -q "emulated2" "$work/stderr"'
fi

# idle: no processor time to speak of; Ctrl-C while it waits ends it at once
rm -f "$log" "$work"/f?
"$zq" update "$image" --watch --yes --log "$log" --emulate "${flashes[@]:0:2}" \
  --emulate-plug "1@0" </dev/null >"$work/idle.out" 2>"$work/idle.err" &
pid=$!
for _ in $(seq 100); do [ -s "$log" ] && break; sleep 0.1; done
check "idle: the bridge attached at the start updated" logged "$log" "emulated1 updated 0"
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
before=$(ticks)
sleep 3
used=$(($(ticks) - before))
hz=$(getconf CLK_TCK)
echo "idle station: $used ticks of $((3 * hz)) in 3 s"
check "idle: under a tenth of a CPU" test $((used * 10)) -lt $((3 * hz))
start=$(date +%s%N)
kill -INT "$pid"
wait "$pid" && status=0 || status=$?
took=$((($(date +%s%N) - start) / 1000000))
echo "Ctrl-C while waiting: ended in $took ms"
check "Ctrl-C while waiting: exit 130" test "$status" = 130
check "Ctrl-C while waiting: ended at once" test "$took" -lt 1000
check "Ctrl-C while waiting: the summary" grep -q '^station: 1 passed, 0 failed$' "$work/idle.out"

# Ctrl-C while a bridge is written: it finishes, is logged, the station ends
rm -f "$log" "$work"/f?
"$zq" update "$work/big.bin" --watch --yes --log "$log" --emulate --emulate-flash "$work/f1" \
  --emulate-timing --emulate-plug "1@0" </dev/null >"$work/held.out" 2>"$work/held.err" &
pid=$!
for _ in $(seq 100); do grep -q "emulated1: updating" "$work/held.err" && break; sleep 0.05; done
sleep 0.4
kill -INT "$pid"
wait "$pid" && status=0 || status=$?
check "Ctrl-C mid-write: exit 130" test "$status" = 130
check "Ctrl-C mid-write: the bridge logged, the write finished or never begun" python3 -c '
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
assert len(lines) == 1 and lines[0]["exit_code"] == 130, lines
assert lines[0]["message"].startswith(("Stopped after writing", "zq5210: stopped before erasing")), lines' \
  "$log"
check "Ctrl-C mid-write: the summary" grep -q '^station: 0 passed, 1 failed$' "$work/held.out"

# usage
expect "--watch with --all" 2 "*" "*" -- "$zq" update "$image" --watch --all --emulate
expect "--watch with --backup" 2 "*" "*" -- "$zq" update "$image" --watch --backup "$work/b" \
  --emulate
expect "--count without --watch" 2 "*" "*" -- "$zq" update "$image" --count 2 --emulate
expect "a schedule that cannot happen" 2 "*" "*" -- "$zq" update "$image" --watch --yes \
  --emulate --emulate-plug "1@0,1@1"

finish
