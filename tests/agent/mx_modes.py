#!/usr/bin/env python3
"""Prints the stored modes of a matrix file, read from its records alone.

One line per stored script or priority: "<mode> <slot> pri=<n>" for a
non-zero priority and "<mode> <slot> <script text>" (lines joined by "|",
trailing blanks removed) for a script; modes direct, server, client.

usage: mx_modes.py FILE
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "store"))
import validate_pdb64 as pdb  # noqa: E402

HEADER, CAL = 0x600, 0x604
MODES = ("direct", "server", "client")


def main(path):
    with open(path, "rb") as f:
        data = f.read()
    records = pdb.walk(data, [])
    head = [o for o, r in records.items() if r[0] == HEADER]
    sub = struct.unpack_from(">q", pdb.body_of(data, records, head[0]), 24)[0]
    body = pdb.body_of(data, records, sub)
    pri = struct.unpack_from(">72i", body, 0)
    cal = struct.unpack_from(">72q", body, 288)
    for i in range(72):
        mode, slot = MODES[i // 24], i % 24
        if pri[i]:
            print("%s %d pri=%d" % (mode, slot, pri[i]))
        if cal[i]:
            text = pdb.body_of(data, records, cal[i]).decode("utf-8").rstrip()
            print("%s %d %s" % (mode, slot, text.replace("\n", "|")))


if __name__ == "__main__":
    main(sys.argv[1])
