#!/usr/bin/env python3
"""Reference codec of the matrix file's byte forms, written from the format
description alone (no code shared with the C++ codec).

  mx_codec.py gen N SEED    values, dim codes, orders and records, one per
                            line, with the bytes this codec makes:
                              v VALUE HEX
                              d V0,V1,... HEX
                              c DD BS LEVELS A B RESULT   (csv fields)
                              h CH DIM FLAGS LEVELS MTIME SUB DD BS PS CHANNELS HEX
                              n FLAGS BITS CHFOFS RING NLIST DC BITFIELD HEX
  mx_codec.py check         reads "v" and "d" lines (another codec's bytes)
                            from stdin, decodes them, compares with the
                            values and encodes again; prints "ok N".
"""
import random
import struct
import sys

I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1
DC_END, FILL = 0xF1, 0xF2

# (bytes, payload bits, prefix of the first byte)
FORMS = [(2, 15, 0x00), (4, 30, 0x80), (6, 45, 0xC0), (8, 60, 0xE0)]


def enc_int(v):
    for nbytes, bits, prefix in FORMS:
        if -(1 << (bits - 1)) <= v < (1 << (bits - 1)):
            payload = v & ((1 << bits) - 1)
            b = bytearray(payload.to_bytes(nbytes, "big"))
            b[0] |= prefix
            return bytes(b)
    return b"\xf0" + struct.pack(">q", v)


def dec_int(b, i):
    """(value, next index); ValueError for a cut or impossible value."""
    if i >= len(b):
        raise ValueError("cut")
    f = b[i]
    if f == 0xF0:
        if i + 9 > len(b):
            raise ValueError("cut")
        return struct.unpack(">q", b[i + 1:i + 9])[0], i + 9
    if f & 0xF0 == 0xF0:
        raise ValueError("end mark where a value belongs")
    if f & 0xF0 == 0xE0:
        nbytes, bits = 8, 60
    elif f & 0xE0 == 0xC0:
        nbytes, bits = 6, 45
    elif f & 0xC0 == 0x80:
        nbytes, bits = 4, 30
    else:
        nbytes, bits = 2, 15
    if i + nbytes > len(b):
        raise ValueError("cut")
    raw = int.from_bytes(b[i:i + nbytes], "big") & ((1 << bits) - 1)
    if raw >> (bits - 1):
        raw -= 1 << bits
    return raw, i + nbytes


def enc_dc(values):
    return b"".join(enc_int(v) for v in values) + bytes([DC_END])


def dec_dc(b, i=0):
    out = []
    while True:
        if i >= len(b):
            raise ValueError("no end mark")
        if b[i] == DC_END:
            return out, i + 1
        v, i = dec_int(b, i)
        out.append(v)


def origin(c, s):
    return c & ~((1 << s) - 1)


def cmp_dc(dd, bs, a, b):
    if a[0] != b[0]:
        return -1 if a[0] < b[0] else 1
    for d in range(len(dd)):
        s = a[0] * dd[d] + bs[d]
        oa, ob = origin(a[d + 1], s), origin(b[d + 1], s)
        if oa != ob:
            return -1 if oa < ob else 1
    return 0


def record(rtype, body):
    return struct.pack(">HHHHQ", rtype, 0, 0, 0, 16 + len(body)) + body


def enc_header(ch, dim, flags, levels, mtime, sub, dd, bs, ps, channels):
    body = struct.pack(">iiiiqq", ch, dim, flags, levels, mtime, sub)
    body += bytes(dd) + bytes(bs) + b"".join(enc_int(v) for v in ps)
    for t, f, fofs in channels:
        body += struct.pack(">hhq", t, f, fofs) if t else bytes(12)
    return record(0x600, body)


def enc_node(flags, bits, ch_fofs, ring, nlist, dc, bitfield):
    body = struct.pack(">q", ch_fofs)
    if flags & 2:
        body += struct.pack(">q", ring)
    if bits == 0:
        body += struct.pack(">q", nlist)
    return record(0x606, body + enc_dc(dc) + bitfield)


def csv(vals):
    return ",".join(str(v) for v in vals)


def some_value(rng):
    bits = rng.randrange(0, 64)
    v = rng.getrandbits(bits) if bits else 0
    return -v - 1 if rng.random() < 0.5 else v


def boundaries():
    out = {0, 1, -1, I64_MIN, I64_MAX, I64_MIN + 1, I64_MAX - 1}
    for k in (14, 29, 44, 59, 62):
        for v in (1 << k, -(1 << k)):
            out.update((v - 1, v, v + 1))
    return sorted(out)


def gen(n, seed):
    rng = random.Random(seed)
    lines = []
    values = boundaries() + [some_value(rng) for _ in range(n)]
    for v in values:
        lines.append("v %d %s" % (v, enc_int(v).hex()))
    for _ in range(n // 10):
        dim = rng.randrange(1, 65)
        dc = [rng.randrange(0, 63)] + [some_value(rng) for _ in range(dim)]
        lines.append("d %s %s" % (csv(dc), enc_dc(dc).hex()))
    for _ in range(n // 10):
        dim = rng.randrange(1, 5)
        dd = [rng.randrange(1, 4) for _ in range(dim)]
        bs = [rng.randrange(0, 9) for _ in range(dim)]
        levels = rng.randrange(1, 8)
        lv = rng.randrange(0, levels)
        a = [lv] + [rng.randrange(0, 1 << 20) for _ in range(dim)]
        b = [lv if rng.random() < 0.8 else rng.randrange(0, levels)] + [
            x ^ rng.randrange(0, 1 << rng.randrange(0, 12)) for x in a[1:]]
        lines.append("c %s %s %d %s %s %d" % (csv(dd), csv(bs), levels, csv(a), csv(b), cmp_dc(dd, bs, a, b)))
    for _ in range(200):
        dim = rng.randrange(1, 65)
        ch = rng.randrange(1, 6)
        dd = [rng.randrange(1, 3) for _ in range(dim)]
        bs = [rng.randrange(0, 21) for _ in range(dim)]
        ps = [rng.randrange(0, 1 << 20) for _ in range(dim)]
        channels = [(rng.choice([0, 1, 6, 8, 13, 22, 30]), rng.randrange(0, 64), rng.randrange(0, 1 << 40))
                    for _ in range(ch)]
        mtime, sub = rng.randrange(0, 1 << 62), rng.randrange(0, 1 << 40)
        rec = enc_header(ch, dim, 2, 0, mtime, sub, dd, bs, ps, channels)
        lines.append("h %d %d 2 0 %d %d %s %s %s %s %s" % (
            ch, dim, mtime, sub, csv(dd), csv(bs), csv(ps),
            ",".join("%d:%d:%d" % c for c in channels), rec.hex()))
    for _ in range(200):
        dim = rng.randrange(1, 65)
        flags = rng.choice([0, 2])
        bits = rng.choice([0, 1, 2, 8, 1024])
        dc = [rng.randrange(0, 5)] + [rng.randrange(0, 1 << 40) for _ in range(dim)]
        bitfield = bytes(rng.randrange(256) for _ in range(bits))
        ch_fofs, ring, nlist = (rng.randrange(0, 1 << 40) for _ in range(3))
        rec = enc_node(flags, bits, ch_fofs, ring if flags & 2 else 0, nlist if bits == 0 else 0, dc, bitfield)
        lines.append("n %d %d %d %d %d %s %s %s" % (
            flags, bits, ch_fofs, ring if flags & 2 else 0, nlist if bits == 0 else 0, csv(dc),
            bitfield.hex() or "-", rec.hex()))
    print("\n".join(lines))


def check():
    n = 0
    for line in sys.stdin:
        parts = line.split()
        if not parts:
            continue
        kind, text, data = parts[0], parts[1], bytes.fromhex(parts[2])
        if kind == "v":
            want = int(text)
            got, end = dec_int(data, 0)
            again = enc_int(want)
        else:
            want = [int(x) for x in text.split(",")]
            got, end = dec_dc(data)
            again = enc_dc(want)
        if got != want or end != len(data) or again != data:
            sys.stderr.write("mismatch: %s\n" % line.strip())
            sys.exit(1)
        n += 1
    print("ok %d" % n)


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        gen(int(sys.argv[2]), int(sys.argv[3]))
    else:
        check()
