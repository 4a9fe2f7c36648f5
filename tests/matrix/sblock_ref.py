#!/usr/bin/env python3
"""Reference decoder of the structure-block byte forms, written from the
format description alone. Reads lines from stdin and prints one dump per
line (or "error"):

  hl DIM HEX        heuristic layering: per id "id:" then per click
                    "reso,ix...,show,hide" joined by ";", ids by "|"
  sa BS,BS,.. HEX   structured array (one block_size per dimension):
                    per member "ix,...:HEXBYTES" joined by ";"

Doubles are printed with %.17g, as the C++ side prints them."""
import struct
import sys

from mx_codec import dec_int


def cut(ok):
    if not ok:
        raise ValueError("cut")


def hl(dim, b):
    ids, i = [], 0
    while i < len(b):
        ident, i = dec_int(b, i)
        cut(i < len(b))
        count, i = dec_int(b, i)
        clicks = []
        for _ in range(count):
            cut(i + 8 <= len(b))
            vals = ["%.17g" % struct.unpack(">d", b[i:i + 8])[0]]
            i += 8
            for _ in range(dim + 2):
                v, i = dec_int(b, i)
                vals.append(str(v))
            clicks.append(",".join(vals))
        ids.append("%d:%s" % (ident, ";".join(clicks)))
    return "|".join(ids)


def sa(sizes, b):
    members, i = [], 0
    while i < len(b):
        ix = []
        for bs in sizes:
            if bs <= 8:
                cut(i < len(b))
                v, i = b[i], i + 1
            else:
                v, i = dec_int(b, i)
            ix.append(str(v))
        length, i = dec_int(b, i)
        cut(0 <= length <= len(b) - i)
        members.append("%s:%s" % (",".join(ix), b[i:i + length].hex()))
        i += length
    return ";".join(members)


def main():
    for line in sys.stdin:
        kind, geometry, *rest = line.split()
        data = bytes.fromhex(rest[0] if rest else "")
        try:
            if kind == "hl":
                print(hl(int(geometry), data))
            else:
                print(sa([int(s) for s in geometry.split(",")], data))
        except ValueError:
            print("error")


if __name__ == "__main__":
    main()
