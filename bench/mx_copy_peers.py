#!/usr/bin/env python3
"""Runs the scan and copy benchmark next to its outside peers in the same run
and prints the ratios: mx_copy_peers.py BUILD-DIR [SIDE...] (a release build
with the benchmarks, as `make bench` makes it; side 16384 by default, the
256-MPixel matrix of mx_file_peers.py).

mx_copy_bench writes the source matrix (level 0 of a SIDE x SIDE uint8
matrix in 256 x 256 nodes, every node in its parent) and prints its own
in-process figures: the write, a scan in nodes per second (a trivial script
per node, each waited for) and matrix_copy. The rows are pairs of whole
processes (QNMX_BENCH_REPEATS pairs, 5 by default): a qnmx process copying
every node of the source into a new matrix file with qmxCopy (closing it
syncs the file), against `cp` of the source matrix file and, apart,
against `gdal_translate` copying a GeoTIFF of the same pixels in 256 x 256
tiles into another tiled GeoTIFF; each peer's output is synced."""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pairs  # noqa: E402


def pgm(path, side):
    """The benchmark's pixels, (x*7 + y*13 + ((x^y) >> 3)) & 255, as a PGM."""
    import numpy as np
    xs = np.arange(side, dtype=np.int64)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (side, side))
        for y in range(side):
            f.write(((xs * 7 + y * 13 + ((xs ^ y) >> 3)) & 255).astype(np.uint8).tobytes())


PHASES = ('(qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
          '(mxLoad target="file-n-create")) (qmxPhase area="4" type="equ" equ="3") '
          '(qmxPhase area="5" type="equ" equ="3") (qmxPhase area="21" (mxSave)) '
          '(qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" type="equ" equ="21")')


def copy_script(side):
    """The qnmx script of our side: the source matrix opened, a new matrix of
    the same shape, every node of channel 0 copied with qmxCopy, both
    closed."""
    dims = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="8") '
                    f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    return "\n".join([f'(qmxCreate filename="src.mx" activePhase_mode="direct" {PHASES})',
                      '(qmxCreate filename="copy.mx" activePhase_mode="direct" '
                      f'(qmxMatrixParam channel_nos="1" dim="2") {dims} '
                      f'(qmxChannelInfo channel="0" type="uint8_v" file="on") {PHASES})',
                      '(qmxCopy src="1" dest="2" 0)', '(qmxClose id="2")', '(qmxClose id="1")']) + "\n"


def check_copy(qnmx, d, side):
    """Whether a few points of the copy hold the benchmark's pixels."""
    pts = [(5, 7), (side // 2 + 3, side - 1), (side - 1, 3), (side // 3, side // 5)]
    with open(os.path.join(d, "check.zu"), "w") as f:
        f.write('(qmxGetPoint "copy.mx" (quote (%s)))\n' % " ".join("(0 %d %d)" % p for p in pts))
    out = subprocess.run([qnmx, "check.zu", "-"], cwd=d, capture_output=True, text=True).stdout
    want = " ".join("((0 %d))" % ((x * 7 + y * 13 + ((x ^ y) >> 3)) & 255) for x, y in pts)
    return "(%s)" % want in out


def compare(rid, peer, peer_does, ours, theirs, path):
    try:
        a, b = pairs.alternate(ours, theirs)
    except pairs.Failed as e:
        pairs.row(rid, path, peer, OURS_DOES, peer_does, "processes", "-", "failed: %s" % e, "-")
        return None
    pairs.row(rid, path, peer, OURS_DOES, peer_does, "processes", "-", a, b)
    return statistics.median(a), statistics.median(b), statistics.median(x / y for x, y in zip(a, b))


OURS_DOES = "a qnmx process: the matrix opened, a new one, qmxCopy of every node, both closed (synced)"


def main(argv):
    pairs.numpy()
    build = argv[0] if argv else "build/bench"
    sides = [int(a) for a in argv[1:]] or [16384]
    bench = os.path.join(build, "bench", "mx_copy_bench")
    for tool in ("gdal_translate", "cp"):
        if not shutil.which(tool):
            sys.exit("mx_copy_peers: %s is missing (scripts/setup.sh installs gdal-bin)" % tool)
    tile = ["-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256"]
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    with tempfile.TemporaryDirectory(prefix="mxcopy", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        env = dict(os.environ, STD_CODE="UTF-8", HOME=d)
        env.pop("QNMX_TRACE", None)

        def remove(*names):
            pairs.remove(d, *names)

        def ours():
            remove("copy.mx", "copy.out")
            return pairs.script(qnmx, "copy.zu", "copy.out", d, env, "the copy script")

        def cp():
            remove("cp.mx")
            t = pairs.process(["cp", "src.mx", "cp.mx"], cwd=d)
            return t + pairs.process(["sync", "cp.mx"], cwd=d)

        def gdal():
            remove("out.tif")
            t = pairs.process(["gdal_translate", "-q"] + tile + ["in.tif", "out.tif"], cwd=d)
            return t + pairs.process(["sync", "out.tif"], cwd=d)

        for side in sides:
            # mx_copy_bench leaves the source matrix (level 0 written, every
            # node in its parent) and prints its own figures, in process.
            out = subprocess.run([bench, d, str(side)], check=True, capture_output=True, text=True).stdout
            mine = json.loads(out.strip().splitlines()[-1])
            with open(os.path.join(d, "copy.zu"), "w") as f:
                f.write(copy_script(side))
            ours()  # the first open stores the scripts in the source's header: later runs leave it alone
            src = os.path.join(d, "in.pgm")
            pgm(src, side)
            subprocess.run(["gdal_translate", "-q"] + tile + [src, os.path.join(d, "in.tif")], check=True)
            mp = side * side / 2**20
            path = "a %dx%d uint8 matrix (%.0f MPixel), every node copied" % (side, side, mp)
            rows = {}
            rows["cp"] = compare("mx_copy.cp", "cp", "cp of the matrix file, sync of the copy", ours, cp, path)
            rows["gdal"] = compare("mx_copy.gdal", "gdal_translate",
                                   "gdal_translate of a tiled GeoTIFF of the same pixels to another, sync",
                                   ours, gdal, path)
            good = check_copy(qnmx, d, side)
            remove("src.mx", "copy.mx", "cp.mx", "in.pgm", "in.tif", "out.tif")
            print("%5d^2 (%.0f MPixel, %d nodes, file %.0f MiB): level-0 write %.2f s" %
                  (side, mp, mine["nodes"], mine["file_bytes"] / 2**20, mine["write_s"]))
            print("        in process: scan %.3f s = %.0f nodes/s; matrix_copy %.3f s" %
                  (mine["scan_s"], mine["nodes"] / mine["scan_s"], mine["copy_s"]))
            for name, label in (("cp", "cp"), ("gdal", "gdal_translate tiled GeoTIFF")):
                if rows[name]:
                    print("        processes, medians of the pairs: qnmx qmxCopy %.3f s; %s %.3f s (ratio %.2f)" %
                          (rows[name][0], label, rows[name][1], rows[name][2]))
            print("        the copy holds the source's pixels: %s" % good)


if __name__ == "__main__":
    main(sys.argv[1:])
