#!/usr/bin/env python3
"""Independent checker of record files.

Walks a record file from offset 0 by its physical headers and checks that
every byte belongs to exactly one record, that there is one file header,
and that the free chain is in order. Shares nothing with the C++ code.

usage: validate_pdb64.py [--closed] FILE...
  --closed   the files must not carry the open-for-writing mark
Exit status 0 when every file is valid; problems are printed.
"""
import struct
import sys

FILE_HEADER, FREE_HEAD, FREE_SEG = 0x0001, 0x0103, 0x0104


def width_for_memory_size(m):
    if m <= 65545:
        return 4
    if m <= 0xFFFFFFFF:
        return 8
    return 12


def walk(data, errors):
    """Returns {offset: (type, width, length)} of every record."""
    records = {}
    off = 0
    while off < len(data):
        if len(data) - off < 4:
            errors.append("%d: header cut off by the end of the file" % off)
            break
        rtype, short = struct.unpack_from(">HH", data, off)
        if short == 0xFFFE:
            width = 8
            if len(data) - off < 8:
                errors.append("%d: medium header cut off" % off)
                break
            (length,) = struct.unpack_from(">I", data, off + 4)
        elif short == 0xFFFF:
            width = 12
            if len(data) - off < 12:
                errors.append("%d: long header cut off" % off)
                break
            (length,) = struct.unpack_from(">Q", data, off + 4)
        else:
            width, length = 4, short
        if length < width:
            errors.append("%d: length %d below header width %d" % (off, length, width))
            break
        if width_for_memory_size(length - width + 16) != width:
            errors.append("%d: length %d in a %d-byte header of the wrong form" % (off, length, width))
        if off + length > len(data):
            errors.append("%d: record of %d bytes runs past the end (%d)" % (off, length, len(data)))
            break
        records[off] = (rtype, width, length)
        off += length
    return records


def check_file_header(data, records, closed, errors):
    if records.get(0, (None,))[0] != FILE_HEADER:
        errors.append("no file header at offset 0")
        return
    if records[0][2] != 32:
        errors.append("file header is %d bytes, not 32" % records[0][2])
        return
    ftype, version, encoding, linear, flags = struct.unpack_from(">i8s8sIi", data, 4)
    if version != b"64-0.6\x00\x00":
        errors.append("version field %r" % version)
    name, nul, rest = encoding.partition(b"\x00")
    if not nul or not name or rest.strip(b"\x00"):
        errors.append("encoding field %r" % encoding)
    if linear != 0:
        errors.append("linear field %d" % linear)
    if flags & ~1:
        errors.append("unknown flag bits %#x" % flags)
    if closed and flags & 1:
        errors.append("open-for-writing mark still set")
    others = [o for o, r in records.items() if r[0] == FILE_HEADER and o != 0]
    if others:
        errors.append("more file headers at %s" % others)


def check_free_chain(data, records, errors):
    heads = sorted(o for o, r in records.items() if r[0] == FREE_HEAD)
    if len(heads) > 1:
        errors.append("several free-list heads: %s" % heads)
    if not heads:
        return
    head = heads[0]
    if records[head][2] != 12:
        errors.append("free-list head is %d bytes, not 12" % records[head][2])
        return
    (nxt,) = struct.unpack_from(">Q", data, head + 4)
    prev = None
    seen = set()
    while nxt:
        if nxt in seen:
            errors.append("free chain loops at %d" % nxt)
            return
        seen.add(nxt)
        rec = records.get(nxt)
        if rec is None:
            errors.append("free chain points to %d, which is no record start" % nxt)
            return
        rtype, width, length = rec
        if rtype != FREE_SEG:
            errors.append("free chain reaches record %d of type %#x" % (nxt, rtype))
            return
        if length - width < 8:
            errors.append("free segment %d too small (%d bytes)" % (nxt, length))
            return
        if prev is not None:
            if nxt >= prev:
                errors.append("free chain not descending: %d after %d" % (nxt, prev))
            elif nxt + length >= prev:
                errors.append("free segments %d and %d touch or overlap" % (nxt, prev))
        if nxt + length == len(data):
            errors.append("free segment %d ends at the end of the file" % nxt)
        prev = nxt
        (nxt,) = struct.unpack_from(">Q", data, nxt + width)


def validate(path, closed):
    with open(path, "rb") as f:
        data = f.read()
    errors = []
    records = walk(data, errors)
    check_file_header(data, records, closed, errors)
    if not errors:
        check_free_chain(data, records, errors)
    for e in errors:
        print("%s: %s" % (path, e))
    return not errors


def main(argv):
    closed = "--closed" in argv
    paths = [a for a in argv if a != "--closed"]
    if not paths:
        print(__doc__)
        return 2
    ok = all([validate(p, closed) for p in paths])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
