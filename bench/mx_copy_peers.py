#!/usr/bin/env python3
"""Runs the scan and copy benchmark next to its outside peers in the same run
and prints the ratios: mx_copy_peers.py BUILD-DIR [SIDE...] (a release build
with the benchmarks, as `make bench` makes it; side 16384 by default, the
256-MPixel matrix of mx_file_peers.py).

matrix_copy of every stored node into a new matrix file is set next to `cp`
of the source matrix file and next to `gdal_translate` copying a GeoTIFF of
the same pixels in 256 x 256 tiles into another tiled GeoTIFF; the scan is
reported in nodes per second (a trivial script per node, each waited for)."""
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
    sides = [int(a) for a in argv[1:]] or [16384]
    bench = os.path.join(build, "bench", "mx_copy_bench")
    for tool in ("gdal_translate", "cp"):
        if not shutil.which(tool):
            sys.exit("mx_copy_peers: %s is missing (scripts/setup.sh installs gdal-bin)" % tool)
    tile = ["-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256"]
    with tempfile.TemporaryDirectory(prefix="mxcopy", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        for side in sides:
            out = subprocess.run([bench, d, str(side)], check=True, capture_output=True, text=True).stdout
            ours = json.loads(out.strip().splitlines()[-1])
            cp = timed(["cp", os.path.join(d, "src.mx"), os.path.join(d, "copy.mx")])
            src = os.path.join(d, "in.pgm")
            pgm(src, side)
            subprocess.run(["gdal_translate", "-q"] + tile + [src, os.path.join(d, "in.tif")], check=True)
            gt = timed(["gdal_translate", "-q"] + tile + [os.path.join(d, "in.tif"), os.path.join(d, "out.tif")])
            for f in ("src.mx", "copy.mx", "in.pgm", "in.tif", "out.tif"):
                os.unlink(os.path.join(d, f))
            print("%5d^2 (%.0f MPixel, %d nodes, file %.0f MiB): level-0 write %.2f s" %
                  (side, side * side / 2**20, ours["nodes"], ours["file_bytes"] / 2**20, ours["write_s"]))
            print("        scan %.3f s = %.0f nodes/s" % (ours["scan_s"], ours["nodes"] / ours["scan_s"]))
            print("        matrix_copy %.3f s; cp %.3f s (copy / cp = %.1f); gdal_translate tiled GeoTIFF %.3f s "
                  "(copy / gdal_translate = %.2f)" % (ours["copy_s"], cp, ours["copy_s"] / cp, gt, ours["copy_s"] / gt))


if __name__ == "__main__":
    main(sys.argv[1:])
