#!/usr/bin/python3
"""What a matrix file keeps when its writer is killed or the disk refuses a
write, through the qnmx binary.

cli_durable_test.py <qnmx binary> table
cli_durable_test.py <qnmx binary> random [seed [runs]]

table: one row per case: writers killed with SIGKILL at seeded moments (a
long import into a closed matrix with nodes of 8, the same under a small
page cache, a new matrix before its first close), a full disk (a small
tmpfs, or a file-size limit where none can be mounted), a later failed write
on a file closed earlier, a file-size limit, a folder that cannot be written
and a read-only file. A file closed once, or made by an answered qmxCreate,
must open again with what a write-back saved; a write that fails is an
error naming the file and the system's reason.

random: seeded runs of imports, scans, copies into new matrices and closes
over random sizes and node sizes (some under a small cache), each killed at
a random moment; then every
file that a close or a qmxCreate answered for must open, and every level-0
pixel hold a value it held since its last close. QNMX_KILL_NODES raises the
largest node count (16384 runs the matrices of many small nodes); a failing
seed prints the command that repeats it.
"""
import os
import pwd
import random
import resource
import shutil
import signal
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from qmx_cli import STORE, Cli, error_of, matrix, read_ppm, reopen, read_replies, rgb_word, write_ppm  # noqa: E402

cli = Cli(sys.argv[1], "durable")
GROUP = sys.argv[2]


def start(forms, name, folder, env=None):
    """A qnmx on the forms, left running: its process."""
    with open(os.path.join(folder, name + ".zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    p = subprocess.Popen([cli.qnmx, name + ".zu", name + ".out", "-"], cwd=folder, env=dict(cli.env, **(env or {})),
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cli.procs.append(p)
    return p


def kill_after(p, seconds):
    """SIGKILL after seconds unless it ended before: True when killed."""
    try:
        p.wait(seconds)
        return False
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return True


def answered(folder, name):
    """The replies a killed qnmx wrote, by form number."""
    return read_replies(os.path.join(folder, name + ".out"))


def kill_during(p, folder, name, form, delay):
    """SIGKILL delay seconds after the form-th form answered (0: after the
    start), unless qnmx ended first: True when killed."""
    while form and len(answered(folder, name)) < form and p.poll() is None:
        time.sleep(0.005)
    return kill_after(p, delay)


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def picture(seed, w, h):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def point(word):
    return f"((0 {word}))"


def write_error(path, reason):
    """The data of the error a command answers for a file it could not write."""
    return f'("{path}" "the file could not be written" "{reason}")'


def expect_write_error(what, reply, func, path, reason):
    """reply is func's error for the matrix file at path, or its journal,
    that could not be written for reason."""
    e = error_of(reply)
    if not e or e[0] != STORE or e[1] != func or e[2] not in (write_error(path, reason),
                                                                write_error(path + "-journal", reason)):
        cli.fail(f"{what}: got {reply!r}, want {func}'s error: {path} (or its journal) could not be written: {reason}")


def limited(size):
    """A preexec that limits the files qnmx writes to size bytes, as
    `ulimit -f` does, with SIGXFSZ ignored (the refusal is then EFBIG)."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return apply


class Tmpfs:
    """A small tmpfs mounted at a folder of the work folder (mounted is
    False when this process may not mount one)."""

    def __init__(self, name, size):
        self.path = cli.path(name)
        os.makedirs(self.path, exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", self.path], capture_output=True)
        self.mounted = r.returncode == 0
        if not self.mounted:
            print(f"no tmpfs could be mounted ({r.stderr.decode().strip()}): a file-size limit stands in")

    def fill(self):
        """Takes every byte left."""
        fd = os.open(os.path.join(self.path, "filler"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        for chunk in (b"\xaa" * 4096, b"\xaa"):
            try:
                while True:
                    os.write(fd, chunk)
            except OSError:
                pass
        os.close(fd)

    def free(self):
        os.unlink(os.path.join(self.path, "filler"))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", "-l", self.path])


# ---------------------------------------------------------------------------
# The table

def row_later_writer_killed(row, cache=None):
    """A 1024 x 1024 matrix of nodes of 8 closed with a 4 x 4 picture; a
    later writer imports a whole picture and is killed at seeded moments:
    the point reads the old picture or the new, and the file reopens."""
    folder = fresh(cli.path(row.replace(" ", "_")))
    small, big = picture(1, 4, 4), picture(2, 1024, 1024)
    write_ppm(os.path.join(folder, "small.ppm"), small)
    write_ppm(os.path.join(folder, "big.ppm"), big)
    rng = random.Random(row)
    for k in range(3):
        for f in ("m.mx", "m.mx-journal"):
            if os.path.exists(os.path.join(folder, f)):
                os.unlink(os.path.join(folder, f))
        replies, _ = cli.run([matrix("m.mx", (1024, 1024), block=3), '(qmxImportPNM id="1" "small.ppm" 0 0 0 0)',
                              '(qmxClose id="1")'], folder=folder, name="first")
        cli.expect(f"{row}: the first run", replies, ["1", "()", "()"])
        forms = ([f'(qmxCache size="{cache}")'] if cache else []) + [
            reopen("m.mx"), '(qmxImportPNM id="1" "big.ppm" 0 0 0 0)', '(qmxClose id="1")']
        # Into the import, where pages go ahead of the journal and, under
        # a small cache, write-backs make room.
        at = rng.uniform(0.5, 2.0)
        killed = kill_during(start(forms, "later", folder), folder, "later", len(forms) - 2, at)
        replies, err = cli.run(['(qmxGetPoint "m.mx" (List 0 1 1))', reopen("m.mx"), '(qmxClose id="2")'],
                               folder=folder, name="after", status=None)
        what = f"{row}: killed {'%.2f s into the import' % at if killed else 'never (it ended first)'}, kill {k + 1}"
        if replies[0] not in (point(rgb_word(small[1, 1])), point(rgb_word(big[1, 1]))):
            cli.fail(f"{what}: the point reads {replies[0]!r}; stderr {err[-300:]!r}")
        cli.expect(f"{what}: reopened", replies[1:], ["2", "()"])


def row_new_matrix_killed(row):
    """A new matrix killed at seeded moments after qmxCreate answered and
    before its first close: it opens as it was made, every pixel the
    picture's or the default."""
    folder = fresh(cli.path("new_matrix"))
    big = picture(3, 1024, 1024)
    write_ppm(os.path.join(folder, "big.ppm"), big)
    rng = random.Random(row)
    kills = 0
    for k in range(4):
        for f in ("n.mx", "n.mx-journal", "new.out"):
            if os.path.exists(os.path.join(folder, f)):
                os.unlink(os.path.join(folder, f))
        at = rng.uniform(0.0, 1.5)
        p = start([matrix("n.mx", (1024, 1024), block=3), '(qmxImportPNM id="1" "big.ppm" 0 0 0 0)',
                   '(qmxClose id="1")'], "new", folder)
        killed = kill_during(p, folder, "new", 1, at)
        made = answered(folder, "new")
        if not killed or made.get(3) is not None or made.get(1) != "1":
            continue  # closed before the kill, or killed before qmxCreate answered
        kills += 1
        replies, err = cli.run([reopen("n.mx"), '(qmxExportPNM id="1" "n.ppm" 0 0)', '(qmxClose id="1")'],
                               folder=folder, name="after", status=None)
        what = f"{row}: killed {at:.2f} s after qmxCreate answered"
        if replies != ["1", "()", "()"]:
            cli.fail(f"{what}: {replies}; stderr {err[-300:]!r}")
            continue
        out = read_ppm(np, os.path.join(folder, "n.ppm"))
        held = (out == big).all(axis=2) | (out == 255).all(axis=2)
        if not held.all():
            cli.fail(f"{what}: {int((~held).sum())} pixels neither the picture's nor the default")
    if kills == 0:
        cli.fail(f"{row}: no kill fell between qmxCreate's answer and the close")


def full_disk_forms(mx, pic, close):
    channels = (("rgb8_v", 'file="on"', "255"), ("uint32_v", 'file="on"', "0"))
    return [matrix(mx, (600, 400), block=4, channels=channels), f'(qmxImportPNM id="1" "{pic}" 0 0 0 0)',
            f'(qmxImportPNM id="1" "{pic}" 1 0 0 0)'] + (['(qmxClose id="1")'] if close else [])


def row_full_disk(row):
    """A 600 x 400 matrix of two channels, nodes of 16, on a 300 KiB tmpfs:
    the close that cannot save answers the file and "No space left on
    device" (the program's own close: status 1 and a line naming it); the
    file then opens. Without a tmpfs, a 300 KiB size limit does the same
    with "File too large"."""
    folder = fresh(cli.path("full"))
    pic = os.path.join(folder, "p.ppm")
    write_ppm(pic, picture(4, 600, 400))
    for close in (True, False):
        with Tmpfs(f"full_{close}", "300k") as disk:
            where, limit = (disk.path, None) if disk.mounted else (folder, limited(300 * 1024))
            reason = "No space left on device" if disk.mounted else "File too large"
            mx = os.path.join(where, "m.mx")
            replies, err = cli.run(full_disk_forms(mx, pic, close), folder=folder, preexec=limit, status=None,
                                   name=f"full{close}")
            what = f"{row} ({'qmxClose' if close else 'the end'})"
            if close:
                cli.expect(f"{what}: status", cli.status, 0)
                expect_write_error(what, replies[3], "qmxClose", mx, reason)
            else:
                cli.expect(f"{what}: status", cli.status, 1)
                cli.expect(f"{what}: said on standard error", f"{reason}" in err and mx in err, True)
            replies, err = cli.run([reopen(mx), '(qmxClose id="1")'], folder=folder, status=None, name="reopen")
            cli.expect(f"{what}: the file opens after", replies, ["1", "()"])


def row_later_failed_write(row):
    """A 150 x 150 matrix of two channels closed on a small tmpfs with a
    picture in a corner of channel 0; a second run on the full disk imports
    a whole picture into channel 1: its close answers the file and the
    reason, and the file still opens (on the full disk, and after) with
    channel 0 as closed. Without a tmpfs, a size limit refuses the second
    run's growth."""
    folder = fresh(cli.path("later_failed"))
    first, second = picture(5, 40, 40), picture(6, 150, 150)
    write_ppm(os.path.join(folder, "a.ppm"), first)
    write_ppm(os.path.join(folder, "b.ppm"), second)
    channels = (("rgb8_v", 'file="on"', "255"), ("rgb8_v", 'file="on"', "0"))
    with Tmpfs("later_disk", "400k") as disk:
        where = disk.path if disk.mounted else folder
        mx = os.path.join(where, "m.mx")
        replies, _ = cli.run([matrix(mx, (150, 150), block=4, channels=channels),
                              '(qmxImportPNM id="1" "a.ppm" 0 0 0 0)', '(qmxClose id="1")'], folder=folder)
        cli.expect(f"{row}: the first run", replies, ["1", "()", "()"])
        limit = None
        if disk.mounted:
            disk.fill()
        else:
            limit = limited(os.path.getsize(mx))
        reason = "No space left on device" if disk.mounted else "File too large"
        replies, _ = cli.run([reopen(mx), '(qmxImportPNM id="1" "b.ppm" 1 0 0 0)', '(qmxClose id="1")'],
                             folder=folder, preexec=limit, name="second")
        cli.expect(f"{row}: the import", replies[:2], ["1", "()"])
        expect_write_error(f"{row}: the close", replies[2], "qmxClose", mx, reason)
        want = f"((0 {rgb_word(first[7, 9])}) (1 0))"
        for when in ("on the full disk", "with room again"):
            replies, err = cli.run([f'(qmxGetPoint "{mx}" (List 0 9 7))', reopen(mx), '(qmxClose id="2")'],
                                   folder=folder, preexec=limit, name="third", status=None)
            got = replies[0]
            if got not in (want, f"((0 {rgb_word(first[7, 9])}) (1 {rgb_word(second[7, 9])}))"):
                cli.fail(f"{row}: {when}: the point reads {got!r}")
            cli.expect(f"{row}: {when}: reopened", replies[1:], ["2", "()"])
            if disk.mounted and when == "on the full disk":
                disk.free()
            limit = None


def row_size_limit(row):
    """Under a 300 KiB file-size limit (SIGXFSZ ignored) a 1024 x 1024 import
    and close answer "File too large" at the close and leave a file that
    opens; under 1 KiB qmxCreate itself answers it and leaves no file."""
    folder = fresh(cli.path("limit"))
    write_ppm(os.path.join(folder, "big.ppm"), picture(7, 1024, 1024))
    replies, _ = cli.run([matrix("m.mx", (1024, 1024), block=6), '(qmxImportPNM id="1" "big.ppm" 0 0 0 0)',
                          '(qmxClose id="1")'], folder=folder, preexec=limited(300 * 1024))
    cli.expect(f"{row}: 300 KiB: create and import", replies[:2], ["1", "()"])
    expect_write_error(f"{row}: 300 KiB: the close", replies[2], "qmxClose", "m.mx", "File too large")
    cli.expect(f"{row}: 300 KiB: within the limit", os.path.getsize(os.path.join(folder, "m.mx")) <= 300 * 1024, True)
    replies, _ = cli.run([reopen("m.mx"), '(qmxClose id="1")'], folder=folder, name="reopen")
    cli.expect(f"{row}: 300 KiB: the file opens after", replies, ["1", "()"])
    replies, _ = cli.run([matrix("t.mx", (1024, 1024), block=6)], folder=folder, preexec=limited(1024), name="tiny")
    expect_write_error(f"{row}: 1 KiB: qmxCreate", replies[0], "qmxCreate", "t.mx", "File too large")
    cli.expect(f"{row}: 1 KiB: no file left", os.path.exists(os.path.join(folder, "t.mx")), False)


def as_someone_else():
    """A preexec that runs qnmx as a user without root's rights (for root,
    to whom file modes mean nothing), or None when already one."""
    if os.geteuid() != 0:
        return None
    nobody = pwd.getpwnam("nobody")

    def drop():
        os.setgroups([])
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
    return drop


def row_unwritable(row):
    """A matrix file the user may write in a folder the user may not (its
    journal cannot be made): the close answers the journal and "Permission
    denied", and the old picture reads back. A read-only matrix file: the
    opening says why it cannot open."""
    os.chmod(cli.work, 0o755)
    folder = fresh(cli.path("unwritable"))
    scripts = fresh(cli.path("scripts"))
    os.chmod(scripts, 0o777)
    old, new = picture(8, 64, 64), picture(9, 64, 64)
    write_ppm(os.path.join(scripts, "old.ppm"), old)
    write_ppm(os.path.join(scripts, "new.ppm"), new)
    mx = os.path.join(folder, "m.mx")
    replies, _ = cli.run([matrix(mx, (64, 64), block=3), '(qmxImportPNM id="1" "old.ppm" 0 0 0 0)',
                          '(qmxClose id="1")'], folder=scripts)
    cli.expect(f"{row}: the first run", replies, ["1", "()", "()"])
    other = as_someone_else()
    env = {"HOME": scripts}
    os.chmod(mx, 0o666)
    os.chmod(folder, 0o555)
    try:
        replies, _ = cli.run([reopen(mx), '(qmxImportPNM id="1" "new.ppm" 0 0 0 0)', '(qmxClose id="1")'],
                             folder=scripts, env=env, preexec=other, name="other")
        cli.expect(f"{row}: folder: reopen and import", replies[:2], ["1", "()"])
        cli.expect_error(f"{row}: folder: the close", replies[2], STORE, write_error(mx + "-journal", "Permission denied"),
                         "qmxClose")
        os.chmod(mx, 0o444)
        replies, _ = cli.run([reopen(mx)], folder=scripts, env=env, preexec=other, name="readonly")
        e = error_of(replies[0])
        cli.expect(f"{row}: read-only file", (e[0], e[2]) if e else replies[0],
                   (0x80040a06, '("open file error" "load_matrix_header" -123 "Permission denied")'))
    finally:
        os.chmod(folder, 0o755)
        os.chmod(mx, 0o644)
    replies, _ = cli.run([f'(qmxGetPoint "{mx}" (List 0 5 3))'], folder=scripts, name="check")
    cli.expect(f"{row}: the old picture", replies, [point(rgb_word(old[3, 5]))])


ROWS = {
    "kill -9 of a later writer, nodes of 8": row_later_writer_killed,
    "kill -9 of a later writer under a small page cache": lambda row: row_later_writer_killed(row, 1000000),
    "kill -9 of a new matrix before its first close": row_new_matrix_killed,
    "full disk": row_full_disk,
    "a later failed write on a file closed earlier": row_later_failed_write,
    "file-size limit": row_size_limit,
    "folder not writable, read-only file": row_unwritable,
}


def group_table():
    only = sys.argv[3:]
    for row, body in ROWS.items():
        if only and row not in only:
            continue
        t = time.monotonic()
        body(row)
        print(f"{row}: {time.monotonic() - t:.1f} s")


# ---------------------------------------------------------------------------
# Random runs

class Run:
    """One seeded run: the forms of one qnmx over two matrices of one shape
    (and the copies made of them), the model of level 0 after each form,
    and the moment it is killed."""

    def __init__(self, seed, folder, max_nodes):
        self.rng, self.pix, self.folder = random.Random(seed), np.random.default_rng(seed), folder
        rng = self.rng
        self.bits = rng.randint(2, 6)  # nodes of 4 to 64
        side = 1 << self.bits
        # At most 2 Mi pixels: the model keeps a picture per form.
        nodes = min(rng.choice([64, 256, 1024, max_nodes]), (1 << 21) // (side * side))
        self.w = min(4096, side * max(1, int((nodes * rng.uniform(0.5, 2.0)) ** 0.5)))
        self.h = min(4096, side * max(1, nodes * side * side // self.w // side))
        self.forms = []
        # Per form: the file it makes durable when it answers (created or
        # closed), and the level-0 pictures of every file after it.
        self.durable, self.states = [], []
        self.models, self.ids, self.open, self.made = {}, 0, {}, []

    def add(self, form, durable=None):
        self.forms.append(form)
        self.durable.append(durable)
        self.states.append({k: v for k, v in self.models.items()})

    def create(self, name):
        self.ids += 1
        self.models[name] = np.full((self.h, self.w, 3), 255, np.uint8)
        self.open[name] = self.ids
        self.made.append(name)
        self.add(matrix(name, (self.w, self.h), block=self.bits), durable=name)

    def build(self):
        rng = self.rng
        if rng.random() < 0.3:  # write-backs for room in the middle of the work
            self.add(f'(qmxCache size="{rng.choice([300000, 1000000, 4000000])}")')
        for name in ("a.mx", "b.mx"):
            self.create(name)
        for _ in range(rng.randint(4, 12)):
            name = rng.choice(sorted(self.open))
            eid = self.open[name]
            what = rng.choices(["import", "scan", "copy", "close"], [6, 1, 1, 2])[0]
            if what == "import":
                pw, ph = rng.randint(1, min(self.w, 1024)), rng.randint(1, min(self.h, 1024))
                x, y = rng.randint(-pw // 2, self.w - 1), rng.randint(-ph // 2, self.h - 1)
                pic = self.pix.integers(0, 256, (ph, pw, 3), dtype=np.uint8)
                src = f"p{len(self.forms)}.ppm"
                write_ppm(os.path.join(self.folder, src), pic)
                model = self.models[name].copy()
                x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + pw, self.w), min(y + ph, self.h)
                model[y0:y1, x0:x1] = pic[y0 - y:y1 - y, x0 - x:x1 - x]
                self.models[name] = model
                self.add(f'(qmxImportPNM id="{eid}" "{src}" 0 0 {x} {y})')
            elif what == "scan":
                self.add(f'(qmxScan id="{eid}" area="21" call-dir="pre" (List 0 0 0) (List 0 {self.w - 1} {self.h - 1}))')
            elif what == "copy":
                dest = f"c{len(self.forms)}.mx"
                self.create(dest)
                self.models[dest] = self.models[name].copy()
                self.add(f'(qmxCopy src="{eid}" dest="{self.open[dest]}" (List 0))')
            else:
                self.add(f'(qmxClose id="{eid}")', durable=name)
                del self.open[name]
                self.ids += 1
                self.open[name] = self.ids
                self.add(reopen(name))
        for name in sorted(self.open):
            self.add(f'(qmxClose id="{self.open[name]}")', durable=name)

    def check(self, done):
        """What is wrong with the files after the first `done` forms
        answered (the kill fell in the next)."""
        bad = []
        for name in self.made:
            # The states since the file was last made durable, to the last
            # form that may have begun.
            answered_at = [i for i in range(done) if self.durable[i] == name]
            if not answered_at:
                continue  # its qmxCreate never answered
            first = answered_at[-1]
            held = [s[name] for s in self.states[first:min(done + 1, len(self.states))] if name in s]
            replies, err = cli.run([reopen(name), '(qmxExportPNM id="1" "level0.ppm" 0 0)', '(qmxClose id="1")'],
                                   folder=self.folder, name="check", status=None)
            if replies != ["1", "()", "()"]:
                bad.append(f"{name} after the kill: {replies} {err[-200:]!r}")
                continue
            out = read_ppm(np, os.path.join(self.folder, "level0.ppm"))
            ok = np.zeros(out.shape[:2], bool)
            for s in held:
                ok |= (out == s).all(axis=2)
            if not ok.all():
                ys, xs = np.nonzero(~ok)
                bad.append(f"{name}: {len(ys)} pixels hold what they never held since form {first + 1} "
                           f"(first at x {xs[0]} y {ys[0]}: {out[ys[0], xs[0]].tolist()})")
        return bad


def group_random():
    first = int(sys.argv[3]) if len(sys.argv) > 3 else int(time.time()) % 100000
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 16
    max_nodes = int(os.environ.get("QNMX_KILL_NODES", "4096"))
    kills = 0
    print(f"seeds {first} to {first + runs - 1}")
    for seed in range(first, first + runs):
        folder = fresh(cli.path(f"seed{seed}"))
        r = Run(seed, folder, max_nodes)
        r.build()
        # A moment anywhere in the run: after a form answered, a little into
        # the next ones.
        after, delay = r.rng.randrange(len(r.forms)), r.rng.uniform(0, 0.08)
        killed = kill_during(start(r.forms, "s", folder), folder, "s", after, delay)
        kills += killed
        done = len(answered(folder, "s"))
        bad = r.check(done)
        shape = f"{r.w} x {r.h}, nodes of {1 << r.bits}, " + \
            (f"killed {delay:.2f} s after form {after}" if killed else "never killed")
        print(f"seed {seed}: {shape}, {done} of {len(r.forms)} forms answered")
        if bad:
            cli.fail(f"seed {seed} ({shape}): " + "\n    ".join(bad[:6]) +
                     f"\n  repeat: QNMX_KILL_NODES={max_nodes} {os.path.abspath(__file__)} {cli.qnmx} random {seed} 1"
                     f" (script in {folder}/s.zu)")
        else:
            shutil.rmtree(folder)
    if runs >= 4 and kills < runs // 2:
        cli.fail(f"only {kills} of {runs} runs were killed before they ended")


try:
    {"table": group_table, "random": group_random}[GROUP]()
finally:
    cli.finish()
