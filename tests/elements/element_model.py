#!/usr/bin/python3
"""An independent model of the element types, written with struct and numpy.

Subcommands print one case per line for the C++ tests to compare against:
  header   the vector header length rule for every vector type, dims 0..31
  golden   stored bytes of values of every type and a spread of shapes
  casts    numpy's casts of integers and floats into the element types
  curve    the brightness curve and its inverse
  clip     saturation of round_int, as np.clip
  shapes   node block shapes of fake geometries
  pyramid  thinning and level differences over fake geometries
  seeds D  writes golden stored values (type byte first) into directory D
"""
import os
import random
import struct
import sys

import numpy as np

# code: (name, numpy big-endian dtype, struct letter, element size)
NUMERIC = {
    2: ("int8", ">i1", "b", 1), 3: ("int16", ">i2", "h", 2), 4: ("int32", ">i4", "i", 4),
    5: ("int64", ">i8", "q", 8), 6: ("uint8", ">u1", "B", 1), 7: ("uint16", ">u2", "H", 2),
    8: ("uint32", ">u4", "I", 4), 9: ("uint64", ">u8", "Q", 8), 10: ("float", ">f4", "f", 4),
    11: ("double", ">f8", "d", 8), 12: ("rgb8", ">u4", "I", 4),
}
BIT, BLOCK, STRING, VECTOR = 1, 13, 14, 16
STRING_V = STRING + VECTOR


def header_length(code, dim):
    """The header rule: the smallest multiple of the element size not below
    4 + 4 * dim; bit and string vectors no filler (in memory a string
    vector also keeps a 4-byte kind and 8-aligned slots); at most 127, but
    128 for a string vector, whose offset byte is read unsigned."""
    base = 4 + 4 * dim
    if code == BIT + VECTOR:
        h = base
    elif code == STRING_V:
        h = (base + 4 + 7) // 8 * 8
    else:
        size = NUMERIC[code - VECTOR][3]
        h = (base + size - 1) // size * size
    return h if h <= (128 if code == STRING_V else 127) else -1


def cmd_header():
    for code in sorted([c + VECTOR for c in NUMERIC] + [BIT + VECTOR, STRING_V]):
        for dim in range(32):
            print(code, dim, header_length(code, dim))


def sample(code, rng, n):
    """n element values of a scalar type, as Python values."""
    if code == BIT:
        return [rng.randrange(2) for _ in range(n)]
    name, dt, _, size = NUMERIC[code]
    if name in ("float", "double"):
        special = [0.0, -0.0, 1.5, -2.25, float("inf"), float("-inf"), float("nan"), 1e-310, 3.4e38]
        vals = [rng.choice(special) if rng.random() < 0.3 else rng.uniform(-1e6, 1e6) for _ in range(n)]
        if name == "float":
            vals = [float(np.float32(v)) for v in vals]
        return vals
    info = np.iinfo(np.dtype(dt))
    edge = [int(info.min), int(info.max), 0, 1, -1 if info.min < 0 else 2]
    return [rng.choice(edge) if rng.random() < 0.3 else rng.randint(int(info.min), int(info.max)) for _ in range(n)]


def text_value(v):
    if isinstance(v, float):
        return "nan" if v != v else v.hex()
    return str(v)


def vector_bytes(code, extents, vals):
    dim = len(extents)
    scalar = code - VECTOR
    if code == STRING_V:
        out = struct.pack(">I", STRING_V << 16 | dim) + struct.pack(">%di" % dim, *extents)
        return out + b"".join((t or b"") + b"\0" for t in vals)
    h = header_length(code, dim)
    out = struct.pack(">bBh", h, code, dim) + struct.pack(">%di" % dim, *extents)
    out += b"\0" * (h - len(out))
    if scalar == BIT:
        return out + np.packbits(np.array(vals, dtype=np.uint8), bitorder="little").tobytes()
    arr = np.array(vals, dtype=np.dtype(NUMERIC[scalar][1]).newbyteorder("=")).reshape(extents, order="F")
    return out + arr.astype(NUMERIC[scalar][1]).tobytes(order="F")


def shapes_for(code):
    top = 29 if code != STRING_V and code - VECTOR in NUMERIC and NUMERIC[code - VECTOR][3] == 8 else 30
    return [[], [0], [1], [7], [3, 2], [1, 0], [2, 1, 3, 1, 2], [1] * top, [1] * (top - 1) + [2]]


def golden_cases():
    rng = random.Random(18)
    for code in sorted(NUMERIC) + [BIT]:
        for v in sample(code, rng, 6):
            yield code, None, [v], struct.pack(">" + (NUMERIC[code][2] if code != BIT else "B"), v)
    for text in [b"", b"a", "\u00e9t\u00e9 \u65e5\u672c".encode()]:
        yield STRING, None, [text], text + b"\0"
    for data in [b"", b"\0\1\2\xff", bytes(range(256))]:
        yield BLOCK, None, [data], data
    for code in sorted(c + VECTOR for c in list(NUMERIC) + [BIT, STRING]):
        for extents in shapes_for(code):
            n = int(np.prod(extents)) if extents else 1
            if code == STRING_V:
                vals = [rng.choice([None, b"", b"x", "\u00fc".encode(), b"longer text"]) for _ in range(n)]
            else:
                vals = sample(code - VECTOR, rng, n)
            yield code, extents, vals, vector_bytes(code, extents, vals)


def cmd_golden():
    for code, extents, vals, data in golden_cases():
        if code in (STRING, BLOCK, STRING_V):
            shown = ["-" if v is None else (v.hex() or "=") for v in vals]
        else:
            shown = [text_value(v) for v in vals]
        ext = "s" if extents is None else ",".join(map(str, extents)) or "0d"
        print("%d|%s|%s|%s" % (code, ext, ",".join(shown), data.hex()))


def cmd_seeds(directory):
    os.makedirs(directory, exist_ok=True)
    for i, (code, _, _, data) in enumerate(golden_cases()):
        if len(data) < 600 and i % 5 == 0:
            with open(os.path.join(directory, "golden_%03d" % i), "wb") as f:
                f.write(bytes([code]) + data)


def cmd_casts():
    ints = [0, 1, -1, 44, 300, -200, 255, 256, 65535, 65536, -32769, 2**31, 2**31 - 1, -2**31 - 1,
            2**32 + 7, 2**62 + 3, -2**63, 2**63 - 1]
    src = np.array(ints, dtype=np.int64)
    for code, (name, dt, _, _) in sorted(NUMERIC.items()):
        if name in ("float", "double"):
            continue
        for i, r in zip(ints, src.astype(np.dtype(dt).newbyteorder("="))):
            print(name, i, int(r))
    for i, r in zip(ints, src.astype(np.float64)):
        print("double", i, float(r).hex())
    big = np.array([2**63, 2**63 + 5, 2**64 - 1], dtype=np.uint64)
    for u, r in zip(big.tolist(), big.view(np.int64)):
        print("uint64_high", int(r), u)
    floats = [0.1, 1 / 3, 16777217.0, 3.4028234e38, 1e39, 1e-46, -2.5e-45, 123456.789]
    with np.errstate(over="ignore"):
        narrowed = np.array(floats, dtype=np.float64).astype(np.float32)
    for f, r in zip(floats, narrowed):
        print("float", f.hex(), float(r).hex())


def curve_tables():
    curve = [round((u - 127.5) ** 3 / 127.5 ** 2 + (u - 127.5)) for u in range(256)]
    inverse = [max([u for u in range(256) if curve[u] <= s], default=0) for s in range(-255, 256)]
    return curve, inverse


def cmd_curve():
    curve, inverse = curve_tables()
    for u, c in enumerate(curve):
        print("u2s", u, c)
    for i, u in enumerate(inverse):
        print("s2u", i - 255, u)


def cmd_clip():
    vals = [-2**40, -70000, -65536, -32769, -32768, -200, -129, -128, -5, -1, 0, 1, 2, 127, 128, 200, 255,
            256, 300, 32767, 32768, 65535, 65536, 2**31, 2**32, 2**40]
    ranges = {2: (-128, 127), 3: (-32768, 32767), 4: (-2**31, 2**31 - 1), 6: (0, 255), 7: (0, 65535),
              8: (0, 2**32 - 1)}
    curve, inverse = curve_tables()
    for code, (lo, hi) in sorted(ranges.items()):
        for v, r in zip(vals, np.clip(np.array(vals, dtype=np.int64), lo, hi)):
            print(code, 0, v, int(r))
    # uint8 with the curve: the low 16 bits as int16, through the inverse.
    for v in vals:
        s = int(np.array([v], dtype=np.int64).astype(np.int16)[0])
        print(6, 2, v, 255 if s > 255 else 0 if s < -255 else inverse[s + 255])


def levels(pixels, dd):
    """Per level and dimension, the extent in level elements (rounded up)."""
    rows = [list(pixels)]
    while any(p > 1 for p in rows[-1]):
        rows.append([max(1, -(-p // (1 << d))) for p, d in zip(rows[-1], dd)])
    return rows


def cmd_shapes():
    rng = random.Random(7)
    geometries = [([1], [8], [300], 0), ([1], [8], [300], 1), ([1, 2], [3, 4], [1000, 77], 0),
                  ([2, 1, 1], [2, 5, 0], [33, 9, 5], 1)]
    for dd, bs, pixels, hem in geometries:
        rows = levels(pixels, dd)
        print("geometry", len(dd), hem, " ".join(map(str, dd)), " ".join(map(str, bs)), len(rows),
              " ".join(str(p) for row in rows for p in row))
        for _ in range(40):
            lev = rng.randrange(len(rows))
            code = [lev] + [rng.randrange(0, (p + (1 << b)) << (d * lev)) for p, d, b in zip(rows[lev], dd, bs)]
            extents = []
            for c, d, b, bound in zip(code[1:], dd, bs, rows[lev]):
                origin = (c >> (d * lev)) >> b << b
                extent = min(origin + (1 << b), bound) - origin
                extents.append(extent + hem if extent >= 1 else None)
            shown = "none" if None in extents else " ".join(map(str, extents))
            print(" ".join(map(str, code)), "->", shown)


# ---- thinning and level differences

DTYPE = {c: np.dtype(NUMERIC[c][1]).newbyteorder("=") for c in NUMERIC}
# dim_divide, block_size, level-0 extents, index_hem, and fixed calls (level, levels up, coordinates)
PYRAMID = [([1], [8], [2600], 0, [(1, 1, [768]), (1, 2, [1536]), (0, 1, [2599])]),
           ([1], [8], [2600], 1, [(2, 1, [2100])]), ([1, 2], [3, 4], [100, 300], 1, []),
           ([1, 1, 2], [2, 3, 1], [20, 30, 9], 0, []), ([1, 1], [3, 3], [45, 27], 0, []),
           ([1, 1], [3, 3], [45, 27], 1, []),
           # Nodes as wide as a cell, and narrower: cells spanning several children.
           ([1, 1], [1, 1], [8, 8], 0, [(0, 1, [2, 0]), (1, 1, [6, 2]), (0, 2, [6, 2])]),
           ([3, 2], [2, 2], [64, 40], 1, [(0, 1, [60, 12]), (1, 1, [40, 24])])]


def node_extents(coords, lev, dd, bs, rows, hem):
    return [min(((c >> (d * lev)) >> b << b) + (1 << b), bound) - ((c >> (d * lev)) >> b << b) + hem
            for c, d, b, bound in zip(coords, dd, bs, rows[lev])]


def random_block(code, shape, rng, n):
    """Random elements, edge values sprinkled in, the first 2 x 2 corner all the n-th edge value."""
    dt = DTYPE[code]
    if dt.kind == "f":
        vals, edges = rng.integers(-64, 64, shape) / 8, [0.5, np.nan, np.inf, -0.0, 1e30]
    else:
        info = np.iinfo(dt)
        vals = rng.integers(info.min, info.max, shape, dtype=dt, endpoint=True)
        edges = [info.min, info.max, 3 * 10**9 if code == 8 else 1]
    vals = np.array(vals, dtype=dt)
    for _ in range(vals.size // 8):
        vals[tuple(rng.integers(0, e) for e in shape)] = edges[rng.integers(len(edges))]
    vals[tuple(slice(0, 2) for _ in shape)] = edges[n % len(edges)]
    return vals


def cell_mean(code, cell):
    n = len(cell)
    if code == 12:  # byte lanes
        lanes = cell.view(np.uint8).reshape(n, 4).astype(np.uint64).sum(axis=0) // n
        return lanes.astype(np.uint8).view(np.uint32)[0]
    if DTYPE[code].kind == "f":
        acc = -0.0  # in storage order from the additive identity, rounded once
        for v in cell:
            acc += float(v)
        return DTYPE[code].type(acc / n)
    total = sum(int(v) for v in cell)
    return abs(total) // n * (1 if total >= 0 else -1)


def thin(op, code, child, dest, s, ofs, rep, phase, narrow):
    """The ancestor's block after the child's thinning; None where a mean is
    refused: a cell spanning several children (narrow) has none in one."""
    out = dest.copy()
    rep = [r - p for r, p in zip(rep, phase)]
    if op == "rep":
        if all(0 <= r < e for r, e in zip(rep, child.shape)):
            part = child[tuple(slice(r, None, 1 << si) for r, si in zip(rep, s))]
            out[tuple(slice(o, o + n) for o, n in zip(ofs, part.shape))] = part
        return out
    if narrow:
        return None
    for q in np.ndindex(*[(e + (1 << si) - 1) >> si for e, si in zip(child.shape, s)]):
        cell = child[tuple(slice(j << si, (j + 1) << si) for j, si in zip(q, s))]
        out[tuple(j + o for j, o in zip(q, ofs))] = cell_mean(code, cell.ravel(order="F"))
    return out


def combine(op, code, mode, x, y):
    if code == 12:
        lanes = combine(op, 6, mode, np.ascontiguousarray(x).view(np.uint8), np.ascontiguousarray(y).view(np.uint8))
        return lanes.view(np.uint32)
    if code not in (2, 3, 6, 7):  # wrapped, or in floating precision
        with np.errstate(all="ignore"):
            return x + y if op == "add" else x - y
    curve, inverse = (np.array(t) for t in curve_tables())
    wide = x.astype(np.int64)
    if code == 6 and mode == 2:
        return (np.clip(wide + curve[y], 0, 255) if op == "add" else inverse[wide - y + 255]).astype(np.uint8)
    info = np.iinfo(DTYPE[code])
    return np.clip(wide + y if op == "add" else wide - y, info.min, info.max).astype(DTYPE[code])


def upsample(parent, shape, s, ofs, phase):
    for d, (si, o, e, p) in enumerate(zip(s, ofs, shape, phase)):
        parent = np.repeat(np.take(parent, range(o, o + ((e - 1 + p) >> si) + 1), axis=d), 1 << si, axis=d)
        parent = np.take(parent, range(p, p + e), axis=d)
    return parent


def cmd_pyramid():
    rng = np.random.default_rng(24)
    shown = lambda a: ",".join(map(str, a.shape)) + " " + a.tobytes(order="F").hex()
    for dd, bs, pixels, hem, fixed in PYRAMID:
        rows = levels(pixels, dd)
        print("geometry", len(dd), hem, " ".join(map(str, dd)), " ".join(map(str, bs)), len(rows),
              " ".join(str(p) for row in rows for p in row))
        for op in ("rep", "avg", "sub", "add"):
            low = 0 if op in ("rep", "avg") else 1  # differences need a child above level 0
            calls = [c for c in fixed if c[0] >= low]
            for lev in map(int, rng.integers(low, min(4, len(rows) - 1), 2)):
                up = int(rng.integers(0, min(3, len(rows) - lev)))
                calls.append((lev, up, [int(rng.integers(0, p)) for p in pixels]))
            for n, ((lev, k, coords), code) in enumerate((c, t) for c in calls for t in sorted(NUMERIC)):
                s = [d * k for d in dd]
                # The child's origin in its level's elements; its share is the
                # ancestor's element holding it, its phase where it begins in
                # that element's cell.
                origins = [(c >> (d * lev)) >> b << b for c, d, b in zip(coords, dd, bs)]
                ofs = [(o >> si) % (1 << b) for o, si, b in zip(origins, s, bs)]
                phase = [o % (1 << si) for o, si in zip(origins, s)]
                parent = random_block(code, node_extents(coords, lev + k, dd, bs, rows, hem), rng, n)
                child = random_block(code, node_extents(coords, lev, dd, bs, rows, hem), rng, n)
                mode, rep = int(rng.integers(0, 3)), [int(rng.integers(0, 1 << si)) for si in s]
                if op in ("rep", "avg"):
                    want = thin(op, code, child, parent, s, ofs, rep, phase, any(b < si for b, si in zip(bs, s)))
                else:
                    want = combine(op, code, mode, upsample(parent, child.shape, s, ofs, phase), child)
                print(op, code, mode, k, ",".join(map(str, [lev] + coords)), ",".join(map(str, rep)),
                      shown(parent), shown(child), "refused" if want is None else want.tobytes(order="F").hex())


if __name__ == "__main__":
    commands = {"header": cmd_header, "golden": cmd_golden, "casts": cmd_casts, "curve": cmd_curve,
                "clip": cmd_clip, "shapes": cmd_shapes, "pyramid": cmd_pyramid}
    if len(sys.argv) == 3 and sys.argv[1] == "seeds":
        cmd_seeds(sys.argv[2])
    elif len(sys.argv) == 2 and sys.argv[1] in commands:
        commands[sys.argv[1]]()
    else:
        sys.exit(__doc__)
