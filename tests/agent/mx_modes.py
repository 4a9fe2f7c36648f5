#!/usr/bin/env python3
# Prints the stored modes of a matrix file, read from its records alone:
# one line per stored script or priority, "<mode> <slot> pri=<n>" for a
# non-zero priority and "<mode> <slot> <script text>" (lines joined by "|",
# trailing blanks removed) for a script; modes direct, server, client.
#
# usage: mx_modes.py FILE
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "store"))
import validate_pdb64 as pdb  # noqa: E402

data = open(sys.argv[1], "rb").read()
records = pdb.walk(data, [])
header = next(o for o, r in records.items() if r[0] == 0x600)
sub = pdb.body_of(data, records, struct.unpack_from(">q", pdb.body_of(data, records, header), 24)[0])
pri, cal = struct.unpack_from(">72i", sub, 0), struct.unpack_from(">72q", sub, 288)
for i in range(72):
    where = "%s %d" % (("direct", "server", "client")[i // 24], i % 24)
    if pri[i]:
        print("%s pri=%d" % (where, pri[i]))
    if cal[i]:
        print(where, pdb.body_of(data, records, cal[i]).decode("utf-8").rstrip().replace("\n", "|"))
