#!/usr/bin/env python3
"""Independent checker of record files.

Walks a record file from offset 0 by its physical headers and checks that
every byte belongs to exactly one record, that there is one file header,
and that the free chain is in order. Then checks the trees kept in the
file: every root and node record has its size, every offset in them names a
record of the right type, each node hangs under exactly one parent and is
reached from a root, heights are right and balanced, and keys are in order
(signed 32-bit for integer indexes, unsigned 32-bit characters for data
trees, bytewise for other key types with --byte-keys). Association headers,
value records and value lists are checked the same way. Shares nothing with
the C++ code.

usage: validate_pdb64.py [--closed] [--byte-keys] FILE...
  --closed     the files must not carry the open-for-writing mark, nor have
               a write-back journal ("<file>-journal") beside them
  --byte-keys  order the keys of other key types as byte strings
Exit status 0 when every file is valid; problems are printed.
"""
import os
import struct
import sys

FILE_HEADER, FREE_HEAD, FREE_SEG = 0x0001, 0x0103, 0x0104
TREE_ROOT, TREE_NODE, VALUE_LIST = 0x0101, 0x0102, 0x0105
ASSOC_HEADER, ASSOC_VALUE = 0x0201, 0x0202
KEY_INTEGER, KEY_DTREE_TOP, KEY_DTREE = 0x100, 0x103, 2
MAX_DEPTH = 128


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


def body_of(data, records, off):
    rtype, width, length = records[off]
    return data[off + width:off + length]


def check_trees(data, records, byte_keys, errors):
    """Checks every tree; returns {root offset: [keys in order]}."""
    parent_of = {}
    trees = {}
    for off, (rtype, width, length) in sorted(records.items()):
        if rtype == TREE_ROOT and length - width != 12:
            errors.append("%d: tree root of %d body bytes" % (off, length - width))
        if rtype == TREE_NODE and length - width < 20:
            errors.append("%d: tree node of %d body bytes" % (off, length - width))
    if errors:
        return trees
    for off in sorted(o for o, r in records.items() if r[0] == TREE_ROOT):
        ktype, top = struct.unpack(">iQ", body_of(data, records, off))
        keys = []
        if top:
            if records.get(top, (None,))[0] != TREE_NODE:
                errors.append("root %d: top node %d is no tree node" % (off, top))
                continue
            if top in parent_of:
                errors.append("node %d under %d and root %d" % (top, parent_of[top], off))
                continue
            parent_of[top] = off
            check_subtree(data, records, top, 0, parent_of, keys, errors, "root %d" % off)
        trees[off] = keys
        if ktype == KEY_INTEGER:
            order = [struct.unpack(">i", k[:4])[0] if len(k) >= 4 else None for k in keys]
        elif ktype in (KEY_DTREE_TOP, KEY_DTREE):
            order = [struct.unpack(">I", k[:4])[0] if len(k) >= 4 else None for k in keys]
        elif byte_keys:
            order = keys
        else:
            order = None
        if order is not None:
            for a, b in zip(order, order[1:]):
                if a is None or b is None or not a < b:
                    errors.append("root %d: keys out of order (%r then %r)" % (off, a, b))
                    break
    for off in sorted(o for o, r in records.items() if r[0] == TREE_NODE):
        if off not in parent_of:
            errors.append("node %d belongs to no tree" % off)
    return trees


def check_subtree(data, records, off, depth, parent_of, keys, errors, where):
    """In-order walk; returns the subtree height (0 after an error)."""
    if depth > MAX_DEPTH:
        errors.append("%s: tree deeper than %d" % (where, MAX_DEPTH))
        return 0
    body = body_of(data, records, off)
    small, large, level = struct.unpack_from(">QQi", body)
    heights = []
    for side, child in (("small", small), ("large", large)):
        if side == "large":
            keys.append(bytes(body[20:]))
        if not child:
            heights.append(0)
            continue
        if records.get(child, (None,))[0] != TREE_NODE:
            errors.append("%s: node %d's %s child %d is no tree node" % (where, off, side, child))
            return 0
        if child in parent_of:
            errors.append("%s: node %d under both %d and %d" % (where, child, parent_of[child], off))
            return 0
        parent_of[child] = off
        h = check_subtree(data, records, child, depth + 1, parent_of, keys, errors, where)
        if not h:
            return 0
        heights.append(h)
    if level != 1 + max(heights):
        errors.append("%s: node %d has level %d, its children %s" % (where, off, level, heights))
        return 0
    if abs(heights[0] - heights[1]) > 1:
        errors.append("%s: node %d unbalanced, children %s" % (where, off, heights))
        return 0
    return level


def check_associations(data, records, trees, errors):
    heads = sorted(o for o, r in records.items() if r[0] == ASSOC_HEADER)
    if not heads:
        return
    if len(heads) > 1:
        errors.append("several association headers: %s" % heads)
    body = body_of(data, records, heads[0])
    if len(body) % 16:
        errors.append("association header %d of %d body bytes" % (heads[0], len(body)))
        return
    names = set()
    for i in range(len(body) // 16):
        root, itype, name = struct.unpack_from(">qhh", body, i * 16)
        where = "index %d" % i
        if name in names:
            errors.append("%s: name %d used twice" % (where, name))
        names.add(name)
        if records.get(root, (None,))[0] != TREE_ROOT:
            errors.append("%s: root %d is no tree root" % (where, root))
            continue
        if itype == 1:
            check_integer_index(data, records, trees, root, errors, where)
        elif itype == 2:
            check_data_tree(data, records, trees, root, KEY_DTREE_TOP, 0, set(), errors, where)
        else:
            errors.append("%s: type %d" % (where, itype))


def root_type(data, records, root):
    return struct.unpack(">i", body_of(data, records, root)[:4])[0]


def check_value(records, off, errors, where):
    if records.get(off, (None,))[0] != ASSOC_VALUE:
        errors.append("%s: value %d is no value record" % (where, off))
    else:
        rtype, width, length = records[off]
        if length - width < 8:
            errors.append("%s: value record %d of %d body bytes" % (where, off, length - width))


def check_integer_index(data, records, trees, root, errors, where):
    if root_type(data, records, root) != KEY_INTEGER:
        errors.append("%s: integer index root %d of key type %#x" % (where, root, root_type(data, records, root)))
    for key in trees.get(root, []):
        if len(key) != 12:
            errors.append("%s: integer key of %d bytes" % (where, len(key)))
            continue
        check_value(records, struct.unpack(">q", key[4:])[0], errors, where)


def check_data_tree(data, records, trees, root, want, depth, seen, errors, where):
    if root in seen:
        errors.append("%s: data tree %d reached twice" % (where, root))
        return
    seen.add(root)
    if root_type(data, records, root) != want:
        errors.append("%s: data tree %d of key type %#x" % (where, root, root_type(data, records, root)))
    keys = trees.get(root, [])
    if depth > 0 and not keys:
        errors.append("%s: empty data tree %d left behind" % (where, root))
    for key in keys:
        if len(key) != 20:
            errors.append("%s: data tree key of %d bytes" % (where, len(key)))
            continue
        ch, sub, val = struct.unpack(">IQQ", key)
        if not sub and not val:
            errors.append("%s: key %#x in tree %d leads nowhere" % (where, ch, root))
        if val:
            if records.get(val, (None,))[0] == VALUE_LIST:
                lst = body_of(data, records, val)
                if len(lst) % 8 or len(lst) < 16:
                    errors.append("%s: value list %d of %d bytes" % (where, val, len(lst)))
                for i in range(len(lst) // 8):
                    check_value(records, struct.unpack_from(">Q", lst, i * 8)[0], errors, where)
            else:
                check_value(records, val, errors, where)
        if sub:
            if records.get(sub, (None,))[0] != TREE_ROOT:
                errors.append("%s: key %#x leads to %d, no tree root" % (where, ch, sub))
            else:
                check_data_tree(data, records, trees, sub, KEY_DTREE, depth + 1, seen, errors, where)


def validate(path, closed, byte_keys=False):
    with open(path, "rb") as f:
        data = f.read()
    errors = []
    if closed and os.path.exists(path + "-journal"):
        errors.append("a write-back journal is left beside the closed file")
    records = walk(data, errors)
    check_file_header(data, records, closed, errors)
    if not errors:
        check_free_chain(data, records, errors)
    if not errors:
        trees = check_trees(data, records, byte_keys, errors)
        if not errors:
            check_associations(data, records, trees, errors)
    for e in errors[:20]:
        print("%s: %s" % (path, e))
    if len(errors) > 20:
        print("%s: ... and %d more" % (path, len(errors) - 20))
    return not errors


def main(argv):
    sys.setrecursionlimit(20000)
    closed = "--closed" in argv
    byte_keys = "--byte-keys" in argv
    paths = [a for a in argv if a not in ("--closed", "--byte-keys")]
    if not paths:
        print(__doc__)
        return 2
    ok = all([validate(p, closed, byte_keys) for p in paths])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
