#!/usr/bin/env python3
"""Writes the MANIFEST resource of a bundle at build time.

    make-manifest.py OUT [--package RESNAME FILENAME {GUID} A.B.C.D FLAGS]...
                         [--transform RESNAME LANGID]...

Header of 4 bytes (0, package count, transform count, 0), then one 168-byte
entry per package and one 16-byte entry per transform, little-endian.
"""
import struct
import sys
import uuid


def fail(message):
    sys.exit("make-manifest: " + message)


def fixed_text(text, size, encoding):
    data = text.encode(encoding)
    unit = 2 if encoding == "utf-16-le" else 1
    if not data or len(data) > size - unit:
        fail("text does not fit its field: %r" % text)
    return data + b"\0" * (size - len(data))


def version_words(text):
    parts = [int(p) for p in text.split(".")]
    if not 1 <= len(parts) <= 4 or any(p < 0 or p > 65535 for p in parts):
        fail("bad version: " + text)
    parts += [0] * (4 - len(parts))
    return (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]


def package_entry(resource, file_name, code, version, flags):
    high, low = version_words(version)
    return (fixed_text(resource, 12, "ascii") + fixed_text(file_name, 128, "utf-16-le") +
            uuid.UUID(code).bytes_le + struct.pack("<III", high, low, int(flags, 0)))


def transform_entry(resource, language):
    return fixed_text(resource, 12, "ascii") + struct.pack("<I", int(language, 0))


def main(argv):
    if len(argv) < 2:
        fail(__doc__)
    out, args = argv[1], argv[2:]
    packages, transforms = [], []
    while args:
        if args[0] == "--package" and len(args) >= 6:
            packages.append(package_entry(*args[1:6]))
            args = args[6:]
        elif args[0] == "--transform" and len(args) >= 3:
            transforms.append(transform_entry(*args[1:3]))
            args = args[3:]
        else:
            fail("bad argument: " + args[0])
    if len(packages) > 255 or len(transforms) > 255:
        fail("more than 255 entries")
    data = bytes([0, len(packages), len(transforms), 0]) + b"".join(packages) + b"".join(transforms)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv)
