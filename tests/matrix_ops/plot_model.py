#!/usr/bin/env python3
"""An outside model of plot code and the plot level algorithms, written from
the format and rules alone, checked against tools/mxop_check on random
lists: plot_model.py MXOP_CHECK [CASES].

Points are [flags, cells, base or None, id, fields]; a field is [type,
value]: text bytes (0x20), an int (0x31, 0x33, 0x34), (value, count) (0x32),
(rgba bytes, count) (0x40), None otherwise."""
import random
import subprocess
import sys
import tempfile

M64 = 1 << 64
STORED = (0x10, 0x20, 0x21, 0x22, 0x31, 0x32, 0x33, 0x34, 0x40)


class Damaged(Exception):
    pass


class Refused(Exception):
    pass


def s64(v):
    v %= M64
    return v - M64 if v >= 1 << 63 else v


def fits(v):
    if not -(1 << 63) <= v < 1 << 63:
        raise Refused()
    return v


def tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


# ---- plot code

def read(code, dim):
    pts, pos, n = [], 0, len(code)
    be = lambda at, k: int.from_bytes(code[at:at + k], "big")
    while True:
        if pos >= n:
            raise Damaged()
        flags = code[pos]
        if flags == 0:
            return pts
        q = pos + 2 + 2 * dim + (8 * dim if flags & 0x20 else 0) + (8 if flags & 0x40 else 0)
        if q > n:
            raise Damaged()
        cells = [be(pos + 2 + 2 * d, 2) for d in range(dim)]
        at = pos + 2 + 2 * dim
        base = [be(at + 8 * d, 8) for d in range(dim)] if flags & 0x20 else None
        ident = s64(be(q - 8, 8)) if flags & 0x40 else 0
        fields = []
        while True:
            if q >= n:
                raise Damaged()
            t = code[q]
            if t == 0:
                break
            if t not in STORED:
                raise Damaged()
            size = {0x31: 8, 0x33: 8, 0x34: 8, 0x32: 16, 0x40: 12}.get(t, 0)
            if t == 0x20:
                end = code.find(b"\0", q + 1)
                if end < 0:
                    raise Damaged()
                size = end - q
            if q + 1 + size > n:
                raise Damaged()
            v = None
            if t == 0x20:
                v = code[q + 1:q + size]
            elif t == 0x32:
                v = (s64(be(q + 1, 8)), s64(be(q + 9, 8)))
            elif t == 0x40:
                v = (code[q + 1:q + 5], s64(be(q + 5, 8)))
            elif size:
                v = s64(be(q + 1, 8))
            fields.append([t, v])
            q += 1 + size
        pts.append([flags, cells, base, ident, fields])
        pos = q + 1


def write(pts):
    out = bytearray()
    u64 = lambda v: (v % M64).to_bytes(8, "big")
    for flags, cells, base, ident, fields in pts:
        flags = (flags & ~0x40) | (0x40 if ident else 0)
        out += bytes([flags or 1, 0]) + b"".join(c.to_bytes(2, "big") for c in cells)
        if flags & 0x20:
            out += b"".join(u64(b) for b in base)
        if ident:
            out += u64(ident)
        for t, v in fields or []:
            out.append(t)
            if t == 0x20:
                out += v + b"\0"
            elif t == 0x32:
                out += u64(v[0]) + u64(v[1])
            elif t == 0x40:
                out += v[0] + u64(v[1])
            elif t in (0x31, 0x33, 0x34):
                out += u64(v)
        out.append(0)
    return bytes(out + b"\0")


# ---- order

def cmp(bs, c1, c2):
    for b in range(max(bs) - 1, -1, -1):
        for d in range(len(bs)):
            if bs[d] > b and (c1[d] >> b & 1) != (c2[d] >> b & 1):
                return 1 if c1[d] >> b & 1 else -1
    return 0


def sort(bs, pts):
    if len(pts) <= 1:
        return pts
    a, b = [], []
    for i, p in enumerate(pts):
        (a if i % 2 == 0 else b).insert(0, p)
    a, b, out = sort(bs, a), sort(bs, b), []
    while a and b:
        out.append(b.pop(0) if cmp(bs, a[0][1], b[0][1]) >= 0 else a.pop(0))
    return out + a + b


# ---- fields

def kind(f):
    return f[0] & 0xF0


def merge(s1, s2):
    t1, t2 = s1[0], s2[0]
    if kind(s1) == 0x20:
        if t1 == 0x22 or (t1 == 0x20 and t2 == 0x22):
            return [0x22, None]
        if t1 != 0x20 or t2 != 0x20:
            raise Refused()
        return [0x20, s1[1]] if s1[1] == s2[1] else [0x22, None]
    if t1 != t2:
        raise Refused()
    if t1 == 0x40:
        (c1, n1), (c2, n2) = s1[1], s2[1]
        n = fits(n1 + n2)
        w = [fits(c1[k] * n1 + c2[k] * n2) % M64 for k in range(4)]
        return [0x40, (bytes((x // (n % M64) if n else x >> 1) & 255 for x in w), n)]
    a, b = s1[1], s2[1]
    if t1 == 0x31:
        return [t1, fits(a + b)]
    if t1 == 0x32:
        n, w = a[1] + b[1], a[0] * a[1] + b[0] * b[1]
        return [t1, (fits(tdiv(w, n if n else 2)), fits(n))]
    if t1 in (0x33, 0x34):
        return [t1, (max if t1 == 0x33 else min)(a, b)]
    raise Refused()


def diff_field(up, down):
    if kind(up) == 0x20:
        if down[0] == 0x22 and up[0] in (0x20, 0x22):
            return [0x22, None]
        if down[0] != 0x20 or up[0] not in (0x20, 0x22):
            raise Refused()
        return [0x21, None] if up == down else list(down)
    if up[0] != down[0] or up[0] not in (0x31, 0x32, 0x33, 0x34, 0x40):
        raise Refused()
    if up[0] == 0x32:
        return [0x32, (fits(down[1][0] - up[1][0]), down[1][1])]
    return list(down)


def add_field(up, df):
    if kind(up) == 0x20:
        if up[0] not in (0x20, 0x22) or df[0] not in (0x20, 0x21, 0x22):
            raise Refused()
        return list(df) if df[0] == 0x20 else list(up) if df[0] == 0x21 else [0x22, None]
    if up[0] != df[0] or up[0] not in (0x31, 0x32, 0x33, 0x34, 0x40):
        raise Refused()
    if up[0] == 0x32:
        return [0x32, (fits(up[1][0] + df[1][0]), df[1][1])]
    return list(df)


def copy(fields):
    return None if fields is None else [list(f) for f in fields]


def merge_fields(flags, f1, f2):
    if f1 is None or f2 is None:
        return copy(f2 if f1 is None else f1), flags
    lg, sh = (f2, f1) if len(f2) > len(f1) else (f1, f2)
    out = []
    for i, l in enumerate(lg):
        s = sh[i] if i < len(sh) else None
        if s is None or kind(s) == 0x10:
            out.append(list(l))
        elif kind(l) == 0x10:
            out.append(list(s))
        elif kind(s) != kind(l):
            raise Refused()
        else:
            out.append(merge(s, l))
    return out, flags | 0x08


def diff_fields(down, up):
    if down is None or up is None:
        return copy(down)
    out = []
    for i, d in enumerate(down):
        u = up[i] if i < len(up) else None
        if u is None or kind(u) == 0x10 or kind(d) == 0x10:
            out.append(list(d))
        elif kind(u) != kind(d):
            raise Refused()
        else:
            out.append(diff_field(u, d))
    return out


def add_fields(u, e):
    if e is None or u is None:
        return copy(e)
    out = []
    for i, f in enumerate(e):
        if i >= len(u) or kind(f) == 0x10:
            out.append(list(f))
        elif kind(u[i]) != kind(f):
            raise Refused()
        else:
            out.append(add_field(u[i], f))
    return out


# ---- level algorithms

def clone(p):
    return [p[0], list(p[1]), None if p[2] is None else list(p[2]), p[3], copy(p[4])]


def diff_pp(g, down):
    bs, dd = g
    U, D = [clone(p) for p in down], [clone(p) for p in down]
    for u, d in zip(U, D):
        u[2], u[0] = None, u[0] & ~0x20
        u[1] = [c >> dd[k] for k, c in enumerate(u[1])]
        d[1] = [c & ((1 << dd[k]) - 1) for k, c in enumerate(d[1])]
    kept, i = [], 0
    while i < len(U):
        g0, f, acc, j = U[i], copy(U[i][4]), 0, i + 1
        D[i][0] |= 0x10
        while j < len(U) and U[j][1] == g0[1]:
            f, acc = merge_fields(acc, f, U[j][4])
            if U[j][3] == g0[3] and g0[3] != 0:
                D[j][3] = 1
            j += 1
        g0[4], g0[0] = f, g0[0] | acc
        for k in range(i, j):
            D[k][4] = diff_fields(D[k][4], f)
        kept.append(g0)
        i = j
    return kept, D


def child_pos(g, dc):
    bs, dd = g
    masks = [((1 << dd[d]) - 1) << (bs[d] - dd[d]) if dd[d] <= bs[d] else (1 << bs[d]) - 1 for d in range(len(bs))]
    return [(dc[1 + d] >> ((dc[0] + 1) * dd[d])) & masks[d] for d in range(len(bs))], masks


def splice(g, target, ip, dc):
    if not ip:
        return target
    pos, _ = child_pos(g, dc)
    moved = [[p[0], [c | pos[d] for d, c in enumerate(p[1])]] + p[2:] for p in ip]
    at = 0
    while at < len(target) and cmp(g[0], target[at][1], moved[0][1]) < 0:
        at += 1
    if at < len(target) and cmp(g[0], target[at][1], moved[-1][1]) < 0:
        raise Refused()
    return target[:at] + moved + target[at:]


def add_diff(g, up, diff, dc, ids):
    bs, dd = g
    pos, masks = child_pos(g, dc)
    inside = lambda u: all(u[1][d] & masks[d] == pos[d] for d in range(len(bs)))
    i, e, out = 0, 0, []
    while i < len(up) and not inside(up[i]):
        i += 1
    while i < len(up) and inside(up[i]) and e < len(diff):
        u = up[i]
        while True:
            x = diff[e]
            cells = [((u[1][d] << dd[d]) | x[1][d]) & ((1 << bs[d]) - 1) for d in range(len(bs))]
            alone = e + 1 == len(diff) or diff[e + 1][0] & 0x10
            if x[3] == 1:
                ident = u[3]
            elif x[3]:
                ident = x[3]
            elif x[0] & 0x10 and alone:
                ident = u[3]
            else:
                ident = next(ids)
            base = list(x[2]) if x[0] & 0x20 else None
            out.append([x[0], cells, base, ident, add_fields(u[4], x[4])])
            e += 1
            if e == len(diff) or diff[e][0] & 0x10:
                break
        i += 1
    return out


def shift_under(g, pts, level, dc):
    bs, dd = g
    lc, out = dc[0], []
    for p in pts:
        ab = [((p[2][d] if p[2] else 0) + (p[1][d] << (dd[d] * level))) % M64 for d in range(len(bs))]
        masks = [((1 << (dd[d] * level + bs[d])) - (1 << (dd[d] * lc + bs[d]))) % M64 for d in range(len(bs))]
        if any(ab[d] & masks[d] != dc[1 + d] % M64 & masks[d] for d in range(len(bs))):
            continue
        q = clone(p)
        q[1] = [(ab[d] >> (dd[d] * lc)) & ((1 << bs[d]) - 1) for d in range(len(bs))]
        if q[2] is not None:
            q[2] = [ab[d] & ((1 << (dd[d] * lc)) - 1) for d in range(len(bs))]
            if not any(q[2]):
                q[2], q[0] = None, q[0] & ~0x20
        out.append(q)
    return out


# ---- random lists and the comparison with the harness

TEXTS = [b"", b"a", b"b", "\u00e9t\u00e9".encode(), b"x" * 40]


def rand_field(r, t, wide):
    big = lambda: r.choice([r.randrange(-50, 50), r.randrange(-(1 << 63), 1 << 63)]) if wide else r.randrange(-50, 50)
    if t == 0x20:
        return [t, r.choice(TEXTS)]
    if t in (0x31, 0x33, 0x34):
        return [t, big()]
    if t == 0x32:
        return [t, (big(), r.choice([0, 1, 3, big()]))]
    if t == 0x40:
        return [t, (bytes(r.randrange(256) for _ in range(4)), r.choice([0, 1, 2, big()]))]
    return [t, None]


def rand_list(r, g, n, wild):
    bs, _ = g
    kinds = [r.choice([0x10, 0x20, 0x22, 0x31, 0x32, 0x33, 0x34, 0x40]) for _ in range(4)]
    pool = [[r.randrange(1 << b) for b in bs] for _ in range(max(1, n // 2))]
    pts = []
    for _ in range(n):
        cells = list(r.choice(pool)) if r.random() < 0.6 else [r.randrange(1 << b) for b in bs]
        if wild and r.random() < 0.1:
            cells = [r.randrange(1 << 16) for _ in bs]
        flags = r.choice([0x01, 0x01, 0x08]) | (0x20 if r.random() < 0.3 else 0)
        base = [r.choice([0, 1, r.randrange(M64)]) for _ in bs] if flags & 0x20 else None
        ident = r.choice([0, 0, 256 * r.randrange(1, 4), 1 if wild else 0])
        types = [r.choice(STORED) if wild and r.random() < 0.1 else k for k in kinds[:r.randrange(5)]]
        pts.append([flags, cells, base, ident, [rand_field(r, t, wild) for t in types]])
    return pts


def harness(tool, geom, args, data):
    res = subprocess.run([tool, "plot", geom] + args, input=data, capture_output=True)
    if res.returncode not in (0, 3):
        raise AssertionError("mxop_check %s %s: status %d %s" % (geom, args, res.returncode, res.stderr))
    return None if res.returncode == 3 else res.stdout


def model(fn):
    try:
        return fn()
    except Refused:
        return None


def split2(out):
    parts = []
    while out:
        nl = out.index(b"\n")
        n = int(out[:nl])
        parts.append(out[nl + 1:nl + 1 + n])
        out = out[nl + 1 + n:]
    return parts


def ids_from(start=256):
    while True:
        yield start
        start += 256


def main():
    tool, cases = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 40
    r = random.Random(26)
    fails = 0

    def check(what, got, want):
        nonlocal fails
        if got != want:
            fails += 1
            print("MISMATCH %s\n  harness %r\n  model   %r" % (what, got, want))

    for case in range(cases):
        dim = r.randrange(1, 4)
        bs = [r.randrange(1, 17) for _ in range(dim)]
        dd = [r.randrange(1, 4) for _ in range(dim)]
        g = (bs, dd)
        geom = "bs=%s,dd=%s" % (":".join(map(str, bs)), ":".join(map(str, dd)))
        wild = case % 3 == 0
        x = rand_list(r, g, r.randrange(0, 12), wild)
        code = write(x)
        tag = "case %d %s" % (case, geom)
        check(tag + " canon", harness(tool, geom, ["canon"], code), write(read(code, dim)))
        check(tag + " sort", harness(tool, geom, ["sort"], code), write(sort(bs, x)))
        level = r.randrange(0, 3)
        dc = [level] + [r.randrange(1 << (bs[d] + dd[d] * (level + 1))) for d in range(dim)]
        dcs = ":".join(map(str, dc))
        xs = sort(bs, x)
        split = model(lambda: diff_pp(g, xs))
        got = harness(tool, geom, ["diff", dcs], write(xs))
        want = None if split is None else model(lambda: (splice(g, [], split[0], dc), split[1]))
        check(tag + " diff", got and split2(got), want and [write(want[0]), write(want[1])])
        with tempfile.NamedTemporaryFile() as f:
            if want is not None:
                f.write(write(want[0]))
                f.flush()
                rebuilt = model(lambda: add_diff(g, want[0], want[1], dc, ids_from()))
                check(tag + " add", harness(tool, geom, ["add", dcs, f.name], write(want[1])),
                      None if rebuilt is None else write(rebuilt))
                if not wild and rebuilt is not None:
                    # The round trip gives the list back, apart from the group
                    # marks and the ids the difference list does not carry.
                    plain = lambda pts: [[p[0] & ~0x10, p[1], p[2], p[3] and q[3], p[4]] for p, q in zip(pts, xs)]
                    check(tag + " round trip", plain(rebuilt), plain(xs))
            target = sort(bs, rand_list(r, g, r.randrange(0, 6), False))
            f.seek(0)
            f.truncate()
            f.write(write(target))
            f.flush()
            ip = sort(bs, [[p[0], [c >> dd[d] for d, c in enumerate(p[1])]] + p[2:] for p in x])
            check(tag + " splice", harness(tool, geom, ["splice", dcs, f.name], write(ip)),
                  model(lambda: write(splice(g, target, ip, dc))))
        lc = r.randrange(0, level + 1)
        dcu = [lc] + [r.randrange(1 << min(62, bs[d] + dd[d] * (level + 1))) for d in range(dim)]
        check(tag + " under", harness(tool, geom, ["under", str(level), ":".join(map(str, dcu))], code),
              write(shift_under(g, x, level, dcu)))
    print("%d cases, %d mismatches" % (cases, fails))
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
