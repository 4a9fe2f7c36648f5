#!/usr/bin/env python3
"""The transverse Mercator series against PROJ's cs2cs (and proj):
tmerc_check.py PATH-TO-codec_check. Within 1 cm inside 3 degrees of the
central meridian; the growth of the error beyond is printed, not failed."""
import codec_tools as ct

ELLIPSOIDS = {  # name: (a, inverse flattening or None for a sphere)
    "GRS80": (6378137.0, 298.257222101),
    "WGS84": (6378137.0, 298.257223563),
    "Bessel": (6377397.155, 299.1528128),
    "sphere": (6370997.0, None),
}


def axes(name):
    a, rf = ELLIPSOIDS[name]
    return a, a if rf is None else a * (1 - 1 / rf)


def cs2cs(proj, points, a, b):
    """PROJ's (northing, easting) of each point. cs2cs takes a transverse
    Mercator with UTM's parameters for UTM, which refuses a sphere: the
    sphere goes through PROJ's plain projection command instead."""
    text = "".join("%.10f %.10f\n" % p for p in points).encode()
    if a == b:
        args = [ct.tool("proj"), *proj.split()]
    else:
        args = [ct.tool("cs2cs"), *("+proj=longlat +a=%.6f +b=%.6f +no_defs" % (a, b)).split(), "+to", *proj.split()]
    _, out, _ = ct.run(args + ["-f", "%.4f"], text)
    rows = [line.split() for line in out.decode().splitlines()]
    return [(float(r[1]), float(r[0])) for r in rows]  # (northing, easting)


def ours(points, a, b, lon0, x0, org_phi=None):
    args = ["utm", repr(a), repr(b), "0.9996", repr(lon0), repr(x0), "500000"]
    if org_phi is not None:
        args.append(repr(org_phi))
    text = "".join("%.10f %.10f\n" % p for p in points).encode()
    _, out, _ = ct.harness(*args, data=text)
    return [tuple(map(float, line.split())) for line in out.decode().splitlines()]


def worst(xs, ys):
    return max(max(abs(p[0] - q[0]), abs(p[1] - q[1])) for p, q in zip(xs, ys))


class Projection(ct.TempDir):
    def grid(self, lon0, south, reach, equator=True):
        # PROJ's spherical form takes an arc cosine that loses about 10 cm
        # on the equator itself; the sphere's rows keep 1 degree away.
        first = 0 if equator else 1
        lats = range(-80 + first, 1 - first, 4) if south else range(first, 85, 4)
        steps = int(reach / 0.25)
        return [(lon0 + k * 0.25, lat) for lat in lats for k in range(-steps, steps + 1)]

    def test_zones_and_ellipsoids(self):
        report = []
        for name in ELLIPSOIDS:
            a, b = axes(name)
            for zone in (1, 31, 54, 60):
                lon0 = 6 * zone - 183
                for south in (False, True):
                    x0 = 10000000.0 if south else 0.0
                    if name == "sphere":  # utm refuses a sphere
                        proj = "+proj=tmerc +lon_0=%d +k_0=0.9996 +x_0=500000 +y_0=%d +a=%.6f +b=%.6f" % (
                            lon0, x0, a, b)
                    else:
                        proj = "+proj=utm +zone=%d %s +a=%.6f +b=%.6f" % (zone, "+south" if south else "", a, b)
                    inside = self.grid(lon0, south, 3, equator=name != "sphere")
                    self.assertLessEqual(worst(ours(inside, a, b, lon0, x0), cs2cs(proj, inside, a, b)), 0.01,
                                         (name, zone, south))
                    if zone == 31:
                        for reach in (4, 5, 6):
                            ring = [p for p in self.grid(lon0, south, reach, name != "sphere")
                                    if abs(p[0] - lon0) > reach - 1]
                            report.append("%s zone %d%s %d deg: %.4f m" % (
                                name, zone, "S" if south else "N", reach,
                                worst(ours(ring, a, b, lon0, x0), cs2cs(proj, ring, a, b))))
        print("\nerror beyond 3 degrees:\n  " + "\n  ".join(report))

    def test_origin_latitude(self):
        a, b = axes("GRS80")
        points = self.grid(9, False, 3)
        proj = "+proj=tmerc +lat_0=35 +lon_0=9 +k_0=0.9996 +x_0=500000 +y_0=0 +a=%.6f +b=%.6f" % (a, b)
        ref = cs2cs(proj, points, a, b)
        forward = ours(points, a, b, 9, 0.0, org_phi=35)
        backward = ours(points[::-1], a, b, 9, 0.0, org_phi=35)[::-1]
        self.assertLessEqual(worst(forward, ref), 0.01)
        self.assertEqual(forward, backward)


if __name__ == "__main__":
    ct.main()
