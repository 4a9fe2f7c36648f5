#!/usr/bin/env python3
"""Time per node of a matrix made, filled and closed, as its nodes grow:
mx_close_peers.py BUILD-DIR [--big] [BLOCK:SIDE ...] (a release build, as
`make bench` makes it).

Each case is one whole qnmx process: qmxCreate of an rgb8_v matrix (default
255; nodes of 2^BLOCK a side, each level halving; the fetch script in slots
3-5, the 2 x 2 mean save script in 21/22, mxSave in 23), qmxImportPNM of a
SIDE x SIDE P6 at (0, 0) and qmxClose, which saves every node, makes every
coarser level from the one below and syncs the file. Nodes of 8 at 1024,
2048 and 4096 on a side (21,845 to 349,525 nodes) and nodes of 64 at 4096
and 8192 (5,461 and 21,845 nodes); --big adds nodes of 64 at 16384 (87,381
nodes, a 768 MiB picture and a minute or two a run), which `make bench`
leaves out. Arguments BLOCK:SIDE run those cases instead.

The runs of a series go in turn (the smallest, ..., the largest, then again,
QNMX_BENCH_REPEATS times), so that the load of the machine falls on every
size alike. Each case is a row judged on its own seconds, and each series a
row of the time per node at its largest size over that at its smallest:
a close that cost more per node as the nodes grow (a walk of the worker
queue per node, a pass over every node per batch of nodes saved) shows
there (aim: within 1.5x)."""
import os
import statistics
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "agent"))
import pairs  # noqa: E402
from qmx_cli import THIN, matrix  # noqa: E402

SERIES = {3: [1024, 2048, 4096], 6: [4096, 8192]}
BIG = {6: [16384]}


def nodes(side, block):
    """Nodes of every level of a side x side matrix with nodes of 2^block."""
    total, across = 0, -(-side >> block)
    while True:
        total += across * across
        if across == 1:
            return total
        across = (across + 1) // 2


def write_picture(path, side):
    """A side x side P6 of (x*7 + y*3, x ^ y, (x*y) >> 5), written in strips."""
    np = pairs.numpy()
    xs = np.arange(side, dtype=np.int64)[None, :]
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (side, side))
        for y0 in range(0, side, 256):
            ys = np.arange(y0, min(side, y0 + 256), dtype=np.int64)[:, None]
            f.write(np.stack([(xs * 7 + ys * 3) & 255, (xs ^ ys) & 255, ((xs * ys) >> 5) & 255], -1)
                    .astype(np.uint8).tobytes())


def cases_of(argv):
    """{block: [sides]} from the arguments."""
    picked = {}
    for a in [a for a in argv if a != "--big"]:
        block, side = (int(v) for v in a.split(":"))
        picked.setdefault(block, []).append(side)
    if picked:
        return {b: sorted(s) for b, s in picked.items()}
    series = {b: list(s) for b, s in SERIES.items()}
    if "--big" in argv:
        for b, s in BIG.items():
            series.setdefault(b, []).extend(s)
    return series


def main(argv):
    pairs.numpy()
    build = argv[0] if argv else "build/bench"
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    series = cases_of(argv[1:])
    with tempfile.TemporaryDirectory(prefix="mxclose", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        env = {k: v for k, v in os.environ.items() if k not in ("QNMX_TRACE", "ZUPATH")}
        env.update(HOME=work, STD_CODE="UTF-8")
        for block, sides in series.items():
            size = 1 << block
            folders = {}
            for side in sides:
                d = os.path.join(work, "n%d_%d" % (size, side))
                os.makedirs(d)
                write_picture(os.path.join(d, "in.ppm"), side)
                with open(os.path.join(d, "s.zu"), "w") as f:
                    f.write("\n".join([matrix("m.mx", (side, side), block=block, save_up=THIN),
                                       '(qmxImportPNM id="1" "in.ppm" 0 0 0 0)', '(qmxClose id="1")']) + "\n")
                folders[side] = d
            times = {side: [] for side in sides}
            failed = None
            for _ in range(pairs.repeats()):
                for side in sides:
                    pairs.remove(folders[side], "m.mx", "r.txt")
                    try:
                        times[side].append(pairs.script(qnmx, "s.zu", "r.txt", folders[side], env,
                                                        "the close of %d^2" % side))
                    except pairs.Failed as e:
                        failed = str(e)
                        break
                if failed:
                    break
            for side in sides:
                n = nodes(side, block)
                rid = "mx_close.n%d.%d" % (size, side)
                what = "a new rgb8_v matrix of %d^2 in nodes of %d (%d nodes): create, import of a P6, close" % (
                    side, size, n)
                ours = "qnmx: qmxCreate, qmxImportPNM, qmxClose (every node saved, the coarser levels made, synced)"
                if failed:
                    pairs.row(rid, what, "-", ours, "-", "processes", "-", "failed: " + failed, "-")
                    continue
                pairs.row(rid, what, "-", ours, "-", "processes", "-", times[side], "-")
                print("%s: %.3f s, %.1f us a node (median of %d)" % (
                    rid, statistics.median(times[side]), 1e6 * statistics.median(times[side]) / n,
                    len(times[side])), flush=True)
            if failed or len(sides) < 2:
                continue
            lo, hi = sides[0], sides[-1]
            per_hi = [t / nodes(hi, block) for t in times[hi]]
            per_lo = [t / nodes(lo, block) for t in times[lo]]
            pairs.row("mx_close.n%d.scaling" % size,
                      "time per node of create, import and close in nodes of %d, %d^2 against %d^2" % (size, hi, lo),
                      "ours at %d^2" % lo, "the row at %d^2 over its nodes" % hi, "the row at %d^2 over its nodes" % lo,
                      "processes", "ratio<=1.5; time per node flat", per_hi, per_lo)


if __name__ == "__main__":
    main(sys.argv[1:])
