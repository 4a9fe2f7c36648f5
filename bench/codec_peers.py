#!/usr/bin/env python3
"""Runs the codec benchmarks next to their outside peers on the same data
and prints the ratios: codec_peers.py BUILD-DIR (a release build with the
benchmarks, as `make bench` makes it).

Peers: Python's zlib (level 7, 64-256 KiB blocks), tjbench (256x256 and
2048x2048 at quality 80, 4:2:0), giftopnm (4096x4096, 256 colours), cat (an
8192x8192 P6 file), cs2cs (rows of constant latitude, UTM zone 32); on an
8192x8192 picture with noise, `pamscale -reduce 2` and ImageMagick's
`-scale 50%` level by level (R64 levels), `pnmquant 256 | pamtogif` and
ImageMagick's `-colors 256` (GIF encoding). ImageMagick runs on one thread,
as ours do, with resource limits raised past the picture's size."""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "codec"))
import codec_tools as ct  # noqa: E402


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


def r64_level_count(w, h):
    """The levels an R64 file of w x h has: they stop before the first whose
    halved side would be below 2."""
    n = 0
    while (w + 1) // 2 >= 2 and (h + 1) // 2 >= 2:
        n, w, h = n + 1, (w + 1) // 2, (h + 1) // 2
    return n


def level_chain(d, command):
    """Seconds to make every coarser level from the one below with command
    (a list naming its input SRC, writing the output on stdout)."""
    env = dict(os.environ, MAGICK_CONFIGURE_PATH=os.path.join(d, "magick"))

    def run():
        src = os.path.join(d, "raster_8192.ppm")
        for i in range(1, r64_level_count(8192, 8192)):
            dst = os.path.join(d, "peer_level%d.ppm" % i)
            with open(dst, "wb") as out:
                args = [src if a == "SRC" else a for a in command]
                subprocess.run(args, stdout=out, stderr=subprocess.DEVNULL, check=True, env=env)
            src = dst
    return best_of(2, run)


def gif_peer(d, shell):
    env = dict(os.environ, MAGICK_CONFIGURE_PATH=os.path.join(d, "magick"), SRC=os.path.join(d, "raster_8192.ppm"),
               OUT=os.path.join(d, "peer.gif"))
    return best_of(1, lambda: subprocess.run(["sh", "-c", shell], stderr=subprocess.DEVNULL, check=True, env=env))


def ours(build, d):
    return bench_seconds(os.path.join(build, "bench", "codec_bench"), {"CODEC_BENCH_DATA": d})


def bench_seconds(exe, env):
    """Seconds per iteration of each benchmark of the program exe, run with
    the environment variables env added."""
    # The best of three repetitions, as the peers' times are.
    out = subprocess.run([exe, "--benchmark_format=json", "--benchmark_min_time=0.5", "--benchmark_repetitions=3"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True,
                         env=dict(os.environ, **env)).stdout
    res = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate":
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


def cs2cs_seconds_per_point(d, rows=1000, cols=1000):
    pts = "".join("%.9f %.9f\n" % (6 + 6.0 * i / cols, -80 + 164.0 * j / rows) for j in range(rows) for i in range(cols))
    path = os.path.join(d, "points.txt")
    open(path, "w").write(pts)
    args = [ct.tool("cs2cs"), "+proj=longlat", "+ellps=GRS80", "+to", "+proj=utm", "+zone=32", "+ellps=GRS80",
            "-f", "%.4f"]

    def run():
        with open(path) as f:
            subprocess.run(args, stdin=f, stdout=subprocess.DEVNULL, check=True)
    return best_of(2, run) / (rows * cols)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    d = tempfile.mkdtemp(prefix="codec_bench_", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        write_data(d)
        mine = ours(build, d)
        lines = []

        def row(what, ours_s, peer_s, peer):
            lines.append("%-44s ours %10.3f ms  %-10s %10.3f ms  ratio %.2f" % (
                what, ours_s * 1e3, peer, peer_s * 1e3, ours_s / peer_s))

        for k in (64, 128, 256):
            data = open(os.path.join(d, "zlib_%dk.bin" % k), "rb").read()
            z = zlib.compress(data, 7)
            row("zlib compress level 7, %d KiB" % k, mine["BM_ZlibCompress7/%d" % k],
                per_call(lambda: zlib.compress(data, 7)), "python")
            row("zlib uncompress, %d KiB" % k, mine["BM_ZlibUncompress/%d" % k],
                per_call(lambda: zlib.decompress(z)), "python")
        for side in (256, 2048):
            comp, decomp = tjbench(os.path.join(d, "jpeg_%d.ppm" % side))
            mp = side * side / 1e6
            row("JPEG compress q80, %dx%d" % (side, side), mine["BM_JpegCompress80/%d" % side], mp / comp, "tjbench")
            row("JPEG uncompress, %dx%d" % (side, side), mine["BM_JpegUncompress/%d" % side], mp / decomp, "tjbench")
        gif = os.path.join(d, "gif_4096.gif")

        def giftopnm():
            subprocess.run([ct.tool("giftopnm"), gif], stdout=subprocess.DEVNULL, check=True)
        row("GIF decode 4096x4096", mine["BM_GifUncompress4096"], best_of(3, giftopnm), "giftopnm")
        src, dst = os.path.join(d, "ppm_8192.ppm"), os.path.join(d, "cat_out.ppm")

        def cat():
            with open(dst, "wb") as out:
                subprocess.run(["cat", src], stdout=out, check=True)

        def fresh_cat():
            if os.path.exists(dst):
                os.unlink(dst)
            return best_of(1, cat)
        row("write_ppm 8192x8192", mine["BM_WritePpm8192"], min(fresh_cat() for _ in range(3)), "cat")

        # cat copies file to file inside the kernel; dd passes the bytes
        # through its own memory, as a writer of an image in memory does.
        def dd():
            if os.path.exists(dst):
                os.unlink(dst)
            return best_of(1, lambda: subprocess.run(["dd", "if=" + src, "of=" + dst, "bs=128K", "status=none"],
                                                      check=True))
        row("write_ppm 8192x8192", mine["BM_WritePpm8192"], min(dd() for _ in range(3)), "dd bs=128K")
        pamscale = level_chain(d, [ct.tool("pamscale"), "-reduce", "2", "SRC"])
        magick = level_chain(d, [ct.tool("convert"), "-limit", "thread", "1", "SRC", "-scale", "50%", "ppm:-"])
        for name, ours_s in (("R64 all levels 8192x8192, 2x2 mean", mine["BM_R64LevelsLofi8192"]),
                             ("R64 all levels 8192x8192, FFT filter", mine["BM_R64LevelsHifi8192"])):
            row(name, ours_s, pamscale, "pamscale")
            row(name, ours_s, magick, "magick")
        lines.append("%-44s ours %10.1f MB/s of level 0" % ("R64 all levels, 2x2 mean",
                                                             8192 * 8192 * 3 / mine["BM_R64LevelsLofi8192"] / 1e6))
        row("GIF encode 8192x8192", mine["BM_GifCompress8192"],
            gif_peer(d, 'pnmquant 256 "$SRC" | pamtogif > "$OUT"'), "pnmquant")
        row("GIF encode 8192x8192", mine["BM_GifCompress8192"],
            gif_peer(d, 'convert -limit thread 1 "$SRC" -colors 256 "$OUT"'), "magick")
        per_point = mine["BM_ProjectRows/10000000"] / 1e7
        lines.append("%-44s ours %10.1f ns  %-10s %10.1f ns  ratio %.3f" % (
            "projection, rows of one latitude, per point", per_point * 1e9, "cs2cs", cs2cs_seconds_per_point(d) * 1e9,
            per_point / cs2cs_seconds_per_point(d)))
        lines.append("%-44s ours %10.1f ns" % ("projection, random points, per point", mine["BM_ProjectRandom"] * 1e9))
        print("\n".join(lines))
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
