#!/usr/bin/env python3
"""The UTM-zone import next to gdalwarp -r near, in one run:
utm_import_peers.py BUILD-DIR [SIDE] (a release build as `make bench`
makes it; SIDE 4096 by default, at most 4096).

The source is a SIDE x SIDE raster of 100 m pixels in zone 54 north whose
colours encode each pixel's own column and row; the target a SIDE x SIDE
grid in longitude and latitude over the middle of the zone.

Each side starts from its own copy of the source, made beforehand: a
matrix (256 x 256 nodes) with the source PPM imported, and a GeoTIFF. The
row is pairs of whole processes, ours then GDAL's (QNMX_BENCH_REPEATS
pairs, 5 by default). Ours: a qnmx process that opens the source matrix,
makes the target matrix, runs qmxImportUTM and closes both. GDAL's:
gdalwarp -r near to a GeoTIFF of the same grid, with its default
approximate transformation; the exact one (-et 0) runs once besides.
The two targets are compared pixel by pixel where either has data."""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pairs  # noqa: E402

EAST0, NORTH0, PIXEL = 295200, 3960000, 100  # centre of source pixel (0, 0), metres
LON0, LAT0 = 139.0, 32.1                      # centre of target pixel (0, 0), degrees
GRS80 = "6378137 6356752.314140347"
FETCH = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
         '(if (equal (GE (ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") (mxLoad target="file"))')


def create(name, side):
    dims = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="8") '
                    f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    return (f'(qmxCreate filename="{name}" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") '
            f'{dims} (qmxChannelInfo channel="0" type="rgb8_v" file="on" 255) '
            f'(qmxPhase area="3" {FETCH}) (qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3") '
            '(qmxPhase area="21" (mxSave)) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave)))')


def run(cmd, work, env=None):
    t = time.perf_counter()
    p = subprocess.run(cmd, cwd=work, env=env, capture_output=True)
    took = time.perf_counter() - t
    if p.returncode != 0 or b"#error" in p.stdout:
        sys.exit(f"utm_import_peers: {cmd[0]} failed: {p.stdout[-300:]!r} {p.stderr[-300:]!r}")
    return took


def main(argv):
    np = pairs.numpy()
    build = argv[0] if argv else "build/bench"
    side = min(int(argv[1]) if len(argv) > 1 else 4096, 4096)
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    for t in ("gdal_translate", "gdalwarp"):
        if not shutil.which(t):
            sys.exit(f"utm_import_peers: {t} is missing (scripts/setup.sh installs gdal-bin)")
    reso_x = side / 4.0   # 4 degrees of longitude
    reso_y = side / 3.5   # 3.5 degrees of latitude
    with tempfile.TemporaryDirectory(prefix="utmbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}
        env.update(HOME=work, STD_CODE="UTF-8")
        ys, xs = np.mgrid[0:side, 0:side]
        img = np.stack([xs >> 4, ((xs & 15) << 4) | (ys >> 8), ys & 255], axis=2).astype(np.uint8)
        del xs, ys
        with open(os.path.join(work, "src.ppm"), "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (side, side) + img.tobytes())
        n_bottom = NORTH0 - (side - 1) * PIXEL
        rect = (f"(List (List {NORTH0 + PIXEL // 2} {EAST0 - PIXEL // 2}) "
                f"(List {n_bottom - PIXEL // 2} {EAST0 + (side - 1) * PIXEL + PIXEL // 2}))")
        utm = (f'(qmxImportUTM id="2" utmid="1" ch="0" XYdir="exchange" {LON0} {LAT0} {reso_x!r} {reso_y!r} "54N" '
               f"(List {NORTH0} {EAST0}) {rect} (List {1 / PIXEL!r} {-1 / PIXEL!r}) {GRS80})")
        # Both sides start from their own copy of the source made beforehand
        # (untimed): our source matrix, GDAL's GeoTIFF.
        forms = {"source": [create("src.mx", side), '(qmxImportPNM id="1" "src.ppm" 0 0 0 0)', '(qmxClose id="1")'],
                 "utm": ['(qmxCreate filename="src.mx" currentPhase_mode="direct")', create("dst.mx", side), utm,
                         '(qmxClose id="2")', '(qmxClose id="1")'],
                 "export": ['(qmxCreate filename="dst.mx" currentPhase_mode="direct")',
                            '(qmxExportPNM id="1" "ours.ppm" 0 0)']}
        for name, f_ in forms.items():
            with open(os.path.join(work, name + ".zu"), "w") as f:
                f.write("\n".join(f_) + "\n")
        run([qnmx, "source.zu", "-"], work, env)
        srs = "+proj=utm +zone=54 +ellps=GRS80 +units=m +no_defs"
        ulx, uly = EAST0 - PIXEL / 2, NORTH0 + PIXEL / 2
        run(["gdal_translate", "-q", "-a_srs", srs, "-a_ullr", repr(ulx), repr(uly), repr(ulx + side * PIXEL),
             repr(uly - side * PIXEL), "src.ppm", "src.tif"], work)
        xmin, ymin = LON0 - 0.5 / reso_x, LAT0 - 0.5 / reso_y
        grid = ["-t_srs", "+proj=longlat +ellps=GRS80 +no_defs", "-te", repr(xmin), repr(ymin),
                repr(xmin + side / reso_x), repr(ymin + side / reso_y), "-ts", str(side), str(side)]

        def remove(*names):
            pairs.remove(work, *names)

        def ours_side():
            remove("dst.mx", "utm.out")
            return pairs.script(qnmx, "utm.zu", "utm.out", work, env, "the script of the UTM import")

        def gdal_side():
            remove("gdal.tif")
            return pairs.process(["gdalwarp", "-q", "-r", "near", "-dstalpha"] + grid + ["src.tif", "gdal.tif"],
                                 cwd=work)

        rid, path = "utm_import", "qmxImportUTM of a %dx%d target from a %dx%d source" % (side, side, side, side)
        ours_does = "a qnmx process: the source matrix opened, a new target, qmxImportUTM, both closed"
        gdal_does = "gdalwarp -r near from a GeoTIFF of the source, approximate transformation"
        aim = "ratio<=3; within 3x"
        try:
            a, b = pairs.alternate(ours_side, gdal_side)
        except pairs.Failed as e:
            pairs.row(rid, path, "gdalwarp -r near", ours_does, gdal_does, "processes", aim, "failed: %s" % e, "-")
            return
        pairs.row(rid, path, "gdalwarp -r near", ours_does, gdal_does, "processes", aim, a, b)
        run([qnmx, "export.zu", "-"], work, env)
        ours_s, gdal_s = statistics.median(a), statistics.median(b)
        exact_s = run(["gdalwarp", "-q", "-r", "near", "-et", "0", "-dstalpha"] + grid +
                      ["-of", "ENVI", "src.tif", "exact.env"], work)

        with open(os.path.join(work, "ours.ppm"), "rb") as f:
            data = f.read()
        head = re.match(rb"P6\s+\d+\s+\d+\s+255\s", data)
        ours = np.frombuffer(data[head.end():], np.uint8).reshape(side, side, 3)[::-1]  # row 0 north as GDAL's
        bands = np.fromfile(os.path.join(work, "exact.env"), np.uint8).reshape(4, side, side)
        has_gdal = bands[3] > 0
        has_ours = ~np.all(ours == 255, axis=2)
        both = has_gdal & has_ours
        differ = int(np.count_nonzero(has_gdal != has_ours)) + int(
            np.count_nonzero(both & np.any(ours != np.moveaxis(bands[:3], 0, 2), axis=2)))
        either = int(np.count_nonzero(has_gdal | has_ours))

        print(f"{side} x {side} target from a {side} x {side} source (zone 54N, 100 m pixels)")
        print(f"  ours: a process with the UTM import {ours_s:.2f} s ({side * side / ours_s / 1e6:.1f} Mpixel/s; "
              f"median of {len(a)} pairs)")
        print(f"  GDAL: gdalwarp -r near {gdal_s:.2f} s (approximate transformation), "
              f"-et 0 {exact_s:.2f} s (exact, one run)")
        print(f"  median ratio ours / gdalwarp = {statistics.median(x / y for x, y in zip(a, b)):.2f} (aim within 3); "
              f"ours / exact gdalwarp = {ours_s / exact_s:.2f}")
        print(f"  pixels with data: {either}; differing from exact gdalwarp: {differ} ({100 * differ / max(either, 1):.4f} %)")


if __name__ == "__main__":
    main(sys.argv[1:])
