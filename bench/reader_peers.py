#!/usr/bin/env python3
"""The reader as a user runs it: reader_peers.py BUILD-DIR [MEGABYTES] (a
release build as `make bench` makes it; a list of 50 MB by default).

One file holds one list of records, each a list of a symbol, an integer, a
string, a floating number and a list of three symbols, one record a line:
the data a script loads whole. Every run is a whole process, start-up and
exit included:
  zu.reader         qnmx on a script that reads the file by (Load f) and
                    counts the members of its one form;
  zu.reader.quoted  qnmx on a script that holds the same list as one quoted
                    form and counts its members;
  the peer          Guile reading the same file with `read` and taking the
                    length of the list.
The three run in turn, QNMX_BENCH_REPEATS rounds (default 5); each row
pairs one of ours with the Guile run of its round. Before the rows: each
side's median MB/s and its peak resident size (VmHWM, from time(1))."""
import os
import random
import shutil
import statistics
import sys
import tempfile

import pairs

WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def make_list(path, size):
    """The list file of about size bytes; its number of records."""
    r = random.Random(7)
    n = 0
    with open(path, "w") as out:
        out.write("(\n")
        written = 2
        while written < size - 2:
            w = WORDS[n % 8]
            line = '(%s %d "%s %d" %d.%d (%s-%d x y))\n' % (w, n, w, r.randrange(100000), r.randrange(1000),
                                                           r.randrange(100), WORDS[n * 3 % 8], n % 97)
            out.write(line)
            written += len(line)
            n += 1
        out.write(")\n")
    return n


def write_scripts(d):
    with open(os.path.join(d, "load.zu"), "w") as f:
        f.write('(ListLength (car (Load "list.zu")))\n')
    with open(os.path.join(d, "quoted.zu"), "w") as f, open(os.path.join(d, "list.zu")) as data:
        f.write("(ListLength (quote ")
        shutil.copyfileobj(data, f)
        f.write("))\n")
    with open(os.path.join(d, "read.scm"), "w") as f:
        f.write('(display (length (call-with-input-file "list.zu" read)))\n(newline)\n')


def counted(d, replies):
    with open(os.path.join(d, replies), errors="replace") as f:
        return f.read()


def main(argv):
    build = argv[0] if argv else "build/bench"
    mb = float(argv[1]) if len(argv) > 1 else 50
    qnmx = os.path.abspath(os.path.join(build, "src", "app", "qnmx"))
    guile = shutil.which("guile")
    with tempfile.TemporaryDirectory(prefix="reader", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        records = make_list(os.path.join(d, "list.zu"), int(mb * 1e6))
        size = os.path.getsize(os.path.join(d, "list.zu"))
        write_scripts(d)
        env = dict(os.environ, HOME=d, STD_CODE="UTF-8")
        want = "<Result> 1 %d</Result>" % records
        runs = {"load": [], "quoted": [], "guile": []}
        peaks = {"load": [], "quoted": [], "guile": []}

        def ours(which):
            usage = {}
            took = pairs.script(qnmx, which + ".zu", which + ".txt", d, env, which + ".zu", usage)
            if want not in counted(d, which + ".txt"):
                raise pairs.Failed("%s.zu counted %s, not %d records" % (which, counted(d, which + ".txt"), records))
            peaks[which].append(usage["rss_mib"])
            return took

        def peer():
            usage = {}
            took = pairs.process([guile, "--no-auto-compile", "read.scm"], cwd=d, env=env,
                                 stdout=os.path.join(d, "guile.txt"), usage=usage)
            if counted(d, "guile.txt").strip() != str(records):
                raise pairs.Failed("Guile counted %s, not %d records" % (counted(d, "guile.txt").strip(), records))
            peaks["guile"].append(usage["rss_mib"])
            return took

        for _ in range(pairs.repeats()):
            runs["load"].append(ours("load"))
            if guile:
                runs["guile"].append(peer())
            runs["quoted"].append(ours("quoted"))
    print("A list of %d records, %d bytes (%.1f MB), read whole; median MB/s and peak resident size (VmHWM):"
          % (records, size, size / 1e6))
    for which, what in (("load", "qnmx, (Load f)"), ("quoted", "qnmx, one quoted form of the script"),
                        ("guile", "Guile, read of the file")):
        if runs[which]:
            print("  %-38s %6.1f MB/s  %6.0f MiB" % (what, size / 1e6 / statistics.median(runs[which]),
                                                   max(peaks[which])), flush=True)
    theirs = runs["guile"] if guile else pairs.missing("guile", "guile-3.0")
    path = "reader: a list of %.0f MB (%d records) read whole, whole process" % (size / 1e6, records)
    aim = "ours<=%.3g; at least 40 MB/s end to end" % (size / 40e6)
    peer_does = ("guile --no-auto-compile: (length (call-with-input-file \"list.zu\" read)), the same data; "
                 "the Guile run of the round")
    pairs.row("zu.reader", path, "Guile", "qnmx on a script (ListLength (car (Load \"list.zu\")))", peer_does,
              "processes", aim, runs["load"], theirs)
    pairs.row("zu.reader.quoted", path.replace("read whole", "as one quoted form of the script"), "Guile",
              "qnmx on a script (ListLength (quote (...))) holding the list", peer_does, "processes", aim,
              runs["quoted"], theirs)


if __name__ == "__main__":
    main(sys.argv[1:])
