#!/usr/bin/env python3
"""The import-and-pyramid benchmark next to GDAL, and point reads next to a
numpy memmap loop, in one run: pnm_import_peers.py BUILD-DIR [SIDE]
(a release build as `make bench` makes it; side 8192 by default).

The row: pairs of whole runs (ours, then GDAL's; QNMX_BENCH_REPEATS pairs,
5 by default), every step a process on the same P6 file. Ours:
  import   a new rgb8 matrix (256 x 256 nodes, each level halving), the
           SIDE x SIDE P6 imported at (0, 0), the matrix closed;
  pyramid  the same import, then qmxScan of the save scripts over the whole
           area, children before their parent (each coarser node the
           truncated mean of its children), the matrix closed;
  export   level 3 to a P6;
a run of ours is the pyramid process and the export process (the import
alone runs three times, for its own figure). GDAL's: gdal_translate to a
GeoTIFF in 256 x 256 tiles, gdaladdo -r average with every level down to
one pixel, sync of the GeoTIFF (and of an overview file, where there is
one: synced as our matrix is at its close), gdal_translate of the third
overview (level 3) to PNM. The export is compared with a numpy model of
the truncated 2 x 2 means (it must equal it) and with GDAL's overview,
which rounds its means (the largest difference is reported).

Point reads: 10^5 points of one node in one call, 10^5 random points in
one call, 10^4 calls from a ZU loop, each timed as the difference to the
same script without the reads; next to numpy memmap reads of the same
points from the source file."""
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pairs  # noqa: E402

FETCH = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
         '(if (equal (GE (ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") (mxLoad target="file"))')
THIN = '(mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) (mxSave)'


def create(side):
    dims = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="8") '
                    f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    return ('(qmxCreate filename="m.mx" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") '
            f'{dims} (qmxChannelInfo channel="0" type="rgb8_v" file="on") '
            f'(qmxPhase area="3" {FETCH}) (qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3") '
            f'(qmxPhase area="21" {THIN}) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave)))')


class Runner:
    def __init__(self, qnmx, work):
        self.qnmx, self.work = qnmx, work
        self.env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}

    def script(self, name, forms):
        with open(os.path.join(self.work, name + ".zu"), "w") as f:
            f.write("\n".join(forms) + "\n")

    def qnmx_run(self, name, forms, trace=False):
        """(seconds, peak RSS in MiB, replies, stderr) of one qnmx process."""
        self.script(name, forms)
        env = dict(self.env)
        if trace:
            env["QNMX_TRACE"] = "1"
        return self.timed([self.qnmx, name + ".zu", name + ".out"], env, name)

    def timed(self, cmd, env=None, name=None):
        # The peak resident size comes from time(1): a child forked from
        # this process would count this process's pages as its own.
        rss = os.path.join(self.work, "rss.txt")
        err = open(os.path.join(self.work, (name or "cmd") + ".err"), "w+")
        t = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-o", rss, "-f", "%M"] + cmd, cwd=self.work, env=env,
                           stdout=subprocess.DEVNULL, stderr=err)
        took = time.perf_counter() - t
        err.seek(0)
        stderr = err.read()
        err.close()
        if p.returncode != 0:
            sys.exit(f"pnm_import_peers: {cmd[0]} failed: {stderr[-500:]}")
        with open(rss) as f:
            peak = int(f.read().split()[-1]) / 1024
        replies = ""
        if name and os.path.exists(os.path.join(self.work, name + ".out")):
            with open(os.path.join(self.work, name + ".out")) as f:
                replies = f.read()
        return took, peak, replies, stderr


def errors_in(replies):
    return re.findall(r"<Result> \d+ (#error.*?)</Result>", replies)


def read_ppm(path, np):
    with open(path, "rb") as f:
        data = f.read()
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    w, h = int(m.group(1)), int(m.group(2))
    return np.frombuffer(data[m.end():], np.uint8).reshape(h, w, 3)


def main(argv):
    np = pairs.numpy()
    build = argv[0] if argv else "build/bench"
    side = int(argv[1]) if len(argv) > 1 else 8192
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    for t in ("gdal_translate", "gdaladdo"):
        if not shutil.which(t):
            sys.exit(f"pnm_import_peers: {t} is missing (scripts/setup.sh installs gdal-bin)")
    with tempfile.TemporaryDirectory(prefix="pnmbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        r = Runner(qnmx, work)
        src_path = os.path.join(work, "in.ppm")
        ys, xs = np.mgrid[0:side, 0:side].astype(np.int64)
        img = np.stack([(xs * 7 + ys * 3) & 255, (xs ^ ys) & 255, ((xs * ys) >> 5) & 255], axis=2).astype(np.uint8)
        del xs, ys
        with open(src_path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (side, side) + img.tobytes())
        mb = side * side * 3 / 2**20

        # The coarser levels are built while the matrix is open: the save
        # scripts read the children in memory. The import alone and the
        # traced import run apart, for the figures printed below; the row is
        # pairs of whole runs of both sides, from the same PPM.
        imports = []
        for _ in range(3):
            imports.append(r.qnmx_run("import", [create(side), '(qmxImportPNM id="1" "in.ppm" 0 0 0 0)']))
            os.unlink(os.path.join(work, "m.mx"))
        imp = min(imports)
        traced = r.qnmx_run("import_traced", [create(side), '(qmxImportPNM id="1" "in.ppm" 0 0 0 0)'], trace=True)
        os.unlink(os.path.join(work, "m.mx"))
        m = re.search(r"qmxImportPNM: (\d+) rows, (\d+) node fetches", traced[3])
        fetches = int(m.group(2)) / int(m.group(1)) if m else float("nan")
        r.script("pyramid", [create(side), '(qmxImportPNM id="1" "in.ppm" 0 0 0 0)',
                             f'(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 {side - 1} {side - 1}))'])
        r.script("export", ['(qmxCreate filename="m.mx" currentPhase_mode="direct")',
                            '(qmxExportPNM id="1" "l3.ppm" 0 3)'])
        tile = ["-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256"]
        levels = [str(2**k) for k in range(1, side.bit_length())]
        steps = {k: [] for k in ("pyramid", "export", "tif", "addo", "ovr")}
        rss = {k: {} for k in steps}

        def fresh(files):
            # Each side removes its own outputs (untimed), so that the last
            # run of each leaves its results for the checks below.
            for f in files:
                if os.path.exists(os.path.join(work, f)):
                    os.unlink(os.path.join(work, f))

        def ours_side():
            fresh(("m.mx", "l3.ppm", "pyramid.out", "export.out"))
            t = 0.0
            for name in ("pyramid", "export"):
                s = pairs.process([qnmx, name + ".zu", name + ".out"], cwd=work, env=r.env, usage=rss[name])
                with open(os.path.join(work, name + ".out"), errors="replace") as f:
                    if errors_in(f.read()):
                        raise pairs.Failed("the %s script gave an error" % name)
                steps[name].append(s)
                t += s
            return t

        def gdal_side():
            fresh(("in.tif", "in.tif.ovr", "gdal_l3.ppm"))
            t = 0.0
            # The pyramid is synced, as our matrix is at its close; the
            # exports alike are not.
            for name, cmd in (("tif", ["gdal_translate", "-q"] + tile + ["in.ppm", "in.tif"]),
                              ("addo", ["sh", "-c", "gdaladdo -q -r average in.tif %s && sync in.tif && { [ ! -e in.tif.ovr ] || sync in.tif.ovr; }" %
                                        " ".join(levels)]),
                              ("ovr", ["gdal_translate", "-q", "-ovr", "2", "-of", "PNM", "in.tif", "gdal_l3.ppm"])):
                s = pairs.process(cmd, cwd=work, usage=rss[name])
                steps[name].append(s)
                t += s
            return t

        rid, path = "pnm_import", "an %dx%d P6 imported, every level built, level 3 exported" % (side, side)
        peer, ours_does = "GDAL", "qnmx processes: import and qmxScan of the save scripts, then export of level 3"
        gdal_does = ("gdal_translate to a tiled GeoTIFF, gdaladdo -r average, sync of both files, "
                     "gdal_translate of the overview")
        aim = "ratio<=0.5; at most half GDAL's time"
        try:
            a, b = pairs.alternate(ours_side, gdal_side)
        except pairs.Failed as e:
            pairs.row(rid, path, peer, ours_does, gdal_does, "processes", aim, "failed: %s" % e, "-")
            return
        pairs.row(rid, path, peer, ours_does, gdal_does, "processes", aim, a, b)
        med = {k: statistics.median(v) for k, v in steps.items()}
        ours, gdal = statistics.median(a), statistics.median(b)

        # Level 3 by the rule of the save scripts: a truncated 2 x 2 mean per level.
        model = img.astype(np.uint32)
        for _ in range(3):
            model = (model[0::2, 0::2] + model[1::2, 0::2] + model[0::2, 1::2] + model[1::2, 1::2]) // 4
        ours_l3 = read_ppm(os.path.join(work, "l3.ppm"), np)
        gdal_l3 = read_ppm(os.path.join(work, "gdal_l3.ppm"), np)
        exact = int(np.count_nonzero(ours_l3 != model))
        off = int(np.abs(ours_l3.astype(np.int32) - gdal_l3.astype(np.int32)).max())

        print(f"{side} x {side} RGB ({mb:.0f} MiB); medians of {len(a)} pairs")
        print(f"  ours: import alone {imp[0]:.2f} s ({mb / imp[0]:.0f} MB/s, {fetches:.3f} node fetches per row, "
              f"peak RSS {imp[1]:.0f} MiB), import and pyramid "
              f"{med['pyramid']:.2f} s (peak RSS {rss['pyramid'].get('rss_mib', 0):.0f} MiB), "
              f"level-3 export {med['export']:.2f} s; total {ours:.2f} s")
        print(f"  GDAL: tiled GeoTIFF {med['tif']:.2f} s, gdaladdo {med['addo']:.2f} s "
              f"(peak RSS {rss['addo'].get('rss_mib', 0):.0f} MiB), overview to PNM {med['ovr']:.2f} s; "
              f"total {gdal:.2f} s")
        print(f"  median of the pairs' ratios ours / GDAL = "
              f"{statistics.median(x / y for x, y in zip(a, b)):.2f} (aim <= 0.5)")
        print(f"  level 3: {exact} samples differ from the truncated-mean model; largest difference to GDAL {off}")

        points(r, np, img, side)


def points(r, np, img, side):
    """Point reads next to numpy memmap reads of the source file."""
    rng = random.Random(5)
    node = [(rng.randrange(256) + 512, rng.randrange(256) + 1024) for _ in range(100000)]
    scattered = [(rng.randrange(side), rng.randrange(side)) for _ in range(100000)]
    cases = []
    reps = 10
    for name, pts in (("1e5 points in one node, one call", node), ("1e5 random points, one call", scattered)):
        lit = "(quote (" + " ".join(f"(0 {x} {y})" for x, y in pts) + "))"
        base = r.qnmx_run("pts_base", [f"(define p {lit})"] + ["(GetSize p)"] * reps)[0]
        got = r.qnmx_run("pts", [f"(define p {lit})"] + ['(GetSize (qmxGetPoint "m.mx" p))'] * reps)
        cases.append((name, (got[0] - base) / reps, len(pts), pts))
    loop = ('(define y 0) (define x 0) (while (< y 100) (set x 0) (while (< x 100) {} (set x (+ x 1))) '
            '(set y (+ y 1)))')
    step = side // 100
    base = r.qnmx_run("loop_base", [loop.format(f"(List 0 (* x {step}) (* y {step}))")])[0]
    got = r.qnmx_run("loop", [loop.format(f'(qmxGetPoint "m.mx" (List 0 (* x {step}) (* y {step})))')])
    grid = [(x * step, y * step) for y in range(100) for x in range(100)]
    cases.append(("1e4 calls from a ZU loop", got[0] - base, 10000, grid))
    mm = np.memmap(os.path.join(r.work, "in.ppm"), np.uint8, "r", offset=len(b"P6\n%d %d\n255\n" % (side, side)),
                   shape=(side, side, 3))
    print("  point reads (ours: the script's time less the same script without the reads):")
    for name, secs, n, pts in cases:
        t = time.perf_counter()
        words = [(int(mm[y, x, 0]) << 24) | (int(mm[y, x, 1]) << 16) | (int(mm[y, x, 2]) << 8) for x, y in pts]
        numpy_s = time.perf_counter() - t
        assert len(words) == n
        print(f"    {name}: ours {secs * 1e6 / n:.2f} us/point, numpy memmap loop {numpy_s * 1e6 / n:.2f} us/point")


if __name__ == "__main__":
    main(sys.argv[1:])
