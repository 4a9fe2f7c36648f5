#!/usr/bin/env python3
"""The benchmark table: runs the benchmarks that bench/rows.txt names,
passes their output through, and ends with one table of their rows.

  table.py BUILD-DIR [ROW...]     runs the commands of every row, or of the
                                  rows named (an id, a prefix such as
                                  "codec" for codec.*, or a pattern)
  table.py --from FILE [ROW...]   the table of the rows in a saved output
                                  ("-" reads standard input)
  table.py --list                 the rows and the commands giving them

A benchmark gives a row by printing one line (bench/pairs.py and
bench/row.h print it):

  ROW id | path | peer | ours does | peer does | how | aim | ours | peer

"how" says how the sides run ("processes", "in process"). "ours" and
"peer" are the seconds of every run, comma-separated; the i-th run of each
side ran right after the other (a pair), so that load on the machine falls
on both alike. "peer" is "missing: why" when the peer is not installed,
and "-" when the row's aim is on our figure alone. "aim" is "-" (none), or
"ratio<=3", "ratio<1" (on the median of the pairs' ratios ours / peer), or
"ours<=2.5" (on our median, in the row's unit, seconds unless it says),
optionally followed by "; words" shown next to it.

Commands of rows.txt run from the top of the source tree; {build},
{bench} and {qnmx} stand for the build folder, this folder and the qnmx
binary. A line of rows.txt is either

  IDS | COMMAND                    the command prints ROW lines for IDS
  ID | COMMAND | re=REGEX | path=... | peer=... | ours=... | theirs=...
     | how=... | aim=... [| figures=...]
                                   the row is read from the command's own
                                   output: each match of REGEX is a run;
                                   one group is the ratio ours / peer, two
                                   groups are our and the peer's seconds
                                   (figures= says otherwise: "inverse" for
                                   peer / ours, "rates" for figures per
                                   second)

Fields are separated by " | "; IDS are ids or patterns ("store.*"). A
command named by several lines runs once. Missed aims never make this
program fail: the table is a measurement. QNMX_BENCH_ROWS names another
registry than bench/rows.txt."""
import fnmatch
import os
import shlex
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Row:
    def __init__(self, rid, path, peer, ours_does, peer_does, how, aim):
        self.id, self.path, self.peer = rid, path, peer
        self.ours_does, self.peer_does, self.how, self.aim = ours_does, peer_does, how, aim
        self.ours, self.theirs, self.ratios = [], [], []
        self.note = ""  # why there are no ratios: a missing peer, a failure
        self.paired = True

    def ratio_list(self):
        if self.ratios:
            return self.ratios
        return [a / b for a, b in zip(self.ours, self.theirs) if b > 0]


def numbers(text):
    return [float(x) for x in text.replace(" ", "").split(",") if x]


def parse_row(line):
    """A Row from a ROW line, or None when the line is not one."""
    if not line.startswith("ROW "):
        return None
    f = [x.strip() for x in line[4:].rstrip("\n").split(" | ")]
    if len(f) != 9:
        return None
    row = Row(*f[:7])
    try:
        row.ours = numbers(f[7]) if not f[7].startswith(("failed", "-")) else []
        if f[8].startswith("missing"):
            row.note = "peer missing" + f[8][len("missing"):]
        elif f[8] != "-":
            row.theirs = numbers(f[8])
    except ValueError:
        return None
    if f[7].startswith("failed"):
        row.note = f[7]
    return row


def parse_registry(text):
    """(ids, command, parse fields or None) of every line of rows.txt."""
    entries = []
    for n, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        f = [x.strip() for x in line.split(" | ")]
        if len(f) < 2:
            raise ValueError("rows.txt line %d: no command" % n)
        fields = None
        if len(f) > 2:
            fields = dict(x.split("=", 1) for x in f[2:])
            for key in ("re", "path", "peer", "ours", "theirs", "how", "aim"):
                if key not in fields:
                    raise ValueError("rows.txt line %d: no %s=" % (n, key))
        entries.append((f[0].split(), f[1], fields))
    return entries


def foreign_row(rid, fields, output):
    """The row read from a command's own output by its regex. figures=
    says what the groups are: "ratio" (one group, ours / peer; the
    default), "inverse" (one group, peer / ours), "seconds" (two groups,
    ours and the peer's; the default for two), "rates" (two groups, ours
    and the peer's figures per second)."""
    import re
    row = Row(rid, fields["path"], fields["peer"], fields["ours"], fields["theirs"], fields["how"], fields["aim"])
    row.paired = False
    figures = fields.get("figures", "")
    for m in re.finditer(fields["re"], output):
        try:
            g = [float(x) for x in m.groups()]
        except (TypeError, ValueError):
            continue
        if len(g) == 1:
            if figures == "inverse":
                g[0] = 1 / g[0] if g[0] else float("inf")
            row.ratios.append(g[0])
        elif len(g) == 2:
            if figures == "rates":
                g = [1 / x if x else float("inf") for x in g]
            row.ours.append(g[0])
            row.theirs.append(g[1])
    if not row.ratio_list() and not row.ours:
        row.note = "no figure in the output"
    return row


def wanted(rid, names):
    """Whether row id rid is among the rows named (all when none are)."""
    if not names:
        return True
    return any(rid == n or rid.startswith(n + ".") or fnmatch.fnmatchcase(rid, n) for n in names)


def entry_wanted(ids, names):
    """Whether a registry entry gives any of the rows named."""
    if not names:
        return True
    return any(wanted(i, names) or fnmatch.fnmatchcase(n, i) or i.startswith(n + ".") for i in ids for n in names)


def run_command(cmd, build):
    """Runs a registry command with its output passed through; (exit
    code, output)."""
    subst = {"build": os.path.abspath(build), "bench": HERE,
             "qnmx": os.path.join(os.path.abspath(build), "src", "app", "qnmx")}
    args = [a.format(**subst) for a in shlex.split(cmd)]
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    print("== " + " ".join(args), flush=True)
    try:
        p = subprocess.Popen(args, cwd=os.path.dirname(HERE), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, errors="replace", env=env)
    except OSError as e:
        print("cannot run: %s" % e, flush=True)
        return 127, ""
    out = []
    for line in p.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        out.append(line)
    return p.wait(), "".join(out)


def collect(entries, outputs, names):
    """The rows of the entries wanted, from the outputs of their commands
    (command -> (exit code, text)); a row that did not come says why."""
    rows, seen = [], set()
    for ids, cmd, fields in entries:
        if not entry_wanted(ids, names) or cmd not in outputs:
            continue
        rc, text = outputs[cmd]
        if fields:
            if wanted(ids[0], names):
                rows.append(foreign_row(ids[0], fields, text))
                if rc != 0 and not rows[-1].ratio_list():
                    rows[-1].note = "the command failed (exit %d)" % rc
            continue
        got = False
        for line in text.splitlines():
            row = parse_row(line)
            if row and any(fnmatch.fnmatchcase(row.id, i) for i in ids) and wanted(row.id, names) \
                    and row.id not in seen:
                seen.add(row.id)
                rows.append(row)
                got = True
        if not got:
            for i in ids:
                if wanted(i, names) or not names:
                    r = Row(i, "-", "-", "-", "-", "-", "-")
                    r.note = "no row came: the command failed (exit %d)" % rc if rc else "no row came"
                    rows.append(r)
    return rows


def rows_of_log(text, names):
    rows, seen = [], set()
    for line in text.splitlines():
        row = parse_row(line)
        if row and wanted(row.id, names) and row.id not in seen:
            seen.add(row.id)
            rows.append(row)
    return rows


def seconds(x):
    if x >= 1:
        return "%.2f s" % x
    if x >= 1e-3:
        return "%.1f ms" % (x * 1e3)
    if x >= 1e-6:
        return "%.1f us" % (x * 1e6)
    return "%.1f ns" % (x * 1e9)


def ratio_text(r):
    return "%.3f" % r if r < 0.1 else "%.2f" % r


def aim_parts(aim):
    """(kind, operator, bound, words) of an aim; kind None for no aim."""
    spec, _, words = aim.partition(";")
    spec = spec.replace(" ", "")
    for kind in ("ratio", "ours"):
        if spec.startswith(kind):
            rest = spec[len(kind):]
            for op in ("<=", ">=", "<", ">"):
                if rest.startswith(op):
                    return kind, op, float(rest[len(op):]), words.strip()
    return None, None, None, words.strip()


def aim_text(aim):
    kind, op, bound, words = aim_parts(aim)
    if kind is None:
        return words or "-"
    sym = {"<=": "≤", ">=": "≥", "<": "<", ">": ">"}[op]
    if kind == "ratio":
        text = "ours/peer %s %g" % (sym, bound)
    else:
        text = "ours %s %s" % (sym, "%g s" % bound if bound >= 1 else seconds(bound))
    return text + (" (%s)" % words if words else "")


def judged(row):
    """'yes', 'no', or why the row is not judged."""
    kind, op, bound, _ = aim_parts(row.aim)
    if kind is None:
        return "no aim"
    if kind == "ratio":
        if not row.ratio_list():
            return row.note.split(":")[0] if row.note else "no figure"
        value = statistics.median(row.ratio_list())
    else:
        if not row.ours:
            return row.note.split(":")[0] if row.note else "no figure"
        value = statistics.median(row.ours)
    ok = {"<=": value <= bound, ">=": value >= bound, "<": value < bound, ">": value > bound}[op]
    return "yes" if ok else "no"


def cell(text):
    return text.replace("|", "/")


def table(rows):
    """The table as Markdown lines."""
    head = ["row", "path", "peer", "what each side does", "runs", "median ours / peer", "ratio min",
            "ratio median", "aim", "met"]
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        ratios = r.ratio_list()
        does = "ours: %s; peer: %s" % (r.ours_does, r.peer_does)
        if r.paired:
            n = len(r.ours)
            runs = "%d %s%s, %s" % (n, "pair" if r.theirs else "run", "" if n == 1 else "s", r.how)
        else:
            runs = r.how
        med = "-"
        if r.ours:
            med = seconds(statistics.median(r.ours))
            if r.theirs:
                med += " / " + seconds(statistics.median(r.theirs))
        rmin = ratio_text(min(ratios)) if ratios else "-"
        rmed = ratio_text(statistics.median(ratios)) if ratios else (r.note or "-")
        out.append("| " + " | ".join(cell(x) for x in (r.id, r.path, r.peer, does, runs, med, rmin, rmed,
                                                        aim_text(r.aim), judged(r))) + " |")
    return out


def main(argv):
    registry = os.environ.get("QNMX_BENCH_ROWS") or os.path.join(HERE, "rows.txt")
    with open(registry) as f:
        entries = parse_registry(f.read())
    if argv and argv[0] == "--list":
        for ids, cmd, _ in entries:
            print("%-40s %s" % (" ".join(ids), cmd))
        return 0
    if argv and argv[0] == "--from" and len(argv) > 1:
        text = sys.stdin.read() if argv[1] == "-" else open(argv[1], errors="replace").read()
        names = argv[2:]
        # Rows of foreign output need their commands' outputs: a saved
        # output holds them all, so each such entry reads the whole text.
        outputs = {cmd: (0, text) for _, cmd, fields in entries if fields}
        rows = rows_of_log(text, names) + collect([e for e in entries if e[2]], outputs, names)
    elif argv and not argv[0].startswith("-"):
        build, names = argv[0], argv[1:]
        outputs = {}
        for ids, cmd, _ in entries:
            if entry_wanted(ids, names) and cmd not in outputs:
                outputs[cmd] = run_command(cmd, build)
        rows = collect(entries, outputs, names)
    else:
        sys.exit(__doc__)
    print()
    print("\n".join(table(rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
