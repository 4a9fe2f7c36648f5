#!/usr/bin/python3
"""End-to-end tests of the UTM-zone import through the qnmx binary:
cli_utm_test.py <qnmx binary> <group>.

The source matrix holds a coordinate image (each pixel's colour encodes its
own column and row), so every target pixel names the source pixel it was
taken from.

zones     zones "54N" and "54S", zwidth="3", both source axis directions:
          every target pixel read with qmxGetPoint against cs2cs (proj-bin)
          with nearest rounding; the spellings of one zone and of the
          default direction give equal targets; a target outside the zone
          stays as it was.
gdal      the same grids as gdalwarp -r near (exact transformation) warps
          them: fewer than 0.1 % of the pixels inside the zone differ.
refusals  every refusal of the command's arguments, none of which changes
          the target; the trace lines.
"""
import os
import re
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import (FETCH, LENGTH, NO_OBJECT, PARAM, TYPE, Cli, coordinate_image, coordinate_word,  # noqa: E402
                     matrix, write_ppm)

cli = Cli(sys.argv[1], "utm_" + sys.argv[2])
GROUP = sys.argv[2]

GRS80 = (6378137, 6356752.314140347)
SIDE = 512                 # source pixels per side, 1000 m each
W, H = 250, 120            # target pixels, 1/32 degree each
RESO = 32.0
EAST0 = 244000             # easting of source column 0
NORTH0 = {"54N": 3830000, "54S": 6700000}  # northing of source row 0
LAT0 = {"54N": 30.0, "54S": -33.75}        # latitude of target row 0
LON0 = 137.25                              # longitude of target column 0


class Case:
    """One import: a zone, a source axis direction (exchanged: columns
    east, rows south, as an image lies; forward: the transpose) and a zone
    width."""

    def __init__(self, name, zone, exchanged=True, zwidth=None, zone_arg=None, xydir=None):
        self.name, self.zone, self.exchanged, self.zwidth = name, zone, exchanged, zwidth
        self.zone_arg = zone_arg or f'"{zone}"'
        self.xydir = xydir if xydir is not None else ("exchange" if exchanged else None)

    def elements(self, lon0=LON0):
        """The ten elements of the command."""
        n0 = NORTH0[self.zone]
        # The plane extent of the source, pixel areas included: x holds
        # northings, y eastings.
        rect = f"(List (List {n0 + 500} {EAST0 - 500}) (List {n0 - SIDE * 1000 + 500} {EAST0 + SIDE * 1000 - 500}))"
        reso = "(List 0.001 -0.001)" if self.exchanged else "(List -0.001 0.001)"
        return [str(lon0), str(LAT0[self.zone]), str(RESO), str(RESO), self.zone_arg, f"(List {n0} {EAST0})", rect,
                reso, str(GRS80[0]), str(GRS80[1])]

    def form(self, target_id, lon0=LON0):
        attrs = f'id="{target_id}" utmid="1" ch="0"'
        attrs += f' XYdir="{self.xydir}"' if self.xydir else ""
        attrs += f' zwidth="{self.zwidth}"' if self.zwidth else ""
        return f"(qmxImportUTM {attrs} " + " ".join(self.elements(lon0)) + ")"

    def lonlat(self):
        lon = LON0 + np.arange(W) / RESO
        lat = LAT0[self.zone] + np.arange(H) / RESO
        return np.meshgrid(lon, lat)

    def expected(self, easting, northing):
        """The source word every target pixel should hold (255, the
        default, where none): nearest source pixel, ties to even."""
        lon, _ = self.lonlat()
        half = float(self.zwidth or 6) / 2
        col = np.rint((easting - EAST0) * 0.001)
        row = np.rint((northing - NORTH0[self.zone]) * -0.001)
        x, y = (col, row) if self.exchanged else (row, col)
        inside = (lon >= 141 - half) & (lon < 141 + half) & (x >= 0) & (x < SIDE) & (y >= 0) & (y < SIDE)
        want = np.full((H, W), 255, np.int64)
        xs, ys = x[inside].astype(np.int64), y[inside].astype(np.int64)
        want[inside] = [coordinate_word(a, b) for a, b in zip(xs, ys)]
        return want


def plane(case):
    """cs2cs's projection of every target pixel centre: (eastings,
    northings) as H x W arrays."""
    lon, lat = case.lonlat()
    text = "".join(f"{a!r} {b!r}\n" for a, b in zip(lon.ravel(), lat.ravel()))
    south = ["+south"] if case.zone.endswith("S") else []
    out = cli.sh("cs2cs", "+proj=longlat", "+ellps=GRS80", "+to", "+proj=utm", "+zone=54", *south, "-f", "%.6f",
                 inp=text.encode())
    v = np.array(out.split(), float).reshape(-1, 3)
    return v[:, 0].reshape(H, W), v[:, 1].reshape(H, W)


def prepare(targets, channels=(("rgb8_v", 'file="on"', "255"),)):
    """The source matrix with the coordinate image (entry 1) and the target
    matrices (entries 2 on): the forms that make them."""
    write_ppm(cli.path("src.ppm"), coordinate_image(np, SIDE, SIDE))
    forms = [matrix("src.mx", (SIDE, SIDE), block=7), '(qmxImportPNM id="1" "src.ppm" 0 0 0 0)']
    forms += [matrix(f"{t}.mx", (W, H), block=6, channels=channels) for t in targets]
    return forms


def read_words(replies, name):
    words = [int(w) for w in re.findall(r"\(\(0 (\d+)\)\)", replies or "")]
    if len(words) != W * H:
        cli.fail(f"{name}: {len(words)} pixels read: {(replies or '')[:200]!r}")
        return np.zeros((H, W), np.int64)
    return np.array(words, np.int64).reshape(H, W)


POINTS = "(List " + " ".join(f"(List 0 {x} {y})" for y in range(H) for x in range(W)) + ")"


def group_zones():
    cases = [Case("n", "54N"), Case("s", "54S"), Case("zw3", "54N", zwidth="3"), Case("fwd", "54N", exchanged=False)]
    same = [("n", Case("n054", "54N", zone_arg='"054"')), ("n", Case("n54", "54N", zone_arg="54")),
            ("n", Case("nlow", "54N", zone_arg='"54n"')), ("fwd", Case("fwd2", "54N", exchanged=False, xydir="forward"))]
    names = [c.name for c in cases] + [c.name for _, c in same] + ["away"]
    forms = prepare(names)
    imports = [c.form(i + 2) for i, c in enumerate(cases + [c for _, c in same])]
    imports.append(cases[0].form(len(names) + 1, lon0=10.0))
    forms += imports
    forms += [f'(qmxGetPoint "{c.name}.mx" {POINTS})' for c in cases]
    forms += [f'(qmxExportPNM id="{i + 2}" "{n}.ppm" 0 0)' for i, n in enumerate(names)]
    replies, err = cli.run(forms, name="zones")
    k = len(prepare(names))
    cli.expect("the imports", replies[:k + len(imports)], ["1"] + ["()"] + [str(i + 2) for i in range(len(names))] +
               ["()"] * len(imports))
    got = replies[k + len(imports):k + len(imports) + len(cases)]
    for case, reply in zip(cases, got):
        want = case.expected(*plane(case))
        have = read_words(reply, case.name)
        differ = int(np.count_nonzero(have != want))
        written = int(np.count_nonzero(want != 255))
        print(f"{case.name}: {written} pixels from the source, {differ} differ from cs2cs")
        if written < W * H // 4 or differ > written // 1000:
            cli.fail(f"{case.name}: {differ} of {written} pixels differ from cs2cs")
    # zwidth 3 writes a subset of the full zone, and nothing outside 1.5 degrees.
    for a, b in same:
        cli.expect(f"{b.name} equals {a}", open(cli.path(f"{b.name}.ppm"), "rb").read(),
                   open(cli.path(f"{a}.ppm"), "rb").read())
    away = open(cli.path("away.ppm"), "rb").read()
    cli.expect("a target outside the zone is left alone", set(away[away.index(b"255\n") + 4:]), {255})
    cli.expect("one line per import on the standard error", err.count("IMPORT UTM zw="), len(imports))
    for line in ("TARGET", "load_zone", "z1_start_tile"):
        if line in err:
            cli.fail(f"trace line {line} without QNMX_TRACE")


def gdal_warp(case):
    """gdalwarp's target of the same grids: (words, has data) as H x W
    arrays with row 0 at the southern edge as ours."""
    srs = "+proj=utm +zone=54 +ellps=GRS80 +units=m +no_defs" + (" +south" if case.zone.endswith("S") else "")
    n0 = NORTH0[case.zone]
    ulx, uly = EAST0 - 500, n0 + 500
    cli.sh("gdal_translate", "-q", "-a_srs", srs, "-a_ullr", str(ulx), str(uly), str(ulx + SIDE * 1000),
           str(uly - SIDE * 1000), "src.ppm", f"src_{case.name}.tif")
    xmin, ymin = LON0 - 0.5 / RESO, LAT0[case.zone] - 0.5 / RESO
    cli.sh("gdalwarp", "-q", "-overwrite", "-r", "near", "-et", "0", "-t_srs", "+proj=longlat +ellps=GRS80 +no_defs",
           "-te", repr(xmin), repr(ymin), repr(xmin + W / RESO), repr(ymin + H / RESO), "-ts", str(W), str(H),
           "-dstalpha", "-of", "ENVI", f"src_{case.name}.tif", f"{case.name}.env")
    bands = np.fromfile(cli.path(f"{case.name}.env"), np.uint8).reshape(4, H, W)[:, ::-1, :].astype(np.int64)
    words = (bands[0] << 24) | (bands[1] << 16) | (bands[2] << 8)
    return words, bands[3] > 0


def group_gdal():
    cases = [Case("n", "54N"), Case("s", "54S")]
    forms = prepare([c.name for c in cases]) + [c.form(i + 2) for i, c in enumerate(cases)]
    forms += [f'(qmxGetPoint "{c.name}.mx" {POINTS})' for c in cases]
    replies, _ = cli.run(forms, name="gdal")
    for case, reply in zip(cases, replies[-len(cases):]):
        ours = read_words(reply, case.name)
        words, has = gdal_warp(case)
        lon, _ = case.lonlat()
        zone = (lon >= 138) & (lon < 144)
        mine = ours != 255
        differ = int(np.count_nonzero(zone & ((mine != has) | (mine & has & (ours != words)))))
        print(f"{case.name}: {int(np.count_nonzero(zone))} pixels in the zone, {differ} differ from gdalwarp")
        if differ * 1000 >= int(np.count_nonzero(zone)) or np.count_nonzero(mine) < W * H // 4:
            cli.fail(f"{case.name}: {differ} pixels differ from gdalwarp")


def group_refusals():
    good = Case("n", "54N").form(2)
    elements = Case("n", "54N").elements()

    def form(attrs='id="2" utmid="1" ch="0" XYdir="exchange"', **swap):
        el = list(elements)
        for i, v in swap.items():
            el[int(i[1:]) - 1] = v
        return f"(qmxImportUTM {attrs} " + " ".join(el) + ")"

    table = [
        (form('utmid="1" ch="0"'), PARAM, '("invalida parameter" "id")'),
        (form('id="9" utmid="1" ch="0"'), PARAM, '("invalida parameter" "id")'),
        (form('id="2" ch="0"'), PARAM, '("invalida parameter" "utmid")'),
        (form('id="2" utmid="2" ch="0"'), PARAM, '("invalida parameter" "utmid")'),
        (form('id="2" utmid="1"'), PARAM, '("invalida parameter" "ch")'),
        (form('id="2" utmid="1" ch="5"'), PARAM, '("invalida parameter" "ch")'),
        (form('id="2" utmid="1" ch="0" utmch="5"'), PARAM, '("invalida parameter" "utmch")'),
        (form('id="2" utmid="1" ch="1"'), PARAM, '("invalida parameter" "ch")'),
        (form('id="2" utmid="1" ch="0" utmch="1"'), PARAM, '("invalida parameter" "utmch")'),
        (form('id="2" utmid="3" ch="0"'), PARAM, '("invalida parameter" "ch")'),
        (form('id="4" utmid="1" ch="0"'), PARAM, '("invalida parameter" "id" "no fetch script")'),
        (form('id="2" utmid="4" ch="0"'), PARAM, '("invalida parameter" "utmid" "no fetch script")'),
        (form('id="2" utmid="1" ch="0" zwidth="abc"'), PARAM, '("invalida parameter" "zwidth")'),
        (form('id="2" utmid="1" ch="0" zwidth="-3"'), PARAM, '("invalida parameter" "zwidth")'),
        (form('id="2" utmid="1" ch="0" zwidth="0"'), PARAM, '("invalida parameter" "zwidth")'),
        (form(a1='"x"'), TYPE, '("type missmatch" "offset_x(Arg 1)")'),
        (form(a2='(List)'), TYPE, '("type missmatch" "offset_y(Arg 2)")'),
        (form(a3='"32"'), TYPE, '("type missmatch" "reso_x(Arg 3)")'),
        (form(a4='(List 1)'), TYPE, '("type missmatch" "reso_y(Arg 4)")'),
        (form(a5='5.5'), TYPE, '("type missmatch" "UTMno(Arg 5)")'),
        (form(a5='"N"'), PARAM, '("invalida parameter" "UTMno(Arg 5)")'),
        (form(a5='"zone"'), PARAM, '("invalida parameter" "UTMno(Arg 5)")'),
        (form(a5='0'), PARAM, '("invalida parameter" "UTMno(Arg 5)")'),
        (form(a5='"61S"'), PARAM, '("invalida parameter" "UTMno(Arg 5)")'),
        (form(a6='(List 1)'), PARAM, '("invalida parameter" "zone_offset_x/y(Arg 6)")'),
        (form(a7='(List 1 2)'), PARAM, '("invalida parameter" "zone_rezo_mirect(Arg 7)")'),
        (form(a8='"x"'), PARAM, '("invalida parameter" "zone_rezo_x/y(Arg 8)")'),
        (form(a9='"a"'), TYPE, '("type missmatch" "alipsoid-a(Arg 9)")'),
        (form(a10='(List)'), TYPE, '("type missmatch" "alipsoid-b(Arg 10)")'),
        (form(a9='0'), PARAM, '("invalida parameter" "alipsoid-a(Arg 9)")'),
        (form(a10='6400000'), PARAM, '("invalida parameter" "alipsoid-b(Arg 10)")'),
        ("(qmxImportUTM id=\"2\" utmid=\"1\" ch=\"0\" 1 2 3)", LENGTH, None),
    ]
    # Target channel 1 and the source bytes.mx hold single bytes.
    forms = prepare(["t"], channels=(("rgb8_v", 'file="on"', "255"), ("uint8_v", 'file="on"', "0")))
    forms.append(matrix("bytes.mx", (W, H), block=6, channels=(("uint8_v", 'file="on"', "0"),)))
    # A matrix without scripts never has a node ready.
    forms.append(matrix("bare.mx", (W, H), block=6).split(" (qmxPhase")[0] + ")")
    forms += ['(qmxExportPNM id="2" "before.ppm" 0 0)'] + [f for f, _, _ in table] + [
        '(qmxExportPNM id="2" "after.ppm" 0 0)']
    replies, err = cli.run(forms, name="refusals")
    k = len(forms) - len(table) - 1
    for (f, code, data), reply in zip(table, replies[k:]):
        cli.expect_error(f[:80], reply, code, data, None if code == LENGTH else "qmxImportUTM")
    cli.expect("refusals leave the target", open(cli.path("after.ppm"), "rb").read(),
               open(cli.path("before.ppm"), "rb").read())
    if "IMPORT UTM" in err:
        cli.fail("a refused import wrote its line")
    # A target whose fetch script never makes a missing node takes no
    # pixel: the import says so (it once answered success).
    never = matrix("never.mx", (W, H), block=6).replace(FETCH, FETCH.split(" (if ")[0] + ' (mxLoad target="file")')
    replies, _ = cli.run(prepare([]) + [never, good], name="never")
    cli.expect_error("a target no node takes", replies[-1], NO_OBJECT,
                     '("invalid object in channel of NODE" "others" (-102 (0 0 0)))', "qmxImportUTM")
    # The traces of the passes, only under QNMX_TRACE.
    _, err = cli.run(prepare(["t"]) + [good], env={"QNMX_TRACE": "1"}, name="traced")
    for line in ("IMPORT UTM zw=6.000000\n", "z1_start_tile ", "load_zone-1\n", "load_zone-3\n", "TARGET START ",
                 "TARGET END ", " < "):
        if line not in err:
            cli.fail(f"no {line!r} under QNMX_TRACE")


try:
    {"zones": group_zones, "gdal": group_gdal, "refusals": group_refusals}[GROUP]()
except Exception as e:  # a reply that is not what it should be
    cli.fail(f"{type(e).__name__}: {e}")
    raise
finally:
    cli.finish()
