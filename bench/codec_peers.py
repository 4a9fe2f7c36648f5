#!/usr/bin/env python3
"""The codecs next to their outside peers on the same files, like with
like, in pairs (ours, then the peer's): codec_peers.py BUILD-DIR (a release
build with the benchmarks, as `make bench` makes it). Every comparison ends
as a row of bench/table.py.

In process against in process (codec_bench's calls on data in memory):
zlib level 7 against Python's zlib (64-256 KiB blocks); JPEG at quality 80,
4:2:0, against tjbench's own timing (256x256 and 2048x2048); the
projection's rows of one latitude and the R64 level building, judged on
their own figures.

Whole process against whole process on the same files (bench/codec_driver
reads the input file, runs the codec once and writes the output file, as
the outside programs do): GIF decode of a 4096x4096 picture of 256 colours
against giftopnm; writing an 8192x8192 P6 read whole against cat of the
file; a new R64 file of an 8192x8192 P6 with all its levels (lofi and
hifi) against chains of `pamscale -reduce 2` and of ImageMagick's
`-scale 50%`, one process a level; GIF encoding of the 8192x8192 picture
against `pnmquant 256 | pamtogif` and ImageMagick's `-colors 256`; 10^6
"lon lat" lines projected to UTM zone 32 against cs2cs. ImageMagick runs
on one thread, as ours do, with resource limits raised past the
picture's size. write_ppm alone (codec_bench, the image already in memory)
is set against the same cat."""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "codec"))
import codec_tools as ct  # noqa: E402
import pairs  # noqa: E402


def best_of(n, fn):
    best = float("inf")
    for _ in range(n):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def per_call(fn, min_time=0.5):
    n, start = 0, time.perf_counter()
    while time.perf_counter() - start < min_time:
        fn()
        n += 1
    return (time.perf_counter() - start) / n


def write_data(d):
    image = ct.test_image(512, 512, 11, noise_bits=3)
    for k in (64, 128, 256):
        open(os.path.join(d, "zlib_%dk.bin" % k), "wb").write(image[:k * 1024])
    for side in (256, 2048):
        open(os.path.join(d, "jpeg_%d.ppm" % side), "wb").write(ct.ppm(side, side, ct.test_image(side, side, side)))
    # A 256-colour 4096 x 4096 picture for pamtogif.
    side = 4096
    rnd = random.Random(3)
    pal = [bytes(rnd.randrange(256) for _ in range(3)) for _ in range(256)]
    rows = []
    for y in range(side):
        base = bytes(((x // 16) * 5 + (y // 16) * 3) & 255 for x in range(0, side, 16))
        row = b"".join(bytes([b]) * 16 for b in base)
        noise = rnd.randbytes(side).translate(bytes(v & 3 for v in range(256)))
        rows.append((int.from_bytes(row, "big") ^ int.from_bytes(noise, "big")).to_bytes(side, "big"))
    idx = b"".join(rows)
    rgb = bytearray(len(idx) * 3)
    for c in range(3):
        rgb[c::3] = idx.translate(bytes(p[c] for p in pal))
    src = os.path.join(d, "gif_src.ppm")
    open(src, "wb").write(ct.ppm(side, side, rgb))
    with open(os.path.join(d, "gif_4096.gif"), "wb") as out:
        subprocess.run([ct.tool("pamtogif"), src], stdout=out, stderr=subprocess.DEVNULL, check=True)
    os.unlink(src)
    open(os.path.join(d, "ppm_8192.ppm"), "wb").write(ct.ppm(8192, 8192, random.Random(5).randbytes(8192 * 8192 * 3)))
    open(os.path.join(d, "raster_8192.ppm"), "wb").write(ct.ppm(8192, 8192, ct.test_image(8192, 8192, 7)))
    # Debian's ImageMagick policy refuses pictures of this size.
    os.makedirs(os.path.join(d, "magick"))
    open(os.path.join(d, "magick", "policy.xml"), "w").write(
        '<policymap><policy domain="resource" name="memory" value="4GiB"/>'
        '<policy domain="resource" name="map" value="4GiB"/><policy domain="resource" name="disk" value="8GiB"/>'
        '<policy domain="resource" name="area" value="1GP"/></policymap>')
    # 10^6 points over a zone, rows of one latitude, as the UTM import
    # projects them.
    with open(os.path.join(d, "points.txt"), "w") as f:
        f.writelines("%.9f %.9f\n" % (6 + 6.0 * i / 1000, -80 + 164.0 * j / 1000)
                     for j in range(1000) for i in range(1000))


def r64_level_count(w, h):
    """The coarser levels an R64 file of w x h has: they stop before the
    first whose halved side would be below 2."""
    n = 0
    while (w + 1) // 2 >= 2 and (h + 1) // 2 >= 2:
        n, w, h = n + 1, (w + 1) // 2, (h + 1) // 2
    return n


def bench_seconds(exe, env, pattern=None, min_time=0.5, repetitions=3):
    """Seconds per iteration of each benchmark of the program exe (those
    matching pattern), run with the environment variables env added; the
    best of the repetitions."""
    args = [exe, "--benchmark_format=json", "--benchmark_min_time=%g" % min_time,
            "--benchmark_repetitions=%d" % repetitions]
    if pattern:
        args.append("--benchmark_filter=" + pattern)
    out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True,
                         env=dict(os.environ, **env)).stdout
    res = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        name = b["name"].split("/real_time")[0]
        res[name] = min(res.get(name, float("inf")), b["real_time"] * scale)
    return res


def tjbench(path):
    out = subprocess.run([ct.tool("tjbench"), path, "80", "-subsamp", "420", "-benchtime", "2", "-warmup", "1",
                          "-quiet"], stdout=subprocess.PIPE, check=True).stdout.decode()
    row = [line.split() for line in out.splitlines() if line.strip() and line.split()[-1][0].isdigit()][-1]
    return float(row[-3]), float(row[-1])  # Mpixels/s compressing, decompressing


def have(name):
    try:
        return ct.tool(name)
    except AssertionError:
        return None


class Rows:
    """Our and the peer's seconds of each row over the pairs."""

    def __init__(self):
        self.meta, self.ours, self.theirs = {}, {}, {}

    def add(self, rid, meta, ours, theirs):
        self.meta[rid] = meta
        if isinstance(ours, str):  # a failure: the row says so
            self.ours[rid], self.theirs[rid] = ours, "-"
            return
        self.ours.setdefault(rid, []).append(ours)
        if isinstance(theirs, str):
            self.theirs[rid] = theirs
        else:
            self.theirs.setdefault(rid, []).append(theirs)

    def print(self):
        for rid, (path, peer, ours_does, peer_does, how, aim) in self.meta.items():
            pairs.row(rid, path, peer, ours_does, peer_does, how, aim, self.ours[rid], self.theirs[rid])


def in_process(build, d, rows):
    """The in-process rows: codec_bench's figures of one run, then the
    peers' own timing, REPEATS times."""
    exe = os.path.join(build, "bench", "codec_bench")
    python_zlib = "Python's zlib module, one call a block, timed in its process"
    tj = have("tjbench")
    data = {k: open(os.path.join(d, "zlib_%dk.bin" % k), "rb").read() for k in (64, 128, 256)}
    packed = {k: zlib.compress(v, 7) for k, v in data.items()}
    for _ in range(pairs.repeats()):
        mine = bench_seconds(exe, {"CODEC_BENCH_DATA": d}, "^BM_(Zlib|Jpeg|ProjectRows|R64LevelsLofi)", 0.2, 1)
        for k in (64, 128, 256):
            z, raw = packed[k], data[k]
            rows.add("codec.zlib.compress.%dk" % k, ("codec: zlib level 7 of a %d KiB block" % k, "Python zlib",
                     "zlib_compress, timed in process", python_zlib, "in process", "ratio<=1.1; within 1.1x"),
                     mine["BM_ZlibCompress7/%d" % k], per_call(lambda: zlib.compress(raw, 7), 0.2))
            rows.add("codec.zlib.uncompress.%dk" % k, ("codec: zlib inflate of a %d KiB block" % k, "Python zlib",
                     "zlib_uncompress, timed in process", python_zlib, "in process", "ratio<=1.1; within 1.1x"),
                     mine["BM_ZlibUncompress/%d" % k], per_call(lambda: zlib.decompress(z), 0.2))
        for side in (256, 2048):
            comp = decomp = pairs.missing("tjbench", "libjpeg-turbo-progs")
            if tj:
                c, u = tjbench(os.path.join(d, "jpeg_%d.ppm" % side))
                comp, decomp = side * side / 1e6 / c, side * side / 1e6 / u
            for what, key, peer_s in (("compress", "BM_JpegCompress80", comp), ("uncompress", "BM_JpegUncompress",
                                                                                  decomp)):
                rows.add("codec.jpeg.%s.%d" % (what, side), ("codec: JPEG %s, %dx%d, quality 80, 4:2:0" %
                                                            (what, side, side), "tjbench",
                         "jpeg_%s, timed in process" % what, "tjbench's own timing of libjpeg-turbo",
                         "in process", "ratio<=1.15; within 15%"), mine["%s/%d" % (key, side)], peer_s)
        rows.add("codec.utm.inprocess", ("codec: UTM projection of rows of one latitude, a point", "none (aim only)",
                 "utm2bl over 10^7 points in memory", "-", "in process", "ours<=50e-9; under 50 ns a point"),
                 mine["BM_ProjectRows/10000000"] / 1e7, "-")
        lofi = mine.get("BM_R64LevelsLofi8192")
        if lofi:
            rows.add("codec.r64.lofi.rate", ("codec: every coarser level of an 8192x8192 R64 file, 2x2 mean",
                                             "none (aim only)", "r64_new_level_lofi level by level, in process",
                                             "-", "in process", "ours<=2.013; 100 MB/s of level 0"), lofi, "-")


def whole_processes(build, d, rows):
    """The rows whose peer is a program: codec_driver against it."""
    driver = os.path.join(build, "bench", "codec_driver")
    magick_env = dict(os.environ, MAGICK_CONFIGURE_PATH=os.path.join(d, "magick"))
    out = os.path.join(d, "out")

    def fresh():
        for f in os.listdir(d):
            if f.startswith(("out", "peer_level")):
                os.unlink(os.path.join(d, f))

    def compare(rid, meta, ours, peer, tools):
        missing = [(t, pkg) for t, pkg in tools if not have(t)]
        try:
            if missing:
                for _ in range(pairs.repeats()):
                    fresh()
                    rows.add(rid, meta, ours(), pairs.missing(*missing[0]))
                return
            a, b = pairs.alternate(ours, peer, between=fresh)
            for x, y in zip(a, b):
                rows.add(rid, meta, x, y)
        except pairs.Failed as e:
            rows.add(rid, meta, "failed: %s" % e, "-")

    def chain(command):
        """Every coarser level made from the one below by command (SRC
        names its input; the output is on stdout), one process a level."""
        def run():
            src, took = os.path.join(d, "raster_8192.ppm"), 0.0
            for i in range(1, r64_level_count(8192, 8192) + 1):
                dst = os.path.join(d, "peer_level%d.ppm" % i)
                took += pairs.process([src if a == "SRC" else a for a in command], env=magick_env, stdout=dst)
                src = dst
            return took
        return run

    gif, raster, ppm = (os.path.join(d, f) for f in ("gif_4096.gif", "raster_8192.ppm", "ppm_8192.ppm"))
    compare("codec.gifdec", ("codec: GIF decode of a 4096x4096 picture of 256 colours to a P6 file", "giftopnm",
                             "codec_driver gifdec: gif_uncompress, write_ppm", "giftopnm", "processes",
                             "ratio<1; faster"),
            lambda: pairs.process([driver, "gifdec", gif, out + ".ppm"]),
            lambda: pairs.process([have("giftopnm") or "giftopnm", gif], stdout=out + ".ppm"), [("giftopnm", "netpbm")])
    compare("codec.ppm", ("codec: an 8192x8192 P6 file read whole and written again", "cat",
                          "codec_driver ppm: the file read, write_ppm", "cat of the file (copy_file_range, in the kernel)", "processes",
                          "-"),
            lambda: pairs.process([driver, "ppm", ppm, out + ".ppm"]),
            lambda: pairs.process(["cat", ppm], stdout=out + ".ppm"), [])
    # write_ppm alone, the image already in memory (codec_bench's own run,
    # which reads the file first, untimed), against the same cat.
    bench = os.path.join(build, "bench", "codec_bench")
    compare("codec.ppm.write", ("codec: an 8192x8192 image in memory written as a new P6 file", "cat",
                                "write_ppm, timed in process (codec_bench)",
                                "cat of the file (copy_file_range, in the kernel)", "in process against a process",
                                "ratio<=1.2; within 1.2x"),
            lambda: bench_seconds(bench, {"CODEC_BENCH_DATA": d}, "^BM_WritePpm8192", 0.2, 1)["BM_WritePpm8192"],
            lambda: pairs.process(["cat", ppm], stdout=out + ".ppm"), [])
    # cat copies file to file inside the kernel (copy_file_range); dd
    # passes the bytes through its own memory, as our reader and writer do.
    compare("codec.ppm.dd", ("codec: an 8192x8192 P6 file read whole and written again", "dd bs=128K",
                             "codec_driver ppm: the file read, write_ppm", "dd bs=128K: the bytes through its buffer",
                             "processes", "-"),
            lambda: pairs.process([driver, "ppm", ppm, out + ".ppm"]),
            lambda: pairs.process(["dd", "if=" + ppm, "of=" + out + ".ppm", "bs=128K", "status=none"]), [])
    for filt in ("lofi", "hifi"):
        what = "2x2 mean" if filt == "lofi" else "FFT filter"
        ours_run = (lambda f: lambda: pairs.process([driver, "r64", raster, out + ".r64", f]))(filt)
        for peer, cmd, tool, pkg in (("pamscale", [have("pamscale") or "pamscale", "-reduce", "2", "SRC"], "pamscale",
                                      "netpbm"),
                                     ("ImageMagick", [have("convert") or "convert", "-limit", "thread", "1", "SRC",
                                                      "-scale", "50%", "ppm:-"], "convert", "imagemagick")):
            compare("codec.r64.%s.%s" % (filt, "magick" if peer == "ImageMagick" else peer),
                    ("codec: an 8192x8192 P6 to every coarser level (%s)" % what, peer,
                     "codec_driver r64: a new R64 file of the P6 with all its levels (%s)" % filt,
                     "%s, one process a level, each reading the level below as PPM" %
                     " ".join(cmd[1:]).replace("SRC", "LEVEL").replace(" ppm:-", ""), "processes", "-"),
                    ours_run, chain(cmd), [(tool, pkg)])
    for peer, script, tools in (("pnmquant", 'pnmquant 256 "$SRC" | pamtogif > "$OUT"',
                                 [("pnmquant", "netpbm"), ("pamtogif", "netpbm")]),
                                ("ImageMagick", 'convert -limit thread 1 "$SRC" -colors 256 "$OUT"',
                                 [("convert", "imagemagick")])):
        env = dict(magick_env, SRC=raster, OUT=out + ".gif")
        compare("codec.gifenc.%s" % ("magick" if peer == "ImageMagick" else peer),
                ("codec: GIF encoding of an 8192x8192 P6 with noise, 256 colours", peer,
                 "codec_driver gifenc: the P6 read, gif_compress, the GIF written", script.replace('"', ""),
                 "processes", "ours<60; seconds, not minutes"),
                lambda: pairs.process([driver, "gifenc", raster, out + ".gif"]),
                (lambda e, s: lambda: pairs.shell(s, env=e))(env, script), tools)
    points = os.path.join(d, "points.txt")
    cs2cs = [have("cs2cs") or "cs2cs", "+proj=longlat", "+ellps=GRS80", "+to", "+proj=utm", "+zone=32", "+ellps=GRS80",
             "-f", "%.4f"]
    compare("codec.utm.points", ("codec: 10^6 lon lat lines to UTM zone 32 (GRS80), text in and out", "cs2cs",
                                 "codec_driver utm: strtod, utm2bl, %.4f", "cs2cs -f %.4f", "processes", "-"),
            lambda: pairs.process([driver, "utm", "32"], stdin=points, stdout=out + ".txt"),
            lambda: pairs.process(cs2cs, stdin=points, stdout=out + ".txt"), [("cs2cs", "proj-bin")])
    check_outputs(driver, d, gif, ppm, points, cs2cs)


def check_outputs(driver, d, gif, ppm, points, cs2cs):
    """Once, untimed: the drivers' outputs against the peers' where they
    must agree."""
    out = os.path.join(d, "check")
    notes = []
    try:
        if have("giftopnm"):
            pairs.process([driver, "gifdec", gif, out + "1"])
            pairs.process([have("giftopnm"), gif], stdout=out + "2")
            notes.append("GIF decode %s giftopnm's" % ("equals" if same(out + "1", out + "2") else "DIFFERS from"))
        pairs.process([driver, "ppm", ppm, out + "1"])
        notes.append("the written P6 %s its input" % ("equals" if same(out + "1", ppm) else "DIFFERS from"))
        if have("cs2cs"):
            pairs.process([driver, "utm", "32"], stdin=points, stdout=out + "1")
            pairs.process(cs2cs, stdin=points, stdout=out + "2")
            far = worst_distance(out + "1", out + "2")
            notes.append("projected points at most %.3g m from cs2cs's" % far)
    except pairs.Failed as e:
        notes.append(str(e))
    print("codec checks: " + "; ".join(notes), flush=True)


def same(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        return f.read() == g.read()


def worst_distance(ours, theirs):
    """The largest distance between our X Y (northing, easting) and cs2cs's
    easting northing lines; inf when the counts differ."""
    with open(ours) as f, open(theirs) as g:
        a, b = f.read().split("\n"), g.read().split("\n")
    if len(a) != len(b):
        return float("inf")
    worst = 0.0
    for x, y in zip(a, b):
        if not x:
            continue
        n, e = (float(v) for v in x.split()[:2])
        e2, n2 = (float(v) for v in y.split()[:2])
        worst = max(worst, ((n - n2) ** 2 + (e - e2) ** 2) ** 0.5)
    return worst


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    d = tempfile.mkdtemp(prefix="codec_bench_", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        write_data(d)
        rows = Rows()
        in_process(build, d, rows)
        whole_processes(build, d, rows)
        rows.print()
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
