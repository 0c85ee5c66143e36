#!/usr/bin/env python3
"""Checks that Windows programs import nothing their oldest systems lack.

Windows refuses to start a program one of whose imports its DLLs do not
export, and Wine exports everything whatever version it plays, so only
reading the import table tells. Each imported function is looked up in
oldest_systems.txt; one missing there, or newer than the floor, fails with
its name and DLL.

usage: check_imports.py --floor win98se|xp64 [--objdump PROGRAM] [--list] EXE...
"""
import argparse
import os
import re
import subprocess
import sys

CONSUMER_ORDER = ["95", "98", "98SE", "Me"]
# the oldest system of each family the programs must start on; None: not asked
FLOORS = {
    "win98se": {"consumer": "98SE", "nt": (5, 0)},  # 32-bit: 98 SE and 2000
    "xp64": {"consumer": None, "nt": (5, 2)},  # 64-bit: XP x64
}


def nt_version(text):
    return None if text == "-" else tuple(int(part) for part in text.split("."))


def load_table(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split(None, 4)
            if len(fields) < 5:
                sys.exit(f"{path}:{number}: want DLL, function, consumer, NT, source")
            dll, name, consumer, nt, source = fields
            if consumer != "-" and consumer not in CONSUMER_ORDER:
                sys.exit(f"{path}:{number}: unknown consumer system {consumer}")
            if (dll.upper(), name) in table:
                sys.exit(f"{path}:{number}: {name} ({dll}) is listed twice")
            table[(dll.upper(), name)] = (consumer, nt_version(nt), source)
    return table


def read_imports(objdump, exe):
    """(DLL, function) pairs from the import tables; "#N" for an ordinal."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    imports = []
    dll = None
    for line in text.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).upper()
            continue
        if dll is None:
            continue
        entry = re.match(r"^\t[0-9a-fA-F]+\t\s*(\d+)\s+(\S+)\s*$", line)
        ordinal = re.match(r"^\t[0-9a-fA-F]+\t\s*Ordinal\s+(\d+)", line, re.I)
        if entry:
            imports.append((dll, entry.group(2)))
        elif ordinal:
            imports.append((dll, "#" + ordinal.group(1)))
        elif not line.strip():
            dll = None
    return imports


def problem(entry, floor):
    """Why an entry does not meet the floor; None when it does."""
    if entry is None:
        return "not in the table of oldest systems"
    consumer, nt, _ = entry
    want = FLOORS[floor]
    if want["consumer"] is not None:
        if consumer == "-" or CONSUMER_ORDER.index(consumer) > CONSUMER_ORDER.index(
                want["consumer"]):
            return f"not on Windows {want['consumer']} (first: {consumer})"
    if nt is None or nt > want["nt"]:
        shown = "none" if nt is None else ".".join(map(str, nt))
        return f"not on NT {'.'.join(map(str, want['nt']))} (first: NT {shown})"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--floor", choices=sorted(FLOORS), required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--table", default=os.path.join(os.path.dirname(__file__),
                                                        "oldest_systems.txt"))
    parser.add_argument("--list", action="store_true", help="print every import and its systems")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()

    table = load_table(args.table)
    failed = False
    for exe in args.programs:
        imports = read_imports(args.objdump, exe)
        if not imports:
            print(f"{exe}: no import table found")
            failed = True
            continue
        faults = []
        for dll, name in imports:
            entry = table.get((dll, name))
            why = problem(entry, args.floor)
            if why:
                faults.append(f"  {name} ({dll}): {why}")
            if args.list:
                consumer, nt, _ = entry or ("?", None, "")
                shown = "?" if entry is None else ("-" if nt is None else ".".join(map(str, nt)))
                print(f"  {dll:<13} {name:<30} Windows {consumer:<5} NT {shown}")
        dlls = len({dll for dll, _ in imports})
        if faults:
            failed = True
            print(f"{exe}: {len(faults)} of {len(imports)} imports fail the {args.floor} floor")
            print("\n".join(faults))
        else:
            print(f"{exe}: {len(imports)} imports from {dlls} DLLs, all on {args.floor}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
