#!/usr/bin/env python3
"""The GIF encoder against giflib's giftext and gif2rgb, netpbm's giftopnm,
ImageMagick's identify and our own decoder: gifenc_check.py PATH-TO-codec_check."""
import random

import codec_tools as ct

HEAD = b"GIF87a"


def encode(test, w, h, rgb):
    """Our GIF of the image, and our palette applied to our indices."""
    _, gif, _ = ct.harness("gifenc", test.path("indexed.ppm"), data=ct.ppm(w, h, rgb))
    return gif, ct.parse_pnm(test.read("indexed.ppm"))[4]


def palette(gif):
    return [tuple(gif[13 + 3 * i:16 + 3 * i]) for i in range(256)]


class GifEncoder(ct.TempDir):
    def test_one_pixel_stream(self):
        gif, _ = encode(self, 1, 1, b"\x10\x20\x30")
        # Codes 256, 0, 257 in 9 bits, least significant bit first.
        self.assertEqual(gif, HEAD + b"\x01\x00\x01\x00\xf7\x00\x00" + b"\x10\x20\x30" + bytes(765) +
                         b"\x2c\0\0\0\0\x01\0\x01\0\0" + b"\x08" + b"\x04\x00\x01\x04\x04" + b"\x00\x3b")

    def test_outside_tools_see_our_palette_and_indices(self):
        rnd = random.Random(4)
        images = {
            "noisy": (300, 200, ct.test_image(300, 200, 1, noise_bits=6)),  # full code tables, clear codes
            "gradient": (17, 5, ct.test_image(17, 5, 2)),
            "widest": (65535, 1, rnd.randbytes(65535 * 3)),
        }
        for name, (w, h, rgb) in images.items():
            gif, indexed = encode(self, w, h, rgb)
            path = self.write("t.gif", gif)
            self.assertEqual(gif[:6], HEAD, name)
            _, text, _ = ct.run([ct.tool("giftext"), "-e", path])
            text = text.decode()
            self.assertEqual(text.count("Image #"), 1, name)
            for line in ("ColorResolution = 8, BitsPerPixel = 8", "Has Global Color Map", "Code Size = 8",
                         "Width = %d, Height = %d" % (w, h)):
                self.assertIn(line, text, name)
            self.assertEqual(ct.run([ct.tool("gif2rgb"), path])[1], indexed, name)
            self.assertEqual(ct.parse_pnm(ct.run([ct.tool("giftopnm"), path])[1])[4], indexed, name)
            # ImageMagick 6 reads no GIF 65535 wide, whoever wrote it (pamtogif's neither).
            if w < 65535:
                self.assertEqual(ct.run([ct.tool("identify"), "-format", "%w %h", path])[1], b"%d %d" % (w, h), name)
            self.assertEqual(ct.parse_pnm(ct.harness("gifdec", data=gif)[1])[4], indexed, name)
            if name == "noisy":
                self.assertEqual(len(set(palette(gif))), 256)

    def test_median_splits(self):
        # Two colours of equal count, and a lowest value holding half of
        # the pixels: every colour keeps an entry of its own.
        for rgb in (b"\x0a\0\0\xc8\0\0", b"\x0a\0\0\x0a\0\0\x14\0\0\x1e\0\0"):
            gif, indexed = encode(self, len(rgb) // 3, 1, rgb)
            self.assertEqual(indexed, rgb)
            colours = sorted(set(rgb[i:i + 3] for i in range(0, len(rgb), 3)))
            self.assertEqual([bytes(p) for p in palette(gif)[:len(colours)]], colours)
            self.assertEqual(palette(gif)[len(colours):], [(0, 0, 0)] * (256 - len(colours)))


if __name__ == "__main__":
    ct.main()
