#!/usr/bin/python3
"""What the close of a matrix leaves at every level after imports, point
reads, copies, scans and exports, through the qnmx binary, against a numpy
model of the pyramid.

cli_levels_test.py <qnmx binary> faults
cli_levels_test.py <qnmx binary> random [first-seed [count]]

The model keeps each channel's finest level as the four byte lanes of its
colour words: red, green, blue and the marker, 255 in the default word
0x000000FF and 0 in an imported pixel. Every coarser element is the
truncated mean of its 2 x 2 children, lane by lane (of those inside the
matrix, at its edges). After a close the matrix is opened anew and every
level read: points as words, whole levels as exports (an element with a
marker shows white).
"""
import os
import random
import re
import shutil
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import Cli, error_of, matrix, value, write_ppm  # noqa: E402

cli = Cli(sys.argv[1], sys.argv[2])
DEFAULT = np.array([0, 0, 0, 255], np.int64)
NOT_SAVED = "not saved"


def thin_all(channels):
    """The save script of coarser nodes: every channel the mean of its children's."""
    return " ".join(f'(mxSet {c} (mxThinnedOut type="average" channel="{c}" (mxCH type="children" {c})))'
                    for c in range(channels)) + " (mxSave)"


def made(name, w, h, bits, channels, save_up=None):
    rgb = tuple(("rgb8_v", 'file="on"', "255") for _ in range(channels))
    return matrix(name, (w, h), block=bits, channels=rgb, save_up=save_up or thin_all(channels))


def reopen(name):
    return f'(qmxCreate filename="{name}" currentPhase_mode="direct")'


class Model:
    """One matrix: its finest level per channel, as lanes."""

    def __init__(self, w, h, channels):
        self.w, self.h = w, h
        self.levels = (max(w, h) - 1).bit_length() + 1
        self.base = [np.tile(DEFAULT, (h, w, 1)) for _ in range(channels)]

    def put(self, ch, pic, x, y, transparent=None):
        """An import of pic (rows x columns x 3) with its top-left at (x, y)."""
        ph, pw = pic.shape[:2]
        x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + pw, self.w), min(y + ph, self.h)
        if x0 >= x1 or y0 >= y1:
            return
        part = pic[y0 - y:y1 - y, x0 - x:x1 - x].astype(np.int64)
        keep = np.ones(part.shape[:2], bool)
        if transparent is not None:
            keep = (part != np.array(transparent)).any(axis=2)
        lanes = np.concatenate([part, np.zeros(part.shape[:2] + (1,), np.int64)], axis=2)
        self.base[ch][y0:y1, x0:x1][keep] = lanes[keep]

    def pyramid(self, ch):
        """Every level of channel ch: each element the truncated mean of
        its children inside the matrix."""
        out = [self.base[ch]]
        for _ in range(1, self.levels):
            a = out[-1]
            shape = ((a.shape[0] + 1) // 2, (a.shape[1] + 1) // 2)
            total, count = np.zeros(shape + (4,), np.int64), np.zeros(shape + (1,), np.int64)
            for dy in (0, 1):
                for dx in (0, 1):
                    part = a[dy::2, dx::2]
                    total[:part.shape[0], :part.shape[1]] += part
                    count[:part.shape[0], :part.shape[1]] += 1
            out.append(total // count)
        return out


def word(lanes):
    return int(lanes[0]) << 24 | int(lanes[1]) << 16 | int(lanes[2]) << 8 | int(lanes[3])


def shown(level):
    """A level as an export shows it."""
    rgb = level[:, :, :3].copy()
    rgb[level[:, :, 3] != 0] = 255
    return rgb.astype(np.uint8)


def read_ppm(path):
    with open(path, "rb") as f:
        b = f.read()
    _, w, h, _ = b.split(maxsplit=4)[:4]
    return np.frombuffer(b[-int(w) * int(h) * 3:], np.uint8).reshape(int(h), int(w), 3)


def run(forms, name="s", folder=None):
    """The forms as one script in folder (the work folder): (replies,
    standard error, exit status)."""
    folder = folder or cli.work
    with open(os.path.join(folder, name + ".zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    r = subprocess.run([cli.qnmx, name + ".zu", name + ".out"], cwd=folder, env=cli.env, capture_output=True,
                       timeout=600)
    with open(os.path.join(folder, name + ".out"), encoding="utf-8", errors="replace") as f:
        got = dict((int(n), v) for n, v in re.findall(r"<Result> (\d+) (.*?)</Result>\n", f.read(), re.S))
    return [got.get(i + 1) for i in range(len(forms))], r.stderr.decode(errors="replace"), r.returncode


def point_differs(reply, want):
    """What a point read answered unlike the words of every channel; a node
    the file does not hold is no point to read, which passes only where the
    model holds the default."""
    got = value(reply)
    if isinstance(got, list) and [c[1] if isinstance(c, list) and len(c) > 1 else c for c in got] == want:
        return None
    e = error_of(reply)
    if e and e[2] == '"object"' and all(w == 0xFF for w in want):
        return None
    return f"{reply!r}, model {' '.join(f'{w:#x}' for w in want)}"


def level_checks(name, model, points, tag, eid=1, folder=None):
    """Forms that read every level of the matrix file `name`, reopened as
    entry eid, and a function of their replies that answers what differs
    from the model: the words of every channel at the points (finest units)
    at each level, and each level at least one element wide and high as an
    export."""
    folder = folder or cli.work
    pyramids = [model.pyramid(ch) for ch in range(len(model.base))]
    forms, wants = [reopen(name)], []
    for k in range(model.levels):
        for x, y in points:
            forms.append(f'(qmxGetPoint "{name}" (List {k} {x} {y}))')
            wants.append(("point", k, (x, y), [word(p[k][y >> k, x >> k]) for p in pyramids]))
        for ch, p in enumerate(pyramids):
            if model.w >> k and model.h >> k:
                out = f"{tag}_{ch}_{k}.ppm"
                forms.append(f'(qmxExportPNM id="{eid}" "{out}" {ch} {k})')
                wants.append(("export", k, (ch, out), shown(p[k][:model.h >> k, :model.w >> k])))
    forms.append(f'(qmxClose id="{eid}")')

    def differs(replies):
        bad = []
        if value(replies[0]) != eid or replies[-1] != "()":
            bad.append(f"{name}: reopened {replies[0]!r}, closed {replies[-1]!r}")
        for reply, (kind, k, at, want) in zip(replies[1:], wants):
            if kind == "point":
                if (why := point_differs(reply, want)):
                    bad.append(f"{name} level {k} at {at}: {why}")
            elif reply != "()" or not np.array_equal(read_ppm(os.path.join(folder, at[1])), want):
                bad.append(f"{name} channel {at[0]} level {k}: the export ({reply}) is unlike the model")
        return bad
    return forms, differs


# ---------------------------------------------------------------------------
# The faults, one row each: the forms of each process in turn, the matrices
# to read afterwards (name, model, points), and what the last process must
# end with.

def colour(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, shape + (3,), dtype=np.uint8)


def fault_rows():
    rows = []
    key = np.array([[[0x5B, 0x29, 0x9D]]], np.uint8)
    write_ppm(cli.path("t.ppm"), key)
    p2, q1 = colour((2, 2), 1), colour((1, 1), 2)
    write_ppm(cli.path("p.ppm"), p2)
    write_ppm(cli.path("q.ppm"), q1)
    spots = [(46, 2), (47, 3), (39, 1), (22, 0), (45, 0)]

    def transparent(what, w, h, channels, ch, closed=True):
        m = Model(w, h, channels)
        m.put(ch, p2, 46 % w, 2 % h)
        runs = [[made("m.mx", w, h, 2, channels), '(qmxClose id="1")'],
                [reopen("m.mx"), f'(qmxImportPNM id="1" transparent="0x5B299D" "t.ppm" {ch} 0 {39 % w} {1 % h})',
                 f'(qmxImportPNM id="1" "p.ppm" {ch} 0 {46 % w} {2 % h})'] + ['(qmxClose id="1")'] * closed]
        pts = sorted({(x % w, y % h) for x, y in spots})
        rows.append((f"an import of transparent pixels, {what}", runs, [("m.mx", m, pts)], 0))

    transparent("64 x 64", 64, 64, 1, 0)
    transparent("three channels", 64, 64, 3, 1)
    transparent("56 x 3", 56, 3, 1, 0)
    transparent("closed at the program's end", 64, 64, 1, 0, closed=False)

    m = Model(64, 64, 1)
    m.put(0, q1, 22, 0)
    rows.append(("a point read after an import", [
        [made("m.mx", 64, 64, 2, 1), '(qmxClose id="1")'],
        [reopen("m.mx"), '(qmxImportPNM id="1" "q.ppm" 0 0 22 0)', '(qmxGetPoint "m.mx" (List 0 45 0))',
         '(qmxGetPoint "m.mx" (List 2 45 40))', '(qmxClose id="1")']], [("m.mx", m, spots + [(45, 40)])], 0))

    def copy(what, w, h, channels, chs, pic, at):
        s = Model(w, h, channels)
        for c in chs:
            s.put(c, pic, *at)
        d = Model(w, h, channels)
        d.base = [s.base[c] if c in chs else d.base[c] for c in range(channels)]
        src = f"c{len(rows)}.ppm"
        write_ppm(cli.path(src), pic)
        forms = [made("s.mx", w, h, 2, channels)]
        forms += [f'(qmxImportPNM id="1" "{src}" {c} 0 {at[0]} {at[1]})' for c in chs]
        forms += [made("d.mx", w, h, 2, channels), f'(qmxCopy src="1" dest="2" (List {" ".join(map(str, chs))}))',
                  '(qmxClose id="2")', '(qmxClose id="1")']
        pts = [(min(at[0] + dx, w - 1), min(at[1] + dy, h - 1)) for dx, dy in ((0, 0), (1, 1), (7, 3), (30, 20))]
        rows.append((f"a copy of {what}", [forms], [("d.mx", d, pts), ("s.mx", s, pts)], 0))

    copy("channel 1 of two", 64, 64, 2, [1], p2, (46, 2))
    copy("channels 0 and 2 of three, 144 x 91", 144, 91, 3, [0, 2], colour((40, 50), 3), (120, 70))

    # A save script that fails on every coarser node: the close at the
    # program's end cannot save, says which nodes, and the status says so.
    broken = made("m.mx", 64, 64, 2, 1, save_up='(mxSet 0 (mxThinnedOut type="sum" (mxCH type="children" 0))) (mxSave)')
    rows.append(("the program's end with changes not saved", [[broken, '(qmxImportPNM id="1" "p.ppm" 0 0 46 2)']],
                 [], 1))

    # A copy from a matrix that holds no node copies nothing; an opening
    # that fails leaves an empty file empty.
    rows.append(("a copy from a source without nodes", [
        [made("s.mx", 64, 64, 2, 1), made("d.mx", 64, 64, 2, 1), '(qmxCopy src="1" dest="2" (List 0))',
         '(qmxClose id="2")', '(qmxClose id="1")']], [("d.mx", Model(64, 64, 1), [(0, 0), (63, 63)])], 0))
    rows.append(("a failed opening of an empty file", [[reopen("e.mx"), '(qmxCreate filename="e.mx")']], [], 0))
    return rows


def group_faults():
    for n, (what, runs, reads, status) in enumerate(fault_rows()):
        for name in ("m.mx", "s.mx", "d.mx"):
            if os.path.exists(cli.path(name)):
                os.remove(cli.path(name))
        open(cli.path("e.mx"), "w").close()
        bad = []
        for forms in runs:
            replies, err, code = run(forms)
            closes = [(f, r) for f, r in zip(forms, replies) if f.startswith(("(qmxClose", "(qmxCopy"))]
            bad += [f"{f} answered {r!r}" for f, r in closes if r != "()"]
            lost = [line for line in err.splitlines() if NOT_SAVED in line]
            if status and (code != status or not lost):
                bad.append(f"status {code} after {len(lost)} lines naming nodes not saved, want {status}")
            if not status and (code or lost):
                bad.append(f"status {code}, {lost[:3]}")
        for name, model, pts in reads:
            forms, differs = level_checks(name, model, pts, f"r{n}")
            replies, err, code = run(forms, "read")
            bad += differs(replies) + ([f"reading {name}: status {code}"] if code else [])
        if os.path.getsize(cli.path("e.mx")):
            bad.append(f"an empty file holds {os.path.getsize(cli.path('e.mx'))} bytes now")
        for b in bad[:8]:
            cli.fail(f"{what}: {b}")


# ---------------------------------------------------------------------------
# Random runs of the main road: one seed draws a matrix (1 x N up to 300 x
# 300, nodes of 4, 16 or 32, one or three channels), a node cache of the
# default size or a small one, and sessions of imports (at offsets partly
# outside, with a transparent colour, some of nothing but it), point reads,
# scans of the whole area or a part, copies of all or some channels into new
# matrices and exports of a level, each session ended by a close or, the
# last, by the program's end. Every close must answer () with no node named
# lost, and every level of what it closed must then equal the model.

KEY = (0x5B, 0x29, 0x9D)


class Road:
    def __init__(self, seed, folder):
        self.seed, self.folder = seed, folder
        self.rng, self.pix = random.Random(seed), np.random.default_rng(seed)
        self.forms, self.checks, self.ids, self.open, self.reads = [], [], 0, {}, set()

    def add(self, form, check=None):
        self.forms.append(form)
        if check:
            self.checks.append((len(self.forms) - 1, check))

    def answers(self, want):
        return lambda reply: None if reply == want else f"{reply!r}, want {want!r}"

    def opens(self, form):
        self.ids += 1
        self.add(form, self.answers(str(self.ids)))
        return self.ids

    def close(self, name):
        """Closes `name`, then reads every level of it anew."""
        eid, model, pts = self.open.pop(name)
        self.add(f'(qmxClose id="{eid}")', self.answers("()"))
        self.verify(name, model, pts)

    def verify(self, name, model, pts):
        forms, differs = level_checks(name, model, sorted(pts), f"v{len(self.forms)}", self.ids + 1, self.folder)
        self.ids += 1
        first = len(self.forms)
        self.forms += forms
        self.reads.update(range(first + 1, len(self.forms) - 1))
        self.checks.append((slice(first, len(self.forms)), lambda replies: "; ".join(differs(replies)[:4]) or None))

    def picture(self, w, h):
        pw, ph = self.rng.randint(1, min(w + 8, 96)), self.rng.randint(1, min(h + 8, 96))
        pic = self.pix.integers(0, 256, (ph, pw, 3), dtype=np.uint8)
        key = self.rng.random() < 0.5
        if key:
            share = 1.0 if self.rng.random() < 0.25 else self.rng.random()
            pic[self.pix.random((ph, pw)) < share] = KEY
        return pic, key

    def session(self, name, w, h, bits, channels):
        eid, model, pts = self.open[name]
        for _ in range(self.rng.randint(1, 5)):
            what = self.rng.choices(["import", "point", "scan", "copy", "export"], [5, 2, 2, 1, 1])[0]
            if what == "import":
                pic, key = self.picture(w, h)
                x, y = self.rng.randint(-pic.shape[1] + 1, w - 1), self.rng.randint(-pic.shape[0] + 1, h - 1)
                ch = self.rng.randrange(channels)
                src = f"p{len(self.forms)}.ppm"
                write_ppm(os.path.join(self.folder, src), pic)
                model.put(ch, pic, x, y, KEY if key else None)
                pts.add((min(max(x, 0), w - 1), min(max(y, 0), h - 1)))
                clear = ' transparent="0x5B299D"' if key else ""
                self.add(f'(qmxImportPNM id="{eid}"{clear} "{src}" {ch} 0 {x} {y})', self.answers("()"))
            elif what == "point":
                x, y, k = self.rng.randrange(w), self.rng.randrange(h), self.rng.randrange(model.levels)
                pts.add((x, y))
                # Coarser levels are made again at the close: only level 0 is
                # what the model says before it.
                want = [word(b[y, x]) for b in model.base]
                self.add(f'(qmxGetPoint "{name}" (List {k} {x} {y}))', (lambda r, want=want: point_differs(r, want))
                         if k == 0 else None)
            elif what == "scan":
                x0, y0 = (0, 0) if self.rng.random() < 0.5 else (self.rng.randrange(w), self.rng.randrange(h))
                x1, y1 = self.rng.randint(x0, w - 1), self.rng.randint(y0, h - 1)
                if x0 == 0 and y0 == 0:
                    x1, y1 = w - 1, h - 1
                self.add(f'(qmxScan id="{eid}" area="21" call-dir="pre" (List 0 {x0} {y0}) (List 0 {x1} {y1}))',
                         self.answers("0"))
            elif what == "copy":
                chs = sorted(self.rng.sample(range(channels), self.rng.randint(1, channels)))
                dest = f"d{len(self.forms)}.mx"
                did = self.opens(made(dest, w, h, bits, channels))
                self.add(f'(qmxCopy src="{eid}" dest="{did}" (List {" ".join(map(str, chs))}))', self.answers("()"))
                copied = Model(w, h, channels)
                copied.base = [model.base[c].copy() if c in chs else copied.base[c] for c in range(channels)]
                self.open[dest] = (did, copied, set(pts))
                if self.rng.random() < 0.7:
                    self.close(dest)
            else:
                k = self.rng.choice([k for k in range(model.levels) if w >> k and h >> k])
                ch, out = self.rng.randrange(channels), f"x{len(self.forms)}.ppm"
                want = shown(model.pyramid(ch)[k][:h >> k, :w >> k])
                self.add(f'(qmxExportPNM id="{eid}" "{out}" {ch} {k})', lambda r, out=out, want=want: None if r == "()"
                         and np.array_equal(read_ppm(os.path.join(self.folder, out)), want) else f"{r!r}, unlike the model")

    def build(self):
        rng = self.rng
        w = 1 if rng.random() < 0.15 else rng.randint(1, 300)
        h = 1 if rng.random() < 0.15 else rng.randint(1, 300)
        if rng.random() < 0.5:
            w, h = min(w, 80), min(h, 80)
        bits, channels = rng.choice([2, 4, 5]), rng.choice([1, 3])
        self.shape = f"{w} x {h}, nodes of {1 << bits}, {channels} channel(s)"
        if rng.random() < 0.25:
            self.add('(qmxCache size="60000")', self.answers("()"))
        pts = {(0, 0), (w - 1, h - 1), (w // 2, h // 2)}
        self.open["m.mx"] = (self.opens(made("m.mx", w, h, bits, channels)), Model(w, h, channels), pts)
        sessions = rng.randint(1, 3)
        for n in range(sessions):
            if n:
                self.open["m.mx"] = (self.opens(reopen("m.mx")), model, pts)
            if n or rng.random() < 0.7:
                self.session("m.mx", w, h, bits, channels)
            _, model, pts = self.open["m.mx"]
            if n < sessions - 1 or rng.random() < 0.7:
                for name in sorted(self.open, key=lambda n: n != "m.mx"):
                    self.close(name)
        return self.open  # what the program's end closes


def road(seed, folder):
    """Runs one seed in folder: what went wrong, as lines."""
    r = Road(seed, folder)
    left = r.build()
    replies, err, code = run(r.forms, "s", folder)
    bad = [f"the program ended with status {code}"] * (code != 0)
    bad += [line for line in err.splitlines() if NOT_SAVED in line][:3]
    for at, check in r.checks:
        if (why := check(replies[at])):
            where = r.forms[at] if isinstance(at, int) else r.forms[at.start]
            bad.append(f"{where[:120]}: {why}")
    if left and not bad:
        reads = Road(seed, folder)
        for name, (_, model, pts) in left.items():
            reads.verify(name, model, pts)
        replies, err, code = run(reads.forms, "after", folder)
        bad += [f"after the program's end: {why}" for at, check in reads.checks if (why := check(replies[at]))]
        bad += [f"reading after the end: status {code}"] * (code != 0)
    return r, bad


def group_random():
    first = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 48
    for seed in range(first, first + count):
        folder = cli.path(f"seed{seed}")
        os.makedirs(folder)
        r, bad = road(seed, folder)
        if not bad:
            shutil.rmtree(folder)
            continue
        cli.fail(f"seed {seed} ({r.shape}): {bad[0]}")
        for b in bad[1:6]:
            print("   ", b)
        script = [f for i, f in enumerate(r.forms) if i not in r.reads]
        print(f"  repeat: /usr/bin/python3 {os.path.abspath(__file__)} {cli.qnmx} random {seed} 1\n"
              f"  the script {folder}/s.zu (pictures beside it), without the reads after each close:\n    " +
              "\n    ".join(script))


GROUPS = {"faults": group_faults, "random": group_random}

try:
    GROUPS[sys.argv[2]]()
finally:
    cli.finish()
