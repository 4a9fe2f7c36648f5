#!/usr/bin/env python3
"""Runs the interpolated-read benchmark next to scipy in the same run, in
pairs, and prints the rows and the ratios: interp_peers.py BUILD-DIR [SIDE
[N]] (a release build with the benchmarks, as `make bench` makes it; a 1024
x 1024 grid and 10^6 points by default).

Our reads through the element-access cache (points in one cell, random
points one by one, and the random points as one batch) are set next to
scipy.interpolate.RegularGridInterpolator(method="linear") evaluating the
same points of the same grid in one batch call; the values are compared.
The printed rates are each side's passes repeated for 0.3 s. The rows are
pairs: interp_bench, kept running, times one pass over the random points
(one by one, or as one batch) and this process then times scipy's call on
them, pairs.repeats() times; both sides are timed in their own process."""
import json
import os
import subprocess
import sys
import tempfile
import time

import pairs

PATH = "interpolated reads of %s random points of a %dx%d double grid"
SCIPY = "RegularGridInterpolator(method=linear), one batch call, timed in its process"


def rate(interp, pts):
    """Points per second of batch evaluation, repeated until it took 0.3 s."""
    done, t0 = 0, time.perf_counter()
    while True:
        interp(pts)
        done += len(pts)
        if time.perf_counter() - t0 >= 0.3:
            return done / (time.perf_counter() - t0)


def once(interp, pts):
    t = time.perf_counter()
    interp(pts)
    return time.perf_counter() - t


def main(argv):
    try:
        import numpy as np
        from scipy.interpolate import RegularGridInterpolator
    except ImportError:  # Debian's own python3 has them (python3-numpy, python3-scipy)
        if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        np = None
    build = argv[0] if argv else "build/bench"
    side = int(argv[1]) if len(argv) > 1 else 1024
    count = int(argv[2]) if len(argv) > 2 else 1000000
    bench = os.path.join(build, "bench", "interp_bench")
    with tempfile.TemporaryDirectory(prefix="interp", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        # The batch read traces its cells on standard error at every call:
        # kept apart, shown only when interp_bench fails.
        errors = open(os.path.join(d, "stderr.txt"), "w+")
        ours = subprocess.Popen([bench, d, str(side), str(count), "rounds"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=errors, text=True)

        def failed():
            errors.seek(0)
            return pairs.Failed("interp_bench failed (exit %s): %s" % (ours.wait(), errors.read()[-300:].strip()))

        def answer():
            line = ours.stdout.readline()
            if not line:
                raise failed()
            return line

        def round_of(what):
            ours.stdin.write(what + "\n")
            ours.stdin.flush()
            return float(answer())

        try:
            figures = json.loads(answer())
            if np is not None:
                load = lambda name: np.fromfile(os.path.join(d, name), dtype=np.float64)
                grid = load("grid.f64").reshape(side, side).T  # grid[x, y]
                axes = (np.arange(side, dtype=np.float64),) * 2
                interp = RegularGridInterpolator(axes, grid, method="linear")
                random, same = load("random.f64").reshape(-1, 2), load("same.f64").reshape(-1, 2)
                worst = float(np.max(np.abs(interp(random) - load("ours.f64"))))
                report(figures, side, count, worst, rate(interp, random), rate(interp, same))
            times = {}
            for rid, what in (("interp.random", "random"), ("interp.batch", "batch")):
                if np is None:
                    times[rid] = [round_of(what) for _ in range(pairs.repeats())], \
                        pairs.missing("scipy", "python3-scipy")
                else:
                    times[rid] = pairs.alternate(lambda: round_of(what), lambda: once(interp, random))
        finally:
            ours.stdin.close()
            ours.wait()
        if ours.returncode != 0:
            raise failed()
        errors.close()
    points = "10^6" if count == 1000000 else str(count)
    for rid, does in (("interp.random", "one pass of single reads through the element-access cache"),
                      ("interp.batch", "one batch read through the element-access cache")):
        pairs.row(rid, PATH % (points, side, side), "scipy", does + ", timed in process (interp_bench)", SCIPY,
                  "in process", "-", *times[rid])


def report(ours, side, count, worst, peer_random, peer_same):
    print("%d^2 double grid, %d points; our values differ from scipy's by at most %.2g" % (side, count, worst))
    print("  same cell:    ours %9.0f points/s (single reads); scipy batch %9.0f points/s (ours / scipy = %.2f)"
          % (ours["same_cell"], peer_same, ours["same_cell"] / peer_same))
    print("  random:       ours %9.0f points/s (single reads); scipy batch %9.0f points/s (ours / scipy = %.2f)"
          % (ours["random"], peer_random, ours["random"] / peer_random))
    print("  random batch: ours %9.0f points/s (batch read);   scipy batch %9.0f points/s (ours / scipy = %.2f)"
          % (ours["random_batch"], peer_random, ours["random_batch"] / peer_random), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
