#!/usr/bin/env python3
"""The CR reader on files made by a writer of its own (header, table, raw
'n' blocks, 'j' blocks from cjpeg): cr_check.py PATH-TO-codec_check."""
import random
import struct

import codec_tools as ct


def levels(width, height, rect):
    """(first index, width, height) of each present level, and the table size."""
    out, first, w, h = [], 0, width, height
    while True:
        out.append((first, w, h))
        first += -(-w // rect) * -(-h // rect)
        w, h = (w + 1) // 2, (h + 1) // 2
        if w < 2 or h < 2:
            return out[:-1], first


def write_cr(path, width, height, rect, seed, damage=None):
    """Writes a CR file; returns {(level, x, y): (type, cal, data, pixels)}."""
    rnd = random.Random(seed)
    present, entries = levels(width, height, rect)
    table = [(0, b"\0", b"\0\0\0", 0)] * entries
    data, blocks = bytearray(), {}
    end_of_table = 16 + 12 * entries
    for level, (first, w, h) in enumerate(present):
        per_row = -(-w // rect)
        for y in range(0, h, rect):
            for x in range(0, w, rect):
                bw, bh = min(rect, w - x), min(rect, h - y)
                pixels = ct.test_image(bw, bh, rnd.randrange(1000), noise_bits=rnd.randrange(1, 8))
                cal = bytes(rnd.randrange(256) for _ in range(3))
                if bw >= 16 and bh >= 16:
                    kind = b"j"
                    _, body, _ = ct.run([ct.tool("cjpeg"), "-quality", "80"], ct.ppm(bw, bh, pixels))
                else:
                    kind, body = b"n", bytes([bw - 1, bh - 1]) + pixels
                index = first + (y // rect) * per_row + x // rect
                table[index] = (end_of_table + len(data), kind, cal, len(body))
                blocks[(level, x, y)] = (kind.decode(), struct.unpack("3b", cal), body, pixels)
                data += body
    if damage:
        damage(table)
    with open(path, "wb") as f:
        f.write(b"CR\0\0" + struct.pack(">hhHHI", width, height, rect, 0, entries))
        for ofs, kind, cal, size in table:
            f.write(struct.pack(">I", ofs) + kind + cal + struct.pack(">i", size))
        f.write(data)
    return blocks, present


def crread(path):
    """{(level, x, y): (type, cal, size, rc, width, height, pixels or None)}."""
    _, out, _ = ct.harness("crread", path)
    got = {}
    for line in out.decode().splitlines():
        f = line.split()
        px = None if f[11] == "-" else bytes.fromhex(f[11])
        got[(int(f[0]), int(f[1]), int(f[2]))] = (f[3], (int(f[4]), int(f[5]), int(f[6])), int(f[7]), int(f[8]),
                                                  int(f[9]), int(f[10]), px)
    return got


class CrFiles(ct.TempDir):
    def test_blocks_read_back(self):
        for width, height, rect, seed in ((100, 70, 32, 1), (37, 300, 16, 2), (40, 40, 256, 3), (5, 3, 1, 4)):
            path = self.path("t.cr")
            blocks, present = write_cr(path, width, height, rect, seed)
            got = crread(path)
            self.assertEqual(sorted(got), sorted(blocks))
            for key, (kind, cal, body, pixels) in blocks.items():
                g = got[key]
                self.assertEqual(g[:4], (kind, cal, len(body), 0), key)
                if kind == "n":
                    self.assertEqual(g[6], pixels, key)
                else:
                    _, ref, _ = ct.run([ct.tool("djpeg"), "-ppm"], body)
                    self.assertEqual(ct.ppm(g[4], g[5], g[6]), ref, key)

    def test_entries_that_cannot_be_used(self):
        path = self.path("t.cr")

        def damage(table):
            ofs, kind, cal, size = table[1]
            table[1] = (ofs, kind, cal, 10 ** 8)  # past the end of the file
            table[2] = (10 ** 9, *table[2][1:])   # starts past the end
            table[3] = (0, *table[3][1:])         # never written
            table[4] = (table[4][0], table[4][1], table[4][2], 0)
            table[5] = (table[5][0], table[5][1], table[5][2], -5)

        blocks, _ = write_cr(path, 100, 70, 32, 5, damage)
        got = crread(path)
        rc = {k: v[3] for k, v in got.items()}
        self.assertEqual([rc[(0, 32, 0)], rc[(0, 64, 0)], rc[(0, 96, 0)], rc[(0, 0, 32)], rc[(0, 32, 32)]], [-4] * 5)
        # The other blocks still read.
        self.assertEqual([rc[(0, 0, 0)], rc[(1, 0, 0)], rc[(2, 0, 0)]], [0, 0, 0])
        self.assertEqual(got[(3, 0, 0)][6], blocks[(3, 0, 0)][3])  # a raw 13 x 9 block

    def test_files_that_are_refused(self):
        path = self.path("t.cr")
        write_cr(path, 64, 64, 32, 6)
        good = self.read("t.cr")
        cases = {
            "magic": (b"CX" + good[2:], -5),
            "rect 0": (good[:8] + b"\0\0" + good[10:], -5),
            "rect 257": (good[:8] + b"\x01\x01" + good[10:], -5),
            "width 0": (good[:4] + b"\0\0" + good[6:], -5),
            "negative height": (good[:6] + b"\xff\x00" + good[8:], -5),
            "table past the end": (good[:12] + b"\0\x10\0\0" + good[16:], -4),
            "short header": (good[:10], -4),
            "table cut": (good[:16 + 12 * 2], -4),
        }
        for name, (data, code) in cases.items():
            self.write("bad.cr", data)
            rc, out, _ = ct.harness("crread", self.path("bad.cr"), check=False)
            self.assertEqual((rc, out.decode().strip()), (3, "open %d" % code), name)


if __name__ == "__main__":
    ct.main()
