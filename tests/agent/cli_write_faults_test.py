#!/usr/bin/env python3
"""What qnmx does when a write it was asked for fails: cli_write_faults_test.py
QNMX. One table: each row a script run with what it writes on a full disk,
under a file-size limit, or naming the script itself as the file to write;
what the status, the standard error, the replies and the files must be
after, and the script must be as it was. The full disk is a small tmpfs the
test mounts (it runs as root); where it cannot, those rows run under a
file-size limit instead, and say so."""
import errno
import os
import resource
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import OPEN, Cli, error_of, read_replies  # noqa: E402

cli = Cli(sys.argv[1], "writes")
LEFT = 4096  # the bytes that fit on the full disk, and the file-size limit
NO_SPACE, TOO_LARGE = os.strerror(errno.ENOSPC), os.strerror(errno.EFBIG)
BIG = '(define big "%s")' % ("x" * 6000)


class Disk:
    """A folder where LEFT more bytes fit: a tmpfs of its own, filled up but
    LEFT bytes before each row; or, when none can be mounted, a plain folder
    whose writers run under a file-size limit of LEFT."""

    def __init__(self):
        self.dir = cli.path("disk")
        os.makedirs(self.dir)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.dir], capture_output=True)
        self.mounted = r.returncode == 0
        self.reason = NO_SPACE if self.mounted else TOO_LARGE
        if not self.mounted:
            print("no tmpfs could be mounted (%s): the full-disk rows run under a file-size limit" %
                  r.stderr.decode(errors="replace").strip())

    def fill(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        if self.mounted:
            st = os.statvfs(self.dir)
            with open(os.path.join(self.dir, "fill"), "wb") as f:
                f.write(bytes(st.f_bavail * st.f_frsize - LEFT))

    def limit(self):
        return None if self.mounted else LEFT

    def close(self):
        if self.mounted:
            subprocess.run(["umount", "-l", self.dir])


def run(args, forms, cwd, fsize=None):
    """qnmx args in cwd, the forms in cli.path("mine.zu"): (status, standard
    error, replies of the replies file r.out by form number)."""
    with open(cli.path("mine.zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    for name in ("r.out", "ran.txt"):
        if os.path.exists(cli.path(name)):
            os.unlink(cli.path(name))

    def limited():
        if fsize:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
    r = subprocess.run([cli.qnmx, *args], cwd=cwd, env=cli.env, capture_output=True, timeout=120, preexec_fn=limited)
    return r.returncode, r.stderr.decode(errors="replace"), read_replies(cli.path("r.out"))


disk = Disk()
MINE = cli.path("mine.zu")
os.symlink("mine.zu", cli.path("link.zu"))
TWO = ['"%s"' % ("a" * 3000), '"%s"' % ("b" * 3000)]
RAN = '(Save oflag="creat:trunc" "%s" 1)' % cli.path("ran.txt")  # a trace that the script ran
SCRIPT_REFUSED = "is the script being run"


def refused(status, err, replies):
    return None if status == 1 and SCRIPT_REFUSED in err and not os.path.exists(cli.path("ran.txt")) else \
        f"status {status}, ran {os.path.exists(cli.path('ran.txt'))}, standard error {err[-300:]!r}"


def lost(name, reason):
    """The check of a replies file cut short: said, named, and the end fails."""
    return lambda status, err, replies: None if status == 1 and f"{name}: {reason}" in err else \
        f"status {status}, standard error {err[-300:]!r}"


def answered(n, func, data):
    """The check of a failure answered to the command that met it (form n)."""
    def check(status, err, replies):
        e = error_of(replies.get(n))
        return None if status == 0 and e == (OPEN, func, data) else f"reply {replies.get(n, '')[:200]!r}, status {status}"
    return check


def each_once(status, err, replies):
    got = read_replies(cli.path("both.txt"))
    return None if sorted(got) == [1, 2, 3, 4] and os.path.getsize(cli.path("both.txt")) == \
        sum(len(f"<Result> {n} {v}</Result>\n") for n, v in got.items()) else f"the file holds {got}"


R = disk.reason
DISK, LIMIT, HERE = "disk", "limit", "here"  # where a row runs
for what, where, args, forms, check in [
        ("replies on a full disk", DISK, [MINE, "replies.txt"], TWO, lost("replies.txt", R)),
        ("replies under a file-size limit, its signal not trapped", LIMIT, [MINE, "r.out"], TWO,
         lost("r.out", TOO_LARGE)),
        ("an openPrintStd file on a full disk", DISK, [MINE, cli.path("r.out")],
         [BIG, '(openPrintStd "printed.txt")', '(PrintStd d="1" big)', '(closePrintStd d="1")'],
         answered(4, "closePrintstd", f'("cannot access the file" "printed.txt" "{R}")')),
        ("Save on a full disk", DISK, [MINE, cli.path("r.out")], [BIG, '(Save oflag="creat:trunc" "saved.txt" big)'],
         answered(2, "Save", f'("cannot access the file" "saved.txt" "{R}")')),
        ("the script as its replies file", HERE, ["mine.zu", "mine.zu"], [RAN], refused),
        ("the script as its error file", HERE, ["mine.zu", "-", "mine.zu"], [RAN], refused),
        ("the script through a link as its replies file", HERE, ["mine.zu", "link.zu"], [RAN], refused),
        ("the script through ./ as its error file", HERE, ["mine.zu", "-", "./mine.zu"], [RAN], refused),
        ("one file for replies and errors", HERE, ["mine.zu", "both.txt", "both.txt"],
         ["(car 5)", '"ok"', "(car 6)", '"ok2"'], each_once)]:
    if where == DISK:
        disk.fill()
    fsize = disk.limit() if where == DISK else LEFT if where == LIMIT else None
    status, err, replies = run(args, forms, disk.dir if where == DISK else cli.work, fsize)
    if status < 0:
        cli.fail(f"{what}: qnmx died by signal {-status}")
    elif (why := check(status, err, replies)) is not None:
        cli.fail(f"{what}: {why}")
    with open(MINE) as f:
        cli.expect(what + ": the script after", f.read(), "\n".join(forms) + "\n")
disk.close()
cli.finish()
