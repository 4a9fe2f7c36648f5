#!/usr/bin/env python3
"""The JPEG front end against libjpeg-turbo's cjpeg/djpeg and ImageMagick:
jpeg_check.py PATH-TO-codec_check [-k slow]."""
import os

import codec_tools as ct

SLOW = os.environ.get("CODEC_SLOW") == "1"
# An arithmetic-coded stream of 16384 x 16384 pixels in 206 bytes (SOF9, 33
# bytes of scan data, no end marker), a seed of the decoder's fuzz target.
ARITH_206 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "fuzz", "jpeg_uncompress_fuzz",
                         "arith_16384_no_end")


def djpeg(data, warnings=False):
    """djpeg's PPM of a stream and its standard error (exit status 2 means
    it warned, which a stream without its end marker makes it do)."""
    rc, out, err = ct.run([ct.tool("djpeg"), "-ppm"], data, check=False)
    if rc != 0 and not (warnings and rc == 2):
        raise AssertionError("djpeg failed (%d): %s" % (rc, err.decode()))
    return out, err


class Jpeg(ct.TempDir):
    def encode(self, w, h, q, seed=1, noise_bits=4):
        image = ct.ppm(w, h, ct.test_image(w, h, seed, noise_bits))
        _, stream, _ = ct.harness("jpegenc", q, data=image)
        return image, stream

    def check_ours(self, w, h, q, noise_bits=4):
        image, stream = self.encode(w, h, q, noise_bits=noise_bits)
        self.assertEqual(stream[:2], b"\xff\xd8")
        self.assertEqual(stream[-2:], b"\xff\xd9", (w, h, q))
        theirs, err = djpeg(stream)
        self.assertEqual(err, b"", (w, h, q))
        _, ours, _ = ct.harness("jpegdec", data=stream)
        self.assertEqual(ours, theirs, (w, h, q))
        # The same settings through cjpeg give the same stream.
        _, cj, _ = ct.run([ct.tool("cjpeg"), "-quality", str(q), "-baseline"], image)
        self.assertEqual(cj, stream, (w, h, q))

    def test_our_streams_decode_as_djpeg_decodes_them(self):
        sizes = [(16, 16), (17, 23), (64, 48), (255, 130), (1024, 768)]
        qualities = [10, 50, 80, 95, 100]
        if SLOW:
            sizes += [(31, 33), (100, 100), (333, 222), (640, 480)]
            qualities = list(range(10, 101, 5))
        for w, h in sizes:
            for q in qualities if w * h < 200000 or SLOW else (10, 80, 100):
                self.check_ours(w, h, q)

    def test_noisy_blocks_at_high_quality(self):
        # Pure noise at quality 95-100 needs more bytes than the image has
        # pixels: the destination must grow.
        for q in range(95, 101):
            for seed in range(3 if not SLOW else 20):
                image = ct.ppm(20, 20, ct.os.urandom(1200) if seed else bytes(1200))
                _, stream, _ = ct.harness("jpegenc", q, data=image)
                self.assertEqual(stream[-2:], b"\xff\xd9")
                self.assertEqual(djpeg(stream)[1], b"")

    def test_cjpeg_streams_of_every_kind(self):
        image = self.write("in.ppm", ct.ppm(203, 97, ct.test_image(203, 97, 7)))
        kinds = [[], ["-progressive"], ["-restart", "1"], ["-restart", "3B"], ["-optimize"],
                 ["-sample", "1x1"], ["-sample", "2x1"], ["-quality", "100", "-sample", "1x1"], ["-arithmetic"]]
        for args in kinds:
            _, stream, _ = ct.run([ct.tool("cjpeg"), *args, image])
            _, ours, _ = ct.harness("jpegdec", data=stream)
            self.assertEqual(ours, djpeg(stream)[0], args)

    def test_greyscale_is_refused(self):
        image = self.write("in.ppm", ct.ppm(32, 32, ct.test_image(32, 32)))
        _, stream, _ = ct.run([ct.tool("cjpeg"), "-grayscale", image])
        rc, _, err = ct.harness("jpegdec", data=stream, check=False)
        self.assertEqual((rc, err), (3, b"null\n"))

    def test_cmyk_as_imagemagick_converts_it(self):
        src = self.write("in.ppm", ct.ppm(64, 40, ct.test_image(64, 40, 3)))
        cmyk = self.path("cmyk.jpg")
        ct.run([ct.tool("convert"), src, "-colorspace", "CMYK", "-quality", "95", cmyk])
        _, ref, _ = ct.run([ct.tool("convert"), cmyk, "-colorspace", "sRGB", "-depth", "8", "ppm:-"])
        _, ours, _ = ct.harness("jpegdec", data=self.read("cmyk.jpg"))
        a, b = ct.parse_pnm(ours), ct.parse_pnm(ref)
        self.assertEqual(a[:3], b[:3])
        worst = max(abs(x - y) for x, y in zip(a[4], b[4]))
        self.assertLessEqual(worst, 1)

    def test_a_stream_cut_short_is_refused_and_one_without_its_end_marker_decodes(self):
        # Entropy data that ends before the image's last row is refused
        # (the library would make the rest up); a stream that lacks only
        # its end marker decodes as djpeg decodes it, for every coding.
        image = self.write("in.ppm", ct.ppm(203, 97, ct.test_image(203, 97, 5)))
        for args in ([], ["-progressive"], ["-restart", "1"], ["-arithmetic"], ["-sample", "1x1"]):
            _, stream, _ = ct.run([ct.tool("cjpeg"), *args, image])
            scan = stream.index(b"\xff\xda")
            for cut in (scan + 40, (scan + len(stream)) // 2):
                rc, _, _ = ct.harness("jpegdec", data=stream[:cut], check=False)
                self.assertEqual(rc, 3, (args, cut))
            part = stream[:-2]
            _, ours, _ = ct.harness("jpegdec", data=part)
            self.assertEqual(ours, djpeg(part, warnings=True)[0], args)
        for junk in (b"", b"\xff", b"\xff\xd8", stream[:200], b"GIF89a" + stream):
            rc, _, _ = ct.harness("jpegdec", data=junk, check=False)
            self.assertEqual(rc, 3, junk[:8])

    def test_a_header_its_data_cannot_fill(self):
        # A Huffman-coded header claiming 16384 x 16384 pixels in front of
        # the data of a small image: refused, whether the small image's
        # data is whole (with its end marker) or not.
        _, stream = self.encode(64, 64, 80)
        sof = stream.index(b"\xff\xc0")
        for w, h in ((16384, 16384), (1024, 16384)):
            big = stream[:sof + 5] + h.to_bytes(2, "big") + w.to_bytes(2, "big") + stream[sof + 9:]
            for data in (big, big[:-2]):
                rc, _, _ = ct.harness("jpegdec", data=data, check=False)
                self.assertEqual(rc, 3, (w, h, len(data)))
        # A progressive stream whose first scan codes only the DC of a
        # component sampled at a quarter (one bit a 32 x 32 square), cut
        # before its other scans: its data never reach the other
        # components, and it is refused; whole, it decodes as djpeg does.
        image = self.write("plain.ppm", ct.ppm(1024, 1024, bytes([90, 140, 200]) * (1024 * 1024)))
        scans = self.write("scans.txt", b"1: 0-0, 0, 0; 0: 0-0, 0, 0; 2: 0-0, 0, 0;"
                                        b" 0: 1-63, 0, 0; 1: 1-63, 0, 0; 2: 1-63, 0, 0;")
        _, whole, _ = ct.run([ct.tool("cjpeg"), "-sample", "4x4,1x1,1x1", "-scans", scans, image])
        first = whole[:whole.index(b"\xff\xda", whole.index(b"\xff\xda") + 2)]
        rc, _, _ = ct.harness("jpegdec", data=first, check=False)
        self.assertEqual(rc, 3, len(first))
        _, ours, _ = ct.harness("jpegdec", data=whole)
        self.assertEqual(ours, djpeg(whole)[0])
        # A plain picture coded arithmetically takes a few hundred bytes,
        # far more pixels a byte than Huffman coding can reach: it decodes.
        image = ct.ppm(2048, 1024, bytes([90, 140, 200]) * (2048 * 1024))
        _, plain, _ = ct.run([ct.tool("cjpeg"), "-arithmetic"], image)
        self.assertGreater(2048 * 1024 // len(plain), 8192)
        _, ours, _ = ct.harness("jpegdec", data=plain)
        self.assertEqual(ours, djpeg(plain)[0])
        # But a few hundred bytes make no gigabyte: a plain picture's header
        # claiming 16384 x 16384 pixels, with and without its end marker,
        # and a 206-byte stream whose 33 bytes of data end in the last row.
        sof = plain.index(b"\xff\xc9")
        big = plain[:sof + 5] + (16384).to_bytes(2, "big") * 2 + plain[sof + 9:]
        for data in (big, big[:-2], open(ARITH_206, "rb").read()):
            rc, _, _ = ct.harness("jpegdec", data=data, check=False)
            self.assertEqual(rc, 3, len(data))

    def test_sides_out_of_range_are_refused(self):
        rc, _, _ = ct.harness("jpegenc", 80, data=ct.ppm(0, 0, b""), check=False)
        self.assertEqual(rc, 3)
        # A header claiming 65500 x 65500 with no data behind it.
        _, stream = self.encode(16, 16, 80)
        sof = stream.index(b"\xff\xc0")
        big = stream[:sof + 5] + b"\xff\xdc\xff\xdc" + stream[sof + 9:]
        rc, _, _ = ct.harness("jpegdec", data=big, check=False)
        self.assertEqual(rc, 3)


if __name__ == "__main__":
    ct.main()
