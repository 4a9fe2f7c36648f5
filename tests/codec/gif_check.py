#!/usr/bin/env python3
"""The GIF decoder against netpbm's giftopnm, on files from pamtogif,
ImageMagick, gifbuild and a writer of its own: gif_check.py PATH-TO-codec_check."""
import os
import random
import struct
import subprocess

import codec_tools as ct
import gif_writer

SLOW = os.environ.get("CODEC_SLOW") == "1"


def palette_image(width, height, colours, seed):
    rnd = random.Random(seed)
    pal = [(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)) for _ in range(colours)]
    # Distinct colours, so the encoders keep every one.
    pal = [(r, g, (b & 0xF0) | (i & 0x0F) if colours <= 16 else i) for i, (r, g, b) in enumerate(pal)]
    indices = [(x * 7 + y * 13 + rnd.randrange(3)) % colours for y in range(height) for x in range(width)]
    return pal, indices


def rgb_of(pal, indices):
    return b"".join(bytes(pal[i]) for i in indices)


def pbm_alpha(data):
    """Alpha bytes of giftopnm's PBM mask: a set bit is transparent."""
    _, w, h = data.split(None, 3)[:3]
    w, h = int(w), int(h)
    raster = data[len(data) - ((w + 7) // 8) * h:]
    row = (w + 7) // 8
    return bytes(0 if raster[y * row + x // 8] & (0x80 >> (x % 8)) else 255 for y in range(h) for x in range(w))


class Gif(ct.TempDir):
    def same_as_giftopnm(self, gif, image=1, alpha=False):
        path = self.write("t.gif", gif)
        args = [ct.tool("giftopnm"), "-image=%d" % image]
        if alpha:
            args.append("-alphaout=" + self.path("ref_alpha.pbm"))
        _, ref, _ = ct.run(args + [path])
        _, ours, _ = ct.harness("gifdec", self.path("alpha.pgm"), data=gif)
        self.assertEqual(ours, ref)
        if alpha:
            ours_alpha = self.read("alpha.pgm")
            self.assertEqual(ours_alpha[ours_alpha.index(b"255\n") + 4:], pbm_alpha(self.read("ref_alpha.pbm")))
        return ours

    def pamtogif(self, w, h, pal, indices, *args):
        src = self.write("src.ppm", ct.ppm(w, h, rgb_of(pal, indices)))
        _, gif, _ = ct.run([ct.tool("pamtogif"), *args, src])
        return gif

    def test_sizes_plain_and_interlaced(self):
        widths = range(1, 18) if SLOW else (1, 2, 3, 8, 9, 17)
        heights = range(1, 18) if SLOW else (1, 2, 4, 9, 17)
        for w in widths:
            for h in heights:
                pal, idx = palette_image(w, h, min(w * h, 2 + (w * h) % 30), w * 100 + h)
                for interlaced in (False, True):
                    self.same_as_giftopnm(gif_writer.gif(w, h, idx, pal, interlaced))
                if (w + h) % 3 == 0 or SLOW:
                    self.same_as_giftopnm(self.pamtogif(w, h, pal, idx, "-interlace"))

    def test_palettes(self):
        for colours in (2, 3, 4, 5, 16, 17, 128, 255, 256):
            pal, idx = palette_image(48, 40, colours, colours)
            self.same_as_giftopnm(self.pamtogif(48, 40, pal, idx))
            self.same_as_giftopnm(gif_writer.gif(48, 40, idx, pal, interlaced=True))

    def test_full_code_tables_with_and_without_clear_codes(self):
        rnd = random.Random(5)
        pal = [(i, 255 - i, (i * 7) & 255) for i in range(256)]
        idx = [rnd.randrange(256) for _ in range(160 * 150)]
        for clear in (True, False):
            self.same_as_giftopnm(gif_writer.gif(160, 150, idx, pal, clear_when_full=clear))
        # Fewer colours than the code size allows, and a small minimum size.
        small = [i % 4 for i in idx]
        self.same_as_giftopnm(gif_writer.gif(160, 150, small, pal[:4], clear_when_full=False, min_size=2))
        self.same_as_giftopnm(self.pamtogif(160, 150, pal, idx))

    def test_transparency(self):
        pal, idx = palette_image(20, 11, 6, 9)
        colour = "rgb:%02x/%02x/%02x" % pal[3]
        self.same_as_giftopnm(self.pamtogif(20, 11, pal, idx, "-transparent=" + colour), alpha=True)
        self.same_as_giftopnm(gif_writer.gif(20, 11, idx, pal, gce=3), alpha=True)

    def test_imagemagick_files(self):
        frames = []
        for i in range(3):
            pal, idx = palette_image(30, 20, 5 + 40 * i, 70 + i)
            frames.append(self.write("f%d.ppm" % i, ct.ppm(30, 20, rgb_of(pal, idx))))
        out = self.path("anim.gif")
        ct.run([ct.tool("convert"), "-delay", "10", *frames, out])
        ct.run([ct.tool("convert"), self.path("f1.ppm"), "-transparent", "rgb(%d,%d,%d)" % pal[2],
                self.path("transparent.gif")])
        first = self.same_as_giftopnm(self.read("anim.gif"))
        _, f0, _ = ct.run([ct.tool("giftopnm"), "-image=1", out])
        _, f1, _ = ct.run([ct.tool("giftopnm"), "-image=2", out])
        self.assertEqual(first, f0)
        self.assertNotEqual(first, f1)
        self.same_as_giftopnm(self.read("transparent.gif"), alpha=True)

    def test_gifbuild_structures(self):
        spec = """screen width 6
screen height 5
screen colors 4
screen map
  rgb 010 020 030 is a
  rgb 200 100 050 is b
  rgb 000 255 000 is c
  rgb 255 255 255 is d
end
comment
a comment before the image
end
image
image left 0
image top 0
image interlaced
image map
  rgb 255 000 000 is x
  rgb 000 000 255 is y
end
image bits 6 by 5
xyxyxy
yyxxyy
xxxxxx
yxyxyx
yyyyyy
graphics control
  transparent index 1
end
image
image bits 6 by 5
abcdab
abcdab
abcdab
abcdab
abcdab
"""
        _, gif, _ = ct.run([ct.tool("gifbuild")], spec.encode())
        ours = self.same_as_giftopnm(gif, alpha=True)
        # The local table replaced entries 0 and 1 only.
        self.assertEqual(ct.parse_pnm(ours)[4][:6], bytes([255, 0, 0, 0, 0, 255]))

    def test_damaged_streams(self):
        pal, idx = palette_image(40, 30, 60, 4)
        gif = gif_writer.gif(40, 30, idx, pal)
        _, full, _ = ct.harness("gifdec", data=gif)
        pixels = ct.parse_pnm(full)[4]
        # The screen, a 64-colour table, the image descriptor, the code size
        # and the first sub-block's length, then one byte of code stream:
        # an image with no code stream at all cannot be filled and is refused.
        header_end = 13 + 3 * 64 + 10 + 2 + 1
        for cut in range(0, len(gif), 7 if not SLOW else 1):
            rc, out, _ = ct.harness("gifdec", data=gif[:cut], check=False)
            if cut < header_end:
                self.assertEqual(rc, 3, cut)
                continue
            self.assertEqual(rc, 0, cut)
            got = ct.parse_pnm(out)[4]
            decoded = next((i for i in range(len(got)) if got[i] != pixels[i]), len(got))
            # Undecoded pixels take colour-map entry 0.
            rest = got[decoded - decoded % 3:]
            self.assertTrue(all(rest[i:i + 3] == bytes(pal[0]) for i in range(3, len(rest), 3)), cut)
        for junk in (b"", b"GIF8", b"GIF87a" + bytes(7), b"GIX89a" + gif[6:]):
            self.assertEqual(ct.harness("gifdec", data=junk, check=False)[0], 3)

    def test_images_larger_than_their_code_stream_are_refused_before_allocation(self):
        # Each byte of code stream yields at most 8 x 4,096 pixels: a 35-byte
        # stream that declares 16384 x 16384 is refused with a small peak
        # memory; an image at the bound is still taken (giftopnm refuses
        # such short data, so the harness alone is asked: undecoded pixels
        # take colour-map entry 0).
        def gif(w, h, data):
            screen = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x80, 0, 0) + bytes([0, 0, 0, 255, 255, 255])
            desc = b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
            return screen + desc + b"\x02" + bytes([len(data)]) + data + b"\x00\x3b"

        huge = gif(16384, 16384, bytes([0x44, 0x01]))
        self.assertEqual(len(huge), 35)
        rc, peak = self.harness_peak(huge)
        self.assertEqual(rc, 3)
        self.assertLess(peak, 200 << 20)
        clear_then_end = bytes([0x2c])  # codes 4 (clear) and 5 (end) in 3 bits each
        self.assertEqual(self.harness_peak(gif(8 * 4096 + 1, 1, clear_then_end))[0], 3)
        _, out, _ = ct.harness("gifdec", data=gif(8 * 4096, 1, clear_then_end))
        self.assertEqual(ct.parse_pnm(out)[1:3], (8 * 4096, 1))
        self.assertEqual(ct.parse_pnm(out)[4], bytes(3 * 8 * 4096))

    def harness_peak(self, data):
        """The harness's exit code and peak resident bytes on one stream."""
        p = subprocess.Popen([ct.CHECK, "gifdec"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        p.stdin.write(data)
        p.stdin.close()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        return p.returncode, usage.ru_maxrss * 1024

    def test_images_without_pixels_or_over_the_ceiling(self):
        pal = [(9, 0, 0), (1, 2, 3)]
        for w, h in ((0, 5), (5, 0), (65535, 65535)):
            self.assertEqual(ct.harness("gifdec", data=gif_writer.gif(w, h, [1] * 4, pal), check=False)[0], 3)
        # Data for half the pixels: the rest take colour-map entry 0.
        _, out, _ = ct.harness("gifdec", data=gif_writer.gif(3, 2, [1, 1, 1], pal + [(0, 0, 0)] * 2)[:-1])
        self.assertEqual(ct.parse_pnm(out)[4], bytes([1, 2, 3] * 3 + [9, 0, 0] * 3))
        # A minimum code size the decoder does not take leaves every index 0.
        bad = bytearray(gif_writer.gif(2, 1, [1, 1], pal))
        bad[13 + 6 + 10] = 12
        self.assertEqual(ct.parse_pnm(ct.harness("gifdec", data=bytes(bad))[1])[4], bytes([9, 0, 0] * 2))


if __name__ == "__main__":
    ct.main()
