#!/usr/bin/env python3
"""The main road next to GDAL, every side a whole process on the same
picture: mx_file_peers.py BUILD-DIR [SIDE...] (a release build with the
benchmarks, as `make bench` makes it; sides 1024 4096 8192 16384 32768 by
default: 1, 16, 64 and 256 MPixel and 1 GPixel).

For each side a colour P6 of the pixels (x*7 + y*3, x ^ y, (x*y) >> 5) and a
grey PGM of (x*7 + y*13 + ((x^y) >> 3)) (each & 255) are written; then, in
pairs (ours, then the peer's):

  road      qnmx runs one script: a new matrix (256 x 256 nodes, each level
            halving, one rgb8 channel: the import's pixel words, 4 bytes a
            pixel), qmxImportPNM of the picture, qmxScan of the save scripts
            over the whole area (each coarser node the truncated mean of its
            children), qmxExportPNM of level 3 to a P6 and qmxClose, which
            syncs the file; next to gdal_translate of the picture to a
            GeoTIFF of 256 x 256 tiles, gdaladdo -r average down to one
            pixel, gdal_translate of the third overview (level 3) to PNM,
            then sync of the GeoTIFF. Aim for the P6: at most GDAL's time.
            The PGM rows are measured only: GDAL keeps a grey pixel in one
            byte, the rgb8 channel in four.
  write     (the PGM) the script with the import alone, then the close;
            next to cp of the PGM and sync of the copy (aim: within 3x).

The import takes at most 2^28 pixels a call, so a larger side is written
as well in strips of 2^28 pixels, which our script imports one below the
other; GDAL reads the single file. Our script ends by reading
/proc/self/io, after the close: the bytes the process wrote (write_bytes,
and wchar, what it handed to write calls) are reported a pixel next to the
bytes a pixel the matrix file keeps. The per-pixel time of the P6 road at
the largest side over that at 16 MPixel (aim: at most 1.5), the peak
resident size of each process and each side's seconds a pixel are
reported. Every comparison ends as a row of bench/table.py."""
import os
import re
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
ROAD_BASE = 4096      # the side the per-pixel time of the largest is set against


def rows_of(kind, side, y0, rows):
    """The bytes of rows y0 .. y0 + rows of the benchmark's picture."""
    import numpy as np
    xs = np.arange(side, dtype=np.int64)
    for y in range(y0, y0 + rows):
        if kind == "p6":
            yield np.stack([(xs * 7 + y * 3) & 255, (xs ^ y) & 255, ((xs * y) >> 5) & 255], axis=1).astype(
                np.uint8).tobytes()
        else:
            yield ((xs * 7 + y * 13 + ((xs ^ y) >> 3)) & 255).astype(np.uint8).tobytes()


def header(kind, side, rows):
    return b"%s\n%d %d\n255\n" % (b"P6" if kind == "p6" else b"P5", side, rows)


def inputs(work, kind, side):
    """The picture and the files our script imports (the picture, or its
    strips) with the row each starts at, written in one pass."""
    ext = "ppm" if kind == "p6" else "pgm"
    src = os.path.join(work, "in." + ext)
    strip_rows = side if side * side <= MAX_IMPORT else MAX_IMPORT // side
    parts = [("in." + ext, 0)] if strip_rows == side else [
        ("strip%d.%s" % (k, ext), y0) for k, y0 in enumerate(range(0, side, strip_rows))]
    with open(src, "wb") as whole:
        whole.write(header(kind, side, side))
        for name, y0 in parts if strip_rows < side else [(None, 0)]:
            rows = min(strip_rows, side - y0)
            strip = open(os.path.join(work, name), "wb") if name else None
            if strip:
                strip.write(header(kind, side, rows))
            for b in rows_of(kind, side, y0, rows):
                whole.write(b)
                if strip:
                    strip.write(b)
            if strip:
                strip.close()
    return src, parts


def script(work, name, side, parts, road):
    forms = [matrix("m.mx", (side, side), save_up=THIN)]
    forms += ['(qmxImportPNM id="1" "%s" 0 0 0 %d)' % (f, y0) for f, y0 in parts]
    if road:
        forms.append('(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 %d %d))' % (side - 1, side - 1))
        forms.append('(qmxExportPNM id="1" "l3.ppm" 0 3)')
    forms.append('(qmxClose id="1")')
    forms.append('(Load "/proc/self/io")')
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("\n".join(forms) + "\n")
    return path


def io_counts(work):
    """write_bytes and wchar of our last run, from its last reply."""
    with open(os.path.join(work, "replies.txt"), errors="replace") as f:
        text = f.read()
    got = {k: int(v) for k, v in re.findall(r"(\w+): (\d+)", text)}
    return got.get("write_bytes", 0), got.get("wchar", 0)


def peak(use, cmd):
    """Seconds of the process cmd; use["rss_mib"] keeps the largest peak
    resident size of the processes run with it."""
    u = {}
    t = pairs.process(cmd, usage=u)
    use["rss_mib"] = max(use.get("rss_mib", 0), u.get("rss_mib", 0))
    return t


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
        return None, None
    pairs.row(rid, path, peer, ours_does, peer_does, "processes", aim, a, b)
    return a, None if isinstance(b, str) else b


def megapixels(side):
    n = side * side / 2**20
    return "%d GPixel" % (n / 1024) if n >= 1024 else "%g MPixel" % n


def short(side):
    return megapixels(side).replace(" ", "").replace("Pixel", "").lower()


def main(argv):
    pairs.numpy()
    build = argv[0] if argv else "build/bench"
    sides = [int(a) for a in argv[1:]] or [1024, 4096, 8192, 16384, 32768]
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    gdal = all(shutil.which(t) for t in ("gdal_translate", "gdaladdo"))
    road_s = {}
    with tempfile.TemporaryDirectory(prefix="mxbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}
        env.update(HOME=work, STD_CODE="UTF-8")

        def fresh():
            pairs.remove(work, "m.mx", "l3.ppm", "copy.pgm", "out.tif", "out.tif.ovr", "gdal_l3.pnm",
                         "gdal_l3.pnm.aux.xml", "replies.txt")
            subprocess.run(["sync"], check=True)

        def ours(path, usage, io=None):
            def run():
                t = pairs.script(qnmx, path, "replies.txt", work, env, "the script of %s" % os.path.basename(path),
                                 usage=usage)
                if io is not None:
                    io.append(io_counts(work) + (os.path.getsize(os.path.join(work, "m.mx")),))
                return t
            return run

        for side in sides:
            size = megapixels(side)
            levels = [str(1 << k) for k in range(1, side.bit_length())]
            for kind in ("p6", "pgm"):
                src, parts = inputs(work, kind, side)
                use = {k: {} for k in ("road", "gdal", "import", "cp")}
                io = []
                what = "%s %s (%d^2)%s" % (size, kind.upper(), side, "" if len(parts) == 1 else
                                           "; ours imports it as %d strips of the same bytes" % len(parts))
                road = script(work, "road.zu", side, parts, True)

                def gdal_side():
                    tif = os.path.join(work, "out.tif")
                    t = peak(use["gdal"], ["gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co",
                                           "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256", src, tif])
                    t += peak(use["gdal"], ["gdaladdo", "-q", "-r", "average", tif] + levels)
                    t += peak(use["gdal"], ["gdal_translate", "-q", "-ovr", "2", "-of", "PNM", tif,
                                            os.path.join(work, "gdal_l3.pnm")])
                    return t + pairs.process(["sync", tif])

                aim = "ratio<=1; at most GDAL's time" if kind == "p6" else \
                    "-; GDAL keeps a grey pixel in 1 byte, the rgb8 channel in 4"
                a, b = compare("mx_file.%s.%s" % (short(side), kind),
                               "matrix file, the main road: a %s to a new matrix with every coarser level, "
                               "level 3 exported" % what, "GDAL",
                               "qnmx: qmxImportPNM, qmxScan of the 2x2-mean save scripts, qmxExportPNM of "
                               "level 3, close (synced)",
                               "gdal_translate to a GeoTIFF of 256x256 tiles, gdaladdo -r average to 1 pixel, "
                               "gdal_translate of overview 2 (level 3) to PNM, sync",
                               aim, ours(road, use["road"], io), gdal_side if gdal else None, fresh,
                               pairs.missing("gdaladdo", "gdal-bin"))
                if a and kind == "p6":
                    road_s[side] = a
                if kind == "pgm":
                    level0 = script(work, "level0.zu", side, parts, False)

                    def cp():
                        t = pairs.process(["cp", src, os.path.join(work, "copy.pgm")], usage=use["cp"])
                        return t + pairs.process(["sync", os.path.join(work, "copy.pgm")])

                    compare("mx_file.%s.write" % short(side),
                            "matrix file: a %s to a new matrix, level 0" % what, "cp",
                            "qnmx: qmxImportPNM into a new matrix, closed (synced)", "cp of the PGM, sync of the copy",
                            "ratio<=3; within 3x of cp", ours(level0, use["import"]), cp, fresh)
                px = side * side
                line = "%s %s: peak RSS qnmx road %.0f MiB, GDAL (its largest process) %.0f MiB" % (
                    size, kind.upper(), use["road"].get("rss_mib", 0), use["gdal"].get("rss_mib", 0))
                if a:
                    line += "; seconds a pixel: ours %.3e" % (statistics.median(a) / px)
                if b:
                    line += ", GDAL %.3e" % (statistics.median(b) / px)
                if io:
                    wb, wc, stored = io[-1]
                    line += ("; bytes a pixel: written %.3f (write_bytes; %.3f handed to write calls), "
                             "stored %.3f (the matrix file)" % (wb / px, wc / px, stored / px))
                print(line, flush=True)
                for f in {os.path.basename(src)} | {p for p, _ in parts}:
                    pairs.remove(work, f)
                fresh()
    big = max(road_s) if road_s else None
    if big and ROAD_BASE in road_s and big > ROAD_BASE:
        a = [t / big**2 for t in road_s[big]]
        b = [t / ROAD_BASE**2 for t in road_s[ROAD_BASE]]
        pairs.row("mx_file.scaling.%s" % short(ROAD_BASE),
                  "matrix file: per-pixel time of the P6 road, %s against %s" % (megapixels(big),
                                                                               megapixels(ROAD_BASE)),
                  "ours at %s" % megapixels(ROAD_BASE), "the P6 road row at %s" % megapixels(big),
                  "the P6 road row at %s" % megapixels(ROAD_BASE), "processes",
                  "ratio<=1.5; per-pixel time within 1.5x", a, b)


if __name__ == "__main__":
    main(sys.argv[1:])
