#!/usr/bin/env python3
"""Payloads after the image of a test program, as the packer places them.

    payloads.py table OUT ENTRY...    the PAYLOADS table (libs/payloadutil.h)
    payloads.py append EXE FILE...    FILEs after the image of EXE, in order

ENTRY is NAME=FILE, for a file placed after the image (in the order given,
each after the one before), or NAME@OFFSET:SIZE[:RESERVED], an entry with
whatever values a test needs; an OFFSET of "end-N" counts back from the end
of the files placed so far. `append` requires that EXE ends where its image
ends (linked with -s: no symbol table behind the sections).
"""

import os
import struct
import sys

ENTRY = struct.Struct("<12sIQQ")


def image_end(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, _, symbols, _, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    alignment = struct.unpack_from("<I", data, pe + 24 + 36)[0]
    end = struct.unpack_from("<I", data, pe + 24 + 60)[0]  # SizeOfHeaders
    for k in range(sections):
        raw_size, raw_offset = struct.unpack_from("<II", data, pe + 24 + optional_size + 40 * k + 16)
        if raw_size:
            end = max(end, raw_offset + raw_size)
    return (end + alignment - 1) // alignment * alignment, symbols


def table(out, entries):
    offset = 0
    rows = []
    for entry in entries:
        if "=" in entry:
            name, path = entry.split("=", 1)
            assert len(name) < 12, name
            size = os.path.getsize(path)
            rows.append(ENTRY.pack(name.encode(), 0, offset, size))
            offset += size
        else:
            name, values = entry.split("@", 1)
            assert len(name) < 12, name
            numbers = [offset - int(v[4:], 0) if v.startswith("end-") else int(v, 0) for v in values.split(":")]
            at, size, reserved = numbers[0], numbers[1], numbers[2] if len(numbers) > 2 else 0
            rows.append(ENTRY.pack(name.encode(), reserved, at, size))
    with open(out, "wb") as f:
        f.write(b"".join(rows))


def append(exe, paths):
    with open(exe, "rb") as f:
        data = f.read()
    end, symbols = image_end(data)
    if symbols or len(data) > end:
        sys.exit(f"payloads.py: {exe} has data behind its image: link it with -s")
    with open(exe, "ab") as f:
        f.write(b"\0" * (end - len(data)))
        for path in paths:
            with open(path, "rb") as payload:
                f.write(payload.read())


def main(args):
    if len(args) >= 2 and args[0] == "table":
        table(args[1], args[2:])
    elif len(args) >= 2 and args[0] == "append":
        append(args[1], args[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
