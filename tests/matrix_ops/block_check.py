#!/usr/bin/env python3
"""The block formats of matrix scripts against outside tools, through
tools/mxop_check: Python's zlib both ways, djpeg and ImageMagick on the
JPEG streams of image blocks, and scripts on a node of a fresh matrix.
block_check.py PATH-TO-mxop_check (run with Debian's python3: numpy)."""
import os
import random
import struct
import subprocess
import sys
import unittest
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "codec"))
import codec_tools as ct  # noqa: E402

CHECK = None

# Element formats of the vector types (struct letters), by type code.
FORMATS = {18: "b", 19: "h", 20: "i", 21: "q", 22: "B", 23: "H", 24: "I", 25: "Q", 26: "f", 27: "d", 28: "I"}


def check(*args, data=b""):
    """mxop_check's (exit status, standard output, standard error)."""
    p = subprocess.run([CHECK, *map(str, args)], input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stdout, p.stderr


def check_all(jobs):
    """check() of every (args, data) job, four at a time, in order."""
    with ThreadPoolExecutor(4) as pool:
        return list(pool.map(lambda job: check(*job[0], data=job[1]), jobs))


def stored(code, extents, elements):
    """A stored vector: header length, code, dim, extents, then the elements
    big-endian (elements: values for FORMATS, raw bytes for bit vectors)."""
    size = struct.calcsize(FORMATS.get(code, "B"))
    h = 4 + 4 * len(extents)
    h = (h + size - 1) // size * size
    head = struct.pack(">bBh", h, code, len(extents)) + struct.pack(">%di" % len(extents), *extents)
    head += bytes(h - len(head))
    if code == 17:
        return head + bytes(elements)
    return head + struct.pack(">%d%s" % (len(elements), FORMATS[code]), *elements)


def sample(code, count, rnd):
    fmt = FORMATS[code]
    if fmt in "fd":
        return [rnd.uniform(-1e6, 1e6) for _ in range(count)]
    bits = struct.calcsize(fmt) * 8
    lo, hi = (0, 2 ** bits - 1) if fmt.isupper() else (-2 ** (bits - 1), 2 ** (bits - 1) - 1)
    return [rnd.randint(lo, hi) for _ in range(count)]


def djpeg(stream, warnings=False):
    rc, out, err = ct.run([ct.tool("djpeg"), "-ppm"], stream, check=False)
    if rc != 0 and not (warnings and rc == 2):
        raise AssertionError("djpeg failed (%d): %s" % (rc, err.decode()))
    return out, err


def image_pixels(vector):
    """(width, height, channels array) of a stored uint8_v or rgb8_v."""
    h, code, dim = struct.unpack(">bBh", vector[:4])
    w, ht = struct.unpack(">2i", vector[4:12])
    body = np.frombuffer(vector[h:], dtype=np.uint8)
    if code == 22:
        return w, ht, body.reshape(ht, w, 1)
    return w, ht, body.reshape(ht, w, 4)[:, :, :3]


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


class ZlibBlocks(ct.TempDir):
    def script(self, layout, text, **channels):
        path = self.write("s.zu", text.encode())
        args = []
        for ch, data in channels.items():
            args.append("%s=%s" % (ch[1:], self.write(ch, data)))
        rc, out, err = check("script", layout, "0:256:512", path, *args)
        self.assertEqual(rc, 0, err.decode())
        return out.decode().splitlines()

    def test_python_inflates_our_blocks(self):
        rnd = random.Random(4)
        # A vector read from Python's stream into memory, then packed by us.
        for code in sorted(FORMATS):
            elements = sample(code, 35, rnd)
            vec = stored(code, [7, 5], elements)
            given = zlib.compress(bytes([code]) + vec, 9)
            for level in (-1, 0, 1, 7, 9):
                out = self.script("2d-u8", "(mxCompressZ opt=\"%d\" (mxUncomressZ (car (cdr (cdr (mxCH 1))))))"
                                  % level, c1=given)
                payload = zlib.decompress(bytes.fromhex(out[0]))
                self.assertEqual(payload[0], code)
                self.assertEqual(payload[1:], vec, (code, level))
                h = payload[1]
                got = list(struct.unpack(">%d%s" % (len(elements), FORMATS[code]), payload[1 + h:]))
                if FORMATS[code] == "f":  # Python's floats narrowed as the stored form holds them
                    elements = list(struct.unpack(">%df" % len(elements), struct.pack(">%df" % len(elements), *elements)))
                self.assertEqual(got, elements, (code, level))
        # uint16 elements from a channel, compared as numbers.
        elements = sample(23, 12, rnd)
        out = self.script("2d-u8", "(mxCompressZ (mxUncomressZ (car (cdr (cdr (mxCH 1))))))",
                          c1=zlib.compress(bytes([23]) + stored(23, [4, 3], elements)))
        payload = zlib.decompress(bytes.fromhex(out[0]))
        self.assertEqual(payload[0], 23)
        self.assertEqual(list(struct.unpack(">12H", payload[1 + 12:])), elements)
        # An int16 channel and a block.
        elements = sample(19, 6, rnd)
        out = self.script("2d-i16", "(mxCompressZ (mxCH 0))\n(mxCompressZ (mxCH 1))",
                          c0=stored(19, [3, 2], elements), c1=b"\x00\xffblock")
        self.assertEqual(zlib.decompress(bytes.fromhex(out[0])), bytes([19]) + stored(19, [3, 2], elements))
        self.assertEqual(zlib.decompress(bytes.fromhex(out[1])), b"\x0d\x00\xffblock")

    def test_we_read_python_streams_at_every_level(self):
        rnd = random.Random(5)
        payloads = [bytes([13]), bytes([13]) + rnd.randbytes(5000), bytes([30]) + struct.pack(">Ii", 30 << 16 | 1, 2)
                    + b"ab\x00\x00"] + [bytes([c]) + stored(c, [9, 4], sample(c, 36, rnd)) for c in sorted(FORMATS)]
        cases = [(level, p) for level in range(10) for p in payloads]
        read = check_all([(("zdec",), zlib.compress(p, level)) for level, p in cases])
        made = check_all([(("zenc", level), p) for level, p in cases])
        for (level, p), (rc, out, err), (_, ours, _) in zip(cases, read, made):
            self.assertEqual((rc, out), (0, p), (level, p[:8], err))
            self.assertEqual(zlib.decompress(ours), p)

    def test_foreign_and_damaged_streams(self):
        payload = bytes([13]) + b"The quick brown fox"
        stream = zlib.compress(payload, 6)
        d = zlib.compressobj(zdict=b"quick brown")
        raw = zlib.compressobj(wbits=-15)
        gz = zlib.compressobj(wbits=31)
        foreign = [d.compress(payload) + d.flush(), raw.compress(payload) + raw.flush(),
                   gz.compress(payload) + gz.flush(), b""]
        prefixes = [stream[:n] for n in range(len(stream))]
        flips = [stream[:i] + bytes([stream[i] ^ (1 << b)]) + stream[i + 1:] for i in range(len(stream))
                 for b in range(8)]
        refused = check_all([(("zdec",), s) for s in foreign + prefixes])
        flipped = check_all([(("zdec",), s) for s in flips])
        for rc, out, err in refused:
            self.assertEqual((rc, out), (1, b""))
            self.assertIn(b"zlib-uncompress", err)
        same = 0
        for (rc, out, _), s in zip(flipped, flips):
            self.assertIn((rc, out), ((1, b""), (0, payload)), s.hex())
            same += rc == 0
        self.assertLess(same, 8, "only the unused bits after the last code may change")
        # Payloads that are no value.
        for bad, why in ((b"", b"empty-payload"), (bytes([14]) + b"abc", b"payload-type"), (bytes([29]), b"payload-type"),
                         (bytes([22]) + stored(22, [2, 2], [1, 2, 3]), b"stored-vector"),
                         (bytes([22]) + stored(22, [2, 2], [1, 2, 3, 4, 5]), b"stored-vector")):
            rc, _, err = check("zdec", data=zlib.compress(bad))
            self.assertEqual(rc, 1, bad)
            self.assertIn(why, err)


def smooth_image(w, h, seed):
    """A w x h RGB picture of gentle gradients with a little noise."""
    y, x = np.mgrid[0:h, 0:w]
    rnd = np.random.default_rng(seed)
    planes = [x * 255 / max(w - 1, 1), y * 255 / max(h - 1, 1), 128 + 100 * np.sin((x + 2 * y) / 9.0)]
    img = np.stack(planes, axis=2) + rnd.integers(-3, 4, size=(h, w, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


class ImageBlocks(ct.TempDir):
    def encode(self, code, w, h, q, seed=1):
        rgb = smooth_image(w, h, seed)
        if code == 22:
            src = rgb[:, :, 1:2]
            vec = stored(22, [w, h], list(src.flatten()))
        else:
            src = rgb
            words = [r << 24 | g << 16 | b << 8 | 0x5a for r, g, b in rgb.reshape(-1, 3).tolist()]
            vec = stored(28, [w, h], words)
        rc, block, err = check("imgenc", q, data=vec)
        self.assertEqual(rc, 0, err)
        # The same pixels through cjpeg (grey as R = G = B) give the same stream.
        pixels = np.repeat(src, 3, axis=2) if code == 22 else src
        _, cj, _ = ct.run([ct.tool("cjpeg"), "-quality", str(q), "-baseline"], ct.ppm(w, h, pixels.tobytes()))
        self.assertEqual(block[2:], cj, (code, w, h, q))
        return src, block

    def test_jpeg_streams_decode_alike_everywhere(self):
        for code in (22, 28):
            for w, h, q in ((20, 20, 80), (64, 48, 80), (255, 256, 95), (301, 77, 50)):
                src, block = self.encode(code, w, h, q)
                self.assertEqual(block[:2], (b"g" if code == 22 else b"c") + b"j")
                stream = block[2:]
                self.assertEqual(stream[-2:], b"\xff\xd9")
                theirs, err = djpeg(stream)
                self.assertEqual(err, b"", (code, w, h))
                _, magick, _ = ct.run([ct.tool("convert"), "jpg:-", "-depth", "8", "ppm:-"], stream)
                self.assertEqual(magick, theirs, (code, w, h))
                rc, vec, _ = check("imgdec", data=block)
                self.assertEqual(rc, 0)
                ow, oh, ours = image_pixels(vec)
                _, tw, th, _, pixels = ct.parse_pnm(theirs)
                ref = np.frombuffer(pixels, dtype=np.uint8).reshape(th, tw, 3)
                self.assertEqual((ow, oh), (tw, th))
                self.assertTrue(np.array_equal(ours, ref[:, :, :1] if code == 22 else ref), (code, w, h))
                if code == 28:
                    # The fourth byte of every decoded element is 0.
                    self.assertEqual(set(np.frombuffer(vec[12:], dtype=np.uint8)[3::4].tolist()), {0})
                if q == 80:
                    self.assertGreater(psnr(ours, src), 30, (code, w, h))

    def test_old_blocks_without_their_end_marker(self):
        # A block that lacks only the stream's end marker decodes as djpeg
        # decodes it; one whose data ends before the image does is refused.
        _, block = self.encode(28, 64, 64, 80)
        scan = block.index(b"\xff\xda")
        part = block[:-2]
        rc, vec, _ = check("imgdec", data=part)
        self.assertEqual(rc, 0)
        _, _, ours = image_pixels(vec)
        theirs, _ = djpeg(part[2:], warnings=True)
        _, _, _, _, pixels = ct.parse_pnm(theirs)
        self.assertTrue(np.array_equal(ours, np.frombuffer(pixels, dtype=np.uint8).reshape(64, 64, 3)))
        rc, _, err = check("imgdec", data=block[:(scan + len(block)) // 2])
        self.assertEqual((rc, err.strip()), (1, b"mxop_check: jpeg-data"))

    def test_raw_forms_and_refusals(self):
        vec = stored(28, [3, 1], [0x11223344, 0xA0B0C0D0, 0x01020304])
        rc, block, _ = check("imgenc", 80, data=vec)
        self.assertEqual(block, b"cn\x03\x01\x11\x22\x33\xa0\xb0\xc0\x01\x02\x03")
        rc, back, _ = check("imgdec", data=block)
        self.assertEqual(back, stored(28, [3, 1], [0x11223300, 0xA0B0C000, 0x01020300]))
        refused = [("imgenc", stored(22, [19, 256], [0] * 19 * 256), b"image-side-over-255"),
                   ("imgenc", stored(22, [2, 2, 1], [0] * 4), b"data dimention is not 2"),
                   ("imgenc", stored(19, [2, 2], [0] * 4), b"uint8_v or rgb8_v"),
                   ("imgdec", b"gn\x02\x02\x01\x02\x03", b"raw-block-short"),
                   ("imgdec", b"xn\x01\x01\x00", b"image-letters"),
                   ("imgdec", b"gj" + b"\xff\xd8\xff\xd9", b"jpeg-data")]
        _, grey_stream, _ = ct.run([ct.tool("cjpeg"), "-grayscale"], ct.ppm(32, 32, ct.test_image(32, 32)))
        refused.append(("imgdec", b"gj" + grey_stream, b"jpeg-data"))
        for cmd, data, why in refused:
            args = (cmd, 80) if cmd == "imgenc" else (cmd,)
            rc, out, err = check(*args, data=data)
            self.assertEqual((rc, out), (1, b""), why)
            self.assertIn(why, err)


class CompoundBlocks(ct.TempDir):
    def test_lines_round_trip(self):
        vec = stored(20, [2], [-1, 7]).hex()
        text = "s abc\ns \ni -9223372036854775808\nf 2.5\nb \nb 00ff\nv %s\ns \xe6\x97\xa5\n" % vec
        rc, block, _ = check("cmpenc", data=text.encode("latin-1"))
        self.assertEqual(rc, 0)
        self.assertEqual(block[:6], b"\x0e\x00\x03abc")
        rc, back, _ = check("cmpdec", data=block)
        self.assertEqual(back, text.encode("latin-1"))
        # Every cut of the block but the item boundaries is refused.
        bounds, at = {0, len(block)}, 0
        for line in text.splitlines():
            rc, one, _ = check("cmpenc", data=(line + "\n").encode("latin-1"))
            at += len(one)
            bounds.add(at)
        cuts = check_all([(("cmpdec",), block[:n]) for n in range(len(block))])
        for n, (rc, _, _) in enumerate(cuts):
            self.assertEqual(rc, 0 if n in bounds else 1, n)


class Scripts(ct.TempDir):
    def test_script_forms_print_one_line_each(self):
        vec = stored(22, [2, 2], [1, 2, 3, 4])
        script = ('(mxCompressJPEG (mxCH 0))\n'
                  '(mxSeparate (car (cdr (cdr (mxCompound type="on" "abc" 5 2.0 (mxCH 1))))))\n'
                  '(mxCompressJPEG 5)\n'
                  '(mxSetSB channel="2" (sbPrimitive))\n')
        path = self.write("s.zu", script.encode())
        rc, out, err = check("script", "2d-u8", "0:0:0", path, "0=" + self.write("v", vec),
                             "1=" + self.write("b", b"\x01\x02"))
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.decode().splitlines(), [
            "676e0202" "01020304",
            "((data (0 0 0) 0102) 2.000000 5 \"abc\")",
            "error 80040503 (\"invalid parameter in mxCompressJPEG\" [\"list is required for CH data\"])",
            "()"])
        rc, _, _ = check("script", "2d-u16", "0:0:0", path)
        self.assertEqual(rc, 2)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    CHECK = sys.argv.pop(1)
    unittest.main()
