#!/usr/bin/env python3
"""qmxScan over an 8192 x 8192 rgb8 matrix next to gdaladdo, same run:
mx_scan_peers.py BUILD-DIR [SIDE] (a release build with the benchmarks, as
`make bench` makes it).

The fill agent (tests/agent/driver/fill_agent.cc: qnmx with test built-ins)
fills level 0 of a matrix in 256 x 256 nodes with a known pattern, closes it,
opens it again and scans the whole area twice from a ZU script: once firing
a no-op script on every stored node, once firing the save scripts that
thin every coarser node by mean from its four children and store it
(children before parents, so the pyramid is built bottom-up; level 0 is
already stored and has no save script). Nodes per second count every node
of every level. The peer is `gdaladdo -r average` building every overview
level of a GeoTIFF in 256 x 256 tiles holding the same pixels. Level 3 of
the result is compared with a numpy model of 2 x 2 means (truncated) and
with GDAL's level-3 overview (which rounds).

The row is pairs of whole processes, ours then GDAL's (QNMX_BENCH_REPEATS
pairs, 5 by default), each from its own copy of level 0 made once and
copied back before each run (untimed): ours a qnmx process that opens a
matrix holding level 0 (imported from the PPM of the pattern), scans the
whole area with the thinning save scripts and closes it; GDAL's gdaladdo
-r average over a tiled GeoTIFF of the same pixels. The level-3 check is
of the last of our runs."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pairs  # noqa: E402

SCRIPTS = ('(qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
           '(mxLoad target="file-n-create")) (qmxPhase area="4" type="equ" equ="3") '
           '(qmxPhase area="5" type="equ" equ="3")')
THIN = '(mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) (mxSave)'


def script(side):
    sizes = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="8") '
                     f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    create = (f'(qmxCreate filename="b.mx" (qmxMatrixParam channel_nos="1" dim="2") {sizes} '
              f'(qmxChannelInfo channel="0" type="rgb8_v" file="on") {SCRIPTS} (qmxPhase area="21" (mxSave)) '
              '(qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" type="equ" equ="21"))')
    reopen = (f'(qmxCreate filename="b.mx" {SCRIPTS} (qmxPhase area="6" (quote 1)) '
              f'(qmxPhase area="7" type="equ" equ="6") (qmxPhase area="8" type="equ" equ="6") '
              f'(qmxPhase area="21" {THIN}) (qmxPhase area="22" type="equ" equ="21"))')
    box = f"(List 0 0 0) (List 0 {side - 1} {side - 1})"
    return [create, "(define t0 (TestClock))", '(TestFill id="1" channel="0")', "(define t1 (TestClock))",
            '(qmxClose id="1")', "(define t2 (TestClock))", reopen, "(define t3 (TestClock))",
            f'(qmxScan id="2" area="6" {box})', "(define t4 (TestClock))", f'(qmxScan id="2" area="21" {box})',
            "(define t5 (TestClock))", '(qmxClose id="2")', "(define t6 (TestClock))",
            '(qmxCreate filename="b.mx" readphase="-1")', '(TestDump id="3" channel="0" level="3" "l3.raw")',
            "(List (- t1 t0) (- t2 t1) (- t4 t3) (- t5 t4) (- t6 t5))"]


def create(side, save):
    sizes = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="8") '
                     f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    return (f'(qmxCreate filename="b.mx" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") {sizes} '
            f'(qmxChannelInfo channel="0" type="rgb8_v" file="on") {SCRIPTS} (qmxPhase area="21" {save}) '
            '(qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" type="equ" equ="21"))')


def process_scripts(side):
    """The scripts of the paired runs: level 0 imported from the PPM into
    a new matrix (made once, untimed); the thinning scan over the stored
    matrix, a qnmx process; level 3 exported for the check."""
    box = f"(List 0 0 0) (List 0 {side - 1} {side - 1})"
    reopen = (f'(qmxCreate filename="b.mx" activePhase_mode="direct" {SCRIPTS} (qmxPhase area="21" {THIN}) '
              '(qmxPhase area="22" type="equ" equ="21"))')
    return {"level0": [create(side, "(mxSave)"), '(qmxImportPNM id="1" "in.ppm" 0 0 0 0)', '(qmxClose id="1")'],
            "thin": [reopen, f'(qmxScan id="1" area="21" {box})', '(qmxClose id="1")'],
            "export": ['(qmxCreate filename="b.mx" currentPhase_mode="direct")', '(qmxExportPNM id="1" "l3.ppm" 0 3)']}


def nodes(side, block=256):
    """Stored nodes of every level: each level halves, down to one pixel."""
    total, extent = 0, side
    while True:
        per_dim = max(1, -(-extent // block))
        total += per_dim * per_dim
        if extent == 1:
            return total
        extent = max(1, extent // 2)


def pattern(np, side):
    x = np.arange(side, dtype=np.int64)[None, :]
    y = np.arange(side, dtype=np.int64)[:, None]
    return np.stack([(x * 7 + y * 13 + ((x ^ y) >> 3)) & 255, (x + 3 * y) & 255, ((x * y) >> 5) & 255], -1)


def main(argv):
    np = pairs.numpy()
    build = argv[0] if argv else "build/bench"
    side = int(argv[1]) if len(argv) > 1 else 8192
    agent = os.path.realpath(os.path.join(build, "bench", "fill_agent"))
    for tool in ("gdal_translate", "gdaladdo"):
        if not shutil.which(tool):
            sys.exit("mx_scan_peers: %s is missing (scripts/setup.sh installs gdal-bin)" % tool)
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    with tempfile.TemporaryDirectory(prefix="mxscan", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        with open(os.path.join(d, "s.zu"), "w") as f:
            f.write("\n".join(script(side)) + "\n")
        env = dict(os.environ, STD_CODE="UTF-8", HOME=d)
        env.pop("QNMX_TRACE", None)
        # The fill agent's own clocks, one run: the figures of each step in
        # process (fill, close, the no-op and the thinning scan).
        out = subprocess.run([agent, "s.zu", "-"], cwd=d, env=env, check=True, capture_output=True, text=True).stdout
        replies = out.strip().splitlines()
        fill, close1, noop, thin, close2 = (float(x) for x in replies[-1].split("(", 1)[1].split(")")[0].split())
        scans = [r for r in replies if r.startswith("<Result> 9 ") or r.startswith("<Result> 11 ")]
        os.unlink(os.path.join(d, "b.mx"))
        img = pattern(np, side).astype(np.uint8)
        with open(os.path.join(d, "in.ppm"), "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (side, side))
            f.write(img.tobytes())

        # The paired runs: each side starts from its own copy of level 0,
        # made once and copied back before every run (untimed): our matrix
        # file, GDAL's tiled GeoTIFF without overviews.
        for name, forms in process_scripts(side).items():
            with open(os.path.join(d, name + ".zu"), "w") as f:
                f.write("\n".join(forms) + "\n")
        pairs.process([qnmx, "level0.zu", "level0.out"], cwd=d, env=env)
        os.rename(os.path.join(d, "b.mx"), os.path.join(d, "level0.mx"))
        tile = ["-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256"]
        subprocess.run(["gdal_translate", "-q"] + tile + [os.path.join(d, "in.ppm"), os.path.join(d, "level0.tif")],
                       check=True)
        factors, f = [], 2
        while f <= side:
            factors.append(str(f))
            f *= 2

        def restore(src, dst):
            pairs.remove(d, dst, dst + ".ovr")
            shutil.copyfile(os.path.join(d, src), os.path.join(d, dst))

        def ours_side():
            restore("level0.mx", "b.mx")
            return pairs.script(qnmx, "thin.zu", "thin.out", d, env, "the thinning scan")

        def gdal_side():
            restore("level0.tif", "in.tif")
            return pairs.process(["gdaladdo", "-q", "-r", "average", "in.tif"] + factors, cwd=d)

        rid, path = "mx_scan.thin", "qmxScan of the thinning save scripts over an %dx%d rgb8 matrix" % (side, side)
        ours_does = "a qnmx process: the matrix of level 0 opened, qmxScan of the save scripts, close"
        gdal_does = "gdaladdo -r average, every level of a tiled GeoTIFF of level 0"
        try:
            a, b = pairs.alternate(ours_side, gdal_side)
        except pairs.Failed as e:
            pairs.row(rid, path, "gdaladdo", ours_does, gdal_does, "processes", "-", "failed: %s" % e, "-")
            return
        pairs.row(rid, path, "gdaladdo", ours_does, gdal_does, "processes", "-", a, b)
        pairs.process([qnmx, "export.zu", "export.out"], cwd=d, env=env)
        subprocess.run(["gdal_translate", "-q", "-ovr", "2", "-of", "PNM", "in.tif", "g3.ppm"], cwd=d, check=True)
        s3 = side >> 3
        ours = np.fromfile(os.path.join(d, "l3.ppm"), dtype=np.uint8)[-s3 * s3 * 3:].reshape(s3, s3, 3).astype(np.int64)
        model = img.astype(np.int64)
        for _ in range(3):
            h = model.shape[0] // 2
            model = model.reshape(h, 2, h, 2, 3).sum(axis=(1, 3)) // 4
        g3 = np.fromfile(os.path.join(d, "g3.ppm"), dtype=np.uint8)[-s3 * s3 * 3:].reshape(s3, s3, 3).astype(np.int64)
    n = nodes(side)
    print("%d^2 rgb8, %d nodes over all levels, 256 x 256 per node; scan results %s" %
          (side, n, " ".join(r.split()[2].split("<")[0] for r in scans)))
    print("  in the fill agent's process (one run):")
    print("  level-0 fill (write_mx_cache_vector per row) %.2f s, close %.2f s" % (fill, close1))
    print("  qmxScan no-op script    %.3f s = %.0f nodes/s (every node read from the file)" % (noop, n / noop))
    print("  qmxScan thinning save   %.3f s = %.0f nodes/s, close %.2f s" % (thin, n / thin, close2))
    print("  whole processes, medians of %d pairs: qnmx thinning scan %.3f s, gdaladdo -r average %.3f s "
          "(levels %s..%s, tiled GeoTIFF); ratio %.2f" % (len(a), statistics.median(a), statistics.median(b),
                                                         factors[0], factors[-1],
                                                         statistics.median(x / y for x, y in zip(a, b))))
    print("  level 3: equal to the numpy model: %s; largest difference to GDAL's overview: %d" %
          (bool((ours == model).all()), int(np.abs(ours - g3).max())))


if __name__ == "__main__":
    main(sys.argv[1:])
