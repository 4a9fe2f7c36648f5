#!/usr/bin/env python3
"""Independent checker of matrix files, written from the file format alone.

Walks the record file with tests/store/validate_pdb64.py (records, file
header, free chain, trees) and then checks the matrix records: one header
(0x600) and its subheader (0x601) decode and fill their bodies; every offset
names a record of the right type; the node tree's keys are in the order of
the dim codes (level, then node origin per dimension) and each names a node
record (0x606) of the same node; channel chains (0x603) ascend; child lists
(0x605) decode; the stored-node ring (0x607) links both ways and its count
is right; no node, channel, child-list or ring record is left unowned; the
header's sizes keep every shift of a node's extent below 63 bits.
Compressed integers come from mx_codec.py (the reference codec).

usage: validate_mx.py [--closed] [--records] FILE...
  --closed   also: no open marks (record file and subheader), no journal
  --records  print each file's records in file order as TYPE/BODY-BYTES
             (free space left out) on one line
Exit status 0 when every file is valid; problems are printed.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "store"))
sys.path.insert(0, HERE)
import validate_pdb64 as pdb  # noqa: E402
from mx_codec import dec_int  # noqa: E402

HEADER, SUB, DATA1, DATA2, CAL, ADDR, NODE, RING = range(0x600, 0x608)
KEY_TYPE = 0x401
DC_END, FILL = 0xF1, 0xF2
CACHE_FILE = 2
MAX_LEVELS, MAX_BLOCK_BITS, MAX_SHIFT = 63, 30, 62


class Bad(Exception):
    pass


def dec_code(b, i, dim):
    """A dim code of dim dimensions at b[i:]: (values, next index)."""
    vals = []
    for _ in range(dim + 1):
        if i >= len(b) or b[i] >= 0xF1:
            raise Bad("dim code cut short")
        v, i = dec_int(b, i)
        vals.append(v)
    if i >= len(b) or b[i] != DC_END:
        raise Bad("dim code without its end mark")
    return vals, i + 1


def bit_field_bytes(dd):
    if any(d == 0 for d in dd):
        return 0
    s = sum(dd)
    return 0 if s > 13 else max(1, 1 << (s - 3)) if s >= 3 else 1


def node_key(code, dd, bs):
    """The tree order of a code: level, then each node origin."""
    level = code[0]
    out = [level]
    for d in range(len(dd)):
        s = min(64, level * dd[d] + bs[d])
        out.append(code[d + 1] & ~((1 << s) - 1) if s < 64 else 0)
    return out


class Matrix:
    def __init__(self, data, records, trees, closed):
        self.data, self.records, self.trees, self.closed = data, records, trees, closed
        self.owned = {}

    def body(self, off, rtype, where, size=None, minimum=0):
        rec = self.records.get(off)
        if rec is None or rec[0] != rtype:
            raise Bad("%s: %d is no record of type %#x" % (where, off, rtype))
        b = pdb.body_of(self.data, self.records, off)
        if (size is not None and len(b) != size) or len(b) < minimum:
            raise Bad("%s: record %d of %d body bytes" % (where, off, len(b)))
        return b

    def code(self, b, i):
        """A dim code of this matrix at b[i:]: a level it has, no negative coordinate."""
        code, end = dec_code(b, i, self.dim)
        if not 0 <= code[0] < self.total_levels or min(code[1:]) < 0:
            raise Bad("dim code %s outside the matrix" % code)
        return code, end

    def own(self, off, what):
        if off in self.owned:
            raise Bad("%s %d also belongs to %s" % (what, off, self.owned[off]))
        self.owned[off] = what

    def check(self):
        if sum(1 for r in self.records.values() if r[0] == pdb.FREE_HEAD) != 1:
            raise Bad("no free list")
        heads = sorted(o for o, r in self.records.items() if r[0] == HEADER)
        if len(heads) != 1:
            raise Bad("%d matrix headers" % len(heads))
        self.header(self.body(heads[0], HEADER, "header", minimum=32))
        self.subheader(self.body(self.sub, SUB, "subheader", size=896))
        self.tree()
        self.ring()
        for o, r in self.records.items():
            if r[0] in (DATA2, ADDR, NODE, RING) and o not in self.owned:
                raise Bad("record %d of type %#x belongs to nothing" % (o, r[0]))

    def header(self, b):
        self.channels, self.dim, self.flags, self.levels, _mtime, self.sub = struct.unpack_from(">iiiiqq", b)
        if not (1 <= self.dim <= 64 and 1 <= self.channels <= 65535):
            raise Bad("header: dim %d, %d channels" % (self.dim, self.channels))
        i = 32
        self.dd = list(b[i:i + self.dim])
        self.bs = list(b[i + self.dim:i + 2 * self.dim])
        i += 2 * self.dim
        self.size = []
        for _ in range(self.dim):
            v, i = dec_int(b, i)
            self.size.append(v)
        if len(b) - i != 12 * self.channels:
            raise Bad("header: channel table of %d bytes for %d channels" % (len(b) - i, self.channels))
        self.limits()
        self.types = []
        for c in range(self.channels):
            tcode, _cflags, dfofs = struct.unpack_from(">hhq", b, i + 12 * c)
            self.types.append(tcode)
            if dfofs:
                self.body(dfofs, DATA1, "default datum of channel %d" % c, minimum=8)
        self.dbf = bit_field_bytes(self.dd)

    def limits(self):
        """Every shift of a node's extent stays below 63 bits."""
        if not 0 <= self.levels <= MAX_LEVELS or any(v > MAX_BLOCK_BITS for v in self.bs) or min(self.size) < 0:
            raise Bad("header: levels %d, block sizes %s, sizes %s" % (self.levels, self.bs, self.size))
        levels = self.total_levels = self.levels
        if 0 in self.dd or 0 in self.size:
            self.total_levels = 0
            return
        if not levels:
            for dd, x in zip(self.dd, self.size):
                count = 0
                while x > 1:
                    x = -(-x >> dd)
                    count += 1
                levels = max(levels, count + 1)
        if any((levels - 1) * dd + bs > MAX_SHIFT for dd, bs in zip(self.dd, self.bs)):
            raise Bad("header: %d levels past the largest shift" % levels)
        self.total_levels = levels

    def subheader(self, b):
        self.cal = struct.unpack_from(">72q", b, 288)
        self.root, self.next, self.prev, self.count, sflags = struct.unpack_from(">qqqii", b, 864)
        if self.closed and sflags & 1:
            raise Bad("subheader: open mark still set")
        for at in self.cal:
            if at:
                self.body(at, CAL, "script")

    def tree(self):
        rec = self.records.get(self.root)
        if rec is None or rec[0] != pdb.TREE_ROOT:
            raise Bad("node tree root %d is no tree root" % self.root)
        ktype = struct.unpack(">i", pdb.body_of(self.data, self.records, self.root)[:4])[0]
        if ktype != KEY_TYPE:
            raise Bad("node tree of key type %#x" % ktype)
        self.nodes = {}
        last = None
        for key in self.trees.get(self.root, []):
            fofs = struct.unpack(">q", key[:8])[0]
            code, end = self.code(key, 8)
            if end != len(key):
                raise Bad("tree key of node %d has bytes after its code" % fofs)
            order = node_key(code, self.dd, self.bs)
            if last is not None and not last < order:
                raise Bad("tree keys out of order at node %d" % fofs)
            last = order
            self.own(fofs, "the tree")
            self.node(fofs, order)

    def node(self, fofs, order):
        b = self.body(fofs, NODE, "node", minimum=8)
        i = 8
        chain = struct.unpack_from(">q", b, 0)[0]
        ring = addr = 0
        if self.flags & CACHE_FILE:
            ring = struct.unpack_from(">q", b, i)[0]
            i += 8
        if self.dbf == 0:
            addr = struct.unpack_from(">q", b, i)[0]
            i += 8
        code, i = self.code(b, i)
        if len(b) - i != self.dbf:
            raise Bad("node %d: %d bytes after its code, bit field %d" % (fofs, len(b) - i, self.dbf))
        if node_key(code, self.dd, self.bs) != order:
            raise Bad("node %d holds another code than its key" % fofs)
        self.nodes[fofs] = ring
        last = -1
        at = chain
        while at:
            d = self.body(at, DATA2, "channel of node %d" % fofs, minimum=12)
            nxt, ch = struct.unpack_from(">qi", d)
            if not last < ch < self.channels or not self.types[ch]:
                raise Bad("node %d: channel %d after %d" % (fofs, ch, last))
            self.own(at, "node %d" % fofs)
            last, at = ch, nxt
        if addr:
            a = self.body(addr, ADDR, "child list of node %d" % fofs, minimum=8)
            self.own(addr, "node %d" % fofs)
            j = 0
            while j < len(a) and a[j] != FILL:
                _, j = self.code(a, j)
            if any(x != FILL for x in a[j:]):
                raise Bad("child list %d: bytes after its fill" % addr)

    def ring(self):
        if not self.flags & CACHE_FILE:
            if (self.next, self.prev, self.count) != (self.sub, self.sub, 0):
                raise Bad("ring in a matrix without one")
            return
        if self.count != len(self.nodes):
            raise Bad("ring count %d for %d nodes" % (self.count, len(self.nodes)))
        prev, at, seen = self.sub, self.next, 0
        while at != self.sub:
            if seen > self.count:
                raise Bad("ring longer than its count")
            r = self.body(at, RING, "ring entry", size=24)
            node, nxt, back = struct.unpack(">qqq", r)
            if back != prev:
                raise Bad("ring entry %d points back to %d, not %d" % (at, back, prev))
            if self.nodes.get(node) != at:
                raise Bad("ring entry %d names node %d, which names another entry" % (at, node))
            self.own(at, "the ring")
            prev, at, seen = at, nxt, seen + 1
        if seen != self.count or self.prev != prev:
            raise Bad("ring of %d entries ends at %d; the subheader says %d, %d" % (seen, prev, self.count, self.prev))


def problems(data, closed=False):
    """The problems of a matrix file's bytes (empty: valid) and its records."""
    errors = []
    records = pdb.walk(data, errors)
    pdb.check_file_header(data, records, closed, errors)
    if not errors:
        pdb.check_free_chain(data, records, errors)
    trees = {} if errors else pdb.check_trees(data, records, False, errors)
    if not errors:
        try:
            Matrix(data, records, trees, closed).check()
        except (Bad, ValueError, struct.error) as e:
            errors.append(str(e))
    return errors, records


def validate(path, closed, records_line):
    with open(path, "rb") as f:
        data = f.read()
    errors = []
    if closed and os.path.exists(path + "-journal"):
        errors.append("a write-back journal is left beside the closed file")
    more, records = problems(data, closed)
    errors += more
    if records_line:
        print(" ".join("%x/%d" % (r[0], r[2] - r[1]) for o, r in sorted(records.items())
                       if r[0] not in (pdb.FILE_HEADER, pdb.FREE_HEAD, pdb.FREE_SEG)))
    for e in errors:
        print("%s: %s" % (path, e))
    return not errors


def main(argv):
    sys.setrecursionlimit(20000)
    flags = {"--closed", "--records"}
    paths = [a for a in argv if a not in flags]
    if not paths:
        print(__doc__)
        return 2
    ok = all([validate(p, "--closed" in argv, "--records" in argv) for p in paths])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
