#!/usr/bin/env python3
"""Runs the block-format benchmarks next to their outside peers on the same
data and prints the ratios: mxblock_peers.py BUILD-DIR (a release build with
the benchmarks, as `make bench` makes it).

'z' blocks: 1,000 blocks of 256 x 256 made with ppmpat (ten patterns, a
hundred seeds each), as uint8_v (the green plane) and as rgb8_v; ours pack
each vector (its stored form behind the type byte, deflated at level 7) and
read it back; the peers deflate and inflate the same payloads: Python's zlib
one block at a time, `pigz -z -p 1 -7` all of them as one stream.
'j' blocks: ppmpat camouflage pictures of 256 x 256 and 2048 x 2048 as
rgb8_v at quality 80, next to tjbench on the same pixels (4:2:0, as the
library's defaults give)."""
import os
import shutil
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "codec"))
import codec_tools as ct  # noqa: E402
from codec_peers import bench_seconds, best_of, tjbench  # noqa: E402

PATTERNS = ["-gingham2", "-gingham3", "-madras", "-tartan", "-argyle1", "-argyle2", "-poles", "-squig", "-camo",
            "-anticamo"]
BLOCKS = 1000


def ppmpat(pattern, seed, side):
    out = subprocess.run([ct.tool("ppmpat"), pattern, "-randomseed=%d" % seed, str(side), str(side)],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    _, w, h, _, rgb = ct.parse_pnm(out)
    return w, h, rgb


def stored(code, w, h, elements):
    """A stored 2-dimensional uint8_v (22) or rgb8_v (28): header and extents, then the element bytes."""
    return bytes([12, code, 0, 2]) + w.to_bytes(4, "big") + h.to_bytes(4, "big") + elements


def rgbx(rgb):
    out = bytearray(len(rgb) // 3 * 4)
    for c in range(3):
        out[c::4] = rgb[c::3]
    return bytes(out)


def write_data(d):
    vectors = {"u8": [], "rgb8": []}
    for i in range(BLOCKS):
        w, h, rgb = ppmpat(PATTERNS[i % len(PATTERNS)], i // len(PATTERNS) + 1, 256)
        vectors["u8"].append(stored(22, w, h, rgb[1::3]))
        vectors["rgb8"].append(stored(28, w, h, rgbx(rgb)))
    payloads = {}
    for kind, vs in vectors.items():
        open(os.path.join(d, "z_%s.bin" % kind), "wb").write(b"".join(vs))
        payloads[kind] = [bytes([v[1]]) + v for v in vs]
        open(os.path.join(d, "pay_%s.bin" % kind), "wb").write(b"".join(payloads[kind]))
    for side in (256, 2048):
        w, h, rgb = ppmpat("-camo", 7, side)
        open(os.path.join(d, "j_%d.ppm" % side), "wb").write(ct.ppm(w, h, rgb))
        open(os.path.join(d, "j_%d.bin" % side), "wb").write(stored(28, w, h, rgbx(rgb)))
    return payloads


def ours(build, d):
    return bench_seconds(os.path.join(build, "bench", "mxblock_bench"), {"MXBLOCK_BENCH_DATA": d})


def pigz(args, src):
    def run():
        with open(src, "rb") as f:
            subprocess.run([ct.tool("pigz"), *args], stdin=f, stdout=subprocess.DEVNULL, check=True)
    return best_of(3, run)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    d = tempfile.mkdtemp(prefix="mxblock_bench_", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        payloads = write_data(d)
        mine = ours(build, d)
        lines = []

        def row(what, ours_s, peer_s, peer):
            lines.append("%-40s ours %10.3f ms  %-12s %10.3f ms  ratio %.2f" % (
                what, ours_s * 1e3, peer, peer_s * 1e3, ours_s / peer_s))

        for kind in ("u8", "rgb8"):
            pay = payloads[kind]
            blocks = [zlib.compress(p, 7) for p in pay]
            what = "'z' 1000 x 256x256 %s" % kind
            row(what + " pack", mine["BM_ZEncode7/%s" % kind],
                best_of(3, lambda: [zlib.compress(p, 7) for p in pay]), "python zlib")
            src = os.path.join(d, "pay_%s.bin" % kind)
            row(what + " pack", mine["BM_ZEncode7/%s" % kind], pigz(["-z", "-p", "1", "-7", "-c"], src), "pigz -7")
            row(what + " read", mine["BM_ZDecode/%s" % kind],
                best_of(3, lambda: [zlib.decompress(b) for b in blocks]), "python zlib")
            packed = os.path.join(d, "pay_%s.zz" % kind)
            with open(src, "rb") as f, open(packed, "wb") as out:
                subprocess.run([ct.tool("pigz"), "-z", "-p", "1", "-7", "-c"], stdin=f, stdout=out, check=True)
            row(what + " read", mine["BM_ZDecode/%s" % kind], pigz(["-d", "-z", "-c"], packed), "pigz -d")
        for side in (256, 2048):
            comp, decomp = tjbench(os.path.join(d, "j_%d.ppm" % side))
            mp = side * side / 1e6
            row("'j' %dx%d rgb8 q80 pack" % (side, side), mine["BM_JEncode80/%d" % side], mp / comp, "tjbench")
            row("'j' %dx%d rgb8 read" % (side, side), mine["BM_JDecode/%d" % side], mp / decomp, "tjbench")
        print("\n".join(lines))
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
