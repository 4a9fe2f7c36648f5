#!/usr/bin/env python3
"""The matrix file next to cp and GDAL, every side a whole process on the
same PGM file: mx_file_peers.py BUILD-DIR [SIDE...] (a release build with
the benchmarks, as `make bench` makes it; sides 1024 4096 16384 32768 by
default: 1, 16 and 256 MPixel and 1 GPixel).

For each side a grey SIDE x SIDE PGM of the pixels (x*7 + y*13 + ((x^y) >>
3)) & 255 is written first; then, in pairs (ours, then the peer's):

  level 0   qnmx runs a script that makes a new matrix (256 x 256 nodes,
            each level halving, one rgb8 channel: the import's pixel words,
            4 bytes a pixel), imports the PGM with qmxImportPNM and closes
            the matrix, which syncs the file; next to cp of the PGM, then
            sync of the copy (aim: within 3x);
  pyramid   the same script, then qmxScan of the save scripts over the
            whole area (each coarser node the mean of its children) before
            the close; next to gdal_translate of the PGM to a GeoTIFF of
            256 x 256 tiles, gdaladdo -r average over the same levels, then
            sync of the GeoTIFF (aim: at most GDAL's time).

The import takes at most 2^28 pixels a call, so a larger side is written
as well in strips of 2^28 pixels, which our script imports one below the
other; GDAL reads the single file. Per-pixel time of the pyramid at the
largest side over that at 16 MPixel (aim: at most 1.5; at 1 MPixel the
start-up and the sync weigh too much to be a base), and the peak resident
size of each process, are reported. Every comparison ends as a row of
bench/table.py."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "agent"))
import pairs  # noqa: E402
from qmx_cli import THIN, matrix  # noqa: E402

MAX_IMPORT = 1 << 28  # pixels of one qmxImportPNM call


def write_pgm(path, side, y0=0, rows=None):
    """Rows y0 .. y0 + rows of the benchmark's pixels as a PGM."""
    import numpy as np
    rows = side if rows is None else rows
    xs = np.arange(side, dtype=np.int64)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (side, rows))
        for y in range(y0, y0 + rows):
            f.write(((xs * 7 + y * 13 + ((xs ^ y) >> 3)) & 255).astype(np.uint8).tobytes())


def inputs(work, side):
    """The PGM and the files our script imports (the PGM, or its strips)
    with the row each starts at."""
    src = os.path.join(work, "in.pgm")
    write_pgm(src, side)
    if side * side <= MAX_IMPORT:
        return src, [("in.pgm", 0)]
    rows = MAX_IMPORT // side
    strips = []
    for k, y0 in enumerate(range(0, side, rows)):
        name = "strip%d.pgm" % k
        write_pgm(os.path.join(work, name), side, y0, min(rows, side - y0))
        strips.append((name, y0))
    return src, strips


def script(work, name, side, parts, pyramid):
    forms = [matrix("m.mx", (side, side), save_up=THIN)]
    forms += ['(qmxImportPNM id="1" "%s" 0 0 0 %d)' % (f, y0) for f, y0 in parts]
    if pyramid:
        forms.append('(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 %d %d))' % (side - 1, side - 1))
    forms.append('(qmxClose id="1")')
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("\n".join(forms) + "\n")
    return path


def compare(rid, path, peer, ours_does, peer_does, aim, ours, theirs, fresh, missing=None):
    """Runs the pairs of one row and prints it; our seconds, or None when a
    side failed. Without a peer (theirs None) ours runs alone."""
    try:
        if theirs is None:
            a, b = [], missing
            for _ in range(pairs.repeats()):
                fresh()
                a.append(ours())
        else:
            a, b = pairs.alternate(ours, theirs, between=fresh)
    except pairs.Failed as e:
        pairs.row(rid, path, peer, ours_does, peer_does, "processes", aim, "failed: %s" % e, "-")
        return None
    pairs.row(rid, path, peer, ours_does, peer_does, "processes", aim, a, b)
    return a


def megapixels(side):
    n = side * side / 2**20
    return "%d GPixel" % (n / 1024) if n >= 1024 else "%g MPixel" % n


def main(argv):
    try:
        import numpy  # noqa: F401
    except ImportError:  # Debian's own python3 has it (python3-numpy)
        if sys.executable != "/usr/bin/python3":
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        raise
    build = argv[0] if argv else "build/bench"
    sides = [int(a) for a in argv[1:]] or [1024, 4096, 16384, 32768]
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    gdal = all(shutil.which(t) for t in ("gdal_translate", "gdaladdo"))
    pyramid_s = {}
    with tempfile.TemporaryDirectory(prefix="mxbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}
        env.update(HOME=work, STD_CODE="UTF-8")

        def fresh():
            pairs.remove(work, "m.mx", "copy.pgm", "out.tif", "out.tif.ovr", "replies.txt")
            subprocess.run(["sync"], check=True)

        def ours(path, usage):
            def run():
                return pairs.script(qnmx, path, "replies.txt", work, env,
                                    "the script of %s" % os.path.basename(path), usage=usage)
            return run

        for side in sides:
            src, parts = inputs(work, side)
            size = megapixels(side)
            levels = [str(1 << k) for k in range(1, side.bit_length())]
            use = {k: {} for k in ("import", "cp", "pyramid", "gdal")}
            what = "%s (%d^2), %s" % (size, side, "one file" if len(parts) == 1 else
                                      "one file; ours imports it as %d strips of the same bytes" % len(parts))
            level0 = script(work, "level0.zu", side, parts, False)
            full = script(work, "pyramid.zu", side, parts, True)

            def cp():
                t = pairs.process(["cp", src, os.path.join(work, "copy.pgm")], usage=use["cp"])
                return t + pairs.process(["sync", os.path.join(work, "copy.pgm")])

            def gdal_side():
                tif = os.path.join(work, "out.tif")
                t = pairs.process(["gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256",
                                   "-co", "BLOCKYSIZE=256", src, tif], usage=use["gdal"])
                t += pairs.process(["gdaladdo", "-q", "-r", "average", tif] + levels, usage=use["gdal"])
                return t + pairs.process(["sync", tif])

            rid = "mx_file.%s" % size.replace(" ", "").replace("Pixel", "").lower()
            compare(rid + ".write", "matrix file: a PGM of %s to a new matrix, level 0" % what, "cp",
                    "qnmx: qmxImportPNM into a new matrix, closed (synced)", "cp of the PGM, sync of the copy",
                    "ratio<=3; within 3x of cp", ours(level0, use["import"]), cp, fresh)
            a = compare(rid + ".pyramid", "matrix file: a PGM of %s to a new matrix with every coarser level" % what,
                        "GDAL", "qnmx: qmxImportPNM, qmxScan of the 2x2-mean save scripts, close (synced)",
                        "gdal_translate to a GeoTIFF of 256x256 tiles, gdaladdo -r average to 1 pixel, sync",
                        "ratio<=1; at most GDAL's time", ours(full, use["pyramid"]), gdal_side if gdal else None,
                        fresh, pairs.missing("gdaladdo", "gdal-bin"))
            if a:
                pyramid_s[side] = a
            print("%s: peak RSS qnmx import %.0f MiB, import and pyramid %.0f MiB; cp %.0f MiB; GDAL %.0f MiB" %
                  (size, use["import"].get("rss_mib", 0), use["pyramid"].get("rss_mib", 0),
                   use["cp"].get("rss_mib", 0), use["gdal"].get("rss_mib", 0)), flush=True)
            if side in pyramid_s:
                print("%s: pyramid %.3e s a pixel (median)" % (size, statistics.median(pyramid_s[side]) / side**2),
                      flush=True)
            for f in ["in.pgm"] + [p for p, _ in parts]:
                if os.path.exists(os.path.join(work, f)):
                    os.unlink(os.path.join(work, f))
            fresh()
    big = max(pyramid_s) if pyramid_s else None
    # The base is 16 MPixel: at 1 MPixel the process's start-up and the
    # sync at close are most of the time, which would flatter the ratio.
    for base, aim in ((4096, "ratio<=1.5; per-pixel time within 1.5x"),):
        if big and base in pyramid_s and big > base:
            a = [t / big**2 for t in pyramid_s[big]]
            b = [t / base**2 for t in pyramid_s[base]]
            pairs.row("mx_file.scaling.%s" % megapixels(base).replace(" ", "").replace("Pixel", "").lower(),
                      "matrix file: per-pixel time of the pyramid, %s against %s" % (megapixels(big), megapixels(base)),
                      "ours at %s" % megapixels(base), "the pyramid row at %s" % megapixels(big),
                      "the pyramid row at %s" % megapixels(base), "processes", aim, a, b)


if __name__ == "__main__":
    main(sys.argv[1:])
