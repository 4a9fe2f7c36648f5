#!/usr/bin/env python3
"""The benchmark table's machinery: ROW lines and the registry read back,
ratios and aims judged, rows missing or failed said so, paired runs in
turn, and bench/run.sh running unrowed benchmarks before the table of the
rowed ones (on stand-in benchmarks: nothing is timed for real)."""
import io
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stdout

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench")
sys.path.insert(0, BENCH)
import pairs  # noqa: E402
import table  # noqa: E402


def row_line(rid="a.b", aim="ratio<=2", ours="1,2,3", peer="1,1,1"):
    return "ROW %s | a path | a peer | ours does | peer does | processes | %s | %s | %s" % (rid, aim, ours, peer)


class RowLines(unittest.TestCase):
    def test_read_back(self):
        cases = [  # line, (ratios, note) or None for a line that is no row
            (row_line(), ([1, 2, 3], "")),
            (row_line(peer="missing: guile is not installed"), ([], "peer missing: guile is not installed")),
            (row_line(ours="failed: qnmx failed (exit 3)", peer="-"), ([], "failed: qnmx failed (exit 3)")),
            (row_line(peer="-"), ([], "")),
            (row_line(ours="1,2", peer="0,2"), ([1.0], "")),  # a peer run of no time gives no ratio
            (row_line().replace(" | processes", ""), None),
            (row_line(ours="1,x"), None),
            ("== ROW of something", None),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                r = table.parse_row(line)
                if want is None:
                    self.assertIsNone(r)
                    continue
                self.assertEqual((r.ratio_list(), r.note), want)

    def test_printed_rows_read_back(self):
        for theirs in ([0.5, 0.25], "missing: x is not installed", "-"):
            out = io.StringIO()
            pairs.row("x.y", "a | path", "peer", "ours\ndoes", "p", "in process", "ratio<1", [0.25, 1e-9], theirs,
                      out=out)
            r = table.parse_row(out.getvalue())
            self.assertEqual((r.id, r.path, r.ours_does, r.ours), ("x.y", "a / path", "ours does", [0.25, 1e-9]))
            self.assertEqual(r.theirs, theirs if isinstance(theirs, list) else [])


class Judging(unittest.TestCase):
    def test_aims(self):
        cases = [  # aim, ours, peer, judged, shown
            ("ratio<=2", "1,2,3", "1,1,1", "yes", "ours/peer ≤ 2"),
            ("ratio<1; faster", "1,2,3", "1,1,1", "no", "ours/peer < 1 (faster)"),
            ("ratio>=0.5", "1", "4", "no", "ours/peer ≥ 0.5"),
            ("ours<=2.5; 100 MB/s", "1,2,3", "-", "yes", "ours ≤ 2.5 s (100 MB/s)"),
            ("ours<50e-9", "6e-8", "-", "no", "ours < 50.0 ns"),
            ("-", "1", "1", "no aim", "-"),
            ("ratio<=3", "1", "missing: tool is not installed", "peer missing", "ours/peer ≤ 3"),
            ("ratio<=3", "failed: it broke", "-", "failed", "ours/peer ≤ 3"),
        ]
        for aim, ours, peer, judged, shown in cases:
            with self.subTest(aim=aim, ours=ours, peer=peer):
                r = table.parse_row(row_line(aim=aim, ours=ours, peer=peer))
                self.assertEqual(table.judged(r), judged)
                self.assertEqual(table.aim_text(aim), shown)

    def test_table_cells(self):
        rows = [table.parse_row(row_line(ours="3,1,2", peer="1,1,1")),
                table.parse_row(row_line("c.d", ours="0.002", peer="missing: x")),
                table.parse_row(row_line("e.f", aim="ours<=1", ours="0.5,0.7", peer="-"))]
        lines = table.table(rows)
        self.assertEqual(len(lines), 5)
        cells = [[c.strip() for c in line.split("|")[1:-1]] for line in lines[2:]]
        self.assertEqual(cells[0][4:], ["3 pairs, processes", "2.00 s / 1.00 s", "1.00", "2.00", "ours/peer ≤ 2",
                                        "yes"])
        self.assertEqual(cells[1][4:], ["1 run, processes", "2.0 ms", "-", "peer missing: x", "ours/peer ≤ 2",
                                        "peer missing"])
        self.assertEqual(cells[2][4:8], ["2 runs, processes", "600.0 ms", "-", "-"])


class Registry(unittest.TestCase):
    FOREIGN = ("a.ratio | prog | re=ratio ([0-9.]+) | path=p | peer=q | ours=o | theirs=t | how=h | aim=ratio<=1")

    def test_lines(self):
        entries = table.parse_registry("# comment\n\nx.* y.z | cmd {build} arg\n" + self.FOREIGN + "\n")
        self.assertEqual(entries[0][:2], (["x.*", "y.z"], "cmd {build} arg"))
        self.assertIsNone(entries[0][2])
        self.assertEqual(entries[1][2]["re"], "ratio ([0-9.]+)")
        for bad in ("only-an-id", self.FOREIGN.replace(" | aim=ratio<=1", "")):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                table.parse_registry(bad)

    def test_foreign_figures(self):
        out = "ratio 2.0\nratio 4.0\nours 2.0 s peer 4.0 s\nrates 100 50\n"
        cases = [  # regex, figures, ratios
            (r"ratio ([0-9.]+)", "", [2.0, 4.0]),
            (r"ratio ([0-9.]+)", "inverse", [0.5, 0.25]),
            (r"ours ([0-9.]+) s peer ([0-9.]+) s", "", [0.5]),
            (r"rates ([0-9.]+) ([0-9.]+)", "rates", [0.5]),
            (r"nothing ([0-9.]+)", "", []),
        ]
        for regex, figures, ratios in cases:
            with self.subTest(regex=regex, figures=figures):
                fields = dict(re=regex, path="p", peer="q", ours="o", theirs="t", how="h", aim="-", figures=figures)
                r = table.foreign_row("r", fields, out)
                self.assertEqual(r.ratio_list(), ratios)
                self.assertEqual(r.note, "" if ratios else "no figure in the output")

    def test_names(self):
        cases = [  # row id, names asked for, wanted
            ("codec.gifdec", [], True), ("codec.gifdec", ["codec"], True), ("codec.gifdec", ["codec.gifdec"], True),
            ("codec.gifdec", ["codec.gif*"], True), ("codec.gifdec", ["code"], False),
            ("codec.gifdec", ["store"], False),
        ]
        for rid, names, want in cases:
            with self.subTest(rid=rid, names=names):
                self.assertEqual(table.wanted(rid, names), want)
        self.assertTrue(table.entry_wanted(["codec.*"], ["codec.gifdec"]))
        self.assertTrue(table.entry_wanted(["codec.*"], ["codec"]))
        self.assertFalse(table.entry_wanted(["codec.*"], ["store"]))

    def test_collect(self):
        entries = table.parse_registry("a.* | ok\nb.* | broken\n" + self.FOREIGN.replace("prog", "ok") + "\n")
        outputs = {"ok": (0, "\n".join([row_line("a.one"), row_line("a.one"), row_line("b.stray"), "ratio 0.5"])),
                   "broken": (3, "it broke\n")}
        rows = table.collect(entries, outputs, [])
        self.assertEqual([r.id for r in rows], ["a.one", "b.*", "a.ratio"])
        self.assertEqual(rows[1].note, "no row came: the command failed (exit 3)")
        self.assertEqual(rows[2].ratio_list(), [0.5])
        self.assertEqual([r.id for r in table.collect(entries, outputs, ["a.ratio"])], ["a.ratio"])


class Pairs(unittest.TestCase):
    def test_alternate(self):
        calls = []
        os.environ["QNMX_BENCH_REPEATS"] = "3"
        try:
            a, b = pairs.alternate(lambda: calls.append("A") or 1.0, lambda: calls.append("B") or 2.0,
                                   between=lambda: calls.append("-"))
        finally:
            del os.environ["QNMX_BENCH_REPEATS"]
        self.assertEqual("".join(calls), "-A-B-A-B-A-B")
        self.assertEqual((a, b), ([1.0] * 3, [2.0] * 3))
        for value, want in (("0", 1), ("x", 5), ("7", 7)):
            os.environ["QNMX_BENCH_REPEATS"] = value
            try:
                self.assertEqual(pairs.repeats(), want)
            finally:
                del os.environ["QNMX_BENCH_REPEATS"]

    def test_process(self):
        use = {}
        self.assertGreater(pairs.process(["true"], usage=use), 0)
        self.assertGreater(use["rss_mib"], 0)
        with self.assertRaisesRegex(pairs.Failed, r"sh failed \(exit 3\): said so"):
            pairs.process(["sh", "-c", "echo said so >&2; exit 3"], usage={})
        with tempfile.TemporaryDirectory() as d:
            src, dst = os.path.join(d, "in"), os.path.join(d, "out")
            with open(src, "w") as f:
                f.write("bytes\n")
            pairs.process(["cat"], stdin=src, stdout=dst)
            with open(dst) as f:
                self.assertEqual(f.read(), "bytes\n")


def script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


class RunScript(unittest.TestCase):
    """bench/run.sh with stand-ins: a copy of run.sh and table.py beside a
    registry of its own, and a build folder of shell scripts."""

    def test_unrowed_first_then_the_table(self):
        with tempfile.TemporaryDirectory() as d:
            bench, build = os.path.join(d, "bench"), os.path.join(d, "build")
            os.makedirs(bench)
            os.makedirs(os.path.join(build, "bench"))
            for f in ("run.sh", "table.py", "pairs.py"):
                shutil.copy(os.path.join(BENCH, f), bench)
            script(os.path.join(build, "bench", "plain_bench"), "#!/bin/sh\necho plain ran \"$@\"\n")
            script(os.path.join(build, "bench", "broken_bench"), "#!/bin/sh\necho broken ran; exit 4\n")
            script(os.path.join(build, "bench", "rowed_bench"),
                   "#!/bin/sh\necho rowed ran\n" + "echo '%s'\n" % row_line("r.one", ours="2,2", peer="1,1"))
            script(os.path.join(bench, "side_peers.py"), "print('side ran')\n")
            with open(os.path.join(bench, "rows.txt"), "w") as f:
                f.write("r.* | {build}/bench/rowed_bench\nm.* | {build}/bench/missing_bench\n")
            out = subprocess.run(["bash", os.path.join(bench, "run.sh"), build], capture_output=True, text=True,
                                 env={k: v for k, v in os.environ.items() if k != "QNMX_BENCH_ROWS"})
            self.assertEqual(out.returncode, 0, out.stderr)
            text = out.stdout
            for seen in ("plain ran --benchmark_min_time=0.2", "broken_bench failed (exit 4)", "side ran",
                         "rowed ran"):
                self.assertIn(seen, text)
            self.assertEqual(text.count("rowed ran"), 1)
            self.assertLess(text.index("plain ran"), text.index("rowed ran"))
            tail = text[text.index("| row |"):].splitlines()
            self.assertEqual(len(tail), 4)
            self.assertIn("| r.one |", tail[2])
            self.assertIn("| 2 pairs, processes | 2.00 s / 1.00 s | 2.00 | 2.00 | ours/peer ≤ 2 | yes |", tail[2])
            self.assertIn("| m.* |", tail[3])
            self.assertIn("no row came: the command failed (exit 127)", tail[3])


if __name__ == "__main__":
    unittest.main()
