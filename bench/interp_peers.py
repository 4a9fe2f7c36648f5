#!/usr/bin/env python3
"""Runs the interpolated-read benchmark next to scipy in the same run and
prints the ratios: interp_peers.py BUILD-DIR [SIDE [N]] (a release build
with the benchmarks, as `make bench` makes it; a 1024 x 1024 grid and
10^6 points by default).

Our reads through the element-access cache (points in one cell, random
points one by one, and the random points as one batch) are set next to
scipy.interpolate.RegularGridInterpolator(method="linear") evaluating the
same points of the same grid in one batch call; the values are compared."""
import json
import os
import subprocess
import sys
import tempfile
import time


def rate(interp, pts):
    """Points per second of batch evaluation, repeated until it took 0.3 s."""
    done, t0 = 0, time.perf_counter()
    while True:
        interp(pts)
        done += len(pts)
        if time.perf_counter() - t0 >= 0.3:
            return done / (time.perf_counter() - t0)


def main(argv):
    try:
        import numpy as np
        from scipy.interpolate import RegularGridInterpolator
    except ImportError:  # Debian's own python3 has them (python3-numpy, python3-scipy)
        if sys.executable != "/usr/bin/python3":
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        raise
    build = argv[0] if argv else "build/bench"
    side = int(argv[1]) if len(argv) > 1 else 1024
    count = int(argv[2]) if len(argv) > 2 else 1000000
    bench = os.path.join(build, "bench", "interp_bench")
    with tempfile.TemporaryDirectory(prefix="interp", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        out = subprocess.run([bench, d, str(side), str(count)], check=True, capture_output=True, text=True).stdout
        ours = json.loads(out.strip().splitlines()[-1])
        load = lambda name: np.fromfile(os.path.join(d, name), dtype=np.float64)
        grid = load("grid.f64").reshape(side, side).T  # grid[x, y]
        axes = (np.arange(side, dtype=np.float64),) * 2
        interp = RegularGridInterpolator(axes, grid, method="linear")
        random, same = load("random.f64").reshape(-1, 2), load("same.f64").reshape(-1, 2)
        worst = float(np.max(np.abs(interp(random) - load("ours.f64"))))
        peer_random, peer_same = rate(interp, random), rate(interp, same)
    print("%d^2 double grid, %d points; our values differ from scipy's by at most %.2g" % (side, count, worst))
    print("  same cell:    ours %9.0f points/s (single reads); scipy batch %9.0f points/s (ours / scipy = %.2f)"
          % (ours["same_cell"], peer_same, ours["same_cell"] / peer_same))
    print("  random:       ours %9.0f points/s (single reads); scipy batch %9.0f points/s (ours / scipy = %.2f)"
          % (ours["random"], peer_random, ours["random"] / peer_random))
    print("  random batch: ours %9.0f points/s (batch read);   scipy batch %9.0f points/s (ours / scipy = %.2f)"
          % (ours["random_batch"], peer_random, ours["random_batch"] / peer_random))


if __name__ == "__main__":
    main(sys.argv[1:])
