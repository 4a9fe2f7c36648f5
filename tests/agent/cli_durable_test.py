#!/usr/bin/python3
"""What a matrix file keeps when its writer is killed, interrupted or cut
short at its end, and what a write that fails answers, through the qnmx
binary: cli_durable_test.py <qnmx> <qnmx_lockd> kills|writes [row...], or
random [seed [runs]] (QNMX_KILL_NODES raises its largest node count). A
file closed once, or made by an answered qmxCreate, opens again with what a
write-back saved; a failed write is an error naming the file and the
reason, and loses nothing closed earlier."""
import contextlib
import errno
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import (NO_OBJECT, OPEN, STORE, THIN, Cli, error_of, matrix, read_ppm, read_replies, reopen,  # noqa: E402
                     rgb_word, use_lock_service, write_ppm)
from checks import start_lockd, stop, wait_until  # noqa: E402

cli = Cli(sys.argv[1], "durable")
LOCKD, GROUP = os.path.realpath(sys.argv[2]), sys.argv[3]
NO_SPACE, TOO_LARGE = os.strerror(errno.ENOSPC), os.strerror(errno.EFBIG)


def start(forms, name, folder):
    """A qnmx on the forms, left running (standard error in name.err)."""
    with open(os.path.join(folder, name + ".zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    with open(os.path.join(folder, name + ".err"), "wb") as err:
        p = subprocess.Popen([cli.qnmx, name + ".zu", name + ".out", "-"], cwd=folder, env=cli.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
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


def kill_during(forms, name, folder, form, delay):
    """A qnmx on the forms started and killed delay seconds after the form-th
    form answered (0: after the start), unless it ended first: True when killed."""
    p = start(forms, name, folder)
    while form and len(answered(folder, name)) < form and p.poll() is None:
        time.sleep(0.005)
    return kill_after(p, delay)


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def pictures(folder, **shapes):
    """Seeded pictures, (seed, w, h) by name, each written to name.ppm in folder."""
    out = []
    for name, (seed, w, h) in shapes.items():
        out.append(np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8))
        write_ppm(os.path.join(folder, name + ".ppm"), out[-1])
    return out


def remove(folder, *names):
    for name in names:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(folder, name))


def first_run(what, folder, mx, size, pic, name="first", **kw):
    """mx made with pic imported at its corner, and closed."""
    replies, _ = cli.run([matrix(mx, size, **kw), f'(qmxImportPNM id="1" "{pic}" 0 0 0 0)', '(qmxClose id="1")'],
                         folder=folder, name=name)
    cli.expect(f"{what}: the first run", replies, ["1", "()", "()"])


def reads(what, folder, mx, at, wants, **kw):
    """The level-0 point at of mx reads one of wants, and mx reopens."""
    replies, err = cli.run(['(qmxGetPoint "%s" (List 0 %d %d))' % (mx, *at), reopen(mx), '(qmxClose id="2")'],
                           folder=folder, status=None, **kw)
    if replies[0] not in wants:
        cli.fail(f"{what}: the point reads {replies[0]!r}; stderr {err[-300:]!r}")
    cli.expect(f"{what}: reopened", replies[1:], ["2", "()"])


def opens(what, folder, mx, **kw):
    replies, _ = cli.run([reopen(mx), '(qmxClose id="1")'], folder=folder, name="reopen", **kw)
    cli.expect(f"{what}: the file opens after", replies, ["1", "()"])


def point(word):
    return f"((0 {word}))"


def wrong_pixels(folder, mx, states):
    """What is wrong with level 0 of mx as a fresh writer exports it, each
    pixel of which must hold one of the pictures states (None: nothing)."""
    replies, err = cli.run([reopen(mx), '(qmxExportPNM id="1" "level0.ppm" 0 0)', '(qmxClose id="1")'],
                           folder=folder, name="check", status=None)
    if replies != ["1", "()", "()"]:
        return f"{replies}; stderr {err[-300:]!r}"
    out = read_ppm(np, os.path.join(folder, "level0.ppm"))
    held = np.zeros(out.shape[:2], bool)
    for s in states:
        held |= (out == s).all(axis=2)
    ys, xs = np.nonzero(~held)
    if len(ys):
        x, y = xs[0], ys[0]
        return f"{len(ys)} pixels hold what no write-back left (first at x {x} y {y}: {out[y, x].tolist()})"


def placed(under, pic, x, y):
    """under with pic imported at (x, y), cut to under's size."""
    out = under.copy()
    h, w = out[y:y + pic.shape[0], x:x + pic.shape[1]].shape[:2]
    out[y:y + h, x:x + w] = pic[:h, :w]
    return out


def write_error(path, reason):
    """The data of the error a command answers for a file it could not write."""
    return f'("{path}" "the file could not be written" "{reason}")'


def expect_write_error(what, reply, func, path, reason):
    """reply is func's error: the matrix file at path, or its journal, could not be written for reason."""
    e = error_of(reply)
    if not e or e[0] != STORE or e[1] != func or e[2] not in (write_error(path, reason),
                                                                write_error(path + "-journal", reason)):
        cli.fail(f"{what}: got {reply!r}, want {func}'s error: {path} (or its journal) could not be written: {reason}")


def limited(size, trap=True, hard=None):
    """A preexec of `ulimit -f` size bytes (hard: a higher hard limit that
    qnmx's own child may lift it to); with trap, SIGXFSZ is ignored first,
    so the refusal is EFBIG whether or not qnmx ignores the signal itself."""
    def apply():
        if trap:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size if hard is None else hard))
    return apply


class Tmpfs:
    """A small tmpfs in the work folder, where writes fail with "No space
    left on device"; where none can be mounted, a plain folder whose writers
    run under a file-size limit (limit()), failing with "File too large"."""

    def __init__(self, name, size):
        self.path = cli.path(name)
        os.makedirs(self.path, exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", self.path], capture_output=True)
        self.mounted = r.returncode == 0
        self.reason = NO_SPACE if self.mounted else TOO_LARGE
        if not self.mounted:
            print(f"no tmpfs could be mounted ({r.stderr.decode(errors='replace').strip()}): a file-size limit stands in")

    def limit(self, size, trap=True, hard=None):
        """The preexec of a writer here: none on a tmpfs, else limited()."""
        return None if self.mounted else limited(size, trap, hard)

    def room_form(self):
        """A form that makes room: the filler removed, or the file-size limit
        lifted to the hard one that limit(..., hard=RLIM_INFINITY) left open."""
        if self.mounted:
            return f'(Shell "rm {os.path.join(self.path, "filler")}")'
        return '(Shell "prlimit --pid $PPID --fsize=unlimited")'

    def fill(self, leave=0):
        """Takes every byte left but leave (whole pages) on a tmpfs."""
        if not self.mounted:
            return
        fd = os.open(os.path.join(self.path, "filler"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        for chunk in (b"\xaa" * 4096, b"\xaa"):
            try:
                while True:
                    os.write(fd, chunk)
            except OSError:
                pass
        os.ftruncate(fd, os.fstat(fd).st_size - leave)
        os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", "-l", self.path])


# ---------------------------------------------------------------------------
# The kills: a file closed once, or made by an answered qmxCreate, opens
# again with what a write-back saved, whatever happens to a later writer

def ended(p, what):
    """p ends within 150 s (else it is killed) with status 1."""
    if kill_after(p, 150):
        cli.fail(f"{what}: killed after 150 s")
    cli.expect(f"{what}: the status", p.returncode, 1)


def row_later_writer_killed(row, cache=None):
    """A 1024 x 1024 matrix of nodes of 8 closed with a 4 x 4 picture; a
    later writer imports a whole picture and is killed at seeded moments:
    the point reads the old picture or the new, and the file reopens."""
    folder = fresh(cli.path(row.replace(" ", "_")))
    small, big = pictures(folder, small=(1, 4, 4), big=(2, 1024, 1024))
    rng = random.Random(row)
    for k in range(3):
        remove(folder, "m.mx", "m.mx-journal")
        first_run(row, folder, "m.mx", (1024, 1024), "small.ppm", block=3)
        forms = ([f'(qmxCache size="{cache}")'] if cache else []) + [
            reopen("m.mx"), '(qmxImportPNM id="1" "big.ppm" 0 0 0 0)', '(qmxClose id="1")']
        # Into the import, where pages go ahead of the journal and, under
        # a small cache, write-backs make room.
        at = rng.uniform(0.5, 2.0)
        killed = kill_during(forms, "later", folder, len(forms) - 2, at)
        reads(f"{row}: killed {'%.2f s into the import' % at if killed else 'never (it ended first)'}, kill {k + 1}",
              folder, "m.mx", (1, 1), (point(rgb_word(small[1, 1])), point(rgb_word(big[1, 1]))), name="after")


def row_new_matrix_killed(row):
    """A new matrix killed at seeded moments after qmxCreate answered and
    before its first close: it opens as it was made, every pixel the
    picture's or the default."""
    folder = fresh(cli.path("new_matrix"))
    big, = pictures(folder, big=(3, 1024, 1024))
    rng = random.Random(row)
    kills = 0
    for k in range(4):
        remove(folder, "n.mx", "n.mx-journal", "new.out")
        at = rng.uniform(0.0, 1.5)
        killed = kill_during([matrix("n.mx", (1024, 1024), block=3), '(qmxImportPNM id="1" "big.ppm" 0 0 0 0)',
                              '(qmxClose id="1")'], "new", folder, 1, at)
        made = answered(folder, "new")
        if not killed or made.get(3) is not None or made.get(1) != "1":
            continue  # closed before the kill, or killed before qmxCreate answered
        kills += 1
        if (bad := wrong_pixels(folder, "n.mx", [big, 255])):
            cli.fail(f"{row}: killed {at:.2f} s after qmxCreate answered: {bad}")
    if kills == 0:
        cli.fail(f"{row}: no kill fell between qmxCreate's answer and the close")


def row_interrupted_import(row):
    """SIGINT 1 s into a long import (nodes of 8) into a matrix closed earlier
    and into a new one, after an answered import of 40,960 nodes: the import
    answers an error, nothing runs after it, the status is 1, and the file
    opens with the earlier picture, the answered import (the end's close is
    never cut while it writes) and elsewhere its pixel or the default."""
    folder = fresh(cli.path("interrupt"))
    w, h = 2048, 4096
    small, top, rest = pictures(folder, small=(10, 4, 4), top=(11, w, 1280), rest=(12, w, 2048))
    first_run(row, folder, "m.mx", (w, h), "small.ppm", block=3, save_up=THIN)
    for mx, opening in (("m.mx", reopen("m.mx")), ("n.mx", matrix("n.mx", (w, h), block=3, save_up=THIN))):
        what = f"{row}: {'closed earlier' if mx == 'm.mx' else 'made in the same run'}"
        remove(folder, "started", "marker")
        p = start([opening, '(qmxImportPNM id="1" "top.ppm" 0 0 0 8)', '(Shell "touch started")',
                   '(qmxImportPNM id="1" "rest.ppm" 0 0 0 2048)', '(Shell "touch marker")'], "long", folder)
        wait_until(lambda: os.path.exists(os.path.join(folder, "started")) or p.poll() is not None, 120, 0.01)
        time.sleep(1)
        p.send_signal(signal.SIGINT)
        ended(p, what)  # the end has 40,960 nodes and more to save; a close that writes is not cut
        got = answered(folder, "long")
        cli.expect(f"{what}: the answers before the long import", [got.get(i) for i in (1, 2, 3)], ["1", "()", "()"])
        if not error_of(got.get(4)) or got.get(5) is not None or os.path.exists(os.path.join(folder, "marker")):
            cli.fail(f"{what}: the interrupted import answers {got.get(4)!r}, the form after it {got.get(5)!r}")
        # Level 0 at points in every band, and in the corner closed earlier.
        points = [(x, y) for x in range(3, w, 229) for y in range(5, h, 217)] + [(1, 1), (3, 2)]
        replies, err = cli.run([reopen(mx), '(qmxClose id="1")'] +
                               ['(qmxGetPoint "%s" (List 0 %d %d))' % (mx, x, y) for x, y in points],
                               folder=folder, name="check", status=None)
        if replies[:2] != ["1", "()"]:
            cli.fail(f"{what}: the file after the interrupt: {replies[:2]}; stderr {err[-300:]!r}")
            continue
        for (x, y), got in zip(points, replies[2:]):
            if mx == "m.mx" and x < 8 and y < 8:  # the node closed earlier, written by neither import
                ok = got == point(rgb_word(small[y, x]) if x < 4 and y < 4 else 255)
            elif 8 <= y < 1288:  # the import answered: the end saves it, as it writes all along
                ok = got == point(rgb_word(top[y - 8, x]))
            else:  # the interrupted import's pixel or the default, or a node it never made
                ok = got == point(255) or y >= 2048 and got == point(rgb_word(rest[y - 2048, x])) or \
                    error_of(got) == (NO_OBJECT, "qmxGetPoint", '"object"')
            if not ok:
                cli.fail(f"{what}: ({x}, {y}) reads {got!r}, which no write-back left there")


def row_silent_lock_service(row):
    """SIGTERM while the lock service is stopped (SIGSTOP), with a new matrix
    made first (closed last), one closed earlier and another new one: the
    status is 1, and each file opens with what a write-back left at each
    pixel (never a header stub cut by the end)."""
    folder = fresh(cli.path("silent"))
    early, late = pictures(folder, early=(13, 40, 40), late=(14, 256, 256))
    lockd, port = start_lockd(LOCKD, stderr=open(os.path.join(folder, "lockd.log"), "w"))
    try:
        use = use_lock_service(port)
        replies, _ = cli.run([use, matrix("m.mx", (256, 256), block=3, save_up=THIN),
                              '(qmxImportPNM id="1" "early.ppm" 0 0 0 0)', '(qmxClose id="1")'], folder=folder)
        cli.expect(f"{row}: the first run", replies, ["LockPort", "1", "()", "()"])
        forms = [use]
        for i, opening in enumerate((matrix("n.mx", (256, 256), block=3, save_up=THIN), reopen("m.mx"),
                                     matrix("o.mx", (256, 256), block=3, save_up=THIN)), 1):
            forms += [opening, f'(qmxImportPNM id="{i}" "late.ppm" 0 0 8 8)']
        p = start(forms + ["(Sleep 100)"], "silent", folder)
        wait_until(lambda: len(answered(folder, "silent")) >= len(forms) or p.poll() is not None, 60)
        cli.expect(f"{row}: the answers", answered(folder, "silent"),
                   {1: "LockPort", 2: "1", 3: "()", 4: "2", 5: "()", 6: "3", 7: "()"})
        lockd.send_signal(signal.SIGSTOP)
        p.send_signal(signal.SIGTERM)
        ended(p, row)
    finally:
        lockd.send_signal(signal.SIGCONT)
        stop(lockd)
    blank = np.full((256, 256, 3), 255, np.uint8)
    for mx, before in (("n.mx", blank), ("m.mx", placed(blank, early, 0, 0)), ("o.mx", blank)):
        if (bad := wrong_pixels(folder, mx, [before, placed(before, late, 8, 8)])):
            cli.fail(f"{row}: {mx} ({os.path.getsize(os.path.join(folder, mx))} bytes): {bad}")


KILL_ROWS = {
    "kill -9 of a later writer, nodes of 8": row_later_writer_killed,
    "kill -9 of a later writer under a small page cache": lambda row: row_later_writer_killed(row, 1000000),
    "kill -9 of a new matrix before its first close": row_new_matrix_killed,
    "interrupt during a long import": row_interrupted_import,
    "an end while the lock service is silent": row_silent_lock_service,
}


# ---------------------------------------------------------------------------
# The writes: a write that fails is an error, and loses nothing closed
# earlier

def row_full_disk(row):
    """A 600 x 400 matrix of two channels on a 300 KiB tmpfs (or under a size
    limit): qmxClose, or the end (status 1, a line naming it), answers the
    file and the reason; the file then opens."""
    folder = fresh(cli.path("full"))
    pictures(folder, p=(4, 600, 400))
    pic = os.path.join(folder, "p.ppm")
    channels = (("rgb8_v", 'file="on"', "255"), ("uint32_v", 'file="on"', "0"))
    for close in (True, False):
        with Tmpfs(f"full_{close}", "300k") as disk:
            mx = os.path.join(disk.path, "m.mx")
            replies, err = cli.run([matrix(mx, (600, 400), block=4, channels=channels)] +
                                   [f'(qmxImportPNM id="1" "{pic}" {ch} 0 0 0)' for ch in (0, 1)] +
                                   (['(qmxClose id="1")'] if close else []),
                                   folder=folder, preexec=disk.limit(300 * 1024), status=None, name=f"full{close}")
            what = f"{row} ({'qmxClose' if close else 'the end'})"
            cli.expect(f"{what}: status", cli.status, 0 if close else 1)
            if close:
                expect_write_error(what, replies[3], "qmxClose", mx, disk.reason)
            else:
                cli.expect(f"{what}: said on standard error", disk.reason in err and mx in err, True)
            opens(what, folder, mx, status=None)


def row_later_failed_write(row):
    """A matrix closed with a picture in channel 0; a second run on the full
    disk imports into channel 1: its close answers the file and the reason,
    and the file opens (on the full disk, and after) with channel 0 as closed."""
    folder = fresh(cli.path("later_failed"))
    first, second = pictures(folder, a=(5, 40, 40), b=(6, 150, 150))
    with Tmpfs("later_disk", "400k") as disk:
        mx = os.path.join(disk.path, "m.mx")
        first_run(row, folder, mx, (150, 150), "a.ppm", block=4,
                  channels=(("rgb8_v", 'file="on"', "255"), ("rgb8_v", 'file="on"', "0")))
        disk.fill()
        limit = disk.limit(os.path.getsize(mx))
        replies, _ = cli.run([reopen(mx), '(qmxImportPNM id="1" "b.ppm" 1 0 0 0)', '(qmxClose id="1")'],
                             folder=folder, preexec=limit, name="second")
        cli.expect(f"{row}: the import", replies[:2], ["1", "()"])
        expect_write_error(f"{row}: the close", replies[2], "qmxClose", mx, disk.reason)
        wants = (f"((0 {rgb_word(first[7, 9])}) (1 0))", f"((0 {rgb_word(first[7, 9])}) (1 {rgb_word(second[7, 9])}))")
        reads(f"{row}: on the full disk", folder, mx, (9, 7), wants, preexec=limit, name="third")
        remove(disk.path, "filler")  # room again
        reads(f"{row}: with room again", folder, mx, (9, 7), wants, name="third")


def row_size_limit(row):
    """Under a 300 KiB file-size limit (SIGXFSZ ignored) a 1024 x 1024 import
    and close answer "File too large" at the close and leave a file that
    opens; under 1 KiB qmxCreate itself answers it and leaves no file."""
    folder = fresh(cli.path("limit"))
    pictures(folder, big=(7, 1024, 1024))
    replies, _ = cli.run([matrix("m.mx", (1024, 1024), block=6), '(qmxImportPNM id="1" "big.ppm" 0 0 0 0)',
                          '(qmxClose id="1")'], folder=folder, preexec=limited(300 * 1024))
    cli.expect(f"{row}: 300 KiB: create and import", replies[:2], ["1", "()"])
    expect_write_error(f"{row}: 300 KiB: the close", replies[2], "qmxClose", "m.mx", TOO_LARGE)
    cli.expect(f"{row}: 300 KiB: within the limit", os.path.getsize(os.path.join(folder, "m.mx")) <= 300 * 1024, True)
    opens(f"{row}: 300 KiB", folder, "m.mx")
    replies, _ = cli.run([matrix("t.mx", (1024, 1024), block=6)], folder=folder, preexec=limited(1024), name="tiny")
    expect_write_error(f"{row}: 1 KiB: qmxCreate", replies[0], "qmxCreate", "t.mx", TOO_LARGE)
    cli.expect(f"{row}: 1 KiB: no file left", os.path.exists(os.path.join(folder, "t.mx")), False)


def row_room_again(row):
    """On a full disk under a small cache, an import whose write-backs fail
    answers the file and the reason; once the script makes room, the next
    import answers () with its write-backs on disk by its end (at least half
    of what the close leaves), and the file opens with both halves."""
    folder = fresh(cli.path("room_again"))
    top, bottom = pictures(folder, top=(15, 1024, 512), bottom=(16, 1024, 512))
    with Tmpfs("room_disk", "16m") as disk:
        mx = os.path.join(disk.path, "m.mx")
        disk.fill(64 * 1024)
        replies, _ = cli.run(['(qmxCache size="300000")', matrix(mx, (1024, 1024), block=4),
                              '(qmxImportPNM id="1" "top.ppm" 0 0 0 0)', disk.room_form(),
                              '(qmxImportPNM id="1" "bottom.ppm" 0 0 0 512)',
                              f'(Shell "stat -c %b {mx} > held.txt")', '(qmxClose id="1")'],
                             folder=folder, preexec=disk.limit(64 * 1024, hard=resource.RLIM_INFINITY))
        cli.expect(f"{row}: the create", replies[:2], ["()", "1"])
        expect_write_error(f"{row}: the import on the full disk", replies[2], "qmxImportPNM", mx, disk.reason)
        cli.expect(f"{row}: the import with room, the close", [replies[4], replies[6]], ["()", "()"])
        with open(os.path.join(folder, "held.txt")) as f:
            on_disk = int(f.read()) * 512
        if on_disk * 2 < os.path.getsize(mx):
            cli.fail(f"{row}: {on_disk} bytes on disk after the second import, of {os.path.getsize(mx)} the close left")
        if (bad := wrong_pixels(folder, mx, [np.concatenate([top, bottom])])):
            cli.fail(f"{row}: level 0 is not the two halves: {bad}")


# A UTM import from entry 1 into entry 3 (250 x 120 pixels of 1/32 degree
# from 137.25 E, 30 N) of a source of 512 x 512 pixels of 1000 m in zone
# 54N.
UTM_IMPORT = ('(qmxImportUTM id="3" utmid="1" ch="0" XYdir="exchange" 137.25 30.0 32.0 32.0 "54N" (List 3830000 244000) '
              '(List (List 3830500 243500) (List 3318500 755500)) (List 0.001 -0.001) 6378137 6356752.314140347)')


def row_walks_on_full_disk(row):
    """On the full disk, a copy into a new matrix, a scan of the copy that
    saves its levels and a UTM import into another new matrix (the cache
    kept full) each answer the file it wrote and the reason, not its close."""
    folder = fresh(cli.path("walks"))
    pictures(folder, p=(17, 1024, 1024))
    with Tmpfs("walks_disk", "16m") as disk:
        src, dest, utm = (os.path.join(disk.path, n) for n in ("src.mx", "dest.mx", "utm.mx"))
        first_run(row, folder, src, (1024, 1024), "p.ppm", block=4, name="made")
        disk.fill(64 * 1024)
        replies, _ = cli.run(['(qmxCache size="300000")', reopen(src), matrix(dest, (1024, 1024), block=4),
                              matrix(utm, (250, 120), block=6), '(qmxCopy src="1" dest="2" (List 0))',
                              '(qmxScan id="2" area="21" call-dir="pre" (List 0 0 0) (List 0 1023 1023))',
                              UTM_IMPORT, '(qmxClose id="1")'], folder=folder, preexec=disk.limit(64 * 1024),
                             status=None)
        cli.expect(f"{row}: the openings", replies[:4], ["()", "1", "2", "3"])
        for i, func, mx in ((4, "qmxCopy", dest), (5, "qmxScan", dest), (6, "qmxImportUTM", utm)):
            expect_write_error(f"{row}: {func}", replies[i], func, mx, disk.reason)
        cli.expect(f"{row}: the source's close", replies[7], "()")


def as_someone_else():
    """A preexec that drops root's rights (file modes mean nothing to root), or None."""
    if os.geteuid() != 0:
        return None
    nobody = pwd.getpwnam("nobody")

    def drop():
        os.setgroups([])
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
    return drop


def row_unwritable(row):
    """A writable matrix file in a folder that is not (no journal can be made):
    the close answers the journal and "Permission denied", the old picture
    stays. A read-only matrix file: the opening says why it cannot open."""
    os.chmod(cli.work, 0o755)
    folder = fresh(cli.path("unwritable"))
    scripts = fresh(cli.path("scripts"))
    os.chmod(scripts, 0o777)
    old, _ = pictures(scripts, old=(8, 64, 64), new=(9, 64, 64))
    mx = os.path.join(folder, "m.mx")
    first_run(row, scripts, mx, (64, 64), "old.ppm", block=3)
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
        cli.expect_error(f"{row}: read-only file", replies[0], OPEN,
                         '("open file error" "load_matrix_header" -123 "Permission denied")')
    finally:
        os.chmod(folder, 0o755)
        os.chmod(mx, 0o644)
    replies, _ = cli.run([f'(qmxGetPoint "{mx}" (List 0 5 3))'], folder=scripts, name="check")
    cli.expect(f"{row}: the old picture", replies, [point(rgb_word(old[3, 5]))])


# What the program writes besides matrix files: the replies and error
# files, openPrintStd files and Save, with the script as mine.zu in the work
# folder (link.zu leads to it) and the replies of most rows in r.out there.

LEFT = 4096  # the bytes that fit on the full disk, and the file-size limit
MINE = cli.path("mine.zu")
os.symlink("mine.zu", cli.path("link.zu"))
BIG = '(define big "%s")' % ("x" * 6000)
TWO = ['"%s"' % ("a" * 3000), '"%s"' % ("b" * 3000)]
RAN = '(Save oflag="creat:trunc" "%s" 1)' % cli.path("ran.txt")  # a trace that the script ran
SCRIPT_REFUSED = "is the script being run"
DISK, LIMIT, WORK = "disk", "limit", "work"  # where a row's qnmx runs


def written(where, args, forms, check):
    """A row: qnmx args on forms in mine.zu, run on a full disk (a 64 KiB
    tmpfs filled but LEFT bytes, or a file-size limit of LEFT), under a limit
    of LEFT whose signal is not trapped, or in the work folder. check(status,
    standard error, replies of r.out, the reason of a refused write) says what
    is wrong (None: nothing); the script must be as it was after."""
    def row(what):
        with open(MINE, "w") as f:
            f.write("\n".join(forms) + "\n")
        remove(cli.work, "r.out", "ran.txt")
        with Tmpfs("disk_" + what.replace(" ", "_"), "64k") if where == DISK else contextlib.nullcontext() as disk:
            if disk:
                disk.fill(LEFT)
            preexec = disk.limit(LEFT, trap=False) if disk else limited(LEFT, trap=False) if where == LIMIT else None
            r = subprocess.run([cli.qnmx, *args], cwd=disk.path if disk else cli.work, env=cli.env, capture_output=True,
                               timeout=120, preexec_fn=preexec)
            status, err, replies = r.returncode, r.stderr.decode(errors="replace"), read_replies(cli.path("r.out"))
            reason = disk.reason if disk else TOO_LARGE
        if status < 0:
            cli.fail(f"{what}: qnmx died by signal {-status}")
        elif (why := check(status, err, replies, reason)) is not None:
            cli.fail(f"{what}: {why}")
        with open(MINE) as f:
            cli.expect(what + ": the script after", f.read(), "\n".join(forms) + "\n")
    return row


def refused(status, err, replies, reason):
    return None if status == 1 and SCRIPT_REFUSED in err and not os.path.exists(cli.path("ran.txt")) else \
        f"status {status}, ran {os.path.exists(cli.path('ran.txt'))}, standard error {err[-300:]!r}"


def lost(name):
    """The check of a replies file cut short: said, named, and the end fails."""
    return lambda status, err, replies, reason: None if status == 1 and f"{name}: {reason}" in err else \
        f"status {status}, standard error {err[-300:]!r}"


def failed(n, func, data):
    """The check of an error answered to form n: data with the reason for {}."""
    def check(status, err, replies, reason):
        e = error_of(replies.get(n))
        return None if status == 0 and e == (OPEN, func, data.format(reason)) else \
            f"reply {replies.get(n, '')[:200]!r}, status {status}"
    return check


def each_once(status, err, replies, reason):
    got = read_replies(cli.path("both.txt"))
    return None if sorted(got) == [1, 2, 3, 4] and os.path.getsize(cli.path("both.txt")) == \
        sum(len(f"<Result> {n} {v}</Result>\n") for n, v in got.items()) else f"the file holds {got}"


WRITE_ROWS = {
    "full disk": row_full_disk,
    "a later failed write on a file closed earlier": row_later_failed_write,
    "file-size limit": row_size_limit,
    "folder not writable, read-only file": row_unwritable,
    "room again after a failed write-back": row_room_again,
    "a copy, a scan and a UTM import on a full disk": row_walks_on_full_disk,
    "replies on a full disk": written(DISK, [MINE, "replies.txt"], TWO, lost("replies.txt")),
    "replies under a file-size limit, its signal not trapped": written(LIMIT, [MINE, "r.out"], TWO, lost("r.out")),
    "an openPrintStd file on a full disk": written(
        DISK, [MINE, cli.path("r.out")], [BIG, '(openPrintStd "printed.txt")', '(PrintStd d="1" big)',
                                          '(closePrintStd d="1")'],
        failed(4, "closePrintstd", '("cannot access the file" "printed.txt" "{}")')),
    "Save on a full disk": written(DISK, [MINE, cli.path("r.out")], [BIG, '(Save oflag="creat:trunc" "saved.txt" big)'],
                                   failed(2, "Save", '("cannot access the file" "saved.txt" "{}")')),
    "the script as its replies file": written(WORK, ["mine.zu", "mine.zu"], [RAN], refused),
    "the script as its error file": written(WORK, ["mine.zu", "-", "mine.zu"], [RAN], refused),
    "the script through a link as its replies file": written(WORK, ["mine.zu", "link.zu"], [RAN], refused),
    "the script through ./ as its error file": written(WORK, ["mine.zu", "-", "./mine.zu"], [RAN], refused),
    "one file for replies and errors": written(WORK, ["mine.zu", "both.txt", "both.txt"],
                                               ["(car 5)", '"ok"', "(car 6)", '"ok2"'], each_once),
}


def table(rows):
    only = sys.argv[4:]
    for name in only:
        if name not in rows:
            cli.fail(f"no row {name!r}")
    for row, body in rows.items():
        if only and row not in only:
            continue
        t = time.monotonic()
        body(row)
        print(f"{row}: {time.monotonic() - t:.1f} s", flush=True)


# ---------------------------------------------------------------------------
# Random runs

class Run:
    """One seeded run: the forms of one qnmx over two matrices of one shape
    (and copies of them), and the model of level 0 after each form."""

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
        self.states.append(dict(self.models))

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
                self.models[name] = model = self.models[name].copy()
                x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + pw, self.w), min(y + ph, self.h)
                model[y0:y1, x0:x1] = pic[y0 - y:y1 - y, x0 - x:x1 - x]
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
                self.ids += 1
                self.open[name] = self.ids
                self.add(reopen(name))
        for name in sorted(self.open):
            self.add(f'(qmxClose id="{self.open[name]}")', durable=name)

    def check(self, done):
        """What is wrong with the files after the first `done` forms answered."""
        bad = []
        for name in self.made:
            # The states since the file was last made durable, to the last
            # form that may have begun.
            answered_at = [i for i in range(done) if self.durable[i] == name]
            if not answered_at:
                continue  # its qmxCreate never answered
            first = answered_at[-1]
            held = [s[name] for s in self.states[first:min(done + 1, len(self.states))] if name in s]
            if (wrong := wrong_pixels(self.folder, name, held)):
                bad.append(f"{name}, as it held since form {first + 1}: {wrong}")
        return bad


def group_random():
    first = int(sys.argv[4]) if len(sys.argv) > 4 else int(time.time()) % 100000
    runs = int(sys.argv[5]) if len(sys.argv) > 5 else 16
    max_nodes = int(os.environ.get("QNMX_KILL_NODES", "4096"))
    kills = 0
    print(f"seeds {first} to {first + runs - 1}")
    for seed in range(first, first + runs):
        folder = fresh(cli.path(f"seed{seed}"))
        r = Run(seed, folder, max_nodes)
        r.build()
        # A moment anywhere in the run: after a form answered, a little into
        # the next ones.
        after, delay = r.rng.randrange(len(r.forms) - 1), r.rng.uniform(0, 0.08)
        killed = kill_during(r.forms, "s", folder, after, delay)
        kills += killed
        done = len(answered(folder, "s"))
        bad = r.check(done)
        shape = f"{r.w} x {r.h}, nodes of {1 << r.bits}, " + \
            (f"killed {delay:.2f} s after form {after}" if killed else "never killed")
        print(f"seed {seed}: {shape}, {done} of {len(r.forms)} forms answered")
        if bad:
            cli.fail(f"seed {seed} ({shape}): " + "\n    ".join(bad[:6]) +
                     f"\n  repeat: QNMX_KILL_NODES={max_nodes} {os.path.abspath(__file__)} {cli.qnmx} {LOCKD}"
                     f" random {seed} 1 (script in {folder}/s.zu)")
        else:
            shutil.rmtree(folder)
    # A run may end before its kill lands (its last forms are quick): a
    # quarter of the runs killed still shows the kills were real.
    if runs >= 4 and kills < runs // 4:
        cli.fail(f"only {kills} of {runs} runs were killed before they ended")


try:
    {"kills": lambda: table(KILL_ROWS), "writes": lambda: table(WRITE_ROWS), "random": group_random}[GROUP]()
finally:
    cli.finish()
