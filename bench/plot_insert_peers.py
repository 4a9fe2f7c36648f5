#!/usr/bin/env python3
"""Point insertion next to an SQLite R*Tree, in one run:
plot_insert_peers.py BUILD-DIR [ROWS] (a release build as `make bench`
makes it; ROWS 10^6 by default).

The input is one CSV file of ROWS lines "id,x,y" with random coordinates
over a SIDE x SIDE plane, made beforehand.

The row is pairs of whole processes, ours then SQLite's
(QNMX_BENCH_REPEATS pairs, 5 by default). Ours: a qnmx process makes a
plot matrix of SIDE x SIDE (nodes of 256 x 256 cells, divide 1) in a new
file, inserts every line with qmxPgPlotInsert (x and y the coordinates, the
id a point field) and closes the matrix, writing every node. SQLite's: the
sqlite3 shell imports the same file into a table and fills an R*Tree (id,
x, x, y, y) from it, in a new database file. Both read back afterwards:
the number of points (ours from the node blocks, SQLite's count)."""
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

SIDE = 1 << 16


def matrix(name):
    fetch = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
             '(if (equal (GE (ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") (mxLoad target="file")) '
             '(mxPgPlotInitialize channel="0") (mxLoadSB)')
    dims = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{SIDE}") (qmxMatrixBlockSize dim="{d}" value="8") '
                    f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    return (f'(qmxCreate filename="{name}" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") {dims} '
            f'(qmxChannelInfo channel="0" type="block" file="on") (qmxPhase area="3" {fetch}) '
            '(qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3") '
            '(qmxPhase area="21" (mxSaveSB) (mxSave)) (qmxPhase area="22" type="equ" equ="21") '
            '(qmxPhase area="23" (mxSaveSB) (mxSave)))')


FIELDS = ['(define h (qmxPgPlotField id="1"))',
          '(qmxPgPlotField label="0" csv="0" merge-type="49" h mxPgFDIT_INT 1 0 1)',
          '(qmxPgPlotField dim="0" csv="1" merge-type="48" h mxPgFDIT_INT 1 0 1)',
          '(qmxPgPlotField dim="1" csv="2" merge-type="48" h mxPgFDIT_INT 1 0 1)']
INSERT = '(qmxPgPlotInsert id="1" channel="0" csv="on" h (Load option="text" terminate="\\n" "rows.csv"))'


def run(cmd, work, inp=None):
    t = time.perf_counter()
    p = subprocess.run(cmd, cwd=work, input=inp, capture_output=True)
    took = time.perf_counter() - t
    if p.returncode != 0 or b"#error" in p.stdout:
        sys.exit(f"plot_insert_peers: {cmd[0]} failed: {p.stdout[-300:]!r} {p.stderr[-300:]!r}")
    return took, p.stdout


def ours(agent, work, env):
    """Seconds of the qnmx process making the matrix, inserting every line
    and closing it."""
    pairs.remove(work, "p.mx", "ins.out")
    return pairs.script(agent, "ins.zu", "ins.out", work, env, "the insert script")


def count_points(agent, work, top):
    """The points in every node of p.mx, walked from the top."""
    total, frontier = 0, [(top, 0, 0)]
    while frontier:
        forms = [f'(qmxGetPoint mode="node" "p.mx" (List {l} {x} {y}))' for l, x, y in frontier]
        forms += [f'(qmxPgDisplay (qmxGetPoint mode="block" channel="0" "p.mx" (List {l} {x} {y})))'
                  for l, x, y in frontier]
        with open(os.path.join(work, "walk.zu"), "w") as f:
            f.write("\n".join(forms) + "\n")
        out = run([agent, "walk.zu", "-"], work)[1].decode()
        replies = re.findall(r"<Result> \d+ (.*?)</Result>", out, re.S)
        half = len(frontier)
        nxt = []
        for status, shown in zip(replies[:half], replies[half:]):
            kids = re.search(r'"bitFieldType" \(((?:\(\d+ \d+ \d+\) ?)*)\)', status)
            if kids:
                nxt += [tuple(map(int, k)) for k in re.findall(r"\((\d+) (\d+) (\d+)\)", kids.group(1))]
            m = re.match(r"\(pg \d+ \d+ (\d+)", shown)
            total += int(m.group(1)) if m else 0
        frontier = nxt
    return total


SQLITE = (".mode csv\nCREATE TABLE t(id INTEGER, x INTEGER, y INTEGER);\n.import rows.csv t\n"
          "CREATE VIRTUAL TABLE pts USING rtree(id, minx, maxx, miny, maxy);\n"
          "INSERT INTO pts SELECT id, x, x, y, y FROM t;\n")


def sqlite(work):
    """Seconds of the sqlite3 shell importing the CSV into a new database."""
    pairs.remove(work, "rt.db")
    return pairs.process(["sqlite3", "rt.db"], cwd=work, stdin=os.path.join(work, "import.sql"))


def main(argv):
    build = argv[0] if argv else "build/bench"
    rows = int(argv[1]) if len(argv) > 1 else 10 ** 6
    agent = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    if not os.access(agent, os.X_OK):
        sys.exit(f"plot_insert_peers: {agent} is missing")
    if not shutil.which("sqlite3"):
        sys.exit("plot_insert_peers: the sqlite3 shell is missing: run scripts/setup.sh")
    work = tempfile.mkdtemp(prefix="plot_bench_")
    try:
        r = random.Random(1)
        with open(os.path.join(work, "rows.csv"), "w") as f:
            f.writelines(f"{i},{r.randrange(SIDE)},{r.randrange(SIDE)}\n" for i in range(rows))
        forms = [matrix("p.mx")] + FIELDS + [INSERT, '(qmxClose id="1")']
        with open(os.path.join(work, "ins.zu"), "w") as f:
            f.write("\n".join(forms) + "\n")
        with open(os.path.join(work, "import.sql"), "w") as f:
            f.write(SQLITE)
        env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}
        rid, path = "plot.csv_insert", "%d CSV points inserted into point-vector blocks" % rows
        peer, ours_does = "SQLite R*Tree", "a qnmx process: a new plot matrix, qmxPgPlotInsert of the CSV, close"
        theirs_does = "the sqlite3 shell importing the CSV into a new database's R*Tree"
        try:
            a, b = pairs.alternate(lambda: ours(agent, work, env), lambda: sqlite(work))
        except pairs.Failed as e:
            pairs.row(rid, path, peer, ours_does, theirs_does, "processes", "-", "failed: %s" % e, "-")
            return
        pairs.row(rid, path, peer, ours_does, theirs_does, "processes", "-", a, b)
        stored = count_points(agent, work, (SIDE - 1).bit_length())
        n = int(run(["sqlite3", "rt.db", "SELECT count(*) FROM pts;"], work)[1])
        if stored != rows or n != rows:
            sys.exit(f"plot_insert_peers: {stored} points stored, {n} in SQLite, of {rows}")
        mine, theirs = statistics.median(a), statistics.median(b)
        print(f"{rows} points, {SIDE} x {SIDE}; medians of {len(a)} pairs of whole processes")
        print(f"qnmx: qmxPgPlotInsert + close   {mine:8.2f} s  {rows / mine:12.0f} points/s")
        print(f"sqlite3 import + R*Tree         {theirs:8.2f} s  {rows / theirs:12.0f} points/s")
        print(f"median ratio (ours / SQLite's time) {statistics.median(x / y for x, y in zip(a, b)):.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
