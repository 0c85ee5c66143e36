#!/usr/bin/env python3
"""Writes the sample firmware images: sample.bin, sample.hex (the same bytes as
Intel HEX) and bad_checksum.hex (sample.hex with one checksum spoiled).

The bytes are a fixed pseudo-random stream with a few lines of text laid over
it, so a dropped, doubled or shifted record shows up in a comparison."""

import os

SIZE = 4660  # not a multiple of 16: the last record is a short one
RECORD_BYTES = 16
TEXTS = [
    (0x0000, b"ZQ5210 sample firmware image\0"),
    (0x0400, b"made for the updater's own tests; not for a real bridge\0"),
    (0x1100, b"end of sample\0"),
]


def image_bytes():
    data = bytearray(SIZE)
    state = 0x2545F491
    for i in range(SIZE):
        # xorshift32: deterministic and free of short cycles
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data[i] = (state >> 11) & 0xFF
    for offset, text in TEXTS:
        data[offset:offset + len(text)] = text
    return bytes(data)


def record(address, record_type, payload):
    fields = bytes([len(payload), address >> 8, address & 0xFF, record_type]) + payload
    checksum = (-sum(fields)) & 0xFF
    return ":" + (fields + bytes([checksum])).hex().upper()


def hex_lines(data):
    lines = [record(0, 0x04, b"\x00\x00")]
    for offset in range(0, len(data), RECORD_BYTES):
        lines.append(record(offset, 0x00, data[offset:offset + RECORD_BYTES]))
    lines.append(record(0, 0x01, b""))
    return lines


def spoil_checksum(line):
    checksum = (int(line[-2:], 16) + 1) & 0xFF
    return line[:-2] + "%02X" % checksum


def write(path, content):
    with open(path, "wb") as out:
        out.write(content)


def main():
    folder = os.path.dirname(os.path.abspath(__file__))
    data = image_bytes()
    lines = hex_lines(data)
    write(os.path.join(folder, "sample.bin"), data)
    write(os.path.join(folder, "sample.hex"), ("\n".join(lines) + "\n").encode("ascii"))
    bad = list(lines)
    bad[100] = spoil_checksum(bad[100])
    write(os.path.join(folder, "bad_checksum.hex"), ("\n".join(bad) + "\n").encode("ascii"))


if __name__ == "__main__":
    main()
