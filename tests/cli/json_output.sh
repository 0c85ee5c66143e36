#!/usr/bin/env bash
# --json: one object on standard output that parses, with the keys scripts
# rely on, for every command, whether it succeeds or fails.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR

# keys KEY:TYPE... : the object on $work/stdout has these keys of these types
keys() {
  python3 - "$work/stdout" "$@" <<'PY'
import json, sys
types = {"int": int, "str": str, "bool": bool, "list": list, "num": (int, float), "null": type(None)}
obj = json.load(open(sys.argv[1]))
for wanted in sys.argv[2:]:
    path, kind = wanted.rsplit(":", 1)
    value = obj
    for part in path.split("."):
        value = value[int(part)] if isinstance(value, list) else value[part]
    if not isinstance(value, tuple(t for k in kind.split("|") for t in (types[k] if isinstance(types[k], tuple) else (types[k],)))):
        sys.exit(f"{path}: {value!r} is not {kind}")
    if kind == "int" and isinstance(value, bool):
        sys.exit(f"{path}: a bool, not a number")
PY
}

bridge=(device:str emulated:bool usb_port:str serial:str flash_maker:str flash_part:str
  rom_size_kb:int firmware:str access:bool)
json() { expect "$1" "$2" "*" "*" -- "${@:3}"; check "$1: keys" keys exit_code:int message:str "${extra[@]}"; }

extra=(code_size:int); json "check" 0 "$zq" check "$examples/sample.hex" --json
extra=(); json "check fails" 1 "$zq" check "$work/none.bin" --json
extra=(bridges:list "${bridge[@]/#/bridges.0.}"); json "list" 0 "$zq" list --emulate --json
check "list: what the chip holds" keys bridges.0.rom_size_kb:int
extra=(bridges:list); json "list, none" 1 "$zq" list --json
extra=(bridges:list "${bridge[@]/#/bridges.0.}"); json "info" 0 "$zq" info --emulate --json
upd=(device:str result:str verified:bool bytes_written:int)
extra=("${upd[@]}" backup:str); json "update" 0 "$zq" update "$examples/sample.bin" --emulate \
  --emulate-flash "$work/f.bin" --backup "$work/b.bin" --json
check "update: updated and verified" grep -q '"result": "updated"' "$work/stdout"
extra=("${upd[@]}"); json "update unchanged" 0 "$zq" update "$examples/sample.bin" --emulate \
  --emulate-flash "$work/f.bin" --json
check "update: unchanged" grep -q '"result": "unchanged"' "$work/stdout"
extra=(device:str result:str verified:bool bytes_written:null); json "update fails" 3 \
  "$zq" update "$examples/sample.bin" --emulate --emulate-fault write:2 --json
extra=(device:str output:str bytes:int); json "read-rom" 0 "$zq" read-rom "$work/r.bin" \
  --emulate --json
check "the notice for people went to standard error" grep -qxF "Finished read! (Save As...)" "$work/stderr"

finish
