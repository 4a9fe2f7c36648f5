#!/usr/bin/python3
"""What the close of a matrix leaves at every level after imports, point
reads, copies, scans and exports: cli_levels_test.py <qnmx> faults |
geometries | random [first-seed [count]]. The model keeps each channel's
finest level as the byte lanes of its colour words (red, green, blue, and a
marker: 255 in the default word 0xFF, 0 in an imported pixel); a coarser
element is the truncated mean, lane by lane, of its 2^dx x 2^dy children
inside the matrix (dx, dy the divides). After a close every level is read
anew: points as words, whole levels as exports (an element with a marker
shows white)."""
import os
import random
import shutil
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import Cli, error_of, matrix, read_ppm, reopen, value, write_ppm  # noqa: E402

cli = Cli(sys.argv[1], sys.argv[2])
NOT_SAVED = "not saved"
KEY = (0x5B, 0x29, 0x9D)  # the transparent colour


def made(name, w, h, bits, channels, save_up=None, divide=(1, 1)):
    """A new matrix whose coarser nodes are the mean of their children in every channel."""
    thin = " ".join(f'(mxSet {c} (mxThinnedOut type="average" channel="{c}" (mxCH type="children" {c})))'
                    for c in range(channels))
    return matrix(name, (w, h), block=bits, divide=divide, channels=(("rgb8_v", 'file="on"', "255"),) * channels,
                  save_up=save_up or thin + " (mxSave)")


class Model:  # a matrix: the finest level of each channel
    def __init__(self, w, h, channels, divide=(1, 1)):
        self.w, self.h, self.dd = w, h, divide
        # Levels until every dimension is one element: each divided by its
        # 2^divide, rounded up.
        self.levels, x, y = 1, w, h
        while x > 1 or y > 1:
            x, y, self.levels = -(-x >> divide[0]), -(-y >> divide[1]), self.levels + 1
        self.base = [np.tile(np.array([0, 0, 0, 255], np.int64), (h, w, 1)) for _ in range(channels)]

    def at(self, k, x, y):
        """The level-k element holding the finest position (x, y)."""
        return x >> (self.dd[0] * k), y >> (self.dd[1] * k)

    def put(self, ch, pic, x, y, transparent=None):
        """An import of pic (rows x columns x 3) with its top-left at (x, y)."""
        x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + pic.shape[1], self.w), min(y + pic.shape[0], self.h)
        if x0 < x1 and y0 < y1:
            part = pic[y0 - y:y1 - y, x0 - x:x1 - x].astype(np.int64)
            keep = (part != np.array(transparent)).any(axis=2) if transparent else np.ones(part.shape[:2], bool)
            self.base[ch][y0:y1, x0:x1][keep] = np.concatenate([part, np.zeros_like(part[:, :, :1])], axis=2)[keep]

    def pyramid(self, ch):
        out, fx, fy = [self.base[ch]], 1 << self.dd[0], 1 << self.dd[1]
        for _ in range(1, self.levels):
            a = out[-1]
            total = np.zeros((-(-a.shape[0] // fy), -(-a.shape[1] // fx), 4), np.int64)
            count = np.zeros(total.shape[:2] + (1,), np.int64)
            for part in (a[dy::fy, dx::fx] for dy in range(fy) for dx in range(fx)):
                total[:part.shape[0], :part.shape[1]] += part
                count[:part.shape[0], :part.shape[1]] += 1
            out.append(total // count)
        return out

    def shown_level(self, pyramid, k):
        """Level k of a pyramid as an export shows it (its size the finest
        size shifted down), or None when that is empty."""
        w, h = self.w >> (self.dd[0] * k), self.h >> (self.dd[1] * k)
        return shown(pyramid[k][:h, :w]) if w and h else None


def word(lanes):
    return int(lanes[0]) << 24 | int(lanes[1]) << 16 | int(lanes[2]) << 8 | int(lanes[3])


def shown(level):
    """A level as an export shows it."""
    rgb = level[:, :, :3].copy()
    rgb[level[:, :, 3] != 0] = 255
    return rgb.astype(np.uint8)


def answers(want):  # the checks of replies: None when it holds, else what differs
    return lambda reply: None if reply == want else f"{reply!r}, want {want!r}"


def point(words):
    """The check of a point read: the words of every channel; a node the file
    does not hold is no point to read, which passes only where the model
    holds the default."""
    want = "(%s)" % " ".join(f"({c} {w})" for c, w in enumerate(words))
    return lambda reply: None if reply == want or ((error_of(reply) or (0, 0, 0))[2] == '"object"' and
                                                   all(w == 0xFF for w in words)) else f"{reply!r}, want {want}"


def export(path, want):
    return lambda reply: None if reply == "()" and np.array_equal(read_ppm(np, path), want) else \
        f"{reply!r}, unlike the model"


def levels(name, model, points, tag, eid, folder):
    """Steps (form, check) that reopen `name` as entry eid and read every
    level: the points (finest units) in every channel, and as exports each
    level at least one element wide and high."""
    pyramids = [model.pyramid(ch) for ch in range(len(model.base))]
    steps = [(reopen(name), answers(str(eid)))]
    for k in range(model.levels):
        steps += [(f'(qmxGetPoint "{name}" (List {k} {x} {y}))',
                   point([word(p[k][model.at(k, x, y)[::-1]]) for p in pyramids])) for x, y in points]
        for ch, p in enumerate(pyramids):
            if (want := model.shown_level(p, k)) is not None:
                steps.append((f'(qmxExportPNM id="{eid}" "{tag}_{ch}_{k}.ppm" {ch} {k})',
                              export(os.path.join(folder, f"{tag}_{ch}_{k}.ppm"), want)))
    return steps + [(f'(qmxClose id="{eid}")', answers("()"))]


def run(steps, name="s", folder=None, status=0):
    """The steps' forms as one script: what their checks and the lines naming
    nodes not saved (there must be some exactly when status is not 0) found."""
    replies, err = cli.run([f for f, _ in steps], name=name, status=None, folder=folder)
    bad = [f"{f[:120]}: {why}" for (f, check), r in zip(steps, replies) if check and (why := check(r))]
    lost = [line for line in err.splitlines() if NOT_SAVED in line]
    return bad + [f"status {cli.status} (want {status}) after {len(lost)} lines naming nodes not saved: {lost[:2]}"] * \
        (cli.status != status or bool(lost) != bool(status))


# ---------------------------------------------------------------------------
# The faults, one row each: the forms of each process in turn, the matrices
# to read afterwards (name, model, points), the status of the last process.

def colour(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, shape + (3,), dtype=np.uint8)


def fault_rows():
    rows, p2, q1 = [], colour((2, 2), 1), colour((1, 1), 2)
    write_ppm(cli.path("t.ppm"), np.array([[KEY]], np.uint8))
    write_ppm(cli.path("p.ppm"), p2)
    write_ppm(cli.path("q.ppm"), q1)
    spots = [(46, 2), (47, 3), (39, 1), (22, 0), (45, 0)]

    def transparent(what, w, h, channels, ch, closed=True):
        m = Model(w, h, channels)
        m.put(ch, p2, 46 % w, 2 % h)
        runs = [[made("m.mx", w, h, 2, channels), '(qmxClose id="1")'],
                [reopen("m.mx"), f'(qmxImportPNM id="1" transparent="0x5B299D" "t.ppm" {ch} 0 {39 % w} {1 % h})',
                 f'(qmxImportPNM id="1" "p.ppm" {ch} 0 {46 % w} {2 % h})'] + ['(qmxClose id="1")'] * closed]
        rows.append((f"an import of transparent pixels, {what}", runs,
                     [("m.mx", m, sorted({(x % w, y % h) for x, y in spots}))], 0))

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
        s, d = Model(w, h, channels), Model(w, h, channels)
        for c in chs:
            s.put(c, pic, *at)
            d.base[c] = s.base[c]
        write_ppm(cli.path(f"c{len(rows)}.ppm"), pic)
        forms = [made("s.mx", w, h, 2, channels)]
        forms += [f'(qmxImportPNM id="1" "c{len(rows)}.ppm" {c} 0 {at[0]} {at[1]})' for c in chs]
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
            bad += run([(f, answers("()") if f.startswith(("(qmxClose", "(qmxCopy")) else None) for f in forms],
                       status=status)
        for name, model, pts in reads:
            bad += run(levels(name, model, pts, f"r{n}", 1, cli.work), "read")
        if os.path.getsize(cli.path("e.mx")):
            bad.append("an empty file is not empty now")
        for b in bad[:8]:
            cli.fail(f"{what}: {b}")


# ---------------------------------------------------------------------------
# Geometries and depths, one row each: matrices whose nodes are as wide as a
# parent's cell (every element of every level against the model), nodes
# narrower than a cell (refused when made, no file left), and pictures of
# every kind and a maximum below 255 (scaled as netpbm's pnmdepth 255 does;
# their status keeps the file's maximum).

PARAM = 0x80040503
NARROW = '("invalida parameter" "qmxMatrixBlockSize below qmxMatrixDimDivide" %d)'


def every_element(name, model, bits):
    """Steps reopening `name` and reading every element of every level, one
    read of all the points of a node each: a node the file does not hold is
    no point to read, which passes only where the model holds the default."""
    steps = [(reopen(name), answers("1"))]
    for k, level in enumerate(model.pyramid(0)):
        h, w = level.shape[:2]
        for ny in range(0, h, 1 << bits):
            for nx in range(0, w, 1 << bits):
                cells = [(x, y) for y in range(ny, min(ny + (1 << bits), h)) for x in range(nx, min(nx + (1 << bits), w))]
                want = [[[0, word(level[y, x])]] for x, y in cells]

                def check(reply, k=k, cells=cells, want=want):
                    if (error_of(reply) or (0, 0, 0))[2] == '"object"' and all(v == [[0, 0xFF]] for v in want):
                        return None
                    got = value(reply) if reply and reply.startswith("(") else reply
                    if not isinstance(got, list) or len(got) != len(want):
                        return f"level {k} node at {cells[0]}: {reply!r:.200}"
                    bad = [f"{c}: {g} not {v}" for c, g, v in zip(cells, got, want) if g != v]
                    return f"level {k}: {len(bad)} of {len(want)} elements wrong, {bad[:3]}" if bad else None
                pts = " ".join(f"({k} {x << (model.dd[0] * k)} {y << (model.dd[1] * k)})" for x, y in cells)
                steps.append((f'(qmxGetPoint "{name}" (quote ({pts})))', check))
    return steps + [('(qmxClose id="1")', answers("()"))]


def write_pnm(path, samples, maxval):
    """A P5 (rows x columns) or P6 (rows x columns x 3) picture of maximum maxval."""
    magic = b"P5" if samples.ndim == 2 else b"P6"
    with open(path, "wb") as f:
        f.write(b"%s\n%d %d\n%d\n" % (magic, samples.shape[1], samples.shape[0], maxval) + samples.tobytes())


def at_depth_255(path):
    """netpbm's reading of a picture at maximum 255, as colour: rows x columns x 3."""
    out = cli.sh("pnmdepth", "255", path)
    w, h = map(int, out.split(maxsplit=3)[1:3])
    grey = out.startswith(b"P5")
    px = np.frombuffer(out[-w * h * (1 if grey else 3):], np.uint8)
    return np.repeat(px.reshape(h, w, 1), 3, axis=2) if grey else px.reshape(h, w, 3)


def geometry_rows():
    """(what, forms of the making process with their checks, model to read
    back or None, node bits)."""
    rows, issue = [], np.array([[[10, 20, 30], [50, 60, 70]], [[90, 100, 110], [130, 140, 150]]], np.uint8)
    wide = [("nodes of 2, divide 1, 8 x 8", (8, 8), 1, (1, 1), issue, (2, 0)),
            ("nodes of 4, divide 2, 16 x 16", (16, 16), 2, (2, 2), colour((5, 7), 11), (3, 6)),
            ("nodes of 4, divide 2, 64 x 64", (64, 64), 2, (2, 2), colour((40, 30), 12), (9, 13)),
            ("nodes of 4, divide (1, 2), 64 x 64", (64, 64), 2, (1, 2), colour((33, 50), 13), (20, 5)),
            ("nodes of 4, divide (2, 1), 64 x 64", (64, 64), 2, (2, 1), colour((33, 50), 14), (20, 5)),
            ("nodes of 8, divide 3, 100 x 70", (100, 70), 3, (3, 3), colour((45, 61), 15), (50, 12))]
    for n, (what, (w, h), bits, dd, pic, at) in enumerate(wide):
        m = Model(w, h, 1, dd)
        m.put(0, pic, *at)
        write_ppm(cli.path(f"g{n}.ppm"), pic)
        rows.append((what, [(made("m.mx", w, h, bits, 1, divide=dd), answers("1")),
                            (f'(qmxImportPNM id="1" "g{n}.ppm" 0 0 {at[0]} {at[1]})', answers("()")),
                            ('(qmxClose id="1")', answers("()"))], m, bits))
    for what, bits, dd, d in (("nodes of 4, divide 3", 2, (3, 3), 0), ("nodes of 8, divide (2, 4)", 3, (2, 4), 1),
                              ("nodes of 2, divide (1, 2)", 1, (1, 2), 1)):
        def refused(reply, d=d):
            e = error_of(reply)
            left = os.path.exists(cli.path("m.mx"))
            return None if e and e[0] == PARAM and e[2] == NARROW % d and not left else f"{reply!r}, file left {left}"
        rows.append((what + ": refused", [(made("m.mx", 64, 64, bits, 1, divide=dd), refused)], None, bits))
    rng = np.random.default_rng(16)
    for magic, shape in (("P5", (9, 13)), ("P6", (9, 13, 3))):
        for maxval in (1, 15, 100, 254):
            name = f"d{maxval}.{magic.lower()}"
            write_pnm(cli.path(name), rng.integers(0, maxval, shape, dtype=np.uint8, endpoint=True), maxval)
            m = Model(32, 32, 1)
            m.put(0, at_depth_255(cli.path(name)), 5, 3)
            rows.append((f"{magic} of maximum {maxval}", [
                (made("m.mx", 32, 32, 2, 1), answers("1")),
                (f'(qmxImportPNM id="1" "{name}" 0 0 5 3)', answers("()")),
                (f'(qmxPNMStatus "{name}")', answers(f'(qmxPNMStatus "{magic}" 13 9 {maxval})')),
                ('(qmxClose id="1")', answers("()"))], m, 2))
    return rows


def group_geometries():
    for what, making, model, bits in geometry_rows():
        if os.path.exists(cli.path("m.mx")):
            os.remove(cli.path("m.mx"))
        bad = run(making)
        if model and not bad:
            bad = run(every_element("m.mx", model, bits), "read")
        for b in bad[:4]:
            cli.fail(f"{what}: {b}")


# ---------------------------------------------------------------------------
# Random runs of the main road: a seed draws a matrix (1 x N up to 300 x 300,
# divides of 1 to 3 bits per dimension, nodes of 4, 16 or 32 or of 2^(d - 1)
# to 2^(d + 1) for the larger divide d, those narrower than a cell refused
# when made, 1 or 3 channels), maybe a small node cache, and
# sessions of imports (partly outside, some transparent), point reads, scans,
# copies of some channels into new matrices and exports, each ended by a
# close or, the last, by the program's end; then every level must equal the
# model.

class Road:
    def __init__(self, seed, folder):
        self.folder, self.rng, self.pix = folder, random.Random(seed), np.random.default_rng(seed)
        self.steps, self.ids, self.open = [], 0, {}

    def add(self, form, check=None):
        self.steps.append((form, check))

    def opens(self, form):
        self.ids += 1
        self.add(form, answers(str(self.ids)))
        return self.ids

    def close(self, name):
        """Closes `name`, then reads every level of it anew."""
        eid, model, pts = self.open.pop(name)
        self.add(f'(qmxClose id="{eid}")', answers("()"))
        self.verify(name, model, pts)

    def verify(self, name, model, pts):
        self.ids += 1
        self.steps += levels(name, model, sorted(pts), f"v{len(self.steps)}", self.ids, self.folder)

    def session(self):
        rng, (w, h, bits, channels, dd), (eid, model, pts) = self.rng, self.shape, self.open["m.mx"]
        for _ in range(rng.randint(1, 5)):
            what = rng.choices(["import", "point", "scan", "copy", "export"], [5, 2, 2, 1, 1])[0]
            if what == "import":
                pw, ph = rng.randint(1, min(w + 8, 96)), rng.randint(1, min(h + 8, 96))
                pic, key = self.pix.integers(0, 256, (ph, pw, 3), dtype=np.uint8), rng.random() < 0.5
                if key:  # all of it or a share
                    pic[self.pix.random((ph, pw)) < (1.0 if rng.random() < 0.25 else rng.random())] = KEY
                x, y, ch = rng.randint(-pw + 1, w - 1), rng.randint(-ph + 1, h - 1), rng.randrange(channels)
                src, clear = f"p{len(self.steps)}.ppm", ' transparent="0x5B299D"' * key
                write_ppm(os.path.join(self.folder, src), pic)
                model.put(ch, pic, x, y, KEY if key else None)
                pts.add((min(max(x, 0), w - 1), min(max(y, 0), h - 1)))
                self.add(f'(qmxImportPNM id="{eid}"{clear} "{src}" {ch} 0 {x} {y})', answers("()"))
            elif what == "point":
                x, y, k = rng.randrange(w), rng.randrange(h), rng.randrange(model.levels)
                pts.add((x, y))
                # Coarser levels are made again at the close: only level 0 is
                # what the model says before it.
                self.add(f'(qmxGetPoint "m.mx" (List {k} {x} {y}))',
                         point([word(b[y, x]) for b in model.base]) if k == 0 else None)
            elif what == "scan":
                x0, y0 = (0, 0) if rng.random() < 0.5 else (rng.randrange(w), rng.randrange(h))
                x1, y1 = rng.randint(x0, w - 1), rng.randint(y0, h - 1)
                if x0 == 0 and y0 == 0:
                    x1, y1 = w - 1, h - 1
                self.add(f'(qmxScan id="{eid}" area="21" call-dir="pre" (List 0 {x0} {y0}) (List 0 {x1} {y1}))',
                         answers("0"))
            elif what == "copy":
                chs = sorted(rng.sample(range(channels), rng.randint(1, channels)))
                dest = f"d{len(self.steps)}.mx"
                did = self.opens(made(dest, w, h, bits, channels, divide=dd))
                self.add(f'(qmxCopy src="{eid}" dest="{did}" (List {" ".join(map(str, chs))}))', answers("()"))
                copied = Model(w, h, channels, dd)
                copied.base = [model.base[c].copy() if c in chs else copied.base[c] for c in range(channels)]
                self.open[dest] = (did, copied, set(pts))
                if rng.random() < 0.7:
                    self.close(dest)
            else:
                ch, out = rng.randrange(channels), f"x{len(self.steps)}.ppm"
                pyr = model.pyramid(ch)
                k = rng.choice([k for k in range(model.levels) if model.shown_level(pyr, k) is not None])
                self.add(f'(qmxExportPNM id="{eid}" "{out}" {ch} {k})',
                         export(os.path.join(self.folder, out), model.shown_level(pyr, k)))

    def build(self):
        """The steps of one program; what is left open for its end to close."""
        rng = self.rng
        w = 1 if rng.random() < 0.15 else rng.randint(1, 300)
        h = 1 if rng.random() < 0.15 else rng.randint(1, 300)
        if rng.random() < 0.5:
            w, h = min(w, 80), min(h, 80)
        dd = (1, 1) if rng.random() < 0.5 else (rng.randint(1, 3), rng.randint(1, 3))
        bits = rng.choice([2, 4, 5]) if rng.random() < 0.5 else max(1, max(dd) + rng.randint(-1, 1))
        channels = rng.choice([1, 3])
        self.shape = (w, h, bits, channels, dd)
        if bits < max(dd):  # refused, and no file left
            narrow = NARROW % (0 if bits < dd[0] else 1)
            self.add(made("m.mx", w, h, bits, channels, divide=dd), lambda reply: None if (
                (error_of(reply) or (0, 0, 0))[::2] == (PARAM, narrow) and not os.path.exists(
                    os.path.join(self.folder, "m.mx"))) else f"{reply!r}, want the refusal and no file")
            return {}
        if rng.random() < 0.25:
            self.add('(qmxCache size="60000")', answers("()"))
        model, pts = Model(w, h, channels, dd), {(0, 0), (w - 1, h - 1), (w // 2, h // 2)}
        self.open["m.mx"] = (self.opens(made("m.mx", w, h, bits, channels, divide=dd)), model, pts)
        sessions = rng.randint(1, 3)
        for n in range(sessions):
            if n:
                self.open["m.mx"] = (self.opens(reopen("m.mx")), model, pts)
            if n or rng.random() < 0.7:
                self.session()
            if n < sessions - 1 or rng.random() < 0.7:
                for name in sorted(self.open, key=lambda n: n != "m.mx"):
                    self.close(name)
        return self.open


def group_random():
    first = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    for seed in range(first, first + (int(sys.argv[4]) if len(sys.argv) > 4 else 48)):
        folder = cli.path(f"seed{seed}")
        os.makedirs(folder)
        r = Road(seed, folder)
        left = r.build()
        bad = run(r.steps, folder=folder)
        if left and not bad:  # every level of what the program's end closed
            after = Road(seed, folder)
            for name, (_, model, pts) in left.items():
                after.verify(name, model, pts)
            bad = [f"after the program's end: {b}" for b in run(after.steps, "after", folder)]
        if not bad:
            shutil.rmtree(folder)
            continue
        cli.fail(f"seed {seed} (w, h, node bits, channels, divides {r.shape}): " + "\n    ".join(bad[:6]) +
                 f"\n  repeat: {os.path.abspath(__file__)} {cli.qnmx} random {seed} 1 (script in {folder}/s.zu)")


try:
    {"faults": group_faults, "geometries": group_geometries, "random": group_random}[sys.argv[2]]()
finally:
    cli.finish()
