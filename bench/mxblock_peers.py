#!/usr/bin/env python3
"""The block formats next to their outside peers on the same data, in
pairs (ours, then the peer's): mxblock_peers.py BUILD-DIR (a release build
with the benchmarks, as `make bench` makes it). The rows end in
bench/table.py's table; the ratios of every comparison, the fastest of the
pairs, are printed besides.

'z' blocks: 1,000 blocks of 256 x 256 made with ppmpat (ten patterns, a
hundred seeds each), as uint8_v (the green plane) and as rgb8_v; ours pack
each vector (its stored form behind the type byte, deflated at level 7) and
read it back, timed in process (mxblock_bench); the peers deflate and
inflate the same payloads: Python's zlib one block at a time, timed in
this process (the rows), and `pigz -z -p 1 -7` all of them as one stream
(a whole process, printed only).
'j' blocks: ppmpat camouflage pictures of 256 x 256 and 2048 x 2048 as
rgb8_v at quality 80, next to tjbench's own timing on the same pixels
(4:2:0, as the library's defaults give).

A pair is one run of mxblock_bench (every benchmark once), then the peers'
timings, pairs.repeats() times."""
import os
import shutil
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "codec"))
import codec_tools as ct  # noqa: E402
import pairs  # noqa: E402
from codec_peers import Rows, bench_seconds, best_of, have, per_call, tjbench  # noqa: E402

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


def pigz(args, src):
    def run():
        with open(src, "rb") as f:
            subprocess.run([ct.tool("pigz"), *args], stdin=f, stdout=subprocess.DEVNULL, check=True)
    return best_of(3, run)


def paired(build, d, payloads, rows):
    """The rows' pairs: one run of mxblock_bench, then the peers'
    timings, REPEATS times. Returns our figures and the Python zlib
    inflate times of each pair, for the printed comparisons."""
    exe = os.path.join(build, "bench", "mxblock_bench")
    python_zlib = "zlib.compress(level 7), one call a block, timed in its process"
    blocks = {kind: [zlib.compress(p, 7) for p in pay] for kind, pay in payloads.items()}
    tj = have("tjbench")
    mine, inflate = [], {kind: [] for kind in payloads}
    for _ in range(pairs.repeats()):
        ours = bench_seconds(exe, {"MXBLOCK_BENCH_DATA": d}, None, 0.2, 1)
        mine.append(ours)
        for kind, pay in payloads.items():
            name = "uint8" if kind == "u8" else kind
            rows.add("mxblock.z.%s.pack" % kind,
                     ("matrix blocks: 'z' coding of 1000 %s blocks of 256x256" % name, "Python zlib",
                      "the block codec at level 7, timed in process (mxblock_bench)", python_zlib, "in process",
                      "ratio<=1.1; at most 1.1x Python"),
                     ours["BM_ZEncode7/%s" % kind], per_call(lambda: [zlib.compress(p, 7) for p in pay], 0.2))
            inflate[kind].append(per_call(lambda: [zlib.decompress(b) for b in blocks[kind]], 0.2))
        for side in (256, 2048):
            comp = decomp = pairs.missing("tjbench", "libjpeg-turbo-progs")
            if tj:
                c, u = tjbench(os.path.join(d, "j_%d.ppm" % side))
                comp, decomp = side * side / 1e6 / c, side * side / 1e6 / u
            aim = "ratio<=1.15; at most 1.15x"
            rows.add("mxblock.j.%d.pack" % side,
                     ("matrix blocks: 'j' coding of a %dx%d rgb8 image, quality 80" % (side, side), "tjbench",
                      "the block codec, timed in process (mxblock_bench)",
                      "tjbench's own timing of compressing (4:2:0)", "in process", aim),
                     ours["BM_JEncode80/%d" % side], comp)
            rows.add("mxblock.j.%d.read" % side,
                     ("matrix blocks: 'j' block of a %dx%d rgb8 image read back" % (side, side), "tjbench",
                      "the block codec, a new rgb8_v each time, timed in process (mxblock_bench)",
                      "tjbench's own timing of decompressing", "in process", aim),
                     ours["BM_JDecode/%d" % side], decomp)
    return mine, inflate


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    d = tempfile.mkdtemp(prefix="mxblock_bench_", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        payloads = write_data(d)
        rows = Rows()
        runs, inflate = paired(build, d, payloads, rows)
        mine = {name: min(r[name] for r in runs) for name in runs[0]}
        lines = []

        def row(what, ours_s, peer_s, peer):
            lines.append("%-40s ours %10.3f ms  %-12s %10.3f ms  ratio %.2f" % (
                what, ours_s * 1e3, peer, peer_s * 1e3, ours_s / peer_s))

        for kind in ("u8", "rgb8"):
            what = "'z' 1000 x 256x256 %s" % kind
            pack = rows.ours["mxblock.z.%s.pack" % kind], rows.theirs["mxblock.z.%s.pack" % kind]
            row(what + " pack", min(pack[0]), min(pack[1]), "python zlib")
            row(what + " read", mine["BM_ZDecode/%s" % kind], min(inflate[kind]), "python zlib")
            if not have("pigz"):
                continue
            src = os.path.join(d, "pay_%s.bin" % kind)
            row(what + " pack", mine["BM_ZEncode7/%s" % kind], pigz(["-z", "-p", "1", "-7", "-c"], src), "pigz -7")
            packed = os.path.join(d, "pay_%s.zz" % kind)
            with open(src, "rb") as f, open(packed, "wb") as out:
                subprocess.run([ct.tool("pigz"), "-z", "-p", "1", "-7", "-c"], stdin=f, stdout=out, check=True)
            row(what + " read", mine["BM_ZDecode/%s" % kind], pigz(["-d", "-z", "-c"], packed), "pigz -d")
        for side in (256, 2048):
            for what, rid in (("q80 pack", "pack"), ("read", "read")):
                theirs = rows.theirs["mxblock.j.%d.%s" % (side, rid)]
                if not isinstance(theirs, str):
                    row("'j' %dx%d rgb8 %s" % (side, side, what), min(rows.ours["mxblock.j.%d.%s" % (side, rid)]),
                        min(theirs), "tjbench")
        print("\n".join(lines), flush=True)
        rows.print()
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
