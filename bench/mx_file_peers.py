#!/usr/bin/env python3
"""Runs the matrix-file benchmark next to its outside peers on the same
pixels and prints the ratios: mx_file_peers.py BUILD-DIR [SIDE...] (a release
build with the benchmarks, as `make bench` makes it; sides 1024 4096 16384
32768 by default, that is 1, 16 and 256 MPixel and 1 GPixel).

For each side: our level-0 write next to `cp` of a PGM file of the same
pixels (aim: within 3x; also given without the fdatasync that ends ours,
as cp syncs nothing); our level 0 and every coarser level (2 x 2 means)
next to GDAL, `gdal_translate` of that PGM to a GeoTIFF of 256 x 256 tiles
and then `gdaladdo -r average` over the same levels (aim: at most GDAL's
time); seconds per pixel at each size and the ratios of the largest size to
1 and to 16 MPixel (aim: at most 1.5); peak RSS, and what it grew by over
the smallest size's next to what the caches may hold (the record store's
page cache and the node cache), which bound it whatever the picture's
size; random points per second."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time


def pgm(path, side):
    """The benchmark's pixels, (x*7 + y*13 + ((x^y) >> 3)) & 255, as a PGM."""
    import numpy as np
    xs = np.arange(side, dtype=np.int64)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (side, side))
        for y in range(side):
            f.write(((xs * 7 + y * 13 + ((xs ^ y) >> 3)) & 255).astype(np.uint8).tobytes())


def timed(cmd):
    t = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t


def main(argv):
    try:
        import numpy  # noqa: F401
    except ImportError:  # Debian's own python3 has it (python3-numpy)
        if sys.executable != "/usr/bin/python3":
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        raise
    build = argv[0] if argv else "build/bench"
    sides = [int(a) for a in argv[1:]] or [1024, 4096, 16384, 32768]
    bench = os.path.join(build, "bench", "mx_file_bench")
    for tool in ("gdal_translate", "gdaladdo", "cp"):
        if not shutil.which(tool):
            sys.exit("mx_file_peers: %s is missing (scripts/setup.sh installs gdal-bin)" % tool)
    per_pixel = {}
    base_rss = None
    with tempfile.TemporaryDirectory(prefix="mxbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        for side in sides:
            src = os.path.join(d, "in.pgm")
            pgm(src, side)
            out = subprocess.run([bench, d, str(side)], check=True, capture_output=True, text=True).stdout
            ours = json.loads(out.strip().splitlines()[-1])
            cp = timed(["cp", src, os.path.join(d, "copy.pgm")])
            tif = os.path.join(d, "out.tif")
            gt = timed(["gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256",
                        "-co", "BLOCKYSIZE=256", src, tif])
            factors = [str(1 << k) for k in range(1, ours["levels"])]
            ga = timed(["gdaladdo", "-q", "-r", "average", tif] + factors)
            for f in ("copy.pgm", "out.tif", "in.pgm"):
                os.unlink(os.path.join(d, f))
            pixels = side * side
            mine = ours["write0_s"] + ours["pyramid_s"]
            per_pixel[side] = mine / pixels
            rss = ours["peak_rss_kb"] / 1024
            base_rss = rss if base_rss is None else base_rss
            caches = (ours["page_cache_kb"] + ours["node_cache_kb"]) / 1024
            print("%5d^2 (%7.1f MPixel): write %.3f s (its sync %.3f s) + levels %.3f s = %.3e s/pixel; read %.3f s; "
                  "peak RSS %.0f MiB, %.0f above the first size's (the caches hold up to %.0f: pages %.0f, "
                  "nodes for a target of %d); %.2e random points/s" %
                  (side, pixels / 2**20, ours["write0_s"], ours["sync0_s"], ours["pyramid_s"], mine / pixels,
                   ours["read_s"],
                   rss, rss - base_rss, caches, ours["page_cache_kb"] / 1024, ours["node_target"],
                   ours["points_per_s"]))
            print("        cp %.3f s (level-0 write / cp = %.2f, without its sync %.2f); GDAL translate %.3f s + "
                  "addo %.3f s = %.3f s (ours / GDAL = %.2f)" %
                  (cp, ours["write0_s"] / cp, (ours["write0_s"] - ours["sync0_s"]) / cp, gt, ga, gt + ga,
                   mine / (gt + ga)))
    big = max(per_pixel)
    for base in (1024, 4096):
        if base in per_pixel and big != base:
            print("per-pixel time %d^2 / %d^2 = %.2f" % (big, base, per_pixel[big] / per_pixel[base]))


if __name__ == "__main__":
    main(sys.argv[1:])
