#!/usr/bin/python3
"""The raster tools against numpy and libjpeg's djpeg: the transform, the
levels of R64 files, and CR files written from them.
raster_check.py PATH-TO-codec_check (Debian's python3, which has numpy)."""
import struct

import numpy as np

import codec_tools as ct
from cr_check import levels as cr_levels


def pnm(img):
    """P6 of an image; a grey one as its red samples."""
    rgb = img if img.ndim == 3 else np.stack([img] * 3, axis=2)
    return ct.ppm(img.shape[1], img.shape[0], rgb.astype(np.uint8).tobytes())


def r64_levels(path, img, kind, how=None):
    """Writes img into a new R64 file, builds its levels, reads them back."""
    ct.harness("r64", path, kind, *([how] if how else []), data=pnm(img))
    _, out, _ = ct.harness("r64", path)
    found = []
    while out:
        magic, w, h, _, rest = ct.parse_pnm(out)
        k = 3 if magic == "P6" else 1
        found.append(np.frombuffer(rest[:w * h * k], np.uint8).reshape((h, w, k) if k == 3 else (h, w)))
        out = rest[w * h * k:]
    return found


def lofi_model(a):
    """Means of 2 x 2 groups, truncated, the last row and column repeated."""
    a = np.pad(a.astype(np.int64), [(0, a.shape[0] % 2), (0, a.shape[1] % 2)] + [(0, 0)] * (a.ndim - 2), "edge")
    return (a[0::2, 0::2] + a[1::2, 0::2] + a[0::2, 1::2] + a[1::2, 1::2]) // 4


def hifi_model(img):
    """8 x 8 Hann-windowed blocks every 4 pixels (edges repeated), the
    frequencies 0, 1, 6, 7 of each axis brought back as 4 x 4, added up."""
    h, w, k = img.shape
    hann = (1 - np.cos(2 * np.pi * np.arange(8) / 8)) / 2
    ys, xs = np.arange(-4, h, 4), np.arange(-4, w, 4)
    rows = np.clip(ys[:, None] + np.arange(8), 0, h - 1)
    cols = np.clip(xs[:, None] + np.arange(8), 0, w - 1)
    blocks = img[rows[:, None, :, None], cols[None, :, None, :]] * np.outer(hann, hann)[:, :, None]
    keep = [0, 1, 6, 7]
    spectrum = (np.fft.fft2(blocks, axes=(2, 3)) / 64)[:, :, keep][:, :, :, keep]
    back = (np.fft.ifft2(spectrum, axes=(2, 3)) * 16).real
    acc = np.zeros((2 * len(ys) + 2, 2 * len(xs) + 2, k))
    for r in range(4):
        for c in range(4):
            acc[r:r + 2 * len(ys):2, c:c + 2 * len(xs):2] += back[:, :, r, c]
    return np.clip(np.trunc(acc[2:2 + (h + 1) // 2, 2:2 + (w + 1) // 2]), 0, 255)


class Raster(ct.TempDir):
    def test_transform_against_numpy(self):
        rng = np.random.default_rng(1)
        vectors = [rng.normal(size=1 << b) + 1j * rng.normal(size=1 << b) for b in range(13)]
        text = "".join("%d\n" % b + "".join("%r %r\n" % (v.real, v.imag) for v in x) for b, x in enumerate(vectors))
        _, out, _ = ct.harness("fft", data=text.encode())
        got = np.array([[float(t) for t in line.split()] for line in out.decode().splitlines()])
        at = 0
        for b, x in enumerate(vectors):
            n = len(x)
            rows, at = got[at:at + n], at + n
            for ours, ref in ((rows[:, 0] + 1j * rows[:, 1], np.fft.fft(x) / n),
                              (rows[:, 2] + 1j * rows[:, 3], np.fft.ifft(x) * n)):
                self.assertLessEqual(np.max(np.abs(ours - ref)), 1e-12 * max(b, 1e-3) * np.max(np.abs(ref)), b)

    def test_levels_against_numpy(self):
        rng = np.random.default_rng(2)
        # Odd sides; the grey file has more blocks than the cache holds.
        cases = (("P", rng.integers(0, 256, (131, 197, 3))), ("G", rng.integers(0, 256, (1101, 1201))),
                 ("B", rng.integers(0, 2, (45, 67)) * 255))
        for kind, img in cases:
            found = r64_levels(self.path("l.r64"), img, kind, "lofi")
            self.assertEqual(len(found), {"P": 7, "G": 10, "B": 5}[kind], kind)
            self.assertTrue(np.array_equal(found[0], img), kind)
            for below, level in zip(found, found[1:]):
                model = lofi_model(below)
                if kind == "B":
                    model = np.where(model > 0, 255, 0)
                self.assertTrue(np.array_equal(level, model), (kind, level.shape))

        img = rng.integers(0, 256, (101, 150, 3))
        found = r64_levels(self.path("h.r64"), img, "P", "hifi")
        for below, level in zip(found, found[1:]):
            self.assertLessEqual(np.max(np.abs(level - hifi_model(below.astype(float)))), 1, level.shape)
        flat = r64_levels(self.path("c.r64"), np.full((48, 64), 77), "G", "hifi")
        self.assertTrue(np.all(flat[1][2:-2, 2:-2] == 77))

    def test_cr_file_written_from_r64(self):
        y, x = np.mgrid[0:40, 0:1000]
        img = np.stack([128 + 100 * np.sin(x / 37 + c) * np.cos(y / 11) for c in range(3)], axis=2)
        img = (img + np.random.default_rng(3).integers(-4, 5, img.shape)).astype(np.uint8)
        for (w, h, count), image in (((1000, 40, 95), img), ((100, 100, 25), img[:, :100].repeat(3, axis=0)[:100])):
            ct.harness("r64", self.path("s.r64"), "P", "lofi", data=pnm(image))
            _, out, _ = ct.harness("crwrite", self.path("s.r64"), self.path("s.cr"), 32)
            self.assertEqual(out, b"0 0\n")
            data = self.read("s.cr")
            present, entries = cr_levels(w, h, 32)
            self.assertEqual(data[:16], b"CR\0\0" + struct.pack(">hhHHI", w, h, 32, 0, count))
            table = [struct.unpack(">IcbbbI", data[16 + 12 * i:28 + 12 * i]) for i in range(entries)]
            filled = sum(-(-lw // 32) * -(-lh // 32) for _, lw, lh in present)
            self.assertTrue(all(t == (0, b"\0", 0, 0, 0, 0) for t in table[filled:]), "absent level left empty")
            for first, lw, lh in present:
                for by in range(0, lh, 32):
                    for bx in range(0, lw, 32):
                        bw, bh = min(32, lw - bx), min(32, lh - by)
                        ofs, kind, _, _, _, size = table[first + (by // 32) * -(-lw // 32) + bx // 32]
                        body = data[ofs:ofs + size]
                        self.assertEqual(len(body), size)
                        if bw >= 16 and bh >= 16:
                            self.assertEqual(kind, b"j")
                            _, ppm, err = ct.run([ct.tool("djpeg"), "-ppm"], body)
                            self.assertEqual((err, ct.parse_pnm(ppm)[1:3]), (b"", (bw, bh)))
                        else:
                            self.assertEqual((kind, body[:2], size), (b"n", bytes([bw - 1, bh - 1]), 2 + 3 * bw * bh))


if __name__ == "__main__":
    ct.main()
